// Watching the wizard window of another process and pressing keys on it.
#include "wizard_watch.h"

#include <stdio.h>
#include <stdlib.h>

#include <windows.h>

#include "test_util.h"

namespace {

// The titles of the pages: the fixed ones, then those that the progress and
// result pages take by mode and result.
const struct {
    const char *title;
    int page;
} kTitles[] = {
    {"Willkommen bei orvantis", 0},
    {"Was soll installiert werden?", 1},
    {"Komponenten", 2},
    {"Updates", 3},
    {"Verbindung zum Backup-Server", 4},
    {"Verwaltungskonsole", 5},
    {"Freigabe für andere Rechner", 6},
    {"Zusammenfassung", 7},
    {"Installation läuft", 8},
    {"Änderung läuft", 8},
    {"Reparatur läuft", 8},
    {"Deinstallation läuft", 8},
    {"Fertig", 9},
    {"orvantis ist eingerichtet", 9},
    {"orvantis wurde entfernt", 9},
    {"Die Installation ist fehlgeschlagen", 9},
    {"Die Änderung ist fehlgeschlagen", 9},
    {"Die Reparatur ist fehlgeschlagen", 9},
    {"Die Deinstallation ist fehlgeschlagen", 9},
};

std::string utf8(const wchar_t *w)
{
    char buf[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf, n - 1) : std::string();
}

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

// The title of the page shown: the first visible static text of the window
// that is a page title; empty when none is.
struct title_args {
    std::string title;
    int page = -1;
};

BOOL CALLBACK find_title(HWND w, LPARAM lp)
{
    title_args *a = (title_args *)lp;
    wchar_t cls[32] = L"";
    GetClassNameW(w, cls, 32);
    if (_wcsicmp(cls, L"Static") != 0 || !IsWindowVisible(w))
        return TRUE;
    wchar_t text[512] = L"";
    GetWindowTextW(w, text, 512);
    std::string t = utf8(text);
    int page = wizard_page_of_title(t);
    if (page < 0)
        return TRUE;
    a->title = t;
    a->page = page;
    return FALSE;
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

int wizard_page_of_title(const std::string &title)
{
    for (const auto &t : kTitles)
        if (title == t.title)
            return t.page;
    return -1;
}

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
        HWND main = (HWND)wizard_find_window(pid, "OrvSetupWnd");
        if (main) {
            title_args t;
            EnumChildWindows(main, find_title, (LPARAM)&t);
            if (t.page >= 0) {
                if (w.pages.empty() || w.pages.back() != t.page) {
                    w.pages.push_back(t.page);
                    w.titles.push_back(t.title);
                } else {
                    w.titles.back() = t.title;
                }
            }
        }
        if (act)
            act(main, pid);
    });
    w.ms = (unsigned long)(GetTickCount64() - start);
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

bool wizard_press_keys(void *window, const std::string &keys)
{
    // Wine names the X window behind each top-level window in this property.
    unsigned long xid = (unsigned long)(ULONG_PTR)GetPropA((HWND)window, "__wine_x11_whole_window");
    if (!xid)
        return false;
    return test_unix_run("xdotool windowfocus --sync " + std::to_string(xid) + " key " + keys) ==
           0;
}
