// Package download over the WinHTTP client: resolve, name, reuse, resume,
// request (with one full retry after a failed resume), flush, check and move.
#include "download.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "codec.h"
#include "download_win_seam.h"
#include "fs.h"
#include "orv_http_winhttp.h"
#include "update.h"
#include "url.h"

const download_win_calls download_win_real = {fflush, _commit};
download_win_calls download_win = download_win_real;

namespace {

// What one artifact_download works with.
struct download_job {
    const updater_config *cfg;         // the settings
    char url[DOWNLOAD_URL_MAX];        // the resolved package URL
    char part[DOWNLOAD_PATH_MAX];      // "<path>.part"
    uint8_t expected[32];              // the signed SHA-256
    int have_expected;                 // 1 when the signed text is a digest
    download_sink sink;                // the part file being written
};

// A disk with less room than this left after a write failed is full.
#define DOWNLOAD_ROOM_MIN 65536

// The sentence for a part file that cannot be written; full when the error
// said so. A write that stopped part way on a disk that filled up says
// nothing under Wine: the room left on the disk tells.
void write_failure(const download_job *j, int full, char *err, size_t errlen)
{
    if (full || fs_disk_short(j->part, DOWNLOAD_ROOM_MIN))
        update_error(err, errlen, "cannot write %s: the disk is full", j->part);
    else
        update_error(err, errlen, "cannot write %s", j->part);
}

// How many bytes of a download the system may hold before they are put on
// the disk: written back while the body still comes, so that the commit
// before the move finds little left to write.
#define DOWNLOAD_FLUSH_EVERY (32ull << 20)

// The body sink of a download: download_write_chunk, and every
// DOWNLOAD_FLUSH_EVERY bytes a flush and commit of the part file. A flush or
// commit that fails stops the body as a write that failed would.
int download_write_flushed(const void *data, size_t len, void *user)
{
    download_sink *s = (download_sink *)user;
    uint64_t before = s->bytes_done;
    int rc = download_write_chunk(data, len, user);
    if (rc != 0 || before / DOWNLOAD_FLUSH_EVERY == s->bytes_done / DOWNLOAD_FLUSH_EVERY)
        return rc;
    errno = 0;
    if (download_win.flush(s->file) != 0 || download_win.commit(_fileno(s->file)) != 0) {
        s->write_errno = errno ? errno : EIO;
        return 1;
    }
    return 0;
}

// Asks for the bytes of the package that the part file lacks, into the sink.
// 0, or the client's result with its sentence in reason (-1 without a
// request once the download is to stop).
int download_request(download_job *j, char *reason, size_t reason_size)
{
    if (download_stopped(&j->sink)) {
        update_error(reason, reason_size, "download aborted");
        return -1;
    }
    http_opts opts;
    download_http_opts(j->cfg, j->sink.bytes_done, j->sink.bytes_expected, &opts);
    return http_get(j->url, &opts, download_write_flushed, &j->sink, nullptr, reason,
                    reason_size);
}

// Fills the part file up to the package's size: a request for what it lacks
// (none when it is complete), and after a failed resume one full download
// from the start. 0, or -1 with the sentence in err; a part file whose bytes
// cannot begin the package (the server sent more than the package holds) is
// deleted, any other stays for the next run.
int download_fill(download_job *j, char *err, size_t errlen)
{
    char reason[DOWNLOAD_REASON_MAX] = "";
    if (j->sink.bytes_done >= j->sink.bytes_expected)
        return 0;
    uint64_t kept = j->sink.bytes_done;
    int got = download_request(j, reason, sizeof reason);
    // A server that does not honour the range (or a resume that failed for
    // any other reason) gets one full download from the start; a disk that
    // took no more bytes would take none of those either, and a download
    // that was stopped must keep the bytes it had.
    if (got != 0 && kept > 0 && j->sink.write_errno == 0 && !download_stopped(&j->sink) &&
        download_part_restart(j->part, &j->sink) == 0)
        got = download_request(j, reason, sizeof reason);
    if (got == 0)
        return 0;
    if (j->sink.write_errno != 0) {
        write_failure(j, fs_disk_full(j->sink.write_errno), err, errlen);
        return -1;
    }
    update_error(err, errlen, "cannot download %s: %s", j->url, reason);
    if (got == HTTP_TOO_LARGE) {
        // Bytes of a response longer than the package are not a part of it:
        // resumed, they would only fail the checks of the next run.
        download_sink_close(&j->sink);
        remove(j->part);
    }
    return -1;
}

// Puts the part file's bytes on disk and checks them: flush and commit (the
// move must never give the package's name to bytes still in a buffer), close,
// size and SHA-256, and the size the file has on disk. 0 when the part file
// may take the package's name; -1 with the sentence in err, the part file
// deleted unless the disk refused the bytes.
int download_settle(download_job *j, char *err, size_t errlen)
{
    FILE *f = j->sink.file;
    errno = 0;
    SetLastError(0);
    if (!f || download_win.flush(f) != 0 || download_win.commit(_fileno(f)) != 0) {
        write_failure(j, fs_disk_full(errno), err, errlen);
        return -1;
    }
    if (download_part_finish(&j->sink, j->expected, j->have_expected, j->part, err, errlen) != 0)
        return -1;
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExA(j->part, GetFileExInfoStandard, &fa) ||
        (((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow) != j->sink.bytes_expected) {
        // The checks saw the bytes as they were written; the file must hold them all.
        update_error(err, errlen, "cannot write %s", j->part);
        remove(j->part);
        return -1;
    }
    return 0;
}

} // namespace

int artifact_download(const updater_config *cfg, const char *base, const manifest_artifact *art,
                      const char *dir, char *path, size_t path_size, download_bytes_fn bytes_fn,
                      void *bytes_user, char *err, size_t errlen)
{
    return artifact_download_stoppable(cfg, base, art, dir, path, path_size, bytes_fn, bytes_user,
                                       nullptr, err, errlen);
}

int artifact_download_stoppable(const updater_config *cfg, const char *base,
                                const manifest_artifact *art, const char *dir, char *path,
                                size_t path_size, download_bytes_fn bytes_fn, void *bytes_user,
                                const std::atomic<int> *stop, char *err, size_t errlen)
{
    char keyed[DOWNLOAD_PATH_MAX];
    const char *name = nullptr;
    download_job *j = (download_job *)calloc(1, sizeof *j);
    int rc = -1;
    int n;
    uint64_t kept;
    if (!j) {
        update_error(err, errlen, "out of memory");
        return -1;
    }
    j->cfg = cfg;

    const char *ref = art->url ? art->url : "";
    if (!art->url || url_resolve_relative(base, ref, j->url, sizeof j->url) != 0) {
        update_error(err, errlen, "cannot resolve the artifact url %s", ref);
        goto out;
    }
    if (download_file_name(ref, &name, err, errlen) != 0)
        goto out;
    if (fs_create_dirs(dir) != 0) {
        update_error(err, errlen, "cannot create %s", dir);
        goto out;
    }
    // A text that is no digest never matches, so nothing can pass the checks.
    j->have_expected = art->sha256 && hex_decode(art->sha256, j->expected, 32) == 0;
    if (!j->have_expected)
        memset(j->expected, 0, sizeof j->expected);
    download_keyed_name(j->expected, name, keyed, sizeof keyed);
    // A path cut to fit would name another file: refuse it instead.
    n = path && path_size ? snprintf(path, path_size, "%s/%s", dir, keyed) : -1;
    if (n < 0 || (size_t)n >= path_size ||
        (size_t)snprintf(j->part, sizeof j->part, "%s.part", path) >= sizeof j->part) {
        update_error(err, errlen, "cannot write %s/%s", dir, keyed);
        goto out;
    }

    if (j->have_expected && download_file_matches(path, art->size, j->expected)) {
        if (bytes_fn)
            bytes_fn(bytes_user, art->size, art->size);
        rc = 0;
        goto out;
    }
    remove(path);

    if (download_part_open(j->part, art->size, bytes_fn, bytes_user, &j->sink) != 0) {
        update_error(err, errlen, "cannot write %s", j->part);
        goto out;
    }
    j->sink.stop = stop;
    kept = j->sink.bytes_done;
    if (download_fill(j, err, errlen) != 0)
        goto out;
    if (download_settle(j, err, errlen) != 0) {
        // Kept bytes whose result fails the checks were not all the
        // package's own (it was replaced on the server, or damaged on this
        // disk): the checks deleted the part file, and one download from the
        // start may still succeed. A part file the disk refused stays.
        if (kept == 0 || GetFileAttributesA(j->part) != INVALID_FILE_ATTRIBUTES ||
            download_stopped(&j->sink))
            goto out;
        download_sink_close(&j->sink);
        update_error(err, errlen, "%s", "");
        if (download_part_open(j->part, art->size, bytes_fn, bytes_user, &j->sink) != 0) {
            update_error(err, errlen, "cannot write %s", j->part);
            goto out;
        }
        j->sink.stop = stop;
        if (download_fill(j, err, errlen) != 0 || download_settle(j, err, errlen) != 0)
            goto out;
    }
    if (fs_replace_file(j->part, path) != 0) {
        update_error(err, errlen, "cannot finish %s", path);
        goto out;
    }
    rc = 0;
out:
    download_sink_close(&j->sink);
    free(j);
    return rc;
}

int artifact_download_quiet(const updater_config *cfg, const char *base,
                            const manifest_artifact *art, const char *dir, char *path,
                            size_t path_size, char *err, size_t errlen)
{
    return artifact_download(cfg, base, art, dir, path, path_size, nullptr, nullptr, err, errlen);
}
