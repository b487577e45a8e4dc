// SPDX-License-Identifier: MIT
// The dispatch loop and its timers on real pipes, real signals and real kernel timers (counted in
// /proc/self/timers). Where the expiry itself is not the subject, timer pipes are fed by hand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "kivtest.h"
#include "os/osselect.h"
#include "os/ostimer.h"

using namespace std::chrono_literals;
using kivtest::F;
using kivtest::Notices;
using kivtest::Pending;
using Strings = kivtest::Texts;
using Values = std::vector<unsigned long>;

namespace {

std::string g_calls;                 // handlers called, in order: "d1 t0=1 " (a timer with its state)
std::map<int, std::string> g_name;   // test name of each read end
std::map<std::string, int> g_result; // handler result by name; 0 when absent
void (*g_inHandler)(ProcInfo *) = nullptr;
const ProcInfo kZero{}; // static: its padding is zero too

// The handler of every pipe: reads a descriptor's byte (the loop reads a timer's), notes the call.
int Handler(ProcInfo *p) {
    const std::string &name = g_name[p->iSelectDes];
    const int *slot = std::find(p->iTimerSelectDes, p->iTimerSelectDes + KIV_TIMER_MAX, p->iSelectDes);
    const auto k = slot - p->iTimerSelectDes;
    char c;
    if (name[0] == 'd') (void)read(p->iSelectDes, &c, 1);
    g_calls += name[0] == 'd' ? name + " " : F("%s=%d ", name.c_str(), p->TimerCntInfo[k].iTimerState);
    if (g_inHandler != nullptr) g_inHandler(p);
    return g_result[name];
}

// One pass of the loop: its result and the handlers it called, as "0: d1 t0=1 ".
std::string OnePass(ProcInfo *rec) {
    g_calls.clear();
    const int r = ComSelect(rec);
    return F("%d: %s", r, g_calls.c_str());
}

bool Empty(const fd_set &s) { return std::memcmp(&s, &kZero.fdsSelect, sizeof s) == 0; }
long long Ms(const timespec &t) { return t.tv_sec * 1000LL + t.tv_nsec / 1000000; }
long long MsSince(std::chrono::steady_clock::time_point t0) { return (std::chrono::steady_clock::now() - t0) / 1ms; }

// Signal values of the process's kernel timers ("signal: 10/<value>" lines), in order.
Values KernelTimers() {
    std::istringstream in(kivsim::FileText("/proc/self/timers"));
    Values v;
    for (std::string l; std::getline(in, l);)
        if (l.rfind("signal: 10/", 0) == 0) v.push_back(std::stoul(l.substr(11), nullptr, 16));
    std::sort(v.begin(), v.end());
    return v;
}

// Runs op with the soft limit of a resource set to value.
int Limited(int resource, rlim_t value, const std::function<int()> &op) {
    rlimit old{}, now{};
    getrlimit(resource, &old);
    now = old;
    now.rlim_cur = value;
    EXPECT_EQ(setrlimit(resource, &now), 0);
    const int r = op();
    setrlimit(resource, &old);
    return r;
}

// Lets the timer signal through to this thread outside the wait too (how: SIG_UNBLOCK, SIG_BLOCK).
void Usr1(int how) {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    pthread_sigmask(how, &s, nullptr);
}

class Loop : public testing::Test {
  protected:
    ProcInfo rec{};
    sigset_t savedMask{};
    struct sigaction savedUsr1 {};
    std::vector<int> ends;                        // pipes the test made
    std::map<std::string, int> writeEnd, readEnd; // by test name

    void SetUp() override {
        sigprocmask(SIG_SETMASK, nullptr, &savedMask);
        sigaction(SIGUSR1, nullptr, &savedUsr1);
        g_calls.clear();
        g_name.clear();
        g_result.clear();
        g_inHandler = nullptr;
        pProcInfoCom = &rec;
        ASSERT_EQ(ComTimerSigInit(), 0);
        ComSelectInit(&rec); // as a module does: every signal blocked outside the wait
        kivtest::ClearLog();
    }
    void TearDown() override {
        if (rec.iTimerCount > 0) ComTimerDelete(&rec);
        pProcInfoCom = nullptr; // a late expiry is ignored by the signal side from here on
        for (int fd : ends) close(fd);
        sigprocmask(SIG_SETMASK, &savedMask, nullptr);
        sigaction(SIGUSR1, &savedUsr1, nullptr);
    }
    void Name(const std::string &name, int r, int w) {
        g_name[r] = name;
        readEnd[name] = r;
        writeEnd[name] = w;
    }
    // A pipe registered in this slot and entered, named "d<slot>".
    void Desc(int slot) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        ends.insert(ends.end(), p, p + 2);
        Name(F("d%d", slot), p[0], p[1]);
        rec.iaSelectDes[slot] = p[0];
        rec.pSelectProc[slot] = Handler;
        ComSelectInit(&rec);
    }
    // A timer named "t<slot>", started unless told otherwise; returns its handle.
    int Timer(int mode, int msec, bool start = true) {
        const int k = rec.iTimerCount, h = ComTimerSet(&rec, mode, msec, Handler);
        Name(F("t%d", k), rec.iTimerSelectDes[k], h);
        EXPECT_EQ(start ? ComTimerStart(&rec, h) : 0, 0);
        return h;
    }
    void Ready(const std::string &names) {
        std::istringstream in(names);
        for (std::string n; in >> n;) ASSERT_EQ(write(writeEnd[n], "A", 1), 1);
    }
    // The setting of a slot's kernel timer as the kernel holds it.
    itimerspec Kernel(int k) {
        itimerspec c{};
        timer_gettime(rec.TimerCntInfo[k].timerId, &c);
        return c;
    }
    // Passes of the loop (an expiry may also interrupt the wait) until done() holds; a watchdog
    // pipe in slot 0 ends the run after 5 s if the awaited expiries do not come.
    void RunUntil(const std::function<bool()> &done) {
        Desc(0);
        g_result["d0"] = 99;
        std::promise<void> stop;
        std::thread dog([w = writeEnd["d0"], f = stop.get_future()] {
            if (f.wait_for(5s) == std::future_status::timeout) (void)write(w, "w", 1);
        });
        int r = 0;
        while (r != 99 && !done()) r = ComSelect(&rec);
        stop.set_value();
        dog.join();
        ComSelectUpdate(&rec, 0);
        rec.iaSelectDes[0] = 0;
        EXPECT_NE(r, 99) << "no expiry within 5 s";
    }
};

// One pass over two registered pipes and two running timers (their bytes fed by hand).
struct PassRow {
    const char *ready;                  // bytes written before the pass
    std::map<std::string, int> results; // handler results
    int expect;                         // the pass's result
    const char *calls;                  // handlers called, in order
    Strings info;                       // lines above the trace priority
    const char *left;                   // pipes still holding their byte after the pass
    bool cancelT1 = false, oneShotT0 = false;
};
class Pass : public Loop, public testing::WithParamInterface<PassRow> {};

TEST_P(Pass, ServesTimersThenDescriptorsAndEndsAsTheHandlersSay) {
    const PassRow &row = GetParam();
    for (int slot : {0, 1}) Desc(slot);
    Timer(KIV_TIMER_MODE_CYCLIC, 600000);
    Timer(KIV_TIMER_MODE_CYCLIC, 600000);
    if (row.oneShotT0) rec.TimerCntInfo[0].iTimerMode = KIV_TIMER_MODE_ONESHOT;
    g_result = row.results;
    Ready(row.ready);
    ASSERT_EQ(row.cancelT1 ? ComTimerCancel(&rec, writeEnd["t1"]) : 0, 0);
    kivtest::ClearLog();
    EXPECT_EQ(OnePass(&rec), F("%d: %s", row.expect, row.calls));
    EXPECT_EQ(Notices(), row.info);
    for (const auto &[name, fd] : readEnd)
        EXPECT_EQ(Pending(fd), F(" %s ", row.left).find(" " + name + " ") != std::string::npos) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Pass,
    testing::Values(PassRow{"d1", {}, 0, "d1 ", {}, ""}, PassRow{"d0 d1", {{"d0", -1}}, -1, "d0 ", {}, "d1"},
                    PassRow{"d0 d1", {{"d0", 1}}, 1, "d0 ", {}, "d1"},
                    PassRow{"d0 t1 t0", {}, 0, "t0=1 t1=1 d0 ", {}, ""},
                    PassRow{"t0 t1 d0", {{"t0", -1}}, 0, "t0=1 t1=1 d0 ", {}, ""},
                    PassRow{"t0 t1 d0", {{"t0", 2}}, 2, "t0=1 ", {"timerSelectProc() retuen code = 2\n"}, "t1 d0"},
                    // A stopped timer's byte is still served while another timer runs...
                    PassRow{"t1", {}, 0, "t1=0 ", {}, "", true},
                    // ...and drained unserved once none runs: left, it would end every later wait at once.
                    PassRow{"t1 t1 t0", {}, 0, "t0=0 ", {}, "", true, true}));

// The registration table: entered up to its first empty slot, every slot counted for the maximum,
// descriptors outside the sets refused (a regression: FD_SET wrote past fdsSelect), cleared whole
// or by a handler in the middle of a pass.
TEST_F(Loop, RegistrationTableAndDescriptorSets) {
    EXPECT_EQ(OnePass(&rec), "0: "); // nothing to wait for: no wait
    for (int slot : {0, 2}) Desc(slot);
    Ready("d0 d2");
    kivtest::ClearLog();
    EXPECT_EQ(OnePass(&rec), "0: d0 ");
    EXPECT_EQ(rec.iMaxfd, readEnd["d0"]);

    rec.iaSelectDes[1] = FD_SETSIZE + 6;
    rec.iaSelectDes[3] = -1;
    FD_ZERO(&rec.fdsReady);
    Desc(4);
    ComSelectFdMaxGet(&rec);
    EXPECT_EQ(Notices(),
              (Strings{F("error of descriptor range(%d)\n", FD_SETSIZE + 6), "error of descriptor range(-1)\n"}));
    EXPECT_TRUE(Empty(rec.fdsReady));
    EXPECT_EQ(rec.iMaxfd, readEnd["d4"]);
    Ready("d4");
    EXPECT_EQ(OnePass(&rec), "0: d2 d4 ");
    Ready("d0 d2");
    g_inHandler = [](ProcInfo *p) { ComSelectUpdate(p, 0); };
    EXPECT_EQ(OnePass(&rec), "0: d0 "); // cleared by the first handler: the rest of the pass serves none of it
    EXPECT_FALSE(FD_ISSET(readEnd["d2"], &rec.fdsSelect) || FD_ISSET(readEnd["d2"], &rec.fdsReady));
    EXPECT_EQ(rec.iaSelectDes[2], readEnd["d2"]); // a short table is kept

    rec.iaSelectDes[1] = rec.iaSelectDes[3] = 0;
    g_inHandler = nullptr;
    for (int i = 5; i < KIV_SELECT_MAX; ++i) Desc(i);
    ComSelectUpdate(&rec, 1); // enters the table from its first slot, the maximum from all of it
    EXPECT_TRUE(FD_ISSET(readEnd["d0"], &rec.fdsSelect) && !FD_ISSET(readEnd["d2"], &rec.fdsSelect));
    EXPECT_EQ(rec.iMaxfd, readEnd["d9"]);
    rec.iaSelectDes[1] = readEnd["d2"];
    rec.iaSelectDes[3] = readEnd["d4"];
    Ready("d9");
    ComSelectInit(&rec);
    EXPECT_EQ(OnePass(&rec), "0: d2 d9 "); // a full table, served to its last slot...
    ComSelectUpdate(&rec, 0);              // ...emptied, and the maximum brought down
    EXPECT_EQ(std::count(rec.iaSelectDes, rec.iaSelectDes + KIV_SELECT_MAX, 0), KIV_SELECT_MAX);
    EXPECT_TRUE(Empty(rec.fdsSelect));
    EXPECT_EQ(rec.iMaxfd, 0);
}

// Outside the wait every signal is blocked; the wait lets through only the timer signal, the
// stop and termination signals and child exits: a pending one ends it with 3, others stay pending.
TEST_F(Loop, OnlyTheSevenSignalsEndTheWait) {
    sigset_t now, pending, held;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    sigemptyset(&held);
    for (int sig : {SIGHUP, SIGQUIT, SIGUSR1, SIGTERM, SIGCHLD, SIGRTMIN}) ASSERT_TRUE(sigismember(&now, sig)) << sig;
    std::map<int, struct sigaction> saved;
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGQUIT, SIGUSR2, SIGALRM, SIGWINCH, SIGRTMIN})
        sigaction(sig, &sa, &saved[sig]);
    for (int sig : {SIGQUIT, SIGUSR2, SIGALRM, SIGWINCH, SIGRTMIN}) {
        (void)raise(sig);
        sigaddset(&held, sig);
    }
    Desc(0);
    for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGCHLD, SIGUSR1}) {
        (void)raise(sig);
        rec.iErrno = 0;
        EXPECT_EQ(OnePass(&rec), "3: ") << sig;
        EXPECT_EQ(rec.iErrno, EINTR);
    }
    const timespec none{};
    sigpending(&pending);
    for (int sig : {SIGQUIT, SIGUSR2, SIGALRM, SIGWINCH, SIGRTMIN})
        EXPECT_TRUE(sigismember(&pending, sig) && sigtimedwait(&held, nullptr, &none) > 0) << sig;
    for (auto &[sig, old] : saved) sigaction(sig, &old, nullptr);
    close(readEnd["d0"]); // a registered descriptor closed behind the loop's back
    EXPECT_EQ(OnePass(&rec), "-1: ");
    EXPECT_EQ(rec.iErrno, EBADF);
}

// A timer's handle is the write end of its pipe (the rows above feed them by hand); the signal side
// never blocks on a full one.
TEST_F(Loop, TenTimersGetNonBlockingPipesAndAnEleventhIsRefused) {
    for (int k = 0; k < KIV_TIMER_MAX; ++k)
        EXPECT_EQ(fcntl(ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, Handler), F_GETFL) & (O_ACCMODE | O_NONBLOCK),
                  O_WRONLY | O_NONBLOCK)
            << k;
    EXPECT_EQ(ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, Handler), -1);
    EXPECT_EQ(Notices(), Strings{"error of timerMaxOver\n"});
    EXPECT_EQ(rec.iTimerCount, KIV_TIMER_MAX);
    EXPECT_TRUE(KernelTimers().empty());
}

// Refused operations change nothing: t1 keeps running with its period and its one kernel timer,
// and the never-started t0 starts afterwards.
TEST_F(Loop, RefusalsChangeNothing) {
    const int h0 = Timer(KIV_TIMER_MODE_ONESHOT, 1000, false), h1 = Timer(KIV_TIMER_MODE_CYCLIC, 600000);
    const int h2 = Timer(KIV_TIMER_MODE_ONESHOT, 600000), bad = h2 + 100;
    auto beyondTheSets = [&] { // a pipe there could never be waited on
        std::vector<int> low;
        int fd;
        while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < FD_SETSIZE) low.push_back(fd);
        close(fd);
        const int r = ComTimerSet(&rec, KIV_TIMER_MODE_CYCLIC, 100, Handler);
        for (int l : low) close(l);
        return r;
    };
    const std::string unknown = F("error of TimerDescriptor(%d)\n", bad);
    const struct {
        std::function<int()> op;
        int result;
        Strings info;
    } rows[] = {
        {[&] { return ComTimerStart(&rec, bad); }, -1, {unknown}},
        {[&] { return ComTimeUpTimerStart(&rec, bad, 10); }, -1, {unknown}},
        {[&] { return ComTimerCancel(&rec, bad); }, -1, {unknown}},
        {[&] { return ComTimerGet(&rec, bad); }, -1, {unknown}},
        {[&] { return ComTimeReSetTimer(&rec, bad, 10); }, -1, {F("error of ComTimeReSetTimer(%d)\n", bad)}},
        {[&] { return ComTimerGet(&rec, h0); }, -1, {}},
        {[&] { return ComTimerCancel(&rec, h0); }, 0, {}},
        // Without a kernel timer, timerId is stale and might name another slot's timer.
        {[&] { return ComTimeUpTimerStart(&rec, h0, 0); },
         -1,
         {F("error of ComTimeUpTimerStart(no kernel timer, TimerDescriptor=%d)\n", h0)}},
        {[&] { return ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, -1, Handler); }, -1, {"error of TimerMsec(-1)\n"}},
        {[&] { return ComTimeReSetTimer(&rec, h1, -200); }, -1, {"error of TimerMsec(-200)\n"}},
        {[&] { return ComTimeUpTimerStart(&rec, h1, -5); }, -1, {"error of TimerMsec(-5)\n"}},
        {[&] { return Limited(RLIMIT_SIGPENDING, 0, [&] { return ComTimerStart(&rec, h0); }); },
         -1,
         {F("error of timer_create(errno=%d)\n", EAGAIN), "timer_id = 0\n"}},
        // Regression: when the setting was refused, the kernel timer just made was left behind.
        {[&] {
             rec.TimerCntInfo[0].iTimerMsec = -5;
             return ComTimerStart(&rec, h0);
         },
         -1,
         {F("error of timer_settime(errno=%d)\n", EINVAL)}},
        {[&] {
             timer_delete(rec.TimerCntInfo[2].timerId);
             return ComTimerGet(&rec, h2);
         },
         -1,
         {F("error of timer_gettime(errno=%d)\n", EINVAL)}},
        {[&] { return Limited(RLIMIT_NOFILE, FD_SETSIZE + 8, beyondTheSets); },
         -1,
         {F("error of descriptor range(%d)\n", FD_SETSIZE)}},
    };
    for (const auto &row : rows) {
        kivtest::ClearLog();
        EXPECT_EQ(row.op(), row.result) << testing::PrintToString(row.info);
        EXPECT_EQ(Notices(), row.info);
    }
    EXPECT_EQ(rec.iTimerCount, 3);
    EXPECT_EQ(rec.TimerCntInfo[3].iTimerSelectDes[0] | rec.TimerCntInfo[3].iTimerSelectDes[1], 0);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerState + rec.TimerCntInfo[1].iTimerState, 1);
    EXPECT_EQ(Ms(Kernel(1).it_interval), 600000);
    EXPECT_EQ(KernelTimers(), Values{101});
    rec.TimerCntInfo[0].iTimerMsec = 1000;
    ASSERT_EQ(ComTimerStart(&rec, h0), 0);
    EXPECT_EQ(KernelTimers(), (Values{100, 101}));
}

// Real expiries. A one-shot timer fires once and is stopped when its handler runs; its kernel timer
// is kept and armed again, and goes with the deletion (a regression: it outlived it). A cyclic one
// runs until cancelled, which deletes its kernel timer. ComTimerGet reports the time elapsed in
// the period (the kernel's figure is the time left).
TEST_F(Loop, TimersThroughTheirLives) {
    const auto t0 = std::chrono::steady_clock::now();
    const int o = Timer(KIV_TIMER_MODE_ONESHOT, 10), c = Timer(KIV_TIMER_MODE_CYCLIC, 10),
              l = Timer(KIV_TIMER_MODE_ONESHOT, 1500);
    EXPECT_EQ(KernelTimers(), (Values{100, 101, 102}));
    EXPECT_EQ(Ms(Kernel(0).it_interval) + Ms(Kernel(2).it_interval), 0);
    EXPECT_EQ(Ms(Kernel(1).it_interval), 10);
    SleepTicks(2);
    EXPECT_EQ(ComTimerGet(&rec, o), 10); // expired, not served yet: the whole period
    RunUntil([] { return g_calls.find("t0") != std::string::npos && g_calls.size() >= 20; });
    EXPECT_EQ(g_calls.find("t0=0 "), g_calls.find("t0"));
    EXPECT_EQ(g_calls.find("t0", g_calls.find("t0") + 1), std::string::npos);
    EXPECT_EQ(g_calls.find("t1=0"), std::string::npos);
    const int got = ComTimerGet(&rec, l);
    EXPECT_TRUE(got >= 25 && got <= MsSince(t0)) << got;
    ASSERT_EQ(ComTimeUpTimerStart(&rec, c, 1500), 0); // a new period runs once
    EXPECT_EQ(Ms(Kernel(1).it_interval), 0);
    EXPECT_GT(Ms(Kernel(1).it_value), 1000);
    EXPECT_EQ(ComTimerCancel(&rec, c) + ComTimerCancel(&rec, l), 0);
    EXPECT_EQ(Notices(), Strings{}); // lives that go well tell operators nothing
    EXPECT_EQ(ComTimerState(&rec), 0);
    EXPECT_EQ(KernelTimers(), Values{100});

    for (int h : {o, c}) EXPECT_EQ(ComTimeReSetTimer(&rec, h, 1500), 0);
    for (int h : {o, c}) ASSERT_EQ(ComTimerStart(&rec, h), 0);
    EXPECT_EQ(KernelTimers(), (Values{100, 101}));
    EXPECT_EQ(Ms(Kernel(0).it_interval), 0);
    EXPECT_EQ(Ms(Kernel(1).it_interval), 1500);
    EXPECT_EQ(ComTimerGet(&rec, Timer(KIV_TIMER_MODE_ONESHOT, 0)), 0); // a zero period runs and never expires

    g_calls.clear();
    Timer(KIV_TIMER_MODE_ONESHOT, 10);
    RunUntil([] { return g_calls.find("t4") != std::string::npos; });
    EXPECT_EQ(ComTimerDelete(&rec), 0); // its pipes are closed, or the leak check would say so
    EXPECT_TRUE(KernelTimers().empty());
    const int again = ComTimerSet(&rec, KIV_TIMER_MODE_ONESHOT, 1000, Handler);
    EXPECT_EQ(rec.TimerCntInfo[0].iTimerSelectDes[1], again);
}

// The kernel never ends a sleep early; the upper bounds leave scheduling slack and rule out a
// wrong unit (257/256 s needs both the whole seconds and the fraction). Past the 32-bit range of
// microseconds the sleep is the longest there is: a regression, it wrapped to a short one. A
// signal (without a timer value) cuts that sleep short so that the logged length can be read.
TEST_F(Loop, SleepTicksCountsTensOfMillisecondsOrFractionsOfASecond) {
    for (auto [ticks, ms] : {std::pair<uint32_t, long>{5, 50}, {0x80000000u | 257, 1003}}) {
        const auto t0 = std::chrono::steady_clock::now();
        SleepTicks(ticks);
        EXPECT_TRUE(MsSince(t0) >= ms && MsSince(t0) < ms + 1000) << ticks;
    }
    Usr1(SIG_UNBLOCK);
    std::promise<void> woke;
    std::thread poke([self = pthread_self(), f = woke.get_future()] {
        while (f.wait_for(50ms) == std::future_status::timeout) pthread_kill(self, SIGUSR1);
    });
    SleepTicks(500000); // 5 000 000 000 us; wrapped it would be 705 032 704
    woke.set_value();
    poke.join();
    EXPECT_EQ(kivtest::Count(7, F("usleep = %d\n", static_cast<int>(UINT32_MAX))), 1u);
}

} // namespace
