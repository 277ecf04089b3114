// The os-release reader and the choice of the architecture text.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "host_facts.h"

TEST(HostFacts, OsRelease)
{
    std::string long_id(60, 'x');
    std::string line600 = "ID=" + std::string(597, 'y');
    struct {
        const char *name;
        std::string text;
        int result;
        std::string id, id_like, version_id;
    } cases[] = {
        {"ubuntu", "NAME=\"Ubuntu\"\nID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"24.04\"\n", 0, "ubuntu",
         "debian", "24.04"},
        {"no final line feed", "ID=fedora", 0, "fedora", "", ""},
        {"single quotes", "ID='arch'\n", 0, "arch", "", ""},
        {"mixed quotes stay", "ID=\"rhel'\n", 0, "\"rhel'", "", ""},
        {"one lone quote", "ID=\"\n", 0, "\"", "", ""},
        {"empty quotes", "ID=\"\"\n", -1, "", "", ""},
        {"no escapes", "ID=\"a\\\"b\"\n", 0, "a\\\"b", "", ""},
        {"only VERSION_ID", "VERSION_ID=12\n", -1, "", "", "12"},
        {"comment", "#ID=x\nVERSION_ID=1\n", -1, "", "", "1"},
        {"blank before =", "ID =x\n", -1, "", "", ""},
        {"blank after =", "ID= x\n", 0, " x", "", ""},
        {"keys are case-sensitive", "id=x\n", -1, "", "", ""},
        {"no =", "ID\nID_LIKE\n", -1, "", "", ""},
        {"first = splits", "ID=a=b\n", 0, "a=b", "", ""},
        {"last one wins", "ID=a\nID=b\n", 0, "b", "", ""},
        {"empty value overwrites", "ID=a\nID=\n", -1, "", "", ""},
        {"carriage return kept", "ID=\"deb\"\r\nID_LIKE=x\r\n", 0, "\"deb\"\r", "x\r", ""},
        {"cut to the field", "ID=" + long_id + "\n", 0, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", "", ""},
        {"quoted and cut", "ID_LIKE=\"" + std::string(200, 'z') + "\"", -1, "", std::string(159, 'z'), ""},
        {"long line skipped", line600 + "\nID=debian\n", 0, "debian", "", ""},
        {"511 characters read", "ID=" + std::string(508, 'w') + "\n", 0, std::string(47, 'w'), "", ""},
        {"512 characters skipped", "ID=" + std::string(509, 'w') + "\nVERSION_ID=9", -1, "", "", "9"},
        {"long last line ends it", "ID=a\n" + line600, 0, "a", "", ""},
        {"empty lines", "\n\nID=x\n\n", 0, "x", "", ""},
        {"empty text", "", -1, "", "", ""},
    };
    for (auto &c : cases) {
        host_facts hf;
        memset(&hf, 0, sizeof hf);
        strcpy(hf.id, "old");
        strcpy(hf.id_like, "old");
        strcpy(hf.version_id, "old");
        strcpy(hf.os, "keep");
        strcpy(hf.glibc, "2.39");
        hf.build = 7;
        EXPECT_EQ(host_facts_parse_os_release(c.text.c_str(), &hf), c.result) << c.name;
        EXPECT_EQ(hf.id, c.id) << c.name;
        EXPECT_EQ(hf.id_like, c.id_like) << c.name;
        EXPECT_EQ(hf.version_id, c.version_id) << c.name;
        EXPECT_STREQ(hf.os, "keep") << c.name;
        EXPECT_STREQ(hf.glibc, "2.39") << c.name;
        EXPECT_EQ(hf.build, 7u) << c.name;
    }
}

TEST(HostFacts, Architecture)
{
    struct {
        const char *name;
        int have_machine;
        unsigned machine, processor_architecture;
        const char *expected;
    } cases[] = {
        {"x64", 0, 0, 9, "x86_64"},
        {"arm64", 0, 0, 12, "arm64"},
        {"x86", 0, 0, 0, "x86"},
        {"itanium and unknown values", 0, 0, 6, "x86"},
        {"unknown 0xFFFF", 0, 0, 0xFFFF, "x86"},
        // x64 emulated on arm64: the native machine wins over GetNativeSystemInfo.
        {"emulated x64 on arm64", 1, 0xAA64, 9, "arm64"},
        {"native x64", 1, 0x8664, 9, "x86_64"},
        {"32-bit Windows", 1, 0x014C, 0, "x86"},
        // A machine type without a name of ours falls back.
        {"unnamed machine", 1, 0x01C4, 12, "arm64"},
        {"machine ignored without the call", 0, 0xAA64, 9, "x86_64"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(host_facts_arch(c.have_machine, c.machine, c.processor_architecture), c.expected)
            << c.name;
}
