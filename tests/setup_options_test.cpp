// The setup context's defaults, every option of the command line, the answers
// file and the order in which the sources override each other.
#include <gtest/gtest.h>

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "setup_options.h"
#include "test_util.h"
#include "updconf.h"

// Stands in for the runtime's _fullpath, which the native build lacks: a
// path with a drive stays, anything else is taken relative to C:\work, and a
// path starting with "?" cannot be made absolute.
static int test_fullpath(const char *path, char *out, size_t size)
{
    if (path[0] == '?')
        return -1;
    bool absolute = path[0] && path[1] == ':';
    int n = snprintf(out, size, "%s%s", absolute ? "" : "C:\\work\\", path);
    return n >= 0 && (size_t)n < size ? 0 : -1;
}

// The ANSI code page of the tests: Latin-1, whose bytes are the first 256
// code points; anything beyond it has no form there.
static int test_latin1(const char *utf8, char *out, size_t size)
{
    size_t n = 0;
    for (const unsigned char *p = (const unsigned char *)utf8; *p; p++) {
        unsigned cp = *p;
        if (*p >= 0x80) {
            if ((*p & 0xE0) != 0xC0 || (p[1] & 0xC0) != 0x80)
                return -1;
            cp = (unsigned)(*p & 0x1F) << 6 | (p[1] & 0x3F);
            p++;
            if (cp > 0xFF)
                return -1;
        }
        if (n + 1 >= size)
            return -2;
        out[n++] = (char)cp;
    }
    out[n] = '\0';
    return 0;
}

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

struct parsed {
    int rc;
    std::string err;
};

static parsed parse(setup_context *ctx, const std::vector<std::string> &args)
{
    std::vector<std::string> copy = args;
    std::vector<char *> argv = {(char *)"orv_setup"};
    for (auto &a : copy)
        argv.push_back(&a[0]);
    char err[600] = "";
    int rc = setup_parse_options_with(ctx, (int)argv.size(), argv.data(), test_fullpath, err,
                                      sizeof err);
    return {rc, err};
}

static parsed read_answers(setup_context *ctx, const std::string &text)
{
    std::string path = test_temp_dir("answers") + "/answers.txt";
    EXPECT_TRUE(test_write_file(path, text));
    char err[600] = "";
    int rc = setup_read_answers_with(ctx, path.c_str(), test_fullpath, test_latin1, err, sizeof err);
    return {rc, err};
}

TEST(SetupOptions, Defaults)
{
    auto ctx = fresh();
    updater_config engine;
    updconf_defaults(&engine);
    EXPECT_STREQ(ctx->updater_config.url, setup_builtin_url());
    EXPECT_EQ(strncmp(setup_builtin_url(), "https://", 8), 0);
    EXPECT_STREQ(ctx->updater_config.channel, "alpha");
    EXPECT_EQ(ctx->updater_config.key_count, 2u);
    EXPECT_STREQ(ctx->updater_config.install_dir, engine.install_dir);
    EXPECT_STREQ(ctx->config_path, updconf_default_path());
    struct {
        const char *name;
        int32_t value, expected;
    } ints[] = {
        {"mode", ctx->mode, 0}, {"silent", ctx->silent, 0},
        {"url_set", ctx->url_set, 0}, {"public_key_set", ctx->public_key_set, 0},
        {"client_test", ctx->client_test, 1}, {"server_port", ctx->server_port, 9990},
        {"sched_api", ctx->sched_api, 1}, {"console_link", ctx->console_link, 1},
        {"default_jobs", ctx->default_jobs, 1}, {"console_role_admin", ctx->console_role_admin, 1},
        {"console_release", ctx->console_release, -1},
        {"updater_schedule", ctx->updater_schedule, 1},
        {"update_task_state", ctx->update_task_state, -1}, {"resume_task", ctx->resume_task, 1},
        {"scheduler_service", ctx->scheduler_service, 1},
        {"configure_client", ctx->configure_client, 0},
        {"configure_server", ctx->configure_server, 0}, {"target_api", ctx->target_api, 0},
        {"catalog_loaded", ctx->catalog_loaded, 0}, {"purge", ctx->purge, 0},
    };
    for (auto &c : ints)
        EXPECT_EQ(c.value, c.expected) << c.name;
    EXPECT_STREQ(ctx->target_api_token, "target-konsole");
    EXPECT_STREQ(ctx->server_storage, "C:\\orvantis");
    EXPECT_STREQ(ctx->root, "");
    EXPECT_STREQ(ctx->report, "");
    EXPECT_EQ(ctx->callbacks.step_fn, nullptr);
}

TEST(SetupOptions, FlagsSetTheirFields)
{
    using check = std::function<bool(const setup_context &)>;
    struct {
        std::vector<std::string> args;
        check ok;
    } cases[] = {
        {{"--silent"}, [](const setup_context &c) { return c.silent == 1; }},
        {{"/silent"}, [](const setup_context &c) { return c.silent == 1; }},
        {{"--quiet"}, [](const setup_context &c) { return c.silent == 1; }},
        // A flag ignores the text after "=".
        {{"--silent=no"}, [](const setup_context &c) { return c.silent == 1; }},
        {{"--modify"}, [](const setup_context &c) { return c.mode == 1; }},
        {{"--repair"}, [](const setup_context &c) { return c.mode == 2; }},
        {{"--uninstall"}, [](const setup_context &c) { return c.mode == 3; }},
        {{"--list-components"}, [](const setup_context &c) { return c.mode == 4; }},
        {{"--modify", "--repair"}, [](const setup_context &c) { return c.mode == 2; }},
        {{"--purge"}, [](const setup_context &c) { return c.purge == 1; }},
        {{"--no-updater-schedule"}, [](const setup_context &c) { return c.updater_schedule == 0; }},
        {{"--no-resume-service"}, [](const setup_context &c) { return c.resume_task == 0; }},
        {{"--no-scheduler-service"},
         [](const setup_context &c) { return c.scheduler_service == 0; }},
        {{"--no-sched-api"}, [](const setup_context &c) { return c.sched_api == 0; }},
        {{"--no-sched-api", "--enable-sched-api"},
         [](const setup_context &c) { return c.sched_api == 1; }},
        {{"--no-console-link"}, [](const setup_context &c) { return c.console_link == 0; }},
        {{"--no-client-test"}, [](const setup_context &c) { return c.client_test == 0; }},
        {{"--no-default-jobs"},
         [](const setup_context &c) { return c.default_jobs == 0 && c.configure_server == 1; }},
        {{"--enable-target-api"},
         [](const setup_context &c) { return c.target_api == 1 && c.configure_server == 1; }},
        {{"--configure-server"}, [](const setup_context &c) { return c.configure_server == 1; }},
        {{"--configure-client"}, [](const setup_context &c) { return c.configure_client == 1; }},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        parsed p = parse(ctx.get(), c.args);
        EXPECT_EQ(p.rc, 0) << c.args[0] << ": " << p.err;
        EXPECT_TRUE(c.ok(*ctx)) << c.args[0];
    }
}

TEST(SetupOptions, AcceptedOptionsChangeNothing)
{
    auto base = fresh();
    const std::vector<std::vector<std::string>> calls = {
        {"--yes"}, {"-y"}, {"--help"}, {"-h"}, {"--version"}, {"--selftest"}, {"--no-syslog"},
        {"--no-log"}, {"--answers", "x.txt"}, {"--answers=x.txt"}, {"--syslog", "daemon"},
        {"--log", "x"}, {"--log-path", "C:\\x.log"}};
    for (auto &args : calls) {
        auto ctx = fresh();
        parsed p = parse(ctx.get(), args);
        EXPECT_EQ(p.rc, 0) << args[0] << ": " << p.err;
        EXPECT_EQ(memcmp(ctx.get(), base.get(), sizeof *ctx), 0) << args[0];
    }
}

// Where a text option stores its value, and which flag it sets.
struct text_option {
    const char *name;
    std::function<char *(setup_context &)> field;
    size_t size;
    std::function<int32_t(const setup_context &)> mark; // null: none
};

static std::vector<text_option> text_options()
{
    return {
        {"--url", [](setup_context &c) { return c.updater_config.url; }, 1024,
         [](const setup_context &c) { return c.url_set; }},
        {"--channel", [](setup_context &c) { return c.updater_config.channel; }, 64,
         [](const setup_context &c) { return c.channel_set; }},
        {"--ca-file", [](setup_context &c) { return c.updater_config.ca_file; }, 512,
         [](const setup_context &c) { return c.ca_file_set; }},
        {"--config", [](setup_context &c) { return c.config_path; }, 1100, nullptr},
        {"--install-dir", [](setup_context &c) { return c.updater_config.install_dir; }, 512,
         nullptr},
        {"--state-dir", [](setup_context &c) { return c.updater_config.state_dir; }, 512, nullptr},
        {"--link-dir", [](setup_context &c) { return c.updater_config.link_dir; }, 512, nullptr},
        {"--root", [](setup_context &c) { return c.root; }, 512, nullptr},
        {"--preset", [](setup_context &c) { return c.preset; }, 32, nullptr},
        {"--components", [](setup_context &c) { return c.component_list; }, 256, nullptr},
        {"--to", [](setup_context &c) { return c.target_version; }, 64, nullptr},
        {"--client-server", [](setup_context &c) { return c.client_server; }, 256,
         [](const setup_context &c) { return c.configure_client; }},
        {"--client-dir", [](setup_context &c) { return c.client_dir; }, 64,
         [](const setup_context &c) { return c.configure_client; }},
        {"--client-cert", [](setup_context &c) { return c.client_server_cert; }, 512,
         [](const setup_context &c) { return c.configure_client; }},
        {"--client-key", [](setup_context &c) { return c.client_api_key; }, 300,
         [](const setup_context &c) { return c.configure_client; }},
        {"--client-key-file", [](setup_context &c) { return c.client_api_key_file; }, 512,
         [](const setup_context &c) { return c.configure_client; }},
        {"--server-storage", [](setup_context &c) { return c.server_storage; }, 512,
         [](const setup_context &c) { return c.configure_server; }},
        {"--server-cn", [](setup_context &c) { return c.server_cn; }, 128,
         [](const setup_context &c) { return c.configure_server; }},
        {"--server-dirs", [](setup_context &c) { return c.server_dirs; }, 256,
         [](const setup_context &c) { return c.configure_server; }},
        {"--proxy", [](setup_context &c) { return c.updater_config.proxy; }, 256, nullptr},
        {"--console-user", [](setup_context &c) { return c.console_user; }, 256, nullptr},
    };
}

// A value of n characters that stays as it is when made absolute.
static std::string value_of(size_t n)
{
    std::string v = "C:";
    v.resize(n < 2 ? 2 : n, 'v');
    return v.substr(0, n);
}

TEST(SetupOptions, TextOptionsStoreWholeValuesOrRefuseThem)
{
    for (const text_option &o : text_options()) {
        // Paths longer than 511 characters after _fullpath stay as given, so
        // the longest value that fits is stored unchanged in every field.
        std::string fits = value_of(o.size - 1);
        auto ctx = fresh();
        parsed p = parse(ctx.get(), {std::string(o.name) + "=" + fits});
        EXPECT_EQ(p.rc, 0) << o.name << ": " << p.err;
        EXPECT_EQ(o.field(*ctx), fits) << o.name;
        if (o.mark) {
            EXPECT_EQ(o.mark(*ctx), 1) << o.name;
        }

        // The same value as the next argument.
        auto next = fresh();
        EXPECT_EQ(parse(next.get(), {o.name, fits}).rc, 0) << o.name;
        EXPECT_EQ(o.field(*next), fits) << o.name;

        // One byte more is refused, never cut, and the field keeps its value.
        auto too_long = fresh();
        std::string before = o.field(*too_long);
        p = parse(too_long.get(), {o.name, value_of(o.size)});
        EXPECT_EQ(p.rc, -1) << o.name;
        EXPECT_EQ(p.err, std::string("Der Wert von ") + o.name + " ist zu lang") << o.name;
        EXPECT_EQ(o.field(*too_long), before) << o.name;
        if (o.mark) {
            EXPECT_EQ(o.mark(*too_long), 0) << o.name;
        }

        // Without a value.
        auto missing = fresh();
        p = parse(missing.get(), {o.name});
        EXPECT_EQ(p.err, std::string("Die Option ") + o.name + " braucht einen Wert") << o.name;
    }
}

TEST(SetupOptions, ArgumentShapes)
{
    struct {
        std::vector<std::string> args;
        int rc;
        const char *err;
    } cases[] = {
        {{"--bogus"}, -1, "Unbekannte Option --bogus (siehe --help)"},
        {{"--bogus=1"}, -1, "Unbekannte Option --bogus=1 (siehe --help)"},
        {{"--Silent"}, -1, "Unbekannte Option --Silent (siehe --help)"},
        {{"-"}, -1, "Unbekannte Option - (siehe --help)"},
        {{"--"}, -1, "Unbekannte Option -- (siehe --help)"},
        {{"stray"}, -1, "Unbekannte Option stray (siehe --help)"},
        {{"--" + std::string(61, 'x')}, -1,
         "Unbekannte Option --xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx "
         "(siehe --help)"},
        // A name of 64 characters is refused before any table is asked.
        {{"--" + std::string(62, 'x') + "=1"}, -1,
         "Unbekannte Option --xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx=1"},
        {{"--to"}, -1, "Die Option --to braucht einen Wert"},
        {{"--silent", "--bogus", "--modify"}, -1, "Unbekannte Option --bogus (siehe --help)"},
        {{"--to", "--silent"}, 0, ""},
        {{"--url="}, 0, ""},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        parsed p = parse(ctx.get(), c.args);
        EXPECT_EQ(p.rc, c.rc) << c.args[0];
        EXPECT_EQ(p.err, c.err) << c.args[0];
    }
    // The value after "--to" is taken whatever it looks like.
    auto ctx = fresh();
    parse(ctx.get(), {"--to", "--silent"});
    EXPECT_STREQ(ctx->target_version, "--silent");
    EXPECT_EQ(ctx->silent, 0);
    // An empty URL is stored; connecting refuses it later.
    parse(ctx.get(), {"--url="});
    EXPECT_STREQ(ctx->updater_config.url, "");
    EXPECT_EQ(ctx->url_set, 1);
    // Arguments before a failing one keep their effect.
    auto partial = fresh();
    parse(partial.get(), {"--silent", "--bogus", "--modify"});
    EXPECT_EQ(partial->silent, 1);
    EXPECT_EQ(partial->mode, 0);
}

TEST(SetupOptions, CheckedValues)
{
    using check = std::function<bool(const setup_context &)>;
    const char *port_err = "--server-port muss zwischen 1 und 65535 liegen";
    const char *token_err = "--target-api-token erwartet einen Namen aus Buchstaben, Ziffern, "
                            "„_“ und „-“ (höchstens 64 Zeichen)";
    const char *role_err = "--console-role erwartet admin oder read";
    const char *release_err = "--console-release erwartet read, admin oder off";
    auto untouched = [](const setup_context &c) {
        return c.server_port == 9990 && c.configure_server == 0 && c.console_role_admin == 1 &&
               c.console_release == -1 && c.target_api == 0 &&
               strcmp(c.target_api_token, "target-konsole") == 0;
    };
    struct {
        std::vector<std::string> args;
        const char *err;
        check ok;
    } cases[] = {
        {{"--server-port", "1"}, "",
         [](const setup_context &c) { return c.server_port == 1 && c.configure_server == 1; }},
        {{"--server-port", "65535"}, "",
         [](const setup_context &c) { return c.server_port == 65535; }},
        {{"--server-port", "0"}, port_err, untouched},
        {{"--server-port", "65536"}, port_err, untouched},
        {{"--server-port", "abc"}, port_err, untouched},
        {{"--server-port", ""}, port_err, untouched},
        {{"--server-port", "-1"}, port_err, untouched},
        {{"--server-port", "99999999999999999999"}, port_err, untouched},
        // A number with stray text after it is not a port.
        {{"--server-port", "80x"}, port_err, untouched},
        {{"--target-api-token", "Konsole_2-a"}, "",
         [](const setup_context &c) {
             return strcmp(c.target_api_token, "Konsole_2-a") == 0 && c.target_api == 1 &&
                    c.configure_server == 1;
         }},
        {{"--target-api-token", std::string(64, 'a')}, "",
         [](const setup_context &c) { return strlen(c.target_api_token) == 64; }},
        {{"--target-api-token", std::string(65, 'a')}, token_err, untouched},
        {{"--target-api-token", ""}, token_err, untouched},
        {{"--target-api-token", "a b"}, token_err, untouched},
        {{"--target-api-token", "größe"}, token_err, untouched},
        {{"--console-role", "read"}, "",
         [](const setup_context &c) { return c.console_role_admin == 0; }},
        {{"--console-role", "read", "--console-role", "admin"}, "",
         [](const setup_context &c) { return c.console_role_admin == 1; }},
        {{"--console-role", "Admin"}, role_err, untouched},
        {{"--console-role", ""}, role_err, untouched},
        {{"--no-sched-api", "--console-release", "admin"}, "",
         [](const setup_context &c) { return c.console_release == 2 && c.sched_api == 1; }},
        {{"--no-sched-api", "--console-release", "read"}, "",
         [](const setup_context &c) { return c.console_release == 1 && c.sched_api == 1; }},
        {{"--console-release", "admin", "--no-sched-api"}, "",
         [](const setup_context &c) { return c.console_release == 2 && c.sched_api == 0; }},
        {{"--no-sched-api", "--console-release", "off"}, "",
         [](const setup_context &c) { return c.console_release == 0 && c.sched_api == 0; }},
        {{"--console-release", "READ"}, release_err, untouched},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        parsed p = parse(ctx.get(), c.args);
        std::string name = c.args[0] + " " + c.args[c.args.size() - 1];
        EXPECT_EQ(p.rc, c.err[0] ? -1 : 0) << name;
        EXPECT_EQ(p.err, c.err) << name;
        EXPECT_TRUE(c.ok(*ctx)) << name;
    }
}

TEST(SetupOptions, TrustedKeysAddUpToEight)
{
    updater_config builtin;
    updconf_defaults(&builtin);
    char builtin_b64[48];
    b64_encode(builtin.public_keys[1], 32, builtin_b64, sizeof builtin_b64);
    const char *msg = "--public-key muss ein öffentlicher Ed25519-Schlüssel in Base64 sein (32 Bytes)";

    // A built-in key is accepted and adds nothing.
    auto ctx = fresh();
    parsed p = parse(ctx.get(), {"--public-key", builtin_b64});
    EXPECT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(ctx->updater_config.key_count, 2u);
    EXPECT_EQ(ctx->public_key_set, 1);

    // Six new keys (one of them twice) fill the eight places; the seventh new
    // one is refused.
    std::vector<std::string> args;
    for (int b = 1; b <= 6; b++)
        args.insert(args.end(), {"--public-key", test_key_b64(b)});
    args.insert(args.end(), {"--public-key", test_key_b64(3)});
    auto full = fresh();
    p = parse(full.get(), args);
    EXPECT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(full->updater_config.key_count, 8u);
    EXPECT_EQ(memcmp(full->updater_config.public_keys[0], builtin.public_keys[0], 32), 0);
    p = parse(full.get(), {"--public-key", test_key_b64(7)});
    EXPECT_EQ(p.err, msg);
    EXPECT_EQ(full->updater_config.key_count, 8u);
    // A key already held is still accepted when all places are taken.
    EXPECT_EQ(parse(full.get(), {"--public-key", test_key_b64(2)}).rc, 0);

    struct {
        std::string value;
    } bad[] = {{""}, {"not base64!"}, {test_key_b64(1).substr(0, 40)}, {test_key_b64(1) + "AAAA"}};
    for (auto &b : bad) {
        auto c = fresh();
        p = parse(c.get(), {"--public-key", b.value});
        EXPECT_EQ(p.err, msg) << b.value;
        EXPECT_EQ(c->updater_config.key_count, 2u) << b.value;
        EXPECT_EQ(c->public_key_set, 0) << b.value;
    }
}

TEST(SetupOptions, PathsAreMadeAbsolute)
{
    auto ctx = fresh();
    parsed p = parse(ctx.get(), {"--install-dir", "inst", "--state-dir", "C:\\abs\\state",
                                 "--ca-file", "ca.pem", "--link-dir", "links", "--client-cert",
                                 "srv.pem", "--client-key-file", "?unresolvable", "--config",
                                 "my.conf", "--root", "rel-root"});
    ASSERT_EQ(p.rc, 0) << p.err;
    struct {
        const char *name;
        const char *value, *expected;
    } cases[] = {
        {"install_dir", ctx->updater_config.install_dir, "C:\\work\\inst"},
        {"state_dir", ctx->updater_config.state_dir, "C:\\abs\\state"},
        {"ca_file", ctx->updater_config.ca_file, "C:\\work\\ca.pem"},
        {"link_dir", ctx->updater_config.link_dir, "C:\\work\\links"},
        {"client_server_cert", ctx->client_server_cert, "C:\\work\\srv.pem"},
        // A path the runtime cannot resolve stays as given.
        {"client_api_key_file", ctx->client_api_key_file, "?unresolvable"},
        // An explicit settings file is not moved below the root.
        {"config_path", ctx->config_path, "C:\\work\\my.conf"},
        // The root itself is not made absolute.
        {"root", ctx->root, "rel-root"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(c.value, c.expected) << c.name;

    // An absolute form longer than 511 characters leaves the given text.
    auto longer = fresh();
    std::string rel(505, 'r');
    EXPECT_EQ(parse(longer.get(), {"--install-dir", rel}).rc, 0);
    EXPECT_EQ(longer->updater_config.install_dir, rel);
}

TEST(SetupOptions, RootMovesTheDefaultSettingsFile)
{
    std::string def = updconf_default_path();
    ASSERT_EQ(def.substr(1, 1), ":");
    auto ctx = fresh();
    ASSERT_EQ(parse(ctx.get(), {"--root", "D:\\t\\r1"}).rc, 0);
    EXPECT_EQ(ctx->config_path, "D:\\t\\r1" + def.substr(2));
    // A second pass (the command line after the answers file) leaves it.
    ASSERT_EQ(parse(ctx.get(), {"--silent"}).rc, 0);
    EXPECT_EQ(ctx->config_path, "D:\\t\\r1" + def.substr(2));
    // A later root moves the settings file along: the command line wins over
    // the answers file for the root as for everything else.
    ASSERT_EQ(parse(ctx.get(), {"--root", "D:\\t\\r2"}).rc, 0);
    EXPECT_EQ(ctx->config_path, "D:\\t\\r2" + def.substr(2));
    // A settings file named on its own stays where it was named.
    auto named = fresh();
    ASSERT_EQ(parse(named.get(), {"--config", "C:\\x\\u.conf", "--root", "D:\\t\\r1"}).rc, 0);
    ASSERT_EQ(parse(named.get(), {"--root", "D:\\t\\r2"}).rc, 0);
    EXPECT_STREQ(named->config_path, "C:\\x\\u.conf");
}

TEST(SetupOptions, AnswersFileLines)
{
    std::string hash_value = "'C:\\Program Files\\# odd ;dir '";
    auto ctx = fresh();
    parsed p = read_answers(ctx.get(),
                            "\xEF\xBB\xBF# a comment\r\n"
                            "\r\n"
                            "  silent  \r\n"
                            "; another comment\n"
                            "url = https://example.invalid/u # trailing comment\n"
                            "install-dir = " + hash_value + "\n"
                            "channel=\"be\\\"ta\"\n"
                            "components = core, agent\t\n"
                            "answers = other.txt\n"
                            "to=\n"
                            "modify");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(ctx->silent, 1);
    EXPECT_EQ(ctx->mode, 1);
    EXPECT_STREQ(ctx->updater_config.url, "https://example.invalid/u");
    EXPECT_EQ(ctx->url_set, 1);
    EXPECT_STREQ(ctx->updater_config.install_dir, "C:\\Program Files\\# odd ;dir ");
    EXPECT_STREQ(ctx->updater_config.channel, "be\"ta");
    EXPECT_STREQ(ctx->component_list, "core, agent");
    EXPECT_STREQ(ctx->target_version, "");
}

TEST(SetupOptions, AnswersFileFailures)
{
    std::string dir = test_temp_dir("answers");
    std::string missing = dir + "/missing.txt";
    auto ctx = fresh();
    char err[600] = "";
    EXPECT_EQ(setup_read_answers_with(ctx.get(), missing.c_str(), test_fullpath, test_latin1, err,
                                      sizeof err),
              -1);
    EXPECT_EQ(std::string(err), "Die Antwortdatei " + missing + " lässt sich nicht lesen");

    struct {
        const char *name;
        std::string text;
        std::string err; // "%s" stands for the file's path
    } cases[] = {
        {"unknown key", "silent\nbogus = 1\n", "Unbekannte Option --bogus (siehe --help)"},
        {"line starting with =", "= 1\n", "Unbekannte Option -- (siehe --help)"},
        {"unclosed quote", "url = 'https://x\n",
         "%s: Ein Anführungszeichen ist nicht geschlossen oder es folgt Text danach"},
        {"text after quote", "url = 'https://x' y\n",
         "%s: Ein Anführungszeichen ist nicht geschlossen oder es folgt Text danach"},
        {"value missing", "to\n", "Die Option --to braucht einen Wert"},
        {"too long", "channel = " + std::string(64, 'c') + "\n",
         "Der Wert von --channel ist zu lang"},
        {"bad role", "console-role = Admin\n", "--console-role erwartet admin oder read"},
    };
    for (auto &c : cases) {
        auto fail = fresh();
        std::string path = dir + "/case.txt";
        ASSERT_TRUE(test_write_file(path, c.text));
        int rc = setup_read_answers_with(fail.get(), path.c_str(), test_fullpath, test_latin1, err,
                                         sizeof err);
        std::string expected = c.err;
        size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(rc, -1) << c.name;
        EXPECT_EQ(std::string(err), expected) << c.name;
    }

    // A faulty line stops the whole file: nothing of it is applied.
    auto partial = fresh();
    EXPECT_EQ(read_answers(partial.get(), "silent\nmodify\nurl = \"x\n").rc, -1);
    EXPECT_EQ(partial->silent, 0);
    EXPECT_EQ(partial->mode, 0);
}

// An answers file that an editor saved in UTF-8 gives its paths and values
// in the ANSI code page, where the program keeps them; a file that is not
// UTF-8 is read in that code page as it is; a character the code page lacks
// is refused with the file and the line.
TEST(SetupOptions, AnswersFileInUtf8)
{
    const std::string ansi_dir = "C:\\Pr\xFC" "f \xD6rdner \xDF\\inst";
    struct {
        const char *name;
        std::string text;
        int rc;
        std::string install_dir;  // after a good read
        std::string err;          // "%s" stands for the file's path
    } cases[] = {
        {"UTF-8", "silent\ninstall-dir = C:\\Prüf Ördner ß\\inst\n", 0, ansi_dir, ""},
        {"UTF-8 with a byte-order mark", "\xEF\xBB\xBFinstall-dir = 'C:\\Prüf Ördner ß\\inst'\n",
         0, ansi_dir, ""},
        {"ANSI", "install-dir = C:\\Pr\xFC" "f \xD6rdner \xDF\\inst\n", 0, ansi_dir, ""},
        {"ASCII", "install-dir = C:\\plain\n", 0, "C:\\plain", ""},
        // One byte that is no UTF-8 makes the whole file ANSI: the other
        // line's bytes stay as they are.
        {"mostly UTF-8", "install-dir = C:\\Prüf\nchannel = b\xE9ta\n", 0, "C:\\Prüf", ""},
        {"a character outside the code page",
         "# Antworten\n\nserver-cn = Сервер\ninstall-dir = C:\\Prüf\n", -1, "",
         "%s, Zeile 3: Ein Zeichen lässt sich im Zeichensatz dieses Systems nicht darstellen"},
        {"counted from the byte-order mark's line",
         "\xEF\xBB\xBFsilent\nconsole-user = PC\\Zoë €\n", -1, "",
         "%s, Zeile 2: Ein Zeichen lässt sich im Zeichensatz dieses Systems nicht darstellen"},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        std::string path = test_temp_dir("answers") + "/answers.txt";
        ASSERT_TRUE(test_write_file(path, c.text));
        char err[600] = "";
        int rc = setup_read_answers_with(ctx.get(), path.c_str(), test_fullpath, test_latin1, err,
                                         sizeof err);
        EXPECT_EQ(rc, c.rc) << c.name << ": " << err;
        std::string expected = c.err;
        size_t at = expected.find("%s");
        if (at != std::string::npos)
            expected.replace(at, 2, path);
        EXPECT_EQ(std::string(err), expected) << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(std::string(ctx->updater_config.install_dir), c.install_dir) << c.name;
        } else {
            EXPECT_STREQ(ctx->updater_config.install_dir, fresh()->updater_config.install_dir)
                << c.name << ": nothing of the file is applied";
        }
    }
    // "mostly UTF-8" keeps the value of its second line byte for byte.
    auto ctx = fresh();
    ASSERT_EQ(read_answers(ctx.get(), "channel = b\xE9ta\ninstall-dir = C:\\Prüf\n").rc, 0);
    EXPECT_STREQ(ctx->updater_config.channel, "b\xE9ta");
}

TEST(SetupOptions, AnswersFileEntryLimit)
{
    struct {
        const char *name;
        int lines;
        bool with_value;
        int rc;
    } cases[] = {
        {"99 key-value lines", 99, true, 0},
        {"100 key-value lines", 100, true, -1},
        {"197 flag lines", 197, false, 0},
        {"198 flag lines", 198, false, -1},
    };
    for (auto &c : cases) {
        std::string text;
        for (int i = 0; i < c.lines; i++)
            text += c.with_value ? "to = 1.0.0\n" : "silent\n";
        auto ctx = fresh();
        std::string path = test_temp_dir("answers") + "/many.txt";
        ASSERT_TRUE(test_write_file(path, text));
        char err[600] = "";
        int rc = setup_read_answers_with(ctx.get(), path.c_str(), test_fullpath, test_latin1, err,
                                         sizeof err);
        EXPECT_EQ(rc, c.rc) << c.name;
        if (c.rc) {
            EXPECT_EQ(std::string(err), "Zu viele Einträge in " + path) << c.name;
        }
    }
}

TEST(SetupOptions, AnswersFileLongLinesStayWhole)
{
    // A line longer than one read of 1023 bytes reaches its option whole: a
    // URL that fits its field is taken, one that does not is refused, and no
    // piece of a line ever becomes an option of its own.
    std::string url = "https://example.invalid/" + std::string(999, 'u'); // 1023 characters
    auto ctx = fresh();
    parsed p = read_answers(ctx.get(), "url = " + url + "\nsilent\n");
    EXPECT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(ctx->updater_config.url, url);
    EXPECT_EQ(ctx->silent, 1);

    auto too_long = fresh();
    p = read_answers(too_long.get(), "url = " + url + "x\n");
    EXPECT_EQ(p.err, "Der Wert von --url ist zu lang");
    EXPECT_STREQ(too_long->updater_config.url, setup_builtin_url());

    // Read in pieces of 1023 bytes, this line's tail would be the flag
    // "uninstall" of a line of its own.
    std::string conf = "C:" + std::string(1012, 'c') + "uninstall";
    auto tail = fresh();
    p = read_answers(tail.get(), "config = " + conf + "\n");
    EXPECT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(tail->mode, 0);
    EXPECT_EQ(tail->config_path, conf);
}

TEST(SetupOptions, SourcesOverrideInOrder)
{
    // updater.conf, then the answers file, then the command line; the four
    // "set" flags come only from the last two, and keys accumulate.
    std::string dir = test_temp_dir("precedence");
    std::string conf = dir + "/updater.conf";
    ASSERT_TRUE(test_write_file(conf, "url = https://old.invalid/u\nchannel = beta\n"
                                      "proxy = http://conf-proxy:1\npublic_key = " +
                                          test_key_b64(1) + "\n"));
    auto ctx = fresh();
    char err[600] = "";
    ASSERT_EQ(updconf_read(conf.c_str(), 0, &ctx->updater_config, err, sizeof err), 0) << err;
    EXPECT_EQ(ctx->url_set, 0);
    EXPECT_EQ(ctx->channel_set, 0);

    parsed p = read_answers(ctx.get(), "channel = gamma\nproxy = http://answers-proxy:2\n"
                                       "public-key = " + test_key_b64(2) + "\nto = 1.0.0\n");
    ASSERT_EQ(p.rc, 0) << p.err;
    p = parse(ctx.get(), {"--proxy", "http://cli-proxy:3", "--public-key", test_key_b64(1),
                          "--public-key", test_key_b64(3)});
    ASSERT_EQ(p.rc, 0) << p.err;

    EXPECT_STREQ(ctx->updater_config.url, "https://old.invalid/u"); // updater.conf over default
    EXPECT_STREQ(ctx->updater_config.channel, "gamma");            // answers over updater.conf
    EXPECT_STREQ(ctx->updater_config.proxy, "http://cli-proxy:3"); // command line over answers
    EXPECT_STREQ(ctx->target_version, "1.0.0");
    EXPECT_EQ(ctx->url_set, 0);
    EXPECT_EQ(ctx->channel_set, 1);
    EXPECT_EQ(ctx->public_key_set, 1);
    // Built-in keys, the file's key, then the answers' and the command line's
    // new ones; the repeated one is held once.
    ASSERT_EQ(ctx->updater_config.key_count, 5u);
    uint8_t expected[32];
    for (int i = 0; i < 3; i++) {
        memset(expected, i + 1, sizeof expected);
        EXPECT_EQ(memcmp(ctx->updater_config.public_keys[2 + i], expected, 32), 0) << i;
    }
}

static int g_messages;
static std::string g_last_message;
static void record_message(void *user, int level, const char *text)
{
    EXPECT_EQ(level, 1);
    EXPECT_EQ(user, (void *)&g_messages);
    g_messages++;
    g_last_message = text;
}

TEST(SetupOptions, WarnAndCopyEdges)
{
    auto ctx = fresh();
    EXPECT_EQ(setup_warn(ctx.get(), "ohne %s", "Empfänger"), 0);
    ctx->callbacks.message_fn = record_message;
    ctx->callbacks.callback_user = &g_messages;
    EXPECT_EQ(setup_warn(ctx.get(), "Achtung: %d", 7), 1);
    EXPECT_EQ(g_messages, 1);
    EXPECT_EQ(g_last_message, "Achtung: 7");
    std::string long_text(700, 'w');
    setup_warn(ctx.get(), "%s", long_text.c_str());
    EXPECT_EQ(g_last_message.size(), 599u);

    // The error buffer rule: a null buffer or a size of 0 is left alone.
    char field[4] = "abc";
    char err[8] = "keep";
    EXPECT_EQ(setup_copy_option(field, sizeof field, "long", "--x", nullptr, 0), -1);
    EXPECT_EQ(setup_copy_option(field, sizeof field, "long", "--x", err, 0), -1);
    EXPECT_STREQ(err, "keep");
    EXPECT_STREQ(field, "abc");
    EXPECT_EQ(setup_copy_option(field, sizeof field, "long", "--x", err, sizeof err), -1);
    EXPECT_STREQ(err, "Der Wer"); // cut at the buffer's end
    EXPECT_EQ(setup_copy_option(field, sizeof field, "xyz", "--x", err, sizeof err), 0);
    EXPECT_STREQ(field, "xyz");
}
