// console_write: UTF-16 for a console, the ANSI code page for text that is not
// UTF-8, and unchanged bytes for files and pipes.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "console.h"
#include "console_win.h"
#include "test_util.h"

// A pretend console: the test runner gives the program pipes only.
static struct {
    bool is_console;        // what GetConsoleMode answers
    std::wstring written;   // what WriteConsoleW received
    HANDLE handle;          // the handle it was given
    int writes;             // how often it was called
    std::string file_path;  // the stream's file, read at the moment of the write
    std::string file_then;  // its bytes at that moment
} g;

static const HANDLE kOut = (HANDLE)(intptr_t)0x1110;
static const HANDLE kErr = (HANDLE)(intptr_t)0x2220;

static HANDLE WINAPI fake_std_handle(DWORD which)
{
    return which == STD_ERROR_HANDLE ? kErr : which == STD_OUTPUT_HANDLE ? kOut : nullptr;
}

static BOOL WINAPI fake_console_mode(HANDLE h, LPDWORD mode)
{
    *mode = 3;
    return g.is_console && (h == kOut || h == kErr);
}

static BOOL WINAPI fake_write(HANDLE h, const VOID *units, DWORD count, LPDWORD written, LPVOID)
{
    g.written.assign((const wchar_t *)units, count);
    g.handle = h;
    g.writes++;
    if (!g.file_path.empty())
        g.file_then = test_read_file(g.file_path);
    *written = count;
    return TRUE;
}

class ConsoleWrite : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = console_calls;
        console_calls = {fake_std_handle, fake_console_mode, fake_write};
        g.is_console = false;
        g.written.clear();
        g.handle = nullptr;
        g.writes = 0;
        g.file_path = test_temp_dir("console") + "\\out.txt";
        g.file_then.clear();
    }
    void TearDown() override { console_calls = saved_; }

    // Writes text through a stream on a file; returns the file's bytes.
    std::string write_to_file(const char *before, const char *text)
    {
        FILE *f = fopen(g.file_path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        static char buffer[4096];
        setvbuf(f, buffer, _IOFBF, sizeof buffer); // keep "before" in the buffer
        fputs(before, f);
        console_write(f, text);
        fclose(f);
        return test_read_file(g.file_path);
    }

    console_sys saved_;
};

TEST_F(ConsoleWrite, ConsoleGetsUtf16)
{
    g.is_console = true;
    struct {
        const char *text;
        const wchar_t *expected;
    } cases[] = {
        {"Prüfung läuft\n", L"Prüfung läuft\n"},
        {"Fehler: „x“ – größer als 5 €.\n", L"Fehler: „x“ – größer als 5 €.\n"},
        {"a", L"a"},
    };
    for (auto &c : cases) {
        g.writes = 0;
        std::string file = write_to_file("vorher ", c.text);
        EXPECT_EQ(g.writes, 1) << c.text;
        EXPECT_EQ(g.written, c.expected) << c.text;
        EXPECT_EQ(g.handle, kOut) << c.text;
        // Bytes written through the stream before reach their target first.
        EXPECT_EQ(g.file_then, "vorher ") << c.text;
        EXPECT_EQ(file, "vorher ") << c.text;
    }
}

TEST_F(ConsoleWrite, StandardErrorUsesItsOwnHandle)
{
    g.is_console = true;
    g.file_path.clear();
    console_write(stderr, "Warnung: ä\n");
    EXPECT_EQ(g.handle, kErr);
    EXPECT_EQ(g.written, L"Warnung: ä\n");
}

TEST_F(ConsoleWrite, TextThatIsNotUtf8IsReadInTheAnsiCodePage)
{
    g.is_console = true;
    const char *text = "Gr\xF6\xDF" "e \xE4";
    wchar_t expected[16];
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, expected, 16);
    ASSERT_GT(n, 1);
    write_to_file("", text);
    EXPECT_EQ(g.writes, 1);
    EXPECT_EQ(g.written, std::wstring(expected, (size_t)n - 1));
    EXPECT_EQ(g.written.find(L'\xFFFD'), std::wstring::npos);
}

TEST_F(ConsoleWrite, FilesAndEmptyTextGetTheBytes)
{
    struct {
        const char *name;
        bool is_console;
        const char *text;
    } cases[] = {
        {"file, UTF-8", false, "Prüfung läuft\n"},
        {"file, not UTF-8", false, "Gr\xF6\xDF" "e\n"},
        {"console, empty text", true, ""},
    };
    for (auto &c : cases) {
        g.is_console = c.is_console;
        g.writes = 0;
        EXPECT_EQ(write_to_file("x", c.text), std::string("x") + c.text) << c.name;
        EXPECT_EQ(g.writes, 0) << c.name;
    }
}
