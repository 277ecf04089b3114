// The process-wide log: one line per message on standard error, or the bare
// message to an installed callback. Also the timestamp and local-time routines
// and the system-log hooks, which are empty on Windows.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "orv_attr.h"

enum { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERROR = 3 };

// Receives every message that passes the level filter, without time, name or
// level, cut to 2047 bytes (whole UTF-8 characters) and with its control
// characters escaped; text is valid only during the call.
typedef void (*log_callback)(int level, const char *text, void *user);

// Names the process in log lines (cut to 63 bytes) and sets the minimum level;
// the first call also creates the log's lock.
void log_init(const char *name, int min_level);
// Installs (or with null removes) the receiver of log messages.
void log_set_callback(log_callback fn, void *user);
// Logs one message; never fails, never drops a message for its length.
void log_write(int level, const char *fmt, ...) ORV_PRINTF(2, 3);
// Number of level-3 messages (dropped ones included) and log_stderr_printf calls.
int log_error_count(void);
// The program name printed in log lines (the log's own buffer, not a copy).
const char *log_program_name(void);
// Counts an error and formats straight onto standard error, unfiltered and unlocked.
int log_stderr_printf(const char *fmt, ...) ORV_PRINTF(1, 2);
// Writes "<UTC time>Z [name] WARN  text\n" with one raw write to descriptor 2,
// without the lock, stdio, the heap or the runtime's time conversion.
// Returns the write's result (bytes written, or -1).
int log_emergency_warn(const char *text);

// Local time of t as "%Y-%m-%dT%H:%M:%S" plus "+hh:mm"; "?" when the local
// time cannot be determined; nothing at all when size is 0.
void log_timestamp(int64_t t, char *buf, size_t size);
// Offset of local time from UTC at t in seconds (local minus UTC); 0 when t
// cannot be converted to local time.
int64_t time_utc_offset(int64_t t);
// The UTC instants whose local time is the given wall-clock time, ascending in
// out: 0 inside a daylight-saving gap, 2 inside a repeated hour, else 1.
int time_local_to_utc(int year, int month, int day, int hour, int minute, int second,
                      int64_t out[2]);

// System-log hooks: no journal or syslog exists on this platform.
void log_use_journal(int on);
int journal_available(void);
// Marks that the log options are known to the option warner; opens nothing.
void syslog_setup(int argc, char **argv, const char *ident);
int syslog_options_enabled(void);
void syslog_write(int priority, const char *fmt, ...) ORV_PRINTF(2, 3);

// ---- pure formatting, shared with the platform part --------------------------

// "DEBUG", "INFO", "WARN", "ERROR", or "?" for any other level.
const char *log_level_name(int level);
// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12).
int64_t time_days_from_civil(int64_t year, int month, int day);
// The proleptic Gregorian date of a day count since 1970-01-01.
void time_civil_from_days(int64_t days, int64_t *year, int *month, int *day);
// A broken-down time read as if it were UTC, in seconds since 1970.
int64_t time_tm_as_utc(const struct tm *tm);
// The timestamp text for instant t whose local broken-down time is local:
// strftime of the fields, then the offset (local-as-UTC minus t, in minutes cut
// toward zero) as "%c%02ld:%02ld". Writes "?" when strftime produces nothing;
// nothing when size is 0.
void log_format_timestamp(const struct tm *local, int64_t t, char *buf, size_t size);
// Builds the emergency line for UTC instant t into buf (512 bytes): at most 510
// bytes of content and a line feed. Returns the length including the line feed.
size_t log_format_emergency(int64_t t, const char *name, const char *text, char *buf);

// A conversion of instant t to local broken-down time: 0, or -1 when t has no
// local time. The runtime's conversion in the program; a fixed zone in tests.
typedef int (*time_local_fn)(int64_t t, struct tm *out);
// time_utc_offset under the conversion local.
int64_t time_utc_offset_with(time_local_fn local, int64_t t);
// time_local_to_utc under the conversion local.
int time_local_to_utc_with(time_local_fn local, int year, int month, int day, int hour,
                           int minute, int second, int64_t out[2]);

// Where a log line goes when no callback is installed; the platform part
// writes to standard error, tests record.
struct log_sink {
    // Writes a whole line (line feed included) with one raw write.
    void (*write_whole)(const char *line, size_t len);
    // Formats one piece of a line too long for one write onto the stream.
    void (*write_piece)(const char *fmt, va_list ap);
};

// Delivers one message that passed the level filter. The message's control
// characters (text_escape_controls: all but its line breaks) are escaped, so
// that a text from a file or a server cannot steer a terminal. With cb set,
// cb gets the bare text cut to 2047 bytes without splitting a UTF-8
// character, and nothing goes to sink. Otherwise the line "%s [%s] %-5s "
// (ts, name, level name), message, line feed goes to sink in one write_whole
// when it is at most 4095 bytes long, else as three write_piece calls
// (prefix, the whole message, "\n"). ap is copied for every pass over it and
// left unconsumed for the caller.
void log_deliver(const log_sink *sink, log_callback cb, void *user, int level, const char *ts,
                 const char *name, const char *fmt, va_list ap);
