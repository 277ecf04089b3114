// resource-lock: orvantis-sched
// resource-lock: product-programs
// The install engine end to end against the tests' update server: signed
// catalogs of real tar+zstd packages whose programs answer "--version" and
// "--selftest", installed, updated, refused, undone and postponed, with the
// installation directory, the state file, the downloads and the log looked at
// afterwards. The scheduler service is a seam: Wine has none to stop.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <windows.h>
#include <zstd.h>

#include "codec.h"
#include "download_win_seam.h"
#include "engine_site.h"
#include "install.h"
#include "install_fixture.h"
#include "install_win_seam.h"
#include "log.h"
#include "proc_win.h"
#include "seam_guard.h"
#include "state_win_seam.h"
#include "test_package.h"
#include "test_util.h"
#include "update_server.h"
#include "versions_win_seam.h"

namespace {

const char kFailedBefore[] =
    "version 1.1.0 failed on this machine before; not trying it again (use --force, or wait for "
    "a newer release)";

std::string read(const std::string &path) { return test_read_file(path); }

// The names in the downloads directory without the digest key in front
// ("<16 hex digits>-"), sorted.
std::vector<std::string> download_names(const engine_site &site)
{
    std::vector<std::string> out;
    for (const std::string &n : engine_site::names(site.downloads())) {
        bool keyed = n.size() > 17 && n[16] == '-' &&
                     n.find_first_not_of("0123456789abcdef") == 16;
        out.push_back(keyed ? n.substr(17) : "unkeyed: " + n);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// An artifact of the site's server for bytes served at rel (below "alpha/").
struct own_artifact {
    std::string url, sha;
    manifest_artifact art = {};
    own_artifact(engine_site &site, const std::string &rel, const std::string &bytes,
                 const char *component)
        : url(rel)
    {
        uint8_t d[32];
        sha256_buffer(bytes.data(), bytes.size(), d);
        sha = test_hex(d, 32);
        srv_put(site.dir + "alpha/" + rel, bytes);
        art.url = url.c_str();
        art.sha256 = sha.c_str();
        art.size = bytes.size();
        art.component = component;
    }
};

// The programs of a standard package of version for component, as installed.
std::string tool_bytes(const std::string &component, const std::string &version)
{
    return engine_site::program(component + "_tool", version).data;
}

// CreateProcessA as a virus scanner would answer for the agent's program.
BOOL WINAPI refuse_agent(LPCSTR app, LPSTR line, LPSECURITY_ATTRIBUTES pa,
                         LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID env,
                         LPCSTR dir, LPSTARTUPINFOA si, LPPROCESS_INFORMATION pi)
{
    if (line && strstr(line, "agent_tool.exe")) {
        SetLastError(225);  // ERROR_VIRUS_INFECTED
        return FALSE;
    }
    return CreateProcessA(app, line, pa, ta, inherit, flags, env, dir, si, pi);
}

class Engine : public ::testing::Test {
protected:
    engine_site site{"install"};
    site_log log;
};

} // namespace

// A fresh install of two components, an update that keeps the previous
// version, and a second update that prunes the oldest one.
TEST_F(Engine, InstallsThenUpdatesKeepingThePreviousVersion)
{
    for (const char *v : {"1.0.0", "1.1.0", "1.2.0"})
        site.releases.push_back(engine_site::standard_release(v, {"core", "agent"}));
    site.publish();

    site_result r = site.install("1.0.0", {"core", "agent"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.steps, (std::vector<std::string>{"downloading core 0/2", "downloading agent 1/2",
                                                 "installing 2/2"}));
    ASSERT_FALSE(r.bytes.empty());
    EXPECT_EQ(r.bytes.back().first, r.bytes.back().second) << "the last report is the whole";
    EXPECT_EQ(engine_site::names(site.bin()),
              (std::vector<std::string>{"agent_tool.exe", "core_tool.exe"}));
    EXPECT_EQ(read(site.bin() + "\\core_tool.exe"), tool_bytes("core", "1.0.0"));
    // Both packages bring bin/ and the same read-me: merged once.
    EXPECT_EQ(engine_site::names(site.version_dir("1.0.0")),
              (std::vector<std::string>{"README.txt", "bin"}));
    updater_state st = site.state();
    EXPECT_STREQ(st.installed_version, "1.0.0");
    EXPECT_STREQ(st.previous_version, "");
    EXPECT_STREQ(st.components, "core,agent");
    EXPECT_STREQ(st.bad_versions, "");
    // The downloads are gone, their directory stays; no staging is left.
    EXPECT_TRUE(site_exists(site.downloads()));
    EXPECT_EQ(engine_site::names(site.downloads()), std::vector<std::string>{});
    EXPECT_EQ(engine_site::names(site.cfg.install_dir),
              (std::vector<std::string>{"bin", "versions"}));
    // The URL as the catalog lists it.
    EXPECT_TRUE(log.has(LOG_INFO, "downloading pkgs/core-1.0.0.pkg"));

    r = site.install("1.1.0", {"core", "agent"}, 1, "agent,core");
    ASSERT_EQ(r.rc, 0) << r.err;
    st = site.state();
    EXPECT_STREQ(st.installed_version, "1.1.0");
    EXPECT_STREQ(st.previous_version, "1.0.0");
    EXPECT_STREQ(st.components, "agent,core") << "the request's list is recorded as given";
    EXPECT_EQ(engine_site::names(site.cfg.install_dir + std::string("\\versions")),
              (std::vector<std::string>{"1.0.0", "1.1.0"}));

    r = site.install("1.2.0", {"core", "agent"});
    ASSERT_EQ(r.rc, 0) << r.err;
    st = site.state();
    EXPECT_STREQ(st.installed_version, "1.2.0");
    EXPECT_STREQ(st.previous_version, "1.1.0");
    EXPECT_EQ(engine_site::names(site.cfg.install_dir + std::string("\\versions")),
              (std::vector<std::string>{"1.1.0", "1.2.0"}));
    EXPECT_TRUE(log.has(LOG_INFO, "removed the old version 1.0.0"));
    EXPECT_EQ(read(site.bin() + "\\agent_tool.exe"), tool_bytes("agent", "1.2.0"));
}

// A program that passes its check in staging and fails live: the switch is
// undone, the version recorded, and refused next time unless forced.
TEST_F(Engine, LiveSelfTestFailureIsUndoneRecordedAndRefusedUnlessForced)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    program_answers fails_live;
    fails_live.fail_live = true;
    site.releases.push_back(
        {"1.1.0",
         {{"core", engine_site::standard_package("1.1.0", "core")},
          {"agent", engine_site::standard_package("1.1.0", "agent", fails_live)}},
         ""});
    site.publish();
    ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0);

    site_result r = site.install("1.1.0", {"core", "agent"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "the installation of 1.1.0 was undone: agent_tool.exe fails its self-test "
                     "after the update: the live copy refuses its self-test");
    EXPECT_EQ(read(site.bin() + "\\agent_tool.exe"), tool_bytes("agent", "1.0.0"));
    EXPECT_EQ(read(site.bin() + "\\core_tool.exe"), tool_bytes("core", "1.0.0"));
    updater_state st = site.state();
    EXPECT_STREQ(st.installed_version, "1.0.0");
    EXPECT_STREQ(st.bad_versions, "1.1.0");
    EXPECT_EQ(engine_site::names(site.cfg.install_dir + std::string("\\versions")),
              std::vector<std::string>{"1.0.0"});
    EXPECT_EQ(engine_site::names(site.cfg.install_dir),
              (std::vector<std::string>{"bin", "versions"}));
    // A failed run keeps its downloads for the next one.
    EXPECT_EQ(download_names(site),
              (std::vector<std::string>{"agent-1.1.0.pkg", "core-1.1.0.pkg"}));

    size_t asked = site.requests(site.package_path("1.1.0", "agent"));
    r = site.install("1.1.0", {"core", "agent"}, 0);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, kFailedBefore);
    EXPECT_EQ(r.steps, std::vector<std::string>{}) << "refused before anything is done";

    r = site.install("1.1.0", {"core", "agent"}, 1);
    EXPECT_EQ(r.rc, 1) << "forced, it is tried again";
    EXPECT_EQ(r.steps.size(), 3u);
    EXPECT_EQ(site.requests(site.package_path("1.1.0", "agent")), asked)
        << "the kept download is used";
    EXPECT_STREQ(site.state().bad_versions, "1.1.0") << "recorded once";
}

// A repair of the installed version whose new copy fails its live
// self-test leaves the installed version as it was: its programs live, its
// directory in versions with the same bytes.
TEST_F(Engine, AFailedRepairKeepsTheInstalledVersion)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.publish();
    ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 0);
    program_answers fails_live;
    fails_live.fail_live = true;
    site.releases[0].packages[1].bytes =
        engine_site::standard_package("1.0.0", "agent", fails_live);
    site.publish();

    site_result r = site.install("1.0.0", {"core", "agent"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("the installation of 1.0.0 was undone: ", 0), 0u) << r.err;
    EXPECT_EQ(read(site.bin() + "\\agent_tool.exe"), tool_bytes("agent", "1.0.0"));
    EXPECT_EQ(read(site.version_dir("1.0.0") + "\\bin\\agent_tool.exe"),
              tool_bytes("agent", "1.0.0"));
    EXPECT_EQ(engine_site::names(site.cfg.install_dir + std::string("\\versions")),
              std::vector<std::string>{"1.0.0"});
    EXPECT_STREQ(site.state().installed_version, "1.0.0");
}

// A package that cannot be unpacked, checked or merged fails the run, records
// its version, and a first installation leaves nothing behind.
TEST_F(Engine, BadPackagesFailAndRecordTheVersion)
{
    std::string readme_other = "another read-me\r\n";
    std::vector<test_tar_item> prog = {{"bin", "", '5', 0755},
                                       engine_site::program("agent_tool", "1.0.0")};
    auto with_json = [&](const std::string &version, const std::string &json) {
        std::vector<test_tar_item> items = {{"PACKAGE.json", json, '0', 0644},
                                            {"bin", "", '5', 0755},
                                            engine_site::program("agent_tool", version)};
        return test_zstd(test_tar(items));
    };
    program_answers old_version;
    old_version.version = "agent_tool 0.9.0";
    struct {
        const char *name;
        const char *version;
        std::string agent;     // the agent package
        std::string expected;  // the sentence, or its start when it ends in "..."
    } cases[] = {
        {"not zstd", "1.0.1", "this is no package",
         "the package for agent is invalid: the archive is not valid zstd data: ..."},
        {"no PACKAGE.json", "1.0.2", test_zstd(test_tar(prog)),
         "the package for agent is inconsistent: PACKAGE.json is missing"},
        {"empty PACKAGE.json", "1.0.3", with_json("1.0.3", ""),
         "the package for agent is inconsistent: PACKAGE.json is empty"},
        {"PACKAGE.json too long", "1.0.4", with_json("1.0.4", std::string(65536, ' ')),
         "the package for agent is inconsistent: PACKAGE.json is larger than 65535 bytes"},
        {"another component's package", "1.0.5",
         test_package("1.0.5", "restore", {engine_site::program("agent_tool", "1.0.5")}),
         "the package for agent is inconsistent: the package is not the agent component the "
         "catalog promised"},
        {"same path, other content", "1.0.6",
         test_package("1.0.6", "agent",
                      {{"bin", "", '5', 0755}, engine_site::program("agent_tool", "1.0.6"),
                       {"README.txt", readme_other, '0', 0644}}),
         "the component agent and another component both contain README.txt, with different "
         "content"},
        {"path differs only in case", "1.0.7",
         test_package("1.0.7", "agent",
                      {{"bin", "", '5', 0755}, engine_site::program("Core_Tool", "1.0.7")}),
         "the component agent and another component both contain bin/Core_Tool.exe, with "
         "different content"},
        {"program reports another version", "1.0.8",
         engine_site::standard_package("1.0.8", "agent", old_version),
         "not installing 1.0.8: agent_tool.exe reports a different version than the package "
         "(expected 'agent_tool 1.0.8')"},
    };
    for (auto &c : cases)
        site.releases.push_back(
            {c.version,
             {{"core", engine_site::standard_package(c.version, "core")}, {"agent", c.agent}},
             ""});
    site.publish();
    for (auto &c : cases) {
        site.use_installation(c.name);
        site_result r = site.install(c.version, {"core", "agent"});
        EXPECT_EQ(r.rc, 1) << c.name;
        std::string want = c.expected;
        if (want.size() > 3 && want.compare(want.size() - 3, 3, "...") == 0) {
            EXPECT_EQ(r.err.substr(0, want.size() - 3), want.substr(0, want.size() - 3)) << c.name;
        } else {
            EXPECT_EQ(r.err, want) << c.name;
        }
        EXPECT_STREQ(site.state().bad_versions, c.version) << c.name;
        EXPECT_FALSE(site_exists(site.cfg.install_dir)) << c.name << ": left behind";
        EXPECT_EQ(engine_site::names(site.downloads()).size(), 2u) << c.name;
    }
}

// A full list of failed versions drops its oldest word for a new one.
TEST_F(Engine, FullListOfFailedVersionsDropsTheOldest)
{
    site.releases.push_back({"1.0.1",
                             {{"core", engine_site::standard_package("1.0.1", "core")},
                              {"agent", "this is no package"}},
                             ""});
    site.publish();
    std::string words;
    for (int n = 10; n <= 82; n++)
        words += (words.empty() ? "0.0." : " 0.0.") + std::to_string(n);
    ASSERT_EQ(words.size(), 510u);
    updater_state st = {};
    snprintf(st.bad_versions, sizeof st.bad_versions, "%s", words.c_str());
    site.set_state(st);
    EXPECT_EQ(site.install("1.0.1", {"core", "agent"}).rc, 1);
    EXPECT_EQ(std::string(site.state().bad_versions), words.substr(7) + " 1.0.1");
}

// A virus scanner that refuses a program, and a switch that cannot copy, say
// nothing about the version: it is not recorded, and nothing stays behind.
TEST_F(Engine, ScannerAndSwitchFailuresDoNotRecordTheVersion)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.publish();
    struct {
        const char *name;
        bool scanner;     // else the switch fails
        const char *err;  // the start of the sentence
    } cases[] = {
        {"scanner", true,
         "not installing 1.0.0: agent_tool.exe was blocked or removed by the virus scanner (it "
         "contains a threat according to the virus scanner); add an exclusion for the folder "},
        {"switch", false, "cannot switch to the new version: cannot copy agent_tool.exe (error 5)"},
    };
    for (auto &c : cases) {
        seam_guard<proc_api> proc_guard(proc_calls);
        seam_guard<versions_win_calls> switch_guard(versions_win);
        if (c.scanner) {
            proc_calls.CreateProcessA = refuse_agent;
        } else {
            use_fakes();
            rules.copy_fail_name = "agent_tool.exe";
            rules.copy_error = 5;
        }
        site.use_installation(c.name);
        site_result r = site.install("1.0.0", {"core", "agent"});
        EXPECT_EQ(r.rc, 1) << c.name;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.name << ": " << r.err;
        EXPECT_STREQ(site.state().bad_versions, "") << c.name;
        EXPECT_FALSE(site_exists(site.cfg.install_dir)) << c.name << ": left behind";
    }
}

// A download that fails ends the run without recording the version; the
// retry reuses what was downloaded already.
TEST_F(Engine, FailedDownloadIsNotRecordedAndTheRetryReusesTheRest)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    std::string agent_path = site.package_path("1.0.0", "agent");
    site.publish();
    site.refuse(agent_path, true);

    site_result r = site.install("1.0.0", {"core", "agent"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("cannot download https://localhost:", 0), 0u) << r.err;
    EXPECT_EQ(r.steps, (std::vector<std::string>{"downloading core 0/2", "downloading agent 1/2"}));
    EXPECT_STREQ(site.state().bad_versions, "");
    // The failed request's part file stays for a resume.
    EXPECT_EQ(download_names(site),
              (std::vector<std::string>{"agent-1.0.0.pkg.part", "core-1.0.0.pkg"}));
    EXPECT_FALSE(site_exists(site.cfg.install_dir));

    site.refuse(agent_path, false);
    size_t core_asked = site.requests(site.package_path("1.0.0", "core"));
    r = site.install("1.0.0", {"core", "agent"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(site.requests(site.package_path("1.0.0", "core")), core_asked);
    EXPECT_STREQ(site.state().installed_version, "1.0.0");
}

namespace {
// Where the download of a stands in the downloads directory.
std::string download_path(const engine_site &site, const own_artifact &a)
{
    uint8_t digest[32];
    EXPECT_EQ(hex_decode(a.sha.c_str(), digest, 32), 0);
    char name[400];
    download_keyed_name(digest, a.url.substr(a.url.rfind('/') + 1).c_str(), name, sizeof name);
    return site.downloads() + "\\" + name;
}
} // namespace

// A failed download ends the downloads of later packages at once, whatever
// their size or speed, and the first failure in the packages' order is
// reported; what the run found in the downloads directory stays there, and so
// does what an earlier package downloaded or a resumed download grew. Only
// what a later package began from nothing goes, as a run that took one
// package after the other would never have begun it.
TEST_F(Engine, FailedDownloadEndsTheOthersAndKeepsWhatWasThere)
{
    const size_t kLarge = 8u << 20;       // at kRate: half a minute
    const char kRate[] = "rate 262144";   // bytes a second
    struct {
        const char *name;
        size_t refused;            // the package that fails (404 after a second or two)
        const char *refusal;       // its fault lines
        std::vector<size_t> sizes; // size of each package's bytes
        std::vector<std::string> urls;  // below "alpha/<case>/"; equal ones share a file
        int slow;                  // package sent at kRate, or -1
        int part_kept;             // package whose ".part" (half of it) was there before, or -1
        std::vector<std::string> downloads;  // what stays in the downloads directory
    } cases[] = {
        {"an earlier package's file that a later one shares", 1, "stall 1\nstatus 404\n",
         {768u << 10, 1000, 768u << 10}, {"a/shared.pkg", "f.pkg", "b/shared.pkg"}, 0, -1,
         {"f.pkg.part", "shared.pkg"}},
        {"a later package resumed and finished", 0, "stall 2\nstatus 404\n",
         {1000, 200000}, {"f.pkg", "a.pkg"}, -1, 1, {"a.pkg", "f.pkg.part"}},
        {"a large later package in flight", 0, "stall 1\nstatus 404\n", {1000, kLarge},
         {"f.pkg", "large.pkg"}, 1, -1, {"f.pkg.part"}},
        {"a large later package resumed in flight", 0, "stall 1\nstatus 404\n", {1000, kLarge},
         {"f.pkg", "large.pkg"}, 1, 1, {"f.pkg.part", "large.pkg.part"}},
    };
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    int round = 0;
    for (auto &c : cases) {
        site.use_installation(c.name);
        std::string dir = "fail" + std::to_string(round++) + "/";
        std::vector<own_artifact *> own;
        std::vector<const manifest_artifact *> arts;
        std::vector<std::string> served;
        for (size_t k = 0; k < c.urls.size(); k++) {
            // Packages whose URLs end alike are the same bytes: one file.
            std::vector<uint8_t> bytes = test_noise(c.sizes[k]);
            served.push_back(std::string(bytes.begin(), bytes.end()));
            own.push_back(new own_artifact(site, dir + c.urls[k], served[k], "core"));
            arts.push_back(&own.back()->art);
        }
        std::string bytes_of_part;
        if (c.part_kept >= 0) {
            const std::string &all = served[(size_t)c.part_kept];
            bytes_of_part = all.substr(0, std::min<size_t>(65536, all.size() / 2));
            make_dirs(site.downloads());
            ASSERT_TRUE(test_write_file(download_path(site, *own[(size_t)c.part_kept]) + ".part",
                                        bytes_of_part))
                << c.name;
        }
        if (c.slow >= 0)
            srv_fault(site.dir + "alpha/" + own[(size_t)c.slow]->url, kRate);
        std::string refused_path = "alpha/" + own[c.refused]->url;
        srv_fault(site.dir + refused_path, c.refusal);

        ULONGLONG start = GetTickCount64();
        site_result r = site.install_request_of("1.0.0", arts);
        ULONGLONG took = GetTickCount64() - start;
        EXPECT_EQ(r.rc, 1) << c.name;
        std::string want = "cannot download " + srv_url("ca", site.dir + refused_path) + ": ";
        EXPECT_EQ(r.err.rfind(want, 0), 0u) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find("HTTP status 404"), std::string::npos) << c.name << ": " << r.err;
        // A few seconds on a busy machine; the slow package alone would take
        // half a minute.
        EXPECT_LT(took, 12000u) << c.name;
        EXPECT_EQ(download_names(site), c.downloads) << c.name;
        for (size_t k = 0; k < own.size(); k++) {
            std::string file = download_path(site, *own[k]);
            if (site_exists(file)) {
                EXPECT_EQ(test_read_file(file), served[k]) << c.name << ": package " << k;
            }
            // A kept part file still begins the package.
            if ((int)k == c.part_kept && site_exists(file + ".part")) {
                std::string part = test_read_file(file + ".part");
                EXPECT_GE(part.size(), bytes_of_part.size()) << c.name;
                EXPECT_EQ(part, served[k].substr(0, part.size())) << c.name;
            }
        }
        EXPECT_STREQ(site.state().bad_versions, "") << c.name;
        for (own_artifact *a : own) {
            srv_fault(site.dir + "alpha/" + a->url, "");
            delete a;
        }
    }
}

// After a successful install the downloads directory is empty: the run's
// own downloads and what earlier runs left of other releases, parts
// included. A failed run leaves all of them for the next one.
TEST_F(Engine, SuccessfulInstallEmptiesTheDownloads)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.publish();
    make_dirs(site.downloads());
    ASSERT_TRUE(test_write_file(site.downloads() + "\\0123456789abcdef-core-0.9.0.pkg.part",
                                "half of an older release"));
    ASSERT_TRUE(test_write_file(site.downloads() + "\\fedcba9876543210-agent-0.9.0.pkg",
                                "an older release"));
    std::vector<std::string> stale = {"agent-0.9.0.pkg", "core-0.9.0.pkg.part"};

    site.refuse(site.package_path("1.0.0", "agent"), true);
    ASSERT_EQ(site.install("1.0.0", {"core", "agent"}).rc, 1);
    std::vector<std::string> kept = stale;
    kept.insert(kept.end(), {"agent-1.0.0.pkg.part", "core-1.0.0.pkg"});
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(download_names(site), kept);

    site.refuse(site.package_path("1.0.0", "agent"), false);
    site_result r = site.install("1.0.0", {"core", "agent"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(site_exists(site.downloads()));
    EXPECT_EQ(engine_site::names(site.downloads()), std::vector<std::string>{});
}

// Packages whose URLs end in the same file name: each component is unpacked
// from its own bytes, and the good release is installed, not recorded.
TEST_F(Engine, PackagesWhoseUrlsEndAlikeAreEachUnpackedFromTheirOwnBytes)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.publish();
    own_artifact core(site, "core/1.0.0/package.tar.zst",
                      engine_site::standard_package("1.0.0", "core"), "core");
    own_artifact agent(site, "agent/1.0.0/package.tar.zst",
                       engine_site::standard_package("1.0.0", "agent"), "agent");
    site_result r = site.install_request_of("1.0.0", {&core.art, &agent.art});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(read(site.bin() + "\\core_tool.exe"), tool_bytes("core", "1.0.0"));
    EXPECT_EQ(read(site.bin() + "\\agent_tool.exe"), tool_bytes("agent", "1.0.0"));
    EXPECT_STREQ(site.state().installed_version, "1.0.0");
    EXPECT_STREQ(site.state().bad_versions, "");
}

namespace {
// The step callback of a run whose first download is overwritten (same
// size, other bytes) once every download has passed its checks.
int spoil_first_download(void *user, const char *step, uint64_t, uint64_t)
{
    const engine_site *site = (const engine_site *)user;
    if (strcmp(step, "installing") == 0)
        for (const std::string &n : engine_site::names(site->downloads()))
            if (n.find("core") != std::string::npos) {
                std::string path = site->downloads() + "\\" + n;
                std::string bytes = test_read_file(path);
                bytes[bytes.size() / 2] ^= 1;
                test_write_file(path, bytes);
            }
    return 0;
}
} // namespace

// The file that is unpacked must be the one whose checks passed: one changed
// in between is not unpacked, and says nothing about the version.
TEST_F(Engine, DownloadChangedAfterItsCheckIsNotUnpacked)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core", "agent"}));
    site.publish();
    own_artifact core(site, "pkgs/core-1.0.0.pkg", engine_site::standard_package("1.0.0", "core"),
                      "core");
    own_artifact agent(site, "pkgs/agent-1.0.0.pkg",
                       engine_site::standard_package("1.0.0", "agent"), "agent");
    const manifest_artifact *arts[] = {&core.art, &agent.art};
    std::string base = srv_url("ca", site.dir + "alpha/components.json");
    install_request req = {};
    req.version = "1.0.0";
    req.artifacts = arts;
    req.count = 2;
    req.base_url = base.c_str();
    req.step_fn = spoil_first_download;
    req.step_user = &site;
    req.force = 1;
    char err[600] = "";
    EXPECT_EQ(install_run(&site.cfg, &site.hf, &req, err, sizeof err), 1);
    EXPECT_STREQ(err, "the download for core changed after it was checked");
    EXPECT_STREQ(site.state().bad_versions, "");
    EXPECT_FALSE(site_exists(site.cfg.install_dir));
}

namespace {
// fflush as on a disk with no room left.
int flush_on_full_disk(FILE *)
{
    errno = ENOSPC;
    return EOF;
}
// unpack_tar_zstd as on a disk that fills up with the first file.
int unpack_onto_full_disk(const char *, const char *, uint64_t, pkg_entry **entries,
                          size_t *count, char *err, size_t errlen)
{
    *entries = nullptr;
    *count = 0;
    snprintf(err, errlen, "cannot write bin/core_tool.exe: the disk is full");
    return UNPACK_DISK_FULL;
}
// fs_create_dirs of the merge as on a disk with no room for a directory.
int create_dirs_on_full_disk(const char *)
{
    errno = ENOSPC;
    return -1;
}
// fs_replace_file of the merge as on a disk with no room for the file's name.
int replace_on_full_disk(const char *, const char *)
{
    SetLastError(ERROR_DISK_FULL);
    return -1;
}
// MoveFileExA as on a disk with no room for the version directory.
BOOL WINAPI move_staging_onto_full_disk(LPCSTR from, LPCSTR to, DWORD flags)
{
    if (strstr(from, ".staging-")) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return versions_win_real.move_file(from, to, flags);
}
// CopyFileA as on a disk with no room for the new program.
BOOL WINAPI copy_onto_full_disk(LPCSTR, LPCSTR, BOOL)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
// FlushFileBuffers as on a disk that had promised room for a new program in
// bin it does not have.
BOOL WINAPI flush_bin_on_full_disk(HANDLE h)
{
    char name[2 * MAX_PATH] = "";
    GetFinalPathNameByHandleA(h, name, sizeof name, FILE_NAME_NORMALIZED);
    if (strstr(name, "\\bin\\") && !strstr(name, "\\versions\\")) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return versions_win_real.flush_file(h);
}
// WriteFile of the journal as on a disk that fills up: fewer bytes written
// than asked for, and no error.
BOOL WINAPI journal_onto_full_disk(HANDLE h, LPCVOID data, DWORD len, LPDWORD wrote,
                                   LPOVERLAPPED ov)
{
    return versions_win_real.write_file(h, data, len / 2, wrote, ov);
}
} // namespace

// A disk that fills up while a package is downloaded or unpacked, while the
// version directory is put in place or the programs are switched, or while
// the state records them, is the disk's fault: the run says so, and the
// version is neither recorded as failed nor, unless it passed and only the
// state could not say so, taken off the programs that are live.
TEST_F(Engine, FullDiskIsNotTheVersionsFault)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.releases.push_back(engine_site::standard_release("1.1.0", {"core"}));
    site.publish();
    struct {
        const char *name;
        void (*fault)();       // makes the disk full for the run
        std::string start;     // how the sentence begins
        std::string end;       // and ends
        bool live = false;     // the new programs passed and are live, not yet recorded
    } cases[] = {
        {"download", [] { download_win.flush = flush_on_full_disk; }, "cannot write ",
         ".pkg.part: the disk is full"},
        {"unpack", [] { install_win.unpack = unpack_onto_full_disk; },
         "the package for core cannot be unpacked: ",
         "cannot write bin/core_tool.exe: the disk is full"},
        {"merging a directory", [] { install_win.create_dirs = create_dirs_on_full_disk; },
         "cannot write ", "/bin: the disk is full"},
        {"merging a file", [] { install_win.replace_file = replace_on_full_disk; },
         "cannot write ", "/bin/core_tool.exe: the disk is full"},
        {"version directory", [] { versions_win.move_file = move_staging_onto_full_disk; },
         "cannot write ", "\\versions\\1.1.0: the disk is full"},
        {"journal", [] { versions_win.write_file = journal_onto_full_disk; }, "cannot write ",
         "\\switch.journal: the disk is full"},
        {"switch", [] { versions_win.copy_file = copy_onto_full_disk; },
         "cannot switch to the new version: cannot write ", "\\bin\\core_tool.exe: the disk is full"},
        {"the new programs reaching the disk",
         [] { versions_win.flush_file = flush_bin_on_full_disk; },
         "cannot switch to the new version: cannot write ", "\\bin\\core_tool.exe: the disk is full"},
        {"state", [] { state_win.flush = flush_on_full_disk; },
         "the programs of version 1.1.0 are live, but the state cannot record them: cannot "
         "write ",
         "state.tmp: the disk is full", true},
    };
    for (const auto &c : cases) {
        site.use_installation(c.name);
        ASSERT_EQ(site.install("1.0.0", {"core"}).rc, 0) << c.name;
        site_result r;
        {
            seam_guard<download_win_calls> downloads(download_win);
            seam_guard<install_win_calls> engine(install_win);
            seam_guard<versions_win_calls> switching(versions_win);
            seam_guard<state_win_calls> recording(state_win);
            c.fault();
            r = site.install("1.1.0", {"core"}, 0);
        }
        EXPECT_EQ(r.rc, 1) << c.name;
        EXPECT_EQ(r.err.rfind(c.start, 0), 0u) << c.name << ": " << r.err;
        EXPECT_GE(r.err.size(), c.end.size()) << c.name;
        EXPECT_EQ(r.err.compare(r.err.size() - std::min(r.err.size(), c.end.size()),
                                std::string::npos, c.end),
                  0)
            << c.name << ": " << r.err;
        updater_state st = site.state();
        EXPECT_STREQ(st.installed_version, "1.0.0") << c.name;
        EXPECT_STREQ(st.bad_versions, "") << c.name;
        EXPECT_EQ(read(site.bin() + "\\core_tool.exe"), tool_bytes("core", c.live ? "1.1.0" : "1.0.0"))
            << c.name;
        EXPECT_EQ(site_exists(std::string(site.cfg.install_dir) + "\\switch.journal"), c.live)
            << c.name;
        // With room again, the same version installs without --force.
        r = site.install("1.1.0", {"core"}, 0);
        EXPECT_EQ(r.rc, 0) << c.name << ": " << r.err;
        EXPECT_STREQ(site.state().installed_version, "1.1.0") << c.name;
        EXPECT_STREQ(site.state().bad_versions, "") << c.name;
    }
}

// Another process's lock postpones every run without a change.
TEST_F(Engine, HeldLockPostponesEveryRun)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    ASSERT_EQ(CreateDirectoryA(site.cfg.state_dir, nullptr), TRUE);
    std::string lock = std::string(site.cfg.state_dir) + "\\updater.lock";
    HANDLE h = CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    site_result r = site.install("1.0.0", {"core"});
    EXPECT_EQ(r.rc, 75);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(log.has(LOG_INFO, "another orv_updater or orv_setup is running; try again later"));
    EXPECT_EQ(site.requests(site.package_path("1.0.0", "core")), 0u);

    size_t lines = log.lines.size();
    char err[300] = "x";
    EXPECT_EQ(updater_uninstall(&site.cfg, 1, err, sizeof err), 75);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(log.lines.size(), lines) << "the uninstall says nothing";
    update_options o = {};
    o.bucket = 0;
    EXPECT_EQ(update_components_run(&site.cfg, &o, &site.hf, err, sizeof err), 75);
    EXPECT_TRUE(log.has(LOG_INFO, "another orv_updater is running; try again later"));
    const char *ids[] = {"agent"};
    EXPECT_EQ(install_add_components(&site.cfg, ids, 1, &site.hf, err, sizeof err), 75);
    EXPECT_TRUE(site_exists(lock));
    CloseHandle(h);

    r = site.install("1.0.0", {"core"});
    EXPECT_EQ(r.rc, 0) << r.err;
}

// A product program that runs postpones an installation and a removal.
TEST_F(Engine, RunningProductProgramPostpones)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    std::string exe = site.root + "\\orv_maintenance.exe";
    ASSERT_TRUE(test_write_file(exe, packaged_program({})));
    std::string line = "\"" + exe + "\" --sleep 30";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &si, &pi));
    char names[256] = "";
    for (int i = 0; i < 100 && install_win_real.running_programs(names, sizeof names) == 0; i++)
        Sleep(50);

    site_result r = site.install("1.0.0", {"core"});
    EXPECT_EQ(r.rc, 75);
    // The sentence names the program, so that it can be found and ended.
    EXPECT_EQ(r.err, "orv_maintenance.exe is running: postponing the installation");
    EXPECT_TRUE(log.has(LOG_INFO, "orv_maintenance.exe is running: postponing the installation"));
    EXPECT_EQ(site.requests(site.package_path("1.0.0", "core")), 0u);
    char err[300] = "";
    EXPECT_EQ(updater_uninstall(&site.cfg, 0, err, sizeof err), 75);
    EXPECT_STREQ(err, "orv_maintenance.exe is running: not uninstalling now");
    EXPECT_TRUE(log.has(LOG_INFO, "orv_maintenance.exe is running: not uninstalling now"));

    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// The scheduler: a job (or a state that cannot be read) postpones before
// anything is downloaded; an idle service is stopped for the run and started
// again at every end, and one that does not stop postpones without a start.
TEST_F(Engine, SchedulerServiceIsStoppedForTheRunAndStartedAgain)
{
    seam_guard<install_win_calls> guard(install_win);
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.releases.push_back(engine_site::standard_release("1.0.1", {"core"}));
    site.publish();
    site.refuse(site.package_path("1.0.1", "core"), true);
    const char *job = "orv_sched is running a job: postponing the installation";
    struct {
        const char *name;
        int busy;
        unsigned long pid;
        int stop, running;
        const char *version;  // 1.0.1 cannot be downloaded
        int rc, stops, starts;
        const char *line;  // the INFO line, or ""
    } cases[] = {
        {"a job runs", 1, 0, 0, 0, "1.0.0", 75, 0, 0, job},
        {"job state unreadable", -1, 4242, 0, 0, "1.0.0", 75, 0, 0, job},
        {"idle service does not stop", 0, 4242, -1, 0, "1.0.0", 75, 1, 0,
         "could not stop the idle orv_sched for the installation (the service orvantis-sched did "
         "not stop within 30 s (a job may have started)): postponing"},
        {"idle service, program runs", 0, 4242, 0, 1, "1.0.0", 75, 1, 1,
         "orv_agent.exe is running: postponing the installation"},
        {"idle service, download fails", 0, 4242, 0, 0, "1.0.1", 1, 1, 1, ""},
        {"idle service, installed", 0, 4242, 0, 0, "1.0.0", 0, 1, 1, ""},
        {"no service", 0, 0, 0, 0, "1.0.0", 0, 0, 0, ""},
    };
    for (auto &c : cases) {
        site.use_installation(c.name);
        site_fake_scheduler(site.bin());
        sched.busy = c.busy;
        sched.pid = c.pid;
        sched.stop = c.stop;
        sched.running = c.running;
        size_t asked = site.requests(site.package_path("1.0.0", "core"));
        site_result r = site.install(c.version, {"core"});
        EXPECT_EQ(r.rc, c.rc) << c.name << ": " << r.err;
        EXPECT_EQ(sched.stops, c.stops) << c.name;
        EXPECT_EQ(sched.starts, c.starts) << c.name;
        if (*c.line) {
            EXPECT_TRUE(log.has(LOG_INFO, c.line)) << c.name;
        }
        if (c.rc == 75) {
            EXPECT_EQ(site.requests(site.package_path("1.0.0", "core")), asked) << c.name;
            // Only a running program is named in the sentence; the scheduler
            // postpones without one.
            EXPECT_EQ(r.err, c.running ? "orv_agent.exe is running: postponing the installation"
                                       : "")
                << c.name;
        }
        if (c.rc == 0 && c.starts) {
            EXPECT_TRUE(sched.live_at_start) << c.name << ": started before the switch";
        }
    }
}

// Requests that name nothing installable, and more than 32 packages.
TEST_F(Engine, NothingToInstallAndTooManyComponents)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    manifest_artifact art = {};
    std::string url = "pkgs/core-1.0.0.pkg";
    art.url = url.c_str();
    art.component = "core";
    char err[300] = "";
    EXPECT_EQ(install_run(&site.cfg, &site.hf, nullptr, err, sizeof err), 1);
    EXPECT_STREQ(err, "nothing to install");
    struct {
        const char *name;
        const char *version;
        std::vector<const manifest_artifact *> arts;
    } cases[] = {
        {"no artifacts", "1.0.0", {}},
        {"no version", nullptr, {&art}},
        {"not a version text", "1.0", {&art}},
        {"a missing artifact", "1.0.0", {&art, nullptr}},
    };
    for (auto &c : cases) {
        install_request req = {};
        req.version = c.version;
        req.artifacts = c.arts.empty() ? nullptr : c.arts.data();
        req.count = c.arts.size();
        EXPECT_EQ(install_run(&site.cfg, &site.hf, &req, err, sizeof err), 1) << c.name;
        EXPECT_STREQ(err, "nothing to install") << c.name;
    }
    site_result r = site.install_request_of("1.0.0", std::vector<const manifest_artifact *>(33, &art));
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "too many components");
    EXPECT_EQ(site.requests(site.package_path("1.0.0", "core")), 0u);
    EXPECT_FALSE(site_exists(site.cfg.install_dir));
}

// A component list the state could not write back as it stands is refused
// before anything is downloaded: the programs would otherwise go live with
// a state that can never record them. The installation stays as it was,
// and the version is not marked.
TEST_F(Engine, ComponentListTheStateCannotRecordIsRefusedFirst)
{
    // core and eleven ids of 24 characters: 279 characters in all.
    std::vector<std::string> long_ids = {"core"};
    for (int i = 0; i < 11; i++) {
        long_ids.push_back(std::string(23, (char)('a' + i)) + "x");
        site.more_components.push_back({long_ids.back(), "T" + std::to_string(i)});
    }
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.releases.push_back(engine_site::standard_release("1.1.0", long_ids));
    site.publish();
    // Two packages of the request, the second without a component id.
    const std::string core_url = "pkgs/core-1.1.0.pkg";
    const std::string other_url = "pkgs/" + long_ids[1] + "-1.1.0.pkg";
    manifest_artifact core = {}, nameless = {};
    core.url = core_url.c_str();
    core.component = "core";
    nameless.url = other_url.c_str();
    struct {
        const char *name;
        std::vector<std::string> ids;  // the request's packages
        const char *list;              // its component list, or null for their ids
        bool no_id;                    // the core package comes without a component id
        std::string expected;
    } cases[] = {
        {"too long", long_ids, nullptr, false,
         "the list of components takes 279 characters, but the state can record at most 255; "
         "choose fewer components"},
        {"an empty id in the list", {"core", long_ids[1]}, "core,,agent", false,
         "the component list core,,agent holds an empty or invalid id, which the state cannot "
         "record"},
        {"a package without an id", {}, nullptr, true,
         "the component list core, holds an empty or invalid id, which the state cannot record"},
    };
    // The requests for the packages of 1.1.0 so far.
    auto requests_of_1_1 = [&] {
        size_t n = 0;
        for (const std::string &id : long_ids)
            n += site.requests(site.package_path("1.1.0", id));
        return n;
    };
    for (const auto &c : cases) {
        site.use_installation(c.name);
        ASSERT_EQ(site.install("1.0.0", {"core"}).rc, 0) << c.name;
        const std::vector<std::string> before = engine_site::names(site.cfg.install_dir);
        const size_t asked = requests_of_1_1();
        site_result r = c.no_id ? site.install_request_of("1.1.0", {&core, &nameless})
                                : site.install("1.1.0", c.ids, 1, c.list);
        EXPECT_EQ(r.rc, 1) << c.name;
        EXPECT_EQ(r.err, c.expected) << c.name;
        EXPECT_EQ(requests_of_1_1(), asked) << c.name << ": a package was downloaded";
        EXPECT_EQ(engine_site::names(site.cfg.install_dir), before) << c.name;
        EXPECT_EQ(read(site.bin() + "\\core_tool.exe"), tool_bytes("core", "1.0.0")) << c.name;
        updater_state st = site.state();
        EXPECT_STREQ(st.installed_version, "1.0.0") << c.name;
        EXPECT_STREQ(st.components, "core") << c.name;
        EXPECT_STREQ(st.bad_versions, "") << c.name;
    }
}

// A staging directory that cannot be made fails the run before anything is
// downloaded, and takes the "versions" directory it made with it.
TEST_F(Engine, StagingThatCannotBeMadeLeavesNoVersionsBehind)
{
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    ASSERT_TRUE(CreateDirectoryA(site.cfg.install_dir, nullptr));
    std::string staging = std::string(site.cfg.install_dir) + "/.staging-1.0.0-" +
                          std::to_string(GetCurrentProcessId());
    // A file in the way that nobody may delete while it is open.
    HANDLE h = CreateFileA(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    site_result r = site.install("1.0.0", {"core"});
    CloseHandle(h);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "cannot create " + staging);
    EXPECT_EQ(site.requests(site.package_path("1.0.0", "core")), 0u);
    EXPECT_EQ(engine_site::names(site.cfg.install_dir),
              std::vector<std::string>{".staging-1.0.0-" + std::to_string(GetCurrentProcessId())});
}

namespace {

// The unpacking of one run's packages as the engine's seam sees it: how
// many packages were unpacked at the same time at most, and one package
// whose unpacking waits until another's has ended, so that a later
// package's outcome is known first. The later one may wait for the earlier
// one's start too: its download is often done first, and it would otherwise
// be unpacked and over before the earlier one's unpacking begins.
struct unpack_watch {
    std::mutex m;
    std::condition_variable changed;
    int running = 0;             // unpackings in progress
    int most = 0;                // the most at the same time
    std::set<std::string> began; // packages whose unpacking began ("agent.pkg")
    std::set<std::string> ended; // packages whose unpacking returned
    std::string hold, until;     // hold's unpacking waits for until's end ...
    int hold_ms = 0;             // ... at most this long
    int until_waits_ms = 0;      // until's unpacking waits this long for hold's start
};
unpack_watch *watch;

// The package's name in its download's path ("...\<key>-agent.pkg").
std::string watched_name(const char *archive)
{
    std::string path = archive;
    size_t cut = path.find_last_of("/\\");
    std::string file = cut == std::string::npos ? path : path.substr(cut + 1);
    size_t dash = file.find('-');
    return dash == std::string::npos ? file : file.substr(dash + 1);
}

// unpack_tar_zstd, watched.
int watched_unpack(const char *archive, const char *dest, uint64_t limit, pkg_entry **entries,
                   size_t *count, char *err, size_t errlen)
{
    std::string name = watched_name(archive);
    {
        std::unique_lock<std::mutex> l(watch->m);
        watch->most = std::max(watch->most, ++watch->running);
        watch->began.insert(name);
        watch->changed.notify_all();
        if (name == watch->until)
            watch->changed.wait_for(l, std::chrono::milliseconds(watch->until_waits_ms),
                                    [] { return watch->began.count(watch->hold) > 0; });
        if (name == watch->hold)
            watch->changed.wait_for(l, std::chrono::milliseconds(watch->hold_ms),
                                    [] { return watch->ended.count(watch->until) > 0; });
    }
    int rc = install_win_real.unpack(archive, dest, limit, entries, count, err, errlen);
    {
        std::lock_guard<std::mutex> l(watch->m);
        watch->running--;
        watch->ended.insert(name);
    }
    watch->changed.notify_all();
    return rc;
}

// The package's tar archive again, as one frame whose decoder holds a
// window of 2^window_log bytes.
std::string rewindowed(const std::string &package, unsigned window_log)
{
    unsigned long long size = ZSTD_getFrameContentSize(package.data(), package.size());
    std::string tar(size, '\0');
    size_t n = ZSTD_decompress(&tar[0], tar.size(), package.data(), package.size());
    EXPECT_EQ(n, size);
    return test_zstd_stored(tar, window_log);
}

} // namespace

// Packages whose decoders hold small windows are unpacked several at once,
// those with large windows one after the other; either way the outcome is
// that of a run in the packages' order: a later package that fails first is
// reported only when every earlier one unpacked, was checked and merged.
TEST_F(Engine, PackagesUnpackTogetherWithinTheirDecodersMemory)
{
    seam_guard<install_win_calls> guard(install_win);
    const char *ids[] = {"core", "agent", "extras", "monitor"};
    struct {
        const char *name;
        unsigned window_log;   // 0: compressed as usual (a window of its size)
        const char *invalid;   // package that is a zstd frame but no tar archive
        const char *foreign;   // package of another component (inconsistent)
        int hold_ms;           // agent's unpacking waits this long for extras' end
        int until_waits_ms;    // extras' unpacking waits this long for agent's start
        int rc;
        const char *err;       // the start of the sentence
        int most_at_least, most_at_most;  // unpackings at the same time
    } cases[] = {
        {"small windows, all good", 0, nullptr, nullptr, 20000, 20000, 0, "", 2, 4},
        {"agent invalid, known after extras turned out inconsistent", 0, "agent", "extras",
         20000, 20000, 1, "the package for agent is invalid: the tar archive is truncated", 2, 4},
        {"extras invalid while agent is still unpacking", 0, "extras", nullptr, 20000, 20000, 1,
         "the package for extras is invalid: the tar archive is truncated", 2, 4},
        {"8 MiB windows, one after the other", 23, nullptr, nullptr, 2000, 0, 0, "", 1, 1},
    };
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    int round = 0;
    for (auto &c : cases) {
        site.use_installation(c.name);
        unpack_watch w;
        w.hold = "agent.pkg";
        w.until = "extras.pkg";
        w.hold_ms = c.hold_ms;
        w.until_waits_ms = c.until_waits_ms;
        watch = &w;
        install_win.unpack = watched_unpack;
        std::vector<own_artifact *> own;
        std::vector<const manifest_artifact *> arts;
        for (const char *id : ids) {
            std::string bytes = engine_site::standard_package("1.0.0", id);
            if (c.foreign && strcmp(c.foreign, id) == 0)
                bytes = engine_site::standard_package("1.0.0", "other");
            if (c.window_log)
                bytes = rewindowed(bytes, c.window_log);
            if (c.invalid && strcmp(c.invalid, id) == 0)
                bytes = test_zstd("this is no tar archive");
            std::string rel = "w" + std::to_string(round) + "/" + id + ".pkg";
            own.push_back(new own_artifact(site, rel, bytes, id));
            arts.push_back(&own.back()->art);
        }
        round++;

        site_result r = site.install_request_of("1.0.0", arts);
        EXPECT_EQ(r.rc, c.rc) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.name << ": " << r.err;
        EXPECT_GE(w.most, c.most_at_least) << c.name;
        EXPECT_LE(w.most, c.most_at_most) << c.name;
        EXPECT_STREQ(site.state().bad_versions, c.rc ? "1.0.0" : "") << c.name;
        // Every package was downloaded: all of them stay after a failure.
        std::vector<std::string> kept;
        if (c.rc)
            kept = {"agent.pkg", "core.pkg", "extras.pkg", "monitor.pkg"};
        EXPECT_EQ(download_names(site), kept) << c.name;
        EXPECT_EQ(site_exists(site.cfg.install_dir), c.rc == 0) << c.name;
        if (c.rc == 0) {
            for (const char *id : ids)
                EXPECT_EQ(read(site.bin() + "\\" + id + "_tool.exe"), tool_bytes(id, "1.0.0"))
                    << c.name;
        }
        watch = nullptr;
        install_win.unpack = install_win_real.unpack;
        for (own_artifact *a : own)
            delete a;
    }
}

// Packages are fetched and unpacked several at once, yet the steps, the byte
// progress and the outcome are those of a run that takes one package after
// the other: the first failure in that order is the one reported, and a
// later package's download leaves nothing behind after an earlier one failed.
TEST_F(Engine, FourPackagesReportTheirOutcomesInOrder)
{
    const char *ids[] = {"core", "agent", "extras", "monitor"};
    struct {
        const char *name;
        const char *bad_sha;   // package (component) whose signed SHA-256 is wrong
        const char *invalid;   // package that is no package
        const char *foreign;   // package of another component (inconsistent)
        const char *refused;   // package the server refuses
        int rc;
        const char *err;       // the start of the sentence
        size_t steps;          // "downloading" steps seen
        bool installing;       // the "installing" step seen
        const char *bad_versions;
        std::vector<std::string> downloads;  // what stays in the downloads directory
    } cases[] = {
        {"all four good", nullptr, nullptr, nullptr, nullptr, 0, "", 4, true, "", {}},
        {"third fails its SHA-256", "extras", nullptr, nullptr, nullptr, 1,
         "the SHA-256 of the download does not match the signed manifest", 3, false, "",
         {"agent.pkg", "core.pkg"}},
        {"second invalid, fourth refused", nullptr, "agent", nullptr, "monitor", 1,
         "cannot download https://localhost:", 4, false, "",
         {"agent.pkg", "core.pkg", "extras.pkg", "monitor.pkg.part"}},
        {"second invalid, third inconsistent", nullptr, "agent", "extras", nullptr, 1,
         "the package for agent is invalid: ", 4, true, "1.0.0",
         {"agent.pkg", "core.pkg", "extras.pkg", "monitor.pkg"}},
        {"third inconsistent", nullptr, nullptr, "extras", nullptr, 1,
         "the package for extras is inconsistent: the package is not the extras component", 4,
         true, "1.0.0", {"agent.pkg", "core.pkg", "extras.pkg", "monitor.pkg"}},
    };
    site.releases.push_back(engine_site::standard_release("1.0.0", {"core"}));
    site.publish();
    int round = 0;
    for (auto &c : cases) {
        site.use_installation(c.name);
        std::vector<own_artifact *> own;
        std::vector<const manifest_artifact *> arts;
        std::vector<std::string> paths;
        for (const char *id : ids) {
            std::string bytes = engine_site::standard_package("1.0.0", id);
            if (c.invalid && strcmp(c.invalid, id) == 0)
                bytes = "this is no package";
            if (c.foreign && strcmp(c.foreign, id) == 0)
                bytes = engine_site::standard_package("1.0.0", "other");
            std::string rel = "r" + std::to_string(round) + "/" + id + ".pkg";
            own_artifact *a = new own_artifact(site, rel, bytes, id);
            if (c.bad_sha && strcmp(c.bad_sha, id) == 0)
                a->sha = std::string(64, '0');
            a->art.sha256 = a->sha.c_str();
            paths.push_back("alpha/" + rel);
            own.push_back(a);
            arts.push_back(&a->art);
        }
        round++;
        if (c.refused)
            site.refuse(paths[3], true);

        site_result r = site.install_request_of("1.0.0", arts);
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.name << ": " << r.err;

        // Each package's step, then its bytes (none for a refused request),
        // in the packages' order.
        std::vector<std::string> want;
        for (size_t j = 0; j < c.steps; j++) {
            want.push_back("step downloading " + std::string(ids[j]) + " " + std::to_string(j) +
                           "/4");
            if (!c.refused || strcmp(c.refused, ids[j]) != 0)
                want.push_back("bytes " + std::to_string(own[j]->art.size));
        }
        if (c.installing)
            want.push_back("step installing 4/4");
        EXPECT_EQ(r.events, want) << c.name;
        EXPECT_TRUE(r.bytes_grow) << c.name;
        EXPECT_STREQ(site.state().bad_versions, c.bad_versions) << c.name;
        EXPECT_EQ(download_names(site), c.downloads) << c.name;
        EXPECT_EQ(site_exists(site.cfg.install_dir), c.rc == 0) << c.name;
        if (c.rc == 0) {
            for (const char *id : ids)
                EXPECT_EQ(read(site.bin() + "\\" + id + "_tool.exe"), tool_bytes(id, "1.0.0"))
                    << c.name;
        }
        if (c.refused)
            site.refuse(paths[3], false);
        for (own_artifact *a : own)
            delete a;
    }
}
