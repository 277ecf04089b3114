// resource-lock: orvantis-sched
// resource-lock: product-programs
// orv_setup.exe's silent install and uninstall against the tests' update
// server: a signed catalog of real packages installed into a test directory
// and removed again, both runs postponed while another holds the lock, an
// uninstall that finds a backup running, a faulty settings file, an update
// without a selection, the folder of a UTF-8 answers file, a repair after the
// daily update was switched off, and the end of a failed run on one log.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "engine_site.h"
#include "fake_runs.h"
#include "run_win.h"
#include "test_util.h"
#include "update_server.h"

namespace {

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

    test_proc r = test_run_setup(with(site.setup_options(root), {"--components", "agent"}), 120000);
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

    r = test_run_setup(with(site.setup_options(root), {"--uninstall"}), 120000);
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

// An answers file saved in UTF-8, as every current editor saves it, names
// a folder with umlauts: the programs land in that folder, not in one named
// with the ANSI code page's reading of its UTF-8 bytes.
TEST(Flows, Utf8AnswersFileInstallsIntoItsFolder)
{
    ASSERT_TRUE(srv_ready());
    ASSERT_EQ(GetACP(), 1252u) << "the folder's characters are those of Windows-1252";
    engine_site site("flowsutf8");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    const std::string root = test_temp_dir("flowsutf8root");
    const std::string base = test_temp_dir("flowsutf8dir");
    const std::string answers = base + "\\antworten.txt";
    ASSERT_TRUE(test_write_file(answers, "\xEF\xBB\xBF# Antworten\r\nsilent\r\ninstall-dir = " +
                                             base + "\\Prüf Ördner ß\\inst\r\n"));
    // The site's options without its install directory: the command line
    // would win over the file.
    std::vector<std::string> args = site.setup_options(root);
    for (size_t i = 0; i + 1 < args.size(); i++)
        if (args[i] == "--install-dir")
            args.erase(args.begin() + (long)i, args.begin() + (long)i + 2);
    test_proc r = test_run_setup(with(args, {"--answers", answers}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

    std::wstring wbase(base.begin(), base.end());
    EXPECT_NE(GetFileAttributesW((wbase + L"\\Prüf Ördner ß\\inst\\bin\\agent_tool.exe").c_str()),
              INVALID_FILE_ATTRIBUTES)
        << r.out;
    EXPECT_EQ(GetFileAttributesW((wbase + L"\\PrÃ¼f Ã–rdner ÃŸ").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(std::string(site.state().installed_version), "1.0.0");
}

// A modify that switched the daily update off, then a repair: the repair
// does not turn it on again (in test mode no task can be seen, so it is
// left as it is).
TEST(Flows, RepairLeavesTheDailyUpdateOff)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsdaily");
    // With the updater program, whose daily task the install sets up.
    site_release release = engine_site::standard_release("1.0.0", {"core", "agent"});
    release.packages[0].bytes = engine_site::standard_package(
        "1.0.0", "core", {}, {engine_site::program("orv_updater", "1.0.0")});
    site.releases = {release};
    site.publish();
    const std::string root = test_temp_dir("flowsdailyroot");
    test_proc r = test_run_setup(with(site.setup_options(root), {"--components", "agent"}), 120000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Die tägliche Update-Suche ist eingerichtet\n")) << r.out;
    r = test_run_setup(with(site.setup_options(root), {"--modify", "--no-updater-schedule"}),
                       120000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_FALSE(has(r.out, "Update-Suche")) << r.out;
    r = test_run_setup(with(site.setup_options(root), {"--repair"}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Installierte Version 1.0.0: ")) << r.out;
    EXPECT_FALSE(has(r.out, "Update-Suche")) << r.out;
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
        test_proc r = test_run_setup(with(site.setup_options(root), c.extra), 120000);
        EXPECT_EQ(r.exit_code, 75) << c.name << ": " << r.out << r.err;
        EXPECT_EQ(r.err, c.expected_err) << c.name;
        EXPECT_FALSE(has(r.out, "Update-Einstellungen")) << c.name;
        EXPECT_FALSE(site_exists(root + "\\ProgramData\\orvantis\\updater.conf"))
            << c.name << ": settings written for a postponed run";
    }
    CloseHandle(h);
}

// An uninstall decides first whether it may remove anything: while the
// scheduler runs a job, or while another setup holds the lock, it removes
// neither the Windows entries (tasks, service, firewall rule, ...) nor the
// programs, and ends with 75. It runs outside test mode, so that it would
// reach the entries: from a directory of its own, with fake schtasks.exe
// and netsh.exe beside it that log every run, and a data directory below the
// test's directory.
TEST(Flows, UninstallWhileBusyRemovesNothing)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsbusy");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0);
    const std::string top = test_temp_dir("flowsbusytop");
    const std::string setup = top + "\\orv_setup.exe";
    ASSERT_TRUE(CopyFileA(test_setup_exe().c_str(), setup.c_str(), FALSE));
    const std::string tools_log = top + "\\tools.log";
    for (const char *tool : {"schtasks.exe", "netsh.exe"}) {
        std::string path = top + "\\" + tool;
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), path.c_str(), FALSE));
        ASSERT_TRUE(test_write_file(path + ".any", "log:" + tools_log + "\n"));
    }
    const std::string program_data = top + "\\ProgramData";
    ASSERT_TRUE(CreateDirectoryA(program_data.c_str(), nullptr));
    char saved[1024] = "";
    DWORD had = GetEnvironmentVariableA("ProgramData", saved, sizeof saved);
    SetEnvironmentVariableA("ProgramData", program_data.c_str());

    // The scheduler service: the fake program as orv_sched.exe, whose "list"
    // tells the job state.
    const std::string sched = top + "\\sched\\orv_sched.exe";
    ASSERT_TRUE(CreateDirectoryA((top + "\\sched").c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), sched.c_str(), FALSE));
    ASSERT_TRUE(test_write_file(sched + ".service", "service\n"));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    auto remove_service = [&] {
        SC_HANDLE old = OpenServiceA(manager, "orvantis-sched", SERVICE_ALL_ACCESS);
        if (!old)
            return;
        SERVICE_STATUS st;
        ControlService(old, SERVICE_CONTROL_STOP, &st);
        for (int i = 0; i < 100 && QueryServiceStatus(old, &st) &&
                        st.dwCurrentState != SERVICE_STOPPED;
             i++)
            Sleep(50);
        DeleteService(old);
        CloseServiceHandle(old);
    };
    remove_service();
    std::string line = "\"" + sched + "\" service";
    SC_HANDLE service = CreateServiceA(manager, "orvantis-sched", "orvantis Scheduler",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, line.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    auto state = [&] {
        SERVICE_STATUS st = {};
        QueryServiceStatus(service, &st);
        return st.dwCurrentState;
    };
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    for (int i = 0; i < 100 && state() != SERVICE_RUNNING; i++)
        Sleep(50);
    ASSERT_EQ(state(), (DWORD)SERVICE_RUNNING);

    struct {
        const char *name;
        const char *list;  // the scheduler's answer to "list"
        bool lock_held;    // another setup holds updater.lock
    } cases[] = {
        {"a backup job runs", "out:NAME ID STATE\\r\\nnightly 3 RUNNING\\r\\n", false},
        {"another setup holds the lock", "out:NAME ID STATE\\r\\nnightly 3 IDLE\\r\\n", true},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(test_write_file(sched + ".list", c.list));
        HANDLE lock = INVALID_HANDLE_VALUE;
        if (c.lock_held) {
            std::string path = std::string(site.cfg.state_dir) + "\\updater.lock";
            lock = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(lock, INVALID_HANDLE_VALUE) << c.name;
        }
        test_proc r = test_run(setup,
                               {"--silent", "--uninstall", "--install-dir", site.cfg.install_dir,
                                "--state-dir", site.cfg.state_dir},
                               120000);
        if (lock != INVALID_HANDLE_VALUE)
            CloseHandle(lock);
        EXPECT_EQ(r.exit_code, 75) << c.name << ": " << r.out << r.err;
        EXPECT_EQ(r.err,
                  "Fehler: Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte "
                  "später erneut versuchen.\n")
            << c.name;
        EXPECT_FALSE(has(r.out, "WARNUNG")) << c.name << ": " << r.out;
        EXPECT_EQ(state(), (DWORD)SERVICE_RUNNING) << c.name << ": the scheduler service is gone";
        EXPECT_TRUE(test_fake_runs(tools_log).empty()) << c.name << ": tasks or rules removed";
        EXPECT_TRUE(site_exists(site.bin() + "\\agent_tool.exe")) << c.name;
        EXPECT_EQ(std::string(site.state().installed_version), "1.0.0") << c.name;
        EXPECT_EQ(std::string(site.state().components), "core,agent") << c.name;
    }

    CloseServiceHandle(service);
    remove_service();
    CloseServiceHandle(manager);
    SetEnvironmentVariableA("ProgramData", had ? saved : nullptr);
}

// An updater.conf that cannot be read is not used, and it is not lost: the
// run keeps its bytes beside the new file (the newest copy kept) and the
// report names the copy and the line. The command line's settings are the
// ones written.
TEST(Flows, FaultySettingsFileIsKept)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsconf");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    const std::string root = test_temp_dir("flowsconfroot");
    const std::string dir = root + "\\ProgramData\\orvantis";
    const std::string conf = dir + "\\updater.conf";
    ASSERT_TRUE(CreateDirectoryA((root + "\\ProgramData").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));

    struct {
        const char *name;
        std::string bytes;
        std::string line;  // the line the warnings name, as German text
    } cases[] = {
        {"an unknown line, then a bad value",
         "# the administrator's settings\r\n"
         "url = https://updates.example.invalid/orvantis\r\n"
         "proxy = http://proxy.example.invalid:8080\r\n"
         "colour = blue\r\n"
         "timeout = soon\r\n",
         conf + ", Zeile 4: Unbekannte Einstellung „colour“"},
        {"a bad value: the newest file is the one kept",
         "url = https://other.example.invalid/orvantis\r\n"
         "timeout = 0\r\n",
         conf + ", Zeile 2: Ungültiger Wert für „timeout“"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(test_write_file(conf, c.bytes));
        test_proc r =
            test_run_setup(with(site.setup_options(root), {"--components", "agent"}), 120000);
        EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.out << r.err;
        EXPECT_EQ(r.err, "Warnung: " + c.line + " (die Datei wird nicht benutzt)\n") << c.name;
        EXPECT_TRUE(has(r.out, "Update-Einstellungen: " + conf + "\nWARNUNG: " + c.line +
                                   ". Die bisherige Datei liegt unverändert in " + conf +
                                   ".bad; ihre Einstellungen wurden nicht übernommen\n"))
            << c.name << ": " << r.out;
        EXPECT_EQ(test_read_file(conf + ".bad"), c.bytes) << c.name;
        std::string written = test_read_file(conf);
        EXPECT_TRUE(has(written, site.cfg.url)) << c.name << ": " << written;
        EXPECT_FALSE(has(written, "example.invalid")) << c.name << ": " << written;
    }

    // A readable file is replaced without a copy.
    DeleteFileA((conf + ".bad").c_str());
    test_proc r = test_run_setup(with(site.setup_options(root), {"--components", "agent"}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(has(r.out, ".bad")) << r.out;
    EXPECT_FALSE(site_exists(conf + ".bad"));
}

// A plain "--silent" over an installation, as a script runs an update,
// keeps the installed components, also one outside the client preset.
TEST(Flows, PlainSilentUpdateKeepsTheComponents)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowskeep");
    site.more_components = {{"maintenance", "Wartung"}};
    site.releases = {
        engine_site::standard_release("1.0.0", {"core", "agent", "maintenance"}),
        engine_site::standard_release("1.1.0", {"core", "agent", "maintenance"})};
    site.publish();
    const std::string root = test_temp_dir("flowskeeproot");

    test_proc r = test_run_setup(
        with(site.setup_options(root), {"--components", "agent,maintenance", "--to", "1.0.0"}),
        120000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_EQ(std::string(site.state().components), "core,agent,maintenance");

    r = test_run_setup(site.setup_options(root), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "Installierte Version 1.1.0: Core, Agent, Wartung\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Entfernt:")) << r.out;
    EXPECT_EQ(std::string(site.state().installed_version), "1.1.0");
    EXPECT_EQ(std::string(site.state().components), "core,agent,maintenance");
    EXPECT_TRUE(site_exists(site.bin() + "\\maintenance_tool.exe"));
}

// Scheduled scripts log with "> setup.log 2>&1": on that one stream the end
// of a failed run reads report, error line, warning summary.
TEST(Flows, EndOfAFailedRunInOrderOnOneLog)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsorder");
    program_answers broken;
    broken.fail_live = true;
    broken.selftest_out = "self-test failed";
    site_release rel;
    rel.version = "1.0.0";
    rel.packages = {{"core", engine_site::standard_package("1.0.0", "core")},
                    {"agent", engine_site::standard_package("1.0.0", "agent", broken)}};
    site.releases = {rel};
    site.publish();
    const std::string root = test_temp_dir("flowsorderroot");

    test_proc r = test_run_joined(
        test_setup_exe(), with(site.setup_options(root), {"--components", "agent"}), 120000);
    EXPECT_EQ(r.exit_code, 1) << r.out;
    size_t report = r.out.find("Einstellungen und Protokolle: ");
    size_t error = r.out.find("Fehler: ");
    size_t summary = r.out.find(" (Protokoll):\n");
    ASSERT_NE(report, std::string::npos) << r.out;
    ASSERT_NE(error, std::string::npos) << r.out;
    ASSERT_NE(summary, std::string::npos) << r.out;
    EXPECT_LT(report, error) << r.out;
    EXPECT_LT(error, summary) << r.out;
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
        const std::vector<std::string> args = site.setup_options(root);
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

// Two setups started at the same moment over an installation of 1.0.0 while
// 2.0.0 is offered: one proceeds, the other is postponed, and bin holds the
// winner's version with the state recording it; for two updates, and for a
// repair racing an update.
TEST(Flows, TwoSetupsAtOnceOverAnInstallationOneProceeds)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsracing");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    test_proc r = test_run_setup(site.setup_installation("base"), 120000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    site.releases.push_back(engine_site::standard_release("2.0.0", {"core", "agent"}));
    site.publish();
    // Slow packages keep the winner inside the lock while the other asks.
    for (const char *v : {"1.0.0", "2.0.0"})
        for (const char *c : {"core", "agent"})
            srv_fault(site.dir + site.package_path(v, c), "stall 2\n");
    const std::string busy =
        "Fehler: Gerade läuft eine Sicherung, Wiederherstellung, Wartung oder ein anderes "
        "Update. Bitte später erneut versuchen.\n";
    const std::vector<std::string> programs = {"agent_tool.exe", "core_tool.exe"};

    struct {
        const char *name;
        std::vector<std::string> first, second;  // extra options of each setup
        const char *first_gives, *second_gives;  // the version each installs when it wins
    } cases[] = {
        {"two updates", {}, {}, "2.0.0", "2.0.0"},
        {"a repair and an update", {"--repair"}, {}, "1.0.0", "2.0.0"},
    };
    int round = 0;
    for (const auto &c : cases) {
        for (int i = 0; i < 4; i++) {
            const std::string name = "r" + std::to_string(round++);
            SCOPED_TRACE(std::string(c.name) + ", " + name);
            const std::vector<std::string> opts = site.setup_copy("base", name);
            test_proc a, b;
            std::thread first([&] { a = test_run_setup(with(opts, c.first), 120000); });
            std::thread second([&] { b = test_run_setup(with(opts, c.second), 120000); });
            first.join();
            second.join();
            const bool first_won = a.exit_code == 0;
            const test_proc &won = first_won ? a : b;
            const test_proc &lost = first_won ? b : a;
            EXPECT_EQ(won.exit_code, 0) << won.out << won.err;
            EXPECT_EQ(lost.exit_code, 75) << lost.out << lost.err;
            EXPECT_EQ(lost.err, busy);
            const std::string v = first_won ? c.first_gives : c.second_gives;
            EXPECT_EQ(site.live_version(programs), v);
            EXPECT_EQ(std::string(site.state().installed_version), v);
            EXPECT_EQ(engine_site::names(site.cfg.install_dir),
                      (std::vector<std::string>{"bin", "versions"}));
            EXPECT_FALSE(site.lock_held());
        }
    }
    for (const char *v : {"1.0.0", "2.0.0"})
        for (const char *c : {"core", "agent"})
            srv_fault(site.dir + site.package_path(v, c), "");
}

// A selection whose ids do not fit the state's list of 255 characters (core
// and eleven ids of 24 characters, 279 in all) is refused before anything
// is downloaded and changes nothing; a selection that fits installs, and
// the installation can be removed.
TEST(Flows, SelectionThatTheStateCannotRecordChangesNothing)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowslong");
    std::vector<std::string> ids = {"core"};
    for (int i = 0; i < 11; i++) {
        ids.push_back(std::string(23, (char)('a' + i)) + "x");
        site.more_components.push_back({ids.back(), "Teil " + std::to_string(i)});
    }
    site.releases = {engine_site::standard_release("1.0.0", ids)};
    site.publish();
    const std::string root = test_temp_dir("flowslongroot");
    const std::string refused =
        "Fehler: Zu viele Komponenten auf einmal: Ihre Kennungen ergeben zusammen 279 Zeichen, "
        "der Installationsstatus fasst höchstens 255. Bitte weniger Komponenten wählen.\n";
    const std::vector<std::string> all = with(site.setup_options(root), {"--preset", "all"});

    test_proc r = test_run_setup(all, 120000);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.err, refused);
    EXPECT_FALSE(site_exists(site.cfg.install_dir));
    for (const std::string &id : ids)
        EXPECT_EQ(site.requests(site.package_path("1.0.0", id)), 0u) << id << " was downloaded";

    r = test_run_setup(with(site.setup_options(root), {"--components", ids[1]}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(std::string(site.state().components), "core," + ids[1]);
    EXPECT_EQ(site.live_version({ids[1] + "_tool.exe", "core_tool.exe"}), "1.0.0");

    // Over an installation too: it stays as it is.
    r = test_run_setup(all, 120000);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.err, refused);
    EXPECT_EQ(std::string(site.state().components), "core," + ids[1]);
    EXPECT_EQ(site.live_version({ids[1] + "_tool.exe", "core_tool.exe"}), "1.0.0");

    r = test_run_setup(with(site.setup_options(root), {"--uninstall"}), 120000);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_FALSE(site_exists(site.bin()));
    EXPECT_EQ(std::string(site.state().components), "");
}

// Every run that may change the installation heals a switch that an ended
// run left half done before it connects: one that cannot reach its server
// fails, yet leaves bin on one version with the state naming it; an
// uninstall removes the healed installation.
TEST(Flows, ARunThatCannotConnectHealsAnEndedSwitch)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("flowsheal");
    site.releases = {engine_site::standard_release("1.0.0", {"core", "agent"})};
    site.publish();
    test_proc r = test_run_setup(site.setup_installation("base"), 120000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::vector<std::string> programs = {"agent_tool.exe", "core_tool.exe"};

    struct {
        const char *name;
        std::vector<std::string> extra;
        bool tested;        // the switch's programs had passed
        int exit_code;
        const char *live;   // the version of bin and of the state afterwards ("" none)
    } cases[] = {
        {"install", {}, false, 1, "1.0.0"},
        {"modify", {"--modify"}, false, 1, "1.0.0"},
        {"repair", {"--repair"}, false, 1, "1.0.0"},
        {"install after the programs passed", {}, true, 1, "2.0.0"},
        {"uninstall", {"--uninstall"}, false, 0, ""},
    };
    int round = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> opts = site.setup_copy("base", "h" + std::to_string(round++));
        ASSERT_NO_FATAL_FAILURE(
            site.leave_a_switch("2.0.0", {"core_tool", "agent_tool"}, "core,agent", c.tested));
        r = test_run_setup(with(engine_site::offline(opts), c.extra), 120000);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
        EXPECT_FALSE(site_exists(std::string(site.cfg.install_dir) + "\\switch.journal"));
        EXPECT_EQ(site.live_version(c.live[0] ? programs : std::vector<std::string>{}), c.live);
        EXPECT_EQ(std::string(site.state().installed_version), c.live);
        for (const std::string &n : engine_site::names(site.bin()))
            EXPECT_EQ(n.find(".old-"), std::string::npos) << n;
        EXPECT_FALSE(site.lock_held());
    }
}

}  // namespace
