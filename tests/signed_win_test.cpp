// signed_fetch against the tests' update server: every gate between the
// network and the parser, end to end, each refusing with nothing handed out.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "codec.h"
#include "ed25519.h"
#include "signed.h"
#include "update_server.h"

namespace {

struct keys {
    uint8_t priv[32], pub[32];
    keys() { EXPECT_EQ(ed25519_keygen(priv, pub), 0); }
};

// base64 of a 64-byte signature of doc (catalog or manifest header), with a
// final line feed as a publisher's tool writes it.
std::string sig_text(const keys &k, int is_catalog, const std::string &doc)
{
    uint8_t sig[64];
    int rc = is_catalog ? catalog_sign(k.priv, doc.data(), doc.size(), sig)
                        : manifest_sign(k.priv, doc.data(), doc.size(), sig);
    EXPECT_EQ(rc, 0);
    char text[100];
    b64_encode(sig, 64, text, sizeof text);
    return std::string(text) + "\n";
}

// Settings pointing at dir of the "ca" listener, trusting the given keys.
updater_config config_for(const std::string &listener, const std::string &dir,
                          std::initializer_list<const uint8_t *> trusted)
{
    updater_config cfg;
    memset(&cfg, 0, sizeof cfg);
    snprintf(cfg.url, sizeof cfg.url, "%s", srv_url(listener, dir).c_str());
    snprintf(cfg.channel, sizeof cfg.channel, "alpha");
    cfg.timeout = 10;
    for (const uint8_t *k : trusted)
        memcpy(cfg.public_keys[cfg.key_count++], k, 32);
    return cfg;
}

struct fetched {
    int rc;
    std::string body, url, err;
    bool body_null;
};
fetched fetch(const updater_config &cfg, int is_catalog)
{
    fetched f;
    char *body = (char *)"untouched";
    size_t len = 12345;
    char url[SIGNED_URL_MAX] = "";
    char err[1000] = "";
    f.rc = signed_fetch(&cfg, is_catalog ? "components.json" : "manifest.json", is_catalog, &body,
                        &len, url, sizeof url, err, sizeof err);
    f.body_null = body == nullptr;
    if (body) {
        f.body.assign(body, len);
        EXPECT_EQ(body[len], '\0');
        free(body);
    }
    f.url = url;
    f.err = err;
    return f;
}

class Signed : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(srv_ready()); }
};

} // namespace

// Each case serves its own channel directory: a document and a signature file
// as given, optionally with fault modes.
TEST_F(Signed, FetchGates)
{
    keys k, stranger;
    const std::string base = srv_case("");
    const std::string doc = "{\"schema\": 1,\r\n \"sequence\": 3}\n";
    const std::string good = sig_text(k, 1, doc);
    std::string bent_doc = doc;
    bent_doc[3] ^= 0x01;
    std::string bent_sig = good;
    bent_sig[5] = bent_sig[5] == 'A' ? 'B' : 'A';
    uint8_t raw[65] = {0};
    size_t n = 0;
    ASSERT_EQ(b64_decode(good.c_str(), raw, 64, &n), 0);
    char short_sig[100], long_sig[100];
    b64_encode(raw, 63, short_sig, sizeof short_sig);
    b64_encode(raw, 65, long_sig, sizeof long_sig);
    std::string wrapped = good.substr(0, 30) + "\r\n" + good.substr(30, 30) + "\n" + good.substr(60);
    // White space is skipped wherever it stands, up to the file's limit.
    std::string padded = good + std::string(4096 - good.size(), '\n');
    std::string overlong = padded + "\n";
    std::string big(1048576 - 2, 'x');
    big = "\"" + big + "\"";
    std::string too_big = big + " ";

    const std::string not_valid =
        "the component catalog signature is NOT valid for any trusted key: not installing anything";
    const std::string not_b64 = "the signature file is not a base64 Ed25519 signature";

    struct {
        const char *name;
        std::string served, sig;  // document and signature file as served
        std::string doc_fault, sig_fault;
        bool trusted;
        std::string err;          // "" accepted; "doc:" or "sig:" prefix the download sentences
    } cases[] = {
        {"as signed", doc, good, "", "", true, ""},
        {"signature in lines", doc, wrapped, "", "", true, ""},
        {"signature padded to 4096 bytes", doc, padded, "", "", true, ""},
        {"document 1 MiB", big, sig_text(k, 1, big), "", "", true, ""},
        {"document byte changed", bent_doc, good, "", "", true, not_valid},
        {"signature byte changed", doc, bent_sig, "", "", true, not_valid},
        {"untrusted key", doc, good, "", "", false, not_valid},
        {"manifest header", doc, sig_text(k, 0, doc), "", "", true, not_valid},
        {"63 bytes", doc, short_sig, "", "", true, not_b64},
        {"65 bytes", doc, long_sig, "", "", true, not_b64},
        {"outside the alphabet", doc, "*" + good.substr(1), "", "", true, not_b64},
        {"document over 1 MiB", too_big, sig_text(k, 1, too_big), "", "", true,
         "doc:response is larger than the allowed 1048576 bytes"},
        {"document over 1 MiB, not announced", too_big, sig_text(k, 1, too_big), "length none\n",
         "", true, "doc:response is larger than the allowed 1048576 bytes"},
        {"signature over 4096 bytes", doc, overlong, "", "", true,
         "sig:response is larger than the allowed 4096 bytes"},
        {"signature over 4096 bytes, not announced", doc, overlong, "", "length none\n", true,
         "sig:response is larger than the allowed 4096 bytes"},
        {"document cut short", doc, good, "cut 10\n", "", true, "doc:download truncated"},
        {"signature cut short", doc, good, "", "cut 10\n", true, "sig:download truncated"},
        {"document missing", doc, good, "status 404\n", "", true, "doc:HTTP status 404"},
        {"signature forbidden", doc, good, "", "status 403\n", true, "sig:HTTP status 403"},
        {"redirect to http", doc, good, "location http://localhost:{port}/elsewhere\n", "", true,
         "doc:redirect to a non-https or invalid address refused"},
        {"redirect loop", doc, good, "", "location components.json.sig\n", true,
         "sig:too many redirects"},
    };
    int i = 0;
    for (auto &c : cases) {
        std::string dir = base + "c" + std::to_string(i++) + "/";
        srv_put(dir + "alpha/components.json", c.served);
        srv_put(dir + "alpha/components.json.sig", c.sig);
        srv_fault(dir + "alpha/components.json", c.doc_fault);
        srv_fault(dir + "alpha/components.json.sig", c.sig_fault);
        updater_config cfg = config_for("ca", dir, {c.trusted ? k.pub : stranger.pub});
        fetched f = fetch(cfg, 1);
        std::string doc_url = srv_url("ca", dir + "alpha/components.json");
        EXPECT_EQ(f.url, doc_url) << c.name;
        std::string err = c.err;
        if (err.rfind("doc:", 0) == 0)
            err = "cannot download the component catalog " + doc_url + ": " + err.substr(4);
        else if (err.rfind("sig:", 0) == 0)
            err = "cannot download the signature " + doc_url + ".sig: " + err.substr(4);
        EXPECT_EQ(f.err, err) << c.name;
        if (err.empty()) {
            EXPECT_EQ(f.rc, 0) << c.name;
            EXPECT_TRUE(f.body == c.served) << c.name << ": the body differs";
        } else {
            EXPECT_EQ(f.rc, -1) << c.name;
            EXPECT_TRUE(f.body_null) << c.name << ": a body was handed out";
        }
    }
}

// The address: every trailing "/" of the URL dropped, the channel, the name,
// and ".sig"; a manifest under its own header.
TEST_F(Signed, FetchesFromTheChannelDirectory)
{
    keys k;
    const std::string dir = srv_case("");
    const std::string doc = "{\"releases\": []}";
    srv_put(dir + "beta/manifest.json", doc);
    srv_put(dir + "beta/manifest.json.sig", sig_text(k, 0, doc));
    updater_config cfg = config_for("ca", dir + "//", {k.pub});
    snprintf(cfg.channel, sizeof cfg.channel, "beta");
    fetched f = fetch(cfg, 0);
    EXPECT_EQ(f.rc, 0) << f.err;
    EXPECT_EQ(f.body, doc);
    EXPECT_EQ(f.url, srv_url("ca", dir + "beta/manifest.json"));
    std::vector<srv_request> doc_log = srv_requests(dir + "beta/manifest.json");
    std::vector<srv_request> sig_log = srv_requests(dir + "beta/manifest.json.sig");
    ASSERT_EQ(doc_log.size(), 1u);
    ASSERT_EQ(sig_log.size(), 1u);
    EXPECT_EQ(doc_log[0].user_agent, "orv_updater/2.0.0-alpha.027");
    EXPECT_EQ(doc_log[0].range, "-");

    // A catalog is asked for under its own name, which is not there.
    f = fetch(cfg, 1);
    EXPECT_EQ(f.rc, -1);
    EXPECT_EQ(f.err, "cannot download the component catalog " +
                         srv_url("ca", dir + "beta/components.json") + ": HTTP status 404");
}

// With a pin file the server's certificate must be one of its certificates.
TEST_F(Signed, PinsFromTheCaFile)
{
    keys k;
    const std::string dir = srv_case("");
    const std::string doc = "{}";
    srv_put(dir + "alpha/components.json", doc);
    srv_put(dir + "alpha/components.json.sig", sig_text(k, 1, doc));

    updater_config cfg = config_for("self", dir, {k.pub});
    snprintf(cfg.ca_file, sizeof cfg.ca_file, "%s", srv_cert("self.pem").c_str());
    fetched f = fetch(cfg, 1);
    EXPECT_EQ(f.rc, 0) << f.err;

    cfg = config_for("other", dir, {k.pub});
    snprintf(cfg.ca_file, sizeof cfg.ca_file, "%s", srv_cert("self.pem").c_str());
    f = fetch(cfg, 1);
    EXPECT_EQ(f.rc, -1);
    std::string expected = "cannot download the component catalog " +
                           srv_url("other", dir + "alpha/components.json") +
                           ": the certificate of localhost is not the pinned one (";
    EXPECT_EQ(f.err.substr(0, expected.size()), expected) << f.err;
    EXPECT_TRUE(f.body_null);
}

// Nothing is fetched without an address or a key.
TEST_F(Signed, NeedsAnAddressAndAKey)
{
    keys k;
    updater_config cfg = config_for("ca", srv_case(""), {});
    fetched f = fetch(cfg, 1);
    EXPECT_EQ(f.err, "no trusted public key is configured (public_key in the configuration)");
    cfg = config_for("ca", srv_case(""), {k.pub});
    cfg.url[0] = 0;
    f = fetch(cfg, 0);
    EXPECT_EQ(f.err, "no update url is configured");
    EXPECT_TRUE(f.body_null);
    EXPECT_TRUE(srv_requests(srv_case("alpha/components.json")).empty());
}
