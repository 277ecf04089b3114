// The package download's pure steps: file names from package URLs, the
// request options, the body sink, the reuse test, resuming a ".part" file and
// the size and SHA-256 checks after the body.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#include "download.h"
#include "test_util.h"

namespace {

const char kNoName[] = "the artifact url has no usable file name";
const char kBadChars[] = "the artifact file name contains unexpected characters";
const char kBadHash[] =
    "the SHA-256 of the download does not match the signed manifest: the file was corrupted or "
    "replaced";

std::string package(size_t n)
{
    std::vector<uint8_t> v = test_noise(n);
    return std::string(v.begin(), v.end());
}

std::vector<uint8_t> digest_of(const std::string &bytes)
{
    std::vector<uint8_t> d(32);
    sha256_buffer(bytes.data(), bytes.size(), d.data());
    return d;
}

bool exists(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f)
        fclose(f);
    return f != nullptr;
}

// Every progress report of a sink.
struct progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};
void record(void *user, uint64_t done, uint64_t total)
{
    ((progress *)user)->calls.push_back({done, total});
}

} // namespace

TEST(DownloadName, TakesTheLastSegmentAndRefusesUnsafeNames)
{
    struct {
        const char *url;
        const char *name;  // the file name, or null when refused
        const char *error; // the sentence of a refusal
    } cases[] = {
        {"https://h/pkgs/orv-2.1.0_win+x64.tar.zst", "orv-2.1.0_win+x64.tar.zst", ""},
        {"pkgs/a.pkg", "a.pkg", ""},
        {"a.pkg", "a.pkg", ""},
        {".hidden", ".hidden", ""},
        {"https://h/dl?f=/a.pkg", "a.pkg", ""},  // a query before the last "/" is the server's
        {"https://h/console.pkg", "console.pkg", ""},
        {"https://h/com10.pkg", "com10.pkg", ""},
        {"https://h/nul_x.pkg", "nul_x.pkg", ""},
        {"https://h/a.partial", "a.partial", ""},
        // empty, query
        {"https://h/pkgs/", nullptr, kNoName},
        {"", nullptr, kNoName},
        {"https://h/a.pkg?v=2", nullptr, kNoName},
        {"https://h/a?b%", nullptr, kNoName},
        // characters
        {"https://h/a b.pkg", nullptr, kBadChars},
        {"https://h/a%20b.pkg", nullptr, kBadChars},
        {"https://h/..\\..\\evil.exe", nullptr, kBadChars},
        {"https://h/a.pkg:stream", nullptr, kBadChars},
        {"https://h/a.pkg#frag", nullptr, kBadChars},
        {"https://h/\xc3\xa4.pkg", nullptr, kBadChars},
        {"https://h/a\tb", nullptr, kBadChars},
        // names that are no plain file of their own in the directory
        {"https://h/pkgs/..", nullptr, kNoName},
        {"https://h/pkgs/.", nullptr, kNoName},
        {"https://h/...", nullptr, kNoName},
        {"..", nullptr, kNoName},
        {"https://h/a.pkg.", nullptr, kNoName},
        {"https://h/NUL", nullptr, kNoName},
        {"https://h/nul.tar.zst", nullptr, kNoName},
        {"https://h/Con", nullptr, kNoName},
        {"https://h/aux.x", nullptr, kNoName},
        {"https://h/prn", nullptr, kNoName},
        {"https://h/com1.pkg", nullptr, kNoName},
        {"https://h/LPT9", nullptr, kNoName},
        {"https://h/a.part", nullptr, kNoName},
        {"https://h/a.PART", nullptr, kNoName},
        {"https://h/.part", nullptr, kNoName},
    };
    for (const auto &c : cases) {
        const char *name = nullptr;
        char err[200] = "";
        int rc = download_file_name(c.url, &name, err, sizeof err);
        if (c.name) {
            EXPECT_EQ(rc, 0) << c.url << ": " << err;
            EXPECT_STREQ(name ? name : "(null)", c.name) << c.url;
        } else {
            EXPECT_EQ(rc, -1) << c.url;
            EXPECT_STREQ(err, c.error) << c.url;
        }
    }
}

TEST(DownloadName, NullUrlHasNoName)
{
    const char *name = nullptr;
    char err[100] = "";
    EXPECT_EQ(download_file_name(nullptr, &name, err, sizeof err), -1);
    EXPECT_STREQ(err, kNoName);
}

TEST(DownloadOpts, FromTheSettingsWithTheRangeAndTheRestAsLimit)
{
    updater_config cfg = {};
    cfg.timeout = 17;
    http_opts o;
    download_http_opts(&cfg, 1000, 5000, &o);
    EXPECT_EQ(o.pin_file, nullptr);
    EXPECT_EQ(o.proxy, nullptr);
    EXPECT_EQ(o.client_cert_file, nullptr);
    EXPECT_EQ(o.client_key_file, nullptr);
    EXPECT_EQ(o.timeout_s, 17);
    EXPECT_EQ(o.range_start, 1000u);
    EXPECT_EQ(o.max_bytes, 4000u);
    EXPECT_EQ(o.max_redirects, 0u);
    EXPECT_STREQ(o.user_agent, "orv_updater/2.0.0-alpha.027");

    // A key alone presents nothing; with its certificate both go.
    strcpy(cfg.client_key, "k.pem");
    download_http_opts(&cfg, 0, 5000, &o);
    EXPECT_EQ(o.client_cert_file, nullptr);
    EXPECT_EQ(o.client_key_file, nullptr);
    EXPECT_EQ(o.range_start, 0u);
    EXPECT_EQ(o.max_bytes, 5000u);

    strcpy(cfg.client_cert, "c.pem");
    strcpy(cfg.ca_file, "pins.pem");
    strcpy(cfg.proxy, "127.0.0.1:3128");
    download_http_opts(&cfg, 0, 5000, &o);
    EXPECT_STREQ(o.client_cert_file, "c.pem");
    EXPECT_STREQ(o.client_key_file, "k.pem");
    EXPECT_STREQ(o.pin_file, "pins.pem");
    EXPECT_STREQ(o.proxy, "127.0.0.1:3128");
}

class DownloadFiles : public ::testing::Test {
protected:
    std::string dir, part;
    void SetUp() override
    {
        dir = test_temp_dir("download");
        part = dir + "/a.pkg.part";
    }
};

TEST_F(DownloadFiles, SinkWritesHashesCountsAndStopsAtTheSize)
{
    const std::string pkg = package(1000);
    progress pr;
    download_sink s = {};
    ASSERT_EQ(download_part_open(part.c_str(), pkg.size(), record, &pr, &s), 0);
    EXPECT_EQ(download_write_chunk(pkg.data(), 600, &s), 0);
    // One byte too many is refused whole, nothing of it counted.
    EXPECT_EQ(download_write_chunk(pkg.data() + 600, 401, &s), 1);
    EXPECT_EQ(s.bytes_done, 600u);
    EXPECT_EQ(download_write_chunk(pkg.data() + 600, 400, &s), 0);
    EXPECT_EQ(download_write_chunk("x", 1, &s), 1);
    ASSERT_EQ(pr.calls.size(), 2u);
    EXPECT_EQ(pr.calls[0], std::make_pair((uint64_t)600, (uint64_t)1000));
    EXPECT_EQ(pr.calls[1], std::make_pair((uint64_t)1000, (uint64_t)1000));
    char err[300] = "";
    EXPECT_EQ(download_part_finish(&s, digest_of(pkg).data(), 1, part.c_str(), err, sizeof err), 0)
        << err;
    EXPECT_EQ(test_read_file(part), pkg);
    EXPECT_EQ(download_sink_close(&s), 0);
}

TEST_F(DownloadFiles, ShortWriteStopsWithoutCounting)
{
    ASSERT_TRUE(test_write_file(part, ""));
    download_sink s = {};
    sha256_init(&s.digest);
    s.bytes_expected = 100;
    s.file = fopen(part.c_str(), "rb");  // a stream that cannot take the bytes
    ASSERT_NE(s.file, nullptr);
    EXPECT_EQ(download_write_chunk("abc", 3, &s), 1);
    EXPECT_EQ(s.bytes_done, 0u);
    EXPECT_NE(s.write_errno, 0) << "the failed write is remembered";
    download_sink_close(&s);
}

// Another thread's stop ends the body at its next piece: nothing of that
// piece reaches the file, the count or the progress.
TEST_F(DownloadFiles, StoppedSinkTakesNoMorePieces)
{
    const std::string pkg = package(1000);
    progress pr;
    download_sink s = {};
    std::atomic<int> stop{0};
    ASSERT_EQ(download_part_open(part.c_str(), pkg.size(), record, &pr, &s), 0);
    s.stop = &stop;
    EXPECT_EQ(download_write_chunk(pkg.data(), 600, &s), 0);
    stop.store(1);
    EXPECT_EQ(download_stopped(&s), 1);
    EXPECT_EQ(download_write_chunk(pkg.data() + 600, 400, &s), 1);
    EXPECT_EQ(s.bytes_done, 600u);
    EXPECT_EQ(s.write_errno, 0) << "a stop is no write failure";
    EXPECT_EQ(pr.calls.size(), 1u);
    EXPECT_EQ(download_sink_close(&s), 0);
    EXPECT_EQ(test_read_file(part), pkg.substr(0, 600));
}

// A full disk is told apart from other write failures by its errno.
TEST_F(DownloadFiles, WriteToAFullDiskKeepsItsReason)
{
#ifdef _WIN32
    GTEST_SKIP() << "no full device to write to";
#else
    download_sink s = {};
    sha256_init(&s.digest);
    s.bytes_expected = 100;
    s.file = fopen("/dev/full", "wb");
    ASSERT_NE(s.file, nullptr);
    setvbuf(s.file, nullptr, _IONBF, 0);  // every write reaches the device at once
    EXPECT_EQ(download_write_chunk("abc", 3, &s), 1);
    EXPECT_EQ(s.bytes_done, 0u);
    EXPECT_EQ(s.write_errno, ENOSPC);
    download_sink_close(&s);
#endif
}

TEST_F(DownloadFiles, ResumesWhatThePartFileHolds)
{
    const std::string pkg = package(200000);  // several read pieces
    struct {
        const char *name;
        bool present;
        size_t held;       // bytes of the package in the part file
        bool longer;       // the part file holds 7 more bytes than the package
        uint64_t kept;     // bytes_done after opening
    } cases[] = {
        {"no part file", false, 0, false, 0},
        {"empty part file", true, 0, false, 0},
        {"one byte", true, 1, false, 1},
        {"a whole read piece", true, DOWNLOAD_READ_PIECE, false, DOWNLOAD_READ_PIECE},
        {"most of it", true, 150001, false, 150001},
        {"all of it", true, pkg.size(), false, pkg.size()},
        {"longer than the package", true, pkg.size(), true, 0},
    };
    for (const auto &c : cases) {
        remove(part.c_str());
        if (c.present) {
            ASSERT_TRUE(test_write_file(part, pkg.substr(0, c.held) + (c.longer ? "1234567" : "")));
        }
        progress pr;
        download_sink s = {};
        ASSERT_EQ(download_part_open(part.c_str(), pkg.size(), record, &pr, &s), 0) << c.name;
        EXPECT_EQ(s.bytes_done, c.kept) << c.name;
        EXPECT_EQ(s.bytes_expected, pkg.size()) << c.name;
        EXPECT_TRUE(pr.calls.empty()) << c.name;
        // The rest goes exactly after the kept bytes, and the digest covers all.
        size_t rest = pkg.size() - (size_t)c.kept;
        if (rest) {
            EXPECT_EQ(download_write_chunk(pkg.data() + c.kept, rest, &s), 0) << c.name;
        }
        char err[300] = "";
        EXPECT_EQ(download_part_finish(&s, digest_of(pkg).data(), 1, part.c_str(), err, sizeof err),
                  0)
            << c.name << ": " << err;
        EXPECT_TRUE(test_read_file(part) == pkg) << c.name;
        download_sink_close(&s);
    }
}

TEST_F(DownloadFiles, RestartEmptiesThePartFile)
{
    const std::string pkg = package(3000);
    ASSERT_TRUE(test_write_file(part, pkg.substr(0, 1000)));
    download_sink s = {};
    ASSERT_EQ(download_part_open(part.c_str(), pkg.size(), nullptr, nullptr, &s), 0);
    EXPECT_EQ(s.bytes_done, 1000u);
    ASSERT_EQ(download_part_restart(part.c_str(), &s), 0);
    EXPECT_EQ(s.bytes_done, 0u);
    EXPECT_EQ(download_write_chunk(pkg.data(), pkg.size(), &s), 0);
    char err[300] = "";
    EXPECT_EQ(download_part_finish(&s, digest_of(pkg).data(), 1, part.c_str(), err, sizeof err), 0)
        << err;
    EXPECT_TRUE(test_read_file(part) == pkg);
}

TEST_F(DownloadFiles, PartFileThatCannotBeOpenedFails)
{
    download_sink s = {};
    std::string nowhere = dir + "/missing/a.pkg.part";
    EXPECT_EQ(download_part_open(nowhere.c_str(), 10, nullptr, nullptr, &s), -1);
    EXPECT_EQ(s.file, nullptr);
    EXPECT_EQ(download_sink_close(&s), 0);
    EXPECT_EQ(s.digest, nullptr);
}

TEST_F(DownloadFiles, ChecksAfterTheBodyDeleteAWrongPartFile)
{
    const std::string pkg = package(5000);
    std::string other = pkg;
    other[4321] ^= 1;
    struct {
        const char *name;
        std::string body;   // what the part file receives
        bool have_expected; // a valid signed digest is known
        const char *error;  // "" when the checks pass
    } cases[] = {
        {"right bytes", pkg, true, ""},
        {"one byte short", pkg.substr(0, 4999), true,
         "the download has 4999 bytes, the manifest says 5000"},
        {"nothing", "", true, "the download has 0 bytes, the manifest says 5000"},
        {"one bit changed", other, true, kBadHash},
        {"no signed digest", pkg, false, kBadHash},
    };
    for (const auto &c : cases) {
        remove(part.c_str());
        download_sink s = {};
        ASSERT_EQ(download_part_open(part.c_str(), pkg.size(), nullptr, nullptr, &s), 0);
        if (!c.body.empty()) {
            ASSERT_EQ(download_write_chunk(c.body.data(), c.body.size(), &s), 0) << c.name;
        }
        char err[300] = "";
        int rc = download_part_finish(&s, digest_of(pkg).data(), c.have_expected, part.c_str(), err,
                                      sizeof err);
        EXPECT_EQ(rc, *c.error ? -1 : 0) << c.name;
        EXPECT_STREQ(err, c.error) << c.name;
        // A part file that failed a check is never resumed.
        EXPECT_EQ(exists(part), !*c.error) << c.name;
        download_sink_close(&s);
    }
}

TEST_F(DownloadFiles, FinishedFileMatchesOnlyWithItsSizeAndHash)
{
    const std::string pkg = package(70000);
    const std::string path = dir + "/a.pkg";
    std::string flipped = pkg;
    flipped[0] ^= 0x80;
    struct {
        const char *name;
        bool present;  // a file stands at the path
        std::string bytes;
        int expected;
    } cases[] = {
        {"same bytes", true, pkg, 1},
        {"one byte more", true, pkg + "x", 0},
        {"one byte less", true, pkg.substr(1), 0},
        {"same size, other bytes", true, flipped, 0},
        {"empty", true, "", 0},
        {"missing", false, "", 0},
    };
    for (const auto &c : cases) {
        remove(path.c_str());
        if (c.present) {
            ASSERT_TRUE(test_write_file(path, c.bytes));
        }
        EXPECT_EQ(download_file_matches(path.c_str(), pkg.size(), digest_of(pkg).data()),
                  c.expected)
            << c.name;
    }
}

TEST_F(DownloadFiles, ReadErrorWhileHashingIsReported)
{
    // Reading a directory stream fails where a file would give bytes.
    FILE *f = fopen(dir.c_str(), "rb");
    if (!f)
        GTEST_SKIP() << "this C library does not open a directory as a stream";
    sha256_ctx ctx = nullptr;
    sha256_init(&ctx);
    uint64_t count = 0;
    EXPECT_EQ(download_hash_stream(f, &ctx, 100, &count), -1);
    fclose(f);
    uint8_t d[32];
    sha256_final(&ctx, d);
    EXPECT_EQ(download_file_matches(dir.c_str(), 0, d), 0);
}
