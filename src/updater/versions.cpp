// The decisions of the version directories and the switch that need no
// file system: the settings copy, which names are moved-aside files or old
// versions, which errors are worth another try, and what a successful
// installation records.
#include "versions.h"

#include <string.h>

#include "update.h"
#include "version.h"

// Turns every "/" of a NUL-terminated field into a backslash.
static void to_backslashes(char *s)
{
    for (; *s; s++)
        if (*s == '/')
            *s = '\\';
}

void versions_config_copy(const updater_config *cfg, updater_config *out)
{
    *out = *cfg;
    to_backslashes(out->install_dir);
    to_backslashes(out->state_dir);
}

int versions_stray_exempt(const char *name)
{
    return strstr(name, ".old-") != NULL || strstr(name, ".keep-") != NULL;
}

int versions_prune_candidate(const char *name, const char *keep, const char *keep_also)
{
    if (!version_is_valid(name))
        return 0;
    if (keep && strcmp(name, keep) == 0)
        return 0;
    if (keep_also && strcmp(name, keep_also) == 0)
        return 0;
    return 1;
}

int versions_transient_error(unsigned long error)
{
    // ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_ACCESS_DENIED: a
    // scanner that opened the file to look at it gives one of these until it
    // lets go.
    return error == 32 || error == 33 || error == 5;
}

void versions_record_success(updater_state *st, const char *version, const char *previous,
                             const char *components)
{
    int same = previous[0] != '\0' && strcmp(previous, version) == 0;
    if (!same)
        upd_format(st->previous_version, sizeof st->previous_version, "%s", previous);
    upd_format(st->installed_version, sizeof st->installed_version, "%s", version);
    upd_format(st->components, sizeof st->components, "%s", components ? components : "");
}
