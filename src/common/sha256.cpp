// SHA-256 through OpenSSL 3 with one algorithm object fetched per process.
#include "sha256.h"

#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "codec.h"

// Fetched once and never released: every later digest reuses it.
static std::atomic<EVP_MD *> g_sha256{nullptr};

void sha256_fatal(void)
{
    static const char msg[] = "fatal: OpenSSL SHA-256 failed\n";
    fwrite(msg, 1, sizeof msg - 1, stderr);
    fflush(stderr);
    abort();
}

// The process-wide "SHA256" object; two threads racing both succeed, the
// loser releasing its own copy.
static EVP_MD *sha256_md(void)
{
    EVP_MD *md = g_sha256.load();
    if (md)
        return md;
    EVP_MD *fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (!fetched)
        sha256_fatal();
    EVP_MD *expected = nullptr;
    if (g_sha256.compare_exchange_strong(expected, fetched))
        return fetched;
    EVP_MD_free(fetched);
    return expected;
}

int sha256_init(sha256_ctx *ctx)
{
    EVP_MD_CTX *c = EVP_MD_CTX_new();
    if (!c)
        sha256_fatal();
    if (EVP_DigestInit_ex(c, sha256_md(), nullptr) != 1)
        sha256_fatal();
    *ctx = c;
    return 1;
}

void sha256_update(sha256_ctx *ctx, const void *data, size_t len)
{
    if (len == 0)
        return;
    if (EVP_DigestUpdate((EVP_MD_CTX *)*ctx, data, len) != 1)
        sha256_fatal();
}

void sha256_final(sha256_ctx *ctx, uint8_t out[32])
{
    if (EVP_DigestFinal_ex((EVP_MD_CTX *)*ctx, out, nullptr) != 1)
        sha256_fatal();
    EVP_MD_CTX_free((EVP_MD_CTX *)*ctx);
    *ctx = nullptr;
}

int sha256_buffer(const void *data, size_t len, uint8_t out[32])
{
    if (EVP_Digest(data, len, out, nullptr, sha256_md(), nullptr) != 1)
        sha256_fatal();
    return 1;
}

int hex32(const uint8_t digest[32], char out[65])
{
    hex_encode(digest, 32, out);
    return 32;
}

int mem_equal(const void *a, const void *b, size_t n)
{
    return memcmp(a, b, n) == 0 ? 1 : 0;
}
