// Packages for the tests, made in memory: ustar headers and archives, zstd
// frames, PACKAGE.json texts and whole packages. Tests change single header
// bytes and fix the checksum again with test_tar_checksum.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

// One archive entry.
struct test_tar_item {
    std::string name;   // the path as the header holds it (prefix and name joined)
    std::string data;   // a file's content; empty for anything else
    char type = '0';    // the typeflag
    unsigned mode = 0644;  // the header's mode field
};

// A 512-byte ustar header with a valid checksum. A name longer than 100
// characters is split at a "/" into prefix and name, as tar does.
std::string test_tar_header(const std::string &name, char type, uint64_t size, unsigned mode);
// Writes the checksum of a 512-byte header (after a test changed it).
void test_tar_checksum(std::string &header);
// The blocks of the items: each header, then a file's data padded to whole
// blocks; then the two zero blocks when end is set.
std::string test_tar(const std::vector<test_tar_item> &items, bool end = true);
// The bytes as one zstd frame.
std::string test_zstd(const std::string &bytes);
// The bytes as one zstd frame of stored (uncompressed) blocks whose header
// asks for a window of 2^window_log bytes (10 to 41) and gives no content
// size, so that a decoder holds that window whatever the bytes.
std::string test_zstd_stored(const std::string &bytes, unsigned window_log);
// PACKAGE.json for version and component (none when empty), listing the
// SHA-256 of every item of type "0".
std::string test_package_json(const std::string &version, const std::string &component,
                              const std::vector<test_tar_item> &items);
// A whole package: PACKAGE.json for the items first, then the items, as one
// zstd frame.
std::string test_package(const std::string &version, const std::string &component,
                         const std::vector<test_tar_item> &items);
