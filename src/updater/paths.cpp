// The data directory of the product, worked out once per process.
#include "paths.h"

#include <stdio.h>
#include <stdlib.h>

const char *paths_data_dir(void)
{
    // Filled on the main thread at start-up, before any worker exists; only
    // read afterwards, so a later change of ProgramData is not seen.
    static char dir[400];
    if (!dir[0]) {
        const char *base = getenv("ProgramData");
        snprintf(dir, sizeof dir, "%s\\orvantis", base && base[0] ? base : "C:\\ProgramData");
    }
    return dir;
}
