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
