// The run's report text and the front end's error writer.
#include "setup_report.h"

#include <string.h>

#include "setup_text.h"

int setup_flow_snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = setup_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

void setup_verror(char *err, size_t errlen, const char *format, va_list ap)
{
    if (err && errlen)
        setup_vsnprintf(err, errlen, format, ap);
}

void setup_error(char *err, size_t errlen, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    setup_verror(err, errlen, format, ap);
    va_end(ap);
}

size_t setup_report(setup_context *ctx, const char *format, ...)
{
    char *r = ctx->report;
    size_t n = strnlen(r, SETUP_REPORT_SIZE - 1);
    // Two bytes must stay for at least one character and the NUL; a full
    // report takes no more lines, so its end is never overwritten.
    if (n >= SETUP_REPORT_SIZE - 2)
        return n;
    va_list ap;
    va_start(ap, format);
    setup_vsnprintf(r + n, SETUP_REPORT_SIZE - n, format, ap);
    va_end(ap);
    n = strnlen(r, SETUP_REPORT_SIZE - 1);
    if (n <= SETUP_REPORT_SIZE - 3) {
        r[n++] = '\n';
        r[n] = '\0';
    }
    return n;
}
