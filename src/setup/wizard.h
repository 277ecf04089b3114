// The wizard's arithmetic and decisions that need no window: DPI scaling and
// the layout table, the UTF-16 formatter, word breaking, panel scrolling, the
// component list's geometry, the progress bar, the next-page table and the
// Back history, reading a page from the values of its controls, the summary
// text and the line ends of the result text. The window units use them, and
// the tests run them without a window.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "setup_context.h"
#include "setup_options.h"

enum {
    WIZARD_PAGES = 10,          // pages 0 to 9
    WIZARD_PAGE_CONTROLS = 32,  // controls listed per page
    WIZARD_LAYOUT_MAX = 360,    // scaled controls
    WIZARD_HISTORY = 16,        // pages Back can return to
    WIZARD_ITEMS = 32,          // component checkboxes in the panel
    WIZARD_RESULT_TEXT = 700,   // the worker's message
    WIZARD_SUMMARY_MAX = 3200,  // the summary text in UTF-16 units
    WIZARD_CRLF_IN = 5999,      // bytes of the result text that are converted
    WIZARD_CRLF_OUT = 7000,     // the converted result text's buffer
    WIZARD_MSG = 400            // a refusal's sentence
};

// What wizard_next_page answers besides a page number.
enum {
    WIZARD_NEXT_NONE = -1,  // nothing happens (page 8)
    WIZARD_NEXT_RUN = -2,   // page 8 and the run start (page 7)
    WIZARD_NEXT_CLOSE = -3  // the window is destroyed (page 9)
};

// Word-break request codes of an edit control's word-break procedure.
enum { WIZARD_WB_LEFT = 0, WIZARD_WB_RIGHT = 1, WIZARD_WB_ISDELIMITER = 2 };

// Scroll-bar request codes the panel handles.
enum {
    WIZARD_SB_LINEUP = 0,
    WIZARD_SB_LINEDOWN = 1,
    WIZARD_SB_PAGEUP = 2,
    WIZARD_SB_PAGEDOWN = 3,
    WIZARD_SB_THUMBPOSITION = 4,
    WIZARD_SB_THUMBTRACK = 5,
    WIZARD_SB_TOP = 6,
    WIZARD_SB_BOTTOM = 7
};

// One control that is placed again when the DPI changes.
struct layout_entry {
    void *window;          // the control
    int32_t x, y;          // position in 96-DPI units, relative to the parent's client area
    int32_t width, height; // size in 96-DPI units
    int32_t fixed_height;  // a height in device pixels never scaled; 0: scale height
    int32_t title_font;    // 1: the control uses the title font, 0: the body font
};

// The process's layout table; entries are never removed.
extern layout_entry layout_table[WIZARD_LAYOUT_MAX];
extern int32_t layout_count; // used entries
extern int32_t base_dpi;     // the DPI the window started with

// a * b / c rounded to the nearest integer, halves away from zero; -1 when c
// is 0 or the result does not fit 32 bits (as Windows' MulDiv).
int32_t wizard_muldiv(int32_t a, int32_t b, int32_t c);
// v 96-DPI units in pixels at dpi: wizard_muldiv(v, dpi, 96).
int32_t wizard_scaled(int32_t v, int32_t dpi);
// Appends an entry while the table has room: its index, or -1 when it is full.
int wizard_layout_add(void *window, int32_t x, int32_t y, int32_t width, int32_t height,
                      int32_t fixed_height, int32_t title_font);
// The index of the entry of window, or -1.
int wizard_layout_find(const void *window);
// The entry's pixel rectangle at dpi into out: x, y, width, height.
void wizard_layout_place(const layout_entry *e, int32_t dpi, int32_t out[4]);
// The body font's height at dpi from the message font's height at base.
int32_t wizard_body_height(int32_t height, int32_t dpi, int32_t base);
// The title font's height: the body's times 3 / 2, truncated toward zero.
int32_t wizard_title_height(int32_t body_height);

// Bounded UTF-16 formatting: "%ls" a UTF-16 text, "%hs" an 8-bit text (each
// byte one unit), "%u" and "%d" 32-bit numbers, "%%". Cut at cap - 1 units
// (never between the halves of a surrogate pair) and always terminated
// (cap > 0); the result is the length the whole text would have had.
int wizard_vformat16(char16_t *buf, size_t cap, const char16_t *fmt, va_list ap);
int wizard_format16(char16_t *buf, size_t cap, const char16_t *fmt, ...);
// Length of a terminated UTF-16 text.
size_t wizard_len16(const char16_t *s);
// Strict UTF-8 into UTF-16: 0, or -1 with out empty when text is not UTF-8 or
// needs more than limit units (out holds limit + 1).
int wizard_utf8_to16(const char *text, char16_t *out, size_t limit);
// How a context text becomes a control's text: at most limit units into out
// (limit + 1 units); empty when it cannot be converted.
typedef void (*wizard_show_fn)(const char *text, char16_t *out, size_t limit);

// The answer of the word-break procedure of the summary and result fields
// for the request code at index i of a text of n units.
int wizard_word_break_at(const char16_t *text, int i, int n, int code);

// A requested scroll position lowered to content_px - client_h, then raised
// to 0.
int32_t wizard_scroll_clamp(int32_t pos, int32_t content_px, int32_t client_h);
// The position a scroll-bar request asks for (not yet clamped); track is the
// thumb's tracking position, content_height in 96-DPI units.
int32_t wizard_vscroll_pos(int code, int32_t scroll_pos, int32_t client_h, int32_t track,
                           int32_t content_height, int32_t dpi);
// The position a wheel turn asks for: lines per notch as the system gives
// them (-1 one screen, counted as 10 lines).
int32_t wizard_wheel_pos(int32_t scroll_pos, int32_t delta, int32_t lines, int32_t dpi);
// The position that brings a focused item (96-DPI y and height) into view
// with 6 units of margin; scroll_pos when it is in view.
int32_t wizard_focus_pos(int32_t item_y, int32_t item_height, int32_t scroll_pos,
                         int32_t client_h, int32_t dpi);

// One component of the panel's list, as measured by the window.
struct wizard_list_item {
    int32_t present;      // 1: the component gets a checkbox
    int32_t has_text;     // 1: it has a description
    int32_t measured;     // the description's measured height in pixels
    int32_t line_height;  // the body font's line height in pixels (tmHeight)
};
// Where the list's controls go, in 96-DPI units.
struct wizard_list_geometry {
    int32_t item_y[WIZARD_ITEMS];       // checkbox y
    int32_t item_height[WIZARD_ITEMS];  // checkbox plus description
    int32_t text_height[WIZARD_ITEMS];  // the description's height; 0 without one
    int32_t content_height;             // the whole list
};
// The description's height from its measured pixels at dpi.
int32_t wizard_text_height(int32_t measured, int32_t line_height, int32_t dpi);
// Lays out n (at most 32) items from y 8 on.
void wizard_list_layout(const wizard_list_item *items, size_t n, int32_t dpi,
                        wizard_list_geometry *g);

// What a step message shows: the line, the bar and the step fields.
struct wizard_step_view {
    char16_t line[400];  // the step line
    uint64_t pos;        // step_pos
    uint64_t count;      // step_count
    int32_t marquee;     // 1: a single-step run, the bar moves as a marquee
    int32_t bar;         // the bar's position (0 to 1000) unless marquee
};
// The view of WM_SETUP_STEP's wParam (index << 16 | count) and German text.
void wizard_step_show(uint64_t wparam, const char16_t *text, wizard_step_view *v);
// The bar's position for bytes done of total (KiB) within the step, or -1
// when the bar does not move.
int32_t wizard_bytes_bar(uint64_t step_pos, uint64_t step_count, uint64_t done, uint64_t total);

// The result text with a CR before every LF that does not follow one: the
// first 5999 bytes of text into out (7000 bytes), a character cut by either
// limit left out. Returns the length.
size_t wizard_crlf(const char *text, char *out);

// The folder the browser's choice stands for: "orvantis" below folder, with
// one backslash between them also when folder ends in one (a drive's root).
// Cut at cap - 1 units; returns the whole length.
size_t wizard_folder_join(const char16_t *folder, char16_t *out, size_t cap);

// 1 when id is in the selection closed over its requirements.
int wizard_component_selected(setup_context *ctx, const char *id);
// The page after page (0 to 9) or a WIZARD_NEXT_* answer.
int wizard_next_page(setup_context *ctx, int page, int custom_chosen);
// Records page for Back while the history has room.
void wizard_history_push(int32_t *history, int32_t *count, int32_t page);
// The page Back returns to, or -1 when the history is empty.
int32_t wizard_history_pop(const int32_t *history, int32_t *count);

// The states and texts of a page's controls, read by the window (fields
// already converted; a field that could not be converted or does not fit is
// empty).
struct wizard_page_values {
    int32_t choice_visible;            // page 0: the maintenance choice is shown
    int32_t modify, repair, uninstall; // page 0: which radio button is checked
    char install_dir[512];             // page 1
    int32_t custom;                    // page 1: own choice checked
    int32_t has_checkbox[WIZARD_ITEMS];// page 2: the component has a checkbox
    int32_t checked[WIZARD_ITEMS];     // page 2: its checkbox is checked
    int32_t daily;                     // page 3
    char channel[64];                  // page 3
    int32_t connect;                   // page 4: the connection checkbox
    char server[256];                  // page 4
    char server_dir[64];               // page 4
    char cert[512];                    // page 4
    char api_key[300];                 // page 4
    int32_t test;                      // page 4: test checkbox
    int32_t link;                      // page 5: link checkbox
    int32_t admin;                     // page 5: admin radio button
    char user[256];                    // page 5, UTF-8
    int32_t share;                     // page 6: share checkbox
    int32_t share_change;              // page 6: change radio button
    int32_t purge;                     // page 7: purge checkbox
};

// The field a refused page is about, so that it gets the focus back.
enum {
    WIZARD_FIELD_NONE = 0,
    WIZARD_FIELD_INSTALL_DIR,
    WIZARD_FIELD_SERVER,
    WIZARD_FIELD_SERVER_DIR,
    WIZARD_FIELD_CERT,
    WIZARD_FIELD_API_KEY,
    WIZARD_FIELD_USER
};

// What reading a page needs beside the context, and what it hands back.
struct wizard_read_env {
    int32_t test_mode;     // the wizard runs itself: an unknown user switches the link off
    int32_t release_now;   // the sharing when the pages were built
    int32_t custom_chosen; // in and out: page 1's choice
    setup_fullpath_fn fullpath; // makes the typed folder absolute
    // win_check_user: 0 with the resolved name, or -1 with a German sentence.
    int (*check_user)(const char *name, char *full_out, int full_cap, char *err, size_t errlen);
    char shown_user[256];  // out: the resolved user for the field, when user_resolved
    int32_t user_resolved; // out: 1 when shown_user is to be put into the field
    int32_t refused_field; // out: WIZARD_FIELD_* of a refusal, NONE when the page is accepted
};
// Writes page's values into ctx: 1 when the wizard may go on, 0 with the
// refusal's sentence (UTF-8) in msg.
int wizard_read_values(setup_context *ctx, int page, const wizard_page_values *v,
                       wizard_read_env *env, char *msg, size_t msglen);

// The summary of page 7 for ctx (cap units, at most 3200 used), data_dir the
// data directory, release_now the sharing at start. Returns the length.
size_t wizard_summary_text(setup_context *ctx, const char *data_dir, int32_t release_now,
                           wizard_show_fn show, char16_t *out, size_t cap);
