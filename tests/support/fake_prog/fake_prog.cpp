// A small console program that the tests start in place of real programs.
// Each argument is one action, done in order:
//   out:TEXT   write TEXT to standard output (escapes \n \r \t \\ \xHH)
//   err:TEXT   the same on standard error
//   sleep:MS   wait MS milliseconds
//   exit:N     end with exit code N (decimal or 0x hex)
//   flood:N    write N bytes of letters to standard output; flood:0 never stops
//   args       write every argument as Windows splits the command line
//              (CommandLineToArgvW), one per line as hex digits, argv[0] first
//   env:NAME   write "NAME=value\n", or "NAME unset\n"
//   pid:PATH   write this process's id into the file PATH
//   wait:PATH  wait (up to 20 s) until the file PATH exists
//   spawn:N    start this program again with the next N arguments as its
//              actions, sharing this one's standard handles, and go on
//              without waiting for it
//   log:PATH   append every argument after the program's own name to the
//              file PATH, one per line, then an empty line
//   copyarg:N:PATH  copy the file named by argument N (0: the program) to PATH
//   service    run as the Windows service this process was started for,
//              until the service manager tells it to stop
// Started with "--version" or "--selftest" as its only argument, it reads its
// actions, one per line, from the file named like itself plus ".version" or
// ".selftest" (tool.exe.version); without that file it just ends with 0.
// Started with any other first argument for which such a file exists, named
// with the argument's leading "-" and "/" dropped (schtasks.exe.Create for
// "/Create", orv_sched.exe.list for "list"), it takes its actions from that
// file and leaves its arguments to "log:" and "copyarg:": that is how it
// stands in for a program whose arguments the code under test decides.
// When there is no file for the first argument (a path, say), one named like
// itself plus ".any" (icacls.exe.any) gives the actions, if it exists.
// Without an "exit:" action it ends with 0.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

static void write_all(DWORD which, const std::string &bytes)
{
    HANDLE h = GetStdHandle(which);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        if (!WriteFile(h, bytes.data() + done, (DWORD)(bytes.size() - done), &n, nullptr) ||
            n == 0)
            ExitProcess(120);  // the reader is gone
        done += n;
    }
}

static std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size()) {
            out += (char)strtoul(s.substr(i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else
            out += c;
    }
    return out;
}

static std::string own_path()
{
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
}

static std::string quoted(const std::string &a) { return "\"" + a + "\""; }

static void spawn(const std::vector<std::string> &actions)
{
    std::string line = quoted(own_path());
    for (const std::string &a : actions)
        line += " " + quoted(a);
    // The grandchild writes to the same pipe as this one. Named explicitly:
    // a GUI-subsystem program does not get its parent's handles by default.
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi))
        ExitProcess(121);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

static std::vector<std::string> split_args(std::string *hex_lines)
{
    int argc = 0;
    LPWSTR *w = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < argc; i++) {
        int n = WideCharToMultiByte(CP_ACP, 0, w[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(n > 0 ? n - 1 : 0, '\0');
        if (n > 1)
            WideCharToMultiByte(CP_ACP, 0, w[i], -1, &a[0], n, nullptr, nullptr);
        args.push_back(a);
        for (unsigned char c : a) {
            *hex_lines += digits[c >> 4];
            *hex_lines += digits[c & 15];
        }
        *hex_lines += '\n';
    }
    LocalFree(w);
    return args;
}

static std::vector<std::string> actions_from_file(const std::string &path)
{
    std::vector<std::string> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    while (fgets(buf, sizeof buf, f)) {
        std::string l = buf;
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        if (!l.empty())
            out.push_back(l);
    }
    fclose(f);
    return out;
}

// When a script file exists for the first argument word (see the top),
// puts its actions into *actions.
static void script_for(const std::string &word, std::vector<std::string> *actions)
{
    size_t skip = word.find_first_not_of("-/");
    std::string path = skip == std::string::npos ? "" : own_path() + "." + word.substr(skip);
    if (path.empty() || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        path = own_path() + ".any";
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        *actions = actions_from_file(path);
}

// ---- the "service" action ---------------------------------------------------

static SERVICE_STATUS_HANDLE service_handle;
static SERVICE_STATUS service_status;
static HANDLE service_stop;

static void service_report(DWORD state)
{
    service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    service_status.dwCurrentState = state;
    service_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(service_handle, &service_status);
}

static DWORD WINAPI service_control(DWORD code, DWORD, void *, void *)
{
    if (code == SERVICE_CONTROL_STOP) {
        service_report(SERVICE_STOP_PENDING);
        SetEvent(service_stop);
    }
    return NO_ERROR;
}

static void WINAPI service_main(DWORD argc, LPSTR *argv)
{
    service_handle = RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : "", service_control, nullptr);
    if (!service_handle)
        return;
    service_report(SERVICE_RUNNING);
    WaitForSingleObject(service_stop, INFINITE);
    service_report(SERVICE_STOPPED);
}

// Hands this process to the service manager until the service stops.
static void run_service()
{
    service_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA table[] = {{(LPSTR) "", service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        ExitProcess(122);
}

int main()
{
    std::string hex_lines;
    std::vector<std::string> args = split_args(&hex_lines);
    std::vector<std::string> actions(args.begin() + (args.empty() ? 0 : 1), args.end());
    if (actions.size() == 1 && (actions[0] == "--version" || actions[0] == "--selftest"))
        actions = actions_from_file(own_path() + "." + actions[0].substr(2));
    else if (!actions.empty())
        script_for(actions[0], &actions);

    for (size_t i = 0; i < actions.size(); i++) {
        const std::string &a = actions[i];
        size_t colon = a.find(':');
        std::string verb = a.substr(0, colon), arg = colon == std::string::npos ? "" : a.substr(colon + 1);
        if (verb == "out") {
            write_all(STD_OUTPUT_HANDLE, unescape(arg));
        } else if (verb == "err") {
            write_all(STD_ERROR_HANDLE, unescape(arg));
        } else if (verb == "sleep") {
            Sleep((DWORD)strtoul(arg.c_str(), nullptr, 10));
        } else if (verb == "exit") {
            ExitProcess((UINT)strtoul(arg.c_str(), nullptr, 0));
        } else if (verb == "flood") {
            unsigned long long left = strtoull(arg.c_str(), nullptr, 10);
            bool forever = left == 0;
            std::string chunk;
            for (int k = 0; k < 4096; k++)
                chunk += (char)('a' + k % 26);
            while (forever || left > 0) {
                size_t n = forever || left > chunk.size() ? chunk.size() : (size_t)left;
                write_all(STD_OUTPUT_HANDLE, chunk.substr(0, n));
                if (!forever)
                    left -= n;
            }
        } else if (verb == "args") {
            write_all(STD_OUTPUT_HANDLE, hex_lines);
        } else if (verb == "env") {
            char buf[32768];
            SetLastError(0);
            DWORD n = GetEnvironmentVariableA(arg.c_str(), buf, sizeof buf);
            if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                write_all(STD_OUTPUT_HANDLE, arg + " unset\n");
            else
                write_all(STD_OUTPUT_HANDLE, arg + "=" + std::string(buf, n) + "\n");
        } else if (verb == "pid") {
            FILE *f = fopen(arg.c_str(), "wb");
            if (f) {
                fprintf(f, "%lu", GetCurrentProcessId());
                fclose(f);
            }
        } else if (verb == "wait") {
            for (int k = 0; k < 400 && GetFileAttributesA(arg.c_str()) == INVALID_FILE_ATTRIBUTES; k++)
                Sleep(50);
        } else if (verb == "log") {
            FILE *f = fopen(arg.c_str(), "ab");
            if (f) {
                for (size_t k = 1; k < args.size(); k++)
                    fprintf(f, "%s\n", args[k].c_str());
                fputs("\n", f);
                fclose(f);
            }
        } else if (verb == "copyarg") {
            size_t sep = arg.find(':');
            size_t n = strtoul(arg.substr(0, sep).c_str(), nullptr, 10);
            if (sep != std::string::npos && n < args.size())
                CopyFileA(args[n].c_str(), arg.substr(sep + 1).c_str(), FALSE);
        } else if (verb == "service") {
            run_service();
        } else if (verb == "spawn") {
            size_t n = strtoul(arg.c_str(), nullptr, 10);
            if (n > actions.size() - i - 1)
                n = actions.size() - i - 1;
            spawn(std::vector<std::string>(actions.begin() + i + 1, actions.begin() + i + 1 + n));
            i += n;
        }
    }
    return 0;
}
