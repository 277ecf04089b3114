// resource-lock: orvantis-sched
// resource-lock: product-programs
// orv_setup.exe's silent install and uninstall against the tests' update
// server: a signed catalog of real packages installed into a test directory
// and removed again, and both runs postponed while another holds the lock.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "codec.h"
#include "engine_site.h"
#include "run_win.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// The options of every run: the site's server, pin and key, a test root and
// the site's installation and state directories.
std::vector<std::string> places(const engine_site &site, const std::string &root)
{
    char pub[64] = "";
    b64_encode(site.cfg.public_keys[0], 32, pub, sizeof pub);
    return {"--silent",      "--url",       site.cfg.url,      "--ca-file",
            srv_cert("srv.pem"), "--public-key", pub,         "--root",
            root,            "--install-dir", site.cfg.install_dir, "--state-dir",
            site.cfg.state_dir};
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(Flows, SilentInstallThenUninstall)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flows");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent", "restore"})};
    site.publish();
    const std::string root = test_temp_dir("flowsroot");
    const std::string conf = root + "\\ProgramData\\orvantis\\updater.conf";

    test_proc r = test_run_setup(with(places(site, root), {"--components", "agent"}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Installierte Version 1.0.0: ")) << r.out;
    EXPECT_TRUE(has(r.out, "Update-Einstellungen: " + conf + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "[3/4] Installiere und prüfe die Programme")) << r.out;
    EXPECT_TRUE(has(r.out, "[4/4] Richte die Einstellungen ein")) << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::string(site.state().installed_version), "1.0.0");
    EXPECT_EQ(std::string(site.state().components), "core,agent");
    EXPECT_TRUE(site_exists(site.bin() + "\\agent_tool.exe"));
    EXPECT_FALSE(site_exists(site.bin() + "\\restore_tool.exe")) << "restore was not chosen";
    EXPECT_TRUE(site_exists(conf));

    r = test_run_setup(with(places(site, root), {"--uninstall"}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Entferne die Programme\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Die Programme wurden entfernt.\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Sicherungen, Schlüssel, Zertifikate und " + conf +
                               " wurden behalten (--purge entfernt auch die Einstellungen).\n"))
        << r.out;
    EXPECT_EQ(std::string(site.state().installed_version), "");
    EXPECT_EQ(std::string(site.state().components), "");
    EXPECT_FALSE(site_exists(site.bin()));
    EXPECT_TRUE(site_exists(conf)) << "the settings stay without --purge";
}

TEST(Flows, PostponedWhileTheLockIsHeld)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowslock");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    const std::string root = test_temp_dir("flowslockroot");
    CreateDirectoryA(site.cfg.state_dir, nullptr);
    const std::string lock = std::string(site.cfg.state_dir) + "\\updater.lock";
    HANDLE h = CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    struct {
        const char *name;
        std::vector<std::string> extra;
        const char *expected_err;
    } cases[] = {
        {"install", {},
         "Fehler: Gerade läuft eine Sicherung, Wiederherstellung, Wartung oder ein anderes "
         "Update. Bitte später erneut versuchen.\n"},
        {"uninstall", {"--uninstall"},
         "Fehler: Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte später "
         "erneut versuchen.\n"},
    };
    for (const auto &c : cases) {
        test_proc r = test_run_setup(with(places(site, root), c.extra), 120000);
        EXPECT_EQ(r.exit_code, 75) << c.name << ": " << r.out << r.err;
        EXPECT_EQ(r.err, c.expected_err) << c.name;
        EXPECT_FALSE(has(r.out, "Update-Einstellungen")) << c.name;
        EXPECT_FALSE(site_exists(root + "\\ProgramData\\orvantis\\updater.conf"))
            << c.name << ": settings written for a postponed run";
    }
    CloseHandle(h);
}

// Two setups started at the same moment on one fresh computer: one installs,
// the other is postponed (never a failure, never a lost record), every time.
TEST(Flows, TwoSetupsAtOnceOneInstallsTheOtherIsPostponed)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsrace");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    // The packages come slowly, so the first run still holds the lock when
    // the second one asks for it.
    for (const char *c : {"core", "agent"})
        srv_fault(site.dir + site.package_path("1.0.0", c), "stall 2\n");
    const std::string busy =
        "Fehler: Gerade läuft eine Sicherung, Wiederherstellung, Wartung oder ein anderes "
        "Update. Bitte später erneut versuchen.\n";
    for (int i = 0; i < 20; i++) {
        const std::string name = "race" + std::to_string(i);
        site.use_installation(name);
        const std::string root = test_temp_dir(name.c_str());
        const std::vector<std::string> args = places(site, root);
        test_proc a, b;
        std::thread first([&] { a = test_run_setup(args, 120000); });
        std::thread second([&] { b = test_run_setup(args, 120000); });
        first.join();
        second.join();
        const test_proc &won = a.exit_code == 0 ? a : b;
        const test_proc &lost = a.exit_code == 0 ? b : a;
        EXPECT_EQ(won.exit_code, 0) << name << ": " << won.out << won.err;
        EXPECT_EQ(lost.exit_code, 75) << name << ": " << lost.out << lost.err;
        EXPECT_EQ(lost.err, busy) << name;
        EXPECT_TRUE(has(won.out, "Installierte Version 1.0.0: ")) << name << ": " << won.out;
        updater_state st = site.state();
        EXPECT_STREQ(st.installed_version, "1.0.0") << name;
        EXPECT_STREQ(st.components, "core,agent") << name;
        EXPECT_EQ(st.last_catalog_sequence, site.sequence) << name;
    }
    for (const char *c : {"core", "agent"})
        srv_fault(site.dir + site.package_path("1.0.0", c), "");
}

}  // namespace
