// Settings-line rules (comments, quotes, the byte-order mark) and the 'args'
// tokenizer.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "conf.h"
#include "test_util.h"

TEST(ConfLine, ValueEnd)
{
    struct {
        const char *line;
        int32_t end;
    } cases[] = {
        {"key = value # note", 12},
        {"key = value#note", 16},
        {"key=#x", 6},
        {"key = ;x", 6},
        {"key=a ;b", 6},
        {"key = a\t#b", 8},
        {"a=b=#c", 6},
        {"=v", 2},
        // Comment lines, also with an unterminated quote in them.
        {"# key = 'abc", 0},
        {"; x", 0},
        {"", 0},
        // A "#" after a blank in the key part cuts there, so no "=" is left.
        {"key #note = v", 4},
        {"k\t;c = v", 2},
        {"   #", 3},
        {"key", 3},
        {"key =", 5},
        {"key =   ", 8},
        // Quoted values: comments after the closing quote, with or without blanks.
        {"key = 'a # b' # note", 14},
        {"key = 'abc'#note", 11},
        {"key = \"x\" ;c", 10},
        {"key = 'a'  \t", 12},
        {"key = \"a\\\"b\\\\c\\d\"", 17},
        // Faulty quoted values.
        {"key = 'abc", -1},
        {"key = 'abc' x", -1},
        {"key = 'it''s'", -1},
        {"key = \"a\" \"b\"", -1},
        {"key = \"abc\\\"", -1},
        {"key = \"abc\\", -1},
        // Line ends never belong to the line.
        {"key = value\r\n", 11},
        {"key = value # c\n", 12},
        {"key = 'abc\r\n", -1},
        {"\r\n", 0},
        {"\n\r\n", 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(conf_value_end(c.line, strlen(c.line)), c.end) << "[" << c.line << "]";
        size_t or_len = c.end < 0 ? strlen(c.line) : (size_t)c.end;
        EXPECT_EQ(conf_value_end_or_len(c.line, strlen(c.line)), or_len) << "[" << c.line << "]";
    }
}

TEST(ConfLine, ValueEndReadsOnlyLenBytes)
{
    // The comment beyond len is not seen; the quote before it is unterminated.
    const char line[] = "key = 'a' # x";
    EXPECT_EQ(conf_value_end(line, 9), 9);
    EXPECT_EQ(conf_value_end(line, 8), -1);
}

TEST(ConfLine, StripComment)
{
    struct {
        const char *line;
        int rc;
        const char *after;
    } cases[] = {
        {"key = value # note", 0, "key = value "},
        {"key = value#note", 0, "key = value#note"},
        {"key = ;x", 0, "key = "},
        {"# all comment", 0, ""},
        {"key = 'a # b' # note", 0, "key = 'a # b' "},
        {"key = value\r\n", 0, "key = value"},
        // A faulty line stays as it was.
        {"key = 'abc", -1, "key = 'abc"},
        {"key = 'abc' x", -1, "key = 'abc' x"},
        {"key = \"abc\\\"", -1, "key = \"abc\\\""},
    };
    for (auto &c : cases) {
        std::string buf = c.line;
        EXPECT_EQ(conf_strip_comment(&buf[0]), c.rc) << c.line;
        EXPECT_STREQ(buf.c_str(), c.after) << c.line;
    }
}

TEST(ConfLine, Unquote)
{
    struct {
        const char *value, *expected;
    } cases[] = {
        {"'a # b'", "a # b"},
        {"\"a\\\"b\\\\c\\d\"", "a\"b\\c\\d"},
        {"\"\"", ""},
        {"''", ""},
        // Single quotes hold their bytes verbatim.
        {"'a\\'", "a\\"},
        {"plain 'x'", "plain 'x'"},
        {"", ""},
        // Whatever follows the closing quote is gone; without one, all is kept.
        {"'abc' x", "abc"},
        {"'abc", "abc"},
        {"\"a\\", "a\\"},
    };
    for (auto &c : cases) {
        std::string buf = c.value;
        char *r = conf_unquote(&buf[0]);
        EXPECT_EQ(r, &buf[0]) << c.value;
        EXPECT_STREQ(r, c.expected) << c.value;
    }
}

TEST(ConfLine, NeedsQuotes)
{
    struct {
        const char *value;
        int expected;
    } cases[] = {
        {"", 0},     {"a#b", 0},   {"a #b", 1},  {"a\t;b", 1}, {"#a", 1},
        {";a", 1},   {"'x", 1},    {"\"x", 1},   {" a ", 0},   {"a=b", 0},
        {"a\r\n", 0}, {"x'y'", 0}, {"a # ", 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(conf_needs_quotes(c.value), c.expected) << "[" << c.value << "]";
}

TEST(ConfFile, SkipBom)
{
    std::string dir = test_temp_dir("conf");
    struct {
        const char *name;
        std::string bytes, rest;
    } cases[] = {
        {"bom then text", "\xEF\xBB\xBFkey = v\n", "key = v\n"},
        {"bom only", "\xEF\xBB\xBF", ""},
        {"EF 41", "\xEF\x41", "\xEF\x41"},
        {"EF BB 41", "\xEF\xBB\x41", "\xEF\xBB\x41"},
        {"EF BB at the end", "\xEF\xBB", "\xEF\xBB"},
        {"EF alone", "\xEF", "\xEF"},
        {"no bom", "key = v", "key = v"},
        {"empty", "", ""},
    };
    int i = 0;
    for (auto &c : cases) {
        std::string path = dir + "/f" + std::to_string(i++);
        ASSERT_TRUE(test_write_file(path, c.bytes)) << c.name;
        FILE *f = fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr) << c.name;
        conf_skip_bom(f);
        std::string rest;
        for (int ch; (ch = fgetc(f)) != EOF;)
            rest += (char)ch;
        fclose(f);
        EXPECT_EQ(rest, c.rest) << c.name;
    }
}

// args_tokenize's outcome: the arguments or the message.
struct tokens {
    int rc;
    std::vector<std::string> args;
    std::string err;
};

static tokens tokenize(const char *text, int max_tokens)
{
    std::vector<char *> slots((size_t)(max_tokens > 0 ? max_tokens : 0) + 1, nullptr);
    char err[128] = "";
    tokens t;
    t.rc = args_tokenize(text, slots.data(), max_tokens, err, sizeof err);
    t.err = err;
    for (int i = 0; i < t.rc; i++) {
        t.args.push_back(slots[(size_t)i]);
        free(slots[(size_t)i]);
    }
    if (t.rc < 0) {
        for (char *s : slots)
            EXPECT_EQ(s, nullptr) << "an argument left behind after a failure: " << text;
    }
    return t;
}

TEST(ConfArgs, Tokenize)
{
    std::string a1023(1023, 'a'), a1024(1024, 'a');
    std::string q1023 = "\"" + a1023 + "\"", q1024 = "\"" + a1024 + "\"";
    struct {
        const char *name;
        std::string text;
        int max_tokens;
        int rc;
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {"three", "x y\tz", 8, 3, {"x", "y", "z"}, ""},
        {"every white space", " \tx\ny\vz\f\rw ", 8, 4, {"x", "y", "z", "w"}, ""},
        {"quoted then bare", "\"x y\"z", 8, 2, {"x y", "z"}, ""},
        {"quote inside a bare argument", "a\"b c", 8, 2, {"a\"b", "c"}, ""},
        {"escapes", "\"a\\\"b\\\\c\\d\"", 8, 1, {"a\"b\\c\\d"}, ""},
        {"backslash in a bare argument", "a\\\"b", 8, 1, {"a\\\"b"}, ""},
        {"empty quotes", "\"\" x", 8, 2, {"", "x"}, ""},
        {"empty text", "", 8, 0, {}, ""},
        {"only white space", " \t\r\n", 8, 0, {}, ""},
        {"1023 bytes", a1023, 8, 1, {a1023}, ""},
        {"1023 quoted bytes", q1023, 8, 1, {a1023}, ""},
        {"1024 bytes", "x " + a1024, 8, -1, {}, "token too long in 'args'"},
        {"1024 quoted bytes", q1024, 8, -1, {}, "token too long in 'args'"},
        {"unterminated", "x \"abc", 8, -1, {}, "unterminated quote in 'args'"},
        {"escaped last quote", "\"abc\\\"", 8, -1, {}, "unterminated quote in 'args'"},
        {"too many", "a b c", 2, -1, {}, "too many tokens in 'args'"},
        {"exactly enough", "a b ", 2, 2, {"a", "b"}, ""},
        {"no room at all", "a", 0, -1, {}, "too many tokens in 'args'"},
    };
    for (auto &c : cases) {
        tokens t = tokenize(c.text.c_str(), c.max_tokens);
        EXPECT_EQ(t.rc, c.rc) << c.name;
        EXPECT_EQ(t.args, c.args) << c.name;
        EXPECT_EQ(t.err, c.err) << c.name;
    }
}

TEST(ConfArgs, ErrorBufferBounds)
{
    char *slots[1] = {nullptr};
    // A null buffer or size 0 gets nothing; a small one a cut, terminated text.
    EXPECT_EQ(args_tokenize("\"x", slots, 1, nullptr, 10), -1);
    char err[8];
    memset(err, 'X', sizeof err);
    EXPECT_EQ(args_tokenize("\"x", slots, 1, err, 0), -1);
    EXPECT_EQ(err[0], 'X');
    EXPECT_EQ(args_tokenize("\"x", slots, 1, err, 6), -1);
    EXPECT_STREQ(err, "unter");
    EXPECT_EQ(err[6], 'X');
}
