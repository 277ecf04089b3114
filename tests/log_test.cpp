// The log's pure parts: line assembly and the one-write rule, the callback
// text, level names, calendar arithmetic, timestamps with their UTC offset,
// the search for the instants of a local time, and the emergency line.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "log.h"

// ---- a recording sink ---------------------------------------------------------

// What reached the sink: whole writes and stream pieces, in order.
struct sink_record {
    std::vector<std::string> whole;
    std::vector<std::string> pieces;
};
static sink_record g_rec;

static void rec_whole(const char *line, size_t len) { g_rec.whole.emplace_back(line, len); }

static void rec_piece(const char *fmt, va_list ap)
{
    va_list aq;
    va_copy(aq, ap);
    int n = vsnprintf(nullptr, 0, fmt, aq);
    va_end(aq);
    std::string s((size_t)(n > 0 ? n : 0), '\0');
    vsnprintf(&s[0], s.size() + 1, fmt, ap);
    g_rec.pieces.push_back(s);
}

static const log_sink kRecSink = {rec_whole, rec_piece};

// What reached the callback.
struct cb_record {
    int calls = 0;
    int level = -100;
    std::string text;
    void *user = nullptr;
};

static void rec_callback(int level, const char *text, void *user)
{
    cb_record *r = (cb_record *)user;
    r->calls++;
    r->level = level;
    r->text = text;
    r->user = user;
}

// log_deliver with printf-style arguments, the way log_write hands them on.
static void deliver(log_callback cb, void *user, int level, const char *ts, const char *name,
                    const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_deliver(&kRecSink, cb, user, level, ts, name, fmt, ap);
    va_end(ap);
}

static const char kTs[] = "2026-12-09T02:17:49+01:00";

TEST(LogLine, PrefixAndLevelNames)
{
    struct {
        int level;
        const char *expected;
    } cases[] = {
        {0, "2026-12-09T02:17:49+01:00 [orv_setup] DEBUG hello\n"},
        {1, "2026-12-09T02:17:49+01:00 [orv_setup] INFO  hello\n"},
        {2, "2026-12-09T02:17:49+01:00 [orv_setup] WARN  hello\n"},
        {3, "2026-12-09T02:17:49+01:00 [orv_setup] ERROR hello\n"},
        // Any other level prints "?" padded to five columns.
        {7, "2026-12-09T02:17:49+01:00 [orv_setup] ?     hello\n"},
        {-1, "2026-12-09T02:17:49+01:00 [orv_setup] ?     hello\n"},
        {4, "2026-12-09T02:17:49+01:00 [orv_setup] ?     hello\n"},
    };
    for (auto &c : cases) {
        g_rec = {};
        deliver(nullptr, nullptr, c.level, kTs, "orv_setup", "%s", "hello");
        ASSERT_EQ(g_rec.whole.size(), 1u) << "level " << c.level;
        EXPECT_EQ(g_rec.whole[0], c.expected) << "level " << c.level;
        EXPECT_TRUE(g_rec.pieces.empty()) << "level " << c.level;
    }
}

TEST(LogLine, FailedLocalTimeStartsWithQuestionMark)
{
    g_rec = {};
    deliver(nullptr, nullptr, 1, "?", "orv", "x=%d", 5);
    ASSERT_EQ(g_rec.whole.size(), 1u);
    EXPECT_EQ(g_rec.whole[0], "? [orv] INFO  x=5\n");
}

// A line of exactly 4095 bytes (line feed included) goes out whole in one
// write; one byte more goes out as prefix, the whole message and "\n".
TEST(LogLine, OneWriteUpTo4095Bytes)
{
    const std::string prefix = std::string(kTs) + " [orv_setup] INFO  ";
    struct {
        size_t line_len;  // with the line feed
        bool one_write;
    } cases[] = {{4094, true}, {4095, true}, {4096, false}, {4097, false}, {9000, false}};
    for (auto &c : cases) {
        std::string msg(c.line_len - prefix.size() - 1, 'm');
        msg[0] = 'A';
        msg.back() = 'Z';
        g_rec = {};
        // The message comes through an argument, so the long path must walk
        // the argument list a second time.
        deliver(nullptr, nullptr, 1, kTs, "orv_setup", "%s", msg.c_str());
        if (c.one_write) {
            ASSERT_EQ(g_rec.whole.size(), 1u) << c.line_len;
            EXPECT_EQ(g_rec.whole[0], prefix + msg + "\n") << c.line_len;
            EXPECT_TRUE(g_rec.pieces.empty()) << c.line_len;
        } else {
            EXPECT_TRUE(g_rec.whole.empty()) << c.line_len;
            ASSERT_EQ(g_rec.pieces.size(), 3u) << c.line_len;
            EXPECT_EQ(g_rec.pieces[0], prefix) << c.line_len;
            EXPECT_EQ(g_rec.pieces[1], msg) << c.line_len;
            EXPECT_EQ(g_rec.pieces[2], "\n") << c.line_len;
        }
    }
}

TEST(LogLine, ArgumentsSurviveEveryPass)
{
    // Several arguments of different kinds on the long path: a reused,
    // already walked argument list would print garbage here.
    std::string big(5000, 'b');
    g_rec = {};
    deliver(nullptr, nullptr, 2, kTs, "n", "%d|%s|%lld|%s", 42, big.c_str(), -7LL, "end");
    ASSERT_EQ(g_rec.pieces.size(), 3u);
    EXPECT_EQ(g_rec.pieces[1], "42|" + big + "|-7|end");
}

TEST(LogLine, PrefixTooLongForTheBufferStillGoesOut)
{
    std::string name(5000, 'n');
    g_rec = {};
    deliver(nullptr, nullptr, 1, kTs, name.c_str(), "%s", "short");
    EXPECT_TRUE(g_rec.whole.empty());
    ASSERT_EQ(g_rec.pieces.size(), 3u);
    EXPECT_EQ(g_rec.pieces[0], std::string(kTs) + " [" + name + "] INFO  ");
    EXPECT_EQ(g_rec.pieces[1], "short");
}

TEST(LogLine, CallbackGetsBareTextCutAt2047)
{
    struct {
        size_t len;
        size_t expected_len;
    } cases[] = {{0, 0}, {10, 10}, {2047, 2047}, {2048, 2047}, {5000, 2047}};
    for (auto &c : cases) {
        std::string msg(c.len, 'c');
        cb_record r;
        g_rec = {};
        deliver(rec_callback, &r, 3, kTs, "orv_setup", "%s", msg.c_str());
        EXPECT_EQ(r.calls, 1) << c.len;
        EXPECT_EQ(r.level, 3) << c.len;
        EXPECT_EQ(r.user, &r) << c.len;
        EXPECT_EQ(r.text, msg.substr(0, c.expected_len)) << c.len;
        EXPECT_TRUE(g_rec.whole.empty() && g_rec.pieces.empty()) << "nothing to stderr " << c.len;
    }
    // The caller's level is passed as it is, also one without a name.
    cb_record r;
    deliver(rec_callback, &r, -5, kTs, "x", "v=%u", 9u);
    EXPECT_EQ(r.level, -5);
    EXPECT_EQ(r.text, "v=9");
}

// A message from a file or a server reaches a terminal: its control
// characters arrive escaped on every path, line breaks stay.
TEST(LogLine, ControlCharactersGoOutEscaped)
{
    const std::string prefix = std::string(kTs) + " [orv_setup] WARN  ";
    const std::string raw = "unknown setting '\x1b[2J\x1b]0;owned\x07' in\r\nline";
    const std::string shown = "unknown setting '\\x1b[2J\\x1b]0;owned\\x07' in\r\nline";
    g_rec = {};
    deliver(nullptr, nullptr, 2, kTs, "orv_setup", "%s", raw.c_str());
    ASSERT_EQ(g_rec.whole.size(), 1u);
    EXPECT_EQ(g_rec.whole[0], prefix + shown + "\n");

    // A line made too long by its escapes, and one too long already.
    for (size_t len : {1500, 5000}) {
        std::string msg = std::string(len, 'm') + "\x1b" + std::string(len, '\x01');
        g_rec = {};
        deliver(nullptr, nullptr, 2, kTs, "orv_setup", "%s", msg.c_str());
        std::string expected = std::string(len, 'm') + "\\x1b";
        for (size_t i = 0; i < len; i++)
            expected += "\\x01";
        EXPECT_TRUE(g_rec.whole.empty()) << len;
        ASSERT_EQ(g_rec.pieces.size(), 3u) << len;
        EXPECT_EQ(g_rec.pieces[1], expected) << len;
    }

    cb_record r;
    deliver(rec_callback, &r, 2, kTs, "orv_setup", "%s", raw.c_str());
    EXPECT_EQ(r.text, shown);
}

// The receiver's text, cut at 2047 bytes, ends on a whole character.
TEST(LogLine, CallbackTextCutOnAWholeCharacter)
{
    for (size_t pad : {0, 1}) {
        std::string msg = std::string(pad, 'x');
        while (msg.size() < 3000)
            msg += "\xC3\xA4";
        cb_record r;
        deliver(rec_callback, &r, 2, kTs, "orv_setup", "%s", msg.c_str());
        EXPECT_EQ(r.text, msg.substr(0, pad ? 2047 : 2046)) << pad;
    }
}

// ---- calendar and time zones ----------------------------------------------------

TEST(LogTime, CivilDays)
{
    struct {
        int64_t year;
        int month, day;
        int64_t days;
    } cases[] = {
        {1970, 1, 1, 0},         {1969, 12, 31, -1},     {2000, 3, 1, 11017},
        {2026, 12, 9, 20796},    {1600, 1, 1, -135140},  {2400, 2, 29, 157113},
        {9999, 12, 31, 2932896}, {1, 1, 1, -719162},
    };
    for (auto &c : cases) {
        EXPECT_EQ(time_days_from_civil(c.year, c.month, c.day), c.days) << c.year << "-" << c.month;
        int64_t y;
        int m, d;
        time_civil_from_days(c.days, &y, &m, &d);
        EXPECT_EQ(y, c.year) << c.days;
        EXPECT_EQ(m, c.month) << c.days;
        EXPECT_EQ(d, c.day) << c.days;
    }
}

// A broken-down time of the UTC seconds s (s read as local time by callers).
static struct tm tm_of(int64_t s)
{
    int64_t days = s / 86400, sec = s % 86400;
    if (sec < 0) {
        sec += 86400;
        days--;
    }
    int64_t y;
    int m, d;
    time_civil_from_days(days, &y, &m, &d);
    struct tm tm = {};
    tm.tm_year = (int)(y - 1900);
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_hour = (int)(sec / 3600);
    tm.tm_min = (int)(sec / 60 % 60);
    tm.tm_sec = (int)(sec % 60);
    return tm;
}

// 2026-12-09T01:17:49Z.
static const int64_t kT = 1796779069;

TEST(LogTime, TimestampOffsets)
{
    struct {
        int64_t offset;  // local minus UTC, seconds
        const char *expected;
    } cases[] = {
        {3600, "2026-12-09T02:17:49+01:00"},
        {0, "2026-12-09T01:17:49+00:00"},
        {19800, "2026-12-09T06:47:49+05:30"},
        {-10800, "2026-12-08T22:17:49-03:00"},
        {-34200, "2026-12-08T15:47:49-09:30"},
        {50400, "2026-12-09T15:17:49+14:00"},
        // Minutes are cut toward zero, so the sign needs a whole minute.
        {3599, "2026-12-09T02:17:48+00:59"},
        {-3599, "2026-12-09T00:17:50-00:59"},
        {-59, "2026-12-09T01:16:50+00:00"},
    };
    for (auto &c : cases) {
        struct tm local = tm_of(kT + c.offset);
        char buf[32];
        log_format_timestamp(&local, kT, buf, sizeof buf);
        EXPECT_STREQ(buf, c.expected) << c.offset;
        EXPECT_EQ(strlen(buf), 25u) << c.offset;
    }
}

TEST(LogTime, TimestampBufferSizes)
{
    struct tm local = tm_of(kT + 3600);
    struct {
        size_t size;
        const char *expected;
    } cases[] = {
        {26, "2026-12-09T02:17:49+01:00"},
        {25, "2026-12-09T02:17:49+01:0"},
        {21, "2026-12-09T02:17:49+"},
        {20, "2026-12-09T02:17:49"},
        // strftime produces nothing when the time does not fit: "?".
        {19, "?"},
        {2, "?"},
        {1, ""},
    };
    for (auto &c : cases) {
        char buf[40];
        memset(buf, 'X', sizeof buf);
        log_format_timestamp(&local, kT, buf, c.size);
        EXPECT_STREQ(buf, c.expected) << c.size;
        for (size_t i = c.size; i < sizeof buf; i++)
            ASSERT_EQ(buf[i], 'X') << "byte " << i << " written with size " << c.size;
    }
    char untouched[4] = {'X', 'X', 'X', 'X'};
    log_format_timestamp(&local, kT, untouched, 0);
    EXPECT_EQ(memcmp(untouched, "XXXX", 4), 0);
}

// Test zones for the local-time search, chosen by the global below.
static int64_t g_fixed_offset;
// 2026-03-29T01:00Z and 2026-10-25T01:00Z: summer time from +01:00 to +02:00.
static const int64_t kSummerStart = 1774746000, kSummerEnd = 1792890000;

static int zone_fixed(int64_t t, struct tm *out)
{
    *out = tm_of(t + g_fixed_offset);
    return 0;
}

static int zone_central(int64_t t, struct tm *out)
{
    *out = tm_of(t + (t >= kSummerStart && t < kSummerEnd ? 7200 : 3600));
    return 0;
}

static int zone_none(int64_t, struct tm *) { return -1; }

TEST(LogTime, UtcOffset)
{
    g_fixed_offset = 19800;
    EXPECT_EQ(time_utc_offset_with(zone_fixed, kT), 19800);
    g_fixed_offset = -10800;
    EXPECT_EQ(time_utc_offset_with(zone_fixed, kT), -10800);
    EXPECT_EQ(time_utc_offset_with(zone_central, kSummerStart - 1), 3600);
    EXPECT_EQ(time_utc_offset_with(zone_central, kSummerStart), 7200);
    EXPECT_EQ(time_utc_offset_with(zone_none, kT), 0);
}

TEST(LogTime, LocalToUtc)
{
    struct {
        const char *name;
        time_local_fn zone;
        int64_t fixed;
        int y, mo, d, h, mi, s;
        int count;
        int64_t first, second;
    } cases[] = {
        // Inside the hour skipped in spring: no instant.
        {"spring gap", zone_central, 0, 2026, 3, 29, 2, 30, 0, 0, 0, 0},
        // Inside the hour repeated in autumn: both, the earlier first.
        {"autumn repeat", zone_central, 0, 2026, 10, 25, 2, 30, 0, 2, kSummerEnd - 1800,
         kSummerEnd + 1800},
        {"summer", zone_central, 0, 2026, 6, 1, 12, 0, 0, 1,
         time_days_from_civil(2026, 6, 1) * 86400 + 10 * 3600, 0},
        {"winter", zone_central, 0, 2026, 12, 9, 2, 17, 49, 1, kT, 0},
        {"just before the gap", zone_central, 0, 2026, 3, 29, 1, 59, 59, 1, kSummerStart - 1, 0},
        {"just after the gap", zone_central, 0, 2026, 3, 29, 3, 0, 0, 1, kSummerStart, 0},
        {"no daylight saving", zone_fixed, 19800, 2026, 3, 29, 2, 30, 0, 1,
         time_days_from_civil(2026, 3, 29) * 86400 + 2 * 3600 + 1800 - 19800, 0},
        {"utc", zone_fixed, 0, 1970, 1, 1, 0, 0, 0, 1, 0, 0},
        {"no local time", zone_none, 0, 2026, 6, 1, 12, 0, 0, 0, 0, 0},
    };
    for (auto &c : cases) {
        g_fixed_offset = c.fixed;
        int64_t out[2] = {-1, -1};
        int n = time_local_to_utc_with(c.zone, c.y, c.mo, c.d, c.h, c.mi, c.s, out);
        EXPECT_EQ(n, c.count) << c.name;
        if (n >= 1) {
            EXPECT_EQ(out[0], c.first) << c.name;
        }
        if (n == 2) {
            EXPECT_EQ(out[1], c.second) << c.name;
        }
    }
}

// ---- the emergency line ---------------------------------------------------------

TEST(LogEmergency, LineLayout)
{
    int64_t y10000 = time_days_from_civil(10000, 2, 3) * 86400 + 4 * 3600 + 5 * 60 + 6;
    struct {
        int64_t t;
        const char *name, *text, *expected;
    } cases[] = {
        {0, "orv", "hi", "1970-01-01T00:00:00Z [orv] WARN  hi\n"},
        {kT, "orv_setup", "disk almost full",
         "2026-12-09T01:17:49Z [orv_setup] WARN  disk almost full\n"},
        {kT, "", "", "2026-12-09T01:17:49Z [] WARN  \n"},
        // The low four digits of a five-digit year.
        {y10000, "a", "b", "0000-02-03T04:05:06Z [a] WARN  b\n"},
    };
    for (auto &c : cases) {
        char buf[512];
        size_t n = log_format_emergency(c.t, c.name, c.text, buf);
        EXPECT_EQ(std::string(buf, n), c.expected) << c.text;
    }
}

TEST(LogEmergency, CutAt510BytesBeforeTheLineFeed)
{
    struct {
        size_t text_len;
        size_t expected_len;
    } cases[] = {
        // 20 bytes of time, " [orv_setup] WARN  " 19 bytes, the text, "\n".
        {100, 20 + 19 + 100 + 1}, {470, 510}, {471, 511}, {472, 511}, {1000, 511}};
    for (auto &c : cases) {
        std::string text(c.text_len, 't');
        char buf[520];
        memset(buf, 'X', sizeof buf);
        size_t n = log_format_emergency(kT, "orv_setup", text.c_str(), buf);
        EXPECT_EQ(n, c.expected_len) << c.text_len;
        EXPECT_EQ(buf[n - 1], '\n') << c.text_len;
        EXPECT_EQ(buf[512], 'X') << c.text_len;
    }
}
