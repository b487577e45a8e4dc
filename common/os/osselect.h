/* SPDX-License-Identifier: MIT */
/* Descriptor dispatch loop on pselect.
 * Handler results: 0 continue; -1 error (ends the pass for a descriptor handler,
 * only logged for a timer handler); any other value ends the pass and is returned. */
#ifndef KIV_OSSELECT_H
#define KIV_OSSELECT_H

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Enters the registered descriptors (iaSelectDes up to the first 0) into the master set, raises
 * iMaxfd, and blocks every signal except while ComSelect waits. No result. */
void ComSelectInit(ProcInfo *pProcInfo);
/* Enters the pipe of timer slot iTimerCount into the master set (ComTimerSet calls it). */
void ComSelectTimerInit(ProcInfo *pProcInfo);
/* One pass: waits without a time-out, serves the timer pipes, then the ready descriptors in slot
 * order with iSelectDes set. 0 the pass ended (or nothing is registered and no timer runs); -1 the
 * wait failed (its errno in iErrno) or a descriptor handler failed; 3 a signal interrupted the
 * wait (iErrno EINTR); any other value is the handler's that ended the pass. */
int ComSelect(ProcInfo *pProcInfo);
/* mode != 0 enters the registered descriptors again (as ComSelectInit) and recomputes iMaxfd.
 * mode 0 takes the registered descriptors, up to the first 0, out of both sets and leaves the table
 * and iMaxfd as they are: the caller empties iaSelectDes before it registers anew (a full table,
 * which has no ending 0, is emptied here and iMaxfd recomputed). No result. */
void ComSelectUpdate(ProcInfo *pProcInfo, int mode);
/* Empties both sets and both descriptor tables; iMaxfd 0. */
void ComSelectFdzero(ProcInfo *pProcInfo);
/* Recomputes iMaxfd from the timer pipes and the registered descriptors. */
void ComSelectFdMaxGet(ProcInfo *pProcInfo);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
