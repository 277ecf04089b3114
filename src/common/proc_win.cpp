// The process runner on Win32: one thread starts the program suspended and
// inside a job, and then alternates between emptying the output pipe
// without blocking and a short wait on the program, until the program ends
// or its time is up. Every Windows call goes through proc_calls.
#include <assert.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "proc.h"
#include "proc_cmdline.h"
#include "proc_spawn.h"
#include "proc_win.h"

proc_api proc_calls = {
    CreatePipe,         SetHandleInformation, CreateJobObjectA,   SetInformationJobObject,
    AssignProcessToJobObject, SetErrorMode,   CreateProcessA,     ResumeThread,
    TerminateJobObject, TerminateProcess,     PeekNamedPipe,      ReadFile,
    WaitForSingleObject, GetExitCodeProcess,  CloseHandle,        GetEnvironmentVariableA,
    SetEnvironmentVariableA, GetTickCount64,  CreateToolhelp32Snapshot, Process32First,
    Process32Next,      InitializeProcThreadAttributeList, UpdateProcThreadAttribute,
    DeleteProcThreadAttributeList, GetHandleInformation,
};

static proc_api &W = proc_calls;

// Runs may start programs from several threads at once. The error mode is
// the process's, and a pipe end is inheritable from its creation until the
// program got it: both are set and undone under this lock, so one start
// neither leaves another's error mode behind nor, on a system that cannot
// name the handles a program inherits, hands its pipe to another program.
static SRWLOCK start_lock = SRWLOCK_INIT;

// No end: a drain without a deadline or without a byte budget.
static const uint64_t NO_LIMIT = UINT64_MAX;

// The current value of name as a new heap text: 0 with *value set (null when
// the variable is unset), or -1 when no memory is left to keep it.
static int env_save(const char *name, char **value)
{
    *value = nullptr;
    SetLastError(0);
    DWORD need = W.GetEnvironmentVariableA(name, nullptr, 0);
    if (need == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return 0;
    if (need == 0)
        need = 1;  // set but empty
    // The value may change between two calls (another thread); one that grew
    // is asked for again with its new size.
    for (int tries = 0; tries < 4; tries++) {
        char *buf = (char *)malloc(need);
        if (!buf)
            return -1;
        SetLastError(0);
        DWORD got = W.GetEnvironmentVariableA(name, buf, need);
        if (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
            free(buf);
            return 0;
        }
        if (got < need) {
            buf[got] = '\0';
            *value = buf;
            return 0;
        }
        free(buf);
        need = got;
    }
    return -1;
}

void proc_env_apply(const char *const *env, proc_env_overrides *ov)
{
    ov->count = 0;
    for (size_t i = 0; env && env[i] && ov->count < PROC_ENV_MAX; i++) {
        const char *eq = strchr(env[i], '=');
        size_t name_len = eq ? (size_t)(eq - env[i]) : 0;
        if (!eq || name_len == 0 || name_len >= PROC_ENV_NAME_MAX)
            continue;
        proc_env_saved *s = &ov->items[ov->count];
        memcpy(s->name, env[i], name_len);
        s->name[name_len] = '\0';
        if (env_save(s->name, &s->value) != 0)
            continue;
        ov->count++;
        W.SetEnvironmentVariableA(s->name, eq + 1);
    }
}

void proc_env_restore(proc_env_overrides *ov)
{
    for (int i = ov->count - 1; i >= 0; i--) {
        proc_env_saved *s = &ov->items[i];
        W.SetEnvironmentVariableA(s->name, s->value);
        free(s->value);
        s->value = nullptr;
    }
    ov->count = 0;
}

// Closes h when it is set and clears it.
static void close_handle(HANDLE *h)
{
    if (*h) {
        W.CloseHandle(*h);
        *h = nullptr;
    }
}

// Moves what the pipe holds into o without ever blocking: PeekNamedPipe says
// how much is waiting, and no read asks for more. Stops when the pipe is
// empty or a call fails, once GetTickCount64 reaches deadline, or once
// budget bytes were read (budget 0: as many as the first look found
// waiting). The bounds matter when a program, or something it started,
// writes without pause: the drain would otherwise never give the time limit
// or the program's end a chance.
static void drain(HANDLE pipe, proc_output *o, uint64_t deadline, uint64_t budget)
{
    char piece[PROC_READ_CHUNK];
    for (;;) {
        DWORD waiting = 0;
        if (!W.PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0)
            return;
        if (budget == 0)
            budget = waiting;
        DWORD want = waiting < sizeof piece ? waiting : (DWORD)sizeof piece;
        if (want > budget)
            want = (DWORD)budget;
        DWORD got = 0;
        if (!W.ReadFile(pipe, piece, want, &got, nullptr) || got == 0)
            return;
        proc_output_add(o, piece, got);
        if (budget != NO_LIMIT) {
            budget -= got;
            if (budget == 0)
                return;
        }
        if (deadline != NO_LIMIT && W.GetTickCount64() >= deadline)
            return;
    }
}

void proc_drain_pipe(void *pipe, char *buffer, size_t size, uint64_t *pos)
{
    if (!pipe || !pos || (size && !buffer))
        return;
    // A position past the buffer (a caller's slip) leaves no room rather
    // than an unsigned wrap into a huge one.
    uint64_t at = size ? (*pos < size - 1 ? *pos : size - 1) : 0;
    proc_output o = {buffer, size, (size_t)at, 0};
    // Budget 0: only what waits at the first look, so a child that writes
    // without pause cannot keep the caller here.
    drain((HANDLE)pipe, &o, NO_LIMIT, 0);
    if (size) {
        buffer[o.len] = '\0';
        *pos = o.len;
    }
}

// The attribute list of a start: the handles the program inherits, exactly
// those in inherit, and with job the job it starts in. Null when the system
// cannot name them (the handle list before Windows Vista, the job before
// Windows 10) or no memory is left; attrs_free ends a list that was made.
static LPPROC_THREAD_ATTRIBUTE_LIST attrs_make(HANDLE *inherit, size_t n, HANDLE *job)
{
    SIZE_T size = 0;
    W.InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    LPPROC_THREAD_ATTRIBUTE_LIST attrs =
        size ? (LPPROC_THREAD_ATTRIBUTE_LIST)malloc(size) : nullptr;
    if (!attrs)
        return nullptr;
    if (!W.InitializeProcThreadAttributeList(attrs, 2, 0, &size)) {
        free(attrs);
        return nullptr;
    }
    if (!W.UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit,
                                     n * sizeof(HANDLE), nullptr, nullptr) ||
        (job && !W.UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job,
                                             sizeof *job, nullptr, nullptr))) {
        W.DeleteProcThreadAttributeList(attrs);
        free(attrs);
        return nullptr;
    }
    return attrs;
}

// Ends a list from attrs_make.
static void attrs_free(LPPROC_THREAD_ATTRIBUTE_LIST attrs)
{
    W.DeleteProcThreadAttributeList(attrs);
    free(attrs);
}

// CreateProcessA of the command line, suspended, with si's handles and the
// attribute list attrs (none when null). A start refused with
// ERROR_INTERNAL_ERROR is tried twice more, 100 ms apart: a loaded system
// (Wine's loader, seen on a busy machine) answers a good program so now and
// then, and the same start goes through a moment later. Nothing of the
// program ran, so starting it again is safe.
static BOOL start_once(char *line, const STARTUPINFOA *si, LPPROC_THREAD_ATTRIBUTE_LIST attrs,
                       PROCESS_INFORMATION *pi);

static BOOL start_with(char *line, const STARTUPINFOA *si, LPPROC_THREAD_ATTRIBUTE_LIST attrs,
                       PROCESS_INFORMATION *pi)
{
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3; attempt++) {
        if (attempt)
            Sleep(100);
        started = start_once(line, si, attrs, pi);
        if (started || GetLastError() != ERROR_INTERNAL_ERROR)
            break;
    }
    return started;
}

// One CreateProcessA of start_with.
static BOOL start_once(char *line, const STARTUPINFOA *si, LPPROC_THREAD_ATTRIBUTE_LIST attrs,
                       PROCESS_INFORMATION *pi)
{
    DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    STARTUPINFOEXA six;
    memset(&six, 0, sizeof six);
    six.StartupInfo = *si;
    six.StartupInfo.cb = sizeof six.StartupInfo;
    if (attrs) {
        six.StartupInfo.cb = sizeof six;
        six.lpAttributeList = attrs;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    return W.CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                            &six.StartupInfo, pi);
}

// Starts the command line suspended, with si's handles, and puts it into job
// (when there is one); *in_job tells whether it is in. The program inherits
// the n handles in inherit and nothing else: other threads open files and
// pipes that are inheritable for a while (the runtime's files are), and a
// program that took one along would keep a file from being replaced, moved
// or started, or a pipe from ever reaching its end, for as long as it runs.
// Only a system that cannot name the handles hands on every inheritable one.
// Where the system can name the job in the start itself
// (PROC_THREAD_ATTRIBUTE_JOB_LIST, Windows 10 and Wine 8), the program is in
// the job before it exists to anyone else: a caller that is ended right
// after the start still takes it along when its job handle closes.
// Elsewhere, and when a start with the job is refused (the job may not take
// the program), the program starts suspended and is assigned before it runs;
// a caller ended between those two calls leaves a suspended program behind,
// which is why the first way comes first. Returns the result of
// CreateProcessA; pi is filled on success.
static BOOL start_in_job(char *line, const STARTUPINFOA *si, HANDLE *inherit, size_t n,
                         HANDLE job, PROCESS_INFORMATION *pi, int *in_job)
{
    *in_job = 0;
    LPPROC_THREAD_ATTRIBUTE_LIST attrs = job ? attrs_make(inherit, n, &job) : nullptr;
    if (attrs) {
        BOOL started = start_with(line, si, attrs, pi);
        attrs_free(attrs);
        if (started) {
            *in_job = 1;
            return TRUE;
        }
    }
    attrs = attrs_make(inherit, n, nullptr);
    BOOL started = start_with(line, si, attrs, pi);
    if (attrs)
        attrs_free(attrs);
    if (!started)
        return FALSE;
    // Still suspended: in the job before its first instruction, so nothing it
    // starts can escape.
    *in_job = job && W.AssignProcessToJobObject(job, pi->hProcess);
    return TRUE;
}

int proc_run(const char *const *argv, const char *const *env, uint32_t timeout_s, char *out,
             size_t outcap, proc_result *res)
{
    assert(res);
    res->exit_code = -1;
    res->timed_out = 0;
    res->error = 0;
    proc_output output;
    // Without a buffer nothing can be kept, whatever outcap says.
    proc_output_init(&output, out, out ? outcap : 0);
    if (!argv || !argv[0])
        return -1;

    char line[PROC_CMDLINE_MAX];
    memset(line, 0, sizeof line);
    for (size_t i = 0; argv[i]; i++)
        if (proc_cmdline_append_arg(line, sizeof line, argv[i]) != 0)
            return -1;  // nothing started, the environment untouched

    proc_env_overrides ov;
    proc_env_apply(env, &ov);

    int rc = -1;
    HANDLE read_end = nullptr, write_end = nullptr, job = nullptr;
    PROCESS_INFORMATION pi;
    memset(&pi, 0, sizeof pi);
    int kills_on_close = 0, in_job = 0, locked = 0;
    STARTUPINFOA si;
    HANDLE inherit[2];
    size_t inherit_count;
    DWORD input_flags = 0;
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limit;
    UINT old_mode;
    BOOL started;
    DWORD start_error;
    uint64_t start_ms, limit_ms, deadline;

    AcquireSRWLockExclusive(&start_lock);
    locked = 1;
    if (!W.CreatePipe(&read_end, &write_end, &sa, 0)) {
        read_end = write_end = nullptr;
        goto done;
    }
    // The program inherits only the write end; a failure here is harmless,
    // as the runner never waits for the pipe to close.
    W.SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = write_end;  // one pipe, so both streams keep their order
    // The input is handed on as before: only when it is inheritable, which a
    // handle list must not name otherwise.
    inherit[0] = write_end;
    inherit_count = 1;
    if (si.hStdInput && si.hStdInput != INVALID_HANDLE_VALUE &&
        W.GetHandleInformation(si.hStdInput, &input_flags) &&
        (input_flags & HANDLE_FLAG_INHERIT))
        inherit[inherit_count++] = si.hStdInput;

    // Without a job the program still runs; only what it leaves behind may
    // then outlive it.
    job = W.CreateJobObjectA(nullptr, nullptr);
    if (job) {
        memset(&limit, 0, sizeof limit);
        limit.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        kills_on_close =
            W.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limit,
                                      sizeof limit) != 0;
    }

    // The program inherits this error mode: a missing DLL or a crash then ends
    // it with a status instead of a dialog box that nobody sees.
    old_mode = W.SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
                              SEM_NOOPENFILEERRORBOX);
    started = start_in_job(line, &si, inherit, inherit_count, job, &pi, &in_job);
    start_error = started ? 0 : GetLastError();
    W.SetErrorMode(old_mode);
    if (!started) {
        memset(&pi, 0, sizeof pi);
        res->error = start_error;
        goto done;
    }

    // Only the program may hold the write end now, so that the pipe is
    // its own.
    close_handle(&write_end);
    ReleaseSRWLockExclusive(&start_lock);
    locked = 0;
    if (W.ResumeThread(pi.hThread) == (DWORD)-1) {
        // A program that never runs would only be found out at its time limit,
        // and then as a program that hung: call it not started.
        res->error = GetLastError();
        W.TerminateProcess(pi.hProcess, 1);
        W.WaitForSingleObject(pi.hProcess, PROC_KILL_WAIT_MS);
        goto done;
    }
    start_ms = W.GetTickCount64();
    limit_ms = (uint64_t)timeout_s * 1000u;
    deadline = start_ms + limit_ms;

    for (;;) {
        // A program that writes without pause keeps the pipe from ever being
        // empty: each drain gets a slice of time so that the program's end
        // and the time limit are still looked at.
        uint64_t slice_end = W.GetTickCount64() + PROC_DRAIN_SLICE_MS;
        drain(read_end, &output, slice_end < deadline ? slice_end : deadline, NO_LIMIT);
        if (W.WaitForSingleObject(pi.hProcess, PROC_POLL_MS) == WAIT_OBJECT_0)
            break;
        if (W.GetTickCount64() - start_ms >= limit_ms) {
            // Without the job, or when the job cannot be ended, at least the
            // program itself must go.
            if (!in_job || !W.TerminateJobObject(job, 1))
                W.TerminateProcess(pi.hProcess, 1);
            W.WaitForSingleObject(pi.hProcess, PROC_KILL_WAIT_MS);
            res->timed_out = 1;
            break;
        }
    }
    // What the pipe still holds; a budget, since something the program left
    // running may still be writing.
    drain(read_end, &output, NO_LIMIT, 0);
    if (!res->timed_out) {
        DWORD code;
        if (W.GetExitCodeProcess(pi.hProcess, &code))
            res->exit_code = (int32_t)code;
    }
    // A job that did not take its kill-on-close limit would let go of what the
    // program left running when it is closed below: end those explicitly.
    if (in_job && !kills_on_close)
        W.TerminateJobObject(job, 1);
    rc = 0;

done:
    close_handle(&pi.hThread);
    close_handle(&pi.hProcess);
    // The job last: closing it ends every process still in it.
    close_handle(&job);
    close_handle(&read_end);
    close_handle(&write_end);
    if (locked)
        ReleaseSRWLockExclusive(&start_lock);
    proc_env_restore(&ov);
    return rc;
}

int proc_running_programs(char *names, size_t cap)
{
    if (names && cap)
        names[0] = '\0';
    HANDLE snap = W.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 0;
    DWORD self = GetCurrentProcessId();
    int count = 0;
    PROCESSENTRY32 pe;
    memset(&pe, 0, sizeof pe);
    pe.dwSize = sizeof pe;
    for (BOOL more = W.Process32First(snap, &pe); more; more = W.Process32Next(snap, &pe)) {
        if (pe.th32ProcessID == self)
            continue;
        pe.szExeFile[sizeof pe.szExeFile - 1] = '\0';
        int i = proc_program_index(pe.szExeFile);
        if (i < 0)
            continue;
        // Counted even when its name no longer fits the list.
        count++;
        proc_names_append(names, cap, proc_program_names[i]);
    }
    W.CloseHandle(snap);
    return count;
}
