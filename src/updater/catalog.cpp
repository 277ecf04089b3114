// The component catalog on text and records: parsing, the acceptance of a
// verified document, selection, release and package choice, and the bucket
// arithmetic. The loads and the registry read are in catalog_win.cpp.
#include "catalog.h"

#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/evp.h>

#include "json.h"
#include "sha256.h"
#include "update.h"
#include "version.h"

// The lowest score a matching package may have and still be chosen.
static const int catalog_no_score = -1000000;

// Reads one element of "components" into c; 0, or -1 with the reason.
static int parse_component(const component_catalog *cat, size_t index, const json_value *v,
                           catalog_component *c, char *msg, size_t msglen)
{
    const char *id = json_string(json_object_get(v, "id"));
    if (!id_is_valid(id)) {
        update_error(msg, msglen, "catalog has a component with an invalid id");
        return -1;
    }
    for (size_t i = 0; i < index; i++) {
        if (strcmp(cat->components[i].id, id) == 0) {
            update_error(msg, msglen, "duplicate component %s", id);
            return -1;
        }
    }
    c->id = id;
    // A member of another type counts as absent.
    const char *title = json_string(json_object_get(v, "title"));
    const char *description = json_string(json_object_get(v, "description"));
    c->title = title ? title : id;
    c->description = description ? description : "";
    int flag = 0;
    c->is_default = json_bool(json_object_get(v, "default"), &flag) ? flag : 0;
    flag = 0;
    c->is_required = json_bool(json_object_get(v, "required"), &flag) ? flag : 0;
    // json_array_len gives 0 for a "requires" that is no array.
    const json_value *req = json_object_get(v, "requires");
    size_t n = json_array_len(req);
    if (n > CATALOG_MAX_REQUIRES) {
        update_error(msg, msglen, "component %s requires too many others", id);
        return -1;
    }
    for (size_t i = 0; i < n; i++) {
        const char *r = json_string(json_array_at(req, i));
        if (!id_is_valid(r)) {
            update_error(msg, msglen, "component %s has an invalid requires entry", id);
            return -1;
        }
        c->requires[i] = r;
    }
    c->requires_count = n;
    return 0;
}

// Checks what ties the components to each other and to the packages, and
// min_setup; 0, or -1 with the reason.
static int check_references(component_catalog *cat, char *msg, size_t msglen)
{
    for (size_t i = 0; i < cat->component_count; i++) {
        const catalog_component *c = &cat->components[i];
        for (size_t k = 0; k < c->requires_count; k++) {
            if (!catalog_find_component(cat, c->requires[k])) {
                update_error(msg, msglen, "a component requires the unknown component %s",
                             c->requires[k]);
                return -1;
            }
        }
    }
    for (size_t r = 0; r < cat->release_count; r++) {
        const manifest_release *rel = &cat->releases[r];
        for (size_t a = 0; a < rel->artifact_count; a++) {
            const char *comp = rel->artifacts[a].component;
            if (!comp || !catalog_find_component(cat, comp)) {
                update_error(msg, msglen, "release %s has a package without a known component",
                             rel->version);
                return -1;
            }
        }
    }
    const json_value *min_setup = json_object_get(cat->root, "min_setup");
    if (json_kind(min_setup) == JSON_STRING) {
        if (!version_is_valid(json_string(min_setup))) {
            update_error(msg, msglen, "catalog has an invalid min_setup");
            return -1;
        }
        cat->min_setup = json_string(min_setup);
    }
    return 0;
}

int catalog_parse(const char *text, size_t len, component_catalog *out, char *msg,
                  size_t msglen)
{
    memset(out, 0, sizeof *out);
    if (manifest_parse(text, len, out, msg, msglen) != 0)
        return -1;
    const json_value *list = json_object_get(out->root, "components");
    size_t n = json_array_len(list);
    if (json_kind(list) != JSON_ARRAY || n < 1 || n > CATALOG_MAX_COMPONENTS) {
        update_error(msg, msglen, "catalog has no valid component list");
        goto fail;
    }
    out->components = (catalog_component *)calloc(n, sizeof *out->components);
    if (!out->components)
        goto fail; // out of memory: no message
    for (size_t i = 0; i < n; i++) {
        if (parse_component(out, i, json_array_at(list, i), &out->components[i], msg, msglen) != 0)
            goto fail;
        out->component_count = i + 1;
    }
    if (check_references(out, msg, msglen) != 0)
        goto fail;
    return 0;
fail:
    catalog_free(out);
    return -1;
}

void catalog_free(component_catalog *cat)
{
    if (!cat)
        return;
    free(cat->components);
    manifest_free(cat);
    memset(cat, 0, sizeof *cat);
}

const catalog_component *catalog_find_component(const component_catalog *cat, const char *id)
{
    if (!cat || !id)
        return nullptr;
    for (size_t i = 0; i < cat->component_count; i++)
        if (strcmp(cat->components[i].id, id) == 0)
            return &cat->components[i];
    return nullptr;
}

int catalog_resolve_selection(const component_catalog *cat, const char *const *names, size_t n,
                              const char **out, size_t cap, size_t *count, char *err,
                              size_t errlen)
{
    *count = 0;
    // A parsed catalog holds at most 32 components.
    assert(cat->component_count <= CATALOG_MAX_COMPONENTS);
    if (cat->component_count > CATALOG_MAX_COMPONENTS) {
        update_error(err, errlen, "too many components");
        return -1;
    }
    unsigned char marked[CATALOG_MAX_COMPONENTS] = {0};
    for (size_t i = 0; i < cat->component_count; i++)
        marked[i] = cat->components[i].is_required != 0;
    for (size_t k = 0; k < n; k++) {
        const catalog_component *c = catalog_find_component(cat, names[k]);
        if (!c) {
            update_error(err, errlen, "unknown component %s", names[k] ? names[k] : "");
            return -1;
        }
        marked[c - cat->components] = 1;
    }
    // Passes in catalog order until one marks nothing new: at most one pass
    // per component, since each pass that goes on marks at least one more.
    for (bool grew = true; grew;) {
        grew = false;
        for (size_t i = 0; i < cat->component_count; i++) {
            if (!marked[i])
                continue;
            const catalog_component *c = &cat->components[i];
            for (size_t k = 0; k < c->requires_count; k++) {
                const catalog_component *r = catalog_find_component(cat, c->requires[k]);
                if (r && !marked[r - cat->components]) {
                    marked[r - cat->components] = 1;
                    grew = true;
                }
            }
        }
    }
    size_t m = 0;
    for (size_t i = 0; i < cat->component_count; i++) {
        if (!marked[i])
            continue;
        if (m == cap) {
            update_error(err, errlen, "too many components");
            return -1;
        }
        out[m++] = cat->components[i].id;
    }
    *count = m;
    return 0;
}

// The best package of component id in release for host: the highest
// artifact_match score above the floor, the earlier one on a tie; or null.
static const manifest_artifact *best_package(const manifest_release *release,
                                             const host_facts *host, const char *id)
{
    const manifest_artifact *best = nullptr;
    int best_score = catalog_no_score;
    for (size_t i = 0; i < release->artifact_count; i++) {
        const manifest_artifact *a = &release->artifacts[i];
        int score = 0;
        if (a->component && strcmp(a->component, id) == 0 && artifact_match(a, host, &score) &&
            score > best_score) {
            best = a;
            best_score = score;
        }
    }
    return best;
}

int catalog_pick_packages(const manifest_release *release, const host_facts *host,
                          const char *const *ids, size_t n,
                          const manifest_artifact **packages_out, const char **missing)
{
    for (size_t i = 0; i < n; i++) {
        packages_out[i] = best_package(release, host, ids[i]);
        if (!packages_out[i]) {
            if (missing)
                *missing = ids[i];
            return -1;
        }
    }
    return 0;
}

const manifest_artifact *catalog_release_filter(const manifest_release *release,
                                                const host_facts *host, void *user)
{
    catalog_filter *rec = (catalog_filter *)user;
    if (rec->id_count == 0 || rec->id_count > CATALOG_MAX_COMPONENTS)
        return nullptr;
    if (catalog_pick_packages(release, host, rec->ids, rec->id_count, rec->packages, nullptr) != 0)
        return nullptr;
    return rec->packages[0];
}

int catalog_choose_release(const component_catalog *cat, const char *const *ids, size_t n,
                           const host_facts *host, const char *installed,
                           const char *updater_version, unsigned bucket, unsigned flags,
                           const char *target, const manifest_release **release_out,
                           const manifest_artifact **packages_out, char *msg, size_t msglen)
{
    *release_out = nullptr;
    if (n > CATALOG_MAX_COMPONENTS)
        return RELEASE_NO_SYSTEM;
    catalog_filter rec;
    memset(&rec, 0, sizeof rec);
    rec.ids = ids;
    rec.id_count = n;
    release_choice choice;
    int rc = release_choose(cat, host, installed, updater_version, bucket, flags, target,
                            catalog_release_filter, &rec, &choice, msg, msglen);
    if (rc != RELEASE_CHOSEN)
        return rc;
    *release_out = choice.release;
    if (n == 0)
        return RELEASE_CHOSEN;
    // Chosen again for the release itself rather than taken from the
    // filter's slots, which hold whatever release the filter saw last.
    if (catalog_pick_packages(choice.release, host, ids, n, packages_out, nullptr) != 0)
        return RELEASE_NO_SYSTEM;
    return RELEASE_CHOSEN;
}

// The replay gate shared by both loads. The least acceptable sequence is the
// one last accepted, unless that was on another channel: a change of channel
// starts again from 0. A new sequence or channel is set in *seen_seq and
// seen_channel (64 bytes) and flagged in *record.
static int accept_sequence(const manifest *m, const updater_config *cfg, int64_t now,
                           int64_t *seen_seq, char *seen_channel, int *record, char *err,
                           size_t errlen)
{
    bool other_channel = strcmp(seen_channel, cfg->channel) != 0;
    int64_t least = seen_channel[0] && other_channel ? 0 : *seen_seq;
    if (manifest_check(m, CATALOG_PRODUCT, cfg->channel, now, least, err, errlen) != 0)
        return -1;
    if (m->sequence > least || other_channel) {
        *seen_seq = m->sequence;
        snprintf(seen_channel, sizeof cfg->channel, "%s", cfg->channel);
        *record = 1;
    }
    return 0;
}

// Parses a verified text as a catalog (into cat) or, when cat is null, as a
// manifest (into man), and passes it through the replay gate with the state
// fields of its kind. 0, or -1 with a sentence and the record empty.
static int accept_document(const updater_config *cfg, updater_state *st, int64_t now,
                           const char *text, size_t len, component_catalog *cat, manifest *man,
                           int *record, char *err, size_t errlen)
{
    static_assert(sizeof st->catalog_channel == sizeof cfg->channel, "channel fields differ");
    static_assert(sizeof st->sequence_channel == sizeof cfg->channel, "channel fields differ");
    *record = 0;
    char reason[CATALOG_REASON_MAX] = "";
    int rc = cat ? catalog_parse(text, len, cat, reason, sizeof reason)
                 : manifest_parse(text, len, man, reason, sizeof reason);
    if (rc != 0) {
        update_error(err, errlen, "the signed %s is malformed: %s",
                     cat ? "component catalog" : "manifest", reason);
        return -1;
    }
    if (cat)
        rc = accept_sequence(cat, cfg, now, &st->last_catalog_sequence, st->catalog_channel,
                             record, err, errlen);
    else
        rc = accept_sequence(man, cfg, now, &st->last_sequence, st->sequence_channel, record,
                             err, errlen);
    if (rc != 0) {
        if (cat)
            catalog_free(cat);
        else
            manifest_free(man);
    }
    return rc;
}

int catalog_accept(const updater_config *cfg, updater_state *st, int64_t now, const char *text,
                   size_t len, component_catalog *out, int *record, char *err, size_t errlen)
{
    return accept_document(cfg, st, now, text, len, out, nullptr, record, err, errlen);
}

int manifest_accept(const updater_config *cfg, updater_state *st, int64_t now, const char *text,
                    size_t len, manifest *out, int *record, char *err, size_t errlen)
{
    return accept_document(cfg, st, now, text, len, nullptr, out, record, err, errlen);
}

unsigned rollout_bucket_for(const char *machine_guid, const char *version)
{
    char text[ROLLOUT_TEXT_MAX];
    snprintf(text, sizeof text, "%s|%s", machine_guid, version ? version : "");
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int mdlen = 0;
    // A library that cannot hash cannot verify a signature either: fail the
    // same way as every other SHA-256 of the program.
    if (EVP_Digest(text, strlen(text), md, &mdlen, EVP_sha256(), nullptr) != 1 || mdlen != 32)
        sha256_fatal();
    uint32_t n = (uint32_t)md[0] << 24 | (uint32_t)md[1] << 16 | (uint32_t)md[2] << 8 | md[3];
    return n % 100;
}
