// The install engine's test site: packages, a signed catalog, an installation
// and the engine's runs.
#include "engine_site.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>
#include <windows.h>

#include "catalog.h"
#include "codec.h"
#include "ed25519.h"
#include "install_win_seam.h"
#include "log.h"
#include "proc.h"
#include "sha256.h"
#include "signed.h"
#include "state.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// "YYYY-MM-DDTHH:MM:SSZ" of t (after 1970).
std::string iso(int64_t t)
{
    int64_t year;
    int month, day;
    time_civil_from_days(t / 86400, &year, &month, &day);
    int64_t s = t % 86400;
    char buf[40];
    snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02lld:%02lld:%02lldZ", (long long)year, month,
             day, (long long)(s / 3600), (long long)(s / 60 % 60), (long long)(s % 60));
    return buf;
}

std::string sha_hex(const std::string &bytes)
{
    uint8_t d[32];
    sha256_buffer(bytes.data(), bytes.size(), d);
    return test_hex(d, 32);
}

void record_log(int level, const char *text, void *user)
{
    ((site_log *)user)->lines.push_back({level, text});
}

int record_step(void *user, const char *step, uint64_t index, uint64_t count)
{
    site_result *r = (site_result *)user;
    r->steps.push_back(std::string(step) + " " + std::to_string(index) + "/" +
                       std::to_string(count));
    r->events.push_back("step " + r->steps.back());
    return 0;
}

void record_bytes(void *user, uint64_t done, uint64_t total)
{
    site_result *r = (site_result *)user;
    bool same_run = !r->events.empty() && !r->bytes.empty() &&
                    r->events.back() == "bytes " + std::to_string(r->bytes.back().second) &&
                    r->bytes.back().second == total;
    if (done > total || (same_run && done < r->bytes.back().first))
        r->bytes_grow = false;
    if (!same_run)
        r->events.push_back("bytes " + std::to_string(total));
    r->bytes.push_back({done, total});
}

// Serves doc at path and its signature, made with priv for a catalog or a
// manifest, at path + ".sig".
void put_signed(const uint8_t priv[32], const std::string &path, const std::string &doc,
                bool catalog)
{
    uint8_t sig[64];
    int signed_ok = catalog ? catalog_sign(priv, doc.data(), doc.size(), sig)
                            : manifest_sign(priv, doc.data(), doc.size(), sig);
    ASSERT_EQ(signed_ok, 0);
    char text[100];
    b64_encode(sig, 64, text, sizeof text);
    srv_put(path, doc);
    srv_put(path + ".sig", std::string(text) + "\n");
}

} // namespace

site_log::site_log()
{
    log_init("install_test", LOG_INFO);
    log_set_callback(record_log, this);
}

site_log::~site_log() { log_set_callback(nullptr, nullptr); }

bool site_log::has(int level, const std::string &text) const
{
    return std::find(lines.begin(), lines.end(), std::make_pair(level, text)) != lines.end();
}

engine_site::engine_site(const char *tag)
{
    EXPECT_TRUE(srv_ready());
    uint8_t pub[32];
    EXPECT_EQ(ed25519_keygen(priv, pub), 0);
    dir = srv_case("");
    root = test_temp_dir(tag);
    memset(&cfg, 0, sizeof cfg);
    snprintf(cfg.url, sizeof cfg.url, "%s", srv_url("ca", dir).c_str());
    snprintf(cfg.channel, sizeof cfg.channel, "alpha");
    cfg.timeout = 10;
    memcpy(cfg.public_keys[0], pub, 32);
    cfg.key_count = 1;
    use_installation("");
    host_facts_detect(&hf);
}

void engine_site::use_installation(const std::string &name)
{
    std::string base = name.empty() ? root : root + "\\" + name;
    snprintf(cfg.install_dir, sizeof cfg.install_dir, "%s\\inst", base.c_str());
    snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s\\state", base.c_str());
}

test_tar_item engine_site::program(const std::string &name, const std::string &version,
                                   program_answers a)
{
    if (a.version.empty())
        a.version = name + " " + version;
    return {"bin/" + name + ".exe", packaged_program(a), '0', 0755};
}

std::string engine_site::standard_package(const std::string &version,
                                          const std::string &component, program_answers a,
                                          std::vector<test_tar_item> extra)
{
    std::vector<test_tar_item> items = {{"bin", "", '5', 0755},
                                        program(component + "_tool", version, a),
                                        {"README.txt", "orvantis programs\r\n", '0', 0644}};
    items.insert(items.end(), extra.begin(), extra.end());
    return test_package(version, component, items);
}

site_release engine_site::standard_release(const std::string &version,
                                           const std::vector<std::string> &components)
{
    site_release r;
    r.version = version;
    for (auto &c : components)
        r.packages.push_back({c, standard_package(version, c)});
    return r;
}

std::string engine_site::package_path(const std::string &version,
                                      const std::string &component) const
{
    return "alpha/pkgs/" + component + "-" + version + ".pkg";
}

std::string engine_site::release_package(const std::string &version, program_answers a,
                                         std::vector<test_tar_item> extra)
{
    std::vector<test_tar_item> items = {{"bin", "", '5', 0755},
                                        program("core_tool", version),
                                        program("agent_tool", version, a),
                                        {"README.txt", "orvantis programs\r\n", '0', 0644}};
    items.insert(items.end(), extra.begin(), extra.end());
    return test_package(version, "", items);
}

site_release engine_site::whole_release(const std::string &version)
{
    site_release r;
    r.version = version;
    r.packages.push_back({"", release_package(version)});
    return r;
}

std::string engine_site::release_path(const std::string &version) const
{
    return "alpha/pkgs/release-" + version + ".pkg";
}

void engine_site::publish_manifest(const std::vector<std::string> &blocked, size_t pad)
{
    int64_t now = (int64_t)time(nullptr);
    std::string rels;
    for (auto &r : releases) {
        const site_package &p = r.packages.at(0);
        srv_put(dir + release_path(r.version), p.bytes);
        auto listed = listed_urls.find(r.version);
        std::string url =
            listed != listed_urls.end() ? listed->second : "pkgs/release-" + r.version + ".pkg";
        rels += std::string(rels.empty() ? "" : ", ") + "{\"version\": \"" + r.version + "\"" +
                (r.notes.empty() ? "" : ", \"notes\": \"" + r.notes + "\"") +
                (r.rollout == 100 ? ""
                                  : ", \"rollout_percent\": " + std::to_string(r.rollout)) +
                ", \"artifacts\": [{\"url\": \"" + url + "\", \"sha256\": \"" +
                sha_hex(p.bytes) + "\", \"size\": " + std::to_string(p.bytes.size()) +
                ", \"match\": {\"os\": \"" + p.os + "\"}}]}";
    }
    std::string block;
    for (auto &b : blocked)
        block += std::string(block.empty() ? "" : ", ") + "\"" + b + "\"";
    std::string doc =
        "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": " +
        std::to_string(++sequence) + ", \"issued\": \"" + iso(now - 60) + "\", \"expires\": \"" +
        iso(now + 86400) + "\", \"blocked_versions\": [" + block + "], \"releases\": [" + rels +
        "]}" + std::string(pad, ' ');
    put_signed(priv, dir + "alpha/manifest.json", doc, false);
}

site_result engine_site::update(const update_options &o)
{
    site_result r;
    char err[600] = "";
    r.rc = update_run(&cfg, &o, &hf, err, sizeof err);
    r.err = err;
    return r;
}

site_result engine_site::rollback()
{
    site_result r;
    char err[600] = "";
    r.rc = update_rollback(&cfg, err, sizeof err);
    r.err = err;
    return r;
}

std::string engine_site::live_version(const std::vector<std::string> &programs) const
{
    if (!programs.empty()) {
        std::vector<std::string> exes;
        std::string held = "bin holds:";
        for (auto &name : names(bin())) {
            held += " " + name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0)
                exes.push_back(name);
        }
        if (exes != programs)
            return held;
    }
    std::string seen, all;
    bool mixed = false;
    for (auto &name : names(bin())) {
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".exe") != 0)
            continue;
        std::string path = bin() + "\\" + name;
        const char *argv[] = {path.c_str(), "--version", nullptr};
        char out[256] = "";
        proc_result res;
        std::string v = "(no answer)";
        if (proc_run(argv, nullptr, 30, out, sizeof out, &res) == 0 && res.exit_code == 0) {
            std::string line(out);
            line = line.substr(0, line.find_first_of("\r\n"));
            size_t blank = line.find(' ');
            v = blank == std::string::npos ? line : line.substr(blank + 1);
        }
        all += (all.empty() ? "" : ", ") + name + " " + v;
        if (!seen.empty() && v != seen)
            mixed = true;
        seen = v;
    }
    return mixed ? "mixed: " + all : seen;
}

void engine_site::refuse(const std::string &path, bool on)
{
    srv_fault(dir + path, on ? "status 404" : "");
}

void engine_site::publish()
{
    int64_t now = (int64_t)time(nullptr);
    std::string rels;
    for (auto &r : releases) {
        std::string arts;
        for (auto &p : r.packages) {
            srv_put(dir + package_path(r.version, p.component), p.bytes);
            arts += std::string(arts.empty() ? "" : ", ") + "{\"url\": \"pkgs/" + p.component +
                    "-" + r.version + ".pkg\", \"sha256\": \"" + sha_hex(p.bytes) +
                    "\", \"size\": " + std::to_string(p.bytes.size()) +
                    ", \"match\": {\"os\": \"" + p.os + "\"}, \"component\": \"" + p.component +
                    "\"}";
        }
        rels += std::string(rels.empty() ? "" : ", ") + "{\"version\": \"" + r.version + "\"" +
                (r.notes.empty() ? "" : ", \"notes\": \"" + r.notes + "\"") +
                (r.rollout == 100 ? ""
                                  : ", \"rollout_percent\": " + std::to_string(r.rollout)) +
                ", \"artifacts\": [" + arts + "]}";
    }
    std::string more;
    for (auto &c : more_components)
        more += ", {\"id\": \"" + c.first + "\", \"title\": \"" + c.second + "\"}";
    std::string doc =
        "{\"schema\": 1, \"product\": \"orvantis\", \"channel\": \"alpha\", \"sequence\": " +
        std::to_string(++sequence) + ", \"issued\": \"" + iso(now - 60) + "\", \"expires\": \"" +
        iso(now + 86400) + "\", \"releases\": [" + rels +
        "], \"components\": [{\"id\": \"core\", \"title\": \"Core\", \"required\": true}, "
        "{\"id\": \"agent\", \"title\": \"Agent\", \"default\": true}, "
        "{\"id\": \"restore\", \"title\": \"Restore\"}" + more + "]}";
    put_signed(priv, dir + "alpha/components.json", doc, true);
}

site_result engine_site::install(const std::string &version, const std::vector<std::string> &ids,
                                 uint32_t force, const char *list)
{
    site_result r;
    updater_state st;
    state_read(&cfg, &st);
    component_catalog cat = {};
    char url[SIGNED_URL_MAX] = "", err[600] = "";
    if (catalog_load(&cfg, &st, (int64_t)time(nullptr), &cat, url, sizeof url, err,
                     sizeof err) != 0) {
        ADD_FAILURE() << "catalog_load: " << err;
        return r;
    }
    const manifest_release *rel = nullptr;
    for (size_t i = 0; i < cat.release_count; i++)
        if (version == cat.releases[i].version)
            rel = &cat.releases[i];
    std::vector<const char *> names;
    for (auto &id : ids)
        names.push_back(id.c_str());
    const manifest_artifact *pkgs[INSTALL_MAX_ARTIFACTS] = {};
    const char *missing = nullptr;
    if (!rel || catalog_pick_packages(rel, &hf, names.data(), names.size(), pkgs, &missing) != 0) {
        ADD_FAILURE() << "no packages of " << version << " for " << (missing ? missing : "?");
        catalog_free(&cat);
        return r;
    }
    install_request req = {};
    req.version = rel->version;
    req.artifacts = pkgs;
    req.count = names.size();
    req.base_url = url;
    req.component_list = list;
    req.bytes_fn = record_bytes;
    req.bytes_user = &r;
    req.step_fn = record_step;
    req.step_user = &r;
    req.force = force;
    r.rc = install_run(&cfg, &hf, &req, err, sizeof err);
    r.err = err;
    catalog_free(&cat);
    return r;
}

site_result engine_site::install_request_of(const std::string &version,
                                            const std::vector<const manifest_artifact *> &arts,
                                            uint32_t force)
{
    site_result r;
    std::string base = srv_url("ca", dir + "alpha/components.json");
    install_request req = {};
    req.version = version.c_str();
    req.artifacts = arts.data();
    req.count = arts.size();
    req.base_url = base.c_str();
    req.step_fn = record_step;
    req.step_user = &r;
    req.bytes_fn = record_bytes;
    req.bytes_user = &r;
    req.force = force;
    char err[600] = "";
    r.rc = install_run(&cfg, &hf, &req, err, sizeof err);
    r.err = err;
    return r;
}

updater_state engine_site::state() const
{
    updater_state st;
    state_read(&cfg, &st);
    return st;
}

void engine_site::set_state(const updater_state &st) const
{
    char err[300] = "";
    EXPECT_EQ(state_write(&cfg, &st, err, sizeof err), 0) << err;
}

std::vector<std::string> engine_site::names(const std::string &dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator(dir, ec))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string engine_site::bin() const { return std::string(cfg.install_dir) + "\\bin"; }

std::string engine_site::version_dir(const std::string &v) const
{
    return std::string(cfg.install_dir) + "\\versions\\" + v;
}

std::string engine_site::downloads() const { return std::string(cfg.state_dir) + "\\downloads"; }

size_t engine_site::requests(const std::string &path) const
{
    return srv_requests(dir + path).size();
}

std::vector<std::string> engine_site::setup_options(const std::string &root) const
{
    char pub[64] = "";
    b64_encode(cfg.public_keys[0], 32, pub, sizeof pub);
    return {"--silent",          "--url",         cfg.url,    "--ca-file",
            srv_cert("srv.pem"), "--public-key",  pub,        "--root",
            root,                "--install-dir", cfg.install_dir, "--state-dir",
            cfg.state_dir};
}

std::vector<std::string> engine_site::setup_installation(const std::string &name)
{
    use_installation(name);
    return setup_options(root + "\\" + name + "\\root");
}

std::vector<std::string> engine_site::offline(std::vector<std::string> opts)
{
    for (size_t i = 0; i + 1 < opts.size(); i++)
        if (opts[i] == "--url")
            opts[i + 1] = "https://localhost:1/nobody";
    return opts;
}

std::vector<std::string> engine_site::setup_copy(const std::string &from, const std::string &to)
{
    std::error_code ec;
    std::filesystem::copy(root + "\\" + from, root + "\\" + to,
                          std::filesystem::copy_options::recursive, ec);
    EXPECT_FALSE(ec) << "copy of the installation " << from << ": " << ec.message();
    return setup_installation(to);
}

void engine_site::leave_a_switch(const std::string &version,
                                 const std::vector<std::string> &programs,
                                 const std::string &components, bool tested) const
{
    std::string journal = "begin\tinstall\t" + version + "\t" + state().installed_version + "\t" +
                          components + "\n";
    const std::string vbin = version_dir(version) + "\\bin";
    std::error_code ec;
    std::filesystem::create_directories(vbin, ec);
    for (const std::string &name : programs) {
        const std::string live = bin() + "\\" + name + ".exe";
        const std::string aside = live + ".old-77-1";
        ASSERT_TRUE(MoveFileA(live.c_str(), aside.c_str())) << live;
        std::string bytes = program(name, version).data;
        ASSERT_TRUE(test_write_file(live, bytes));
        ASSERT_TRUE(test_write_file(vbin + "\\" + name + ".exe", bytes));
        journal += "move\t" + live + "\t" + aside + "\n";
        if (!tested)
            break;
    }
    if (tested)
        journal += "tested\n";
    ASSERT_TRUE(test_write_file(std::string(cfg.install_dir) + "\\switch.journal", journal));
}

bool engine_site::lock_held() const
{
    const std::string lock = std::string(cfg.state_dir) + "\\updater.lock";
    HANDLE h = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    DWORD e = GetLastError();
    return e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND;
}

bool site_exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

site_sched sched;

namespace {

int fake_busy(const updater_config *, unsigned long *pid, char *, size_t, char *err, size_t errlen)
{
    if (pid)
        *pid = sched.pid;
    if (sched.busy < 0)
        snprintf(err, errlen, "cannot query orv_sched's job state: no output");
    return sched.busy;
}

int fake_stop(const updater_config *, unsigned long, char *err, size_t errlen)
{
    sched.stops++;
    if (sched.stop != 0)
        snprintf(err, errlen, "the service orvantis-sched did not stop within 30 s (a job may "
                              "have started)");
    return sched.stop;
}

void fake_start(void)
{
    sched.starts++;
    sched.live_at_start = !engine_site::names(sched.bin).empty();
}

int fake_running(char *names, size_t cap)
{
    if (sched.running <= 0)
        return install_win_real.running_programs(names, cap);
    snprintf(names, cap, "orv_agent.exe");
    return sched.running;
}

} // namespace

void site_fake_scheduler(const std::string &bin)
{
    sched = site_sched();
    sched.bin = bin;
    install_win.sched_busy = fake_busy;
    install_win.sched_stop = fake_stop;
    install_win.sched_start = fake_start;
    install_win.running_programs = fake_running;
}
