// The stand-in for the setup's built-in update server, seen from a test.
#include "builtin_server.h"

#include <stdlib.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "setup_options.h"
#include "test_util.h"

// The server's directory (ORV_BUILTIN_SERVER), or "" when the test runs
// without it.
static std::string builtin_dir()
{
    const char *dir = getenv("ORV_BUILTIN_SERVER");
    return dir ? dir : "";
}

bool builtin_on_loopback()
{
    std::string u = setup_builtin_url();
    return u.rfind("https://localhost:", 0) == 0 || u.rfind("https://127.0.0.1:", 0) == 0;
}

bool builtin_ready()
{
    std::string dir = builtin_dir();
    bool ok = !dir.empty() && std::filesystem::exists(dir + "/server.env");
    EXPECT_TRUE(ok) << "the stand-in of the built-in update server is not running "
                       "(ORV_BUILTIN_SERVER=" << dir << ")";
    return ok;
}

void builtin_put(const std::string &rel, const std::string &bytes)
{
    // The documents lie below the path of the built-in URL.
    std::string url = setup_builtin_url();
    size_t host_end = url.find('/', 8);
    std::string base = host_end == std::string::npos ? "" : url.substr(host_end + 1);
    std::filesystem::path p = std::filesystem::path(builtin_dir()) / "www" / base / rel;
    std::error_code ec;
    if (bytes.empty()) {
        std::filesystem::remove(p, ec);
        return;
    }
    std::filesystem::create_directories(p.parent_path(), ec);
    ASSERT_TRUE(test_write_file(p.string(), bytes)) << p.string();
}
