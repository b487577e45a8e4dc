/* Module registry and child processes. */
#ifndef KIV_OSFORK_H
#define KIV_OSFORK_H

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

void ComModuleInfoCreate(ProcInfo *pProcInfo, int iModId);
int ComProcessCreate(ProcInfo *pProcInfo, const char *pProcName, int iModIndex, int iIdOffset, const char *pArg);
int ComProcessCreateGrandChild(ProcInfo *pProcInfo, const char *pProcName, char *const argv[]);
int ComProcStateCheck(ProcInfo *pProcInfo);

#ifdef __cplusplus
}
#endif

#endif
