// Console front end of the silent mode: the one routine through which the
// setup's German texts reach standard output and standard error.
#pragma once
#include <stdio.h>

// Writes the NUL-terminated UTF-8 text to stream (standard output or standard
// error). A console gets the text as UTF-16 through WriteConsoleW (a text that
// is not valid UTF-8 is read in the ANSI code page instead); a file or a pipe
// gets the bytes unchanged. Nothing is reported: a failed console write is
// ignored.
void console_write(FILE *stream, const char *text);
