// The unknown-option warner. It reports through the log, which lives on the
// Windows runtime, so this unit joins only the Windows build.
#include <string.h>

#include "log.h"
#include "opt.h"

// Options every program knows.
static const opt_row kBuiltinRows[] = {
    {"--help", "-h", 0},
    {"--version", nullptr, 0},
    {"--selftest", nullptr, 0},
    {nullptr, nullptr, 0},
};

// The log options, known once syslog_setup has run; nothing here reads them.
static const opt_row kLogRows[] = {
    {"--no-syslog", nullptr, 0},
    {"--no-log", nullptr, 0},
    {"--syslog", nullptr, 1},
    {"--log", nullptr, 1},
    {"--log-path", nullptr, 1},
    {nullptr, nullptr, 0},
};

#define WARN(...)                     \
    do {                              \
        log_write(LOG_WARN, __VA_ARGS__); \
        syslog_write(4, __VA_ARGS__); \
        warnings++;                   \
    } while (0)

int opt_warn_unknown(int argc, char **argv, const opt_row *table, int max_positional)
{
    int warnings = 0, positional = 0;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!a || strcmp(a, "--") == 0)
            break;
        if (a[0] != '-' || a[1] == '\0') {
            if (positional >= max_positional)
                WARN("unexpected argument '%.*s' ignored", (int)strlen(a), a);
            positional++;
            continue;
        }
        const char *value = nullptr;
        const opt_row *row = opt_table_find(table, a, &value);
        if (!row)
            row = opt_table_find(kBuiltinRows, a, &value);
        if (!row && syslog_options_enabled())
            row = opt_table_find(kLogRows, a, &value);
        if (row) {
            if (row->takes_value == 1 && !value) {
                if (i + 1 >= argc)
                    break;
                i++;
            }
            continue;
        }
        const char *eq = strchr(a, '=');
        if (eq) {
            WARN("unknown option '%.*s=...' ignored", (int)(eq - a), a);
        } else if (i + 1 < argc && argv[i + 1] && argv[i + 1][0] != '-') {
            WARN("unknown option '%.*s' ignored (with the value after it)", (int)strlen(a), a);
            i++;
        } else {
            WARN("unknown option '%.*s' ignored", (int)strlen(a), a);
        }
    }
    return warnings;
}
