// Version directories and the program switch on real directories: the switch
// with its undo (Windows failures injected through the unit's seam), the
// clean-up of moved-aside files, pruning, and the small helpers.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "install_fixture.h"
#include "log.h"
#include "seam_guard.h"
#include "state.h"
#include "test_util.h"
#include "versions.h"
#include "versions_win_seam.h"

namespace {

// The old and the new version that most tests switch between.
const file_map OLD_BIN = {{"a.exe", "old a"}, {"b.dll", "old b"}, {"notes.txt", "old notes"}};
const file_map NEW_BIN = {{"a.exe", "new a"}, {"b.dll", "new b"}, {"c.exe", "new c"}};

// An installation with OLD_BIN live and version 1.1.0 (NEW_BIN) in place.
struct switch_fixture : install {
    explicit switch_fixture(const char *tag) : install(tag)
    {
        write_files(bin(), OLD_BIN);
        make_dirs(version_bin("1.1.0"));
        write_files(version_bin("1.1.0"), NEW_BIN);
    }
};

}  // namespace

TEST(VersionsSwitch, CopiesTheVersionAndMovesReplacedFilesAside)
{
    switch_fixture f("switch");
    make_dirs(f.version_bin("1.1.0") + "\\sub");
    write_files(f.version_bin("1.1.0") + "\\sub", {{"inner.txt", "x"}});
    char err[400] = "";
    ASSERT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), 0) << err;

    file_map live = snapshot(f.bin());
    EXPECT_EQ(live["a.exe"], "new a");
    EXPECT_EQ(live["b.dll"], "new b");
    EXPECT_EQ(live["c.exe"], "new c");
    EXPECT_EQ(live["notes.txt"], "old notes") << "the switch itself leaves other live files alone";
    EXPECT_EQ(live.count("sub/"), 0u) << "subdirectories of a version's bin are not copied";
    auto a_old = names_with(live, "a.exe.old-" + pid_text() + "-");
    auto b_old = names_with(live, "b.dll.old-" + pid_text() + "-");
    ASSERT_EQ(a_old.size(), 1u);
    ASSERT_EQ(b_old.size(), 1u);
    EXPECT_EQ(live[a_old[0]], "old a");
    EXPECT_EQ(live[b_old[0]], "old b");
    EXPECT_EQ(switch_undo_get()->count, 3u) << "the table keeps its entries for a later undo";

    // The table undoes the switch exactly.
    ASSERT_EQ(switch_undo_apply(err, sizeof err), 0) << err;
    EXPECT_EQ(snapshot(f.bin()), OLD_BIN);
    EXPECT_EQ(switch_undo_get()->count, 0u);

    // Switched again and kept, the moved-aside files go with the clean-up.
    ASSERT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), 0) << err;
    switch_undo_clear();
    versions_remove_old_files(&f.cfg);
    file_map expected = NEW_BIN;
    expected["notes.txt"] = "old notes";
    EXPECT_EQ(snapshot(f.bin()), expected);
}

TEST(VersionsSwitch, MovedAsideNamesCountPerProcessAndSkipTakenNames)
{
    switch_fixture f("names");
    uint32_t before = switch_undo_get()->switch_counter;
    // A moved-aside file of an earlier process with the same id, whose
    // program may still run, is not moved onto.
    std::string taken = "a.exe.old-" + pid_text() + "-" + std::to_string(before + 1);
    write_files(f.bin(), {{taken, "leftover"}});
    char err[400] = "";
    ASSERT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), 0) << err;
    file_map live = snapshot(f.bin());
    EXPECT_EQ(live[taken], "leftover");
    EXPECT_EQ(live["a.exe.old-" + pid_text() + "-" + std::to_string(before + 2)], "old a");
    EXPECT_EQ(live["b.dll.old-" + pid_text() + "-" + std::to_string(before + 3)], "old b");
    switch_undo_clear();
}

TEST(VersionsSwitch, HoldsAtMost128Files)
{
    for (int files : {128, 129}) {
        install f("limit");
        file_map old_bin = {{"f000", "old"}, {"keep.txt", "mine"}};
        write_files(f.bin(), old_bin);
        make_dirs(f.version_bin("2.0.0"));
        file_map many;
        for (int i = 0; i < files; i++) {
            char name[16];
            snprintf(name, sizeof name, "f%03d", i);
            many[name] = "new";
        }
        write_files(f.version_bin("2.0.0"), many);
        char err[400] = "";
        int rc = versions_switch_bin(&f.cfg, "2.0.0", err, sizeof err);
        if (files == 128) {
            EXPECT_EQ(rc, 0) << err;
            EXPECT_EQ(switch_undo_get()->count, 128u);
            switch_undo_clear();
            versions_remove_old_files(&f.cfg);
            many["keep.txt"] = "mine";
            EXPECT_EQ(snapshot(f.bin()), many);
        } else {
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(err, "too many files in bin");
            EXPECT_EQ(snapshot(f.bin()), old_bin) << "bin is as it was";
        }
    }
}

TEST(VersionsSwitch, AFailureMidwayPutsEveryFileBack)
{
    seam_guard<versions_win_calls> guard(versions_win);
    struct {
        const char *name;
        const char *copy_fail;  // source name whose copy fails
        DWORD copy_error;
        const char *move_fail;  // live name whose move aside fails
        DWORD move_error;
        std::string message;  // "%s" stands for the live bin
    } cases[] = {
        {"sharing violation on the last copy", "c.exe", ERROR_SHARING_VIOLATION, "", 0,
         "cannot copy c.exe (error 32)"},
        {"virus scanner on the first copy", "a.exe", 225, "", 0, "cannot copy a.exe (error 225)"},
        {"virus scanner on a move aside", "", 0, "b.dll", 225,
         "cannot move %s\\b.dll out of the way (error 225)"},
        {"moved file in use", "", 0, "a.exe", ERROR_SHARING_VIOLATION,
         "cannot move %s\\a.exe out of the way (error 32)"},
    };
    for (auto &c : cases) {
        switch_fixture f("midway");
        use_fakes();
        rules.copy_fail_name = c.copy_fail;
        rules.copy_error = c.copy_error;
        rules.move_fail_from = c.move_fail;
        rules.move_error = c.move_error;
        rules.move_fail_times = 1;
        char err[400] = "";
        EXPECT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), -1) << c.name;
        std::string expected = c.message;
        size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, f.bin());
        EXPECT_EQ(std::string(err), expected) << c.name;
        EXPECT_EQ(snapshot(f.bin()), OLD_BIN) << c.name << ": the old bin, byte for byte";
        EXPECT_EQ(switch_undo_get()->count, 0u) << c.name;
    }
}

TEST(VersionsSwitch, RefusesWhatItCannotSwitchTo)
{
    install f("refuse");
    write_files(f.dir, {{"bin", "a file where bin belongs"}});
    char err[400] = "";
    EXPECT_EQ(versions_switch_bin(&f.cfg, "1.0.0", err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot create " + f.bin());

    install g("refuse");
    EXPECT_EQ(versions_switch_bin(&g.cfg, "1.0.0", err, sizeof err), -1);
    EXPECT_STREQ(err, "the version 1.0.0 has no bin directory");

    // A version that is not a version text could name a directory anywhere.
    EXPECT_EQ(versions_switch_bin(&g.cfg, "..\\..\\x", err, sizeof err), -1);
    EXPECT_STREQ(err, "not a valid version: ..\\..\\x");
}

TEST(VersionsSwitch, UndoWaitsForAScannerAndMovesABusyCopyAside)
{
    seam_guard<versions_win_calls> guard(versions_win);
    char err[400] = "";
    {
        // The move back is refused twice while a scanner reads the file.
        switch_fixture f("undo_wait");
        ASSERT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), 0) << err;
        use_fakes();
        rules.move_fail_from = names_with(snapshot(f.bin()), "a.exe.old-")[0];
        rules.move_fail_to = "\\bin\\a.exe";
        rules.move_error = ERROR_SHARING_VIOLATION;
        rules.move_fail_times = 2;
        ASSERT_EQ(switch_undo_apply(err, sizeof err), 0) << err;
        EXPECT_EQ(rules.moves_failed, 2);
        EXPECT_EQ(rules.sleeps, 2);
        EXPECT_EQ(rules.slept_ms, 1000u);
        EXPECT_EQ(snapshot(f.bin()), OLD_BIN);
    }
    {
        // The new a.exe cannot be deleted (a program started from it runs):
        // it is moved aside, and the old one takes its name again.
        switch_fixture f("undo_busy");
        versions_win = versions_win_real;
        ASSERT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), 0) << err;
        use_fakes();
        rules.delete_refused = "\\bin\\a.exe";
        ASSERT_EQ(switch_undo_apply(err, sizeof err), 0) << err;
        file_map live = snapshot(f.bin());
        auto busy = names_with(live, "a.exe.old-");
        ASSERT_EQ(busy.size(), 1u);
        EXPECT_EQ(live[busy[0]], "new a");
        EXPECT_EQ(without(live, ".old-"), OLD_BIN);
        versions_win = versions_win_real;
        versions_remove_old_files(&f.cfg);
        EXPECT_EQ(snapshot(f.bin()), OLD_BIN);
    }
}

TEST(VersionsSwitch, AnOldFileThatCannotGoBackIsKeptAndNamed)
{
    seam_guard<versions_win_calls> guard(versions_win);
    switch_fixture f("undo_fail");
    use_fakes();
    // The last copy fails; putting the old b.dll back keeps failing.
    rules.copy_fail_call = 3;
    rules.copy_error = 225;
    rules.move_fail_to = "\\bin\\b.dll";
    rules.move_error = ERROR_ACCESS_DENIED;
    rules.move_fail_times = -1;
    uint32_t counter = switch_undo_get()->switch_counter;
    char err[1000] = "";
    EXPECT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), -1);
    std::string kept = f.bin() + "\\b.dll.keep-" + pid_text() + "-" + std::to_string(counter + 3);
    EXPECT_EQ(std::string(err), "cannot copy " + rules.copied_last +
                                    " (error 225); undoing the switch failed: cannot put " +
                                    f.bin() + "\\b.dll back (error 5); the old file is kept as " +
                                    kept);
    EXPECT_EQ(rules.sleeps, VERSIONS_MOVE_TRIES - 1) << "tried for ten seconds";
    EXPECT_EQ(test_read_file(kept), "old b");
    EXPECT_EQ(switch_undo_get()->count, 0u);

    // Everything else is back, and no clean-up takes the kept file away.
    versions_win = versions_win_real;
    versions_remove_old_files(&f.cfg);
    file_map live = snapshot(f.bin());
    EXPECT_EQ(live["a.exe"], "old a");
    EXPECT_EQ(live["notes.txt"], "old notes");
    EXPECT_EQ(live.count("b.dll"), 0u);
    EXPECT_EQ(live.count("c.exe"), 0u);
    EXPECT_EQ(live[kept.substr(f.bin().size() + 1)], "old b");
}

TEST(VersionsSwitch, ARunningProgramIsMovedAsideAndDeletedOnceItEnds)
{
    install f("running");
    write_files(f.bin(), {{"tool.exe", fake_program("1.0.0")}});
    write_files(f.version_bin("1.1.0"), {{"tool.exe", fake_program("1.1.0")}});
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string line = "\"" + f.bin() + "\\tool.exe\" sleep:20000";
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &si, &pi));
    char err[400] = "";
    EXPECT_EQ(versions_switch_bin(&f.cfg, "1.1.0", err, sizeof err), 0) << err;
    switch_undo_clear();
    file_map live = snapshot(f.bin());
    EXPECT_EQ(live["tool.exe"], fake_program("1.1.0"));
    auto aside = names_with(live, "tool.exe.old-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(live[aside[0]], fake_program("1.0.0"));

    versions_remove_old_files(&f.cfg);
    EXPECT_TRUE(exists(f.bin() + "\\" + aside[0])) << "kept while the program runs";
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    versions_remove_old_files(&f.cfg);
    EXPECT_EQ(snapshot(f.bin()), (file_map{{"tool.exe", fake_program("1.1.0")}}));
}

TEST(VersionsClean, RemoveOldFilesLeavesFilesInUse)
{
    install f("old_files");
    std::string p = pid_text();
    write_files(f.bin(), {{"a.exe", "a"},
                          {"a.exe.old-" + p + "-1", "x"},
                          {"b.exe.old-77-3", "y"},
                          {"c.exe.old-1-1", "busy"},
                          {"d.exe.keep-1-1", "kept"},
                          {"old-notes.txt", "z"}});
    HANDLE busy = CreateFileA((f.bin() + "\\c.exe.old-1-1").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    versions_remove_old_files(&f.cfg);
    file_map expected = {{"a.exe", "a"},
                         {"c.exe.old-1-1", "busy"},
                         {"d.exe.keep-1-1", "kept"},
                         {"old-notes.txt", "z"}};
    EXPECT_EQ(snapshot(f.bin()), expected);
    CloseHandle(busy);
    versions_remove_old_files(&f.cfg);
    expected.erase("c.exe.old-1-1");
    EXPECT_EQ(snapshot(f.bin()), expected) << "gone once it is no longer in use";
}

namespace {
std::vector<std::string> info_lines;
void keep_line(int level, const char *text, void *)
{
    if (level == LOG_INFO)
        info_lines.push_back(text);
}
}  // namespace

TEST(VersionsClean, PruneRemovesOnlyOldVersionDirectories)
{
    install f("prune");
    std::string v = f.dir + "\\versions";
    for (const char *d : {"1.0.0", "1.1.0", "1.2.0", "tmp"}) {
        make_dirs(v + "\\" + d + "\\bin");
        write_files(v + "\\" + d + "\\bin", {{"tool.exe", d}});
    }
    write_files(v, {{"1.3.0", "a plain file"}});
    info_lines.clear();
    log_set_callback(keep_line, nullptr);
    versions_prune(&f.cfg, "1.2.0", "1.1.0");
    log_set_callback(nullptr, nullptr);
    file_map expected = {{"1.1.0/", ""}, {"1.2.0/", ""}, {"tmp/", ""}, {"1.3.0", "a plain file"}};
    EXPECT_EQ(snapshot(v), expected);
    EXPECT_EQ(info_lines, std::vector<std::string>{"removed the old version 1.0.0"});

    // With a single version kept (the other argument null).
    versions_prune(&f.cfg, "1.2.0", nullptr);
    expected.erase("1.1.0/");
    EXPECT_EQ(snapshot(v), expected);
}

TEST(VersionsClean, VersionsDirectoryAndCurrentVersion)
{
    install f("helpers");
    char err[400] = "";
    EXPECT_EQ(versions_dir_create(&f.cfg, err, sizeof err), 0) << err;
    EXPECT_TRUE(exists(f.dir + "\\versions"));

    install g("helpers");
    write_files(g.dir, {{"versions", "in the way"}});
    EXPECT_EQ(versions_dir_create(&g.cfg, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot create " + g.dir + "\\versions");

    char buf[64] = "untouched";
    EXPECT_EQ(state_current_version(&f.cfg, buf, sizeof buf), -1) << "nothing installed";
    EXPECT_STREQ(buf, "untouched");
    updater_state st;
    memset(&st, 0, sizeof st);
    strcpy(st.installed_version, "1.20.3-beta.1");
    ASSERT_EQ(state_write(&f.cfg, &st, err, sizeof err), 0) << err;
    EXPECT_EQ(state_current_version(&f.cfg, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "1.20.3-beta.1");
    char small[5];
    EXPECT_EQ(state_current_version(&f.cfg, small, sizeof small), 0);
    EXPECT_STREQ(small, "1.20");
}
