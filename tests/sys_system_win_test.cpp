// System facts, clocks, threads and condition variables on Windows. The call
// table chooses the answers Wine cannot give on demand: a temporary path that
// ends in separators, a mapped network drive, a system without a temporary
// path.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "seam_guard.h"
#include "sys_system.h"
#include "sys_system_win.h"
#include "sys_thread.h"
#include "test_util.h"

namespace {

const char *fake_temp;  // what the faked GetTempPathA answers
DWORD WINAPI fake_get_temp_path(DWORD size, LPSTR buf)
{
    if (!fake_temp)
        return 0;
    snprintf(buf, size, "%s", fake_temp);
    return (DWORD)strlen(fake_temp);
}

UINT WINAPI remote_drive(LPCSTR) { return DRIVE_REMOTE; }

int calls_to_volume;  // how often the system was asked for a path's volume
BOOL WINAPI counted_volume(LPCSTR path, LPSTR buf, DWORD size)
{
    calls_to_volume++;
    return GetVolumePathNameA(path, buf, size);
}

} // namespace

TEST(SysSystemWin, FactsHaveTheirFixedShapes)
{
    EXPECT_GE(sys_cpu_count(), 1u);
    EXPECT_GT(sys_total_memory(), 0u);
    EXPECT_EQ(GetCurrentProcessId(), sys_pid());
    char os[64];
    EXPECT_EQ(0, sys_os_version(os, sizeof os));
    EXPECT_NE(nullptr, strstr(os, " Build ")) << os;
    char name[64], tiny[2];
    EXPECT_EQ(0, sys_computer_name(name, sizeof name));
    EXPECT_GT(strlen(name), 0u);
    EXPECT_EQ(-1, sys_computer_name(tiny, sizeof tiny));
    char host[256];
    sys_host_name(host, sizeof host);
    EXPECT_GT(strlen(host), 0u);
    char cut[4];
    sys_host_name(cut, sizeof cut);
    EXPECT_LE(strlen(cut), 3u);
    uint64_t free_bytes = 0;
    EXPECT_EQ(0, sys_disk_free("C:\\", &free_bytes));
    EXPECT_GT(free_bytes, 0u);
}

TEST(SysSystemWin, TempDirWithoutTrailingSeparators)
{
    seam_guard<sys_system_api> guard(sys_system_calls);
    sys_system_calls.GetTempPathA = fake_get_temp_path;
    struct {
        const char *system, *expected;
    } cases[] = {
        {"C:\\Users\\x\\Temp\\", "C:\\Users\\x\\Temp"},
        {"C:\\Users\\x\\Temp\\\\", "C:\\Users\\x\\Temp"},
        {"D:\\", "D:\\"},
        {"D:\\\\", "D:\\"},
        {nullptr, "C:\\Windows\\Temp"},
    };
    for (const auto &c : cases) {
        fake_temp = c.system;
        char buf[128];
        sys_temp_dir(buf, sizeof buf);
        EXPECT_STREQ(c.expected, buf) << (c.system ? c.system : "(no answer)");
    }
}

TEST(SysSystemWin, NetworkPathsByPrefixAndByDrive)
{
    seam_guard<sys_system_api> guard(sys_system_calls);
    sys_system_calls.GetVolumePathNameA = counted_volume;
    calls_to_volume = 0;
    int flag = -1;
    EXPECT_EQ(0, sys_is_network_path("\\\\server\\share\\file", &flag));
    EXPECT_EQ(1, flag);
    EXPECT_EQ(0, sys_is_network_path("\\\\?\\UNC\\server\\share", &flag));
    EXPECT_EQ(1, flag);
    EXPECT_EQ(0, calls_to_volume) << "a prefix decides without the system";

    EXPECT_EQ(0, sys_is_network_path("C:\\windows", &flag));
    EXPECT_EQ(0, flag);
    sys_system_calls.GetDriveTypeA = remote_drive;
    EXPECT_EQ(0, sys_is_network_path("C:\\windows", &flag));
    EXPECT_EQ(1, flag) << "a mapped network drive";
}

TEST(SysSystemWin, FullPathOfExistingAndMissingFiles)
{
    std::string dir = test_temp_dir("fullpath");
    std::string file = dir + "\\f.txt";
    ASSERT_TRUE(test_write_file(file, "x"));
    char buf[1024];
    ASSERT_EQ(0, sys_full_path(file.c_str(), buf, sizeof buf));
    size_t len = strlen(buf);
    EXPECT_EQ(':', buf[1]) << buf;
    EXPECT_EQ(0, sys_full_path(file.c_str(), buf, len + 1));
    EXPECT_EQ(-3, sys_full_path(file.c_str(), buf, len)) << "one byte short of the NUL";
    EXPECT_EQ(-4, sys_full_path((dir + "\\missing.txt").c_str(), buf, sizeof buf));
}

TEST(SysSystemWin, ClocksAreMonotonic)
{
    uint64_t t0 = sys_ticks_ms();
    int64_t u0 = sys_clock_us();
    sys_sleep_ms(20);
    int64_t du = sys_clock_us() - u0;
    EXPECT_GE(sys_ticks_ms(), t0);
    EXPECT_GE(du, 15000);
    EXPECT_LT(du, 2000000);
}

namespace {

// A queue of one flag between two threads, the usual shape of a condition
// variable's use.
struct handoff {
    sys_mutex m;
    sys_cond c;
    int ready = 0;   // set by the producer under m
};

uint32_t consumer(void *p)
{
    handoff *h = (handoff *)p;
    sys_mutex_lock(&h->m);
    while (!h->ready)
        sys_cond_wait(&h->c, &h->m);
    sys_mutex_unlock(&h->m);
    return 7;
}

uint32_t quick(void *) { return 3; }

} // namespace

TEST(SysSystemWin, ThreadsAndConditionVariables)
{
    handoff h;
    sys_mutex_init(&h.m);
    sys_cond_init(&h.c);

    // No signal: a zero wait times out at once, the mutex held again.
    sys_mutex_lock(&h.m);
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(1, sys_cond_timedwait(&h.c, &h.m, 0));
    EXPECT_EQ(1, sys_cond_timedwait(&h.c, &h.m, 30));
    EXPECT_LT(GetTickCount64() - t0, 2000u);
    sys_mutex_unlock(&h.m);

    sys_thread t;
    ASSERT_EQ(0, sys_thread_start(&t, consumer, &h));
    sys_sleep_ms(20);
    sys_mutex_lock(&h.m);
    h.ready = 1;
    sys_cond_broadcast(&h.c);
    sys_mutex_unlock(&h.m);
    EXPECT_EQ(0, sys_thread_join(t));
    EXPECT_EQ(1, h.ready);

    // A thread that has already ended is joined at once.
    sys_thread q;
    ASSERT_EQ(0, sys_thread_start(&q, quick, nullptr));
    sys_sleep_ms(50);
    t0 = GetTickCount64();
    EXPECT_EQ(0, sys_thread_join(q));
    EXPECT_LT(GetTickCount64() - t0, 1000u);
    sys_cond_destroy(&h.c);
    sys_mutex_destroy(&h.m);
}

TEST(SysSystemWin, ThreadExitCodeIsTheFunctionsValue)
{
    // The start routine hands the function's value to the thread's exit code;
    // read through a duplicate, since the join closes the handle.
    sys_thread t;
    ASSERT_EQ(0, sys_thread_start(&t, quick, nullptr));
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), t, GetCurrentProcess(), &dup, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(0, sys_thread_join(t));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(dup, &code));
    EXPECT_EQ(3u, code);
    CloseHandle(dup);
}
