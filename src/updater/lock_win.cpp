// The installation lock, the removal of a whole installation and the
// adoption of a flat one, on the 8-bit Win32 file functions.
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "fs.h"
#include "lock.h"
#include "log.h"
#include "paths.h"
#include "proc.h"
#include "state.h"
#include "update.h"
#include "version.h"
#include "versions.h"

// The lock file's handle while this process holds it.
static HANDLE lock_handle = INVALID_HANDLE_VALUE;

// 1 unless Windows says that no process with this id runs: one that cannot
// be looked at (another user's) counts as running.
static int process_running(unsigned long pid)
{
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)pid);
    if (!h)
        return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD code = STILL_ACTIVE;
    BOOL ok = GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return !ok || code == STILL_ACTIVE;
}

// Removes every "<dir>\.staging-<version>-<pid>" (and its scratch
// directories) whose process is not running: a run that was killed leaves a
// whole package there. Only the lock's holder may do this; what cannot be
// removed stays for a later run.
static void remove_stale_staging(const char *dir)
{
    char pattern[PATH_1400], path[PATH_1700];
    if (!dir[0] || path_format_1400(pattern, "%s\\.staging-*", dir) != 0)
        return;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    unsigned long self = (unsigned long)GetCurrentProcessId();
    do {
        unsigned long pid = 0;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            !staging_name_pid(found.cFileName, &pid) || pid == self || process_running(pid))
            continue;
        if (path_format_1700(path, "%s\\%s", dir, found.cFileName) == 0)
            fs_remove_path(path);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

// Opens "<state_dir>\updater.lock" of c (a copy with backslashes) for
// writing, shared with nobody, into lock_handle; the directory is created
// first. 0 held, -1 another handle holds it, -2 the directory or the file
// cannot be used.
static int lock_open(const updater_config *c)
{
    char path[LOCK_PATH_MAX];
    if (fs_create_dirs(c->state_dir) != 0)
        return -2;
    if (path_format(path, sizeof path, "%s\\updater.lock", c->state_dir) != 0)
        return -2;
    // Not inheritable (no security attributes), so a program started while
    // the lock is held cannot keep it after this process lets it go.
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? -1 : -2;
    lock_handle = h;
    remove_stale_staging(c->install_dir);
    return 0;
}

int updater_lock_acquire(const updater_config *cfg)
{
    updater_config c;
    versions_config_copy(cfg, &c);
    return lock_open(&c);
}

int updater_lock_held(void)
{
    return lock_handle != INVALID_HANDLE_VALUE;
}

void updater_lock_release(void)
{
    if (lock_handle == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(lock_handle);
    lock_handle = INVALID_HANDLE_VALUE;
}

// Leaves path to the next start of Windows, which deletes it then (a
// directory only when it is empty by that time). Nothing is scheduled for a
// path that is not there.
static void remove_at_restart(const char *path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// Deletes every file of the live directory bin; a file in use is moved to
// "<file>.old-<pid>-<n>" and left to the next start of Windows. 0, or -1
// with a sentence in err for the first file that can neither be deleted nor
// moved (nothing after it is touched).
static int remove_live_programs(const char *bin, char *err, size_t errlen)
{
    char pattern[PATH_1400], file[PATH_1700], old[PATH_1500];
    if (path_format_1400(pattern, "%s\\*", bin) != 0) {
        update_error(err, errlen, "cannot remove %s", bin);
        return -1;
    }
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;  // no bin: nothing live
    int rc = 0, counter = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (path_format_1700(file, "%s\\%s", bin, found.cFileName) != 0) {
            update_error(err, errlen, "cannot remove %s\\%s", bin, found.cFileName);
            rc = -1;
            break;
        }
        if (DeleteFileA(file))
            continue;
        // A running program cannot be deleted, but it can be renamed.
        counter++;
        if (path_format_1500(old, "%s.old-%lu-%d", file, (unsigned long)GetCurrentProcessId(),
                             counter) != 0 ||
            !MoveFileExA(file, old, MOVEFILE_REPLACE_EXISTING)) {
            update_error(err, errlen, "cannot remove %s (error %lu)", file,
                         (unsigned long)GetLastError());
            rc = -1;
            break;
        }
        MoveFileExA(old, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return rc;
}

// Removes every "<dir>\.staging-*" left by an interrupted installation;
// what cannot be removed stays.
static void remove_staging_dirs(const char *dir)
{
    char pattern[PATH_1400], path[PATH_1700];
    if (path_format_1400(pattern, "%s\\.staging-*", dir) != 0)
        return;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (path_format_1700(path, "%s\\%s", dir, found.cFileName) == 0)
            fs_remove_path(path);
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

int versions_remove_all(const updater_config *cfg, char *err, size_t errlen)
{
    // An empty setting would make every path below name the drive's root.
    if (cfg->install_dir[0] == '\0') {
        update_error(err, errlen, "no installation directory is set");
        return -1;
    }
    updater_config c;
    versions_config_copy(cfg, &c);
    const char *dir = c.install_dir;
    char bin[PATH_DIR_MAX], versions[PATH_DIR_MAX];
    if (path_format(bin, sizeof bin, "%s\\bin", dir) != 0 ||
        path_format(versions, sizeof versions, "%s\\versions", dir) != 0) {
        update_error(err, errlen, "cannot remove %s", dir);
        return -1;
    }
    if (remove_live_programs(bin, err, errlen) != 0)
        return -1;
    if (!RemoveDirectoryA(bin))
        remove_at_restart(bin);
    if (fs_remove_path(versions) != 0) {
        update_error(err, errlen, "cannot remove %s", versions);
        return -1;
    }
    remove_staging_dirs(dir);
    // With bin and the versions gone there is no switch left to finish or
    // undo: a journal the recovery could not record goes too.
    char journal[PATH_1400];
    if (path_format_1400(journal, "%s\\switch.journal", dir) == 0)
        DeleteFileA(journal);
    if (!RemoveDirectoryA(dir))
        remove_at_restart(dir);
    return 0;
}

// Copies every "orv_*.exe" of directory into vbin, overwriting. The number of
// copies, or -1 with a sentence in err when there is none or one fails.
static int copy_programs(const char *directory, const char *vbin, char *err, size_t errlen)
{
    char pattern[PATH_1400], source[PATH_1700], target[PATH_1700];
    if (path_format_1400(pattern, "%s\\orv_*.exe", directory) != 0) {
        update_error(err, errlen, "no orv_*.exe programs found in %s", directory);
        return -1;
    }
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        update_error(err, errlen, "no orv_*.exe programs found in %s", directory);
        return -1;
    }
    int copies = 0;
    do {
        if (path_format_1700(source, "%s\\%s", directory, found.cFileName) != 0 ||
            path_format_1700(target, "%s\\%s", vbin, found.cFileName) != 0 ||
            !CopyFileA(source, target, FALSE)) {
            update_error(err, errlen, "cannot copy %s\\%s", directory, found.cFileName);
            copies = -1;
            break;
        }
        copies++;
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return copies;
}

// The version that "<directory>\orv_agent.exe --version" reports, into
// version. 0, or -1 when the program does not run, fails or answers
// anything but its name and a valid version.
static int agent_version(const char *directory, char version[LOCK_VERSION_MAX])
{
    char agent[PATH_1700], out[LOCK_AGENT_OUTPUT];
    if (path_format_1700(agent, "%s\\orv_agent.exe", directory) != 0)
        return -1;
    const char *argv[] = {agent, "--version", NULL};
    proc_result res;
    if (proc_run(argv, NULL, LOCK_AGENT_TIMEOUT, out, sizeof out, &res) != 0 || res.timed_out ||
        res.exit_code != 0)
        return -1;
    return agent_version_scan(out, version) == 1 && version_is_valid(version) ? 0 : -1;
}

// The adoption's steps after the lock is taken: 0 adopted, 1 failed.
static int adopt_locked(const updater_config *c, const char *directory, char *err, size_t errlen)
{
    char version[LOCK_VERSION_MAX], vbin[PATH_1400], msg[LOCK_SWITCH_MSG];
    if (agent_version(directory, version) != 0) {
        update_error(err, errlen,
                     "cannot determine the version of the programs in %s (orv_agent.exe --version)",
                     directory);
        return 1;
    }
    if (path_format_1400(vbin, "%s\\versions\\%s\\bin", c->install_dir, version) != 0 ||
        fs_create_dirs(vbin) != 0) {
        update_error(err, errlen, "cannot create %s\\versions\\%s\\bin", c->install_dir, version);
        return 1;
    }
    int copies = copy_programs(directory, vbin, err, errlen);
    if (copies < 0)
        return 1;

    updater_state st;
    state_read(c, &st);
    char previous[sizeof st.installed_version];
    snprintf(previous, sizeof previous, "%s", st.installed_version);
    if (versions_journal_begin(c, VERSIONS_ADOPT, version, previous, "", err, errlen) != 0)
        return 1;
    if (versions_switch_bin(c, version, msg, sizeof msg) != 0) {
        versions_journal_end();
        update_error(err, errlen, "cannot switch: %s", msg);
        return 1;
    }
    // From here on an end of the process finishes the adoption; only then
    // may the moved-aside files go.
    int noted = versions_journal_tested();
    switch_undo_clear();
    // A journal that cannot say so keeps them for the undo; the next run
    // deletes them.
    if (noted == 0)
        versions_remove_old_files(c);
    versions_record_mode(&st, VERSIONS_ADOPT, version, previous, "");
    // Programs that run from bin but that the state does not name are not
    // managed: the engine would treat the installation as empty. The journal
    // stays, so that the next run records them.
    if (state_write(c, &st, msg, sizeof msg) != 0) {
        update_error(err, errlen, "the programs of version %s are live, but the state cannot record them: %s",
                     version, msg);
        versions_journal_close();
        return 1;
    }
    versions_journal_end();
    log_write(LOG_INFO, "adopted %d program(s), version %s, into %s", copies, version,
              c->install_dir);
    return 0;
}

int versions_adopt_existing(const updater_config *cfg, const char *directory, char *err,
                            size_t errlen)
{
    if (strlen(directory) > LOCK_DIR_MAX) {
        update_error(err, errlen, "the directory %.80s... is too long", directory);
        return 1;
    }
    if (cfg->install_dir[0] == '\0') {
        update_error(err, errlen, "no installation directory is set");
        return 1;
    }
    updater_config c;
    versions_config_copy(cfg, &c);
    int held = lock_open(&c);
    if (held == -1)
        return 75;  // another updater or setup works on the installation
    if (held != 0) {
        update_error(err, errlen, "cannot use the state directory %s", c.state_dir);
        return 1;
    }
    // Before anything else: a switch that a run ended half done.
    int rc = versions_recover(&c, err, errlen) == 0 ? adopt_locked(&c, directory, err, errlen) : 1;
    updater_lock_release();
    return rc;
}
