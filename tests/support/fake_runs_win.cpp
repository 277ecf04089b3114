// Where the fake program goes, and the runs it logged.
#include "fake_runs.h"

#include <windows.h>

#include "test_util.h"

std::string test_own_dir()
{
    char p[MAX_PATH];
    GetModuleFileNameA(nullptr, p, sizeof p);
    std::string s = p;
    return s.substr(0, s.find_last_of('\\'));
}

bool test_path_exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> test_fake_runs(const std::string &log)
{
    // One argument per line, an empty line after each run.
    std::vector<std::string> out;
    std::string all = test_read_file(log), cur;
    size_t at = 0, nl;
    while ((nl = all.find('\n', at)) != std::string::npos) {
        std::string line = all.substr(at, nl - at);
        at = nl + 1;
        if (line.empty()) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += (cur.empty() ? "" : "|") + line;
        }
    }
    return out;
}
