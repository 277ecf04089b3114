// base64, hex and UTC time stamps: the accepted leniencies, the refusals, and
// that no routine writes past the capacity it was given.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "codec.h"

TEST(Codec, B64Encode)
{
    struct {
        const char *data, *expected;
    } cases[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="},
        {"\xff\xfe\xfd", "//79"}, {"\xfb\xef\xbe", "++++"},
    };
    for (auto &c : cases) {
        size_t len = strlen(c.data), need = strlen(c.expected) + 1;
        // Exactly the required capacity: written in full with its NUL.
        std::vector<char> out(need, 'Z');
        EXPECT_EQ(b64_encode(c.data, len, out.data(), need), need - 1) << c.expected;
        EXPECT_STREQ(out.data(), c.expected) << c.expected;
        // One byte short: nothing at all is written.
        std::vector<char> small(need, 'Z');
        EXPECT_EQ(b64_encode(c.data, len, small.data(), need - 1), 0u) << c.expected;
        EXPECT_EQ(std::string(small.data(), need), std::string(need, 'Z')) << c.expected;
    }
    // A length whose encoded size overflows size_t fits no buffer.
    char out[8] = "Z";
    EXPECT_EQ(b64_encode("", SIZE_MAX, out, sizeof out), 0u);
    // The smallest length needing SIZE_MAX / 4 + 1 groups, i.e. more than
    // SIZE_MAX characters with the NUL, even with a capacity of SIZE_MAX.
    EXPECT_EQ(b64_encode("", (SIZE_MAX / 4 + 1) * 3 - 2, out, SIZE_MAX), 0u);
    EXPECT_EQ(out[0], 'Z');
}

TEST(Codec, B64Decode)
{
    struct {
        const char *text;
        int rc;
        const char *expected;
    } cases[] = {
        {"YWJj", 0, "abc"},
        {"YWI=", 0, "ab"},
        {"YWI", 0, "ab"},
        {"YWI==", 0, "ab"},
        {"YQ==", 0, "a"},
        {"YQ", 0, "a"},
        {"YW\nJj", 0, "abc"},
        {" \tY W\r\nJ\vj\f ", 0, "abc"},
        {"YWI=\n", 0, "ab"},
        {"YWI= =", 0, "ab"},
        {"YWJj==", 0, "abc"},
        {"", 0, ""},
        {"=", 0, ""},
        {"A", 0, ""},
        {"//79", 0, "\xff\xfe\xfd"},
        {"YW=Jj", -1, ""},
        {"YWI===", -1, ""},
        {"YW-j", -1, ""},
        {"YW_j", -1, ""},
        {"YWJ", -1, ""},
        {"YQ=x", -1, ""},
        {"Q", -1, ""},
        {"YR==", -1, ""},
        {"YW\x80j", -1, ""},
        {"YW\xa0j", -1, ""},
        {"YW.j", -1, ""},
    };
    for (auto &c : cases) {
        uint8_t out[16];
        size_t n = 99;
        int rc = b64_decode(c.text, out, sizeof out, &n);
        EXPECT_EQ(rc, c.rc) << c.text;
        if (c.rc == 0 && rc == 0) {
            EXPECT_EQ(std::string((char *)out, n), c.expected) << c.text;
        } else {
            EXPECT_EQ(n, 99u) << "length written on failure: " << c.text;
        }
    }
    EXPECT_EQ(b64_decode(nullptr, nullptr, 0, nullptr), -1);
    uint8_t one[1];
    EXPECT_EQ(b64_decode("YQ==", one, 1, nullptr), 0);
}

// A text that decodes to one byte more than the capacity fails without
// writing the extra byte (the buffer is exactly cap bytes on the heap).
TEST(Codec, B64DecodeCapacity)
{
    struct {
        const char *text;
        size_t cap;
        int rc;
    } cases[] = {
        {"YWJj", 3, 0}, {"YWJj", 2, -1}, {"YWI=", 2, 0}, {"YWI=", 1, -1},
        {"YQ==", 1, 0}, {"YQ==", 0, -1}, {"", 0, 0},     {"A", 0, 0},
    };
    for (auto &c : cases) {
        std::vector<uint8_t> out(c.cap);
        size_t n = 99;
        EXPECT_EQ(b64_decode(c.text, out.data(), c.cap, &n), c.rc)
            << c.text << " cap " << c.cap;
        if (c.rc == 0) {
            EXPECT_LE(n, c.cap) << c.text;
        }
    }
    // A 32-byte key and a 64-byte signature round-trip through the exact sizes.
    for (size_t len : {32u, 64u}) {
        uint8_t data[64], back[64];
        for (size_t i = 0; i < len; i++)
            data[i] = (uint8_t)(i * 37 + 11);
        char text[89];
        size_t n = 0;
        ASSERT_EQ(b64_encode(data, len, text, 4 * ((len + 2) / 3) + 1), 4 * ((len + 2) / 3));
        EXPECT_EQ(b64_decode(text, back, len, &n), 0) << len;
        EXPECT_EQ(n, len);
        EXPECT_EQ(memcmp(back, data, len), 0) << len;
        EXPECT_EQ(b64_decode(text, back, len - 1, &n), -1) << len;
    }
}

TEST(Codec, HexEncode)
{
    struct {
        const char *data;
        size_t n;
        const char *expected;
    } cases[] = {
        {"", 0, ""},
        {"\x00", 1, "00"},
        {"\x01\xab\xff\x7f", 4, "01abff7f"},
    };
    for (auto &c : cases) {
        std::vector<char> out(2 * c.n + 2, 'Z');
        hex_encode(c.data, c.n, out.data());
        EXPECT_STREQ(out.data(), c.expected) << c.expected;
        EXPECT_EQ(out[2 * c.n + 1], 'Z') << c.expected;
    }
}

TEST(Codec, HexDecode)
{
    struct {
        const char *text;
        size_t n;
        int rc;
        const char *bytes; // what out holds afterwards; the rest stays 'Z'
        size_t written;
    } cases[] = {
        {"0aFf", 2, 0, "\x0a\xff", 2},
        {"00ff7F80", 4, 0, "\x00\xff\x7f\x80", 4},
        {"", 0, 0, "", 0},
        {"0aF", 2, -1, "", 0},
        {"0aFff", 2, -1, "", 0},
        {"0a", 2, -1, "", 0},
        {"00", 0, -1, "", 0},
        {"0g00", 2, -1, "", 0},
        // The first pair is good and stays written; the second is no digit pair.
        {"0a0x", 2, -1, "\x0a", 1},
        {"0a 0", 2, -1, "\x0a", 1},
        {"+1-1", 2, -1, "", 0},
    };
    for (auto &c : cases) {
        uint8_t out[8];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(hex_decode(c.text, out, c.n), c.rc) << c.text;
        EXPECT_EQ(memcmp(out, c.bytes, c.written), 0) << c.text;
        for (size_t i = c.written; i < sizeof out; i++)
            EXPECT_EQ(out[i], 'Z') << c.text << " byte " << i;
    }
    EXPECT_EQ(hex_decode(nullptr, nullptr, 0), -1);
    // A huge n is refused by the text's length without computing 2n.
    uint8_t out[1];
    EXPECT_EQ(hex_decode("00", out, SIZE_MAX), -1);
    EXPECT_EQ(hex_decode("00", out, SIZE_MAX / 2 + 1), -1);
}

TEST(Codec, TimeParseIsoUtc)
{
    struct {
        const char *text;
        int rc;
        int64_t expected;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0, 0},
        {"1970-01-01T00:00:01Z", 0, 1},
        {"2000-02-29T00:00:00Z", 0, 951782400},
        {"2000-03-01T00:00:00Z", 0, 951868800},
        {"2024-02-29T12:00:00Z", 0, 1709208000},
        {"2026-10-26T13:45:07Z", 0, 1793022307},
        {"2038-01-19T03:14:08Z", 0, 2147483648LL},
        {"2106-02-07T06:28:16Z", 0, 4294967296LL},
        {"9999-12-31T23:59:59Z", 0, 253402300799LL},
        {"9999-12-31T23:59:60Z", 0, 253402300800LL},
        {"2026-01-01T00:00:60Z", 0, 1767225660},
        {"2026-01-01T00:01:00Z", 0, 1767225660},
        {"2026-12-31T23:59:60Z", 0, 1798761600},
        // The scan conversion's own leniency for two-digit fields.
        {"2026-+1-05T00:00:00Z", 0, 1767571200},
        {"2026- 1-05T00:00:00Z", 0, 1767571200},
        {"2026-01-05T+0:00:00Z", 0, 1767571200},
        {"2026-01-05T 0: 0: 0Z", 0, 1767571200},
        // Only the length is counted, so a short field may leave room for
        // one trailing byte after the "Z".
        {"2026-01-5T00:00:00Z ", 0, 1767571200},
        {"2026-01-5T00:00:00Zx", 0, 1767571200},

        {"1969-12-31T23:59:59Z", -1, 0},
        {"10000-01-01T00:00:00Z", -1, 0},
        {"0000-01-01T00:00:00Z", -1, 0},
        {"2100-02-29T00:00:00Z", -1, 0},
        {"2023-02-29T00:00:00Z", -1, 0},
        {"2026-04-31T00:00:00Z", -1, 0},
        {"2026-06-31T00:00:00Z", -1, 0},
        {"2026-00-10T00:00:00Z", -1, 0},
        {"2026-13-10T00:00:00Z", -1, 0},
        {"2026-01-00T00:00:00Z", -1, 0},
        {"2026-01-32T00:00:00Z", -1, 0},
        {"2026-01-01T24:00:00Z", -1, 0},
        {"2026-01-01T00:60:00Z", -1, 0},
        {"2026-01-01T00:00:61Z", -1, 0},
        {"2026--1-05T00:00:00Z", -1, 0},
        {"2026-01-01T00:00:00z", -1, 0},
        {"2026-01-01 00:00:00Z", -1, 0},
        {"2026-01-01t00:00:00Z", -1, 0},
        {"2026-01-01T00:00:00+00:00", -1, 0},
        {"2026-01-01T00:00:00.5Z", -1, 0},
        {"2026-01-01T00:00:00", -1, 0},
        {"2026-01-01T00:00:00ZZ", -1, 0},
        {"2026-01-01T00:00:00Z ", -1, 0},
        {"2026-1-1T0:0:0Z", -1, 0},
        {"2026-01-01", -1, 0},
        {"", -1, 0},
        {"abcdefghijklmnopqrst", -1, 0},
    };
    for (auto &c : cases) {
        int64_t t = -12345;
        int rc = time_parse_iso_utc(c.text, &t);
        EXPECT_EQ(rc, c.rc) << c.text;
        EXPECT_EQ(t, c.rc == 0 ? c.expected : -12345) << c.text;
    }
    int64_t t = -12345;
    EXPECT_EQ(time_parse_iso_utc(nullptr, &t), -1);
    EXPECT_EQ(t, -12345);
}

// The first of every month from 1970 to 9999 lies exactly the previous
// month's length in days after the first of that month, and the last day of
// each month is accepted while the day after it is not: a wrong month length
// or leap rule shows as a jump, a gap or a wrong refusal.
TEST(Codec, TimeParseEveryMonthEnd)
{
    int64_t prev = 0;
    int prev_len = 0;
    for (int y = 1970; y <= 9999; y++) {
        for (int m = 1; m <= 12; m++) {
            bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
            int len = m == 2 ? (leap ? 29 : 28) : (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
            char first[32], last[32], after[32];
            snprintf(first, sizeof first, "%04d-%02d-01T00:00:00Z", y, m);
            snprintf(last, sizeof last, "%04d-%02d-%02dT23:59:60Z", y, m, len);
            snprintf(after, sizeof after, "%04d-%02d-%02dT00:00:00Z", y, m, len + 1);
            int64_t t = 0, t_last = 0;
            ASSERT_EQ(time_parse_iso_utc(first, &t), 0) << first;
            if (prev_len) {
                ASSERT_EQ(t, prev + prev_len * 86400LL) << first;
            }
            ASSERT_EQ(time_parse_iso_utc(last, &t_last), 0) << last;
            ASSERT_EQ(t_last, t + len * 86400LL) << last;
            ASSERT_EQ(time_parse_iso_utc(after, &t_last), -1) << after;
            prev = t;
            prev_len = len;
        }
    }
}
