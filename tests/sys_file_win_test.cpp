// The platform layer's files and directories, on real files where Wine has
// the behaviour and through the call table where only a fake device or a
// failing call shows the path (aligned reads, a full disk, odd errors).
#include <gtest/gtest.h>

#include <windows.h>

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "seam_guard.h"
#include "sys_file.h"
#include "sys_file_win.h"
#include "test_util.h"

namespace {

// ---- fakes behind the call table ----------------------------------------------

// A device that only takes transfers aligned to its sector size, with an
// optional script of errors for its first calls (0: let the device decide).
struct fake_device {
    std::vector<char> disk;                           // the device's bytes
    DWORD sector = 512;                               // 0: refuses every transfer
    std::vector<DWORD> script;                        // forced error per call
    std::vector<std::pair<uint64_t, DWORD>> calls;    // (offset, length) of each read
    int allocs = 0, frees = 0;                        // bounce buffers taken and given back
    bool fail_alloc = false;                          // VirtualAlloc answers null
};
fake_device g_dev;

BOOL WINAPI dev_read(HANDLE, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED ov)
{
    uint64_t off = ov->Offset | ((uint64_t)ov->OffsetHigh << 32);
    size_t i = g_dev.calls.size();
    g_dev.calls.push_back({off, len});
    DWORD err = i < g_dev.script.size() ? g_dev.script[i] : 0;
    if (!err && (g_dev.sector == 0 || off % g_dev.sector || len % g_dev.sector ||
                 (uintptr_t)buf % g_dev.sector))
        err = ERROR_INVALID_PARAMETER;
    if (!err && off >= g_dev.disk.size())
        err = ERROR_HANDLE_EOF;
    if (err) {
        SetLastError(err);
        return FALSE;
    }
    size_t n = g_dev.disk.size() - (size_t)off;
    if (n > len)
        n = len;
    memcpy(buf, g_dev.disk.data() + off, n);
    *got = (DWORD)n;
    return TRUE;
}

LPVOID WINAPI dev_alloc(LPVOID at, SIZE_T size, DWORD type, DWORD protect)
{
    if (g_dev.fail_alloc) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    g_dev.allocs++;
    return VirtualAlloc(at, size, type, protect);
}

BOOL WINAPI dev_free(LPVOID at, SIZE_T size, DWORD type)
{
    g_dev.frees++;
    return VirtualFree(at, size, type);
}

// Counts the calls that reach the system's read and write.
int g_io_calls;
DWORD g_io_len;
BOOL WINAPI counting_read(HANDLE, LPVOID, DWORD len, LPDWORD got, LPOVERLAPPED)
{
    g_io_calls++;
    g_io_len = len;
    *got = 0;
    return TRUE;
}
BOOL WINAPI counting_write(HANDLE, LPCVOID, DWORD len, LPDWORD done, LPOVERLAPPED)
{
    g_io_calls++;
    g_io_len = len;
    *done = len;
    return TRUE;
}
BOOL WINAPI disk_full_write(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

std::vector<std::string> g_mkdirs;  // paths handed to CreateDirectoryA
BOOL WINAPI recording_mkdir(LPCSTR path, LPSECURITY_ATTRIBUTES)
{
    g_mkdirs.push_back(path);
    return TRUE;
}

int g_close_calls;
BOOL WINAPI counting_close(HANDLE) { return ++g_close_calls, TRUE; }

DWORD g_fail_error;  // the error the failing fakes below report
BOOL WINAPI failing_lock(HANDLE, DWORD, DWORD, DWORD, DWORD, LPOVERLAPPED)
{
    SetLastError(g_fail_error);
    return FALSE;
}
BOOL WINAPI failing_find_next(HANDLE, LPWIN32_FIND_DATAA)
{
    SetLastError(g_fail_error);
    return FALSE;
}
BOOL WINAPI failing_size(HANDLE, PLARGE_INTEGER)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
size_t g_pattern_len;
HANDLE WINAPI missing_find_first(LPCSTR pattern, LPWIN32_FIND_DATAA)
{
    g_pattern_len = strlen(pattern);
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI disk_length_ioctl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD out_size,
                              LPDWORD returned, LPOVERLAPPED)
{
    if (code != IOCTL_DISK_GET_LENGTH_INFO || out_size < sizeof(GET_LENGTH_INFORMATION)) {
        SetLastError(g_fail_error);
        return FALSE;
    }
    ((GET_LENGTH_INFORMATION *)out)->Length.QuadPart = 512LL * 1000003;
    *returned = sizeof(GET_LENGTH_INFORMATION);
    return TRUE;
}

// ---- helpers ------------------------------------------------------------------

std::string join(const std::string &dir, const char *name) { return dir + "\\" + name; }

bool is_dir(const std::string &path)
{
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

// ---- handles and opens --------------------------------------------------------

TEST(SysFile, InvalidHandlesCloseWithoutACall)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.CloseHandle = counting_close;
    g_close_calls = 0;
    EXPECT_EQ(sys_handle_valid(nullptr), 0);
    EXPECT_EQ(sys_handle_valid(INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(sys_file_close(nullptr), 0);
    EXPECT_EQ(sys_file_close(INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(g_close_calls, 0);
}

TEST(SysFile, OpenFlagsChooseTheDisposition)
{
    struct {
        const char *name;
        int flags;
        bool exists;           // the file holds "old" before the open
        int expected;
        const char *content;   // what the file holds afterwards; null: no file
    } cases[] = {
        {"create+excl on existing", SYS_O_WRITE | SYS_O_CREAT | SYS_O_EXCL, true, SYS_EEXIST, "old"},
        {"create+excl on missing", SYS_O_WRITE | SYS_O_CREAT | SYS_O_EXCL, false, 0, ""},
        {"create+trunc on existing", SYS_O_WRITE | SYS_O_CREAT | SYS_O_TRUNC, true, 0, ""},
        {"create keeps content", SYS_O_READ | SYS_O_CREAT, true, 0, "old"},
        {"create on missing", SYS_O_WRITE | SYS_O_CREAT, false, 0, ""},
        {"trunc on existing", SYS_O_WRITE | SYS_O_TRUNC, true, 0, ""},
        {"trunc on missing", SYS_O_WRITE | SYS_O_TRUNC, false, SYS_ENOENT, nullptr},
        {"plain open on missing", SYS_O_READ, false, SYS_ENOENT, nullptr},
        {"excl without create", SYS_O_READ | SYS_O_EXCL, true, 0, "old"},
        {"excl without create, missing", SYS_O_READ | SYS_O_EXCL, false, SYS_ENOENT, nullptr},
        {"no access at all", 0, true, 0, "old"},
    };
    std::string dir = test_temp_dir("sysfile");
    int n = 0;
    for (auto &c : cases) {
        std::string path = join(dir, ("f" + std::to_string(n++)).c_str());
        if (c.exists) {
            ASSERT_TRUE(test_write_file(path, "old"));
        }
        sys_handle h = (sys_handle)(uintptr_t)0x1234;
        int rc = sys_file_open_flags(path.c_str(), c.flags, 0600, &h);
        EXPECT_EQ(rc, c.expected) << c.name;
        if (rc == 0)
            EXPECT_EQ(sys_file_close(h), 0) << c.name;
        else
            EXPECT_EQ(h, (sys_handle)(uintptr_t)0x1234) << c.name << ": handle written on failure";
        if (c.content)
            EXPECT_EQ(test_read_file(path), c.content) << c.name;
        else
            EXPECT_EQ(sys_exists(path.c_str()), 0) << c.name;
    }
}

TEST(SysFile, OpenRoutinesAndTheirFailures)
{
    std::string dir = test_temp_dir("sysfile");
    std::string path = join(dir, "data");
    sys_handle h;
    EXPECT_EQ(sys_file_open_read(path.c_str(), &h), SYS_ENOENT);
    EXPECT_EQ(sys_file_open_read(join(dir, "no\\such\\file").c_str(), &h), SYS_ENOENT);

    ASSERT_EQ(sys_file_create(path.c_str(), 0644, &h), 0);
    EXPECT_EQ(sys_file_write_at(h, "hello", 5, 0, nullptr), 0);
    EXPECT_EQ(sys_file_close(h), 0);
    // open_rw keeps the content, create empties it.
    ASSERT_EQ(sys_file_open_rw(path.c_str(), 0644, &h), 0);
    EXPECT_EQ(sys_file_close(h), 0);
    EXPECT_EQ(test_read_file(path), "hello");
    ASSERT_EQ(sys_file_create(path.c_str(), 0644, &h), 0);
    EXPECT_EQ(sys_file_close(h), 0);
    EXPECT_EQ(test_read_file(path), "");

    // A handle opened without sharing keeps the layer out: a sharing violation
    // has no code of its own.
    HANDLE locked = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    sys_handle untouched = nullptr;
    EXPECT_EQ(sys_file_open_read(path.c_str(), &untouched), SYS_EFAIL);
    EXPECT_EQ(untouched, nullptr);
    CloseHandle(locked);
}

// ---- positional reads and writes ------------------------------------------------

TEST(SysFile, PositionalReadsAndWrites)
{
    std::string path = join(test_temp_dir("sysfile"), "rw");
    sys_handle h;
    ASSERT_EQ(sys_file_open_rw(path.c_str(), 0644, &h), 0);
    uint64_t count = 99;
    EXPECT_EQ(sys_file_write_at(h, "0123456789", 10, 0, &count), 0);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(sys_file_write_at(h, "AB", 2, 4, nullptr), 0);

    struct {
        const char *name;
        uint64_t offset;
        size_t len;
        const char *expected;
    } cases[] = {
        {"start", 0, 4, "0123"},
        {"overwritten middle", 3, 4, "3AB6"},
        {"short at the end", 8, 10, "89"},
        {"at the end", 10, 5, ""},
        {"past the end", 1000, 5, ""},
        {"far past 4 GiB", 0x100000005ull, 5, ""},
    };
    for (auto &c : cases) {
        char buf[16] = {0};
        count = 99;
        EXPECT_EQ(sys_file_read_at(h, buf, c.len, c.offset, &count), 0) << c.name;
        EXPECT_EQ(std::string(buf, (size_t)count), c.expected) << c.name;
    }
    char one;
    EXPECT_EQ(sys_file_read_at(h, &one, 1, 0, nullptr), 0);
    EXPECT_EQ(sys_file_flush(h), 0);

    uint64_t size = 0;
    EXPECT_EQ(sys_file_size(h, &size), 0);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(sys_file_truncate(h, 3), 0);
    EXPECT_EQ(sys_file_size(h, &size), 0);
    EXPECT_EQ(size, 3u);
    LARGE_INTEGER zero = {}, pos = {};
    EXPECT_TRUE(SetFilePointerEx(h, zero, &pos, FILE_CURRENT));
    EXPECT_EQ(pos.QuadPart, 3) << "the position stays at the new end";
    EXPECT_EQ(sys_file_close(h), 0);
    EXPECT_EQ(test_read_file(path), "012");
}

TEST(SysFile, LengthsOf4GiBAndMoreAreRefusedNotCut)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.ReadFile = counting_read;
    sys_file_calls.WriteFile = counting_write;
    struct {
        size_t len;
        int expected;
        int calls;  // reads or writes that reach the system
    } cases[] = {
        {0xFFFFFFFFull, 0, 1},
        {0x100000000ull, SYS_EINVAL, 0},
        {0x100000001ull, SYS_EINVAL, 0},
        {SIZE_MAX, SYS_EINVAL, 0},
    };
    char byte = 0;  // never read or written: the fakes do not touch memory
    for (auto &c : cases) {
        uint64_t count = 77;
        g_io_calls = 0;
        g_io_len = 0;
        EXPECT_EQ(sys_file_read_at((sys_handle)1, &byte, c.len, 0, &count), c.expected) << c.len;
        EXPECT_EQ(sys_file_write_at((sys_handle)1, &byte, c.len, 0, &count), c.expected) << c.len;
        EXPECT_EQ(g_io_calls, 2 * c.calls) << c.len;
        if (c.calls)
            EXPECT_EQ(g_io_len, 0xFFFFFFFFu) << c.len;
        else
            EXPECT_EQ(count, 77u) << c.len << ": count written on failure";
    }
}

TEST(SysFile, DiskFullWriteLeavesTheCountAlone)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.WriteFile = disk_full_write;
    uint64_t count = 77;
    EXPECT_EQ(sys_file_write_at((sys_handle)1, "x", 1, 0, &count), SYS_EFAIL);
    EXPECT_EQ(count, 77u);
}

TEST(SysFile, AlignedReadRetry)
{
    typedef std::vector<std::pair<uint64_t, DWORD>> calls;
    struct {
        const char *name;
        size_t disk_size;
        DWORD sector;
        std::vector<DWORD> script;
        uint64_t offset;
        size_t len;
        int expected;
        calls expected_calls;
        size_t delivered;
    } cases[] = {
        {"unaligned 100 at 1000", 1 << 20, 512, {}, 1000, 100, 0, {{1000, 100}, {0, 4096}}, 100},
        {"across a 4096 boundary", 1 << 20, 512, {}, 4000, 200, 0, {{4000, 200}, {0, 8192}}, 200},
        {"4096 refused, 512 taken", 1 << 20, 512, {0, ERROR_INVALID_PARAMETER}, 1000, 100, 0,
         {{1000, 100}, {0, 4096}, {512, 1024}}, 100},
        {"short near the end", 5000, 512, {}, 4990, 100, 0, {{4990, 100}, {4096, 4096}}, 10},
        {"past the end", 5000, 512, {}, 9000, 10, 0, {{9000, 10}, {8192, 4096}}, 0},
        {"both alignments refused", 1 << 20, 0, {}, 1000, 100, SYS_EINVAL,
         {{1000, 100}, {0, 4096}, {512, 1024}}, 0},
        {"64 MiB + 1 without a second attempt", 1 << 20, 512, {}, 1, 67108865, SYS_EINVAL,
         {{1, 67108865}}, 0},
        // The bounce buffer is sized to the request; the small device answers
        // short, so the destination needs only the device's size.
        {"64 MiB is served", 5000, 512, {}, 1, 67108864, 0, {{1, 67108864}, {0, 67112960}}, 4999},
        {"device error in the bounce read", 1 << 20, 512, {0, ERROR_CRC}, 1000, 100, SYS_EFAIL,
         {{1000, 100}, {0, 4096}}, 0},
        {"device error at once", 1 << 20, 512, {ERROR_CRC}, 1000, 100, SYS_EFAIL, {{1000, 100}}, 0},
    };
    for (auto &c : cases) {
        seam_guard<sys_file_api> guard(sys_file_calls);
        sys_file_calls.ReadFile = dev_read;
        sys_file_calls.VirtualAlloc = dev_alloc;
        sys_file_calls.VirtualFree = dev_free;
        g_dev = fake_device();
        g_dev.disk.resize(c.disk_size);
        for (size_t i = 0; i < c.disk_size; i++)
            g_dev.disk[i] = (char)(i * 7 + 3);
        g_dev.sector = c.sector;
        g_dev.script = c.script;
        std::vector<char> dst(c.disk_size + 1, '\x55');
        uint64_t count = 777;
        EXPECT_EQ(sys_file_read_at((sys_handle)1, dst.data(), c.len, c.offset, &count), c.expected)
            << c.name;
        EXPECT_EQ(g_dev.calls, c.expected_calls) << c.name;
        EXPECT_EQ(g_dev.allocs, g_dev.frees) << c.name << ": bounce buffer kept";
        if (c.expected != 0) {
            EXPECT_EQ(count, 777u) << c.name << ": count written on failure";
            continue;
        }
        EXPECT_EQ(count, c.delivered) << c.name;
        EXPECT_EQ(memcmp(dst.data(), g_dev.disk.data() + c.offset, c.delivered), 0) << c.name;
        EXPECT_EQ(dst[c.delivered], '\x55') << c.name << ": wrote past the bytes delivered";
    }
}

TEST(SysFile, BounceBufferThatCannotBeAllocated)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.ReadFile = dev_read;
    sys_file_calls.VirtualAlloc = dev_alloc;
    g_dev = fake_device();
    g_dev.disk.resize(8192);
    g_dev.fail_alloc = true;
    char dst[100];
    EXPECT_EQ(sys_file_read_at((sys_handle)1, dst, sizeof dst, 1000, nullptr), SYS_ENOMEM);
    EXPECT_EQ(g_dev.calls.size(), 1u);
}

TEST(SysFile, SizeFallsBackToTheDeviceLength)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.GetFileSizeEx = failing_size;
    sys_file_calls.DeviceIoControl = disk_length_ioctl;
    uint64_t size = 0;
    EXPECT_EQ(sys_file_size((sys_handle)1, &size), 0);
    EXPECT_EQ(size, 512ull * 1000003);

    // When the device cannot tell either, its error is the result.
    sys_file_calls.DeviceIoControl = [](HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                        LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    };
    size = 5;
    EXPECT_EQ(sys_file_size((sys_handle)1, &size), SYS_ENOMEM);
    EXPECT_EQ(size, 5u);
}

TEST(SysFile, SparseAndNotSupported)
{
    std::string path = join(test_temp_dir("sysfile"), "sparse");
    sys_handle h;
    ASSERT_EQ(sys_file_create(path.c_str(), 0644, &h), 0);
    EXPECT_NE(sys_file_set_sparse(h), 0);
    EXPECT_EQ(sys_file_close(h), 0);

    // A file system without sparse files refuses the request.
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.DeviceIoControl = [](HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                        LPOVERLAPPED) -> BOOL {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    };
    EXPECT_EQ(sys_file_set_sparse(h), 0);
    EXPECT_EQ(sys_not_supported(), SYS_ENOTSUP);
    EXPECT_EQ(sys_not_supported(1, "x"), SYS_ENOTSUP);
}

// ---- names: existence, deletion, renames ------------------------------------------

TEST(SysFile, ExistsDeleteRmdir)
{
    std::string dir = test_temp_dir("sysfile");
    std::string file = join(dir, "f"), sub = join(dir, "d");
    ASSERT_TRUE(test_write_file(file, "x"));
    ASSERT_EQ(sys_mkdir(sub.c_str()), 0);
    EXPECT_EQ(sys_exists(file.c_str()), 1);
    EXPECT_EQ(sys_exists(sub.c_str()), 1);
    EXPECT_EQ(sys_exists(join(dir, "missing").c_str()), 0);
    EXPECT_EQ(sys_rmdir(dir.c_str()), SYS_EFAIL) << "not empty";
    EXPECT_EQ(sys_delete(file.c_str()), 0);
    EXPECT_EQ(sys_delete(file.c_str()), SYS_ENOENT);
    EXPECT_EQ(sys_rmdir(sub.c_str()), 0);
    EXPECT_EQ(sys_rmdir(sub.c_str()), SYS_ENOENT);
    EXPECT_EQ(sys_exists(sub.c_str()), 0);
}

TEST(SysFile, Renames)
{
    std::string dir = test_temp_dir("sysfile");
    std::string a = join(dir, "a"), b = join(dir, "b"), c = join(dir, "c");
    ASSERT_TRUE(test_write_file(a, "new"));
    ASSERT_TRUE(test_write_file(b, "old"));
    EXPECT_EQ(sys_rename_write_through(a.c_str(), b.c_str()), SYS_EEXIST);
    EXPECT_EQ(test_read_file(a), "new");
    EXPECT_EQ(test_read_file(b), "old");
    EXPECT_EQ(sys_rename_replace(a.c_str(), b.c_str()), 0);
    EXPECT_EQ(test_read_file(b), "new");
    EXPECT_EQ(sys_exists(a.c_str()), 0);
    EXPECT_EQ(sys_rename_write_through(b.c_str(), c.c_str()), 0);
    EXPECT_EQ(test_read_file(c), "new");
    EXPECT_EQ(sys_rename_replace(a.c_str(), b.c_str()), SYS_ENOENT);
}

// ---- the first-byte lock --------------------------------------------------------

TEST(SysFile, LockCodes)
{
    std::string path = join(test_temp_dir("sysfile"), "lock");
    sys_handle a, b;
    ASSERT_EQ(sys_file_open_rw(path.c_str(), 0644, &a), 0);
    ASSERT_EQ(sys_file_open_rw(path.c_str(), 0644, &b), 0);

    EXPECT_EQ(sys_file_lock(a, 0, 0), 0);
    EXPECT_EQ(sys_file_lock(b, 0, 0), 0) << "two shared locks";
    EXPECT_EQ(sys_file_unlock(a), 0);
    EXPECT_EQ(sys_file_unlock(b), 0);
    EXPECT_EQ(sys_file_unlock(b), SYS_EFAIL) << "nothing left to release";

    EXPECT_EQ(sys_file_lock(a, 1, 0), 0);
    EXPECT_EQ(sys_file_lock(b, 1, 0), SYS_EBUSY);
    EXPECT_EQ(sys_file_lock(b, 0, 0), SYS_EBUSY);

    // With wait the call blocks until the holder lets go.
    std::atomic<int> result{99};
    std::thread waiter([&] { result = sys_file_lock(b, 1, 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(result.load(), 99) << "returned while the lock was held";
    EXPECT_EQ(sys_file_unlock(a), 0);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(sys_file_lock(a, 1, 0), SYS_EBUSY);
    // Closing the handle releases its lock.
    EXPECT_EQ(sys_file_close(b), 0);
    EXPECT_EQ(sys_file_lock(a, 1, 0), 0);
    EXPECT_EQ(sys_file_close(a), 0);
}

TEST(SysFile, LockErrorsFromTheSystem)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.LockFileEx = failing_lock;
    struct {
        DWORD error;
        int expected;
    } cases[] = {
        {ERROR_LOCK_VIOLATION, SYS_EBUSY},
        {ERROR_IO_PENDING, SYS_EBUSY},
        {ERROR_INVALID_HANDLE, SYS_EFAIL},
        {ERROR_NOT_ENOUGH_MEMORY, SYS_ENOMEM},
    };
    for (auto &c : cases) {
        g_fail_error = c.error;
        EXPECT_EQ(sys_file_lock((sys_handle)1, 1, 0), c.expected) << "Windows error " << c.error;
    }
}

// ---- listings ---------------------------------------------------------------------

TEST(SysFile, ListingSkipsDotsAndNamesThatDoNotFit)
{
    std::string dir = test_temp_dir("sysfile");
    ASSERT_TRUE(test_write_file(join(dir, "a"), ""));
    ASSERT_TRUE(test_write_file(join(dir, ".hidden"), ""));
    ASSERT_TRUE(test_write_file(join(dir, "abcdefgh"), ""));
    ASSERT_EQ(sys_mkdir(join(dir, "sub").c_str()), 0);
    typedef std::set<std::pair<std::string, int>> listing;
    struct {
        size_t size;
        listing expected;
    } cases[] = {
        {64, {{"a", 0}, {".hidden", 0}, {"abcdefgh", 0}, {"sub", 1}}},
        {9, {{"a", 0}, {".hidden", 0}, {"abcdefgh", 0}, {"sub", 1}}},
        {8, {{"a", 0}, {".hidden", 0}, {"sub", 1}}},
        {4, {{"a", 0}, {"sub", 1}}},
        {2, {{"a", 0}}},
        {0, {}},
    };
    for (auto &c : cases) {
        sys_dir *d = nullptr;
        ASSERT_EQ(sys_dir_open(dir.c_str(), &d), 0);
        listing got;
        char name[64];
        int flag = -1, rc;
        while ((rc = sys_dir_next(d, name, c.size, &flag)) == 1) {
            EXPECT_LT(strlen(name), c.size);
            got.insert({name, flag});
        }
        EXPECT_EQ(rc, 0) << "buffer " << c.size;
        EXPECT_EQ(sys_dir_next(d, name, c.size, nullptr), 0) << "buffer " << c.size;
        sys_dir_close(d);
        EXPECT_EQ(got, c.expected) << "buffer " << c.size;
    }
    sys_dir_close(nullptr);
}

TEST(SysFile, ListingOfEmptyAndMissingDirectories)
{
    std::string dir = test_temp_dir("sysfile");
    sys_dir *d = nullptr;
    char name[64];
    ASSERT_EQ(sys_dir_open(dir.c_str(), &d), 0);
    EXPECT_EQ(sys_dir_next(d, name, sizeof name, nullptr), 0);
    sys_dir_close(d);

    d = (sys_dir *)name;
    EXPECT_EQ(sys_dir_open(join(dir, "missing").c_str(), &d), SYS_ENOENT);
    EXPECT_EQ(d, nullptr);
}

TEST(SysFile, ListingFailureOtherThanTheEnd)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    std::string dir = test_temp_dir("sysfile");
    sys_dir *d = nullptr;
    ASSERT_EQ(sys_dir_open(dir.c_str(), &d), 0);
    sys_file_calls.FindNextFileA = failing_find_next;
    g_fail_error = ERROR_NOT_ENOUGH_MEMORY;  // not mapped: the listing says -1
    char name[64];
    EXPECT_EQ(sys_dir_next(d, name, sizeof name, nullptr), -1);
    sys_dir_close(d);
}

TEST(SysFile, ListingPatternLimit)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.FindFirstFileA = missing_find_first;
    struct {
        size_t path_len;
        int expected;
        size_t pattern_len;  // 0: FindFirstFileA is not called
    } cases[] = {
        {1097, SYS_ENOENT, 1099},
        {1098, SYS_EINVAL, 0},
        {5000, SYS_EINVAL, 0},
    };
    for (auto &c : cases) {
        std::string path = "C:\\" + std::string(c.path_len - 3, 'p');
        g_pattern_len = 0;
        sys_dir *d = (sys_dir *)&path;
        EXPECT_EQ(sys_dir_open(path.c_str(), &d), c.expected) << c.path_len;
        EXPECT_EQ(d, nullptr) << c.path_len;
        EXPECT_EQ(g_pattern_len, c.pattern_len) << c.path_len;
    }
}

// ---- directory creation -------------------------------------------------------------

TEST(SysFile, MkdirOneLevel)
{
    std::string dir = test_temp_dir("sysfile");
    std::string file = join(dir, "file");
    ASSERT_TRUE(test_write_file(file, "x"));
    struct {
        std::string path;
        int expected;
    } cases[] = {
        {join(dir, "new"), 0},
        {join(dir, "new"), 0},
        {dir, 0},
        {file, SYS_EEXIST},
        {join(dir, "missing\\child"), SYS_ENOENT},
        {file + "\\child", SYS_ENOENT},
    };
    for (auto &c : cases)
        EXPECT_EQ(sys_mkdir(c.path.c_str()), c.expected) << c.path;
    EXPECT_TRUE(is_dir(join(dir, "new")));
    EXPECT_EQ(test_read_file(file), "x");
}

TEST(SysFile, MkdirWithParents)
{
    std::string dir = test_temp_dir("sysfile");
    ASSERT_TRUE(test_write_file(join(dir, "file"), "x"));
    struct {
        std::string path;
        int expected;
        std::string check;  // a directory that stands afterwards
    } cases[] = {
        {join(dir, "a\\b\\c"), 0, join(dir, "a\\b\\c")},
        {join(dir, "a\\b\\c"), 0, join(dir, "a\\b\\c")},
        {join(dir, "t\\u\\v\\"), 0, join(dir, "t\\u\\v")},
        {join(dir, "m/n\\o"), 0, join(dir, "m\\n\\o")},
        {join(dir, "file"), SYS_EEXIST, ""},
        {join(dir, "file\\below"), SYS_ENOENT, ""},
    };
    for (auto &c : cases) {
        EXPECT_EQ(sys_mkdir_p(c.path.c_str()), c.expected) << c.path;
        if (!c.check.empty()) {
            EXPECT_TRUE(is_dir(c.check)) << c.path;
        }
    }
}

TEST(SysFile, MkdirWithParentsWalk)
{
    seam_guard<sys_file_api> guard(sys_file_calls);
    sys_file_calls.CreateDirectoryA = recording_mkdir;
    typedef std::vector<std::string> calls;
    struct {
        std::string path;
        int expected;
        calls expected_calls;
    } cases[] = {
        {"C:\\a\\b", 0, {"C:", "C:\\a", "C:\\a\\b"}},
        {"C:/a/", 0, {"C:", "C:/a", "C:/a/"}},
        // A leading separator is never cut; a lone "\" is tried as the root.
        {"\\a\\b", 0, {"\\a", "\\a\\b"}},
        {"\\\\srv\\share", 0, {"\\", "\\\\srv", "\\\\srv\\share"}},
        {"/x", 0, {"/x"}},
        {"a", 0, {"a"}},
        // The working copy holds 1099 characters; more is refused before any call.
        {"C:\\" + std::string(1096, 'd'), 0, {"C:", "C:\\" + std::string(1096, 'd')}},
        {"C:\\" + std::string(1097, 'd'), SYS_EINVAL, {}},
        {"C:\\" + std::string(70000, 'd'), SYS_EINVAL, {}},
    };
    for (auto &c : cases) {
        g_mkdirs.clear();
        EXPECT_EQ(sys_mkdir_p(c.path.c_str()), c.expected) << c.path.substr(0, 40);
        EXPECT_EQ(g_mkdirs, c.expected_calls) << c.path.substr(0, 40);
    }
}
