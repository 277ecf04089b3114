// Component choice: availability on this computer, presets and comma lists,
// the closed selection and the texts shown for it.
#include "setup_choice.h"

#include <stdio.h>
#include <string.h>

#include "catalog.h"
#include "setup_report.h"
#include "setup_text.h"
#include "version.h"

// The setup's own version stands in for the updater version of a release's
// minimum-updater rule.
static const char kSetupVersion[] = ORV_VERSION;
// Release choice flags of the setup: a pinned older release may be chosen.
static const unsigned kChooseFlags = RELEASE_ALLOW_DOWNGRADE;

int list_contains(const char *list, const char *id)
{
    size_t n = strlen(id);
    const char *p = list;
    for (;;) {
        while (*p == ' ')
            p++;
        if (strncmp(p, id, n) == 0 && (p[n] == '\0' || p[n] == ' ' || p[n] == ','))
            return 1;
        p = strchr(p, ',');
        if (!p)
            return 0;
        p++;
    }
}

const char *setup_newest_version(const component_catalog *cat)
{
    const char *best = nullptr;
    for (size_t i = 0; i < cat->release_count; i++) {
        const char *v = cat->releases[i].version;
        if (!best || version_compare(v, best) > 0)
            best = v;
    }
    return best;
}

// Chooses the release for the ids as the setup does: no installed version,
// this setup's version, this computer's bucket for the newest release, pinned
// by target_version. 0 with the packages (one slot per id), else the choice's
// non-zero code.
static int choose_for(setup_context *ctx, const char *const *ids, size_t n,
                      const manifest_artifact **packages)
{
    const component_catalog *cat = &ctx->component_catalog;
    const char *newest = setup_newest_version(cat);
    unsigned bucket = setup_choice_calls.rollout_bucket(newest ? newest : "");
    const char *pin = ctx->target_version[0] ? ctx->target_version : nullptr;
    const manifest_release *release = nullptr;
    char msg[300];
    return catalog_choose_release(cat, ids, n, &ctx->host_facts, nullptr, kSetupVersion, bucket,
                                  kChooseFlags, pin, &release, packages, msg, sizeof msg);
}

// 1 when the Hyper-V rule keeps the component off this computer: the role is
// missing and the component is not installed already. reason gets the check's
// reason.
static int role_missing(setup_context *ctx, const char *id, char *reason, size_t size)
{
    return !setup_choice_calls.hyperv_present(id, reason, size) &&
           !list_contains(ctx->installed_components, id);
}

int setup_component_available(setup_context *ctx, size_t index)
{
    const component_catalog *cat = &ctx->component_catalog;
    if (!ctx->catalog_loaded || index >= cat->component_count)
        return 0;
    const char *id = cat->components[index].id;
    char reason[SETUP_REASON_SIZE];
    if (role_missing(ctx, id, reason, sizeof reason))
        return 0;
    const manifest_artifact *package = nullptr;
    return choose_for(ctx, &id, 1, &package) == 0 ? 1 : 0;
}

// The index of the component whose id equals item exactly, or -1.
static long component_index(setup_context *ctx, const char *item)
{
    const component_catalog *cat = &ctx->component_catalog;
    const catalog_component *c = catalog_find_component(cat, item);
    return c ? (long)(c - cat->components) : -1;
}

// Walks the items of a comma list: leading blanks skipped, an empty item
// after a trailing "," ends the list. strict: an unknown or unavailable item
// fails with its message; otherwise it is skipped.
static int select_items(setup_context *ctx, const char *list, int strict, char *err,
                        size_t errlen)
{
    char work[SETUP_LIST_WORK];
    setup_snprintf(work, sizeof work, "%s", list);
    char *p = work;
    if (!*p)
        return 0;
    for (;;) {
        while (*p == ' ')
            p++;
        char *comma = strchr(p, ',');
        if (comma)
            *comma = '\0';
        if (!*p && !comma)
            return 0;
        long i = component_index(ctx, p);
        if (i < 0) {
            if (strict) {
                setup_error(err, errlen, "Unbekannte Komponente „%s“ (siehe --list-components)", p);
                return -1;
            }
        } else if (setup_component_available(ctx, (size_t)i)) {
            ctx->selected[i] = 1;
        } else if (strict) {
            char reason[SETUP_REASON_SIZE];
            if (role_missing(ctx, p, reason, sizeof reason))
                setup_error(err, errlen, "Die Komponente „%s“ passt nicht zu diesem Rechner: %s",
                            p, reason);
            else
                setup_error(err, errlen, "Die Komponente „%s“ gibt es für dieses System nicht", p);
            return -1;
        }
        if (!comma)
            return 0;
        p = comma + 1;
    }
}

int setup_select_list(setup_context *ctx, const char *list, char *err, size_t errlen)
{
    return select_items(ctx, list, 1, err, errlen);
}

int setup_select_list_strict(setup_context *ctx, const char *list, char *err, size_t errlen)
{
    return select_items(ctx, list, 1, err, errlen);
}

int setup_select_list_lenient(setup_context *ctx, const char *list)
{
    select_items(ctx, list, 0, nullptr, 0);
    return 0;
}

int setup_apply_preset(setup_context *ctx, const char *name, char *err, size_t errlen)
{
    memset(ctx->selected, 0, sizeof ctx->selected);
    if (strcmp(name, "client") == 0)
        return setup_select_list_lenient(ctx, "core,agent,restore,sched,console");
    if (strcmp(name, "server") == 0)
        return setup_select_list_lenient(ctx, "core,target,maintenance,monitor");
    if (strcmp(name, "installed") == 0)
        return setup_select_list_lenient(ctx, ctx->installed_components);
    if (strcmp(name, "all") == 0) {
        for (size_t i = 0; i < ctx->component_catalog.component_count; i++)
            if (setup_component_available(ctx, i))
                ctx->selected[i] = 1;
        return 0;
    }
    setup_error(err, errlen, "Unbekannte Vorauswahl „%s“ (client, server, all)", name);
    return -1;
}

int setup_apply_selection_options(setup_context *ctx, char *err, size_t errlen)
{
    // Each applies once per run, so a second flow in the same process does not
    // select again; "--components" adds to what the preset chose.
    if (ctx->preset[0]) {
        if (setup_apply_preset(ctx, ctx->preset, err, errlen) != 0)
            return -1;
        ctx->preset[0] = '\0';
    }
    if (ctx->component_list[0]) {
        if (setup_select_list(ctx, ctx->component_list, err, errlen) != 0)
            return -1;
        ctx->component_list[0] = '\0';
    }
    return 0;
}

// The selection closed over requirements into ids (32 slots). Returns their
// number; 0 without a catalog or when the closure fails.
static size_t resolve(setup_context *ctx, const char **ids)
{
    if (!ctx->catalog_loaded)
        return 0;
    const component_catalog *cat = &ctx->component_catalog;
    const char *chosen[SETUP_MAX_COMPONENTS];
    size_t n = 0;
    for (size_t i = 0; i < cat->component_count && i < SETUP_MAX_COMPONENTS; i++)
        if (ctx->selected[i])
            chosen[n++] = cat->components[i].id;
    size_t count = 0;
    char msg[64];
    if (catalog_resolve_selection(cat, chosen, n, ids, SETUP_MAX_COMPONENTS, &count, msg,
                                  sizeof msg) != 0)
        return 0;
    return count;
}

void setup_resolved_list(setup_context *ctx, char *out, size_t outlen)
{
    if (!outlen)
        return;
    out[0] = '\0';
    const char *ids[SETUP_MAX_COMPONENTS];
    size_t n = resolve(ctx, ids);
    size_t used = 0;
    for (size_t i = 0; i < n && used < outlen - 1; i++) {
        int w = setup_snprintf(out + used, outlen - used, "%s%s", i ? "," : "", ids[i]);
        used = w < 0 ? outlen - 1 : used + (size_t)w;
    }
}

uint64_t setup_download_size(setup_context *ctx)
{
    const char *ids[SETUP_MAX_COMPONENTS];
    size_t n = resolve(ctx, ids);
    if (!n)
        return 0;
    const manifest_artifact *packages[SETUP_MAX_COMPONENTS] = {};
    if (choose_for(ctx, ids, n, packages) != 0)
        return 0;
    uint64_t total = 0;
    for (size_t i = 0; i < n; i++)
        if (packages[i])
            total += packages[i]->size;
    return total;
}
