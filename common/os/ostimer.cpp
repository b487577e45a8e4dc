// SPDX-License-Identifier: MIT
// Interval timers: each timer owns a pipe whose read end the dispatch loop waits on; the
// kernel timer signals SIGUSR1 with the timer's value and the signal side writes one byte.
#include "os/ostimer.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <string.h>
#include <sys/select.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>

#include "internal/dispatch.h"
#include "internal/sysutil.h"
#include "internal/trace.h"

// Signal value of timer slot k.
static constexpr std::array<int, KIV_TIMER_MAX> timerSigIdTbl = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109};

// timer_create copies it, so one record serves every timer.
static struct sigevent event;

static constexpr int64_t kNsecPerMsec = 1000000;
static constexpr int64_t kNsecPerSec = 1000000000;

// The C library's timer_t carries the kernel's timer number.
static int TimerIdNum(timer_t id) { return static_cast<int>(reinterpret_cast<intptr_t>(id)); }

// Slot of the timer whose pipe write end is handle, or -1.
static int FindTimer(const ProcInfo *pProcInfo, int handle) {
    for (int i = 0; i < pProcInfo->iTimerCount && i < KIV_TIMER_MAX; ++i)
        if (pProcInfo->TimerCntInfo[i].iTimerSelectDes[1] == handle) return i;
    return -1;
}

static struct itimerspec SettingFromMsec(int msec, bool cyclic) {
    struct itimerspec its {};
    its.it_value.tv_sec = msec / 1000;
    its.it_value.tv_nsec = static_cast<long>(msec % 1000) * 1000000L;
    if (cyclic) its.it_interval = its.it_value;
    return its;
}

static void LogSetting(int slot, const struct itimerspec &its) {
    syslog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_value.tv_sec = %d\n", slot,
           static_cast<int>(its.it_value.tv_sec));
    syslog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_value.tv_nsec = %ld\n", slot,
           static_cast<long>(its.it_value.tv_nsec));
    syslog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_interval.tv_sec = %d\n", slot,
           static_cast<int>(its.it_interval.tv_sec));
    syslog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_interval.tv_nsec = %ld\n", slot,
           static_cast<long>(its.it_interval.tv_nsec));
}

// A negative period has no meaning for the kernel timer; it is refused before anything changes.
static bool MsecRefused(int msec) {
    if (msec >= 0) return false;
    syslog(LOG_INFO, "error of TimerMsec(%d)\n", msec);
    return true;
}

int ComTimerSet(ProcInfo *pProcInfo, int mode, int msec, SelectProc handler) {
    TraceStart("ComTimerSet()");
    int n = pProcInfo->iTimerCount;
    if (n > KIV_TIMER_MAX - 1) {
        syslog(LOG_INFO, "error of timerMaxOver\n");
        return -1;
    }
    if (MsecRefused(msec)) return -1;
    TimerCntInfo &t = pProcInfo->TimerCntInfo[n];
    t.iTimerMode = mode;
    t.iTimerMsec = msec;
    t.pTimerProc = handler;

    errno = 0;
    if (pipe2(t.iTimerSelectDes, O_CLOEXEC) != 0) {
        syslog(LOG_INFO, "error of pipe(errno=%d)\n", errno);
        return -1;
    }
    // A read end of 0 would end the timer table; write ends keep clear of 1 and 2 as well.
    t.iTimerSelectDes[0] = AboveStdFd(t.iTimerSelectDes[0]);
    t.iTimerSelectDes[1] = AboveStdFd(t.iTimerSelectDes[1]);
    // A read end beyond the descriptor sets could never be waited on, so the timer is refused.
    // The signal side must never block on a full pipe: it would stop the process for good.
    if (!FdInSet(t.iTimerSelectDes[0]) ||
        fcntl(t.iTimerSelectDes[1], F_SETFL, fcntl(t.iTimerSelectDes[1], F_GETFL) | O_NONBLOCK) != 0) {
        if (!FdInSet(t.iTimerSelectDes[0]))
            syslog(LOG_INFO, "error of descriptor range(%d)\n", t.iTimerSelectDes[0]);
        else
            syslog(LOG_INFO, "error of pipe(errno=%d)\n", errno);
        close(t.iTimerSelectDes[0]);
        close(t.iTimerSelectDes[1]);
        t.iTimerSelectDes[0] = 0;
        t.iTimerSelectDes[1] = 0;
        return -1;
    }
    syslog(LOG_DEBUG, "read pipe(pProcInfo->TimerCntInfo[pProcInfo->iTimerCount].iTimerSelectDes[0] = %d)\n",
           t.iTimerSelectDes[0]);
    syslog(LOG_DEBUG, "write pipe(pProcInfo->TimerCntInfo[pProcInfo->iTimerCount].iTimerSelectDes[1] = %d)\n",
           t.iTimerSelectDes[1]);

    pProcInfo->iTimerSelectDes[n] = t.iTimerSelectDes[0];
    pProcInfo->pTimerSelectProc[n] = handler;
    syslog(LOG_DEBUG, "pProcInfo->iTimerSelectDes[pProcInfo->iTimerCount] = %d\n", pProcInfo->iTimerSelectDes[n]);
    syslog(LOG_DEBUG, "pProcInfo->pTimerSelectProc[pProcInfo->iTimerCount] = 0x%lx\n", TraceAddr(handler));
    ComSelectTimerInit(pProcInfo);

    t.iTimerCreate = 1;
    pProcInfo->iTimerCount = n + 1;
    syslog(LOG_DEBUG, "pProcInfo->iTimerCount = %d\n", pProcInfo->iTimerCount);
    TraceEnd("ComTimerSet()");
    return t.iTimerSelectDes[1];
}

int ComTimerStart(ProcInfo *pProcInfo, int handle) {
    TraceStart("ComTimerStart()");
    int slot = FindTimer(pProcInfo, handle);
    if (slot < 0) {
        syslog(LOG_INFO, "error of TimerDescriptor(%d)\n", handle);
        return -1;
    }
    TimerCntInfo &t = pProcInfo->TimerCntInfo[slot];
    if (t.iTimerCreate == 0) {
        if (ComTimeUpTimerStart(pProcInfo, handle, 0) == -1) {
            syslog(LOG_INFO, "error of ComTimeUpTimerStart()\n");
            return -1;
        }
        syslog(LOG_DEBUG, "success of ComTimeUpTimerStart()\n");
        return 0;
    }

    event.sigev_value.sival_int = timerSigIdTbl[static_cast<size_t>(slot)];
    event.sigev_signo = SIGUSR1;
    event.sigev_notify = SIGEV_SIGNAL;
    t.iTimerSigId = timerSigIdTbl[static_cast<size_t>(slot)];
    errno = 0;
    if (timer_create(CLOCK_REALTIME, &event, &t.timerId) != 0) {
        syslog(LOG_INFO, "error of timer_create(errno=%d)\n", errno);
        syslog(LOG_INFO, "timer_id = %d\n", TimerIdNum(t.timerId));
        return -1;
    }
    syslog(LOG_DEBUG, "success of timer_create\n");
    syslog(LOG_DEBUG, "timer_id = %d\n", TimerIdNum(t.timerId));

    t.itval = SettingFromMsec(t.iTimerMsec, t.iTimerMode == KIV_TIMER_MODE_CYCLIC);
    LogSetting(slot, t.itval);
    syslog(LOG_DEBUG, "start of timer_start\n");
    errno = 0;
    if (timer_settime(t.timerId, 0, &t.itval, nullptr) != 0) {
        syslog(LOG_INFO, "error of timer_settime(errno=%d)\n", errno);
        // The record still asks for creation, so the next start makes another kernel timer:
        // this one would otherwise be left behind for the life of the process.
        timer_delete(t.timerId);
        return -1;
    }
    syslog(LOG_DEBUG, "success of timer_start\n");
    t.iTimerCreate = 0;
    t.iTimerState = 1;
    TraceEnd("ComTimerStart()");
    return 0;
}

int ComTimeUpTimerStart(ProcInfo *pProcInfo, int handle, int msec) {
    TraceStart("ComTimeUpTimerStart()");
    int slot = FindTimer(pProcInfo, handle);
    if (slot < 0) {
        syslog(LOG_INFO, "error of TimerDescriptor(%d)\n", handle);
        return -1;
    }
    TimerCntInfo &t = pProcInfo->TimerCntInfo[slot];
    // Without a kernel timer, timerId is stale or zero and might name another slot's timer.
    if (t.iTimerCreate != 0) {
        syslog(LOG_INFO, "error of ComTimeUpTimerStart(no kernel timer, TimerDescriptor=%d)\n", handle);
        return -1;
    }
    if (MsecRefused(msec)) return -1;
    if (msec != 0) {
        t.iTimerMsec = msec;
        t.itval = SettingFromMsec(msec, false);
    }
    LogSetting(slot, t.itval);
    syslog(LOG_DEBUG, "start of timer_start\n");
    errno = 0;
    if (timer_settime(t.timerId, 0, &t.itval, nullptr) != 0) {
        syslog(LOG_INFO, "error of timer_settime(errno=%d)\n", errno);
        return -1;
    }
    syslog(LOG_DEBUG, "success of timer_start\n");
    t.iTimerCreate = 0;
    t.iTimerState = 1;
    TraceEnd("ComTimeUpTimerStart()");
    return 0;
}

int ComTimerCancel(ProcInfo *pProcInfo, int handle) {
    TraceStart("ComTimerCancel()");
    int slot = FindTimer(pProcInfo, handle);
    if (slot < 0) {
        syslog(LOG_INFO, "error of TimerDescriptor(%d)\n", handle);
        return -1;
    }
    TimerCntInfo &t = pProcInfo->TimerCntInfo[slot];
    if (t.iTimerState == 0) return 0;
    syslog(LOG_DEBUG, "iLoopi = %d\n", slot);
    syslog(LOG_DEBUG, "timer_id = %d\n", TimerIdNum(t.timerId));
    timer_delete(t.timerId);
    syslog(LOG_DEBUG, "success of timer_delete\n");
    t.iTimerCreate = 1;
    t.iTimerState = 0;
    TraceEnd("ComTimerCancel()");
    return 0;
}

int ComTimeReSetTimer(ProcInfo *pProcInfo, int handle, int msec) {
    TraceStart("ComTimeReSetTimer()");
    int slot = FindTimer(pProcInfo, handle);
    if (slot < 0) {
        syslog(LOG_INFO, "error of ComTimeReSetTimer(%d)\n", handle);
        return -1;
    }
    if (MsecRefused(msec)) return -1;
    (void)ComTimerCancel(pProcInfo, handle);

    TimerCntInfo &t = pProcInfo->TimerCntInfo[slot];
    struct itimerspec its = SettingFromMsec(msec, t.iTimerMode == KIV_TIMER_MODE_CYCLIC);
    syslog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_value.tv_sec=%ld\n", static_cast<long>(its.it_value.tv_sec));
    syslog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_value.tv_nsec=%ld\n", static_cast<long>(its.it_value.tv_nsec));
    syslog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_interval.tv_sec=%ld\n", static_cast<long>(its.it_interval.tv_sec));
    syslog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_interval.tv_nsec=%ld\n",
           static_cast<long>(its.it_interval.tv_nsec));

    t.iTimerMsec = msec;
    t.itval = its;
    syslog(LOG_DEBUG, "ComTimeReSetTimer() pProcInfo->TimerCntInfo.itval.it_value.tv_sec=%ld\n",
           static_cast<long>(t.itval.it_value.tv_sec));
    syslog(LOG_DEBUG, "ComTimeReSetTimer() pProcInfo->TimerCntInfo.itval.it_value.tv_nsec=%ld\n",
           static_cast<long>(t.itval.it_value.tv_nsec));
    syslog(LOG_DEBUG, "ComTimeReSetTimer() pProcInfo->TimerCntInfo.itval.it_interval.tv_sec=%ld\n",
           static_cast<long>(t.itval.it_interval.tv_sec));
    syslog(LOG_DEBUG, "ComTimeReSetTimer() pProcInfo->TimerCntInfo.itval.it_interval.tv_nsec=%ld\n",
           static_cast<long>(t.itval.it_interval.tv_nsec));
    TraceEnd("ComTimeReSetTimer()");
    return 0;
}

int ComTimerGet(ProcInfo *pProcInfo, int handle) {
    TraceStart("ComTimerGet()");
    int slot = FindTimer(pProcInfo, handle);
    if (slot < 0) {
        syslog(LOG_INFO, "error of TimerDescriptor(%d)\n", handle);
        return -1;
    }
    const TimerCntInfo &t = pProcInfo->TimerCntInfo[slot];
    if (t.iTimerState == 0) {
        syslog(LOG_DEBUG, "stopMode of timer\n");
        return -1;
    }
    struct itimerspec cur {};
    errno = 0;
    if (timer_gettime(t.timerId, &cur) != 0) {
        syslog(LOG_INFO, "error of timer_gettime(errno=%d)\n", errno);
        return -1;
    }
    syslog(LOG_DEBUG, "success of timer_gettime\n");
    LogSetting(slot, t.itval);
    syslog(LOG_DEBUG, "itval.it_value.tv_sec = %d\n", static_cast<int>(cur.it_value.tv_sec));
    syslog(LOG_DEBUG, "itval.it_value.tv_nsec = %ld\n", static_cast<long>(cur.it_value.tv_nsec));

    int64_t full = static_cast<int64_t>(t.itval.it_value.tv_sec) * kNsecPerSec + t.itval.it_value.tv_nsec;
    int64_t left = static_cast<int64_t>(cur.it_value.tv_sec) * kNsecPerSec + cur.it_value.tv_nsec;
    TraceEnd("ComTimerGet()");
    return static_cast<int>((full - left) / kNsecPerMsec);
}

int ComTimerState(ProcInfo *pProcInfo) {
    TraceStart("ComTimerState()");
    for (int i = 0; i < pProcInfo->iTimerCount && i < KIV_TIMER_MAX; ++i) {
        if (pProcInfo->TimerCntInfo[i].iTimerState == 1) {
            syslog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].iTimerState = %d\n", i, 1);
            return 1;
        }
    }
    TraceEnd("ComTimerState()");
    return 0;
}

int ComTimerDelete(ProcInfo *pProcInfo) {
    TraceStart("ComTimerDelete()");
    for (int i = 0; i < pProcInfo->iTimerCount && i < KIV_TIMER_MAX; ++i) {
        TimerCntInfo &t = pProcInfo->TimerCntInfo[i];
        (void)ComTimerCancel(pProcInfo, t.iTimerSelectDes[1]);
        // The cancel leaves the kernel timer of an expired one-shot timer in place; it has
        // no use once the slot is freed.
        if (t.iTimerCreate == 0) {
            timer_delete(t.timerId);
            t.iTimerCreate = 1;
            syslog(LOG_DEBUG, "success of timer_delete\n");
        }

        errno = 0;
        if (close(t.iTimerSelectDes[0]) != 0) {
            syslog(LOG_INFO, "pipeReadClose failed(iTimerSelectDes=%d, errno=%d)\n", t.iTimerSelectDes[0], errno);
            return -1;
        }
        syslog(LOG_DEBUG, "pipeReadClose success(iTimerSelectDes=%d)\n", t.iTimerSelectDes[0]);
        errno = 0;
        if (close(t.iTimerSelectDes[1]) != 0) {
            syslog(LOG_INFO, "pipeWriteClose failed(iTimerSelectDes=%d, errno=%d)\n", t.iTimerSelectDes[1], errno);
            return -1;
        }
        syslog(LOG_DEBUG, "pipeWriteClose success(iTimerSelectDes=%d)\n", t.iTimerSelectDes[1]);
        ClearFd(pProcInfo, pProcInfo->iTimerSelectDes[i]);
    }
    ComSelectFdMaxGet(pProcInfo);
    pProcInfo->iTimerCount = 0;
    memset(pProcInfo->TimerCntInfo, 0, sizeof pProcInfo->TimerCntInfo);
    TraceEnd("ComTimerDelete()");
    return 0;
}

void SleepTicks(uint32_t ticks) {
    constexpr uint32_t kUnitBit = 0x80000000u;
    if ((ticks & kUnitBit) == 0) {
        // Ticks of 10 ms; a count past the 32-bit range sleeps the longest time instead of wrapping.
        uint64_t us = static_cast<uint64_t>(ticks) * 10000u;
        uint32_t usec = us > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(us);
        usleep(usec);
        syslog(LOG_DEBUG, "usleep = %d\n", static_cast<int>(usec));
        return;
    }
    // Units of 1/256 second.
    double seconds = static_cast<double>(ticks & ~kUnitBit) / 256.0;
    double whole = 0.0;
    double fraction = modf(seconds, &whole);
    syslog(LOG_DEBUG, "usleep = %d\n", static_cast<int>(whole));
    syslog(LOG_DEBUG, "usleep = %f\n", fraction);
    double us = whole * 1000000.0 + fraction * 1000000.0;
    usleep(us >= static_cast<double>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(us));
}

// Runs only while the dispatch loop waits (every other time SIGUSR1 is blocked), so the
// record is not being changed under it. Async-signal-safe calls only.
static void TimerSigHandler(int /*sig*/, siginfo_t *info, void * /*context*/) {
    int savedErrno = errno;
    ProcInfo *p = pProcInfoCom;
    if (p != nullptr && info != nullptr) {
        int value = info->si_value.sival_int;
        int slot = value - timerSigIdTbl[0];
        // A SIGUSR1 sent by kill carries no timer value and is ignored.
        if (slot >= 0 && slot < p->iTimerCount && slot < KIV_TIMER_MAX && p->TimerCntInfo[slot].iTimerSigId == value &&
            p->TimerCntInfo[slot].iTimerSelectDes[1] > 0) {
            // The byte names the slot, which makes the loop's trace readable.
            char b = static_cast<char>('0' + slot);
            (void)write(p->TimerCntInfo[slot].iTimerSelectDes[1], &b, 1);
            p->iSigState = 1;
        }
    }
    errno = savedErrno;
}

int ComTimerSigInit(void) {
    TraceStart("ComTimerSigInit()");
    struct sigaction sa {};
    sa.sa_sigaction = TimerSigHandler;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    errno = 0;
    if (sigaction(SIGUSR1, &sa, nullptr) != 0) {
        syslog(LOG_INFO, "error of sigaction(errno=%d)\n", errno);
        return -1;
    }
    TraceEnd("ComTimerSigInit()");
    return 0;
}
