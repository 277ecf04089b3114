// An installation directory for the tests of the version directories and the
// switch: its settings, files written and read back as name-to-bytes maps,
// and fake Windows file calls put into the switch's seam to make a move, a
// copy or a delete fail on purpose. Windows tests only.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "updconf.h"

typedef std::map<std::string, std::string> file_map;  // name -> bytes

// An installation directory of a test's own, with its settings.
struct install {
    std::string dir;     // the installation directory (a new temporary one)
    updater_config cfg;  // install_dir = dir, state_dir = dir\state, the rest empty
    explicit install(const char *tag);
    std::string bin() const { return dir + "\\bin"; }
    std::string version_bin(const std::string &v) const
    {
        return dir + "\\versions\\" + v + "\\bin";
    }
};

// 1 when anything stands at path.
bool exists(const std::string &path);
// Makes dir and its parents.
void make_dirs(const std::string &dir);
// Writes every file of files into dir (made with its parents).
void write_files(const std::string &dir, const file_map &files);
// Every file directly in dir with its bytes; directories as "<name>/".
file_map snapshot(const std::string &dir);
// The names in files that begin with prefix.
std::vector<std::string> names_with(const file_map &files, const std::string &prefix);
// files without the names that contain part.
file_map without(file_map files, const std::string &part);
// This process's id as decimal text, as moved-aside names hold it.
std::string pid_text();
// The bytes of the tests' fake program with a trailer naming version, so that
// the copies of two versions differ byte for byte (a program runs with data
// appended to its file).
std::string fake_program(const std::string &version);

// What the fake file calls do; use_fakes() resets it.
struct fake_rules {
    std::string copy_fail_name;  // CopyFileA of a source ending in this name fails...
    int copy_fail_call;          // ...or the copy with this number (from 1)...
    unsigned long copy_error;    // ...with this error
    int copies;                  // copies asked for so far
    std::string copied_last;     // the name of the last source asked for
    std::string move_fail_from;  // MoveFileExA from a path ending in this ("" any)...
    std::string move_fail_to;    // ...to a path ending in this ("" any) fails...
    unsigned long move_error;    // ...with this error...
    int move_fail_times;         // ...this many times (-1 always)
    int moves_failed;            // failures so far
    std::string delete_refused;  // DeleteFileA of a path ending in this fails with 5
    int sleeps;                  // calls of Sleep
    unsigned long slept_ms;      // their total
};
extern fake_rules rules;

// Points the switch's seam (versions_win) at the fakes, with fresh rules;
// keep a seam_guard on versions_win to put the real calls back.
void use_fakes();
