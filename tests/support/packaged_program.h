// The product programs inside the install tests' packages: copies of
// support/packaged_prog/packaged_prog.cpp, built once (ORV_PACKAGED_PROG),
// with a trailer that sets their answers. Windows tests only.
#pragma once
#include <string>

// How one copy answers.
struct program_answers {
    std::string version;         // the line written for "--version"
    int selftest_exit = 0;       // exit code of "--selftest"
    std::string selftest_out;    // written for "--selftest"
    bool fail_live = false;      // "--selftest" fails outside a staging directory
    int selftest_sleep_ms = 0;   // "--selftest" waits this long before it answers
};

// The Windows path of the built program; empty with a test failure when
// ORV_PACKAGED_PROG is not set.
std::string packaged_program_path();
// The bytes of a program that answers as a says; empty with a test failure
// when the built program cannot be read.
std::string packaged_program(const program_answers &a);
