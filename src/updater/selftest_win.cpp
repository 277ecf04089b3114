// Running the packaged programs from the staging directory: "--version" and
// "--selftest" through the process runner, and the file check that tells a
// program a virus scanner took away from one that does not start.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "proc.h"
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

// Runs the program with the single argument option; fills p's output,
// result and started flag.
static void run_program(program_run *p, const char *option, uint32_t timeout_s)
{
    const char *argv[] = {p->path, option, nullptr};
    p->started = proc_run(argv, nullptr, timeout_s, p->out, sizeof p->out, &p->res) == 0;
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

// Checks one program: PKG_CHECK_OK, or a failure with its sentence.
static int check_program(const char *staging, const pkg_entry *e, const char *version,
                         program_run *p, char *err, size_t errlen)
{
    p->name = selftest_program_name(e->path);
    // The whole path or none: a path cut short would start another file, or
    // none, and blame the scanner for it.
    int n = snprintf(p->path, sizeof p->path, "%s/%s", staging, e->path);
    if (n < 0 || (size_t)n >= sizeof p->path) {
        update_error(err, errlen, "%s does not start: its path is too long", p->name);
        return PKG_CHECK_FAILED;
    }

    run_program(p, "--version", SELFTEST_VERSION_TIMEOUT_S);
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

    run_program(p, "--selftest", SELFTEST_SELFTEST_TIMEOUT_S);
    reason = scanner_reason(p);
    if (reason)
        return scanner_result(staging, p, reason, err, errlen);
    if (p->started && !p->res.timed_out && p->res.exit_code == 0)
        return PKG_CHECK_OK;
    update_error(err, errlen, "%s failed its self-test: %s", p->name, failure_text(p));
    return PKG_CHECK_FAILED;
}

int package_check_programs(const char *staging, const pkg_entry *entries, size_t count,
                           const char *version, char *err, size_t errlen)
{
    if (!staging || !entries || !version)
        return PKG_CHECK_FAILED;
    program_run run;
    size_t programs = 0;
    for (size_t i = 0; i < count; i++) {
        if (!selftest_is_package_program(&entries[i]))
            continue;
        programs++;
        int rc = check_program(staging, &entries[i], version, &run, err, errlen);
        if (rc != PKG_CHECK_OK)
            return rc;
    }
    if (programs == 0) {
        update_error(err, errlen, "the package contains no programs (bin/...)");
        return PKG_CHECK_FAILED;
    }
    return PKG_CHECK_OK;
}
