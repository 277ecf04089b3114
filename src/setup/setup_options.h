// The setup context's defaults and the two sources of user choices: the
// command line and the answers file of `key = value` lines.
#pragma once
#include <stddef.h>

#include "orv_attr.h"
#include "setup_context.h"

enum {
    SETUP_OPTION_NAME_MAX = 63, // characters of an option name (up to "=")
    SETUP_ANSWERS_MAX_ENTRIES = 197 // an answers line is refused once its vector holds more
                                    // entries than this (the program name counts)
};

// Makes path absolute into out (size bytes): 0, or -1 when it cannot.
typedef int (*setup_fullpath_fn)(const char *path, char *out, size_t size);
// Converts the UTF-8 text utf8 into the program's ANSI code page into out
// (size bytes, at least strlen(utf8) + 1): 0; -1 when a character has no
// form in that code page (none is replaced by a look-alike); -2 when the
// conversion fails otherwise.
typedef int (*setup_to_ansi_fn)(const char *utf8, char *out, size_t size);

// The built-in update server's URL (a build setting).
const char *setup_builtin_url(void);

// Fills ctx with its defaults, this computer's host facts included; cannot fail.
void setup_options_defaults(setup_context *ctx);
// Every default of setup_options_defaults except the host facts, which stay
// zero: the record zeroed, the engine's defaults with the built-in URL, the
// default settings path and the non-zero defaults of the integration.
void setup_options_base_defaults(setup_context *ctx);

// Applies argv[1..argc-1] to ctx, then makes the named paths absolute and
// moves the default settings file below "--root". 0, or -1 with a German
// message in err (nothing written when err is null or errlen 0); it stops at
// the failing argument, and earlier arguments keep their effect.
int setup_parse_options(setup_context *ctx, int argc, char **argv, char *err, size_t errlen);
// setup_parse_options with the routine that makes paths absolute.
int setup_parse_options_with(setup_context *ctx, int argc, char **argv,
                             setup_fullpath_fn fullpath, char *err, size_t errlen);

// Reads the answers file at path and applies its lines, each an option
// without its leading dashes, with setup_parse_options. A file that is UTF-8
// (with or without a byte-order mark) and holds bytes above 0x7F is taken
// into the ANSI code page first, where paths and values live; a file that is
// not UTF-8 is read in the ANSI code page as it is. 0, or -1 with a German
// message in err: "%s, Zeile %d: Ein Zeichen lässt sich im Zeichensatz
// dieses Systems nicht darstellen" for a character that code page cannot
// hold; nothing of the file is applied beyond a faulty line.
int setup_read_answers(setup_context *ctx, const char *path, char *err, size_t errlen);
// setup_read_answers with the routine that makes paths absolute and the
// conversion into the ANSI code page (null: the bytes are taken as they are).
int setup_read_answers_with(setup_context *ctx, const char *path, setup_fullpath_fn fullpath,
                            setup_to_ansi_fn to_ansi, char *err, size_t errlen);

// Copies value into field (size bytes, NUL included). 0, or -1 with "Der Wert
// von %s ist zu lang" naming option when strlen(value) >= size; the field is
// then unchanged.
int setup_copy_option(char *field, size_t size, const char *value, const char *option,
                      char *err, size_t errlen);

// Formats a warning into 600 bytes and hands it to the context's message_fn
// at level 1. Returns 1 when a message_fn received it, 0 when none is set.
int setup_warn(setup_context *ctx, const char *format, ...) ORV_PRINTF(2, 3);
