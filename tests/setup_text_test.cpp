// The component table's cells and the usage text's layout.
#include <gtest/gtest.h>

#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "setup_text.h"

TEST(SetupText, TableCellsPadByCharacters)
{
    struct {
        const char *id, *avail, *std_, *title, *expected;
    } cases[] = {
        {"KOMPONENTE", "VERFÜGBAR", "STANDARD", "BEZEICHNUNG",
         "KOMPONENTE     VERFÜGBAR STANDARD BEZEICHNUNG\n"},
        {"core", "ja", "immer", "Kern", "core           ja        immer    Kern\n"},
        // A cell of 15 characters or more runs straight into the next one.
        {"abcdefghijklmno", "nein", "nein", "X", "abcdefghijklmnonein      nein     X\n"},
        {"abcdefghijklmnopq", "ja", "ja", "Y", "abcdefghijklmnopqja        ja       Y\n"},
        // Width counts UTF-8 characters, not bytes.
        {"über", "ja", "ja", "Ä", "über           ja        ja       Ä\n"},
        {"", "", "", "", "                                  \n"},
    };
    for (auto &c : cases) {
        char line[SETUP_TABLE_LINE];
        setup_table_line(line, c.id, c.avail, c.std_, c.title);
        EXPECT_STREQ(line, c.expected) << c.id;
    }
}

TEST(SetupText, Utf8Width)
{
    EXPECT_EQ(utf8_width(""), 0u);
    EXPECT_EQ(utf8_width("VERFÜGBAR"), 9u);
    EXPECT_EQ(utf8_width("\xF0\x9F\x98\x80x"), 2u);
}

TEST(SetupText, TableLineNeverPassesByte399)
{
    std::string title(1000, 't');
    char line[SETUP_TABLE_LINE + 8];
    memset(line, 'Z', sizeof line);
    setup_table_line(line, "core", "ja", "ja", title.c_str());
    EXPECT_EQ(strlen(line), (size_t)SETUP_TABLE_LINE - 1);
    for (size_t i = SETUP_TABLE_LINE; i < sizeof line; i++)
        EXPECT_EQ(line[i], 'Z') << i;
}

TEST(SetupText, SnprintfContract)
{
    char buf[5];
    EXPECT_EQ(setup_snprintf(buf, sizeof buf, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(setup_snprintf(buf, 0, "%zu", (size_t)12345), 5);
}

// Splits the usage text into lines.
static std::vector<std::string> usage_lines()
{
    std::vector<std::string> lines;
    std::istringstream in(setup_usage_text());
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

TEST(SetupText, UsageLayout)
{
    auto lines = usage_lines();
    ASSERT_GT(lines.size(), 10u);
    EXPECT_EQ(lines[0], "Usage: orv_setup [options]");
    EXPECT_EQ(lines[1], "");
    // Sections in order, each heading followed by an empty line.
    const char *sections[] = {"What to do:", "Selection:", "Update site:", "Places:", "Settings:",
                              "Management console (components sched and console):",
                              "Release for other consoles (component sched):",
                              "Client (connection to a orv_target):", "Other:"};
    size_t at = 0;
    for (const char *s : sections) {
        size_t i = at;
        while (i < lines.size() && lines[i] != s)
            i++;
        ASSERT_LT(i, lines.size()) << s << " missing or out of order";
        EXPECT_EQ(lines[i - 1], "") << s;
        EXPECT_EQ(lines[i + 1], "") << s;
        at = i + 1;
    }
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string &l = lines[i];
        EXPECT_LE(l.size(), 80u) << "line " << i << ": " << l;
        EXPECT_TRUE(l.empty() || l.back() != ' ') << "trailing blank in line " << i;
        if (l.rfind("  -", 0) == 0 || l.rfind("  (", 0) == 0) {
            // An entry: the text starts at column 25 behind the option, or,
            // when the option is too long for the field, on the next line.
            bool inline_text = l.size() > 25 && l[24] == ' ' && l[25] != ' ';
            bool alone = l.find("  ", 2) == std::string::npos;
            EXPECT_TRUE(inline_text || alone) << l;
            if (alone) {
                ASSERT_LT(i + 1, lines.size());
                EXPECT_EQ(lines[i + 1].rfind(std::string(25, ' '), 0), 0u) << l;
            }
            EXPECT_EQ(lines[i - 1], "") << "entries are separated by empty lines: " << l;
        } else if (!l.empty() && l[0] == ' ') {
            // A continuation line: 25 blanks, then text.
            EXPECT_EQ(l.rfind(std::string(25, ' '), 0), 0u) << l;
            EXPECT_NE(l[25], ' ') << l;
        }
    }
}

TEST(SetupText, UsageListsEveryDocumentedOption)
{
    const char *options[] = {
        "--modify", "--repair", "--uninstall", "--purge", "--list-components",
        "--preset client|all", "--components <list>", "--to <version>", "--url <https://...>",
        "--channel <name>", "--public-key <base64>", "--ca-file <pem>", "--proxy <url>",
        "--install-dir <dir>", "--state-dir <dir>", "--config <updater.conf>",
        "--no-updater-schedule", "--no-resume-service", "--no-scheduler-service",
        "--enable-sched-api", "--no-sched-api", "--console-user <name>",
        "--console-role admin|read", "--no-console-link", "--console-release read|admin|off",
        "--client-server <host:port>", "--client-dir <name>", "--client-cert <file>",
        "--client-key <key>", "--client-key-file <file>", "--no-client-test", "--silent",
        "--yes, -y", "--answers <file>", "--root <dir>"};
    std::string text = setup_usage_text();
    for (const char *o : options)
        EXPECT_NE(text.find(std::string("  ") + o), std::string::npos) << o;
    // Adding one component to an installation needs the preset of the
    // installed ones, since --components alone is the whole new list.
    EXPECT_NE(text.find("--modify --preset installed\n" + std::string(25, ' ') +
                        "--components <id>"),
              std::string::npos);
    // Not listed, though accepted.
    for (const char *o : {"/silent", "--link-dir", "--configure-server", "--help", "--selftest"})
        EXPECT_EQ(text.find(o), std::string::npos) << o;
    // Every percent sign is doubled, since the text is a printf format.
    for (size_t i = text.find('%'); i != std::string::npos; i = text.find('%', i + 2))
        EXPECT_EQ(text[i + 1], '%') << i;
}
