// The Windows calls of the console link that a test must be able to make
// fail: Wine keeps every access list, writes every byte, flushes every file
// and always knows a session's user, so the wiping and clean-up paths would
// stay unseen without them.
#pragma once
#include <windows.h>

#include <wtsapi32.h>

struct link_win_calls {
    BOOL(WINAPI *sd_from_sddl)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR *,
                               PULONG);  // ConvertStringSecurityDescriptorToSecurityDescriptorW
    HANDLE(WINAPI *create_file)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                HANDLE);                        // CreateFileW
    BOOL(WINAPI *write_file)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);  // WriteFile
    BOOL(WINAPI *flush_file)(HANDLE);                            // FlushFileBuffers
    BOOL(WINAPI *session_info)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR *,
                               DWORD *);  // WTSQuerySessionInformationW
};

// The calls the unit makes; the real functions unless a test swapped some.
extern link_win_calls link_win;
