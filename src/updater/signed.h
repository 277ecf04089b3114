// Signed documents of the update server: the component catalog and the update
// manifest, each with a detached base64 Ed25519 signature in "<document>.sig"
// over a fixed header line followed by the document exactly as served. The
// header binds a signature to its kind of document, so a manifest signature
// never passes for a catalog and the reverse. Nothing of a document may be
// parsed before signed_fetch (or a *_verify routine) has accepted it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "http.h"
#include "updconf.h"

// The header lines signed in front of each kind of document (no NUL signed).
#define SIGNED_CATALOG_HEADER "orv-update-catalog-v1\n"
#define SIGNED_MANIFEST_HEADER "orv-update-manifest-v1\n"

enum {
    SIGNED_DOC_MAX = 1048576,  // largest document fetched (1 MiB)
    SIGNED_SIG_MAX = 4096,     // largest signature file fetched
    SIGNED_REASON_MAX = 300,   // buffer of the HTTPS client's reason, NUL included
    SIGNED_URL_MAX = 1100      // the document URL buffer of the loads
};

// Fetches "<url without every trailing '/'>/<channel>/<name>" and its ".sig"
// over HTTPS with the settings of cfg, and verifies the signature with the
// trusted keys over the catalog header (is_catalog set) or the manifest
// header followed by the served bytes. The document URL goes to url_out (its
// length must stay below url_size); it is the base of relative package URLs.
// Returns 0 with *body a heap text (NUL-terminated, *len without the NUL) that
// the caller frees; or -1 with *body null and a sentence in err. Writes
// nothing to disk.
int signed_fetch(const updater_config *cfg, const char *name, int is_catalog, char **body,
                 size_t *len, char *url_out, size_t url_size, char *err, size_t errlen);

// Verifies sig over header + the len bytes of doc with each trusted key of cfg
// in order. Returns the index of the first key that accepts, or -1 when none
// does (also with no key, or when memory runs out).
int sig_verify_any_key(const char *header, const updater_config *cfg, const void *doc,
                       size_t len, const uint8_t sig[64]);
// Signs SIGNED_CATALOG_HEADER + doc with the 32-byte private key (seed) into
// sig: the publisher's side of the scheme. 0, or -1 (out of memory, library).
int catalog_sign(const uint8_t priv[32], const void *doc, size_t len, uint8_t sig[64]);
// As catalog_sign with SIGNED_MANIFEST_HEADER.
int manifest_sign(const uint8_t priv[32], const void *doc, size_t len, uint8_t sig[64]);
// sig_verify_any_key with SIGNED_CATALOG_HEADER.
int catalog_verify(const updater_config *cfg, const void *doc, size_t len, const uint8_t sig[64]);
// sig_verify_any_key with SIGNED_MANIFEST_HEADER.
int manifest_verify(const updater_config *cfg, const void *doc, size_t len,
                    const uint8_t sig[64]);

// The steps of signed_fetch that need no network, each with its sentence.

// Checks that cfg names an update URL and a trusted key, and formats the
// document URL of name into url_out. 0, or -1 with a sentence in err.
int signed_doc_url(const updater_config *cfg, const char *name, char *url_out, size_t url_size,
                   char *err, size_t errlen);
// The request options of both fetches: the settings' pins, proxy, time-out and
// client certificate (only when client_cert is set), with max_bytes as the
// body limit. The texts point into cfg.
void signed_http_opts(const updater_config *cfg, uint64_t max_bytes, http_opts *opts);
// Decodes the sig_len bytes of a signature file (at most SIGNED_SIG_MAX; no
// NUL needed after them; white space anywhere is skipped) and verifies it for the
// document of len bytes (kind chosen by is_catalog) with cfg's trusted keys.
// 0 when a trusted key accepts, or -1 with a sentence in err.
int signed_check(const updater_config *cfg, int is_catalog, const void *doc, size_t len,
                 const char *sig_text, size_t sig_len, char *err, size_t errlen);
