// Checks of the programs a package brings, made before a new version goes
// live: each program is started from the staging directory with "--version"
// and "--selftest". Also the words for a program run that failed, the list of
// versions that failed on this computer, and the engine's error-buffer
// formatter. Messages are English, lower case, without a final period.
//
// package_check_programs lives in selftest_win.cpp; the rest is plain text
// work in selftest.cpp, checked by the native build as well.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "orv_attr.h"
#include "proc.h"
#include "state.h"
#include "unpack.h"

// Results of package_check_programs.
#define PKG_CHECK_OK 0        // every program passed
#define PKG_CHECK_FAILED -1   // a program failed, or there is none
#define PKG_CHECK_SCANNER -2  // a virus scanner blocked or removed a program

// Windows errors of a start that a virus scanner refused.
#define SELFTEST_ERROR_VIRUS_INFECTED 225u  // ERROR_VIRUS_INFECTED
#define SELFTEST_ERROR_VIRUS_DELETED 226u   // ERROR_VIRUS_DELETED

// How each program is run.
#define SELFTEST_VERSION_TIMEOUT_S 30   // "--version"
#define SELFTEST_SELFTEST_TIMEOUT_S 60  // "--selftest"
#define SELFTEST_OUTPUT_CAP 1024        // bytes of output kept from each run
#define SELFTEST_FOLDER_MAX 1000        // characters of the staging directory named in a message

// Checks every program of a package unpacked into staging (entries as the
// unpacker gave them, count of them): "--version" must answer with the
// program's name (without ".exe"), a blank and version, and "--selftest"
// must end with 0, each within its time limit. Several programs are checked
// at once, yet the outcome and the log are those of the check in entry order:
// the first program that fails decides, no program is started once an
// earlier one is known to have failed, and the log lines of programs after
// the first failure are not written. Returns PKG_CHECK_OK; PKG_CHECK_FAILED
// with a sentence in err (none for a null staging, entries or version);
// PKG_CHECK_SCANNER with a sentence that names the folder to exclude.
// Nothing in staging is removed.
int package_check_programs(const char *staging, const pkg_entry *entries, size_t count,
                           const char *version, char *err, size_t errlen);

// 1 when the entry's mode is octal 755 or its path has at least 5 characters
// and ends in ".exe" (case-sensitive), else 0.
int pkg_entry_is_program(const pkg_entry *e);
// 1 when the entry is a program of the package: a file below "bin/" for
// which pkg_entry_is_program holds; else 0.
int selftest_is_package_program(const pkg_entry *e);
// The part of an entry path after its last "/".
const char *selftest_program_name(const char *path);
// Formats the answer expected to "--version": the name without a final
// ".exe" (kept when the name has 4 characters or fewer), a blank and the
// version. The snprintf contract.
int selftest_expected_version(char *buf, size_t size, const char *name, const char *version);
// 1 when output begins with expected and the version ends there: the
// output ends, or a blank, tab, carriage return or line feed follows. So
// "tool 1.2.30" is not an answer of version 1.2.3.
int selftest_version_matches(const char *output, const char *expected);
// The words for a start refused by a virus scanner: error 225 or 226, or a
// file that no longer exists (file_exists 0). Null when it is none of these.
const char *selftest_scanner_reason(uint32_t error, int file_exists);
// The folder to exclude from the scanner: the staging directory (cut to
// SELFTEST_FOLDER_MAX characters) up to its last "\" or "/", unless that
// separator is its first character. The snprintf contract.
int selftest_scanner_folder(char *buf, size_t size, const char *staging);

// Writes the words for a run that produced no useful output into buf (size
// bytes, the snprintf contract): ran is 1 when proc_run started the program,
// res its result.
void proc_describe_failure(int ran, const proc_result *res, char *buf, size_t size);
// Turns every tab, line feed and carriage return of text into a blank, then
// removes the blanks at its end; in place.
void text_flatten(char *text);
// Records version in st->bad_versions unless it is there already, dropping
// the oldest versions first as far as needed to make room. The caller writes
// the state afterwards.
void failed_versions_add(updater_state *st, const char *version);
// 1 when word is one of the blank-separated words of list (exact, case
// matters), else 0; 0 for an empty word.
int wordlist_contains(const char *list, const char *word);
// vsnprintf into buf (size bytes): the length the whole text would have.
int selftest_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
