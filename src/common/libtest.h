// The built-in "--version" and "--selftest" of every product program.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Size of the round-trip pattern (256 KiB).
enum { LIBTEST_PATTERN_SIZE = 262144 };

// Answers "--version" (0) or "--selftest" (0 passed, 1 failed, with the
// failure on standard error); -1 when neither option is present.
int opt_version_selftest(int argc, char **argv, const char *prog);
// Runs the known-answer tests and the zstd and lz4 round trips: 0, or 1 with
// the first failure's sentence in err.
int libtest_run(char *err, unsigned errlen);
// Compresses the pattern with compress_id id at level 3 and back: 0, or 1 with
// fail_msg (or "out of memory") in err.
int libtest_roundtrip(int id, const char *fail_msg, const uint8_t *data, char *err,
                      unsigned errlen);
// Fills buf with the round-trip pattern: byte i is (7 * i) mod 256 XOR (i >> 5) mod 256.
void libtest_fill_pattern(uint8_t *buf, size_t len);
