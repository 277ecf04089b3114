// The HTTPS client's records and its pure parts: request options, body sinks,
// the memory sinks, pinned certificates, the WinHTTP reason table and the
// decisions a request makes on a response. The requests themselves run on
// WinHTTP (orv_http_winhttp.h); nothing here calls Windows.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "orv_attr.h"

enum {
    HTTP_TIMEOUT_S = 30,                  // time-out of each phase when the options give none
    HTTP_MAX_BYTES = 67108864,            // largest body when the options give none (64 MiB)
    HTTP_MAX_REDIRECTS = 3,               // most redirects when the options give none
    HTTP_PIECE = 16384,                   // the read buffer, and the largest piece a sink gets
    HTTP_URL_MAX = 2100,                  // the current URL, a Location and its resolved form
    HTTP_HOST_MAX = 256,                  // host of one hop, NUL included
    HTTP_PATH_MAX = 2048,                 // path and query of one hop, NUL included
    HTTP_PIN_FILE_MAX = 1048576,          // largest pin file
    HTTP_PIN_DETAIL = 400,                // the parenthesised detail of a pin failure, NUL included
    HTTP_SECURE_PROTOCOLS = 0x2800,       // TLS 1.2 | TLS 1.3, nothing older
    HTTP_ERR_CLIENT_CERT_NEEDED = 12044,  // WinHTTP: the server asks for a client certificate
    HTTP_TOO_LARGE = -2                   // a request's result: the body passed max_bytes
};

// Options of one request; 0 or null in a field (or a null record) means the
// default named beside it.
struct http_opts {
    const char *pin_file;         // PEM file of pinned server certificates; null: normal checks
    const char *proxy;            // UTF-8 named proxy for WinHTTP; null: the system's settings
    int32_t timeout_s;            // seconds for each of resolve, connect, send, receive; 30
    uint64_t max_bytes;           // largest response body; 64 MiB
    uint32_t max_redirects;       // most redirects followed; 3
    uint64_t range_start;         // first byte wanted (Range header, 206 expected); whole body
    const char *user_agent;       // informational only: the client sends its own fixed agent
    const char *client_cert_file; // PEM: the client certificate, then its chain; none
    const char *client_key_file;  // PEM: the key of that certificate; none
};

// Receives one non-empty piece of the body (at most HTTP_PIECE bytes), in
// order; 0 continues, anything else ends the request with "download aborted".
typedef int (*http_sink_fn)(const void *data, size_t len, void *user);

// A growing heap buffer for a body, always NUL-terminated once it holds data.
struct memory_sink {
    char *data; // heap (malloc); the owner frees it; null until the first piece
    size_t len; // bytes received, the NUL not counted
    size_t cap; // bytes allocated
    size_t max; // url_sink_memory: most bytes accepted (http_sink_memory ignores it)
};

// Appends a piece to the memory_sink at user. Returns 1 (refused) when it
// would take len above max or the buffer cannot grow; grows to 4096 bytes
// first, then doubles.
int url_sink_memory(const void *data, size_t len, void *user);
// Appends a piece to the memory_sink at user, without a maximum. Returns -1
// when the buffer cannot grow; grows to 8192 bytes first, then doubles.
int http_sink_memory(const void *data, size_t len, void *user);

// The pinned certificates of one request: DER encodings read from a PEM file.
struct http_pin {
    uint8_t *der; // heap bytes of the encoding
    size_t len;   // their number (at least 1)
};
struct http_pins {
    http_pin *list; // heap array of count pins, in file order
    size_t count;   // pins held
};

// Reads every "-----BEGIN CERTIFICATE-----" block of the n bytes at text into
// pins (appending); a block that does not decode, or decodes to nothing, is
// skipped, a BEGIN without END ends the search. Returns the number of pins
// added, or -1 when memory runs out. The caller frees pins with http_pins_free.
int http_pins_parse(const char *text, size_t n, http_pins *pins);
// Loads the pin file path (1 to HTTP_PIN_FILE_MAX bytes) into pins. Returns 0,
// or -1 with "cannot read a certificate from %s" in err when the file cannot
// be read, has a size out of range or holds no certificate.
int http_pins_load(const char *path, http_pins *pins, char *err, size_t errlen);
// Frees the pins and empties the record; safe on an empty one.
void http_pins_free(http_pins *pins);
// 1 when der (len bytes) equals one of the pins in length and bytes, else 0.
int http_pins_match(const http_pins *pins, const void *der, size_t len);
// " (the server presented SHA-1 thumbprint ..., the pinned certificate has
// ...; ...)" for two thumbprint texts ("?" when unknown), " and others" after
// the pin's when more than one pin is held; cut to fit HTTP_PIN_DETAIL bytes.
void http_pin_detail(char out[HTTP_PIN_DETAIL], const char *server_thumb, const char *pin_thumb,
                     size_t pin_count);

// The reason appended to a failed send or receive for a WinHTTP error: a
// sentence for the errors the client names, "" for any other.
const char *http_reason(unsigned long error);
// "request to %s failed (WinHTTP error %lu) " and the reason, cut to errlen.
void http_request_failure(char *err, size_t errlen, const char *host, unsigned long error);
// 1 when a failed send or receive is tried once more without a client
// certificate: the server asked for one (12044) and none is configured.
int http_retry_without_cert(unsigned long error, int client_cert_configured);

// What a hop does with a response status.
enum { HTTP_NEXT_BODY = 0, HTTP_NEXT_REDIRECT = 1, HTTP_NEXT_BAD_STATUS = 2 };
// The next step for status: a redirect (301, 302, 303, 307, 308) is followed
// only for GET; otherwise the status must be 200, or 206 when a range was
// asked for, unless accept_any_status.
int http_after_status(int is_get, unsigned long status, uint64_t range_start,
                      int accept_any_status);
// Reads a Content-Length header value: decimal digits only, 64 bits wide.
// Returns 0 with *out set, or -1 for an empty, non-numeric or too large value.
int http_parse_content_length(const char *text, uint64_t *out);
// The time-out of each phase in milliseconds for timeout_s: 30000 for 0 or a
// negative value (WinHTTP would read a negative one as "wait for ever"), and
// at most INT32_MAX.
int http_timeout_ms(int32_t timeout_s);
