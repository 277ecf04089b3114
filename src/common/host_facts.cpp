// The pure half of the host facts: the os-release reader and the choice of
// the architecture text from what Windows reports.
#include "host_facts.h"

#include <string.h>

// Windows' numbers, spelled out here so this unit needs no Windows header.
enum {
    MACHINE_I386 = 0x014C,   // IMAGE_FILE_MACHINE_I386
    MACHINE_AMD64 = 0x8664,  // IMAGE_FILE_MACHINE_AMD64
    MACHINE_ARM64 = 0xAA64,  // IMAGE_FILE_MACHINE_ARM64
    ARCH_AMD64 = 9,          // PROCESSOR_ARCHITECTURE_AMD64
    ARCH_ARM64 = 12          // PROCESSOR_ARCHITECTURE_ARM64
};

// os-release lines of this length or more (without the line feed) are skipped.
enum { OS_RELEASE_LINE_MAX = 512 };

const char *host_facts_arch(int have_machine, unsigned machine, unsigned processor_architecture)
{
    // An x64 program emulated on arm64 Windows is told by GetNativeSystemInfo
    // that the machine is x64; only the native machine type says arm64.
    if (have_machine) {
        if (machine == MACHINE_AMD64)
            return "x86_64";
        if (machine == MACHINE_ARM64)
            return "arm64";
        if (machine == MACHINE_I386)
            return "x86";
    }
    if (processor_architecture == ARCH_AMD64)
        return "x86_64";
    if (processor_architecture == ARCH_ARM64)
        return "arm64";
    return "x86";
}

// Copies n bytes of value into a field of size bytes, cut to size - 1.
static void set_field(char *field, size_t size, const char *value, size_t n)
{
    if (n > size - 1)
        n = size - 1;
    memcpy(field, value, n);
    field[n] = '\0';
}

// Applies one line (without its line feed) of len bytes to hf.
static void os_release_line(const char *line, size_t len, host_facts *hf)
{
    if (len == 0 || line[0] == '#')
        return;
    const char *eq = (const char *)memchr(line, '=', len);
    if (!eq)
        return;
    size_t klen = (size_t)(eq - line);
    const char *v = eq + 1;
    size_t vlen = len - klen - 1;
    if (vlen >= 2 && (v[0] == '"' || v[0] == '\'') && v[vlen - 1] == v[0]) {
        v++;
        vlen -= 2;
    }
    if (klen == 2 && memcmp(line, "ID", 2) == 0)
        set_field(hf->id, sizeof hf->id, v, vlen);
    else if (klen == 7 && memcmp(line, "ID_LIKE", 7) == 0)
        set_field(hf->id_like, sizeof hf->id_like, v, vlen);
    else if (klen == 10 && memcmp(line, "VERSION_ID", 10) == 0)
        set_field(hf->version_id, sizeof hf->version_id, v, vlen);
}

int host_facts_parse_os_release(const char *text, host_facts *hf)
{
    hf->id[0] = '\0';
    hf->id_like[0] = '\0';
    hf->version_id[0] = '\0';
    if (!text || !text[0])
        return -1;
    for (const char *p = text; *p;) {
        const char *nl = strchr(p, '\n');
        size_t len = nl ? (size_t)(nl - p) : strlen(p);
        if (len < OS_RELEASE_LINE_MAX)
            os_release_line(p, len, hf);
        if (!nl)
            break;
        p = nl + 1;
    }
    return hf->id[0] ? 0 : -1;
}
