// Version texts and their precedence.
#include "version.h"

#include <stddef.h>

static int version_is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a run of 1 to 9 digits at *s into *out and moves *s behind it: 0, or
// -1 for no digit or more than 9 (nine digits always fit 32 bits).
static int version_number(const char **s, uint32_t *out)
{
    uint32_t v = 0;
    int n = 0;
    for (; version_is_digit(**s); (*s)++) {
        if (++n > 9)
            return -1;
        v = v * 10 + (uint32_t)(**s - '0');
    }
    if (n == 0)
        return -1;
    *out = v;
    return 0;
}

int version_parse(const char *text, version_parts *parts)
{
    if (!text || !parts)
        return -1;
    // Bounded length check: a long text is refused without reading its end.
    size_t len = 0;
    while (len <= VERSION_TEXT_MAX && text[len])
        len++;
    if (len == 0 || len > VERSION_TEXT_MAX)
        return -1;
    const char *s = text;
    uint32_t num[3];
    for (int i = 0; i < 3; i++) {
        if (version_number(&s, &num[i]) != 0)
            return -1;
        if (i < 2 && *s++ != '.')
            return -1;
    }
    const char *pre = nullptr;
    if (*s == '-') {
        pre = ++s;
        if (*s == '\0')
            return -1;
        for (; *s; s++) {
            char c = *s;
            if (!version_is_digit(c) && c != '.' && !(c >= 'a' && c <= 'z') &&
                !(c >= 'A' && c <= 'Z'))
                return -1;
        }
    }
    if (*s != '\0')
        return -1;
    parts->major = num[0];
    parts->minor = num[1];
    parts->patch = num[2];
    parts->pre = pre;
    return 0;
}

int version_is_valid(const char *text)
{
    version_parts p;
    return version_parse(text, &p) == 0 ? 1 : 0;
}

int version_major(const char *text)
{
    version_parts p;
    return version_parse(text, &p) == 0 ? (int)p.major : -1;
}

// -1, 0 or 1 for a below, equal to or above b.
static int version_cmp_u32(uint32_t a, uint32_t b) { return a < b ? -1 : a > b ? 1 : 0; }

// One pre-release identifier: the n bytes at s (n may be 0).
struct version_ident {
    const char *s; // first byte
    size_t n;      // length, up to the next "." or the end
};

// 1 when every byte is a digit; an empty identifier counts as numeric.
static int version_ident_numeric(version_ident id)
{
    for (size_t i = 0; i < id.n; i++)
        if (!version_is_digit(id.s[i]))
            return 0;
    return 1;
}

// Value of a numeric identifier, saturating at 4294967295 (empty is 0), so
// identifiers of any length compare without wrapping.
static uint32_t version_ident_value(version_ident id)
{
    uint64_t v = 0;
    for (size_t i = 0; i < id.n; i++) {
        v = v * 10 + (uint64_t)(id.s[i] - '0');
        if (v > UINT32_MAX)
            return UINT32_MAX;
    }
    return (uint32_t)v;
}

// Precedence of two identifiers: numeric below alphanumeric, numbers by
// value, others by bytes with the shorter of an equal prefix first.
static int version_ident_cmp(version_ident a, version_ident b)
{
    int an = version_ident_numeric(a), bn = version_ident_numeric(b);
    if (an && bn)
        return version_cmp_u32(version_ident_value(a), version_ident_value(b));
    if (an != bn)
        return an ? -1 : 1;
    size_t n = a.n < b.n ? a.n : b.n;
    for (size_t i = 0; i < n; i++)
        if (a.s[i] != b.s[i])
            return (unsigned char)a.s[i] < (unsigned char)b.s[i] ? -1 : 1;
    return a.n < b.n ? -1 : a.n > b.n ? 1 : 0;
}

// Takes the identifier at *p and moves *p to the next one, or to null after
// the last.
static version_ident version_next_ident(const char **p)
{
    version_ident id = {*p, 0};
    while (id.s[id.n] && id.s[id.n] != '.')
        id.n++;
    *p = id.s[id.n] == '.' ? id.s + id.n + 1 : nullptr;
    return id;
}

int version_compare(const char *a, const char *b)
{
    version_parts va, vb;
    if (version_parse(a, &va) != 0 || version_parse(b, &vb) != 0)
        return 0;
    int r = version_cmp_u32(va.major, vb.major);
    if (r == 0)
        r = version_cmp_u32(va.minor, vb.minor);
    if (r == 0)
        r = version_cmp_u32(va.patch, vb.patch);
    if (r != 0)
        return r;
    // A release ranks above its own pre-releases.
    if (!va.pre || !vb.pre)
        return va.pre ? -1 : vb.pre ? 1 : 0;
    const char *pa = va.pre, *pb = vb.pre;
    while (pa && pb) {
        r = version_ident_cmp(version_next_ident(&pa), version_next_ident(&pb));
        if (r != 0)
            return r;
    }
    return pa ? 1 : pb ? -1 : 0;
}
