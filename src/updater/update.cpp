// Bounded formatter, error writer and scanner of the update engine.
#include "update.h"

#include <stdarg.h>
#include <stdio.h>

#include "text.h"

int update_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    // The C99 vsnprintf (see __USE_MINGW_ANSI_STDIO) already keeps the
    // contract; msvcrt's _vsnprintf would leave a full buffer unterminated.
    int n = vsnprintf(size ? buf : nullptr, size, fmt, ap);
    va_end(ap);
    return n;
}

void update_verror(char *err, size_t errlen, const char *fmt, va_list ap)
{
    if (!err || errlen == 0)
        return;
    int n = vsnprintf(err, errlen, fmt, ap);
    // The sentence reaches the user, translated, inside a text that must stay
    // UTF-8 as a whole: a cut never leaves half a character behind.
    if (n >= 0 && (size_t)n >= errlen)
        text_cut_whole(err, errlen);
}

void update_error(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    update_verror(err, errlen, fmt, ap);
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
