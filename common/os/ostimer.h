/* SPDX-License-Identifier: MIT */
/* Interval timers signalled through pipes and served by the dispatch loop. */
#ifndef KIV_OSTIMER_H
#define KIV_OSTIMER_H

#include <stdint.h>

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define KIV_TIMER_MODE_ONESHOT 1
#define KIV_TIMER_MODE_CYCLIC 2

/* A stopped timer of msec milliseconds (mode KIV_TIMER_MODE_*) whose expiries call handler from
 * the dispatch loop: its handle, the write end of its pipe; -1 when KIV_TIMER_MAX timers exist,
 * msec < 0 or no usable pipe was made. The timer operations leave iErrno alone. */
int ComTimerSet(ProcInfo *pProcInfo, int mode, int msec, SelectProc handler);
/* Starts the timer with its period, making its kernel timer if it has none (one that has is re-armed
 * with its last setting): 0; -1 for an unknown handle or a failed timer_create or timer_settime. */
int ComTimerStart(ProcInfo *pProcInfo, int handle);
/* Re-arms a timer that has its kernel timer, once after msec (0: with its last setting): 0; -1 for
 * an unknown handle, a timer without kernel timer, msec < 0, or a failed timer_settime. */
int ComTimeUpTimerStart(ProcInfo *pProcInfo, int handle, int msec);
/* Stops the timer (deletes its kernel timer): 0, also when it was stopped; -1 unknown handle. */
int ComTimerCancel(ProcInfo *pProcInfo, int handle);
/* Stops the timer and keeps msec as its period for the next start: 0; -1 unknown handle or msec < 0. */
int ComTimeReSetTimer(ProcInfo *pProcInfo, int handle, int msec);
/* Milliseconds elapsed of the running timer's current period; -1 unknown handle, timer stopped,
 * or a failed timer_gettime. */
int ComTimerGet(ProcInfo *pProcInfo, int handle);
/* 1 when a timer runs, 0 when none does. */
int ComTimerState(ProcInfo *pProcInfo);
/* Deletes every timer, closing its pipe and taking it out of the dispatch sets: 0 (no timer left);
 * -1 when closing a pipe end failed, the later slots then left as they were. */
int ComTimerDelete(ProcInfo *pProcInfo);
/* Sleeps ticks x 10 ms; with bit 31 set, the other bits count 1/256 seconds. */
void SleepTicks(uint32_t ticks);

/* Installs the SIGUSR1 handling that turns each timer expiry into one byte in the
 * timer's pipe. A module that sets timers calls it once, after pProcInfoCom is set.
 * 0; -1 when sigaction failed (errno as it left it). */
int ComTimerSigInit(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
