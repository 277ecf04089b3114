// The uninstall flow with its calls replaced: the order of the steps, the
// engine's three outcomes and their messages, what is kept or purged, and the
// readers of the installed state.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "setup_flow.h"
#include "setup_options.h"
#include "test_context.h"

namespace {

// What the fakes answer and what they saw.
struct world {
    int admin = 1;
    int begin_rc = 0;            // whether the engine is busy before anything is removed
    const char *begin_msg = "";
    int unregister_rc = 0;
    const char *unregister_msg = "";
    int engine_rc = 0;
    const char *engine_msg = "";
    int task_exists = 1;
    updater_state state = {};
    std::string calls;   // one word per call, in order
    int purge_seen = -1; // the purge flag the engine was given
} g;

int fake_admin(void) { return g.admin; }
int fake_state_read(const updater_config *, updater_state *st)
{
    *st = g.state;
    return 0;
}
char *fake_data_dir(const setup_context *, char *buf, size_t size)
{
    snprintf(buf, size, "%s", "D:\\data\\orvantis");
    return buf;
}
int fake_task_exists(setup_context *)
{
    g.calls += "query ";
    return g.task_exists;
}
int fake_begin(const updater_config *, char *err, size_t errlen)
{
    g.calls += "begin ";
    snprintf(err, errlen, "%s", g.begin_msg);
    return g.begin_rc;
}
int fake_unregister(setup_context *, char *msg, size_t msglen)
{
    g.calls += "unregister ";
    snprintf(msg, msglen, "%s", g.unregister_msg);
    return g.unregister_rc;
}
int fake_engine(const updater_config *, int purge, char *err, size_t errlen)
{
    g.calls += "engine ";
    g.purge_seen = purge;
    snprintf(err, errlen, "%s", g.engine_msg);
    return g.engine_rc;
}
void fake_purge(setup_context *ctx)
{
    g.calls += "purge ";
    strcat(ctx->report, "purged\n");
}

// The install side of the table stays empty: the uninstall flow never calls it.
static setup_flow_sys uninstall_sys()
{
    setup_flow_sys s = {};
    s.is_admin = fake_admin;
    s.state_read = fake_state_read;
    s.data_dir = fake_data_dir;
    s.update_task_exists = fake_task_exists;
    s.uninstall_begin = fake_begin;
    s.unregister = fake_unregister;
    s.engine_uninstall = fake_engine;
    s.purge = fake_purge;
    return s;
}

const setup_flow_sys kSys = uninstall_sys();

std::string g_steps;
int record_step(void *, const char *step, size_t index, size_t count)
{
    g_steps += std::string(step) + " " + std::to_string(index) + "/" + std::to_string(count);
    return 0;
}

class UninstallFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        g = world();
        g_steps.clear();
        ctx.reset(new setup_context);
        setup_options_base_defaults(ctx.get());
        ctx->mode = SETUP_MODE_UNINSTALL;
        snprintf(ctx->config_path, sizeof ctx->config_path, "%s", "C:\\conf\\updater.conf");
        ctx->callbacks.step_fn = record_step;
    }
    int run() { return setup_uninstall_silent_with(ctx.get(), &kSys, err, sizeof err); }
    test_context_ptr ctx;
    char err[600] = "";
};

const char kWindowsGone[] = "WARNUNG: Die Einträge bei Windows";

TEST_F(UninstallFlow, RemovesEntriesThenProgramsAndKeepsTheSettings)
{
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(g.calls, "begin unregister engine ");
    EXPECT_EQ(g.purge_seen, 0);
    EXPECT_EQ(g_steps, "removing 0/1");
    EXPECT_STREQ(ctx->report,
                 "Die Programme wurden entfernt.\n"
                 "Sicherungen, Schlüssel, Zertifikate und C:\\conf\\updater.conf wurden behalten "
                 "(--purge entfernt auch die Einstellungen).\n");
}

TEST_F(UninstallFlow, WizardNamesTheDataDirectory)
{
    ctx->front_end = SETUP_FRONT_WIZARD;
    EXPECT_EQ(run(), 0);
    EXPECT_NE(strstr(ctx->report, "Protokolle in D:\\data\\orvantis wurden behalten."), nullptr)
        << ctx->report;
}

TEST_F(UninstallFlow, PurgeGoesToTheEngineAndEndsWithThePurgeLines)
{
    ctx->purge = 1;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(g.calls, "begin unregister engine purge ");
    EXPECT_EQ(g.purge_seen, 1);
    EXPECT_STREQ(ctx->report, "Die Programme wurden entfernt.\npurged\n");
}

TEST_F(UninstallFlow, AFailedWindowsCleanUpIsAWarningOnly)
{
    g.unregister_rc = -1;
    g.unregister_msg = "cannot open the uninstall key";
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(strncmp(ctx->report, "WARNUNG: ", 9), 0) << ctx->report;
    EXPECT_NE(strstr(ctx->report, "Die Programme wurden entfernt."), nullptr);
}

// The engine's outcomes: the result, the message and whether the report
// says that the Windows entries are gone while the programs stay.
TEST_F(UninstallFlow, EngineOutcomes)
{
    struct {
        const char *name;
        const char *root;
        int rc;
        const char *msg;
        int expected_rc;
        const char *expected_err;
        bool entries_warning;
    } cases[] = {
        {"postponed", "", 75, "", 75,
         "Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte später erneut "
         "versuchen",
         true},
        {"postponed by a program the engine names", "", 75,
         "orv_maintenance.exe is running: not uninstalling now", 75,
         "Gerade läuft orv_maintenance.exe; die Programme werden jetzt nicht entfernt. Bitte "
         "später erneut versuchen",
         true},
        {"postponed in test mode", "C:\\t", 75, "", 75,
         "Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte später erneut "
         "versuchen",
         false},
        {"failed without words", "", 1, "", 1, "Das Entfernen ist fehlgeschlagen", true},
        {"failed with words, kept as the engine's", "", 1, "some engine sentence", 1,
         "Some engine sentence", true},
    };
    for (const auto &c : cases) {
        SetUp();
        snprintf(ctx->root, sizeof ctx->root, "%s", c.root);
        g.engine_rc = c.rc;
        g.engine_msg = c.msg;
        EXPECT_EQ(run(), c.expected_rc) << c.name;
        EXPECT_STREQ(err, c.expected_err) << c.name;
        EXPECT_EQ(strstr(ctx->report, "Die Programme wurden entfernt."), nullptr) << c.name;
        EXPECT_EQ(strstr(ctx->report, kWindowsGone) != nullptr, c.entries_warning)
            << c.name << ": " << ctx->report;
        EXPECT_EQ(g.calls, "begin unregister engine ") << c.name << ": the purge needs a removal";
    }
}

// Busy is decided before anything is removed: then nothing is touched, and
// the report says nothing of removed entries.
TEST_F(UninstallFlow, BusyBeforeAnythingIsRemoved)
{
    struct {
        const char *name;
        const char *root;
        int rc;
        const char *msg;
        const char *expected_err;
    } cases[] = {
        {"busy", "", 75, "",
         "Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte später erneut "
         "versuchen"},
        {"busy in test mode", "C:\\t", 75, "",
         "Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte später erneut "
         "versuchen"},
        {"state directory unusable", "", 1, "cannot use the state directory S:\\state",
         "Das Statusverzeichnis S:\\state ist nicht benutzbar"},
        {"failed without words", "", 1, "", "Das Entfernen ist fehlgeschlagen"},
    };
    for (const auto &c : cases) {
        SetUp();
        snprintf(ctx->root, sizeof ctx->root, "%s", c.root);
        ctx->purge = 1;
        g.begin_rc = c.rc;
        g.begin_msg = c.msg;
        EXPECT_EQ(run(), c.rc) << c.name;
        EXPECT_STREQ(err, c.expected_err) << c.name;
        EXPECT_EQ(g.calls, "begin ") << c.name << ": something was removed";
        EXPECT_STREQ(ctx->report, "") << c.name;
        EXPECT_EQ(g_steps, "removing 0/1") << c.name;
    }
}

TEST_F(UninstallFlow, AdministratorCheck)
{
    struct {
        const char *name;
        int admin;
        const char *root;
        int expected;
        const char *calls;
    } cases[] = {
        {"not an administrator", 0, "", 1, ""},
        {"not an administrator in test mode", 0, "C:\\t", 0, "begin unregister engine "},
        {"administrator", 1, "", 0, "begin unregister engine "},
    };
    for (const auto &c : cases) {
        SetUp();
        g.admin = c.admin;
        snprintf(ctx->root, sizeof ctx->root, "%s", c.root);
        EXPECT_EQ(run(), c.expected) << c.name;
        EXPECT_EQ(g.calls, c.calls) << c.name;
        if (c.expected) {
            EXPECT_STREQ(err, "Das Setup braucht Administratorrechte (als Administrator "
                              "ausführen)")
                << c.name;
        }
    }
}

TEST_F(UninstallFlow, ReadInstalled)
{
    snprintf(g.state.components, sizeof g.state.components, "%s", "core,agent");
    snprintf(g.state.installed_version, sizeof g.state.installed_version, "%s", "2.0.1");
    EXPECT_EQ(setup_read_installed_with(ctx.get(), &kSys), 1);
    EXPECT_STREQ(ctx->installed_components, "core,agent");
    EXPECT_STREQ(ctx->installed_version, "2.0.1");
    g.state = updater_state();
    EXPECT_EQ(setup_read_installed_with(ctx.get(), &kSys), 0);
    EXPECT_STREQ(ctx->installed_components, "");
}

TEST_F(UninstallFlow, ReadTaskState)
{
    struct {
        const char *name;
        const char *installed;
        int exists;
        int expected_state;
        int expected_schedule;
        const char *calls;
    } cases[] = {
        {"task missing turns the schedule off", "core", 0, 0, 0, "query "},
        {"task present", "core", 1, 1, 1, "query "},
        {"test mode or failed query keeps it on", "core", -1, -1, 1, "query "},
        {"nothing installed: no query", "", 0, -1, 1, ""},
    };
    for (const auto &c : cases) {
        SetUp();
        snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s",
                 c.installed);
        ctx->updater_schedule = 1;
        g.task_exists = c.exists;
        setup_read_task_state_with(ctx.get(), &kSys);
        EXPECT_EQ(ctx->update_task_state, c.expected_state) << c.name;
        EXPECT_EQ(ctx->updater_schedule, c.expected_schedule) << c.name;
        EXPECT_EQ(g.calls, c.calls) << c.name;
    }
}

}  // namespace
