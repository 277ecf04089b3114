// Splitting and resolving https:// URLs: what is accepted, what is refused,
// and that no result is ever cut to fit a buffer.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "url.h"

TEST(Url, SplitHttps)
{
    struct {
        const char *url;
        int rc;
        const char *host, *path;
        int port;
    } cases[] = {
        {"https://example.org", 0, "example.org", "/", 443},
        {"https://example.org/", 0, "example.org", "/", 443},
        {"https://example.org/a/b.json?x=1&y=2", 0, "example.org", "/a/b.json?x=1&y=2", 443},
        {"https://example.org?q=1", 0, "example.org", "/?q=1", 443},
        {"https://example.org/doc#part", 0, "example.org", "/doc", 443},
        {"https://example.org/doc?q#f?g", 0, "example.org", "/doc?q", 443},
        {"https://h-1.example_2.org:8443/x", 0, "h-1.example_2.org", "/x", 8443},
        {"https://127.0.0.1:1", 0, "127.0.0.1", "/", 1},
        {"https://localhost:65535/", 0, "localhost", "/", 65535},
        {"https://localhost:000443/", 0, "localhost", "/", 443},
        {"https://[::1]", 0, "::1", "/", 443},
        {"https://[::1]/p", 0, "::1", "/p", 443},
        {"https://[fe80::1]:8443/p", 0, "fe80::1", "/p", 8443},
        {"https://[::1]?q", 0, "::1", "/?q", 443},
        // Path bytes above 0x7F are passed on; only blanks and controls are refused.
        {"https://h/\xC3\xA4", 0, "h", "/\xC3\xA4", 443},

        // Scheme.
        {"http://example.org/", -1, "", "", 0},
        {"HTTPS://example.org/", -1, "", "", 0},
        {"https:/example.org/", -1, "", "", 0},
        {"ftp://example.org/", -1, "", "", 0},
        {"", -1, "", "", 0},
        // Authority.
        {"https://", -1, "", "", 0},
        {"https:///path", -1, "", "", 0},
        {"https://user@example.org/", -1, "", "", 0},
        {"https://example.org@evil.test/", -1, "", "", 0},
        {"https://a:b@evil.test/", -1, "", "", 0},
        {"https://:443/", -1, "", "", 0},
        {"https://ex%41mple.org/", -1, "", "", 0},
        {"https://b\xC3\xBC" "cher.example/", -1, "", "", 0},
        {"https://exa mple.org/", -1, "", "", 0},
        // Plain port: digits only, 1 to 65535, nothing after.
        {"https://h:0/", -1, "", "", 0},
        {"https://h:65536/", -1, "", "", 0},
        {"https://h:99999999999999999999/", -1, "", "", 0},
        {"https://h:-4294901761/", -1, "", "", 0},
        {"https://h:-1/", -1, "", "", 0},
        {"https://h:+443/", -1, "", "", 0},
        {"https://h: 443/", -1, "", "", 0},
        {"https://h:443x/", -1, "", "", 0},
        {"https://h:443:444/", -1, "", "", 0},
        {"https://h:/", -1, "", "", 0},
        {"https://h:", -1, "", "", 0},
        // Bracket form: the same port rules, and nothing between "]" and ":".
        {"https://[::1]:0/", -1, "", "", 0},
        {"https://[::1]:65536/", -1, "", "", 0},
        {"https://[::1]:-4294901761/", -1, "", "", 0},
        {"https://[::1]:443x/", -1, "", "", 0},
        {"https://[::1]:/", -1, "", "", 0},
        {"https://[::1]x/", -1, "", "", 0},
        {"https://[::1]]/", -1, "", "", 0},
        {"https://[]/", -1, "", "", 0},
        {"https://[::1/", -1, "", "", 0},
        {"https://[::1/]", -1, "", "", 0},
        {"https://[[::1]/", -1, "", "", 0},
        {"https://[::1%25eth0]/", -1, "", "", 0},
        // Rest of the URL.
        {"https://h#frag", -1, "", "", 0},
        {"https://h/a b", -1, "", "", 0},
        {"https://h/a\tb", -1, "", "", 0},
        {"https://h/a\x7F", -1, "", "", 0},
        {"https://h/a\x01", -1, "", "", 0},
        {"https://h?a b", -1, "", "", 0},
    };
    for (auto &c : cases) {
        char host[256] = "", path[2048] = "";
        int port = -7;
        int rc = url_split_https(c.url, host, sizeof host, &port, path, sizeof path);
        EXPECT_EQ(rc, c.rc) << c.url;
        if (rc == 0 && c.rc == 0) {
            EXPECT_STREQ(host, c.host) << c.url;
            EXPECT_STREQ(path, c.path) << c.url;
            EXPECT_EQ(port, c.port) << c.url;
        }
    }
    char host[8], path[8];
    int port;
    EXPECT_EQ(url_split_https(nullptr, host, sizeof host, &port, path, sizeof path), -1);
}

// A host or path that would not fit with its NUL is refused, never cut; the
// fitting size right below it is accepted.
TEST(Url, SplitBufferLimits)
{
    struct {
        const char *url;
        size_t host_size, path_size;
        int rc;
    } cases[] = {
        {"https://abcd/xyz", 5, 5, 0},
        {"https://abcd/xyz", 4, 5, -1},
        {"https://abcd/xyz", 5, 4, -1},
        {"https://[abcd]:9/xyz", 5, 5, 0},
        {"https://[abcd]:9/xyz", 4, 5, -1},
        {"https://abcd?xyz", 5, 6, 0},
        {"https://abcd?xyz", 5, 5, -1},
        {"https://abcd/xyz#long-fragment", 5, 5, 0},
        {"https://abcd", 5, 2, 0},
        {"https://abcd", 5, 1, -1},
        {"https://abcd", 0, 2, -1},
    };
    for (auto &c : cases) {
        // Exact-size heap buffers, so a write past the end shows under ASan.
        std::string label = std::string(c.url) + " host_size " + std::to_string(c.host_size) +
                            " path_size " + std::to_string(c.path_size);
        char *host = new char[c.host_size + 1] + 1, *path = new char[c.path_size + 1] + 1;
        int port = 0;
        EXPECT_EQ(url_split_https(c.url, host, c.host_size, &port, path, c.path_size), c.rc)
            << label;
        delete[] (host - 1);
        delete[] (path - 1);
    }
}

TEST(Url, ResolveRelative)
{
    struct {
        const char *base, *ref;
        int rc;
        const char *expected;
    } cases[] = {
        {"https://u.example/stable/manifest.json", "pkg/a.tar.zst", 0,
         "https://u.example/stable/pkg/a.tar.zst"},
        // The document's name, query and fragment do not survive.
        {"https://u.example/stable/manifest.json?x=/y#z/w", "a.zst", 0,
         "https://u.example/stable/a.zst"},
        {"https://u.example/stable/manifest.json#f/g", "a.zst", 0, "https://u.example/stable/a.zst"},
        // Dot segments and escapes are kept exactly as written.
        {"https://u.example/s/t/m.json", "../x/./a%20b.zst", 0,
         "https://u.example/s/t/../x/./a%20b.zst"},
        {"https://u.example/s/", "", 0, "https://u.example/s/"},
        // A base without a path gets one "/".
        {"https://u.example", "a.zst", 0, "https://u.example/a.zst"},
        {"https://u.example:8443?q", "a.zst", 0, "https://u.example:8443/a.zst"},
        {"https://", "a", 0, "https:///a"},
        // An absolute https reference is taken whole.
        {"https://u.example/s/m.json", "https://cdn.example/a.zst", 0, "https://cdn.example/a.zst"},
        {"http://u.example/s/m.json", "https://cdn.example/a.zst", 0, "https://cdn.example/a.zst"},
        // Every other form is refused.
        {"https://u.example/s/m.json", "http://cdn.example/a.zst", -1, ""},
        {"https://u.example/s/m.json", "HTTPS://cdn.example/a.zst", -1, ""},
        {"https://u.example/s/m.json", "file:///etc/passwd", -1, ""},
        {"https://u.example/s/m.json", "x?next=https://evil", -1, ""},
        {"https://u.example/s/m.json", "/abs/a.zst", -1, ""},
        {"https://u.example/s/m.json", "//evil.example/a.zst", -1, ""},
    };
    for (auto &c : cases) {
        char out[2100] = "";
        int rc = url_resolve_relative(c.base, c.ref, out, sizeof out);
        EXPECT_EQ(rc, c.rc) << c.base << " + " << c.ref;
        if (rc == 0 && c.rc == 0) {
            EXPECT_STREQ(out, c.expected) << c.base << " + " << c.ref;
        }
    }
    char out[8];
    EXPECT_EQ(url_resolve_relative(nullptr, "a", out, sizeof out), -1);
    EXPECT_EQ(url_resolve_relative("https://h/", nullptr, out, sizeof out), -1);
}

TEST(Url, Resolve)
{
    struct {
        const char *base, *target;
        int rc;
        const char *expected;
    } cases[] = {
        {"https://u.example/a/b?q#f", "/c/d?e", 0, "https://u.example/c/d?e"},
        {"https://u.example:8443/a/b", "/c", 0, "https://u.example:8443/c"},
        {"https://[::1]:8443?x", "/c", 0, "https://[::1]:8443/c"},
        {"https://u.example#f", "/", 0, "https://u.example/"},
        {"https://u.example/a/b", "c", 0, "https://u.example/a/c"},
        {"https://u.example/a/b", "https://v.example/z", 0, "https://v.example/z"},
        {"http://u.example/a/b", "/c", -1, ""},
        {"https://u.example/a/b", "//v.example/z", -1, ""},
        {"https://u.example/a/b", "http://v.example/z", -1, ""},
        {"https://u.example/a/b", "javascript://x", -1, ""},
    };
    for (auto &c : cases) {
        char out[2100] = "";
        int rc = url_resolve(c.base, c.target, out, sizeof out);
        EXPECT_EQ(rc, c.rc) << c.base << " -> " << c.target;
        if (rc == 0 && c.rc == 0) {
            EXPECT_STREQ(out, c.expected) << c.base << " -> " << c.target;
        }
    }
}

// A result one byte longer than the buffer is refused; exactly fitting is fine.
TEST(Url, ResolveNeverCuts)
{
    struct {
        int (*fn)(const char *, const char *, char *, size_t);
        const char *name, *base, *ref, *expected;
    } cases[] = {
        {url_resolve_relative, "relative", "https://h/d/m.json", "abc", "https://h/d/abc"},
        {url_resolve_relative, "absolute", "https://h/d/m.json", "https://x/y", "https://x/y"},
        {url_resolve_relative, "no path", "https://h", "abc", "https://h/abc"},
        {url_resolve, "redirect path", "https://h:1/d/m.json", "/abc", "https://h:1/abc"},
    };
    for (auto &c : cases) {
        size_t need = strlen(c.expected) + 1;
        std::string fit(need, 'Z'), shortbuf(need - 1, 'Z');
        EXPECT_EQ(c.fn(c.base, c.ref, &fit[0], need), 0) << c.name;
        EXPECT_STREQ(fit.c_str(), c.expected) << c.name;
        EXPECT_EQ(c.fn(c.base, c.ref, &shortbuf[0], need - 1), -1) << c.name;
        EXPECT_EQ(c.fn(c.base, c.ref, &shortbuf[0], 0), -1) << c.name;
    }
}
