// Reading the agent's answer to "--version" for the adoption.
#include "lock.h"

#include <string.h>

#include "update.h"

int agent_version_scan(const char *text, char version[LOCK_VERSION_MAX])
{
    return update_sscanf(text, "orv_agent %63s", version);
}

// 1 when the n bytes at p are all decimal digits (and n is not 0).
static int all_digits(const char *p, size_t n)
{
    if (n == 0)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (p[i] < '0' || p[i] > '9')
            return 0;
    return 1;
}

int staging_name_pid(const char *name, unsigned long *pid)
{
    static const char prefix[] = ".staging-";
    if (strncmp(name, prefix, sizeof prefix - 1) != 0)
        return 0;
    // The version may hold "-" itself ("2.0.0-alpha.027"): the id is after the last one.
    const char *dash = strrchr(name + sizeof prefix - 1, '-');
    if (!dash || dash == name + sizeof prefix - 1)
        return 0;
    const char *digits = dash + 1;
    size_t n = strcspn(digits, ".");
    if (!all_digits(digits, n) || n > 10)
        return 0;
    const char *rest = digits + n;
    if (*rest && (rest[1] != 'p' || !all_digits(rest + 2, strlen(rest + 2))))
        return 0;
    unsigned long long v = 0;
    for (size_t i = 0; i < n; i++)
        v = v * 10 + (unsigned)(digits[i] - '0');
    if (v > 0xFFFFFFFFull)
        return 0;
    *pid = (unsigned long)v;
    return 1;
}
