// resource-lock: orvantis-sched
// resource-lock: product-programs
// The update of an installation delivered as one package per release, and
// its rollback, end to end against the tests' update server: a signed
// manifest.json of whole-release tar+zstd packages whose programs answer
// "--version" and "--selftest", updated, checked, refused, undone, rolled
// back and postponed, with the live programs, the version directories, the
// state file, the downloads and the log looked at afterwards. The scheduler
// service is a seam: Wine has none to stop.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <windows.h>

#include "engine_site.h"
#include "install.h"
#include "install_win_seam.h"
#include "log.h"
#include "proc_win.h"
#include "seam_guard.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// The options of a scheduled update on this computer (bucket 0, so that a
// staged rollout never holds a test's release back).
update_options options(uint32_t force = 0, uint32_t check_only = 0)
{
    update_options o = {};
    o.bucket = 0;
    o.force = force;
    o.check_only = check_only;
    return o;
}

std::string failed_before(const std::string &v)
{
    return "version " + v +
           " failed on this machine before; not trying it again (use --force, or wait for a "
           "newer release)";
}

// The agent program of a whole release, as installed.
std::string agent_bytes(const std::string &version)
{
    return engine_site::program("agent_tool", version).data;
}

// A release of 2.1.0 whose agent passes its check in staging and fails live.
site_release failing_live(const std::string &version)
{
    program_answers a;
    a.fail_live = true;
    return {version, {{"", engine_site::release_package(version, a)}}, ""};
}

class Update : public ::testing::Test {
protected:
    engine_site site{"update"};
    site_log log;

    // Publishes 2.0.0 and updates the empty installation to it.
    void install_first()
    {
        site.releases.push_back(engine_site::whole_release("2.0.0"));
        site.publish_manifest();
        site_result r = site.update(options());
        ASSERT_EQ(r.rc, 0) << r.err;
        ASSERT_EQ(site.live_version(), "2.0.0");
    }
    std::string versions() const { return std::string(site.cfg.install_dir) + "\\versions"; }
    std::string journal() const { return std::string(site.cfg.install_dir) + "\\switch.journal"; }
};

} // namespace

// An empty installation updated to the first release and on to the next,
// a check that finds the next one, a rollback that marks the version left,
// and an update that takes it again only when forced.
TEST_F(Update, UpdatesChecksRollsBackAndRefusesTheAbandonedVersion)
{
    install_first();
    EXPECT_TRUE(log.has(LOG_INFO, "installed 2.0.0-alpha.027, available 2.0.0"));
    EXPECT_TRUE(log.has(LOG_INFO, "downloading pkgs/release-2.0.0.pkg"));
    EXPECT_TRUE(log.has(LOG_INFO, "updated 2.0.0-alpha.027 -> 2.0.0"));
    updater_state st = site.state();
    EXPECT_STREQ(st.installed_version, "2.0.0");
    EXPECT_STREQ(st.previous_version, "");
    EXPECT_STREQ(st.components, "") << "a whole update records no components";
    EXPECT_EQ(engine_site::names(site.bin()),
              (std::vector<std::string>{"agent_tool.exe", "core_tool.exe"}));
    EXPECT_EQ(engine_site::names(site.downloads()), std::vector<std::string>{});
    EXPECT_EQ(engine_site::names(site.cfg.install_dir),
              (std::vector<std::string>{"bin", "versions"}));

    site_release next = engine_site::whole_release("2.1.0");
    next.notes = "faster";
    site.releases.push_back(next);
    site.publish_manifest();
    {
        // The check answers before the scheduler is asked: a busy one
        // would postpone.
        seam_guard<install_win_calls> guard(install_win);
        site_fake_scheduler(site.bin());
        sched.busy = 1;
        size_t before = site.requests(site.release_path("2.1.0"));
        site_result r = site.update(options(0, 1));
        EXPECT_EQ(r.rc, 10) << r.err;
        EXPECT_TRUE(log.has(LOG_INFO, "installed 2.0.0, available 2.1.0: faster"));
        EXPECT_EQ(site.requests(site.release_path("2.1.0")), before) << "nothing downloaded";
    }
    site_result r = site.update(options());
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(log.has(LOG_INFO, "updated 2.0.0 -> 2.1.0"));
    EXPECT_EQ(site.live_version(), "2.1.0");
    st = site.state();
    EXPECT_STREQ(st.installed_version, "2.1.0");
    EXPECT_STREQ(st.previous_version, "2.0.0");
    EXPECT_EQ(engine_site::names(versions()), (std::vector<std::string>{"2.0.0", "2.1.0"}));

    r = site.rollback();
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(log.has(LOG_INFO, "rolled back from 2.1.0 to 2.0.0"));
    EXPECT_EQ(site.live_version(), "2.0.0");
    st = site.state();
    EXPECT_STREQ(st.installed_version, "2.0.0");
    EXPECT_STREQ(st.previous_version, "2.1.0");
    EXPECT_STREQ(st.bad_versions, "2.1.0");

    size_t asked = site.requests(site.release_path("2.1.0"));
    r = site.update(options());
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(log.has(LOG_WARN, failed_before("2.1.0")));
    EXPECT_EQ(site.live_version(), "2.0.0");
    EXPECT_EQ(site.requests(site.release_path("2.1.0")), asked);

    r = site.update(options(1));
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(site.live_version(), "2.1.0");
    EXPECT_STREQ(site.state().installed_version, "2.1.0");

    size_t lines = log.lines.size();
    r = site.update(options());
    EXPECT_EQ(r.rc, 0) << r.err;
    ASSERT_GT(log.lines.size(), lines);
    EXPECT_EQ(log.lines[lines].second.rfind("installed 2.1.0: ", 0), 0u) << log.lines[lines].second;

    site.cfg.url[0] = '\0';
    EXPECT_EQ(site.update(options()).rc, 0);
    EXPECT_TRUE(log.has(LOG_INFO, "no update url configured: nothing to do"));
}

// A live self-test that fails puts the previous programs back, says so with
// the previous version, records the version and keeps only the old
// directories; without a previous version the line names none.
TEST_F(Update, ALiveSelfTestFailureIsUndone)
{
    struct {
        const char *name;
        bool first;         // nothing installed before
        const char *line;   // the WARN line
        const char *live;   // what bin answers afterwards
        std::vector<std::string> versions;
    } cases[] = {
        {"over 2.0.0", false, "went back to the previous programs (2.0.0)", "2.0.0", {"2.0.0"}},
        {"first installation", true, "went back to the previous programs", "", {}},
    };
    for (auto &c : cases) {
        site.use_installation(c.name);
        site.releases.clear();
        if (!c.first)
            install_first();
        site.releases.push_back(failing_live("2.1.0"));
        site.publish_manifest();
        site_result r = site.update(options());
        EXPECT_EQ(r.rc, 1) << c.name;
        EXPECT_EQ(r.err, "the update to 2.1.0 was undone: agent_tool.exe fails its self-test after "
                         "the update: the live copy refuses its self-test")
            << c.name;
        EXPECT_TRUE(log.has(LOG_WARN, c.line)) << c.name;
        EXPECT_TRUE(log.has(LOG_ERROR, "agent_tool.exe fails its self-test after the update: the "
                                       "live copy refuses its self-test"))
            << c.name;
        EXPECT_EQ(site.live_version(), c.live) << c.name;
        EXPECT_STREQ(site.state().bad_versions, "2.1.0") << c.name;
        EXPECT_STREQ(site.state().installed_version, c.first ? "" : "2.0.0") << c.name;
        EXPECT_EQ(engine_site::names(versions()), c.versions) << c.name;
        EXPECT_FALSE(site_exists(journal())) << c.name;
        // The download stays for another forced try.
        std::vector<std::string> kept = engine_site::names(site.downloads());
        ASSERT_EQ(kept.size(), 1u) << c.name;
        EXPECT_NE(kept[0].find("release-2.1.0.pkg"), std::string::npos) << kept[0];
        EXPECT_EQ(kept[0].find(".part"), std::string::npos) << kept[0];
    }
}

// What the release choice is given: the installed version (the options'
// before the state's), the flags for a downgrade and a new major version
// (from the options or the setting), and the staged-rollout bucket (the
// options', else this computer's for the newest release). Checks only, so
// nothing is downloaded.
TEST_F(Update, TheChoiceTakesTheInstalledVersionTheFlagsAndTheBucket)
{
    const std::string major = "installed 2.0.0: 3.0.0 is a new major version (it may use an "
                              "incompatible backup format) and is never installed "
                              "automatically; see the handbook before switching (--allow-major "
                              "or allow_major_upgrade = yes)";
    const std::string staged = "installed 2.0.0: a newer release exists but is not yet offered "
                               "to this machine (staged rollout)";
    struct {
        const char *name;
        std::string other;     // the release beside 2.0.0
        int rollout;           // its rollout percent
        update_options o;
        bool setting;          // allow_major_upgrade in the settings
        int rc;
        std::string line;
    } cases[] = {
        {"a new major version", "3.0.0", 100, options(), false, 0, major},
        {"allow_major", "3.0.0", 100, options(), false, 10, "installed 2.0.0, available 3.0.0"},
        {"allow_major_upgrade", "3.0.0", 100, options(), true, 10,
         "installed 2.0.0, available 3.0.0"},
        {"an older target", "1.0.0", 100, options(), false, 0,
         "installed 2.0.0: 1.0.0 is older than the installed 2.0.0 (use --allow-downgrade)"},
        {"allow_downgrade", "1.0.0", 100, options(), false, 10,
         "installed 2.0.0, available 1.0.0"},
        {"the options' installed version", "1.0.0", 100, options(), false, 10,
         "installed 2.0.0-rc.1, available 2.0.0"},
        {"a bucket below the rollout", "2.1.0", 50, options(), false, 10,
         "installed 2.0.0, available 2.1.0"},
        {"a bucket at the rollout", "2.1.0", 50, options(), false, 0, staged},
    };
    cases[1].o.allow_major = 1;
    cases[3].o.target_version = "1.0.0";
    cases[4].o.target_version = "1.0.0";
    cases[4].o.allow_downgrade = 1;
    cases[5].o.installed_version = "2.0.0-rc.1";
    cases[6].o.bucket = 49;
    cases[7].o.bucket = 50;
    for (auto &c : cases) {
        site.use_installation(c.name);
        site.cfg.allow_major_upgrade = c.setting;
        updater_state st = {};
        snprintf(st.installed_version, sizeof st.installed_version, "2.0.0");
        site.set_state(st);
        site.releases = {engine_site::whole_release("2.0.0"), engine_site::whole_release(c.other)};
        site.releases[1].rollout = c.rollout;
        site.publish_manifest();
        c.o.check_only = 1;
        site_result r = site.update(c.o);
        EXPECT_EQ(r.rc, c.rc) << c.name << ": " << r.err;
        EXPECT_TRUE(log.has(LOG_INFO, c.line)) << c.name;
    }

    // Without a bucket of its own the run takes this computer's for the
    // newest release.
    site.cfg.allow_major_upgrade = 0;
    unsigned mine = rollout_bucket("2.1.0");
    for (int offered = 0; offered < 2; offered++) {
        site.releases = {engine_site::whole_release("2.0.0"), engine_site::whole_release("2.1.0")};
        site.releases[1].rollout = (int)mine + offered;
        site.publish_manifest();
        update_options o = options(0, 1);
        o.bucket = -1;
        EXPECT_EQ(site.update(o).rc, offered ? 10 : 0) << "bucket " << mine;
    }
}

// An update to the version that is installed already (pinned by the target)
// puts it live again and keeps the version to go back to, on disk and in
// the state.
TEST_F(Update, AnUpdateToTheInstalledVersionKeepsThePreviousOne)
{
    install_first();
    site.releases.push_back(engine_site::whole_release("2.1.0"));
    site.publish_manifest();
    ASSERT_EQ(site.update(options()).rc, 0);
    update_options again = options();
    again.target_version = "2.1.0";
    site_result r = site.update(again);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(log.has(LOG_INFO, "updated 2.1.0 -> 2.1.0"));
    EXPECT_EQ(site.live_version(), "2.1.0");
    updater_state st = site.state();
    EXPECT_STREQ(st.installed_version, "2.1.0");
    EXPECT_STREQ(st.previous_version, "2.0.0");
    EXPECT_EQ(engine_site::names(versions()), (std::vector<std::string>{"2.0.0", "2.1.0"}));
    r = site.rollback();
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(site.live_version(), "2.0.0");
}

// A failed update of a version whose directory is still on disk (the one a
// rollback left) keeps that directory: the rollback to it still works.
TEST_F(Update, AFailedUpdateKeepsTheVersionDirectoryItReplaces)
{
    install_first();
    site.releases.push_back(engine_site::whole_release("2.1.0"));
    site.publish_manifest();
    ASSERT_EQ(site.update(options()).rc, 0);
    ASSERT_EQ(site.rollback().rc, 0);
    // 2.1.0 again, forced, from a package whose agent now fails live.
    site.releases[1] = failing_live("2.1.0");
    site.publish_manifest();
    site_result r = site.update(options(1));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("the update to 2.1.0 was undone: ", 0), 0u) << r.err;
    EXPECT_EQ(site.live_version(), "2.0.0");
    EXPECT_EQ(engine_site::names(versions()), (std::vector<std::string>{"2.0.0", "2.1.0"}));
    EXPECT_EQ(test_read_file(site.version_dir("2.1.0") + "\\bin\\agent_tool.exe"),
              agent_bytes("2.1.0"))
        << "the good copy is back";
    r = site.rollback();
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(site.live_version(), "2.1.0");
}

// Programs that are live while the state cannot be written: 1 with a
// sentence that says both, and the next run records them.
TEST_F(Update, LiveProgramsThatTheStateCannotRecordFailTheRun)
{
    install_first();
    site.releases.push_back(engine_site::whole_release("2.1.0"));
    site.publish_manifest();
    // The new sequence is recorded first, while the state can be written.
    ASSERT_EQ(site.update(options(0, 1)).rc, 10);
    std::string tmp = std::string(site.cfg.state_dir) + "\\state.tmp";
    ASSERT_TRUE(CreateDirectoryA(tmp.c_str(), nullptr));
    site_result r = site.update(options());
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("the programs of version 2.1.0 are live, but the state cannot record "
                          "them: ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(site.live_version(), "2.1.0");
    EXPECT_STREQ(site.state().installed_version, "2.0.0");
    EXPECT_FALSE(log.has(LOG_INFO, "updated 2.0.0 -> 2.1.0"));

    ASSERT_TRUE(RemoveDirectoryA(tmp.c_str()));
    r = site.update(options());
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(log.has(LOG_INFO, "finished the interrupted switch to 2.1.0"));
    updater_state st = site.state();
    EXPECT_STREQ(st.installed_version, "2.1.0");
    EXPECT_STREQ(st.previous_version, "2.0.0");
    EXPECT_FALSE(site_exists(journal()));
    EXPECT_EQ(site.live_version(), "2.1.0");

    // The same rule for the rollback.
    ASSERT_TRUE(CreateDirectoryA(tmp.c_str(), nullptr));
    r = site.rollback();
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("the programs of version 2.0.0 are live, but the state cannot record "
                          "them: ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(site.live_version(), "2.0.0");
    ASSERT_TRUE(RemoveDirectoryA(tmp.c_str()));
    r = site.update(options(0, 1));
    EXPECT_EQ(r.rc, 0) << r.err;
    st = site.state();
    EXPECT_STREQ(st.installed_version, "2.0.0");
    EXPECT_STREQ(st.previous_version, "2.1.0");
    EXPECT_STREQ(st.bad_versions, "2.1.0");
    EXPECT_TRUE(log.has(LOG_WARN, failed_before("2.1.0")));
}

// What the rollback refuses.
TEST_F(Update, RollbackNeedsAnInstalledAndAPreviousVersionOnDisk)
{
    struct {
        const char *name;
        const char *installed, *previous;
        bool previous_on_disk;
        const char *err;
    } cases[] = {
        {"nothing installed", "", "", false, "there is no managed installation"},
        {"no previous version", "2.0.0", "", false, "there is no previous version to go back to"},
        {"previous version gone", "2.1.0", "2.0.0", false,
         "the previous version 2.0.0 is no longer on disk"},
    };
    for (auto &c : cases) {
        site.use_installation(c.name);
        updater_state st = {};
        snprintf(st.installed_version, sizeof st.installed_version, "%s", c.installed);
        snprintf(st.previous_version, sizeof st.previous_version, "%s", c.previous);
        site.set_state(st);
        site_result r = site.rollback();
        EXPECT_EQ(r.rc, 1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_STREQ(site.state().installed_version, c.installed) << c.name;
    }
}

// Busy: another process's lock, the scheduler and a running product program
// postpone the update before anything is downloaded, and the rollback before
// anything is switched; an idle scheduler is started again at every end.
TEST_F(Update, BusyPostponesTheUpdateAndTheRollback)
{
    install_first();
    site.releases.push_back(engine_site::whole_release("2.1.0"));
    site.publish_manifest();
    ASSERT_EQ(site.update(options()).rc, 0);

    std::string lock = std::string(site.cfg.state_dir) + "\\updater.lock";
    HANDLE h = CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    site_result r = site.update(options());
    EXPECT_EQ(r.rc, 75);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(log.has(LOG_INFO, "another orv_updater is running; try again later"));
    size_t lines = log.lines.size();
    r = site.rollback();
    EXPECT_EQ(r.rc, 75);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(log.lines.size(), lines) << "the rollback says nothing";
    CloseHandle(h);

    seam_guard<install_win_calls> guard(install_win);
    const char *stop_failed = "the service orvantis-sched did not stop within 30 s (a job may "
                              "have started)";
    struct {
        const char *name;
        bool rollback;
        int busy;
        unsigned long pid;
        int stop, running;
        int rc, stops, starts;
        std::string line;
    } cases[] = {
        {"update, a job runs", false, 1, 0, 0, 0, 75, 0, 0,
         "orv_sched is running a job: postponing the update"},
        {"update, job state unreadable", false, -1, 4242, 0, 0, 75, 0, 0,
         "orv_sched is running a job: postponing the update"},
        {"update, idle service does not stop", false, 0, 4242, -1, 0, 75, 1, 0,
         std::string("could not stop the idle orv_sched for the update (") + stop_failed +
             "): postponing"},
        {"update, a program runs", false, 0, 4242, 0, 1, 75, 1, 1,
         "orv_agent.exe is running: postponing the update"},
        {"rollback, a program runs", true, 0, 4242, 0, 1, 75, 0, 0,
         "orv_agent.exe is running: postponing the rollback"},
        {"rollback, a job runs", true, 1, 0, 0, 0, 75, 0, 0,
         "orv_sched is running a job: postponing the rollback"},
        {"rollback, idle service does not stop", true, 0, 4242, -1, 0, 75, 1, 0,
         std::string("could not stop the idle orv_sched for the rollback (") + stop_failed +
             "): postponing"},
        {"rollback, idle service", true, 0, 4242, 0, 0, 0, 1, 1, ""},
    };
    site.releases.push_back(engine_site::whole_release("2.2.0"));
    site.publish_manifest();
    for (auto &c : cases) {
        site_fake_scheduler(site.bin());
        sched.busy = c.busy;
        sched.pid = c.pid;
        sched.stop = c.stop;
        sched.running = c.running;
        size_t asked = site.requests(site.release_path("2.2.0"));
        std::string live = site.live_version();
        r = c.rollback ? site.rollback() : site.update(options());
        EXPECT_EQ(r.rc, c.rc) << c.name << ": " << r.err;
        EXPECT_EQ(sched.stops, c.stops) << c.name;
        EXPECT_EQ(sched.starts, c.starts) << c.name;
        if (!c.line.empty()) {
            EXPECT_TRUE(log.has(LOG_INFO, c.line)) << c.name;
        }
        if (c.rc == 75) {
            // Only a running program is named in the sentence too.
            EXPECT_EQ(r.err, c.running ? c.line : "") << c.name;
            EXPECT_EQ(site.live_version(), live) << c.name;
            EXPECT_EQ(site.requests(site.release_path("2.2.0")), asked) << c.name;
        }
    }
    EXPECT_EQ(site.live_version(), "2.0.0") << "the last case rolled back";
}

// Bad input: each gives its sentence and result, nothing outside the
// staging directory is written, and the installed programs keep answering.
TEST_F(Update, BadInputIsRefusedAndTheInstalledProgramsStay)
{
    install_first();
    std::vector<test_tar_item> progs = {{"bin", "", '5', 0755},
                                        engine_site::program("core_tool", "2.1.0")};
    std::vector<test_tar_item> unsafe = progs;
    unsafe.push_back({"../escaped.txt", "out of the staging directory", '0', 0644});
    std::vector<test_tar_item> link = progs;
    link.push_back({"bin/link.exe", "", '2', 0755});
    program_answers old_version;
    old_version.version = "agent_tool 2.0.9";
    struct {
        const char *name;
        std::string package;     // served as 2.1.0
        std::string url;         // as listed; empty: the package's path
        std::vector<std::string> blocked;
        size_t pad;              // bytes added to the manifest
        int rc;
        std::string err;         // the sentence, or its start when it ends in "..."
        bool marked;             // 2.1.0 recorded as failed
    } cases[] = {
        {"a component package", test_package("2.1.0", "agent", progs), "", {}, 0, 1,
         "the package is inconsistent: this is a component package (agent), not a whole update",
         true},
        {"not zstd", "this is no package", "", {}, 0, 1,
         "the package is invalid: the archive is not valid zstd data: ...", true},
        {"a path out of the staging directory", test_zstd(test_tar(unsafe)), "", {}, 0, 1,
         "the package is invalid: unsafe path in the archive", true},
        {"a link", test_zstd(test_tar(link)), "", {}, 0, 1,
         "the package is invalid: the archive contains an entry of type '2' (only files and "
         "directories are allowed)",
         true},
        {"no PACKAGE.json", test_zstd(test_tar(progs)), "", {}, 0, 1,
         "the package is inconsistent: PACKAGE.json is missing", true},
        {"a program reports another version",
         engine_site::release_package("2.1.0", old_version), "", {}, 0, 1,
         "not installing 2.1.0: agent_tool.exe reports a different version than the package "
         "(expected 'agent_tool 2.1.0')",
         true},
        {"an artifact url out of the manifest's directory", engine_site::release_package("2.1.0"),
         "../../../elsewhere/release-2.1.0.pkg", {}, 0, 1,
         "the signed manifest is malformed: artifact has a missing or unsafe url "
         "(../../../elsewhere/release-2.1.0.pkg)",
         false},
        {"the only new release blocked", engine_site::release_package("2.1.0"), "", {"2.1.0"}, 0,
         0, "", false},
        {"a manifest over its limit", engine_site::release_package("2.1.0"), "", {}, 1048576, 1,
         "cannot download the manifest https://localhost:...", false},
    };
    for (auto &c : cases) {
        site.releases.resize(1);
        site.releases.push_back({"2.1.0", {{"", c.package}}, ""});
        site.listed_urls.clear();
        if (!c.url.empty())
            site.listed_urls["2.1.0"] = c.url;
        site.publish_manifest(c.blocked, c.pad);
        updater_state st = site.state();
        st.bad_versions[0] = '\0';
        site.set_state(st);
        std::vector<std::string> around = engine_site::names(site.root);
        std::vector<std::string> inside = engine_site::names(site.cfg.install_dir);

        site_result r = site.update(options());
        EXPECT_EQ(r.rc, c.rc) << c.name << ": " << r.err;
        std::string want = c.err;
        if (want.size() >= 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            EXPECT_EQ(r.err.substr(0, want.size() - 3), want.substr(0, want.size() - 3))
                << c.name;
            EXPECT_NE(r.err, "") << c.name;
        } else {
            EXPECT_EQ(r.err, want) << c.name;
        }
        if (c.pad) {
            EXPECT_NE(r.err.find(": response is larger than the allowed 1048576 bytes"),
                      std::string::npos)
                << r.err;
        }
        EXPECT_STREQ(site.state().bad_versions, c.marked ? "2.1.0" : "") << c.name;
        EXPECT_EQ(site.live_version(), "2.0.0") << c.name;
        EXPECT_EQ(engine_site::names(site.root), around) << c.name;
        EXPECT_EQ(engine_site::names(site.cfg.install_dir), inside) << c.name;
        EXPECT_EQ(engine_site::names(versions()), std::vector<std::string>{"2.0.0"}) << c.name;
        EXPECT_STREQ(site.state().installed_version, "2.0.0") << c.name;
    }
}

namespace {

int unpack_into_full_disk(const char *, const char *, uint64_t, pkg_entry **entries,
                          size_t *count, char *err, size_t errlen)
{
    *entries = nullptr;
    *count = 0;
    snprintf(err, errlen, "cannot write bin/core_tool.exe: the disk is full");
    return UNPACK_DISK_FULL;
}

// CreateProcessA as a virus scanner answers for the agent's program.
BOOL WINAPI scanner_refuses_agent(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                                  LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags,
                                  LPVOID env, LPCSTR dir, LPSTARTUPINFOA si,
                                  LPPROCESS_INFORMATION pi)
{
    if (line && strstr(line, "agent_tool.exe")) {
        SetLastError(225);  // ERROR_VIRUS_INFECTED
        return FALSE;
    }
    return CreateProcessA(app, line, pa, ta, inherit, flags, env, dir, si, pi);
}

void fill_the_disk() { install_win.unpack = unpack_into_full_disk; }
void scan_the_agent() { proc_calls.CreateProcessA = scanner_refuses_agent; }

} // namespace

// A disk that fills while the package is unpacked, and a virus scanner that
// refuses a program in staging, say nothing against the version: it is not
// marked, the installed programs stay, and the next run installs it unforced.
TEST_F(Update, FailuresThatAreNotTheVersionsFaultMarkNothing)
{
    struct {
        const char *name;
        void (*arm)();      // puts the fault in place
        std::string err;    // the sentence, or its start when it ends in "..."
    } cases[] = {
        {"a full disk", fill_the_disk,
         "the package cannot be unpacked: cannot write bin/core_tool.exe: the disk is full"},
        {"a virus scanner", scan_the_agent,
         "not installing 2.1.0: agent_tool.exe was blocked or removed by the virus scanner (it "
         "contains a threat according to the virus scanner); add an exclusion for the folder "
         "..."},
    };
    for (auto &c : cases) {
        site.use_installation(c.name);
        site.releases.clear();
        install_first();
        site.releases.push_back(engine_site::whole_release("2.1.0"));
        site.publish_manifest();
        {
            seam_guard<install_win_calls> unpack_guard(install_win);
            seam_guard<proc_api> proc_guard(proc_calls);
            c.arm();
            site_result r = site.update(options());
            EXPECT_EQ(r.rc, 1) << c.name;
            std::string want = c.err;
            if (want.compare(want.size() - 3, 3, "...") == 0)
                want.resize(want.size() - 3);
            EXPECT_EQ(r.err.substr(0, want.size()), want) << c.name;
            if (want.size() == c.err.size()) {
                EXPECT_EQ(r.err, want) << c.name;
            }
            EXPECT_STREQ(site.state().bad_versions, "") << c.name;
        }
        EXPECT_EQ(site.live_version(), "2.0.0") << c.name;
        site_result r = site.update(options());
        EXPECT_EQ(r.rc, 0) << c.name << ": " << r.err;
        EXPECT_EQ(site.live_version(), "2.1.0") << c.name;
    }
}
