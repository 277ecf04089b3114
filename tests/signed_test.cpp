// Signed documents without the network: agreement with openssl's Ed25519 in
// both directions, every way a document or its signature file is refused, the
// signature file's leniencies, and the document URL.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "codec.h"
#include "ed25519.h"
#include "sig_fixture.h"
#include "signed.h"
#include "test_util.h"
#include "updconf.h"

namespace {

// A settings record with an update URL and the given trusted keys.
updater_config config_with_keys(std::initializer_list<const uint8_t *> keys)
{
    updater_config cfg;
    memset(&cfg, 0, sizeof cfg);
    snprintf(cfg.url, sizeof cfg.url, "https://localhost/updates");
    snprintf(cfg.channel, sizeof cfg.channel, "alpha");
    for (const uint8_t *k : keys)
        memcpy(cfg.public_keys[cfg.key_count++], k, 32);
    return cfg;
}

std::string b64(const uint8_t *data, size_t n)
{
    char text[200];
    b64_encode(data, n, text, sizeof text);
    return text;
}

// The openssl-made key pair, document and signature files.
struct openssl_fixture {
    uint8_t seed[32], pub[32];
    std::string doc, catalog_sig, manifest_sig;
    bool ok;
    openssl_fixture()
    {
        ok = sig_fixture_key("seed.b64", seed, 32) && sig_fixture_key("pub.b64", pub, 32);
        doc = sig_fixture_file("doc.json");
        catalog_sig = sig_fixture_file("doc.catalog.sig");
        manifest_sig = sig_fixture_file("doc.manifest.sig");
        ok = ok && !doc.empty() && !catalog_sig.empty() && !manifest_sig.empty();
    }
};

// signed_check's result and sentence.
struct check_result {
    int rc;
    std::string err;
};
check_result check(const updater_config &cfg, int is_catalog, const std::string &doc,
                   const std::string &sig_text)
{
    char err[300] = "";
    int rc = signed_check(&cfg, is_catalog, doc.data(), doc.size(), sig_text.data(),
                          sig_text.size(), err, sizeof err);
    return {rc, err};
}

const char *const not_base64 = "the signature file is not a base64 Ed25519 signature";
const char *const catalog_not_valid =
    "the component catalog signature is NOT valid for any trusted key: not installing anything";
const char *const manifest_not_valid =
    "the manifest signature is NOT valid for any trusted key: not installing anything";

} // namespace

// openssl's signatures (the base64 tool's output: two lines and a final line
// feed) verify, and ours are byte for byte the same: Ed25519 is deterministic.
TEST(Signed, AgreesWithOpenssl)
{
    openssl_fixture fx;
    ASSERT_TRUE(fx.ok);
    updater_config cfg = config_with_keys({fx.pub});

    check_result r = check(cfg, 1, fx.doc, fx.catalog_sig);
    EXPECT_EQ(r.rc, 0) << r.err;
    r = check(cfg, 0, fx.doc, fx.manifest_sig);
    EXPECT_EQ(r.rc, 0) << r.err;

    uint8_t sig[64];
    ASSERT_EQ(catalog_sign(fx.seed, fx.doc.data(), fx.doc.size(), sig), 0);
    std::string flat = fx.catalog_sig;
    flat.erase(std::remove(flat.begin(), flat.end(), '\n'), flat.end());
    EXPECT_EQ(b64(sig, 64), flat) << "catalog_sign differs from openssl pkeyutl -sign";
    EXPECT_EQ(catalog_verify(&cfg, fx.doc.data(), fx.doc.size(), sig), 0);

    ASSERT_EQ(manifest_sign(fx.seed, fx.doc.data(), fx.doc.size(), sig), 0);
    flat = fx.manifest_sig;
    flat.erase(std::remove(flat.begin(), flat.end(), '\n'), flat.end());
    EXPECT_EQ(b64(sig, 64), flat) << "manifest_sign differs from openssl pkeyutl -sign";
    EXPECT_EQ(manifest_verify(&cfg, fx.doc.data(), fx.doc.size(), sig), 0);
}

#ifndef _WIN32
// openssl verifies what catalog_sign made of a document it has never seen.
TEST(Signed, OpensslVerifiesOurSignature)
{
    openssl_fixture fx;
    ASSERT_TRUE(fx.ok);
    const std::string doc = "{\"sequence\": 7}\n";
    uint8_t sig[64];
    ASSERT_EQ(catalog_sign(fx.seed, doc.data(), doc.size(), sig), 0);
    std::string dir = test_temp_dir("signed");
    ASSERT_TRUE(test_write_file(dir + "/msg", SIGNED_CATALOG_HEADER + doc));
    ASSERT_TRUE(test_write_file(dir + "/sig", std::string((const char *)sig, 64)));
    std::string cmd = "openssl pkeyutl -verify -pubin -inkey '" + sig_fixture_path("pub.pem") +
                      "' -rawin -in '" + dir + "/msg' -sigfile '" + dir + "/sig' >/dev/null 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
    // The document without its header line is not what was signed.
    ASSERT_TRUE(test_write_file(dir + "/msg", doc));
    EXPECT_NE(system(cmd.c_str()), 0) << cmd;
}
#endif

// Nothing is accepted when a byte, the key, the header or the encoding is
// wrong; the leniencies of the signature file are only white space.
TEST(Signed, CheckRefusesAndAccepts)
{
    openssl_fixture fx;
    ASSERT_TRUE(fx.ok);
    uint8_t other_priv[32], other_pub[32];
    ASSERT_EQ(ed25519_keygen(other_priv, other_pub), 0);
    updater_config trusted = config_with_keys({fx.pub});
    updater_config untrusted = config_with_keys({other_pub});

    uint8_t raw[64];
    size_t n = 0;
    ASSERT_EQ(b64_decode(fx.catalog_sig.c_str(), raw, sizeof raw, &n), 0);
    ASSERT_EQ(n, 64u);
    std::string sig = b64(raw, 64);
    uint8_t bent[64];
    memcpy(bent, raw, 64);
    bent[17] ^= 0x01;
    uint8_t longer[65];
    memcpy(longer, raw, 64);
    longer[64] = 0;

    std::string doc_changed = fx.doc;
    doc_changed[5] ^= 0x20;
    std::string doc_lf = fx.doc;
    doc_lf.erase(doc_lf.find('\r'), 1);

    struct {
        const char *name;
        const updater_config *cfg;
        int is_catalog;
        std::string doc, sig;
        const char *err; // null: accepted
    } cases[] = {
        {"as served", &trusted, 1, fx.doc, sig, nullptr},
        {"final line feed", &trusted, 1, fx.doc, sig + "\n", nullptr},
        {"CR LF at the end", &trusted, 1, fx.doc, sig + "\r\n", nullptr},
        {"broken over lines", &trusted, 1, fx.doc,
         sig.substr(0, 20) + "\n" + sig.substr(20, 30) + "\r\n " + sig.substr(50) + "\n", nullptr},
        {"document byte changed", &trusted, 1, doc_changed, sig, catalog_not_valid},
        {"line end converted", &trusted, 1, doc_lf, sig, catalog_not_valid},
        {"document cut by one byte", &trusted, 1, fx.doc.substr(0, fx.doc.size() - 1), sig,
         catalog_not_valid},
        {"signature byte changed", &trusted, 1, fx.doc, b64(bent, 64), catalog_not_valid},
        {"untrusted key", &untrusted, 1, fx.doc, sig, catalog_not_valid},
        {"manifest header", &trusted, 0, fx.doc, sig, manifest_not_valid},
        {"catalog header for a manifest signature", &trusted, 1, fx.doc, fx.manifest_sig,
         catalog_not_valid},
        {"63 bytes", &trusted, 1, fx.doc, b64(raw, 63), not_base64},
        {"65 bytes", &trusted, 1, fx.doc, b64(longer, 65), not_base64},
        {"character outside the alphabet", &trusted, 1, fx.doc, sig.substr(0, 10) + "-" +
         sig.substr(11), not_base64},
        {"url-safe alphabet", &trusted, 1, fx.doc, sig.substr(0, 10) + "_" + sig.substr(11),
         not_base64},
        {"NUL after the text", &trusted, 1, fx.doc, sig + std::string(1, '\0') + "AAAA",
         not_base64},
        {"empty file", &trusted, 1, fx.doc, "", not_base64},
        {"text after the padding", &trusted, 1, fx.doc, sig + "AAAA", not_base64},
        {"longer than 4096 bytes", &trusted, 1, fx.doc, sig + std::string(4096, ' '),
         not_base64},
    };
    for (auto &c : cases) {
        check_result r = check(*c.cfg, c.is_catalog, c.doc, c.sig);
        if (!c.err) {
            EXPECT_EQ(r.rc, 0) << c.name << ": " << r.err;
        } else {
            EXPECT_EQ(r.rc, -1) << c.name;
            EXPECT_EQ(r.err, c.err) << c.name;
        }
    }
}

// Keys are tried in order and the first that verifies is named; without keys
// nothing verifies.
TEST(Signed, VerifyAnyKeyNamesTheKey)
{
    uint8_t priv[3][32], pub[3][32];
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(ed25519_keygen(priv[i], pub[i]), 0);
    const char doc[] = "{}";
    uint8_t sig[64];
    ASSERT_EQ(catalog_sign(priv[1], doc, 2, sig), 0);

    updater_config cfg = config_with_keys({pub[0], pub[1], pub[2]});
    EXPECT_EQ(sig_verify_any_key(SIGNED_CATALOG_HEADER, &cfg, doc, 2, sig), 1);
    EXPECT_EQ(catalog_verify(&cfg, doc, 2, sig), 1);
    EXPECT_EQ(manifest_verify(&cfg, doc, 2, sig), -1);
    cfg = config_with_keys({pub[1], pub[1]});
    EXPECT_EQ(catalog_verify(&cfg, doc, 2, sig), 0);
    cfg = config_with_keys({pub[0], pub[2]});
    EXPECT_EQ(catalog_verify(&cfg, doc, 2, sig), -1);
    cfg = config_with_keys({});
    EXPECT_EQ(catalog_verify(&cfg, doc, 2, sig), -1);

    // An empty document is signed and verified like any other.
    ASSERT_EQ(manifest_sign(priv[2], "", 0, sig), 0);
    cfg = config_with_keys({pub[2]});
    EXPECT_EQ(manifest_verify(&cfg, "", 0, sig), 0);
    EXPECT_EQ(catalog_verify(&cfg, "", 0, sig), -1);
}

TEST(Signed, DocumentUrl)
{
    uint8_t key[32] = {1};
    struct {
        const char *url;
        int keys;
        size_t size;
        const char *expected; // document URL, or the sentence of the failure
        int rc;
    } cases[] = {
        {"https://u.example/updates", 1, 1100, "https://u.example/updates/beta/components.json", 0},
        {"https://u.example/updates/", 1, 1100, "https://u.example/updates/beta/components.json", 0},
        {"https://u.example/updates///", 1, 1100, "https://u.example/updates/beta/components.json",
         0},
        {"https://u.example/up/dates//", 1, 1100, "https://u.example/up/dates/beta/components.json",
         0},
        // 46 characters: exactly size - 1 fits, one character more does not.
        {"https://u.example/updates", 1, 47, "https://u.example/updates/beta/components.json", 0},
        {"https://u.example/updatesX", 1, 47, "the update url is too long", -1},
        {"https://u.example/updates//", 1, 47, "https://u.example/updates/beta/components.json", 0},
        {"https://u.example/updates", 1, 0, "the update url is too long", -1},
        {"", 1, 1100, "no update url is configured", -1},
        {"", 0, 1100, "no update url is configured", -1},
        {"https://u.example/updates", 0, 1100,
         "no trusted public key is configured (public_key in the configuration)", -1},
    };
    for (auto &c : cases) {
        updater_config cfg = c.keys ? config_with_keys({key}) : config_with_keys({});
        snprintf(cfg.url, sizeof cfg.url, "%s", c.url);
        snprintf(cfg.channel, sizeof cfg.channel, "beta");
        char out[1100] = "";
        char err[200] = "";
        int rc = signed_doc_url(&cfg, "components.json", out, c.size, err, sizeof err);
        EXPECT_EQ(rc, c.rc) << c.url << " in " << c.size;
        EXPECT_EQ(std::string(rc == 0 ? out : err), c.expected) << c.url << " in " << c.size;
    }
}

// The request options come from the settings; a key file without its
// certificate presents nothing.
TEST(Signed, RequestOptions)
{
    struct {
        const char *ca_file, *proxy, *cert, *key;
        uint32_t timeout;
        bool pins, via_proxy, client_cert;
    } cases[] = {
        {"", "", "", "", 30, false, false, false},
        {"C:\\pins.pem", "proxy:3128", "c.pem", "k.pem", 5, true, true, true},
        {"", "", "", "k.pem", 30, false, false, false},
        {"", "", "c.pem", "", 30, false, false, true},
    };
    for (auto &c : cases) {
        updater_config cfg;
        memset(&cfg, 0, sizeof cfg);
        snprintf(cfg.ca_file, sizeof cfg.ca_file, "%s", c.ca_file);
        snprintf(cfg.proxy, sizeof cfg.proxy, "%s", c.proxy);
        snprintf(cfg.client_cert, sizeof cfg.client_cert, "%s", c.cert);
        snprintf(cfg.client_key, sizeof cfg.client_key, "%s", c.key);
        cfg.timeout = c.timeout;
        http_opts o;
        memset(&o, 0x5a, sizeof o);
        signed_http_opts(&cfg, SIGNED_SIG_MAX, &o);
        std::string name = std::string(c.ca_file) + "|" + c.proxy + "|" + c.cert + "|" + c.key;
        EXPECT_EQ(o.pin_file, c.pins ? (const char *)cfg.ca_file : nullptr) << name;
        EXPECT_EQ(o.proxy, c.via_proxy ? (const char *)cfg.proxy : nullptr) << name;
        EXPECT_EQ(o.client_cert_file, c.client_cert ? (const char *)cfg.client_cert : nullptr)
            << name;
        EXPECT_EQ(o.client_key_file, c.client_cert ? (const char *)cfg.client_key : nullptr)
            << name;
        EXPECT_EQ(o.timeout_s, (int32_t)c.timeout) << name;
        EXPECT_EQ(o.max_bytes, (uint64_t)SIGNED_SIG_MAX) << name;
        EXPECT_EQ(o.max_redirects, 0u) << name;
        EXPECT_EQ(o.range_start, 0u) << name;
        EXPECT_STREQ(o.user_agent, "orv_updater/2.0.0-alpha.027") << name;
    }
}
