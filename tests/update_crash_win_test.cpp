// resource-lock: orvantis-sched
// resource-lock: product-programs
// An update from one version to the next whose process ends at every step:
// the test runs itself as a child that updates a copy of an installation and
// terminates itself at its Nth step (each log line the engine writes, each
// file operation and each journal write of the version switch, a copy or a
// journal line cut in the middle), for N = 1, 2, ... until the update gets
// through. After every end the next run finds bin holding exactly the
// programs of one version, the version that the state records, and the run
// after it updates with 0 and leaves no journal, no staging directory and no
// held lock behind. The same for the recovery of a switch that an end left,
// itself ended at every step.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

#include "catalog.h"
#include "engine_site.h"
#include "install.h"
#include "lock.h"
#include "log.h"
#include "run_win.h"
#include "signed.h"
#include "state.h"
#include "test_util.h"
#include "update_server.h"
#include "versions_win_seam.h"

namespace {

// Where the parent tells the child what to do.
const char kDirVar[] = "ORV_CRASH_DIR";  // holds "cfg.bin"; the child writes "completed" there
const char kAtVar[] = "ORV_CRASH_AT";    // the step at which the child ends itself
const char kRunVar[] = "ORV_CRASH_RUN";  // "update" (update_run), "install" (install_run),
                                         // "forced" (update_run with force), or
                                         // "recover" (updater_recover)

// The child's count of steps and the one it ends at.
int steps_taken;
int end_at;
// The step of each journal line the child wrote and the line's first word,
// one a line: the child leaves it beside "completed".
std::string journal_steps;

// Counts one step; at the chosen one the process ends at once, as a power
// cut or a killed process would end it.
void step(void)
{
    if (++steps_taken == end_at)
        TerminateProcess(GetCurrentProcess(), 99);
}

BOOL WINAPI crash_move(LPCSTR from, LPCSTR to, DWORD flags)
{
    step();
    return versions_win_real.move_file(from, to, flags);
}

BOOL WINAPI crash_delete(LPCSTR path)
{
    step();
    return versions_win_real.delete_file(path);
}

// A copy that ends the process halfway: half the bytes at the target.
BOOL WINAPI crash_copy(LPCSTR from, LPCSTR to, BOOL fail_if_exists)
{
    if (steps_taken + 1 == end_at) {
        std::string bytes = test_read_file(from);
        test_write_file(to, bytes.substr(0, bytes.size() / 2));
    }
    step();
    return versions_win_real.copy_file(from, to, fail_if_exists);
}

// A journal write that ends the process halfway through its line.
BOOL WINAPI crash_write(HANDLE h, LPCVOID data, DWORD len, LPDWORD wrote, LPOVERLAPPED ov)
{
    if (steps_taken + 1 == end_at) {
        DWORD half = 0;
        versions_win_real.write_file(h, data, len / 2, &half, ov);
        versions_win_real.flush_file(h);
    }
    step();
    std::string line((const char *)data, len);
    journal_steps += std::to_string(steps_taken) + " " + line.substr(0, line.find('\t')) +
                     (line.find('\t') == std::string::npos ? "" : "\n");
    return versions_win_real.write_file(h, data, len, wrote, ov);
}

void crash_log(int, const char *, void *) { step(); }

std::string crash_dir() { return getenv(kDirVar) ? getenv(kDirVar) : ""; }

update_options options(uint32_t check_only = 0, const char *target = nullptr)
{
    update_options o = {};
    o.bucket = 0;
    o.check_only = check_only;
    o.target_version = target;
    return o;
}

// The programs of a whole release, as names in bin.
const std::vector<std::string> kPrograms = {"agent_tool.exe", "core_tool.exe"};

// install_run of version 1.1.0 of the catalog with the components core and
// agent, as the setup calls it.
int child_install(const updater_config *cfg, const host_facts *hf, char *err, size_t errlen)
{
    updater_state st;
    state_read(cfg, &st);
    component_catalog cat = {};
    char url[SIGNED_URL_MAX] = "";
    if (catalog_load(cfg, &st, (int64_t)time(nullptr), &cat, url, sizeof url, err, errlen) != 0)
        return -1;
    const char *ids[] = {"core", "agent"};
    const manifest_artifact *pkgs[INSTALL_MAX_ARTIFACTS] = {};
    int rc = -1;
    for (size_t i = 0; i < cat.release_count; i++) {
        if (strcmp(cat.releases[i].version, "1.1.0") != 0 ||
            catalog_pick_packages(&cat.releases[i], hf, ids, 2, pkgs, nullptr) != 0)
            continue;
        install_request req = {};
        req.version = cat.releases[i].version;
        req.artifacts = pkgs;
        req.count = 2;
        req.base_url = url;
        req.force = 1;
        rc = install_run(cfg, hf, &req, err, errlen);
    }
    catalog_free(&cat);
    return rc;
}

// What one crash test runs and expects.
struct crash_case {
    const char *run;                  // the child's run: "update", "install", "forced" or
                                      // "recover" (of the install's switch)
    std::string from, to;             // the versions before and after (to fails: none after)
    std::vector<std::string> before;  // the live programs of from
    std::vector<std::string> after;   // the live programs of to
    bool fails = false;               // to fails its live self-test: from stays
    std::string kept = "";            // a file below the installation directory that
    std::string kept_bytes = "";      // must hold these bytes after every end, if set
    int prepare_at = 0;               // > 0: an install ended at this step first, in place
    int min_ends = 10;                // the fewest steps the run ends at on its way
};

// 1 for a case whose runs are those of the component engine.
bool components(const crash_case &c)
{
    return strcmp(c.run, "install") == 0 || strcmp(c.run, "recover") == 0;
}

// The next run after an end: one that takes the lock (and so finishes or
// undoes the switch) and changes nothing else.
void run_next(engine_site &site, const crash_case &c, int at)
{
    char err[600] = "";
    update_options o = options(1);
    int rc = !components(c) ? update_run(&site.cfg, &o, &site.hf, err, sizeof err)
                            : update_components_run(&site.cfg, &o, &site.hf, err, sizeof err);
    EXPECT_TRUE(rc == 0 || rc == 10) << at << ": " << rc << " " << err;
}

// The run that completes: to over whatever the end left.
site_result run_complete(engine_site &site, const crash_case &c)
{
    if (components(c))
        return site.install(c.to, {"core", "agent"});
    update_options o = options();
    o.force = strcmp(c.run, "forced") == 0;
    return site.update(o);
}

// Runs the child's run on the installation below site.root\name, a copy of
// the one below site.root\from (or, with from empty, as it stands: a journal
// names the files of its own installation), ending it at step at, and points
// site at it. The child's result, and whether it completed.
test_proc run_child(engine_site &site, const char *run, const std::string &from,
                    const std::string &name, int at, bool *completed)
{
    std::string self(MAX_PATH, '\0');
    self.resize(GetModuleFileNameA(nullptr, &self[0], MAX_PATH));
    SetEnvironmentVariableA(kRunVar, run);
    std::string base = site.root + "\\" + name;
    if (!from.empty())
        std::filesystem::copy(site.root + "\\" + from, base,
                              std::filesystem::copy_options::recursive);
    std::filesystem::remove(base + "\\completed");
    site.use_installation(name);
    EXPECT_TRUE(test_write_file(base + "\\cfg.bin",
                                std::string((const char *)&site.cfg, sizeof site.cfg)));
    SetEnvironmentVariableA(kDirVar, base.c_str());
    SetEnvironmentVariableA(kAtVar, std::to_string(at).c_str());
    test_proc child = test_run(self, {"--gtest_filter=UpdateCrash.DISABLED_Child",
                                      "--gtest_also_run_disabled_tests"});
    *completed = site_exists(base + "\\completed");
    return child;
}

// Ends the child's run of c at every step in turn, on a copy of the
// installation below site.root\template each time (first ended itself at
// c.prepare_at by an install, when that is set), and checks what the next
// runs find.
void end_at_every_step(engine_site &site, const crash_case &c)
{
    bool completed = false;
    int ends = 0;
    for (int at = 1; at <= 300 && !completed; at++) {
        std::string name = std::string(c.run) + std::to_string(c.prepare_at) + "_" +
                           std::to_string(at);
        std::string base = site.root + "\\" + name;
        std::string from = "template";
        if (c.prepare_at) {
            run_child(site, "install", from, name, c.prepare_at, &completed);
            ASSERT_FALSE(completed) << at;
            ASSERT_TRUE(site_exists(std::string(site.cfg.install_dir) + "\\switch.journal"))
                << at;
            from = "";
        }
        test_proc child = run_child(site, c.run, from, name, at, &completed);
        if (completed) {
            EXPECT_EQ(child.exit_code, 0) << at << ": " << child.out;
            EXPECT_EQ(test_read_file(base + "\\completed").substr(0, 2), c.fails ? "1 " : "0 ")
                << at;
        } else {
            ASSERT_EQ(child.exit_code, 99) << at << ": " << child.out << child.err;
            ends++;
        }

        // The end left no lock held.
        ASSERT_EQ(updater_lock_acquire(&site.cfg), 0) << at;
        updater_lock_release();
        run_next(site, c, at);
        std::string live = site.live_version();
        std::string recorded = site.state().installed_version;
        EXPECT_EQ(live, recorded) << at << ": the programs and the record agree";
        EXPECT_TRUE(live == c.from || live == c.to) << at << ": " << live;
        EXPECT_EQ(engine_site::names(site.bin()), live == c.to ? c.after : c.before)
            << at << ": " << live;
        EXPECT_FALSE(site_exists(std::string(site.cfg.install_dir) + "\\switch.journal")) << at;

        site_result r = run_complete(site, c);
        const std::string &now = c.fails ? c.from : c.to;
        EXPECT_EQ(r.rc, c.fails ? 1 : 0) << at << ": " << r.err;
        EXPECT_EQ(site.live_version(), now) << at;
        EXPECT_EQ(site.state().installed_version, now) << at;
        if (!c.fails) {
            EXPECT_EQ(site.state().previous_version, c.from) << at;
        }
        EXPECT_EQ(engine_site::names(site.bin()), c.fails ? c.before : c.after) << at;
        if (!c.kept.empty()) {
            EXPECT_EQ(test_read_file(std::string(site.cfg.install_dir) + "\\" + c.kept),
                      c.kept_bytes)
                << at;
        }
        // Neither this run's staging directory nor the ended one's.
        for (auto &n : engine_site::names(site.cfg.install_dir))
            EXPECT_EQ(n.find(".staging-"), std::string::npos) << at << ": " << n;
        EXPECT_FALSE(site_exists(std::string(site.cfg.install_dir) + "\\switch.journal")) << at;
        ASSERT_EQ(updater_lock_acquire(&site.cfg), 0) << at;
        updater_lock_release();
        if (::testing::Test::HasFailure())
            break;
    }
    EXPECT_TRUE(completed) << c.run << ": it never got through";
    EXPECT_GT(ends, c.min_ends) << c.run << ": ended at every step on the way";
}

// Publishes the whole releases 2.0.0 and 2.1.0 and installs 2.0.0 into the
// template installation.
void two_releases_first_installed(engine_site &site)
{
    site.releases.push_back(engine_site::whole_release("2.0.0"));
    site.releases.push_back(engine_site::whole_release("2.1.0"));
    site.publish_manifest();
    site.use_installation("template");
    site_result r = site.update(options(0, "2.0.0"));
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(site.live_version(), "2.0.0");
}

// Publishes 1.0.0 of core, agent and restore and 1.1.0 of core and agent,
// and installs 1.0.0 into the template installation.
void component_releases_first_installed(engine_site &site)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent", "restore"}));
    site.releases.push_back(engine_site::standard_release("1.1.0", {"core", "agent"}));
    site.publish();
    site.use_installation("template");
    site_result r = site.install("1.0.0", {"core", "agent", "restore"});
    ASSERT_EQ(r.rc, 0) << r.err;
}

// The live programs of 1.0.0 of component_releases_first_installed.
const std::vector<std::string> kComponentPrograms = {"agent_tool.exe", "core_tool.exe",
                                                     "restore_tool.exe"};

} // namespace

// The child: updates the installation that cfg.bin describes, ending itself
// at step ORV_CRASH_AT. Run only by the test below.
TEST(UpdateCrash, DISABLED_Child)
{
    std::string dir = crash_dir();
    ASSERT_FALSE(dir.empty());
    std::string bytes = test_read_file(dir + "\\cfg.bin");
    updater_config cfg;
    ASSERT_EQ(bytes.size(), sizeof cfg);
    memcpy(&cfg, bytes.data(), sizeof cfg);
    end_at = atoi(getenv(kAtVar) ? getenv(kAtVar) : "0");
    host_facts hf;
    host_facts_detect(&hf);
    log_init("update_crash", LOG_INFO);
    log_set_callback(crash_log, nullptr);
    versions_win.move_file = crash_move;
    versions_win.delete_file = crash_delete;
    versions_win.copy_file = crash_copy;
    versions_win.write_file = crash_write;
    const char *run = getenv(kRunVar);
    update_options o = options();
    o.force = run && strcmp(run, "forced") == 0;
    char err[600] = "";
    int rc = run && strcmp(run, "install") == 0   ? child_install(&cfg, &hf, err, sizeof err)
             : run && strcmp(run, "recover") == 0 ? updater_recover(&cfg, err, sizeof err)
                                                  : update_run(&cfg, &o, &hf, err, sizeof err);
    log_set_callback(nullptr, nullptr);
    test_write_file(dir + "\\journal_steps", journal_steps);
    test_write_file(dir + "\\completed", std::to_string(rc) + " " + err);
}

TEST(UpdateCrash, EveryEndOfAnUpdateLeavesOneVersionAndTheNextRunCompletes)
{
    engine_site site("crash");
    site_log log;
    ASSERT_NO_FATAL_FAILURE(two_releases_first_installed(site));
    end_at_every_step(site, {"update", "2.0.0", "2.1.0", kPrograms, kPrograms});
}

// An update that fails its live self-test, over a copy of its version that
// a rollback left on disk: every end, and the undo after the failure, leave
// the installed programs live and the good copy in its place.
TEST(UpdateCrash, EveryEndOfAFailingUpdateKeepsTheInstalledVersion)
{
    engine_site site("crash_fails");
    site_log log;
    ASSERT_NO_FATAL_FAILURE(two_releases_first_installed(site));
    ASSERT_EQ(site.update(options()).rc, 0);
    ASSERT_EQ(site.rollback().rc, 0);
    std::string good = test_read_file(site.version_dir("2.1.0") + "\\bin\\agent_tool.exe");
    ASSERT_FALSE(good.empty());
    program_answers a;
    a.fail_live = true;
    site.releases[1] = {"2.1.0", {{"", engine_site::release_package("2.1.0", a)}}, ""};
    site.publish_manifest();
    crash_case c = {"forced", "2.0.0", "2.1.0", kPrograms, kPrograms};
    c.fails = true;
    c.kept = "versions\\2.1.0\\bin\\agent_tool.exe";
    c.kept_bytes = good;
    end_at_every_step(site, c);
}

// The component engine the same way, with a program of a component that the
// new version no longer has, which the switch moves aside.
TEST(UpdateCrash, EveryEndOfAnInstallLeavesOneVersionAndTheNextRunCompletes)
{
    engine_site site("crash_install");
    site_log log;
    ASSERT_NO_FATAL_FAILURE(component_releases_first_installed(site));
    end_at_every_step(site, {"install", "1.0.0", "1.1.0", kComponentPrograms, kPrograms});
}

// The recovery of a switch that an ended install left, itself ended at every
// step: of a switch ended halfway, and of one ended after its programs had
// passed. Each end leaves bin on one version, or a journal that the next
// run settles, and the install after that completes.
TEST(UpdateCrash, EveryEndOfARecoveryLeavesOneVersionAndTheNextRunCompletes)
{
    engine_site site("crash_recover");
    site_log log;
    ASSERT_NO_FATAL_FAILURE(component_releases_first_installed(site));

    // Where a whole install writes its journal lines.
    bool completed = false;
    run_child(site, "install", "template", "probe", 1 << 30, &completed);
    ASSERT_TRUE(completed);
    std::string steps = test_read_file(site.root + "\\probe\\journal_steps");
    int halfway = 0, passed = 0, lines = 0;
    for (size_t at = 0; at < steps.size();) {
        size_t end = steps.find('\n', at);
        std::string line = steps.substr(at, end - at);
        at = end == std::string::npos ? steps.size() : end + 1;
        // Ended at the step after a line's: the line is on disk, its step not taken.
        int step_of = atoi(line.c_str());
        if (++lines == 3)
            halfway = step_of + 1;
        if (line.find(" tested") != std::string::npos)
            passed = step_of + 1;
    }
    ASSERT_GT(halfway, 0) << steps;
    ASSERT_GT(passed, halfway) << steps;

    struct {
        const char *name;
        int at;
    } ends[] = {{"halfway", halfway}, {"passed", passed}};
    for (auto &e : ends) {
        SCOPED_TRACE(e.name);
        crash_case c = {"recover", "1.0.0", "1.1.0", kComponentPrograms, kPrograms};
        c.prepare_at = e.at;
        c.min_ends = 3;
        end_at_every_step(site, c);
    }
}
