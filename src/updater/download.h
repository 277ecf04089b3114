// Package download: one package of a signed release into a downloads
// directory, resumed from its ".part" file with a byte range, streamed to
// disk while it is hashed, and put under its own name only once its size and
// SHA-256 equal the signed values. artifact_download (download_win.cpp) runs
// the request; everything it decides on files and bytes is here, in the pure
// unit download.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>

#include "http.h"
#include "manifest.h"
#include "sha256.h"
#include "updconf.h"

enum {
    DOWNLOAD_READ_PIECE = 65536,  // read buffer when a file on disk is hashed
    DOWNLOAD_URL_MAX = 2100,      // the resolved package URL, NUL included
    DOWNLOAD_REASON_MAX = 300,    // the HTTPS client's reason, NUL included
    DOWNLOAD_PATH_MAX = 4096,     // the ".part" path, NUL included
    DOWNLOAD_KEY_BYTES = 8        // digest bytes that key a package's file name
};

// Byte progress of one package: bytes on disk so far and the package's size.
typedef void (*download_bytes_fn)(void *user, uint64_t done, uint64_t total);

// One download in progress; the user data of download_write_chunk.
struct download_sink {
    FILE *file;                  // the open ".part" file, or null
    sha256_ctx digest;           // hash of every byte of the ".part" file so far, or null
    uint64_t bytes_done;         // bytes in the ".part" file so far
    uint64_t bytes_expected;     // the package's size
    download_bytes_fn bytes_fn;  // progress callback, or null
    void *bytes_user;            // its user data
    int write_errno;             // errno of the write that failed, 0 while none did
    const std::atomic<int> *stop;  // non-zero: take no more of the body; or null
};

// Downloads the package art into dir (created with its parents) and returns 0
// with "<dir>/<key>-<name>" in path (path_size bytes). The name is the last
// segment of art->url, which resolves against base (the signed document's
// URL) when relative; the key is the first DOWNLOAD_KEY_BYTES of the signed
// SHA-256 in hex, so two packages whose URLs end alike never share a file,
// and a later run for the same package finds its file again. A finished file
// that already has the signed size and SHA-256 is kept without a request
// (bytes_fn then gets size, size once); otherwise "<path>.part" is resumed
// with a byte range (once more from 0 when that request fails, or when the
// resumed file fails its checks), flushed to disk, checked, and moved over
// path. -1 with one sentence in err ("cannot write %s: the disk is full" when
// the disk is full); a ".part" file of a failed request stays for the next
// run, one whose bytes cannot begin the package (a wrong size or hash, a
// response longer than the package) is deleted. bytes_fn (may be null) gets
// the bytes on disk after each piece. Not for two calls on one file at the
// same time.
int artifact_download(const updater_config *cfg, const char *base, const manifest_artifact *art,
                      const char *dir, char *path, size_t path_size, download_bytes_fn bytes_fn,
                      void *bytes_user, char *err, size_t errlen);
// artifact_download that another thread can end early: once *stop (may be
// null) is non-zero, no request is begun and the body in flight ends at its
// next piece ("download aborted"), without the full download that follows a
// failed resume; the part file keeps what it holds. -1 then, as for any
// failed request.
int artifact_download_stoppable(const updater_config *cfg, const char *base,
                                const manifest_artifact *art, const char *dir, char *path,
                                size_t path_size, download_bytes_fn bytes_fn, void *bytes_user,
                                const std::atomic<int> *stop, char *err, size_t errlen);
// artifact_download without progress.
int artifact_download_quiet(const updater_config *cfg, const char *base,
                            const manifest_artifact *art, const char *dir, char *path,
                            size_t path_size, char *err, size_t errlen);

// The body sink of the HTTPS client for a download_sink at user: writes the
// piece to the file, hashes it, counts it and reports progress; 0. Returns 1
// (stop), with nothing of the piece written, once the sink's stop flag is
// set; also for a piece that would take the file past its expected size, and
// for a short write (the piece is then neither hashed nor counted, and its
// errno, EIO when there is none, is kept in write_errno).
int download_write_chunk(const void *data, size_t len, void *user);

// ---- the steps of artifact_download that need no network --------------------

// Finds the file name of a package url: the text after its last "/" (all of
// it without one). 0 with *name pointing into url; -1 with the sentence in err
// for a name that is empty, holds "?" or would not name a plain file of its
// own in the directory ("..", a name ending in "." (Windows drops trailing
// dots), a device name such as "NUL" or "com1.pkg", one ending in ".part"),
// or that holds anything but ASCII letters, digits, "+", "-", "." and "_".
int download_file_name(const char *url, const char **name, char *err, size_t errlen);
// The file name a package takes in the downloads directory: "<key>-<name>",
// the key being the first DOWNLOAD_KEY_BYTES of digest in lower-case hex.
// Returns what snprintf returns.
int download_keyed_name(const uint8_t digest[32], const char *name, char *out, size_t size);
// The request options for the package: the settings' pins, proxy, time-out
// and client certificate (only when client_cert is set), the range from
// range_start and the rest of the package (size - range_start) as the body
// limit. The texts point into cfg.
void download_http_opts(const updater_config *cfg, uint64_t range_start, uint64_t size,
                        http_opts *opts);
// Hashes f from its position to its end into *ctx, DOWNLOAD_READ_PIECE bytes
// at a time, adding the bytes read to *count; stops once *count is above
// limit. 0 at the end of the file, 1 when the limit was passed, -1 when a read
// fails.
int download_hash_stream(FILE *f, sha256_ctx *ctx, uint64_t limit, uint64_t *count);
// 1 when the file at path holds exactly size bytes with the SHA-256 digest,
// else 0 (also when it is missing or cannot be read).
int download_file_matches(const char *path, uint64_t size, const uint8_t digest[32]);
// Starts sink for a package of size bytes: a new digest, the callback, and the
// ".part" file at part opened for writing after the bytes it already holds,
// which are hashed and counted first. A part file longer than size, or one
// that cannot be read to its end, is started anew (empty). 0, or -1 when the
// file cannot be opened (sink->file null; the digest is held either way and
// released by download_sink_close).
int download_part_open(const char *part, uint64_t size, download_bytes_fn bytes_fn, void *user,
                       download_sink *sink);
// Closes the part file and starts it anew, empty, with a new digest and 0
// bytes done: the full download after a failed resume. 0, or -1 when it cannot
// be opened.
int download_part_restart(const char *part, download_sink *sink);
// 1 when the stop flag of sink is set, else 0 (also without a flag).
int download_stopped(const download_sink *sink);
// Closes the file and releases the digest that sink holds; safe when either
// is gone. 0, or -1 when closing the file failed.
int download_sink_close(download_sink *sink);
// The checks after the body: closes the part file, then requires bytes_done to
// equal bytes_expected and the digest to equal expected (have_expected 0: no
// valid signed digest, which never passes). 0 when the part file may take the
// package's name; -1 with the sentence in err, and the part file at part
// deleted when its size or hash is wrong.
int download_part_finish(download_sink *sink, const uint8_t expected[32], int have_expected,
                         const char *part, char *err, size_t errlen);
