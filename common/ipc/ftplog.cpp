// SPDX-License-Identifier: MIT
// Non-blocking delivery to the file-transfer module (kivftp, 11), with its recovery when the
// module no longer takes its records.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "internal/record.h"
#include "internal/sysutil.h"
#include "internal/trace.h"
#include "ipc/osfifo.h"
#include "ipc/protocol.h"
#include "ipc/stsmsg.h"

constexpr int kFtpDrainReads = 245;

extern "C" {

int ComFIFOPutDataforFtpLog(const char *fifo, int iMod_id, int iCmd_id, const void *data) {
    TRACE_FUNC_START(LOG_DEBUG, "ComFIFOPutDataforFtpLog");
    const int iRet = ComFIFOPutData3(fifo, iMod_id, iCmd_id, data);
    if (iRet != 0) {
        // The file-transfer module no longer takes its records: empty its pipe so that other
        // senders do not stall on it, and have the supervisor stop the module.
        ComFIFOGetFTP();
        SendStsModuleKill(fifo, iMod_id, KIV_MOD_FTP);
        syslog(LOG_INFO, "pipe=%s is ERROR .iRet=%d ,%s,%d,@%s\n", fifo, iRet, __FILE__, __LINE__,
               "ComFIFOPutDataforFtpLog");
    }
    TRACE_FUNC_END(LOG_DEBUG, "ComFIFOPutDataforFtpLog");
    return iRet;
}

void ComFIFOGetFTP(void) {
    TRACE_FUNC_START(LOG_INFO, "ComFIFOGetFTP");
    // Usually the pipe exists already; the drain goes on whatever mkfifo says.
    if (mkfifo(KIV_FIFO_FTP, kFifoMode) != 0) TRACE_FUNC_END(LOG_INFO, "ComFIFOGetFTP");
    errno = 0;
    // Read-write and non-blocking: the open never waits, and reads never see end of file.
    const int fd = AboveStdFd(open(KIV_FIFO_FTP, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd == -1) {
        const int err = errno;
        syslog(LOG_INFO, "%s open error (errno=%d(%s))\n", KIV_FIFO_FTP, err, strerror(err));
        return;
    }
    std::array<char, KIV_FIFO_MSG_SIZE> scratch{};
    for (int i = 0; i < kFtpDrainReads; ++i) {
        errno = 0;
        if (read(fd, scratch.data(), scratch.size()) < 0) {
            const int err = errno;
            syslog(LOG_INFO, "FIFO read error (errno=%d(%s))\n", err, strerror(err));
        }
    }
    close(fd);
    TRACE_FUNC_END(LOG_INFO, "ComFIFOGetFTP");
}

} // extern "C"
