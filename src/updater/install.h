// The component install engine: one version made of one package per
// component is downloaded, unpacked package by package into scratch
// directories, checked against each PACKAGE.json, merged into one staging
// directory and handed to the version switch, all under updater.lock and only
// while nothing of the product is busy. Also the removal of an installation,
// the scheduled update of an installation made from components and the
// adding of components to the installed version.
//
// The runs return INSTALL_DONE, INSTALL_FAILED (with one English sentence in
// the caller's buffer) or INSTALL_POSTPONED (something is busy; nothing was
// changed). The pure helpers at the end (install.cpp) decide on texts and
// entries; the runs themselves are in install_win.cpp, their package
// pipeline in pipeline_win.cpp.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "catalog.h"
#include "download.h"
#include "host_facts.h"
#include "manifest.h"
#include "orv_attr.h"
#include "state.h"
#include "unpack.h"
#include "updconf.h"

// Results of the runs.
enum {
    INSTALL_DONE = 0,
    INSTALL_FAILED = 1,
    INSTALL_AVAILABLE = 10,  // update_components_run: an update is there and check_only was set
    INSTALL_POSTPONED = 75
};

enum {
    INSTALL_MAX_ARTIFACTS = 32,   // packages of one version, and ids of one selection
    INSTALL_STEP_TEXT = 80,       // buffer of a step text
    INSTALL_LIST_MAX = 256,       // buffer of the component list text
    INSTALL_NAMES_MAX = 256,      // buffer of the running programs' names
    INSTALL_SCHED_MSG = 256,      // buffer of the scheduler query's message
    INSTALL_PATH_MAX = 1300,      // directory paths and downloaded files
    INSTALL_UNPACK_MSG = 400,     // buffer of the unpacker's and checker's message
    INSTALL_MERGED_FIRST = 64,    // first capacity of the merged entry list
    INSTALL_JSON_MAX = 65535,     // largest PACKAGE.json in bytes
    INSTALL_DOC_URL_MAX = 1100,   // the catalog's document URL
    INSTALL_CHOICE_MSG = 300      // the release choice's message
};
// Byte limit of one unpacked package (1 GiB).
#define INSTALL_UNPACK_LIMIT 1073741824ull
// The version this engine reports for itself to release choice.
#define INSTALL_OWN_VERSION "2.0.0-alpha.027"

// Step progress: the English step text, its index and the number of steps.
// The result is not used.
typedef int (*install_step_fn)(void *user, const char *step, uint64_t index, uint64_t count);

// What to install; filled by the caller, read-only for the engine and valid
// for the duration of the call. The engine owns nothing in it.
struct install_request {
    const char *version;                         // the version to install, a valid version text
    const manifest_artifact *const *artifacts;   // one package per component, in installation order
    uint64_t count;                              // number of artifacts, at most 32
    const char *base_url;                        // URL of the signed document that listed them
    const char *component_list;                  // ids to record, comma-separated; null: the
                                                 // artifacts' component ids joined by ","
    download_bytes_fn bytes_fn;                  // byte progress of each download, or null
    void *bytes_user;                            // passed first to bytes_fn
    install_step_fn step_fn;                     // step progress, or null
    void *step_user;                             // passed first to step_fn
    uint32_t force;                              // 1: install even a version that failed here
};

// Options of the scheduled update.
struct update_options {
    uint32_t check_only;             // 1: only find out whether an update is available
    uint32_t force;                  // 1: try a version that failed on this computer before
    uint32_t allow_downgrade;        // 1: a lower version may be chosen
    uint32_t allow_major;            // 1: a new major version may be chosen
    const char *target_version;      // install exactly this version, or null
    const char *installed_version;   // take this as the installed version, or null
    int32_t bucket;                  // staged-rollout bucket 0 to 99; negative: compute it
};

// Installs the request's version under updater.lock: 0 done, 1 failed with a
// sentence in err, 75 postponed (lock held elsewhere, scheduler busy or not
// stoppable, product program running). The host facts are the caller's; the
// artifacts were already chosen for this host.
int install_run(const updater_config *cfg, const host_facts *hf, const install_request *req,
                char *err, size_t errlen);
// The engine proper, for a caller that holds the lock and has read st; st is
// changed and written. Results as install_run.
int install_components(const updater_config *cfg, const host_facts *hf,
                       const install_request *req, updater_state *st, char *err, size_t errlen);
// Removes the programs and version directories under updater.lock (a switch
// left half done that cannot be recorded does not stop it); with purge
// also the state files, the downloads and the lock file, else it clears the
// installed and previous version and the components in the state. 0, 1 with a
// sentence, or 75 (lock held, product program running, scheduler busy).
int updater_uninstall(const updater_config *cfg, int purge, char *err, size_t errlen);
// Finishes or undoes, under updater.lock, a switch that an ended run left
// half done, so that bin holds one version's programs and the state names
// them: for a flow that may change the installation, before it connects
// (a run that cannot reach its server heals too). Nothing is done, and
// nothing created, when no switch was left. 0 (also when there was nothing
// to do), 75 when another process holds the lock (it heals it itself), or 1
// with a sentence in err when the switch cannot be recorded.
int updater_recover(const updater_config *cfg, char *err, size_t errlen);
// The first half of updater_uninstall for a caller that has its own work to
// do before the removal: takes updater.lock and makes the busy checks. 0 with
// the lock held (updater_uninstall_locked must follow); 75 busy or 1 with a
// sentence, the lock not held.
int updater_uninstall_begin(const updater_config *cfg, char *err, size_t errlen);
// The rest of updater_uninstall under the lock that updater_uninstall_begin
// took: the busy checks again, then the removal. Releases the lock. Results
// as updater_uninstall.
int updater_uninstall_locked(const updater_config *cfg, int purge, char *err, size_t errlen);
// The scheduled update of an installation made from components: loads the
// catalog, chooses a release for the installed components and installs it.
// 0 (done or nothing to do), 1, 10 (available, check_only set) or 75.
int update_components_run(const updater_config *cfg, const update_options *opts,
                          const host_facts *hf, char *err, size_t errlen);
// Adds the n component ids to the installed version (same version, all its
// components again). 0, 1 or 75.
int install_add_components(const updater_config *cfg, const char *const *ids, size_t n,
                           const host_facts *hf, char *err, size_t errlen);
// The update of an installation delivered as one package per release
// (install_update_win.cpp): loads the signed manifest.json, chooses a release
// for this computer, downloads, unpacks and checks its package and puts it
// live with a self-test, undone when that fails. 0 (updated, or nothing to
// do), 1 with a sentence, 10 (available, check_only set) or 75 (busy).
int update_run(const updater_config *cfg, const update_options *opts, const host_facts *hf,
               char *err, size_t errlen);
// Puts the previous version live again and marks the one left as failed.
// 0, 1 with a sentence, or 75 (busy).
int update_rollback(const updater_config *cfg, char *err, size_t errlen);

// ---- steps shared by the runs (install_win.cpp) -----------------------------

// Takes updater.lock for a run and finishes or undoes a switch that an
// earlier run left behind. 0 with the lock held; else the run's result: 75
// when another process holds it (busy_line, when not null, logged at INFO),
// 1 with a sentence in err (the lock not held).
int install_lock_for_run(const updater_config *cfg, const char *busy_line, char *err,
                         size_t errlen);
// Asks the scheduler whether a job runs and stops an idle service, for the
// run named by what ("installation", "update", "rollback"). 0 (*stopped is
// 1 when the run must start the service again), or 75 after the INFO line.
int install_sched_pause(const updater_config *cfg, const char *what, int *stopped);
// 1 after the INFO line "%s is running: postponing the <what>" when a
// product program runs, with the same sentence in err; else 0.
int install_programs_busy(const char *what, char *err, size_t errlen);
// The start of an update: *opts set to the defaults when it is null, err
// emptied; without an update URL the INFO line and the result 0 (nothing to
// do), else -1 to go on.
int install_update_start(const updater_config *cfg, const update_options **opts, char *err,
                         size_t errlen);
// The staged-rollout bucket (the options' when 0 or more, else this
// computer's for the newest release of m) and the release choice's flags
// (RELEASE_ALLOW_*) of an update with opts.
void install_update_choice(const updater_config *cfg, const update_options *opts,
                           const manifest *m, unsigned *bucket, unsigned *flags);
// An update's steps once rel was chosen over installed: logs what is
// available, then gives the run's result when it ends here (0 after the
// WARN line for a version that failed before and is not forced, 10 for a
// check) or -1 to go on.
int install_update_gate(const update_options *opts, const updater_state *st,
                        const char *installed, const manifest_release *rel);
// Reads "<dir>/PACKAGE.json" (1 to 65535 bytes) and checks it against the
// unpacked entries, the version and the component (null: a whole update).
// 0, or -1 with the reason.
int install_check_package_json(const char *dir, const pkg_entry *entries, size_t count,
                               const char *version, const char *component, char *reason,
                               size_t size);

// ---- the pure part (install.cpp) --------------------------------------------

// The unit's plain formatter: vsnprintf into buf (cut, always terminated when
// size is not 0); returns what vsnprintf returns.
int install_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);

// The component list text of a request into out (size bytes, cut there):
// list when it is not null, else the component ids of the count artifacts
// joined by "," (an artifact without an id adds an empty text). Returns the
// length of the whole text, so a result >= size means it was cut.
size_t install_component_list(const manifest_artifact *const *artifacts, size_t count,
                              const char *list, char *out, size_t size);
// The name an artifact goes by in step texts and messages: its component id,
// or "package" when it has none.
const char *install_artifact_name(const manifest_artifact *art);

// The reason for a PACKAGE.json of len bytes that is empty or larger than
// INSTALL_JSON_MAX, or null when its size is fine.
const char *install_json_size_reason(uint64_t len);

// The entries merged into the staging directory so far, from all packages.
// All-zero is the empty list.
struct install_merged {
    pkg_entry *items;   // heap copies, in merge order
    size_t count;       // entries held
    size_t capacity;    // room in items
};

// What merging one entry asks for.
enum install_merge_step {
    MERGE_SKIP = 0,       // the package's own PACKAGE.json: nothing to do
    MERGE_DIR_AGAIN,      // a directory merged before: create it again (parents included)
    MERGE_SAME_FILE,      // the same file, same SHA-256, merged before: nothing to do
    MERGE_CONFLICT,       // the path is merged with other content, or as a directory
    MERGE_NEW_DIR,        // a new directory: create it and add the entry
    MERGE_NEW_FILE        // a new file: move it into staging and add the entry
};

// The index of the merged entry whose path equals path byte for byte, or -1.
long install_merged_find(const install_merged *m, const char *path);
// Decides how to merge e (install_merge_step), given what is merged so far.
int install_merge_plan(const install_merged *m, const pkg_entry *e);
// Appends a copy of e, growing the list to 64 entries first and then by
// doubling. 0, or -1 when memory runs out (the list is unchanged).
int install_merged_add(install_merged *m, const pkg_entry *e);
// Releases the list and empties it.
void install_merged_free(install_merged *m);

// Splits the comma-separated ids of text into buf (size bytes, a copy of
// text cut there) and points ids[] at the non-empty ones, at most cap.
// Returns the number of ids set.
size_t install_split_ids(const char *text, char *buf, size_t size, const char **ids, size_t cap);
// The release of m whose version ranks highest (the first of equal ones), or
// null when there is none.
const manifest_release *install_newest_release(const manifest *m);
// The release of m whose version equals version exactly, or null.
const manifest_release *install_find_release(const manifest *m, const char *version);
