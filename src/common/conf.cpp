// Settings-line rules shared by updater.conf and the answers file.
#include "conf.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

static bool is_blank(char c) { return c == ' ' || c == '\t'; }
static bool is_comment(char c) { return c == '#' || c == ';'; }

int32_t conf_value_end(const char *line, size_t len)
{
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        len--;
    if (len == 0)
        return 0;
    const char *eq = (const char *)memchr(line, '=', len);
    size_t v = len;
    if (eq) {
        v = (size_t)(eq - line) + 1;
        while (v < len && is_blank(line[v]))
            v++;
    }
    if (is_comment(line[0]))
        return 0;
    for (size_t i = 1; i < v; i++)
        if (is_comment(line[i]) && is_blank(line[i - 1]))
            return (int32_t)i;
    if (v == len)
        return (int32_t)len;
    char q = line[v];
    if (q == '\'' || q == '"') {
        size_t i = v + 1;
        for (;; i++) {
            if (i >= len)
                return -1;
            if (line[i] == q)
                break;
            if (q == '"' && line[i] == '\\') {
                if (i + 1 >= len)
                    return -1;
                if (line[i + 1] == '"' || line[i + 1] == '\\')
                    i++;
            }
        }
        for (i++; i < len && is_blank(line[i]); i++) {
        }
        if (i == len)
            return (int32_t)len;
        if (is_comment(line[i]))
            return (int32_t)i;
        return -1;
    }
    if (is_comment(q) && is_blank(line[v - 1]))
        return (int32_t)v;
    for (size_t i = v + 1; i < len; i++)
        if (is_comment(line[i]) && is_blank(line[i - 1]))
            return (int32_t)i;
    return (int32_t)len;
}

size_t conf_value_end_or_len(const char *line, size_t len)
{
    int32_t r = conf_value_end(line, len);
    return r < 0 ? len : (size_t)r;
}

int conf_strip_comment(char *line)
{
    int32_t end = conf_value_end(line, strlen(line));
    if (end < 0)
        return -1;
    line[end] = '\0';
    return 0;
}

char *conf_unquote(char *value)
{
    char q = value[0];
    if (q != '\'' && q != '"')
        return value;
    const char *src = value + 1;
    char *dst = value;
    while (*src && *src != q) {
        if (q == '"' && src[0] == '\\' && (src[1] == '"' || src[1] == '\\')) {
            *dst++ = src[1];
            src += 2;
        } else {
            *dst++ = *src++;
        }
    }
    *dst = '\0';
    return value;
}

int conf_needs_quotes(const char *value)
{
    if (!value || !value[0])
        return 0;
    if (value[0] == '\'' || value[0] == '"' || is_comment(value[0]))
        return 1;
    for (size_t i = 1; value[i]; i++)
        if (is_comment(value[i]) && is_blank(value[i - 1]))
            return 1;
    return 0;
}

void conf_skip_bom(FILE *f)
{
    int c = fgetc(f);
    if (c == EOF)
        return;
    if (c != 0xEF) {
        ungetc(c, f);
        return;
    }
    int c2 = fgetc(f);
    if (c2 == 0xBB && fgetc(f) == 0xBF)
        return;
    fseek(f, 0, SEEK_SET);
}

// Frees the tokens stored so far and reports msg; always -1.
static int tokenize_fail(char **tokens, int count, const char *msg, char *err, size_t errlen)
{
    for (int i = 0; i < count; i++) {
        free(tokens[i]);
        tokens[i] = nullptr;
    }
    if (err && errlen)
        snprintf(err, errlen, "%s", msg);
    return -1;
}

int args_tokenize(const char *text, char **tokens, int max_tokens, char *err, size_t errlen)
{
    int count = 0;
    if (!text)
        return 0;
    const char *p = text;
    for (;;) {
        while (*p && isspace((unsigned char)*p))
            p++;
        if (!*p)
            return count;
        if (count >= max_tokens)
            return tokenize_fail(tokens, count, "too many tokens in 'args'", err, errlen);
        char buf[1024];
        size_t n = 0;
        if (*p == '"') {
            p++;
            for (;;) {
                if (!*p)
                    return tokenize_fail(tokens, count, "unterminated quote in 'args'", err, errlen);
                if (*p == '"') {
                    p++;
                    break;
                }
                char c = *p++;
                if (c == '\\' && (*p == '"' || *p == '\\'))
                    c = *p++;
                if (n >= sizeof buf - 1)
                    return tokenize_fail(tokens, count, "token too long in 'args'", err, errlen);
                buf[n++] = c;
            }
        } else {
            while (*p && !isspace((unsigned char)*p)) {
                if (n >= sizeof buf - 1)
                    return tokenize_fail(tokens, count, "token too long in 'args'", err, errlen);
                buf[n++] = *p++;
            }
        }
        buf[n] = '\0';
        char *copy = (char *)malloc(n + 1);
        if (!copy)
            return tokenize_fail(tokens, count, "out of memory", err, errlen);
        memcpy(copy, buf, n + 1);
        tokens[count++] = copy;
    }
}
