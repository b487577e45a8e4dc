/* SPDX-License-Identifier: MIT */
/* kivmodule: a module of the unit written in C, the example of the guide (writing-a-module.md).
 * It stands in for the display module (kivdisp, 20): it serves its own pipe, obeys the supervisor's
 * three commands, does its periodic work on a cyclic timer and stops cleanly, reporting start-up
 * and shut-down to the supervisor. Built with exactly the flags kivcommon.pc or the CMake package
 * gives (strict C11 included); the consumer check builds it against the installed library and runs
 * it with a stand-in of the supervisor (supervisor.sh). */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "ipc/osfifo.h"
#include "ipc/protocol.h"
#include "ipc/stsmsg.h"
#include "kivversion.h"
#include "os/osfork.h"
#include "os/osselect.h"
#include "os/ostimer.h"
#include "os/procinfo.h"

#define MODULE_ID KIV_MOD_DISP
#define MODULE_PIPE KIV_FIFO_DISP
#define MODULE_TAG "0001" /* sent with every wake-up notification */
#define REFRESH_MS 100    /* period of the module's own work */
#define STOP 2            /* the handler result that ends the main loop */

static int stopAsked;

/* The module's periodic work, and the place where an asked-for stop is carried out: between two
 * pieces of work, never in the middle of one. */
static int OnRefresh(ProcInfo *pProcInfo) {
    (void)pProcInfo;
    return stopAsked ? STOP : 0;
}

/* One record from the module's own pipe (the loop has put its descriptor in iSelectDes). */
static int OnRecord(ProcInfo *pProcInfo) {
    int mod = 0, cmd = 0;
    unsigned char data[KIV_FIFO_DATA_SIZE];
    int n = ComFIFOGetData(pProcInfo, &mod, &cmd, data);
    if (n <= 0) return n; /* -1: the read failed (iErrno); 0: nothing, or a fragment dropped */
    if (mod == KIV_MOD_TAMP && cmd == KIV_CMD_DISPLAY) {
        syslog(LOG_INFO, "show %.13s\n", (const char *)data); /* "0625 00000000": enclosure opened */
        return 0;
    }
    if (mod != KIV_MOD_STS) return 0; /* commands come from the supervisor only */
    if (cmd == KIV_CMD_TERMINATE) {
        stopAsked = 1;
    } else if (cmd == KIV_CMD_SETTING_CHANGED) {
        /* With the argument KIV_SETTING_APPLY the settings are read again (CONFIG, os/osshm.h). */
        unsigned char reply[KIV_FIFO_DATA_SIZE];
        memset(reply, ' ', sizeof reply);
        if (ComFIFOPutData2(KIV_FIFO_STS, MODULE_ID, KIV_CMD_SETTING_REPLY, reply) != 0)
            syslog(LOG_INFO, "reply 621 not delivered (errno=%d)\n", errno);
    } else if (cmd == KIV_CMD_WAKEUP) {
        WakeupComplete(MODULE_ID, KIV_STATUS_OK, MODULE_TAG);
    }
    return 0;
}

/* Own pipe served by OnRecord, the refresh timer running: 0; -1 when a step failed. */
static int Start(ProcInfo *rec) {
    ComModuleInfoCreate(rec, MODULE_ID);
    /* Made if missing; held for reading and writing, so the open waits for nobody and the pipe
     * never reports end of file when a writer leaves. */
    if (ComFifoCreateOpen(rec, MODULE_PIPE, 0) != 0) return -1;
    rec->iFifoReadDes = ComFifoCreateOpen(rec, MODULE_PIPE, 6);
    if (rec->iFifoReadDes == -1) return -1;
    ComSelectFdzero(rec); /* before the timers: it empties their table too */
    rec->iaSelectDes[0] = rec->iFifoReadDes;
    rec->pSelectProc[0] = OnRecord;
    ComSelectInit(rec);
    if (ComTimerSigInit() != 0) return -1;
    int timer = ComTimerSet(rec, KIV_TIMER_MODE_CYCLIC, REFRESH_MS, OnRefresh);
    return timer == -1 ? -1 : ComTimerStart(rec, timer);
}

int main(void) {
    openlog("KIVMODULE", LOG_PID, LOG_LOCAL4);
    syslog(LOG_INFO, "start of kivmodule (library %s)\n", KIV_VERSION_STRING);
    /* The one allocation of the module: the context record, zero-filled. The timer signal's
     * side finds it through pProcInfoCom. */
    ProcInfo *rec = calloc(1, sizeof *rec);
    if (rec == NULL) return 1;
    pProcInfoCom = rec;

    int started = Start(rec);
    WakeupComplete(MODULE_ID, started == 0 ? KIV_STATUS_OK : KIV_STATUS_FAILED, MODULE_TAG);
    if (started == 0) {
        int r;
        /* 3 (a timer's signal cut the wait) and 0 go round again, like any result but STOP. */
        while ((r = ComSelect(rec)) != STOP)
            if (r == -1) syslog(LOG_INFO, "ComSelect failed (iErrno=%d)\n", rec->iErrno);
    }

    TerminateComplete(MODULE_ID, started == 0 ? KIV_STATUS_OK : KIV_STATUS_FAILED);
    int stopped = ComTimerDelete(rec);
    ComSelectFdzero(rec);
    if (rec->iFifoReadDes > 0 && ComFifoClose(rec, rec->iFifoReadDes) != 0) stopped = -1;
    free(rec);
    closelog();
    return started == 0 && stopped == 0 ? 0 : 1;
}
