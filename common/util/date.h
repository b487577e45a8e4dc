/* SPDX-License-Identifier: MIT */
/* Local date and time as packed words and fixed-width texts. */
#ifndef KIV_DATE_H
#define KIV_DATE_H

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Local time as date = year << 16 | month << 8 | day, time = hour << 24 | minute << 16 |
 * second << 8 | hundredths, and weekday (0 Sunday); all 0 when the clock cannot be read or
 * converted. Any pointer may be NULL. */
void GetCurTime(uint32_t *pDate, uint32_t *pTime, uint16_t *pWeekday);
/* Writes "YYYYMMDD" (8 characters) and "hhmmss" (6), without terminators; NULL skips one. */
void GetDateTimeStr(char *pDateStr, char *pTimeStr);
/* "YYYY-MM-DD hh:mm:ss.mmm" in a static buffer that the next call overwrites. */
char *GetDebugTimeStr(void);

/* The same packing and texts for a given instant rather than the clock; DebugTimeStrOf writes the
 * 23 characters and a terminator to pStamp. */
void GetTimeOf(const struct timeval *pTv, uint32_t *pDate, uint32_t *pTime, uint16_t *pWeekday);
void DateTimeStrOf(uint32_t date, uint32_t time, char *pDateStr, char *pTimeStr);
void DebugTimeStrOf(uint32_t date, uint32_t time, char *pStamp);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
