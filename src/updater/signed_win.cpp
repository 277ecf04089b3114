// Fetching a signed document and its signature over the WinHTTP client; the
// checks are the pure ones of signed.cpp.
#include "signed.h"

#include <stdlib.h>

#include "orv_http_winhttp.h"
#include "update.h"

int signed_fetch(const updater_config *cfg, const char *name, int is_catalog, char **body,
                 size_t *len, char *url_out, size_t url_size, char *err, size_t errlen)
{
    const char *kind = is_catalog ? "component catalog" : "manifest";
    char reason[SIGNED_REASON_MAX] = "";
    // The client refuses a URL of HTTP_URL_MAX characters or more, so the
    // signature URL of any document URL it fetched fits here.
    char sig_url[HTTP_URL_MAX + 4];
    char *doc = nullptr, *sig = nullptr;
    size_t doc_len = 0, sig_len = 0;
    uint32_t status = 0;
    http_opts opts;
    int rc = -1;

    *body = nullptr;
    if (len)
        *len = 0;
    if (signed_doc_url(cfg, name, url_out, url_size, err, errlen) != 0)
        return -1;
    signed_http_opts(cfg, SIGNED_DOC_MAX, &opts);
    if (http_get_memory(url_out, &opts, &doc, &doc_len, &status, reason, sizeof reason) != 0) {
        update_error(err, errlen, "cannot download the %s %s: %s", kind, url_out, reason);
        goto done;
    }
    if ((size_t)update_format(sig_url, sizeof sig_url, "%s.sig", url_out) >= sizeof sig_url) {
        update_error(err, errlen, "the update url is too long");
        goto done;
    }
    opts.max_bytes = SIGNED_SIG_MAX;
    if (http_get_memory(sig_url, &opts, &sig, &sig_len, &status, reason, sizeof reason) != 0) {
        update_error(err, errlen, "cannot download the signature %s: %s", sig_url, reason);
        goto done;
    }
    if (signed_check(cfg, is_catalog, doc, doc_len, sig, sig_len, err, errlen) != 0)
        goto done;
    *body = doc;
    doc = nullptr;
    if (len)
        *len = doc_len;
    rc = 0;
done:
    free(doc);
    free(sig);
    return rc;
}
