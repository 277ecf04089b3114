// Helpers shared by the tests.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

// Reads a whole file as bytes; empty when it cannot be read.
std::string test_read_file(const std::string &path);
// Writes bytes to a file, replacing it; true on success.
bool test_write_file(const std::string &path, const std::string &bytes);
// A new empty directory below the system's temporary directory, named after
// the running test; removed by nobody (the build tree is thrown away).
std::string test_temp_dir(const char *tag);
// "YYYY-MM-DDTHH:MM:SSZ" of t seconds since 1970 (UTC), as signed documents
// write their times.
std::string test_iso_utc(int64_t t);
// The base64 text of a 32-byte key whose every byte is b.
std::string test_key_b64(int b);
