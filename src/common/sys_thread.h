// Threads and condition variables of the platform layer. The condition
// variables work with the mutexes of sys_clock.h.
#pragma once
#include <stdint.h>

#include "sys_clock.h"

// The system's thread handle, owned by the caller from sys_thread_start
// until sys_thread_join closes it.
typedef HANDLE sys_thread;
// A thread's work: gets the argument, returns the thread's exit code.
typedef uint32_t (*sys_thread_fn)(void *arg);
// A condition variable in storage owned by the caller.
typedef CONDITION_VARIABLE sys_cond;

// Starts fn(arg) on a new thread and hands its handle to *out: 0, or -1 when
// the thread cannot be made (nothing is left allocated then).
int sys_thread_start(sys_thread *out, sys_thread_fn fn, void *arg);
// Waits without limit for the thread to end, then closes its handle: 0.
int sys_thread_join(sys_thread t);

void sys_cond_init(sys_cond *c);
// Nothing to release on Windows.
void sys_cond_destroy(sys_cond *c);
// Releases m, waits for a wake-up, takes m again. The wait may end without a
// signal: callers test their condition in a loop around it.
void sys_cond_wait(sys_cond *c, sys_mutex *m);
// As sys_cond_wait for at most ms milliseconds: 1 when the time ran out, 0
// when woken (and for any other failure); m is held again on return.
int sys_cond_timedwait(sys_cond *c, sys_mutex *m, uint32_t ms);
// Wakes one waiter.
void sys_cond_signal(sys_cond *c);
// Wakes every waiter.
void sys_cond_broadcast(sys_cond *c);
