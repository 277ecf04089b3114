// Wall clock and re-entrant mutexes (Windows critical sections).
#pragma once
#include <stdint.h>

#include <windows.h>

// A re-entrant mutex in storage owned by the caller.
typedef CRITICAL_SECTION sys_mutex;

// Whole seconds since 1970-01-01 00:00:00 UTC from the system clock.
int64_t sys_time_now(void);
// Whole milliseconds since 1970-01-01 00:00:00 UTC.
int64_t sys_time_now_ms(void);
// A FILETIME value (100 ns units since 1601) as whole seconds since 1970, truncated.
int64_t sys_filetime_to_unix_s(uint64_t filetime);
// A FILETIME value as whole milliseconds since 1970, truncated.
int64_t sys_filetime_to_unix_ms(uint64_t filetime);

void sys_mutex_init(sys_mutex *m);
void sys_mutex_destroy(sys_mutex *m);
// Blocks until the calling thread owns m; the owner may lock it again.
void sys_mutex_lock(sys_mutex *m);
void sys_mutex_unlock(sys_mutex *m);
