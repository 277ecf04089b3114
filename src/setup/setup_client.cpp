// The plain text work of the client connection: address and directory
// checks, the name of a further certificate file and the summary of the
// restore program's answer.
#include "setup_client.h"

#include <ctype.h>
#include <string.h>

static int alnum(char c) { return isalnum((unsigned char)c) != 0; }

int client_server_ok(const char *server)
{
    const char *colon = strrchr(server, ':');
    if (!colon || colon == server || !colon[1])
        return 0;
    for (const char *p = colon + 1; *p; p++)
        if (*p < '0' || *p > '9')
            return 0;
    for (const char *p = server; p < colon; p++)
        if (!alnum(*p) && !strchr("-.:[]_", *p))
            return 0;
    return 1;
}

int client_dir_ok(const char *dir)
{
    size_t n = strlen(dir);
    if (n == 0 || n > 63)
        return 0;
    for (const char *p = dir; *p; p++)
        if (!alnum(*p) && *p != '_' && *p != '-' && *p != '.')
            return 0;
    return 1;
}

char *client_cert_host(const char *server, char *out, size_t size)
{
    if (size == 0)
        return out;
    char host[CLIENT_HOST_MAX + 1];
    size_t n = strlen(server);
    if (n > CLIENT_HOST_MAX)
        n = CLIENT_HOST_MAX;
    memcpy(host, server, n);
    host[n] = '\0';
    char *colon = strrchr(host, ':');
    if (colon)
        *colon = '\0';
    size_t i = 0;
    for (const char *p = host; *p && i + 1 < size; p++)
        out[i++] = alnum(*p) || *p == '-' || *p == '.' ? *p : '_';
    out[i] = '\0';
    return out;
}

void client_trim_key(char *key)
{
    size_t n = strlen(key);
    while (n > 0 && strchr(" \t\r\n\v\f", key[n - 1]))
        key[--n] = '\0';
}

// The part of a line [p, p + len) that counts: a log line's message after
// its level, or the whole line. *start and the length it returns.
static size_t line_gist(const char *p, size_t len, const char **start)
{
    *start = p;
    const char *close = len > 21 ? (const char *)memchr(p, ']', len) : nullptr;
    if (!close || p[4] != '-' || p[10] != 'T' || p[19] != 'Z' || p[20] != ' ' || p[21] != '[')
        return len;
    const char *end = p + len, *q = close + 1;
    while (q < end && *q == ' ')
        q++;
    while (q < end && *q >= 'A' && *q <= 'Z')
        q++;
    while (q < end && *q == ' ')
        q++;
    *start = q;
    return (size_t)(end - q);
}

void client_summary(const char *output, char *out, size_t size)
{
    if (size == 0)
        return;
    out[0] = '\0';
    size_t used = 0;
    for (const char *p = output; *p && used + 1 < size;) {
        size_t len = strcspn(p, "\r\n");
        const char *gist;
        size_t glen = line_gist(p, len, &gist);
        if (glen > 0) {
            const char *sep = used ? "; " : "";
            for (const char *s = sep; *s && used + 1 < size; s++)
                out[used++] = *s;
            for (size_t k = 0; k < glen && used + 1 < size; k++)
                out[used++] = gist[k];
            out[used] = '\0';
        }
        p += len;
        p += strspn(p, "\r\n");
    }
}
