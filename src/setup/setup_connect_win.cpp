// Connecting to the update server: the catalog over HTTPS into the context.
#include <string.h>

#include "catalog.h"
#include "msg.h"
#include "setup_connect.h"
#include "setup_options.h"
#include "setup_report.h"
#include "state.h"
#include "sys_clock.h"
#include "updconf.h"

enum { CONNECT_MSG = 600 };

int setup_connect(setup_context *ctx, char *err, size_t errlen)
{
    // One catalog per run: a second connect costs no network traffic.
    if (ctx->catalog_loaded)
        return 0;
    return setup_load_catalog(ctx, err, errlen);
}

// catalog_load into the context with the given state; the English sentence
// translated into msg (CONNECT_MSG bytes) on failure.
static int load(setup_context *ctx, updater_state *st, int64_t now, char *msg)
{
    catalog_free(&ctx->component_catalog);
    msg[0] = '\0';
    int rc = catalog_load(&ctx->updater_config, st, now, &ctx->component_catalog,
                          ctx->catalog_url, sizeof ctx->catalog_url, msg, CONNECT_MSG);
    if (rc != 0)
        msg_localize(msg, CONNECT_MSG);
    return rc;
}

// The retry on the setup's own server or channel after a first failure with
// the translated message first. 0 with a report line; -1 with both messages
// in err and every setting as before.
static int load_fallback(setup_context *ctx, const updater_state *st, int64_t now, int kind,
                         const char *first, char *err, size_t errlen)
{
    updater_config saved = ctx->updater_config;
    setup_fallback_settings(ctx);
    // The setup's own server has its own sequences: both replay baselines
    // start over, whatever the old server served.
    updater_state fresh = *st;
    fresh.last_sequence = 0;
    fresh.last_catalog_sequence = 0;
    char second[CONNECT_MSG];
    if (load(ctx, &fresh, now, second) != 0) {
        ctx->updater_config = saved;
        if (kind == SETUP_FALLBACK_SERVER)
            setup_error(err, errlen,
                        "%s (der eigene Update-Server des Setups %s ist ebenfalls fehlgeschlagen: "
                        "%s)",
                        first, setup_builtin_url(), second);
        else
            setup_error(err, errlen,
                        "%s (der eigene Kanal des Setups %s ist ebenfalls fehlgeschlagen: %s)",
                        first, updconf_default_channel(), second);
        return -1;
    }
    if (kind == SETUP_FALLBACK_SERVER)
        setup_report(ctx,
                     "Der Update-Server %s aus der bisherigen Konfiguration ist nicht erreichbar; "
                     "verwendet wird %s",
                     saved.url, ctx->updater_config.url);
    else
        setup_report(ctx,
                     "Der Kanal %s aus der bisherigen Konfiguration gehört zu einer älteren "
                     "Version; verwendet wird der Kanal %s",
                     saved.channel, ctx->updater_config.channel);
    return 0;
}

int setup_load_catalog(setup_context *ctx, char *err, size_t errlen)
{
    if (!ctx->updater_config.url[0]) {
        setup_error(err, errlen, "Dieses Setup kennt keinen Update-Server (--url <https://...>)");
        return -1;
    }
    // A missing or unreadable state file is no replay baseline at all.
    updater_state st;
    memset(&st, 0, sizeof st);
    state_read(&ctx->updater_config, &st);
    int64_t now = sys_time_now();
    char first[CONNECT_MSG];
    if (load(ctx, &st, now, first) != 0) {
        int kind = setup_fallback_kind(ctx);
        if (kind == SETUP_FALLBACK_NONE) {
            setup_error(err, errlen, "%s", first);
            return -1;
        }
        if (load_fallback(ctx, &st, now, kind, first, err, errlen) != 0)
            return -1;
    }
    if (setup_check_min_setup(ctx->component_catalog.min_setup, err, errlen) != 0) {
        catalog_free(&ctx->component_catalog);
        return -1;
    }
    ctx->catalog_loaded = 1;
    return 0;
}
