// The wizard without a window: DPI scaling and the layout table, word
// breaking, panel scrolling, the component list's geometry, the progress bar,
// the next page and Back, reading pages from the values of their controls,
// the summary and the result text's line ends.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "catalog.h"
#include "setup_choice.h"
#include "setup_options.h"
#include "test_context.h"
#include "text.h"
#include "wizard.h"

#ifndef _WIN32
// The native build has no Windows unit behind the choice.
setup_choice_sys setup_choice_calls = {nullptr, nullptr};
#endif

namespace {

// UTF-16 literal as UTF-8, for readable failure messages.
std::string u8(const char16_t *s)
{
    std::string out;
    for (; *s; s++) {
        uint32_t c = *s;
        if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[1] - 0xDC00);
            s++;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | c >> 6);
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | c >> 12);
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | c >> 18);
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The pure show conversion: strict UTF-8, else empty.
void show_utf8(const char *text, char16_t *out, size_t limit)
{
    wizard_utf8_to16(text, out, limit);
}

int all_hosts(const char *, char *reason, size_t size)
{
    if (size)
        reason[0] = '\0';
    return 1;
}

unsigned bucket_50(const char *)
{
    return 50;
}

// A catalog of the client set and a target, and of the extra components
// with a package for each id of extra_ids (a comma list); every package
// 250 kB.
std::string catalog_text(const std::string &extra_components = "",
                         const std::string &extra_ids = "")
{
    std::vector<std::string> with_packages = {"core", "agent", "restore", "sched", "console",
                                              "target"};
    for (size_t at = 0; at < extra_ids.size();) {
        size_t comma = extra_ids.find(',', at);
        if (comma == std::string::npos)
            comma = extra_ids.size();
        with_packages.push_back(extra_ids.substr(at, comma - at));
        at = comma + 1;
    }
    std::string pkgs;
    for (const std::string &id : with_packages) {
        if (!pkgs.empty())
            pkgs += ", ";
        pkgs += std::string("{\"url\": \"p/") + id + ".pkg\", \"sha256\": \"" +
                std::string(64, 'a') +
                "\", \"size\": 250000, \"match\": {\"os\": \"windows\", \"arch\": \"x86_64\"}, "
                "\"component\": \"" +
                id + "\"}";
    }
    return "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": 1, "
           "\"issued\": \"2026-01-01T00:00:00Z\", \"expires\": \"2027-01-01T00:00:00Z\", "
           "\"releases\": [{\"version\": \"1.0.0\", \"artifacts\": [" +
           pkgs +
           "]}], \"components\": ["
           "{\"id\": \"core\", \"title\": \"Grundpaket\", \"required\": true}, "
           "{\"id\": \"agent\", \"title\": \"Backup-Agent\", \"default\": true}, "
           "{\"id\": \"restore\", \"title\": \"Wiederherstellung\"}, "
           "{\"id\": \"sched\", \"title\": \"Job-Planer\"}, "
           "{\"id\": \"console\", \"title\": \"Verwaltungskonsole\", \"requires\": [\"sched\"]}, "
           "{\"id\": \"target\", \"title\": \"Backup-Server\"}" +
           extra_components + "]}";
}

class Wizard : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = setup_choice_calls;
        setup_choice_calls = {all_hosts, bucket_50};
    }
    void TearDown() override { setup_choice_calls = saved_; }

    // A context with the catalog loaded on an x86_64 Windows computer.
    static test_context_ptr loaded(const std::string &extra_components = "",
                                   const std::string &extra_ids = "")
    {
        test_context_ptr ctx(new setup_context());
        setup_options_base_defaults(ctx.get());
        snprintf(ctx->host_facts.os, sizeof ctx->host_facts.os, "windows");
        snprintf(ctx->host_facts.arch, sizeof ctx->host_facts.arch, "x86_64");
        std::string text = catalog_text(extra_components, extra_ids);
        char msg[300] = "";
        EXPECT_EQ(catalog_parse(text.data(), text.size(), &ctx->component_catalog, msg, sizeof msg),
                  0)
            << msg;
        ctx->catalog_loaded = 1;
        return ctx;
    }

    // Selects exactly the listed ids.
    static void select(setup_context *ctx, const char *list)
    {
        memset(ctx->selected, 0, sizeof ctx->selected);
        setup_select_list_lenient(ctx, list);
    }

    static std::string selection(setup_context *ctx)
    {
        char out[256];
        setup_resolved_list(ctx, out, sizeof out);
        return out;
    }

    setup_choice_sys saved_;
};

} // namespace

TEST(WizardLayout, ScalingRoundsHalvesAwayFromZero)
{
    struct {
        int32_t v, dpi, expected;
    } cases[] = {
        {580, 96, 580}, {410, 96, 410}, {580, 120, 725}, {410, 120, 513}, // 512.5 rounds up
        {580, 144, 870}, {410, 144, 615}, {346, 144, 519}, {384, 144, 576}, {366, 144, 549},
        {88, 144, 132},  {28, 144, 42},   {1, 144, 2},     {-1, 144, -2},   {0, 144, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wizard_scaled(c.v, c.dpi), c.expected) << c.v << " at " << c.dpi;
    EXPECT_EQ(wizard_muldiv(5, 1, 0), -1);
    EXPECT_EQ(wizard_muldiv(INT32_MAX, 2, 1), -1);
}

TEST(WizardLayout, FontHeights)
{
    // The body follows the DPI from the DPI at start; the title is 3 / 2 of
    // it, truncated toward zero.
    EXPECT_EQ(wizard_body_height(-12, 144, 96), -18);
    EXPECT_EQ(wizard_body_height(-11, 144, 96), -17);
    EXPECT_EQ(wizard_body_height(-18, 96, 144), -12);
    EXPECT_EQ(wizard_title_height(-12), -18);
    EXPECT_EQ(wizard_title_height(-13), -19);
    EXPECT_EQ(wizard_title_height(-17), -25);
}

TEST(WizardLayout, TableKeepsRectanglesAndStopsAtItsEnd)
{
    layout_count = 0;
    int sep = wizard_layout_add((void *)1, 0, 346, 580, 2, 2, 0);
    int next = wizard_layout_add((void *)2, 384, 366, 88, 28, 0, 0);
    ASSERT_EQ(sep, 0);
    ASSERT_EQ(next, 1);
    int32_t r[4];
    wizard_layout_place(&layout_table[sep], 144, r);
    EXPECT_EQ(r[1], 519);
    EXPECT_EQ(r[2], 870);
    EXPECT_EQ(r[3], 2) << "the separator keeps 2 device pixels";
    wizard_layout_place(&layout_table[next], 144, r);
    EXPECT_EQ(r[0], 576);
    EXPECT_EQ(r[1], 549);
    EXPECT_EQ(r[2], 132);
    EXPECT_EQ(r[3], 42);
    // Back at 96 DPI the rectangle is the table's again, whatever came between.
    wizard_layout_place(&layout_table[next], 96, r);
    EXPECT_EQ(r[0], 384);
    EXPECT_EQ(r[3], 28);
    EXPECT_EQ(wizard_layout_find((void *)2), 1);
    EXPECT_EQ(wizard_layout_find(nullptr), -1);

    while (layout_count < WIZARD_LAYOUT_MAX)
        ASSERT_GE(wizard_layout_add((void *)3, 1, 2, 3, 4, 0, 0), 0);
    EXPECT_EQ(wizard_layout_add((void *)4, 1, 2, 3, 4, 0, 0), -1);
    EXPECT_EQ(layout_count, WIZARD_LAYOUT_MAX);
    EXPECT_EQ(wizard_layout_find((void *)4), -1);
    layout_count = 0;
}

TEST(WizardText, FormatterCutsAndCounts)
{
    char16_t buf[8];
    EXPECT_EQ(wizard_format16(buf, 8, u"%ls-%hs-%u-%d%%", u"ab", "cd", 7u, -3), 11);
    EXPECT_EQ(u8(buf), "ab-cd-7");
    EXPECT_EQ(wizard_format16(buf, 8, u"ä%ls", u"ö"), 2);
    EXPECT_EQ(u8(buf), "äö");
    EXPECT_EQ(wizard_format16(buf, 1, u"abc"), 3);
    EXPECT_EQ(buf[0], 0);
    // A cut between the halves of a surrogate pair keeps neither.
    EXPECT_EQ(wizard_format16(buf, 3, u"a%ls", u"\U0001F600"), 3);
    EXPECT_EQ(u8(buf), "a");
    EXPECT_EQ(wizard_format16(buf, 4, u"a%ls", u"\U0001F600"), 3);
    EXPECT_EQ(u8(buf), "a\U0001F600");
}

TEST(WizardText, Utf8ToUtf16)
{
    char16_t out[8];
    EXPECT_EQ(wizard_utf8_to16("Grüße", out, 7), 0);
    EXPECT_EQ(u8(out), "Grüße");
    EXPECT_EQ(wizard_utf8_to16("\xF0\x9F\x98\x80", out, 7), 0);
    EXPECT_EQ(wizard_len16(out), 2u) << "a surrogate pair";
    struct {
        const char *text;
        size_t limit;
    } failing[] = {
        {"gr\xFC\xDF", 7},      // Latin-1, no UTF-8
        {"\xC0\xAF", 7},        // overlong
        {"\xED\xA0\x80", 7},    // a surrogate
        {"abcdefgh", 7},        // one unit too many
        {"\xF0\x9F\x98\x80", 1} // a pair that does not fit
    };
    for (const auto &c : failing) {
        out[0] = u'x';
        EXPECT_EQ(wizard_utf8_to16(c.text, out, c.limit), -1) << c.text;
        EXPECT_EQ(out[0], 0) << c.text;
    }
}

TEST(WizardText, WordBreakKeepsAHyphenWithItsWord)
{
    const char16_t *t = u"a -b c\td";  // a, blank, -, b, blank, c, tab, d
    int n = (int)wizard_len16(t);
    struct {
        int i, code, expected;
    } cases[] = {
        {1, WIZARD_WB_ISDELIMITER, 0}, // the blank before "-"
        {4, WIZARD_WB_ISDELIMITER, 1},
        {6, WIZARD_WB_ISDELIMITER, 1}, // a tab
        {0, WIZARD_WB_ISDELIMITER, 0},
        {0, WIZARD_WB_RIGHT, 5},       // over "a -b" as one word
        {5, WIZARD_WB_RIGHT, 7},
        {7, WIZARD_WB_RIGHT, 8},
        {8, WIZARD_WB_RIGHT, 8},       // at the end
        {5, WIZARD_WB_LEFT, 0},
        {7, WIZARD_WB_LEFT, 5},
        {8, WIZARD_WB_LEFT, 7},
        {3, WIZARD_WB_LEFT, 0},
        {0, WIZARD_WB_LEFT, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wizard_word_break_at(t, c.i, n, c.code), c.expected)
            << "index " << c.i << " code " << c.code;
    // A "-" at the very end follows no break point either.
    EXPECT_EQ(wizard_word_break_at(u"a -", 1, 3, WIZARD_WB_ISDELIMITER), 0);
    EXPECT_EQ(wizard_word_break_at(u"a ", 1, 2, WIZARD_WB_ISDELIMITER), 1);
}

TEST(WizardLayout, PanelScrolling)
{
    // A list of 500 units in a panel 282 pixels high at 96 DPI.
    EXPECT_EQ(wizard_wheel_pos(0, -120, 3, 96), 60) << "a notch down with 3 lines";
    EXPECT_EQ(wizard_wheel_pos(60, 120, 3, 96), 0);
    EXPECT_EQ(wizard_wheel_pos(0, -120, -1, 96), 200) << "one screen per notch counts 10 lines";
    EXPECT_EQ(wizard_wheel_pos(0, -120, 3, 144), 90);
    EXPECT_EQ(wizard_scroll_clamp(-5, 500, 282), 0);
    EXPECT_EQ(wizard_scroll_clamp(400, 500, 282), 218);
    EXPECT_EQ(wizard_scroll_clamp(100, 200, 282), 0) << "a list shorter than the panel";

    struct {
        int code;
        int32_t expected;
    } bar[] = {
        {WIZARD_SB_LINEUP, 80},  {WIZARD_SB_LINEDOWN, 120}, {WIZARD_SB_PAGEUP, 100 - 282},
        {WIZARD_SB_PAGEDOWN, 382}, {WIZARD_SB_THUMBTRACK, 33}, {WIZARD_SB_THUMBPOSITION, 33},
        {WIZARD_SB_TOP, 0},      {WIZARD_SB_BOTTOM, 500},   {8, 100},
    };
    for (const auto &c : bar)
        EXPECT_EQ(wizard_vscroll_pos(c.code, 100, 282, 33, 500, 96), c.expected) << c.code;

    // Focus: an item below the visible part comes up with 6 units below it,
    // one above comes down with 6 units above it, one in view stays.
    EXPECT_EQ(wizard_focus_pos(400, 71, 0, 282, 96), 400 + 71 + 6 - 282);
    EXPECT_EQ(wizard_focus_pos(36, 20, 100, 282, 96), 30);
    EXPECT_EQ(wizard_focus_pos(150, 20, 100, 282, 96), 100);
    EXPECT_EQ(wizard_focus_pos(400, 71, 0, 423, 144), 716 - 423) << "477 units are 715.5 pixels";
}

TEST(WizardLayout, ComponentListGeometry)
{
    // Three lines at 16 pixels, one line, no description, a component
    // without a checkbox, and two lines measured at 144 DPI.
    wizard_list_item items[] = {
        {1, 1, 48, 16}, {1, 1, 16, 16}, {1, 0, 0, 0}, {0, 1, 99, 16}, {1, 1, 40, 24}, {1, 1, 30, 0},
    };
    wizard_list_geometry g;
    wizard_list_layout(items, 6, 96, &g);
    EXPECT_EQ(g.item_y[0], 8);
    EXPECT_EQ(g.text_height[0], 51);
    EXPECT_EQ(g.item_height[0], 20 + 51);
    EXPECT_EQ(g.item_y[1] - g.item_y[0], 79);
    EXPECT_EQ(g.text_height[1], 18) << "one line";
    EXPECT_EQ(g.item_y[2] - g.item_y[1], 18 + 28);
    EXPECT_EQ(g.item_height[2], 20);
    EXPECT_EQ(g.item_y[4] - g.item_y[2], 28) << "no description; the absent one takes no room";
    EXPECT_EQ(g.item_height[3], 0);
    EXPECT_EQ(g.text_height[5], 18) << "no line height known";
    EXPECT_EQ(g.content_height, g.item_y[5] + 18 + 28);

    wizard_list_layout(items + 4, 1, 144, &g);
    EXPECT_EQ(g.text_height[0], 32 + 3) << "2 lines of 24 pixels at 144 DPI";
}

TEST(WizardProgress, BarAcrossAThreePackageRun)
{
    // Three downloads, installing and configuring: 5 steps.
    uint32_t bars[5];
    for (unsigned i = 0; i < 5; i++) {
        wizard_step_view v;
        wizard_step_show((uint64_t)i << 16 | 5, u"Lade", &v);
        bars[i] = (uint32_t)v.bar;
        EXPECT_EQ(v.marquee, 0);
        EXPECT_EQ(v.count, 5u);
        EXPECT_EQ(u8(v.line), "Schritt " + std::to_string(i + 1) + " von 5: Lade");
    }
    EXPECT_EQ(bars[0], 0u);
    EXPECT_EQ(bars[1], 200u);
    EXPECT_EQ(bars[2], 400u);
    EXPECT_EQ(bars[3], 600u);
    EXPECT_EQ(bars[4], 800u);
    EXPECT_EQ(wizard_bytes_bar(0, 5, 512, 1024), 100) << "half-way through the first download";
    EXPECT_EQ(wizard_bytes_bar(2, 5, 1024, 1024), 600);
    EXPECT_EQ(wizard_bytes_bar(0, 5, 1, 0), -1) << "no total";
    EXPECT_EQ(wizard_bytes_bar(0, 1, 1, 2), -1) << "a single step moves as a marquee";
    // Large downloads stay in 64 bits.
    EXPECT_EQ(wizard_bytes_bar(1, 5, 3ull << 40, 4ull << 40), 350);

    wizard_step_view v;
    wizard_step_show((uint64_t)0 << 16 | 1, u"Entferne die Programme", &v);
    EXPECT_EQ(v.marquee, 1);
    EXPECT_EQ(u8(v.line), "Entferne die Programme");
    wizard_step_show((uint64_t)7 << 16 | 5, u"x", &v);
    EXPECT_EQ(u8(v.line), "Schritt 5 von 5: x") << "an index past the count";
    EXPECT_EQ(v.pos, 5u);
    EXPECT_EQ(v.bar, 1000);
}

TEST(WizardText, CrLfConversionAndItsLimits)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"a\nb\n", "a\r\nb\r\n"}, {"a\r\nb", "a\r\nb"}, {"\n", "\r\n"}, {"\r\r\n", "\r\r\n"},
        {"", ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(WIZARD_CRLF_OUT);
        wizard_crlf(c.in, out.data());
        EXPECT_STREQ(out.data(), c.out);
    }
    // Only the first 5999 bytes count.
    std::string longer(7000, 'x');
    std::vector<char> out(WIZARD_CRLF_OUT, '#');
    EXPECT_EQ(wizard_crlf(longer.c_str(), out.data()), 5999u);
    // Line feeds only: each takes two bytes; the copy stops before the buffer's end.
    std::string lfs(5999, '\n');
    EXPECT_EQ(wizard_crlf(lfs.c_str(), out.data()), 6998u);
    EXPECT_EQ(out[6998], '\0');
    EXPECT_EQ(out[6997], '\n');
    // A cut at either limit that would split a character leaves it out.
    for (const std::string &in : {std::string(5998, 'x') + "ä", "x" + std::string(3498, '\n') + "ä"}) {
        size_t n = wizard_crlf(in.c_str(), out.data());
        EXPECT_EQ(n, strlen(out.data())) << in.size();
        EXPECT_TRUE(text_utf8_valid(out.data(), n)) << in.size();
        EXPECT_GT(n, 5990u) << in.size();
    }
}

TEST(WizardText, ChosenFolderGetsOneBackslash)
{
    struct {
        const char16_t *chosen;
        const char *expected;
    } cases[] = {
        {u"C:\\Users\\anna\\Documents", "C:\\Users\\anna\\Documents\\orvantis"},
        // Some folders come back with their separator, a drive's root always.
        {u"C:\\Users\\anna\\Documents\\", "C:\\Users\\anna\\Documents\\orvantis"},
        {u"D:\\", "D:\\orvantis"},
        {u"\\\\server\\share\\", "\\\\server\\share\\orvantis"},
    };
    for (const auto &c : cases) {
        char16_t out[276];
        wizard_folder_join(c.chosen, out, 276);
        EXPECT_EQ(u8(out), c.expected) << u8(c.chosen);
    }
    // The browser's longest path (259 characters) still fits its 276.
    std::u16string deep = u"C:\\" + std::u16string(256, u'd');
    char16_t out[276];
    EXPECT_EQ(wizard_folder_join(deep.c_str(), out, 276), 268u);
    EXPECT_EQ(u8(out), "C:\\" + std::string(256, 'd') + "\\orvantis");
}

TEST_F(Wizard, NextPageTable)
{
    struct {
        int mode, page, custom, api;
        const char *selection;
        int expected;
    } cases[] = {
        {0, 0, 0, 1, "agent", 1},
        {1, 0, 0, 1, "agent", 2},
        {2, 0, 0, 1, "agent", 7},
        {3, 0, 0, 1, "agent", 7},
        {0, 1, 1, 1, "agent", 2},
        {0, 1, 0, 1, "agent", 3},
        {0, 2, 0, 1, "agent", 3},
        {0, 3, 0, 1, "restore", 4},
        {2, 3, 0, 1, "agent,sched,console", 7},
        {0, 3, 0, 1, "sched,console", 5},
        {0, 3, 0, 1, "sched", 6},
        {0, 3, 0, 0, "sched,console", 7},
        {0, 3, 0, 1, "target", 7},
        {0, 4, 0, 1, "agent,console", 5},   // console brings sched
        {0, 4, 0, 1, "agent", 7},
        {2, 4, 0, 1, "agent,sched", 7},
        {0, 5, 0, 1, "sched,console", 6},
        {0, 5, 0, 0, "sched,console", 7},
        {0, 6, 0, 1, "", 7},
        {0, 7, 0, 1, "", WIZARD_NEXT_RUN},
        {0, 8, 0, 1, "", WIZARD_NEXT_NONE},
        {0, 9, 0, 1, "", WIZARD_NEXT_CLOSE},
    };
    auto ctx = loaded();
    for (const auto &c : cases) {
        ctx->mode = c.mode;
        ctx->sched_api = c.api;
        select(ctx.get(), c.selection);
        EXPECT_EQ(wizard_next_page(ctx.get(), c.page, c.custom), c.expected)
            << "mode " << c.mode << " page " << c.page << " " << c.selection;
    }
}

TEST_F(Wizard, BackRetracesTheWayForward)
{
    auto ctx = loaded();
    ctx->sched_api = 1;
    select(ctx.get(), "agent,sched,console");
    int32_t history[WIZARD_HISTORY], count = 0;
    int page = 0;
    std::vector<int> visited;
    while (page != WIZARD_NEXT_RUN && page >= 0) {
        int next = wizard_next_page(ctx.get(), page, 0);
        if (next < 0)
            break;
        wizard_history_push(history, &count, page);
        visited.push_back(page);
        page = next;
    }
    EXPECT_EQ(page, 7);
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 3, 4, 5, 6})) << "page 2 skipped with the client set";
    std::vector<int> back;
    for (int p; (p = wizard_history_pop(history, &count)) >= 0;)
        back.push_back(p);
    EXPECT_EQ(back, (std::vector<int>{6, 5, 4, 3, 1, 0}));

    // A 17th page is not recorded.
    count = 0;
    for (int i = 0; i < 17; i++)
        wizard_history_push(history, &count, i % 10);
    EXPECT_EQ(count, WIZARD_HISTORY);
    EXPECT_EQ(wizard_history_pop(history, &count), 15 % 10);
}

namespace {

std::string g_checked_user;

int fake_check_user(const char *name, char *full, int cap, char *err, size_t errlen)
{
    g_checked_user = name;
    if (strcmp(name, "anna") == 0) {
        snprintf(full, (size_t)cap, "PC\\anna");
        return 0;
    }
    snprintf(err, errlen, "Das Konto „%s“ ist kein Benutzer\r\n", name);
    return -1;
}

int fake_fullpath(const char *path, char *out, size_t size)
{
    if (path[0] && path[1] == ':')
        return snprintf(out, size, "%s", path) < (int)size ? 0 : -1;
    return snprintf(out, size, "C:\\work\\%s", path) < (int)size ? 0 : -1;
}

struct read_case {
    wizard_page_values v{};
    wizard_read_env env{};
};

read_case fresh()
{
    read_case c;
    c.env.fullpath = fake_fullpath;
    c.env.check_user = fake_check_user;
    c.env.release_now = -1;
    return c;
}

} // namespace

TEST_F(Wizard, WelcomePageChoosesTheMode)
{
    struct {
        int visible, modify, repair, uninstall, mode_before;
        const char *installed;
        int mode_after;
        const char *selection;
    } cases[] = {
        {0, 0, 0, 0, 0, "", 0, "core,agent"},             // nothing installed: stays
        {1, 0, 1, 0, 0, "core,agent", 2, "core,agent"},   // repair of what is installed
        {1, 0, 0, 1, 0, "core,agent", 3, "core,agent"},   // uninstall touches no selection
        {0, 0, 0, 0, 0, "core,sched", 1, "core,sched"},   // installed: modify
        {1, 1, 0, 0, 2, "core,restore", 1, "core,restore"},
    };
    auto ctx = loaded();
    for (const auto &c : cases) {
        ctx->mode = c.mode_before;
        snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s", c.installed);
        select(ctx.get(), "agent");
        read_case r = fresh();
        r.v.choice_visible = c.visible;
        r.v.modify = c.modify;
        r.v.repair = c.repair;
        r.v.uninstall = c.uninstall;
        char msg[WIZARD_MSG];
        EXPECT_EQ(wizard_read_values(ctx.get(), 0, &r.v, &r.env, msg, sizeof msg), 1);
        EXPECT_EQ(ctx->mode, c.mode_after) << c.installed;
        EXPECT_EQ(selection(ctx.get()), c.selection) << c.installed;
    }
}

TEST_F(Wizard, ChoicePageFolderAndPreset)
{
    auto ctx = loaded();
    char msg[WIZARD_MSG];

    read_case r = fresh();
    EXPECT_EQ(wizard_read_values(ctx.get(), 1, &r.v, &r.env, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "Bitte einen Installationsordner angeben.");
    EXPECT_EQ(r.env.refused_field, WIZARD_FIELD_INSTALL_DIR);

    // A relative folder becomes absolute, as on the command line.
    snprintf(r.v.install_dir, sizeof r.v.install_dir, "orvantis");
    select(ctx.get(), "target");
    EXPECT_EQ(wizard_read_values(ctx.get(), 1, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_EQ(r.env.refused_field, WIZARD_FIELD_NONE) << "accepted";
    EXPECT_STREQ(ctx->updater_config.install_dir, "C:\\work\\orvantis");
    EXPECT_EQ(r.env.custom_chosen, 0);
    EXPECT_EQ(selection(ctx.get()), "core,agent,restore,sched,console") << "the client set";

    // An absolute form too long for the field keeps the typed folder.
    std::string deep(505, 'd');
    snprintf(r.v.install_dir, sizeof r.v.install_dir, "%s", deep.c_str());
    EXPECT_EQ(wizard_read_values(ctx.get(), 1, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_EQ(std::string(ctx->updater_config.install_dir), deep);

    // Own choice: kept when something not required is selected, else the client set.
    snprintf(r.v.install_dir, sizeof r.v.install_dir, "D:\\o");
    r.v.custom = 1;
    select(ctx.get(), "target");
    EXPECT_EQ(wizard_read_values(ctx.get(), 1, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_EQ(r.env.custom_chosen, 1);
    EXPECT_EQ(selection(ctx.get()), "core,target");
    select(ctx.get(), "core");
    EXPECT_EQ(wizard_read_values(ctx.get(), 1, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_EQ(selection(ctx.get()), "core,agent,restore,sched,console");
}

TEST_F(Wizard, ComponentAndUpdatePages)
{
    auto ctx = loaded();
    char msg[WIZARD_MSG];
    read_case r = fresh();
    // Checkboxes of agent and target, and a stale check on an index without one.
    r.v.has_checkbox[0] = r.v.has_checkbox[1] = r.v.has_checkbox[5] = 1;
    r.v.checked[0] = r.v.checked[5] = 1;
    r.v.checked[2] = 1;
    select(ctx.get(), "agent,restore");
    EXPECT_EQ(wizard_read_values(ctx.get(), 2, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_EQ(selection(ctx.get()), "core,target");

    // An empty channel becomes the default; the daily checkbox sets the task.
    snprintf(ctx->updater_config.channel, sizeof ctx->updater_config.channel, "beta");
    r.v.daily = 1;
    EXPECT_EQ(wizard_read_values(ctx.get(), 3, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_STREQ(ctx->updater_config.channel, "alpha");
    EXPECT_EQ(ctx->updater_schedule, 1);
    EXPECT_STREQ(msg, "");
    snprintf(r.v.channel, sizeof r.v.channel, "stable");
    r.v.daily = 0;
    EXPECT_EQ(wizard_read_values(ctx.get(), 3, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_STREQ(ctx->updater_config.channel, "stable");
    EXPECT_EQ(ctx->updater_schedule, 0);
}

TEST_F(Wizard, ServerPageNeedsAllFourFields)
{
    auto ctx = loaded();
    char msg[WIZARD_MSG];
    read_case r = fresh();
    snprintf(ctx->client_server, sizeof ctx->client_server, "old:1");
    EXPECT_EQ(wizard_read_values(ctx.get(), 4, &r.v, &r.env, msg, sizeof msg), 1)
        << "the checkbox off accepts whatever the fields hold";
    EXPECT_EQ(ctx->configure_client, 0);
    EXPECT_STREQ(ctx->client_server, "old:1");

    r.v.connect = 1;
    snprintf(r.v.server, sizeof r.v.server, "backup:7000");
    snprintf(r.v.server_dir, sizeof r.v.server_dir, "pc1");
    snprintf(r.v.cert, sizeof r.v.cert, "C:\\t.crt");
    EXPECT_EQ(wizard_read_values(ctx.get(), 4, &r.v, &r.env, msg, sizeof msg), 0);
    EXPECT_STREQ(msg, "Bitte Server, Verzeichnis, Zertifikat und API-Key angeben (oder die "
                      "Einrichtung abwählen).");
    EXPECT_STREQ(ctx->client_server, "backup:7000") << "written before the refusal";
    EXPECT_EQ(r.env.refused_field, WIZARD_FIELD_API_KEY);
    snprintf(r.v.api_key, sizeof r.v.api_key, "k");
    r.v.test = 0;
    EXPECT_EQ(wizard_read_values(ctx.get(), 4, &r.v, &r.env, msg, sizeof msg), 1);
    EXPECT_EQ(ctx->configure_client, 1);
    EXPECT_EQ(ctx->client_test, 0);
    EXPECT_STREQ(ctx->client_api_key, "k");
    EXPECT_EQ(r.env.refused_field, WIZARD_FIELD_NONE);

    // The refusal is about the first empty field in the page's order.
    struct {
        const char *server, *dir, *cert, *key;
        int field;
    } empty[] = {
        {"", "", "", "", WIZARD_FIELD_SERVER},
        {"", "pc1", "c", "k", WIZARD_FIELD_SERVER},
        {"s:1", "", "", "k", WIZARD_FIELD_SERVER_DIR},
        {"s:1", "pc1", "", "", WIZARD_FIELD_CERT},
    };
    for (const auto &e : empty) {
        read_case q = fresh();
        q.v.connect = 1;
        snprintf(q.v.server, sizeof q.v.server, "%s", e.server);
        snprintf(q.v.server_dir, sizeof q.v.server_dir, "%s", e.dir);
        snprintf(q.v.cert, sizeof q.v.cert, "%s", e.cert);
        snprintf(q.v.api_key, sizeof q.v.api_key, "%s", e.key);
        EXPECT_EQ(wizard_read_values(ctx.get(), 4, &q.v, &q.env, msg, sizeof msg), 0);
        EXPECT_EQ(q.env.refused_field, e.field)
            << e.server << "|" << e.dir << "|" << e.cert << "|" << e.key;
    }
}

TEST_F(Wizard, ConsolePageChecksTheUser)
{
    struct {
        int link, test_mode;
        const char *user;
        int answer, link_after, resolved;
        const char *msg, *console_user;
        int refused;  // the field the refusal is about
    } cases[] = {
        {0, 0, "", 1, 0, 0, "", "", WIZARD_FIELD_NONE},
        {1, 0, "", 0, 1, 0,
         "Bitte den Windows-Benutzer angeben, der die Konsole verwendet (oder die Verbindung "
         "abwählen).",
         "", WIZARD_FIELD_USER},
        {1, 0, "anna", 1, 1, 1, "", "PC\\anna", WIZARD_FIELD_NONE},
        {1, 0, "Gäste", 0, 1, 0, "Das Konto „Gäste“ ist kein Benutzer.", "", WIZARD_FIELD_USER},
        // the test mode switches the link off
        {1, 1, "Gäste", 1, 0, 0, "", "", WIZARD_FIELD_NONE},
    };
    for (const auto &c : cases) {
        auto ctx = loaded();
        ctx->console_user[0] = '\0';
        read_case r = fresh();
        r.v.link = c.link;
        r.v.admin = 1;
        r.env.test_mode = c.test_mode;
        snprintf(r.v.user, sizeof r.v.user, "%s", c.user);
        char msg[WIZARD_MSG];
        EXPECT_EQ(wizard_read_values(ctx.get(), 5, &r.v, &r.env, msg, sizeof msg), c.answer)
            << c.user;
        EXPECT_EQ(ctx->console_link, c.link_after) << c.user;
        EXPECT_EQ(ctx->console_role_admin, 1) << c.user;
        EXPECT_EQ(r.env.user_resolved, c.resolved) << c.user;
        EXPECT_STREQ(msg, c.msg) << c.user;
        EXPECT_STREQ(ctx->console_user, c.console_user) << c.user;
        EXPECT_EQ(r.env.refused_field, c.refused) << c.user;
    }
}

TEST_F(Wizard, SharingAndPurgePages)
{
    struct {
        int share, change, release_now, expected;
    } cases[] = {
        {1, 0, -1, 1}, {1, 1, -1, 2}, {0, 0, 2, 0}, {0, 0, -1, -1}, {0, 1, 0, -1},
    };
    auto ctx = loaded();
    for (const auto &c : cases) {
        read_case r = fresh();
        r.v.share = c.share;
        r.v.share_change = c.change;
        r.env.release_now = c.release_now;
        char msg[WIZARD_MSG];
        EXPECT_EQ(wizard_read_values(ctx.get(), 6, &r.v, &r.env, msg, sizeof msg), 1);
        EXPECT_EQ(ctx->console_release, c.expected)
            << c.share << c.change << " now " << c.release_now;
    }
    read_case r = fresh();
    r.v.purge = 1;
    char msg[WIZARD_MSG];
    ctx->mode = SETUP_MODE_INSTALL;
    wizard_read_values(ctx.get(), 7, &r.v, &r.env, msg, sizeof msg);
    EXPECT_EQ(ctx->purge, 0) << "purge only for an uninstall";
    ctx->mode = SETUP_MODE_UNINSTALL;
    wizard_read_values(ctx.get(), 7, &r.v, &r.env, msg, sizeof msg);
    EXPECT_EQ(ctx->purge, 1);
}

TEST_F(Wizard, SummaryByContext)
{
    const std::string dirs = "\r\nZielordner: C:\\P\\orvantis\r\nEinstellungen und Protokolle: "
                             "C:\\D\\orvantis (nur Administratoren)";
    struct {
        const char *name;
        int mode, schedule, task_state, client, api, link, admin, release, release_now;
        const char *selection, *installed;
        std::string expected;
    } cases[] = {
        {"fresh client set", 0, 1, -1, 0, 1, 1, 1, -1, -1, "agent,restore,sched,console", "",
         "Bereit zur Installation.\r\n\r\nKomponenten: Grundpaket, Backup-Agent, "
         "Wiederherstellung, Job-Planer, Verwaltungskonsole\r\nDownload: 1,2 MB" +
             dirs +
             "\r\nTägliche Update-Suche: ja\r\nVerbindung zum Backup-Server: nicht einrichten"
             "\r\nVerwaltungskonsole: wird für PC\\anna mit diesem Computer verbunden (darf "
             "ändern und steuern)"},
        {"daily task missing, link off, read-only sharing", 0, 1, 0, 1, 1, 0, 1, 1, -1,
         "sched,console", "",
         "Bereit zur Installation.\r\n\r\nKomponenten: Grundpaket, Job-Planer, "
         "Verwaltungskonsole\r\nDownload: 750 kB" +
             dirs +
             "\r\nTägliche Update-Suche: ja (wird eingerichtet)\r\nVerbindung zum Backup-Server: "
             "backup:7000\r\nVerwaltungskonsole: nicht mit diesem Computer verbinden"
             "\r\nFreigabe für andere Rechner: nur ansehen"},
        {"modify removes one", 1, 0, 1, 0, 1, 1, 0, 0, 2, "sched", "core,agent,sched",
         "Bereit, die Installation zu ändern.\r\n\r\nKomponenten: Grundpaket, Job-Planer\r\n"
         "Wird entfernt: Backup-Agent\r\nDownload: 500 kB (alle gewählten Komponenten werden "
         "neu geladen, auch die unveränderten)" +
             dirs +
             "\r\nTägliche Update-Suche: nein (wird abgeschaltet)\r\nVerbindung zum "
             "Backup-Server: unverändert\r\nFreigabe für andere Rechner: wird beendet"},
        {"sharing off, not shared now", 0, 0, -1, 0, 1, 1, 0, 0, -1, "sched", "",
         "Bereit zur Installation.\r\n\r\nKomponenten: Grundpaket, Job-Planer\r\nDownload: "
         "500 kB" +
             dirs +
             "\r\nTägliche Update-Suche: nein\r\nVerbindung zum Backup-Server: nicht "
             "einrichten\r\nFreigabe für andere Rechner: keine"},
        {"repair shows no console lines", 2, 1, 1, 0, 1, 1, 0, 2, 2, "sched,console",
         "core,sched,console",
         "Die installierten Programme werden neu geladen und geprüft.\r\n\r\nKomponenten: "
         "Grundpaket, Job-Planer, Verwaltungskonsole\r\nDownload: 750 kB" +
             dirs + "\r\nTägliche Update-Suche: ja\r\nVerbindung zum Backup-Server: unverändert"},
        // A repair keeps the daily task as it stands: where it is gone or
        // cannot be seen (test mode), it is not promised.
        {"repair where the daily task is gone", 2, 1, 0, 0, 0, 1, 0, -1, -1, "sched",
         "core,sched",
         "Die installierten Programme werden neu geladen und geprüft.\r\n\r\nKomponenten: "
         "Grundpaket, Job-Planer\r\nDownload: 500 kB" +
             dirs + "\r\nTägliche Update-Suche: nein\r\nVerbindung zum Backup-Server: unverändert"},
        {"repair where the daily task cannot be seen", 2, 1, -1, 0, 0, 1, 0, -1, -1, "sched",
         "core,sched",
         "Die installierten Programme werden neu geladen und geprüft.\r\n\r\nKomponenten: "
         "Grundpaket, Job-Planer\r\nDownload: 500 kB" +
             dirs +
             "\r\nTägliche Update-Suche: unverändert\r\nVerbindung zum Backup-Server: "
             "unverändert"},
        {"api off shows no console lines", 0, 1, 1, 0, 0, 1, 1, 2, 2, "sched,console", "",
         "Bereit zur Installation.\r\n\r\nKomponenten: Grundpaket, Job-Planer, "
         "Verwaltungskonsole\r\nDownload: 750 kB" +
             dirs +
             "\r\nTägliche Update-Suche: ja\r\nVerbindung zum Backup-Server: nicht einrichten"},
        {"uninstall", 3, 1, 1, 1, 1, 1, 1, 2, 2, "sched", "core,sched",
         "orvantis 1.0.0 wird von diesem Rechner entfernt.\r\n\r\nInstalliert: Grundpaket, "
         "Job-Planer\r\nOrdner: C:\\P\\orvantis\r\n\r\nIhre Sicherungen werden nicht "
         "angefasst."},
    };
    std::vector<char16_t> out(WIZARD_SUMMARY_MAX);
    for (const auto &c : cases) {
        auto ctx = loaded();
        ctx->mode = c.mode;
        ctx->updater_schedule = c.schedule;
        ctx->update_task_state = c.task_state;
        ctx->configure_client = c.client;
        snprintf(ctx->client_server, sizeof ctx->client_server, "backup:7000");
        ctx->sched_api = c.api;
        ctx->console_link = c.link;
        snprintf(ctx->console_user, sizeof ctx->console_user, "PC\\anna");
        ctx->console_role_admin = c.admin;
        ctx->console_release = c.release;
        snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir,
                 "C:\\P\\orvantis");
        snprintf(ctx->installed_version, sizeof ctx->installed_version, "1.0.0");
        snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s", c.installed);
        select(ctx.get(), c.selection);
        wizard_summary_text(ctx.get(), "C:\\D\\orvantis", c.release_now, show_utf8, out.data(),
                            out.size());
        EXPECT_EQ(u8(out.data()), c.expected) << c.name;
    }
}

TEST_F(Wizard, SummaryLimits)
{
    auto ctx = loaded();
    ctx->sched_api = 1;
    ctx->console_link = 1;
    ctx->console_release = 1;
    select(ctx.get(), "sched,console");
    // A folder past its 700 characters shows as empty; a long user fills the text.
    std::string dir(511, 'p');
    snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir, "%s",
             dir.c_str());
    std::vector<char16_t> out(WIZARD_SUMMARY_MAX);
    std::string data(699, 'd');
    wizard_summary_text(ctx.get(), data.c_str(), -1, show_utf8, out.data(), out.size());
    std::string text = u8(out.data());
    EXPECT_NE(text.find("Zielordner: " + dir + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("Einstellungen und Protokolle: " + data + " (nur"), std::string::npos);
    data += "dd";
    wizard_summary_text(ctx.get(), data.c_str(), -1, show_utf8, out.data(), out.size());
    EXPECT_NE(u8(out.data()).find("Protokolle:  (nur"), std::string::npos) << "701 characters";

    // The whole text stops at 3199 units, the appended lines too, whatever
    // room the caller gives: a modify with every value at its limit (two
    // lists of 13 titles of 40 characters) comes to about 2890 units before
    // the console line, which then passes 3199.
    std::string user(255, 'u');
    std::string extra, chosen = "sched,console", installed = "core";
    for (char kind : {'l', 'r'}) {
        for (int i = 1; i <= 13; i++) {
            char id[8];
            snprintf(id, sizeof id, "%c%02d", kind, i);
            extra += std::string(", {\"id\": \"") + id + "\", \"title\": \"" + id +
                     std::string(37, 't') + "\"}";
            (kind == 'l' ? chosen : installed) += std::string(",") + id;
        }
    }
    auto full = loaded(extra, chosen.substr(strlen("sched,console,")));
    full->mode = SETUP_MODE_MODIFY;
    full->sched_api = 1;
    full->console_link = 1;
    full->console_release = 1;
    full->configure_client = 1;
    snprintf(full->client_server, sizeof full->client_server, "%s", std::string(255, 's').c_str());
    snprintf(full->console_user, sizeof full->console_user, "%s", user.c_str());
    snprintf(full->updater_config.install_dir, sizeof full->updater_config.install_dir, "%s",
             dir.c_str());
    snprintf(full->installed_components, sizeof full->installed_components, "%s",
             installed.c_str());
    select(full.get(), chosen.c_str());
    std::vector<char16_t> roomy(5000);
    size_t n = wizard_summary_text(full.get(), std::string(699, 'd').c_str(), -1, show_utf8,
                                   roomy.data(), roomy.size());
    text = u8(roomy.data());
    EXPECT_EQ(n, 3199u);
    EXPECT_EQ(wizard_len16(roomy.data()), 3199u);
    size_t console = text.find("\r\nVerwaltungskonsole: wird für " + user.substr(0, 100));
    ASSERT_NE(console, std::string::npos) << "the console line is cut, not left out";
    EXPECT_EQ(text.find("Freigabe"), std::string::npos) << "no room for the sharing line";
    EXPECT_NE(text.find("\r\nWird entfernt: r01"), std::string::npos);
    EXPECT_NE(text.find("l13" + std::string(37, 't') + "\r\n"), std::string::npos)
        << "every chosen title";
    std::vector<char16_t> small(300);
    wizard_summary_text(ctx.get(), "C:\\D", -1, show_utf8, small.data(), small.size());
    EXPECT_EQ(wizard_len16(small.data()), 299u);

    // A title that does not fit the 600 bytes whole is not cut into: the
    // list ends with the mark that more follow, and the text is still UTF-8.
    std::string umlauts;
    for (int i = 0; i < 300; i++)
        umlauts += "ä";
    auto wide = loaded(", {\"id\": \"x1\", \"title\": \"" + umlauts + "\"}");
    wide->mode = SETUP_MODE_UNINSTALL;
    snprintf(wide->installed_components, sizeof wide->installed_components, "core,x1");
    wizard_summary_text(wide.get(), "C:\\D", -1, show_utf8, out.data(), out.size());
    text = u8(out.data());
    EXPECT_NE(text.find("Installiert: Grundpaket, …\r\n"), std::string::npos)
        << text.substr(0, 80);
}

// Many components with long titles: the list stops after the last whole
// title within 600 bytes and says that more follow, in the component line
// and in the removed line alike.
TEST_F(Wizard, SummaryListsOfManyComponents)
{
    std::string extra, ids;
    for (int i = 1; i <= 22; i++) {
        char id[8], title[64];
        snprintf(id, sizeof id, "x%02d", i);
        // 42 bytes each.
        snprintf(title, sizeof title, "Zusatzmodul %02d: Überwachung der Sicherung", i);
        extra += std::string(", {\"id\": \"") + id + "\", \"title\": \"" + title + "\"}";
        ids += std::string(",") + id;
    }
    auto ctx = loaded(extra, ids.substr(1));
    select(ctx.get(), ("agent,restore,sched,console" + ids).c_str());
    std::vector<char16_t> out(WIZARD_SUMMARY_MAX);
    wizard_summary_text(ctx.get(), "C:\\D", -1, show_utf8, out.data(), out.size());
    std::string text = u8(out.data());
    // The client set's titles take 75 bytes; eleven more of 44 with their
    // separators leave no room for a twelfth beside the mark.
    const std::string eleventh = "Zusatzmodul 11: Überwachung der Sicherung, …\r\n";
    EXPECT_NE(text.find("Komponenten: Grundpaket, Backup-Agent, Wiederherstellung, Job-Planer, "
                        "Verwaltungskonsole, Zusatzmodul 01: "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(eleventh), std::string::npos) << text;
    EXPECT_EQ(text.find("Zusatzmodul 12"), std::string::npos) << text;

    ctx->mode = SETUP_MODE_MODIFY;
    snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s",
             ("core" + ids).c_str());
    select(ctx.get(), "agent");
    wizard_summary_text(ctx.get(), "C:\\D", -1, show_utf8, out.data(), out.size());
    text = u8(out.data());
    size_t removed = text.find("Wird entfernt: Zusatzmodul 01: ");
    ASSERT_NE(removed, std::string::npos) << text;
    size_t end = text.find("\r\n", removed);
    std::string line = text.substr(removed, end - removed);
    EXPECT_EQ(line.substr(line.size() - strlen(", …")), ", …") << line;
    EXPECT_EQ(line.find("Zusatzmodul 22"), std::string::npos) << line;
}
