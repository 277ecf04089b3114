// The service control manager calls of the scheduler coordination, as a
// table a test can change: Wine's service manager cannot refuse access on
// demand or keep a service stop-pending, and the half-second pauses of the
// stop would make a test of the 30 s limit slow.
#pragma once
#include <windows.h>

struct sched_win_calls {
    SC_HANDLE(WINAPI *open_manager)(LPCSTR, LPCSTR, DWORD);                    // OpenSCManagerA
    SC_HANDLE(WINAPI *open_service)(SC_HANDLE, LPCSTR, DWORD);                 // OpenServiceA
    BOOL(WINAPI *query_status_ex)(SC_HANDLE, SC_STATUS_TYPE, LPBYTE, DWORD, LPDWORD);  // QueryServiceStatusEx
    BOOL(WINAPI *query_config)(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD);    // QueryServiceConfigA
    BOOL(WINAPI *control)(SC_HANDLE, DWORD, LPSERVICE_STATUS);                 // ControlService
    BOOL(WINAPI *query_status)(SC_HANDLE, LPSERVICE_STATUS);                   // QueryServiceStatus
    BOOL(WINAPI *start)(SC_HANDLE, DWORD, LPCSTR *);                           // StartServiceA
    BOOL(WINAPI *close)(SC_HANDLE);                                            // CloseServiceHandle
    void(WINAPI *sleep)(DWORD);                                                // Sleep
};

// The calls the unit makes; the real functions unless a test swapped some.
extern sched_win_calls sched_win;
// The real functions, for a test to restore or to call through.
extern const sched_win_calls sched_win_real;
