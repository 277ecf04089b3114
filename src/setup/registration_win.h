// What tests change in the Windows registration: the key that holds the
// system PATH (a test key keeps the real PATH of the test machine safe) and
// the broadcast that tells running programs about a new PATH.
#pragma once
#include <windows.h>

struct registration_sys {
    const char *environment_key; // below HKEY_LOCAL_MACHINE, holds "Path"
    LRESULT(WINAPI *send_message_timeout)(HWND window, UINT message, WPARAM wparam,
                                          LPARAM lparam, UINT flags, UINT timeout_ms,
                                          PDWORD_PTR result); // SendMessageTimeoutA
};

// The key and the call the registration uses; the real ones unless a test
// swapped them.
extern registration_sys registration_calls;
