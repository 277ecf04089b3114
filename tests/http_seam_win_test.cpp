// The WinHTTP client with some of its Windows calls swapped: the answers
// Wine never gives (12044 and the certificate errors of Windows), failing
// set-up calls, and what the client asks of WinHTTP, the PFX import and the
// key storage provider. The rest of each request is real, against the
// tests' update server.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "orv_http_winhttp.h"
#include "orv_http_winhttp_seam.h"
#include "update_server.h"

namespace {

// What the swapped calls saw and how they answer.
struct seam_state {
    // send_request / receive_response: fail with fail_error for the first
    // fail_times calls of the one named by fail_receive.
    DWORD fail_error = 0;
    int fail_times = 0;
    bool fail_receive = false;
    int sends = 0;
    // set_option: the options set, and one option to fail (0 for none).
    std::vector<std::pair<DWORD, DWORD>> options; // option, first DWORD of the value (or 0)
    std::vector<bool> option_null;                // the value pointer was null
    DWORD fail_option = 0;
    DWORD fail_option_value = 0; // fail only for this value (0: any)
    // open: access types asked for and agents; fail the first fail_opens.
    std::vector<DWORD> open_access;
    std::vector<std::wstring> open_agent;
    int fail_opens = 0;
    std::vector<int> timeouts;
    // query_option of the server certificate fails with this error (0: real).
    DWORD server_cert_error = 0;
    // pfx_import: what it got, and how it answers.
    std::wstring pfx_password;
    DWORD pfx_flags = 0;
    int pfx_mode = 0; // 0: real import without a key storage provider, 1: empty store, 2: fail
    // key storage provider calls.
    std::vector<std::wstring> providers, containers;
    std::vector<DWORD> key_flags, delete_flags;
    int freed = 0;
    SECURITY_STATUS delete_result = ERROR_SUCCESS;
};
seam_state st;

BOOL WINAPI fake_send(HINTERNET h, LPCWSTR a, DWORD b, LPVOID c, DWORD d, DWORD e, DWORD_PTR f)
{
    st.sends++;
    if (!st.fail_receive && st.fail_times > 0) {
        st.fail_times--;
        SetLastError(st.fail_error);
        return FALSE;
    }
    return http_win_real.send_request(h, a, b, c, d, e, f);
}

BOOL WINAPI fake_receive(HINTERNET h, LPVOID r)
{
    BOOL ok = http_win_real.receive_response(h, r);
    if (ok && st.fail_receive && st.fail_times > 0) {
        st.fail_times--;
        SetLastError(st.fail_error);
        return FALSE;
    }
    return ok;
}

BOOL WINAPI fake_set_option(HINTERNET h, DWORD option, LPVOID value, DWORD len)
{
    DWORD first = value && len >= sizeof(DWORD) ? *(DWORD *)value : 0;
    st.options.push_back({option, first});
    st.option_null.push_back(value == nullptr);
    if (option == st.fail_option && (st.fail_option_value == 0 || first == st.fail_option_value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return http_win_real.set_option(h, option, value, len);
}

HINTERNET WINAPI fake_open(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags)
{
    st.open_access.push_back(access);
    st.open_agent.push_back(agent);
    if (st.fail_opens > 0) {
        st.fail_opens--;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return http_win_real.open(agent, access, proxy, bypass, flags);
}

BOOL WINAPI fake_timeouts(HINTERNET h, int a, int b, int c, int d)
{
    st.timeouts = {a, b, c, d};
    return http_win_real.set_timeouts(h, a, b, c, d);
}

BOOL WINAPI fake_query_option(HINTERNET h, DWORD option, LPVOID value, LPDWORD len)
{
    if (option == WINHTTP_OPTION_SERVER_CERT_CONTEXT && st.server_cert_error) {
        SetLastError(st.server_cert_error);
        return FALSE;
    }
    return http_win_real.query_option(h, option, value, len);
}

HCERTSTORE WINAPI fake_pfx_import(CRYPT_DATA_BLOB *blob, LPCWSTR password, DWORD flags)
{
    st.pfx_password = password;
    st.pfx_flags = flags;
    if (st.pfx_mode == 1)
        return CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (st.pfx_mode == 2) {
        SetLastError((DWORD)CRYPT_E_BAD_ENCODE);
        return nullptr;
    }
    // Wine cannot import into a key storage provider; the legacy provider
    // lets the rest of the path run.
    return PFXImportCertStore(blob, password, 0);
}

SECURITY_STATUS WINAPI fake_open_provider(NCRYPT_PROV_HANDLE *h, LPCWSTR name, DWORD flags)
{
    st.providers.push_back(name ? name : L"(null)");
    *h = (NCRYPT_PROV_HANDLE)0x1234;
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI fake_open_key(NCRYPT_PROV_HANDLE p, NCRYPT_KEY_HANDLE *k, LPCWSTR name,
                                     DWORD legacy_key_spec, DWORD flags)
{
    st.containers.push_back(name ? name : L"(null)");
    st.key_flags.push_back(flags);
    *k = (NCRYPT_KEY_HANDLE)0x5678;
    return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI fake_delete_key(NCRYPT_KEY_HANDLE k, DWORD flags)
{
    st.delete_flags.push_back(flags);
    return st.delete_result;
}

SECURITY_STATUS WINAPI fake_free(NCRYPT_HANDLE h)
{
    st.freed++;
    return ERROR_SUCCESS;
}

// The outcome of one GET.
struct got {
    int rc = 0;
    std::string err, body;
    uint32_t status = 0;
};

int append(const void *data, size_t len, void *user)
{
    ((std::string *)user)->append((const char *)data, len);
    return 0;
}

got get(const std::string &url, const http_opts *opts = nullptr)
{
    got g;
    char err[1000] = "";
    g.rc = http_get(url.c_str(), opts, append, &g.body, &g.status, err, sizeof err);
    g.err = err;
    return g;
}

size_t count_option(DWORD option)
{
    size_t n = 0;
    for (auto &o : st.options)
        n += o.first == option;
    return n;
}

class HttpSeam : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(srv_ready());
        st = seam_state();
        http_win = http_win_real;
        http_win.send_request = fake_send;
        http_win.receive_response = fake_receive;
        http_win.set_option = fake_set_option;
        http_win.open = fake_open;
        http_win.set_timeouts = fake_timeouts;
        http_win.query_option = fake_query_option;
        http_win.pfx_import = fake_pfx_import;
        http_win.open_provider = fake_open_provider;
        http_win.open_key = fake_open_key;
        http_win.delete_key = fake_delete_key;
        http_win.free_object = fake_free;
        doc = srv_case("doc");
        srv_put(doc, "the document");
    }
    void TearDown() override { http_win = http_win_real; }
    std::string doc;
};

} // namespace

TEST_F(HttpSeam, OneRetryWithoutCertificateWhenTheServerAsksForOne)
{
    const std::string asks = "request to localhost failed (WinHTTP error 12044) the server asks for "
                             "a client certificate";
    struct {
        const char *name;
        bool on_receive;
        DWORD error;
        int times;
        int sends;
        std::string err;
    } cases[] = {
        {"send asks once", false, 12044, 1, 2, ""},
        {"receive asks once", true, 12044, 1, 2, ""},
        {"asks twice: one retry only", false, 12044, 2, 2, asks},
        {"receive asks twice", true, 12044, 2, 2, asks},
        // The certificate errors Wine reports as 12157, each with its reason.
        {"unknown CA", false, 12045, 1, 1,
         "request to localhost failed (WinHTTP error 12045) the server certificate is not trusted"},
        {"name mismatch", true, 12038, 1, 1,
         "request to localhost failed (WinHTTP error 12038) the certificate does not match the "
         "host name"},
        {"revocation or expiry", true, 12175, 1, 1,
         "request to localhost failed (WinHTTP error 12175) TLS/certificate problem"},
        {"no usable key", false, 12186, 1, 1,
         "request to localhost failed (WinHTTP error 12186) the client certificate has no usable "
         "private key"},
        {"unknown error", false, 12157, 1, 1, "request to localhost failed (WinHTTP error 12157) "},
    };
    for (auto &c : cases) {
        st = seam_state();
        st.fail_receive = c.on_receive;
        st.fail_error = c.error;
        st.fail_times = c.times;
        got g = get(srv_url("ca", doc));
        EXPECT_EQ(g.rc, c.err.empty() ? 0 : -1) << c.name;
        EXPECT_EQ(g.err, c.err) << c.name;
        EXPECT_EQ(g.body, c.err.empty() ? "the document" : "") << c.name;
        EXPECT_EQ(st.sends, c.sends) << c.name;
        // The retry says "no certificate" with a null context, once.
        size_t nulls = 0;
        for (size_t i = 0; i < st.options.size(); i++)
            nulls += st.options[i].first == WINHTTP_OPTION_CLIENT_CERT_CONTEXT && st.option_null[i];
        EXPECT_EQ(nulls, c.error == 12044 ? 1u : 0u) << c.name;
    }
}

TEST_F(HttpSeam, OptionsAskedOfWinHttp)
{
    std::string pin_dir = srv_cert("self.pem");
    struct {
        const char *name;
        int32_t timeout_s;
        const char *pin_file;
        int timeout_ms;
        size_t security_flags;
    } cases[] = {
        {"defaults", 0, nullptr, 30000, 0},
        {"one second, pinned", 1, pin_dir.c_str(), 1000, 1},
    };
    for (auto &c : cases) {
        st = seam_state();
        http_opts o = {};
        o.timeout_s = c.timeout_s;
        o.pin_file = c.pin_file;
        got g = get(srv_url(c.pin_file ? "self" : "ca", doc), &o);
        ASSERT_EQ(g.rc, 0) << c.name << ": " << g.err;
        EXPECT_EQ(st.timeouts, std::vector<int>(4, c.timeout_ms)) << c.name;
        std::vector<std::pair<DWORD, DWORD>> want = {
            {WINHTTP_OPTION_SECURE_PROTOCOLS, 0x2800},
            {WINHTTP_OPTION_DISABLE_FEATURE, 7},
        };
        if (c.security_flags)
            want.push_back({WINHTTP_OPTION_SECURITY_FLAGS, 0x3100});
        EXPECT_EQ(st.options, want) << c.name;
        ASSERT_EQ(st.open_access.size(), 1u) << c.name;
        EXPECT_EQ(st.open_access[0], (DWORD)WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) << c.name;
    }
}

TEST_F(HttpSeam, SessionFallbacksAndFailures)
{
    const std::string proxy = "127.0.0.1:" + std::to_string(srv_port("proxy"));
    struct {
        const char *name;
        int fail_opens;
        const char *proxy;
        DWORD fail_option, fail_value;
        std::string err;
        std::vector<DWORD> access;
        const char *agent; // of the request the server saw
    } cases[] = {
        {"automatic proxy refused: default proxy, short agent", 1, nullptr, 0, 0, "",
         {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY}, "orv_updater"},
        {"no session at all", 2, nullptr, 0, 0, "WinHTTP could not be opened (error 5)",
         {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY}, nullptr},
        {"named proxy refused: no fallback", 1, proxy.c_str(), 0, 0,
         "WinHTTP could not be opened (error 5)", {WINHTTP_ACCESS_TYPE_NAMED_PROXY}, nullptr},
        {"proxy not UTF-8: the system's proxy", 0, "\xff:1", 0, 0, "",
         {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY}, "orv_updater/2.0.0-alpha.027"},
        // A WinHTTP without TLS 1.3 still gets TLS 1.2 as its floor.
        {"no TLS 1.3", 0, nullptr, WINHTTP_OPTION_SECURE_PROTOCOLS, 0x2800, "",
         {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY}, "orv_updater/2.0.0-alpha.027"},
        {"no TLS floor at all", 0, nullptr, WINHTTP_OPTION_SECURE_PROTOCOLS, 0,
         "WinHTTP could not be opened (error 87)", {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY}, nullptr},
        {"WinHTTP's own redirects stay on", 0, nullptr, WINHTTP_OPTION_DISABLE_FEATURE, 0,
         "cannot connect to localhost (error 87)", {WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY}, nullptr},
    };
    for (auto &c : cases) {
        st = seam_state();
        st.fail_opens = c.fail_opens;
        st.fail_option = c.fail_option;
        st.fail_option_value = c.fail_value;
        http_opts o = {};
        o.proxy = c.proxy;
        const std::string p = doc + "?" + std::to_string(&c - cases);
        size_t before = srv_requests(doc).size();
        got g = get(srv_url("ca", p), &o);
        EXPECT_EQ(g.rc, c.err.empty() ? 0 : -1) << c.name;
        EXPECT_EQ(g.err, c.err) << c.name;
        EXPECT_EQ(st.open_access, c.access) << c.name;
        auto log = srv_requests(doc);
        ASSERT_EQ(log.size() - before, c.agent ? 1u : 0u) << c.name;
        if (c.agent) {
            EXPECT_EQ(log.back().user_agent, c.agent) << c.name;
        }
    }
    // The TLS fallback asked for 1.2 alone.
    st = seam_state();
    st.fail_option = WINHTTP_OPTION_SECURE_PROTOCOLS;
    st.fail_option_value = 0x2800;
    ASSERT_EQ(get(srv_url("ca", doc)).rc, 0);
    EXPECT_EQ(st.options[1], std::make_pair((DWORD)WINHTTP_OPTION_SECURE_PROTOCOLS, (DWORD)0x800));
}

TEST_F(HttpSeam, PinnedCertificateThatCannotBeRead)
{
    st.server_cert_error = 12019;
    std::string pin = srv_cert("self.pem");
    http_opts o = {};
    o.pin_file = pin.c_str();
    got g = get(srv_url("self", doc), &o);
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(g.err, "the certificate of localhost is not the pinned one (the certificate of the "
                     "connection could not be read, error 12019)");
    EXPECT_EQ(g.body, "");
}

TEST_F(HttpSeam, ClientCertificatePresentedAndItsKeyDeleted)
{
    const std::string cert = srv_cert("client.pem"), key = srv_cert("client.key");
    http_opts o = {};
    o.client_cert_file = cert.c_str();
    o.client_key_file = key.c_str();
    got g = get(srv_url("clientcert", doc), &o);
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_EQ(g.body, "the document");
    auto log = srv_requests(doc);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].listener, "clientcert");
    // The import: password "wqx", the key into a key storage provider.
    EXPECT_EQ(st.pfx_password, L"wqx");
    EXPECT_EQ(st.pfx_flags, (DWORD)PKCS12_ALWAYS_CNG_KSP);
    EXPECT_EQ(count_option(WINHTTP_OPTION_CLIENT_CERT_CONTEXT), 1u);
    // Afterwards the key of the imported certificate is deleted, silently.
    ASSERT_EQ(st.providers.size(), 1u);
    ASSERT_EQ(st.containers.size(), 1u);
    EXPECT_FALSE(st.containers[0].empty());
    EXPECT_EQ(st.delete_flags, std::vector<DWORD>{NCRYPT_SILENT_FLAG});
    EXPECT_EQ(st.freed, 1); // the provider; a deleted key frees itself
}

TEST_F(HttpSeam, ClientCertificateFailures)
{
    const std::string cert = srv_cert("client.pem"), key = srv_cert("client.key"),
                      other_key = srv_cert("client2.key");
    struct {
        const char *name;
        int pfx_mode;
        DWORD fail_error;
        SECURITY_STATUS delete_result;
        std::string err;
        int freed;
        std::string key_file;
    } cases[] = {
        // With a certificate configured, 12044 is reported, not retried.
        {"server still asks", 0, 12044, ERROR_SUCCESS,
         "request to localhost failed (WinHTTP error 12044) the server asks for a client "
         "certificate", 1, ""},
        // A key that cannot be deleted is at least closed.
        {"key not deleted", 0, 0, NTE_PERM, "", 2, ""},
        {"not in the imported store", 1, 0, ERROR_SUCCESS,
         "cannot prepare the client certificate " + cert, 0, ""},
        {"import refused", 2, 0, ERROR_SUCCESS,
         "Windows cannot import the client certificate " + cert + " (error 2148081666)", 0, ""},
        // Refused before the import: no key ever reaches a provider.
        {"key of another certificate", 0, 0, ERROR_SUCCESS,
         "the client certificate " + cert + " and the key " + other_key + " do not belong together",
         0, other_key},
    };
    for (auto &c : cases) {
        st = seam_state();
        st.pfx_mode = c.pfx_mode;
        st.fail_error = c.fail_error;
        st.fail_times = c.fail_error ? 5 : 0;
        st.delete_result = c.delete_result;
        http_opts o = {};
        o.client_cert_file = cert.c_str();
        o.client_key_file = c.key_file.empty() ? key.c_str() : c.key_file.c_str();
        got g = get(srv_url("clientcert", doc), &o);
        EXPECT_EQ(g.rc, c.err.empty() ? 0 : -1) << c.name;
        EXPECT_EQ(g.err, c.err) << c.name;
        bool imported = c.key_file.empty();
        EXPECT_EQ(st.pfx_password.empty(), !imported) << c.name;
        EXPECT_EQ(st.sends, imported && !c.pfx_mode ? 1 : 0) << c.name;
        EXPECT_EQ(st.freed, c.freed) << c.name;
    }
}

TEST_F(HttpSeam, ReleaseOfAnEmptyPairTouchesNothing)
{
    http_client_cert pair = {};
    http_client_cert_release(&pair);
    EXPECT_EQ(pair.store, nullptr);
    EXPECT_EQ(pair.cert, nullptr);
    EXPECT_TRUE(st.providers.empty());
    // A store without keys: closed, nothing deleted.
    pair.store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    http_client_cert_release(&pair);
    EXPECT_EQ(pair.store, nullptr);
    EXPECT_TRUE(st.providers.empty());
}
