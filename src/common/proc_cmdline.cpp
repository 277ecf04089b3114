// Argument quoting for Windows command lines. Pure text work, so the native
// build checks it under the sanitizers.
#include "proc_cmdline.h"

#include <string.h>

// Appends n copies of c at *len, keeping one byte for the NUL: 0 or -1.
static int put(char *line, size_t cap, size_t *len, char c, size_t n)
{
    if (n > cap || *len + n >= cap)
        return -1;
    memset(line + *len, c, n);
    *len += n;
    return 0;
}

// Appends the n bytes of text at *len, keeping one byte for the NUL: 0 or -1.
static int put_text(char *line, size_t cap, size_t *len, const char *text, size_t n)
{
    if (n > cap || *len + n >= cap)
        return -1;
    memcpy(line + *len, text, n);
    *len += n;
    return 0;
}

// 1 when arg must be quoted: empty, or holding a character that ends an
// argument or opens a quote in the split.
static int needs_quotes(const char *arg)
{
    return arg[0] == '\0' || strpbrk(arg, " \t\n\v\"") != nullptr;
}

int proc_cmdline_append_arg(char *line, size_t cap, const char *arg)
{
    if (!line || cap == 0 || !arg)
        return -1;
    size_t len = strnlen(line, cap);
    if (len >= cap)
        return -1;  // not a terminated text
    int rc = 0;
    if (len > 0)
        rc = put(line, cap, &len, ' ', 1);
    if (rc == 0 && !needs_quotes(arg)) {
        rc = put_text(line, cap, &len, arg, strlen(arg));
    } else if (rc == 0) {
        rc = put(line, cap, &len, '"', 1);
        const char *p = arg;
        while (rc == 0 && *p) {
            size_t slashes = 0;
            while (p[slashes] == '\\')
                slashes++;
            p += slashes;
            if (*p == '\0') {
                // Doubled, so that the closing quote below stays a quote.
                rc = put(line, cap, &len, '\\', slashes * 2);
            } else if (*p == '"') {
                // Each backslash escaped, then the quote itself.
                rc = put(line, cap, &len, '\\', slashes * 2 + 1);
                if (rc == 0)
                    rc = put(line, cap, &len, '"', 1);
                p++;
            } else {
                // Backslashes before any other character are taken literally.
                rc = put(line, cap, &len, '\\', slashes);
                if (rc == 0)
                    rc = put(line, cap, &len, *p, 1);
                p++;
            }
        }
        if (rc == 0)
            rc = put(line, cap, &len, '"', 1);
    }
    line[len] = '\0';
    return rc;
}
