// Wall clock and critical sections: the two platform services the log needs.
#include "sys_clock.h"

// FILETIME of 1970-01-01 00:00:00 UTC (100 ns units since 1601-01-01).
static const uint64_t kUnixEpochFiletime = 116444736000000000ULL;

static uint64_t now_filetime(void)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

// The difference is taken unsigned, as the system clock is never before 1970.
int64_t sys_filetime_to_unix_s(uint64_t filetime)
{
    return (int64_t)((filetime - kUnixEpochFiletime) / 10000000ULL);
}

int64_t sys_filetime_to_unix_ms(uint64_t filetime)
{
    return (int64_t)((filetime - kUnixEpochFiletime) / 10000ULL);
}

int64_t sys_time_now(void) { return sys_filetime_to_unix_s(now_filetime()); }

int64_t sys_time_now_ms(void)
{
    return sys_filetime_to_unix_ms(now_filetime());
}

void sys_mutex_init(sys_mutex *m) { InitializeCriticalSection(m); }
void sys_mutex_destroy(sys_mutex *m) { DeleteCriticalSection(m); }
void sys_mutex_lock(sys_mutex *m) { EnterCriticalSection(m); }
void sys_mutex_unlock(sys_mutex *m) { LeaveCriticalSection(m); }
