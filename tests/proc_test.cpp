// The process runner's text work: quoting arguments for a Windows command
// line, the bounded output buffer, and the list of running product programs.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "proc.h"
#include "proc_cmdline.h"

TEST(ProcCmdline, QuotesWhatTheSplitWouldChange)
{
    struct {
        const char *arg;
        const char *line;
    } cases[] = {
        {"/Query", "/Query"},
        {"C:\\Program Files\\orv\\x.exe", "\"C:\\Program Files\\orv\\x.exe\""},
        {"a\tb", "\"a\tb\""},
        {"a\nb", "\"a\nb\""},
        {"a\vb", "\"a\vb\""},
        {"", "\"\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\"b", "\"a\\\"b\""},
        // Backslashes before a quote are doubled, and one more escapes it.
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},
        // Backslashes at the end of a quoted argument are doubled.
        {"dir with blank\\", "\"dir with blank\\\\\""},
        {"x y\\\\", "\"x y\\\\\\\\\""},
        // Backslashes before other characters stay as they are.
        {"a b\\c", "\"a b\\c\""},
        {"\\\\server\\share\\", "\\\\server\\share\\"},
        {"C:\\dir\\", "C:\\dir\\"},
    };
    for (auto &c : cases) {
        char line[256] = "";
        ASSERT_EQ(proc_cmdline_append_arg(line, sizeof line, c.arg), 0) << c.arg;
        EXPECT_STREQ(line, c.line) << "argument [" << c.arg << "]";
    }
}

TEST(ProcCmdline, JoinsWithOneBlank)
{
    char line[64] = "";
    for (const char *a : {"schtasks.exe", "/Query", "/TN", "orvantis updater", ""})
        ASSERT_EQ(proc_cmdline_append_arg(line, sizeof line, a), 0) << a;
    EXPECT_STREQ(line, "schtasks.exe /Query /TN \"orvantis updater\" \"\"");
}

TEST(ProcCmdline, RefusesWhatDoesNotFitWithItsNul)
{
    struct {
        const char *start;
        const char *arg;
        size_t cap;
        int expected;
    } cases[] = {
        {"", "abc", 4, 0},
        {"", "abc", 3, -1},
        {"x", "abc", 6, 0},   // "x abc" and the NUL
        {"x", "abc", 5, -1},
        {"x", "", 5, 0},      // x ""
        {"x", "", 4, -1},
        {"", "a b", 6, 0},    // "a b"
        {"", "a b", 5, -1},
        {"", "a b\\", 8, 0},  // "a b\\": the backslash doubled
        {"", "a b\\", 7, -1},
        {"", "\"", 5, 0},     // "\""
        {"", "\"", 4, -1},
    };
    for (auto &c : cases) {
        char line[16];
        memset(line, '#', sizeof line);
        memcpy(line, c.start, strlen(c.start) + 1);
        int rc = proc_cmdline_append_arg(line, c.cap, c.arg);
        EXPECT_EQ(rc, c.expected) << "[" << c.start << "] + [" << c.arg << "] in " << c.cap;
        EXPECT_NE(memchr(line, '\0', c.cap), nullptr) << "[" << c.arg << "] unterminated";
        EXPECT_EQ(line[c.cap], '#') << "[" << c.arg << "] wrote past " << c.cap;
    }
    // A line that is not terminated within cap is not appended to.
    char line[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(proc_cmdline_append_arg(line, sizeof line, "e"), -1);
}

TEST(ProcOutput, KeepsTheStartOfTheOutput)
{
    struct {
        const char *name;
        size_t cap;
        std::vector<std::string> pieces;
        std::string expected;
    } cases[] = {
        {"fits", 16, {"abc", "def"}, "abcdef"},
        {"exactly cap - 1", 7, {"abc", "def"}, "abcdef"},
        {"cut in a piece", 5, {"abc", "def"}, "abcd"},
        {"nothing after the cut", 5, {"abcdef", "g"}, "abcd"},
        {"one byte", 1, {"abc"}, ""},
        // Exactly the first cap - 1 bytes, whatever they encode: the output's
        // code page is the program's, and nothing later follows a cut.
        {"UTF-8 character cut apart", 5, {"abc\xC3\xA4", "x"}, "abc\xC3"},
        {"three-byte sequence cut", 5, {"ab\xE2\x82\xAC"}, "ab\xE2\x82"},
        {"whole character at the end", 6, {"ab\xE2\x82\xAC!"}, "ab\xE2\x82\xAC"},
        {"split over pieces, not cut", 16, {"ab\xE2", "\x82\xAC"}, "ab\xE2\x82\xAC"},
        // CP850, as a German console tool writes it: 0xE1 is a whole "ß".
        {"OEM character at the cut", 6, {"Stra\xE1""e"}, "Stra\xE1"},
        {"OEM characters before the cut", 5, {"Gr\x94\xE1""e"}, "Gr\x94\xE1"},
        {"no lead byte", 4, {"ab\x84\x94"}, "ab\x84"},
        {"ascii before the cut", 4, {"abcd"}, "abc"},
        // Cut in one piece, the text may not grow in a later one.
        {"nothing after a cut in the middle", 16, {"abcdefghijklmn\xC3\xA9", "Z"},
         "abcdefghijklmn\xC3"},
    };
    for (auto &c : cases) {
        char buf[32];
        memset(buf, '#', sizeof buf);
        proc_output o;
        proc_output_init(&o, buf, c.cap);
        for (const std::string &p : c.pieces)
            proc_output_add(&o, p.data(), p.size());
        EXPECT_EQ(std::string(buf), c.expected) << c.name;
        EXPECT_EQ(o.len, c.expected.size()) << c.name;
        EXPECT_EQ(buf[c.cap], '#') << c.name << ": wrote past the buffer";
    }
}

TEST(ProcOutput, CapZeroLeavesTheBufferAlone)
{
    char buf[4] = "xyz";
    proc_output o;
    proc_output_init(&o, buf, 0);
    proc_output_add(&o, "abc", 3);
    EXPECT_STREQ(buf, "xyz");
    proc_output_init(&o, nullptr, 0);
    proc_output_add(&o, "abc", 3);
    EXPECT_EQ(o.len, 0u);
}

TEST(ProcPrograms, ImageNames)
{
    struct {
        const char *image;
        int expected;
    } cases[] = {
        {"orv_agent.exe", 0},
        {"ORV_Restore.EXE", 1},
        {"orv_maintenance.exe", 2},
        {"orv_updater.exe", 3},
        {"orv_updater", -1},
        {"orv_updater.exe2", -1},
        {"xorv_agent.exe", -1},
        {"orv_setup.exe", -1},
        {"", -1},
    };
    for (auto &c : cases)
        EXPECT_EQ(proc_program_index(c.image), c.expected) << c.image;
    EXPECT_EQ(proc_program_index(nullptr), -1);
}

TEST(ProcPrograms, ListTakesWhatFits)
{
    struct {
        size_t cap;
        std::vector<const char *> names;
        const char *expected;
    } cases[] = {
        // A name goes in while the list's length + its length + 3 is below
        // cap: the room of a separator is kept even for the first name.
        {64, {"orv_agent.exe", "orv_agent.exe"}, "orv_agent.exe, orv_agent.exe"},
        {30, {"orv_agent.exe", "orv_agent.exe"}, "orv_agent.exe, orv_agent.exe"},
        {29, {"orv_agent.exe", "orv_agent.exe"}, "orv_agent.exe"},
        {17, {"orv_agent.exe"}, "orv_agent.exe"},
        {16, {"orv_agent.exe", "orv_agent.exe"}, ""},
        {14, {"orv_agent.exe"}, ""},
        // A later, shorter name still goes in when it fits.
        {22, {"orv_maintenance.exe", "orv_agent.exe"}, "orv_agent.exe"},
        {23, {"orv_maintenance.exe", "orv_agent.exe"}, "orv_maintenance.exe"},
        {32, {"orv_updater.exe", "orv_maintenance.exe", "orv_agent.exe"},
         "orv_updater.exe, orv_agent.exe"},
    };
    for (auto &c : cases) {
        char names[64] = "";
        for (const char *n : c.names)
            proc_names_append(names, c.cap, n);
        EXPECT_STREQ(names, c.expected) << "cap " << c.cap;
    }
}
