// Packages for the tests, made in memory.
#include "test_package.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "pack.h"
#include "sha256.h"

// Writes value as octal digits and a NUL into the width bytes at field.
static void put_octal(std::string &h, size_t offset, size_t width, uint64_t value)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%0*llo", (int)(width - 1), (unsigned long long)value);
    memcpy(&h[offset], buf, width - 1);
    h[offset + width - 1] = '\0';
}

std::string test_tar_header(const std::string &name, char type, uint64_t size, unsigned mode)
{
    std::string h(512, '\0');
    std::string prefix, base = name;
    if (name.size() > 100) {
        // The first "/" that leaves a name of at most 100 characters.
        size_t cut = name.find('/', name.size() - 101);
        if (cut != std::string::npos && cut <= 155) {
            prefix = name.substr(0, cut);
            base = name.substr(cut + 1);
        }
    }
    memcpy(&h[0], base.data(), base.size() < 100 ? base.size() : 100);
    put_octal(h, 100, 8, mode);
    put_octal(h, 108, 8, 1000);  // owner
    put_octal(h, 116, 8, 1000);  // group
    put_octal(h, 124, 12, size);
    put_octal(h, 136, 12, 1700000000);  // time
    h[156] = type;
    memcpy(&h[257], "ustar", 6);
    memcpy(&h[263], "00", 2);
    memcpy(&h[265], "user", 4);
    memcpy(&h[297], "group", 5);
    memcpy(&h[345], prefix.data(), prefix.size() < 155 ? prefix.size() : 155);
    test_tar_checksum(h);
    return h;
}

void test_tar_checksum(std::string &h)
{
    unsigned sum = 8 * ' ';
    for (size_t i = 0; i < 512; i++)
        if (i < 148 || i >= 156)
            sum += (unsigned char)h[i];
    // As tar writes it: six digits, a NUL, a blank.
    char buf[16];
    snprintf(buf, sizeof buf, "%06o", sum);
    memcpy(&h[148], buf, 6);
    h[154] = '\0';
    h[155] = ' ';
}

std::string test_tar(const std::vector<test_tar_item> &items, bool end)
{
    std::string out;
    for (const test_tar_item &it : items) {
        out += test_tar_header(it.name, it.type, it.data.size(), it.mode);
        out += it.data;
        out.append((512 - it.data.size() % 512) % 512, '\0');
    }
    if (end)
        out.append(1024, '\0');
    return out;
}

std::string test_zstd(const std::string &bytes)
{
    void *packed = nullptr;
    size_t n = 0;
    if (zstd_compress_buffer(bytes.data(), bytes.size(), 3, &packed, &n) != 0)
        abort();
    std::string out((const char *)packed, n);
    free(packed);
    return out;
}

std::string test_zstd_stored(const std::string &bytes, unsigned window_log)
{
    // Magic number, a frame header without content size, checksum or
    // dictionary, and the window descriptor (exponent only).
    std::string out("\x28\xb5\x2f\xfd\x00", 5);
    out += (char)((window_log - 10) << 3);
    // A block holds at most 128 KiB, and never more than the window.
    size_t most = window_log < 17 ? (size_t)1 << window_log : 128 * 1024;
    size_t at = 0;
    do {
        size_t n = std::min(most, bytes.size() - at);
        uint32_t head = (uint32_t)(n << 3) | (at + n == bytes.size() ? 1u : 0u);  // raw, last?
        out += (char)(head & 0xff);
        out += (char)((head >> 8) & 0xff);
        out += (char)((head >> 16) & 0xff);
        out.append(bytes, at, n);
        at += n;
    } while (at < bytes.size());
    return out;
}

std::string test_package_json(const std::string &version, const std::string &component,
                              const std::vector<test_tar_item> &items)
{
    std::string json = "{\"schema\": 1, \"version\": \"" + version + "\"";
    if (!component.empty())
        json += ", \"component\": \"" + component + "\"";
    json += ", \"files\": {";
    const char *sep = "";
    for (const test_tar_item &it : items) {
        if (it.type != '0')
            continue;
        uint8_t digest[32];
        char hex[65];
        sha256_buffer(it.data.data(), it.data.size(), digest);
        hex32(digest, hex);
        json += std::string(sep) + "\"" + it.name + "\": \"" + hex + "\"";
        sep = ", ";
    }
    return json + "}}\n";
}

std::string test_package(const std::string &version, const std::string &component,
                         const std::vector<test_tar_item> &items)
{
    std::vector<test_tar_item> all;
    all.push_back({"PACKAGE.json", test_package_json(version, component, items)});
    all.insert(all.end(), items.begin(), items.end());
    return test_zstd(test_tar(all));
}
