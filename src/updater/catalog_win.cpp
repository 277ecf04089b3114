// The catalog and manifest loads (over the HTTPS client and the state file,
// both Windows-only) and the MachineGuid read of the rollout bucket.
#include "catalog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "signed.h"
#include "update.h"

// Writes the state that the accepted document changed. 0, or -1 with the
// writer's sentence in err and *st put back to before.
static int record_state(const updater_config *cfg, updater_state *st,
                        const updater_state *before, char *err, size_t errlen)
{
    char msg[CATALOG_STATE_MSG_MAX] = "";
    if (state_write(cfg, st, msg, sizeof msg) == 0)
        return 0;
    update_error(err, errlen, "%s", msg);
    *st = *before;
    return -1;
}

int catalog_load(const updater_config *cfg, updater_state *st, int64_t now,
                 component_catalog *out, char *url_out, size_t url_size, char *err,
                 size_t errlen)
{
    memset(out, 0, sizeof *out);
    char *text = nullptr;
    size_t len = 0;
    if (signed_fetch(cfg, "components.json", 1, &text, &len, url_out, url_size, err, errlen) != 0)
        return -1;
    updater_state before = *st;
    int record = 0;
    int rc = catalog_accept(cfg, st, now, text, len, out, &record, err, errlen);
    // The catalog keeps its own parsed copy of every text.
    free(text);
    if (rc == 0 && record && record_state(cfg, st, &before, err, errlen) != 0) {
        catalog_free(out);
        rc = -1;
    }
    return rc;
}

int manifest_load(const updater_config *cfg, updater_state *st, int64_t now, manifest *out,
                  char *url_out, size_t url_size, char *err, size_t errlen)
{
    memset(out, 0, sizeof *out);
    char *text = nullptr;
    size_t len = 0;
    if (signed_fetch(cfg, "manifest.json", 0, &text, &len, url_out, url_size, err, errlen) != 0)
        return -1;
    updater_state before = *st;
    int record = 0;
    int rc = manifest_accept(cfg, st, now, text, len, out, &record, err, errlen);
    free(text);
    if (rc == 0 && record && record_state(cfg, st, &before, err, errlen) != 0) {
        manifest_free(out);
        rc = -1;
    }
    return rc;
}

unsigned rollout_bucket(const char *version)
{
    char guid[ROLLOUT_GUID_MAX] = "unknown";
    DWORD size = sizeof guid;
    // Every computer without a readable value shares the bucket of
    // "unknown". The buffer is set again after a failure because its content
    // is then undefined (a value too long or of another type may have been
    // copied in part), and a bucket must not depend on that.
    LSTATUS rc = RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography",
                              "MachineGuid", RRF_RT_REG_SZ, nullptr, guid, &size);
    if (rc != ERROR_SUCCESS)
        snprintf(guid, sizeof guid, "unknown");
    return rollout_bucket_for(guid, version);
}
