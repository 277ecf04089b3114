// The job scheduler's texts: the settings file the setup creates, the report
// lines of the scheduler's answers, and the release setting read back from
// its settings file.
#include "sched_setup.h"

#include <string.h>

#include "schedcmd.h"
#include "setup_report.h"
#include "text.h"

// The pieces of a new orv_sched.cfg; every line ends with CR LF.
#define CFG_PLAIN                                                                        \
    "# see orv_sched.cfg.example (or the README) for the job syntax; on Windows only "   \
    "command=agent\r\n"                                                                   \
    "[sched]\r\n"
#define CFG_API_HEAD                                                                     \
    "\r\n"                                                                                \
    "# HTTPS API for conf-clients (sched-api.txt); tokens: orv_sched api-token add "     \
    "<name> --role read|admin\r\n"
#define CFG_WRITES_NOTE                                                                  \
    "# allow-agent-config-write: admin tokens may edit sinks.cfg and the profiles in "   \
    "orv_agent.cfg\r\n"
#define CFG_API_ON "[api]\r\nenabled=yes\r\n"

const char *sched_cfg_text(int sched_api, int console_writes)
{
    if (sched_api != 1)
        return CFG_PLAIN;
    if (!console_writes)
        return CFG_PLAIN CFG_API_HEAD CFG_API_ON;
    return CFG_PLAIN CFG_API_HEAD CFG_WRITES_NOTE CFG_API_ON "allow-agent-config-write=yes\r\n";
}

int sched_console_writes(const setup_context *ctx, int console_installed)
{
    return ctx->sched_api == 1 && ctx->console_link == 1 && ctx->console_user[0] &&
           !ctx->root[0] && console_installed;
}

void sched_report_new_config(setup_context *ctx, const char *path, int sched_api,
                             int console_writes)
{
    const char *api = sched_api != 1 ? ""
                      : console_writes
                          ? ", API eingeschaltet, Ziele und Profile in der Verwaltungskonsole bearbeitbar"
                          : ", API eingeschaltet";
    setup_report(ctx, "Job-Planer: neue Konfiguration %s (noch keine Jobs%s)", path, api);
}

void sched_output_line(const char *output, const char *fallback, char *out, size_t size)
{
    if (!size)
        return;
    setup_flow_snprintf(out, size, "%s", output && output[0] ? output : fallback);
    // The answer goes into one report line.
    size_t len = 0;
    for (char *p = out; *p; p++, len++)
        if (*p == '\r' || *p == '\n')
            *p = ' ';
    if (len > SCHED_SETUP_QUOTED)
        out[text_utf8_whole(out, SCHED_SETUP_QUOTED)] = '\0';
}

void sched_enable_report(setup_context *ctx, int failed, const char *output)
{
    if (failed) {
        char line[SCHEDCMD_SETUP_OUTPUT];
        sched_output_line(output, "orv_sched api-enable ist ohne Ausgabe fehlgeschlagen", line,
                          sizeof line);
        setup_report(ctx, "WARNUNG: Die API des Job-Planers wurde nicht eingeschaltet: %s",
                     line);
        return;
    }
    int said = schedcmd_read_enable(output);
    if (said & SCHEDCMD_API_ENABLED)
        setup_report(ctx, "Job-Planer: API eingeschaltet");
    else if (said & SCHEDCMD_API_KEPT_DISABLED)
        setup_report(ctx, "Job-Planer: Die API bleibt ausgeschaltet, weil orv_sched.cfg "
                          "„enabled=no“ enthält; die Verwaltungskonsole erreicht den Job-Planer "
                          "dann nicht");
    if (said & SCHEDCMD_WRITES_ALLOWED)
        setup_report(ctx, "Job-Planer: Die Verwaltungskonsole darf Ziele und Profile dieses "
                          "Computers bearbeiten");
    else if (said & SCHEDCMD_WRITES_KEPT_OFF)
        setup_report(ctx, "Job-Planer: Ziele und Profile bleiben in der Verwaltungskonsole "
                          "schreibgeschützt, weil orv_sched.cfg „allow-agent-config-write=no“ "
                          "enthält");
}

void sched_init_report(setup_context *ctx, int failed, const char *output)
{
    if (failed) {
        char line[SCHEDCMD_SETUP_OUTPUT];
        sched_output_line(output, "orv_sched api-init ist ohne Ausgabe fehlgeschlagen", line,
                          sizeof line);
        setup_report(ctx, "WARNUNG: Das API-Zertifikat wurde nicht erstellt: %s", line);
        return;
    }
    char fingerprint[SCHEDCMD_SETUP_OUTPUT];
    if (schedcmd_read_init(output, fingerprint, sizeof fingerprint) == 0)
        setup_report(ctx, "Job-Planer: Fingerabdruck des API-Zertifikats %s", fingerprint);
}

int sched_release_args(setup_context *ctx, const char *config_file, const char **tail)
{
    if (ctx->console_release < 0 || ctx->root[0])
        return 0;
    tail[0] = "api-release";
    tail[1] = ctx->console_release == 2 ? "admin" : ctx->console_release == 1 ? "read" : "off";
    tail[2] = "--config";
    tail[3] = config_file;
    tail[4] = nullptr;
    return 4;
}

void sched_release_report(setup_context *ctx, int failed, const char *output)
{
    if (failed) {
        char line[400];
        sched_output_line(output, "orv_sched api-release ist ohne Ausgabe fehlgeschlagen", line,
                          sizeof line);
        setup_report(ctx,
                     "WARNUNG: Die Freigabe für die Verwaltungskonsolen anderer Rechner ließ "
                     "sich nicht einrichten: %s",
                     line);
    } else if (ctx->console_release == 0) {
        setup_report(ctx, "Job-Planer: nicht für die Verwaltungskonsolen anderer Rechner freigegeben");
    } else if (schedcmd_read_release_waits(output)) {
        setup_report(ctx, "Job-Planer: Die Freigabe für andere Konsolen ist eingetragen, wirkt "
                          "aber erst, wenn die API eingeschaltet ist ([api] enabled=yes in "
                          "orv_sched.cfg)");
    } else {
        setup_report(ctx,
                     "Job-Planer: für die Verwaltungskonsolen anderer Rechner freigegeben (%s); "
                     "die anderen Konsolen erhalten die Freigabe bei ihrer nächsten "
                     "Synchronisierung",
                     ctx->console_release == 2 ? "verwalten" : "nur ansehen");
    }
}

int sched_release_from_file(FILE *f)
{
    int release = -1;
    int in_api = 0;
    char line[SCHED_SETUP_RELEASE_LINE];
    while (fgets(line, sizeof line, f)) {
        char *p = line + strspn(line, " \t");
        if (*p == '[') {
            in_api = strncmp(p, "[api]", 5) == 0;
            continue;
        }
        char *eq = strchr(p, '=');
        if (!in_api || !eq)
            continue;
        char *name_end = eq;
        while (name_end > p && (name_end[-1] == ' ' || name_end[-1] == '\t'))
            name_end--;
        if (name_end - p != 7 || strncmp(p, "release", 7) != 0)
            continue;
        char *value = eq + 1 + strspn(eq + 1, " \t");
        size_t len = strcspn(value, " \t\r\n#;");
        if (len == 5 && strncmp(value, "admin", 5) == 0)
            release = 2;
        else if (len == 4 && strncmp(value, "read", 4) == 0)
            release = 1;
        else
            release = -1;
    }
    return release;
}
