// Error writer and scanner of the update engine.
#include "update.h"

#include <stdarg.h>
#include <stdio.h>

void update_error(char *err, size_t errlen, const char *fmt, ...)
{
    if (!err || errlen == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
}

int update_sscanf(const char *text, const char *fmt, ...)
{
    if (!text || !fmt)
        return EOF;
    va_list ap;
    va_start(ap, fmt);
    // With __USE_MINGW_ANSI_STDIO this is the C99 scanner, so "%lld" means
    // a 64-bit number on every msvcrt.
    int n = vsscanf(text, fmt, ap);
    va_end(ap);
    return n;
}
