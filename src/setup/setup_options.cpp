// The command line and the answers file into the setup context: the option
// tables, their checks and messages, and the reader of the answers file.
#include "setup_options.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "conf.h"
#include "setup_report.h"
#include "setup_text.h"
#include "text.h"

#ifndef ORV_BUILTIN_URL
#error "ORV_BUILTIN_URL names the built-in update server (a build setting)"
#endif

const char *setup_builtin_url(void) { return ORV_BUILTIN_URL; }

void setup_options_base_defaults(setup_context *ctx)
{
    memset(ctx, 0, sizeof *ctx);
    updconf_defaults(&ctx->updater_config);
    setup_snprintf(ctx->updater_config.url, sizeof ctx->updater_config.url, "%s",
                   setup_builtin_url());
    setup_snprintf(ctx->config_path, sizeof ctx->config_path, "%s", updconf_default_path());
    ctx->client_test = 1;
    ctx->server_port = 9990;
    ctx->sched_api = 1;
    ctx->console_link = 1;
    ctx->default_jobs = 1;
    ctx->console_role_admin = 1;
    ctx->console_release = -1;
    ctx->updater_schedule = 1;
    ctx->update_task_state = -1;
    ctx->resume_task = 1;
    ctx->scheduler_service = 1;
    setup_snprintf(ctx->target_api_token, sizeof ctx->target_api_token, "%s", "target-konsole");
    setup_snprintf(ctx->server_storage, sizeof ctx->server_storage, "%s", "C:\\orvantis");
}

int setup_copy_option(char *field, size_t size, const char *value, const char *option,
                      char *err, size_t errlen)
{
    if (strlen(value) >= size) {
        setup_error(err, errlen, "Der Wert von %s ist zu lang", option);
        return -1;
    }
    memcpy(field, value, strlen(value) + 1);
    return 0;
}

int setup_warn(setup_context *ctx, const char *format, ...)
{
    if (!ctx->callbacks.message_fn)
        return 0;
    char text[600];
    va_list ap;
    va_start(ap, format);
    setup_vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    ctx->callbacks.message_fn(ctx->callbacks.callback_user, 1, text);
    return 1;
}

// ---- option tables ----------------------------------------------------------

// Where an option writes: accessors, since the context holds records with
// base classes, where offsets are not portable.
typedef int32_t *(*int_field_fn)(setup_context *ctx);
typedef char *(*text_field_fn)(setup_context *ctx);
#define INT(f) [](setup_context *c) -> int32_t * { return &c->f; }
#define TEXT(f) [](setup_context *c) -> char * { return c->f; }, sizeof(((setup_context *)0)->f)
#define NO_INT ((int_field_fn) nullptr)

// A flag sets up to two integer fields of the context.
struct flag_option {
    const char *name;
    int_field_fn field;  // the first field, or null for no effect
    int32_t value;       // what it becomes
    int_field_fn field2; // a second field, or null
    int32_t value2;      // what that becomes
};

static const flag_option kFlags[] = {
    {"--silent", INT(silent), 1, NO_INT, 0},
    {"/silent", INT(silent), 1, NO_INT, 0},
    {"--quiet", INT(silent), 1, NO_INT, 0},
    {"--yes", NO_INT, 0, NO_INT, 0},
    {"-y", NO_INT, 0, NO_INT, 0},
    {"--modify", INT(mode), SETUP_MODE_MODIFY, NO_INT, 0},
    {"--repair", INT(mode), SETUP_MODE_REPAIR, NO_INT, 0},
    {"--uninstall", INT(mode), SETUP_MODE_UNINSTALL, NO_INT, 0},
    {"--list-components", INT(mode), SETUP_MODE_LIST, NO_INT, 0},
    {"--purge", INT(purge), 1, NO_INT, 0},
    {"--no-updater-schedule", INT(updater_schedule), 0, NO_INT, 0},
    {"--no-resume-service", INT(resume_task), 0, NO_INT, 0},
    {"--no-scheduler-service", INT(scheduler_service), 0, NO_INT, 0},
    {"--enable-sched-api", INT(sched_api), 1, NO_INT, 0},
    {"--no-sched-api", INT(sched_api), 0, NO_INT, 0},
    {"--no-console-link", INT(console_link), 0, NO_INT, 0},
    {"--no-client-test", INT(client_test), 0, NO_INT, 0},
    {"--no-default-jobs", INT(default_jobs), 0, INT(configure_server), 1},
    {"--enable-target-api", INT(target_api), 1, INT(configure_server), 1},
    {"--configure-server", INT(configure_server), 1, NO_INT, 0},
    {"--configure-client", INT(configure_client), 1, NO_INT, 0},
    // Answered by main before the options are parsed.
    {"--help", NO_INT, 0, NO_INT, 0},
    {"-h", NO_INT, 0, NO_INT, 0},
    {"--version", NO_INT, 0, NO_INT, 0},
    {"--selftest", NO_INT, 0, NO_INT, 0},
    // The log's own options; the setup's log has no system-log target.
    {"--no-syslog", NO_INT, 0, NO_INT, 0},
    {"--no-log", NO_INT, 0, NO_INT, 0},
};

// What a value option does with its value.
enum value_kind {
    VALUE_COPY,            // copied into a text field, marks set afterwards
    VALUE_PUBLIC_KEY,      // one more trusted key
    VALUE_SERVER_PORT,     // 1 to 65535
    VALUE_API_TOKEN,       // a name of letters, digits, "_" and "-"
    VALUE_CONSOLE_ROLE,    // admin or read
    VALUE_CONSOLE_RELEASE, // read, admin or off
    VALUE_CONSUMED         // taken and not used here
};

struct value_option {
    const char *name;
    value_kind kind;
    text_field_fn field; // the text field (VALUE_COPY, VALUE_API_TOKEN), or null
    size_t size;         // its size, NUL included
    int_field_fn mark;   // an int32 field set to 1 after a good value, or null
    int_field_fn mark2;  // a second one, or null
};

#define NO_TEXT ((text_field_fn) nullptr), 0

static const value_option kValues[] = {
    {"--url", VALUE_COPY, TEXT(updater_config.url), INT(url_set), NO_INT},
    {"--channel", VALUE_COPY, TEXT(updater_config.channel), INT(channel_set), NO_INT},
    {"--ca-file", VALUE_COPY, TEXT(updater_config.ca_file), INT(ca_file_set), NO_INT},
    {"--public-key", VALUE_PUBLIC_KEY, NO_TEXT, INT(public_key_set), NO_INT},
    {"--config", VALUE_COPY, TEXT(config_path), NO_INT, NO_INT},
    {"--install-dir", VALUE_COPY, TEXT(updater_config.install_dir), NO_INT, NO_INT},
    {"--state-dir", VALUE_COPY, TEXT(updater_config.state_dir), NO_INT, NO_INT},
    {"--link-dir", VALUE_COPY, TEXT(updater_config.link_dir), NO_INT, NO_INT},
    {"--root", VALUE_COPY, TEXT(root), NO_INT, NO_INT},
    {"--preset", VALUE_COPY, TEXT(preset), NO_INT, NO_INT},
    {"--components", VALUE_COPY, TEXT(component_list), NO_INT, NO_INT},
    {"--to", VALUE_COPY, TEXT(target_version), NO_INT, NO_INT},
    {"--answers", VALUE_CONSUMED, NO_TEXT, NO_INT, NO_INT},
    {"--client-server", VALUE_COPY, TEXT(client_server), INT(configure_client), NO_INT},
    {"--client-dir", VALUE_COPY, TEXT(client_dir), INT(configure_client), NO_INT},
    {"--client-cert", VALUE_COPY, TEXT(client_server_cert), INT(configure_client), NO_INT},
    {"--client-key", VALUE_COPY, TEXT(client_api_key), INT(configure_client), NO_INT},
    {"--client-key-file", VALUE_COPY, TEXT(client_api_key_file), INT(configure_client), NO_INT},
    {"--server-storage", VALUE_COPY, TEXT(server_storage), INT(configure_server), NO_INT},
    {"--server-cn", VALUE_COPY, TEXT(server_cn), INT(configure_server), NO_INT},
    {"--server-port", VALUE_SERVER_PORT, NO_TEXT, INT(configure_server), NO_INT},
    {"--server-dirs", VALUE_COPY, TEXT(server_dirs), INT(configure_server), NO_INT},
    {"--target-api-token", VALUE_API_TOKEN, TEXT(target_api_token), INT(target_api),
     INT(configure_server)},
    {"--proxy", VALUE_COPY, TEXT(updater_config.proxy), NO_INT, NO_INT},
    {"--console-user", VALUE_COPY, TEXT(console_user), NO_INT, NO_INT},
    {"--console-role", VALUE_CONSOLE_ROLE, NO_TEXT, NO_INT, NO_INT},
    {"--console-release", VALUE_CONSOLE_RELEASE, NO_TEXT, NO_INT, NO_INT},
    {"--syslog", VALUE_CONSUMED, NO_TEXT, NO_INT, NO_INT},
    {"--log", VALUE_CONSUMED, NO_TEXT, NO_INT, NO_INT},
    {"--log-path", VALUE_CONSUMED, NO_TEXT, NO_INT, NO_INT},
};

static void apply_flag(setup_context *ctx, const flag_option *f)
{
    if (f->field)
        *f->field(ctx) = f->value;
    if (f->field2)
        *f->field2(ctx) = f->value2;
}

// "1" to "65535" in decimal digits. A value that is not wholly a number is
// refused rather than read up to its first stray character.
static int parse_port(const char *value, int32_t *port)
{
    if (!isdigit((unsigned char)value[0]))
        return -1;
    char *end;
    unsigned long v = strtoul(value, &end, 10);
    if (*end || v < 1 || v > 65535)
        return -1;
    *port = (int32_t)v;
    return 0;
}

static int token_name_ok(const char *value)
{
    size_t n = strlen(value);
    if (n == 0 || n > 64)
        return 0;
    for (const char *p = value; *p; p++)
        if (!isalnum((unsigned char)*p) && *p != '_' && *p != '-')
            return 0;
    return 1;
}

// The settings file that "--root" puts below the root: the root followed by
// the default path without its drive. 0, or -1 when it does not fit out.
static int root_config_path(const char *root, char *out, size_t size)
{
    const char *def = updconf_default_path();
    if (def[0] && def[1] == ':')
        def += 2;
    int n = setup_snprintf(out, size, "%s%s", root, def);
    return n >= 0 && (size_t)n < size ? 0 : -1;
}

static int apply_value(setup_context *ctx, const value_option *o, const char *value, char *err,
                       size_t errlen)
{
    switch (o->kind) {
    case VALUE_COPY:
        if (o->field(ctx) == ctx->root && ctx->root[0]) {
            // A settings path that an earlier "--root" (from the answers file)
            // moved below its root follows a later root: the command line wins.
            char moved[SETUP_CONFIG_PATH_SIZE];
            if (root_config_path(ctx->root, moved, sizeof moved) == 0 &&
                strcmp(moved, ctx->config_path) == 0 && strlen(value) < sizeof ctx->root)
                setup_snprintf(ctx->config_path, sizeof ctx->config_path, "%s",
                               updconf_default_path());
        }
        if (setup_copy_option(o->field(ctx), o->size, value, o->name, err, errlen))
            return -1;
        break;
    case VALUE_PUBLIC_KEY:
        if (updconf_add_public_key(&ctx->updater_config, value) != 0) {
            setup_error(err, errlen, "--public-key muss ein öffentlicher Ed25519-Schlüssel in "
                                     "Base64 sein (32 Bytes)");
            return -1;
        }
        break;
    case VALUE_SERVER_PORT:
        if (parse_port(value, &ctx->server_port) != 0) {
            setup_error(err, errlen, "--server-port muss zwischen 1 und 65535 liegen");
            return -1;
        }
        break;
    case VALUE_API_TOKEN:
        if (!token_name_ok(value)) {
            setup_error(err, errlen, "--target-api-token erwartet einen Namen aus Buchstaben, "
                                     "Ziffern, „_“ und „-“ (höchstens 64 Zeichen)");
            return -1;
        }
        setup_snprintf(o->field(ctx), o->size, "%s", value);
        break;
    case VALUE_CONSOLE_ROLE:
        if (strcmp(value, "admin") == 0) {
            ctx->console_role_admin = 1;
        } else if (strcmp(value, "read") == 0) {
            ctx->console_role_admin = 0;
        } else {
            setup_error(err, errlen, "--console-role erwartet admin oder read");
            return -1;
        }
        break;
    case VALUE_CONSOLE_RELEASE:
        // Releasing the planner to other consoles needs the scheduler's API;
        // ending the release leaves the API as it is.
        if (strcmp(value, "read") == 0) {
            ctx->console_release = 1;
            ctx->sched_api = 1;
        } else if (strcmp(value, "admin") == 0) {
            ctx->console_release = 2;
            ctx->sched_api = 1;
        } else if (strcmp(value, "off") == 0) {
            ctx->console_release = 0;
        } else {
            setup_error(err, errlen, "--console-release erwartet read, admin oder off");
            return -1;
        }
        break;
    case VALUE_CONSUMED:
        break;
    }
    if (o->mark)
        *o->mark(ctx) = 1;
    if (o->mark2)
        *o->mark2(ctx) = 1;
    return 0;
}

// Replaces a path field by its absolute form when that fits 511 characters.
static void make_absolute(char *field, setup_fullpath_fn fullpath)
{
    if (!field[0])
        return;
    char full[SETUP_CONFIG_PATH_SIZE];
    if (fullpath(field, full, sizeof full) == 0 && strlen(full) <= 511)
        memcpy(field, full, strlen(full) + 1);
}

// Steps after the last argument: absolute paths, then the settings file below
// the test root.
static int finish_paths(setup_context *ctx, setup_fullpath_fn fullpath, char *err,
                        size_t errlen)
{
    updater_config *cfg = &ctx->updater_config;
    char *paths[] = {cfg->ca_file, cfg->install_dir, cfg->state_dir, cfg->link_dir,
                     ctx->client_server_cert, ctx->client_api_key_file};
    for (char *p : paths)
        make_absolute(p, fullpath);

    if (ctx->config_path[0] && strcmp(ctx->config_path, updconf_default_path()) != 0) {
        char full[SETUP_CONFIG_PATH_SIZE];
        if (fullpath(ctx->config_path, full, sizeof full) == 0)
            setup_snprintf(ctx->config_path, sizeof ctx->config_path, "%s", full);
    }

    if (ctx->root[0] && strcmp(ctx->config_path, updconf_default_path()) == 0) {
        // A settings path cut short would point at another file.
        char moved[SETUP_CONFIG_PATH_SIZE];
        if (root_config_path(ctx->root, moved, sizeof moved) != 0) {
            setup_error(err, errlen, "Der Wert von %s ist zu lang", "--root");
            return -1;
        }
        memcpy(ctx->config_path, moved, strlen(moved) + 1);
    }
    return 0;
}

int setup_parse_options_with(setup_context *ctx, int argc, char **argv,
                             setup_fullpath_fn fullpath, char *err, size_t errlen)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *eq = strchr(arg, '=');
        size_t name_len = eq ? (size_t)(eq - arg) : strlen(arg);
        if (name_len > SETUP_OPTION_NAME_MAX) {
            setup_error(err, errlen, "Unbekannte Option %s", arg);
            return -1;
        }
        char name[SETUP_OPTION_NAME_MAX + 1];
        memcpy(name, arg, name_len);
        name[name_len] = '\0';

        const flag_option *flag = nullptr;
        for (const flag_option &f : kFlags)
            if (strcmp(f.name, name) == 0)
                flag = &f;
        if (flag) {
            apply_flag(ctx, flag); // a flag ignores any "=..." part
            continue;
        }
        const value_option *opt = nullptr;
        for (const value_option &o : kValues)
            if (strcmp(o.name, name) == 0)
                opt = &o;
        if (!opt) {
            setup_error(err, errlen, "Unbekannte Option %s (siehe --help)", arg);
            return -1;
        }
        const char *value;
        if (eq) {
            value = eq + 1;
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            setup_error(err, errlen, "Die Option %s braucht einen Wert", name);
            return -1;
        }
        if (apply_value(ctx, opt, value, err, errlen) != 0)
            return -1;
    }
    return finish_paths(ctx, fullpath, err, errlen);
}

// ---- answers file -------------------------------------------------------------

// The answers file as an argument vector; every entry is a heap copy.
struct answers_args {
    char *entry[SETUP_ANSWERS_MAX_ENTRIES + 2]; // a key and its value may join the last allowed
    int count;
};

static void answers_free(answers_args *a)
{
    for (int i = 0; i < a->count; i++)
        free(a->entry[i]);
    a->count = 0;
}

// Appends "--" and n bytes of text. 0, or -1 when out of memory.
static int answers_add_option(answers_args *a, const char *text, size_t n)
{
    char *e = (char *)malloc(n + 3);
    if (!e)
        return -1;
    memcpy(e, "--", 2);
    memcpy(e + 2, text, n);
    e[n + 2] = '\0';
    a->entry[a->count++] = e;
    return 0;
}

static int answers_add_value(answers_args *a, const char *text)
{
    char *e = strdup(text);
    if (!e)
        return -1;
    a->entry[a->count++] = e;
    return 0;
}

// Reads one whole line, line feed included, into *line (grown on the heap as
// needed). A line is never split: a long value reaches its option whole and is
// judged by its field's size. 1 with a line, 0 at the end of the file, -1 when
// memory runs out.
static int read_line(FILE *f, char **line, size_t *cap)
{
    size_t n = 0;
    char piece[1024];
    while (fgets(piece, sizeof piece, f)) {
        size_t k = strlen(piece);
        if (n + k + 1 > *cap) {
            size_t want = (n + k + 1) * 2;
            char *grown = (char *)realloc(*line, want);
            if (!grown)
                return -1;
            *line = grown;
            *cap = want;
        }
        memcpy(*line + n, piece, k + 1);
        n += k;
        if (k && piece[k - 1] == '\n')
            break;
    }
    return n ? 1 : 0;
}

static char *trim(char *s)
{
    while (isspace((unsigned char)*s))
        s++;
    size_t n = strlen(s);
    while (n && isspace((unsigned char)s[n - 1]))
        s[--n] = '\0';
    return s;
}

// 1 when the rest of f, from where it stands, is UTF-8 and holds a byte
// above 0x7F: a file that an editor wrote in UTF-8 and whose text differs
// from the ANSI code page's reading. 0 otherwise (also when it cannot be
// read), -1 when memory runs out. f stands where it stood afterwards.
static int answers_in_utf8(FILE *f)
{
    long start = ftell(f);
    char *all = nullptr;
    size_t n = 0, cap = 0;
    char chunk[4096];
    size_t got;
    int rc = 0;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (n + got > cap) {
            size_t want = (n + got) * 2;
            char *grown = (char *)realloc(all, want);
            if (!grown) {
                rc = -1;
                goto out;
            }
            all = grown;
            cap = want;
        }
        memcpy(all + n, chunk, got);
        n += got;
    }
    if (!ferror(f) && text_utf8_valid(all ? all : "", n)) {
        for (size_t i = 0; i < n && !rc; i++)
            rc = (unsigned char)all[i] >= 0x80;
    }
out:
    free(all);
    clearerr(f);
    fseek(f, start, SEEK_SET);
    return rc;
}

// The line in the program's ANSI code page, in place of its UTF-8 bytes
// (*line grown when needed). 0, or -1 with the message in err.
static int answers_to_ansi(char **line, size_t *cap, setup_to_ansi_fn to_ansi, const char *path,
                           int number, char *err, size_t errlen)
{
    if (!text_has_high_bytes(*line))
        return 0;
    // No character takes more bytes in an ANSI code page than in UTF-8.
    size_t size = strlen(*line) + 1;
    char *ansi = (char *)malloc(size);
    int rc = ansi ? to_ansi(*line, ansi, size) : -2;
    if (rc == -1) {
        // Paths and values pass through the ANSI functions of Windows; a
        // character they cannot hold would name another file.
        setup_error(err, errlen,
                    "%s, Zeile %d: Ein Zeichen lässt sich im Zeichensatz dieses Systems nicht "
                    "darstellen",
                    path, number);
    } else if (rc != 0) {
        setup_error(err, errlen, "Die Antwortdatei %s lässt sich nicht lesen", path);
    } else {
        free(*line);
        *line = ansi;
        *cap = size;
        return 0;
    }
    free(ansi);
    return -1;
}

// Turns the file's lines into the vector after the program name, each line
// first taken from UTF-8 into the ANSI code page when to_ansi is set. 0, or
// -1 with the message in err.
static int answers_collect(FILE *f, const char *path, setup_to_ansi_fn to_ansi, answers_args *a,
                           char *err, size_t errlen)
{
    char *line = nullptr;
    size_t cap = 0;
    int rc = -1;
    for (int number = 1;; number++) {
        int got = read_line(f, &line, &cap);
        if (got < 0 || ferror(f)) {
            setup_error(err, errlen, "Die Antwortdatei %s lässt sich nicht lesen", path);
            goto out;
        }
        if (got == 0)
            break;
        if (to_ansi && answers_to_ansi(&line, &cap, to_ansi, path, number, err, errlen) != 0)
            goto out;
        if (conf_strip_comment(line) != 0) {
            setup_error(err, errlen,
                        "%s: Ein Anführungszeichen ist nicht geschlossen oder es folgt Text danach",
                        path);
            goto out;
        }
        char *text = trim(line);
        if (!text[0])
            continue;
        if (a->count > SETUP_ANSWERS_MAX_ENTRIES) {
            setup_error(err, errlen, "Zu viele Einträge in %s", path);
            goto out;
        }
        char *eq = strchr(text, '=');
        int added;
        if (eq) {
            size_t key_len = (size_t)(eq - text);
            while (key_len && isspace((unsigned char)text[key_len - 1]))
                key_len--;
            char *value = eq + 1;
            while (isspace((unsigned char)*value))
                value++;
            conf_unquote(value);
            added = answers_add_option(a, text, key_len) == 0 && answers_add_value(a, value) == 0;
        } else {
            added = answers_add_option(a, text, strlen(text)) == 0;
        }
        if (!added) {
            setup_error(err, errlen, "Die Antwortdatei %s lässt sich nicht lesen", path);
            goto out;
        }
    }
    rc = 0;
out:
    free(line);
    return rc;
}

int setup_read_answers_with(setup_context *ctx, const char *path, setup_fullpath_fn fullpath,
                            setup_to_ansi_fn to_ansi, char *err, size_t errlen)
{
    answers_args a = {};
    FILE *f = fopen(path, "rb");
    if (!f) {
        setup_error(err, errlen, "Die Antwortdatei %s lässt sich nicht lesen", path);
        return -1;
    }
    conf_skip_bom(f);
    int rc = -1;
    // A file that is not UTF-8 as a whole is read in the ANSI code page, as
    // the program reads every path.
    int utf8 = to_ansi ? answers_in_utf8(f) : 0;
    if (utf8 < 0 || answers_add_value(&a, "orv_setup") != 0)
        setup_error(err, errlen, "Die Antwortdatei %s lässt sich nicht lesen", path);
    else
        rc = answers_collect(f, path, utf8 ? to_ansi : nullptr, &a, err, errlen);
    fclose(f);
    if (rc == 0)
        rc = setup_parse_options_with(ctx, a.count, a.entry, fullpath, err, errlen);
    answers_free(&a);
    return rc;
}
