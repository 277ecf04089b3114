// Connecting through the real loader: one catalog per run, and a retry on the
// setup's own server or channel that, when it fails too, reports both causes
// and leaves every setting as it was. The retry runs only where the setup's
// own server is a loopback address (every build but a release build), where
// the tests' stand-in listens, so no test looks a name up on the network.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include <memory>
#include <string>

#include "builtin_server.h"
#include "catalog.h"
#include "codec.h"
#include "ed25519.h"
#include "setup_connect.h"
#include "setup_options.h"
#include "signed.h"
#include "state.h"
#include "test_util.h"
#include "update_server.h"

namespace {

struct context_deleter {
    void operator()(setup_context *ctx) const
    {
        catalog_free(&ctx->component_catalog);
        delete ctx;
    }
};
using context_ptr = std::unique_ptr<setup_context, context_deleter>;

context_ptr fresh()
{
    context_ptr ctx(new setup_context);
    setup_options_defaults(ctx.get());
    std::string state = test_temp_dir("state");
    snprintf(ctx->updater_config.state_dir, sizeof ctx->updater_config.state_dir, "%s",
             state.c_str());
    ctx->updater_config.timeout = 10;
    return ctx;
}

} // namespace

TEST(SetupConnectWin, RetryThatFailsTooKeepsTheSettings)
{
    if (!builtin_on_loopback())
        GTEST_SKIP() << "the built-in server " << setup_builtin_url() << " is not on loopback";
    ASSERT_TRUE(builtin_ready());
    const std::string builtin = setup_builtin_url();
    // The setup's own server has no catalog here; the old CA file of each
    // case fails the first attempt before any connection.
    builtin_put("alpha/components.json", "");
    const std::string no_ca = "lässt sich nicht laden: aus C:\\old\\ca.pem lässt sich kein "
                              "Zertifikat lesen";
    const std::string missing = "Der Komponentenkatalog " + builtin +
                                "/alpha/components.json lässt sich nicht laden: die Datei gibt es "
                                "auf dem Update-Server nicht (HTTP 404). Bitte die Adresse des "
                                "Update-Servers und den Kanal prüfen";
    const std::string old_server = "Der Komponentenkatalog https://localhost:1/old/alpha/"
                                   "components.json " + no_ca;
    const std::string old_channel = "Der Komponentenkatalog " + builtin + "/beta/components.json " +
                                    no_ca;
    struct {
        const char *name;
        std::string url;
        const char *channel;
        int url_set, channel_set;
        std::string err;
    } cases[] = {
        {"old server", "https://localhost:1/old", "alpha", 0, 0,
         old_server + " (der eigene Update-Server des Setups " + builtin +
             " ist ebenfalls fehlgeschlagen: " + missing + ")"},
        {"old channel", builtin, "beta", 0, 0,
         old_channel + " (der eigene Kanal des Setups alpha ist ebenfalls fehlgeschlagen: " +
             missing + ")"},
        {"server given with --url", "https://localhost:1/old", "alpha", 1, 0, old_server},
        {"channel given with --channel", builtin, "beta", 0, 1, old_channel},
    };
    for (auto &c : cases) {
        context_ptr ctx = fresh();
        updater_config *cfg = &ctx->updater_config;
        snprintf(cfg->url, sizeof cfg->url, "%s", c.url.c_str());
        snprintf(cfg->channel, sizeof cfg->channel, "%s", c.channel);
        snprintf(cfg->ca_file, sizeof cfg->ca_file, "C:\\old\\ca.pem");
        ctx->url_set = c.url_set;
        ctx->channel_set = c.channel_set;
        updater_config before = *cfg;

        char err[1200] = "";
        EXPECT_EQ(setup_connect(ctx.get(), err, sizeof err), -1) << c.name;
        EXPECT_EQ(std::string(err), c.err) << c.name;
        EXPECT_EQ(memcmp(cfg, &before, sizeof before), 0) << c.name << ": settings changed";
        EXPECT_EQ(ctx->catalog_loaded, 0) << c.name;
        EXPECT_EQ(ctx->component_catalog.component_count, 0u) << c.name;
        EXPECT_STREQ(ctx->report, "") << c.name;
    }
}

// A catalog with one component, valid now, signed with priv: the document
// and its signature file.
struct signed_doc {
    std::string doc, sig;
};
signed_doc signed_catalog(const uint8_t *priv, int64_t sequence)
{
    int64_t now = (int64_t)time(nullptr);
    signed_doc d;
    d.doc = "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", "
            "\"sequence\": " + std::to_string(sequence) + ", \"issued\": \"" +
            test_iso_utc(now - 3600) + "\", \"expires\": \"" + test_iso_utc(now + 86400) +
            "\", \"releases\": [{\"version\": \"1.0.0\", \"artifacts\": [{\"url\": "
            "\"a.pkg\", \"sha256\": \"" + std::string(64, 'a') +
            "\", \"size\": 1, \"match\": {\"os\": \"windows\"}, \"component\": "
            "\"agent\"}]}], \"components\": [{\"id\": \"agent\"}]}";
    uint8_t sig[64];
    EXPECT_EQ(catalog_sign(priv, d.doc.data(), d.doc.size(), sig), 0);
    char text[100];
    b64_encode(sig, 64, text, sizeof text);
    d.sig = text;
    return d;
}

TEST(SetupConnectWin, OneCatalogPerRun)
{
    ASSERT_TRUE(srv_ready());
    uint8_t priv[32], pub[32];
    ASSERT_EQ(ed25519_keygen(priv, pub), 0);
    std::string dir = srv_case("");
    signed_doc d = signed_catalog(priv, 3);
    srv_put(dir + "alpha/components.json", d.doc);
    srv_put(dir + "alpha/components.json.sig", d.sig);

    context_ptr ctx = fresh();
    updater_config *cfg = &ctx->updater_config;
    snprintf(cfg->url, sizeof cfg->url, "%s", srv_url("ca", dir).c_str());
    ctx->url_set = 1;
    memcpy(cfg->public_keys[cfg->key_count++], pub, 32);
    char err[600] = "";
    ASSERT_EQ(setup_connect(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(ctx->catalog_loaded, 1);
    EXPECT_EQ(ctx->component_catalog.component_count, 1u);
    EXPECT_EQ(std::string(ctx->catalog_url), srv_url("ca", dir + "alpha/components.json"));
    size_t asked = srv_requests(dir + "alpha/components.json").size();

    // A second connect in the same run asks nobody, even with the document gone.
    srv_fault(dir + "alpha/components.json", "status 404\n");
    EXPECT_EQ(setup_connect(ctx.get(), err, sizeof err), 0);
    EXPECT_EQ(srv_requests(dir + "alpha/components.json").size(), asked);
    srv_fault(dir + "alpha/components.json", "");
}

TEST(SetupConnectWin, RetryOnTheSetupsOwnServer)
{
    if (!builtin_on_loopback())
        GTEST_SKIP() << "the built-in server " << setup_builtin_url() << " is not on loopback";
    ASSERT_TRUE(srv_ready());
    ASSERT_TRUE(builtin_ready());
    uint8_t priv[32], pub[32];
    ASSERT_EQ(ed25519_keygen(priv, pub), 0);
    char pub_b64[48];
    b64_encode(pub, 32, pub_b64, sizeof pub_b64);
    signed_doc d = signed_catalog(priv, 5);
    builtin_put("alpha/components.json", d.doc);
    builtin_put("alpha/components.json.sig", d.sig);
    builtin_put("beta/components.json", "");
    const std::string builtin = setup_builtin_url();
    const std::string pin = srv_cert("srv.pem");

    struct {
        const char *name;
        std::string url;
        int key_given; // 1: "--public-key", 0: the key came from updater.conf
        int rc;
        std::string report;
    } cases[] = {
        {"old server", "https://localhost:1/old", 1, 0,
         "Der Update-Server https://localhost:1/old aus der bisherigen Konfiguration ist nicht "
         "erreichbar; verwendet wird " + builtin + "\n"},
        {"old channel", builtin, 1, 0,
         "Der Kanal beta aus der bisherigen Konfiguration gehört zu einer älteren Version; "
         "verwendet wird der Kanal alpha\n"},
        // The retry trusts only the built-in keys when no key was given.
        {"old server, key from the old file", "https://localhost:1/old", 0, -1, ""},
    };
    for (auto &c : cases) {
        context_ptr ctx = fresh();
        updater_config *cfg = &ctx->updater_config;
        snprintf(cfg->url, sizeof cfg->url, "%s", c.url.c_str());
        snprintf(cfg->channel, sizeof cfg->channel, "beta");
        snprintf(cfg->ca_file, sizeof cfg->ca_file, "%s", pin.c_str());
        ctx->ca_file_set = 1;
        ASSERT_EQ(updconf_add_public_key(cfg, pub_b64), 0);
        ctx->public_key_set = c.key_given;
        // The old server's sequences are far ahead of the built-in server's.
        updater_state old;
        memset(&old, 0, sizeof old);
        old.last_sequence = 99;
        old.last_catalog_sequence = 99;
        snprintf(old.sequence_channel, sizeof old.sequence_channel, "alpha");
        snprintf(old.catalog_channel, sizeof old.catalog_channel, "alpha");
        char err[1200] = "";
        ASSERT_EQ(state_write(cfg, &old, err, sizeof err), 0) << err;
        updater_config before = *cfg;

        EXPECT_EQ(setup_connect(ctx.get(), err, sizeof err), c.rc) << c.name << ": " << err;
        EXPECT_EQ(std::string(ctx->report), c.report) << c.name;
        updater_state now_state;
        state_read(cfg, &now_state);
        if (c.rc == 0) {
            EXPECT_EQ(ctx->catalog_loaded, 1) << c.name;
            EXPECT_STREQ(cfg->url, builtin.c_str()) << c.name;
            EXPECT_STREQ(cfg->channel, "alpha") << c.name;
            EXPECT_STREQ(cfg->ca_file, pin.c_str()) << c.name;  // given, so kept
            EXPECT_EQ(cfg->key_count, 3u) << c.name;
            // Both replay baselines start over for the new server.
            EXPECT_EQ(now_state.last_catalog_sequence, 5) << c.name;
            EXPECT_EQ(now_state.last_sequence, 0) << c.name;
        } else {
            EXPECT_EQ(memcmp(cfg, &before, sizeof before), 0) << c.name;
            EXPECT_NE(std::string(err).find(" (der eigene Update-Server des Setups " + builtin +
                                            " ist ebenfalls fehlgeschlagen: Die Signatur"),
                      std::string::npos)
                << c.name << ": " << err;
            EXPECT_EQ(now_state.last_catalog_sequence, 99) << c.name;
        }
    }
}
