// The engine's update of an installation delivered as one package per
// release, and its rollback to the previous version: the same lock, scheduler
// and program checks, package checks and version switch as the component
// install engine, around the signed manifest.json instead of the catalog.
#include "install.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <windows.h>

#include "fs.h"
#include "install_win_seam.h"
#include "log.h"
#include "package.h"
#include "selftest.h"
#include "update.h"
#include "version.h"
#include "versions.h"

namespace {

enum {
    UPDATE_FILE_MAX = 1400,   // the downloaded package's path
    UPDATE_SWITCH_MSG = 300   // the rollback switch's message
};

// What one update_run holds, released at its one exit.
struct update_run_state {
    updater_config c;                 // the settings, with backslashes
    updater_state st;                 // the state, read under the lock
    manifest man;                     // the loaded manifest (all-zero until then)
    char url[INSTALL_DOC_URL_MAX];    // its document URL
    char downloads[INSTALL_PATH_MAX]; // "<state_dir>\downloads"
    char staging[INSTALL_PATH_MAX];   // "<install_dir>\.staging-<version>-<pid>"
    char file[UPDATE_FILE_MAX];       // the downloaded package
    pkg_entry *entries;               // the unpacked entries (heap), or null
    size_t count;                     // their number
    int sched_stopped;                // 1 when the run stopped the idle scheduler
};

// Records version as failed here and writes the state; a failure to write
// is not reported (the run's own sentence says what went wrong).
void mark_failed(update_run_state *u, const char *version)
{
    failed_versions_add(&u->st, version);
    state_write(&u->c, &u->st, nullptr, 0);
}

// Unpacks the downloaded package into staging and checks it: PACKAGE.json
// of a whole update of version, then the programs from staging. 0, or 1 with
// the sentence in err (the version marked as failed unless a virus scanner
// was the cause).
int unpack_and_check(update_run_state *u, const char *version, char *err, size_t errlen)
{
    char msg[INSTALL_UNPACK_MSG] = "";
    fs_remove_path(u->staging);
    int unpacked = install_win.unpack(u->file, u->staging, INSTALL_UNPACK_LIMIT, &u->entries,
                                      &u->count, msg, sizeof msg);
    if (unpacked == UNPACK_DISK_FULL) {
        // The disk's fault, not the version's: nothing is marked.
        update_error(err, errlen, "the package cannot be unpacked: %s", msg);
        return INSTALL_FAILED;
    }
    if (unpacked != 0) {
        update_error(err, errlen, "the package is invalid: %s", msg);
        mark_failed(u, version);
        return INSTALL_FAILED;
    }
    if (install_check_package_json(u->staging, u->entries, u->count, version, nullptr, msg,
                                   sizeof msg) != 0) {
        update_error(err, errlen, "the package is inconsistent: %s", msg);
        mark_failed(u, version);
        return INSTALL_FAILED;
    }
    int checked = package_check_programs(u->staging, u->entries, u->count, version, msg,
                                         sizeof msg);
    if (checked != 0) {
        update_error(err, errlen, "not installing %s: %s", version, msg);
        // A virus scanner's doing says nothing against the version.
        if (checked != PKG_CHECK_SCANNER)
            mark_failed(u, version);
        return INSTALL_FAILED;
    }
    return INSTALL_DONE;
}

// The steps of update_run from the download on, for the chosen release and
// artifact; the caller cleans up. 0, or 1 with a sentence in err.
int update_install(update_run_state *u, const char *installed, const manifest_release *rel,
                   const manifest_artifact *art, char *err, size_t errlen)
{
    const char *version = rel->version;
    if (versions_dir_create(&u->c, err, errlen) != 0)
        return INSTALL_FAILED;
    if (path_format(u->downloads, sizeof u->downloads, "%s\\downloads", u->c.state_dir) != 0 ||
        path_format(u->staging, sizeof u->staging, "%s\\.staging-%s-%lu", u->c.install_dir,
                    version, (unsigned long)GetCurrentProcessId()) != 0) {
        update_error(err, errlen, "cannot create %s\\.staging-%s", u->c.install_dir, version);
        return INSTALL_FAILED;
    }
    log_write(LOG_INFO, "downloading %s", art->url ? art->url : "");
    if (artifact_download_quiet(&u->c, u->url, art, u->downloads, u->file, sizeof u->file, err,
                                errlen) != 0)
        return INSTALL_FAILED;
    if (unpack_and_check(u, version, err, errlen) != 0)
        return INSTALL_FAILED;
    if (versions_go_live(&u->c, VERSIONS_UPDATE, version, nullptr, u->staging, &u->st, err,
                         errlen) != 0)
        return INSTALL_FAILED;
    log_write(LOG_INFO, "updated %s -> %s", installed, version);
    remove(u->file);
    return INSTALL_DONE;
}

// The steps of update_run under the lock; the caller releases it. Results
// as update_run.
int update_locked(update_run_state *u, const update_options *opts, const host_facts *hf,
                  char *err, size_t errlen)
{
    state_read(&u->c, &u->st);
    versions_remove_old_files(&u->c);
    if (manifest_load(&u->c, &u->st, (int64_t)time(nullptr), &u->man, u->url, sizeof u->url, err,
                      errlen) != 0)
        return INSTALL_FAILED;

    char installed[VERSION_TEXT_MAX + 16];
    update_format(installed, sizeof installed, "%s",
                  opts->installed_version   ? opts->installed_version
                  : u->st.installed_version[0] ? u->st.installed_version
                                               : INSTALL_OWN_VERSION);
    unsigned bucket, flags;
    install_update_choice(&u->c, opts, &u->man, &bucket, &flags);
    release_choice choice = {};
    char msg[INSTALL_CHOICE_MSG] = "";
    if (release_choose_default(&u->man, hf, installed, INSTALL_OWN_VERSION, bucket, flags,
                               opts->target_version, &choice, msg, sizeof msg) != RELEASE_CHOSEN ||
        !choice.release || !choice.artifact) {
        log_write(LOG_INFO, "installed %s: %s", installed, msg);
        return INSTALL_DONE;
    }
    int rc = install_update_gate(opts, &u->st, installed, choice.release);
    if (rc >= 0)
        return rc;
    rc = install_sched_pause(&u->c, "update", &u->sched_stopped);
    if (rc != 0)
        return rc;
    if (install_programs_busy("update", err, errlen))
        return INSTALL_POSTPONED;
    return update_install(u, installed, choice.release, choice.artifact, err, errlen);
}

} // namespace

int update_run(const updater_config *cfg, const update_options *opts, const host_facts *hf,
               char *err, size_t errlen)
{
    int rc = install_update_start(cfg, &opts, err, errlen);
    if (rc >= 0)
        return rc;
    update_run_state *u = (update_run_state *)calloc(1, sizeof *u);
    if (!u) {
        update_error(err, errlen, "out of memory");
        return INSTALL_FAILED;
    }
    versions_config_copy(cfg, &u->c);
    rc = install_lock_for_run(&u->c, "another orv_updater is running; try again later", err,
                                  errlen);
    if (rc == 0) {
        rc = update_locked(u, opts, hf, err, errlen);
        free(u->entries);
        // After a success the staging directory has become the version's.
        if (u->staging[0])
            fs_remove_path(u->staging);
        manifest_free(&u->man);
        if (u->sched_stopped)
            install_win.sched_start();
        install_win.lock_release();
    }
    free(u);
    return rc;
}

namespace {

// The steps of update_rollback under the lock, on c (with backslashes); the
// caller releases the lock and starts a scheduler that *stopped says was
// stopped.
int rollback_locked(const updater_config *c, int *stopped, char *err, size_t errlen)
{
    updater_state st;
    state_read(c, &st);
    if (!st.installed_version[0]) {
        update_error(err, errlen, "there is no managed installation");
        return INSTALL_FAILED;
    }
    if (!st.previous_version[0]) {
        update_error(err, errlen, "there is no previous version to go back to");
        return INSTALL_FAILED;
    }
    char dir[INSTALL_PATH_MAX];
    if (path_format(dir, sizeof dir, "%s\\versions\\%s", c->install_dir, st.previous_version) !=
            0 ||
        GetFileAttributesA(dir) == INVALID_FILE_ATTRIBUTES) {
        update_error(err, errlen, "the previous version %s is no longer on disk",
                     st.previous_version);
        return INSTALL_FAILED;
    }
    if (install_programs_busy("rollback", err, errlen))
        return INSTALL_POSTPONED;
    int rc = install_sched_pause(c, "rollback", stopped);
    if (rc != 0)
        return rc;

    char from[sizeof st.installed_version], to[sizeof st.previous_version];
    update_format(from, sizeof from, "%s", st.installed_version);
    update_format(to, sizeof to, "%s", st.previous_version);
    if (versions_journal_begin(c, VERSIONS_ROLLBACK, to, from, "", err, errlen) != 0)
        return INSTALL_FAILED;
    char msg[UPDATE_SWITCH_MSG] = "";
    if (versions_switch_bin(c, to, msg, sizeof msg) != 0) {
        versions_journal_end();
        update_error(err, errlen, "cannot switch: %s", msg);
        return INSTALL_FAILED;
    }
    // From here on an end of the process finishes the rollback; only then
    // may the moved-aside files go.
    int noted = versions_journal_tested();
    switch_undo_clear();
    // A journal that cannot say so keeps them for the undo; the next run
    // deletes them.
    if (noted == 0)
        versions_remove_old_files(c);
    versions_record_mode(&st, VERSIONS_ROLLBACK, to, from, "");
    char werr[VERSIONS_MSG_MAX];
    if (state_write(c, &st, werr, sizeof werr) != 0) {
        update_error(err, errlen,
                     "the programs of version %s are live, but the state cannot record them: %s",
                     to, werr);
        versions_journal_close();
        return INSTALL_FAILED;
    }
    versions_journal_end();
    log_write(LOG_INFO, "rolled back from %s to %s", from, to);
    return INSTALL_DONE;
}

} // namespace

int update_rollback(const updater_config *cfg, char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    updater_config c;
    versions_config_copy(cfg, &c);
    int rc = install_lock_for_run(&c, nullptr, err, errlen);
    if (rc != 0)
        return rc;
    int stopped = 0;
    rc = rollback_locked(&c, &stopped, err, errlen);
    if (stopped)
        install_win.sched_start();
    install_win.lock_release();
    return rc;
}
