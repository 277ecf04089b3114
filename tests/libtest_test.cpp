// The built-in self-test: the round-trip pattern, the round trips and their
// failure sentences, and the answers to "--version" and "--selftest".
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "compress.h"
#include "libtest.h"
#include "test_util.h"

TEST(Libtest, Pattern)
{
    std::vector<uint8_t> p(LIBTEST_PATTERN_SIZE);
    libtest_fill_pattern(p.data(), p.size());
    EXPECT_EQ(test_hex(p.data(), 8), "00070e151c232a31");
    EXPECT_EQ(p[32], 0xE1) << "224 XOR 1";
    // Byte i is (7 * i) mod 256 XOR (i >> 5) mod 256, to the last one.
    size_t last = p.size() - 1;
    EXPECT_EQ(p[last], (uint8_t)(((7 * last) % 256) ^ ((last >> 5) % 256)));
}

TEST(Libtest, RunPassesAndLeavesTheBufferAlone)
{
    char err[64] = "untouched";
    EXPECT_EQ(libtest_run(err, sizeof err), 0);
    EXPECT_STREQ(err, "untouched");
    EXPECT_EQ(libtest_run(nullptr, 0), 0);
}

TEST(Libtest, RoundTrips)
{
    std::vector<uint8_t> pattern(LIBTEST_PATTERN_SIZE);
    libtest_fill_pattern(pattern.data(), pattern.size());
    const std::vector<uint8_t> noise = test_noise(LIBTEST_PATTERN_SIZE);
    struct {
        const char *name;
        int id;
        const std::vector<uint8_t> *data;
        int rc;
    } cases[] = {
        {"zstd", COMPRESS_ZSTD, &pattern, 0},
        {"lz4", COMPRESS_LZ4, &pattern, 0},
        // Storing is no compression: the output must be smaller.
        {"stored", COMPRESS_STORED, &pattern, 1},
        {"unknown id", 9, &pattern, 1},
        {"zstd on noise", COMPRESS_ZSTD, &noise, 1},
        {"lz4 on noise", COMPRESS_LZ4, &noise, 1},
    };
    for (auto &c : cases) {
        char err[64] = "";
        EXPECT_EQ(libtest_roundtrip(c.id, "round trip failed", c.data->data(), err, sizeof err), c.rc)
            << c.name;
        EXPECT_STREQ(err, c.rc ? "round trip failed" : "") << c.name;
    }
}

TEST(Libtest, FailureSentenceBounds)
{
    std::vector<uint8_t> pattern(LIBTEST_PATTERN_SIZE);
    libtest_fill_pattern(pattern.data(), pattern.size());
    char err[8];
    memset(err, 'X', sizeof err);
    EXPECT_EQ(libtest_roundtrip(9, "lz4 round trip failed", pattern.data(), err, 0), 1);
    EXPECT_EQ(err[0], 'X') << "size 0: nothing written";
    EXPECT_EQ(libtest_roundtrip(9, "lz4 round trip failed", pattern.data(), nullptr, 8), 1);
    EXPECT_EQ(libtest_roundtrip(9, "lz4 round trip failed", pattern.data(), err, 5), 1);
    EXPECT_STREQ(err, "lz4 ");
    EXPECT_EQ(err[5], 'X');
}

// opt_version_selftest over argv (without the program name); out gets what
// it printed on standard output.
static int version_selftest(const std::vector<std::string> &argv, std::string *out)
{
    test_args a(argv);
    testing::internal::CaptureStdout();
    int rc = opt_version_selftest(a.argc(), a.argv(), "orv_setup");
    *out = testing::internal::GetCapturedStdout();
    return rc;
}

TEST(Libtest, VersionAndSelftestAnswers)
{
    struct {
        std::vector<std::string> argv;
        int rc;
        const char *out;
    } cases[] = {
        {{}, -1, ""},
        {{"--silent", "--version=1"}, -1, ""},
        {{"--version"}, 0, "orv_setup 2.0.0-alpha.027\n"},
        {{"--selftest", "--version"}, 0, "orv_setup 2.0.0-alpha.027\n"},
        {{"--selftest"}, 0, "orv_setup 2.0.0-alpha.027: selftest ok\n"},
    };
    for (auto &c : cases) {
        std::string out;
        EXPECT_EQ(version_selftest(c.argv, &out), c.rc) << (c.argv.empty() ? "(none)" : c.argv[0]);
        EXPECT_EQ(out, c.out) << (c.argv.empty() ? "(none)" : c.argv[0]);
    }
}
