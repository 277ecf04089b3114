// Connecting to the update server: the signed component catalog into the
// setup context, with one fallback to the setup's own server and channel when
// an old updater.conf named them, and the refusal of a catalog that needs a
// newer setup.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "catalog.h"
#include "setup_context.h"
#include "state.h"

// The calls of the connect step that leave the process: the state file, the
// catalog fetch and the clock. The Windows build passes the real ones; tests
// pass their own to see which settings each attempt used.
struct setup_connect_sys {
    // state_read: the updater's state, or the empty state; always 0.
    int (*state_read)(const updater_config *cfg, updater_state *st);
    // catalog_load: fetch, verify, parse and check the catalog, record a new
    // sequence in st and the state file. 0, or -1 with an English sentence.
    int (*catalog_load)(const updater_config *cfg, updater_state *st, int64_t now,
                        component_catalog *out, char *url_out, size_t url_size, char *err,
                        size_t errlen);
    // Seconds since 1970 (UTC).
    int64_t (*now)(void);
};

// Loads the catalog into ctx unless it is loaded already (then 0 at once, no
// traffic). 0 with catalog_loaded 1; -1 with a German message in err (nothing
// written when err is null or errlen 0).
int setup_connect(setup_context *ctx, char *err, size_t errlen);
// One attempt, and the fallback when it applies: 0 with the catalog, its URL
// and catalog_loaded 1 in ctx (a fallback that was needed changes
// updater_config and adds a report line); -1 with a German message, the
// catalog empty and updater_config exactly as before.
int setup_load_catalog(setup_context *ctx, char *err, size_t errlen);
// setup_connect and setup_load_catalog with the given calls.
int setup_connect_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                       size_t errlen);
int setup_load_catalog_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                            size_t errlen);
