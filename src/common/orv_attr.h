// Compiler attributes shared by the library's headers.
#pragma once

// printf-style argument checking. With __USE_MINGW_ANSI_STDIO the MinGW
// formatter is the C99 one, so the checker must use GNU rules (%zu, %lld).
#if defined(__MINGW32__)
#define ORV_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define ORV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

#define ORV_NORETURN __attribute__((noreturn))
