// The asynchronous process spawner: starts a program and returns at once
// with a record of the running child, which the caller polls, gives more
// time, or frees. At its time limit, or when the caller asks, the child is
// first sent a console break in its own process group and ended by force
// only when it still runs PROC_FORCE_AFTER_MS later. The child inherits
// exactly the handles the spawner lists for it (the null device as its
// standard input, its output target, up to four extra handles). Four front
// ends wrap start and wait into one call.
//
// The start functions and the front ends return 0 for success and -1 for
// failure; no Windows error is passed on.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Limits and times of the spawner.
#define PROC_SPAWN_CMDLINE_MAX 32768    // bytes of the command line, its NUL included
#define PROC_SPAWN_HANDLES_MAX 4        // extra handles a child may inherit
#define PROC_SPAWN_POLL_MS 50           // the front ends' wait between two looks
#define PROC_FORCE_AFTER_MS 300000      // from the console break to the forced end
#define PROC_SPAWN_KILL_WAIT_MS 10000   // wait for the child after the forced end
#define PROC_BREAK_PAUSE_MS 100         // pause after a break sent through a borrowed console
#define PROC_STILL_ACTIVE 259           // the system's exit code of a running process

// One started child, allocated zeroed by the start functions and owned by
// the caller until proc_free (the front ends free their own).
struct proc_child {
    void *process;           // the child's process handle
    void *job;               // the job that holds it; null when none or not assigned
    void *output;            // the parent's read end of the output pipe, or null
    uint32_t pid;            // the child's id, also the id of its process group
    uint32_t parent_console; // 1 when the parent had a console at the start
    uint64_t timeout_ms;     // the time limit in milliseconds
    uint64_t start_ms;       // tick count at the start
    uint64_t break_ms;       // tick count when the console break was sent
    uint32_t cancelled;      // 1 once the caller asked for a stop
    uint32_t timed_out;      // 1 once the time limit began the stop
    uint32_t exited;         // 1 once the child ended, or the wait after the forced end is over
    int32_t exit_code;       // -1 until an exit code was read
};

// The caller's view of a child.
struct proc_spawn_status {
    int32_t exit_code;   // the exit code; -1 while running or when unreadable
    uint32_t timed_out;  // the child's timed_out
    uint32_t cancelled;  // the child's cancelled
};

// Asked between two waits of a cancelable front end: non-zero asks for a stop.
typedef int (*proc_cancel_fn)(void *user);

// Starts argv[0] with the arguments argv[1..] (argv ends with null). env is
// null or a null-terminated list of "name=value" overrides that the child
// inherits (this process's environment is put back before the return).
// timeout_s is the time limit in seconds. With capture non-zero the child's
// standard output and error go into a pipe that the parent reads
// (proc_drain_pipe of child->output); otherwise into the descriptor fd, or
// the parent's standard error when fd is negative. reserved must be null.
// *out is set to null first and to the new record on success.
int proc_spawn(const char *const *argv, const char *const *env, uint32_t timeout_s, int capture,
               int fd, const void *reserved, proc_child **out);
// As proc_spawn; the child also inherits the non-null handles among the
// count of handles (null only with count 0); a count above
// PROC_SPAWN_HANDLES_MAX gives -1 before anything is done. Handles that were
// not inheritable are so again afterwards.
int proc_spawn_handles(const char *const *argv, const char *const *env, uint32_t timeout_s,
                       int capture, int fd, const void *reserved, void *const *handles,
                       uint32_t count, proc_child **out);
// proc_spawn without capture.
int proc_spawn_simple(const char *const *argv, const char *const *env, uint32_t timeout_s, int fd,
                      proc_child **out);
// proc_spawn_handles without capture; a null handles counts as none.
int proc_spawn_simple_handles(const char *const *argv, const char *const *env,
                              uint32_t timeout_s, int fd, void *const *handles, uint32_t count,
                              proc_child **out);
// Looks at the child without waiting and moves its stop along; a non-zero
// stop asks it to stop. Returns 1 with the final status once it has ended,
// 0 with exit_code -1 while it runs.
int proc_poll(proc_child *c, int stop, proc_spawn_status *st);
// Gives the child ms more milliseconds, unless its stop has begun; null is
// accepted.
void proc_extend_timeout(proc_child *c, uint64_t ms);
// Closes the record's handles and frees it; null is accepted. Closing a
// captured child's job ends whatever still runs in it.
void proc_free(proc_child *c);
// The child's id; 0 for null.
uint32_t proc_pid(const proc_child *c);

// Starts with capture (fd -1), waits for the end while collecting the output
// into buf (size bytes, always a terminated text afterwards when size is not
// 0; size 0 reads and drops it) and frees the record. 0 when the child was
// started, -1 when not; st gets the final status.
int proc_run_capture(const char *const *argv, const char *const *env, uint32_t timeout_s,
                     int capture, char *buf, size_t size, proc_spawn_status *st);
// Starts without capture (output to fd) and waits for the end.
int proc_run_wait(const char *const *argv, const char *const *env, uint32_t timeout_s, int fd,
                  proc_spawn_status *st);
// As proc_run_wait, asking cancel(user) between waits whether to stop; a
// null cancel never stops.
int proc_run_cancelable(const char *const *argv, const char *const *env, uint32_t timeout_s,
                        int fd, proc_cancel_fn cancel, void *user, proc_spawn_status *st);
// As proc_run_cancelable, with reserved passed on to proc_spawn.
int proc_run_cancelable_handles(const char *const *argv, const char *const *env,
                                uint32_t timeout_s, int fd, proc_cancel_fn cancel, void *user,
                                const void *reserved, proc_spawn_status *st);

// Moves what the pipe holds now into buffer + *pos without blocking: at
// most what was waiting at the first look, PROC_READ_CHUNK bytes a read.
// Bytes beyond size - 1 are dropped, the text is NUL-terminated at the new
// *pos; with size 0 everything is dropped. A null pipe does nothing.
void proc_drain_pipe(void *pipe, char *buffer, size_t size, uint64_t *pos);
