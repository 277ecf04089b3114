// Console front end: the texts of the step lines, the progress bar and the
// message lines, and the warnings collected from the log for the summary.
#include "console.h"

#include <stdarg.h>
#include <string.h>

#include "log.h"
#include "setup_choice.h"
#include "setup_report.h"
#include "setup_text.h"

// The log's warnings for the summary at exit. Only the thread of the silent
// flow logs while the hook is installed, and the log calls the hook under its
// own lock, so there is no lock here.
static struct {
    char text[CONSOLE_WARNINGS_KEPT][CONSOLE_WARNING_SIZE]; // first eight, cut to 399 bytes
    int count; // all WARN and ERROR messages, also those not stored
} g_warnings;

void console_log_hook(int level, const char *text, void *user)
{
    (void)user;
    if (level < LOG_WARN)
        return;
    if (g_warnings.count < CONSOLE_WARNINGS_KEPT)
        console_snprintf(g_warnings.text[g_warnings.count], CONSOLE_WARNING_SIZE, "%s", text);
    g_warnings.count++;
}

void console_warnings_clear(void) { memset(&g_warnings, 0, sizeof g_warnings); }

int console_snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = setup_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

int console_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vprintf(fmt, ap);
    va_end(ap);
    return r;
}

void console_step_line(setup_context *ctx, const char *step, size_t index, size_t count,
                       char *out, size_t outlen)
{
    char text[CONSOLE_STEP_TEXT];
    setup_step_text(ctx, step, text, sizeof text);
    if (count <= 1) {
        console_snprintf(out, outlen, "  %s\n", text);
        return;
    }
    // An engine that counts past its total still shows a sane counter.
    size_t shown = index < count ? index + 1 : count;
    console_snprintf(out, outlen, "  [%zu/%zu] %s\n", shown, count, text);
}

void console_bar_text(uint64_t done, uint64_t total, char *out, size_t outlen)
{
    if (!outlen)
        return;
    // Capped while still a double: a count far beyond the total would not
    // fit an int.
    double share = (double)done / (double)total * CONSOLE_BAR_CELLS;
    int cells = share >= CONSOLE_BAR_CELLS ? CONSOLE_BAR_CELLS : (int)share;
    char bar[CONSOLE_BAR_CELLS + 1];
    for (int i = 0; i < CONSOLE_BAR_CELLS; i++)
        bar[i] = i < cells ? '#' : '.';
    bar[CONSOLE_BAR_CELLS] = '\0';
    char done_text[CONSOLE_SIZE_TEXT], total_text[CONSOLE_SIZE_TEXT];
    format_size(done, done_text, sizeof done_text);
    format_size(total, total_text, sizeof total_text);
    console_snprintf(out, outlen, "\r      [%s] %3d%%  %s von %s   ", bar,
                     (int)(done * 100 / total), done_text, total_text);
}

void console_message_line(int level, const char *text, char *out, size_t outlen)
{
    const char *prefix = level == 2 ? "Fehler: " : level == 1 ? "Warnung: " : "";
    console_snprintf(out, outlen, "%s%s\n", prefix, text);
}

int console_summary_line(int n, char *out, size_t outlen)
{
    int count = g_warnings.count;
    int stored = count < CONSOLE_WARNINGS_KEPT ? count : CONSOLE_WARNINGS_KEPT;
    if (count == 0 || n < 0)
        return 0;
    if (n == 0)
        console_snprintf(out, outlen, "\n%s (Protokoll):\n", count == 1 ? "Warnung" : "Warnungen");
    else if (n <= stored)
        console_snprintf(out, outlen, "  %.399s\n", g_warnings.text[n - 1]);
    else if (n == stored + 1 && count > CONSOLE_WARNINGS_KEPT)
        console_snprintf(out, outlen, "  … und %d weitere\n", count - CONSOLE_WARNINGS_KEPT);
    else
        return 0;
    return 1;
}
