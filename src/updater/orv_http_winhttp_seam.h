// The Windows calls of the WinHTTP client, as a table a test can change to
// make one of them fail or to watch it: Wine cannot produce every WinHTTP
// error, and a key deletion leaves nothing to look at.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <ncrypt.h>

struct http_win_calls {
    HINTERNET(WINAPI *open)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
    BOOL(WINAPI *close_handle)(HINTERNET);
    BOOL(WINAPI *set_timeouts)(HINTERNET, int, int, int, int);
    BOOL(WINAPI *set_option)(HINTERNET, DWORD, LPVOID, DWORD);
    HINTERNET(WINAPI *connect)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
    HINTERNET(WINAPI *open_request)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR *, DWORD);
    BOOL(WINAPI *add_headers)(HINTERNET, LPCWSTR, DWORD, DWORD);
    BOOL(WINAPI *send_request)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR);
    BOOL(WINAPI *receive_response)(HINTERNET, LPVOID);
    BOOL(WINAPI *query_option)(HINTERNET, DWORD, LPVOID, LPDWORD);
    BOOL(WINAPI *query_headers)(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD);
    BOOL(WINAPI *read_data)(HINTERNET, LPVOID, DWORD, LPDWORD);
    HCERTSTORE(WINAPI *pfx_import)(CRYPT_DATA_BLOB *, LPCWSTR, DWORD);
    SECURITY_STATUS(WINAPI *open_provider)(NCRYPT_PROV_HANDLE *, LPCWSTR, DWORD);
    SECURITY_STATUS(WINAPI *open_key)(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE *, LPCWSTR, DWORD, DWORD);
    SECURITY_STATUS(WINAPI *delete_key)(NCRYPT_KEY_HANDLE, DWORD);
    SECURITY_STATUS(WINAPI *free_object)(NCRYPT_HANDLE);
};

// The calls the client makes; the real functions unless a test swapped some.
extern http_win_calls http_win;
// The real functions, for a test to restore or to call through.
extern const http_win_calls http_win_real;
