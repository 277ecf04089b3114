// The tests' stand-in for the built-in update server.
#include "builtin_server.h"

#include <gtest/gtest.h>

#include "setup_options.h"

// The part of the built-in URL after "https://host[:port]/" (may be empty).
static std::string url_path(const std::string &url)
{
    size_t host = url.find("://");
    size_t slash = url.find('/', host == std::string::npos ? 0 : host + 3);
    return slash == std::string::npos ? "" : url.substr(slash + 1);
}

bool builtin_ready()
{
    if (!srv_ready(SRV_BUILTIN))
        return false;
    const std::string url = setup_builtin_url();
    const std::string want = "https://localhost:" + std::to_string(srv_port("ca", SRV_BUILTIN)) + "/";
    EXPECT_EQ(url.rfind(want, 0), 0u)
        << "the built-in update server of this build (" << url
        << ") is not the tests' second server (" << want << ")";
    return url.rfind(want, 0) == 0;
}

std::string builtin_path(const std::string &rel)
{
    std::string base = url_path(setup_builtin_url());
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base.empty() ? rel : base + "/" + rel;
}
