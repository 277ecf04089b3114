// Host facts of this Windows computer. IsWow64Process2 and RtlGetVersion are
// looked up at run time: the first is missing before Windows 10 1511, and the
// second is not in the import libraries of every toolchain. RtlGetVersion is
// used because GetVersionEx answers with the version of the program's
// manifest instead of the system's.
#include <string.h>

#include "host_facts_win.h"

typedef BOOL(WINAPI *is_wow64_process2_fn)(HANDLE process, USHORT *process_machine,
                                           USHORT *native_machine);
typedef LONG(WINAPI *rtl_get_version_fn)(RTL_OSVERSIONINFOEXW *info);

static FARPROC find_export(const wchar_t *module, const char *name)
{
    HMODULE m = GetModuleHandleW(module);
    return m ? GetProcAddress(m, name) : nullptr;
}

const host_facts_sys host_facts_sys_windows = {GetNativeSystemInfo, find_export};

// Turns an export's address into the function type it has.
template <typename T> static T as_function(FARPROC p)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)(void)>(p));
}

void host_facts_detect_with(host_facts *hf, const host_facts_sys *sys)
{
    memset(hf, 0, sizeof *hf);
    strcpy(hf->os, "windows");

    USHORT process_machine = 0, native_machine = 0;
    int have_machine = 0;
    auto wow64 = as_function<is_wow64_process2_fn>(sys->find_export(L"kernel32.dll", "IsWow64Process2"));
    if (wow64 && wow64(GetCurrentProcess(), &process_machine, &native_machine))
        have_machine = 1;
    SYSTEM_INFO si;
    memset(&si, 0, sizeof si);
    sys->get_native_system_info(&si);
    strcpy(hf->arch, host_facts_arch(have_machine, native_machine, si.wProcessorArchitecture));

    auto get_version = as_function<rtl_get_version_fn>(sys->find_export(L"ntdll.dll", "RtlGetVersion"));
    if (!get_version)
        return;
    RTL_OSVERSIONINFOEXW info;
    static_assert(sizeof info == 284, "the extended, wide version record");
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (get_version(&info) != 0)
        return;
    hf->build = info.dwBuildNumber;
    hf->server = info.wProductType != VER_NT_WORKSTATION ? 1 : 0;
}

void host_facts_detect(host_facts *hf) { host_facts_detect_with(hf, &host_facts_sys_windows); }
