// JSON text output: a serializer that writes a json_value tree back as compact
// JSON in a growing heap buffer, and a bounded writer that builds one JSON
// object member by member in the caller's fixed buffer, cutting instead of
// failing. Both escape strings the same way.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "json.h"

// The serializer's first allocation; it doubles from there.
#define JSON_TEXT_FIRST_CAP 256u

// The serializer's growing buffer. Start it zero-filled; the serializer owns
// buf while it runs and hands it to the caller at the end.
struct json_text_buffer {
    char *buf;    // the text so far, NUL-terminated once anything was appended; owned
    size_t len;   // its length without the NUL
    size_t cap;   // allocated size of buf
    int32_t oom;  // 1 once an allocation failed; every later append does nothing
};

// The bounded writer. It lives wherever the caller puts it and never owns buf.
// While cap is non-zero, len stays at most cap - 1 and buf[len] is NUL.
struct json_writer {
    char *buf;      // the caller's buffer
    size_t cap;     // its size in bytes
    size_t len;     // bytes of text written so far
    int32_t count;  // members written since the last jsonw_begin_object
    size_t want;    // length the whole text would have had: above len once anything was cut
};

// ---- serializer -------------------------------------------------------------

// The allocator the serializer grows its buffer with (realloc); a test points
// it at one that fails to show that memory running out yields no text at all.
extern void *(*json_text_realloc)(void *p, size_t n);

// The compact JSON text of v (null is written as null), NUL-terminated, in a
// heap block the caller frees. Null when memory ran out (*len_out unchanged)
// or when v or any node below it holds something JSON cannot: a kind above 5,
// or a number that is neither integral nor finite (*len_out set to 0).
// Otherwise *len_out, when len_out is non-null, gets the length without the NUL.
char *json_to_text(const json_value *v, size_t *len_out);
// Appends v compactly to b: a node of a kind above 5, or a non-integral number
// that is not finite, appends nothing. Does nothing once b->oom is set.
void json_emit_value(json_text_buffer *b, const json_value *v);
// Appends s as a JSON string (null as the empty string).
void json_emit_string(json_text_buffer *b, const char *s);

// ---- bounded writer ---------------------------------------------------------
//
// Every append copies what fits below cap - 1 and keeps the text NUL-terminated,
// so text may be cut inside an escape or a number; want still grows by the
// whole text, as snprintf's result would. A cut shows as want > len.

// Binds buf (cap bytes) to w: len, count and want 0, buf[0] NUL when cap is non-zero.
void jsonw_init(json_writer *w, char *buf, size_t cap);
// Starts counting members from 0 and appends "{".
void jsonw_begin_object(json_writer *w);
// Appends "}".
void jsonw_end_object(json_writer *w);
// Member name: value as a string, or null when value is null.
void jsonw_key_string(json_writer *w, const char *name, const char *value);
// Member name: value in decimal.
void jsonw_key_u64(json_writer *w, const char *name, uint64_t value);
// Member name: value in decimal, with a minus sign when negative.
void jsonw_key_i64(json_writer *w, const char *name, int64_t value);
// Member name: true when value is non-zero, else false.
void jsonw_key_bool(json_writer *w, const char *name, int value);
// The separator, name as a string and ":"; the caller appends the value next
// (a nested object or array built elsewhere, through jsonw_append_raw).
void jsonw_key(json_writer *w, const char *name);
// Appends text unchanged (null appends nothing).
void jsonw_append_raw(json_writer *w, const char *text);
// Appends text as a JSON string (null as the empty string).
void jsonw_append_string(json_writer *w, const char *text);
// Appends text quoted and escaped, one escape at a time (null as the empty string).
void jsonw_quote(json_writer *w, const char *text);
