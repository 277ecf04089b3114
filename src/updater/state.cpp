// The state file's text: the rules that read each line and the one format
// that writes all eight.
#include "state.h"

#include <stdio.h>
#include <string.h>

#include "manifest.h"
#include "update.h"
#include "version.h"

// The text after key when line begins with it, else null.
static const char *after_key(const char *line, const char *key)
{
    size_t n = strlen(key);
    return strncmp(line, key, n) == 0 ? line + n : NULL;
}

// Copies src into dst of size bytes, cut to size - 1 characters.
static void copy_cut(char *dst, size_t size, const char *src)
{
    size_t n = 0;
    while (n + 1 < size && src[n])
        n++;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Copies a free text value into dst the way copy_cut does, then drops the
// carriage returns at its end: the writer ends the line right after the
// value, and the reader drops a line's final carriage returns, so a value
// ending in one (cut at its field size, or ended early by a NUL byte in a
// damaged file) would not survive the next write and read.
static void copy_text_value(char *dst, size_t size, const char *src)
{
    copy_cut(dst, size, src);
    size_t n = strlen(dst);
    while (n > 0 && dst[n - 1] == '\r')
        dst[--n] = '\0';
}

// Rebuilds the component list from a value: every piece between commas must
// be a component id and fit, or the whole list is dropped. A trailing comma
// is ignored.
static void take_components(char out[256], const char *value)
{
    char rest[256], joined[256];
    copy_cut(rest, sizeof rest, value);
    size_t jl = 0;
    joined[0] = '\0';
    out[0] = '\0';
    if (!rest[0])
        return;
    for (const char *p = rest;;) {
        const char *comma = strchr(p, ',');
        size_t pl = comma ? (size_t)(comma - p) : strlen(p);
        char piece[256];
        memcpy(piece, p, pl);
        piece[pl] = '\0';
        if (!id_is_valid(piece) || jl + pl + 2 > sizeof joined)
            return;
        if (jl)
            joined[jl++] = ',';
        memcpy(joined + jl, piece, pl + 1);
        jl += pl;
        if (!comma || comma[1] == '\0')
            break;
        p = comma + 1;
    }
    memcpy(out, joined, jl + 1);
}

int state_components_readable(const char *list)
{
    if (strlen(list) > 255)
        return 0;
    char back[256];
    take_components(back, list);
    return strcmp(back, list) == 0;
}

int state_components_clean(char out[256], const char *list)
{
    size_t len = 0;
    int dropped = 0;
    out[0] = '\0';
    for (const char *p = list; *p;) {
        const char *comma = strchr(p, ',');
        size_t pl = comma ? (size_t)(comma - p) : strlen(p);
        char piece[256];
        int valid = pl < sizeof piece;
        if (valid) {
            memcpy(piece, p, pl);
            piece[pl] = '\0';
            valid = id_is_valid(piece) && len + (len ? 1 : 0) + pl < 256;
        }
        if (valid) {
            if (len)
                out[len++] = ',';
            memcpy(out + len, piece, pl + 1);
            len += pl;
        } else {
            dropped = 1;
        }
        if (!comma)
            break;
        p = comma + 1;
        // A comma at the very end ends the list, as the reader has it.
        dropped |= *p == '\0';
    }
    return dropped;
}

void state_components_refusal(const char *list, size_t len, char *err, size_t errlen)
{
    if (len > 255)
        update_error(err, errlen,
                     "the list of components takes %zu characters, but the state can record "
                     "at most 255; choose fewer components",
                     len);
    else
        update_error(err, errlen,
                     "the component list %s holds an empty or invalid id, which the state "
                     "cannot record",
                     list);
}

void state_parse_line(updater_state *st, const char *line)
{
    long long seq = 0;
    const char *v;
    if (update_sscanf(line, "last_sequence=%lld", &seq) == 1 && seq >= 0)
        st->last_sequence = seq;
    else if ((v = after_key(line, "sequence_channel=")))
        copy_text_value(st->sequence_channel, sizeof st->sequence_channel, v);
    else if ((v = after_key(line, "catalog_channel=")))
        copy_text_value(st->catalog_channel, sizeof st->catalog_channel, v);
    else if ((v = after_key(line, "installed_version=")) && version_is_valid(v))
        copy_cut(st->installed_version, sizeof st->installed_version, v);
    else if ((v = after_key(line, "previous_version=")) && version_is_valid(v))
        copy_cut(st->previous_version, sizeof st->previous_version, v);
    else if ((v = after_key(line, "bad_versions=")))
        copy_text_value(st->bad_versions, sizeof st->bad_versions, v);
    else if (update_sscanf(line, "last_catalog_sequence=%lld", &seq) == 1 && seq >= 0)
        st->last_catalog_sequence = seq;
    else if ((v = after_key(line, "components=")))
        take_components(st->components, v);
}

void state_parse_text(updater_state *st, char *text, size_t len)
{
    memset(st, 0, sizeof *st);
    size_t i = 0;
    while (i < len) {
        char *line = text + i;
        char *lf = (char *)memchr(line, '\n', len - i);
        size_t n = lf ? (size_t)(lf - line) : len - i;
        i += n + (lf ? 1 : 0);
        while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n'))
            n--;
        line[n] = '\0';
        state_parse_line(st, line);
    }
}

int state_format(const updater_state *st, char *buf, size_t size)
{
    return snprintf(buf, size,
                    "last_sequence=%lld\nsequence_channel=%s\ninstalled_version=%s\n"
                    "previous_version=%s\nbad_versions=%s\nlast_catalog_sequence=%lld\n"
                    "catalog_channel=%s\ncomponents=%s\n",
                    (long long)st->last_sequence, st->sequence_channel, st->installed_version,
                    st->previous_version, st->bad_versions, (long long)st->last_catalog_sequence,
                    st->catalog_channel, st->components);
}

const char *state_unreadable_field(const updater_state *st)
{
    // Each field alone, so that a line feed inside one value cannot make
    // another field look like the faulty one.
    static const char *const keys[] = {"last_sequence",   "sequence_channel",      "installed_version",
                                       "previous_version", "bad_versions",          "last_catalog_sequence",
                                       "catalog_channel",  "components"};
    for (int field = 0; field < 8; field++) {
        updater_state one, back;
        memset(&one, 0, sizeof one);
        switch (field) {
        case 0: one.last_sequence = st->last_sequence; break;
        case 1: copy_cut(one.sequence_channel, sizeof one.sequence_channel, st->sequence_channel); break;
        case 2: copy_cut(one.installed_version, sizeof one.installed_version, st->installed_version); break;
        case 3: copy_cut(one.previous_version, sizeof one.previous_version, st->previous_version); break;
        case 4: copy_cut(one.bad_versions, sizeof one.bad_versions, st->bad_versions); break;
        case 5: one.last_catalog_sequence = st->last_catalog_sequence; break;
        case 6: copy_cut(one.catalog_channel, sizeof one.catalog_channel, st->catalog_channel); break;
        default: copy_cut(one.components, sizeof one.components, st->components); break;
        }
        char text[STATE_TEXT_MAX];
        int n = state_format(&one, text, sizeof text);
        if (n < 0 || (size_t)n >= sizeof text)
            return keys[field];
        state_parse_text(&back, text, (size_t)n);
        if (memcmp(&one, &back, sizeof one) != 0)
            return keys[field];
    }
    return NULL;
}
