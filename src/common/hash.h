// Digests chosen by identifier, delivered in 32 bytes.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Digest identifiers as stored in the product's data formats.
enum hash_id { HASH_SHA256 = 0, HASH_BLAKE3 = 1, HASH_XXH3_128 = 2 };

// Digest of data into out: BLAKE3 for 1, XXH3-128 for 2 (16 canonical bytes,
// then 16 zero bytes), SHA-256 for every other id.
void hash_digest(int id, const void *data, size_t len, uint8_t out[32]);
// Meaningful bytes of a digest: 16 for id 2, else 32.
size_t hash_digest_len(int id);
// "sha256", "blake3", "xxh3-128", or "unknown".
const char *hash_name(int id);
// 0 with *id for a known name in any letter case; -1 otherwise (also for null).
int hash_parse_name(const char *name, int *id);
// 1 when id is a known identifier, else 0.
int hash_id_valid(unsigned id);
