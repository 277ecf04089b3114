// Connecting to the update server: the catalog loaded into the setup context,
// with one retry on the setup's own server and channel when an old
// updater.conf named them, and the catalog's minimum setup version.
#pragma once
#include <stddef.h>

#include "setup_context.h"

// What the retry replaces (setup_fallback_kind).
enum {
    SETUP_FALLBACK_NONE = 0,    // no retry: the choice was explicit or is the setup's own
    SETUP_FALLBACK_SERVER = 1,  // the server (and a channel not given) are replaced
    SETUP_FALLBACK_CHANNEL = 2  // the built-in server stays; only the channel is replaced
};

// 0 when the catalog is loaded (at once when it was loaded before in this
// run); -1 with a German message in err.
int setup_connect(setup_context *ctx, char *err, size_t errlen);
// Loads and accepts the catalog as setup_connect does, without looking at
// catalog_loaded first. 0, or -1 with a German message in err; a failure
// leaves the catalog empty and the engine's settings as they were.
int setup_load_catalog(setup_context *ctx, char *err, size_t errlen);

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
