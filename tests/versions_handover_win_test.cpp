// The hand-over of a staged version on a real installation directory, with
// the tests' fake program standing in for the product's programs: the check
// of the staged programs, the move into place, the switch, the stray pass,
// the self-test of the live programs with its undo, the record in the state
// file and the pruning; and the self-test of the live programs on its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "install_fixture.h"
#include "log.h"
#include "proc.h"
#include "run_win.h"
#include "seam_guard.h"
#include "state.h"
#include "test_util.h"
#include "versions.h"
#include "versions_win_seam.h"

namespace {

// A program of bin with its answer to "--version" and, when selftest is not
// empty, the actions of its self-test (the fake program reads them from the
// files beside it).
void add_program(file_map *bin, const std::string &name, const std::string &version,
                 const std::string &selftest = "")
{
    (*bin)[name] = fake_program(version);
    std::string base = name.substr(0, name.size() - 4);
    (*bin)[name + ".version"] = "out:" + base + " " + version + "\\r\\n\n";
    if (!selftest.empty())
        (*bin)[name + ".selftest"] = selftest;
}

// The entries that the unpacker would have listed for bin.
std::vector<pkg_entry> entries_of(const file_map &bin)
{
    std::vector<pkg_entry> out;
    pkg_entry dir = {};
    strcpy(dir.path, "bin");
    dir.is_dir = 1;
    dir.mode = PKG_MODE_EXEC;
    out.push_back(dir);
    for (auto &f : bin) {
        pkg_entry e = {};
        snprintf(e.path, sizeof e.path, "bin/%s", f.first.c_str());
        bool exe = f.first.size() > 4 && f.first.compare(f.first.size() - 4, 4, ".exe") == 0;
        e.mode = exe ? PKG_MODE_EXEC : PKG_MODE_PLAIN;
        e.size = f.second.size();
        out.push_back(e);
    }
    return out;
}

// An installation with version 1.0.0 live (its tool.exe and the program of
// a component that 1.1.0 no longer has), 0.9.0 kept as the previous one,
// and the state file saying so.
struct installed : install {
    file_map live;     // the live bin as set up
    updater_state st;  // the state as written
    // Nothing installed at all when fresh is set.
    explicit installed(const char *tag, bool fresh = false) : install(tag)
    {
        memset(&st, 0, sizeof st);
        if (fresh)
            return;
        add_program(&live, "tool.exe", "1.0.0");
        add_program(&live, "extra.exe", "1.0.0");
        make_dirs(version_bin("0.9.0"));
        write_files(version_bin("0.9.0"), {{"tool.exe", "0.9.0"}});
        write_files(version_bin("1.0.0"), live);
        write_files(bin(), live);
        strcpy(st.installed_version, "1.0.0");
        strcpy(st.previous_version, "0.9.0");
        strcpy(st.components, "core,extra");
        strcpy(st.catalog_channel, "stable");
        char err[400];
        EXPECT_EQ(state_write(&cfg, &st, err, sizeof err), 0) << err;
    }
    // The staging directory of version, as the install engine names it.
    std::string staging(const std::string &version) const
    {
        return dir + "/.staging-" + version + "-" + pid_text();
    }
    // Fills the staging directory of version with bin and a file beside it.
    std::string stage(const std::string &version, const file_map &staged_bin) const
    {
        std::string s = staging(version);
        write_files(s + "\\bin", staged_bin);
        write_files(s + "\\docs", {{"manual.txt", "read me " + version}});
        return s;
    }
    updater_state on_disk() const
    {
        updater_state now;
        state_read(&cfg, &now);
        return now;
    }
};

std::vector<std::string> log_lines;
void keep_line(int level, const char *text, void *)
{
    log_lines.push_back(std::string(log_level_name(level)) + " " + text);
}

// Collects the log while it lives.
struct log_catcher {
    log_catcher()
    {
        log_lines.clear();
        log_set_callback(keep_line, nullptr);
    }
    ~log_catcher() { log_set_callback(nullptr, nullptr); }
};

}  // namespace

TEST(VersionsHandover, UpdateSwitchesTestsRecordsAndPrunes)
{
    seam_guard<versions_win_calls> guard(versions_win);
    installed f("handover");
    // Left alone by the stray pass: a moved-aside file that cannot be
    // deleted yet, and an old file a failed undo kept.
    std::string busy = "tool.exe.old-77-1";
    write_files(f.bin(), {{busy, "busy"}, {"tool.exe.keep-5-1", "kept"}});
    use_fakes();
    rules.delete_refused = busy;
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    next["readme.txt"] = "new readme";
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of(next);

    log_catcher logs;
    char err[400] = "";
    ASSERT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              0)
        << err;
    file_map expected = next;
    expected[busy] = "busy";
    expected["tool.exe.keep-5-1"] = "kept";
    EXPECT_EQ(snapshot(f.bin()), expected) << "the program of the removed component is gone";
    EXPECT_EQ(snapshot(f.version_bin("1.1.0")), next);
    EXPECT_EQ(test_read_file(f.dir + "\\versions\\1.1.0\\docs\\manual.txt"), "read me 1.1.0");
    EXPECT_FALSE(exists(staging));
    EXPECT_EQ(snapshot(f.dir + "\\versions"), (file_map{{"1.0.0/", ""}, {"1.1.0/", ""}}));
    EXPECT_EQ(log_lines, std::vector<std::string>{"INFO removed the old version 0.9.0"});

    updater_state now = f.on_disk();
    EXPECT_STREQ(now.installed_version, "1.1.0");
    EXPECT_STREQ(now.previous_version, "1.0.0");
    EXPECT_STREQ(now.components, "core");
    EXPECT_STREQ(now.catalog_channel, "stable");
    char written[STATE_TEXT_MAX], held[STATE_TEXT_MAX];
    state_format(&now, written, sizeof written);
    state_format(&f.st, held, sizeof held);
    EXPECT_STREQ(held, written) << "the caller's record is what was written";
    EXPECT_EQ(switch_undo_get()->count, 0u);
}

TEST(VersionsHandover, AFailedSelfTestPutsTheOldBinBackByteForByte)
{
    installed f("selftest_fails");
    file_map before = snapshot(f.bin());
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    // A program the staged check does not know of fails once it is live.
    add_program(&next, "bad.exe", "1.1.0", "out:disk\\ton fire\\r\\n\nexit:3\n");
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of({{"tool.exe", ""}});

    log_catcher logs;
    char err[400] = "";
    EXPECT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              1);
    const std::string failed = "bad.exe fails its self-test after the update: disk on fire";
    EXPECT_EQ(std::string(err), "the installation of 1.1.0 was undone: " + failed);
    EXPECT_EQ(snapshot(f.bin()), before) << "every old file back under its name, nothing more";
    EXPECT_FALSE(exists(f.dir + "\\versions\\1.1.0"));
    EXPECT_EQ(snapshot(f.dir + "\\versions"), (file_map{{"0.9.0/", ""}, {"1.0.0/", ""}}));
    EXPECT_EQ(log_lines, std::vector<std::string>{"ERROR " + failed});
    updater_state now = f.on_disk();
    EXPECT_STREQ(now.installed_version, "1.0.0");
    EXPECT_STREQ(now.previous_version, "0.9.0");
    EXPECT_STREQ(now.components, "core,extra");
    EXPECT_STREQ(now.bad_versions, "1.1.0");
    EXPECT_EQ(switch_undo_get()->count, 0u);
}

TEST(VersionsHandover, AnUndoThatFailsIsReportedAndKeepsTheOldFile)
{
    seam_guard<versions_win_calls> guard(versions_win);
    installed f("undo_fails");
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    add_program(&next, "bad.exe", "1.1.0", "exit:3\n");
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of({{"tool.exe", ""}});
    use_fakes();
    // The old tool.exe cannot be put back, however often it is tried.
    rules.move_fail_to = "\\bin\\tool.exe";
    rules.move_error = ERROR_ACCESS_DENIED;
    rules.move_fail_times = -1;
    uint32_t counter = switch_undo_get()->switch_counter;

    log_catcher logs;
    char err[1000] = "";
    EXPECT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              1);
    // Two files were moved aside by the switch (tool.exe and its answer
    // file); the kept name is the next.
    std::string kept =
        f.bin() + "\\tool.exe.keep-" + pid_text() + "-" + std::to_string(counter + 3);
    EXPECT_EQ(
        std::string(err),
        "the installation of 1.1.0 could not be undone completely: bad.exe fails its self-test "
        "after the update: no output, exit status 3; cannot put " +
            f.bin() + "\\tool.exe back (error 5); the old file is kept as " + kept);
    EXPECT_EQ(test_read_file(kept), fake_program("1.0.0"));
    EXPECT_STREQ(f.on_disk().bad_versions, "1.1.0");
    EXPECT_STREQ(f.on_disk().installed_version, "1.0.0");
    versions_win = versions_win_real;
    versions_remove_old_files(&f.cfg);
    EXPECT_EQ(test_read_file(kept), fake_program("1.0.0")) << "no clean-up takes it";
}

// Programs that went live and passed while the state cannot be written: the
// run fails with a sentence that says both, and the next run, once the state
// can be written, records what is live.
TEST(VersionsHandover, AStateThatCannotBeWrittenFailsAndIsRecordedNextTime)
{
    installed f("unrecorded");
    std::string tmp = f.dir + "\\state\\state.tmp";
    ASSERT_TRUE(CreateDirectoryA(tmp.c_str(), nullptr)) << "a directory where the new state goes";
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of(next);
    log_catcher logs;
    char err[400] = "";
    EXPECT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              1);
    const std::string said = "the programs of version 1.1.0 are live, but the state cannot "
                             "record them: cannot write ";
    EXPECT_EQ(std::string(err).rfind(said, 0), 0u) << err;
    EXPECT_NE(std::string(err).find("state.tmp", said.size()), std::string::npos) << err;
    EXPECT_EQ(snapshot(f.bin()), next);
    EXPECT_STREQ(f.on_disk().installed_version, "1.0.0");
    EXPECT_TRUE(exists(f.dir + "\\switch.journal"));

    // Still unwritable: the next run cannot go on either.
    EXPECT_EQ(versions_recover(&f.cfg, err, sizeof err), -1);
    EXPECT_TRUE(exists(f.dir + "\\switch.journal"));
    ASSERT_TRUE(RemoveDirectoryA(tmp.c_str()));
    EXPECT_EQ(versions_recover(&f.cfg, err, sizeof err), 0) << err;
    updater_state now = f.on_disk();
    EXPECT_STREQ(now.installed_version, "1.1.0");
    EXPECT_STREQ(now.previous_version, "1.0.0");
    EXPECT_STREQ(now.components, "core");
    EXPECT_FALSE(exists(f.dir + "\\switch.journal"));
    EXPECT_EQ(snapshot(f.bin()), next);
    EXPECT_EQ(snapshot(f.dir + "\\versions"), (file_map{{"1.0.0/", ""}, {"1.1.0/", ""}}));
}

namespace {

// The files whose data reached the disk, named below the installation
// directory ("bin\tool.exe"), and "tested" where the journal said that the
// programs passed.
std::vector<std::string> flushed;
std::string flushed_below;  // the installation directory's last name
std::vector<std::string> flushed_aside;  // those flushed by a thread other than
DWORD flushing_caller;                   // the one that handed the version over

BOOL WINAPI record_flush(HANDLE h)
{
    char name[2 * MAX_PATH] = "";
    DWORD n = GetFinalPathNameByHandleA(h, name, sizeof name, FILE_NAME_NORMALIZED);
    std::string path(name, n < sizeof name ? n : 0);
    size_t at = path.find("\\" + flushed_below + "\\");
    flushed.push_back(at == std::string::npos ? path
                                              : path.substr(at + flushed_below.size() + 2));
    if (GetCurrentThreadId() != flushing_caller)
        flushed_aside.push_back(flushed.back());
    return versions_win_real.flush_file(h);
}

BOOL WINAPI record_tested(HANDLE h, LPCVOID data, DWORD len, LPDWORD wrote, LPOVERLAPPED ov)
{
    if (std::string((const char *)data, len) == "tested\n")
        flushed.push_back("tested");
    return versions_win_real.write_file(h, data, len, wrote, ov);
}

}  // namespace

// The copies of the new programs in bin and the files of the version
// directory are on the disk before the journal says that the programs
// passed: from then on the old programs are deleted, and a power cut must
// not leave neither.
TEST(VersionsHandover, NewFilesReachTheDiskBeforeTheyPass)
{
    seam_guard<versions_win_calls> guard(versions_win);
    installed f("flushed");
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of(next);
    flushed.clear();
    flushed_below = f.dir.substr(f.dir.find_last_of("\\/") + 1);
    versions_win.flush_file = record_flush;
    versions_win.write_file = record_tested;
    char err[400] = "";
    ASSERT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              0)
        << err;
    std::vector<std::string> before_tested;
    for (const std::string &name : flushed) {
        if (name == "tested")
            break;
        before_tested.push_back(name);
    }
    ASSERT_NE(before_tested.size(), flushed.size()) << "the journal never said tested";
    std::vector<std::string> expected = {"versions\\1.1.0\\docs\\manual.txt"};
    for (auto &file : next) {
        expected.push_back("bin\\" + file.first);
        expected.push_back("versions\\1.1.0\\bin\\" + file.first);
    }
    for (const std::string &name : expected)
        EXPECT_NE(std::find(before_tested.begin(), before_tested.end(), name),
                  before_tested.end())
            << name << " was not flushed before the journal said tested";
}

// While the staged programs are checked, another thread already writes the
// version's other files to the disk; never a program, which Windows would
// not start while a handle holds it open for writing.
TEST(VersionsHandover, DataFilesReachTheDiskWhileTheProgramsAreChecked)
{
    seam_guard<versions_win_calls> guard(versions_win);
    installed f("flushed-aside");
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    add_program(&next, "extra.exe", "1.1.0");
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of(next);
    pkg_entry manual = {};
    strcpy(manual.path, "docs/manual.txt");
    manual.mode = PKG_MODE_PLAIN;
    entries.push_back(manual);
    flushed.clear();
    flushed_aside.clear();
    flushed_below = f.dir.substr(f.dir.find_last_of("\\/") + 1);
    flushing_caller = GetCurrentThreadId();
    versions_win.flush_file = record_flush;
    char err[400] = "";
    ASSERT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              0)
        << err;
    std::string in_staging = staging.substr(staging.find_last_of("\\/") + 1) + "\\";
    std::vector<std::string> expected = {in_staging + "bin\\extra.exe.version",
                                         in_staging + "bin\\tool.exe.version",
                                         in_staging + "docs\\manual.txt"};
    std::sort(flushed_aside.begin(), flushed_aside.end());
    EXPECT_EQ(flushed_aside, expected);
}

// A journal left by an ended switch is acted on only as far as it can be
// trusted: a component list that the state cannot record is recorded as far
// as it reads, a damaged previous version is taken from the state, a
// damaged version keeps the programs that passed (or undoes the switch
// that had not), and a step that names a file outside the installation's
// bin is left alone. None of them keeps the next runs from going on.
TEST(VersionsHandover, ADamagedJournalIsCheckedBeforeItIsActedOn)
{
    std::string cut = "core";  // core and ten ids of 24 characters, cut after a comma
    for (int i = 0; i < 10; i++)
        cut += "," + std::string(24, (char)('a' + i));
    std::string ten = cut;
    cut += ",";
    struct {
        const char *name;
        std::string head;  // "begin" line, after "begin\t"
        bool tested;
        bool outside;      // the journal copied a file outside bin
        // What follows: the programs of which version are live, and the
        // state's installed version, previous version, components and
        // failed versions.
        const char *live;
        const char *installed, *previous;
        std::string components;
        const char *bad;
    } cases[] = {
        {"a component list cut after a comma", "install\t1.1.0\t1.0.0\t" + cut, true, false,
         "1.1.0", "1.1.0", "1.0.0", ten, ""},
        {"an empty id", "install\t1.1.0\t1.0.0\tcore,,extra", true, false, "1.1.0", "1.1.0",
         "1.0.0", "core,extra", ""},
        {"a previous version with a blank", "rollback\t1.1.0\t1.0.0 x\t",
         true, false, "1.1.0", "1.1.0", "1.0.0", "core,extra", "1.0.0"},
        {"a version that is none, tested", "install\t1.1\t1.0.0\tcore", true, false, "1.1.0",
         "1.0.0", "0.9.0", "core,extra", ""},
        {"a version that is none, not tested", "install\t1.1\t1.0.0\tcore", false, false,
         "1.0.0", "1.0.0", "0.9.0", "core,extra", ""},
        {"a copy outside bin", "install\t1.1.0\t1.0.0\tcore", false, true, "1.0.0", "1.0.0",
         "0.9.0", "core,extra", ""},
    };
    for (auto &c : cases) {
        installed f("damaged");
        // The switch to 1.1.0 moved tool.exe aside and copied the new one in.
        std::string tool = f.bin() + "\\tool.exe";
        std::string aside = tool + ".old-" + pid_text() + "-1";
        ASSERT_TRUE(MoveFileA(tool.c_str(), aside.c_str())) << c.name;
        file_map next;
        add_program(&next, "tool.exe", "1.1.0");
        write_files(f.version_bin("1.1.0"), next);
        write_files(f.bin(), {{"tool.exe", next["tool.exe"]}});
        std::string outside = f.dir + "\\notes.txt";
        write_files(f.dir, {{"notes.txt", "mine"}});
        std::string journal = "begin\t" + c.head + "\nmove\t" + tool + "\t" + aside + "\n";
        if (c.outside)
            journal += "copy\t" + outside + "\n";
        if (c.tested)
            journal += "tested\n";
        write_files(f.dir, {{"switch.journal", journal}});

        log_catcher logs;
        char err[400] = "";
        // Twice: the second run finds nothing left to do.
        for (int round = 0; round < 2; round++)
            EXPECT_EQ(versions_recover(&f.cfg, err, sizeof err), 0) << c.name << ": " << err;
        EXPECT_FALSE(exists(f.dir + "\\switch.journal")) << c.name;
        EXPECT_EQ(test_read_file(tool), strcmp(c.live, "1.1.0") == 0 ? next["tool.exe"]
                                                                     : fake_program("1.0.0"))
            << c.name;
        EXPECT_EQ(names_with(snapshot(f.bin()), "tool.exe.old-"), std::vector<std::string>{})
            << c.name;
        EXPECT_EQ(test_read_file(outside), "mine") << c.name;
        updater_state now = f.on_disk();
        EXPECT_STREQ(now.installed_version, c.installed) << c.name;
        EXPECT_STREQ(now.previous_version, c.previous) << c.name;
        EXPECT_EQ(std::string(now.components), c.components) << c.name;
        EXPECT_STREQ(now.bad_versions, c.bad) << c.name;
    }
}

// A repair (the installed version again) that fails at any step keeps the
// installed version's directory: it waits aside until the new copy has
// passed and comes back when it has not.
TEST(VersionsHandover, AFailedRepairKeepsTheInstalledVersionsDirectory)
{
    seam_guard<versions_win_calls> guard(versions_win);
    struct {
        const char *name;
        const char *fails;  // "selftest", "switch" or "move"
        const char *err;    // the start of the sentence
    } cases[] = {
        {"live self-test fails", "selftest", "the installation of 1.0.0 was undone: bad.exe"},
        {"switch fails", "switch", "cannot switch to the new version: cannot copy tool.exe"},
        {"staging cannot be moved", "move", "cannot move the new version into place (error 3)"},
    };
    for (auto &c : cases) {
        installed f("repair");
        file_map before = snapshot(f.bin());
        file_map kept = snapshot(f.version_bin("1.0.0"));
        file_map again;
        add_program(&again, "tool.exe", "1.0.0");
        if (strcmp(c.fails, "selftest") == 0)
            add_program(&again, "bad.exe", "1.0.0", "exit:3\n");
        std::string staging = f.stage("1.0.0", again);
        std::vector<pkg_entry> entries = entries_of({{"tool.exe", ""}});
        use_fakes();
        if (strcmp(c.fails, "switch") == 0) {
            rules.copy_fail_name = "\\versions\\1.0.0\\bin\\tool.exe";
            rules.copy_error = 5;
        } else if (strcmp(c.fails, "move") == 0) {
            rules.move_fail_from = ".staging-1.0.0-" + pid_text();
            rules.move_error = ERROR_PATH_NOT_FOUND;
            rules.move_fail_times = -1;
        }
        log_catcher logs;
        char err[400] = "";
        EXPECT_EQ(versions_install_staged(&f.cfg, "1.0.0", "core", staging.c_str(),
                                          entries.data(), entries.size(), &f.st, err, sizeof err),
                  1)
            << c.name;
        EXPECT_EQ(std::string(err).rfind(c.err, 0), 0u) << c.name << ": " << err;
        EXPECT_EQ(snapshot(f.version_bin("1.0.0")), kept) << c.name;
        EXPECT_EQ(snapshot(f.dir + "\\versions"), (file_map{{"0.9.0/", ""}, {"1.0.0/", ""}}))
            << c.name << ": nothing kept aside is left";
        EXPECT_EQ(snapshot(f.bin()), before) << c.name;
        EXPECT_STREQ(f.on_disk().installed_version, "1.0.0") << c.name;
        EXPECT_FALSE(exists(f.dir + "\\switch.journal")) << c.name;
    }
}

TEST(VersionsHandover, TheStrayPassStopsAtAFullTable)
{
    installed f("stray_limit");
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");  // two files
    for (int i = 0; i < SWITCH_UNDO_MAX - 2; i++)
        next["data" + std::to_string(i)] = "d";
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of(next);
    char err[400] = "";
    ASSERT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              0)
        << err;
    file_map live = snapshot(f.bin());
    EXPECT_EQ(live.count("extra.exe"), 1u) << "no room left to move it aside";
    EXPECT_EQ(without(live, "extra.exe"), next);
}

TEST(VersionsHandover, PreviousVersionOnFirstInstallAndReinstall)
{
    struct {
        const char *name;
        bool fresh;            // nothing installed before
        const char *version;   // installed now
        const char *previous;  // previous_version afterwards
        file_map versions;     // what "versions" holds afterwards
    } cases[] = {
        {"first installation", true, "1.0.0", "", {{"1.0.0/", ""}}},
        {"the installed version again", false, "1.0.0", "0.9.0", {{"0.9.0/", ""}, {"1.0.0/", ""}}},
    };
    for (auto &c : cases) {
        installed f("previous", c.fresh);
        char err[400] = "";
        ASSERT_EQ(versions_dir_create(&f.cfg, err, sizeof err), 0)
            << err;  // as the engine does first
        file_map again;
        add_program(&again, "tool.exe", c.version);
        std::string staging = f.stage(c.version, again);
        std::vector<pkg_entry> entries = entries_of(again);
        ASSERT_EQ(versions_install_staged(&f.cfg, c.version, "core", staging.c_str(),
                                          entries.data(), entries.size(), &f.st, err, sizeof err),
                  0)
            << c.name << ": " << err;
        updater_state now = f.on_disk();
        EXPECT_STREQ(now.installed_version, c.version) << c.name;
        EXPECT_STREQ(now.previous_version, c.previous) << c.name;
        EXPECT_EQ(snapshot(f.dir + "\\versions"), c.versions) << c.name;
        EXPECT_EQ(snapshot(f.bin()), again) << c.name;
    }
}

TEST(VersionsHandover, StagedProgramsThatFailTheirCheck)
{
    struct {
        const char *name;
        const char *reports;  // the version the staged tool.exe reports
        bool remove_program;  // the program is gone from staging (a scanner took it)
        std::string message;  // "%s": the installation directory
        const char *bad_versions;
    } cases[] = {
        {"another version", "1.0.5", false,
         "not installing 1.1.0: tool.exe reports a different version than the package (expected "
         "'tool 1.1.0')",
         "0.8.0 1.1.0"},
        {"removed by a scanner", "1.1.0", true,
         "not installing 1.1.0: tool.exe was blocked or removed by the virus scanner (the file was "
         "removed right after unpacking); add an exclusion for the folder %s to it",
         "0.8.0"},
    };
    for (auto &c : cases) {
        installed f("check");
        strcpy(f.st.bad_versions, "0.8.0");
        file_map next;
        add_program(&next, "tool.exe", c.reports);
        std::string staging = f.stage("1.1.0", next);
        if (c.remove_program)
            DeleteFileA((staging + "\\bin\\tool.exe").c_str());
        std::vector<pkg_entry> entries = entries_of(next);
        file_map before = snapshot(f.bin());
        char err[400] = "";
        EXPECT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                          entries.size(), &f.st, err, sizeof err),
                  1)
            << c.name;
        std::string expected = c.message;
        size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, f.dir);
        EXPECT_EQ(std::string(err), expected) << c.name;
        EXPECT_STREQ(f.st.bad_versions, c.bad_versions) << c.name;
        EXPECT_STREQ(f.on_disk().bad_versions, c.remove_program ? "" : c.bad_versions)
            << c.name << ": written only when the version is marked";
        EXPECT_EQ(snapshot(f.bin()), before) << c.name;
        EXPECT_TRUE(exists(staging)) << c.name << ": the caller removes the staging directory";
        EXPECT_FALSE(exists(f.dir + "\\versions\\1.1.0")) << c.name;
    }
}

TEST(VersionsHandover, StagingMoveWaitsForAScannerAndNoLonger)
{
    seam_guard<versions_win_calls> guard(versions_win);
    struct {
        const char *name;
        unsigned long error;
        int times;  // failures of the move (-1 every try)
        int result;
        int sleeps;
        const char *message;
    } cases[] = {
        {"released after a second", ERROR_SHARING_VIOLATION, 2, 0, 2, ""},
        {"path not found ends it at once", ERROR_PATH_NOT_FOUND, -1, 1, 0,
         "cannot move the new version into place (error 3)"},
        {"held for good", ERROR_ACCESS_DENIED, -1, 1, VERSIONS_MOVE_TRIES - 1,
         "cannot move the new version into place (error 5)"},
    };
    for (auto &c : cases) {
        installed f("staging_move");
        file_map next;
        add_program(&next, "tool.exe", "1.1.0");
        std::string staging = f.stage("1.1.0", next);
        std::vector<pkg_entry> entries = entries_of(next);
        use_fakes();
        rules.move_fail_to = "\\versions\\1.1.0";
        rules.move_error = c.error;
        rules.move_fail_times = c.times;
        char err[400] = "";
        EXPECT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                          entries.size(), &f.st, err, sizeof err),
                  c.result)
            << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
        EXPECT_EQ(rules.sleeps, c.sleeps) << c.name;
        EXPECT_EQ(rules.slept_ms, (unsigned long)c.sleeps * VERSIONS_RETRY_MS) << c.name;
        EXPECT_EQ(exists(staging), c.result != 0) << c.name;
        EXPECT_STREQ(f.on_disk().installed_version, c.result ? "1.0.0" : "1.1.0") << c.name;
    }
}

TEST(VersionsHandover, ASwitchThatFailsLeavesTheOldProgramsAndNoVersionDirectory)
{
    seam_guard<versions_win_calls> guard(versions_win);
    installed f("switch_fails");
    file_map before = snapshot(f.bin());
    file_map next;
    add_program(&next, "tool.exe", "1.1.0");
    std::string staging = f.stage("1.1.0", next);
    std::vector<pkg_entry> entries = entries_of(next);
    use_fakes();
    rules.copy_fail_name = "\\versions\\1.1.0\\bin\\tool.exe";
    rules.copy_error = 225;
    char err[400] = "";
    EXPECT_EQ(versions_install_staged(&f.cfg, "1.1.0", "core", staging.c_str(), entries.data(),
                                      entries.size(), &f.st, err, sizeof err),
              1);
    EXPECT_STREQ(err, "cannot switch to the new version: cannot copy tool.exe (error 225)");
    EXPECT_EQ(snapshot(f.bin()), before);
    EXPECT_FALSE(exists(f.dir + "\\versions\\1.1.0"));
    updater_state now = f.on_disk();
    EXPECT_STREQ(now.installed_version, "1.0.0");
    EXPECT_STREQ(now.bad_versions, "") << "a failed switch says nothing against the version";
}

namespace {

// What the fake runner answers, and what it was asked.
struct run_rules {
    int started;  // 0: the start fails with error 2
    int timed_out;
    int exit_code;
    std::string output;
    std::vector<std::string> programs;  // argv[0] of every run
    std::string argument;               // argv[1] of the last run
    uint32_t timeout_s;
    size_t outcap;
};
run_rules runs;

int fake_run(const char *const *argv, const char *const *env, uint32_t timeout_s, char *out,
             size_t outcap, proc_result *res)
{
    runs.programs.push_back(argv[0]);
    runs.argument = argv[1] ? argv[1] : "";
    runs.timeout_s = timeout_s;
    runs.outcap = outcap;
    res->exit_code = -1;
    res->timed_out = 0;
    res->error = 0;
    snprintf(out, outcap, "%s", runs.output.c_str());
    if (!runs.started) {
        out[0] = '\0';
        res->error = 2;
        return -1;
    }
    res->timed_out = runs.timed_out;
    res->exit_code = runs.timed_out ? -1 : runs.exit_code;
    return 0;
}

}  // namespace

TEST(VersionsSelfTest, RunsEveryProgramFromTheLiveBin)
{
    seam_guard<versions_win_calls> guard(versions_win);
    versions_win.run = fake_run;
    install f("selftest");
    write_files(f.version_bin("1.1.0"), {{"one.exe", ""}, {"two.exe", ""}, {"notes.txt", ""}});
    struct {
        const char *name;
        int started, timed_out, exit_code;
        std::string output;
        const char *message;  // after "<program> fails its self-test after the update: "
    } cases[] = {
        {"all pass", 1, 0, 0, "fine\n", nullptr},
        {"timed out after some output", 1, 1, 0, "checking\r\n\tdisk\n", "checking   disk"},
        {"timed out in silence", 1, 1, 0, "", "no output, it did not end in time"},
        {"exit code 3 in silence", 1, 0, 3, "  \r\n", "no output, exit status 3"},
        {"missing DLL", 1, 0, (int)0xC0000135, "",
         "a DLL it needs is missing, exit status 0xC0000135"},
        {"not started", 0, 0, 0, "", "it cannot be started"},
    };
    for (auto &c : cases) {
        runs = run_rules();
        runs.started = c.started;
        runs.timed_out = c.timed_out;
        runs.exit_code = c.exit_code;
        runs.output = c.output;
        char err[VERSIONS_MSG_MAX] = "";
        int rc = versions_selftest_live(&f.cfg, "1.1.0", err);
        EXPECT_EQ(rc, c.message ? -1 : 0) << c.name;
        EXPECT_EQ(runs.programs.size(), c.message ? 1u : 2u)
            << c.name << ": stops at the first failure";
        for (auto &p : runs.programs)
            EXPECT_TRUE(p == f.bin() + "\\one.exe" || p == f.bin() + "\\two.exe")
                << c.name << ": " << p;
        EXPECT_EQ(runs.argument, "--selftest") << c.name;
        EXPECT_EQ(runs.timeout_s, 60u) << c.name;
        EXPECT_EQ(runs.outcap, 512u) << c.name;
        if (c.message) {
            std::string prog = runs.programs[0].substr(f.bin().size() + 1);
            EXPECT_EQ(std::string(err),
                      prog + " fails its self-test after the update: " + c.message)
                << c.name;
        }
    }

    runs = run_rules();
    char err[VERSIONS_MSG_MAX] = "";
    EXPECT_EQ(versions_selftest_live(&f.cfg, "2.0.0", err), -1);
    EXPECT_STREQ(err, "the installed version has no programs");
    EXPECT_TRUE(runs.programs.empty());
}
