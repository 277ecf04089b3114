// Runs programs the way a script would, and collects what they print.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The outcome of one program run.
struct test_proc {
    int exit_code = -1;   // the process exit code; -1 when it could not start
    bool timed_out = false;
    std::string out;      // standard output, bytes as written
    std::string err;      // standard error, bytes as written
};

// The Windows path of orv_setup.exe under test (from ORV_SETUP_EXE).
std::string test_setup_exe();
// The Windows path of the tests' fake program (from ORV_FAKE_PROG; see
// support/fake_prog/fake_prog.cpp for what it can be told to do).
std::string test_fake_prog();
// true when the process pid has ended or ends within ms; one still running
// then is ended here, so that it cannot disturb later tests.
bool test_process_ended(unsigned long pid, unsigned ms = 3000);
// Starts this test program again with only the test named by gtest_filter
// (a helper test that skips unless its environment is set), no window, and
// waits up to timeout_ms for its end; the test ends it when it is still
// running after ms_before_end (0: never). Returns the process's exit code,
// -1 when it did not start or did not end.
int test_run_self(const std::string &gtest_filter, unsigned ms_before_end = 0,
                  unsigned timeout_ms = 20000);
// A CreateProcessA for the helper tests started by test_run_self: starts the
// process for real, writes its id into the file ORV_T_KILL_PIDFILE names, and
// then ends this process with exit code 3: at once when ORV_T_KILL_AT is
// "start" (a caller killed right after the start returned), 300 ms later
// otherwise (a caller killed while its program runs).
BOOL WINAPI test_create_then_end(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                                 LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                                 LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi);
// Runs program with args (each quoted as CreateProcess expects), standard
// output and error on pipes of their own; stops it after timeout_ms.
test_proc test_run(const std::string &program, const std::vector<std::string> &args,
                   unsigned timeout_ms = 60000);
// test_run that calls tick with the process id every 20 ms or so while the
// program runs (from the calling thread).
test_proc test_run_watched(const std::string &program, const std::vector<std::string> &args,
                           unsigned timeout_ms, const std::function<void(unsigned long)> &tick);
// test_run of orv_setup.exe.
test_proc test_run_setup(const std::vector<std::string> &args, unsigned timeout_ms = 60000);
// test_run with standard output and error on one pipe, as "> log 2>&1" gives
// them: out holds both in the order written, err stays empty.
test_proc test_run_joined(const std::string &program, const std::vector<std::string> &args,
                          unsigned timeout_ms = 60000);
