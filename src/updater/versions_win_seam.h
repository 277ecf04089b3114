// The Windows calls of the version directories and the switch, as a table a
// test can change: Wine cannot make a move fail with a sharing violation or a
// copy with a virus scanner's error 225 in the middle of a switch, and the
// pauses between the tries of a blocked move and the time limit of a
// self-test would make tests slow.
#pragma once
#include <windows.h>

#include "proc.h"

struct versions_win_calls {
    BOOL(WINAPI *move_file)(LPCSTR, LPCSTR, DWORD);          // MoveFileExA
    BOOL(WINAPI *copy_file)(LPCSTR, LPCSTR, BOOL);           // CopyFileA
    BOOL(WINAPI *delete_file)(LPCSTR);                       // DeleteFileA
    DWORD(WINAPI *get_attributes)(LPCSTR);                   // GetFileAttributesA
    BOOL(WINAPI *set_attributes)(LPCSTR, DWORD);             // SetFileAttributesA
    HANDLE(WINAPI *find_first)(LPCSTR, LPWIN32_FIND_DATAA);  // FindFirstFileA
    BOOL(WINAPI *find_next)(HANDLE, LPWIN32_FIND_DATAA);     // FindNextFileA
    BOOL(WINAPI *find_close)(HANDLE);                        // FindClose
    void(WINAPI *sleep)(DWORD);                              // Sleep
    // proc_run, for the self-test: a test makes a program time out without
    // waiting the minute that takes.
    int (*run)(const char *const *argv, const char *const *env, uint32_t timeout_s, char *out,
               size_t outcap, proc_result *res);
    // The journal's writes: a test ends the process between a step's line
    // and the step, or makes the journal fail.
    BOOL(WINAPI *write_file)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);  // WriteFile
    BOOL(WINAPI *flush_file)(HANDLE);                                         // FlushFileBuffers
};

// The calls the unit makes; the real functions unless a test swapped some.
extern versions_win_calls versions_win;
// The real functions, for a test to restore or to call through.
extern const versions_win_calls versions_win_real;
