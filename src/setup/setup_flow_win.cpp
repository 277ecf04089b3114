// The install and uninstall flows with the real calls: state file, engine,
// settings file, Windows registration and the integration steps.
#include "setup_flow.h"

#include "registration.h"
#include "sched_setup.h"
#include "setup_connect.h"
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

// ---- calls whose modules are not in this build yet ---------------------------
// Each ends its step as failed, so no run reports work that was not done.

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

static int restrict_data_dir_missing(setup_context *, char *err, size_t errlen)
{
    setup_error(err, errlen, "Die Rechte des Datenordners werden in diesem Build noch nicht "
                             "beschränkt");
    return -1;
}

static int console_link_missing(setup_context *, char *err, size_t errlen)
{
    setup_error(err, errlen, "Die Verbindung der Verwaltungskonsole ist in diesem Build noch "
                             "nicht enthalten");
    return -1;
}

static int server_unsupported_missing(setup_context *, char *err, size_t errlen)
{
    setup_error(err, errlen, "Der Backup-Server (orv_target) läuft nur unter Linux und lässt "
                             "sich unter Windows nicht einrichten");
    return -1;
}

static int client_connect_missing(setup_context *, char *msg, size_t msglen)
{
    setup_error(msg, msglen, "Die Verbindung zum Backup-Server ist in diesem Build noch nicht "
                             "enthalten");
    return -1;
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
    restrict_data_dir_missing,
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
    console_link_missing,
    server_unsupported_missing,
    client_connect_missing,
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
