// English engine and library messages into German: a constant table of English
// patterns and German templates, capitalisation and the finished sentence.
// No state and no heap: every routine works on its arguments, stack buffers and
// the constant table, so any thread may call them at the same time.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "orv_attr.h"

enum {
    MSG_MAX_CAPTURES = 9,   // captures one pattern may hold
    MSG_MAX_DEPTH = 4,      // levels of "%m" translated below the whole message
    MSG_TEXT_SIZE = 2048,   // work buffers of msg_localize: a message counts up to 2047 bytes
    MSG_CAPTURE_SIZE = 1024 // a placed capture holds at most 1023 bytes
};

// One row of the table: an English pattern and the German text that replaces a
// message matching it.
struct msg_row {
    const char *pattern;       // the message with "%s" (any text), "%d" (digits) and
                               // "%m" (a nested message, translated in turn) markers;
                               // another "%" stands for itself
    const char *template_text; // German; "$1" to "$9" place the captures of the pattern
};

// The table in its order (the first matching row wins) and its number of rows.
extern const msg_row msg_table[];
extern const size_t msg_table_rows;

// The captures of one matching attempt.
struct msg_captures {
    const char *start[MSG_MAX_CAPTURES];    // where each capture begins in the message
    uint64_t length[MSG_MAX_CAPTURES];      // its length in bytes, at least 1
    char kind[MSG_MAX_CAPTURES];            // 's', 'd' or 'm'
    int32_t count;                          // captures recorded so far, 0 to 9
};

// vsnprintf rules: the text is cut at the buffer's end and always NUL-terminated
// (size > 0); the result is the length the whole text would have had (an
// encoding failure leaves an empty text).
int msg_snprintf(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);

// 1 when the whole of text matches the whole of pattern, with the captures
// appended to caps (each the shortest text that lets the rest match); 0 when it
// does not, with caps->count back at its value on entry. caps must be valid.
int msg_match(const char *pattern, const char *text, msg_captures *caps);

// The index of the row that translates text: first the rows whose pattern does
// not begin with "%", then those that do, each in table order. -1 when none
// matches. caps receives that row's captures.
int msg_find_row(const char *text, msg_captures *caps);

// Writes a template into out (out_size >= 1; cut at out_size - 1 bytes, always
// NUL-terminated): "$1" to "$9" become the captures of caps (each cut at 1023
// bytes; a "%m" capture translated at depth + 1 while depth is below 4), and
// every other character, also a "$" that names no capture, is copied. Returns
// the length the whole text would have had.
size_t msg_fill_template(const char *template_text, const msg_captures *caps, char *out,
                         size_t out_size, int depth);

// Writes the German text for text into out (out_size >= 1; cut at out_size - 1
// bytes, always NUL-terminated); a message that matches no row is copied as it
// is. depth is 0 for a whole message; "%m" captures are translated at depth + 1
// while depth is below 4. Returns the length the whole text would have had.
size_t msg_translate(const char *text, char *out, size_t out_size, int depth);

// Translates the message in text (a buffer of size bytes) in place from its
// first 2047 bytes and raises its first letter where that is safe. The result is
// cut at size - 1 bytes and always NUL-terminated. Returns the length the whole
// translated text would have had; 0 and nothing changed when text is null, size
// is 0 or the text is empty.
size_t msg_localize(char *text, size_t size);

// Finishes the text in a buffer of size bytes as a sentence, in place: trailing
// line feeds, carriage returns and blanks are cut, and a "." is added, room
// permitting, unless the text is empty or ends in ".", "!" or "?". Returns the
// length the finished sentence would have had (one more than the text when the
// period found no room); 0 when text is null or size is 0.
size_t msg_finish_sentence(char *text, size_t size);
