// The engine's error writer and scanner.
#include <gtest/gtest.h>

#include <string.h>

#include "update.h"

TEST(Update, ErrorWriterRespectsTheBuffer)
{
    char err[8];
    update_error(err, sizeof err, "cannot write %s", "x");
    EXPECT_STREQ(err, "cannot ");
    memset(err, 'Z', sizeof err);
    update_error(err, 0, "cannot write %s", "x");
    EXPECT_EQ(err[0], 'Z');
    update_error(NULL, 100, "cannot write %s", "x");
}

// A sentence cut at the end of the caller's buffer keeps whole characters:
// the front end puts it, translated, into a text that must read as UTF-8.
TEST(Update, ErrorWriterCutsOnWholeCharacters)
{
    struct {
        size_t size;
        const char *expected;
    } cases[] = {
        {17, "product (b\xC3\xA4\xE2\x82\xAC)"},
        {16, "product (b\xC3\xA4\xE2\x82\xAC"},
        {15, "product (b\xC3\xA4"},
        {14, "product (b\xC3\xA4"},
        {13, "product (b\xC3\xA4"},
        {12, "product (b"},
        {11, "product (b"},
        {10, "product ("},
    };
    for (auto &c : cases) {
        char err[32];
        update_error(err, c.size, "product (%s)", "b\xC3\xA4\xE2\x82\xAC");
        EXPECT_STREQ(err, c.expected) << c.size;
    }
}

TEST(Update, ScannerReadsSixtyFourBits)
{
    long long v = 0;
    EXPECT_EQ(update_sscanf("n=9007199254740993", "n=%lld", &v), 1);
    EXPECT_EQ(v, 9007199254740993LL);
    EXPECT_EQ(update_sscanf("n=-12", "n=%lld", &v), 1);
    EXPECT_EQ(v, -12);
    EXPECT_EQ(update_sscanf("m=1", "n=%lld", &v), 0);
    EXPECT_EQ(update_sscanf("", "n=%lld", &v), -1);
    EXPECT_EQ(update_sscanf(NULL, "n=%lld", &v), -1);
}

TEST(Update, FormatterKeepsTheSnprintfContract)
{
    struct {
        size_t size;
        const char *expected;
    } cases[] = {{12, "alpha/beta"}, {11, "alpha/beta"}, {10, "alpha/bet"}, {1, ""}};
    for (auto &c : cases) {
        char buf[16];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(update_format(buf, c.size, "%s/%s", "alpha", "beta"), 10) << c.size;
        EXPECT_STREQ(buf, c.expected) << c.size;
    }
    // Size 0 writes nothing and still measures.
    char z = 'Z';
    EXPECT_EQ(update_format(&z, 0, "%lld", 1234567890123LL), 13);
    EXPECT_EQ(z, 'Z');
}
