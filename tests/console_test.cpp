// Texts of the console front end: step lines, the progress bar, message lines
// and the summary of the warnings collected from the log.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "console.h"
#include "log.h"
#include "setup_options.h"
#include "text.h"

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

TEST(ConsoleText, StepLines)
{
    struct {
        const char *step;
        size_t index, count;
        const char *expected;
    } cases[] = {
        {"installing", 0, 1, "  Installiere und prüfe die Programme\n"},
        {"installing", 0, 0, "  Installiere und prüfe die Programme\n"},
        {"configuring", 0, 5, "  [1/5] Richte die Einstellungen ein\n"},
        {"configuring", 2, 3, "  [3/3] Richte die Einstellungen ein\n"},
        {"removing", 3, 3, "  [3/3] Entferne die Programme\n"},    // index at count
        {"something else", 9, 3, "  [3/3] something else\n"},         // beyond count
    };
    auto ctx = fresh();
    for (auto &c : cases) {
        char line[CONSOLE_STEP_LINE];
        console_step_line(ctx.get(), c.step, c.index, c.count, line, sizeof line);
        EXPECT_STREQ(line, c.expected) << c.step << " " << c.index << "/" << c.count;
    }
    // A long step text is cut at 299 bytes, before the line feed.
    std::string long_step(500, 's');
    char line[CONSOLE_STEP_LINE];
    console_step_line(ctx.get(), long_step.c_str(), 0, 2, line, sizeof line);
    EXPECT_EQ(std::string(line), "  [1/2] " + long_step.substr(0, 299) + "\n");
}

TEST(ConsoleText, ProgressBar)
{
    const std::string hash(30, '#'), dots(30, '.');
    struct {
        uint64_t done, total;
        std::string expected;
    } cases[] = {
        {500, 1000,
         "\r      [" + hash.substr(0, 15) + dots.substr(0, 15) + "]  50%  500 Bytes von 1,0 kB   "},
        {0, 1000, "\r      [" + dots + "]   0%  0 Bytes von 1,0 kB   "},
        {1000, 1000, "\r      [" + hash + "] 100%  1,0 kB von 1,0 kB   "},
        {2000, 1000, "\r      [" + hash + "] 200%  2,0 kB von 1,0 kB   "},
        {1, 3, "\r      [" + hash.substr(0, 10) + dots.substr(0, 20) + "]  33%  1 Byte von 3 Bytes   "},
        {2500000, 10000000,
         "\r      [" + hash.substr(0, 7) + dots.substr(0, 23) + "]  25%  2,5 MB von 10,0 MB   "},
        // A count far beyond the total keeps the bar at 30 cells.
        {UINT64_MAX, 1, "\r      [" + hash + "]"},
    };
    for (auto &c : cases) {
        char bar[160];
        console_bar_text(c.done, c.total, bar, sizeof bar);
        // The last case is compared up to the bar's end only.
        std::string got = bar;
        if (c.done == UINT64_MAX)
            got = got.substr(0, c.expected.size());
        EXPECT_EQ(got, c.expected) << c.done << " of " << c.total;
    }
}

TEST(ConsoleText, MessageLines)
{
    struct {
        int level;
        const char *text;
        const char *expected;
    } cases[] = {
        {2, "Die Datei fehlt.", "Fehler: Die Datei fehlt.\n"},
        {1, "Der Dienst läuft weiter.", "Warnung: Der Dienst läuft weiter.\n"},
        {0, "Hinweis", "Hinweis\n"},
        {3, "Hinweis", "Hinweis\n"},
    };
    for (auto &c : cases) {
        char line[CONSOLE_MESSAGE_LINE];
        console_message_line(c.level, c.text, line, sizeof line);
        EXPECT_STREQ(line, c.expected) << c.level;
    }
    std::string long_text(2000, 'x');
    char line[CONSOLE_MESSAGE_LINE];
    console_message_line(2, long_text.c_str(), line, sizeof line);
    EXPECT_EQ(strlen(line), (size_t)CONSOLE_MESSAGE_LINE - 1);
}

// The summary's lines, all of them, as printed one after the other.
static std::string summary()
{
    std::string all;
    char line[CONSOLE_SUMMARY_LINE];
    for (int n = 0; console_summary_line(n, line, sizeof line); n++)
        all += line;
    return all;
}

TEST(ConsoleText, WarningSummary)
{
    struct {
        const char *name;
        int infos, warnings, errors;
        std::string expected;
    } cases[] = {
        {"none", 0, 0, 0, ""},
        {"only INFO and DEBUG", 3, 0, 0, ""},
        {"one warning", 2, 1, 0, "\nWarnung (Protokoll):\n  w0\n"},
        {"warn and error", 0, 1, 1, "\nWarnungen (Protokoll):\n  w0\n  e0\n"},
        {"eight", 0, 8, 0,
         "\nWarnungen (Protokoll):\n  w0\n  w1\n  w2\n  w3\n  w4\n  w5\n  w6\n  w7\n"},
        {"ten", 1, 9, 1,
         "\nWarnungen (Protokoll):\n  w0\n  w1\n  w2\n  w3\n  w4\n  w5\n  w6\n  w7\n"
         "  … und 2 weitere\n"},
    };
    for (auto &c : cases) {
        console_warnings_clear();
        for (int i = 0; i < c.infos; i++) {
            console_log_hook(LOG_INFO, "info", nullptr);
            console_log_hook(LOG_DEBUG, "debug", nullptr);
        }
        for (int i = 0; i < c.warnings; i++)
            console_log_hook(LOG_WARN, ("w" + std::to_string(i)).c_str(), nullptr);
        for (int i = 0; i < c.errors; i++)
            console_log_hook(LOG_ERROR, ("e" + std::to_string(i)).c_str(), nullptr);
        EXPECT_EQ(summary(), c.expected) << c.name;
    }

    // A warning of 500 bytes is kept and shown with its first 399.
    console_warnings_clear();
    std::string text(399, 'a');
    text += std::string(101, 'b');
    console_log_hook(LOG_WARN, text.c_str(), nullptr);
    EXPECT_EQ(summary(), "\nWarnung (Protokoll):\n  " + std::string(399, 'a') + "\n");
    console_warnings_clear();
}

// Every line of the console cut at its buffer keeps whole characters, so the
// console shows it as UTF-8 and not in the ANSI code page: the step line, the
// message line and a stored warning, each with the cut falling on either
// byte of an "ä".
TEST(ConsoleText, CutLinesEndOnAWholeCharacter)
{
    auto ctx = fresh();
    for (size_t pad = 0; pad < 2; pad++) {
        std::string text(pad, 'x');
        while (text.size() < 3000)
            text += "ä";
        char step[CONSOLE_STEP_LINE];
        console_step_line(ctx.get(), text.c_str(), 0, 2, step, sizeof step);
        char message[CONSOLE_MESSAGE_LINE];
        console_message_line(2, text.c_str(), message, sizeof message);
        console_warnings_clear();
        console_log_hook(LOG_WARN, text.c_str(), nullptr);
        std::string warnings = summary();
        console_warnings_clear();
        for (const std::string &line : {std::string(step), std::string(message), warnings}) {
            EXPECT_TRUE(text_utf8_valid(line.c_str(), line.size())) << pad << ": " << line;
            EXPECT_GT(line.size(), 250u) << pad;
        }
    }
}
