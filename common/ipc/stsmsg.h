/* SPDX-License-Identifier: MIT */
/* Status notifications to the supervisor module (kivsts, 80), each one record through
 * ComFIFOPutData2; a failed delivery is logged there. */
#ifndef KIV_STSMSG_H
#define KIV_STSMSG_H

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Record 600 from iModId to FifoStsp: the status as three digits, then up to four characters of
 * pTag (may be NULL). No result. */
void WakeupComplete(int iModId, int iStatus, const char *pTag);
/* Record 605 from iModId to FifoSts with the status as three digits. No result. */
void TerminateComplete(int iModId, int iStatus);
/* Record 609 from module 53 to FifoSts, bytes iErrKind + 4 and iErrValue: 0 delivered, -1 not. */
int SendSTSError(int iErrKind, int iErrValue);
/* Record 631 from iModId to FifoSts asking to stop iKillModId (three digits); fifo is not used.
 * No result. */
void SendStsModuleKill(const char *fifo, int iModId, int iKillModId);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
