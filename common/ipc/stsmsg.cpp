// Status notifications to the supervisor module (kivsts, 80).
#include "ipc/stsmsg.h"

#include <syslog.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "internal/record.h"
#include "internal/trace.h"
#include "ipc/osfifo.h"

constexpr int kCmdWakeupComplete = 600;
constexpr int kCmdTerminateComplete = 605;
constexpr int kCmdStsError = 609;
constexpr int kCmdModuleKill = 631;
// SendSTSError always reports as the monitor.
constexpr int kOwnModId = 53;

using DataArea = std::array<unsigned char, KIV_FIFO_DATA_SIZE>;

static DataArea BlankData() {
    DataArea data;
    data.fill(' ');
    return data;
}

// Copies the first three characters of the "%03d" text of value to data 0-2; a value outside
// 0..999 does not arrive whole.
static void PutNumber(DataArea &data, int value) {
    std::array<char, 16> text{};
    (void)std::snprintf(text.data(), text.size(), "%03d", value);
    std::memcpy(data.data(), text.data(), 3);
}

void StsErrorData(int iErrKind, int iErrValue, unsigned char *data) {
    std::memset(data, ' ', KIV_FIFO_DATA_SIZE);
    // Raw bytes, modulo 256; unsigned arithmetic so that no kind can overflow.
    data[0] = static_cast<unsigned char>(static_cast<unsigned int>(iErrKind) + 4U);
    data[1] = static_cast<unsigned char>(iErrValue);
}

extern "C" {

int WakeupComplete(int iModId, int iStatus, const char *pTag) {
    TraceStart("WakeupComplete");
    DataArea data = BlankData();
    PutNumber(data, iStatus);
    // The tag is four characters without a terminator; a shorter text ends at its terminator
    // and leaves the rest of the field blank instead of reading past it.
    if (pTag != nullptr) std::memcpy(data.data() + 3, pTag, strnlen(pTag, 4));
    const int iRet = ComFIFOPutData2(KIV_FIFO_STSP, iModId, kCmdWakeupComplete, data.data());
    TraceEnd("WakeupComplete");
    return iRet;
}

int TerminateComplete(int iModId, int iStatus) {
    TraceStart("TerminateComplete");
    DataArea data = BlankData();
    PutNumber(data, iStatus);
    const int iRet = ComFIFOPutData2(KIV_FIFO_STS, iModId, kCmdTerminateComplete, data.data());
    TraceEnd("TerminateComplete");
    return iRet;
}

int SendSTSError(int iErrKind, int iErrValue) {
    DataArea data{};
    StsErrorData(iErrKind, iErrValue, data.data());
    return ComFIFOPutData2(KIV_FIFO_STS, kOwnModId, kCmdStsError, data.data());
}

int SendStsModuleKill(const char *fifo, int iModId, int iKillModId) {
    (void)fifo; // the request always goes to the supervisor's pipe
    // Logged at the informational level: a stop request belongs to a recovery.
    TRACE_FUNC_START(LOG_INFO, "SendStsModuleKill");
    DataArea data = BlankData();
    PutNumber(data, iKillModId);
    const int iRet = ComFIFOPutData2(KIV_FIFO_STS, iModId, kCmdModuleKill, data.data());
    TRACE_FUNC_END(LOG_INFO, "SendStsModuleKill");
    return iRet;
}

} // extern "C"
