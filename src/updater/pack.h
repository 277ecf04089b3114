// The package writer's side. The writer itself exists only in the product's
// Linux build; on Windows its two entry points refuse. The compressor stays:
// it makes a whole zstd frame from a buffer.
#pragma once
#include <stddef.h>

// Compresses len bytes of data into one zstd frame at level. Returns 0 with
// *out (malloc'ed, owned by the caller, released with free) and *out_len set,
// or -1 with both untouched.
int zstd_compress_buffer(const void *data, size_t len, int level, void **out, size_t *out_len);

// Packing a directory into a package file: always -1 with "packing is only
// available on Linux" in err (when err and errlen are both set).
int pack_unavailable(const char *src_dir, const char *archive, int level, char *err,
                     size_t errlen);
// Writing the PACKAGE.json of a directory: always -1 with "packing is only
// available on Linux" in err (when err and errlen are both set).
int pack_unavailable(const char *src_dir, const char *version, const char *component, char *err,
                     size_t errlen);
