// Ed25519 with raw 32-byte keys and 64-byte signatures (pure Ed25519, no
// pre-hash, no context), on OpenSSL 3.
#pragma once
#include <stddef.h>
#include <stdint.h>

// 1 when sig is a valid signature of msg under pub; 0 when it is not, and
// for any library failure (bad point, out of memory).
int ed25519_verify(const uint8_t pub[32], const void *msg, size_t len, const uint8_t sig[64]);
// Signs msg with the 32-byte seed priv: 0, or -1 on failure.
int ed25519_sign(const uint8_t priv[32], const void *msg, size_t len, uint8_t sig[64]);
// A new key pair: 0, or -1 on failure.
int ed25519_keygen(uint8_t priv[32], uint8_t pub[32]);
// The public key of a seed: 0, or -1 on failure.
int ed25519_public_from_private(const uint8_t priv[32], uint8_t pub[32]);
