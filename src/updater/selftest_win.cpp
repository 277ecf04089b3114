// Running the packaged programs from the staging directory: "--version" and
// "--selftest" through the process runner, and the file check that tells a
// program a virus scanner took away from one that does not start.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "proc.h"
#include "sys_clock.h"
#include "sys_thread.h"
#include "update.h"
#include "selftest.h"

// The staging path of an entry, and the name of the program.
struct program_run {
    char path[PROC_CMDLINE_MAX]; // staging directory, "/", entry path
    const char *name;            // the entry path after its last "/"
    char out[SELFTEST_OUTPUT_CAP]; // what the last run printed
    proc_result res;             // how the last run went
    int started;                 // 1 when proc_run started the program
};

// How many programs are checked at once. Starting a program is slow
// (under Wine most of all), and the checks of two programs do not touch
// each other; the outcome, the log and what is started are still those of
// the check in entry order.
#define SELFTEST_PARALLEL 4
// The result of a check given up because an earlier program failed: a check
// in entry order would never have begun it.
#define CHECK_ABANDONED 1

// The outcome of one program's check, kept until every earlier program's
// is known.
struct program_outcome {
    const pkg_entry *entry;     // the program's entry
    int rc;                     // PKG_CHECK_OK, a failure check_program gave, or CHECK_ABANDONED
    int done;                   // 1 once its check has ended
    char *err;                  // its sentence: errlen bytes in the caller's layout
    const char *failed_option;  // the option of a run that did not start, or null
    unsigned long failed_error; // the Windows error of that start
};

// The shared state of one package_check_programs call.
struct program_checks {
    const char *staging;        // the staging directory
    const char *version;        // the package version
    program_outcome *outcomes;  // one per program, in entry order
    size_t count;               // number of programs
    size_t errlen;              // size of every outcome's sentence buffer
    sys_mutex lock;             // guards everything below and the outcomes' done
    size_t next;                // the next program nobody has taken
    size_t first_failure;       // lowest program index that failed so far, or count
    size_t passed_on;           // programs whose log lines are written (entry order)
    int ended;                  // 1 once the failure that ends the check was passed on
};

// 1 when program i may still be started: no earlier program has failed.
static int may_start(program_checks *c, size_t i)
{
    sys_mutex_lock(&c->lock);
    int ok = i < c->first_failure;
    sys_mutex_unlock(&c->lock);
    return ok;
}

// Runs the program with the single argument option; fills p's output,
// result and started flag, and for a start that failed o's note of it.
static void run_program(program_run *p, const char *option, uint32_t timeout_s,
                        program_outcome *o)
{
    const char *argv[] = {p->path, option, nullptr};
    p->started = proc_run(argv, nullptr, timeout_s, p->out, sizeof p->out, &p->res) == 0;
    if (!p->started) {
        o->failed_option = option;
        o->failed_error = (unsigned long)p->res.error;
    }
}

// Writes, holding c->lock, the log lines of the programs that a check in
// entry order has reached by now: each one's once every earlier program
// has passed, none after the first that failed.
static void pass_on(program_checks *c)
{
    while (!c->ended && c->passed_on < c->count && c->outcomes[c->passed_on].done) {
        const program_outcome *o = &c->outcomes[c->passed_on++];
        // The sentence for the user only says that it did not start; the
        // log keeps the system's reason for whoever has to find out why.
        if (o->failed_option)
            log_write(LOG_WARN, "%s/%s %s: the start failed (error %lu)", c->staging,
                      o->entry->path, o->failed_option, o->failed_error);
        if (o->rc != PKG_CHECK_OK)
            c->ended = 1;
    }
}

// The scanner's part in a start that failed: its words, or null when the
// start failed for another reason (or did not fail).
static const char *scanner_reason(const program_run *p)
{
    if (p->started)
        return nullptr;
    int exists = GetFileAttributesA(p->path) != INVALID_FILE_ATTRIBUTES;
    return selftest_scanner_reason(p->res.error, exists);
}

// The sentence for a program the scanner blocked or took away; returns
// PKG_CHECK_SCANNER.
static int scanner_result(const char *staging, const program_run *p, const char *reason,
                          char *err, size_t errlen)
{
    char folder[SELFTEST_FOLDER_MAX + 1];
    selftest_scanner_folder(folder, sizeof folder, staging);
    update_error(err, errlen,
               "%s was blocked or removed by the virus scanner (%s); add an exclusion for the "
               "folder %s to it",
               p->name, reason, folder);
    return PKG_CHECK_SCANNER;
}

// The output of a failed run made one line, or the words for a run without
// output in its place.
static const char *failure_text(program_run *p)
{
    text_flatten(p->out);
    if (p->out[0] == '\0')
        proc_describe_failure(p->started, &p->res, p->out, sizeof p->out);
    return p->out;
}

// Checks program i of c: PKG_CHECK_OK, a failure with its sentence, or
// CHECK_ABANDONED when an earlier program failed before a run of this one
// could start.
static int check_program(program_checks *c, size_t i, program_run *p, char *err, size_t errlen)
{
    const char *staging = c->staging;
    const pkg_entry *e = c->outcomes[i].entry;
    const char *version = c->version;
    p->name = selftest_program_name(e->path);
    // The whole path or none: a path cut short would start another file, or
    // none, and blame the scanner for it.
    int n = snprintf(p->path, sizeof p->path, "%s/%s", staging, e->path);
    if (n < 0 || (size_t)n >= sizeof p->path) {
        update_error(err, errlen, "%s does not start: its path is too long", p->name);
        return PKG_CHECK_FAILED;
    }

    if (!may_start(c, i))
        return CHECK_ABANDONED;
    run_program(p, "--version", SELFTEST_VERSION_TIMEOUT_S, &c->outcomes[i]);
    const char *reason = scanner_reason(p);
    if (reason)
        return scanner_result(staging, p, reason, err, errlen);
    if (!p->started || p->res.timed_out || p->res.exit_code != 0) {
        update_error(err, errlen, "%s does not start: %s", p->name, failure_text(p));
        return PKG_CHECK_FAILED;
    }
    // Room for the longest name and version, so the text is never cut.
    char expected[sizeof e->path + 64 + 2];
    selftest_expected_version(expected, sizeof expected, p->name, version);
    if (!selftest_version_matches(p->out, expected)) {
        update_error(err, errlen, "%s reports a different version than the package (expected '%s')",
                   p->name, expected);
        return PKG_CHECK_FAILED;
    }

    if (!may_start(c, i))
        return CHECK_ABANDONED;
    run_program(p, "--selftest", SELFTEST_SELFTEST_TIMEOUT_S, &c->outcomes[i]);
    reason = scanner_reason(p);
    if (reason)
        return scanner_result(staging, p, reason, err, errlen);
    if (p->started && !p->res.timed_out && p->res.exit_code == 0)
        return PKG_CHECK_OK;
    update_error(err, errlen, "%s failed its self-test: %s", p->name, failure_text(p));
    return PKG_CHECK_FAILED;
}

// One checker: takes the next program until none is left. A program after
// one that already failed is not started, as a check in order would never
// have reached it.
static uint32_t check_worker(void *arg)
{
    program_checks *c = (program_checks *)arg;
    program_run *run = (program_run *)malloc(sizeof *run);
    for (;;) {
        sys_mutex_lock(&c->lock);
        size_t i = c->next < c->first_failure ? c->next++ : c->count;
        sys_mutex_unlock(&c->lock);
        if (i >= c->count)
            break;
        program_outcome *o = &c->outcomes[i];
        if (!run) {
            update_error(o->err, c->errlen, "out of memory");
            o->rc = PKG_CHECK_FAILED;
        } else {
            o->rc = check_program(c, i, run, o->err, c->errlen);
        }
        sys_mutex_lock(&c->lock);
        if (o->rc != PKG_CHECK_OK && o->rc != CHECK_ABANDONED && i < c->first_failure)
            c->first_failure = i;
        o->done = 1;
        pass_on(c);
        sys_mutex_unlock(&c->lock);
    }
    free(run);
    return 0;
}

int package_check_programs(const char *staging, const pkg_entry *entries, size_t count,
                           const char *version, char *err, size_t errlen)
{
    if (!staging || !entries || !version)
        return PKG_CHECK_FAILED;
    size_t programs = 0;
    for (size_t i = 0; i < count; i++)
        programs += selftest_is_package_program(&entries[i]) ? 1 : 0;
    if (programs == 0) {
        update_error(err, errlen, "the package contains no programs (bin/...)");
        return PKG_CHECK_FAILED;
    }

    program_checks c;
    memset(&c, 0, sizeof c);
    c.staging = staging;
    c.version = version;
    c.count = programs;
    c.first_failure = programs;
    c.errlen = err && errlen ? errlen : 0;
    c.outcomes = (program_outcome *)calloc(programs, sizeof *c.outcomes);
    char *texts = (char *)calloc(programs, c.errlen ? c.errlen : 1);
    sys_thread threads[SELFTEST_PARALLEL - 1];
    size_t started = 0;
    int rc = PKG_CHECK_OK;
    if (!c.outcomes || !texts) {
        update_error(err, errlen, "out of memory");
        rc = PKG_CHECK_FAILED;
        goto done;
    }
    for (size_t i = 0, k = 0; i < count; i++) {
        if (!selftest_is_package_program(&entries[i]))
            continue;
        c.outcomes[k].entry = &entries[i];
        c.outcomes[k].err = c.errlen ? texts + k * c.errlen : nullptr;
        k++;
    }
    sys_mutex_init(&c.lock);
    // This thread checks too; a helper that cannot be started leaves its
    // share to the others.
    while (started < SELFTEST_PARALLEL - 1 && started + 1 < programs &&
           sys_thread_start(&threads[started], check_worker, &c) == 0)
        started++;
    check_worker(&c);
    for (size_t t = 0; t < started; t++)
        sys_thread_join(threads[t]);
    sys_mutex_destroy(&c.lock);
    // The first failure in entry order is the check's outcome.
    if (c.first_failure < programs) {
        const program_outcome *o = &c.outcomes[c.first_failure];
        rc = o->rc;
        if (c.errlen)
            memcpy(err, o->err, c.errlen);
    }

done:
    free(texts);
    free(c.outcomes);
    return rc;
}
