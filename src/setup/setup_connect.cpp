// The catalog of the update server into the setup context, and the fallback
// to the setup's own server and channel.
#include "setup_connect.h"

#include <string.h>

#include "msg.h"
#include "setup_options.h"
#include "setup_report.h"
#include "setup_text.h"
#include "updconf.h"
#include "version.h"

enum { CONNECT_MSG = 600 };  // each attempt's message, translated in place

// The setup's own version, which a catalog's min_setup must not exceed.
static const char kSetupVersion[] = ORV_VERSION;

int setup_connect_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                       size_t errlen)
{
    if (ctx->catalog_loaded == 1)
        return 0;
    return setup_load_catalog_with(ctx, sys, err, errlen);
}

// 1 when a failed first attempt may be repeated with the setup's own server:
// the URL was not chosen in the answers file or on the command line, and the
// URL, or the channel when that was not chosen either, came from an old
// settings file and differs from the setup's own.
static int fallback_applies(const setup_context *ctx)
{
    const updater_config *cfg = &ctx->updater_config;
    if (ctx->url_set)
        return 0;
    if (strcmp(cfg->url, setup_builtin_url()) != 0)
        return 1;
    return !ctx->channel_set && strcmp(cfg->channel, updconf_default_channel()) != 0;
}

// One catalog_load with the context's settings and the given state; the
// message, translated, in msg.
static int attempt(setup_context *ctx, const setup_connect_sys *sys, updater_state *st,
                   int64_t now, char *msg)
{
    msg[0] = '\0';
    int rc = sys->catalog_load(&ctx->updater_config, st, now, &ctx->component_catalog,
                               ctx->catalog_url, sizeof ctx->catalog_url, msg, CONNECT_MSG);
    if (rc != 0) {
        // A document URL of a catalog that was not accepted is no base for
        // package URLs.
        ctx->catalog_url[0] = '\0';
        msg_localize(msg, CONNECT_MSG);
    }
    return rc;
}

// The second attempt: the setup's own server, the default channel unless
// "--channel" chose one, no pins unless "--ca-file" named some, only the
// built-in keys unless "--public-key" added some, and a copy of the state
// without replay baselines, since the old server's sequences say nothing
// about this one's. 0 with the changed settings kept; -1 with both messages
// in err and every setting as before.
static int fall_back(setup_context *ctx, const setup_connect_sys *sys, const updater_state *st,
                     int64_t now, const char *first, const updater_config *before,
                     int *server_replaced, char *err, size_t errlen)
{
    updater_config *cfg = &ctx->updater_config;
    const char *own_url = setup_builtin_url();
    *server_replaced = strcmp(cfg->url, own_url) != 0;
    setup_snprintf(cfg->url, sizeof cfg->url, "%s", own_url);
    if (!ctx->channel_set)
        setup_snprintf(cfg->channel, sizeof cfg->channel, "%s", updconf_default_channel());
    if (!ctx->ca_file_set)
        cfg->ca_file[0] = '\0';
    if (!ctx->public_key_set) {
        updater_config defaults;
        updconf_defaults(&defaults);
        memcpy(cfg->public_keys, defaults.public_keys, sizeof cfg->public_keys);
        cfg->key_count = defaults.key_count;
    }

    updater_state fresh = *st;
    fresh.last_sequence = 0;
    fresh.last_catalog_sequence = 0;
    char second[CONNECT_MSG];
    if (attempt(ctx, sys, &fresh, now, second) == 0)
        return 0;

    *cfg = *before;
    if (*server_replaced)
        setup_error(err, errlen,
                    "%s (der eigene Update-Server des Setups %s ist ebenfalls fehlgeschlagen: %s)",
                    first, own_url, second);
    else
        setup_error(err, errlen,
                    "%s (der eigene Kanal des Setups %s ist ebenfalls fehlgeschlagen: %s)", first,
                    updconf_default_channel(), second);
    return -1;
}

int setup_load_catalog_with(setup_context *ctx, const setup_connect_sys *sys, char *err,
                            size_t errlen)
{
    // A catalog of an earlier load goes first: the loader fills only an
    // empty record.
    catalog_free(&ctx->component_catalog);
    ctx->catalog_loaded = 0;
    updater_config *cfg = &ctx->updater_config;
    if (cfg->url[0] == '\0') {
        setup_error(err, errlen, "Dieses Setup kennt keinen Update-Server (--url <https://...>)");
        return -1;
    }
    updater_state st;
    sys->state_read(cfg, &st);
    const int64_t now = sys->now();

    // A complete copy: a failed attempt must leave every setting as it was.
    const updater_config before = *cfg;
    int fell_back = 0, server_replaced = 0;
    char first[CONNECT_MSG];
    if (attempt(ctx, sys, &st, now, first) != 0) {
        if (!fallback_applies(ctx)) {
            setup_error(err, errlen, "%s", first);
            return -1;
        }
        if (fall_back(ctx, sys, &st, now, first, &before, &server_replaced, err, errlen) != 0)
            return -1;
        fell_back = 1;
    }

    // An invalid min_setup compares as equal and passes.
    const char *min = ctx->component_catalog.min_setup;
    if (min && version_compare(min, kSetupVersion) > 0) {
        setup_error(err, errlen,
                    "Dieses Setup (%s) ist für den aktuellen Katalog zu alt (nötig ist %s oder "
                    "neuer). Bitte das Setup neu herunterladen",
                    kSetupVersion, min);
        catalog_free(&ctx->component_catalog);
        ctx->catalog_url[0] = '\0';
        *cfg = before;
        return -1;
    }

    // Said only once the catalog is accepted: a run that ends here with an
    // error has not moved to the setup's own server.
    if (fell_back && server_replaced)
        setup_report(ctx,
                     "Der Update-Server %s aus der bisherigen Konfiguration ist nicht erreichbar; "
                     "verwendet wird %s",
                     before.url, cfg->url);
    else if (fell_back)
        setup_report(ctx,
                     "Der Kanal %s aus der bisherigen Konfiguration gehört zu einer älteren "
                     "Version; verwendet wird der Kanal %s",
                     before.channel, cfg->channel);
    ctx->catalog_loaded = 1;
    return 0;
}
