// Start-up of a run: the settings file found by a pre-pass over the answers
// file and the command line, then the real pass over both, and the error line.
#pragma once
#include <stddef.h>

#include "setup_context.h"

enum {
    SETUP_ERR_SIZE = 600,      // error texts of the passes and the flows
    SETUP_WARNING_LINE = 700,  // the warning line about updater.conf
    SETUP_ERROR_TEXT = 700,    // the text of the error line, cut at 699 bytes
    SETUP_ERROR_LINE = 800     // the "Fehler: %s" line
};

// Reads the updater.conf that the answers file and the command line point at
// (found on a scratch context) into ctx's engine settings. A faulty file is
// not used at all: ctx keeps its defaults and standard error gets "Warnung:
// %s (die Datei wird nicht benutzt)" with the reader's message in German.
// Returns 0 when the file was read or is missing, -1 when it was faulty, 1
// when no scratch context could be allocated (nothing read, nothing printed).
int setup_start_settings(setup_context *ctx, int argc, char **argv);
// Applies the answers file named by "--answers" and then the command line to
// ctx. 0, or -1 with the German message of the first failure in err; after a
// failing answers file the command line is not parsed.
int setup_start_choices(setup_context *ctx, int argc, char **argv, char *err, size_t errlen);
// Prints "Fehler: %s" with text finished as a sentence on standard error.
void setup_print_error(const char *text);
// Prints the loaded catalog's components as a table on standard output: id,
// whether it can be installed here, whether it is installed by default
// ("immer" when required) and its title, one console_write per line.
void setup_print_components(setup_context *ctx);
