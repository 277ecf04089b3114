// The pure side of the version directories: the bounded path formatters, the
// settings copy, which names the clean-ups touch, which errors are tried
// again, and what a successful installation records.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "paths.h"
#include "update.h"
#include "versions.h"

namespace {

// Formats "<arg>\\bin" with the formatter for a buffer of size bytes (1400,
// 1500, 1700, or any other through path_format).
int format_bin(size_t size, char *buf, const std::string &arg)
{
    switch (size) {
    case PATH_1400:
        return path_format_1400(buf, "%s\\bin", arg.c_str());
    case PATH_1500:
        return path_format_1500(buf, "%s\\bin", arg.c_str());
    case PATH_1700:
        return path_format_1700(buf, "%s\\bin", arg.c_str());
    default:
        return path_format(buf, size, "%s\\bin", arg.c_str());
    }
}

}  // namespace

TEST(Versions, PathFormattersGiveTheWholePathOrNothing)
{
    // A text of exactly size - 1 characters fits; one more does not, and then
    // the buffer is empty rather than holding a path cut short.
    struct {
        size_t size;
        size_t arg_len;
        int expected;
    } cases[] = {
        {PATH_1400, PATH_1400 - 5, 0},
        {PATH_1400, PATH_1400 - 4, -1},
        {PATH_1500, PATH_1500 - 5, 0},
        {PATH_1500, PATH_1500 - 4, -1},
        {PATH_1700, PATH_1700 - 5, 0},
        {PATH_1700, PATH_1700 - 4, -1},
        {PATH_DIR_MAX, PATH_DIR_MAX - 5, 0},
        {PATH_DIR_MAX, PATH_DIR_MAX - 4, -1},
        {9, 4, 0},
        {9, 5, -1},
    };
    for (auto &c : cases) {
        std::string arg(c.arg_len, 'a');
        static char buf[PATH_1700];
        memset(buf, 'x', sizeof buf);
        std::string name =
            "buffer " + std::to_string(c.size) + ", text " + std::to_string(c.arg_len + 4);
        EXPECT_EQ(format_bin(c.size, buf, arg), c.expected) << name;
        EXPECT_EQ(std::string(buf), c.expected == 0 ? arg + "\\bin" : "") << name;
    }
}

TEST(Versions, UpdFormatCutsAndTellsTheWholeLength)
{
    char buf[8];
    EXPECT_EQ(update_format(buf, sizeof buf, "%s-%d", "version", 12), 10);
    EXPECT_STREQ(buf, "version");
    EXPECT_EQ(update_format(nullptr, 0, "%s", "abc"), 3);
}

TEST(Versions, ConfigCopyTurnsSlashesInTheTwoDirectories)
{
    updater_config cfg;
    memset(&cfg, 0, sizeof cfg);
    strcpy(cfg.install_dir, "C:/Program Files/orvantis/");
    strcpy(cfg.state_dir, "C:\\ProgramData/orvantis/updater");
    strcpy(cfg.ca_file, "C:/certs/ca.pem");
    updater_config out;
    versions_config_copy(&cfg, &out);
    EXPECT_STREQ(out.install_dir, "C:\\Program Files\\orvantis\\");
    EXPECT_STREQ(out.state_dir, "C:\\ProgramData\\orvantis\\updater");
    EXPECT_STREQ(out.ca_file, "C:/certs/ca.pem") << "other settings stay as they are";
    EXPECT_STREQ(cfg.install_dir, "C:/Program Files/orvantis/")
        << "the caller's record is untouched";
}

TEST(Versions, NamesTheCleanUpsTouch)
{
    struct {
        const char *name;
        const char *keep;
        const char *keep_also;
        int stray_exempt;
        int prune;
    } cases[] = {
        {"1.0.0", "1.2.0", "1.1.0", 0, 1},      {"1.1.0", "1.2.0", "1.1.0", 0, 0},
        {"1.2.0", "1.2.0", "1.1.0", 0, 0},      {"1.0.0", "1.2.0", nullptr, 0, 1},
        {"1.0.0", nullptr, nullptr, 0, 1},      {"2.0.0-alpha.27", nullptr, "2.0.0-alpha.27", 0, 0},
        {"tmp", nullptr, nullptr, 0, 0},        {".staging-1.2.0-44", nullptr, nullptr, 0, 0},
        {"1.0", nullptr, nullptr, 0, 0},        {"tool.exe.old-12-1", nullptr, nullptr, 1, 0},
        {"tool.old-x", nullptr, nullptr, 1, 0}, {"tool.exe.keep-12-1", nullptr, nullptr, 1, 0},
        {"tool.exe", nullptr, nullptr, 0, 0},
    };
    for (auto &c : cases) {
        std::string what = std::string(c.name) + " keeping " + (c.keep ? c.keep : "-") + "/" +
                           (c.keep_also ? c.keep_also : "-");
        EXPECT_EQ(versions_stray_exempt(c.name), c.stray_exempt) << what;
        EXPECT_EQ(versions_prune_candidate(c.name, c.keep, c.keep_also), c.prune) << what;
    }
}

TEST(Versions, TransientErrors)
{
    struct {
        unsigned long error;
        int expected;
    } cases[] = {{32, 1}, {33, 1}, {5, 1}, {2, 0}, {3, 0}, {225, 0}, {0, 0}};
    for (auto &c : cases)
        EXPECT_EQ(versions_transient_error(c.error), c.expected) << "error " << c.error;
}

TEST(Versions, RecordSuccess)
{
    std::string long_list(300, 'a');
    struct {
        const char *name;
        const char *installed;    // before
        const char *previous_in;  // previous_version before
        const char *version;
        const char *components;
        const char *previous_out;
        std::string components_out;
    } cases[] = {
        {"update", "1.0.0", "0.9.0", "1.1.0", "core,agent", "1.0.0", "core,agent"},
        {"same version keeps the previous one", "1.1.0", "1.0.0", "1.1.0", "core", "1.0.0", "core"},
        {"first installation", "", "", "1.0.0", "core", "", "core"},
        {"components cut to 255", "1.0.0", "", "1.1.0", long_list.c_str(), "1.0.0",
         long_list.substr(0, 255)},
    };
    for (auto &c : cases) {
        updater_state st;
        memset(&st, 0, sizeof st);
        strcpy(st.installed_version, c.installed);
        strcpy(st.previous_version, c.previous_in);
        strcpy(st.bad_versions, "0.5.0");
        versions_record_success(&st, c.version, c.installed, c.components);
        EXPECT_STREQ(st.installed_version, c.version) << c.name;
        EXPECT_STREQ(st.previous_version, c.previous_out) << c.name;
        EXPECT_EQ(std::string(st.components), c.components_out) << c.name;
        EXPECT_STREQ(st.bad_versions, "0.5.0") << c.name;
    }
}

// What each run records once its programs are live, and the same again when
// the next run finishes an interrupted switch.
TEST(Versions, RecordByModeTwiceGivesTheSameState)
{
    struct {
        const char *name;
        int mode;
        const char *version, *previous;
        const char *installed_out, *previous_out, *components_out, *bad_out;
    } cases[] = {
        {"install", VERSIONS_INSTALL, "1.1.0", "1.0.0", "1.1.0", "1.0.0", "core", "0.5.0"},
        {"update keeps the components", VERSIONS_UPDATE, "1.1.0", "1.0.0", "1.1.0", "1.0.0",
         "agent", "0.5.0"},
        {"update to the same version keeps the previous one", VERSIONS_UPDATE, "1.0.0", "1.0.0",
         "1.0.0", "0.9.0", "agent", "0.5.0"},
        {"rollback marks the version left", VERSIONS_ROLLBACK, "1.0.0", "1.1.0", "1.0.0", "1.1.0",
         "agent", "0.5.0 1.1.0"},
        {"adopt over the same version", VERSIONS_ADOPT, "1.0.0", "1.0.0", "1.0.0", "0.9.0",
         "agent", "0.5.0"},
        {"adopt over another", VERSIONS_ADOPT, "1.1.0", "1.0.0", "1.1.0", "1.0.0", "agent",
         "0.5.0"},
    };
    for (auto &c : cases) {
        updater_state st;
        memset(&st, 0, sizeof st);
        strcpy(st.installed_version, c.previous);
        strcpy(st.previous_version, "0.9.0");
        strcpy(st.components, "agent");
        strcpy(st.bad_versions, "0.5.0");
        for (int round = 0; round < 2; round++) {
            EXPECT_EQ(versions_record_mode(&st, c.mode, c.version, c.previous, "core"), 0)
                << c.name;
            EXPECT_STREQ(st.installed_version, c.installed_out) << c.name << " " << round;
            EXPECT_STREQ(st.previous_version, c.previous_out) << c.name << " " << round;
            EXPECT_STREQ(st.components, c.components_out) << c.name << " " << round;
            EXPECT_STREQ(st.bad_versions, c.bad_out) << c.name << " " << round;
        }
        EXPECT_STREQ(versions_mode_name(c.mode), c.name[0] == 'i'   ? "install"
                                                 : c.name[0] == 'u' ? "update"
                                                 : c.name[0] == 'r' ? "rollback"
                                                                    : "adopt");
        EXPECT_EQ(versions_mode_of(versions_mode_name(c.mode)), c.mode);
    }
    updater_state st = {};
    EXPECT_EQ(versions_record_mode(&st, 7, "1.0.0", "", ""), -1);
    EXPECT_STREQ(st.installed_version, "");
    EXPECT_EQ(versions_mode_of("reinstall"), -1);
}

// A record the state could not write back is refused whole, so that no
// switch can put programs live that the state then fails to name, and a
// damaged journal's previous version cannot grow the failed versions each
// time it is recorded.
TEST(Versions, RecordByModeRefusesWhatTheStateCouldNotWriteBack)
{
    std::string long_list = "core";
    for (int i = 0; i < 11; i++)
        long_list += "," + std::string(23, (char)('a' + i)) + "x";
    struct {
        const char *name;
        int mode;
        const char *version, *previous;
        std::string components;
    } cases[] = {
        {"a previous version with a blank", VERSIONS_ROLLBACK, "1.0.0", "1.1.0 x", ""},
        {"a previous version that is no version", VERSIONS_UPDATE, "1.1.0", "v1", ""},
        {"a version that is no version", VERSIONS_INSTALL, "1.1", "1.0.0", "core"},
        {"no version", VERSIONS_ADOPT, nullptr, "", ""},
        {"an empty id", VERSIONS_INSTALL, "1.1.0", "1.0.0", "core,,agent"},
        {"a trailing comma", VERSIONS_INSTALL, "1.1.0", "1.0.0", "core,"},
        {"a list longer than 255 characters", VERSIONS_INSTALL, "1.1.0", "1.0.0", long_list},
    };
    for (auto &c : cases) {
        updater_state st;
        memset(&st, 0, sizeof st);
        strcpy(st.installed_version, "1.0.0");
        strcpy(st.previous_version, "0.9.0");
        strcpy(st.components, "agent");
        strcpy(st.bad_versions, "0.5.0");
        updater_state before = st;
        for (int round = 0; round < 2; round++)
            EXPECT_EQ(versions_record_mode(&st, c.mode, c.version, c.previous,
                                           c.components.c_str()),
                      -1)
                << c.name << " " << round;
        EXPECT_EQ(memcmp(&st, &before, sizeof st), 0) << c.name << ": the state changed";
    }
}

TEST(Versions, JournalLinesSplitAtTabs)
{
    struct {
        std::string line;
        int max;
        std::vector<std::string> fields;
    } cases[] = {
        {"begin\tupdate\t1.1.0\t\t", 5, {"begin", "update", "1.1.0", "", ""}},
        {"move\tC:\\i\\bin\\a.exe\tC:\\i\\bin\\a.exe.old-7-1", 5,
         {"move", "C:\\i\\bin\\a.exe", "C:\\i\\bin\\a.exe.old-7-1"}},
        {"tested", 5, {"tested"}},
        {"", 5, {""}},
        {"a\tb\tc", 2, {"a", "b"}},
    };
    for (auto &c : cases) {
        std::vector<char> buf(c.line.begin(), c.line.end());
        buf.push_back('\0');
        char *f[VERSIONS_JOURNAL_FIELDS];
        int n = versions_journal_fields(buf.data(), f, c.max);
        std::vector<std::string> got(f, f + n);
        EXPECT_EQ(got, c.fields) << c.line;
    }
}
