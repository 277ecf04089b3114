// The run's report text, the adapters that pass the engine's progress on to
// the front end's callbacks, the German step texts, the front end's error
// writer and its bounded formatter.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "orv_attr.h"
#include "setup_context.h"

// vsnprintf rules: cut at the buffer's end, always NUL-terminated (size > 0),
// the result the length the whole text would have had.
int setup_flow_snprintf(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// Formats into err only when err is not null and errlen is not 0.
void setup_error(char *err, size_t errlen, const char *format, ...) ORV_PRINTF(3, 4);
// setup_error with the arguments in place.
void setup_verror(char *err, size_t errlen, const char *format, va_list ap) ORV_PRINTF(3, 0);
// The sentence of a postponed run (75): when the engine said in err what
// keeps the installation busy (a product program that runs), that sentence
// in German followed by "Bitte später erneut versuchen"; otherwise the flow's
// own fallback sentence.
void setup_postponed(char *err, size_t errlen, const char *fallback);
// Appends one line to ctx->report: nothing once the text holds 4094 bytes or
// more; otherwise the line, cut at the buffer's end, and a line feed when it
// still fits (the text then holds at most 4094 bytes before it). Returns the
// length of the report afterwards.
size_t setup_report(setup_context *ctx, const char *format, ...) ORV_PRINTF(2, 3);

// The step_fn handed to the engine; ctx is the setup_context. Passes the step
// on to the context's step_fn with count + 2, room for "installing" and the
// flow's own "configuring"; 0 when none is set.
int setup_step_adapter(void *ctx, const char *step, size_t index, size_t count);
// The bytes_fn handed to the engine; passes the progress on to the context's
// bytes_fn when one is set.
void setup_bytes_adapter(void *ctx, uint64_t done, uint64_t total);
// out := the German text of an English step name ("downloading <id>" with the
// component's title); a name it does not know stays unchanged. Returns out.
char *setup_step_text(setup_context *ctx, const char *step, char *out, size_t outlen);
