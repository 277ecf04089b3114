// Where the product keeps its settings and logs, who may read them, and the
// bounded formatters that every path of the installation is built with.
#pragma once
#include <stddef.h>

#include "orv_attr.h"

// Buffer sizes of the path formatters.
enum {
    PATH_DIR_MAX = 1300,  // a directory path (path_format's usual buffer)
    PATH_1400 = 1400,     // listing patterns, undo targets, version directories
    PATH_1500 = 1500,     // names of moved-aside files
    PATH_1700 = 1700,     // a file's path inside a directory
};

// "<ProgramData>\orvantis", or "C:\ProgramData\orvantis" when ProgramData is
// unset or empty. Worked out on the first call and kept in a process-wide
// 400-byte buffer for the life of the process.
const char *paths_data_dir(void);
// Checks dir and "<dir>\logs" and, where needed, restricts them to SYSTEM and
// Administrators (creating them when missing). 0 when both were protected
// already, 1 when at least one was protected now, -1 when either failed; the
// logs directory is not touched when dir itself fails.
int paths_check_data_acl(const char *dir);

// Formats a path into buf (size bytes): 0 when the whole text fits; -1 with
// buf emptied (when size is not 0) when it does not, since a path cut short
// names another file.
int path_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// path_format into a buffer of PATH_1400 bytes.
int path_format_1400(char buf[PATH_1400], const char *fmt, ...) ORV_PRINTF(2, 3);
// path_format into a buffer of PATH_1500 bytes.
int path_format_1500(char buf[PATH_1500], const char *fmt, ...) ORV_PRINTF(2, 3);
// path_format into a buffer of PATH_1700 bytes.
int path_format_1700(char buf[PATH_1700], const char *fmt, ...) ORV_PRINTF(2, 3);
