// The scheduler service through the service control manager, and its job
// state through the scheduler program's "list".
#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "log.h"
#include "proc.h"
#include "sched_service.h"
#include "sched_service_win_seam.h"
#include "schedcmd.h"
#include "selftest.h"
#include "update.h"

const sched_win_calls sched_win_real = {
    OpenSCManagerA, OpenServiceA, QueryServiceStatusEx, QueryServiceConfigA, ControlService,
    QueryServiceStatus, StartServiceA, CloseServiceHandle, Sleep,
};
sched_win_calls sched_win = sched_win_real;

// The query's two process-wide buffers: the service's configuration (its
// strings follow the record, so the record's alignment is kept) and the
// answer of "list".
static union {
    QUERY_SERVICE_CONFIGA config;
    char bytes[SCHED_CONFIG_BUF];
} config_buf;
static char list_buf[SCHED_LIST_BUF];

// Closes the handles that are open.
static void close_both(SC_HANDLE service, SC_HANDLE manager)
{
    if (service)
        sched_win.close(service);
    if (manager)
        sched_win.close(manager);
}

// What the service control manager says about the service: -1 it cannot be
// asked; 0 no service, stopped or without a process; 1 running, with its
// process id in *pid and its command line in cmdline.
static int service_state(unsigned long *pid, char cmdline[SCHED_CMDLINE_MAX])
{
    int rc = -1;
    SC_HANDLE service = NULL;
    SC_HANDLE manager = sched_win.open_manager(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager)
        return -1;
    service = sched_win.open_service(manager, SCHED_SERVICE_NAME,
                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            rc = 0;
        goto done;
    }
    {
        SERVICE_STATUS_PROCESS status;
        DWORD needed = 0;
        if (!sched_win.query_status_ex(service, SC_STATUS_PROCESS_INFO, (LPBYTE)&status,
                                       sizeof status, &needed))
            goto done;
        if (status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId == 0) {
            rc = 0;
            goto done;
        }
        // A configuration that needs more than the buffer fails here.
        if (!sched_win.query_config(service, &config_buf.config, sizeof config_buf, &needed))
            goto done;
        const char *line = config_buf.config.lpBinaryPathName;
        snprintf(cmdline, SCHED_CMDLINE_MAX, "%s", line ? line : "");
        *pid = status.dwProcessId;
        rc = 1;
    }
done:
    close_both(service, manager);
    return rc;
}

int sched_service_busy(const updater_config *cfg, unsigned long *pid, char *program,
                       size_t program_size, char *err, size_t errlen)
{
    if (pid)
        *pid = 0;
    if (program && program_size)
        program[0] = '\0';
    char cmdline[SCHED_CMDLINE_MAX], path[SCHED_PROGRAM_MAX];
    unsigned long running_pid = 0;
    int state = service_state(&running_pid, cmdline);
    if (state < 0) {
        update_error(err, errlen, "cannot ask the service control manager about %s",
                     SCHED_SERVICE_NAME);
        return -1;
    }
    if (state == 0)
        return 0;
    sched_cmdline_program(cmdline, path);
    if (pid)
        *pid = running_pid;
    if (program && program_size)
        snprintf(program, program_size, "%s", path);

    // Only the scheduler itself knows whether a job runs: ask it with the
    // settings and queue its service runs with.
    char config[SCHED_OPTION_VALUE], queue[SCHED_OPTION_VALUE];
    cmdline_option_value(cmdline, "--config", config);
    cmdline_option_value(cmdline, "--queue", queue);
    schedcmd_args args;
    schedcmd_args_list(&args, path, config, queue);
    proc_result res;
    int ran = proc_run(args.argv, NULL, SCHEDCMD_LIST_TIMEOUT, list_buf, sizeof list_buf, &res);
    if (ran == 0 && !res.timed_out && res.exit_code == 0)
        return sched_list_has_running(list_buf);
    text_flatten(list_buf);
    update_error(err, errlen, "cannot query orv_sched's job state: %s",
                 list_buf[0] ? list_buf : "no output");
    return -1;
}

int sched_service_stop(const updater_config *cfg, unsigned long pid, char *err, size_t errlen)
{
    int rc = -1;
    SC_HANDLE service = NULL;
    SC_HANDLE manager = sched_win.open_manager(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager)
        service = sched_win.open_service(manager, SCHED_SERVICE_NAME,
                                         SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) {
        update_error(err, errlen, "cannot open the service %s (error %lu)", SCHED_SERVICE_NAME,
                     (unsigned long)GetLastError());
        close_both(service, manager);
        return -1;
    }
    log_write(LOG_INFO, "stopping the service %s for the duration of the install/update (it is idle)",
              SCHED_SERVICE_NAME);
    SERVICE_STATUS status;
    if (!sched_win.control(service, SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) {
            update_error(err, errlen, "cannot stop the service %s (error %lu)", SCHED_SERVICE_NAME,
                         (unsigned long)error);
            close_both(service, manager);
            return -1;
        }
    }
    for (int i = 0; i < SCHED_STOP_POLLS; i++) {
        if (sched_win.query_status(service, &status) && status.dwCurrentState == SERVICE_STOPPED) {
            rc = 0;
            break;
        }
        sched_win.sleep(SCHED_STOP_POLL_MS);
    }
    if (rc != 0) {
        update_error(err, errlen, "the service %s did not stop within 30 s (a job may have started)",
                     SCHED_SERVICE_NAME);
        // The stop request stands: the service stops once its job ends, and
        // nobody starts it again then. Say so where an administrator looks.
        log_write(LOG_WARN,
                  "the service %s is still stopping; once it has stopped, start it by hand (sc start %s)",
                  SCHED_SERVICE_NAME, SCHED_SERVICE_NAME);
    }
    close_both(service, manager);
    return rc;
}

void sched_service_start(void)
{
    int failed = 1;
    DWORD error = 0;
    SC_HANDLE service = NULL;
    SC_HANDLE manager = sched_win.open_manager(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager)
        service = sched_win.open_service(manager, SCHED_SERVICE_NAME, SERVICE_START);
    if (!service) {
        error = GetLastError();
    } else if (sched_win.start(service, 0, NULL)) {
        failed = 0;
    } else {
        error = GetLastError();
        failed = error != ERROR_SERVICE_ALREADY_RUNNING;
    }
    close_both(service, manager);
    if (failed)
        log_write(LOG_WARN, "could not start the service %s again (error %lu): start it by hand (sc start %s)",
                  SCHED_SERVICE_NAME, (unsigned long)error, SCHED_SERVICE_NAME);
}
