// The client certificate of an HTTPS request, packed for Windows: the
// certificate, its chain and its key from PEM files, checked to belong
// together and packed as PKCS#12 (password "wqx"), which the WinHTTP client
// imports into a temporary store. OpenSSL only; nothing here calls Windows.
#pragma once
#include <stddef.h>

// The password of the packed file; the importer uses its UTF-16 form.
#define HTTP_PFX_PASSWORD "wqx"

// A packed client certificate.
struct http_pfx {
    unsigned char *pfx;  // heap: DER of the PKCS#12 structure
    int pfx_len;         // its length in bytes
    unsigned char *cert; // heap: DER of the client certificate, to find it after the import
    int cert_len;        // its length in bytes
};

// Reads the client certificate (first in cert_file, further ones its chain)
// and its key (key_file, no password), checks that they belong together and
// packs them. Returns 0 with *out filled (free it with http_pfx_free), or -1
// with one of "cannot read the client certificate %s", "cannot read the key
// of the client certificate %s", "the client certificate %s and the key %s do
// not belong together", "cannot prepare the client certificate %s" in err.
int http_client_cert_pack(const char *cert_file, const char *key_file, http_pfx *out, char *err,
                          size_t errlen);
// Frees what http_client_cert_pack made and empties the record; safe on an
// empty one.
void http_pfx_free(http_pfx *p);
