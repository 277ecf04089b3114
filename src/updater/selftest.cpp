// The text work of the packaged-program checks: which entries are programs,
// what their "--version" must say, the words for failed runs, and the list
// of versions that failed here. No Windows header, so the native build
// checks it under the sanitizers.
#include "selftest.h"
#include "update.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// 1 when text ends in suffix.
static int ends_with(const char *text, const char *suffix)
{
    size_t t = strlen(text), s = strlen(suffix);
    return t >= s && memcmp(text + t - s, suffix, s) == 0;
}

int pkg_entry_is_program(const pkg_entry *e)
{
    if (!e)
        return 0;
    size_t len = strnlen(e->path, sizeof e->path);
    if (len == sizeof e->path)
        return 0;  // not a terminated path
    return e->mode == 0755 || (len >= 5 && ends_with(e->path, ".exe"));
}

int selftest_is_package_program(const pkg_entry *e)
{
    return e && !e->is_dir && strncmp(e->path, "bin/", 4) == 0 && pkg_entry_is_program(e);
}

const char *selftest_program_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int selftest_expected_version(char *buf, size_t size, const char *name, const char *version)
{
    size_t len = strlen(name);
    if (len > 4 && ends_with(name, ".exe"))
        len -= 4;
    return selftest_format(buf, size, "%.*s %s", (int)len, name, version);
}

int selftest_version_matches(const char *output, const char *expected)
{
    size_t n = strlen(expected);
    if (strncmp(output, expected, n) != 0)
        return 0;
    // Only the prefix would let "1.2.30" or "1.2.3-rc.1" pass for "1.2.3".
    char next = output[n];
    return next == '\0' || next == ' ' || next == '\t' || next == '\r' || next == '\n';
}

const char *selftest_scanner_reason(uint32_t error, int file_exists)
{
    if (error == SELFTEST_ERROR_VIRUS_INFECTED)
        return "it contains a threat according to the virus scanner";
    if (error == SELFTEST_ERROR_VIRUS_DELETED)
        return "the virus scanner removed it as a threat";
    if (!file_exists)
        return "the file was removed right after unpacking";
    return nullptr;
}

int selftest_scanner_folder(char *buf, size_t size, const char *staging)
{
    char folder[SELFTEST_FOLDER_MAX + 1];
    snprintf(folder, sizeof folder, "%s", staging);
    char *back = strrchr(folder, '\\'), *fwd = strrchr(folder, '/');
    char *sep = back > fwd ? back : fwd;
    // For a staging directory inside the installation directory this names
    // the installation directory, which keeps the next version covered too.
    if (sep && sep != folder)
        *sep = '\0';
    return selftest_format(buf, size, "%s", folder);
}

void proc_describe_failure(int ran, const proc_result *res, char *buf, size_t size)
{
    uint32_t status = res ? (uint32_t)res->exit_code : 0;
    if (!ran || !res)
        update_error(buf, size, "it cannot be started");
    else if (res->timed_out)
        update_error(buf, size, "no output, it did not end in time");
    else if (status == 0xC0000135u)  // STATUS_DLL_NOT_FOUND
        update_error(buf, size, "a DLL it needs is missing, exit status 0x%08X", status);
    else if (status == 0xC0000139u)  // STATUS_ENTRYPOINT_NOT_FOUND
        update_error(buf, size, "a DLL it needs has the wrong version, exit status 0x%08X", status);
    else if (status == 0xC000007Bu)  // STATUS_INVALID_IMAGE_FORMAT
        update_error(buf, size,
                   "it or a DLL it needs is damaged or built for another processor, exit status "
                   "0x%08X",
                   status);
    else if (status >= 0xC0000000u)
        update_error(buf, size, "it ended abnormally, exit status 0x%08X", status);
    else
        update_error(buf, size, "no output, exit status %d", (int)res->exit_code);
}

void text_flatten(char *text)
{
    if (!text)
        return;
    size_t len = 0;
    for (char *p = text; *p; p++, len++)
        if (*p == '\t' || *p == '\n' || *p == '\r')
            *p = ' ';
    while (len > 0 && text[len - 1] == ' ')
        text[--len] = '\0';
}

int wordlist_contains(const char *list, const char *word)
{
    if (!list || !word || !*word)
        return 0;
    size_t n = strlen(word);
    for (const char *p = list; *p;) {
        const char *end = strchr(p, ' ');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        if (len == n && memcmp(p, word, n) == 0)
            return 1;
        if (!end)
            break;
        p = end + 1;
    }
    return 0;
}

void failed_versions_add(updater_state *st, const char *version)
{
    const size_t cap = sizeof st->bad_versions;
    if (!st || !version || !*version)
        return;
    char *list = st->bad_versions;
    list[cap - 1] = '\0';
    if (wordlist_contains(list, version))
        return;
    size_t vlen = strlen(version), len = strlen(list);
    if (vlen > cap - 1)
        return;  // could only be kept cut, which would name another version
    // Oldest first out, as often as it takes: dropping one short version may
    // not make room for a long one, and a version cut at the field's end
    // would be a different version (1.2.3-rc.10 cut to 1.2.3-rc.1).
    while (len > 0 && len + vlen + 2 >= cap) {
        const char *blank = strchr(list, ' ');
        size_t drop = blank ? (size_t)(blank - list) + 1 : len;
        memmove(list, list + drop, len - drop + 1);
        len -= drop;
    }
    if (len > 0)
        list[len++] = ' ';
    memcpy(list + len, version, vlen + 1);
}

int selftest_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf && size ? buf : nullptr, buf ? size : 0, fmt, ap);
    va_end(ap);
    return n;
}
