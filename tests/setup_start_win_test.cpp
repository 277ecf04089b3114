// Start-up passes: which updater.conf is read, that a faulty one is not used
// at all, and the order of the sources through the real routines.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "setup_options.h"
#include "setup_start.h"
#include "test_util.h"

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_defaults(ctx.get());
    return ctx;
}

// argv with the program name first; the strings live as long as the object.
struct args {
    explicit args(std::vector<std::string> a) : text(std::move(a))
    {
        argv.push_back((char *)"orv_setup");
        for (auto &s : text)
            argv.push_back(&s[0]);
    }
    int argc() const { return (int)argv.size(); }
    std::vector<std::string> text;
    std::vector<char *> argv;
};

TEST(SetupStart, SettingsFileFoundByThePrePass)
{
    std::string dir = test_temp_dir("start");
    std::string good = dir + "\\good.conf";
    ASSERT_TRUE(test_write_file(good, "url = https://conf.invalid/u\nchannel = beta\n"));
    std::string faulty = dir + "\\faulty.conf";
    ASSERT_TRUE(test_write_file(faulty, "url = https://conf.invalid/u\nchannel = beta\n"
                                        "bogus = 1\n"));
    std::string root = dir + "\\root";
    std::string below_root = root + "\\ProgramData\\orvantis";
    ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((root + "\\ProgramData").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(below_root.c_str(), nullptr));
    ASSERT_TRUE(test_write_file(below_root + "\\updater.conf", "channel = under-root\n"));
    std::string answers = dir + "\\answers.txt";
    ASSERT_TRUE(test_write_file(answers, "config = " + good + "\n"));

    auto defaults = fresh();
    struct {
        const char *name;
        std::vector<std::string> argv;
        int rc;
        const char *channel; // null: the defaults, untouched
    } cases[] = {
        {"--config", {"--config", good}, 0, "beta"},
        {"faulty file", {"--config=" + faulty}, -1, nullptr},
        {"missing file", {"--config", dir + "\\none.conf"}, 0, nullptr},
        {"below --root", {"--root", root}, 0, "under-root"},
        {"from the answers file", {"--answers", answers}, 0, "beta"},
        {"command line over answers", {"--answers", answers, "--config", faulty}, -1, nullptr},
        // An invalid option is the real pass's to report; the file is read.
        {"with an invalid option after it", {"--config", good, "--bogus"}, 0, "beta"},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        args a(c.argv);
        EXPECT_EQ(setup_start_settings(ctx.get(), a.argc(), a.argv.data()), c.rc) << c.name;
        if (c.channel) {
            EXPECT_STREQ(ctx->updater_config.channel, c.channel) << c.name;
        } else {
            // Not a single line of a faulty file takes effect.
            EXPECT_STREQ(ctx->updater_config.url, defaults->updater_config.url) << c.name;
            EXPECT_STREQ(ctx->updater_config.channel, "alpha") << c.name;
        }
        // The pre-pass does not touch the context beyond the engine's settings.
        EXPECT_STREQ(ctx->config_path, defaults->config_path) << c.name;
        EXPECT_EQ(ctx->mode, 0) << c.name;
    }
}

TEST(SetupStart, RealPassReportsTheFirstFailure)
{
    std::string dir = test_temp_dir("start");
    std::string broken = dir + "\\broken.txt";
    ASSERT_TRUE(test_write_file(broken, "modify\nurl = 'x\n"));
    std::string good = dir + "\\good.txt";
    ASSERT_TRUE(test_write_file(good, "modify\nchannel = gamma\nproxy = http://a:1\n"));
    std::string missing = dir + "\\missing.txt";
    struct {
        const char *name;
        std::vector<std::string> argv;
        int rc;
        std::string err;
        int silent; // whether the command line was applied
    } cases[] = {
        {"answers file broken, command line bad", {"--answers", broken, "--silent", "--bogus"}, -1,
         broken + ": Ein Anführungszeichen ist nicht geschlossen oder es folgt Text danach", 0},
        {"answers file missing", {"--silent", "--answers=" + missing}, -1,
         "Die Antwortdatei " + missing + " lässt sich nicht lesen", 0},
        {"command line bad", {"--answers", good, "--silent", "--bogus"}, -1,
         "Unbekannte Option --bogus (siehe --help)", 1},
        {"both good", {"--answers", good, "--silent", "--proxy", "http://b:2"}, 0, "", 1},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        args a(c.argv);
        char err[SETUP_ERR_SIZE] = "";
        EXPECT_EQ(setup_start_choices(ctx.get(), a.argc(), a.argv.data(), err, sizeof err), c.rc)
            << c.name;
        EXPECT_EQ(std::string(err), c.err) << c.name;
        EXPECT_EQ(ctx->silent, c.silent) << c.name;
    }
    // Command line over answers file over defaults.
    auto ctx = fresh();
    args a({"--answers", good, "--proxy", "http://b:2"});
    char err[SETUP_ERR_SIZE] = "";
    ASSERT_EQ(setup_start_choices(ctx.get(), a.argc(), a.argv.data(), err, sizeof err), 0) << err;
    EXPECT_EQ(ctx->mode, 1);
    EXPECT_STREQ(ctx->updater_config.channel, "gamma");
    EXPECT_STREQ(ctx->updater_config.proxy, "http://b:2");
}

TEST(SetupStart, DefaultsDescribeThisComputer)
{
    auto ctx = fresh();
    EXPECT_STREQ(ctx->host_facts.os, "windows");
    EXPECT_NE(ctx->host_facts.arch[0], '\0');
    // Apart from the host facts, the defaults are the pure ones.
    std::unique_ptr<setup_context> base(new setup_context);
    setup_options_base_defaults(base.get());
    memset(&ctx->host_facts, 0, sizeof ctx->host_facts);
    EXPECT_EQ(memcmp(ctx.get(), base.get(), sizeof *ctx), 0);
}
