// The texts of the Windows registration: the system PATH with one entry added
// or removed, and the guard before the data directory is purged.
#include "registration.h"

#include <string.h>

// ASCII case-insensitive equality of n bytes, as _strnicmp in the "C" locale.
static int same_ignoring_case(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x >= 'A' && x <= 'Z')
            x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (unsigned char)(y - 'A' + 'a');
        if (x != y)
            return 0;
    }
    return 1;
}

// 1 when the entry of len bytes at entry is dir. Nothing is normalised: a
// blank, a quote or a trailing backslash makes another entry.
static int entry_is(const char *entry, size_t len, const char *dir, size_t dir_len)
{
    return len == dir_len && same_ignoring_case(entry, dir, len);
}

int registration_path_edit(const char *old, const char *dir, int add, char *out, size_t size)
{
    size_t dir_len = strlen(dir);
    size_t used = 0;
    if (size)
        out[0] = '\0';
    // Appends n bytes, or fails when the text and its NUL would not fit.
    auto put = [&](const char *s, size_t n) {
        if (used + n + 1 > size)
            return false;
        memcpy(out + used, s, n);
        used += n;
        out[used] = '\0';
        return true;
    };
    if (add) {
        for (const char *p = old;;) {
            size_t len = strcspn(p, ";");
            if (entry_is(p, len, dir, dir_len))
                return 0;
            if (!p[len])
                break;
            p += len + 1;
        }
        size_t old_len = strlen(old);
        bool sep = old_len > 0 && old[old_len - 1] != ';';
        if (put(old, old_len) && (!sep || put(";", 1)) && put(dir, dir_len))
            return 1;
    } else {
        bool ok = true;
        for (const char *p = old; ok;) {
            size_t len = strcspn(p, ";");
            if (len > 0 && !entry_is(p, len, dir, dir_len))
                ok = (used == 0 || put(";", 1)) && put(p, len);
            if (!p[len])
                break;
            p += len + 1;
        }
        if (ok)
            return 1;
    }
    // A cut PATH would lose the entries beyond the cut.
    if (size)
        out[0] = '\0';
    return -1;
}

int registration_purge_allowed(const char *path)
{
    static const char tail[] = "\\orvantis";
    size_t len = strlen(path), tail_len = sizeof tail - 1;
    return len > 8 && len >= tail_len && same_ignoring_case(path + len - tail_len, tail, tail_len);
}
