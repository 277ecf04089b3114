// System facts, clocks, priority, threads and condition variables on Win32.
// The calls whose answers tests choose go through sys_system_calls.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sys_system.h"
#include "sys_system_win.h"
#include "sys_thread.h"

sys_system_api sys_system_calls = {
    GetTempPathA,     GetVolumePathNameA, GetDriveTypeA,
    GetFullPathNameA, GetFileAttributesA, GetComputerNameExA,
    GetComputerNameA, QueryPerformanceFrequency, QueryPerformanceCounter,
};

static sys_system_api &W = sys_system_calls;

// The mapped code of the Windows call that has just failed.
static int last_error_code(void) { return sys_map_error(GetLastError()); }

uint32_t sys_cpu_count(void)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? (uint32_t)info.dwNumberOfProcessors : 1;
}

uint64_t sys_total_memory(void)
{
    MEMORYSTATUSEX ms;
    memset(&ms, 0, sizeof ms);
    ms.dwLength = sizeof ms;
    return GlobalMemoryStatusEx(&ms) ? (uint64_t)ms.ullTotalPhys : 0;
}

int sys_computer_name(char *buf, uint32_t size)
{
    if (!buf || size == 0)
        return SYS_EFAIL;
    DWORD n = size;
    return W.GetComputerNameA(buf, &n) ? SYS_OK : SYS_EFAIL;
}

void sys_host_name(char *buf, size_t size)
{
    // Nothing can be written into a buffer without room, not even its NUL.
    if (!buf || size == 0)
        return;
    buf[0] = '\0';
    char dns[256];
    DWORD n = sizeof dns;
    if (W.GetComputerNameExA(ComputerNameDnsFullyQualified, dns, &n) && dns[0]) {
        snprintf(buf, size, "%s", dns);
        return;
    }
    DWORD cap = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)size;
    if (!W.GetComputerNameA(buf, &cap))
        buf[0] = '\0';
}

typedef LONG(WINAPI *rtl_get_version_fn)(PRTL_OSVERSIONINFOEXW);

int sys_os_version(char *buf, size_t size)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    rtl_get_version_fn get =
        ntdll ? (rtl_get_version_fn)(void *)GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    RTL_OSVERSIONINFOEXW v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;  // 284: the extended record
    if (!get || get(&v) != 0) {
        if (buf && size)
            snprintf(buf, size, "unknown");
        return SYS_OK;
    }
    if (buf && size)
        snprintf(buf, size, "%s Build %lu",
                 sys_os_name(v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber, v.wProductType),
                 (unsigned long)v.dwBuildNumber);
    return SYS_OK;
}

int sys_disk_free(const char *path, uint64_t *out)
{
    if (!path || !out)
        return SYS_EINVAL;
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExA(path, &avail, nullptr, nullptr))
        return last_error_code();
    *out = avail.QuadPart;
    return SYS_OK;
}

int sys_is_network_path(const char *path, int *flag)
{
    if (!flag)
        return SYS_EINVAL;
    *flag = 0;
    if (!path)
        return SYS_EINVAL;
    if (sys_network_prefix(path, flag))
        return SYS_OK;
    char volume[SYS_MAX_PATH_BUF];
    if (!W.GetVolumePathNameA(path, volume, sizeof volume))
        return last_error_code();
    *flag = W.GetDriveTypeA(volume) == DRIVE_REMOTE ? 1 : 0;
    return SYS_OK;
}

int sys_full_path(const char *path, char *buf, size_t size)
{
    if (!path || !buf || size == 0)
        return SYS_EINVAL;
    if (W.GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return last_error_code();
    DWORD cap = size > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)size;
    DWORD n = W.GetFullPathNameA(path, cap, buf, nullptr);
    if (n == 0)
        return last_error_code();
    // Too small: the system answers with the size it needs, NUL included,
    // and leaves the buffer undefined.
    if (n >= cap) {
        buf[0] = '\0';
        return SYS_EINVAL;
    }
    return SYS_OK;
}

void sys_temp_dir(char *buf, size_t size)
{
    if (!buf || size == 0)
        return;
    char tmp[SYS_MAX_PATH_BUF];
    DWORD n = W.GetTempPathA(sizeof tmp, tmp);
    const char *dir = n == 0 || n > SYS_MAX_PATH_BUF - 1 ? SYS_TEMP_FALLBACK : tmp;
    snprintf(buf, size, "%s", dir);
    sys_trim_separators(buf);
}

uint32_t sys_pid(void) { return (uint32_t)GetCurrentProcessId(); }

uint64_t sys_ticks_ms(void) { return (uint64_t)GetTickCount64(); }

// The counter's frequency, asked once; threads that race on the first call
// store the same value, and an interlocked store keeps the read whole.
static volatile LONG64 counter_frequency;

int64_t sys_clock_us(void)
{
    LONG64 freq = InterlockedCompareExchange64(&counter_frequency, 0, 0);
    if (freq == 0) {
        LARGE_INTEGER f;
        if (W.QueryPerformanceFrequency(&f) && f.QuadPart > 0) {
            freq = f.QuadPart;
            InterlockedExchange64(&counter_frequency, freq);
        }
    }
    LARGE_INTEGER count;
    // Without a counter the division would be by zero: the millisecond
    // clock is monotonic too.
    if (freq == 0 || !W.QueryPerformanceCounter(&count))
        return (int64_t)GetTickCount64() * 1000;
    return sys_counter_to_us(count.QuadPart, freq);
}

void sys_sleep_ms(uint32_t ms) { Sleep(ms); }

int sys_background_begin(void) { return sys_background(1); }

int sys_background(int on)
{
    return SetPriorityClass(GetCurrentProcess(),
                            on ? PROCESS_MODE_BACKGROUND_BEGIN : PROCESS_MODE_BACKGROUND_END) != 0;
}

// What a new thread needs to call the user's function; the thread frees it.
struct thread_start {
    sys_thread_fn fn; // the user's function
    void *arg;        // its argument
};

static DWORD WINAPI thread_main(LPVOID p)
{
    thread_start s = *(thread_start *)p;
    free(p);
    return s.fn(s.arg);
}

int sys_thread_start(sys_thread *out, sys_thread_fn fn, void *arg)
{
    if (!out || !fn)
        return SYS_EFAIL;
    thread_start *s = (thread_start *)malloc(sizeof *s);
    if (!s)
        return SYS_EFAIL;
    s->fn = fn;
    s->arg = arg;
    HANDLE h = CreateThread(nullptr, 0, thread_main, s, 0, nullptr);
    if (!h) {
        free(s);
        return SYS_EFAIL;
    }
    *out = h;
    return SYS_OK;
}

int sys_thread_join(sys_thread t)
{
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    return SYS_OK;
}

void sys_cond_init(sys_cond *c) { InitializeConditionVariable(c); }
void sys_cond_destroy(sys_cond *c) { (void)c; }

void sys_cond_wait(sys_cond *c, sys_mutex *m) { SleepConditionVariableCS(c, m, INFINITE); }

int sys_cond_timedwait(sys_cond *c, sys_mutex *m, uint32_t ms)
{
    if (SleepConditionVariableCS(c, m, ms))
        return 0;
    return GetLastError() == ERROR_TIMEOUT ? 1 : 0;
}

void sys_cond_signal(sys_cond *c) { WakeConditionVariable(c); }
void sys_cond_broadcast(sys_cond *c) { WakeAllConditionVariable(c); }
