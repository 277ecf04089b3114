// The setup window in this process: its size at 96, 120 and 144 DPI (a child
// of this test started with LogPixels set in the prefix), the separator and
// the buttons, the new layout after WM_DPICHANGED, the panel's wheel and Tab
// scrolling over 32 components, DM_GETDEFID, the test mode's refused page and
// timer ticks during a message box, and closing while the connect task hangs.
// gui
// resource-lock: logpixels
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "catalog.h"
#include "log.h"
#include "run_win.h"
#include "setup_options.h"
#include "test_util.h"
#include "wizard_win.h"

namespace {

// A window can be made only with a display.
bool display_available()
{
    HWND h = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    if (!h)
        return false;
    DestroyWindow(h);
    return true;
}

// Without DISPLAY the tests skip, as ctest does; with one (the run is meant
// to have a display) a window that cannot be made is a broken X server and
// fails, or the whole file would read as passed.
#define NEED_DISPLAY()                                                                    \
    do {                                                                                  \
        if (!display_available()) {                                                       \
            const char *d = getenv("DISPLAY");                                            \
            if (!d || !*d)                                                                \
                GTEST_SKIP() << "no display (run under xvfb-run)";                        \
            FAIL() << "no window can be made on DISPLAY=" << d;                           \
        }                                                                                 \
    } while (0)

// Per-monitor awareness, as the program's manifest asks for; without it
// Windows shows the window at 96 DPI, scaled.
void dpi_aware()
{
    typedef BOOL(WINAPI * set_fn)(HANDLE);
    set_fn set = (set_fn)(void *)GetProcAddress(GetModuleHandleW(L"user32.dll"),
                                               "SetProcessDpiAwarenessContext");
    if (set)
        set((HANDLE)-4);  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
}

// A catalog of 32 components with long titles and descriptions, one
// required; every one with a package for this computer.
std::string big_catalog()
{
    std::string pkgs, comps;
    for (int i = 0; i < 32; i++) {
        std::string id = "c" + std::to_string(i);
        pkgs += std::string(i ? ", " : "") + "{\"url\": \"p/" + id + ".pkg\", \"sha256\": \"" +
                std::string(64, 'a') +
                "\", \"size\": 1000, \"match\": {\"os\": \"windows\", \"arch\": \"x86_64\"}, "
                "\"component\": \"" +
                id + "\"}";
        // Odd ones have titles and descriptions too long to show.
        std::string title = "Komponente " + std::to_string(i) + " " + std::string(i % 2 ? 300 : 280, 'T');
        std::string desc;
        for (int w = 0; w < (i % 2 ? 30 : 15); w++)
            desc += "Beschreibungswort ";
        comps += std::string(i ? ", " : "") + "{\"id\": \"" + id + "\", \"title\": \"" + title +
                 "\", \"description\": \"" + desc + "\"" +
                 (i == 0 ? ", \"required\": true" : "") + "}";
    }
    return "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": 1, "
           "\"issued\": \"2026-01-01T00:00:00Z\", \"expires\": \"2099-01-01T00:00:00Z\", "
           "\"releases\": [{\"version\": \"1.0.0\", \"artifacts\": [" +
           pkgs + "]}], \"components\": [" + comps + "]}";
}

// A context for a wizard that touches nothing outside a temporary directory.
setup_context *new_context(const std::string &dir)
{
    setup_context *ctx = (setup_context *)calloc(1, sizeof *ctx);
    setup_options_base_defaults(ctx);
    snprintf(ctx->host_facts.os, sizeof ctx->host_facts.os, "windows");
    snprintf(ctx->host_facts.arch, sizeof ctx->host_facts.arch, "x86_64");
    snprintf(ctx->root, sizeof ctx->root, "%s\\root", dir.c_str());
    snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir,
             "%s\\install", dir.c_str());
    snprintf(ctx->updater_config.state_dir, sizeof ctx->updater_config.state_dir, "%s\\state",
             dir.c_str());
    return ctx;
}

// Handles what is queued for this thread.
void pump()
{
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (!wizard.main_window || !IsDialogMessageW(wizard.main_window, &m)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
        wizard_follow_focus();
    }
}

// The control's rectangle in its parent's client coordinates.
RECT child_rect(HWND h)
{
    RECT r;
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, GetParent(h), (POINT *)&r, 2);
    return r;
}

// A wizard with the big catalog loaded, as after a successful connection.
class WizardWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        NEED_DISPLAY();
        dir_ = test_temp_dir("wizard_win");
        ctx_ = new_context(dir_);
        std::string text = big_catalog();
        char msg[300] = "";
        ASSERT_EQ(catalog_parse(text.data(), text.size(), &ctx_->component_catalog, msg,
                                sizeof msg),
                  0)
            << msg;
        ctx_->catalog_loaded = 1;
        ASSERT_EQ(wizard_create(ctx_), 0);
        wizard_on_task_done(WIZARD_TASK_CONNECT, 0);
        pump();
    }
    void TearDown() override
    {
        if (wizard.main_window && IsWindow(wizard.main_window))
            DestroyWindow(wizard.main_window);
        pump();
        if (ctx_)
            catalog_free(&ctx_->component_catalog);
        free(ctx_);
    }

    std::string dir_;
    setup_context *ctx_ = nullptr;
};

} // namespace

// Started by the DPI test below in a child with LogPixels set; checks the
// sizes at that DPI and ends with the number of faults.
TEST(WizardWindowChild, SizesAtTheGivenDpi)
{
    const char *want = getenv("ORV_WIZARD_DPI");
    if (!want)
        GTEST_SKIP() << "runs as a child of WizardDpi.ClientAreaAndButtons";
    dpi_aware();
    int dpi = atoi(want);
    std::string dir = test_temp_dir("wizard_dpi");
    setup_context *ctx = new_context(dir);
    ASSERT_EQ(wizard_create(ctx), 0);
    EXPECT_EQ(wizard.dpi, dpi);
    RECT rc;
    GetClientRect(wizard.main_window, &rc);
    EXPECT_EQ(rc.right, wizard_scaled(580, dpi));
    EXPECT_EQ(rc.bottom, wizard_scaled(410, dpi));
    // The separator: the entry with a fixed height.
    HWND sep = nullptr;
    for (int i = 0; i < layout_count; i++)
        if (layout_table[i].fixed_height == 2)
            sep = (HWND)layout_table[i].window;
    ASSERT_NE(sep, nullptr);
    RECT s = child_rect(sep);
    EXPECT_EQ(s.top, wizard_scaled(346, dpi));
    EXPECT_EQ(s.bottom - s.top, 2);
    // Wine's etched line keeps a pixel of edge on either side.
    EXPECT_NEAR(s.right - s.left, wizard_scaled(580, dpi), 2);
    struct {
        HWND h;
        int x;
    } buttons[] = {{wizard.back_button, 290}, {wizard.next_button, 384}, {wizard.cancel_button, 478}};
    for (const auto &b : buttons) {
        RECT r = child_rect(b.h);
        EXPECT_EQ(r.left, wizard_scaled(b.x, dpi)) << b.x;
        EXPECT_EQ(r.top, wizard_scaled(366, dpi)) << b.x;
        EXPECT_EQ(r.right - r.left, wizard_scaled(88, dpi)) << b.x;
        EXPECT_EQ(r.bottom - r.top, wizard_scaled(28, dpi)) << b.x;
    }
    // Next moves to Cancel's place on the result page.
    wizard_show_page(9);
    EXPECT_EQ(child_rect(wizard.next_button).left, wizard_scaled(478, dpi));
    DestroyWindow(wizard.main_window);
    pump();
    free(ctx);
}

namespace {

// LogPixels of the prefix's user, set for the children and put back after.
struct log_pixels {
    DWORD old = 0;
    bool had = false;
    log_pixels()
    {
        DWORD size = sizeof old;
        had = RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels",
                           RRF_RT_REG_DWORD, nullptr, &old, &size) == ERROR_SUCCESS;
    }
    void set(DWORD dpi)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD,
                        &dpi, sizeof dpi);
    }
    ~log_pixels()
    {
        if (had)
            set(old);
        else
            RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels");
    }
};

std::string own_path()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

} // namespace

TEST(WizardDpi, ClientAreaAndButtons)
{
    NEED_DISPLAY();
    log_pixels lp;
    // 72 DPI is shown as 96.
    for (int dpi : {72, 96, 120, 144}) {
        lp.set((DWORD)dpi);
        char value[16];
        snprintf(value, sizeof value, "%d", dpi < 96 ? 96 : dpi);
        SetEnvironmentVariableA("ORV_WIZARD_DPI", value);
        test_proc p = test_run(own_path(), {"--gtest_filter=WizardWindowChild.*"}, 60000);
        SetEnvironmentVariableA("ORV_WIZARD_DPI", nullptr);
        EXPECT_EQ(p.exit_code, 0) << "at " << dpi << " DPI:\n" << p.out << p.err;
        EXPECT_NE(p.out.find("[  PASSED  ] 1 test"), std::string::npos) << p.out;
    }
}

namespace {

// Every control in the layout table stands at its table rectangle for dpi.
void expect_table_rects(int dpi)
{
    for (int i = 0; i < layout_count; i++) {
        int32_t want[4];
        wizard_layout_place(&layout_table[i], dpi, want);
        RECT r = child_rect((HWND)layout_table[i].window);
        EXPECT_TRUE(r.left == want[0] && r.top == want[1] && r.right - r.left == want[2] &&
                    r.bottom - r.top == want[3])
            << "entry " << i << " at " << dpi << " DPI: " << r.left << "," << r.top << " "
            << r.right - r.left << "x" << r.bottom - r.top << ", table " << want[0] << ","
            << want[1] << " " << want[2] << "x" << want[3];
    }
}

} // namespace

TEST_F(WizardWindow, DpiChangeThereAndBackIsExact)
{
    ASSERT_GT(layout_count, 100) << "pages and the 32 components";
    int from = wizard.dpi;
    SendMessageW(wizard.panel, WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)-240), 0);
    EXPECT_GT(wizard.scroll_pos, 0);
    RECT suggested = {100, 100, 100 + 900, 100 + 700};
    SendMessageW(wizard.main_window, WM_DPICHANGED, MAKEWPARAM(144, 144), (LPARAM)&suggested);
    EXPECT_EQ(wizard.dpi, 144);
    RECT next = child_rect(wizard.next_button);
    EXPECT_EQ(next.left, 576);
    EXPECT_EQ(next.top, 549);
    EXPECT_EQ(next.right - next.left, 132);
    EXPECT_EQ(next.bottom - next.top, 42);
    RECT win;
    GetWindowRect(wizard.main_window, &win);
    EXPECT_EQ(win.right - win.left, 900) << "the suggested rectangle";
    EXPECT_EQ(wizard.scroll_pos, 0) << "the list starts at its top again";
    expect_table_rects(144);

    SendMessageW(wizard.main_window, WM_DPICHANGED, MAKEWPARAM(from, from), (LPARAM)&suggested);
    expect_table_rects(from);

    // On the result page Next stands at Cancel's place, and a DPI change keeps it there.
    wizard_show_page(9);
    SendMessageW(wizard.main_window, WM_DPICHANGED, MAKEWPARAM(144, 144), (LPARAM)&suggested);
    EXPECT_EQ(child_rect(wizard.next_button).left, wizard_scaled(478, 144));
    SendMessageW(wizard.main_window, WM_DPICHANGED, MAKEWPARAM(from, from), (LPARAM)&suggested);
    EXPECT_EQ(child_rect(wizard.next_button).left, wizard_scaled(478, from));
}

TEST_F(WizardWindow, PanelScrollsByWheelAndTab)
{
    ASSERT_EQ(wizard.dpi, 96) << "this process is not DPI-aware";
    wizard_show_page(2);
    pump();
    ASSERT_NE(wizard.item_checkbox[31], nullptr);
    ASSERT_GT(wizard.content_height, 282) << "the list is longer than the panel";
    RECT first = child_rect(wizard.item_checkbox[1]);

    UINT lines = 3;
    SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
    SendMessageW(wizard.panel, WM_MOUSEWHEEL, MAKEWPARAM(0, (WORD)(short)-120), 0);
    EXPECT_EQ(wizard.scroll_pos, 20 * (int)lines) << "a notch down";
    RECT moved = child_rect(wizard.item_checkbox[1]);
    EXPECT_EQ(first.top - moved.top, wizard.scroll_pos) << "the checkboxes move with it";
    SendMessageW(wizard.panel, WM_MOUSEWHEEL, MAKEWPARAM(0, 120 * 5), 0);
    EXPECT_EQ(wizard.scroll_pos, 0) << "never above the top";
    SendMessageW(wizard.panel, WM_VSCROLL, SB_BOTTOM, 0);
    RECT client;
    GetClientRect(wizard.panel, &client);
    EXPECT_EQ(wizard.scroll_pos, wizard.content_height - client.bottom) << "never past the end";
    SendMessageW(wizard.panel, WM_VSCROLL, SB_TOP, 0);
    EXPECT_EQ(wizard.scroll_pos, 0);

    // Tab from the last checkbox in view to the next one brings it and its
    // description into view, 6 units below.
    SetForegroundWindow(wizard.main_window);
    int i = 1;
    while (i < 31 && wizard.item_y[i + 1] + wizard.item_height[i + 1] + 6 <= client.bottom)
        i++;
    SetFocus(wizard.item_checkbox[i]);
    pump();
    ASSERT_EQ(GetFocus(), wizard.item_checkbox[i]);
    EXPECT_EQ(wizard.scroll_pos, 0);
    MSG tab = {GetFocus(), WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
    EXPECT_TRUE(IsDialogMessageW(wizard.main_window, &tab));
    pump();
    EXPECT_EQ(GetFocus(), wizard.item_checkbox[i + 1]);
    EXPECT_EQ(wizard.scroll_pos,
              wizard.item_y[i + 1] + wizard.item_height[i + 1] + 6 - client.bottom);
    RECT shown = child_rect(wizard.item_checkbox[i + 1]);
    EXPECT_LE(shown.top + wizard.item_height[i + 1], client.bottom);
}

TEST_F(WizardWindow, LongCatalogIsCutNotOverflowed)
{
    // 32 components: each has its checkbox, the required one greyed and
    // checked; titles past 300 characters show as empty, shorter ones whole.
    for (int i = 0; i < 32; i++)
        ASSERT_NE(wizard.item_checkbox[i], nullptr) << i;
    EXPECT_FALSE(IsWindowEnabled(wizard.item_checkbox[0]));
    EXPECT_EQ(SendMessageW(wizard.item_checkbox[0], BM_GETCHECK, 0, 0), BST_CHECKED);
    wchar_t text[400];
    GetWindowTextW(wizard.item_checkbox[4], text, 400);
    EXPECT_EQ(wcslen(text), 293u);
    GetWindowTextW(wizard.item_checkbox[5], text, 400);
    EXPECT_EQ(wcslen(text), 0u) << "a title of 313 characters";
    EXPECT_LE(layout_count, WIZARD_LAYOUT_MAX);
    // The even descriptions take several lines, the odd ones (540 characters)
    // show as empty and take one.
    EXPECT_GT(wizard.item_height[4], 20 + 18 + 10);
    EXPECT_EQ(wizard.item_height[5], 20 + 18);
    EXPECT_EQ(wizard.item_y[6] - wizard.item_y[5], 18 + 28);
}

namespace {

bool has_style(HWND h, LONG style)
{
    return (GetWindowLongW(h, GWL_STYLE) & style) != 0;
}

std::wstring text_of(HWND h)
{
    wchar_t buf[7000];
    GetWindowTextW(h, buf, 7000);
    return buf;
}

} // namespace

TEST_F(WizardWindow, ButtonsAndChoicesFollowThePage)
{
    // connect 0 loading, 1 loaded, 2 failed; the visible, enabled and label
    // columns are Back, Next and Cancel's; choice: the maintenance radio
    // buttons shown; result: the run's result for page 9.
    struct {
        int page, mode, connect, result;
        const char *installed;
        int back_shown, back_on, next_on, cancel_shown, cancel_on, choice, retry;
        const wchar_t *label;
        int next_x;
    } cases[] = {
        {0, 0, 0, 0, "", 1, 0, 0, 1, 1, 0, 0, L"Weiter >", 384},
        {0, 0, 0, 0, "core", 1, 0, 0, 1, 1, 0, 0, L"Weiter >", 384},
        {0, 0, 2, 0, "core", 1, 0, 0, 1, 1, 0, 1, L"Weiter >", 384},
        {0, 1, 1, 0, "core", 1, 0, 1, 1, 1, 1, 0, L"Weiter >", 384},
        {0, 0, 1, 0, "", 1, 0, 1, 1, 1, 0, 0, L"Weiter >", 384},
        {3, 0, 1, 0, "", 1, 1, 1, 1, 1, 0, 0, L"Weiter >", 384},
        {7, 0, 1, 0, "", 1, 1, 1, 1, 1, 0, 0, L"Installieren", 384},
        {7, 1, 1, 0, "core", 1, 1, 1, 1, 1, 0, 0, L"Ändern", 384},
        {7, 2, 1, 0, "core", 1, 1, 1, 1, 1, 0, 0, L"Reparieren", 384},
        {7, 3, 1, 0, "core", 1, 1, 1, 1, 1, 0, 0, L"Entfernen", 384},
        {8, 0, 1, 0, "", 1, 0, 0, 1, 0, 0, 0, L"Weiter >", 384},
        {9, 0, 1, 0, "", 0, 0, 1, 0, 1, 0, 0, L"Fertig", 478},
        {9, 0, 1, 75, "", 0, 0, 1, 0, 1, 0, 0, L"Schließen", 478},
        // Back on another page after the result page: Next is at its own place again.
        {1, 0, 1, 0, "", 1, 1, 1, 1, 1, 0, 0, L"Weiter >", 384},
    };
    for (const auto &c : cases) {
        ctx_->mode = c.mode;
        snprintf(ctx_->installed_components, sizeof ctx_->installed_components, "%s",
                 c.installed);
        wizard.connect_state = c.connect;
        wizard.run_result = c.result;
        wizard_show_page(c.page);
        const std::string at = "page " + std::to_string(c.page) + " mode " +
                               std::to_string(c.mode) + " connect " + std::to_string(c.connect);
        EXPECT_EQ(has_style(wizard.back_button, WS_VISIBLE), c.back_shown == 1) << at;
        EXPECT_EQ(IsWindowEnabled(wizard.back_button) != 0, c.back_on == 1) << at;
        EXPECT_EQ(IsWindowEnabled(wizard.next_button) != 0, c.next_on == 1) << at;
        EXPECT_EQ(has_style(wizard.cancel_button, WS_VISIBLE), c.cancel_shown == 1) << at;
        EXPECT_EQ(IsWindowEnabled(wizard.cancel_button) != 0, c.cancel_on == 1) << at;
        EXPECT_TRUE(text_of(wizard.next_button) == c.label) << at;
        EXPECT_EQ(child_rect(wizard.next_button).left, c.next_x) << at;
        int i = wizard_layout_find(wizard.next_button);
        ASSERT_GE(i, 0);
        EXPECT_EQ(layout_table[i].x, c.next_x) << at;
        for (HWND radio : {wizard.modify_radio, wizard.repair_radio, wizard.uninstall_radio})
            EXPECT_EQ(has_style(radio, WS_VISIBLE), c.page == 0 && c.choice == 1) << at;
        EXPECT_EQ(has_style(wizard.retry_button, WS_VISIBLE), c.page == 0 && c.retry == 1) << at;
        EXPECT_EQ(has_style(wizard.purge_checkbox, WS_VISIBLE), c.page == 7 && c.mode == 3)
            << at;
    }
}

TEST_F(WizardWindow, ResultPageByModeAndResult)
{
    // The report for a run that did its work, the flow's sentence for one
    // that failed or was postponed; both with CR LF line ends.
    struct {
        int mode, task, result;
        const char *report, *sentence;
        const wchar_t *title, *label, *text;
    } cases[] = {
        {0, WIZARD_TASK_INSTALL, 0, "Installiert: core\nWARNUNG: x\n", "",
         L"orvantis ist eingerichtet", L"Fertig", L"Installiert: core\r\nWARNUNG: x\r\n"},
        {1, WIZARD_TASK_INSTALL, 0, "a\r\nb", "", L"orvantis ist eingerichtet", L"Fertig",
         L"a\r\nb"},
        {3, WIZARD_TASK_UNINSTALL, 0, "Entfernt\n", "", L"orvantis wurde entfernt", L"Fertig",
         L"Entfernt\r\n"},
        {0, WIZARD_TASK_INSTALL, 75, "r", "Später erneut versuchen \r\n",
         L"Die Installation ist fehlgeschlagen", L"Schließen", L"Später erneut versuchen."},
        {1, WIZARD_TASK_INSTALL, 1, "r", "Kaputt", L"Die Änderung ist fehlgeschlagen",
         L"Schließen", L"Kaputt."},
        {2, WIZARD_TASK_INSTALL, 1, "r", "Kaputt", L"Die Reparatur ist fehlgeschlagen",
         L"Schließen", L"Kaputt."},
        {3, WIZARD_TASK_UNINSTALL, 1, "r", "", L"Die Deinstallation ist fehlgeschlagen",
         L"Schließen", L""},
    };
    for (const auto &c : cases) {
        ctx_->mode = c.mode;
        snprintf(ctx_->report, sizeof ctx_->report, "%s", c.report);
        snprintf(wizard.result_text, sizeof wizard.result_text, "%s", c.sentence);
        wizard.history_count = 3;
        wizard.busy = 1;
        wizard_on_task_done(c.task, c.result);
        const std::string at = "mode " + std::to_string(c.mode) + " result " +
                               std::to_string(c.result);
        EXPECT_EQ(wizard.busy, 0) << at;
        EXPECT_EQ(wizard.finished, 1) << at;
        EXPECT_EQ(wizard.run_result, c.result) << at;
        EXPECT_EQ(wizard.history_count, 0) << at;
        EXPECT_EQ(wizard.page, 9) << at;
        EXPECT_TRUE(text_of(wizard.result_title) == c.title) << at;
        EXPECT_TRUE(text_of(wizard.next_button) == c.label) << at;
        EXPECT_TRUE(text_of(wizard.result_field) == c.text) << at;
    }
}

TEST_F(WizardWindow, DefaultButtonIsNextOnEveryPage)
{
    for (int p = 0; p < WIZARD_PAGES; p++) {
        wizard_show_page(p);
        EXPECT_EQ((uint32_t)SendMessageW(wizard.main_window, DM_GETDEFID, 0, 0), 0x534B0001u)
            << "page " << p;
    }
}

namespace {

std::vector<std::string> g_log;

void keep_log(int level, const char *text, void *)
{
    g_log.push_back(text);
}

// The visible dialog boxes (message boxes) of this thread.
std::vector<HWND> boxes()
{
    std::vector<HWND> found;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND h, LPARAM lp) -> BOOL {
            wchar_t cls[32];
            if (GetClassNameW(h, cls, 32) && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(h))
                ((std::vector<HWND> *)lp)->push_back(h);
            return TRUE;
        },
        (LPARAM)&found);
    return found;
}

int boxes_open()
{
    return (int)boxes().size();
}

// Answers every open box with the button id.
void answer_boxes(WPARAM id)
{
    for (HWND h : boxes())
        PostMessageW(h, WM_COMMAND, id, 0);
}

} // namespace

TEST_F(WizardWindow, TestModeEndsOnARefusedPage)
{
    // The server given alone (as with "--client-server h:1"), and a folder
    // too long for its field, which reads as empty.
    struct {
        int page;
        void (*fill)();
        const char *sentence;
    } cases[] = {
        {4,
         [] {
             SendMessageW(wizard.connect_checkbox, BM_SETCHECK, BST_CHECKED, 0);
             SetWindowTextW(wizard.server_field, L"h:1");
         },
         "Bitte Server, Verzeichnis, Zertifikat und API-Key angeben"},
        {1,
         [] {
             std::wstring deep = L"C:\\" + std::wstring(600, L'o');
             SetWindowTextW(wizard.install_dir_field, deep.c_str());
         },
         "Bitte einen Installationsordner angeben."},
    };
    for (const auto &c : cases) {
        if (!IsWindow(wizard.main_window)) {
            ASSERT_EQ(wizard_create(ctx_), 0);
            wizard_on_task_done(WIZARD_TASK_CONNECT, 0);
        }
        wizard.test_mode = 1;
        c.fill();
        wizard_show_page(c.page);
        g_log.clear();
        log_set_callback(keep_log, nullptr);
        wizard_next();
        log_set_callback(nullptr, nullptr);
        EXPECT_EQ(boxes_open(), 0) << "nobody would answer a box; page " << c.page;
        EXPECT_FALSE(IsWindow(wizard.main_window)) << "the wizard ends; page " << c.page;
        EXPECT_EQ(wizard.finished, 0) << "so the result is 1";
        ASSERT_EQ(g_log.size(), 1u) << "page " << c.page;
        EXPECT_NE(g_log[0].find(c.sentence), std::string::npos) << g_log[0];
        pump();
    }
}

namespace {

int g_ticks_page = -1; // the page while the box was open
int g_boxes = -1;      // boxes open then

// Looks at the box after the wizard's ticks had time to act, then answers No.
void CALLBACK answer_box(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    g_boxes = boxes_open();
    g_ticks_page = wizard.page;
    answer_boxes(IDNO);
}

} // namespace

TEST_F(WizardWindow, NoTickActsWhileABoxIsOpen)
{
    wizard.test_mode = 1;
    wizard.connect_state = 1;
    wizard_show_page(1);
    SetTimer(wizard.main_window, WIZARD_TIMER_ID, 20, nullptr);
    SetTimer(nullptr, 0, 600, answer_box);
    // Cancel asks; the box's own loop delivers the wizard's ticks meanwhile.
    SendMessageW(wizard.main_window, WM_COMMAND, WIZARD_ID_CANCEL, 0);
    KillTimer(wizard.main_window, WIZARD_TIMER_ID);
    EXPECT_EQ(g_boxes, 1) << "one box, not one per tick";
    EXPECT_EQ(g_ticks_page, 1) << "no tick went on to the next page";
    EXPECT_TRUE(IsWindow(wizard.main_window)) << "No keeps the window";
}

namespace {

// Posts Cancel to the wizard, then answers the question with Yes.
void CALLBACK press_cancel(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    PostMessageW(wizard.main_window, WM_COMMAND, WIZARD_ID_CANCEL, 0);
}

void CALLBACK answer_yes(HWND, UINT, UINT_PTR, DWORD)
{
    answer_boxes(IDYES);
}

} // namespace

// Started by the test below in a child: the connect task hangs on a server
// that never answers; Cancel answered Yes must end the process at once with 1.
TEST(WizardCloseChild, CancelWhileConnecting)
{
    if (!getenv("ORV_WIZARD_CLOSE"))
        GTEST_SKIP() << "runs as a child of WizardClose.CancelWhileConnectingEndsTheProcess";
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(s, 4), 0);
    int len = sizeof a;
    getsockname(s, (sockaddr *)&a, &len);
    std::string dir = test_temp_dir("wizard_close");
    setup_context *ctx = new_context(dir);
    snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url,
             "https://localhost:%u/stall", ntohs(a.sin_port));
    ctx->url_set = 1;
    SetTimer(nullptr, 0, 700, press_cancel);
    SetTimer(nullptr, 0, 300, answer_yes);
    int rc = wizard_run(ctx);
    printf("wizard_run returned %d beside a running worker\n", rc);
    fflush(stdout);
    ExitProcess(3);
}

TEST(WizardClose, CancelWhileConnectingEndsTheProcess)
{
    NEED_DISPLAY();
    SetEnvironmentVariableA("ORV_WIZARD_CLOSE", "1");
    DWORD start = GetTickCount();
    test_proc p = test_run(own_path(), {"--gtest_filter=WizardCloseChild.*"}, 60000);
    SetEnvironmentVariableA("ORV_WIZARD_CLOSE", nullptr);
    EXPECT_FALSE(p.timed_out);
    EXPECT_EQ(p.exit_code, 1) << p.out << p.err;
    EXPECT_EQ(p.out.find("returned"), std::string::npos) << p.out;
    EXPECT_LT(GetTickCount() - start, 20000u) << "the hanging connect is not waited for";
}

namespace {

// A key pressed where the focus is, as the message loop hands it on.
void key(UINT vk)
{
    MSG m = {GetFocus(), WM_KEYDOWN, vk, 0, 0, {0, 0}};
    if (!IsDialogMessageW(wizard.main_window, &m)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    pump();
}

// A click on a button, as Space on it gives.
void click(HWND h)
{
    SendMessageW(h, BM_CLICK, 0, 0);
    pump();
}

std::string name_of(HWND h)
{
    if (!h)
        return "nothing";
    if (h == wizard.main_window)
        return "the window";
    wchar_t cls[32], t[80];
    GetClassNameW(h, cls, 32);
    GetWindowTextW(h, t, 80);
    char out[300];
    snprintf(out, sizeof out, "%ls \"%ls\"%s%s", cls, t, IsWindowVisible(h) ? "" : " (hidden)",
             IsWindowEnabled(h) ? "" : " (disabled)");
    return out;
}

void CALLBACK answer_ok(HWND, UINT, UINT_PTR id, DWORD)
{
    if (boxes_open()) {
        KillTimer(nullptr, id);
        answer_boxes(IDOK);
    }
}

} // namespace

TEST_F(WizardWindow, FocusFollowsEveryPageChange)
{
    // A walk by keys and clicks; after each step the focus is on the page's
    // first enabled control in Tab order (a group's checked radio button), on
    // Next where there is none, and on the field a refused page is about.
    SetForegroundWindow(wizard.main_window);
    pump();
    struct {
        const char *step;
        void (*act)();
        int page;
        HWND *focus;  // null: the window itself (page 8 has nothing to focus)
    } steps[] = {
        {"Enter on page 0", [] { key(VK_RETURN); }, 1, &wizard.client_radio},
        {"Back to page 0", [] { click(wizard.back_button); }, 0, &wizard.next_button},
        {"Enter after Back", [] { key(VK_RETURN); }, 1, &wizard.client_radio},
        {"own choice",
         [] {
             click(wizard.custom_radio);
             key(VK_RETURN);
         },
         2, &wizard.item_checkbox[1]},  // item 0 is required and greyed
        {"Back to the own choice", [] { click(wizard.back_button); }, 1, &wizard.custom_radio},
        {"Enter in the folder field",
         [] {
             click(wizard.client_radio);
             SetFocus(wizard.install_dir_field);
             key(VK_RETURN);
         },
         3, &wizard.daily_checkbox},
        {"Back to page 1", [] { click(wizard.back_button); }, 1, &wizard.client_radio},
        {"refused folder",
         [] {
             SetWindowTextW(wizard.install_dir_field, L"");
             SetFocus(wizard.next_button);
             SetTimer(nullptr, 0, 200, answer_ok);
             key(VK_RETURN);
         },
         1, &wizard.install_dir_field},
        {"refused server page",
         [] {
             wizard_show_page(4);
             click(wizard.connect_checkbox);
             SetWindowTextW(wizard.server_field, L"h:1");
             SetFocus(wizard.server_field);
             SetTimer(nullptr, 0, 200, answer_ok);
             key(VK_RETURN);
         },
         4, &wizard.server_dir_field},
        {"summary",
         [] {
             wizard.ctx->mode = SETUP_MODE_INSTALL;
             wizard_show_page(7);
         },
         7, &wizard.next_button},
        {"summary of an uninstall",
         [] {
             wizard.ctx->mode = SETUP_MODE_UNINSTALL;
             wizard_show_page(7);
         },
         7, &wizard.purge_checkbox},
        {"progress", [] { wizard_show_page(8); }, 8, nullptr},
        {"result", [] { wizard_on_task_done(WIZARD_TASK_UNINSTALL, 0); }, 9, &wizard.next_button},
    };
    for (const auto &s : steps) {
        s.act();
        pump();
        EXPECT_EQ(boxes_open(), 0) << s.step;
        EXPECT_EQ(wizard.page, s.page) << s.step;
        HWND want = s.focus ? *s.focus : wizard.main_window;
        EXPECT_EQ(GetFocus(), want) << s.step << ": focus on " << name_of(GetFocus())
                                    << " instead of " << name_of(want);
        HWND f = GetFocus();
        if (f && f != wizard.main_window) {
            EXPECT_TRUE(IsWindowVisible(f) && IsWindowEnabled(f)) << s.step;
        }
    }
}

TEST_F(WizardWindow, FocusComesBackWithTheWindow)
{
    // Another window took the activation (a box, another program): the
    // control that had the focus gets it back, not the window itself.
    SetForegroundWindow(wizard.main_window);
    wizard_show_page(3);
    SetFocus(wizard.channel_field);
    pump();
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetForegroundWindow(other);
    pump();
    DestroyWindow(other);
    SetForegroundWindow(wizard.main_window);
    pump();
    EXPECT_EQ(GetFocus(), wizard.channel_field) << name_of(GetFocus());
}

TEST_F(WizardWindow, EnterPressesTheFocusedPushButton)
{
    // DM_GETDEFID names the focused push button, and Next for every other control.
    SetForegroundWindow(wizard.main_window);
    struct {
        int page, connect;
        HWND *focus;
        int id;
    } cases[] = {
        {0, 2, &wizard.retry_button, WIZARD_ID_RETRY},
        {0, 2, &wizard.cancel_button, WIZARD_ID_CANCEL},
        {1, 1, &wizard.back_button, WIZARD_ID_BACK},
        {1, 1, &wizard.install_dir_field, WIZARD_ID_NEXT},
        {1, 1, &wizard.client_radio, WIZARD_ID_NEXT},
        {3, 1, &wizard.daily_checkbox, WIZARD_ID_NEXT},
        {4, 1, &wizard.connect_checkbox, WIZARD_ID_NEXT},
        {9, 1, &wizard.next_button, WIZARD_ID_NEXT},
    };
    for (const auto &c : cases) {
        wizard.connect_state = c.connect;
        wizard_show_page(c.page);
        SetFocus(*c.focus);
        pump();
        EXPECT_EQ((uint32_t)SendMessageW(wizard.main_window, DM_GETDEFID, 0, 0),
                  (uint32_t)MAKELONG(c.id, DC_HASDEFID))
            << "page " << c.page << ", focus on " << name_of(*c.focus);
    }
    // The browse buttons are found by their command ids.
    for (int id : {WIZARD_ID_BROWSE, WIZARD_ID_CERT}) {
        HWND b = GetDlgItem(wizard.main_window, id);
        ASSERT_NE(b, nullptr) << id;
        wizard_show_page(id == WIZARD_ID_BROWSE ? 1 : 4);
        EnableWindow(b, TRUE);
        SetFocus(b);
        EXPECT_EQ(LOWORD(SendMessageW(wizard.main_window, DM_GETDEFID, 0, 0)), id);
    }

    // Enter on a focused Back goes back; in a field it goes on.
    wizard.connect_state = 1;
    wizard_show_page(0);
    key(VK_RETURN);
    ASSERT_EQ(wizard.page, 1);
    SetFocus(wizard.back_button);
    pump();
    key(VK_RETURN);
    EXPECT_EQ(wizard.page, 0) << "Enter on Back";
    key(VK_RETURN);
    SetFocus(wizard.install_dir_field);
    key(VK_RETURN);
    EXPECT_EQ(wizard.page, 3) << "Enter in the folder field";
}

TEST_F(WizardWindow, EscapeOnTheResultPageCloses)
{
    // After the run Escape closes as "Fertig", "Schließen" and the close box
    // do: no question. A box opened by mistake is answered No after a while.
    struct {
        int result;
    } cases[] = {{0}, {1}};
    for (const auto &c : cases) {
        if (!IsWindow(wizard.main_window)) {
            ASSERT_EQ(wizard_create(ctx_), 0);
            wizard_on_task_done(WIZARD_TASK_CONNECT, 0);
        }
        SetForegroundWindow(wizard.main_window);
        wizard_on_task_done(WIZARD_TASK_INSTALL, c.result);
        pump();
        g_boxes = 0;
        UINT_PTR t = SetTimer(nullptr, 0, 800, answer_box);
        key(VK_ESCAPE);
        KillTimer(nullptr, t);
        EXPECT_EQ(g_boxes, 0) << "result " << c.result << ": a question was asked";
        EXPECT_FALSE(IsWindow(wizard.main_window)) << "result " << c.result;
        EXPECT_EQ(wizard.finished, 1);
        EXPECT_EQ(wizard.run_result, c.result);
        pump();
    }
}

TEST_F(WizardWindow, FieldsTakeNoMoreThanTheirSettingsHold)
{
    // Each field takes what its setting holds, so a refusal can only mean
    // an empty field and a long channel is not replaced by the default.
    struct {
        HWND *field;
        size_t limit;
    } cases[] = {
        {&wizard.install_dir_field, sizeof ctx_->updater_config.install_dir - 1},
        {&wizard.channel_field, sizeof ctx_->updater_config.channel - 1},
        {&wizard.server_field, sizeof ctx_->client_server - 1},
        {&wizard.server_dir_field, sizeof ctx_->client_dir - 1},
        {&wizard.cert_field, sizeof ctx_->client_server_cert - 1},
        {&wizard.api_key_field, sizeof ctx_->client_api_key - 1},
        {&wizard.user_field, sizeof ctx_->console_user - 1},
    };
    std::wstring typed(300, L'k');
    for (const auto &c : cases) {
        EXPECT_EQ((size_t)SendMessageW(*c.field, EM_GETLIMITTEXT, 0, 0), c.limit)
            << name_of(*c.field);
        SetWindowTextW(*c.field, L"");
        SendMessageW(*c.field, EM_REPLACESEL, FALSE, (LPARAM)typed.c_str());
        EXPECT_EQ((size_t)GetWindowTextLengthW(*c.field), std::min<size_t>(300, c.limit))
            << name_of(*c.field);
    }
    wizard.test_mode = 1;  // a refusal ends the wizard instead of asking
    wizard_show_page(3);
    ASSERT_EQ(wizard_read_page(3), 1);
    EXPECT_EQ(std::string(ctx_->updater_config.channel), std::string(63, 'k'));
    std::wstring deep = L"C:\\" + std::wstring(600, L'o');
    SetWindowTextW(wizard.install_dir_field, L"");
    SendMessageW(wizard.install_dir_field, EM_REPLACESEL, FALSE, (LPARAM)deep.c_str());
    wizard_show_page(1);
    ASSERT_EQ(wizard_read_page(1), 1) << "a long folder is not taken for an empty one";
    EXPECT_EQ(std::string(ctx_->updater_config.install_dir), "C:\\" + std::string(508, 'o'));
}
