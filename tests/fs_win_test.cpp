// The update engine's file routines on real files and directories.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "fs.h"
#include "test_util.h"

namespace {

DWORD attrs_of(const std::string &path) { return GetFileAttributesA(path.c_str()); }
bool exists(const std::string &path) { return attrs_of(path) != INVALID_FILE_ATTRIBUTES; }
bool is_dir(const std::string &path)
{
    DWORD a = attrs_of(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The mount-point form of a reparse buffer (a junction), as the file system takes it.
struct mount_point_buffer {
    DWORD tag;
    WORD data_length;
    WORD reserved;
    WORD substitute_offset, substitute_length, print_offset, print_length;
    WCHAR names[512];
};

bool make_junction(const std::string &link, const std::string &target)
{
    if (!CreateDirectoryA(link.c_str(), nullptr))
        return false;
    HANDLE h = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool made = false;
    if (h != INVALID_HANDLE_VALUE) {
        std::string nt = "\\??\\" + target;
        mount_point_buffer b;
        memset(&b, 0, sizeof b);
        int n = MultiByteToWideChar(CP_ACP, 0, nt.c_str(), -1, b.names, 500);
        if (n > 1) {
            b.tag = IO_REPARSE_TAG_MOUNT_POINT;
            b.substitute_length = (WORD)((n - 1) * sizeof(WCHAR));
            b.print_offset = (WORD)(n * sizeof(WCHAR));  // empty print name after the NUL
            b.data_length = (WORD)(8 + b.print_offset + sizeof(WCHAR));
            DWORD returned;
            made = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &b, 8u + b.data_length, nullptr, 0,
                                   &returned, nullptr) != 0;
        }
        CloseHandle(h);
    }
    if (!made)
        RemoveDirectoryA(link.c_str());
    return made;
}

// Wine cannot make a junction; a symbolic link of the host system is what it
// shows as a directory reparse point instead. Made with the host's ln, which
// Wine starts like any other program.
bool make_host_symlink(const std::string &link, const std::string &target)
{
    typedef char *(CDECL * unix_name_fn)(LPCWSTR);
    unix_name_fn unix_name =
        (unix_name_fn)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    if (!unix_name)
        return false;
    auto host_path = [&](const std::string &p) {
        WCHAR wide[1024];
        if (!MultiByteToWideChar(CP_ACP, 0, p.c_str(), -1, wide, 1024))
            return std::string();
        char *u = unix_name(wide);
        std::string s = u ? u : "";
        HeapFree(GetProcessHeap(), 0, u);
        return s;
    };
    std::string t = host_path(target), l = host_path(link);
    if (t.empty() || l.empty())
        return false;
    std::string cmd = "ln -s \"" + t + "\" \"" + l + "\"";
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA("Z:\\bin\\ln", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // The wait may end before the host program has run: look for the link a while.
    for (int i = 0; i < 100; i++) {
        DWORD a = attrs_of(link);
        if (a != INVALID_FILE_ATTRIBUTES)
            return (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        Sleep(50);
    }
    return false;
}

}  // namespace

TEST(Fs, CreateDirs)
{
    std::string dir = test_temp_dir("fs");
    ASSERT_TRUE(test_write_file(dir + "\\file", "keep"));
    struct {
        const char *name;
        std::string path;
        int expected;
    } cases[] = {
        {"three new levels", dir + "\\a\\b\\c", 0},
        {"again", dir + "\\a\\b\\c", 0},
        {"trailing separator", dir + "\\t\\u\\", 0},
        {"forward slashes", dir + "/m/n", 0},
        {"an existing directory", dir, 0},
        {"a file at the path", dir + "\\file", -1},
        {"a file on the way", dir + "\\file\\sub", -1},
    };
    for (auto &c : cases) {
        EXPECT_EQ(fs_create_dirs(c.path.c_str()), c.expected) << c.name;
        if (c.expected == 0) {
            EXPECT_TRUE(is_dir(c.path)) << c.name;
        }
    }
    EXPECT_EQ(test_read_file(dir + "\\file"), "keep");
    EXPECT_EQ(fs_create_dirs(nullptr), -1);
}

TEST(Fs, CreateDirsLengthLimit)
{
    // 1023 characters are tried (the first level appears, the over-long last
    // one fails); 1024 are refused before anything is made.
    std::string dir = test_temp_dir("fs");
    for (size_t len : {(size_t)1023, (size_t)1024, (size_t)5000}) {
        std::string first = dir + "\\l" + std::to_string(len);
        std::string path = first + "\\";
        path += std::string(len - path.size(), 'x');
        ASSERT_EQ(path.size(), len);
        EXPECT_EQ(fs_create_dirs(path.c_str()), -1) << len;
        EXPECT_EQ(is_dir(first), len == 1023) << len;
    }
}

TEST(Fs, ReplacesFiles)
{
    std::string dir = test_temp_dir("fs");
    std::string src = dir + "\\state.tmp", dst = dir + "\\state";
    ASSERT_TRUE(test_write_file(src, "new"));
    ASSERT_TRUE(test_write_file(dst, "old"));
    EXPECT_EQ(fs_replace_file(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(test_read_file(dst), "new");
    EXPECT_FALSE(exists(src));
    EXPECT_EQ(fs_replace_file(src.c_str(), dst.c_str()), -1) << "missing source";
    EXPECT_EQ(test_read_file(dst), "new");
    ASSERT_TRUE(test_write_file(src, "fresh"));
    EXPECT_EQ(fs_replace_file(src.c_str(), (dir + "\\other").c_str()), 0);
    EXPECT_EQ(test_read_file(dir + "\\other"), "fresh");
}

TEST(Fs, RemoveTree)
{
    std::string dir = test_temp_dir("fs");
    std::string root = dir + "\\tree";
    ASSERT_EQ(fs_create_dirs((root + "\\.hidden\\deep\\deeper").c_str()), 0);
    ASSERT_TRUE(test_write_file(root + "\\readonly", "r"));
    ASSERT_TRUE(test_write_file(root + "\\.dot", "d"));
    ASSERT_TRUE(test_write_file(root + "\\.hidden\\deep\\f", "f"));
    ASSERT_TRUE(SetFileAttributesA((root + "\\readonly").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA((root + "\\.hidden").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(fs_remove_tree(root.c_str()), 0);
    EXPECT_FALSE(exists(root));
    EXPECT_TRUE(is_dir(dir));
    EXPECT_EQ(fs_remove_tree(root.c_str()), -1) << "nothing there to remove";
}

TEST(Fs, RemoveTreeGoesOnPastAnEntryInUse)
{
    std::string root = test_temp_dir("fs") + "\\tree";
    ASSERT_EQ(fs_create_dirs((root + "\\sub").c_str()), 0);
    ASSERT_TRUE(test_write_file(root + "\\sub\\busy", "b"));
    ASSERT_TRUE(test_write_file(root + "\\sub\\other", "o"));
    ASSERT_TRUE(test_write_file(root + "\\free", "x"));
    HANDLE h = CreateFileA((root + "\\sub\\busy").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fs_remove_tree(root.c_str()), -1);
    CloseHandle(h);
    EXPECT_TRUE(exists(root + "\\sub\\busy"));
    EXPECT_FALSE(exists(root + "\\sub\\other"));
    EXPECT_FALSE(exists(root + "\\free"));
    EXPECT_EQ(fs_remove_tree(root.c_str()), 0);
    EXPECT_FALSE(exists(root));
}

TEST(Fs, RemoveTreeDoesNotFollowALink)
{
    std::string dir = test_temp_dir("fs");
    std::string target = dir + "\\target", root = dir + "\\tree", link = root + "\\link";
    ASSERT_EQ(fs_create_dirs(target.c_str()), 0);
    ASSERT_TRUE(test_write_file(target + "\\precious", "p"));
    ASSERT_EQ(fs_create_dirs((root + "\\sub").c_str()), 0);
    ASSERT_TRUE(test_write_file(root + "\\sub\\f", "f"));
    bool junction = make_junction(link, target);
    if (!junction && !make_host_symlink(link, target))
        GTEST_SKIP() << "neither a junction nor a host symbolic link can be made here";
    ASSERT_NE(attrs_of(link) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    int rc = fs_remove_tree(root.c_str());
    EXPECT_EQ(test_read_file(target + "\\precious"), "p") << "the link was followed";
    EXPECT_FALSE(exists(root + "\\sub"));
    if (junction) {
        EXPECT_EQ(rc, 0);
        EXPECT_FALSE(exists(root));
    } else {
        // Wine removes a host symbolic link through neither DeleteFileA nor
        // RemoveDirectoryA: the link stays and the tree reports it.
        EXPECT_EQ(rc, exists(link) ? -1 : 0);
    }
    // fs_remove_path treats the link as an entry too.
    if (exists(link)) {
        fs_remove_path(link.c_str());
        EXPECT_EQ(test_read_file(target + "\\precious"), "p") << "the link was followed";
    }
}

TEST(Fs, RemovePath)
{
    std::string dir = test_temp_dir("fs");
    ASSERT_TRUE(test_write_file(dir + "\\ro", "r"));
    ASSERT_TRUE(SetFileAttributesA((dir + "\\ro").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(fs_create_dirs((dir + "\\tree\\a").c_str()), 0);
    ASSERT_TRUE(test_write_file(dir + "\\tree\\a\\f", "f"));
    ASSERT_EQ(fs_create_dirs((dir + "\\empty").c_str()), 0);
    struct {
        const char *name;
        std::string path;
        int expected;
    } cases[] = {
        {"missing", dir + "\\missing", 0},
        {"missing parent", dir + "\\missing\\deeper", 0},
        {"read-only file", dir + "\\ro", 0},
        {"tree", dir + "\\tree", 0},
        {"empty directory", dir + "\\empty", 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(fs_remove_path(c.path.c_str()), c.expected) << c.name;
        EXPECT_FALSE(exists(c.path)) << c.name;
    }

    ASSERT_TRUE(test_write_file(dir + "\\busy", "b"));
    HANDLE h = CreateFileA((dir + "\\busy").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fs_remove_path((dir + "\\busy").c_str()), -1);
    CloseHandle(h);
}

TEST(Fs, RemoveDir)
{
    std::string dir = test_temp_dir("fs");
    ASSERT_EQ(fs_create_dirs((dir + "\\full\\sub").c_str()), 0);
    ASSERT_EQ(fs_create_dirs((dir + "\\empty").c_str()), 0);
    ASSERT_TRUE(test_write_file(dir + "\\file", "x"));
    struct {
        const char *name;
        std::string path;
        int expected;
        bool stays;
    } cases[] = {
        {"empty", dir + "\\empty", 0, false},
        {"not empty", dir + "\\full", -1, true},
        {"a file", dir + "\\file", -1, true},
        {"missing", dir + "\\missing", -1, false},
    };
    for (auto &c : cases) {
        EXPECT_EQ(fs_remove_dir(c.path.c_str()), c.expected) << c.name;
        EXPECT_EQ(exists(c.path), c.stays) << c.name;
    }
}
