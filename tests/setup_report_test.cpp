// The run's report, the progress adapters, the German step texts and the
// error writer.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "catalog.h"
#include "setup_options.h"
#include "setup_report.h"
#include "text.h"

static std::unique_ptr<setup_context> fresh()
{
    std::unique_ptr<setup_context> ctx(new setup_context);
    setup_options_base_defaults(ctx.get());
    return ctx;
}

TEST(SetupReport, LinesUntilTheTextIsFull)
{
    struct {
        size_t before; // bytes already in the report
        const char *line;
        size_t after;
        const char *tail; // how the report ends afterwards
    } cases[] = {
        {0, "Installiert: Agent", 19, "Agent\n"},
        {4090, "ab", 4093, "xab\n"},
        {4091, "ab", 4094, "xab\n"},
        {4092, "ab", 4094, "xab"},     // no room for the line feed
        {4093, "abc", 4095, "xab"},    // cut at the buffer's end
        {4094, "abc", 4094, "xxx"},    // full: dropped
        {4095, "abc", 4095, "xxx"},
    };
    for (auto &c : cases) {
        auto ctx = fresh();
        memset(ctx->report, 'x', c.before);
        ctx->report[c.before] = '\0';
        EXPECT_EQ(setup_report(ctx.get(), "%s", c.line), c.after) << c.before;
        std::string r = ctx->report;
        EXPECT_EQ(r.size(), c.after) << c.before;
        EXPECT_EQ(r.substr(r.size() - strlen(c.tail)), c.tail) << c.before;
    }
    auto ctx = fresh();
    setup_report(ctx.get(), "Version %s", "1.2.3");
    setup_report(ctx.get(), "WARNUNG: %d", 7);
    EXPECT_STREQ(ctx->report, "Version 1.2.3\nWARNUNG: 7\n");
}

// A line cut at the report's end keeps whole characters, wherever the cut
// falls: the result page shows the report as UTF-8 only while all of it is.
TEST(SetupReport, CutLineEndsOnAWholeCharacter)
{
    for (size_t before = 4085; before <= 4094; before++) {
        auto ctx = fresh();
        memset(ctx->report, 'x', before);
        ctx->report[before] = '\0';
        setup_report(ctx.get(), "%s", "ÄÖÜäöüß…ÄÖÜäöüß…");
        EXPECT_TRUE(text_utf8_valid(ctx->report, strlen(ctx->report))) << before;
        EXPECT_GE(strlen(ctx->report), before) << before;
    }
}

static std::vector<std::string> g_steps;
static uint64_t g_done, g_total;
static int record_step(void *user, const char *step, size_t index, size_t count)
{
    g_steps.push_back(std::string(step) + " " + std::to_string(index) + "/" +
                      std::to_string(count) + (user == &g_steps ? "" : " (wrong user)"));
    return 17;
}
static void record_bytes(void *user, uint64_t done, uint64_t total)
{
    g_done = done;
    g_total = user == &g_steps ? total : 0;
}

TEST(SetupReport, AdaptersPassProgressOn)
{
    auto ctx = fresh();
    // Without callbacks nothing happens.
    EXPECT_EQ(setup_step_adapter(ctx.get(), "installing", 3, 3), 0);
    setup_bytes_adapter(ctx.get(), 1, 2);

    ctx->callbacks.step_fn = record_step;
    ctx->callbacks.bytes_fn = record_bytes;
    ctx->callbacks.callback_user = &g_steps;
    // Three packages: the total shown has room for "installing" and "configuring".
    for (size_t i = 0; i < 3; i++)
        setup_step_adapter(ctx.get(), "downloading agent", i, 3);
    EXPECT_EQ(setup_step_adapter(ctx.get(), "installing", 3, 3), 17);
    EXPECT_EQ(g_steps, (std::vector<std::string>{"downloading agent 0/5", "downloading agent 1/5",
                                                 "downloading agent 2/5", "installing 3/5"}));
    setup_bytes_adapter(ctx.get(), 500, 1000);
    EXPECT_EQ(g_done, 500u);
    EXPECT_EQ(g_total, 1000u);
}

TEST(SetupReport, StepTexts)
{
    auto ctx = fresh();
    std::string text =
        "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": 1, "
        "\"issued\": \"2026-01-01T00:00:00Z\", \"expires\": \"2027-01-01T00:00:00Z\", "
        "\"releases\": [{\"version\": \"1.0.0\", \"artifacts\": [{\"url\": \"a.pkg\", "
        "\"sha256\": \"" + std::string(64, 'a') + "\", \"size\": 1, \"match\": {\"os\": "
        "\"windows\"}, \"component\": \"agent\"}]}], \"components\": [{\"id\": \"agent\", "
        "\"title\": \"Backup-Agent\"}, {\"id\": \"sched\"}]}";
    char msg[300] = "";
    ASSERT_EQ(catalog_parse(text.data(), text.size(), &ctx->component_catalog, msg, sizeof msg), 0)
        << msg;
    ctx->catalog_loaded = 1;
    struct {
        const char *step, *expected;
    } cases[] = {
        {"downloading package", "Lade das Update-Paket"},
        {"downloading agent", "Lade Komponente „Backup-Agent“"},
        {"downloading sched", "Lade Komponente „sched“"},
        {"downloading other", "Lade Komponente „other“"},
        {"installing", "Installiere und prüfe die Programme"},
        {"configuring", "Richte die Einstellungen ein"},
        {"removing", "Entferne die Programme"},
        {"verifying", "verifying"},
        {"Installing", "Installing"},
    };
    for (auto &c : cases) {
        char out[300];
        EXPECT_EQ(setup_step_text(ctx.get(), c.step, out, sizeof out), out);
        EXPECT_STREQ(out, c.expected) << c.step;
    }
    char small[6];
    setup_step_text(ctx.get(), "installing", small, sizeof small);
    EXPECT_STREQ(small, "Insta");
    catalog_free(&ctx->component_catalog);
}

TEST(SetupReport, ErrorWriter)
{
    char err[8] = "keep";
    setup_error(nullptr, 8, "%s", "x");
    setup_error(err, 0, "%s", "x");
    EXPECT_STREQ(err, "keep");
    setup_error(err, sizeof err, "Fehler %d", 1234);
    EXPECT_STREQ(err, "Fehler ");
    char buf[4];
    EXPECT_EQ(setup_flow_snprintf(buf, sizeof buf, "%s", "abcdef"), 6);
    EXPECT_STREQ(buf, "abc");
}
