// Connecting to the update server with the real state file, catalog fetch
// and clock.
#include "setup_connect.h"

#include "sys_clock.h"

static const setup_connect_sys connect_sys = {state_read, catalog_load, sys_time_now};

int setup_connect(setup_context *ctx, char *err, size_t errlen)
{
    return setup_connect_with(ctx, &connect_sys, err, errlen);
}

int setup_load_catalog(setup_context *ctx, char *err, size_t errlen)
{
    return setup_load_catalog_with(ctx, &connect_sys, err, errlen);
}
