// The scheduler's set-up and removal against Wine's service manager, with the
// fake program standing in for orv_sched (it runs as the service and answers
// the API commands) and for netsh.exe and schtasks.exe, which lie beside this
// test program where Windows looks first for a bare program name (Wine's own
// netsh is a stub, and its schtasks /Query always ends with 0). What Wine's
// service manager cannot be made to do goes through the unit's call table.
// own directory
// resource-lock: orvantis-sched
#include <gtest/gtest.h>

#include <windows.h>

#include <io.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "run_win.h"
#include "sched_setup.h"
#include "sched_setup_win.h"
#include "seam_guard.h"
#include "setup_options.h"
#include "setup_win.h"
#include "test_util.h"

namespace {

std::string own_dir()
{
    char p[MAX_PATH];
    GetModuleFileNameA(nullptr, p, sizeof p);
    std::string s = p;
    return s.substr(0, s.find_last_of('\\'));
}

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The runs the fake logged ("log:" action): each run's arguments joined by "|".
std::vector<std::string> runs(const std::string &log)
{
    std::vector<std::string> out;
    std::string all = test_read_file(log), cur;
    size_t at = 0, nl;
    while ((nl = all.find('\n', at)) != std::string::npos) {
        std::string line = all.substr(at, nl - at);
        at = nl + 1;
        if (line.empty()) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += (cur.empty() ? "" : "|") + line;
        }
    }
    return out;
}

// Stops and deletes an "orvantis-sched" left in this prefix.
void remove_service()
{
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = m ? OpenServiceA(m, "orvantis-sched", SERVICE_ALL_ACCESS) : nullptr;
    if (s) {
        SERVICE_STATUS st;
        ControlService(s, SERVICE_CONTROL_STOP, &st);
        for (int i = 0; i < 100 && QueryServiceStatus(s, &st) && st.dwCurrentState != SERVICE_STOPPED; i++)
            Sleep(50);
        DeleteService(s);
        CloseServiceHandle(s);
    }
    if (m)
        CloseServiceHandle(m);
}

// What Wine's service manager knows of "orvantis-sched".
struct service_facts {
    bool present = false;
    DWORD state = 0, pid = 0, type = 0, start = 0, error_control = 0;
    std::string cmdline, display;
    std::wstring description;
};

service_facts service_now()
{
    service_facts f;
    SC_HANDLE m = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = m ? OpenServiceA(m, "orvantis-sched", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                    : nullptr;
    if (s) {
        f.present = true;
        SERVICE_STATUS_PROCESS st = {};
        DWORD need;
        QueryServiceStatusEx(s, SC_STATUS_PROCESS_INFO, (LPBYTE)&st, sizeof st, &need);
        f.state = st.dwCurrentState;
        f.pid = st.dwProcessId;
        static BYTE buf[8192];
        auto *c = (QUERY_SERVICE_CONFIGA *)buf;
        if (QueryServiceConfigA(s, c, sizeof buf, &need)) {
            f.type = c->dwServiceType;
            f.start = c->dwStartType;
            f.error_control = c->dwErrorControl;
            f.cmdline = c->lpBinaryPathName ? c->lpBinaryPathName : "";
            f.display = c->lpDisplayName ? c->lpDisplayName : "";
        }
        static BYTE dbuf[4096];
        if (QueryServiceConfig2W(s, SERVICE_CONFIG_DESCRIPTION, dbuf, sizeof dbuf, &need)) {
            auto *d = (SERVICE_DESCRIPTIONW *)dbuf;
            f.description = d->lpDescription ? d->lpDescription : L"";
        }
        CloseServiceHandle(s);
    }
    if (m)
        CloseServiceHandle(m);
    return f;
}

DWORD wait_state(DWORD want)
{
    service_facts f;
    for (int i = 0; i < 200; i++) {
        f = service_now();
        if (f.state == want)
            break;
        Sleep(50);
    }
    return f.state;
}

// An installation in a folder with blanks, its data directory below a
// ProgramData of the test's own, and the fakes in place.
struct SchedSetup : ::testing::Test {
    std::unique_ptr<setup_context> ctx{new setup_context};
    std::string top, install, bin, program_data, data_dir, cfg, sched, sched_log, netsh,
        netsh_log, schtasks, schtasks_log, task_copy;
    std::string saved_program_data;
    bool had_program_data = false;
    char err[600] = "";

    void SetUp() override
    {
        remove_service();
        setup_options_base_defaults(ctx.get());
        top = test_temp_dir("sched_setup");
        install = top + "\\Program Files\\orvantis";
        bin = install + "\\bin";
        ASSERT_TRUE(CreateDirectoryA((top + "\\Program Files").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(install.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA(bin.c_str(), nullptr));
        snprintf(ctx->updater_config.install_dir, sizeof ctx->updater_config.install_dir, "%s",
                 install.c_str());
        snprintf(ctx->config_path, sizeof ctx->config_path, "%s\\data dir\\updater.conf",
                 top.c_str());

        const char *pd = getenv("ProgramData");
        had_program_data = pd != nullptr;
        saved_program_data = pd ? pd : "";
        program_data = top + "\\ProgramData";
        _putenv_s("ProgramData", program_data.c_str());
        data_dir = program_data + "\\orvantis";
        cfg = data_dir + "\\orv_sched.cfg";

        sched = bin + "\\orv_sched.exe";
        sched_log = top + "\\sched.log";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), sched.c_str(), FALSE));
        ASSERT_TRUE(test_write_file(sched + ".service", "service\n"));
        answer_sched("api-init", "out:certificate ready\\nfingerprint: 12:AB:CD\\r\\n");
        answer_sched("api-enable", "out:API enabled\\n");
        answer_sched("api-release", "out:released\\n");
        answer_sched("list", "out:NAME STATE\\n");

        netsh = own_dir() + "\\netsh.exe";
        netsh_log = top + "\\netsh.log";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), netsh.c_str(), FALSE));
        ASSERT_TRUE(test_write_file(netsh + ".advfirewall", "log:" + netsh_log + "\n"));

        schtasks = own_dir() + "\\schtasks.exe";
        schtasks_log = top + "\\schtasks.log";
        task_copy = top + "\\task.xml";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), schtasks.c_str(), FALSE));
        answer_schtasks("Create", "exit:0");
        answer_schtasks("Delete", "exit:0");
        answer_schtasks("Query", "exit:0");
    }
    void TearDown() override
    {
        remove_service();
        _putenv_s("ProgramData", had_program_data ? saved_program_data.c_str() : "");
    }
    // What orv_sched does for a command: log its arguments, then actions.
    void answer_sched(const char *command, const std::string &actions)
    {
        ASSERT_TRUE(test_write_file(sched + "." + command, "log:" + sched_log + "\n" + actions + "\n"));
    }
    // What schtasks.exe does for /word: log, keep the task file, then actions.
    void answer_schtasks(const char *word, const std::string &actions)
    {
        ASSERT_TRUE(test_write_file(schtasks + "." + word,
                                    "log:" + schtasks_log + "\ncopyarg:5:" + task_copy + "\n" +
                                        actions + "\n"));
    }
    // Installs another program of the product (the fake) into bin.
    void install_program(const char *name)
    {
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), (bin + "\\" + name + ".exe").c_str(), FALSE));
    }
    std::string forget(const std::string &log)
    {
        std::string was = test_read_file(log);
        DeleteFileA(log.c_str());
        return was;
    }
};

const char kCfgHead[] =
    "# see orv_sched.cfg.example (or the README) for the job syntax; on Windows only "
    "command=agent\r\n[sched]\r\n";

}  // namespace

TEST_F(SchedSetup, MissingProgramsAreRefused)
{
    DeleteFileA(sched.c_str());
    for (const char *root : {"", "C:\\testroot"}) {
        snprintf(ctx->root, sizeof ctx->root, "%s", root);
        EXPECT_EQ(win_sched_setup(ctx.get(), err, sizeof err), -1) << root;
        EXPECT_STREQ(err, "orv_sched gehört nicht zu dieser Installation") << root;
        EXPECT_EQ(win_update_task_create(ctx.get(), err, sizeof err), -1) << root;
        EXPECT_STREQ(err, "orv_updater gehört nicht zu dieser Installation") << root;
        EXPECT_EQ(win_resume_task_create(ctx.get(), err, sizeof err), -1) << root;
        EXPECT_STREQ(err, "orv_agent gehört nicht zu dieser Installation") << root;
    }
    EXPECT_FALSE(exists(data_dir));
    EXPECT_FALSE(service_now().present);
    EXPECT_TRUE(runs(schtasks_log).empty());
}

TEST_F(SchedSetup, TestModeWritesOnlyTheSettingsFile)
{
    std::string root = top + "\\root";
    snprintf(ctx->root, sizeof ctx->root, "%s", root.c_str());
    std::string root_cfg = root + "\\ProgramData\\orvantis\\orv_sched.cfg";
    install_program("orv_console");
    snprintf(ctx->console_user, sizeof ctx->console_user, "anna");

    // First run: the file below the root, without console writes in test mode.
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(root_cfg), std::string(kCfgHead) +
                                            "\r\n# HTTPS API for conf-clients (sched-api.txt); tokens: "
                                            "orv_sched api-token add <name> --role read|admin\r\n"
                                            "[api]\r\nenabled=yes\r\n");
    EXPECT_EQ(std::string(ctx->report),
              "Job-Planer: neue Konfiguration " + root_cfg + " (noch keine Jobs, API eingeschaltet)\n");
    EXPECT_TRUE(runs(sched_log).empty()) << "a new file needs no api-enable, and no api-init in test mode";

    // Second run: the file is kept and the API switched on by the scheduler.
    ctx->report[0] = '\0';
    ASSERT_TRUE(test_write_file(root_cfg, "[sched]\r\n"));
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(root_cfg), "[sched]\r\n");
    EXPECT_EQ(runs(sched_log), std::vector<std::string>{"api-enable|--config|" + root_cfg});
    EXPECT_EQ(std::string(ctx->report), "Job-Planer: bestehende Konfiguration " + root_cfg +
                                            " behalten\nJob-Planer: API eingeschaltet\n");

    // Without the API an existing file is left alone and nothing runs.
    forget(sched_log);
    ctx->report[0] = '\0';
    ctx->sched_api = 0;
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_TRUE(runs(sched_log).empty());
    EXPECT_EQ(std::string(ctx->report), "Job-Planer: bestehende Konfiguration " + root_cfg + " behalten\n");

    // No service, no firewall, no tasks.
    EXPECT_FALSE(service_now().present);
    EXPECT_TRUE(runs(netsh_log).empty());
    EXPECT_EQ(win_update_task_exists(ctx.get()), -1);
    EXPECT_EQ(win_update_task_delete(ctx.get(), err, sizeof err), 0);
    win_resume_task_remove(ctx.get());
    win_sched_remove(ctx.get());
    install_program("orv_updater");
    install_program("orv_agent");
    EXPECT_EQ(win_update_task_create(ctx.get(), err, sizeof err), 0);
    EXPECT_EQ(win_resume_task_create(ctx.get(), err, sizeof err), 0);
    EXPECT_TRUE(runs(schtasks_log).empty());
    EXPECT_TRUE(runs(netsh_log).empty());
}

TEST_F(SchedSetup, NewSettingsFileWithoutApi)
{
    ctx->sched_api = 0;
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(cfg), kCfgHead);
    // api-init runs whether or not the API is on.
    EXPECT_EQ(runs(sched_log), std::vector<std::string>{"api-init|--config|" + cfg});
    EXPECT_EQ(sched_read_release(ctx.get()), -1);
}

TEST_F(SchedSetup, FirstInstallThenUpdateThenBusyThenRemoval)
{
    install_program("orv_console");
    install_program("orv_sched_net");
    snprintf(ctx->console_user, sizeof ctx->console_user, "anna");

    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(test_read_file(cfg), std::string(kCfgHead) +
                                       "\r\n# HTTPS API for conf-clients (sched-api.txt); tokens: "
                                       "orv_sched api-token add <name> --role read|admin\r\n"
                                       "# allow-agent-config-write: admin tokens may edit sinks.cfg "
                                       "and the profiles in orv_agent.cfg\r\n"
                                       "[api]\r\nenabled=yes\r\nallow-agent-config-write=yes\r\n");
    EXPECT_EQ(std::string(ctx->report),
              "Job-Planer: neue Konfiguration " + cfg +
                  " (noch keine Jobs, API eingeschaltet, Ziele und Profile in der "
                  "Verwaltungskonsole bearbeitbar)\n"
                  "Job-Planer: Fingerabdruck des API-Zertifikats 12:AB:CD\n");
    EXPECT_EQ(runs(sched_log), std::vector<std::string>{"api-init|--config|" + cfg});
    std::string rule = "name=orvantis scheduler API (orv_sched_net)";
    EXPECT_EQ(runs(netsh_log),
              (std::vector<std::string>{
                  "advfirewall|firewall|delete|rule|" + rule,
                  "advfirewall|firewall|add|rule|" + rule + "|dir=in|action=allow|protocol=TCP|program=" +
                      bin + "\\orv_sched_net.exe|enable=yes|profile=any"}));

    // The service runs the scheduler from a path with blanks, both paths quoted.
    service_facts s = service_now();
    ASSERT_TRUE(s.present);
    EXPECT_EQ(s.cmdline, "\"" + sched + "\" service --config \"" + cfg + "\"");
    EXPECT_EQ(s.display, "orvantis Scheduler");
    EXPECT_EQ(s.type & SERVICE_WIN32_OWN_PROCESS, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(s.start, (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(s.error_control, (DWORD)SERVICE_ERROR_NORMAL);
    EXPECT_EQ(s.description,
              L"Führt die Sicherungsjobs von orvantis (orv_agent) nach Zeitplan, einmalig oder "
              L"nach anderen Jobs aus; Einstellungen: orv_sched.cfg in %ProgramData%\\orvantis, "
              L"Protokolle in %ProgramData%\\orvantis\\logs.");
    ASSERT_EQ(wait_state(SERVICE_RUNNING), (DWORD)SERVICE_RUNNING);
    DWORD first_pid = service_now().pid;

    // A second installation keeps the file, switches the API on with console
    // writes, and restarts the idle service.
    forget(sched_log);
    forget(netsh_log);
    ctx->report[0] = '\0';
    answer_sched("api-enable", "out:API enabled\\nagent config writes allowed\\n");
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(std::string(ctx->report),
              "Job-Planer: bestehende Konfiguration " + cfg + " behalten\n"
              "Job-Planer: API eingeschaltet\n"
              "Job-Planer: Die Verwaltungskonsole darf Ziele und Profile dieses Computers "
              "bearbeiten\n"
              "Job-Planer: Fingerabdruck des API-Zertifikats 12:AB:CD\n");
    std::vector<std::string> r = runs(sched_log);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], "api-enable|--config|" + cfg + "|--agent-config-write");
    EXPECT_EQ(r[1], "api-init|--config|" + cfg);
    EXPECT_EQ(r[2], "list|--config|" + cfg) << "the job question goes to the running scheduler";
    ASSERT_EQ(wait_state(SERVICE_RUNNING), (DWORD)SERVICE_RUNNING);
    DWORD second_pid = service_now().pid;
    EXPECT_NE(second_pid, first_pid) << "restarted";
    EXPECT_EQ(runs(netsh_log).size(), 2u);

    // While a job runs, the service is reconfigured but keeps running.
    ctx->report[0] = '\0';
    answer_sched("list", "out:NAME STATE\\nnightly agent RUNNING\\n");
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_NE(std::string(ctx->report).find("Job-Planer: Der Dienst läuft weiter (ein Job läuft); "
                                            "das neue Programm gilt ab seinem nächsten Neustart\n"),
              std::string::npos)
        << ctx->report;
    EXPECT_EQ(service_now().pid, second_pid);

    // Removal stops and deletes the service and the rule.
    forget(netsh_log);
    ctx->report[0] = '\0';
    win_sched_remove(ctx.get());
    EXPECT_FALSE(service_now().present);
    EXPECT_EQ(runs(netsh_log), std::vector<std::string>{"advfirewall|firewall|delete|rule|" + rule});
    EXPECT_STREQ(ctx->report, "");

    // Without a service the rule is still deleted.
    forget(netsh_log);
    win_sched_service_remove(ctx.get());
    EXPECT_EQ(runs(netsh_log), std::vector<std::string>{"advfirewall|firewall|delete|rule|" + rule});
}

TEST_F(SchedSetup, SchedulerCommandsThatFail)
{
    answer_sched("api-init", "out:no key store\\r\\nbye\\n\nexit:3");
    answer_sched("api-release", "exit:1");
    ctx->console_release = 1;
    ASSERT_TRUE(CreateDirectoryA(program_data.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(data_dir.c_str(), nullptr));
    ASSERT_TRUE(test_write_file(cfg, "[api]\r\nenabled=no\r\nrelease=read\r\n"));
    answer_sched("api-enable", "out:line one\\r\\nline two\\n\nexit:2");
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(std::string(ctx->report),
              "Job-Planer: bestehende Konfiguration " + cfg + " behalten\n"
              "WARNUNG: Die API des Job-Planers wurde nicht eingeschaltet: line one  line two \n"
              "WARNUNG: Das API-Zertifikat wurde nicht erstellt: no key store  bye \n"
              "WARNUNG: Die Freigabe für die Verwaltungskonsolen anderer Rechner ließ sich nicht "
              "einrichten: orv_sched api-release ist ohne Ausgabe fehlgeschlagen\n");
    std::vector<std::string> r = runs(sched_log);
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[2], "api-release|read|--config|" + cfg);
    EXPECT_EQ(sched_read_release(ctx.get()), 1);
    EXPECT_TRUE(runs(netsh_log).empty()) << "no orv_sched_net: the firewall is not touched";
}

TEST_F(SchedSetup, DataDirectoryOrSettingsFileThatCannotBeMade)
{
    // A file where the data directory belongs.
    ASSERT_TRUE(CreateDirectoryA(program_data.c_str(), nullptr));
    ASSERT_TRUE(test_write_file(data_dir, "in the way"));
    EXPECT_EQ(win_sched_setup(ctx.get(), err, sizeof err), -1);
    EXPECT_EQ(std::string(err), data_dir + " lässt sich nicht anlegen");
    DeleteFileA(data_dir.c_str());

    // A write that stops short leaves no cut file behind for the next run.
    seam_guard<sched_setup_sys> guard(sched_setup_calls);
    sched_setup_calls.write_file = [](int, const void *, unsigned n) { return (int)n - 1; };
    EXPECT_EQ(win_sched_setup(ctx.get(), err, sizeof err), -1);
    EXPECT_EQ(std::string(err), cfg + " lässt sich nicht schreiben");
    EXPECT_FALSE(exists(cfg));
    EXPECT_STREQ(ctx->report, "");
    EXPECT_FALSE(service_now().present);
}

// ---- the service manager through the call table -----------------------------

namespace {

// A service manager that answers what a case says and records what it was told.
struct fake_scm {
    DWORD open_manager_error = 0;  // non-zero: OpenSCManagerA fails with it
    bool exists = true;            // OpenServiceA finds the service
    DWORD create_error = 0, change_error = 0, start_error = 0;
    DWORD state = SERVICE_STOPPED; // what QueryServiceStatus says
    bool stops = true;             // a stop request ends the service
    int busy = 0;                  // the job question's answer
    int queries = 0, sleeps = 0, stops_sent = 0, starts = 0, deletes = 0, opened = 0, closed = 0;
    std::vector<DWORD> config2_levels;
    SERVICE_FAILURE_ACTIONSW failure = {};
    SC_ACTION actions[3] = {};
    BOOL delayed = FALSE;
    std::string created_cmdline, changed_account, changed_password;
} scm;

const SC_HANDLE kManager = (SC_HANDLE)(intptr_t)0x51;
const SC_HANDLE kService = (SC_HANDLE)(intptr_t)0x52;

SC_HANDLE WINAPI f_open_manager(LPCSTR, LPCSTR, DWORD)
{
    if (scm.open_manager_error) {
        SetLastError(scm.open_manager_error);
        return nullptr;
    }
    scm.opened++;
    return kManager;
}
SC_HANDLE WINAPI f_open_service(SC_HANDLE, LPCSTR name, DWORD)
{
    EXPECT_STREQ(name, "orvantis-sched");
    if (!scm.exists) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    scm.opened++;
    return kService;
}
SC_HANDLE WINAPI f_create(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR cmd, LPCSTR,
                          LPDWORD, LPCSTR, LPCSTR, LPCSTR)
{
    if (scm.create_error) {
        SetLastError(scm.create_error);
        return nullptr;
    }
    scm.created_cmdline = cmd;
    scm.opened++;
    return kService;
}
BOOL WINAPI f_change(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR,
                     LPCSTR account, LPCSTR password, LPCSTR)
{
    scm.changed_account = account ? account : "(null)";
    scm.changed_password = password ? password : "(null)";
    if (scm.change_error) {
        SetLastError(scm.change_error);
        return FALSE;
    }
    return TRUE;
}
BOOL WINAPI f_config2(SC_HANDLE, DWORD level, LPVOID info)
{
    scm.config2_levels.push_back(level);
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        scm.failure = *(SERVICE_FAILURE_ACTIONSW *)info;
        for (DWORD i = 0; i < scm.failure.cActions && i < 3; i++)
            scm.actions[i] = scm.failure.lpsaActions[i];
    } else if (level == SERVICE_CONFIG_DELAYED_AUTO_START_INFO) {
        scm.delayed = ((SERVICE_DELAYED_AUTO_START_INFO *)info)->fDelayedAutostart;
    }
    return TRUE;
}
BOOL WINAPI f_query(SC_HANDLE, LPSERVICE_STATUS st)
{
    scm.queries++;
    memset(st, 0, sizeof *st);
    st->dwCurrentState = scm.state;
    return TRUE;
}
BOOL WINAPI f_control(SC_HANDLE, DWORD code, LPSERVICE_STATUS)
{
    EXPECT_EQ(code, (DWORD)SERVICE_CONTROL_STOP);
    scm.stops_sent++;
    if (scm.stops)
        scm.state = SERVICE_STOPPED;
    return TRUE;
}
BOOL WINAPI f_start(SC_HANDLE, DWORD, LPCSTR *)
{
    scm.starts++;
    if (scm.start_error) {
        SetLastError(scm.start_error);
        return FALSE;
    }
    scm.state = SERVICE_RUNNING;
    return TRUE;
}
BOOL WINAPI f_delete(SC_HANDLE)
{
    scm.deletes++;
    return TRUE;
}
BOOL WINAPI f_close(SC_HANDLE)
{
    scm.closed++;
    return TRUE;
}
void WINAPI f_sleep(DWORD ms)
{
    EXPECT_EQ(ms, 250u);
    scm.sleeps++;
}
int f_busy(const updater_config *, unsigned long *, char *, size_t, char *, size_t) { return scm.busy; }

const sched_setup_sys kFake = {f_open_manager, f_open_service, f_create, f_change, f_config2,
                               f_query,        f_control,      f_start,  f_delete, f_close,
                               f_sleep,        f_busy,
                               [](int fd, const void *d, unsigned n) { return _write(fd, d, n); }};

}  // namespace

TEST_F(SchedSetup, ServiceManagerAnswers)
{
    char why[400];
    std::string logs = data_dir + "\\logs";
    struct {
        const char *name;
        void (*prepare)(fake_scm *s);
        int result;
        std::string err;        // empty: none expected
        std::string report_end; // how the report ends
        int stops, starts, sleeps;
    } cases[] = {
        {"new service, started", [](fake_scm *s) { s->exists = false; }, 0, "", "", 0, 1, 0},
        {"existing stopped service, started", [](fake_scm *) {}, 0, "", "", 0, 1, 0},
        {"idle running service, restarted", [](fake_scm *s) { s->state = SERVICE_RUNNING; }, 0, "",
         "", 1, 1, 0},
        {"running service with a job", [](fake_scm *s) { s->state = SERVICE_RUNNING; s->busy = 1; },
         0, "",
         "Job-Planer: Der Dienst läuft weiter (ein Job läuft); das neue Programm gilt ab seinem "
         "nächsten Neustart\n",
         0, 0, 0},
        {"job question fails", [](fake_scm *s) { s->state = SERVICE_RUNNING; s->busy = -1; }, 0, "",
         "Job-Planer: Der Dienst läuft weiter (ein Job läuft); das neue Programm gilt ab seinem "
         "nächsten Neustart\n",
         0, 0, 0},
        {"service that does not stop",
         [](fake_scm *s) { s->state = SERVICE_RUNNING; s->stops = false; }, 0, "",
         "Job-Planer: Der Dienst hat nicht innerhalb von 30 s angehalten; das neue Programm gilt "
         "ab seinem nächsten Neustart\n",
         1, 0, 120},
        {"already running at the start",
         [](fake_scm *s) { s->start_error = ERROR_SERVICE_ALREADY_RUNNING; }, 0, "", "", 0, 1, 0},
        {"start fails", [](fake_scm *s) { s->start_error = ERROR_ACCESS_DENIED; }, -1,
         std::string("Der Dienst orvantis-sched ist eingerichtet, startet aber nicht (") +
             win_error_text(ERROR_ACCESS_DENIED, why, sizeof why) + "). Einzelheiten stehen in " + logs,
         "", 0, 1, 0},
        {"no service manager", [](fake_scm *s) { s->open_manager_error = ERROR_ACCESS_DENIED; }, -1,
         std::string("Die Dienststeuerung lässt sich nicht öffnen (") +
             win_error_text(ERROR_ACCESS_DENIED, why, sizeof why) + ")",
         "", 0, 0, 0},
        {"cannot create",
         [](fake_scm *s) { s->exists = false; s->create_error = ERROR_INVALID_NAME; }, -1,
         std::string("Der Dienst orvantis-sched lässt sich nicht anlegen (") +
             win_error_text(ERROR_INVALID_NAME, why, sizeof why) + ")",
         "", 0, 0, 0},
        {"cannot change", [](fake_scm *s) { s->change_error = ERROR_ACCESS_DENIED; }, -1,
         std::string("Der Dienst orvantis-sched lässt sich nicht ändern (") +
             win_error_text(ERROR_ACCESS_DENIED, why, sizeof why) + ")",
         "", 0, 0, 0},
    };
    seam_guard<sched_setup_sys> guard(sched_setup_calls);
    for (auto &c : cases) {
        scm = fake_scm();
        c.prepare(&scm);
        sched_setup_calls = kFake;
        ctx->report[0] = '\0';
        err[0] = '\0';
        EXPECT_EQ(win_sched_setup(ctx.get(), err, sizeof err), c.result) << c.name;
        EXPECT_EQ(std::string(err), c.err) << c.name;
        std::string report = ctx->report;
        EXPECT_EQ(report.substr(report.size() - std::min(report.size(), c.report_end.size())),
                  c.report_end)
            << c.name;
        EXPECT_EQ(scm.stops_sent, c.stops) << c.name;
        EXPECT_EQ(scm.starts, c.starts) << c.name;
        EXPECT_EQ(scm.sleeps, c.sleeps) << c.name;
        EXPECT_EQ(scm.closed, scm.opened) << c.name << ": every handle closed";
    }

    // The service's optional settings.
    scm = fake_scm();
    scm.exists = false;
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(scm.created_cmdline, "\"" + sched + "\" service --config \"" + cfg + "\"");
    EXPECT_EQ(scm.config2_levels,
              (std::vector<DWORD>{SERVICE_CONFIG_DESCRIPTION, SERVICE_CONFIG_DELAYED_AUTO_START_INFO,
                                  SERVICE_CONFIG_FAILURE_ACTIONS}));
    EXPECT_TRUE(scm.delayed);
    EXPECT_EQ(scm.failure.dwResetPeriod, 86400u);
    EXPECT_EQ(scm.failure.lpRebootMsg, nullptr);
    EXPECT_EQ(scm.failure.lpCommand, nullptr);
    ASSERT_EQ(scm.failure.cActions, 3u);
    DWORD delays[3] = {60000, 60000, 300000};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(scm.actions[i].Type, SC_ACTION_RESTART) << i;
        EXPECT_EQ(scm.actions[i].Delay, delays[i]) << i;
    }
    // An existing service is changed to run as LocalSystem.
    scm = fake_scm();
    ASSERT_EQ(win_sched_setup(ctx.get(), err, sizeof err), 0) << err;
    EXPECT_EQ(scm.changed_account, "LocalSystem");
    EXPECT_EQ(scm.changed_password, "");
}

TEST_F(SchedSetup, RemovingAServiceThatStillEndsAJob)
{
    seam_guard<sched_setup_sys> guard(sched_setup_calls);
    sched_setup_calls = kFake;
    scm = fake_scm();
    scm.state = SERVICE_RUNNING;
    scm.stops = false;
    win_sched_service_remove(ctx.get());
    EXPECT_STREQ(ctx->report, "Job-Planer: Der Dienst orvantis-sched beendet noch einen Job; er "
                              "wird danach entfernt\n");
    EXPECT_EQ(scm.queries, 121);
    EXPECT_EQ(scm.sleeps, 120);
    EXPECT_EQ(scm.deletes, 1) << "marked for deletion all the same";
    EXPECT_EQ(scm.closed, scm.opened);
    EXPECT_EQ(runs(netsh_log).size(), 1u);
}

// ---- the tasks ----------------------------------------------------------------

TEST_F(SchedSetup, UpdateTask)
{
    install_program("orv_updater");
    ASSERT_EQ(win_update_task_create(ctx.get(), err, sizeof err), 0) << err;
    std::vector<std::string> r = runs(schtasks_log);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].substr(0, 33), "/Create|/TN|orvantis updater|/XML");
    // The task file names this run's settings file.
    std::string xml = test_read_file(task_copy);
    int n = (int)(xml.size() / 2);
    std::string text(n * 3, '\0');
    text.resize(WideCharToMultiByte(CP_UTF8, 0, (const wchar_t *)xml.data(), n, &text[0],
                                    (int)text.size(), nullptr, nullptr));
    EXPECT_NE(text.find("<Arguments>--config &quot;" + std::string(ctx->config_path) +
                        "&quot; --update</Arguments>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("<Command>" + bin + "\\orv_updater.exe</Command>"), std::string::npos);

    struct {
        const char *name;
        const char *query; // what /Query does
        int exists;
        std::vector<std::string> runs;
    } cases[] = {
        {"task there", "exit:0", 1, {"/Query|/TN|orvantis updater", "/Delete|/TN|orvantis updater|/F"}},
        {"task absent", "exit:1", 0, {"/Query|/TN|orvantis updater"}},
    };
    for (auto &c : cases) {
        answer_schtasks("Query", c.query);
        forget(schtasks_log);
        EXPECT_EQ(win_update_task_exists(ctx.get()), c.exists) << c.name;
        forget(schtasks_log);
        EXPECT_EQ(win_update_task_delete(ctx.get(), err, sizeof err), 0) << c.name << err;
        EXPECT_EQ(runs(schtasks_log), c.runs) << c.name;
    }
    // A failing delete passes the task routine's sentence on.
    answer_schtasks("Query", "exit:0");
    answer_schtasks("Delete", "out:FEHLER: Zugriff verweigert\\n\nexit:1");
    EXPECT_EQ(win_update_task_delete(ctx.get(), err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("FEHLER: Zugriff verweigert"), std::string::npos) << err;
}

TEST_F(SchedSetup, ResumeTask)
{
    install_program("orv_agent");
    ASSERT_EQ(win_resume_task_create(ctx.get(), err, sizeof err), 0) << err;
    std::string xml = test_read_file(task_copy);
    int n = (int)(xml.size() / 2);
    std::string text(n * 3, '\0');
    text.resize(WideCharToMultiByte(CP_UTF8, 0, (const wchar_t *)xml.data(), n, &text[0],
                                    (int)text.size(), nullptr, nullptr));
    for (const std::string &part :
         {std::string("<Description>Setzt Sicherungen fort, die durch einen Absturz oder ein "
                      "Herunterfahren unterbrochen wurden.</Description>"),
          std::string("<Delay>PT2M</Delay>"), "<Command>" + bin + "\\orv_agent.exe</Command>",
          std::string("<Arguments>--resume-pending</Arguments>")})
        EXPECT_NE(text.find(part), std::string::npos) << part;

    forget(schtasks_log);
    win_resume_task_remove(ctx.get());
    answer_schtasks("Delete", "exit:1");
    EXPECT_EQ(win_resume_task_delete(), -1);
    EXPECT_EQ(runs(schtasks_log), (std::vector<std::string>{"/Delete|/TN|orvantis resume|/F",
                                                            "/Delete|/TN|orvantis resume|/F"}));
}
