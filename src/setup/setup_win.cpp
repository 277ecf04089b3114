// Windows basics of the setup: data directory, administrator check, program
// lookup, the Hyper-V check and German texts of Windows errors.
#include "setup_win.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <shlobj.h>

#include "setup_report.h"
#include "setup_text.h"
#include "text.h"

char *setup_data_dir(const setup_context *ctx, char *buf, size_t size)
{
    if (ctx->root[0]) {
        win_snprintf(buf, size, "%s\\ProgramData\\orvantis", ctx->root);
        return buf;
    }
    const char *base = getenv("ProgramData");
    win_snprintf(buf, size, "%s\\orvantis", base && base[0] ? base : "C:\\ProgramData");
    return buf;
}

int win_is_admin(void) { return IsUserAnAdmin() ? 1 : 0; }

const char *setup_program_path(const setup_context *ctx, const char *name, char *buf,
                               size_t size)
{
    int n = win_snprintf(buf, size, "%s\\bin\\%s.exe", ctx->updater_config.install_dir, name);
    if (n < 0 || (size_t)n >= size)
        return nullptr;
    DWORD attr = GetFileAttributesA(buf);
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY))
        return nullptr;
    return buf;
}

int win_hyperv_present(const char *component_id, char *reason, size_t reason_size)
{
    if (reason_size)
        reason[0] = '\0';
    if (strcmp(component_id, "hyperv") != 0)
        return 1;
    // The management service "vmms" exists exactly where the Hyper-V role is
    // installed; whether it runs does not matter.
    int present = 0;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (scm) {
        SC_HANDLE svc = OpenServiceA(scm, "vmms", SERVICE_QUERY_STATUS);
        if (svc) {
            present = 1;
            CloseServiceHandle(svc);
        }
        CloseServiceHandle(scm);
    }
    if (!present && reason_size)
        win_snprintf(reason, reason_size, "%s", "Die Hyper-V-Rolle ist hier nicht installiert.");
    return present;
}

// The system's text of code in language lang into text (300 units): its
// length, 0 when there is none.
static DWORD system_text(unsigned long code, DWORD lang, wchar_t text[300])
{
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          (DWORD)code, lang, text, 300, nullptr);
}

char *win_error_text(unsigned long code, char *buf, size_t size)
{
    wchar_t text[300];
    DWORD n = system_text(code, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), text);
    if (n == 0)
        n = system_text(code, 0, text);
    // The text goes inside a sentence: no line end and no period of its own.
    while (n && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L' ' ||
                 text[n - 1] == L'.'))
        n--;
    char utf8[600];
    int m = 0;
    if (n)
        m = WideCharToMultiByte(CP_UTF8, 0, text, (int)n, utf8, (int)sizeof utf8 - 1, nullptr,
                                nullptr);
    if (m > 0) {
        utf8[m] = '\0';
        win_snprintf(buf, size, "Windows-Fehler %lu: %s", code, utf8);
    } else {
        win_snprintf(buf, size, "Windows-Fehler %lu", code);
    }
    return buf;
}

void win_error(char *err, size_t errlen, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    setup_verror(err, errlen, format, ap);
    va_end(ap);
}

int win_snprintf(char *buf, size_t size, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = setup_vsnprintf(buf, size, format, ap);
    va_end(ap);
    return r;
}

int win_text_utf16(const char *text, wchar_t *out, int cap)
{
    if (out && cap <= 0)
        return 0;
    size_t n = strlen(text);
    if (text_utf8_valid(text, n))
        return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, out ? cap : 0);
    // Only where UTF-8 characters beyond ASCII stand beside the other bytes is
    // the text read in pieces; otherwise it is all in the ANSI code page, and
    // a double-byte code page keeps its pairs together.
    int mixed = 0;
    for (size_t i = 0; i < n && !mixed;) {
        int utf8;
        size_t k = text_utf8_run(text + i, n - i, &utf8);
        for (size_t j = i; utf8 && j < i + k; j++)
            mixed |= (unsigned char)text[j] >= 0x80;
        i += k;
    }
    if (!mixed)
        return MultiByteToWideChar(CP_ACP, 0, text, -1, out, out ? cap : 0);
    int total = 0;
    for (size_t i = 0; i < n;) {
        int utf8;
        size_t k = text_utf8_run(text + i, n - i, &utf8);
        if (out && total >= cap)
            return 0;
        int m = MultiByteToWideChar(utf8 ? CP_UTF8 : CP_ACP, 0, text + i, (int)k,
                                    out ? out + total : nullptr, out ? cap - total : 0);
        if (m <= 0)
            return 0;
        total += m;
        i += k;
    }
    if (out) {
        if (total >= cap)
            return 0;
        out[total] = L'\0';
    }
    return total + 1;
}

int win_swprintf(wchar_t *buf, size_t size, const wchar_t *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int r = vsnwprintf(buf, size, format, ap);
    va_end(ap);
    if (size && (r < 0 || (size_t)r >= size))
        buf[r < 0 ? 0 : size - 1] = L'\0';
    return r;
}
