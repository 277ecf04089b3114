// The Windows calls of the process runner, reachable through one table so
// that a test can make a single call fail on purpose (no pipe, no job, a job
// that refuses its limit or the program, a start refused by a virus scanner,
// a thread that does not resume) and watch the runner's fallbacks and that it
// closes every handle it opened on each path.
#pragma once
#include <windows.h>

#include <tlhelp32.h>

// One pointer per Windows function the runner calls; proc_calls starts out
// holding the real functions.
struct proc_api {
    BOOL(WINAPI *CreatePipe)(PHANDLE, PHANDLE, LPSECURITY_ATTRIBUTES, DWORD);  // output pipe
    BOOL(WINAPI *SetHandleInformation)(HANDLE, DWORD, DWORD);                // read end kept back
    HANDLE(WINAPI *CreateJobObjectA)(LPSECURITY_ATTRIBUTES, LPCSTR);           // the run's job
    BOOL(WINAPI *SetInformationJobObject)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD); // kill on close
    BOOL(WINAPI *AssignProcessToJobObject)(HANDLE, HANDLE);                  // program into job
    UINT(WINAPI *SetErrorMode)(UINT);                                        // no error boxes
    BOOL(WINAPI *CreateProcessA)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                 BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA,
                                 LPPROCESS_INFORMATION);                     // the start
    DWORD(WINAPI *ResumeThread)(HANDLE);                                     // let it run
    BOOL(WINAPI *TerminateJobObject)(HANDLE, UINT);                          // end the job
    BOOL(WINAPI *TerminateProcess)(HANDLE, UINT);                            // end one process
    BOOL(WINAPI *PeekNamedPipe)(HANDLE, LPVOID, DWORD, LPDWORD, LPDWORD, LPDWORD); // bytes waiting
    BOOL(WINAPI *ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);    // output
    DWORD(WINAPI *WaitForSingleObject)(HANDLE, DWORD);                       // the program's end
    BOOL(WINAPI *GetExitCodeProcess)(HANDLE, LPDWORD);                       // its exit code
    BOOL(WINAPI *CloseHandle)(HANDLE);                                       // every handle
    DWORD(WINAPI *GetEnvironmentVariableA)(LPCSTR, LPSTR, DWORD);            // saved values
    BOOL(WINAPI *SetEnvironmentVariableA)(LPCSTR, LPCSTR);                   // overrides
    ULONGLONG(WINAPI *GetTickCount64)(void);                                 // the time limit
    HANDLE(WINAPI *CreateToolhelp32Snapshot)(DWORD, DWORD);                  // process list
    BOOL(WINAPI *Process32First)(HANDLE, LPPROCESSENTRY32);                  // its first entry
    BOOL(WINAPI *Process32Next)(HANDLE, LPPROCESSENTRY32);                   // the next ones
};

// The table the runner calls through. Tests replace single members and put
// the saved table back afterwards; product code never writes it.
extern proc_api proc_calls;
