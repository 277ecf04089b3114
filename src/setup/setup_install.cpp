// The install flow (install, update, modify, repair): connect, choose the
// components and the release, let the engine install them, write the
// settings, then register the installation and set up its integration, each
// piece of which may only warn.
#include "setup_flow.h"

#include <string.h>

#include "catalog.h"
#include "msg.h"
#include "setup_choice.h"
#include "setup_report.h"

// Release choice flags of the setup: a pinned older release may be chosen.
static const unsigned kChooseFlags = RELEASE_ALLOW_DOWNGRADE;

// The closed selection into plan (ids and list). 0, or 1 with the engine's
// translated message in err.
static int resolve_selection(setup_context *ctx, setup_install_plan *plan, const char **ids,
                             char *err, size_t errlen)
{
    const component_catalog *cat = &ctx->component_catalog;
    const char *chosen[SETUP_MAX_COMPONENTS];
    size_t n = 0;
    for (size_t i = 0; i < cat->component_count && i < SETUP_MAX_COMPONENTS; i++)
        if (ctx->selected[i])
            chosen[n++] = cat->components[i].id;
    if (errlen)
        err[0] = '\0';
    if (catalog_resolve_selection(cat, chosen, n, ids, SETUP_MAX_COMPONENTS, &plan->count, err,
                                  errlen) != 0) {
        msg_localize(err, errlen);
        return 1;
    }
    // The installed components are recorded as one list of at most 255
    // characters: a longer one is refused before anything changes, never
    // recorded cut.
    size_t whole = 0;
    for (size_t i = 0; i < plan->count; i++)
        whole += strlen(ids[i]) + (i ? 1 : 0);
    if (whole >= sizeof plan->component_list) {
        setup_error(err, errlen,
                    "Zu viele Komponenten auf einmal: Ihre Kennungen ergeben zusammen %zu "
                    "Zeichen, der Installationsstatus fasst höchstens 255. Bitte weniger "
                    "Komponenten wählen",
                    whole);
        return 1;
    }
    setup_resolved_list(ctx, plan->component_list, sizeof plan->component_list);
    return 0;
}

// One release choice for the resolved ids, pinned to pin (null: none).
static int choose(setup_context *ctx, const char *const *ids, setup_install_plan *plan,
                  const char *pin, char *reason, size_t reason_size)
{
    const component_catalog *cat = &ctx->component_catalog;
    const char *newest = setup_newest_version(cat);
    unsigned bucket = setup_choice_calls.rollout_bucket(newest ? newest : "");
    const manifest_release *release = nullptr;
    reason[0] = '\0';
    int rc = catalog_choose_release(cat, ids, plan->count, &ctx->host_facts, nullptr, ORV_VERSION,
                                    bucket, kChooseFlags, pin, &release, plan->packages, reason,
                                    reason_size);
    plan->version = rc == 0 && release ? release->version : nullptr;
    return rc == 0 && release ? 0 : -1;
}

// The selection when the user named none: modify and repair keep what is
// installed, and so does an install over an installation (an update run by a
// script must not drop a component); only a first installation starts from
// the client preset. The closure adds what the catalog now requires.
static void default_selection(setup_context *ctx)
{
    int keep = ctx->mode == SETUP_MODE_MODIFY || ctx->mode == SETUP_MODE_REPAIR ||
               ctx->installed_components[0];
    setup_apply_preset(ctx, keep ? "installed" : "client", nullptr, 0);
}

// The release and its packages into plan. A repair is about getting working
// programs back: when its pinned version ("--to", or else the installed one)
// cannot be chosen, it takes the newest release offered here instead, and a
// default selection is made again for that release, since the pinned one
// decided which components were available. An install or modify keeps to
// its pin. 0, or 1 with the message in err.
static int choose_release(setup_context *ctx, int defaulted, const char **ids,
                          setup_install_plan *plan, char *err, size_t errlen)
{
    const char *pin = nullptr;
    if (ctx->target_version[0])
        pin = ctx->target_version;
    else if (ctx->mode == SETUP_MODE_REPAIR && ctx->installed_version[0])
        pin = ctx->installed_version;
    char reason[SETUP_FLOW_REASON];
    int rc = choose(ctx, ids, plan, pin, reason, sizeof reason);
    if (rc != 0 && pin && ctx->mode == SETUP_MODE_REPAIR) {
        char saved[sizeof ctx->target_version];
        memcpy(saved, ctx->target_version, sizeof saved);
        ctx->target_version[0] = '\0';
        int resolved = 0;
        if (defaulted) {
            default_selection(ctx);
            resolved = resolve_selection(ctx, plan, ids, err, errlen);
        }
        if (resolved == 0)
            rc = choose(ctx, ids, plan, nullptr, reason, sizeof reason);
        memcpy(ctx->target_version, saved, sizeof saved);
        if (resolved != 0)
            return 1;
    }
    if (rc == 0)
        return 0;
    msg_localize(reason, sizeof reason);
    setup_error(err, errlen, "Für dieses System lässt sich nichts installieren: %s",
                reason[0] ? reason : "keine passende Version");
    return 1;
}

int setup_heal_with(setup_context *ctx, const setup_flow_sys *sys, char *err, size_t errlen)
{
    if (errlen)
        err[0] = '\0';
    // Busy (75): the run that holds the lock heals it before it does anything.
    if (sys->recover(&ctx->updater_config, err, errlen) != 1) {
        if (errlen)
            err[0] = '\0';
        return 0;
    }
    msg_localize(err, errlen);
    msg_finish_sentence(err, errlen);
    return 1;
}

// Steps up to the plan: administrator, healing, catalog, installed state,
// selection, closure and release. 0 with the plan, or 1 with the message in
// err.
static int install_plan(setup_context *ctx, const setup_flow_sys *sys, setup_install_plan *plan,
                        char *err, size_t errlen)
{
    if (setup_require_admin_with(ctx, sys, err, errlen) != 0)
        return 1;
    // Before the connection, so that a run that cannot reach its server
    // leaves bin on one version too, and the installed state read next is
    // the one the healing left.
    if (setup_heal_with(ctx, sys, err, errlen) != 0)
        return 1;
    if (sys->connect(ctx, err, errlen) != 0)
        return 1;
    setup_read_installed_with(ctx, sys);
    if (setup_apply_selection_options(ctx, err, errlen) != 0)
        return 1;
    int any = 0;
    for (size_t i = 0; i < ctx->component_catalog.component_count && i < SETUP_MAX_COMPONENTS; i++)
        any |= ctx->selected[i];
    if (!any)
        default_selection(ctx);
    const char *ids[SETUP_MAX_COMPONENTS];
    if (resolve_selection(ctx, plan, ids, err, errlen) != 0)
        return 1;
    return choose_release(ctx, !any, ids, plan, err, errlen);
}

// out := the ids of old that are not in the resolved list, joined by ",".
static void removed_ids(const char *old, const char *resolved, char *out, size_t outlen)
{
    char framed[SETUP_LIST_WORK + 2];
    setup_flow_snprintf(framed, sizeof framed, ",%s,", resolved);
    char work[SETUP_LIST_WORK];
    setup_flow_snprintf(work, sizeof work, "%s", old);
    out[0] = '\0';
    size_t used = 0;
    for (char *p = work; p && *p;) {
        char *comma = strchr(p, ',');
        if (comma)
            *comma = '\0';
        char needle[SETUP_LIST_WORK + 2];
        setup_flow_snprintf(needle, sizeof needle, ",%s,", p);
        if (*p && !strstr(framed, needle) && used < outlen - 1) {
            int w = setup_flow_snprintf(out + used, outlen - used, "%s%s", used ? "," : "", p);
            used = w < 0 ? outlen - 1 : used + (size_t)w;
        }
        p = comma ? comma + 1 : nullptr;
    }
}

// The daily update task as the option wants it. A repair puts back what the
// installation has, and the daily task belongs to it only while it exists:
// one the administrator took away stays away, and one that cannot be seen
// (test mode, a failed query) is left as it is.
static void update_task(setup_context *ctx, const setup_flow_sys *sys)
{
    char msg[SETUP_FLOW_MSG] = "";
    if (ctx->updater_schedule && ctx->mode == SETUP_MODE_REPAIR &&
        sys->update_task_exists(ctx) != 1)
        return;
    if (ctx->updater_schedule) {
        if (sys->update_task_create(ctx, msg, sizeof msg) != 0) {
            msg_localize(msg, sizeof msg);
            setup_report(ctx, "WARNUNG: Die tägliche Update-Suche wurde nicht eingerichtet: %s",
                         msg);
        } else {
            setup_report(ctx, "Die tägliche Update-Suche ist eingerichtet");
        }
        return;
    }
    if (sys->update_task_exists(ctx) != 1)
        return;
    if (sys->update_task_delete(ctx, msg, sizeof msg) != 0) {
        msg_localize(msg, sizeof msg);
        setup_report(ctx, "WARNUNG: Die tägliche Update-Suche ließ sich nicht abschalten: %s",
                     msg);
    } else {
        setup_report(ctx, "Die tägliche Update-Suche ist abgeschaltet");
    }
}

// The boot task that resumes interrupted backups, or its removal.
static void resume_task(setup_context *ctx, const setup_flow_sys *sys)
{
    char path[700];
    if (!ctx->resume_task || !sys->program_path(ctx, "orv_agent", path, sizeof path)) {
        sys->resume_task_remove(ctx);
        return;
    }
    char msg[SETUP_FLOW_MSG] = "";
    if (sys->resume_task_create(ctx, msg, sizeof msg) != 0) {
        msg_localize(msg, sizeof msg);
        setup_report(ctx,
                     "WARNUNG: Unterbrochene Sicherungen werden beim Systemstart nicht "
                     "fortgesetzt: %s",
                     msg);
    } else {
        setup_report(ctx, "Unterbrochene Sicherungen werden beim Systemstart fortgesetzt "
                          "(orv_agent --resume-pending)");
    }
}

// The management console's link to this computer's scheduler.
static void console_link(setup_context *ctx, const setup_flow_sys *sys)
{
    char path[700];
    if (!ctx->console_link || !ctx->sched_api || ctx->root[0] ||
        !sys->program_path(ctx, "orv_console", path, sizeof path))
        return;
    if (!ctx->console_user[0]) {
        setup_report(ctx, "Verwaltungskonsole: Die Verbindung zu „Dieser Computer“ richtet das "
                          "Setup mit --console-user <Benutzer> ein");
        return;
    }
    char msg[SETUP_FLOW_MSG] = "";
    if (sys->console_link(ctx, msg, sizeof msg) != 0) {
        // German already: finished as a sentence, not translated.
        msg_finish_sentence(msg, sizeof msg);
        setup_report(ctx,
                     "WARNUNG: Die Verwaltungskonsole ist nicht mit diesem Computer verbunden: "
                     "%s Sie lässt sich dort unter „Datei > Server hinzufügen“ von Hand "
                     "einrichten",
                     msg);
    }
}

// The scheduler service with its API, then the console link; or the removal
// of an earlier service when it is not wanted or not installed.
static void scheduler(setup_context *ctx, const setup_flow_sys *sys)
{
    char path[700];
    if (!ctx->scheduler_service || !sys->program_path(ctx, "orv_sched", path, sizeof path)) {
        sys->sched_remove(ctx);
        return;
    }
    char msg[SETUP_FLOW_MSG] = "";
    if (sys->sched_setup(ctx, msg, sizeof msg) != 0) {
        msg_localize(msg, sizeof msg);
        setup_report(ctx, "WARNUNG: Job-Planer: %s", msg);
        return;
    }
    char dir[SETUP_FLOW_DATA_DIR];
    sys->data_dir(ctx, dir, sizeof dir);
    setup_report(ctx,
                 "Der Job-Planer (Dienst orvantis-sched) läuft; Jobs gehören nach "
                 "%s\\orv_sched.cfg (siehe orv_sched.cfg.example)",
                 dir);
    console_link(ctx, sys);
}

// After the engine installed: the report of what changed, the settings file,
// the Windows registration and the integration. 0, or 1 with the message of
// a step that ends the run in err.
static int install_finish(setup_context *ctx, const setup_flow_sys *sys,
                          const setup_install_plan *plan, char *err, size_t errlen)
{
    char old[sizeof ctx->installed_components];
    setup_flow_snprintf(old, sizeof old, "%s", ctx->installed_components);
    setup_read_installed_with(ctx, sys);

    char names[SETUP_FLOW_NAMES];
    setup_display_names(ctx, plan->component_list, names, sizeof names);
    setup_report(ctx, "Installierte Version %s: %s", plan->version, names);
    char removed[sizeof ctx->installed_components];
    removed_ids(old, plan->component_list, removed, sizeof removed);
    if (removed[0]) {
        setup_display_names(ctx, removed, names, sizeof names);
        setup_report(ctx, "Entfernt: %s", names);
    }

    const setup_callbacks *cb = &ctx->callbacks;
    if (cb->step_fn)
        cb->step_fn(cb->callback_user, "configuring", plan->count + 1, plan->count + 2);

    // A settings file that could not be read was not used; before it is
    // replaced, its bytes are kept, and when they cannot be, it stays as it
    // is.
    char why[SETUP_FLOW_WHY] = "";
    char kept[SETUP_FLOW_KEPT] = "";
    int faulty = sys->config_keep(ctx->config_path, kept, sizeof kept, why, sizeof why);
    if (faulty >= 0 &&
        sys->config_write(ctx->config_path, &ctx->updater_config, why, sizeof why) != 0)
        faulty = -1;
    if (faulty < 0) {
        msg_localize(why, sizeof why);
        setup_error(err, errlen,
                    "Die Programme sind installiert, aber die Einstellungen lassen sich nicht "
                    "speichern: %s",
                    why);
        return 1;
    }
    setup_report(ctx, "Update-Einstellungen: %s", ctx->config_path);
    if (faulty) {
        msg_localize(why, sizeof why);
        msg_finish_sentence(why, sizeof why);
        setup_report(ctx,
                     "WARNUNG: %s Die bisherige Datei liegt unverändert in %s; ihre "
                     "Einstellungen wurden nicht übernommen",
                     why, kept);
    }

    char msg[SETUP_FLOW_MSG] = "";
    if (sys->register_install(ctx, msg, sizeof msg) != 0) {
        msg_localize(msg, sizeof msg);
        setup_report(ctx, "WARNUNG: %s", msg);
    }
    update_task(ctx, sys);
    resume_task(ctx, sys);
    scheduler(ctx, sys);

    if (ctx->configure_server) {
        msg[0] = '\0';
        sys->server_unsupported(ctx, msg, sizeof msg);
        msg_localize(msg, sizeof msg);
        setup_error(err, errlen,
                    "Die Programme sind installiert, aber die Einrichtung des Backup-Servers ist "
                    "fehlgeschlagen: %s",
                    msg);
        return 1;
    }
    if (!ctx->configure_client)
        return 0;
    msg[0] = '\0';
    if (sys->client_connect(ctx, msg, sizeof msg) != 0) {
        msg_localize(msg, sizeof msg);
        setup_error(err, errlen,
                    "Die Programme sind installiert, aber die Verbindung zum Backup-Server ließ "
                    "sich nicht einrichten: %s",
                    msg);
        return 1;
    }
    return 0;
}

int setup_install_silent_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                              size_t errlen)
{
    if (ctx->mode == SETUP_MODE_UNINSTALL)
        return setup_uninstall_silent_with(ctx, sys, err, errlen);

    setup_install_plan plan;
    memset(&plan, 0, sizeof plan);
    int rc = install_plan(ctx, sys, &plan, err, errlen);
    if (rc != 0)
        return rc;

    char msg[SETUP_FLOW_MSG] = "";
    if (sys->restrict_data_dir(ctx, msg, sizeof msg) != 0) {
        msg_localize(msg, sizeof msg);
        setup_report(ctx, "WARNUNG: %s", msg);
    }

    if (errlen)
        err[0] = '\0';
    rc = sys->install(ctx, &plan, err, errlen);
    if (rc == 75) {
        setup_postponed(err, errlen,
                        "Gerade läuft eine Sicherung, Wiederherstellung, Wartung oder ein "
                        "anderes Update. Bitte später erneut versuchen");
        return 75;
    }
    if (rc != 0) {
        if (errlen && err[0])
            msg_localize(err, errlen);
        else
            setup_error(err, errlen, "Die Installation ist fehlgeschlagen");
        msg_finish_sentence(err, errlen);
        // Programs that went live while the state could not record them are
        // neither nothing nor the installation as it was: the engine's
        // sentence says what became of them and that the next run records.
        size_t n = strnlen(err, errlen);
        if (n < errlen && !sys->switch_pending(&ctx->updater_config))
            setup_error(err + n, errlen - n, " %s",
                        ctx->installed_components[0] ? "Die bisherige Installation ist "
                                                       "unverändert."
                                                     : "Es wurde nichts installiert.");
        return rc;
    }
    return install_finish(ctx, sys, &plan, err, errlen);
}
