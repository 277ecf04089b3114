// The process-wide log on the Windows runtime: local time through the CRT,
// raw writes to standard error, and a critical section around every line.
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "log.h"
#include "sys_clock.h"

// The one log of the process; static storage, ready at load.
static struct {
    char name[64];              // printed between brackets; cut to 63 bytes
    unsigned min_level;         // messages below it are dropped (unsigned comparison)
    volatile LONG error_count;  // level-3 messages plus log_stderr_printf calls
    log_callback callback;      // receiver of bare messages, or null for stderr
    void *user;                 // handed back to callback unchanged
    sys_mutex lock;             // serialises lines and callback changes
    int lock_ready;             // 1 once log_init has created lock
    int syslog_ready;           // 1 once syslog_setup has run
} g_log = {"orv", 1, 0, nullptr, nullptr, {}, 0, 0};

void log_init(const char *name, int min_level)
{
    snprintf(g_log.name, sizeof g_log.name, "%s", name ? name : "");
    g_log.min_level = (unsigned)min_level;
    if (!g_log.lock_ready) {
        sys_mutex_init(&g_log.lock);
        g_log.lock_ready = 1;
    }
}

void log_set_callback(log_callback fn, void *user)
{
    if (g_log.lock_ready)
        sys_mutex_lock(&g_log.lock);
    g_log.callback = fn;
    g_log.user = user;
    if (g_log.lock_ready)
        sys_mutex_unlock(&g_log.lock);
}

int log_error_count(void) { return (int)InterlockedCompareExchange(&g_log.error_count, 0, 0); }

const char *log_program_name(void) { return g_log.name; }

// Writes one line; the caller holds the lock when it exists. The argument list
// is copied for every pass over it, since a va_list can be walked only once.
static void write_line(int level, const char *ts, const char *fmt, va_list ap)
{
    va_list aq;
    if (g_log.callback) {
        char text[2048];
        va_copy(aq, ap);
        vsnprintf(text, sizeof text, fmt, aq);
        va_end(aq);
        g_log.callback(level, text, g_log.user);
        return;
    }
    const char *lvl = log_level_name(level);
    char line[4096];
    int p = snprintf(line, sizeof line, "%s [%s] %-5s ", ts, g_log.name, lvl);
    int m = -1;
    if (p >= 1 && p <= 4095) {
        va_copy(aq, ap);
        m = vsnprintf(line + p, sizeof line - (size_t)p, fmt, aq);
        va_end(aq);
    }
    if (m >= 0 && p + m + 1 <= 4095) {
        line[p + m] = '\n';
        fflush(stderr);
        _write(_fileno(stderr), line, (unsigned)(p + m + 1));
        return;
    }
    // Too long for one write: prefix, the whole message and the line feed.
    fprintf(stderr, "%s [%s] %-5s ", ts, g_log.name, lvl);
    va_copy(aq, ap);
    vfprintf(stderr, fmt, aq);
    va_end(aq);
    fputc('\n', stderr);
    fflush(stderr);
}

void log_write(int level, const char *fmt, ...)
{
    if (level == LOG_ERROR)
        InterlockedIncrement(&g_log.error_count);
    if ((unsigned)level < g_log.min_level)
        return;
    char ts[32];
    log_timestamp(sys_time_now(), ts, sizeof ts);
    if (g_log.lock_ready)
        sys_mutex_lock(&g_log.lock);
    va_list ap;
    va_start(ap, fmt);
    write_line(level, ts, fmt, ap);
    va_end(ap);
    if (g_log.lock_ready)
        sys_mutex_unlock(&g_log.lock);
}

int log_stderr_printf(const char *fmt, ...)
{
    InterlockedIncrement(&g_log.error_count);
    va_list ap;
    va_start(ap, fmt);
    int r = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return r;
}

int log_emergency_warn(const char *text)
{
    char buf[512];
    size_t len = log_format_emergency((int64_t)_time64(nullptr), g_log.name, text, buf);
    return _write(2, buf, (unsigned)len);
}

// Local broken-down time of t; 0 on success.
static int local_tm(int64_t t, struct tm *out)
{
    __time64_t tt = (__time64_t)t;
    return _localtime64_s(out, &tt) == 0 ? 0 : -1;
}

void log_timestamp(int64_t t, char *buf, size_t size)
{
    if (size == 0)
        return;
    struct tm tm;
    if (local_tm(t, &tm) != 0) {
        snprintf(buf, size, "%s", "?");
        return;
    }
    log_format_timestamp(&tm, t, buf, size);
}

int64_t time_utc_offset(int64_t t)
{
    struct tm tm;
    if (local_tm(t, &tm) != 0)
        return 0;
    return time_tm_as_utc(&tm) - t;
}

// Whether instant c converts to local time with exactly the offset r.
static int has_offset(int64_t c, int64_t r)
{
    struct tm tm;
    return local_tm(c, &tm) == 0 && time_tm_as_utc(&tm) - c == r;
}

int time_local_to_utc(int year, int month, int day, int hour, int minute, int second,
                      int64_t out[2])
{
    int64_t w = time_days_from_civil(year, month, day) * 86400 + (int64_t)hour * 3600 +
                (int64_t)minute * 60 + second;
    int count = 0;
    int64_t r1 = time_utc_offset(w - 86400);
    int64_t c1 = w - r1;
    if (has_offset(c1, r1))
        out[count++] = c1;
    int64_t r2 = time_utc_offset(w + 86400);
    int64_t c2 = w - r2;
    if (!has_offset(c2, r2))
        return count;
    if (count == 1 && c2 == out[0])
        return 1;
    if (count == 1 && c2 < out[0]) {
        out[1] = out[0];
        out[0] = c2;
        return 2;
    }
    out[count] = c2;
    return count + 1;
}

void log_use_journal(int on) { (void)on; }
int journal_available(void) { return 0; }
void syslog_setup(int argc, char **argv, const char *ident) { g_log.syslog_ready = 1; }
int syslog_options_enabled(void) { return g_log.syslog_ready; }
void syslog_write(int priority, const char *fmt, ...) { (void)priority; (void)fmt; }
