// The asynchronous process spawner on Win32. A child starts suspended with
// an explicit list of inherited handles, in a process group of its own and
// in a job; the stop sends a console break to that group and ends the job
// by force only after PROC_FORCE_AFTER_MS. The calls shared with the runner
// go through proc_calls, the others through proc_spawn_calls.
#include <assert.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>

#include "proc_cmdline.h"
#include "proc_spawn.h"
#include "proc_spawn_win.h"
#include "proc_win.h"

proc_spawn_api proc_spawn_calls = {
    CreateFileA,
    DuplicateHandle,
    GetStdHandle,
    GetHandleInformation,
    InitializeProcThreadAttributeList,
    UpdateProcThreadAttribute,
    DeleteProcThreadAttributeList,
    GetConsoleCP,
    GenerateConsoleCtrlEvent,
    AttachConsole,
    FreeConsole,
    SetConsoleCtrlHandler,
    Sleep,
};

static proc_api &W = proc_calls;
static proc_spawn_api &S = proc_spawn_calls;

// Closes h when it is set and clears it.
static void close_handle(HANDLE *h)
{
    if (*h) {
        W.CloseHandle(*h);
        *h = nullptr;
    }
}

// An inheritable copy of h in this process, or null.
static HANDLE inheritable_copy(HANDLE h)
{
    HANDLE dup = nullptr;
    if (!S.DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    return dup;
}

// Everything one start holds until it returns.
struct spawn_attempt {
    char *line;                                  // the command line (heap)
    proc_child *child;                           // the record being filled (heap)
    proc_env_overrides env;                      // overrides to undo
    HANDLE null_dev;                             // the null device, the child's input
    HANDLE target;                               // the child's output and error
    HANDLE read_end;                             // the parent's end of a capture pipe
    HANDLE job;                                  // the child's job
    HANDLE made_inheritable[PROC_SPAWN_HANDLES_MAX]; // extra handles to give back their flag
    int made_count;                              // how many of them
    LPPROC_THREAD_ATTRIBUTE_LIST attrs;          // the handle list and job attributes (heap)
    int attrs_ready;                             // 1 once attrs is initialised
    int job_listed;                              // 1 when attrs names the job too
};

// The child's output target as step six of the start chooses it; null when
// the start must fail.
static HANDLE choose_target(spawn_attempt *a, int capture, int fd)
{
    if (capture) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        HANDLE write_end = nullptr;
        if (!W.CreatePipe(&a->read_end, &write_end, &sa, 0)) {
            a->read_end = nullptr;
            return nullptr;
        }
        // The parent's end stays with the parent.
        W.SetHandleInformation(a->read_end, HANDLE_FLAG_INHERIT, 0);
        return write_end;
    }
    if (fd >= 0) {
        intptr_t os = _get_osfhandle(fd);
        if (os == -1 || os == -2)
            return nullptr;
        return inheritable_copy((HANDLE)os);
    }
    HANDLE err = S.GetStdHandle(STD_ERROR_HANDLE);
    HANDLE dup = err && err != INVALID_HANDLE_VALUE ? inheritable_copy(err) : nullptr;
    // No standard error to share: the child writes into the null device.
    return dup ? dup : a->null_dev;
}

// Frees the attribute list of the attempt.
static void drop_attrs(spawn_attempt *a)
{
    if (a->attrs_ready)
        S.DeleteProcThreadAttributeList(a->attrs);
    free(a->attrs);
    a->attrs = nullptr;
    a->attrs_ready = 0;
    a->job_listed = 0;
}

// Builds the attribute list that names the handles the child inherits and,
// with with_job, the job it starts in: a child named into its job at the
// start (Windows 10, Wine 8) is in it before it exists to anyone else, so a
// caller ended right after the start still takes a captured child along.
// Where the system cannot name the job, the list holds the handles alone and
// the suspended child is assigned after the start.
static int build_attrs(spawn_attempt *a, HANDLE *list, size_t n, int with_job)
{
    SIZE_T size = 0;
    DWORD count = with_job ? 2 : 1;
    S.InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    if (size == 0)
        return -1;
    a->attrs = (LPPROC_THREAD_ATTRIBUTE_LIST)malloc(size);
    if (!a->attrs || !S.InitializeProcThreadAttributeList(a->attrs, count, 0, &size))
        return -1;
    a->attrs_ready = 1;
    if (!S.UpdateProcThreadAttribute(a->attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list,
                                     n * sizeof(HANDLE), nullptr, nullptr))
        return -1;
    a->job_listed = with_job && S.UpdateProcThreadAttribute(a->attrs, 0,
                                                            PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                                            &a->job, sizeof a->job, nullptr,
                                                            nullptr);
    return 0;
}

// Lists h for the child unless it is listed already: the system refuses a
// handle list that names one handle twice.
static void list_add(HANDLE *list, size_t *n, HANDLE h)
{
    for (size_t i = 0; i < *n; i++)
        if (list[i] == h)
            return;
    list[(*n)++] = h;
}

// Makes an extra handle inheritable for the start and remembers to undo it.
static void make_inheritable(spawn_attempt *a, HANDLE h)
{
    DWORD flags = 0;
    if (!S.GetHandleInformation(h, &flags) || (flags & HANDLE_FLAG_INHERIT))
        return;
    if (W.SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        a->made_inheritable[a->made_count++] = h;
}

// Step thirteen of the start: gives back everything the attempt changed and
// holds apart from what the record keeps.
static void attempt_end(spawn_attempt *a, int failed)
{
    drop_attrs(a);
    if (a->target != a->null_dev)
        close_handle(&a->target);
    close_handle(&a->null_dev);
    if (failed) {
        close_handle(&a->read_end);
        close_handle(&a->job);
    }
    for (int i = 0; i < a->made_count; i++)
        W.SetHandleInformation(a->made_inheritable[i], HANDLE_FLAG_INHERIT, 0);
    proc_env_restore(&a->env);
    free(a->line);
}

int proc_spawn_handles(const char *const *argv, const char *const *env, uint32_t timeout_s,
                       int capture, int fd, const void *reserved, void *const *handles,
                       uint32_t count, proc_child **out)
{
    if (!out)
        return -1;
    *out = nullptr;
    if (reserved || count > PROC_SPAWN_HANDLES_MAX || (count && !handles) || !argv || !argv[0])
        return -1;

    spawn_attempt a;
    memset(&a, 0, sizeof a);
    a.line = (char *)calloc(1, PROC_SPAWN_CMDLINE_MAX);
    if (!a.line)
        return -1;
    for (size_t i = 0; argv[i]; i++)
        if (proc_cmdline_append_arg(a.line, PROC_SPAWN_CMDLINE_MAX, argv[i]) != 0) {
            free(a.line);  // nothing else touched yet
            return -1;
        }
    a.child = (proc_child *)calloc(1, sizeof *a.child);
    if (!a.child) {
        free(a.line);
        return -1;
    }
    a.child->exit_code = -1;
    a.child->timeout_ms = (uint64_t)timeout_s * 1000u;

    int rc = -1;
    HANDLE list[2 + PROC_SPAWN_HANDLES_MAX];
    size_t listed = 0;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    STARTUPINFOEXA si;
    PROCESS_INFORMATION pi;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit;
    DWORD flags;
    BOOL started;
    int has_console;

    proc_env_apply(env, &a.env);

    a.null_dev = S.CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    if (a.null_dev == INVALID_HANDLE_VALUE) {
        a.null_dev = nullptr;
        goto done;
    }
    a.target = choose_target(&a, capture, fd);
    if (!a.target)
        goto done;

    list_add(list, &listed, a.null_dev);
    list_add(list, &listed, a.target);
    for (uint32_t i = 0; i < count; i++) {
        HANDLE h = handles[i];
        if (!h)
            continue;
        make_inheritable(&a, h);
        list_add(list, &listed, h);
    }
    a.job = W.CreateJobObjectA(nullptr, nullptr);
    if (a.job && capture) {
        // A captured child's job ends whatever it leaves behind when the
        // record is freed; without capture the job only serves the forced end.
        memset(&limit, 0, sizeof limit);
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        W.SetInformationJobObject(a.job, JobObjectExtendedLimitInformation, &limit, sizeof limit);
    }
    if (build_attrs(&a, list, listed, a.job != nullptr) != 0)
        goto done;

    memset(&si, 0, sizeof si);
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = a.null_dev;
    si.StartupInfo.hStdOutput = a.target;
    si.StartupInfo.hStdError = a.target;
    si.lpAttributeList = a.attrs;

    has_console = S.GetConsoleCP() != 0;
    flags = CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;
    if (!has_console)
        flags |= CREATE_NO_WINDOW;
    memset(&pi, 0, sizeof pi);
    started = W.CreateProcessA(nullptr, a.line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                               &si.StartupInfo, &pi);
    if (!started && a.job_listed) {
        // The job may not take the child: start it the other way, and let the
        // assignment below decide whether it runs in the job.
        drop_attrs(&a);
        if (build_attrs(&a, list, listed, 0) != 0)
            goto done;
        si.lpAttributeList = a.attrs;
        started = W.CreateProcessA(nullptr, a.line, nullptr, nullptr, TRUE, flags, nullptr,
                                   nullptr, &si.StartupInfo, &pi);
    }
    if (!started)
        goto done;

    // Still suspended: a child not named into its job at the start is put
    // into it before its first instruction.
    if (a.job && !a.job_listed && !W.AssignProcessToJobObject(a.job, pi.hProcess))
        close_handle(&a.job);
    if (W.ResumeThread(pi.hThread) == (DWORD)-1) {
        // A child that never runs would stay suspended for good once the
        // record is gone: end it, and call the start failed.
        W.TerminateProcess(pi.hProcess, 1);
        W.WaitForSingleObject(pi.hProcess, PROC_SPAWN_KILL_WAIT_MS);
        close_handle(&pi.hThread);
        close_handle(&pi.hProcess);
        goto done;
    }
    close_handle(&pi.hThread);
    a.child->process = pi.hProcess;
    a.child->job = a.job;
    a.child->output = a.read_end;
    a.child->pid = pi.dwProcessId;
    a.child->parent_console = has_console ? 1 : 0;
    a.child->start_ms = W.GetTickCount64();
    rc = 0;

done:
    attempt_end(&a, rc != 0);
    if (rc != 0) {
        free(a.child);
        return -1;
    }
    *out = a.child;
    return 0;
}

int proc_spawn(const char *const *argv, const char *const *env, uint32_t timeout_s, int capture,
               int fd, const void *reserved, proc_child **out)
{
    return proc_spawn_handles(argv, env, timeout_s, capture, fd, reserved, nullptr, 0, out);
}

int proc_spawn_simple(const char *const *argv, const char *const *env, uint32_t timeout_s, int fd,
                      proc_child **out)
{
    return proc_spawn(argv, env, timeout_s, 0, fd, nullptr, out);
}

int proc_spawn_simple_handles(const char *const *argv, const char *const *env,
                              uint32_t timeout_s, int fd, void *const *handles, uint32_t count,
                              proc_child **out)
{
    return proc_spawn_handles(argv, env, timeout_s, 0, fd, nullptr, handles,
                              handles ? count : 0, out);
}

// Sends CTRL_BREAK to the child's process group: straight through our own
// console, or else through the child's, borrowed for a moment.
static void send_break(proc_child *c)
{
    if (c->parent_console) {
        S.GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c->pid);
        return;
    }
    if (!S.AttachConsole(c->pid))
        return;  // no console to break into: the forced end follows
    S.SetConsoleCtrlHandler(nullptr, TRUE);  // the break must not end us
    S.GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c->pid);
    S.FreeConsole();
    // The event arrives asynchronously; ignoring it stays on until it has.
    S.Sleep(PROC_BREAK_PAUSE_MS);
    S.SetConsoleCtrlHandler(nullptr, FALSE);
}

// Moves the stop along for a child that is still running: begins it (a stop
// request, else the time limit) with a break, or, once begun, ends the child
// by force PROC_FORCE_AFTER_MS after the break.
static void stop_step(proc_child *c, int stop)
{
    uint64_t now = W.GetTickCount64();
    if (!c->cancelled && !c->timed_out) {
        if (stop)
            c->cancelled = 1;
        else if (now - c->start_ms >= c->timeout_ms)
            c->timed_out = 1;
        else
            return;
        c->break_ms = now;
        send_break(c);
        return;
    }
    if (now - c->break_ms < PROC_FORCE_AFTER_MS)
        return;
    // Without a job, or when the job cannot be ended, the child itself must go.
    if (!c->job || !W.TerminateJobObject(c->job, 1))
        W.TerminateProcess(c->process, 1);
    W.WaitForSingleObject(c->process, PROC_SPAWN_KILL_WAIT_MS);
    c->exited = 1;
}

// The exit code, once known; STILL_ACTIVE is no exit code.
static void read_exit_code(proc_child *c)
{
    DWORD code;
    if (W.GetExitCodeProcess(c->process, &code) && code != PROC_STILL_ACTIVE)
        c->exit_code = (int32_t)code;
}

static void fill_status(const proc_child *c, proc_spawn_status *st, int final)
{
    if (!st)
        return;
    st->exit_code = final ? c->exit_code : -1;
    st->timed_out = c->timed_out;
    st->cancelled = c->cancelled;
}

int proc_poll(proc_child *c, int stop, proc_spawn_status *st)
{
    if (!c)
        return 1;
    if (!c->exited && W.WaitForSingleObject(c->process, 0) == WAIT_OBJECT_0) {
        c->exited = 1;
        read_exit_code(c);
    } else if (!c->exited) {
        stop_step(c, stop);
        if (c->exited)
            read_exit_code(c);
    }
    fill_status(c, st, c->exited);
    return c->exited ? 1 : 0;
}

void proc_extend_timeout(proc_child *c, uint64_t ms)
{
    if (!c || c->cancelled || c->timed_out)
        return;
    // Saturates: a wrapped limit would end the child at once.
    c->timeout_ms = ms > UINT64_MAX - c->timeout_ms ? UINT64_MAX : c->timeout_ms + ms;
}

void proc_free(proc_child *c)
{
    if (!c)
        return;
    HANDLE h[3] = {c->process, c->output, c->job};
    // The job last: closing it ends what a captured child left in it.
    for (HANDLE &x : h)
        close_handle(&x);
    free(c);
}

uint32_t proc_pid(const proc_child *c) { return c ? c->pid : 0; }

// The shared loop of the front ends: waits for the child in steps, moves
// its stop along, and with a buffer collects its output.
static int run_front(const char *const *argv, const char *const *env, uint32_t timeout_s,
                     int capture, int fd, const void *reserved, proc_cancel_fn cancel, void *user,
                     char *buf, size_t size, proc_spawn_status *st)
{
    if (st) {
        st->exit_code = -1;
        st->timed_out = 0;
        st->cancelled = 0;
    }
    if (capture && size && buf)
        buf[0] = '\0';
    proc_child *c = nullptr;
    if (proc_spawn(argv, env, timeout_s, capture, fd, reserved, &c) != 0)
        return -1;
    uint64_t pos = 0;
    int stop = 0;
    for (;;) {
        if (capture)
            proc_drain_pipe(c->output, buf, buf ? size : 0, &pos);
        if (c->exited)
            break;
        if (W.WaitForSingleObject(c->process, PROC_SPAWN_POLL_MS) == WAIT_OBJECT_0)
            c->exited = 1;
        else
            stop_step(c, stop);
        if (c->exited) {
            read_exit_code(c);
            break;
        }
        fill_status(c, st, 0);
        if (cancel)
            stop = cancel(user);
    }
    fill_status(c, st, 1);
    if (capture)
        proc_drain_pipe(c->output, buf, buf ? size : 0, &pos);
    proc_free(c);
    return 0;
}

int proc_run_capture(const char *const *argv, const char *const *env, uint32_t timeout_s,
                     int capture, char *buf, size_t size, proc_spawn_status *st)
{
    return run_front(argv, env, timeout_s, capture, -1, nullptr, nullptr, nullptr, buf, size, st);
}

int proc_run_wait(const char *const *argv, const char *const *env, uint32_t timeout_s, int fd,
                  proc_spawn_status *st)
{
    return run_front(argv, env, timeout_s, 0, fd, nullptr, nullptr, nullptr, nullptr, 0, st);
}

int proc_run_cancelable(const char *const *argv, const char *const *env, uint32_t timeout_s,
                        int fd, proc_cancel_fn cancel, void *user, proc_spawn_status *st)
{
    return run_front(argv, env, timeout_s, 0, fd, nullptr, cancel, user, nullptr, 0, st);
}

int proc_run_cancelable_handles(const char *const *argv, const char *const *env,
                                uint32_t timeout_s, int fd, proc_cancel_fn cancel, void *user,
                                const void *reserved, proc_spawn_status *st)
{
    return run_front(argv, env, timeout_s, 0, fd, reserved, cancel, user, nullptr, 0, st);
}
