// The scheduler coordination: against Wine's own service manager with a
// dummy "orvantis-sched" service whose program is the tests' fake program,
// and through the seam for what Wine's manager cannot be made to do.
// resource-lock: orvantis-sched
#include <gtest/gtest.h>

#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "log.h"
#include "run_win.h"
#include "sched_service.h"
#include "sched_service_win_seam.h"
#include "seam_guard.h"
#include "test_util.h"
#include "updconf.h"

namespace {

// ---- the seam ---------------------------------------------------------------

// What the fake service manager answers, and what it was asked.
struct fake_scm {
    bool manager_fails = false;      // OpenSCManagerA fails (access denied)
    DWORD open_error = 0;            // OpenServiceA fails with this error when not 0
    bool status_fails = false;       // QueryServiceStatusEx fails
    DWORD state = SERVICE_RUNNING;   // state QueryServiceStatusEx reports
    DWORD pid = 0;                   // process id it reports
    bool config_fails = false;       // QueryServiceConfigA fails (buffer too small)
    DWORD control_error = 0;         // ControlService fails with this error when not 0
    int stopped_after = 0;           // QueryServiceStatus reports stopped from this call on; -1 never
    DWORD start_error = 0;           // StartServiceA fails with this error when not 0
    int opened = 0, closed = 0;      // handles handed out and closed
    int status_queries = 0;          // QueryServiceStatus calls
    std::vector<DWORD> sleeps;       // pauses asked for
    DWORD last_access = 0;           // access asked of the last OpenServiceA
};
fake_scm *scm;

SC_HANDLE handle() { return (SC_HANDLE)(INT_PTR)(0x1000 + ++scm->opened); }

SC_HANDLE WINAPI f_open_manager(LPCSTR, LPCSTR, DWORD)
{
    if (scm->manager_fails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    return handle();
}
SC_HANDLE WINAPI f_open_service(SC_HANDLE, LPCSTR name, DWORD access)
{
    EXPECT_STREQ(name, "orvantis-sched");
    scm->last_access = access;
    if (scm->open_error) {
        SetLastError(scm->open_error);
        return NULL;
    }
    return handle();
}
BOOL WINAPI f_query_status_ex(SC_HANDLE, SC_STATUS_TYPE, LPBYTE buf, DWORD size, LPDWORD)
{
    if (scm->status_fails || size < sizeof(SERVICE_STATUS_PROCESS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS *s = (SERVICE_STATUS_PROCESS *)buf;
    memset(s, 0, sizeof *s);
    s->dwCurrentState = scm->state;
    s->dwProcessId = scm->pid;
    return TRUE;
}
BOOL WINAPI f_query_config(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD needed)
{
    *needed = 9000;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;  // only asked for in the failure case
}
BOOL WINAPI f_control(SC_HANDLE, DWORD code, LPSERVICE_STATUS)
{
    EXPECT_EQ(code, (DWORD)SERVICE_CONTROL_STOP);
    if (scm->control_error) {
        SetLastError(scm->control_error);
        return FALSE;
    }
    return TRUE;
}
BOOL WINAPI f_query_status(SC_HANDLE, LPSERVICE_STATUS s)
{
    int n = scm->status_queries++;
    memset(s, 0, sizeof *s);
    s->dwCurrentState =
        scm->stopped_after >= 0 && n >= scm->stopped_after ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
    return TRUE;
}
BOOL WINAPI f_start(SC_HANDLE, DWORD argc, LPCSTR *)
{
    EXPECT_EQ(argc, 0u);
    if (scm->start_error) {
        SetLastError(scm->start_error);
        return FALSE;
    }
    return TRUE;
}
BOOL WINAPI f_close(SC_HANDLE)
{
    scm->closed++;
    return TRUE;
}
void WINAPI f_sleep(DWORD ms) { scm->sleeps.push_back(ms); }

const sched_win_calls fake_calls = {f_open_manager, f_open_service, f_query_status_ex, f_query_config,
                                    f_control,      f_query_status, f_start,           f_close,
                                    f_sleep};

// The log lines written while a test runs.
std::vector<std::string> *log_lines;
void collect(int level, const char *text, void *) { log_lines->push_back(std::string(log_level_name(level)) + " " + text); }

struct SchedSeam : ::testing::Test {
    seam_guard<sched_win_calls> guard{sched_win};
    fake_scm state;
    std::vector<std::string> lines;
    updater_config cfg;
    char err[300] = "";
    void SetUp() override
    {
        scm = &state;
        sched_win = fake_calls;
        log_lines = &lines;
        log_init("sched_test", LOG_DEBUG);
        log_set_callback(collect, nullptr);
        updconf_defaults(&cfg);
    }
    void TearDown() override
    {
        log_set_callback(nullptr, nullptr);
        EXPECT_EQ(state.closed, state.opened) << "every handle is closed again";
    }
};

}  // namespace

TEST_F(SchedSeam, QueryWithoutAnAnswer)
{
    struct {
        const char *name;
        void (*set)(fake_scm *);
        int expected;
        const char *message;
    } cases[] = {
        {"no manager", [](fake_scm *s) { s->manager_fails = true; }, -1,
         "cannot ask the service control manager about orvantis-sched"},
        {"no service", [](fake_scm *s) { s->open_error = ERROR_SERVICE_DOES_NOT_EXIST; }, 0, ""},
        {"service not to be opened", [](fake_scm *s) { s->open_error = ERROR_ACCESS_DENIED; }, -1,
         "cannot ask the service control manager about orvantis-sched"},
        {"status unreadable", [](fake_scm *s) { s->status_fails = true; }, -1,
         "cannot ask the service control manager about orvantis-sched"},
        {"stopped", [](fake_scm *s) { s->state = SERVICE_STOPPED; s->pid = 77; }, 0, ""},
        {"running without a process", [](fake_scm *s) { s->pid = 0; }, 0, ""},
        {"configuration does not fit", [](fake_scm *s) { s->pid = 77; s->config_fails = true; }, -1,
         "cannot ask the service control manager about orvantis-sched"},
    };
    for (const auto &c : cases) {
        state = fake_scm();
        c.set(&state);
        unsigned long pid = 5;
        char program[100] = "junk";
        err[0] = '\0';
        EXPECT_EQ(sched_service_busy(&cfg, &pid, program, sizeof program, err, sizeof err), c.expected)
            << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
        EXPECT_EQ(pid, 0ul) << c.name;
        EXPECT_STREQ(program, "") << c.name;
        EXPECT_EQ(state.closed, state.opened) << c.name;
    }
    EXPECT_EQ(state.last_access, (DWORD)(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    EXPECT_EQ(sched_service_busy(&cfg, nullptr, nullptr, 0, nullptr, 0), -1) << "no outputs asked for";
}

TEST_F(SchedSeam, StopWaitsForTheStoppedState)
{
    struct {
        const char *name;
        DWORD control_error;
        int stopped_after;
        int expected;
        size_t sleeps;
        const char *message;
    } cases[] = {
        {"stops at once", 0, 0, 0, 0, ""},
        {"stops after three pauses", 0, 3, 0, 3, ""},
        {"already stopped", ERROR_SERVICE_NOT_ACTIVE, 0, 0, 0, ""},
        {"stop refused", ERROR_ACCESS_DENIED, 0, -1, 0, "cannot stop the service orvantis-sched (error 5)"},
        {"stop while starting", ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0, -1, 0,
         "cannot stop the service orvantis-sched (error 1061)"},
        {"stays stop-pending", 0, -1, -1, 60,
         "the service orvantis-sched did not stop within 30 s (a job may have started)"},
    };
    for (const auto &c : cases) {
        state = fake_scm();
        state.control_error = c.control_error;
        state.stopped_after = c.stopped_after;
        lines.clear();
        err[0] = '\0';
        EXPECT_EQ(sched_service_stop(&cfg, 0, err, sizeof err), c.expected) << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
        EXPECT_EQ(state.sleeps.size(), c.sleeps) << c.name;
        for (DWORD ms : state.sleeps)
            EXPECT_EQ(ms, 500u) << c.name;
        EXPECT_EQ(state.last_access, (DWORD)(SERVICE_STOP | SERVICE_QUERY_STATUS)) << c.name;
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_EQ(lines[0], "INFO stopping the service orvantis-sched for the duration of the "
                            "install/update (it is idle)")
            << c.name;
        EXPECT_EQ(state.closed, state.opened) << c.name;
    }
    // The stop request of the last case stands: the service goes down once
    // its job ends, and the log says how to bring it back.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "WARN the service orvantis-sched is still stopping; once it has stopped, "
                        "start it by hand (sc start orvantis-sched)");
    EXPECT_EQ(state.status_queries, 60);

    state = fake_scm();
    state.open_error = ERROR_SERVICE_DOES_NOT_EXIST;
    EXPECT_EQ(sched_service_stop(&cfg, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot open the service orvantis-sched (error 1060)");
    state = fake_scm();
    state.manager_fails = true;
    EXPECT_EQ(sched_service_stop(&cfg, 0, err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot open the service orvantis-sched (error 5)");
}

TEST_F(SchedSeam, StartAgain)
{
    const std::string warn = "WARN could not start the service orvantis-sched again (error %lu): "
                             "start it by hand (sc start orvantis-sched)";
    struct {
        const char *name;
        void (*set)(fake_scm *);
        DWORD logged_error;  // 0: nothing logged
    } cases[] = {
        {"started", [](fake_scm *) {}, 0},
        {"already running", [](fake_scm *s) { s->start_error = ERROR_SERVICE_ALREADY_RUNNING; }, 0},
        {"disabled", [](fake_scm *s) { s->start_error = ERROR_SERVICE_DISABLED; }, ERROR_SERVICE_DISABLED},
        {"gone", [](fake_scm *s) { s->open_error = ERROR_SERVICE_DOES_NOT_EXIST; }, ERROR_SERVICE_DOES_NOT_EXIST},
        {"no manager", [](fake_scm *s) { s->manager_fails = true; }, ERROR_ACCESS_DENIED},
    };
    for (const auto &c : cases) {
        state = fake_scm();
        c.set(&state);
        lines.clear();
        sched_service_start();
        if (c.logged_error == 0) {
            EXPECT_TRUE(lines.empty()) << c.name;
        } else {
            char want[300];
            snprintf(want, sizeof want, warn.c_str(), (unsigned long)c.logged_error);
            ASSERT_EQ(lines.size(), 1u) << c.name;
            EXPECT_EQ(lines[0], want) << c.name;
        }
        EXPECT_EQ(state.closed, state.opened) << c.name;
    }
    EXPECT_EQ(state.last_access, 0u) << "no service opened without a manager";
}

// ---- Wine's service manager -------------------------------------------------

namespace {

// Stops and deletes a dummy "orvantis-sched" left in this prefix.
void remove_service(SC_HANDLE manager)
{
    SC_HANDLE s = OpenServiceA(manager, "orvantis-sched", SERVICE_ALL_ACCESS);
    if (!s)
        return;
    SERVICE_STATUS st;
    ControlService(s, SERVICE_CONTROL_STOP, &st);
    for (int i = 0; i < 100 && QueryServiceStatus(s, &st) && st.dwCurrentState != SERVICE_STOPPED; i++)
        Sleep(50);
    DeleteService(s);
    CloseServiceHandle(s);
}

DWORD service_state(SC_HANDLE s, DWORD *pid = nullptr)
{
    SERVICE_STATUS_PROCESS st = {};
    DWORD needed;
    QueryServiceStatusEx(s, SC_STATUS_PROCESS_INFO, (LPBYTE)&st, sizeof st, &needed);
    if (pid)
        *pid = st.dwProcessId;
    return st.dwCurrentState;
}

// A dummy scheduler service: the fake program as orv_sched.exe in a
// directory with a blank in its name, run with "service", a quoted settings
// file and a queue, the way the setup registers the real one.
struct SchedService : ::testing::Test {
    SC_HANDLE manager = nullptr, service = nullptr;
    std::string dir, program, settings, list_log;
    updater_config cfg;
    char err[300] = "";

    void SetUp() override
    {
        updconf_defaults(&cfg);
        log_init("sched_test", LOG_DEBUG);
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr);
        remove_service(manager);
        dir = test_temp_dir("sched") + "\\Program Files x";
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
        program = dir + "\\orv_sched.exe";
        settings = dir + "\\my settings.cfg";
        list_log = dir + "\\list.log";
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), program.c_str(), FALSE));
        ASSERT_TRUE(test_write_file(program + ".service", "service\n"));
    }
    void TearDown() override
    {
        if (service)
            CloseServiceHandle(service);
        remove_service(manager);
        CloseServiceHandle(manager);
    }
    void install_and_start()
    {
        std::string line = "\"" + program + "\" service --config \"" + settings + "\" --queue q1";
        service = CreateServiceA(manager, "orvantis-sched", "orvantis Scheduler", SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(service, nullptr) << GetLastError();
        ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        for (int i = 0; i < 100 && service_state(service) != SERVICE_RUNNING; i++)
            Sleep(50);
        ASSERT_EQ(service_state(service), (DWORD)SERVICE_RUNNING);
    }
    // What the scheduler answers to "list".
    void answer_list(const std::string &actions)
    {
        ASSERT_TRUE(test_write_file(program + ".list", "log:" + list_log + "\n" + actions));
    }
};

}  // namespace

TEST_F(SchedService, NoServiceNoWaiting)
{
    unsigned long pid = 9;
    EXPECT_EQ(sched_service_busy(&cfg, &pid, nullptr, 0, err, sizeof err), 0) << err;
    EXPECT_EQ(pid, 0ul);
}

TEST_F(SchedService, JobStateFromTheSchedulerItself)
{
    install_and_start();
    DWORD service_pid = 0;
    service_state(service, &service_pid);
    struct {
        const char *name;
        std::string actions;
        int expected;
        const char *message;
    } cases[] = {
        {"a job runs", "out:NAME ID STATE\\r\\nnightly 3 RUNNING\\r\\n", 1, ""},
        {"idle", "out:NAME ID STATE\\r\\nnightly 3 IDLE\\r\\n", 0, ""},
        {"header only", "out:NAME ID STATE\\n", 0, ""},
        {"list fails", "out:cannot read\\r\\n\\tmy settings.cfg\\r\\n\nexit:1", -1,
         "cannot query orv_sched's job state: cannot read   my settings.cfg"},
        {"list fails silently", "exit:3", -1, "cannot query orv_sched's job state: no output"},
    };
    for (const auto &c : cases) {
        DeleteFileA(list_log.c_str());
        answer_list(c.actions);
        unsigned long pid = 0;
        char prog[600] = "";
        err[0] = '\0';
        EXPECT_EQ(sched_service_busy(&cfg, &pid, prog, sizeof prog, err, sizeof err), c.expected) << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
        EXPECT_EQ(pid, (unsigned long)service_pid) << c.name;
        EXPECT_EQ(std::string(prog), program) << c.name;
        EXPECT_EQ(test_read_file(list_log), "list\n--config\n" + settings + "\n--queue\nq1\n\n") << c.name;
    }
}

TEST_F(SchedService, StopAndStartAgain)
{
    install_and_start();
    answer_list("out:NAME ID STATE\\n");
    unsigned long pid = 0;
    ASSERT_EQ(sched_service_busy(&cfg, &pid, nullptr, 0, err, sizeof err), 0) << err;
    EXPECT_NE(pid, 0ul);
    EXPECT_EQ(sched_service_stop(&cfg, pid, err, sizeof err), 0) << err;
    EXPECT_EQ(service_state(service), (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(sched_service_busy(&cfg, &pid, nullptr, 0, err, sizeof err), 0) << "stopped";
    EXPECT_EQ(pid, 0ul);
    EXPECT_EQ(sched_service_stop(&cfg, 0, err, sizeof err), 0) << "stopping a stopped service: " << err;

    sched_service_start();
    for (int i = 0; i < 100 && service_state(service) != SERVICE_RUNNING; i++)
        Sleep(50);
    EXPECT_EQ(service_state(service), (DWORD)SERVICE_RUNNING);
    sched_service_start();  // already running: no harm
    EXPECT_EQ(service_state(service), (DWORD)SERVICE_RUNNING);
}
