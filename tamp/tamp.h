/* SPDX-License-Identifier: MIT */
/* kivtamp, the tamper-switch monitor (module 53): start-up, main loop, shut-down, driver
 * control, supervisor commands and the tamper response. */
#ifndef KIV_TAMP_H
#define KIV_TAMP_H

#include <stdint.h>

#include "ipc/protocol.h"
#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAMP_MOD_ID KIV_MOD_TAMP
#define TAMP_WAKEUP_TAG "0312"
#define TAMP_DEVICE "/dev/cr_tampsw"
#define CR_SETTPPOLLTM 3 /* ioctl: set the switch polling time */
#define CARD_MASTER_FILE "/usr/local/zk/ap/conf/cardmaster.dat"

/* The monitor's own state. */
typedef struct LocalInfo {
    uint32_t uiTampErrCode; /* 0x21, or 0x22 when the DIP-switch pair kind is 1 */
} LocalInfo;
extern LocalInfo gstLocalInfo;

/* Syslog level from the command line (argv[2]); a missing or bad argument is logged and
 * replaced by a sound level. */
int GetLogLevel(int argc, char *argv[]);

int InitProc(ProcInfo *pProcInfo);
int MainProc(ProcInfo *pProcInfo);
int TermProc(ProcInfo *pProcInfo);
int InitProcSub(ProcInfo *pProcInfo);
int TermProcSub(ProcInfo *pProcInfo);

int TampDrvOpenProc(ProcInfo *pProcInfo);
int TampDrvCloseProc(ProcInfo *pProcInfo);
void SetSelectFD(ProcInfo *pProcInfo);

int FifoReadFunc(ProcInfo *pProcInfo);
int TampReadFunc(ProcInfo *pProcInfo);
/* Handler of the retry clock, a timer in the dispatch table while alarms are kept or a device
 * closed for failing waits to be opened again: hands over kept alarms, reopens the device. */
int TampRetryFunc(ProcInfo *pProcInfo);
/* At shut-down: stops the retry clock and makes one last try with the kept alarms. */
void TampRetryStop(ProcInfo *pProcInfo);
/* The error-log alarm: 0 handed over now, -1 kept for later (or dropped, see tampout.h). */
int WritePipe_ErrLog(unsigned char code, unsigned char kind);

#ifdef __cplusplus
}
#endif

#endif
