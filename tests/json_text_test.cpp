// JSON text output: the exact bytes the serializer writes for parsed and
// hand-built trees, round trips through the parser, memory running out, and
// the bounded writer's members, cuts and snprintf-style length.
#include <gtest/gtest.h>

#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

#include "json.h"
#include "json_text.h"
#include "test_util.h"

// The parsed tree of doc; fails the test (and returns null) when it does not parse.
static json_value *parse_doc(const std::string &doc)
{
    json_value *root = nullptr;
    char err[160] = "";
    if (json_parse(doc.data(), doc.size(), &root, err, sizeof err) != 0)
        ADD_FAILURE() << "does not parse: " << doc << ": " << err;
    return root;
}

// json_to_text of v as a string, "<null>" for a null result; *len_out gets the
// reported length (preset to 12345 to show when it is left alone).
static std::string to_text(const json_value *v, size_t *len_out = nullptr)
{
    size_t len = 12345;
    char *text = json_to_text(v, &len);
    if (len_out)
        *len_out = len;
    if (!text)
        return "<null>";
    std::string s(text, strlen(text));
    EXPECT_EQ(len, s.size());
    free(text);
    return s;
}

// 1 when both trees hold the same values. Numbers compare by value, not by
// is_integer (1.0 is written as 1, which parses back as an integer) nor by the
// sign of a zero (an integral -0 is written as 0).
static bool same_tree(const json_value *a, const json_value *b)
{
    if (a->kind != b->kind || a->count != b->count)
        return false;
    switch (a->kind) {
    case JSON_BOOL:
        return a->boolean == b->boolean;
    case JSON_NUMBER:
        if (a->is_integer && b->is_integer && a->integer != b->integer)
            return false;
        return a->number == b->number;
    case JSON_STRING:
        return strcmp(a->string, b->string) == 0;
    case JSON_ARRAY:
    case JSON_OBJECT:
        for (uint64_t i = 0; i < a->count; i++) {
            if (a->kind == JSON_OBJECT && strcmp(a->keys[i], b->keys[i]) != 0)
                return false;
            if (!same_tree(a->items[i], b->items[i]))
                return false;
        }
        return true;
    default:
        return true;
    }
}

TEST(JsonText, ParsedDocumentsAreWrittenCompactly)
{
    struct {
        const char *doc;
        const char *expected;
    } cases[] = {
        {"null", "null"},
        {"true", "true"},
        {" false ", "false"},
        {"[]", "[]"},
        {"{}", "{}"},
        {"[ 1 ,\t2 ,\r\n3 ]", "[1,2,3]"},
        // Integers exactly, everything else with 17 significant digits.
        {"1.0", "1"},
        {"1e2", "100"},
        {"0.1", "0.10000000000000001"},
        {"-0", "0"},
        {"-0.0", "-0"},
        {"1.5", "1.5"},
        {"-2.5e3", "-2500"},
        {"-1.25e-5", "-1.2500000000000001e-05"},
        {"1e300", "1.0000000000000001e+300"},
        {"1e-7", "9.9999999999999995e-08"},
        {"9223372036854775807", "9223372036854775807"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"12345678901234567890", "1.2345678901234567e+19"},
        // Strings: the five short escapes, \u00XX for other control bytes,
        // "/" and every byte from 0x7F up unchanged.
        {"\"a\\\"b\\\\c\\/d\"", "\"a\\\"b\\\\c/d\""},
        {"\"\\b\\f\\n\\r\\t\"", "\"\\u0008\\u000c\\n\\r\\t\""},
        {"\"\\u0001\\u001F\\u001f x\"", "\"\\u0001\\u001f\\u001f x\""},
        {"\"caf\\u00e9\"", "\"caf\xC3\xA9\""},
        {"\"\\uD83D\\uDE00\"", "\"\xF0\x9F\x98\x80\""},
        {"\"\x7F\xFF\xC3\xA9\"", "\"\x7F\xFF\xC3\xA9\""},
        {"\"\"", "\"\""},
        // Members and elements in document order, names escaped like values.
        {"{ \"b\" : [1, {\"a\": null}], \"a\": \"x\" }", "{\"b\":[1,{\"a\":null}],\"a\":\"x\"}"},
        {"{\"\\n\\u0002\": [[], {}, [[\"\"]]]}", "{\"\\n\\u0002\":[[],{},[[\"\"]]]}"},
    };
    for (auto &c : cases) {
        json_value *v = parse_doc(c.doc);
        size_t len = 0;
        EXPECT_EQ(to_text(v, &len), c.expected) << c.doc;
        EXPECT_EQ(len, strlen(c.expected)) << c.doc;
        json_free(v);
    }
}

TEST(JsonText, HandBuiltTrees)
{
    json_value null_node = {}, bool2 = {}, kind6 = {}, nan_num = {}, inf_num = {}, neg_zero = {},
               no_string = {}, one = {};
    null_node.kind = JSON_NULL;
    bool2.kind = JSON_BOOL;
    bool2.boolean = 2;
    kind6.kind = 6;
    nan_num.kind = JSON_NUMBER;
    nan_num.number = NAN;
    inf_num.kind = JSON_NUMBER;
    inf_num.number = -INFINITY;
    neg_zero.kind = JSON_NUMBER;
    neg_zero.number = -0.0;
    no_string.kind = JSON_STRING;  // string left null
    one.kind = JSON_NUMBER;
    one.is_integer = 1;
    one.integer = 1;
    one.number = 1.0;

    // Arrays holding one of the nodes above after a 1.
    json_value *with_kind6[] = {&one, &kind6};
    json_value *with_nan[] = {&one, &nan_num};
    json_value arr_kind6 = {}, arr_nan = {};
    arr_kind6.kind = arr_nan.kind = JSON_ARRAY;
    arr_kind6.count = arr_nan.count = 2;
    arr_kind6.items = with_kind6;
    arr_nan.items = with_nan;

    struct {
        const char *name;
        const json_value *v;
        const char *expected;
        size_t len;  // reported length
    } cases[] = {
        {"null pointer", nullptr, "null", 4},
        {"null node", &null_node, "null", 4},
        {"boolean 2", &bool2, "true", 4},
        {"non-integral -0", &neg_zero, "-0", 2},
        {"string node without text", &no_string, "\"\"", 2},
        // No JSON exists for these: no text, length 0, never a text with a hole.
        {"kind 6", &kind6, "<null>", 0},
        {"kind 6 inside an array", &arr_kind6, "<null>", 0},
        {"NaN", &nan_num, "<null>", 0},
        {"NaN inside an array", &arr_nan, "<null>", 0},
        {"-infinity", &inf_num, "<null>", 0},
    };
    for (auto &c : cases) {
        size_t len = 0;
        EXPECT_EQ(to_text(c.v, &len), c.expected) << c.name;
        EXPECT_EQ(len, c.len) << c.name;
    }

    // The emitter itself skips what has no JSON and goes on.
    json_text_buffer b = {};
    json_emit_value(&b, &arr_kind6);
    json_emit_value(&b, &inf_num);
    EXPECT_STREQ(b.buf, "[1,]");
    free(b.buf);
}

TEST(JsonText, EveryByteRoundTrips)
{
    // A string of every byte 1 to 255: whatever the escapes are, the parser
    // must read back exactly these bytes, and the writer's quoting must agree
    // with the serializer's byte for byte.
    std::string all;
    for (int c = 1; c < 256; c++)
        all += (char)c;
    json_text_buffer b = {};
    json_emit_string(&b, all.c_str());
    ASSERT_EQ(b.oom, 0);
    json_value *v = parse_doc(std::string(b.buf, b.len));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(json_string(v)), all);
    json_free(v);

    char buf[2048];
    json_writer w;
    jsonw_init(&w, buf, sizeof buf);
    jsonw_quote(&w, all.c_str());
    EXPECT_EQ(std::string(buf, w.len), std::string(b.buf, b.len));
    free(b.buf);
}

// A random tree for the round trip, built by hand (json_free releases it):
// strings of any bytes 1 to 255, 64-bit integers, finite doubles of any
// exponent, and arrays and objects up to depth levels further down.
static json_value *random_tree(std::mt19937_64 &rng, int depth)
{
    json_value *v = (json_value *)calloc(1, sizeof *v);
    int kind = (int)(rng() % (depth > 0 ? 6 : 4));
    switch (kind) {
    case 0:
        v->kind = JSON_NULL;
        break;
    case 1:
        v->kind = JSON_BOOL;
        v->boolean = (uint32_t)(rng() % 2);
        break;
    case 2:
        v->kind = JSON_NUMBER;
        if (rng() % 2) {
            v->is_integer = 1;
            v->integer = (int64_t)rng() >> (rng() % 64);
            v->number = (double)v->integer;
        } else {
            // Any bit pattern that is finite and normal (the parser refuses
            // subnormal values as out of range).
            do {
                uint64_t bits = rng();
                memcpy(&v->number, &bits, sizeof bits);
            } while (!isnormal(v->number));
        }
        break;
    case 3: {
        v->kind = JSON_STRING;
        size_t n = rng() % 24;
        v->string = (char *)calloc(n + 1, 1);
        for (size_t i = 0; i < n; i++)
            v->string[i] = (char)(1 + rng() % 255);
        break;
    }
    default: {
        v->kind = kind == 4 ? JSON_ARRAY : JSON_OBJECT;
        v->count = rng() % 5;
        v->items = (json_value **)calloc(v->count + 1, sizeof *v->items);
        if (v->kind == JSON_OBJECT)
            v->keys = (char **)calloc(v->count + 1, sizeof *v->keys);
        for (uint64_t i = 0; i < v->count; i++) {
            v->items[i] = random_tree(rng, depth - 1);
            if (v->keys) {
                // Names unique within the object, as the parser demands.
                std::string name = std::string(1, (char)(1 + rng() % 255)) + "\x7f\"\\" + std::to_string(i);
                v->keys[i] = strdup(name.c_str());
            }
        }
        break;
    }
    }
    return v;
}

TEST(JsonText, RandomTreesRoundTrip)
{
    // Written and parsed again, every tree gives back the same values.
    std::mt19937_64 rng(1104);
    for (int round = 0; round < 3000; round++) {
        json_value *tree = random_tree(rng, 4);
        std::string text = to_text(tree);
        json_value *back = parse_doc(text);
        if (back) {
            EXPECT_TRUE(same_tree(tree, back)) << text;
        }
        json_free(tree);
        json_free(back);
    }
}

TEST(JsonText, DeepNestingRoundTrips)
{
    std::string doc;
    for (int i = 0; i < 31; i++)
        doc += i % 2 ? "{\"k\":" : "[";
    doc += "\"leaf\"";
    for (int i = 30; i >= 0; i--)
        doc += i % 2 ? "}" : "]";
    json_value *v = parse_doc(doc);
    EXPECT_EQ(to_text(v), doc);
    json_free(v);
}

TEST(JsonText, NumbersIgnoreTheProcessLocale)
{
    // With a decimal comma a printf-formatted 1.5 would read 1,5: no JSON.
    if (!test_decimal_comma_locale())
        GTEST_SKIP() << "no locale with a decimal comma here";
    json_value *v = parse_doc("[1.5,0.1,-2e-9]");
    std::string text = to_text(v);
    setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(text, "[1.5,0.10000000000000001,-2.0000000000000001e-09]");
    json_free(v);
}

// ---- memory running out ------------------------------------------------------

static int g_reallocs_left;  // allocations that still succeed
static void *failing_realloc(void *p, size_t n)
{
    if (g_reallocs_left <= 0)
        return nullptr;
    g_reallocs_left--;
    return realloc(p, n);
}

TEST(JsonText, MemoryRunningOutGivesNoTextAtAll)
{
    // 1051 bytes written in small pieces: the buffer grows 256, 512, 1024, 2048.
    std::string doc = "[\"abcd\"";
    for (int i = 1; i < 150; i++)
        doc += ",\"abcd\"";
    doc += "]";
    json_value *v = parse_doc(doc);
    ASSERT_NE(v, nullptr);
    void *(*saved)(void *, size_t) = json_text_realloc;
    json_text_realloc = failing_realloc;
    struct {
        int allowed;
        const char *expected;
    } cases[] = {
        {0, "<null>"},  // the first 256 bytes
        {1, "<null>"},  // growing to 512
        {2, "<null>"},  // growing to 1024
        {3, "<null>"},  // growing to 2048 (the sanitizers see the 1024 freed)
        {4, nullptr},   // enough: the whole text
    };
    for (auto &c : cases) {
        g_reallocs_left = c.allowed;
        size_t len = 0;
        std::string got = to_text(v, &len);
        if (c.expected) {
            EXPECT_EQ(got, c.expected) << c.allowed;
            EXPECT_EQ(len, 12345u) << "length left alone, " << c.allowed;
        } else {
            EXPECT_EQ(got, doc) << c.allowed;
        }
    }
    json_text_realloc = saved;
    json_free(v);

    // Once the flag is set, nothing more is appended.
    char keep[] = "[1";
    json_text_buffer b = {keep, 2, sizeof keep, 1};
    json_emit_value(&b, nullptr);
    json_emit_string(&b, "x");
    EXPECT_STREQ(b.buf, "[1");
    EXPECT_EQ(b.len, 2u);
}

TEST(JsonText, BufferGrowsFrom256ByDoubling)
{
    struct {
        size_t text;  // bytes of the string's content
        size_t cap;   // capacity after appending it quoted to a fresh buffer
    } cases[] = {// the quotes are appended on their own: text + 2 bytes and the NUL
                 {0, 256}, {253, 256}, {254, 512}, {509, 512}, {510, 1024}, {3000, 4096}};
    for (auto &c : cases) {
        json_text_buffer b = {};
        json_emit_string(&b, std::string(c.text, 'a').c_str());
        EXPECT_EQ(b.len, c.text + 2) << c.text;
        EXPECT_EQ(b.cap, c.cap) << c.text;
        free(b.buf);
    }
}

// ---- bounded writer ----------------------------------------------------------

TEST(JsonWriter, MembersAndValues)
{
    char buf[512];
    json_writer w;
    jsonw_init(&w, buf, sizeof buf);
    jsonw_begin_object(&w);
    jsonw_key_string(&w, "name", "a\"b\\c/\x01\xC3\xA9");
    jsonw_key_string(&w, "none", nullptr);
    jsonw_key_u64(&w, "max", UINT64_MAX);
    jsonw_key_i64(&w, "min", INT64_MIN);
    jsonw_key_i64(&w, "neg", -42);
    jsonw_key_bool(&w, "two", 2);
    jsonw_key_bool(&w, "zero", 0);
    jsonw_key_string(&w, nullptr, "");  // a missing name is the empty one
    jsonw_append_raw(&w, nullptr);      // appends nothing
    jsonw_end_object(&w);
    const char *expected = "{\"name\":\"a\\\"b\\\\c/\\u0001\xC3\xA9\",\"none\":null,"
                           "\"max\":18446744073709551615,\"min\":-9223372036854775808,"
                           "\"neg\":-42,\"two\":true,\"zero\":false,\"\":\"\"}";
    EXPECT_STREQ(buf, expected);
    EXPECT_EQ(w.len, strlen(expected));
    EXPECT_EQ(w.want, w.len);
    EXPECT_EQ(w.count, 8);
    json_value *v = parse_doc(buf);
    json_free(v);
}

TEST(JsonWriter, NestedValuesThroughKeyAndRaw)
{
    // Inner object and array placed after jsonw_key; begin_object in the
    // middle of the buffer counts from 0 again, and the outer members that
    // follow still get their comma.
    char inner_buf[64];
    json_writer inner;
    jsonw_init(&inner, inner_buf, sizeof inner_buf);
    jsonw_begin_object(&inner);
    jsonw_key_u64(&inner, "x", 1);
    jsonw_end_object(&inner);

    char buf[256];
    json_writer w;
    jsonw_init(&w, buf, sizeof buf);
    jsonw_begin_object(&w);
    jsonw_key_u64(&w, "a", 1);
    jsonw_key(&w, "sub");
    jsonw_append_raw(&w, inner_buf);
    jsonw_key(&w, "list");
    jsonw_append_raw(&w, "[");
    jsonw_append_string(&w, "p\tq");
    jsonw_append_raw(&w, ",");
    jsonw_append_string(&w, nullptr);
    jsonw_append_raw(&w, "]");
    jsonw_key(&w, "inline");
    jsonw_begin_object(&w);
    jsonw_key_bool(&w, "b", 1);
    jsonw_end_object(&w);
    jsonw_key_i64(&w, "c", 3);
    jsonw_end_object(&w);
    EXPECT_STREQ(buf, "{\"a\":1,\"sub\":{\"x\":1},\"list\":[\"p\\tq\",\"\"],\"inline\":{\"b\":true},\"c\":3}");
    json_value *v = parse_doc(buf);
    json_free(v);
}

// One fixed document written into w.
static void write_sample(json_writer *w)
{
    jsonw_begin_object(w);
    jsonw_key_string(w, "name", "line\nbreak \x02");
    jsonw_key_i64(w, "n", -12345);
    jsonw_key_bool(w, "ok", 1);
    jsonw_end_object(w);
}

TEST(JsonWriter, EveryCapacityCutsLikeSnprintf)
{
    char full_buf[256];
    json_writer full;
    jsonw_init(&full, full_buf, sizeof full_buf);
    write_sample(&full);
    const std::string whole(full_buf, full.len);
    ASSERT_EQ(full.want, whole.size());

    // Every capacity from 0 to beyond the whole text: the buffer holds the
    // longest prefix that fits with its NUL, nothing past the NUL is touched,
    // and want is the whole length, so a cut (want > len) is never mistaken
    // for a text that fitted, also when the capacity is 0.
    for (size_t cap = 0; cap <= whole.size() + 2; cap++) {
        char buf[300];
        memset(buf, '#', sizeof buf);
        json_writer w;
        jsonw_init(&w, buf, cap);
        write_sample(&w);
        size_t kept = cap ? std::min(whole.size(), cap - 1) : 0;
        EXPECT_EQ(w.len, kept) << "cap " << cap;
        EXPECT_EQ(w.want, whole.size()) << "cap " << cap;
        EXPECT_EQ(w.want > w.len, cap <= whole.size()) << "cap " << cap;
        EXPECT_EQ(w.count, 3) << "cap " << cap;
        if (cap) {
            EXPECT_EQ(std::string(buf, kept), whole.substr(0, kept)) << "cap " << cap;
            EXPECT_EQ(buf[kept], '\0') << "cap " << cap;
        }
        size_t untouched = cap ? kept + 1 : 0;
        EXPECT_EQ(std::string(buf + untouched, sizeof buf - untouched), std::string(sizeof buf - untouched, '#'))
            << "cap " << cap;
    }
}

TEST(JsonWriter, FullBufferStaysUnchangedButCountsMembers)
{
    char buf[16];
    json_writer w;
    jsonw_init(&w, buf, sizeof buf);
    jsonw_begin_object(&w);
    jsonw_key_string(&w, "key", "a long value that cannot fit");
    EXPECT_STREQ(buf, "{\"key\":\"a long ");
    EXPECT_EQ(w.len, 15u);
    jsonw_key_u64(&w, "more", 7);
    jsonw_key_bool(&w, "b", 0);
    jsonw_end_object(&w);
    EXPECT_STREQ(buf, "{\"key\":\"a long ");
    EXPECT_EQ(w.count, 3);
    EXPECT_EQ(w.want, strlen("{\"key\":\"a long value that cannot fit\",\"more\":7,\"b\":false}"));
}
