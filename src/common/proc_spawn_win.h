// The Windows calls of the spawner that the runner's table (proc_win.h)
// does not hold, reachable through one table so that a test can fake a
// console to break into, a refused handle list or a missing null device.
#pragma once
#include <windows.h>

// One pointer per Windows function; proc_spawn_calls starts out holding the
// real functions.
struct proc_spawn_api {
    HANDLE(WINAPI *CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                HANDLE);                                // the null device
    BOOL(WINAPI *DuplicateHandle)(HANDLE, HANDLE, HANDLE, LPHANDLE, DWORD, BOOL, DWORD); // targets
    HANDLE(WINAPI *GetStdHandle)(DWORD);                                 // parent's standard error
    BOOL(WINAPI *GetHandleInformation)(HANDLE, LPDWORD);                 // extra handles' flags
    BOOL(WINAPI *InitializeProcThreadAttributeList)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD,
                                                    PSIZE_T);            // the handle list
    BOOL(WINAPI *UpdateProcThreadAttribute)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR,
                                            PVOID, SIZE_T, PVOID, PSIZE_T); // its one attribute
    VOID(WINAPI *DeleteProcThreadAttributeList)(LPPROC_THREAD_ATTRIBUTE_LIST); // its end
    UINT(WINAPI *GetConsoleCP)(void);                                    // has the parent a console
    BOOL(WINAPI *GenerateConsoleCtrlEvent)(DWORD, DWORD);                // the break
    BOOL(WINAPI *AttachConsole)(DWORD);                                  // borrow the child's console
    BOOL(WINAPI *FreeConsole)(void);                                     // give it back
    BOOL(WINAPI *SetConsoleCtrlHandler)(PHANDLER_ROUTINE, BOOL);         // ignore our own break
    VOID(WINAPI *Sleep)(DWORD);                                          // pause after the break
};

// The table the spawner calls through, beside proc_calls for the calls it
// shares with the runner. Tests replace single members and put the saved
// table back afterwards; product code never writes it.
extern proc_spawn_api proc_spawn_calls;
