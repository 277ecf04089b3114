// Ed25519 on OpenSSL's raw-key interface; every call owns its objects.
#include "ed25519.h"

#include <openssl/evp.h>

int ed25519_verify(const uint8_t pub[32], const void *msg, size_t len, const uint8_t sig[64])
{
    int ok = 0;
    EVP_MD_CTX *ctx = nullptr;
    EVP_PKEY *key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, 32);
    if (!key)
        goto done;
    ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) != 1)
        goto done;
    ok = EVP_DigestVerify(ctx, sig, 64, (const unsigned char *)msg, len) == 1;
done:
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

int ed25519_sign(const uint8_t priv[32], const void *msg, size_t len, uint8_t sig[64])
{
    int rc = -1;
    size_t siglen = 64;
    EVP_MD_CTX *ctx = nullptr;
    EVP_PKEY *key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, priv, 32);
    if (!key)
        goto done;
    ctx = EVP_MD_CTX_new();
    if (!ctx || EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) != 1)
        goto done;
    if (EVP_DigestSign(ctx, sig, &siglen, (const unsigned char *)msg, len) == 1 && siglen == 64)
        rc = 0;
done:
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return rc;
}

int ed25519_keygen(uint8_t priv[32], uint8_t pub[32])
{
    int rc = -1;
    EVP_PKEY *key = nullptr;
    size_t privlen = 32, publen = 32;
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    if (!ctx)
        return -1;
    if (EVP_PKEY_keygen_init(ctx) != 1 || EVP_PKEY_keygen(ctx, &key) != 1)
        goto done;
    if (EVP_PKEY_get_raw_private_key(key, priv, &privlen) == 1 &&
        EVP_PKEY_get_raw_public_key(key, pub, &publen) == 1 && privlen == 32 && publen == 32)
        rc = 0;
done:
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    return rc;
}

int ed25519_public_from_private(const uint8_t priv[32], uint8_t pub[32])
{
    size_t publen = 32;
    EVP_PKEY *key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, priv, 32);
    if (!key)
        return -1;
    int rc = EVP_PKEY_get_raw_public_key(key, pub, &publen) == 1 && publen == 32 ? 0 : -1;
    EVP_PKEY_free(key);
    return rc;
}
