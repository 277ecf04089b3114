// The install tests' fake product programs: the built program's bytes with
// the trailer that tests/programs/fake_program_win.cpp reads.
#include "fake_program.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "test_util.h"

std::string fake_program_path()
{
    const char *p = getenv("ORV_FAKE_PROGRAM");
    if (!p || !*p) {
        ADD_FAILURE() << "ORV_FAKE_PROGRAM is not set";
        return "";
    }
    return p;
}

std::string fake_program(const fake_answers &a)
{
    static std::string image;  // read once per process
    if (image.empty())
        image = test_read_file(fake_program_path());
    if (image.empty()) {
        ADD_FAILURE() << "cannot read the fake program";
        return "";
    }
    std::string t = "\n#ORV-FAKE#\n";
    t += "version=" + a.version + "\n";
    t += "selftest_exit=" + std::to_string(a.selftest_exit) + "\n";
    if (!a.selftest_out.empty())
        t += "selftest_out=" + a.selftest_out + "\n";
    if (a.fail_live)
        t += "fail_live=1\n";
    return image + t;
}
