// Processor identification for the SHA-256 code path diagnostics.
#include <cpuid.h>
#include <stdlib.h>

#include "sha256.h"

// What the processor offers, read from identification leaves 1 and 7.
struct cpu_caps {
    bool ssse3, avx_usable, avx2, bmi1, bmi2, sha;
};

static unsigned long long read_xcr0(void)
{
    unsigned lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return ((unsigned long long)hi << 32) | lo;
}

static cpu_caps cpu_read(void)
{
    cpu_caps c = {};
    unsigned a, b, cx, d;
    unsigned max_leaf = __get_cpuid_max(0, nullptr);
    if (max_leaf == 0)
        return c;
    __cpuid(1, a, b, cx, d);
    c.ssse3 = (cx >> 9) & 1;
    bool avx = (cx >> 28) & 1, osxsave = (cx >> 27) & 1;
    c.avx_usable = avx && osxsave && (read_xcr0() & 6) == 6;
    if (max_leaf < 7)
        return c;
    __cpuid_count(7, 0, a, b, cx, d);
    c.avx2 = (b >> 5) & 1;
    c.bmi1 = (b >> 3) & 1;
    c.bmi2 = (b >> 8) & 1;
    c.sha = (b >> 29) & 1;
    return c;
}

unsigned cpu_features(void)
{
    cpu_caps c = cpu_read();
    return (c.avx_usable && c.avx2 ? 1u : 0u) | (c.sha ? 2u : 0u);
}

const char *cpu_sha256_impl_name(void)
{
    static const char *const plain[] = {"SHA-NI", "AVX2", "SSSE3", "scalar"};
    static const char *const starred[] = {"SHA-NI*", "AVX2*", "SSSE3*", "scalar*"};
    cpu_caps c = cpu_read();
    int i = 3;
    if (c.sha && c.ssse3)
        i = 0;
    else if (c.avx_usable && c.avx2 && c.bmi1 && c.bmi2)
        i = 1;
    else if (c.ssse3)
        i = 2;
    return getenv("OPENSSL_ia32cap") ? starred[i] : plain[i];
}
