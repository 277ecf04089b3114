// The product programs of the install tests: copies of tests/programs/
// fake_program_win.cpp with a trailer that sets their answers. A test that
// includes this header finds the built program through ORV_FAKE_PROGRAM
// (tests/CMakeLists.txt looks for the include). Windows tests only.
#pragma once
#include <string>

// How one copy answers.
struct fake_answers {
    std::string version;         // the line printed for "--version"
    int selftest_exit = 0;       // exit code of "--selftest"
    std::string selftest_out;    // printed for "--selftest"
    bool fail_live = false;      // "--selftest" fails outside a staging directory
};

// The Windows path of the built fake program; empty with a test failure when
// ORV_FAKE_PROGRAM is not set.
std::string fake_program_path();
// The bytes of a program that answers as a says; empty with a test failure
// when the built program cannot be read.
std::string fake_program(const fake_answers &a);
