// The PACKAGE.json check: the package's own description against the entries
// that were unpacked.
#include "package.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "json.h"
#include "orv_attr.h"
#include "sha256.h"
#include "update.h"

// Writes one failure sentence into err (when err and errlen are both set)
// and returns -1.
static int package_fail(char *err, size_t errlen, const char *fmt, ...) ORV_PRINTF(3, 4);
static int package_fail(char *err, size_t errlen, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    update_verror(err, errlen, fmt, ap);
    va_end(ap);
    return -1;
}

// The checks on a parsed PACKAGE.json, in their order; the tree stays the
// caller's.
static int package_compare(const json_value *root, const pkg_entry *entries, size_t count,
                           const char *version, const char *component, char *err, size_t errlen)
{
    int64_t schema = 0;
    const char *pkg_version = json_string(json_object_get(root, "version"));
    const json_value *files = json_object_get(root, "files");
    if (!json_int(json_object_get(root, "schema"), &schema) || schema != 1 || !pkg_version ||
        json_kind(files) != JSON_OBJECT)
        return package_fail(err, errlen, "PACKAGE.json has an unsupported layout");
    if (strcmp(pkg_version, version) != 0)
        return package_fail(err, errlen, "the package is version %s, the manifest promised %s",
                            pkg_version, version);

    // A member that is present with any other kind, null included, is invalid.
    const json_value *comp = json_object_get(root, "component");
    const char *comp_id = json_string(comp);
    if (comp && !comp_id)
        return package_fail(err, errlen, "PACKAGE.json has an invalid component");
    if (comp_id && !component)
        return package_fail(err, errlen, "this is a component package (%s), not a whole update",
                            comp_id);
    if (component && (!comp_id || strcmp(comp_id, component) != 0))
        return package_fail(err, errlen, "the package is not the %s component the catalog promised",
                            component);

    size_t listed = 0;
    for (size_t i = 0; i < count; i++) {
        const pkg_entry *e = &entries[i];
        if (e->is_dir || strcmp(e->path, "PACKAGE.json") == 0)
            continue;
        listed++;
        const char *sum = json_string(json_object_get(files, e->path));
        if (!sum)
            return package_fail(err, errlen, "the package contains %s, which PACKAGE.json does not list",
                                e->path);
        // Compared as text, so a sum in upper case does not match.
        char hex[65];
        hex32(e->sha256, hex);
        if (strcmp(sum, hex) != 0)
            return package_fail(err, errlen, "%s does not match its SHA-256 in PACKAGE.json",
                                e->path);
    }
    // Every file matched a distinct member, so a member left over names a file
    // that is not in the package.
    if (listed != json_object_len(files))
        return package_fail(err, errlen, "PACKAGE.json lists files that are missing from the package");
    return 0;
}

int package_json_check(const pkg_entry *entries, size_t count, const char *text, size_t len,
                       const char *version, const char *component, char *err, size_t errlen)
{
    if (err && errlen)
        err[0] = '\0';
    char why[PACKAGE_JSON_ERR];
    json_value *root = nullptr;
    if (json_parse(text ? text : "", text ? len : 0, &root, why, sizeof why) != 0)
        return package_fail(err, errlen, "PACKAGE.json is not valid: %s", why);
    int rc = package_compare(root, entries, count, version ? version : "", component, err, errlen);
    json_free(root);
    return rc;
}

int package_json_check_update(const pkg_entry *entries, size_t count, const char *text, size_t len,
                              const char *version, char *err, size_t errlen)
{
    return package_json_check(entries, count, text, len, version, nullptr, err, errlen);
}
