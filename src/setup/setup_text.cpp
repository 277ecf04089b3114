// Bounded output formatting and the component table's cells.
#include "setup_text.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "text.h"

int setup_vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
{
    int r = vsnprintf(buf, size, fmt, ap);
    if (r < 0 && buf && size)
        buf[0] = '\0';
    // A text for people cut at the buffer's end must not end in half a
    // character: the whole text would no longer read as UTF-8 and would be
    // shown in the ANSI code page's characters.
    else if (r >= 0 && buf && size && (size_t)r >= size)
        text_cut_whole(buf, size);
    return r;
}

int setup_snprintf(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = setup_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return r;
}

int setup_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vprintf(fmt, ap);
    va_end(ap);
    return r;
}

void line_append(char *line, const char *text)
{
    size_t n = strnlen(line, SETUP_TABLE_LINE - 1);
    if (n < SETUP_TABLE_LINE - 1)
        setup_snprintf(line + n, SETUP_TABLE_LINE - n, "%s", text);
}

size_t utf8_width(const char *text)
{
    size_t w = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if ((*p & 0xC0) != 0x80)
            w++;
    return w;
}

void setup_table_cell(char *line, const char *text, size_t width)
{
    line_append(line, text);
    for (size_t w = utf8_width(text); w < width; w++)
        line_append(line, " ");
}

void setup_table_line(char *line, const char *id, const char *available, const char *standard,
                      const char *title)
{
    line[0] = '\0';
    setup_table_cell(line, id, 15);
    setup_table_cell(line, available, 10);
    setup_table_cell(line, standard, 9);
    line_append(line, title);
    line_append(line, "\n");
}
