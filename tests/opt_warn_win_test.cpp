// The unknown-option warner: its warnings through the log, what it skips, and
// the log options it knows once the system-log hooks are set up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log.h"
#include "opt.h"
#include "test_util.h"

// Collects the warnings that reach the log.
static std::vector<std::string> g_warnings;

static void collect(int level, const char *text, void *)
{
    EXPECT_EQ(level, LOG_WARN) << text;
    g_warnings.push_back(text);
}

// Runs opt_warn_unknown over argv (without the program name) and returns the
// warnings it logged; *count gets its result.
static std::vector<std::string> warn(const std::vector<std::string> &argv, const opt_row *table,
                                     int max_positional, int *count)
{
    test_args a(argv);
    g_warnings.clear();
    log_set_callback(collect, nullptr);
    *count = opt_warn_unknown(a.argc(), a.argv(), table, max_positional);
    log_set_callback(nullptr, nullptr);
    return g_warnings;
}

static const opt_row kTable[] = {
    {"--silent", "-s", 0},
    {"--to", nullptr, 1},
    {nullptr, nullptr, 0},
};

struct warn_case {
    const char *name;
    std::vector<std::string> argv;
    int max_positional;
    std::vector<std::string> warnings;
};

static void check(const warn_case *cases, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        const warn_case &c = cases[i];
        int count = -1;
        auto got = warn(c.argv, kTable, c.max_positional, &count);
        EXPECT_EQ(got, c.warnings) << c.name;
        EXPECT_EQ(count, (int)c.warnings.size()) << c.name;
    }
}

TEST(OptWarn, UnknownOptionsAndStrayArguments)
{
    const warn_case cases[] = {
        {"positional beyond the limit", {"a", "b"}, 1, {"unexpected argument 'b' ignored"}},
        {"double dash ends the scan", {"a", "--", "b", "--frob"}, 1, {}},
        {"a lone dash is positional", {"-", "-"}, 1, {"unexpected argument '-' ignored"}},
        {"no positional allowed", {"x"}, 0, {"unexpected argument 'x' ignored"}},
        {"inline value", {"--frob=1"}, 0, {"unknown option '--frob=...' ignored"}},
        {"only the part before the first =", {"--frob=a=b"}, 0,
         {"unknown option '--frob=...' ignored"}},
        {"value after it is skipped", {"--frob", "x"}, 0,
         {"unknown option '--frob' ignored (with the value after it)"}},
        {"an option after it is looked at", {"--frob", "-v"}, 0,
         {"unknown option '--frob' ignored", "unknown option '-v' ignored"}},
        {"last element", {"--frob"}, 0, {"unknown option '--frob' ignored"}},
        {"known rows", {"--silent", "-s", "--to", "1.0", "--to=2.0"}, 0, {}},
        // A value option consumes the next element, whatever it looks like.
        {"value option takes the next element", {"--to", "--frob"}, 0, {}},
        {"value option as the last element", {"--to"}, 0, {}},
        {"built-in rows", {"--help", "-h", "--version", "--selftest"}, 0, {}},
        {"a flag given a value is unknown", {"--silent=1"}, 0,
         {"unknown option '--silent=...' ignored"}},
    };
    check(cases, sizeof cases / sizeof cases[0]);
}

TEST(OptWarn, NullTableKnowsTheBuiltInRows)
{
    int count = -1;
    auto got = warn({"--version", "--to"}, nullptr, 0, &count);
    EXPECT_EQ(got, (std::vector<std::string>{"unknown option '--to' ignored"}));
    EXPECT_EQ(count, 1);
}

// Kept in one test: syslog_setup cannot be undone within the process.
TEST(OptWarn, LogOptionsOnlyAfterSyslogSetup)
{
    const warn_case before[] = {
        {"--log-path before", {"--log-path", "f.log"}, 0,
         {"unknown option '--log-path' ignored (with the value after it)"}},
        {"--no-log before", {"--no-log"}, 0, {"unknown option '--no-log' ignored"}},
    };
    ASSERT_EQ(syslog_options_enabled(), 0);
    check(before, sizeof before / sizeof before[0]);

    char prog[] = "prog";
    char *argv[] = {prog, nullptr};
    syslog_setup(1, argv, "orv_setup");
    const warn_case after[] = {
        {"--log-path after", {"--log-path", "f.log"}, 0, {}},
        {"all five", {"--no-syslog", "--no-log", "--syslog", "daemon", "--log=x", "--log-path", "p"},
         0, {}},
        // A flag among them still refuses a value.
        {"--no-log with a value", {"--no-log=1"}, 0, {"unknown option '--no-log=...' ignored"}},
        {"the caller's table first", {"--silent", "--syslog", "-s"}, 0, {}},
    };
    check(after, sizeof after / sizeof after[0]);
}
