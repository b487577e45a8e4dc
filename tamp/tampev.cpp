// SPDX-License-Identifier: MIT
// Tamper switch driver control, supervisor commands and the tamper response.
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "internal/record.h"
#include "internal/trace.h"
#include "ipc/osfifo.h"
#include "ipc/protocol.h"
#include "ipc/stsmsg.h"
#include "os/osselect.h"
#include "tamp.h"
#include "util/date.h"
#include "util/file.h"

namespace {

constexpr unsigned char kEventOpened = 1;
constexpr char kPollTime = '2';

// A device that keeps failing, or keeps reporting end of file, stays readable: the loop would
// read it again at once, pass after pass, with a line each time. After a failure that follows
// another the handler therefore pauses (a command ends the pause at once), and each kind of
// failure is logged at most once per interval.
constexpr int kRepeatedFailurePauseMs = 100;
constexpr std::chrono::seconds kFailureLogInterval{1};

// When one kind of device failure was last logged.
struct FailureLog {
    bool logged = false;
    std::chrono::steady_clock::time_point at{};
};

FailureLog gReadFailedLog;
FailureLog gReadCountLog;
bool gLastReadFailed = false;

bool LogDue(FailureLog &log) {
    const auto now = std::chrono::steady_clock::now();
    if (log.logged && now - log.at < kFailureLogInterval) return false;
    log.logged = true;
    log.at = now;
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

// Deletion first: whatever happens to the alarms, the card master file must be gone.
void TamperResponse() {
    if (DeleteFile(CARD_MASTER_FILE) != 0)
        syslog(LOG_INFO, "00018,TampReadFunc,%s delete failed(errno=%d(%s))\n", CARD_MASTER_FILE, errno,
               strerror(errno));
    sync();
    WritePipe_ErrLog(static_cast<unsigned char>(gstLocalInfo.uiTampErrCode & 0xff), KIV_ERROR_KIND_TAMPER);
    DataArea disp = SpaceFilled();
    memcpy(disp.data(), KIV_DISPLAY_TAMPER, sizeof KIV_DISPLAY_TAMPER - 1);
    ComFIFOPutData2(KIV_FIFO_DISP, TAMP_MOD_ID, KIV_CMD_DISPLAY, disp.data());
    SendSTSError(1, 1);
}

int SettingChanged(ProcInfo *pProcInfo, unsigned char arg) {
    if (arg == KIV_SETTING_APPLY) {
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
    }
    DataArea reply = SpaceFilled();
    ComFIFOPutData2(KIV_FIFO_STS, TAMP_MOD_ID, KIV_CMD_SETTING_REPLY, reply.data());
    return arg == KIV_SETTING_APPLY ? 1 : 0;
}

int WakeUp(ProcInfo *pProcInfo) {
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
        int fd = open(TAMP_DEVICE, O_RDWR);
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
    if (n == -1) {
        const int err = errno;
        if (LogDue(gReadFailedLog))
            syslog(LOG_INFO,
                   "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes=%d), errno=%d(%s)\n",
                   pProcInfo->iSelectDes, err, strerror(err));
        PauseIfFailingAgain(pProcInfo);
    } else if (n != 1) {
        if (LogDue(gReadCountLog))
            syslog(LOG_INFO, "00011,TampReadFunc,Tamper Switch Driver Read Count= %d\n", static_cast<int>(n));
        PauseIfFailingAgain(pProcInfo);
    } else {
        gLastReadFailed = false;
        if (event != kEventOpened)
            syslog(LOG_INFO, "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x%x\n", event);
        else
            TamperResponse();
    }
    TraceEnd("TampReadFunc");
    return 0;
}

int WritePipe_ErrLog(unsigned char code, unsigned char kind) {
    TraceStart("WritePipe_ErrLog");
    DataArea data = SpaceFilled();
    GetDateTimeStr(reinterpret_cast<char *>(data.data()), reinterpret_cast<char *>(data.data()) + 8);
    data[KIV_ERROR_LOG_CODE_POS] = code;
    data[KIV_ERROR_LOG_KIND_POS] = kind;
    int iRet = ComFIFOPutData2(KIV_FIFO_LOG, TAMP_MOD_ID, KIV_CMD_ERROR_LOG, data.data());
    TraceEnd("WritePipe_ErrLog");
    return iRet;
}
