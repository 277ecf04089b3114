// The seam of host_facts_detect: the Windows calls it makes, so that tests can
// stand in an arm64 machine, a server edition or a missing export.
#pragma once
#include <windows.h>

#include "host_facts.h"

struct host_facts_sys {
    // GetNativeSystemInfo.
    void(WINAPI *get_native_system_info)(SYSTEM_INFO *si);
    // The address of the export name of the already loaded module (looked up
    // at run time: GetModuleHandleW, then GetProcAddress), or null.
    FARPROC (*find_export)(const wchar_t *module, const char *name);
};

// The real calls.
extern const host_facts_sys host_facts_sys_windows;

// host_facts_detect with the given calls.
void host_facts_detect_with(host_facts *hf, const host_facts_sys *sys);
