// Update manifest: parse and validate, check against this installation,
// match artifacts to this computer and choose the release.
#include "manifest.h"

#include <stdlib.h>
#include <string.h>

#include "codec.h"
#include "update.h"
#include "version.h"

// ---- parsing ----------------------------------------------------------------

// 1 when url is an absolute "https://" URL with something after the prefix,
// or a relative reference that cannot climb above the document's directory
// nor name another scheme or host.
static int url_is_safe(const char *url)
{
    if (!url || !url[0])
        return 0;
    size_t n = strlen(url);
    if (n > MANIFEST_MAX_URL)
        return 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)url[i];
        if (c <= 32 || c == '\\')
            return 0;
    }
    static const char https[] = "https://";
    const size_t hn = sizeof https - 1;
    if (strncmp(url, https, hn) == 0)
        return n > hn;
    if (strstr(url, "://") || url[0] == '/' || strncmp(url, "../", 3) == 0 ||
        strstr(url, "/../") || strcmp(url, "..") == 0)
        return 0;
    if (n >= 3 && strcmp(url + n - 3, "/..") == 0)
        return 0;
    return 1;
}

// Reads one artifact object into a. 0, or -1 with the sentence in err.
static int parse_artifact(const json_value *ja, manifest_artifact *a, char *err, size_t errlen)
{
    const char *url = json_string(json_object_get(ja, "url"));
    const char *sha = json_string(json_object_get(ja, "sha256"));
    const json_value *match = json_object_get(ja, "match");
    const json_value *req = json_object_get(ja, "requires");
    if (!url_is_safe(url)) {
        update_error(err, errlen, "artifact has a missing or unsafe url (%s)", url ? url : "");
        return -1;
    }
    unsigned char digest[32];
    if (!sha || hex_decode(sha, digest, sizeof digest) != 0) {
        update_error(err, errlen, "artifact %s has no valid sha256", url);
        return -1;
    }
    int64_t size = 0;
    if (!json_int(json_object_get(ja, "size"), &size) || size < 1 || size > MANIFEST_MAX_SIZE) {
        update_error(err, errlen, "artifact %s has no valid size", url);
        return -1;
    }
    if (json_kind(match) != JSON_OBJECT) {
        update_error(err, errlen, "artifact %s has no match object", url);
        return -1;
    }
    int bundled = 0;
    if (!json_bool(json_object_get(ja, "bundled_libs"), &bundled))
        bundled = 0;
    const json_value *comp = json_object_get(ja, "component");
    const char *component = NULL;
    if (comp) {
        component = json_string(comp);
        if (!id_is_valid(component)) {
            update_error(err, errlen, "artifact %s has an invalid component id", url);
            return -1;
        }
    }
    a->url = url;
    a->sha256 = sha;
    a->size = (uint64_t)size;
    a->match = match;
    a->requires = req;
    a->bundled_libs = bundled ? 1 : 0;
    a->component = component;
    return 0;
}

// Reads one release object into r; r->artifact_count counts the artifacts
// read so far, so that manifest_free releases them after a failure.
// 0, or -1 with the sentence in err (none when memory ran out).
static int parse_release(const json_value *jr, manifest_release *r, char *err, size_t errlen)
{
    const char *version = json_string(json_object_get(jr, "version"));
    if (!version_is_valid(version)) {
        update_error(err, errlen, "release with an invalid version (%s)", version ? version : "");
        return -1;
    }
    r->version = version;
    r->notes = json_string(json_object_get(jr, "notes"));
    const char *min_updater = json_string(json_object_get(jr, "min_updater"));
    if (min_updater && !version_is_valid(min_updater)) {
        update_error(err, errlen, "release %s has an invalid min_updater", version);
        return -1;
    }
    r->min_updater = min_updater;
    r->rollout_percent = 100;
    const json_value *rollout = json_object_get(jr, "rollout_percent");
    if (rollout) {
        int64_t percent = -1;
        if (!json_int(rollout, &percent) || percent < 0 || percent > 100) {
            update_error(err, errlen, "release %s has an invalid rollout_percent", version);
            return -1;
        }
        r->rollout_percent = (uint32_t)percent;
    }
    const json_value *arts = json_object_get(jr, "artifacts");
    size_t n = json_array_len(arts);
    if (n < 1 || n > MANIFEST_MAX_ARTIFACTS) {
        update_error(err, errlen, "release %s has no artifacts", version);
        return -1;
    }
    r->artifacts = (manifest_artifact *)calloc(n, sizeof *r->artifacts);
    if (!r->artifacts)
        return -1;
    for (size_t i = 0; i < n; i++) {
        if (parse_artifact(json_array_at(arts, i), &r->artifacts[i], err, errlen) != 0)
            return -1;
        r->artifact_count++;
    }
    return 0;
}

// Checks the document's top-level members and fills the header fields and the
// blocked list of m. 0, or -1 with the sentence in err (none when memory ran out).
static int parse_header(manifest *m, char *err, size_t errlen)
{
    const json_value *root = m->root;
    int64_t schema = 0;
    if (json_kind(root) != JSON_OBJECT || !json_int(json_object_get(root, "schema"), &schema) ||
        schema != 1) {
        update_error(err, errlen, "unsupported manifest schema");
        return -1;
    }
    m->product = json_string(json_object_get(root, "product"));
    m->channel = json_string(json_object_get(root, "channel"));
    if (!m->product || !m->channel ||
        !json_int(json_object_get(root, "sequence"), &m->sequence) || m->sequence < 0) {
        update_error(err, errlen, "manifest lacks product, channel or sequence");
        return -1;
    }
    if (time_parse_iso_utc(json_string(json_object_get(root, "issued")), &m->issued) != 0 ||
        time_parse_iso_utc(json_string(json_object_get(root, "expires")), &m->expires) != 0 ||
        m->issued >= m->expires) {
        update_error(err, errlen, "manifest lacks valid issued/expires times");
        return -1;
    }
    // Not an array counts as an empty list; json_array_len answers 0 for it.
    const json_value *blocked = json_object_get(root, "blocked_versions");
    size_t n = json_array_len(blocked);
    if (n > 0) {
        m->blocked_versions = (const char **)calloc(n, sizeof *m->blocked_versions);
        if (!m->blocked_versions)
            return -1;
        for (size_t i = 0; i < n; i++) {
            const char *v = json_string(json_array_at(blocked, i));
            if (!version_is_valid(v)) {
                update_error(err, errlen, "invalid entry in blocked_versions");
                return -1;
            }
            m->blocked_versions[m->blocked_count++] = v;
        }
    }
    return 0;
}

int manifest_parse(const char *text, size_t len, manifest *m, char *err, size_t errlen)
{
    memset(m, 0, sizeof *m);
    if (err && errlen)
        err[0] = '\0';
    char jerr[128] = "";
    if (json_parse(text, len, &m->root, jerr, sizeof jerr) != 0) {
        update_error(err, errlen, "manifest is not valid JSON: %s", jerr);
        return -1;
    }
    int rc = -1;
    const json_value *rels = json_object_get(m->root, "releases");
    size_t n = json_array_len(rels);
    if (parse_header(m, err, errlen) != 0)
        goto out;
    if (n < 1 || n > MANIFEST_MAX_RELEASES) {
        update_error(err, errlen, "manifest has no releases");
        goto out;
    }
    m->releases = (manifest_release *)calloc(n, sizeof *m->releases);
    if (!m->releases)
        goto out;
    for (size_t i = 0; i < n; i++) {
        // Counted before it is read, so that a failure releases its artifacts.
        m->release_count++;
        if (parse_release(json_array_at(rels, i), &m->releases[i], err, errlen) != 0)
            goto out;
    }
    rc = 0;
out:
    if (rc != 0)
        manifest_free(m);
    return rc;
}

void manifest_free(manifest *m)
{
    if (!m)
        return;
    for (size_t i = 0; i < m->release_count; i++)
        free(m->releases[i].artifacts);
    free(m->releases);
    free(m->blocked_versions);
    json_free(m->root);
    memset(m, 0, sizeof *m);
}

// ---- checks -----------------------------------------------------------------

// strcmp where null reads as the empty text.
static int text_eq(const char *a, const char *b)
{
    return strcmp(a ? a : "", b ? b : "") == 0;
}

int manifest_check(const manifest *m, const char *product, const char *channel, int64_t now,
                   int64_t last_sequence, char *err, size_t errlen)
{
    if (!text_eq(m->product, product)) {
        update_error(err, errlen, "manifest is for another product (%s)", m->product ? m->product : "");
        return -1;
    }
    if (!text_eq(m->channel, channel)) {
        update_error(err, errlen, "manifest is for another channel (%s)", m->channel ? m->channel : "");
        return -1;
    }
    if (now >= m->expires) {
        update_error(err, errlen,
                     "manifest has expired (the update server may be stale or replaying old data)");
        return -1;
    }
    // now + slack cannot overflow here: now is below expires.
    if (m->issued > now + MANIFEST_CLOCK_SLACK) {
        update_error(err, errlen, "manifest was issued in the future (check the system clock)");
        return -1;
    }
    if (m->sequence < last_sequence) {
        update_error(err, errlen, "manifest is older than one already seen (replay)");
        return -1;
    }
    return 0;
}

// 1 when id has 1 to max characters of lower-case letters, digits, "_" and
// "-", the first a lower-case letter (or a digit when digit_first is set).
static int id_check(const char *id, size_t max, int digit_first)
{
    if (!id)
        return 0;
    size_t n = strlen(id);
    if (n < 1 || n > max)
        return 0;
    for (size_t i = 0; i < n; i++) {
        char c = id[i];
        int lower = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
        int ok = i == 0 ? lower || (digit_first && digit) : lower || digit || c == '_' || c == '-';
        if (!ok)
            return 0;
    }
    return 1;
}

int id_is_valid(const char *id)
{
    return id_check(id, 31, 0);
}

int id_is_valid_64(const char *id)
{
    return id_check(id, 63, 1);
}

// ---- artifact matching ----------------------------------------------------

// Reads a decimal number the way a 32-bit strtoul does (leading white space,
// an optional sign, saturation at the top) and returns where it ended: past
// the digits, or at p itself when there were none.
static const char *read_u32(const char *p, uint32_t *out)
{
    const char *s = p;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    int neg = 0;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    if (*s < '0' || *s > '9') {
        *out = 0;
        return p;
    }
    uint64_t v = 0;
    int over = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (uint64_t)(*s - '0');
        if (v > UINT32_MAX) {
            over = 1;
            v = UINT32_MAX;
        }
    }
    *out = over ? UINT32_MAX : neg ? (uint32_t)(0u - (uint32_t)v) : (uint32_t)v;
    return s;
}

int version_cmp_numeric(const char *a, const char *b)
{
    const char *pa = a ? a : "", *pb = b ? b : "";
    int a_done = 0, b_done = 0;
    for (;;) {
        uint32_t na = 0, nb = 0;
        if (!a_done)
            pa = read_u32(pa, &na);
        if (!b_done)
            pb = read_u32(pb, &nb);
        if (na != nb)
            return na < nb ? -1 : 1;
        int a_more = !a_done && *pa == '.', b_more = !b_done && *pb == '.';
        if (!a_more && !b_more)
            return 0;
        if (a_more)
            pa++;
        else
            a_done = 1;
        if (b_more)
            pb++;
        else
            b_done = 1;
    }
}

// 1 when word is one of the blank-separated words of list.
static int word_in_list(const char *list, const char *word)
{
    size_t wn = strlen(word);
    if (wn == 0)
        return 0;
    for (const char *p = list; *p;) {
        while (*p == ' ')
            p++;
        const char *e = p;
        while (*e && *e != ' ')
            e++;
        if ((size_t)(e - p) == wn && memcmp(p, word, wn) == 0)
            return 1;
        p = e;
    }
    return 0;
}

// 1 when a string entry of arr equals the host's distribution id (when it has
// one) or one of the words of its id_like.
static int distro_matches(const json_value *arr, const host_facts *hf)
{
    size_t n = json_array_len(arr);
    for (size_t i = 0; i < n; i++) {
        const char *e = json_string(json_array_at(arr, i));
        if (e && hf->id[0] && strcmp(e, hf->id) == 0)
            return 1;
    }
    for (size_t i = 0; i < n; i++) {
        const char *e = json_string(json_array_at(arr, i));
        if (e && word_in_list(hf->id_like, e))
            return 1;
    }
    return 0;
}

// 1 when a string entry of arr equals text (which must not be empty).
static int list_has(const json_value *arr, const char *text)
{
    if (!text[0])
        return 0;
    size_t n = json_array_len(arr);
    for (size_t i = 0; i < n; i++) {
        const char *e = json_string(json_array_at(arr, i));
        if (e && strcmp(e, text) == 0)
            return 1;
    }
    return 0;
}

int artifact_match(const manifest_artifact *a, const host_facts *hf, int *score)
{
    if (score)
        *score = 0;
    const json_value *match = a->match;
    size_t n = json_object_len(match);
    int os_ok = 0, count = 0;
    int64_t priority = 0;
    for (size_t i = 0; i < n; i++) {
        const char *key = json_object_key_at(match, i);
        const json_value *v = json_object_value_at(match, i);
        const char *s = json_string(v);
        int64_t num = 0;
        int flag = 0;
        if (strcmp(key, "os") == 0) {
            if (!s || strcmp(s, hf->os) != 0)
                return 0;
            os_ok = 1;
            continue;
        }
        if (strcmp(key, "priority") == 0) {
            if (!json_int(v, &num) || num < -1000 || num > 1000)
                return 0;
            priority = num;
            continue;
        }
        int ok;
        if (strcmp(key, "arch") == 0)
            ok = s && strcmp(s, hf->arch) == 0;
        else if (strcmp(key, "distro") == 0)
            ok = json_kind(v) == JSON_ARRAY && distro_matches(v, hf);
        else if (strcmp(key, "versions") == 0)
            ok = json_kind(v) == JSON_ARRAY && list_has(v, hf->version_id);
        else if (strcmp(key, "glibc_min") == 0)
            ok = s && hf->glibc[0] && version_cmp_numeric(hf->glibc, s) >= 0;
        else if (strcmp(key, "build_min") == 0)
            ok = json_int(v, &num) && hf->build != 0 && (int64_t)hf->build >= num;
        else if (strcmp(key, "build_max") == 0)
            ok = json_int(v, &num) && hf->build != 0 && (int64_t)hf->build <= num;
        else if (strcmp(key, "server") == 0)
            ok = json_bool(v, &flag) && flag == (hf->server == 1 ? 1 : 0);
        else
            ok = 0;
        if (!ok)
            return 0;
        count++;
    }
    if (!os_ok)
        return 0;
    if (score)
        *score = (int)priority * 100 + count;
    return 1;
}

const manifest_artifact *artifact_choose_best(const manifest_release *release,
                                              const host_facts *hf, void *user)
{
    const manifest_artifact *best = NULL;
    int best_score = -1000000;
    for (size_t i = 0; i < release->artifact_count; i++) {
        int score = 0;
        if (artifact_match(&release->artifacts[i], hf, &score) && score > best_score) {
            best = &release->artifacts[i];
            best_score = score;
        }
    }
    return best;
}

// ---- release choice ---------------------------------------------------------

int manifest_release_cmp(const void *a, const void *b)
{
    const manifest_release *ra = *(const manifest_release *const *)a;
    const manifest_release *rb = *(const manifest_release *const *)b;
    return version_compare(rb->version, ra->version);
}

// 1 when version equals an entry of the blocked list byte for byte.
static int is_blocked(const manifest *m, const char *version)
{
    for (size_t i = 0; i < m->blocked_count; i++)
        if (strcmp(m->blocked_versions[i], version) == 0)
            return 1;
    return 0;
}

// The sentences of the release choice.
static const char up_to_date[] = "up to date";
static const char blocked_msg[] = "the newer releases are blocked";
static const char no_system_msg[] =
    "newer releases exist, but none for this system or updater version";
static const char rollout_msg[] =
    "a newer release exists but is not yet offered to this machine (staged rollout)";
static const char major_fmt[] =
    "%s is a new major version (it may use an incompatible backup format) and is never "
    "installed automatically; see the handbook before switching (--allow-major or "
    "allow_major_upgrade = yes)";

// What one examined release came to.
enum exam { EXAM_TAKE, EXAM_BLOCKED, EXAM_NO_SYSTEM, EXAM_MAJOR, EXAM_ROLLOUT };

// Runs the blocked, system, major and (unless pinned) rollout rules over one
// release; for EXAM_TAKE, *artifact is the filter's artifact.
static enum exam examine(const manifest *m, const manifest_release *r, const host_facts *hf,
                         const char *updater_version, int installed_major, unsigned bucket,
                         unsigned flags, int pinned, release_filter filter, void *user,
                         const manifest_artifact **artifact)
{
    *artifact = NULL;
    if (is_blocked(m, r->version))
        return EXAM_BLOCKED;
    if (r->min_updater && updater_version && version_compare(r->min_updater, updater_version) > 0)
        return EXAM_NO_SYSTEM;
    *artifact = filter(r, hf, user);
    if (!*artifact)
        return EXAM_NO_SYSTEM;
    if (installed_major > 0 && version_major(r->version) > installed_major &&
        !(flags & RELEASE_ALLOW_MAJOR))
        return EXAM_MAJOR;
    if (!pinned && bucket >= r->rollout_percent)
        return EXAM_ROLLOUT;
    return EXAM_TAKE;
}

int release_choose(const manifest *m, const host_facts *hf, const char *installed,
                   const char *updater_version, unsigned bucket, unsigned flags,
                   const char *target, release_filter filter, void *user,
                   release_choice *choice, char *err, size_t errlen)
{
    choice->release = NULL;
    choice->artifact = NULL;
    if (err && errlen)
        err[0] = '\0';
    if (!filter)
        filter = artifact_choose_best;
    size_t n = m->release_count;
    const manifest_release **sorted = NULL;
    if (n > 0) {
        sorted = (const manifest_release **)malloc(n * sizeof *sorted);
        if (!sorted)
            return RELEASE_NO_SYSTEM;
    }
    // Insertion sort keeps releases of equal rank in document order, so the
    // choice does not depend on the C library's qsort.
    for (size_t i = 0; i < n; i++) {
        size_t j = i;
        const manifest_release *r = &m->releases[i];
        while (j > 0 && manifest_release_cmp(&sorted[j - 1], &r) > 0) {
            sorted[j] = sorted[j - 1];
            j--;
        }
        sorted[j] = r;
    }
    int installed_major = installed ? version_major(installed) : -1;

    int rc = RELEASE_UP_TO_DATE;
    const manifest_release *pick = NULL;
    const manifest_artifact *art = NULL;
    if (target) {
        const manifest_release *found = NULL;
        for (size_t i = 0; i < n && !found; i++)
            if (strcmp(sorted[i]->version, target) == 0)
                found = sorted[i];
        if (!found) {
            update_error(err, errlen, "%s", up_to_date);
            goto out;
        }
        switch (examine(m, found, hf, updater_version, installed_major, bucket, flags, 1, filter,
                        user, &art)) {
        case EXAM_BLOCKED:
            rc = RELEASE_BLOCKED;
            update_error(err, errlen, "%s", blocked_msg);
            goto out;
        case EXAM_NO_SYSTEM:
            rc = RELEASE_NO_SYSTEM;
            update_error(err, errlen, "%s", no_system_msg);
            goto out;
        case EXAM_MAJOR:
            update_error(err, errlen, major_fmt, found->version);
            goto out;
        default:
            break;
        }
        if (installed && version_compare(found->version, installed) < 0 &&
            !(flags & RELEASE_ALLOW_DOWNGRADE)) {
            update_error(err, errlen, "%s is older than the installed %s (use --allow-downgrade)",
                         found->version, installed);
            goto out;
        }
        pick = found;
    } else {
        int seen_rollout = 0, seen_no_system = 0, seen_blocked = 0;
        const char *held_major = NULL;
        for (size_t i = 0; i < n && !pick; i++) {
            const manifest_release *r = sorted[i];
            if (installed && version_compare(r->version, installed) <= 0)
                break;
            switch (examine(m, r, hf, updater_version, installed_major, bucket, flags, 0, filter,
                            user, &art)) {
            case EXAM_TAKE:
                pick = r;
                break;
            case EXAM_BLOCKED:
                seen_blocked = 1;
                break;
            case EXAM_NO_SYSTEM:
                seen_no_system = 1;
                break;
            case EXAM_MAJOR:
                if (!held_major)
                    held_major = r->version;
                break;
            case EXAM_ROLLOUT:
                seen_rollout = 1;
                break;
            }
        }
        if (!pick) {
            if (seen_rollout) {
                rc = RELEASE_ROLLOUT;
                update_error(err, errlen, "%s", rollout_msg);
            } else if (seen_no_system) {
                rc = RELEASE_NO_SYSTEM;
                update_error(err, errlen, "%s", no_system_msg);
            } else if (seen_blocked) {
                rc = RELEASE_BLOCKED;
                update_error(err, errlen, "%s", blocked_msg);
            } else if (held_major) {
                update_error(err, errlen, major_fmt, held_major);
            } else {
                update_error(err, errlen, "%s", up_to_date);
            }
            goto out;
        }
    }
    choice->release = pick;
    choice->artifact = art;
    update_error(err, errlen, "%s is available", pick->version);
    rc = RELEASE_CHOSEN;
out:
    free(sorted);
    return rc;
}

int release_choose_default(const manifest *m, const host_facts *hf, const char *installed,
                           const char *updater_version, unsigned bucket, unsigned flags,
                           const char *target, release_choice *choice, char *err,
                           size_t errlen)
{
    return release_choose(m, hf, installed, updater_version, bucket, flags, target,
                          artifact_choose_best, NULL, choice, err, errlen);
}
