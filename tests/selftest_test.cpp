// The text rules of the packaged-program checks: which entries are programs,
// the expected "--version" answer, the scanner's words and folder, the words
// for failed runs, flattened output, and the list of failed versions.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "selftest.h"
#include "update.h"

namespace {

pkg_entry entry(const char *path, int is_dir, int mode)
{
    pkg_entry e;
    memset(&e, 0, sizeof e);
    snprintf(e.path, sizeof e.path, "%s", path);
    e.is_dir = is_dir;
    e.mode = mode;
    return e;
}

}  // namespace

TEST(SelftestPrograms, WhichEntriesArePrograms)
{
    struct {
        const char *path;
        int is_dir;
        int mode;
        int is_program;          // pkg_entry_is_program
        int is_package_program;  // selftest_is_package_program
    } cases[] = {
        {"bin/tool.exe", 0, 0644, 1, 1},
        {"bin/tool", 0, 0755, 1, 1},
        {"bin/readme.txt", 0, 0644, 0, 0},
        {"bin/tool.EXE", 0, 0644, 0, 0},  // the suffix is compared with its case
        {"bin/sub/tool.exe", 0, 0644, 1, 1},
        {"tool.exe", 0, 0755, 1, 0},       // outside bin
        {"lib/tool.exe", 0, 0644, 1, 0},
        {"binx/tool.exe", 0, 0644, 1, 0},
        {"bin", 1, 0755, 1, 0},            // a directory
        {"bin/x.exe", 1, 0755, 1, 0},
        {".exe", 0, 0644, 0, 0},           // four characters are not enough
        {"a.exe", 0, 0644, 1, 0},
    };
    for (auto &c : cases) {
        pkg_entry e = entry(c.path, c.is_dir, c.mode);
        EXPECT_EQ(pkg_entry_is_program(&e), c.is_program) << c.path;
        EXPECT_EQ(selftest_is_package_program(&e), c.is_package_program) << c.path;
    }
}

TEST(SelftestPrograms, ExpectedVersionAnswer)
{
    struct {
        const char *name;
        const char *expected;
    } cases[] = {
        {"tool.exe", "tool 1.2.3"},
        {"tool", "tool 1.2.3"},
        {".exe", ".exe 1.2.3"},        // only a name longer than 4 loses it
        {"a.exe", "a 1.2.3"},
        {"tool.EXE", "tool.EXE 1.2.3"},
        {"x.exe.exe", "x.exe 1.2.3"},
    };
    for (auto &c : cases) {
        char buf[64];
        selftest_expected_version(buf, sizeof buf, c.name, "1.2.3");
        EXPECT_STREQ(buf, c.expected) << c.name;
    }
    EXPECT_STREQ(selftest_program_name("bin/sub/tool.exe"), "tool.exe");
    EXPECT_STREQ(selftest_program_name("tool.exe"), "tool.exe");
}

TEST(SelftestPrograms, VersionAnswerMatches)
{
    struct {
        const char *output;
        int matches;
    } cases[] = {
        {"tool 1.2.3", 1},
        {"tool 1.2.3\r\n", 1},
        {"tool 1.2.3\n", 1},
        {"tool 1.2.3 (build 20261026-2)\r\n", 1},
        {"tool 1.2.3\tx", 1},
        {"tool 1.2.2\r\n", 0},
        {"tool 1.2.30\r\n", 0},   // longer version, same start
        {"tool 1.2.3-rc.1\n", 0},
        {"tool 1.2.3.4", 0},
        {"tool 1.2", 0},
        {"Tool 1.2.3", 0},
        {" tool 1.2.3", 0},
        {"", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(selftest_version_matches(c.output, "tool 1.2.3"), c.matches) << "[" << c.output << "]";
}

TEST(SelftestScanner, ReasonsAndFolder)
{
    struct {
        uint32_t error;
        int exists;
        const char *reason;
    } reasons[] = {
        {225, 1, "it contains a threat according to the virus scanner"},
        {225, 0, "it contains a threat according to the virus scanner"},
        {226, 0, "the virus scanner removed it as a threat"},
        {2, 0, "the file was removed right after unpacking"},
        {3, 0, "the file was removed right after unpacking"},
        {193, 1, nullptr},
        {0, 1, nullptr},
    };
    for (auto &c : reasons) {
        const char *r = selftest_scanner_reason(c.error, c.exists);
        EXPECT_STREQ(r ? r : "(none)", c.reason ? c.reason : "(none)") << c.error << "/" << c.exists;
    }

    struct {
        std::string staging;
        std::string folder;
    } folders[] = {
        {"C:\\Program Files\\orvantis\\staging-1.2.3", "C:\\Program Files\\orvantis"},
        {"C:\\Program Files\\orvantis/staging", "C:\\Program Files\\orvantis"},
        {"C:/x\\y/staging", "C:/x\\y"},
        {"/staging", "/staging"},       // the separator is the first character
        {"\\staging", "\\staging"},
        {"staging", "staging"},
        // Only the first 1000 characters count.
        {std::string(995, 'a') + "\\bbbbbbbbbb\\c", std::string(995, 'a')},
        {std::string(1000, 'a') + "\\c", std::string(1000, 'a')},
    };
    for (auto &c : folders) {
        char buf[1100];
        selftest_scanner_folder(buf, sizeof buf, c.staging.c_str());
        EXPECT_EQ(std::string(buf), c.folder) << c.staging.substr(0, 60);
    }
}

TEST(SelftestWords, FailedRun)
{
    struct {
        int ran;
        int32_t exit_code;
        int32_t timed_out;
        const char *words;
    } cases[] = {
        {0, -1, 0, "it cannot be started"},
        {1, -1, 1, "no output, it did not end in time"},
        {1, (int32_t)0xC0000135u, 0, "a DLL it needs is missing, exit status 0xC0000135"},
        {1, (int32_t)0xC0000139u, 0, "a DLL it needs has the wrong version, exit status 0xC0000139"},
        {1, (int32_t)0xC000007Bu, 0,
         "it or a DLL it needs is damaged or built for another processor, exit status 0xC000007B"},
        {1, (int32_t)0xC0000005u, 0, "it ended abnormally, exit status 0xC0000005"},
        {1, -1, 0, "it ended abnormally, exit status 0xFFFFFFFF"},
        {1, 3, 0, "no output, exit status 3"},
        {1, (int32_t)0xBFFFFFFFu, 0, "no output, exit status -1073741825"},
    };
    for (auto &c : cases) {
        proc_result res = {c.exit_code, c.timed_out, 0};
        char buf[200];
        proc_describe_failure(c.ran, &res, buf, sizeof buf);
        EXPECT_STREQ(buf, c.words) << c.words;
    }
    proc_result res = {3, 0, 0};
    char small[8];
    proc_describe_failure(1, &res, small, sizeof small);
    EXPECT_STREQ(small, "no outp");
}

TEST(SelftestWords, Flatten)
{
    struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"self-test failed\r\n", "self-test failed"},
        {"line 1\r\nline 2\n", "line 1  line 2"},
        {"a\tb", "a b"},
        {" \r\n\t ", ""},
        {"", ""},
        {"  lead", "  lead"},
        {"x \n \n", "x"},
    };
    for (auto &c : cases) {
        char buf[64];
        snprintf(buf, sizeof buf, "%s", c.in);
        text_flatten(buf);
        EXPECT_STREQ(buf, c.out) << "[" << c.in << "]";
    }
    text_flatten(nullptr);
}

TEST(SelftestFailedVersions, WordList)
{
    struct {
        const char *list;
        const char *word;
        int contains;
    } cases[] = {
        {"1.0.0 1.2.3 2.0.0", "1.2.3", 1},
        {"1.0.0 1.2.3 2.0.0", "1.0.0", 1},
        {"1.0.0 1.2.3 2.0.0", "2.0.0", 1},
        {"1.2.30", "1.2.3", 0},
        {"1.2.3-rc.1", "1.2.3", 0},
        {"x1.2.3", "1.2.3", 0},
        {"1.2.3", "1.2.3-rc.1", 0},
        {"", "1.2.3", 0},
        {"1.2.3", "", 0},
        {"1.0.0  1.2.3", "1.2.3", 1},
        {"1.0.0  1.2.3", "", 0},
        {"ABC", "abc", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(wordlist_contains(c.list, c.word), c.contains) << "[" << c.list << "] [" << c.word << "]";
    EXPECT_EQ(wordlist_contains(nullptr, "1.2.3"), 0);
    EXPECT_EQ(wordlist_contains("1.2.3", nullptr), 0);
}

TEST(SelftestFailedVersions, Add)
{
    // 73 versions of 6 characters: 510 characters, so one more needs a drop.
    std::string full;
    for (int i = 10; i < 83; i++)
        full += (full.empty() ? "" : " ") + std::string("1.0.") + std::to_string(i);
    ASSERT_EQ(full.size(), 510u);
    // 84 versions of 5 characters (503 characters): one drop frees only 6,
    // ten make room for a version of 63.
    std::string shorts;
    for (int i = 0; i < 84; i++)
        shorts += (shorts.empty() ? "" : " ") + std::string("1.0.") + std::to_string(i % 10);
    ASSERT_EQ(shorts.size(), 503u);
    std::string long_version = "9.9.9-" + std::string(57, 'r');

    struct {
        const char *name;
        std::string before;
        std::string version;
        std::string after;
    } cases[] = {
        {"into an empty list", "", "1.2.3", "1.2.3"},
        {"appended last", "1.0.0", "1.2.3", "1.0.0 1.2.3"},
        {"already there", "1.0.0 1.2.3 2.0.0", "1.2.3", "1.0.0 1.2.3 2.0.0"},
        {"a longer version is another one", "1.2.30", "1.2.3", "1.2.30 1.2.3"},
        {"empty version", "1.0.0", "", "1.0.0"},
        {"full list drops the oldest", full, "2.0.0", full.substr(7) + " 2.0.0"},
        // Dropping one short version leaves no room for a long one: more go,
        // and the version is kept whole.
        {"as many drops as needed", shorts, long_version,
         shorts.substr(60) + " " + long_version},
        {"a single word list", std::string(500, 'v'), "1.2.3-rc.10", "1.2.3-rc.10"},
    };
    for (auto &c : cases) {
        updater_state st;
        memset(&st, 0, sizeof st);
        snprintf(st.bad_versions, sizeof st.bad_versions, "%s", c.before.c_str());
        failed_versions_add(&st, c.version.c_str());
        EXPECT_EQ(std::string(st.bad_versions), c.after) << c.name;
        EXPECT_LE(strlen(st.bad_versions), 511u) << c.name;
        if (!c.version.empty()) {
            EXPECT_EQ(wordlist_contains(st.bad_versions, c.version.c_str()), 1) << c.name;
        }
    }

    // Twice the same: one word.
    updater_state st;
    memset(&st, 0, sizeof st);
    failed_versions_add(&st, "1.2.3");
    failed_versions_add(&st, "1.2.3");
    EXPECT_STREQ(st.bad_versions, "1.2.3");
}

TEST(SelftestFormat, ErrorBufferRules)
{
    char buf[8];
    memset(buf, '#', sizeof buf);
    update_error(buf, 0, "%s", "abc");
    EXPECT_EQ(buf[0], '#');
    update_error(nullptr, 8, "%s", "abc");
    update_error(buf, sizeof buf, "cannot %s %d", "run", 12345);
    EXPECT_STREQ(buf, "cannot ");
    update_error(buf, sizeof buf, "%s", "ok");
    EXPECT_STREQ(buf, "ok");
    EXPECT_EQ(selftest_format(buf, sizeof buf, "%s-%s", "1234", "5678"), 9);
    EXPECT_STREQ(buf, "1234-56");
    EXPECT_EQ(selftest_format(nullptr, 0, "%d", 42), 2);
}
