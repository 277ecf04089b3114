// The package unpacker: the zstd stream is decoded portion by portion and fed
// through a ustar state machine that checks every header before anything is
// created. Files reach the disk only through the caller's unpack_io, so this
// unit stays free of the platform.
#include "unpack.h"

#include <assert.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// For the decoder's memory estimate from a frame header.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include "fs.h"
#include "orv_attr.h"
#include "sha256.h"
#include "update.h"

#define TAR_BLOCK 512u
// A path from the header: prefix (155), "/", name (100) and a NUL.
#define TAR_PATH_BUF 257
// The destination, "/", an entry's path and a NUL.
#define UNPACK_FULL_BUF (UNPACK_DEST_MAX + 1 + UNPACK_MAX_PATH + 1)
// The entry array's first capacity; it doubles from there.
#define UNPACK_FIRST_CAPACITY 64u

// Where the tar stream stands.
enum tar_state {
    TAR_HEADER,   // collecting a 512-byte header block
    TAR_DATA,     // writing the current file's data
    TAR_PADDING,  // skipping the rest of the current file's last block
    TAR_END       // after the second zero block; final
};

// The working state of one unpack run; lives on unpack_tar_zstd_io's stack.
struct unpack_run {
    const unpack_io *io;             // the file operations
    const char *dest;                // destination directory, < UNPACK_DEST_MAX characters
    uint64_t limit;                  // the caller's bound on the total of file sizes
    uint64_t file_total;             // sizes of the files so far; never above limit
    unsigned char header[TAR_BLOCK]; // the header block being collected
    size_t header_fill;              // its bytes so far
    tar_state state;                 // where the stream stands
    uint64_t data_left;              // TAR_DATA: file bytes still to come
    uint64_t pad_left;               // TAR_PADDING: padding bytes still to skip
    intptr_t file;                   // the open output file, valid while file_open is 1
    int file_open;                   // 1 while an output file is open
    sha256_ctx digest;               // the open file's digest; null otherwise
    pkg_entry current;               // the entry of the open file
    unsigned zero_blocks;            // zero blocks seen
    pkg_entry *entries;              // recorded entries, in archive order; owned
    size_t count;                    // recorded entries
    size_t capacity;                 // room in entries
    uint64_t decompressed;           // bytes the decoder has produced
    char *err;                       // the caller's message buffer (may be null)
    size_t errlen;                   // its size
    int disk_full;                   // 1 when the failure was a full disk
};


// Writes the run's failure sentence (when the caller gave a buffer) and
// returns -1, so failures read "return unpack_fail(...)".
static int unpack_fail(unpack_run *r, const char *fmt, ...) ORV_PRINTF(2, 3);
static int unpack_fail(unpack_run *r, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    update_verror(r->err, r->errlen, fmt, ap);
    va_end(ap);
    return -1;
}

// The failure of an output file the disk had no room for: said as such, so
// that nobody blames the package.
static int unpack_fail_full(unpack_run *r)
{
    r->disk_full = 1;
    return unpack_fail(r, "cannot write %s: the disk is full", r->current.path);
}

// Reads a header's octal field of len bytes: leading blanks, at least one
// digit 0 to 7, then only NULs and blanks. 0 with *out set, else -1 (blanks
// only, 8 or 9, any other byte, and the base-256 form of large numbers).
// Fields are at most 12 bytes, so the value cannot overflow.
static int tar_octal(const unsigned char *field, size_t len, uint64_t *out)
{
    size_t i = 0;
    while (i < len && field[i] == ' ')
        i++;
    size_t first_digit = i;
    uint64_t v = 0;
    while (i < len && field[i] >= '0' && field[i] <= '7')
        v = v * 8 + (uint64_t)(field[i++] - '0');
    if (i == first_digit)
        return -1;
    for (; i < len; i++)
        if (field[i] != '\0' && field[i] != ' ')
            return -1;
    *out = v;
    return 0;
}

// The header checksum: all 512 bytes as unsigned values, with the checksum
// field itself counted as eight blanks.
static uint64_t tar_sum(const unsigned char *h)
{
    uint64_t sum = 8 * ' ';
    for (size_t i = 0; i < TAR_BLOCK; i++)
        if (i < 148 || i >= 156)
            sum += h[i];
    return sum;
}

// The entry's path: prefix, "/" and name when the prefix is not empty, else
// the name; each field ends at its first NUL or fills its whole width.
static void tar_path(const unsigned char *h, char out[TAR_PATH_BUF])
{
    size_t prefix_len = strnlen((const char *)h + 345, 155);
    size_t name_len = strnlen((const char *)h, 100);
    size_t n = 0;
    if (prefix_len) {
        memcpy(out, h + 345, prefix_len);
        n = prefix_len;
        out[n++] = '/';
    }
    memcpy(out + n, h, name_len);
    out[n + name_len] = '\0';
}

// 1 when c may stand in an entry's path: printable ASCII other than the
// characters Windows refuses in names (\ " * : < > ? |). Refusing ":" keeps
// out drive letters and alternate data streams, refusing "\" a second
// separator that the "/" checks would not see.
static int path_char_ok(unsigned char c)
{
    return c >= 32 && c <= 126 && !strchr("\\\"*:<>?|", c);
}

// 1 when the n bytes at a equal the upper-case ASCII text b in any case.
static int ascii_equal_nocase(const char *a, size_t n, const char *b)
{
    if (strlen(b) != n)
        return 0;
    for (size_t i = 0; i < n; i++) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (c != b[i])
            return 0;
    }
    return 1;
}

// 1 when Windows opens a device for the component (n bytes at s) instead of
// a file: CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$ and CONOUT$, in any
// case, also with an extension or blanks before it ("nul.txt", "CON .x").
// Writing a package's file to NUL would lose it while its digest still
// matched; COM1 could hang the run.
static int path_is_device(const char *s, size_t n)
{
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t base = 0;
    while (base < n && s[base] != '.')
        base++;
    while (base > 0 && s[base - 1] == ' ')
        base--;
    for (const char *dev : kDevices)
        if (ascii_equal_nocase(s, base, dev))
            return 1;
    if (base == 4 && s[3] >= '0' && s[3] <= '9')
        return ascii_equal_nocase(s, 3, "COM") || ascii_equal_nocase(s, 3, "LPT");
    return 0;
}

// 1 when path may be created below the destination: 1 to UNPACK_MAX_PATH
// characters, relative, at most UNPACK_MAX_DEPTH components separated by
// single "/", none of them ".", ".." or a device, only allowed characters,
// and no component ending in "." or a blank: Windows drops those, so the
// file would get another name than the one recorded and checked.
static int unpack_path_safe(const char *path)
{
    size_t len = strlen(path);
    if (len < 1 || len > UNPACK_MAX_PATH || path[0] == '/')
        return 0;
    unsigned parts = 0;
    const char *p = path;
    for (;;) {
        size_t n = strcspn(p, "/");
        if (n == 0 || ++parts > UNPACK_MAX_DEPTH)
            return 0;
        if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.'))
            return 0;
        for (size_t i = 0; i < n; i++)
            if (!path_char_ok((unsigned char)p[i]))
                return 0;
        if (p[n - 1] == '.' || p[n - 1] == ' ' || path_is_device(p, n))
            return 0;
        if (p[n] == '\0')
            return 1;
        p += n + 1;
    }
}

// "%s/%s" of the destination and an entry's path into out; both were checked
// for length, so it always fits.
static void unpack_full_path(const unpack_run *r, const char *path, char out[UNPACK_FULL_BUF])
{
    int n = snprintf(out, UNPACK_FULL_BUF, "%s/%s", r->dest, path);
    assert(n > 0 && (size_t)n < UNPACK_FULL_BUF);
    (void)n;
}

// Closes the finished output file, records its entry with the digest, and
// moves on to the padding or the next header.
static int tar_finish_file(unpack_run *r)
{
    r->file_open = 0;
    errno = 0;
    int closed = r->io->close_file(r->io->ctx, r->file);
    int e = errno;
    sha256_final(&r->digest, r->current.sha256);
    if (closed != 0)
        return e == ENOSPC ? unpack_fail_full(r)
                           : unpack_fail(r, "cannot write %s", r->current.path);
    r->entries[r->count++] = r->current;
    uint64_t tail = r->current.size % TAR_BLOCK;
    r->pad_left = tail ? TAR_BLOCK - tail : 0;
    r->state = r->pad_left ? TAR_PADDING : TAR_HEADER;
    return 0;
}

// Writes n bytes of the current file and adds them to its digest.
static int tar_write(unpack_run *r, const unsigned char *p, size_t n)
{
    errno = 0;
    int64_t written = r->io->write_file(r->io->ctx, r->file, p, n);
    // A write that took fewer bytes without failing stopped at the end of the
    // disk's room: Windows says no more than that when a disk fills up.
    if (written >= 0 && (uint64_t)written < n)
        return unpack_fail_full(r);
    if (written < 0 || (uint64_t)written != n)
        return errno == ENOSPC ? unpack_fail_full(r)
                               : unpack_fail(r, "cannot write %s", r->current.path);
    sha256_update(&r->digest, p, n);
    r->data_left -= n;
    return r->data_left == 0 ? tar_finish_file(r) : 0;
}

// Creates the directory of r->current and records it.
static int tar_make_dir(unpack_run *r)
{
    char full[UNPACK_FULL_BUF];
    unpack_full_path(r, r->current.path, full);
    errno = 0;
    if (r->io->make_dirs(r->io->ctx, full) != 0)
        return errno == ENOSPC ? unpack_fail_full(r)
                               : unpack_fail(r, "cannot create the directory %s", r->current.path);
    r->entries[r->count++] = r->current;
    return 0;
}

// Creates the file of r->current (and its parent directories) and starts its
// digest; an empty file is finished at once.
static int tar_open_file(unpack_run *r)
{
    char full[UNPACK_FULL_BUF];
    unpack_full_path(r, r->current.path, full);
    // The parent is the destination itself for a path without "/".
    char *slash = strrchr(full + strlen(r->dest), '/');
    *slash = '\0';
    errno = 0;
    int made = r->io->make_dirs(r->io->ctx, full);
    *slash = '/';
    if (made != 0)
        return errno == ENOSPC
                   ? unpack_fail_full(r)
                   : unpack_fail(r, "cannot create the directory of %s", r->current.path);
    int e = r->io->create_file(r->io->ctx, full, &r->file);
    if (e == ENOSPC)
        return unpack_fail_full(r);
    if (e != 0)
        return unpack_fail(r, "cannot create %s (%s)", r->current.path, strerror(e));
    r->file_open = 1;
    sha256_init(&r->digest);
    r->file_total += r->current.size;
    r->data_left = r->current.size;
    if (r->data_left == 0)
        return tar_finish_file(r);
    r->state = TAR_DATA;
    return 0;
}

// Handles one complete header block: checks it in full, then creates its
// directory or file.
static int tar_header(unpack_run *r)
{
    const unsigned char *h = r->header;
    size_t i = 0;
    while (i < TAR_BLOCK && h[i] == 0)
        i++;
    if (i == TAR_BLOCK) {
        if (++r->zero_blocks == 2)
            r->state = TAR_END;
        return 0;
    }
    if (r->zero_blocks)
        return unpack_fail(r, "data after a zero block in the archive");

    uint64_t chksum;
    if (tar_octal(h + 148, 8, &chksum) != 0 || chksum != tar_sum(h))
        return unpack_fail(r, "corrupt tar header (checksum)");
    if (memcmp(h + 257, "ustar", 5) != 0)
        return unpack_fail(r, "unsupported tar format (only ustar)");

    char path[TAR_PATH_BUF];
    tar_path(h, path);
    unsigned char type = h[156];
    int is_dir = type == '5';
    if (!is_dir && type != '0' && type != '\0')
        return unpack_fail(r,
                           "the archive contains an entry of type '%c' (only files and "
                           "directories are allowed)",
                           type >= 32 && type <= 126 ? (char)type : '?');
    size_t len = strlen(path);
    if (is_dir && len > 0 && path[len - 1] == '/')
        path[--len] = '\0';
    if (!unpack_path_safe(path))
        return unpack_fail(r, "unsafe path in the archive");

    uint64_t size, mode;
    if (tar_octal(h + 124, 12, &size) != 0 || tar_octal(h + 100, 8, &mode) != 0)
        return unpack_fail(r, "corrupt tar header (numbers)");
    if (is_dir) {
        size = 0;
    } else {
        if (size > UNPACK_MAX_FILE)
            return unpack_fail(r, "a file in the archive is too large");
        // file_total never exceeds limit, so the difference cannot wrap.
        if (size > r->limit - r->file_total)
            return unpack_fail(r, "the archive contains more data than allowed");
    }
    if (r->count >= UNPACK_MAX_ENTRIES)
        return unpack_fail(r, "too many entries in the archive");
    for (size_t k = 0; k < r->count; k++)
        if (strcmp(r->entries[k].path, path) == 0)
            return unpack_fail(r, "duplicate entry in the archive");
    if (r->count == r->capacity) {
        size_t cap = r->capacity ? r->capacity * 2 : UNPACK_FIRST_CAPACITY;
        pkg_entry *grown = (pkg_entry *)realloc(r->entries, cap * sizeof *grown);
        if (!grown)
            return unpack_fail(r, "out of memory");
        r->entries = grown;
        r->capacity = cap;
    }

    memset(&r->current, 0, sizeof r->current);
    memcpy(r->current.path, path, len + 1);
    r->current.is_dir = is_dir;
    r->current.mode = is_dir || (mode & 0111) ? PKG_MODE_EXEC : PKG_MODE_PLAIN;
    r->current.size = size;
    return is_dir ? tar_make_dir(r) : tar_open_file(r);
}

// Passes n decompressed bytes through the tar state machine.
static int tar_feed(unpack_run *r, const unsigned char *p, size_t n)
{
    while (n > 0) {
        size_t k = 0;
        switch (r->state) {
        case TAR_END:
            return unpack_fail(r, "unexpected data after the end of the archive");
        case TAR_PADDING:
            k = r->pad_left < n ? (size_t)r->pad_left : n;
            r->pad_left -= k;
            if (r->pad_left == 0)
                r->state = TAR_HEADER;
            break;
        case TAR_DATA:
            k = r->data_left < n ? (size_t)r->data_left : n;
            if (tar_write(r, p, k) != 0)
                return -1;
            break;
        case TAR_HEADER:
            k = TAR_BLOCK - r->header_fill;
            if (k > n)
                k = n;
            memcpy(r->header + r->header_fill, p, k);
            r->header_fill += k;
            if (r->header_fill == TAR_BLOCK) {
                r->header_fill = 0;
                if (tar_header(r) != 0)
                    return -1;
            }
            break;
        }
        p += k;
        n -= k;
    }
    return 0;
}

// Reads the archive portion by portion through the decoder into the tar
// state machine, and judges how the stream ended.
static int unpack_pump(unpack_run *r, FILE *f, const char *archive, ZSTD_DCtx *dctx,
                       void *in_buf, size_t in_size, void *out_buf, size_t out_size)
{
    uint64_t bound = r->limit > UINT64_MAX - UNPACK_TAR_SLACK ? UINT64_MAX
                                                              : r->limit + UNPACK_TAR_SLACK;
    int frame_done = 0;  // the decoder has reported the end of the frame
    size_t got;
    while ((got = fread(in_buf, 1, in_size, f)) > 0) {
        // A frame that ended exactly at the end of the previous portion must
        // not let a second frame (or a skippable one) through unseen.
        if (frame_done)
            return unpack_fail(r, "unexpected data after the compressed archive");
        ZSTD_inBuffer in = {in_buf, got, 0};
        int out_full;
        do {
            ZSTD_outBuffer out = {out_buf, out_size, 0};
            size_t ret = ZSTD_decompressStream(dctx, &out, &in);
            if (ZSTD_isError(ret))
                return unpack_fail(r, "the archive is not valid zstd data: %s",
                                   ZSTD_getErrorName(ret));
            r->decompressed += out.pos;
            if (r->decompressed > bound)
                return unpack_fail(r, "the archive expands to more data than allowed");
            if (tar_feed(r, (const unsigned char *)out_buf, out.pos) != 0)
                return -1;
            if (ret == 0) {
                if (in.pos < in.size)
                    return unpack_fail(r, "unexpected data after the compressed archive");
                frame_done = 1;
                break;
            }
            // A full output buffer may leave decoded bytes inside the decoder
            // although this portion is used up: ask again until it has room
            // to spare, or the frame's end would look missing.
            out_full = out.pos == out.size;
        } while (in.pos < in.size || out_full);
    }
    // A read error is no end of the archive: what followed was never seen.
    if (ferror(f))
        return unpack_fail(r, "cannot read %s", archive);
    if (!frame_done)
        return unpack_fail(r, "the compressed archive is truncated");
    if (r->state != TAR_END)
        return unpack_fail(r, "the tar archive is truncated or lacks its end marker");
    return 0;
}

// Opens the archive, sets up the decoder and its two buffers of the sizes
// zstd recommends, runs the stream and releases them again.
static int unpack_decompress(unpack_run *r, const char *archive)
{
    FILE *f = fopen(archive, "rb" FS_NOINHERIT);
    if (!f)
        return unpack_fail(r, "cannot read %s", archive);
    ZSTD_DCtx *dctx = ZSTD_createDCtx();
    size_t in_size = ZSTD_DStreamInSize();
    size_t out_size = ZSTD_DStreamOutSize();
    void *in_buf = malloc(in_size);
    void *out_buf = malloc(out_size);
    int rc;
    if (!dctx || !in_buf || !out_buf)
        rc = unpack_fail(r, "out of memory");
    else
        rc = unpack_pump(r, f, archive, dctx, in_buf, in_size, out_buf, out_size);
    free(out_buf);
    free(in_buf);
    ZSTD_freeDCtx(dctx);
    fclose(f);
    return rc;
}

uint64_t unpack_memory(const char *archive)
{
    unsigned char head[ZSTD_FRAMEHEADERSIZE_MAX];
    FILE *f = archive ? fopen(archive, "rb" FS_NOINHERIT) : nullptr;
    if (!f)
        return UNPACK_MEMORY_UNKNOWN;
    size_t got = fread(head, 1, sizeof head, f);
    fclose(f);
    // A window above the decoder's limit is refused by the decoder, which
    // then holds none of it.
    ZSTD_frameHeader frame;
    if (ZSTD_getFrameHeader(&frame, head, got) != 0 || frame.frameType != ZSTD_frame ||
        frame.windowSize > (1ull << ZSTD_WINDOWLOG_LIMIT_DEFAULT))
        return UNPACK_MEMORY_UNKNOWN;
    return (uint64_t)ZSTD_estimateDStreamSize((size_t)frame.windowSize) + ZSTD_DStreamInSize() +
           ZSTD_DStreamOutSize();
}

int unpack_tar_zstd_io(const unpack_io *io, const char *archive, const char *dest, uint64_t limit,
                       pkg_entry **entries, size_t *count, char *err, size_t errlen)
{
    assert(io && entries && count);
    *entries = nullptr;
    *count = 0;
    if (err && errlen)
        err[0] = '\0';
    if (!archive)
        archive = "";
    if (!dest)
        dest = "";

    unpack_run r;
    memset(&r, 0, sizeof r);
    r.io = io;
    r.dest = dest;
    r.limit = limit;
    r.state = TAR_HEADER;
    r.err = err;
    r.errlen = errlen;

    int rc;
    if (strlen(dest) >= UNPACK_DEST_MAX || io->make_dirs(io->ctx, dest) != 0)
        rc = unpack_fail(&r, "cannot create %s", dest);
    else
        rc = unpack_decompress(&r, archive);

    if (r.file_open)
        io->close_file(io->ctx, r.file);
    if (r.digest) {
        uint8_t unused[32];
        sha256_final(&r.digest, unused);
    }
    if (rc == 0) {
        *entries = r.entries;
        *count = r.count;
    } else {
        free(r.entries);
    }
    return rc != 0 && r.disk_full ? UNPACK_DISK_FULL : rc;
}
