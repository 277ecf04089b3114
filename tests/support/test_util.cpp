// Helpers shared by the tests, on the standard library only.
#include "test_util.h"

#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "codec.h"

std::string test_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool test_write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    return (bool)out;
}

std::string test_temp_dir(const char *tag)
{
    static std::atomic<int> counter{0};
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(tag) + "_" + (info ? info->test_suite_name() : "x") + "_" +
                       (info ? info->name() : "y") + "_" + std::to_string(counter++) + "_" +
                       std::to_string(std::random_device{}() % 1000000);
    for (char &c : name)
        if (c == '/' || c == '\\')
            c = '_';
    std::filesystem::path p = std::filesystem::temp_directory_path() / "orv_tests" / name;
    std::error_code ec;
    std::filesystem::remove_all(p, ec);
    std::filesystem::create_directories(p, ec);
    return p.string();
}

std::string test_unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
    return out;
}

std::string test_hex(const void *data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    const unsigned char *p = (const unsigned char *)data;
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::vector<uint8_t> test_noise(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 2463534242u;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)(x >> 24);
    }
    return v;
}

test_args::test_args(std::vector<std::string> args) : store(std::move(args))
{
    store.insert(store.begin(), "prog");
    for (auto &s : store)
        ptrs.push_back(&s[0]);
    ptrs.push_back(nullptr);
}

std::string test_iso_utc(int64_t t)
{
    // Tests format times on one thread at a time.
    time_t tt = (time_t)t;
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", gmtime(&tt));
    return buf;
}

std::string test_key_b64(int b)
{
    uint8_t key[32];
    memset(key, b, sizeof key);
    char text[48];
    b64_encode(key, sizeof key, text, sizeof text);
    return text;
}

bool test_decimal_comma_locale()
{
    const char *names[] = {"de_DE.UTF-8", "de_DE", "German_Germany.1252", "German"};
    for (const char *n : names) {
        if (setlocale(LC_NUMERIC, n) && strcmp(localeconv()->decimal_point, ",") == 0)
            return true;
    }
    setlocale(LC_NUMERIC, "C");
    return false;
}
