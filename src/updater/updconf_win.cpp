// Putting updater.conf on disk: the whole file or one key, always through a
// temporary file that is moved over the old one once it is complete.
#include <io.h>
#include <stdio.h>
#include <string.h>

#include "conf.h"
#include "fs.h"
#include "updconf.h"

// Flushes f down to the disk and closes it: 0, or -1 when any step failed (the
// file is closed in every case). A moved file whose data never reached the disk
// would come back empty after a power cut.
static int close_flushed(FILE *f)
{
    int rc = fflush(f) == 0 && _commit(_fileno(f)) == 0 ? 0 : -1;
    if (fclose(f) != 0)
        rc = -1;
    return rc;
}

int updconf_write(const char *path, const updater_config *cfg, char *err, size_t errlen)
{
    char text[UPDCONF_TEXT_MAX];
    const char *bad_key = nullptr;
    // Every value is checked before anything on disk changes.
    int len = updconf_format(cfg, text, sizeof text, &bad_key);
    if (len < 0)
        return updconf_fail(err, errlen,
                            "cannot write %s: the value of '%s' does not fit on one line", path,
                            bad_key ? bad_key : "?");
    const char *slash = strrchr(path, '/');
    const char *back = strrchr(path, '\\');
    const char *sep = !slash || (back && back > slash) ? back : slash;
    if (sep && sep > path) {
        char dir[1100];
        snprintf(dir, sizeof dir, "%.*s", (int)(sep - path), path);
        if (fs_create_dirs(dir) != 0)
            return updconf_fail(err, errlen, "cannot create %s", dir);
    }
    char tmp[1100];
    if ((size_t)snprintf(tmp, sizeof tmp, "%s.tmp", path) >= sizeof tmp)
        return updconf_fail(err, errlen, "cannot write %s.tmp", path);
    FILE *f = fopen(tmp, "wb" FS_NOINHERIT);
    if (!f)
        return updconf_fail(err, errlen, "cannot write %s", tmp);
    bool written = fwrite(text, 1, (size_t)len, f) == (size_t)len;
    // The temporary file stays after a failure; the old file is untouched.
    if (close_flushed(f) != 0 || !written || fs_replace_file(tmp, path) != 0)
        return updconf_fail(err, errlen, "cannot write %s", path);
    return 0;
}

int updconf_set_value(const char *path, const char *key, const char *value, char *err,
                      size_t errlen)
{
    char line[UPDCONF_LINE_MAX];
    char tmp[1100];
    int n = updconf_format_line(key, value, line);
    if (n == -2)
        return updconf_fail(err, errlen, "cannot update %s: invalid key '%s'", path, key);
    if (n < 0)
        return updconf_fail(err, errlen,
                            "cannot update %s: the value of '%s' does not fit on one line", path,
                            key);
    if ((size_t)snprintf(tmp, sizeof tmp, "%s.tmp", path) >= sizeof tmp)
        return updconf_fail(err, errlen, "cannot write %s.tmp", path);
    FILE *in = fopen(path, "rb");
    if (!in)
        return updconf_fail(err, errlen, "cannot read %s", path);
    conf_skip_bom(in);  // the mark is not copied
    FILE *out = fopen(tmp, "wb" FS_NOINHERIT);
    if (!out) {
        fclose(in);
        return updconf_fail(err, errlen, "cannot write %s", tmp);
    }
    int rc = updconf_copy_replacing(in, out, key, line);
    fclose(in);
    if (close_flushed(out) != 0)
        rc = -1;
    if (rc == 0 && fs_replace_file(tmp, path) != 0)
        rc = -1;
    if (rc != 0) {
        remove(tmp);
        return updconf_fail(err, errlen, "cannot update %s", path);
    }
    return 0;
}
