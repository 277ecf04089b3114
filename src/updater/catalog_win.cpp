// The catalog and manifest loads (over the HTTPS client and the state file,
// both Windows-only) and the MachineGuid read of the rollout bucket.
#include "catalog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "signed.h"
#include "update.h"

// Fetches, verifies and accepts the channel's catalog (into cat) or, when cat
// is null, its manifest (into man), and writes the state when the document
// brought a new sequence or channel. On failure the record is empty and *st
// is as it was.
static int load_document(const updater_config *cfg, updater_state *st, int64_t now,
                         component_catalog *cat, manifest *man, char *url_out, size_t url_size,
                         char *err, size_t errlen)
{
    if (cat)
        memset(cat, 0, sizeof *cat);
    else
        memset(man, 0, sizeof *man);
    char *text = nullptr;
    size_t len = 0;
    if (signed_fetch(cfg, cat ? "components.json" : "manifest.json", cat != nullptr, &text, &len,
                     url_out, url_size, err, errlen) != 0)
        return -1;
    updater_state before = *st;
    int record = 0;
    int rc = cat ? catalog_accept(cfg, st, now, text, len, cat, &record, err, errlen)
                 : manifest_accept(cfg, st, now, text, len, man, &record, err, errlen);
    // The record keeps its own parsed copy of every text.
    free(text);
    if (rc != 0 || !record)
        return rc;
    char msg[CATALOG_STATE_MSG_MAX] = "";
    if (state_write(cfg, st, msg, sizeof msg) == 0)
        return 0;
    update_error(err, errlen, "%s", msg);
    *st = before;
    if (cat)
        catalog_free(cat);
    else
        manifest_free(man);
    return -1;
}

int catalog_load(const updater_config *cfg, updater_state *st, int64_t now,
                 component_catalog *out, char *url_out, size_t url_size, char *err,
                 size_t errlen)
{
    return load_document(cfg, st, now, out, nullptr, url_out, url_size, err, errlen);
}

int manifest_load(const updater_config *cfg, updater_state *st, int64_t now, manifest *out,
                  char *url_out, size_t url_size, char *err, size_t errlen)
{
    return load_document(cfg, st, now, nullptr, out, url_out, url_size, err, errlen);
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
