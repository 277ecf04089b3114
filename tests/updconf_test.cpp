// updater.conf on text and files: the reader's checks and messages, the
// quoting of written values, round trips, and the editing of one key.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec.h"
#include "paths.h"
#include "test_util.h"
#include "updconf.h"

// Names the first field in which a and b differ (config_path not compared), or "".
static std::string config_diff(const updater_config &a, const updater_config &b)
{
#define TEXT_FIELD(f)                                                                              \
    if (strcmp(a.f, b.f) != 0)                                                                     \
        return std::string(#f) + ": '" + a.f + "' vs '" + b.f + "'";
#define NUM_FIELD(f)                                                                               \
    if (a.f != b.f)                                                                                \
        return std::string(#f) + ": " + std::to_string(a.f) + " vs " + std::to_string(b.f);
    TEXT_FIELD(url) TEXT_FIELD(channel) TEXT_FIELD(ca_file) TEXT_FIELD(client_cert)
    TEXT_FIELD(client_key) TEXT_FIELD(proxy) TEXT_FIELD(restart_command) TEXT_FIELD(state_dir)
    TEXT_FIELD(install_dir) TEXT_FIELD(link_dir)
    NUM_FIELD(key_count) NUM_FIELD(dependencies) NUM_FIELD(allow_package_install)
    NUM_FIELD(allow_major_upgrade) NUM_FIELD(timeout) NUM_FIELD(target_restart_wait)
#undef TEXT_FIELD
#undef NUM_FIELD
    if (memcmp(a.public_keys, b.public_keys, sizeof a.public_keys) != 0)
        return "public_keys";
    return "";
}

// The base64 text of a 32-byte key filled with byte b.
static std::string key_b64(int b)
{
    uint8_t key[32];
    memset(key, b, sizeof key);
    char text[48];
    b64_encode(key, sizeof key, text, sizeof text);
    return text;
}

// Writes text to a new file and reads it into a defaults record.
struct read_result {
    int rc;
    std::string err;
    std::string path;
    updater_config cfg;
};
static read_result read_text(const std::string &text)
{
    read_result r;
    r.path = test_temp_dir("updconf") + "/updater.conf";
    EXPECT_TRUE(test_write_file(r.path, text));
    updconf_defaults(&r.cfg);
    char err[600] = "";
    r.rc = updconf_read(r.path.c_str(), 1, &r.cfg, err, sizeof err);
    r.err = err;
    return r;
}

// The message fmt with every "%s" replaced by path.
static std::string with_path(const char *fmt, const std::string &path)
{
    std::string out = fmt;
    for (size_t at; (at = out.find("%s")) != std::string::npos;)
        out.replace(at, 2, path);
    return out;
}

TEST(Updconf, DefaultsAndBuiltinKeys)
{
    updater_config cfg;
    memset(&cfg, 0x5a, sizeof cfg);
    updconf_defaults(&cfg);
    EXPECT_STREQ(cfg.channel, "alpha");
    EXPECT_STREQ(cfg.channel, updconf_default_channel());
    EXPECT_EQ(cfg.timeout, 30u);
    EXPECT_EQ(cfg.target_restart_wait, 1800u);
    EXPECT_EQ(cfg.dependencies, 0);
    EXPECT_STREQ(cfg.url, "");
    EXPECT_STREQ(cfg.config_path, "");
    EXPECT_EQ(std::string(cfg.state_dir), std::string(paths_data_dir()) + "\\updater");
    const char *pf = getenv("ProgramFiles");
    EXPECT_EQ(std::string(cfg.install_dir), std::string(pf ? pf : "C:\\Program Files") + "\\orvantis");
    // The two built-in keys, in their order.
    ASSERT_EQ(cfg.key_count, 2u);
    const char *builtin[] = {"Rk3vQz8LmPw2Tn7YcX5bHs9dJg4KfW1eVa6NuZ0qCtE=",
                             "hP4wXo9Ls2Bk7Dq1Mz5Gv8Rn3Jc6Ty0Fe2Wa9Ub4HiQ="};
    for (int i = 0; i < 2; i++) {
        char text[48];
        b64_encode(cfg.public_keys[i], 32, text, sizeof text);
        EXPECT_STREQ(text, builtin[i]) << i;
    }
    for (int i = 2; i < UPDCONF_MAX_KEYS; i++)
        for (int j = 0; j < 32; j++)
            ASSERT_EQ(cfg.public_keys[i][j], 0) << i;
}

TEST(Updconf, DataDirAndDefaultPath)
{
    const char *pd = getenv("ProgramData");
    std::string expect = std::string(pd && pd[0] ? pd : "C:\\ProgramData") + "\\orvantis";
    EXPECT_EQ(std::string(paths_data_dir()), expect);
    EXPECT_EQ(std::string(updconf_default_path()), expect + "\\updater.conf");
    // Worked out once: a later change of the environment is not seen.
#ifdef _WIN32
    _putenv_s("ProgramData", "D:\\elsewhere");
#else
    setenv("ProgramData", "/elsewhere", 1);
#endif
    EXPECT_EQ(std::string(paths_data_dir()), expect);
    EXPECT_EQ(std::string(updconf_default_path()), expect + "\\updater.conf");
}

TEST(Updconf, BooleanWords)
{
    struct {
        const char *text;
        int rc, value;
    } cases[] = {
        {"yes", 0, 1},  {"YES", 0, 1},  {"True", 0, 1},  {"1", 0, 1},   {"no", 0, 0},
        {"No", 0, 0},   {"FALSE", 0, 0}, {"0", 0, 0},    {"", -1, 7},   {"on", -1, 7},
        {"01", -1, 7},  {"1 ", -1, 7},  {"yess", -1, 7}, {"ye", -1, 7}, {"-1", -1, 7},
    };
    for (auto &c : cases) {
        int out = 7;
        EXPECT_EQ(config_parse_bool(c.text, &out), c.rc) << "'" << c.text << "'";
        EXPECT_EQ(out, c.value) << "'" << c.text << "'";
    }
}

TEST(Updconf, AddPublicKey)
{
    updater_config cfg;
    updconf_defaults(&cfg);
    EXPECT_EQ(updconf_add_public_key(&cfg, "not base64!"), -1);
    uint8_t short_key[31] = {1};
    char text[64];
    b64_encode(short_key, sizeof short_key, text, sizeof text);
    EXPECT_EQ(updconf_add_public_key(&cfg, text), -1) << "31 bytes";
    EXPECT_EQ(cfg.key_count, 2u);
    // A key already held is accepted and not added twice; the ninth is refused.
    EXPECT_EQ(updconf_add_public_key(&cfg, "Rk3vQz8LmPw2Tn7YcX5bHs9dJg4KfW1eVa6NuZ0qCtE="), 0);
    EXPECT_EQ(cfg.key_count, 2u);
    for (int i = 1; i <= 6; i++)
        ASSERT_EQ(updconf_add_public_key(&cfg, key_b64(i).c_str()), 0) << i;
    EXPECT_EQ(cfg.key_count, 8u);
    EXPECT_EQ(updconf_add_public_key(&cfg, key_b64(3).c_str()), 0) << "held already";
    EXPECT_EQ(updconf_add_public_key(&cfg, key_b64(7).c_str()), -1) << "ninth";
    EXPECT_EQ(cfg.key_count, 8u);
    EXPECT_EQ(cfg.public_keys[7][0], 6);
}

// One settings file and what reading it into a defaults record gives.
struct line_case {
    const char *name;
    std::string text;
    std::string err;       // expected message ("%s" for the path), "" for success
    const char *field;     // field to look at after a successful read, or null
    std::string expected;  // its value as text
};

// The value of field as text (numbers in decimal).
static std::string field_text(const updater_config &c, const std::string &field)
{
    if (field == "url") return c.url;
    if (field == "channel") return c.channel;
    if (field == "ca_file") return c.ca_file;
    if (field == "client_cert") return c.client_cert;
    if (field == "client_key") return c.client_key;
    if (field == "proxy") return c.proxy;
    if (field == "restart_command") return c.restart_command;
    if (field == "state_dir") return c.state_dir;
    if (field == "install_dir") return c.install_dir;
    if (field == "link_dir") return c.link_dir;
    if (field == "key_count") return std::to_string(c.key_count);
    if (field == "dependencies") return std::to_string(c.dependencies);
    if (field == "allow_package_install") return std::to_string(c.allow_package_install);
    if (field == "allow_major_upgrade") return std::to_string(c.allow_major_upgrade);
    if (field == "timeout") return std::to_string(c.timeout);
    if (field == "target_restart_wait") return std::to_string(c.target_restart_wait);
    return "?field";
}

static void run_line_cases(const std::vector<line_case> &cases)
{
    for (const line_case &c : cases) {
        read_result r = read_text(c.text);
        if (c.err.empty()) {
            EXPECT_EQ(r.rc, 0) << c.name << ": " << r.err;
            if (c.field) {
                EXPECT_EQ(field_text(r.cfg, c.field), c.expected) << c.name;
            }
        } else {
            EXPECT_EQ(r.rc, -1) << c.name;
            EXPECT_EQ(r.err, with_path(c.err.c_str(), r.path)) << c.name;
        }
    }
}

TEST(Updconf, TextKeysAndTheirLimits)
{
    struct {
        const char *key;
        size_t max;
    } limits[] = {{"url", 1023},         {"channel", 63},         {"ca_file", 511},
                  {"proxy", 255},        {"state_dir", 511},      {"install_dir", 511},
                  {"restart_command", 511}, {"link_dir", 511},    {"client_cert", 511},
                  {"client_key", 511}};
    std::vector<line_case> cases;
    for (auto &l : limits) {
        // The pair check needs both client files: the other one is set to "x".
        std::string other;
        if (!strcmp(l.key, "client_cert"))
            other = "client_key = x\n";
        if (!strcmp(l.key, "client_key"))
            other = "client_cert = x\n";
        std::string fits(l.max, 'v'), too_long(l.max + 1, 'v');
        cases.push_back({l.key, std::string(l.key) + " = " + fits + "\n" + other, "", l.key, fits});
        cases.push_back({l.key, std::string(l.key) + " = " + too_long + "\n" + other,
                         std::string("%s:1: invalid value for '") + l.key + "'", nullptr, ""});
    }
    cases.push_back({"empty url", "url =\n", "", "url", ""});
    cases.push_back({"empty channel", "channel = \t\n", "", "channel", ""});
    cases.push_back({"last wins", "url = a\nurl = b\n", "", "url", "b"});
    run_line_cases(cases);
}

TEST(Updconf, WordAndNumberKeys)
{
    run_line_cases({
        {"auto", "dependencies = auto", "", "dependencies", "0"},
        {"system", "dependencies = system", "", "dependencies", "1"},
        {"bundled", "dependencies = bundled", "", "dependencies", "2"},
        {"Auto", "dependencies = Auto", "%s:1: invalid value for 'dependencies'", nullptr, ""},
        {"no word", "dependencies =", "%s:1: invalid value for 'dependencies'", nullptr, ""},
        {"YES", "allow_package_install = YES", "", "allow_package_install", "1"},
        {"0", "allow_package_install = 0", "", "allow_package_install", "0"},
        {"on", "allow_package_install = on", "%s:1: invalid value for 'allow_package_install'",
         nullptr, ""},
        {"True", "allow_major_upgrade = True", "", "allow_major_upgrade", "1"},
        {"2", "allow_major_upgrade = 2", "%s:1: invalid value for 'allow_major_upgrade'", nullptr,
         ""},
        {"timeout 1", "timeout = 1", "", "timeout", "1"},
        {"timeout 3600", "timeout = 3600", "", "timeout", "3600"},
        {"timeout 0", "timeout = 0", "%s:1: invalid value for 'timeout'", nullptr, ""},
        {"timeout 3601", "timeout = 3601", "%s:1: invalid value for 'timeout'", nullptr, ""},
        {"timeout empty", "timeout =", "%s:1: invalid value for 'timeout'", nullptr, ""},
        {"timeout unit", "timeout = 30s", "%s:1: invalid value for 'timeout'", nullptr, ""},
        {"timeout quoted", "timeout = '30'", "", "timeout", "30"},
        {"timeout blank in quotes", "timeout = ' 30'", "%s:1: invalid value for 'timeout'", nullptr,
         ""},
        // A sign is refused: strtoul would wrap these into range.
        {"timeout -1", "timeout = -1", "%s:1: invalid value for 'timeout'", nullptr, ""},
        {"timeout -4294967295", "timeout = -4294967295", "%s:1: invalid value for 'timeout'",
         nullptr, ""},
        {"timeout +30", "timeout = +30", "%s:1: invalid value for 'timeout'", nullptr, ""},
        // 2^32 + 30 and a number past 64 bits do not wrap either.
        {"timeout 4294967326", "timeout = 4294967326", "%s:1: invalid value for 'timeout'", nullptr,
         ""},
        {"timeout huge", "timeout = 184467440737095516160030",
         "%s:1: invalid value for 'timeout'", nullptr, ""},
        {"wait 0", "target_restart_wait = 0", "", "target_restart_wait", "0"},
        {"wait 86400", "target_restart_wait = 86400", "", "target_restart_wait", "86400"},
        {"wait 086400", "target_restart_wait = 0086400", "", "target_restart_wait", "86400"},
        {"wait 86401", "target_restart_wait = 86401",
         "%s:1: invalid value for 'target_restart_wait'", nullptr, ""},
        {"wait empty", "target_restart_wait = ", "%s:1: invalid value for 'target_restart_wait'",
         nullptr, ""},
        {"wait -0", "target_restart_wait = -0", "%s:1: invalid value for 'target_restart_wait'",
         nullptr, ""},
    });
}

TEST(Updconf, LinesCommentsAndQuotes)
{
    run_line_cases({
        {"note after blank", "url = x # note\n", "", "url", "x"},
        {"hash inside", "url = a#b\n", "", "url", "a#b"},
        {"semicolon first", "url = ;x\n", "", "url", ""},
        {"hash right after =", "url =#x\n", "", "url", "#x"},
        {"single quotes", "url = 'a # b' # note\n", "", "url", "a # b"},
        {"quote then note", "url = 'abc'#note\n", "", "url", "abc"},
        {"double quotes", "url = \"\\\\\\\\srv\\\\share \\\"x\\\"\"\n", "", "url",
         "\\\\srv\\share \"x\""},
        {"blanks kept in quotes", "url = '  x  '\n", "", "url", "  x  "},
        {"comment lines", "# c\n; c\n\n  \t\nurl = y\n", "", "url", "y"},
        {"unterminated", "url = 'abc\n",
         "%s:1: unterminated quote or text after the closing quote", nullptr, ""},
        {"text after quote", "url = 'abc' x\n",
         "%s:1: unterminated quote or text after the closing quote", nullptr, ""},
        {"no =", "\n# c\nurl\n", "%s:3: expected key = value", nullptr, ""},
        {"comment hides =", "url #note = v\n", "%s:1: expected key = value", nullptr, ""},
        {"keys are case-sensitive", "URL = x\n", "%s:1: unknown setting 'URL'", nullptr, ""},
        {"empty key", "= x\n", "%s:1: unknown setting ''", nullptr, ""},
        {"commented key", "#url = x\nproxy = p\n", "", "url", ""},
        {"client_cert alone", "client_cert = c\nurl = after\n",
         "%s: client_cert and client_key go together", nullptr, ""},
        {"client_key alone", "client_key = k\n", "%s: client_cert and client_key go together",
         nullptr, ""},
        {"client pair", "client_cert = c\nclient_key = k\n", "", "client_key", "k"},
    });
}

TEST(Updconf, PublicKeyLines)
{
    std::string three = "public_key = " + key_b64(1) + "\npublic_key = " + key_b64(2) +
                        "\npublic_key = " + key_b64(3) + "\n";
    std::string twice = "public_key = " + key_b64(1) + "\npublic_key = " + key_b64(1) + "\n";
    std::string seven;
    for (int i = 1; i <= 7; i++)
        seven += "public_key = " + key_b64(i) + "\n";
    uint8_t k33[33] = {};
    char t33[64];
    b64_encode(k33, sizeof k33, t33, sizeof t33);
    run_line_cases({
        {"three new", three, "", "key_count", "5"},
        {"same twice", twice, "", "key_count", "3"},
        {"built-in again", "public_key = Rk3vQz8LmPw2Tn7YcX5bHs9dJg4KfW1eVa6NuZ0qCtE=\n", "",
         "key_count", "2"},
        {"ninth key", seven, "%s:7: invalid value for 'public_key'", nullptr, ""},
        {"33 bytes", std::string("public_key = ") + t33, "%s:1: invalid value for 'public_key'",
         nullptr, ""},
        {"not base64", "public_key = abc-def", "%s:1: invalid value for 'public_key'", nullptr, ""},
    });
}

TEST(Updconf, LineLengthLimit)
{
    // "url = x" padded with blanks to the wanted length (line feed included when lf).
    auto line = [](size_t len, bool lf) {
        std::string s = "url = x";
        s += std::string(len - s.size() - (lf ? 1 : 0), ' ');
        return lf ? s + "\n" : s;
    };
    run_line_cases({
        {"2047 with line feed", line(2047, true) + "channel = c\n", "", "channel", "c"},
        {"2048 with line feed", line(2048, true) + "channel = c\n", "%s:1: line too long", nullptr,
         ""},
        {"last line of 2047 without line feed", "channel = c\n" + line(2047, false), "", "url",
         "x"},
        {"last line of 2048 without line feed", "channel = c\n" + line(2048, false),
         "%s:2: line too long", nullptr, ""},
        {"CR LF counts", "channel = c\r\n" + line(2045, false) + "\r\n", "", "url", "x"},
        {"CR LF one too many", "channel = c\r\n" + line(2046, false) + "\r\n",
         "%s:2: line too long", nullptr, ""},
    });
}

TEST(Updconf, BomAndCrlfReadLikePlainText)
{
    std::string plain = "url = https://u.example/x\nchannel = beta\nproxy = 'p q'\n"
                        "# comment\n\ntimeout = 60\n";
    std::string dressed = "\xEF\xBB\xBF" "url = https://u.example/x\r\nchannel = beta\r\n"
                          "proxy = \"p q\"\r\n# comment\r\n\r\ntimeout = 60";
    read_result a = read_text(plain), b = read_text(dressed);
    ASSERT_EQ(a.rc, 0) << a.err;
    ASSERT_EQ(b.rc, 0) << b.err;
    EXPECT_EQ(config_diff(a.cfg, b.cfg), "");
    EXPECT_STREQ(b.cfg.proxy, "p q");
    EXPECT_EQ(b.cfg.timeout, 60u);
}

TEST(Updconf, FailureKeepsEarlierLinesAndPath)
{
    read_result r = read_text("url = u\nchannel = c\ntimeout = 99\nproxy = p\n"
                              "target_restart_wait = 86401\nlink_dir = never\n");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, r.path + ":5: invalid value for 'target_restart_wait'");
    updater_config expect;
    updconf_defaults(&expect);
    strcpy(expect.url, "u");
    strcpy(expect.channel, "c");
    expect.timeout = 99;
    strcpy(expect.proxy, "p");
    EXPECT_EQ(config_diff(r.cfg, expect), "");
    EXPECT_EQ(std::string(r.cfg.config_path), r.path);
}

TEST(Updconf, MissingFile)
{
    std::string path = test_temp_dir("updconf") + "/absent.conf";
    updater_config cfg, before;
    updconf_defaults(&cfg);
    strcpy(cfg.url, "kept");
    before = cfg;
    char err[600] = "untouched";
    EXPECT_EQ(updconf_read(path.c_str(), 0, &cfg, err, sizeof err), 0);
    EXPECT_STREQ(err, "untouched");
    EXPECT_EQ(config_diff(cfg, before), "");
    EXPECT_EQ(std::string(cfg.config_path), path);
    EXPECT_EQ(updconf_read(path.c_str(), 1, &cfg, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot read the configuration file " + path);
    // The path is kept cut to 511 characters.
    std::string long_path = test_temp_dir("updconf") + "/" + std::string(600, 'p');
    EXPECT_EQ(updconf_read(long_path.c_str(), 0, &cfg, err, sizeof err), 0);
    EXPECT_EQ(std::string(cfg.config_path), long_path.substr(0, 511));
}

TEST(Updconf, FormatLineQuotesWhatWouldNotReadBack)
{
    // rc 0: the line is expected, and its length is the result.
    struct {
        const char *key, *value;
        int rc;
        const char *line;
    } cases[] = {
        {"url", "plain", 0, "url = plain\n"},
        {"url", "", 0, "url = \n"},
        {"url", "a#b;c", 0, "url = a#b;c\n"},
        {"url", "=x", 0, "url = =x\n"},
        {"url", " lead", 0, "url = ' lead'\n"},
        {"url", "trail\t", 0, "url = 'trail\t'\n"},
        {"url", "a #b", 0, "url = 'a #b'\n"},
        {"url", ";x", 0, "url = ';x'\n"},
        {"url", "\"dq\"", 0, "url = '\"dq\"'\n"},
        {"url", "\\\\srv\\share", 0, "url = \\\\srv\\share\n"},
        {"url", "\\\\srv\\share ;x", 0, "url = '\\\\srv\\share ;x'\n"},
        {"url", "it's #1\\", 0, "url = \"it's #1\\\\\"\n"},
        {"url", "'\"", 0, "url = \"'\\\"\"\n"},
        {"url", "a\nb", -1, ""},
        {"url", "a\rb", -1, ""},
        {"", "v", -2, ""},
        {"a b", "v", -2, ""},
        {"a=b", "v", -2, ""},
        {"#url", "v", -2, ""},
        {";url", "v", -2, ""},
    };
    for (auto &c : cases) {
        char line[UPDCONF_LINE_MAX] = "";
        int rc = updconf_format_line(c.key, c.value, line);
        int expect_rc = c.rc ? c.rc : (int)strlen(c.line);
        EXPECT_EQ(rc, expect_rc) << "'" << c.key << "' '" << c.value << "'";
        if (rc > 0) {
            EXPECT_STREQ(line, c.line) << c.value;
        }
    }
    // The line, line feed included, may take 2047 bytes and not one more.
    std::string fits(2047 - strlen("url = \n"), 'x');
    char line[UPDCONF_LINE_MAX];
    EXPECT_EQ(updconf_format_line("url", fits.c_str(), line), 2047);
    EXPECT_EQ(updconf_format_line("url", (fits + "x").c_str(), line), -1);
    // Escaping can push a value of legal length past the limit.
    std::string escaped = "'" + std::string(1020, '\\') + " ";
    EXPECT_EQ(updconf_format_line("url", escaped.c_str(), line), -1);
}

// Formats cfg, writes the text to a file and reads it into a defaults record.
static read_result format_and_read(const updater_config &cfg, std::string *text)
{
    std::vector<char> buf(UPDCONF_TEXT_MAX);
    const char *bad = nullptr;
    int n = updconf_format(&cfg, buf.data(), buf.size(), &bad);
    EXPECT_GT(n, 0) << (bad ? bad : "");
    *text = std::string(buf.data(), n > 0 ? (size_t)n : 0);
    return read_text(*text);
}

TEST(Updconf, DefaultsWriteSevenLines)
{
    updater_config cfg;
    updconf_defaults(&cfg);
    std::string text;
    read_result r = format_and_read(cfg, &text);
    std::string expect =
        "# written by orv_setup; see packaging/updater.conf.example for the settings\n"
        "url = \nchannel = alpha\ndependencies = auto\nallow_package_install = no\n"
        "install_dir = " + std::string(cfg.install_dir) + "\nstate_dir = " +
        std::string(cfg.state_dir) + "\n";
    EXPECT_EQ(text, expect);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(config_diff(r.cfg, cfg), "");
}

TEST(Updconf, EveryFieldWritten)
{
    updater_config cfg;
    updconf_defaults(&cfg);
    strcpy(cfg.url, "https://u.example/base");
    strcpy(cfg.channel, "beta");
    strcpy(cfg.ca_file, "C:\\ca.pem");
    strcpy(cfg.client_cert, "c.pem");
    strcpy(cfg.client_key, "k.pem");
    strcpy(cfg.proxy, "proxy:8080");
    strcpy(cfg.restart_command, "restart now");
    strcpy(cfg.link_dir, "L");
    strcpy(cfg.install_dir, "I");
    strcpy(cfg.state_dir, "S");
    updconf_add_public_key(&cfg, key_b64(9).c_str());
    cfg.dependencies = 2;
    cfg.allow_package_install = 1;
    cfg.allow_major_upgrade = 1;
    cfg.timeout = 31;
    cfg.target_restart_wait = 0;
    std::string text;
    read_result r = format_and_read(cfg, &text);
    EXPECT_EQ(text,
              "# written by orv_setup; see packaging/updater.conf.example for the settings\n"
              "url = https://u.example/base\nchannel = beta\npublic_key = " + key_b64(9) +
                  "\nca_file = C:\\ca.pem\nclient_cert = c.pem\nclient_key = k.pem\n"
                  "proxy = proxy:8080\ndependencies = bundled\nallow_package_install = yes\n"
                  "allow_major_upgrade = yes\nrestart_command = restart now\ninstall_dir = I\n"
                  "state_dir = S\nlink_dir = L\ntimeout = 31\ntarget_restart_wait = 0\n");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(config_diff(r.cfg, cfg), "");
    // Any other dependencies value is written as "auto".
    cfg.dependencies = 7;
    r = format_and_read(cfg, &text);
    EXPECT_NE(text.find("dependencies = auto\n"), std::string::npos);
}

TEST(Updconf, AwkwardValuesReadBackEqual)
{
    const char *values[] = {
        "\\\\fileserver\\share\\orvantis",
        "\\\\srv\\it's #1\\",
        "a'b\"c",
        "\"starts with a double quote",
        "'starts with a single quote",
        "  leading and trailing  ",
        "\ttab\t",
        "\vform\f",
        "#hash first",
        ";semicolon first",
        "a #b ;c",
        "x\t;y",
        "a#b;c",
        "ends with backslash\\",
        "=",
        "' #'\" ;\\",
    };
    for (const char *v : values) {
        updater_config cfg;
        updconf_defaults(&cfg);
        // Every text field carries the value (the client pair both, so the pair check passes).
        for (char *f : {cfg.url, cfg.channel, cfg.ca_file, cfg.client_cert, cfg.client_key,
                        cfg.proxy, cfg.restart_command, cfg.state_dir, cfg.install_dir,
                        cfg.link_dir})
            strcpy(f, v);
        std::string text;
        read_result r = format_and_read(cfg, &text);
        EXPECT_EQ(r.rc, 0) << v << ": " << r.err;
        EXPECT_EQ(config_diff(r.cfg, cfg), "") << v << "\n" << text;
    }
}

TEST(Updconf, FormatRefusesValuesOffOneLine)
{
    updater_config cfg;
    updconf_defaults(&cfg);
    strcpy(cfg.proxy, "p\npublic_key = " );  // would add a trusted key of its own
    std::vector<char> buf(UPDCONF_TEXT_MAX);
    const char *bad = nullptr;
    EXPECT_EQ(updconf_format(&cfg, buf.data(), buf.size(), &bad), -1);
    EXPECT_STREQ(bad, "proxy");
    // The longest lines each field can give fit UPDCONF_TEXT_MAX together: a
    // single quote forces double quotes, and backslashes double in them.
    updconf_defaults(&cfg);
    memset(cfg.url, '\\', 1019);
    cfg.url[0] = '\'';
    cfg.url[1019] = '\0';
    for (char *f : {cfg.ca_file, cfg.client_cert, cfg.client_key, cfg.restart_command,
                    cfg.state_dir, cfg.install_dir, cfg.link_dir}) {
        memset(f, '\\', 510);
        f[0] = '\'';
        f[510] = '\0';
    }
    memset(cfg.proxy, '"', 255);
    cfg.proxy[0] = '\'';
    cfg.proxy[255] = '\0';
    memset(cfg.channel, ' ', 63);
    cfg.channel[63] = '\0';
    for (int i = 0; i < UPDCONF_MAX_KEYS; i++)
        memset(cfg.public_keys[i], 100 + i, 32);
    cfg.key_count = UPDCONF_MAX_KEYS;
    cfg.allow_major_upgrade = 1;
    cfg.timeout = 3600;
    cfg.target_restart_wait = 86400;
    int n = updconf_format(&cfg, buf.data(), buf.size(), &bad);
    EXPECT_GT(n, 0);
    // A buffer one byte short is refused, not overrun.
    std::vector<char> small((size_t)n);
    EXPECT_EQ(updconf_format(&cfg, small.data(), small.size(), &bad), -1);
    EXPECT_EQ(bad, nullptr);
}

// Copies text through updconf_copy_replacing with the line "url = new".
static std::string copy_replacing(const std::string &text)
{
    std::string dir = test_temp_dir("updconf");
    std::string in_path = dir + "/in", out_path = dir + "/out";
    EXPECT_TRUE(test_write_file(in_path, text));
    FILE *in = fopen(in_path.c_str(), "rb");
    FILE *out = fopen(out_path.c_str(), "wb");
    EXPECT_TRUE(in && out);
    if (!in || !out)
        return "?";
    EXPECT_EQ(updconf_copy_replacing(in, out, "url", "url = new\n"), 0);
    fclose(in);
    fclose(out);
    return test_read_file(out_path);
}

TEST(Updconf, CopyReplacingFirstSettingLine)
{
    std::string long_value(3000, 'x');
    // A long line comes in pieces; text in its middle is no line start.
    std::string inner = "proxy = " + std::string(2039, 'p') + "url = inner\n";
    struct {
        const char *name;
        std::string in, out;
    } cases[] = {
        {"replace", "url = old\nchannel = b\n", "url = new\nchannel = b\n"},
        {"first of two", "url = a\nurl = b\n", "url = new\nurl = b\n"},
        {"blanks around", " \turl\t = a\n", "url = new\n"},
        {"append", "channel = b\n", "channel = b\nurl = new\n"},
        {"append after missing line feed", "channel = b", "channel = b\nurl = new\n"},
        {"empty file", "", "url = new\n"},
        {"longer key", "urls = x\n", "urls = x\nurl = new\n"},
        {"commented", "#url = x\n", "#url = x\nurl = new\n"},
        {"no =", "url x\n", "url x\nurl = new\n"},
        {"inner text of long line", inner, inner + "url = new\n"},
        {"long replaced line", "url = " + long_value + "\nchannel = b\n",
         "url = new\nchannel = b\n"},
        {"long replaced last line", "url = " + long_value, "url = new\n"},
        {"bytes kept", std::string("a = \0\xff\r\n", 8) + "url = o\r\n",
         std::string("a = \0\xff\r\n", 8) + "url = new\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(copy_replacing(c.in), c.out) << c.name;
}
