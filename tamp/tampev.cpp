// SPDX-License-Identifier: MIT
// Tamper switch driver control, supervisor commands and the tamper response.
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "internal/record.h"
#include "internal/sysutil.h"
#include "internal/trace.h"
#include "ipc/osfifo.h"
#include "ipc/protocol.h"
#include "ipc/stsmsg.h"
#include "os/osselect.h"
#include "tamp.h"
#include "tampout.h"
#include "util/date.h"
#include "util/file.h"

namespace {

constexpr unsigned char kEventOpened = 1;
constexpr char kPollTime = '2';

// A device that keeps failing, or keeps reporting end of file, stays readable: the loop would
// read it again at once, pass after pass, with a line each time. After a failure that follows
// another the handler therefore pauses (a command ends the pause at once), and each of the
// device's lines is logged at most once per interval, with the number held back told next time.
// A device still failing after a second is closed and opened again later, waiting longer after
// each failing round, as a driver that lost its device may come back.
constexpr int kRepeatedFailurePauseMs = 100;
constexpr int64_t kLineIntervalMs = 1000;
constexpr int64_t kFailingCloseMs = 1000;
constexpr int kReopenFirstMs = 1000;
constexpr int kReopenMaxMs = 10000;
// Kept alarms and a device waiting to be opened again are looked at this often.
constexpr time_t kRetrySeconds = 1;

// One of the device's rate-limited lines.
struct LineLimit {
    const char *number;
    bool logged;
    int64_t atMs;
    int held;
};

LineLimit gReadFailedLine{"00009", false, 0, 0};
LineLimit gReadDataLine{"00010", false, 0, 0};
LineLimit gReadCountLine{"00011", false, 0, 0};

bool gLastReadFailed = false;
int64_t gFailingSinceMs = 0; // first failure of the device's current run of failures, 0 none
int64_t gReopenAtMs = 0;     // when a device closed for failing is opened again, 0 not closed so
int gReopenDelayMs = kReopenFirstMs;
int gRetryDes = 0; // the retry clock's timer descriptor while it runs, 0 otherwise

bool LineDue(LineLimit &line) {
    const int64_t now = NowMs();
    if (line.logged && now - line.atMs < kLineIntervalMs) {
        ++line.held;
        return false;
    }
    if (line.held > 0) syslog(LOG_INFO, "00022,TampReadFunc,%s held back %d times\n", line.number, line.held);
    line.logged = true;
    line.atMs = now;
    line.held = 0;
    return true;
}

void PauseIfFailingAgain(const ProcInfo *pProcInfo) {
    if (gLastReadFailed) {
        pollfd command{pProcInfo->iFifoReadDes, POLLIN, 0};
        (void)poll(&command, 1, kRepeatedFailurePauseMs);
    }
    gLastReadFailed = true;
}

char TamperCheck(const ProcInfo *pProcInfo) { return pProcInfo->pConfigData->other.tamper_check[0]; }

// The retry clock: a timer descriptor in the dispatch table only while something waits for it.
void StartRetryClock(ProcInfo *pProcInfo) {
    if (gRetryDes != 0) return;
    errno = 0;
    const int fd = AboveStdFd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    const itimerspec every{{kRetrySeconds, 0}, {kRetrySeconds, 0}};
    if (fd == -1 || timerfd_settime(fd, 0, &every, nullptr) != 0) {
        const int err = errno;
        if (fd != -1) close(fd);
        syslog(LOG_INFO, "00030,StartRetryClock,timerfd failed(errno=%d(%s))\n", err, strerror(err));
        return;
    }
    gRetryDes = fd;
    SetSelectFD(pProcInfo);
}

void StopRetryClock(ProcInfo *pProcInfo) {
    if (gRetryDes == 0) return;
    close(gRetryDes);
    gRetryDes = 0;
    SetSelectFD(pProcInfo);
}

// The next try to open the device comes after the current delay; each try after it waits twice
// as long, up to the longest delay.
void ScheduleReopen(int64_t now) {
    gReopenAtMs = now + gReopenDelayMs;
    gReopenDelayMs = std::min(gReopenDelayMs * 2, kReopenMaxMs);
}

// Closes a device whose reads have failed for a while; the retry clock opens it again later.
void CloseFailingDevice(ProcInfo *pProcInfo, int64_t now) {
    syslog(LOG_INFO, "00023,TampReadFunc,Tamper Switch Driver failing for %d ms, closed, reopen in %d s\n",
           static_cast<int>(now - gFailingSinceMs), gReopenDelayMs / 1000);
    (void)TampDrvCloseProc(pProcInfo);
    gFailingSinceMs = 0;
    gLastReadFailed = false;
    ScheduleReopen(now);
    StartRetryClock(pProcInfo);
}

// A failed read, a read of end of file: logged (rate-limited) by the caller; paces the next.
void DeviceFailed(ProcInfo *pProcInfo) {
    const int64_t now = NowMs();
    if (gFailingSinceMs == 0) gFailingSinceMs = now;
    if (now - gFailingSinceMs >= kFailingCloseMs) {
        CloseFailingDevice(pProcInfo, now);
        return;
    }
    PauseIfFailingAgain(pProcInfo);
}

void DeviceServed() {
    gLastReadFailed = false;
    gFailingSinceMs = 0;
    gReopenDelayMs = kReopenFirstMs;
}

// Called by the retry clock once the device's pause is over.
void ReopenDevice(ProcInfo *pProcInfo) {
    gReopenAtMs = 0;
    if (pProcInfo->iIoReadDes[0] != 0) return; // a command opened it meanwhile
    (void)TampDrvOpenProc(pProcInfo);
    if (pProcInfo->iIoReadDes[0] != 0) {
        syslog(LOG_INFO, "00024,TampRetryFunc,Tamper Switch Driver reopened\n");
    } else if (TamperCheck(pProcInfo) == '1') {
        syslog(LOG_INFO, "00029,TampRetryFunc,Tamper Switch Driver not reopened, next try in %d s\n",
               gReopenDelayMs / 1000);
        ScheduleReopen(NowMs());
    }
}

bool DeviceWatched(const ProcInfo *pProcInfo) {
    const int dev = pProcInfo->iIoReadDes[0];
    return dev != 0 && std::find(std::begin(pProcInfo->iaSelectDes), std::end(pProcInfo->iaSelectDes), dev) !=
                           std::end(pProcInfo->iaSelectDes);
}

// Deletion first: whatever happens to the alarms, the card master file must be gone. The alarms
// never wait for their peers: one that cannot be handed over now is kept and sent later.
void TamperResponse(ProcInfo *pProcInfo) {
    const bool deleted = DeleteFile(CARD_MASTER_FILE) == 0;
    if (!deleted)
        syslog(LOG_INFO, "00018,TampReadFunc,%s delete failed(errno=%d(%s))\n", CARD_MASTER_FILE, errno,
               strerror(errno));
    sync();
    const bool logKept =
        WritePipe_ErrLog(static_cast<unsigned char>(gstLocalInfo.uiTampErrCode & 0xff), KIV_ERROR_KIND_TAMPER) != 0;
    DataArea disp = SpaceFilled();
    memcpy(disp.data(), KIV_DISPLAY_TAMPER, sizeof KIV_DISPLAY_TAMPER - 1);
    const bool dispKept = SendAlarm(KIV_FIFO_DISP, KIV_CMD_DISPLAY, disp.data()) != 0;
    const DataArea sts = StsErrorData(1, 1);
    const bool stsKept = SendAlarm(KIV_FIFO_STS, KIV_CMD_STS_ERROR, sts.data()) != 0;
    syslog(LOG_INFO, "00019,TampReadFunc,Tamper Switch opened, %s %s\n", CARD_MASTER_FILE,
           deleted ? "deleted" : "NOT deleted");
    if (logKept || dispKept || stsKept) StartRetryClock(pProcInfo);
}

int SettingChanged(ProcInfo *pProcInfo, unsigned char arg) {
    if (arg == KIV_SETTING_APPLY) {
        const bool watched = DeviceWatched(pProcInfo);
        char check = TamperCheck(pProcInfo);
        if (check == '1') {
            if (TampDrvOpenProc(pProcInfo) == -1) syslog(LOG_INFO, "00003,FifoReadFunc,TampDrvOpenProc failed\n");
        } else if (check == '0') {
            if (TampDrvCloseProc(pProcInfo) == -1) syslog(LOG_INFO, "00004,FifoReadFunc,TampDrvCloseProc failed\n");
        } else {
            syslog(LOG_INFO,
                   "00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=%c\n",
                   check);
        }
        // Whoever can write the setting can disarm the monitor: the operator must see it.
        if (DeviceWatched(pProcInfo) != watched)
            syslog(LOG_INFO, watched ? "00021,FifoReadFunc,tamper check off, Tamper Switch Driver not watched\n"
                                     : "00020,FifoReadFunc,tamper check on, Tamper Switch Driver watched\n");
    }
    DataArea reply = SpaceFilled();
    ComFIFOPutData2(KIV_FIFO_STS, TAMP_MOD_ID, KIV_CMD_SETTING_REPLY, reply.data());
    return arg == KIV_SETTING_APPLY ? 1 : 0;
}

int WakeUp(ProcInfo *pProcInfo) {
    // A device whose reads are failing is opened afresh, as one closed for failing is.
    if (gFailingSinceMs != 0) {
        (void)TampDrvCloseProc(pProcInfo);
        DeviceServed();
    }
    int iRet = TampDrvOpenProc(pProcInfo);
    if (iRet == -1) {
        syslog(LOG_INFO, "00006,FifoReadFunc,TampDrvOpenProc failed\n");
        iRet = 1;
    }
    WakeupComplete(TAMP_MOD_ID, iRet, TAMP_WAKEUP_TAG);
    return 1;
}

int Command(ProcInfo *pProcInfo, int mod, int cmd, unsigned char arg) {
    if (mod != KIV_MOD_STS) {
        syslog(LOG_INFO, "00008,FifoReadFunc,message format err(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n", mod, cmd,
               arg);
        return 0;
    }
    switch (cmd) {
    case KIV_CMD_SETTING_CHANGED:
        return SettingChanged(pProcInfo, arg);
    case KIV_CMD_WAKEUP:
        return WakeUp(pProcInfo);
    case KIV_CMD_TERMINATE:
        if (arg == 0 || arg == 1) return 2;
        syslog(LOG_INFO, "00002,FifoReadFunc,message format err(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n", mod, cmd,
               arg);
        return 0;
    default:
        syslog(LOG_INFO, "00007,FifoReadFunc,message format err(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n", mod, cmd,
               arg);
        return 0;
    }
}

} // namespace

int TampDrvOpenProc(ProcInfo *pProcInfo) {
    TraceStart("TampDrvOpenProc");
    int iRet = 0;
    if (TamperCheck(pProcInfo) == '1' && pProcInfo->iIoReadDes[0] == 0) {
        errno = 0;
        // Non-blocking: a byte that another reader of the device took leaves nothing to wait for.
        int fd = AboveStdFd(open(TAMP_DEVICE, O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (fd == -1) {
            syslog(LOG_INFO, "00012,TampDrvOpenProc,open(Tamper Switch Driver) failed(errno=%d(%s))\n", errno,
                   strerror(errno));
            iRet = -1;
        } else {
            pProcInfo->iIoReadDes[0] = fd;
            char pollTime = kPollTime;
            iRet = ioctl(fd, CR_SETTPPOLLTM, &pollTime);
            if (iRet == -1)
                syslog(LOG_INFO,
                       "00013,TampDrvOpenProc,ioctrl(Tamper Switch Driver CR_SETTPPOLLTM) failed(errno=%d(%s))\n",
                       errno, strerror(errno));
            else
                syslog(LOG_DEBUG, "tamper driver open and ioctl success\n");
        }
    }
    SetSelectFD(pProcInfo);
    TraceEnd("TampDrvOpenProc");
    return iRet;
}

int TampDrvCloseProc(ProcInfo *pProcInfo) {
    TraceStart("TampDrvCloseProc");
    int iRet = 0;
    if (pProcInfo->iIoReadDes[0] != 0) {
        errno = 0;
        iRet = close(pProcInfo->iIoReadDes[0]);
        if (iRet == -1) {
            pProcInfo->iErrno = errno;
            syslog(LOG_INFO,
                   "00014,TampDrvCloseProc,close(Tamper Switch Driver) failed(iFifoWriteDes=%d, errno=%d(%s))\n",
                   pProcInfo->iFifoWriteDes[0], errno, strerror(errno));
        } else {
            syslog(LOG_DEBUG, "tamper driver close success\n");
        }
        pProcInfo->iIoReadDes[0] = 0;
        SetSelectFD(pProcInfo);
    }
    TraceEnd("TampDrvCloseProc");
    return iRet;
}

void SetSelectFD(ProcInfo *pProcInfo) {
    TraceStart("SetSelectFD");
    ComSelectUpdate(pProcInfo, 0);
    for (int &des : pProcInfo->iaSelectDes) des = 0;

    // The device comes first: a command carried out ends the pass, so behind the pipe a steady
    // stream of commands would hold off the tamper response for as long as it lasts. Its handler
    // always lets the pass go on, so the commands are served in the same pass.
    int slot = 0;
    if (TamperCheck(pProcInfo) == '1' && pProcInfo->iIoReadDes[0] != 0) {
        pProcInfo->iaSelectDes[slot] = pProcInfo->iIoReadDes[0];
        pProcInfo->pSelectProc[slot] = TampReadFunc;
        syslog(LOG_DEBUG, "pProcInfo->iIoReadDes[0] = %d\n", pProcInfo->iIoReadDes[0]);
        syslog(LOG_DEBUG, "pProcInfo->iaSelectDes[%d] = %d\n", slot, pProcInfo->iaSelectDes[slot]);
        syslog(LOG_DEBUG, "FifoReadFunc = 0x%lx\n", TraceAddr(TampReadFunc));
        syslog(LOG_DEBUG, "pProcInfo->pSelectProc[%d] = 0x%lx\n", slot, TraceAddr(pProcInfo->pSelectProc[slot]));
        ++slot;
    }
    pProcInfo->iaSelectDes[slot] = pProcInfo->iFifoReadDes;
    pProcInfo->pSelectProc[slot] = FifoReadFunc;
    syslog(LOG_DEBUG, "pProcInfo->iFifoReadDes = %d\n", pProcInfo->iFifoReadDes);
    syslog(LOG_DEBUG, "pProcInfo->iaSelectDes[%d] = %d\n", slot, pProcInfo->iaSelectDes[slot]);
    syslog(LOG_DEBUG, "FifoReadFunc = 0x%lx\n", TraceAddr(FifoReadFunc));
    syslog(LOG_DEBUG, "pProcInfo->pSelectProc[%d] = 0x%lx\n", slot, TraceAddr(pProcInfo->pSelectProc[slot]));
    if (gRetryDes != 0) {
        ++slot;
        pProcInfo->iaSelectDes[slot] = gRetryDes;
        pProcInfo->pSelectProc[slot] = TampRetryFunc;
        syslog(LOG_DEBUG, "pProcInfo->iaSelectDes[%d] = %d\n", slot, pProcInfo->iaSelectDes[slot]);
        syslog(LOG_DEBUG, "TampRetryFunc = 0x%lx\n", TraceAddr(TampRetryFunc));
    }
    ComSelectInit(pProcInfo);
    TraceEnd("SetSelectFD");
}

int FifoReadFunc(ProcInfo *pProcInfo) {
    TraceStart("FifoReadFunc");
    syslog(LOG_DEBUG, "pProcInfo=0x%lx\n", TraceAddr(pProcInfo));
    int mod = 0;
    int cmd = 0;
    DataArea data{};
    int iRet = 0;
    int n = ComFIFOGetData(pProcInfo, &mod, &cmd, data.data());
    if (n == -1) {
        syslog(LOG_INFO, "00000,FifoReadFunc,ComFIFOGetData Returned KIVERROR\n");
        iRet = -1;
    } else if (n > 0) {
        syslog(LOG_DEBUG, "iReadcnt = %d\n", n);
        iRet = Command(pProcInfo, mod, cmd, data[KIV_CMD_ARG_POS]);
    }
    TraceEnd("FifoReadFunc");
    return iRet;
}

int TampReadFunc(ProcInfo *pProcInfo) {
    TraceStart("TampReadFunc");
    unsigned char event = 0;
    errno = 0;
    ssize_t n = read(pProcInfo->iSelectDes, &event, 1);
    if (n == -1 && errno == EAGAIN) {
        // Another reader took the byte first: nothing to answer here.
    } else if (n == -1) {
        const int err = errno;
        if (LineDue(gReadFailedLine))
            syslog(LOG_INFO,
                   "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes=%d), errno=%d(%s)\n",
                   pProcInfo->iSelectDes, err, strerror(err));
        DeviceFailed(pProcInfo);
    } else if (n != 1) {
        if (LineDue(gReadCountLine))
            syslog(LOG_INFO, "00011,TampReadFunc,Tamper Switch Driver Read Count= %d\n", static_cast<int>(n));
        DeviceFailed(pProcInfo);
    } else {
        DeviceServed();
        if (event != kEventOpened) {
            if (LineDue(gReadDataLine))
                syslog(LOG_INFO, "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x%x\n", event);
        } else {
            TamperResponse(pProcInfo);
        }
    }
    TraceEnd("TampReadFunc");
    return 0;
}

int TampRetryFunc(ProcInfo *pProcInfo) {
    TraceStart("TampRetryFunc");
    uint64_t ticks = 0;
    (void)read(pProcInfo->iSelectDes, &ticks, sizeof ticks);
    const bool alarmsKept = RetryAlarms() > 0;
    if (gReopenAtMs != 0 && NowMs() >= gReopenAtMs) ReopenDevice(pProcInfo);
    if (!alarmsKept && gReopenAtMs == 0) StopRetryClock(pProcInfo);
    TraceEnd("TampRetryFunc");
    return 0;
}

void TampRetryStop(ProcInfo *pProcInfo) {
    StopRetryClock(pProcInfo);
    gReopenAtMs = 0;
    FlushAlarmsAtExit();
}

int WritePipe_ErrLog(unsigned char code, unsigned char kind) {
    TraceStart("WritePipe_ErrLog");
    DataArea data = SpaceFilled();
    GetDateTimeStr(reinterpret_cast<char *>(data.data()), reinterpret_cast<char *>(data.data()) + 8);
    data[KIV_ERROR_LOG_CODE_POS] = code;
    data[KIV_ERROR_LOG_KIND_POS] = kind;
    int iRet = SendAlarm(KIV_FIFO_LOG, KIV_CMD_ERROR_LOG, data.data());
    TraceEnd("WritePipe_ErrLog");
    return iRet;
}
