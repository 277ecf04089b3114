// SHA-256 on OpenSSL's EVP interface (infallible: a library failure aborts),
// the hex text of a digest, and processor facts about the SHA-256 code path.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "orv_attr.h"

// Handle of a running digest: one EVP_MD_CTX, null outside init..final.
typedef void *sha256_ctx;

// Starts a digest in *ctx; returns 1 (aborts on a library failure).
int sha256_init(sha256_ctx *ctx);
// Adds len bytes; len 0 does nothing.
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);
// Writes the 32-byte digest, releases the context and sets *ctx to null.
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);
// One-shot digest; returns 1 (aborts on a library failure).
int sha256_buffer(const void *data, size_t len, uint8_t out[32]);
// 64 lower-case hex digits and a NUL; returns 32.
int hex32(const uint8_t digest[32], char out[65]);
// Writes "fatal: OpenSSL SHA-256 failed\n" to standard error and aborts.
ORV_NORETURN void sha256_fatal(void);
// 1 when the n bytes are equal (not constant-time), else 0.
int mem_equal(const void *a, const void *b, size_t n);

// Bit 0: AVX2 usable; bit 1: SHA extensions present.
unsigned cpu_features(void);
// "SHA-NI", "AVX2", "SSSE3" or "scalar"; with "*" appended when
// OPENSSL_ia32cap is set, since the library's mask may then differ.
const char *cpu_sha256_impl_name(void);
