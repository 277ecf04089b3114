// The installation directory of the switch's tests, and the fake file calls.
#include "install_fixture.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "run_win.h"
#include "test_util.h"
#include "versions_win_seam.h"

install::install(const char *tag) : dir(test_temp_dir(tag))
{
    memset(&cfg, 0, sizeof cfg);
    snprintf(cfg.install_dir, sizeof cfg.install_dir, "%s", dir.c_str());
    snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s\\state", dir.c_str());
}

bool exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_dirs(const std::string &dir)
{
    for (size_t i = 3; i <= dir.size(); i++)
        if (i == dir.size() || dir[i] == '\\')
            CreateDirectoryA(dir.substr(0, i).c_str(), nullptr);
}

void write_files(const std::string &dir, const file_map &files)
{
    make_dirs(dir);
    for (auto &f : files)
        EXPECT_TRUE(test_write_file(dir + "\\" + f.first, f.second)) << f.first;
}

file_map snapshot(const std::string &dir)
{
    file_map m;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return m;
    do {
        std::string n = fd.cFileName;
        if (n == "." || n == "..")
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            m[n + "/"] = "";
        else
            m[n] = test_read_file(dir + "\\" + n);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return m;
}

std::vector<std::string> names_with(const file_map &files, const std::string &prefix)
{
    std::vector<std::string> out;
    for (auto &f : files)
        if (f.first.compare(0, prefix.size(), prefix) == 0)
            out.push_back(f.first);
    return out;
}

file_map without(file_map files, const std::string &part)
{
    for (auto it = files.begin(); it != files.end();)
        it = it->first.find(part) != std::string::npos ? files.erase(it) : std::next(it);
    return files;
}

std::string pid_text() { return std::to_string(GetCurrentProcessId()); }

std::string fake_program(const std::string &version)
{
    static const std::string fake = test_read_file(test_fake_prog());
    EXPECT_FALSE(fake.empty()) << "the fake program " << test_fake_prog();
    return fake + "\ntrailer " + version;
}

fake_rules rules;

namespace {

bool ends_with(const char *s, const std::string &tail)
{
    size_t n = strlen(s);
    return !tail.empty() && n >= tail.size() && strcmp(s + n - tail.size(), tail.c_str()) == 0;
}

BOOL WINAPI fake_copy(LPCSTR from, LPCSTR to, BOOL fail_if_exists)
{
    rules.copies++;
    const char *slash = strrchr(from, '\\');
    rules.copied_last = slash ? slash + 1 : from;
    if (ends_with(from, rules.copy_fail_name) || rules.copies == rules.copy_fail_call) {
        SetLastError(rules.copy_error);
        return FALSE;
    }
    return versions_win_real.copy_file(from, to, fail_if_exists);
}

BOOL WINAPI fake_move(LPCSTR from, LPCSTR to, DWORD flags)
{
    bool match = (!rules.move_fail_from.empty() || !rules.move_fail_to.empty()) &&
                 (rules.move_fail_from.empty() || ends_with(from, rules.move_fail_from)) &&
                 (rules.move_fail_to.empty() || ends_with(to, rules.move_fail_to));
    if (match && (rules.move_fail_times < 0 || rules.moves_failed < rules.move_fail_times)) {
        rules.moves_failed++;
        SetLastError(rules.move_error);
        return FALSE;
    }
    return versions_win_real.move_file(from, to, flags);
}

BOOL WINAPI fake_delete(LPCSTR path)
{
    if (ends_with(path, rules.delete_refused)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return versions_win_real.delete_file(path);
}

void WINAPI fake_sleep(DWORD ms)
{
    rules.sleeps++;
    rules.slept_ms += ms;
}

}  // namespace

void use_fakes()
{
    rules = fake_rules();
    versions_win.copy_file = fake_copy;
    versions_win.move_file = fake_move;
    versions_win.delete_file = fake_delete;
    versions_win.sleep = fake_sleep;
}
