// The fixture that sig_fixture.sh makes with the openssl CLI (keys, a document
// with openssl's signatures, rollout buckets), seen from a test. A test that
// includes this header runs after the fixture is made (tests/CMakeLists.txt
// looks for the include).
#pragma once
#include <stdint.h>

#include <string>

// The bytes of a fixture file ("doc.json", "doc.catalog.sig", ...); empty with
// a test failure when the fixture or the file is missing.
std::string sig_fixture_file(const std::string &name);
// The path of a fixture file, for programs that read it themselves.
std::string sig_fixture_path(const std::string &name);
// Decodes a fixture file of base64 text into exactly n bytes at out; false
// with a test failure otherwise.
bool sig_fixture_key(const std::string &name, uint8_t *out, size_t n);
