// Version texts: the grammar's boundaries and SemVer precedence.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "version.h"

TEST(Version, Parse)
{
    std::string len48 = "1.2.3-" + std::string(42, 'a');
    std::string len49 = len48 + "a";
    struct {
        const char *text;
        int valid;
        uint32_t major, minor, patch;
        const char *pre; // null: no pre-release
    } cases[] = {
        {"1.2.3", 1, 1, 2, 3, nullptr},
        {"0.0.0", 1, 0, 0, 0, nullptr},
        {"01.002.0003", 1, 1, 2, 3, nullptr},
        {"999999999.999999999.999999999", 1, 999999999, 999999999, 999999999, nullptr},
        {"000000001.0.0", 1, 1, 0, 0, nullptr},
        {"2.0.0-alpha.027", 1, 2, 0, 0, "alpha.027"},
        {"1.0.0-a..b", 1, 1, 0, 0, "a..b"},
        {"1.0.0-.x", 1, 1, 0, 0, ".x"},
        {"1.0.0-x.", 1, 1, 0, 0, "x."},
        {"1.0.0-.", 1, 1, 0, 0, "."},
        {"1.0.0-0", 1, 1, 0, 0, "0"},
        {len48.c_str(), 1, 1, 2, 3, len48.c_str() + 6},

        {len49.c_str(), 0, 0, 0, 0, nullptr},
        {"1.2", 0, 0, 0, 0, nullptr},
        {"1.2.", 0, 0, 0, 0, nullptr},
        {"1..3", 0, 0, 0, 0, nullptr},
        {"1.2.3.4", 0, 0, 0, 0, nullptr},
        {"1.2.3-", 0, 0, 0, 0, nullptr},
        {"1.2.3+build", 0, 0, 0, 0, nullptr},
        {"1.2.3-rc+build", 0, 0, 0, 0, nullptr},
        {"v1.2.3", 0, 0, 0, 0, nullptr},
        {"1.2.3 ", 0, 0, 0, 0, nullptr},
        {" 1.2.3", 0, 0, 0, 0, nullptr},
        {"1.-2.3", 0, 0, 0, 0, nullptr},
        {"+1.2.3", 0, 0, 0, 0, nullptr},
        {"1000000000.0.0", 0, 0, 0, 0, nullptr},
        {"0.0000000000.0", 0, 0, 0, 0, nullptr},
        {"0.0.4294967296", 0, 0, 0, 0, nullptr},
        {"1.2.3-beta_1", 0, 0, 0, 0, nullptr},
        {"1.2.3-beta-1", 0, 0, 0, 0, nullptr},
        {"1.2.3-b\xC3\xA4", 0, 0, 0, 0, nullptr},
        {"1.2.3x", 0, 0, 0, 0, nullptr},
        {"", 0, 0, 0, 0, nullptr},
        {nullptr, 0, 0, 0, 0, nullptr},
    };
    for (auto &c : cases) {
        const char *name = c.text ? c.text : "(null)";
        version_parts p = {7, 7, 7, "x"};
        int rc = version_parse(c.text, &p);
        EXPECT_EQ(rc, c.valid ? 0 : -1) << name;
        EXPECT_EQ(version_is_valid(c.text), c.valid) << name;
        EXPECT_EQ(version_major(c.text), c.valid ? (int)c.major : -1) << name;
        if (rc == 0 && c.valid) {
            EXPECT_EQ(p.major, c.major) << name;
            EXPECT_EQ(p.minor, c.minor) << name;
            EXPECT_EQ(p.patch, c.patch) << name;
            if (c.pre) {
                // Borrowed: it points into the text itself, behind the "-".
                EXPECT_EQ(p.pre, c.text + strlen(c.text) - strlen(c.pre)) << name;
                EXPECT_STREQ(p.pre, c.pre) << name;
            } else {
                EXPECT_EQ(p.pre, nullptr) << name;
            }
        }
    }
    EXPECT_EQ(version_major("7.1.0"), 7);
}

// Each text ranks strictly below every later one; every pair is checked in
// both orders, so a comparison that is not antisymmetric shows too.
TEST(Version, PrecedenceChain)
{
    const char *chain[] = {
        "0.0.0-0",          "0.0.0",           "0.0.1",
        "1.0.0-",           // invalid: skipped below
        "1.0.0-0",          "1.0.0-1.a",       "1.0.0-2",
        "1.0.0-10",         "1.0.0-4294967295", "1.0.0-A",
        "1.0.0-RC",         "1.0.0-Z",         "1.0.0-a..b",
        "1.0.0-a.a.b",      "1.0.0-alpha",     "1.0.0-alpha.1",
        "1.0.0-alpha.beta", "1.0.0-beta",      "1.0.0-beta.2",
        "1.0.0-beta.11",    "1.0.0-rc",        "1.0.0-rc.1",
        "1.0.0-rc.1.0",     "1.0.0",           "1.0.1",
        "1.2.0",            "1.10.0",          "2.0.0-alpha.27",
        "2.0.0",            "10.0.0",          "999999999.0.0",
    };
    std::vector<const char *> ok;
    for (const char *v : chain)
        if (version_is_valid(v))
            ok.push_back(v);
    for (size_t i = 0; i < ok.size(); i++) {
        EXPECT_EQ(version_compare(ok[i], ok[i]), 0) << ok[i];
        for (size_t j = i + 1; j < ok.size(); j++) {
            EXPECT_EQ(version_compare(ok[i], ok[j]), -1) << ok[i] << " < " << ok[j];
            EXPECT_EQ(version_compare(ok[j], ok[i]), 1) << ok[j] << " > " << ok[i];
        }
    }
}

TEST(Version, CompareEqualAndInvalid)
{
    struct {
        const char *a, *b;
        int expected;
    } cases[] = {
        {"2.0.0-alpha.027", "2.0.0-alpha.27", 0},
        {"1.0.0-01", "1.0.0-1", 0},
        {"01.02.03", "1.2.3", 0},
        {"1.0.0-4294967296", "1.0.0-4294967297", 0},
        {"1.0.0-4294967295", "1.0.0-99999999999", 0},
        {"1.0.0-99999999999999999999999999999999999", "1.0.0-4294967295", 0},
        {"1.0.0-4294967294", "1.0.0-4294967296", -1},
        {"1.0.0-", "1.0.0", 0},
        {"1.0.0", "1.0.0-", 0},
        {"9.9.9", nullptr, 0},
        {nullptr, "9.9.9", 0},
        {"v2.0.0", "1.0.0", 0},
        {"1.0.0", "v2.0.0", 0},
        {"", "", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(version_compare(c.a, c.b), c.expected)
            << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
}
