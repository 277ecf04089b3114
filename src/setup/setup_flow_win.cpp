// The install and uninstall flows with the real calls: state file, engine,
// settings file, Windows registration and the integration steps.
#include "setup_flow.h"

#include "registration.h"
#include "sched_setup.h"
#include "setup_client.h"
#include "setup_connect.h"
#include "setup_link.h"
#include "setup_report.h"
#include "setup_win.h"
#include "updconf.h"

// The Windows clean-up reports nothing of its own: each item is best effort.
static int unregister(setup_context *ctx, char *msg, size_t msglen)
{
    (void)msg;
    (void)msglen;
    return win_unregister_install(ctx);
}

// ---- the engine is not in this build yet ------------------------------------
// Each ends its run as failed, so no run reports work that was not done.

static int engine_uninstall_missing(const updater_config *, int, char *err, size_t errlen)
{
    setup_error(err, errlen, "Das Entfernen ist in diesem Build noch nicht enthalten");
    return 1;
}

static int install_missing(setup_context *, const setup_install_plan *, char *err,
                           size_t errlen)
{
    setup_error(err, errlen, "Die Installation ist in diesem Build noch nicht enthalten");
    return 1;
}

static const setup_flow_sys flow_sys = {
    win_is_admin,
    state_read,
    setup_data_dir,
    win_update_task_exists,
    unregister,
    engine_uninstall_missing,
    setup_purge,
    setup_connect,
    setup_restrict_data_dir,
    install_missing,
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
};

int setup_require_admin(setup_context *ctx, char *err, size_t errlen)
{
    return setup_require_admin_with(ctx, &flow_sys, err, errlen);
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
