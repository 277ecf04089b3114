// The Windows calls of the system facts whose answers a test must choose (a
// temporary path ending in separators, a mapped network drive, a full path
// longer than the buffer), reachable through one table.
#pragma once
#include <windows.h>

// One pointer per Windows function the facts unit calls; sys_system_calls
// starts out holding the real functions.
struct sys_system_api {
    DWORD(WINAPI *GetTempPathA)(DWORD, LPSTR);                    // sys_temp_dir
    BOOL(WINAPI *GetVolumePathNameA)(LPCSTR, LPSTR, DWORD);       // network path: its volume
    UINT(WINAPI *GetDriveTypeA)(LPCSTR);                          // network path: the volume's kind
    DWORD(WINAPI *GetFullPathNameA)(LPCSTR, DWORD, LPSTR, LPSTR *); // sys_full_path
    DWORD(WINAPI *GetFileAttributesA)(LPCSTR);                    // sys_full_path: existence
    BOOL(WINAPI *GetComputerNameExA)(COMPUTER_NAME_FORMAT, LPSTR, LPDWORD); // DNS name
    BOOL(WINAPI *GetComputerNameA)(LPSTR, LPDWORD);               // NetBIOS name
    BOOL(WINAPI *QueryPerformanceFrequency)(LARGE_INTEGER *);     // sys_clock_us
    BOOL(WINAPI *QueryPerformanceCounter)(LARGE_INTEGER *);       // sys_clock_us
};

// The table the facts unit calls through. Tests replace single members and
// put the saved table back afterwards; product code never writes it.
extern sys_system_api sys_system_calls;
