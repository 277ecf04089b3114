// The install flow over a small catalog with its calls replaced: selection
// and release per mode, what reaches the engine, the engine's outcomes and
// what follows each, the settings file, and the integration steps' report
// lines and run-ending failures.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "catalog.h"
#include "seam_guard.h"
#include "setup_choice.h"
#include "setup_flow.h"
#include "setup_options.h"
#include "test_context.h"
#include "text.h"

#ifndef _WIN32
// The native build has no Windows unit behind the choice; the tests put
// their own calls in.
setup_choice_sys setup_choice_calls = {nullptr, nullptr};
#endif

namespace {

// What the fakes answer and what they saw.
struct world {
    int connect_rc = 0;
    int install_rc = 0;
    const char *install_msg = "";
    int keep_rc = 0;            // the settings file: 0 readable, 1 faulty and kept, -1 not kept
    int config_rc = 0;
    int register_rc = 0;
    int task_exists = 0;
    int task_rc = 0;
    int sched_rc = 0;
    int link_rc = 0;
    int client_rc = 0;
    std::string programs = "orv_agent orv_sched orv_console"; // installed programs
    updater_state before = {};  // the state before the engine ran
    updater_state after = {};   // the state after it
    int recover_rc = 0;         // the healing of an interrupted switch
    const char *recover_msg = "";
    bool recover_heals = false;  // the healing changes the state to healed
    updater_state healed = {};
    int heals = 0;              // healings asked for
    int heals_at_connect = -1;  // healings asked for when the flow connected
    int pending = 0;            // a switch's journal is left after the engine's run
    bool installed = false;     // the engine ran and succeeded
    std::string calls;          // one word per call, in order
    std::string plan;           // "version list count" given to the engine
    std::string steps;          // the steps the front end saw
} g;

int fake_admin(void) { return 1; }
int fake_state_read(const updater_config *, updater_state *st)
{
    *st = g.installed ? g.after : g.before;
    return 0;
}
char *fake_data_dir(const setup_context *, char *buf, size_t size)
{
    snprintf(buf, size, "%s", "D:\\data");
    return buf;
}
int fake_task_exists(setup_context *)
{
    g.calls += "task? ";
    return g.task_exists;
}
int fake_uninstall_begin(const updater_config *, char *, size_t) { return 0; }
int fake_unregister(setup_context *, char *, size_t) { return 0; }
int fake_engine_uninstall(const updater_config *, int, char *, size_t) { return 0; }
void fake_purge(setup_context *) {}
int fake_connect(setup_context *, char *err, size_t errlen)
{
    g.heals_at_connect = g.heals;
    if (g.connect_rc)
        snprintf(err, errlen, "%s", "Keine Verbindung");
    return g.connect_rc;
}
int fake_restrict(setup_context *, char *, size_t)
{
    g.calls += "restrict ";
    return 0;
}
int fake_install(setup_context *, const setup_install_plan *plan, char *err, size_t errlen)
{
    g.calls += "install ";
    g.plan = std::string(plan->version) + " " + plan->component_list + " " +
             std::to_string(plan->count);
    for (size_t i = 0; i < plan->count; i++)
        EXPECT_NE(plan->packages[i], nullptr) << "package " << i;
    snprintf(err, errlen, "%s", g.install_msg);
    g.installed = g.install_rc == 0;
    return g.install_rc;
}
int fake_config_keep(const char *path, char *kept, size_t keptlen, char *why, size_t whylen)
{
    g.calls += "keep ";
    snprintf(kept, keptlen, "%s.bad", path);
    if (g.keep_rc > 0)
        snprintf(why, whylen, "%s:3: unknown setting 'colour'", path);
    else if (g.keep_rc < 0)
        snprintf(why, whylen, "%s", "cannot copy C:\\c\\updater.conf");
    return g.keep_rc;
}
int fake_config_write(const char *, const updater_config *, char *err, size_t errlen)
{
    g.calls += "config ";
    if (g.config_rc)
        snprintf(err, errlen, "%s", "cannot write the file");
    return g.config_rc;
}
int fake_register(setup_context *, char *err, size_t errlen)
{
    g.calls += "register ";
    if (g.register_rc)
        snprintf(err, errlen, "%s", "orv_setup gehört nicht zu dieser Installation");
    return g.register_rc;
}
int fake_task_create(setup_context *, char *err, size_t errlen)
{
    g.calls += "task+ ";
    if (g.task_rc)
        snprintf(err, errlen, "%s", "schtasks failed");
    return g.task_rc;
}
int fake_task_delete(setup_context *, char *err, size_t errlen)
{
    g.calls += "task- ";
    if (g.task_rc)
        snprintf(err, errlen, "%s", "schtasks failed");
    return g.task_rc;
}
const char *fake_program_path(const setup_context *, const char *name, char *buf, size_t size)
{
    if (g.programs.find(name) == std::string::npos)
        return nullptr;
    snprintf(buf, size, "I:\\bin\\%s.exe", name);
    return buf;
}
int fake_resume_create(setup_context *, char *, size_t)
{
    g.calls += "resume+ ";
    return 0;
}
void fake_resume_remove(setup_context *) { g.calls += "resume- "; }
int fake_sched_setup(setup_context *, char *err, size_t errlen)
{
    g.calls += "sched+ ";
    if (g.sched_rc)
        snprintf(err, errlen, "%s", "orv_sched gehört nicht zu dieser Installation");
    return g.sched_rc;
}
void fake_sched_remove(setup_context *) { g.calls += "sched- "; }
int fake_console_link(setup_context *, char *err, size_t errlen)
{
    g.calls += "link ";
    if (g.link_rc)
        snprintf(err, errlen, "%s", "Die API des Job-Planers ist ausgeschaltet");
    return g.link_rc;
}
int fake_server(setup_context *, char *err, size_t errlen)
{
    g.calls += "server ";
    snprintf(err, errlen, "%s", "Der Backup-Server (orv_target) läuft nur unter Linux");
    return -1;
}
int fake_client(setup_context *, char *msg, size_t msglen)
{
    g.calls += "client ";
    if (g.client_rc)
        snprintf(msg, msglen, "%s", "Der API-Key ist zu kurz");
    return g.client_rc;
}

int fake_recover(const updater_config *, char *err, size_t errlen)
{
    g.heals++;
    if (g.recover_heals)
        g.before = g.healed;
    snprintf(err, errlen, "%s", g.recover_msg);
    return g.recover_rc;
}
int fake_pending(const updater_config *) { return g.pending; }

const setup_flow_sys kSys = {
    fake_admin,         fake_state_read,    fake_data_dir,      fake_task_exists,
    fake_uninstall_begin, fake_unregister,  fake_engine_uninstall, fake_purge,
    fake_connect,
    fake_restrict,      fake_install,       fake_config_keep,   fake_config_write,
    fake_register,
    fake_task_create,   fake_task_delete,   fake_program_path,  fake_resume_create,
    fake_resume_remove, fake_sched_setup,   fake_sched_remove,  fake_console_link,
    fake_server,        fake_client,        fake_recover,       fake_pending,
};

int record_step(void *, const char *step, size_t index, size_t count)
{
    g.steps += std::string(step) + " " + std::to_string(index) + "/" + std::to_string(count);
    return 0;
}

int any_host(const char *, char *reason, size_t size)
{
    if (size)
        reason[0] = '\0';
    return 1;
}
unsigned bucket_50(const char *) { return 50; }

std::string pkg(const std::string &component)
{
    return "{\"url\": \"p/" + component + ".pkg\", \"sha256\": \"" + std::string(64, 'a') +
           "\", \"size\": 10, \"match\": {\"os\": \"windows\", \"arch\": \"x86_64\"}, "
           "\"component\": \"" + component + "\"}";
}

// Releases 1.0.0 and 2.0.0 of five components; restore needs agent.
std::string catalog_text()
{
    std::string all = pkg("core") + ", " + pkg("agent") + ", " + pkg("restore") + ", " +
                      pkg("sched") + ", " + pkg("console");
    return "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": 1, "
           "\"issued\": \"2026-01-01T00:00:00Z\", \"expires\": \"2027-01-01T00:00:00Z\", "
           "\"releases\": [{\"version\": \"1.0.0\", \"artifacts\": [" + all + "]}, "
           "{\"version\": \"2.0.0\", \"artifacts\": [" + all + "]}], "
           "\"components\": [{\"id\": \"core\", \"title\": \"Grundpaket\", \"required\": true}, "
           "{\"id\": \"agent\", \"title\": \"Backup-Agent\"}, "
           "{\"id\": \"restore\", \"title\": \"Wiederherstellung\", \"requires\": [\"agent\"]}, "
           "{\"id\": \"sched\", \"title\": \"Job-Planer\"}, "
           "{\"id\": \"console\", \"title\": \"Konsole\"}]}";
}

void set_state(updater_state *st, const char *version, const char *components)
{
    snprintf(st->installed_version, sizeof st->installed_version, "%s", version);
    snprintf(st->components, sizeof st->components, "%s", components);
}

class InstallFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        g = world();
        setup_choice_calls = {any_host, bucket_50};
        ctx.reset(new setup_context);
        setup_options_base_defaults(ctx.get());
        ctx->silent = 1;
        snprintf(ctx->host_facts.os, sizeof ctx->host_facts.os, "windows");
        snprintf(ctx->host_facts.arch, sizeof ctx->host_facts.arch, "x86_64");
        snprintf(ctx->config_path, sizeof ctx->config_path, "%s", "C:\\c\\updater.conf");
        std::string text = catalog_text();
        char msg[300] = "";
        ASSERT_EQ(catalog_parse(text.data(), text.size(), &ctx->component_catalog, msg,
                                sizeof msg),
                  0)
            << msg;
        ctx->catalog_loaded = 1;
        ctx->callbacks.step_fn = record_step;
        set_state(&g.after, "2.0.0", "core,agent,restore,sched,console");
        err[0] = '\0';
    }
    int run() { return setup_install_silent_with(ctx.get(), &kSys, err, sizeof err); }
    bool reported(const char *line) const { return strstr(ctx->report, line) != nullptr; }

    seam_guard<setup_choice_sys> guard{setup_choice_calls};
    test_context_ptr ctx;
    char err[600];
};

TEST_F(InstallFlow, FreshInstallOfTheClientPreset)
{
    ctx->scheduler_service = 0;
    EXPECT_EQ(run(), 0) << err;
    EXPECT_EQ(g.plan, "2.0.0 core,agent,restore,sched,console 5");
    EXPECT_EQ(g.steps, "configuring 6/7");
    EXPECT_STREQ(ctx->installed_version, "2.0.0");
    EXPECT_STREQ(ctx->report,
                 "Installierte Version 2.0.0: Grundpaket, Backup-Agent, Wiederherstellung, "
                 "Job-Planer, Konsole\n"
                 "Update-Einstellungen: C:\\c\\updater.conf\n"
                 "Die tägliche Update-Suche ist eingerichtet\n"
                 "Unterbrochene Sicherungen werden beim Systemstart fortgesetzt (orv_agent "
                 "--resume-pending)\n");
    EXPECT_EQ(g.calls, "restrict install keep config register task+ resume+ sched- ");
}

// Which components and which release each mode installs.
TEST_F(InstallFlow, SelectionAndReleasePerMode)
{
    struct {
        const char *name;
        int mode;
        const char *installed_version, *installed, *components, *to;
        int expected_rc;
        const char *plan;    // what the engine got ("" when it did not run)
        const char *removed; // the "Entfernt" line, or null when there is none
    } cases[] = {
        {"modify keeps the installed set", SETUP_MODE_MODIFY, "1.0.0", "core,agent", "", "", 0,
         "2.0.0 core,agent 2", nullptr},
        {"modify to agent only", SETUP_MODE_MODIFY, "1.0.0", "core,agent,restore", "agent", "",
         0, "2.0.0 core,agent 2", "Entfernt: Wiederherstellung"},
        {"repair pins the installed version", SETUP_MODE_REPAIR, "1.0.0", "core,agent", "", "",
         0, "1.0.0 core,agent 2", nullptr},
        {"repair of a version gone from the catalog takes the newest", SETUP_MODE_REPAIR,
         "1.5.0", "core,agent", "", "", 0, "2.0.0 core,agent 2", nullptr},
        {"repair to a named version gone from the catalog takes the newest",
         SETUP_MODE_REPAIR, "1.0.0", "core,agent", "", "1.5.0", 0, "2.0.0 core,agent 2",
         nullptr},
        {"repair to a named version", SETUP_MODE_REPAIR, "2.0.0", "core,agent", "", "1.0.0", 0,
         "1.0.0 core,agent 2", nullptr},
        {"modify to a version gone from the catalog installs nothing", SETUP_MODE_MODIFY,
         "1.0.0", "core,agent", "", "1.5.0", 1, "", nullptr},
        {"update keeps the installed components", SETUP_MODE_INSTALL, "1.0.0",
         "core,agent,restore", "", "", 0, "2.0.0 core,agent,restore 3", nullptr},
        {"update adds what the catalog now requires", SETUP_MODE_INSTALL, "1.0.0",
         "agent,console", "", "", 0, "2.0.0 core,agent,console 3", nullptr},
        {"update with a list installs exactly the list", SETUP_MODE_INSTALL, "1.0.0",
         "core,agent,restore", "agent", "", 0, "2.0.0 core,agent 2",
         "Entfernt: Wiederherstellung"},
        {"install pinned by --to", SETUP_MODE_INSTALL, "", "", "agent", "1.0.0", 0,
         "1.0.0 core,agent 2", nullptr},
        {"install to a version not in the catalog", SETUP_MODE_INSTALL, "", "", "", "9.9.9", 1,
         "", nullptr},
    };
    for (const auto &c : cases) {
        SetUp();
        ctx->mode = c.mode;
        set_state(&g.before, c.installed_version, c.installed);
        snprintf(ctx->component_list, sizeof ctx->component_list, "%s", c.components);
        snprintf(ctx->target_version, sizeof ctx->target_version, "%s", c.to);
        EXPECT_EQ(run(), c.expected_rc) << c.name << ": " << err;
        EXPECT_EQ(g.plan, c.plan) << c.name;
        EXPECT_STREQ(ctx->component_list, "") << c.name << ": the list is used once";
        EXPECT_EQ(reported("Entfernt: "), c.removed != nullptr) << c.name << ": " << ctx->report;
        if (c.removed) {
            EXPECT_TRUE(reported(c.removed)) << c.name << ": " << ctx->report;
        }
        if (c.expected_rc) {
            const char prefix[] = "Für dieses System lässt sich nichts installieren: ";
            EXPECT_EQ(strncmp(err, prefix, strlen(prefix)), 0) << c.name << ": " << err;
        }
    }
}

TEST_F(InstallFlow, RunEndsBeforeTheEngine)
{
    struct {
        const char *name;
        int connect_rc;
        const char *components;
        const char *expected_err;
    } cases[] = {
        {"connect fails", -1, "", "Keine Verbindung"},
        {"unknown component", 0, "nosuch", "Unbekannte Komponente „nosuch“ (siehe "
                                           "--list-components)"},
    };
    for (const auto &c : cases) {
        SetUp();
        g.connect_rc = c.connect_rc;
        snprintf(ctx->component_list, sizeof ctx->component_list, "%s", c.components);
        EXPECT_EQ(run(), 1) << c.name;
        EXPECT_STREQ(err, c.expected_err) << c.name;
        EXPECT_EQ(g.calls, "") << c.name;
    }
}

// The engine's outcomes: nothing after it runs unless it succeeded.
TEST_F(InstallFlow, EngineOutcomes)
{
    struct {
        const char *name;
        int rc;
        const char *msg;
        const char *installed;
        const char *expected_err;
        int pending = 0;  // the engine left a switch's journal
    } cases[] = {
        {"postponed", 75, "", "core",
         "Gerade läuft eine Sicherung, Wiederherstellung, Wartung oder ein anderes Update. "
         "Bitte später erneut versuchen"},
        {"postponed by a program the engine names", 75,
         "orv_agent.exe, orv_updater.exe is running: postponing the installation", "core",
         "Gerade läuft orv_agent.exe, orv_updater.exe; die Installation wird verschoben. "
         "Bitte später erneut versuchen"},
        {"failed first install without words", 1, "", "",
         "Die Installation ist fehlgeschlagen. Es wurde nichts installiert."},
        {"failed update with words", 1, "too many components", "core",
         "Zu viele Komponenten. Die bisherige Installation ist unverändert."},
        // Neither nothing nor the old installation: the programs are live.
        {"programs live that the state could not record", 1,
         "the programs of version 2.0.0 are live, but the state cannot record them: cannot "
         "write C:\\s\\state.tmp: the disk is full",
         "",
         "Die Programme der Version 2.0.0 sind aktiv, aber der Installationsstatus lässt sich "
         "nicht speichern (C:\\s\\state.tmp lässt sich nicht schreiben: Der Datenträger ist "
         "voll. Bitte Platz schaffen und erneut versuchen). Bitte den Speicherplatz und die "
         "Rechte im Statusverzeichnis prüfen; der nächste Lauf holt das Speichern nach.",
         1},
    };
    for (const auto &c : cases) {
        SetUp();
        set_state(&g.before, c.installed[0] ? "1.0.0" : "", c.installed);
        g.install_rc = c.rc;
        g.install_msg = c.msg;
        g.pending = c.pending;
        EXPECT_EQ(run(), c.rc) << c.name;
        EXPECT_STREQ(err, c.expected_err) << c.name;
        EXPECT_EQ(g.calls, "restrict install ") << c.name << ": settings written or registered";
        EXPECT_EQ(g.steps, "") << c.name;
    }
}

// A switch that an ended run left half done is healed before the flow
// connects, and the flow plans on the state the healing left; one that
// cannot be recorded ends the run before anything else happens.
TEST_F(InstallFlow, HealsBeforeItConnects)
{
    struct {
        const char *name;
        int recover_rc;
        bool heals;      // the healing finishes a switch to 2.0.0 with core and agent
        int connect_rc;
        int expected_rc;
        const char *plan;  // what the engine got ("" when it did not run)
        const char *expected_err;
    } cases[] = {
        {"nothing to heal", 0, false, 0, 0, "1.0.0 core 1", ""},
        {"a switch finished: the repair is of what is live now", 0, true, 0, 0,
         "2.0.0 core,agent 2", ""},
        {"another run holds the lock and heals", 75, false, 0, 0, "1.0.0 core 1", ""},
        {"no connection", 0, true, -1, 1, "", "Keine Verbindung"},
        {"a switch that cannot be recorded", 1, false, 0, 1, "",
         "Die Programme der Version 2.0.0 sind aktiv, aber der Installationsstatus lässt sich "
         "nicht speichern (C:\\s\\state.tmp lässt sich nicht schreiben: Der Datenträger ist "
         "voll. Bitte Platz schaffen und erneut versuchen). Bitte den Speicherplatz und die "
         "Rechte im Statusverzeichnis prüfen; der nächste Lauf holt das Speichern nach."},
    };
    for (const auto &c : cases) {
        SetUp();
        ctx->mode = SETUP_MODE_REPAIR;
        set_state(&g.before, "1.0.0", "core");
        set_state(&g.healed, "2.0.0", "core,agent");
        g.recover_rc = c.recover_rc;
        g.recover_heals = c.heals;
        g.recover_msg = c.recover_rc == 1 ? "the programs of version 2.0.0 are live, but the "
                                            "state cannot record them: cannot write "
                                            "C:\\s\\state.tmp: the disk is full"
                                          : "";
        g.connect_rc = c.connect_rc;
        EXPECT_EQ(run(), c.expected_rc) << c.name << ": " << err;
        EXPECT_EQ(g.heals, 1) << c.name;
        EXPECT_EQ(g.heals_at_connect, c.recover_rc == 1 ? -1 : 1) << c.name;
        EXPECT_EQ(g.plan, c.plan) << c.name;
        if (c.expected_rc) {
            EXPECT_STREQ(err, c.expected_err) << c.name;
            EXPECT_EQ(g.calls, "") << c.name;
        }
    }
}

// A selection whose ids do not fit the state's list of 255 characters is
// refused before anything changes; one that just fits is installed whole.
TEST_F(InstallFlow, SelectionThatTheStateCannotRecordIsRefused)
{
    // core and eleven ids of 24 characters: 279 characters; without the
    // last, 254.
    std::string components = "{\"id\": \"core\", \"title\": \"Grundpaket\", \"required\": true}";
    std::string artifacts = pkg("core");
    std::string all = "core", ten;
    for (int i = 0; i < 11; i++) {
        std::string id = std::string(23, (char)('a' + i)) + "x";
        components += ", {\"id\": \"" + id + "\", \"title\": \"T" + std::to_string(i) + "\"}";
        artifacts += ", " + pkg(id);
        all += "," + id;
        if (i == 9)
            ten = all;
    }
    std::string text =
        "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": 1, "
        "\"issued\": \"2026-01-01T00:00:00Z\", \"expires\": \"2027-01-01T00:00:00Z\", "
        "\"releases\": [{\"version\": \"1.0.0\", \"artifacts\": [" + artifacts + "]}], "
        "\"components\": [" + components + "]}";
    struct {
        const char *name;
        const char *preset;
        std::string list;
        int expected_rc;
        std::string plan;
    } cases[] = {
        {"all of them", "all", "", 1, ""},
        {"all but one", "", ten, 0, "1.0.0 " + ten + " 11"},
    };
    for (const auto &c : cases) {
        SetUp();
        catalog_free(&ctx->component_catalog);
        char msg[300] = "";
        ASSERT_EQ(catalog_parse(text.data(), text.size(), &ctx->component_catalog, msg,
                                sizeof msg),
                  0)
            << msg;
        snprintf(ctx->preset, sizeof ctx->preset, "%s", c.preset);
        snprintf(ctx->component_list, sizeof ctx->component_list, "%s", c.list.c_str());
        EXPECT_EQ(run(), c.expected_rc) << c.name << ": " << err;
        EXPECT_EQ(g.plan, c.plan) << c.name;
        if (c.expected_rc) {
            EXPECT_STREQ(err, "Zu viele Komponenten auf einmal: Ihre Kennungen ergeben zusammen "
                              "279 Zeichen, der Installationsstatus fasst höchstens 255. Bitte "
                              "weniger Komponenten wählen")
                << c.name;
            EXPECT_EQ(g.calls, "") << c.name << ": something changed";
        }
    }
}

// The engine cuts a long sentence at the end of the caller's buffer, where
// it may split a character; the sentence the user reads is UTF-8 all the
// same, wherever that cut fell.
TEST_F(InstallFlow, LongEngineSentenceStaysUtf8)
{
    std::string umlauts;
    while (umlauts.size() < 800)
        umlauts += "ä";
    for (int rc : {1, 75}) {
        for (size_t pad = 0; pad < 2; pad++) {
            SetUp();
            std::string msg = "cannot remove C:\\" + std::string(pad, 'x') + umlauts;
            g.install_rc = rc;
            g.install_msg = msg.c_str();
            EXPECT_EQ(run(), rc);
            EXPECT_TRUE(text_utf8_valid(err, strlen(err))) << rc << " " << pad << ": " << err;
            EXPECT_GT(strlen(err), 500u) << rc << " " << pad;
        }
    }
}

TEST_F(InstallFlow, SettingsNotWrittenEndTheRunUnregistered)
{
    g.config_rc = -1;
    EXPECT_EQ(run(), 1);
    const char prefix[] = "Die Programme sind installiert, aber die Einstellungen lassen sich "
                          "nicht speichern: ";
    EXPECT_EQ(strncmp(err, prefix, strlen(prefix)), 0) << err;
    EXPECT_EQ(g.calls, "restrict install keep config ");
    EXPECT_FALSE(reported("Update-Einstellungen"));
}

// A settings file that cannot be read was not used: before it is replaced,
// its bytes are kept and the report names the copy and the faulty line; when
// they cannot be kept, it is not replaced at all.
TEST_F(InstallFlow, FaultySettingsFileIsKept)
{
    struct {
        const char *name;
        int keep_rc;
        int expected_rc;
        const char *calls;
        const char *line;  // the report line after "Update-Einstellungen", or ""
        const char *err;   // the run's message, or ""
    } cases[] = {
        {"readable or missing", 0, 0, "restrict install keep config register ", "", ""},
        {"faulty, kept", 1, 0, "restrict install keep config register ",
         "WARNUNG: C:\\c\\updater.conf, Zeile 3: Unbekannte Einstellung „colour“. Die "
         "bisherige Datei liegt unverändert in C:\\c\\updater.conf.bad; ihre Einstellungen "
         "wurden nicht übernommen\n",
         ""},
        {"faulty, not kept", -1, 1, "restrict install keep ", "",
         "Die Programme sind installiert, aber die Einstellungen lassen sich nicht speichern: "
         "C:\\c\\updater.conf lässt sich nicht kopieren"},
    };
    for (const auto &c : cases) {
        SetUp();
        ctx->scheduler_service = 0;
        ctx->updater_schedule = 0;
        ctx->resume_task = 0;
        g.keep_rc = c.keep_rc;
        EXPECT_EQ(run(), c.expected_rc) << c.name;
        EXPECT_EQ(g.calls.substr(0, strlen(c.calls)), c.calls) << c.name;
        EXPECT_STREQ(err, c.err) << c.name;
        const char *after = strstr(ctx->report, "Update-Einstellungen: C:\\c\\updater.conf\n");
        EXPECT_EQ(after != nullptr, c.expected_rc == 0) << c.name << ": " << ctx->report;
        if (after) {
            after += strlen("Update-Einstellungen: C:\\c\\updater.conf\n");
            EXPECT_EQ(std::string(after).substr(0, strlen(c.line)), c.line) << c.name;
            EXPECT_EQ(strstr(ctx->report, "Die bisherige Datei") != nullptr, c.line[0] != '\0')
                << c.name;
        }
    }
}

TEST_F(InstallFlow, IntegrationSteps)
{
    struct {
        const char *name;
        int schedule, task_exists, task_rc, resume, service, sched_rc, link_rc;
        const char *programs, *console_user;
        const char *calls;    // the calls after "register "
        const char *line;     // a report line that must be there, or ""
        const char *no_line;  // one that must not, or ""
    } cases[] = {
        {"daily task switched off where it exists", 0, 1, 0, 0, 0, 0, 0, "", "",
         "task? task- resume- sched- ", "Die tägliche Update-Suche ist abgeschaltet", ""},
        {"daily task switched off where there is none", 0, 0, 0, 0, 0, 0, 0, "", "",
         "task? resume- sched- ", "", "Update-Suche"},
        {"daily task not created", 1, 0, -1, 0, 0, 0, 0, "", "", "task+ resume- sched- ",
         "WARNUNG: Die tägliche Update-Suche wurde nicht eingerichtet: ", ""},
        {"no agent: the boot task is removed", 1, 0, 0, 1, 0, 0, 0, "orv_sched", "",
         "task+ resume- sched- ", "", "Unterbrochene"},
        {"scheduler and console without a user: the hint", 1, 0, 0, 0, 1, 0, 0,
         "orv_sched orv_console", "", "task+ resume- sched+ ",
         "Verwaltungskonsole: Die Verbindung zu „Dieser Computer“ richtet das Setup mit "
         "--console-user <Benutzer> ein",
         ""},
        {"console link fails: a warning with the hand-made way", 1, 0, 0, 0, 1, 0, -1,
         "orv_sched orv_console", "anna", "task+ resume- sched+ link ",
         "WARNUNG: Die Verwaltungskonsole ist nicht mit diesem Computer verbunden: Die API des "
         "Job-Planers ist ausgeschaltet. Sie lässt sich dort unter „Datei > Server "
         "hinzufügen“ von Hand einrichten",
         ""},
        {"scheduler set-up fails: no console link", 1, 0, 0, 0, 1, -1, 0,
         "orv_sched orv_console", "anna", "task+ resume- sched+ ",
         "WARNUNG: Job-Planer: orv_sched gehört nicht zu dieser Installation", "läuft;"},
        {"scheduler wanted but not installed is removed", 1, 0, 0, 0, 1, 0, 0, "", "",
         "task+ resume- sched- ", "", "orvantis-sched"},
    };
    for (const auto &c : cases) {
        SetUp();
        ctx->updater_schedule = c.schedule;
        g.task_exists = c.task_exists;
        g.task_rc = c.task_rc;
        ctx->resume_task = c.resume;
        ctx->scheduler_service = c.service;
        ctx->sched_api = 1;
        ctx->console_link = 1;
        g.sched_rc = c.sched_rc;
        g.link_rc = c.link_rc;
        g.programs = c.programs;
        snprintf(ctx->console_user, sizeof ctx->console_user, "%s", c.console_user);
        EXPECT_EQ(run(), 0) << c.name << ": " << err;
        EXPECT_EQ(g.calls, std::string("restrict install keep config register ") + c.calls) << c.name;
        if (c.line[0]) {
            EXPECT_TRUE(reported(c.line)) << c.name << ": " << ctx->report;
        }
        if (c.no_line[0]) {
            EXPECT_FALSE(reported(c.no_line)) << c.name << ": " << ctx->report;
        }
    }
}

// A repair after a modify that switched the daily update off: the repair
// keeps the task as it stands and never turns it back on, also where it
// cannot tell (test mode, a failed query); only an existing task is
// registered again.
TEST_F(InstallFlow, RepairKeepsTheDailyTaskAsItStands)
{
    struct {
        const char *name;
        int mode, schedule, task_exists;
        const char *calls;   // the daily task's calls after "register "
        const char *line;    // its report line, or "" for none
    } cases[] = {
        {"repair, task there", SETUP_MODE_REPAIR, 1, 1, "task? task+ ",
         "Die tägliche Update-Suche ist eingerichtet"},
        {"repair, task taken away", SETUP_MODE_REPAIR, 1, 0, "task? ", ""},
        {"repair, task state unknown", SETUP_MODE_REPAIR, 1, -1, "task? ", ""},
        {"repair told to switch it off", SETUP_MODE_REPAIR, 0, 1, "task? task- ",
         "Die tägliche Update-Suche ist abgeschaltet"},
        {"modify switches it on again", SETUP_MODE_MODIFY, 1, 0, "task+ ",
         "Die tägliche Update-Suche ist eingerichtet"},
    };
    for (const auto &c : cases) {
        SetUp();
        ctx->mode = c.mode;
        set_state(&g.before, "2.0.0", "core,agent,restore,sched,console");
        ctx->updater_schedule = c.schedule;
        g.task_exists = c.task_exists;
        ctx->resume_task = 0;
        ctx->scheduler_service = 0;
        EXPECT_EQ(run(), 0) << c.name << ": " << err;
        EXPECT_EQ(g.calls, std::string("restrict install keep config register ") + c.calls +
                               "resume- sched- ")
            << c.name;
        if (c.line[0]) {
            EXPECT_TRUE(reported(c.line)) << c.name << ": " << ctx->report;
        } else {
            EXPECT_FALSE(reported("Update-Suche")) << c.name << ": " << ctx->report;
        }
    }
}

TEST_F(InstallFlow, RegistrationFailureIsAWarning)
{
    g.register_rc = -1;
    ctx->scheduler_service = 0;
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(reported("WARNUNG: Orv_setup gehört nicht zu dieser Installation") ||
                reported("WARNUNG: orv_setup gehört nicht zu dieser Installation"))
        << ctx->report;
}

// The two steps after the integration that end the run with 1.
TEST_F(InstallFlow, BackupServerAndClient)
{
    struct {
        const char *name;
        int server, client, client_rc, expected;
        const char *tail_calls;
        const char *err_start;
    } cases[] = {
        {"backup server asked for", 1, 1, 0, 1, "server ",
         "Die Programme sind installiert, aber die Einrichtung des Backup-Servers ist "
         "fehlgeschlagen: "},
        {"client connected", 0, 1, 0, 0, "client ", ""},
        {"client fails", 0, 1, -1, 1, "client ",
         "Die Programme sind installiert, aber die Verbindung zum Backup-Server ließ sich nicht "
         "einrichten: Der API-Key ist zu kurz"},
    };
    for (const auto &c : cases) {
        SetUp();
        ctx->scheduler_service = 0;
        ctx->configure_server = c.server;
        ctx->configure_client = c.client;
        g.client_rc = c.client_rc;
        EXPECT_EQ(run(), c.expected) << c.name;
        EXPECT_EQ(g.calls, std::string("restrict install keep config register task+ resume+ sched- ") +
                               c.tail_calls)
            << c.name;
        EXPECT_EQ(strncmp(err, c.err_start, strlen(c.err_start)), 0) << c.name << ": " << err;
    }
}

}  // namespace
