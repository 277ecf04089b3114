// The job scheduler's side of an installation: its settings file
// orv_sched.cfg (created only when missing), its HTTPS API and certificate
// through the scheduler program, the console release, the inbound firewall
// rule of orv_sched_net, the Windows service "orvantis-sched", and the two
// scheduled tasks of the setup (the daily update and the boot resume). The
// install flow decides which of them are wanted; each routine does one.
//
// The texts (the settings file, the report lines of the scheduler's answers,
// the release setting) are worked out in sched_setup.cpp, in both builds;
// the programs, the service and the tasks are in sched_setup_win.cpp.
// In test mode (ctx->root set) no task, service or firewall rule is touched.
#pragma once
#include <stddef.h>
#include <stdio.h>

#include "setup_context.h"

#define SCHED_SETUP_SERVICE "orvantis-sched"
#define SCHED_SETUP_DISPLAY "orvantis Scheduler"
#define SCHED_SETUP_FIREWALL_RULE "orvantis scheduler API (orv_sched_net)"
#define SCHED_SETUP_RESUME_TASK "orvantis resume"

enum {
    SCHED_SETUP_PATH = 700,        // a program path, the data directory, the settings file
    SCHED_SETUP_RULE_ARG = 160,    // "name=..." of the firewall rule
    SCHED_SETUP_PROGRAM_ARG = 800, // "program=..." of the firewall rule
    SCHED_SETUP_ERROR_TEXT = 400,  // a Windows error text
    SCHED_SETUP_BUSY_MSG = 256,    // the message of the job question
    SCHED_SETUP_RELEASE_LINE = 600, // a line of orv_sched.cfg read for the release
    SCHED_SETUP_STOP_QUERIES = 121, // status queries after a stop request ...
    SCHED_SETUP_STOP_POLL_MS = 250, // ... this far apart: about 30 s
    SCHED_SETUP_RUN_TIMEOUT = 120, // seconds for a run of netsh
    SCHED_SETUP_RUN_OUTPUT = 1024, // output kept of a run of netsh
    SCHED_SETUP_RELEASE_TAIL = 5,  // entries of the api-release tail, its null included
    SCHED_SETUP_QUOTED = 300       // bytes of a failed command's output quoted in a report line
};

// ---- texts (both builds) ----------------------------------------------------------

// The bytes of a new orv_sched.cfg: two lines without the API, six with it,
// eight when the management console may also write (console_writes); every
// line ends with CR LF.
const char *sched_cfg_text(int sched_api, int console_writes);
// 1 when the management console may edit targets and profiles of this
// computer: the API on, the console link on for a named user, not in test
// mode, and the console installed (console_installed).
int sched_console_writes(const setup_context *ctx, int console_installed);
// The report line "Job-Planer: neue Konfiguration %s (noch keine Jobs%s)" for a
// settings file just written at path.
void sched_report_new_config(setup_context *ctx, const char *path, int sched_api,
                             int console_writes);
// The report lines of an "api-enable" run: a warning with the output (or a
// fixed sentence without output) when failed, else what the answer says
// about the API and about console writes.
void sched_enable_report(setup_context *ctx, int failed, const char *output);
// The report line of an "api-init" run: a warning when failed, else the
// certificate's fingerprint when the answer names one.
void sched_init_report(setup_context *ctx, int failed, const char *output);
// The arguments that follow the scheduler program for the console release:
// tail gets "api-release", "admin", "read" or "off", "--config", config_file
// and a null (SCHED_SETUP_RELEASE_TAIL entries); returns 4. Returns 0 and
// leaves tail alone when the release stays as it is (console_release
// negative) or in test mode.
int sched_release_args(setup_context *ctx, const char *config_file, const char **tail);
// Appends the outcome line of "api-release"; failed is non-zero when the run
// did not start, timed out or ended with a non-zero code.
void sched_release_report(setup_context *ctx, int failed, const char *output);
// The release setting of the API section of an orv_sched.cfg read from f:
// 2 for "release=admin", 1 for "release=read", -1 for any other value or
// none; the last such line wins.
int sched_release_from_file(FILE *f);
// Copies output into out (size bytes, cut) with every CR and LF turned into a
// blank, and cuts it at SCHED_SETUP_QUOTED bytes without splitting a UTF-8
// character; fallback stands in for an empty or missing output.
void sched_output_line(const char *output, const char *fallback, char *out, size_t size);

// ---- Windows ------------------------------------------------------------------------

// Sets up the scheduler: settings file, API, certificate, release, firewall
// rule, and the service created or reconfigured and (re)started unless a job
// runs. 0, or -1 with one German sentence in err when the scheduler program
// is missing, the data directory or the settings file cannot be made, or the
// service cannot be opened, created, changed or started. In test mode it
// stops after the settings file and "api-enable" with 0.
int win_sched_setup(setup_context *ctx, char *err, size_t errlen);
// Test mode: nothing; else win_sched_service_remove.
void win_sched_remove(setup_context *ctx);
// Stops and deletes the service (a service still ending a job is deleted by
// Windows once it stops), then removes the firewall rule; failures ignored.
void win_sched_service_remove(setup_context *ctx);
// Deletes the firewall rule and, when add is non-zero, adds it again for
// program, so there is never more than one; the results of netsh are ignored.
void win_firewall_rule(const char *program, int add);
// Registers the daily update task for the installed orv_updater with this
// run's settings file. -1 with a sentence when orv_updater is not installed
// (also in test mode); 0 in test mode; else the task routine's result.
int win_update_task_create(setup_context *ctx, char *err, size_t errlen);
// Test mode -1; else 1 the daily task exists, 0 absent, -1 cannot tell.
int win_update_task_exists(setup_context *ctx);
// Deletes the daily task unless it is known to be absent. Test mode 0.
int win_update_task_delete(setup_context *ctx, char *err, size_t errlen);
// Registers the boot task that runs orv_agent with "--resume-pending" two
// minutes after every boot. -1 with a sentence when orv_agent is not
// installed (also in test mode); 0 in test mode; else the task routine's result.
int win_resume_task_create(setup_context *ctx, char *err, size_t errlen);
// Test mode: nothing; else win_resume_task_delete.
void win_resume_task_remove(setup_context *ctx);
// Deletes the boot task; its callers ignore the result.
int win_resume_task_delete(void);
// The release setting of the data directory's orv_sched.cfg (see
// sched_release_from_file); -1 when the file cannot be opened.
int sched_read_release(setup_context *ctx);
