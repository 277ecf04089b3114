// https:// URLs: split and resolve. Pure text work, no allocation.
#include "url.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

static const char kScheme[] = "https://";
static const size_t kSchemeLen = sizeof kScheme - 1;

// 1 when the byte may stand in a host: ASCII letters, digits, "-", ".", ":"
// (IPv6) and "_". Anything else, "%" and non-ASCII bytes included, is refused
// so no escaped or look-alike host reaches the resolver.
static int url_host_byte_ok(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == ':' || c == '_';
}

// Reads a port from the n bytes at s: decimal digits only (no sign, no blank,
// nothing after them), value 1 to 65535. Returns the port, or -1. A long run
// of leading zeros is fine; the value is capped while reading so it cannot
// wrap the way strtoul wraps "-4294901761" into range.
static int url_parse_port(const char *s, size_t n)
{
    if (n == 0)
        return -1;
    long v = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9')
            return -1;
        v = v * 10 + (s[i] - '0');
        if (v > 65535)
            return -1;
    }
    return v >= 1 ? (int)v : -1;
}

// Length of the authority that starts at s: up to the first NUL, "#", "/" or "?".
static size_t url_authority_len(const char *s)
{
    return strcspn(s, "#/?");
}

// Formats "%.*s%s%s" of (n bytes of a, b, c) into out: 0, or -1 when the
// result does not fit (a cut URL would name a different resource).
static int url_join(char *out, size_t out_size, const char *a, size_t n, const char *b,
                    const char *c)
{
    if (n > INT_MAX)
        return -1;
    int len = snprintf(out, out_size, "%.*s%s%s", (int)n, a, b, c);
    return len >= 0 && (size_t)len < out_size ? 0 : -1;
}

int url_split_https(const char *url, char *host, size_t host_size, int *port, char *path,
                    size_t path_size)
{
    if (!url || !host || !port || !path || strncmp(url, kScheme, kSchemeLen) != 0)
        return -1;
    const char *auth = url + kSchemeLen;
    size_t auth_len = url_authority_len(auth);
    if (auth_len == 0 || memchr(auth, '@', auth_len))
        return -1;

    const char *h;     // first byte of the host
    size_t h_len;      // its length
    int p = 443;       // the port
    if (auth[0] == '[') {
        const char *close = (const char *)memchr(auth, ']', auth_len);
        if (!close)
            return -1;
        h = auth + 1;
        h_len = (size_t)(close - h);
        size_t after = (size_t)(close - auth) + 1; // offset behind "]"
        if (after < auth_len) {
            // Same rules as the plain form: a bracketed host must not smuggle
            // in a port the plain form would refuse.
            if (auth[after] != ':')
                return -1;
            p = url_parse_port(auth + after + 1, auth_len - after - 1);
        }
    } else {
        const char *colon = (const char *)memchr(auth, ':', auth_len);
        h = auth;
        h_len = colon ? (size_t)(colon - auth) : auth_len;
        if (colon)
            p = url_parse_port(colon + 1, auth_len - h_len - 1);
    }
    if (h_len == 0 || p < 0 || h_len >= host_size)
        return -1;
    for (size_t i = 0; i < h_len; i++)
        if (!url_host_byte_ok((unsigned char)h[i]))
            return -1;
    memcpy(host, h, h_len);
    host[h_len] = '\0';
    *port = p;

    const char *rest = auth + auth_len;
    if (*rest == '\0') {
        if (path_size < 2)
            return -1;
        memcpy(path, "/", 2);
        return 0;
    }
    size_t len = strcspn(rest, "#");
    if (len == 0 || len >= path_size)
        return -1;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)rest[i];
        if (c <= 0x20 || c == 0x7F)
            return -1;
    }
    if (rest[0] == '/') {
        memcpy(path, rest, len);
        path[len] = '\0';
        return 0;
    }
    // A query straight after the authority: the request path is "/" and it.
    if (len + 1 >= path_size)
        return -1;
    path[0] = '/';
    memcpy(path + 1, rest, len);
    path[len + 1] = '\0';
    return 0;
}

int url_resolve_relative(const char *base, const char *ref, char *out, size_t out_size)
{
    if (!base || !ref || !out)
        return -1;
    if (strncmp(ref, kScheme, kSchemeLen) == 0)
        return url_join(out, out_size, ref, strlen(ref), "", "");
    // Any other scheme (also "HTTPS://"), an absolute path and a
    // protocol-relative "//host" would leave the document's server or scheme.
    if (strstr(ref, "://") || ref[0] == '/')
        return -1;
    size_t n = strcspn(base, "?#");
    if (n < kSchemeLen + 1)
        return url_join(out, out_size, base, n, "/", ref);
    // The directory of the base: up to its last "/" after the scheme.
    for (size_t i = n; i-- > kSchemeLen;)
        if (base[i] == '/')
            return url_join(out, out_size, base, i + 1, "", ref);
    return url_join(out, out_size, base, n, "/", ref);
}

int url_resolve(const char *base, const char *target, char *out, size_t out_size)
{
    if (!base || !target || !out)
        return -1;
    if (target[0] == '/' && target[1] != '/') {
        if (strncmp(base, kScheme, kSchemeLen) != 0)
            return -1;
        size_t n = kSchemeLen + url_authority_len(base + kSchemeLen);
        return url_join(out, out_size, base, n, target, "");
    }
    return url_resolve_relative(base, target, out, out_size);
}
