// Ed25519 with raw keys: the RFC 8032 vectors, damaged inputs, keys that are
// no curve point, signing, key generation and the public key of a seed.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "ed25519.h"
#include "test_util.h"

// RFC 8032, section 7.1, tests 1 to 3.
static const struct {
    const char *name, *priv, *pub, *msg, *sig;
} kVectors[] = {
    {"test 1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"test 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"test 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

static const uint8_t *u8(const std::string &s) { return (const uint8_t *)s.data(); }

TEST(Ed25519, RfcVectors)
{
    for (auto &v : kVectors) {
        std::string priv = test_unhex(v.priv), pub = test_unhex(v.pub);
        std::string msg = test_unhex(v.msg), sig = test_unhex(v.sig);
        EXPECT_EQ(ed25519_verify(u8(pub), msg.data(), msg.size(), u8(sig)), 1) << v.name;

        uint8_t derived[32];
        EXPECT_EQ(ed25519_public_from_private(u8(priv), derived), 0) << v.name;
        EXPECT_EQ(test_hex(derived, 32), v.pub) << v.name;

        // Pure Ed25519 is deterministic: signing gives the published signature.
        uint8_t made[64];
        EXPECT_EQ(ed25519_sign(u8(priv), msg.data(), msg.size(), made), 0) << v.name;
        EXPECT_EQ(test_hex(made, 64), v.sig) << v.name;
    }
}

TEST(Ed25519, AnyChangedBitFails)
{
    const auto &v = kVectors[2];
    const std::string pub = test_unhex(v.pub), msg = test_unhex(v.msg), sig = test_unhex(v.sig);
    // Flip one bit at a time in each of the three inputs.
    struct {
        const char *what;
        const std::string *base;
    } parts[] = {{"message", &msg}, {"signature", &sig}, {"key", &pub}};
    for (auto &p : parts) {
        for (size_t bit = 0; bit < p.base->size() * 8; bit += 7) {
            std::string m = msg, s = sig, k = pub;
            std::string &target = p.base == &msg ? m : p.base == &sig ? s : k;
            target[bit / 8] ^= (char)(1 << (bit % 8));
            EXPECT_EQ(ed25519_verify(u8(k), m.data(), m.size(), u8(s)), 0) << p.what << " bit " << bit;
        }
    }
    // A longer or shorter message is another message.
    EXPECT_EQ(ed25519_verify(u8(pub), msg.data(), 1, u8(sig)), 0);
    std::string longer = msg + '\0';
    EXPECT_EQ(ed25519_verify(u8(pub), longer.data(), longer.size(), u8(sig)), 0);
}

TEST(Ed25519, MalformedKeysAndSignatures)
{
    const auto &v = kVectors[0];
    const std::string pub = test_unhex(v.pub), sig = test_unhex(v.sig);
    // y = 2 and y = 7 decode to no point of the curve.
    std::string no_point_2(32, '\0'), no_point_7(32, '\0');
    no_point_2[0] = 2;
    no_point_7[0] = 7;
    // S of the signature plus the group order: the same point equation holds,
    // but a signature must carry S below the order.
    const std::string unreduced = test_unhex(
        "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901554c8c7872aa064e049dbb3013fbf29380d25bf5f0595bbe24655141438e7a101b");
    struct {
        const char *name;
        std::string key, sig;
    } cases[] = {
        {"key y=2", no_point_2, sig},
        {"key y=7", no_point_7, sig},
        {"all-zero signature", pub, std::string(64, '\0')},
        {"all-ones signature", pub, std::string(64, '\xff')},
        {"S not reduced", pub, unreduced},
        {"all-ones key", std::string(32, '\xff'), sig},
    };
    for (auto &c : cases)
        EXPECT_EQ(ed25519_verify(u8(c.key), "", 0, u8(c.sig)), 0) << c.name;
}

TEST(Ed25519, KeygenSignVerify)
{
    uint8_t priv[32], pub[32], priv2[32], pub2[32];
    ASSERT_EQ(ed25519_keygen(priv, pub), 0);
    ASSERT_EQ(ed25519_keygen(priv2, pub2), 0);
    EXPECT_NE(memcmp(priv, priv2, 32), 0) << "two key pairs alike";

    uint8_t derived[32];
    ASSERT_EQ(ed25519_public_from_private(priv, derived), 0);
    EXPECT_EQ(memcmp(derived, pub, 32), 0);

    const std::string msg = "orvantis components.json\n{}";
    uint8_t sig[64];
    ASSERT_EQ(ed25519_sign(priv, msg.data(), msg.size(), sig), 0);
    EXPECT_EQ(ed25519_verify(pub, msg.data(), msg.size(), sig), 1);
    EXPECT_EQ(ed25519_verify(pub2, msg.data(), msg.size(), sig), 0) << "another key";
    // An empty message signs and verifies too.
    ASSERT_EQ(ed25519_sign(priv, nullptr, 0, sig), 0);
    EXPECT_EQ(ed25519_verify(pub, nullptr, 0, sig), 1);
}
