// Windows scheduled tasks of an installation: the daily update task
// "orvantis updater" and tasks that start a program once after every boot.
// A task definition is written as XML into a new temporary file (UTF-16LE
// with a byte-order mark, CR LF line ends), registered with "schtasks.exe"
// and the file deleted again; tasks are deleted and queried with the same
// tool. Every task runs as LocalSystem with the highest privileges.
//
// The XML text is built in task.cpp (both builds); the temporary file and
// the runs of "schtasks.exe" are in task_win.cpp. No state is kept.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "orv_attr.h"

// The daily update task.
#define TASK_UPDATER_NAME "orvantis updater"

enum {
    TASK_PATH_FIELD = 1200,     // an escaped program or settings path, its NUL included
    TASK_ARGS_FIELD = 1500,     // the escaped argument text
    TASK_DESC_FIELD = 400,      // the escaped description of a boot task
    TASK_XML_MAX = 6000,        // the whole XML text, its NUL included
    TASK_OUTPUT = 512,          // output kept of "schtasks.exe /Create" and "/Delete"
    TASK_QUERY_OUTPUT = 2048,   // output read of "schtasks.exe /Query"
    TASK_TIMEOUT = 60,          // seconds each run of "schtasks.exe" may take
    TASK_TEMP_PATH = 324,       // the temporary file's path, its NUL included
    TASK_TEMP_NAME = 80,        // its name alone
};

// ---- the XML text (both builds) ---------------------------------------------

// The module's bounded formatter: vsnprintf into buf (size bytes), cut and
// always terminated when size is not 0; returns the length of the whole text.
int task_format(char *buf, size_t size, const char *fmt, ...) ORV_PRINTF(3, 4);
// Copies value into out (size bytes, at least 8) as XML text: a double quote
// becomes "&quot;", "&" "&amp;", "<" "&lt;" and ">" "&gt;"; every other byte
// stays. The next character is taken only while the text holds at most
// size - 8 bytes, so a long value is cut silently, never inside an entity.
// A null value gives an empty text.
void task_xml_escape(const char *value, char *out, size_t size);
// The XML text of the daily update task running exe, with "--config" and
// config before "--update" when config is neither null nor empty, into xml
// (size bytes, with the task_format rules). Returns the length of the whole text.
int task_xml_updater(const char *exe, const char *config, char *xml, size_t size);
// The XML text of a task that starts command with arguments delay_minutes
// after every boot, described as description, into xml (size bytes, with
// the task_format rules). Returns the length of the whole text.
int task_xml_boot(const char *description, int delay_minutes, const char *command,
                  const char *arguments, char *xml, size_t size);
// The temporary file's name "orvantis-task-%lu-%08x%08x.xml": the process
// id, then the performance counter as 16 hex digits, into out (size bytes,
// with the task_format rules). Returns the length of the whole name.
int task_temp_name(char *out, size_t size, unsigned long pid, uint64_t counter);

// ---- registering, deleting and asking (Windows build) -----------------------
// Each run of "schtasks.exe" goes through proc_run with a 60 s limit; the
// tool is searched for the way Windows searches for a bare program name.

// Registers or replaces the daily task "orvantis updater" running
// updater_exe, with "--config" config_path when that is neither null nor
// empty. 0, or -1 with a sentence in err.
int task_create_updater(const char *updater_exe, const char *config_path, char *err,
                        size_t errlen);
// Deletes "orvantis updater". 0, or -1 with a sentence in err (also when
// there is no such task: the tool fails then).
int task_delete_updater(char *err, size_t errlen);
// 1 when "orvantis updater" exists, 0 when it does not (the tool ended with
// a non-zero code), -1 when the tool cannot be started or overruns its time.
int task_query_updater(void);
// Registers or replaces the task task_name that starts command with
// arguments delay_minutes after every boot. 0, or -1 with a sentence in err.
int task_create_boot(const char *task_name, const char *description, const char *command,
                     const char *arguments, int delay_minutes, char *err, size_t errlen);
// Deletes the task task_name. 0, or -1 with a sentence in err.
int task_delete(const char *task_name, char *err, size_t errlen);
// Creates a new file in the temporary directory, its path in path (at
// least TASK_TEMP_PATH bytes), and returns it as a stream open for binary
// writing that the caller closes; never reuses an existing file. Null when
// the temporary directory is unknown, the whole path does not fit, or the
// file cannot be created.
FILE *task_xml_tempfile(char *path);
