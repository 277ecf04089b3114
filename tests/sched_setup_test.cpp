// The job scheduler's texts: the new settings file, when the console may
// write, the report lines of the scheduler's answers, the console release's
// arguments and outcome, and the release read back from orv_sched.cfg.
#include <gtest/gtest.h>

#include <stdio.h>

#include <memory>
#include <string>

#include "sched_setup.h"
#include "setup_options.h"
#include "test_util.h"
#include "text.h"

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

static const char kHead[] =
    "# see orv_sched.cfg.example (or the README) for the job syntax; on Windows only "
    "command=agent\r\n[sched]\r\n";

TEST(SchedSetupText, SettingsFileVariants)
{
    const std::string api_comment =
        "\r\n# HTTPS API for conf-clients (sched-api.txt); tokens: orv_sched api-token add "
        "<name> --role read|admin\r\n";
    struct {
        int api, writes;
        std::string expected;
    } cases[] = {
        {0, 0, kHead},
        {0, 1, kHead}, // writes need the API
        {1, 0, kHead + api_comment + "[api]\r\nenabled=yes\r\n"},
        {1, 1,
         kHead + api_comment +
             "# allow-agent-config-write: admin tokens may edit sinks.cfg and the profiles in "
             "orv_agent.cfg\r\n[api]\r\nenabled=yes\r\nallow-agent-config-write=yes\r\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(sched_cfg_text(c.api, c.writes), c.expected) << c.api << "/" << c.writes;
}

TEST(SchedSetupText, ConsoleWrites)
{
    struct {
        const char *name;
        int api, link;
        const char *user, *root;
        int installed, expected;
    } cases[] = {
        {"all given", 1, 1, "anna", "", 1, 1},
        {"no API", 0, 1, "anna", "", 1, 0},
        {"no link", 1, 0, "anna", "", 1, 0},
        {"no user", 1, 1, "", "", 1, 0},
        {"test mode", 1, 1, "anna", "C:\\t", 1, 0},
        {"no console", 1, 1, "anna", "", 0, 0},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        ctx->sched_api = c.api;
        ctx->console_link = c.link;
        snprintf(ctx->console_user, sizeof ctx->console_user, "%s", c.user);
        snprintf(ctx->root, sizeof ctx->root, "%s", c.root);
        EXPECT_EQ(sched_console_writes(ctx.get(), c.installed), c.expected) << c.name;
    }
}

TEST(SchedSetupText, ReportLines)
{
    struct {
        const char *name;
        void (*fn)(setup_context *ctx);
        const char *report;
    } cases[] = {
        {"new, without API",
         [](setup_context *c) { sched_report_new_config(c, "C:\\x\\orv_sched.cfg", 0, 0); },
         "Job-Planer: neue Konfiguration C:\\x\\orv_sched.cfg (noch keine Jobs)\n"},
        {"new, with API",
         [](setup_context *c) { sched_report_new_config(c, "C:\\x\\orv_sched.cfg", 1, 0); },
         "Job-Planer: neue Konfiguration C:\\x\\orv_sched.cfg (noch keine Jobs, API "
         "eingeschaltet)\n"},
        {"new, with console writes",
         [](setup_context *c) { sched_report_new_config(c, "C:\\x\\orv_sched.cfg", 1, 1); },
         "Job-Planer: neue Konfiguration C:\\x\\orv_sched.cfg (noch keine Jobs, API "
         "eingeschaltet, Ziele und Profile in der Verwaltungskonsole bearbeitbar)\n"},
        {"enable failed with output",
         [](setup_context *c) { sched_enable_report(c, 1, "bad config\r\nline 3\n"); },
         "WARNUNG: Die API des Job-Planers wurde nicht eingeschaltet: bad config  line 3 \n"},
        {"enable failed silently", [](setup_context *c) { sched_enable_report(c, 1, ""); },
         "WARNUNG: Die API des Job-Planers wurde nicht eingeschaltet: orv_sched api-enable ist "
         "ohne Ausgabe fehlgeschlagen\n"},
        {"enabled, writes allowed",
         [](setup_context *c) {
             sched_enable_report(c, 0, "API enabled\nconsole writes allowed\n");
         },
         "Job-Planer: API eingeschaltet\nJob-Planer: Die Verwaltungskonsole darf Ziele und "
         "Profile dieses Computers bearbeiten\n"},
        {"kept disabled, writes kept off",
         [](setup_context *c) {
             sched_enable_report(c, 0, "API kept disabled\nagent config writes kept off\n");
         },
         "Job-Planer: Die API bleibt ausgeschaltet, weil orv_sched.cfg „enabled=no“ enthält; die "
         "Verwaltungskonsole erreicht den Job-Planer dann nicht\nJob-Planer: Ziele und Profile "
         "bleiben in der Verwaltungskonsole schreibgeschützt, weil orv_sched.cfg "
         "„allow-agent-config-write=no“ enthält\n"},
        {"enable says nothing known", [](setup_context *c) { sched_enable_report(c, 0, "ok\n"); },
         ""},
        {"init failed", [](setup_context *c) { sched_init_report(c, 1, "no key\r\n"); },
         "WARNUNG: Das API-Zertifikat wurde nicht erstellt: no key  \n"},
        {"init failed silently", [](setup_context *c) { sched_init_report(c, 1, nullptr); },
         "WARNUNG: Das API-Zertifikat wurde nicht erstellt: orv_sched api-init ist ohne Ausgabe "
         "fehlgeschlagen\n"},
        {"init with fingerprint",
         [](setup_context *c) {
             sched_init_report(c, 0, "certificate written\nfingerprint: AB:CD:EF\r\nend\n");
         },
         "Job-Planer: Fingerabdruck des API-Zertifikats AB:CD:EF\n"},
        {"init without fingerprint", [](setup_context *c) { sched_init_report(c, 0, "done\n"); },
         ""},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        c.fn(ctx.get());
        EXPECT_STREQ(ctx->report, c.report) << c.name;
    }

    // A long answer is quoted with its first 300 bytes.
    auto ctx = fresh();
    std::string out(1000, 'x');
    sched_enable_report(ctx.get(), 1, out.c_str());
    EXPECT_EQ(std::string(ctx->report),
              "WARNUNG: Die API des Job-Planers wurde nicht eingeschaltet: " + out.substr(0, 300) +
                  "\n");

    // The 300 bytes never end inside a character, for each of the answers.
    std::string umlauts = "x";
    while (umlauts.size() < 1000)
        umlauts += "ä";
    void (*quoting[])(setup_context *, int, const char *) = {sched_enable_report,
                                                             sched_init_report,
                                                             sched_release_report};
    for (auto fn : quoting) {
        auto quoted = fresh();
        fn(quoted.get(), 1, umlauts.c_str());
        std::string report = quoted->report;
        EXPECT_TRUE(text_utf8_valid(report.c_str(), report.size())) << report;
        EXPECT_NE(report.find(umlauts.substr(0, 299) + "\n"), std::string::npos) << report;
    }
}

TEST(SchedSetupText, Release)
{
    struct {
        const char *name;
        int release;
        const char *root;
        int failed;
        const char *output;
        std::string args; // the tail joined by "|"; empty: no run
        const char *report;
    } cases[] = {
        {"unchanged", -1, "", 0, "", "", ""},
        {"test mode", 2, "C:\\t", 0, "", "", ""},
        {"off", 0, "", 0, "released: none\n", "api-release|off|--config|C:\\d\\orv_sched.cfg",
         "Job-Planer: nicht für die Verwaltungskonsolen anderer Rechner freigegeben\n"},
        {"read, API off", 1, "", 0, "release stored; API is disabled\n",
         "api-release|read|--config|C:\\d\\orv_sched.cfg",
         "Job-Planer: Die Freigabe für andere Konsolen ist eingetragen, wirkt aber erst, wenn "
         "die API eingeschaltet ist ([api] enabled=yes in orv_sched.cfg)\n"},
        {"admin", 2, "", 0, "released\n", "api-release|admin|--config|C:\\d\\orv_sched.cfg",
         "Job-Planer: für die Verwaltungskonsolen anderer Rechner freigegeben (verwalten); die "
         "anderen Konsolen erhalten die Freigabe bei ihrer nächsten Synchronisierung\n"},
        {"read", 1, "", 0, "released\n", "api-release|read|--config|C:\\d\\orv_sched.cfg",
         "Job-Planer: für die Verwaltungskonsolen anderer Rechner freigegeben (nur ansehen); die "
         "anderen Konsolen erhalten die Freigabe bei ihrer nächsten Synchronisierung\n"},
        {"failed", 2, "", -1, "no token\r\n", "api-release|admin|--config|C:\\d\\orv_sched.cfg",
         "WARNUNG: Die Freigabe für die Verwaltungskonsolen anderer Rechner ließ sich nicht "
         "einrichten: no token  \n"},
        {"failed silently", 0, "", -1, "", "api-release|off|--config|C:\\d\\orv_sched.cfg",
         "WARNUNG: Die Freigabe für die Verwaltungskonsolen anderer Rechner ließ sich nicht "
         "einrichten: orv_sched api-release ist ohne Ausgabe fehlgeschlagen\n"},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        ctx->console_release = c.release;
        snprintf(ctx->root, sizeof ctx->root, "%s", c.root);
        const char *tail[SCHED_SETUP_RELEASE_TAIL] = {};
        int n = sched_release_args(ctx.get(), "C:\\d\\orv_sched.cfg", tail);
        std::string args;
        for (int i = 0; i < n; i++)
            args += (i ? "|" : "") + std::string(tail[i]);
        EXPECT_EQ(args, c.args) << c.name;
        EXPECT_EQ(n ? tail[n] : nullptr, nullptr) << c.name;
        if (n)
            sched_release_report(ctx.get(), c.failed, c.output);
        EXPECT_STREQ(ctx->report, c.report) << c.name;
    }
}

TEST(SchedSetupText, ReleaseReadBack)
{
    struct {
        const char *name;
        const char *file;
        int expected;
    } cases[] = {
        {"empty", "", -1},
        {"admin", "[api]\r\nenabled=yes\r\nrelease=admin\r\n", 2},
        {"read with blanks and comment", "  [api]\n\trelease \t=  read # shared\n", 1},
        {"read before a semicolon", "[api]\nrelease=read;x\n", 1},
        {"other value", "[api]\nrelease=off\n", -1},
        {"outside the API section", "[sched]\nrelease=admin\n", -1},
        {"after the API section", "[api]\nenabled=yes\n[sched]\nrelease=admin\n", -1},
        {"section that only begins like api", "[apis]\nrelease=admin\n", -1},
        {"last line wins", "[api]\nrelease=admin\nrelease=read\n", 1},
        {"a later faulty line wins too", "[api]\nrelease=admin\nrelease=Admin\n", -1},
        {"another name", "[api]\nreleases=admin\nxrelease=read\n", -1},
        {"commented out", "[api]\n# release=admin\n", -1},
        {"value with more after it", "[api]\nrelease=administrator\n", -1},
    };
    std::string path = test_temp_dir("sched_release") + "/orv_sched.cfg";
    for (auto &c : cases) {
        ASSERT_TRUE(test_write_file(path, c.file)) << c.name;
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr) << c.name;
        EXPECT_EQ(sched_release_from_file(f), c.expected) << c.name;
        fclose(f);
    }
}
