// The console link's text work: token names, the hand-over file's text and
// the quoting of a failed command's output.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "setup_link.h"

TEST(SetupLink, TokenNames)
{
    struct {
        const char *user;
        const char *expected;
    } cases[] = {
        {"Müller, Anna", "konsole-M-ller-Anna"},
        {"__admin__", "konsole-__admin__"},
        {"!!!...,,,", "konsole"},
        {"", "konsole"},
        {"äöü", "konsole"},
        {"--anna--", "konsole-anna"},
        {"a  b", "konsole-a-b"},
        {"aöüb", "konsole-a-b"},
        // 70 characters: 56 of them fit after the prefix.
        {"abcdefghij_abcdefghij_abcdefghij_abcdefghij_abcdefghij_abcdefghij_abc",
         "konsole-abcdefghij_abcdefghij_abcdefghij_abcdefghij_abcdefghij_a"},
        // The cut falls right after a "-": that "-" goes too.
        {"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabc d", 
         "konsole-abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabc"},
    };
    for (const auto &c : cases) {
        char out[LINK_TOKEN_NAME_MAX];
        EXPECT_STREQ(link_token_name(c.user, out), c.expected) << c.user;
        EXPECT_LE(strlen(out), 64u) << c.user;
    }
}

TEST(SetupLink, HandoverText)
{
    char buf[LINK_CONTENT_SIZE];
    int n = link_handover_text(buf, sizeof buf, "PC\\anna", "8443", std::string(64, 'a').c_str(),
                               "konsole-anna", "s3cr3t");
    std::string expected =
        "# orvantis Setup: Verbindung der Verwaltungskonsole mit dem Job-Planer dieses Computers "
        "für PC\\anna.\r\n"
        "# Die Konsole übernimmt sie beim nächsten Start (das Token dann verschlüsselt) und löscht "
        "diese Datei.\r\n"
        "url=localhost:8443\r\n"
        "fingerprint=" + std::string(64, 'a') + "\r\n"
        "token-name=konsole-anna\r\n"
        "secret=s3cr3t\r\n";
    EXPECT_EQ(buf, expected);
    EXPECT_EQ(n, (int)expected.size());
    // A text that does not fit says so by its length; the caller refuses it.
    std::string secret(1100, 's');
    EXPECT_GE(link_handover_text(buf, sizeof buf, "PC\\anna", "8443", "f", "k", secret.c_str()),
              LINK_CONTENT_SIZE);
}

TEST(SetupLink, QuotedOutput)
{
    struct {
        const char *name;
        std::string output;
        std::string expected;
    } cases[] = {
        {"line ends", "error: disk full\r\nsecond\n", "error: disk full  second "},
        {"secret cut out", "token created (keep it secret): konsole-a.XYZ\r\nbut saving failed\n",
         "token created (keep it secret):   but saving failed "},
        {"secret at the end", "x (keep it secret): konsole-a.XYZ", "x (keep it secret): "},
        {"cut at 300", std::string(400, 'x'), std::string(300, 'x')},
        {"no half character", std::string(299, 'x') + "ü" + "yyy", std::string(299, 'x')},
        {"empty", "", ""},
    };
    for (const auto &c : cases) {
        std::string buf = c.output;
        buf.push_back('\0');
        link_quote_output(&buf[0]);
        EXPECT_STREQ(buf.c_str(), c.expected.c_str()) << c.name;
        EXPECT_EQ(buf.find("XYZ"), std::string::npos) << c.name << ": the secret is gone from the buffer";
    }
}
