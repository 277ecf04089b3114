// The tests' update server seen from a Windows test.
#include "update_server.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include "test_util.h"

namespace {

struct server_info {
    bool loaded = false;          // server.env was read
    bool ok = false;              // ... and the CA is trusted
    std::string dir;              // Windows path of the server's directory
    std::map<std::string, int> ports;
    // Size of the request log when this test program first asked for the
    // server: a test that runs a second time after a failure, against the
    // same server, must not count the requests of its first run.
    size_t log_start = 0;
};

server_info &info(srv_which which)
{
    static server_info s[2];
    return s[which == SRV_BUILTIN ? 1 : 0];
}

// The environment variable that names a server's directory.
const char *dir_variable(srv_which which)
{
    return which == SRV_BUILTIN ? "ORV_BUILTIN_SERVER" : "ORV_UPDATE_SERVER";
}

// Adds the test CA to the machine's Root store, where WinHTTP's chain check
// looks for trust anchors. Adding the same certificate again changes nothing.
bool trust_ca(const std::string &pem_path)
{
    std::string pem = test_read_file(pem_path);
    DWORD len = 0;
    if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &len, nullptr, nullptr))
        return false;
    std::vector<BYTE> der(len);
    if (!CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, der.data(),
                              &len, nullptr, nullptr))
        return false;
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                    CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
    if (!root)
        return false;
    BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der.data(), len,
                                                  CERT_STORE_ADD_USE_EXISTING, nullptr);
    CertCloseStore(root, 0);
    return added != FALSE;
}

} // namespace

bool srv_ready(srv_which which)
{
    server_info &s = info(which);
    if (!s.loaded) {
        s.loaded = true;
        const char *dir = getenv(dir_variable(which));
        if (dir) {
            s.dir = dir;
            std::istringstream env(test_read_file(s.dir + "/server.env"));
            std::string line;
            while (std::getline(env, line)) {
                size_t eq = line.find('=');
                if (eq != std::string::npos)
                    s.ports[line.substr(0, eq)] = atoi(line.c_str() + eq + 1);
            }
            s.ok = s.ports.count("ca") && trust_ca(s.dir + "/certs/ca.pem");
            std::error_code ec;
            uintmax_t size = std::filesystem::file_size(s.dir + "/requests.log", ec);
            s.log_start = ec ? 0 : (size_t)size;
        }
    }
    EXPECT_TRUE(s.ok) << "the update server is not running or its CA cannot be trusted ("
                      << dir_variable(which) << "=" << s.dir << ")";
    return s.ok;
}

int srv_port(const std::string &listener, srv_which which)
{
    auto it = info(which).ports.find(listener);
    return it == info(which).ports.end() ? 0 : it->second;
}

std::string srv_url(const std::string &listener, const std::string &path, srv_which which)
{
    return "https://localhost:" + std::to_string(srv_port(listener, which)) + "/" + path;
}

std::string srv_case(const std::string &name)
{
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string p = std::string(t ? t->test_suite_name() : "x") + "." + (t ? t->name() : "y") + "/" + name;
    for (char &c : p)
        if (c == ' ' || c == '\\')
            c = '_';
    return p;
}

// Writes bytes to dir/rel of a server, making the directories on the way.
static void put_file(srv_which which, const std::string &dir, const std::string &rel,
                     const std::string &bytes)
{
    std::filesystem::path p = std::filesystem::path(info(which).dir) / dir / rel;
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    ASSERT_TRUE(test_write_file(p.string(), bytes)) << p.string();
}

void srv_put(const std::string &path, const std::string &bytes, srv_which which)
{
    put_file(which, "www", path, bytes);
}

void srv_fault(const std::string &path, const std::string &lines, srv_which which)
{
    if (lines.empty()) {
        std::error_code ec;
        std::filesystem::remove(std::filesystem::path(info(which).dir) / "faults" / path, ec);
        return;
    }
    put_file(which, "faults", path, lines);
}

std::vector<srv_request> srv_requests(const std::string &path, srv_which which)
{
    std::vector<srv_request> out;
    std::string text = test_read_file(info(which).dir + "/requests.log");
    // A log shorter than at the start is a server started again: all of it is new.
    size_t from = info(which).log_start <= text.size() ? info(which).log_start : 0;
    // The size was taken while another program's line may have been half
    // written: its rest is no line of this program's.
    if (from > 0 && text[from - 1] != '\n')
        from = std::min(text.find('\n', from), text.size() - 1) + 1;
    std::istringstream log(text.substr(from));
    std::string line;
    while (std::getline(log, line)) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string v;
        while (std::getline(fields, v, '\t'))
            f.push_back(v);
        if (f.size() < 8)
            continue;
        // Through a proxy Wine sends the absolute form "https://host:port/path".
        std::string target = f[2];
        if (target.rfind("https://", 0) == 0)
            target = target.substr(std::min(target.find('/', 8), target.size()));
        if (!path.empty() && target.substr(0, target.find('?')) != "/" + path)
            continue;
        srv_request r;
        r.listener = f[0];
        r.method = f[1];
        r.path = f[2];
        r.range = f[3];
        r.accept_encoding = f[4];
        r.user_agent = f[5];
        r.content_type = f[6];
        r.body_len = atol(f[7].c_str());
        out.push_back(r);
    }
    return out;
}

std::string srv_cert(const std::string &file, srv_which which)
{
    return info(which).dir + "/certs/" + file;
}
