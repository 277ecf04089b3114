// Texts for people: whole UTF-8 characters at every cut, the UTF-8 test and
// the escaping of control characters.
#include "text.h"

#include <string.h>

size_t text_utf8_whole(const char *s, size_t len)
{
    // A sequence is at most four bytes, so its lead byte stands within the
    // last four.
    for (size_t back = 1; back <= 4 && back <= len; back++) {
        unsigned char b = (unsigned char)s[len - back];
        if ((b & 0xC0) == 0x80)
            continue;  // a continuation byte: look further back for its lead
        // Bytes that cannot start a sequence (ASCII, 0xF5 and above) end
        // whatever stood before them.
        size_t need = b >= 0xF5 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return back < need ? len - back : len;
    }
    return len;
}

size_t text_cut_whole(char *text, size_t size)
{
    if (!text || size == 0)
        return 0;
    size_t n = strnlen(text, size - 1);
    if (n == size - 1) {
        n = text_utf8_whole(text, n);
        text[n] = '\0';
    }
    return n;
}

// The length of the UTF-8 sequence at s (at most n bytes available), or 0
// when none starts there.
static size_t utf8_sequence(const unsigned char *s, size_t n)
{
    unsigned char b = s[0];
    if (b < 0x80)
        return 1;
    size_t need;
    unsigned cp;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (n < need)
        return 0;
    for (size_t k = 1; k < need; k++) {
        if ((s[k] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (s[k] & 0x3F);
    }
    // Overlong three- and four-byte forms, surrogates and values past
    // U+10FFFF are no UTF-8 (two-byte overlongs have lead bytes 0xC0, 0xC1).
    if ((need == 3 && cp < 0x800) || (need == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    return need;
}

int text_utf8_valid(const char *s, size_t n)
{
    const unsigned char *p = (const unsigned char *)s;
    for (size_t i = 0; i < n;) {
        size_t k = utf8_sequence(p + i, n - i);
        if (k == 0)
            return 0;
        i += k;
    }
    return 1;
}

size_t text_utf8_run(const char *s, size_t n, int *utf8)
{
    const unsigned char *p = (const unsigned char *)s;
    size_t i = 0;
    *utf8 = n > 0 && utf8_sequence(p, n) > 0;
    while (i < n) {
        size_t k = utf8_sequence(p + i, n - i);
        if ((k > 0) != (*utf8 != 0))
            break;
        i += k ? k : 1;
    }
    return i;
}

int text_has_high_bytes(const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (*p >= 0x80)
            return 1;
    return 0;
}

// How many bytes at p form one piece of the escaped text and whether they are
// escaped: a control character (one byte, or the two of a C1 control in
// UTF-8), a whole UTF-8 character, or a single byte of a text that is not
// UTF-8.
static size_t piece_at(const unsigned char *p, size_t rest, int utf8, int *escape)
{
    unsigned char b = p[0];
    *escape = 0;
    if (b < 0x20 || b == 0x7F) {
        // A line feed, and a carriage return that ends a line with one, are
        // the line breaks a text may hold; a lone carriage return would let a
        // text write over the start of its own line.
        *escape = !(b == '\n' || (b == '\r' && rest > 1 && p[1] == '\n'));
        return 1;
    }
    if (b < 0x80 || !utf8)
        return 1;
    size_t k = utf8_sequence(p, rest);
    if (k == 2 && b == 0xC2 && p[1] < 0xA0)
        *escape = 1;
    return k ? k : 1;
}

int text_has_controls(const char *text)
{
    size_t n = strlen(text);
    int utf8 = text_utf8_valid(text, n);
    const unsigned char *p = (const unsigned char *)text;
    for (size_t i = 0; i < n;) {
        int escape;
        i += piece_at(p + i, n - i, utf8, &escape);
        if (escape)
            return 1;
    }
    return 0;
}

size_t text_escape_controls(const char *text, char *out, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    size_t n = strlen(text);
    int utf8 = text_utf8_valid(text, n);
    const unsigned char *p = (const unsigned char *)text;
    size_t len = 0;     // the whole escaped text so far
    size_t written = 0; // what out holds
    int open = size > 0; // pieces are still written
    for (size_t i = 0; i < n;) {
        int escape;
        size_t k = piece_at(p + i, n - i, utf8, &escape);
        char piece[8];
        size_t m = 0;
        for (size_t j = 0; j < k; j++) {
            if (escape) {
                piece[m++] = '\\';
                piece[m++] = 'x';
                piece[m++] = hex[p[i + j] >> 4];
                piece[m++] = hex[p[i + j] & 0x0F];
            } else {
                piece[m++] = (char)p[i + j];
            }
        }
        // A piece goes in whole or not at all, and nothing after one that
        // did not fit, so a cut never splits an escape or a character.
        if (open && written + m <= size - 1) {
            memcpy(out + written, piece, m);
            written += m;
        } else {
            open = 0;
        }
        len += m;
        i += k;
    }
    if (size > 0)
        out[written] = '\0';
    return len;
}
