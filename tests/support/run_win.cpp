// Starting a program with captured output on Windows (and under Wine).
#include "run_win.h"

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
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

// One pipe's bytes, read by a thread of its own until the pipe ends. Shared
// with that thread, which may outlive the run: a grandchild that inherited
// the pipe (under Wine also the desktop process a window call starts) keeps
// it open after the program ended.
struct pipe_reader {
    std::mutex lock;
    std::condition_variable ended_cv;
    std::string bytes;
    bool ended = false;
};

static void drain(HANDLE h, std::shared_ptr<pipe_reader> r)
{
    char buf[4096];
    DWORD n;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) {
        std::lock_guard<std::mutex> g(r->lock);
        r->bytes.append(buf, n);
    }
    CloseHandle(h);
    std::lock_guard<std::mutex> g(r->lock);
    r->ended = true;
    r->ended_cv.notify_all();
}

// Starts reading h; the reader owns the handle from now on.
static std::shared_ptr<pipe_reader> start_reading(HANDLE h)
{
    auto r = std::make_shared<pipe_reader>();
    std::thread(drain, h, r).detach();
    return r;
}

// What the reader has once the pipe ended, or after 10 s more at most.
static std::string read_all(const std::shared_ptr<pipe_reader> &r)
{
    std::unique_lock<std::mutex> g(r->lock);
    r->ended_cv.wait_for(g, std::chrono::seconds(10), [&] { return r->ended; });
    return r->bytes;
}

// Runs program with its output on pipes: two of them, or one for both
// streams when joined.
static test_proc run_piped(const std::string &program, const std::vector<std::string> &args,
                           unsigned timeout_ms, bool joined)
{
    test_proc r;
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
    BOOL ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &si, &pi);
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
    std::shared_ptr<pipe_reader> out = start_reading(out_r), err;
    if (err_r)
        err = start_reading(err_r);
    if (WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_TIMEOUT) {
        r.timed_out = true;
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    r.out = read_all(out);
    if (err)
        r.err = read_all(err);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    r.exit_code = (int)code;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return r;
}

test_proc test_run(const std::string &program, const std::vector<std::string> &args,
                   unsigned timeout_ms)
{
    return run_piped(program, args, timeout_ms, false);
}

test_proc test_run_joined(const std::string &program, const std::vector<std::string> &args,
                          unsigned timeout_ms)
{
    return run_piped(program, args, timeout_ms, true);
}

test_proc test_run_setup(const std::vector<std::string> &args, unsigned timeout_ms)
{
    return test_run(test_setup_exe(), args, timeout_ms);
}
