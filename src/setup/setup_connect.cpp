// The decisions of connecting that need no network: whether and how the
// setup falls back to its own server, and the catalog's minimum setup version.
#include "setup_connect.h"

#include <string.h>

#include "setup_options.h"
#include "setup_report.h"
#include "updconf.h"
#include "version.h"

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
