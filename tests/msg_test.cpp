// English messages into German: the table's rows, matching, templates,
// nesting, capitalisation, finished sentences and every buffer edge.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "msg.h"
#include "text.h"

// Localises a message and finishes it as a sentence, the way the console's
// error line, the report and the wizard show it.
static std::string shown(const std::string &english)
{
    char buf[MSG_TEXT_SIZE];
    msg_snprintf(buf, sizeof buf, "%s", english.c_str());
    msg_localize(buf, sizeof buf);
    msg_finish_sentence(buf, sizeof buf);
    return buf;
}

// The captures of a pattern, in order ('s', 'd' or 'm').
static std::string capture_kinds(const char *pattern)
{
    std::string kinds;
    for (const char *p = pattern; *p; p++)
        if (p[0] == '%' && (p[1] == 's' || p[1] == 'd' || p[1] == 'm'))
            kinds += *++p;
    return kinds;
}

// 1 when text is valid UTF-8 (the console falls back to the ANSI code page for
// a whole text that is not, which would garble every umlaut in it).
static bool valid_utf8(const char *text)
{
    const unsigned char *p = (const unsigned char *)text;
    while (*p) {
        int extra = *p < 0x80 ? 0 : (*p & 0xE0) == 0xC0 ? 1 : (*p & 0xF0) == 0xE0 ? 2
                  : (*p & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0)
            return false;
        p++;
        for (int i = 0; i < extra; i++, p++)
            if ((*p & 0xC0) != 0x80)
                return false;
    }
    return true;
}

TEST(Msg, EveryRowIsWellFormedAndReachable)
{
    for (size_t i = 0; i < msg_table_rows; i++) {
        const msg_row &row = msg_table[i];
        std::string name = "row " + std::to_string(i + 1) + " \"" + row.pattern + "\"";
        ASSERT_TRUE(row.pattern && row.template_text) << name;
        EXPECT_NE(row.pattern[0], '\0') << name;
        EXPECT_NE(row.template_text[0], '\0') << name << ": an empty template loses the message";
        EXPECT_TRUE(valid_utf8(row.template_text)) << name;

        // Every "%" of a pattern is a marker, and backtracking stays small
        // with at most three of them.
        std::string kinds = capture_kinds(row.pattern);
        size_t percent = 0;
        for (const char *p = row.pattern; *p; p++)
            percent += *p == '%';
        EXPECT_EQ(percent, kinds.size()) << name << ": a \"%\" that is no marker";
        EXPECT_LE(kinds.size(), 3u) << name;

        // Each capture placed exactly once, and no "$" that names none.
        int used[10] = {0};
        for (const char *t = row.template_text; *t; t++) {
            if (*t != '$')
                continue;
            ASSERT_TRUE(t[1] >= '1' && t[1] <= '0' + (int)kinds.size())
                << name << ": stray \"$\" in the template";
            used[t[1] - '0']++;
        }
        for (size_t n = 1; n <= kinds.size(); n++)
            EXPECT_EQ(used[n], 1) << name << ": capture $" << n;

        // The sentence's end is added where the message is shown.
        char last = row.template_text[strlen(row.template_text) - 1];
        EXPECT_TRUE(last != '.' && last != '!' && last != '?' && last != ' ') << name;

        // A message written from the pattern finds this row and no earlier
        // one that would swallow it.
        std::string sample;
        for (const char *p = row.pattern; *p; p++) {
            if (p[0] == '%' && (p[1] == 's' || p[1] == 'm' || p[1] == 'd')) {
                sample += p[1] == 'd' ? "7" : "x";
                p++;
            } else {
                sample += *p;
            }
        }
        msg_captures caps;
        EXPECT_EQ(msg_find_row(sample.c_str(), &caps), (int)i) << name;
        EXPECT_EQ(caps.count, (int32_t)kinds.size()) << name;
    }
}

TEST(Msg, EngineMessagesBecomeGermanSentences)
{
    struct {
        const char *english, *german;
    } cases[] = {
        {"manifest is for another channel (beta)",
         "Der Katalog des Update-Servers gehört zu einem anderen Kanal (beta)."},
        // Programs live, record failed: the German sentence says both, with
        // the nested cause translated.
        {"the programs of version 2.1.0 are live, but the state cannot record them: cannot "
         "write C:\\s\\state.tmp",
         "Die Programme der Version 2.1.0 sind aktiv, aber der Installationsstatus lässt sich "
         "nicht speichern (C:\\s\\state.tmp lässt sich nicht schreiben). Bitte den "
         "Speicherplatz und die Rechte im Statusverzeichnis prüfen; der nächste Lauf holt das "
         "Speichern nach."},
        // A full disk has its own row before the general one that would
        // quote the English reason.
        {"cannot write C:/st/downloads/0a1b-a.pkg.part: the disk is full",
         "C:/st/downloads/0a1b-a.pkg.part lässt sich nicht schreiben: Der Datenträger ist voll. "
         "Bitte Platz schaffen und erneut versuchen."},
        {"the package for agent cannot be unpacked: cannot write bin/a.exe: the disk is full",
         "Das Paket für agent lässt sich nicht entpacken: bin/a.exe lässt sich nicht schreiben: "
         "Der Datenträger ist voll. Bitte Platz schaffen und erneut versuchen."},
        // The signature row stands before the general download row, and the
        // 404 row before the general status row; only the first letter of the
        // whole text is raised.
        {"cannot download the signature https://u.example/upd/alpha/components.json.sig: "
         "HTTP status 404",
         "Die Signatur https://u.example/upd/alpha/components.json.sig lässt sich nicht laden: "
         "die Datei gibt es auf dem Update-Server nicht (HTTP 404). Bitte die Adresse des "
         "Update-Servers und den Kanal prüfen."},
        {"cannot download the component catalog https://u.example/upd/alpha/components.json: "
         "HTTP status 500",
         "Der Komponentenkatalog https://u.example/upd/alpha/components.json lässt sich nicht "
         "laden: der Update-Server antwortet mit dem HTTP-Status 500."},
        {"cannot download the component catalog https://localhost:1/u/alpha/components.json: "
         "request to localhost failed (WinHTTP error 12029) cannot connect",
         "Der Komponentenkatalog https://localhost:1/u/alpha/components.json lässt sich nicht "
         "laden: keine Verbindung zu localhost. Bitte Netzwerk, Proxy und Firewall prüfen."},
        // An unknown WinHTTP error leaves the message ending in its blank.
        {"request to localhost failed (WinHTTP error 12152) ",
         "Die Anfrage an localhost ist fehlgeschlagen (WinHTTP-Fehler 12152)."},
        {"cannot connect to h (error 12029)",
         "Keine Verbindung zu h (Windows-Fehler 12029). Bitte Netzwerk, Proxy und Firewall "
         "prüfen."},
        {"the certificate of localhost is not the pinned one (the server presented SHA-1 "
         "thumbprint 0a1b, the pinned certificate has 2c3d and others; a newer test site or a "
         "program that inspects TLS traffic can cause this)",
         "Das Zertifikat von localhost ist nicht das hinterlegte (Fingerabdruck SHA-1 0a1b, "
         "hinterlegt ist 2c3d and others). Ursache kann eine neuere Test-Site sein oder ein "
         "Programm, das verschlüsselte Verbindungen untersucht."},
        {"the component catalog signature is NOT valid for any trusted key: not installing "
         "anything",
         "Die Signatur des Komponentenkatalogs passt zu keinem vertrauenswürdigen Schlüssel. Es "
         "wurde nichts installiert. Bitte prüfen, ob die Adresse des Update-Servers stimmt, oder "
         "den Anbieter informieren."},
        {"the signed component catalog is malformed: manifest is older than one already seen "
         "(replay)",
         "Der signierte Komponentenkatalog ist fehlerhaft (der Katalog des Update-Servers ist "
         "älter als ein bereits gesehener (alte Daten werden erneut ausgeliefert). Es wurde "
         "nichts installiert. Bitte später erneut versuchen oder den Anbieter informieren). Bitte "
         "den Anbieter informieren."},
        // "%s" captures are placed as they stand, without translation.
        {"the signed component catalog is malformed: manifest is not valid JSON: unexpected "
         "character at byte 7",
         "Der signierte Komponentenkatalog ist fehlerhaft (kein gültiges JSON: unexpected "
         "character at byte 7). Bitte den Anbieter informieren."},
        {"cannot download https://u.example/p/agent.tzst: download truncated",
         "Das Paket https://u.example/p/agent.tzst lässt sich nicht laden: der Download ist "
         "unvollständig."},
        {"the package for agent is invalid: the download has 100 bytes, the manifest says 200",
         "Das Paket für agent ist beschädigt (der Download hat 100 Bytes, laut signiertem "
         "Katalog sollten es 200 sein. Bitte erneut versuchen). Bitte erneut versuchen."},
        {"not installing 2.1.0: orv_agent.exe was blocked or removed by the virus scanner (the "
         "virus scanner removed it as a threat); add an exclusion for the folder C:\\Program "
         "Files\\orvantis to it",
         "Version 2.1.0 wird nicht installiert: der Virenschutz hat orv_agent.exe blockiert oder "
         "entfernt (der Virenschutz hat die Datei als Bedrohung entfernt). Das ist bei neuen, "
         "noch nicht signierten Programmen ein bekannter Fehlalarm. Bitte im Virenschutz eine "
         "Ausnahme für den Ordner C:\\Program Files\\orvantis eintragen (Microsoft Defender: "
         "Windows-Sicherheit > Viren- & Bedrohungsschutz > Einstellungen verwalten > Ausschlüsse) "
         "und die Installation erneut starten."},
        {"the installation of 2.1.0 was undone: orv_agent.exe failed its self-test: no output, "
         "exit status 3",
         "Die Installation von 2.1.0 wurde rückgängig gemacht: orv_agent.exe besteht seinen "
         "Selbsttest nicht (keine Ausgabe, Rückgabewert 3). Bitte den Anbieter informieren."},
        {"orv_agent.exe does not start: a DLL it needs is missing, exit status 0xC0000135",
         "orv_agent.exe startet auf diesem System nicht (eine benötigte DLL fehlt, Statuscode "
         "0xC0000135). Bitte den Anbieter informieren."},
        {"orv_agent.exe reports a different version than the package (expected '2.1.0')",
         "orv_agent.exe meldet eine andere Version als das Paket (erwartet: „2.1.0“). Bitte den "
         "Anbieter informieren."},
        {"cannot move orv_agent.exe out of the way (error 32)",
         "orv_agent.exe lässt sich nicht beiseiteschieben (Windows-Fehler 32; ist das Programm "
         "noch geöffnet?)."},
        {"cannot remove C:\\orv\\bin (error 5)",
         "C:\\orv\\bin lässt sich nicht entfernen (Windows-Fehler 5; ist ein Programm daraus "
         "noch geöffnet?)."},
        {"2.0.0 is older than the installed 2.1.0 (use --allow-downgrade)",
         "2.0.0 ist älter als die installierte Version 2.1.0."},
        {"version 2.1.0 failed on this machine before; not trying it again (use --force, or wait "
         "for a newer release)",
         "Version 2.1.0 ist auf diesem Rechner schon einmal fehlgeschlagen und wird nicht erneut "
         "versucht. „Reparieren“ (--repair) versucht sie trotzdem, sonst auf eine neuere Version "
         "warten."},
        {"a newer release exists but is not yet offered to this machine (staged rollout)",
         "Die Version wird diesem Rechner noch nicht angeboten (schrittweise Verteilung). Bitte "
         "später erneut versuchen."},
        {"schtasks could not create the task: ERROR: Access is denied.",
         "Die geplante Aufgabe lässt sich nicht anlegen (ERROR: Access is denied.)."},
        {"cannot stop the service orvantis-sched (error 1051)",
         "Der Dienst orvantis-sched lässt sich nicht anhalten (Windows-Fehler 1051)."},
        {"the archive contains an entry of type '2' (only files and directories are allowed)",
         "Das Archiv enthält einen unzulässigen Eintrag (Typ „2“)."},
        // Rows that begin with a capture come only in the second pass: here
        // one is matched there, with a name whose "." keeps its first letter.
        {"updater.conf:12: unknown setting 'foo'",
         "updater.conf, Zeile 12: Unbekannte Einstellung „foo“."},
        {"C:\\ProgramData\\orvantis\\updater.conf:3: invalid value for 'timeout'",
         "C:\\ProgramData\\orvantis\\updater.conf, Zeile 3: Ungültiger Wert für „timeout“."},
        // ... and here a row of the first pass wins over an earlier row that
        // begins with a capture and would take the whole message.
        {"the package is invalid: 3.0.0 is older than the installed 2.0 (use --allow-downgrade)",
         "Das Paket ist beschädigt (3.0.0 ist älter als die installierte Version 2.0). Bitte "
         "erneut versuchen."},
        // The rows of entries whose pattern ends in a blank or holds a line feed.
        {"the new version needs libraries this system lacks (libc). ",
         "Der neuen Version fehlen Bibliotheken auf diesem System (libc)."},
        {"the new version needs libraries this system lacks (libc). Install these packages: a "
         "b\nOr allow the updater to install them (allow_package_install = yes) or use the "
         "libraries shipped with the update (dependencies = bundled or auto, if the package has "
         "them).",
         "Der neuen Version fehlen Bibliotheken auf diesem System (libc). Bitte diese Pakete "
         "installieren: a b (oder in updater.conf allow_package_install = yes setzen)."},
        // Messages that match no row stay English, capitalised and finished.
        {"cannot connect to h (error 12029x)", "Cannot connect to h (error 12029x)."},
        {"the client certificate has no usable private key",
         "The client certificate has no usable private key."},
        {"orv_sched is running a job", "orv_sched is running a job."},
        // One character more than the row's wording is enough.
        {"manifest is for another channel (beta) ", "Manifest is for another channel (beta)."},
    };
    for (auto &c : cases)
        EXPECT_EQ(shown(c.english), c.german) << c.english;
}

TEST(Msg, MatchTakesShortestCaptures)
{
    struct {
        const char *pattern, *text;
        int matches;
        const char *captures; // kind:text, separated by "|"
    } cases[] = {
        {"cannot download %s: %m", "cannot download x: y: z", 1, "s:x|m:y: z"},
        {"%s:%d: line too long", "a:b:12: line too long", 1, "s:a:b|d:12"},
        {"%s (%s)", "a (b) (c)", 1, "s:a|s:b) (c"},
        {"HTTP status %d", "HTTP status 404", 1, "d:404"},
        {"HTTP status %d", "HTTP status 40x", 0, ""},
        {"HTTP status %d", "HTTP status -1", 0, ""},
        // A capture is never empty.
        {"a%sb", "ab", 0, ""},
        {"x %s", "x ", 0, ""},
        {"%s", "", 0, ""},
        // The whole message must match, case-sensitively.
        {"download aborted", "download aborted.", 0, ""},
        {"download aborted", "Download aborted", 0, ""},
        {"download aborted", "download abort", 0, ""},
        // A "%" that starts no marker stands for itself, as does the
        // character after it.
        {"50%x done", "50%x done", 1, ""},
        {"50%x done", "50x done", 0, ""},
        {"%%s", "%%s", 1, ""},
        {"%%s", "%a", 0, ""},
        {"100%", "100%", 1, ""},
        // Nine captures are the most one match records.
        {"%d.%d.%d.%d.%d.%d.%d.%d.%d", "1.22.3.44.5.66.7.88.9", 1,
         "d:1|d:22|d:3|d:44|d:5|d:66|d:7|d:88|d:9"},
        {"%s-%s-%s-%s-%s-%s-%s-%s-%m", "a-b-c-d-e-f-g-h-i-j", 1,
         "s:a|s:b|s:c|s:d|s:e|s:f|s:g|s:h|m:i-j"},
        {"%d.%d.%d.%d.%d.%d.%d.%d.%d.%d", "1.2.3.4.5.6.7.8.9.10", 0, ""},
    };
    for (auto &c : cases) {
        msg_captures caps;
        memset(&caps, 0, sizeof caps);
        int r = msg_match(c.pattern, c.text, &caps);
        EXPECT_EQ(r, c.matches) << c.pattern << " / " << c.text;
        std::string got;
        for (int32_t i = 0; i < caps.count; i++) {
            if (i)
                got += "|";
            EXPECT_GE(caps.length[i], 1u) << c.pattern;
            got += std::string(1, caps.kind[i]) + ":" + std::string(caps.start[i], caps.length[i]);
        }
        EXPECT_EQ(got, c.captures) << c.pattern << " / " << c.text;
    }
}

TEST(Msg, MatchAppendsToCapturesAndRestoresCountOnFailure)
{
    msg_captures caps;
    memset(&caps, 0, sizeof caps);
    ASSERT_EQ(msg_match("a %s", "a b", &caps), 1);
    ASSERT_EQ(caps.count, 1);
    // A failure deep in the backtracking leaves the count where it was.
    EXPECT_EQ(msg_match("%s-%s-%d!", "x-y-z!", &caps), 0);
    EXPECT_EQ(caps.count, 1);
    EXPECT_EQ(std::string(caps.start[0], caps.length[0]), "b");
    // Appended behind the first capture; with eight more the record is full.
    EXPECT_EQ(msg_match("%s %s", "c d", &caps), 1);
    EXPECT_EQ(caps.count, 3);
    EXPECT_EQ(std::string(caps.start[2], caps.length[2]), "d");
    caps.count = 8;
    EXPECT_EQ(msg_match("%s %s", "c d", &caps), 0);
    EXPECT_EQ(caps.count, 8);
    EXPECT_EQ(msg_match("%s", "c d", &caps), 1);
    EXPECT_EQ(caps.count, 9);
}

// Captures of kind 's' over the given texts, in order.
static msg_captures make_captures(const std::vector<const char *> &texts, char kind = 's')
{
    msg_captures caps;
    memset(&caps, 0, sizeof caps);
    for (const char *t : texts) {
        caps.start[caps.count] = t;
        caps.length[caps.count] = strlen(t);
        caps.kind[caps.count] = kind;
        caps.count++;
    }
    return caps;
}

TEST(Msg, TemplatePlacesCapturesAndCopiesOtherDollars)
{
    msg_captures nine = make_captures({"a", "b", "c", "d", "e", "f", "g", "h", "i"});
    msg_captures two = make_captures({"X", "Y"});
    struct {
        const char *templ;
        const msg_captures *caps;
        const char *expected;
    } cases[] = {
        {"$9$8$7$6$5$4$3$2$1", &nine, "ihgfedcba"},
        {"[$1|$5|$9]", &nine, "[a|e|i]"},
        {"$2 vor $1", &two, "Y vor X"},
        // Not the digit of an existing capture: copied as it stands.
        {"$3 und $0", &two, "$3 und $0"},
        {"kostet 5$", &two, "kostet 5$"},
        {"$$1", &two, "$X"},
        {"$a$", &two, "$a$"},
        {"", &two, ""},
    };
    for (auto &c : cases) {
        char out[64];
        size_t n = msg_fill_template(c.templ, c.caps, out, sizeof out, 0);
        EXPECT_STREQ(out, c.expected) << c.templ;
        EXPECT_EQ(n, strlen(c.expected)) << c.templ;
    }
}

// "the package is invalid: " levels times, then "download aborted".
static std::string nested_message(int levels)
{
    std::string m;
    for (int i = 0; i < levels; i++)
        m += "the package is invalid: ";
    return m + "download aborted";
}

TEST(Msg, NestedCausesAreTranslatedFourLevelsDeep)
{
    const std::string wrap_open = "das Paket ist beschädigt (";
    const std::string wrap_close = "). Bitte erneut versuchen";
    for (int levels = 0; levels <= 7; levels++) {
        // The whole message and its causes at depths 1 to 4 are German; a
        // cause below depth 4 is placed in English as it stands.
        int wraps = levels < 5 ? levels : 5;
        std::string expected = levels < 5 ? "der Download wurde abgebrochen"
                                          : nested_message(levels - 5);
        for (int i = 0; i < wraps; i++)
            expected = wrap_open + expected + wrap_close;
        char out[MSG_TEXT_SIZE];
        size_t n = msg_translate(nested_message(levels).c_str(), out, sizeof out, 0);
        EXPECT_EQ(out, expected) << levels << " levels";
        EXPECT_EQ(n, expected.size()) << levels << " levels";
    }
    // Six levels, as the user sees them: only the first letter is raised.
    EXPECT_EQ(shown(nested_message(6)),
              "Das Paket ist beschädigt (das Paket ist beschädigt (das Paket ist beschädigt (das "
              "Paket ist beschädigt (das Paket ist beschädigt (the package is invalid: download "
              "aborted). Bitte erneut versuchen). Bitte erneut versuchen). Bitte erneut "
              "versuchen). Bitte erneut versuchen). Bitte erneut versuchen.");
}

TEST(Msg, FirstLetterRaisedOnlyWhereSafe)
{
    struct {
        const char *english, *expected;
    } cases[] = {
        {"something odd happened", "Something odd happened"},
        {"x", "X"},
        // Only the first word counts, and only a blank ends it.
        {"abc def_x.y", "Abc def_x.y"},
        {"abc\tdef_x", "abc\tdef_x"},
        // File names, paths, program names and versions keep their spelling.
        {"orv_sched is running a job", "orv_sched is running a job"},
        {"updater.conf is odd", "updater.conf is odd"},
        {"bin/orv is odd", "bin/orv is odd"},
        {"bin\\orv is odd", "bin\\orv is odd"},
        {"v1.2 is odd", "v1.2 is odd"},
        // Only a lower-case ASCII letter is raised.
        {"ärger mit x", "ärger mit x"},
        {"1 thing", "1 thing"},
        {" leading blank", " leading blank"},
        {"Zebra", "Zebra"},
    };
    for (auto &c : cases) {
        char buf[128];
        msg_snprintf(buf, sizeof buf, "%s", c.english);
        msg_localize(buf, sizeof buf);
        EXPECT_STREQ(buf, c.expected) << c.english;
    }
}

TEST(Msg, FinishSentence)
{
    struct {
        const char *text;
        size_t size;
        const char *expected;
        size_t result;
    } cases[] = {
        {"x failed\r\n", 64, "x failed.", 9},
        {"x failed  \n \r", 64, "x failed.", 9},
        {"Fertig!", 64, "Fertig!", 7},
        {"Fertig.", 64, "Fertig.", 7},
        {"Fertig?\r\n", 64, "Fertig?", 7},
        {" \r\n \n", 64, "", 0},
        {"", 64, "", 0},
        // A tab is not cut: the period follows it.
        {"x\t", 64, "x\t.", 3},
        // Room for the period and the NUL, or no period at all; the result
        // still counts it.
        {"abc", 5, "abc.", 4},
        {"abcd", 5, "abcd", 5},
        {"abcd\n", 6, "abcd.", 5},
    };
    for (auto &c : cases) {
        std::vector<char> buf(c.size + 4, 'Z');
        memcpy(buf.data(), c.text, strlen(c.text) + 1);
        EXPECT_EQ(msg_finish_sentence(buf.data(), c.size), c.result) << c.text;
        EXPECT_STREQ(buf.data(), c.expected) << c.text;
        for (size_t i = c.size; i < buf.size(); i++)
            EXPECT_EQ(buf[i], 'Z') << c.text << ": byte " << i << " written";
    }
}

TEST(Msg, NothingToDoLeavesBuffersAlone)
{
    char text[8] = "abc";
    EXPECT_EQ(msg_localize(nullptr, 8), 0u);
    EXPECT_EQ(msg_localize(text, 0), 0u);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(msg_finish_sentence(nullptr, 8), 0u);
    EXPECT_EQ(msg_finish_sentence(text, 0), 0u);
    EXPECT_STREQ(text, "abc");
    char empty[4] = {'\0', 'Q', 'Q', 'Q'};
    EXPECT_EQ(msg_localize(empty, sizeof empty), 0u);
    EXPECT_EQ(memcmp(empty, "\0QQQ", 4), 0);
}

TEST(Msg, UnterminatedBufferIsReadNoFurtherThanItsSize)
{
    // Heap buffers of exactly the given size, so the sanitizer sees any read
    // or write beyond them.
    std::vector<char> a(4, 'a');
    EXPECT_EQ(msg_finish_sentence(a.data(), a.size()), 4u);
    EXPECT_EQ(std::string(a.data()), "aaa");
    std::vector<char> b(6, 'b');
    msg_localize(b.data(), b.size());
    EXPECT_EQ(std::string(b.data()), "Bbbbb");
}

TEST(Msg, CutAtEveryBufferSizeWithFullLengthReturned)
{
    const char *english = "cannot download the signature https://u.example/c.sig: HTTP status 404";
    char full[MSG_TEXT_SIZE];
    size_t whole = msg_translate(english, full, sizeof full, 0);
    ASSERT_EQ(whole, strlen(full));
    for (size_t size = 1; size <= whole + 2; size++) {
        std::vector<char> out(size + 8, 'Z');
        EXPECT_EQ(msg_translate(english, out.data(), size, 0), whole) << size;
        // A cut inside the "ä" of "lässt" leaves that character out.
        size_t kept = text_utf8_whole(full, size - 1 < whole ? size - 1 : whole);
        EXPECT_EQ(std::string(out.data()), std::string(full, kept)) << size;
        EXPECT_TRUE(text_utf8_valid(out.data(), strlen(out.data()))) << size;
        for (size_t i = size; i < out.size(); i++)
            ASSERT_EQ(out[i], 'Z') << "size " << size << ": byte " << i << " written";

        std::vector<char> text(size + 8, 'Z');
        memcpy(text.data(), english, size - 1 < strlen(english) ? size - 1 : strlen(english));
        text[size - 1 < strlen(english) ? size - 1 : strlen(english)] = '\0';
        // The message itself is cut to the buffer too, so only a buffer
        // that holds it whole gives the whole translation.
        if (size > strlen(english)) {
            EXPECT_EQ(msg_localize(text.data(), size), whole) << size;
            EXPECT_EQ(std::string(text.data()), "D" + std::string(full + 1, kept - 1)) << size;
            EXPECT_TRUE(text_utf8_valid(text.data(), strlen(text.data()))) << size;
        } else {
            msg_localize(text.data(), size);
            EXPECT_LT(strlen(text.data()), size);
        }
        for (size_t i = size; i < text.size(); i++)
            ASSERT_EQ(text[i], 'Z') << "size " << size << ": byte " << i << " written";
    }
}

TEST(Msg, LongMessagesAndCapturesAreCutAtTheModuleLimits)
{
    const std::string german_tail = " lässt sich nicht entfernen";
    struct {
        size_t name_length;  // bytes of the file name in "cannot remove %s"
        size_t placed;       // bytes of it that reach the German text
    } cases[] = {
        {1023, 1023},
        {1024, 1023},
        // The message counts from its first 2047 bytes only.
        {3000, 1023},
    };
    for (auto &c : cases) {
        std::string english = "cannot remove " + std::string(c.name_length, 'N');
        std::vector<char> buf(4096);
        memcpy(buf.data(), english.c_str(), english.size() + 1);
        size_t n = msg_localize(buf.data(), buf.size());
        std::string expected = std::string(c.placed, 'N') + german_tail;
        EXPECT_EQ(std::string(buf.data()), expected) << c.name_length;
        EXPECT_EQ(n, expected.size()) << c.name_length;
    }

    // A capture cut at 1023 bytes keeps whole characters, and so does a
    // message that filled its buffer when its writer cut it.
    std::string umlauts;
    while (umlauts.size() < 1200)
        umlauts += "\xC3\xA4";
    std::string cut_english = "cannot remove " + umlauts;
    std::vector<char> cut_buf(4096);
    memcpy(cut_buf.data(), cut_english.c_str(), cut_english.size() + 1);
    msg_localize(cut_buf.data(), cut_buf.size());
    EXPECT_EQ(std::string(cut_buf.data()), umlauts.substr(0, 1022) + german_tail);
    char filled[40];
    snprintf(filled, sizeof filled, "cannot remove C:\\x%s", umlauts.c_str());
    ASSERT_EQ(strlen(filled), sizeof filled - 1);
    msg_localize(filled, sizeof filled);
    EXPECT_TRUE(text_utf8_valid(filled, strlen(filled))) << filled;

    // A translated cause longer than 1023 bytes is placed cut at 1023.
    std::string cause = "cannot remove " + std::string(1000, 'c');
    std::string english = "the package is invalid: " + cause;
    char out[MSG_TEXT_SIZE];
    size_t n = msg_translate(english.c_str(), out, sizeof out, 0);
    std::string placed = (std::string(1000, 'c') + german_tail).substr(0, 1023);
    std::string expected = "das Paket ist beschädigt (" + placed + "). Bitte erneut versuchen";
    EXPECT_EQ(std::string(out), expected);
    EXPECT_EQ(n, expected.size());

    // A whole translation longer than the work buffer: cut at 2047 bytes,
    // the result counting the whole text.
    std::string big = "the package for " + std::string(1000, 'p') + " is invalid: cannot remove " +
                      std::string(1000, 'r');
    std::vector<char> text(4096);
    memcpy(text.data(), big.c_str(), big.size() + 1);
    size_t whole = msg_localize(text.data(), text.size());
    EXPECT_EQ(strlen(text.data()), (size_t)MSG_TEXT_SIZE - 1);
    EXPECT_GT(whole, (size_t)MSG_TEXT_SIZE - 1);
}

TEST(Msg, SnprintfContract)
{
    char buf[5];
    EXPECT_EQ(msg_snprintf(buf, sizeof buf, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(msg_snprintf(buf, 0, "%d", 12345), 5);
    EXPECT_STREQ(buf, "abcd");
}
