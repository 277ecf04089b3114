// Scheduled tasks through "schtasks.exe": the task file in the temporary
// directory, and the tool's runs.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <windows.h>

#include "proc.h"
#include "task.h"
#include "update.h"

FILE *task_xml_tempfile(char *path)
{
    // A result of TASK_TEMP_PATH or more is the size GetTempPathA would need,
    // with path left unfilled.
    DWORD n = GetTempPathA(TASK_TEMP_PATH, path);
    if (n == 0 || n >= TASK_TEMP_PATH) {
        path[0] = '\0';
        return NULL;
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    char name[TASK_TEMP_NAME];
    task_temp_name(name, sizeof name, (unsigned long)GetCurrentProcessId(),
                   (uint64_t)counter.QuadPart);
    // A name cut short could be any other file's: no file then.
    if (strlen(path) + strlen(name) > TASK_TEMP_PATH - 1)
        return NULL;
    strncat(path, name, TASK_TEMP_PATH - 1 - strlen(path));
    // Exclusive: an existing file is never reused.
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return NULL;
    FILE *f = _fdopen(fd, "wb");
    if (!f) {
        _close(fd);
        DeleteFileA(path);
    }
    return f;
}

// Writes the byte-order mark and xml (len bytes) as UTF-16LE to f and closes
// f. The text is UTF-8 when it is valid UTF-8; otherwise its bytes are of the
// ANSI code page, as the paths of this program are. 0; -1 with a sentence in
// err when writing fails; -2 without one when memory runs out.
static int write_utf16(FILE *f, const char *path, const char *xml, int len, char *err,
                       size_t errlen)
{
    UINT codepage = CP_UTF8;
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, xml, len, NULL, 0);
    if (units <= 0) {
        codepage = CP_ACP;
        units = MultiByteToWideChar(CP_ACP, 0, xml, len, NULL, 0);
    }
    wchar_t *wide = units > 0 ? (wchar_t *)malloc((size_t)units * sizeof(wchar_t)) : NULL;
    if (!wide) {
        fclose(f);
        return -2;
    }
    MultiByteToWideChar(codepage, 0, xml, len, wide, units);
    static const unsigned char bom[2] = {0xFF, 0xFE};
    int bad = fwrite(bom, 1, sizeof bom, f) != sizeof bom;
    bad |= fwrite(wide, sizeof(wchar_t), (size_t)units, f) != (size_t)units;
    free(wide);
    bad |= fclose(f) != 0;
    if (bad) {
        update_error(err, errlen, "cannot write %s", path);
        return -1;
    }
    return 0;
}

// Runs "schtasks.exe" with args (the tool's arguments, ending with null)
// into out (outcap bytes). 0 when it ran within its time and ended with 0;
// -1 when it was not started or overran; 1 when it ended with another code.
static int schtasks(const char *const *args, char *out, size_t outcap)
{
    const char *argv[8] = {"schtasks.exe"};
    size_t n = 1;
    for (size_t i = 0; args[i] && n + 1 < sizeof argv / sizeof argv[0]; i++)
        argv[n++] = args[i];
    argv[n] = NULL;
    proc_result res;
    if (proc_run(argv, NULL, TASK_TIMEOUT, out, outcap, &res) != 0 || res.timed_out)
        return -1;
    return res.exit_code == 0 ? 0 : 1;
}

// Registers the task name from the XML text: writes it into a new temporary
// file, has "schtasks.exe" read it, and deletes the file whatever happened.
static int task_register(const char *name, const char *xml, char *err, size_t errlen)
{
    char path[TASK_TEMP_PATH];
    FILE *f = task_xml_tempfile(path);
    if (!f) {
        update_error(err, errlen, "cannot write %s", path);
        return -1;
    }
    int wrote = write_utf16(f, path, xml, (int)strlen(xml), err, errlen);
    if (wrote != 0) {
        DeleteFileA(path);
        return -1;
    }
    char out[TASK_OUTPUT];
    const char *args[] = {"/Create", "/TN", name, "/XML", path, "/F", NULL};
    int rc = schtasks(args, out, sizeof out);
    DeleteFileA(path);
    if (rc != 0) {
        update_error(err, errlen, "schtasks could not create the task: %s", out);
        return -1;
    }
    return 0;
}

int task_create_updater(const char *updater_exe, const char *config_path, char *err,
                        size_t errlen)
{
    char xml[TASK_XML_MAX];
    task_xml_updater(updater_exe, config_path, xml, sizeof xml);
    return task_register(TASK_UPDATER_NAME, xml, err, errlen);
}

int task_create_boot(const char *task_name, const char *description, const char *command,
                     const char *arguments, int delay_minutes, char *err, size_t errlen)
{
    char xml[TASK_XML_MAX];
    task_xml_boot(description, delay_minutes, command, arguments, xml, sizeof xml);
    return task_register(task_name, xml, err, errlen);
}

int task_delete(const char *task_name, char *err, size_t errlen)
{
    char out[TASK_OUTPUT];
    const char *args[] = {"/Delete", "/TN", task_name, "/F", NULL};
    if (schtasks(args, out, sizeof out) != 0) {
        update_error(err, errlen, "schtasks could not delete the task: %s", out);
        return -1;
    }
    return 0;
}

int task_delete_updater(char *err, size_t errlen) { return task_delete(TASK_UPDATER_NAME, err, errlen); }

int task_query_updater(void)
{
    char out[TASK_QUERY_OUTPUT];
    const char *args[] = {"/Query", "/TN", TASK_UPDATER_NAME, NULL};
    int rc = schtasks(args, out, sizeof out);
    return rc < 0 ? -1 : rc == 0 ? 1 : 0;
}
