// Bounded formatting of the setup's output and the cells of the component table.
#pragma once
#include <stdarg.h>
#include <stddef.h>

#include "orv_attr.h"

// Size of one line of the component table, line feed and NUL included.
enum { SETUP_TABLE_LINE = 400 };

// vsnprintf rules: cut at the buffer's end, always NUL-terminated (size > 0),
// the result the length the whole text would have had; an encoding failure
// (a negative result) leaves an empty text. A cut never ends inside a UTF-8
// character: a character that does not fit whole is left out.
int setup_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap) ORV_PRINTF(3, 0);
// setup_vsnprintf with the arguments in place.
int setup_snprintf(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// Formatted output to standard output; the formatter's result.
int setup_printf(const char *fmt, ...) ORV_PRINTF(1, 2);
// Appends text to a 400-byte table line; nothing is written beyond byte 399.
void line_append(char *line, const char *text);
// Characters of a UTF-8 text: the bytes that are not continuation bytes.
size_t utf8_width(const char *text);
// Appends text, then blanks until the cell is width characters wide; a text
// already that wide or wider gets no blank at all.
void setup_table_cell(char *line, const char *text, size_t width);
// Builds one table line: three cells of 15, 10 and 9 characters, the last
// text and a line feed.
void setup_table_line(char *line, const char *id, const char *available, const char *standard,
                      const char *title);
// The usage text of "--help", a printf format ("%%" prints one "%").
const char *setup_usage_text(void);
