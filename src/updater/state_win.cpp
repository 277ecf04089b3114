// Reading and writing the state file on disk.
#include "state.h"

#include <errno.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <sddl.h>

#include "fs.h"
#include "sha256.h"
#include "state_win_seam.h"
#include "update.h"

// Tries of a state write that another process holds up for a moment, and
// the pause between two of them: two seconds in all.
#define STATE_WRITE_TRIES 40
#define STATE_WRITE_PAUSE_MS 50

// How long a reader or writer waits for its turn at the state file: far
// longer than any one write takes, even on a disk that is busy for seconds.
#define STATE_TURN_WAIT_MS 30000

const state_win_calls state_win_real = {fflush};
state_win_calls state_win = state_win_real;

// Waits for this state file's turn: a named mutex per state file that its
// readers and writers take, in this process and in all others. Without it a
// writer that found the file in use could only try again a moment later, and
// a second writer or a reader that kept coming back took that moment every
// time until the tries ran out; the mutex serves its waiters in turn. The
// name holds a digest of the full path, since a path holds characters a name
// cannot. Null when no turn can be had (the name is refused, or the wait
// runs out): the caller then goes on with its tries alone.
static HANDLE state_turn_take(const char *path)
{
    char full[MAX_PATH * 2];
    DWORD n = GetFullPathNameA(path, sizeof full, full, NULL);
    if (n == 0 || n >= sizeof full)
        return NULL;
    for (DWORD i = 0; i < n; i++) {
        if (full[i] == '/')
            full[i] = '\\';
        else if (full[i] >= 'a' && full[i] <= 'z')
            full[i] = (char)(full[i] - 'a' + 'A');
    }
    uint8_t digest[32];
    char hex[65], name[80];
    sha256_buffer(full, n, digest);
    hex32(digest, hex);
    hex[32] = '\0';
    // Global: the scheduled updater runs as SYSTEM in another session than
    // the setup. The mutex grants SYSTEM and the administrators all rights,
    // so whichever of them made it, the other can wait for it and release it.
    // Where a global name is refused, a local one still orders this
    // session's setups.
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, FALSE};
    PSECURITY_DESCRIPTOR sd = NULL;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;SY)(A;;GA;;;BA)",
                                                             SDDL_REVISION_1, &sd, NULL))
        sa.lpSecurityDescriptor = sd;
    HANDLE m = NULL;
    const char *spaces[] = {"Global", "Local"};
    for (int i = 0; i < 2 && !m; i++) {
        snprintf(name, sizeof name, "%s\\orv_state_%s", spaces[i], hex);
        m = CreateMutexExA(&sa, name, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    }
    LocalFree(sd);
    if (!m)
        return NULL;
    // An abandoned mutex (its holder was ended) is this caller's now.
    DWORD got = WaitForSingleObject(m, STATE_TURN_WAIT_MS);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        CloseHandle(m);
        return NULL;
    }
    return m;
}

// Ends the turn that state_turn_take gave (none when m is null).
static void state_turn_give(HANDLE m)
{
    if (!m)
        return;
    ReleaseMutex(m);
    CloseHandle(m);
}

// Reads the whole file into a heap text with room for a NUL after it; null
// when it cannot be opened or read (or memory runs out). A file that another
// process's write is replacing at this moment cannot be opened for that
// moment: it is waited for, since taking it for a missing state would let
// the next write drop the whole record.
static char *read_whole(const char *path, size_t *len)
{
    FILE *f = NULL;
    for (int i = 0; i < STATE_WRITE_TRIES && !f; i++) {
        if (i > 0)
            Sleep(STATE_WRITE_PAUSE_MS);
        f = fopen(path, "rb");
        if (!f && GetLastError() != ERROR_SHARING_VIOLATION)
            break;
    }
    if (!f)
        return NULL;
    size_t cap = 4096, n = 0;
    char *buf = (char *)malloc(cap);
    while (buf) {
        if (cap - n < 2) {
            char *grown = (char *)realloc(buf, cap * 2);
            if (!grown) {
                free(buf);
                buf = NULL;
                break;
            }
            buf = grown;
            cap *= 2;
        }
        size_t got = fread(buf + n, 1, cap - n - 1, f);
        n += got;
        if (got == 0) {
            if (ferror(f)) {
                free(buf);
                buf = NULL;
            }
            break;
        }
    }
    fclose(f);
    *len = n;
    return buf;
}

int state_read(const updater_config *cfg, updater_state *st)
{
    memset(st, 0, sizeof *st);
    char path[600];
    if ((size_t)snprintf(path, sizeof path, "%s/state", cfg->state_dir) >= sizeof path)
        return 0;
    size_t len = 0;
    HANDLE turn = state_turn_take(path);
    char *text = read_whole(path, &len);
    state_turn_give(turn);
    if (text)
        state_parse_text(st, text, len);
    free(text);
    return 0;
}

// One try of writing the n bytes of text as tmp and moving it over path. 0
// done; 1 held up by another process, to be tried again: a second writer
// has tmp open, or path is open elsewhere at the moment it is replaced (or
// the second writer moved this one's tmp over it); -1 failed, with the
// sentence in err.
static int write_once(const char *tmp, const char *path, const char *text, int n, char *err,
                      size_t errlen)
{
    errno = 0;
    // Shared with nobody: a second writer waits for this one instead of
    // emptying the file under it, which would give the state a torn record.
    FILE *f = _fsopen(tmp, "wb" FS_NOINHERIT, _SH_DENYRW);
    if (!f) {
        int full = fs_disk_full(errno);
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            return 1;
        if (full)
            update_error(err, errlen, "cannot write %s: the disk is full", tmp);
        else
            update_error(err, errlen, "cannot write %s", tmp);
        return -1;
    }
    int bad = n < 0 || (size_t)n >= STATE_TEXT_MAX;
    int full = 0;
    // The data must be on disk before the move makes it the state file;
    // otherwise a power cut right after the move can leave an empty file.
    // Each step is checked as it is taken: a full disk shows in the error of
    // the step that failed, or, for a write that stopped part way and says
    // nothing (under Wine), in the room left on the disk.
    unsigned long long need = n > 0 ? (unsigned long long)n : 1;
    if (!bad && fwrite(text, 1, (size_t)n, f) != (size_t)n)
        bad = 1, full = fs_disk_full(errno) || fs_disk_short(tmp, need);
    if (!bad && state_win.flush(f) != 0)
        bad = 1, full = fs_disk_full(errno) || fs_disk_short(tmp, need);
    if (!bad && _commit(_fileno(f)) != 0)
        bad = 1, full = fs_disk_full(errno) || fs_disk_short(tmp, need);
    if (fclose(f) != 0 && !bad)
        bad = 1, full = fs_disk_full(errno) || fs_disk_short(tmp, need);
    if (full) {
        update_error(err, errlen, "cannot write %s: the disk is full", tmp);
        return -1;
    }
    if (!bad && fs_replace_file(tmp, path) == 0)
        return 0;
    DWORD e = GetLastError();
    update_error(err, errlen, "cannot update %s", path);
    // A directory in the state file's place stays there; a reader or the
    // other writer lets go in a moment.
    DWORD attrs = GetFileAttributesA(path);
    int in_the_way = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
    return !bad && !in_the_way &&
                   (e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED ||
                    e == ERROR_FILE_NOT_FOUND)
               ? 1
               : -1;
}

int state_write(const updater_config *cfg, const updater_state *st, char *err, size_t errlen)
{
    char path[600], tmp[610], text[STATE_TEXT_MAX];
    snprintf(path, sizeof path, "%s/state", cfg->state_dir);
    // A state that would read back as something else is a record silently
    // changed by the next run: refuse it while the old file is untouched.
    const char *unreadable = state_unreadable_field(st);
    if (unreadable) {
        update_error(err, errlen, "cannot update %s: its %s value would not read back as written",
                     path, unreadable);
        return -1;
    }
    if (fs_create_dirs(cfg->state_dir) != 0) {
        update_error(err, errlen, "cannot create %s", cfg->state_dir);
        return -1;
    }
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    int n = state_format(st, text, sizeof text);
    // Two setups connect at the same moment, and loading the catalog writes
    // the state without the engine's lock: the one that comes second waits
    // for the first a moment instead of failing.
    update_error(err, errlen, "cannot update %s", path);
    // The tries still count for what the turn does not order: a program
    // that has the file open without taking a turn, such as a virus scanner.
    HANDLE turn = state_turn_take(path);
    int rc = 1;
    for (int i = 0; i < STATE_WRITE_TRIES && rc == 1; i++) {
        if (i > 0)
            Sleep(STATE_WRITE_PAUSE_MS);
        rc = write_once(tmp, path, text, n, err, errlen);
    }
    state_turn_give(turn);
    return rc == 0 ? 0 : -1;
}
