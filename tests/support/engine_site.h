// A signed update site and an installation for the install engine's tests:
// releases made of real tar+zstd packages that carry fake product programs
// (support/packaged_program.h), a component catalog signed with a key of the
// test's own on the tests' update server (support/update_server.h), the
// settings of a fresh installation, the engine's runs the way the setup calls
// them, and the log lines they write. A test that uses it includes
// "update_server.h" itself, so that ctest gives it the server. Windows tests
// only.
#pragma once
#include <stdint.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "packaged_program.h"
#include "install.h"
#include "test_package.h"

// One package of a release.
struct site_package {
    std::string component;  // component id
    std::string bytes;      // the package file as served
    std::string os = "windows";  // the "os" of its match object
};

// One release of the catalog.
struct site_release {
    std::string version;                // version text
    std::vector<site_package> packages; // one per component
    std::string notes;                  // "notes", none when empty
    int rollout = 100;                  // "rollout_percent", none when 100
};

// What one engine run gave.
struct site_result {
    int rc = -1;                     // the run's result
    std::string err;                 // its sentence
    std::vector<std::string> steps;  // "text index/count" of every step callback
    std::vector<std::pair<uint64_t, uint64_t>> bytes;  // every byte callback (done, total)
    // Steps and bytes in the one order the run made them: "step TEXT i/n", and
    // "bytes TOTAL" for each run of byte callbacks of one package.
    std::vector<std::string> events;
    bool bytes_grow = true;  // within each such run, done grew and stayed within total
};

// The log lines written while it lives: (level, text).
struct site_log {
    std::vector<std::pair<int, std::string>> lines;
    site_log();
    ~site_log();
    site_log(const site_log &) = delete;
    site_log &operator=(const site_log &) = delete;
    // 1 when a line of level has exactly this text.
    bool has(int level, const std::string &text) const;
};

struct engine_site {
    uint8_t priv[32];                    // the catalog's signing key
    std::string dir;                     // this test's directory on the server
    std::string root;                    // this test's local directory
    updater_config cfg;                  // url, channel "alpha", key, state and install dirs
    host_facts hf;                       // this computer
    std::vector<site_release> releases;  // published by publish()
    // Optional components of the catalog after core, agent and restore:
    // (id, title).
    std::vector<std::pair<std::string, std::string>> more_components;
    int64_t sequence = 0;                // of the last published catalog
    std::map<std::string, std::string> listed_urls;  // version -> the URL the manifest lists
                                                      // for its package, in place of its path

    // A site below srv_case(""), an installation below a new temporary
    // directory named after tag: install_dir root\inst, state_dir root\state.
    explicit engine_site(const char *tag);
    // Points the installation at root\<name>\inst and root\<name>\state.
    void use_installation(const std::string &name);

    // The program "bin/<name>.exe" of a package: it reports "<name> <version>"
    // and passes its self-test unless a says otherwise (a.version empty: the
    // right version).
    static test_tar_item program(const std::string &name, const std::string &version,
                                 program_answers a = {});
    // A component package of version: "bin/", the program "<component>_tool"
    // answering as a says, and a read-me that every standard package shares;
    // then extra items.
    static std::string standard_package(const std::string &version, const std::string &component,
                                        program_answers a = {},
                                        std::vector<test_tar_item> extra = {});
    // A release of standard packages of the given components.
    static site_release standard_release(const std::string &version,
                                         const std::vector<std::string> &components);
    // The server path of a release's package: "alpha/pkgs/<component>-<version>.pkg".
    std::string package_path(const std::string &version, const std::string &component) const;
    // Serves the packages of every release and a new catalog of them,
    // signed; the components are core (required), agent (default), restore
    // and more_components.
    void publish();
    // A whole-release package of version (no component): "bin/", the
    // programs core_tool and agent_tool (agent_tool answering as a says) and
    // the read-me; then extra items.
    static std::string release_package(const std::string &version, program_answers a = {},
                                       std::vector<test_tar_item> extra = {});
    // A release of one such package.
    static site_release whole_release(const std::string &version);
    // The server path of a whole release's package: "alpha/pkgs/release-<version>.pkg".
    std::string release_path(const std::string &version) const;
    // Serves the first package of every release as its whole-release
    // package and a new manifest.json of them, signed, with the blocked
    // versions; pad makes the document that many bytes longer.
    void publish_manifest(const std::vector<std::string> &blocked = {}, size_t pad = 0);
    // update_run with o as the options.
    site_result update(const update_options &o);
    // update_rollback.
    site_result rollback();
    // The version every program in bin answers to "--version" ("name
    // version" lines), or "mixed: ..." when they differ, "" for an empty bin.
    // With programs (file names, sorted), bin must hold exactly these .exe
    // files, or the answer is "bin holds: ..." with what it holds.
    std::string live_version(const std::vector<std::string> &programs = {}) const;

    // Makes the server answer 404 for a package_path (on) or serve it again.
    // A fault, since the server's documents outlive a ctest run.
    void refuse(const std::string &path, bool on);

    // install_run of the catalog's release version for ids, as the setup
    // calls it (the catalog loaded first), with force and the component list.
    site_result install(const std::string &version, const std::vector<std::string> &ids,
                        uint32_t force = 1, const char *list = nullptr);
    // install_run of a request whose artifacts the caller made.
    site_result install_request_of(const std::string &version,
                                   const std::vector<const manifest_artifact *> &arts,
                                   uint32_t force = 1);

    // The state file as read now.
    updater_state state() const;
    // Writes st as the state file.
    void set_state(const updater_state &st) const;
    // The names in dir (files and directories, not "." and ".."), sorted;
    // empty when dir is missing.
    static std::vector<std::string> names(const std::string &dir);
    // The live programs' directory, a version directory and the downloads.
    std::string bin() const;
    std::string version_dir(const std::string &v) const;
    std::string downloads() const;
    // The number of requests the server saw for a package_path.
    size_t requests(const std::string &path) const;
    // The options of a silent orv_setup.exe run on this site: "--silent", its
    // URL, the server's certificate as the CA file, its key, root as the test
    // root and the installation's directories.
    std::vector<std::string> setup_options(const std::string &root) const;
    // Points the site at the installation name (use_installation) and gives
    // the options of its runs, whose test root is root\<name>\root.
    std::vector<std::string> setup_installation(const std::string &name);
    // opts (of a setup run) with an update URL where nothing answers.
    static std::vector<std::string> offline(std::vector<std::string> opts);
    // Copies the installation from, test root included, to the installation
    // to (a new name) and gives setup_installation(to).
    std::vector<std::string> setup_copy(const std::string &from, const std::string &to);
    // Leaves the installation as a run ended inside its switch to version
    // leaves it: the first of programs (names without ".exe") moved aside in
    // bin and its copy of version put in its place, or, with tested, each of
    // them and the journal's word that they passed. The journal names the
    // installed version as the previous one and components as the list.
    void leave_a_switch(const std::string &version, const std::vector<std::string> &programs,
                        const std::string &components, bool tested) const;
    // true when a process holds the installation's updater.lock.
    bool lock_held() const;
};

// 1 when anything stands at path.
bool site_exists(const std::string &path);

// The scheduler service and the running-programs query as the engine's seam
// sees them: Wine has no scheduler service to report a job, to stop or to
// refuse a stop.
struct site_sched {
    int busy = 0;                // result of the query (a sentence goes with -1)
    unsigned long pid = 0;       // process id the query reports
    int stop = 0;                // result of a stop (a sentence goes with -1)
    int stops = 0;               // stops asked for
    int starts = 0;              // starts asked for
    bool live_at_start = false;  // a program stood in bin when the service was started
    int running = 0;             // > 0: the running-programs query answers this and
                                 // "orv_agent.exe"; else the real query answers
    std::string bin;             // the live directory looked at by a start
};
extern site_sched sched;
// Points the scheduler and running-programs calls of install_win at the fake
// with fresh answers and bin as the live directory; a test keeps a
// seam_guard on install_win to put the real calls back.
void site_fake_scheduler(const std::string &bin);
