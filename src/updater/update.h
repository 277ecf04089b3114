// Small routines shared by the update engine's units: the bounded formatter,
// the error writer that every engine operation reports through, and the
// scanner of the state reader.
#pragma once
#include <stdarg.h>
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
// never inside a UTF-8 character, always NUL-terminated); writes nothing when
// err is null or errlen is 0.
void update_error(char *err, size_t errlen, const char *fmt, ...) ORV_PRINTF(3, 4);
// update_error with the arguments in place.
void update_verror(char *err, size_t errlen, const char *fmt, va_list ap) ORV_PRINTF(3, 0);
// sscanf over text: the number of items converted, or EOF (-1) when the text
// ends before the first conversion; -1 as well for a null text or format.
int update_sscanf(const char *text, const char *fmt, ...) UPDATE_SCANF(2, 3);
