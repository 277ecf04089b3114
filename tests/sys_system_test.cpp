// The pure rules of the system facts: the operating system's name, the
// temporary directory's trailing separators, network-path prefixes and the
// microsecond arithmetic.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>

#include "sys_system.h"

TEST(SysSystem, OsNameByVersionBuildAndProductType)
{
    struct {
        uint32_t major, minor, build, product;
        const char *name;
    } cases[] = {
        {10, 0, 19045, 1, "Windows 10"},
        {10, 0, 22631, 1, "Windows 11"},
        {10, 0, 22000, 1, "Windows 11"},
        {10, 0, 17763, 3, "Windows Server"},
        {10, 0, 20348, 3, "Windows Server 2022+"},
        {10, 0, 21999, 2, "Windows Server 2022+"},
        {10, 0, 26100, 3, "Windows Server 2022+"},
        {10, 0, 20347, 2, "Windows Server"},
        {6, 3, 9600, 1, "Windows"},
        {10, 1, 30000, 1, "Windows"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.name, sys_os_name(c.major, c.minor, c.build, c.product))
            << c.major << "." << c.minor << " build " << c.build << " type " << c.product;
}

TEST(SysSystem, TrailingSeparatorsGoButADriveRootStays)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"C:\\Temp\\", "C:\\Temp"},
        {"C:\\Temp\\\\/", "C:\\Temp"},
        {"C:\\", "C:\\"},
        {"C:\\\\", "C:\\"},
        {"C:\\\\\\", "C:\\"},
        {"C:\\Windows\\Temp", "C:\\Windows\\Temp"},
        {"\\\\", "\\\\"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char buf[64];
        strcpy(buf, c.in);
        sys_trim_separators(buf);
        EXPECT_STREQ(c.out, buf) << "input \"" << c.in << "\"";
    }
}

TEST(SysSystem, NetworkPrefixDecidesWithoutTheSystem)
{
    struct {
        const char *path;
        int decided, flag;
    } cases[] = {
        {"\\\\server\\share\\x", 1, 1},
        {"//server/share", 1, 1},
        {"\\\\?\\UNC\\server\\share", 1, 1},
        {"\\\\.\\UNC\\server\\share", 1, 1},
        {"\\\\?\\C:\\data", 0, 0},
        {"\\\\.\\PhysicalDrive0", 0, 0},
        {"C:\\data", 0, 0},
        {"data", 0, 0},
        {"", 0, 0},
        // Ends right after its prefix: nothing past the string is read.
        {"\\\\?", 0, 0},
        {"\\\\?\\", 0, 0},
        {"\\\\?\\UN", 0, 0},
    };
    for (const auto &c : cases) {
        // Copied to the heap at its exact length, so a read beyond the NUL
        // shows under the address sanitizer.
        std::string copy(c.path);
        char *p = new char[copy.size() + 1];
        memcpy(p, copy.c_str(), copy.size() + 1);
        int flag = -1;
        EXPECT_EQ(c.decided, sys_network_prefix(p, &flag)) << c.path;
        EXPECT_EQ(c.flag, flag) << c.path;
        delete[] p;
    }
}

TEST(SysSystem, CounterToMicrosecondsKeepsWithin64Bits)
{
    struct {
        int64_t count, freq, us;
    } cases[] = {
        {0, 10000000, 0},
        {10000000, 10000000, 1000000},
        {15, 10000000, 1},
        {3579545, 3579545, 1000000},
        // A year of uptime at 10 MHz: count * 1000000 alone would overflow.
        {315360000000000LL, 10000000, 31536000000000LL},
        {INT64_MAX, 1000000000, (INT64_MAX / 1000000000) * 1000000 + 854775},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.us, sys_counter_to_us(c.count, c.freq)) << c.count << " at " << c.freq;
}
