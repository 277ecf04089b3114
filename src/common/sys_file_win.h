// The Windows calls of the platform layer's file unit, reachable through one
// table so that a test can make a single call fail on purpose (a sharing
// violation, a full disk, a device that wants aligned reads) and watch the
// layer's retry and error paths, which no real system produces on demand.
#pragma once
#include <windows.h>

// One pointer per Windows function the file unit calls; sys_file_calls starts
// out holding the real functions.
struct sys_file_api {
    HANDLE(WINAPI *CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                HANDLE);                              // every open
    BOOL(WINAPI *CloseHandle)(HANDLE);                               // sys_file_close
    BOOL(WINAPI *ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED); // positional reads
    BOOL(WINAPI *WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED); // positional writes
    BOOL(WINAPI *FlushFileBuffers)(HANDLE);                          // sys_file_flush
    BOOL(WINAPI *DeviceIoControl)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                  LPOVERLAPPED);                     // sparse flag, disk length
    BOOL(WINAPI *SetFilePointerEx)(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD); // truncate
    BOOL(WINAPI *SetEndOfFile)(HANDLE);                              // truncate
    BOOL(WINAPI *GetFileSizeEx)(HANDLE, PLARGE_INTEGER);             // sys_file_size
    DWORD(WINAPI *GetFileAttributesA)(LPCSTR);                       // existence, directory checks
    BOOL(WINAPI *DeleteFileA)(LPCSTR);                               // sys_delete
    BOOL(WINAPI *RemoveDirectoryA)(LPCSTR);                          // sys_rmdir
    BOOL(WINAPI *MoveFileExA)(LPCSTR, LPCSTR, DWORD);                // renames
    BOOL(WINAPI *LockFileEx)(HANDLE, DWORD, DWORD, DWORD, DWORD, LPOVERLAPPED); // first-byte lock
    BOOL(WINAPI *UnlockFileEx)(HANDLE, DWORD, DWORD, DWORD, LPOVERLAPPED);      // its release
    HANDLE(WINAPI *FindFirstFileA)(LPCSTR, LPWIN32_FIND_DATAA);      // listing start
    BOOL(WINAPI *FindNextFileA)(HANDLE, LPWIN32_FIND_DATAA);         // listing step
    BOOL(WINAPI *FindClose)(HANDLE);                                 // listing end
    BOOL(WINAPI *CreateDirectoryA)(LPCSTR, LPSECURITY_ATTRIBUTES);   // directory creation
    LPVOID(WINAPI *VirtualAlloc)(LPVOID, SIZE_T, DWORD, DWORD);      // bounce buffer
    BOOL(WINAPI *VirtualFree)(LPVOID, SIZE_T, DWORD);                // its release
};

// The table the file unit calls through. Tests replace single members and put
// the saved table back afterwards; product code never writes it.
extern sys_file_api sys_file_calls;
