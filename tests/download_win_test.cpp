// Package downloads against the tests' update server: fresh, reused, resumed
// with 206, a server that ignores the range, wrong sizes and hashes, cut
// bodies, part files longer than the package, names that try to leave the
// downloads directory, and the failures around the files.
#include <gtest/gtest.h>

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

#include "download.h"
#include "download_win_seam.h"
#include "seam_guard.h"
#include "test_util.h"
#include "update_server.h"

namespace {

const char kAgent[] = "orv_updater/2.0.0-alpha.027";
const char kBadHash[] =
    "the SHA-256 of the download does not match the signed manifest: the file was corrupted or "
    "replaced";

std::string package(size_t n)
{
    std::vector<uint8_t> v = test_noise(n);
    return std::string(v.begin(), v.end());
}

std::string sha_hex(const std::string &bytes)
{
    uint8_t d[32];
    sha256_buffer(bytes.data(), bytes.size(), d);
    return test_hex(d, 32);
}

bool exists(const std::string &path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The outcome of one artifact_download.
struct got {
    int rc = 0;
    std::string err;
    std::string path;
    std::vector<std::pair<uint64_t, uint64_t>> progress;  // (done, total) of each report
};

void record(void *user, uint64_t done, uint64_t total)
{
    ((got *)user)->progress.push_back({done, total});
}

class Download : public ::testing::Test {
protected:
    updater_config cfg = {};
    std::string dir;              // the downloads directory (not there before the first run)
    std::string base;             // the signed document's URL
    std::string pkg;              // the package's bytes
    std::deque<std::string> keep; // texts the artifacts point into

    void SetUp() override
    {
        ASSERT_TRUE(srv_ready());
        cfg.timeout = 20;
        dir = test_temp_dir("download") + "\\downloads";
        base = srv_url("ca", srv_case("alpha/manifest.json"));
        pkg = package(100000);
    }
    // The server path of a file below the document's directory.
    std::string at(const std::string &rel) { return srv_case("alpha/" + rel); }
    // An artifact with url and the size and SHA-256 of bytes.
    manifest_artifact artifact(const std::string &url, const std::string &bytes)
    {
        manifest_artifact a = {};
        a.url = keep.emplace_back(url).c_str();
        a.sha256 = keep.emplace_back(sha_hex(bytes)).c_str();
        a.size = bytes.size();
        return a;
    }
    got run(const manifest_artifact &a, size_t path_size = 1300)
    {
        got g;
        std::vector<char> path(path_size ? path_size : 1);
        char err[1000] = "";
        g.rc = artifact_download(&cfg, base.c_str(), &a, dir.c_str(), path.data(), path_size,
                                 record, &g, err, sizeof err);
        g.err = err;
        if (g.rc == 0)
            g.path = path.data();
        return g;
    }
    // The Range header of each request for rel, oldest first ("-" for none).
    std::vector<std::string> ranges(const std::string &rel)
    {
        std::vector<std::string> out;
        for (const srv_request &r : srv_requests(at(rel)))
            out.push_back(r.range);
        return out;
    }
    // Every request this test made, whatever its path.
    size_t requests_of_this_test()
    {
        size_t n = 0;
        for (const srv_request &r : srv_requests(""))
            n += r.path.find(srv_case("")) != std::string::npos;
        return n;
    }
    // The path of a package of these bytes named name in the downloads
    // directory: its name behind the first 16 hex digits of its SHA-256.
    std::string file(const std::string &name, const std::string &bytes)
    {
        return dir + "/" + sha_hex(bytes).substr(0, 16) + "-" + name;
    }
    std::string file(const std::string &name) { return file(name, pkg); }
};

using strings = std::vector<std::string>;

} // namespace

TEST_F(Download, FreshDownloadThenReuseWithoutARequest)
{
    srv_put(at("pkgs/a.pkg"), pkg);
    manifest_artifact a = artifact("pkgs/a.pkg", pkg);
    got g = run(a);
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_EQ(g.path, file("a.pkg"));
    EXPECT_TRUE(test_read_file(g.path) == pkg);
    EXPECT_FALSE(exists(file("a.pkg.part")));
    auto log = srv_requests(at("pkgs/a.pkg"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].range, "-");
    EXPECT_EQ(log[0].user_agent, kAgent);
    // Progress: bytes on disk after each piece, up to the size.
    ASSERT_FALSE(g.progress.empty());
    EXPECT_LE(g.progress.front().first, (uint64_t)HTTP_PIECE);
    for (size_t i = 0; i < g.progress.size(); i++) {
        EXPECT_EQ(g.progress[i].second, pkg.size());
        if (i) {
            EXPECT_GT(g.progress[i].first, g.progress[i - 1].first);
        }
    }
    EXPECT_EQ(g.progress.back().first, pkg.size());

    // The finished file is checked and kept; progress says so once.
    got again = run(a);
    ASSERT_EQ(again.rc, 0) << again.err;
    EXPECT_EQ(again.path, file("a.pkg"));
    EXPECT_EQ(srv_requests(at("pkgs/a.pkg")).size(), 1u);
    ASSERT_EQ(again.progress.size(), 1u);
    EXPECT_EQ(again.progress[0], std::make_pair((uint64_t)pkg.size(), (uint64_t)pkg.size()));

    // The quiet form finds it too.
    char path[1300], err[300] = "";
    EXPECT_EQ(artifact_download_quiet(&cfg, base.c_str(), &a, dir.c_str(), path, sizeof path, err,
                                      sizeof err),
              0)
        << err;
    EXPECT_EQ(std::string(path), file("a.pkg"));
}

TEST_F(Download, AbsoluteUrlIsUsedUnchanged)
{
    const std::string elsewhere = srv_case("mirror/b.pkg");
    srv_put(elsewhere, pkg);
    got g = run(artifact(srv_url("ca", elsewhere), pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_EQ(g.path, file("b.pkg"));
    EXPECT_EQ(srv_requests(elsewhere).size(), 1u);
}

TEST_F(Download, DamagedFinishedFileIsReplaced)
{
    srv_put(at("a.pkg"), pkg);
    std::filesystem::create_directories(dir);
    std::string old = package(100001).substr(1);  // same size, other bytes
    ASSERT_TRUE(test_write_file(file("a.pkg"), old));
    got g = run(artifact("a.pkg", pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_EQ(ranges("a.pkg"), strings{"-"});
}

TEST_F(Download, ResumesThePartFileWithARange)
{
    srv_put(at("a.pkg"), pkg);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(test_write_file(file("a.pkg.part"), pkg.substr(0, 50000)));
    got g = run(artifact("a.pkg", pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_FALSE(exists(file("a.pkg.part")));
    EXPECT_EQ(ranges("a.pkg"), strings{"bytes=50000-"});
    // Progress starts at the kept bytes.
    ASSERT_FALSE(g.progress.empty());
    EXPECT_GT(g.progress.front().first, 50000u);
    EXPECT_EQ(g.progress.back().first, pkg.size());
}

TEST_F(Download, ServerThatIgnoresTheRangeGetsOneFullDownload)
{
    srv_put(at("a.pkg"), pkg);
    srv_fault(at("a.pkg"), "status 200\n");
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(test_write_file(file("a.pkg.part"), pkg.substr(0, 50000)));
    got g = run(artifact("a.pkg", pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_EQ(ranges("a.pkg"), (strings{"bytes=50000-", "-"}));
    // Progress starts again from 0.
    ASSERT_FALSE(g.progress.empty());
    EXPECT_LE(g.progress.front().first, (uint64_t)HTTP_PIECE);
    EXPECT_EQ(g.progress.back().first, pkg.size());
}

TEST_F(Download, PartFileLongerThanThePackageStartsAgain)
{
    srv_put(at("a.pkg"), pkg);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(test_write_file(file("a.pkg.part"), pkg + "0123456789"));
    got g = run(artifact("a.pkg", pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_EQ(ranges("a.pkg"), strings{"-"});
}

TEST_F(Download, CompletePartFileIsCheckedWithoutARequest)
{
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(test_write_file(file("a.pkg.part"), pkg));
    got g = run(artifact("a.pkg", pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_FALSE(exists(file("a.pkg.part")));
    EXPECT_EQ(requests_of_this_test(), 0u);
}

// Kept bytes whose result fails the SHA-256 were not all the package's: the
// same run starts once more from 0 instead of leaving it to the next one.
TEST_F(Download, ResumedResultThatFailsItsHashIsDownloadedOnceMoreFromTheStart)
{
    std::string wrong = pkg;
    wrong[1000] ^= 1;
    struct {
        const char *name;
        std::string part;            // the part file before the run
        std::string served;          // the package on the server
        strings ranges;              // the requests of the run
        std::string error;           // "" when the package is downloaded
    } cases[] = {
        {"complete part, one bit wrong", wrong, pkg, {"-"}, ""},
        {"half of it, one bit wrong", wrong.substr(0, 50000), pkg, {"bytes=50000-", "-"}, ""},
        {"the server's bytes are wrong too", wrong.substr(0, 50000), wrong,
         {"bytes=50000-", "-"}, kBadHash},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        const std::string rel = std::string("case") + std::to_string(&c - cases) + ".pkg";
        srv_put(at(rel), c.served);
        ASSERT_TRUE(test_write_file(file(rel + ".part"), c.part));
        got g = run(artifact(rel, pkg));
        EXPECT_EQ(g.err, c.error) << c.name;
        EXPECT_EQ(g.rc, c.error.empty() ? 0 : -1) << c.name;
        EXPECT_EQ(ranges(rel), c.ranges) << c.name;
        EXPECT_EQ(exists(file(rel)), c.error.empty()) << c.name;
        EXPECT_FALSE(exists(file(rel + ".part"))) << c.name;
        if (c.error.empty()) {
            EXPECT_TRUE(test_read_file(file(rel)) == pkg) << c.name;
        }
    }
}

// Two packages whose URLs end in the same file name: each keeps its own file,
// and each is found again by the next run.
TEST_F(Download, PackagesWithTheSameFileNameKeepFilesOfTheirOwn)
{
    const std::string other = package(100001).substr(1);
    srv_put(at("core/pkg.tar.zst"), pkg);
    srv_put(at("agent/pkg.tar.zst"), other);
    manifest_artifact a = artifact("core/pkg.tar.zst", pkg);
    manifest_artifact b = artifact("agent/pkg.tar.zst", other);
    got ga = run(a);
    got gb = run(b);
    ASSERT_EQ(ga.rc, 0) << ga.err;
    ASSERT_EQ(gb.rc, 0) << gb.err;
    EXPECT_NE(ga.path, gb.path);
    EXPECT_TRUE(test_read_file(ga.path) == pkg);
    EXPECT_TRUE(test_read_file(gb.path) == other);
    EXPECT_TRUE(run(a).rc == 0 && run(b).rc == 0);
    EXPECT_EQ(srv_requests(at("core/pkg.tar.zst")).size(), 1u) << "the finished file is reused";
    EXPECT_EQ(srv_requests(at("agent/pkg.tar.zst")).size(), 1u) << "the finished file is reused";

    // An interrupted download of one is resumed by the next run, whatever
    // the other one did meanwhile.
    std::filesystem::remove_all(dir);
    srv_fault(at("core/pkg.tar.zst"), "cut 30000\n");
    EXPECT_EQ(run(a).rc, -1);
    ASSERT_EQ(run(b).rc, 0);
    srv_fault(at("core/pkg.tar.zst"), "");
    got resumed = run(a);
    ASSERT_EQ(resumed.rc, 0) << resumed.err;
    EXPECT_TRUE(test_read_file(resumed.path) == pkg);
    std::vector<std::string> seen;
    for (const srv_request &r : srv_requests(at("core/pkg.tar.zst")))
        seen.push_back(r.range);
    EXPECT_EQ(seen, (strings{"-", "-", "bytes=30000-"}));
}

TEST_F(Download, FailuresKeepOnlyAPartFileWorthResuming)
{
    const std::string url = srv_url("ca", at("a.pkg"));
    std::string wrong = pkg;
    wrong[5] ^= 1;
    struct {
        const char *name;
        std::string served;  // the bytes on the server (the artifact says pkg)
        const char *faults;
        std::string error;
        long part_size;      // bytes of the part file afterwards, -1 for none
    } cases[] = {
        // Bytes of a response longer than the package cannot begin it.
        {"larger than the package", pkg + "x", "",
         "cannot download " + url + ": response is larger than the allowed 100000 bytes", -1},
        {"larger, no length announced", pkg + "x", "length none\n",
         "cannot download " + url + ": response is larger than the allowed 100000 bytes", -1},
        {"smaller than the package", pkg.substr(0, 99999), "",
         "the download has 99999 bytes, the manifest says 100000", -1},
        {"smaller, no length announced", pkg.substr(0, 99999), "length none\n",
         "the download has 99999 bytes, the manifest says 100000", -1},
        {"other bytes", wrong, "", kBadHash, -1},
        {"body cut", pkg, "cut 30000\n", "cannot download " + url + ": download truncated", 30000},
        {"not found", "", "status 404\n", "cannot download " + url + ": HTTP status 404", 0},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(dir);
        srv_put(at("a.pkg"), c.served);
        srv_fault(at("a.pkg"), c.faults);
        got g = run(artifact("a.pkg", pkg));
        EXPECT_EQ(g.rc, -1) << c.name;
        EXPECT_EQ(g.err, c.error) << c.name;
        EXPECT_FALSE(exists(file("a.pkg"))) << c.name;
        std::error_code ec;
        long part = -1;
        if (exists(file("a.pkg.part")))
            part = (long)std::filesystem::file_size(file("a.pkg.part"), ec);
        EXPECT_EQ(part, c.part_size) << c.name;
    }
    srv_fault(at("a.pkg"), "");
}

TEST_F(Download, NextRunAfterAFailure)
{
    srv_fault(at("a.pkg"), "cut 30000\n");
    srv_put(at("a.pkg"), pkg);
    manifest_artifact a = artifact("a.pkg", pkg);
    got cut = run(a);
    ASSERT_EQ(cut.rc, -1);
    // A cut body is resumed from where it ended.
    srv_fault(at("a.pkg"), "");
    got g = run(a);
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_EQ(ranges("a.pkg"), (strings{"-", "bytes=30000-"}));

    // After a wrong hash nothing is kept, so the next run starts from 0.
    const std::string b = srv_case("alpha/b.pkg");
    std::string wrong = pkg;
    wrong[70000] ^= 1;
    srv_put(b, wrong);
    manifest_artifact ab = artifact("b.pkg", pkg);
    got bad = run(ab);
    EXPECT_EQ(bad.err, kBadHash);
    srv_put(b, pkg);
    got good = run(ab);
    ASSERT_EQ(good.rc, 0) << good.err;
    EXPECT_EQ(ranges("b.pkg"), (strings{"-", "-"}));
}

namespace {
int g_flush_errno;   // errno of the failing flush, 0: the real flush
int g_commit_errno;  // errno of the failing commit, 0: the real commit
int failing_flush(FILE *f)
{
    if (!g_flush_errno)
        return fflush(f);
    errno = g_flush_errno;
    return EOF;
}
int failing_commit(int fd)
{
    if (!g_commit_errno)
        return download_win_real.commit(fd);
    errno = g_commit_errno;
    return -1;
}
} // namespace

// The last bytes must be on disk before the file takes the package's name; a
// disk that refuses them is named as the cause, and the part file stays for
// a resume once there is room.
TEST_F(Download, BytesThatDoNotReachTheDiskNeverGetThePackagesName)
{
    seam_guard<download_win_calls> guard(download_win);
    download_win.flush = failing_flush;
    download_win.commit = failing_commit;
    srv_put(at("a.pkg"), pkg);
    const std::string full = "cannot write " + file("a.pkg.part") + ": the disk is full";
    const std::string other = "cannot write " + file("a.pkg.part");
    struct {
        const char *name;
        int flush_errno, commit_errno;
        std::string error;
    } cases[] = {
        {"flush on a full disk", ENOSPC, 0, full},
        {"commit on a full disk", 0, ENOSPC, full},
        {"flush fails otherwise", EIO, 0, other},
        {"commit fails otherwise", 0, EIO, other},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(dir);
        g_flush_errno = c.flush_errno;
        g_commit_errno = c.commit_errno;
        got g = run(artifact("a.pkg", pkg));
        EXPECT_EQ(g.rc, -1) << c.name;
        EXPECT_EQ(g.err, c.error) << c.name;
        EXPECT_FALSE(exists(file("a.pkg"))) << c.name;
        EXPECT_TRUE(exists(file("a.pkg.part"))) << c.name;
    }
    g_flush_errno = g_commit_errno = 0;
    got g = run(artifact("a.pkg", pkg));
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
}

namespace {
std::vector<int64_t> g_committed;  // the part file's size at each commit
int g_fail_commit = -1;            // the commit (counted from 0) that finds the disk full
int recording_commit(int fd)
{
    g_committed.push_back(_filelengthi64(fd));
    if ((int)g_committed.size() - 1 == g_fail_commit) {
        errno = ENOSPC;
        return -1;
    }
    return download_win_real.commit(fd);
}
} // namespace

// A large download goes to the disk while it comes, 32 MiB at a time, not
// all at once before it takes its name; a disk that fills up on the way is
// named as the cause and stops the download, keeping what reached it.
TEST_F(Download, LargeDownloadReachesTheDiskAsItGrows)
{
    seam_guard<download_win_calls> guard(download_win);
    download_win.commit = recording_commit;
    const int64_t step = 32ll << 20;
    std::string big = package((size_t)step + 300000);
    srv_put(at("big.pkg"), big);
    struct {
        const char *name;
        int fail_commit;
        int rc;
        std::vector<int64_t> at_least;  // the least size at each commit
    } cases[] = {
        {"room enough", -1, 0, {step, (int64_t)big.size()}},
        {"full at the first 32 MiB", 0, -1, {step}},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(dir);
        g_committed.clear();
        g_fail_commit = c.fail_commit;
        got g = run(artifact("big.pkg", big));
        EXPECT_EQ(g.rc, c.rc) << c.name << ": " << g.err;
        ASSERT_EQ(g_committed.size(), c.at_least.size()) << c.name;
        for (size_t i = 0; i < c.at_least.size(); i++) {
            EXPECT_GE(g_committed[i], c.at_least[i]) << c.name << ", commit " << i;
            // No more than one piece of the body past the mark.
            EXPECT_LE(g_committed[i], c.at_least[i] + 16384) << c.name << ", commit " << i;
        }
        if (c.rc != 0) {
            EXPECT_EQ(g.err, "cannot write " + file("big.pkg.part", big) + ": the disk is full")
                << c.name;
            EXPECT_EQ((int64_t)std::filesystem::file_size(file("big.pkg.part", big)),
                      g_committed.back())
                << c.name;
        }
    }
    g_fail_commit = -1;
}

TEST_F(Download, NamesThatLeaveTheDirectoryAreRefusedBeforeAnythingIsWritten)
{
    const std::string abs = srv_url("ca", at(""));
    const std::string no_name = "the artifact url has no usable file name";
    const std::string chars = "the artifact file name contains unexpected characters";
    struct {
        std::string url;
        std::string error;
    } cases[] = {
        {abs + "pkgs/..", no_name},
        {abs + ".", no_name},
        {abs + "pkgs/", no_name},
        {"pkgs/a.pkg?x=1", no_name},
        {abs + "a.pkg.", no_name},
        {abs + "NUL", no_name},
        {abs + "com1.tar.zst", no_name},
        {abs + "x.part", no_name},
        {"..\\..\\evil.exe", chars},
        {abs + "..%2f..%2fevil.exe", chars},
        {abs + "a b.pkg", chars},
        {abs + "a.pkg:hidden", chars},
        {"http://localhost/a.pkg", "cannot resolve the artifact url http://localhost/a.pkg"},
        {"/abs/a.pkg", "cannot resolve the artifact url /abs/a.pkg"},
    };
    for (const auto &c : cases) {
        got g = run(artifact(c.url, pkg));
        EXPECT_EQ(g.rc, -1) << c.url;
        EXPECT_EQ(g.err, c.error) << c.url;
    }
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(requests_of_this_test(), 0u);
}

TEST_F(Download, PathThatDoesNotFitIsRefused)
{
    srv_put(at("a.pkg"), pkg);
    const std::string path = file("a.pkg");
    got g = run(artifact("a.pkg", pkg), path.size());  // no room for the NUL
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(g.err, "cannot write " + path);
    got fits = run(artifact("a.pkg", pkg), path.size() + 1);
    ASSERT_EQ(fits.rc, 0) << fits.err;
    EXPECT_EQ(fits.path, path);
    EXPECT_EQ(ranges("a.pkg"), strings{"-"});
}

TEST_F(Download, DirectoryBehindAFileCannotBeCreated)
{
    std::string blocker = test_temp_dir("download") + "\\file";
    ASSERT_TRUE(test_write_file(blocker, "x"));
    dir = blocker + "\\downloads";
    got g = run(artifact("a.pkg", pkg));
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(g.err, "cannot create " + dir);
    EXPECT_EQ(requests_of_this_test(), 0u);
}

TEST_F(Download, FailedMoveKeepsTheCheckedPartFileForTheNextRun)
{
    srv_put(at("a.pkg"), pkg);
    // A directory where the finished file belongs: neither deleted nor replaced.
    std::filesystem::create_directories(file("a.pkg"));
    manifest_artifact a = artifact("a.pkg", pkg);
    got g = run(a);
    EXPECT_EQ(g.rc, -1);
    EXPECT_EQ(g.err, "cannot finish " + file("a.pkg"));
    EXPECT_TRUE(test_read_file(file("a.pkg.part")) == pkg);

    std::filesystem::remove(file("a.pkg"));
    got again = run(a);
    ASSERT_EQ(again.rc, 0) << again.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_EQ(ranges("a.pkg"), strings{"-"});
}

TEST_F(Download, PartFileThatCannotBeReadWholeIsNeverTheBaseOfAResume)
{
    srv_put(at("a.pkg"), pkg);
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(test_write_file(file("a.pkg.part"), pkg.substr(0, 90000)));
    // Another handle locks bytes in the second read piece, so hashing the part
    // file stops with a read error after the first piece. Resuming after the
    // bytes that were hashed while the file holds more would put a package
    // with 24464 stray bytes in its middle under its name. (Wine does not
    // hold reads to byte-range locks: there the whole file is hashed and the
    // run resumes at 90000; Windows fails the read.)
    HANDLE h = CreateFileA(file("a.pkg.part").c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED at_70000 = {};
    at_70000.Offset = 70000;
    ASSERT_TRUE(LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 10000, 0,
                           &at_70000));
    manifest_artifact a = artifact("a.pkg", pkg);
    got locked = run(a);
    if (locked.rc == 0) {
        EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    }
    UnlockFileEx(h, 0, 10000, 0, &at_70000);
    CloseHandle(h);

    got g = run(a);
    ASSERT_EQ(g.rc, 0) << g.err;
    EXPECT_TRUE(test_read_file(file("a.pkg")) == pkg);
    EXPECT_NE(ranges("a.pkg").at(0), "bytes=65536-");
}

// The part file is written while other threads start programs (the checks of
// packages fetched earlier): its handle must not be one they inherit, new or
// resumed, or the file could not be finished while such a program runs.
TEST(DownloadPart, HandleIsNotInherited)
{
    std::string dir = test_temp_dir("download");
    std::string part = dir + "\\a.pkg.part";
    for (const char *name : {"new part file", "part file resumed"}) {
        download_sink sink;
        ASSERT_EQ(download_part_open(part.c_str(), 1000, nullptr, nullptr, &sink), 0) << name;
        ASSERT_NE(sink.file, nullptr) << name;
        fputs("some bytes", sink.file);
        DWORD flags = 0;
        EXPECT_TRUE(GetHandleInformation((HANDLE)_get_osfhandle(_fileno(sink.file)), &flags))
            << name;
        EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << name;
        download_sink_close(&sink);
    }
}
