// SPDX-License-Identifier: MIT
// Status notifications to the supervisor module (kivsts, 80).
#include "ipc/stsmsg.h"

#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "internal/record.h"
#include "internal/trace.h"
#include "ipc/osfifo.h"
#include "ipc/protocol.h"

DataArea StsErrorData(int iErrKind, int iErrValue) {
    DataArea data = SpaceFilled();
    // Raw bytes, modulo 256; unsigned arithmetic so that no kind can overflow.
    data[KIV_STS_ERROR_KIND_POS] =
        static_cast<unsigned char>(static_cast<unsigned int>(iErrKind) + KIV_STS_ERROR_KIND_BIAS);
    data[KIV_STS_ERROR_VALUE_POS] = static_cast<unsigned char>(iErrValue);
    return data;
}

extern "C" {

int WakeupComplete(int iModId, int iStatus, const char *pTag) {
    TraceStart("WakeupComplete");
    DataArea data = SpaceFilled();
    PutId(data.data() + KIV_STATUS_POS, iStatus);
    // The tag is four characters without a terminator; a shorter text ends at its terminator
    // and leaves the rest of the field blank instead of reading past it.
    if (pTag != nullptr) std::memcpy(data.data() + KIV_WAKEUP_TAG_POS, pTag, strnlen(pTag, KIV_WAKEUP_TAG_LEN));
    const int iRet = ComFIFOPutData2(KIV_FIFO_STSP, iModId, KIV_CMD_WAKEUP_COMPLETE, data.data());
    TraceEnd("WakeupComplete");
    return iRet;
}

int TerminateComplete(int iModId, int iStatus) {
    TraceStart("TerminateComplete");
    DataArea data = SpaceFilled();
    PutId(data.data() + KIV_STATUS_POS, iStatus);
    const int iRet = ComFIFOPutData2(KIV_FIFO_STS, iModId, KIV_CMD_TERMINATE_COMPLETE, data.data());
    TraceEnd("TerminateComplete");
    return iRet;
}

int SendSTSError(int iErrKind, int iErrValue) {
    const DataArea data = StsErrorData(iErrKind, iErrValue);
    return ComFIFOPutData2(KIV_FIFO_STS, KIV_MOD_TAMP, KIV_CMD_STS_ERROR, data.data());
}

int SendStsModuleKill(const char *fifo, int iModId, int iKillModId) {
    (void)fifo; // the request always goes to the supervisor's pipe
    // Logged at the informational level: a stop request belongs to a recovery.
    TRACE_FUNC_START(LOG_INFO, "SendStsModuleKill");
    DataArea data = SpaceFilled();
    PutId(data.data() + KIV_MODULE_KILL_POS, iKillModId);
    const int iRet = ComFIFOPutData2(KIV_FIFO_STS, iModId, KIV_CMD_MODULE_KILL, data.data());
    TRACE_FUNC_END(LOG_INFO, "SendStsModuleKill");
    return iRet;
}

} // extern "C"
