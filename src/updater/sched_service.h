// Coordination with the product's job scheduler, which runs as the Windows
// service "orvantis-sched": the engine changes nothing while the scheduler
// runs a job, and stops an idle scheduler service for the duration of an
// installation. Whether a job runs is the scheduler program's own answer to
// "list", run with the settings of the service's command line.
//
// The reading of that answer and of the service's command line is plain text
// work (sched_service.cpp, in both builds); the service control manager is asked in
// sched_service_win.cpp.
#pragma once
#include <stddef.h>

#include "updconf.h"

// The scheduler's Windows service.
#define SCHED_SERVICE_NAME "orvantis-sched"

enum {
    SCHED_CONFIG_BUF = 8192,      // the service's configuration (QueryServiceConfigA)
    SCHED_LIST_BUF = 16384,       // output kept of "list"
    SCHED_CMDLINE_MAX = 4096,     // the service's command line, its NUL included
    SCHED_PROGRAM_MAX = 520,      // the service program's path, its NUL included
    SCHED_OPTION_VALUE = 1024,    // an option's value from a command line, its NUL included
    SCHED_FIELD1 = 200,           // widths of the three fields of a "list" line,
    SCHED_FIELD2 = 64,            // each with its NUL
    SCHED_FIELD3 = 32,
    SCHED_STOP_POLLS = 60,        // status queries after a stop request ...
    SCHED_STOP_POLL_MS = 500,     // ... this far apart: 30 s in all
};

// ---- reading texts (both builds) --------------------------------------------

// Reads up to three blank-separated fields of one "list" line into f1, f2
// and f3 (at most 199, 63 and 31 characters). A field is always one whole
// word of the line: a longer word is cut at the field's width and the rest
// of it is skipped, so an over-long job name never shifts the job's state
// into another field. Returns the number of fields read (0 for an empty line).
int sched_list_scan(const char *line, char f1[SCHED_FIELD1], char f2[SCHED_FIELD2],
                    char f3[SCHED_FIELD3]);
// 1 when the "list" output in text shows a running job: a line after the
// first (a header, never read) with three fields whose third is exactly
// "RUNNING"; else 0. The text is cut into lines in place (each line feed
// becomes a NUL).
int sched_list_has_running(char *text);
// Finds the value that follows option in a Windows command line: tokens are
// separated by blanks and tabs; a token that begins with a double quote runs
// to the next double quote (quotes dropped, no escapes); every token is cut
// at 1023 characters. value (SCHED_OPTION_VALUE bytes) is the token after the
// first token equal to option that has one, or empty.
void cmdline_option_value(const char *cmdline, const char *option, char value[SCHED_OPTION_VALUE]);
// The program path of a service command line into path: the text inside the
// leading double quotes when the line begins with one (to the end when the
// closing quote is missing), else the text before the first blank; cut at
// SCHED_PROGRAM_MAX - 1 characters.
void sched_cmdline_program(const char *cmdline, char path[SCHED_PROGRAM_MAX]);

// ---- the service (Windows build) --------------------------------------------

// Asks whether the scheduler runs a job. pid (may be null) is set to 0 and,
// when the service runs, to its process id; program (may be null; size
// bytes) is emptied and, when the service runs, receives its program's path.
// Returns 1 a job runs; 0 not busy (no such service, stopped, no process, or
// running without a running job); -1 with a sentence in err when the state
// cannot be told. Callers treat -1 like 1. The settings are not read.
int sched_service_busy(const updater_config *cfg, unsigned long *pid, char *program,
                       size_t program_size, char *err, size_t errlen);
// Stops the service and waits up to 30 s for it to stop. 0 stopped, -1 with
// a sentence in err. The settings and pid are not read.
int sched_service_stop(const updater_config *cfg, unsigned long pid, char *err, size_t errlen);
// Starts the service again; a failure is logged as a warning, never returned.
void sched_service_start(void);
