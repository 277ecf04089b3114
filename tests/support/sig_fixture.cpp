// The openssl-made fixture of the signature tests.
#include "sig_fixture.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "codec.h"
#include "test_util.h"

std::string sig_fixture_path(const std::string &name)
{
    const char *dir = getenv("ORV_SIG_FIXTURE");
    return std::string(dir ? dir : "(ORV_SIG_FIXTURE is not set)") + "/" + name;
}

std::string sig_fixture_file(const std::string &name)
{
    std::string bytes = test_read_file(sig_fixture_path(name));
    EXPECT_FALSE(bytes.empty()) << "the fixture file " << sig_fixture_path(name)
                                << " is missing (made by tests/support/sig_fixture.sh)";
    return bytes;
}

bool sig_fixture_key(const std::string &name, uint8_t *out, size_t n)
{
    std::string text = sig_fixture_file(name);
    size_t got = 0;
    bool ok = b64_decode(text.c_str(), out, n, &got) == 0 && got == n;
    EXPECT_TRUE(ok) << name << " does not hold " << n << " bytes of base64";
    return ok;
}
