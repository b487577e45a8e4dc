// SPDX-License-Identifier: MIT
// Local date and time as packed words and as the fixed-width texts placed in records and
// action-log lines. The clock versions are the fixed-instant ones applied to gettimeofday.
#include "util/date.h"

#include <sys/time.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

// The last stamp made by GetDebugTimeStr.
static char str_buf[128];

void GetTimeOf(const struct timeval *pTv, uint32_t *pDate, uint32_t *pTime, uint16_t *pWeekday) {
    // An instant that cannot be converted gives all-zero fields: the callers have no way to
    // hear of a failure, and zeros still format to texts of the fixed widths.
    uint32_t date = 0;
    uint32_t time = 0;
    uint16_t weekday = 0;
    if (pTv != nullptr) {
        time_t secs = pTv->tv_sec;
        // localtime rather than localtime_r: it follows a change of the unit's time zone.
        const struct tm *tm = localtime(&secs);
        if (tm != nullptr) {
            auto bits = [](long v, uint32_t mask) { return static_cast<uint32_t>(v) & mask; };
            date = bits(tm->tm_year + 1900L, 0xFFFF) << 16 | bits(tm->tm_mon + 1L, 0xFF) << 8 | bits(tm->tm_mday, 0xFF);
            time = bits(tm->tm_hour, 0xFF) << 24 | bits(tm->tm_min, 0xFF) << 16 | bits(tm->tm_sec, 0xFF) << 8 |
                   bits(static_cast<long>(pTv->tv_usec / 10000), 0xFF);
            weekday = static_cast<uint16_t>(tm->tm_wday);
        }
    }
    if (pDate != nullptr) *pDate = date;
    if (pTime != nullptr) *pTime = time;
    if (pWeekday != nullptr) *pWeekday = weekday;
}

void GetCurTime(uint32_t *pDate, uint32_t *pTime, uint16_t *pWeekday) {
    struct timeval tv {};
    bool ok = gettimeofday(&tv, nullptr) == 0;
    GetTimeOf(ok ? &tv : nullptr, pDate, pTime, pWeekday);
}

static unsigned Year(uint32_t date) { return (date >> 16) % 10000; }
static unsigned Month(uint32_t date) { return ((date >> 8) & 0xFF) % 100; }
static unsigned Day(uint32_t date) { return (date & 0xFF) % 100; }
static unsigned Hour(uint32_t time) { return (time >> 24) % 100; }
static unsigned Minute(uint32_t time) { return ((time >> 16) & 0xFF) % 100; }
static unsigned Second(uint32_t time) { return ((time >> 8) & 0xFF) % 100; }
static unsigned Millis(uint32_t time) { return ((time & 0xFF) * 10) % 1000; }

void DateTimeStrOf(uint32_t date, uint32_t time, char *pDateStr, char *pTimeStr) {
    // Formed aside and copied without terminators, so the two areas may lie back to back.
    char scratch[32];
    if (pDateStr != nullptr) {
        (void)snprintf(scratch, sizeof scratch, "%04u%02u%02u", Year(date), Month(date), Day(date));
        memcpy(pDateStr, scratch, 8);
    }
    if (pTimeStr != nullptr) {
        (void)snprintf(scratch, sizeof scratch, "%02u%02u%02u", Hour(time), Minute(time), Second(time));
        memcpy(pTimeStr, scratch, 6);
    }
}

void DebugTimeStrOf(uint32_t date, uint32_t time, char *pStamp) {
    if (pStamp == nullptr) return;
    char scratch[64];
    (void)snprintf(scratch, sizeof scratch, "%04u-%02u-%02u %02u:%02u:%02u.%03u", Year(date), Month(date), Day(date),
                   Hour(time), Minute(time), Second(time), Millis(time));
    // 23 characters and the terminator.
    memcpy(pStamp, scratch, 24);
}

void GetDateTimeStr(char *pDateStr, char *pTimeStr) {
    uint32_t date = 0;
    uint32_t time = 0;
    uint16_t weekday = 0;
    GetCurTime(&date, &time, &weekday);
    DateTimeStrOf(date, time, pDateStr, pTimeStr);
}

char *GetDebugTimeStr(void) {
    uint32_t date = 0;
    uint32_t time = 0;
    uint16_t weekday = 0;
    GetCurTime(&date, &time, &weekday);
    DebugTimeStrOf(date, time, str_buf);
    return str_buf;
}
