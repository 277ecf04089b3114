// The catalog and manifest loads against the tests' update server, with the
// state file on disk: signed documents with real times and fresh sequences,
// the replay gate per channel, the validity window, and the state written
// only when something is new. And the rollout bucket from the MachineGuid of
// this prefix's registry, against openssl's SHA-256.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#include <windows.h>

#include "catalog.h"
#include "codec.h"
#include "ed25519.h"
#include "lock.h"
#include "sig_fixture.h"
#include "signed.h"
#include "test_util.h"
#include "update_server.h"

namespace {

// "YYYY-MM-DDTHH:MM:SSZ" of t.
std::string iso(int64_t t)
{
    time_t tt = (time_t)t;
    struct tm tm;
    gmtime_s(&tm, &tt);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// A catalog or manifest with one component and one release; every package
// name is new, so no test meets another test's document.
std::string document(const std::string &channel, int64_t sequence, int64_t issued,
                     int64_t expires, const std::string &product = "orvantis")
{
    static int counter = 0;
    std::string pkg = "pkgs/agent-" + std::to_string(sequence) + "-" +
                      std::to_string(++counter) + ".pkg";
    return "{\"schema\": 1, \"product\": \"" + product + "\", \"channel\": \"" + channel +
           "\", \"sequence\": " + std::to_string(sequence) + ", \"issued\": \"" + iso(issued) +
           "\", \"expires\": \"" + iso(expires) +
           "\", \"releases\": [{\"version\": \"1.2.0\", \"artifacts\": [{\"url\": \"" + pkg +
           "\", \"sha256\": \"" + std::string(64, '0') +
           "\", \"size\": 1, \"match\": {\"os\": \"windows\"}, \"component\": \"agent\"}]}], "
           "\"components\": [{\"id\": \"agent\", \"title\": \"Agent\"}]}";
}

// One load's outcome.
struct loaded {
    int rc;
    std::string err, url;
    int64_t sequence;     // the document's, or -1
    size_t components;    // catalog only
};

class Load : public ::testing::Test {
protected:
    uint8_t priv[32], pub[32];
    updater_config cfg;
    std::string dir;     // this test's directory on the server
    std::string state;   // path of the state file

    void SetUp() override
    {
        ASSERT_TRUE(srv_ready());
        ASSERT_EQ(ed25519_keygen(priv, pub), 0);
        dir = srv_case("");
        memset(&cfg, 0, sizeof cfg);
        snprintf(cfg.url, sizeof cfg.url, "%s", srv_url("ca", dir).c_str());
        snprintf(cfg.channel, sizeof cfg.channel, "alpha");
        std::string sd = test_temp_dir("catalog") + "\\updater";
        snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s", sd.c_str());
        state = sd + "\\state";
        cfg.timeout = 10;
        memcpy(cfg.public_keys[0], pub, 32);
        cfg.key_count = 1;
    }

    // Serves doc as the channel's catalog or manifest, signed under the header
    // of its kind, or of the other kind when swap_header is set.
    void publish(const std::string &channel, const std::string &doc, bool is_catalog,
                 bool swap_header = false)
    {
        std::string name = channel + (is_catalog ? "/components.json" : "/manifest.json");
        uint8_t sig[64];
        bool catalog_header = is_catalog != swap_header;
        ASSERT_EQ((catalog_header ? catalog_sign : manifest_sign)(priv, doc.data(), doc.size(),
                                                                  sig),
                  0);
        char text[100];
        b64_encode(sig, 64, text, sizeof text);
        srv_put(dir + name, doc);
        srv_put(dir + name + ".sig", std::string(text) + "\n");
    }

    // catalog_load, or manifest_load when is_catalog is false (the manifest
    // part of a catalog record then takes the document).
    loaded load(bool is_catalog, updater_state *st, int64_t now)
    {
        component_catalog cat;
        memset(&cat, 0x5a, sizeof cat);
        char url[SIGNED_URL_MAX] = "", err[600] = "";
        loaded r;
        if (is_catalog) {
            r.rc = catalog_load(&cfg, st, now, &cat, url, sizeof url, err, sizeof err);
        } else {
            r.rc = manifest_load(&cfg, st, now, &cat, url, sizeof url, err, sizeof err);
            cat.components = nullptr;
            cat.component_count = 0;
        }
        r.err = err;
        r.url = url;
        r.sequence = r.rc == 0 ? cat.sequence : -1;
        r.components = cat.component_count;
        if (r.rc != 0) {
            EXPECT_EQ(cat.root, nullptr) << "a refused document is not empty";
            EXPECT_EQ(cat.components, nullptr) << "a refused document is not empty";
        }
        catalog_free(&cat);
        return r;
    }
    loaded load_catalog(updater_state *st, int64_t now) { return load(true, st, now); }
    loaded load_manifest(updater_state *st, int64_t now) { return load(false, st, now); }

    updater_state on_disk()
    {
        updater_state st;
        state_read(&cfg, &st);
        return st;
    }
};

} // namespace

// Accepted once and recorded; the same catalog again is accepted without a
// write; an older one is a replay; another channel starts again.
TEST_F(Load, CatalogReplayPerChannel)
{
    const int64_t now = time(nullptr);
    const int64_t seq = now; // newer than anything an earlier run served
    publish("alpha", document("alpha", seq, now - 3600, now + 86400), true);
    updater_state st;
    memset(&st, 0, sizeof st);

    loaded r = load_catalog(&st, now);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.url, srv_url("ca", dir + "alpha/components.json"));
    EXPECT_EQ(r.components, 1u);
    EXPECT_EQ(st.last_catalog_sequence, seq);
    EXPECT_STREQ(st.catalog_channel, "alpha");
    updater_state disk = on_disk();
    EXPECT_EQ(disk.last_catalog_sequence, seq);
    EXPECT_STREQ(disk.catalog_channel, "alpha");

    // Equal sequence on the same channel: nothing is written (the removed
    // file stays away).
    ASSERT_EQ(remove(state.c_str()), 0);
    r = load_catalog(&st, now);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(test_read_file(state), "");

    // An older catalog, correctly signed, is a replay.
    publish("alpha", document("alpha", seq - 1, now - 3600, now + 86400), true);
    updater_state before = st;
    r = load_catalog(&st, now);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "manifest is older than one already seen (replay)");
    EXPECT_EQ(memcmp(&st, &before, sizeof st), 0);

    // Switching to a channel seen never before starts from 0.
    snprintf(cfg.channel, sizeof cfg.channel, "beta");
    publish("beta", document("beta", 1, now - 3600, now + 86400), true);
    r = load_catalog(&st, now);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.sequence, 1);
    disk = on_disk();
    EXPECT_EQ(disk.last_catalog_sequence, 1);
    EXPECT_STREQ(disk.catalog_channel, "beta");
}

// The validity window at its edges, and what the signature gate refuses,
// each with the state untouched.
TEST_F(Load, CatalogWindowAndSignature)
{
    const int64_t now = time(nullptr);
    const int64_t issued = now - 60, expires = now + 3600;
    publish("alpha", document("alpha", 10, issued, expires), true);
    const std::string expired =
        "manifest has expired (the update server may be stale or replaying old data)";
    const std::string future = "manifest was issued in the future (check the system clock)";
    struct {
        const char *name;
        int64_t now;
        std::string err;
    } cases[] = {
        {"inside", now, ""},
        {"last second", expires - 1, ""},
        {"expires now", expires, expired},
        {"issued 86400 s ahead", issued - 86400, ""},
        {"issued 86401 s ahead", issued - 86401, future},
    };
    for (auto &c : cases) {
        updater_state st;
        memset(&st, 0, sizeof st);
        loaded r = load_catalog(&st, c.now);
        EXPECT_EQ(r.rc, c.err.empty() ? 0 : -1) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        if (!c.err.empty()) {
            EXPECT_EQ(st.last_catalog_sequence, 0) << c.name;
        }
    }

    // Signed under the manifest header: refused before it is parsed (the
    // state file the accepted cases wrote is gone first).
    remove(state.c_str());
    publish("alpha", document("alpha", 11, issued, expires), true, true);
    updater_state st;
    memset(&st, 0, sizeof st);
    loaded r = load_catalog(&st, now);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "the component catalog signature is NOT valid for any trusted key: not "
                     "installing anything");
    EXPECT_EQ(test_read_file(state), "");

    // Correctly signed but not a catalog.
    publish("alpha", "{\"schema\": 1}", true);
    r = load_catalog(&st, now);
    EXPECT_EQ(r.err, "the signed component catalog is malformed: manifest lacks product, channel "
                     "or sequence");
    EXPECT_EQ(test_read_file(state), "");
}

// A load records its sequence from a fresh read of the state, so what an
// installation recorded after the caller read the state is kept; and while
// another process holds updater.lock the file is left alone and the catalog
// is used from memory.
TEST_F(Load, RecordingNeverUndoesAnotherProcesssRecord)
{
    const int64_t now = time(nullptr);
    publish("alpha", document("alpha", 2, now - 60, now + 3600), true);
    updater_state read_before;  // what this run read before the other one installed
    memset(&read_before, 0, sizeof read_before);
    read_before.last_catalog_sequence = 1;
    snprintf(read_before.catalog_channel, sizeof read_before.catalog_channel, "alpha");
    updater_state installed = read_before;
    snprintf(installed.installed_version, sizeof installed.installed_version, "2.2.0");
    snprintf(installed.previous_version, sizeof installed.previous_version, "2.1.0");
    snprintf(installed.components, sizeof installed.components, "core,agent");
    snprintf(installed.bad_versions, sizeof installed.bad_versions, "2.0.9");
    char err[300] = "";
    ASSERT_EQ(state_write(&cfg, &installed, err, sizeof err), 0) << err;

    updater_state st = read_before;
    loaded r = load_catalog(&st, now);
    ASSERT_EQ(r.rc, 0) << r.err;
    updater_state disk = on_disk();
    EXPECT_STREQ(disk.installed_version, "2.2.0");
    EXPECT_STREQ(disk.previous_version, "2.1.0");
    EXPECT_STREQ(disk.components, "core,agent");
    EXPECT_STREQ(disk.bad_versions, "2.0.9");
    EXPECT_EQ(disk.last_catalog_sequence, 2);

    // The lock held elsewhere: accepted, kept in memory, the file untouched.
    publish("alpha", document("alpha", 3, now - 60, now + 3600), true);
    std::string lock = std::string(cfg.state_dir) + "\\updater.lock";
    HANDLE h = CreateFileA(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string file_before = test_read_file(state);
    r = load_catalog(&st, now);
    CloseHandle(h);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.sequence, 3);
    EXPECT_EQ(st.last_catalog_sequence, 3);
    EXPECT_EQ(test_read_file(state), file_before);
    EXPECT_FALSE(updater_lock_held()) << "the lock is not left held";
}

// A state that cannot be written fails the load and leaves the record as it
// was.
TEST_F(Load, StateWriteFailure)
{
    const int64_t now = time(nullptr);
    publish("alpha", document("alpha", 5, now - 60, now + 3600), true);
    std::string blocker = test_temp_dir("catalog") + "\\file";
    ASSERT_TRUE(test_write_file(blocker, "x"));
    snprintf(cfg.state_dir, sizeof cfg.state_dir, "%s\\updater", blocker.c_str());
    updater_state st;
    memset(&st, 0, sizeof st);
    loaded r = load_catalog(&st, now);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "cannot create " + blocker + "\\updater");
    EXPECT_EQ(st.last_catalog_sequence, 0);
    EXPECT_STREQ(st.catalog_channel, "");
}

// The manifest keeps its own sequence and channel in the state.
TEST_F(Load, ManifestReplay)
{
    const int64_t now = time(nullptr);
    publish("alpha", document("alpha", 8, now - 60, now + 3600), false);
    updater_state st;
    memset(&st, 0, sizeof st);
    st.last_catalog_sequence = 99;
    snprintf(st.catalog_channel, sizeof st.catalog_channel, "alpha");
    loaded r = load_manifest(&st, now);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.url, srv_url("ca", dir + "alpha/manifest.json"));
    updater_state disk = on_disk();
    EXPECT_EQ(disk.last_sequence, 8);
    EXPECT_STREQ(disk.sequence_channel, "alpha");
    EXPECT_EQ(disk.last_catalog_sequence, 99);

    publish("alpha", document("alpha", 7, now - 60, now + 3600), false);
    r = load_manifest(&st, now);
    EXPECT_EQ(r.err, "manifest is older than one already seen (replay)");
    // A catalog signature does not pass for a manifest.
    publish("alpha", document("alpha", 9, now - 60, now + 3600), false, true);
    r = load_manifest(&st, now);
    EXPECT_EQ(r.err,
              "the manifest signature is NOT valid for any trusted key: not installing anything");
    EXPECT_EQ(on_disk().last_sequence, 8);
}

namespace {

const char crypto_key[] = "SOFTWARE\\Microsoft\\Cryptography";

// Saves the prefix's MachineGuid and puts it back at the end.
struct saved_guid {
    char value[512];
    DWORD size = sizeof value;
    bool had;
    saved_guid()
    {
        had = RegGetValueA(HKEY_LOCAL_MACHINE, crypto_key, "MachineGuid", RRF_RT_REG_SZ, nullptr,
                           value, &size) == ERROR_SUCCESS;
    }
    ~saved_guid()
    {
        if (had)
            set(REG_SZ, value, (DWORD)strlen(value) + 1);
        else
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, crypto_key, "MachineGuid");
    }
    static bool set(DWORD type, const void *data, DWORD len)
    {
        return RegSetKeyValueA(HKEY_LOCAL_MACHINE, crypto_key, "MachineGuid", type, data, len) ==
               ERROR_SUCCESS;
    }
};

// The fixture's expected bucket of guid and version.
int expected_bucket(const std::string &guid, const std::string &version)
{
    std::string table = sig_fixture_file("bucket.txt");
    std::string key = guid + "\t" + version + "\t";
    size_t at = table.find(key);
    EXPECT_NE(at, std::string::npos) << key;
    return at == std::string::npos ? -1 : atoi(table.c_str() + at + key.size());
}

} // namespace

TEST(Rollout, BucketFromMachineGuid)
{
    const std::string guid = "8d3f0e4c-52a7-4b1e-9c61-2f0a7d9e5b13";
    saved_guid keep;
    ASSERT_TRUE(saved_guid::set(REG_SZ, guid.c_str(), (DWORD)guid.size() + 1));
    EXPECT_EQ((int)rollout_bucket("2.1.0"), expected_bucket(guid, "2.1.0"));
    EXPECT_EQ((int)rollout_bucket("1.0.0-rc.1"), expected_bucket(guid, "1.0.0-rc.1"));
    EXPECT_EQ(rollout_bucket("2.1.0"), rollout_bucket("2.1.0"));

    // Without a readable value every computer has the bucket of "unknown":
    // missing, of another type, or longer than 255 characters.
    const int unknown = expected_bucket("unknown", "2.1.0");
    ASSERT_EQ(RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, crypto_key, "MachineGuid"), ERROR_SUCCESS);
    EXPECT_EQ((int)rollout_bucket("2.1.0"), unknown) << "missing";
    DWORD number = 7;
    ASSERT_TRUE(saved_guid::set(REG_DWORD, &number, sizeof number));
    EXPECT_EQ((int)rollout_bucket("2.1.0"), unknown) << "REG_DWORD";
    std::string longer(300, 'f');
    ASSERT_TRUE(saved_guid::set(REG_SZ, longer.c_str(), (DWORD)longer.size() + 1));
    EXPECT_EQ((int)rollout_bucket("2.1.0"), unknown) << "300 characters";
}
