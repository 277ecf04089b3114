// The wizard's run: the window procedure, the message loop, navigation, the
// worker thread of the long tasks (connect, install, uninstall), the
// callbacks that post the worker's progress to the window, and the result
// page. The window and the worker share the setup context without a lock: the
// window leaves it alone while a worker runs and joins the worker before it
// reads what the worker wrote.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <commctrl.h>

#include "log.h"
#include "msg.h"
#include "setup_choice.h"
#include "setup_connect.h"
#include "setup_flow.h"
#include "setup_report.h"
#include "wizard_win.h"

// ExitProcess stops the worker before any library clean-up runs.
static void end_process(UINT code)
{
    fflush(nullptr);
    ExitProcess(code);
}
void (*wizard_end_process)(UINT code) = end_process;

int wizard_post_step(void *user, const char *step, size_t index, size_t count)
{
    // Without a copy the window would have no text to show: the step is left out.
    char *copy = _strdup(step ? step : "");
    if (!copy)
        return 0;
    WPARAM wp = ((WPARAM)index << 16) | (WPARAM)(count & 0xFFFF);
    if (!PostMessageW(wizard.main_window, WM_SETUP_STEP, wp, (LPARAM)copy))
        free(copy);
    return 0;
}

void wizard_post_bytes(void *user, uint64_t done, uint64_t total)
{
    PostMessageW(wizard.main_window, WM_SETUP_BYTES, (WPARAM)(done >> 10), (LPARAM)(total >> 10));
}

void wizard_post_status(void *user, int level, const char *text)
{
    char *copy = _strdup(text ? text : "");
    if (!copy)
        return;
    if (!PostMessageW(wizard.main_window, WM_SETUP_STATUS, 0, (LPARAM)copy))
        free(copy);
}

DWORD WINAPI wizard_worker(LPVOID unused)
{
    char err[WIZARD_RESULT_TEXT] = "";
    setup_context *ctx = wizard.ctx;
    int task = wizard.task;
    int result;
    if (task == WIZARD_TASK_CONNECT) {
        // Healed first, as every run that may change the installation is:
        // the welcome page then shows the version that is live, also when
        // the server cannot be reached. A switch that cannot be recorded is
        // told by the task the user starts next.
        setup_heal(ctx, err, sizeof err);
        err[0] = '\0';
        result = setup_connect(ctx, err, sizeof err) != 0 ? 1 : 0;
        if (result == 0)
            setup_apply_selection_options(ctx, err, sizeof err);
    } else if (task == WIZARD_TASK_INSTALL) {
        result = setup_install_silent(ctx, err, sizeof err);
    } else {
        result = setup_uninstall_silent(ctx, err, sizeof err);
    }
    snprintf(wizard.result_text, sizeof wizard.result_text, "%s", err);
    PostMessageW(wizard.main_window, WM_SETUP_DONE, (WPARAM)task, (LPARAM)result);
    return 0;
}

void wizard_start_task(int task)
{
    wizard.task = task;
    wizard.busy = 1;
    wizard.result_text[0] = '\0';
    wizard.worker_thread = CreateThread(nullptr, 0, wizard_worker, nullptr, 0, nullptr);
    if (wizard.worker_thread)
        return;
    // Without a worker the task cannot run: it ends as failed, so the page
    // offers what follows a failure instead of waiting for ever.
    wizard_format(wizard.result_text, sizeof wizard.result_text,
                  "Der Vorgang lässt sich nicht starten (Windows-Fehler %lu)", GetLastError());
    wizard_on_task_done(task, 1);
}

// The run's text with CR LF line ends into the result field.
static void show_result_text(const char *text)
{
    char *crlf = (char *)malloc(WIZARD_CRLF_OUT);
    char16_t *w = (char16_t *)calloc(6001, sizeof *w);
    if (crlf && w) {
        wizard_crlf(text, crlf);
        wizard_show_text(crlf, w, 6000);
        SetWindowTextW(wizard.result_field, (const wchar_t *)w);
    }
    free(crlf);
    free(w);
}

void wizard_on_task_done(int task, int result)
{
    setup_context *ctx = wizard.ctx;
    wizard.busy = 0;
    if (task == WIZARD_TASK_CONNECT) {
        if (result != 0) {
            wizard.connect_state = 2;
            msg_finish_sentence(wizard.result_text, sizeof wizard.result_text);
            char16_t sentence[701];
            wizard_show_text(wizard.result_text, sentence, 700);
            wchar_t status[900];
            wizard_format_wide(status, 900,
                               L"Die Liste der Komponenten lässt sich nicht laden.\r\n\r\n%ls",
                               (const wchar_t *)sentence);
            wizard_set_status_height(120);
            SetWindowTextW(wizard.status_text, status);
            wizard_show_page(0);
            wizard_focus(wizard.retry_button);
            return;
        }
        wizard.connect_state = 1;
        wizard_fill_after_connect();
        return;
    }
    const wchar_t *title;
    if (result == 0) {
        title = ctx->mode == SETUP_MODE_UNINSTALL ? L"orvantis wurde entfernt"
                                                  : L"orvantis ist eingerichtet";
        show_result_text(ctx->report);
    } else {
        title = ctx->mode == SETUP_MODE_REPAIR      ? L"Die Reparatur ist fehlgeschlagen"
                : ctx->mode == SETUP_MODE_UNINSTALL ? L"Die Deinstallation ist fehlgeschlagen"
                : ctx->mode == SETUP_MODE_MODIFY    ? L"Die Änderung ist fehlgeschlagen"
                                                    : L"Die Installation ist fehlgeschlagen";
        msg_finish_sentence(wizard.result_text, sizeof wizard.result_text);
        show_result_text(wizard.result_text);
    }
    SetWindowTextW(wizard.result_title, title);
    wizard.run_result = result;
    wizard.finished = 1;
    wizard.history_count = 0;
    wizard_show_page(9);
    wizard_focus(wizard.next_button);
}

// Page 8 and the run.
static void start_run(void)
{
    setup_context *ctx = wizard.ctx;
    const wchar_t *title = ctx->mode == SETUP_MODE_REPAIR      ? L"Reparatur läuft"
                           : ctx->mode == SETUP_MODE_UNINSTALL ? L"Deinstallation läuft"
                           : ctx->mode == SETUP_MODE_MODIFY    ? L"Änderung läuft"
                                                               : L"Installation läuft";
    SetWindowTextW(wizard.progress_title, title);
    wizard_history_push(wizard.history, &wizard.history_count, 7);
    wizard_show_page(8);
    SetWindowTextW(wizard.step_line, L"Wird vorbereitet …");
    wizard_start_task(ctx->mode == SETUP_MODE_UNINSTALL ? WIZARD_TASK_UNINSTALL
                                                        : WIZARD_TASK_INSTALL);
}

void wizard_next(void)
{
    int p = wizard.page;
    if (!wizard_read_page(p)) {
        if (wizard.refused)
            DestroyWindow(wizard.main_window);
        return;
    }
    int next = wizard_next_page(wizard.ctx, p, wizard.custom_chosen);
    if (next == WIZARD_NEXT_NONE)
        return;
    if (next == WIZARD_NEXT_CLOSE) {
        DestroyWindow(wizard.main_window);
        return;
    }
    if (next == WIZARD_NEXT_RUN) {
        start_run();
        return;
    }
    if (next == 7)
        wizard_build_summary();
    wizard_history_push(wizard.history, &wizard.history_count, p);
    wizard_show_page(next);
}

// Asks whether to cancel; Yes destroys the window.
static void ask_cancel(void)
{
    if (wizard_message_box(L"Die Einrichtung wirklich abbrechen?", MB_ICONQUESTION | MB_YESNO) ==
        IDYES)
        DestroyWindow(wizard.main_window);
}

// Cancel (also Escape) and the close box: after the run there is nothing
// left to cancel, and the window closes as "Fertig" and "Schließen" close it.
static void close_or_ask(void)
{
    if (wizard.page == 9 || wizard.finished)
        DestroyWindow(wizard.main_window);
    else
        ask_cancel();
}

static void on_step(WPARAM wp, char *english)
{
    if (!english)
        return;
    char german[300];
    setup_step_text(wizard.ctx, english, german, sizeof german);
    free(english);
    char16_t text[301];
    wizard_show_text(german, text, 300);
    wizard_step_view v;
    wizard_step_show((uint64_t)wp, text, &v);
    SetWindowTextW(wizard.step_line, (const wchar_t *)v.line);
    wizard.step_pos = v.pos;
    wizard.step_count = v.count;
    if (!v.marquee) {
        SendMessageW(wizard.progress_bar, PBM_SETPOS, (WPARAM)v.bar, 0);
    } else {
        LONG style = GetWindowLongW(wizard.progress_bar, GWL_STYLE);
        SetWindowLongW(wizard.progress_bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(wizard.progress_bar, PBM_SETMARQUEE, TRUE, 30);
    }
    SetWindowTextW(wizard.bytes_line, L"");
}

static void on_bytes(uint64_t done, uint64_t total)
{
    int32_t bar = wizard_bytes_bar(wizard.step_pos, wizard.step_count, done, total);
    if (bar >= 0)
        SendMessageW(wizard.progress_bar, PBM_SETPOS, (WPARAM)bar, 0);
    char a[32], b[32];
    format_size(done * 1024, a, sizeof a);
    format_size(total * 1024, b, sizeof b);
    char16_t wa[33], wb[33];
    wizard_show_text(a, wa, 32);
    wizard_show_text(b, wb, 32);
    wchar_t line[100];
    wizard_format_wide(line, 100, L"%ls von %ls", (const wchar_t *)wa, (const wchar_t *)wb);
    SetWindowTextW(wizard.bytes_line, line);
}

static void on_command(WPARAM wp)
{
    switch (LOWORD(wp)) {
    case WIZARD_ID_NEXT:
        if (IsWindowEnabled(wizard.next_button))
            wizard_next();
        break;
    case WIZARD_ID_CANCEL:
        if (IsWindowEnabled(wizard.cancel_button))
            close_or_ask();
        break;
    case WIZARD_ID_BACK:
        // Also a command sent while Back is disabled (pages 0 and 8) does nothing.
        if (wizard.history_count > 0 && IsWindowEnabled(wizard.back_button))
            wizard_show_page(wizard_history_pop(wizard.history, &wizard.history_count));
        break;
    case WIZARD_ID_BROWSE:
        wizard_browse_folder();
        break;
    case WIZARD_ID_CERT:
        wizard_browse_cert();
        break;
    case WIZARD_ID_CONNECT:
    case WIZARD_ID_LINK:
    case WIZARD_ID_SHARE:
        wizard_set_dependents(LOWORD(wp));
        break;
    case WIZARD_ID_RETRY:
        if (wizard.busy)
            break;
        wizard.connect_state = 0;
        SetWindowTextW(wizard.status_text, L"Verbindung zum Update-Server wird hergestellt …");
        wizard_show_page(0);
        wizard_focus(wizard.cancel_button);
        wizard_start_task(WIZARD_TASK_CONNECT);
        break;
    default:
        break;
    }
}

static void on_timer(void)
{
    // A message box's own loop delivers the ticks too: while one is open the
    // tick waits, or each would open another box.
    if (wizard.busy || wizard.modal)
        return;
    if (wizard.page == 9 || wizard.connect_state == 2) {
        DestroyWindow(wizard.main_window);
        return;
    }
    if (IsWindowEnabled(wizard.next_button))
        wizard_next();
}

LRESULT CALLBACK wizard_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_COMMAND: {
        int id = LOWORD(wp);
        if (id == WIZARD_ID_NEXT || id == WIZARD_ID_CANCEL || id == WIZARD_ID_BACK ||
            id == WIZARD_ID_BROWSE || id == WIZARD_ID_CERT || id == WIZARD_ID_CONNECT ||
            id == WIZARD_ID_RETRY || id == WIZARD_ID_LINK || id == WIZARD_ID_SHARE) {
            on_command(wp);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
    case WM_TIMER:
        if (wp == WIZARD_TIMER_ID)
            on_timer();
        return 0;
    case WM_CLOSE:
        if (wizard.busy)
            return 0;
        if (wizard.test_mode)
            DestroyWindow(hwnd);
        else
            close_or_ask();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case DM_GETDEFID:
        // Enter presses the focused push button (retry, browse, Back), else Next.
        return MAKELONG(wizard_default_id(), DC_HASDEFID);
    case WM_ACTIVATE:
        wizard_activated(hwnd, wp);
        return 0;
    case WM_DPICHANGED:
        wizard_dpi_changed(wp, lp);
        return 0;
    case WM_SETUP_STEP:
        on_step(wp, (char *)lp);
        return 0;
    case WM_SETUP_BYTES:
        on_bytes((uint64_t)wp, (uint64_t)lp);
        return 0;
    case WM_SETUP_STATUS:
        free((char *)lp);
        return 0;
    case WM_SETUP_DONE:
        if (wizard.worker_thread) {
            WaitForSingleObject(wizard.worker_thread, INFINITE);
            CloseHandle(wizard.worker_thread);
            wizard.worker_thread = nullptr;
        }
        wizard_on_task_done((int)wp, (int)lp);
        return 0;
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

int wizard_create(setup_context *ctx)
{
    memset(&wizard, 0, sizeof wizard);
    layout_count = 0;
    wizard.ctx = ctx;
    ctx->callbacks.callback_user = &wizard;
    ctx->front_end = SETUP_FRONT_WIZARD;
    ctx->callbacks.step_fn = wizard_post_step;
    ctx->callbacks.bytes_fn = wizard_post_bytes;
    ctx->callbacks.message_fn = wizard_post_status;
    wizard.test_mode = getenv("ORV_SETUP_GUI_TEST") != nullptr;
    return wizard_create_window();
}

int wizard_run(setup_context *ctx)
{
    if (wizard_create(ctx) != 0)
        return 1;
    wizard_start_task(WIZARD_TASK_CONNECT);
    if (wizard.test_mode)
        SetTimer(wizard.main_window, WIZARD_TIMER_ID, WIZARD_TIMER_MS, nullptr);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(wizard.main_window, &m)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        wizard_follow_focus();
    }
    if (wizard.worker_thread)
        // Closed while the connect task still runs: it is neither waited for
        // nor stopped, and the process ends before anything it uses is torn down.
        wizard_end_process(1);
    if (!wizard.finished)
        return 1;
    return wizard.run_result == 0 ? 0 : 1;
}
