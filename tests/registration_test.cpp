// The texts of the Windows registration: one entry added to or removed from
// the system PATH, and the guard before the data directory is purged.
#include <gtest/gtest.h>

#include <string>

#include "registration.h"

TEST(Registration, PathEdit)
{
    const char *dir = "D:\\Programme\\orvantis\\bin";
    struct {
        const char *name;
        const char *old;
        int add;
        int result;
        const char *expected;
    } cases[] = {
        {"added at the end", "C:\\Windows;C:\\Tools", 1, 1,
         "C:\\Windows;C:\\Tools;D:\\Programme\\orvantis\\bin"},
        {"after a final semicolon", "C:\\Windows;", 1, 1, "C:\\Windows;D:\\Programme\\orvantis\\bin"},
        {"to an empty PATH", "", 1, 1, "D:\\Programme\\orvantis\\bin"},
        {"there in another case", "C:\\Windows;d:\\programme\\ORVANTIS\\bin;C:\\x", 1, 0, ""},
        {"there at the start", "D:\\Programme\\orvantis\\bin", 1, 0, ""},
        {"empty entries stay when adding", "A;;B", 1, 1, "A;;B;D:\\Programme\\orvantis\\bin"},
        {"a trailing backslash is another entry", "D:\\Programme\\orvantis\\bin\\", 1, 1,
         "D:\\Programme\\orvantis\\bin\\;D:\\Programme\\orvantis\\bin"},
        {"a quoted entry is another entry", "\"D:\\Programme\\orvantis\\bin\"", 1, 1,
         "\"D:\\Programme\\orvantis\\bin\";D:\\Programme\\orvantis\\bin"},
        {"removed in either case with the empty entries", "A;;D:\\Programme\\orvantis\\bin;B;"
                                                          "d:\\programme\\orvantis\\BIN",
         0, 1, "A;B"},
        {"a longer neighbour stays", "D:\\Programme\\orvantis\\bin2;D:\\Programme\\orvantis\\bin;"
                                     "D:\\Programme\\orvantis\\bi",
         0, 1, "D:\\Programme\\orvantis\\bin2;D:\\Programme\\orvantis\\bi"},
        {"not there: rewritten without empty entries", ";A;;B;", 0, 1, "A;B"},
        {"trailing backslash not removed", "D:\\Programme\\orvantis\\bin\\;C:\\x", 0, 1,
         "D:\\Programme\\orvantis\\bin\\;C:\\x"},
        {"the only entry", "D:\\Programme\\orvantis\\bin", 0, 1, ""},
        {"from an empty PATH", "", 0, 1, ""},
    };
    for (auto &c : cases) {
        char out[REGISTRATION_PATH_VALUE];
        EXPECT_EQ(registration_path_edit(c.old, dir, c.add, out, sizeof out), c.result) << c.name;
        EXPECT_STREQ(out, c.result == 1 ? c.expected : "") << c.name;
    }
}

TEST(Registration, PathEditThatWouldNotFit)
{
    const std::string dir = "C:\\orvantis\\bin";
    // A PATH of 8191 - dir bytes takes the ";" but not the whole entry.
    std::string full(8191 - dir.size(), 'p');
    char out[REGISTRATION_PATH_VALUE];
    EXPECT_EQ(registration_path_edit(full.c_str(), dir.c_str(), 1, out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    // One byte less fits exactly: 8191 bytes and the NUL.
    std::string fits(8190 - dir.size(), 'p');
    ASSERT_EQ(registration_path_edit(fits.c_str(), dir.c_str(), 1, out, sizeof out), 1);
    EXPECT_EQ(std::string(out), fits + ";" + dir);
    // Removing never grows the text, but a small buffer is refused whole.
    EXPECT_EQ(registration_path_edit("A;B;C", "B", 0, out, 3), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(registration_path_edit("A;B;C", "B", 0, out, 4), 1);
    EXPECT_STREQ(out, "A;C");
}

TEST(Registration, PurgeGuard)
{
    struct {
        const char *path;
        int allowed;
    } cases[] = {
        {"C:\\ProgramData\\orvantis", 1},
        {"C:\\PROGRAMDATA\\ORVANTIS", 1},
        {"C:\\t\\root\\ProgramData\\orvantis", 1},
        {"\\orvantis", 1},
        {"orvantis", 0},
        {"C:\\ProgramData\\orvantis\\", 0},
        {"C:\\ProgramData\\xorvantis", 0},
        {"C:\\ProgramData", 0},
        {"C:\\ProgramData\\orvan", 0}, // a long ProgramData cut the path
        {"", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(registration_purge_allowed(c.path), c.allowed) << c.path;
}
