// The wizard's ten pages: their controls, what they show of the setup context,
// which of them a page shows, reading a page back into the context, the
// component list, the summary and the two browse dialogs.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include "log.h"
#include "msg.h"
#include "sched_setup.h"
#include "setup_choice.h"
#include "setup_flow.h"
#include "setup_link.h"
#include "setup_win.h"
#include "wizard_win.h"

// The kinds of controls the pages are made of.
static const DWORD kStatic = 0;
static const DWORD kGroupRadio = WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON;
static const DWORD kRadio = WS_TABSTOP | BS_AUTORADIOBUTTON;
static const DWORD kCheckbox = WS_TABSTOP | BS_AUTOCHECKBOX;
static const DWORD kPush = WS_TABSTOP;
static const DWORD kEdit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

// Checks or clears a button.
static void set_check(HWND h, int on)
{
    SendMessageW(h, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
}

static int checked(HWND h)
{
    return h && SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The page's title in the title font.
static HWND add_title(int page, const wchar_t *text)
{
    HWND h = wizard_add_page_control(page, L"STATIC", text, kStatic, 20, 14, 540, 30, -1);
    if (h)
        SendMessageW(h, WM_SETFONT, (WPARAM)wizard.title_font, TRUE);
    int i = wizard_layout_find(h);
    if (i >= 0)
        layout_table[i].title_font = 1;
    return h;
}

static HWND add(int page, const wchar_t *cls, const wchar_t *text, DWORD style, int x, int y, int w,
                int h, int id = -1)
{
    return wizard_add_page_control(page, cls, text, style, x, y, w, h, id);
}

// A read-only multi-line text with the wizard's word breaking and a sunken edge.
static HWND add_read_only(int page, int x, int y, int w, int h)
{
    HWND e = add(page, L"EDIT", L"", WS_VSCROLL | ES_READONLY | ES_MULTILINE, x, y, w, h);
    if (!e)
        return e;
    SendMessageW(e, EM_SETWORDBREAKPROC, 0, (LPARAM)wizard_word_break);
    SetWindowLongPtrW(e, GWL_EXSTYLE, GetWindowLongPtrW(e, GWL_EXSTYLE) | WS_EX_CLIENTEDGE);
    SetWindowPos(e, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return e;
}

// An edit field showing a context text when show is set. It takes no more
// characters than its context field holds (size bytes with the terminator),
// so that a text read back can be empty only when nothing was typed.
static HWND add_edit(int page, const char *text, int show, DWORD extra, int x, int y, int w, int h,
                     size_t size)
{
    HWND e = add(page, L"EDIT", L"", kEdit | extra, x, y, w, h);
    if (!e)
        return e;
    SendMessageW(e, EM_LIMITTEXT, (WPARAM)(size - 1), 0);
    if (show)
        wizard_set_text(e, text, 1300);
    return e;
}

static void build_welcome(setup_context *ctx)
{
    add_title(0, L"Willkommen bei orvantis");
    add(0, L"STATIC",
        L"Dieses Programm lädt die gewählten Komponenten vom Update-Server, installiert und "
        L"konfiguriert sie.",
        kStatic, 20, 56, 540, 40);
    wchar_t version[200];
    wizard_format_wide(version, 200, L"Version %hs – Windows (%hs)", ORV_VERSION,
                       ctx->host_facts.arch);
    add(0, L"STATIC", version, kStatic, 20, 100, 540, 20);
    wizard.status_text = add(0, L"STATIC", L"Verbindung zum Update-Server wird hergestellt …",
                             kStatic, 20, 140, 540, 60);
    wizard.retry_button =
        add(0, L"BUTTON", L"Erneut versuchen", kPush, 20, 270, 120, 28, WIZARD_ID_RETRY);
    wizard.modify_radio = add(0, L"BUTTON", L"Komponenten ändern", kGroupRadio, 40, 184, 400, 20,
                              WIZARD_ID_MODIFY);
    set_check(wizard.modify_radio, 1);
    wizard.repair_radio = add(0, L"BUTTON", L"Reparieren (Programme neu laden und prüfen)", kRadio,
                              40, 210, 400, 20, WIZARD_ID_REPAIR);
    wizard.uninstall_radio =
        add(0, L"BUTTON", L"Deinstallieren", kRadio, 40, 236, 400, 20, WIZARD_ID_UNINSTALL);
}

static void build_choice(setup_context *ctx)
{
    add_title(1, L"Was soll installiert werden?");
    wizard.client_radio = add(
        1, L"BUTTON",
        L"Client: Sichern, Wiederherstellen, Job-Planer und Verwaltungskonsole (empfohlen)",
        kGroupRadio, 30, 70, 530, 20, WIZARD_ID_CLIENT);
    set_check(wizard.client_radio, 1);
    wizard.custom_radio = add(1, L"BUTTON", L"Benutzerdefiniert: Komponenten selbst wählen", kRadio,
                              30, 100, 500, 20, WIZARD_ID_CUSTOM);
    add(1, L"STATIC", L"Installationsordner:", kStatic, 20, 170, 300, 20);
    wizard.install_dir_field =
        add_edit(1, ctx->updater_config.install_dir, 1, 0, 20, 194, 440, 22,
                 sizeof ctx->updater_config.install_dir);
    add(1, L"BUTTON", L"Durchsuchen...", kPush, 470, 193, 90, 24, WIZARD_ID_BROWSE);
    char data[600];
    setup_data_dir(ctx, data, sizeof data);
    char16_t w_data[601];
    wizard_show_text(data, w_data, 600);
    wchar_t note[800];
    wizard_format_wide(note, 800,
                       L"Einstellungen: %ls\r\nProtokolle: %ls\\logs\r\n(nur für Administratoren "
                       L"lesbar)",
                       (const wchar_t *)w_data, (const wchar_t *)w_data);
    add(1, L"STATIC", note, kStatic, 20, 232, 540, 60);
}

static void build_components(void)
{
    add_title(2, L"Komponenten");
    wizard.panel = add(2, L"OrvSetupComps", L"", WS_VSCROLL | WS_CLIPCHILDREN, 20, 56, 540, 282);
    if (!wizard.panel)
        return;
    SetWindowLongPtrW(wizard.panel, GWL_EXSTYLE,
                      GetWindowLongPtrW(wizard.panel, GWL_EXSTYLE) | WS_EX_CONTROLPARENT |
                          WS_EX_CLIENTEDGE);
    SetWindowPos(wizard.panel, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

static void build_updates(setup_context *ctx)
{
    add_title(3, L"Updates");
    wizard.daily_checkbox = add(3, L"BUTTON",
                                L"Täglich nach signierten Updates suchen und sie installieren",
                                kCheckbox, 24, 66, 520, 20);
    set_check(wizard.daily_checkbox, ctx->updater_schedule != 0);
    add(3, L"STATIC",
        L"Eine geplante Aufgabe (SYSTEM) startet den Updater; läuft gerade eine Sicherung, "
        L"wartet er bis zum nächsten Lauf.",
        kStatic, 44, 92, 500, 40);
    add(3, L"STATIC", L"Kanal:", kStatic, 24, 150, 100, 20);
    wizard.channel_field = add_edit(3, ctx->updater_config.channel, 1, 0, 130, 148, 200, 22,
                                    sizeof ctx->updater_config.channel);
}

// Appends a dependent control to a page's list while it has room.
static HWND dependent(HWND *list, int32_t *count, int cap, HWND h)
{
    if (*count < cap)
        list[(*count)++] = h;
    return h;
}

static void build_server(setup_context *ctx)
{
    add_title(4, L"Verbindung zum Backup-Server");
    wizard.connect_checkbox = add(4, L"BUTTON", L"Verbindung jetzt einrichten", kCheckbox, 24, 60,
                                  400, 20, WIZARD_ID_CONNECT);
    set_check(wizard.connect_checkbox, ctx->configure_client != 0);
    HWND *l = wizard.connect_dependents;
    int32_t *n = &wizard.connect_dependent_count;
    int show = ctx->configure_client != 0;
    dependent(l, n, 12, add(4, L"STATIC", L"Server (Host:Port):", kStatic, 24, 96, 200, 20));
    wizard.server_field =
        dependent(l, n, 12, add_edit(4, ctx->client_server, show, 0, 230, 94, 320, 22,
                                      sizeof ctx->client_server));
    dependent(l, n, 12, add(4, L"STATIC", L"Verzeichnis auf dem Server:", kStatic, 24, 128, 200, 20));
    wizard.server_dir_field =
        dependent(l, n, 12, add_edit(4, ctx->client_dir, show, 0, 230, 126, 320, 22,
                                      sizeof ctx->client_dir));
    dependent(l, n, 12,
              add(4, L"STATIC", L"Server-Zertifikat (target.crt):", kStatic, 24, 160, 200, 20));
    wizard.cert_field =
        dependent(l, n, 12, add_edit(4, ctx->client_server_cert, show, 0, 230, 158, 250,
                                      22, sizeof ctx->client_server_cert));
    dependent(l, n, 12, add(4, L"BUTTON", L"...", kPush, 486, 157, 64, 24, WIZARD_ID_CERT));
    dependent(l, n, 12, add(4, L"STATIC", L"API-Key:", kStatic, 24, 192, 200, 20));
    wizard.api_key_field = dependent(
        l, n, 12, add_edit(4, ctx->client_api_key, show, ES_PASSWORD, 230, 190, 320, 22,
                          sizeof ctx->client_api_key));
    wizard.test_checkbox = dependent(l, n, 12,
                                     add(4, L"BUTTON", L"Verbindung nach der Installation testen",
                                         kCheckbox, 24, 228, 400, 20));
    set_check(wizard.test_checkbox, 1);
}

static void build_console(setup_context *ctx)
{
    add_title(5, L"Verwaltungskonsole");
    wizard.link_checkbox =
        add(5, L"BUTTON", L"Die Verwaltungskonsole mit dem Job-Planer dieses Computers verbinden",
            kCheckbox, 24, 60, 520, 20, WIZARD_ID_LINK);
    set_check(wizard.link_checkbox, ctx->console_link != 0);
    HWND *l = wizard.link_dependents;
    int32_t *n = &wizard.link_dependent_count;
    dependent(l, n, 8,
              add(5, L"STATIC", L"Windows-Benutzer, der die Konsole verwendet:", kStatic, 44, 94,
                  500, 20));
    char user[256] = "";
    if (ctx->console_user[0])
        snprintf(user, sizeof user, "%s", ctx->console_user);
    else if (win_session_user(user, sizeof user) != 0)
        user[0] = '\0';
    wizard.user_field = dependent(l, n, 8, add_edit(5, user, 1, 0, 44, 116, 320, 22,
                                                     sizeof ctx->console_user));
    dependent(l, n, 8, add(5, L"STATIC", L"Die Konsole darf:", kStatic, 44, 154, 500, 20));
    wizard.admin_radio =
        dependent(l, n, 8,
                  add(5, L"BUTTON", L"Jobs, Ziele und Profile ändern, Jobs steuern (empfohlen)",
                      kGroupRadio, 44, 176, 500, 20));
    wizard.view_radio =
        dependent(l, n, 8, add(5, L"BUTTON", L"Alles nur ansehen", kRadio, 44, 200, 500, 20));
    set_check(wizard.admin_radio, ctx->console_role_admin != 0);
    set_check(wizard.view_radio, ctx->console_role_admin == 0);
    dependent(l, n, 8,
              add(5, L"STATIC",
                  L"Das Setup erstellt für diesen Benutzer einen Zugang zum Job-Planer. Beim "
                  L"nächsten Start zeigt die Konsole „Dieser Computer“ bereits verbunden.",
                  kStatic, 44, 238, 500, 40));
}

static void build_sharing(setup_context *ctx)
{
    add_title(6, L"Freigabe für andere Rechner");
    wizard.release_now = sched_read_release(ctx);
    int v = ctx->console_release;
    if (v < 0)
        v = wizard.release_now > 0 ? wizard.release_now : 0;
    wizard.share_checkbox =
        add(6, L"BUTTON", L"Diesen Job-Planer für die Verwaltungskonsolen anderer Rechner freigeben",
            kCheckbox, 24, 60, 520, 20, WIZARD_ID_SHARE);
    set_check(wizard.share_checkbox, v != 0);
    HWND *l = wizard.share_dependents;
    int32_t *n = &wizard.share_dependent_count;
    dependent(l, n, 6,
              add(6, L"STATIC", L"Die Konsolen der anderen Rechner dürfen:", kStatic, 44, 94, 500,
                  20));
    wizard.share_view_radio = dependent(
        l, n, 6,
        add(6, L"BUTTON", L"Alles nur ansehen (empfohlen)", kGroupRadio, 44, 116, 500, 20));
    wizard.share_change_radio = dependent(
        l, n, 6, add(6, L"BUTTON", L"Jobs ändern und steuern", kRadio, 44, 140, 500, 20));
    set_check(wizard.share_view_radio, v != 2);
    set_check(wizard.share_change_radio, v == 2);
    dependent(l, n, 6,
              add(6, L"STATIC",
                  L"Die Verwaltungskonsolen Ihrer anderen Rechner mit Job-Planer und Konsole "
                  L"erhalten diesen Job-Planer von selbst, jede mit einem eigenen Zugang. Ändern "
                  L"lässt sich die Freigabe später in der Konsole unter „Server > Für andere "
                  L"Konsolen freigeben“.",
                  kStatic, 44, 176, 500, 60));
}

static void build_summary_page(void)
{
    add_title(7, L"Zusammenfassung");
    wizard.summary_field = add_read_only(7, 20, 60, 540, 200);
    wizard.purge_checkbox =
        add(7, L"BUTTON",
            L"Auch Einstellungen, Schlüssel, Zertifikate und Protokolle entfernen (den ganzen "
            L"Ordner %ProgramData%\\orvantis)",
            WS_TABSTOP | BS_MULTILINE | BS_TOP | BS_AUTOCHECKBOX, 24, 275, 536, 36);
}

static void build_progress(void)
{
    wizard.progress_title = add_title(8, L"Installation läuft");
    wizard.step_line = add(8, L"STATIC", L"", kStatic, 20, 80, 540, 20);
    wizard.progress_bar = add(8, PROGRESS_CLASSW, L"", PBS_SMOOTH, 20, 112, 540, 22);
    SendMessageW(wizard.progress_bar, PBM_SETRANGE32, 0, 1000);
    wizard.bytes_line = add(8, L"STATIC", L"", kStatic, 20, 142, 540, 20);
    add(8, L"STATIC", L"Bitte das Fenster geöffnet lassen.", kStatic, 20, 190, 540, 20);
}

static void build_result(void)
{
    wizard.result_title = add_title(9, L"Fertig");
    wizard.result_field = add_read_only(9, 20, 60, 540, 270);
}

void wizard_set_dependents(int id)
{
    HWND box;
    HWND *list;
    int32_t n;
    if (id == WIZARD_ID_CONNECT) {
        box = wizard.connect_checkbox;
        list = wizard.connect_dependents;
        n = wizard.connect_dependent_count;
    } else if (id == WIZARD_ID_LINK) {
        box = wizard.link_checkbox;
        list = wizard.link_dependents;
        n = wizard.link_dependent_count;
    } else {
        box = wizard.share_checkbox;
        list = wizard.share_dependents;
        n = wizard.share_dependent_count;
    }
    int on = checked(box);
    for (int i = 0; i < n; i++)
        if (list[i])
            EnableWindow(list[i], on);
}

void wizard_build_pages(void)
{
    setup_context *ctx = wizard.ctx;
    build_welcome(ctx);
    build_choice(ctx);
    build_components();
    build_updates(ctx);
    build_server(ctx);
    build_console(ctx);
    build_sharing(ctx);
    build_summary_page();
    build_progress();
    build_result();
    wizard_set_dependents(WIZARD_ID_CONNECT);
    wizard_set_dependents(WIZARD_ID_LINK);
    wizard_set_dependents(WIZARD_ID_SHARE);
}

// Shows or hides a control.
static void show(HWND h, int on)
{
    if (h)
        ShowWindow(h, on ? SW_SHOWNA : SW_HIDE);
}

// Moves Next to x (96-DPI units), recorded in its layout entry for later DPI changes.
static void place_next(int x)
{
    int i = wizard_layout_find(wizard.next_button);
    int y = 366;
    if (i >= 0) {
        layout_table[i].x = x;
        y = layout_table[i].y;
    }
    SetWindowPos(wizard.next_button, nullptr, wizard_px(x), wizard_px(y), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void wizard_show_page(int p)
{
    setup_context *ctx = wizard.ctx;
    for (int page = 0; page < WIZARD_PAGES; page++)
        for (int i = 0; i < wizard.page_control_count[page]; i++)
            show(wizard.page_controls[page][i], page == p);
    wizard.page = p;
    // In the test mode the page walk goes to the log, so that a script that
    // runs the whole program can follow it (pages 8 and 9 may pass too fast
    // to be seen on the screen); an administrator's wizard logs nothing here.
    if (wizard.test_mode)
        log_write(LOG_INFO, "wizard page %d", p);

    if (p == 7)
        show(wizard.purge_checkbox, ctx->mode == SETUP_MODE_UNINSTALL);
    if (p == 2) {
        size_t n = ctx->component_catalog.component_count;
        for (size_t i = 0; i < n && i < WIZARD_ITEMS; i++) {
            if (!wizard.item_checkbox[i])
                continue;
            int on = ctx->component_catalog.components[i].is_required || ctx->selected[i];
            set_check(wizard.item_checkbox[i], on);
        }
    }
    if (p == 0) {
        int choice = ctx->installed_components[0] && wizard.connect_state == 1;
        show(wizard.modify_radio, choice);
        show(wizard.repair_radio, choice);
        show(wizard.uninstall_radio, choice);
        show(wizard.retry_button, wizard.connect_state == 2);
    }

    const wchar_t *next_label = L"Weiter >";
    int back_shown = 1, back_on = 1, next_on = 1, cancel_shown = 1, cancel_on = 1, next_x = 384;
    switch (p) {
    case 0:
        back_on = 0;
        next_on = wizard.connect_state == 1;
        break;
    case 7:
        next_label = ctx->mode == SETUP_MODE_MODIFY      ? L"Ändern"
                     : ctx->mode == SETUP_MODE_REPAIR    ? L"Reparieren"
                     : ctx->mode == SETUP_MODE_UNINSTALL ? L"Entfernen"
                                                         : L"Installieren";
        break;
    case 8:
        back_on = next_on = cancel_on = 0;
        break;
    case 9:
        back_shown = back_on = 0;
        cancel_shown = 0;
        next_label = wizard.run_result == 0 ? L"Fertig" : L"Schließen";
        next_x = 478;
        break;
    default:
        break;
    }
    show(wizard.back_button, back_shown);
    EnableWindow(wizard.back_button, back_on);
    EnableWindow(wizard.next_button, next_on);
    show(wizard.cancel_button, cancel_shown);
    EnableWindow(wizard.cancel_button, cancel_on);
    SetWindowTextW(wizard.next_button, next_label);
    place_next(next_x);
    // Last, once the page's controls are shown and the buttons enabled as
    // the page wants them: the focus may have been on a control just hidden
    // or disabled.
    wizard_focus(wizard_first_control(p));
}

// A field's text (at most chars characters) converted to code_page into out
// (size bytes); empty when it does not convert or fit. Fields are read as
// ANSI, the console user as UTF-8.
static void read_field(HWND h, UINT code_page, int chars, char *out, size_t size)
{
    wchar_t w[1101];
    out[0] = '\0';
    if (!h)
        return;
    GetWindowTextW(h, w, chars + 1);
    if (WideCharToMultiByte(code_page, 0, w, -1, out, (int)size, nullptr, nullptr) <= 0)
        out[0] = '\0';
}

// A field read as ANSI (at most 1100 characters).
static void read_ansi(HWND h, char *out, size_t size)
{
    read_field(h, CP_ACP, 1100, out, size);
}

// _fullpath: 0, or -1 when the runtime cannot make the path absolute.
static int runtime_fullpath(const char *path, char *out, size_t size)
{
    return _fullpath(out, path, size) ? 0 : -1;
}

static int visible_style(HWND h)
{
    return h && (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE);
}

int wizard_read_page(int page)
{
    setup_context *ctx = wizard.ctx;
    wizard_page_values *v = (wizard_page_values *)calloc(1, sizeof *v);
    if (!v)
        return 0;
    v->choice_visible = visible_style(wizard.modify_radio);
    v->modify = checked(wizard.modify_radio);
    v->repair = checked(wizard.repair_radio);
    v->uninstall = checked(wizard.uninstall_radio);
    if (page == 1)
        read_ansi(wizard.install_dir_field, v->install_dir, sizeof v->install_dir);
    v->custom = checked(wizard.custom_radio);
    for (int i = 0; i < WIZARD_ITEMS; i++) {
        v->has_checkbox[i] = wizard.item_checkbox[i] != nullptr;
        v->checked[i] = checked(wizard.item_checkbox[i]);
    }
    v->daily = checked(wizard.daily_checkbox);
    if (page == 3)
        read_ansi(wizard.channel_field, v->channel, sizeof v->channel);
    v->connect = checked(wizard.connect_checkbox);
    if (page == 4) {
        read_ansi(wizard.server_field, v->server, sizeof v->server);
        read_ansi(wizard.server_dir_field, v->server_dir, sizeof v->server_dir);
        read_ansi(wizard.cert_field, v->cert, sizeof v->cert);
        read_ansi(wizard.api_key_field, v->api_key, sizeof v->api_key);
    }
    v->test = checked(wizard.test_checkbox);
    v->link = checked(wizard.link_checkbox);
    v->admin = checked(wizard.admin_radio);
    if (page == 5)
        read_field(wizard.user_field, CP_UTF8, 300, v->user, sizeof v->user);
    v->share = checked(wizard.share_checkbox);
    v->share_change = checked(wizard.share_change_radio);
    v->purge = checked(wizard.purge_checkbox);

    wizard_read_env env;
    memset(&env, 0, sizeof env);
    env.test_mode = wizard.test_mode;
    env.release_now = wizard.release_now;
    env.custom_chosen = wizard.custom_chosen;
    env.fullpath = runtime_fullpath;
    env.check_user = win_check_user;
    char msg[WIZARD_MSG];
    int ok = wizard_read_values(ctx, page, v, &env, msg, sizeof msg);
    free(v);
    wizard.custom_chosen = env.custom_chosen;
    if (env.user_resolved)
        wizard_set_text(wizard.user_field, env.shown_user, 1300);
    if (ok)
        return 1;
    if (wizard.test_mode) {
        // Nobody is there to answer a message box: the run ends here.
        log_write(LOG_ERROR, "page %d refused: %s", page, msg);
        wizard.refused = 1;
        return 0;
    }
    char16_t text[401];
    wizard_show_text(msg, text, 400);
    wizard_message_box((const wchar_t *)text, MB_ICONWARNING | MB_OK);
    // Whatever had the focus, the typing goes on in the field the message is about.
    HWND refused = env.refused_field == WIZARD_FIELD_INSTALL_DIR  ? wizard.install_dir_field
                   : env.refused_field == WIZARD_FIELD_SERVER     ? wizard.server_field
                   : env.refused_field == WIZARD_FIELD_SERVER_DIR ? wizard.server_dir_field
                   : env.refused_field == WIZARD_FIELD_CERT       ? wizard.cert_field
                   : env.refused_field == WIZARD_FIELD_API_KEY    ? wizard.api_key_field
                   : env.refused_field == WIZARD_FIELD_USER       ? wizard.user_field
                                                                  : nullptr;
    if (refused)
        wizard_focus(refused);
    return 0;
}

void wizard_build_component_list(void)
{
    setup_context *ctx = wizard.ctx;
    const component_catalog *cat = &ctx->component_catalog;
    size_t n = cat->component_count < (size_t)WIZARD_ITEMS ? cat->component_count : (size_t)WIZARD_ITEMS;
    static char16_t texts[WIZARD_ITEMS][301];
    wizard_list_item items[WIZARD_ITEMS];
    memset(items, 0, sizeof items);

    HDC dc = GetDC(wizard.main_window);
    HGDIOBJ old = dc ? SelectObject(dc, wizard.body_font) : nullptr;
    TEXTMETRICW tm;
    ZeroMemory(&tm, sizeof tm);
    if (dc)
        GetTextMetricsW(dc, &tm);
    for (size_t i = 0; i < n; i++) {
        items[i].present = setup_component_available(ctx, i) != 0;
        if (!items[i].present)
            continue;
        const char *d = cat->components[i].description;
        items[i].has_text = d && d[0];
        if (!items[i].has_text)
            continue;
        wizard_show_text(d, texts[i], 300);
        RECT rc = {0, 0, wizard_px(486) - wizard_px(6), 0};
        if (dc)
            DrawTextW(dc, (const wchar_t *)texts[i], -1, &rc,
                      DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        items[i].measured = rc.bottom - rc.top;
        items[i].line_height = tm.tmHeight;
    }
    if (dc) {
        SelectObject(dc, old);
        ReleaseDC(wizard.main_window, dc);
    }

    wizard_list_geometry g;
    wizard_list_layout(items, n, wizard.dpi, &g);
    for (size_t i = 0; i < n; i++) {
        if (!items[i].present)
            continue;
        char16_t title[301];
        wizard_show_text(cat->components[i].title, title, 300);
        HWND box = wizard_add_panel_control(L"BUTTON", (const wchar_t *)title,
                                            WS_TABSTOP | BS_NOTIFY | BS_AUTOCHECKBOX, 8,
                                            g.item_y[i], 500, 20);
        set_check(box, cat->components[i].is_required || ctx->selected[i]);
        if (cat->components[i].is_required && box)
            EnableWindow(box, FALSE);
        wizard.item_checkbox[i] = box;
        wizard.item_y[i] = g.item_y[i];
        wizard.item_height[i] = g.item_height[i];
        if (items[i].has_text)
            wizard_add_panel_control(L"STATIC", (const wchar_t *)texts[i], SS_NOPREFIX, 28,
                                     g.item_y[i] + 20, 486, g.text_height[i]);
    }
    wizard.content_height = g.content_height;
    wizard.scroll_pos = 0;
    RECT rc = {0, 0, 0, 0};
    GetClientRect(wizard.panel, &rc);
    SCROLLINFO si = {sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0,
                     wizard_px(wizard.content_height) - 1, (UINT)(rc.bottom - rc.top), 0, 0};
    SetScrollInfo(wizard.panel, SB_VERT, &si, TRUE);
}

void wizard_fill_after_connect(void)
{
    setup_context *ctx = wizard.ctx;
    wizard_set_text(wizard.channel_field, ctx->updater_config.channel, 1300);
    setup_read_installed(ctx);
    setup_read_task_state(ctx);
    set_check(wizard.daily_checkbox, ctx->updater_schedule != 0);
    wchar_t status[900];
    int installed = ctx->installed_components[0] != '\0';
    if (installed) {
        char16_t version[101];
        wizard_show_text(ctx->installed_version, version, 100);
        wizard_format_wide(status, 900, L"orvantis %ls ist bereits installiert. Was möchten Sie tun?",
                           (const wchar_t *)version);
        if (ctx->mode == SETUP_MODE_INSTALL)
            ctx->mode = SETUP_MODE_MODIFY;
        set_check(wizard.modify_radio, ctx->mode != SETUP_MODE_REPAIR &&
                                           ctx->mode != SETUP_MODE_UNINSTALL);
        set_check(wizard.repair_radio, ctx->mode == SETUP_MODE_REPAIR);
        set_check(wizard.uninstall_radio, ctx->mode == SETUP_MODE_UNINSTALL);
    } else {
        wizard_format_wide(status, 900, L"Bereit. Klicken Sie auf Weiter.");
    }
    wizard_set_status_height(installed ? 40 : 60);
    SetWindowTextW(wizard.status_text, status);
    wizard_build_component_list();
    wizard_show_page(0);
    wizard_focus(wizard.next_button);
}

void wizard_build_summary(void)
{
    char data[700];
    setup_data_dir(wizard.ctx, data, sizeof data);
    char16_t *text = (char16_t *)calloc(WIZARD_SUMMARY_MAX, sizeof *text);
    if (!text)
        return;
    wizard_summary_text(wizard.ctx, data, wizard.release_now, wizard_show_text, text,
                        WIZARD_SUMMARY_MAX);
    SetWindowTextW(wizard.summary_field, (const wchar_t *)text);
    free(text);
}

int wizard_message_box(const wchar_t *text, UINT type)
{
    wizard.modal++;
    int answer = MessageBoxW(wizard.main_window, text, L"orvantis Setup", type);
    wizard.modal--;
    return answer;
}

void wizard_browse_folder(void)
{
    BROWSEINFOW bi;
    ZeroMemory(&bi, sizeof bi);
    bi.hwndOwner = wizard.main_window;
    bi.lpszTitle = L"Installationsordner wählen";
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    wizard.modal++;
    PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&bi);
    wizard.modal--;
    if (!list)
        return;
    wchar_t path[260];
    if (SHGetPathFromIDListW(list, path)) {
        char16_t dir[276];
        wizard_folder_join((const char16_t *)path, dir, 276);
        SetWindowTextW(wizard.install_dir_field, (const wchar_t *)dir);
    }
    CoTaskMemFree(list);
}

void wizard_browse_cert(void)
{
    wchar_t file[260] = L"";
    OPENFILENAMEW ofn;
    ZeroMemory(&ofn, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = wizard.main_window;
    ofn.lpstrFilter = L"Zertifikate (*.crt;*.pem;*.cer)\0*.crt;*.pem;*.cer\0Alle Dateien\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = 260;
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    wizard.modal++;
    BOOL chosen = GetOpenFileNameW(&ofn);
    wizard.modal--;
    if (chosen)
        SetWindowTextW(wizard.cert_field, file);
}
