// The install engine's decisions without files: the component list of a
// request, the names in step texts, the size rule of PACKAGE.json, how an
// entry merges with what is merged already, the growth of the merged list,
// id lists and the releases the scheduled runs look for.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "install.h"

namespace {

manifest_artifact art(const char *component)
{
    manifest_artifact a = {};
    a.component = component;
    return a;
}

pkg_entry entry(const char *path, int is_dir, uint8_t hash = 0)
{
    pkg_entry e = {};
    snprintf(e.path, sizeof e.path, "%s", path);
    e.is_dir = is_dir;
    if (!is_dir)
        memset(e.sha256, hash, sizeof e.sha256);
    return e;
}

} // namespace

TEST(Install, ComponentListIsTheRequestsOrTheArtifactsIds)
{
    manifest_artifact core = art("core"), none = art(nullptr), agent = art("agent");
    const manifest_artifact *arts[] = {&core, &none, &agent};
    struct {
        const char *name;
        size_t count;
        const char *list;
        size_t size;
        const char *expected;
        size_t whole;  // the length of the whole list
    } cases[] = {
        {"the request's list wins", 3, "x,y", 256, "x,y", 3},
        {"ids joined, none adds an empty text", 3, nullptr, 256, "core,,agent", 11},
        {"one id", 1, nullptr, 256, "core", 4},
        {"no artifacts", 0, nullptr, 256, "", 0},
        {"cut at the buffer", 3, nullptr, 8, "core,,a", 11},
        {"cut inside the first id", 1, nullptr, 3, "co", 4},
        {"the request's list cut", 3, "core,agent", 5, "core", 10},
    };
    for (auto &c : cases) {
        char out[256];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(install_component_list(arts, c.count, c.list, out, c.size), c.whole) << c.name;
        EXPECT_STREQ(out, c.expected) << c.name;
    }
    manifest_artifact nobody = art(nullptr);
    EXPECT_STREQ(install_artifact_name(&nobody), "package");
    EXPECT_STREQ(install_artifact_name(&core), "core");
}

TEST(Install, PackageJsonHoldsOneTo65535Bytes)
{
    struct {
        uint64_t len;
        const char *expected;  // null: fine
    } cases[] = {
        {0, "PACKAGE.json is empty"},
        {1, nullptr},
        {65535, nullptr},
        {65536, "PACKAGE.json is larger than 65535 bytes"},
    };
    for (auto &c : cases) {
        const char *got = install_json_size_reason(c.len);
        if (c.expected)
            EXPECT_STREQ(got, c.expected) << c.len;
        else
            EXPECT_EQ(got, nullptr) << c.len;
    }
}

TEST(Install, MergePlanAgainstWhatIsMerged)
{
    install_merged m = {};
    pkg_entry had[] = {entry("bin", 1), entry("bin/tool.exe", 0, 1), entry("README.txt", 0, 2)};
    for (auto &e : had)
        ASSERT_EQ(install_merged_add(&m, &e), 0);
    struct {
        const char *name;
        pkg_entry e;
        int expected;
    } cases[] = {
        {"own PACKAGE.json", entry("PACKAGE.json", 0, 9), MERGE_SKIP},
        {"a directory called PACKAGE.json is merged", entry("PACKAGE.json", 1), MERGE_NEW_DIR},
        {"nested PACKAGE.json is a file like others", entry("doc/PACKAGE.json", 0, 3),
         MERGE_NEW_FILE},
        {"directory merged before", entry("bin", 1), MERGE_DIR_AGAIN},
        {"same file, same hash", entry("README.txt", 0, 2), MERGE_SAME_FILE},
        {"same file, other hash", entry("README.txt", 0, 7), MERGE_CONFLICT},
        {"a file where a directory was merged", entry("bin", 0, 2), MERGE_CONFLICT},
        {"a directory where a file was merged", entry("bin/tool.exe", 1), MERGE_DIR_AGAIN},
        {"paths compare exactly", entry("bin/Tool.exe", 0, 1), MERGE_NEW_FILE},
        {"new directory", entry("docs", 1), MERGE_NEW_DIR},
        {"new file", entry("bin/other.exe", 0, 1), MERGE_NEW_FILE},
    };
    for (auto &c : cases)
        EXPECT_EQ(install_merge_plan(&m, &c.e), c.expected) << c.name;
    install_merged_free(&m);
    EXPECT_EQ(m.items, nullptr);
    EXPECT_EQ(m.count, 0u);
}

TEST(Install, MergedListGrowsFrom64ByDoubling)
{
    install_merged m = {};
    std::vector<size_t> capacities;
    for (int i = 0; i < 300; i++) {
        pkg_entry e = entry(("f" + std::to_string(i)).c_str(), 0, (uint8_t)i);
        ASSERT_EQ(install_merged_add(&m, &e), 0);
        if (capacities.empty() || capacities.back() != m.capacity)
            capacities.push_back(m.capacity);
    }
    EXPECT_EQ(capacities, (std::vector<size_t>{64, 128, 256, 512}));
    EXPECT_EQ(m.count, 300u);
    EXPECT_EQ(install_merged_find(&m, "f0"), 0);
    EXPECT_EQ(install_merged_find(&m, "f299"), 299);
    EXPECT_EQ(install_merged_find(&m, "f300"), -1);
    EXPECT_EQ(m.items[150].sha256[0], 150);
    install_merged_free(&m);
}

TEST(Install, SplitIdsSkipsEmptyOnesAndStopsAtTheCap)
{
    struct {
        const char *text;
        size_t cap;
        std::vector<std::string> expected;
    } cases[] = {
        {"core,agent,restore", 32, {"core", "agent", "restore"}},
        {"", 32, {}},
        {nullptr, 32, {}},
        {",core,,agent,", 32, {"core", "agent"}},
        {"a,b,c", 2, {"a", "b"}},
    };
    for (auto &c : cases) {
        char buf[256];
        const char *ids[32];
        size_t n = install_split_ids(c.text, buf, sizeof buf, ids, c.cap);
        std::vector<std::string> got(ids, ids + n);
        EXPECT_EQ(got, c.expected) << (c.text ? c.text : "(null)");
    }
}

TEST(Install, NewestAndExactRelease)
{
    manifest_release rel[4] = {};
    const char *versions[] = {"1.2.0", "1.10.0", "1.10.0-beta.1", "1.10.0"};
    for (int i = 0; i < 4; i++)
        rel[i].version = versions[i];
    manifest m = {};
    m.releases = rel;
    m.release_count = 4;
    // SemVer order, not text order; the first of two equal versions.
    EXPECT_EQ(install_newest_release(&m), &rel[1]);
    EXPECT_EQ(install_find_release(&m, "1.10.0-beta.1"), &rel[2]);
    EXPECT_EQ(install_find_release(&m, "1.10"), nullptr);
    m.release_count = 0;
    EXPECT_EQ(install_newest_release(&m), nullptr);
}
