// Console output of the silent mode on Windows.
#include "console.h"

#include <stdlib.h>

#include "console_win.h"

console_sys console_calls = {GetStdHandle, GetConsoleMode, WriteConsoleW};

void console_write(FILE *stream, const char *text)
{
    HANDLE h = console_calls.get_std_handle(stream == stderr ? STD_ERROR_HANDLE
                                                             : STD_OUTPUT_HANDLE);
    DWORD mode;
    if (h && h != INVALID_HANDLE_VALUE && console_calls.get_console_mode(h, &mode)) {
        // A console shows UTF-8 bytes in its own code page, which garbles every
        // umlaut; it takes UTF-16 as it is. Text that is not UTF-8 (a path in
        // the ANSI code page, say) is read in that code page instead.
        UINT cp = CP_UTF8;
        DWORD flags = MB_ERR_INVALID_CHARS;
        int n = MultiByteToWideChar(cp, flags, text, -1, nullptr, 0);
        if (n <= 0) {
            cp = CP_ACP;
            flags = 0;
            n = MultiByteToWideChar(cp, flags, text, -1, nullptr, 0);
        }
        if (n > 1) {
            wchar_t *units = (wchar_t *)malloc((size_t)n * sizeof(wchar_t));
            if (units) {
                if (MultiByteToWideChar(cp, flags, text, -1, units, n) == n) {
                    // Bytes written earlier through the stream come first.
                    fflush(stream);
                    DWORD written;
                    console_calls.write_console_w(h, units, (DWORD)(n - 1), &written, nullptr);
                    free(units);
                    return;
                }
                free(units);
            }
        }
    }
    fputs(text, stream);
}
