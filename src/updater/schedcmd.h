// The commands of the product's job scheduler program orv_sched, which the
// engine and the setup run through proc_run with the installed program's
// path, no environment changes and a time limit: the argument vectors they
// pass, and the reading of the answers they rely on. Every command takes the
// scheduler's settings file after "--config"; exit code 0 means success,
// anything else (or no start, or the time limit) failure.
//
// Plain text work: the argument vectors point into the caller's texts, and
// nothing here starts a program.
#pragma once
#include <stddef.h>

enum {
    SCHEDCMD_ARGV_MAX = 10,          // entries of an argument vector, its closing null included
    SCHEDCMD_LIST_TIMEOUT = 30,      // seconds for "list"
    SCHEDCMD_LIST_OUTPUT = 16384,    // output kept of "list"
    SCHEDCMD_API_TIMEOUT = 120,      // seconds for every "api-..." command
    SCHEDCMD_SETUP_OUTPUT = 1024,    // output kept of api-enable, api-init and api-release
    SCHEDCMD_CONSOLE_OUTPUT = 4096,  // output kept of api-info and api-token
    SCHEDCMD_SERVICE_CMDLINE = 1600, // the service's command line, its NUL included
    SCHEDCMD_FIELD_MAX = 200,        // a field value of "api-info", its NUL included
    SCHEDCMD_PORT_MAX = 16,          // the API's port, its NUL included
    SCHEDCMD_FINGERPRINT_LEN = 64,   // hexadecimal digits of the API certificate's SHA-256
    SCHEDCMD_SECRET_MAX = 200,       // a token's secret, its NUL included
};

// Answers of "api-enable" (schedcmd_read_enable), as bits.
enum {
    SCHEDCMD_API_ENABLED = 1,        // "API enabled"
    SCHEDCMD_API_KEPT_DISABLED = 2,  // "kept disabled" (and not "API enabled")
    SCHEDCMD_WRITES_ALLOWED = 4,     // "writes allowed"
    SCHEDCMD_WRITES_KEPT_OFF = 8,    // "writes kept off" (and not "writes allowed")
};

// One argument vector for proc_run.
struct schedcmd_args {
    const char *argv[SCHEDCMD_ARGV_MAX];  // the program, its arguments, then null
    int argc;                             // entries before the null
};

// What "api-info" says about the API, as the console link needs it.
struct schedcmd_api_info {
    int enabled;                                   // 1 when the field "enabled" is exactly "yes"
    char port[SCHEDCMD_PORT_MAX];                  // text after the last ":" of "listen"; empty: none
    char fingerprint[SCHEDCMD_FINGERPRINT_LEN + 1]; // 64 lower-case hex digits; empty: none or faulty
};

// ---- what is sent -----------------------------------------------------------

// program "list", then "--config" config and "--queue" queue, each pair only
// when its value is not empty (null counts as empty). 30 s, 16384 bytes.
void schedcmd_args_list(schedcmd_args *a, const char *program, const char *config,
                        const char *queue);
// The service's command line "\"%s\" service --config \"%s\"" (program,
// settings file) into buf (SCHEDCMD_SERVICE_CMDLINE bytes). 0, or -1 with buf
// emptied when it does not fit: a cut command line would name another file.
int schedcmd_service_cmdline(char buf[SCHEDCMD_SERVICE_CMDLINE], const char *program,
                             const char *config);
// program "api-enable" "--config" config, then "--agent-config-write" when
// console_writes is not 0. 120 s, 1024 bytes.
void schedcmd_args_api_enable(schedcmd_args *a, const char *program, const char *config,
                              int console_writes);
// program "api-init" "--config" config. 120 s, 1024 bytes.
void schedcmd_args_api_init(schedcmd_args *a, const char *program, const char *config);
// program "api-release" and "admin" (level 2), "read" (1) or "off" (0), then
// "--config" config. 0, or -1 for any other level (a left empty). 120 s, 1024 bytes.
int schedcmd_args_api_release(schedcmd_args *a, const char *program, int level,
                              const char *config);
// program "api-info" "--config" config. 120 s, 4096 bytes.
void schedcmd_args_api_info(schedcmd_args *a, const char *program, const char *config);
// program "api-token" "remove" name "--config" config. 120 s, 4096 bytes.
void schedcmd_args_token_remove(schedcmd_args *a, const char *program, const char *name,
                                const char *config);
// program "api-token" "add" name "--role" ("admin" when admin is not 0, else
// "read") "--config" config. 120 s, 4096 bytes.
void schedcmd_args_token_add(schedcmd_args *a, const char *program, const char *name, int admin,
                             const char *config);

// ---- what the answers must hold ---------------------------------------------

// The phrases of an "api-enable" answer as SCHEDCMD_API_* and
// SCHEDCMD_WRITES_* bits; of each pair only the first that occurs counts.
int schedcmd_read_enable(const char *output);
// The API certificate's fingerprint from an "api-init" answer: the text after
// "fingerprint: " up to the next CR or LF, into out (size bytes, cut with the
// snprintf rules). 0, or -1 with out emptied when the phrase is missing.
int schedcmd_read_init(const char *output, char *out, size_t size);
// 1 when an "api-release" answer says the release waits for the API
// ("API is disabled"), else 0.
int schedcmd_read_release_waits(const char *output);
// Reads the fields "enabled", "listen" and "fingerprint" of an "api-info"
// answer into info. The fingerprint loses every ":" and is lower-cased; its
// first 64 characters are taken and must all be hex digits, else it is left
// empty. A port of more than 15 characters is left empty as well.
void schedcmd_read_api_info(const char *output, schedcmd_api_info *info);
// The secret of a token that "api-token add" created for name: the rest of
// the line after "keep it secret): " must be name, ".", and the secret (up
// to CR, LF or the end, at most 199 bytes). 0 with the secret in secret
// (SCHEDCMD_SECRET_MAX bytes); -1 with secret emptied when the line is
// missing, names another token, or the secret is empty or too long.
int schedcmd_read_token_secret(const char *output, const char *name,
                               char secret[SCHEDCMD_SECRET_MAX]);
// The value of the first line of text (lines end at "\n") that begins with
// name immediately followed by ":": blanks after the colon are skipped and
// the value runs to the first CR or LF. 0 with the value in out (at least
// SCHEDCMD_FIELD_MAX bytes); -1 when no line matches or the value is longer
// than 199 bytes.
int text_field_value(const char *text, const char *name, char *out);
