// HTTPS requests on WinHTTP: HTTPS only, TLS 1.2 or 1.3, optional pins,
// proxy and client certificate, redirects followed by hand (GET only, https
// only, a bounded number), byte-range resume, a cap on the body and English
// failure sentences. No Windows header is needed to call it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "http.h"

// The client certificate of a running request: the temporary store of the
// import and the certificate found in it.
struct http_client_cert {
    void *store;      // HCERTSTORE of the import, or null
    const void *cert; // PCCERT_CONTEXT in that store (a duplicate), or null
};

// One request to url (UTF-8, "https://" only) with verb (L"GET" or L"POST"),
// an optional body and content type (UTF-16, null for no header). The body
// goes to sink in pieces of at most HTTP_PIECE bytes; what the sink received
// before a later failure stays received. *status (when not null) gets the
// status of every response read (0 when its status line cannot be read).
// Without accept_any_status the final status must be 200, or 206 when
// opts->range_start is set. Returns 0, HTTP_TOO_LARGE with its sentence when
// the body is (or is announced) longer than the cap, or -1 with one sentence
// in err.
int http_request(const char *url, const http_opts *opts, const wchar_t *verb, const void *body,
                 size_t body_len, const wchar_t *content_type, int accept_any_status,
                 http_sink_fn sink, void *user, uint32_t *status, char *err, size_t errlen);
// GET of url into sink (status 200 expected, 206 with a range).
int http_get(const char *url, const http_opts *opts, http_sink_fn sink, void *user,
             uint32_t *status, char *err, size_t errlen);
// GET of url into a heap text (NUL-terminated, the caller frees it; an empty
// body gives ""), at most opts->max_bytes (64 MiB by default). Returns 0 with
// *body and *len (len may be null), or HTTP_TOO_LARGE or -1 with *body null.
int http_get_memory(const char *url, const http_opts *opts, char **body, size_t *len,
                    uint32_t *status, char *err, size_t errlen);
// POST of a JSON body to url; any status is accepted and redirects are not
// followed. Returns 0 with the response as a heap text (at least ""; the
// caller frees it), or -1 with *response null. *status (may be null) gets
// the last status, 0 when no response arrived, also after a failure.
int http_post_json(const char *url, const http_opts *opts, const char *body, size_t body_len,
                   char **response, size_t *len, uint32_t *status, char *err, size_t errlen);
// Deletes the persisted keys of every certificate in the pair's store, frees
// the certificate and closes the store, and clears the pair; safe on an
// empty pair.
void http_client_cert_release(http_client_cert *pair);
