// Option lookups: table rows, option values and flags in an argument vector.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opt.h"
#include "test_util.h"

static const opt_row kTable[] = {
    {"--silent", "/silent", 0},
    {"--url", "-u", 1},
    {"--url-file", nullptr, 1},
    {"--to", nullptr, 1},
    {"--flag", nullptr, 0},
    // Reached only through its alias, which looks like "--flag" with a value.
    {"--other", "--flag=1", 0},
    {nullptr, nullptr, 0},
};

TEST(OptTable, Find)
{
    static const char kStale[] = "stale";
    struct {
        const char *arg;
        int row;             // index into kTable, -1 for no match
        const char *value;   // expected *value, null for none
    } cases[] = {
        {"--silent", 0, nullptr},
        {"/silent", 0, nullptr},
        {"--url", 1, nullptr},
        {"--url=https://x", 1, "https://x"},
        {"--url=", 1, ""},
        {"-u", 1, nullptr},
        // The name is a prefix of a longer name: the longer row matches.
        {"--url-file=a", 2, "a"},
        {"--url-file", 2, nullptr},
        // "-u=x" is not the alias: aliases match exactly.
        {"-u=x", -1, nullptr},
        {"--urlx", -1, nullptr},
        {"--silentx", -1, nullptr},
        // A flag given a value is rejected; the search goes on and finds
        // the alias of a later row, with no value left behind.
        {"--flag=1", 5, nullptr},
        {"--flag=2", -1, nullptr},
        {"--silent=1", -1, nullptr},
        {"--flag", 4, nullptr},
        {"", -1, nullptr},
        {"-", -1, nullptr},
    };
    for (auto &c : cases) {
        const char *value = kStale;
        const opt_row *row = opt_table_find(kTable, c.arg, &value);
        EXPECT_EQ(row, c.row < 0 ? nullptr : &kTable[c.row]) << c.arg;
        if (c.value) {
            EXPECT_STREQ(value, c.value) << c.arg;
        } else {
            // Never a value from a rejected row, never the caller's old one.
            EXPECT_EQ(value, nullptr) << c.arg;
        }
    }
}

TEST(OptTable, NullTableAndValuePointer)
{
    const char *value = "stale";
    EXPECT_EQ(opt_table_find(nullptr, "--silent", &value), nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(opt_table_find(kTable, "--url=x", nullptr), &kTable[1]);
}

TEST(OptValue, Lookup)
{
    struct {
        const char *name;
        std::vector<std::string> argv;
        const char *long_name, *short_name;
        const char *expected;  // "DEF" stands for the default
    } cases[] = {
        {"inline empty", {"--answers="}, "--answers", nullptr, ""},
        {"inline", {"--answers=a.txt"}, "--answers", nullptr, "a.txt"},
        {"next element", {"--answers", "a.txt"}, "--answers", nullptr, "a.txt"},
        {"last element", {"--silent", "--answers"}, "--answers", nullptr, "DEF"},
        {"next is an option", {"--answers", "--silent"}, "--answers", nullptr, "--silent"},
        {"first wins", {"--answers", "a", "--answers=b"}, "--answers", nullptr, "a"},
        {"first inline wins", {"--answers=b", "--answers", "a"}, "--answers", nullptr, "b"},
        {"longer name", {"--answersfile=x"}, "--answers", nullptr, "DEF"},
        {"absent", {"--silent"}, "--answers", nullptr, "DEF"},
        {"no arguments", {}, "--answers", nullptr, "DEF"},
        {"short", {"-a", "x"}, "--answers", "-a", "x"},
        {"short only", {"-a", "x"}, nullptr, "-a", "x"},
        {"short takes no inline value", {"-a=x"}, nullptr, "-a", "DEF"},
        {"neither name", {"-a", "x"}, nullptr, nullptr, "DEF"},
        {"double dash is not special", {"--", "--answers", "z"}, "--answers", nullptr, "z"},
    };
    for (auto &c : cases) {
        test_args a(c.argv);
        const char *v = opt_value(a.argc(), a.argv(), c.long_name, c.short_name, "DEF");
        EXPECT_STREQ(v, c.expected) << c.name;
    }
    test_args none({"--answers", "x"});
    EXPECT_STREQ(opt_value(1, none.argv(), "--answers", nullptr, "DEF"), "DEF") << "argc 1";
    EXPECT_EQ(opt_value(0, none.argv(), "--answers", nullptr, nullptr), nullptr) << "argc 0";
}

TEST(OptPresent, ExactElementsOnly)
{
    struct {
        std::vector<std::string> argv;
        const char *long_name, *short_name;
        int expected;
    } cases[] = {
        {{"--version"}, "--version", nullptr, 1},
        {{"--version=1"}, "--version", nullptr, 0},
        {{"--versions"}, "--version", nullptr, 0},
        {{"--to", "-h"}, "--help", "-h", 1},
        {{"-h"}, nullptr, "-h", 1},
        {{"--help"}, nullptr, "-h", 0},
        {{}, "--help", "-h", 0},
    };
    for (auto &c : cases) {
        test_args a(c.argv);
        EXPECT_EQ(opt_present(a.argc(), a.argv(), c.long_name, c.short_name), c.expected)
            << (c.argv.empty() ? "(none)" : c.argv[0]) << " for " << (c.long_name ? c.long_name : "")
            << "/" << (c.short_name ? c.short_name : "");
    }
    // argv[0] is the program, never an option.
    test_args p({});
    p.store[0] = "--help";
    p.ptrs[0] = &p.store[0][0];
    EXPECT_EQ(opt_present(p.argc(), p.argv(), "--help", nullptr), 0);
}
