// updater.conf on disk: written whole through "<path>.tmp", one key edited in
// place, every failure leaving the old file as it was; the data directory's
// access list.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <string.h>

#include <string>
#include <vector>

#include "acl.h"
#include "acl_win.h"
#include "paths.h"
#include "seam_guard.h"
#include "test_util.h"
#include "updconf.h"

static bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The text updconf_write must put on disk for cfg.
static std::string formatted(const updater_config &cfg)
{
    std::vector<char> buf(UPDCONF_TEXT_MAX);
    const char *bad = nullptr;
    int n = updconf_format(&cfg, buf.data(), buf.size(), &bad);
    EXPECT_GT(n, 0);
    return std::string(buf.data(), n > 0 ? (size_t)n : 0);
}

TEST(UpdconfWin, WriteCreatesDirectoriesAndLeavesNoTemporaryFile)
{
    std::string path = test_temp_dir("updconf") + "\\a\\b/updater.conf";
    updater_config cfg;
    updconf_defaults(&cfg);
    strcpy(cfg.url, "https://updates.example/orv");
    // A UNC path with a quote and a comment character must survive the trip.
    strcpy(cfg.install_dir, "\\\\fileserver\\it's #1\\orvantis");
    strcpy(cfg.state_dir, " \\\\srv\\state ");
    char err[400] = "";
    ASSERT_EQ(updconf_write(path.c_str(), &cfg, err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(path), formatted(cfg));
    EXPECT_FALSE(exists(path + ".tmp"));

    updater_config back;
    updconf_defaults(&back);
    ASSERT_EQ(updconf_read(path.c_str(), 1, &back, err, sizeof err), 0) << err;
    EXPECT_STREQ(back.install_dir, cfg.install_dir);
    EXPECT_STREQ(back.state_dir, cfg.state_dir);
    EXPECT_STREQ(back.url, cfg.url);

    // Writing again replaces the file whole.
    strcpy(cfg.url, "");
    ASSERT_EQ(updconf_write(path.c_str(), &cfg, err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(path), formatted(cfg));
    EXPECT_FALSE(exists(path + ".tmp"));
}

TEST(UpdconfWin, WriteFailuresLeaveTheOldFile)
{
    const std::string old_text = "url = old\n";
    struct {
        const char *name;
        const char *proxy;     // proxy value of the record written
        bool tmp_is_dir;       // a directory stands where "<path>.tmp" goes
        bool path_is_dir;      // a directory stands at path itself
        bool parent_is_file;   // the file's directory lies below a file
        const char *message;   // "%p" path, "%d" its directory
        bool tmp_stays;        // "<path>.tmp" is a file afterwards
    } cases[] = {
        {"line break in a value", "p\npublic_key = x", false, false, false,
         "cannot write %p: the value of 'proxy' does not fit on one line", false},
        {"directory cannot be made", "p", false, false, true, "cannot create %d", false},
        {"temporary file cannot be opened", "p", true, false, false, "cannot write %p.tmp", false},
        {"move fails", "p", false, true, false, "cannot write %p", true},
    };
    for (auto &c : cases) {
        std::string dir = test_temp_dir("updconf");
        std::string path = dir + "\\updater.conf";
        if (c.parent_is_file) {
            ASSERT_TRUE(test_write_file(dir + "\\file", "x"));
            dir += "\\file\\sub";
            path = dir + "\\updater.conf";
        } else if (c.path_is_dir) {
            ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
        } else {
            ASSERT_TRUE(test_write_file(path, old_text));
        }
        if (c.tmp_is_dir) {
            ASSERT_TRUE(CreateDirectoryA((path + ".tmp").c_str(), nullptr));
        }
        updater_config cfg;
        updconf_defaults(&cfg);
        strcpy(cfg.proxy, c.proxy);
        char err[600] = "";
        EXPECT_EQ(updconf_write(path.c_str(), &cfg, err, sizeof err), -1) << c.name;
        std::string msg = c.message;
        for (size_t at; (at = msg.find("%p")) != std::string::npos;)
            msg.replace(at, 2, path);
        for (size_t at; (at = msg.find("%d")) != std::string::npos;)
            msg.replace(at, 2, dir);
        EXPECT_EQ(std::string(err), msg) << c.name;
        if (!c.parent_is_file && !c.path_is_dir) {
            EXPECT_EQ(test_read_file(path), old_text) << c.name;
        }
        DWORD tmp_attr = GetFileAttributesA((path + ".tmp").c_str());
        bool tmp_file =
            tmp_attr != INVALID_FILE_ATTRIBUTES && !(tmp_attr & FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(tmp_file, c.tmp_stays) << c.name;
    }
}

TEST(UpdconfWin, SetValueEditsOneLine)
{
    struct {
        const char *name;
        std::string before;
        const char *key, *value;
        std::string after;
    } cases[] = {
        {"first of two", "url = a\nchannel = c\nurl = b\n", "url", "n",
         "url = n\nchannel = c\nurl = b\n"},
        {"appended after a missing line feed", "channel = c", "url", "n",
         "channel = c\nurl = n\n"},
        {"byte-order mark dropped", "\xEF\xBB\xBFurl = a\r\nproxy = p\r\n", "url", "n",
         "url = n\nproxy = p\r\n"},
        {"UNC path with a quote", "url = a\n", "install_dir", "\\\\srv\\it's #1",
         "url = a\ninstall_dir = \"\\\\\\\\srv\\\\it's #1\"\n"},
        {"blanks kept", "proxy = p\n", "proxy", " p ", "proxy = ' p '\n"},
    };
    for (auto &c : cases) {
        std::string path = test_temp_dir("updconf") + "\\updater.conf";
        ASSERT_TRUE(test_write_file(path, c.before));
        char err[400] = "";
        EXPECT_EQ(updconf_set_value(path.c_str(), c.key, c.value, err, sizeof err), 0)
            << c.name << ": " << err;
        EXPECT_EQ(test_read_file(path), c.after) << c.name;
        EXPECT_FALSE(exists(path + ".tmp")) << c.name;
    }
}

TEST(UpdconfWin, SetValueFailuresLeaveTheOldFile)
{
    std::string dir = test_temp_dir("updconf");
    std::string path = dir + "\\updater.conf";
    const std::string old_text = "url = old\n";
    ASSERT_TRUE(test_write_file(path, old_text));
    char err[600] = "";
    struct {
        const char *name, *key, *value;
        std::string message;
    } refusals[] = {
        {"line break", "url", "a\nb", "cannot update " + path +
                                          ": the value of 'url' does not fit on one line"},
        {"key with =", "a=b", "v", "cannot update " + path + ": invalid key 'a=b'"},
        {"empty key", "", "v", "cannot update " + path + ": invalid key ''"},
    };
    for (auto &c : refusals) {
        EXPECT_EQ(updconf_set_value(path.c_str(), c.key, c.value, err, sizeof err), -1) << c.name;
        EXPECT_EQ(std::string(err), c.message) << c.name;
    }
    EXPECT_EQ(test_read_file(path), old_text);

    std::string missing = dir + "\\missing.conf";
    EXPECT_EQ(updconf_set_value(missing.c_str(), "url", "n", err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot read " + missing);
    EXPECT_FALSE(exists(missing + ".tmp"));

    // A reader that does not share deletion keeps the file from being replaced.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(updconf_set_value(path.c_str(), "url", "n", err, sizeof err), -1);
    CloseHandle(h);
    EXPECT_EQ(std::string(err), "cannot update " + path);
    EXPECT_EQ(test_read_file(path), old_text);
    EXPECT_FALSE(exists(path + ".tmp"));
}

// ---- the data directory's access list ---------------------------------------------
// Wine keeps no access lists, so the lists are handed to the check through its
// call table: one per directory name, and a result per directory for the repair.

struct fake_dir {
    std::string name;   // last component: "data" or "logs"
    bool is_protected;  // the list handed out is the protected one
    DWORD set_result;   // what a repair of this directory answers
};
static std::vector<fake_dir> g_dirs;
static std::vector<std::string> g_looked_at;  // directories whose list was read, in order
static std::vector<std::string> g_repaired;   // directories whose list was set, in order

static fake_dir *find_dir(const char *path)
{
    std::string p = path;
    for (fake_dir &d : g_dirs) {
        size_t n = d.name.size();
        if (p.size() >= n && p.compare(p.size() - n, n, d.name) == 0)
            return &d;
    }
    return nullptr;
}

static DWORD WINAPI fake_get_named(LPCSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                   PSID *, PACL *dacl, PACL *, PSECURITY_DESCRIPTOR *sd)
{
    fake_dir *d = find_dir(path);
    g_looked_at.push_back(d ? d->name : path);
    const char *sddl = d && d->is_protected ? ACL_SDDL_DIR : "D:(A;OICI;FA;;;WD)";
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &made,
                                                              nullptr))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorDacl(made, &present, dacl, &defaulted);
    *sd = made;
    return ERROR_SUCCESS;
}

static DWORD WINAPI fake_set_named(LPSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                   PACL, PACL)
{
    fake_dir *d = find_dir(path);
    g_repaired.push_back(d ? d->name : path);
    return d ? d->set_result : ERROR_ACCESS_DENIED;
}

TEST(UpdconfWin, DataDirectoryAccessList)
{
    seam_guard<acl_api> guard(acl_calls);
    acl_calls.GetNamedSecurityInfoA = fake_get_named;
    acl_calls.SetNamedSecurityInfoA = fake_set_named;
    const DWORD ok = ERROR_SUCCESS, denied = ERROR_ACCESS_DENIED;
    struct {
        const char *name;
        bool data_protected, logs_protected;
        DWORD data_set, logs_set;
        int expected;
        std::vector<std::string> looked_at, repaired;
    } cases[] = {
        {"both protected", true, true, ok, ok, 0, {"data", "logs"}, {}},
        {"logs repaired", true, false, ok, ok, 1, {"data", "logs"}, {"logs"}},
        {"data repaired", false, true, ok, ok, 1, {"data", "logs"}, {"data"}},
        {"both repaired", false, false, ok, ok, 1, {"data", "logs"}, {"data", "logs"}},
        // A failure on the data directory leaves its logs directory alone.
        {"data fails", false, false, denied, ok, -1, {"data"}, {"data"}},
        {"logs fails", true, false, ok, denied, -1, {"data", "logs"}, {"logs"}},
    };
    for (auto &c : cases) {
        std::string dir = test_temp_dir("updconf") + "\\data";
        g_dirs = {{"data", c.data_protected, c.data_set}, {"logs", c.logs_protected, c.logs_set}};
        g_looked_at.clear();
        g_repaired.clear();
        EXPECT_EQ(paths_check_data_acl(dir.c_str()), c.expected) << c.name;
        EXPECT_EQ(g_looked_at, c.looked_at) << c.name;
        EXPECT_EQ(g_repaired, c.repaired) << c.name;
        EXPECT_EQ(GetFileAttributesA((dir + "\\logs").c_str()) != INVALID_FILE_ATTRIBUTES,
                  c.looked_at.size() == 2)
            << c.name;
    }
}

TEST(UpdconfWin, DataDirectoryThatCannotBeMade)
{
    // A file in the way: the data directory fails and its logs are never made.
    std::string base = test_temp_dir("updconf");
    ASSERT_TRUE(test_write_file(base + "\\file", "x"));
    std::string bad = base + "\\file\\data";
    EXPECT_EQ(paths_check_data_acl(bad.c_str()), -1);
    EXPECT_FALSE(exists(bad + "\\logs"));
}
