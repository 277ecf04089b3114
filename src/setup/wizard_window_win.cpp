// The setup window and its layout: window classes, fonts, icon, the controls
// added to pages and to the component panel with their 96-DPI rectangles,
// the panel's scrolling, the read-only fields' word breaking and the new
// layout when Windows moves the window to a monitor of another DPI.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <uxtheme.h>
#include <vssym32.h>

#include "setup_text.h"
#include "setup_win.h"
#include "text.h"
#include "wizard_win.h"

wizard_state wizard;

static const wchar_t kMainClass[] = L"OrvSetupWnd";
static const wchar_t kPanelClass[] = L"OrvSetupComps";
static const DWORD kMainStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

int32_t wizard_px(int32_t v)
{
    return wizard_scaled(v, wizard.dpi);
}

int wizard_format_wide(wchar_t *buf, size_t size, const wchar_t *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = wizard_vformat16((char16_t *)buf, size, (const char16_t *)fmt, ap);
    va_end(ap);
    return n;
}

int wizard_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = setup_vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

// text as it is into out: at most limit units, empty when it does not fit.
static void convert_text(const char *text, char16_t *out, size_t limit)
{
    if (win_text_utf16(text, (wchar_t *)out, (int)(limit + 1)) <= 0)
        out[0] = 0;
}

// The UTF-16 units of text (without the NUL).
static size_t text_units(const char *text)
{
    int n = win_text_utf16(text, nullptr, 0);
    return n > 0 ? (size_t)n - 1 : 0;
}

void wizard_show_text(const char *text, char16_t *out, size_t limit)
{
    out[0] = 0;
    if (!text)
        return;
    convert_text(text, out, limit);
    if (!out[0] || !text_has_controls(text))
        return;
    // What a file, the command line or the server put into a text shows its
    // control characters escaped. The escapes make it longer: a text that
    // fits as it is gets as much of its escaped form as fits, cut where
    // text_escape_controls cuts (never inside an escape or a character); the
    // longest such cut is found by halving.
    size_t n = text_escape_controls(text, nullptr, 0);
    char *shown = (char *)malloc(n + 1);
    out[0] = 0;
    if (!shown)
        return;
    text_escape_controls(text, shown, n + 1);
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = lo + (hi - lo + 1) / 2;
        text_escape_controls(text, shown, mid + 1);
        if (text_units(shown) <= limit)
            lo = mid;
        else
            hi = mid - 1;
    }
    text_escape_controls(text, shown, lo + 1);
    convert_text(shown, out, limit);
    free(shown);
}

void wizard_set_text(HWND control, const char *text, size_t limit)
{
    char16_t *w = (char16_t *)calloc(limit + 1, sizeof *w);
    if (!w) {
        SetWindowTextW(control, L"");
        return;
    }
    // A field keeps its value as it is: what it shows is what Next reads back.
    if (text)
        convert_text(text, w, limit);
    SetWindowTextW(control, (const wchar_t *)w);
    free(w);
}

// Creates a child of parent at the scaled rectangle with the body font and
// records the 96-DPI rectangle while the table has room.
static HWND add_control(HWND parent, const wchar_t *cls, const wchar_t *text, DWORD style, int x,
                        int y, int width, int height, int id)
{
    HWND h = CreateWindowExW(0, cls, text, style, wizard_px(x), wizard_px(y), wizard_px(width),
                             wizard_px(height), parent, (HMENU)(INT_PTR)id,
                             GetModuleHandleW(nullptr), nullptr);
    if (h)
        SendMessageW(h, WM_SETFONT, (WPARAM)wizard.body_font, TRUE);
    wizard_layout_add(h, x, y, width, height, 0, 0);
    return h;
}

HWND wizard_add_page_control(int page, const wchar_t *cls, const wchar_t *text, DWORD style, int x,
                             int y, int width, int height, int id)
{
    HWND h = add_control(wizard.main_window, cls, text, style | WS_CHILD, x, y, width, height, id);
    if (page >= 0 && page < WIZARD_PAGES &&
        wizard.page_control_count[page] < WIZARD_PAGE_CONTROLS)
        wizard.page_controls[page][wizard.page_control_count[page]++] = h;
    return h;
}

HWND wizard_add_panel_control(const wchar_t *cls, const wchar_t *text, DWORD style, int x, int y,
                              int width, int height)
{
    return add_control(wizard.panel, cls, text, style | WS_CHILD | WS_VISIBLE, x, y, width, height,
                       -1);
}

void wizard_create_fonts(void)
{
    NONCLIENTMETRICSW ncm;
    ZeroMemory(&ncm, sizeof ncm);
    // The record's size with the padded border width, as Windows since Vista
    // knows it.
    ncm.cbSize = 504;
    LOGFONTW lf;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, 504, &ncm, 0))
        lf = ncm.lfMessageFont;
    else
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    lf.lfHeight = wizard_body_height(lf.lfHeight, wizard.dpi, base_dpi);
    wizard.body_font = CreateFontIndirectW(&lf);
    lf.lfWeight = 600;
    lf.lfHeight = wizard_title_height(lf.lfHeight);
    wizard.title_font = CreateFontIndirectW(&lf);
}

void wizard_set_icon(void)
{
    int size = wizard_px(16);
    HICON icon = (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size,
                                   size, LR_DEFAULTCOLOR);
    if (!icon)
        return;
    HICON old = (HICON)SendMessageW(wizard.main_window, WM_SETICON, ICON_SMALL, (LPARAM)icon);
    if (old)
        DestroyIcon(old);
}

void wizard_set_status_height(int height)
{
    int i = wizard_layout_find(wizard.status_text);
    if (i >= 0) {
        layout_table[i].width = 540;
        layout_table[i].height = height;
    }
    SetWindowPos(wizard.status_text, nullptr, 0, 0, wizard_px(540), wizard_px(height),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The panel's client height in pixels.
static int panel_client_height(void)
{
    RECT rc = {0, 0, 0, 0};
    GetClientRect(wizard.panel, &rc);
    return rc.bottom - rc.top;
}

void wizard_panel_scroll_to(int pos)
{
    pos = wizard_scroll_clamp(pos, wizard_px(wizard.content_height), panel_client_height());
    if (pos == wizard.scroll_pos)
        return;
    ScrollWindowEx(wizard.panel, 0, wizard.scroll_pos - pos, nullptr, nullptr, nullptr, nullptr,
                   SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
    wizard.scroll_pos = pos;
    SetScrollPos(wizard.panel, SB_VERT, pos, TRUE);
}

// The themed list-box border over the default frame.
static void panel_paint_frame(HWND hwnd)
{
    HTHEME theme = OpenThemeData(hwnd, L"ListBox");
    if (!theme)
        return;
    RECT win, client;
    GetWindowRect(hwnd, &win);
    GetClientRect(hwnd, &client);
    MapWindowPoints(hwnd, nullptr, (POINT *)&client, 2);
    int edge = client.top - win.top;
    OffsetRect(&win, -win.left, -win.top);
    RECT inner = win;
    InflateRect(&inner, -edge, -edge);
    HDC dc = GetWindowDC(hwnd);
    if (dc) {
        ExcludeClipRect(dc, inner.left, inner.top, inner.right, inner.bottom);
        int part = (GetWindowLongW(hwnd, GWL_STYLE) & WS_VSCROLL) ? 4 : 3;
        DrawThemeBackground(theme, dc, part, 1, &win, nullptr);
        ReleaseDC(hwnd, dc);
    }
    CloseThemeData(theme);
}

LRESULT CALLBACK wizard_panel_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_NCPAINT:
        DefWindowProcW(hwnd, msg, wp, lp);
        panel_paint_frame(hwnd);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wp) == BN_SETFOCUS) {
            for (int i = 0; i < WIZARD_ITEMS; i++) {
                if (!wizard.item_checkbox[i] || wizard.item_checkbox[i] != (HWND)lp)
                    continue;
                int pos = wizard_focus_pos(wizard.item_y[i], wizard.item_height[i],
                                           wizard.scroll_pos, panel_client_height(), wizard.dpi);
                if (pos != wizard.scroll_pos)
                    wizard_panel_scroll_to(pos);
                break;
            }
        }
        return 0;
    case WM_VSCROLL: {
        int track = wizard.scroll_pos;
        int code = LOWORD(wp);
        if (code == SB_THUMBPOSITION || code == SB_THUMBTRACK) {
            SCROLLINFO si = {sizeof si, SIF_TRACKPOS, 0, 0, 0, 0, 0};
            if (GetScrollInfo(hwnd, SB_VERT, &si))
                track = si.nTrackPos;
        }
        wizard_panel_scroll_to(wizard_vscroll_pos(code, wizard.scroll_pos, panel_client_height(),
                                                  track, wizard.content_height, wizard.dpi));
        return 0;
    }
    case WM_MOUSEWHEEL: {
        UINT lines = 3;
        UINT asked = lines;
        if (SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &asked, 0))
            lines = asked;
        int n = lines == WHEEL_PAGESCROLL ? -1 : (int)lines;
        wizard_panel_scroll_to(
            wizard_wheel_pos(wizard.scroll_pos, (short)HIWORD(wp), n, wizard.dpi));
        return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        SetBkColor((HDC)wp, GetSysColor(COLOR_WINDOW));
        SetTextColor((HDC)wp, GetSysColor(COLOR_WINDOWTEXT));
        return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
    default:
        return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

int CALLBACK wizard_word_break(LPWSTR text, int index, int count, int code)
{
    return wizard_word_break_at((const char16_t *)text, index, count, code);
}

// Registers a class once per process; a second wizard in one process (the
// tests) finds it registered.
static void register_class(const wchar_t *name, WNDPROC proc, int with_icon, int background)
{
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(INT_PTR)(background + 1);
    wc.lpszClassName = name;
    if (with_icon) {
        wc.hIcon = LoadIconW(inst, MAKEINTRESOURCEW(1));
        wc.hIconSm = (HICON)LoadImageW(inst, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON),
                                       GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    }
    RegisterClassExW(&wc);
}

int wizard_create_window(void)
{
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    HDC screen = GetDC(nullptr);
    wizard.dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    if (wizard.dpi < 96)
        wizard.dpi = 96;
    base_dpi = wizard.dpi;
    wizard_create_fonts();

    register_class(kMainClass, wizard_proc, 1, COLOR_BTNFACE);
    register_class(kPanelClass, wizard_panel_proc, 0, COLOR_WINDOW);

    RECT rc = {0, 0, wizard_px(580), wizard_px(410)};
    AdjustWindowRect(&rc, kMainStyle, FALSE);
    wizard.main_window = CreateWindowExW(WS_EX_APPWINDOW, kMainClass, L"orvantis Setup", kMainStyle,
                                         CW_USEDEFAULT, CW_USEDEFAULT, rc.right - rc.left,
                                         rc.bottom - rc.top, nullptr, nullptr,
                                         GetModuleHandleW(nullptr), nullptr);
    if (!wizard.main_window)
        return 1;

    wizard_set_icon();
    wizard_build_pages();

    HWND sep = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ETCHEDHORZ, 0,
                               wizard_px(346), wizard_px(580), 2, wizard.main_window,
                               (HMENU)(INT_PTR)-1, GetModuleHandleW(nullptr), nullptr);
    wizard_layout_add(sep, 0, 346, 580, 2, 2, 0);

    struct {
        HWND *out;
        int x, id;
        const wchar_t *text;
        DWORD style;
    } buttons[] = {
        {&wizard.back_button, 290, WIZARD_ID_BACK, L"< Zurück", 0},
        {&wizard.next_button, 384, WIZARD_ID_NEXT, L"Weiter >", BS_DEFPUSHBUTTON},
        {&wizard.cancel_button, 478, WIZARD_ID_CANCEL, L"Abbrechen", 0},
    };
    for (auto &b : buttons)
        *b.out = add_control(wizard.main_window, L"BUTTON", b.text,
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | b.style, b.x, 366, 88, 28, b.id);

    ShowWindow(wizard.main_window, SW_SHOW);
    wizard_show_page(0);
    return 0;
}

void wizard_dpi_changed(WPARAM wp, LPARAM lp)
{
    wizard.dpi = HIWORD(wp);
    HFONT old_body = wizard.body_font, old_title = wizard.title_font;
    wizard_create_fonts();
    for (int i = 0; i < layout_count && i < WIZARD_LAYOUT_MAX; i++) {
        const layout_entry *e = &layout_table[i];
        HWND h = (HWND)e->window;
        if (!h)
            continue;
        SendMessageW(h, WM_SETFONT, (WPARAM)(e->title_font ? wizard.title_font : wizard.body_font),
                     FALSE);
        int32_t r[4];
        wizard_layout_place(e, wizard.dpi, r);
        SetWindowPos(h, nullptr, r[0], r[1], r[2], r[3], SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (old_body)
        DeleteObject(old_body);
    if (old_title)
        DeleteObject(old_title);
    if (wizard.panel) {
        wizard.scroll_pos = 0;
        SCROLLINFO si = {sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0,
                         wizard_px(wizard.content_height) - 1, (UINT)panel_client_height(), 0, 0};
        SetScrollInfo(wizard.panel, SB_VERT, &si, TRUE);
    }
    wizard_set_icon();
    const RECT *r = (const RECT *)lp;
    if (r)
        SetWindowPos(wizard.main_window, nullptr, r->left, r->top, r->right - r->left,
                     r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(wizard.main_window, nullptr, TRUE);
}
