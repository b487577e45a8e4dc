/* A module of the unit written in C, as the unit's module processes use the library: every public
 * header included from strict C11 (with POSIX, as those programs are built), a context record
 * filled, and one operation of each header called and checked. The consumer check builds it
 * against the installed library, linked by the C compiler alone (no C++ runtime), and runs it.
 * Exits 0 when every check holds. */
#define _POSIX_C_SOURCE 200809L /* NOLINT(bugprone-reserved-identifier,cert-dcl37-c): the standard feature macro */

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <unistd.h>

#include "ipc/osfifo.h"
#include "ipc/stsmsg.h"
#include "os/osfork.h"
#include "os/osselect.h"
#include "os/osshm.h"
#include "os/ostimer.h"
#include "os/procinfo.h"
#include "util/date.h"
#include "util/debug.h"
#include "util/file.h"

static int failures;

#define CHECK(cond) ((cond) ? (void)0 : (void)(++failures, fprintf(stderr, "line %d: %s\n", __LINE__, #cond)))

/* The last record the dispatch loop served, and the descriptor it came from. */
static struct {
    int fd, mod, cmd;
    unsigned char data[KIV_FIFO_DATA_SIZE];
} got;

static int OnRecord(ProcInfo *pProcInfo) {
    got.fd = pProcInfo->iSelectDes;
    CHECK(ComFIFOGetData(pProcInfo, &got.mod, &got.cmd, got.data) == KIV_FIFO_MSG_SIZE);
    return 2;
}

int main(void) {
    /* The one context record, zero-filled, as a module's main allocates it. */
    ProcInfo *rec = calloc(1, sizeof *rec);
    if (rec == NULL) return 1;
    pProcInfoCom = rec;
    ComModuleInfoCreate(rec, 53);
    CHECK(rec->moduleInfo.mid == 53);

    /* The supervisor's two pipes, made and held read-write as the supervisor holds them; each
     * notification is served by one pass of the dispatch loop through the C handler. */
    CHECK(ComFifoCreateOpen(rec, KIV_FIFO_STS, 0) == 0 && ComFifoCreateOpen(rec, KIV_FIFO_STSP, 0) == 0);
    int sts = ComFifoCreateOpen(rec, KIV_FIFO_STS, 6);
    int stsp = ComFifoCreateOpen(rec, KIV_FIFO_STSP, 6);
    if (sts <= 2 || stsp <= 2) return 1; /* the dispatch loop would wait on a standard descriptor */
    ComSelectFdzero(rec);
    rec->iaSelectDes[0] = sts;
    rec->iaSelectDes[1] = stsp;
    rec->pSelectProc[0] = rec->pSelectProc[1] = OnRecord;
    ComSelectUpdate(rec, 1);
    CHECK(SendSTSError(1, 1) == 0 && ComSelect(rec) == 2 && got.fd == sts);
    CHECK(got.mod == 53 && got.cmd == 609 && memcmp(got.data, "\x05\x01 ", 3) == 0);
    WakeupComplete(20, 0, "0312");
    CHECK(ComSelect(rec) == 2 && got.fd == stsp);
    CHECK(got.mod == 20 && got.cmd == 600 && memcmp(got.data, "0000312 ", 8) == 0);
    CHECK(ComFifoClose(rec, stsp) == 0);

    CHECK(ComTimerSet(rec, KIV_TIMER_MODE_ONESHOT, 1000, OnRecord) > 2 && ComTimerDelete(rec) == 0);

    key_t other = ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_OTHER);
    int id = ComShmCreat(rec, other, KIV_OTHER_SIZE);
    CHECK(id >= 0 && rec->iShmIdOther == id);
    CHECK(ComShmOpenRead(rec, other, KIV_OTHER_SIZE) != -1 && rec->pShmOther != NULL);
    CHECK(ComShmClose(rec, other) == 0 && ComShmRm(rec, other) == 0);

    /* 2040-02-29 12:34:56 UTC, a Wednesday: beyond the reach of a 32-bit time_t. */
    setenv("TZ", "UTC0", 1);
    struct timeval tv = {.tv_sec = 2214131696, .tv_usec = 0};
    uint32_t date = 0, time = 0;
    uint16_t weekday = 0;
    GetTimeOf(&tv, &date, &time, &weekday);
    CHECK(date == 0x07F8021Du && time == 0x0C223800u && weekday == 3);

    SetDebugFlag(KIV_DEBUG_FLAG_ACTLOG);
    int fd = -1;
    CHECK(CreateFile("/usr/local/zk/var/log/kivmodule", O_RDWR, 4096, &fd) == 0 && CloseFile(fd) == 0);
    CHECK(DeleteFile("/usr/local/zk/var/log/kivmodule") == 0);

    close(sts);
    free(rec);
    if (failures == 0) printf("kivmodule: every check held\n");
    return failures == 0 ? 0 : 1;
}
