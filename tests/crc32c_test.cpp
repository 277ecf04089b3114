// CRC-32C: check values, chaining, and the processor and table paths agreeing.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "crc32c.h"
#include "test_util.h"

// The iSCSI test patterns and the check value.
static std::string pattern(int kind)
{
    std::string s(32, '\0');
    for (int i = 0; i < 32; i++)
        s[(size_t)i] = (char)(kind == 0 ? 0 : kind == 1 ? 0xFF : kind == 2 ? i : 31 - i);
    return s;
}

TEST(Crc32c, KnownAnswersOnEveryPath)
{
    struct {
        const char *name;
        std::string data;
        uint32_t crc;
    } cases[] = {
        {"check value", "123456789", 0xE3069283u}, {"32 zeros", pattern(0), 0x8A9136AAu},
        {"32 ones", pattern(1), 0x62A8AB43u},       {"ascending", pattern(2), 0x46DD794Eu},
        {"descending", pattern(3), 0x113FDB5Cu},    {"empty", "", 0u},
    };
    for (auto &c : cases) {
        EXPECT_EQ(crc32c(0, c.data.data(), c.data.size()), c.crc) << c.name;
        EXPECT_EQ(crc32c_sw(0, c.data.data(), c.data.size()), c.crc) << c.name << " (table)";
        if (crc32c_has_sse42()) {
            EXPECT_EQ(crc32c_hw(0, c.data.data(), c.data.size()), c.crc) << c.name << " (hw)";
        }
    }
}

TEST(Crc32c, ChainedEqualsWhole)
{
    const char *d = "123456789";
    EXPECT_EQ(crc32c(crc32c(0, d, 4), d + 4, 5), 0xE3069283u);
    EXPECT_EQ(crc32c_sw(crc32c_sw(0, d, 4), d + 4, 5), 0xE3069283u);
    // Length 0 returns the previous value unchanged.
    EXPECT_EQ(crc32c(0x12345678u, d, 0), 0x12345678u);
    EXPECT_EQ(crc32c(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST(Crc32c, HardwareAndTableAgree)
{
    if (!crc32c_has_sse42())
        GTEST_SKIP() << "no SSE4.2 on this processor";
    const std::vector<uint8_t> bytes = test_noise(64);
    const uint8_t *buf = bytes.data();
    // Every length from 0 to 17 at every alignment of the 8-byte steps.
    for (size_t offset = 0; offset < 8; offset++)
        for (size_t len = 0; len <= 17; len++)
            for (uint32_t prev : {0u, 0xFFFFFFFFu, 0xE3069283u})
                ASSERT_EQ(crc32c_hw(prev, buf + offset, len), crc32c_sw(prev, buf + offset, len))
                    << "offset " << offset << " length " << len << " prev " << prev;
}
