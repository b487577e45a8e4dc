/* System V shared-memory segments keyed from the unit's key file. */
#ifndef KIV_OSSHM_H
#define KIV_OSSHM_H

#include <stddef.h>
#include <stdint.h>
#include <sys/ipc.h> /* key_t, also for callers built as plain POSIX C */
#include <sys/types.h>

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_SHM_KEY_FILE "/usr/local/zk/ap/sys/shm-key"
#define KIV_SHM_PROJ_CONFIG 'c'
#define KIV_SHM_PROJ_SCHEDULE 's'
#define KIV_SHM_PROJ_OTHER 'o'
#define KIV_SHM_PROJ_CONTROLLER 'r'
#define KIV_SHM_PROJ_CONFIGIMG 'i'
#define KIV_SHM_PROJ_PROCSTATE 'p'
#define KIV_SHM_PROJ_MEMCTLDATA 'm'
#define KIV_SHM_PROJ_CARDMASTER 'd'

/* Attach operations return the address as a pointer-width integer, -1 on failure. */
int ComShmCreat(ProcInfo *pProcInfo, key_t key, size_t size);
intptr_t ComShmOpenRw(ProcInfo *pProcInfo, key_t key, int iShmId);
intptr_t ComShmOpenRead(ProcInfo *pProcInfo, key_t key, size_t size);
int ComShmClose(ProcInfo *pProcInfo, key_t key);
int ComShmRm(ProcInfo *pProcInfo, key_t key);
intptr_t ComShmRwGet(ProcInfo *pProcInfo, key_t key, size_t size);
int ComShmRwFree(ProcInfo *pProcInfo, key_t key);
int ComCardMasterShmCreat(void *pStCardMst, key_t key, size_t size);
intptr_t ComCardMasterShmOpenRw(void *pStCardMst, key_t key, int iShmId);
intptr_t ComCardMasterShmOpenRead(void *pStCardMst, key_t key, size_t size);

#ifdef __cplusplus
}
#endif

#endif
