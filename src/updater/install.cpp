// The install engine's decisions on texts and entries: the component list,
// the size rule of PACKAGE.json, the merged entry list and what merging one
// entry asks for, the splitting of id lists and the releases it looks for.
#include "install.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "version.h"

int install_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(size ? buf : nullptr, size, fmt, ap);
    va_end(ap);
    return n;
}

const char *install_artifact_name(const manifest_artifact *art)
{
    return art && art->component ? art->component : "package";
}

size_t install_component_list(const manifest_artifact *const *artifacts, size_t count,
                              const char *list, char *out, size_t size)
{
    if (out && size)
        out[0] = '\0';
    if (list) {
        install_format(out, out ? size : 0, "%s", list);
        return strlen(list);
    }
    size_t len = 0;
    for (size_t i = 0; i < count; i++) {
        const char *id = artifacts[i] && artifacts[i]->component ? artifacts[i]->component : "";
        // Past the end of out only the length is counted: the formatter has
        // terminated the cut text at the end.
        size_t room = out && len < size ? size - len : 0;
        len += (size_t)install_format(room ? out + len : nullptr, room, "%s%s", i ? "," : "", id);
    }
    return len;
}

const char *install_json_size_reason(uint64_t len)
{
    if (len == 0)
        return "PACKAGE.json is empty";
    if (len > INSTALL_JSON_MAX)
        return "PACKAGE.json is larger than 65535 bytes";
    return nullptr;
}

long install_merged_find(const install_merged *m, const char *path)
{
    for (size_t i = 0; i < m->count; i++)
        if (strcmp(m->items[i].path, path) == 0)
            return (long)i;
    return -1;
}

int install_merge_plan(const install_merged *m, const pkg_entry *e)
{
    if (!e->is_dir && strcmp(e->path, "PACKAGE.json") == 0)
        return MERGE_SKIP;
    long at = install_merged_find(m, e->path);
    if (at < 0)
        return e->is_dir ? MERGE_NEW_DIR : MERGE_NEW_FILE;
    if (e->is_dir)
        return MERGE_DIR_AGAIN;
    const pkg_entry *had = &m->items[at];
    if (!had->is_dir && memcmp(had->sha256, e->sha256, sizeof e->sha256) == 0)
        return MERGE_SAME_FILE;
    return MERGE_CONFLICT;
}

int install_merged_add(install_merged *m, const pkg_entry *e)
{
    if (m->count == m->capacity) {
        size_t cap = m->capacity ? m->capacity * 2 : (size_t)INSTALL_MERGED_FIRST;
        if (cap > SIZE_MAX / sizeof *m->items)
            return -1;
        pkg_entry *grown = (pkg_entry *)realloc(m->items, cap * sizeof *m->items);
        if (!grown)
            return -1;
        m->items = grown;
        m->capacity = cap;
    }
    m->items[m->count++] = *e;
    return 0;
}

void install_merged_free(install_merged *m)
{
    free(m->items);
    m->items = nullptr;
    m->count = 0;
    m->capacity = 0;
}

size_t install_split_ids(const char *text, char *buf, size_t size, const char **ids, size_t cap)
{
    if (!buf || size == 0)
        return 0;
    install_format(buf, size, "%s", text ? text : "");
    size_t n = 0;
    char *p = buf;
    while (n < cap) {
        char *comma = strchr(p, ',');
        if (comma)
            *comma = '\0';
        if (*p)
            ids[n++] = p;
        if (!comma)
            break;
        p = comma + 1;
    }
    return n;
}

const manifest_release *install_newest_release(const manifest *m)
{
    const manifest_release *best = nullptr;
    for (size_t i = 0; i < m->release_count; i++) {
        const manifest_release *r = &m->releases[i];
        if (!best || version_compare(r->version, best->version) > 0)
            best = r;
    }
    return best;
}

const manifest_release *install_find_release(const manifest *m, const char *version)
{
    for (size_t i = 0; i < m->release_count; i++)
        if (version && strcmp(m->releases[i].version, version) == 0)
            return &m->releases[i];
    return nullptr;
}
