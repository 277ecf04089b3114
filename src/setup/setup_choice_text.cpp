// The texts shown for a choice of components: titles and German byte sizes.
// Apart from the other choice routines, so that the step texts need no
// release choice.
#include <string.h>

#include "catalog.h"
#include "setup_choice.h"
#include "setup_text.h"

void setup_display_names(setup_context *ctx, const char *list, char *out, size_t outlen)
{
    if (!outlen)
        return;
    out[0] = '\0';
    char work[SETUP_LIST_WORK];
    setup_snprintf(work, sizeof work, "%s", list);
    if (!work[0])
        return;
    size_t used = 0;
    int first = 1;
    for (char *p = work; used < outlen - 1;) {
        char *comma = strchr(p, ',');
        if (comma)
            *comma = '\0';
        const catalog_component *c = catalog_find_component(&ctx->component_catalog, p);
        const char *name = c && c->title && c->title[0] ? c->title : p;
        int w = setup_snprintf(out + used, outlen - used, "%s%s", first ? "" : ", ", name);
        used = w < 0 ? outlen - 1 : used + (size_t)w;
        first = 0;
        // A "," that ends the text ends the walk.
        if (!comma || !comma[1])
            break;
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
