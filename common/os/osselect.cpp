// SPDX-License-Identifier: MIT
// Descriptor dispatch loop: one pselect wait per pass, timer pipes served before the
// registered descriptors, every signal blocked outside the wait.
#include "os/osselect.h"

#include <errno.h>
#include <signal.h>
#include <sys/select.h>
#include <syslog.h>
#include <unistd.h>

#include <array>

#include "internal/dispatch.h"
#include "internal/trace.h"

// Wait mask handed to pselect; empty until ComSelectInit builds it.
static sigset_t set;

// Signals a waiting process still takes: the timer signal, the stop and termination
// signals, and child exits.
static constexpr std::array<int, 7> kWaitSignals = {SIGUSR1, SIGKILL, SIGHUP, SIGINT, SIGSTOP, SIGTERM, SIGCHLD};

// Enters fd into the master set and raises iMaxfd; an unusable descriptor is refused.
static void EnterFd(ProcInfo *pProcInfo, int fd) {
    if (!FdInSet(fd)) {
        syslog(LOG_INFO, "error of descriptor range(%d)\n", fd);
        return;
    }
    FD_SET(fd, &pProcInfo->fdsSelect);
    if (fd > pProcInfo->iMaxfd) {
        pProcInfo->iMaxfd = fd;
        syslog(LOG_DEBUG, "pProcInfo->iMaxfd = %d\n", pProcInfo->iMaxfd);
    }
}

static bool FdReady(const ProcInfo *pProcInfo, int fd) { return FdInSet(fd) && FD_ISSET(fd, &pProcInfo->fdsReady); }

void ComSelectInit(ProcInfo *pProcInfo) {
    TraceStart("ComSelectInit()");
    for (int i = 0; i < KIV_SELECT_MAX && pProcInfo->iaSelectDes[i] != 0; ++i)
        EnterFd(pProcInfo, pProcInfo->iaSelectDes[i]);

    sigfillset(&set);
    sigprocmask(SIG_SETMASK, &set, nullptr);
    for (int sig : kWaitSignals) sigdelset(&set, sig);
    TraceEnd("ComSelectInit()");
}

void ComSelectTimerInit(ProcInfo *pProcInfo) {
    TraceStart("ComSelectTimerInit()");
    int n = pProcInfo->iTimerCount;
    if (n >= 0 && n < KIV_TIMER_MAX) EnterFd(pProcInfo, pProcInfo->iTimerSelectDes[n]);
    TraceEnd("ComSelectTimerInit()");
}

void ComSelectFdMaxGet(ProcInfo *pProcInfo) {
    TraceStart("ComSelectFdMaxGet()");
    pProcInfo->iMaxfd = 0;
    // Gaps do not end this scan: every slot counts, so the wait never misses a descriptor.
    auto consider = [pProcInfo](int fd) {
        if (fd == 0 || !FdInSet(fd)) return;
        if (fd > pProcInfo->iMaxfd) {
            pProcInfo->iMaxfd = fd;
            syslog(LOG_DEBUG, "pProcInfo->iMaxfd = %d\n", pProcInfo->iMaxfd);
        }
    };
    for (int fd : pProcInfo->iTimerSelectDes) consider(fd);
    for (int fd : pProcInfo->iaSelectDes) consider(fd);
    TraceEnd("ComSelectFdMaxGet()");
}

void ComSelectFdzero(ProcInfo *pProcInfo) {
    TraceStart("ComSelectFdzero()");
    FD_ZERO(&pProcInfo->fdsReady);
    FD_ZERO(&pProcInfo->fdsSelect);
    pProcInfo->iMaxfd = 0;
    for (int &fd : pProcInfo->iTimerSelectDes) fd = 0;
    for (int &fd : pProcInfo->iaSelectDes) fd = 0;
    syslog(LOG_DEBUG, "FD_ZERO ok\n");
    TraceEnd("ComSelectFdzero()");
}

void ComSelectUpdate(ProcInfo *pProcInfo, int mode) {
    TraceStart("ComSelectUpdate()");
    if (mode != 0) {
        ComSelectInit(pProcInfo);
        syslog(LOG_DEBUG, "FD_SET ok\n");
        ComSelectFdMaxGet(pProcInfo);
        TraceEnd("ComSelectUpdate()");
        return;
    }
    // Clearing the working set too keeps a handler that calls this from seeing the removed
    // descriptors as ready later in the same pass.
    for (int i = 0; i < KIV_SELECT_MAX; ++i) {
        int fd = pProcInfo->iaSelectDes[i];
        if (fd == 0) {
            syslog(LOG_DEBUG, "end of allClear\n");
            return;
        }
        ClearFd(pProcInfo, fd);
    }
    // A full table has no terminating 0: empty it here and bring iMaxfd down to the timers.
    for (int &fd : pProcInfo->iaSelectDes) fd = 0;
    syslog(LOG_DEBUG, "FD_CLR ok\n");
    ComSelectFdMaxGet(pProcInfo);
    TraceEnd("ComSelectUpdate()");
}

// Reads whatever a stopped timer's pipe holds, without calling its handler: left there,
// the byte would make every later wait return at once while no timer runs.
static void DrainStoppedTimers(ProcInfo *pProcInfo, int from, int &n) {
    for (int i = from; i < pProcInfo->iTimerCount && i < KIV_TIMER_MAX; ++i) {
        int fd = pProcInfo->iTimerSelectDes[i];
        if (!FdReady(pProcInfo, fd)) continue;
        std::array<char, 64> buff;
        ssize_t got = read(fd, buff.data(), buff.size());
        --n;
        syslog(LOG_DEBUG, "drain of stopped timer(Des = %d, bytes = %d)\n", fd, static_cast<int>(got));
    }
}

// Timer stage. Returns 0 to go on to the descriptors, or the value that ends the pass.
static int ServeTimers(ProcInfo *pProcInfo, int &n) {
    for (int i = 0; i < pProcInfo->iTimerCount && i < KIV_TIMER_MAX; ++i) {
        if (ComTimerState(pProcInfo) == 0) {
            syslog(LOG_DEBUG, "all timer stop\n");
            DrainStoppedTimers(pProcInfo, i, n);
            return 0;
        }
        int fd = pProcInfo->iTimerSelectDes[i];
        syslog(LOG_DEBUG, "Des check = %d\n", fd);
        if (!FdReady(pProcInfo, fd)) continue;

        // One byte per expiry: a second byte is served by the next pass.
        char cReadBuff[2] = {0, 0};
        (void)read(pProcInfo->TimerCntInfo[i].iTimerSelectDes[0], cReadBuff, 1);
        syslog(LOG_DEBUG, "cReadBuff = %s\n", cReadBuff);
        if (pProcInfo->TimerCntInfo[i].iTimerMode == KIV_TIMER_MODE_ONESHOT) pProcInfo->TimerCntInfo[i].iTimerState = 0;

        pProcInfo->iSigState = 0;
        --n;
        pProcInfo->iSelectDes = fd;
        syslog(LOG_DEBUG, "read data ok pProcInfo->iSelectDes=%d\n", pProcInfo->iSelectDes);
        syslog(LOG_DEBUG, "timerSelectProc(%d) \n", i);
        SelectProc proc = pProcInfo->pTimerSelectProc[i];
        int r = proc != nullptr ? proc(pProcInfo) : 0;
        if (r == 0) continue;
        if (r == -1) {
            syslog(LOG_DEBUG, "error of timerSelectProc()\n");
            continue;
        }
        syslog(LOG_INFO, "timerSelectProc() retuen code = %d\n", r);
        return r;
    }
    return 0;
}

int ComSelect(ProcInfo *pProcInfo) {
    TraceStart("ComSelect()");
    if (pProcInfo->iaSelectDes[0] == 0 && ComTimerState(pProcInfo) == 0) {
        syslog(LOG_DEBUG, "empty of iSelectDes\n");
        return 0;
    }

    pProcInfo->fdsReady = pProcInfo->fdsSelect;
    errno = 0;
    syslog(LOG_DEBUG, "start of select\n");
    // The kernel reads and writes nfds bits of the set: never more than it holds.
    int nfds = pProcInfo->iMaxfd < FD_SETSIZE ? pProcInfo->iMaxfd + 1 : FD_SETSIZE;
    int n = pselect(nfds, &pProcInfo->fdsReady, nullptr, nullptr, nullptr, &set);
    int err = errno;
    syslog(LOG_DEBUG, "iRtn = %d, errno = %d\n", n, err);
    syslog(LOG_DEBUG, "pProcInfo->iSigState = %d\n", pProcInfo->iSigState);
    syslog(LOG_DEBUG, "return of select\n");

    if (n == 0) {
        syslog(LOG_DEBUG, "(1)non read data(kernel)\n");
        return 0;
    }
    if (n == -1) {
        pProcInfo->iErrno = err;
        syslog(LOG_DEBUG, "read error errno=%d\n", err);
        return err == EINTR ? 3 : -1;
    }

    int r = ServeTimers(pProcInfo, n);
    if (r != 0) return r;
    if (n == 0) {
        syslog(LOG_DEBUG, "(2)non read data(kernel)\n");
        return 0;
    }

    for (int i = 0; i < KIV_SELECT_MAX; ++i) {
        int fd = pProcInfo->iaSelectDes[i];
        if (fd == 0) {
            syslog(LOG_DEBUG, "non read data\n");
            return 0;
        }
        if (!FdReady(pProcInfo, fd)) continue;
        --n;
        pProcInfo->iSelectDes = fd;
        syslog(LOG_DEBUG, "read data ok pProcInfo->iSelectDes=%d\n", pProcInfo->iSelectDes);
        syslog(LOG_DEBUG, "selectProc(%d) \n", i);
        SelectProc proc = pProcInfo->pSelectProc[i];
        r = proc != nullptr ? proc(pProcInfo) : 0;
        if (r == 0) continue;
        if (r == -1) {
            syslog(LOG_DEBUG, "error of selectProc()\n");
            return -1;
        }
        syslog(LOG_DEBUG, "ComSelect() retuen code = %d\n", r);
        return r;
    }
    TraceEnd("ComSelect()");
    return 0;
}
