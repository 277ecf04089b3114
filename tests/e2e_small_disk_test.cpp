// resource-lock: orvantis-sched
// resource-lock: product-programs
// small disk
// orv_setup.exe on a disk that really fills up (a tmpfs of 8 MiB that
// support/small_disk.sh mounts for this test): while a package is
// downloaded, unpacked or switched live, a full disk is said as such, the
// version is not marked as failed however often the run is tried again,
// and the installed version stays live and recorded.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine_site.h"
#include "run_win.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// size bytes that no compression makes smaller.
std::string random_bytes(size_t size)
{
    std::mt19937 gen(size);
    std::string out(size, '\0');
    for (char &c : out)
        c = (char)(gen() & 0xff);
    return out;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(SmallDisk, AFullDiskMarksNothing)
{
    const char *disk = getenv("ORV_SMALL_DISK");
    if (!disk) {
        const char *why = getenv("ORV_SMALL_DISK_REFUSED");
        GTEST_SKIP() << (why ? why : "ORV_SMALL_DISK is not set: run it through ctest");
    }
    ASSERT_TRUE(srv_ready());
    engine_site site("smalldisk");
    const size_t MiB = 1024 * 1024;
    struct {
        const char *name;
        bool state_on_disk;    // the downloads fill the disk
        bool install_on_disk;  // the version directory and bin do
        size_t data;           // bytes of a data file in the new version's bin
    } cases[] = {
        {"download", true, false, 12 * MiB},
        {"unpack", false, true, 12 * MiB},
        // Room for the version's directory, not for its copy in bin.
        {"switch", false, true, 4 * MiB},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        site_release next = engine_site::standard_release("2.0.0", {"core"});
        next.packages[0].bytes = engine_site::standard_package(
            "2.0.0", "core", {}, {{"bin/data.bin", random_bytes(c.data), '0', 0644}});
        site.releases = {engine_site::standard_release("1.0.0", {"core"}), next};
        site.publish();
        site.use_installation(c.name);
        const std::string small = std::string(disk) + "\\" + c.name;
        if (c.install_on_disk)
            snprintf(site.cfg.install_dir, sizeof site.cfg.install_dir, "%s\\inst", small.c_str());
        if (c.state_on_disk)
            snprintf(site.cfg.state_dir, sizeof site.cfg.state_dir, "%s\\state", small.c_str());
        const std::vector<std::string> opts = site.setup_options(site.root + "\\root");
        std::vector<std::string> first = opts;
        first.insert(first.end(), {"--to", "1.0.0"});
        test_proc r = test_run_setup(first, 120000);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

        // Tried again and again, as a scheduled run would.
        for (int run = 0; run < 3; run++) {
            r = test_run_setup(opts, 120000);
            EXPECT_EQ(r.exit_code, 1) << run << ": " << r.out << r.err;
            EXPECT_TRUE(has(r.err, "Der Datenträger ist voll. Bitte Platz schaffen und erneut "
                                   "versuchen"))
                << run << ": " << r.err;
            updater_state st = site.state();
            EXPECT_STREQ(st.bad_versions, "") << run;
            EXPECT_STREQ(st.installed_version, "1.0.0") << run;
            EXPECT_EQ(site.live_version({"core_tool.exe"}), "1.0.0") << run;
        }
        std::error_code ec;
        std::filesystem::remove_all(small, ec);
    }
}
