// Keyed hashing against published vectors (RFC 4231 HMAC-SHA-256, RFC 5869
// HKDF-SHA256, BLAKE3's keyed_hash vectors) and values computed outside this
// program (Python's hmac, openssl kdf), chunk lists split every which way,
// and the keyed-id context.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include <xxhash.h>

#include "hash.h"
#include "hash_keyed.h"
#include "test_util.h"

// A chunk list over pieces of one text: the text cut at the given offsets,
// with an empty chunk (null pointer) before, between and after the pieces.
struct chunk_list {
    std::vector<const void *> ptrs;  // data pointers; null for the empty chunks
    std::vector<size_t> lens;        // their lengths
    chunk_list(const std::string &text, std::vector<size_t> cuts)
    {
        add(nullptr, 0);
        size_t from = 0;
        cuts.push_back(text.size());
        for (size_t cut : cuts) {
            add(text.data() + from, cut - from);
            add(nullptr, 0);
            from = cut;
        }
    }
    void add(const void *p, size_t n)
    {
        ptrs.push_back(n ? p : nullptr);
        lens.push_back(n);
    }
};

// The HMAC of one whole message as hex.
static std::string hmac_hex(const std::string &key, const std::string &msg)
{
    const void *chunk = msg.data();
    size_t len = msg.size();
    uint8_t out[32];
    EXPECT_EQ(hmac_sha256_chunks((const uint8_t *)key.data(), key.size(), &chunk, &len, 1, out), 0);
    return test_hex(out, 32);
}

TEST(HashKeyed, HmacSha256Vectors)
{
    struct {
        const char *name;
        std::string key;
        std::string msg;
        const char *expected;
    } cases[] = {
        // RFC 4231 test cases 1 to 7 (case 5 is compared on its first 16 bytes).
        {"rfc4231 1", std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"rfc4231 2", "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"rfc4231 3", std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"rfc4231 4", test_unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"rfc4231 5", std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {"rfc4231 6 (131-byte key)", std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"rfc4231 7 (131-byte key)", std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
         "be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        // Around the block size, no key and no message (Python's hmac).
        {"64-byte key copied", std::string(64, 'a'), "abc",
         "6608ac82dca1cb1fddbb5d81e3d9877642b744f565cd9697ac27daa250c80d28"},
        {"65-byte key hashed", std::string(65, 'a'), "abc",
         "c0d2f0e7f578e80e4996cf2ffb922ea70fe1094e693f2cd75bbba0281add9da5"},
        {"empty key", "", "abc", "fd7adb152c05ef80dccf50a1fa4c05d5a3ec6da95575fc312ae7c5d091836351"},
        {"empty message", "Jefe", "", "923598ca6d64af2a5dba79dcd021a8a0fe5c5f557519adaaf0ad532d4506dd30"},
    };
    for (auto &c : cases) {
        std::string got = hmac_hex(c.key, c.msg);
        EXPECT_EQ(got.substr(0, strlen(c.expected)), c.expected) << c.name;
    }
}

TEST(HashKeyed, HmacOverChunksEqualsWholeMessage)
{
    const std::string key = "Jefe";
    const std::string msg = "what do ya want for nothing?";
    const char *expected = "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843";
    struct {
        const char *name;
        std::vector<size_t> cuts;
    } cases[] = {{"one piece", {}}, {"two pieces", {4}}, {"every byte", {}}, {"uneven", {1, 2, 10, 27}}};
    cases[2].cuts.clear();
    for (size_t i = 1; i < msg.size(); i++)
        cases[2].cuts.push_back(i);
    for (auto &c : cases) {
        chunk_list cl(msg, c.cuts);
        uint8_t out[32];
        hmac_sha256_chunks((const uint8_t *)key.data(), key.size(), cl.ptrs.data(), cl.lens.data(), cl.ptrs.size(),
                           out);
        EXPECT_EQ(test_hex(out, 32), expected) << c.name;
    }
    // No chunks at all is the empty message.
    uint8_t out[32];
    hmac_sha256_chunks((const uint8_t *)key.data(), key.size(), nullptr, nullptr, 0, out);
    EXPECT_EQ(test_hex(out, 32), "923598ca6d64af2a5dba79dcd021a8a0fe5c5f557519adaaf0ad532d4506dd30");
}

TEST(HashKeyed, HkdfSha256Vectors)
{
    struct {
        const char *name;
        bool null_salt;
        std::string salt, ikm, info;
        size_t len;
        const char *expected;
    } cases[] = {
        // RFC 5869 test cases 1 to 3 (3: empty salt and info).
        {"rfc5869 1", false, test_unhex("000102030405060708090a0b0c"), std::string(22, '\x0b'),
         test_unhex("f0f1f2f3f4f5f6f7f8f9"), 42,
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {"rfc5869 2", false,
         test_unhex("606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f808182838485868788898a8b8c8d8e8f"
                    "909192939495969798999a9b9c9d9e9fa0a1a2a3a4a5a6a7a8a9aaabacadaeaf"),
         test_unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f"
                    "303132333435363738393a3b3c3d3e3f404142434445464748494a4b4c4d4e4f"),
         test_unhex("b0b1b2b3b4b5b6b7b8b9babbbcbdbebfc0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
                    "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"),
         82,
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c65e590e09da3275600c2f"
         "09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {"rfc5869 3", false, "", std::string(22, '\x0b'), "", 42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
        // A missing salt is 32 zero bytes, the same as the empty one.
        {"null salt", true, "", std::string(22, '\x0b'), "", 42,
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
        // 33 bytes: one byte of the second block (Python's hmac).
        {"33 bytes", false, "salt", "ikm", "info", 33,
         "fe8f9615d2374c0d17f77d1aeaf408c2e75fe0466073d0def23c733e2f862dfd68"},
        {"100-byte salt hashed", false, std::string(100, 'Z'), "ikm", "info", 32,
         "74907ea512461a2a21699e1ae8b62a8b9ba23253c1227b35ac22aebdd5b3ced0"},
    };
    for (auto &c : cases) {
        std::vector<uint8_t> out(c.len + 8, 0xEE);
        int rc = hkdf_sha256(c.null_salt ? nullptr : (const uint8_t *)c.salt.data(), c.salt.size(),
                             (const uint8_t *)c.ikm.data(), c.ikm.size(), (const uint8_t *)c.info.data(),
                             c.info.size(), out.data(), c.len);
        EXPECT_EQ(rc, 0) << c.name;
        EXPECT_EQ(test_hex(out.data(), c.len), c.expected) << c.name;
        EXPECT_EQ(test_hex(out.data() + c.len, 8), "eeeeeeeeeeeeeeee") << "written past the end: " << c.name;
    }
}

TEST(HashKeyed, HkdfLengthLimits)
{
    // 8160 bytes is the last length a one-byte block number reaches; beyond
    // it the counter would wrap to 0 and repeat key material, so nothing is
    // written and the caller hears of it. Length 0 writes nothing.
    std::vector<uint8_t> out(8161 + 8, 0xEE);
    const uint8_t ikm[3] = {1, 2, 3};
    struct {
        size_t len;
        int rc;
        size_t written;
    } cases[] = {{0, 0, 0}, {8160, 0, 8160}, {8161, -1, 0}, {(size_t)-1, -1, 0}};
    for (auto &c : cases) {
        std::fill(out.begin(), out.end(), 0xEE);
        EXPECT_EQ(hkdf_sha256(nullptr, 0, ikm, sizeof ikm, nullptr, 0, out.data(), c.len), c.rc) << c.len;
        std::vector<uint8_t> rest(out.begin() + (long)c.written, out.end());
        EXPECT_EQ(rest, std::vector<uint8_t>(out.size() - c.written, 0xEE)) << "touched past " << c.written;
    }
    // The 8160 bytes begin with the 32-byte output and end in block 255.
    uint8_t first[32];
    hkdf_sha256(nullptr, 0, ikm, sizeof ikm, nullptr, 0, first, sizeof first);
    hkdf_sha256(nullptr, 0, ikm, sizeof ikm, nullptr, 0, out.data(), 8160);
    EXPECT_EQ(test_hex(out.data(), 32), test_hex(first, 32));
    EXPECT_NE(test_hex(out.data() + 8128, 32), test_hex(first, 32));
}

// A keyed-id context of the key 00 01 02 ... 1f.
static idhash_key counting_key()
{
    uint8_t key[32];
    for (int i = 0; i < 32; i++)
        key[i] = (uint8_t)i;
    idhash_key k;
    idhash_key_init(&k, key);
    return k;
}

TEST(HashKeyed, ContextSecret)
{
    // The 192 bytes of HKDF-SHA256 without salt, the key 00..1f as input and
    // the id label as info (openssl kdf and Python's hmac agree).
    idhash_key k = counting_key();
    EXPECT_EQ(test_hex(k.key, 32), "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    EXPECT_EQ(test_hex(k.xxh3_secret, 192),
              "7cdf3bdc3170b5814673e0f3486363a0f84b4ffc65aabfe5e0bcfee075f02ed1fca2dee4494ed69fe78f3735859b66d8"
              "fe80e97b1dcd903dffba2616486b4d105e16210203ea03eb6a56c7cb18edc9fd7ae29d72780135c27d4d47e8f2ea9a6a"
              "16b5e4255f6daeee8d4b8043b425587990a1da55468080e47e036a8285a36669dd649a41bea8c98ec2d28a2c2dab7ef6"
              "d0d58645d595cb4a64727c3b2b37fdf9eb025fac5e58ac3d7852cf11c7f3f584de69fae4f8129c90bee834989b868106");
    EXPECT_EQ(strlen(IDHASH_LABEL), IDHASH_LABEL_LEN);

    idhash_key again = counting_key();
    EXPECT_EQ(memcmp(&k, &again, sizeof k), 0);

    idhash_key_wipe(&k);
    EXPECT_EQ(test_hex(&k, sizeof k), std::string(2 * sizeof k, '0'));
    EXPECT_EQ(sizeof k, 224u);
    idhash_key_wipe(nullptr);
}

// BLAKE3's published test input: bytes 0, 1, ..., 250, 0, 1, ... of length n.
static std::string blake3_input(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i % 251);
    return s;
}

TEST(HashKeyed, Blake3KeyedVectors)
{
    // keyed_hash of BLAKE3's test vectors (first 32 bytes), key
    // "whats the Elvish word for friend"; the input cut into uneven chunks.
    idhash_key k;
    idhash_key_init(&k, (const uint8_t *)"whats the Elvish word for friend");
    struct {
        size_t len;
        const char *keyed;
    } cases[] = {
        {0, "92b2b75604ed3c761f9d6f62392c8a9227ad0ea3f09573e783f1498a4ed60d26"},
        {1, "6d7878dfff2f485635d39013278ae14f1454b8c0a3a2d34bc1ab38228a80c95b"},
        {1023, "c951ecdf03288d0fcc96ee3413563d8a6d3589547f2c2fb36d9786470f1b9d6e"},
        {1024, "75c46f6f3d9eb4f55ecaaee480db732e6c2105546f1e675003687c31719c7ba4"},
        {1025, "357dc55de0c7e382c900fd6e320acc04146be01db6a8ce7210b7189bd664ea69"},
        {3073, "68dede9bef00ba89e43f31a6825f4cf433389fedae75c04ee9f0cf16a427c95a"},
    };
    for (auto &c : cases) {
        std::string input = blake3_input(c.len);
        std::vector<size_t> cuts;
        for (size_t at = 7; at < c.len; at += 333)
            cuts.push_back(at);
        chunk_list cl(input, cuts);
        uint8_t out[32];
        hash_chunks_keyed(HASH_BLAKE3, &k, cl.ptrs.data(), cl.lens.data(), cl.ptrs.size(), out);
        EXPECT_EQ(test_hex(out, 32), c.keyed) << c.len;
    }
    idhash_key_wipe(&k);
}

TEST(HashKeyed, UnkeyedEqualsDigestByIdentifier)
{
    std::string input = blake3_input(5000);
    struct {
        const char *name;
        std::vector<size_t> cuts;
    } splits[] = {{"whole", {}}, {"halves", {2500}}, {"uneven", {1, 64, 65, 1023, 1024, 4999}}};
    for (int id : {0, 1, 2, 5}) {
        uint8_t whole[32];
        hash_digest(id, input.data(), input.size(), whole);
        for (auto &s : splits) {
            chunk_list cl(input, s.cuts);
            uint8_t out[32];
            memset(out, 0xAA, sizeof out);
            hash_chunks_keyed(id, nullptr, cl.ptrs.data(), cl.lens.data(), cl.ptrs.size(), out);
            EXPECT_EQ(test_hex(out, 32), test_hex(whole, 32)) << "id " << id << ", " << s.name;
        }
    }
}

TEST(HashKeyed, KeyedDiffersAndMatchesItsDefinition)
{
    const std::string msg = "abc";
    chunk_list cl(msg, {1});
    idhash_key k = counting_key();
    for (int id : {0, 1, 2, 5}) {
        uint8_t keyed[32], plain[32];
        memset(keyed, 0xAA, sizeof keyed);
        hash_chunks_keyed(id, &k, cl.ptrs.data(), cl.lens.data(), cl.ptrs.size(), keyed);
        hash_chunks_keyed(id, nullptr, cl.ptrs.data(), cl.lens.data(), cl.ptrs.size(), plain);
        EXPECT_NE(test_hex(keyed, 32), test_hex(plain, 32)) << id;
    }

    struct {
        int id;
        std::string expected;
    } cases[] = {
        // SHA-256 ids with a context: HMAC-SHA256 with the key (openssl mac).
        {0, "f0133729c4163dede81e21cd47839256da58171238c8a0d874397c73b14e1e47"},
        {5, "f0133729c4163dede81e21cd47839256da58171238c8a0d874397c73b14e1e47"},
        // XXH3-128 with the context's secret, as xxHash's one-shot routine
        // computes it over the whole message; 16 zero bytes after it.
        {2, ""},
    };
    XXH128_canonical_t canon;
    XXH128_canonicalFromHash(&canon, XXH3_128bits_withSecret(msg.data(), msg.size(), k.xxh3_secret,
                                                             sizeof k.xxh3_secret));
    cases[2].expected = test_hex(canon.digest, 16) + std::string(32, '0');
    for (auto &c : cases) {
        uint8_t out[32];
        hash_chunks_keyed(c.id, &k, cl.ptrs.data(), cl.lens.data(), cl.ptrs.size(), out);
        EXPECT_EQ(test_hex(out, 32), c.expected) << c.id;
    }
    idhash_key_wipe(&k);
}

TEST(HashKeyed, Xxh3DependsOnTheKeyAndOnlyOnTheConcatenation)
{
    std::string input = blake3_input(3000);  // past XXH3's 240-byte short path and its internal buffer
    uint8_t key_a[32] = {0}, key_b[32] = {0};
    key_b[31] = 1;
    idhash_key a, b;
    idhash_key_init(&a, key_a);
    idhash_key_init(&b, key_b);

    chunk_list whole(input, {});
    chunk_list pieces(input, {3, 250, 251, 1024, 2999});
    uint8_t ra[32], rb[32], ra_pieces[32];
    hash_chunks_keyed(HASH_XXH3_128, &a, whole.ptrs.data(), whole.lens.data(), whole.ptrs.size(), ra);
    hash_chunks_keyed(HASH_XXH3_128, &b, whole.ptrs.data(), whole.lens.data(), whole.ptrs.size(), rb);
    hash_chunks_keyed(HASH_XXH3_128, &a, pieces.ptrs.data(), pieces.lens.data(), pieces.ptrs.size(), ra_pieces);
    EXPECT_NE(test_hex(ra, 16), test_hex(rb, 16));
    EXPECT_EQ(test_hex(ra_pieces, 32), test_hex(ra, 32));
    EXPECT_EQ(test_hex(ra + 16, 16), std::string(32, '0'));

    XXH128_canonical_t canon;
    XXH128_canonicalFromHash(&canon, XXH3_128bits_withSecret(input.data(), input.size(), a.xxh3_secret,
                                                             sizeof a.xxh3_secret));
    EXPECT_EQ(test_hex(ra, 16), test_hex(canon.digest, 16));
    idhash_key_wipe(&a);
    idhash_key_wipe(&b);
}
