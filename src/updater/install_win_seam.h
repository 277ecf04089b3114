// The neighbours of the install engine that a test must be able to replace:
// Wine has no scheduler service to report a running job, to stop while idle
// or to refuse a stop, the order of the lock's release against the clean-up
// of a purge can only be watched from inside, and no disk fills up on cue.
#pragma once
#include <stddef.h>

#include "unpack.h"
#include "updconf.h"

struct install_win_calls {
    // sched_service_busy
    int (*sched_busy)(const updater_config *cfg, unsigned long *pid, char *program,
                      size_t program_size, char *err, size_t errlen);
    // sched_service_stop
    int (*sched_stop)(const updater_config *cfg, unsigned long pid, char *err, size_t errlen);
    // sched_service_start
    void (*sched_start)(void);
    // proc_running_programs
    int (*running_programs)(char *names, size_t cap);
    // updater_lock_release
    void (*lock_release)(void);
    // unpack_tar_zstd: no test can fill the disk while a package is unpacked
    int (*unpack)(const char *archive, const char *dest, uint64_t limit, pkg_entry **entries,
                  size_t *count, char *err, size_t errlen);
    // fs_create_dirs and fs_replace_file of the merge into staging: nor
    // while a package is merged
    int (*create_dirs)(const char *path);
    int (*replace_file)(const char *source, const char *destination);
};

// The calls the engine makes; the real functions unless a test swapped some.
extern install_win_calls install_win;
// The real functions, for a test to restore or to call through.
extern const install_win_calls install_win_real;
