// Reading and writing the state file on disk.
#include "state.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fs.h"
#include "state_win_seam.h"
#include "update.h"

const state_win_calls state_win_real = {fflush};
state_win_calls state_win = state_win_real;

// Reads the whole file into a heap text with room for a NUL after it; null
// when it cannot be opened or read (or memory runs out).
static char *read_whole(const char *path, size_t *len)
{
    FILE *f = fopen(path, "rb");
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
    char *text = read_whole(path, &len);
    if (text)
        state_parse_text(st, text, len);
    free(text);
    return 0;
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
    errno = 0;
    FILE *f = fopen(tmp, "wb" FS_NOINHERIT);
    if (!f) {
        if (fs_disk_full(errno))
            update_error(err, errlen, "cannot write %s: the disk is full", tmp);
        else
            update_error(err, errlen, "cannot write %s", tmp);
        return -1;
    }
    int bad = n < 0 || (size_t)n >= sizeof text;
    int full = 0;
    // The data must be on disk before the move makes it the state file;
    // otherwise a power cut right after the move can leave an empty file.
    // Each step is checked as it is taken: a full disk shows in the error of
    // the step that failed.
    if (!bad && fwrite(text, 1, (size_t)n, f) != (size_t)n)
        bad = 1, full = fs_disk_full(errno);
    if (!bad && state_win.flush(f) != 0)
        bad = 1, full = fs_disk_full(errno);
    if (!bad && _commit(_fileno(f)) != 0)
        bad = 1, full = fs_disk_full(errno);
    if (fclose(f) != 0 && !bad)
        bad = 1, full = fs_disk_full(errno);
    if (full) {
        update_error(err, errlen, "cannot write %s: the disk is full", tmp);
        return -1;
    }
    if (bad || fs_replace_file(tmp, path) != 0) {
        update_error(err, errlen, "cannot update %s", path);
        return -1;
    }
    return 0;
}
