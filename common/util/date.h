/* Local date and time as packed words and fixed-width texts. */
#ifndef KIV_DATE_H
#define KIV_DATE_H

#include <stdint.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

void GetCurTime(uint32_t *pDate, uint32_t *pTime, uint16_t *pWeekday);
void GetDateTimeStr(char *pDateStr, char *pTimeStr);
char *GetDebugTimeStr(void);

/* The same packing and texts for a given instant rather than the clock. */
void GetTimeOf(const struct timeval *pTv, uint32_t *pDate, uint32_t *pTime, uint16_t *pWeekday);
void DateTimeStrOf(uint32_t date, uint32_t time, char *pDateStr, char *pTimeStr);
void DebugTimeStrOf(uint32_t date, uint32_t time, char *pStamp);

#ifdef __cplusplus
}
#endif

#endif
