// Packed date and time words and their texts, at fixed instants and against the clock.
#include "util/date.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

void SetZone(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
}

struct Words {
    uint32_t date = 0xDEADBEEF;
    uint32_t time = 0xDEADBEEF;
    uint16_t weekday = 0xBEEF;
};

Words At(time_t secs, long usec) {
    timeval tv{};
    tv.tv_sec = secs;
    tv.tv_usec = static_cast<suseconds_t>(usec);
    Words w;
    GetTimeOf(&tv, &w.date, &w.time, &w.weekday);
    return w;
}

std::string Texts(const Words &w) {
    char buf[15] = {};
    DateTimeStrOf(w.date, w.time, buf, buf + 8);
    return std::string(buf, 14);
}

std::string Stamp(const Words &w) {
    char buf[32];
    memset(buf, '#', sizeof buf);
    DebugTimeStrOf(w.date, w.time, buf);
    EXPECT_EQ(buf[23], '\0');
    EXPECT_EQ(buf[24], '#') << "the stamp is 23 characters and a terminator";
    return std::string(buf);
}

// The words as the test itself reads the clock; their numeric order is the order in time.
uint64_t ClockWords() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    uint64_t date = static_cast<uint64_t>(t.tm_year + 1900) << 16 | static_cast<uint64_t>(t.tm_mon + 1) << 8 |
                    static_cast<uint64_t>(t.tm_mday);
    uint64_t time = static_cast<uint64_t>(t.tm_hour) << 24 | static_cast<uint64_t>(t.tm_min) << 16 |
                    static_cast<uint64_t>(t.tm_sec) << 8 | static_cast<uint64_t>(tv.tv_usec / 10000);
    return date << 32 | time;
}

std::string TextsOf(uint64_t words) {
    Words w;
    w.date = static_cast<uint32_t>(words >> 32);
    w.time = static_cast<uint32_t>(words);
    char buf[32];
    snprintf(buf, sizeof buf, "%04u%02u%02u%02u%02u%02u", w.date >> 16, (w.date >> 8) & 0xFF,
             w.date & 0xFF, w.time >> 24, (w.time >> 16) & 0xFF, (w.time >> 8) & 0xFF);
    return buf;
}

class DateTest : public testing::Test {
protected:
    void SetUp() override { SetZone("UTC0"); }
};

TEST_F(DateTest, WordsAndTextsOfAMorningInMarch) {
    Words w = At(1772615107, 430000); // 2026-03-04 09:05:07.43, a Wednesday
    EXPECT_EQ(w.date, 0x07EA0304u);
    EXPECT_EQ(w.time, 0x0905072Bu);
    EXPECT_EQ(w.weekday, 3);
    EXPECT_EQ(Texts(w), "20260304090507");
    EXPECT_EQ(Stamp(w), "2026-03-04 09:05:07.430");
}

TEST_F(DateTest, WordsOfTheLastHundredthOfTheYear) {
    Words w = At(1798761599, 999999); // 2026-12-31 23:59:59.999999, a Thursday
    EXPECT_EQ(w.date, 0x07EA0C1Fu);
    EXPECT_EQ(w.time, 0x173B3B63u);
    EXPECT_EQ(w.weekday, 4);
    EXPECT_EQ(Stamp(w), "2026-12-31 23:59:59.990");
}

TEST_F(DateTest, MidnightGivesTimeWordZero) {
    Words w = At(1772668800, 0); // 2026-03-05 00:00:00
    EXPECT_EQ(w.date, 0x07EA0305u);
    EXPECT_EQ(w.time, 0u);
    EXPECT_EQ(Texts(w), "20260305000000");
    EXPECT_EQ(Stamp(w), "2026-03-05 00:00:00.000");
}

TEST_F(DateTest, InstantAfterJanuary2038IsNotWrapped) {
    Words w = At(2214131696, 0); // 2040-02-29 12:34:56, a Wednesday
    EXPECT_EQ(w.date, 0x07F8021Du);
    EXPECT_EQ(w.time, 0x0C223800u);
    EXPECT_EQ(w.weekday, 3);
    EXPECT_EQ(Texts(w), "20400229123456");
}

TEST_F(DateTest, FieldsAreLocalTime) {
    SetZone("JST-9");
    Words w = At(1772582707, 430000); // 00:05:07.43 UTC is 09:05:07.43 nine hours east
    EXPECT_EQ(w.date, 0x07EA0304u);
    EXPECT_EQ(w.time, 0x0905072Bu);
}

TEST_F(DateTest, LeapSecondShowsSecond60) {
    if (access("/usr/share/zoneinfo/right/UTC", R_OK) != 0) GTEST_SKIP() << "no leap-second zone";
    SetZone("right/UTC");
    Words w = At(1483228826, 0); // 2016-12-31 23:59:60 in a zone that counts leap seconds
    EXPECT_EQ(w.date, 0x07E00C1Fu);
    EXPECT_EQ(w.time, 0x173B3C00u);
    EXPECT_EQ(Texts(w), "20161231235960");
}

// Regression: an instant localtime cannot convert must give defined fields, not a fault.
TEST_F(DateTest, UnconvertibleInstantGivesZeroFields) {
    Words w = At(std::numeric_limits<time_t>::max(), 0);
    EXPECT_EQ(w.date, 0u);
    EXPECT_EQ(w.time, 0u);
    EXPECT_EQ(w.weekday, 0);
    Words none;
    GetTimeOf(nullptr, &none.date, &none.time, &none.weekday);
    EXPECT_EQ(none.date, 0u);
    EXPECT_EQ(none.time, 0u);
    EXPECT_EQ(none.weekday, 0);
    EXPECT_EQ(Texts(w), "00000000000000");
    EXPECT_EQ(Stamp(w), "0000-00-00 00:00:00.000");
}

TEST_F(DateTest, NullOutArgumentsAreSkippedOthersStillStored) {
    timeval tv{1772615107, 430000};
    Words w;
    GetTimeOf(&tv, nullptr, &w.time, nullptr);
    EXPECT_EQ(w.time, 0x0905072Bu);
    EXPECT_EQ(w.date, 0xDEADBEEFu);
    GetTimeOf(&tv, &w.date, nullptr, &w.weekday);
    EXPECT_EQ(w.date, 0x07EA0304u);
    EXPECT_EQ(w.weekday, 3);
    GetTimeOf(&tv, nullptr, nullptr, nullptr);
    GetCurTime(nullptr, nullptr, nullptr);
    uint16_t weekday = 0xBEEF;
    GetCurTime(nullptr, nullptr, &weekday);
    EXPECT_LT(weekday, 7);
}

TEST_F(DateTest, TextsKeepTheirWidthsWhateverTheWords) {
    Words w;
    w.date = 0xFFFFFFFF;
    w.time = 0xFFFFFFFF;
    EXPECT_EQ(Texts(w), "55355555555555");
    EXPECT_EQ(Stamp(w), "5535-55-55 55:55:55.550");
}

TEST_F(DateTest, GetCurTimeFollowsTheClock) {
    uint64_t low = ClockWords();
    Words w;
    GetCurTime(&w.date, &w.time, &w.weekday);
    uint64_t high = ClockWords();
    uint64_t got = static_cast<uint64_t>(w.date) << 32 | w.time;
    EXPECT_LE(low, got);
    EXPECT_LE(got, high);
    EXPECT_LT(w.weekday, 7);
}

TEST_F(DateTest, GetDateTimeStrWritesExactly8And6Bytes) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    uint64_t low = ClockWords();
    GetDateTimeStr(buf, buf + 9);
    uint64_t high = ClockWords();
    EXPECT_EQ(buf[8], '#');
    EXPECT_EQ(buf[15], '#');
    std::string got = std::string(buf, 8) + std::string(buf + 9, 6);
    EXPECT_TRUE(got == TextsOf(low) || got == TextsOf(high)) << got;

    // Back to back, the two areas read as one run of 14 characters.
    memset(buf, '#', sizeof buf);
    low = ClockWords();
    GetDateTimeStr(buf, buf + 8);
    high = ClockWords();
    EXPECT_EQ(buf[14], '#');
    got = std::string(buf, 14);
    EXPECT_TRUE(got == TextsOf(low) || got == TextsOf(high)) << got;
}

TEST_F(DateTest, GetDebugTimeStrFollowsTheClockInItsOwnBuffer) {
    auto stampOf = [](uint64_t words) {
        Words w;
        w.date = static_cast<uint32_t>(words >> 32);
        w.time = static_cast<uint32_t>(words);
        char buf[40];
        snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%02u0", w.date >> 16,
                 (w.date >> 8) & 0xFF, w.date & 0xFF, w.time >> 24, (w.time >> 16) & 0xFF,
                 (w.time >> 8) & 0xFF, w.time & 0xFF);
        return std::string(buf);
    };
    std::string low = stampOf(ClockWords());
    char *first = GetDebugTimeStr();
    std::string got = first;
    std::string high = stampOf(ClockWords());
    EXPECT_EQ(got.size(), 23u);
    EXPECT_LE(low, got);
    EXPECT_LE(got, high);
    EXPECT_EQ(GetDebugTimeStr(), first) << "every stamp is made in the same buffer";
}

} // namespace
