// The calls that put a download on disk, as a table a test can change: no
// test can fill a disk at the moment a download's last bytes are flushed.
#pragma once
#include <stdio.h>

struct download_win_calls {
    // fflush of the ".part" stream
    int (*flush)(FILE *f);
    // _commit of its descriptor: the bytes reach the disk before the move
    int (*commit)(int fd);
};

// The calls the download makes; the real functions unless a test swapped some.
extern download_win_calls download_win;
// The real functions, for a test to restore or to call through.
extern const download_win_calls download_win_real;
