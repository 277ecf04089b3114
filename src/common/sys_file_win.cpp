// The platform layer's files and directories on the 8-bit Win32 functions.
// Every Windows call goes through sys_file_calls (see sys_file_win.h); every
// failure is turned into a result code with sys_map_error right after the call,
// apart from the few rules named at their routine.
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sys_file.h"
#include "sys_file_win.h"

sys_file_api sys_file_calls = {
    CreateFileA,      CloseHandle,      ReadFile,         WriteFile,
    FlushFileBuffers, DeviceIoControl,  SetFilePointerEx, SetEndOfFile,
    GetFileSizeEx,    GetFileAttributesA, DeleteFileA,    RemoveDirectoryA,
    MoveFileExA,      LockFileEx,       UnlockFileEx,     FindFirstFileA,
    FindNextFileA,    FindClose,        CreateDirectoryA, VirtualAlloc,
    VirtualFree,
};

static sys_file_api &W = sys_file_calls;

// The state of one directory listing, allocated zeroed by sys_dir_open.
struct sys_dir {
    HANDLE find_handle;         // the open directory search
    WIN32_FIND_DATAA find_data; // the entry loaded last: attributes and name
    uint32_t pending;           // 1 while the loaded entry has not been looked at
};

// The mapped code of the Windows call that has just failed.
static int last_error_code(void) { return sys_map_error(GetLastError()); }

// An OVERLAPPED that names offset and nothing else: on a synchronous handle it
// makes ReadFile and WriteFile positional.
static OVERLAPPED overlapped_at(uint64_t offset)
{
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.Offset = (DWORD)offset;
    ov.OffsetHigh = (DWORD)(offset >> 32);
    return ov;
}

int sys_handle_valid(sys_handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// The one CreateFileA behind every open: writes *out only for a valid handle.
static int open_file(const char *path, DWORD access, DWORD share, DWORD disposition,
                     sys_handle *out)
{
    if (!path || !out)
        return SYS_EINVAL;
    HANDLE h = W.CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return last_error_code();
    *out = h;
    return SYS_OK;
}

int sys_file_open_read(const char *path, sys_handle *out)
{
    return open_file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, out);
}

int sys_file_create(const char *path, int mode, sys_handle *out)
{
    return open_file(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS, out);
}

int sys_file_open_rw(const char *path, int mode, sys_handle *out)
{
    return open_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     OPEN_ALWAYS, out);
}

int sys_file_open_flags(const char *path, int flags, int mode, sys_handle *out)
{
    DWORD access = 0;
    if (flags & SYS_O_READ)
        access |= GENERIC_READ;
    if (flags & SYS_O_WRITE)
        access |= GENERIC_WRITE;
    // The first rule that holds decides; SYS_O_EXCL alone changes nothing.
    DWORD disposition;
    if ((flags & SYS_O_CREAT) && (flags & SYS_O_EXCL))
        disposition = CREATE_NEW;
    else if ((flags & SYS_O_CREAT) && (flags & SYS_O_TRUNC))
        disposition = CREATE_ALWAYS;
    else if (flags & SYS_O_CREAT)
        disposition = OPEN_ALWAYS;
    else if (flags & SYS_O_TRUNC)
        disposition = TRUNCATE_EXISTING;
    else
        disposition = OPEN_EXISTING;
    return open_file(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     disposition, out);
}

int sys_file_close(sys_handle h)
{
    if (!sys_handle_valid(h))
        return SYS_OK;
    return W.CloseHandle(h) ? SYS_OK : last_error_code();
}

// One attempt of the aligned retry: reads the sector-aligned span around
// [offset, offset + len) into a page-aligned bounce buffer and copies the
// asked-for part to dst. Returns 1 when the handle refused this alignment
// too (ERROR_INVALID_PARAMETER), else a result code. len is at most
// SYS_ALIGNED_READ_MAX, so the span cannot overflow.
static int read_aligned(HANDLE h, void *dst, size_t len, uint64_t offset, uint64_t align,
                        uint64_t *count)
{
    assert(len <= SYS_ALIGNED_READ_MAX && (align & (align - 1)) == 0);
    uint64_t start = offset & ~(align - 1);
    uint64_t skip = offset - start;
    uint64_t span = (skip + len + align - 1) & ~(align - 1);
    void *bounce = W.VirtualAlloc(nullptr, (SIZE_T)span, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (!bounce)
        return SYS_ENOMEM;
    OVERLAPPED ov = overlapped_at(start);
    DWORD got = 0;
    int rc = SYS_OK;
    if (!W.ReadFile(h, bounce, (DWORD)span, &got, &ov)) {
        DWORD err = GetLastError();
        if (err == ERROR_HANDLE_EOF)
            got = 0;
        else
            rc = err == ERROR_INVALID_PARAMETER ? 1 : sys_map_error(err);
    }
    if (rc == SYS_OK) {
        uint64_t delivered = got > skip ? got - skip : 0;
        if (delivered > len)
            delivered = len;
        memcpy(dst, (char *)bounce + skip, (size_t)delivered);
        if (count)
            *count = delivered;
    }
    W.VirtualFree(bounce, 0, MEM_RELEASE);
    return rc;
}

int sys_file_read_at(sys_handle h, void *dst, size_t len, uint64_t offset, uint64_t *count)
{
    // ReadFile takes a 32-bit count: a larger length would be cut short.
    if (len > SYS_IO_MAX)
        return SYS_EINVAL;
    OVERLAPPED ov = overlapped_at(offset);
    DWORD got = 0;
    if (W.ReadFile(h, dst, (DWORD)len, &got, &ov)) {
        if (count)
            *count = got;
        return SYS_OK;
    }
    DWORD err = GetLastError();
    if (err == ERROR_HANDLE_EOF) {
        if (count)
            *count = 0;
        return SYS_OK;
    }
    if (err != ERROR_INVALID_PARAMETER)
        return sys_map_error(err);
    // A raw device or an unbuffered file: only sector-aligned transfers pass.
    if (len > SYS_ALIGNED_READ_MAX)
        return SYS_EINVAL;
    static const uint64_t alignments[] = {4096, 512};
    for (uint64_t align : alignments) {
        int rc = read_aligned(h, dst, len, offset, align, count);
        if (rc != 1)
            return rc;
    }
    return SYS_EINVAL;
}

int sys_file_write_at(sys_handle h, const void *src, size_t len, uint64_t offset,
                      uint64_t *count)
{
    // WriteFile takes a 32-bit count: a larger length would be cut short.
    if (len > SYS_IO_MAX)
        return SYS_EINVAL;
    OVERLAPPED ov = overlapped_at(offset);
    DWORD done = 0;
    if (!W.WriteFile(h, src, (DWORD)len, &done, &ov))
        return last_error_code();
    if (count)
        *count = done;
    return SYS_OK;
}

int sys_file_flush(sys_handle h) { return W.FlushFileBuffers(h) ? SYS_OK : last_error_code(); }

int sys_file_set_sparse(sys_handle h)
{
    DWORD returned = 0;
    return W.DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) ? 1
                                                                                                : 0;
}

int sys_not_supported(...) { return SYS_ENOTSUP; }

int sys_file_truncate(sys_handle h, int64_t size)
{
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (!W.SetFilePointerEx(h, at, nullptr, FILE_BEGIN))
        return last_error_code();
    return W.SetEndOfFile(h) ? SYS_OK : last_error_code();
}

int sys_file_size(sys_handle h, uint64_t *out)
{
    if (!out)
        return SYS_EINVAL;
    LARGE_INTEGER size;
    if (W.GetFileSizeEx(h, &size)) {
        *out = (uint64_t)size.QuadPart;
        return SYS_OK;
    }
    // Disks and volumes have no file size; the driver knows their length.
    GET_LENGTH_INFORMATION info;
    DWORD returned = 0;
    if (!W.DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info,
                           &returned, nullptr))
        return last_error_code();
    *out = (uint64_t)info.Length.QuadPart;
    return SYS_OK;
}

int sys_exists(const char *path)
{
    return path && W.GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int sys_delete(const char *path)
{
    if (!path)
        return SYS_EINVAL;
    return W.DeleteFileA(path) ? SYS_OK : last_error_code();
}

int sys_rmdir(const char *path)
{
    if (!path)
        return SYS_EINVAL;
    return W.RemoveDirectoryA(path) ? SYS_OK : last_error_code();
}

int sys_rename_replace(const char *from, const char *to)
{
    if (!from || !to)
        return SYS_EINVAL;
    return W.MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? SYS_OK : last_error_code();
}

int sys_rename_write_through(const char *from, const char *to)
{
    if (!from || !to)
        return SYS_EINVAL;
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails with
    // ERROR_ALREADY_EXISTS, which maps to -5.
    return W.MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH) ? SYS_OK : last_error_code();
}

int sys_file_lock(sys_handle h, int exclusive, int wait)
{
    DWORD flags = 0;
    if (exclusive)
        flags |= LOCKFILE_EXCLUSIVE_LOCK;
    if (!wait)
        flags |= LOCKFILE_FAIL_IMMEDIATELY;
    OVERLAPPED ov = overlapped_at(0);
    if (W.LockFileEx(h, flags, 0, 1, 0, &ov))
        return SYS_OK;
    DWORD err = GetLastError();
    if (err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING)
        return SYS_EBUSY;
    return sys_map_error(err);
}

int sys_file_unlock(sys_handle h)
{
    OVERLAPPED ov = overlapped_at(0);
    return W.UnlockFileEx(h, 0, 1, 0, &ov) ? SYS_OK : last_error_code();
}

int sys_dir_open(const char *path, sys_dir **out)
{
    if (!out)
        return SYS_EINVAL;
    *out = nullptr;
    if (!path)
        return SYS_EINVAL;
    char pattern[SYS_PATH_BUF];
    int n = snprintf(pattern, sizeof pattern, "%s\\*", path);
    if (n < 0 || (size_t)n >= sizeof pattern)
        return SYS_EINVAL;
    sys_dir *d = (sys_dir *)calloc(1, sizeof *d);
    if (!d)
        return SYS_ENOMEM;
    d->find_handle = W.FindFirstFileA(pattern, &d->find_data);
    if (d->find_handle == INVALID_HANDLE_VALUE) {
        int rc = last_error_code();
        free(d);
        return rc;
    }
    d->pending = 1;
    *out = d;
    return SYS_OK;
}

int sys_dir_next(sys_dir *d, char *name, size_t size, int *is_dir)
{
    if (!d || (!name && size))
        return -1;
    if (!d->pending && !W.FindNextFileA(d->find_handle, &d->find_data))
        return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
    for (;;) {
        d->pending = 0;
        const char *entry = d->find_data.cFileName;
        size_t len = strnlen(entry, sizeof d->find_data.cFileName);
        int dots = strcmp(entry, ".") == 0 || strcmp(entry, "..") == 0;
        // A name without its NUL inside the record is not a name: pass it over too.
        if (!dots && len < size && len < sizeof d->find_data.cFileName) {
            memcpy(name, entry, len + 1);
            if (is_dir)
                *is_dir = (d->find_data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
            return 1;
        }
        if (!W.FindNextFileA(d->find_handle, &d->find_data))
            return GetLastError() == ERROR_NO_MORE_FILES ? 0 : -1;
    }
}

void sys_dir_close(sys_dir *d)
{
    if (!d)
        return;
    if (sys_handle_valid(d->find_handle))
        W.FindClose(d->find_handle);
    free(d);
}

int sys_mkdir(const char *path)
{
    if (!path)
        return SYS_EINVAL;
    if (W.CreateDirectoryA(path, nullptr))
        return SYS_OK;
    DWORD err = GetLastError();
    if (err != ERROR_ALREADY_EXISTS)
        return sys_map_error(err);
    // Something stands there: only a directory is what the caller asked for.
    DWORD attrs = W.GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
        return SYS_OK;
    return SYS_EEXIST;
}

int sys_mkdir_p(const char *path)
{
    if (!path)
        return SYS_EINVAL;
    // The working copy lives in a fixed buffer: a longer path is refused, never cut.
    size_t len = strlen(path);
    if (len >= SYS_PATH_BUF)
        return SYS_EINVAL;
    char copy[SYS_PATH_BUF];
    memcpy(copy, path, len + 1);
    // Make every level on the way; whatever happens there (the level exists,
    // it is the drive "C:", access is denied) shows in the last step anyway.
    // The walk starts at the second character, so a leading separator is
    // never cut; a lone "\" is the root of the current drive.
    for (size_t i = 1; i < len; i++) {
        char c = copy[i];
        if (c != '/' && c != '\\')
            continue;
        copy[i] = '\0';
        if (i >= 2 || copy[0] == '\\')
            W.CreateDirectoryA(copy, nullptr);
        copy[i] = c;
    }
    return sys_mkdir(copy);
}
