// The wizard's navigation without a window: which page follows which, the
// Back history, and what a page's values write into the setup context.
#include <stdio.h>
#include <string.h>

#include "msg.h"
#include "setup_choice.h"
#include "updconf.h"
#include "wizard.h"

int wizard_component_selected(setup_context *ctx, const char *id)
{
    char resolved[256];
    setup_resolved_list(ctx, resolved, sizeof resolved);
    char around[300], needle[64];
    snprintf(around, sizeof around, ",%s,", resolved);
    snprintf(needle, sizeof needle, ",%s,", id);
    return strstr(around, needle) != nullptr;
}

// The console pages need the scheduler's API and the scheduler, never for a repair.
static int sched_pages(setup_context *ctx)
{
    return ctx->mode != SETUP_MODE_REPAIR && ctx->sched_api &&
           wizard_component_selected(ctx, "sched");
}

// The page after the backup-server page.
static int after_server_page(setup_context *ctx)
{
    if (sched_pages(ctx))
        return wizard_component_selected(ctx, "console") ? 5 : 6;
    return 7;
}

int wizard_next_page(setup_context *ctx, int page, int custom_chosen)
{
    switch (page) {
    case 0:
        if (ctx->mode == SETUP_MODE_REPAIR || ctx->mode == SETUP_MODE_UNINSTALL)
            return 7;
        return ctx->mode == SETUP_MODE_MODIFY ? 2 : 1;
    case 1:
        return custom_chosen ? 2 : 3;
    case 2:
        return 3;
    case 3:
        if (ctx->mode == SETUP_MODE_REPAIR)
            return 7;
        if (wizard_component_selected(ctx, "agent") || wizard_component_selected(ctx, "restore"))
            return 4;
        return after_server_page(ctx);
    case 4:
        return after_server_page(ctx);
    case 5:
        return sched_pages(ctx) ? 6 : 7;
    case 6:
        return 7;
    case 7:
        return WIZARD_NEXT_RUN;
    case 9:
        return WIZARD_NEXT_CLOSE;
    default:
        return WIZARD_NEXT_NONE;
    }
}

void wizard_history_push(int32_t *history, int32_t *count, int32_t page)
{
    if (*count >= 0 && *count < WIZARD_HISTORY)
        history[(*count)++] = page;
}

int32_t wizard_history_pop(const int32_t *history, int32_t *count)
{
    if (*count <= 0)
        return -1;
    return history[--*count];
}

// Copies a field's text into a context field (both of size bytes).
static void take(char *field, size_t size, const char *text)
{
    snprintf(field, size, "%s", strlen(text) < size ? text : "");
}

// 1 when a component is selected that is not required.
static int own_choice(const setup_context *ctx)
{
    const component_catalog *cat = &ctx->component_catalog;
    for (size_t i = 0; i < cat->component_count && i < SETUP_MAX_COMPONENTS; i++)
        if (ctx->selected[i] && !cat->components[i].is_required)
            return 1;
    return 0;
}

// Page 1's folder, made absolute as a folder on the command line is.
static void read_folder(setup_context *ctx, const char *typed, setup_fullpath_fn fullpath)
{
    char *dir = ctx->updater_config.install_dir;
    size_t size = sizeof ctx->updater_config.install_dir;
    take(dir, size, typed);
    if (!dir[0] || !fullpath)
        return;
    char full[SETUP_CONFIG_PATH_SIZE];
    if (fullpath(dir, full, sizeof full) == 0 && strlen(full) < size)
        memcpy(dir, full, strlen(full) + 1);
}

int wizard_read_values(setup_context *ctx, int page, const wizard_page_values *v,
                       wizard_read_env *env, char *msg, size_t msglen)
{
    if (msglen)
        msg[0] = '\0';
    env->user_resolved = 0;
    env->refused_field = WIZARD_FIELD_NONE;
    switch (page) {
    case 0:
        if (v->choice_visible) {
            if (v->modify)
                ctx->mode = SETUP_MODE_MODIFY;
            else if (v->repair)
                ctx->mode = SETUP_MODE_REPAIR;
            else if (v->uninstall)
                ctx->mode = SETUP_MODE_UNINSTALL;
        }
        if (ctx->mode == SETUP_MODE_UNINSTALL)
            return 1;
        if (ctx->installed_components[0] && ctx->mode == SETUP_MODE_INSTALL)
            ctx->mode = SETUP_MODE_MODIFY;
        if (ctx->mode == SETUP_MODE_MODIFY || ctx->mode == SETUP_MODE_REPAIR) {
            memset(ctx->selected, 0, sizeof ctx->selected);
            setup_apply_preset(ctx, "installed", nullptr, 0);
        }
        return 1;
    case 1:
        read_folder(ctx, v->install_dir, env->fullpath);
        if (!ctx->updater_config.install_dir[0]) {
            snprintf(msg, msglen, "%s", "Bitte einen Installationsordner angeben.");
            env->refused_field = WIZARD_FIELD_INSTALL_DIR;
            return 0;
        }
        env->custom_chosen = v->custom ? 1 : 0;
        if (!(env->custom_chosen && own_choice(ctx)))
            setup_apply_preset(ctx, "client", nullptr, 0);
        return 1;
    case 2: {
        memset(ctx->selected, 0, sizeof ctx->selected);
        size_t n = ctx->component_catalog.component_count;
        for (size_t i = 0; i < n && i < WIZARD_ITEMS; i++)
            if (v->has_checkbox[i])
                ctx->selected[i] = v->checked[i] ? 1 : 0;
        return 1;
    }
    case 3:
        ctx->updater_schedule = v->daily ? 1 : 0;
        take(ctx->updater_config.channel, sizeof ctx->updater_config.channel, v->channel);
        if (!ctx->updater_config.channel[0])
            snprintf(ctx->updater_config.channel, sizeof ctx->updater_config.channel, "%s",
                     updconf_default_channel());
        return 1;
    case 4:
        ctx->configure_client = v->connect ? 1 : 0;
        if (!ctx->configure_client)
            return 1;
        take(ctx->client_server, sizeof ctx->client_server, v->server);
        take(ctx->client_dir, sizeof ctx->client_dir, v->server_dir);
        take(ctx->client_server_cert, sizeof ctx->client_server_cert, v->cert);
        take(ctx->client_api_key, sizeof ctx->client_api_key, v->api_key);
        ctx->client_test = v->test ? 1 : 0;
        // The first empty one in the page's order is the one to fill in.
        env->refused_field = !ctx->client_server[0]        ? WIZARD_FIELD_SERVER
                             : !ctx->client_dir[0]         ? WIZARD_FIELD_SERVER_DIR
                             : !ctx->client_server_cert[0] ? WIZARD_FIELD_CERT
                             : !ctx->client_api_key[0]     ? WIZARD_FIELD_API_KEY
                                                           : WIZARD_FIELD_NONE;
        if (env->refused_field != WIZARD_FIELD_NONE) {
            snprintf(msg, msglen, "%s",
                     "Bitte Server, Verzeichnis, Zertifikat und API-Key angeben (oder die "
                     "Einrichtung abwählen).");
            return 0;
        }
        return 1;
    case 5: {
        ctx->console_link = v->link ? 1 : 0;
        ctx->console_role_admin = v->admin ? 1 : 0;
        if (!ctx->console_link)
            return 1;
        if (!v->user[0]) {
            snprintf(msg, msglen, "%s",
                     "Bitte den Windows-Benutzer angeben, der die Konsole verwendet (oder die "
                     "Verbindung abwählen).");
            env->refused_field = WIZARD_FIELD_USER;
            return 0;
        }
        char full[256] = "", err[300] = "";
        if (env->check_user && env->check_user(v->user, full, sizeof full, err, sizeof err) == 0) {
            snprintf(ctx->console_user, sizeof ctx->console_user, "%s", full);
            snprintf(env->shown_user, sizeof env->shown_user, "%s", full);
            env->user_resolved = 1;
            return 1;
        }
        if (env->test_mode) {
            ctx->console_link = 0;
            return 1;
        }
        msg_finish_sentence(err, sizeof err);
        snprintf(msg, msglen, "%s", err);
        env->refused_field = WIZARD_FIELD_USER;
        return 0;
    }
    case 6:
        if (v->share)
            ctx->console_release = v->share_change ? 2 : 1;
        else
            ctx->console_release = env->release_now > 0 ? 0 : -1;
        return 1;
    case 7:
        if (ctx->mode == SETUP_MODE_UNINSTALL)
            ctx->purge = v->purge ? 1 : 0;
        return 1;
    default:
        return 1;
    }
}
