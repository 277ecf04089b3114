// The unpacker's file operations on Windows: directories through
// fs_create_dirs, files through the runtime's low-level calls, whose error
// number gives the reason in "cannot create %s (%s)".
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "fs.h"
#include "unpack.h"

static int unpack_win_make_dirs(void *ctx, const char *path)
{
    errno = 0;
    if (fs_create_dirs(path) == 0)
        return 0;
    // The runtime's number, or Windows' own error when the runtime has none
    // for it: either way the unpacker is told of a full disk.
    if (fs_disk_full(errno))
        errno = ENOSPC;
    return -1;
}

// Binary, new only: an existing file (also one whose name differs only in
// case) is never overwritten or appended to. Not inheritable: a program that
// another thread starts meanwhile must not hold the file it is written into,
// or the unpacked program could not be moved or started while that one runs.
static int unpack_win_create(void *ctx, const char *path, intptr_t *file)
{
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                   _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return errno ? errno : EIO;
    *file = fd;
    return 0;
}

// A write that stops part way on a disk that fills up fails under Wine with
// no error number worth the name: the room left on the destination's disk
// (ctx) tells.
static int64_t unpack_win_write(void *ctx, intptr_t file, const void *data, size_t len)
{
    int written = _write((int)file, data, (unsigned)len);
    if (written < 0 && (fs_disk_full(errno) || fs_disk_short((const char *)ctx, len)))
        errno = ENOSPC;
    return written;
}

static int unpack_win_close(void *ctx, intptr_t file)
{
    if (_close((int)file) == 0)
        return 0;
    if (fs_disk_full(errno) || fs_disk_short((const char *)ctx, 1))
        errno = ENOSPC;
    return -1;
}

static const unpack_io unpack_win_io = {nullptr, unpack_win_make_dirs, unpack_win_create,
                                        unpack_win_write, unpack_win_close};

int unpack_tar_zstd(const char *archive, const char *dest, uint64_t limit, pkg_entry **entries,
                    size_t *count, char *err, size_t errlen)
{
    unpack_io io = unpack_win_io;
    io.ctx = (void *)dest;
    return unpack_tar_zstd_io(&io, archive, dest, limit, entries, count, err, errlen);
}
