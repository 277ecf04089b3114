// The run's report text, the progress adapters, the step texts and the front
// end's error writer.
#include "setup_report.h"

#include <string.h>

#include "msg.h"
#include "setup_choice.h"
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

void setup_postponed(char *err, size_t errlen, const char *fallback)
{
    if (!err || !errlen)
        return;
    if (!err[0]) {
        setup_error(err, errlen, "%s", fallback);
        return;
    }
    // Whoever must end the busy program has to learn its name.
    msg_localize(err, errlen);
    size_t n = msg_finish_sentence(err, errlen);
    if (n < errlen)
        setup_error(err + n, errlen - n, " Bitte später erneut versuchen");
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

int setup_step_adapter(void *ctx, const char *step, size_t index, size_t count)
{
    const setup_callbacks *cb = &((setup_context *)ctx)->callbacks;
    return cb->step_fn ? cb->step_fn(cb->callback_user, step, index, count + 2) : 0;
}

void setup_bytes_adapter(void *ctx, uint64_t done, uint64_t total)
{
    const setup_callbacks *cb = &((setup_context *)ctx)->callbacks;
    if (cb->bytes_fn)
        cb->bytes_fn(cb->callback_user, done, total);
}

char *setup_step_text(setup_context *ctx, const char *step, char *out, size_t outlen)
{
    static const char kDownloading[] = "downloading ";
    static const struct {
        const char *step, *text;
    } kFixed[] = {
        {"downloading package", "Lade das Update-Paket"},
        {"installing", "Installiere und prüfe die Programme"},
        {"configuring", "Richte die Einstellungen ein"},
        {"removing", "Entferne die Programme"},
    };
    for (const auto &f : kFixed)
        if (strcmp(step, f.step) == 0) {
            setup_flow_snprintf(out, outlen, "%s", f.text);
            return out;
        }
    if (strncmp(step, kDownloading, sizeof kDownloading - 1) == 0) {
        char name[200];
        setup_display_names(ctx, step + sizeof kDownloading - 1, name, sizeof name);
        setup_flow_snprintf(out, outlen, "Lade Komponente „%s“", name);
        return out;
    }
    setup_flow_snprintf(out, outlen, "%s", step);
    return out;
}
