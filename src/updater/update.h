// Small routines shared by the update engine's units: the bounded formatter,
// the formatter of short texts, the error writer that every engine operation
// reports through, and the scanner of the state reader.
#pragma once
#include <stddef.h>

#include "orv_attr.h"

// scanf-style argument checking, with the C99 rules on MinGW as for printf.
#if defined(__MINGW32__)
#define UPDATE_SCANF(fmt_index, first_arg) __attribute__((format(gnu_scanf, fmt_index, first_arg)))
#else
#define UPDATE_SCANF(fmt_index, first_arg) __attribute__((format(scanf, fmt_index, first_arg)))
#endif

// Formats into buf with the snprintf contract: cut at the end of buf and
// always NUL-terminated when size is not 0; returns the length the whole text
// would have had (negative only for a format error), so a result >= size
// means the text did not fit.
int update_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// Formats one sentence into err with the vsnprintf rules (cut at the end,
// always NUL-terminated); writes nothing when err is null or errlen is 0.
void update_error(char *err, size_t errlen, const char *fmt, ...) ORV_PRINTF(3, 4);
// Formats a short text (a state field, say) into buf (size bytes) with the
// vsnprintf rules: cut at the end, NUL-terminated when size is not 0.
// Returns what vsnprintf returns: the length of the whole text.
int upd_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// sscanf over text: the number of items converted, or EOF (-1) when the text
// ends before the first conversion; -1 as well for a null text or format.
int update_sscanf(const char *text, const char *fmt, ...) UPDATE_SCANF(2, 3);
