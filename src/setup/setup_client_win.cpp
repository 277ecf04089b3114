// The client connection on Windows: the server's certificate and the API key
// in the data directory, the connection test with the restore program and
// the example command lines of the installed backup programs.
#include "setup_client.h"

#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "fs.h"
#include "paths.h"
#include "proc.h"
#include "setup_link.h"
#include "setup_report.h"
#include "setup_win.h"

enum {
    DATA_DIR_SIZE = 600,     // the data directory
    CERT_PATH_SIZE = 900,    // the certificate file
    KEY_PATH_SIZE = 700,     // the key file
    KEY_REF_SIZE = 720,      // "file:" and the key file
    PROGRAM_SIZE = 700,      // an installed program's path
    TEST_TIMEOUT = 45,       // seconds for the connection test
};

// Reads at most max bytes of path into buf (max + 1 bytes, NUL-terminated).
// The count, -1 when the file cannot be opened or read, or max + 1 when it
// holds more than max bytes.
static long read_start(const char *path, char *buf, size_t max)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return -1;
    size_t n = fread(buf, 1, max, f);
    int more = n == max && fgetc(f) != EOF;
    int bad = ferror(f);
    fclose(f);
    if (bad)
        return -1;
    buf[n] = '\0';
    return more ? (long)max + 1 : (long)n;
}

// The first failing check of the client settings: its sentence into msg, -1.
static int check_settings(const setup_context *ctx, char *msg, size_t msglen)
{
    if (!ctx->client_server[0] || !ctx->client_dir[0] || !ctx->client_server_cert[0] ||
        (!ctx->client_api_key[0] && !ctx->client_api_key_file[0])) {
        setup_error(msg, msglen,
                    "Für die Verbindung zum Backup-Server werden Server (Host:Port), "
                    "Verzeichnis, Server-Zertifikat und API-Key gebraucht");
        return -1;
    }
    if (!client_server_ok(ctx->client_server)) {
        setup_error(msg, msglen, "Der Server muss die Form Host:Port haben");
        return -1;
    }
    if (!client_dir_ok(ctx->client_dir)) {
        setup_error(msg, msglen,
                    "Der Verzeichnisname darf nur Buchstaben, Ziffern, „.“, „_“ und „-“ enthalten");
        return -1;
    }
    return 0;
}

// The API key into key (CLIENT_KEY_SIZE bytes), trimmed: 0, or -1 with a sentence.
static int read_key(const setup_context *ctx, char *key, char *msg, size_t msglen)
{
    if (ctx->client_api_key[0]) {
        setup_flow_snprintf(key, CLIENT_KEY_SIZE, "%s", ctx->client_api_key);
    } else {
        long n = read_start(ctx->client_api_key_file, key, CLIENT_KEY_SIZE - 1);
        if (n < 0) {
            setup_error(msg, msglen, "Die Schlüsseldatei %s lässt sich nicht lesen",
                        ctx->client_api_key_file);
            return -1;
        }
        // A longer key cut short would be another, wrong key.
        if (n > CLIENT_KEY_SIZE - 1) {
            setup_error(msg, msglen, "Der API-Key in %s ist länger als %d Zeichen",
                        ctx->client_api_key_file, CLIENT_KEY_SIZE - 1);
            return -1;
        }
    }
    client_trim_key(key);
    if (strlen(key) < 16) {
        setup_error(msg, msglen, "Der API-Key ist zu kurz");
        return -1;
    }
    return 0;
}

// The certificate file's path into path: target.crt, or target-<host>.crt
// when target.crt holds another certificate.
static int cert_path(const setup_context *ctx, const char *dir, const char *cert, long cert_len,
                     char *path, size_t size)
{
    if (path_format(path, size, "%s\\target.crt", dir) != 0)
        return -1;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return 0;
    char old[CLIENT_CERT_MAX + 1];
    long n = read_start(path, old, CLIENT_CERT_MAX);
    if (n > CLIENT_CERT_MAX)
        n = CLIENT_CERT_MAX;
    if (n == cert_len && memcmp(old, cert, (size_t)n) == 0)
        return 0;
    // An unreadable target.crt counts as another server's: it is not overwritten.
    char host[CLIENT_HOST_MAX + 1];
    client_cert_host(ctx->client_server, host, sizeof host);
    return path_format(path, size, "%s\\target-%s.crt", dir, host);
}

// Writes len bytes of text to path, created or emptied: 0 or -1.
static int write_whole(const char *path, const char *text, size_t len)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return -1;
    int ok = fwrite(text, 1, len, f) == len;
    if (fclose(f) != 0)
        ok = 0;
    return ok ? 0 : -1;
}

// The connection test with the installed restore program, as report lines.
static void test_connection(setup_context *ctx, const char *cert, const char *key_ref)
{
    char program[PROGRAM_SIZE];
    if (!setup_program_path(ctx, "orv_restore", program, sizeof program)) {
        setup_report(ctx, "Client: Verbindungstest übersprungen (orv_restore ist nicht installiert)");
        return;
    }
    const char *argv[] = {program, "--server", ctx->client_server, "--server-dir", ctx->client_dir,
                          "--tls-ca", cert, "--api-key", key_ref, "--list", nullptr};
    char out[CLIENT_OUTPUT], gist[CLIENT_OUTPUT];
    proc_result res;
    int ran = proc_run(argv, nullptr, TEST_TIMEOUT, out, sizeof out, &res) == 0;
    if (ran && !res.timed_out && res.exit_code == 0) {
        setup_report(ctx, "Client: Verbindung zu %s funktioniert", ctx->client_server);
        return;
    }
    if (ran && !res.timed_out && res.exit_code == 4) {
        setup_report(ctx, "Client: Verbindung zu %s funktioniert (dort gibt es noch keine Sicherungen)",
                     ctx->client_server);
        return;
    }
    client_summary(ran ? out : "", gist, sizeof gist);
    link_quote_output(gist);
    setup_report(ctx,
                 "WARNUNG: Der Verbindungstest zu %s ist fehlgeschlagen. Bitte Adresse, "
                 "Zertifikat und API-Key prüfen. Meldung von orv_restore: %s",
                 ctx->client_server, gist[0] ? gist : "keine Antwort");
}

// The example command lines of the installed backup programs.
static void report_examples(setup_context *ctx, const char *dir, const char *cert,
                            const char *key_ref)
{
    const char *s = ctx->client_server, *d = ctx->client_dir;
    char program[PROGRAM_SIZE];
    setup_report(ctx,
                 "Beispiel: orv_agent --source <volume> --target %s --target-dir %s --tls-ca %s "
                 "--api-key %s --name <name> --type full",
                 s, d, cert, key_ref);
    if (setup_program_path(ctx, "orv_proxmox", program, sizeof program)) {
        setup_report(ctx,
                     "Beispiel (ProxmoxVE-Host): orv_proxmox --vmid <id> --name <job> -- --target "
                     "%s --target-dir %s --tls-ca %s --api-key %s --type full",
                     s, d, cert, key_ref);
        setup_report(ctx, "Dauerhafte Job-Einstellungen (auch Cron-Einträge je VM) gehören nach "
                          "/etc/orv/orv_proxmox.cfg, siehe README, Abschnitt Proxmox");
    }
    if (setup_program_path(ctx, "orv_xenV", program, sizeof program)) {
        setup_report(ctx,
                     "Beispiel (Xen-vanilla-Host): orv_xenV --name <domain> -- --target %s "
                     "--target-dir %s --tls-ca %s --api-key %s --type full",
                     s, d, cert, key_ref);
        setup_report(ctx, "Dauerhafte Job-Einstellungen (auch Cron-Einträge je Domain) gehören "
                          "nach /etc/orv/orv_xenv.cfg, siehe README, Abschnitt Xen-VM");
    }
    if (setup_program_path(ctx, "orv_hyperV", program, sizeof program)) {
        setup_report(ctx,
                     "Beispiel (Hyper-V-Host): orv_hyperV --vm <VM-Name> -- --target %s "
                     "--target-dir %s --tls-ca %s --api-key %s",
                     s, d, cert, key_ref);
        setup_report(ctx,
                     "Dauerhafte Einstellungen je VM gehören nach %s\\orv_hyperv.cfg, geplante "
                     "Sicherungen in den Job-Planer (command=hyperv), siehe Handbuch, Kapitel "
                     "„Hyper-V-VMs sichern“",
                     dir);
    }
    if (setup_program_path(ctx, "orv_m365", program, sizeof program))
        setup_report(ctx,
                     "Microsoft 365: einen Job in /etc/orv/orv_m365.cfg anlegen (siehe "
                     "orv_m365.cfg.example) mit target=%s target-dir=%s tls-ca=%s api-key=%s, "
                     "dann: orv_m365 --name <job> --dry-run",
                     s, d, cert, key_ref);
}

int setup_client_connect(setup_context *ctx, char *msg, size_t msglen)
{
    char cert[CLIENT_CERT_MAX + 1];
    char key[CLIENT_KEY_SIZE + 1] = "";
    char dir[DATA_DIR_SIZE], cert_file[CERT_PATH_SIZE], key_file[KEY_PATH_SIZE];
    char key_ref[KEY_REF_SIZE], why[400];
    long cert_len;
    int rc = -1;

    if (check_settings(ctx, msg, msglen) != 0)
        return -1;
    setup_data_dir(ctx, dir, sizeof dir);
    if (strlen(dir) >= sizeof dir - 1 || fs_create_dirs(dir) != 0) {
        setup_error(msg, msglen, "%s lässt sich nicht anlegen", dir);
        return -1;
    }
    cert_len = read_start(ctx->client_server_cert, cert, CLIENT_CERT_MAX);
    if (cert_len < 0) {
        setup_error(msg, msglen, "Das Zertifikat %s lässt sich nicht lesen", ctx->client_server_cert);
        return -1;
    }
    // A certificate cut short would be written as a broken file.
    if (cert_len > CLIENT_CERT_MAX) {
        setup_error(msg, msglen, "Das Zertifikat %s ist größer als %d Bytes",
                    ctx->client_server_cert, CLIENT_CERT_MAX);
        return -1;
    }
    if (!strstr(cert, "-----BEGIN CERTIFICATE-----")) {
        setup_error(msg, msglen, "%s ist kein Zertifikat im PEM-Format", ctx->client_server_cert);
        return -1;
    }
    if (read_key(ctx, key, msg, msglen) != 0)
        goto done;
    if (cert_path(ctx, dir, cert, cert_len, cert_file, sizeof cert_file) != 0 ||
        write_whole(cert_file, cert, (size_t)cert_len) != 0) {
        setup_error(msg, msglen, "%s lässt sich nicht schreiben", cert_file[0] ? cert_file : dir);
        goto done;
    }
    if (path_format(key_file, sizeof key_file, "%s\\%s.key", dir, ctx->client_dir) != 0 ||
        path_format(key_ref, sizeof key_ref, "file:%s", key_file) != 0) {
        setup_error(msg, msglen, "%s lässt sich nicht schreiben", dir);
        goto done;
    }
    strcat(key, "\n");  // room for it: key holds at most 511 bytes before
    why[0] = '\0';
    if (win_write_key_file(key_file, key, why, sizeof why) != 0) {
        setup_error(msg, msglen, "%s", why);
        goto done;
    }
    setup_report(ctx, "Client: Zertifikat %s, Schlüssel %s", cert_file, key_file);
    if (ctx->client_test == 1)
        test_connection(ctx, cert_file, key_ref);
    report_examples(ctx, dir, cert_file, key_ref);
    rc = 0;
done:
    SecureZeroMemory(key, sizeof key);
    return rc;
}
