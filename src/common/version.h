// Version texts: MAJOR.MINOR.PATCH with an optional "-pre.release", at most
// 48 characters, ordered by Semantic Versioning precedence. Pure: no state,
// no heap, no messages.
#pragma once
#include <stdint.h>

// Longest valid version text, without its NUL.
enum { VERSION_TEXT_MAX = 48 };

// A parsed version text; borrows the text it was parsed from.
struct version_parts {
    uint32_t major;  // first number (1 to 9 digits)
    uint32_t minor;  // second number
    uint32_t patch;  // third number
    const char *pre; // pre-release: the character after "-" in the text, or null
};

// Parses text (may be null) into *parts: 0 valid, -1 invalid (*parts is then
// meaningless). Three numbers of 1 to 9 digits joined by ".", optionally "-"
// and one or more ASCII letters, digits and dots; nothing else.
int version_parse(const char *text, version_parts *parts);
// 1 when text (may be null) is a valid version text, else 0.
int version_is_valid(const char *text);
// The major number of text, or -1 when it is invalid.
int version_major(const char *text);
// -1, 0 or 1 as a ranks below, equal to or above b; 0 also when either text
// is invalid, so callers check both with version_is_valid first.
int version_compare(const char *a, const char *b);
