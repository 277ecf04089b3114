// The wall clock and the re-entrant mutexes.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <thread>

#include "sys_clock.h"

TEST(SysClock, FiletimeToUnix)
{
    const uint64_t epoch = 116444736000000000ULL;
    struct {
        uint64_t filetime;
        int64_t s, ms;
    } cases[] = {
        {epoch, 0, 0},
        // 1970-01-01 00:00:00.999 9999: both are cut, never rounded.
        {epoch + 9999999, 0, 999},
        {epoch + 10000000, 1, 1000},
        {epoch + 1796779069ULL * 10000000 + 5000, 1796779069, 1796779069000},
    };
    for (auto &c : cases) {
        EXPECT_EQ(sys_filetime_to_unix_s(c.filetime), c.s) << c.filetime;
        EXPECT_EQ(sys_filetime_to_unix_ms(c.filetime), c.ms) << c.filetime;
    }
}

TEST(SysClock, NowAgreesWithTheRuntime)
{
    int64_t before = (int64_t)time(nullptr);
    int64_t s = sys_time_now(), ms = sys_time_now_ms();
    int64_t after = (int64_t)time(nullptr);
    EXPECT_GE(s, before);
    EXPECT_LE(s, after);
    EXPECT_GE(ms / 1000, s);
    EXPECT_LE(ms / 1000, after);
}

TEST(SysClock, MutexIsReentrant)
{
    sys_mutex m;
    sys_mutex_init(&m);
    sys_mutex_lock(&m);
    sys_mutex_lock(&m);  // the owner may lock again
    std::atomic<bool> entered{false};
    std::thread other([&] {
        sys_mutex_lock(&m);
        entered = true;
        sys_mutex_unlock(&m);
    });
    sys_mutex_unlock(&m);
    // Still held once: the other thread must wait.
    Sleep(50);
    EXPECT_FALSE(entered.load());
    sys_mutex_unlock(&m);
    other.join();
    EXPECT_TRUE(entered.load());
    sys_mutex_destroy(&m);
}
