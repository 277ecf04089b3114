// The setup window: one top-level window built in code, its ten pages, the
// component panel, the worker thread of the long tasks and the message loop.
#pragma once
#include <windows.h>

#include "orv_attr.h"
#include "setup_context.h"
#include "wizard.h"

// Messages the worker posts to the window.
enum {
    WM_SETUP_STEP = WM_APP + 1,   // wParam index << 16 | count, lParam a heap copy of the step
    WM_SETUP_BYTES = WM_APP + 2,  // wParam done, lParam total, both in KiB
    WM_SETUP_STATUS = WM_APP + 3, // lParam a heap copy of a status text
    WM_SETUP_DONE = WM_APP + 4    // wParam the task, lParam its result
};

// Command ids and the test-mode timer.
enum {
    WIZARD_ID_NEXT = 1,
    WIZARD_ID_CANCEL = 2,
    WIZARD_ID_BACK = 100,
    WIZARD_ID_BROWSE = 103,
    WIZARD_ID_CERT = 104,
    WIZARD_ID_CONNECT = 105,
    WIZARD_ID_RETRY = 106,
    WIZARD_ID_LINK = 112,
    WIZARD_ID_SHARE = 113,
    WIZARD_ID_MODIFY = 120,
    WIZARD_ID_REPAIR = 121,
    WIZARD_ID_UNINSTALL = 122,
    WIZARD_ID_CLIENT = 130,
    WIZARD_ID_CUSTOM = 131,
    WIZARD_TIMER_ID = 900,
    WIZARD_TIMER_MS = 250
};

// The worker's tasks.
enum { WIZARD_TASK_CONNECT = 0, WIZARD_TASK_INSTALL = 1, WIZARD_TASK_UNINSTALL = 2 };

// The wizard's one state record; zeroed when the wizard starts.
struct wizard_state {
    setup_context *ctx;               // the run's context, lent by main
    HWND main_window;                 // the wizard window
    HWND back_button, next_button, cancel_button; // the button row
    HFONT body_font, title_font;      // the window's two fonts
    int32_t dpi;                      // the window's current DPI
    int32_t page;                     // the page shown
    int32_t history[WIZARD_HISTORY];  // pages to return to with Back
    int32_t history_count;            // used entries of history
    HWND page_controls[WIZARD_PAGES][WIZARD_PAGE_CONTROLS]; // each page's controls
    int32_t page_control_count[WIZARD_PAGES]; // used entries of each row
    // ---- page controls ----
    HWND status_text;                 // page 0: connection status
    HWND retry_button;                // page 0: connect again
    HWND modify_radio, repair_radio, uninstall_radio; // page 0: maintenance choice
    HWND client_radio, custom_radio;  // page 1: what to install
    HWND install_dir_field;           // page 1: the folder
    HWND item_checkbox[WIZARD_ITEMS]; // page 2: one per catalog index, null without one
    HWND panel;                       // page 2: the component panel
    int32_t item_y[WIZARD_ITEMS];     // checkbox y (96-DPI units)
    int32_t item_height[WIZARD_ITEMS];// checkbox plus description height
    int32_t content_height;           // the list's height (96-DPI units)
    int32_t scroll_pos;               // the panel's scroll position (pixels)
    HWND daily_checkbox, channel_field; // page 3
    HWND connect_checkbox, server_field, server_dir_field, cert_field, api_key_field,
        test_checkbox;                // page 4
    HWND connect_dependents[12];      // page 4: enabled with its checkbox
    int32_t connect_dependent_count;  // used entries
    HWND link_checkbox, user_field, admin_radio, view_radio; // page 5
    HWND link_dependents[8];          // page 5: enabled with its checkbox
    int32_t link_dependent_count;     // used entries
    HWND share_checkbox, share_view_radio, share_change_radio; // page 6
    HWND share_dependents[6];         // page 6: enabled with its checkbox
    int32_t share_dependent_count;    // used entries
    int32_t release_now;              // the sharing when the pages were built
    HWND summary_field, purge_checkbox; // page 7
    HWND progress_title, progress_bar, step_line, bytes_line; // page 8
    HWND result_field, result_title;  // page 9
    // ---- task fields ----
    uint64_t step_pos;                // current step, at most step_count
    uint64_t step_count;              // steps of the run as last reported
    HANDLE worker_thread;             // the worker to be joined, or null
    int32_t task;                     // WIZARD_TASK_*
    int32_t busy;                     // 1 from just before a worker starts until its end is handled
    int32_t connect_state;            // 0 connecting, 1 catalog loaded, 2 failed
    int32_t custom_chosen;            // 1: page 1 was left with the own choice
    int32_t finished;                 // 1 once a run's result is shown
    int32_t run_result;               // the run's result
    char result_text[WIZARD_RESULT_TEXT]; // the worker's message (UTF-8)
    int32_t test_mode;                // 1: ORV_SETUP_GUI_TEST was set
    int32_t modal;                    // a message box or dialog of the wizard is open
    int32_t refused;                  // test mode: a page was refused and the wizard ends
    HWND focus_control;               // the control that gets the focus back when the window is active again
    HWND marked_focus;                // the focus the default button was last drawn for
};

// The process's one wizard.
extern wizard_state wizard;

// How the wizard ends the process when it closes while a worker still runs
// (ExitProcess); tests put their own in.
extern void (*wizard_end_process)(UINT code);

// ---- window and layout ----
int32_t wizard_px(int32_t v);  // v scaled to the current dpi
HWND wizard_add_page_control(int page, const wchar_t *cls, const wchar_t *text, DWORD style, int x,
                             int y, int width, int height, int id);
HWND wizard_add_panel_control(const wchar_t *cls, const wchar_t *text, DWORD style, int x, int y,
                              int width, int height);
void wizard_create_fonts(void);
void wizard_set_icon(void);
void wizard_set_status_height(int height);
void wizard_panel_scroll_to(int pos);
LRESULT CALLBACK wizard_panel_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
int CALLBACK wizard_word_break(LPWSTR text, int index, int count, int code);
int wizard_format_wide(wchar_t *buf, size_t size, const wchar_t *fmt, ...);
int wizard_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// A context text (UTF-8, else the ANSI code page) for a control, at most
// limit units into out (limit + 1): empty when it does not fit; its control
// characters but its line breaks shown escaped ("\x1b"), cut at limit when the
// escapes make it longer.
void wizard_show_text(const char *text, char16_t *out, size_t limit);
// An edit field's text from the context, at most limit units, converted as
// wizard_show_text does but unescaped: the field's value is read back on Next.
void wizard_set_text(HWND control, const char *text, size_t limit);
// Steps of the window's start: common controls, COM, DPI, fonts, classes, the
// window, icon, pages, separator and buttons. 0, or 1 when the window cannot
// be created.
int wizard_create_window(void);
// WM_DPICHANGED.
void wizard_dpi_changed(WPARAM wp, LPARAM lp);

// ---- pages ----
void wizard_build_pages(void);
void wizard_show_page(int page);
int wizard_read_page(int page);
void wizard_fill_after_connect(void);
void wizard_build_component_list(void);
void wizard_build_summary(void);
void wizard_set_dependents(int id);
void wizard_browse_folder(void);
void wizard_browse_cert(void);
// MessageBoxW on the window with the wizard's caption; no timer tick acts meanwhile.
int wizard_message_box(const wchar_t *text, UINT type);
// The control a page change puts the focus on: the page's first enabled
// control in Tab order (of a radio group the checked one), else Next, else
// Cancel; null when none of them can take it.
HWND wizard_first_control(int page);
// Puts the focus on h, or on the window itself when h is null, and keeps it
// for the window's next activation; an edit field's text is selected, as Tab
// selects it.
void wizard_focus(HWND h);
// WM_ACTIVATE: the focus is kept when the window goes inactive and put back
// when it comes back (Windows would put it on the window itself).
void wizard_activated(HWND hwnd, WPARAM wp);
// The command Enter presses (DM_GETDEFID): the focused push button's id,
// Next's for every other control.
int wizard_default_id(void);
// Draws the button Enter presses as the default one once the focus has
// moved; the message loop calls it after every message.
void wizard_follow_focus(void);

// ---- navigation and tasks ----
// Zeroes the state, sets the callbacks and the test mode, builds the window
// and shows page 0. 0, or 1 when the window cannot be created.
int wizard_create(setup_context *ctx);
int wizard_run(setup_context *ctx);
LRESULT CALLBACK wizard_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
DWORD WINAPI wizard_worker(LPVOID unused);
int wizard_post_step(void *user, const char *step, size_t index, size_t count);
void wizard_post_bytes(void *user, uint64_t done, uint64_t total);
void wizard_post_status(void *user, int level, const char *text);
void wizard_on_task_done(int task, int result);
void wizard_next(void);
// Starts the worker for task; a worker that cannot start ends the task at once as failed.
void wizard_start_task(int task);
