/* The benchmark's file writes under Wine: writes FILES files of MIB MiB each
   into DIR, each from a thread of its own and all at once, in pieces of
   PIECE KiB, so its time is what Wine's WriteFile costs for the bytes an
   install unpacks; with "flush" each file is also flushed to the disk
   (FlushFileBuffers) before it is closed, as an install must.

     write_speed.exe DIR MIB PIECE FILES [flush] */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct job {
    char path[1024];
    unsigned long long bytes;
    DWORD piece;
    int flush;
    int rc;
};

static DWORD WINAPI write_one(void *arg)
{
    struct job *j = arg;
    char *buf = malloc(j->piece);
    HANDLE f = CreateFileA(j->path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    j->rc = 1;
    if (!buf || f == INVALID_HANDLE_VALUE)
        goto out;
    memset(buf, 0x5a, j->piece);
    for (unsigned long long left = j->bytes; left > 0;) {
        DWORD n = left < j->piece ? (DWORD)left : j->piece, put = 0;
        if (!WriteFile(f, buf, n, &put, NULL) || put != n)
            goto out;
        left -= n;
    }
    if (j->flush && !FlushFileBuffers(f))
        goto out;
    j->rc = 0;
out:
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    free(buf);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6)
        return 2;
    int files = atoi(argv[4]);
    if (files < 1 || files > 64)
        return 2;
    struct job jobs[64];
    HANDLE threads[64];
    for (int i = 0; i < files; i++) {
        snprintf(jobs[i].path, sizeof jobs[i].path, "%s\\file%d.bin", argv[1], i);
        jobs[i].bytes = (unsigned long long)atoi(argv[2]) << 20;
        jobs[i].piece = (DWORD)atoi(argv[3]) << 10;
        jobs[i].flush = argc == 6 && strcmp(argv[5], "flush") == 0;
        threads[i] = CreateThread(NULL, 0, write_one, &jobs[i], 0, NULL);
        if (!threads[i])
            return 1;
    }
    WaitForMultipleObjects((DWORD)files, threads, TRUE, INFINITE);
    for (int i = 0; i < files; i++)
        if (jobs[i].rc != 0) {
            fprintf(stderr, "cannot write %s\n", jobs[i].path);
            return 1;
        }
    return 0;
}
