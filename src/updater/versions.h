// Version directories and the program switch. The installation directory
// holds the live programs in "bin" and one directory per kept version in
// "versions\<version>", whose own "bin" holds that version's programs. A new
// version goes live by moving every live file it replaces (and every live
// file it no longer has) aside under a new name, since Windows lets the file
// of a running program be moved but not overwritten, and copying its programs
// in; each move is remembered in one process-wide undo table, so that a
// failed self-test puts the old programs back exactly.
//
// Layout below the installation directory I (format strings):
//   "%s\bin"                 I: the live programs
//   "%s\versions\%s"         I, version: one kept version; its "bin" beside the rest
//   "%s/.staging-%s-%ld"     I, version, process id: filled by the install engine
//   "%s.old-%lu-%u"          live file, process id, counter: a file moved aside
//   "%s.keep-%lu-%u"         live file, process id, counter: an old file that a
//                            failed undo could not put back, kept for good
//   "%s\versions\%s.old-%lu-%u" I, version, process id, counter: a version
//                            directory kept aside while a new copy of it goes live
//   "%s\switch.journal"      I: what the switch in progress is about to do
//
// The journal makes a switch survive the end of its process: every step is
// written (and flushed) before it is taken, so the next run, under the lock
// and before anything else (versions_recover), can finish a switch whose
// programs had passed their test or undo one that had not, and "bin" holds
// the programs of exactly one version again. Its lines, fields separated by
// tabs:
//   begin <mode> <version> <previous> <components>   first line
//   keep <version directory> <its aside name>        before the rename
//   move <live file> <aside name>                    before the move aside
//   copy <live file>                                 before a copy where nothing stood
//   tested                                           the new programs passed
//
// Every routine works on a copy of the settings whose install_dir and
// state_dir have "\" for every "/". One thread only; the caller holds
// updater.lock around a switch.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "paths.h"
#include "state.h"
#include "unpack.h"
#include "updconf.h"

enum {
    SWITCH_UNDO_MAX = 128,        // files one switch may move and copy
    VERSIONS_MSG_MAX = 400,       // message buffer of the self-test and the hand-over's steps
    VERSIONS_MOVE_TRIES = 21,     // tries of a move that a scanner blocks (20 pauses)
    VERSIONS_RETRY_MS = 500,      // pause between two of those tries
    VERSIONS_SELFTEST_S = 60,     // time limit of one program's self-test
    VERSIONS_SELFTEST_OUT = 512,  // output buffer of one self-test
};

// One file the switch touched in the live bin.
struct switch_undo_entry {
    char target[PATH_1400];  // the live path in bin
    char old[PATH_1500];     // the name target was moved to
    int32_t moved;           // 1 when target was moved to old, 0 when nothing stood there
};

// The process-wide undo table of the current switch.
struct switch_undo {
    switch_undo_entry entries[SWITCH_UNDO_MAX];  // in the order the files were touched
    uint64_t count;                              // valid entries
    uint32_t switch_counter;  // names of files moved aside by the switch (and by the undo)
    uint32_t stray_counter;   // names of files moved aside by the stray pass
};

// What the run that switches does with the state once the new programs are
// live: the journal's modes.
enum versions_mode {
    VERSIONS_INSTALL = 0,   // installed version, previous version (unless the same) and components
    VERSIONS_UPDATE = 1,    // installed and previous version; the components stay
    VERSIONS_ROLLBACK = 2,  // back to the previous version, the abandoned one marked as failed
    VERSIONS_ADOPT = 3      // a flat installation taken over; previous version when it differs
};

enum {
    VERSIONS_JOURNAL_MAX = 1048576,  // bytes of a journal read back
    VERSIONS_JOURNAL_FIELDS = 5      // fields of its longest line
};

// ---- pure decisions, shared with the Windows unit --------------------------

// Copies cfg into out with every "/" of install_dir and state_dir turned into
// a backslash.
void versions_config_copy(const updater_config *cfg, updater_config *out);
// 1 when the stray pass must leave the live file name where it is: a
// moved-aside file (".old-") or an old file a failed undo kept (".keep-").
int versions_stray_exempt(const char *name);
// 1 when the entry name of "versions" is an old version to remove: a valid
// version text equal to neither keep nor keep_also (either may be null).
int versions_prune_candidate(const char *name, const char *keep, const char *keep_also);
// 1 for the errors of a file that someone (a virus scanner, say) holds for a
// moment: sharing violation (32), lock violation (33), access denied (5).
int versions_transient_error(unsigned long error);
// Records a version that passed its self-test in st: previous_version becomes
// previous (empty when nothing was installed) unless the version was already
// the installed one, installed_version becomes version and components the
// component list (cut to 255 characters).
void versions_record_success(updater_state *st, const char *version, const char *previous,
                             const char *components);
// Records in st what a run of mode (versions_mode) records once the programs
// of version are live, switched to from previous (empty when nothing was
// installed); components are recorded only by VERSIONS_INSTALL, and an
// install or update of the version that was installed keeps the previous
// version as it was. Doing it twice gives the same state. -1 (st unchanged)
// for an unknown mode, a version that is not a version text, a previous one
// that is neither empty nor a version text, and for an install a component
// list the state would not read back as it stands; else 0.
int versions_record_mode(updater_state *st, int mode, const char *version, const char *previous,
                         const char *components);
// The name of a mode in the journal ("install", ...), or null.
const char *versions_mode_name(int mode);
// The mode named by a journal's word, or -1.
int versions_mode_of(const char *name);
// Splits one journal line (without its line feed) at its tabs, in place,
// into at most max fields. Returns the number of fields.
int versions_journal_fields(char *line, char **fields, int max);

// ---- on the installation directory ------------------------------------------

// Copies every file of "versions\<version>\bin" (not its subdirectories)
// into the live bin, moving each live file of the same name aside first, and
// remembers every move in the undo table. 0; or -1 with one sentence in err
// after it has undone its own changes (the sentence also says so when the
// undo could not put everything back).
int versions_switch_bin(const updater_config *cfg, const char *version, char *err, size_t errlen);
// Hands a filled staging directory over: checks its programs, moves it into
// place as "versions\<version>", switches the live programs to it, moves
// live files the version does not have aside, self-tests the live programs,
// and on success records version and components in st (written to disk) and
// prunes all version directories but the new and the previous one. entries
// (count of them) are the merged packages' entries. 0 on success; 1 with one
// sentence in err otherwise, the old programs live again and, when a program
// failed, the version added to st's failed versions.
int versions_install_staged(const updater_config *cfg, const char *version, const char *components,
                            const char *staging, const pkg_entry *entries, size_t count,
                            updater_state *st, char *err, size_t errlen);
// Runs every program of the version ("*.exe" in its bin) from the live bin
// with "--selftest", stopping at the first that fails. 0; or -1 with one
// sentence in err (VERSIONS_MSG_MAX bytes).
int versions_selftest_live(const updater_config *cfg, const char *version,
                           char err[VERSIONS_MSG_MAX]);
// Deletes every moved-aside file ("*.old-*") of the live bin that can be
// deleted; one that cannot (a program that still runs) stays for a later call.
void versions_remove_old_files(const updater_config *cfg);
// Removes every directory of "versions" whose name is a version text other
// than keep and keep_also (either may be null), logging each removal;
// anything else there is left alone, and so is what cannot be removed.
void versions_prune(const updater_config *cfg, const char *keep, const char *keep_also);
// Puts the filled staging directory live as "versions\<version>" and the
// version's programs into bin, for a run of mode (VERSIONS_INSTALL or
// VERSIONS_UPDATE), all of it journaled: a version directory that stands
// there already is kept aside until the new one has passed its self-test
// and put back on any failure; live files the version lacks are moved aside
// too (VERSIONS_INSTALL only); the live programs are self-tested. Passed:
// st records the version (and components, for an install) and is written,
// old version directories but the new and the previous one are pruned; 0.
// Otherwise 1 with one sentence in err, the old programs and the old
// directory back and, after a failed self-test, the version in st's failed
// versions (written). Programs that passed but a state that cannot be
// written: 1 with a sentence that says both; the journal stays, so that the
// next run records the version.
int versions_go_live(const updater_config *cfg, int mode, const char *version,
                     const char *components, const char *staging, updater_state *st, char *err,
                     size_t errlen);
// Finishes or undoes a switch that a run ended before it was done, as its
// journal tells: one whose programs had passed (or whose version the state
// already records) is recorded and cleaned up, any other is undone, so that
// bin holds one version's programs; the journal is gone afterwards. What the
// journal says is checked first: of its component list, only what the state
// can record is recorded; a damaged previous version is taken from the
// state; a switch that passed but names no valid version keeps its
// programs unrecorded; a step that names a file outside the installation's
// bin or versions is left alone. 0 also when there was nothing to do; -1
// with the sentence in err when the state cannot record a finished switch
// (the journal then stays for the next run). The caller holds updater.lock.
int versions_recover(const updater_config *cfg, char *err, size_t errlen);
// 1 when the installation holds the journal of a switch that is not done:
// one that runs now, or one that an ended run left for versions_recover.
int versions_switch_pending(const updater_config *cfg);
// Starts the journal of a switch of mode to version from previous (empty when
// none), for runs that call versions_switch_bin themselves. 0, or -1 with
// "cannot write %s".
int versions_journal_begin(const updater_config *cfg, int mode, const char *version,
                           const char *previous, const char *components, char *err,
                           size_t errlen);
// Notes in the journal that the switched programs are good: from here on the
// next run finishes the switch instead of undoing it. 0, or -1.
int versions_journal_tested(void);
// Closes and deletes the journal: the switch is done or undone for good.
void versions_journal_end(void);
// Closes the journal and leaves it on disk for the next run's
// versions_recover: the programs are live but not recorded.
void versions_journal_close(void);
// Creates "versions" with its parents. 0, or -1 with "cannot create %s".
int versions_dir_create(const updater_config *cfg, char *err, size_t errlen);
// Copies the installed version of the state file into buf (cut to size - 1
// characters). 0, or -1 when nothing is installed.
int state_current_version(const updater_config *cfg, char *buf, size_t size);

// The undo: for every remembered file, last first, removes the copy at its
// live name and puts the moved-aside file back. A file that holds on to its
// name is moved aside itself; moves that a scanner blocks are tried again.
// 0 when everything is back; -1 with one sentence in err when something
// could not be put back: that file is then kept under its ".keep-" name,
// never among the moved-aside files that versions_remove_old_files deletes.
// The table is empty afterwards either way.
int switch_undo_apply(char *err, size_t errlen);
// Forgets the remembered files: a switched version has passed its test.
void switch_undo_clear(void);
// The process-wide undo table, to look at.
const switch_undo *switch_undo_get(void);
