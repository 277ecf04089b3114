// Building a Windows command line from an argument vector. Windows hands a
// program one text, which its runtime splits again by the CommandLineToArgvW
// rules; each argument is quoted so that the split gives it back unchanged.
#pragma once
#include <stddef.h>

// Appends arg to the NUL-terminated command line in line (a buffer of cap
// bytes): one blank first when the line is not empty, then the argument,
// bare when it is not empty and holds no blank, tab, line feed, vertical tab
// or double quote, else in double quotes with its backslashes doubled where
// a quote follows them. Returns 0, or -1 when the argument with its blank and
// the terminating NUL does not fit; the line may then hold a part of it, so a
// caller that gets -1 throws the line away.
int proc_cmdline_append_arg(char *line, size_t cap, const char *arg);
