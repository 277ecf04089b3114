// Scheduled tasks through "schtasks.exe". Wine's own schtasks.exe is a stub
// (its /Query always ends with 0), so the tests put the fake program as
// schtasks.exe beside this test program, where Windows looks first for a
// bare program name; it logs its arguments, keeps a copy of the task file
// and answers with the output and exit code a test gives it.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fake_runs.h"
#include "run_win.h"
#include "task.h"
#include "test_util.h"

namespace {

bool exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The UTF-16LE bytes of a text of the given code page.
std::string utf16(const std::string &text, UINT codepage)
{
    int n = MultiByteToWideChar(codepage, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring w((size_t)n, L'\0');
    MultiByteToWideChar(codepage, 0, text.data(), (int)text.size(), &w[0], n);
    return std::string((const char *)w.data(), w.size() * 2);
}

// The task files of this process still in the temporary directory.
std::vector<std::string> own_task_files()
{
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    std::string pattern = std::string(tmp) + "orvantis-task-" + std::to_string(GetCurrentProcessId()) + "-*";
    std::vector<std::string> names;
    WIN32_FIND_DATAA f;
    HANDLE h = FindFirstFileA(pattern.c_str(), &f);
    if (h != INVALID_HANDLE_VALUE) {
        do
            names.push_back(f.cFileName);
        while (FindNextFileA(h, &f));
        FindClose(h);
    }
    return names;
}

struct Tasks : ::testing::Test {
    std::string tool = test_own_dir() + "\\schtasks.exe";
    std::string work;
    std::string log, copy;
    char err[700] = "";

    void SetUp() override
    {
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), tool.c_str(), FALSE));
        work = test_temp_dir("task");
        log = work + "\\args.log";
        copy = work + "\\task.xml";
    }
    void TearDown() override
    {
        for (const char *w : {"", ".Create", ".Delete", ".Query"})
            DeleteFileA((tool + w).c_str());
        EXPECT_TRUE(own_task_files().empty()) << "the task file is always deleted";
    }
    // What the fake does when started with /word: log its arguments, keep
    // the task file (argument 5 of /Create), then the given actions.
    void answer(const char *word, const std::string &actions)
    {
        std::string script = "log:" + log + "\ncopyarg:5:" + copy + "\n" + actions;
        ASSERT_TRUE(test_write_file(tool + "." + word, script));
    }
    // The arguments of every run, one run per entry.
    std::vector<std::string> runs() { return test_fake_runs(log); }
};

}  // namespace

TEST_F(Tasks, DailyTaskIsRegisteredFromAUtf16File)
{
    answer("Create", "exit:0");
    ASSERT_EQ(task_create_updater("C:\\R&D\\orv_updater.exe", "C:\\data\\u.conf", err, sizeof err), 0) << err;
    std::vector<std::string> r = runs();
    ASSERT_EQ(r.size(), 1u);
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    std::string prefix = "/Create|/TN|orvantis updater|/XML|" + std::string(tmp) + "orvantis-task-" +
                         std::to_string(GetCurrentProcessId()) + "-";
    EXPECT_EQ(r[0].substr(0, prefix.size()), prefix);
    EXPECT_EQ(r[0].size(), prefix.size() + 16 + 4 + 3) << r[0] << ": 16 hex digits, .xml, /F";
    EXPECT_EQ(r[0].substr(r[0].size() - 7), ".xml|/F");

    char xml[TASK_XML_MAX];
    task_xml_updater("C:\\R&D\\orv_updater.exe", "C:\\data\\u.conf", xml, sizeof xml);
    std::string file = test_read_file(copy);
    EXPECT_EQ(file, "\xff\xfe" + utf16(xml, CP_UTF8)) << "byte-order mark, the text, no NUL at the end";
    EXPECT_NE(std::string(xml).find("<Command>C:\\R&amp;D\\orv_updater.exe</Command>"), std::string::npos);
}

TEST_F(Tasks, BootTask)
{
    answer("Create", "exit:0");
    ASSERT_EQ(task_create_boot("orvantis resume", "Setzt Sicherungen fort", "C:\\o\\orv_agent.exe",
                               "--resume-pending", 2, err, sizeof err),
              0)
        << err;
    std::vector<std::string> r = runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].substr(0, 30), "/Create|/TN|orvantis resume|/X");
    std::string file = test_read_file(copy);
    EXPECT_NE(file.find(utf16("<Delay>PT2M</Delay>", CP_UTF8)), std::string::npos);
    EXPECT_NE(file.find(utf16("<Arguments>--resume-pending</Arguments>", CP_UTF8)), std::string::npos);
}

TEST_F(Tasks, AnsiProgramPathKeepsItsLetters)
{
    if (GetACP() == CP_UTF8)
        GTEST_SKIP() << "the ANSI code page is UTF-8 here";
    // "Büro" in the ANSI code page is no UTF-8; read as UTF-8 it would name
    // a program that does not exist.
    const std::string exe = "C:\\B\xfcro\\orv_updater.exe";
    answer("Create", "exit:0");
    ASSERT_EQ(task_create_updater(exe.c_str(), nullptr, err, sizeof err), 0) << err;
    std::string file = test_read_file(copy);
    EXPECT_NE(file.find(utf16("<Command>" + exe + "</Command>", CP_ACP)), std::string::npos);
}

TEST_F(Tasks, ToolFailures)
{
    struct {
        const char *name;
        const char *word;
        const char *actions;
        int (*call)(char *, size_t);
        int expected;
        const char *message;
    } cases[] = {
        {"create refused", "Create", "out:ERROR: Access is denied.\\r\\n\nexit:1",
         [](char *e, size_t n) { return task_create_updater("C:\\o\\orv_updater.exe", "", e, n); }, -1,
         "schtasks could not create the task: ERROR: Access is denied.\r\n"},
        {"create without output", "Create", "exit:2",
         [](char *e, size_t n) { return task_create_boot("t", "d", "c", "a", 1, e, n); }, -1,
         "schtasks could not create the task: "},
        {"delete", "Delete", "exit:0", task_delete_updater, 0, ""},
        {"delete an absent task", "Delete",
         "out:ERROR: The system cannot find the file specified.\\r\\n\nexit:1",
         [](char *e, size_t n) { return task_delete("orvantis resume", e, n); }, -1,
         "schtasks could not delete the task: ERROR: The system cannot find the file specified.\r\n"},
    };
    for (const auto &c : cases) {
        DeleteFileA(log.c_str());
        answer(c.word, c.actions);
        err[0] = '\0';
        EXPECT_EQ(c.call(err, sizeof err), c.expected) << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
        EXPECT_TRUE(own_task_files().empty()) << c.name;
    }
    std::vector<std::string> r = runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], "/Delete|/TN|orvantis resume|/F");
}

TEST_F(Tasks, Query)
{
    struct {
        const char *name;
        const char *actions;  // null: schtasks.exe is no program
        int expected;
    } cases[] = {
        {"task exists", "out:Folder: \\\\r\\n\nexit:0", 1},
        {"no such task", "out:ERROR: The system cannot find the file specified.\\r\\n\nexit:1", 0},
        {"tool cannot start", nullptr, -1},
    };
    for (const auto &c : cases) {
        DeleteFileA(log.c_str());
        if (c.actions) {
            CopyFileA(test_fake_prog().c_str(), tool.c_str(), FALSE);
            answer("Query", c.actions);
        } else {
            ASSERT_TRUE(test_write_file(tool, "not a program"));
        }
        EXPECT_EQ(task_query_updater(), c.expected) << c.name;
        if (c.actions) {
            std::vector<std::string> r = runs();
            ASSERT_EQ(r.size(), 1u) << c.name;
            EXPECT_EQ(r[0], "/Query|/TN|orvantis updater") << c.name;
        }
    }
}

TEST_F(Tasks, TaskFileThatCannotBeCreated)
{
    answer("Create", "exit:0");
    std::string missing = work + "\\no such directory";
    std::string long_dir = work + "\\" + std::string(330, 'd');
    struct {
        const char *name;
        std::string tmp;
        std::string message;
    } cases[] = {
        {"temporary directory missing", missing,
         "cannot write " + missing + "\\orvantis-task-" + std::to_string(GetCurrentProcessId()) + "-"},
        {"temporary directory too long", long_dir, "cannot write "},
    };
    char saved_tmp[MAX_PATH] = "", saved_temp[MAX_PATH] = "";
    GetEnvironmentVariableA("TMP", saved_tmp, sizeof saved_tmp);
    GetEnvironmentVariableA("TEMP", saved_temp, sizeof saved_temp);
    for (const auto &c : cases) {
        SetEnvironmentVariableA("TMP", c.tmp.c_str());
        SetEnvironmentVariableA("TEMP", c.tmp.c_str());
        err[0] = '\0';
        int rc = task_create_updater("C:\\o\\orv_updater.exe", nullptr, err, sizeof err);
        SetEnvironmentVariableA("TMP", saved_tmp[0] ? saved_tmp : nullptr);
        SetEnvironmentVariableA("TEMP", saved_temp[0] ? saved_temp : nullptr);
        EXPECT_EQ(rc, -1) << c.name;
        EXPECT_EQ(std::string(err).substr(0, c.message.size()), c.message) << c.name << ": " << err;
        EXPECT_FALSE(exists(log)) << c.name << ": nothing registered";
    }
}
