// Reading the scheduler's "list" answer and the service's command line.
#include <gtest/gtest.h>

#include <string>

#include "sched_service.h"

namespace {

int has_running(std::string text) { return sched_list_has_running(&text[0]); }

}  // namespace

TEST(SchedList, RunningJobs)
{
    const std::string long_name(250, 'j');
    struct {
        const char *name;
        std::string text;
        int expected;
    } cases[] = {
        {"empty output", "", 0},
        {"header only", "NAME ID STATE\n", 0},
        {"header without line end", "NAME ID RUNNING", 0},
        {"header names RUNNING", "job 1 RUNNING\n", 0},
        {"one running job", "NAME ID STATE\nnightly 4 RUNNING\n", 1},
        {"last line without line end", "NAME ID STATE\nnightly 4 RUNNING", 1},
        {"CR LF line ends", "NAME ID STATE\r\nnightly 4 RUNNING\r\n", 1},
        {"tabs and leading blanks", "NAME ID STATE\n \tnightly\t4\tRUNNING\n", 1},
        {"idle jobs", "NAME ID STATE\na 1 IDLE\nb 2 WAITING\n", 0},
        {"running job after idle ones", "H\na 1 IDLE\nb 2 RUNNING\nc 3 IDLE\n", 1},
        {"third field only begins with RUNNING", "H\na 1 RUNNINGX\n", 0},
        {"lower case", "H\na 1 running\n", 0},
        {"two fields", "H\na RUNNING\n", 0},
        {"fourth field is ignored", "H\na 1 RUNNING since 03:00\n", 1},
        {"RUNNING as fourth field", "H\na 1 IDLE RUNNING\n", 0},
        // A job name longer than the first field must not shift the fields.
        {"over-long running job name", "H\n" + long_name + " 7 RUNNING\n", 1},
        {"over-long idle job name", "H\n" + long_name + " RUNNING IDLE\n", 0},
        {"over-long third field", "H\na 1 RUNNING" + std::string(40, 'X') + "\n", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(has_running(c.text), c.expected) << c.name;
}

TEST(SchedList, ScanCutsEachWordAtItsField)
{
    char f1[SCHED_FIELD1], f2[SCHED_FIELD2], f3[SCHED_FIELD3];
    std::string line = std::string(300, 'a') + " " + std::string(100, 'b') + " " +
                       std::string(50, 'c') + " d";
    EXPECT_EQ(sched_list_scan(line.c_str(), f1, f2, f3), 3);
    EXPECT_EQ(std::string(f1), std::string(199, 'a'));
    EXPECT_EQ(std::string(f2), std::string(63, 'b'));
    EXPECT_EQ(std::string(f3), std::string(31, 'c'));
    EXPECT_EQ(sched_list_scan("  ", f1, f2, f3), 0);
    EXPECT_EQ(sched_list_scan("one", f1, f2, f3), 1);
    EXPECT_EQ(sched_list_scan("one two", f1, f2, f3), 2);
    EXPECT_STREQ(f2, "two");
}

TEST(SchedCmdline, OptionValue)
{
    const std::string long_value(1500, 'v');
    struct {
        const char *name;
        std::string cmdline;
        const char *option;
        std::string expected;
    } cases[] = {
        {"quoted program and quoted value",
         "\"C:\\Program Files\\orvantis\\bin\\orv_sched.exe\" service --config "
         "\"C:\\ProgramData\\orvantis\\orv_sched.cfg\"",
         "--config", "C:\\ProgramData\\orvantis\\orv_sched.cfg"},
        {"plain value", "orv_sched.exe service --queue q1 --config x.cfg", "--queue", "q1"},
        {"tabs separate", "p\t--config\tx.cfg", "--config", "x.cfg"},
        {"absent", "p service", "--config", ""},
        {"option is the last token", "p service --config", "--config", ""},
        {"option inside a quoted token does not count", "p \"--config a\" b", "--config", ""},
        {"only exact tokens", "p --configX a --config b", "--config", "b"},
        {"first option with a value wins", "p --config a --config b", "--config", "a"},
        {"quoted value without closing quote", "p --config \"C:\\a b", "--config", "C:\\a b"},
        {"empty quoted value", "p --config \"\" --queue q", "--config", ""},
        {"value cut at 1023", "p --config " + long_value, "--config", std::string(1023, 'v')},
        {"an over-long option token is cut, not split",
         "p " + std::string(1100, 'x') + " --config c", "--config", "c"},
    };
    for (const auto &c : cases) {
        char value[SCHED_OPTION_VALUE];
        cmdline_option_value(c.cmdline.c_str(), c.option, value);
        EXPECT_EQ(std::string(value), c.expected) << c.name;
    }
}

TEST(SchedCmdline, ProgramPath)
{
    struct {
        const char *name;
        std::string cmdline;
        std::string expected;
    } cases[] = {
        {"quoted path with blanks", "\"C:\\Program Files\\x\\orv_sched.exe\" service",
         "C:\\Program Files\\x\\orv_sched.exe"},
        {"plain path", "C:\\orv\\orv_sched.exe service --config a", "C:\\orv\\orv_sched.exe"},
        {"path alone", "C:\\orv\\orv_sched.exe", "C:\\orv\\orv_sched.exe"},
        {"missing closing quote", "\"C:\\a b\\orv_sched.exe", "C:\\a b\\orv_sched.exe"},
        {"cut at 519", "\"" + std::string(600, 'p') + "\" service", std::string(519, 'p')},
        {"empty", "", ""},
    };
    for (const auto &c : cases) {
        char path[SCHED_PROGRAM_MAX];
        sched_cmdline_program(c.cmdline.c_str(), path);
        EXPECT_EQ(std::string(path), c.expected) << c.name;
    }
}
