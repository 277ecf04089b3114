// The asynchronous spawner on Windows, with the tests' fake program as the
// child. The fake is a GUI program without a console, so no break can reach
// it: the console calls are faked through the call table to show which break
// is sent to which process group, and a fake tick count jumps past the grace
// period once a break went out, so the forced end comes at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "proc_spawn.h"
#include "proc_spawn_win.h"
#include "proc_win.h"
#include "run_win.h"
#include "seam_guard.h"
#include "test_util.h"

namespace {

// The argument vector of the fake program with the given actions.
struct fake_argv {
    std::vector<std::string> store;
    std::vector<const char *> ptrs;
    explicit fake_argv(std::vector<std::string> actions)
    {
        store.push_back(test_fake_prog());
        store.insert(store.end(), actions.begin(), actions.end());
        for (const std::string &s : store)
            ptrs.push_back(s.c_str());
        ptrs.push_back(nullptr);
    }
    const char *const *argv() const { return ptrs.data(); }
};

// What the faked console calls saw, in order.
std::vector<std::string> console_calls;
ULONGLONG tick_offset;    // added to the real tick count once a break went out
UINT console_cp;          // what the faked GetConsoleCP answers
BOOL attach_answer;       // what the faked AttachConsole answers

ULONGLONG WINAPI fake_ticks(void) { return GetTickCount64() + tick_offset; }
UINT WINAPI fake_console_cp(void) { return console_cp; }
BOOL WINAPI fake_generate(DWORD event, DWORD group)
{
    console_calls.push_back("break " + std::to_string(event) + " " + std::to_string(group));
    tick_offset += PROC_FORCE_AFTER_MS;
    return TRUE;
}
BOOL WINAPI fake_attach(DWORD pid)
{
    console_calls.push_back("attach " + std::to_string(pid));
    return attach_answer;
}
BOOL WINAPI fake_free_console(void)
{
    console_calls.push_back("free");
    return TRUE;
}
BOOL WINAPI fake_ctrl_handler(PHANDLER_ROUTINE r, BOOL add)
{
    console_calls.push_back(std::string(r ? "handler " : "ignore ") + (add ? "on" : "off"));
    return TRUE;
}
VOID WINAPI fake_sleep(DWORD ms) { console_calls.push_back("sleep " + std::to_string(ms)); }

// The handles of the last handle list the spawner built.
std::vector<HANDLE> listed;
BOOL WINAPI recording_update(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attr,
                             PVOID value, SIZE_T size, PVOID prev, PSIZE_T ret)
{
    if (attr == PROC_THREAD_ATTRIBUTE_HANDLE_LIST)
        listed.assign((HANDLE *)value, (HANDLE *)value + size / sizeof(HANDLE));
    return UpdateProcThreadAttribute(list, flags, attr, value, size, prev, ret);
}

DWORD WINAPI fake_resume(HANDLE) { return (DWORD)-1; }
DWORD started_pid;  // the id of the last process CreateProcessA started
BOOL WINAPI noting_create(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                          LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                          LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi)
{
    BOOL ok = CreateProcessA(app, line, pa, ta, inherit, flags, env, dir, si, pi);
    started_pid = ok ? pi->dwProcessId : 0;
    return ok;
}
int env_sets;  // SetEnvironmentVariableA calls seen
BOOL WINAPI counted_set_env(LPCSTR name, LPCSTR value)
{
    env_sets++;
    return SetEnvironmentVariableA(name, value);
}
HANDLE WINAPI no_job(LPSECURITY_ATTRIBUTES, LPCSTR) { return nullptr; }
BOOL WINAPI refuse_job_end(HANDLE, UINT) { return FALSE; }


struct ProcSpawn : ::testing::Test {
    seam_guard<proc_api> g1{proc_calls};
    seam_guard<proc_spawn_api> g2{proc_spawn_calls};
    void SetUp() override
    {
        console_calls.clear();
        tick_offset = 0;
        console_cp = 1;
        attach_answer = FALSE;
        proc_calls.GetTickCount64 = fake_ticks;
        proc_spawn_calls.GetConsoleCP = fake_console_cp;
        proc_spawn_calls.GenerateConsoleCtrlEvent = fake_generate;
        proc_spawn_calls.AttachConsole = fake_attach;
        proc_spawn_calls.FreeConsole = fake_free_console;
        proc_spawn_calls.SetConsoleCtrlHandler = fake_ctrl_handler;
        proc_spawn_calls.Sleep = fake_sleep;
    }
};

} // namespace

TEST_F(ProcSpawn, RefusedStartsTouchNothing)
{
    proc_calls.SetEnvironmentVariableA = counted_set_env;
    env_sets = 0;
    fake_argv ok({"exit:0"});
    const char *env[] = {"ORV_SPAWN_REFUSED=1", nullptr};
    std::string big(32768, 'a');
    fake_argv too_long({big});
    HANDLE five[5] = {};
    proc_child *c = (proc_child *)1;
    int dummy = 0;
    EXPECT_EQ(-1, proc_spawn(ok.argv(), env, 5, 0, -1, &dummy, &c)) << "reserved not null";
    EXPECT_EQ(nullptr, c);
    c = (proc_child *)1;
    EXPECT_EQ(-1, proc_spawn_handles(ok.argv(), env, 5, 0, -1, nullptr, five, 5, &c))
        << "five extra handles";
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ(-1, proc_spawn(too_long.argv(), env, 5, 0, -1, nullptr, &c)) << "command line";
    EXPECT_EQ(0, env_sets) << "the environment is not touched";
    proc_spawn_status st = {5, 5, 5};
    EXPECT_EQ(-1, proc_run_cancelable_handles(ok.argv(), env, 5, -1, nullptr, nullptr, &dummy, &st));
    EXPECT_EQ(-1, st.exit_code);
    EXPECT_EQ(0u, st.timed_out + st.cancelled);
    proc_free(nullptr);
    EXPECT_EQ(0u, proc_pid(nullptr));
}

TEST_F(ProcSpawn, CaptureCollectsOutputAndExitCode)
{
    struct {
        const char *name;
        std::vector<std::string> actions;
        size_t size;
        std::string out;
        int exit_code;
    } cases[] = {
        {"both streams in order", {"out:one ", "err:two ", "out:three", "exit:3"}, 64,
         "one two three", 3},
        {"a flood through a small buffer", {"flood:30000", "exit:0"}, 16,
         "abcdefghijklmno", 0},
        {"size 0 drops it all", {"flood:30000", "exit:4"}, 0, "", 4},
    };
    for (const auto &c : cases) {
        fake_argv a(c.actions);
        std::vector<char> buf(c.size + 1, '#');
        proc_spawn_status st;
        ASSERT_EQ(0, proc_run_capture(a.argv(), nullptr, 30, 1, buf.data(), c.size, &st)) << c.name;
        EXPECT_EQ(c.exit_code, st.exit_code) << c.name;
        EXPECT_EQ(0u, st.timed_out) << c.name;
        EXPECT_EQ(0u, st.cancelled) << c.name;
        if (c.size)
            EXPECT_EQ(c.out, std::string(buf.data())) << c.name;
        else
            EXPECT_EQ('#', buf[0]) << c.name;
    }
}

TEST_F(ProcSpawn, OutputToADescriptor)
{
    std::string dir = test_temp_dir("spawnfd");
    std::string file = dir + "\\out.txt";
    int fd = _open(file.c_str(), _O_CREAT | _O_WRONLY | _O_BINARY, 0600);
    ASSERT_GE(fd, 0);
    fake_argv a({"out:to the file", "exit:2"});
    proc_spawn_status st;
    ASSERT_EQ(0, proc_run_wait(a.argv(), nullptr, 30, fd, &st));
    EXPECT_EQ(2, st.exit_code);
    _close(fd);
    EXPECT_EQ("to the file", test_read_file(file));
    EXPECT_EQ(-1, proc_run_wait(a.argv(), nullptr, 30, 999, &st)) << "a descriptor without a handle";
}

TEST_F(ProcSpawn, EnvironmentOverridesAreSeenAndUndone)
{
    SetEnvironmentVariableA("ORV_SPAWN_SET", "before");
    SetEnvironmentVariableA("ORV_SPAWN_UNSET", nullptr);
    std::string long_value(3000, 'L');
    SetEnvironmentVariableA("ORV_SPAWN_LONG", long_value.c_str());
    std::vector<std::string> e = {"no equals sign", "ORV_SPAWN_SET=child", "ORV_SPAWN_UNSET=x",
                                  "ORV_SPAWN_LONG=short"};
    for (int i = 4; i <= 16; i++)
        e.push_back("ORV_SPAWN_N" + std::to_string(i) + "=" + std::to_string(i));
    e.push_back("ORV_SPAWN_N17=17");  // the seventeenth taken entry
    std::vector<const char *> env;
    for (const std::string &s : e)
        env.push_back(s.c_str());
    env.push_back(nullptr);
    fake_argv a({"env:ORV_SPAWN_SET", "env:ORV_SPAWN_UNSET", "env:ORV_SPAWN_LONG",
                 "env:ORV_SPAWN_N16", "env:ORV_SPAWN_N17"});
    char buf[512];
    proc_spawn_status st;
    ASSERT_EQ(0, proc_run_capture(a.argv(), env.data(), 30, 1, buf, sizeof buf, &st));
    EXPECT_STREQ("ORV_SPAWN_SET=child\nORV_SPAWN_UNSET=x\nORV_SPAWN_LONG=short\n"
                 "ORV_SPAWN_N16=16\nORV_SPAWN_N17 unset\n",
                 buf);
    char now[4096];
    EXPECT_EQ(6u, GetEnvironmentVariableA("ORV_SPAWN_SET", now, sizeof now));
    EXPECT_STREQ("before", now);
    EXPECT_EQ(0u, GetEnvironmentVariableA("ORV_SPAWN_UNSET", now, sizeof now));
    EXPECT_EQ(0u, GetEnvironmentVariableA("ORV_SPAWN_N16", now, sizeof now));
    ASSERT_EQ(3000u, GetEnvironmentVariableA("ORV_SPAWN_LONG", now, sizeof now))
        << "a long value comes back whole";
    EXPECT_EQ(long_value, std::string(now));
    SetEnvironmentVariableA("ORV_SPAWN_SET", nullptr);
    SetEnvironmentVariableA("ORV_SPAWN_LONG", nullptr);
}

TEST_F(ProcSpawn, ExtraHandlesAreListedOnceAndGetTheirFlagBack)
{
    proc_spawn_calls.UpdateProcThreadAttribute = recording_update;
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // not inheritable
    HANDLE inh = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ev, GetCurrentProcess(), &inh, 0, TRUE,
                                DUPLICATE_SAME_ACCESS));
    void *handles[4] = {ev, nullptr, ev, inh};
    fake_argv a({"exit:0"});
    proc_child *c = nullptr;
    ASSERT_EQ(0, proc_spawn_simple_handles(a.argv(), nullptr, 30, -1, handles, 4, &c));
    // The null device, the output target, then the extra handles once each.
    ASSERT_EQ(4u, listed.size());
    EXPECT_EQ(ev, listed[2]);
    EXPECT_EQ(inh, listed[3]);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(ev, &flags));
    EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT) << "made inheritable only for the start";
    ASSERT_TRUE(GetHandleInformation(inh, &flags));
    EXPECT_NE(0u, flags & HANDLE_FLAG_INHERIT) << "an inheritable one stays so";
    proc_spawn_status st;
    while (proc_poll(c, 0, &st) == 0)
        Sleep(20);
    EXPECT_EQ(0, st.exit_code);
    proc_free(c);
    CloseHandle(ev);
    CloseHandle(inh);
}

TEST_F(ProcSpawn, PollReportsRunningThenTheSameFinalStatus)
{
    fake_argv a({"sleep:300", "exit:9"});
    proc_child *c = nullptr;
    ASSERT_EQ(0, proc_spawn_simple(a.argv(), nullptr, 30, -1, &c));
    EXPECT_NE(0u, proc_pid(c));
    proc_spawn_status st;
    EXPECT_EQ(0, proc_poll(c, 0, &st));
    EXPECT_EQ(-1, st.exit_code);
    proc_extend_timeout(c, 1000);
    EXPECT_EQ(31000u, c->timeout_ms) << "moved before the limit";
    proc_extend_timeout(c, UINT64_MAX);
    EXPECT_EQ(UINT64_MAX, c->timeout_ms) << "saturates instead of wrapping to a passed limit";
    while (proc_poll(c, 0, &st) == 0)
        Sleep(20);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(1, proc_poll(c, 1, &st)) << "pass " << i;
        EXPECT_EQ(9, st.exit_code) << "pass " << i;
        EXPECT_EQ(0u, st.cancelled) << "a stop after the end changes nothing";
    }
    EXPECT_TRUE(console_calls.empty());
    proc_free(c);
}

TEST_F(ProcSpawn, LimitSendsTheBreakThenTheForcedEnd)
{
    struct {
        const char *name;
        UINT console;
        BOOL attach;
        bool job;
        std::vector<std::string> calls;  // with PID for the child's id
    } cases[] = {
        {"own console", 1, FALSE, true, {"break 1 PID"}},
        {"borrowed console", 0, TRUE, true,
         {"attach PID", "ignore on", "break 1 PID", "free", "sleep 100", "ignore off"}},
        {"no console to borrow", 0, FALSE, true, {"attach PID"}},
        {"no job", 1, FALSE, false, {"break 1 PID"}},
    };
    for (const auto &c : cases) {
        SetUp();
        proc_calls.CreateJobObjectA = c.job ? CreateJobObjectA : no_job;
        console_cp = c.console;
        attach_answer = c.attach;
        fake_argv a({"sleep:20000"});
        proc_child *ch = nullptr;
        ASSERT_EQ(0, proc_spawn_simple(a.argv(), nullptr, 0, -1, &ch)) << c.name;
        EXPECT_EQ(c.job, ch->job != nullptr) << c.name;
        proc_spawn_status st;
        EXPECT_EQ(0, proc_poll(ch, 0, &st)) << c.name << ": the limit of 0 begins the stop";
        EXPECT_EQ(1u, st.timed_out) << c.name;
        proc_extend_timeout(ch, 5000);
        EXPECT_EQ(0u, ch->timeout_ms) << c.name << ": no more time once the stop began";
        std::vector<std::string> want;
        for (std::string s : c.calls) {
            size_t at = s.find("PID");
            if (at != std::string::npos)
                s.replace(at, 3, std::to_string(ch->pid));
            want.push_back(s);
        }
        EXPECT_EQ(want, console_calls) << c.name;
        tick_offset += PROC_FORCE_AFTER_MS;  // the grace period has passed
        EXPECT_EQ(1, proc_poll(ch, 0, &st)) << c.name;
        EXPECT_EQ(1, st.exit_code) << c.name;
        EXPECT_EQ(1u, st.timed_out) << c.name;
        EXPECT_EQ(0u, st.cancelled) << c.name;
        DWORD pid = ch->pid;
        proc_free(ch);
        EXPECT_TRUE(test_process_ended(pid)) << c.name;
    }
}

TEST_F(ProcSpawn, JobThatCannotBeEndedStillEndsTheChild)
{
    proc_calls.TerminateJobObject = refuse_job_end;
    fake_argv a({"sleep:20000"});
    proc_child *c = nullptr;
    ASSERT_EQ(0, proc_spawn_simple(a.argv(), nullptr, 0, -1, &c));
    proc_spawn_status st;
    proc_poll(c, 0, &st);
    EXPECT_EQ(1, proc_poll(c, 0, &st));
    EXPECT_EQ(1, st.exit_code);
    DWORD pid = c->pid;
    proc_free(c);
    EXPECT_TRUE(test_process_ended(pid));
}

namespace {
int cancel_asks;  // how often the callback was asked
int cancel_after_first(void *user)
{
    cancel_asks++;
    return *(int *)user;
}
} // namespace

TEST_F(ProcSpawn, CancelCallbackStopsTheChild)
{
    fake_argv a({"sleep:20000"});
    int yes = 1;
    cancel_asks = 0;
    proc_spawn_status st;
    ULONGLONG t0 = GetTickCount64();
    ASSERT_EQ(0, proc_run_cancelable(a.argv(), nullptr, 600, -1, cancel_after_first, &yes, &st));
    EXPECT_LT(GetTickCount64() - t0, 10000u);
    EXPECT_EQ(1u, st.cancelled);
    EXPECT_EQ(0u, st.timed_out);
    EXPECT_EQ(1, st.exit_code) << "ended by force after the break";
    EXPECT_GE(cancel_asks, 1);
    ASSERT_EQ(1u, console_calls.size());
    EXPECT_EQ(0u, console_calls[0].find("break 1 "));
}

TEST_F(ProcSpawn, FreeingACapturedChildEndsIt)
{
    std::string dir = test_temp_dir("spawnfree");
    std::string pidfile = dir + "\\pid";
    fake_argv a({"pid:" + pidfile, "sleep:20000"});
    proc_child *c = nullptr;
    ASSERT_EQ(0, proc_spawn(a.argv(), nullptr, 600, 1, -1, nullptr, &c));
    for (int i = 0; i < 200 && test_read_file(pidfile).empty(); i++)
        Sleep(10);
    DWORD pid = c->pid;
    proc_free(c);
    EXPECT_TRUE(test_process_ended(pid, 3000)) << "closing the job ends the child";
}

namespace {
BOOL WINAPI no_job_list(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attr,
                        PVOID value, SIZE_T size, PVOID prev, PSIZE_T ret)
{
    if (attr == PROC_THREAD_ATTRIBUTE_JOB_LIST) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return UpdateProcThreadAttribute(list, flags, attr, value, size, prev, ret);
}
// Refuses a start that names a job, as a job that may not take the child does.
BOOL WINAPI refuse_job_at_start(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                                LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                                LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi)
{
    static int calls;
    if (calls++ % 2 == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return CreateProcessA(app, line, pa, ta, inherit, flags, env, dir, si, pi);
}
} // namespace

TEST_F(ProcSpawn, ChildIsInItsJobHoweverTheJobIsGiven)
{
    // Named in the start, assigned after a start that cannot name it, and
    // assigned after a start that named it was refused: in every way
    // freeing the captured child's record ends it and what it started.
    struct {
        const char *name;
        void (*fake)();
    } cases[] = {
        {"named at the start", [] {}},
        {"job list not offered", [] { proc_spawn_calls.UpdateProcThreadAttribute = no_job_list; }},
        {"start with the job refused", [] { proc_calls.CreateProcessA = refuse_job_at_start; }},
    };
    for (auto &c : cases) {
        seam_guard<proc_api> keep1(proc_calls);
        seam_guard<proc_spawn_api> keep2(proc_spawn_calls);
        c.fake();
        std::string pidfile = test_temp_dir("spawnjob") + "\\grandchild.pid";
        DeleteFileA(pidfile.c_str());
        fake_argv a({"spawn:2", "pid:" + pidfile, "sleep:20000", "sleep:20000"});
        proc_child *ch = nullptr;
        ASSERT_EQ(0, proc_spawn(a.argv(), nullptr, 600, 1, -1, nullptr, &ch)) << c.name;
        ASSERT_NE(nullptr, ch->job) << c.name;
        BOOL in = FALSE;
        EXPECT_TRUE(IsProcessInJob(ch->process, ch->job, &in) && in) << c.name;
        // A start can take seconds on a loaded machine.
        for (int i = 0; i < 2000 && test_read_file(pidfile).empty(); i++)
            Sleep(10);
        DWORD grandchild = (DWORD)strtoul(test_read_file(pidfile).c_str(), nullptr, 10);
        DWORD pid = ch->pid;
        proc_free(ch);
        EXPECT_TRUE(test_process_ended(pid, 3000)) << c.name;
        ASSERT_NE(0u, grandchild) << c.name;
        EXPECT_TRUE(test_process_ended(grandchild, 3000)) << c.name << ": the grandchild stays";
    }
}

// Started by ProcSpawn.CallerEndedRightAfterTheStartTakesTheChildAlong with
// ORV_T_KILL_AT "start" and ORV_T_KILL_PIDFILE: starts a captured child and
// is ended right after the start returned.
TEST(ProcSpawnKilledCaller, Run)
{
    if (!getenv("ORV_T_KILL_AT") || !getenv("ORV_T_KILL_PIDFILE"))
        GTEST_SKIP() << "started only by ProcSpawn.CallerEndedRightAfterTheStartTakesTheChildAlong";
    proc_calls.CreateProcessA = test_create_then_end;
    fake_argv a({"sleep:60000"});
    proc_child *c = nullptr;
    proc_spawn(a.argv(), nullptr, 600, 1, -1, nullptr, &c);
    exit(0);
}

TEST_F(ProcSpawn, CallerEndedRightAfterTheStartTakesTheChildAlong)
{
    std::string pid_file = test_temp_dir("spawnkill") + "\\child.pid";
    DeleteFileA(pid_file.c_str());
    SetEnvironmentVariableA("ORV_T_KILL_AT", "start");
    SetEnvironmentVariableA("ORV_T_KILL_PIDFILE", pid_file.c_str());
    int code = test_run_self("ProcSpawnKilledCaller.Run");
    SetEnvironmentVariableA("ORV_T_KILL_AT", nullptr);
    SetEnvironmentVariableA("ORV_T_KILL_PIDFILE", nullptr);
    EXPECT_EQ(3, code) << "the caller was not ended after the start";
    DWORD child = (DWORD)strtoul(test_read_file(pid_file).c_str(), nullptr, 10);
    ASSERT_NE(0u, child) << "the caller started nothing";
    EXPECT_TRUE(test_process_ended(child)) << "the child outlived its caller";
}

TEST_F(ProcSpawn, AChildThatCannotResumeIsEndedAndTheStartFails)
{
    proc_calls.ResumeThread = fake_resume;
    proc_calls.CreateProcessA = noting_create;
    started_pid = 0;
    fake_argv a({"exit:0"});
    proc_child *c = (proc_child *)1;
    EXPECT_EQ(-1, proc_spawn_simple(a.argv(), nullptr, 30, -1, &c));
    EXPECT_EQ(nullptr, c);
    ASSERT_NE(0u, started_pid);
    EXPECT_TRUE(test_process_ended(started_pid, 100)) << "no suspended child is left behind";
}

TEST(ProcDrainPipe, BoundedCopiesAndPositionsPastTheEnd)
{
    HANDLE r, w;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    DWORD n;
    ASSERT_TRUE(WriteFile(w, "abcdefghij", 10, &n, nullptr));
    char buf[8];
    memset(buf, '#', sizeof buf);
    uint64_t pos = 2;
    buf[2] = '\0';
    proc_drain_pipe(r, buf, sizeof buf, &pos);
    EXPECT_EQ(7u, pos);
    EXPECT_EQ(std::string("##abcde"), std::string(buf, 7));
    EXPECT_EQ('\0', buf[7]);
    ASSERT_TRUE(WriteFile(w, "xyz", 3, &n, nullptr));
    pos = 100;  // beyond the buffer: no room, and no write past it
    proc_drain_pipe(r, buf, sizeof buf, &pos);
    EXPECT_EQ(7u, pos);
    DWORD left = 1;
    ASSERT_TRUE(PeekNamedPipe(r, nullptr, 0, nullptr, &left, nullptr));
    EXPECT_EQ(0u, left) << "what does not fit is read and dropped";
    proc_drain_pipe(nullptr, buf, sizeof buf, &pos);
    CloseHandle(r);
    CloseHandle(w);
}

TEST(ProcDrainPipe, NothingFollowsOutputThatWasDropped)
{
    // A cut inside a character keeps the first size - 1 bytes: no room is
    // left in which a later piece could be joined to a text it never
    // followed.
    HANDLE r, w;
    ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    DWORD n;
    ASSERT_TRUE(WriteFile(w, "abcdefghijklmn\xC3\xA9", 16, &n, nullptr));
    char buf[16];
    uint64_t pos = 0;
    proc_drain_pipe(r, buf, sizeof buf, &pos);
    ASSERT_TRUE(WriteFile(w, "Z", 1, &n, nullptr));
    proc_drain_pipe(r, buf, sizeof buf, &pos);
    EXPECT_EQ(15u, pos);
    EXPECT_EQ(std::string("abcdefghijklmn\xC3"), std::string(buf));
    CloseHandle(r);
    CloseHandle(w);
}
