// Console output of the silent mode on Windows: the one writer of texts for
// people, the callbacks of the silent flow and the warning summary.
#include "console.h"

#include <io.h>
#include <stdlib.h>

#include "console_win.h"
#include "log.h"
#include "setup_win.h"
#include "text.h"

// The runtime's _isatty as a plain function for the table.
static int runtime_is_tty(int fd) { return _isatty(fd); }

console_sys console_calls = {GetStdHandle, GetConsoleMode, WriteConsoleW, runtime_is_tty};

// 1 while a progress bar stands on standard output without its line feed;
// used only by the thread of the silent flow.
static int console_bar_open;

// The bytes of text, or its copy with control characters escaped when it
// holds any; the copy is on the heap (*copy, freed by the caller) or, when
// memory runs out, in small, cut.
static const char *shown_text(const char *text, char **copy, char *small, size_t small_size)
{
    *copy = nullptr;
    if (!text_has_controls(text))
        return text;
    size_t n = text_escape_controls(text, nullptr, 0);
    *copy = (char *)malloc(n + 1);
    if (*copy) {
        text_escape_controls(text, *copy, n + 1);
        return *copy;
    }
    text_escape_controls(text, small, small_size);
    return small;
}

void console_write(FILE *stream, const char *raw)
{
    // What a file, the command line or the update server put into a text
    // must not steer the administrator's terminal: its control characters
    // are shown, never sent (under Wine a pipe or a file reaches a terminal
    // as well as a console does).
    char *copy;
    char small[1024];
    const char *text = shown_text(raw, &copy, small, sizeof small);
    HANDLE h = console_calls.get_std_handle(stream == stderr ? STD_ERROR_HANDLE
                                                             : STD_OUTPUT_HANDLE);
    DWORD mode;
    if (h && h != INVALID_HANDLE_VALUE && console_calls.get_console_mode(h, &mode)) {
        // A console shows UTF-8 bytes in its own code page, which garbles every
        // umlaut; it takes UTF-16 as it is. Text that is not UTF-8 (a path in
        // the ANSI code page, say) is read in that code page instead.
        int n = win_text_utf16(text, nullptr, 0);
        if (n > 1) {
            wchar_t *units = (wchar_t *)malloc((size_t)n * sizeof(wchar_t));
            if (units) {
                if (win_text_utf16(text, units, n) == n) {
                    // Bytes written earlier through the stream come first.
                    fflush(stream);
                    DWORD written;
                    console_calls.write_console_w(h, units, (DWORD)(n - 1), &written, nullptr);
                    free(units);
                    free(copy);
                    return;
                }
                free(units);
            }
        }
    }
    fputs(text, stream);
    free(copy);
}

void console_install_callbacks(setup_context *ctx)
{
    ctx->callbacks.step_fn = console_step;
    ctx->callbacks.bytes_fn = console_progress;
    ctx->callbacks.message_fn = console_message;
    ctx->callbacks.callback_user = ctx;
}

void console_capture_log(void) { log_set_callback(console_log_hook, nullptr); }

// Any line printed after an unfinished bar starts on a line of its own.
static void bar_end(void)
{
    if (console_bar_open) {
        fputc('\n', stdout);
        fflush(stdout); // before a message on standard error, which is unbuffered
        console_bar_open = 0;
    }
}

int console_step(void *user, const char *step, size_t index, size_t count)
{
    bar_end();
    char line[CONSOLE_STEP_LINE];
    console_step_line((setup_context *)user, step, index, count, line, sizeof line);
    console_write(stdout, line);
    fflush(stdout);
    return 0;
}

void console_progress(void *user, uint64_t done, uint64_t total)
{
    (void)user;
    // Redrawing in place needs a console; a file would collect every frame.
    if (!console_calls.is_tty(1) || total == 0)
        return;
    // All of the bar is ASCII, so it goes through the stream itself.
    char bar[160];
    console_bar_text(done, total, bar, sizeof bar);
    console_printf("%s", bar);
    fflush(stdout);
    console_bar_open = 1;
    if (done >= total) {
        fputc('\n', stdout);
        console_bar_open = 0;
    }
}

void console_message(void *user, int level, const char *text)
{
    (void)user;
    bar_end();
    char line[CONSOLE_MESSAGE_LINE];
    console_message_line(level, text, line, sizeof line);
    console_write(stderr, line);
}

void console_print_warnings(void)
{
    char line[CONSOLE_SUMMARY_LINE];
    for (int n = 0; console_summary_line(n, line, sizeof line); n++)
        console_write(stdout, line);
}
