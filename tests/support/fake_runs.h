// What the tests need around the fake program standing in for system tools
// (see fake_prog/fake_prog.cpp): where to put it so that a bare program name
// finds it, and the runs its "log:" action wrote.
#pragma once
#include <string>
#include <vector>

// The directory of the running test program, where CreateProcess looks first
// for a bare program name such as "netsh" or "schtasks.exe".
std::string test_own_dir();
// 1 when something (file or directory) is at path.
bool test_path_exists(const std::string &path);
// The runs that "log:" actions appended to the file log, oldest first: each
// run's arguments joined by "|".
std::vector<std::string> test_fake_runs(const std::string &log);
