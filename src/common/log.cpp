// Pure parts of the log: level names, calendar arithmetic, the timestamp text,
// the emergency line, the search for the instants of a local time, and the
// assembly of a line. No Windows header, so they build natively too.
#include "log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "text.h"

const char *log_level_name(int level)
{
    switch (level) {
    case LOG_DEBUG: return "DEBUG";
    case LOG_INFO: return "INFO";
    case LOG_WARN: return "WARN";
    case LOG_ERROR: return "ERROR";
    default: return "?";
    }
}

// The standard days-from-civil conversion (eras of 400 years, floor division).
int64_t time_days_from_civil(int64_t year, int month, int day)
{
    int64_t y = year - (month <= 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (month + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void time_civil_from_days(int64_t days, int64_t *year, int *month, int *day)
{
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int d = (int)(doy - (153 * mp + 2) / 5 + 1);
    int m = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (m <= 2 ? 1 : 0);
    *month = m;
    *day = d;
}

int64_t time_tm_as_utc(const struct tm *tm)
{
    return time_days_from_civil((int64_t)tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday) * 86400 +
           (int64_t)tm->tm_hour * 3600 + (int64_t)tm->tm_min * 60 + tm->tm_sec;
}

void log_format_timestamp(const struct tm *local, int64_t t, char *buf, size_t size)
{
    if (size == 0)
        return;
    size_t n = strftime(buf, size, "%Y-%m-%dT%H:%M:%S", local);
    if (n == 0) {
        snprintf(buf, size, "%s", "?");
        return;
    }
    long minutes = (long)((time_tm_as_utc(local) - t) / 60);
    long abs_minutes = minutes < 0 ? -minutes : minutes;
    snprintf(buf + n, size - n, "%c%02ld:%02ld", minutes < 0 ? '-' : '+', abs_minutes / 60,
             abs_minutes % 60);
}

// Writes the low `width` decimal digits of v, zero-padded, then sep.
static char *put_digits(char *p, int64_t v, int width, char sep)
{
    if (v < 0)
        v = -v;
    for (int i = width - 1; i >= 0; i--) {
        p[i] = (char)('0' + v % 10);
        v /= 10;
    }
    p[width] = sep;
    return p + width + 1;
}

size_t log_format_emergency(int64_t t, const char *name, const char *text, char *buf)
{
    // Floor division so that instants before 1970 still give a valid date.
    int64_t days = t / 86400, secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        days -= 1;
    }
    int64_t year;
    int month, day;
    time_civil_from_days(days, &year, &month, &day);
    char *p = buf;
    p = put_digits(p, year, 4, '-');
    p = put_digits(p, month, 2, '-');
    p = put_digits(p, day, 2, 'T');
    p = put_digits(p, secs / 3600, 2, ':');
    p = put_digits(p, secs / 60 % 60, 2, ':');
    p = put_digits(p, secs % 60, 2, 'Z');
    size_t len = (size_t)(p - buf);
    const char *parts[4] = {" [", name ? name : "", "] WARN  ", text ? text : ""};
    for (int i = 0; i < 4; i++)
        for (const char *s = parts[i]; *s && len < 510; s++)
            buf[len++] = *s;
    buf[len++] = '\n';
    return len;
}

int64_t time_utc_offset_with(time_local_fn local, int64_t t)
{
    struct tm tm;
    if (local(t, &tm) != 0)
        return 0;
    return time_tm_as_utc(&tm) - t;
}

// Whether instant c converts to local time with exactly the offset r.
static int has_offset(time_local_fn local, int64_t c, int64_t r)
{
    struct tm tm;
    return local(c, &tm) == 0 && time_tm_as_utc(&tm) - c == r;
}

// A wall-clock time can be reached from the offset in force a day before and
// from the one a day after; each candidate counts only when the zone really
// has that offset at the resulting instant.
int time_local_to_utc_with(time_local_fn local, int year, int month, int day, int hour,
                           int minute, int second, int64_t out[2])
{
    int64_t w = time_days_from_civil(year, month, day) * 86400 + (int64_t)hour * 3600 +
                (int64_t)minute * 60 + second;
    int count = 0;
    int64_t r1 = time_utc_offset_with(local, w - 86400);
    int64_t c1 = w - r1;
    if (has_offset(local, c1, r1))
        out[count++] = c1;
    int64_t r2 = time_utc_offset_with(local, w + 86400);
    int64_t c2 = w - r2;
    if (!has_offset(local, c2, r2))
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

// One piece of a long line, formatted from its own arguments.
static void sink_piece(const log_sink *sink, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    sink->write_piece(fmt, ap);
    va_end(ap);
}

// The message of fmt and ap with its control characters escaped, on the heap
// (the caller frees it); null when memory runs out.
static char *escaped_message(const char *fmt, va_list ap)
{
    va_list aq;
    va_copy(aq, ap);
    int n = vsnprintf(nullptr, 0, fmt, aq);
    va_end(aq);
    if (n < 0)
        return nullptr;
    char *raw = (char *)malloc((size_t)n + 1);
    if (!raw)
        return nullptr;
    va_copy(aq, ap);
    vsnprintf(raw, (size_t)n + 1, fmt, aq);
    va_end(aq);
    size_t e = text_escape_controls(raw, nullptr, 0);
    char *escaped = (char *)malloc(e + 1);
    if (escaped)
        text_escape_controls(raw, escaped, e + 1);
    free(raw);
    return escaped;
}

void log_deliver(const log_sink *sink, log_callback cb, void *user, int level, const char *ts,
                 const char *name, const char *fmt, va_list ap)
{
    // Every pass formats from a copy: a va_list can be walked only once, and
    // the long-line path walks the arguments a second time.
    va_list aq;
    if (cb) {
        char text[2048];
        va_copy(aq, ap);
        int n = vsnprintf(text, sizeof text, fmt, aq);
        va_end(aq);
        if (n < 0)
            text[0] = '\0';
        else if ((size_t)n >= sizeof text)
            text_cut_whole(text, sizeof text);
        // What the receiver shows reaches a console or a window: a text from
        // a file or a server must not bring its escape sequences along.
        if (text_has_controls(text)) {
            char shown[sizeof text];
            text_escape_controls(text, shown, sizeof shown);
            cb(level, shown, user);
            return;
        }
        cb(level, text, user);
        return;
    }
    const char *lvl = log_level_name(level);
    char line[4096];
    int p = snprintf(line, sizeof line, "%s [%s] %-5s ", ts, name, lvl);
    int m = -1;
    if (p >= 1 && p <= 4095) {
        va_copy(aq, ap);
        m = vsnprintf(line + p, sizeof line - (size_t)p, fmt, aq);
        va_end(aq);
    }
    if (m >= 0 && (int64_t)p + m + 1 <= 4095 && !text_has_controls(line + p)) {
        line[p + m] = '\n';
        sink->write_whole(line, (size_t)(p + m + 1));
        return;
    }
    // A message with control characters goes out escaped; one too long for
    // one write goes out as the prefix, the message uncut and the line feed,
    // so nothing is lost.
    char *escaped = nullptr;
    if (m >= 0) {
        va_copy(aq, ap);
        escaped = escaped_message(fmt, aq);
        va_end(aq);
    }
    if (escaped && (int64_t)p + (int64_t)strlen(escaped) + 1 <= 4095) {
        size_t e = strlen(escaped);
        memcpy(line + p, escaped, e);
        line[p + e] = '\n';
        sink->write_whole(line, (size_t)p + e + 1);
        free(escaped);
        return;
    }
    sink_piece(sink, "%s [%s] %-5s ", ts, name, lvl);
    if (escaped) {
        sink_piece(sink, "%s", escaped);
    } else {
        // Not formattable, or no memory for the escaped copy: as it is.
        va_copy(aq, ap);
        sink->write_piece(fmt, aq);
        va_end(aq);
    }
    sink_piece(sink, "%s", "\n");
    free(escaped);
}
