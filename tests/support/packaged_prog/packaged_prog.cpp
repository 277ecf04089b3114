// A stand-in for one of the product's programs inside the install tests'
// packages. The tests copy this executable into a package and append a
// trailer that sets how that copy answers, so one build gives programs of
// any name, version and self-test result, each a single file:
//
//   "\n#ORV-PACKAGED#\n" then lines "key=value\n":
//     version=<text>        written (with a line end) for "--version"
//     selftest_exit=<n>     exit code of "--selftest" (default 0)
//     selftest_out=<text>   written for "--selftest"
//     selftest_sleep=<ms>   "--selftest" waits that long before it answers:
//                           a check that is still running
//     fail_live=1           "--selftest" passes only while the program runs
//                           from a staging directory (".staging-" in its path),
//                           so the check before the switch passes and the
//                           self-test of the live copy fails
//
// "--sleep <s>" waits s seconds and ends with 0: a product program that runs.
// Without a trailer "--version" writes "packaged" and everything ends with 0.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static const char kMarker[] = "\n#ORV-PACKAGED#\n";

// Writes text and a line end to standard output.
static void say(const std::string &text)
{
    std::string line = text + "\r\n";
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), (DWORD)line.size(), &n, nullptr);
}

// The value of key in the trailer; false when absent.
static bool trailer_value(const std::string &trailer, const std::string &key, std::string *out)
{
    size_t pos = 0;
    while (pos < trailer.size()) {
        size_t end = trailer.find('\n', pos);
        if (end == std::string::npos)
            end = trailer.size();
        std::string line = trailer.substr(pos, end - pos);
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            *out = line.substr(key.size() + 1);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

// This program's own file and its trailer ("" when it has none).
static std::string read_trailer(std::string *path)
{
    char buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf)
        return "";
    *path = buf;
    FILE *f = fopen(buf, "rb");
    if (!f)
        return "";
    std::string self;
    char piece[65536];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, f)) > 0)
        self.append(piece, got);
    fclose(f);
    size_t at = self.rfind(kMarker);
    return at == std::string::npos ? "" : self.substr(at + sizeof kMarker - 1);
}

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--sleep") == 0) {
        Sleep((DWORD)atoi(argv[2]) * 1000);
        return 0;
    }
    std::string path;
    std::string trailer = read_trailer(&path);
    std::string value;
    int rc = 0;
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        say(trailer_value(trailer, "version", &value) ? value : "packaged");
    } else if (argc >= 2 && strcmp(argv[1], "--selftest") == 0) {
        if (trailer_value(trailer, "selftest_sleep", &value))
            Sleep((DWORD)atoi(value.c_str()));
        if (trailer_value(trailer, "selftest_out", &value))
            say(value);
        if (trailer_value(trailer, "selftest_exit", &value))
            rc = atoi(value.c_str());
        if (trailer_value(trailer, "fail_live", &value) && value == "1" &&
            path.find(".staging-") == std::string::npos) {
            say("the live copy refuses its self-test");
            rc = 7;
        }
    }
    return rc;
}
