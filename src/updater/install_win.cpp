// The install engine's runs: the lock, the checks that nothing of the product
// is busy, the packages (fetched, unpacked, checked and merged into one
// staging directory by the pipeline, pipeline_win.cpp), the hand-over to the
// version switch, and the removal, scheduled update and adding of components
// around them.
#include "install.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <windows.h>

#include "fs.h"
#include "install_win_seam.h"
#include "lock.h"
#include "log.h"
#include "package.h"
#include "pipeline.h"
#include "proc.h"
#include "sched_service.h"
#include "selftest.h"
#include "update.h"
#include "version.h"
#include "versions.h"

const install_win_calls install_win_real = {
    sched_service_busy, sched_service_stop, sched_service_start, proc_running_programs,
    updater_lock_release, unpack_tar_zstd,    fs_create_dirs,     fs_replace_file,
};
install_win_calls install_win = install_win_real;

namespace {

// What one install_components run holds, released at its one exit.
struct install_run_state {
    const updater_config *cfg;              // the settings
    const install_request *req;             // the request
    updater_state *st;                      // the caller's state, written on marking
    int sched_stopped;                      // 1 when the run stopped the idle scheduler
    int dirs_made;                          // 1 once versions_dir_create succeeded
    int staging_made;                       // 1 once the staging directory exists
    char list[INSTALL_LIST_MAX];            // component list text to record
    char downloads[INSTALL_PATH_MAX];       // "<state_dir>/downloads"
    char staging[INSTALL_PATH_MAX];         // "<install_dir>/.staging-<version>-<pid>"
    pipeline_run pipe;                      // the packages: their files and merged entries
};

// 1 when a formatter's result n says that the whole text fit in size bytes
// (a cut path would name another file).
bool fits(int n, size_t size) { return n >= 0 && (size_t)n < size; }

// 1 when the request names something to install: a valid version and 1 or
// more artifacts, none of them missing.
int request_usable(const install_request *req)
{
    if (!req || !req->artifacts || req->count == 0 || !req->version ||
        !version_is_valid(req->version))
        return 0;
    for (uint64_t i = 0; i < req->count; i++)
        if (!req->artifacts[i])
            return 0;
    return 1;
}

} // namespace

int install_check_package_json(const char *scratch, const pkg_entry *entries, size_t count,
                               const char *version, const char *component, char *reason,
                               size_t size)
{
    char path[INSTALL_PATH_MAX + 16];
    install_format(path, sizeof path, "%s/PACKAGE.json", scratch);
    FILE *f = fopen(path, "rb");
    if (!f) {
        update_error(reason, size, "PACKAGE.json is missing");
        return -1;
    }
    // One byte beyond the limit tells a file that is too long.
    char *text = (char *)malloc(INSTALL_JSON_MAX + 2);
    if (!text) {
        fclose(f);
        update_error(reason, size, "out of memory");
        return -1;
    }
    size_t len = fread(text, 1, INSTALL_JSON_MAX + 1, f);
    fclose(f);
    text[len] = '\0';
    int rc = -1;
    const char *bad = install_json_size_reason(len);
    if (bad)
        update_error(reason, size, "%s", bad);
    else if (component)
        rc = package_json_check(entries, count, text, len, version, component, reason, size);
    else
        rc = package_json_check_update(entries, count, text, len, version, reason, size);
    free(text);
    return rc;
}

namespace {

// The body of install_components from the creation of the directories on;
// the caller cleans up. 0, or 1 with a sentence in err.
int install_staged_run(install_run_state *rs, char *err, size_t errlen)
{
    const install_request *req = rs->req;
    if (versions_dir_create(rs->cfg, err, errlen) != 0)
        return INSTALL_FAILED;
    rs->dirs_made = 1;
    fs_remove_path(rs->staging);
    if (fs_create_dirs(rs->staging) != 0) {
        update_error(err, errlen, "cannot create %s", rs->staging);
        return INSTALL_FAILED;
    }
    rs->staging_made = 1;
    if (req->count > INSTALL_MAX_ARTIFACTS) {
        update_error(err, errlen, "too many components");
        return INSTALL_FAILED;
    }
    pipeline_run *pipe = &rs->pipe;
    pipe->cfg = rs->cfg;
    pipe->req = req;
    pipe->st = rs->st;
    pipe->downloads = rs->downloads;
    pipe->staging = rs->staging;
    if (install_packages(pipe, err, errlen) != INSTALL_DONE)
        return INSTALL_FAILED;
    if (versions_install_staged(rs->cfg, req->version, rs->list, rs->staging, pipe->merged.items,
                                pipe->merged.count, rs->st, err, errlen) != 0)
        return INSTALL_FAILED;
    pipeline_clear_downloads(rs->downloads);
    return INSTALL_DONE;
}

} // namespace

namespace {

// install_lock_for_run; with removing set, a switch that cannot be recorded
// does not stop the run: an uninstall takes the programs away anyway, and an
// installation whose state cannot be written must still be removable.
int lock_and_recover(const updater_config *cfg, const char *busy_line, int removing, char *err,
                     size_t errlen)
{
    int got = updater_lock_acquire(cfg);
    if (got == -1) {
        if (busy_line)
            log_write(LOG_INFO, "%s", busy_line);
        return INSTALL_POSTPONED;
    }
    if (got != 0) {
        update_error(err, errlen, "cannot use the state directory %s", cfg->state_dir);
        return INSTALL_FAILED;
    }
    // Before anything else: a switch that a run ended half done is finished
    // or undone, so that bin holds one version again.
    if (versions_recover(cfg, err, errlen) != 0) {
        if (removing) {
            log_write(LOG_WARN, "%s; removing the programs all the same", err);
            update_error(err, errlen, "%s", "");
            return 0;
        }
        install_win.lock_release();
        return INSTALL_FAILED;
    }
    return 0;
}

} // namespace

int install_lock_for_run(const updater_config *cfg, const char *busy_line, char *err,
                         size_t errlen)
{
    return lock_and_recover(cfg, busy_line, 0, err, errlen);
}

int updater_recover(const updater_config *cfg, char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    // Without a journal there is nothing to heal, and nothing is made: a
    // first installation that cannot connect leaves no state directory.
    if (!versions_switch_pending(cfg))
        return INSTALL_DONE;
    int rc = install_lock_for_run(cfg, nullptr, err, errlen);
    if (rc == 0)
        install_win.lock_release();
    return rc;
}

int install_sched_pause(const updater_config *cfg, const char *what, int *stopped)
{
    char msg[INSTALL_SCHED_MSG] = "";
    unsigned long pid = 0;
    *stopped = 0;
    // A job that runs, and a scheduler whose state cannot be read, both
    // postpone: a backup must never find its programs half replaced.
    if (install_win.sched_busy(cfg, &pid, nullptr, 0, msg, sizeof msg) != 0) {
        log_write(LOG_INFO, "orv_sched is running a job: postponing the %s", what);
        return INSTALL_POSTPONED;
    }
    if (pid == 0)
        return 0;
    if (install_win.sched_stop(cfg, pid, msg, sizeof msg) != 0) {
        log_write(LOG_INFO, "could not stop the idle orv_sched for the %s (%s): postponing", what,
                  msg);
        return INSTALL_POSTPONED;
    }
    *stopped = 1;
    return 0;
}

int install_programs_busy(const char *what, char *err, size_t errlen)
{
    char names[INSTALL_NAMES_MAX] = "";
    if (install_win.running_programs(names, sizeof names) <= 0)
        return 0;
    log_write(LOG_INFO, "%s is running: postponing the %s", names, what);
    // The caller's sentence names it too: a program left running (by a run
    // that was ended, say) is found only by its name.
    update_error(err, errlen, "%s is running: postponing the %s", names, what);
    return 1;
}

int install_components(const updater_config *cfg, const host_facts *hf,
                       const install_request *req, updater_state *st, char *err, size_t errlen)
{
    (void)hf;
    if (!request_usable(req)) {
        update_error(err, errlen, "nothing to install");
        return INSTALL_FAILED;
    }
    if (!req->force && wordlist_contains(st->bad_versions, req->version)) {
        update_error(err, errlen,
                     "version %s failed on this machine before; not trying it again (use "
                     "--force, or wait for a newer release)",
                     req->version);
        return INSTALL_FAILED;
    }
    // A list the state cannot record is refused before anything changes:
    // the programs would go live and the state could never say so.
    char list[INSTALL_LIST_MAX];
    size_t whole = install_component_list(req->artifacts, (size_t)req->count, req->component_list,
                                          list, sizeof list);
    if (whole >= sizeof list || !state_components_readable(list)) {
        state_components_refusal(list, whole, err, errlen);
        return INSTALL_FAILED;
    }

    install_run_state *rs = (install_run_state *)calloc(1, sizeof *rs);
    if (!rs) {
        update_error(err, errlen, "out of memory");
        return INSTALL_FAILED;
    }
    rs->cfg = cfg;
    rs->req = req;
    rs->st = st;
    int rc = install_sched_pause(cfg, "installation", &rs->sched_stopped);
    if (rc != 0)
        goto out;
    rc = INSTALL_FAILED;
    if (install_programs_busy("installation", err, errlen)) {
        rc = INSTALL_POSTPONED;
        goto out;
    }
    memcpy(rs->list, list, sizeof rs->list);
    if (!fits(install_format(rs->downloads, sizeof rs->downloads, "%s/downloads",
                             cfg->state_dir),
              sizeof rs->downloads) ||
        !fits(install_format(rs->staging, sizeof rs->staging, "%s/.staging-%s-%ld",
                             cfg->install_dir, req->version, (long)GetCurrentProcessId()),
              sizeof rs->staging)) {
        update_error(err, errlen, "cannot create %s/.staging-%s", cfg->install_dir,
                     req->version);
        goto out;
    }
    rc = install_staged_run(rs, err, errlen);
out:
    pipeline_release(&rs->pipe);
    if (rs->staging_made)
        fs_remove_path(rs->staging);
    if (rc == INSTALL_FAILED && rs->dirs_made) {
        // A first installation that fails leaves nothing behind: "bin" (made
        // by a switch that was undone), "versions" and the installation
        // directory go when they are empty.
        char dir[INSTALL_PATH_MAX + 16];
        install_format(dir, sizeof dir, "%s/bin", cfg->install_dir);
        fs_remove_dir(dir);
        install_format(dir, sizeof dir, "%s/versions", cfg->install_dir);
        if (fs_remove_dir(dir) == 0)
            fs_remove_dir(cfg->install_dir);
    }
    if (rs->sched_stopped)
        install_win.sched_start();
    free(rs);
    return rc;
}

int install_run(const updater_config *cfg, const host_facts *hf, const install_request *req,
                char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    if (!request_usable(req)) {
        update_error(err, errlen, "nothing to install");
        return INSTALL_FAILED;
    }
    int rc = install_lock_for_run(cfg, "another orv_updater or orv_setup is running; try again later",
                          err, errlen);
    if (rc != 0)
        return rc;
    updater_state st;
    state_read(cfg, &st);
    rc = install_components(cfg, hf, req, &st, err, errlen);
    install_win.lock_release();
    return rc;
}

namespace {

// The busy checks of an uninstall, made under the lock: a product program
// that runs, or a scheduler that runs a job (or whose job state cannot be
// read), keeps the programs where they are. 0, or 75 (logged; a running
// program also named in err).
int uninstall_busy(const updater_config *cfg, char *err, size_t errlen)
{
    char names[INSTALL_NAMES_MAX] = "";
    char msg[INSTALL_SCHED_MSG] = "";
    if (install_win.running_programs(names, sizeof names) > 0) {
        log_write(LOG_INFO, "%s is running: not uninstalling now", names);
        update_error(err, errlen, "%s is running: not uninstalling now", names);
        return INSTALL_POSTPONED;
    }
    if (install_win.sched_busy(cfg, nullptr, nullptr, 0, msg, sizeof msg) != 0) {
        log_write(LOG_INFO, "orv_sched is running a job: not uninstalling now");
        return INSTALL_POSTPONED;
    }
    return 0;
}

} // namespace

int updater_uninstall_begin(const updater_config *cfg, char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    int rc = lock_and_recover(cfg, nullptr, 1, err, errlen);
    if (rc != 0)
        return rc;
    rc = uninstall_busy(cfg, err, errlen);
    if (rc != 0)
        install_win.lock_release();
    return rc;
}

int updater_uninstall(const updater_config *cfg, int purge, char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    int rc = lock_and_recover(cfg, nullptr, 1, err, errlen);
    if (rc != 0)
        return rc;
    return updater_uninstall_locked(cfg, purge, err, errlen);
}

int updater_uninstall_locked(const updater_config *cfg, int purge, char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    // Asked again: the setup removed an idle service since it was asked
    // first, and a job that started in between must still find its programs.
    int rc = uninstall_busy(cfg, err, errlen);
    if (rc != 0) {
        install_win.lock_release();
        return rc;
    }
    if (versions_remove_all(cfg, err, errlen) != 0) {
        install_win.lock_release();
        return INSTALL_FAILED;
    }
    if (purge) {
        char path[INSTALL_PATH_MAX];
        // The state and the downloads go while the lock is still held: an
        // updater that takes the lock next must not lose them under its feet.
        install_format(path, sizeof path, "%s/state", cfg->state_dir);
        remove(path);
        install_format(path, sizeof path, "%s/state.tmp", cfg->state_dir);
        remove(path);
        install_format(path, sizeof path, "%s/downloads", cfg->state_dir);
        fs_remove_path(path);
        // The lock file can go only once it is closed.
        install_win.lock_release();
        install_format(path, sizeof path, "%s/updater.lock", cfg->state_dir);
        remove(path);
        fs_remove_dir(cfg->state_dir);
        return INSTALL_DONE;
    }
    updater_state st;
    state_read(cfg, &st);
    st.installed_version[0] = '\0';
    st.previous_version[0] = '\0';
    st.components[0] = '\0';
    rc = state_write(cfg, &st, err, errlen) == 0 ? INSTALL_DONE : INSTALL_FAILED;
    install_win.lock_release();
    return rc;
}

namespace {

// The catalog run's shared part: lock, state, catalog, resolved selection.
struct catalog_run {
    updater_state st;                                // the state, read under the lock
    component_catalog cat;                           // the loaded catalog
    char url[INSTALL_DOC_URL_MAX];                   // its document URL
    char ids_buf[INSTALL_LIST_MAX];                  // the state's component list, split
    const char *ids[INSTALL_MAX_ARTIFACTS];          // the selection
    const char *resolved[INSTALL_MAX_ARTIFACTS];     // closed over the requirements
    size_t resolved_count;                           // their number
    const manifest_artifact *packages[INSTALL_MAX_ARTIFACTS];  // one per resolved id
};

// Loads the catalog into cr and resolves the state's components followed by
// the extra ids (at most 32 ids in all). 0, or -1 with a sentence in err.
// empty_fails: an empty component list in the state ends the run.
int catalog_run_load(const updater_config *cfg, catalog_run *cr, const char *const *extra,
                     size_t extra_n, int empty_fails, char *err, size_t errlen)
{
    state_read(cfg, &cr->st);
    if (empty_fails && !cr->st.components[0]) {
        update_error(err, errlen, "this installation was not made from components; nothing to add");
        return -1;
    }
    if (catalog_load(cfg, &cr->st, (int64_t)time(nullptr), &cr->cat, cr->url, sizeof cr->url, err,
                     errlen) != 0)
        return -1;
    size_t n = install_split_ids(cr->st.components, cr->ids_buf, sizeof cr->ids_buf, cr->ids,
                                 INSTALL_MAX_ARTIFACTS);
    for (size_t i = 0; i < extra_n && n < INSTALL_MAX_ARTIFACTS; i++)
        cr->ids[n++] = extra[i];
    return catalog_resolve_selection(&cr->cat, cr->ids, n, cr->resolved, INSTALL_MAX_ARTIFACTS,
                                     &cr->resolved_count, err, errlen);
}

// Takes the lock of a catalog run and the room for it. 0 with *out (the lock
// held), or the run's result: 75 busy, 1 with a sentence in err.
int catalog_run_open(const updater_config *cfg, catalog_run **out, char *err, size_t errlen)
{
    *out = nullptr;
    int rc = install_lock_for_run(cfg, "another orv_updater is running; try again later", err, errlen);
    if (rc != 0)
        return rc;
    *out = (catalog_run *)calloc(1, sizeof **out);
    if (!*out) {
        update_error(err, errlen, "out of memory");
        install_win.lock_release();
        return INSTALL_FAILED;
    }
    return 0;
}

// Releases the catalog and the room of a catalog run, and lets the lock go.
void catalog_run_close(catalog_run *cr)
{
    catalog_free(&cr->cat);
    free(cr);
    install_win.lock_release();
}

// The request of a catalog run: no component list, no callbacks.
install_request catalog_request(const catalog_run *cr, const char *version, uint32_t force)
{
    install_request req = {};
    req.version = version;
    req.artifacts = cr->packages;
    req.count = cr->resolved_count;
    req.base_url = cr->url;
    req.force = force;
    return req;
}

} // namespace

int install_update_start(const updater_config *cfg, const update_options **opts, char *err,
                         size_t errlen)
{
    static const update_options none = {0, 0, 0, 0, nullptr, nullptr, -1};
    if (!*opts)
        *opts = &none;
    update_error(err, errlen, "%s", "");
    if (!cfg->url[0]) {
        log_write(LOG_INFO, "no update url configured: nothing to do");
        return INSTALL_DONE;
    }
    return -1;
}

void install_update_choice(const updater_config *cfg, const update_options *opts,
                           const manifest *m, unsigned *bucket, unsigned *flags)
{
    const manifest_release *newest = install_newest_release(m);
    *bucket = opts->bucket >= 0 ? (unsigned)opts->bucket
                                : rollout_bucket(newest ? newest->version : "");
    *flags = (opts->allow_downgrade ? RELEASE_ALLOW_DOWNGRADE : 0) |
             (opts->allow_major || cfg->allow_major_upgrade ? RELEASE_ALLOW_MAJOR : 0);
}

int install_update_gate(const update_options *opts, const updater_state *st,
                        const char *installed, const manifest_release *rel)
{
    log_write(LOG_INFO, "installed %s, available %s%s%s", installed, rel->version,
              rel->notes ? ": " : "", rel->notes ? rel->notes : "");
    if (!opts->force && wordlist_contains(st->bad_versions, rel->version)) {
        log_write(LOG_WARN,
                  "version %s failed on this machine before; not trying it again (use --force, "
                  "or wait for a newer release)",
                  rel->version);
        return INSTALL_DONE;
    }
    return opts->check_only ? INSTALL_AVAILABLE : -1;
}

int update_components_run(const updater_config *cfg, const update_options *opts,
                          const host_facts *hf, char *err, size_t errlen)
{
    int rc = install_update_start(cfg, &opts, err, errlen);
    if (rc >= 0)
        return rc;
    catalog_run *cr;
    rc = catalog_run_open(cfg, &cr, err, errlen);
    if (rc != 0)
        return rc;
    rc = INSTALL_FAILED;
    char installed[VERSION_TEXT_MAX + 16];
    char msg[INSTALL_CHOICE_MSG] = "";
    const manifest_release *rel = nullptr;
    unsigned bucket;
    unsigned flags;
    install_request req;
    if (catalog_run_load(cfg, cr, nullptr, 0, 0, err, errlen) != 0)
        goto out;
    if (opts->installed_version)
        install_format(installed, sizeof installed, "%s", opts->installed_version);
    else if (state_current_version(cfg, installed, sizeof installed) != 0)
        install_format(installed, sizeof installed, "%s", INSTALL_OWN_VERSION);
    install_update_choice(cfg, opts, &cr->cat, &bucket, &flags);
    if (catalog_choose_release(&cr->cat, cr->resolved, cr->resolved_count, hf, installed,
                               INSTALL_OWN_VERSION, bucket, flags, opts->target_version, &rel,
                               cr->packages, msg, sizeof msg) != 0) {
        log_write(LOG_INFO, "installed %s: %s", installed, msg);
        rc = INSTALL_DONE;
        goto out;
    }
    rc = install_update_gate(opts, &cr->st, installed, rel);
    if (rc >= 0)
        goto out;
    req = catalog_request(cr, rel->version, opts->force);
    rc = install_components(cfg, hf, &req, &cr->st, err, errlen);
    if (rc == INSTALL_DONE)
        log_write(LOG_INFO, "updated %s -> %s", installed, rel->version);
out:
    catalog_run_close(cr);
    return rc;
}

int install_add_components(const updater_config *cfg, const char *const *ids, size_t n,
                           const host_facts *hf, char *err, size_t errlen)
{
    update_error(err, errlen, "%s", "");
    if (!cfg->url[0]) {
        update_error(err, errlen, "no update url configured");
        return INSTALL_FAILED;
    }
    catalog_run *cr;
    int rc = catalog_run_open(cfg, &cr, err, errlen);
    if (rc != 0)
        return rc;
    rc = INSTALL_FAILED;
    char version[VERSION_TEXT_MAX + 16];
    const char *missing = nullptr;
    const manifest_release *rel;
    install_request req;
    if (catalog_run_load(cfg, cr, ids, ids ? n : 0, 1, err, errlen) != 0)
        goto out;
    if (state_current_version(cfg, version, sizeof version) != 0) {
        update_error(err, errlen, "cannot determine the installed version");
        goto out;
    }
    rel = install_find_release(&cr->cat, version);
    if (!rel) {
        update_error(err, errlen,
                     "version %s is no longer on the update site; run --update first, then try "
                     "again",
                     version);
        goto out;
    }
    if (catalog_pick_packages(rel, hf, cr->resolved, cr->resolved_count, cr->packages,
                              &missing) != 0) {
        update_error(err, errlen, "no package for component %s in version %s for this platform",
                     missing ? missing : "?", version);
        goto out;
    }
    req = catalog_request(cr, version, 1);
    rc = install_components(cfg, hf, &req, &cr->st, err, errlen);
    if (rc == INSTALL_DONE)
        log_write(LOG_INFO, "%s: components now %s", version, cr->st.components);
out:
    catalog_run_close(cr);
    return rc;
}
