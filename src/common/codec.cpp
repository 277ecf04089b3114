// base64, hex and ISO-8601 UTC time codecs.
#include "codec.h"

#include <stdio.h>

static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static const char kHex[] = "0123456789abcdef";

size_t b64_encode(const void *data, size_t len, char *out, size_t cap)
{
    // 4 characters per started group of 3 bytes, plus the NUL; a length so
    // large that this overflows can never fit any buffer.
    size_t groups = len / 3 + (len % 3 != 0);
    if (groups > (SIZE_MAX - 1) / 4 || cap < groups * 4 + 1)
        return 0;
    const uint8_t *in = (const uint8_t *)data;
    size_t o = 0;
    for (size_t i = 0; i < len; i += 3) {
        size_t left = len - i;
        uint32_t v = (uint32_t)in[i] << 16;
        if (left > 1)
            v |= (uint32_t)in[i + 1] << 8;
        if (left > 2)
            v |= in[i + 2];
        out[o++] = kB64[(v >> 18) & 63];
        out[o++] = kB64[(v >> 12) & 63];
        out[o++] = left > 1 ? kB64[(v >> 6) & 63] : '=';
        out[o++] = left > 2 ? kB64[v & 63] : '=';
    }
    out[o] = '\0';
    return o;
}

// Index of c in the standard base64 alphabet, or -1 (also for the URL-safe
// "-" and "_", which signature files never use).
static int b64_index(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The six bytes isspace accepts in the "C" locale; spelled out so that the
// process locale and bytes above 0x7F cannot change what is skipped.
static int codec_is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int b64_decode(const char *text, uint8_t *out, size_t cap, size_t *outlen)
{
    if (!text)
        return -1;
    uint32_t acc = 0;   // pending bits in the low end
    int bits = 0;       // number of pending bits, 0 to 6 between characters
    size_t n = 0;       // bytes written
    int pad = 0;        // "=" seen
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (codec_is_space(*p))
            continue;
        if (*p == '=') {
            pad++;
            continue;
        }
        int v = b64_index(*p);
        if (pad > 0 || v < 0)
            return -1;
        acc = (acc << 6) | (uint32_t)v;
        bits += 6;
        if (bits >= 8) {
            if (n >= cap)
                return -1;
            bits -= 8;
            out[n++] = (uint8_t)(acc >> bits);
            acc &= (1u << bits) - 1;
        }
    }
    if (pad > 2 || acc != 0)
        return -1;
    if (outlen)
        *outlen = n;
    return 0;
}

void hex_encode(const void *data, size_t n, char *out)
{
    const uint8_t *in = (const uint8_t *)data;
    for (size_t i = 0; i < n; i++) {
        out[2 * i] = kHex[in[i] >> 4];
        out[2 * i + 1] = kHex[in[i] & 15];
    }
    out[2 * n] = '\0';
}

// Value of one hex digit of either case, or -1.
static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int hex_decode(const char *text, uint8_t *out, size_t n)
{
    if (!text)
        return -1;
    // Walk at most 2n + 1 bytes instead of taking strlen, so a huge n cannot
    // overflow 2n and a long text is not read to its end.
    for (size_t i = 0; i < n; i++)
        if (text[2 * i] == '\0' || text[2 * i + 1] == '\0')
            return -1;
    if (text[2 * n] != '\0')
        return -1;
    for (size_t i = 0; i < n; i++) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        out[i] = (uint8_t)(hi << 4 | lo);
    }
    return 0;
}

// Days in month m (1 to 12) of year y in the Gregorian calendar.
static int time_month_days(int y, int m)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

int time_parse_iso_utc(const char *text, int64_t *out)
{
    if (!text)
        return -1;
    // Exactly 20 characters; counted first so sscanf never walks a long text.
    size_t len = 0;
    while (len <= 20 && text[len])
        len++;
    if (len != 20)
        return -1;
    int year, month, day, hour, minute, second;
    char z;
    if (sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute,
               &second, &z) != 7 ||
        z != 'Z')
        return -1;
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60 ||
        day > time_month_days(year, month))
        return -1;
    // Days from the civil date, counting years from March so that a leap day
    // falls at the end of the counted year.
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = y / 400;
    int64_t yoe = y - 400 * era;
    int64_t mp = month <= 2 ? month + 9 : month - 3;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = 365 * yoe + yoe / 4 - yoe / 100 + doy;
    int64_t days = 146097 * era + doe - 719468;
    *out = days * 86400 + hour * 3600 + minute * 60 + second;
    return 0;
}
