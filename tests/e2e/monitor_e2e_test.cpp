// The monitor's life seen from the unit: start-up, the log level of its command line, failed
// start-ups and the terminate command, each with the records, log lines and exit code the
// supervisor and the operators rely on.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using kive2e::LinesInOrder;
using kive2e::LinesMatch;
using kive2e::Rec;
using kivsim::kFifoSts;
using kivsim::kFifoStsp;

const std::string kWakeupOk = Rec("053600" "000" "0312");
const std::string kWakeupFailed = Rec("053600" "001" "0312");
const std::string kTerminatedOk = Rec("053605" "000");

// Lines at priority 6 of a start-up that went well.
const std::vector<std::string> kStartup6 = {
    "start of TampProcess\n",
    "success of shmat(pShared=0x{x})\n", // CONFIG
    "success of shmat(pShared=0x{x})\n", // OTHER
    "end of InitProc\n",
};
// And of a clean shut-down after the terminate command.
const std::vector<std::string> kShutdown6 = {
    "Terminate reBoot\n",
    "start of TermProc\n",
    "end of TermProc\n",
};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LifecycleTest : public kive2e::MonitorTest {};

// Check enabled: the device is opened and configured once; the supervisor hears wake-up 0, and
// after the terminate command terminate-complete 0, in that order; the process exits with 0 after
// closing the device. Every line goes out as KIVTAMP with the monitor's pid on LOCAL4.
TEST_F(LifecycleTest, CheckEnabledStartsConfiguresTheDeviceOnceAndTerminatesCleanly) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto wake = Boot("6");
    ASSERT_TRUE(wake) << unit().Error();
    EXPECT_EQ(wake->bytes, kWakeupOk);
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_EQ(unit().Switch().Opens(), 1);
    EXPECT_EQ(unit().Switch().Ioctls(), 1);
    EXPECT_EQ(unit().Switch().Closes(), 0);
    pid_t pid = unit().Monitor().Pid();
    EXPECT_EQ(kive2e::DescriptorOf(pid, kivsim::kTampDevice) >= 0, true) << "device not held open";

    unit().ClearWriteOrder();
    auto exit = unit().Terminate(0);
    ASSERT_TRUE(exit) << unit().Error();
    EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    EXPECT_EQ(Bytes(kFifoStsp), std::vector<std::string>{kWakeupOk});
    // FifoSts: the barrier's 621, then the terminate-complete.
    EXPECT_EQ(Bytes(kFifoSts), (std::vector<std::string>{Rec("053621"), kTerminatedOk}));
    EXPECT_EQ(unit().WriteOrder(1), std::vector<std::string>{"FifoSts"});
    EXPECT_TRUE(unit().Switch().WaitForCount("closes", 1));
    EXPECT_EQ(unit().Switch().Opens(), 1);

    EXPECT_TRUE(LinesMatch(Lines(6), Concat(kStartup6, kShutdown6)));
    EXPECT_TRUE(Lines(7).empty());
    for (const kivsim::LogLine &l : kivtest::Syslog().Lines()) {
        if (l.ident != "KIVTAMP") continue;
        EXPECT_EQ(l.facility, 20) << l.text; // LOG_LOCAL4
        EXPECT_EQ(l.pid, pid) << l.text;
    }
}

// Check disabled: the device is never opened, at start-up nor at shut-down; a switch event goes
// unseen; the start-up is still a success.
TEST_F(LifecycleTest, CheckDisabledNeverOpensTheDevice) {
    auto wake = Boot("6", [](kivsim::UnitOptions &o) { o.tamperCheck = '0'; });
    ASSERT_TRUE(wake) << unit().Error();
    EXPECT_EQ(wake->bytes, kWakeupOk);
    ASSERT_TRUE(unit().Inject(1)) << unit().Error();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_EQ(unit().Records().Count(kivsim::kFifoLog), 0u);
    EXPECT_TRUE(unit().CardMasterExists());
    auto exit = unit().Terminate(0);
    ASSERT_TRUE(exit) << unit().Error();
    EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    EXPECT_EQ(Bytes(kFifoSts).back(), kTerminatedOk);
    EXPECT_EQ(unit().Switch().Opens(), 0);
    EXPECT_EQ(unit().Switch().Ioctls(), 0);
    EXPECT_EQ(unit().Switch().Reads(), 0);
    EXPECT_TRUE(LinesMatch(Lines(6), Concat(kStartup6, kShutdown6)));
}

// The pair kind is a big-endian integer in OTHER whatever the byte order of the reader: bytes
// 01 00 00 00 are 0x1000000, no valid kind, and 00 00 00 01 are kind 1. With the check off no
// device is needed, so the target binary shows it under the emulator too.
TEST_F(LifecycleTest, PairKindIsReadBigEndian) {
    const std::string complaint =
        "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x1000000 \n";
    for (int32_t kind : {0x01000000, 1}) {
        SCOPED_TRACE("pair kind " + std::to_string(kind));
        auto wake = Boot("6", [kind](kivsim::UnitOptions &o) {
            o.tamperCheck = '0';
            o.pairKind = kind;
        });
        ASSERT_TRUE(wake) << unit().Error();
        EXPECT_EQ(wake->bytes, kWakeupOk);
        auto exit = unit().Terminate(0);
        ASSERT_TRUE(exit) << unit().Error();
        EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
        std::vector<std::string> startup = kStartup6;
        if (kind != 1) startup.insert(startup.begin() + 3, complaint);
        EXPECT_TRUE(LinesMatch(Lines(6), Concat(startup, kShutdown6)));
    }
}

// ------------------------------------------------------------------------------------------
// The log level of argv[2] selects the priorities that reach syslog.

class LogLevelTest : public kive2e::MonitorTest {
protected:
    // A whole life: start-up, a rejected record (a priority-6 failure line), a setting change, a
    // tamper event, terminate. Returns false (with a test failure) when the life was not normal.
    void Live(std::optional<std::string> level) {
        auto wake = Boot(std::move(level));
        ASSERT_TRUE(wake) << unit().Error();
        EXPECT_EQ(wake->bytes, kWakeupOk);
        ASSERT_TRUE(unit().Sts().SendRecord(81, 900, "")) << "send";
        ASSERT_TRUE(unit().ChangeSetting(1)) << unit().Error();
        uint64_t mark = unit().Mark();
        ASSERT_TRUE(unit().Inject(1)) << unit().Error();
        ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, mark)) << "no tamper response";
        auto exit = unit().Terminate(0);
        ASSERT_TRUE(exit) << unit().Error();
        EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    }
};

const std::vector<std::string> kLife6 = Concat(
    Concat(kStartup6, {"00008,FifoReadFunc,message format err(iMod_id:081/iCmd_id:900/data[0]:0x20)\n"}), kShutdown6);

TEST_F(LogLevelTest, SixHidesEveryTraceLine) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    Live("6");
    EXPECT_TRUE(LinesMatch(Lines(6), kLife6));
    EXPECT_TRUE(Lines(7).empty());
}

// At 7 the priority-6 lines are the same, and the traces of every step are there, with the
// descriptors the process really holds.
TEST_F(LogLevelTest, SevenShowsTheTraces) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto wake = Boot("7");
    ASSERT_TRUE(wake) << unit().Error();
    pid_t pid = unit().Monitor().Pid();
    int pipeFd = kive2e::DescriptorOf(pid, kivsim::PipePath(kivsim::kFifoTamp));
    int devFd = kive2e::DescriptorOf(pid, kivsim::kTampDevice);
    ASSERT_GT(pipeFd, 2);
    ASSERT_GT(devFd, 2);
    std::string p = std::to_string(pipeFd) + "\n";
    std::string d = std::to_string(devFd) + "\n";
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_TRUE(LinesInOrder(Lines(7), {
                                           "pProcInfo = 0x{x}\n",
                                           "start of InitProc\n",
                                           "pProcInfo=0x{x}\n",
                                           "success of fifoReadOpen(TAMP)\n",
                                           "fifoTampRead = " + p,
                                           "success of ComShmOpenRead()\n",
                                           "success of ComShmOpenRead(OTHER)\n",
                                           "start of InitProcSub\n",
                                           "start of TampDrvOpenProc\n",
                                           "tamper driver open and ioctl success\n",
                                           "start of SetSelectFD\n",
                                           "pProcInfo->iIoReadDes[0] = " + d,
                                           "pProcInfo->iaSelectDes[0] = " + d,
                                           "FifoReadFunc = 0x{x}\n",
                                           "pProcInfo->pSelectProc[0] = 0x{x}\n",
                                           "pProcInfo->iFifoReadDes = " + p,
                                           "pProcInfo->iaSelectDes[1] = " + p,
                                           "FifoReadFunc = 0x{x}\n",
                                           "pProcInfo->pSelectProc[1] = 0x{x}\n",
                                           "end of SetSelectFD\n",
                                           "end of TampDrvOpenProc\n",
                                           "end of InitProcSub\n",
                                           "start of WakeupComplete\n",
                                           "end of WakeupComplete\n",
                                           "start of MainProc\n",
                                           "start of FifoReadFunc\n",
                                           "iReadcnt = 256\n",
                                       }));
    size_t mark = LineMark();
    auto exit = unit().Terminate(0);
    ASSERT_TRUE(exit) << unit().Error();
    EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    EXPECT_TRUE(LinesInOrder(Lines(7, mark), {
                                                 "start of TermProcSub\n",
                                                 "start of TampDrvCloseProc\n",
                                                 "tamper driver close success\n",
                                                 "end of TampDrvCloseProc\n",
                                                 "start of TerminateComplete\n",
                                                 "end of TerminateComplete\n",
                                                 "end of TermProcSub\n",
                                                 "fifoTampRead of close(/tmp/pipe/FifoTamp)\n",
                                                 "success of ComTimerDelete()\n",
                                                 "success of ComShmClose()\n",
                                                 "success of ComShmClose()\n",
                                                 "memory free\n",
                                                 "end of TampProcess\n",
                                             }));
    EXPECT_TRUE(LinesMatch(Lines(6), Concat(kStartup6, kShutdown6)));
}

TEST_F(LogLevelTest, ZeroShowsNothing) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    Live("0");
    EXPECT_TRUE(AllLines().empty()) << Dump();
}

// A level argument that is missing, not a number or out of range: the process says so at
// priority 6 and runs at a sound level (6, or the nearest bound).
TEST_F(LogLevelTest, BadArgumentIsReportedAndASoundLevelUsed) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    struct Case {
        std::optional<std::string> arg;
        std::string line;
        int level;
    };
    const Case cases[] = {
        {std::nullopt, "log level argument missing, level 6 used\n", 6},
        {"", "log level argument is not a number(), level 6 used\n", 6},
        {"abc", "log level argument is not a number(abc), level 6 used\n", 6},
        {"7x", "log level argument is not a number(7x), level 6 used\n", 6},
        {"8", "log level argument out of range(8), level 7 used\n", 7},
        {"99999999999999999999", "log level argument out of range(99999999999999999999), level 7 used\n", 7},
        {"-1", "log level argument out of range(-1), level 0 used\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arg ? "argument \"" + *c.arg + "\"" : "no argument");
        Live(c.arg);
        if (HasFatalFailure()) return;
        std::vector<std::string> six = Lines(6);
        ASSERT_FALSE(six.empty()) << Dump();
        EXPECT_EQ(six.front(), c.line);
        if (c.level == 0) {
            EXPECT_EQ(AllLines(), std::vector<std::string>{"<6>" + c.line});
        } else {
            six.erase(six.begin());
            EXPECT_TRUE(LinesMatch(six, kLife6));
            EXPECT_EQ(Lines(7).empty(), c.level == 6);
        }
    }
}

// ------------------------------------------------------------------------------------------
// A start-up that fails: the supervisor hears wake-up 1, then terminate-complete, and the
// process exits with 1.

class StartupFailureTest : public kive2e::MonitorTest {
protected:
    // Starts the monitor on a unit prepared by adjust and prepare; expects the failure and returns
    // the priority-6 lines.
    std::vector<std::string> FailedStart(const kive2e::Adjust &adjust, const std::function<void()> &prepare = {}) {
        EXPECT_TRUE(Up(adjust)) << unit().Error();
        if (prepare) prepare();
        EXPECT_TRUE(unit().StartMonitor("6")) << unit().Error();
        auto exit = unit().WaitExit(10000ms);
        EXPECT_TRUE(exit && exit->Exited(1)) << (exit ? kivsim::Describe(*exit) : "still running");
        EXPECT_TRUE(unit().Records().WaitCount(kFifoSts, 605, 1, 5000ms));
        unit().Reader(kFifoSts)->Sync();
        unit().Reader(kFifoStsp)->Sync();
        EXPECT_EQ(Bytes(kFifoStsp), std::vector<std::string>{kWakeupFailed});
        EXPECT_EQ(Bytes(kFifoSts), std::vector<std::string>{kTerminatedOk});
        EXPECT_EQ(unit().WriteOrder(2), (std::vector<std::string>{"FifoStsp", "FifoSts"}));
        return Lines(6);
    }
};

TEST_F(StartupFailureTest, DeviceAbsentWithTheCheckEnabled) {
    auto lines = FailedStart([](kivsim::UnitOptions &o) { o.bindSwitch = false; });
    EXPECT_TRUE(LinesMatch(lines, {
                                      "start of TampProcess\n",
                                      "success of shmat(pShared=0x{x})\n",
                                      "success of shmat(pShared=0x{x})\n",
                                      "00012,TampDrvOpenProc,open(Tamper Switch Driver) failed(errno=2(No such file or directory))\n",
                                      "00016,InitProcSub,TampDrvOpenProc failed",
                                      "initProc error (iRet=-1)\n",
                                      "start of TermProc\n",
                                      "end of TermProc\n",
                                  }));
    EXPECT_EQ(unit().Switch().Opens(), 0);
}

// The device opens but refuses its configuration: start-up fails, and shut-down closes the device.
TEST_F(StartupFailureTest, DeviceRefusesItsConfiguration) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto lines = FailedStart({}, [&] { EXPECT_TRUE(unit().Switch().SetIoctlFail(true)); });
    EXPECT_TRUE(LinesMatch(
        lines, {
                   "start of TampProcess\n",
                   "success of shmat(pShared=0x{x})\n",
                   "success of shmat(pShared=0x{x})\n",
                   "00013,TampDrvOpenProc,ioctrl(Tamper Switch Driver CR_SETTPPOLLTM) failed(errno=5(Input/output error))\n",
                   "00016,InitProcSub,TampDrvOpenProc failed",
                   "initProc error (iRet=-1)\n",
                   "start of TermProc\n",
                   "end of TermProc\n",
               }));
    EXPECT_EQ(unit().Switch().Opens(), 1);
    EXPECT_EQ(unit().Switch().Ioctls(), 1);
    EXPECT_TRUE(unit().Switch().WaitForCount("closes", 1));
}

// Without CONFIG nothing is attached; shut-down stops at detaching what never was attached.
TEST_F(StartupFailureTest, ConfigSegmentMissing) {
    auto lines = FailedStart({}, [&] { EXPECT_TRUE(unit().Segments().Remove(kivsim::kProjConfig)); });
    EXPECT_TRUE(LinesMatch(lines, kive2e::kConfigUnreachableLines));
    EXPECT_EQ(unit().Switch().Opens(), 0);
}

TEST_F(StartupFailureTest, OtherSegmentMissing) {
    auto lines = FailedStart({}, [&] { EXPECT_TRUE(unit().Segments().Remove(kivsim::kProjOther)); });
    EXPECT_TRUE(LinesMatch(lines, {
                                      "start of TampProcess\n",
                                      "success of shmat(pShared=0x{x})\n",
                                      "error of shmget(iShmId=-1, errno=2)\n",
                                      "error of ComShmOpenRead(OTHER)\n",
                                      "initProc error (iRet=-1)\n",
                                      "start of TermProc\n",
                                      "error of shmdt(errno=22)\n",
                                      "error of ComShmClose()\n",
                                  }));
    EXPECT_EQ(unit().Switch().Opens(), 0);
}

// Without its command pipe the process has nothing to close either.
TEST_F(StartupFailureTest, CommandPipeMissing) {
    auto lines = FailedStart([](kivsim::UnitOptions &o) { o.commandPipe = false; });
    EXPECT_TRUE(LinesMatch(lines, {
                                      "start of TampProcess\n",
                                      "open(read) failed(/tmp/pipe/FifoTamp, errno=2)\n",
                                      "error(TampFifo read) of ComFifoCreate()\n",
                                      "initProc error (iRet=-1)\n",
                                      "start of TermProc\n",
                                      "close(fifoTampRead) failed(/tmp/pipe/FifoTamp, errno=9(Bad file descriptor))\n",
                                  }));
}

#ifdef KIV_VALGRIND
// Under the memory checker a whole life ends with exit code 0 only when nothing is left
// allocated at exit, the context record included, and no memory error occurred on the way.
TEST_F(LifecycleTest, CleanShutdownLeavesNothingAllocated) {
    auto wake = Boot("7", [](kivsim::UnitOptions &o) {
        o.emulator = {KIV_VALGRIND,         "-q", "--leak-check=full", "--show-leak-kinds=all",
                      "--errors-for-leak-kinds=all", "--error-exitcode=99"};
    });
    ASSERT_TRUE(wake) << unit().Error();
    ASSERT_TRUE(unit().ChangeSetting(1)) << unit().Error();
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1)) << unit().Error();
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 10000ms, mark));
    auto exit = unit().Terminate(0, 30000ms);
    ASSERT_TRUE(exit) << unit().Error();
    EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    EXPECT_EQ(Bytes(kFifoSts).back(), kTerminatedOk);
}
#endif

} // namespace
