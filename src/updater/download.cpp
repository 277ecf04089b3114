// Package download: the name rules, the request options, the body sink and
// the work on the ".part" file before and after the request.
#include "download.h"
#include "signed.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "codec.h"
#include "fs.h"
#include "update.h"

// Windows opens a device, not a file, for these names, also with any
// extension ("nul.tar.zst"), in any letter case.
static const char *const g_device_names[] = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM0", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
    "COM7", "COM8", "COM9", "LPT0", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7",
    "LPT8", "LPT9",
};

// ASCII letter case folded to upper case; other bytes unchanged.
static char ascii_upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// 1 when the n bytes at a equal the text b (NUL-terminated, n long) in any
// ASCII letter case.
static int equal_nocase(const char *a, size_t n, const char *b)
{
    if (strlen(b) != n)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return 0;
    return 1;
}

static int name_char_allowed(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '-' || c == '.' || c == '_';
}

// 1 when the name (of allowed characters only) would not give a plain file of
// its own in the downloads directory.
static int name_is_unusable(const char *name)
{
    size_t n = strlen(name);
    // ".", ".." and every name ending in a dot: the first two are directories
    // ("dir/.." leaves the downloads directory), and Windows drops trailing
    // dots, so "a." would be the file "a" of another package.
    if (name[n - 1] == '.')
        return 1;
    size_t stem = strcspn(name, ".");
    for (const char *dev : g_device_names)
        if (equal_nocase(name, stem, dev))
            return 1;
    // A package named like the download in progress of another one would be
    // resumed, and overwritten, as that one's partial bytes.
    static const char suffix[] = ".part";
    size_t sl = sizeof suffix - 1;
    return n >= sl && equal_nocase(name + n - sl, sl, suffix);
}

int download_file_name(const char *url, const char **name, char *err, size_t errlen)
{
    const char *slash = url ? strrchr(url, '/') : nullptr;
    const char *n = slash ? slash + 1 : url;
    if (!n || !*n || strchr(n, '?')) {
        update_error(err, errlen, "the artifact url has no usable file name");
        return -1;
    }
    for (const char *p = n; *p; p++)
        if (!name_char_allowed(*p)) {
            update_error(err, errlen, "the artifact file name contains unexpected characters");
            return -1;
        }
    if (name_is_unusable(n)) {
        update_error(err, errlen, "the artifact url has no usable file name");
        return -1;
    }
    *name = n;
    return 0;
}

int download_keyed_name(const uint8_t digest[32], const char *name, char *out, size_t size)
{
    char key[2 * DOWNLOAD_KEY_BYTES + 1];
    hex_encode(digest, DOWNLOAD_KEY_BYTES, key);
    return snprintf(out, size, "%s-%s", key, name);
}

void download_http_opts(const updater_config *cfg, uint64_t range_start, uint64_t size,
                        http_opts *opts)
{
    // The same connection rules as the signed documents; only the range and
    // the bytes still missing differ.
    signed_http_opts(cfg, size > range_start ? size - range_start : 0, opts);
    opts->range_start = range_start;
}

int download_write_chunk(const void *data, size_t len, void *user)
{
    download_sink *s = (download_sink *)user;
    if (download_stopped(s))
        return 1;
    // Written as a subtraction so that no sum of two sizes can wrap.
    if (s->bytes_done > s->bytes_expected || len > s->bytes_expected - s->bytes_done)
        return 1;
    errno = 0;
    if (fwrite(data, 1, len, s->file) != len) {
        // Kept for the message: a full disk is the disk's fault, not the package's.
        s->write_errno = errno ? errno : EIO;
        return 1;
    }
    sha256_update(&s->digest, data, len);
    s->bytes_done += len;
    if (s->bytes_fn)
        s->bytes_fn(s->bytes_user, s->bytes_done, s->bytes_expected);
    return 0;
}

int download_hash_stream(FILE *f, sha256_ctx *ctx, uint64_t limit, uint64_t *count)
{
    static_assert(DOWNLOAD_READ_PIECE <= 65536, "the read buffer lives on the stack");
    unsigned char buf[DOWNLOAD_READ_PIECE];
    for (;;) {
        size_t got = fread(buf, 1, sizeof buf, f);
        sha256_update(ctx, buf, got);
        *count += got;
        if (*count > limit)
            return 1;
        if (got < sizeof buf)
            return ferror(f) ? -1 : 0;
    }
}

int download_file_matches(const char *path, uint64_t size, const uint8_t digest[32])
{
    FILE *f = fopen(path, "rb" FS_NOINHERIT);
    if (!f)
        return 0;
    sha256_ctx ctx = nullptr;
    sha256_init(&ctx);
    uint64_t count = 0;
    int rc = download_hash_stream(f, &ctx, size, &count);
    fclose(f);
    uint8_t got[32];
    sha256_final(&ctx, got);
    return rc == 0 && count == size && mem_equal(got, digest, 32);
}

int download_part_open(const char *part, uint64_t size, download_bytes_fn bytes_fn, void *user,
                       download_sink *sink)
{
    memset(sink, 0, sizeof *sink);
    sha256_init(&sink->digest);
    sink->bytes_expected = size;
    sink->bytes_fn = bytes_fn;
    sink->bytes_user = user;
    // One handle for reading and writing: the new bytes go exactly after the
    // ones that were hashed, so the digest always covers the file as it is.
    sink->file = fopen(part, "r+b" FS_NOINHERIT);
    if (!sink->file)
        return download_part_restart(part, sink);
    uint64_t kept = 0;
    if (download_hash_stream(sink->file, &sink->digest, size, &kept) != 0)
        return download_part_restart(part, sink);
    // A stream that was read switches to writing only through a seek; seeking
    // by 0 from here keeps the position right after the hashed bytes.
    if (fseek(sink->file, 0, SEEK_CUR) != 0)
        return download_part_restart(part, sink);
    sink->bytes_done = kept;
    return 0;
}

int download_stopped(const download_sink *sink) { return sink->stop && sink->stop->load() != 0; }

int download_part_restart(const char *part, download_sink *sink)
{
    download_sink_close(sink);
    sha256_init(&sink->digest);
    sink->bytes_done = 0;
    sink->write_errno = 0;
    sink->file = fopen(part, "wb" FS_NOINHERIT);
    return sink->file ? 0 : -1;
}

int download_sink_close(download_sink *sink)
{
    int rc = 0;
    if (sink->file && fclose(sink->file) != 0)
        rc = -1;
    sink->file = nullptr;
    if (sink->digest) {
        uint8_t unused[32];
        sha256_final(&sink->digest, unused);
    }
    return rc;
}

int download_part_finish(download_sink *sink, const uint8_t expected[32], int have_expected,
                         const char *part, char *err, size_t errlen)
{
    int closed = sink->file && fclose(sink->file) == 0;
    sink->file = nullptr;
    uint8_t got[32] = {0};
    int hashed = sink->digest != nullptr;
    if (hashed)
        sha256_final(&sink->digest, got);
    if (!closed) {
        update_error(err, errlen, "cannot write %s", part);
        return -1;
    }
    if (sink->bytes_done != sink->bytes_expected) {
        update_error(err, errlen, "the download has %llu bytes, the manifest says %llu",
                     (unsigned long long)sink->bytes_done,
                     (unsigned long long)sink->bytes_expected);
        remove(part);
        return -1;
    }
    if (!hashed || !have_expected || !mem_equal(got, expected, 32)) {
        update_error(err, errlen,
                     "the SHA-256 of the download does not match the signed manifest: the file "
                     "was corrupted or replaced");
        remove(part);
        return -1;
    }
    return 0;
}
