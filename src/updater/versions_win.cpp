// Version directories and the program switch on the 8-bit Win32 file calls,
// all made through the versions_win table.
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "fs.h"
#include "log.h"
#include "selftest.h"
#include "state.h"
#include "update.h"
#include "version.h"
#include "versions.h"
#include "versions_win_seam.h"

const versions_win_calls versions_win_real = {
    MoveFileExA,        CopyFileA,      DeleteFileA,   GetFileAttributesA,
    SetFileAttributesA, FindFirstFileA, FindNextFileA, FindClose,
    Sleep,              proc_run,
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
            if (!versions_win.move_file(e->target, e->old, MOVEFILE_REPLACE_EXISTING)) {
                update_error(msg, sizeof msg, "cannot move %s out of the way (error %lu)", e->target,
                           (unsigned long)GetLastError());
                break;
            }
            e->moved = 1;
        }
        // Counted before the copy: a failed copy may still leave a part of
        // the file, and the undo must bring the old one back in any case.
        undo_table.count++;
        if (!versions_win.copy_file(file, e->target, TRUE)) {
            update_error(msg, sizeof msg, "cannot copy %s (error %lu)", name,
                       (unsigned long)GetLastError());
            break;
        }
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
            aside_name(e->old, e->target, ".old-", &undo_table.stray_counter) != 0)
            continue;
        if (versions_win.move_file(e->target, e->old, MOVEFILE_REPLACE_EXISTING)) {
            e->moved = 1;
            undo_table.count++;
        }
    } while (versions_win.find_next(find, &found));
    versions_win.find_close(find);
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
    int checked = package_check_programs(staging, entries, count, version, msg, sizeof msg);
    if (checked != 0) {
        update_error(err, errlen, "not installing %s: %s", version, msg);
        // A virus scanner's doing (-2) says nothing against the version.
        if (checked == -1) {
            failed_versions_add(st, version);
            state_write(&c, st, NULL, 0);
        }
        return 1;
    }
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

    versions_remove_old_files(&c);
    fs_remove_path(target);
    DWORD error = move_with_retry(staging, target, 0);
    if (error) {
        update_error(err, errlen, "cannot move the new version into place (error %lu)",
                   (unsigned long)error);
        return 1;
    }
    if (versions_switch_bin(&c, version, msg, sizeof msg) != 0) {
        update_error(err, errlen, "cannot switch to the new version: %s", msg);
        fs_remove_path(target);
        return 1;
    }
    move_strays(live, vbin);

    if (versions_selftest_live(&c, version, msg) == 0) {
        switch_undo_clear();
        versions_remove_old_files(&c);
        versions_record_success(st, version, previous, components);
        char werr[VERSIONS_MSG_MAX];
        if (state_write(&c, st, werr, sizeof werr) != 0)
            // The programs are live and tested; only the record is missing.
            log_write(LOG_WARN, "the installation of %s is not recorded: %s", version, werr);
        versions_prune(&c, version, st->previous_version[0] ? st->previous_version : NULL);
        return 0;
    }
    log_write(LOG_ERROR, "%s", msg);
    char undo[MSG_BUF];
    int undone = switch_undo_apply(undo, sizeof undo) == 0;
    failed_versions_add(st, version);
    state_write(&c, st, NULL, 0);
    if (undone)
        update_error(err, errlen, "the installation of %s was undone: %s", version, msg);
    else
        update_error(err, errlen, "the installation of %s could not be undone completely: %s; %s",
                   version, msg, undo);
    fs_remove_path(target);
    return 1;
}
