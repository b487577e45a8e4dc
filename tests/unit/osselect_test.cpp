// Dispatch loop on real pipes and real signals. Timer pipes are fed here by writing into the
// timer handle, as the signal side does; real expiries are exercised in ostimer_test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kivtest.h"
#include "os/osselect.h"
#include "os/ostimer.h"

using namespace std::chrono_literals;
using kivtest::F;
using kivtest::Syslog;

namespace {

struct Call {
    char kind; // 'd' descriptor handler, 't' timer handler
    int des;   // iSelectDes seen by the handler
};
std::vector<Call> g_calls;
std::map<int, int> g_result;    // handler result by descriptor; 0 when absent
void (*g_inHandler)(ProcInfo *) = nullptr;

int DesProc(ProcInfo *p) {
    char c;
    (void)read(p->iSelectDes, &c, 1);
    g_calls.push_back({'d', p->iSelectDes});
    if (g_inHandler) g_inHandler(p);
    return g_result[p->iSelectDes];
}

int TimerProc(ProcInfo *p) {
    g_calls.push_back({'t', p->iSelectDes});
    return g_result[p->iSelectDes];
}

volatile sig_atomic_t g_caught = 0;
void CatchSignal(int) { g_caught = g_caught + 1; }

size_t Count(int pri, const std::string &text) {
    Syslog().Sync();
    return Syslog().Count(pri, text);
}

// Position of the first line of this priority and text, or -1.
long At(int pri, const std::string &text) {
    Syslog().Sync();
    auto lines = Syslog().Lines();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].pri == pri && lines[i].text == text) return static_cast<long>(i);
    return -1;
}

int Pending(int fd) {
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}


// Blocked-signal mask of one thread, as the kernel reports it.
unsigned long long SigBlk(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    return 0;
}
constexpr unsigned long long Bit(int sig) { return 1ULL << (sig - 1); }

// Whether the process can hold this signal blocked at all. User-mode emulation (qemu-ppc) offers
// fewer real-time signals than the C library names: its top two do not exist there.
bool Blockable(int sig) {
    sigset_t one, old, now;
    sigemptyset(&one);
    sigaddset(&one, sig);
    sigprocmask(SIG_BLOCK, &one, &old);
    sigprocmask(SIG_SETMASK, &old, &now);
    return sigismember(&now, sig) == 1;
}

class Select : public testing::Test {
protected:
    ProcInfo rec{};
    struct Pipe {
        int r, w;
    };
    std::vector<Pipe> pipes;
    sigset_t savedMask{};

    void SetUp() override {
        sigprocmask(SIG_SETMASK, nullptr, &savedMask);
        pipes.reserve(16); // NewPipe hands out references into it
        g_calls.clear();
        g_result.clear();
        g_inHandler = nullptr;
        g_caught = 0;
        Syslog().Clear();
    }
    void TearDown() override {
        if (rec.iTimerCount > 0) ComTimerDelete(&rec);
        for (auto &p : pipes) {
            close(p.r);
            close(p.w);
        }
        sigprocmask(SIG_SETMASK, &savedMask, nullptr);
    }
    Pipe &NewPipe() {
        int fd[2];
        EXPECT_EQ(pipe(fd), 0);
        pipes.push_back({fd[0], fd[1]});
        return pipes.back();
    }
    static void Ready(int w) { ASSERT_EQ(write(w, "A", 1), 1); }
    // Fills the registration table from slot 0 and enters it.
    void Register(std::initializer_list<int> fds) {
        int i = 0;
        for (int fd : fds) {
            rec.iaSelectDes[i] = fd;
            rec.pSelectProc[i++] = DesProc;
        }
        ComSelectInit(&rec);
    }
    // A running cyclic timer whose period is far beyond the test; bytes are fed by hand.
    int LongTimer() {
        int h = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 600000, TimerProc);
        EXPECT_GT(h, 0);
        EXPECT_EQ(ComTimerStart(&rec, h), 0);
        return h;
    }
};

TEST_F(Select, EmptyRecordReturnsZeroAtOnceWithoutWaiting) {
    EXPECT_EQ(ComSelect(&rec), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "start of ComSelect()\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "empty of iSelectDes\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "start of select\n"), 0u);
}

TEST_F(Select, ReadyDescriptorIsServedWithItsDescriptorSet) {
    Pipe &a = NewPipe();
    Pipe &b = NewPipe();
    Register({a.r, b.r});
    EXPECT_EQ(rec.iMaxfd, b.r);
    EXPECT_EQ(Count(LOG_DEBUG, F("pProcInfo->iMaxfd = %d\n", b.r)), 1u);
    Ready(b.w);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].des, b.r);
    EXPECT_EQ(rec.iSelectDes, b.r);
    EXPECT_EQ(Count(LOG_DEBUG, "iRtn = 1, errno = 0\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, F("read data ok pProcInfo->iSelectDes=%d\n", b.r)), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "selectProc(1) \n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "non read data\n"), 1u);
}

TEST_F(Select, DescriptorHandlerResultsEndThePass) {
    Pipe &a = NewPipe();
    Pipe &b = NewPipe();
    Register({a.r, b.r});
    Ready(a.w);
    Ready(b.w);
    g_result[a.r] = -1;
    EXPECT_EQ(ComSelect(&rec), -1);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "error of selectProc()\n"), 1u);

    // b is still readable: with a answering 1 once more, b waits for the following pass.
    Ready(a.w);
    g_result[a.r] = 1;
    EXPECT_EQ(ComSelect(&rec), 1);
    EXPECT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "ComSelect() retuen code = 1\n"), 1u);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[2].des, b.r);
}

TEST_F(Select, ZeroInSlotHidesLaterSlotsButFdMaxGetCountsThem) {
    Pipe &a = NewPipe();
    Pipe &b = NewPipe();
    rec.iaSelectDes[0] = a.r;
    rec.pSelectProc[0] = DesProc;
    rec.iaSelectDes[2] = b.r;
    rec.pSelectProc[2] = DesProc;
    ComSelectInit(&rec);
    EXPECT_FALSE(FD_ISSET(b.r, &rec.fdsSelect));
    EXPECT_EQ(rec.iMaxfd, a.r);
    Ready(a.w);
    Ready(b.w);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].des, a.r);
    ComSelectFdMaxGet(&rec);
    EXPECT_EQ(rec.iMaxfd, b.r);
}

TEST_F(Select, TenRegistrationsEndWithEndOfComSelect) {
    for (int i = 0; i < 10; ++i) NewPipe();
    for (int i = 0; i < 10; ++i) {
        rec.iaSelectDes[i] = pipes[static_cast<size_t>(i)].r;
        rec.pSelectProc[i] = DesProc;
    }
    ComSelectInit(&rec);
    Ready(pipes[9].w);
    EXPECT_EQ(ComSelect(&rec), 0);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComSelect()\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "non read data\n"), 0u);
}

TEST_F(Select, EveryBlockableSignalIsBlockedOutsideTheWait) {
    Pipe &a = NewPipe();
    Register({a.r});
    ComSelectInit(&rec); // a second run leaves the same masks
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    for (int sig = 1; sig <= 31; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        EXPECT_TRUE(sigismember(&now, sig)) << sig;
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        if (!Blockable(sig)) continue;
        EXPECT_TRUE(sigismember(&now, sig)) << sig;
    }
    EXPECT_EQ(Count(LOG_DEBUG, "start of ComSelectInit()\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComSelectInit()\n"), 2u);
}

// While the loop waits only the seven signals get through: others (SIGUSR2, SIGRTMIN) stay
// pending without ending the wait; SIGTERM ends it with 3. Real-time signals are checked by
// sending one: under emulation the kernel's mask shows them at the emulator's own numbers.
TEST_F(Select, WaitLetsThroughOnlyTheSevenSignals) {
    struct sigaction sa {}, old {};
    sa.sa_handler = CatchSignal;
    sigaction(SIGTERM, &sa, &old);
    Pipe &a = NewPipe();
    Register({a.r});
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    std::atomic<bool> returned{false};
    unsigned long long waitMask = 0;
    bool stillWaiting = false;
    std::thread helper([&] {
        // The wait mask is installed only inside pselect, so SIGUSR1 unblocked means "waiting".
        for (int i = 0; i < 5000 && (SigBlk(tid) & Bit(SIGUSR1)) != 0; ++i) std::this_thread::sleep_for(1ms);
        waitMask = SigBlk(tid);
        syscall(SYS_tgkill, getpid(), tid, SIGUSR2);
        syscall(SYS_tgkill, getpid(), tid, SIGRTMIN);
        std::this_thread::sleep_for(100ms);
        stillWaiting = !returned.load();
        syscall(SYS_tgkill, getpid(), tid, SIGTERM);
    });
    int r = ComSelect(&rec);
    returned = true;
    helper.join();
    EXPECT_EQ(r, 3);
    EXPECT_EQ(rec.iErrno, EINTR);
    EXPECT_TRUE(stillWaiting);
    EXPECT_EQ(g_caught, 1);
    EXPECT_TRUE(g_calls.empty());
    for (int sig : {1, 2, 9, 10, 15, 17, 19}) EXPECT_EQ(waitMask & Bit(sig), 0u) << sig;
    for (int sig : {3, 12, 14, 28}) EXPECT_NE(waitMask & Bit(sig), 0u) << sig;

    sigset_t pend;
    sigpending(&pend);
    EXPECT_TRUE(sigismember(&pend, SIGUSR2));
    EXPECT_TRUE(sigismember(&pend, SIGRTMIN));
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGUSR2);
    sigaddset(&held, SIGRTMIN);
    timespec zero{};
    EXPECT_EQ(sigtimedwait(&held, nullptr, &zero), SIGUSR2);
    EXPECT_EQ(sigtimedwait(&held, nullptr, &zero), SIGRTMIN);
    // Outside the wait the full mask is back.
    EXPECT_NE(SigBlk(tid) & Bit(SIGUSR1), 0u);
    sigaction(SIGTERM, &old, nullptr);
}

TEST_F(Select, PendingSignalInterruptsNextWaitWithoutCallingHandlers) {
    struct sigaction sa {}, old {};
    sa.sa_handler = CatchSignal;
    sigaction(SIGINT, &sa, &old);
    Pipe &a = NewPipe();
    Register({a.r});
    raise(SIGINT); // blocked: stays pending until the wait lets it through
    EXPECT_EQ(g_caught, 0);
    EXPECT_EQ(ComSelect(&rec), 3);
    EXPECT_EQ(g_caught, 1);
    EXPECT_EQ(rec.iErrno, 4);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(Count(LOG_DEBUG, "iRtn = -1, errno = 4\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "read error errno=4\n"), 1u);
    Ready(a.w);
    EXPECT_EQ(ComSelect(&rec), 0);
    EXPECT_EQ(g_calls.size(), 1u);
    sigaction(SIGINT, &old, nullptr);
}

TEST_F(Select, ClosedRegisteredDescriptorFailsThePassWithItsErrno) {
    Pipe p = NewPipe();
    pipes.pop_back();
    close(p.w);
    Register({p.r});
    close(p.r);
    EXPECT_EQ(ComSelect(&rec), -1);
    EXPECT_EQ(rec.iErrno, EBADF);
    EXPECT_EQ(Count(LOG_DEBUG, F("read error errno=%d\n", EBADF)), 1u);
}

TEST_F(Select, TimersAreServedBeforeDescriptorsInSlotOrder) {
    Pipe &a = NewPipe();
    Register({a.r});
    int h0 = LongTimer();
    int h1 = LongTimer();
    Ready(a.w);
    Ready(h1);
    Ready(h0);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].kind, 't');
    EXPECT_EQ(g_calls[0].des, rec.iTimerSelectDes[0]);
    EXPECT_EQ(g_calls[1].des, rec.iTimerSelectDes[1]);
    EXPECT_EQ(g_calls[2].kind, 'd');
    EXPECT_LT(At(LOG_DEBUG, "timerSelectProc(0) \n"), At(LOG_DEBUG, "timerSelectProc(1) \n"));
    EXPECT_LT(At(LOG_DEBUG, "timerSelectProc(1) \n"), At(LOG_DEBUG, "selectProc(0) \n"));
    EXPECT_EQ(Count(LOG_DEBUG, "cReadBuff = A\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, F("Des check = %d\n", rec.iTimerSelectDes[0])), 1u);
    EXPECT_EQ(Pending(rec.iTimerSelectDes[0]), 0);
}

TEST_F(Select, TimerHandlerMinusOneIsOnlyLoggedOtherValuesEndThePass) {
    Pipe &a = NewPipe();
    Register({a.r});
    int h0 = LongTimer();
    int h1 = LongTimer();
    g_result[rec.iTimerSelectDes[0]] = -1;
    Ready(h0);
    Ready(h1);
    Ready(a.w);
    EXPECT_EQ(ComSelect(&rec), 0);
    EXPECT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(Count(LOG_DEBUG, "error of timerSelectProc()\n"), 1u);

    g_calls.clear();
    g_result[rec.iTimerSelectDes[0]] = 2;
    Ready(h0);
    Ready(h1);
    Ready(a.w);
    EXPECT_EQ(ComSelect(&rec), 2);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(Count(LOG_INFO, "timerSelectProc() retuen code = 2\n"), 1u);
}

TEST_F(Select, OnlyTimerPipesReadySkipsTheDescriptorStage) {
    Pipe &a = NewPipe();
    Register({a.r});
    Ready(LongTimer());
    EXPECT_EQ(ComSelect(&rec), 0);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "(2)non read data(kernel)\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "non read data\n"), 0u);
}

TEST_F(Select, CancelledTimerByteIsServedWhileAnotherTimerRuns) {
    int h0 = LongTimer();
    int h1 = LongTimer();
    Ready(h1);
    ASSERT_EQ(ComTimerCancel(&rec, h1), 0);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].des, rec.iTimerSelectDes[1]);
    (void)h0;
}

// Regression: a byte left in the pipe of a stopped timer while no timer runs kept every
// following wait returning at once, a busy loop.
TEST_F(Select, StoppedTimerBytesAreDrainedWhenNoTimerRuns) {
    Pipe &a = NewPipe();
    Register({a.r});
    int h0 = LongTimer();
    int h1 = LongTimer();
    Ready(h1);
    Ready(h1);
    ASSERT_EQ(ComTimerCancel(&rec, h1), 0);
    // Slot 0 fires as a one-shot: once served no timer runs, and slot 1's bytes are dropped.
    rec.TimerCntInfo[0].iTimerMode = KIV_TIMER_MODE_ONESHOT;
    Ready(h0);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].des, rec.iTimerSelectDes[0]);
    EXPECT_EQ(Count(LOG_DEBUG, "all timer stop\n"), 1u);
    EXPECT_EQ(Pending(rec.iTimerSelectDes[1]), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "(2)non read data(kernel)\n"), 1u);

    // The next wait sleeps until the registered descriptor is written.
    std::atomic<bool> written{false};
    std::thread writer([&] {
        std::this_thread::sleep_for(100ms);
        written = true;
        Ready(a.w);
    });
    EXPECT_EQ(ComSelect(&rec), 0);
    writer.join();
    EXPECT_TRUE(written.load());
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].kind, 'd');
}

// Regression: a registered descriptor outside the set capacity was entered with FD_SET,
// writing past fdsSelect into the working set.
TEST_F(Select, DescriptorOutsideTheSetsIsRefused) {
    Pipe &a = NewPipe();
    Pipe &b = NewPipe();
    Register({a.r, FD_SETSIZE + 6, -1, b.r});
    fd_set none;
    FD_ZERO(&none);
    EXPECT_EQ(std::memcmp(&rec.fdsReady, &none, sizeof none), 0);
    EXPECT_EQ(rec.iMaxfd, b.r);
    EXPECT_TRUE(FD_ISSET(b.r, &rec.fdsSelect));
    EXPECT_EQ(Count(LOG_INFO, F("error of descriptor range(%d)\n", FD_SETSIZE + 6)), 1u);
    EXPECT_EQ(Count(LOG_INFO, "error of descriptor range(-1)\n"), 1u);
    ComSelectFdMaxGet(&rec);
    EXPECT_EQ(rec.iMaxfd, b.r);
    Ready(b.w);
    EXPECT_EQ(ComSelect(&rec), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].des, b.r);
    ComSelectUpdate(&rec, 0);
    EXPECT_EQ(std::memcmp(&rec.fdsReady, &none, sizeof none), 0);
}

TEST_F(Select, UpdateModeOneEntersRegistrationsAndRecomputesMax) {
    Pipe &a = NewPipe();
    rec.iMaxfd = 900;
    rec.iaSelectDes[0] = a.r;
    rec.pSelectProc[0] = DesProc;
    ComSelectUpdate(&rec, 1);
    EXPECT_TRUE(FD_ISSET(a.r, &rec.fdsSelect));
    EXPECT_EQ(rec.iMaxfd, a.r);
    EXPECT_LT(At(LOG_DEBUG, "FD_SET ok\n"), At(LOG_DEBUG, "start of ComSelectFdMaxGet()\n"));
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComSelectUpdate()\n"), 1u);
}

// A handler that clears the registrations keeps the rest of the pass from serving them.
TEST_F(Select, UpdateModeZeroClearsBothSetsAndKeepsAShortTable) {
    Pipe &a = NewPipe();
    Pipe &b = NewPipe();
    Register({a.r, b.r});
    Ready(a.w);
    Ready(b.w);
    g_inHandler = [](ProcInfo *p) { ComSelectUpdate(p, 0); };
    EXPECT_EQ(ComSelect(&rec), 0);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_FALSE(FD_ISSET(a.r, &rec.fdsSelect));
    EXPECT_FALSE(FD_ISSET(b.r, &rec.fdsSelect));
    EXPECT_EQ(rec.iaSelectDes[1], b.r);
    EXPECT_EQ(rec.iMaxfd, b.r);
    EXPECT_EQ(Count(LOG_DEBUG, "end of allClear\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComSelectUpdate()\n"), 0u);
}

TEST_F(Select, UpdateModeZeroWithFullTableEmptiesItAndLowersMax) {
    for (int i = 0; i < 10; ++i) {
        rec.iaSelectDes[i] = NewPipe().r;
        rec.pSelectProc[i] = DesProc;
    }
    ComSelectInit(&rec);
    int top = rec.iMaxfd;
    ComSelectUpdate(&rec, 0);
    for (int fd : rec.iaSelectDes) EXPECT_EQ(fd, 0);
    for (auto &p : pipes) EXPECT_FALSE(FD_ISSET(p.r, &rec.fdsSelect));
    EXPECT_EQ(rec.iMaxfd, 0);
    EXPECT_NE(top, 0);
    EXPECT_LT(At(LOG_DEBUG, "FD_CLR ok\n"), At(LOG_DEBUG, "end of ComSelectUpdate()\n"));
    EXPECT_EQ(Count(LOG_DEBUG, "end of allClear\n"), 0u);
}

TEST_F(Select, FdzeroEmptiesSetsListsAndMax) {
    Pipe &a = NewPipe();
    Register({a.r});
    rec.iTimerSelectDes[3] = 7;
    FD_SET(a.r, &rec.fdsReady);
    ComSelectFdzero(&rec);
    EXPECT_FALSE(FD_ISSET(a.r, &rec.fdsSelect));
    EXPECT_FALSE(FD_ISSET(a.r, &rec.fdsReady));
    EXPECT_EQ(rec.iaSelectDes[0], 0);
    EXPECT_EQ(rec.iTimerSelectDes[3], 0);
    EXPECT_EQ(rec.iMaxfd, 0);
    EXPECT_EQ(rec.pSelectProc[0], DesProc);
    EXPECT_LT(At(LOG_DEBUG, "FD_ZERO ok\n"), At(LOG_DEBUG, "end of ComSelectFdzero()\n"));
}

TEST_F(Select, FdMaxGetScansBothTablesPastGaps) {
    rec.iMaxfd = 500;
    rec.iTimerSelectDes[4] = 40;
    rec.iaSelectDes[7] = 30;
    ComSelectFdMaxGet(&rec);
    EXPECT_EQ(rec.iMaxfd, 40);
    EXPECT_EQ(Count(LOG_DEBUG, "pProcInfo->iMaxfd = 40\n"), 1u);
}

} // namespace
