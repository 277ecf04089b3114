// host_facts_detect on this system, and through its seam on machines Wine
// cannot be: arm64 under emulation, server editions, missing exports.
#include <gtest/gtest.h>

#include <string.h>

#include "host_facts_win.h"

// What the stand-in calls answer in the running case.
static struct {
    WORD processor_architecture;  // GetNativeSystemInfo
    int wow64;                    // 0 missing, 1 fails, 2 answers native_machine
    USHORT native_machine;
    int rtl;                      // 0 missing, 1 fails, 2 answers
    BYTE product_type;
    DWORD build;
    int bad_record;               // 1 once RtlGetVersion saw a record not zeroed or of the wrong size
} g_fake;

static void WINAPI fake_native_system_info(SYSTEM_INFO *si)
{
    si->wProcessorArchitecture = g_fake.processor_architecture;
}

static BOOL WINAPI fake_wow64(HANDLE, USHORT *process_machine, USHORT *native_machine)
{
    if (g_fake.wow64 == 1)
        return FALSE;
    *process_machine = 0;
    *native_machine = g_fake.native_machine;
    return TRUE;
}

static LONG WINAPI fake_rtl_get_version(RTL_OSVERSIONINFOEXW *info)
{
    RTL_OSVERSIONINFOEXW zero;
    memset(&zero, 0, sizeof zero);
    zero.dwOSVersionInfoSize = 284;
    if (memcmp(info, &zero, sizeof zero) != 0)
        g_fake.bad_record = 1;
    if (g_fake.rtl == 1)
        return (LONG)0xC000000D;  // STATUS_INVALID_PARAMETER
    info->dwBuildNumber = g_fake.build;
    info->wProductType = g_fake.product_type;
    return 0;
}

static FARPROC fake_find_export(const wchar_t *module, const char *name)
{
    if (wcscmp(module, L"kernel32.dll") == 0 && strcmp(name, "IsWow64Process2") == 0 && g_fake.wow64)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(fake_wow64));
    if (wcscmp(module, L"ntdll.dll") == 0 && strcmp(name, "RtlGetVersion") == 0 && g_fake.rtl)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(fake_rtl_get_version));
    return nullptr;
}

TEST(HostFactsWin, ThisSystem)
{
    host_facts hf;
    memset(&hf, 'Z', sizeof hf);
    host_facts_detect(&hf);
    EXPECT_STREQ(hf.os, "windows");
    EXPECT_STREQ(hf.arch, "x86_64");
    EXPECT_GT(hf.build, 0u);
    EXPECT_EQ(hf.server, 0u);
    EXPECT_STREQ(hf.id, "");
    EXPECT_STREQ(hf.id_like, "");
    EXPECT_STREQ(hf.version_id, "");
    EXPECT_STREQ(hf.glibc, "");
}

TEST(HostFactsWin, ThroughTheSeam)
{
    struct {
        const char *name;
        WORD processor_architecture;
        int wow64;
        USHORT native_machine;
        int rtl;
        BYTE product_type;
        const char *arch;
        unsigned build, server;
    } cases[] = {
        {"x64 workstation", 9, 2, 0x8664, 2, VER_NT_WORKSTATION, "x86_64", 22631, 0},
        {"server", 9, 2, 0x8664, 2, VER_NT_SERVER, "x86_64", 22631, 1},
        {"domain controller", 9, 2, 0x8664, 2, VER_NT_DOMAIN_CONTROLLER, "x86_64", 22631, 1},
        {"x64 emulated on arm64", 9, 2, 0xAA64, 2, VER_NT_WORKSTATION, "arm64", 22631, 0},
        {"arm64 before IsWow64Process2", 12, 0, 0, 2, VER_NT_WORKSTATION, "arm64", 22631, 0},
        {"IsWow64Process2 fails", 9, 1, 0xAA64, 2, VER_NT_WORKSTATION, "x86_64", 22631, 0},
        {"32-bit Windows", 0, 2, 0x014C, 2, VER_NT_WORKSTATION, "x86", 22631, 0},
        {"RtlGetVersion missing", 9, 2, 0x8664, 0, VER_NT_SERVER, "x86_64", 0, 0},
        {"RtlGetVersion fails", 9, 2, 0x8664, 1, VER_NT_SERVER, "x86_64", 0, 0},
    };
    for (auto &c : cases) {
        memset(&g_fake, 0, sizeof g_fake);
        g_fake.processor_architecture = c.processor_architecture;
        g_fake.wow64 = c.wow64;
        g_fake.native_machine = c.native_machine;
        g_fake.rtl = c.rtl;
        g_fake.product_type = c.product_type;
        g_fake.build = 22631;
        host_facts_sys sys = {fake_native_system_info, fake_find_export};
        host_facts hf;
        memset(&hf, 'Z', sizeof hf);
        host_facts_detect_with(&hf, &sys);
        EXPECT_STREQ(hf.os, "windows") << c.name;
        EXPECT_STREQ(hf.arch, c.arch) << c.name;
        EXPECT_EQ(hf.build, c.build) << c.name;
        EXPECT_EQ(hf.server, c.server) << c.name;
        EXPECT_STREQ(hf.id, "") << c.name;
        EXPECT_EQ(g_fake.bad_record, 0) << c.name;
    }
}
