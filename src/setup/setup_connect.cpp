// Connecting to the update server: the catalog into the setup context, the
// retry on the setup's own server or channel, and the minimum setup version.
// The fetch, the state file and the clock come in through setup_connect_sys.
#include "setup_connect.h"

#include <string.h>

#include "msg.h"
#include "setup_options.h"
#include "setup_report.h"
#include "updconf.h"
#include "version.h"

enum { CONNECT_MSG = 600 };  // each attempt's message, translated in place

int setup_fallback_kind(const setup_context *ctx)
{
    const updater_config *cfg = &ctx->updater_config;
    if (ctx->url_set)
        return SETUP_FALLBACK_NONE;
    if (strcmp(cfg->url, setup_builtin_url()) != 0)
        return SETUP_FALLBACK_SERVER;
    if (!ctx->channel_set && strcmp(cfg->channel, updconf_default_channel()) != 0)
        return SETUP_FALLBACK_CHANNEL;
    return SETUP_FALLBACK_NONE;
}

void setup_fallback_settings(setup_context *ctx)
{
    updater_config *cfg = &ctx->updater_config;
    setup_flow_snprintf(cfg->url, sizeof cfg->url, "%s", setup_builtin_url());
    if (!ctx->channel_set)
        setup_flow_snprintf(cfg->channel, sizeof cfg->channel, "%s", updconf_default_channel());
    if (!ctx->ca_file_set)
        cfg->ca_file[0] = '\0';
    if (!ctx->public_key_set) {
        // Keys of the old file are dropped; keys given as options keep the
        // whole list as it was.
        updater_config fresh;
        updconf_defaults(&fresh);
        memcpy(cfg->public_keys, fresh.public_keys, sizeof cfg->public_keys);
        cfg->key_count = fresh.key_count;
    }
}

int setup_check_min_setup(const char *min_setup, char *err, size_t errlen)
{
    if (min_setup && version_compare(min_setup, ORV_VERSION) > 0) {
        setup_error(err, errlen,
                    "Dieses Setup (%s) ist für den aktuellen Katalog zu alt (nötig ist %s oder "
                    "neuer). Bitte das Setup neu herunterladen",
                    ORV_VERSION, min_setup);
        return -1;
    }
    return 0;
}

int setup_connect_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                       size_t errlen)
{
    // One catalog per run: a second connect costs no network traffic.
    if (ctx->catalog_loaded == 1)
        return 0;
    return setup_load_catalog_with(ctx, sys, err, errlen);
}

// One catalog_load with the context's settings and the given state; the
// English sentence translated into msg (CONNECT_MSG bytes) on failure.
static int load(setup_context *ctx, const setup_connect_sys *sys, updater_state *st, int64_t now,
                char *msg)
{
    msg[0] = '\0';
    int rc = sys->catalog_load(&ctx->updater_config, st, now, &ctx->component_catalog,
                               ctx->catalog_url, sizeof ctx->catalog_url, msg, CONNECT_MSG);
    if (rc != 0) {
        // The address of a catalog that was not accepted is no base for
        // package URLs.
        ctx->catalog_url[0] = '\0';
        msg_localize(msg, CONNECT_MSG);
    }
    return rc;
}

// The retry on the setup's own server or channel after a first failure with
// the translated message first. The setup's own server has its own
// sequences, so the retry runs on a copy of the state whose two replay
// baselines are 0, whatever the old server served. 0 with the retry's
// settings in place; -1 with both messages in err (the caller restores the
// settings).
static int load_fallback(setup_context *ctx, const setup_connect_sys *sys,
                         const updater_state *st, int64_t now, int kind, const char *first,
                         char *err, size_t errlen)
{
    setup_fallback_settings(ctx);
    updater_state fresh = *st;
    fresh.last_sequence = 0;
    fresh.last_catalog_sequence = 0;
    char second[CONNECT_MSG];
    if (load(ctx, sys, &fresh, now, second) == 0)
        return 0;
    if (kind == SETUP_FALLBACK_SERVER)
        setup_error(err, errlen,
                    "%s (der eigene Update-Server des Setups %s ist ebenfalls fehlgeschlagen: %s)",
                    first, setup_builtin_url(), second);
    else
        setup_error(err, errlen,
                    "%s (der eigene Kanal des Setups %s ist ebenfalls fehlgeschlagen: %s)", first,
                    updconf_default_channel(), second);
    return -1;
}

int setup_load_catalog_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                            size_t errlen)
{
    // The loader fills only an empty record.
    catalog_free(&ctx->component_catalog);
    ctx->catalog_loaded = 0;
    if (!ctx->updater_config.url[0]) {
        setup_error(err, errlen, "Dieses Setup kennt keinen Update-Server (--url <https://...>)");
        return -1;
    }
    // A missing or unreadable state file is no replay baseline at all.
    updater_state st;
    memset(&st, 0, sizeof st);
    sys->state_read(&ctx->updater_config, &st);
    const int64_t now = sys->now();

    // A complete copy: a failed attempt leaves every setting as it was, so a
    // retry of the whole step (the wizard's) starts from the same place.
    const updater_config saved = ctx->updater_config;
    int kind = SETUP_FALLBACK_NONE;
    char first[CONNECT_MSG];
    if (load(ctx, sys, &st, now, first) != 0) {
        kind = setup_fallback_kind(ctx);
        if (kind == SETUP_FALLBACK_NONE) {
            setup_error(err, errlen, "%s", first);
            return -1;
        }
        if (load_fallback(ctx, sys, &st, now, kind, first, err, errlen) != 0) {
            ctx->updater_config = saved;
            return -1;
        }
    }
    if (setup_check_min_setup(ctx->component_catalog.min_setup, err, errlen) != 0) {
        catalog_free(&ctx->component_catalog);
        ctx->catalog_url[0] = '\0';
        ctx->updater_config = saved;
        return -1;
    }

    // Said only once the catalog is accepted: a run that ends with an error
    // has not moved to the setup's own server.
    if (kind == SETUP_FALLBACK_SERVER)
        setup_report(ctx,
                     "Der Update-Server %s aus der bisherigen Konfiguration ist nicht erreichbar; "
                     "verwendet wird %s",
                     saved.url, ctx->updater_config.url);
    else if (kind == SETUP_FALLBACK_CHANNEL)
        setup_report(ctx,
                     "Der Kanal %s aus der bisherigen Konfiguration gehört zu einer älteren "
                     "Version; verwendet wird der Kanal %s",
                     saved.channel, ctx->updater_config.channel);
    ctx->catalog_loaded = 1;
    return 0;
}
