// The connect step with its loader replaced: when the fallback to the setup's
// own server and channel applies, what the second attempt is given, what a
// second failure leaves behind, the report lines, and the minimum setup
// version.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "catalog_doc.h"
#include "codec.h"
#include "setup_connect.h"
#include "setup_options.h"
#include "updconf.h"

namespace {

const int64_t kNow = 1780000000;

// What one catalog_load call answers: a sentence, or a catalog.
struct answer {
    const char *fail;        // English sentence; null: success
    std::string min_setup;   // of the catalog on success
};

// The loader's script and what it was given.
struct loader {
    std::vector<answer> script;
    std::vector<updater_config> cfgs;   // the settings of each call
    std::vector<updater_state> states;  // the state of each call
    updater_state stored = {};          // what state_read gives
} g;

int fake_state_read(const updater_config *, updater_state *st)
{
    *st = g.stored;
    return 0;
}

int fake_catalog_load(const updater_config *cfg, updater_state *st, int64_t now,
                      component_catalog *out, char *url_out, size_t url_size, char *err,
                      size_t errlen)
{
    size_t i = g.cfgs.size();
    g.cfgs.push_back(*cfg);
    g.states.push_back(*st);
    EXPECT_EQ(now, kNow);
    EXPECT_EQ(out->components, nullptr) << "the catalog handed in must be empty";
    snprintf(url_out, url_size, "%s/%s/components.json", cfg->url, cfg->channel);
    if (i >= g.script.size()) {
        ADD_FAILURE() << "unexpected attempt " << i + 1;
        snprintf(err, errlen, "unexpected");
        return -1;
    }
    if (g.script[i].fail) {
        snprintf(err, errlen, "%s", g.script[i].fail);
        return -1;
    }
    test_catalog c;
    c.channel = cfg->channel;
    c.components = {{"core", "Basis", false, true, {}}};
    c.releases = {{"1.0.0", {{"core"}}}};
    c.min_setup = g.script[i].min_setup;
    std::string doc = c.json();
    char msg[300] = "";
    EXPECT_EQ(catalog_parse(doc.data(), doc.size(), out, msg, sizeof msg), 0) << msg;
    return 0;
}

int64_t fake_now() { return kNow; }

const setup_connect_sys kFake = {fake_state_read, fake_catalog_load, fake_now};

struct result {
    int rc;
    std::string err;
};

// Releases the context's catalog with the context.
struct context_free {
    void operator()(setup_context *ctx) const
    {
        catalog_free(&ctx->component_catalog);
        delete ctx;
    }
};
using context_ptr = std::unique_ptr<setup_context, context_free>;

// A context with the defaults, as after a start without options.
context_ptr fresh()
{
    context_ptr ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

result connect(setup_context *ctx, std::vector<answer> script)
{
    g = loader();
    g.script = std::move(script);
    char err[600] = "";
    result r;
    r.rc = setup_connect_with(ctx, &kFake, err, sizeof err);
    r.err = err;
    return r;
}

const char kOldUrl[] = "https://old.example/upd";
// Sentences of the engine and their German forms.
const char kRefused[] = "manifest is for another channel (beta)";
const char kRefusedDe[] = "Der Katalog des Update-Servers gehört zu einem anderen Kanal (beta)";
const char kReplay[] = "manifest is older than one already seen (replay)";
const char kReplayDe[] =
    "Der Katalog des Update-Servers ist älter als ein bereits gesehener (alte Daten werden "
    "erneut ausgeliefert). Es wurde nichts installiert. Bitte später erneut versuchen oder den "
    "Anbieter informieren";

} // namespace

// The fallback applies only when the URL was not chosen explicitly and the
// URL, or the channel when that was not chosen either, differs from the
// setup's own.
TEST(SetupConnect, WhenTheFallbackApplies)
{
    const std::string own = setup_builtin_url();
    struct {
        const char *name;
        const char *url;      // null: the built-in URL
        const char *channel;
        int url_set, channel_set;
        bool falls_back;
        const char *second_channel;  // channel of the second attempt
        std::string report;
    } cases[] = {
        {"old server", kOldUrl, "alpha", 0, 0, true, "alpha",
         "Der Update-Server https://old.example/upd aus der bisherigen Konfiguration ist nicht "
         "erreichbar; verwendet wird " + own + "\n"},
        {"old server and channel", kOldUrl, "beta", 0, 0, true, "alpha",
         "Der Update-Server https://old.example/upd aus der bisherigen Konfiguration ist nicht "
         "erreichbar; verwendet wird " + own + "\n"},
        {"old server, chosen channel", kOldUrl, "beta", 0, 1, true, "beta",
         "Der Update-Server https://old.example/upd aus der bisherigen Konfiguration ist nicht "
         "erreichbar; verwendet wird " + own + "\n"},
        {"old channel", nullptr, "beta", 0, 0, true, "alpha",
         "Der Kanal beta aus der bisherigen Konfiguration gehört zu einer älteren Version; "
         "verwendet wird der Kanal alpha\n"},
        {"chosen channel", nullptr, "beta", 0, 1, false, nullptr, ""},
        {"chosen server", kOldUrl, "alpha", 1, 0, false, nullptr, ""},
        {"chosen server, old channel", kOldUrl, "beta", 1, 0, false, nullptr, ""},
        {"own server and channel", nullptr, "alpha", 0, 0, false, nullptr, ""},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s",
                 c.url ? c.url : own.c_str());
        snprintf(ctx->updater_config.channel, sizeof ctx->updater_config.channel, "%s", c.channel);
        ctx->url_set = c.url_set;
        ctx->channel_set = c.channel_set;

        // Failing without a fallback: the first message, translated.
        result r = connect(ctx.get(), {{kReplay, ""}, {nullptr, ""}});
        if (!c.falls_back) {
            EXPECT_EQ(r.rc, -1) << c.name;
            EXPECT_EQ(r.err, kReplayDe) << c.name;
            EXPECT_EQ(g.cfgs.size(), 1u) << c.name;
            EXPECT_EQ(ctx->catalog_loaded, 0) << c.name;
            continue;
        }
        EXPECT_EQ(r.rc, 0) << c.name << ": " << r.err;
        ASSERT_EQ(g.cfgs.size(), 2u) << c.name;
        EXPECT_EQ(g.cfgs[1].url, own) << c.name;
        EXPECT_STREQ(g.cfgs[1].channel, c.second_channel) << c.name;
        EXPECT_EQ(ctx->report, c.report) << c.name;
        EXPECT_EQ(ctx->catalog_loaded, 1) << c.name;
        // The changed settings stay for the rest of the run (an install
        // writes them into updater.conf).
        EXPECT_EQ(ctx->updater_config.url, own) << c.name;
        EXPECT_STREQ(ctx->updater_config.channel, c.second_channel) << c.name;
        EXPECT_EQ(ctx->catalog_url, own + "/" + c.second_channel + "/components.json") << c.name;
    }
}

// Pins and extra keys of an old updater.conf are dropped for the built-in
// server; those given as options stay. The state is a copy whose replay
// baselines are 0.
TEST(SetupConnect, SecondAttemptSettingsAndState)
{
    updater_config builtin;
    updconf_defaults(&builtin);
    uint8_t extra[32];
    memset(extra, 0x5a, sizeof extra);
    char extra_b64[48];
    b64_encode(extra, sizeof extra, extra_b64, sizeof extra_b64);

    for (int given = 0; given < 2; given++) {
        auto ctx = fresh();
        updater_config &cfg = ctx->updater_config;
        snprintf(cfg.url, sizeof cfg.url, "%s", kOldUrl);
        snprintf(cfg.ca_file, sizeof cfg.ca_file, "C:\\old\\pins.pem");
        snprintf(cfg.proxy, sizeof cfg.proxy, "http://proxy.example:8080");
        ASSERT_EQ(updconf_add_public_key(&cfg, extra_b64), 0);
        ctx->ca_file_set = given;
        ctx->public_key_set = given;
        updater_state stored = {};
        stored.last_sequence = 77;
        snprintf(stored.sequence_channel, sizeof stored.sequence_channel, "alpha");
        snprintf(stored.installed_version, sizeof stored.installed_version, "1.4.0");
        stored.last_catalog_sequence = 1000;
        snprintf(stored.catalog_channel, sizeof stored.catalog_channel, "alpha");
        snprintf(stored.components, sizeof stored.components, "core,agent");

        g = loader();
        g.stored = stored;
        g.script = {{kRefused, ""}, {nullptr, ""}};
        char err[600] = "";
        ASSERT_EQ(setup_load_catalog_with(ctx.get(), &kFake, err, sizeof err), 0) << err;
        ASSERT_EQ(g.cfgs.size(), 2u);
        const updater_config &second = g.cfgs[1];
        const char *name = given ? "given as options" : "from updater.conf";
        EXPECT_STREQ(second.ca_file, given ? "C:\\old\\pins.pem" : "") << name;
        ASSERT_EQ(second.key_count, given ? 3u : builtin.key_count) << name;
        EXPECT_EQ(memcmp(second.public_keys, given ? g.cfgs[0].public_keys : builtin.public_keys,
                         sizeof second.public_keys),
                  0)
            << name;
        // Everything else is the old setting.
        EXPECT_STREQ(second.proxy, "http://proxy.example:8080") << name;
        EXPECT_EQ(memcmp(&ctx->updater_config, &second, sizeof second), 0) << name;

        // The first attempt saw the state as stored, the second a copy
        // without the two sequences.
        EXPECT_EQ(memcmp(&g.states[0], &stored, sizeof stored), 0) << name;
        updater_state fresh_state = stored;
        fresh_state.last_sequence = 0;
        fresh_state.last_catalog_sequence = 0;
        EXPECT_EQ(memcmp(&g.states[1], &fresh_state, sizeof fresh_state), 0) << name;
    }
}

// After the built-in server fails too: both causes in one message, and every
// setting, the catalog and the report as before the attempt, so a retry starts
// from the same place.
TEST(SetupConnect, SecondFailureRestoresEverything)
{
    const std::string own = setup_builtin_url();
    struct {
        const char *name;
        const char *url;  // null: the built-in URL
        std::string err;
    } cases[] = {
        {"server replaced", kOldUrl,
         std::string(kRefusedDe) + " (der eigene Update-Server des Setups " + own +
             " ist ebenfalls fehlgeschlagen: " + kReplayDe + ")"},
        {"channel replaced", nullptr,
         std::string(kRefusedDe) + " (der eigene Kanal des Setups alpha ist ebenfalls "
                                   "fehlgeschlagen: " + kReplayDe + ")"},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        updater_config &cfg = ctx->updater_config;
        snprintf(cfg.url, sizeof cfg.url, "%s", c.url ? c.url : own.c_str());
        snprintf(cfg.channel, sizeof cfg.channel, "beta");
        snprintf(cfg.ca_file, sizeof cfg.ca_file, "C:\\old\\pins.pem");
        uint8_t extra[32];
        memset(extra, 0x11, sizeof extra);
        char b64[48];
        b64_encode(extra, sizeof extra, b64, sizeof b64);
        ASSERT_EQ(updconf_add_public_key(&cfg, b64), 0);
        const updater_config before = cfg;

        result r = connect(ctx.get(), {{kRefused, ""}, {kReplay, ""}});
        EXPECT_EQ(r.rc, -1) << c.name;
        EXPECT_EQ(g.cfgs.size(), 2u) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(memcmp(&ctx->updater_config, &before, sizeof before), 0) << c.name;
        EXPECT_EQ(ctx->catalog_loaded, 0) << c.name;
        EXPECT_EQ(ctx->component_catalog.components, nullptr) << c.name;
        EXPECT_STREQ(ctx->catalog_url, "") << c.name;
        EXPECT_STREQ(ctx->report, "") << c.name;

        // The retry goes the same way.
        r = connect(ctx.get(), {{kRefused, ""}, {nullptr, ""}});
        EXPECT_EQ(r.rc, 0) << c.name;
        EXPECT_EQ(g.cfgs.size(), 2u) << c.name;
        EXPECT_EQ(memcmp(&g.cfgs[0], &before, sizeof before), 0) << c.name;
    }
}

// A catalog may ask for a newer setup; it is then released and the run
// cannot use it. After a fallback the settings go back as well, and the
// report says nothing of a server that was not taken.
TEST(SetupConnect, MinimumSetupVersion)
{
    const char *too_old =
        "Dieses Setup (2.0.0-alpha.027) ist für den aktuellen Katalog zu alt (nötig ist %s oder "
        "neuer). Bitte das Setup neu herunterladen";
    struct {
        const char *min;  // "" none
        bool accepted;
    } cases[] = {
        {"", true},
        {"2.0.0-alpha.027", true},
        {"2.0.0-alpha.026", true},
        {"1.9.9", true},
        {"2.0.0-alpha.028", false},
        {"2.0.0-beta", false},
        {"2.0.0", false},  // the release comes after its pre-releases
    };
    for (int fallback = 0; fallback < 2; fallback++) {
        for (auto &c : cases) {
            auto ctx = fresh();
            if (fallback)
                snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s", kOldUrl);
            const updater_config before = ctx->updater_config;
            std::vector<answer> script = {{nullptr, c.min}};
            if (fallback)
                script.insert(script.begin(), answer{kRefused, ""});
            std::string name = std::string(c.min) + (fallback ? " after a fallback" : "");
            result r = connect(ctx.get(), script);
            EXPECT_EQ(g.cfgs.size(), script.size()) << name;
            if (c.accepted) {
                EXPECT_EQ(r.rc, 0) << name << ": " << r.err;
                EXPECT_EQ(ctx->catalog_loaded, 1) << name;
                EXPECT_EQ(ctx->component_catalog.component_count, 1u) << name;
                EXPECT_EQ(std::string(ctx->report).empty(), !fallback) << name;
                continue;
            }
            char want[300];
            snprintf(want, sizeof want, too_old, c.min);
            EXPECT_EQ(r.rc, -1) << name;
            EXPECT_EQ(r.err, want) << name;
            EXPECT_EQ(ctx->catalog_loaded, 0) << name;
            EXPECT_EQ(ctx->component_catalog.components, nullptr) << name;
            EXPECT_EQ(ctx->component_catalog.component_count, 0u) << name;
            EXPECT_STREQ(ctx->catalog_url, "") << name;
            EXPECT_STREQ(ctx->report, "") << name;
            EXPECT_EQ(memcmp(&ctx->updater_config, &before, sizeof before), 0) << name;
        }
    }
}

TEST(SetupConnect, NoServerAndLoadedOnce)
{
    // "--url=" leaves no server: nothing is read or fetched.
    auto ctx = fresh();
    ctx->updater_config.url[0] = '\0';
    ctx->url_set = 1;
    result r = connect(ctx.get(), {});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "Dieses Setup kennt keinen Update-Server (--url <https://...>)");
    EXPECT_TRUE(g.cfgs.empty());

    // A loaded catalog is not fetched again in the same run.
    ctx = fresh();
    r = connect(ctx.get(), {{nullptr, ""}});
    ASSERT_EQ(r.rc, 0) << r.err;
    const catalog_component *loaded = ctx->component_catalog.components;
    r = connect(ctx.get(), {});
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(g.cfgs.empty());
    EXPECT_EQ(ctx->component_catalog.components, loaded);

    // Loading again releases the earlier catalog first (the loader wants an
    // empty record); a failure then leaves none.
    g = loader();
    g.script = {{kReplay, ""}};
    ctx->url_set = 1;
    char err[600] = "";
    EXPECT_EQ(setup_load_catalog_with(ctx.get(), &kFake, err, sizeof err), -1);
    EXPECT_STREQ(err, kReplayDe);
    EXPECT_EQ(ctx->catalog_loaded, 0);
    EXPECT_EQ(ctx->component_catalog.components, nullptr);

    // A null or empty error buffer is left alone.
    ctx = fresh();
    ctx->updater_config.url[0] = '\0';
    EXPECT_EQ(setup_connect_with(ctx.get(), &kFake, nullptr, 0), -1);
}
