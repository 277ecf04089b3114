// The HTTPS client's pure parts: memory sinks, pins, reasons and decisions.
#include "http.h"
#include "update.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "codec.h"

// ---- memory sinks ------------------------------------------------------------

// Makes room for len more bytes and a NUL in m, starting at first bytes and
// doubling. Returns 0, or -1 when the size would overflow or memory runs out.
static int sink_grow(memory_sink *m, size_t len, size_t first)
{
    if (len > SIZE_MAX - 1 - m->len)
        return -1;
    size_t need = m->len + len + 1;
    if (m->data && need <= m->cap)
        return 0;
    size_t cap = m->cap ? m->cap : first;
    while (cap < need) {
        if (cap > SIZE_MAX / 2)
            return -1;
        cap *= 2;
    }
    char *p = (char *)realloc(m->data, cap);
    if (!p)
        return -1;
    m->data = p;
    m->cap = cap;
    return 0;
}

// Appends len bytes and keeps the NUL after them.
static void sink_append(memory_sink *m, const void *data, size_t len)
{
    memcpy(m->data + m->len, data, len);
    m->len += len;
    m->data[m->len] = '\0';
}

int url_sink_memory(const void *data, size_t len, void *user)
{
    memory_sink *m = (memory_sink *)user;
    if (len > m->max || m->len > m->max - len)
        return 1;
    if (sink_grow(m, len, 4096) != 0)
        return 1;
    sink_append(m, data, len);
    return 0;
}

int http_sink_memory(const void *data, size_t len, void *user)
{
    memory_sink *m = (memory_sink *)user;
    if (sink_grow(m, len, 8192) != 0)
        return -1;
    sink_append(m, data, len);
    return 0;
}

// ---- pins ----------------------------------------------------------------------

static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
static const char kEnd[] = "-----END CERTIFICATE-----";

// First occurrence of the NUL-terminated needle in the n bytes at hay (which
// may hold NULs), or null.
static const char *find_bytes(const char *hay, size_t n, const char *needle)
{
    size_t k = strlen(needle);
    for (size_t i = 0; k <= n && i <= n - k; i++)
        if (memcmp(hay + i, needle, k) == 0)
            return hay + i;
    return nullptr;
}

// Decodes one block of base64 text (n bytes) and appends it to pins. Returns
// 1 when a pin was added, 0 when the block is skipped, -1 without memory.
static int pin_add_block(const char *b64, size_t n, http_pins *pins)
{
    char *text = (char *)malloc(n + 1);
    uint8_t *der = (uint8_t *)malloc(n / 4 * 3 + 3);
    http_pin *list = nullptr;
    size_t len = 0;
    int rc = -1;
    if (!text || !der)
        goto done;
    memcpy(text, b64, n);
    text[n] = '\0';
    // An embedded NUL ends the block early; what is left must still decode.
    if (b64_decode(text, der, n / 4 * 3 + 3, &len) != 0 || len == 0) {
        rc = 0;
        goto done;
    }
    list = (http_pin *)realloc(pins->list, (pins->count + 1) * sizeof *list);
    if (!list)
        goto done;
    pins->list = list;
    pins->list[pins->count].der = der;
    pins->list[pins->count].len = len;
    pins->count++;
    der = nullptr;
    rc = 1;
done:
    free(text);
    free(der);
    return rc;
}

int http_pins_parse(const char *text, size_t n, http_pins *pins)
{
    int added = 0;
    const char *p = text, *end = text + n;
    for (;;) {
        const char *b = find_bytes(p, (size_t)(end - p), kBegin);
        if (!b)
            break;
        b += sizeof kBegin - 1;
        const char *e = find_bytes(b, (size_t)(end - b), kEnd);
        if (!e)
            break;
        int r = pin_add_block(b, (size_t)(e - b), pins);
        if (r < 0)
            return -1;
        added += r;
        p = e + sizeof kEnd - 1;
    }
    return added;
}

int http_pins_load(const char *path, http_pins *pins, char *err, size_t errlen)
{
    FILE *f = fopen(path, "rb");
    char *text = nullptr;
    long size = -1;
    int rc = -1;
    if (!f)
        goto done;
    if (fseek(f, 0, SEEK_END) != 0 || (size = ftell(f)) < 1 || size > HTTP_PIN_FILE_MAX ||
        fseek(f, 0, SEEK_SET) != 0)
        goto done;
    text = (char *)malloc((size_t)size);
    if (!text || fread(text, 1, (size_t)size, f) != (size_t)size)
        goto done;
    if (http_pins_parse(text, (size_t)size, pins) > 0)
        rc = 0;
done:
    if (rc != 0) {
        http_pins_free(pins);
        update_error(err, errlen, "cannot read a certificate from %s", path);
    }
    free(text);
    if (f)
        fclose(f);
    return rc;
}

void http_pins_free(http_pins *pins)
{
    for (size_t i = 0; i < pins->count; i++)
        free(pins->list[i].der);
    free(pins->list);
    pins->list = nullptr;
    pins->count = 0;
}

int http_pins_match(const http_pins *pins, const void *der, size_t len)
{
    for (size_t i = 0; i < pins->count; i++)
        if (pins->list[i].len == len && memcmp(pins->list[i].der, der, len) == 0)
            return 1;
    return 0;
}

void http_pin_detail(char out[HTTP_PIN_DETAIL], const char *server_thumb, const char *pin_thumb,
                     size_t pin_count)
{
    snprintf(out, HTTP_PIN_DETAIL,
             " (the server presented SHA-1 thumbprint %s, the pinned certificate has %s%s; a newer "
             "test site or a program that inspects TLS traffic can cause this)",
             server_thumb, pin_thumb, pin_count > 1 ? " and others" : "");
}

// ---- reasons and decisions -----------------------------------------------------

const char *http_reason(unsigned long error)
{
    static const struct {
        unsigned long error;
        const char *reason;
    } reasons[] = {
        {12002, "timeout"},
        {12007, "the host name cannot be resolved"},
        {12029, "cannot connect"},
        {12038, "the certificate does not match the host name"},
        {12044, "the server asks for a client certificate"},
        {12045, "the server certificate is not trusted"},
        {12175, "TLS/certificate problem"},
        {12186, "the client certificate has no usable private key"},
    };
    for (const auto &r : reasons)
        if (r.error == error)
            return r.reason;
    return "";
}

void http_request_failure(char *err, size_t errlen, const char *host, unsigned long error)
{
    update_error(err, errlen, "request to %s failed (WinHTTP error %lu) %s", host,
                (unsigned long)(uint32_t)error, http_reason(error));
}

int http_retry_without_cert(unsigned long error, int client_cert_configured)
{
    return error == HTTP_ERR_CLIENT_CERT_NEEDED && !client_cert_configured;
}

int http_after_status(int is_get, unsigned long status, uint64_t range_start,
                      int accept_any_status)
{
    if (is_get && (status == 301 || status == 302 || status == 303 || status == 307 ||
                   status == 308))
        return HTTP_NEXT_REDIRECT;
    if (accept_any_status)
        return HTTP_NEXT_BODY;
    return status == (range_start > 0 ? 206ul : 200ul) ? HTTP_NEXT_BODY : HTTP_NEXT_BAD_STATUS;
}

int http_parse_content_length(const char *text, uint64_t *out)
{
    uint64_t v = 0;
    if (!text || !*text)
        return -1;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        unsigned d = (unsigned)(*p - '0');
        if (v > (UINT64_MAX - d) / 10)
            return -1;
        v = v * 10 + d;
    }
    *out = v;
    return 0;
}

int http_timeout_ms(int32_t timeout_s)
{
    if (timeout_s <= 0)
        return HTTP_TIMEOUT_S * 1000;
    int64_t ms = (int64_t)timeout_s * 1000;
    return ms > INT32_MAX ? INT32_MAX : (int)ms;
}
