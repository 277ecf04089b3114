// Text codecs for raw bytes and times that travel as text: base64 (public
// keys, signature files), hex (SHA-256 sums, thumbprints) and the strict UTC
// time stamps of signed documents. Pure and reentrant: no state, no heap, no
// messages; every failure is the result.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Standard base64 (RFC 4648 alphabet, "=" padding) of len bytes into out.
// Returns the number of characters written without the NUL (a multiple of 4);
// 0 when cap is below 4 * ceil(len / 3) + 1, and then out is left untouched
// (not even a NUL is written).
size_t b64_encode(const void *data, size_t len, char *out, size_t cap);
// Decodes base64 text into at most cap bytes. White space is skipped wherever
// it stands; padding is optional and up to two "=" are accepted, but nothing
// other than white space may follow one; unused trailing bits must be zero.
// Returns 0 and stores the byte count in *outlen (when outlen is not null), or
// -1 (null text, a byte outside the alphabet, more than cap bytes); after a
// failure out may hold partial bytes and *outlen is not written.
int b64_decode(const char *text, uint8_t *out, size_t cap, size_t *outlen);
// Lower-case hex of n bytes into out, which holds at least 2n + 1 characters;
// out[2n] is the NUL.
void hex_encode(const void *data, size_t n, char *out);
// Decodes exactly 2n hex digits (either case) into n bytes. Returns 0, or -1
// for a null text, a length other than 2n (nothing written) or a non-digit
// (earlier bytes stay written).
int hex_decode(const char *text, uint8_t *out, size_t n);
// Reads "YYYY-MM-DDTHH:MM:SSZ" (exactly 20 characters, UTC, years 1970 to
// 9999, second 60 allowed and counted as the next minute's first second) into
// seconds since 1970-01-01T00:00:00Z. The fields are scanned like sscanf's
// "%4d-%2d-%2dT%2d:%2d:%2d%c", so "+5" or " 5" pass for a two-digit 05.
// Returns 0 with *out set, or -1 with *out unchanged.
int time_parse_iso_utc(const char *text, int64_t *out);
