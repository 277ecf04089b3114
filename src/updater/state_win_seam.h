// The calls that put the state file on disk, as a table a test can change:
// no test can fill a disk at the moment the new state is flushed.
#pragma once
#include <stdio.h>

struct state_win_calls {
    // fflush of "state.tmp"
    int (*flush)(FILE *f);
};

// The calls the state writer makes; the real functions unless a test swapped some.
extern state_win_calls state_win;
// The real functions, for a test to restore or to call through.
extern const state_win_calls state_win_real;
