// The setup context's defaults and option parsing with the runtime's absolute
// paths and this computer's host facts.
#include <stdlib.h>

#include "host_facts.h"
#include "setup_options.h"

// _fullpath into out: 0, or -1 when the runtime cannot make the path absolute.
static int runtime_fullpath(const char *path, char *out, size_t size)
{
    return _fullpath(out, path, size) ? 0 : -1;
}

void setup_options_defaults(setup_context *ctx)
{
    setup_options_base_defaults(ctx);
    host_facts_detect(&ctx->host_facts);
}

int setup_parse_options(setup_context *ctx, int argc, char **argv, char *err, size_t errlen)
{
    return setup_parse_options_with(ctx, argc, argv, runtime_fullpath, err, errlen);
}

int setup_read_answers(setup_context *ctx, const char *path, char *err, size_t errlen)
{
    return setup_read_answers_with(ctx, path, runtime_fullpath, err, errlen);
}
