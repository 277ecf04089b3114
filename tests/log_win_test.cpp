// The process-wide log on the Windows runtime: lines on standard error, the
// level filter, the error count, the callback, the emergency line and the
// local-time routines under the runtime's own zone rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "sys_clock.h"
#include "test_util.h"

// Once Wine's runtime has converted a local time with TZ unset, it applies no
// daylight saving of a TZ set later; so this binary sets TZ before any test
// converts a time.
static const int g_tz_first = (_putenv("TZ=UTC0"), _tzset(), 0);

// Runs fn with descriptor 2, and so the standard error stream, going to a
// file; returns the bytes written there.
static std::string capture_stderr(const std::function<void()> &fn)
{
    std::string path = test_temp_dir("log") + "\\stderr.txt";
    fflush(stderr);
    int saved = _dup(2);
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (saved < 0 || fd < 0) {
        ADD_FAILURE() << "cannot redirect standard error to " << path;
        return "";
    }
    _dup2(fd, 2);
    _close(fd);
    fn();
    fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    return test_read_file(path);
}

// The 25-character timestamp of a log line, as a pattern.
static const std::string kTsPattern = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)";

// Collects what the callback receives.
struct received {
    std::vector<int> levels;
    std::vector<std::string> texts;
};

static void collect(int level, const char *text, void *user)
{
    received *r = (received *)user;
    r->levels.push_back(level);
    r->texts.push_back(text);
}

class LogWin : public ::testing::Test {
  protected:
    void SetUp() override
    {
        log_set_callback(nullptr, nullptr);
        log_init("orv_setup", LOG_INFO);
    }
    void TearDown() override { log_set_callback(nullptr, nullptr); }
};

TEST_F(LogWin, LinesOnStandardError)
{
    struct {
        int min_level, level;
        const char *expected;  // after the timestamp; empty when dropped
    } cases[] = {
        {1, 1, " [orv_setup] INFO  hello 5\n"},
        {1, 2, " [orv_setup] WARN  hello 5\n"},
        {1, 3, " [orv_setup] ERROR hello 5\n"},
        {1, 0, ""},
        {0, 0, " [orv_setup] DEBUG hello 5\n"},
        {1, 7, " [orv_setup] ?     hello 5\n"},
        // The filter compares unsigned: a negative level passes every minimum.
        {4, -1, " [orv_setup] ?     hello 5\n"},
        {4, 3, ""},
    };
    for (auto &c : cases) {
        log_init("orv_setup", c.min_level);
        std::string out = capture_stderr([&] { log_write(c.level, "hello %d", 5); });
        std::string what = "min " + std::to_string(c.min_level) + " level " + std::to_string(c.level);
        if (!*c.expected) {
            EXPECT_EQ(out, "") << what;
            continue;
        }
        EXPECT_TRUE(std::regex_match(out, std::regex(kTsPattern + R"( \[orv_setup\] .*\n)")))
            << what << ": " << out;
        EXPECT_EQ(out.substr(25), c.expected) << what;
    }
}

TEST_F(LogWin, LongLinesArriveWhole)
{
    // 4095 bytes go out in one write, longer lines in pieces; either way the
    // file holds the whole line once.
    for (size_t line_len : {4095u, 4096u, 10000u}) {
        std::string msg(line_len - 25 - strlen(" [orv_setup] INFO  ") - 1, 'x');
        msg.back() = 'E';
        std::string out = capture_stderr([&] { log_write(LOG_INFO, "%s", msg.c_str()); });
        ASSERT_EQ(out.size(), line_len) << line_len;
        EXPECT_EQ(out.substr(25), " [orv_setup] INFO  " + msg + "\n") << line_len;
    }
}

TEST_F(LogWin, NameIsCutAt63Bytes)
{
    std::string name(100, 'n');
    log_init(name.c_str(), LOG_INFO);
    EXPECT_EQ(std::string(log_program_name()), name.substr(0, 63));
    // The log's own buffer, not a copy.
    EXPECT_EQ(log_program_name(), log_program_name());
    std::string out = capture_stderr([] { log_write(LOG_WARN, "w"); });
    EXPECT_EQ(out.substr(25), " [" + name.substr(0, 63) + "] WARN  w\n");
}

TEST_F(LogWin, ErrorCountIncludesDroppedErrors)
{
    log_init("orv_setup", 4);
    int before = log_error_count();
    std::string out = capture_stderr([] {
        log_write(LOG_ERROR, "dropped");  // counted although below the minimum
        log_write(LOG_WARN, "dropped");   // neither counted nor written
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(log_error_count(), before + 1);

    // log_stderr_printf counts too, and writes exactly its text.
    before = log_error_count();
    int r = 0;
    out = capture_stderr([&] { r = log_stderr_printf("raw %s %zu", "text", (size_t)12); });
    EXPECT_EQ(out, "raw text 12");
    EXPECT_EQ(r, 11);
    EXPECT_EQ(log_error_count(), before + 1);
}

TEST_F(LogWin, ErrorCountIsExactAcrossThreads)
{
    log_init("orv_setup", 4);
    const int threads = 4, per_thread = 200000;
    int before = log_error_count();
    // All threads start counting at the same moment, so their increments
    // really overlap.
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back([&] {
            ready++;
            while (ready.load() < threads) {
            }
            for (int k = 0; k < per_thread; k++)
                log_write(LOG_ERROR, "e");
        });
    for (auto &t : pool)
        t.join();
    EXPECT_EQ(log_error_count(), before + threads * per_thread);
}

TEST_F(LogWin, CallbackTakesTheMessagesInstead)
{
    received r;
    std::string big(5000, 'b');
    std::string out = capture_stderr([&] {
        log_set_callback(collect, &r);
        log_write(LOG_WARN, "warn %d", 1);
        log_write(LOG_DEBUG, "below the minimum");
        log_write(LOG_ERROR, "%s", big.c_str());
        log_write(9, "odd level");
    });
    EXPECT_EQ(out, "") << "nothing goes to standard error while a callback is set";
    ASSERT_EQ(r.texts.size(), 3u);
    EXPECT_EQ(r.levels, (std::vector<int>{2, 3, 9}));
    EXPECT_EQ(r.texts[0], "warn 1");
    EXPECT_EQ(r.texts[1], big.substr(0, 2047));
    EXPECT_EQ(r.texts[2], "odd level");

    // Removing it brings the lines back.
    out = capture_stderr([] {
        log_set_callback(nullptr, nullptr);
        log_write(LOG_INFO, "back");
    });
    EXPECT_EQ(out.substr(25), " [orv_setup] INFO  back\n");
    EXPECT_EQ(r.texts.size(), 3u);
}

TEST_F(LogWin, EmergencyLineIgnoresFilterCallbackAndCount)
{
    received r;
    log_set_callback(collect, &r);
    log_init("orv_setup", 4);
    int before = log_error_count();
    struct {
        size_t text_len;
        int expected;
    } cases[] = {{5, 20 + 19 + 5 + 1}, {1000, 511}};
    for (auto &c : cases) {
        std::string text(c.text_len, 't');
        int written = 0;
        std::string out = capture_stderr([&] { written = log_emergency_warn(text.c_str()); });
        EXPECT_EQ(written, c.expected) << c.text_len;
        ASSERT_EQ(out.size(), (size_t)c.expected) << c.text_len;
        EXPECT_TRUE(std::regex_match(
            out, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[orv_setup\] WARN  t+\n)")))
            << out.substr(0, 60);
    }
    EXPECT_TRUE(r.texts.empty());
    EXPECT_EQ(log_error_count(), before);
}

TEST_F(LogWin, SystemLogHooksAreEmpty)
{
    EXPECT_EQ(journal_available(), 0);
    std::string out = capture_stderr([] {
        log_use_journal(1);
        syslog_write(3, "nothing %d", 1);
    });
    EXPECT_EQ(out, "");
    char prog[] = "orv_setup";
    char *argv[] = {prog, nullptr};
    syslog_setup(1, argv, "orv_setup");
    EXPECT_EQ(syslog_options_enabled(), 1);
}

// ---- local time under the runtime's zone rules ------------------------------------

// Sets the runtime's zone from a TZ text for the life of the object, then
// puts back the one before.
struct scoped_tz {
    std::string previous;
    explicit scoped_tz(const char *tz)
    {
        const char *p = getenv("TZ");
        previous = std::string("TZ=") + (p ? p : "");
        set(std::string("TZ=") + tz);
    }
    ~scoped_tz() { set(previous); }
    static void set(const std::string &assignment)
    {
        _putenv(assignment.c_str());
        _tzset();
    }
};

TEST(LogWinTime, TimestampAndOffsetFollowTheZone)
{
    const int64_t t = 1796779069;  // 2026-12-09T01:17:49Z
    struct {
        const char *tz;
        int64_t offset;
        const char *stamp;
    } cases[] = {
        {"UTC0", 0, "2026-12-09T01:17:49+00:00"},
        {"IST-5:30", 19800, "2026-12-09T06:47:49+05:30"},
        {"BRT3", -10800, "2026-12-08T22:17:49-03:00"},
        {"CET-1CEST", 3600, "2026-12-09T02:17:49+01:00"},
    };
    for (auto &c : cases) {
        scoped_tz zone(c.tz);
        EXPECT_EQ(time_utc_offset(t), c.offset) << c.tz;
        char buf[32];
        log_timestamp(t, buf, sizeof buf);
        EXPECT_STREQ(buf, c.stamp) << c.tz;
    }
    char untouched[3] = {'X', 'X', 'X'};
    log_timestamp(t, untouched, 0);
    EXPECT_EQ(memcmp(untouched, "XXX", 3), 0);
    // A time the runtime cannot convert gives "?" and offset 0.
    char buf[32];
    log_timestamp(-1000000000000LL, buf, sizeof buf);
    EXPECT_STREQ(buf, "?");
    EXPECT_EQ(time_utc_offset(-1000000000000LL), 0);
}

// The fields of UTC seconds s, for calling time_local_to_utc with them.
struct civil {
    int y, mo, d, h, mi, s;
};
static civil civil_of(int64_t s)
{
    int64_t y;
    int mo, d;
    time_civil_from_days(s / 86400, &y, &mo, &d);
    return {(int)y, mo, d, (int)(s % 86400 / 3600), (int)(s % 3600 / 60), (int)(s % 60)};
}

TEST(LogWinTime, LocalToUtcAroundDaylightSaving)
{
    scoped_tz zone("EST5EDT");
    // Find this year's two switches by the runtime's own rules.
    const int64_t jan1 = time_days_from_civil(2026, 1, 1) * 86400;
    int64_t spring = 0, autumn = 0;
    for (int64_t t = jan1; t < jan1 + 366 * 86400; t += 3600) {
        int64_t before = time_utc_offset(t - 3600), now = time_utc_offset(t);
        if (before == -18000 && now == -14400)
            spring = t;
        if (before == -14400 && now == -18000)
            autumn = t;
    }
    ASSERT_NE(spring, 0) << "the runtime knows no daylight saving for EST5EDT";
    ASSERT_NE(autumn, 0);
    struct {
        const char *name;
        int64_t local;  // the wall-clock time, read as if it were UTC
        int count;
        int64_t first, second;
    } cases[] = {
        {"inside the skipped hour", spring - 18000 + 1800, 0, 0, 0},
        {"inside the repeated hour", autumn - 14400 - 1800, 2, autumn - 1800, autumn + 1800},
        {"summer", spring - 14400 + 30 * 86400, 1, spring + 30 * 86400, 0},
        {"winter", jan1 + 12 * 3600, 1, jan1 + 12 * 3600 + 18000, 0},
    };
    for (auto &c : cases) {
        civil w = civil_of(c.local);
        int64_t out[2] = {0, 0};
        int n = time_local_to_utc(w.y, w.mo, w.d, w.h, w.mi, w.s, out);
        EXPECT_EQ(n, c.count) << c.name;
        if (n >= 1) {
            EXPECT_EQ(out[0], c.first) << c.name;
        }
        if (n == 2) {
            EXPECT_EQ(out[1], c.second) << c.name;
        }
    }
    // A zone without daylight saving: always exactly one.
    scoped_tz fixed("IST-5:30");
    civil w = civil_of(spring - 18000 + 1800);
    int64_t out[2];
    EXPECT_EQ(time_local_to_utc(w.y, w.mo, w.d, w.h, w.mi, w.s, out), 1);
}
