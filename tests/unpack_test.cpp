// The package unpacker on packages made in memory, writing into files kept
// in memory: a good package, every refusal with its sentence, streams cut at
// every byte or followed by more data, the limits, and a failure of each
// file operation; then the PACKAGE.json check and the package writer's side.
#include <gtest/gtest.h>

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <zstd.h>
#include <zstd_errors.h>

#include "pack.h"
#include "package.h"
#include "sha256.h"
#include "test_package.h"
#include "test_util.h"
#include "unpack.h"

namespace {

// The directories and files of one run, kept in memory (full paths as the
// unpacker builds them), with one fault of each kind to inject.
struct mem_fs {
    std::set<std::string> dirs;                // directories made
    std::map<std::string, std::string> files;  // file contents
    std::map<intptr_t, std::string> open;      // open handles and their paths
    intptr_t next = 1;                         // the next handle
    std::string fail_dirs;                     // make_dirs fails for this path ...
    int dirs_errno = 0;                        // ... with this error number
    std::string fail_create;                   // create_file fails for this path ...
    int create_errno = EACCES;                 // ... with this error number
    std::string short_write;                   // writes to this path come one byte short
    std::string fail_write;                    // writes to this path fail
    std::string fail_close;                    // closing this path fails
    int io_errno = 0;                          // errno of that short write or close
};

int mem_make_dirs(void *ctx, const char *path)
{
    mem_fs *fs = (mem_fs *)ctx;
    if (fs->fail_dirs == path) {
        errno = fs->dirs_errno;
        return -1;
    }
    if (fs->files.count(path))
        return -1;
    fs->dirs.insert(path);
    return 0;
}

int mem_create(void *ctx, const char *path, intptr_t *file)
{
    mem_fs *fs = (mem_fs *)ctx;
    if (fs->fail_create == path)
        return fs->create_errno;
    if (fs->files.count(path) || fs->dirs.count(path))
        return EEXIST;
    fs->files[path] = "";
    *file = fs->next++;
    fs->open[*file] = path;
    return 0;
}

int64_t mem_write(void *ctx, intptr_t file, const void *data, size_t len)
{
    mem_fs *fs = (mem_fs *)ctx;
    const std::string &path = fs->open.at(file);
    if (path == fs->fail_write) {
        errno = fs->io_errno;
        return -1;
    }
    size_t n = path == fs->short_write ? len - 1 : len;
    if (n != len)
        errno = fs->io_errno;
    fs->files[path].append((const char *)data, n);
    return (int64_t)n;
}

int mem_close(void *ctx, intptr_t file)
{
    mem_fs *fs = (mem_fs *)ctx;
    std::string path = fs->open.at(file);
    fs->open.erase(file);
    if (path != fs->fail_close)
        return 0;
    errno = fs->io_errno;
    return -1;
}

// One run's outcome.
struct run_result {
    int rc;                          // the unpacker's result
    std::string err;                 // its message
    std::vector<pkg_entry> entries;  // the entries handed over
};

// A file for the archives of this process.
const std::string &archive_path()
{
    static const std::string path = test_temp_dir("unpack") + "/package.tar.zst";
    return path;
}

// Unpacks the archive file at path into dest of fs, and checks what holds
// after every run: no file left open, and on failure no entries handed over.
run_result unpack_file(const std::string &path, mem_fs &fs, uint64_t limit = 1ull << 30,
                       const std::string &dest = "D")
{
    unpack_io io = {&fs, mem_make_dirs, mem_create, mem_write, mem_close};
    pkg_entry *entries = (pkg_entry *)1;
    size_t count = 99;
    char err[400];
    memset(err, 'Z', sizeof err);
    run_result r;
    r.rc = unpack_tar_zstd_io(&io, path.c_str(), dest.c_str(), limit, &entries, &count, err,
                              sizeof err);
    r.err = err;
    EXPECT_TRUE(fs.open.empty()) << "files left open; message: " << r.err;
    if (r.rc == 0) {
        EXPECT_EQ(r.err, "");
        r.entries.assign(entries, entries + count);
        free(entries);
    } else {
        EXPECT_EQ(entries, nullptr);
        EXPECT_EQ(count, 0u);
    }
    return r;
}

// Unpacks the package bytes as above.
run_result unpack_bytes(const std::string &package, mem_fs &fs, uint64_t limit = 1ull << 30,
                        const std::string &dest = "D")
{
    EXPECT_TRUE(test_write_file(archive_path(), package));
    return unpack_file(archive_path(), fs, limit, dest);
}

// The message of unpacking package, or "ok".
std::string unpack_message(const std::string &package, uint64_t limit = 1ull << 30)
{
    mem_fs fs;
    run_result r = unpack_bytes(package, fs, limit);
    return r.rc == 0 ? "ok" : r.err;
}

std::string sha_hex(const std::string &data)
{
    uint8_t d[32];
    char hex[65];
    sha256_buffer(data.data(), data.size(), d);
    hex32(d, hex);
    return hex;
}

// A header for name changed by edit, with its checksum made right again.
std::string edited_header(const std::string &name, char type, uint64_t size,
                          const std::function<void(std::string &)> &edit)
{
    std::string h = test_tar_header(name, type, size, 0644);
    edit(h);
    test_tar_checksum(h);
    return h;
}

const std::string kEnd(1024, '\0');
const std::string kZeroBlock(512, '\0');

} // namespace

TEST(Unpack, GoodPackage)
{
    std::vector<uint8_t> noise = test_noise(300000);  // spans several output buffers
    std::vector<test_tar_item> items = {
        {"bin/", "", '5', 0755},
        {"bin/tool.exe", "MZ tool", '0', 0100755},
        {"docs/read me.txt", "read me\n", '0', 0100644},
        {"empty.txt", "", '0', 0644},
        {"data/noise.bin", std::string(noise.begin(), noise.end()), '0', 0644},
    };
    std::string json = test_package_json("1.2.3", "agent", items);
    mem_fs fs;
    run_result r = unpack_bytes(test_package("1.2.3", "agent", items), fs);
    ASSERT_EQ(r.rc, 0) << r.err;

    struct {
        const char *path;
        int is_dir;
        int mode;
        std::string data;
    } expected[] = {
        {"PACKAGE.json", 0, 0644, json},
        {"bin", 1, 0755, ""},
        {"bin/tool.exe", 0, 0755, items[1].data},
        {"docs/read me.txt", 0, 0644, items[2].data},
        {"empty.txt", 0, 0644, ""},
        {"data/noise.bin", 0, 0644, items[4].data},
    };
    ASSERT_EQ(r.entries.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < r.entries.size(); i++) {
        const pkg_entry &e = r.entries[i];
        const auto &x = expected[i];
        EXPECT_STREQ(e.path, x.path) << i;
        EXPECT_EQ(e.is_dir, x.is_dir) << x.path;
        EXPECT_EQ(e.mode, x.mode) << x.path;
        EXPECT_EQ(e.size, x.data.size()) << x.path;
        if (x.is_dir) {
            EXPECT_EQ(test_hex(e.sha256, 32), std::string(64, '0')) << x.path;
            EXPECT_TRUE(fs.dirs.count(std::string("D/") + x.path)) << x.path;
        } else {
            EXPECT_EQ(test_hex(e.sha256, 32), sha_hex(x.data)) << x.path;
            EXPECT_TRUE(fs.files[std::string("D/") + x.path] == x.data) << x.path;
        }
    }
    EXPECT_EQ(fs.files.size(), 5u);
    EXPECT_TRUE(fs.dirs.count("D") && fs.dirs.count("D/docs") && fs.dirs.count("D/data"));

    char err[400] = "";
    EXPECT_EQ(package_json_check(r.entries.data(), r.entries.size(), json.data(), json.size(),
                                 "1.2.3", "agent", err, sizeof err),
              0)
        << err;
}

TEST(Unpack, StreamAndStructureRefusals)
{
    std::vector<test_tar_item> one = {{"a.txt", "abc"}};
    std::string tar_one = test_tar(one, false);
    std::string good = test_package("1.0.0", "", one);
    std::string skippable("\x50\x2a\x4d\x18\x04\x00\x00\x00" "skip", 12);
    std::string tar_record = test_tar(one);
    tar_record.append(10240 - tar_record.size() % 10240, '\0');
    std::string with_zero_block = tar_one + kZeroBlock + test_tar({{"b.txt", "b"}});
    std::string not_zstd = std::string("the archive is not valid zstd data: ") +
                           ZSTD_getErrorString(ZSTD_error_prefix_unknown);

    struct {
        const char *name;
        std::string package;
        std::string expected;
    } cases[] = {
        {"record size 10240", test_zstd(tar_record), "unexpected data after the end of the archive"},
        {"a third zero block", test_zstd(test_tar(one) + kZeroBlock),
         "unexpected data after the end of the archive"},
        {"one zero block, then a header", test_zstd(with_zero_block),
         "data after a zero block in the archive"},
        {"only one zero block", test_zstd(tar_one + kZeroBlock),
         "the tar archive is truncated or lacks its end marker"},
        {"no zero block", test_zstd(tar_one), "the tar archive is truncated or lacks its end marker"},
        {"empty tar", test_zstd(""), "the tar archive is truncated or lacks its end marker"},
        {"empty file", "", "the compressed archive is truncated"},
        {"cut in the frame", good.substr(0, good.size() - 3), "the compressed archive is truncated"},
        {"two frames", good + good, "unexpected data after the compressed archive"},
        {"a byte after the frame", good + "x", "unexpected data after the compressed archive"},
        {"a skippable frame after the frame", good + skippable,
         "unexpected data after the compressed archive"},
        {"a skippable frame first", skippable + good, "unexpected data after the compressed archive"},
        {"plain tar", test_tar(one), not_zstd},
    };
    for (auto &c : cases)
        EXPECT_EQ(unpack_message(c.package), c.expected) << c.name;
}

TEST(Unpack, HeaderRefusals)
{
    auto set = [](size_t offset, const std::string &bytes) {
        return [offset, bytes](std::string &h) { memcpy(&h[offset], bytes.data(), bytes.size()); };
    };
    std::string bad_sum = test_tar_header("a.txt", '0', 0, 0644);
    bad_sum[0] = 'b';
    std::string blank_sum = test_tar_header("a.txt", '0', 0, 0644);
    memset(&blank_sum[148], ' ', 8);
    auto type_message = [](const char *shown) {
        return std::string("the archive contains an entry of type '") + shown +
               "' (only files and directories are allowed)";
    };
    const char *numbers = "corrupt tar header (numbers)";

    struct {
        const char *name;
        std::string header;
        std::string expected;
    } cases[] = {
        {"checksum off by one byte", bad_sum, "corrupt tar header (checksum)"},
        {"checksum of blanks", blank_sum, "corrupt tar header (checksum)"},
        {"v7 header without magic", edited_header("a.txt", '0', 0, set(257, std::string(8, '\0'))),
         "unsupported tar format (only ustar)"},
        {"magic in capitals", edited_header("a.txt", '0', 0, set(257, "USTAR")),
         "unsupported tar format (only ustar)"},
        {"symbolic link", test_tar_header("a", '2', 0, 0777), type_message("2")},
        {"hard link", test_tar_header("a", '1', 0, 0644), type_message("1")},
        {"long name", test_tar_header("././@LongLink", 'L', 0, 0644), type_message("L")},
        {"extended header", test_tar_header("PaxHeader/a", 'x', 0, 0644), type_message("x")},
        {"global header", test_tar_header("a", 'g', 0, 0644), type_message("g")},
        {"device", test_tar_header("a", '3', 0, 0644), type_message("3")},
        {"control byte as type", test_tar_header("a", '\x01', 0, 0644), type_message("?")},
        {"byte 0xFF as type", test_tar_header("a", '\xff', 0, 0644), type_message("?")},
        // The type is judged before the path.
        {"link with an unsafe path", test_tar_header("../a", '2', 0, 0777), type_message("2")},
        {"size with a digit 8", edited_header("a.txt", '0', 0, set(124, "00000000008")), numbers},
        {"size in base 256", edited_header("a.txt", '0', 0, set(124, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x10", 12))),
         numbers},
        {"size of blanks", edited_header("a.txt", '0', 0, set(124, std::string(12, ' '))), numbers},
        {"size of NULs", edited_header("a.txt", '0', 0, set(124, std::string(12, '\0'))), numbers},
        {"size with a sign", edited_header("a.txt", '0', 0, set(124, "-0000000001")), numbers},
        {"digit after a terminator", edited_header("a.txt", '0', 0, set(124, std::string("0000000001\0" "1", 12))), numbers},
        {"mode with a letter", edited_header("a.txt", '0', 0, set(100, "000064x")), numbers},
        {"directory with a bad mode", edited_header("d", '5', 0, set(100, "9")), numbers},
        {"declared 512 MiB and one byte", test_tar_header("big.bin", '0', 536870913, 0644),
         "a file in the archive is too large"},
        {"declared 64 GiB", test_tar_header("big.bin", '0', 0777777777777ull, 0644),
         "a file in the archive is too large"},
    };
    for (auto &c : cases)
        EXPECT_EQ(unpack_message(test_zstd(c.header + kEnd)), c.expected) << c.name;
}

TEST(Unpack, HeaderFieldsAccepted)
{
    auto set = [](size_t offset, const std::string &bytes) {
        return [offset, bytes](std::string &h) { memcpy(&h[offset], bytes.data(), bytes.size()); };
    };
    struct {
        const char *name;
        std::string header;
        std::string data;
        uint64_t size;
        int mode;
    } cases[] = {
        {"size of 12 digits without terminator", edited_header("a", '0', 0, set(124, "000000000005")),
         "12345", 5, 0644},
        {"leading blanks and a blank after the digits", edited_header("a", '0', 0, set(124, std::string("      5 \0\0\0\0", 12))),
         "12345", 5, 0644},
        {"mode of 8 digits without terminator", edited_header("a", '0', 3, set(100, "00000755")),
         "abc", 3, 0755},
        {"GNU magic", edited_header("a", '0', 3, set(257, "ustar  ")), "abc", 3, 0644},
        {"NUL type is a file", test_tar_header("a", '\0', 3, 0644), "abc", 3, 0644},
        {"directory with a size", test_tar_header("d", '5', 4096, 0700), "", 0, 0755},
        {"directory without execute bits", test_tar_header("d", '5', 0, 0600), "", 0, 0755},
        {"100644", test_tar_header("a", '0', 1, 0100644), "x", 1, 0644},
        {"100755", test_tar_header("a", '0', 1, 0100755), "x", 1, 0755},
        {"100744", test_tar_header("a", '0', 1, 0100744), "x", 1, 0755},
        {"100610: a group execute bit", test_tar_header("a", '0', 1, 0100610), "x", 1, 0755},
        {"100601: an other execute bit", test_tar_header("a", '0', 1, 0100601), "x", 1, 0755},
    };
    for (auto &c : cases) {
        std::string data = c.data;
        data.append((512 - data.size() % 512) % 512, '\0');
        mem_fs fs;
        run_result r = unpack_bytes(test_zstd(c.header + data + kEnd), fs);
        ASSERT_EQ(r.rc, 0) << c.name << ": " << r.err;
        ASSERT_EQ(r.entries.size(), 1u) << c.name;
        EXPECT_EQ(r.entries[0].size, c.size) << c.name;
        EXPECT_EQ(r.entries[0].mode, c.mode) << c.name;
        if (!r.entries[0].is_dir) {
            EXPECT_EQ(fs.files["D/a"], c.data) << c.name;
        }
    }
}

TEST(Unpack, Paths)
{
    std::string a149(149, 'a'), b100(100, 'b');
    std::string p155(155, 'p'), n100(100, 'n');
    std::string p250 = a149 + "/" + b100;
    struct {
        const char *name;
        std::string path;
        char type;
        const char *stored;  // the entry's path, or null when refused as unsafe
    } cases[] = {
        {"plain", "bin/tool.exe", '0', "bin/tool.exe"},
        {"blank inside", "docs/read me.txt", '0', "docs/read me.txt"},
        {"8 components", "a/b/c/d/e/f/g/h", '0', "a/b/c/d/e/f/g/h"},
        {"250 characters", p250, '0', p250.c_str()},
        {"directory with a slash", "bin/", '5', "bin"},
        {"leading dot", ".config", '0', ".config"},
        {"more dots", "a...b", '0', "a...b"},
        {"name that starts like a device", "bin/console.exe", '0', "bin/console.exe"},
        {"COM with two digits", "COM10", '0', "COM10"},
        {"LPT without a digit", "LPT", '0', "LPT"},
        {"other printable characters", "a-b_c+d=e,f;g'h(i)[j]{k}~!@#$%^&`", '0',
         "a-b_c+d=e,f;g'h(i)[j]{k}~!@#$%^&`"},

        {"absolute", "/etc/x", '0', nullptr},
        {"dot-dot inside", "a/../b", '0', nullptr},
        {"dot-dot alone", "..", '0', nullptr},
        {"dot-dot directory", "../", '5', nullptr},
        {"dot-slash", "./a", '0', nullptr},
        {"dot inside", "a/./b", '0', nullptr},
        {"double slash", "a//b", '0', nullptr},
        {"file with a trailing slash", "a/", '0', nullptr},
        {"directory with two trailing slashes", "bin//", '5', nullptr},
        {"directory named /", "/", '5', nullptr},
        {"empty file name", "", '0', nullptr},
        {"empty directory name", "", '5', nullptr},
        {"backslash", "a\\b", '0', nullptr},
        {"drive letter", "C:/x", '0', nullptr},
        {"drive-relative", "C:x", '0', nullptr},
        {"stream", "a.txt:hidden", '0', nullptr},
        {"pipe", "a|b", '0', nullptr},
        {"quote", "a\"b", '0', nullptr},
        {"star", "a*b", '0', nullptr},
        {"less", "a<b", '0', nullptr},
        {"greater", "a>b", '0', nullptr},
        {"question mark", "a?b", '0', nullptr},
        {"tab", "a\tb", '0', nullptr},
        {"DEL", "a\x7f" "b", '0', nullptr},
        {"byte above 126", "caf\xe9", '0', nullptr},
        {"9 components", "a/b/c/d/e/f/g/h/i", '0', nullptr},
        {"251 characters", std::string(150, 'a') + "/" + b100, '0', nullptr},
        {"prefix and name both full", p155 + n100, '0', nullptr},
        // Windows opens a device for these or drops the end of the name.
        {"NUL", "NUL", '0', nullptr},
        {"nul with an extension", "bin/nul.txt", '0', nullptr},
        {"CON with blanks and an extension", "CON .log", '0', nullptr},
        {"aux directory", "aux/", '5', nullptr},
        {"prn", "docs/prn", '0', nullptr},
        {"COM1", "COM1", '0', nullptr},
        {"lpt9", "lpt9.txt", '0', nullptr},
        {"COM0", "com0", '0', nullptr},
        {"CONIN$", "CONIN$", '0', nullptr},
        {"conout$", "bin/conout$.x", '0', nullptr},
        {"trailing dot", "bin/tool.exe.", '0', nullptr},
        {"trailing blank", "bin/tool.exe ", '0', nullptr},
        {"dot-dot and a blank", ".. /x", '0', nullptr},
        {"directory with a trailing dot", "bin./", '5', nullptr},
    };
    for (auto &c : cases) {
        std::string header = test_tar_header(c.path, c.type, 0, 0644);
        if (c.name == std::string("prefix and name both full")) {
            memcpy(&header[0], n100.data(), 100);
            memcpy(&header[345], p155.data(), 155);
            test_tar_checksum(header);
        }
        mem_fs fs;
        run_result r = unpack_bytes(test_zstd(header + kEnd), fs);
        if (!c.stored) {
            EXPECT_EQ(r.err, "unsafe path in the archive") << c.name;
            EXPECT_EQ(fs.files.size(), 0u) << c.name;
            continue;
        }
        ASSERT_EQ(r.rc, 0) << c.name << ": " << r.err;
        ASSERT_EQ(r.entries.size(), 1u) << c.name;
        EXPECT_STREQ(r.entries[0].path, c.stored) << c.name;
    }
}

TEST(Unpack, TotalsCountsAndDuplicates)
{
    auto dirs = [](size_t n) {
        std::vector<test_tar_item> items;
        for (size_t i = 0; i < n; i++)
            items.push_back({"d" + std::to_string(i), "", '5', 0755});
        return test_zstd(test_tar(items));
    };
    std::vector<test_tar_item> small_files;
    for (size_t i = 0; i < UNPACK_MAX_ENTRIES; i++)
        small_files.push_back({"f" + std::to_string(i), "x"});
    std::string full_tar = test_tar(small_files);
    // More than the room above the limit, so a bound that wrapped around
    // would stop it.
    std::string big(UNPACK_TAR_SLACK + 4096, 'z');

    struct {
        const char *name;
        std::string package;
        uint64_t limit;
        std::string expected;
    } cases[] = {
        {"files adding up to the limit", test_zstd(test_tar({{"a", std::string(600, 'a')}, {"b", std::string(400, 'b')}})),
         1000, "ok"},
        {"files adding up to the limit and one", test_zstd(test_tar({{"a", std::string(600, 'a')}, {"b", std::string(401, 'b')}})),
         1000, "the archive contains more data than allowed"},
        {"directories do not count", test_zstd(test_tar({{"d", "", '5'}, {"a", "abc"}})), 3, "ok"},
        {"limit 0 and an empty file", test_zstd(test_tar({{"a", ""}})), 0, "ok"},
        // The bound on the decompressed stream must not wrap around.
        {"the largest limit", test_zstd(test_tar({{"a", big}})), UINT64_MAX, "ok"},
        {"4096 entries", dirs(UNPACK_MAX_ENTRIES), 0, "ok"},
        {"4097 entries", dirs(UNPACK_MAX_ENTRIES + 1), 0, "too many entries in the archive"},
        {"4096 files of one byte", test_zstd(full_tar), UNPACK_MAX_ENTRIES, "ok"},
        // Headers and padding use up the room above the limit; what follows
        // them is stopped by the bound before the tar reader sees it.
        {"expanding beyond the bound", test_zstd(full_tar + std::string(300000, '\0')),
         UNPACK_MAX_ENTRIES, "the archive expands to more data than allowed"},
        {"the same file twice", test_zstd(test_tar({{"a", "1"}, {"a", "2"}})), 1000,
         "duplicate entry in the archive"},
        {"a directory, then a file of that path", test_zstd(test_tar({{"bin/", "", '5'}, {"bin", "x"}})),
         1000, "duplicate entry in the archive"},
        {"a file, then a directory of that path", test_zstd(test_tar({{"bin", "x"}, {"bin", "", '5'}})),
         1000, "duplicate entry in the archive"},
        {"paths differing in case", test_zstd(test_tar({{"A", "1"}, {"a", "2"}})), 1000, "ok"},
    };
    for (auto &c : cases)
        EXPECT_EQ(unpack_message(c.package, c.limit), c.expected) << c.name;
}

TEST(Unpack, CutAtEveryByte)
{
    std::vector<test_tar_item> items = {{"bin/", "", '5', 0755},
                                        {"bin/tool.exe", std::string(700, 't'), '0', 0755},
                                        {"readme.txt", "read me"}};
    std::string package = test_package("1.0.0", "", items);
    ASSERT_EQ(unpack_message(package), "ok");
    for (size_t cut = 0; cut < package.size(); cut++)
        ASSERT_EQ(unpack_message(package.substr(0, cut)), "the compressed archive is truncated")
            << "cut at " << cut;

    std::string tar = test_tar(items);
    for (size_t cut = 0; cut < tar.size(); cut++)
        ASSERT_EQ(unpack_message(test_zstd(tar.substr(0, cut))),
                  "the tar archive is truncated or lacks its end marker")
            << "tar cut at " << cut;
}

// A zstd frame of raw blocks holding data, exactly size bytes long: 6 header
// bytes, then blocks of a 3-byte header each. Empty when data cannot be
// split that way.
static std::string raw_frame(const std::string &data, size_t size)
{
    if (size < 6 + data.size() || (size - 6 - data.size()) % 3 != 0)
        return "";
    size_t blocks = (size - 6 - data.size()) / 3;
    if (blocks == 0 || blocks > data.size())
        return "";
    // Magic, a descriptor without content size or checksum, a 128 KiB window.
    std::string f("\x28\xb5\x2f\xfd\x00\x38", 6);
    size_t pos = 0;
    for (size_t b = 0; b < blocks; b++) {
        size_t n = b + 1 < blocks ? data.size() / blocks : data.size() - pos;
        unsigned header = (unsigned)(n << 3) | (b + 1 == blocks ? 1u : 0u);  // raw block
        f += (char)(header & 0xff);
        f += (char)((header >> 8) & 0xff);
        f += (char)((header >> 16) & 0xff);
        f += data.substr(pos, n);
        pos += n;
    }
    return f;
}

TEST(Unpack, FrameEndingWithTheReadPortion)
{
    // A package whose frame ends exactly where the unpacker's first read
    // ends, so that whatever follows arrives in a portion of its own.
    size_t portion = ZSTD_DStreamInSize();
    std::string frame;
    for (size_t blocks = 0; frame.empty() && blocks < 300; blocks++)
        frame = raw_frame(test_tar({{"a.bin", std::string(blocks * 512, 'a')}}), portion);
    ASSERT_EQ(frame.size(), portion);
    std::string skippable("\x50\x2a\x4d\x18\x00\x00\x00\x00", 8);

    struct {
        const char *name;
        std::string package;
        std::string expected;
    } cases[] = {
        {"the frame alone", frame, "ok"},
        {"an empty skippable frame after it", frame + skippable,
         "unexpected data after the compressed archive"},
        {"a second frame after it", frame + test_zstd(""), "unexpected data after the compressed archive"},
    };
    for (auto &c : cases)
        EXPECT_EQ(unpack_message(c.package), c.expected) << c.name;
}

// What unpacking holds in memory follows the window that the frame's
// header asks for: a run that unpacks several packages at once counts on
// it. A file that is not a zstd frame, or whose window the decoder refuses,
// gives no figure, and unpacking it fails.
TEST(Unpack, MemoryFollowsTheFramesWindow)
{
    const uint64_t kib = 1024, mib = 1024 * kib;
    std::string tar = test_tar({{"bin/tool.exe", std::string(300000, 't')}});
    struct {
        const char *name;
        std::string bytes;     // the file; null: no file there
        bool exists;
        uint64_t at_least, below;  // the figure, or UNPACK_MEMORY_UNKNOWN for both
        bool unpacks;
    } cases[] = {
        {"128 KiB window", test_zstd_stored(tar, 17), true, 128 * kib, 1 * mib, true},
        {"8 MiB window", test_zstd_stored(tar, 23), true, 8 * mib, 9 * mib, true},
        {"window of a compressed small package", test_zstd(tar), true, 300000, 2 * mib, true},
        {"256 MiB window, above the decoder's limit", test_zstd_stored(tar, 28), true,
         UNPACK_MEMORY_UNKNOWN, UNPACK_MEMORY_UNKNOWN, false},
        {"no zstd frame", "this is no package", true, UNPACK_MEMORY_UNKNOWN,
         UNPACK_MEMORY_UNKNOWN, false},
        {"an empty file", "", true, UNPACK_MEMORY_UNKNOWN, UNPACK_MEMORY_UNKNOWN, false},
        {"no file", "", false, UNPACK_MEMORY_UNKNOWN, UNPACK_MEMORY_UNKNOWN, false},
    };
    for (auto &c : cases) {
        std::remove(archive_path().c_str());
        if (c.exists) {
            ASSERT_TRUE(test_write_file(archive_path(), c.bytes)) << c.name;
        }
        uint64_t got = unpack_memory(archive_path().c_str());
        if (c.at_least == UNPACK_MEMORY_UNKNOWN) {
            EXPECT_EQ(got, UNPACK_MEMORY_UNKNOWN) << c.name;
        } else {
            EXPECT_GE(got, c.at_least) << c.name;
            EXPECT_LT(got, c.below) << c.name;
        }
        mem_fs fs;
        EXPECT_EQ(unpack_file(archive_path(), fs).rc == 0, c.unpacks) << c.name;
    }
    EXPECT_EQ(unpack_memory(nullptr), UNPACK_MEMORY_UNKNOWN);
}

TEST(Unpack, FileOperationFailures)
{
    std::string package = test_zstd(test_tar({{"bin/", "", '5', 0755},
                                              {"docs/a.txt", "text", '0', 0644},
                                              {"empty.txt", "", '0', 0644}}));
    std::string file_then_child = test_zstd(test_tar({{"a", "x"}, {"a/b", "y"}}));
    std::string long_dest(UNPACK_DEST_MAX, 'x');
    std::string longest_dest(UNPACK_DEST_MAX - 1, 'x');

    struct {
        const char *name;
        std::function<void(mem_fs &)> fault;
        std::string package;
        std::string dest;
        std::string expected;
    } cases[] = {
        {"destination", [](mem_fs &fs) { fs.fail_dirs = "D"; }, package, "D", "cannot create D"},
        {"destination of 1024 characters", [](mem_fs &) {}, package, long_dest,
         ("cannot create " + long_dest).substr(0, 399)},
        {"destination of 1023 characters", [](mem_fs &) {}, package, longest_dest, "ok"},
        {"a directory", [](mem_fs &fs) { fs.fail_dirs = "D/bin"; }, package, "D",
         "cannot create the directory bin"},
        {"a file's directory", [](mem_fs &fs) { fs.fail_dirs = "D/docs"; }, package, "D",
         "cannot create the directory of docs/a.txt"},
        {"a file's directory is a file", [](mem_fs &) {}, file_then_child, "D",
         "cannot create the directory of a/b"},
        {"creating a file",
         [](mem_fs &fs) {
             fs.fail_create = "D/docs/a.txt";
             fs.create_errno = EACCES;
         },
         package, "D", std::string("cannot create docs/a.txt (") + strerror(EACCES) + ")"},
        {"a file that exists", [](mem_fs &fs) { fs.files["D/empty.txt"] = "old"; }, package, "D",
         std::string("cannot create empty.txt (") + strerror(EEXIST) + ")"},
        {"a failed write",
         [](mem_fs &fs) {
             fs.fail_write = "D/docs/a.txt";
             fs.io_errno = EIO;
         },
         package, "D", "cannot write docs/a.txt"},
        {"closing a file", [](mem_fs &fs) { fs.fail_close = "D/docs/a.txt"; }, package, "D",
         "cannot write docs/a.txt"},
        {"closing an empty file", [](mem_fs &fs) { fs.fail_close = "D/empty.txt"; }, package, "D",
         "cannot write empty.txt"},
        // A full disk is named, and has a result of its own: the package is
        // not to blame.
        {"creating a file on a full disk",
         [](mem_fs &fs) {
             fs.fail_create = "D/docs/a.txt";
             fs.create_errno = ENOSPC;
         },
         package, "D", "cannot write docs/a.txt: the disk is full"},
        // Windows tells of a disk that fills up mid-write only by writing
        // fewer bytes than asked for.
        {"a short write without an error number", [](mem_fs &fs) { fs.short_write = "D/docs/a.txt"; },
         package, "D", "cannot write docs/a.txt: the disk is full"},
        {"a directory on a full disk",
         [](mem_fs &fs) {
             fs.fail_dirs = "D/bin";
             fs.dirs_errno = ENOSPC;
         },
         package, "D", "cannot write bin: the disk is full"},
        {"a file's directory on a full disk",
         [](mem_fs &fs) {
             fs.fail_dirs = "D/docs";
             fs.dirs_errno = ENOSPC;
         },
         package, "D", "cannot write docs/a.txt: the disk is full"},
        {"a short write on a full disk",
         [](mem_fs &fs) {
             fs.short_write = "D/docs/a.txt";
             fs.io_errno = ENOSPC;
         },
         package, "D", "cannot write docs/a.txt: the disk is full"},
        {"closing a file on a full disk",
         [](mem_fs &fs) {
             fs.fail_close = "D/docs/a.txt";
             fs.io_errno = ENOSPC;
         },
         package, "D", "cannot write docs/a.txt: the disk is full"},
    };
    for (auto &c : cases) {
        mem_fs fs;
        c.fault(fs);
        run_result r = unpack_bytes(c.package, fs, 1000, c.dest);
        EXPECT_EQ(r.rc == 0 ? "ok" : r.err, c.expected) << c.name;
        bool full = c.expected.find("the disk is full") != std::string::npos;
        EXPECT_EQ(r.rc, c.expected == "ok" ? 0 : full ? UNPACK_DISK_FULL : -1) << c.name;
    }
}

TEST(Unpack, ArchiveThatCannotBeRead)
{
    std::string dir = test_temp_dir("unpack_dir");
    std::string missing = dir + "/missing.tar.zst";
    mem_fs fs;
    EXPECT_EQ(unpack_file(missing, fs).err, "cannot read " + missing);
    // A directory opens on some systems and then fails to read.
    mem_fs fs2;
    EXPECT_EQ(unpack_file(dir, fs2).err, "cannot read " + dir);
}

TEST(Unpack, MessageBufferOptional)
{
    ASSERT_TRUE(test_write_file(archive_path(), "not zstd"));
    mem_fs fs;
    unpack_io io = {&fs, mem_make_dirs, mem_create, mem_write, mem_close};
    pkg_entry *entries = nullptr;
    size_t count = 0;
    char err[8] = "keep";
    EXPECT_EQ(unpack_tar_zstd_io(&io, archive_path().c_str(), "D", 100, &entries, &count, nullptr, 0), -1);
    EXPECT_EQ(unpack_tar_zstd_io(&io, archive_path().c_str(), "D", 100, &entries, &count, err, 0), -1);
    EXPECT_STREQ(err, "keep");
    // A short buffer gets the start of the sentence.
    EXPECT_EQ(unpack_tar_zstd_io(&io, archive_path().c_str(), "D", 100, &entries, &count, err, sizeof err), -1);
    EXPECT_STREQ(err, "the arc");
}

#ifndef _WIN32
// Archives from the host's GNU tar and zstd: one written with a record of
// one block is a valid package; tar's default record of 10240 bytes leaves
// zeros after the end, which are refused.
TEST(Unpack, HostTarArchives)
{
    if (system("tar --version >/dev/null 2>&1") != 0 || system("zstd --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no tar or zstd on this host";
    std::string dir = test_temp_dir("unpack_host");
    std::string src = dir + "/src";
    std::vector<test_tar_item> items = {{"bin/tool", "#!/bin/sh\necho tool\n", '0', 0755},
                                        {"docs/read me.txt", "read me\n"}};
    std::filesystem::create_directories(src + "/bin");
    std::filesystem::create_directories(src + "/docs");
    for (auto &it : items)
        ASSERT_TRUE(test_write_file(src + "/" + it.name, it.data));
    std::string json = test_package_json("2.0.0", "tools", items);
    ASSERT_TRUE(test_write_file(src + "/PACKAGE.json", json));
    ASSERT_EQ(system(("chmod 755 '" + src + "/bin/tool' && chmod 644 '" + src + "/docs/read me.txt'").c_str()), 0);

    struct {
        const char *name;
        const char *tar_options;
        std::string expected;
    } cases[] = {
        {"record of one block", "-b 1", "ok"},
        {"default record", "", "unexpected data after the end of the archive"},
    };
    for (auto &c : cases) {
        std::string out = dir + "/p.tar";
        std::string cmd = std::string("tar --format=ustar ") + c.tar_options + " -C '" + src +
                          "' -cf '" + out + "' PACKAGE.json bin docs && zstd -q -f '" + out +
                          "' -o '" + out + ".zst'";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
        mem_fs fs;
        run_result r = unpack_file(out + ".zst", fs);
        ASSERT_EQ(r.rc == 0 ? "ok" : r.err, c.expected) << c.name;
        if (r.rc != 0)
            continue;
        ASSERT_EQ(r.entries.size(), 5u) << c.name;
        EXPECT_STREQ(r.entries[1].path, "bin");
        EXPECT_EQ(r.entries[1].is_dir, 1);
        EXPECT_STREQ(r.entries[2].path, "bin/tool");
        EXPECT_EQ(r.entries[2].mode, 0755);
        EXPECT_EQ(r.entries[4].mode, 0644);
        char err[400] = "";
        EXPECT_EQ(package_json_check(r.entries.data(), r.entries.size(), json.data(), json.size(),
                                     "2.0.0", "tools", err, sizeof err),
                  0)
            << err;
    }
}
#endif

namespace {

// An unpacked package's entries as package_json_check gets them.
std::vector<pkg_entry> sample_entries()
{
    struct {
        const char *path;
        int is_dir;
        const char *data;
    } list[] = {{"PACKAGE.json", 0, "{}"}, {"bin", 1, ""}, {"bin/tool.exe", 0, "tool"},
                {"readme.txt", 0, "doc"}};
    std::vector<pkg_entry> out;
    for (auto &l : list) {
        pkg_entry e;
        memset(&e, 0, sizeof e);
        snprintf(e.path, sizeof e.path, "%s", l.path);
        e.is_dir = l.is_dir;
        e.mode = l.is_dir ? 0755 : 0644;
        e.size = strlen(l.data);
        if (!l.is_dir)
            sha256_buffer(l.data, e.size, e.sha256);
        out.push_back(e);
    }
    return out;
}

} // namespace

TEST(PackageJson, Check)
{
    std::string tool = sha_hex("tool"), doc = sha_hex("doc");
    std::string upper = tool;
    for (char &ch : upper)
        ch = (char)toupper((unsigned char)ch);
    // A document with the given head members and files members.
    auto doc_with = [](const std::string &head, const std::string &files) {
        return "{" + head + ", \"files\": {" + files + "}}";
    };
    std::string head = "\"schema\": 1, \"version\": \"1.2.3\", \"component\": \"agent\"";
    std::string all = "\"bin/tool.exe\": \"" + tool + "\", \"readme.txt\": \"" + doc + "\"";
    const char *unlisted = "the package contains bin/tool.exe, which PACKAGE.json does not list";
    const char *missing = "PACKAGE.json lists files that are missing from the package";
    const char *layout = "PACKAGE.json has an unsupported layout";

    struct {
        const char *name;
        std::string json;
        const char *component;
        std::string expected;
    } cases[] = {
        {"component package", doc_with(head, all), "agent", "ok"},
        {"whole update", doc_with("\"schema\": 1, \"version\": \"1.2.3\"", all), nullptr, "ok"},
        {"empty text", "", "agent", "PACKAGE.json is not valid: unexpected end at byte 0"},
        {"not JSON", "{\"schema\": 1,}", "agent", "PACKAGE.json is not valid: expected a string key at byte 13"},
        {"an array", "[1]", "agent", layout},
        {"schema 2", doc_with("\"schema\": 2, \"version\": \"1.2.3\"", all), nullptr, layout},
        {"schema as text", doc_with("\"schema\": \"1\", \"version\": \"1.2.3\"", all), nullptr, layout},
        {"schema 1.0", doc_with("\"schema\": 1.0, \"version\": \"1.2.3\"", all), nullptr, layout},
        {"no schema", doc_with("\"version\": \"1.2.3\"", all), nullptr, layout},
        {"version as a number", doc_with("\"schema\": 1, \"version\": 123", all), nullptr, layout},
        {"files as an array", "{\"schema\": 1, \"version\": \"1.2.3\", \"files\": []}", nullptr, layout},
        {"no files", "{\"schema\": 1, \"version\": \"1.2.3\"}", nullptr, layout},
        {"another version", doc_with("\"schema\": 1, \"version\": \"1.2.4\"", all), nullptr,
         "the package is version 1.2.4, the manifest promised 1.2.3"},
        {"component as a number", doc_with("\"schema\": 1, \"version\": \"1.2.3\", \"component\": 5", all),
         "agent", "PACKAGE.json has an invalid component"},
        {"component null", doc_with("\"schema\": 1, \"version\": \"1.2.3\", \"component\": null", all),
         nullptr, "PACKAGE.json has an invalid component"},
        {"component package as a whole update", doc_with(head, all), nullptr,
         "this is a component package (agent), not a whole update"},
        {"no component where one is expected", doc_with("\"schema\": 1, \"version\": \"1.2.3\"", all),
         "agent", "the package is not the agent component the catalog promised"},
        {"another component", doc_with(head, all), "console",
         "the package is not the console component the catalog promised"},
        {"a file not listed", doc_with(head, "\"readme.txt\": \"" + doc + "\""), "agent", unlisted},
        {"a sum that is no text", doc_with(head, "\"bin/tool.exe\": 5, \"readme.txt\": \"" + doc + "\""),
         "agent", unlisted},
        {"a sum in upper case", doc_with(head, "\"bin/tool.exe\": \"" + upper + "\", \"readme.txt\": \"" + doc + "\""),
         "agent", "bin/tool.exe does not match its SHA-256 in PACKAGE.json"},
        {"another file's sum", doc_with(head, "\"bin/tool.exe\": \"" + doc + "\", \"readme.txt\": \"" + doc + "\""),
         "agent", "bin/tool.exe does not match its SHA-256 in PACKAGE.json"},
        {"a directory listed", doc_with(head, all + ", \"bin\": \"" + tool + "\""), "agent", missing},
        {"PACKAGE.json listed", doc_with(head, all + ", \"PACKAGE.json\": \"" + tool + "\""), "agent",
         missing},
        {"a file that is missing", doc_with(head, all + ", \"gone.txt\": \"" + tool + "\""), "agent",
         missing},
    };
    std::vector<pkg_entry> entries = sample_entries();
    for (auto &c : cases) {
        char err[400];
        memset(err, 'Z', sizeof err);
        int rc = package_json_check(entries.data(), entries.size(), c.json.data(), c.json.size(),
                                    "1.2.3", c.component, err, sizeof err);
        EXPECT_EQ(rc == 0 ? "ok" : std::string(err), c.expected) << c.name;
        if (rc == 0) {
            EXPECT_STREQ(err, "") << c.name;
        }
    }
}

TEST(PackageJson, WholeUpdateCheck)
{
    std::vector<pkg_entry> entries = sample_entries();
    std::string files = "\"files\": {\"bin/tool.exe\": \"" + sha_hex("tool") +
                        "\", \"readme.txt\": \"" + sha_hex("doc") + "\"}";
    std::string update = "{\"schema\": 1, \"version\": \"3.0.0\", " + files + "}";
    std::string component = "{\"schema\": 1, \"version\": \"3.0.0\", \"component\": \"agent\", " + files + "}";
    char err[400] = "";
    EXPECT_EQ(package_json_check_update(entries.data(), entries.size(), update.data(), update.size(),
                                        "3.0.0", err, sizeof err),
              0)
        << err;
    EXPECT_EQ(package_json_check_update(entries.data(), entries.size(), component.data(),
                                        component.size(), "3.0.0", err, sizeof err),
              -1);
    EXPECT_STREQ(err, "this is a component package (agent), not a whole update");
    // Without a buffer the result is the same and nothing is written.
    EXPECT_EQ(package_json_check_update(entries.data(), entries.size(), component.data(),
                                        component.size(), "3.0.0", nullptr, 0),
              -1);
}

TEST(Pack, CompressorAndWriterStubs)
{
    std::vector<uint8_t> noise = test_noise(70000);
    std::string data = std::string(100000, 'a') + std::string(noise.begin(), noise.end());
    void *packed = nullptr;
    size_t n = 0;
    ASSERT_EQ(zstd_compress_buffer(data.data(), data.size(), 19, &packed, &n), 0);
    std::string back(data.size(), '\0');
    EXPECT_EQ(ZSTD_decompress(&back[0], back.size(), packed, n), data.size());
    EXPECT_TRUE(back == data);
    free(packed);
    ASSERT_EQ(zstd_compress_buffer("", 0, 3, &packed, &n), 0);
    EXPECT_EQ(ZSTD_decompress(nullptr, 0, packed, n), 0u);
    free(packed);
    // Beyond zstd's input limit there is no bound to allocate; the data is not touched.
    packed = nullptr;
    EXPECT_EQ(zstd_compress_buffer(nullptr, SIZE_MAX, 3, &packed, &n), -1);
    EXPECT_EQ(packed, nullptr);

    char err[64] = "";
    EXPECT_EQ(pack_unavailable("src", "out.tar.zst", 19, err, sizeof err), -1);
    EXPECT_STREQ(err, "packing is only available on Linux");
    err[0] = '\0';
    EXPECT_EQ(pack_unavailable("src", "1.0.0", "agent", err, sizeof err), -1);
    EXPECT_STREQ(err, "packing is only available on Linux");
}
