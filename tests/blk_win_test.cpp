// Block and raw-device I/O on Windows. Wine has no raw disks: a fake
// CreateFileA stands a temporary file in for "\\.\" paths, a fake ReadFile
// refuses unaligned transfers the way a disk does, and a fake
// DeviceIoControl answers (or refuses) the sector-size query.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "blk.h"
#include "seam_guard.h"
#include "sys_file_win.h"
#include "test_util.h"

namespace {

std::string disk_file;        // the file that stands in for every "\\.\" path
std::string last_path;        // the path the last open was given, whole
DWORD last_flags;             // its flags and attributes
DWORD sector_answer;          // the fake sector-size query's answer; 0: refused
int writes;                   // WriteFile calls seen
int ioctl_calls;              // DeviceIoControl calls seen

HANDLE WINAPI fake_create(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE tmpl)
{
    last_path = path;
    last_flags = flags;
    if (strncmp(path, "\\\\.\\", 4) == 0)
        return CreateFileA(disk_file.c_str(), access, share, sa, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, tmpl);
    return CreateFileA(path, access, share, sa, disposition, flags, tmpl);
}

// A disk takes only 512-aligned offsets and lengths.
BOOL WINAPI aligned_read(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED ov)
{
    if (ov && (ov->Offset % 512 || n % 512)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ReadFile(h, buf, n, got, ov);
}

BOOL WINAPI fake_ioctl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID out, DWORD outsize,
                       LPDWORD returned, LPOVERLAPPED)
{
    ioctl_calls++;
    if (code == IOCTL_STORAGE_QUERY_PROPERTY && sector_answer &&
        outsize >= sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR)) {
        STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR *d = (STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR *)out;
        memset(d, 0, sizeof *d);
        d->BytesPerPhysicalSector = sector_answer;
        *returned = sizeof *d;
        return TRUE;
    }
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

// An unbuffered write to a 512e disk: 512-byte logical sectors, whatever the
// physical sector size the disk reports.
BOOL WINAPI logical_512_write(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov)
{
    writes++;
    if (!ov || ov->Offset % 512 || n % 512 || (uintptr_t)buf % 512) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return WriteFile(h, buf, n, done, ov);
}

// Stores one byte less than asked, without an error.
BOOL WINAPI short_write(HANDLE h, LPCVOID buf, DWORD n, LPDWORD done, LPOVERLAPPED ov)
{
    return WriteFile(h, buf, n ? n - 1 : 0, done, ov);
}

// A file of n bytes whose byte i is (i * 7) & 0xFF.
std::string patterned(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 7) & 0xFF);
    return s;
}

struct BlkWin : ::testing::Test {
    seam_guard<sys_file_api> guard{sys_file_calls};
    std::string dir;
    void SetUp() override
    {
        dir = test_temp_dir("blk");
        disk_file = dir + "\\disk.img";
        ASSERT_TRUE(test_write_file(disk_file, patterned(64 * 1024)));
        sys_file_calls.CreateFileA = fake_create;
        sys_file_calls.DeviceIoControl = fake_ioctl;
        sector_answer = 0;
        writes = ioctl_calls = 0;
    }
};

} // namespace

TEST_F(BlkWin, OpenPicksTheTableByPrefix)
{
    struct {
        const char *path;
        const blk_ops *ops;
        uint32_t kind;
    } cases[] = {
        {"\\\\.\\PhysicalDrive0", &blk_device_read_ops, BLK_DEVICE},
        {"\\\\.\\D:", &blk_device_read_ops, BLK_DEVICE},
        {nullptr, &blk_file_read_ops, BLK_FILE},  // the image by its full path
    };
    for (const auto &c : cases) {
        const char *path = c.path ? c.path : disk_file.c_str();
        blk_handle h;
        ASSERT_EQ(0, blk_open_read(&h, path)) << path;
        EXPECT_EQ(c.ops, h.ops) << path;
        EXPECT_EQ(c.kind, h.kind) << path;
        EXPECT_EQ(c.kind == BLK_DEVICE ? (DWORD)FILE_FLAG_SEQUENTIAL_SCAN
                                       : (DWORD)FILE_ATTRIBUTE_NORMAL,
                  last_flags)
            << path;
        blk_reader_close(&h);
        EXPECT_EQ(BLK_NO_HANDLE, h.handle) << path;
        EXPECT_EQ(c.ops, h.ops) << "close keeps the table: " << path;
    }
    // A relative name is a file, and a missing one fails with the handle unset.
    blk_handle h;
    EXPECT_EQ(-4, blk_open_read(&h, "no-such-disk.img"));
    EXPECT_EQ(&blk_file_read_ops, h.ops);
    EXPECT_EQ(BLK_NO_HANDLE, h.handle);
    uint64_t size = 0;
    EXPECT_NE(0, blk_reader_size(&h, &size)) << "a failed open leaves later calls failing";
}

TEST_F(BlkWin, SectorSizeOfFilesAndDevices)
{
    blk_handle h;
    uint32_t sector = 0;
    ASSERT_EQ(0, blk_open_read(&h, disk_file.c_str()));
    EXPECT_EQ(0, blk_reader_sector_size(&h, &sector));
    EXPECT_EQ(1u, sector);
    blk_reader_close(&h);

    ASSERT_EQ(0, blk_open_read(&h, "\\\\.\\PhysicalDrive3"));
    EXPECT_EQ(0, blk_reader_sector_size(&h, &sector));
    EXPECT_EQ(4096u, sector) << "the query is refused";
    sector_answer = 512;
    EXPECT_EQ(0, blk_reader_sector_size(&h, &sector));
    EXPECT_EQ(512u, sector);
    blk_reader_close(&h);
}

TEST_F(BlkWin, ReadBlockPastTheEndIsZeroFilled)
{
    std::string file = dir + "\\41000.bin";
    std::string data = patterned(41000);
    ASSERT_TRUE(test_write_file(file, data));
    blk_handle h;
    ASSERT_EQ(0, blk_open_read(&h, file.c_str()));
    struct {
        uint64_t index;
        uint32_t count;
    } cases[] = {{0, 4096}, {10, 40}, {11, 0}};
    for (const auto &c : cases) {
        std::vector<char> block(4096, '#');
        uint32_t count = 99;
        ASSERT_EQ(0, blk_reader_read_block(&h, c.index, 4096, block.data(), &count)) << c.index;
        EXPECT_EQ(c.count, count) << "block " << c.index;
        EXPECT_EQ(0, memcmp(block.data(), data.data() + c.index * 4096, c.count)) << c.index;
        EXPECT_EQ(std::string(4096 - c.count, '\0'), std::string(block.data() + c.count, 4096 - c.count))
            << "block " << c.index;
    }
    uint64_t size = 0;
    EXPECT_EQ(0, blk_reader_size(&h, &size));
    EXPECT_EQ(41000u, size);
    blk_reader_close(&h);
}

TEST_F(BlkWin, UnalignedReadsOfARawDiskGoThroughTheBounceBuffer)
{
    sys_file_calls.ReadFile = aligned_read;
    std::string data = patterned(64 * 1024);
    blk_handle h;
    ASSERT_EQ(0, blk_open_read(&h, "\\\\.\\PhysicalDrive1"));
    char buf[16];
    memset(buf, '#', sizeof buf);
    uint64_t count = 0;
    ASSERT_EQ(0, blk_read(&h, 3, 10, buf, &count));
    EXPECT_EQ(10u, count);
    EXPECT_EQ(0, memcmp(buf, data.data() + 3, 10));
    EXPECT_EQ('#', buf[10]) << "nothing beyond the asked bytes is written";

    // A block at an unaligned size: the retry reads the aligned span around it.
    std::vector<char> block(1000);
    uint32_t got = 0;
    ASSERT_EQ(0, blk_reader_read_block(&h, 2, 1000, block.data(), &got));
    EXPECT_EQ(1000u, got);
    EXPECT_EQ(0, memcmp(block.data(), data.data() + 2000, 1000));

    // Past the end of the disk: zeros, and the count tells.
    std::vector<char> tail(100, '#');
    ASSERT_EQ(0, blk_read(&h, data.size() - 30, 100, tail.data(), &count));
    EXPECT_EQ(30u, count);
    EXPECT_EQ(std::string(70, '\0'), std::string(tail.data() + 30, 70));
    blk_reader_close(&h);
}

TEST_F(BlkWin, ByteRangesOfAFile)
{
    std::string data = patterned(64 * 1024);
    blk_handle h;
    ASSERT_EQ(0, blk_open_read(&h, disk_file.c_str()));
    std::vector<char> buf(5000, '#');
    uint64_t count = 7;
    EXPECT_EQ(0, blk_read(&h, 100, 0, buf.data(), &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ('#', buf[0]);
    ASSERT_EQ(0, blk_read(&h, 62000, 5000, buf.data(), &count));
    EXPECT_EQ(65536u - 62000u, count);
    EXPECT_EQ(0, memcmp(buf.data(), data.data() + 62000, (size_t)count));
    EXPECT_EQ(std::string(5000 - 3536, '\0'), std::string(buf.data() + 3536, 5000 - 3536));
    EXPECT_EQ(-3, blk_read(&h, UINT64_MAX - 10, 100, buf.data(), &count))
        << "a range beyond the last offset";
    blk_reader_close(&h);
}

TEST_F(BlkWin, WritesToFilesAndTheirSize)
{
    std::string file = dir + "\\out.bin";
    blk_handle h;
    ASSERT_EQ(0, blk_open_write_path(&h, file.c_str())) << "created when missing";
    EXPECT_EQ((uint32_t)BLK_FILE, h.kind);
    ASSERT_EQ(0, blk_writer_write_block(&h, 2, 4, "abcd", 4));
    ASSERT_EQ(0, blk_writer_write_block(&h, 0, 4, "wxyz", 3));
    EXPECT_EQ(0, blk_writer_set_size(&h, 20));
    blk_writer_close(&h);
    EXPECT_EQ(BLK_NO_HANDLE, h.handle);
    EXPECT_EQ(std::string("wxy\0\0\0\0\0abcd", 12) + std::string(8, '\0'), test_read_file(file));

    ASSERT_EQ(0, blk_open_write_path(&h, file.c_str())) << "content kept";
    EXPECT_EQ(0, blk_writer_set_size(&h, 5));
    sys_file_calls.WriteFile = short_write;
    EXPECT_EQ(-1, blk_writer_write_block(&h, 0, 4, "1234", 4)) << "a short write is a failure";
    blk_writer_close(&h);
    EXPECT_EQ(5u, test_read_file(file).size());

    // A reader's operations do not exist on a writer, and the other way round.
    uint64_t size;
    EXPECT_EQ(-3, blk_reader_size(&h, &size));
    blk_handle r;
    ASSERT_EQ(0, blk_open_read(&r, file.c_str()));
    EXPECT_EQ(-3, blk_writer_set_size(&r, 0));
    blk_reader_close(&r);
}

TEST_F(BlkWin, DeviceWritesAreUnbufferedAndTheDeviceJudgesTheirAlignment)
{
    sys_file_calls.WriteFile = logical_512_write;
    // Physical sectors of 4096 bytes, logical ones of 512: the disk takes
    // 512-byte writes, so the layer must not refuse them on its own.
    sector_answer = 4096;
    blk_handle h;
    ASSERT_EQ(0, blk_open_write_path(&h, "\\\\.\\PhysicalDrive2"));
    EXPECT_EQ((uint32_t)BLK_DEVICE, h.kind);
    EXPECT_EQ((DWORD)FILE_FLAG_NO_BUFFERING, last_flags);

    char *aligned = (char *)VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, aligned);
    memset(aligned, 'S', 4096);
    struct {
        const char *name;
        uint64_t index;
        uint32_t block;
        size_t src_offset;
        uint32_t len;
        int rc;
    } cases[] = {
        {"whole logical sectors", 1, 512, 0, 1024, 0},
        {"offset inside a sector", 1, 100, 0, 512, -3},
        {"part of a sector", 1, 512, 0, 100, -3},
        {"unaligned buffer", 1, 512, 1, 512, -3},
    };
    for (const auto &c : cases) {
        writes = 0;
        EXPECT_EQ(c.rc, blk_writer_write_block(&h, c.index, c.block, aligned + c.src_offset, c.len))
            << c.name;
        EXPECT_EQ(1, writes) << c.name << ": the system decides every write";
    }
    VirtualFree(aligned, 0, MEM_RELEASE);

    EXPECT_EQ(0, blk_writer_set_size(&h, 1)) << "a device keeps its size";
    blk_writer_close(&h);
    std::string disk = test_read_file(disk_file);
    EXPECT_EQ(64u * 1024u, disk.size());
    EXPECT_EQ(std::string(1024, 'S'), disk.substr(512, 1024));
}

TEST_F(BlkWin, LongPathIsCutInTheRecordButOpenedWhole)
{
    std::string path = "\\\\.\\" + std::string(1996, 'x');
    blk_handle h;
    ASSERT_EQ(0, blk_open_read(&h, path.c_str()));
    EXPECT_EQ(1023u, strlen(h.path));
    EXPECT_EQ(path, last_path);
    blk_reader_close(&h);
}

TEST(BlkWinClose, ZeroedRecordsCloseQuietly)
{
    blk_handle h;
    memset(&h, 0, sizeof h);
    blk_reader_close(&h);
    blk_writer_close(&h);
    EXPECT_EQ(nullptr, h.ops);
}
