// SHA-256 (one-shot and streaming), the hex text of a digest, byte
// comparison, and the processor facts about the SHA-256 code path.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "sha256.h"
#include "test_util.h"

// Published test values (FIPS 180-2 and the usual extras).
static const struct {
    const char *name;
    std::string input;
    const char *digest;
} kVectors[] = {
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"a million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

TEST(Sha256, OneShot)
{
    for (auto &v : kVectors) {
        uint8_t d[32];
        EXPECT_EQ(sha256_buffer(v.input.data(), v.input.size(), d), 1) << v.name;
        EXPECT_EQ(test_hex(d, 32), v.digest) << v.name;
    }
}

TEST(Sha256, StreamingInChunks)
{
    // Chunk sizes around the 64-byte block, and empty updates in between.
    for (auto &v : kVectors) {
        for (size_t chunk : {1u, 3u, 63u, 64u, 65u, 4096u}) {
            if (v.input.size() > 100000 && chunk < 64)
                continue;
            sha256_ctx ctx = nullptr;
            EXPECT_EQ(sha256_init(&ctx), 1);
            ASSERT_NE(ctx, nullptr);
            for (size_t at = 0; at < v.input.size(); at += chunk) {
                sha256_update(&ctx, v.input.data() + at, std::min(chunk, v.input.size() - at));
                sha256_update(&ctx, nullptr, 0);
            }
            uint8_t d[32];
            sha256_final(&ctx, d);
            EXPECT_EQ(ctx, nullptr) << "the handle is released";
            EXPECT_EQ(test_hex(d, 32), v.digest) << v.name << " in chunks of " << chunk;
        }
    }
}

TEST(Sha256, Hex32)
{
    uint8_t zero[32] = {0};
    char out[66];
    memset(out, 'X', sizeof out);
    EXPECT_EQ(hex32(zero, out), 32);
    EXPECT_EQ(std::string(out), std::string(64, '0'));
    EXPECT_EQ(out[65], 'X');

    uint8_t bytes[32];
    for (int i = 0; i < 32; i++)
        bytes[i] = (uint8_t)(i * 8 + 7);
    hex32(bytes, out);
    EXPECT_STREQ(out, "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");
}

TEST(Sha256, MemEqual)
{
    struct {
        const char *a, *b;
        size_t n;
        int expected;
    } cases[] = {
        {"abc", "abc", 3, 1}, {"abc", "abd", 3, 0}, {"abc", "abd", 2, 1},
        {"xbc", "abc", 3, 0}, {"", "", 0, 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(mem_equal(c.a, c.b, c.n), c.expected) << c.a << " " << c.b << " " << c.n;
    // Nothing to compare: null pointers are never touched.
    EXPECT_EQ(mem_equal(nullptr, nullptr, 0), 1);
}

TEST(Sha256DeathTest, FatalWritesOneLineAndAborts)
{
    EXPECT_DEATH(sha256_fatal(), "^fatal: OpenSSL SHA-256 failed\n$");
}

// Sets or removes an environment variable of this process; an empty value
// cannot be set through the Windows runtime (it removes the variable).
static void set_env(const char *name, const char *value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

TEST(Cpu, Sha256PathName)
{
    const std::string plain[] = {"SHA-NI", "AVX2", "SSSE3", "scalar"};
    set_env("OPENSSL_ia32cap", nullptr);
    std::string name = cpu_sha256_impl_name();
    EXPECT_NE(std::find(std::begin(plain), std::end(plain), name), std::end(plain)) << name;

    unsigned features = cpu_features();
    EXPECT_EQ(features & ~3u, 0u) << "only bits 0 and 1 are defined";
    if (name == "SHA-NI") {
        EXPECT_TRUE(features & 2u);
    }

    // The capability mask may be overridden: the name carries a "*".
#ifdef _WIN32
    const char *overrides[] = {"~0x200000200000000"};
#else
    const char *overrides[] = {"", "~0x200000200000000"};
#endif
    for (const char *o : overrides) {
        set_env("OPENSSL_ia32cap", o);
        EXPECT_EQ(std::string(cpu_sha256_impl_name()), name + "*") << "[" << o << "]";
    }
    set_env("OPENSSL_ia32cap", nullptr);
    EXPECT_EQ(std::string(cpu_sha256_impl_name()), name);
}
