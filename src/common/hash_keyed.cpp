// Keyed hashing: HMAC-SHA256 and HKDF-SHA256 on the streaming SHA-256
// routines, keyed BLAKE3 and XXH3-128 with a derived secret. Every wipe goes
// through OPENSSL_cleanse: a plain memset of a buffer that is dead afterwards
// is a store the compiler may drop.
#include "hash_keyed.h"

#include <assert.h>
#include <string.h>

#include <openssl/crypto.h>

#include <blake3.h>
#define XXH_STATIC_LINKING_ONLY  // XXH3_state_t on the stack
#include <xxhash.h>

#include "hash.h"
#include "sha256.h"

// ---- HMAC-SHA256 --------------------------------------------------------------

// The 64-byte HMAC key block of key: zero-filled, then the key copied, or its
// SHA-256 when it is longer than a block.
static void hmac_key_block(const uint8_t *key, size_t key_len, uint8_t block[64])
{
    memset(block, 0, 64);
    if (key_len > 64)
        sha256_buffer(key, key_len, block);
    else if (key_len)
        memcpy(block, key, key_len);
}

// Adds every non-empty chunk to a running SHA-256.
static void sha256_chunks(sha256_ctx *ctx, const void *const *chunks, const size_t *lens, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (lens[i])
            sha256_update(ctx, chunks[i], lens[i]);
    }
}

// HMAC-SHA256 with a prepared key block. out is written last, so it may be
// one of the chunks. The pads and the inner digest are wiped.
static void hmac_with_block(const uint8_t block[64], const void *const *chunks, const size_t *lens,
                            size_t count, uint8_t out[32])
{
    uint8_t pad[64];
    uint8_t inner[32];
    sha256_ctx ctx = nullptr;

    for (int i = 0; i < 64; i++)
        pad[i] = block[i] ^ 0x36;
    sha256_init(&ctx);
    sha256_update(&ctx, pad, sizeof pad);
    sha256_chunks(&ctx, chunks, lens, count);
    sha256_final(&ctx, inner);

    for (int i = 0; i < 64; i++)
        pad[i] = block[i] ^ 0x5C;
    sha256_init(&ctx);
    sha256_update(&ctx, pad, sizeof pad);
    sha256_update(&ctx, inner, sizeof inner);
    sha256_final(&ctx, out);

    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(inner, sizeof inner);
}

int hmac_sha256_chunks(const uint8_t *key, size_t key_len, const void *const *chunks,
                       const size_t *lens, size_t count, uint8_t out[32])
{
    uint8_t block[64];
    hmac_key_block(key, key_len, block);
    hmac_with_block(block, chunks, lens, count, out);
    OPENSSL_cleanse(block, sizeof block);
    return 0;
}

// ---- HKDF-SHA256 ---------------------------------------------------------------

int hkdf_sha256(const uint8_t *salt, size_t salt_len, const uint8_t *ikm, size_t ikm_len,
                const uint8_t *info, size_t info_len, uint8_t *out, size_t out_len)
{
    if (out_len > HKDF_SHA256_MAX_OUT)
        return -1;
    if (out_len == 0)
        return 0;

    static const uint8_t kNoSalt[32] = {0};
    uint8_t block[64];  // key block of the salt, then of PRK
    uint8_t prk[32];
    uint8_t t[32];  // T(i)

    // Extract: PRK = HMAC(salt, IKM).
    if (!salt) {
        salt = kNoSalt;
        salt_len = sizeof kNoSalt;
    }
    hmac_key_block(salt, salt_len, block);
    const void *ikm_chunk[1] = {ikm};
    hmac_with_block(block, ikm_chunk, &ikm_len, 1, prk);

    // Expand: T(i) = HMAC(PRK, T(i-1) | info | i), T(0) empty.
    hmac_key_block(prk, sizeof prk, block);
    size_t done = 0;
    for (unsigned i = 1; done < out_len; i++) {
        uint8_t counter = (uint8_t)i;
        const void *chunks[3] = {t, info, &counter};
        size_t lens[3] = {i == 1 ? 0 : sizeof t, info_len, 1};
        hmac_with_block(block, chunks, lens, 3, t);
        size_t take = out_len - done < sizeof t ? out_len - done : sizeof t;
        memcpy(out + done, t, take);
        done += take;
    }

    OPENSSL_cleanse(block, sizeof block);
    OPENSSL_cleanse(prk, sizeof prk);
    OPENSSL_cleanse(t, sizeof t);
    return 0;
}

// ---- keyed-id context -------------------------------------------------------------

void idhash_key_init(idhash_key *ctx, const uint8_t key[32])
{
    memcpy(ctx->key, key, sizeof ctx->key);
    int rc = hkdf_sha256(nullptr, 0, ctx->key, sizeof ctx->key, (const uint8_t *)IDHASH_LABEL,
                         IDHASH_LABEL_LEN, ctx->xxh3_secret, sizeof ctx->xxh3_secret);
    assert(rc == 0);
    (void)rc;
}

void idhash_key_wipe(idhash_key *ctx)
{
    if (ctx)
        OPENSSL_cleanse(ctx, sizeof *ctx);
}

void hash_chunks_keyed(int id, const idhash_key *ctx, const void *const *chunks, const size_t *lens,
                       size_t count, uint8_t out[32])
{
    if (id == HASH_BLAKE3) {
        blake3_hasher h;
        if (ctx)
            blake3_hasher_init_keyed(&h, ctx->key);
        else
            blake3_hasher_init(&h);
        for (size_t i = 0; i < count; i++) {
            if (lens[i])
                blake3_hasher_update(&h, chunks[i], lens[i]);
        }
        blake3_hasher_finalize(&h, out, 32);
        if (ctx)
            OPENSSL_cleanse(&h, sizeof h);
    } else if (id == HASH_XXH3_128) {
        alignas(64) XXH3_state_t st;
        XXH_errorcode rc = ctx ? XXH3_128bits_reset_withSecret(&st, ctx->xxh3_secret, sizeof ctx->xxh3_secret)
                               : XXH3_128bits_reset(&st);
        assert(rc == XXH_OK);
        (void)rc;
        for (size_t i = 0; i < count; i++) {
            if (lens[i])
                XXH3_128bits_update(&st, chunks[i], lens[i]);
        }
        XXH128_canonical_t canon;
        XXH128_canonicalFromHash(&canon, XXH3_128bits_digest(&st));
        memcpy(out, canon.digest, 16);
        memset(out + 16, 0, 16);
        if (ctx)
            OPENSSL_cleanse(&st, sizeof st);  // its accumulators derive from the secret
    } else if (ctx) {
        // The 32-byte key fills half a block: no hashing first.
        hmac_sha256_chunks(ctx->key, sizeof ctx->key, chunks, lens, count, out);
    } else {
        sha256_ctx sc = nullptr;
        sha256_init(&sc);
        sha256_chunks(&sc, chunks, lens, count);
        sha256_final(&sc, out);
    }
}
