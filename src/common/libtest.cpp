// Self-test: digests and CRC against published vectors, then compression round trips.
#include "libtest.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "compress.h"
#include "crc32c.h"
#include "hash.h"
#include "opt.h"
#include "sha256.h"

static const char kVersion[] = ORV_VERSION;

static const uint8_t kSha256Abc[32] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
static const uint8_t kBlake3Zero[32] = {
    0x2d, 0x3a, 0xde, 0xdf, 0xf1, 0x1b, 0x61, 0xf1, 0x4c, 0x88, 0x6e, 0x35, 0xaf, 0xa0, 0x36, 0x73,
    0x6d, 0xcd, 0x87, 0xa7, 0x4d, 0x27, 0xb5, 0xc1, 0x51, 0x02, 0x25, 0xd0, 0xf5, 0x92, 0xe2, 0x13};
static const uint8_t kXxh3Empty[16] = {0x99, 0xaa, 0x06, 0xd3, 0x01, 0x47, 0x98, 0xd8,
                                       0x60, 0x01, 0xc3, 0x24, 0x46, 0x8d, 0x49, 0x7f};

static int fail(const char *msg, char *err, unsigned errlen)
{
    if (err && errlen)
        snprintf(err, errlen, "%s", msg);
    return 1;
}

void libtest_fill_pattern(uint8_t *buf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        buf[i] = (uint8_t)(((7 * i) % 256) ^ ((i >> 5) % 256));
}

int libtest_roundtrip(int id, const char *fail_msg, const uint8_t *data, char *err,
                      unsigned errlen)
{
    const size_t n = LIBTEST_PATTERN_SIZE;
    size_t cap = compress_bound(id, n), produced = 0;
    uint8_t *packed = (uint8_t *)malloc(cap ? cap : 1);
    uint8_t *back = (uint8_t *)malloc(n);
    int rc = 0;
    if (!packed || !back) {
        rc = fail("out of memory", err, errlen);
    } else {
        size_t size = compress_block(id, 3, data, n, packed, cap);
        if (size == 0 || decompress_block(id, packed, size, back, n, &produced) != 0 ||
            produced != n || memcmp(back, data, n) != 0)
            rc = fail(fail_msg, err, errlen);
    }
    free(packed);
    free(back);
    return rc;
}

int libtest_run(char *err, unsigned errlen)
{
    uint8_t d[32];
    sha256_buffer("abc", 3, d);
    if (memcmp(d, kSha256Abc, 32) != 0)
        return fail("SHA-256 gives a wrong result", err, errlen);
    const uint8_t zero = 0;
    hash_digest(HASH_BLAKE3, &zero, 1, d);
    if (memcmp(d, kBlake3Zero, 32) != 0)
        return fail("BLAKE3 gives a wrong result", err, errlen);
    hash_digest(HASH_XXH3_128, "", 0, d);
    if (memcmp(d, kXxh3Empty, 16) != 0)
        return fail("XXH3-128 gives a wrong result", err, errlen);
    if (crc32c(0, "123456789", 9) != 0xE3069283u)
        return fail("CRC32C gives a wrong result", err, errlen);
    uint8_t *pattern = (uint8_t *)malloc(LIBTEST_PATTERN_SIZE);
    if (!pattern)
        return fail("out of memory", err, errlen);
    libtest_fill_pattern(pattern, LIBTEST_PATTERN_SIZE);
    int rc = libtest_roundtrip(COMPRESS_ZSTD, "zstd round trip failed", pattern, err, errlen);
    if (rc == 0)
        rc = libtest_roundtrip(COMPRESS_LZ4, "lz4 round trip failed", pattern, err, errlen);
    free(pattern);
    return rc;
}

int opt_version_selftest(int argc, char **argv, const char *prog)
{
    if (opt_present(argc, argv, "--version", nullptr)) {
        printf("%s %s\n", prog, kVersion);
        fflush(stdout);
        return 0;
    }
    if (!opt_present(argc, argv, "--selftest", nullptr))
        return -1;
    char err[256] = {0};
    if (libtest_run(err, sizeof err) == 0) {
        printf("%s %s: selftest ok\n", prog, kVersion);
        fflush(stdout);
        return 0;
    }
    fprintf(stderr, "%s: selftest failed: %s\n", prog, err);
    fflush(stderr);
    return 1;
}
