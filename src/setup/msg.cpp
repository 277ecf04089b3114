// Matching messages against the table's patterns, filling the German
// templates, capitalising and finishing sentences.
#include "msg.h"

#include <stdarg.h>
#include <string.h>

#include "setup_text.h"
#include "text.h"

int msg_snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = setup_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

// Appends n bytes of s at offset at of out (a buffer of size bytes whose first
// at bytes, or size - 1 when fewer fit, are written and NUL-terminated), as far
// as they fit. Returns at + n, the length the whole text would have so far.
static size_t msg_put(char *out, size_t size, size_t at, const char *s, size_t n)
{
    if (size && at + 1 < size) {
        size_t room = size - 1 - at;
        size_t k = n < room ? n : room;
        memcpy(out + at, s, k);
        out[at + k] = '\0';
    }
    return at + n;
}

// 1 when p starts a capture marker ("%s", "%d" or "%m").
static int msg_is_capture(const char *p)
{
    return p[0] == '%' && (p[1] == 's' || p[1] == 'd' || p[1] == 'm');
}

static int msg_match_capture(const char *p, const char *t, msg_captures *caps);

// Matches the rest of a pattern against the rest of a message.
static int msg_match_from(const char *p, const char *t, msg_captures *caps)
{
    for (;;) {
        if (msg_is_capture(p))
            return msg_match_capture(p, t, caps);
        if (p[0] == '%') {
            // A "%" that starts no marker stands for itself, and so does the
            // character after it, even when that is another "%".
            if (*t != '%')
                return 0;
            p++;
            t++;
        }
        if (*p != *t)
            return 0;
        if (*p == '\0')
            return 1;
        p++;
        t++;
    }
}

// p is at a capture marker: tries the capture's lengths shortest first, so the
// first success leaves every capture as short as the rest of the message allows.
static int msg_match_capture(const char *p, const char *t, msg_captures *caps)
{
    if (caps->count >= MSG_MAX_CAPTURES)
        return 0;
    int32_t i = caps->count++;
    caps->start[i] = t;
    caps->kind[i] = p[1];
    for (size_t len = 1; t[len - 1] != '\0'; len++) {
        char c = t[len - 1];
        if (p[1] == 'd' && (c < '0' || c > '9'))
            break;
        caps->length[i] = len;
        if (msg_match_from(p + 2, t + len, caps))
            return 1;
    }
    caps->count = i;
    return 0;
}

int msg_match(const char *pattern, const char *text, msg_captures *caps)
{
    int32_t entry = caps->count;
    if (msg_match_from(pattern, text, caps))
        return 1;
    caps->count = entry;
    return 0;
}

int msg_find_row(const char *text, msg_captures *caps)
{
    // Rows that begin with a capture would swallow the messages of the more
    // specific rows, so they come only after all the others.
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < msg_table_rows; i++) {
            const char *pattern = msg_table[i].pattern;
            if (msg_is_capture(pattern) != pass)
                continue;
            memset(caps, 0, sizeof *caps);
            if (msg_match(pattern, text, caps))
                return (int)i;
        }
    }
    memset(caps, 0, sizeof *caps);
    return -1;
}

size_t msg_fill_template(const char *template_text, const msg_captures *caps, char *out,
                         size_t out_size, int depth)
{
    if (out_size)
        out[0] = '\0';
    size_t at = 0;
    for (const char *tp = template_text; *tp; tp++) {
        int n = (tp[0] == '$' && tp[1] >= '1' && tp[1] <= '9') ? tp[1] - '0' : 0;
        if (n == 0 || n > caps->count) {
            at = msg_put(out, out_size, at, tp, 1);
            continue;
        }
        tp++;
        char piece[MSG_CAPTURE_SIZE];
        uint64_t len = caps->length[n - 1];
        // A capture longer than the buffer keeps its whole characters only.
        size_t kept = len < sizeof piece - 1 ? (size_t)len
                                             : text_utf8_whole(caps->start[n - 1], sizeof piece - 1);
        msg_snprintf(piece, sizeof piece, "%.*s", (int)kept, caps->start[n - 1]);
        if (caps->kind[n - 1] == 'm' && depth < MSG_MAX_DEPTH) {
            char nested[MSG_CAPTURE_SIZE];
            size_t full = msg_translate(piece, nested, sizeof nested, depth + 1);
            // What is placed is the capture buffer's content, so the whole
            // text's length counts no more than that buffer holds.
            at = msg_put(out, out_size, at, nested, full < sizeof nested ? full : sizeof nested - 1);
        } else {
            at = msg_put(out, out_size, at, piece, strlen(piece));
        }
    }
    // The template goes in byte by byte: a cut may have split its last
    // character, or a capture's.
    if (at >= out_size)
        text_cut_whole(out, out_size);
    return at;
}

size_t msg_translate(const char *text, char *out, size_t out_size, int depth)
{
    msg_captures caps;
    int row = msg_find_row(text, &caps);
    if (row >= 0)
        return msg_fill_template(msg_table[row].template_text, &caps, out, out_size, depth);
    if (out_size)
        out[0] = '\0';
    size_t n = msg_put(out, out_size, 0, text, strlen(text));
    if (n >= out_size)
        text_cut_whole(out, out_size);
    return n;
}

// Raises the first letter unless it is not a lower-case ASCII letter or the
// first word looks like a file name, path, program name or version, which must
// keep their spelling.
static void msg_capitalise(char *text)
{
    if (text[0] < 'a' || text[0] > 'z')
        return;
    for (const char *p = text; *p && *p != ' '; p++)
        if (*p == '_' || *p == '.' || *p == '/' || *p == '\\')
            return;
    text[0] = (char)(text[0] - 'a' + 'A');
}

size_t msg_localize(char *text, size_t size)
{
    if (!text || size == 0 || text[0] == '\0')
        return 0;
    char message[MSG_TEXT_SIZE];
    char german[MSG_TEXT_SIZE];
    size_t limit = size - 1 < sizeof message - 1 ? size - 1 : sizeof message - 1;
    size_t n = strnlen(text, limit);
    // A message that fills its buffer (or the work buffer) may have been cut
    // there by whoever wrote it: a character cut short at its end is dropped,
    // or the finished sentence would not read as UTF-8.
    if (n == limit)
        n = text_utf8_whole(text, n);
    memcpy(message, text, n);
    message[n] = '\0';
    size_t full = msg_translate(message, german, sizeof german, 0);
    msg_capitalise(german);
    text[0] = '\0';
    if (msg_put(text, size, 0, german, strlen(german)) >= size)
        text_cut_whole(text, size);
    return full;
}

size_t msg_finish_sentence(char *text, size_t size)
{
    if (!text || size == 0)
        return 0;
    size_t n = strnlen(text, size - 1);
    text[n] = '\0';
    while (n && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = '\0';
    if (n == 0)
        return 0;
    char last = text[n - 1];
    if (last == '.' || last == '!' || last == '?')
        return n;
    if (n + 2 <= size) {
        text[n] = '.';
        text[n + 1] = '\0';
    }
    return n + 1;
}
