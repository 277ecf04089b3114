// Windows error codes onto the platform layer's result codes.
#include <gtest/gtest.h>

#include "sys_result.h"

TEST(SysResult, MapsWindowsErrors)
{
    struct {
        unsigned long win_error;
        int expected;
    } cases[] = {
        {2, SYS_ENOENT},   {3, SYS_ENOENT},   {8, SYS_ENOMEM},  {80, SYS_EEXIST},
        {183, SYS_EEXIST}, {87, SYS_EINVAL},  {0, SYS_EFAIL},   {1, SYS_EFAIL},
        {5, SYS_EFAIL},    {32, SYS_EFAIL},   {33, SYS_EFAIL},  {112, SYS_EFAIL},
        {0xFFFFFFFFul, SYS_EFAIL},
    };
    for (auto &c : cases)
        EXPECT_EQ(sys_map_error(c.win_error), c.expected) << "Windows error " << c.win_error;
}
