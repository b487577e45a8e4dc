/* SPDX-License-Identifier: MIT */
/* Process context record: all runtime state of one module process. The module allocates it once,
 * zero-filled (0 means "none" in every descriptor field and ends every descriptor list), passes it
 * to the library's operations and its handlers, and frees it last. Nothing in it is shared with
 * other processes; the segments it points to are. */
#ifndef KIV_PROCINFO_H
#define KIV_PROCINFO_H

#include <stdint.h>
#include <sys/select.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

/* The unit stays in service past January 2038, so the library is built with 64-bit time, and the
 * record holds time values (the timer settings): a caller built with another time_t would see
 * another layout. On 32-bit targets build with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64. */
#ifdef __cplusplus
static_assert(sizeof(time_t) == 8, "time_t must be 64 bits: build with -D_TIME_BITS=64");
#else
_Static_assert(sizeof(time_t) == 8, "time_t must be 64 bits: build with -D_TIME_BITS=64");
#endif

#define KIV_FIFO_WRITE_MAX 32 /* iFifoWriteDes entries */
#define KIV_IO_READ_MAX 4     /* iIoReadDes entries; entry 0 is the tamper switch */
#define KIV_SELECT_MAX 10     /* registered descriptors */
#define KIV_TIMER_MAX 10      /* timers per process */
#define KIV_MODULE_MAX 33     /* module table entries and child slots */

struct ProcInfo;

/* Handler of a registered descriptor or timer pipe; result codes in osselect.h. */
typedef int (*SelectProc)(struct ProcInfo *pProcInfo);

/* One interval timer. */
typedef struct TimerCntInfo {
    int iTimerSelectDes[2];  /* pipe: [0] read end, [1] write end = the timer handle */
    timer_t timerId;         /* kernel timer */
    int iTimerMode;          /* 1 one-shot, 2 cyclic */
    int iTimerMsec;          /* period in milliseconds */
    SelectProc pTimerProc;   /* handler given to ComTimerSet */
    int iTimerSigId;         /* signal value, 100 + slot */
    int iTimerState;         /* 1 running, 0 stopped */
    int iTimerCreate;        /* 1 the kernel timer must be created by the next start */
    struct itimerspec itval; /* setting last computed */
} TimerCntInfo;

/* CONFIG segment (28376 bytes), written by another module; only the enable switch is read here. */
#define KIV_CONFIG_SIZE 28376
#define KIV_TAMPER_CHECK_OFFSET 27646
typedef struct ConfigData {
    unsigned char aReserved0[KIV_TAMPER_CHECK_OFFSET];
    struct {
        char tamper_check[1]; /* '1' check enabled, '0' disabled */
    } other;
    unsigned char aReserved1[KIV_CONFIG_SIZE - KIV_TAMPER_CHECK_OFFSET - 1];
} ConfigData;

/* OTHER segment (228 bytes). PareKind is a signed 32-bit big-endian integer at byte 4,
 * kept as bytes so that every reader decodes it explicitly. */
#define KIV_OTHER_SIZE 228
typedef struct OtherData {
    unsigned char aReserved0[4];
    struct {
        unsigned char PareKind[4];
    } DipSw;
    unsigned char aReserved1[KIV_OTHER_SIZE - 8];
} OtherData;

/* PROCSTATE segment: its first int is the process state another module writes. */
typedef struct ProcStateData {
    int iiProcState;
} ProcStateData;

typedef struct ModuleInfo {
    char name[16];
    uint16_t mid;
    pid_t pid;
} ModuleInfo;

typedef struct ProcInfo {
    int iFifoReadDes;                      /* the module's own pipe, read by its handler */
    int iFifoWriteDes[KIV_FIFO_WRITE_MAX]; /* pipes kept open towards other modules; ends at the first 0 */
    int iIoReadDes[KIV_IO_READ_MAX];       /* devices; 0 not open */
    int iErrno;                            /* errno of the last failure an operation recorded; never cleared */
    int iSelectDes;                        /* the descriptor whose handler the loop is calling */
    int iMaxfd;                            /* highest descriptor in fdsSelect */
    fd_set fdsSelect;                      /* what the loop waits on */
    fd_set fdsReady;                       /* what the last wait found ready */
    int iTimerSelectDes[KIV_TIMER_MAX];    /* read ends of the timer pipes, in the order set */
    SelectProc pTimerSelectProc[KIV_TIMER_MAX];
    int iaSelectDes[KIV_SELECT_MAX];        /* registered descriptors; the table ends at the first 0 */
    SelectProc pSelectProc[KIV_SELECT_MAX]; /* their handlers, slot for slot */

    /* Attach addresses and ids of the segments, one kind each (os/osshm.h). */
    void *pShmConfig;
    void *pShmSchedule;
    void *pShmOther;
    void *pShmController;
    void *pShmConfigImg;
    void *pShmMemCtlData;
    void *pShmProcState;

    int iShmIdConfig;
    int iShmIdSchedule;
    int iShmIdOther;
    int iShmIdController;
    int iShmIdConfigImg;
    int iShmIdMemCtlData;
    int iShmIdProcState;

    ConfigData *pConfigData; /* typed views, set by the module from pShmConfig, pShmOther */
    OtherData *pOtherData;
    ProcStateData *pProcStateData; /* set while ComProcStateCheck waits */

    int iSigState;   /* set by the timer signal's side, cleared by the loop */
    int iTimerCount; /* timers set, 0 to KIV_TIMER_MAX */
    struct TimerCntInfo TimerCntInfo[KIV_TIMER_MAX];
    int iChildCount;       /* children started by ComProcessCreate */
    ModuleInfo moduleInfo; /* filled by ComModuleInfoCreate */

    /* Children by module-table index (os/osfork.h). */
    int iProcessState[KIV_MODULE_MAX];
    pid_t chldPid[KIV_MODULE_MAX];
    const char *pChldName[KIV_MODULE_MAX];
    int iChldModId[KIV_MODULE_MAX];
} ProcInfo;

/* The record of this process. The module sets it once it has allocated the record; the timer
 * signal's side (ComTimerSigInit) reaches the record here. */
extern ProcInfo *pProcInfoCom;

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
