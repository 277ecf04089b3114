// Packing a client certificate for Windows: what goes into the PKCS#12
// structure, read back with OpenSSL, and every refusal with its sentence.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "http_cert.h"
#include "test_util.h"

namespace {

// A key and a certificate for CN=name, signed by issuer_key (self-signed when null).
struct test_cert {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    test_cert(const char *name, EVP_PKEY *issuer_key = nullptr)
    {
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
        cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   (const unsigned char *)name, -1, -1, 0);
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
        X509_set_pubkey(cert, key);
        X509_sign(cert, issuer_key ? issuer_key : key, EVP_sha256());
    }
    ~test_cert()
    {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    std::string cert_pem() const
    {
        BIO *b = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(b, cert);
        return drain(b);
    }
    std::string key_pem(const char *password = nullptr) const
    {
        BIO *b = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(b, key, password ? EVP_aes_128_cbc() : nullptr, nullptr, 0,
                                 nullptr, (void *)password);
        return drain(b);
    }
    static std::string drain(BIO *b)
    {
        char *p;
        long n = BIO_get_mem_data(b, &p);
        std::string s(p, (size_t)n);
        BIO_free(b);
        return s;
    }
};

std::string der_of(X509 *c)
{
    unsigned char *p = nullptr;
    int n = i2d_X509(c, &p);
    std::string s((char *)p, (size_t)n);
    OPENSSL_free(p);
    return s;
}

} // namespace

TEST(HttpClientCert, PackHoldsCertificateKeyAndChain)
{
    test_cert ca("test CA"), client("client", ca.key), extra("extra");
    std::string dir = test_temp_dir("pack");
    std::string cert_file = dir + "/client.pem", key_file = dir + "/client.key";
    ASSERT_TRUE(test_write_file(cert_file, client.cert_pem() + ca.cert_pem() + extra.cert_pem()));
    ASSERT_TRUE(test_write_file(key_file, client.key_pem()));

    http_pfx pfx;
    char err[300] = "";
    ASSERT_EQ(http_client_cert_pack(cert_file.c_str(), key_file.c_str(), &pfx, err, sizeof err), 0)
        << err;
    // The certificate's own encoding, to find it in the imported store.
    EXPECT_EQ(std::string((char *)pfx.cert, (size_t)pfx.cert_len), der_of(client.cert));

    const unsigned char *p = pfx.pfx;
    PKCS12 *p12 = d2i_PKCS12(nullptr, &p, pfx.pfx_len);
    ASSERT_NE(p12, nullptr);
    EXPECT_EQ(PKCS12_verify_mac(p12, "wrong", -1), 0);
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *chain = nullptr;
    ASSERT_EQ(PKCS12_parse(p12, "wqx", &key, &cert, &chain), 1);
    EXPECT_EQ(der_of(cert), der_of(client.cert));
    EXPECT_EQ(EVP_PKEY_eq(key, client.key), 1);
    ASSERT_EQ(sk_X509_num(chain), 2);
    std::string chain0 = der_of(sk_X509_value(chain, 0)), chain1 = der_of(sk_X509_value(chain, 1));
    // Order inside the bag is the library's; both chain certificates are there.
    EXPECT_TRUE((chain0 == der_of(ca.cert) && chain1 == der_of(extra.cert)) ||
                (chain1 == der_of(ca.cert) && chain0 == der_of(extra.cert)));
    sk_X509_pop_free(chain, X509_free);
    X509_free(cert);
    EVP_PKEY_free(key);
    PKCS12_free(p12);
    http_pfx_free(&pfx);
    EXPECT_EQ(pfx.pfx, nullptr);
    http_pfx_free(&pfx);
}

TEST(HttpClientCert, RefusalsNameTheFile)
{
    test_cert client("client"), other("other");
    std::string d = test_temp_dir("refuse");
    std::string cert = d + "/c.pem", key = d + "/c.key", other_key = d + "/o.key",
                locked_key = d + "/locked.key", junk = d + "/junk.pem", key_only = d + "/k.pem";
    ASSERT_TRUE(test_write_file(cert, client.cert_pem()));
    ASSERT_TRUE(test_write_file(key, client.key_pem()));
    ASSERT_TRUE(test_write_file(other_key, other.key_pem()));
    // A key with a password: refused at once, never a prompt on the console.
    ASSERT_TRUE(test_write_file(locked_key, client.key_pem("secret")));
    ASSERT_TRUE(test_write_file(junk, "not a certificate\n"));
    ASSERT_TRUE(test_write_file(key_only, client.key_pem()));
    std::string missing = d + "/missing.pem";
    struct {
        const char *name;
        std::string cert, key, message;
    } cases[] = {
        {"no certificate file", missing, key, "cannot read the client certificate " + missing},
        {"no certificate in it", junk, key, "cannot read the client certificate " + junk},
        {"only a key in it", key_only, key, "cannot read the client certificate " + key_only},
        {"no key file", cert, missing, "cannot read the key of the client certificate " + missing},
        {"no key in it", cert, junk, "cannot read the key of the client certificate " + junk},
        {"key with a password", cert, locked_key,
         "cannot read the key of the client certificate " + locked_key},
        {"key of another certificate", cert, other_key,
         "the client certificate " + cert + " and the key " + other_key +
             " do not belong together"},
    };
    for (auto &c : cases) {
        http_pfx pfx;
        char err[600] = "";
        EXPECT_EQ(http_client_cert_pack(c.cert.c_str(), c.key.c_str(), &pfx, err, sizeof err), -1)
            << c.name;
        EXPECT_EQ(std::string(err), c.message) << c.name;
        EXPECT_EQ(pfx.pfx, nullptr) << c.name;
        EXPECT_EQ(pfx.cert, nullptr) << c.name;
    }
}
