// The install and uninstall flows with the real calls: state file, engine,
// settings file, Windows registration and the integration steps.
#include "setup_flow.h"

#include <string.h>

#include <windows.h>

#include "install.h"
#include "registration.h"
#include "sched_setup.h"
#include "setup_client.h"
#include "setup_connect.h"
#include "setup_link.h"
#include "setup_report.h"
#include "setup_win.h"
#include "updconf.h"
#include "versions.h"

// The Windows clean-up reports nothing of its own: each item is best effort.
static int unregister(setup_context *ctx, char *msg, size_t msglen)
{
    (void)msg;
    (void)msglen;
    return win_unregister_install(ctx);
}

// One install_request from the plan: the catalog's URL as the base of the
// packages, the report adapters for progress, and always forced, since the
// user asked for exactly this version.
static int install(setup_context *ctx, const setup_install_plan *plan, char *err, size_t errlen)
{
    install_request req;
    memset(&req, 0, sizeof req);
    req.version = plan->version;
    req.artifacts = plan->packages;
    req.count = plan->count;
    req.base_url = ctx->catalog_url;
    req.component_list = plan->component_list;
    req.bytes_fn = setup_bytes_adapter;
    req.bytes_user = ctx;
    req.step_fn = setup_step_adapter;
    req.step_user = ctx;
    req.force = 1;
    return install_run(&ctx->updater_config, &ctx->host_facts, &req, err, errlen);
}

// A settings file that the reader refuses still holds the administrator's
// addresses, proxy and keys: its bytes stay beside the new file.
static int config_keep(const char *path, char *kept, size_t keptlen, char *why, size_t whylen)
{
    updater_config scratch;
    updconf_defaults(&scratch);
    if (whylen)
        why[0] = '\0';
    if (updconf_read(path, 0, &scratch, why, whylen) == 0)
        return 0;
    int n = setup_flow_snprintf(kept, keptlen, "%s.bad", path);
    if (n < 0 || (size_t)n >= keptlen) {
        setup_flow_snprintf(why, whylen, "Der Pfad von %s ist zu lang für eine Kopie", path);
        return -1;
    }
    if (!CopyFileA(path, kept, FALSE)) {
        setup_flow_snprintf(why, whylen, "%s lässt sich nicht nach %s kopieren (Windows-Fehler %lu)",
                            path, kept, (unsigned long)GetLastError());
        return -1;
    }
    return 1;
}

static const setup_flow_sys flow_sys = {
    win_is_admin,
    state_read,
    setup_data_dir,
    win_update_task_exists,
    updater_uninstall_begin,
    unregister,
    updater_uninstall_locked,
    setup_purge,
    setup_connect,
    setup_restrict_data_dir,
    install,
    config_keep,
    updconf_write,
    win_register_install,
    win_update_task_create,
    win_update_task_delete,
    setup_program_path,
    win_resume_task_create,
    win_resume_task_remove,
    win_sched_setup,
    win_sched_remove,
    win_console_link,
    setup_server_unsupported,
    setup_client_connect,
    updater_recover,
    versions_switch_pending,
};

int setup_require_admin(setup_context *ctx, char *err, size_t errlen)
{
    return setup_require_admin_with(ctx, &flow_sys, err, errlen);
}

int setup_heal(setup_context *ctx, char *err, size_t errlen)
{
    return setup_heal_with(ctx, &flow_sys, err, errlen);
}

int setup_install_silent(setup_context *ctx, char *err, size_t errlen)
{
    return setup_install_silent_with(ctx, &flow_sys, err, errlen);
}

int setup_uninstall_silent(setup_context *ctx, char *err, size_t errlen)
{
    return setup_uninstall_silent_with(ctx, &flow_sys, err, errlen);
}

int setup_uninstall(setup_context *ctx, char *err, size_t errlen)
{
    return setup_uninstall_with(ctx, &flow_sys, err, errlen);
}

int setup_read_installed(setup_context *ctx)
{
    return setup_read_installed_with(ctx, &flow_sys);
}

void setup_read_task_state(setup_context *ctx) { setup_read_task_state_with(ctx, &flow_sys); }
