// Lexical rules of `key = value` settings files (comments, quotes, the BOM)
// and a tokenizer for an 'args' text.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Length of the meaningful part of a line (where a comment starts, or the
// length without trailing CR and LF); 0 for a comment or empty line; -1 for a
// quoted value without its closing quote or with other text after it.
int32_t conf_value_end(const char *line, size_t len);
// conf_value_end, or len when the line is faulty.
size_t conf_value_end_or_len(const char *line, size_t len);
// Cuts a NUL-terminated line at conf_value_end: 0, or -1 with the line unchanged.
int conf_strip_comment(char *line);
// Unquotes a value starting with ' or " in place; returns value.
char *conf_unquote(char *value);
// 1 when the value cannot be written unquoted and read back unchanged.
int conf_needs_quotes(const char *value);
// Consumes a UTF-8 byte-order mark at the start of f.
void conf_skip_bom(FILE *f);
// Splits text into arguments (blanks separate, double quotes group, the pairs
// backslash-quote and backslash-backslash escape);
// each argument is a heap copy the caller frees. Returns the count,
// or -1 with a message in err and nothing left allocated.
int args_tokenize(const char *text, char **tokens, int max_tokens, char *err, size_t errlen);
