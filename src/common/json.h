// A strict JSON parser (RFC 8259 grammar) into a tree of json_value nodes,
// with limits that keep documents from the network from exhausting the stack
// or memory, and null-safe accessors over the tree.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Limits of json_parse.
#define JSON_MAX_DOCUMENT 4194304u  // bytes of one document (4 MiB)
#define JSON_MAX_DEPTH 32u          // arrays and objects open at once
#define JSON_MAX_VALUES 200000u     // values in one document (member names not counted)
// Limits of every parse.
#define JSON_MAX_NUMBER_TEXT 40u    // bytes of one number's text
#define JSON_MAX_STRING 65535u      // decoded bytes of one string

enum {
    JSON_NULL = 0,
    JSON_BOOL = 1,
    JSON_NUMBER = 2,
    JSON_STRING = 3,
    JSON_ARRAY = 4,
    JSON_OBJECT = 5
};

// One node of a tree; created zero-filled. A node owns everything below it.
struct json_value {
    uint32_t kind;       // JSON_NULL ... JSON_OBJECT
    uint32_t boolean;    // booleans: 1 true, 0 false
    int32_t is_integer;  // numbers: 1 when `integer` holds the exact value
    int64_t integer;     // numbers: the value, valid only when is_integer is 1
    double number;       // numbers: the value as a double (every number has it)
    char *string;        // strings: the decoded bytes, NUL-terminated, no NUL inside; owned
    uint64_t count;      // elements of an array or members of an object
    json_value **items;  // array elements or object member values, in document order; owned
    char **keys;         // objects only: member names parallel to items; owned
};

// The state of one parse; lives on the parser's stack and is never shared.
struct json_parser {
    const char *cur;      // next byte to read
    const char *end;      // one past the last byte of the document
    const char *start;    // first byte; error offsets count from here
    uint32_t depth;       // arrays and objects currently open
    uint32_t count;       // values created so far
    uint32_t max_depth;   // limit for depth
    uint32_t max_values;  // limit for count
    char *err;            // the caller's message buffer, or null
    size_t errlen;        // its size
};

// Parses the len bytes at text (no NUL needed) with the limits above.
// Returns 0 with *root set to a tree the caller releases with json_free, or -1
// with *root null, nothing left allocated and "<reason> at byte <offset>" in
// err (when err is non-null and errlen non-zero; cut to errlen).
int json_parse(const char *text, size_t len, json_value **root, char *err, size_t errlen);
// As json_parse with the caller's limits for the document size, the nesting
// depth and the number of values. The parser recurses once per open array or
// object, so max_depth also bounds its stack use: keep it in the hundreds.
int json_parse_limited(const char *text, size_t len, size_t max_size, unsigned max_depth,
                       unsigned max_values, json_value **root, char *err, size_t errlen);
// Releases v and everything below it; null is accepted.
void json_free(json_value *v);

// The accessors take null or a node of any kind and then answer as for a
// missing value. Returned pointers point into the tree and live as long as it.

// v's kind; JSON_NULL for null.
int json_kind(const json_value *v);
// The value of the member named name (compared byte for byte); null when v is
// not an object or has no such member.
const json_value *json_object_get(const json_value *v, const char *name);
// The text of a string; null for any other kind.
const char *json_string(const json_value *v);
// 1 with *out set when v is a number whose exact value is a 64-bit integer;
// otherwise 0 with *out untouched.
int json_int(const json_value *v, int64_t *out);
// 1 with *out set to 0 or 1 when v is a boolean; otherwise 0 with *out untouched.
int json_bool(const json_value *v, int *out);
// Element count of an array, else 0.
size_t json_array_len(const json_value *v);
// Element i of an array; null when v is no array or i is not below the count.
const json_value *json_array_at(const json_value *v, size_t i);
// Member count of an object, else 0.
size_t json_object_len(const json_value *v);
// Name of member i in document order; null when v is no object or i is out of range.
const char *json_object_key_at(const json_value *v, size_t i);
// Value of member i; null under the same conditions.
const json_value *json_object_value_at(const json_value *v, size_t i);
