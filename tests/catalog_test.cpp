// The component catalog on text: what the parser accepts and refuses, the
// selection closed over requirements, release and package choice for this
// computer, the replay gate of the loads, and the rollout bucket against
// openssl's SHA-256.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "catalog.h"
#include "sig_fixture.h"

namespace {

const int64_t jan_2026 = 1767225600; // 2026-01-01T00:00:00Z
const int64_t jan_2027 = 1798761600; // 2027-01-01T00:00:00Z

// One component object; more is further members, each beginning with ",".
std::string comp(const std::string &id, const std::string &more = "")
{
    return "{\"id\": \"" + id + "\"" + more + "}";
}

// One package of component (no "component" member when it is empty).
std::string pkg(const std::string &component, const std::string &url = "pkgs/p.pkg",
                const std::string &match = "\"os\": \"windows\", \"arch\": \"x86_64\"")
{
    std::string s = "{\"url\": \"" + url + "\", \"sha256\": \"" + std::string(64, 'a') +
                    "\", \"size\": 10, \"match\": {" + match + "}";
    if (!component.empty())
        s += ", \"component\": \"" + component + "\"";
    return s + "}";
}

std::string join(const std::vector<std::string> &items)
{
    std::string s;
    for (size_t i = 0; i < items.size(); i++)
        s += (i ? ", " : "") + items[i];
    return s;
}

// One release object; more is further members, each beginning with ",".
std::string rel(const std::string &version, const std::vector<std::string> &pkgs,
                const std::string &more = "")
{
    return "{\"version\": \"" + version + "\", \"artifacts\": [" + join(pkgs) + "]" + more + "}";
}

// A whole components.json.
struct doc_builder {
    std::string product = "orvantis", channel = "alpha";
    long long sequence = 5;
    std::string issued = "2026-01-01T00:00:00Z", expires = "2027-01-01T00:00:00Z";
    std::vector<std::string> components = {comp("agent")};
    std::vector<std::string> releases = {rel("1.0.0", {pkg("agent")})};
    std::string extra; // further top-level members, each beginning with ","

    std::string text() const
    {
        return "{\"schema\": 1, \"product\": \"" + product + "\", \"channel\": \"" + channel +
               "\", \"sequence\": " + std::to_string(sequence) + ", \"issued\": \"" + issued +
               "\", \"expires\": \"" + expires + "\", \"releases\": [" + join(releases) +
               "], \"components\": [" + join(components) + "]" + extra + "}";
    }
};

// Parses text into cat; the reason (or "") comes back.
std::string parse(const std::string &text, component_catalog *cat, int *rc)
{
    char msg[300] = "";
    *rc = catalog_parse(text.data(), text.size(), cat, msg, sizeof msg);
    return msg;
}

bool all_zero(const void *p, size_t n)
{
    const unsigned char *b = (const unsigned char *)p;
    for (size_t i = 0; i < n; i++)
        if (b[i])
            return false;
    return true;
}

// A Windows 10 x86_64 workstation.
host_facts windows_host()
{
    host_facts hf;
    memset(&hf, 0, sizeof hf);
    snprintf(hf.os, sizeof hf.os, "windows");
    snprintf(hf.arch, sizeof hf.arch, "x86_64");
    hf.build = 19045;
    return hf;
}

// The catalog of text, which must parse.
struct parsed {
    component_catalog cat;
    explicit parsed(const std::string &text)
    {
        int rc;
        std::string msg = parse(text, &cat, &rc);
        EXPECT_EQ(rc, 0) << msg;
    }
    ~parsed() { catalog_free(&cat); }
};

} // namespace

TEST(Catalog, ParseTakesComponents)
{
    doc_builder d;
    d.components = {
        comp("agent", ", \"title\": \"Backup-Agent\", \"description\": \"sichert\", "
                      "\"default\": true, \"required\": true, \"requires\": [\"sched\", \"agent\"]"),
        comp("sched", ", \"title\": 7, \"default\": \"true\", \"requires\": {\"x\": 1}"),
    };
    d.releases = {rel("1.0.0", {pkg("agent"), pkg("sched")})};
    d.extra = ", \"min_setup\": \"2.0.0-alpha.1\"";
    parsed p(d.text());
    const component_catalog &cat = p.cat;
    ASSERT_EQ(cat.component_count, 2u);
    EXPECT_STREQ(cat.product, "orvantis");
    EXPECT_EQ(cat.sequence, 5);
    EXPECT_STREQ(cat.min_setup, "2.0.0-alpha.1");
    const catalog_component &a = cat.components[0], &s = cat.components[1];
    EXPECT_STREQ(a.id, "agent");
    EXPECT_STREQ(a.title, "Backup-Agent");
    EXPECT_STREQ(a.description, "sichert");
    EXPECT_EQ(a.is_default, 1);
    EXPECT_EQ(a.is_required, 1);
    ASSERT_EQ(a.requires_count, 2u); // requiring itself is accepted
    EXPECT_STREQ(a.requires[0], "sched");
    EXPECT_STREQ(a.requires[1], "agent");
    // Members of another type count as absent.
    EXPECT_STREQ(s.title, "sched");
    EXPECT_STREQ(s.description, "");
    EXPECT_EQ(s.is_default, 0);
    EXPECT_EQ(s.is_required, 0);
    EXPECT_EQ(s.requires_count, 0u);
    EXPECT_EQ(catalog_find_component(&cat, "sched"), &s);
    EXPECT_EQ(catalog_find_component(&cat, "Sched"), nullptr);
    EXPECT_EQ(catalog_find_component(&cat, "sche"), nullptr);

    // A min_setup of another type is absent; free leaves an empty record and
    // may be called again.
    d.extra = ", \"min_setup\": 2";
    component_catalog other;
    int rc;
    parse(d.text(), &other, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(other.min_setup, nullptr);
    catalog_free(&other);
    EXPECT_TRUE(all_zero(&other, sizeof other));
    catalog_free(&other);
}

TEST(Catalog, ParseLimitsAndRefusals)
{
    std::vector<std::string> c32, c33, nine;
    for (int i = 0; i < 33; i++)
        (i < 32 ? c32 : c33).push_back(comp("c" + std::to_string(i)));
    c33.insert(c33.begin(), c32.begin(), c32.end());
    for (int i = 0; i < 9; i++)
        nine.push_back("\"c" + std::to_string(i) + "\"");
    std::vector<std::string> eight(nine.begin(), nine.end() - 1);
    std::string requires8 = ", \"requires\": [" + join(eight) + "]";
    std::string requires9 = ", \"requires\": [" + join(nine) + "]";
    auto with_c = [&](std::vector<std::string> list, const std::string &more) {
        list[0] = comp("c0", more);
        return list;
    };
    const std::vector<std::string> one_release = {rel("1.0.0", {pkg("c0")})};

    struct {
        const char *name;
        std::vector<std::string> components, releases;
        std::string extra;
        const char *err; // null: accepted
    } cases[] = {
        {"32 components", c32, one_release, "", nullptr},
        {"8 requirements", with_c(c32, requires8), one_release, "", nullptr},
        {"33 components", c33, one_release, "", "catalog has no valid component list"},
        {"no components", {}, one_release, "", "catalog has no valid component list"},
        {"components not an array", {}, one_release, ", \"components\": {\"id\": \"c0\"}",
         "catalog has no valid component list"},
        {"id missing", {"{\"title\": \"x\"}"}, one_release, "",
         "catalog has a component with an invalid id"},
        {"id in capitals", {comp("Agent")}, one_release, "",
         "catalog has a component with an invalid id"},
        {"id of 32 characters", {comp(std::string(32, 'a'))}, one_release, "",
         "catalog has a component with an invalid id"},
        {"id a number", {"{\"id\": 5}"}, one_release, "",
         "catalog has a component with an invalid id"},
        {"component not an object", {"\"c0\""}, one_release, "",
         "catalog has a component with an invalid id"},
        {"duplicate", {comp("c0"), comp("c1"), comp("c0")}, one_release, "",
         "duplicate component c0"},
        {"9 requirements", with_c(c32, requires9), one_release, "",
         "component c0 requires too many others"},
        {"requirement a number", {comp("c0", ", \"requires\": [3]")}, one_release, "",
         "component c0 has an invalid requires entry"},
        {"requirement not an id", {comp("c0", ", \"requires\": [\"C1\"]")}, one_release, "",
         "component c0 has an invalid requires entry"},
        // Every component is read before the requirements are resolved.
        {"unknown requirement", {comp("c0", ", \"requires\": [\"ghost\"]"), comp("c0")},
         one_release, "", "duplicate component c0"},
        {"unknown requirement after all", {comp("c0"), comp("c1", ", \"requires\": [\"ghost\"]")},
         one_release, "", "a component requires the unknown component ghost"},
        {"package without component", {comp("c0")},
         {rel("2.0.0", {pkg("c0")}), rel("1.0.0", {pkg("c0"), pkg("")})}, "",
         "release 1.0.0 has a package without a known component"},
        {"package of an unknown component", {comp("c0")}, {rel("1.2.0", {pkg("c1")})}, "",
         "release 1.2.0 has a package without a known component"},
        {"min_setup not a version", {comp("c0")}, one_release, ", \"min_setup\": \"2.0\"",
         "catalog has an invalid min_setup"},
        {"manifest refusal passes through", {comp("c0")}, {}, "", "manifest has no releases"},
    };
    for (auto &c : cases) {
        doc_builder d;
        d.components = c.components;
        d.releases = c.releases;
        std::string text = d.text();
        if (!c.extra.empty() && c.extra.find("\"components\"") != std::string::npos)
            text.replace(text.find(", \"components\": []"), strlen(", \"components\": []"),
                         c.extra);
        else
            text.insert(text.size() - 1, c.extra);
        component_catalog cat;
        memset(&cat, 0x5a, sizeof cat);
        int rc;
        std::string msg = parse(text, &cat, &rc);
        if (!c.err) {
            EXPECT_EQ(rc, 0) << c.name << ": " << msg;
            catalog_free(&cat);
        } else {
            EXPECT_EQ(rc, -1) << c.name;
            EXPECT_EQ(msg, c.err) << c.name;
            EXPECT_TRUE(all_zero(&cat, sizeof cat)) << c.name << ": the record is not empty";
        }
    }
}

TEST(Catalog, ResolveSelection)
{
    doc_builder d;
    // Catalog order differs from the order of the chain tool -> lib -> core -> base.
    d.components = {
        comp("base"),
        comp("tool", ", \"requires\": [\"lib\"]"),
        comp("core", ", \"requires\": [\"base\"]"),
        comp("lib", ", \"requires\": [\"core\"]"),
        comp("must", ", \"required\": true"),
        comp("extra"),
    };
    d.releases = {rel("1.0.0", {pkg("base")})};
    parsed p(d.text());

    struct {
        std::vector<const char *> names;
        size_t cap;
        const char *expected; // ids joined by ",", or the sentence of the failure
        int rc;
    } cases[] = {
        {{"tool"}, 32, "base,tool,core,lib,must", 0},
        {{"extra", "lib", "extra", "lib"}, 32, "base,core,lib,must,extra", 0},
        {{}, 32, "must", 0},
        {{"extra", "ghost"}, 32, "unknown component ghost", -1},
        {{"Extra"}, 32, "unknown component Extra", -1},
        {{"core"}, 3, "base,core,must", 0},
        {{"core"}, 2, "too many components", -1},
    };
    for (auto &c : cases) {
        const char *out[32];
        size_t count = 99;
        char err[200] = "";
        int rc = catalog_resolve_selection(&p.cat, c.names.data(), c.names.size(), out, c.cap,
                                           &count, err, sizeof err);
        std::string got = err;
        if (rc == 0) {
            got.clear();
            for (size_t i = 0; i < count; i++)
                got += (i ? "," : "") + std::string(out[i]);
        }
        EXPECT_EQ(rc, c.rc) << c.expected;
        EXPECT_EQ(got, c.expected);
    }

    // An empty catalog and no names: nothing.
    component_catalog empty;
    memset(&empty, 0, sizeof empty);
    size_t count = 99;
    EXPECT_EQ(catalog_resolve_selection(&empty, nullptr, 0, nullptr, 0, &count, nullptr, 0), 0);
    EXPECT_EQ(count, 0u);
}

TEST(Catalog, PackagesForThisComputer)
{
    const std::string win = "\"os\": \"windows\"";
    doc_builder d;
    d.components = {comp("agent"), comp("sched")};
    d.releases = {rel("1.0.0", {
        pkg("agent", "a-plain", win),
        pkg("agent", "a-arch", win + ", \"arch\": \"x86_64\""),
        pkg("agent", "a-arch-too", win + ", \"arch\": \"x86_64\""),
        pkg("agent", "a-arm", win + ", \"arch\": \"arm64\", \"priority\": 9"),
        pkg("sched", "s-linux", "\"os\": \"linux\""),
        pkg("sched", "s-low", win + ", \"priority\": -1"),
        pkg("sched", "s-server", win + ", \"server\": true, \"priority\": 5"),
    })};
    parsed p(d.text());
    host_facts hf = windows_host();
    const manifest_release *r = &p.cat.releases[0];

    // More satisfied members win; of equal scores the earlier; a negative
    // priority still matches.
    const char *ids[] = {"agent", "sched"};
    const manifest_artifact *out[2] = {nullptr, nullptr};
    const char *missing = "none";
    ASSERT_EQ(catalog_pick_packages(r, &hf, ids, 2, out, &missing), 0);
    EXPECT_STREQ(out[0]->url, "a-arch");
    EXPECT_STREQ(out[1]->url, "s-low");
    EXPECT_STREQ(missing, "none");

    catalog_filter rec;
    memset(&rec, 0, sizeof rec);
    rec.ids = ids;
    rec.id_count = 2;
    EXPECT_EQ(catalog_release_filter(r, &hf, &rec), out[0]);
    EXPECT_EQ(rec.packages[1], out[1]);

    // On an arm64 server the other packages win; without any for sched the
    // filter offers nothing and the missing id is named.
    hf.server = 1;
    snprintf(hf.arch, sizeof hf.arch, "arm64");
    ASSERT_EQ(catalog_pick_packages(r, &hf, ids, 2, out, &missing), 0);
    EXPECT_STREQ(out[0]->url, "a-arm");
    EXPECT_STREQ(out[1]->url, "s-server");
    snprintf(hf.os, sizeof hf.os, "macos");
    EXPECT_EQ(catalog_pick_packages(r, &hf, ids, 2, out, &missing), -1);
    EXPECT_STREQ(missing, "agent");
    EXPECT_EQ(catalog_pick_packages(r, &hf, ids, 2, out, nullptr), -1);
    EXPECT_EQ(catalog_release_filter(r, &hf, &rec), nullptr);

    // No ids: nothing to pick, and the filter offers nothing.
    EXPECT_EQ(catalog_pick_packages(r, &hf, ids, 0, out, &missing), 0);
    rec.id_count = 0;
    EXPECT_EQ(catalog_release_filter(r, &hf, &rec), nullptr);
}

TEST(Catalog, ChooseRelease)
{
    const std::string arm = "\"os\": \"windows\", \"arch\": \"arm64\"";
    doc_builder d;
    d.components = {comp("agent"), comp("sched")};
    d.releases = {
        // The newest lacks a package of sched for x86_64.
        rel("2.1.0", {pkg("agent", "agent-2.1"), pkg("sched", "sched-2.1-arm", arm)}),
        rel("2.0.0", {pkg("sched", "sched-2.0"), pkg("agent", "agent-2.0")},
            ", \"rollout_percent\": 50"),
        rel("1.9.0", {pkg("agent", "agent-1.9"), pkg("sched", "sched-1.9")},
            ", \"rollout_percent\": 0"),
    };
    parsed p(d.text());
    host_facts hf = windows_host();
    const char *both[] = {"agent", "sched"};
    const char *agent[] = {"agent"};
    std::vector<const char *> many(33, "agent");

    struct {
        const char *name;
        const char *const *ids;
        size_t n;
        const char *installed, *target;
        unsigned bucket;
        int rc;
        const char *version; // chosen release, or null
        const char *urls;    // packages, joined by ","
        const char *msg;
    } cases[] = {
        {"newest usable", both, 2, nullptr, nullptr, 49, 0, "2.0.0", "agent-2.0,sched-2.0",
         "2.0.0 is available"},
        {"newest for one component", agent, 1, nullptr, nullptr, 50, 0, "2.1.0", "agent-2.1",
         "2.1.0 is available"},
        {"rollout holds back", both, 2, nullptr, nullptr, 50, 3, nullptr, "",
         "a newer release exists but is not yet offered to this machine (staged rollout)"},
        {"a target ignores the rollout", both, 2, "1.0.0", "1.9.0", 99, 0, "1.9.0",
         "agent-1.9,sched-1.9", "1.9.0 is available"},
        {"all newer lack a package", both, 2, "2.0.0", nullptr, 0, 2, nullptr, "",
         "newer releases exist, but none for this system or updater version"},
        {"up to date", agent, 1, "2.1.0", nullptr, 0, 1, nullptr, "", "up to date"},
        {"33 ids", many.data(), 33, nullptr, nullptr, 0, 2, nullptr, "", "untouched"},
    };
    for (auto &c : cases) {
        const manifest_release *chosen = nullptr;
        const manifest_artifact *pkgs[33] = {nullptr};
        char msg[300] = "untouched";
        int rc = catalog_choose_release(&p.cat, c.ids, c.n, &hf, c.installed, "2.0.0-alpha.027",
                                        c.bucket, 1, c.target, &chosen, pkgs, msg,
                                        sizeof msg);
        EXPECT_EQ(rc, c.rc) << c.name;
        EXPECT_STREQ(msg, c.msg) << c.name;
        EXPECT_STREQ(chosen ? chosen->version : nullptr, c.version) << c.name;
        std::string urls;
        for (size_t i = 0; rc == 0 && i < c.n; i++)
            urls += (i ? "," : "") + std::string(pkgs[i] ? pkgs[i]->url : "(none)");
        EXPECT_EQ(urls, c.urls) << c.name;
    }
}

namespace {

// catalog_accept (or manifest_accept) of text against st at now.
struct accept_result {
    int rc;
    int record;
    std::string err;
};
accept_result accept(bool is_catalog, const std::string &text, updater_state *st, int64_t now,
                     const char *channel = "alpha")
{
    updater_config cfg;
    memset(&cfg, 0, sizeof cfg);
    snprintf(cfg.channel, sizeof cfg.channel, "%s", channel);
    accept_result r = {0, -1, ""};
    char err[300] = "";
    if (is_catalog) {
        component_catalog cat;
        r.rc = catalog_accept(&cfg, st, now, text.data(), text.size(), &cat, &r.record, err,
                              sizeof err);
        if (r.rc != 0) {
            EXPECT_TRUE(all_zero(&cat, sizeof cat)) << err;
        }
        catalog_free(&cat);
    } else {
        manifest m;
        r.rc = manifest_accept(&cfg, st, now, text.data(), text.size(), &m, &r.record, err,
                               sizeof err);
        if (r.rc != 0) {
            EXPECT_TRUE(all_zero(&m, sizeof m)) << err;
        }
        manifest_free(&m);
    }
    r.err = err;
    return r;
}

} // namespace

// The gates a verified document still has to pass: product, channel, validity
// window and replay, each refusing with the state unchanged.
TEST(Catalog, AcceptGates)
{
    const int64_t now = jan_2026 + 1000;
    doc_builder seq7;
    seq7.sequence = 7;
    doc_builder seq6 = seq7;
    seq6.sequence = 6;
    doc_builder product = seq7;
    product.product = "other";
    doc_builder channel = seq7;
    channel.channel = "beta";
    doc_builder broken = seq7;
    broken.components = {};

    struct {
        const char *name;
        std::string text;
        int64_t now;
        const char *err;
    } cases[] = {
        {"older sequence", seq6.text(), now, "manifest is older than one already seen (replay)"},
        {"expires now", seq7.text(), jan_2027, "manifest has expired (the update server may be "
                                               "stale or replaying old data)"},
        {"issued 86401 s ahead", seq7.text(), jan_2026 - 86401,
         "manifest was issued in the future (check the system clock)"},
        {"other product", product.text(), now, "manifest is for another product (other)"},
        {"other channel", channel.text(), now, "manifest is for another channel (beta)"},
        {"malformed", broken.text(), now,
         "the signed component catalog is malformed: catalog has no valid component list"},
        {"not JSON", "{\"schema\": 1,", now, nullptr},
    };
    for (auto &c : cases) {
        updater_state st;
        memset(&st, 0, sizeof st);
        st.last_catalog_sequence = 7;
        snprintf(st.catalog_channel, sizeof st.catalog_channel, "alpha");
        updater_state before = st;
        accept_result r = accept(true, c.text, &st, c.now);
        EXPECT_EQ(r.rc, -1) << c.name;
        if (c.err) {
            EXPECT_EQ(r.err, c.err) << c.name;
        } else {
            EXPECT_EQ(r.err.rfind("the signed component catalog is malformed: manifest is not "
                                  "valid JSON: ", 0), 0u) << c.name << ": " << r.err;
        }
        EXPECT_EQ(memcmp(&st, &before, sizeof st), 0) << c.name << ": the state changed";
    }

    // The edges that pass: an equal sequence, an issue time 86400 s ahead,
    // the last second before expiry.
    for (int64_t t : {now, jan_2026 - 86400, jan_2027 - 1}) {
        updater_state st;
        memset(&st, 0, sizeof st);
        st.last_catalog_sequence = 7;
        snprintf(st.catalog_channel, sizeof st.catalog_channel, "alpha");
        accept_result r = accept(true, seq7.text(), &st, t);
        EXPECT_EQ(r.rc, 0) << t << ": " << r.err;
        EXPECT_EQ(r.record, 0) << t;
    }
}

// Replay protection is per channel and records only what is new.
TEST(Catalog, AcceptRecordsSequencePerChannel)
{
    const int64_t now = jan_2026 + 1000;
    doc_builder d;
    d.sequence = 9;
    updater_state st;
    memset(&st, 0, sizeof st);
    snprintf(st.components, sizeof st.components, "agent");

    // First sight: recorded; the same document again: accepted, nothing new.
    accept_result r = accept(true, d.text(), &st, now);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.record, 1);
    EXPECT_EQ(st.last_catalog_sequence, 9);
    EXPECT_STREQ(st.catalog_channel, "alpha");
    r = accept(true, d.text(), &st, now);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.record, 0);

    // Another channel starts from 0 and is recorded even at an equal sequence.
    doc_builder beta;
    beta.channel = "beta";
    beta.sequence = 1;
    r = accept(true, beta.text(), &st, now, "beta");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.record, 1);
    EXPECT_EQ(st.last_catalog_sequence, 1);
    EXPECT_STREQ(st.catalog_channel, "beta");
    beta.sequence = 0;
    r = accept(true, beta.text(), &st, now, "beta");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "manifest is older than one already seen (replay)");

    // The catalog's fields only: the manifest's stay as they were, and the
    // manifest load keeps its own.
    EXPECT_EQ(st.last_sequence, 0);
    EXPECT_STREQ(st.sequence_channel, "");
    EXPECT_STREQ(st.components, "agent");
    doc_builder m;
    m.sequence = 4;
    r = accept(false, m.text(), &st, now);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.record, 1);
    EXPECT_EQ(st.last_sequence, 4);
    EXPECT_STREQ(st.sequence_channel, "alpha");
    EXPECT_EQ(st.last_catalog_sequence, 1);
    m.sequence = 3;
    r = accept(false, m.text(), &st, now);
    EXPECT_EQ(r.err, "manifest is older than one already seen (replay)");
    r = accept(false, "[]", &st, now);
    EXPECT_EQ(r.err, "the signed manifest is malformed: unsupported manifest schema");

    // Sequence 0 on a first load: the channel is new, so it is recorded.
    memset(&st, 0, sizeof st);
    d.sequence = 0;
    r = accept(true, d.text(), &st, now);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.record, 1);
    EXPECT_STREQ(st.catalog_channel, "alpha");
}

// The bucket is the one openssl dgst gives for "guid|version".
TEST(Catalog, RolloutBucketMatchesOpenssl)
{
    std::string table = sig_fixture_file("bucket.txt");
    int rows = 0;
    size_t at = 0;
    while (at < table.size()) {
        size_t end = table.find('\n', at);
        std::string line = table.substr(at, end - at);
        at = end == std::string::npos ? table.size() : end + 1;
        size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
        ASSERT_NE(t2, std::string::npos) << line;
        std::string guid = line.substr(0, t1), version = line.substr(t1 + 1, t2 - t1 - 1);
        unsigned expected = (unsigned)atoi(line.c_str() + t2 + 1);
        EXPECT_EQ(rollout_bucket_for(guid.c_str(), version.c_str()), expected) << line;
        rows++;
    }
    EXPECT_GT(rows, 0);
}
