/* SPDX-License-Identifier: MIT */
/* Status notifications to the supervisor module (kivsts, 80), each one record through
 * ComFIFOPutData2, so each waits at most about a second for the supervisor; a failed delivery is
 * logged there. Each returns the send's result: 0 delivered, -1 not (errno as ComFIFOPutData2). */
#ifndef KIV_STSMSG_H
#define KIV_STSMSG_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Record 600 from iModId to FifoStsp: the status as three digits, then up to four characters of
 * pTag (may be NULL). */
int WakeupComplete(int iModId, int iStatus, const char *pTag);
/* Record 605 from iModId to FifoSts with the status as three digits. */
int TerminateComplete(int iModId, int iStatus);
/* Record 609 from module 53 to FifoSts, bytes iErrKind + 4 and iErrValue. */
int SendSTSError(int iErrKind, int iErrValue);
/* Record 631 from iModId to FifoSts asking to stop iKillModId (three digits); fifo is not used.
 */
int SendStsModuleKill(const char *fifo, int iModId, int iKillModId);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
