// The install engine's package pipeline: workers fetch the packages of a run
// in their order, each unpacking what it fetched (several at once while
// their decoders fit a memory budget together),
// while the run's thread reports the steps, the byte progress and the
// outcomes strictly in the packages' order and merges each package into the
// staging directory; then the clean-up of what the run's failure left.
#include "pipeline.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include <windows.h>

#include "codec.h"
#include "download.h"
#include "fs.h"
#include "install_win_seam.h"
#include "log.h"
#include "package.h"
#include "selftest.h"
#include "sys_thread.h"
#include "unpack.h"
#include "update.h"

// Room for a message that quotes a path and a nested reason.
#define MSG_BUF 2048

namespace {

// 1 when a formatter's result n says that the whole text fit in size bytes
// (a cut path would name another file).
bool fits(int n, size_t size) { return n >= 0 && (size_t)n < size; }

// Records the version as failed here and writes the state; a failure to
// write is not reported (the run's own message says what went wrong).
void mark_failed(pipeline_run *rs)
{
    failed_versions_add(rs->st, rs->req->version);
    state_write(rs->cfg, rs->st, nullptr, 0);
}

// The sentence of a merge step on path that the full disk stopped: -2, as
// it says nothing about the version.
int merge_disk_full(const char *path, char *err, size_t errlen)
{
    update_error(err, errlen, "cannot write %s: the disk is full", path);
    return -2;
}

// Creates the directory dir of the staging directory with its parents. 0,
// or -1 with the run's sentence in err; -2 with it when the disk was full.
int merge_dirs(const char *dir, char *err, size_t errlen)
{
    errno = 0;
    if (install_win.create_dirs(dir) == 0)
        return 0;
    if (fs_disk_full(errno))
        return merge_disk_full(dir, err, errlen);
    update_error(err, errlen, "cannot create %s", dir);
    return -1;
}

// Merges one package's entries from its scratch directory into staging.
// 0, or -1 with the run's sentence in err; -2 with it when the disk was full.
int merge_package(pipeline_run *rs, const char *scratch, const pkg_entry *entries,
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
        case MERGE_NEW_DIR: {
            int made = merge_dirs(target, err, errlen);
            if (made != 0)
                return made;
            break;
        }
        case MERGE_NEW_FILE: {
            char *slash = strrchr(target, '/');
            *slash = '\0';
            int made = merge_dirs(target, err, errlen);
            if (made != 0)
                return made;
            *slash = '/';
            if (install_win.replace_file(source, target) != 0) {
                if (fs_disk_full(0))
                    return merge_disk_full(target, err, errlen);
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
void scratch_path(const pipeline_run *rs, size_t k, char *out, size_t size)
{
    install_format(out, size, "%s.p%zu", rs->staging, k);
}

// Unpacks and checks package k into its scratch directory; on success
// *entries and *count hold what was unpacked (the caller frees it). 0, or -1
// with the run's sentence in err, or -2 with it when the disk had no room
// (which says nothing about the version).
int unpack_package(pipeline_run *rs, size_t k, pkg_entry **entries, size_t *count,
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

// 1 when the downloaded file is still the file its checks passed (was): the
// same file (not one moved over it), the same size, unchanged since. The
// package unpacked is then the package the signature covers.
int download_unchanged(const char *file, const BY_HANDLE_FILE_INFORMATION *was)
{
    BY_HANDLE_FILE_INFORMATION now;
    return file_identity(file, &now) == 0 &&
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
// What the decoders of packages unpacked at the same time may hold together
// (unpack_memory): packages made with small windows unpack four at once,
// ones with large windows one after the other; one package always may,
// whatever its window.
#define INSTALL_UNPACK_MEMORY (6ull << 20)

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
    int file_was_there;             // 1 when that file existed before the run began
    int part_was_there;             // 1 when its ".part" file did
    std::atomic<int> stop;          // 1: end the download at once (read by its sink)
    int fetch_rc;                   // 0 downloaded, -1 failed
    char fetch_err[MSG_BUF];        // the download's sentence
    uint64_t done, total;           // its byte progress
    int unpack_rc;                  // 0, -1 (the version's fault), -2 (not), -3 (file changed)
    char unpack_err[MSG_BUF];       // the unpacking's sentence
    BY_HANDLE_FILE_INFORMATION checked;  // the downloaded file as its checks saw it
    pkg_entry *entries;             // what it unpacked (heap), or null
    size_t count;                   // number of entries
};

// The pipeline of one run: workers fetch the packages in their order, each
// unpacking what it fetched, while the run's thread reports the steps, the
// byte progress and the outcomes strictly in the packages' order. Work past
// the first package that failed is not started, as the run in order would
// never have reached it.
struct package_pipe {
    pipeline_run *rs;              // the run
    package_slot *slots;           // one per package
    size_t count;                  // number of packages
    sys_mutex lock;                // guards everything below and the slots
    sys_cond changed;              // a slot moved on
    size_t next;                   // the next package nobody has taken
    size_t first_fetch_failure;    // lowest package whose download failed, or count
    size_t first_unpack_failure;   // lowest package whose unpacking failed, or count
    int unpacking;                 // packages being unpacked
    uint64_t unpack_memory;        // what their decoders hold (each counted at most
                                   // INSTALL_UNPACK_MEMORY)
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
    pipeline_run *rs = pp->rs;
    package_slot *slot = &pp->slots[k];
    const manifest_artifact *art = rs->req->artifacts[k];
    char path[INSTALL_PATH_MAX] = "";
    slot_progress progress = {pp, slot};
    slot->fetch_rc = artifact_download_stoppable(rs->cfg, rs->req->base_url, art, rs->downloads,
                                                 path, sizeof path, slot_bytes, &progress,
                                                 &slot->stop, slot->fetch_err,
                                                 sizeof slot->fetch_err);
    if (slot->fetch_rc != 0)
        return;
    slot->fetch_rc = -1;
    rs->files[k] = strdup(path);
    if (!rs->files[k])
        update_error(slot->fetch_err, sizeof slot->fetch_err, "out of memory");
    else if (file_identity(path, &slot->checked) != 0)
        update_error(slot->fetch_err, sizeof slot->fetch_err, "cannot read %s", path);
    else
        slot->fetch_rc = 0;
}

// Unpacks and checks the fetched package k into its slot.
void unpack_slot(package_pipe *pp, size_t k)
{
    pipeline_run *rs = pp->rs;
    package_slot *slot = &pp->slots[k];
    // Only the file that passed the checks is unpacked: not the version's
    // fault when it changed, so nothing is marked.
    if (!download_unchanged(rs->files[k], &slot->checked)) {
        update_error(slot->unpack_err, sizeof slot->unpack_err,
                     "the download for %s changed after it was checked",
                     install_artifact_name(rs->req->artifacts[k]));
        slot->unpack_rc = -3;
        return;
    }
    slot->unpack_rc = unpack_package(rs, k, &slot->entries, &slot->count, slot->unpack_err,
                                     sizeof slot->unpack_err);
}

// Records, holding the pipeline's lock, that the download of package k
// failed. The first failure in the packages' order ends the run, so the
// downloads of later packages, which the run in order would never have
// begun, are ended at once; earlier ones go on, as one of them may still
// fail first.
void note_fetch_failure(package_pipe *pp, size_t k)
{
    if (k >= pp->first_fetch_failure)
        return;
    pp->first_fetch_failure = k;
    for (size_t i = k + 1; i < pp->count; i++)
        pp->slots[i].stop.store(1);
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
        if (slot->fetch_rc != 0)
            note_fetch_failure(pp, k);
        sys_cond_broadcast(&pp->changed);
        uint64_t need = 0;
        if (slot->fetch_rc == 0) {
            sys_mutex_unlock(&pp->lock);
            need = unpack_memory(pp->rs->files[k]);
            sys_mutex_lock(&pp->lock);
            if (need > INSTALL_UNPACK_MEMORY)
                need = INSTALL_UNPACK_MEMORY;
            // Each unpacking holds a decoder and its window: more than one
            // at a time only while they fit the budget together.
            while (pp->unpacking > 0 && pp->unpack_memory + need > INSTALL_UNPACK_MEMORY &&
                   !pp->stop)
                sys_cond_wait(&pp->changed, &pp->lock);
        }
        // Once any download failed the run fails with it, before anything
        // would have been unpacked; after an earlier package's unpacking
        // failed, the run in order would never reach this one.
        int unpack = slot->fetch_rc == 0 && !pp->stop && pp->first_fetch_failure == pp->count &&
                     k < pp->first_unpack_failure;
        if (unpack) {
            pp->unpacking++;
            pp->unpack_memory += need;
            sys_mutex_unlock(&pp->lock);
            unpack_slot(pp, k);
            sys_mutex_lock(&pp->lock);
            pp->unpacking--;
            pp->unpack_memory -= need;
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

// Stops the pipeline, ends the downloads still running and waits for its
// workers; removes every scratch directory left and, after a failed
// download, what downloads of later packages (which the run in order would
// never have begun) began from nothing.
void pipe_finish(package_pipe *pp, sys_thread *threads, size_t started)
{
    sys_mutex_lock(&pp->lock);
    pp->stop = 1;
    for (size_t k = 0; k < pp->count; k++)
        pp->slots[k].stop.store(1);
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
        // A file that a package up to the failure shares is that package's.
        if (slot->same_file >= 0 && (size_t)slot->same_file <= pp->first_fetch_failure)
            continue;
        // What stood there before the run stays, and so does what a resumed
        // download made of it.
        install_format(part, sizeof part, "%s.part", slot->file);
        if (!slot->file_was_there && !slot->part_was_there)
            remove(slot->file);
        if (!slot->part_was_there)
            remove(part);
    }
}

} // namespace

// The steps, the byte progress and the first failure are those of a run
// that took one package after the other.
int install_packages(pipeline_run *rs, char *err, size_t errlen)
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
        // Seen before any download runs: a file that a package shares with
        // an earlier one is there before the run only when it was there
        // before the earlier one's download.
        if (slot->file[0]) {
            char part[INSTALL_PATH_MAX + 8];
            install_format(part, sizeof part, "%s.part", slot->file);
            slot->file_was_there = path_exists(slot->file);
            slot->part_was_there = path_exists(part);
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
            if (got != -3 && !download_unchanged(rs->files[k], &slot->checked)) {
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
    if (rc != INSTALL_DONE && j < n)
        note_fetch_failure(&pp, j);
    sys_mutex_unlock(&pp.lock);
    pipe_finish(&pp, threads, started);
    sys_cond_destroy(&pp.changed);
    sys_mutex_destroy(&pp.lock);
    free(pp.slots);
    return rc;
}

void pipeline_release(pipeline_run *run)
{
    for (size_t j = 0; j < INSTALL_MAX_ARTIFACTS; j++) {
        free(run->files[j]);
        run->files[j] = nullptr;
    }
    install_merged_free(&run->merged);
}

void pipeline_clear_downloads(const char *downloads)
{
    char pattern[INSTALL_PATH_MAX + 8], path[INSTALL_PATH_MAX + MAX_PATH + 8];
    if (!fits(install_format(pattern, sizeof pattern, "%s/*", downloads), sizeof pattern))
        return;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (fits(install_format(path, sizeof path, "%s/%s", downloads, fd.cFileName), sizeof path))
            remove(path);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}
