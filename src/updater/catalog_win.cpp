// The catalog and manifest loads (over the HTTPS client and the state file,
// both Windows-only) and the MachineGuid read of the rollout bucket.
#include "catalog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "fs.h"
#include "lock.h"
#include "signed.h"
#include "update.h"

// Records the replay fields of st (both sequences and channels) in the state
// file, under updater.lock and from a fresh read of the file: what an
// installation recorded meanwhile (its version, components, failed versions)
// is kept, never written back from an older copy. Without the lock (another
// updater or setup works on the installation) the file is left alone: 1.
// 0 written, -1 with the state writer's sentence in err.
static int record_replay_fields(const updater_config *cfg, const updater_state *st, char *err,
                                size_t errlen)
{
    // The lock lives in the state directory: a directory that cannot be made
    // is the state writer's failure, in its words.
    if (fs_create_dirs(cfg->state_dir) != 0) {
        update_error(err, errlen, "cannot create %s", cfg->state_dir);
        return -1;
    }
    // An engine run of this process holds it already, around all it does.
    int took = 0;
    if (!updater_lock_held()) {
        int got = updater_lock_acquire(cfg);
        if (got == -1)
            return 1;
        if (got != 0) {
            update_error(err, errlen, "cannot use the state directory %s", cfg->state_dir);
            return -1;
        }
        took = 1;
    }
    updater_state now;
    state_read(cfg, &now);
    now.last_sequence = st->last_sequence;
    memcpy(now.sequence_channel, st->sequence_channel, sizeof now.sequence_channel);
    now.last_catalog_sequence = st->last_catalog_sequence;
    memcpy(now.catalog_channel, st->catalog_channel, sizeof now.catalog_channel);
    int rc = state_write(cfg, &now, err, errlen);
    if (took)
        updater_lock_release();
    return rc == 0 ? 0 : -1;
}

// Fetches, verifies and accepts the channel's catalog (into cat) or, when cat
// is null, its manifest (into man), and records a new sequence or channel in
// *st and, when it can take the lock, in the state file. On failure the
// record is empty and *st is as it was.
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
    if (record_replay_fields(cfg, st, msg, sizeof msg) >= 0)
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
