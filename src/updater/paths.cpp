// The data directory of the product, worked out once per process, and the
// bounded path formatters.
#include "paths.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

const char *paths_data_dir(void)
{
    // Filled on the main thread at start-up, before any worker exists; only
    // read afterwards, so a later change of ProgramData is not seen.
    static char dir[400];
    if (!dir[0]) {
        const char *base = getenv("ProgramData");
        snprintf(dir, sizeof dir, "%s\\orvantis", base && base[0] ? base : "C:\\ProgramData");
    }
    return dir;
}

// The one body of the family: the whole text or nothing.
static int path_vformat(char *buf, size_t size, const char *fmt, va_list ap)
{
    if (!buf || size == 0)
        return -1;
    int n = vsnprintf(buf, size, fmt, ap);
    if (n < 0 || (size_t)n >= size) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

int path_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = path_vformat(buf, size, fmt, ap);
    va_end(ap);
    return rc;
}

int path_format_1400(char buf[PATH_1400], const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = path_vformat(buf, PATH_1400, fmt, ap);
    va_end(ap);
    return rc;
}

int path_format_1500(char buf[PATH_1500], const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = path_vformat(buf, PATH_1500, fmt, ap);
    va_end(ap);
    return rc;
}

int path_format_1700(char buf[PATH_1700], const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = path_vformat(buf, PATH_1700, fmt, ap);
    va_end(ap);
    return rc;
}
