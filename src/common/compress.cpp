// Block compression by identifier: stored, zstd one-shot and lz4 block format.
#include "compress.h"

#include <limits.h>
#include <string.h>

#include <lz4.h>
#include <zstd.h>

#include "sys_result.h"

// lz4 takes int lengths: a capacity beyond INT_MAX is offered as INT_MAX.
static int lz4_cap(size_t n) { return n > (size_t)INT_MAX ? INT_MAX : (int)n; }

size_t compress_bound(int id, size_t len)
{
    if (id == COMPRESS_ZSTD)
        return ZSTD_compressBound(len);
    if (id == COMPRESS_LZ4) {
        if (len > (size_t)LZ4_MAX_INPUT_SIZE)
            return 0;
        int b = LZ4_compressBound((int)len);
        return b > 0 ? (size_t)b : 0;
    }
    return len;
}

size_t compress_block(int id, int level, const void *src, size_t src_len, void *dst,
                      size_t dst_cap)
{
    size_t out = 0;
    if (id == COMPRESS_ZSTD) {
        size_t r = ZSTD_compress(dst, dst_cap, src, src_len, level);
        out = ZSTD_isError(r) ? 0 : r;
    } else if (id == COMPRESS_LZ4) {
        // Narrowing a larger input to int would compress a cut-short block
        // and report it as the whole one.
        if (src_len > (size_t)LZ4_MAX_INPUT_SIZE)
            return 0;
        int r = LZ4_compress_default((const char *)src, (char *)dst, (int)src_len, lz4_cap(dst_cap));
        out = r > 0 ? (size_t)r : 0;
    }
    return out < src_len ? out : 0;
}

int decompress_block(int id, const void *src, size_t src_len, void *dst, size_t dst_cap,
                     size_t *produced)
{
    size_t n = 0;
    if (id == COMPRESS_STORED) {
        if (dst_cap < src_len)
            return SYS_EINVAL;
        if (src_len)
            memcpy(dst, src, src_len);
        n = src_len;
    } else if (id == COMPRESS_ZSTD) {
        size_t r = ZSTD_decompress(dst, dst_cap, src, src_len);
        if (ZSTD_isError(r))
            return SYS_ECORRUPT;
        n = r;
    } else if (id == COMPRESS_LZ4) {
        if (src_len > (size_t)INT_MAX)
            return SYS_EINVAL;
        int r = LZ4_decompress_safe((const char *)src, (char *)dst, (int)src_len, lz4_cap(dst_cap));
        if (r < 0)
            return SYS_ECORRUPT;
        n = (size_t)r;
    } else {
        return SYS_EINVAL;
    }
    if (produced)
        *produced = n;
    return 0;
}
