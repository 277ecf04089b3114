// The install tests' product programs: the built program's bytes with the
// trailer that support/packaged_prog/packaged_prog.cpp reads.
#include "packaged_program.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "test_util.h"

std::string packaged_program_path()
{
    const char *p = getenv("ORV_PACKAGED_PROG");
    if (!p || !*p) {
        ADD_FAILURE() << "ORV_PACKAGED_PROG is not set";
        return "";
    }
    return p;
}

std::string packaged_program(const program_answers &a)
{
    static std::string image;  // read once per process
    if (image.empty())
        image = test_read_file(packaged_program_path());
    if (image.empty()) {
        ADD_FAILURE() << "cannot read the packaged program";
        return "";
    }
    std::string t = "\n#ORV-PACKAGED#\n";
    t += "version=" + a.version + "\n";
    t += "selftest_exit=" + std::to_string(a.selftest_exit) + "\n";
    if (!a.selftest_out.empty())
        t += "selftest_out=" + a.selftest_out + "\n";
    if (a.fail_live)
        t += "fail_live=1\n";
    if (a.selftest_sleep_ms)
        t += "selftest_sleep=" + std::to_string(a.selftest_sleep_ms) + "\n";
    return image + t;
}
