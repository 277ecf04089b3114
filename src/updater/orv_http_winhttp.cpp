// HTTPS requests on WinHTTP. Each call is self-contained: root handle,
// connection, request, pins and client certificate live only inside it.
#include "orv_http_winhttp.h"
#include "update.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "codec.h"
#include "http_cert.h"
#include "orv_http_winhttp_seam.h"
#include "url.h"

#define HTTP_WIDE2(x) L##x
#define HTTP_WIDE(x) HTTP_WIDE2(x)

static const wchar_t kAgent[] = L"orv_updater/" HTTP_WIDE(ORV_VERSION);
static const wchar_t kAgentFallback[] = L"orv_updater";
static const wchar_t kPfxPassword[] = HTTP_WIDE(HTTP_PFX_PASSWORD);

const http_win_calls http_win_real = {
    WinHttpOpen,          WinHttpCloseHandle,      WinHttpSetTimeouts,     WinHttpSetOption,
    WinHttpConnect,       WinHttpOpenRequest,      WinHttpAddRequestHeaders,
    WinHttpSendRequest,   WinHttpReceiveResponse,  WinHttpQueryOption,     WinHttpQueryHeaders,
    WinHttpReadData,      PFXImportCertStore,      NCryptOpenStorageProvider,
    NCryptOpenKey,        NCryptDeleteKey,         NCryptFreeObject,
};
http_win_calls http_win = http_win_real;

// Everything one request holds; closed in one place whatever the outcome.
struct http_call {
    const http_opts *opts;         // the caller's options, or null
    const wchar_t *verb;           // L"GET" or L"POST"
    const void *body;              // request body, or null
    size_t body_len;               // its length
    const wchar_t *content_type;   // Content-Type value, or null for no header
    int accept_any_status;         // any final status is fine (no status test)
    http_sink_fn sink;             // receives the body
    void *user;                    // the sink's argument
    uint32_t *status;              // status out, or null
    char *err;                     // the caller's message buffer
    size_t errlen;                 // its size
    int timeout_ms;                // each phase's time-out
    uint64_t max_bytes;            // largest body
    uint32_t max_redirects;        // most redirects followed
    uint64_t range_start;          // first byte wanted, 0 for the whole body
    http_pins pins;                // pinned certificates, count 0 without pinning
    http_client_cert cc;           // the imported client certificate, or empty
    HINTERNET root;                // the WinHTTP session, kept across redirects
    HINTERNET conn;                // the current hop's connection
    HINTERNET req;                 // the current hop's request
    wchar_t *whost;                // the current hop's host (heap)
    wchar_t *wpath;                // the current hop's path and query (heap)
    char url[HTTP_URL_MAX];        // the current URL
    char host[HTTP_HOST_MAX];      // its host
    char path[HTTP_PATH_MAX];      // its path and query
    int port;                      // its port
};

// A heap UTF-16 copy of UTF-8 text, or null (GetLastError tells why).
static wchar_t *utf16(const char *s)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    wchar_t *w = (wchar_t *)malloc((size_t)n * sizeof *w);
    if (!w) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, n) != n) {
        free(w);
        return nullptr;
    }
    return w;
}

// The SHA-1 thumbprint of a DER certificate as Windows computes it, in 40
// lower-case hex digits; "?" when it cannot be computed.
static void thumbprint(const void *der, size_t len, char out[41])
{
    strcpy(out, "?");
    PCCERT_CONTEXT ctx =
        CertCreateCertificateContext(X509_ASN_ENCODING, (const BYTE *)der, (DWORD)len);
    if (!ctx)
        return;
    BYTE hash[20];
    DWORD n = sizeof hash;
    if (CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &n) && n == 20)
        hex_encode(hash, 20, out);
    CertFreeCertificateContext(ctx);
}

void http_client_cert_release(http_client_cert *pair)
{
    HCERTSTORE store = (HCERTSTORE)pair->store;
    if (store) {
        PCCERT_CONTEXT it = nullptr;
        while ((it = CertEnumCertificatesInStore(store, it)) != nullptr) {
            union {
                CRYPT_KEY_PROV_INFO info;
                BYTE bytes[2048];
            } prop;
            DWORD n = sizeof prop;
            if (!CertGetCertificateContextProperty(it, CERT_KEY_PROV_INFO_PROP_ID, &prop, &n))
                continue;
            NCRYPT_PROV_HANDLE prov = 0;
            if (http_win.open_provider(&prov, prop.info.pwszProvName, 0) != ERROR_SUCCESS)
                continue;
            NCRYPT_KEY_HANDLE key = 0;
            DWORD machine = prop.info.dwFlags & NCRYPT_MACHINE_KEY_FLAG;
            if (http_win.open_key(prov, &key, prop.info.pwszContainerName, 0, machine) ==
                ERROR_SUCCESS) {
                if (http_win.delete_key(key, NCRYPT_SILENT_FLAG) != ERROR_SUCCESS)
                    http_win.free_object(key);
            }
            http_win.free_object(prov);
        }
    }
    if (pair->cert)
        CertFreeCertificateContext((PCCERT_CONTEXT)pair->cert);
    if (store)
        CertCloseStore(store, 0);
    pair->store = nullptr;
    pair->cert = nullptr;
}

// Packs the client certificate, imports it into a temporary store (its key
// into a key storage provider, never the user's store) and finds it there.
static int client_cert_load(http_call *c)
{
    const char *cert_file = c->opts->client_cert_file;
    http_pfx pfx;
    if (http_client_cert_pack(cert_file, c->opts->client_key_file, &pfx, c->err, c->errlen) != 0)
        return -1;
    int rc = -1;
    CRYPT_DATA_BLOB blob = {(DWORD)pfx.pfx_len, pfx.pfx};
    HCERTSTORE store = http_win.pfx_import(&blob, kPfxPassword, PKCS12_ALWAYS_CNG_KSP);
    if (!store) {
        update_error(c->err, c->errlen, "Windows cannot import the client certificate %s (error %lu)",
                    cert_file, (unsigned long)GetLastError());
        goto done;
    }
    c->cc.store = store;
    for (PCCERT_CONTEXT it = nullptr; (it = CertEnumCertificatesInStore(store, it)) != nullptr;) {
        if (it->cbCertEncoded == (DWORD)pfx.cert_len &&
            memcmp(it->pbCertEncoded, pfx.cert, (size_t)pfx.cert_len) == 0) {
            c->cc.cert = CertDuplicateCertificateContext(it);
            CertFreeCertificateContext(it);
            break;
        }
    }
    if (!c->cc.cert) {
        update_error(c->err, c->errlen, "cannot prepare the client certificate %s", cert_file);
        http_client_cert_release(&c->cc);
        goto done;
    }
    rc = 0;
done:
    http_pfx_free(&pfx);
    return rc;
}

// Opens the session with its time-outs and protocols. Returns 0, or -1 with
// the message.
static int open_root(http_call *c)
{
    const char *proxy = c->opts ? c->opts->proxy : nullptr;
    wchar_t *wproxy = proxy ? utf16(proxy) : nullptr;
    if (wproxy) {
        c->root = http_win.open(kAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, wproxy,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    } else {
        c->root = http_win.open(kAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
        if (!c->root)
            c->root = http_win.open(kAgentFallback, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    }
    free(wproxy);
    if (!c->root) {
        update_error(c->err, c->errlen, "WinHTTP could not be opened (error %lu)",
                    (unsigned long)GetLastError());
        return -1;
    }
    int ms = c->timeout_ms;
    http_win.set_timeouts(c->root, ms, ms, ms, ms);
    // A system whose WinHTTP predates TLS 1.3 refuses its flag; TLS 1.2 alone
    // keeps the floor. Never run with the system's older defaults.
    DWORD protocols = HTTP_SECURE_PROTOCOLS;
    if (!http_win.set_option(c->root, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!http_win.set_option(c->root, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                 sizeof protocols)) {
            update_error(c->err, c->errlen, "WinHTTP could not be opened (error %lu)",
                        (unsigned long)GetLastError());
            return -1;
        }
    }
    return 0;
}

// Closes the current hop's request and connection and frees its texts.
static void close_hop(http_call *c)
{
    if (c->req)
        http_win.close_handle(c->req);
    if (c->conn)
        http_win.close_handle(c->conn);
    free(c->whost);
    free(c->wpath);
    c->req = c->conn = nullptr;
    c->whost = c->wpath = nullptr;
}

// Split, connect, open the request, set its options and headers. Returns 0,
// or -1 with the message.
static int open_hop(http_call *c)
{
    if (url_split_https(c->url, c->host, sizeof c->host, &c->port, c->path, sizeof c->path) != 0) {
        update_error(c->err, c->errlen, "not a valid https:// URL");
        return -1;
    }
    c->whost = utf16(c->host);
    c->wpath = c->whost ? utf16(c->path) : nullptr;
    if (c->wpath)
        c->conn = http_win.connect(c->root, c->whost, (INTERNET_PORT)c->port, 0);
    if (c->conn)
        c->req = http_win.open_request(c->conn, c->verb, c->wpath, nullptr, WINHTTP_NO_REFERER,
                                       WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    // WinHTTP must not follow redirects itself (they would pass the count and
    // the https-only rule), send cookies or answer authentication.
    DWORD disable = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS |
                    WINHTTP_DISABLE_AUTHENTICATION;
    if (!c->req ||
        !http_win.set_option(c->req, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable)) {
        update_error(c->err, c->errlen, "cannot connect to %s (error %lu)", c->host,
                    (unsigned long)GetLastError());
        return -1;
    }
    if (c->pins.count) {
        // The pin test after the handshake takes the place of the chain,
        // name and date checks.
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                      SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
        http_win.set_option(c->req, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
    }
    if (c->cc.cert)
        http_win.set_option(c->req, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, (void *)c->cc.cert,
                            sizeof(CERT_CONTEXT));
    http_win.add_headers(c->req, L"Accept-Encoding: identity", (DWORD)-1, WINHTTP_ADDREQ_FLAG_ADD);
    if (c->range_start > 0) {
        wchar_t range[64];
        char text[64];
        snprintf(text, sizeof text, "Range: bytes=%llu-", (unsigned long long)c->range_start);
        for (size_t i = 0; i < sizeof text; i++)
            if ((range[i] = (wchar_t)(unsigned char)text[i]) == 0)
                break;
        http_win.add_headers(c->req, range, (DWORD)-1, WINHTTP_ADDREQ_FLAG_ADD);
    }
    if (c->content_type) {
        static const wchar_t kName[] = L"Content-Type: ";
        size_t n = wcslen(c->content_type);
        wchar_t *h = (wchar_t *)malloc((n + 1) * sizeof(wchar_t) + sizeof kName);
        if (!h) {
            update_error(c->err, c->errlen, "cannot connect to %s (error %lu)", c->host,
                        (unsigned long)ERROR_NOT_ENOUGH_MEMORY);
            return -1;
        }
        wcscpy(h, kName);
        wcscat(h, c->content_type);
        http_win.add_headers(c->req, h, (DWORD)-1, WINHTTP_ADDREQ_FLAG_ADD);
        free(h);
    }
    return 0;
}

// Sends the request and reads the response headers. Returns TRUE, or FALSE
// with the WinHTTP error in *error.
static BOOL exchange(http_call *c, DWORD *error)
{
    void *body = c->body_len ? (void *)c->body : WINHTTP_NO_REQUEST_DATA;
    BOOL ok = http_win.send_request(c->req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body,
                                    (DWORD)c->body_len, (DWORD)c->body_len, 0) &&
              http_win.receive_response(c->req, nullptr);
    *error = ok ? 0 : GetLastError();
    return ok;
}

// Compares the server's certificate with the pins. Returns 0, or -1 with the message.
static int pin_test(http_call *c)
{
    static const char kNotPinned[] = "the certificate of %s is not the pinned one%s";
    char detail[HTTP_PIN_DETAIL];
    PCCERT_CONTEXT server = nullptr;
    DWORD n = sizeof server;
    if (!http_win.query_option(c->req, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &server, &n) || !server) {
        snprintf(detail, sizeof detail,
                 " (the certificate of the connection could not be read, error %lu)",
                 (unsigned long)GetLastError());
        update_error(c->err, c->errlen, kNotPinned, c->host, detail);
        return -1;
    }
    int rc = 0;
    if (!http_pins_match(&c->pins, server->pbCertEncoded, server->cbCertEncoded)) {
        char got[41], want[41];
        thumbprint(server->pbCertEncoded, server->cbCertEncoded, got);
        thumbprint(c->pins.list[0].der, c->pins.list[0].len, want);
        http_pin_detail(detail, got, want, c->pins.count);
        update_error(c->err, c->errlen, kNotPinned, c->host, detail);
        rc = -1;
    }
    CertFreeCertificateContext(server);
    return rc;
}

// Reads the Location of the current response and resolves it against the
// current URL into target. Returns 0, or -1 when there is no usable target.
static int redirect_target(http_call *c, char target[HTTP_URL_MAX])
{
    wchar_t location[HTTP_URL_MAX];
    char utf8[HTTP_URL_MAX];
    DWORD n = sizeof location;
    if (!http_win.query_headers(c->req, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                                location, &n, WINHTTP_NO_HEADER_INDEX))
        return -1;
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, location, -1, utf8, sizeof utf8,
                            nullptr, nullptr) <= 0)
        return -1;
    return url_resolve(c->url, utf8, target, HTTP_URL_MAX);
}

// The Content-Length of the current response: 1 with *len, 0 when there is
// none (or it is no number WinHTTP could frame the body by).
static int content_length(http_call *c, uint64_t *len)
{
    wchar_t w[32];
    char text[32];
    DWORD n = sizeof w;
    if (!http_win.query_headers(c->req, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                                w, &n, WINHTTP_NO_HEADER_INDEX))
        return 0;
    size_t i = 0;
    for (; i + 1 < sizeof text && w[i]; i++)
        text[i] = w[i] < 0x80 ? (char)w[i] : '?';
    text[i] = '\0';
    return http_parse_content_length(text, len) == 0;
}

// Streams the body to the sink within the size cap. Returns 0, HTTP_TOO_LARGE
// past the cap, or -1 with the message.
static int read_body(http_call *c)
{
    static const char kTooLarge[] = "response is larger than the allowed %lu bytes";
    unsigned long cap32 = (unsigned long)(uint32_t)c->max_bytes;
    uint64_t announced = 0;
    int has_length = content_length(c, &announced);
    if (has_length && announced > c->max_bytes) {
        update_error(c->err, c->errlen, kTooLarge, cap32);
        return HTTP_TOO_LARGE;
    }
    char buf[HTTP_PIECE];
    uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!http_win.read_data(c->req, buf, sizeof buf, &got)) {
            update_error(c->err, c->errlen, "download failed (error %lu)",
                        (unsigned long)GetLastError());
            return -1;
        }
        if (got == 0)
            break;
        total += got;
        if (total > c->max_bytes) {
            update_error(c->err, c->errlen, kTooLarge, cap32);
            return HTTP_TOO_LARGE;
        }
        if (c->sink && c->sink(buf, got, c->user) != 0) {
            update_error(c->err, c->errlen, "download aborted");
            return -1;
        }
    }
    if (has_length && total != announced) {
        update_error(c->err, c->errlen, "download truncated");
        return -1;
    }
    return 0;
}

// The hops: each one split, connect, open, options, headers, send and
// receive (with the one retry), pin test, status, then redirect or status
// test, size test and body. Returns 0, or (as the body does)
// HTTP_TOO_LARGE or -1 with the message.
static int run_hops(http_call *c)
{
    uint32_t redirects = 0;
    int is_get = wcscmp(c->verb, L"GET") == 0;
    for (;;) {
        if (open_hop(c) != 0)
            return -1;
        DWORD error;
        BOOL ok = exchange(c, &error);
        if (!ok && http_retry_without_cert(error, c->cc.cert != nullptr)) {
            // The server asked for a certificate it may do without: say there is none.
            http_win.set_option(c->req, WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                WINHTTP_NO_CLIENT_CERT_CONTEXT, 0);
            ok = exchange(c, &error);
        }
        if (!ok) {
            http_request_failure(c->err, c->errlen, c->host, error);
            return -1;
        }
        if (c->pins.count && pin_test(c) != 0)
            return -1;
        DWORD st = 0, n = sizeof st;
        if (!http_win.query_headers(c->req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &st, &n, WINHTTP_NO_HEADER_INDEX))
            st = 0;
        if (c->status)
            *c->status = st;
        switch (http_after_status(is_get, st, c->range_start, c->accept_any_status)) {
        case HTTP_NEXT_REDIRECT: {
            char target[HTTP_URL_MAX];
            if (redirect_target(c, target) != 0) {
                update_error(c->err, c->errlen, "redirect to a non-https or invalid address refused");
                return -1;
            }
            close_hop(c);
            memcpy(c->url, target, sizeof c->url);
            if (++redirects > c->max_redirects) {
                update_error(c->err, c->errlen, "too many redirects");
                return -1;
            }
            continue;
        }
        case HTTP_NEXT_BAD_STATUS:
            update_error(c->err, c->errlen, "HTTP status %lu", (unsigned long)st);
            return -1;
        default:
            return read_body(c);
        }
    }
}

int http_request(const char *url, const http_opts *opts, const wchar_t *verb, const void *body,
                 size_t body_len, const wchar_t *content_type, int accept_any_status,
                 http_sink_fn sink, void *user, uint32_t *status, char *err, size_t errlen)
{
    http_call *c = (http_call *)calloc(1, sizeof *c);
    if (!c) {
        update_error(err, errlen, "out of memory");
        return -1;
    }
    c->opts = opts;
    c->verb = verb;
    c->body = body;
    c->body_len = body_len;
    c->content_type = content_type;
    c->accept_any_status = accept_any_status;
    c->sink = sink;
    c->user = user;
    c->status = status;
    c->err = err;
    c->errlen = errlen;
    c->timeout_ms = http_timeout_ms(opts ? opts->timeout_s : 0);
    c->max_bytes = opts && opts->max_bytes ? opts->max_bytes : (uint64_t)HTTP_MAX_BYTES;
    c->max_redirects = opts && opts->max_redirects ? opts->max_redirects : (uint32_t)HTTP_MAX_REDIRECTS;
    c->range_start = opts ? opts->range_start : 0;
    int rc = -1;
    // A URL too long for the buffer is refused: a cut one names another resource.
    if (!url || strlen(url) >= sizeof c->url) {
        update_error(err, errlen, "not a valid https:// URL");
        goto done;
    }
    strcpy(c->url, url);
    if (opts && opts->pin_file && http_pins_load(opts->pin_file, &c->pins, err, errlen) != 0)
        goto done;
    if (opts && opts->client_cert_file && opts->client_key_file && client_cert_load(c) != 0)
        goto done;
    if (open_root(c) != 0)
        goto done;
    rc = run_hops(c);
done:
    close_hop(c);
    if (c->root)
        http_win.close_handle(c->root);
    http_client_cert_release(&c->cc);
    http_pins_free(&c->pins);
    free(c);
    return rc;
}

int http_get(const char *url, const http_opts *opts, http_sink_fn sink, void *user,
             uint32_t *status, char *err, size_t errlen)
{
    return http_request(url, opts, L"GET", nullptr, 0, nullptr, 0, sink, user, status, err, errlen);
}

// Hands over the sink's text, or "" for an empty body. Returns 0, or -1 with
// "out of memory" (the sink's buffer freed).
static int memory_result(memory_sink *m, char **out, size_t *len, char *err, size_t errlen)
{
    if (!m->data && (m->data = (char *)calloc(1, 1)) == nullptr) {
        update_error(err, errlen, "out of memory");
        return -1;
    }
    *out = m->data;
    if (len)
        *len = m->len;
    m->data = nullptr;
    return 0;
}

int http_get_memory(const char *url, const http_opts *opts, char **body, size_t *len,
                    uint32_t *status, char *err, size_t errlen)
{
    memory_sink m = {};
    m.max = (size_t)(opts && opts->max_bytes ? opts->max_bytes : (uint64_t)HTTP_MAX_BYTES);
    *body = nullptr;
    if (len)
        *len = 0;
    int rc = http_get(url, opts, url_sink_memory, &m, status, err, errlen);
    if (rc == 0)
        rc = memory_result(&m, body, len, err, errlen);
    free(m.data);
    return rc;
}

int http_post_json(const char *url, const http_opts *opts, const char *body, size_t body_len,
                   char **response, size_t *len, uint32_t *status, char *err, size_t errlen)
{
    memory_sink m = {};
    uint32_t st = 0;
    *response = nullptr;
    if (len)
        *len = 0;
    int rc = http_request(url, opts, L"POST", body, body_len, L"application/json", 1,
                          http_sink_memory, &m, &st, err, errlen);
    if (status)
        *status = st;
    if (rc == 0)
        rc = memory_result(&m, response, len, err, errlen);
    free(m.data);
    return rc;
}
