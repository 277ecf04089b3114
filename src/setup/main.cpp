// Process entry of orv_setup: console, log, the requests that need no context
// ("--version", "--selftest", "--help"), then the run's modes.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>

#include "console.h"
#include "libtest.h"
#include "log.h"
#include "opt.h"
#include "setup_connect.h"
#include "setup_context.h"
#include "setup_flow.h"
#include "setup_options.h"
#include "setup_start.h"
#include "setup_text.h"
#include "wizard_win.h"

static const char kProgram[] = "orv_setup";

// Log lines end in a lone line feed and redirected output must carry the
// unchanged UTF-8 bytes, so no stream translates line ends.
static void streams_binary(void)
{
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
}

// A GUI-subsystem program started from a console has no usable standard
// output: borrow the parent's console when there is one. Redirected streams
// (a file or a pipe) are left as they are.
static void console_attach(void)
{
    if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    freopen("CONOUT$", "w", stdout);
    freopen("CONOUT$", "w", stderr);
    freopen("CONIN$", "r", stdin);
}

// The silent mode: console callbacks and log capture, the install or the
// uninstall flow, then the report, the error line and the warning summary.
// Returns the exit code: 0, 1 or 75.
static int run_silent(setup_context *ctx)
{
    console_install_callbacks(ctx);
    console_capture_log();
    char err[SETUP_ERR_SIZE] = "";
    int rc = ctx->mode == SETUP_MODE_UNINSTALL ? setup_uninstall_silent(ctx, err, sizeof err)
                                               : setup_install_silent(ctx, err, sizeof err);
    if (ctx->report[0])
        console_write(stdout, ctx->report);
    fflush(stdout);
    if (rc != 0)
        setup_print_error(err[0] ? err : "Die Aktion ist fehlgeschlagen");
    console_print_warnings();
    fflush(stdout);
    if (rc == 0)
        return 0;
    return rc == 75 ? 75 : 1;
}

int main(int argc, char **argv)
{
    streams_binary();
    console_attach();
    streams_binary();
    // A redirected standard error is buffered by the runtime; with both
    // streams going into one log file, the error line would land after the
    // warning summary written later to standard output.
    setvbuf(stderr, nullptr, _IONBF, 0);

    log_init(kProgram, LOG_INFO);
    int rc = opt_version_selftest(argc, argv, kProgram);
    if (rc >= 0)
        return rc;
    syslog_setup(argc, argv, kProgram);

    if (opt_present(argc, argv, "--help", "-h")) {
        setup_printf("%s %s (build %s)\n\n", kProgram, ORV_VERSION, ORV_BUILD);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
        setup_printf(setup_usage_text());
#pragma GCC diagnostic pop
        fflush(stdout);
        return 0;
    }

    // The run's one context; the process ends with it, so it is never freed.
    setup_context *ctx = (setup_context *)calloc(1, sizeof *ctx);
    if (!ctx)
        return 1;
    setup_options_defaults(ctx);
    setup_start_settings(ctx, argc, argv);
    char err[SETUP_ERR_SIZE] = "";
    if (setup_start_choices(ctx, argc, argv, err, sizeof err) != 0) {
        setup_print_error(err);
        return 2;
    }

    if (ctx->mode == SETUP_MODE_LIST) {
        // No administrator check, callbacks or log capture here: the engine's
        // log lines go to standard error as they are.
        if (setup_connect(ctx, err, sizeof err) != 0) {
            setup_print_error(err);
            return 1;
        }
        setup_print_components(ctx);
        return 0;
    }
    if (!ctx->silent)
        return wizard_run(ctx);
    return run_silent(ctx);
}
