/* SPDX-License-Identifier: MIT */
/* Shared-memory segments (System V) keyed from the unit's key file. */
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
#pragma GCC visibility push(default)

#define KIV_SHM_KEY_FILE "/usr/local/zk/ap/sys/shm-key"
#define KIV_SHM_PROJ_CONFIG 'c'
#define KIV_SHM_PROJ_SCHEDULE 's'
#define KIV_SHM_PROJ_OTHER 'o'
#define KIV_SHM_PROJ_CONTROLLER 'r'
#define KIV_SHM_PROJ_CONFIGIMG 'i'
#define KIV_SHM_PROJ_PROCSTATE 'p'
#define KIV_SHM_PROJ_MEMCTLDATA 'm'
#define KIV_SHM_PROJ_CARDMASTER 'd'

/* Keys are ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_*); the seven kinds other than CARDMASTER are kept in
 * the record. Attach operations return the address as a pointer-width integer. Every operation
 * returns -1 on failure, errno as the failing call left it; none touches iErrno. */

/* Creates the segment or finds the existing one: its id, kept in the record; -1 when shmget failed
 * or the key is of no kind (a segment made then stays). */
int ComShmCreat(ProcInfo *pProcInfo, key_t key, size_t size);
/* Attaches segment iShmId read-write: its address, kept in the record; -1 when shmat failed or the
 * key is of no kind (the segment then stays attached). */
intptr_t ComShmOpenRw(ProcInfo *pProcInfo, key_t key, int iShmId);
/* Attaches the existing segment of key read-only: its address, kept with its id in the record; -1
 * when it is missing, smaller than size or not attachable, or the key is of no kind. */
intptr_t ComShmOpenRead(ProcInfo *pProcInfo, key_t key, size_t size);
/* Detaches the address the record keeps for key: 0; -1 key of no kind or shmdt failed. */
int ComShmClose(ProcInfo *pProcInfo, key_t key);
/* Removes the segment whose id the record keeps for key, if it still carries key: 0; -1 key of no
 * kind, the id no longer that key's, or shmctl failed. */
int ComShmRm(ProcInfo *pProcInfo, key_t key);
/* ComShmCreat, then ComShmOpenRw: the address; -1 when either failed. */
intptr_t ComShmRwGet(ProcInfo *pProcInfo, key_t key, size_t size);
/* ComShmClose: 0; -1. */
int ComShmRwFree(ProcInfo *pProcInfo, key_t key);
/* The card master's segment (key of KIV_SHM_PROJ_CARDMASTER), handed back and not recorded;
 * pStCardMst is never written through. The id; -1 as ComShmCreat. */
int ComCardMasterShmCreat(void *pStCardMst, key_t key, size_t size);
/* Attaches it read-write: the address; -1 as ComShmOpenRw. */
intptr_t ComCardMasterShmOpenRw(void *pStCardMst, key_t key, int iShmId);
/* Attaches it read-only: the address; -1 as ComShmOpenRead. */
intptr_t ComCardMasterShmOpenRead(void *pStCardMst, key_t key, size_t size);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
