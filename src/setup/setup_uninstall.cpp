// The uninstall flow and the readers of the installed state: whether anything
// is busy first, then the Windows entries, the programs through the engine,
// settings and data last.
#include "setup_flow.h"

#include <string.h>

#include "msg.h"
#include "setup_report.h"

int setup_require_admin_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                             size_t errlen)
{
    if (ctx->root[0] || sys->is_admin())
        return 0;
    setup_error(err, errlen, "Das Setup braucht Administratorrechte (als Administrator ausführen)");
    return -1;
}

int setup_uninstall_silent_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                                size_t errlen)
{
    if (setup_require_admin_with(ctx, sys, err, errlen) != 0)
        return 1;
    return setup_uninstall_with(ctx, sys, err, errlen);
}

int setup_uninstall_with(setup_context *ctx, const setup_flow_sys *sys, char *err,
                         size_t errlen)
{
    const setup_callbacks *cb = &ctx->callbacks;
    if (cb->step_fn)
        cb->step_fn(cb->callback_user, "removing", 0, 1);

    // Busy is decided before anything is removed: a backup that runs must
    // keep its scheduler service and its programs alike. The engine's lock
    // is held from here until the programs are gone, so no other setup or
    // updater starts in between.
    if (errlen)
        err[0] = '\0';
    int rc = sys->uninstall_begin(&ctx->updater_config, err, errlen);
    int entries_removed = 0;
    if (rc == 0) {
        char msg[SETUP_FLOW_MSG] = "";
        if (sys->unregister(ctx, msg, sizeof msg) != 0 && msg[0]) {
            msg_localize(msg, sizeof msg);
            setup_report(ctx, "WARNUNG: %s", msg);
        }
        entries_removed = 1;
        if (errlen)
            err[0] = '\0';
        rc = sys->engine_uninstall(&ctx->updater_config, ctx->purge, err, errlen);
    }
    if (rc != 0) {
        // The entries are gone while the programs stay (a job that started
        // after the first question): the user must hear that the run changed
        // something, and how to finish it. Test mode registers nothing, so
        // there is nothing to tell then.
        if (entries_removed && !ctx->root[0])
            setup_report(ctx,
                         "WARNUNG: Die Einträge bei Windows (geplante Aufgaben, Dienst des "
                         "Job-Planers, Firewall-Regel, PATH, „Installierte Apps“, Startmenü) sind "
                         "bereits entfernt, die Programme aber noch vorhanden. Ein erneutes "
                         "Entfernen schließt es ab, eine erneute Installation richtet die "
                         "Einträge wieder ein.");
        if (rc == 75) {
            setup_postponed(err, errlen,
                            "Gerade läuft eine Sicherung, Wiederherstellung oder Wartung. Bitte "
                            "später erneut versuchen");
            return 75;
        }
        if (errlen && err[0])
            msg_localize(err, errlen);
        else
            setup_error(err, errlen, "Das Entfernen ist fehlgeschlagen");
        return rc;
    }

    setup_report(ctx, "Die Programme wurden entfernt.");
    if (ctx->purge) {
        sys->purge(ctx);
    } else if (ctx->front_end == SETUP_FRONT_WIZARD) {
        char dir[SETUP_FLOW_DATA_DIR];
        sys->data_dir(ctx, dir, sizeof dir);
        setup_report(ctx,
                     "Ihre Sicherungen wurden nicht angefasst. Einstellungen, Schlüssel, "
                     "Zertifikate und Protokolle in %s wurden behalten. Werden sie nicht mehr "
                     "gebraucht, kann der Ordner gelöscht werden.",
                     dir);
    } else {
        setup_report(ctx,
                     "Sicherungen, Schlüssel, Zertifikate und %s wurden behalten (--purge "
                     "entfernt auch die Einstellungen).",
                     ctx->config_path);
    }
    return 0;
}

int setup_read_installed_with(setup_context *ctx, const setup_flow_sys *sys)
{
    updater_state st;
    memset(&st, 0, sizeof st);
    sys->state_read(&ctx->updater_config, &st);
    setup_flow_snprintf(ctx->installed_components, sizeof ctx->installed_components, "%s",
                        st.components);
    setup_flow_snprintf(ctx->installed_version, sizeof ctx->installed_version, "%s",
                        st.installed_version);
    return ctx->installed_version[0] ? 1 : 0;
}

void setup_read_task_state_with(setup_context *ctx, const setup_flow_sys *sys)
{
    if (!ctx->installed_components[0]) {
        ctx->update_task_state = -1;
        return;
    }
    ctx->update_task_state = sys->update_task_exists(ctx);
    // An installation whose daily task was taken away keeps it off unless the
    // user switches it on again.
    if (ctx->update_task_state == 0)
        ctx->updater_schedule = 0;
}
