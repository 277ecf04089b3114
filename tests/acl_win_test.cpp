// Protected files and directories on Windows. Wine keeps no real access lists
// (a list reads back unprotected, with the Wine user in place of
// Administrators, and setting one changes nothing), so the decision and
// repair paths are driven through the call table with lists made from SDDL;
// the checks that read a list back from the file system run on Windows only.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "acl.h"
#include "acl_win.h"
#include "seam_guard.h"
#include "test_util.h"

namespace {

bool under_wine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// A DACL as SDDL ("D:P(...)" when protected is set).
std::string dacl_text(PACL dacl, bool is_protected)
{
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
    if (is_protected)
        SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    char *text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(&sd, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text,
                                                              nullptr))
        return "?";
    std::string s = text;
    LocalFree(text);
    return s;
}

// The DACL that the file system keeps for path, as SDDL.
std::string stored_dacl(const std::string &path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return "?";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision;
    GetSecurityDescriptorControl(sd, &control, &revision);
    std::string s = dacl_text(dacl, control & SE_DACL_PROTECTED);
    LocalFree(sd);
    return s;
}

// ---- fakes behind the call table ----------------------------------------------

std::string g_sddl;        // the list the fake readers hand out
DWORD g_read_error;        // non-zero: the fake readers fail with it
int g_set_calls;           // calls of the fake list writers
DWORD g_set_result;        // what they answer
SECURITY_INFORMATION g_set_info;
std::string g_set_dacl;    // the list they were given, as SDDL

DWORD hand_out_list(PACL *dacl, PSECURITY_DESCRIPTOR *sd)
{
    if (g_read_error)
        return g_read_error;
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(g_sddl.c_str(), SDDL_REVISION_1,
                                                              &made, nullptr))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(made, &present, &list, &defaulted);
    *dacl = present ? list : nullptr;
    // Windows reads "NO_ACCESS_CONTROL" as a null list, Wine as an empty one.
    if (g_sddl == "D:NO_ACCESS_CONTROL")
        *dacl = nullptr;
    *sd = made;
    return ERROR_SUCCESS;
}

DWORD WINAPI fake_get_named(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *, PSID *,
                            PACL *dacl, PACL *, PSECURITY_DESCRIPTOR *sd)
{
    return hand_out_list(dacl, sd);
}

DWORD WINAPI fake_get_handle(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *, PSID *,
                             PACL *dacl, PACL *, PSECURITY_DESCRIPTOR *sd)
{
    return hand_out_list(dacl, sd);
}

DWORD record_set(SECURITY_INFORMATION info, PACL dacl)
{
    g_set_calls++;
    g_set_info = info;
    g_set_dacl = dacl_text(dacl, false);
    return g_set_result;
}

DWORD WINAPI fake_set_named(LPSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION info, PSID, PSID,
                            PACL dacl, PACL)
{
    return record_set(info, dacl);
}

DWORD WINAPI fake_set_handle(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION info, PSID, PSID,
                             PACL dacl, PACL)
{
    return record_set(info, dacl);
}

// Hides Wine from the unit, so that acl_check_fd judges the list it reads.
FARPROC WINAPI no_wine(HMODULE module, LPCSTR name)
{
    if (strcmp(name, "wine_get_version") == 0)
        return nullptr;
    return GetProcAddress(module, name);
}

std::vector<std::vector<unsigned char>> g_random;  // bytes per call; the last one repeats
int g_random_calls;
NTSTATUS g_random_status;
NTSTATUS WINAPI fake_random(BCRYPT_ALG_HANDLE, PUCHAR out, ULONG size, ULONG)
{
    size_t i = (size_t)g_random_calls++;
    if (g_random_status)
        return g_random_status;
    const std::vector<unsigned char> &bytes = g_random[i < g_random.size() ? i : g_random.size() - 1];
    memcpy(out, bytes.data(), size);
    return 0;
}

DWORD g_mkdir_error;
BOOL WINAPI failing_mkdir(LPCSTR, LPSECURITY_ATTRIBUTES)
{
    SetLastError(g_mkdir_error);
    return FALSE;
}

void reset_fakes()
{
    g_sddl.clear();
    g_read_error = 0;
    g_set_calls = 0;
    g_set_result = ERROR_SUCCESS;
    g_set_info = 0;
    g_set_dacl.clear();
    g_random.clear();
    g_random_calls = 0;
    g_random_status = 0;
}

const SECURITY_INFORMATION kDaclProtected =
    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
const char kFileEntries[] = "D:(A;;FA;;;SY)(A;;FA;;;BA)";
const char kDirEntries[] = "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

}  // namespace

// ---- acl_create_file ------------------------------------------------------------

TEST(AclWin, CreatesFiles)
{
    std::string dir = test_temp_dir("acl");
    std::string path = dir + "\\settings.cfg";
    int fd = acl_create_file(path.c_str(), 1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "a\nb", 3), 3);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(test_read_file(path), "a\nb") << "binary mode: no carriage return added";

    struct {
        const char *name;
        std::string path;
        int exclusive;
        int expected_errno;
    } cases[] = {
        {"exclusive on an existing file", path, 1, EEXIST},
        {"missing directory", dir + "\\missing\\x.cfg", 0, ENOENT},
        {"missing directory, exclusive", dir + "\\missing\\x.cfg", 1, ENOENT},
        {"a directory in the way", dir, 0, EACCES},
    };
    for (auto &c : cases) {
        errno = 0;
        EXPECT_EQ(acl_create_file(c.path.c_str(), c.exclusive), -1) << c.name;
        EXPECT_EQ(errno, c.expected_errno) << c.name;
    }
    EXPECT_EQ(test_read_file(path), "a\nb");
}

TEST(AclWin, CreateFileOverAnExistingFileReplacesItsList)
{
    seam_guard<acl_api> guard(acl_calls);
    acl_calls.SetSecurityInfo = fake_set_handle;
    reset_fakes();
    std::string dir = test_temp_dir("acl");
    std::string path = dir + "\\old.cfg";
    ASSERT_TRUE(test_write_file(path, "old content"));

    int fd = acl_create_file(path.c_str(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "new", 3), 3);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(test_read_file(path), "new");
    EXPECT_EQ(g_set_calls, 1);
    EXPECT_EQ(g_set_info, kDaclProtected);
    EXPECT_EQ(g_set_dacl, kFileEntries);

    // A new file gets its list when it is made: nothing to set afterwards.
    reset_fakes();
    fd = acl_create_file((dir + "\\new.cfg").c_str(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(g_set_calls, 0);

    // When the list cannot be replaced the file is not handed out.
    reset_fakes();
    g_set_result = ERROR_ACCESS_DENIED;
    errno = 0;
    EXPECT_EQ(acl_create_file(path.c_str(), 0), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(g_set_calls, 1);
}

TEST(AclWin, CreateFileOverAnExistingFileWithTheRealCalls)
{
    std::string path = test_temp_dir("acl") + "\\old.cfg";
    ASSERT_TRUE(test_write_file(path, "old content"));
    int fd = acl_create_file(path.c_str(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(test_read_file(path), "");
    if (under_wine())
        GTEST_SKIP() << "Wine keeps no access lists to read back";
    EXPECT_EQ(stored_dacl(path), std::string("D:P") + (kFileEntries + 2));
}

TEST(AclWin, CreatedFileCarriesTheProtectedList)
{
    std::string path = test_temp_dir("acl") + "\\key.pem";
    int fd = acl_create_file(path.c_str(), 1);
    ASSERT_GE(fd, 0);
    char err[200] = "";
    EXPECT_EQ(acl_check_fd(fd, path.c_str(), err, sizeof err), 0) << err;
    EXPECT_EQ(_close(fd), 0);
    if (under_wine())
        GTEST_SKIP() << "Wine keeps no access lists to read back";
    EXPECT_EQ(stored_dacl(path), "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
}

// ---- acl_protect_dir and acl_check_dir ------------------------------------------

TEST(AclWin, ProtectDir)
{
    seam_guard<acl_api> guard(acl_calls);
    acl_calls.SetNamedSecurityInfoA = fake_set_named;
    reset_fakes();
    std::string dir = test_temp_dir("acl");
    std::string path = dir + "\\data\\logs";
    EXPECT_EQ(acl_protect_dir(path.c_str()), 0);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(g_set_calls, 1);
    EXPECT_EQ(g_set_info, kDaclProtected);
    EXPECT_EQ(g_set_dacl, kDirEntries);

    // A failed list change leaves the new directory behind.
    reset_fakes();
    g_set_result = ERROR_ACCESS_DENIED;
    std::string other = dir + "\\other";
    EXPECT_EQ(acl_protect_dir(other.c_str()), -1);
    EXPECT_NE(GetFileAttributesA(other.c_str()), INVALID_FILE_ATTRIBUTES);

    // A file where the directory should be: nothing to protect.
    reset_fakes();
    ASSERT_TRUE(test_write_file(dir + "\\file", "x"));
    EXPECT_EQ(acl_protect_dir((dir + "\\file").c_str()), -1);
    EXPECT_EQ(acl_protect_dir((dir + "\\file\\below").c_str()), -1);
    EXPECT_EQ(g_set_calls, 0);
}

TEST(AclWin, CheckDirJudgesTheListItReads)
{
    struct {
        const char *name;
        const char *sddl;
        int expected;  // 0 accepted, 1 repaired
    } cases[] = {
        {"as protect_dir leaves it", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 0},
        {"auto-inherited flag besides", "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 0},
        {"inherited from the parent", "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 1},
        {"as Wine shows every directory",
         "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)", 1},
        {"admins without container-inherit", "D:P(A;OICI;FA;;;SY)(A;OI;FA;;;BA)", 1},
        {"no admins entry", "D:P(A;OICI;FA;;;SY)", 1},
        {"users allowed to read", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;FR;;;BU)", 1},
        {"users denied", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(D;;FA;;;BU)", 0},
        {"masks are not looked at", "D:P(A;OICI;FR;;;SY)(A;;FA;;;BA)(A;OICI;0x1;;;BA)", 0},
        {"empty protected list", "D:P", 1},
        {"null list", "D:NO_ACCESS_CONTROL", 1},
    };
    seam_guard<acl_api> guard(acl_calls);
    acl_calls.GetNamedSecurityInfoA = fake_get_named;
    acl_calls.SetNamedSecurityInfoA = fake_set_named;
    std::string path = test_temp_dir("acl") + "\\data";
    for (auto &c : cases) {
        reset_fakes();
        g_sddl = c.sddl;
        EXPECT_EQ(acl_check_dir(path.c_str()), c.expected) << c.name;
        EXPECT_EQ(g_set_calls, c.expected) << c.name;
        if (c.expected) {
            EXPECT_EQ(g_set_info, kDaclProtected) << c.name;
            EXPECT_EQ(g_set_dacl, kDirEntries) << c.name;
        }
    }

    // A list that cannot be read is repaired; a repair that fails is -1.
    reset_fakes();
    g_read_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(acl_check_dir(path.c_str()), 1);
    reset_fakes();
    g_sddl = "D:(A;OICI;FA;;;SY)";
    g_set_result = ERROR_ACCESS_DENIED;
    EXPECT_EQ(acl_check_dir(path.c_str()), -1);
}

TEST(AclWin, CheckDirCreatesThePath)
{
    std::string dir = test_temp_dir("acl");
    std::string path = dir + "\\a\\b";
    EXPECT_EQ(acl_check_dir(path.c_str()), 1);
    EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // Windows keeps the list and accepts it now; Wine never keeps it and
    // repairs again on every call.
    EXPECT_EQ(acl_check_dir(path.c_str()), under_wine() ? 1 : 0);
    if (!under_wine()) {
        EXPECT_EQ(stored_dacl(path), "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    }

    ASSERT_TRUE(test_write_file(dir + "\\file", "x"));
    EXPECT_EQ(acl_check_dir((dir + "\\file").c_str()), -1);
    EXPECT_EQ(acl_check_dir((dir + "\\file\\below").c_str()), -1);
    EXPECT_EQ(acl_check_dir(nullptr), -1);
}

// ---- acl_check_fd -----------------------------------------------------------------

TEST(AclWin, CheckFdJudgesTheListItReads)
{
    struct {
        const char *name;
        const char *sddl;
        int expected;
        const char *message;
    } cases[] = {
        {"system and admins", "D:P(A;;FA;;;SY)(A;;FA;;;BA)", 0, ""},
        {"users read attributes", "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x100080;;;BU)", 0, ""},
        {"users denied", "D:(A;;FA;;;SY)(D;;FA;;;BU)", 0, ""},
        {"users read data", "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", -1,
         "C:\\x.cfg is accessible by other accounts than SYSTEM and Administrators"},
        {"everyone appends", "D:(A;;FA;;;SY)(A;;0x4;;;WD)", -1,
         "C:\\x.cfg is accessible by other accounts than SYSTEM and Administrators"},
        {"users generic write", "D:(A;;GW;;;BU)", -1,
         "C:\\x.cfg is accessible by other accounts than SYSTEM and Administrators"},
        {"null list", "D:NO_ACCESS_CONTROL", -1,
         "C:\\x.cfg is accessible by other accounts than SYSTEM and Administrators"},
    };
    seam_guard<acl_api> guard(acl_calls);
    acl_calls.GetProcAddress = no_wine;
    acl_calls.GetSecurityInfo = fake_get_handle;
    std::string path = test_temp_dir("acl") + "\\file";
    int fd = _open(path.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    for (auto &c : cases) {
        reset_fakes();
        g_sddl = c.sddl;
        char err[200] = "";
        EXPECT_EQ(acl_check_fd(fd, "C:\\x.cfg", err, sizeof err), c.expected) << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
    }

    reset_fakes();
    g_read_error = ERROR_ACCESS_DENIED;
    char err[200] = "";
    EXPECT_EQ(acl_check_fd(fd, "C:\\x.cfg", err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot read the permissions of C:\\x.cfg");
    // No buffer: the result alone.
    EXPECT_EQ(acl_check_fd(fd, "C:\\x.cfg", nullptr, 100), -1);
    char small[10] = "untouched";
    EXPECT_EQ(acl_check_fd(fd, "C:\\x.cfg", small, 0), -1);
    EXPECT_STREQ(small, "untouched");
    EXPECT_EQ(acl_check_fd(fd, "C:\\x.cfg", small, sizeof small), -1);
    EXPECT_STREQ(small, "cannot re");
    EXPECT_EQ(_close(fd), 0);

    // A descriptor without a handle.
    EXPECT_EQ(acl_check_fd(-1, "C:\\x.cfg", err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot read the permissions of C:\\x.cfg");
}

TEST(AclWin, CheckFdUnderWineAcceptsAnyFile)
{
    if (!under_wine())
        GTEST_SKIP() << "only Wine answers 0 for every file";
    std::string path = test_temp_dir("acl") + "\\plain";
    int fd = _open(path.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    char err[200] = "";
    EXPECT_EQ(acl_check_fd(fd, path.c_str(), err, sizeof err), 0);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(_close(fd), 0);
}

// ---- acl_mkdtemp ------------------------------------------------------------------

TEST(AclWin, MkdtempRefusesBadTemplates)
{
    std::string dir = test_temp_dir("acl");
    for (std::string t : {dir + "\\orv-XXXXX", dir + "\\orvXXXXXXa", std::string("XXXXX"),
                          std::string("")}) {
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back('\0');
        errno = 0;
        EXPECT_EQ(acl_mkdtemp(buf.data()), nullptr) << t;
        EXPECT_EQ(errno, EINVAL) << t;
        EXPECT_EQ(std::string(buf.data()), t);
    }
}

TEST(AclWin, MkdtempMakesAPrivateDirectory)
{
    std::string dir = test_temp_dir("acl");
    std::string t = dir + "\\orv-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    ASSERT_EQ(acl_mkdtemp(buf.data()), buf.data());
    std::string made = buf.data();
    ASSERT_EQ(made.size(), t.size());
    EXPECT_EQ(made.substr(0, t.size() - 6), t.substr(0, t.size() - 6));
    EXPECT_EQ(made.find_first_not_of(ACL_NAME_ALPHABET, t.size() - 6), std::string::npos) << made;
    EXPECT_NE(GetFileAttributesA(made.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    if (under_wine())
        GTEST_SKIP() << "Wine keeps no access lists to read back";
    EXPECT_EQ(stored_dacl(made), "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

TEST(AclWin, MkdtempAttempts)
{
    std::string dir = test_temp_dir("acl");
    const std::vector<unsigned char> taken = {0, 35, 36, 255, 71, 72};  // "a9ad9a"
    const std::vector<unsigned char> fresh = {1, 2, 3, 4, 5, 6};        // "bcdefg"
    ASSERT_TRUE(CreateDirectoryA((dir + "\\t-a9ad9a").c_str(), nullptr));
    struct {
        const char *name;
        std::string tmpl;
        std::vector<std::vector<unsigned char>> random;
        NTSTATUS random_status;
        DWORD mkdir_error;  // non-zero: CreateDirectoryA fails with it
        const char *made;   // the name made, or null
        int expected_errno;
        int random_calls;
    } cases[] = {
        {"a taken name, then a fresh one", dir + "\\t-XXXXXX", {taken, fresh}, 0, 0, "t-bcdefg", 0, 2},
        {"100 taken names", dir + "\\t-XXXXXX", {taken}, 0, 0, nullptr, EEXIST, 100},
        {"no random bytes", dir + "\\t-XXXXXX", {fresh}, (NTSTATUS)0xC0000001, 0, nullptr, EIO, 1},
        {"missing parent", dir + "\\none\\t-XXXXXX", {fresh}, 0, 0, nullptr, ENOENT, 1},
        {"access denied", dir + "\\t-XXXXXX", {fresh}, 0, ERROR_ACCESS_DENIED, nullptr, EACCES, 1},
    };
    for (auto &c : cases) {
        seam_guard<acl_api> guard(acl_calls);
        acl_calls.BCryptGenRandom = fake_random;
        if (c.mkdir_error) {
            acl_calls.CreateDirectoryA = failing_mkdir;
            g_mkdir_error = c.mkdir_error;
        }
        reset_fakes();
        g_random = c.random;
        g_random_status = c.random_status;
        std::vector<char> buf(c.tmpl.begin(), c.tmpl.end());
        buf.push_back('\0');
        errno = 0;
        char *got = acl_mkdtemp(buf.data());
        EXPECT_EQ(g_random_calls, c.random_calls) << c.name;
        if (c.made) {
            EXPECT_EQ(got, buf.data()) << c.name;
            EXPECT_EQ(std::string(buf.data()), dir + "\\" + c.made) << c.name;
            EXPECT_NE(GetFileAttributesA(buf.data()), INVALID_FILE_ATTRIBUTES) << c.name;
        } else {
            EXPECT_EQ(got, nullptr) << c.name;
            EXPECT_EQ(errno, c.expected_errno) << c.name;
            EXPECT_EQ(std::string(buf.data()), c.tmpl) << c.name << ": template not restored";
        }
    }
}
