// resource-lock: orvantis-sched
// resource-lock: product-programs
// orv_setup.exe ended by force while it checks a packaged program: the
// program it was checking must end with it, or every later run would find a
// product program running and postpone.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "engine_site.h"
#include "proc.h"
#include "proc_cmdline.h"
#include "run_win.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// The id of a process named image whose parent is parent; 0 when none runs.
DWORD child_named(DWORD parent, const char *image)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    DWORD found = 0;
    for (BOOL more = Process32First(snap, &pe); more && !found; more = Process32Next(snap, &pe))
        if (pe.th32ParentProcessID == parent && _stricmp(pe.szExeFile, image) == 0)
            found = pe.th32ProcessID;
    CloseHandle(snap);
    return found;
}

}  // namespace

TEST(Killed, SetupEndedDuringAProgramCheckLeavesNoProgramBehind)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("killedcheck");
    // The core package carries orv_updater.exe, whose self-test takes long
    // enough to end the setup while it runs.
    program_answers slow;
    slow.selftest_sleep_ms = 60000;
    site_release rel = engine_site::standard_release("1.0.0", {"core"});
    rel.packages[0].bytes = engine_site::standard_package(
        "1.0.0", "core", {}, {engine_site::program("orv_updater", "1.0.0", slow)});
    site.releases = {rel};
    site.publish();
    const std::string root = test_temp_dir("killedroot");

    std::vector<std::string> args = site.setup_options(root);
    args.insert(args.begin(), test_setup_exe());
    char line[PROC_CMDLINE_MAX] = "";
    for (const std::string &a : args)
        ASSERT_EQ(proc_cmdline_append_arg(line, sizeof line, a.c_str()), 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));

    // Its "--version" ends at once; the one that stays for a second is the
    // self-test.
    DWORD check = 0;
    int seen = 0;
    for (int i = 0; i < 1200 && seen < 20 && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT;
         i++) {
        DWORD pid = child_named(pi.dwProcessId, "orv_updater.exe");
        seen = pid && pid == check ? seen + 1 : 0;
        check = pid;
        Sleep(50);
    }
    ASSERT_EQ(seen, 20) << "the setup never checked orv_updater.exe for long";
    ASSERT_TRUE(TerminateProcess(pi.hProcess, 1));
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    EXPECT_TRUE(test_process_ended(check)) << "the checked program outlived the setup";
    char names[256];
    EXPECT_EQ(proc_running_programs(names, sizeof names), 0) << names;
}

namespace {

// The programs of the killed site's releases: the core package carries the
// updater beside its tool.
const std::vector<std::string> kPrograms = {"agent_tool.exe", "core_tool.exe",
                                            "orv_updater.exe"};

// A release of the killed site: core (two programs) and agent.
site_release crash_release(const std::string &version)
{
    site_release r = engine_site::standard_release(version, {"core", "agent"});
    r.packages[0].bytes = engine_site::standard_package(
        version, "core", {}, {engine_site::program("orv_updater", version)});
    return r;
}

// Milliseconds of a steady clock.
double now_ms()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return (double)c.QuadPart * 1000.0 / (double)f.QuadPart;
}

// Where a kill point counts from: the start of the run, or the moment the
// new version's directory appears (the switch of bin comes right after it).
enum kill_from { FROM_START, FROM_VERSION_DIR };

// One kill point.
struct kill_point {
    kill_from from;
    double ms;  // after that moment
};

// Waits until path stands (empty: at once) and then ms have passed since
// start, or since path appeared, and ends the process pid unless it ended by
// itself first. true when it was ended here.
bool end_at(unsigned long pid, double start, const std::string &path, double ms,
            unsigned limit_ms)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!process)
        return false;
    bool ended = false;
    double from = start;
    bool there = path.empty();
    for (; !there && now_ms() - start < limit_ms; there = site_exists(path))
        if (WaitForSingleObject(process, 0) != WAIT_TIMEOUT)
            break;
    if (there) {
        if (!path.empty())
            from = now_ms();
        // Busy: a sleep would round the short delays up to the scheduler's tick.
        while (now_ms() - from < ms && WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        }
        ended = WaitForSingleObject(process, 0) == WAIT_TIMEOUT && TerminateProcess(process, 9);
    }
    CloseHandle(process);
    return ended;
}

}  // namespace

// An update from 1.0.0 to 2.0.0 ended by force at points spread over its
// length and packed around the program switch: afterwards bin holds the
// programs of one version (or a journal that the next run settles), a next
// run that cannot connect, or one that cannot download, settles it anyway
// with the state agreeing, and the run after that completes and leaves
// nothing of the killed one behind. Kills land inside the switch, and every
// switch they leave is healed.
TEST(Killed, UpdateEndedAtAnyPointLeavesOneVersion)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("killedupdate");
    site.releases = {crash_release("1.0.0")};
    site.publish();
    // The installation every kill starts from, copied for each.
    test_proc r = test_run_setup(site.setup_installation("base"), 120000);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    site.releases.push_back(crash_release("2.0.0"));
    site.publish();

    // A whole update first, to learn how long one takes.
    std::vector<std::string> opts = site.setup_copy("base", "measure");
    double t0 = now_ms();
    r = test_run_setup(opts, 120000);
    const double full = now_ms() - t0;
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_EQ(site.live_version(kPrograms), "2.0.0");
    printf("a whole update took %.0f ms\n", full);

    std::vector<kill_point> points;
    for (double f : {0.05, 0.15, 0.25, 0.35, 0.45, 0.55, 0.65, 0.75, 0.85, 0.95})
        points.push_back({FROM_START, f * full});
    for (double ms : {0.0, 0.5, 1.0, 2.0, 3.0, 5.0, 8.0, 12.0, 20.0, 40.0, 80.0, 160.0, 320.0})
        points.push_back({FROM_VERSION_DIR, ms});

    // A release whose packages the server never serves.
    const site_release unreachable = crash_release("3.0.0");
    for (const site_package &p : unreachable.packages)
        site.refuse(site.package_path("3.0.0", p.component), true);

    int ended = 0, journals = 0, healed = 0;
    int round = 0;
    for (const kill_point &k : points) {
        const std::string name = "k" + std::to_string(round++);
        SCOPED_TRACE(name + (k.from == FROM_START ? ": from the start, " : ": from the version "
                                                                           "directory, ") +
                     std::to_string(k.ms) + " ms");
        opts = site.setup_copy("base", name);
        ASSERT_STREQ(site.state().installed_version, "1.0.0") << "the copy is not the base";
        const std::string mark = k.from == FROM_START ? "" : site.version_dir("2.0.0");
        bool killed = false, watched = false;
        const double start = now_ms();
        // The first look at the run waits for the kill point itself.
        r = test_run_watched(test_setup_exe(), opts, 120000, [&](unsigned long pid) {
            if (!watched)
                killed = end_at(pid, start, mark, k.ms, 60000);
            watched = true;
        });
        ended += killed;
        // A switch that was ended leaves its journal, and bin is settled by
        // the next run; without one, bin must hold one version now.
        const std::string journal = std::string(site.cfg.install_dir) + "\\switch.journal";
        const bool left = site_exists(journal);
        if (left) {
            journals++;
        } else {
            std::string v = site.live_version(kPrograms);
            EXPECT_TRUE(v == "1.0.0" || v == "2.0.0") << "after the kill: " << v;
            EXPECT_EQ(std::string(site.state().installed_version), v) << "after the kill";
        }

        // The next run cannot reach its server (every other round), or
        // finds a newer release it cannot download, so what it leaves is
        // what it made of the kill's leftovers, not a new install.
        const bool offline = round % 2 == 0;
        const std::string next = offline ? "a run that could not connect"
                                         : "a run that could not download";
        site.releases.push_back(unreachable);
        site.publish();
        r = test_run_setup(offline ? engine_site::offline(opts) : opts, 120000);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        std::string v = site.live_version(kPrograms);
        EXPECT_TRUE(v == "1.0.0" || v == "2.0.0") << "after " << next << ": " << v;
        EXPECT_EQ(std::string(site.state().installed_version), v) << "after " << next;
        EXPECT_FALSE(site_exists(journal)) << "after " << next;
        healed += left && !site_exists(journal);

        site.releases.pop_back();
        site.publish();
        r = test_run_setup(opts, 120000);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(site.live_version(kPrograms), "2.0.0");
        EXPECT_EQ(std::string(site.state().installed_version), "2.0.0");
        EXPECT_EQ(engine_site::names(site.cfg.install_dir),
                  (std::vector<std::string>{"bin", "versions"}));
        EXPECT_EQ(engine_site::names(site.version_dir("")),
                  (std::vector<std::string>{"1.0.0", "2.0.0"}));
        for (const std::string &n : engine_site::names(site.downloads()))
            EXPECT_EQ(n.find("-2.0.0."), std::string::npos) << n << " stayed in the downloads";
        EXPECT_FALSE(site.lock_held());
    }
    for (const site_package &p : unreachable.packages)
        site.refuse(site.package_path("3.0.0", p.component), false);
    printf("%zu kill points, %d ended the run, %d left a journal, %d of them healed\n",
           points.size(), ended, journals, healed);
    EXPECT_GT(ended, 0);
    EXPECT_GT(journals, 0) << "no kill landed inside the switch";
    EXPECT_EQ(healed, journals);
}
