// The component catalog components.json: a signed update manifest plus the
// product's components with their titles, defaults and requirements, and the
// oldest setup version that may use it. Loading it (and the plain update
// manifest) with replay protection per channel, closing a selection over the
// requirements, choosing one release and one package per component for this
// computer, and the computer's staged-rollout bucket.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "host_facts.h"
#include "manifest.h"
#include "state.h"
#include "updconf.h"

enum {
    CATALOG_MAX_COMPONENTS = 32,  // components in one catalog, and ids in one selection
    CATALOG_MAX_REQUIRES = 8,     // requirements of one component
    CATALOG_REASON_MAX = 300,     // buffer of the parser's reason, NUL included
    CATALOG_STATE_MSG_MAX = 200,  // buffer of the state writer's message, NUL included
    ROLLOUT_GUID_MAX = 256,       // buffer of the MachineGuid value, NUL included
    ROLLOUT_TEXT_MAX = 400        // buffer of "guid|version", NUL included
};

// The product every accepted document must name.
#define CATALOG_PRODUCT "orvantis"

// One component of the catalog. Every text points into the catalog's JSON tree.
struct catalog_component {
    const char *id;                              // component id, unique in the catalog
    const char *title;                           // display title; the id when the document has none
    const char *description;                     // description; "" when the document has none
    int32_t is_default;                          // 1: in the default selection ("default")
    int32_t is_required;                         // 1: always installed ("required")
    const char *requires[CATALOG_MAX_REQUIRES];  // ids of the components it needs
    size_t requires_count;                       // 0 to 8
};

// A parsed components.json: every field of the manifest it is, then its
// components. All-zero is the empty catalog; catalog_free releases the
// component array, the manifest part and the tree.
struct component_catalog : manifest {
    catalog_component *components;  // heap, in document order
    size_t component_count;         // 1 to 32 after a successful parse
    const char *min_setup;          // oldest setup version that may use it, or null
};

// The filter record of catalog_release_filter: the chosen ids and, filled by
// the filter, the package chosen for each.
struct catalog_filter {
    const char *const *ids;                                   // component ids
    size_t id_count;                                          // their number, at most 32
    const manifest_artifact *packages[CATALOG_MAX_COMPONENTS];  // package of ids[i]
};

// Fetches and verifies "components.json" of the configured channel, parses
// and checks it (product, channel, validity window at now, no replay on this
// channel), and records a new sequence or channel in st and, under
// updater.lock and over a fresh read of the file, in the state file (left
// alone while another process holds the lock). The document URL (the base
// of relative package URLs) goes to url_out. out
// must be empty. 0 with the catalog; -1 with a sentence in err, out empty and
// st as it was.
int catalog_load(const updater_config *cfg, updater_state *st, int64_t now,
                 component_catalog *out, char *url_out, size_t url_size, char *err,
                 size_t errlen);
// The same for "manifest.json" and the manifest's fields of the state.
int manifest_load(const updater_config *cfg, updater_state *st, int64_t now, manifest *out,
                  char *url_out, size_t url_size, char *err, size_t errlen);

// The steps of the loads after the fetch, without the state file: parse the
// verified text, check it, and set the sequence and channel in st when they
// are new (then *record is 1 and the caller writes the state; else 0).
// 0 with the document in out; -1 with a sentence in err, out empty and st
// unchanged.
int catalog_accept(const updater_config *cfg, updater_state *st, int64_t now, const char *text,
                   size_t len, component_catalog *out, int *record, char *err, size_t errlen);
int manifest_accept(const updater_config *cfg, updater_state *st, int64_t now, const char *text,
                    size_t len, manifest *out, int *record, char *err, size_t errlen);

// Parses a verified components.json of len bytes into out. 0, or -1 with the
// reason in msg (none when memory ran out) and out empty.
int catalog_parse(const char *text, size_t len, component_catalog *out, char *msg,
                  size_t msglen);
// Releases everything cat holds and zeroes it; an empty record is fine.
void catalog_free(component_catalog *cat);
// The component whose id equals id byte for byte, or null.
const catalog_component *catalog_find_component(const component_catalog *cat, const char *id);
// Closes the named components (any order, repeats allowed) and the required
// ones over their requirements, and writes their ids in catalog order to out
// (at most cap; they point into cat). 0 with *count set; -1 with a sentence.
int catalog_resolve_selection(const component_catalog *cat, const char *const *names, size_t n,
                              const char **out, size_t cap, size_t *count, char *err,
                              size_t errlen);
// Chooses the release to install for the n ids (at most 32) on this computer
// with release_choose and catalog_release_filter, and the package of each id
// in it into packages_out[i]. 0 with *release_out set and "%s is available"
// in msg; otherwise the RELEASE_* code with its sentence (2 without one for
// more than 32 ids or a missing package).
int catalog_choose_release(const component_catalog *cat, const char *const *ids, size_t n,
                           const host_facts *host, const char *installed,
                           const char *updater_version, unsigned bucket, unsigned flags,
                           const char *target, const manifest_release **release_out,
                           const manifest_artifact **packages_out, char *msg, size_t msglen);
// The best package of each id in release into packages_out[i]. 0, or -1 with
// the first id that has none in *missing (when missing is not null).
int catalog_pick_packages(const manifest_release *release, const host_facts *host,
                          const char *const *ids, size_t n,
                          const manifest_artifact **packages_out, const char **missing);
// The release_filter of the catalog; user is a catalog_filter. Fills its
// package slots and returns the package of the first id, or null when the
// release lacks a package for this computer for any id (or there are no ids).
const manifest_artifact *catalog_release_filter(const manifest_release *release,
                                                const host_facts *host, void *user);
// This computer's staged-rollout bucket (0 to 99) for a release version, from
// the MachineGuid in the registry ("unknown" when it cannot be read). Never
// fails.
unsigned rollout_bucket(const char *version);
// The bucket of a machine id and a version: the first four bytes of
// SHA-256("guid|version"), big-endian, modulo 100 (the text cut at 399 bytes).
unsigned rollout_bucket_for(const char *machine_guid, const char *version);
