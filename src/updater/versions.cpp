// The decisions of the version directories and the switch that need no
// file system: the settings copy, which names are moved-aside files or old
// versions, which errors are worth another try, and what a successful
// installation records, and the journal's modes and lines.
#include "versions.h"

#include <string.h>

#include "selftest.h"
#include "state.h"
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
        update_format(st->previous_version, sizeof st->previous_version, "%s", previous);
    update_format(st->installed_version, sizeof st->installed_version, "%s", version);
    update_format(st->components, sizeof st->components, "%s", components ? components : "");
}

// The journal's names of the modes, indexed by versions_mode.
static const char *const mode_names[] = {"install", "update", "rollback", "adopt"};

const char *versions_mode_name(int mode)
{
    if (mode < 0 || mode >= (int)(sizeof mode_names / sizeof mode_names[0]))
        return NULL;
    return mode_names[mode];
}

int versions_mode_of(const char *name)
{
    for (int i = 0; i < (int)(sizeof mode_names / sizeof mode_names[0]); i++)
        if (name && strcmp(name, mode_names[i]) == 0)
            return i;
    return -1;
}

int versions_record_mode(updater_state *st, int mode, const char *version, const char *previous,
                         const char *components)
{
    const char *prev = previous ? previous : "";
    // What the state could not write back is never recorded: a record the
    // writer refuses would leave the programs live and the state behind for
    // good, and a previous version with a blank in it would be a new word
    // of the failed versions each time it is recorded.
    if (!version || !version_is_valid(version) || (prev[0] && !version_is_valid(prev)) ||
        (mode == VERSIONS_INSTALL && !state_components_readable(components ? components : "")))
        return -1;
    switch (mode) {
    case VERSIONS_INSTALL:
        versions_record_success(st, version, prev, components);
        return 0;
    case VERSIONS_UPDATE:
        // The same version put live again leaves the one to go back to:
        // naming itself would lose that version to the pruning.
        if (!prev[0] || strcmp(prev, version) != 0)
            update_format(st->previous_version, sizeof st->previous_version, "%s", prev);
        break;
    case VERSIONS_ROLLBACK:
        // The version left behind is not offered again unless forced.
        failed_versions_add(st, prev);
        update_format(st->previous_version, sizeof st->previous_version, "%s", prev);
        break;
    case VERSIONS_ADOPT:
        if (prev[0] && strcmp(prev, version) != 0)
            update_format(st->previous_version, sizeof st->previous_version, "%s", prev);
        break;
    default:
        return -1;
    }
    update_format(st->installed_version, sizeof st->installed_version, "%s", version);
    return 0;
}

int versions_journal_fields(char *line, char **fields, int max)
{
    int n = 0;
    char *p = line;
    while (n < max) {
        fields[n++] = p;
        char *tab = strchr(p, '\t');
        if (!tab)
            break;
        *tab = '\0';
        p = tab + 1;
    }
    return n;
}
