// The Windows calls of the process runner, reachable through one table so
// that a test can make a single call fail on purpose (no pipe, no job, a job
// that refuses its limit or the program, a start refused by a virus scanner,
// a thread that does not resume, a system that cannot name the job at the
// start) and watch the runner's fallbacks and that it closes every handle it
// opened on each path.
#pragma once
#include <windows.h>

#include <tlhelp32.h>

#include "proc.h"

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
    BOOL(WINAPI *InitializeProcThreadAttributeList)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD,
                                                    PSIZE_T);                // the start's list
    BOOL(WINAPI *UpdateProcThreadAttribute)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID,
                                            SIZE_T, PVOID, PSIZE_T);         // its handle and job lists
    VOID(WINAPI *DeleteProcThreadAttributeList)(LPPROC_THREAD_ATTRIBUTE_LIST); // its end
    BOOL(WINAPI *GetHandleInformation)(HANDLE, LPDWORD);                     // input inheritable?
};

// The table the runner calls through. Tests replace single members and put
// the saved table back afterwards; product code never writes it.
extern proc_api proc_calls;

// One environment variable that a run overrides, and how to put it back.
struct proc_env_saved {
    char name[PROC_ENV_NAME_MAX]; // the variable's name
    char *value;                  // its value before the run (malloc'ed), or null when unset
};

// The overrides of one run, in the order they were made.
struct proc_env_overrides {
    proc_env_saved items[PROC_ENV_MAX]; // the variables changed
    int count;                          // how many of items are in use
};

// Applies the "name=value" entries of env (null-terminated; env itself may
// be null) to this process's environment and notes in ov how to undo them.
// Entries without "=", with an empty name or with a name of
// PROC_ENV_NAME_MAX characters or more are skipped; after PROC_ENV_MAX taken
// entries the rest is ignored. A value of any length is kept for the undo, so
// a long PATH comes back whole; a variable whose value cannot be kept is
// left alone. Shared by the runner and the spawner.
void proc_env_apply(const char *const *env, proc_env_overrides *ov);
// Gives every overridden variable its value from before the run back, or
// removes it when it was unset, and frees what ov held. Last override first:
// when one name is given twice, the second saved the first one's value, and
// the first one's saved value, the original, must be the one that stays.
void proc_env_restore(proc_env_overrides *ov);
