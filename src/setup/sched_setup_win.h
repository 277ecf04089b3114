// The Windows calls of the scheduler's set-up and removal that tests replace:
// the service control manager, the wait between status queries, the job
// question to the running scheduler, and the write of the new settings file.
#pragma once
#include <windows.h>

#include "updconf.h"

struct sched_setup_sys {
    SC_HANDLE(WINAPI *open_sc_manager)(LPCSTR machine, LPCSTR database, DWORD access);
    SC_HANDLE(WINAPI *open_service)(SC_HANDLE scm, LPCSTR name, DWORD access);
    SC_HANDLE(WINAPI *create_service)(SC_HANDLE scm, LPCSTR name, LPCSTR display, DWORD access,
                                      DWORD type, DWORD start, DWORD error_control,
                                      LPCSTR command_line, LPCSTR group, LPDWORD tag,
                                      LPCSTR dependencies, LPCSTR account, LPCSTR password);
    BOOL(WINAPI *change_service_config)(SC_HANDLE svc, DWORD type, DWORD start,
                                        DWORD error_control, LPCSTR command_line, LPCSTR group,
                                        LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                        LPCSTR password, LPCSTR display);
    BOOL(WINAPI *change_service_config2)(SC_HANDLE svc, DWORD level, LPVOID info); // W variant
    BOOL(WINAPI *query_service_status)(SC_HANDLE svc, LPSERVICE_STATUS status);
    BOOL(WINAPI *control_service)(SC_HANDLE svc, DWORD control, LPSERVICE_STATUS status);
    BOOL(WINAPI *start_service)(SC_HANDLE svc, DWORD argc, LPCSTR *argv);
    BOOL(WINAPI *delete_service)(SC_HANDLE svc);
    BOOL(WINAPI *close_service_handle)(SC_HANDLE h);
    void(WINAPI *sleep)(DWORD ms);
    // sched_service_busy of the update engine
    int (*service_busy)(const updater_config *cfg, unsigned long *pid, char *program,
                        size_t program_size, char *err, size_t errlen);
    // _write of the runtime, for the new settings file
    int (*write_file)(int fd, const void *data, unsigned int size);
};

// The calls the scheduler's set-up makes; the real ones unless a test
// swapped them.
extern sched_setup_sys sched_setup_calls;
