// The Windows calls of the console front end, replaceable by tests that need a
// console where the test runner has only pipes.
#pragma once
#include <windows.h>

struct console_sys {
    HANDLE(WINAPI *get_std_handle)(DWORD which);                     // GetStdHandle
    BOOL(WINAPI *get_console_mode)(HANDLE console, LPDWORD mode);    // GetConsoleMode
    BOOL(WINAPI *write_console_w)(HANDLE console, const VOID *units, DWORD count,
                                  LPDWORD written, LPVOID reserved); // WriteConsoleW
    int (*is_tty)(int fd);                                           // _isatty, for the bar
};

// The calls the front end makes; the real ones unless a test swapped them.
extern console_sys console_calls;
