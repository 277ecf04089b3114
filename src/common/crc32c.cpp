// CRC-32C: the CRC32 instruction in 8-byte steps, or a table without SSE4.2.
#include "crc32c.h"

#include <string.h>

#include <nmmintrin.h>

int crc32c_has_sse42(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") ? 1 : 0;
}

__attribute__((target("sse4.2"))) uint32_t crc32c_hw(uint32_t prev, const void *data, size_t len)
{
    const unsigned char *p = (const unsigned char *)data;
    uint64_t crc = (uint32_t)~prev;
    while (len >= 8) {
        uint64_t w;
        memcpy(&w, p, 8);
        crc = _mm_crc32_u64(crc, w);
        p += 8;
        len -= 8;
    }
    uint32_t c = (uint32_t)crc;
    if (len >= 4) {
        uint32_t w;
        memcpy(&w, p, 4);
        c = _mm_crc32_u32(c, w);
        p += 4;
        len -= 4;
    }
    while (len--)
        c = _mm_crc32_u8(c, *p++);
    return ~c;
}

// The reflected table, built on first use; a function-local static is
// initialised exactly once, so no thread sees it half built.
struct crc_table {
    uint32_t v[256];
    crc_table()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            v[i] = c;
        }
    }
};

uint32_t crc32c_sw(uint32_t prev, const void *data, size_t len)
{
    static const crc_table table;
    const unsigned char *p = (const unsigned char *)data;
    uint32_t c = ~prev;
    while (len--)
        c = (c >> 8) ^ table.v[(c ^ *p++) & 0xFF];
    return ~c;
}

uint32_t crc32c(uint32_t prev, const void *data, size_t len)
{
    static const int sse42 = crc32c_has_sse42();
    if (len == 0)
        return prev;
    return sse42 ? crc32c_hw(prev, data, len) : crc32c_sw(prev, data, len);
}
