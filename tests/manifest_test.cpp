// Update manifest: parsing and its refusals, the document checks, artifact
// matching against fixed host facts, and the release choice.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "manifest.h"

namespace {

// Members of a JSON object in order; each value is JSON text.
typedef std::vector<std::pair<std::string, std::string>> members;

// A value that with() treats as "leave the member out".
const char *const OMIT = "\x01omit";

std::string obj(const members &m)
{
    std::string s = "{";
    for (auto &kv : m) {
        if (s.size() > 1)
            s += ",";
        s += "\"" + kv.first + "\":" + kv.second;
    }
    return s + "}";
}

// m with key set to value (replaced in place, or appended), or removed for OMIT.
members with(members m, const std::string &key, const std::string &value)
{
    for (auto it = m.begin(); it != m.end(); ++it)
        if (it->first == key) {
            if (value == OMIT)
                m.erase(it);
            else
                it->second = value;
            return m;
        }
    if (value != OMIT)
        m.push_back({key, value});
    return m;
}

std::string q(const std::string &s)
{
    return "\"" + s + "\"";
}

std::string array_of(const std::string &item, size_t n)
{
    std::string s = "[";
    for (size_t i = 0; i < n; i++)
        s += (i ? "," : "") + item;
    return s + "]";
}

const std::string SHA = std::string(64, 'a');

members artifact()
{
    return {{"url", q("pkgs/a.pkg")},
            {"sha256", q(SHA)},
            {"size", "100"},
            {"match", "{\"os\":\"windows\",\"arch\":\"x86_64\"}"}};
}

members release(const members &art = artifact())
{
    return {{"version", q("2.0.0")}, {"artifacts", "[" + obj(art) + "]"}};
}

members document(const members &rel = release())
{
    return {{"schema", "1"},
            {"product", q("orvantis")},
            {"channel", q("stable")},
            {"sequence", "5"},
            {"issued", q("2026-01-01T00:00:00Z")},
            {"expires", q("2026-02-01T00:00:00Z")},
            {"releases", "[" + obj(rel) + "]"}};
}

const int64_t ISSUED = 1767225600;            // 2026-01-01T00:00:00Z
const int64_t EXPIRES = ISSUED + 31 * 86400;  // 2026-02-01T00:00:00Z

// Parses text; the error text on failure, "" on success (m then filled).
std::string parse(const std::string &text, manifest *m)
{
    char err[300];
    memset(err, 'Z', sizeof err);
    int rc = manifest_parse(text.data(), text.size(), m, err, sizeof err);
    if (rc == 0)
        return "";
    EXPECT_EQ(rc, -1);
    return err[0] ? err : "(no message)";
}

bool is_zero(const manifest &m)
{
    manifest z;
    memset(&z, 0, sizeof z);
    return memcmp(&m, &z, sizeof m) == 0;
}

host_facts windows_host()
{
    host_facts h;
    memset(&h, 0, sizeof h);
    strcpy(h.os, "windows");
    strcpy(h.arch, "x86_64");
    h.build = 22631;
    h.server = 0;
    return h;
}

host_facts linux_host()
{
    host_facts h;
    memset(&h, 0, sizeof h);
    strcpy(h.os, "linux");
    strcpy(h.arch, "x86_64");
    strcpy(h.id, "ubuntu");
    strcpy(h.id_like, "debian");
    strcpy(h.version_id, "24.04");
    strcpy(h.glibc, "2.39");
    return h;
}

}  // namespace

TEST(Manifest, RefusesFaultyDocuments)
{
    members a = artifact(), r = release(), d = document();
    auto doc = [&](const std::string &k, const std::string &v) { return obj(with(d, k, v)); };
    auto rel = [&](const std::string &k, const std::string &v) {
        return obj(with(d, "releases", "[" + obj(with(r, k, v)) + "]"));
    };
    auto art = [&](const std::string &k, const std::string &v) {
        return obj(document(release(with(a, k, v))));
    };
    const std::string bad_url = "artifact has a missing or unsafe url ()";
    const std::string no_sha = "artifact pkgs/a.pkg has no valid sha256";
    const std::string no_size = "artifact pkgs/a.pkg has no valid size";
    const std::string no_match = "artifact pkgs/a.pkg has no match object";
    const std::string bad_comp = "artifact pkgs/a.pkg has an invalid component id";
    struct {
        const char *name;
        std::string text, expected;
    } cases[] = {
        {"empty text", "", "manifest is not valid JSON: unexpected end at byte 0"},
        {"trailing data", obj(d) + "x",
         "manifest is not valid JSON: unexpected data after the document at byte " +
             std::to_string(obj(d).size())},
        {"root is an array", "[1]", "unsupported manifest schema"},
        {"schema 2", doc("schema", "2"), "unsupported manifest schema"},
        {"schema 1.0", doc("schema", "1.0"), "unsupported manifest schema"},
        {"schema as text", doc("schema", q("1")), "unsupported manifest schema"},
        {"no schema", doc("schema", OMIT), "unsupported manifest schema"},
        {"no product", doc("product", OMIT), "manifest lacks product, channel or sequence"},
        {"product a number", doc("product", "1"), "manifest lacks product, channel or sequence"},
        {"no channel", doc("channel", OMIT), "manifest lacks product, channel or sequence"},
        {"sequence -1", doc("sequence", "-1"), "manifest lacks product, channel or sequence"},
        {"sequence 1.5", doc("sequence", "1.5"), "manifest lacks product, channel or sequence"},
        {"sequence as text", doc("sequence", q("5")), "manifest lacks product, channel or sequence"},
        {"issued missing", doc("issued", OMIT), "manifest lacks valid issued/expires times"},
        {"issued with offset", doc("issued", q("2026-01-01T00:00:00+00:00")),
         "manifest lacks valid issued/expires times"},
        {"expires a number", doc("expires", "1767225600"), "manifest lacks valid issued/expires times"},
        {"issued equals expires", doc("expires", q("2026-01-01T00:00:00Z")),
         "manifest lacks valid issued/expires times"},
        {"issued after expires", doc("expires", q("2025-12-31T23:59:59Z")),
         "manifest lacks valid issued/expires times"},
        {"blocked entry invalid", doc("blocked_versions", "[\"1.0.0\",\"1.2\"]"),
         "invalid entry in blocked_versions"},
        {"blocked entry a number", doc("blocked_versions", "[5]"), "invalid entry in blocked_versions"},
        {"no releases key", doc("releases", OMIT), "manifest has no releases"},
        {"releases empty", doc("releases", "[]"), "manifest has no releases"},
        {"releases an object", doc("releases", obj(r)), "manifest has no releases"},
        {"513 releases", doc("releases", array_of(obj(r), 513)), "manifest has no releases"},
        {"release without version", rel("version", OMIT), "release with an invalid version ()"},
        {"release version with v", rel("version", q("v2.0.0")), "release with an invalid version (v2.0.0)"},
        {"release not an object", doc("releases", "[1]"), "release with an invalid version ()"},
        {"min_updater invalid", rel("min_updater", q("2.0")), "release 2.0.0 has an invalid min_updater"},
        {"rollout 101", rel("rollout_percent", "101"), "release 2.0.0 has an invalid rollout_percent"},
        {"rollout -1", rel("rollout_percent", "-1"), "release 2.0.0 has an invalid rollout_percent"},
        {"rollout 50.0", rel("rollout_percent", "50.0"), "release 2.0.0 has an invalid rollout_percent"},
        {"rollout as text", rel("rollout_percent", q("50")), "release 2.0.0 has an invalid rollout_percent"},
        {"rollout null", rel("rollout_percent", "null"), "release 2.0.0 has an invalid rollout_percent"},
        {"no artifacts key", rel("artifacts", OMIT), "release 2.0.0 has no artifacts"},
        {"artifacts empty", rel("artifacts", "[]"), "release 2.0.0 has no artifacts"},
        {"65 artifacts", rel("artifacts", array_of(obj(a), 65)), "release 2.0.0 has no artifacts"},
        {"url missing", art("url", OMIT), bad_url},
        {"url a number", art("url", "7"), bad_url},
        {"url empty", art("url", q("")), bad_url},
        {"sha256 missing", art("sha256", OMIT), no_sha},
        {"sha256 63 digits", art("sha256", q(std::string(63, 'a'))), no_sha},
        {"sha256 65 digits", art("sha256", q(std::string(65, 'a'))), no_sha},
        {"sha256 not hex", art("sha256", q(std::string(63, 'a') + "g")), no_sha},
        {"size missing", art("size", OMIT), no_size},
        {"size 0", art("size", "0"), no_size},
        {"size 2147483649", art("size", "2147483649"), no_size},
        {"size 1.5", art("size", "1.5"), no_size},
        {"size as text", art("size", q("100")), no_size},
        {"match missing", art("match", OMIT), no_match},
        {"match an array", art("match", "[]"), no_match},
        {"component in capitals", art("component", q("Agent")), bad_comp},
        {"component with a digit first", art("component", q("1agent")), bad_comp},
        {"component of 32 characters", art("component", q(std::string(32, 'c'))), bad_comp},
        {"component a number", art("component", "5"), bad_comp},
        {"component null", art("component", "null"), bad_comp},
    };
    for (auto &c : cases) {
        manifest m;
        memset(&m, 0x5a, sizeof m);
        EXPECT_EQ(parse(c.text, &m), c.expected) << c.name;
        EXPECT_TRUE(is_zero(m)) << c.name;
    }
}

TEST(Manifest, FailureLateInTheDocumentReleasesEverything)
{
    // The third release's second artifact is faulty: two full releases and a
    // partial one are built before it, and the sanitizer build sees no leak.
    members bad = with(artifact(), "size", "0");
    std::string arts = "[" + obj(artifact()) + "," + obj(bad) + "]";
    std::string r = obj(release());
    members d = with(document(), "blocked_versions", "[\"1.0.0\",\"1.1.0\"]");
    d = with(d, "releases", "[" + r + "," + r + "," + obj(with(release(), "artifacts", arts)) + "]");
    manifest m;
    EXPECT_EQ(parse(obj(d), &m), "artifact pkgs/a.pkg has no valid size");
    EXPECT_TRUE(is_zero(m));
    manifest_free(&m);  // a zeroed record is accepted
    manifest_free(NULL);
}

TEST(Manifest, ReadsFieldsAndDefaults)
{
    members a1 = with(with(with(artifact(), "component", q("core-agent_2")), "bundled_libs", "true"),
                      "requires", "{\"x\":1}");
    members a2 = with(with(with(artifact(), "sha256", q(std::string(64, 'F'))), "size", "2147483648"),
                      "bundled_libs", q("yes"));
    members r1 = with(with(with(release(), "notes", q("fixes")), "min_updater", q("1.5.0")),
                      "rollout_percent", "0");
    r1 = with(r1, "artifacts", "[" + obj(a1) + "," + obj(a2) + "]");
    // Wrong types of the optional keys count as absent.
    members r2 = with(with(with(release(), "version", q("1.0.0-rc.1")), "notes", "5"), "min_updater", "7");
    members d = with(document(), "blocked_versions", "[\"1.0.0\"]");
    d = with(with(d, "releases", "[" + obj(r1) + "," + obj(r2) + "]"), "extra", "{}");
    manifest m;
    ASSERT_EQ(parse(obj(d), &m), "");
    EXPECT_STREQ(m.product, "orvantis");
    EXPECT_STREQ(m.channel, "stable");
    EXPECT_EQ(m.sequence, 5);
    EXPECT_EQ(m.issued, ISSUED);
    EXPECT_EQ(m.expires, EXPIRES);
    ASSERT_EQ(m.blocked_count, 1u);
    EXPECT_STREQ(m.blocked_versions[0], "1.0.0");
    ASSERT_EQ(m.release_count, 2u);
    const manifest_release &x = m.releases[0], &y = m.releases[1];
    EXPECT_STREQ(x.version, "2.0.0");
    EXPECT_STREQ(x.notes, "fixes");
    EXPECT_STREQ(x.min_updater, "1.5.0");
    EXPECT_EQ(x.rollout_percent, 0u);
    ASSERT_EQ(x.artifact_count, 2u);
    EXPECT_STREQ(x.artifacts[0].url, "pkgs/a.pkg");
    EXPECT_STREQ(x.artifacts[0].component, "core-agent_2");
    EXPECT_EQ(x.artifacts[0].bundled_libs, 1);
    EXPECT_EQ(json_kind(x.artifacts[0].requires), JSON_OBJECT);
    EXPECT_EQ(json_kind(x.artifacts[0].match), JSON_OBJECT);
    EXPECT_EQ(x.artifacts[0].size, 100u);
    EXPECT_EQ(x.artifacts[1].size, 2147483648u);
    EXPECT_EQ(x.artifacts[1].sha256, std::string(64, 'F'));
    EXPECT_EQ(x.artifacts[1].bundled_libs, 0);
    EXPECT_EQ(x.artifacts[1].component, nullptr);
    EXPECT_EQ(x.artifacts[1].requires, nullptr);
    EXPECT_STREQ(y.version, "1.0.0-rc.1");
    EXPECT_EQ(y.notes, nullptr);
    EXPECT_EQ(y.min_updater, nullptr);
    EXPECT_EQ(y.rollout_percent, 100u);
    manifest_free(&m);
    EXPECT_TRUE(is_zero(m));
}

TEST(Manifest, AcceptsTheEdgesOfItsLimits)
{
    struct {
        const char *name;
        std::string text;
    } cases[] = {
        {"sequence 0", obj(with(document(), "sequence", "0"))},
        {"512 releases", obj(with(document(), "releases", array_of(obj(release()), 512)))},
        {"64 artifacts", obj(document(with(release(), "artifacts", array_of(obj(artifact()), 64))))},
        {"blocked list not an array", obj(with(document(), "blocked_versions", q("2.0.0")))},
        {"empty blocked list", obj(with(document(), "blocked_versions", "[]"))},
    };
    for (auto &c : cases) {
        manifest m;
        EXPECT_EQ(parse(c.text, &m), "") << c.name;
        manifest_free(&m);
    }
}

TEST(Manifest, ArtifactUrls)
{
    struct {
        std::string url;
        bool ok;
    } cases[] = {
        {"https://updates.example.org/stable/a.pkg", true},
        {"https://h", true},
        {"pkgs/a.pkg", true},
        {"./a.pkg", true},
        {"a/./b", true},
        {"..x", true},
        {"a/..b/c", true},
        {"a\x7f", true},
        {"https://", false},
        {"HTTPS://updates.example.org/a.pkg", false},
        {"http://updates.example.org/a.pkg", false},
        {"ftp://h/a", false},
        {"a://b", false},
        {"/abs", false},
        {"//evil.example/a", false},
        {"../a", false},
        {"a/../b", false},
        {"..", false},
        {"a/..", false},
        {"a b", false},
        {"a\\b", false},
        {"a\tb", false},
        {"a\x80", true},
        {std::string(2000, 'u'), true},
        {std::string(2001, 'u'), false},
    };
    for (auto &c : cases) {
        std::string esc;
        for (char ch : c.url) {
            char buf[8];
            if ((unsigned char)ch < 0x20 || ch == '\\' || ch == '"') {
                snprintf(buf, sizeof buf, "\\u%04x", (unsigned char)ch);
                esc += buf;
            } else {
                esc += ch;
            }
        }
        manifest m;
        std::string got = parse(obj(document(release(with(artifact(), "url", q(esc))))), &m);
        std::string want = c.ok ? "" : "artifact has a missing or unsafe url (" + c.url + ")";
        EXPECT_EQ(got.substr(0, 200), want.substr(0, 200)) << c.url.substr(0, 60);
        manifest_free(&m);
    }
}

TEST(Manifest, Ids)
{
    struct {
        const char *id;
        int narrow, wide;
    } cases[] = {
        {"agent", 1, 1},
        {"a", 1, 1},
        {"core-agent_2", 1, 1},
        {"z9-_", 1, 1},
        {"1agent", 0, 1},
        {"9", 0, 1},
        {"Agent", 0, 0},
        {"agenT", 0, 0},
        {"_agent", 0, 0},
        {"-agent", 0, 0},
        {"age nt", 0, 0},
        {"agent.x", 0, 0},
        {"", 0, 0},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 1, 1},   // 31
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, 1},  // 32
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, 1},   // 63
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, 0},  // 64
        {"\xc3\xa4gent", 0, 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(id_is_valid(c.id), c.narrow) << c.id;
        EXPECT_EQ(id_is_valid_64(c.id), c.wide) << c.id;
    }
    EXPECT_EQ(id_is_valid(NULL), 0);
    EXPECT_EQ(id_is_valid_64(NULL), 0);
}

TEST(Manifest, CheckAgainstThisInstallation)
{
    manifest m;
    ASSERT_EQ(parse(obj(document()), &m), "");
    struct {
        const char *name, *product, *channel;
        int64_t now, last_sequence;
        const char *expected;  // null: accepted
    } cases[] = {
        {"accepted", "orvantis", "stable", ISSUED + 10, 4, NULL},
        {"equal sequence", "orvantis", "stable", ISSUED, 5, NULL},
        {"other product", "other", "stable", ISSUED, 0, "manifest is for another product (orvantis)"},
        {"other channel", "orvantis", "beta", ISSUED, 0, "manifest is for another channel (stable)"},
        {"channel differs in case", "orvantis", "Stable", ISSUED, 0,
         "manifest is for another channel (stable)"},
        {"expires now", "orvantis", "stable", EXPIRES, 0,
         "manifest has expired (the update server may be stale or replaying old data)"},
        {"expired long ago", "orvantis", "stable", INT64_MAX, 0,
         "manifest has expired (the update server may be stale or replaying old data)"},
        {"one second before expiry", "orvantis", "stable", EXPIRES - 1, 0, NULL},
        {"issued a day ahead", "orvantis", "stable", ISSUED - 86400, 0, NULL},
        {"issued a day and a second ahead", "orvantis", "stable", ISSUED - 86401, 0,
         "manifest was issued in the future (check the system clock)"},
        {"clock far behind", "orvantis", "stable", INT64_MIN, 0,
         "manifest was issued in the future (check the system clock)"},
        {"replay", "orvantis", "stable", ISSUED, 6, "manifest is older than one already seen (replay)"},
    };
    for (auto &c : cases) {
        char err[200] = "";
        int rc = manifest_check(&m, c.product, c.channel, c.now, c.last_sequence, err, sizeof err);
        EXPECT_EQ(rc, c.expected ? -1 : 0) << c.name;
        EXPECT_STREQ(err, c.expected ? c.expected : "") << c.name;
    }
    EXPECT_EQ(manifest_check(&m, "x", "stable", ISSUED, 0, NULL, 0), -1);
    manifest_free(&m);
}

TEST(Manifest, ArtifactMatchAndScore)
{
    host_facts win = windows_host(), lin = linux_host();
    host_facts nobuild = windows_host();
    nobuild.build = 0;
    host_facts server = windows_host();
    server.server = 1;
    host_facts rhel = linux_host();
    rhel.id[0] = '\0';
    strcpy(rhel.id_like, "rhel  fedora");
    struct {
        const char *name;
        const host_facts *host;
        const char *match;
        int ok, score;
    } cases[] = {
        {"os and arch", &win, "{\"os\":\"windows\",\"arch\":\"x86_64\"}", 1, 1},
        {"os alone", &win, "{\"os\":\"windows\"}", 1, 0},
        {"server false, priority 2", &win,
         "{\"os\":\"windows\",\"arch\":\"x86_64\",\"server\":false,\"priority\":2}", 1, 202},
        {"priority -1000", &win, "{\"priority\":-1000,\"os\":\"windows\"}", 1, -100000},
        {"priority 1000 and every build key", &win,
         "{\"os\":\"windows\",\"priority\":1000,\"build_min\":22631,\"build_max\":22631}", 1, 100002},
        {"arch without os", &win, "{\"arch\":\"x86_64\"}", 0, 0},
        {"empty match", &win, "{}", 0, 0},
        {"other os", &win, "{\"os\":\"linux\"}", 0, 0},
        {"os in capitals", &win, "{\"os\":\"Windows\"}", 0, 0},
        {"other arch", &win, "{\"os\":\"windows\",\"arch\":\"arm64\"}", 0, 0},
        {"os as a list", &win, "{\"os\":[\"windows\"]}", 0, 0},
        {"distro on windows", &win, "{\"os\":\"windows\",\"distro\":[\"ubuntu\"]}", 0, 0},
        {"versions on windows", &win, "{\"os\":\"windows\",\"versions\":[\"\"]}", 0, 0},
        {"glibc on windows", &win, "{\"os\":\"windows\",\"glibc_min\":\"0\"}", 0, 0},
        {"priority 1001", &win, "{\"os\":\"windows\",\"priority\":1001}", 0, 0},
        {"priority 1.5", &win, "{\"os\":\"windows\",\"priority\":1.5}", 0, 0},
        {"unknown key", &win, "{\"os\":\"windows\",\"color\":\"red\"}", 0, 0},
        {"build_min met", &win, "{\"os\":\"windows\",\"build_min\":22000}", 1, 1},
        {"build_min missed", &win, "{\"os\":\"windows\",\"build_min\":22632}", 0, 0},
        {"build_max missed", &win, "{\"os\":\"windows\",\"build_max\":22000}", 0, 0},
        {"build_min as text", &win, "{\"os\":\"windows\",\"build_min\":\"22000\"}", 0, 0},
        {"build unknown, build_min 0", &nobuild, "{\"os\":\"windows\",\"build_min\":0}", 0, 0},
        {"build unknown, build_max", &nobuild, "{\"os\":\"windows\",\"build_max\":99999}", 0, 0},
        {"server wanted, workstation", &win, "{\"os\":\"windows\",\"server\":true}", 0, 0},
        {"server wanted, server", &server, "{\"os\":\"windows\",\"server\":true}", 1, 1},
        {"server as number", &server, "{\"os\":\"windows\",\"server\":1}", 0, 0},
        {"distro by id", &lin, "{\"os\":\"linux\",\"distro\":[\"fedora\",\"ubuntu\"]}", 1, 1},
        {"distro by id_like", &lin, "{\"os\":\"linux\",\"distro\":[\"debian\"]}", 1, 1},
        {"distro missed", &lin, "{\"os\":\"linux\",\"distro\":[\"fedora\"]}", 0, 0},
        {"distro as text", &lin, "{\"os\":\"linux\",\"distro\":\"ubuntu\"}", 0, 0},
        {"distro word of id_like", &rhel, "{\"os\":\"linux\",\"distro\":[\"fedora\"]}", 1, 1},
        {"empty entry, empty id", &rhel, "{\"os\":\"linux\",\"distro\":[\"\"]}", 0, 0},
        {"part of a word", &rhel, "{\"os\":\"linux\",\"distro\":[\"fed\"]}", 0, 0},
        {"versions", &lin, "{\"os\":\"linux\",\"versions\":[\"22.04\",\"24.04\"]}", 1, 1},
        {"versions missed", &lin, "{\"os\":\"linux\",\"versions\":[\"24.10\"]}", 0, 0},
        {"glibc older minimum", &lin, "{\"os\":\"linux\",\"glibc_min\":\"2.4\"}", 1, 1},
        {"glibc equal minimum", &lin, "{\"os\":\"linux\",\"glibc_min\":\"2.39.0\"}", 1, 1},
        {"glibc newer minimum", &lin, "{\"os\":\"linux\",\"glibc_min\":\"2.40\"}", 0, 0},
        {"every linux key", &lin,
         "{\"os\":\"linux\",\"arch\":\"x86_64\",\"distro\":[\"debian\"],\"versions\":[\"24.04\"],"
         "\"glibc_min\":\"2.17\",\"priority\":-3}",
         1, -296},
    };
    for (auto &c : cases) {
        json_value *match = NULL;
        char err[100];
        ASSERT_EQ(json_parse(c.match, strlen(c.match), &match, err, sizeof err), 0) << c.name;
        manifest_artifact a;
        memset(&a, 0, sizeof a);
        a.match = match;
        int score = 12345;
        EXPECT_EQ(artifact_match(&a, c.host, &score), c.ok) << c.name;
        EXPECT_EQ(score, c.score) << c.name;
        EXPECT_EQ(artifact_match(&a, c.host, NULL), c.ok) << c.name;
        json_free(match);
    }
}

TEST(Manifest, VersionCmpNumeric)
{
    struct {
        const char *a, *b;
        int expected;
    } cases[] = {
        {"2.31", "2.4", 1},
        {"2.4", "2.31", -1},
        {"2.4", "2.4.0", 0},
        {"2.4", "2.4.1", -1},
        {"2.4.1", "2.4", 1},
        {"1.10", "1.9", 1},
        {"3", "2.99", 1},
        {"", "0", 0},
        {"", "0.0.1", -1},
        {"2.x", "2.0.5", -1},
        {"2..5", "2.0.5", 0},
        {"02.1", "2.1", 0},
        {"4294967296", "4294967295", 0},
        {"99999999999", "4294967295", 0},
        {" 2.4", "2.4", 0},
        {NULL, "0", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(version_cmp_numeric(c.a, c.b), c.expected)
            << (c.a ? c.a : "(null)") << " vs " << c.b;
}

TEST(Manifest, ChooseBestArtifact)
{
    host_facts win = windows_host();
    struct {
        const char *name;
        std::vector<const char *> matches;
        int expected;  // index, or -1 for none
    } cases[] = {
        {"equal scores keep the earlier", {"{\"os\":\"windows\"}", "{\"os\":\"windows\"}"}, 0},
        {"higher score later", {"{\"os\":\"windows\"}", "{\"os\":\"windows\",\"arch\":\"x86_64\"}"}, 1},
        {"priority beats members",
         {"{\"os\":\"windows\",\"arch\":\"x86_64\",\"server\":false}", "{\"os\":\"windows\",\"priority\":1}"},
         1},
        {"lowest priority still matches", {"{\"os\":\"linux\"}", "{\"os\":\"windows\",\"priority\":-1000}"}, 1},
        {"nothing matches", {"{\"os\":\"linux\"}", "{\"arch\":\"x86_64\"}"}, -1},
    };
    for (auto &c : cases) {
        std::string arts = "[";
        for (size_t i = 0; i < c.matches.size(); i++)
            arts += (i ? "," : "") + obj(with(artifact(), "match", c.matches[i]));
        manifest m;
        ASSERT_EQ(parse(obj(document(with(release(), "artifacts", arts + "]"))), &m), "") << c.name;
        const manifest_artifact *best = artifact_choose_best(&m.releases[0], &win, NULL);
        if (c.expected < 0)
            EXPECT_EQ(best, nullptr) << c.name;
        else
            EXPECT_EQ(best, &m.releases[0].artifacts[c.expected]) << c.name;
        manifest_free(&m);
    }
}

namespace {

// One release of a test document.
struct rel_row {
    const char *version;
    int rollout;              // -1: no rollout_percent
    const char *min_updater;  // null: none
    const char *os;           // the artifact's os
};

std::string releases_doc(const std::vector<rel_row> &rels, const char *blocked)
{
    std::string list = "[";
    for (size_t i = 0; i < rels.size(); i++) {
        const rel_row &r = rels[i];
        members a = with(artifact(), "match", "{\"os\":" + q(r.os ? r.os : "windows") + "}");
        members m = with(release(a), "version", q(r.version));
        if (r.rollout >= 0)
            m = with(m, "rollout_percent", std::to_string(r.rollout));
        if (r.min_updater)
            m = with(m, "min_updater", q(r.min_updater));
        list += (i ? "," : "") + obj(m);
    }
    members d = with(document(), "releases", list + "]");
    if (blocked)
        d = with(d, "blocked_versions", blocked);
    return obj(d);
}

const char MAJOR_2[] =
    "2.0.0 is a new major version (it may use an incompatible backup format) and is never "
    "installed automatically; see the handbook before switching (--allow-major or "
    "allow_major_upgrade = yes)";
const char ROLLOUT[] = "a newer release exists but is not yet offered to this machine (staged rollout)";
const char NO_SYSTEM[] = "newer releases exist, but none for this system or updater version";
const char BLOCKED[] = "the newer releases are blocked";

}  // namespace

TEST(Manifest, ReleaseChoice)
{
    const std::vector<rel_row> staged = {{"2.1.0", 10, NULL, NULL}, {"2.0.0", 100, NULL, NULL}};
    const std::vector<rel_row> only2 = {{"2.0.0", -1, NULL, NULL}};
    const std::vector<rel_row> two = {{"1.9.0", -1, NULL, NULL}, {"2.0.0", -1, NULL, NULL}};
    const std::vector<rel_row> unsorted = {
        {"1.0.0", -1, NULL, NULL}, {"3.0.0-rc.1", -1, NULL, NULL}, {"2.0.0", -1, NULL, NULL}};
    const std::vector<rel_row> new_updater = {{"2.1.0", -1, "3.0.0", NULL}, {"2.0.0", -1, NULL, NULL}};
    const std::vector<rel_row> linux_only = {{"2.1.0", -1, NULL, "linux"}};
    const std::vector<rel_row> mixed = {
        {"2.2.0", 0, NULL, NULL}, {"2.1.0", -1, NULL, "linux"}, {"2.0.0", -1, NULL, NULL}};
    const std::vector<rel_row> nosys_blocked = {{"2.1.0", -1, NULL, "linux"}, {"2.0.0", -1, NULL, NULL}};
    const std::vector<rel_row> majors = {{"3.0.0", -1, NULL, NULL}, {"2.0.0", -1, NULL, NULL}};
    struct {
        const char *name;
        const std::vector<rel_row> *rels;
        const char *blocked, *installed, *updater;
        unsigned bucket, flags;
        const char *target;
        int rc;
        const char *chosen;  // version, or null
        std::string message;
    } cases[] = {
        // Installed 1.9.0 and releases of major 2: the major rule comes first,
        // so the rollout cases pass the flag that allows a new major.
        {"rollout holds the newest back", &staged, NULL, "1.9.0", NULL, 50, 2, NULL, 0, "2.0.0", "2.0.0 is available"},
        {"rollout offers the newest", &staged, NULL, "1.9.0", NULL, 5, 2, NULL, 0, "2.1.0", "2.1.0 is available"},
        {"bucket equal to percent", &staged, NULL, "1.9.0", NULL, 10, 2, NULL, 0, "2.0.0", "2.0.0 is available"},
        {"rollout and blocked", &staged, "[\"2.0.0\"]", "1.9.0", NULL, 50, 2, NULL, 3, NULL, ROLLOUT},
        {"staged new major without the flag", &staged, NULL, "1.9.0", NULL, 50, 0, NULL, 1, NULL,
         std::string("2.1") + (MAJOR_2 + 3)},
        {"new major held back", &only2, NULL, "1.4.0", NULL, 0, 0, NULL, 1, NULL, MAJOR_2},
        {"new major allowed", &only2, NULL, "1.4.0", NULL, 0, 2, NULL, 0, "2.0.0", "2.0.0 is available"},
        {"no major rule below 1", &only2, NULL, "0.9.0", NULL, 0, 0, NULL, 0, "2.0.0", "2.0.0 is available"},
        {"newest major remembered", &majors, NULL, "1.0.0", NULL, 0, 0, NULL, 1, NULL,
         std::string("3") + (MAJOR_2 + 1)},
        {"up to date", &only2, NULL, "2.0.0", NULL, 0, 0, NULL, 1, NULL, "up to date"},
        {"installed newer", &only2, NULL, "2.5.0", NULL, 0, 0, NULL, 1, NULL, "up to date"},
        {"nothing installed", &unsorted, NULL, NULL, NULL, 0, 0, NULL, 0, "3.0.0-rc.1", "3.0.0-rc.1 is available"},
        {"sorted by precedence", &unsorted, "[\"3.0.0-rc.1\"]", NULL, NULL, 0, 0, NULL, 0, "2.0.0",
         "2.0.0 is available"},
        {"walk stops at the installed", &unsorted, "[\"3.0.0-rc.1\"]", "2.0.0", NULL, 0, 0, NULL, 4, NULL, BLOCKED},
        {"updater too old skips", &new_updater, NULL, NULL, "2.0.0-alpha.027", 0, 0, NULL, 0, "2.0.0",
         "2.0.0 is available"},
        {"no updater version ignores min", &new_updater, NULL, NULL, NULL, 0, 0, NULL, 0, "2.1.0",
         "2.1.0 is available"},
        {"updater too old, nothing else", &new_updater, NULL, "2.0.0", "2.9.9", 0, 0, NULL, 2, NULL, NO_SYSTEM},
        {"no package for this system", &linux_only, NULL, NULL, NULL, 0, 0, NULL, 2, NULL, NO_SYSTEM},
        {"rollout wins over no system", &mixed, "[\"2.0.0\"]", NULL, NULL, 0, 0, NULL, 3, NULL, ROLLOUT},
        {"no system wins over blocked", &nosys_blocked, "[\"2.0.0\"]", NULL, NULL, 0, 0, NULL, 2, NULL, NO_SYSTEM},
        {"blocked wins over major", &majors, "[\"2.0.0\"]", "1.0.0", NULL, 0, 0, NULL, 4, NULL, BLOCKED},
        {"rollout 0 never offered", &mixed, NULL, "2.1.0", NULL, 0, 0, NULL, 3, NULL, ROLLOUT},
        {"rollout 100 offered to bucket 99", &staged, NULL, "1.9.0", NULL, 99, 2, NULL, 0, "2.0.0",
         "2.0.0 is available"},
        // A pinned target.
        {"target equal to installed", &two, NULL, "2.0.0", NULL, 0, 0, "2.0.0", 0, "2.0.0", "2.0.0 is available"},
        {"target older than installed", &two, NULL, "2.0.0", NULL, 0, 0, "1.9.0", 1, NULL,
         "1.9.0 is older than the installed 2.0.0 (use --allow-downgrade)"},
        {"downgrade allowed", &two, NULL, "2.0.0", NULL, 0, 1, "1.9.0", 0, "1.9.0", "1.9.0 is available"},
        {"target not in the document", &two, NULL, "1.9.0", NULL, 0, 0, "1.8.0", 1, NULL, "up to date"},
        {"target compared byte for byte", &two, NULL, NULL, NULL, 0, 0, "02.0.0", 1, NULL, "up to date"},
        {"target blocked", &two, "[\"1.9.0\"]", NULL, NULL, 0, 0, "1.9.0", 4, NULL, BLOCKED},
        {"target for another system", &linux_only, NULL, NULL, NULL, 0, 0, "2.1.0", 2, NULL, NO_SYSTEM},
        {"target needs a newer updater", &new_updater, NULL, NULL, "2.0.0", 0, 0, "2.1.0", 2, NULL, NO_SYSTEM},
        {"target a new major", &only2, NULL, "1.4.0", NULL, 0, 0, "2.0.0", 1, NULL, MAJOR_2},
        {"target ignores rollout", &mixed, NULL, NULL, NULL, 99, 0, "2.2.0", 0, "2.2.0", "2.2.0 is available"},
    };
    host_facts win = windows_host();
    for (auto &c : cases) {
        manifest m;
        ASSERT_EQ(parse(releases_doc(*c.rels, c.blocked), &m), "") << c.name;
        release_choice choice;
        memset(&choice, 0x5a, sizeof choice);
        char err[400];
        int rc = release_choose_default(&m, &win, c.installed, c.updater, c.bucket, c.flags, c.target,
                                        &choice, err, sizeof err);
        EXPECT_EQ(rc, c.rc) << c.name;
        EXPECT_EQ(err, c.message) << c.name;
        if (c.chosen) {
            EXPECT_NE(choice.release, nullptr) << c.name;
            if (choice.release) {
                EXPECT_STREQ(choice.release->version, c.chosen) << c.name;
                EXPECT_EQ(choice.artifact, &choice.release->artifacts[0]) << c.name;
            }
        } else {
            EXPECT_EQ(choice.release, nullptr) << c.name;
            EXPECT_EQ(choice.artifact, nullptr) << c.name;
        }
        manifest_free(&m);
    }
}

namespace {

struct filter_log {
    std::vector<std::string> seen;  // versions the filter was asked about
    const char *refuse;             // version for which it returns null
};

const manifest_artifact *logging_filter(const manifest_release *r, const host_facts *hf, void *user)
{
    filter_log *log = (filter_log *)user;
    log->seen.push_back(r->version);
    if (log->refuse && strcmp(r->version, log->refuse) == 0)
        return NULL;
    return &r->artifacts[r->artifact_count - 1];
}

}  // namespace

TEST(Manifest, FilterRunsOnlyWhereItCounts)
{
    // 4.0.0 blocked and 3.5.0 too new for the updater are never shown to the
    // filter; 3.0.0 is a held-back major and 2.5.0 held back by the rollout
    // are; the filter refuses 2.2.0; 2.1.0 is chosen with the filter's pick.
    std::vector<rel_row> rels = {{"2.1.0", -1, NULL, NULL},  {"4.0.0", -1, NULL, NULL},
                                  {"3.5.0", -1, "9.0.0", NULL}, {"3.0.0", -1, NULL, NULL},
                                  {"2.5.0", 0, NULL, NULL},   {"2.2.0", -1, NULL, NULL},
                                  {"2.0.0", -1, NULL, NULL}};
    manifest m;
    ASSERT_EQ(parse(releases_doc(rels, "[\"4.0.0\"]"), &m), "");
    host_facts win = windows_host();
    filter_log log{{}, "2.2.0"};
    release_choice choice;
    char err[200];
    int rc = release_choose(&m, &win, "2.0.0", "2.0.0", 50, 0, NULL, logging_filter, &log, &choice, err,
                            sizeof err);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(err, "2.1.0 is available");
    EXPECT_EQ(log.seen, (std::vector<std::string>{"3.0.0", "2.5.0", "2.2.0", "2.1.0"}));
    ASSERT_NE(choice.release, nullptr);
    EXPECT_EQ(choice.release, &m.releases[0]);
    EXPECT_EQ(choice.artifact, &m.releases[0].artifacts[0]);
    // The record keeps its document order after the choice.
    EXPECT_STREQ(m.releases[1].version, "4.0.0");
    manifest_free(&m);
}

TEST(Manifest, ReleaseComparatorSortsNewestFirst)
{
    manifest_release a, b;
    memset(&a, 0, sizeof a);
    memset(&b, 0, sizeof b);
    a.version = "1.10.0";
    b.version = "1.9.0";
    const manifest_release *pa = &a, *pb = &b;
    EXPECT_LT(manifest_release_cmp(&pa, &pb), 0);
    EXPECT_GT(manifest_release_cmp(&pb, &pa), 0);
    EXPECT_EQ(manifest_release_cmp(&pa, &pa), 0);
    const manifest_release *list[] = {&b, &a};
    qsort(list, 2, sizeof list[0], manifest_release_cmp);
    EXPECT_EQ(list[0], &a);
}

TEST(Manifest, ReleaseChoiceWithoutBuffer)
{
    manifest m;
    ASSERT_EQ(parse(obj(document()), &m), "");
    host_facts win = windows_host();
    release_choice choice;
    EXPECT_EQ(release_choose_default(&m, &win, NULL, NULL, 0, 0, NULL, &choice, NULL, 0), 0);
    EXPECT_EQ(choice.release, &m.releases[0]);
    manifest_free(&m);
}
