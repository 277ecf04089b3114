// The check of a package's own description, PACKAGE.json, against the
// entries that were unpacked: the layout, the version and component the
// caller expects, and one SHA-256 for every file, no more and no less.
#pragma once
#include <stddef.h>

#include "unpack.h"

// Size of the parser's message text inside "PACKAGE.json is not valid: %s".
#define PACKAGE_JSON_ERR 128

// Checks the PACKAGE.json text (len bytes) against the count entries of an
// unpacked package: schema 1, the version expected, the component expected
// (null for a whole update, whose PACKAGE.json names none), and for every
// file but PACKAGE.json itself its lower-case SHA-256 under "files", with no
// other member there. Returns 0 when all agree, else -1 with one lower-case
// sentence in err (when err and errlen are both set).
int package_json_check(const pkg_entry *entries, size_t count, const char *text, size_t len,
                       const char *version, const char *component, char *err, size_t errlen);
// package_json_check for a whole update: no component.
int package_json_check_update(const pkg_entry *entries, size_t count, const char *text, size_t len,
                              const char *version, char *err, size_t errlen);
