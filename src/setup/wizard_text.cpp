// The wizard's texts without a window: the bounded UTF-16 formatter, strict
// UTF-8 decoding, word breaking, the result text's line ends and the summary.
#include <stdio.h>
#include <string.h>

#include "setup_choice.h"
#include "text.h"
#include "wizard.h"

size_t wizard_len16(const char16_t *s)
{
    size_t n = 0;
    while (s && s[n])
        n++;
    return n;
}

// Appends one unit while room is left; counts it either way.
static void put16(char16_t *buf, size_t cap, size_t *len, char16_t c)
{
    if (cap && *len < cap - 1)
        buf[*len] = c;
    (*len)++;
}

int wizard_vformat16(char16_t *buf, size_t cap, const char16_t *fmt, va_list ap)
{
    size_t len = 0;
    for (const char16_t *f = fmt; *f; f++) {
        if (*f != u'%') {
            put16(buf, cap, &len, *f);
            continue;
        }
        f++;
        if (*f == u'%') {
            put16(buf, cap, &len, u'%');
        } else if (f[0] == u'l' && f[1] == u's') {
            f++;
            const char16_t *s = va_arg(ap, const char16_t *);
            for (; s && *s; s++)
                put16(buf, cap, &len, *s);
        } else if (f[0] == u'h' && f[1] == u's') {
            f++;
            const char *s = va_arg(ap, const char *);
            for (; s && *s; s++)
                put16(buf, cap, &len, (char16_t)(unsigned char)*s);
        } else if (*f == u'u' || *f == u'd') {
            char digits[16];
            if (*f == u'u')
                snprintf(digits, sizeof digits, "%u", va_arg(ap, unsigned));
            else
                snprintf(digits, sizeof digits, "%d", va_arg(ap, int));
            for (const char *d = digits; *d; d++)
                put16(buf, cap, &len, (char16_t)*d);
        } else {
            // An unknown directive stands for itself; a lone "%" at the end too.
            put16(buf, cap, &len, u'%');
            if (!*f)
                break;
            put16(buf, cap, &len, *f);
        }
    }
    if (cap) {
        size_t end = len < cap ? len : cap - 1;
        // A cut between the two halves of a surrogate pair drops the first.
        if (end < len && end > 0 && buf[end - 1] >= 0xD800 && buf[end - 1] <= 0xDBFF)
            end--;
        buf[end] = 0;
    }
    return (int)len;
}

int wizard_format16(char16_t *buf, size_t cap, const char16_t *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = wizard_vformat16(buf, cap, fmt, ap);
    va_end(ap);
    return n;
}

int wizard_utf8_to16(const char *text, char16_t *out, size_t limit)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t n = 0;
    out[0] = 0;
    while (s && *s) {
        uint32_t cp;
        int more;
        if (*s < 0x80) {
            cp = *s;
            more = 0;
        } else if ((*s & 0xE0) == 0xC0) {
            cp = *s & 0x1F;
            more = 1;
        } else if ((*s & 0xF0) == 0xE0) {
            cp = *s & 0x0F;
            more = 2;
        } else if ((*s & 0xF8) == 0xF0) {
            cp = *s & 0x07;
            more = 3;
        } else {
            goto fail;
        }
        s++;
        for (int k = 0; k < more; k++, s++) {
            if ((*s & 0xC0) != 0x80)
                goto fail;
            cp = cp << 6 | (*s & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
        if ((more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            goto fail;
        if (cp >= 0x10000) {
            if (n + 2 > limit)
                goto fail;
            cp -= 0x10000;
            out[n++] = (char16_t)(0xD800 | (cp >> 10));
            out[n++] = (char16_t)(0xDC00 | (cp & 0x3FF));
        } else {
            if (n + 1 > limit)
                goto fail;
            out[n++] = (char16_t)cp;
        }
    }
    out[n] = 0;
    return 0;
fail:
    out[0] = 0;
    return -1;
}

// A blank or tab not directly followed by "-": a blank before a hyphen-minus
// belongs to the word after it.
static int break_point(const char16_t *text, int i, int n)
{
    if (i < 0 || i >= n)
        return 0;
    if (text[i] != u' ' && text[i] != u'\t')
        return 0;
    return !(i + 1 < n && text[i + 1] == u'-');
}

int wizard_word_break_at(const char16_t *text, int i, int n, int code)
{
    switch (code) {
    case WIZARD_WB_ISDELIMITER:
        return break_point(text, i, n);
    case WIZARD_WB_LEFT:
        if (i <= 0)
            return i;
        if (i > n)
            i = n;
        while (i > 0 && break_point(text, i - 1, n))
            i--;
        while (i > 0 && !break_point(text, i - 1, n))
            i--;
        return i;
    case WIZARD_WB_RIGHT:
        if (i >= n)
            return i;
        if (i < 0)
            i = 0;
        while (i < n && !break_point(text, i, n))
            i++;
        while (i < n && break_point(text, i, n))
            i++;
        return i;
    default:
        return 0;
    }
}

size_t wizard_crlf(const char *text, char *out)
{
    size_t len = 0;
    size_t i = 0;
    for (; text && text[i] && i < WIZARD_CRLF_IN; i++) {
        // Room for the CR, the character and the terminator at every step.
        if (len > WIZARD_CRLF_OUT - 3)
            break;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out[len++] = '\r';
        out[len++] = text[i];
    }
    // Either limit may fall inside a character, which would turn the whole
    // text into ANSI code page characters on the result page.
    if (text && text[i])
        len = text_utf8_whole(out, len);
    out[len] = '\0';
    return len;
}

size_t wizard_folder_join(const char16_t *folder, char16_t *out, size_t cap)
{
    // A drive's root, and some shell folders, come back with their separator.
    size_t n = wizard_len16(folder);
    int has_separator = n > 0 && (folder[n - 1] == u'\\' || folder[n - 1] == u'/');
    return (size_t)wizard_format16(out, cap, has_separator ? u"%lsorvantis" : u"%ls\\orvantis",
                                   folder);
}

// Appends a formatted line at the end of the text in buf.
static size_t append16(char16_t *buf, size_t cap, const char16_t *fmt, ...)
{
    size_t len = wizard_len16(buf);
    if (len + 1 >= cap)
        return len;
    va_list ap;
    va_start(ap, fmt);
    wizard_vformat16(buf + len, cap - len, fmt, ap);
    va_end(ap);
    return wizard_len16(buf);
}

// list with the ids of installed that are not in resolved, joined by ",".
static void removed_ids(const char *installed, const char *resolved, char *out, size_t size)
{
    char around[300];
    snprintf(around, sizeof around, ",%s,", resolved);
    out[0] = '\0';
    const char *p = installed;
    while (*p) {
        const char *end = strchr(p, ',');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        char id[64];
        if (n > 0 && n < sizeof id) {
            char needle[sizeof id + 2];
            memcpy(id, p, n);
            id[n] = '\0';
            snprintf(needle, sizeof needle, ",%s,", id);
            if (!strstr(around, needle)) {
                size_t used = strlen(out);
                snprintf(out + used, size - used, "%s%s", used ? "," : "", id);
            }
        }
        if (!end)
            break;
        p = end + 1;
    }
}

size_t wizard_summary_text(setup_context *ctx, const char *data_dir, int32_t release_now,
                           wizard_show_fn show, char16_t *out, size_t cap)
{
    if (cap > WIZARD_SUMMARY_MAX)
        cap = WIZARD_SUMMARY_MAX;
    if (!cap)
        return 0;
    out[0] = 0;

    char resolved[256], titles[600], size[32];
    setup_resolved_list(ctx, resolved, sizeof resolved);
    setup_display_names(ctx, resolved, titles, sizeof titles);
    format_size(setup_download_size(ctx), size, sizeof size);
    char installed_titles[600];
    setup_display_names(ctx, ctx->installed_components, installed_titles, sizeof installed_titles);

    char16_t w_titles[601], w_size[33], w_dir[701], w_data[701], w_version[101],
        w_installed[601], w_server[301], w_removed[601], w_user[301];
    show(titles, w_titles, 600);
    show(size, w_size, 32);
    show(ctx->updater_config.install_dir, w_dir, 700);
    show(data_dir, w_data, 700);
    show(ctx->installed_version, w_version, 100);
    show(installed_titles, w_installed, 600);
    show(ctx->client_server, w_server, 300);

    if (ctx->mode == SETUP_MODE_UNINSTALL) {
        wizard_format16(out, cap,
                        u"orvantis %ls wird von diesem Rechner entfernt.\r\n\r\n"
                        u"Installiert: %ls\r\nOrdner: %ls\r\n\r\n"
                        u"Ihre Sicherungen werden nicht angefasst.",
                        w_version, w_installed, w_dir);
        return wizard_len16(out);
    }

    char removed[256];
    removed_ids(ctx->installed_components, resolved, removed, sizeof removed);
    char16_t removed_line[700];
    removed_line[0] = 0;
    if (ctx->mode == SETUP_MODE_MODIFY && removed[0]) {
        char removed_titles[600];
        setup_display_names(ctx, removed, removed_titles, sizeof removed_titles);
        show(removed_titles, w_removed, 600);
        wizard_format16(removed_line, 700, u"\r\nWird entfernt: %ls", w_removed);
    }

    const char16_t *lead = ctx->mode == SETUP_MODE_MODIFY ? u"Bereit, die Installation zu ändern."
                           : ctx->mode == SETUP_MODE_REPAIR
                               ? u"Die installierten Programme werden neu geladen und geprüft."
                               : u"Bereit zur Installation.";
    const char16_t *reload =
        ctx->mode == SETUP_MODE_MODIFY
            ? u" (alle gewählten Komponenten werden neu geladen, auch die unveränderten)"
            : u"";
    // A repair keeps the daily task as it stands (see the install flow): it
    // says so rather than promise a task it will not create.
    const char16_t *daily;
    if (ctx->updater_schedule && ctx->mode == SETUP_MODE_REPAIR)
        daily = ctx->update_task_state == 1   ? u"ja"
                : ctx->update_task_state == 0 ? u"nein"
                                              : u"unverändert";
    else if (ctx->updater_schedule)
        daily = ctx->update_task_state == 0 ? u"ja (wird eingerichtet)" : u"ja";
    else
        daily = ctx->update_task_state == 1 ? u"nein (wird abgeschaltet)" : u"nein";
    const char16_t *server = ctx->configure_client ? w_server
                             : ctx->mode == SETUP_MODE_INSTALL ? u"nicht einrichten"
                                                              : u"unverändert";
    wizard_format16(out, cap,
                    u"%ls\r\n\r\nKomponenten: %ls%ls\r\nDownload: %ls%ls\r\nZielordner: %ls\r\n"
                    u"Einstellungen und Protokolle: %ls (nur Administratoren)\r\n"
                    u"Tägliche Update-Suche: %ls\r\nVerbindung zum Backup-Server: %ls",
                    lead, w_titles, removed_line, w_size, reload, w_dir, w_data, daily, server);

    if (ctx->mode == SETUP_MODE_REPAIR || !ctx->sched_api)
        return wizard_len16(out);
    int with_sched = list_contains(resolved, "sched");
    if (with_sched && list_contains(resolved, "console")) {
        char16_t line[400];
        if (ctx->console_link) {
            show(ctx->console_user, w_user, 300);
            wizard_format16(line, 400,
                            u"\r\nVerwaltungskonsole: wird für %ls mit diesem Computer verbunden (%ls)",
                            w_user,
                            ctx->console_role_admin ? u"darf ändern und steuern" : u"darf nur lesen");
        } else {
            wizard_format16(line, 400, u"\r\nVerwaltungskonsole: nicht mit diesem Computer verbinden");
        }
        append16(out, cap, u"%ls", line);
    }
    if (with_sched && ctx->console_release >= 0) {
        const char16_t *what = ctx->console_release == 2   ? u"ändern und steuern"
                               : ctx->console_release > 0 ? u"nur ansehen"
                               : release_now > 0          ? u"wird beendet"
                                                          : u"keine";
        char16_t line[300];
        wizard_format16(line, 300, u"\r\nFreigabe für andere Rechner: %ls", what);
        append16(out, cap, u"%ls", line);
    }
    return wizard_len16(out);
}
