// Connecting to the update server: the catalog loaded into the setup context,
// with one retry on the setup's own server and channel when an old
// updater.conf named them, and the catalog's minimum setup version.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "catalog.h"
#include "setup_context.h"
#include "state.h"

// What the retry replaces (setup_fallback_kind).
enum {
    SETUP_FALLBACK_NONE = 0,    // no retry: the choice was explicit or is the setup's own
    SETUP_FALLBACK_SERVER = 1,  // the server (and a channel not given) are replaced
    SETUP_FALLBACK_CHANNEL = 2  // the built-in server stays; only the channel is replaced
};

// The calls of the connect step that leave the process: the state file, the
// catalog fetch and the clock. The Windows build passes the real ones; tests
// pass their own to see what each attempt was given.
struct setup_connect_sys {
    // state_read: the updater's state, or the empty state; always 0.
    int (*state_read)(const updater_config *cfg, updater_state *st);
    // catalog_load: fetch, verify, parse and check the catalog into an empty
    // record, record a new sequence in st and the state file. 0, or -1 with
    // an English sentence.
    int (*catalog_load)(const updater_config *cfg, updater_state *st, int64_t now,
                        component_catalog *out, char *url_out, size_t url_size, char *err,
                        size_t errlen);
    // Seconds since 1970 (UTC).
    int64_t (*now)(void);
};

// 0 when the catalog is loaded (at once when it was loaded before in this
// run); -1 with a German message in err (nothing written when err is null or
// errlen 0).
int setup_connect(setup_context *ctx, char *err, size_t errlen);
// Loads and accepts the catalog as setup_connect does, without looking at
// catalog_loaded first (a catalog held from before is released). 0 with the
// catalog, its URL and catalog_loaded 1; a retry that was needed changes the
// engine's settings for the rest of the run and adds a report line. -1 with a
// German message, the catalog and its URL empty and the engine's settings as
// they were.
int setup_load_catalog(setup_context *ctx, char *err, size_t errlen);
// setup_connect and setup_load_catalog with the given calls.
int setup_connect_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                       size_t errlen);
int setup_load_catalog_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                            size_t errlen);

// ---- pure decisions, shared with the loading part ----------------------------

// Whether a failed first attempt is retried: only when "--url" was not given
// and the URL, or (without "--channel") the channel, differs from the setup's
// own, that is, came from an old settings file.
int setup_fallback_kind(const setup_context *ctx);
// The settings of the retry: the built-in URL, the default channel unless
// "--channel" was given, no CA file unless "--ca-file" was given, and only the
// built-in keys unless "--public-key" was given.
void setup_fallback_settings(setup_context *ctx);
// 0 when this setup may use a catalog with the minimum setup version
// min_setup (null: none; an invalid one passes); -1 with the German message.
int setup_check_min_setup(const char *min_setup, char *err, size_t errlen);
