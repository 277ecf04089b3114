// The package writer's side on Windows: the compressor, and the writer's two
// entry points, which refuse.
#include "pack.h"

#include <stdio.h>
#include <stdlib.h>

#include <zstd.h>

int zstd_compress_buffer(const void *data, size_t len, int level, void **out, size_t *out_len)
{
    // Beyond zstd's input limit the bound is an error code, not a size.
    size_t cap = ZSTD_compressBound(len);
    if (ZSTD_isError(cap))
        return -1;
    void *buf = malloc(cap);
    if (!buf)
        return -1;
    size_t n = ZSTD_compress(buf, cap, data, len, level);
    if (ZSTD_isError(n)) {
        free(buf);
        return -1;
    }
    *out = buf;
    *out_len = n;
    return 0;
}

// The writer's answer on this platform.
static int pack_refuse(char *err, size_t errlen)
{
    if (err && errlen)
        snprintf(err, errlen, "packing is only available on Linux");
    return -1;
}

int pack_unavailable(const char *src_dir, const char *archive, int level, char *err,
                     size_t errlen)
{
    return pack_refuse(err, errlen);
}

int pack_unavailable(const char *src_dir, const char *version, const char *component, char *err,
                     size_t errlen)
{
    return pack_refuse(err, errlen);
}
