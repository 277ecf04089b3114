// resource-lock: orvantis-sched
// resource-lock: product-programs
// The install engine's other runs end to end against the tests' update
// server: the removal of an installation with and without purge, the
// scheduled update of an installation made from components, and the adding
// of components to the installed version.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "engine_site.h"
#include "install.h"
#include "install_win_seam.h"
#include "log.h"
#include "seam_guard.h"
#include "state_win_seam.h"
#include "test_util.h"
#include "update_server.h"

namespace {

const char kFailedBefore[] =
    "version 1.1.0 failed on this machine before; not trying it again (use --force, or wait for "
    "a newer release)";

class Runs : public ::testing::Test {
protected:
    engine_site site{"runs"};
    site_log log;
};

} // namespace

// Removal: without purge the state keeps the failed versions and sequences;
// with purge the state directory goes too, the state before the lock.
TEST_F(Runs, UninstallClearsTheStateOrPurgesIt)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.publish();
    ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0);
    updater_state st = site.state();
    snprintf(st.bad_versions, sizeof st.bad_versions, "0.9.0");
    site.set_state(st);

    char err[300] = "x";
    ASSERT_EQ(updater_uninstall(&site.cfg, 0, err, sizeof err), 0) << err;
    EXPECT_FALSE(site_exists(site.cfg.install_dir));
    updater_state after = site.state();
    EXPECT_STREQ(after.installed_version, "");
    EXPECT_STREQ(after.previous_version, "");
    EXPECT_STREQ(after.components, "");
    EXPECT_STREQ(after.bad_versions, "0.9.0");
    EXPECT_EQ(after.last_catalog_sequence, site.sequence);
    EXPECT_STREQ(after.catalog_channel, "alpha");

    // The scheduler: a job postpones; an idle service is left alone.
    {
        seam_guard<install_win_calls> guard(install_win);
        site_fake_scheduler(site.bin());
        sched.busy = 1;
        EXPECT_EQ(updater_uninstall(&site.cfg, 0, err, sizeof err), 75);
        EXPECT_TRUE(log.has(LOG_INFO, "orv_sched is running a job: not uninstalling now"));
        sched.busy = 0;
        sched.pid = 4242;
        EXPECT_EQ(updater_uninstall(&site.cfg, 0, err, sizeof err), 0) << err;
        EXPECT_EQ(sched.stops, 0);
    }

    static bool state_at_release;
    static std::string state_file;
    state_file = std::string(site.cfg.state_dir) + "\\state";
    {
        seam_guard<install_win_calls> guard(install_win);
        install_win.lock_release = [] {
            state_at_release = site_exists(state_file);
            install_win_real.lock_release();
        };
        ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0);
        ASSERT_EQ(updater_uninstall(&site.cfg, 1, err, sizeof err), 0) << err;
    }
    EXPECT_FALSE(state_at_release) << "the state went while the lock was held";
    EXPECT_FALSE(site_exists(site.cfg.state_dir));
    EXPECT_FALSE(site_exists(site.cfg.install_dir));

    // A state directory that holds something else stays, with only that.
    ASSERT_EQ(site.install("1.0.0", {"core"}).rc, 0);
    ASSERT_TRUE(test_write_file(std::string(site.cfg.state_dir) + "\\notes.txt", "mine"));
    ASSERT_EQ(updater_uninstall(&site.cfg, 1, err, sizeof err), 0) << err;
    EXPECT_EQ(engine_site::names(site.cfg.state_dir), std::vector<std::string>{"notes.txt"});
}

namespace {
// How many flushes of the state file the full disk refuses yet.
int full_flushes;
int flush_while_full(FILE *f)
{
    if (full_flushes > 0) {
        full_flushes--;
        errno = ENOSPC;
        return EOF;
    }
    return fflush(f);
}
} // namespace

// Programs that passed while the state could not record them: every run
// that needs the record fails while the disk is full, but the installation
// can be removed all the same, and nothing of the switch is left.
TEST_F(Runs, AnInstallationWhoseSwitchCannotBeRecordedCanStillBeRemoved)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.releases.push_back(engine_site::standard_release("1.1.0", {"core", "agent"}));
    site.publish();
    seam_guard<state_win_calls> guard(state_win);
    state_win.flush = flush_while_full;
    for (int purge = 0; purge < 2; purge++) {
        site.use_installation(purge ? "purge" : "keep");
        full_flushes = 0;
        ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0) << purge;
        full_flushes = 1;
        ASSERT_EQ(site.install("1.1.0", {"core", "agent"}).rc, 1) << purge;
        std::string journal = std::string(site.cfg.install_dir) + "\\switch.journal";
        ASSERT_TRUE(site_exists(journal)) << purge;

        full_flushes = 1000;
        char err[600] = "";
        EXPECT_EQ(updater_recover(&site.cfg, err, sizeof err), 1) << purge;
        EXPECT_EQ(std::string(err).rfind("the programs of version 1.1.0 are live, but the state "
                                         "cannot record them: cannot write ",
                                         0),
                  0u)
            << err;
        EXPECT_EQ(site.install("1.1.0", {"core", "agent"}).rc, 1) << purge;
        EXPECT_TRUE(site_exists(journal)) << purge;

        // The disk refuses the record of the switch, not the cleared state.
        full_flushes = 1;
        EXPECT_EQ(updater_uninstall(&site.cfg, purge, err, sizeof err), 0) << purge << ": " << err;
        EXPECT_FALSE(site_exists(site.cfg.install_dir)) << purge;
        if (purge) {
            EXPECT_FALSE(site_exists(site.cfg.state_dir));
        } else {
            EXPECT_STREQ(site.state().installed_version, "");
            EXPECT_STREQ(site.state().components, "");
        }
        full_flushes = 0;
        EXPECT_EQ(updater_recover(&site.cfg, err, sizeof err), 0) << purge << ": " << err;
    }
}

// The scheduled update of an installation made from components.
TEST_F(Runs, ScheduledUpdateOfComponents)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent", "restore"}));
    site.publish();
    ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0);
    site_release next = engine_site::standard_release("1.1.0", {"core", "agent", "restore"});
    next.notes = "fixes";
    site.releases.push_back(next);
    site.publish();

    update_options o = {};
    o.bucket = 0;
    o.check_only = 1;
    char err[600] = "";
    EXPECT_EQ(update_components_run(&site.cfg, &o, &site.hf, err, sizeof err), 10) << err;
    EXPECT_TRUE(log.has(LOG_INFO, "installed 1.0.0, available 1.1.0: fixes"));
    EXPECT_EQ(site.requests(site.package_path("1.1.0", "core")), 0u);

    updater_state st = site.state();
    snprintf(st.bad_versions, sizeof st.bad_versions, "1.1.0");
    site.set_state(st);
    o.check_only = 0;
    EXPECT_EQ(update_components_run(&site.cfg, &o, &site.hf, err, sizeof err), 0) << err;
    EXPECT_TRUE(log.has(LOG_WARN, kFailedBefore));
    EXPECT_STREQ(site.state().installed_version, "1.0.0");

    o.force = 1;
    EXPECT_EQ(update_components_run(&site.cfg, &o, &site.hf, err, sizeof err), 0) << err;
    EXPECT_TRUE(log.has(LOG_INFO, "updated 1.0.0 -> 1.1.0"));
    st = site.state();
    EXPECT_STREQ(st.installed_version, "1.1.0");
    EXPECT_STREQ(st.previous_version, "1.0.0");
    EXPECT_STREQ(st.components, "core,agent") << "the installed components, not restore";
    EXPECT_EQ(site.requests(site.package_path("1.1.0", "restore")), 0u);

    size_t lines = log.lines.size();
    EXPECT_EQ(update_components_run(&site.cfg, &o, &site.hf, err, sizeof err), 0) << err;
    ASSERT_GT(log.lines.size(), lines);
    EXPECT_EQ(log.lines[lines].second.rfind("installed 1.1.0: ", 0), 0u) << log.lines[lines].second;

    site.cfg.url[0] = '\0';
    EXPECT_EQ(update_components_run(&site.cfg, &o, &site.hf, err, sizeof err), 0);
    EXPECT_TRUE(log.has(LOG_INFO, "no update url configured: nothing to do"));
}

// Adding components to the installed version.
TEST_F(Runs, AddingComponentsToTheInstalledVersion)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent", "restore"}));
    site.publish();
    const char *restore[] = {"restore"};
    char err[600] = "";
    EXPECT_EQ(install_add_components(&site.cfg, restore, 1, &site.hf, err, sizeof err), 1);
    EXPECT_STREQ(err, "this installation was not made from components; nothing to add");

    ASSERT_EQ(site.install("1.0.0", {"core"}).rc, 0);
    EXPECT_EQ(install_add_components(&site.cfg, restore, 1, &site.hf, err, sizeof err), 0) << err;
    EXPECT_STREQ(site.state().components, "core,restore");
    EXPECT_TRUE(log.has(LOG_INFO, "1.0.0: components now core,restore"));
    EXPECT_EQ(engine_site::names(site.bin()),
              (std::vector<std::string>{"core_tool.exe", "restore_tool.exe"}));

    const char *agent[] = {"agent"};
    site.releases[0].packages[1].os = "linux";
    site.publish();
    EXPECT_EQ(install_add_components(&site.cfg, agent, 1, &site.hf, err, sizeof err), 1);
    EXPECT_STREQ(err, "no package for component agent in version 1.0.0 for this platform");

    site.releases[0].version = "1.1.0";
    site.publish();
    EXPECT_EQ(install_add_components(&site.cfg, agent, 1, &site.hf, err, sizeof err), 1);
    EXPECT_STREQ(err, "version 1.0.0 is no longer on the update site; run --update first, then "
                      "try again");

    site.cfg.url[0] = '\0';
    EXPECT_EQ(install_add_components(&site.cfg, agent, 1, &site.hf, err, sizeof err), 1);
    EXPECT_STREQ(err, "no update url configured");
}
