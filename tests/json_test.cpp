// The JSON parser on good and hostile documents, its limits, and the accessors.
// Every document is handed over in a heap block of exactly its length, so the
// sanitizer build catches any read past the end.
#include <gtest/gtest.h>

#include <locale.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <string>

#include "json.h"
#include "test_util.h"

// Parses doc from an exactly-sized copy; err gets the message.
static int parse(const std::string &doc, json_value **root, std::string *err = nullptr)
{
    std::unique_ptr<char[]> copy(new char[doc.size() ? doc.size() : 1]);
    memcpy(copy.get(), doc.data(), doc.size());
    char msg[160];
    memset(msg, 'Z', sizeof msg);
    int rc = json_parse(copy.get(), doc.size(), root, msg, sizeof msg);
    if (err)
        *err = msg;
    return rc;
}

// The message of a failing parse, or "ok" (the tree freed) when it parses.
static std::string parse_error(const std::string &doc)
{
    json_value *root = nullptr;
    std::string err;
    if (parse(doc, &root, &err) == 0) {
        json_free(root);
        return "ok";
    }
    EXPECT_EQ(root, nullptr) << doc;
    return err;
}

// Text of n copies of s.
static std::string repeat(const std::string &s, size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++)
        out += s;
    return out;
}

TEST(Json, ScalarsAndNumbers)
{
    struct {
        const char *doc;
        int kind;
        int is_integer;
        int64_t integer;
        double number;
    } cases[] = {
        {"null", JSON_NULL, 0, 0, 0},
        {" true\n", JSON_BOOL, 0, 0, 0},
        {"false", JSON_BOOL, 0, 0, 0},
        {"0", JSON_NUMBER, 1, 0, 0},
        {"-0", JSON_NUMBER, 1, 0, -0.0},
        {"42", JSON_NUMBER, 1, 42, 42},
        {"9223372036854775807", JSON_NUMBER, 1, INT64_MAX, 9223372036854775807.0},
        {"-9223372036854775808", JSON_NUMBER, 1, INT64_MIN, -9223372036854775808.0},
        // Beyond 64 bits: a double only.
        {"9223372036854775808", JSON_NUMBER, 0, 0, 9223372036854775808.0},
        {"12345678901234567890", JSON_NUMBER, 0, 0, 12345678901234567890.0},
        {"1.0", JSON_NUMBER, 0, 0, 1.0},
        {"1e2", JSON_NUMBER, 0, 0, 100.0},
        {"-2.5E-3", JSON_NUMBER, 0, 0, -0.0025},
        {"0.1", JSON_NUMBER, 0, 0, 0.1},
        {"1E+2", JSON_NUMBER, 0, 0, 100.0},
        {"1.7976931348623157e308", JSON_NUMBER, 0, 0, 1.7976931348623157e308},
        // The smallest normal double is in range (just below it is not, see
        // the errors), and so is a zero written with a tiny exponent.
        {"2.2250738585072014e-308", JSON_NUMBER, 0, 0, 2.2250738585072014e-308},
        {"0e-400", JSON_NUMBER, 0, 0, 0.0},
        {"-0.000e-999", JSON_NUMBER, 0, 0, -0.0},
        // 40 bytes of number text is the most accepted.
        {"1000000000000000000000000000000000000000", JSON_NUMBER, 0, 0, 1e39},
        {"-0.0000000000000000000000000000000000001", JSON_NUMBER, 0, 0, -1e-37},
    };
    for (auto &c : cases) {
        json_value *v = nullptr;
        std::string err;
        ASSERT_EQ(parse(c.doc, &v, &err), 0) << c.doc << ": " << err;
        EXPECT_EQ(json_kind(v), c.kind) << c.doc;
        EXPECT_EQ(v->is_integer, c.is_integer) << c.doc;
        int64_t i = 7;
        EXPECT_EQ(json_int(v, &i), c.is_integer) << c.doc;
        EXPECT_EQ(i, c.is_integer ? c.integer : 7) << c.doc;
        if (c.kind == JSON_NUMBER) {
            EXPECT_EQ(v->number, c.number) << c.doc;
            EXPECT_EQ(std::signbit(v->number), std::signbit(c.number)) << c.doc;
        }
        if (c.kind == JSON_BOOL) {
            int b = 7;
            EXPECT_EQ(json_bool(v, &b), 1) << c.doc;
            EXPECT_EQ(b, strcmp(c.doc, "false") ? 1 : 0) << c.doc;
        }
        json_free(v);
    }
}

TEST(Json, ErrorsNameReasonAndOffset)
{
    struct {
        std::string doc;
        const char *expected;
    } cases[] = {
        // Empty input, white space and what is no white space.
        {"", "unexpected end at byte 0"},
        {" \t\r\n", "unexpected end at byte 4"},
        {"[", "unexpected end at byte 1"},
        {"\xEF\xBB\xBF{}", "unexpected character at byte 0"},
        {"\f1", "unexpected character at byte 0"},
        {"1\v", "unexpected data after the document at byte 1"},
        {"1 2", "unexpected data after the document at byte 2"},
        {"\"a\" \"b\"", "unexpected data after the document at byte 4"},
        {"{}}", "unexpected data after the document at byte 2"},
        // Literals.
        {"tru", "unexpected character at byte 0"},
        {"nul", "unexpected character at byte 0"},
        {"[nulL]", "unexpected character at byte 1"},
        {"fals", "unexpected character at byte 0"},
        {"falsy", "unexpected character at byte 0"},
        {"truex", "unexpected data after the document at byte 4"},
        {"[trueX]", "expected , or ] at byte 5"},
        {"True", "unexpected character at byte 0"},
        // Numbers: the offset is always the number's first byte.
        {"01", "leading zero in number at byte 0"},
        {"[-01]", "leading zero in number at byte 1"},
        {"1.", "bad number at byte 0"},
        {"1.e5", "bad number at byte 0"},
        {"1e", "bad number at byte 0"},
        {"1e+", "bad number at byte 0"},
        {"-", "bad number at byte 0"},
        {"[1, -x]", "bad number at byte 4"},
        {"+1", "unexpected character at byte 0"},
        {".5", "unexpected character at byte 0"},
        {"1e999", "number out of range at byte 0"},
        {"[0, -1e999]", "number out of range at byte 4"},
        {"1e-400", "number out of range at byte 0"},
        // Underflow below the smallest normal double is a range error too.
        {"1e-310", "number out of range at byte 0"},
        {"[-4.9e-324]", "number out of range at byte 1"},
        {"2.2250738585072011e-308", "number out of range at byte 0"},
        {"-0.0000000001e-300", "number out of range at byte 0"},
        {"1" + std::string(40, '0'), "number too long at byte 0"},
        {"[ -0." + std::string(37, '0') + "1]", "number too long at byte 2"},
        {"0x10", "unexpected data after the document at byte 1"},
        // Strings.
        {"\"abc", "unterminated string at byte 4"},
        {"\"a\tb\"", "control character in string at byte 2"},
        {std::string("\"a\0b\"", 5), "control character in string at byte 2"},
        {"\"\\x\"", "bad escape at byte 3"},
        {"\"\\", "bad escape at byte 2"},
        {"\"\\U0041\"", "bad escape at byte 3"},
        {"\"\\u12\"", "bad \\u escape at byte 3"},
        {"\"\\u12", "bad \\u escape at byte 3"},
        {"\"\\u00g0\"", "bad \\u escape at byte 3"},
        {"\"\\uDE00\"", "lone surrogate at byte 7"},
        {"\"\\uD83D\"", "bad surrogate pair at byte 7"},
        {"\"\\uD83D", "bad surrogate pair at byte 7"},
        {"\"\\uD83D\\u0041\"", "bad surrogate pair at byte 7"},
        {"\"\\uD83D\\uD83D\"", "bad surrogate pair at byte 7"},
        {"\"\\uD83D\\uDE0\"", "bad surrogate pair at byte 7"},
        {"\"\\uD83D\\n\"", "bad surrogate pair at byte 7"},
        {"\"\\u0000\"", "NUL in string at byte 7"},
        // Arrays.
        {"[1,]", "unexpected character at byte 3"},
        {"[,1]", "unexpected character at byte 1"},
        {"[1", "unterminated array at byte 2"},
        {"[1 ", "unterminated array at byte 3"},
        {"[1,", "unexpected end at byte 3"},
        {"[1 2]", "expected , or ] at byte 3"},
        {"[1}", "expected , or ] at byte 2"},
        // Objects.
        {"{", "expected a string key at byte 1"},
        {"{\"a\":1,}", "expected a string key at byte 7"},
        {"{\"a\":1, }", "expected a string key at byte 8"},
        {"{1:2}", "expected a string key at byte 1"},
        {"{'a':1}", "expected a string key at byte 1"},
        {"{\"a\"", "expected : at byte 4"},
        {"{\"a\" 1}", "expected : at byte 5"},
        {"{\"a\":}", "unexpected character at byte 5"},
        {"{\"a\":1", "unterminated object at byte 6"},
        {"{\"a\":1 x", "expected , or } at byte 7"},
        {"{\"a\":1]", "expected , or } at byte 6"},
        {"{\"a\":1,\"\\u0061\":2}", "duplicate key at byte 17"},
        {"{\"a\":1,\"b\":2,\"a\":[1, {}] }", "duplicate key at byte 24"},
        // A duplicate in an inner object is judged only within that object.
        {"{\"a\":{\"a\":1},\"b\":{\"a\":2,\"a\":3}}", "duplicate key at byte 29"},
        // The first error wins over any later one.
        {"[01, \"\\x\"]", "leading zero in number at byte 1"},
    };
    for (auto &c : cases)
        EXPECT_EQ(parse_error(c.doc), c.expected) << c.doc;
}

TEST(Json, StringsDecode)
{
    struct {
        std::string doc;
        std::string expected;
    } cases[] = {
        {"\"\"", ""},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"\\u0041\\u00e9\\u00E9\"", "A\xC3\xA9\xC3\xA9"},
        {"\"\\u20ac\"", "\xE2\x82\xAC"},
        {"\"\\u07FF\\u0800\\uFFFF\"", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"},
        {"\"\\uDBFF\\uDFFF\"", "\xF4\x8F\xBF\xBF"},
        // Bytes from 0x7F up are copied as they stand, valid UTF-8 or not.
        {"\"\x7F\xFF\"", "\x7F\xFF"},
        {"\"\xC3\x28 \xED\xA0\x80 \xF8\x88\x80\x80\x80 \xC3\"", "\xC3\x28 \xED\xA0\x80 \xF8\x88\x80\x80\x80 \xC3"},
    };
    for (auto &c : cases) {
        json_value *v = nullptr;
        std::string err;
        ASSERT_EQ(parse(c.doc, &v, &err), 0) << c.doc << ": " << err;
        ASSERT_EQ(json_kind(v), JSON_STRING) << c.doc;
        EXPECT_EQ(std::string(json_string(v)), c.expected) << c.doc;
        json_free(v);
    }
}

TEST(Json, TreeKeepsDocumentOrder)
{
    json_value *root = nullptr;
    std::string err;
    ASSERT_EQ(parse("{\"b\": [1, \"x\", null, {}], \"a\": {\"c\": true}, \"\": []}", &root, &err), 0)
        << err;
    ASSERT_EQ(json_object_len(root), 3u);
    EXPECT_STREQ(json_object_key_at(root, 0), "b");
    EXPECT_STREQ(json_object_key_at(root, 1), "a");
    EXPECT_STREQ(json_object_key_at(root, 2), "");
    const json_value *b = json_object_get(root, "b");
    EXPECT_EQ(b, json_object_value_at(root, 0));
    ASSERT_EQ(json_array_len(b), 4u);
    int64_t i = 0;
    EXPECT_EQ(json_int(json_array_at(b, 0), &i), 1);
    EXPECT_EQ(i, 1);
    EXPECT_STREQ(json_string(json_array_at(b, 1)), "x");
    EXPECT_EQ(json_kind(json_array_at(b, 2)), JSON_NULL);
    EXPECT_NE(json_array_at(b, 2), nullptr);
    EXPECT_EQ(json_kind(json_array_at(b, 3)), JSON_OBJECT);
    EXPECT_EQ(json_array_at(b, 4), nullptr);
    int flag = 0;
    EXPECT_EQ(json_bool(json_object_get(json_object_get(root, "a"), "c"), &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(json_array_len(json_object_get(root, "")), 0u);
    EXPECT_EQ(json_object_get(root, "c"), nullptr);
    json_free(root);
}

TEST(Json, AccessorsAnswerNullOrZeroForMissingAndWrongKinds)
{
    json_value *root = nullptr;
    ASSERT_EQ(parse("{\"n\": 5, \"s\": \"t\", \"a\": [1], \"b\": false, \"f\": 1.5}", &root), 0);
    const json_value *n = json_object_get(root, "n");
    const json_value *s = json_object_get(root, "s");
    const json_value *a = json_object_get(root, "a");
    const json_value *f = json_object_get(root, "f");
    const json_value *nothing = nullptr;
    struct {
        const char *name;
        const json_value *v;
    } wrong[] = {{"null", nothing}, {"number", n}, {"string", s}, {"array", a}, {"double", f}};
    for (auto &c : wrong) {
        int b = 7;
        int64_t i = 7;
        if (c.v != s) {
            EXPECT_EQ(json_string(c.v), nullptr) << c.name;
        }
        if (c.v != n) {
            EXPECT_EQ(json_int(c.v, &i), 0) << c.name;
            EXPECT_EQ(i, 7) << c.name;
        }
        EXPECT_EQ(json_bool(c.v, &b), 0) << c.name;
        EXPECT_EQ(b, 7) << c.name;
        EXPECT_EQ(json_object_get(c.v, "n"), nullptr) << c.name;
        EXPECT_EQ(json_object_len(c.v), 0u) << c.name;
        EXPECT_EQ(json_object_key_at(c.v, 0), nullptr) << c.name;
        EXPECT_EQ(json_object_value_at(c.v, 0), nullptr) << c.name;
        if (c.v != a) {
            EXPECT_EQ(json_array_len(c.v), 0u) << c.name;
            EXPECT_EQ(json_array_at(c.v, 0), nullptr) << c.name;
        }
    }
    EXPECT_EQ(json_kind(nullptr), JSON_NULL);
    EXPECT_EQ(json_object_get(root, nullptr), nullptr);
    EXPECT_EQ(json_object_key_at(root, 5), nullptr);
    EXPECT_EQ(json_object_value_at(root, 5), nullptr);
    EXPECT_EQ(json_array_at(a, 1), nullptr);
    json_free(root);
    json_free(nullptr);
}

TEST(Json, NestingDepth)
{
    struct {
        const char *name;
        std::string doc;
        const char *expected;
    } cases[] = {
        {"32 arrays", repeat("[", 32) + repeat("]", 32), "ok"},
        {"33 arrays", repeat("[", 33) + repeat("]", 33), "nesting too deep at byte 32"},
        {"32 objects", repeat("{\"k\":", 31) + "{}" + repeat("}", 31), "ok"},
        {"33 objects", repeat("{\"k\":", 32) + "{}" + repeat("}", 32), "nesting too deep at byte 160"},
        // Depth is given back on closing: siblings of 31 levels inside one array.
        {"siblings", "[" + repeat("[", 31) + repeat("]", 31) + "," + repeat("[", 31) + repeat("]", 31) + "]",
         "ok"},
        {"unclosed", repeat("[", 1000), "nesting too deep at byte 32"},
    };
    for (auto &c : cases)
        EXPECT_EQ(parse_error(c.doc), c.expected) << c.name;
}

TEST(Json, ValueCount)
{
    // The array and 199999 elements are 200000 values, the most json_parse takes.
    std::string full = "[" + repeat("0,", 199998) + "0]";
    EXPECT_EQ(parse_error(full), "ok");

    // One value more; the offset depends on the kind of the value that overflows.
    std::string prefix = "[" + repeat("0,", 199999);
    size_t at = prefix.size();
    struct {
        const char *last;
        size_t offset;
    } cases[] = {
        {"7", at}, {"-1.5", at}, {"true", at}, {"null", at},
        {"\"xy\"", at + 4}, {"[]", at + 1}, {"{}", at + 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(parse_error(prefix + c.last + "]"), "too many values at byte " + std::to_string(c.offset))
            << c.last;
}

TEST(Json, MemberNamesAreNotCountedAndLargeObjectsStayLinear)
{
    // 199999 members plus their object: the limit exactly, names not counted.
    std::string doc = "{";
    for (int i = 0; i < 199999; i++)
        doc += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
    auto t0 = std::chrono::steady_clock::now();
    json_value *root = nullptr;
    std::string err;
    ASSERT_EQ(parse(doc + "}", &root, &err), 0) << err;
    EXPECT_EQ(json_object_len(root), 199999u);
    EXPECT_EQ(json_object_key_at(root, 123456), std::string("k123456"));
    int64_t v = -1;
    EXPECT_EQ(json_int(json_object_get(root, "k199998"), &v), 1);
    json_free(root);

    // A repeated name far down the object is still found, after its value.
    std::string dup = doc.substr(0, doc.rfind(',')) + ",\"k77\":1}";
    EXPECT_EQ(parse_error(dup), "duplicate key at byte " + std::to_string(dup.size() - 1));
    // Comparing every name with all earlier ones would take minutes here.
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 20.0);
}

TEST(Json, DocumentSize)
{
    std::string doc = "0" + std::string(JSON_MAX_DOCUMENT - 1, ' ');
    EXPECT_EQ(parse_error(doc), "ok");
    EXPECT_EQ(parse_error(doc + " "), "document too large");
}

TEST(Json, StringLength)
{
    std::string a65535(65535, 'a');
    struct {
        const char *name;
        std::string doc;
        const char *expected;
    } cases[] = {
        {"65535 bytes", "\"" + a65535 + "\"", "ok"},
        {"65536 bytes", "\"" + a65535 + "a\"", "string too long at byte 65536"},
        {"escape fills it", "\"" + a65535.substr(2) + "\\u00e9\"", "ok"},
        {"escape one past", "\"" + a65535.substr(1) + "\\u00e9\"", "string too long at byte 65541"},
        {"pair one past", "\"" + a65535.substr(2) + "\\uD83D\\uDE00\"", "string too long at byte 65546"},
        // As a member name too.
        {"name", "{\"" + a65535 + "a\":1}", "string too long at byte 65537"},
    };
    for (auto &c : cases)
        EXPECT_EQ(parse_error(c.doc), c.expected) << c.name;
}

TEST(Json, CallerLimits)
{
    struct {
        std::string doc;
        size_t max_size;
        unsigned max_depth, max_values;
        const char *expected;
    } cases[] = {
        {"[1]", 3, 1, 2, "ok"},
        {"[1]", 2, 1, 2, "document too large"},
        {"[1]", 3, 0, 2, "nesting too deep at byte 0"},
        {"[1]", 3, 1, 1, "too many values at byte 1"},
        {"1", 1, 0, 0, "too many values at byte 0"},
        {"\"s\"", 3, 0, 0, "too many values at byte 3"},
        // Beyond the defaults of json_parse.
        {repeat("[", 40) + repeat("]", 40), 80, 40, 40, "ok"},
        {repeat("[", 41) + repeat("]", 41), 82, 40, 50, "nesting too deep at byte 40"},
    };
    for (auto &c : cases) {
        json_value *root = nullptr;
        char err[100] = "junk";
        int rc = json_parse_limited(c.doc.data(), c.doc.size(), c.max_size, c.max_depth, c.max_values, &root,
                                    err, sizeof err);
        EXPECT_EQ(rc == 0 ? std::string("ok") : std::string(err), c.expected) << c.doc;
        EXPECT_EQ(rc == 0, root != nullptr) << c.doc;
        json_free(root);
    }
}

TEST(Json, MessageBufferIsOptionalAndBounded)
{
    json_value *root = (json_value *)&root;
    EXPECT_EQ(json_parse("[1,]", 4, &root, nullptr, 0), -1);
    EXPECT_EQ(root, nullptr);

    char err[12];
    memset(err, 'Z', sizeof err);
    EXPECT_EQ(json_parse("[1,]", 4, &root, err, 8), -1);
    EXPECT_STREQ(err, "unexpec");
    EXPECT_EQ(err[8], 'Z');

    // A success leaves an empty message.
    char full[64] = "old";
    ASSERT_EQ(json_parse("{}", 2, &root, full, sizeof full), 0);
    EXPECT_STREQ(full, "");
    json_free(root);

    // No text and no length is an empty document.
    EXPECT_EQ(json_parse(nullptr, 0, &root, full, sizeof full), -1);
    EXPECT_STREQ(full, "unexpected end at byte 0");
    // No text with a length has nothing to read: refused, not read.
    root = (json_value *)&root;
    EXPECT_EQ(json_parse(nullptr, 5, &root, full, sizeof full), -1);
    EXPECT_STREQ(full, "document missing");
    EXPECT_EQ(root, nullptr);
}

TEST(Json, NumbersIgnoreTheProcessLocale)
{
    // A locale whose decimal separator is a comma must not change "1.5".
    if (!test_decimal_comma_locale())
        GTEST_SKIP() << "no locale with a decimal comma here";
    json_value *v = nullptr;
    int rc = parse("[1.5, 2e-1]", &v);
    setlocale(LC_NUMERIC, "C");
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(json_array_at(v, 0)->number, 1.5);
    EXPECT_EQ(json_array_at(v, 1)->number, 0.2);
    json_free(v);
}

TEST(Json, EveryTruncationFailsCleanly)
{
    // Each proper prefix of an object is incomplete; none may parse, leak or
    // read past its end.
    std::string doc = "{\"name\": \"caf\\u00e9 \\uD83D\\uDE00\", \"list\": [1, -2.5e3, true, false, null,"
                      " {\"x\": []}], \"\\\"q\\\"\": {\"deep\": [[[\"\\n\"]]]}}";
    ASSERT_EQ(parse_error(doc), "ok");
    for (size_t n = 0; n < doc.size(); n++) {
        std::string err = parse_error(doc.substr(0, n));
        EXPECT_NE(err, "ok") << n;
        EXPECT_NE(err.find(" at byte "), std::string::npos) << n << ": " << err;
    }
}

TEST(Json, RandomDamageNeverCrashesOrLeaks)
{
    // Cheap fuzzing: damaged copies of small documents, judged by the
    // sanitizers and by the result contract (a tree, or null and a message
    // whose offset lies inside the document).
    const char *seeds[] = {
        "{\"a\": [1, 2.5e-3, \"x\\u00e9\\uD83D\\uDE00\", true, null], \"b\": {\"c\": false}}",
        "[[[[\"\\\\\\/\\b\"]]], {\"\": -0}, 123456789012345678901, 0.1]",
        "\"\\uDBFF\\uDFFF\\t\xC3\xA9\xFF\"",
    };
    const char alphabet[] = "{}[]\",:\\u0123456789abcdefABCDEF-+.eE tfnrl\x01\x7F\xFF";
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; round++) {
        std::string doc = seeds[round % 3];
        int edits = 1 + (int)(rng() % 4);
        for (int e = 0; e < edits && !doc.empty(); e++) {
            size_t at = rng() % doc.size();
            char c = alphabet[rng() % (sizeof alphabet - 1)];
            switch (rng() % 4) {
            case 0: doc[at] = c; break;
            case 1: doc.insert(doc.begin() + (long)at, c); break;
            case 2: doc.erase(at, 1); break;
            default: doc.resize(at); break;
            }
        }
        json_value *root = nullptr;
        std::string err;
        if (parse(doc, &root, &err) == 0) {
            ASSERT_NE(root, nullptr) << doc;
            json_free(root);
            continue;
        }
        ASSERT_EQ(root, nullptr) << doc;
        size_t pos = err.rfind(" at byte ");
        ASSERT_NE(pos, std::string::npos) << doc << ": " << err;
        EXPECT_LE(std::stoul(err.substr(pos + 9)), doc.size()) << doc << ": " << err;
    }
}
