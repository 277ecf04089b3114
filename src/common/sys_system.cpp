// The pure rules of the system facts: names, trimming, prefixes and the
// counter arithmetic. No Windows header.
#include "sys_system.h"

#include <assert.h>
#include <string.h>

const char *sys_os_name(uint32_t major, uint32_t minor, uint32_t build, uint32_t product_type)
{
    if (major != 10 || minor != 0)
        return "Windows";
    int workstation = product_type == 1;
    if (build >= 22000)
        return workstation ? "Windows 11" : "Windows Server 2022+";
    if (workstation)
        return "Windows 10";
    return build >= 20348 ? "Windows Server 2022+" : "Windows Server";
}

static int is_separator(char c) { return c == '\\' || c == '/'; }

void sys_trim_separators(char *text)
{
    size_t len = strlen(text);
    if (len < 4)
        return;
    // The third character is the root's backslash of "C:\": it stays.
    while (len > 3 && is_separator(text[len - 1]))
        text[--len] = '\0';
}

int sys_network_prefix(const char *path, int *flag)
{
    *flag = 0;
    if (!is_separator(path[0]) || !is_separator(path[1]))
        return 0;
    if (path[2] != '?' && path[2] != '.') {
        *flag = 1;
        return 1;
    }
    // "\\?\UNC\server\share": the fifth to seventh characters. A path that
    // ends before the fifth has nothing there to look at.
    if (path[3] != '\0' && strncmp(path + 4, "UNC", 3) == 0) {
        *flag = 1;
        return 1;
    }
    return 0;
}

int64_t sys_counter_to_us(int64_t count, int64_t frequency)
{
    assert(frequency > 0);
    // Whole seconds first, then the rest: count * 1000000 alone would leave
    // 64 bits after a few days at a 10 MHz counter.
    int64_t whole = count / frequency;
    uint64_t rest = (uint64_t)(count % frequency);
    return whole * 1000000 + (int64_t)((rest * 1000000u) / (uint64_t)frequency);
}
