// resource-lock: product-programs
// The process runner on Windows, with the tests' fake program as the child:
// quoting as the child's own split sees it, output through one bounded pipe,
// exit codes, the time limit and the job that ends what a program leaves
// behind, environment overrides, and the list of running product programs.
// The call table makes the failures that no real system gives on demand (no
// pipe, no job, a start refused by a virus scanner) and counts the handles.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "proc.h"
#include "proc_win.h"
#include "run_win.h"
#include "seam_guard.h"
#include "test_util.h"

namespace {

// One proc_run and what came of it.
struct run_result {
    int rc = -2;
    proc_result res = {};
    std::string out;
    ULONGLONG ms = 0;  // how long proc_run took
};

run_result run(std::vector<std::string> argv, uint32_t timeout_s, size_t outcap = 4096,
               const std::vector<std::string> &env = {}, bool with_env = false)
{
    std::vector<const char *> a;
    for (const std::string &s : argv)
        a.push_back(s.c_str());
    a.push_back(nullptr);
    std::vector<const char *> e;
    for (const std::string &s : env)
        e.push_back(s.c_str());
    e.push_back(nullptr);
    run_result r;
    std::vector<char> buf(outcap + 1, '#');
    ULONGLONG t0 = GetTickCount64();
    r.rc = proc_run(a.data(), with_env || !env.empty() ? e.data() : nullptr, timeout_s,
                    outcap ? buf.data() : nullptr, outcap, &r.res);
    r.ms = GetTickCount64() - t0;
    if (outcap)
        r.out = buf.data();
    return r;
}

std::vector<std::string> fake(std::vector<std::string> actions)
{
    actions.insert(actions.begin(), test_fake_prog());
    return actions;
}

// The id that the fake wrote into path; 0 when there is none.
DWORD read_pid(const std::string &path) { return (DWORD)strtoul(test_read_file(path).c_str(), nullptr, 10); }

std::string env_value(const char *name)
{
    char buf[4096];
    SetLastError(0);
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return "<unset>";
    return std::string(buf, n);
}

// The lines of the fake's "args" action, decoded.
std::vector<std::string> decoded_lines(const std::string &out)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < out.size()) {
        size_t nl = out.find('\n', at);
        if (nl == std::string::npos)
            nl = out.size();
        lines.push_back(test_unhex(out.substr(at, nl - at)));
        at = nl + 1;
    }
    return lines;
}

}  // namespace

TEST(ProcRun, ArgumentsArriveUnchanged)
{
    // The program itself lies in a folder with a blank, as under Program Files.
    std::string dir = test_temp_dir("proc") + "\\with blank";
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    std::string prog = dir + "\\fake prog.exe";
    ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), prog.c_str(), FALSE));
    std::vector<std::string> args = {
        "args",
        "/Query",
        "orvantis updater",
        "tab\there",
        "say \"hi\"",
        "",
        "C:\\dir with blank\\",
        "ends in two\\\\",
        "a\\\\\"b",
        "\\\\server\\share\\",
        "\"",
        "line\nfeed",
        "ümlaut ä",
    };
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), prog);
    run_result r = run(argv, 10, 8192);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.res.exit_code, 0) << r.out;
    std::vector<std::string> got = decoded_lines(r.out);
    ASSERT_EQ(got.size(), args.size() + 1) << r.out;
    EXPECT_EQ(got[0], prog);
    for (size_t i = 0; i < args.size(); i++)
        EXPECT_EQ(got[i + 1], args[i]) << "argument " << i << " [" << args[i] << "]";
}

TEST(ProcRun, OutputAndExitCodes)
{
    struct {
        const char *name;
        std::vector<std::string> actions;
        size_t outcap;
        std::string out;
        int32_t exit_code;
    } cases[] = {
        {"output and exit 0", {"out:hello\\r\\n"}, 4096, "hello\r\n", 0},
        // One pipe for both streams keeps the order in which they were written.
        {"both streams in order", {"out:a", "err:b", "out:c", "sleep:100", "err:d\\n"}, 4096,
         "abcd\n", 0},
        {"no output, exit 3", {"exit:3"}, 4096, "", 3},
        {"status of a missing DLL", {"err:x", "exit:0xC0000135"}, 4096, "x", (int32_t)0xC0000135},
        {"cut after cap - 1 bytes", {"out:abcdef", "exit:2"}, 4, "abc", 2},
        // The first cap - 1 bytes exactly, in the program's code page: a
        // German tool's "Straße" in CP850 keeps its 0xE1.
        {"cut inside a UTF-8 character", {"out:ab\\xC3\\xA4cd"}, 4, "ab\xC3", 0},
        {"OEM code page kept at the cut", {"out:Stra\\xE1e"}, 6, "Stra\xE1", 0},
    };
    for (auto &c : cases) {
        run_result r = run(fake(c.actions), 10, c.outcap);
        EXPECT_EQ(r.rc, 0) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.res.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(r.res.timed_out, 0) << c.name;
        EXPECT_EQ(r.res.error, 0u) << c.name;
    }
}

TEST(ProcRun, OutputBeyondTheBufferIsReadAndDropped)
{
    // Far more than the pipe holds: the child must never wait on a full pipe.
    run_result r = run(fake({"flood:300000", "exit:6"}), 20, 16);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, "abcdefghijklmno");
    EXPECT_EQ(r.res.exit_code, 6);
    EXPECT_EQ(r.res.timed_out, 0);
    EXPECT_LT(r.ms, 10000u);

    // No buffer at all: drained and dropped, and a given buffer is not touched.
    char keep[8] = "keep";
    proc_result res;
    const char *argv[] = {test_fake_prog().c_str(), "flood:100000", nullptr};
    std::string prog = test_fake_prog();
    argv[0] = prog.c_str();
    EXPECT_EQ(proc_run(argv, nullptr, 20, keep, 0, &res), 0);
    EXPECT_STREQ(keep, "keep");
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(proc_run(argv, nullptr, 20, nullptr, 0, &res), 0);
    EXPECT_EQ(res.exit_code, 0);
}

TEST(ProcRun, TimeLimitEndsTheProgramAndWhatItStarted)
{
    std::string pid_file = test_temp_dir("proc") + "\\grandchild.pid";
    run_result r = run(fake({"out:started\\n", "spawn:2", "pid:" + pid_file, "sleep:60000",
                             "wait:" + pid_file, "sleep:60000"}),
                       2);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.timed_out, 1);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(r.res.error, 0u);
    EXPECT_EQ(r.out, "started\n");
    EXPECT_GE(r.ms, 2000u);
    EXPECT_LT(r.ms, 5000u);
    DWORD pid = read_pid(pid_file);
    ASSERT_NE(pid, 0u) << "the grandchild did not start";
    EXPECT_TRUE(test_process_ended(pid)) << "the grandchild outlived the time limit";
}

TEST(ProcRun, LimitZeroGivesOneShortWait)
{
    run_result r = run(fake({"sleep:5000"}), 0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.timed_out, 1);
    EXPECT_LT(r.ms, 3000u);
}

TEST(ProcRun, WhatTheProgramLeavesRunningEndsWithTheRun)
{
    std::string pid_file = test_temp_dir("proc") + "\\grandchild.pid";
    run_result r = run(fake({"spawn:2", "pid:" + pid_file, "sleep:60000", "wait:" + pid_file, "exit:4"}), 20);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.exit_code, 4);
    EXPECT_EQ(r.res.timed_out, 0);
    EXPECT_LT(r.ms, 5000u) << "the run waited for the grandchild";
    DWORD pid = read_pid(pid_file);
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(test_process_ended(pid)) << "the grandchild outlived the run";
}

TEST(ProcRun, EndlessOutputStillMeetsTheTimeLimit)
{
    // A program that never stops writing keeps the pipe full: the drain must
    // still give the time limit its turn. The limit leaves a start under
    // Wine on a busy machine (over a second at times) room to write at all.
    run_result r = run(fake({"flood:0"}), 3, 64);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.timed_out, 1);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(r.out.size(), 63u);
    EXPECT_LT(r.ms, 7000u);
}

TEST(ProcRun, WritingGrandchildDoesNotHoldTheEndOfTheRun)
{
    // The program ends, but what it started floods the same pipe: the last
    // drain takes what was waiting, and the job ends the writer.
    std::string pid_file = test_temp_dir("proc") + "\\grandchild.pid";
    run_result r = run(fake({"spawn:2", "pid:" + pid_file, "flood:0", "wait:" + pid_file, "sleep:300", "exit:0"}), 30, 64);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.timed_out, 0);
    EXPECT_EQ(r.res.exit_code, 0);
    EXPECT_LT(r.ms, 5000u);
    DWORD pid = read_pid(pid_file);
    ASSERT_NE(pid, 0u);
    EXPECT_TRUE(test_process_ended(pid));
}

// While one thread runs a program, others write files and read pipes whose
// handles are inheritable (the C runtime's files are): the program must take
// none of them along. Held by the program, a freshly written file could be
// neither replaced, moved nor started until it ends, and another program's
// pipe would never reach its end.
TEST(ProcRun, ProgramTakesNoOtherHandleAlong)
{
    std::string dir = test_temp_dir("proc");
    std::string file = dir + "\\tool.exe.part", pid_file = dir + "\\child.pid";
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE written = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(written, INVALID_HANDLE_VALUE);
    HANDLE sibling_read = nullptr, sibling_write = nullptr;
    ASSERT_TRUE(CreatePipe(&sibling_read, &sibling_write, &sa, 0));

    run_result r;
    std::thread runner([&] { r = run(fake({"pid:" + pid_file, "sleep:20000"}), 30); });
    DWORD pid = 0;
    for (int i = 0; i < 400 && pid == 0; i++) {
        Sleep(50);
        pid = read_pid(pid_file);
    }
    CloseHandle(written);
    CloseHandle(sibling_write);

    // The program runs; the file and the pipe are ours alone.
    HANDLE only_ours = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD open_error = only_ours == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (only_ours != INVALID_HANDLE_VALUE)
        CloseHandle(only_ours);
    BOOL moved = MoveFileExA(file.c_str(), (dir + "\\tool.exe").c_str(), 0);
    DWORD waiting = 0;
    BOOL peeked = PeekNamedPipe(sibling_read, nullptr, 0, nullptr, &waiting, nullptr);
    DWORD peek_error = peeked ? 0 : GetLastError();
    bool running = pid != 0 && !test_process_ended(pid, 0);

    if (HANDLE child = pid ? OpenProcess(PROCESS_TERMINATE, FALSE, pid) : nullptr) {
        TerminateProcess(child, 0);
        CloseHandle(child);
    }
    runner.join();
    CloseHandle(sibling_read);

    ASSERT_NE(pid, 0u) << "the program never ran";
    EXPECT_TRUE(running) << "the program ended before the checks";
    EXPECT_EQ(open_error, 0u) << "the program holds the written file";
    EXPECT_TRUE(moved) << "the written file cannot be moved";
    EXPECT_FALSE(peeked) << "the program holds the other pipe's write end";
    EXPECT_EQ(peek_error, (DWORD)ERROR_BROKEN_PIPE);
    EXPECT_EQ(r.rc, 0);
}

TEST(ProcRun, ProgramThatIsNotThere)
{
    std::string missing = test_temp_dir("proc") + "\\missing.exe";
    run_result r = run({missing, "--version"}, 10, 16);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.res.error, (uint32_t)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(r.res.timed_out, 0);
    EXPECT_EQ(r.out, "");
}

TEST(ProcRun, CommandLineOfAtMost8191Characters)
{
    std::string prog = test_fake_prog();
    ASSERT_EQ(prog.find(' '), std::string::npos);
    std::string pid_file = test_temp_dir("proc") + "\\started.pid";
    std::string pid_action = "pid:" + pid_file;
    ASSERT_EQ(pid_action.find(' '), std::string::npos);
    // program, blank, the pid action, blank, filler: 8191 characters in all.
    size_t fill = PROC_CMDLINE_MAX - 1 - prog.size() - 1 - pid_action.size() - 1;
    run_result r = run({prog, pid_action, std::string(fill, 'x')}, 10, 16);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.exit_code, 0);
    EXPECT_NE(read_pid(pid_file), 0u);

    DeleteFileA(pid_file.c_str());
    ASSERT_EQ(env_value("ORV_TEST_LONG_LINE"), "<unset>");
    r = run({prog, pid_action, std::string(fill + 1, 'x')}, 10, 16, {"ORV_TEST_LONG_LINE=1"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.res.error, 0u);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(read_pid(pid_file), 0u) << "started although the line did not fit";
    EXPECT_EQ(env_value("ORV_TEST_LONG_LINE"), "<unset>");
}

TEST(ProcRun, EnvironmentOverridesHoldForTheRunOnly)
{
    std::string long_value(300, 'v');
    SetEnvironmentVariableA("ORV_T_SHORT", "before");
    SetEnvironmentVariableA("ORV_T_LONG", long_value.c_str());
    SetEnvironmentVariableA("ORV_T_TWICE", "original");
    SetEnvironmentVariableA("ORV_T_UNSET", nullptr);
    std::vector<std::string> env = {
        "ORV_T_UNSET=new",
        "ORV_T_SHORT=during",
        "ORV_T_LONG=short now",
        "ORV_T_TWICE=first",
        "ORV_T_TWICE=second",
        "NO_EQUALS_SIGN",
        "=no name",
        std::string(128, 'N') + "=too long a name",
    };
    // Eleven more make sixteen taken entries; the one after them is ignored.
    for (int i = 0; i < 12; i++)
        env.push_back("ORV_T_N" + std::to_string(i) + "=" + std::to_string(i));
    for (int i = 0; i < 12; i++)
        SetEnvironmentVariableA(("ORV_T_N" + std::to_string(i)).c_str(), nullptr);

    std::vector<std::string> actions = {"env:ORV_T_UNSET", "env:ORV_T_SHORT", "env:ORV_T_LONG",
                                        "env:ORV_T_TWICE", "env:ORV_T_N10", "env:ORV_T_N11"};
    run_result r = run(fake(actions), 10, 4096, env);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.out,
              "ORV_T_UNSET=new\nORV_T_SHORT=during\nORV_T_LONG=short now\nORV_T_TWICE=second\n"
              "ORV_T_N10=10\nORV_T_N11 unset\n");

    struct {
        const char *name;
        std::string after;
    } cases[] = {
        {"ORV_T_UNSET", "<unset>"},
        {"ORV_T_SHORT", "before"},
        {"ORV_T_LONG", long_value},
        {"ORV_T_TWICE", "original"},
        {"ORV_T_N0", "<unset>"},
        {"ORV_T_N10", "<unset>"},
    };
    for (auto &c : cases)
        EXPECT_EQ(env_value(c.name), c.after) << c.name;
    for (const char *n : {"ORV_T_SHORT", "ORV_T_LONG", "ORV_T_TWICE"})
        SetEnvironmentVariableA(n, nullptr);
}

TEST(ProcRunning, CountsAndListsProductPrograms)
{
    std::string dir = test_temp_dir("proc");
    std::string agent = dir + "\\orv_agent.exe", updater = dir + "\\ORV_UPDATER.EXE";
    ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), agent.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), updater.c_str(), FALSE));
    std::vector<PROCESS_INFORMATION> started;
    for (const std::string &p : {agent, agent, updater}) {
        std::string line = "\"" + p + "\" sleep:20000";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        // Wine's loader now and then refuses a start on a busy machine with
        // ERROR_INTERNAL_ERROR; the runner tries again, and so does this.
        BOOL ok = FALSE;
        DWORD error = 0;
        for (int attempt = 0; attempt < 3 && !ok; attempt++) {
            if (attempt)
                Sleep(100);
            ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                nullptr, nullptr, &si, &pi);
            error = ok ? 0 : GetLastError();
            if (!ok && error != ERROR_INTERNAL_ERROR)
                break;
        }
        ASSERT_TRUE(ok) << p << ": error " << error;
        started.push_back(pi);
    }

    char names[64];
    int n = proc_running_programs(names, sizeof names);
    char small[17];
    int n_small = proc_running_programs(small, sizeof small);
    char untouched[4] = "abc";
    int n_zero = proc_running_programs(untouched, 0);

    for (PROCESS_INFORMATION &pi : started) {
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }

    EXPECT_EQ(n, 3);
    std::string list = names;
    std::vector<std::string> listed;
    for (size_t at = 0; at <= list.size();) {
        size_t sep = list.find(", ", at);
        listed.push_back(list.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
        at = sep == std::string::npos ? list.size() + 1 : sep + 2;
    }
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"orv_agent.exe", "orv_agent.exe", "orv_updater.exe"}))
        << list;
    // Counted in full, listed only while the list, the name and 3 stay below
    // the buffer's size: in 17 bytes one orv_agent.exe, never orv_updater.exe.
    EXPECT_EQ(n_small, 3);
    EXPECT_STREQ(small, "orv_agent.exe");
    EXPECT_EQ(n_zero, 3);
    EXPECT_STREQ(untouched, "abc");
    EXPECT_EQ(proc_running_programs(names, sizeof names), 0) << names;
}

// ---- failures made through the call table -------------------------------------

namespace {

enum fail_point {
    FAIL_NONE,
    FAIL_PIPE,
    FAIL_JOB,
    FAIL_LIMIT,
    FAIL_ASSIGN,    // the job takes the program neither at the start nor later
    FAIL_JOB_LIST,  // the system cannot name the job at the start (before Windows 10)
    FAIL_START,
    FAIL_START_ONCE,  // the first start is refused, the next goes through
    FAIL_RESUME
};

fail_point g_fail;               // the call that fails
DWORD g_start_error;             // the error of a failing CreateProcessA
int g_starts_refused;            // starts refused so far with FAIL_START_ONCE
bool g_started_in_job;           // the last start named the job itself
DWORD g_child_pid;               // the id of the last program started
std::map<HANDLE, int> g_handles; // opened minus closed, per handle
int g_peeks;                     // calls of the endless pipe's PeekNamedPipe
LPPROC_THREAD_ATTRIBUTE_LIST g_job_listed; // the live attribute list that names a job

void opened(HANDLE h)
{
    if (h)
        g_handles[h]++;
}

BOOL WINAPI fail_CreatePipe(PHANDLE r, PHANDLE w, LPSECURITY_ATTRIBUTES sa, DWORD size)
{
    if (g_fail == FAIL_PIPE) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    BOOL ok = CreatePipe(r, w, sa, size);
    if (ok) {
        opened(*r);
        opened(*w);
    }
    return ok;
}

HANDLE WINAPI fail_CreateJobObjectA(LPSECURITY_ATTRIBUTES sa, LPCSTR name)
{
    if (g_fail == FAIL_JOB) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HANDLE h = CreateJobObjectA(sa, name);
    opened(h);
    return h;
}

BOOL WINAPI fail_SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS c, LPVOID info, DWORD n)
{
    if (g_fail == FAIL_LIMIT) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return SetInformationJobObject(job, c, info, n);
}

BOOL WINAPI fail_AssignProcessToJobObject(HANDLE job, HANDLE process)
{
    if (g_fail == FAIL_ASSIGN) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return AssignProcessToJobObject(job, process);
}

BOOL WINAPI fail_CreateProcessA(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                                LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                                LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi)
{
    if (g_fail == FAIL_START || (g_fail == FAIL_START_ONCE && g_starts_refused++ == 0)) {
        SetLastError(g_start_error);
        return FALSE;
    }
    // A job that refuses the program refuses it in the start as well.
    if (g_fail == FAIL_ASSIGN && (flags & EXTENDED_STARTUPINFO_PRESENT) &&
        g_job_listed && ((LPSTARTUPINFOEXA)si)->lpAttributeList == g_job_listed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    BOOL ok = CreateProcessA(app, line, pa, ta, inherit, flags, env, dir, si, pi);
    g_started_in_job = ok && (flags & EXTENDED_STARTUPINFO_PRESENT) && g_job_listed &&
                       ((LPSTARTUPINFOEXA)si)->lpAttributeList == g_job_listed;
    if (ok) {
        opened(pi->hProcess);
        opened(pi->hThread);
        g_child_pid = pi->dwProcessId;
    }
    return ok;
}

BOOL WINAPI fail_UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags,
                                           DWORD_PTR attr, PVOID value, SIZE_T size, PVOID prev,
                                           PSIZE_T ret)
{
    if (g_fail == FAIL_JOB_LIST && attr == PROC_THREAD_ATTRIBUTE_JOB_LIST) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    BOOL ok = UpdateProcThreadAttribute(list, flags, attr, value, size, prev, ret);
    if (ok && attr == PROC_THREAD_ATTRIBUTE_JOB_LIST)
        g_job_listed = list;
    return ok;
}

VOID WINAPI noted_DeleteProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list)
{
    if (list == g_job_listed)
        g_job_listed = nullptr;
    DeleteProcThreadAttributeList(list);
}

DWORD WINAPI fail_ResumeThread(HANDLE thread)
{
    if (g_fail == FAIL_RESUME) {
        SetLastError(ERROR_ACCESS_DENIED);
        return (DWORD)-1;
    }
    return ResumeThread(thread);
}

BOOL WINAPI counted_CloseHandle(HANDLE h)
{
    g_handles[h]--;
    return CloseHandle(h);
}

// A pipe that always has 512 more bytes waiting, as a writer that never
// pauses makes it; it runs dry after 20 s, so that a runner that waits for
// an empty pipe ends as a slow run rather than a hung test.
BOOL WINAPI endless_PeekNamedPipe(HANDLE, LPVOID, DWORD, LPDWORD, LPDWORD avail, LPDWORD)
{
    static ULONGLONG first;
    if (g_peeks++ == 0)
        first = GetTickCount64();
    *avail = GetTickCount64() - first < 20000 ? 512 : 0;
    return TRUE;
}

BOOL WINAPI endless_ReadFile(HANDLE, LPVOID buf, DWORD want, LPDWORD got, LPOVERLAPPED)
{
    memset(buf, 'x', want);
    *got = want;
    return TRUE;
}

// Points the table at the failing and counting fakes above.
void install_fakes(fail_point fail)
{
    g_fail = fail;
    g_starts_refused = 0;
    g_child_pid = 0;
    g_handles.clear();
    proc_calls.CreatePipe = fail_CreatePipe;
    proc_calls.CreateJobObjectA = fail_CreateJobObjectA;
    proc_calls.SetInformationJobObject = fail_SetInformationJobObject;
    proc_calls.AssignProcessToJobObject = fail_AssignProcessToJobObject;
    proc_calls.CreateProcessA = fail_CreateProcessA;
    proc_calls.ResumeThread = fail_ResumeThread;
    proc_calls.UpdateProcThreadAttribute = fail_UpdateProcThreadAttribute;
    proc_calls.DeleteProcThreadAttributeList = noted_DeleteProcThreadAttributeList;
    proc_calls.CloseHandle = counted_CloseHandle;
    g_job_listed = nullptr;
}

// The handles that were opened and not closed, or closed too often.
std::string unbalanced_handles()
{
    std::string s;
    for (auto &h : g_handles)
        if (h.second != 0)
            s += std::to_string((uintptr_t)h.first) + ":" + std::to_string(h.second) + " ";
    return s;
}

}  // namespace

TEST(ProcRunSeam, EveryPathClosesItsHandlesAndRestoresTheEnvironment)
{
    seam_guard<proc_api> guard(proc_calls);
    struct {
        const char *name;
        fail_point fail;
        DWORD start_error;
        int rc;
        uint32_t error;
        int32_t exit_code;
        const char *out;
    } cases[] = {
        {"all well", FAIL_NONE, 0, 0, 0, 5, "ORV_T_SEAM=1\n"},
        {"no pipe", FAIL_PIPE, 0, -1, 0, -1, ""},
        {"no job", FAIL_JOB, 0, 0, 0, 5, "ORV_T_SEAM=1\n"},
        {"job refuses its limit", FAIL_LIMIT, 0, 0, 0, 5, "ORV_T_SEAM=1\n"},
        {"job refuses the program", FAIL_ASSIGN, 0, 0, 0, 5, "ORV_T_SEAM=1\n"},
        {"job not named at the start", FAIL_JOB_LIST, 0, 0, 0, 5, "ORV_T_SEAM=1\n"},
        {"virus found", FAIL_START, 225, -1, 225, -1, ""},
        {"virus removed", FAIL_START, 226, -1, 226, -1, ""},
        {"bad format", FAIL_START, ERROR_BAD_EXE_FORMAT, -1, ERROR_BAD_EXE_FORMAT, -1, ""},
        {"loader busy for a moment", FAIL_START_ONCE, ERROR_INTERNAL_ERROR, 0, 0, 5,
         "ORV_T_SEAM=1\n"},
        {"loader refuses for good", FAIL_START, ERROR_INTERNAL_ERROR, -1, ERROR_INTERNAL_ERROR,
         -1, ""},
        // Never resumed, the program would only be found out at its time
        // limit, as one that hung.
        {"thread not resumed", FAIL_RESUME, 0, -1, ERROR_ACCESS_DENIED, -1, ""},
    };
    SetEnvironmentVariableA("ORV_T_SEAM", nullptr);
    for (auto &c : cases) {
        install_fakes(c.fail);
        g_start_error = c.start_error;
        run_result r = run(fake({"env:ORV_T_SEAM", "exit:5"}), 10, 64, {"ORV_T_SEAM=1"});
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(r.res.error, c.error) << c.name;
        EXPECT_EQ(r.res.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(r.res.timed_out, 0) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_LT(r.ms, 5000u) << c.name;
        EXPECT_EQ(unbalanced_handles(), "") << c.name;
        EXPECT_EQ(env_value("ORV_T_SEAM"), "<unset>") << c.name;
        // A start refused for a moment is tried again the same way, not
        // only by the way without the job in the start.
        if (c.fail == FAIL_START_ONCE) {
            EXPECT_TRUE(g_started_in_job) << c.name;
        }
        if (g_child_pid) {
            EXPECT_TRUE(test_process_ended(g_child_pid)) << c.name << ": the program still runs";
        }
    }
}

TEST(ProcRunSeam, JobWithoutItsLimitStillEndsWhatIsLeft)
{
    struct {
        const char *name;
        fail_point fail;
    } cases[] = {
        {"job refuses its limit", FAIL_LIMIT},
        // Before Windows 10 the job is assigned to the suspended program:
        // what the program starts is still in the job.
        {"job not named at the start", FAIL_JOB_LIST},
    };
    for (auto &c : cases) {
        seam_guard<proc_api> guard(proc_calls);
        install_fakes(c.fail);
        std::string pid_file = test_temp_dir("proc") + "\\grandchild.pid";
        DeleteFileA(pid_file.c_str());
        run_result r =
            run(fake({"spawn:2", "pid:" + pid_file, "sleep:60000", "wait:" + pid_file}), 20);
        EXPECT_EQ(r.rc, 0) << c.name;
        EXPECT_EQ(r.res.exit_code, 0) << c.name;
        DWORD pid = read_pid(pid_file);
        ASSERT_NE(pid, 0u) << c.name;
        EXPECT_TRUE(test_process_ended(pid)) << c.name << ": the grandchild outlived the run";
        EXPECT_EQ(unbalanced_handles(), "") << c.name;
    }
}

TEST(ProcRunSeam, ProgramOutsideTheJobIsEndedAtTheLimit)
{
    // The job is there but the program is not in it: ending the job alone
    // would leave the program running.
    seam_guard<proc_api> guard(proc_calls);
    install_fakes(FAIL_ASSIGN);
    run_result r = run(fake({"out:up", "sleep:60000"}), 1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.res.timed_out, 1);
    EXPECT_EQ(r.res.exit_code, -1);
    EXPECT_EQ(r.out, "up");
    EXPECT_LT(r.ms, 4000u);
    ASSERT_NE(g_child_pid, 0u);
    EXPECT_TRUE(test_process_ended(g_child_pid, 0)) << "the program outlived its time limit";
    EXPECT_EQ(unbalanced_handles(), "");
}

TEST(ProcRunSeam, PipeThatNeverEmpties)
{
    seam_guard<proc_api> guard(proc_calls);
    proc_calls.PeekNamedPipe = endless_PeekNamedPipe;
    proc_calls.ReadFile = endless_ReadFile;
    struct {
        const char *name;
        std::vector<std::string> actions;
        uint32_t limit;
        int32_t timed_out;
        int32_t exit_code;
    } cases[] = {
        // The time limit still gets its turn ...
        {"program that keeps running", {"sleep:60000"}, 1, 1, -1},
        // ... and so do the program's end and the last drain.
        {"program that ends", {"exit:9"}, 30, 0, 9},
    };
    for (auto &c : cases) {
        g_peeks = 0;
        run_result r = run(fake(c.actions), c.limit, 100);
        EXPECT_EQ(r.rc, 0) << c.name;
        EXPECT_EQ(r.res.timed_out, c.timed_out) << c.name;
        EXPECT_EQ(r.res.exit_code, c.exit_code) << c.name;
        EXPECT_EQ(r.out, std::string(99, 'x')) << c.name;
        EXPECT_LT(r.ms, 4000u) << c.name;
    }
}

// ---- a caller that is ended while its program runs ------------------------------

// Started by ProcRun.EndedCallerTakesItsProgramAlong with ORV_T_KILL_AT and
// ORV_T_KILL_PIDFILE: runs a program that would sleep for a minute, and is
// ended while it does.
TEST(ProcRunKilledCaller, Run)
{
    if (!getenv("ORV_T_KILL_AT") || !getenv("ORV_T_KILL_PIDFILE"))
        GTEST_SKIP() << "started only by ProcRun.EndedCallerTakesItsProgramAlong";
    proc_calls.CreateProcessA = test_create_then_end;
    proc_result res;
    std::string prog = test_fake_prog();
    const char *argv[] = {prog.c_str(), "sleep:60000", nullptr};
    proc_run(argv, nullptr, 120, nullptr, 0, &res);
    exit(0);
}

TEST(ProcRun, EndedCallerTakesItsProgramAlong)
{
    // A setup ended while a program's check runs must leave no program
    // behind, at whatever point it is ended.
    for (const char *at : {"start", "run"}) {
        std::string pid_file = test_temp_dir("proc") + "\\killed-" + at + ".pid";
        DeleteFileA(pid_file.c_str());
        SetEnvironmentVariableA("ORV_T_KILL_AT", at);
        SetEnvironmentVariableA("ORV_T_KILL_PIDFILE", pid_file.c_str());
        int code = test_run_self("ProcRunKilledCaller.Run");
        SetEnvironmentVariableA("ORV_T_KILL_AT", nullptr);
        SetEnvironmentVariableA("ORV_T_KILL_PIDFILE", nullptr);
        EXPECT_EQ(code, 3) << at << ": the caller was not ended during the run";
        DWORD child = read_pid(pid_file);
        ASSERT_NE(child, 0u) << at << ": the caller started nothing";
        EXPECT_TRUE(test_process_ended(child)) << at << ": the program outlived its caller";
    }
}
