// Protected files and directories on Windows: descriptors from SDDL, the
// access lists of named and open objects, and private temporary directories.
// The decision over a list's entries is acl_dir_is_protected and
// acl_fd_is_private (acl.cpp); this unit only reads the list into plain records.
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include "acl.h"
#include "acl_win.h"
#include "sys_file.h"

#include <sddl.h>

acl_api acl_calls = {
    ConvertStringSecurityDescriptorToSecurityDescriptorA,
    CreateFileA,
    SetSecurityInfo,
    SetNamedSecurityInfoA,
    GetNamedSecurityInfoA,
    GetSecurityInfo,
    BCryptGenRandom,
    CreateDirectoryA,
    GetProcAddress,
};

static acl_api &A = acl_calls;

// The descriptor of an SDDL text, which the caller frees with LocalFree; null
// when the text cannot be converted.
static PSECURITY_DESCRIPTOR descriptor_from_sddl(const char *sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!A.ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd,
                                                                nullptr))
        return nullptr;
    return sd;
}

// The DACL inside a descriptor made from SDDL; null when it has none.
static PACL dacl_of(PSECURITY_DESCRIPTOR sd)
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present)
        return nullptr;
    return dacl;
}

// Whom an allowed entry's SID names. A well-known SID that cannot be built
// matches nothing, so such a list counts as someone else's.
static int who_is(PSID sid)
{
    BYTE system_sid[SECURITY_MAX_SID_SIZE], admins_sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof system_sid;
    if (CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &size) &&
        EqualSid(sid, system_sid))
        return ACL_WHO_SYSTEM;
    size = sizeof admins_sid;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_sid, &size) &&
        EqualSid(sid, admins_sid))
        return ACL_WHO_ADMINS;
    return ACL_WHO_OTHER;
}

// Reads dacl (may be null: a null DACL) into v, with entries in a heap array
// that the caller frees with free(*store). Returns 0, or -1 when the array
// cannot be allocated (v is then unusable).
static int read_view(PACL dacl, int is_protected, acl_view *v, acl_entry **store)
{
    memset(v, 0, sizeof *v);
    *store = nullptr;
    v->present = dacl != nullptr;
    v->is_protected = is_protected;
    if (!dacl)
        return 0;
    size_t count = dacl->AceCount;
    acl_entry *entries = (acl_entry *)calloc(count ? count : 1, sizeof *entries);
    if (!entries)
        return -1;
    for (size_t i = 0; i < count; i++) {
        void *ace = nullptr;
        if (!GetAce(dacl, (DWORD)i, &ace))
            continue;  // left unreadable
        const ACE_HEADER *header = (const ACE_HEADER *)ace;
        acl_entry *e = &entries[i];
        e->readable = 1;
        e->type = header->AceType;
        e->flags = header->AceFlags;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const ACCESS_ALLOWED_ACE *allowed = (const ACCESS_ALLOWED_ACE *)ace;
            e->mask = allowed->Mask;
            e->who = who_is((PSID)&allowed->SidStart);
        }
    }
    v->entries = entries;
    v->count = count;
    *store = entries;
    return 0;
}

// errno for a failed CreateFileA.
static int errno_of(DWORD error)
{
    switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    default:
        return EACCES;
    }
}

int acl_create_file(const char *path, int exclusive)
{
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    PSECURITY_DESCRIPTOR sd = descriptor_from_sddl(ACL_SDDL_FILE);
    if (!sd) {
        errno = EACCES;
        return -1;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    // The descriptor in sa is applied only to a file that CreateFileA makes;
    // an existing file that CREATE_ALWAYS empties keeps its own list. That
    // file gets the list afterwards, which needs WRITE_DAC on the handle (and
    // READ_CONTROL, since setting a list may read the descriptor it changes).
    DWORD access = exclusive ? GENERIC_WRITE : GENERIC_WRITE | WRITE_DAC | READ_CONTROL;
    HANDLE h = A.CreateFileA(path, access, FILE_SHARE_READ, &sa,
                             exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    int fd = -1;
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(error);
    } else if (!exclusive && error == ERROR_ALREADY_EXISTS &&
               A.SetSecurityInfo(h, SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, dacl_of(sd), nullptr) != ERROR_SUCCESS) {
        // Refuse rather than hand out a file that others may still read.
        CloseHandle(h);
        errno = EACCES;
    } else {
        fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
        if (fd == -1) {
            CloseHandle(h);
            errno = EMFILE;
        }
    }
    LocalFree(sd);
    return fd;
}

int acl_protect_dir(const char *path)
{
    if (!path || sys_mkdir_p(path) != SYS_OK)
        return -1;
    PSECURITY_DESCRIPTOR sd = descriptor_from_sddl(ACL_SDDL_DIR);
    if (!sd)
        return -1;
    int rc = -1;
    PACL dacl = dacl_of(sd);
    if (dacl &&
        A.SetNamedSecurityInfoA((LPSTR)path, SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS)
        rc = 0;
    LocalFree(sd);
    return rc;
}

// 1 when the directory's list is protected as acl_protect_dir leaves it.
static int dir_is_protected(const char *path)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (A.GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &sd) != ERROR_SUCCESS) {
        if (sd)
            LocalFree(sd);
        return 0;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    int is_protected = GetSecurityDescriptorControl(sd, &control, &revision) &&
                       (control & SE_DACL_PROTECTED);
    acl_view view;
    acl_entry *store = nullptr;
    int ok = read_view(dacl, is_protected, &view, &store) == 0 && acl_dir_is_protected(&view);
    free(store);
    LocalFree(sd);
    return ok;
}

int acl_check_dir(const char *path)
{
    if (!path || sys_mkdir_p(path) != SYS_OK)
        return -1;
    if (dir_is_protected(path))
        return 0;
    return acl_protect_dir(path) == 0 ? 1 : -1;
}

char *acl_mkdtemp(char *tmpl)
{
    if (!acl_template_ok(tmpl)) {
        errno = EINVAL;
        return nullptr;
    }
    PSECURITY_DESCRIPTOR sd = descriptor_from_sddl(ACL_SDDL_DIR);
    if (!sd) {
        errno = EACCES;
        return nullptr;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    char *tail = tmpl + strlen(tmpl) - 6;
    char *made = nullptr;
    // Stays EEXIST when every attempt meets an existing name.
    errno = EEXIST;
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned char random[6];
        if (!BCRYPT_SUCCESS(A.BCryptGenRandom(nullptr, random, sizeof random,
                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            errno = EIO;
            break;
        }
        acl_name_from_random(tail, random);
        // CreateDirectoryA decides races: another process that took the name
        // first makes this call fail with ERROR_ALREADY_EXISTS.
        if (A.CreateDirectoryA(tmpl, &sa)) {
            made = tmpl;
            break;
        }
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
            continue;
        errno = error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
        break;
    }
    LocalFree(sd);
    if (!made)
        memcpy(tail, "XXXXXX", 6);
    return made;
}

// 1 when the process runs under Wine, whose ntdll exports wine_get_version.
static int under_wine(void)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && A.GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int acl_check_fd(int fd, const char *path, char *err, size_t errlen)
{
    // Wine keeps no real access lists: every file would look open to all.
    if (under_wine())
        return 0;
    if (!path)
        path = "";
    // A negative descriptor would trip the runtime's invalid-parameter handler.
    HANDLE h = fd >= 0 ? (HANDLE)_get_osfhandle(fd) : INVALID_HANDLE_VALUE;
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    if (h == INVALID_HANDLE_VALUE ||
        A.GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                          nullptr, &sd) != ERROR_SUCCESS) {
        if (sd)
            LocalFree(sd);
        acl_format(err, errlen, "cannot read the permissions of %s", path);
        return -1;
    }
    acl_view view;
    acl_entry *store = nullptr;
    int readable = read_view(dacl, 0, &view, &store) == 0;
    int ok = readable && acl_fd_is_private(&view);
    free(store);
    LocalFree(sd);
    if (!readable) {
        acl_format(err, errlen, "cannot read the permissions of %s", path);
        return -1;
    }
    if (!ok) {
        acl_format(err, errlen, "%s is accessible by other accounts than SYSTEM and Administrators",
                   path);
        return -1;
    }
    return 0;
}
