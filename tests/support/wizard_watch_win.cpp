// Watching the wizard of another process and pressing keys on its windows.
#include "wizard_watch.h"

#include <stdio.h>
#include <stdlib.h>

#include <windows.h>

#include "test_util.h"

namespace {

struct find_args {
    DWORD pid;
    const char *cls;
    HWND found;
};

BOOL CALLBACK find_top(HWND w, LPARAM lp)
{
    find_args *a = (find_args *)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (pid == a->pid && IsWindowVisible(w) && _stricmp(cls, a->cls) == 0) {
        a->found = w;
        return FALSE;
    }
    return TRUE;
}

// Sets or removes one variable of this process's environment, which the
// programs it starts inherit; the earlier state comes back on destruction.
struct env_scope {
    std::string name;
    std::string old;
    bool had;
    env_scope(const char *n, const char *value) : name(n)
    {
        char buf[4096];
        SetLastError(0);
        DWORD len = GetEnvironmentVariableA(n, buf, sizeof buf);
        had = len > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (had)
            old.assign(buf, len < sizeof buf ? len : 0);
        SetEnvironmentVariableA(n, value);
    }
    ~env_scope() { SetEnvironmentVariableA(name.c_str(), had ? old.c_str() : nullptr); }
};

}  // namespace

void *wizard_find_window(unsigned long pid, const char *cls)
{
    find_args a = {(DWORD)pid, cls, nullptr};
    EnumWindows(find_top, (LPARAM)&a);
    return a.found;
}

wizard_watch wizard_watch_run(const std::vector<std::string> &args, const char *gui_test,
                              unsigned timeout_ms,
                              const std::function<void(void *, unsigned long)> &act)
{
    wizard_watch w;
    env_scope env("ORV_SETUP_GUI_TEST", gui_test);
    ULONGLONG start = GetTickCount64();
    w.proc = test_run_watched(test_setup_exe(), args, timeout_ms, [&](unsigned long pid) {
        if (act)
            act(wizard_find_window(pid, "OrvSetupWnd"), pid);
    });
    w.ms = (unsigned long)(GetTickCount64() - start);
    // In the test mode the wizard logs every page it shows; a page shown
    // again right after itself (page 0 once connected) counts once.
    const std::string mark = "wizard page ";
    for (size_t at = 0; (at = w.proc.err.find(mark, at)) != std::string::npos;) {
        at += mark.size();
        int page = atoi(w.proc.err.c_str() + at);
        if (w.pages.empty() || w.pages.back() != page)
            w.pages.push_back(page);
    }
    return w;
}

int test_unix_run(const std::string &command, unsigned timeout_ms, std::string *out)
{
    // Wine starts a Unix program but hands back no process to wait for: the
    // command leaves its exit code in a file of its own, looked for here.
    static int runs = 0;
    char base[80];
    snprintf(base, sizeof base, "/tmp/orv-unix-%lu-%d", GetCurrentProcessId(), ++runs);
    std::string unix_base = base, win_base = "Z:" + unix_base;
    for (char &c : win_base)
        if (c == '/')
            c = '\\';
    DeleteFileA((win_base + ".rc").c_str());
    // The command stands in double quotes on the command line that Wine
    // splits: it must not hold any itself.
    if (command.find('"') != std::string::npos)
        return -1;
    std::string line = "Z:\\bin\\sh -c \"(" + command + ") >" + unix_base + ".out 2>&1; echo $? >" +
                       unix_base + ".tmp; mv " + unix_base + ".tmp " + unix_base + ".rc\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return -1;
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    if (pi.hThread)
        CloseHandle(pi.hThread);
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    std::string rc;
    while ((rc = test_read_file(win_base + ".rc")).empty()) {
        if (GetTickCount64() > deadline)
            return -1;
        Sleep(20);
    }
    if (out)
        *out = test_read_file(win_base + ".out");
    DeleteFileA((win_base + ".rc").c_str());
    DeleteFileA((win_base + ".out").c_str());
    return atoi(rc.c_str());
}

void *wizard_focus_of(void *window)
{
    GUITHREADINFO gi = {};
    gi.cbSize = sizeof gi;
    DWORD tid = GetWindowThreadProcessId((HWND)window, nullptr);
    if (!tid || !GetGUIThreadInfo(tid, &gi))
        return nullptr;
    return gi.hwndFocus;
}

std::string wizard_text_of(void *window)
{
    wchar_t w[2048] = L"";
    DWORD_PTR got = 0;
    if (!window || !SendMessageTimeoutW((HWND)window, WM_GETTEXT, 2048, (LPARAM)w,
                                        SMTO_ABORTIFHUNG, 5000, &got))
        return "";
    char out[8192] = "";
    WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

void *wizard_shown_child(void *window, const std::string &text)
{
    for (HWND h = GetWindow((HWND)window, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
        if (IsWindowVisible(h) && wizard_text_of(h) == text)
            return h;
    return nullptr;
}

void wizard_set_field(void *field, const std::string &text)
{
    wchar_t w[2048] = L"";
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, w, 2048);
    DWORD_PTR got = 0;
    SendMessageTimeoutW((HWND)field, WM_SETTEXT, 0, (LPARAM)w, SMTO_ABORTIFHUNG, 5000, &got);
}

bool wizard_wait_for(const std::function<bool()> &cond, unsigned ms)
{
    ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        if (cond())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(50);
    }
}

bool wizard_press_keys(void *window, const std::string &keys)
{
    // Wine names the X window behind each top-level window in this property.
    unsigned long xid = (unsigned long)(ULONG_PTR)GetPropA((HWND)window, "__wine_x11_whole_window");
    if (!xid)
        return false;
    return test_unix_run("xdotool windowfocus --sync " + std::to_string(xid) + " key " + keys) ==
           0;
}
