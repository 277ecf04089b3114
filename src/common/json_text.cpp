// JSON text output: the serializer over json_value trees and the bounded
// writer. Both share one escaping rule and one number formatter; numbers go
// through std::to_chars, so a process locale with a decimal comma can never
// turn 0.5 into the invalid "0,5".
#include "json_text.h"

#include <assert.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

void *(*json_text_realloc)(void *p, size_t n) = realloc;

// ---- shared: escaping and numbers -------------------------------------------

static const char kHexDigits[] = "0123456789abcdef";

// The escape standing for byte c, written to out; returns its length, or 0
// when c is copied unchanged (bytes from 0x7F up included: no UTF-8 check).
static size_t escape_byte(unsigned char c, char out[6])
{
    char letter = 0;
    switch (c) {
    case '"': letter = '"'; break;
    case '\\': letter = '\\'; break;
    case '\n': letter = 'n'; break;
    case '\r': letter = 'r'; break;
    case '\t': letter = 't'; break;
    default:
        if (c >= 0x20)
            return 0;
        // Every other control byte as \u00XX, lower-case hex.
        memcpy(out, "\\u00", 4);
        out[4] = kHexDigits[c >> 4];
        out[5] = kHexDigits[c & 15];
        return 6;
    }
    out[0] = '\\';
    out[1] = letter;
    return 2;
}

// Hands the quoted, escaped form of text (null as the empty text) to put in
// pieces: the quotes, each run of bytes that needs no escape, and each escape.
template <class Put> static void quote_pieces(const char *text, Put put)
{
    put("\"", 1);
    const char *run = text ? text : "";
    const char *p = run;
    for (; *p; p++) {
        char esc[6];
        size_t n = escape_byte((unsigned char)*p, esc);
        if (n == 0)
            continue;
        if (p > run)
            put(run, (size_t)(p - run));
        put(esc, n);
        run = p + 1;
    }
    if (p > run)
        put(run, (size_t)(p - run));
    put("\"", 1);
}

// Decimal text of a signed or unsigned integer into out; returns its length.
template <class Int> static size_t format_int(Int value, char *out, size_t cap)
{
    std::to_chars_result r = std::to_chars(out, out + cap, value);
    assert(r.ec == std::errc());
    return (size_t)(r.ptr - out);
}

// The JSON text of a number node into out (64 bytes): the exact integer when
// is_integer is 1, else the double with 17 significant digits as "%.17g" would
// write it in the C locale. Returns the length, or 0 when the number is neither
// integral nor finite (JSON has no text for it).
static size_t format_number(const json_value *v, char out[64])
{
    if (v->is_integer == 1)
        return format_int(v->integer, out, 64);
    if (!isfinite(v->number))
        return 0;
    std::to_chars_result r = std::to_chars(out, out + 64, v->number, std::chars_format::general, 17);
    assert(r.ec == std::errc());
    return (size_t)(r.ptr - out);
}

// 1 when v and every node below it can be written as JSON: kinds 0 to 5, and
// numbers that are integral or finite. Null counts as the null literal.
static int representable(const json_value *v)
{
    if (!v)
        return 1;
    if (v->kind > JSON_OBJECT)
        return 0;
    if (v->kind == JSON_NUMBER && v->is_integer != 1 && !isfinite(v->number))
        return 0;
    if (v->kind == JSON_ARRAY || v->kind == JSON_OBJECT) {
        for (uint64_t i = 0; i < v->count; i++) {
            if (!representable(v->items[i]))
                return 0;
        }
    }
    return 1;
}

// ---- serializer -------------------------------------------------------------

// Appends n bytes to b, growing it from 256 bytes by doubling; a failed or
// impossible growth sets oom and keeps the old buffer.
static void text_append(json_text_buffer *b, const char *s, size_t n)
{
    if (b->oom)
        return;
    if (n > SIZE_MAX - 1 - b->len) {
        b->oom = 1;
        return;
    }
    size_t need = b->len + n + 1;
    if (need > b->cap) {
        size_t cap = b->cap ? b->cap : JSON_TEXT_FIRST_CAP;
        while (cap < need) {
            if (cap > SIZE_MAX / 2) {
                b->oom = 1;
                return;
            }
            cap *= 2;
        }
        char *grown = (char *)json_text_realloc(b->buf, cap);
        if (!grown) {
            b->oom = 1;
            return;
        }
        b->buf = grown;
        b->cap = cap;
    }
    if (n)
        memcpy(b->buf + b->len, s, n);
    b->len += n;
    b->buf[b->len] = '\0';
}

static void text_append_lit(json_text_buffer *b, const char *s) { text_append(b, s, strlen(s)); }

void json_emit_string(json_text_buffer *b, const char *s)
{
    quote_pieces(s, [b](const char *piece, size_t n) { text_append(b, piece, n); });
}

void json_emit_value(json_text_buffer *b, const json_value *v)
{
    // Once memory ran out every append is a no-op; the walk itself goes on,
    // it costs nothing and keeps the rules in one place.
    if (!v || v->kind == JSON_NULL) {
        text_append_lit(b, "null");
        return;
    }
    switch (v->kind) {
    case JSON_BOOL:
        text_append_lit(b, v->boolean ? "true" : "false");
        break;
    case JSON_NUMBER: {
        char num[64];
        text_append(b, num, format_number(v, num));
        break;
    }
    case JSON_STRING:
        json_emit_string(b, v->string);
        break;
    case JSON_ARRAY:
        text_append(b, "[", 1);
        for (uint64_t i = 0; i < v->count; i++) {
            if (i)
                text_append(b, ",", 1);
            json_emit_value(b, v->items[i]);
        }
        text_append(b, "]", 1);
        break;
    case JSON_OBJECT:
        text_append(b, "{", 1);
        for (uint64_t i = 0; i < v->count; i++) {
            if (i)
                text_append(b, ",", 1);
            json_emit_string(b, v->keys[i]);
            text_append(b, ":", 1);
            json_emit_value(b, v->items[i]);
        }
        text_append(b, "}", 1);
        break;
    default:
        break;  // no JSON for an unknown kind
    }
}

char *json_to_text(const json_value *v, size_t *len_out)
{
    // Checked before writing: a node without JSON text would otherwise leave
    // a hole such as [,1] in a text handed out as valid.
    if (!representable(v)) {
        if (len_out)
            *len_out = 0;
        return nullptr;
    }
    json_text_buffer b = {};
    json_emit_value(&b, v);
    if (b.oom) {
        free(b.buf);
        return nullptr;
    }
    if (len_out)
        *len_out = b.len;
    return b.buf;
}

// ---- bounded writer ---------------------------------------------------------

// Appends what fits of n bytes and keeps the NUL after the text; want grows by
// all n, so the caller can tell a cut text and the size it needs.
static void w_append(json_writer *w, const char *s, size_t n)
{
    w->want += n;
    if (w->cap == 0)
        return;
    assert(w->len < w->cap);
    size_t room = w->cap - 1 - w->len;
    if (n > room)
        n = room;
    if (n)
        memcpy(w->buf + w->len, s, n);
    w->len += n;
    w->buf[w->len] = '\0';
}

void jsonw_init(json_writer *w, char *buf, size_t cap)
{
    w->buf = buf;
    w->cap = cap;
    w->len = 0;
    w->count = 0;
    w->want = 0;
    if (cap)
        buf[0] = '\0';
}

void jsonw_begin_object(json_writer *w)
{
    w->count = 0;
    w_append(w, "{", 1);
}

void jsonw_end_object(json_writer *w) { w_append(w, "}", 1); }

void jsonw_append_raw(json_writer *w, const char *text)
{
    if (text)
        w_append(w, text, strlen(text));
}

void jsonw_quote(json_writer *w, const char *text)
{
    quote_pieces(text, [w](const char *piece, size_t n) { w_append(w, piece, n); });
}

void jsonw_append_string(json_writer *w, const char *text) { jsonw_quote(w, text); }

void jsonw_key(json_writer *w, const char *name)
{
    if (w->count > 0)
        w_append(w, ",", 1);
    jsonw_quote(w, name);
    w_append(w, ":", 1);
    // Counted also when nothing fitted: the text stays one object either way.
    if (w->count < INT32_MAX)
        w->count++;
}

void jsonw_key_string(json_writer *w, const char *name, const char *value)
{
    jsonw_key(w, name);
    if (value)
        jsonw_quote(w, value);
    else
        w_append(w, "null", 4);
}

void jsonw_key_u64(json_writer *w, const char *name, uint64_t value)
{
    char num[32];
    jsonw_key(w, name);
    w_append(w, num, format_int(value, num, sizeof num));
}

void jsonw_key_i64(json_writer *w, const char *name, int64_t value)
{
    char num[32];
    jsonw_key(w, name);
    w_append(w, num, format_int(value, num, sizeof num));
}

void jsonw_key_bool(json_writer *w, const char *name, int value)
{
    jsonw_key(w, name);
    if (value)
        w_append(w, "true", 4);
    else
        w_append(w, "false", 5);
}
