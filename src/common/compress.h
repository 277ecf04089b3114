// Block compression chosen by identifier.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Compression identifiers as stored in the product's data formats.
enum compress_id { COMPRESS_STORED = 0, COMPRESS_ZSTD = 1, COMPRESS_LZ4 = 2 };

// Worst-case compressed size of len bytes (0 for lz4 beyond its input limit).
size_t compress_bound(int id, size_t len);
// Compressed size when smaller than src_len, else 0 (store the block as it is).
size_t compress_block(int id, int level, const void *src, size_t src_len, void *dst,
                      size_t dst_cap);
// 0 with *produced set (when not null); -3 for an unknown id, a stored block that
// does not fit or a length beyond lz4's limits; -7 for data that does not decompress.
int decompress_block(int id, const void *src, size_t src_len, void *dst, size_t dst_cap,
                     size_t *produced);
