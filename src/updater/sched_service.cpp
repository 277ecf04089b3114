// Reading the scheduler's "list" answer and the service's command line.
#include "sched_service.h"

#include <string.h>

// The blanks that end a word of a "list" line: those of scanf's "%s".
static int list_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Copies the word at *p into out (cap bytes, cut at cap - 1 characters) and
// moves *p past all of it. 1 when there was a word, else 0.
static int take_word(const char **p, char *out, size_t cap)
{
    const char *s = *p;
    while (*s && list_blank(*s))
        s++;
    if (!*s)
        return 0;
    size_t n = 0;
    for (; *s && !list_blank(*s); s++)
        if (n + 1 < cap)
            out[n++] = *s;
    out[n] = '\0';
    *p = s;
    return 1;
}

int sched_list_scan(const char *line, char f1[SCHED_FIELD1], char f2[SCHED_FIELD2],
                    char f3[SCHED_FIELD3])
{
    const char *p = line;
    if (!take_word(&p, f1, SCHED_FIELD1))
        return 0;
    if (!take_word(&p, f2, SCHED_FIELD2))
        return 1;
    return take_word(&p, f3, SCHED_FIELD3) ? 3 : 2;
}

int sched_list_has_running(char *text)
{
    char *line = strchr(text, '\n');  // the header is never read
    int running = 0;
    while (line) {
        line++;
        char *end = strchr(line, '\n');
        if (end)
            *end = '\0';
        char f1[SCHED_FIELD1], f2[SCHED_FIELD2], f3[SCHED_FIELD3];
        if (sched_list_scan(line, f1, f2, f3) == 3 && strcmp(f3, "RUNNING") == 0)
            running = 1;
        line = end;
    }
    return running;
}

// Copies the command-line token at *p into out (SCHED_OPTION_VALUE bytes,
// the rest of a longer token skipped) and moves *p past it. 1 when there was
// a token, else 0.
static int take_token(const char **p, char out[SCHED_OPTION_VALUE])
{
    const char *s = *p;
    while (*s == ' ' || *s == '\t')
        s++;
    if (!*s)
        return 0;
    size_t n = 0;
    if (*s == '"') {
        for (s++; *s && *s != '"'; s++)
            if (n + 1 < SCHED_OPTION_VALUE)
                out[n++] = *s;
        if (*s == '"')
            s++;
    } else {
        for (; *s && *s != ' ' && *s != '\t'; s++)
            if (n + 1 < SCHED_OPTION_VALUE)
                out[n++] = *s;
    }
    out[n] = '\0';
    *p = s;
    return 1;
}

void cmdline_option_value(const char *cmdline, const char *option, char value[SCHED_OPTION_VALUE])
{
    value[0] = '\0';
    if (!cmdline || !option)
        return;
    const char *p = cmdline;
    char token[SCHED_OPTION_VALUE];
    while (take_token(&p, token)) {
        if (strcmp(token, option) != 0)
            continue;
        if (take_token(&p, value))
            return;
    }
}

void sched_cmdline_program(const char *cmdline, char path[SCHED_PROGRAM_MAX])
{
    size_t n = 0;
    const char *s = cmdline ? cmdline : "";
    char stop = ' ';
    if (*s == '"') {
        s++;
        stop = '"';
    }
    for (; *s && *s != stop && n + 1 < SCHED_PROGRAM_MAX; s++)
        path[n++] = *s;
    path[n] = '\0';
}
