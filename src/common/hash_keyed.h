// Keyed forms of the digests by identifier, for identifiers that must not
// reveal their content to anyone without the key: HMAC-SHA256 over a list of
// buffers, HKDF-SHA256, and a keyed-id context (one 32-byte key and an XXH3
// secret derived from it) for hashing a list of buffers with any hash_id.
//
// A chunk list is an array of data pointers, an array of lengths of the same
// size and their count; a chunk of length 0 is skipped and its pointer never
// read. Hashing a chunk list gives the digest of its chunks concatenated.
#pragma once
#include <stddef.h>
#include <stdint.h>

// HKDF info text of the XXH3 secret: 31 bytes, used without a NUL.
#define IDHASH_LABEL "kelpwind9 id mixer-4242 salt v7"
#define IDHASH_LABEL_LEN 31u
// The XXH3 secret of a context: the default XXH3 secret size.
#define IDHASH_SECRET_SIZE 192u
// Longest HKDF-SHA256 output: the block number is one byte (255 blocks of 32).
#define HKDF_SHA256_MAX_OUT 8160u

// Keyed-id context: made by idhash_key_init, read-only afterwards (several
// threads may share it), wiped by idhash_key_wipe before its memory goes.
struct idhash_key {
    uint8_t key[32];                          // the caller's key: BLAKE3 key and HMAC-SHA256 key
    uint8_t xxh3_secret[IDHASH_SECRET_SIZE];  // XXH3 secret derived from key; never stored anywhere
};

// HMAC-SHA256 (RFC 2104, block 64) with key over the chunk list into out: a
// key longer than 64 bytes is hashed first. Key material on the stack is
// wiped. Returns 0 (SHA-256 failures end the process).
int hmac_sha256_chunks(const uint8_t *key, size_t key_len, const void *const *chunks,
                       const size_t *lens, size_t count, uint8_t out[32]);

// HKDF-SHA256 (RFC 5869): out_len bytes from the input key material, the salt
// (null: 32 zero bytes) and info. Returns 0, or -1 with out untouched when
// out_len exceeds HKDF_SHA256_MAX_OUT (a one-byte block number would wrap and
// repeat key material). Key material on the stack is wiped.
int hkdf_sha256(const uint8_t *salt, size_t salt_len, const uint8_t *ikm, size_t ikm_len,
                const uint8_t *info, size_t info_len, uint8_t *out, size_t out_len);

// Fills ctx with the 32-byte key and the XXH3 secret derived from it (HKDF
// without salt, the key as input, IDHASH_LABEL as info, 192 bytes).
void idhash_key_init(idhash_key *ctx, const uint8_t key[32]);
// Sets all 224 bytes of ctx to zero; null does nothing.
void idhash_key_wipe(idhash_key *ctx);

// Digest of the chunk list by id into out (32 bytes, laid out as hash_digest
// does): BLAKE3 for 1 (keyed with ctx's key when ctx is non-null), XXH3-128
// for 2 (with ctx's secret), and for every other id SHA-256, or HMAC-SHA256
// with ctx's key when ctx is non-null. Keyed hasher states are wiped.
void hash_chunks_keyed(int id, const idhash_key *ctx, const void *const *chunks, const size_t *lens,
                       size_t count, uint8_t out[32]);
