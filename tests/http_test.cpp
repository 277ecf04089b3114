// The HTTPS client's pure parts: memory sinks, pin files, the WinHTTP reason
// table, and the decisions a request takes on a response.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "codec.h"
#include "http.h"
#include "test_util.h"

TEST(HttpSink, UrlSinkKeepsMaxAndGrowsFrom4096)
{
    memory_sink m = {};
    m.max = 10000;
    std::string piece(3000, 'a');
    EXPECT_EQ(url_sink_memory(piece.data(), piece.size(), &m), 0);
    EXPECT_EQ(m.cap, 4096u);
    EXPECT_EQ(url_sink_memory(piece.data(), piece.size(), &m), 0);
    EXPECT_EQ(m.cap, 8192u);
    EXPECT_EQ(url_sink_memory(piece.data(), piece.size(), &m), 0);
    EXPECT_EQ(m.cap, 16384u);
    EXPECT_EQ(m.len, 9000u);
    EXPECT_EQ(m.data[9000], '\0');
    // 1001 more would pass max: refused, and nothing of it is kept.
    std::string more(1001, 'b');
    EXPECT_EQ(url_sink_memory(more.data(), more.size(), &m), 1);
    EXPECT_EQ(m.len, 9000u);
    EXPECT_EQ(url_sink_memory(more.data(), 1000, &m), 0);
    EXPECT_EQ(m.len, 10000u);
    EXPECT_EQ(strlen(m.data), 10000u);
    // A piece whose length alone wraps the sum is refused too.
    EXPECT_EQ(url_sink_memory("x", SIZE_MAX, &m), 1);
    free(m.data);
}

TEST(HttpSink, HttpSinkHasNoMaxAndGrowsFrom8192)
{
    memory_sink m = {};
    EXPECT_EQ(http_sink_memory("abc", 3, &m), 0);
    EXPECT_EQ(m.cap, 8192u);
    EXPECT_STREQ(m.data, "abc");
    std::string big(20000, 'z');
    EXPECT_EQ(http_sink_memory(big.data(), big.size(), &m), 0);
    EXPECT_EQ(m.cap, 32768u);
    EXPECT_EQ(m.len, 20003u);
    EXPECT_EQ(m.data[m.len], '\0');
    EXPECT_EQ(http_sink_memory("x", SIZE_MAX - 2, &m), -1);
    EXPECT_EQ(m.len, 20003u);
    free(m.data);
}

// A PEM block of the bytes der.
static std::string pem_block(const std::string &der, const char *label = "CERTIFICATE")
{
    char b64[512];
    b64_encode(der.data(), der.size(), b64, sizeof b64);
    std::string body(b64);
    // Lines of 16 characters: the decoder must skip the line feeds.
    std::string wrapped;
    for (size_t i = 0; i < body.size(); i += 16)
        wrapped += body.substr(i, 16) + "\r\n";
    return std::string("-----BEGIN ") + label + "-----\n" + wrapped + "-----END " + label +
           "-----\n";
}

TEST(HttpPins, ParseFindsEveryDecodableBlock)
{
    const std::string a = "first certificate", b = std::string("sec\0ond", 7);
    struct {
        const char *name;
        std::string text;
        int added;
        std::vector<std::string> ders;
    } cases[] = {
        {"one", pem_block(a), 1, {a}},
        {"two with text around", "junk\n" + pem_block(a) + "between\n" + pem_block(b) + "tail", 2,
         {a, b}},
        {"a key block is not a certificate", pem_block(a, "PRIVATE KEY") + pem_block(b), 1, {b}},
        {"undecodable block skipped",
         "-----BEGIN CERTIFICATE-----\n#!\n-----END CERTIFICATE-----\n" + pem_block(b), 1, {b}},
        {"empty block skipped", "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n" +
                                    pem_block(a), 1, {a}},
        {"BEGIN without END ends the search", pem_block(a) + "-----BEGIN CERTIFICATE-----\nYWJj\n",
         1, {a}},
        {"NUL bytes in the file", std::string("\0\0", 2) + pem_block(a), 1, {a}},
        {"nothing", "hello", 0, {}},
        {"", "", 0, {}},
    };
    for (auto &c : cases) {
        http_pins pins = {};
        EXPECT_EQ(http_pins_parse(c.text.data(), c.text.size(), &pins), c.added) << c.name;
        ASSERT_EQ(pins.count, c.ders.size()) << c.name;
        for (size_t i = 0; i < pins.count; i++) {
            EXPECT_EQ(std::string((char *)pins.list[i].der, pins.list[i].len), c.ders[i]) << c.name;
            EXPECT_EQ(http_pins_match(&pins, c.ders[i].data(), c.ders[i].size()), 1) << c.name;
        }
        http_pins_free(&pins);
        EXPECT_EQ(pins.count, 0u) << c.name;
    }
}

TEST(HttpPins, MatchComparesLengthAndBytes)
{
    std::string text = pem_block("abcdef") + pem_block("xyz");
    http_pins pins = {};
    ASSERT_EQ(http_pins_parse(text.data(), text.size(), &pins), 2);
    struct {
        const char *der;
        size_t len;
        int match;
    } cases[] = {
        {"abcdef", 6, 1}, {"xyz", 3, 1}, {"abcde", 5, 0}, {"abcdefg", 7, 0}, {"abcdeF", 6, 0},
        {"", 0, 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(http_pins_match(&pins, c.der, c.len), c.match) << c.der;
    http_pins_free(&pins);
}

TEST(HttpPins, LoadRefusesMissingEmptyHugeAndCertificateFreeFiles)
{
    std::string dir = test_temp_dir("pins");
    std::string good = dir + "/good.pem", empty = dir + "/empty.pem", huge = dir + "/huge.pem",
                none = dir + "/none.pem", edge = dir + "/edge.pem";
    ASSERT_TRUE(test_write_file(good, pem_block("der bytes")));
    ASSERT_TRUE(test_write_file(empty, ""));
    // The largest accepted file holds its certificate at the very end.
    std::string block = pem_block("der bytes");
    ASSERT_TRUE(test_write_file(edge, std::string(HTTP_PIN_FILE_MAX - block.size(), ' ') + block));
    ASSERT_TRUE(test_write_file(huge, std::string(HTTP_PIN_FILE_MAX + 1 - block.size(), ' ') + block));
    ASSERT_TRUE(test_write_file(none, "no certificate here\n"));
    struct {
        std::string path;
        int rc;
    } cases[] = {
        {good, 0}, {edge, 0}, {empty, -1}, {huge, -1}, {none, -1}, {dir + "/missing.pem", -1},
    };
    for (auto &c : cases) {
        http_pins pins = {};
        char err[300] = "";
        EXPECT_EQ(http_pins_load(c.path.c_str(), &pins, err, sizeof err), c.rc) << c.path;
        if (c.rc == 0) {
            EXPECT_EQ(pins.count, 1u) << c.path;
            EXPECT_STREQ(err, "") << c.path;
        } else {
            EXPECT_EQ(pins.count, 0u) << c.path;
            EXPECT_EQ(std::string(err), "cannot read a certificate from " + c.path);
        }
        http_pins_free(&pins);
    }
}

TEST(HttpPins, DetailNamesBothThumbprintsAndIsCut)
{
    char d[HTTP_PIN_DETAIL];
    http_pin_detail(d, "aa", "bb", 1);
    EXPECT_STREQ(d, " (the server presented SHA-1 thumbprint aa, the pinned certificate has bb; a "
                    "newer test site or a program that inspects TLS traffic can cause this)");
    http_pin_detail(d, "?", "bb", 3);
    EXPECT_STREQ(d, " (the server presented SHA-1 thumbprint ?, the pinned certificate has bb and "
                    "others; a newer test site or a program that inspects TLS traffic can cause "
                    "this)");
    std::string longer(500, 'f');
    http_pin_detail(d, longer.c_str(), "bb", 1);
    EXPECT_EQ(strlen(d), (size_t)HTTP_PIN_DETAIL - 1);
}

TEST(HttpReasons, EveryRowAndTheBlankForOthers)
{
    struct {
        unsigned long error;
        const char *message;
    } cases[] = {
        {12002, "request to h failed (WinHTTP error 12002) timeout"},
        {12007, "request to h failed (WinHTTP error 12007) the host name cannot be resolved"},
        {12029, "request to h failed (WinHTTP error 12029) cannot connect"},
        {12038, "request to h failed (WinHTTP error 12038) the certificate does not match the host "
                "name"},
        {12044, "request to h failed (WinHTTP error 12044) the server asks for a client "
                "certificate"},
        {12045, "request to h failed (WinHTTP error 12045) the server certificate is not trusted"},
        {12175, "request to h failed (WinHTTP error 12175) TLS/certificate problem"},
        {12186, "request to h failed (WinHTTP error 12186) the client certificate has no usable "
                "private key"},
        // Wine's answer to most certificate problems, and any other number.
        {12157, "request to h failed (WinHTTP error 12157) "},
        {0, "request to h failed (WinHTTP error 0) "},
        {4294967295ul, "request to h failed (WinHTTP error 4294967295) "},
    };
    for (auto &c : cases) {
        char err[200];
        http_request_failure(err, sizeof err, "h", c.error);
        EXPECT_STREQ(err, c.message) << c.error;
    }
    // The reason is appended as far as the buffer holds it; no buffer, no text.
    char small[40];
    http_request_failure(small, sizeof small, "localhost", 12045);
    EXPECT_STREQ(small, "request to localhost failed (WinHTTP er");
    http_request_failure(nullptr, 10, "h", 12002);
    small[0] = 'x';
    http_request_failure(small, 0, "h", 12002);
    EXPECT_EQ(small[0], 'x');
}

TEST(HttpDecisions, RetryOnlyFor12044WithoutCertificate)
{
    struct {
        unsigned long error;
        int configured, retry;
    } cases[] = {
        {12044, 0, 1}, {12044, 1, 0}, {12045, 0, 0}, {12157, 0, 0}, {12002, 0, 0}, {0, 0, 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(http_retry_without_cert(c.error, c.configured), c.retry)
            << c.error << " configured " << c.configured;
}

TEST(HttpDecisions, StatusLeadsToBodyRedirectOrFailure)
{
    struct {
        int is_get;
        unsigned long status;
        uint64_t range;
        int any, next;
    } cases[] = {
        {1, 200, 0, 0, HTTP_NEXT_BODY},
        {1, 206, 100, 0, HTTP_NEXT_BODY},
        {1, 200, 100, 0, HTTP_NEXT_BAD_STATUS},
        {1, 206, 0, 0, HTTP_NEXT_BAD_STATUS},
        {1, 404, 0, 0, HTTP_NEXT_BAD_STATUS},
        {1, 0, 0, 0, HTTP_NEXT_BAD_STATUS},
        {1, 301, 0, 0, HTTP_NEXT_REDIRECT},
        {1, 302, 0, 0, HTTP_NEXT_REDIRECT},
        {1, 303, 0, 0, HTTP_NEXT_REDIRECT},
        {1, 307, 0, 0, HTTP_NEXT_REDIRECT},
        {1, 308, 100, 0, HTTP_NEXT_REDIRECT},
        {1, 304, 0, 0, HTTP_NEXT_BAD_STATUS},
        {1, 300, 0, 1, HTTP_NEXT_BODY},
        // Redirects are followed for GET, whatever accept_any_status says.
        {1, 302, 0, 1, HTTP_NEXT_REDIRECT},
        // A POST never follows one; with any status accepted its answer is the body.
        {0, 302, 0, 1, HTTP_NEXT_BODY},
        {0, 500, 0, 1, HTTP_NEXT_BODY},
        {0, 302, 0, 0, HTTP_NEXT_BAD_STATUS},
    };
    for (auto &c : cases)
        EXPECT_EQ(http_after_status(c.is_get, c.status, c.range, c.any), c.next)
            << (c.is_get ? "GET " : "POST ") << c.status << " range " << c.range << " any "
            << c.any;
}

TEST(HttpDecisions, ContentLengthIs64BitDigits)
{
    struct {
        const char *text;
        int rc;
        uint64_t value;
    } cases[] = {
        {"0", 0, 0},
        {"4097", 0, 4097},
        // Beyond 32 bits: a 5 GiB body is announced as such, not wrapped.
        {"5368709120", 0, 5368709120ull},
        {"18446744073709551615", 0, UINT64_MAX},
        {"18446744073709551616", -1, 0},
        {"", -1, 0},
        {"-1", -1, 0},
        {"12a", -1, 0},
        {" 12", -1, 0},
    };
    for (auto &c : cases) {
        uint64_t v = 7;
        EXPECT_EQ(http_parse_content_length(c.text, &v), c.rc) << c.text;
        EXPECT_EQ(v, c.rc == 0 ? c.value : 7u) << c.text;
    }
}

TEST(HttpDecisions, TimeoutNeverInfiniteNorOverflowing)
{
    struct {
        int32_t s;
        int ms;
    } cases[] = {
        {0, 30000}, {1, 1000}, {30, 30000}, {-1, 30000}, {INT32_MIN, 30000},
        {2147483, 2147483000}, {2147484, INT32_MAX}, {INT32_MAX, INT32_MAX},
    };
    for (auto &c : cases)
        EXPECT_EQ(http_timeout_ms(c.s), c.ms) << c.s;
}
