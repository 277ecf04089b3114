// The flows that change the installation: install (also update, modify and
// repair) and uninstall, with the two readers of the installed state that the
// wizard uses. Every call that leaves the process goes through setup_flow_sys,
// so the flows' decisions are tested with the calls replaced.
#pragma once
#include <stddef.h>

#include "manifest.h"
#include "setup_context.h"
#include "state.h"

enum {
    SETUP_FLOW_MSG = 400,       // message of one integration step
    SETUP_FLOW_REASON = 300,    // reason of the release choice
    SETUP_FLOW_DATA_DIR = 600,  // the data directory in a report line
    SETUP_FLOW_NAMES = 600,     // display names of a component list
    SETUP_FLOW_KEPT = 1110,     // the kept copy of a faulty settings file
    SETUP_FLOW_WHY = 1400       // why the settings file was kept, or not written
};

// What the install flow hands to the engine: the chosen release and one
// package per resolved component id, in the order of the ids.
struct setup_install_plan {
    const char *version;                                    // the release's version (in the catalog)
    const manifest_artifact *packages[SETUP_MAX_COMPONENTS]; // the package of each id
    size_t count;                                           // number of resolved ids
    char component_list[256];                               // the resolved ids joined by ","
};

// The calls of the flows. The Windows build passes the real ones; tests pass
// their own to see what each step was given and to make it fail.
struct setup_flow_sys {
    // win_is_admin: 1 when the process runs as an administrator.
    int (*is_admin)(void);
    // state_read: the updater's state, or the empty state; always 0.
    int (*state_read)(const updater_config *cfg, updater_state *st);
    // The data directory into buf (setup_data_dir); returns buf.
    char *(*data_dir)(const setup_context *ctx, char *buf, size_t size);
    // win_update_task_exists: 1 the daily task exists, 0 it does not, -1 test
    // mode or the query failed.
    int (*update_task_exists)(setup_context *ctx);

    // ---- uninstall ----
    // updater_uninstall_begin: 0 with updater.lock held and nothing busy (the
    // removal through engine_uninstall must follow); 75 busy; else failed
    // with a sentence. Nothing is removed by it.
    int (*uninstall_begin)(const updater_config *cfg, char *err, size_t errlen);
    // Removes the Windows entries of the installation (tasks, service and
    // firewall rule, hand-over files, PATH entry, uninstall key, links); 0, or
    // non-zero with an English or German sentence in msg. Best effort.
    int (*unregister)(setup_context *ctx, char *msg, size_t msglen);
    // updater_uninstall_locked, under the lock of uninstall_begin, which it
    // releases: 0 removed, 75 busy, else failed with a sentence.
    int (*engine_uninstall)(const updater_config *cfg, int purge, char *err, size_t errlen);
    // setup_purge: deletes updater.conf and the data directory, with report lines.
    void (*purge)(setup_context *ctx);

    // ---- install ----
    // setup_connect: 0 with the catalog loaded, -1 with a German message.
    int (*connect)(setup_context *ctx, char *err, size_t errlen);
    // setup_restrict_data_dir: 0 with its report line, -1 with a sentence.
    int (*restrict_data_dir)(setup_context *ctx, char *err, size_t errlen);
    // install_run with a request built from the plan, the context's settings,
    // host facts and catalog URL, its progress through the report adapters
    // and force 1: 0 done, 75 postponed, else failed with an English sentence.
    int (*install)(setup_context *ctx, const setup_install_plan *plan, char *err, size_t errlen);
    // Before the settings file is written anew: when the file at path exists
    // but cannot be read (a faulty or newer line), its bytes are copied to
    // path + ".bad", replacing an older copy. 1 kept, with the copy's path in
    // kept and the reader's English sentence in why; 0 when the file is
    // missing or readable; -1 when it cannot be kept, with a sentence in why.
    int (*config_keep)(const char *path, char *kept, size_t keptlen, char *why, size_t whylen);
    // updconf_write: 0, or non-zero with an English sentence.
    int (*config_write)(const char *path, const updater_config *cfg, char *err, size_t errlen);
    // win_register_install: PATH, uninstall key, links; 0 or -1 with a sentence.
    int (*register_install)(setup_context *ctx, char *err, size_t errlen);
    // The daily update task: create, delete (0 or -1 with a sentence).
    int (*update_task_create)(setup_context *ctx, char *err, size_t errlen);
    int (*update_task_delete)(setup_context *ctx, char *err, size_t errlen);
    // setup_program_path: buf when the program is installed, else null.
    const char *(*program_path)(const setup_context *ctx, const char *name, char *buf,
                                size_t size);
    // The boot task that resumes backups: create (0 or -1), remove an earlier one.
    int (*resume_task_create)(setup_context *ctx, char *err, size_t errlen);
    void (*resume_task_remove)(setup_context *ctx);
    // The scheduler service with its API and firewall rule: set up (0 or -1),
    // remove an earlier one.
    int (*sched_setup)(setup_context *ctx, char *err, size_t errlen);
    void (*sched_remove)(setup_context *ctx);
    // win_console_link: 0, or -1 with a German sentence.
    int (*console_link)(setup_context *ctx, char *err, size_t errlen);
    // setup_server_unsupported: always -1 with its sentence.
    int (*server_unsupported)(setup_context *ctx, char *err, size_t errlen);
    // setup_client_connect: 0, or -1 with a German sentence.
    int (*client_connect)(setup_context *ctx, char *msg, size_t msglen);

    // ---- a switch that an ended run left half done ----
    // updater_recover: 0 healed or nothing to heal, 75 another process
    // holds the lock, 1 with an English sentence when it cannot be recorded.
    int (*recover)(const updater_config *cfg, char *err, size_t errlen);
    // versions_switch_pending: 1 while a switch's journal is on disk (after a
    // failed run: programs live that the state could not record yet).
    int (*switch_pending)(const updater_config *cfg);
};

// 0 in test mode or as an administrator; else -1 with "Das Setup braucht
// Administratorrechte (als Administrator ausführen)" in err.
int setup_require_admin(setup_context *ctx, char *err, size_t errlen);
int setup_require_admin_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                             size_t errlen);

// Installs, updates, modifies or repairs (mode 3: uninstalls instead). 0 done;
// 75 postponed; 1 failed. A German message in err unless 0; report lines in
// ctx. A repair registers the daily update task again only where it exists;
// it never creates one that is missing or cannot be looked up.
int setup_install_silent(setup_context *ctx, char *err, size_t errlen);
int setup_install_silent_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                              size_t errlen);

// Heals a switch that an ended run left half done (bin then holds one
// version's programs and the state names them), under the engine's lock;
// every flow that may change the installation does so before it connects.
// 0 healed, nothing to heal, or busy elsewhere (the other run heals it); 1
// with a German message in err when the switch cannot be recorded.
int setup_heal(setup_context *ctx, char *err, size_t errlen);
int setup_heal_with(setup_context *ctx, const setup_flow_sys *sys, char *err, size_t errlen);

// The administrator check (skipped in test mode), then setup_uninstall; 1
// when the check fails.
int setup_uninstall_silent(setup_context *ctx, char *err, size_t errlen);
int setup_uninstall_silent_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                                size_t errlen);
// Decides first, under the engine's lock, whether anything is busy (then 75
// and nothing is touched); then removes the Windows entries, the programs
// through the engine and, with purge, the settings and the data directory.
// 0 removed; 75 postponed; any other value failed. A German message in err
// unless 0; report lines in ctx.
int setup_uninstall(setup_context *ctx, char *err, size_t errlen);
int setup_uninstall_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                         size_t errlen);

// Reads the installed components and version from the state into ctx. 1 when
// a version is installed, else 0.
int setup_read_installed(setup_context *ctx);
int setup_read_installed_with(setup_context *ctx, const setup_flow_sys *sys);
// Looks up whether the daily update task exists (update_task_state) when
// something is installed; a missing task switches updater_schedule off.
void setup_read_task_state(setup_context *ctx);
void setup_read_task_state_with(setup_context *ctx, const setup_flow_sys *sys);
