// Helpers shared by the tests.
#pragma once
#include <string>
#include <vector>

// Reads a whole file as bytes; empty when it cannot be read.
std::string test_read_file(const std::string &path);
// Writes bytes to a file, replacing it; true on success.
bool test_write_file(const std::string &path, const std::string &bytes);
// A new empty directory below the system's temporary directory, named after
// the running test; removed by nobody (the build tree is thrown away).
std::string test_temp_dir(const char *tag);
// The bytes of a text of hex digit pairs (upper or lower case).
std::string test_unhex(const std::string &hex);
// Lower-case hex digits of n bytes.
std::string test_hex(const void *data, size_t n);
