// The rules over access lists and the small text helpers of the protected
// files, on plain records: no Windows header, so the native build checks them.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "acl.h"

int acl_dir_is_protected(const acl_view *v)
{
    if (!v || !v->present || !v->is_protected)
        return 0;
    int system_inherits = 0, admins_inherit = 0;
    const unsigned both = ACL_OBJECT_INHERIT | ACL_CONTAINER_INHERIT;
    for (size_t i = 0; i < v->count; i++) {
        const acl_entry *e = &v->entries[i];
        if (!e->readable)
            return 0;
        if (e->type != ACL_ACE_ALLOWED)
            continue;  // a deny entry only takes rights away
        if (e->who == ACL_WHO_OTHER)
            return 0;
        if ((e->flags & both) == both) {
            if (e->who == ACL_WHO_SYSTEM)
                system_inherits = 1;
            else
                admins_inherit = 1;
        }
    }
    // Without an inheriting entry for each, new files inside would not be
    // protected even though the directory itself is.
    return system_inherits && admins_inherit;
}

int acl_fd_is_private(const acl_view *v)
{
    if (!v || !v->present)
        return 0;
    for (size_t i = 0; i < v->count; i++) {
        const acl_entry *e = &v->entries[i];
        if (!e->readable)
            return 0;
        // Reading attributes or the access list is harmless; data is not.
        if (e->type == ACL_ACE_ALLOWED && (e->mask & ACL_DATA_RIGHTS) && e->who == ACL_WHO_OTHER)
            return 0;
    }
    return 1;
}

int acl_format(char *buf, size_t size, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (!buf)
        size = 0;
    int n = vsnprintf(size ? buf : nullptr, size, fmt, ap);
    va_end(ap);
    return n;
}

int acl_template_ok(const char *tmpl)
{
    if (!tmpl)
        return 0;
    size_t len = strlen(tmpl);
    return len > 5 && strcmp(tmpl + len - 6, "XXXXXX") == 0;
}

void acl_name_from_random(char *out, const unsigned char random[6])
{
    static const char alphabet[] = ACL_NAME_ALPHABET;
    for (int i = 0; i < 6; i++)
        out[i] = alphabet[random[i] % (sizeof alphabet - 1)];
}
