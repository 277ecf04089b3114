// The unpacker on real files: a package unpacked to disk byte for byte, and
// what only the file system decides (names differing in case, a file in the
// way of a directory, an existing file or destination).
#include <gtest/gtest.h>

#include <windows.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sha256.h"
#include "test_package.h"
#include "test_util.h"
#include "unpack.h"

namespace {

// One run's outcome: "ok" or the message, and the entries handed over.
struct run_result {
    std::string message;
    std::vector<pkg_entry> entries;
};

run_result unpack_to(const std::string &package, const std::string &dest)
{
    std::string archive = test_temp_dir("unpack_win_archive") + "\\package.tar.zst";
    EXPECT_TRUE(test_write_file(archive, package));
    pkg_entry *entries = nullptr;
    size_t count = 0;
    char err[400] = "";
    run_result r;
    int rc = unpack_tar_zstd(archive.c_str(), dest.c_str(), 1ull << 30, &entries, &count, err,
                             sizeof err);
    r.message = rc == 0 ? "ok" : err;
    if (rc == 0)
        r.entries.assign(entries, entries + count);
    else
        EXPECT_TRUE(entries == nullptr && count == 0) << r.message;
    free(entries);
    return r;
}

} // namespace

TEST(UnpackWin, PackageOnDisk)
{
    std::vector<uint8_t> noise = test_noise(200000);
    std::vector<test_tar_item> items = {
        {"bin/", "", '5', 0755},
        {"bin/tool.exe", std::string("MZ\r\n\n\x1a\0tail", 11), '0', 0100755},
        {"docs/read me.txt", "line\nline\r\n", '0', 0100644},
        {"a/b/c/d/e/f/g/h", std::string(noise.begin(), noise.end()), '0', 0644},
        {"empty.txt", "", '0', 0644},
    };
    std::string dest = test_temp_dir("unpack_win") + "\\new\\scratch";
    run_result r = unpack_to(test_package("4.5.6", "agent", items), dest);
    ASSERT_EQ(r.message, "ok");
    ASSERT_EQ(r.entries.size(), items.size() + 1);
    for (size_t i = 1; i < r.entries.size(); i++) {
        const pkg_entry &e = r.entries[i];
        const test_tar_item &it = items[i - 1];
        std::string on_disk = dest + "/" + e.path;
        if (e.is_dir) {
            EXPECT_TRUE(GetFileAttributesA(on_disk.c_str()) & FILE_ATTRIBUTE_DIRECTORY) << e.path;
            continue;
        }
        std::string content = test_read_file(on_disk);
        EXPECT_TRUE(content == it.data) << e.path << ": " << content.size() << " bytes";
        uint8_t digest[32];
        sha256_buffer(content.data(), content.size(), digest);
        EXPECT_EQ(memcmp(digest, e.sha256, 32), 0) << e.path;
    }
}

TEST(UnpackWin, FileSystemRefusals)
{
    std::string base = test_temp_dir("unpack_win");
    std::string file_dest = base + "\\a file";
    ASSERT_TRUE(test_write_file(file_dest, "x"));
    std::string long_dest = base + "\\" + std::string(UNPACK_DEST_MAX - base.size() - 1, 'l');
    std::string exists = std::string("(") + strerror(EEXIST) + ")";
    std::string one = test_zstd(test_tar({{"a.txt", "a"}}));

    struct {
        const char *name;
        std::string package;
        std::string dest;
        std::string expected;
    } cases[] = {
        {"names differing in case", test_zstd(test_tar({{"bin/Tool.exe", "1"}, {"bin/tool.exe", "2"}})),
         base + "\\case", "cannot create bin/tool.exe " + exists},
        {"a file where a file's directory goes", test_zstd(test_tar({{"a", "x"}, {"a/b", "y"}})),
         base + "\\in_the_way", "cannot create the directory of a/b"},
        {"a file where a directory goes", test_zstd(test_tar({{"x", "x"}, {"X/", "", '5'}})),
         base + "\\dir_in_the_way", "cannot create the directory X"},
        {"a destination that is a file", one, file_dest, "cannot create " + file_dest},
        {"a destination of 1024 characters", one, long_dest,
         ("cannot create " + long_dest).substr(0, 399)},
    };
    for (auto &c : cases)
        EXPECT_EQ(unpack_to(c.package, c.dest).message, c.expected) << c.name;

    // A file left in the destination is not overwritten.
    std::string dest = base + "\\again";
    ASSERT_EQ(unpack_to(one, dest).message, "ok");
    ASSERT_TRUE(test_write_file(dest + "\\a.txt", "mine"));
    EXPECT_EQ(unpack_to(one, dest).message, "cannot create a.txt " + exists);
    EXPECT_EQ(test_read_file(dest + "\\a.txt"), "mine");
}
