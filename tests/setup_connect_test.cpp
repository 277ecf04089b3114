// Connecting: when the setup falls back to its own server or channel, which
// settings the retry uses, the catalog's minimum setup version, and the whole
// step with its loader replaced: what each attempt is given, what a second
// failure leaves behind, and the report lines.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "catalog_doc.h"
#include "codec.h"
#include "setup_connect.h"
#include "setup_options.h"
#include "test_context.h"
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

// A context with the defaults, as after a start without options.
test_context_ptr fresh()
{
    test_context_ptr ctx(new setup_context);
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

TEST(SetupConnect, WhenTheSetupFallsBack)
{
    std::string builtin = setup_builtin_url();
    struct {
        const char *name;
        std::string url;
        const char *channel;
        int url_set, channel_set;
        int expected;
    } cases[] = {
        {"fresh computer", builtin, "alpha", 0, 0, SETUP_FALLBACK_NONE},
        {"old server from updater.conf", "https://old.invalid/u", "alpha", 0, 0,
         SETUP_FALLBACK_SERVER},
        {"old server and channel", "https://old.invalid/u", "beta", 0, 0, SETUP_FALLBACK_SERVER},
        {"old server with --channel", "https://old.invalid/u", "beta", 0, 1,
         SETUP_FALLBACK_SERVER},
        {"old server given with --url", "https://old.invalid/u", "alpha", 1, 0,
         SETUP_FALLBACK_NONE},
        {"old channel from updater.conf", builtin, "beta", 0, 0, SETUP_FALLBACK_CHANNEL},
        {"other channel given with --channel", builtin, "beta", 0, 1, SETUP_FALLBACK_NONE},
        {"built-in URL given with --url", builtin, "beta", 1, 0, SETUP_FALLBACK_NONE},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s", c.url.c_str());
        snprintf(ctx->updater_config.channel, sizeof ctx->updater_config.channel, "%s", c.channel);
        ctx->url_set = c.url_set;
        ctx->channel_set = c.channel_set;
        EXPECT_EQ(setup_fallback_kind(ctx.get()), c.expected) << c.name;
    }
}

TEST(SetupConnect, RetrySettings)
{
    updater_config builtin_keys;
    updconf_defaults(&builtin_keys);
    uint8_t extra[32];
    memset(extra, 7, sizeof extra);
    char extra_b64[48];
    b64_encode(extra, sizeof extra, extra_b64, sizeof extra_b64);

    struct {
        const char *name;
        int channel_set, ca_file_set, public_key_set;
        const char *channel, *ca_file;
        uint64_t keys;
    } cases[] = {
        {"nothing given", 0, 0, 0, "alpha", "", 2},
        {"--channel given", 1, 0, 0, "beta", "", 2},
        {"--ca-file given", 0, 1, 0, "alpha", "C:\\ca.pem", 2},
        {"--public-key given", 0, 0, 1, "alpha", "", 3},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        updater_config *cfg = &ctx->updater_config;
        snprintf(cfg->url, sizeof cfg->url, "https://old.invalid/u");
        snprintf(cfg->channel, sizeof cfg->channel, "beta");
        snprintf(cfg->ca_file, sizeof cfg->ca_file, "C:\\ca.pem");
        snprintf(cfg->proxy, sizeof cfg->proxy, "http://proxy:1");
        ASSERT_EQ(updconf_add_public_key(cfg, extra_b64), 0);
        ctx->channel_set = c.channel_set;
        ctx->ca_file_set = c.ca_file_set;
        ctx->public_key_set = c.public_key_set;
        setup_fallback_settings(ctx.get());
        EXPECT_STREQ(cfg->url, setup_builtin_url()) << c.name;
        EXPECT_STREQ(cfg->channel, c.channel) << c.name;
        EXPECT_STREQ(cfg->ca_file, c.ca_file) << c.name;
        EXPECT_STREQ(cfg->proxy, "http://proxy:1") << c.name;
        EXPECT_EQ(cfg->key_count, c.keys) << c.name;
        EXPECT_EQ(memcmp(cfg->public_keys, builtin_keys.public_keys, 2 * 32), 0) << c.name;
    }
}

TEST(SetupConnect, MinimumSetupVersion)
{
    struct {
        const char *min_setup;
        int rc;
    } cases[] = {
        {nullptr, 0},
        {"2.0.0-alpha.027", 0},
        {"2.0.0-alpha.026", 0},
        {"1.9.9", 0},
        {"not a version", 0},
        {"2.0.0-alpha.028", -1},
        {"2.0.0", -1},
    };
    for (auto &c : cases) {
        char err[600] = "";
        EXPECT_EQ(setup_check_min_setup(c.min_setup, err, sizeof err), c.rc)
            << (c.min_setup ? c.min_setup : "(none)");
        if (c.rc) {
            EXPECT_EQ(std::string(err),
                      std::string("Dieses Setup (2.0.0-alpha.027) ist für den aktuellen Katalog "
                                  "zu alt (nötig ist ") +
                          c.min_setup + " oder neuer). Bitte das Setup neu herunterladen");
        } else {
            EXPECT_STREQ(err, "");
        }
    }
}


// The whole step: one attempt, or the retry with its report line; the
// retry's settings stay for the rest of the run (an install writes them into
// updater.conf).
TEST(SetupConnect, LoadWithAndWithoutRetry)
{
    const std::string own = setup_builtin_url();
    const std::string server_line = "Der Update-Server https://old.example/upd aus der bisherigen "
                                    "Konfiguration ist nicht erreichbar; verwendet wird " +
                                    own + "\n";
    struct {
        const char *name;
        const char *url;  // null: the built-in URL
        const char *channel;
        int url_set, channel_set;
        const char *second_channel;  // null: no retry
        std::string report;
    } cases[] = {
        {"old server", kOldUrl, "beta", 0, 0, "alpha", server_line},
        {"old server, chosen channel", kOldUrl, "beta", 0, 1, "beta", server_line},
        {"old channel", nullptr, "beta", 0, 0, "alpha",
         "Der Kanal beta aus der bisherigen Konfiguration gehört zu einer älteren Version; "
         "verwendet wird der Kanal alpha\n"},
        {"chosen server", kOldUrl, "beta", 1, 0, nullptr, ""},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s",
                 c.url ? c.url : own.c_str());
        snprintf(ctx->updater_config.channel, sizeof ctx->updater_config.channel, "%s", c.channel);
        ctx->url_set = c.url_set;
        ctx->channel_set = c.channel_set;

        result r = connect(ctx.get(), {{kReplay, ""}, {nullptr, ""}});
        if (!c.second_channel) {
            // The first message, translated.
            EXPECT_EQ(r.rc, -1) << c.name;
            EXPECT_EQ(r.err, kReplayDe) << c.name;
            EXPECT_EQ(g.cfgs.size(), 1u) << c.name;
            EXPECT_EQ(ctx->catalog_loaded, 0) << c.name;
            EXPECT_STREQ(ctx->catalog_url, "") << c.name;
            continue;
        }
        EXPECT_EQ(r.rc, 0) << c.name << ": " << r.err;
        ASSERT_EQ(g.cfgs.size(), 2u) << c.name;
        EXPECT_EQ(ctx->report, c.report) << c.name;
        EXPECT_EQ(ctx->catalog_loaded, 1) << c.name;
        EXPECT_EQ(ctx->updater_config.url, own) << c.name;
        EXPECT_STREQ(ctx->updater_config.channel, c.second_channel) << c.name;
        EXPECT_EQ(memcmp(&ctx->updater_config, &g.cfgs[1], sizeof g.cfgs[1]), 0) << c.name;
        EXPECT_EQ(ctx->catalog_url, own + "/" + c.second_channel + "/components.json") << c.name;
    }
}

// The retry is given the settings of setup_fallback_settings and a copy of
// the state whose two replay baselines are 0; the first attempt the state as
// stored.
TEST(SetupConnect, RetryStateHasNoReplayBaselines)
{
    auto ctx = fresh();
    snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s", kOldUrl);
    snprintf(ctx->updater_config.ca_file, sizeof ctx->updater_config.ca_file, "C:\\old\\pins.pem");
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

    auto expected = fresh();
    expected->updater_config = g.cfgs[0];
    setup_fallback_settings(expected.get());
    EXPECT_EQ(memcmp(&g.cfgs[1], &expected->updater_config, sizeof g.cfgs[1]), 0);

    EXPECT_EQ(memcmp(&g.states[0], &stored, sizeof stored), 0);
    updater_state fresh_state = stored;
    fresh_state.last_sequence = 0;
    fresh_state.last_catalog_sequence = 0;
    EXPECT_EQ(memcmp(&g.states[1], &fresh_state, sizeof fresh_state), 0);
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

// A catalog that asks for a newer setup is released, so the run cannot use
// it. After a retry the settings go back as well, and the report says nothing
// of a server that was not taken.
TEST(SetupConnect, TooOldSetupReleasesTheCatalog)
{
    for (int retry = 0; retry < 2; retry++) {
        const char *name = retry ? "after a retry" : "first attempt";
        auto ctx = fresh();
        if (retry)
            snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s", kOldUrl);
        const updater_config before = ctx->updater_config;
        std::vector<answer> script = {{nullptr, "2.0.0"}};
        if (retry)
            script.insert(script.begin(), answer{kRefused, ""});
        result r = connect(ctx.get(), script);
        EXPECT_EQ(g.cfgs.size(), script.size()) << name;
        EXPECT_EQ(r.rc, -1) << name;
        EXPECT_EQ(r.err, "Dieses Setup (2.0.0-alpha.027) ist für den aktuellen Katalog zu alt "
                         "(nötig ist 2.0.0 oder neuer). Bitte das Setup neu herunterladen")
            << name;
        EXPECT_EQ(ctx->catalog_loaded, 0) << name;
        EXPECT_EQ(ctx->component_catalog.components, nullptr) << name;
        EXPECT_EQ(ctx->component_catalog.component_count, 0u) << name;
        EXPECT_STREQ(ctx->catalog_url, "") << name;
        EXPECT_STREQ(ctx->report, "") << name;
        EXPECT_EQ(memcmp(&ctx->updater_config, &before, sizeof before), 0) << name;
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
