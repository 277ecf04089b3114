// The setup context's defaults and option parsing with the runtime's absolute
// paths, the ANSI code page of Windows and this computer's host facts.
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "host_facts.h"
#include "setup_options.h"
#include "setup_text.h"

// _fullpath into out: 0, or -1 when the runtime cannot make the path absolute.
static int runtime_fullpath(const char *path, char *out, size_t size)
{
    return _fullpath(out, path, size) ? 0 : -1;
}

void setup_options_defaults(setup_context *ctx)
{
    setup_options_base_defaults(ctx);
    host_facts_detect(&ctx->host_facts);
}

int setup_parse_options(setup_context *ctx, int argc, char **argv, char *err, size_t errlen)
{
    return setup_parse_options_with(ctx, argc, argv, runtime_fullpath, err, errlen);
}

// UTF-8 into the ANSI code page through UTF-16. Without best-fit mapping and
// with the used-default flag, a character the code page lacks is refused,
// never replaced by a look-alike or "?".
static int windows_to_ansi(const char *utf8, char *out, size_t size)
{
    if (GetACP() == CP_UTF8) {
        // The code page is UTF-8 itself (a Windows option): nothing to do.
        setup_snprintf(out, size, "%s", utf8);
        return strlen(utf8) < size ? 0 : -2;
    }
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (n <= 0)
        return -2;
    wchar_t *wide = (wchar_t *)malloc((size_t)n * sizeof *wide);
    if (!wide)
        return -2;
    int rc = -2;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide, n) == n) {
        BOOL used_default = FALSE;
        int m = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, (int)size,
                                    nullptr, &used_default);
        rc = used_default ? -1 : m > 0 ? 0 : -2;
    }
    free(wide);
    return rc;
}

int setup_read_answers(setup_context *ctx, const char *path, char *err, size_t errlen)
{
    return setup_read_answers_with(ctx, path, runtime_fullpath, windows_to_ansi, err, errlen);
}
