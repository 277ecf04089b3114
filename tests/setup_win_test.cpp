// Windows basics of the setup: data directory, program lookup, the Hyper-V
// check, error texts and the bounded formatters.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <windows.h>

#include "setup_options.h"
#include "setup_win.h"
#include "test_util.h"

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

TEST(SetupWin, DataDirectory)
{
    auto ctx = fresh();
    const char *saved = getenv("ProgramData");
    std::string keep = saved ? saved : "";
    struct {
        const char *program_data; // null: unset
        const char *root;
        const char *expected;
    } cases[] = {
        {"D:\\PD", "", "D:\\PD\\orvantis"},
        {nullptr, "", "C:\\ProgramData\\orvantis"},
        // Test mode ignores ProgramData.
        {"D:\\PD", "E:\\t\\root", "E:\\t\\root\\ProgramData\\orvantis"},
    };
    for (auto &c : cases) {
        std::string assign = std::string("ProgramData=") + (c.program_data ? c.program_data : "");
        _putenv(assign.c_str()); // "name=" removes the variable
        snprintf(ctx->root, sizeof ctx->root, "%s", c.root);
        char buf[600];
        EXPECT_STREQ(setup_data_dir(ctx.get(), buf, sizeof buf), c.expected)
            << (c.program_data ? c.program_data : "(unset)") << " " << c.root;
    }
    _putenv(("ProgramData=" + keep).c_str());
    // Cut at the buffer's end.
    char small[8];
    ctx->root[0] = '\0';
    setup_data_dir(ctx.get(), small, sizeof small);
    EXPECT_EQ(strlen(small), 7u);
}

TEST(SetupWin, ProgramPath)
{
    auto ctx = fresh();
    std::string dir = test_temp_dir("progpath");
    snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir, "%s",
             dir.c_str());
    CreateDirectoryA((dir + "\\bin").c_str(), nullptr);
    CreateDirectoryA((dir + "\\bin\\folder.exe").c_str(), nullptr);
    ASSERT_TRUE(test_write_file(dir + "\\bin\\orv_agent.exe", "MZ"));
    char buf[600];
    const char *p = setup_program_path(ctx.get(), "orv_agent", buf, sizeof buf);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), dir + "\\bin\\orv_agent.exe");
    EXPECT_EQ(setup_program_path(ctx.get(), "orv_restore", buf, sizeof buf), nullptr);
    EXPECT_EQ(setup_program_path(ctx.get(), "folder", buf, sizeof buf), nullptr);
    // A path that does not fit the buffer names no file.
    char small[16];
    EXPECT_EQ(setup_program_path(ctx.get(), "orv_agent", small, sizeof small), nullptr);
}

TEST(SetupWin, HyperVCheck)
{
    char reason[200] = "stale";
    EXPECT_EQ(win_hyperv_present("agent", reason, sizeof reason), 1);
    EXPECT_STREQ(reason, "");
    EXPECT_EQ(win_hyperv_present("Hyperv", reason, sizeof reason), 1);
    // No Hyper-V management service here (Wine has none).
    EXPECT_EQ(win_hyperv_present("hyperv", reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "Die Hyper-V-Rolle ist hier nicht installiert.");
    EXPECT_EQ(win_hyperv_present("hyperv", nullptr, 0), 0);
}

TEST(SetupWin, ErrorText)
{
    char buf[700];
    win_error_text(2, buf, sizeof buf);
    std::string text = buf;
    ASSERT_EQ(text.rfind("Windows-Fehler 2: ", 0), 0u) << text;
    EXPECT_GT(text.size(), strlen("Windows-Fehler 2: "));
    char last = text.back();
    EXPECT_TRUE(last != '.' && last != '\n' && last != '\r' && last != ' ') << text;
    // A code without a system text: the number only.
    EXPECT_STREQ(win_error_text(0x2000F00DUL, buf, sizeof buf), "Windows-Fehler 536932365");
    char small[10];
    EXPECT_EQ(win_error_text(2, small, sizeof small), small);
    EXPECT_STREQ(small, "Windows-F");
}

TEST(SetupWin, BoundedFormatting)
{
    char err[6] = "keep";
    win_error(nullptr, 10, "%s", "x");
    win_error(err, 0, "%s", "x");
    EXPECT_STREQ(err, "keep");
    win_error(err, sizeof err, "Fehler %d", 42);
    EXPECT_STREQ(err, "Fehle");

    char buf[5];
    EXPECT_EQ(win_snprintf(buf, sizeof buf, "%s", "abcdefg"), 7);
    EXPECT_STREQ(buf, "abcd");

    wchar_t wbuf[5];
    EXPECT_EQ(win_swprintf(wbuf, 5, L"%ls-%d", L"ab", 12345), 8);
    EXPECT_STREQ(wbuf, L"ab-1");
    EXPECT_EQ(win_swprintf(wbuf, 5, L"%s", "xy"), 2);
    EXPECT_STREQ(wbuf, L"xy");
}

TEST(SetupWin, TextsForPeopleInUtf16)
{
    // The ANSI code page's own reading of a byte, whatever code page the
    // prefix has.
    auto ansi = [](const char *bytes) {
        wchar_t w[16] = {};
        MultiByteToWideChar(CP_ACP, 0, bytes, -1, w, 16);
        return std::wstring(w);
    };
    const std::wstring ue = ansi("\xFC"), sz = ansi("\xDF");
    struct {
        const char *text;
        std::wstring shown;
    } cases[] = {
        {"", L""},
        {"Die Programme sind installiert", L"Die Programme sind installiert"},
        {"l\xC3\xA4sst sich nicht anlegen", L"l\u00E4sst sich nicht anlegen"},
        // all in the ANSI code page, as a path is
        {"C:\\Pr\xFC" "f\\\xDF", L"C:\\Pr" + ue + L"f\\" + sz},
        // a path in the ANSI code page inside a German sentence: before, the
        // whole text was read in the ANSI code page and every umlaut of the
        // sentence was garbled
        {"C:\\Pr\xFC" "f\\versions l\xC3\xA4sst sich nicht anlegen",
         L"C:\\Pr" + ue + L"f\\versions l\u00E4sst sich nicht anlegen"},
        {"\xE2\x80\x9E" "C:\\\xDF\xE2\x80\x9C", L"\u201EC:\\" + sz + L"\u201C"},
    };
    for (auto &c : cases) {
        wchar_t out[128];
        int n = win_text_utf16(c.text, out, 128);
        EXPECT_EQ(n, (int)c.shown.size() + 1) << c.text;
        EXPECT_EQ(std::wstring(out), c.shown) << c.text;
        EXPECT_EQ(win_text_utf16(c.text, nullptr, 0), n) << c.text;
        // One unit short of the whole text: nothing fits.
        EXPECT_EQ(win_text_utf16(c.text, out, n - 1), 0) << c.text;
    }
}
