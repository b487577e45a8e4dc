// SPDX-License-Identifier: MIT
// Entry of the tamper-switch monitor.
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "internal/trace.h"
#include "ipc/stsmsg.h"
#include "tamp.h"

int main(int argc, char *argv[]) {
    openlog("KIVTAMP", LOG_PID, LOG_LOCAL4);
    int level = GetLogLevel(argc, argv);
    setlogmask((1 << (level + 1)) - 1);
    // Load the time-zone data now rather than in the middle of the first tamper response.
    tzset();
    syslog(LOG_INFO, "start of TampProcess\n");

    errno = 0;
    auto *pProcInfo = static_cast<ProcInfo *>(malloc(sizeof(ProcInfo)));
    if (pProcInfo == nullptr) {
        syslog(LOG_INFO, "malloc error (errno=%d(%s))\n", errno, strerror(errno));
        exit(1);
    }
    syslog(LOG_DEBUG, "pProcInfo = 0x%lx\n", TraceAddr(pProcInfo));
    memset(pProcInfo, 0, sizeof(ProcInfo));

    int iRet = InitProc(pProcInfo);
    if (iRet != 0) {
        syslog(LOG_INFO, "initProc error (iRet=%d)\n", iRet);
        WakeupComplete(TAMP_MOD_ID, 1, TAMP_WAKEUP_TAG);
        (void)TermProc(pProcInfo);
        exit(1);
    }
    WakeupComplete(TAMP_MOD_ID, 0, TAMP_WAKEUP_TAG);
    MainProc(pProcInfo);
    iRet = TermProc(pProcInfo);
    if (iRet != 0) {
        syslog(LOG_INFO, "termProc error (iRet=%d)\n", iRet);
        exit(1);
    }
    syslog(LOG_DEBUG, "end of TampProcess\n");
    exit(0);
}
