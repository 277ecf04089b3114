// The pure parts of the block layer: which paths are raw devices, the
// record's reset with a path cut to its field, and block offsets that would
// not fit 64 bits.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "blk.h"

TEST(Blk, DevicePathsByPrefix)
{
    struct {
        const char *path;
        int device;
    } cases[] = {
        {"\\\\.\\PhysicalDrive0", 1},
        {"\\\\.\\C:", 1},
        {"\\\\.\\", 1},
        {"\\\\?\\C:\\disk.img", 0},
        {"C:\\disk.img", 0},
        {"disk.img", 0},
        {"\\\\server\\share\\disk.img", 0},
        {"\\\\.", 0},
        {"", 0},
        {nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.device, blk_is_device_path(c.path)) << (c.path ? c.path : "(null)");
}

TEST(Blk, ResetCutsThePathAndClearsTheRecord)
{
    blk_handle h;
    memset(&h, 0x5A, sizeof h);
    std::string path(2000, 'p');
    static const blk_ops some_ops = {};
    blk_reset(&h, path.c_str(), &some_ops);
    EXPECT_EQ((uint32_t)BLK_FILE, h.kind);
    EXPECT_EQ(BLK_NO_HANDLE, h.handle);
    EXPECT_EQ(&some_ops, h.ops);
    EXPECT_EQ(1023u, strlen(h.path));
    blk_reset(&h, "short", &some_ops);
    EXPECT_STREQ("short", h.path);
}

TEST(Blk, BlockOffsetsBeyond64BitsAreRefused)
{
    struct {
        uint64_t index;
        uint32_t block;
        int rc;
        uint64_t offset;
    } cases[] = {
        {10, 4096, 0, 40960},
        {0, 0, 0, 0},
        {UINT64_MAX, 1, 0, UINT64_MAX},
        {UINT64_MAX / 4096, 4096, 0, (UINT64_MAX / 4096) * 4096},
        {UINT64_MAX / 4096 + 1, 4096, -3, 0},
        {1ull << 40, 1u << 31, -3, 0},
    };
    for (const auto &c : cases) {
        uint64_t off = 0;
        EXPECT_EQ(c.rc, blk_block_offset(c.index, c.block, &off)) << c.index << " x " << c.block;
        if (c.rc == 0) {
            EXPECT_EQ(c.offset, off) << c.index << " x " << c.block;
        }
    }
}
