/* Interval timers signalled through pipes and served by the dispatch loop. */
#ifndef KIV_OSTIMER_H
#define KIV_OSTIMER_H

#include <stdint.h>

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_TIMER_MODE_ONESHOT 1
#define KIV_TIMER_MODE_CYCLIC 2

int ComTimerSet(ProcInfo *pProcInfo, int mode, int msec, SelectProc handler);
int ComTimerStart(ProcInfo *pProcInfo, int handle);
int ComTimeUpTimerStart(ProcInfo *pProcInfo, int handle, int msec);
int ComTimerCancel(ProcInfo *pProcInfo, int handle);
int ComTimeReSetTimer(ProcInfo *pProcInfo, int handle, int msec);
int ComTimerGet(ProcInfo *pProcInfo, int handle);
int ComTimerState(ProcInfo *pProcInfo);
int ComTimerDelete(ProcInfo *pProcInfo);
void SleepTicks(uint32_t ticks);

/* Installs the SIGUSR1 handling that turns each timer expiry into one byte in the
 * timer's pipe. A module that sets timers calls it once, after pProcInfoCom is set. */
int ComTimerSigInit(void);

#ifdef __cplusplus
}
#endif

#endif
