// Digests by identifier: known answers, the 32-byte layout, names and ids.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "hash.h"
#include "test_util.h"

static const char kSha256Abc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Hash, KnownAnswers)
{
    const std::string zeros16(32, '0');
    struct {
        int id;
        std::string input;
        std::string expected;  // all 32 bytes as hex
    } cases[] = {
        {0, "abc", kSha256Abc},
        {1, std::string(1, '\0'), "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
        {1, "", "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
        // XXH3-128: 16 canonical (big-endian) bytes, then 16 zero bytes.
        {2, "", "99aa06d3014798d86001c324468d497f" + zeros16},
        // Any other id is SHA-256.
        {7, "abc", kSha256Abc},
        {-1, "abc", kSha256Abc},
        {3, "abc", kSha256Abc},
    };
    for (auto &c : cases) {
        uint8_t out[32];
        memset(out, 0xAA, sizeof out);
        hash_digest(c.id, c.input.data(), c.input.size(), out);
        EXPECT_EQ(test_hex(out, 32), c.expected) << "id " << c.id << " [" << c.input.size() << " bytes]";
    }
}

TEST(Hash, XxhTailIsZeroForAnyInput)
{
    std::string data(1000, 'x');
    uint8_t out[32];
    memset(out, 0xAA, sizeof out);
    hash_digest(HASH_XXH3_128, data.data(), data.size(), out);
    EXPECT_EQ(test_hex(out + 16, 16), std::string(32, '0'));
    EXPECT_NE(test_hex(out, 16), std::string(32, '0'));
}

TEST(Hash, NamesAndIds)
{
    struct {
        int id;
        const char *name;
        size_t len;
        int valid;
    } cases[] = {
        {0, "sha256", 32, 1}, {1, "blake3", 32, 1}, {2, "xxh3-128", 16, 1},
        {3, "unknown", 32, 0}, {-1, "unknown", 32, 0}, {255, "unknown", 32, 0},
    };
    for (auto &c : cases) {
        EXPECT_STREQ(hash_name(c.id), c.name) << c.id;
        EXPECT_EQ(hash_digest_len(c.id), c.len) << c.id;
        EXPECT_EQ(hash_id_valid((unsigned)c.id), c.valid) << c.id;
    }
}

TEST(Hash, ParseName)
{
    struct {
        const char *name;
        int rc, id;
    } cases[] = {
        {"sha256", 0, 0},  {"SHA256", 0, 0},     {"blake3", 0, 1},   {"BLAKE3", 0, 1},
        {"Xxh3-128", 0, 2}, {"xxh3-128", 0, 2},  {"sha-256", -1, -9}, {"", -1, -9},
        {"sha256 ", -1, -9}, {"xxh3", -1, -9},   {"unknown", -1, -9}, {nullptr, -1, -9},
    };
    for (auto &c : cases) {
        int id = -9;
        EXPECT_EQ(hash_parse_name(c.name, &id), c.rc) << (c.name ? c.name : "(null)");
        EXPECT_EQ(id, c.id) << (c.name ? c.name : "(null)");
    }
}
