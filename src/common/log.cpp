// Pure parts of the log: level names, calendar arithmetic, the timestamp text
// and the emergency line. No Windows header, so they build natively too.
#include "log.h"

#include <stdio.h>
#include <string.h>

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
