// The console link on Windows: account lookups, the interactive user, the
// hand-over file with its access list, the protected data directory and the
// key file of the client connection.
#include "setup_link.h"

#include <fcntl.h>
#include <io.h>
#include <string.h>

#include <windows.h>

#include <sddl.h>
#include <wtsapi32.h>

#include "acl.h"
#include "paths.h"
#include "proc.h"
#include "schedcmd.h"
#include "setup_link_win_seam.h"
#include "setup_report.h"
#include "setup_win.h"

link_win_calls link_win = {ConvertStringSecurityDescriptorToSecurityDescriptorW, CreateFileW,
                           WriteFile, FlushFileBuffers, WTSQuerySessionInformationW};

enum {
    NAME_UNITS = 300,      // a user name given to the lookup, in UTF-16 units
    ACCOUNT_UNITS = 256,   // name and domain from the system
    FULL_UNITS = 520,      // "domain\name"
    DATA_DIR_SIZE = 600,   // the data directory
    LINK_PATH_SIZE = 700,  // the settings file and the hand-over folder
    FILE_UNITS = 800,      // the hand-over file's UTF-16 path (and its UTF-8 copy)
    SDDL_UNITS = 400,      // the hand-over file's access list
    KEY_TIMEOUT = 30,      // seconds for icacls
    KEY_OUTPUT = 512,      // output kept of icacls
};

// text converted to UTF-16 into out (cap units): as strict UTF-8, else from
// the ANSI code page. The length, or 0 with out empty when both fail.
static int to_wide(const char *text, wchar_t *out, int cap)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, cap);
    if (n <= 0)
        n = MultiByteToWideChar(CP_ACP, 0, text, -1, out, cap);
    if (n <= 0) {
        out[0] = L'\0';
        return 0;
    }
    return n - 1;
}

// UTF-16 text to UTF-8 into out (cap bytes): 0, or -1 with out empty.
static int to_utf8(const wchar_t *text, char *out, int cap)
{
    if (!out || cap <= 0)
        return -1;
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, cap, nullptr, nullptr) <= 0) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

// Overwrites a buffer that held a secret; the compiler may not drop it.
static void wipe(void *p, size_t n) { SecureZeroMemory(p, n); }

int win_lookup_account(const char *name, wchar_t *sid_out, size_t sid_cap, char *full_out,
                       int full_cap, char *user_out, int user_cap, char *err, size_t errlen)
{
    if (sid_out && sid_cap)
        sid_out[0] = L'\0';
    if (full_out && full_cap > 0)
        full_out[0] = '\0';
    if (user_out && user_cap > 0)
        user_out[0] = '\0';
    wchar_t wname[NAME_UNITS];
    BYTE sid[68];
    DWORD sid_len = sizeof sid;
    wchar_t domain[ACCOUNT_UNITS];
    DWORD domain_len = ACCOUNT_UNITS;
    SID_NAME_USE use = SidTypeUnknown;
    if (to_wide(name, wname, NAME_UNITS) == 0 ||
        !LookupAccountNameW(nullptr, wname, sid, &sid_len, domain, &domain_len, &use) ||
        use != SidTypeUser) {
        win_error(err, errlen, "Den Benutzer „%s“ gibt es auf diesem Computer nicht", name);
        return -1;
    }
    // The system's own spelling of name and domain, whatever was typed.
    wchar_t user[ACCOUNT_UNITS], dom[ACCOUNT_UNITS];
    DWORD user_len = ACCOUNT_UNITS, dom_len = ACCOUNT_UNITS;
    if (!LookupAccountSidW(nullptr, sid, user, &user_len, dom, &dom_len, &use)) {
        wcsncpy(user, wname, ACCOUNT_UNITS - 1);
        user[ACCOUNT_UNITS - 1] = L'\0';
        dom[0] = L'\0';
    }
    wchar_t full[FULL_UNITS];
    if (dom[0])
        win_swprintf(full, FULL_UNITS, L"%ls\\%ls", dom, user);
    else
        win_swprintf(full, FULL_UNITS, L"%ls", user);
    if (full_out)
        to_utf8(full, full_out, full_cap);
    if (user_out)
        to_utf8(user, user_out, user_cap);
    if (sid_out) {
        wchar_t *text = nullptr;
        // A SID text cut short would name another account: it must fit whole.
        if (!ConvertSidToStringSidW(sid, &text) || wcslen(text) >= sid_cap) {
            if (text)
                LocalFree(text);
            win_error(err, errlen, "Die Kennung des Benutzers „%s“ lässt sich nicht lesen", name);
            return -1;
        }
        wcscpy(sid_out, text);
        LocalFree(text);
    }
    return 0;
}

int win_check_user(const char *name, char *full_out, int full_cap, char *err, size_t errlen)
{
    return win_lookup_account(name, nullptr, 0, full_out, full_cap, nullptr, 0, err, errlen);
}

int win_session_user(char *out, int cap)
{
    if (out && cap > 0)
        out[0] = '\0';
    DWORD session = 0;
    if (!out || cap <= 0 || !ProcessIdToSessionId(GetCurrentProcessId(), &session))
        return -1;
    wchar_t *user = nullptr, *domain = nullptr;
    DWORD bytes = 0;
    int rc = -1;
    if (link_win.session_info(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &user, &bytes) &&
        user && user[0] &&
        link_win.session_info(WTS_CURRENT_SERVER_HANDLE, session, WTSDomainName, &domain,
                              &bytes) &&
        domain) {
        wchar_t joined[NAME_UNITS];
        if (domain[0])
            win_swprintf(joined, NAME_UNITS, L"%ls\\%ls", domain, user);
        else
            win_swprintf(joined, NAME_UNITS, L"%ls", user);
        if (to_utf8(joined, out, cap) == 0 && out[0])
            rc = 0;
    }
    if (user)
        WTSFreeMemory(user);
    if (domain)
        WTSFreeMemory(domain);
    if (rc != 0)
        out[0] = '\0';
    return rc;
}

int setup_restrict_data_dir(setup_context *ctx, char *err, size_t errlen)
{
    char dir[DATA_DIR_SIZE];
    setup_data_dir(ctx, dir, sizeof dir);
    if (paths_check_data_acl(dir) < 0) {
        win_error(err, errlen,
                  "Die Rechte von %s lassen sich nicht auf SYSTEM und Administratoren beschränken",
                  dir);
        return -1;
    }
    setup_report(ctx, "Einstellungen und Protokolle: %s (nur für SYSTEM und Administratoren lesbar)",
                 dir);
    return 0;
}

int win_write_key_file(const char *path, const char *text, char *err, size_t errlen)
{
    // The key file is born with the protected list, so a key is never
    // readable by others, also not when icacls fails afterwards.
    int fd = acl_create_file(path, 0);
    int ok = fd >= 0;
    size_t len = strlen(text), done = 0;
    while (ok && done < len) {
        int n = _write(fd, text + done, (unsigned)(len - done));
        if (n <= 0)
            ok = 0;
        else
            done += (size_t)n;
    }
    if (fd >= 0 && _close(fd) != 0)
        ok = 0;
    if (!ok) {
        win_error(err, errlen, "%s lässt sich nicht schreiben", path);
        return -1;
    }
    const char *argv[] = {"icacls", path, "/inheritance:r", "/grant:r", "*S-1-5-18:F",
                          "*S-1-5-32-544:F", nullptr};
    char out[KEY_OUTPUT];
    proc_result res;
    if (proc_run(argv, nullptr, KEY_TIMEOUT, out, sizeof out, &res) != 0 || res.timed_out ||
        res.exit_code != 0)
        win_error(err, errlen,
                  "Die Schlüsseldatei %s ist geschrieben, aber ihre Rechte lassen sich nicht "
                  "beschränken",
                  path);
    return 0;
}

int setup_server_unsupported(setup_context *ctx, char *err, size_t errlen)
{
    win_error(err, errlen,
              "Der Backup-Server (orv_target) läuft nur unter Linux und lässt sich unter Windows "
              "nicht einrichten");
    return -1;
}

// Runs the scheduler command a; 0 when it started, ended by itself in time
// and exited with 0. out (SCHEDCMD_CONSOLE_OUTPUT bytes) gets its output.
static int run_sched(const schedcmd_args *a, char *out)
{
    proc_result res;
    return proc_run(a->argv, nullptr, SCHEDCMD_API_TIMEOUT, out, SCHEDCMD_CONSOLE_OUTPUT, &res) == 0 &&
                   !res.timed_out && res.exit_code == 0
               ? 0
               : -1;
}

// What the console link holds while it runs; wiped by its one exit path.
struct link_work {
    char output[SCHEDCMD_CONSOLE_OUTPUT];  // the last scheduler answer
    char secret[SCHEDCMD_SECRET_MAX];      // the token's secret
    char content[LINK_CONTENT_SIZE];       // the hand-over file's text
};

// Creates the hand-over file at path with the user's access list and writes
// w->content into it; on failure a sentence in err and no file is left.
static int write_handover(const wchar_t *path, const char *path8, const wchar_t *sid,
                          const char *content, char *err, size_t errlen)
{
    wchar_t sddl[SDDL_UNITS];
    PSECURITY_DESCRIPTOR sd = nullptr;
    char why[400];
    int n = win_swprintf(sddl, SDDL_UNITS, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRSD;;;%ls)", sid);
    if (n < 0 || n >= SDDL_UNITS || !link_win.sd_from_sddl(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        win_error(err, errlen, "Die Rechte der Übergabedatei lassen sich nicht festlegen (%s)",
                  win_error_text(n >= SDDL_UNITS ? ERROR_INSUFFICIENT_BUFFER : GetLastError(),
                                 why, sizeof why));
        return -1;
    }
    DeleteFileW(path);
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    HANDLE h = link_win.create_file(path, GENERIC_WRITE, 0, &sa, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE) {
        win_error(err, errlen, "%s lässt sich nicht anlegen (%s)", path8,
                  win_error_text(error, why, sizeof why));
        return -1;
    }
    size_t len = strlen(content);
    DWORD written = 0;
    int ok = len > 0 && len < LINK_CONTENT_SIZE &&
             link_win.write_file(h, content, (DWORD)len, &written, nullptr) && written == len &&
             link_win.flush_file(h);
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(path);
        win_error(err, errlen, "%s lässt sich nicht schreiben", path8);
        return -1;
    }
    return 0;
}

int win_console_link(setup_context *ctx, char *err, size_t errlen)
{
    char program[LINK_PATH_SIZE];
    if (!setup_program_path(ctx, "orv_sched", program, sizeof program)) {
        win_error(err, errlen, "orv_sched gehört nicht zu dieser Installation");
        return -1;
    }
    char dir[DATA_DIR_SIZE], config[LINK_PATH_SIZE], folder[LINK_PATH_SIZE];
    setup_data_dir(ctx, dir, sizeof dir);
    // A path cut short would name another file.
    if (strlen(dir) >= sizeof dir - 1 ||
        path_format(config, sizeof config, "%s\\orv_sched.cfg", dir) != 0 ||
        path_format(folder, sizeof folder, "%s\\konsole", dir) != 0) {
        win_error(err, errlen, "Der Pfad des Datenverzeichnisses %s ist zu lang", dir);
        return -1;
    }
    wchar_t sid[200];
    char full[600], user[300], why[300];
    if (win_lookup_account(ctx->console_user, sid, 200, full, sizeof full, user, sizeof user, why,
                           sizeof why) != 0) {
        win_error(err, errlen, "%s", why);
        return -1;
    }

    link_work work;
    link_work *w = &work;
    w->output[0] = w->secret[0] = w->content[0] = '\0';
    int rc = -1;
    schedcmd_args a;
    schedcmd_api_info info;
    char name[LINK_TOKEN_NAME_MAX];
    const int admin = ctx->console_role_admin == 1;
    wchar_t wfolder[LINK_PATH_SIZE], wpath[FILE_UNITS];
    char path8[FILE_UNITS];
    int n;

    schedcmd_args_api_info(&a, program, config);
    if (run_sched(&a, w->output) != 0) {
        win_error(err, errlen, "Die Einstellungen der API lassen sich nicht lesen (orv_sched api-info)");
        goto done;
    }
    schedcmd_read_api_info(w->output, &info);
    if (!info.enabled) {
        win_error(err, errlen,
                  "Die API des Job-Planers ist ausgeschaltet; ohne sie erreicht die "
                  "Verwaltungskonsole ihn nicht");
        goto done;
    }
    if (!info.port[0] || strlen(info.fingerprint) != SCHEDCMD_FINGERPRINT_LEN) {
        win_error(err, errlen, "Das Zertifikat der API fehlt (orv_sched api-init)");
        goto done;
    }
    link_token_name(user, name);

    // An older token of that name goes first; whether there was one does not matter.
    schedcmd_args_token_remove(&a, program, name, config);
    run_sched(&a, w->output);
    schedcmd_args_token_add(&a, program, name, admin, config);
    if (run_sched(&a, w->output) != 0) {
        link_quote_output(w->output);
        if (w->output[0])
            win_error(err, errlen,
                      "Das Token für die Verwaltungskonsole ließ sich nicht erstellen: %s",
                      w->output);
        else
            win_error(err, errlen,
                      "Das Token für die Verwaltungskonsole ließ sich nicht erstellen: %s",
                      "orv_sched api-token ist ohne Ausgabe fehlgeschlagen");
        goto done;
    }
    if (schedcmd_read_token_secret(w->output, name, w->secret) != 0) {
        win_error(err, errlen,
                  "Das Token für die Verwaltungskonsole ließ sich nicht erstellen (unerwartete "
                  "Ausgabe von orv_sched)");
        goto done;
    }
    wipe(w->output, sizeof w->output);

    if (to_wide(folder, wfolder, LINK_PATH_SIZE) == 0) {
        // Without the folder the file would land in the drive's root.
        win_error(err, errlen, "%s lässt sich nicht anlegen", folder);
        goto done;
    }
    CreateDirectoryW(wfolder, nullptr);  // an existing folder is fine
    n = win_swprintf(wpath, FILE_UNITS, L"%ls\\%ls.cfg", wfolder, sid);
    if (n < 0 || n >= FILE_UNITS || to_utf8(wpath, path8, sizeof path8) != 0) {
        win_error(err, errlen, "Der Pfad der Übergabedatei in %s ist zu lang", folder);
        goto done;
    }
    n = link_handover_text(w->content, sizeof w->content, full, info.port, info.fingerprint, name,
                           w->secret);
    if (n <= 0 || n >= LINK_CONTENT_SIZE)
        w->content[0] = '\0';  // write_handover refuses it and leaves no file
    if (write_handover(wpath, path8, sid, w->content, err, errlen) != 0)
        goto done;
    setup_report(ctx,
                 "Verwaltungskonsole: Für %s ist die Verbindung zu „Dieser Computer“ hinterlegt "
                 "(Token „%s“, %s); die Konsole übernimmt sie beim nächsten Start",
                 full, name, admin ? "darf ändern und steuern" : "darf nur lesen");
    rc = 0;
done:
    wipe(w, sizeof *w);
    return rc;
}
