// Texts for people: cuts that keep UTF-8 characters whole, the test for
// UTF-8, and control characters made visible before a text reaches a console,
// a window or the log. No Windows header: pure text work.
#pragma once
#include <stddef.h>

// The length of the first len bytes of s without a UTF-8 sequence that is
// cut off at the end (a lead byte missing some of its continuation bytes):
// for callers that cut a text they know to be UTF-8.
size_t text_utf8_whole(const char *s, size_t len);
// For a NUL-terminated text in a buffer of size bytes that a bounded
// formatter or copy may have cut at its end: when the text fills the buffer
// (size - 1 bytes), a character cut short there is dropped. A text that is
// shorter was not cut and stays as it is. Returns the text's length.
size_t text_cut_whole(char *text, size_t size);
// 1 when the n bytes at s are UTF-8 (no overlong forms, no surrogates, nothing
// past U+10FFFF), else 0.
int text_utf8_valid(const char *s, size_t n);
// The length of the run that begins the n bytes at s (0 only when n is 0):
// either whole UTF-8 characters (*utf8 set to 1), or bytes that start no
// UTF-8 character (*utf8 set to 0), such as a path in the ANSI code page
// placed in a UTF-8 sentence. A text is read run by run so that each part
// shows as what it is.
size_t text_utf8_run(const char *s, size_t n, int *utf8);
// 1 when a byte of the NUL-terminated text is above 0x7F, else 0.
int text_has_high_bytes(const char *text);

// 1 when the NUL-terminated text holds a control character that
// text_escape_controls would escape, else 0.
int text_has_controls(const char *text);
// The text with its control characters shown as "\x1b" (a backslash, "x" and
// two lower-case hex digits per byte) into out (size bytes, the snprintf
// contract: cut at size - 1 bytes, never inside an escape or a UTF-8
// character, always NUL-terminated when size > 0). Escaped are the bytes
// below 0x20 and 0x7F, except a line feed and a carriage return directly
// before one (the line breaks a text may hold), and, in a text that is UTF-8,
// the C1 controls U+0080 to U+009F (two bytes each). Returns the length the
// whole escaped text would have had.
size_t text_escape_controls(const char *text, char *out, size_t size);
