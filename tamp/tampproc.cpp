// SPDX-License-Identifier: MIT
// Start-up, main loop and shut-down of the tamper-switch monitor.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <syslog.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>

#include "internal/trace.h"
#include "ipc/osfifo.h"
#include "ipc/stsmsg.h"
#include "os/osfork.h"
#include "os/osselect.h"
#include "os/osshm.h"
#include "os/ostimer.h"
#include "tamp.h"

LocalInfo gstLocalInfo;

namespace {

constexpr int kDefaultLogLevel = 6;
constexpr uint32_t kTampErrCode = 0x21;
constexpr uint32_t kTampErrCodePair = 0x22;

// The pair kind is written big-endian by the segment's owner; decode it the same way on
// every host so the little-endian test build reads what the target reads.
int32_t PareKindOf(const OtherData *pOther) {
    const unsigned char *b = pOther->DipSw.PareKind;
    uint32_t v = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    return std::bit_cast<int32_t>(v);
}

} // namespace

int GetLogLevel(int argc, char *argv[]) {
    if (argc < 3 || argv[2] == nullptr) {
        syslog(LOG_INFO, "log level argument missing, level %d used\n", kDefaultLogLevel);
        return kDefaultLogLevel;
    }
    const char *arg = argv[2];
    char *end = nullptr;
    errno = 0;
    long level = strtol(arg, &end, 10);
    if (end == arg || *end != '\0') {
        syslog(LOG_INFO, "log level argument is not a number(%s), level %d used\n", arg, kDefaultLogLevel);
        return kDefaultLogLevel;
    }
    if (errno == ERANGE || level < LOG_EMERG || level > LOG_DEBUG) {
        int bound = level < LOG_EMERG ? LOG_EMERG : LOG_DEBUG;
        syslog(LOG_INFO, "log level argument out of range(%s), level %d used\n", arg, bound);
        return bound;
    }
    return static_cast<int>(level);
}

int InitProc(ProcInfo *pProcInfo) {
    TraceStart("InitProc");
    syslog(LOG_DEBUG, "pProcInfo=0x%lx\n", TraceAddr(pProcInfo));
    pProcInfoCom = pProcInfo;

    pProcInfo->iFifoReadDes = ComFifoCreateOpen(pProcInfo, KIV_FIFO_TAMP, 1);
    if (pProcInfo->iFifoReadDes == -1) {
        syslog(LOG_INFO, "error(TampFifo read) of ComFifoCreate()\n");
        return -1;
    }
    // Opened blocking, so that start-up waits for the supervisor; read without waiting from now on,
    // as a record that another reader took leaves nothing in the pipe.
    (void)fcntl(pProcInfo->iFifoReadDes, F_SETFL, fcntl(pProcInfo->iFifoReadDes, F_GETFL) | O_NONBLOCK);
    syslog(LOG_DEBUG, "success of fifoReadOpen(TAMP)\n");
    syslog(LOG_DEBUG, "fifoTampRead = %d\n", pProcInfo->iFifoReadDes);
    // While the supervisor restarts nobody else holds the pipe open for writing: every read would
    // then return end of file at once and the loop would spin. The monitor's own writing end keeps
    // the pipe waiting for the next writer instead; shut-down closes it with the other writing
    // ends. Without it (the library has logged why) the monitor serves as before.
    const int writeDes = ComFifoCreateOpen(pProcInfo, KIV_FIFO_TAMP, 5);
    pProcInfo->iFifoWriteDes[0] = writeDes == -1 ? 0 : writeDes;

    if (ComShmOpenRead(pProcInfo, ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_CONFIG), KIV_CONFIG_SIZE) == -1) {
        syslog(LOG_INFO, "error of ComShmOpenRead()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmOpenRead()\n");
    pProcInfo->pConfigData = static_cast<ConfigData *>(pProcInfo->pShmConfig);

    if (ComShmOpenRead(pProcInfo, ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_OTHER), KIV_OTHER_SIZE) == -1) {
        syslog(LOG_INFO, "error of ComShmOpenRead(OTHER)\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmOpenRead(OTHER)\n");
    pProcInfo->pOtherData = static_cast<OtherData *>(pProcInfo->pShmOther);

    ComModuleInfoCreate(pProcInfo, TAMP_MOD_ID);
    ComSelectFdzero(pProcInfo);
    if (InitProcSub(pProcInfo) == -1) return -1;

    syslog(LOG_INFO, "end of InitProc\n");
    return 0;
}

int InitProcSub(ProcInfo *pProcInfo) {
    TraceStart("InitProcSub");
    gstLocalInfo.uiTampErrCode = kTampErrCode;
    int32_t pareKind = PareKindOf(pProcInfo->pOtherData);
    if (pareKind == 1) {
        gstLocalInfo.uiTampErrCode = kTampErrCodePair;
    } else if (pareKind != 0) {
        syslog(LOG_INFO, "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x%x \n",
               std::bit_cast<uint32_t>(pareKind));
    }
    int iRet = TampDrvOpenProc(pProcInfo);
    if (iRet == -1) syslog(LOG_INFO, "00016,InitProcSub,TampDrvOpenProc failed");
    TraceEnd("InitProcSub");
    return iRet;
}

int MainProc(ProcInfo *pProcInfo) {
    TraceStart("MainProc");
    syslog(LOG_DEBUG, "pProcInfo=0x%lx\n", TraceAddr(pProcInfo));
    for (;;) {
        int iRet = ComSelect(pProcInfo);
        if (iRet == -1) {
            syslog(LOG_INFO, "Select error, ret = %d\n", iRet);
        } else if (iRet == 2) {
            syslog(LOG_INFO, "Terminate reBoot\n");
            return 0;
        }
    }
}

int TermProc(ProcInfo *pProcInfo) {
    syslog(LOG_INFO, "start of TermProc\n");
    syslog(LOG_DEBUG, "pProcInfo=0x%lx\n", TraceAddr(pProcInfo));
    (void)TermProcSub(pProcInfo);

    for (int i = 0; i < KIV_FIFO_WRITE_MAX && pProcInfo->iFifoWriteDes[i] != 0; ++i) {
        errno = 0;
        if (close(pProcInfo->iFifoWriteDes[i]) != 0) {
            pProcInfo->iErrno = errno;
            syslog(LOG_INFO, "close(fifoWrite) failed(iFifoWriteDes=%d, errno=%d(%s))\n", pProcInfo->iFifoWriteDes[i],
                   errno, strerror(errno));
            return -1;
        }
        syslog(LOG_DEBUG, "close(fifoWrite) iFifoWriteDes=%d\n", pProcInfo->iFifoWriteDes[i]);
    }

    syslog(LOG_DEBUG, "fifoTampRead of close(%s)\n", KIV_FIFO_TAMP);
    errno = 0;
    if (close(pProcInfo->iFifoReadDes) != 0) {
        pProcInfo->iErrno = errno;
        syslog(LOG_INFO, "close(fifoTampRead) failed(%s, errno=%d(%s))\n", KIV_FIFO_TAMP, errno, strerror(errno));
        return -1;
    }

    if (ComTimerDelete(pProcInfo) != 0) {
        syslog(LOG_INFO, "error of ComTimerDelete()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComTimerDelete()\n");
    ComSelectFdzero(pProcInfo);

    if (ComShmClose(pProcInfo, ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_CONFIG)) == -1) {
        syslog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmClose()\n");
    if (ComShmClose(pProcInfo, ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_OTHER)) == -1) {
        syslog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmClose()\n");

    free(pProcInfo);
    pProcInfoCom = nullptr;
    syslog(LOG_DEBUG, "memory free\n");
    syslog(LOG_INFO, "end of TermProc\n");
    closelog();
    return 0;
}

int TermProcSub(ProcInfo *pProcInfo) {
    TraceStart("TermProcSub");
    int iRet = TampDrvCloseProc(pProcInfo);
    TampRetryStop(pProcInfo);
    int status = 0;
    if (iRet == -1) {
        status = 1;
        syslog(LOG_INFO, "00017,TermProcSub,TampDrvCloseProc failed\n");
    }
    TerminateComplete(TAMP_MOD_ID, status);
    TraceEnd("TermProcSub");
    return iRet;
}
