// Packing a client certificate from PEM files as PKCS#12, on OpenSSL.
#include "http_cert.h"
#include "update.h"

#include "http.h"

#include <stdio.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

// Declines every password request: a key file is read without a password,
// and OpenSSL's default would otherwise ask on the console and block an
// unattended run.
static int no_password(char *buf, int size, int rwflag, void *user)
{
    return -1;
}

// Reads the first certificate of path into *cert and every further one onto
// *chain (a new stack). Returns 0, or -1 when the file cannot be opened or
// holds no certificate; what was read stays for the caller to free.
static int read_certs(const char *path, X509 **cert, STACK_OF(X509) **chain)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return -1;
    *cert = PEM_read_X509(f, nullptr, no_password, nullptr);
    *chain = sk_X509_new_null();
    X509 *more;
    while (*cert && *chain && (more = PEM_read_X509(f, nullptr, no_password, nullptr)) != nullptr) {
        if (sk_X509_push(*chain, more) == 0)
            X509_free(more);
    }
    fclose(f);
    ERR_clear_error(); // the end of the file is reported as an error
    return *cert && *chain ? 0 : -1;
}

// Reads the private key in path. Returns it, or null.
static EVP_PKEY *read_key(const char *path)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return nullptr;
    EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, no_password, nullptr);
    fclose(f);
    ERR_clear_error();
    return key;
}

int http_client_cert_pack(const char *cert_file, const char *key_file, http_pfx *out, char *err,
                          size_t errlen)
{
    X509 *cert = nullptr;
    STACK_OF(X509) *chain = nullptr;
    EVP_PKEY *key = nullptr;
    PKCS12 *p12 = nullptr;
    int rc = -1;
    *out = http_pfx{};
    if (read_certs(cert_file, &cert, &chain) != 0) {
        update_error(err, errlen, "cannot read the client certificate %s", cert_file);
        goto done;
    }
    key = read_key(key_file);
    if (!key) {
        update_error(err, errlen, "cannot read the key of the client certificate %s", key_file);
        goto done;
    }
    if (X509_check_private_key(cert, key) != 1) {
        update_error(err, errlen, "the client certificate %s and the key %s do not belong together",
                 cert_file, key_file);
        goto done;
    }
    // Password, no friendly name, and 0 for algorithms, iteration counts and
    // key type: the library's defaults.
    p12 = PKCS12_create(HTTP_PFX_PASSWORD, nullptr, key, cert, chain, 0, 0, 0, 0, 0);
    if (p12)
        out->pfx_len = i2d_PKCS12(p12, &out->pfx);
    if (out->pfx_len >= 1)
        out->cert_len = i2d_X509(cert, &out->cert);
    if (out->pfx_len < 1 || out->cert_len < 1) {
        update_error(err, errlen, "cannot prepare the client certificate %s", cert_file);
        goto done;
    }
    rc = 0;
done:
    if (rc != 0)
        http_pfx_free(out);
    PKCS12_free(p12);
    EVP_PKEY_free(key);
    sk_X509_pop_free(chain, X509_free);
    X509_free(cert);
    ERR_clear_error();
    return rc;
}

void http_pfx_free(http_pfx *p)
{
    OPENSSL_free(p->pfx);
    OPENSSL_free(p->cert);
    *p = http_pfx{};
}
