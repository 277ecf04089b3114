// The client connection's text work: address and directory checks, the name
// of a further server's certificate file, and the summary of the restore
// program's answer.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "setup_client.h"

TEST(SetupClient, ServerAddresses)
{
    struct {
        const char *server;
        int ok;
    } cases[] = {
        {"backup.example:9990", 1},
        {"[fe80::1]:9990", 1},
        {"10.0.0.5:1", 1},
        {"my_host-1.lan:99999", 1},  // no range check of the port
        {"backup.example", 0},
        {"backup.example:", 0},
        {"backup.example:https", 0},
        {":9990", 0},
        {"back up:9990", 0},
        {"backup/x:9990", 0},
        {"host:99a", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(client_server_ok(c.server), c.ok) << c.server;
}

TEST(SetupClient, DirectoryNames)
{
    struct {
        std::string dir;
        int ok;
    } cases[] = {
        {"pc-01_a.b", 1},
        {std::string(63, 'd'), 1},
        {std::string(64, 'd'), 0},
        {"a/b", 0},
        {"a b", 0},
        {"a\\b", 0},
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(client_dir_ok(c.dir.c_str()), c.ok) << c.dir;
}

TEST(SetupClient, CertificateHostPart)
{
    struct {
        std::string server;
        std::string expected;
    } cases[] = {
        {"backup.example:9990", "backup.example"},
        {"[fe80::1]:9990", "_fe80__1_"},
        {"my_host:1", "my_host"},
        {"a:b:1", "a_b"},
        // Cut to 127 characters first, then at the last ":" inside them.
        {std::string(130, 'h') + ":1", std::string(127, 'h')},
        {"x:" + std::string(130, 'h') + ":1", "x"},
    };
    for (const auto &c : cases) {
        char out[CLIENT_HOST_MAX + 1];
        EXPECT_EQ(std::string(client_cert_host(c.server.c_str(), out, sizeof out)), c.expected)
            << c.server;
    }
}

TEST(SetupClient, KeyTrim)
{
    char key[32];
    strcpy(key, "0123456789abcde\n");
    client_trim_key(key);
    EXPECT_STREQ(key, "0123456789abcde");
    strcpy(key, "a b \t\r\n ");
    client_trim_key(key);
    EXPECT_STREQ(key, "a b");
}

TEST(SetupClient, OutputSummary)
{
    struct {
        const char *name;
        std::string output;
        std::string expected;
    } cases[] = {
        {"plain lines", "connection refused\r\n\r\nretry later\n", "connection refused; retry later"},
        {"log lines",
         "2026-12-10T15:29:12Z [orv_restore] ERROR tls handshake failed\n"
         "2026-12-10T15:29:12Z [orv_restore]   WARN  giving up\n",
         "tls handshake failed; giving up"},
        {"log line without message", "2026-12-10T15:29:12Z [orv_restore] INFO\nend", "end"},
        {"looks like a log line but is not", "2026-12-10 15:29:12Z [x] ERROR y", "2026-12-10 15:29:12Z [x] ERROR y"},
        {"no closing bracket", "2026-12-10T15:29:12Z [orv_restore ERROR y", "2026-12-10T15:29:12Z [orv_restore ERROR y"},
        {"empty", "", ""},
        {"only line ends", "\r\n\n", ""},
    };
    for (const auto &c : cases) {
        char out[CLIENT_OUTPUT];
        client_summary(c.output.c_str(), out, sizeof out);
        EXPECT_EQ(std::string(out), c.expected) << c.name;
    }
    std::string many;
    for (int i = 0; i < 200; i++)
        many += "line " + std::to_string(i) + "\n";
    char out[CLIENT_OUTPUT];
    client_summary(many.c_str(), out, sizeof out);
    EXPECT_EQ(strlen(out), (size_t)CLIENT_OUTPUT - 1) << "cut at the buffer's end";
}
