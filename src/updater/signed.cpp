// Signing and verifying the update server's documents; the fetch itself is in
// signed_win.cpp.
#include "signed.h"

#include <stdlib.h>
#include <string.h>

#include "codec.h"
#include "ed25519.h"
#include "update.h"

// The header line followed by the document, in one new heap buffer of
// *total bytes; null when it cannot be allocated. The caller frees it.
static uint8_t *signed_message(const char *header, const void *doc, size_t len, size_t *total)
{
    size_t hlen = strlen(header);
    if (len > SIZE_MAX - hlen - 1)
        return nullptr;
    // One spare byte, so that an empty header and document still allocate.
    uint8_t *msg = (uint8_t *)malloc(hlen + len + 1);
    if (!msg)
        return nullptr;
    memcpy(msg, header, hlen);
    if (len)
        memcpy(msg + hlen, doc, len);
    *total = hlen + len;
    return msg;
}

int sig_verify_any_key(const char *header, const updater_config *cfg, const void *doc,
                       size_t len, const uint8_t sig[64])
{
    if (!header || !cfg || (!doc && len))
        return -1;
    size_t total = 0;
    uint8_t *msg = signed_message(header, doc, len, &total);
    if (!msg)
        return -1;
    int found = -1;
    for (uint64_t i = 0; i < cfg->key_count && i < UPDCONF_MAX_KEYS; i++) {
        if (ed25519_verify(cfg->public_keys[i], msg, total, sig)) {
            found = (int)i;
            break;
        }
    }
    free(msg);
    return found;
}

// Signs header + doc with priv into sig: 0, or -1.
static int sign_with_header(const char *header, const uint8_t priv[32], const void *doc,
                            size_t len, uint8_t sig[64])
{
    if (!doc && len)
        return -1;
    size_t total = 0;
    uint8_t *msg = signed_message(header, doc, len, &total);
    if (!msg)
        return -1;
    int rc = ed25519_sign(priv, msg, total, sig);
    free(msg);
    return rc;
}

int catalog_sign(const uint8_t priv[32], const void *doc, size_t len, uint8_t sig[64])
{
    return sign_with_header(SIGNED_CATALOG_HEADER, priv, doc, len, sig);
}

int manifest_sign(const uint8_t priv[32], const void *doc, size_t len, uint8_t sig[64])
{
    return sign_with_header(SIGNED_MANIFEST_HEADER, priv, doc, len, sig);
}

int catalog_verify(const updater_config *cfg, const void *doc, size_t len, const uint8_t sig[64])
{
    return sig_verify_any_key(SIGNED_CATALOG_HEADER, cfg, doc, len, sig);
}

int manifest_verify(const updater_config *cfg, const void *doc, size_t len,
                    const uint8_t sig[64])
{
    return sig_verify_any_key(SIGNED_MANIFEST_HEADER, cfg, doc, len, sig);
}

int signed_doc_url(const updater_config *cfg, const char *name, char *url_out, size_t url_size,
                   char *err, size_t errlen)
{
    if (!cfg->url[0]) {
        update_error(err, errlen, "no update url is configured");
        return -1;
    }
    if (cfg->key_count == 0) {
        update_error(err, errlen,
                     "no trusted public key is configured (public_key in the configuration)");
        return -1;
    }
    // Every trailing "/" goes, so "https://h/", "https://h//" and "https://h"
    // name the same documents.
    size_t n = strlen(cfg->url);
    while (n > 0 && cfg->url[n - 1] == '/')
        n--;
    int len = update_format(url_out, url_size, "%.*s/%s/%s", (int)n, cfg->url, cfg->channel, name);
    if (len < 0 || (size_t)len >= url_size) {
        update_error(err, errlen, "the update url is too long");
        return -1;
    }
    return 0;
}

void signed_http_opts(const updater_config *cfg, uint64_t max_bytes, http_opts *opts)
{
    memset(opts, 0, sizeof *opts);
    opts->pin_file = cfg->ca_file[0] ? cfg->ca_file : nullptr;
    opts->proxy = cfg->proxy[0] ? cfg->proxy : nullptr;
    opts->timeout_s = (int32_t)cfg->timeout;
    opts->max_bytes = max_bytes;
    opts->user_agent = "orv_updater/" ORV_VERSION;
    // A key without its certificate is no client certificate.
    if (cfg->client_cert[0]) {
        opts->client_cert_file = cfg->client_cert;
        opts->client_key_file = cfg->client_key;
    }
}

int signed_check(const updater_config *cfg, int is_catalog, const void *doc, size_t len,
                 const char *sig_text, size_t sig_len, char *err, size_t errlen)
{
    uint8_t sig[64];
    char text[SIGNED_SIG_MAX + 1];
    size_t got = 0;
    // The decoder reads up to a NUL, so a NUL inside the file would hide what
    // follows it: refuse it like any other byte outside the alphabet.
    bool readable = sig_text && sig_len <= SIGNED_SIG_MAX && !memchr(sig_text, 0, sig_len);
    if (readable) {
        memcpy(text, sig_text, sig_len);
        text[sig_len] = 0;
    }
    if (!readable || b64_decode(text, sig, sizeof sig, &got) != 0 || got != sizeof sig) {
        update_error(err, errlen, "the signature file is not a base64 Ed25519 signature");
        return -1;
    }
    const char *header = is_catalog ? SIGNED_CATALOG_HEADER : SIGNED_MANIFEST_HEADER;
    if (sig_verify_any_key(header, cfg, doc, len, sig) < 0) {
        update_error(err, errlen,
                     "the %s signature is NOT valid for any trusted key: not installing anything",
                     is_catalog ? "component catalog" : "manifest");
        return -1;
    }
    return 0;
}
