// The console link on Windows: account and session lookups, the protected
// data directory, and the hand-over file made from the answers of a fake
// scheduler program (the fake program as bin\orv_sched.exe, answering
// "api-info" and "api-token" from its script files and logging its
// arguments). Wine keeps no access lists, so the hand-over file's list is
// checked as the SDDL text handed to Windows.
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "run_win.h"
#include "seam_guard.h"
#include "setup_link.h"
#include "setup_link_win_seam.h"
#include "setup_options.h"
#include "setup_win.h"
#include "test_util.h"

namespace {

// The name this process runs under, as the system spells it.
std::string own_user()
{
    wchar_t w[256];
    DWORD n = 256;
    GetUserNameW(w, &n);
    char u[512];
    WideCharToMultiByte(CP_UTF8, 0, w, -1, u, sizeof u, nullptr, nullptr);
    return u;
}

std::string narrow(const wchar_t *w)
{
    char u[512];
    WideCharToMultiByte(CP_UTF8, 0, w, -1, u, sizeof u, nullptr, nullptr);
    return u;
}

const char *const fingerprint_colons =
    "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
const char *const fingerprint = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";

struct ConsoleLink : ::testing::Test {
    std::unique_ptr<setup_context> ctx{new setup_context()};
    std::string work, sched, log, data;
    std::string user = own_user(), full, token;
    std::wstring sid;
    char err[700] = "";

    void SetUp() override
    {
        setup_options_base_defaults(ctx.get());
        work = test_temp_dir("link");
        snprintf(ctx->root, sizeof ctx->root, "%s\\root", work.c_str());
        snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir,
                 "%s\\inst", work.c_str());
        CreateDirectoryA((work + "\\inst").c_str(), nullptr);
        CreateDirectoryA((work + "\\inst\\bin").c_str(), nullptr);
        sched = work + "\\inst\\bin\\orv_sched.exe";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), sched.c_str(), FALSE));
        log = work + "\\args.log";
        data = std::string(ctx->root) + "\\ProgramData\\orvantis";
        ASSERT_TRUE(CreateDirectoryA(ctx->root, nullptr));
        ASSERT_TRUE(CreateDirectoryA((std::string(ctx->root) + "\\ProgramData").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(data.c_str(), nullptr));
        snprintf(ctx->console_user, sizeof ctx->console_user, "%s", user.c_str());
        ctx->console_role_admin = 1;
        wchar_t s[200];
        char f[600], u[300], e[300];
        ASSERT_EQ(win_lookup_account(user.c_str(), s, 200, f, sizeof f, u, sizeof u, e, sizeof e), 0) << e;
        sid = s;
        full = f;
        char t[LINK_TOKEN_NAME_MAX];
        token = link_token_name(u, t);
        answer_info("enabled: yes\\nlisten: 0.0.0.0:8443\\nfingerprint: " +
                    std::string(fingerprint_colons) + "\\n", 0);
        answer_token("token created (keep it secret): " + token + ".S3CRET\\r\\nrole: admin\\n", 0);
    }
    void answer(const char *word, const std::string &out, int code)
    {
        std::string script = "log:" + log + "\n" + (out.empty() ? "" : "out:" + out + "\n") +
                             "exit:" + std::to_string(code) + "\n";
        ASSERT_TRUE(test_write_file(sched + "." + word, script));
    }
    void answer_info(const std::string &out, int code) { answer("api-info", out, code); }
    void answer_token(const std::string &out, int code) { answer("api-token", out, code); }
    std::string handover() { return data + "\\konsole\\" + narrow(sid.c_str()) + ".cfg"; }
};

}  // namespace

TEST(AccountLookup, UsersGroupsAndUnknownNames)
{
    std::string user = own_user();
    wchar_t sid[200];
    char full[600], name[300], err[300];
    ASSERT_EQ(win_lookup_account(user.c_str(), sid, 200, full, sizeof full, name, sizeof name, err,
                                 sizeof err), 0) << err;
    EXPECT_EQ(wcsncmp(sid, L"S-1-5-", 6), 0);
    EXPECT_STREQ(name, user.c_str());
    std::string f = full;
    EXPECT_TRUE(f == user || f.substr(f.size() - user.size() - 1) == "\\" + user) << f;
    char checked[600];
    EXPECT_EQ(win_check_user(user.c_str(), checked, sizeof checked, err, sizeof err), 0);
    EXPECT_STREQ(checked, full);

    struct {
        const char *name;
    } refused[] = {{"Administrators"}, {"no-such-user-x7"}, {""}};
    for (const auto &c : refused) {
        strcpy(full, "stale");
        EXPECT_EQ(win_lookup_account(c.name, sid, 200, full, sizeof full, nullptr, 0, err, sizeof err), -1) << c.name;
        EXPECT_EQ(std::string(err), std::string("Den Benutzer „") + c.name + "“ gibt es auf diesem Computer nicht");
        EXPECT_STREQ(full, "") << c.name;
    }
    // A SID text that does not fit whole is refused, never cut.
    EXPECT_EQ(win_lookup_account(user.c_str(), sid, 8, nullptr, 0, nullptr, 0, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "Die Kennung des Benutzers „" + user + "“ lässt sich nicht lesen");
}

namespace {
const wchar_t *session_user_text;  // what the fake session query reports as the user
BOOL WINAPI fake_session_info(HANDLE, DWORD, WTS_INFO_CLASS what, LPWSTR *out, DWORD *bytes)
{
    const wchar_t *text = what == WTSUserName ? session_user_text : L"PC";
    if (!text)
        return FALSE;
    size_t n = (wcslen(text) + 1) * sizeof(wchar_t);
    *out = (LPWSTR)LocalAlloc(LMEM_FIXED, n);
    memcpy(*out, text, n);
    *bytes = (DWORD)n;
    return TRUE;
}
void WINAPI fake_session_free(PVOID p) { LocalFree(p); }
}  // namespace

TEST(SessionUser, ReportsDomainAndNameOrNothing)
{
    char out[300];
    if (win_session_user(out, sizeof out) == 0)
        EXPECT_NE(out[0], '\0');
    else
        EXPECT_STREQ(out, "");
    seam_guard<link_win_calls> guard(link_win);
    link_win.session_info = fake_session_info;
    link_win.session_free = fake_session_free;
    struct {
        const wchar_t *user;
        int rc;
        const char *expected;
    } cases[] = {
        {L"anna", 0, "PC\\anna"},
        {L"", -1, ""},
        {nullptr, -1, ""},
    };
    for (const auto &c : cases) {
        session_user_text = c.user;
        strcpy(out, "stale");
        EXPECT_EQ(win_session_user(out, sizeof out), c.rc) << c.expected;
        EXPECT_STREQ(out, c.expected);
    }
    // A name that does not fit the caller's buffer is no name at all.
    session_user_text = L"anna";
    char small[4];
    EXPECT_EQ(win_session_user(small, sizeof small), -1);
    EXPECT_STREQ(small, "");
}

TEST(SetupLinkWin, DataDirectoryAndServerRefusal)
{
    std::unique_ptr<setup_context> ctx(new setup_context());
    setup_options_base_defaults(ctx.get());
    std::string root = test_temp_dir("restrict");
    snprintf(ctx->root, sizeof ctx->root, "%s", root.c_str());
    char err[300] = "";
    ASSERT_EQ(setup_restrict_data_dir(ctx.get(), err, sizeof err), 0) << err;
    std::string dir = root + "\\ProgramData\\orvantis";
    EXPECT_NE(GetFileAttributesA((dir + "\\logs").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(std::string(ctx->report),
              "Einstellungen und Protokolle: " + dir + " (nur für SYSTEM und Administratoren lesbar)\n");

    EXPECT_EQ(setup_server_unsupported(ctx.get(), err, sizeof err), -1);
    EXPECT_STREQ(err, "Der Backup-Server (orv_target) läuft nur unter Linux und lässt sich unter "
                      "Windows nicht einrichten");
}

TEST_F(ConsoleLink, WritesTheHandoverFileAndReports)
{
    ASSERT_EQ(win_console_link(ctx.get(), err, sizeof err), 0) << err;
    std::string cfg = std::string(ctx->root) + "\\ProgramData\\orvantis\\orv_sched.cfg";
    EXPECT_EQ(test_read_file(log), "api-info\n--config\n" + cfg + "\n\n" +
                                       "api-token\nremove\n" + token + "\n--config\n" + cfg + "\n\n" +
                                       "api-token\nadd\n" + token + "\n--role\nadmin\n--config\n" + cfg + "\n\n");
    EXPECT_EQ(test_read_file(handover()),
              "# orvantis Setup: Verbindung der Verwaltungskonsole mit dem Job-Planer dieses Computers für " +
                  full + ".\r\n# Die Konsole übernimmt sie beim nächsten Start (das Token dann verschlüsselt) "
                         "und löscht diese Datei.\r\nurl=localhost:8443\r\nfingerprint=" + fingerprint +
                  "\r\ntoken-name=" + token + "\r\nsecret=S3CRET\r\n");
    EXPECT_EQ(std::string(ctx->report),
              "Verwaltungskonsole: Für " + full + " ist die Verbindung zu „Dieser Computer“ hinterlegt (Token „" +
                  token + "“, darf ändern und steuern); die Konsole übernimmt sie beim nächsten Start\n");

    // Again, read-only: the old file is replaced.
    ctx->console_role_admin = 0;
    ctx->report[0] = '\0';
    answer_token("(keep it secret): " + token + ".OTHER\\n", 0);
    ASSERT_EQ(win_console_link(ctx.get(), err, sizeof err), 0) << err;
    std::string text = test_read_file(handover());
    EXPECT_NE(text.find("secret=OTHER\r\n"), std::string::npos) << text;
    EXPECT_NE(test_read_file(log).find("--role\nread\n"), std::string::npos);
    EXPECT_NE(std::string(ctx->report).find("(Token „" + token + "“, darf nur lesen)"), std::string::npos);
}

TEST_F(ConsoleLink, RefusalsEndWithOneSentenceAndNoFile)
{
    const std::string good_info = "enabled: yes\\nlisten: 0.0.0.0:8443\\nfingerprint: " + std::string(fingerprint) + "\\n";
    const std::string certificate = "Das Zertifikat der API fehlt (orv_sched api-init)";
    struct {
        const char *name;
        std::string info;
        int info_code;
        std::string token_out;  // empty: the good answer
        int token_code;
        std::string expected;
    } cases[] = {
        {"api-info fails", good_info, 3, "", 0,
         "Die Einstellungen der API lassen sich nicht lesen (orv_sched api-info)"},
        {"API off", "enabled: YES\\nlisten: 0.0.0.0:8443\\nfingerprint: " + std::string(fingerprint) + "\\n", 0, "", 0,
         "Die API des Job-Planers ist ausgeschaltet; ohne sie erreicht die Verwaltungskonsole ihn nicht"},
        {"no listen", "enabled: yes\\nfingerprint: " + std::string(fingerprint) + "\\n", 0, "", 0, certificate},
        {"63 digits", "enabled: yes\\nlisten: 0.0.0.0:8443\\nfingerprint: " + std::string(fingerprint).substr(1) + "\\n",
         0, "", 0, certificate},
        {"a G", "enabled: yes\\nlisten: :8443\\nfingerprint: G" + std::string(fingerprint).substr(1) + "\\n", 0, "", 0,
         certificate},
        {"token fails with output", good_info, 0, "error: store locked\\r\\nsecond line\\n", 1,
         "Das Token für die Verwaltungskonsole ließ sich nicht erstellen: error: store locked  second line "},
        {"token fails without output", good_info, 0, "-", 1,
         "Das Token für die Verwaltungskonsole ließ sich nicht erstellen: orv_sched api-token ist ohne Ausgabe "
         "fehlgeschlagen"},
        {"token fails after printing its secret", good_info, 0, "(keep it secret): konsole-x.S3CRET\\nbut not saved\\n", 1,
         "Das Token für die Verwaltungskonsole ließ sich nicht erstellen: (keep it secret):  but not saved "},
        {"other token name", good_info, 0, "(keep it secret): konsole-someone.S3CRET\\n", 0,
         "Das Token für die Verwaltungskonsole ließ sich nicht erstellen (unerwartete Ausgabe von orv_sched)"},
    };
    for (const auto &c : cases) {
        answer_info(c.info, c.info_code);
        if (c.token_out == "-")
            answer_token("", c.token_code);
        else
            answer_token(c.token_out.empty() ? "(keep it secret): " + token + ".S3CRET\\n" : c.token_out,
                         c.token_code);
        EXPECT_EQ(win_console_link(ctx.get(), err, sizeof err), -1) << c.name;
        EXPECT_EQ(std::string(err), c.expected) << c.name;
        EXPECT_EQ(GetFileAttributesA(handover().c_str()), INVALID_FILE_ATTRIBUTES) << c.name;
        EXPECT_STREQ(ctx->report, "") << c.name;
    }

    DeleteFileA(sched.c_str());
    EXPECT_EQ(win_console_link(ctx.get(), err, sizeof err), -1);
    EXPECT_STREQ(err, "orv_sched gehört nicht zu dieser Installation");
}

namespace {
std::wstring sddl_seen;
DWORD sddl_error;
BOOL WINAPI failing_sddl(LPCWSTR sddl, DWORD, PSECURITY_DESCRIPTOR *, PULONG)
{
    sddl_seen = sddl;
    SetLastError(sddl_error);
    return FALSE;
}
BOOL WINAPI short_write(HANDLE h, LPCVOID data, DWORD n, LPDWORD done, LPOVERLAPPED)
{
    return WriteFile(h, data, n / 2, done, nullptr);
}
BOOL WINAPI failing_flush(HANDLE) { return FALSE; }
}  // namespace

TEST_F(ConsoleLink, AccessListAndWriteFailuresLeaveNoFile)
{
    seam_guard<link_win_calls> guard(link_win);
    char why[300];
    sddl_error = ERROR_INVALID_PARAMETER;
    link_win.sd_from_sddl = failing_sddl;
    EXPECT_EQ(win_console_link(ctx.get(), err, sizeof err), -1);
    EXPECT_EQ(sddl_seen, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRSD;;;" + sid + L")");
    EXPECT_EQ(std::string(err), std::string("Die Rechte der Übergabedatei lassen sich nicht festlegen (") +
                                    win_error_text(ERROR_INVALID_PARAMETER, why, sizeof why) + ")");
    EXPECT_EQ(GetFileAttributesA(handover().c_str()), INVALID_FILE_ATTRIBUTES);
    link_win = guard.saved;

    struct {
        const char *name;
        void (*fail)();
    } cases[] = {
        {"short write", [] { link_win.write_file = short_write; }},
        {"flush fails", [] { link_win.flush_file = failing_flush; }},
    };
    for (const auto &c : cases) {
        c.fail();
        EXPECT_EQ(win_console_link(ctx.get(), err, sizeof err), -1) << c.name;
        EXPECT_EQ(std::string(err), handover() + " lässt sich nicht schreiben") << c.name;
        EXPECT_EQ(GetFileAttributesA(handover().c_str()), INVALID_FILE_ATTRIBUTES) << c.name;
        link_win = guard.saved;
    }

    // An old file that cannot be replaced is reported with the system's words.
    ASSERT_EQ(win_console_link(ctx.get(), err, sizeof err), 0) << err;
    HANDLE held = CreateFileA(handover().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(win_console_link(ctx.get(), err, sizeof err), -1);
    EXPECT_EQ(std::string(err).rfind(handover() + " lässt sich nicht anlegen (Windows-Fehler ", 0), 0u) << err;
    CloseHandle(held);
}
