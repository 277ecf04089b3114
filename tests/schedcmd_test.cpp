// The scheduler program's commands: the exact arguments sent, and the
// reading of the answers they rely on.
#include <gtest/gtest.h>

#include <ctype.h>
#include <string.h>

#include <string>
#include <vector>

#include "schedcmd.h"

namespace {

std::vector<std::string> argv_of(const schedcmd_args &a)
{
    std::vector<std::string> v;
    for (int i = 0; i < a.argc; i++)
        v.push_back(a.argv[i]);
    EXPECT_EQ(a.argv[a.argc], nullptr);
    return v;
}

using sv = std::vector<std::string>;

}  // namespace

TEST(SchedCmd, ArgumentVectors)
{
    const char *p = "C:\\o\\bin\\orv_sched.exe", *cfg = "C:\\d\\orv_sched.cfg";
    schedcmd_args a;
    struct {
        const char *name;
        void (*build)(schedcmd_args *, const char *, const char *);
        sv expected;
    } cases[] = {
        {"list with both", [](schedcmd_args *x, const char *p, const char *c) { schedcmd_args_list(x, p, c, "q"); },
         {p, "list", "--config", cfg, "--queue", "q"}},
        {"list without config",
         [](schedcmd_args *x, const char *p, const char *) { schedcmd_args_list(x, p, "", "q"); },
         {p, "list", "--queue", "q"}},
        {"list without either",
         [](schedcmd_args *x, const char *p, const char *) { schedcmd_args_list(x, p, NULL, NULL); },
         {p, "list"}},
        {"api-enable", [](schedcmd_args *x, const char *p, const char *c) { schedcmd_args_api_enable(x, p, c, 0); },
         {p, "api-enable", "--config", cfg}},
        {"api-enable with console writes",
         [](schedcmd_args *x, const char *p, const char *c) { schedcmd_args_api_enable(x, p, c, 1); },
         {p, "api-enable", "--config", cfg, "--agent-config-write"}},
        {"api-init", schedcmd_args_api_init, {p, "api-init", "--config", cfg}},
        {"api-info", schedcmd_args_api_info, {p, "api-info", "--config", cfg}},
        {"token remove",
         [](schedcmd_args *x, const char *p, const char *c) { schedcmd_args_token_remove(x, p, "konsole-anna", c); },
         {p, "api-token", "remove", "konsole-anna", "--config", cfg}},
        {"token add admin",
         [](schedcmd_args *x, const char *p, const char *c) { schedcmd_args_token_add(x, p, "k", 1, c); },
         {p, "api-token", "add", "k", "--role", "admin", "--config", cfg}},
        {"token add read",
         [](schedcmd_args *x, const char *p, const char *c) { schedcmd_args_token_add(x, p, "k", 0, c); },
         {p, "api-token", "add", "k", "--role", "read", "--config", cfg}},
    };
    for (const auto &c : cases) {
        c.build(&a, p, cfg);
        EXPECT_EQ(argv_of(a), c.expected) << c.name;
    }

    struct {
        int level;
        int result;
        sv expected;
    } releases[] = {
        {2, 0, {p, "api-release", "admin", "--config", cfg}},
        {1, 0, {p, "api-release", "read", "--config", cfg}},
        {0, 0, {p, "api-release", "off", "--config", cfg}},
        {-1, -1, {}},
        {3, -1, {}},
    };
    for (const auto &r : releases) {
        EXPECT_EQ(schedcmd_args_api_release(&a, p, r.level, cfg), r.result) << "level " << r.level;
        EXPECT_EQ(argv_of(a), r.expected) << "level " << r.level;
    }
}

TEST(SchedCmd, ServiceCommandLine)
{
    char buf[SCHEDCMD_SERVICE_CMDLINE];
    ASSERT_EQ(schedcmd_service_cmdline(buf, "C:\\Program Files\\o\\bin\\orv_sched.exe",
                                       "C:\\ProgramData\\o\\orv_sched.cfg"),
              0);
    EXPECT_STREQ(buf, "\"C:\\Program Files\\o\\bin\\orv_sched.exe\" service --config "
                      "\"C:\\ProgramData\\o\\orv_sched.cfg\"");
    // 1599 characters fit, one more does not: no cut command line.
    std::string p(1599 - 22 - 10, 'p');  // 22: the quotes and " service --config "
    EXPECT_EQ(schedcmd_service_cmdline(buf, p.c_str(), "0123456789"), 0);
    EXPECT_EQ(strlen(buf), 1599u);
    p += "p";
    EXPECT_EQ(schedcmd_service_cmdline(buf, p.c_str(), "0123456789"), -1);
    EXPECT_STREQ(buf, "");
}

TEST(SchedCmd, EnableAnswer)
{
    struct {
        const char *output;
        int expected;
    } cases[] = {
        {"", 0},
        {"API enabled on 0.0.0.0:8443\n", SCHEDCMD_API_ENABLED},
        {"API kept disabled (enabled=no)\n", SCHEDCMD_API_KEPT_DISABLED},
        {"API enabled\nagent config writes allowed\n", SCHEDCMD_API_ENABLED | SCHEDCMD_WRITES_ALLOWED},
        {"API enabled\nagent config writes kept off\n", SCHEDCMD_API_ENABLED | SCHEDCMD_WRITES_KEPT_OFF},
        {"kept disabled; API enabled later\n", SCHEDCMD_API_ENABLED},
        {"writes kept off, writes allowed", SCHEDCMD_WRITES_ALLOWED},
        {"api ENABLED", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(schedcmd_read_enable(c.output), c.expected) << c.output;
}

TEST(SchedCmd, InitAndReleaseAnswers)
{
    char fp[100];
    EXPECT_EQ(schedcmd_read_init("certificate written\nfingerprint: ab:cd:ef\r\nmore\n", fp, sizeof fp), 0);
    EXPECT_STREQ(fp, "ab:cd:ef");
    EXPECT_EQ(schedcmd_read_init("fingerprint: 0123", fp, sizeof fp), 0);
    EXPECT_STREQ(fp, "0123");
    EXPECT_EQ(schedcmd_read_init("fingerprint:0123\n", fp, sizeof fp), -1);
    EXPECT_STREQ(fp, "");
    char small[5];
    EXPECT_EQ(schedcmd_read_init("fingerprint: 0123456789\n", small, sizeof small), 0);
    EXPECT_STREQ(small, "0123");

    EXPECT_EQ(schedcmd_read_release_waits("release stored; API is disabled\n"), 1);
    EXPECT_EQ(schedcmd_read_release_waits("release stored\n"), 0);
    EXPECT_EQ(schedcmd_read_release_waits(""), 0);
}

TEST(SchedCmd, FieldValue)
{
    const char *text = "enabled: yes\nlisten_port: 1\n listen: 9\nlisten:   0.0.0.0:8443\r\n"
                       "listen: second\nempty:\nlong: ";
    struct {
        const char *name;
        int result;
        const char *value;
    } cases[] = {
        {"enabled", 0, "yes"},
        {"listen", 0, "0.0.0.0:8443"},  // not listen_port, not the indented line; the first match
        {"empty", 0, ""},
        {"missing", -1, ""},
        {"long", 0, ""},
    };
    for (const auto &c : cases) {
        char out[SCHEDCMD_FIELD_MAX] = "";
        EXPECT_EQ(text_field_value(text, c.name, out), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_STREQ(out, c.value) << c.name;
        }
    }
    char out[SCHEDCMD_FIELD_MAX];
    std::string v199 = "f: " + std::string(199, 'x') + "\n";
    EXPECT_EQ(text_field_value(v199.c_str(), "f", out), 0);
    EXPECT_EQ(strlen(out), 199u);
    std::string v200 = "f: " + std::string(200, 'x') + "\n";
    EXPECT_EQ(text_field_value(v200.c_str(), "f", out), -1);
}

TEST(SchedCmd, ApiInfoAnswer)
{
    const std::string hex64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    std::string pairs;  // 32 colon-separated upper-case byte pairs
    for (size_t i = 0; i < 64; i += 2)
        pairs += (i ? ":" : "") + hex64.substr(i, 2);
    for (auto &ch : pairs)
        ch = (char)toupper((unsigned char)ch);
    struct {
        const char *name;
        std::string output;
        int enabled;
        const char *port;
        std::string fingerprint;
    } cases[] = {
        {"complete", "enabled: yes\nlisten: 0.0.0.0:8443\nfingerprint: " + hex64 + "\n", 1, "8443", hex64},
        {"colon pairs upper case", "enabled: yes\nlisten: [::]:9000\nfingerprint: " + pairs + "\n", 1,
         "9000", hex64},
        {"YES is not yes", "enabled: YES\n", 0, "", ""},
        {"no listen field", "enabled: yes\nfingerprint: " + hex64 + "\n", 1, "", hex64},
        {"listen without colon", "listen: 8443\n", 0, "", ""},
        {"port too long", "listen: h:1234567890123456\n", 0, "", ""},
        {"63 digits", "fingerprint: " + hex64.substr(1) + "\n", 0, "", ""},
        {"G among the first 64", "fingerprint: G" + hex64.substr(1) + "\n", 0, "", ""},
        {"text after the first 64 ignored", "fingerprint: " + hex64 + "ZZ\n", 0, "", hex64},
    };
    for (const auto &c : cases) {
        schedcmd_api_info info;
        schedcmd_read_api_info(c.output.c_str(), &info);
        EXPECT_EQ(info.enabled, c.enabled) << c.name;
        EXPECT_STREQ(info.port, c.port) << c.name;
        EXPECT_EQ(std::string(info.fingerprint), c.fingerprint) << c.name;
    }
}

TEST(SchedCmd, TokenSecret)
{
    struct {
        const char *name;
        std::string output;
        int result;
        const char *secret;
    } cases[] = {
        {"found", "token created (keep it secret): konsole-anna.s3cr3t\r\nrole: admin\n", 0, "s3cr3t"},
        {"at the end", "x (keep it secret): konsole-anna.abc", 0, "abc"},
        {"secret with dots", "(keep it secret): konsole-anna.a.b.c\n", 0, "a.b.c"},
        {"other token", "(keep it secret): konsole-bob.abc\n", -1, ""},
        {"name is a prefix", "(keep it secret): konsole-annax.abc\n", -1, ""},
        {"no dot", "(keep it secret): konsole-anna\n", -1, ""},
        {"empty secret", "(keep it secret): konsole-anna.\n", -1, ""},
        {"no phrase", "konsole-anna.abc\n", -1, ""},
        {"secret too long", "(keep it secret): konsole-anna." + std::string(200, 's') + "\n", -1, ""},
    };
    for (const auto &c : cases) {
        char secret[SCHEDCMD_SECRET_MAX] = "junk";
        EXPECT_EQ(schedcmd_read_token_secret(c.output.c_str(), "konsole-anna", secret), c.result) << c.name;
        EXPECT_STREQ(secret, c.secret) << c.name;
    }
}
