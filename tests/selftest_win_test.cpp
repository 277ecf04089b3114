// The packaged-program checks on Windows: packages whose programs are the
// tests' fake program, told by files beside it what to answer to
// "--version" and "--selftest"; the start refused by a virus scanner comes
// from the process runner's call table.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log.h"
#include "proc_win.h"
#include "run_win.h"
#include "seam_guard.h"
#include "selftest.h"
#include "test_util.h"

namespace {

// One file of a test package and its entry.
struct pkg_file {
    const char *path;      // entry path
    int mode;              // entry mode
    const char *kind;      // "fake" (the fake program), "text", "dir", or "gone" (entry only)
    std::string version;   // the fake's actions for "--version", one per line
    std::string selftest;  // its actions for "--selftest"
};

// The native form of an entry path below dir.
std::string below(const std::string &dir, const char *path)
{
    std::string p = dir + "\\" + path;
    for (char &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

// Lays the files out below a new "<tmp>\orvantis\staging-1.2.3" and returns
// that directory; entries receives their records in the given order.
std::string make_package(const std::vector<pkg_file> &files, std::vector<pkg_entry> *entries)
{
    std::string install = test_temp_dir("selftest") + "\\orvantis";
    std::string staging = install + "\\staging-1.2.3";
    CreateDirectoryA(install.c_str(), nullptr);
    CreateDirectoryA(staging.c_str(), nullptr);
    for (const pkg_file &f : files) {
        pkg_entry e;
        memset(&e, 0, sizeof e);
        snprintf(e.path, sizeof e.path, "%s", f.path);
        e.mode = f.mode;
        e.is_dir = std::string(f.kind) == "dir";
        entries->push_back(e);
        std::string p = below(staging, f.path);
        std::string kind = f.kind;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(p).parent_path(), ec);
        if (kind == "dir") {
            CreateDirectoryA(p.c_str(), nullptr);
        } else if (kind == "fake") {
            EXPECT_TRUE(CopyFileA(test_fake_prog().c_str(), p.c_str(), FALSE)) << p;
            test_write_file(p + ".version", f.version + "\n");
            test_write_file(p + ".selftest", f.selftest + "\n");
        } else if (kind == "text") {
            // No system can start it: a DOS header that leads to no program.
            // A script would do for Windows, but Wine hands a file without
            // the header to the Unix side, which then and now runs it.
            test_write_file(p, "MZ" + std::string(62, '\0') + "not a program\r\n");
        }
    }
    return staging;
}

// What a check gave.
struct check_result {
    int rc;
    std::string err;
    std::string install;  // the installation directory the package lay in
};

check_result check(const std::vector<pkg_file> &files, const char *version = "1.2.3")
{
    std::vector<pkg_entry> entries;
    std::string staging = make_package(files, &entries);
    char err[400] = "";
    check_result r;
    // A list of no entries is still a list: count 0 with a real pointer.
    pkg_entry none;
    r.rc = package_check_programs(staging.c_str(), entries.empty() ? &none : entries.data(),
                                  entries.size(), version, err, sizeof err);
    r.err = err;
    r.install = staging.substr(0, staging.rfind('\\'));
    return r;
}

// An expected message with "{install}" replaced by the installation directory
// of the check r.
std::string with_install(const char *message, const check_result &r)
{
    std::string m = message;
    size_t at = m.find("{install}");
    if (at != std::string::npos)
        m.replace(at, 9, r.install);
    return m;
}

const pkg_file kBin = {"bin", 0755, "dir", "", ""};
const std::string kGood = "out:tool 1.2.3\\r\\n";
const std::string kPass = "out:all checks passed\\r\\n";

}  // namespace

TEST(PackageCheck, ProgramsAnsweringAsTheyShould)
{
    struct {
        const char *name;
        std::vector<pkg_file> files;
        int rc;
        const char *err;  // "{install}" stands for the installation directory
    } cases[] = {
        {"tool.exe passes",
         {kBin, {"bin/tool.exe", 0755, "fake", kGood, kPass}, {"PACKAGE.json", 0644, "text", "", ""}},
         0, ""},
        {"version answer without a line end",
         {{"bin/tool.exe", 0644, "fake", "out:tool 1.2.3", kPass}}, 0, ""},
        {"an older version",
         {kBin, {"bin/tool.exe", 0755, "fake", "out:tool 1.2.2\\r\\n", kPass}}, -1,
         "tool.exe reports a different version than the package (expected 'tool 1.2.3')"},
        {"a version that only begins like it",
         {{"bin/tool.exe", 0755, "fake", "out:tool 1.2.30\\r\\n", kPass}}, -1,
         "tool.exe reports a different version than the package (expected 'tool 1.2.3')"},
        {"--version fails with output",
         {{"bin/tool.exe", 0755, "fake", "err:unknown option\\r\\n\nexit:2", kPass}}, -1,
         "tool.exe does not start: unknown option"},
        {"--version fails with a missing DLL",
         {{"bin/tool.exe", 0755, "fake", "exit:0xC0000135", kPass}}, -1,
         "tool.exe does not start: a DLL it needs is missing, exit status 0xC0000135"},
        {"self-test without output, exit 3",
         {{"bin/tool.exe", 0755, "fake", kGood, "exit:3"}}, -1,
         "tool.exe failed its self-test: no output, exit status 3"},
        {"self-test ends with a missing DLL",
         {{"bin/tool.exe", 0755, "fake", kGood, "exit:0xC0000135"}}, -1,
         "tool.exe failed its self-test: a DLL it needs is missing, exit status 0xC0000135"},
        {"self-test output made one line",
         {{"bin/tool.exe", 0755, "fake", kGood, "out:check 1 ok\\r\\ncheck 2\\tfailed\\r\\n\nexit:1"}},
         -1, "tool.exe failed its self-test: check 1 ok  check 2 failed"},
        // Checked in order; the first that fails ends the check.
        {"first failing program named",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3\\n", "exit:4"},
          {"bin/b.exe", 0755, "fake", "out:b 9.9.9\\n", kPass}},
         -1, "a.exe failed its self-test: no output, exit status 4"},
        {"second program checked too",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3\\n", kPass},
          {"bin/b.exe", 0755, "fake", "out:b 9.9.9\\n", kPass}},
         -1, "b.exe reports a different version than the package (expected 'b 1.2.3')"},
        // Checked several at once, yet the outcome is the first failure in
        // entry order, whichever program finished first.
        {"third of four fails, the others pass",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3\\n", kPass},
          {"bin/b.exe", 0755, "fake", "out:b 1.2.3\\n", kPass},
          {"bin/c.exe", 0755, "fake", "out:c 1.2.2\\n", kPass},
          {"bin/d.exe", 0755, "fake", "out:d 1.2.3\\n", kPass}},
         -1, "c.exe reports a different version than the package (expected 'c 1.2.3')"},
        {"a slow failure before a quick one",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3\\n", kPass},
          {"bin/b.exe", 0755, "fake", "out:b 1.2.3\\n", "sleep:1500\nexit:5"},
          {"bin/c.exe", 0755, "fake", "out:c 1.2.3\\n", kPass},
          {"bin/d.exe", 0755, "fake", "exit:7", kPass}},
         -1, "b.exe failed its self-test: no output, exit status 5"},
        {"a scanner's removal after an ordinary failure",
         {{"bin/a.exe", 0755, "fake", "sleep:800\nout:a 1.2.3\\n", kPass},
          {"bin/b.exe", 0755, "fake", "sleep:800\nout:b 2.0.0\\n", kPass},
          {"bin/c.exe", 0755, "gone", "", ""}, {"bin/d.exe", 0755, "fake", "out:d 1.2.3", kPass}},
         -1, "b.exe reports a different version than the package (expected 'b 1.2.3')"},
        {"five programs, all pass",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3", kPass}, {"bin/b.exe", 0755, "fake", "out:b 1.2.3", kPass},
          {"bin/c.exe", 0755, "fake", "out:c 1.2.3", kPass}, {"bin/d.exe", 0755, "fake", "out:d 1.2.3", kPass},
          {"bin/e.exe", 0755, "fake", "out:e 1.2.3", kPass}},
         0, ""},
        // A file with an execute bit counts even without ".exe"; Windows
        // cannot start it.
        {"mode 755 without .exe",
         {{"bin/tool", 0755, "text", "", ""}, {"bin/z.exe", 0755, "fake", "out:z 1.2.3", kPass}},
         -1, "tool does not start: it cannot be started"},
        {"not a program at all",
         {{"bin/tool.exe", 0755, "text", "", ""}}, -1, "tool.exe does not start: it cannot be started"},
        {"text in bin, programs elsewhere",
         {kBin, {"bin/readme.txt", 0644, "text", "", ""}, {"tool.exe", 0755, "fake", kGood, kPass},
          {"lib/x.exe", 0644, "fake", kGood, kPass}},
         -1, "the package contains no programs (bin/...)"},
        {"no entries", {}, -1, "the package contains no programs (bin/...)"},
        // A scanner that quarantines the program right after unpacking.
        {"program gone",
         {kBin, {"bin/tool.exe", 0755, "gone", "", ""}}, -2,
         "tool.exe was blocked or removed by the virus scanner (the file was removed right after "
         "unpacking); add an exclusion for the folder {install} to it"},
    };
    for (auto &c : cases) {
        check_result r = check(c.files);
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(r.err, with_install(c.err, r)) << c.name;
    }
}

TEST(PackageCheck, NullArgumentsWithoutAMessage)
{
    pkg_entry e;
    memset(&e, 0, sizeof e);
    char err[64] = "";
    EXPECT_EQ(package_check_programs(nullptr, &e, 1, "1.2.3", err, sizeof err), -1);
    EXPECT_EQ(package_check_programs("C:\\x", nullptr, 1, "1.2.3", err, sizeof err), -1);
    EXPECT_STREQ(err, "");
}

namespace {

DWORD g_refusal;  // the error the scanner's CreateProcessA gives

BOOL WINAPI scanner_CreateProcessA(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                   BOOL, DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA,
                                   LPPROCESS_INFORMATION)
{
    SetLastError(g_refusal);
    return FALSE;
}

}  // namespace

TEST(PackageCheck, StartRefusedByTheScanner)
{
    seam_guard<proc_api> guard(proc_calls);
    proc_calls.CreateProcessA = scanner_CreateProcessA;
    struct {
        DWORD error;
        int rc;
        const char *err;
    } cases[] = {
        {225, -2,
         "tool.exe was blocked or removed by the virus scanner (it contains a threat according "
         "to the virus scanner); add an exclusion for the folder {install} to it"},
        {226, -2,
         "tool.exe was blocked or removed by the virus scanner (the virus scanner removed it as "
         "a threat); add an exclusion for the folder {install} to it"},
        {ERROR_ACCESS_DENIED, -1, "tool.exe does not start: it cannot be started"},
    };
    for (auto &c : cases) {
        g_refusal = c.error;
        check_result r = check({kBin, {"bin/tool.exe", 0755, "fake", kGood, kPass}});
        EXPECT_EQ(r.rc, c.rc) << c.error;
        EXPECT_EQ(r.err, with_install(c.err, r)) << c.error;
    }
}

namespace {

// The WARN lines written while it lives, up to " (error" (the number is
// Wine's to choose).
struct warn_lines {
    std::vector<std::string> lines;
    warn_lines()
    {
        log_init("selftest_test", LOG_INFO);
        log_set_callback(keep, this);
    }
    ~warn_lines() { log_set_callback(nullptr, nullptr); }
    static void keep(int level, const char *text, void *user)
    {
        if (level != LOG_WARN)
            return;
        std::string t = text;
        ((warn_lines *)user)->lines.push_back(t.substr(0, t.find(" (error")));
    }
};

}  // namespace

// Checked several at once, the programs still leave the log, the outcome and
// what was started as a check in entry order does: nothing is started after
// a failure is known, and a later program's lines are written only once
// every earlier one has passed, so those of programs a check in order never
// reaches are not written at all.
TEST(PackageCheck, LogAndStartsAsInACheckInOrder)
{
    std::string starts = test_temp_dir("starts");
    // A fake that records each start in "<starts>\<name>", then does what
    // the actions say.
    auto logged = [&](const char *name, const std::string &actions) {
        return "log:" + starts + "\\" + name + "\n" + actions;
    };
    struct {
        const char *name;
        std::vector<pkg_file> files;
        const char *err;
        std::vector<std::string> warns;        // "{staging}" for the staging directory
        std::vector<std::string> not_started;  // "name option" of runs that never start
    } cases[] = {
        {"a slow self-test failure before programs that cannot start",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3\\n", "sleep:1500\nexit:5"},
          {"bin/b.exe", 0755, "text", "", ""},
          {"bin/c.exe", 0755, "text", "", ""}},
         "a.exe failed its self-test: no output, exit status 5", {}, {}},
        {"two programs that cannot start after a slow one that passes",
         {{"bin/a.exe", 0755, "fake", "out:a 1.2.3\\n", "sleep:1500\n" + kPass},
          {"bin/b.exe", 0755, "text", "", ""},
          {"bin/c.exe", 0755, "text", "", ""}},
         "b.exe does not start: it cannot be started",
         {"{staging}/bin/b.exe --version: the start failed"}, {}},
        {"a program that cannot start before slow ones",
         {{"bin/a.exe", 0755, "text", "", ""},
          {"bin/b.exe", 0755, "fake", logged("b", "sleep:2000\nout:b 1.2.3\\n"), logged("b", kPass)},
          {"bin/c.exe", 0755, "fake", logged("c", "sleep:2000\nout:c 1.2.3\\n"), logged("c", kPass)},
          {"bin/d.exe", 0755, "fake", logged("d", "sleep:2000\nout:d 1.2.3\\n"), logged("d", kPass)},
          {"bin/e.exe", 0755, "fake", logged("e", "out:e 1.2.3\\n"), logged("e", kPass)}},
         "a.exe does not start: it cannot be started",
         {"{staging}/bin/a.exe --version: the start failed"},
         {"b --selftest", "c --selftest", "d --selftest", "e --version", "e --selftest"}},
    };
    for (auto &c : cases) {
        std::vector<pkg_entry> entries;
        std::string staging = make_package(c.files, &entries);
        char err[400] = "";
        warn_lines warns;
        EXPECT_EQ(package_check_programs(staging.c_str(), entries.data(), entries.size(), "1.2.3",
                                         err, sizeof err),
                  -1)
            << c.name;
        EXPECT_STREQ(err, c.err) << c.name;
        std::vector<std::string> want;
        for (std::string w : c.warns)
            want.push_back(w.replace(w.find("{staging}"), 9, staging));
        EXPECT_EQ(warns.lines, want) << c.name;
        for (const std::string &run : c.not_started) {
            std::string name = run.substr(0, run.find(' '));
            std::string option = run.substr(run.find(' ') + 1);
            std::string seen = test_read_file(starts + "\\" + name);
            EXPECT_EQ(seen.find(option), std::string::npos) << c.name << ": " << run;
        }
    }
}

