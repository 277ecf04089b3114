// Starting a program with captured output on Windows (and under Wine).
#include "run_win.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include <windows.h>

std::string test_setup_exe()
{
    const char *p = getenv("ORV_SETUP_EXE");
    return p ? p : "orv_setup.exe";
}

bool test_process_ended(unsigned long pid, unsigned ms)
{
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!h)
        return true;
    bool gone = WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
    if (!gone)
        TerminateProcess(h, 99);
    CloseHandle(h);
    return gone;
}

int test_run_self(const std::string &gtest_filter, unsigned ms_before_end, unsigned timeout_ms)
{
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, sizeof self))
        return -1;
    std::string cmd = "\"" + std::string(self) + "\" --gtest_filter=" + gtest_filter;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return -1;
    if (ms_before_end && WaitForSingleObject(pi.hProcess, ms_before_end) == WAIT_TIMEOUT)
        TerminateProcess(pi.hProcess, 3);
    DWORD code = (DWORD)-1;
    if (WaitForSingleObject(pi.hProcess, timeout_ms) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(pi.hProcess, &code))
        code = (DWORD)-1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)code;
}

// Ends this process 300 ms from now.
static DWORD WINAPI end_later(LPVOID)
{
    Sleep(300);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

BOOL WINAPI test_create_then_end(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                                 LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                                 LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi)
{
    BOOL ok = CreateProcessA(app, line, pa, ta, inherit, flags, env, dir, si, pi);
    if (!ok)
        return ok;
    if (const char *pid_file = getenv("ORV_T_KILL_PIDFILE")) {
        std::string pid = std::to_string(pi->dwProcessId);
        HANDLE f = CreateFileA(pid_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD n = 0;
        if (f != INVALID_HANDLE_VALUE) {
            WriteFile(f, pid.data(), (DWORD)pid.size(), &n, nullptr);
            CloseHandle(f);
        }
    }
    const char *at = getenv("ORV_T_KILL_AT");
    if (at && strcmp(at, "start") == 0)
        TerminateProcess(GetCurrentProcess(), 3);
    CloseHandle(CreateThread(nullptr, 0, end_later, nullptr, 0, nullptr));
    return ok;
}

std::string test_fake_prog()
{
    const char *p = getenv("ORV_FAKE_PROG");
    return p ? p : "fake_prog.exe";
}

// Quotes one argument by the rules the C runtime uses to split a command line.
static std::string quote_arg(const std::string &a)
{
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos)
        return a;
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            slashes++;
            continue;
        }
        if (c == '"')
            q.append(slashes * 2 + 1, '\\');
        else
            q.append(slashes, '\\');
        slashes = 0;
        q += c;
    }
    q.append(slashes * 2, '\\');
    return q + "\"";
}

static void drain(HANDLE h, std::string *into)
{
    char buf[4096];
    DWORD n;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        into->append(buf, n);
}

// test_run_watched with both streams on one pipe when joined.
static test_proc run_piped(const std::string &program, const std::vector<std::string> &args,
                           unsigned timeout_ms, const std::function<void(unsigned long)> &tick,
                           bool joined)
{
    test_proc r;
    // Wine starts the prefix's desktop process with the first program that
    // touches windows, and that process keeps the program's inherited
    // handles: started from here, it holds none of the pipes below.
    GetDesktopWindow();
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE out_r, out_w, err_r = nullptr, err_w = nullptr;
    if (!CreatePipe(&out_r, &out_w, &sa, 0))
        return r;
    if (joined) {
        DuplicateHandle(GetCurrentProcess(), out_w, GetCurrentProcess(), &err_w, 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
    } else if (!CreatePipe(&err_r, &err_w, &sa, 0)) {
        CloseHandle(out_r);
        CloseHandle(out_w);
        return r;
    }
    SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
    if (err_r)
        SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
    std::string cmd = quote_arg(program);
    for (const std::string &a : args)
        cmd += " " + quote_arg(a);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out_w;
    si.hStdError = err_w;
    PROCESS_INFORMATION pi = {};
    // A loaded machine's Wine now and then refuses a good start with
    // ERROR_INTERNAL_ERROR, and the same start goes through a moment later;
    // nothing of the program ran, so it is tried twice more, as the product's
    // runner does.
    BOOL ok = FALSE;
    for (int attempt = 0; attempt < 3 && !ok; attempt++) {
        if (attempt) {
            if (GetLastError() != ERROR_INTERNAL_ERROR)
                break;
            Sleep(100);
        }
        ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &si, &pi);
    }
    if (!ok)
        r.err = "the start failed (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(out_w);
    CloseHandle(err_w);
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!ok) {
        CloseHandle(out_r);
        if (err_r)
            CloseHandle(err_r);
        return r;
    }
    std::thread t1(drain, out_r, &r.out), t2;
    if (err_r)
        t2 = std::thread(drain, err_r, &r.err);
    // Without a watcher one wait; with one, short waits and a look between.
    const DWORD slice = tick ? 20 : timeout_ms;
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD wait = now >= deadline ? 0 : (DWORD)std::min<ULONGLONG>(slice, deadline - now);
        if (WaitForSingleObject(pi.hProcess, wait) != WAIT_TIMEOUT)
            break;
        if (GetTickCount64() >= deadline) {
            r.timed_out = true;
            TerminateProcess(pi.hProcess, 255);
            WaitForSingleObject(pi.hProcess, INFINITE);
            break;
        }
        if (tick)
            tick(pi.dwProcessId);
    }
    t1.join();
    if (t2.joinable())
        t2.join();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    r.exit_code = (int)code;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(out_r);
    if (err_r)
        CloseHandle(err_r);
    return r;
}

test_proc test_run(const std::string &program, const std::vector<std::string> &args,
                   unsigned timeout_ms)
{
    return test_run_watched(program, args, timeout_ms, nullptr);
}

test_proc test_run_watched(const std::string &program, const std::vector<std::string> &args,
                           unsigned timeout_ms, const std::function<void(unsigned long)> &tick)
{
    return run_piped(program, args, timeout_ms, tick, false);
}

test_proc test_run_joined(const std::string &program, const std::vector<std::string> &args,
                          unsigned timeout_ms)
{
    return run_piped(program, args, timeout_ms, nullptr, true);
}

test_proc test_run_setup(const std::vector<std::string> &args, unsigned timeout_ms)
{
    return test_run(test_setup_exe(), args, timeout_ms);
}
