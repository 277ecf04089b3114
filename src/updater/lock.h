// What every change of an installation needs around the version switch: the
// lock file "updater.lock" in the state directory that keeps an updater and a
// setup from changing one installation at the same time, the removal of a
// whole installation (programs in use included), and the adoption of an
// installation whose programs were copied into one directory by hand.
//
// The lock is one process-wide handle, used by one thread. The file is never
// written and never deleted here (only an uninstall with purge deletes it).
// Everything but agent_version_scan is in lock_win.cpp.
#pragma once
#include <stddef.h>

#include "updconf.h"

enum {
    LOCK_PATH_MAX = 800,         // the lock file's path, its NUL included
    LOCK_AGENT_TIMEOUT = 30,     // seconds for "orv_agent.exe --version"
    LOCK_AGENT_OUTPUT = 256,     // its output kept
    LOCK_VERSION_MAX = 64,       // a version text, its NUL included
    LOCK_DIR_MAX = 259,          // characters of the directory to adopt
    LOCK_SWITCH_MSG = 300,       // message buffer of the switch during an adoption
};

// Reads "orv_agent %63s" from the agent's answer to "--version" into version
// (LOCK_VERSION_MAX bytes). Returns the number of fields read: 1 when text
// begins with the agent's name and a version word follows, else 0 or -1.
int agent_version_scan(const char *text, char version[LOCK_VERSION_MAX]);

// The process id in the name of a staging directory: ".staging-<version>-
// <pid>" or one of its scratch directories ".staging-<version>-<pid>.p<n>".
// 1 with *pid set, else 0 (a name of another form).
int staging_name_pid(const char *name, unsigned long *pid);

// Takes "<state_dir>\updater.lock" (created with the state directory when
// missing), opened for writing and shared with nobody. 0 held; -1 busy
// (another process holds it); -2 the directory or the file cannot be used.
// The holder then removes the staging directories that runs of other,
// no longer running, processes left in the installation directory.
int updater_lock_acquire(const updater_config *cfg);
// Lets the lock go when it is held; the file stays.
void updater_lock_release(void);
// 1 while this process holds the lock, else 0.
int updater_lock_held(void);
// Removes the installation: the live programs (a file in use is moved to
// "<file>.old-<pid>-<n>" and left to the next start of Windows), "bin", the
// version directories, staging directories and, when empty, the
// installation directory (else it too is left to the next start of
// Windows). 0, or -1 with a sentence in err for a live program that can be
// neither deleted nor moved, for a "versions" that cannot be removed, and for
// an empty installation directory setting (which would name the drive's root).
int versions_remove_all(const updater_config *cfg, char *err, size_t errlen);
// Takes the programs of the flat directory (orv_*.exe, as the version that
// orv_agent.exe reports) as a managed version: copies them into
// "versions\<version>\bin", switches the live programs to it and records it
// in the state. Holds the lock while it works and lets it go again.
// 0 adopted; 1 failed (a sentence in err); 75 busy (the lock is held
// elsewhere; no sentence).
int versions_adopt_existing(const updater_config *cfg, const char *directory, char *err,
                            size_t errlen);
