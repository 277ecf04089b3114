// The texts shown for a choice of components: titles and German byte sizes.
// Apart from the other choice routines, so that the step texts need no
// release choice.
#include <string.h>

#include "catalog.h"
#include "setup_choice.h"
#include "setup_text.h"

// Ends a list of titles that stopped before its end.
static const char kMore[] = ", …";

void setup_display_names(setup_context *ctx, const char *list, char *out, size_t outlen)
{
    if (!outlen)
        return;
    out[0] = '\0';
    char work[SETUP_LIST_WORK];
    setup_snprintf(work, sizeof work, "%s", list);
    if (!work[0])
        return;
    const size_t room = outlen - 1;
    const size_t more_len = sizeof kMore - 1;
    size_t used = 0;
    int first = 1;
    for (char *p = work;;) {
        char *comma = strchr(p, ',');
        if (comma)
            *comma = '\0';
        // A "," that ends the text ends the walk.
        int last = !comma || !comma[1];
        const catalog_component *c = catalog_find_component(&ctx->component_catalog, p);
        const char *name = c && c->title && c->title[0] ? c->title : p;
        size_t need = (first ? 0 : 2) + strlen(name);
        // A title goes in whole, with room left for the mark that more
        // follow; a list that stops says so instead of ending in half a
        // word. A first title that cannot fit at all is cut.
        if (used + need + (last ? 0 : more_len) > room) {
            if (first)
                setup_snprintf(out, outlen, "%s", name);
            else
                setup_snprintf(out + used, outlen - used, "%s", kMore);
            return;
        }
        setup_snprintf(out + used, outlen - used, "%s%s", first ? "" : ", ", name);
        used += need;
        first = 0;
        if (last)
            return;
        p = comma + 1;
    }
}

void format_size(uint64_t bytes, char *out, size_t outlen)
{
    if (bytes < 1000) {
        setup_snprintf(out, outlen, "%llu %s", (unsigned long long)bytes,
                       bytes == 1 ? "Byte" : "Bytes");
        return;
    }
    static const char *const units[] = {"kB", "MB", "GB", "TB"};
    double v = (double)bytes;
    int u = -1;
    while (v >= 1000.0 && u < 3) {
        v /= 1000.0;
        u++;
    }
    setup_snprintf(out, outlen, v >= 100.0 ? "%.0f %s" : "%.1f %s", v, units[u]);
    char *dot = strchr(out, '.');
    if (dot)
        *dot = ',';
}
