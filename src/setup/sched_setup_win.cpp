// The job scheduler on Windows: its settings file, the scheduler program's
// API commands, the firewall rule, the service "orvantis-sched", and the
// setup's two scheduled tasks.
#include "sched_setup.h"

#include <io.h>
#include <stdio.h>
#include <string.h>

#include "acl.h"
#include "fs.h"
#include "proc.h"
#include "sched_service.h"
#include "sched_setup_win.h"
#include "schedcmd.h"
#include "setup_report.h"
#include "setup_win.h"
#include "task.h"

// The runtime's _write as a plain function for the table.
static int runtime_write(int fd, const void *data, unsigned int size)
{
    return _write(fd, data, size);
}

// ChangeServiceConfig2W, taking the settings record by its untyped pointer.
static BOOL WINAPI change_config2(SC_HANDLE svc, DWORD level, LPVOID info)
{
    return ChangeServiceConfig2W(svc, level, info);
}

sched_setup_sys sched_setup_calls = {
    OpenSCManagerA,       OpenServiceA,  CreateServiceA,     ChangeServiceConfigA,
    change_config2,       QueryServiceStatus, ControlService, StartServiceA,
    DeleteService,        CloseServiceHandle, Sleep,          sched_service_busy,
    runtime_write};

static const wchar_t kServiceDescription[] =
    L"Führt die Sicherungsjobs von orvantis (orv_agent) nach Zeitplan, einmalig oder nach "
    L"anderen Jobs aus; Einstellungen: orv_sched.cfg in %ProgramData%\\orvantis, Protokolle in "
    L"%ProgramData%\\orvantis\\logs.";
static const char kResumeDescription[] =
    "Setzt Sicherungen fort, die durch einen Absturz oder ein Herunterfahren unterbrochen "
    "wurden.";

// Runs a command of the scheduler program (argv[0] its path) with its time
// limit; out receives the output. Returns 1 when the run failed: not started,
// ended at the limit, or an exit code other than 0.
static int run_sched(const char *const *argv, char *out, size_t outcap)
{
    proc_result res;
    int rc = proc_run(argv, nullptr, SCHEDCMD_API_TIMEOUT, out, outcap, &res);
    return rc != 0 || res.timed_out || res.exit_code != 0;
}

// The settings file: created with the protected list when it is missing (the
// API switched on in it as asked), else kept and, with the API wanted, the
// API switched on by the scheduler itself. 0, or -1 with a sentence.
static int sched_config(setup_context *ctx, const char *sched, const char *cfg,
                        int console_writes, char *err, size_t errlen)
{
    if (GetFileAttributesA(cfg) == INVALID_FILE_ATTRIBUTES) {
        const char *text = sched_cfg_text(ctx->sched_api, console_writes);
        size_t len = strlen(text);
        int fd = acl_create_file(cfg, 1);
        if (fd < 0) {
            win_error(err, errlen, "%s lässt sich nicht schreiben", cfg);
            return -1;
        }
        int written = sched_setup_calls.write_file(fd, text, (unsigned)len);
        _close(fd);
        if (written < 0 || (size_t)written < len) {
            // A cut file would be kept as it is by every later run.
            DeleteFileA(cfg);
            win_error(err, errlen, "%s lässt sich nicht schreiben", cfg);
            return -1;
        }
        sched_report_new_config(ctx, cfg, ctx->sched_api, console_writes);
        return 0;
    }
    setup_report(ctx, "Job-Planer: bestehende Konfiguration %s behalten", cfg);
    if (ctx->sched_api == 1) {
        schedcmd_args a;
        schedcmd_args_api_enable(&a, sched, cfg, console_writes);
        char out[SCHEDCMD_SETUP_OUTPUT];
        int failed = run_sched(a.argv, out, sizeof out);
        sched_enable_report(ctx, failed, out);
    }
    return 0;
}

// Waits until the service reports stopped: up to 121 status queries, 250 ms
// apart. 1 when it stopped, else 0.
static int wait_stopped(SC_HANDLE svc)
{
    for (int i = 0; i < SCHED_SETUP_STOP_QUERIES; i++) {
        if (i > 0)
            sched_setup_calls.sleep(SCHED_SETUP_STOP_POLL_MS);
        SERVICE_STATUS st;
        if (sched_setup_calls.query_service_status(svc, &st) &&
            st.dwCurrentState == SERVICE_STOPPED)
            return 1;
    }
    return 0;
}

// The optional settings of the service; a failure leaves that one unset.
static void service_options(SC_HANDLE svc)
{
    SERVICE_DESCRIPTIONW desc = {(LPWSTR)kServiceDescription};
    sched_setup_calls.change_service_config2(svc, SERVICE_CONFIG_DESCRIPTION, &desc);
    SERVICE_DELAYED_AUTO_START_INFO delayed = {TRUE};
    sched_setup_calls.change_service_config2(svc, SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                             &delayed);
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 300000}};
    SERVICE_FAILURE_ACTIONSW failure = {86400, nullptr, nullptr, 3, actions};
    sched_setup_calls.change_service_config2(svc, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

// Creates or reconfigures the service for cmdline, stops an idle one that
// runs the old program and starts it. 0, or -1 with a sentence.
static int sched_service(setup_context *ctx, const char *cmdline, const char *data_dir,
                         char *err, size_t errlen)
{
    char why[SCHED_SETUP_ERROR_TEXT];
    int rc = -1;
    SC_HANDLE svc = nullptr;
    SC_HANDLE scm = sched_setup_calls.open_sc_manager(
        nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!scm) {
        win_error(err, errlen, "Die Dienststeuerung lässt sich nicht öffnen (%s)",
                  win_error_text(GetLastError(), why, sizeof why));
        return -1;
    }
    svc = sched_setup_calls.open_service(scm, SCHED_SETUP_SERVICE, SERVICE_ALL_ACCESS);
    if (!svc) {
        svc = sched_setup_calls.create_service(
            scm, SCHED_SETUP_SERVICE, SCHED_SETUP_DISPLAY, SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, cmdline, nullptr,
            nullptr, nullptr, nullptr, nullptr);
        if (!svc) {
            win_error(err, errlen, "Der Dienst %s lässt sich nicht anlegen (%s)",
                      SCHED_SETUP_SERVICE, win_error_text(GetLastError(), why, sizeof why));
            goto done;
        }
    } else if (!sched_setup_calls.change_service_config(
                   svc, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                   cmdline, nullptr, nullptr, nullptr, "LocalSystem", "", SCHED_SETUP_DISPLAY)) {
        win_error(err, errlen, "Der Dienst %s lässt sich nicht ändern (%s)", SCHED_SETUP_SERVICE,
                  win_error_text(GetLastError(), why, sizeof why));
        goto done;
    }
    service_options(svc);

    SERVICE_STATUS st;
    if (sched_setup_calls.query_service_status(svc, &st) && st.dwCurrentState != SERVICE_STOPPED) {
        // It still runs the old program; a job in progress is never cut short.
        char msg[SCHED_SETUP_BUSY_MSG];
        if (sched_setup_calls.service_busy(&ctx->updater_config, nullptr, nullptr, 0, msg,
                                           sizeof msg) != 0) {
            setup_report(ctx, "Job-Planer: Der Dienst läuft weiter (ein Job läuft); das neue "
                              "Programm gilt ab seinem nächsten Neustart");
            rc = 0;
            goto done;
        }
        SERVICE_STATUS ignored;
        sched_setup_calls.control_service(svc, SERVICE_CONTROL_STOP, &ignored);
        if (!wait_stopped(svc)) {
            setup_report(ctx, "Job-Planer: Der Dienst hat nicht innerhalb von 30 s angehalten; "
                              "das neue Programm gilt ab seinem nächsten Neustart");
            rc = 0;
            goto done;
        }
    }
    if (!sched_setup_calls.start_service(svc, 0, nullptr)) {
        DWORD code = GetLastError();
        if (code != ERROR_SERVICE_ALREADY_RUNNING) {
            win_error(err, errlen,
                      "Der Dienst %s ist eingerichtet, startet aber nicht (%s). Einzelheiten "
                      "stehen in %s\\logs",
                      SCHED_SETUP_SERVICE, win_error_text(code, why, sizeof why), data_dir);
            goto done;
        }
    }
    rc = 0;
done:
    if (svc)
        sched_setup_calls.close_service_handle(svc);
    sched_setup_calls.close_service_handle(scm);
    return rc;
}

int win_sched_setup(setup_context *ctx, char *err, size_t errlen)
{
    char sched[SCHED_SETUP_PATH], data_dir[SCHED_SETUP_PATH], cfg[SCHED_SETUP_PATH];
    char program[SCHED_SETUP_PATH];
    if (!setup_program_path(ctx, "orv_sched", sched, sizeof sched)) {
        win_error(err, errlen, "orv_sched gehört nicht zu dieser Installation");
        return -1;
    }
    setup_data_dir(ctx, data_dir, sizeof data_dir);
    // A data directory cut at the buffer's end would be another directory.
    if (strlen(data_dir) >= sizeof data_dir - 1 || fs_create_dirs(data_dir) != 0) {
        win_error(err, errlen, "%s lässt sich nicht anlegen", data_dir);
        return -1;
    }
    int console_writes =
        sched_console_writes(ctx, setup_program_path(ctx, "orv_console", program, sizeof program) != nullptr);
    int n = win_snprintf(cfg, sizeof cfg, "%s\\orv_sched.cfg", data_dir);
    if (n < 0 || (size_t)n >= sizeof cfg) {
        // A cut path would name another file.
        win_error(err, errlen, "%s lässt sich nicht schreiben", cfg);
        return -1;
    }
    if (sched_config(ctx, sched, cfg, console_writes, err, errlen) != 0)
        return -1;
    if (ctx->root[0])
        return 0;

    char out[SCHEDCMD_SETUP_OUTPUT];
    schedcmd_args a;
    schedcmd_args_api_init(&a, sched, cfg);
    int failed = run_sched(a.argv, out, sizeof out);
    sched_init_report(ctx, failed, out);

    const char *tail[SCHED_SETUP_RELEASE_TAIL];
    int count = sched_release_args(ctx, cfg, tail);
    if (count > 0) {
        const char *argv[SCHED_SETUP_RELEASE_TAIL + 1] = {sched};
        memcpy(argv + 1, tail, sizeof tail);
        failed = run_sched(argv, out, sizeof out);
        sched_release_report(ctx, failed ? -1 : 0, out);
    }

    if (setup_program_path(ctx, "orv_sched_net", program, sizeof program))
        win_firewall_rule(program, 1);

    char cmdline[SCHEDCMD_SERVICE_CMDLINE];
    if (schedcmd_service_cmdline(cmdline, sched, cfg) != 0) {
        // Cannot happen with two paths of at most 699 bytes; a cut command
        // line would start another program.
        win_error(err, errlen, "Der Dienst %s lässt sich nicht anlegen (%s)", SCHED_SETUP_SERVICE,
                  "Befehlszeile zu lang");
        return -1;
    }
    return sched_service(ctx, cmdline, data_dir, err, errlen);
}

void win_sched_remove(setup_context *ctx)
{
    if (!ctx->root[0])
        win_sched_service_remove(ctx);
}

void win_sched_service_remove(setup_context *ctx)
{
    SC_HANDLE scm = sched_setup_calls.open_sc_manager(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? sched_setup_calls.open_service(
                              scm, SCHED_SETUP_SERVICE, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)
                        : nullptr;
    if (svc) {
        SERVICE_STATUS ignored;
        sched_setup_calls.control_service(svc, SERVICE_CONTROL_STOP, &ignored);
        if (!wait_stopped(svc))
            setup_report(ctx, "Job-Planer: Der Dienst %s beendet noch einen Job; er wird danach "
                              "entfernt",
                         SCHED_SETUP_SERVICE);
        // Windows removes a service marked for deletion once it has stopped.
        sched_setup_calls.delete_service(svc);
        sched_setup_calls.close_service_handle(svc);
    }
    if (scm)
        sched_setup_calls.close_service_handle(scm);
    win_firewall_rule(nullptr, 0);
}

// Runs netsh with argv; its outcome does not matter.
static void run_netsh(const char *const *argv)
{
    char out[SCHED_SETUP_RUN_OUTPUT];
    proc_result res;
    proc_run(argv, nullptr, SCHED_SETUP_RUN_TIMEOUT, out, sizeof out, &res);
}

void win_firewall_rule(const char *program, int add)
{
    char name[SCHED_SETUP_RULE_ARG];
    win_snprintf(name, sizeof name, "name=%s", SCHED_SETUP_FIREWALL_RULE);
    const char *del[] = {"netsh", "advfirewall", "firewall", "delete", "rule", name, nullptr};
    run_netsh(del);
    if (!add)
        return;
    char prog[SCHED_SETUP_PROGRAM_ARG];
    win_snprintf(prog, sizeof prog, "program=%s", program);
    const char *argv[] = {"netsh",  "advfirewall",   "firewall",     "add",
                          "rule",   name,            "dir=in",       "action=allow",
                          "protocol=TCP", prog,      "enable=yes",   "profile=any",
                          nullptr};
    run_netsh(argv);
}

int win_update_task_create(setup_context *ctx, char *err, size_t errlen)
{
    char updater[SCHED_SETUP_PATH];
    if (!setup_program_path(ctx, "orv_updater", updater, sizeof updater)) {
        win_error(err, errlen, "orv_updater gehört nicht zu dieser Installation");
        return -1;
    }
    if (ctx->root[0])
        return 0;
    return task_create_updater(updater, ctx->config_path, err, errlen);
}

int win_update_task_exists(setup_context *ctx)
{
    return ctx->root[0] ? -1 : task_query_updater();
}

int win_update_task_delete(setup_context *ctx, char *err, size_t errlen)
{
    if (ctx->root[0])
        return 0;
    // Deleting a task that is not there fails; when the question fails, try.
    if (task_query_updater() == 0)
        return 0;
    return task_delete_updater(err, errlen);
}

int win_resume_task_create(setup_context *ctx, char *err, size_t errlen)
{
    char agent[SCHED_SETUP_PATH];
    if (!setup_program_path(ctx, "orv_agent", agent, sizeof agent)) {
        win_error(err, errlen, "orv_agent gehört nicht zu dieser Installation");
        return -1;
    }
    if (ctx->root[0])
        return 0;
    return task_create_boot(SCHED_SETUP_RESUME_TASK, kResumeDescription, agent,
                            "--resume-pending", 2, err, errlen);
}

void win_resume_task_remove(setup_context *ctx)
{
    if (!ctx->root[0])
        win_resume_task_delete();
}

int win_resume_task_delete(void)
{
    char err[300];
    return task_delete(SCHED_SETUP_RESUME_TASK, err, sizeof err);
}

int sched_read_release(setup_context *ctx)
{
    char data_dir[SCHED_SETUP_PATH], cfg[SCHED_SETUP_PATH];
    setup_data_dir(ctx, data_dir, sizeof data_dir);
    win_snprintf(cfg, sizeof cfg, "%s\\orv_sched.cfg", data_dir);
    FILE *f = fopen(cfg, "rb");
    if (!f)
        return -1;
    int release = sched_release_from_file(f);
    fclose(f);
    return release;
}
