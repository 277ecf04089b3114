// Option routines over a program's argument vector.
#pragma once
#include <stdint.h>

#include "orv_attr.h"

// One row of an option table; a table ends with a row whose name is null.
struct opt_row {
    const char *name;     // long form, e.g. "--help"
    const char *alias;    // a second form that must match exactly, or null
    int32_t takes_value;  // 1: takes a value (after "=" or as the next element)
};

// The first row that arg matches, or null. *value is the text after "=" for a
// returned row that got one inline, else null (also when nothing matches).
const opt_row *opt_table_find(const opt_row *table, const char *arg, const char **value);
// The value of an option ("--name=v", or the element after "--name" or the
// short name), the first occurrence deciding; def when absent or last.
const char *opt_value(int argc, char **argv, const char *long_name, const char *short_name,
                      const char *def);
// 1 when an element of argv[1..] equals either name exactly, else 0.
int opt_present(int argc, char **argv, const char *long_name, const char *short_name);
// Warns (log level 2) about unknown options and surplus positional arguments;
// returns the number of warnings.
int opt_warn_unknown(int argc, char **argv, const opt_row *table, int max_positional);
// Formats onto standard output; the formatter's result.
int out_printf(const char *fmt, ...) ORV_PRINTF(1, 2);
