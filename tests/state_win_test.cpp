// The state file on disk: a missing file, the write through "state.tmp", the
// exact bytes, and the three failures of the writer.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "state.h"
#include "test_util.h"

namespace fsys = std::filesystem;

namespace {

updater_config config_for(const std::string &dir)
{
    updater_config cfg;
    memset(&cfg, 0, sizeof cfg);
    snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s", dir.c_str());
    return cfg;
}

updater_state sample()
{
    updater_state st;
    memset(&st, 0, sizeof st);
    st.last_sequence = 41;
    strcpy(st.sequence_channel, "stable");
    strcpy(st.installed_version, "2.0.0");
    strcpy(st.previous_version, "1.9.0");
    strcpy(st.bad_versions, "1.9.1 1.9.2");
    st.last_catalog_sequence = 42;
    strcpy(st.catalog_channel, "stable");
    strcpy(st.components, "core,agent");
    return st;
}

const char SAMPLE_TEXT[] =
    "last_sequence=41\nsequence_channel=stable\ninstalled_version=2.0.0\nprevious_version=1.9.0\n"
    "bad_versions=1.9.1 1.9.2\nlast_catalog_sequence=42\ncatalog_channel=stable\ncomponents=core,agent\n";

bool is_empty(const updater_state &st)
{
    updater_state z;
    memset(&z, 0, sizeof z);
    return memcmp(&st, &z, sizeof st) == 0;
}

}  // namespace

TEST(StateFile, MissingOrUnreadableGivesTheEmptyState)
{
    std::string dir = test_temp_dir("state");
    std::string not_there = dir + "\\nothing\\here";
    std::string is_dir = dir + "\\dir";
    fsys::create_directories(is_dir + "\\state");
    const std::string dirs[] = {not_there, is_dir};
    for (auto &d : dirs) {
        updater_config cfg = config_for(d);
        updater_state st;
        memset(&st, 0x5a, sizeof st);
        EXPECT_EQ(state_read(&cfg, &st), 0) << d;
        EXPECT_TRUE(is_empty(st)) << d;
    }
}

TEST(StateFile, WriteCreatesDirectoriesAndReadsBack)
{
    std::string dir = test_temp_dir("state") + "\\a\\b/c";
    updater_config cfg = config_for(dir);
    updater_state st = sample(), back;
    char err[700] = "";
    ASSERT_EQ(state_write(&cfg, &st, err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(dir + "/state"), SAMPLE_TEXT);
    EXPECT_FALSE(fsys::exists(dir + "/state.tmp"));
    EXPECT_EQ(state_read(&cfg, &back), 0);
    EXPECT_EQ(memcmp(&st, &back, sizeof st), 0);
}

TEST(StateFile, RewriteReplacesTheFileAndReusesAStaleTemporary)
{
    std::string dir = test_temp_dir("state");
    updater_config cfg = config_for(dir);
    ASSERT_TRUE(test_write_file(dir + "/state", "installed_version=1.0.0\n"));
    ASSERT_TRUE(test_write_file(dir + "/state.tmp", std::string(5000, 'x')));
    updater_state st;
    memset(&st, 0, sizeof st);
    ASSERT_EQ(state_read(&cfg, &st), 0);
    EXPECT_STREQ(st.installed_version, "1.0.0");
    strcpy(st.installed_version, "1.1.0");
    ASSERT_EQ(state_write(&cfg, &st, NULL, 0), 0);
    EXPECT_EQ(test_read_file(dir + "/state"),
              "last_sequence=0\nsequence_channel=\ninstalled_version=1.1.0\nprevious_version=\n"
              "bad_versions=\nlast_catalog_sequence=0\ncatalog_channel=\ncomponents=\n");
    EXPECT_FALSE(fsys::exists(dir + "/state.tmp"));
}

TEST(StateFile, ReadsWindowsLineEndsAndALongLine)
{
    std::string dir = test_temp_dir("state");
    updater_config cfg = config_for(dir);
    // A line far longer than any buffer of the reader is still taken whole.
    std::string text = "last_sequence=7\r\nfoo=" + std::string(100000, 'f') +
                       "\r\ninstalled_version=2.0.0\r\nbad_versions=" + std::string(9000, 'b');
    ASSERT_TRUE(test_write_file(dir + "/state", text));
    updater_state st;
    ASSERT_EQ(state_read(&cfg, &st), 0);
    EXPECT_EQ(st.last_sequence, 7);
    EXPECT_STREQ(st.installed_version, "2.0.0");
    EXPECT_EQ(std::string(st.bad_versions), std::string(511, 'b'));
}

TEST(StateFile, WriterFailures)
{
    std::string base = test_temp_dir("state");
    // A file where the state directory should be.
    std::string file_dir = base + "\\file";
    ASSERT_TRUE(test_write_file(file_dir, "x"));
    // A directory where the temporary file should be.
    std::string tmp_blocked = base + "\\tmpdir";
    fsys::create_directories(tmp_blocked + "/state.tmp");
    ASSERT_TRUE(test_write_file(tmp_blocked + "/state", "installed_version=1.0.0\n"));
    // A directory where the state file should be.
    std::string state_blocked = base + "\\statedir";
    fsys::create_directories(state_blocked + "/state");
    struct {
        const char *name;
        std::string dir, expected, old_state;
    } cases[] = {
        {"state directory is a file", file_dir, "cannot create " + file_dir, ""},
        {"temporary file is a directory", tmp_blocked, "cannot write " + tmp_blocked + "/state.tmp",
         "installed_version=1.0.0\n"},
        {"state file is a directory", state_blocked, "cannot update " + state_blocked + "/state", ""},
    };
    for (auto &c : cases) {
        updater_config cfg = config_for(c.dir);
        updater_state st = sample();
        char err[700] = "";
        EXPECT_EQ(state_write(&cfg, &st, err, sizeof err), -1) << c.name;
        EXPECT_EQ(err, c.expected) << c.name;
        EXPECT_EQ(test_read_file(c.dir + "/state"), c.old_state) << c.name;
    }
    // The temporary file stays after a failed move.
    EXPECT_EQ(test_read_file(state_blocked + "/state.tmp"), SAMPLE_TEXT);

    // A value that would come back changed is refused with the old file kept.
    std::string kept = base + "\\kept";
    updater_config cfg = config_for(kept);
    updater_state st = sample();
    ASSERT_EQ(state_write(&cfg, &st, nullptr, 0), 0);
    strcpy(st.catalog_channel, "stable\r");
    char err[700] = "";
    EXPECT_EQ(state_write(&cfg, &st, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot update " + kept +
                                     "/state: its catalog_channel value would not read back as written");
    EXPECT_EQ(test_read_file(kept + "/state"), SAMPLE_TEXT);
}

// Two writers at the same moment (a catalog load writes the state without
// the engine's lock) and a reader beside them: every write gets through,
// and the file always holds one whole record.
TEST(StateFile, WritersAtTheSameMomentBothGetThrough)
{
    std::string dir = test_temp_dir("state_race");
    updater_config cfg = config_for(dir);
    updater_state one = sample(), other = sample();
    other.last_catalog_sequence = 43;
    char err[300] = "";
    ASSERT_EQ(state_write(&cfg, &one, err, sizeof err), 0) << err;
    std::atomic<int> failed{0}, torn{0};
    std::atomic<bool> done{false};
    std::string why;
    auto writer = [&](const updater_state *st) {
        char e[300] = "";
        for (int i = 0; i < 150; i++)
            if (state_write(&cfg, st, e, sizeof e) != 0 && failed++ == 0)
                why = e;
    };
    std::thread reader([&] {
        while (!done) {
            updater_state now;
            state_read(&cfg, &now);
            if (now.last_catalog_sequence != 42 && now.last_catalog_sequence != 43)
                torn++;
        }
    });
    std::thread a(writer, &one), b(writer, &other);
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(failed, 0) << why;
    EXPECT_EQ(torn, 0);
}
