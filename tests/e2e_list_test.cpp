// orv_setup.exe --list-components against the tests' update server: the
// catalog by command line, answers file and updater.conf, the table's
// columns, and every way connecting can fail.
#include <gtest/gtest.h>

#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "builtin_server.h"
#include "codec.h"
#include "ed25519.h"
#include "run_win.h"
#include "setup_options.h"
#include "signed.h"
#include "test_util.h"
#include "update_server.h"

namespace {

const std::string kHeader = "KOMPONENTE     VERFÜGBAR STANDARD BEZEICHNUNG\n";

std::string pkg(const std::string &component)
{
    return "{\"url\": \"p/" + component + ".pkg\", \"sha256\": \"" + std::string(64, 'a') +
           "\", \"size\": 10, \"match\": {\"os\": \"windows\", \"arch\": \"x86_64\"}, "
           "\"component\": \"" + component + "\"}";
}

// A catalog of core (required), agent (default) and a component with a
// 15-character id that only the newer release 1.1.0 has.
std::string catalog(int64_t sequence, const std::string &extra = "")
{
    int64_t now = (int64_t)time(nullptr);
    return "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": " +
           std::to_string(sequence) + ", \"issued\": \"" + test_iso_utc(now - 3600) +
           "\", \"expires\": \"" + test_iso_utc(now + 86400) + "\", \"releases\": [" +
           "{\"version\": \"1.0.0\", \"artifacts\": [" + pkg("core") + ", " + pkg("agent") +
           "]}, {\"version\": \"1.1.0\", \"artifacts\": [" + pkg("core") + ", " + pkg("agent") +
           ", " + pkg("abcdefghijklmno") + "]}], \"components\": ["
           "{\"id\": \"core\", \"title\": \"Grundpaket\", \"required\": true}, "
           "{\"id\": \"agent\", \"title\": \"Backup-Agent\", \"default\": true}, "
           "{\"id\": \"abcdefghijklmno\"}]" + extra + "}";
}

const std::string kTable = kHeader + "core           ja        immer    Grundpaket\n"
                                     "agent          ja        ja       Backup-Agent\n"
                                     "abcdefghijklmnoja        nein     abcdefghijklmno\n";

class List : public ::testing::Test {
protected:
    uint8_t priv[32], pub[32];
    std::string pub_b64, dir, root, install, state;

    void SetUp() override
    {
        ASSERT_TRUE(srv_ready());
        ASSERT_EQ(ed25519_keygen(priv, pub), 0);
        char text[48];
        b64_encode(pub, 32, text, sizeof text);
        pub_b64 = text;
        dir = srv_case("");
        root = test_temp_dir("root");
        install = test_temp_dir("inst");
        state = test_temp_dir("state");
    }

    // doc's signature file, signed with key (this test's own by default).
    std::string sign(const std::string &doc, const uint8_t *key = nullptr)
    {
        uint8_t sig[64];
        EXPECT_EQ(catalog_sign(key ? key : priv, doc.data(), doc.size(), sig), 0);
        char text[100];
        b64_encode(sig, 64, text, sizeof text);
        return std::string(text) + "\n";
    }

    // Serves doc as this test's catalog, signed with key.
    void publish(const std::string &doc, const uint8_t *key = nullptr)
    {
        srv_put(dir + "alpha/components.json", doc);
        srv_put(dir + "alpha/components.json.sig", sign(doc, key));
    }

    std::string url() const { return srv_url("ca", dir); }

    // Writes the updater.conf that the test root puts in place of the
    // default one; returns its path.
    std::string updater_conf(const std::string &text)
    {
        std::filesystem::create_directories(std::filesystem::path(root) / "ProgramData" /
                                            "orvantis");
        std::string path = root + "\\ProgramData\\orvantis\\updater.conf";
        EXPECT_TRUE(test_write_file(path, text));
        return path;
    }

    // The places of this test, then args.
    test_proc run(const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {"--list-components", "--root",      root,
                                        "--install-dir",     install,       "--state-dir",
                                        state};
        all.insert(all.end(), args.begin(), args.end());
        return test_run_setup(all);
    }

    std::vector<std::string> trust() const
    {
        return {"--ca-file", srv_cert("srv.pem"), "--public-key", pub_b64};
    }
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST_F(List, FromTheCommandLine)
{
    publish(catalog(5));
    test_proc r = run(std::vector<std::string>{"--url", url()} + trust());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kTable);
    // The catalog's sequence is recorded in the state file.
    std::string st = test_read_file(state + "\\state");
    EXPECT_NE(st.find("5"), std::string::npos) << st;
    EXPECT_NE(st.find("alpha"), std::string::npos) << st;
}

TEST_F(List, FromAnAnswersFile)
{
    publish(catalog(5));
    std::string answers = test_temp_dir("answers") + "\\answers.txt";
    ASSERT_TRUE(test_write_file(answers, "# the update site\r\n"
                                         "url = '" + url() + "'   ; quoted\r\n"
                                         "ca-file = \"" + srv_cert("srv.pem") + "\"\r\n"
                                         "public-key=" + pub_b64 + " # extra key\r\n"));
    test_proc r = run({"--answers", answers});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kTable);
}

TEST_F(List, FromAnExistingUpdaterConf)
{
    publish(catalog(5));
    updater_conf("url = " + url() + "\nca_file = " + srv_cert("srv.pem") + "\npublic_key = " +
                 pub_b64 + "\n");
    test_proc r = run({});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kTable);
}

TEST_F(List, PinnedReleaseAnswersAvailability)
{
    publish(catalog(5));
    test_proc r = run(std::vector<std::string>{"--url", url(), "--to", "1.0.0"} + trust());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kHeader + "core           ja        immer    Grundpaket\n"
                               "agent          ja        ja       Backup-Agent\n"
                               "abcdefghijklmnonein      nein     abcdefghijklmno\n");
}

TEST_F(List, FailuresEndWithOne)
{
    uint8_t other_priv[32], other_pub[32];
    ASSERT_EQ(ed25519_keygen(other_priv, other_pub), 0);
    struct {
        const char *name;
        std::string doc;
        bool other_key;
        std::vector<std::string> args; // null url: this test's server
        std::string err;               // the one German error line
    } cases[] = {
        {"bad signature", catalog(5), true, {},
         "Fehler: Die Signatur des Komponentenkatalogs passt zu keinem vertrauenswürdigen "
         "Schlüssel. Es wurde nichts installiert. Bitte prüfen, ob die Adresse des "
         "Update-Servers stimmt, oder den Anbieter informieren.\n"},
        {"newer setup needed", catalog(5, ", \"min_setup\": \"2.0.0\""), false, {},
         "Fehler: Dieses Setup (2.0.0-alpha.027) ist für den aktuellen Katalog zu alt (nötig "
         "ist 2.0.0 oder neuer). Bitte das Setup neu herunterladen.\n"},
        {"no URL", catalog(5), false, {"--url="},
         "Fehler: Dieses Setup kennt keinen Update-Server (--url <https://...>).\n"},
        {"dead port", catalog(5), false, {"--url", "https://localhost:1/upd"},
         "Fehler: Der Komponentenkatalog https://localhost:1/upd/alpha/components.json lässt "
         "sich nicht laden: keine Verbindung zu localhost. Bitte Netzwerk, Proxy und Firewall "
         "prüfen.\n"},
    };
    for (auto &c : cases) {
        publish(c.doc, c.other_key ? other_priv : nullptr);
        std::vector<std::string> args = trust();
        if (c.args.empty())
            args = args + std::vector<std::string>{"--url", url()};
        test_proc r = run(args + c.args);
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
    // The same catalog with its minimum version equal to this setup's passes.
    publish(catalog(5, ", \"min_setup\": \"2.0.0-alpha.027\""));
    test_proc r = run(std::vector<std::string>{"--url", url()} + trust());
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(List, ReplayedSequenceIsRefused)
{
    publish(catalog(7));
    test_proc r = run(std::vector<std::string>{"--url", url()} + trust());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    publish(catalog(6));
    r = run(std::vector<std::string>{"--url", url()} + trust());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Fehler: Der Katalog des Update-Servers ist älter als ein bereits gesehener "
                     "(alte Daten werden erneut ausgeliefert). Es wurde nichts installiert. Bitte "
                     "später erneut versuchen oder den Anbieter informieren.\n");
}

TEST_F(List, OldUpdaterConfFallsBackToTheSetupsServer)
{
    if (!builtin_on_loopback())
        GTEST_SKIP() << "the built-in server " << setup_builtin_url() << " is not on loopback";
    ASSERT_TRUE(builtin_ready());
    const std::string doc = catalog(5);
    builtin_put("alpha/components.json", doc);
    builtin_put("alpha/components.json.sig", sign(doc));
    // An old installation's settings name a server that is gone.
    updater_conf("url = https://localhost:1/old\n");

    // The retry keeps the key and the pinned certificate given as options;
    // the list mode shows no report, only the table.
    test_proc r = run(trust());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kTable);
    EXPECT_EQ(r.err, "");

    // Both fail: one line with both causes.
    builtin_put("alpha/components.json", "");
    r = run(trust());
    const std::string builtin = setup_builtin_url();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Fehler: Der Komponentenkatalog https://localhost:1/old/alpha/components.json "
                     "lässt sich nicht laden: keine Verbindung zu localhost. Bitte Netzwerk, Proxy "
                     "und Firewall prüfen (der eigene Update-Server des Setups " + builtin +
                     " ist ebenfalls fehlgeschlagen: Der Komponentenkatalog " + builtin +
                     "/alpha/components.json lässt sich nicht laden: die Datei gibt es auf dem "
                     "Update-Server nicht (HTTP 404). Bitte die Adresse des Update-Servers und den "
                     "Kanal prüfen).\n");
}

TEST_F(List, FaultyUpdaterConfLeavesTheDefaults)
{
    if (!builtin_on_loopback())
        GTEST_SKIP() << "the built-in server " << setup_builtin_url() << " is not on loopback";
    ASSERT_TRUE(builtin_ready());
    // The file names a working server, but its second line is faulty: none of
    // it counts, and the setup asks its own server, which has no catalog.
    publish(catalog(5));
    builtin_put("alpha/components.json", "");
    std::string conf = updater_conf("url = " + url() + "\nbogus = 1\n");
    test_proc r = run(trust());
    const std::string builtin = setup_builtin_url();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Warnung: " + conf + ", Zeile 2: Unbekannte Einstellung „bogus“ (die Datei "
                     "wird nicht benutzt)\nFehler: Der Komponentenkatalog " + builtin +
                     "/alpha/components.json lässt sich nicht laden: die Datei gibt es auf dem "
                     "Update-Server nicht (HTTP 404). Bitte die Adresse des Update-Servers und den "
                     "Kanal prüfen.\n");
}
