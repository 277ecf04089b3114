// The decisions of connecting: when the setup falls back to its own server
// or channel, which settings the retry uses, and the catalog's minimum setup
// version.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>

#include "setup_connect.h"
#include "setup_options.h"
#include "test_util.h"
#include "updconf.h"

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

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
    std::string extra_b64 = test_key_b64(7);

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
        ASSERT_EQ(updconf_add_public_key(cfg, extra_b64.c_str()), 0);
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
