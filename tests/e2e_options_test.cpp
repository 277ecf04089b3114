// orv_setup.exe with invalid options, answers files and a faulty updater.conf:
// the exit code 2, the one German error line and the warning line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_win.h"
#include "test_util.h"

// Every run gets a test root, an installation and a state directory of its own.
static std::vector<std::string> places(const std::string &root)
{
    return {"--root", root, "--install-dir", test_temp_dir("inst"), "--state-dir",
            test_temp_dir("state")};
}

static std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(E2eOptions, InvalidInputEndsWithTwo)
{
    std::string dir = test_temp_dir("e2e_opts");
    std::string broken = dir + "\\broken.txt";
    ASSERT_TRUE(test_write_file(broken, "silent\nurl = \"https://x\n"));
    std::string unknown = dir + "\\unknown.txt";
    ASSERT_TRUE(test_write_file(unknown, "# answers\nsilent\nfrobnicate = yes\n"));
    std::string missing = dir + "\\missing.txt";
    // A damaged answers file: binary bytes with a terminal's escape sequences.
    std::string binary = dir + "\\binary.txt";
    ASSERT_TRUE(test_write_file(binary, "\x1b[2J\x1b]0;x\x07\x01\x7f\n"));
    // A UTF-8 answers file with a character Windows-1252 has no form for.
    std::string cyrillic = dir + "\\cyrillic.txt";
    ASSERT_TRUE(test_write_file(cyrillic, "silent\r\nserver-cn = Сервер\r\n"));
    // One that Windows would write as a look-alike ("A") without being told not to.
    std::string bestfit = dir + "\\bestfit.txt";
    ASSERT_TRUE(test_write_file(bestfit, "# A\r\n\r\nserver-cn = Ābc\r\n"));
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--bogus"}, "Fehler: Unbekannte Option --bogus (siehe --help).\n"},
        {{"--silent", "--to"}, "Fehler: Die Option --to braucht einen Wert.\n"},
        {{"--channel", std::string(64, 'c')}, "Fehler: Der Wert von --channel ist zu lang.\n"},
        {{"--url=https://" + std::string(1020, 'u')}, "Fehler: Der Wert von --url ist zu lang.\n"},
        {{"--server-port", "0"}, "Fehler: --server-port muss zwischen 1 und 65535 liegen.\n"},
        {{"--public-key", "abc"},
         "Fehler: --public-key muss ein öffentlicher Ed25519-Schlüssel in Base64 sein (32 "
         "Bytes).\n"},
        {{"--answers", missing},
         "Fehler: Die Antwortdatei " + missing + " lässt sich nicht lesen.\n"},
        {{"--answers", unknown}, "Fehler: Unbekannte Option --frobnicate (siehe --help).\n"},
        // What the file or the command line holds reaches the terminal escaped.
        {{"--answers", binary},
         "Fehler: Unbekannte Option --\\x1b[2J\\x1b]0;x\\x07\\x01\\x7f (siehe --help).\n"},
        {{"--\x1b[31mrot"}, "Fehler: Unbekannte Option --\\x1b[31mrot (siehe --help).\n"},
        {{"--answers", cyrillic},
         "Fehler: " + cyrillic +
             ", Zeile 2: Ein Zeichen lässt sich im Zeichensatz dieses Systems nicht darstellen.\n"},
        {{"--answers", bestfit},
         "Fehler: " + bestfit +
             ", Zeile 3: Ein Zeichen lässt sich im Zeichensatz dieses Systems nicht darstellen.\n"},
        // The answers file fails first; the command line is not parsed then.
        {{"--answers", broken, "--bogus"},
         "Fehler: " + broken +
             ": Ein Anführungszeichen ist nicht geschlossen oder es folgt Text danach.\n"},
    };
    for (auto &c : cases) {
        test_proc r = test_run_setup(with(places(test_temp_dir("root")), c.args));
        EXPECT_EQ(r.exit_code, 2) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
    }
}

TEST(E2eOptions, FaultyUpdaterConfIsNotUsed)
{
    std::string root = test_temp_dir("root");
    std::filesystem::path conf_dir = std::filesystem::path(root) / "ProgramData" / "orvantis";
    std::filesystem::create_directories(conf_dir);
    std::string conf = root + "\\ProgramData\\orvantis\\updater.conf";
    ASSERT_TRUE(test_write_file(conf, "url = https://old.invalid/u\r\nchannel = beta\r\n"
                                      "timeout = 0\r\n"));
    const std::string warning = "Warnung: " + conf +
                                ", Zeile 3: Ungültiger Wert für „timeout“ (die Datei wird nicht "
                                "benutzt)\n";

    // The run goes on after the warning ("--url=" keeps it from connecting to
    // the built-in server, which other tests use at the same time).
    test_proc r = test_run_setup(with(places(root), {"--silent", "--url="}));
    EXPECT_EQ(r.err.substr(0, warning.size()), warning);
    EXPECT_EQ(r.err.find("Warnung", 1), std::string::npos) << r.err;
    EXPECT_NE(r.exit_code, 2);

    // The warning comes first, then the error of the real pass. (An invalid
    // option ends the parse before the root moves the settings file, so the
    // file is named here.)
    r = test_run_setup(with(places(root), {"--config", conf, "--bogus"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, warning + "Fehler: Unbekannte Option --bogus (siehe --help).\n");

    // A settings file named with --config is the one read; a missing one is
    // no error and prints nothing.
    r = test_run_setup(with(places(root), {"--config", root + "\\none.conf", "--bogus"}));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "Fehler: Unbekannte Option --bogus (siehe --help).\n");
}
