// Texts for people: whole UTF-8 characters at a cut, the UTF-8 test, and the
// escaping of control characters.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "text.h"

TEST(TextUtf8, WholeLength)
{
    struct {
        const char *text;
        size_t expected;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"a\xC3", 1},
        {"a\xC3\xA4", 3},
        {"\xE2\x82", 0},
        {"\xF0\x9F\x98", 0},
        {"\xF0\x9F\x98\x80", 4},
        {"a\x80\x80\x80\x80", 5},  // no lead byte within reach: left alone
        {"a\xFF", 2},
    };
    for (auto &c : cases)
        EXPECT_EQ(text_utf8_whole(c.text, strlen(c.text)), c.expected) << "[" << c.text << "]";
}

// Only a text that fills its buffer can have been cut; a shorter one keeps
// even a byte that looks like the start of a character (the ANSI code page's
// "é" is 0xE9).
TEST(TextUtf8, CutWholeOnlyAtTheBufferEnd)
{
    struct {
        const char *text;
        size_t size;
        const char *expected;
    } cases[] = {
        {"ab\xC3", 4, "ab"},
        {"ab\xC3", 5, "ab\xC3"},
        {"a\xE2\x80", 4, "a"},
        {"a\xC3\xA4", 4, "a\xC3\xA4"},
        {"Caf\xE9", 6, "Caf\xE9"},
        {"Caf\xE9", 5, "Caf"},  // at the end of a full buffer it looks cut
        {"", 1, ""},
    };
    for (auto &c : cases) {
        char buf[16];
        snprintf(buf, sizeof buf, "%s", c.text);
        EXPECT_EQ(text_cut_whole(buf, c.size), strlen(c.expected)) << c.text;
        EXPECT_STREQ(buf, c.expected) << c.text << " in " << c.size;
    }
    EXPECT_EQ(text_cut_whole(nullptr, 4), 0u);
}

TEST(TextUtf8, Valid)
{
    struct {
        const char *text;
        int valid;
    } cases[] = {
        {"", 1},
        {"Pr\xC3\xBC" "f \xC3\x96rdner \xC3\x9F", 1},
        {"\xE2\x80\xA6", 1},
        {"\xF0\x9F\x98\x80", 1},
        {"\xF4\x8F\xBF\xBF", 1},          // U+10FFFF
        {"Pr\xFC" "f", 0},                // the ANSI code page's "ü"
        {"\xC3", 0},                      // cut short
        {"\xC3\x28", 0},                  // no continuation byte
        {"\xC0\xAF", 0},                  // overlong "/"
        {"\xE0\x80\xAF", 0},              // overlong "/"
        {"\xED\xA0\x80", 0},              // a surrogate
        {"\xF4\x90\x80\x80", 0},          // past U+10FFFF
        {"\x80", 0},                      // a lone continuation byte
    };
    for (auto &c : cases)
        EXPECT_EQ(text_utf8_valid(c.text, strlen(c.text)), c.valid) << c.text;
}

TEST(TextUtf8, RunsOfAMixedText)
{
    // A German sentence in UTF-8 that names a folder in the ANSI code page:
    // the runs alternate, and each byte belongs to exactly one.
    struct {
        const char *text;
        std::vector<std::pair<int, std::string>> runs;
    } cases[] = {
        {"", {}},
        {"l\xC3\xA4sst", {{1, "l\xC3\xA4sst"}}},
        {"Pr\xFC" "f", {{1, "Pr"}, {0, "\xFC"}, {1, "f"}}},
        {"C:\\Pr\xFC\xDF l\xC3\xA4sst",
         {{1, "C:\\Pr"}, {0, "\xFC\xDF"}, {1, " l\xC3\xA4sst"}}},
        {"\xC3", {{0, "\xC3"}}},               // cut short
        {"\xE2\x80\xA6\x80\xC3\xBC",       // a lone continuation byte between
         {{1, "\xE2\x80\xA6"}, {0, "\x80"}, {1, "\xC3\xBC"}}},
    };
    for (auto &c : cases) {
        std::vector<std::pair<int, std::string>> got;
        size_t n = strlen(c.text);
        for (size_t i = 0; i < n;) {
            int utf8 = -1;
            size_t k = text_utf8_run(c.text + i, n - i, &utf8);
            ASSERT_GT(k, 0u) << c.text;
            got.push_back({utf8, std::string(c.text + i, k)});
            i += k;
        }
        EXPECT_EQ(got, c.runs) << c.text;
    }
}

TEST(TextEscape, ControlCharactersAreShownNeverRaw)
{
    struct {
        const char *text;
        const char *expected;
    } cases[] = {
        {"", ""},
        {"Unbekannte Option --\x1b[2J\x1b[31mrot", "Unbekannte Option --\\x1b[2J\\x1b[31mrot"},
        {"Zeile 1\nZeile 2\r\nZeile 3", "Zeile 1\nZeile 2\r\nZeile 3"},
        {"Fortschritt\rgelogen", "Fortschritt\\x0dgelogen"},
        {"ende\r", "ende\\x0d"},
        {"a\tb\x01\x7f", "a\\x09b\\x01\\x7f"},
        {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\xA6", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x80\xA6"},
        // U+009B, a terminal's one-byte CSI, in a UTF-8 text.
        {"\xC2\x9B" "2J \xC3\xA4", "\\xc2\\x9b2J \xC3\xA4"},
        // The same two bytes in a text of the ANSI code page are "Â›".
        {"\xC2\x9B \xFC", "\xC2\x9B \xFC"},
        {"\xFC\x1b", "\xFC\\x1b"},
    };
    for (auto &c : cases) {
        char out[200];
        EXPECT_EQ(text_escape_controls(c.text, out, sizeof out), strlen(c.expected)) << c.text;
        EXPECT_STREQ(out, c.expected) << c.text;
        EXPECT_EQ(text_has_controls(c.text), strcmp(c.text, c.expected) != 0) << c.text;
    }
}

// A cut escaped text never ends inside an escape or a character, and the
// result is the length of the whole escaped text.
TEST(TextEscape, CutKeepsEscapesAndCharactersWhole)
{
    struct {
        const char *text;
        size_t size;
        const char *expected;
    } cases[] = {
        {"ab\x1b" "c", 3, "ab"},
        {"ab\x1b" "c", 6, "ab"},
        {"ab\x1b" "c", 7, "ab\\x1b"},
        {"a\xC3\xA4", 3, "a"},
        {"a\xC3\xA4", 4, "a\xC3\xA4"},
        {"\xC2\x9B" "x", 8, ""},
        {"\xC2\x9B" "x", 9, "\\xc2\\x9b"},
        {"abc", 1, ""},
    };
    for (auto &c : cases) {
        char out[16];
        memset(out, 'z', sizeof out);
        char whole[64];
        size_t full = text_escape_controls(c.text, whole, sizeof whole);
        EXPECT_EQ(text_escape_controls(c.text, out, c.size), full) << c.text << " in " << c.size;
        EXPECT_STREQ(out, c.expected) << c.text << " in " << c.size;
    }
    char untouched = 'z';
    EXPECT_EQ(text_escape_controls("\x1b", &untouched, 0), 4u);
    EXPECT_EQ(untouched, 'z') << "nothing is written into no room";
}

TEST(TextUtf8, HighBytes)
{
    EXPECT_EQ(text_has_high_bytes(""), 0);
    EXPECT_EQ(text_has_high_bytes("silent\ninstall_dir = C:\\x\n"), 0);
    EXPECT_EQ(text_has_high_bytes("Pr\xC3\xBC" "f"), 1);
    EXPECT_EQ(text_has_high_bytes("\x7f"), 0);
}
