/* Status notifications to the supervisor module (kivsts, 80). */
#ifndef KIV_STSMSG_H
#define KIV_STSMSG_H

#ifdef __cplusplus
extern "C" {
#endif

void WakeupComplete(int iModId, int iStatus, const char *pTag);
void TerminateComplete(int iModId, int iStatus);
int SendSTSError(int iErrKind, int iErrValue);
void SendStsModuleKill(const char *fifo, int iModId, int iKillModId);

#ifdef __cplusplus
}
#endif

#endif
