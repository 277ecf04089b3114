// The updater's settings file updater.conf: the settings record, its
// defaults, the reader with its checks and messages, the writer, the editing
// of one key, and the trusted public keys.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "orv_attr.h"

enum {
    UPDCONF_MAX_KEYS = 8,      // trusted public keys held at most
    UPDCONF_KEY_BYTES = 32,    // one raw Ed25519 public key
    UPDCONF_LINE_MAX = 2048,   // line buffer: a line holds at most 2047 bytes with its line feed
    UPDCONF_TEXT_MAX = 16384,  // room for the whole written file (the longest record needs < 11 KiB)
    UPDCONF_PATH_MAX = 600,    // buffer of updconf_default_path
};

// The settings of the update engine, as read from updater.conf. Plain data:
// copying it copies everything. Every text field is NUL-terminated.
struct updater_config {
    char url[1024];             // base URL of the update server; empty: none known
    char channel[64];           // release channel
    char ca_file[512];          // PEM file of the only server certificates accepted; empty: system checks
    char client_cert[512];      // PEM file of the client certificate and its chain; empty: none
    char client_key[512];       // PEM private key of client_cert; empty: none
    char proxy[256];            // named proxy for HTTPS; empty: the system's proxy settings
    char restart_command[512];  // kept for the product's updater program, never run here
    char state_dir[512];        // state file, lock file and downloads
    char install_dir[512];      // installation directory
    char link_dir[512];         // kept for the product's updater program, never used here
    uint8_t public_keys[UPDCONF_MAX_KEYS][UPDCONF_KEY_BYTES];  // trusted keys in the order added
    uint64_t key_count;            // keys held in public_keys, 0 to 8
    int32_t dependencies;          // 0 "auto", 1 "system", 2 "bundled"
    int32_t allow_package_install; // 1: the updater may install system packages
    int32_t allow_major_upgrade;   // 1: a new major version may be installed unasked
    uint32_t timeout;              // seconds per HTTPS operation, 1 to 3600
    uint32_t target_restart_wait;  // seconds, 0 to 86400, kept for the updater program
    char config_path[512];         // the path last read from, cut to 511 characters
};

// Fills the whole record with the defaults: channel "alpha", the two built-in
// trusted keys, the state and installation directories, time-out 30 and
// restart wait 1800; everything else empty or 0.
void updconf_defaults(updater_config *cfg);
// Overlays the settings of the file at path on cfg. 0 on success, also when
// the file is missing and required is 0. -1 with the message in err when the
// file cannot be read (required set) or a line is faulty: the settings of the
// lines before it stay in cfg, so a caller that must not use a faulty file
// reads into a copy. config_path is set in every case.
int updconf_read(const char *path, int required, updater_config *cfg, char *err, size_t errlen);
// Writes the whole file anew from cfg, through "<path>.tmp" moved over path,
// creating the directory of path first. Every value reads back unchanged: it is
// quoted where needed, and a value that cannot stand on one line is refused.
// 0, or -1 with the message in err; the old file is untouched on failure.
int updconf_write(const char *path, const updater_config *cfg, char *err, size_t errlen);
// Rewrites the first "key = ..." line of the existing file at path, or appends
// one, with value quoted where needed. 0, or -1 with the message in err; the
// old file is untouched on failure.
int updconf_set_value(const char *path, const char *key, const char *value, char *err,
                      size_t errlen);
// Adds the base64 key text to cfg: 0 when the key is held afterwards (added or
// there already), -1 when the text is not base64 of exactly 32 bytes or 8 other
// keys are held. Writes no message.
int updconf_add_public_key(updater_config *cfg, const char *b64);
// The default release channel, "alpha" (a constant text).
const char *updconf_default_channel(void);
// "<data directory>\updater.conf" in a process-wide 600-byte buffer that every
// call rewrites; a caller that keeps the text copies it.
const char *updconf_default_path(void);
// Boolean words: "yes", "true", "no", "false" in any letter case, "1" and "0"
// exactly. 0 with *out set to 1 or 0; -1 for any other text, *out untouched.
int config_parse_bool(const char *text, int *out);

// ---- pure formatting, shared with the file-writing part ---------------------

// Formats the message into err (when err is not null and errlen not 0); always -1.
int updconf_fail(char *err, size_t errlen, const char *fmt, ...) ORV_PRINTF(3, 4);

// Formats the line "key = value\n" into out so that a reader gets key and value
// back unchanged: the value goes in single quotes when it needs quotes (a
// comment character where the reader would see a comment, a leading quote, or
// white space at either end), in double quotes with every backslash and double
// quote escaped when it holds a single quote itself. Returns the line's length;
// -1 when the value holds a carriage return or line feed or the line would
// exceed 2047 bytes; -2 when the key is empty, holds white space or "=", or
// starts with "#" or ";".
int updconf_format_line(const char *key, const char *value, char out[UPDCONF_LINE_MAX]);
// Formats the whole file for cfg into out (cap bytes, UPDCONF_TEXT_MAX always
// suffices). Returns the length, or -1 with *bad_key naming the setting whose
// value cannot be written (or out too small, *bad_key then null).
int updconf_format(const updater_config *cfg, char *out, size_t cap, const char **bad_key);
// Copies the settings text from in (positioned after any byte-order mark) to
// out, putting line in place of the first line that sets key, or appending it
// (after a line feed when the last line lacks one). Bytes are copied exactly.
// 0, or -1 when reading or writing fails.
int updconf_copy_replacing(FILE *in, FILE *out, const char *key, const char *line);
