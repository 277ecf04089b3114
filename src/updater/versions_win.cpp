// Version directories and the program switch on the 8-bit Win32 file calls,
// all made through the versions_win table.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "fs.h"
#include "log.h"
#include "selftest.h"
#include "state.h"
#include "sys_thread.h"
#include "update.h"
#include "version.h"
#include "versions.h"
#include "versions_win_seam.h"

const versions_win_calls versions_win_real = {
    MoveFileExA,        CopyFileA,      DeleteFileA,   GetFileAttributesA,
    SetFileAttributesA, FindFirstFileA, FindNextFileA, FindClose,
    Sleep,              proc_run,       WriteFile,     FlushFileBuffers,
};
versions_win_calls versions_win = versions_win_real;

// The table of the current switch. One thread uses it (the one holding
// updater.lock), so it has no lock of its own.
static switch_undo undo_table;

const switch_undo *switch_undo_get(void) { return &undo_table; }

void switch_undo_clear(void) { undo_table.count = 0; }

// Room for a sentence that quotes a path of the table and a nested cause.
#define MSG_BUF 4096

// 1 when something (file, directory, anything) stands at path.
static int exists(const char *path)
{
    return versions_win.get_attributes(path) != INVALID_FILE_ATTRIBUTES;
}

// The next free "%s<kind>%lu-%u" name (live path, kind ".old-" or ".keep-",
// process id, counter) into out, counting on in *counter. A name that is
// taken, by a file a program of an earlier process with the same id still
// runs from, is passed over: moving onto it would fail or destroy it. 0, or
// -1 when the name does not fit.
static int aside_name(char out[PATH_1500], const char *path, const char *kind, uint32_t *counter)
{
    unsigned long pid = GetCurrentProcessId();
    do {
        ++*counter;
        if (path_format_1500(out, "%s%s%lu-%u", path, kind, pid, (unsigned)*counter) != 0)
            return -1;
    } while (exists(out));
    return 0;
}

// MoveFileExA(from, to, flags), tried again after a pause while a scanner
// holds one of the files. 0, or the Windows error of the last try.
static DWORD move_with_retry(const char *from, const char *to, DWORD flags)
{
    DWORD error = 0;
    for (int i = 0; i < VERSIONS_MOVE_TRIES; i++) {
        if (i > 0)
            versions_win.sleep(VERSIONS_RETRY_MS);
        if (versions_win.move_file(from, to, flags))
            return 0;
        error = GetLastError();
        if (!versions_transient_error(error))
            break;
    }
    return error ? error : ERROR_GEN_FAILURE;
}

// Puts one remembered file back: the copy at the live name goes (moved aside
// when it holds on to its name), the moved-aside file returns. An old file
// that cannot return is renamed to a ".keep-" name, which no later clean-up
// deletes. 0, or -1 with the sentence in msg.
static int undo_entry(const switch_undo_entry *e, char *msg, size_t msglen)
{
    DWORD error = 0;
    // Our own copy: read-only would only stand in the way of the delete.
    versions_win.set_attributes(e->target, FILE_ATTRIBUTE_NORMAL);
    if (!versions_win.delete_file(e->target) && exists(e->target)) {
        // A program started from the new copy still runs, or a scanner reads
        // it: Windows lets such a file be moved, though not deleted.
        char aside[PATH_1500];
        error = ERROR_FILENAME_EXCED_RANGE;
        if (aside_name(aside, e->target, ".old-", &undo_table.switch_counter) == 0)
            error = move_with_retry(e->target, aside, MOVEFILE_REPLACE_EXISTING);
        if (error && !e->moved) {
            update_error(msg, msglen, "cannot remove %s (error %lu)", e->target,
                       (unsigned long)error);
            return -1;
        }
    }
    if (!e->moved)
        return 0;
    if (!error)
        error = move_with_retry(e->old, e->target, MOVEFILE_REPLACE_EXISTING);
    if (!error)
        return 0;
    // The old file must not stay among the moved-aside files: the next clean
    // up would delete what may be the only copy of an old program.
    char kept[PATH_1500];
    const char *where = e->old;
    if (aside_name(kept, e->target, ".keep-", &undo_table.switch_counter) == 0 &&
        move_with_retry(e->old, kept, 0) == 0)
        where = kept;
    update_error(msg, msglen, "cannot put %s back (error %lu); the old file is kept as %s", e->target,
               (unsigned long)error, where);
    return -1;
}

int switch_undo_apply(char *err, size_t errlen)
{
    int failed = 0;
    for (uint64_t i = undo_table.count; i-- > 0;) {
        // Every entry is tried; the sentence names the first that failed.
        char msg[MSG_BUF];
        if (undo_entry(&undo_table.entries[i], msg, sizeof msg) != 0) {
            log_write(LOG_ERROR, "%s", msg);
            if (!failed)
                update_error(err, errlen, "%s", msg);
            failed = 1;
        }
    }
    undo_table.count = 0;
    return failed ? -1 : 0;
}

// Ends a failed switch: undoes the table, and puts the switch's own sentence
// (msg) into err, followed by the undo's when the undo failed too. -1.
static int switch_failed(const char *msg, char *err, size_t errlen)
{
    char undo[MSG_BUF];
    if (switch_undo_apply(undo, sizeof undo) != 0)
        update_error(err, errlen, "%s; undoing the switch failed: %s", msg, undo);
    else
        update_error(err, errlen, "%s", msg);
    return -1;
}

// The sentence for a path that does not fit its buffer. -1.
static int path_too_long(const char *below, char *err, size_t errlen)
{
    update_error(err, errlen, "a path below %s is too long", below);
    return -1;
}

// Starts listing the entries of dir that match match ("*", "*.exe", ...):
// the handle for find_next and find_close, with the first entry in found;
// INVALID_HANDLE_VALUE when nothing is listed or the pattern does not fit.
static HANDLE list_first(const char *dir, const char *match, WIN32_FIND_DATAA *found)
{
    char pattern[PATH_1400];
    if (path_format_1400(pattern, "%s\\%s", dir, match) != 0)
        return INVALID_HANDLE_VALUE;
    return versions_win.find_first(pattern, found);
}

// The sentence for a file at path that could not be written; with full set
// (the failed call's error said so) it names the full disk, which is neither
// the version's fault nor the file's.
static void write_failed(char *msg, size_t msglen, const char *path, int full)
{
    if (full)
        update_error(msg, msglen, "cannot write %s: the disk is full", path);
    else
        update_error(msg, msglen, "cannot write %s", path);
}

// Writes what the system still holds of the file at path to the disk. A file
// that cannot be opened for writing (read-only, say) is left as it is: there
// is nothing of ours in the system's buffers that the open would reach. 0, or
// -1 with the sentence in msg when the data cannot reach the disk.
static int flush_file_at(const char *path, char *msg, size_t msglen)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    int rc = 0;
    if (!versions_win.flush_file(h)) {
        write_failed(msg, msglen, path, fs_disk_full(0));
        rc = -1;
    }
    CloseHandle(h);
    return rc;
}

// flush_file_at for every file below dir, its subdirectories included. 0, or
// -1 with the sentence of the first file that failed.
static int flush_tree(const char *dir, char *msg, size_t msglen)
{
    WIN32_FIND_DATAA found;
    HANDLE find = list_first(dir, "*", &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int rc = 0;
    do {
        const char *name = found.cFileName;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        char path[PATH_1700];
        if (path_format_1700(path, "%s\\%s", dir, name) != 0) {
            rc = path_too_long(dir, msg, msglen);
            break;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;  // not ours to follow
        rc = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? flush_tree(path, msg, msglen)
                                                               : flush_file_at(path, msg, msglen);
    } while (rc == 0 && versions_win.find_next(find, &found));
    versions_win.find_close(find);
    return rc;
}

// The files of a staged version that no check starts, for flush_data_files.
struct data_files {
    const char *staging;      // the staging directory
    const pkg_entry *entries; // its entries
    size_t count;             // their number
};

// Thread: flush_file_at for every file of a data_files that is not one of
// the programs the checks start (a program open for writing could not be
// started on Windows). Failures are left to the flush before the switch,
// which says what they were.
static uint32_t flush_data_files(void *arg)
{
    const data_files *d = (const data_files *)arg;
    for (size_t i = 0; i < d->count; i++) {
        const pkg_entry *e = &d->entries[i];
        char path[PATH_1700], msg[VERSIONS_MSG_MAX];
        if (!e->is_dir && !selftest_is_package_program(e) &&
            path_format_1700(path, "%s/%s", d->staging, e->path) == 0)
            flush_file_at(path, msg, sizeof msg);
    }
    return 0;
}

// ---- the journal -------------------------------------------------------------

// The journal of the switch in progress, while one is open.
static HANDLE journal_handle = INVALID_HANDLE_VALUE;
// Its path.
static char journal_path[PATH_1400];
// 1 when the last journal write failed because the disk was full.
static int journal_full;

// The sentence for a journal that could not be written.
static void journal_failed(char *msg, size_t msglen)
{
    write_failed(msg, msglen, journal_path, journal_full);
}

// "<installation directory>\switch.journal" of c (a copy with backslashes).
static int journal_file(const updater_config *c, char out[PATH_1400])
{
    return path_format_1400(out, "%s\\switch.journal", c->install_dir);
}

// Appends one line (the fields joined by tabs, then a line feed) to the open
// journal and flushes it to the disk, so that it is there before the step it
// announces is taken. 0 (also when no journal is open), or -1.
static int journal_line(const char *kind, const char *a, const char *b)
{
    if (journal_handle == INVALID_HANDLE_VALUE)
        return 0;
    char line[PATH_1400 + PATH_1500 + 32];
    int n = update_format(line, sizeof line, "%s%s%s%s%s\n", kind, a ? "\t" : "", a ? a : "",
                          b ? "\t" : "", b ? b : "");
    if (n < 0 || (size_t)n >= sizeof line)
        return -1;
    DWORD wrote = 0;
    journal_full = 0;
    if (!versions_win.write_file(journal_handle, line, (DWORD)n, &wrote, NULL) ||
        wrote != (DWORD)n || !versions_win.flush_file(journal_handle)) {
        // A write that stopped short without an error stopped at the end of
        // the disk's room.
        journal_full = fs_disk_full(0) || wrote != (DWORD)n;
        return -1;
    }
    return 0;
}

int versions_journal_begin(const updater_config *cfg, int mode, const char *version,
                           const char *previous, const char *components, char *err,
                           size_t errlen)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    versions_journal_end();
    const char *name = versions_mode_name(mode);
    const char *prev = previous ? previous : "";
    const char *list = components ? components : "";
    // The next run records what this line says: only what the state can
    // write back may stand in it, or an ended run would leave programs live
    // that no later run could ever record.
    const char *invalid = !version || !version_is_valid(version) ? (version ? version : "")
                          : prev[0] && !version_is_valid(prev)    ? prev
                                                                  : NULL;
    if (invalid) {
        update_error(err, errlen, "not a valid version: %s", invalid);
        return -1;
    }
    if (!state_components_readable(list)) {
        state_components_refusal(list, strlen(list), err, errlen);
        return -1;
    }
    if (!name || journal_file(&c, journal_path) != 0)
        return path_too_long(c.install_dir, err, errlen);
    if (fs_create_dirs(c.install_dir) != 0) {
        write_failed(err, errlen, journal_path, fs_disk_full(errno));
        return -1;
    }
    journal_handle = CreateFileA(journal_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, NULL);
    if (journal_handle == INVALID_HANDLE_VALUE) {
        write_failed(err, errlen, journal_path, fs_disk_full(0));
        return -1;
    }
    char head[3 * 64 + 256 + 8];
    update_format(head, sizeof head, "%s\t%s\t%s", version, prev, list);
    if (journal_line("begin", name, head) != 0) {
        journal_failed(err, errlen);
        versions_journal_end();
        return -1;
    }
    return 0;
}

int versions_journal_tested(void) { return journal_line("tested", NULL, NULL); }

int versions_switch_pending(const updater_config *cfg)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    char path[PATH_1400];
    return c.install_dir[0] && journal_file(&c, path) == 0 && exists(path);
}

void versions_journal_close(void)
{
    if (journal_handle == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(journal_handle);
    journal_handle = INVALID_HANDLE_VALUE;
}

void versions_journal_end(void)
{
    if (journal_handle == INVALID_HANDLE_VALUE)
        return;
    versions_journal_close();
    versions_win.delete_file(journal_path);
}

int versions_switch_bin(const updater_config *cfg, const char *version, char *err, size_t errlen)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    if (!version_is_valid(version)) {
        // The version names a directory that a failure removes: only a
        // version text can be allowed to stand there.
        update_error(err, errlen, "not a valid version: %s", version ? version : "");
        return -1;
    }
    char live[PATH_DIR_MAX], source[PATH_1400];
    if (path_format(live, sizeof live, "%s\\bin", c.install_dir) != 0 ||
        path_format_1400(source, "%s\\versions\\%s\\bin", c.install_dir, version) != 0)
        return path_too_long(c.install_dir, err, errlen);
    if (fs_create_dirs(live) != 0) {
        update_error(err, errlen, "cannot create %s", live);
        return -1;
    }
    undo_table.count = 0;
    WIN32_FIND_DATAA found;
    HANDLE find = list_first(source, "*", &found);
    if (find == INVALID_HANDLE_VALUE) {
        update_error(err, errlen, "the version %s has no bin directory", version);
        return -1;
    }
    char msg[MSG_BUF];
    msg[0] = '\0';
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;  // a version's bin keeps its subdirectories to itself
        const char *name = found.cFileName;
        if (undo_table.count >= SWITCH_UNDO_MAX) {
            update_error(msg, sizeof msg, "too many files in bin");
            break;
        }
        switch_undo_entry *e = &undo_table.entries[undo_table.count];
        char file[PATH_1700];
        e->moved = 0;
        e->old[0] = '\0';
        if (path_format_1400(e->target, "%s\\%s", live, name) != 0 ||
            path_format_1700(file, "%s\\%s", source, name) != 0) {
            update_error(msg, sizeof msg, "a path below %s is too long", c.install_dir);
            break;
        }
        if (exists(e->target)) {
            if (aside_name(e->old, e->target, ".old-", &undo_table.switch_counter) != 0) {
                update_error(msg, sizeof msg, "a path below %s is too long", c.install_dir);
                break;
            }
            if (journal_line("move", e->target, e->old) != 0) {
                journal_failed(msg, sizeof msg);
                break;
            }
            if (!versions_win.move_file(e->target, e->old, MOVEFILE_REPLACE_EXISTING)) {
                update_error(msg, sizeof msg, "cannot move %s out of the way (error %lu)", e->target,
                           (unsigned long)GetLastError());
                break;
            }
            e->moved = 1;
        } else if (journal_line("copy", e->target, NULL) != 0) {
            journal_failed(msg, sizeof msg);
            break;
        }
        // Counted before the copy: a failed copy may still leave a part of
        // the file, and the undo must bring the old one back in any case.
        undo_table.count++;
        if (!versions_win.copy_file(file, e->target, TRUE)) {
            DWORD error = GetLastError();
            if (fs_disk_full(0))
                write_failed(msg, sizeof msg, e->target, 1);
            else
                update_error(msg, sizeof msg, "cannot copy %s (error %lu)", name,
                             (unsigned long)error);
            break;
        }
        // On the disk before the journal may say that the programs passed:
        // the old ones are deleted then, and a power cut must not find the
        // new ones still in the system's buffers.
        if (flush_file_at(e->target, msg, sizeof msg) != 0)
            break;
    } while (versions_win.find_next(find, &found));
    versions_win.find_close(find);
    if (msg[0])
        return switch_failed(msg, err, errlen);
    return 0;
}

void versions_remove_old_files(const updater_config *cfg)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    char live[PATH_DIR_MAX];
    if (path_format(live, sizeof live, "%s\\bin", c.install_dir) != 0)
        return;
    WIN32_FIND_DATAA found;
    HANDLE find = list_first(live, "*.old-*", &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        char file[PATH_1700];
        // One that cannot go (a program still runs from it) goes next time.
        if (path_format_1700(file, "%s\\%s", live, found.cFileName) == 0)
            versions_win.delete_file(file);
    } while (versions_win.find_next(find, &found));
    versions_win.find_close(find);
}

void versions_prune(const updater_config *cfg, const char *keep, const char *keep_also)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    char dir[PATH_DIR_MAX];
    if (path_format(dir, sizeof dir, "%s\\versions", c.install_dir) != 0)
        return;
    WIN32_FIND_DATAA found;
    HANDLE find = list_first(dir, "*", &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const char *name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            !versions_prune_candidate(name, keep, keep_also))
            continue;
        char path[PATH_1700];
        if (path_format_1700(path, "%s\\%s", dir, name) != 0)
            continue;
        // A link is removed itself, never what it points to.
        fs_remove_path(path);
        if (!exists(path))
            log_write(LOG_INFO, "removed the old version %s", name);
    } while (versions_win.find_next(find, &found));
    versions_win.find_close(find);
}

int versions_dir_create(const updater_config *cfg, char *err, size_t errlen)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    char dir[PATH_DIR_MAX];
    if (path_format(dir, sizeof dir, "%s\\versions", c.install_dir) != 0)
        return path_too_long(c.install_dir, err, errlen);
    if (fs_create_dirs(dir) != 0) {
        if (fs_disk_full(errno))
            write_failed(err, errlen, dir, 1);
        else
            update_error(err, errlen, "cannot create %s", dir);
        return -1;
    }
    return 0;
}

int state_current_version(const updater_config *cfg, char *buf, size_t size)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    updater_state st;
    state_read(&c, &st);
    if (!st.installed_version[0])
        return -1;
    if (buf && size)
        update_format(buf, size, "%s", st.installed_version);
    return 0;
}

int versions_selftest_live(const updater_config *cfg, const char *version,
                           char err[VERSIONS_MSG_MAX])
{
    updater_config c;
    versions_config_copy(cfg, &c);
    char vbin[PATH_1400];
    if (!version_is_valid(version)) {
        update_error(err, VERSIONS_MSG_MAX, "not a valid version: %s", version ? version : "");
        return -1;
    }
    if (path_format_1400(vbin, "%s\\versions\\%s\\bin", c.install_dir, version) != 0)
        return path_too_long(c.install_dir, err, VERSIONS_MSG_MAX);
    WIN32_FIND_DATAA found;
    HANDLE find = list_first(vbin, "*.exe", &found);
    if (find == INVALID_HANDLE_VALUE) {
        update_error(err, VERSIONS_MSG_MAX, "the installed version has no programs");
        return -1;
    }
    int programs = 0, rc = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const char *name = found.cFileName;
        char path[PATH_1700];
        if (path_format_1700(path, "%s\\bin\\%s", c.install_dir, name) != 0) {
            rc = path_too_long(c.install_dir, err, VERSIONS_MSG_MAX);
            break;
        }
        programs++;
        const char *argv[] = {path, "--selftest", NULL};
        char out[VERSIONS_SELFTEST_OUT];
        proc_result res;
        int ran = versions_win.run(argv, NULL, VERSIONS_SELFTEST_S, out, sizeof out, &res) == 0;
        if (ran && !res.timed_out && res.exit_code == 0)
            continue;
        text_flatten(out);
        if (!out[0])
            proc_describe_failure(ran, &res, out, sizeof out);
        update_error(err, VERSIONS_MSG_MAX, "%s fails its self-test after the update: %s", name, out);
        rc = -1;
        break;
    } while (versions_win.find_next(find, &found));
    versions_win.find_close(find);
    if (rc == 0 && programs == 0) {
        // Only directories matched: there is nothing to vouch for the version.
        update_error(err, VERSIONS_MSG_MAX, "the installed version has no programs");
        rc = -1;
    }
    return rc;
}

// Moves every live file aside that the version's bin (vbin) does not have, a
// program of a component that was removed, say, so that only the version's
// programs are live while they are tested; each move joins the undo table.
// A file that cannot be moved stays; so does the rest once the table is full.
static void move_strays(const char *live, const char *vbin)
{
    WIN32_FIND_DATAA found;
    HANDLE find = list_first(live, "*", &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const char *name = found.cFileName;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || versions_stray_exempt(name))
            continue;
        char mine[PATH_1700];
        if (path_format_1700(mine, "%s\\%s", vbin, name) != 0 || exists(mine))
            continue;
        if (undo_table.count >= SWITCH_UNDO_MAX)
            break;
        switch_undo_entry *e = &undo_table.entries[undo_table.count];
        if (path_format_1400(e->target, "%s\\%s", live, name) != 0 ||
            aside_name(e->old, e->target, ".old-", &undo_table.stray_counter) != 0 ||
            journal_line("move", e->target, e->old) != 0)
            continue;
        if (versions_win.move_file(e->target, e->old, MOVEFILE_REPLACE_EXISTING)) {
            e->moved = 1;
            undo_table.count++;
        }
    } while (versions_win.find_next(find, &found));
    versions_win.find_close(find);
}

// ---- keeping a version directory aside ---------------------------------------

// The name of the version directory kept aside during the current
// hand-over, while one is.
static char kept_aside[PATH_1500];
// Names of version directories kept aside in this process.
static uint32_t kept_counter;

// The sentence for a version directory that could not be moved to or from
// target, for the Windows error of the last try.
static void place_failed(const char *target, DWORD error, char *err, size_t errlen)
{
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL)
        write_failed(err, errlen, target, 1);
    else
        update_error(err, errlen, "cannot move the new version into place (error %lu)",
                     (unsigned long)error);
}

// Moves the staging directory to target, a version directory. Whatever stood
// there is first renamed to a ".old-" name beside it (journaled), to come
// back should the new version fail. 0, or -1 with the sentence in err (what
// stood there is back under its name).
static int place_version(const char *staging, const char *target, char *err, size_t errlen)
{
    kept_aside[0] = '\0';
    DWORD error = 0;
    if (exists(target)) {
        if (aside_name(kept_aside, target, ".old-", &kept_counter) != 0) {
            kept_aside[0] = '\0';
            return path_too_long(target, err, errlen);
        }
        if (journal_line("keep", target, kept_aside) != 0) {
            journal_failed(err, errlen);
            kept_aside[0] = '\0';
            return -1;
        }
        error = move_with_retry(target, kept_aside, 0);
        if (error) {
            place_failed(target, error, err, errlen);
            kept_aside[0] = '\0';
            return -1;
        }
    }
    error = move_with_retry(staging, target, 0);
    if (error) {
        place_failed(target, error, err, errlen);
        if (kept_aside[0])
            move_with_retry(kept_aside, target, 0);
        kept_aside[0] = '\0';
        return -1;
    }
    return 0;
}

// Removes the new version directory at target and puts the one kept aside
// back in its place: the new version did not go live.
static void unplace_version(const char *target)
{
    fs_remove_path(target);
    if (kept_aside[0] && move_with_retry(kept_aside, target, 0) != 0)
        log_write(LOG_ERROR, "cannot put %s back: it is kept as %s", target, kept_aside);
    kept_aside[0] = '\0';
}

// The new version is live and recorded: the directory kept aside goes.
static void drop_kept_version(void)
{
    if (kept_aside[0])
        fs_remove_path(kept_aside);
    kept_aside[0] = '\0';
}

// The sentence of programs that are live while the state cannot say so.
static void unrecorded(const char *version, const char *why, char *err, size_t errlen)
{
    update_error(err, errlen,
                 "the programs of version %s are live, but the state cannot record them: %s",
                 version, why);
}

int versions_go_live(const updater_config *cfg, int mode, const char *version,
                     const char *components, const char *staging, updater_state *st, char *err,
                     size_t errlen)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    if (!version_is_valid(version)) {
        update_error(err, errlen, "not a valid version: %s", version ? version : "");
        return 1;
    }
    int install = mode == VERSIONS_INSTALL;
    char target[PATH_1400], live[PATH_DIR_MAX], vbin[PATH_1400];
    if (path_format_1400(target, "%s\\versions\\%s", c.install_dir, version) != 0 ||
        path_format(live, sizeof live, "%s\\bin", c.install_dir) != 0 ||
        path_format_1400(vbin, "%s\\bin", target) != 0) {
        path_too_long(c.install_dir, err, errlen);
        return 1;
    }
    updater_state now;
    state_read(&c, &now);
    char previous[64];
    update_format(previous, sizeof previous, "%s", now.installed_version);

    if (versions_journal_begin(&c, mode, version, previous, install ? components : "", err,
                               errlen) != 0)
        return 1;
    versions_remove_old_files(&c);
    if (place_version(staging, target, err, errlen) != 0) {
        versions_journal_end();
        return 1;
    }
    char msg[VERSIONS_MSG_MAX] = "";
    // The version's files reach the disk before its programs can pass: the
    // version directory is what a later repair or rollback starts from.
    if (flush_tree(target, msg, sizeof msg) != 0) {
        update_error(err, errlen, "cannot switch to the new version: %s", msg);
        unplace_version(target);
        versions_journal_end();
        return 1;
    }
    if (versions_switch_bin(&c, version, msg, sizeof msg) != 0) {
        update_error(err, errlen, "cannot switch to the new version: %s", msg);
        unplace_version(target);
        versions_journal_end();
        return 1;
    }
    if (install)
        move_strays(live, vbin);

    if (versions_selftest_live(&c, version, msg) == 0) {
        // From here on an end of the process finishes the switch; only
        // then may the moved-aside files go.
        int noted = versions_journal_tested();
        switch_undo_clear();
        // A journal that cannot say so keeps them for the undo; the next run
        // deletes them.
        if (noted == 0)
            versions_remove_old_files(&c);
        versions_record_mode(st, mode, version, previous, components);
        char werr[VERSIONS_MSG_MAX];
        if (state_write(&c, st, werr, sizeof werr) != 0) {
            // The journal stays: the next run records what is live.
            unrecorded(version, werr, err, errlen);
            versions_journal_close();
            return 1;
        }
        drop_kept_version();
        versions_journal_end();
        versions_prune(&c, version, st->previous_version[0] ? st->previous_version : NULL);
        return 0;
    }
    log_write(LOG_ERROR, "%s", msg);
    char undo[MSG_BUF];
    int undone = switch_undo_apply(undo, sizeof undo) == 0;
    if (!install)
        log_write(LOG_WARN, "went back to the previous programs%s%s%s",
                  previous[0] ? " (" : "", previous, previous[0] ? ")" : "");
    failed_versions_add(st, version);
    state_write(&c, st, NULL, 0);
    const char *what = install ? "the installation of" : "the update to";
    if (undone)
        update_error(err, errlen, "%s %s was undone: %s", what, version, msg);
    else
        update_error(err, errlen, "%s %s could not be undone completely: %s; %s", what, version,
                     msg, undo);
    unplace_version(target);
    versions_journal_end();
    return 1;
}

int versions_install_staged(const updater_config *cfg, const char *version, const char *components,
                            const char *staging, const pkg_entry *entries, size_t count,
                            updater_state *st, char *err, size_t errlen)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    if (!version_is_valid(version)) {
        update_error(err, errlen, "not a valid version: %s", version ? version : "");
        return 1;
    }
    char msg[VERSIONS_MSG_MAX] = "";  // the check writes nothing for a null argument
    // While the programs are checked, the version's other files go on their
    // way to the disk: starting programs leaves the disk idle, and the flush
    // before the switch then finds little left to write.
    data_files data = {staging, entries, count};
    sys_thread flusher;
    int flushing = sys_thread_start(&flusher, flush_data_files, &data) == 0;
    int checked = package_check_programs(staging, entries, count, version, msg, sizeof msg);
    if (flushing)
        sys_thread_join(flusher);
    if (checked != 0) {
        update_error(err, errlen, "not installing %s: %s", version, msg);
        // A virus scanner's doing (-2) says nothing against the version.
        if (checked == -1) {
            failed_versions_add(st, version);
            state_write(&c, st, NULL, 0);
        }
        return 1;
    }
    return versions_go_live(&c, VERSIONS_INSTALL, version, components, staging, st, err, errlen);
}

// ---- finishing or undoing a switch that a run ended ---------------------------

// Reads the whole journal at path into a heap text (NUL-terminated); null
// when there is none or it cannot be read.
static char *journal_read(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    char *text = (char *)malloc(VERSIONS_JOURNAL_MAX + 1);
    size_t len = text ? fread(text, 1, VERSIONS_JOURNAL_MAX, f) : 0;
    fclose(f);
    if (text)
        text[len] = '\0';
    return text;
}

// What the first line of a journal says, as far as it can be trusted.
struct journal_head {
    int mode;              // a versions_mode, or -1
    char version[64];      // the version switched to
    char previous[64];     // the version before it, or empty
    char components[256];  // the readable part of its component list
    int sound;             // 1 when the mode and the version can be recorded
    int previous_damaged;  // 1 when the previous version is neither empty nor a version
};

// Reads the journal's first line into h. A version is taken only whole (cut
// to its field it could name another version) and only when it is a version
// text; of the component list, what the state can record: a list that a run
// of an earlier build let through would otherwise keep every later run from
// recording the switch.
static void journal_head_read(char *line, journal_head *h)
{
    memset(h, 0, sizeof *h);
    h->mode = -1;
    char *f[VERSIONS_JOURNAL_FIELDS];
    if (!line || versions_journal_fields(line, f, VERSIONS_JOURNAL_FIELDS) != 5 ||
        strcmp(f[0], "begin") != 0)
        return;
    h->mode = versions_mode_of(f[1]);
    if (strlen(f[2]) < sizeof h->version)
        memcpy(h->version, f[2], strlen(f[2]) + 1);
    if (strlen(f[3]) < sizeof h->previous)
        memcpy(h->previous, f[3], strlen(f[3]) + 1);
    h->sound = h->mode >= 0 && version_is_valid(h->version);
    h->previous_damaged = f[3][0] && !version_is_valid(h->previous);
    if (h->previous_damaged)
        h->previous[0] = '\0';
    if (state_components_clean(h->components, f[4]))
        log_write(LOG_WARN,
                  "the component list of the interrupted switch cannot be recorded as it "
                  "stands (%.300s); recording %s",
                  f[4], h->components);
}

// 1 when path names an entry right inside dir ("<dir>\<name>", a name
// without separators), and aside, when given, is a name the switch gives
// such an entry to move it aside ("<path>.old-..."). A journal names nothing
// else, so a line that does was not written by a switch of this
// installation and is not acted on.
static int journal_names_entry(const char *dir, const char *path, const char *aside)
{
    size_t n = strlen(dir);
    if (_strnicmp(path, dir, n) != 0 || path[n] != '\\')
        return 0;
    const char *name = path + n + 1;
    if (!name[0] || strpbrk(name, "\\/") || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return 0;
    if (!aside)
        return 1;
    size_t pl = strlen(path);
    return _strnicmp(aside, path, pl) == 0 && strncmp(aside + pl, ".old-", 5) == 0 &&
           !strpbrk(aside + pl, "\\/");
}

// The directories that the steps of a journal of installation c may name.
struct journal_dirs {
    char bin[PATH_DIR_MAX];       // the live programs
    char versions[PATH_DIR_MAX];  // the version directories
};

// Splits one journal line into f and returns its number of fields when it is
// a step that a switch of d's installation journals: a move aside or a copy
// in the live bin, or a version directory kept aside. 0 for anything else; a
// step that names other files is logged and left alone.
static int journal_step(const journal_dirs *d, char *line, char **f)
{
    int n = versions_journal_fields(line, f, VERSIONS_JOURNAL_FIELDS);
    int ok;
    if (n == 3 && strcmp(f[0], "move") == 0)
        ok = journal_names_entry(d->bin, f[1], f[2]);
    else if (n == 2 && strcmp(f[0], "copy") == 0)
        ok = journal_names_entry(d->bin, f[1], NULL);
    else if (n == 3 && strcmp(f[0], "keep") == 0)
        ok = journal_names_entry(d->versions, f[1], f[2]);
    else
        return 0;
    if (!ok) {
        log_write(LOG_WARN, "the interrupted switch names a file outside %s; left alone: %.300s",
                  strcmp(f[0], "keep") == 0 ? d->versions : d->bin, f[1]);
        return 0;
    }
    return n;
}

// Undoes one journaled step (its n fields in f), lines being taken last
// first. A file moved aside is put back only when its aside name still
// exists (else the move was never made, or was undone already); a file
// copied where nothing stood goes.
static void recover_undo_line(char **f, int n)
{
    if (n == 3 && strcmp(f[0], "keep") == 0) {
        if (exists(f[2])) {
            fs_remove_path(f[1]);
            if (move_with_retry(f[2], f[1], 0) != 0)
                log_write(LOG_ERROR, "cannot put %s back: it is kept as %s", f[1], f[2]);
        }
        return;
    }
    switch_undo_entry e = {};
    if (n == 3 && strcmp(f[0], "move") == 0) {
        if (!exists(f[2]))
            return;
        e.moved = 1;
        update_format(e.old, sizeof e.old, "%s", f[2]);
    } else if (!(n == 2 && strcmp(f[0], "copy") == 0)) {
        return;
    }
    update_format(e.target, sizeof e.target, "%s", f[1]);
    char msg[MSG_BUF];
    if (undo_entry(&e, msg, sizeof msg) != 0)
        log_write(LOG_ERROR, "%s", msg);
}

int versions_recover(const updater_config *cfg, char *err, size_t errlen)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    char path[PATH_1400];
    journal_dirs dirs;
    // No installation directory set: there is no journal to look for (an
    // empty setting would name the drive's root).
    if (!c.install_dir[0] || journal_file(&c, path) != 0 ||
        path_format(dirs.bin, sizeof dirs.bin, "%s\\bin", c.install_dir) != 0 ||
        path_format(dirs.versions, sizeof dirs.versions, "%s\\versions", c.install_dir) != 0)
        return 0;
    char *text = journal_read(path);
    if (!text)
        return 0;
    // Complete lines only: a line cut short by the end of the process
    // announced a step that was not taken yet.
    size_t cap = 16, count = 0;
    char **lines = (char **)malloc(cap * sizeof *lines);
    for (char *p = text; lines;) {
        char *nl = strchr(p, '\n');
        if (!nl)
            break;
        *nl = '\0';
        if (count == cap) {
            char **grown = (char **)realloc(lines, cap * 2 * sizeof *lines);
            if (!grown) {
                free(lines);
                lines = NULL;
                break;
            }
            lines = grown;
            cap *= 2;
        }
        lines[count++] = p;
        p = nl + 1;
    }
    int rc = 0, tested = 0;
    char *f[VERSIONS_JOURNAL_FIELDS];
    journal_head h;
    journal_head_read(lines && count > 0 ? lines[0] : NULL, &h);
    for (size_t i = 1; lines && i < count; i++)
        if (strcmp(lines[i], "tested") == 0)
            tested = 1;
    updater_state st;
    state_read(&c, &st);
    // A state that names the new version has recorded the switch already;
    // with the same version before and after, only "tested" tells.
    int recorded = h.sound && strcmp(h.version, h.previous) != 0 &&
                   strcmp(st.installed_version, h.version) == 0;
    if (h.sound && h.previous_damaged) {
        log_write(LOG_WARN, "the interrupted switch to %s names no valid previous version",
                  h.version);
        if (strcmp(st.installed_version, h.version) != 0) {
            // Not recorded yet: the state still names the version the
            // switch started from.
            memcpy(h.previous, st.installed_version, sizeof h.previous);
            recorded = 0;
        } else if (h.mode == VERSIONS_ROLLBACK) {
            // A rollback always changes the version: this one is recorded.
            recorded = 1;
        } else {
            // Recorded already, or the same version again: recorded as the
            // same version, it changes nothing more, and only "tested" tells
            // whether the programs stay.
            memcpy(h.previous, h.version, sizeof h.previous);
            recorded = 0;
        }
    }
    int finish = h.sound && (tested || recorded);
    if (finish && !recorded) {
        // A sound head with its readable components always makes a record.
        versions_record_mode(&st, h.mode, h.version, h.previous, h.components);
        char werr[VERSIONS_MSG_MAX];
        if (state_write(&c, &st, werr, sizeof werr) != 0) {
            unrecorded(h.version, werr, err, errlen);
            rc = -1;
        }
    }
    if (lines && rc == 0 && (finish || tested)) {
        // The programs passed: what was kept for an undo goes. A journal
        // that says so but names no version the state can take keeps them
        // live as they are; the next installation puts a version in place.
        for (size_t i = 1; i < count; i++)
            if (journal_step(&dirs, lines[i], f) == 3 && strcmp(f[0], "keep") == 0)
                fs_remove_path(f[2]);
        if (finish)
            log_write(LOG_INFO, "finished the interrupted switch to %s", h.version);
        else
            log_write(LOG_WARN,
                      "the journal of the interrupted switch names no version that can be "
                      "recorded; its programs had passed their test and stay live");
    } else if (lines && rc == 0) {
        for (size_t i = count; i-- > 1;)
            recover_undo_line(f, journal_step(&dirs, lines[i], f));
        if (count > 1)
            log_write(LOG_INFO, "undid the interrupted switch to %s", h.version);
    }
    // Without the lines (memory ran out) the journal stays for another try.
    // The moved-aside files go first: an end of the process before the
    // journal is gone leaves them to the next recovery, which would not run
    // without it.
    if (rc == 0 && lines) {
        versions_remove_old_files(&c);
        versions_win.delete_file(path);
        if (finish && (h.mode == VERSIONS_INSTALL || h.mode == VERSIONS_UPDATE))
            versions_prune(&c, h.version, st.previous_version[0] ? st.previous_version : NULL);
    }
    free(lines);
    free(text);
    return rc;
}
