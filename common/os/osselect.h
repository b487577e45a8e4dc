/* Descriptor dispatch loop on pselect.
 * Handler results: 0 continue; -1 error (ends the pass for a descriptor handler,
 * only logged for a timer handler); any other value ends the pass and is returned.
 * ComSelect returns 3 when the wait was interrupted by a signal. */
#ifndef KIV_OSSELECT_H
#define KIV_OSSELECT_H

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

void ComSelectInit(ProcInfo *pProcInfo);
void ComSelectTimerInit(ProcInfo *pProcInfo);
int ComSelect(ProcInfo *pProcInfo);
void ComSelectUpdate(ProcInfo *pProcInfo, int mode);
void ComSelectFdzero(ProcInfo *pProcInfo);
void ComSelectFdMaxGet(ProcInfo *pProcInfo);

#ifdef __cplusplus
}
#endif

#endif
