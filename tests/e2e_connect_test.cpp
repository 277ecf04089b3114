// orv_setup.exe --list-components against the tests' update servers: the
// catalog's table from settings given on the command line, in an answers file
// or in an old updater.conf; the refusals, each one German line and exit 1;
// and the fallback from an old updater.conf to the built-in server (the second
// server, whose port this build knows as its own).
#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "builtin_server.h"
#include "catalog_doc.h"
#include "ed25519.h"
#include "run_win.h"
#include "setup_options.h"
#include "sig_fixture.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// The publisher's key: made by openssl genpkey in the signature fixture.
struct publisher {
    uint8_t seed[32] = {0};
    std::string pub;  // base64 of the public key, as "--public-key" takes it
    bool ok = false;
};

const publisher &key()
{
    static publisher p;
    if (!p.ok) {
        p.ok = sig_fixture_key("seed.b64", p.seed, 32);
        p.pub = sig_fixture_file("pub.b64");
        while (!p.pub.empty() && (p.pub.back() == '\n' || p.pub.back() == '\r'))
            p.pub.pop_back();
    }
    return p;
}

// The catalog of these tests. Release 2.0.0 is offered to nobody (rollout 0)
// and lacks the agent; "linuxonly" has no package for this computer.
test_catalog standard_catalog(const std::string &channel, int64_t sequence)
{
    test_catalog c;
    c.channel = channel;
    c.sequence = sequence;
    c.components = {
        {"core", "Basisdienste", false, true, {}},
        {"agent", "Sicherungs-Agent", true, false, {"core"}},
        {"console_manager", "Verwaltung für Rücksicherungen", false, false, {}},
        {"linuxonly", "", false, false, {}},
        {"preview", "Vorschau", false, false, {}},
    };
    const std::string linux_match = "{\"os\": \"linux\", \"arch\": \"x86_64\"}";
    test_release v1{"1.0.0", {{"core"}, {"agent"}, {"console_manager"}, {"linuxonly", linux_match}}};
    test_release v2{"2.0.0", {{"core"}, {"console_manager"}, {"preview"}}, 0};
    c.releases = {v1, v2};
    return c;
}

// The table of standard_catalog: the availability of agent, preview as given.
std::string standard_table(const char *agent, const char *preview)
{
    return std::string("KOMPONENTE     VERFÜGBAR STANDARD BEZEICHNUNG\n"
                       "core           ja        immer    Basisdienste\n"
                       "agent          ") +
           agent + (strlen(agent) == 2 ? "        " : "      ") +
           "ja       Sicherungs-Agent\n"
           "console_managerja        nein     Verwaltung für Rücksicherungen\n"
           "linuxonly      nein      nein     linuxonly\n"
           "preview        " +
           preview + (strlen(preview) == 2 ? "        " : "      ") + "nein     Vorschau\n";
}

// Puts a catalog and its signature below base/<channel>/ on a server.
void serve(srv_which which, const std::string &base, const test_catalog &cat,
           const uint8_t *seed = nullptr)
{
    std::string doc = cat.json();
    std::string dir = base + (base.empty() || base.back() == '/' ? "" : "/") + cat.channel;
    srv_put(dir + "/components.json", doc, which);
    srv_put(dir + "/components.json.sig", test_catalog_sig(doc, seed ? seed : key().seed), which);
}

// The pinned certificate: both servers present it (the stand-in of the
// built-in server has the first one's certificates), and "--ca-file" keeps
// it through the fallback.
std::string pin_file()
{
    return srv_cert("srv.pem");
}

// Where one run keeps its settings, programs and state.
struct places {
    std::string root = test_temp_dir("root");
    std::string inst = test_temp_dir("inst");
    std::string state = test_temp_dir("state");

    std::vector<std::string> args() const
    {
        return {"--root", root, "--install-dir", inst, "--state-dir", state};
    }
    // The updater.conf that a run with this root reads.
    std::string conf() const
    {
        std::filesystem::create_directories(root + "\\ProgramData\\orvantis");
        return root + "\\ProgramData\\orvantis\\updater.conf";
    }
    std::string state_text() const { return test_read_file(state + "\\state"); }
};

std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The options that reach the servers of the tests: the pins and the key.
std::vector<std::string> trust()
{
    return {"--ca-file", pin_file(), "--public-key", key().pub};
}

// Runs orv_setup.exe once per argument list, all at the same time (each run
// has its own places), and returns the outcomes in order.
std::vector<test_proc> run_all(const std::vector<std::vector<std::string>> &calls)
{
    std::vector<test_proc> out(calls.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < calls.size(); i++)
        threads.emplace_back([&, i] { out[i] = test_run_setup(calls[i]); });
    for (std::thread &t : threads)
        t.join();
    return out;
}

// A state file as the updater writes it.
std::string state_file(long long manifest_seq, const std::string &manifest_channel,
                       long long catalog_seq, const std::string &catalog_channel)
{
    return "last_sequence=" + std::to_string(manifest_seq) + "\nsequence_channel=" +
           manifest_channel + "\ninstalled_version=\nprevious_version=\nbad_versions=\n" +
           "last_catalog_sequence=" + std::to_string(catalog_seq) + "\ncatalog_channel=" +
           catalog_channel + "\ncomponents=\n";
}

// A port on the loopback that nobody listens on: 9 (discard) needs privileges
// to bind, and no test server or build machine service takes it.
const int kDeadPort = 9;

class E2eConnect : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(srv_ready());
        ASSERT_TRUE(builtin_ready());
        ASSERT_TRUE(key().ok);
    }
};

} // namespace

TEST_F(E2eConnect, ListFromCommandLine)
{
    const std::string base = srv_case("upd");
    serve(SRV_MAIN, base, standard_catalog("alpha", 41));
    places p;
    // Trailing slashes of the URL are dropped before the channel is added.
    test_proc r = test_run_setup(cat(cat({"--list-components", "--url", srv_url("ca", base + "//")},
                                         trust()),
                                     p.args()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, standard_table("ja", "nein"));
    EXPECT_EQ(r.err, "");
    // The catalog's sequence and channel are recorded; nothing else changes.
    EXPECT_EQ(p.state_text(), state_file(0, "", 41, "alpha"));
    auto got = srv_requests(base + "/alpha/components.json");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].user_agent, "orv_updater/2.0.0-alpha.027");
    EXPECT_EQ(srv_requests(base + "/alpha/components.json.sig").size(), 1u);
}

// The same settings from an answers file with comments, quotes and a
// byte-order mark, and from an old updater.conf.
TEST_F(E2eConnect, ListFromAnswersFileAndUpdaterConf)
{
    const std::string base = srv_case("upd");
    serve(SRV_MAIN, base, standard_catalog("gamma", 7));
    // A pin file whose path needs the quotes: a blank and a "#".
    std::string quoted_dir = test_temp_dir("answers") + "\\pins #1";
    std::filesystem::create_directories(quoted_dir);
    std::string pins = quoted_dir + "\\both.pem";
    ASSERT_TRUE(test_write_file(pins, test_read_file(pin_file())));
    std::string answers = test_temp_dir("answers") + "\\list.txt";
    ASSERT_TRUE(test_write_file(
        answers, "\xEF\xBB\xBF# which components are there?\r\n"
                 "list-components\r\n"
                 "\r\n"
                 "url = \"" + srv_url("ca", base) + "\"   ; the test server\r\n"
                 "channel='gamma'\r\n"
                 "ca-file = '" + pins + "' # pinned\r\n"
                 "; the publisher's key\r\n"
                 "public-key = " + key().pub + "\r\n"));
    places by_answers;

    places by_conf;
    ASSERT_TRUE(test_write_file(by_conf.conf(),
                                "# written by an older setup\nurl = " + srv_url("ca", base) +
                                    "\nchannel = gamma\nca_file = '" + pins +
                                    "'\npublic_key = " + key().pub + "\n"));

    std::vector<test_proc> r = run_all({cat({"--answers", answers}, by_answers.args()),
                                        cat({"--list-components"}, by_conf.args())});
    const char *names[] = {"answers file", "updater.conf"};
    const places *where[] = {&by_answers, &by_conf};
    for (size_t i = 0; i < r.size(); i++) {
        EXPECT_EQ(r[i].exit_code, 0) << names[i] << ": " << r[i].err;
        EXPECT_EQ(r[i].out, standard_table("ja", "nein")) << names[i];
        EXPECT_EQ(r[i].err, "") << names[i];
        EXPECT_EQ(where[i]->state_text(), state_file(0, "", 7, "gamma")) << names[i];
    }
    // Neither run needed the built-in server.
    EXPECT_EQ(srv_requests(base + "/gamma/components.json").size(), 2u);
}

// "--to" answers the availability column for the pinned release only: the
// rollout does not hold a pinned release back, and a component that the pinned
// release lacks is not available.
TEST_F(E2eConnect, PinnedReleaseDecidesAvailability)
{
    const std::string base = srv_case("upd");
    serve(SRV_MAIN, base, standard_catalog("alpha", 3));
    places a, b;
    std::vector<std::string> common = cat({"--list-components", "--url", srv_url("ca", base)}, trust());
    std::vector<test_proc> r = run_all({cat(cat(common, {"--to", "2.0.0"}), a.args()),
                                        cat(cat(common, {"--to=1.0.0"}), b.args())});
    EXPECT_EQ(r[0].exit_code, 0) << r[0].err;
    EXPECT_EQ(r[0].out, standard_table("nein", "ja")) << "--to 2.0.0";
    EXPECT_EQ(r[1].exit_code, 0) << r[1].err;
    EXPECT_EQ(r[1].out, standard_table("ja", "nein")) << "--to 1.0.0";
}

TEST_F(E2eConnect, RefusedCatalogsEndWithOneLine)
{
    const std::string base = srv_case("upd");
    const std::string url = srv_url("ca", base);
    // Signed with a key nobody trusts.
    uint8_t stranger[32], stranger_pub[32];
    ASSERT_EQ(ed25519_keygen(stranger, stranger_pub), 0);
    test_catalog foreign = standard_catalog("foreign", 5);
    serve(SRV_MAIN, base, foreign, stranger);
    // Made for a newer setup; one made for exactly this one passes.
    test_catalog newer = standard_catalog("newer", 5);
    newer.min_setup = "2.0.0";
    serve(SRV_MAIN, base, newer);
    test_catalog same = standard_catalog("same", 5);
    same.min_setup = "2.0.0-alpha.027";
    serve(SRV_MAIN, base, same);
    const std::string dead = "https://localhost:" + std::to_string(kDeadPort) + "/upd";
    const size_t builtin_before = srv_requests("", SRV_BUILTIN).size();

    struct {
        const char *name;
        std::vector<std::string> args;
        int code;
        std::string err;  // the whole of standard error
    } cases[] = {
        {"dead port", {"--url", dead}, 1,
         "Fehler: Der Komponentenkatalog " + dead +
             "/alpha/components.json lässt sich nicht laden: keine Verbindung zu localhost. "
             "Bitte Netzwerk, Proxy und Firewall prüfen.\n"},
        {"untrusted signature", {"--url", url, "--channel", "foreign"}, 1,
         "Fehler: Die Signatur des Komponentenkatalogs passt zu keinem vertrauenswürdigen "
         "Schlüssel. Es wurde nichts installiert. Bitte prüfen, ob die Adresse des "
         "Update-Servers stimmt, oder den Anbieter informieren.\n"},
        {"newer setup needed", {"--url", url, "--channel", "newer"}, 1,
         "Fehler: Dieses Setup (2.0.0-alpha.027) ist für den aktuellen Katalog zu alt (nötig ist "
         "2.0.0 oder neuer). Bitte das Setup neu herunterladen.\n"},
        {"this setup's own version", {"--url", url, "--channel", "same"}, 0, ""},
        {"no server", {"--url="}, 1,
         "Fehler: Dieses Setup kennt keinen Update-Server (--url <https://...>).\n"},
    };
    std::vector<std::vector<std::string>> calls;
    for (auto &c : cases)
        calls.push_back(cat(cat(cat({"--list-components"}, c.args), trust()), places().args()));
    std::vector<test_proc> r = run_all(calls);
    for (size_t i = 0; i < r.size(); i++) {
        EXPECT_EQ(r[i].exit_code, cases[i].code) << cases[i].name;
        EXPECT_EQ(r[i].err, cases[i].err) << cases[i].name;
        EXPECT_EQ(r[i].out, cases[i].code ? "" : standard_table("ja", "nein")) << cases[i].name;
    }
    // A server given with "--url" is never replaced by the built-in one.
    EXPECT_EQ(srv_requests("", SRV_BUILTIN).size(), builtin_before);
}

// The state file remembers the catalog's sequence per channel: an older one
// is a replay, an equal one is fine, and another channel starts over.
TEST_F(E2eConnect, ReplayedSequenceIsRefused)
{
    const std::string base = srv_case("upd");
    places p;
    std::vector<std::string> args =
        cat(cat({"--list-components", "--url", srv_url("ca", base)}, trust()), p.args());
    const std::string replay =
        "Fehler: Der Katalog des Update-Servers ist älter als ein bereits gesehener (alte Daten "
        "werden erneut ausgeliefert). Es wurde nichts installiert. Bitte später erneut versuchen "
        "oder den Anbieter informieren.\n";
    struct {
        const char *name;
        const char *channel;
        int64_t sequence;
        int code;
        std::string err;
        std::string state;  // the state file afterwards
    } steps[] = {
        {"first", "alpha", 20, 0, "", state_file(0, "", 20, "alpha")},
        {"older", "alpha", 19, 1, replay, state_file(0, "", 20, "alpha")},
        {"equal", "alpha", 20, 0, "", state_file(0, "", 20, "alpha")},
        {"other channel", "beta", 1, 0, "", state_file(0, "", 1, "beta")},
    };
    for (auto &s : steps) {
        serve(SRV_MAIN, base, standard_catalog(s.channel, s.sequence));
        test_proc r = test_run_setup(cat(args, {"--channel", s.channel}));
        EXPECT_EQ(r.exit_code, s.code) << s.name;
        EXPECT_EQ(r.err, s.err) << s.name;
        EXPECT_EQ(p.state_text(), s.state) << s.name;
    }
}

// An updater.conf from an older installation names a server that is gone: the
// setup takes its built-in server instead, on a copy of the state without
// replay baselines, and keeps the pins and keys of the command line.
TEST_F(E2eConnect, DeadOldServerFallsBackToBuiltIn)
{
    serve(SRV_BUILTIN, builtin_path(""), standard_catalog("alpha", 12));
    const std::string dead = "https://localhost:" + std::to_string(kDeadPort) + "/old";
    places ok, both;
    ASSERT_TRUE(test_write_file(ok.conf(), "url = " + dead + "\nchannel = retired\n"));
    ASSERT_TRUE(test_write_file(both.conf(), "url = " + dead + "\n"));
    // The old server's baselines are far ahead of anything the built-in
    // server has served.
    ASSERT_TRUE(test_write_file(ok.state + "\\state", state_file(900, "alpha", 1000, "alpha")));

    std::vector<test_proc> r =
        run_all({cat(cat({"--list-components"}, trust()), ok.args()),
                 // An explicit channel stays; the built-in server has nothing for it.
                 cat(cat({"--list-components", "--channel", "nowhere"}, trust()), both.args())});

    EXPECT_EQ(r[0].exit_code, 0) << r[0].err;
    EXPECT_EQ(r[0].out, standard_table("ja", "nein"));
    // List mode prints no report: the fallback shows in the table and the state.
    EXPECT_EQ(r[0].err, "");
    EXPECT_EQ(ok.state_text(), state_file(0, "alpha", 12, "alpha"));

    const std::string builtin = setup_builtin_url();
    const std::string first = "der Komponentenkatalog " + dead +
                              "/nowhere/components.json lässt sich nicht laden: keine Verbindung "
                              "zu localhost. Bitte Netzwerk, Proxy und Firewall prüfen";
    const std::string second = "Der Komponentenkatalog " + builtin +
                               "/nowhere/components.json lässt sich nicht laden: die Datei gibt "
                               "es auf dem Update-Server nicht (HTTP 404). Bitte die Adresse des "
                               "Update-Servers und den Kanal prüfen";
    EXPECT_EQ(r[1].exit_code, 1);
    EXPECT_EQ(r[1].out, "");
    EXPECT_EQ(r[1].err, "Fehler: D" + first.substr(1) +
                            " (der eigene Update-Server des Setups " + builtin +
                            " ist ebenfalls fehlgeschlagen: " + second + ").\n");
    // Nothing was recorded for either server.
    EXPECT_EQ(both.state_text(), "");
}

// An updater.conf that names the built-in server with a channel of an older
// version: the setup switches to its own channel.
TEST_F(E2eConnect, OldChannelFallsBackToDefaultChannel)
{
    serve(SRV_BUILTIN, builtin_path(""), standard_catalog("alpha", 12));
    places p;
    ASSERT_TRUE(test_write_file(p.conf(), "url = " + std::string(setup_builtin_url()) +
                                              "\nchannel = retired\n"));
    test_proc r = test_run_setup(cat(cat({"--list-components"}, trust()), p.args()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, standard_table("ja", "nein"));
    EXPECT_EQ(p.state_text(), state_file(0, "", 12, "alpha"));
    EXPECT_EQ(srv_requests(builtin_path("retired/components.json"), SRV_BUILTIN).empty(), false);
}

// A faulty updater.conf is not used at all: the warning, then the defaults,
// that is the built-in server and channel.
TEST_F(E2eConnect, FaultyUpdaterConfLeavesDefaults)
{
    serve(SRV_BUILTIN, builtin_path(""), standard_catalog("alpha", 12));
    const std::string base = srv_case("upd");
    places p;
    ASSERT_TRUE(test_write_file(p.conf(), "url = " + srv_url("ca", base) +
                                              "\nchannel = beta\ntimeout = 30s\n"));
    test_proc r = test_run_setup(cat(cat({"--list-components"}, trust()), p.args()));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "Warnung: " + p.conf() +
                         ", Zeile 3: Ungültiger Wert für „timeout“ (die Datei wird nicht "
                         "benutzt)\n");
    EXPECT_EQ(r.out, standard_table("ja", "nein"));
    EXPECT_EQ(srv_requests(base + "/beta/components.json").size(), 0u);
}

// "--help" and "--version" are answered before any option is checked.
TEST_F(E2eConnect, HelpAndVersionBesideInvalidOptions)
{
    places p;
    struct {
        std::vector<std::string> args;
        std::string out_begins;
    } cases[] = {
        {{"--list-components", "--url=", "--bogus", "--help"},
         "orv_setup 2.0.0-alpha.027 (build 20261026-2)\n\nUsage: orv_setup [options]\n"},
        {{"--answers", p.root + "\\missing.txt", "--list-components", "-h"},
         "orv_setup 2.0.0-alpha.027 (build 20261026-2)\n\nUsage: orv_setup [options]\n"},
        {{"--list-components", "--channel", std::string(64, 'c'), "--version"},
         "orv_setup 2.0.0-alpha.027\n"},
    };
    std::vector<std::vector<std::string>> calls;
    for (auto &c : cases)
        calls.push_back(cat(c.args, p.args()));
    std::vector<test_proc> r = run_all(calls);
    for (size_t i = 0; i < r.size(); i++) {
        EXPECT_EQ(r[i].exit_code, 0) << cases[i].args.back();
        EXPECT_EQ(r[i].out.substr(0, cases[i].out_begins.size()), cases[i].out_begins)
            << cases[i].args.back();
        EXPECT_EQ(r[i].err, "") << cases[i].args.back();
    }
    // Nothing was fetched and nothing recorded.
    EXPECT_EQ(p.state_text(), "");
}
