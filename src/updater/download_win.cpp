// Package download over the WinHTTP client: resolve, name, reuse, resume,
// request (with one full retry after a failed resume), check and move.
#include "download.h"

#include <stdio.h>
#include <string.h>

#include "codec.h"
#include "fs.h"
#include "orv_http_winhttp.h"
#include "update.h"
#include "url.h"

// Asks for the bytes of the package that the part file lacks, into sink.
// 0, or -1 with the HTTPS client's sentence in reason.
static int download_request(const updater_config *cfg, const char *url, download_sink *sink,
                            char *reason, size_t reason_size)
{
    http_opts opts;
    download_http_opts(cfg, sink->bytes_done, sink->bytes_expected, &opts);
    return http_get(url, &opts, download_write_chunk, sink, nullptr, reason, reason_size);
}

int artifact_download(const updater_config *cfg, const char *base, const manifest_artifact *art,
                      const char *dir, char *path, size_t path_size, download_bytes_fn bytes_fn,
                      void *bytes_user, char *err, size_t errlen)
{
    char url[DOWNLOAD_URL_MAX];
    char part[DOWNLOAD_PATH_MAX];
    char reason[DOWNLOAD_REASON_MAX] = "";
    const char *name = nullptr;
    uint8_t expected[32];
    download_sink sink = {};
    int rc = -1;

    const char *ref = art->url ? art->url : "";
    if (!art->url || url_resolve_relative(base, ref, url, sizeof url) != 0) {
        update_error(err, errlen, "cannot resolve the artifact url %s", ref);
        return -1;
    }
    if (download_file_name(ref, &name, err, errlen) != 0)
        return -1;
    if (fs_create_dirs(dir) != 0) {
        update_error(err, errlen, "cannot create %s", dir);
        return -1;
    }
    // A path cut to fit would name another file: refuse it instead.
    int n = path && path_size ? snprintf(path, path_size, "%s/%s", dir, name) : -1;
    if (n < 0 || (size_t)n >= path_size ||
        (size_t)snprintf(part, sizeof part, "%s.part", path) >= sizeof part) {
        update_error(err, errlen, "cannot write %s/%s", dir, name);
        return -1;
    }
    // A text that is no digest never matches, so nothing can pass the checks.
    int have_expected = art->sha256 && hex_decode(art->sha256, expected, 32) == 0;

    if (have_expected && download_file_matches(path, art->size, expected)) {
        if (bytes_fn)
            bytes_fn(bytes_user, art->size, art->size);
        return 0;
    }
    remove(path);

    if (download_part_open(part, art->size, bytes_fn, bytes_user, &sink) != 0) {
        update_error(err, errlen, "cannot write %s", part);
        goto out;
    }
    if (sink.bytes_done < sink.bytes_expected) {
        uint64_t kept = sink.bytes_done;
        int got = download_request(cfg, url, &sink, reason, sizeof reason);
        // A server that does not honour the range (or a resume that failed
        // for any other reason) gets one full download from the start.
        if (got != 0 && kept > 0 && download_part_restart(part, &sink) == 0)
            got = download_request(cfg, url, &sink, reason, sizeof reason);
        if (got != 0) {
            update_error(err, errlen, "cannot download %s: %s", url, reason);
            goto out;
        }
    }
    if (download_part_finish(&sink, expected, have_expected, part, err, errlen) != 0)
        goto out;
    if (fs_replace_file(part, path) != 0) {
        update_error(err, errlen, "cannot finish %s", path);
        goto out;
    }
    rc = 0;
out:
    download_sink_close(&sink);
    return rc;
}

int artifact_download_quiet(const updater_config *cfg, const char *base,
                            const manifest_artifact *art, const char *dir, char *path,
                            size_t path_size, char *err, size_t errlen)
{
    return artifact_download(cfg, base, art, dir, path, path_size, nullptr, nullptr, err, errlen);
}
