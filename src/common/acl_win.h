// The Windows calls of the protected-file unit that touch the system,
// reachable through one table so a test can hand the unit an access list
// that Wine cannot keep, or make a call fail, and watch the decision and
// repair paths.
#pragma once
#include <windows.h>

#include <aclapi.h>
#include <bcrypt.h>

// One pointer per Windows function; acl_calls starts out holding the real ones.
struct acl_api {
    BOOL(WINAPI *ConvertStringSecurityDescriptorToSecurityDescriptorA)(
        LPCSTR, DWORD, PSECURITY_DESCRIPTOR *, PULONG);            // SDDL to descriptor
    HANDLE(WINAPI *CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                HANDLE);                           // acl_create_file
    DWORD(WINAPI *SetSecurityInfo)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID,
                                   PACL, PACL);                    // list of an emptied file
    DWORD(WINAPI *SetNamedSecurityInfoA)(LPSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID,
                                         PSID, PACL, PACL);        // acl_protect_dir
    DWORD(WINAPI *GetNamedSecurityInfoA)(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                         PSID *, PACL *, PACL *,
                                         PSECURITY_DESCRIPTOR *);  // acl_check_dir
    DWORD(WINAPI *GetSecurityInfo)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *, PSID *,
                                   PACL *, PACL *, PSECURITY_DESCRIPTOR *); // acl_check_fd
    NTSTATUS(WINAPI *BCryptGenRandom)(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG); // mkdtemp names
    BOOL(WINAPI *CreateDirectoryA)(LPCSTR, LPSECURITY_ATTRIBUTES);   // acl_mkdtemp
    FARPROC(WINAPI *GetProcAddress)(HMODULE, LPCSTR);                // the Wine check
};

// The table the unit calls through. Tests replace single members and put the
// saved table back afterwards; product code never writes it.
extern acl_api acl_calls;
