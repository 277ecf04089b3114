// Component choice over a small catalog: availability on this computer,
// strict and lenient lists, presets, the closed selection, titles, sizes and
// the download size.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "catalog.h"
#include "setup_choice.h"
#include "setup_options.h"

#ifndef _WIN32
// The native build has no Windows unit behind the choice; every test below
// puts its own calls in.
setup_choice_sys setup_choice_calls = {nullptr, nullptr};
#endif

namespace {

std::string g_bucket_version; // the version the last bucket was asked for
unsigned g_bucket = 50;

// A computer without the Hyper-V role.
int no_hyperv(const char *id, char *reason, size_t size)
{
    if (size)
        reason[0] = '\0';
    if (strcmp(id, "hyperv") != 0)
        return 1;
    snprintf(reason, size, "%s", "Die Hyper-V-Rolle ist hier nicht installiert.");
    return 0;
}

unsigned fixed_bucket(const char *version)
{
    g_bucket_version = version;
    return g_bucket;
}

std::string pkg(const std::string &component, unsigned size, const std::string &os = "windows")
{
    return "{\"url\": \"p/" + component + ".pkg\", \"sha256\": \"" + std::string(64, 'a') +
           "\", \"size\": " + std::to_string(size) + ", \"match\": {\"os\": \"" + os +
           "\", \"arch\": \"x86_64\"}, \"component\": \"" + component + "\"}";
}

std::string join(const std::vector<std::string> &items)
{
    std::string s;
    for (size_t i = 0; i < items.size(); i++)
        s += (i ? ", " : "") + items[i];
    return s;
}

// Releases: 1.0.0 and 2.0.0 for the usual components (linuxonly only for
// Linux), 3.0.0 with "late" for 10% of the computers, 4.0.0 with "newsetup"
// for setups from 9.0.0 on.
std::string catalog_text()
{
    std::vector<std::string> common = {pkg("core", 1000),  pkg("agent", 2500),
                                       pkg("restore", 10), pkg("sched", 7),
                                       pkg("target", 20),  pkg("hyperv", 30),
                                       pkg("linuxonly", 40, "linux")};
    std::vector<std::string> v2 = common;
    v2[1] = pkg("agent", 2600);
    std::string releases =
        "{\"version\": \"1.0.0\", \"artifacts\": [" + join(common) + "]}, " +
        "{\"version\": \"2.0.0\", \"artifacts\": [" + join(v2) + "]}, " +
        "{\"version\": \"3.0.0\", \"rollout_percent\": 10, \"artifacts\": [" + pkg("late", 1) +
        "]}, " + "{\"version\": \"4.0.0\", \"min_updater\": \"9.0.0\", \"artifacts\": [" +
        pkg("newsetup", 1) + "]}";
    std::string components =
        "{\"id\": \"core\", \"title\": \"Grundpaket\", \"required\": true}, "
        "{\"id\": \"agent\", \"title\": \"Backup-Agent\", \"default\": true}, "
        "{\"id\": \"restore\", \"title\": \"\", \"requires\": [\"agent\"]}, "
        "{\"id\": \"sched\", \"title\": \"Zeitplaner\"}, "
        "{\"id\": \"target\"}, {\"id\": \"hyperv\"}, {\"id\": \"linuxonly\"}, "
        "{\"id\": \"late\"}, {\"id\": \"newsetup\"}";
    return "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": 1, "
           "\"issued\": \"2026-01-01T00:00:00Z\", \"expires\": \"2027-01-01T00:00:00Z\", "
           "\"releases\": [" + releases + "], \"components\": [" + components + "]}";
}

struct context_deleter {
    void operator()(setup_context *ctx) const
    {
        catalog_free(&ctx->component_catalog);
        delete ctx;
    }
};
using context_ptr = std::unique_ptr<setup_context, context_deleter>;

class SetupChoice : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = setup_choice_calls;
        setup_choice_calls = {no_hyperv, fixed_bucket};
        g_bucket = 50;
    }
    void TearDown() override { setup_choice_calls = saved_; }

    // A context with the catalog loaded and an x86_64 Windows computer.
    static context_ptr loaded()
    {
        context_ptr ctx(new setup_context);
        setup_options_base_defaults(ctx.get());
        snprintf(ctx->host_facts.os, sizeof ctx->host_facts.os, "windows");
        snprintf(ctx->host_facts.arch, sizeof ctx->host_facts.arch, "x86_64");
        std::string text = catalog_text();
        char msg[300] = "";
        EXPECT_EQ(catalog_parse(text.data(), text.size(), &ctx->component_catalog, msg,
                                sizeof msg),
                  0)
            << msg;
        ctx->catalog_loaded = 1;
        return ctx;
    }

    static size_t index_of(setup_context *ctx, const char *id)
    {
        const catalog_component *c = catalog_find_component(&ctx->component_catalog, id);
        EXPECT_NE(c, nullptr) << id;
        return c ? (size_t)(c - ctx->component_catalog.components) : 0;
    }

    // The ids of the selected components, joined by ",".
    static std::string selection(setup_context *ctx)
    {
        std::string s;
        for (size_t i = 0; i < ctx->component_catalog.component_count; i++)
            if (ctx->selected[i])
                s += (s.empty() ? "" : ",") + std::string(ctx->component_catalog.components[i].id);
        return s;
    }

    setup_choice_sys saved_;
};

} // namespace

TEST(SetupChoiceLists, ListContains)
{
    struct {
        const char *list, *id;
        int expected;
    } cases[] = {
        {"core,agent", "agent", 1}, {"core, agent", "agent", 1}, {"  agent", "agent", 1},
        {"agent ,core", "agent", 1}, {"agents,core", "agent", 0}, {"core,xagent", "agent", 0},
        {"core,agent2", "agent", 0}, {"", "agent", 0},           {"core,", "core", 1},
        {"a b", "a", 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(list_contains(c.list, c.id), c.expected) << c.list << " / " << c.id;
}

TEST_F(SetupChoice, Availability)
{
    struct {
        const char *id;
        const char *pin;
        const char *installed;
        int expected;
    } cases[] = {
        {"agent", "", "", 1},
        {"linuxonly", "", "", 0},      // no package for this computer
        {"late", "", "", 0},           // not yet offered to bucket 50
        {"newsetup", "", "", 0},       // needs a newer setup
        {"hyperv", "", "", 0},         // the role is missing
        {"hyperv", "", "core, hyperv", 1}, // an installed one stays available
        // A pin answers for that release alone, without the rollout.
        {"late", "3.0.0", "", 1},
        {"late", "1.0.0", "", 0},
        {"agent", "1.0.0", "", 1},
        {"agent", "3.0.0", "", 0},
        {"agent", "9.9.9", "", 0},
    };
    for (auto &c : cases) {
        context_ptr ctx = loaded();
        snprintf(ctx->target_version, sizeof ctx->target_version, "%s", c.pin);
        snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s", c.installed);
        EXPECT_EQ(setup_component_available(ctx.get(), index_of(ctx.get(), c.id)), c.expected)
            << c.id << " pin " << c.pin << " installed " << c.installed;
    }
    // The bucket is this computer's for the newest release of the catalog.
    EXPECT_EQ(g_bucket_version, "4.0.0");
    // A bucket below the rollout percent gets the release.
    g_bucket = 9;
    context_ptr ctx = loaded();
    EXPECT_EQ(setup_component_available(ctx.get(), index_of(ctx.get(), "late")), 1);

    ctx->catalog_loaded = 0;
    EXPECT_EQ(setup_component_available(ctx.get(), 0), 0);
    ctx->catalog_loaded = 1;
    EXPECT_EQ(setup_component_available(ctx.get(), ctx->component_catalog.component_count), 0);
}

TEST_F(SetupChoice, StrictAndLenientLists)
{
    struct {
        const char *list;
        int rc;
        const char *err;
        const char *selected;
    } cases[] = {
        {"agent,sched", 0, "", "agent,sched"},
        {"agent, sched", 0, "", "agent,sched"},
        {"agent,sched,", 0, "", "agent,sched"},
        {"", 0, "", ""},
        {"agent ,sched", -1, "Unbekannte Komponente „agent “ (siehe --list-components)", ""},
        {"agent,,sched", -1, "Unbekannte Komponente „“ (siehe --list-components)", "agent"},
        {"agent,bogus,sched", -1, "Unbekannte Komponente „bogus“ (siehe --list-components)",
         "agent"},
        {"hyperv", -1,
         "Die Komponente „hyperv“ passt nicht zu diesem Rechner: Die Hyper-V-Rolle ist hier "
         "nicht installiert.",
         ""},
        {"sched,linuxonly", -1, "Die Komponente „linuxonly“ gibt es für dieses System nicht",
         "sched"},
    };
    for (auto &c : cases) {
        context_ptr ctx = loaded();
        char err[600] = "";
        EXPECT_EQ(setup_select_list(ctx.get(), c.list, err, sizeof err), c.rc) << c.list;
        EXPECT_STREQ(err, c.err) << c.list;
        EXPECT_EQ(selection(ctx.get()), c.selected) << c.list;

        context_ptr strict = loaded();
        EXPECT_EQ(setup_select_list_strict(strict.get(), c.list, err, sizeof err), c.rc) << c.list;
    }
    // The lenient walk takes what it can and never fails; existing flags stay.
    context_ptr ctx = loaded();
    ctx->selected[index_of(ctx.get(), "core")] = 1;
    EXPECT_EQ(setup_select_list_lenient(ctx.get(), "bogus, agent,hyperv,linuxonly,,sched"), 0);
    EXPECT_EQ(selection(ctx.get()), "core,agent,sched");
}

TEST_F(SetupChoice, Presets)
{
    struct {
        const char *name;
        const char *installed;
        int rc;
        const char *selected;
    } cases[] = {
        // No "console" in this catalog: the others, without a message.
        {"client", "", 0, "core,agent,restore,sched"},
        {"server", "", 0, "core,target"},
        {"all", "", 0, "core,agent,restore,sched,target"},
        {"all", "hyperv", 0, "core,agent,restore,sched,target,hyperv"},
        {"installed", "agent, hyperv,gone", 0, "agent,hyperv"},
        {"Client", "", -1, ""},
    };
    for (auto &c : cases) {
        context_ptr ctx = loaded();
        snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s", c.installed);
        ctx->selected[index_of(ctx.get(), "late")] = 1; // cleared by every preset
        char err[600] = "";
        EXPECT_EQ(setup_apply_preset(ctx.get(), c.name, err, sizeof err), c.rc) << c.name;
        EXPECT_EQ(selection(ctx.get()), c.selected) << c.name << " " << c.installed;
        if (c.rc) {
            EXPECT_EQ(std::string(err),
                      std::string("Unbekannte Vorauswahl „") + c.name + "“ (client, server, all)");
        }
    }
}

TEST_F(SetupChoice, SelectionOptionsApplyOnce)
{
    context_ptr ctx = loaded();
    snprintf(ctx->preset, sizeof ctx->preset, "server");
    snprintf(ctx->component_list, sizeof ctx->component_list, "agent");
    char err[600] = "";
    ASSERT_EQ(setup_apply_selection_options(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(selection(ctx.get()), "core,agent,target");
    EXPECT_STREQ(ctx->preset, "");
    EXPECT_STREQ(ctx->component_list, "");
    // Applied once: a second call changes nothing.
    ctx->selected[index_of(ctx.get(), "agent")] = 0;
    EXPECT_EQ(setup_apply_selection_options(ctx.get(), err, sizeof err), 0);
    EXPECT_EQ(selection(ctx.get()), "core,target");

    struct {
        const char *preset, *list, *err;
    } failures[] = {
        {"bogus", "agent", "Unbekannte Vorauswahl „bogus“ (client, server, all)"},
        {"", "nope", "Unbekannte Komponente „nope“ (siehe --list-components)"},
    };
    for (auto &f : failures) {
        context_ptr c = loaded();
        snprintf(c->preset, sizeof c->preset, "%s", f.preset);
        snprintf(c->component_list, sizeof c->component_list, "%s", f.list);
        EXPECT_EQ(setup_apply_selection_options(c.get(), err, sizeof err), -1) << f.err;
        EXPECT_STREQ(err, f.err);
        // What failed is kept for the message of a later attempt.
        EXPECT_STREQ(c->component_list, f.list);
    }
}

TEST_F(SetupChoice, ResolvedListAndDownloadSize)
{
    struct {
        const char *selected;
        const char *resolved;
        uint64_t size; // in release 2.0.0
    } cases[] = {
        {"", "core", 1000},
        {"restore", "core,agent,restore", 1000 + 2600 + 10},
        {"sched,core", "core,sched", 1007},
        // No release has a package of every id for this computer.
        {"linuxonly", "core,linuxonly", 0},
    };
    for (auto &c : cases) {
        context_ptr ctx = loaded();
        setup_select_list_lenient(ctx.get(), c.selected);
        // linuxonly is not available, so it is set by hand.
        if (strcmp(c.selected, "linuxonly") == 0)
            ctx->selected[index_of(ctx.get(), "linuxonly")] = 1;
        char out[300];
        setup_resolved_list(ctx.get(), out, sizeof out);
        EXPECT_STREQ(out, c.resolved) << c.selected;
        EXPECT_EQ(setup_download_size(ctx.get()), c.size) << c.selected;
    }
    // Pinned to 1.0.0 the older agent package counts.
    context_ptr pinned = loaded();
    snprintf(pinned->target_version, sizeof pinned->target_version, "1.0.0");
    setup_select_list_lenient(pinned.get(), "agent");
    EXPECT_EQ(setup_download_size(pinned.get()), 1000u + 2500u);
    // Cut at the buffer's end.
    char small[8];
    setup_select_list_lenient(pinned.get(), "restore,sched");
    setup_resolved_list(pinned.get(), small, sizeof small);
    EXPECT_STREQ(small, "core,ag");
    // Without a catalog: nothing.
    pinned->catalog_loaded = 0;
    char out[300] = "x";
    setup_resolved_list(pinned.get(), out, sizeof out);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(setup_download_size(pinned.get()), 0u);
}

TEST_F(SetupChoice, DisplayNames)
{
    context_ptr ctx = loaded();
    struct {
        const char *list, *expected;
    } cases[] = {
        {"core,agent", "Grundpaket, Backup-Agent"},
        {"restore,target", "restore, target"}, // no title, or an empty one: the id
        {"agent,", "Backup-Agent"},
        {"agent, sched", "Backup-Agent,  sched"}, // no blank skipping: " sched" is no id
        {"unknown", "unknown"},
        {"", ""},
    };
    for (auto &c : cases) {
        char out[300] = "x";
        setup_display_names(ctx.get(), c.list, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.list;
    }
    char small[10];
    setup_display_names(ctx.get(), "core,agent", small, sizeof small);
    EXPECT_STREQ(small, "Grundpake");

    // A list that does not fit ends after its last whole title with ", …",
    // for which room is kept; it never ends in part of a title.
    struct {
        size_t size;
        const char *expected;
    } cut[] = {
        {37, "Grundpaket, Backup-Agent, Zeitplaner"},
        {36, "Grundpaket, Backup-Agent, …"},
        {30, "Grundpaket, Backup-Agent, …"},
        {29, "Grundpaket, …"},
        {16, "Grundpaket, …"},
    };
    for (auto &c : cut) {
        std::vector<char> out(c.size, 'Z');
        setup_display_names(ctx.get(), "core,agent,sched", out.data(), out.size());
        EXPECT_STREQ(out.data(), c.expected) << c.size;
    }
}

TEST(SetupChoiceLists, FormatSize)
{
    struct {
        uint64_t bytes;
        const char *expected;
    } cases[] = {
        {0, "0 Bytes"},
        {1, "1 Byte"},
        {999, "999 Bytes"},
        {1000, "1,0 kB"},
        {1500, "1,5 kB"},
        {99949, "99,9 kB"},
        {999999, "1000 kB"},
        {123456789, "123 MB"},
        {2500000000ULL, "2,5 GB"},
        {5000000000000000ULL, "5000 TB"},
        {18446744073709551615ULL, "18446744 TB"},
    };
    for (auto &c : cases) {
        char out[32];
        format_size(c.bytes, out, sizeof out);
        EXPECT_STREQ(out, c.expected) << c.bytes;
    }
}
