// resource-lock: product-programs
// The client connection on Windows: the certificate and key files in the
// data directory, the connection test with a fake restore program, and the
// examples. Wine's icacls is a stub, so the fake program stands beside this
// test as icacls.exe and logs its arguments (from icacls.exe.any: its first
// argument is the key file's path, which names no script of its own). Only
// this test binary uses icacls, so no other test sees the fake.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <memory>
#include <string>

#include "fake_runs.h"
#include "run_win.h"
#include "setup_client.h"
#include "setup_link.h"
#include "setup_options.h"
#include "test_util.h"

namespace {

const char *const pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
const char *const key = "0123456789abcdef0123";

struct Icacls : ::testing::Test {
    std::string tool = test_own_dir() + "\\icacls.exe";
    std::string work, icacls_log;
    void SetUp() override
    {
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), tool.c_str(), FALSE));
        work = test_temp_dir("client");
        icacls_log = work + "\\icacls.log";
        icacls_answers(0);
    }
    void TearDown() override
    {
        DeleteFileA((tool + ".any").c_str());
        DeleteFileA(tool.c_str());
    }
    void icacls_answers(int code)
    {
        ASSERT_TRUE(test_write_file(tool + ".any", "log:" + icacls_log + "\nexit:" + std::to_string(code) + "\n"));
    }
};

struct ClientConnect : Icacls {
    std::unique_ptr<setup_context> ctx{new setup_context()};
    std::string data, bin, restore_log;
    char msg[400] = "";

    void SetUp() override
    {
        Icacls::SetUp();
        setup_options_base_defaults(ctx.get());
        snprintf(ctx->root, sizeof ctx->root, "%s\\root", work.c_str());
        data = std::string(ctx->root) + "\\ProgramData\\orvantis";
        snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir, "%s\\inst", work.c_str());
        bin = work + "\\inst\\bin";
        CreateDirectoryA((work + "\\inst").c_str(), nullptr);
        CreateDirectoryA(bin.c_str(), nullptr);
        restore_log = work + "\\restore.log";
        ASSERT_TRUE(test_write_file(work + "\\server.pem", pem));
        ctx->configure_client = 1;
        ctx->client_test = 0;
        set(ctx->client_server, "backup.lan:9990");
        set(ctx->client_dir, "pc01");
        set(ctx->client_server_cert, (work + "\\server.pem").c_str());
        set(ctx->client_api_key, key);
    }
    template <size_t N> void set(char (&field)[N], const char *value) { snprintf(field, N, "%s", value); }
    void install(const char *program)
    {
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), (bin + "\\" + program + ".exe").c_str(), FALSE));
    }
    // The fake restore program: logs its arguments, prints out, ends with code.
    void restore_answers(const std::string &out, int code)
    {
        install("orv_restore");
        std::string script = "log:" + restore_log + "\n" + (out.empty() ? "" : "out:" + out + "\n") +
                             "exit:" + std::to_string(code) + "\n";
        ASSERT_TRUE(test_write_file(bin + "\\orv_restore.exe.--server", script));
        ASSERT_TRUE(test_write_file(bin + "\\orv_restore.exe.server", script));
    }
    std::string lines_from(const char *start)
    {
        std::string r = ctx->report;
        size_t at = r.find(start);
        return at == std::string::npos ? "" : r.substr(at);
    }
};

}  // namespace

TEST_F(Icacls, KeyFileIsWrittenAndRestricted)
{
    std::string path = work + "\\a.key";
    char err[400] = "";
    ASSERT_EQ(win_write_key_file(path.c_str(), "secret-key\n", err, sizeof err), 0) << err;
    EXPECT_STREQ(err, "");
    EXPECT_EQ(test_read_file(path), "secret-key\n");
    EXPECT_EQ(test_read_file(icacls_log), path + "\n/inheritance:r\n/grant:r\n*S-1-5-18:F\n*S-1-5-32-544:F\n\n");

    // icacls fails: the file stays written, with the sentence beside a result of 0.
    icacls_answers(5);
    ASSERT_EQ(win_write_key_file(path.c_str(), "second\n", err, sizeof err), 0);
    EXPECT_EQ(std::string(err),
              "Die Schlüsseldatei " + path + " ist geschrieben, aber ihre Rechte lassen sich nicht beschränken");
    EXPECT_EQ(test_read_file(path), "second\n");

    std::string nowhere = work + "\\missing\\b.key";
    EXPECT_EQ(win_write_key_file(nowhere.c_str(), "k\n", err, sizeof err), -1);
    EXPECT_EQ(std::string(err), nowhere + " lässt sich nicht schreiben");
}

TEST_F(ClientConnect, StoresCertificateAndKeyWithoutTest)
{
    ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << msg;
    std::string crt = data + "\\target.crt", k = data + "\\pc01.key";
    EXPECT_EQ(test_read_file(crt), pem);
    EXPECT_EQ(test_read_file(k), std::string(key) + "\n");
    EXPECT_EQ(test_read_file(icacls_log).substr(0, k.size() + 1), k + "\n");
    EXPECT_EQ(std::string(ctx->report),
              "Client: Zertifikat " + crt + ", Schlüssel " + k + "\n" +
                  "Beispiel: orv_agent --source <volume> --target backup.lan:9990 --target-dir pc01 --tls-ca " + crt +
                  " --api-key file:" + k + " --name <name> --type full\n");
}

TEST_F(ClientConnect, ConnectionTestOutcomes)
{
    const std::string warn = "WARNUNG: Der Verbindungstest zu backup.lan:9990 ist fehlgeschlagen. Bitte Adresse, "
                             "Zertifikat und API-Key prüfen. Meldung von orv_restore: ";
    struct {
        const char *name;
        bool installed;
        std::string out;
        int code;
        std::string line;
    } cases[] = {
        {"works", true, "3 backups\\n", 0, "Client: Verbindung zu backup.lan:9990 funktioniert\n"},
        {"no backups yet", true, "", 4,
         "Client: Verbindung zu backup.lan:9990 funktioniert (dort gibt es noch keine Sicherungen)\n"},
        {"log lines only", true,
         "2026-12-10T15:29:12Z [orv_restore] ERROR tls: unknown authority\\r\\n"
         "2026-12-10T15:29:13Z [orv_restore] WARN giving up\\n",
         2, warn + "tls: unknown authority; giving up\n"},
        {"no answer", true, "", 1, warn + "keine Antwort\n"},
        {"long answer", true, std::string(500, 'x'), 1, warn + std::string(300, 'x') + "\n"},
        {"not installed", false, "", 0, "Client: Verbindungstest übersprungen (orv_restore ist nicht installiert)\n"},
    };
    std::string crt = data + "\\target.crt", k = data + "\\pc01.key";
    for (const auto &c : cases) {
        DeleteFileA((bin + "\\orv_restore.exe").c_str());
        DeleteFileA(restore_log.c_str());
        if (c.installed)
            restore_answers(c.out, c.code);
        ctx->client_test = 1;
        ctx->report[0] = '\0';
        ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << c.name << ": " << msg;
        if (c.installed) {
            EXPECT_EQ(test_read_file(restore_log), "--server\nbackup.lan:9990\n--server-dir\npc01\n--tls-ca\n" +
                                                       crt + "\n--api-key\nfile:" + k + "\n--list\n\n")
                << c.name << ": the key goes by its file, never as text";
        }
        std::string r = ctx->report;
        size_t first = r.find('\n') + 1;
        EXPECT_EQ(r.substr(first, c.line.size()), c.line) << c.name;
        EXPECT_EQ(r.substr(first + c.line.size(), 10), "Beispiel: ") << c.name;
    }
}

TEST_F(ClientConnect, AnotherServersCertificateGetsItsOwnFile)
{
    ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << msg;
    // The same certificate again: target.crt is written again.
    ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << msg;
    EXPECT_EQ(GetFileAttributesA((data + "\\target-backup.lan.crt").c_str()), INVALID_FILE_ATTRIBUTES);

    std::string other = "-----BEGIN CERTIFICATE-----\nOTHER\n-----END CERTIFICATE-----\n";
    ASSERT_TRUE(test_write_file(work + "\\server.pem", other));
    set(ctx->client_server, "[fe80::1]:9990");
    ctx->report[0] = '\0';
    ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << msg;
    std::string second = data + "\\target-_fe80__1_.crt";
    EXPECT_EQ(test_read_file(second), other);
    EXPECT_EQ(test_read_file(data + "\\target.crt"), pem);
    EXPECT_NE(std::string(ctx->report).find("--tls-ca " + second + " "), std::string::npos) << ctx->report;
}

TEST_F(ClientConnect, ExamplesOfInstalledPrograms)
{
    for (const char *p : {"orv_proxmox", "orv_xenV", "orv_hyperV", "orv_m365"})
        install(p);
    ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << msg;
    std::string crt = data + "\\target.crt", ref = "file:" + data + "\\pc01.key";
    std::string args = "--target backup.lan:9990 --target-dir pc01 --tls-ca " + crt + " --api-key " + ref;
    EXPECT_EQ(lines_from("Beispiel (ProxmoxVE-Host)"),
              "Beispiel (ProxmoxVE-Host): orv_proxmox --vmid <id> --name <job> -- " + args + " --type full\n"
              "Dauerhafte Job-Einstellungen (auch Cron-Einträge je VM) gehören nach /etc/orv/orv_proxmox.cfg, siehe "
              "README, Abschnitt Proxmox\n"
              "Beispiel (Xen-vanilla-Host): orv_xenV --name <domain> -- " + args + " --type full\n"
              "Dauerhafte Job-Einstellungen (auch Cron-Einträge je Domain) gehören nach /etc/orv/orv_xenv.cfg, siehe "
              "README, Abschnitt Xen-VM\n"
              "Beispiel (Hyper-V-Host): orv_hyperV --vm <VM-Name> -- " + args + "\n"
              "Dauerhafte Einstellungen je VM gehören nach " + data + "\\orv_hyperv.cfg, geplante Sicherungen in den "
              "Job-Planer (command=hyperv), siehe Handbuch, Kapitel „Hyper-V-VMs sichern“\n"
              "Microsoft 365: einen Job in /etc/orv/orv_m365.cfg anlegen (siehe orv_m365.cfg.example) mit "
              "target=backup.lan:9990 target-dir=pc01 tls-ca=" + crt + " api-key=" + ref +
              ", dann: orv_m365 --name <job> --dry-run\n");
}

TEST_F(ClientConnect, RefusedSettings)
{
    std::string der = work + "\\server.der", big = work + "\\big.pem", keyfile = work + "\\api.key";
    ASSERT_TRUE(test_write_file(der, std::string("\x30\x82\x01\x0a", 4)));
    ASSERT_TRUE(test_write_file(big, std::string(pem) + std::string(8200, 'A')));
    const std::string incomplete = "Für die Verbindung zum Backup-Server werden Server (Host:Port), Verzeichnis, "
                                   "Server-Zertifikat und API-Key gebraucht";
    const std::string form = "Der Server muss die Form Host:Port haben";
    const std::string dirname = "Der Verzeichnisname darf nur Buchstaben, Ziffern, „.“, „_“ und „-“ enthalten";
    struct {
        const char *name;
        std::string server, dir, cert, key, key_file_text;  // key_file_text: the key comes from a file
        std::string expected;
    } cases[] = {
        {"no server", "", "pc01", "", key, "", incomplete},
        {"no key", "backup.lan:9990", "pc01", "", "", "", incomplete},
        {"no port", "backup.lan", "pc01", "", key, "", form},
        {"letters as port", "backup.lan:http", "pc01", "", key, "", form},
        {"colon first", ":9990", "pc01", "", key, "", form},
        {"blank in host", "backup lan:9990", "pc01", "", key, "", form},
        {"blank in directory", "backup.lan:9990", "a b", "", key, "", dirname},
        {"slash in directory", "backup.lan:9990", "a/b", "", key, "", dirname},
        {"missing certificate", "backup.lan:9990", "pc01", work + "\\none.pem", key, "",
         "Das Zertifikat " + work + "\\none.pem lässt sich nicht lesen"},
        {"DER certificate", "backup.lan:9990", "pc01", der, key, "", der + " ist kein Zertifikat im PEM-Format"},
        {"certificate too large", "backup.lan:9990", "pc01", big, key, "",
         "Das Zertifikat " + big + " ist größer als 8191 Bytes"},
        {"short key", "backup.lan:9990", "pc01", "", "0123456789abcde", "", "Der API-Key ist zu kurz"},
        {"short key in file", "backup.lan:9990", "pc01", "", "", "0123456789abcde\n", "Der API-Key ist zu kurz"},
        {"key file too long", "backup.lan:9990", "pc01", "", "", std::string(600, 'k'),
         "Der API-Key in " + keyfile + " ist länger als 511 Zeichen"},
        {"missing key file", "backup.lan:9990", "pc01", "", "", "-",
         "Die Schlüsseldatei " + work + "\\none.key lässt sich nicht lesen"},
    };
    for (const auto &c : cases) {
        set(ctx->client_server, c.server.c_str());
        set(ctx->client_dir, c.dir.c_str());
        set(ctx->client_server_cert, c.cert.empty() ? (work + "\\server.pem").c_str() : c.cert.c_str());
        set(ctx->client_api_key, c.key.c_str());
        set(ctx->client_api_key_file, "");
        if (c.key_file_text == "-") {
            set(ctx->client_api_key_file, (work + "\\none.key").c_str());
        } else if (!c.key_file_text.empty()) {
            ASSERT_TRUE(test_write_file(keyfile, c.key_file_text));
            set(ctx->client_api_key_file, keyfile.c_str());
        }
        EXPECT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), -1) << c.name;
        EXPECT_EQ(std::string(msg), c.expected) << c.name;
        EXPECT_EQ(GetFileAttributesA((data + "\\target.crt").c_str()), INVALID_FILE_ATTRIBUTES) << c.name;
    }
    EXPECT_STREQ(ctx->report, "");

    // 16 characters and a line feed from a file pass, and the key file holds them without it.
    ASSERT_TRUE(test_write_file(keyfile, "0123456789abcdef\r\n"));
    set(ctx->client_server, "backup.lan:9990");
    set(ctx->client_dir, "pc01");
    set(ctx->client_server_cert, (work + "\\server.pem").c_str());
    set(ctx->client_api_key_file, keyfile.c_str());
    ASSERT_EQ(setup_client_connect(ctx.get(), msg, sizeof msg), 0) << msg;
    EXPECT_EQ(test_read_file(data + "\\pc01.key"), "0123456789abcdef\n");
}
