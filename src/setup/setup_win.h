// Small Windows routines the setup's flows and integration steps share: the
// data directory, the administrator check, program lookup, the Hyper-V check
// and the German text of a Windows error, with the module's bounded
// formatting for 8-bit and UTF-16 texts.
#pragma once
#include <stddef.h>
#include <wchar.h>

#include "orv_attr.h"
#include "setup_context.h"

// The data directory into buf (cut at size - 1 bytes): "%s\orvantis" with the
// environment variable ProgramData ("C:\ProgramData" when it is unset or
// empty), or in test mode (ctx->root not empty) "%s\ProgramData\orvantis"
// with the root. Returns buf.
char *setup_data_dir(const setup_context *ctx, char *buf, size_t size);
// 1 when the process runs as an administrator (IsUserAnAdmin), else 0.
int win_is_admin(void);
// buf with "%s\bin\%s.exe" (install_dir, name) when that file exists, else
// NULL (also when the path does not fit size).
const char *setup_program_path(const setup_context *ctx, const char *name, char *buf,
                               size_t size);
// 1 when the component may be installed here; 0 with a reason (when
// reason_size is not 0) for "hyperv" on a computer without the Hyper-V
// management service. Every other id gives 1 without asking Windows.
int win_hyperv_present(const char *component_id, char *reason, size_t reason_size);
// Fills buf with "Windows-Fehler %lu: %s" (the system's text of code, German
// where the system has it, without its final period) or "Windows-Fehler %lu"
// when there is no text. Returns buf.
char *win_error_text(unsigned long code, char *buf, size_t size);
// Formats into err only when err is not null and errlen is not 0.
void win_error(char *err, size_t errlen, const char *format, ...) ORV_PRINTF(3, 4);
// vsnprintf rules: cut at the buffer's end, always NUL-terminated (size > 0),
// the result the length the whole text would have had.
int win_snprintf(char *buf, size_t size, const char *format, ...) ORV_PRINTF(3, 4);
// A text for people (NUL-terminated) as UTF-16 into out, cap units with the
// NUL: UTF-8 read as UTF-8, a text that is not UTF-8 in the ANSI code page,
// and a text that holds both (a path in the ANSI code page placed in a German
// sentence) run by run, so that neither part is garbled. Returns the units
// written with the NUL; with out null the units needed; 0 when the text does
// not fit in cap units or cannot be read.
int win_text_utf16(const char *text, wchar_t *out, int cap);
// The same for UTF-16 texts, size counted in units ("%ls" for a UTF-16
// argument, "%s" for an 8-bit one).
int win_swprintf(wchar_t *buf, size_t size, const wchar_t *format, ...);
