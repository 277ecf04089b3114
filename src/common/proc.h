// The process runner: every external program is started through proc_run,
// without a window, inside a job object that ends everything the program
// leaves behind, with its standard output and error captured through one pipe
// into the caller's bounded buffer and a time limit after which the whole job
// is ended. proc_running_programs tells whether one of the product's
// long-running programs is running.
//
// The Windows routines live in proc_win.cpp; the bounded output buffer and
// the program list are plain text work in proc.cpp, so the native build
// checks them too. Argument quoting is in proc_cmdline.h.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Limits of one run.
#define PROC_CMDLINE_MAX 8192     // bytes of the command line, its NUL included
#define PROC_ENV_MAX 16           // environment overrides applied
#define PROC_ENV_NAME_MAX 128     // an override's name is shorter than this
#define PROC_READ_CHUNK 512       // bytes taken from the pipe per read
#define PROC_POLL_MS 50           // wait on the program between two drains
#define PROC_DRAIN_SLICE_MS 200   // longest drain before the program is looked at again
#define PROC_KILL_WAIT_MS 5000    // wait for the program after the time limit ended it

// The product programs proc_running_programs looks for, in this order.
#define PROC_PROGRAM_COUNT 4
extern const char *const proc_program_names[PROC_PROGRAM_COUNT];

// The outcome of one proc_run, owned by the caller.
struct proc_result {
    int32_t exit_code;  // the program's exit code; -1 when not started, ended at the limit, or unreadable
    int32_t timed_out;  // 1 when the time limit ended the run, else 0
    uint32_t error;     // GetLastError of a failed start; 0 in every other case
};

// The caller's output buffer while a run fills it.
struct proc_output {
    char *buf;    // the caller's buffer; null only with cap 0
    size_t cap;   // its size in bytes; 0 reads and drops everything
    size_t len;   // bytes of text held, always below cap when cap is not 0
    int full;     // 1 once output had to be dropped: nothing more is taken
};

// Starts filling buf (cap bytes): buf becomes the empty text when cap is not
// 0, and is never touched when cap is 0.
void proc_output_init(proc_output *o, char *buf, size_t cap);
// Appends n bytes of program output as far as the text stays within cap - 1
// bytes, and terminates it. Once bytes had to be dropped, everything later is
// dropped too, so the text is always the start of the output, byte for byte
// (the output's code page is the program's; nothing is cut at characters).
void proc_output_add(proc_output *o, const char *data, size_t n);

// The index in proc_program_names of an image name (compared without regard
// to ASCII case), or -1 when it is none of them.
int proc_program_index(const char *image);
// Appends name to the list in names (cap bytes), after ", " when the list is
// not empty, when the list's length + the name's length + 3 is below cap:
// 1 when appended, else 0.
int proc_names_append(char *names, size_t cap, const char *name);

// Runs the program argv[0] (a bare name is searched for the way Windows does,
// a path is used as it is) with the arguments argv[1..] (argv ends with
// null), each quoted for the command line. env is null or a null-terminated
// list of "name=value" overrides that hold in this whole process while the
// program runs and are undone afterwards. The program gets timeout_s seconds;
// then it and everything it started are ended. Its standard output and error
// go, in the order written, into out (outcap bytes, always a terminated text
// afterwards; outcap 0, or a null out, reads and drops the output and leaves
// out alone). res (never null) is filled.
// Returns 0 when the program ran (res tells whether it ended by itself), -1
// when it was not started: res->error holds the Windows error of a failed
// start, 0 when the command line did not fit or no pipe could be made.
int proc_run(const char *const *argv, const char *const *env, uint32_t timeout_s, char *out,
             size_t outcap, proc_result *res);
// Counts the running processes other than this one whose image name is one of
// proc_program_names, and lists their names in names (cap bytes, joined by
// ", ", as far as they fit; emptied first when cap is not 0). 0 also when the
// processes cannot be listed.
int proc_running_programs(char *names, size_t cap);
