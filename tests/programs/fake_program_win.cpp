// A stand-in for one of the product's programs, for the install tests. The
// tests copy this executable into their packages and append a trailer that
// says how the copy behaves, so one build gives programs of any name, version
// and self-test result:
//
//   "\n#ORV-FAKE#\n" then lines "key=value\n":
//     version=<text>        printed (with a line end) for "--version"
//     selftest_exit=<n>     exit code of "--selftest" (default 0)
//     selftest_out=<text>   printed for "--selftest"
//     fail_live=1           "--selftest" passes only while the program runs
//                           from a staging directory (".staging-" in its path)
//
// "--sleep <s>" waits s seconds and ends with 0: a product program that runs.
// Without a trailer "--version" prints "fake" and everything ends with 0.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

namespace {

const char kMarker[] = "\n#ORV-FAKE#\n";

// The value of key in the trailer, copied into out; false when absent.
bool trailer_value(const char *trailer, const char *key, char *out, size_t size)
{
    size_t klen = strlen(key);
    for (const char *p = trailer; p && *p;) {
        const char *end = strchr(p, '\n');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        if (len > klen && strncmp(p, key, klen) == 0 && p[klen] == '=') {
            size_t n = len - klen - 1;
            if (n >= size)
                n = size - 1;
            memcpy(out, p + klen + 1, n);
            out[n] = '\0';
            return true;
        }
        p = end ? end + 1 : nullptr;
    }
    return false;
}

// This program's own file, read whole into a heap text (NUL added), or null.
char *read_self(char *path, DWORD path_size, size_t *len)
{
    DWORD n = GetModuleFileNameA(nullptr, path, path_size);
    if (n == 0 || n >= path_size)
        return nullptr;
    FILE *f = fopen(path, "rb");
    if (!f)
        return nullptr;
    char *buf = nullptr;
    if (fseek(f, 0, SEEK_END) == 0) {
        long size = ftell(f);
        if (size > 0 && fseek(f, 0, SEEK_SET) == 0 && (buf = (char *)malloc((size_t)size + 1))) {
            *len = fread(buf, 1, (size_t)size, f);
            buf[*len] = '\0';
        }
    }
    fclose(f);
    return buf;
}

// The trailer's text inside the file, or "" when it has none.
const char *find_trailer(const char *self, size_t len)
{
    size_t mlen = sizeof kMarker - 1;
    for (size_t i = len >= mlen ? len - mlen + 1 : 0; i-- > 0;)
        if (memcmp(self + i, kMarker, mlen) == 0)
            return self + i + mlen;
    return "";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--sleep") == 0) {
        Sleep((DWORD)atoi(argv[2]) * 1000);
        return 0;
    }
    char path[MAX_PATH * 2];
    size_t len = 0;
    char *self = read_self(path, sizeof path, &len);
    const char *trailer = self ? find_trailer(self, len) : "";
    char value[512];
    int rc = 0;
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s\n", trailer_value(trailer, "version", value, sizeof value) ? value : "fake");
    } else if (argc >= 2 && strcmp(argv[1], "--selftest") == 0) {
        if (trailer_value(trailer, "selftest_out", value, sizeof value))
            printf("%s\n", value);
        if (trailer_value(trailer, "selftest_exit", value, sizeof value))
            rc = atoi(value);
        if (trailer_value(trailer, "fail_live", value, sizeof value) && strcmp(value, "1") == 0 &&
            !strstr(path, ".staging-")) {
            printf("the live copy refuses its self-test\n");
            rc = 7;
        }
    }
    fflush(stdout);
    free(self);
    return rc;
}
