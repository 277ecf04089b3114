// Argument vectors of the scheduler program's commands and the reading of
// their answers.
#include "schedcmd.h"

#include <stdio.h>
#include <string.h>

// Starts a vector with program and the command word.
static void args_begin(schedcmd_args *a, const char *program, const char *command)
{
    a->argc = 0;
    a->argv[a->argc++] = program;
    a->argv[a->argc++] = command;
    a->argv[a->argc] = NULL;
}

// Appends one argument; every vector of this unit fits by construction.
static void args_add(schedcmd_args *a, const char *arg)
{
    if (a->argc + 1 >= SCHEDCMD_ARGV_MAX)
        return;
    a->argv[a->argc++] = arg;
    a->argv[a->argc] = NULL;
}

static void args_config(schedcmd_args *a, const char *config)
{
    args_add(a, "--config");
    args_add(a, config);
}

void schedcmd_args_list(schedcmd_args *a, const char *program, const char *config,
                        const char *queue)
{
    args_begin(a, program, "list");
    if (config && *config)
        args_config(a, config);
    if (queue && *queue) {
        args_add(a, "--queue");
        args_add(a, queue);
    }
}

int schedcmd_service_cmdline(char buf[SCHEDCMD_SERVICE_CMDLINE], const char *program,
                             const char *config)
{
    int n = snprintf(buf, SCHEDCMD_SERVICE_CMDLINE, "\"%s\" service --config \"%s\"", program,
                     config);
    if (n < 0 || n >= SCHEDCMD_SERVICE_CMDLINE) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

void schedcmd_args_api_enable(schedcmd_args *a, const char *program, const char *config,
                              int console_writes)
{
    args_begin(a, program, "api-enable");
    args_config(a, config);
    if (console_writes)
        args_add(a, "--agent-config-write");
}

void schedcmd_args_api_init(schedcmd_args *a, const char *program, const char *config)
{
    args_begin(a, program, "api-init");
    args_config(a, config);
}

int schedcmd_args_api_release(schedcmd_args *a, const char *program, int level,
                              const char *config)
{
    static const char *const words[] = {"off", "read", "admin"};
    a->argc = 0;
    a->argv[0] = NULL;
    if (level < 0 || level > 2)
        return -1;
    args_begin(a, program, "api-release");
    args_add(a, words[level]);
    args_config(a, config);
    return 0;
}

void schedcmd_args_api_info(schedcmd_args *a, const char *program, const char *config)
{
    args_begin(a, program, "api-info");
    args_config(a, config);
}

void schedcmd_args_token_remove(schedcmd_args *a, const char *program, const char *name,
                                const char *config)
{
    args_begin(a, program, "api-token");
    args_add(a, "remove");
    args_add(a, name);
    args_config(a, config);
}

void schedcmd_args_token_add(schedcmd_args *a, const char *program, const char *name, int admin,
                             const char *config)
{
    args_begin(a, program, "api-token");
    args_add(a, "add");
    args_add(a, name);
    args_add(a, "--role");
    args_add(a, admin ? "admin" : "read");
    args_config(a, config);
}

int schedcmd_read_enable(const char *output)
{
    if (!output)
        return 0;
    int bits = 0;
    if (strstr(output, "API enabled"))
        bits |= SCHEDCMD_API_ENABLED;
    else if (strstr(output, "kept disabled"))
        bits |= SCHEDCMD_API_KEPT_DISABLED;
    if (strstr(output, "writes allowed"))
        bits |= SCHEDCMD_WRITES_ALLOWED;
    else if (strstr(output, "writes kept off"))
        bits |= SCHEDCMD_WRITES_KEPT_OFF;
    return bits;
}

// Length of the text at s up to the first CR, LF or the end.
static size_t line_length(const char *s) { return strcspn(s, "\r\n"); }

int schedcmd_read_init(const char *output, char *out, size_t size)
{
    static const char phrase[] = "fingerprint: ";
    const char *at = output ? strstr(output, phrase) : NULL;
    if (!at) {
        if (size)
            out[0] = '\0';
        return -1;
    }
    at += sizeof phrase - 1;
    snprintf(out, size, "%.*s", (int)line_length(at), at);
    return 0;
}

int schedcmd_read_release_waits(const char *output)
{
    return output && strstr(output, "API is disabled") ? 1 : 0;
}

int text_field_value(const char *text, const char *name, char *out)
{
    if (!text || !name)
        return -1;
    size_t nlen = strlen(name);
    for (const char *line = text; line;) {
        const char *next = strchr(line, '\n');
        if (strncmp(line, name, nlen) != 0 || line[nlen] != ':') {
            line = next ? next + 1 : NULL;
            continue;
        }
        const char *v = line + nlen + 1;
        while (*v == ' ')
            v++;
        size_t len = line_length(v);
        if (len >= SCHEDCMD_FIELD_MAX)
            return -1;
        memcpy(out, v, len);
        out[len] = '\0';
        return 0;
    }
    return -1;
}

// The fingerprint field without its colons, lower-cased: the first 64
// characters, all of them hex digits, into out; else out is left empty.
static void take_fingerprint(const char *field, char out[SCHEDCMD_FINGERPRINT_LEN + 1])
{
    size_t n = 0;
    for (const char *s = field; *s && n < SCHEDCMD_FINGERPRINT_LEN; s++) {
        char c = *s;
        if (c == ':')
            continue;
        if (c >= 'A' && c <= 'F')
            c = (char)(c - 'A' + 'a');
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            n = 0;
            break;
        }
        out[n++] = c;
    }
    out[n == SCHEDCMD_FINGERPRINT_LEN ? n : 0] = '\0';
}

void schedcmd_read_api_info(const char *output, schedcmd_api_info *info)
{
    memset(info, 0, sizeof *info);
    char value[SCHEDCMD_FIELD_MAX];
    if (text_field_value(output, "enabled", value) == 0 && strcmp(value, "yes") == 0)
        info->enabled = 1;
    if (text_field_value(output, "listen", value) == 0) {
        const char *colon = strrchr(value, ':');
        if (colon && strlen(colon + 1) < SCHEDCMD_PORT_MAX)
            strcpy(info->port, colon + 1);
    }
    if (text_field_value(output, "fingerprint", value) == 0)
        take_fingerprint(value, info->fingerprint);
}

int schedcmd_read_token_secret(const char *output, const char *name,
                               char secret[SCHEDCMD_SECRET_MAX])
{
    static const char phrase[] = "keep it secret): ";
    secret[0] = '\0';
    const char *at = output && name ? strstr(output, phrase) : NULL;
    if (!at)
        return -1;
    at += sizeof phrase - 1;
    size_t len = line_length(at);
    const char *dot = (const char *)memchr(at, '.', len);
    if (!dot || (size_t)(dot - at) != strlen(name) || strncmp(at, name, (size_t)(dot - at)) != 0)
        return -1;
    size_t slen = len - (size_t)(dot + 1 - at);
    if (slen == 0 || slen >= SCHEDCMD_SECRET_MAX)
        return -1;
    memcpy(secret, dot + 1, slen);
    secret[slen] = '\0';
    return 0;
}
