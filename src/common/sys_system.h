// The platform layer's facts about the computer (processors, memory, names,
// the operating system, free space, network paths, full paths, the temporary
// directory), its monotonic clocks, sleeping and background priority.
// Routines that can fail return a code of sys_result.h; the others return
// their value or nothing, as stated at each. Threads and condition variables
// are in sys_thread.h.
//
// The rules that decide over plain data (the operating system's name, the
// trimming of the temporary directory, the network-path prefixes, the
// microsecond arithmetic) are pure functions here, so the native build checks
// them too; the Windows calls are in sys_system_win.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "sys_result.h"

// Buffers the layer asks the system to fill: a path and its NUL.
#define SYS_MAX_PATH_BUF 261
// Used when the system names no temporary directory.
#define SYS_TEMP_FALLBACK "C:\\Windows\\Temp"

// The number of logical processors; never 0.
uint32_t sys_cpu_count(void);
// The physical memory in bytes; 0 when the system does not say.
uint64_t sys_total_memory(void);
// The NetBIOS computer name into buf (size bytes); -1 when it does not fit.
int sys_computer_name(char *buf, uint32_t size);
// The host's fully qualified DNS name, else its NetBIOS name, else the empty
// text, into buf (size bytes, always terminated when size is not 0).
void sys_host_name(char *buf, size_t size);
// "NAME Build N" of the running Windows (or "unknown"), cut to size; always 0.
int sys_os_version(char *buf, size_t size);
// The bytes free for the calling user on the volume holding path.
int sys_disk_free(const char *path, uint64_t *out);
// *flag (never null) = 1 when path lies on a network share, else 0 (also on
// an error).
int sys_is_network_path(const char *path, int *flag);
// The absolute form of path, which must name an existing file or directory,
// into buf (size bytes); -3 when it does not fit with its NUL.
int sys_full_path(const char *path, char *buf, size_t size);
// The temporary directory without trailing separators into buf (size bytes).
void sys_temp_dir(char *buf, size_t size);
// The current process id.
uint32_t sys_pid(void);

// Milliseconds since the system started; monotonic.
uint64_t sys_ticks_ms(void);
// Microseconds of the performance counter; monotonic.
int64_t sys_clock_us(void);
// Suspends the calling thread for ms milliseconds.
void sys_sleep_ms(uint32_t ms);
// Puts the whole process into background processing mode: non-zero on success.
int sys_background_begin(void);
// Background processing mode on (non-zero) or off for the whole process:
// non-zero on success.
int sys_background(int on);

// The operating system's name for a version record: only 10.0 is told
// apart; product_type 1 is a workstation.
const char *sys_os_name(uint32_t major, uint32_t minor, uint32_t build, uint32_t product_type);
// Removes trailing "\" and "/" from a text of 4 characters or more, keeping
// at least three, so "C:\" stays whole.
void sys_trim_separators(char *text);
// Decides a path by its prefix alone: 1 with *flag set when the prefix
// decides (a UNC path, or an extended or device path naming "UNC"), 0 when
// the path's volume must be asked.
int sys_network_prefix(const char *path, int *flag);
// count / frequency in microseconds without overflowing 64 bits; frequency
// is never 0.
int64_t sys_counter_to_us(int64_t count, int64_t frequency);
