// resource-lock: product-programs
// The installation lock between two processes, and the removal of a whole
// installation while one of its programs runs.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "lock.h"
#include "log.h"
#include "run_win.h"
#include "state.h"
#include "test_util.h"
#include "updconf.h"
#include "versions.h"

namespace {

bool exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Waits up to 20 s for path to appear.
bool wait_for(const std::string &path)
{
    for (int i = 0; i < 400; i++) {
        if (exists(path))
            return true;
        Sleep(50);
    }
    return false;
}

std::string self_path()
{
    char p[MAX_PATH];
    GetModuleFileNameA(nullptr, p, sizeof p);
    return p;
}

// This test program started again as LockChild.Run (below): with
// ORV_LOCK_STATE set it takes the lock of that state directory; it writes
// ORV_LOCK_HELD, then waits for ORV_LOCK_RELEASE. program is the file to
// start (a copy of this program may stand elsewhere). Returns the process.
HANDLE start_child(const std::string &program, const std::string &state, const std::string &held,
                   const std::string &release)
{
    SetEnvironmentVariableA("ORV_LOCK_STATE", state.empty() ? nullptr : state.c_str());
    SetEnvironmentVariableA("ORV_LOCK_HELD", held.c_str());
    SetEnvironmentVariableA("ORV_LOCK_RELEASE", release.c_str());
    std::string cmd = "\"" + program + "\" --gtest_filter=LockChild.Run";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    BOOL ok = CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &si, &pi);
    SetEnvironmentVariableA("ORV_LOCK_STATE", nullptr);
    SetEnvironmentVariableA("ORV_LOCK_HELD", nullptr);
    SetEnvironmentVariableA("ORV_LOCK_RELEASE", nullptr);
    if (!ok)
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

// Lets the child go and returns its exit code.
DWORD finish_child(HANDLE child, const std::string &release)
{
    test_write_file(release, "");
    DWORD code = 999;
    if (WaitForSingleObject(child, 20000) == WAIT_OBJECT_0)
        GetExitCodeProcess(child, &code);
    CloseHandle(child);
    return code;
}

updater_config config_for(const std::string &dir)
{
    updater_config cfg;
    updconf_defaults(&cfg);
    snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s/state/sub", dir.c_str());
    snprintf(cfg.install_dir, sizeof cfg.install_dir, "%s/orvantis", dir.c_str());
    return cfg;
}

// The paths that wait for the next start of Windows.
std::string pending_removals()
{
    HKEY key;
    std::string all;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return all;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        size > 0) {
        all.resize(size);
        RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, &type, (BYTE *)&all[0], &size);
        for (char &c : all)
            if (c == '\0')
                c = '\n';
    }
    RegCloseKey(key);
    return all;
}

bool pending(const std::string &path)
{
    return pending_removals().find("\\??\\" + path + "\n") != std::string::npos;
}

}  // namespace

// The other process of the tests below; skipped when run on its own.
TEST(LockChild, Run)
{
    const char *held = getenv("ORV_LOCK_HELD");
    const char *release = getenv("ORV_LOCK_RELEASE");
    if (!held || !release)
        GTEST_SKIP() << "started only by the lock tests";
    int rc = 0;
    if (const char *state = getenv("ORV_LOCK_STATE")) {
        updater_config cfg;
        updconf_defaults(&cfg);
        snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s", state);
        rc = updater_lock_acquire(&cfg);
    }
    test_write_file(held, std::to_string(rc));
    wait_for(release);
    updater_lock_release();
    exit(rc == 0 ? 0 : 10 - rc);
}

TEST(Lock, SecondProcessIsBusyUntilTheFirstLetsGo)
{
    std::string dir = test_temp_dir("lock");
    updater_config cfg = config_for(dir);
    std::string lock_file = dir + "\\state\\sub\\updater.lock";
    std::string held = dir + "\\held", release = dir + "\\release";
    HANDLE child = start_child(self_path(), cfg.state_dir, held, release);
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(wait_for(held));
    EXPECT_EQ(test_read_file(held), "0") << "the child takes the lock";

    EXPECT_EQ(updater_lock_acquire(&cfg), -1) << "busy while the child holds it";
    EXPECT_TRUE(exists(lock_file));
    EXPECT_EQ(finish_child(child, release), 0u);

    EXPECT_EQ(updater_lock_acquire(&cfg), 0) << "free once the child let go";
    // Held here now: the same file cannot be opened a second time.
    HANDLE other = CreateFileA(lock_file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    updater_lock_release();
    updater_lock_release();  // a second release does nothing
    EXPECT_TRUE(exists(lock_file)) << "neither taking nor releasing deletes the file";
    EXPECT_EQ(updater_lock_acquire(&cfg), 0);
    updater_lock_release();
}

// The holder of the lock removes what killed runs left: staging directories
// of processes that no longer run. Those of this process, of one that runs,
// and anything not named like a staging directory stay.
TEST(Lock, HolderRemovesTheStagingOfProcessesThatAreGone)
{
    std::string dir = test_temp_dir("lock");
    updater_config cfg = config_for(dir);
    std::string inst = cfg.install_dir;
    std::string release = dir + "\\release";
    // A process that has ended, and one that waits until the test is done.
    test_proc gone = test_run(test_fake_prog(), {"pid:" + dir + "\\gone.pid"});
    ASSERT_EQ(gone.exit_code, 0);
    std::string gone_pid = test_read_file(dir + "\\gone.pid");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string cmd = "\"" + test_fake_prog() + "\" wait:" + release;
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    std::string running_pid = std::to_string(pi.dwProcessId);
    std::string own_pid = std::to_string(GetCurrentProcessId());
    struct {
        std::string name;
        bool stays;
    } cases[] = {
        {".staging-1.0.0-" + gone_pid, false},
        {".staging-2.0.0-alpha.027-" + gone_pid + ".p0", false},
        {".staging-1.0.0-" + running_pid, true},
        {".staging-1.0.0-" + own_pid, true},
        {".staging-1.0.0-not-a-pid", true},
        {"versions", true},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(CreateDirectoryA((inst).c_str(), nullptr) || exists(inst));
        ASSERT_TRUE(CreateDirectoryA((inst + "\\" + c.name).c_str(), nullptr)) << c.name;
        ASSERT_TRUE(test_write_file(inst + "\\" + c.name + "\\file", "x")) << c.name;
    }
    // A file named like a staging directory is not one.
    ASSERT_TRUE(test_write_file(inst + "\\.staging-1.0.1-" + gone_pid, "x"));

    ASSERT_EQ(updater_lock_acquire(&cfg), 0);
    updater_lock_release();
    for (const auto &c : cases)
        EXPECT_EQ(exists(inst + "\\" + c.name), c.stays) << c.name;
    EXPECT_TRUE(exists(inst + "\\.staging-1.0.1-" + gone_pid));

    test_write_file(release, "");
    WaitForSingleObject(pi.hProcess, 20000);
    CloseHandle(pi.hProcess);
}

TEST(Lock, StateDirectoryThatCannotBeMade)
{
    std::string dir = test_temp_dir("lock");
    ASSERT_TRUE(test_write_file(dir + "\\state", "a file in the way"));
    updater_config cfg = config_for(dir);
    EXPECT_EQ(updater_lock_acquire(&cfg), -2);
    snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s", dir.c_str());
    ASSERT_TRUE(CreateDirectoryA((dir + "\\updater.lock").c_str(), nullptr));
    EXPECT_EQ(updater_lock_acquire(&cfg), -2) << "a directory named updater.lock";
}

namespace {

// An installation: two live programs, a subdirectory in bin, two versions,
// a staging directory and a file of its own.
void make_installation(const std::string &inst, bool extra_file)
{
    for (const char *d : {"", "\\bin", "\\versions", "\\versions\\1.0.0", "\\versions\\1.0.0\\bin",
                          "\\versions\\1.1.0", "\\.staging-1.2.0-77", "\\.staging-1.2.0-77.p0"})
        CreateDirectoryA((inst + d).c_str(), nullptr);
    for (const char *f : {"\\bin\\orv_agent.exe", "\\bin\\orv_updater.exe",
                          "\\versions\\1.0.0\\bin\\orv_agent.exe", "\\.staging-1.2.0-77\\x"})
        test_write_file(inst + f, "program");
    SetFileAttributesA((inst + "\\versions\\1.0.0\\bin\\orv_agent.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    if (extra_file)
        test_write_file(inst + "\\notes.txt", "kept");
}

// A whole installation in a directory of its own.
struct Removal : ::testing::Test {
    std::string dir = test_temp_dir("remove");
    updater_config cfg = config_for(dir);
    std::string inst = dir + "\\orvantis";
    std::string agent = inst + "\\bin\\orv_agent.exe";
    char err[300] = "";
    void SetUp() override { make_installation(inst, false); }
};

}  // namespace

TEST(RemoveAll, WholeInstallation)
{
    struct {
        const char *name;
        bool extra_file;  // a file of the user's in the installation directory
    } cases[] = {{"nothing else there", false}, {"a file of the user's stays", true}};
    for (const auto &c : cases) {
        std::string dir = test_temp_dir("remove");
        updater_config cfg = config_for(dir);
        std::string inst = dir + "\\orvantis";
        make_installation(inst, c.extra_file);
        char err[300] = "";
        EXPECT_EQ(versions_remove_all(&cfg, err, sizeof err), 0) << c.name << ": " << err;
        EXPECT_FALSE(exists(inst + "\\bin")) << c.name;
        EXPECT_FALSE(exists(inst + "\\versions")) << c.name;
        EXPECT_FALSE(exists(inst + "\\.staging-1.2.0-77")) << c.name;
        EXPECT_FALSE(exists(inst + "\\.staging-1.2.0-77.p0")) << c.name;
        EXPECT_EQ(exists(inst), c.extra_file) << c.name;
        EXPECT_EQ(pending(inst), c.extra_file) << c.name << ": left to the next start of Windows";
        EXPECT_FALSE(pending(inst + "\\bin")) << c.name;
    }
}

TEST_F(Removal, ProgramInUseIsMovedAsideAndLeftToRestart)
{
    ASSERT_TRUE(CopyFileA(self_path().c_str(), agent.c_str(), FALSE));
    std::string held = dir + "\\held", release = dir + "\\release";
    HANDLE child = start_child(agent, "", held, release);
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(wait_for(held));

    EXPECT_EQ(versions_remove_all(&cfg, err, sizeof err), 0) << err;
    std::string old = agent + ".old-" + std::to_string(GetCurrentProcessId()) + "-1";
    EXPECT_TRUE(exists(old));
    EXPECT_FALSE(exists(agent));
    EXPECT_FALSE(exists(inst + "\\bin\\orv_updater.exe"));
    EXPECT_FALSE(exists(inst + "\\versions"));
    EXPECT_TRUE(pending(old));
    EXPECT_TRUE(pending(inst + "\\bin"));
    EXPECT_TRUE(pending(inst));
    EXPECT_EQ(finish_child(child, release), 0u);
}

TEST_F(Removal, FileThatCanNeitherGoNorMoveStopsTheRemoval)
{
    // Opened without delete sharing: neither deleted nor renamed.
    HANDLE h = CreateFileA(agent.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(versions_remove_all(&cfg, err, sizeof err), -1);
    CloseHandle(h);
    EXPECT_EQ(std::string(err), "cannot remove " + agent + " (error 32)");
    EXPECT_TRUE(exists(inst + "\\versions")) << "nothing after the failure is removed";
}

TEST(RemoveAll, EmptyInstallationDirectoryIsRefused)
{
    updater_config cfg;
    updconf_defaults(&cfg);
    cfg.install_dir[0] = '\0';
    char err[300] = "";
    EXPECT_EQ(versions_remove_all(&cfg, err, sizeof err), -1);
    EXPECT_STREQ(err, "no installation directory is set");
}

// ---- adopting a flat installation ---------------------------------------------

namespace {

std::vector<std::string> *adopt_log;
void collect_log(int level, const char *text, void *) { adopt_log->push_back(std::string(log_level_name(level)) + " " + text); }

// A flat directory of programs: the fake program as orv_agent.exe, answering
// "--version" with agent_answer, beside orv_updater.exe and a text file.
struct Adopt : ::testing::Test {
    std::string dir, flat, inst;
    updater_config cfg;
    std::vector<std::string> lines;
    char err[400] = "";

    void SetUp() override
    {
        dir = test_temp_dir("adopt");
        cfg = config_for(dir);
        inst = dir + "\\orvantis";
        flat = dir + "\\flat";
        CreateDirectoryA(flat.c_str(), nullptr);
        ASSERT_TRUE(CopyFileA(test_fake_prog().c_str(), (flat + "\\orv_agent.exe").c_str(), FALSE));
        test_write_file(flat + "\\orv_updater.exe", "updater program");
        test_write_file(flat + "\\readme.txt", "not a program");
        agent_answers("out:orv_agent 2.1.0\\r\\n");
        adopt_log = &lines;
        log_init("lock_test", LOG_DEBUG);
        log_set_callback(collect_log, nullptr);
    }
    void TearDown() override
    {
        log_set_callback(nullptr, nullptr);
        // Whatever happened, the lock is free again.
        EXPECT_EQ(updater_lock_acquire(&cfg), 0);
        updater_lock_release();
    }
    void agent_answers(const std::string &actions)
    {
        test_write_file(flat + "\\orv_agent.exe.version", actions);
    }
    void installed(const char *version)
    {
        updater_state st = {};
        snprintf(st.installed_version, sizeof st.installed_version, "%s", version);
        snprintf(st.previous_version, sizeof st.previous_version, "0.9.0");
        char e[200];
        ASSERT_EQ(state_write(&cfg, &st, e, sizeof e), 0) << e;
    }
    updater_state state()
    {
        updater_state st;
        state_read(&cfg, &st);
        return st;
    }
};

}  // namespace

TEST_F(Adopt, FlatProgramsBecomeAManagedVersion)
{
    installed("1.0.0");
    ASSERT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 0) << err;
    for (const char *p : {"\\versions\\2.1.0\\bin\\orv_agent.exe", "\\versions\\2.1.0\\bin\\orv_updater.exe",
                          "\\bin\\orv_agent.exe", "\\bin\\orv_updater.exe"})
        EXPECT_TRUE(exists(inst + p)) << p;
    EXPECT_FALSE(exists(inst + "\\versions\\2.1.0\\bin\\readme.txt"));
    EXPECT_TRUE(exists(flat + "\\orv_agent.exe")) << "the sources stay";
    updater_state st = state();
    EXPECT_STREQ(st.installed_version, "2.1.0");
    EXPECT_STREQ(st.previous_version, "1.0.0");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "INFO adopted 2 program(s), version 2.1.0, into " + inst);

    // Adopting the same version again keeps the previous version.
    ASSERT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 0) << err;
    st = state();
    EXPECT_STREQ(st.installed_version, "2.1.0");
    EXPECT_STREQ(st.previous_version, "1.0.0");
}

TEST_F(Adopt, NothingInstalledBefore)
{
    ASSERT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 0) << err;
    updater_state st = state();
    EXPECT_STREQ(st.installed_version, "2.1.0");
    EXPECT_STREQ(st.previous_version, "");
}

TEST_F(Adopt, Failures)
{
    // The expected sentences name the fresh directories of each case.
    auto no_version = [](Adopt *t) {
        return "cannot determine the version of the programs in " + t->flat + " (orv_agent.exe --version)";
    };
    struct {
        const char *name;
        void (*set)(Adopt *);
        std::string (*message)(Adopt *);
    } cases[] = {
        {"agent answers with another name", [](Adopt *t) { t->agent_answers("out:orvantis agent 2.1.0\\n"); },
         no_version},
        {"agent fails", [](Adopt *t) { t->agent_answers("out:orv_agent 2.1.0\\n\nexit:1"); }, no_version},
        {"no valid version", [](Adopt *t) { t->agent_answers("out:orv_agent 2.x\\n"); }, no_version},
        {"no agent", [](Adopt *t) { DeleteFileA((t->flat + "\\orv_agent.exe").c_str()); }, no_version},
        {"version directory cannot be made", [](Adopt *t) { test_write_file(t->inst, "in the way"); },
         [](Adopt *t) { return "cannot create " + t->inst + "\\versions\\2.1.0\\bin"; }},
    };
    for (const auto &c : cases) {
        SetUp();
        c.set(this);
        err[0] = '\0';
        EXPECT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 1) << c.name;
        EXPECT_EQ(std::string(err), c.message(this)) << c.name;
        EXPECT_STREQ(state().installed_version, "") << c.name;
        EXPECT_EQ(updater_lock_acquire(&cfg), 0) << c.name << ": the lock is let go";
        updater_lock_release();
    }
}

TEST_F(Adopt, StateDirectoryThatCannotBeUsed)
{
    test_write_file(dir + "\\state", "in the way");
    EXPECT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 1);
    EXPECT_EQ(std::string(err), "cannot use the state directory " + dir + "\\state\\sub");
    DeleteFileA((dir + "\\state").c_str());
}

TEST_F(Adopt, BusyWhileAnotherHoldsTheLock)
{
    ASSERT_EQ(updater_lock_acquire(&cfg), 0);  // stands for another updater
    EXPECT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 75);
    EXPECT_STREQ(err, "");
    // The other holder still has it.
    HANDLE again = CreateFileA((dir + "\\state\\sub\\updater.lock").c_str(), GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    updater_lock_release();
    EXPECT_FALSE(exists(inst + "\\versions")) << "nothing done";
}

TEST_F(Adopt, DirectoryTooLong)
{
    std::string longer = "C:\\" + std::string(257, 'd');  // 260 characters
    EXPECT_EQ(versions_adopt_existing(&cfg, longer.c_str(), err, sizeof err), 1);
    EXPECT_EQ(std::string(err), "the directory " + longer.substr(0, 80) + "... is too long");
}

TEST_F(Adopt, StateThatCannotBeWrittenIsAFailure)
{
    installed("1.0.0");
    // A directory where the state writer puts its temporary file.
    ASSERT_TRUE(CreateDirectoryA((dir + "\\state\\sub\\state.tmp").c_str(), nullptr));
    EXPECT_EQ(versions_adopt_existing(&cfg, flat.c_str(), err, sizeof err), 1);
    EXPECT_EQ(std::string(err).substr(0, 74),
              "the programs of version 2.1.0 are live, but the state cannot record them: ");
    EXPECT_TRUE(exists(inst + "\\bin\\orv_agent.exe"));
    EXPECT_STREQ(state().installed_version, "1.0.0");
    EXPECT_TRUE(lines.empty()) << "no success logged";

    // The next run, once the state can be written, records what is live.
    ASSERT_TRUE(RemoveDirectoryA((dir + "\\state\\sub\\state.tmp").c_str()));
    EXPECT_EQ(versions_recover(&cfg, err, sizeof err), 0) << err;
    EXPECT_STREQ(state().installed_version, "2.1.0");
    EXPECT_STREQ(state().previous_version, "1.0.0");
    EXPECT_TRUE(exists(inst + "\\bin\\orv_agent.exe"));
}
