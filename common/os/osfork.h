/* SPDX-License-Identifier: MIT */
/* Module registry and child processes. */
#ifndef KIV_OSFORK_H
#define KIV_OSFORK_H

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* Records the module id, the pid and the module's name from the unit's table (a name is set only
 * for a known id) in moduleInfo. No result. */
void ComModuleInfoCreate(ProcInfo *pProcInfo, int iModId);
/* Starts pProcName as the child of table entry iModIndex, with the arguments (table id +
 * iIdOffset) and pArg; SIGCHLD is then ignored. The child's pid, recorded; -1 when iModIndex is
 * outside the table or fork failed (its errno in iErrno). A child whose execv fails
 * ends with _exit(0): it runs no exit handler of the caller and flushes none of its streams. */
int ComProcessCreate(ProcInfo *pProcInfo, const char *pProcName, int iModIndex, int iIdOffset, const char *pArg);
/* Starts pProcName with argv, not recorded: the child's pid; -1 when fork failed (iErrno). */
int ComProcessCreateGrandChild(ProcInfo *pProcInfo, const char *pProcName, char *const argv[]);
/* Waits until the process state in PROCSTATE is not 0 (polling every 50 ms): 0; -1 when the
 * segment could not be attached or detached. */
int ComProcStateCheck(ProcInfo *pProcInfo);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
