// Block compression by identifier: the smaller-or-nothing rule, bounds,
// round trips, result codes, and lz4's input limit.
#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include <lz4.h>
#include <zstd.h>

#include "compress.h"
#include "libtest.h"
#include "sys_result.h"
#include "test_util.h"

// Well-compressible data: a short text over and over.
static std::vector<uint8_t> compressible(size_t n)
{
    static const char kText[] = "orvantis backup components ";
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)kText[i % (sizeof kText - 1)];
    return v;
}

TEST(Compress, Bounds)
{
    struct {
        int id;
        size_t len, expected;
    } cases[] = {
        {COMPRESS_STORED, 1000, 1000},
        {COMPRESS_ZSTD, 1000, ZSTD_compressBound(1000)},
        {COMPRESS_LZ4, 1000, (size_t)LZ4_compressBound(1000)},
        {COMPRESS_LZ4, LZ4_MAX_INPUT_SIZE, (size_t)LZ4_compressBound(LZ4_MAX_INPUT_SIZE)},
        // Beyond lz4's input limit there is no bound, also where a 32-bit
        // cut of the length would look small.
        {COMPRESS_LZ4, (size_t)LZ4_MAX_INPUT_SIZE + 1, 0},
        {COMPRESS_LZ4, ((size_t)1 << 32) + 64, 0},
        {9, 1000, 1000},
    };
    for (auto &c : cases)
        EXPECT_EQ(compress_bound(c.id, c.len), c.expected) << "id " << c.id << " length " << c.len;
}

TEST(Compress, RoundTrips)
{
    // The self-test's pattern.
    std::vector<uint8_t> data(LIBTEST_PATTERN_SIZE);
    libtest_fill_pattern(data.data(), data.size());
    for (int id : {COMPRESS_ZSTD, COMPRESS_LZ4}) {
        std::vector<uint8_t> packed(compress_bound(id, data.size()));
        size_t n = compress_block(id, 3, data.data(), data.size(), packed.data(), packed.size());
        EXPECT_GT(n, 0u) << id;
        EXPECT_LT(n, data.size()) << id;
        std::vector<uint8_t> back(data.size());
        size_t produced = 0;
        EXPECT_EQ(decompress_block(id, packed.data(), n, back.data(), back.size(), &produced), 0) << id;
        EXPECT_EQ(produced, data.size()) << id;
        EXPECT_TRUE(back == data) << id;
    }
}

TEST(Compress, ZeroMeansStoreTheBlock)
{
    const std::vector<uint8_t> random = test_noise(100), good = compressible(4096);
    std::vector<uint8_t> out(ZSTD_compressBound(4096) + 64);
    struct {
        const char *name;
        int id;
        const std::vector<uint8_t> *src;
        size_t cap;
    } cases[] = {
        {"zstd, random bytes", COMPRESS_ZSTD, &random, out.size()},
        {"lz4, random bytes", COMPRESS_LZ4, &random, out.size()},
        {"stored", COMPRESS_STORED, &good, out.size()},
        {"unknown id", 9, &good, out.size()},
        {"zstd, destination too small", COMPRESS_ZSTD, &good, 8},
        {"lz4, destination too small", COMPRESS_LZ4, &good, 8},
    };
    for (auto &c : cases)
        EXPECT_EQ(compress_block(c.id, 3, c.src->data(), c.src->size(), out.data(), c.cap), 0u)
            << c.name;
    // Empty input never gets smaller.
    EXPECT_EQ(compress_block(COMPRESS_ZSTD, 3, "", 0, out.data(), out.size()), 0u);
}

TEST(Compress, Lz4RefusesInputBeyondItsLimit)
{
    // Only 64 bytes exist behind the pointer: the lengths below must be
    // refused before lz4 sees them. Cut to 32 bits, 4 GiB + 64 would read as
    // 64 and compress a cut-short block reported as the whole one.
    const std::vector<uint8_t> data = compressible(64);
    std::vector<uint8_t> out(1024);
    for (size_t len : {(size_t)LZ4_MAX_INPUT_SIZE + 1, ((size_t)1 << 32) + 64, (size_t)-1})
        EXPECT_EQ(compress_block(COMPRESS_LZ4, 0, data.data(), len, out.data(), out.size()), 0u)
            << len;
    // Compressed input may be longer than the input limit, but not beyond
    // what lz4's int lengths hold.
    for (size_t len : {(size_t)INT_MAX + 1, ((size_t)1 << 32) + 64, (size_t)-1}) {
        size_t produced = 7;
        EXPECT_EQ(decompress_block(COMPRESS_LZ4, data.data(), len, out.data(), out.size(), &produced),
                  SYS_EINVAL)
            << len;
        EXPECT_EQ(produced, 7u) << len;
    }
}

TEST(Compress, DecompressResults)
{
    const std::vector<uint8_t> data = compressible(4096);
    std::vector<uint8_t> z(ZSTD_compressBound(data.size())), l(compress_bound(COMPRESS_LZ4, data.size()));
    size_t zn = compress_block(COMPRESS_ZSTD, 3, data.data(), data.size(), z.data(), z.size());
    size_t ln = compress_block(COMPRESS_LZ4, 0, data.data(), data.size(), l.data(), l.size());
    ASSERT_GT(zn, 0u);
    ASSERT_GT(ln, 0u);
    // Damage a zstd frame where it always shows (the magic number; the
    // frame has no checksum), and cut the lz4 block short.
    std::vector<uint8_t> zbad(z.begin(), z.begin() + (long)zn), lbad(l.begin(), l.begin() + (long)ln);
    zbad[0] ^= 0xFF;
    lbad.resize(ln / 2);

    std::vector<uint8_t> back(data.size() + 16);
    struct {
        const char *name;
        int id;
        const uint8_t *src;
        size_t len, cap;
        int rc;
        size_t produced;  // checked when rc is 0
    } cases[] = {
        {"stored fits exactly", COMPRESS_STORED, data.data(), 100, 100, 0, 100},
        {"stored one byte short", COMPRESS_STORED, data.data(), 100, 99, SYS_EINVAL, 0},
        {"stored empty", COMPRESS_STORED, nullptr, 0, 0, 0, 0},
        {"zstd", COMPRESS_ZSTD, z.data(), zn, data.size(), 0, data.size()},
        {"zstd damaged", COMPRESS_ZSTD, zbad.data(), zn, data.size(), SYS_ECORRUPT, 0},
        {"zstd cut short", COMPRESS_ZSTD, z.data(), zn - 1, data.size(), SYS_ECORRUPT, 0},
        {"zstd destination too small", COMPRESS_ZSTD, z.data(), zn, data.size() - 1, SYS_ECORRUPT, 0},
        {"lz4", COMPRESS_LZ4, l.data(), ln, data.size(), 0, data.size()},
        {"lz4 cut short", COMPRESS_LZ4, lbad.data(), lbad.size(), data.size(), SYS_ECORRUPT, 0},
        {"lz4 destination too small", COMPRESS_LZ4, l.data(), ln, data.size() - 1, SYS_ECORRUPT, 0},
        {"unknown id", 9, data.data(), 100, 100, SYS_EINVAL, 0},
    };
    for (auto &c : cases) {
        size_t produced = 12345;
        EXPECT_EQ(decompress_block(c.id, c.src, c.len, back.data(), c.cap, &produced), c.rc) << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(produced, c.produced) << c.name;
            EXPECT_EQ(memcmp(back.data(), data.data(), c.produced), 0) << c.name;
        } else {
            EXPECT_EQ(produced, 12345u) << "produced left alone on failure: " << c.name;
        }
        // A null produced-length pointer is accepted.
        EXPECT_EQ(decompress_block(c.id, c.src, c.len, back.data(), c.cap, nullptr), c.rc) << c.name;
    }
}
