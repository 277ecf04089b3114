// The update manifest: a signed document of releases and their packages
// ("artifacts"), its checks against this installation, the matching of a
// package to this computer and the choice of the release to install.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "host_facts.h"
#include "json.h"

// Limits of a manifest document.
enum {
    MANIFEST_MAX_RELEASES = 512,  // releases in one document
    MANIFEST_MAX_ARTIFACTS = 64,  // artifacts in one release
    MANIFEST_MAX_URL = 2000       // characters of an artifact's url
};
// Largest artifact size in bytes (2 GiB).
#define MANIFEST_MAX_SIZE 2147483648LL
// How far in the future a document's issue time may lie, in seconds.
#define MANIFEST_CLOCK_SLACK 86400

// Flags of release_choose.
enum {
    RELEASE_ALLOW_DOWNGRADE = 1,  // a target older than the installed version may be chosen
    RELEASE_ALLOW_MAJOR = 2       // a new major version may be chosen
};

// Results of release_choose.
enum {
    RELEASE_CHOSEN = 0,      // choice holds the release and its artifact
    RELEASE_UP_TO_DATE = 1,  // nothing to install (also: held back major, refused downgrade)
    RELEASE_NO_SYSTEM = 2,   // newer releases exist, none for this computer or updater
    RELEASE_ROLLOUT = 3,     // a newer release is not yet offered to this computer
    RELEASE_BLOCKED = 4      // the newer releases are blocked
};

// One downloadable package of a release. Texts and values point into the
// manifest's JSON tree.
struct manifest_artifact {
    const char *url;             // absolute https URL or safe relative reference
    const char *sha256;          // 64 hex digits, either case
    uint64_t size;               // bytes, 1 to 2 GiB
    const json_value *match;     // the "match" object, borrowed from the tree
    const json_value *requires;  // "requires" or null, carried uninterpreted
    int32_t bundled_libs;        // 1 when "bundled_libs" is true, else 0
    const char *component;       // valid component id, or null when absent
};

// One release of the document.
struct manifest_release {
    const char *version;           // valid version text
    const char *notes;             // "notes", or null when absent or not a string
    const char *min_updater;       // oldest updater that may install it, or null
    uint32_t rollout_percent;      // 0 to 100; 100 when absent
    manifest_artifact *artifacts;  // owned, in document order
    size_t artifact_count;         // 1 to 64 after a successful parse
};

// A parsed update document; owned by its caller, released with manifest_free.
// All-zero is the empty record.
struct manifest {
    json_value *root;               // the parsed document; every text below points into it
    const char *product;            // "product"
    const char *channel;            // "channel"
    int64_t sequence;               // "sequence", 0 or more
    int64_t issued;                 // seconds since 1970
    int64_t expires;                // seconds since 1970, after issued
    const char **blocked_versions;  // owned array of the "blocked_versions" texts
    size_t blocked_count;           // their number
    manifest_release *releases;     // owned, in document order
    size_t release_count;           // 1 to 512 after a successful parse
};

// What release_choose picked; both point into the manifest.
struct release_choice {
    const manifest_release *release;    // the chosen release, or null
    const manifest_artifact *artifact;  // the filter's artifact for it, or null
};

// Picks the artifact to install from a release for this computer, or null
// when the release has nothing for it.
typedef const manifest_artifact *(*release_filter)(const manifest_release *release,
                                                   const host_facts *hf, void *user);

// Parses and validates a document of len bytes into m. Returns 0, or -1 with
// a sentence in err (none when memory ran out) and m zeroed with nothing left
// allocated.
int manifest_parse(const char *text, size_t len, manifest *m, char *err, size_t errlen);
// Releases everything m holds and zeroes it; a zeroed record or null is fine.
void manifest_free(manifest *m);
// Checks a parsed document against the expected product and channel, the
// time now and the last sequence seen on this channel. 0 accepted, -1 refused
// with a sentence in err.
int manifest_check(const manifest *m, const char *product, const char *channel, int64_t now,
                   int64_t last_sequence, char *err, size_t errlen);
// 1 for a component id (1 to 31 characters, a lower-case letter first, then
// lower-case letters, digits, "_" or "-"), else 0; null gives 0.
int id_is_valid(const char *id);
// 1 for the wide id form (1 to 63 characters, a lower-case letter or digit
// first, the rest as in id_is_valid), else 0; null gives 0.
int id_is_valid_64(const char *id);
// 1 when the artifact's match object suits the computer hf describes, with
// its score (priority * 100 + satisfied members) in *score; 0 when it does
// not, with *score 0. score may be null.
int artifact_match(const manifest_artifact *a, const host_facts *hf, int *score);
// The release's matching artifact with the highest score (the earlier one on
// a tie), or null; the default release_filter. user is ignored.
const manifest_artifact *artifact_choose_best(const manifest_release *release,
                                              const host_facts *hf, void *user);
// Chooses the release to install (RELEASE_* result) under the blocked list,
// the updater version, the filter, the major and rollout rules, a target
// version and flags (RELEASE_ALLOW_*). installed, updater_version and target
// may be null; bucket is 0 to 99. The sentence goes to err (none when memory
// ran out, which gives RELEASE_NO_SYSTEM); choice points into m.
int release_choose(const manifest *m, const host_facts *hf, const char *installed,
                   const char *updater_version, unsigned bucket, unsigned flags,
                   const char *target, release_filter filter, void *user,
                   release_choice *choice, char *err, size_t errlen);
// release_choose with artifact_choose_best as the filter.
int release_choose_default(const manifest *m, const host_facts *hf, const char *installed,
                           const char *updater_version, unsigned bucket, unsigned flags,
                           const char *target, release_choice *choice, char *err,
                           size_t errlen);
// Sort comparator over pointers to release pointers: newer version first.
int manifest_release_cmp(const void *a, const void *b);
// Compares dotted decimal numbers ("2.31" and "2.4.1"): -1, 0 or 1. A side
// that ends early counts its missing parts as 0; null reads as empty.
int version_cmp_numeric(const char *a, const char *b);
