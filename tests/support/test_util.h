// Helpers shared by the tests.
#pragma once
#include <stddef.h>
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
// The bytes of a text of hex digit pairs (upper or lower case).
std::string test_unhex(const std::string &hex);
// Lower-case hex digits of n bytes.
std::string test_hex(const void *data, size_t n);
// n bytes that do not compress: a fixed xorshift sequence, the same every run.
std::vector<uint8_t> test_noise(size_t n);

// An argument vector for routines that take (argc, argv): argv[0] is "prog",
// then the given arguments, and argv[argc] is null. Not copyable, since argv
// points into the object's own strings.
struct test_args {
    std::vector<std::string> store;  // the arguments, argv[0] included
    std::vector<char *> ptrs;        // argv: pointers into store, then null
    explicit test_args(std::vector<std::string> args);
    test_args(const test_args &) = delete;
    test_args &operator=(const test_args &) = delete;
    int argc() const { return (int)store.size(); }
    char **argv() { return ptrs.data(); }
};
// "YYYY-MM-DDTHH:MM:SSZ" of t seconds since 1970 (UTC), as signed documents
// write their times.
std::string test_iso_utc(int64_t t);
// The base64 text of a 32-byte key whose every byte is b.
std::string test_key_b64(int b);
// Switches LC_NUMERIC to a German locale, whose decimal separator is a comma;
// false, with LC_NUMERIC back at "C", when the system has none. The caller
// sets "C" again when done.
bool test_decimal_comma_locale();
