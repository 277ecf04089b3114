// Lookups of options in the argument vector and in option tables.
#include "opt.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

const opt_row *opt_table_find(const opt_row *table, const char *arg, const char **value)
{
    // Never leave the caller a value from an earlier, rejected row.
    if (value)
        *value = nullptr;
    if (!table || !arg)
        return nullptr;
    for (const opt_row *row = table; row->name; row++) {
        size_t n = strlen(row->name);
        if (strncmp(arg, row->name, n) == 0) {
            if (arg[n] == '\0')
                return row;
            if (arg[n] == '=') {
                if (row->takes_value == 1) {
                    if (value)
                        *value = arg + n + 1;
                    return row;
                }
                continue; // a flag given a value: the alias is not tried
            }
        }
        if (row->alias && strcmp(arg, row->alias) == 0)
            return row;
    }
    return nullptr;
}

const char *opt_value(int argc, char **argv, const char *long_name, const char *short_name,
                      const char *def)
{
    if (argc <= 1 || (!long_name && !short_name))
        return def;
    size_t n = long_name ? strlen(long_name) : 0;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!a)
            continue;
        int match = 0;
        if (long_name) {
            if (strncmp(a, long_name, n) == 0 && a[n] == '=')
                return a + n + 1;
            match = strcmp(a, long_name) == 0;
        }
        if (!match && short_name)
            match = strcmp(a, short_name) == 0;
        if (match)
            return i + 1 < argc ? argv[i + 1] : def;
    }
    return def;
}

int opt_present(int argc, char **argv, const char *long_name, const char *short_name)
{
    for (int i = 1; i < argc; i++) {
        if (!argv[i])
            continue;
        if ((long_name && strcmp(argv[i], long_name) == 0) ||
            (short_name && strcmp(argv[i], short_name) == 0))
            return 1;
    }
    return 0;
}

int out_printf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vprintf(fmt, ap);
    va_end(ap);
    return r;
}
