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

// Standard error as the log's sink: a whole line with one raw write after
// whatever the stream still holds, a long line through the stream.
static void stderr_whole(const char *line, size_t len)
{
    fflush(stderr);
    _write(_fileno(stderr), line, (unsigned)len);
}

static void stderr_piece(const char *fmt, va_list ap)
{
    vfprintf(stderr, fmt, ap);
    fflush(stderr);
}

static const log_sink kStderrSink = {stderr_whole, stderr_piece};

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
    log_deliver(&kStderrSink, g_log.callback, g_log.user, level, ts, g_log.name, fmt, ap);
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

// Local broken-down time of t by the runtime's own zone rules; 0 on success.
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

int64_t time_utc_offset(int64_t t) { return time_utc_offset_with(local_tm, t); }

int time_local_to_utc(int year, int month, int day, int hour, int minute, int second,
                      int64_t out[2])
{
    return time_local_to_utc_with(local_tm, year, month, day, hour, minute, second, out);
}

void log_use_journal(int on) { (void)on; }
int journal_available(void) { return 0; }
void syslog_setup(int argc, char **argv, const char *ident) { g_log.syslog_ready = 1; }
int syslog_options_enabled(void) { return g_log.syslog_ready; }
void syslog_write(int priority, const char *fmt, ...) { (void)priority; (void)fmt; }
