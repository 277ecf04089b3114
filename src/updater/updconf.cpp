// updater.conf on text and bytes: defaults, the reader with its checks and
// messages, the trusted keys, and the formatting that the writer puts on disk.
#include "updconf.h"

#include <ctype.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "codec.h"
#include "conf.h"
#include "paths.h"
#include "update.h"

// The two trusted keys built into the program, base64, split at "," or ";".
static const char k_builtin_keys[] =
    "Rk3vQz8LmPw2Tn7YcX5bHs9dJg4KfW1eVa6NuZ0qCtE=,hP4wXo9Ls2Bk7Dq1Mz5Gv8Rn3Jc6Ty0Fe2Wa9Ub4HiQ=";

// First line of every written file.
static const char k_header[] =
    "# written by orv_setup; see packaging/updater.conf.example for the settings\n";

enum { DEFAULT_TIMEOUT = 30, DEFAULT_RESTART_WAIT = 1800 };

// A text setting: its key and where its field lies in the record. Listed in
// the order the reader compares keys.
struct text_key {
    const char *name;  // key as spelled in the file
    size_t offset;     // offset of the char array in updater_config
    size_t size;       // size of that array, NUL included
};

#define TEXT_KEY(f) {#f, offsetof(updater_config, f), sizeof(updater_config::f)}
static const text_key k_text_keys[] = {
    TEXT_KEY(url),         TEXT_KEY(channel),   TEXT_KEY(ca_file),
    TEXT_KEY(client_cert), TEXT_KEY(client_key), TEXT_KEY(proxy),
    TEXT_KEY(state_dir),   TEXT_KEY(install_dir), TEXT_KEY(restart_command),
    TEXT_KEY(link_dir),
};
#undef TEXT_KEY

// The words of "dependencies", indexed by the field's value.
static const char *const k_dependency_words[] = {"auto", "system", "bundled"};

static bool is_space(char c) { return isspace((unsigned char)c) != 0; }

int updconf_fail(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    update_verror(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

void updconf_defaults(updater_config *cfg)
{
    memset(cfg, 0, sizeof *cfg);
    snprintf(cfg->channel, sizeof cfg->channel, "%s", updconf_default_channel());
    cfg->timeout = DEFAULT_TIMEOUT;
    cfg->target_restart_wait = DEFAULT_RESTART_WAIT;
    snprintf(cfg->state_dir, sizeof cfg->state_dir, "%s\\updater", paths_data_dir());
    // An empty ProgramFiles is used as it is; only a missing one falls back.
    const char *pf = getenv("ProgramFiles");
    snprintf(cfg->install_dir, sizeof cfg->install_dir, "%s\\orvantis",
             pf ? pf : "C:\\Program Files");

    char list[1024];
    snprintf(list, sizeof list, "%s", k_builtin_keys);
    for (char *piece = list; *piece;) {
        size_t n = strcspn(piece, ",;");
        bool last = piece[n] == '\0';
        piece[n] = '\0';
        if (n > 0)
            updconf_add_public_key(cfg, piece);  // an undecodable built-in key is skipped
        piece += last ? n : n + 1;
    }
}

int updconf_add_public_key(updater_config *cfg, const char *b64)
{
    uint8_t key[UPDCONF_KEY_BYTES];
    size_t n = 0;
    if (b64_decode(b64, key, sizeof key, &n) != 0 || n != sizeof key)
        return -1;
    uint64_t held = cfg->key_count < UPDCONF_MAX_KEYS ? cfg->key_count : (uint64_t)UPDCONF_MAX_KEYS;
    for (uint64_t i = 0; i < held; i++)
        if (memcmp(cfg->public_keys[i], key, sizeof key) == 0)
            return 0;
    if (held >= UPDCONF_MAX_KEYS)
        return -1;
    memcpy(cfg->public_keys[held], key, sizeof key);
    cfg->key_count = held + 1;
    return 0;
}

const char *updconf_default_channel(void) { return "alpha"; }

const char *updconf_default_path(void)
{
    static char path[UPDCONF_PATH_MAX];
    snprintf(path, sizeof path, "%s\\updater.conf", paths_data_dir());
    return path;
}

// 1 when a and b are equal apart from the case of ASCII letters.
static bool ascii_equal_nocase(const char *a, const char *b)
{
    for (; *a && *b; a++, b++)
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b))
            return false;
    return *a == *b;
}

int config_parse_bool(const char *text, int *out)
{
    if (ascii_equal_nocase(text, "yes") || ascii_equal_nocase(text, "true") ||
        strcmp(text, "1") == 0) {
        *out = 1;
        return 0;
    }
    if (ascii_equal_nocase(text, "no") || ascii_equal_nocase(text, "false") ||
        strcmp(text, "0") == 0) {
        *out = 0;
        return 0;
    }
    return -1;
}

// Reads a decimal number of digits only, lo to hi. A sign is refused: the C
// library's strtoul would take "-4294967295" as 1 where unsigned long has 32 bits.
static int parse_number(const char *text, uint32_t lo, uint32_t hi, uint32_t *out)
{
    if (!*text)
        return -1;
    uint64_t v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        v = v * 10 + (uint64_t)(*p - '0');
        if (v > hi)
            return -1;
    }
    if (v < lo)
        return -1;
    *out = (uint32_t)v;
    return 0;
}

// What applying one setting came to.
enum { APPLY_OK = 0, APPLY_UNKNOWN = 1, APPLY_INVALID = 2 };

// Checks value for key and stores it in cfg at once; a refused value leaves
// the record as it was.
static int apply_setting(updater_config *cfg, const char *key, const char *value)
{
    for (const text_key &k : k_text_keys) {
        if (strcmp(key, k.name) != 0)
            continue;
        size_t len = strlen(value);
        if (len >= k.size)
            return APPLY_INVALID;  // never stored cut short
        memcpy((char *)cfg + k.offset, value, len + 1);
        return APPLY_OK;
    }
    if (strcmp(key, "public_key") == 0)
        return updconf_add_public_key(cfg, value) == 0 ? APPLY_OK : APPLY_INVALID;
    if (strcmp(key, "dependencies") == 0) {
        for (int i = 0; i < 3; i++)
            if (strcmp(value, k_dependency_words[i]) == 0) {
                cfg->dependencies = i;
                return APPLY_OK;
            }
        return APPLY_INVALID;
    }
    int on = 0;
    if (strcmp(key, "allow_package_install") == 0 || strcmp(key, "allow_major_upgrade") == 0) {
        if (config_parse_bool(value, &on) != 0)
            return APPLY_INVALID;
        if (strcmp(key, "allow_package_install") == 0)
            cfg->allow_package_install = on;
        else
            cfg->allow_major_upgrade = on;
        return APPLY_OK;
    }
    if (strcmp(key, "target_restart_wait") == 0)
        return parse_number(value, 0, 86400, &cfg->target_restart_wait) == 0 ? APPLY_OK
                                                                              : APPLY_INVALID;
    if (strcmp(key, "timeout") == 0)
        return parse_number(value, 1, 3600, &cfg->timeout) == 0 ? APPLY_OK : APPLY_INVALID;
    return APPLY_UNKNOWN;
}

// Cuts white space (the isspace set) at both ends of s in place.
static char *trim(char *s)
{
    while (is_space(*s))
        s++;
    size_t n = strlen(s);
    while (n > 0 && is_space(s[n - 1]))
        s[--n] = '\0';
    return s;
}

// Applies one line (NUL-terminated, line end included) to cfg: 0, or -1 with
// the message naming path and line number.
static int read_setting(const char *path, int lineno, char *line, updater_config *cfg, char *err,
                        size_t errlen)
{
    if (conf_strip_comment(line) != 0)
        return updconf_fail(err, errlen,
                            "%s:%d: unterminated quote or text after the closing quote", path,
                            lineno);
    char *s = trim(line);
    if (!*s)
        return 0;
    char *eq = strchr(s, '=');
    if (!eq)
        return updconf_fail(err, errlen, "%s:%d: expected key = value", path, lineno);
    *eq = '\0';
    const char *key = trim(s);
    const char *value = conf_unquote(trim(eq + 1));
    switch (apply_setting(cfg, key, value)) {
    case APPLY_UNKNOWN:
        return updconf_fail(err, errlen, "%s:%d: unknown setting '%s'", path, lineno, key);
    case APPLY_INVALID:
        return updconf_fail(err, errlen, "%s:%d: invalid value for '%s'", path, lineno, key);
    default:
        return 0;
    }
}

// Reads bytes up to and including the next line feed, at most cap - 1 of
// them, into buf and terminates them. Returns the count; 0 only at the end
// of the file or on a read error. A NUL byte in the line is kept in the count.
static size_t read_chunk(FILE *f, char *buf, size_t cap)
{
    size_t n = 0;
    int c;
    while (n + 1 < cap && (c = getc(f)) != EOF) {
        buf[n++] = (char)c;
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return n;
}

int updconf_read(const char *path, int required, updater_config *cfg, char *err, size_t errlen)
{
    snprintf(cfg->config_path, sizeof cfg->config_path, "%s", path);
    FILE *f = fopen(path, "rb");
    if (!f) {
        if (!required)
            return 0;
        return updconf_fail(err, errlen, "cannot read the configuration file %s", path);
    }
    conf_skip_bom(f);
    char line[UPDCONF_LINE_MAX];
    int rc = 0;
    for (int lineno = 1; rc == 0; lineno++) {
        size_t n = read_chunk(f, line, sizeof line);
        if (n == 0)
            break;
        if (line[n - 1] != '\n' && n == sizeof line - 1) {
            // A full buffer without a line feed: fine only as the file's last line.
            int c = getc(f);
            if (c != EOF) {
                rc = updconf_fail(err, errlen, "%s:%d: line too long", path, lineno);
                break;
            }
        }
        rc = read_setting(path, lineno, line, cfg, err, errlen);
    }
    // A read error must not pass for the end of the file with half the settings.
    if (rc == 0 && ferror(f))
        rc = updconf_fail(err, errlen, "cannot read the configuration file %s", path);
    fclose(f);
    if (rc == 0 && !cfg->client_cert[0] != !cfg->client_key[0])
        rc = updconf_fail(err, errlen, "%s: client_cert and client_key go together", path);
    return rc;
}

// ---- formatting ----------------------------------------------------------------

// A bounded text being built: bytes past cap are counted but not stored.
struct text_out {
    char *buf;   // the caller's buffer
    size_t cap;  // its size; the text always ends in NUL within it
    size_t len;  // length the whole text has so far
};

static void put(text_out *o, const char *s, size_t n)
{
    if (o->len < o->cap) {
        size_t room = o->cap - 1 - o->len;
        memcpy(o->buf + o->len, s, n < room ? n : room);
    }
    o->len += n;
    if (o->cap)
        o->buf[o->len < o->cap ? o->len : o->cap - 1] = '\0';
}

static void puts_(text_out *o, const char *s) { put(o, s, strlen(s)); }

// 1 when the key reads back as itself at the start of a settings line.
static bool key_is_writable(const char *key)
{
    if (!key[0] || key[0] == '#' || key[0] == ';')
        return false;
    for (const char *p = key; *p; p++)
        if (*p == '=' || is_space(*p))
            return false;
    return true;
}

int updconf_format_line(const char *key, const char *value, char out[UPDCONF_LINE_MAX])
{
    if (!key_is_writable(key))
        return -2;
    if (strpbrk(value, "\r\n"))
        return -1;
    text_out o = {out, UPDCONF_LINE_MAX, 0};
    puts_(&o, key);
    puts_(&o, " = ");
    size_t vlen = strlen(value);
    // The reader cuts white space at both ends before it unquotes, and its
    // comment rules decide the rest (conf_needs_quotes).
    bool quote = conf_needs_quotes(value) ||
                 (vlen && (is_space(value[0]) || is_space(value[vlen - 1])));
    if (!quote) {
        put(&o, value, vlen);
    } else if (!strchr(value, '\'')) {
        // Single quotes hold every byte verbatim, backslashes of UNC paths too.
        puts_(&o, "'");
        put(&o, value, vlen);
        puts_(&o, "'");
    } else {
        puts_(&o, "\"");
        for (const char *p = value; *p; p++) {
            if (*p == '\\' || *p == '"')
                puts_(&o, "\\");
            put(&o, p, 1);
        }
        puts_(&o, "\"");
    }
    puts_(&o, "\n");
    if (o.len >= UPDCONF_LINE_MAX)
        return -1;  // the reader would refuse it as too long
    return (int)o.len;
}

// Appends the line "key = value\n"; false with *bad_key = key when it cannot be written.
static bool put_setting(text_out *o, const char *key, const char *value, const char **bad_key)
{
    char line[UPDCONF_LINE_MAX];
    int n = updconf_format_line(key, value, line);
    if (n < 0) {
        *bad_key = key;
        return false;
    }
    put(o, line, (size_t)n);
    return true;
}

// put_setting only for a value that is not empty.
static bool put_setting_if_set(text_out *o, const char *key, const char *value,
                               const char **bad_key)
{
    return !value[0] || put_setting(o, key, value, bad_key);
}

// put_setting of an unsigned number.
static bool put_number(text_out *o, const char *key, uint32_t value, const char **bad_key)
{
    char text[16];
    snprintf(text, sizeof text, "%u", (unsigned)value);
    return put_setting(o, key, text, bad_key);
}

int updconf_format(const updater_config *cfg, char *out, size_t cap, const char **bad_key)
{
    updater_config defaults;
    updconf_defaults(&defaults);
    text_out o = {out, cap, 0};
    *bad_key = nullptr;
    if (cap)
        out[0] = '\0';
    puts_(&o, k_header);
    if (!put_setting(&o, "url", cfg->url, bad_key) ||
        !put_setting(&o, "channel", cfg->channel, bad_key))
        return -1;
    uint64_t held = cfg->key_count < UPDCONF_MAX_KEYS ? cfg->key_count : (uint64_t)UPDCONF_MAX_KEYS;
    for (uint64_t i = 0; i < held; i++) {
        bool builtin = false;
        for (uint64_t j = 0; j < defaults.key_count; j++)
            builtin = builtin || memcmp(cfg->public_keys[i], defaults.public_keys[j],
                                        UPDCONF_KEY_BYTES) == 0;
        if (builtin)
            continue;
        char b64[48];
        b64_encode(cfg->public_keys[i], UPDCONF_KEY_BYTES, b64, sizeof b64);
        put_setting(&o, "public_key", b64, bad_key);  // base64 always fits
    }
    int deps = cfg->dependencies == 1 || cfg->dependencies == 2 ? cfg->dependencies : 0;
    if (!put_setting_if_set(&o, "ca_file", cfg->ca_file, bad_key) ||
        !put_setting_if_set(&o, "client_cert", cfg->client_cert, bad_key) ||
        !put_setting_if_set(&o, "client_key", cfg->client_key, bad_key) ||
        !put_setting_if_set(&o, "proxy", cfg->proxy, bad_key) ||
        !put_setting(&o, "dependencies", k_dependency_words[deps], bad_key) ||
        !put_setting(&o, "allow_package_install", cfg->allow_package_install ? "yes" : "no",
                     bad_key) ||
        (cfg->allow_major_upgrade && !put_setting(&o, "allow_major_upgrade", "yes", bad_key)) ||
        !put_setting_if_set(&o, "restart_command", cfg->restart_command, bad_key) ||
        !put_setting(&o, "install_dir", cfg->install_dir, bad_key) ||
        !put_setting(&o, "state_dir", cfg->state_dir, bad_key) ||
        !put_setting_if_set(&o, "link_dir", cfg->link_dir, bad_key) ||
        (cfg->timeout != DEFAULT_TIMEOUT && !put_number(&o, "timeout", cfg->timeout, bad_key)) ||
        (cfg->target_restart_wait != DEFAULT_RESTART_WAIT &&
         !put_number(&o, "target_restart_wait", cfg->target_restart_wait, bad_key)))
        return -1;
    if (o.len >= cap)
        return -1;
    return (int)o.len;
}

// 1 when the bytes of one line set key: blanks, the key, blanks, "=".
static bool line_sets_key(const char *line, size_t n, const char *key)
{
    size_t i = 0, klen = strlen(key);
    while (i < n && (line[i] == ' ' || line[i] == '\t'))
        i++;
    if (n - i < klen || memcmp(line + i, key, klen) != 0)
        return false;
    for (i += klen; i < n && (line[i] == ' ' || line[i] == '\t'); i++) {
    }
    return i < n && line[i] == '=';
}

int updconf_copy_replacing(FILE *in, FILE *out, const char *key, const char *line)
{
    char buf[UPDCONF_LINE_MAX];
    bool replaced = false;
    bool at_line_start = true;  // the next chunk begins a line (a long line comes in several)
    bool dropping = false;      // the rest of the replaced line is left out
    size_t n;
    size_t line_len = strlen(line);
    while ((n = read_chunk(in, buf, sizeof buf)) > 0) {
        bool starts = at_line_start;
        at_line_start = buf[n - 1] == '\n';
        if (dropping) {
            dropping = !at_line_start;
            continue;
        }
        if (!replaced && starts && line_sets_key(buf, n, key)) {
            if (fwrite(line, 1, line_len, out) != line_len)
                return -1;
            replaced = true;
            dropping = !at_line_start;
            continue;
        }
        if (fwrite(buf, 1, n, out) != n)
            return -1;
    }
    if (ferror(in))
        return -1;
    if (!replaced) {
        if (!at_line_start && fputc('\n', out) == EOF)
            return -1;
        if (fwrite(line, 1, line_len, out) != line_len)
            return -1;
    }
    return 0;
}
