// The plain text work of the process runner: the bounded output buffer and the
// list of running product programs. No Windows header, so the native build
// checks it under the sanitizers.
#include "proc.h"

#include <assert.h>
#include <string.h>

const char *const proc_program_names[PROC_PROGRAM_COUNT] = {
    "orv_agent.exe", "orv_restore.exe", "orv_maintenance.exe", "orv_updater.exe"};

void proc_output_init(proc_output *o, char *buf, size_t cap)
{
    assert(o && (buf || cap == 0));
    o->buf = buf;
    o->cap = cap;
    o->len = 0;
    o->full = 0;
    if (cap)
        buf[0] = '\0';
}

void proc_output_add(proc_output *o, const char *data, size_t n)
{
    if (o->cap == 0 || o->full || n == 0)
        return;
    size_t room = o->cap - 1 - o->len;
    if (n <= room) {
        memcpy(o->buf + o->len, data, n);
        o->len += n;
    } else {
        // Exactly the first cap - 1 bytes: the output is in whatever code
        // page the program writes (an OEM one for the system's tools, where
        // 0xE1 is a whole character), so no cut here may assume UTF-8.
        memcpy(o->buf + o->len, data, room);
        o->len += room;
        // Once bytes are lost nothing later may follow, or the text would
        // join pieces that were not written next to each other.
        o->full = 1;
    }
    o->buf[o->len] = '\0';
}

int proc_program_index(const char *image)
{
    if (!image)
        return -1;
    for (int i = 0; i < PROC_PROGRAM_COUNT; i++) {
        const char *a = image, *b = proc_program_names[i];
        while (*a && *b) {
            char ca = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
            if (ca != *b)
                break;
            a++;
            b++;
        }
        if (*a == '\0' && *b == '\0')
            return i;
    }
    return -1;
}

int proc_names_append(char *names, size_t cap, const char *name)
{
    if (!names || cap == 0 || !name)
        return 0;
    size_t have = strnlen(names, cap);
    size_t sep = have ? 2 : 0, n = strlen(name);
    // Room for a separator, the name and the NUL is always kept, whether
    // the separator is written or not.
    if (have + n + 3 >= cap)
        return 0;
    memcpy(names + have, ", ", sep);
    memcpy(names + have + sep, name, n + 1);
    return 1;
}
