// The install engine's runs: the lock, the checks that nothing of the product
// is busy, the downloads, the unpacking, checking and merging of every
// package into one staging directory, the hand-over to the version switch,
// and the removal, scheduled update and adding of components around them.
#include "install.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <windows.h>

#include "codec.h"
#include "download.h"
#include "fs.h"
#include "install_win_seam.h"
#include "lock.h"
#include "log.h"
#include "package.h"
#include "proc.h"
#include "sched_service.h"
#include "sys_clock.h"
#include "sys_thread.h"
#include "selftest.h"
#include "update.h"
#include "version.h"
#include "versions.h"

const install_win_calls install_win_real = {
    sched_service_busy, sched_service_stop, sched_service_start, proc_running_programs,
    updater_lock_release, unpack_tar_zstd,
};
install_win_calls install_win = install_win_real;

// Room for a message that quotes a path and a nested reason.
#define MSG_BUF 2048

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
    char *files[INSTALL_MAX_ARTIFACTS];     // downloaded file of each artifact (heap), or null
    BY_HANDLE_FILE_INFORMATION checked[INSTALL_MAX_ARTIFACTS];  // each file as its checks saw it
    install_merged merged;                  // entries merged into staging so far
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

// Records the version as failed here and writes the state; a failure to
// write is not reported (the run's own message says what went wrong).
void mark_failed(install_run_state *rs)
{
    failed_versions_add(rs->st, rs->req->version);
    state_write(rs->cfg, rs->st, nullptr, 0);
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

// Merges one package's entries from its scratch directory into staging.
// 0, or -1 with the run's sentence in err.
int merge_package(install_run_state *rs, const char *scratch, const pkg_entry *entries,
                  size_t count, const char *component, char *err, size_t errlen)
{
    char source[MSG_BUF], target[MSG_BUF];
    for (size_t i = 0; i < count; i++) {
        const pkg_entry *e = &entries[i];
        int plan = install_merge_plan(&rs->merged, e);
        if (plan == MERGE_SKIP || plan == MERGE_SAME_FILE)
            continue;
        install_format(source, sizeof source, "%s/%s", scratch, e->path);
        install_format(target, sizeof target, "%s/%s", rs->staging, e->path);
        if (plan == MERGE_NEW_FILE) {
            // A merged path that differs only in letter case is the same
            // file to Windows: the move would replace it.
            FILE *there = fopen(target, "rb");
            if (there) {
                fclose(there);
                plan = MERGE_CONFLICT;
            }
        }
        switch (plan) {
        case MERGE_CONFLICT:
            update_error(err, errlen,
                         "the component %s and another component both contain %s, with "
                         "different content",
                         component, e->path);
            return -1;
        case MERGE_DIR_AGAIN:
        case MERGE_NEW_DIR:
            if (fs_create_dirs(target) != 0) {
                update_error(err, errlen, "cannot create %s", target);
                return -1;
            }
            break;
        case MERGE_NEW_FILE: {
            char *slash = strrchr(target, '/');
            *slash = '\0';
            int made = fs_create_dirs(target);
            if (made != 0) {
                update_error(err, errlen, "cannot create %s", target);
                return -1;
            }
            *slash = '/';
            if (fs_replace_file(source, target) != 0) {
                update_error(err, errlen, "cannot move %s into the installation", e->path);
                return -1;
            }
            break;
        }
        }
        if (plan != MERGE_DIR_AGAIN && install_merged_add(&rs->merged, e) != 0) {
            update_error(err, errlen, "out of memory while merging the packages");
            return -1;
        }
    }
    return 0;
}

// The scratch directory of package k: "<staging>.p<k>".
void scratch_path(const install_run_state *rs, size_t k, char *out, size_t size)
{
    install_format(out, size, "%s.p%zu", rs->staging, k);
}

// Unpacks and checks package k into its scratch directory; on success
// *entries and *count hold what was unpacked (the caller frees it). 0, or -1
// with the run's sentence in err, or -2 with it when the disk had no room
// (which says nothing about the version).
int unpack_package(install_run_state *rs, size_t k, pkg_entry **entries, size_t *count,
                   char *err, size_t errlen)
{
    const manifest_artifact *art = rs->req->artifacts[k];
    const char *name = install_artifact_name(art);
    char scratch[INSTALL_PATH_MAX + 24];
    char msg[INSTALL_UNPACK_MSG] = "";
    *entries = nullptr;
    *count = 0;

    scratch_path(rs, k, scratch, sizeof scratch);
    fs_remove_path(scratch);
    int rc = install_win.unpack(rs->files[k], scratch, INSTALL_UNPACK_LIMIT, entries, count, msg,
                                sizeof msg);
    if (rc == UNPACK_DISK_FULL) {
        update_error(err, errlen, "the package for %s cannot be unpacked: %s", name, msg);
        return -2;
    }
    if (rc != 0) {
        update_error(err, errlen, "the package for %s is invalid: %s", name, msg);
        return -1;
    }
    if (install_check_package_json(scratch, *entries, *count, rs->req->version, art->component,
                                   msg, sizeof msg) != 0) {
        update_error(err, errlen, "the package for %s is inconsistent: %s", name, msg);
        free(*entries);
        *entries = nullptr;
        *count = 0;
        return -1;
    }
    return 0;
}

// Which file stands at path, its size and its last change, into info. 0, or
// -1 when it cannot be opened.
int file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok ? 0 : -1;
}

// 1 when the downloaded file of artifact k is still the file its checks
// passed: the same file (not one moved over it), the same size, unchanged
// since. The package unpacked is then the package the signature covers.
int download_unchanged(const install_run_state *rs, size_t k)
{
    BY_HANDLE_FILE_INFORMATION now;
    const BY_HANDLE_FILE_INFORMATION *was = &rs->checked[k];
    return file_identity(rs->files[k], &now) == 0 &&
           now.dwVolumeSerialNumber == was->dwVolumeSerialNumber &&
           now.nFileIndexHigh == was->nFileIndexHigh && now.nFileIndexLow == was->nFileIndexLow &&
           now.nFileSizeHigh == was->nFileSizeHigh && now.nFileSizeLow == was->nFileSizeLow &&
           CompareFileTime(&now.ftLastWriteTime, &was->ftLastWriteTime) == 0;
}

// How many packages are fetched (and then unpacked) at once. One WinHTTP
// connection moves far fewer bytes a second than the loopback or a LAN can
// carry, and each package's unpacking is one thread's work.
#define INSTALL_PARALLEL 4
// How often the run's thread passes on the byte progress of the package it
// waits for.
#define INSTALL_PROGRESS_MS 100

// Where one package stands in the pipeline.
enum slot_stage {
    SLOT_WAITING = 0,  // nobody has taken it yet
    SLOT_FETCHING,     // its download runs
    SLOT_FETCHED,      // downloaded (or failed to)
    SLOT_UNPACKED      // unpacked and checked (or failed to, or never will be)
};

// One package in the pipeline. Guarded by the pipeline's lock, except for
// what only the worker that took it touches before it is fetched.
struct package_slot {
    int stage;                      // a slot_stage
    int same_file;                  // index of an earlier package with the same file, or -1
    char file[INSTALL_PATH_MAX];    // the file the download will have ("" when unknown)
    int file_was_there;             // 1 when that file existed before the run took it
    int part_was_there;             // 1 when its ".part" file did
    int fetch_rc;                   // 0 downloaded, -1 failed
    char fetch_err[MSG_BUF];        // the download's sentence
    uint64_t done, total;           // its byte progress
    int unpack_rc;                  // 0, -1 (the version's fault), -2 (not), -3 (file changed)
    char unpack_err[MSG_BUF];       // the unpacking's sentence
    pkg_entry *entries;             // what it unpacked (heap), or null
    size_t count;                   // number of entries
};

// The pipeline of one run: workers fetch the packages in their order, each
// unpacking what it fetched, while the run's thread reports the steps, the
// byte progress and the outcomes strictly in the packages' order. Work past
// the first package that failed is not started, as the run in order would
// never have reached it.
struct package_pipe {
    install_run_state *rs;         // the run
    package_slot *slots;           // one per package
    size_t count;                  // number of packages
    sys_mutex lock;                // guards everything below and the slots
    sys_cond changed;              // a slot moved on
    size_t next;                   // the next package nobody has taken
    size_t first_fetch_failure;    // lowest package whose download failed, or count
    size_t first_unpack_failure;   // lowest package whose unpacking failed, or count
    int unpacking;                 // 1 while a worker unpacks
    int stop;                      // 1: take no more work
};

// The user data of a worker's byte callback.
struct slot_progress {
    package_pipe *pipe;  // the pipeline
    package_slot *slot;  // the package
};

// The path the download of art will have below dir (as the download names
// it), or "" when it has none.
void download_target(const char *dir, const manifest_artifact *art, char *out, size_t size)
{
    const char *name = nullptr;
    uint8_t digest[32];
    char keyed[INSTALL_PATH_MAX];
    out[0] = '\0';
    if (!art->url || download_file_name(art->url, &name, nullptr, 0) != 0)
        return;
    if (!art->sha256 || hex_decode(art->sha256, digest, 32) != 0)
        memset(digest, 0, sizeof digest);
    download_keyed_name(digest, name, keyed, sizeof keyed);
    if (!fits(install_format(out, size, "%s/%s", dir, keyed), size))
        out[0] = '\0';
}

// 1 when a file or directory stands at path.
int path_exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The worker's byte callback: keeps the progress for the run's thread.
void slot_bytes(void *user, uint64_t done, uint64_t total)
{
    slot_progress *p = (slot_progress *)user;
    sys_mutex_lock(&p->pipe->lock);
    p->slot->done = done;
    p->slot->total = total;
    sys_mutex_unlock(&p->pipe->lock);
}

// Downloads package k into its slot (fetch_rc, fetch_err, rs->files[k] and
// the identity its checks saw).
void fetch_package(package_pipe *pp, size_t k)
{
    install_run_state *rs = pp->rs;
    package_slot *slot = &pp->slots[k];
    const manifest_artifact *art = rs->req->artifacts[k];
    char path[INSTALL_PATH_MAX] = "";
    slot_progress progress = {pp, slot};
    char part[INSTALL_PATH_MAX + 8];
    install_format(part, sizeof part, "%s.part", slot->file);
    slot->file_was_there = slot->file[0] && path_exists(slot->file);
    slot->part_was_there = slot->file[0] && path_exists(part);
    slot->fetch_rc = artifact_download(rs->cfg, rs->req->base_url, art, rs->downloads, path,
                                       sizeof path, slot_bytes, &progress, slot->fetch_err,
                                       sizeof slot->fetch_err);
    if (slot->fetch_rc != 0)
        return;
    slot->fetch_rc = -1;
    rs->files[k] = strdup(path);
    if (!rs->files[k])
        update_error(slot->fetch_err, sizeof slot->fetch_err, "out of memory");
    else if (file_identity(path, &rs->checked[k]) != 0)
        update_error(slot->fetch_err, sizeof slot->fetch_err, "cannot read %s", path);
    else
        slot->fetch_rc = 0;
}

// Unpacks and checks the fetched package k into its slot.
void unpack_slot(package_pipe *pp, size_t k)
{
    install_run_state *rs = pp->rs;
    package_slot *slot = &pp->slots[k];
    // Only the file that passed the checks is unpacked: not the version's
    // fault when it changed, so nothing is marked.
    if (!download_unchanged(rs, k)) {
        update_error(slot->unpack_err, sizeof slot->unpack_err,
                     "the download for %s changed after it was checked",
                     install_artifact_name(rs->req->artifacts[k]));
        slot->unpack_rc = -3;
        return;
    }
    slot->unpack_rc = unpack_package(rs, k, &slot->entries, &slot->count, slot->unpack_err,
                                     sizeof slot->unpack_err);
}

// A worker: takes the packages in their order, fetches each and unpacks it,
// until none is left or the run stops.
uint32_t pipe_worker(void *arg)
{
    package_pipe *pp = (package_pipe *)arg;
    sys_mutex_lock(&pp->lock);
    for (;;) {
        if (pp->stop || pp->next >= pp->count || pp->next > pp->first_fetch_failure)
            break;
        size_t k = pp->next++;
        package_slot *slot = &pp->slots[k];
        // Two packages with the same file: the later one waits for the
        // earlier download, then finds its file complete.
        while (slot->same_file >= 0 && pp->slots[slot->same_file].stage < SLOT_FETCHED)
            sys_cond_wait(&pp->changed, &pp->lock);
        if (pp->stop || k > pp->first_fetch_failure) {
            slot->stage = SLOT_UNPACKED;
            slot->fetch_rc = -1;
            slot->unpack_rc = -1;
            sys_cond_broadcast(&pp->changed);
            continue;
        }
        slot->stage = SLOT_FETCHING;
        sys_mutex_unlock(&pp->lock);
        fetch_package(pp, k);
        sys_mutex_lock(&pp->lock);
        slot->stage = SLOT_FETCHED;
        if (slot->fetch_rc != 0 && k < pp->first_fetch_failure)
            pp->first_fetch_failure = k;
        sys_cond_broadcast(&pp->changed);
        int unpack = slot->fetch_rc == 0 && !pp->stop && k < pp->first_fetch_failure &&
                     k < pp->first_unpack_failure;
        if (unpack) {
            // One unpacking at a time: each holds a decoder and its window,
            // and the fetches, not the unpacking, set the pace.
            while (pp->unpacking)
                sys_cond_wait(&pp->changed, &pp->lock);
            pp->unpacking = 1;
            sys_mutex_unlock(&pp->lock);
            unpack_slot(pp, k);
            sys_mutex_lock(&pp->lock);
            pp->unpacking = 0;
            if (pp->slots[k].unpack_rc != 0 && k < pp->first_unpack_failure)
                pp->first_unpack_failure = k;
        } else {
            slot->unpack_rc = -1;
        }
        slot->stage = SLOT_UNPACKED;
        sys_cond_broadcast(&pp->changed);
    }
    sys_mutex_unlock(&pp->lock);
    return 0;
}

// Waits, holding the pipeline's lock, until package k reached stage; with
// forward set, passes its byte progress on to the request's callback (on
// this thread, without the lock) as it changes.
void wait_for_slot(package_pipe *pp, size_t k, int stage, int forward)
{
    const install_request *req = pp->rs->req;
    package_slot *slot = &pp->slots[k];
    uint64_t shown_done = 0, shown_total = 0;
    int shown = 0;
    for (;;) {
        int reached = slot->stage >= stage;
        if (forward && req->bytes_fn && slot->total != 0 &&
            (!shown || slot->done != shown_done || slot->total != shown_total)) {
            shown_done = slot->done;
            shown_total = slot->total;
            shown = 1;
            sys_mutex_unlock(&pp->lock);
            req->bytes_fn(req->bytes_user, shown_done, shown_total);
            sys_mutex_lock(&pp->lock);
            continue;
        }
        if (reached)
            return;
        sys_cond_timedwait(&pp->changed, &pp->lock, INSTALL_PROGRESS_MS);
    }
}

// Stops the pipeline and waits for its workers; removes every scratch
// directory left and, after a failed download, the files that downloads of
// later packages (which the run in order would never have begun) created.
void pipe_finish(package_pipe *pp, sys_thread *threads, size_t started)
{
    sys_mutex_lock(&pp->lock);
    pp->stop = 1;
    sys_cond_broadcast(&pp->changed);
    sys_mutex_unlock(&pp->lock);
    for (size_t t = 0; t < started; t++)
        sys_thread_join(threads[t]);
    char scratch[INSTALL_PATH_MAX + 24], part[INSTALL_PATH_MAX + 8];
    for (size_t k = 0; k < pp->count; k++) {
        package_slot *slot = &pp->slots[k];
        free(slot->entries);
        slot->entries = nullptr;
        scratch_path(pp->rs, k, scratch, sizeof scratch);
        fs_remove_path(scratch);
        if (k <= pp->first_fetch_failure || slot->stage == SLOT_WAITING || !slot->file[0])
            continue;
        install_format(part, sizeof part, "%s.part", slot->file);
        if (!slot->file_was_there)
            remove(slot->file);
        if (!slot->part_was_there)
            remove(part);
    }
}

// Fetches, unpacks, checks and merges every package: the steps, the byte
// progress and the first failure as a run that took one package after the
// other would have them. 0, or 1 with the sentence in err.
int install_packages(install_run_state *rs, char *err, size_t errlen)
{
    const install_request *req = rs->req;
    size_t n = (size_t)req->count;
    package_pipe pp;
    memset(&pp, 0, sizeof pp);
    pp.rs = rs;
    pp.count = n;
    pp.first_fetch_failure = n;
    pp.first_unpack_failure = n;
    pp.slots = (package_slot *)calloc(n, sizeof *pp.slots);
    if (!pp.slots) {
        update_error(err, errlen, "out of memory");
        return INSTALL_FAILED;
    }
    for (size_t k = 0; k < n; k++) {
        package_slot *slot = &pp.slots[k];
        download_target(rs->downloads, req->artifacts[k], slot->file, sizeof slot->file);
        slot->same_file = -1;
        for (size_t i = 0; i < k && slot->file[0]; i++)
            if (strcmp(pp.slots[i].file, slot->file) == 0) {
                slot->same_file = (int)i;
                break;
            }
    }
    sys_mutex_init(&pp.lock);
    sys_cond_init(&pp.changed);
    sys_thread threads[INSTALL_PARALLEL];
    size_t started = 0;
    while (started < INSTALL_PARALLEL && started < n &&
           sys_thread_start(&threads[started], pipe_worker, &pp) == 0)
        started++;
    // Without a thread this one does the work; the progress then comes
    // after each package, in the same order.
    if (started == 0)
        pipe_worker(&pp);

    int rc = INSTALL_FAILED;
    sys_mutex_lock(&pp.lock);
    // Every package is on disk before anything is merged: a download that
    // fails says nothing about the version, so it is not marked.
    size_t j = 0;
    for (; j < n; j++) {
        const manifest_artifact *art = req->artifacts[j];
        char step[INSTALL_STEP_TEXT];
        install_format(step, sizeof step, "downloading %s", install_artifact_name(art));
        sys_mutex_unlock(&pp.lock);
        if (req->step_fn)
            req->step_fn(req->step_user, step, j, req->count);
        log_write(LOG_INFO, "downloading %s", art->url ? art->url : "");
        sys_mutex_lock(&pp.lock);
        wait_for_slot(&pp, j, SLOT_FETCHED, 1);
        if (pp.slots[j].fetch_rc != 0) {
            update_error(err, errlen, "%s", pp.slots[j].fetch_err);
            break;
        }
    }
    if (j == n) {
        sys_mutex_unlock(&pp.lock);
        if (req->step_fn)
            req->step_fn(req->step_user, "installing", req->count, req->count);
        sys_mutex_lock(&pp.lock);
        size_t k = 0;
        for (; k < n; k++) {
            wait_for_slot(&pp, k, SLOT_UNPACKED, 0);
            package_slot *slot = &pp.slots[k];
            int got = slot->unpack_rc;
            // Unpacked while the others were fetched: the file must still be
            // the one whose checks passed, now as before its unpacking.
            if (got != -3 && !download_unchanged(rs, k)) {
                update_error(slot->unpack_err, sizeof slot->unpack_err,
                             "the download for %s changed after it was checked",
                             install_artifact_name(req->artifacts[k]));
                got = -3;
            }
            if (got == 0) {
                char scratch[INSTALL_PATH_MAX + 24];
                scratch_path(rs, k, scratch, sizeof scratch);
                sys_mutex_unlock(&pp.lock);
                got = merge_package(rs, scratch, slot->entries, slot->count,
                                    install_artifact_name(req->artifacts[k]), err, errlen);
                fs_remove_path(scratch);
                sys_mutex_lock(&pp.lock);
            } else {
                update_error(err, errlen, "%s", slot->unpack_err);
            }
            if (got == -1)
                mark_failed(rs);
            if (got != 0)
                break;
        }
        if (k == n)
            rc = INSTALL_DONE;
    }
    // The run's own outcome stands: later packages' work is dropped.
    if (rc != INSTALL_DONE && j < n && pp.first_fetch_failure > j)
        pp.first_fetch_failure = j;
    sys_mutex_unlock(&pp.lock);
    pipe_finish(&pp, threads, started);
    sys_cond_destroy(&pp.changed);
    sys_mutex_destroy(&pp.lock);
    free(pp.slots);
    return rc;
}

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
    if (install_packages(rs, err, errlen) != INSTALL_DONE)
        return INSTALL_FAILED;
    if (versions_install_staged(rs->cfg, req->version, rs->list, rs->staging, rs->merged.items,
                                rs->merged.count, rs->st, err, errlen) != 0)
        return INSTALL_FAILED;
    for (size_t j = 0; j < req->count; j++)
        remove(rs->files[j]);
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
    for (size_t j = 0; j < INSTALL_MAX_ARTIFACTS; j++)
        free(rs->files[j]);
    install_merged_free(&rs->merged);
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
