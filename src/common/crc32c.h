// CRC-32C (Castagnoli), with the processor instruction where it exists.
#pragma once
#include <stddef.h>
#include <stdint.h>

// CRC-32C of everything so far; start with prev 0. Length 0 returns prev.
uint32_t crc32c(uint32_t prev, const void *data, size_t len);
// The same, always with the SSE4.2 instruction (only on processors that have it).
uint32_t crc32c_hw(uint32_t prev, const void *data, size_t len);
// The same, always with the 256-entry table.
uint32_t crc32c_sw(uint32_t prev, const void *data, size_t len);
// 1 when the processor supports SSE4.2, else 0.
int crc32c_has_sse42(void);
