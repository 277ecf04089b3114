// Console front end of the silent mode: the step lines, the byte progress
// bar, the error and warning lines, the warnings collected from the log, and
// the one routine through which the setup's German texts reach standard
// output and standard error.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "orv_attr.h"
#include "setup_context.h"

enum {
    CONSOLE_WARNINGS_KEPT = 8,   // log warnings stored for the summary
    CONSOLE_WARNING_SIZE = 400,  // bytes per stored warning, NUL included
    CONSOLE_STEP_TEXT = 300,     // German text of a step
    CONSOLE_STEP_LINE = 400,     // one step line
    CONSOLE_SUMMARY_LINE = 600,  // one line of the warning summary
    CONSOLE_MESSAGE_LINE = 1300, // one error or warning line
    CONSOLE_BAR_CELLS = 30,      // width of the progress bar between its brackets
    CONSOLE_SIZE_TEXT = 32       // one byte count of the progress bar
};

// ---- Windows only -----------------------------------------------------------

// Writes the NUL-terminated UTF-8 text to stream (standard output or standard
// error). Its control characters, except its line breaks, are shown escaped
// ("\x1b", text_escape_controls) wherever it goes. A console gets the text as
// UTF-16 through WriteConsoleW (a text that is not valid UTF-8 is read in the
// ANSI code page instead); a file or a pipe gets its bytes. Nothing is
// reported: a failed console write is ignored.
void console_write(FILE *stream, const char *text);
// Stores the console's callbacks in ctx: console_step, console_progress,
// console_message, with ctx itself as their user pointer.
void console_install_callbacks(setup_context *ctx);
// Routes every log message that passes the level filter to console_log_hook
// instead of standard error: the silent mode prints no log lines.
void console_capture_log(void);
// Prints the summary of the warnings the log produced (nothing when there
// were none) on standard output.
void console_print_warnings(void);
// The step callback; user is the setup_context. Ends an unfinished progress
// bar, then prints "  [i/n] text" (or "  text" for a count of 0 or 1) with the
// step's German text. Returns 0.
int console_step(void *user, const char *step, size_t index, size_t count);
// The byte-progress callback; user is not used. Redraws the bar in place when
// standard output is a console and total is above 0; ends its line once done
// reaches total.
void console_progress(void *user, uint64_t done, uint64_t total);
// The message callback; user is not used. Ends an unfinished progress bar,
// then prints the text on standard error, after "Fehler: " for level 2 and
// "Warnung: " for level 1.
void console_message(void *user, int level, const char *text);

// ---- pure -------------------------------------------------------------------

// The log_callback of the silent mode; user is not used. DEBUG and INFO are
// dropped; WARN and ERROR are counted, and the first eight are stored cut to
// 399 bytes.
void console_log_hook(int level, const char *text, void *user);
// Forgets the collected warnings. The run never needs it; tests start over.
void console_warnings_clear(void);
// vsnprintf rules: cut at the buffer's end, always NUL-terminated (size > 0),
// the result the length the whole text would have had.
int console_snprintf(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// Formatted output to standard output; the formatter's result.
int console_printf(const char *fmt, ...) ORV_PRINTF(1, 2);
// The line of a step into out: "  %s\n" for a count of 0 or 1, otherwise
// "  [%zu/%zu] %s\n" with index + 1 (count when index is not below count) and
// count; the text is the step's German text (setup_step_text).
void console_step_line(setup_context *ctx, const char *step, size_t index, size_t count,
                       char *out, size_t outlen);
// The progress bar for done of total (total above 0) into out: carriage
// return, six blanks, "[", 30 cells of "#" and ".", "] ", the percentage in
// three places, "%  ", both sizes as format_size gives them and three blanks.
void console_bar_text(uint64_t done, uint64_t total, char *out, size_t outlen);
// The line of a message into out: "Fehler: " (level 2), "Warnung: " (level 1)
// or nothing, the text and a line feed.
void console_message_line(int level, const char *text, char *out, size_t outlen);
// Line n (from 0) of the warning summary into out: the heading after an empty
// line, the stored texts indented by two blanks, and "… und %d weitere" when
// more arrived than were stored. 1 when line n exists, else 0 (out then
// untouched); no line at all when no warning arrived.
int console_summary_line(int n, char *out, size_t outlen);
