// Helpers shared by the tests, on the standard library only.
#include "test_util.h"

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
