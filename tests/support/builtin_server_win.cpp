// The stand-in for the setup's built-in update server, seen from a test.
#include "builtin_server.h"

#include <stdlib.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "setup_options.h"

// The part of the built-in URL after "https://host[:port]/" (may be empty).
static std::string url_path(const std::string &url)
{
    size_t host = url.find("://");
    size_t slash = url.find('/', host == std::string::npos ? 0 : host + 3);
    return slash == std::string::npos ? "" : url.substr(slash + 1);
}

bool builtin_on_loopback()
{
    std::string u = setup_builtin_url();
    return u.rfind("https://localhost:", 0) == 0 || u.rfind("https://127.0.0.1:", 0) == 0;
}

bool builtin_ready()
{
    if (!srv_ready(SRV_BUILTIN))
        return false;
    const std::string url = setup_builtin_url();
    const std::string want = "https://localhost:" + std::to_string(srv_port("ca", SRV_BUILTIN)) + "/";
    EXPECT_EQ(url.rfind(want, 0), 0u)
        << "the built-in update server of this build (" << url
        << ") is not the tests' stand-in (" << want << ")";
    return url.rfind(want, 0) == 0;
}

std::string builtin_path(const std::string &rel)
{
    std::string base = url_path(setup_builtin_url());
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base.empty() ? rel : base + "/" + rel;
}

void builtin_put(const std::string &rel, const std::string &bytes)
{
    if (!bytes.empty()) {
        srv_put(builtin_path(rel), bytes, SRV_BUILTIN);
        return;
    }
    const char *dir = getenv("ORV_BUILTIN_SERVER");
    std::error_code ec;
    std::filesystem::remove(std::filesystem::path(dir ? dir : "") / "www" / builtin_path(rel), ec);
}
