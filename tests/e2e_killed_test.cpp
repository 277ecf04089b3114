// resource-lock: orvantis-sched
// resource-lock: product-programs
// orv_setup.exe ended by force while it checks a packaged program: the
// program it was checking must end with it, or every later run would find a
// product program running and postpone.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <string>
#include <vector>

#include "codec.h"
#include "engine_site.h"
#include "proc.h"
#include "proc_cmdline.h"
#include "run_win.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// The id of a process named image whose parent is parent; 0 when none runs.
DWORD child_named(DWORD parent, const char *image)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    DWORD found = 0;
    for (BOOL more = Process32First(snap, &pe); more && !found; more = Process32Next(snap, &pe))
        if (pe.th32ParentProcessID == parent && _stricmp(pe.szExeFile, image) == 0)
            found = pe.th32ProcessID;
    CloseHandle(snap);
    return found;
}

}  // namespace

TEST(Killed, SetupEndedDuringAProgramCheckLeavesNoProgramBehind)
{
    ASSERT_TRUE(srv_ready());
    engine_site site("killedcheck");
    // The core package carries orv_updater.exe, whose self-test takes long
    // enough to end the setup while it runs.
    program_answers slow;
    slow.selftest_sleep_ms = 60000;
    site_release rel = engine_site::standard_release("1.0.0", {"core"});
    rel.packages[0].bytes = engine_site::standard_package(
        "1.0.0", "core", {}, {engine_site::program("orv_updater", "1.0.0", slow)});
    site.releases = {rel};
    site.publish();
    const std::string root = test_temp_dir("killedroot");

    char pub[64] = "";
    b64_encode(site.cfg.public_keys[0], 32, pub, sizeof pub);
    std::vector<std::string> args = {test_setup_exe(), "--silent", "--url", site.cfg.url,
                                     "--ca-file", srv_cert("srv.pem"), "--public-key", pub,
                                     "--root", root, "--install-dir", site.cfg.install_dir,
                                     "--state-dir", site.cfg.state_dir};
    char line[PROC_CMDLINE_MAX] = "";
    for (const std::string &a : args)
        ASSERT_EQ(proc_cmdline_append_arg(line, sizeof line, a.c_str()), 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));

    // Its "--version" ends at once; the one that stays for a second is the
    // self-test.
    DWORD check = 0;
    int seen = 0;
    for (int i = 0; i < 1200 && seen < 20 && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT;
         i++) {
        DWORD pid = child_named(pi.dwProcessId, "orv_updater.exe");
        seen = pid && pid == check ? seen + 1 : 0;
        check = pid;
        Sleep(50);
    }
    ASSERT_EQ(seen, 20) << "the setup never checked orv_updater.exe for long";
    ASSERT_TRUE(TerminateProcess(pi.hProcess, 1));
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    EXPECT_TRUE(test_process_ended(check)) << "the checked program outlived the setup";
    char names[256];
    EXPECT_EQ(proc_running_programs(names, sizeof names), 0) << names;
}
