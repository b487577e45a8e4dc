// Interval timers with real kernel timers, real SIGUSR1 deliveries through the installed
// signal side, and the real dispatch loop serving the pipes. Kernel timers are counted in
// /proc/self/timers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kivtest.h"
#include "os/osselect.h"
#include "os/ostimer.h"

using namespace std::chrono_literals;
using kivtest::F;
using kivtest::Syslog;
using Clock = std::chrono::steady_clock;

namespace {

struct Call {
    int slot;
    int state; // iTimerState of the slot while its handler ran
};
std::vector<Call> g_calls;
std::map<int, int> g_result; // handler result by slot

int SlotOf(const ProcInfo *p, int des) {
    for (int i = 0; i < KIV_TIMER_MAX; ++i)
        if (p->iTimerSelectDes[i] == des) return i;
    return -1;
}

int TimerProc(ProcInfo *p) {
    int slot = SlotOf(p, p->iSelectDes);
    g_calls.push_back({slot, p->TimerCntInfo[slot].iTimerState});
    return g_result[slot];
}

constexpr int kWatchdog = 99;
int WatchdogProc(ProcInfo *p) {
    char c;
    (void)read(p->iSelectDes, &c, 1);
    return kWatchdog;
}

size_t Count(int pri, const std::string &text) {
    Syslog().Sync();
    return Syslog().Count(pri, text);
}


int Pending(int fd) {
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// Signal values of this process's kernel timers ("signal: 10/<value>" in /proc/self/timers).
std::multiset<unsigned long> KernelTimerValues() {
    std::ifstream f("/proc/self/timers");
    std::multiset<unsigned long> v;
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("signal: 10/", 0) == 0) v.insert(std::stoul(line.substr(11), nullptr, 16));
    return v;
}
size_t KernelTimers() { return KernelTimerValues().size(); }

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

long MsSince(Clock::time_point t0) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// Ends a pass with kWatchdog if the awaited expiries do not come, so a lost timer fails the
// test instead of hanging it.
class Watchdog {
public:
    int fd[2] = {-1, -1};
    Watchdog() {
        EXPECT_EQ(pipe(fd), 0);
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_for(lock, 10s, [this] { return stop_; })) (void)write(fd[1], "w", 1);
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
        close(fd[0]);
        close(fd[1]);
    }

private:
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
};

class Timer : public testing::Test {
protected:
    ProcInfo rec{};
    sigset_t savedMask{};
    struct sigaction savedUsr1 {};
    std::multiset<unsigned long> baseTimers;

    void SetUp() override {
        sigprocmask(SIG_SETMASK, nullptr, &savedMask);
        sigaction(SIGUSR1, nullptr, &savedUsr1);
        g_calls.clear();
        g_result.clear();
        baseTimers = KernelTimerValues();
        pProcInfoCom = &rec;
        ASSERT_EQ(ComTimerSigInit(), 0);
        ComSelectInit(&rec); // as a module does: signals blocked outside the wait
        Syslog().Clear();
    }
    void TearDown() override {
        if (rec.iTimerCount > 0) ComTimerDelete(&rec);
        pProcInfoCom = nullptr; // a late expiry is now ignored by the signal side
        sigprocmask(SIG_SETMASK, &savedMask, nullptr);
        sigaction(SIGUSR1, &savedUsr1, nullptr);
    }
    size_t NewKernelTimers() { return KernelTimers() - baseTimers.size(); }
    // Passes of the loop, with a watchdog registered, until done() holds.
    int RunUntil(const std::function<bool()> &done) {
        Watchdog wd;
        rec.iaSelectDes[0] = wd.fd[0];
        rec.pSelectProc[0] = WatchdogProc;
        ComSelectInit(&rec);
        int r = 0;
        for (int i = 0; i < 100 && !done() && r != kWatchdog; ++i) r = ComSelect(&rec);
        ComSelectUpdate(&rec, 0);
        rec.iaSelectDes[0] = 0;
        EXPECT_NE(r, kWatchdog) << "no expiry within the watchdog's time";
        return r;
    }
};

TEST_F(Timer, TenTimersGetTheirOwnPipesAndTheEleventhIsRefused) {
    std::set<int> handles;
    for (int k = 0; k < 10; ++k) {
        int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
        ASSERT_GT(h, 0);
        handles.insert(h);
        const TimerCntInfo &t = rec.TimerCntInfo[k];
        EXPECT_EQ(t.iTimerSelectDes[1], h);
        EXPECT_EQ(rec.iTimerSelectDes[k], t.iTimerSelectDes[0]);
        EXPECT_EQ(rec.pTimerSelectProc[k], TimerProc);
        EXPECT_TRUE(FD_ISSET(t.iTimerSelectDes[0], &rec.fdsSelect));
        EXPECT_EQ(t.iTimerCreate, 1);
        EXPECT_EQ(t.iTimerState, 0);
        ASSERT_EQ(write(h, "x", 1), 1); // the handle is the write end of that very pipe
        EXPECT_EQ(Pending(t.iTimerSelectDes[0]), 1);
        char c;
        ASSERT_EQ(read(t.iTimerSelectDes[0], &c, 1), 1);
        EXPECT_GE(rec.iMaxfd, t.iTimerSelectDes[0]);
    }
    EXPECT_EQ(handles.size(), 10u);
    EXPECT_EQ(rec.iTimerCount, 10);
    EXPECT_EQ(NewKernelTimers(), 0u);
    EXPECT_EQ(Count(LOG_DEBUG, "pProcInfo->iTimerCount = 1\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, F("pProcInfo->pTimerSelectProc[pProcInfo->iTimerCount] = 0x%lx\n",
                                   static_cast<unsigned long>(reinterpret_cast<uintptr_t>(TimerProc)))),
              10u);
    EXPECT_EQ(Count(LOG_DEBUG, F("read pipe(pProcInfo->TimerCntInfo[pProcInfo->iTimerCount].iTimerSelectDes[0] = %d)\n",
                                   rec.TimerCntInfo[0].iTimerSelectDes[0])),
              1u);

    EXPECT_EQ(ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc), -1);
    EXPECT_EQ(Count(LOG_INFO, "error of timerMaxOver\n"), 1u);
    EXPECT_EQ(rec.iTimerCount, 10);
}

TEST_F(Timer, NeverStartedTimerIsStoppedAndHasNoKernelTimer) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
    EXPECT_EQ(ComTimerGet(&rec, h), -1);
    EXPECT_EQ(Count(LOG_DEBUG, "stopMode of timer\n"), 1u);
    EXPECT_EQ(ComTimerCancel(&rec, h), 0);
    EXPECT_EQ(ComTimerState(&rec), 0);
    EXPECT_EQ(NewKernelTimers(), 0u);
    // Regression: re-arming without a kernel timer armed whatever timerId happened to hold.
    EXPECT_EQ(ComTimeUpTimerStart(&rec, h, 0), -1);
    EXPECT_EQ(Count(LOG_INFO, F("error of ComTimeUpTimerStart(no kernel timer, TimerDescriptor=%d)\n", h)), 1u);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerState, 0);
}

TEST_F(Timer, UnknownHandleIsRefusedByEveryOperation) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
    const int bad = h + 100;
    EXPECT_EQ(ComTimerStart(&rec, bad), -1);
    EXPECT_EQ(ComTimeUpTimerStart(&rec, bad, 10), -1);
    EXPECT_EQ(ComTimerCancel(&rec, bad), -1);
    EXPECT_EQ(ComTimerGet(&rec, bad), -1);
    EXPECT_EQ(Count(LOG_INFO, F("error of TimerDescriptor(%d)\n", bad)), 4u);
    EXPECT_EQ(ComTimeReSetTimer(&rec, bad, 10), -1);
    EXPECT_EQ(Count(LOG_INFO, F("error of ComTimeReSetTimer(%d)\n", bad)), 1u);
    // The read end is no handle either.
    EXPECT_EQ(ComTimerStart(&rec, rec.iTimerSelectDes[0]), -1);
}

TEST_F(Timer, NegativePeriodsAreRefusedAndChangeNothing) {
    EXPECT_EQ(ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, -1, TimerProc), -1);
    EXPECT_EQ(Count(LOG_INFO, "error of TimerMsec(-1)\n"), 1u);
    EXPECT_EQ(rec.iTimerCount, 0);

    int h = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 600000, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(ComTimeReSetTimer(&rec, h, -200), -1);
    EXPECT_EQ(ComTimeUpTimerStart(&rec, h, -5), -1);
    EXPECT_EQ(Count(LOG_INFO, "error of TimerMsec(-200)\n"), 1u);
    EXPECT_EQ(Count(LOG_INFO, "error of TimerMsec(-5)\n"), 1u);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerState, 1);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerMsec, 600000);
    EXPECT_EQ(rec.TimerCntInfo[0].itval.it_interval.tv_sec, 600);
    EXPECT_EQ(NewKernelTimers(), 1u);
}

TEST_F(Timer, OneShotFiresOnceAndIsStoppedWhenItsHandlerRuns) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 50, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerSigId, 100);
    EXPECT_EQ(KernelTimerValues().count(100), baseTimers.count(100) + 1);
    EXPECT_EQ(Count(LOG_DEBUG, "pProcInfo->TimerCntInfo[0].itval.it_value.tv_nsec = 50000000\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "pProcInfo->TimerCntInfo[0].itval.it_interval.tv_nsec = 0\n"), 1u);

    EXPECT_EQ(RunUntil([] { return !g_calls.empty(); }), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].state, 0);
    EXPECT_EQ(rec.iSigState, 0);
    EXPECT_EQ(Count(LOG_DEBUG, "cReadBuff = 0\n"), 1u); // the byte names slot 0

    SleepTicks(15);
    EXPECT_EQ(Pending(rec.iTimerSelectDes[0]), 0);
    EXPECT_EQ(ComSelect(&rec), 0); // nothing runs, nothing registered: no wait
    EXPECT_EQ(Count(LOG_DEBUG, "empty of iSelectDes\n"), 1u);

    // Expired: the kernel timer is kept and armed again, not created anew.
    EXPECT_EQ(NewKernelTimers(), 1u);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "success of ComTimeUpTimerStart()\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "success of timer_create\n"), 1u);
    EXPECT_EQ(NewKernelTimers(), 1u);
    RunUntil([] { return g_calls.size() == 2; });
    EXPECT_EQ(g_calls.size(), 2u);
}

TEST_F(Timer, CyclicTimerKeepsFiringUntilCancelledAndRestartsWithItsSignalValue) {
    ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc); // slot 0, never started
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 30, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(rec.TimerCntInfo[1].iTimerSigId, 101);
    EXPECT_EQ(KernelTimerValues().count(101), baseTimers.count(101) + 1);
    EXPECT_EQ(Count(LOG_DEBUG, "pProcInfo->TimerCntInfo[1].itval.it_interval.tv_nsec = 30000000\n"), 1u);

    RunUntil([] { return g_calls.size() >= 3; });
    ASSERT_GE(g_calls.size(), 3u);
    for (const Call &c : g_calls) {
        EXPECT_EQ(c.slot, 1);
        EXPECT_EQ(c.state, 1);
    }
    EXPECT_EQ(ComTimerState(&rec), 1);

    EXPECT_EQ(ComTimerCancel(&rec, h), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "iLoopi = 1\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "success of timer_delete\n"), 1u);
    EXPECT_EQ(rec.TimerCntInfo[1].iTimerCreate, 1);
    EXPECT_EQ(ComTimerState(&rec), 0);
    EXPECT_EQ(NewKernelTimers(), 0u);

    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "success of timer_create\n"), 2u);
    EXPECT_EQ(KernelTimerValues().count(101), baseTimers.count(101) + 1);
    size_t before = g_calls.size();
    RunUntil([&] { return g_calls.size() > before; });
}

TEST_F(Timer, ReSetStopsACyclicTimerAndTheNextStartUsesTheNewPeriod) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 600000, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(ComTimeReSetTimer(&rec, h, 200), 0);
    const TimerCntInfo &t = rec.TimerCntInfo[0];
    EXPECT_EQ(t.iTimerState, 0);
    EXPECT_EQ(t.iTimerMsec, 200);
    EXPECT_EQ(t.itval.it_value.tv_sec, 0);
    EXPECT_EQ(t.itval.it_value.tv_nsec, 200000000);
    EXPECT_EQ(t.itval.it_interval.tv_sec, 0);
    EXPECT_EQ(t.itval.it_interval.tv_nsec, 200000000);
    EXPECT_EQ(NewKernelTimers(), 0u);
    EXPECT_EQ(Count(LOG_DEBUG, "ComTimeReSetTimer() itval.it_interval.tv_nsec=200000000\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "ComTimeReSetTimer() pProcInfo->TimerCntInfo.itval.it_value.tv_nsec=200000000\n"), 1u);

    auto t0 = Clock::now();
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "pProcInfo->TimerCntInfo[0].itval.it_interval.tv_nsec = 200000000\n"), 1u);
    RunUntil([] { return g_calls.size() >= 2; });
    EXPECT_GE(MsSince(t0), 400); // the kernel never fires a timer early
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerState, 1);
}

// The result is elapsed time: after at least 300 ms of sleep it is at least 300 and it grows;
// the remaining time (the kernel's figure) would shrink instead. The upper bound leaves two
// seconds of scheduling slack and only rules out a wrong unit.
TEST_F(Timer, TimerGetReportsMillisecondsElapsedInThePeriod) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 5000, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    SleepTicks(30);
    int v1 = ComTimerGet(&rec, h);
    SleepTicks(10);
    int v2 = ComTimerGet(&rec, h);
    EXPECT_GE(v1, 300);
    EXPECT_LT(v1, 2300);
    EXPECT_GE(v2, v1 + 100);
    EXPECT_EQ(Count(LOG_DEBUG, "success of timer_gettime\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "itval.it_value.tv_sec = 4\n") + Count(LOG_DEBUG, "itval.it_value.tv_sec = 3\n"), 2u);

    // Expired but not yet served: the full period.
    int h2 = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 30, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h2), 0);
    SleepTicks(10);
    EXPECT_EQ(ComTimerGet(&rec, h2), 30);
}

TEST_F(Timer, TimerHandlerReturningTwoEndsThePassWithTwo) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 20, TimerProc);
    g_result[0] = 2;
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(RunUntil([] { return !g_calls.empty(); }), 2);
    EXPECT_EQ(Count(LOG_INFO, "timerSelectProc() retuen code = 2\n"), 1u);
}

TEST_F(Timer, UpTimerStartWithNewPeriodRunsACyclicTimerOnce) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 600000, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    ASSERT_EQ(ComTimeUpTimerStart(&rec, h, 30), 0);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerMsec, 30);
    EXPECT_EQ(rec.TimerCntInfo[0].itval.it_interval.tv_nsec, 0);
    RunUntil([] { return !g_calls.empty(); });
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].state, 1); // only one-shot timers are marked stopped
    SleepTicks(15);
    EXPECT_EQ(Pending(rec.iTimerSelectDes[0]), 0);
}

TEST_F(Timer, ZeroPeriodCountsAsRunningButNeverExpires) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 0, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(ComTimerState(&rec), 1);
    EXPECT_EQ(ComTimerGet(&rec, h), 0);
    SleepTicks(5);
    EXPECT_EQ(Pending(rec.iTimerSelectDes[0]), 0);
}

// Regression: the kernel timer of an expired one-shot timer outlived ComTimerDelete.
TEST_F(Timer, DeleteLeavesNoKernelTimerAndNoPipe) {
    int h0 = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 20, TimerProc);
    int h1 = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 600000, TimerProc);
    ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
    int h3 = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
    ASSERT_EQ(ComTimerStart(&rec, h0), 0);
    ASSERT_EQ(ComTimerStart(&rec, h1), 0);
    ASSERT_EQ(ComTimerStart(&rec, h3), 0);
    ASSERT_EQ(ComTimerCancel(&rec, h3), 0);
    RunUntil([] { return !g_calls.empty(); }); // slot 0 expires and is served
    ASSERT_EQ(rec.TimerCntInfo[0].iTimerState, 0);
    EXPECT_EQ(NewKernelTimers(), 2u);

    std::vector<int> fds;
    int top = 0;
    for (int k = 0; k < 4; ++k) {
        fds.push_back(rec.TimerCntInfo[k].iTimerSelectDes[0]);
        fds.push_back(rec.TimerCntInfo[k].iTimerSelectDes[1]);
        top = std::max(top, rec.TimerCntInfo[k].iTimerSelectDes[0]);
    }
    std::vector<int> readEnds(rec.iTimerSelectDes, rec.iTimerSelectDes + 4);

    EXPECT_EQ(ComTimerDelete(&rec), 0);
    EXPECT_EQ(NewKernelTimers(), 0u);
    for (int fd : fds) EXPECT_FALSE(IsOpen(fd)) << fd;
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(Count(LOG_DEBUG, F("pipeReadClose success(iTimerSelectDes=%d)\n", readEnds[static_cast<size_t>(k)])), 1u);
        EXPECT_FALSE(FD_ISSET(readEnds[static_cast<size_t>(k)], &rec.fdsSelect));
        EXPECT_EQ(rec.iTimerSelectDes[k], readEnds[static_cast<size_t>(k)]); // left for ComSelectFdzero
    }
    EXPECT_EQ(rec.iMaxfd, top);
    EXPECT_EQ(rec.iTimerCount, 0);
    TimerCntInfo zero[KIV_TIMER_MAX];
    std::memset(zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(rec.TimerCntInfo, zero, sizeof zero), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComTimerDelete()\n"), 1u);

    // Slot 0 is free again.
    int again = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerSelectDes[1], again);
}

TEST_F(Timer, DeleteWithNoTimersRecomputesMax) {
    rec.iMaxfd = 77;
    rec.iaSelectDes[0] = 5;
    EXPECT_EQ(ComTimerDelete(&rec), 0);
    EXPECT_EQ(rec.iMaxfd, 5);
    rec.iaSelectDes[0] = 0;
}

// Regression: when arming failed right after the kernel timer was made, that timer was left
// behind and the next start made a second one.
TEST_F(Timer, FailedArmDeletesTheKernelTimerItJustMade) {
    int h = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 100, TimerProc);
    rec.TimerCntInfo[0].iTimerMsec = -5; // a damaged record: the kernel refuses the setting
    EXPECT_EQ(ComTimerStart(&rec, h), -1);
    EXPECT_EQ(Count(LOG_INFO, F("error of timer_settime(errno=%d)\n", EINVAL)), 1u);
    EXPECT_EQ(NewKernelTimers(), 0u);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerCreate, 1);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerState, 0);
    rec.TimerCntInfo[0].iTimerMsec = 600000;
    ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(NewKernelTimers(), 1u);
}

// The signal side writes one byte for a value of a timer in use, and nothing for any other.
TEST_F(Timer, SignalSideWritesOnlyForTimerValuesInUse) {
    ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, TimerProc);
    rec.TimerCntInfo[0].iTimerSigId = 100; // as ComTimerStart sets it
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_UNBLOCK, &usr1, nullptr); // delivered here, before the calls return
    raise(SIGUSR1);                           // plain kill: no timer value
    sigqueue(getpid(), SIGUSR1, sigval{.sival_int = 101});
    sigqueue(getpid(), SIGUSR1, sigval{.sival_int = 100});
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    pollfd p{rec.iTimerSelectDes[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    std::this_thread::sleep_for(50ms); // give any wrong extra byte time to arrive
    char buf[8];
    EXPECT_EQ(read(rec.iTimerSelectDes[0], buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], '0');
    EXPECT_EQ(rec.iSigState, 1);
}

// Lower bounds: the kernel never ends a sleep early. Upper bounds leave 1.5 s of scheduling
// slack; they rule out a wrong unit (twice the 1.5 s sleep, or whole seconds for ticks).
TEST_F(Timer, SleepTicksCountsTensOfMillisecondsOrSecondFractions) {
    constexpr long kSlackMs = 1500;
    auto t0 = Clock::now();
    SleepTicks(5);
    EXPECT_GE(MsSince(t0), 50);
    EXPECT_LT(MsSince(t0), 50 + kSlackMs);
    EXPECT_EQ(Count(LOG_DEBUG, "usleep = 50000\n"), 1u);

    t0 = Clock::now();
    SleepTicks(0x80000000u | 128);
    EXPECT_GE(MsSince(t0), 500);
    EXPECT_LT(MsSince(t0), 500 + kSlackMs);
    EXPECT_EQ(Count(LOG_DEBUG, "usleep = 0\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "usleep = 0.500000\n"), 1u);

    t0 = Clock::now();
    SleepTicks(0x80000000u | 384);
    EXPECT_GE(MsSince(t0), 1500);
    EXPECT_LT(MsSince(t0), 1500 + kSlackMs);
    EXPECT_EQ(Count(LOG_DEBUG, "usleep = 1\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "usleep = 0.500000\n"), 2u);
}

volatile sig_atomic_t g_caught = 0;
void CatchSignal(int) { g_caught = 1; }

// Regression: 10 ms ticks past the 32-bit microsecond range wrapped to a short sleep. A signal
// cuts the sleep short so that the logged length can be read.
TEST_F(Timer, SleepTicksPastTheRangeClampsInsteadOfWrapping) {
    struct sigaction sa {}, old {};
    sa.sa_handler = CatchSignal;
    sigaction(SIGINT, &sa, &old);
    sigset_t intr;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    sigprocmask(SIG_UNBLOCK, &intr, nullptr);
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    std::atomic<bool> woke{false};
    std::thread poke([tid, &woke] {
        for (int i = 0; i < 100 && !woke; ++i) {
            std::this_thread::sleep_for(100ms);
            syscall(SYS_tgkill, getpid(), tid, SIGINT);
        }
    });
    SleepTicks(500000); // 5 000 000 000 us: wrapped, 705 032 704
    woke = true;
    poke.join();
    sigaction(SIGINT, &old, nullptr);
    EXPECT_EQ(Count(LOG_DEBUG, "usleep = 705032704\n"), 0u);
    EXPECT_EQ(Count(LOG_DEBUG, F("usleep = %d\n", static_cast<int>(UINT32_MAX))), 1u);
}

} // namespace
