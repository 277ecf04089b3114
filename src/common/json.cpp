// The JSON parser and the accessors over its tree. One pass over the input,
// never a byte read past `end`, and every failure frees what the failing value
// had built before it travels up.
#include "json.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>
#include <system_error>

// Writes "<reason> at byte <offset>" into the caller's buffer; always -1.
static int fail(json_parser *p, const char *reason, const char *at)
{
    if (p->err && p->errlen)
        snprintf(p->err, p->errlen, "%s at byte %zu", reason, (size_t)(at - p->start));
    return -1;
}

static bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static void skip_ws(json_parser *p)
{
    while (p->cur < p->end && is_ws(*p->cur))
        p->cur++;
}

// Counts one more value; "too many values" reported at `at` once the limit is reached.
static int count_value(json_parser *p, const char *at)
{
    if (p->count >= p->max_values)
        return fail(p, "too many values", at);
    p->count++;
    return 0;
}

// A zero-filled node of the given kind, or null after reporting "out of memory".
static json_value *new_node(json_parser *p, uint32_t kind)
{
    json_value *v = (json_value *)calloc(1, sizeof *v);
    if (!v) {
        fail(p, "out of memory", p->cur);
        return nullptr;
    }
    v->kind = kind;
    return v;
}

// ---- strings ----------------------------------------------------------------

// A string being decoded: starts at 32 bytes and doubles up to 65536, which
// holds the longest string (65535 bytes) and its NUL.
struct str_buf {
    char *data;  // owned; null until the first byte is added
    size_t len;  // bytes so far, without the NUL
    size_t cap;  // allocated size of data
};

// Appends n bytes (n <= 4); -1 with the message written when the string would
// grow past its limit or memory runs out (data stays owned by b).
static int str_put(json_parser *p, str_buf *b, const char *bytes, size_t n)
{
    while (b->len + n + 1 > b->cap) {
        if (b->cap > JSON_MAX_STRING)
            return fail(p, "string too long", p->cur);
        size_t cap = b->cap * 2;
        char *grown = (char *)realloc(b->data, cap);
        if (!grown)
            return fail(p, "out of memory", p->cur);
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->len, bytes, n);
    b->len += n;
    return 0;
}

// The value of four hexadecimal digits at s (either case), or -1.
static long hex4(const char *s)
{
    long v = 0;
    for (int i = 0; i < 4; i++) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return -1;
        v = v * 16 + d;
    }
    return v;
}

// Encodes a code point (1 to 0x10FFFF, no surrogate) as UTF-8; returns the length.
static size_t utf8_encode(unsigned long cp, char *out)
{
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

// Decodes a \u escape whose "u" was just consumed into UTF-8 bytes at out;
// returns their count, or 0 with the message written.
static size_t parse_u_escape(json_parser *p, char *out)
{
    if (p->end - p->cur < 4 || hex4(p->cur) < 0) {
        fail(p, "bad \\u escape", p->cur);
        return 0;
    }
    unsigned long unit = (unsigned long)hex4(p->cur);
    p->cur += 4;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        fail(p, "lone surrogate", p->cur);
        return 0;
    }
    if (unit == 0) {
        // Decoded strings are NUL-terminated C texts; an inner NUL would cut them.
        fail(p, "NUL in string", p->cur);
        return 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        long low = -1;
        if (p->end - p->cur >= 6 && p->cur[0] == '\\' && p->cur[1] == 'u')
            low = hex4(p->cur + 2);
        if (low < 0xDC00 || low > 0xDFFF) {
            fail(p, "bad surrogate pair", p->cur);
            return 0;
        }
        p->cur += 6;
        unit = 0x10000 + (unit - 0xD800) * 0x400 + ((unsigned long)low - 0xDC00);
    }
    return utf8_encode(unit, out);
}

// Parses a string whose opening quote is at cur; on success *out is the
// decoded text (owned by the caller) and cur is past the closing quote.
// UTF-8 is not checked: bytes from 0x7F up are copied as they stand.
static int parse_string(json_parser *p, char **out)
{
    str_buf b = {(char *)malloc(32), 0, 32};
    if (!b.data)
        return fail(p, "out of memory", p->cur);
    p->cur++;
    for (;;) {
        if (p->cur == p->end) {
            fail(p, "unterminated string", p->end);
            break;
        }
        char c = *p->cur;
        if (c == '"') {
            p->cur++;
            b.data[b.len] = '\0';
            *out = b.data;
            return 0;
        }
        if ((unsigned char)c < 0x20) {
            fail(p, "control character in string", p->cur);
            break;
        }
        if (c != '\\') {
            if (str_put(p, &b, &c, 1) < 0)
                break;
            p->cur++;
            continue;
        }
        p->cur++;
        if (p->cur == p->end) {
            fail(p, "bad escape", p->end);
            break;
        }
        char e = *p->cur++;
        char bytes[4];
        size_t n = 1;
        switch (e) {
        case '"':
        case '\\':
        case '/': bytes[0] = e; break;
        case 'b': bytes[0] = '\b'; break;
        case 'f': bytes[0] = '\f'; break;
        case 'n': bytes[0] = '\n'; break;
        case 'r': bytes[0] = '\r'; break;
        case 't': bytes[0] = '\t'; break;
        case 'u': n = parse_u_escape(p, bytes); break;
        default:
            fail(p, "bad escape", p->cur);
            n = 0;
        }
        if (n == 0 || str_put(p, &b, bytes, n) < 0)
            break;
    }
    free(b.data);
    return -1;
}

// ---- numbers ----------------------------------------------------------------

// 1 when a digit other than 0 stands in the text from s to end.
static int mantissa_has_nonzero(const char *s, const char *end)
{
    for (; s < end; s++)
        if (*s >= '1' && *s <= '9')
            return 1;
    return 0;
}

// Parses a number starting at cur ("-" or a digit) into v. std::from_chars
// converts as the "C" locale does whatever the process locale says, rounds
// correctly, and reports a value beyond the range of a double.
static int parse_number(json_parser *p, json_value *v)
{
    const char *s = p->cur;
    const char *q = s;
    bool integral = true;
    if (q < p->end && *q == '-')
        q++;
    if (q == p->end || !is_digit(*q))
        return fail(p, "bad number", s);
    if (*q == '0') {
        q++;
        if (q < p->end && is_digit(*q))
            return fail(p, "leading zero in number", s);
    } else {
        while (q < p->end && is_digit(*q))
            q++;
    }
    if (q < p->end && *q == '.') {
        q++;
        if (q == p->end || !is_digit(*q))
            return fail(p, "bad number", s);
        while (q < p->end && is_digit(*q))
            q++;
        integral = false;
    }
    const char *mantissa_end = q;
    if (q < p->end && (*q == 'e' || *q == 'E')) {
        q++;
        if (q < p->end && (*q == '+' || *q == '-'))
            q++;
        if (q == p->end || !is_digit(*q))
            return fail(p, "bad number", s);
        while (q < p->end && is_digit(*q))
            q++;
        integral = false;
    }
    if ((size_t)(q - s) > JSON_MAX_NUMBER_TEXT)
        return fail(p, "number too long", s);

    double d = 0;
    std::from_chars_result r = std::from_chars(s, q, d);
    if (r.ec != std::errc() || r.ptr != q || isinf(d) || isnan(d))
        return fail(p, "number out of range", s);
    // An underflow is a range error too, as strtod reports it: a result
    // below the smallest normal double has lost precision, and one that came
    // out as zero from digits that are not all zero has lost the number.
    if (d == 0 ? mantissa_has_nonzero(s, mantissa_end) : fpclassify(d) == FP_SUBNORMAL)
        return fail(p, "number out of range", s);
    v->number = d;
    if (integral) {
        // Beyond the 64-bit range the number stays a double only.
        int64_t i = 0;
        std::from_chars_result ri = std::from_chars(s, q, i, 10);
        if (ri.ec == std::errc() && ri.ptr == q) {
            v->is_integer = 1;
            v->integer = i;
        }
    }
    p->cur = q;
    return 0;
}

// ---- arrays and objects -----------------------------------------------------

static int parse_value(json_parser *p, json_value **out);

// Makes room for one more entry in items (and keys, for an object), starting
// at 8 and doubling; -1 with "out of memory" written, the node unchanged.
static int grow(json_parser *p, json_value *node, size_t *cap, bool with_keys)
{
    if (node->count < *cap)
        return 0;
    size_t n = *cap ? *cap * 2 : 8;
    json_value **items = (json_value **)realloc(node->items, n * sizeof *items);
    if (!items)
        return fail(p, "out of memory", p->cur);
    node->items = items;
    if (with_keys) {
        char **keys = (char **)realloc(node->keys, n * sizeof *keys);
        if (!keys)
            return fail(p, "out of memory", p->cur);
        node->keys = keys;
    }
    *cap = n;
    return 0;
}

// Opens an array or object at cur: the depth and value limits, then the node.
// *empty is 1 when the closing bracket follows at once (and was read).
// Returns the node or null with the message written.
static json_value *open_container(json_parser *p, uint32_t kind, char close, bool *empty)
{
    if (p->depth >= p->max_depth) {
        fail(p, "nesting too deep", p->cur);
        return nullptr;
    }
    p->cur++;
    if (count_value(p, p->cur) < 0)
        return nullptr;
    json_value *node = new_node(p, kind);
    if (!node)
        return nullptr;
    p->depth++;
    skip_ws(p);
    *empty = p->cur < p->end && *p->cur == close;
    if (*empty)
        p->cur++;
    return node;
}

// Reads what follows an element or member: "," (0, another one follows) or
// the closing bracket (1); -1 with the message for the end of the input
// (unterminated) or any other byte (expected).
static int separator(json_parser *p, char close, const char *unterminated, const char *expected)
{
    skip_ws(p);
    if (p->cur == p->end)
        return fail(p, unterminated, p->end);
    char c = *p->cur;
    if (c != ',' && c != close)
        return fail(p, expected, p->cur);
    p->cur++;
    return c == close ? 1 : 0;
}

static int parse_array(json_parser *p, json_value **out)
{
    bool empty = false;
    json_value *node = open_container(p, JSON_ARRAY, ']', &empty);
    if (!node)
        return -1;
    size_t cap = 0;
    for (bool closed = empty; !closed;) {
        json_value *item = nullptr;
        if (parse_value(p, &item) < 0)
            goto failed;
        if (grow(p, node, &cap, false) < 0) {
            json_free(item);
            goto failed;
        }
        node->items[node->count++] = item;
        int next = separator(p, ']', "unterminated array", "expected , or ]");
        if (next < 0)
            goto failed;
        closed = next == 1;
    }
    p->depth--;
    *out = node;
    return 0;
failed:
    json_free(node);
    return -1;
}

// Member names seen in one object. Up to 16 names are compared one by one;
// past that a hash index keeps the check linear, so a document of a few
// megabytes with one huge object cannot cost minutes of comparisons.
struct key_index {
    uint32_t *slot;  // member index + 1, 0 for an empty slot; owned
    size_t size;     // number of slots (a power of two), 0 before first use
};

enum { KEY_INDEX_FROM = 16 };

static uint64_t key_hash(const char *s)
{
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (; *s; s++)
        h = (h ^ (unsigned char)*s) * 1099511628211ull;
    return h ^ (h >> 29);
}

// Puts member i of keys into the index's slots (the index has room).
static void key_index_put(key_index *ix, char *const *keys, size_t i)
{
    size_t mask = ix->size - 1;
    size_t at = (size_t)key_hash(keys[i]) & mask;
    while (ix->slot[at])
        at = (at + 1) & mask;
    ix->slot[at] = (uint32_t)(i + 1);
}

// Adds member i (whose name is not yet present) once the object has reached
// KEY_INDEX_FROM members, rebuilding at twice the size to keep the index at
// most half full; -1 when memory runs out.
static int key_index_add(key_index *ix, char *const *keys, size_t i)
{
    if (i + 1 < KEY_INDEX_FROM)
        return 0;
    if ((i + 1) * 2 > ix->size) {
        size_t size = ix->size ? ix->size * 2 : 4 * KEY_INDEX_FROM;
        uint32_t *slot = (uint32_t *)calloc(size, sizeof *slot);
        if (!slot)
            return -1;
        free(ix->slot);
        ix->slot = slot;
        ix->size = size;
        for (size_t k = 0; k < i; k++)
            key_index_put(ix, keys, k);
    }
    key_index_put(ix, keys, i);
    return 0;
}

// 1 when one of the first n names in keys equals name.
static int key_seen(const key_index *ix, char *const *keys, size_t n, const char *name)
{
    if (!ix->size) {
        for (size_t i = 0; i < n; i++)
            if (strcmp(keys[i], name) == 0)
                return 1;
        return 0;
    }
    size_t mask = ix->size - 1;
    for (size_t at = (size_t)key_hash(name) & mask; ix->slot[at]; at = (at + 1) & mask)
        if (strcmp(keys[ix->slot[at] - 1], name) == 0)
            return 1;
    return 0;
}

static int parse_object(json_parser *p, json_value **out)
{
    bool empty = false;
    json_value *node = open_container(p, JSON_OBJECT, '}', &empty);
    if (!node)
        return -1;
    size_t cap = 0;
    key_index index = {nullptr, 0};
    for (bool closed = empty; !closed;) {
        char *name = nullptr;
        json_value *value = nullptr;
        skip_ws(p);
        if (p->cur == p->end || *p->cur != '"') {
            fail(p, "expected a string key", p->cur);
            goto failed;
        }
        if (parse_string(p, &name) < 0)
            goto failed;
        skip_ws(p);
        if (p->cur == p->end || *p->cur != ':') {
            fail(p, "expected :", p->cur);
            free(name);
            goto failed;
        }
        p->cur++;
        if (parse_value(p, &value) < 0) {
            free(name);
            goto failed;
        }
        // The duplicate is reported only after its value, as the error offset says.
        if (key_seen(&index, node->keys, node->count, name)) {
            fail(p, "duplicate key", p->cur);
            free(name);
            json_free(value);
            goto failed;
        }
        if (grow(p, node, &cap, true) < 0) {
            free(name);
            json_free(value);
            goto failed;
        }
        node->keys[node->count] = name;
        node->items[node->count] = value;
        node->count++;
        if (key_index_add(&index, node->keys, node->count - 1) < 0) {
            fail(p, "out of memory", p->cur);
            goto failed;
        }
        int next = separator(p, '}', "unterminated object", "expected , or }");
        if (next < 0)
            goto failed;
        closed = next == 1;
    }
    free(index.slot);
    p->depth--;
    *out = node;
    return 0;
failed:
    free(index.slot);
    json_free(node);
    return -1;
}

// ---- values -----------------------------------------------------------------

// Parses a literal at cur: true, false or null; nothing else.
static int parse_literal(json_parser *p, json_value **out)
{
    const char *s = p->cur;
    size_t left = (size_t)(p->end - s);
    uint32_t kind = JSON_NULL;
    uint32_t boolean = 0;
    size_t n = 4;
    if (left >= 4 && memcmp(s, "true", 4) == 0) {
        kind = JSON_BOOL;
        boolean = 1;
    } else if (left >= 5 && memcmp(s, "false", 5) == 0) {
        kind = JSON_BOOL;
        n = 5;
    } else if (left < 4 || memcmp(s, "null", 4) != 0) {
        return fail(p, "unexpected character", s);
    }
    if (count_value(p, s) < 0)
        return -1;
    json_value *v = new_node(p, kind);
    if (!v)
        return -1;
    v->boolean = boolean;
    p->cur += n;
    *out = v;
    return 0;
}

// Parses one value after optional white space; *out gets the new node.
static int parse_value(json_parser *p, json_value **out)
{
    skip_ws(p);
    if (p->cur == p->end)
        return fail(p, "unexpected end", p->end);
    char c = *p->cur;
    if (c == '{')
        return parse_object(p, out);
    if (c == '[')
        return parse_array(p, out);
    if (c == '"') {
        char *s = nullptr;
        if (parse_string(p, &s) < 0)
            return -1;
        json_value *v = nullptr;
        if (count_value(p, p->cur) < 0 || !(v = new_node(p, JSON_STRING))) {
            free(s);
            return -1;
        }
        v->string = s;
        *out = v;
        return 0;
    }
    if (c == '-' || is_digit(c)) {
        const char *s = p->cur;
        json_value num = {};
        if (parse_number(p, &num) < 0)
            return -1;
        if (count_value(p, s) < 0)
            return -1;
        json_value *v = new_node(p, JSON_NUMBER);
        if (!v)
            return -1;
        v->is_integer = num.is_integer;
        v->integer = num.integer;
        v->number = num.number;
        *out = v;
        return 0;
    }
    return parse_literal(p, out);
}

// ---- entry points -----------------------------------------------------------

int json_parse_limited(const char *text, size_t len, size_t max_size, unsigned max_depth,
                       unsigned max_values, json_value **root, char *err, size_t errlen)
{
    *root = nullptr;
    if (err && errlen)
        err[0] = '\0';
    if (len > max_size) {
        if (err && errlen)
            snprintf(err, errlen, "%s", "document too large");
        return -1;
    }
    if (!text) {
        // No bytes to read: only an empty document may come without them.
        if (len) {
            if (err && errlen)
                snprintf(err, errlen, "%s", "document missing");
            return -1;
        }
        text = "";
    }
    json_parser p = {text, text + len, text, 0, 0, max_depth, max_values, err, errlen};
    json_value *tree = nullptr;
    if (parse_value(&p, &tree) < 0)
        return -1;
    skip_ws(&p);
    if (p.cur != p.end) {
        json_free(tree);
        return fail(&p, "unexpected data after the document", p.cur);
    }
    *root = tree;
    return 0;
}

int json_parse(const char *text, size_t len, json_value **root, char *err, size_t errlen)
{
    return json_parse_limited(text, len, JSON_MAX_DOCUMENT, JSON_MAX_DEPTH, JSON_MAX_VALUES, root,
                              err, errlen);
}

void json_free(json_value *v)
{
    if (!v)
        return;
    free(v->string);
    for (uint64_t i = 0; i < v->count; i++) {
        json_free(v->items[i]);
        if (v->keys)
            free(v->keys[i]);
    }
    free(v->items);
    free(v->keys);
    free(v);
}

// ---- accessors --------------------------------------------------------------

int json_kind(const json_value *v) { return v ? (int)v->kind : JSON_NULL; }

const json_value *json_object_get(const json_value *v, const char *name)
{
    if (!v || v->kind != JSON_OBJECT || !name)
        return nullptr;
    for (uint64_t i = 0; i < v->count; i++)
        if (strcmp(v->keys[i], name) == 0)
            return v->items[i];
    return nullptr;
}

const char *json_string(const json_value *v)
{
    return v && v->kind == JSON_STRING ? v->string : nullptr;
}

int json_int(const json_value *v, int64_t *out)
{
    if (!v || v->kind != JSON_NUMBER || v->is_integer != 1)
        return 0;
    if (out)
        *out = v->integer;
    return 1;
}

int json_bool(const json_value *v, int *out)
{
    if (!v || v->kind != JSON_BOOL)
        return 0;
    if (out)
        *out = v->boolean ? 1 : 0;
    return 1;
}

size_t json_array_len(const json_value *v)
{
    return v && v->kind == JSON_ARRAY ? (size_t)v->count : 0;
}

const json_value *json_array_at(const json_value *v, size_t i)
{
    return v && v->kind == JSON_ARRAY && i < v->count ? v->items[i] : nullptr;
}

size_t json_object_len(const json_value *v)
{
    return v && v->kind == JSON_OBJECT ? (size_t)v->count : 0;
}

const char *json_object_key_at(const json_value *v, size_t i)
{
    return v && v->kind == JSON_OBJECT && i < v->count ? v->keys[i] : nullptr;
}

const json_value *json_object_value_at(const json_value *v, size_t i)
{
    return v && v->kind == JSON_OBJECT && i < v->count ? v->items[i] : nullptr;
}
