// Runs programs the way a script would, and collects what they print.
#pragma once
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
// Runs program with args (each quoted as CreateProcess expects), standard
// output and error on pipes of their own; stops it after timeout_ms.
test_proc test_run(const std::string &program, const std::vector<std::string> &args,
                   unsigned timeout_ms = 60000);
// test_run of orv_setup.exe.
test_proc test_run_setup(const std::vector<std::string> &args, unsigned timeout_ms = 60000);
// test_run with standard output and error on one pipe, as "> log 2>&1" gives
// them: out holds both in the order written, err stays empty.
test_proc test_run_joined(const std::string &program, const std::vector<std::string> &args,
                          unsigned timeout_ms = 60000);
