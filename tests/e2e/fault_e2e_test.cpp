// Faults around the running monitor, end to end: peers that stop reading or vanish, a failing
// device, garbage in the segments, signals in the middle of a tamper response, an event storm and
// several writers on the command pipe at once. The real kivtamp runs in the simulated unit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "decode.h"
#include "e2e_support.h"

namespace {

using kivsim::kFifoDisp;
using kivsim::kFifoLog;
using kivsim::kFifoSts;
using kivsim::kFifoStsp;
using kivsim::kFifoTamp;
using kivsim::Ms;
using Names = std::vector<std::string>;

constexpr int kInfo = 6;
constexpr const char *kCardMasterName = "cardmaster.dat";

const std::string kDisplayRecord = kive2e::Rec("053151" "0625 00000000");
const std::string kErrorStatusRecord = kive2e::Rec("053609" "\x05\x01");
const std::string kSettingReply = kive2e::Rec("053621");
// What a paused error-log reader finds in its pipe besides the monitor's records.
const std::string kFiller = kivsim::MakeRecord(99, 999, "filler");

// The error-log record of a tamper event: date and time digits, the code and kind bytes, spaces.
bool IsErrLogRecord(const std::string &b, unsigned char code) {
    if (b.size() != kivsim::kRecordSize || b.compare(0, 6, "053054") != 0) return false;
    for (size_t i = 6; i < 20; ++i)
        if (b[i] < '0' || b[i] > '9') return false;
    return static_cast<unsigned char>(b[20]) == code && b[21] == 1 && b.find_first_not_of(' ', 22) == std::string::npos;
}

std::string ProcFile(pid_t pid, const char *name) {
    return kivtest::ReadFileBytes("/proc/" + std::to_string(pid) + "/" + name);
}

// User plus system time in clock ticks.
long CpuTicks(pid_t pid) {
    std::string stat = ProcFile(pid, "stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream in(stat.substr(paren + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // Fields after the name start with the state (field 3); utime and stime are fields 14, 15.
    for (int f = 3; f <= 15 && in >> field; ++f) {
        if (f == 14) utime = std::atol(field.c_str());
        if (f == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

// The system call the process is waiting in; -1 while it runs.
long SyscallOf(pid_t pid) {
    std::string s = ProcFile(pid, "syscall");
    if (s.empty() || s.rfind("running", 0) == 0) return -1;
    return std::atol(s.c_str());
}

bool WaitBlockedIn(pid_t pid, long nr) {
    for (int i = 0; i < 2000; ++i) {
        if (SyscallOf(pid) == nr) return true;
        std::this_thread::sleep_for(Ms(5));
    }
    return false;
}

// A signal set from /proc/<pid>/status ("SigBlk", "SigPnd", "ShdPnd").
uint64_t SigSet(pid_t pid, const std::string &field) {
    std::istringstream in(ProcFile(pid, "status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::strtoull(line.c_str() + field.size() + 1, nullptr, 16);
    return 0;
}

uint64_t Bit(int sig) { return uint64_t{1} << (sig - 1); }

// The standard and real-time signals a process can name, without the two the C library keeps.
std::vector<int> NamedSignals() {
    std::vector<int> sigs;
    for (int s = 1; s < 32; ++s) sigs.push_back(s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigs.push_back(s);
    return sigs;
}

// The signals let through while the loop waits.
bool LetThrough(int sig) {
    for (int s : {SIGUSR1, SIGKILL, SIGHUP, SIGINT, SIGSTOP, SIGTERM, SIGCHLD})
        if (s == sig) return true;
    return false;
}

// Names of the signals whose blocked state differs from what `blocked` says it should be.
std::string MaskMismatch(uint64_t mask, const std::function<bool(int)> &blocked) {
    std::string out;
    for (int s : NamedSignals()) {
        int host = kive2e::HostSignal(s);
        if (host == 0 || !kive2e::HostMaskShows(s)) continue;
        if (((mask & Bit(host)) != 0) != blocked(s)) out += " " + std::to_string(s);
    }
    return out;
}

// Fills a pipe whose reader has paused until not one more record fits; returns how many went in.
int FillPipe(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int n = 0;
    while (write(fd, kFiller.data(), kFiller.size()) == static_cast<ssize_t>(kFiller.size())) ++n;
    close(fd);
    return n;
}

// Consecutive writes to one pipe may show as one entry of the write order.
Names Squeezed(const Names &names) {
    Names out;
    for (const std::string &n : names)
        if (out.empty() || out.back() != n) out.push_back(n);
    return out;
}

class Faults : public kive2e::MonitorTest {
protected:
    pid_t Pid() { return unit().Monitor().Pid(); }

    // Waits until every peer has taken in what was written to it.
    void SyncPeers() {
        for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp})
            if (kivsim::PipeReader *r = unit().Reader(p)) r->Sync();
    }

    // Watches the three pipes of a tamper response and the card master file's deletion.
    void WatchResponse(kivsim::WriteOrder &order) {
        for (std::string_view p : {kFifoLog, kFifoDisp, kFifoSts}) ASSERT_TRUE(order.Watch(p));
        ASSERT_TRUE(order.WatchRemoval(kivsim::kCardMasterFile));
    }

    // One event byte 1 with the card master file present: the file goes first, then exactly one
    // record each to the error log, the display and the supervisor, in that order.
    void ExpectFullResponse(kivsim::WriteOrder &order) {
        ASSERT_TRUE(unit().CardMasterExists() || unit().CreateCardMaster());
        order.Clear();
        uint64_t mark = unit().Mark();
        ASSERT_TRUE(unit().Inject(1)) << unit().Error();
        ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, Ms(10000), mark)) << Dump();
        SyncPeers();
        EXPECT_FALSE(unit().CardMasterExists());
        Names log = Bytes(kFifoLog, mark);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_TRUE(IsErrLogRecord(log[0], 0x21)) << kivsim::Printable(log[0]);
        EXPECT_EQ(Bytes(kFifoDisp, mark), Names{kDisplayRecord});
        EXPECT_EQ(Bytes(kFifoSts, mark), Names{kErrorStatusRecord});
        EXPECT_EQ(Squeezed(order.Names(4)), (Names{kCardMasterName, "FifoLog", "FifoDisp", "FifoSts"}));
    }

    // Waits until the monitor has logged this line n times at priority 6.
    bool WaitLineCount(const std::string &text, size_t n) {
        for (int i = 0; i < 1000; ++i) {
            kivtest::Syslog().Sync();
            if (kivtest::Syslog().Count(kInfo, text) >= n) return true;
            std::this_thread::sleep_for(Ms(10));
        }
        return false;
    }

    // Pauses the error-log reader and fills its pipe: the next record to it waits for room.
    int BlockErrorLog() {
        unit().ErrLog().Pause();
        return FillPipe(unit().ErrLog().Path());
    }
};

// ------------------------------------------------------------------ peers that stop or vanish

TEST_F(Faults, ErrorLogThatStopsReadingHoldsTheResponseOnlyAfterTheDeletion) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    kivsim::WriteOrder order;
    WatchResponse(order);
    int fillers = BlockErrorLog();
    ASSERT_GT(fillers, 0);
    order.Clear();
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1));

    // The monitor waits for room in the full pipe; the card master file is already gone and not
    // one record has been sent.
    ASSERT_TRUE(WaitBlockedIn(Pid(), SYS_write)) << Dump();
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_EQ(order.Names(1), Names{kCardMasterName});
    // A command arriving meanwhile waits behind the response.
    ASSERT_TRUE(unit().Send(901, 0));
    SyncPeers();
    EXPECT_TRUE(Bytes(kFifoDisp, mark).empty());
    EXPECT_TRUE(Bytes(kFifoSts, mark).empty());

    // Once the reader is back the response completes, in order, and then the command is answered.
    unit().ErrLog().Resume();
    ASSERT_TRUE(unit().Records().WaitCount(kFifoSts, 621, 1, Ms(10000), mark)) << Dump();
    SyncPeers();
    Names log = Bytes(kFifoLog, mark);
    ASSERT_EQ(log.size(), static_cast<size_t>(fillers) + 1);
    EXPECT_EQ(Names(log.begin(), log.end() - 1), Names(static_cast<size_t>(fillers), kFiller));
    EXPECT_TRUE(IsErrLogRecord(log.back(), 0x21));
    EXPECT_EQ(Bytes(kFifoDisp, mark), Names{kDisplayRecord});
    EXPECT_EQ(Bytes(kFifoSts, mark), (Names{kErrorStatusRecord, kSettingReply}));
    EXPECT_EQ(Squeezed(order.Names(4)), (Names{kCardMasterName, "FifoLog", "FifoDisp", "FifoSts"}));
    // The sends waited; none failed.
    EXPECT_TRUE(Lines(kInfo, from).empty()) << Dump();

    ExpectFullResponse(order);
}

TEST_F(Faults, PeersThatDisappearMissTheirRecordsButTheCardMasterStillGoes) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    kivsim::WriteOrder order;
    WatchResponse(order);
    for (std::string_view p : {kFifoLog, kFifoDisp, kFifoSts}) ASSERT_TRUE(unit().RemovePeer(p));
    order.Clear();
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1));
    // Each send gives up after three failed probes; the last one, to FifoSts, ends the response.
    Names expected;
    for (const char *p : {"FifoLog", "FifoDisp", "FifoSts"})
        for (int i = 0; i < 3; ++i)
            expected.push_back(std::string("FIFO read open error (fifo=/tmp/pipe/") + p +
                               ", errno=2(No such file or directory))\n");
    ASSERT_TRUE(WaitLineCount(expected.back(), 3)) << Dump();
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_EQ(order.Names(), Names{kCardMasterName});
    // Nothing was created in place of the missing pipes.
    for (std::string_view p : {kFifoLog, kFifoDisp, kFifoSts})
        EXPECT_NE(access(kivsim::PipePath(p).c_str(), F_OK), 0) << p;

    for (std::string_view p : {kFifoLog, kFifoDisp, kFifoSts}) {
        ASSERT_TRUE(unit().RestorePeer(p)) << unit().Error();
        ASSERT_TRUE(order.Watch(p));
    }
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_TRUE(kive2e::LinesMatch(Lines(kInfo, from), expected));
    EXPECT_TRUE(Bytes(kFifoLog, mark).empty());
    EXPECT_TRUE(Bytes(kFifoDisp, mark).empty());
    EXPECT_EQ(Bytes(kFifoSts, mark), Names{kSettingReply});
    ExpectFullResponse(order);
}

// The error log vanishes while the response waits for room in its pipe: the waiting write fails
// with a broken pipe, whose signal stays blocked and pending, and the response goes on.
TEST_F(Faults, ErrorLogThatVanishesUnderAWaitingSendBreaksOnlyThatSend) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    ASSERT_GT(BlockErrorLog(), 0);
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1));
    ASSERT_TRUE(WaitBlockedIn(Pid(), SYS_write)) << Dump();
    EXPECT_FALSE(unit().CardMasterExists());

    ASSERT_TRUE(unit().RemovePeer(kFifoLog));
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, Ms(10000), mark)) << Dump();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_TRUE(kive2e::LinesMatch(
        Lines(kInfo, from), {"FIFO write error (fifo=/tmp/pipe/FifoLog, errno=32(Broken pipe))\n",
                             "FIFO read open error (fifo=/tmp/pipe/FifoLog, errno=2(No such file or directory))\n",
                             "FIFO read open error (fifo=/tmp/pipe/FifoLog, errno=2(No such file or directory))\n"}));
    EXPECT_EQ(Bytes(kFifoDisp, mark), Names{kDisplayRecord});
    EXPECT_EQ(Bytes(kFifoSts, mark), (Names{kErrorStatusRecord, kSettingReply}));
    EXPECT_NE((SigSet(Pid(), "SigPnd") | SigSet(Pid(), "ShdPnd")) & Bit(SIGPIPE), 0u);
    EXPECT_TRUE(unit().Monitor().Running());

    ASSERT_TRUE(unit().RestorePeer(kFifoLog)) << unit().Error();
    kivsim::WriteOrder order;
    WatchResponse(order);
    ExpectFullResponse(order);
}

TEST_F(Faults, ErrorLogWhoseProcessDiedLeavesTheResponseWaitingForAReader) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    kivsim::WriteOrder order;
    WatchResponse(order);
    // The reader's process is gone but its pipe stays: nobody holds it open at either end.
    ASSERT_TRUE(unit().RemovePeer(kFifoLog));
    ASSERT_EQ(mkfifo(unit().ErrLog().Path().c_str(), 0666), 0);
    ASSERT_TRUE(order.Watch(kFifoLog));
    order.Clear();
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1));

    // The probe of the pipe waits for a writer, after the deletion and before any record.
    ASSERT_TRUE(WaitBlockedIn(Pid(), SYS_openat)) << Dump();
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_EQ(order.Names(1), Names{kCardMasterName});
    SyncPeers();
    EXPECT_TRUE(Bytes(kFifoDisp, mark).empty());
    EXPECT_TRUE(Bytes(kFifoSts, mark).empty());

    // The reader comes back on the same pipe: the response goes through whole.
    ASSERT_TRUE(unit().RestorePeer(kFifoLog)) << unit().Error();
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, Ms(10000), mark)) << Dump();
    SyncPeers();
    Names log = Bytes(kFifoLog, mark);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(IsErrLogRecord(log[0], 0x21));
    EXPECT_EQ(Bytes(kFifoDisp, mark), Names{kDisplayRecord});
    EXPECT_EQ(Bytes(kFifoSts, mark), Names{kErrorStatusRecord});
    EXPECT_TRUE(Lines(kInfo, from).empty()) << Dump();

    ExpectFullResponse(order);
}

// ------------------------------------------------------------------ the device fails

const std::string kReadCountZero = "00011,TampReadFunc,Tamper Switch Driver Read Count= 0\n";

std::string ReadFailedLine(int dev) {
    return "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes=" + std::to_string(dev) +
           "), errno=5(Input/output error)\n";
}

TEST_F(Faults, DeviceReadErrorAndEndOfFileAreLoggedAndNothingIsSent) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    int dev = kive2e::DescriptorOf(Pid(), kivsim::kTampDevice);
    ASSERT_GT(dev, 2);
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Switch().SetReadFail(1));
    ASSERT_TRUE(WaitLineCount(ReadFailedLine(dev), 1)) << Dump();
    ASSERT_TRUE(unit().Switch().SetEof(1));
    ASSERT_TRUE(WaitLineCount(kReadCountZero, 1)) << Dump();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();

    EXPECT_TRUE(kive2e::LinesMatch(Lines(kInfo, from), {ReadFailedLine(dev), kReadCountZero}));
    EXPECT_TRUE(unit().CardMasterExists());
    EXPECT_TRUE(Bytes(kFifoLog, mark).empty());
    EXPECT_TRUE(Bytes(kFifoDisp, mark).empty());
    EXPECT_EQ(Bytes(kFifoSts, mark), Names{kSettingReply});
    // The device stays open and watched.
    kivsim::WriteOrder order;
    WatchResponse(order);
    ExpectFullResponse(order);
}

// A device that keeps failing stays readable, so every wait returns at once and the handler runs
// again. How much that costs is measured and printed here, not judged.
TEST_F(Faults, DeviceThatKeepsFailingIsMeasured) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    int dev = kive2e::DescriptorOf(Pid(), kivsim::kTampDevice);
    ASSERT_GT(dev, 2);
    kivsim::WriteOrder order;
    WatchResponse(order);
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    struct Mode {
        const char *control;
        std::string line;
    };
    for (const Mode &m : {Mode{"read_fail", ReadFailedLine(dev)}, Mode{"eof", kReadCountZero}}) {
        SCOPED_TRACE(m.control);
        size_t from = LineMark();
        ASSERT_TRUE(unit().Switch().Set(m.control, "1000000000"));
        ASSERT_TRUE(WaitLineCount(m.line, 1)) << Dump();
        long reads0 = unit().Switch().Reads();
        long cpu0 = CpuTicks(Pid());
        long sw0 = CpuTicks(unit().Switch().Pid());
        auto wall0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        long cpu1 = CpuTicks(Pid());
        long sw1 = CpuTicks(unit().Switch().Pid());
        auto wall1 = std::chrono::steady_clock::now();
        long reads1 = unit().Switch().Reads();
        size_t logged = LineMark() - from;
        // Ending the mode may leave the monitor waiting in a read, as on the real device: the
        // next event ends that wait and must get its full response.
        ASSERT_TRUE(unit().Switch().Set(m.control, "0"));
        ExpectFullResponse(order);

        std::printf("device %s without end: over %.2f s kivtamp used %.2f s of CPU, the stand-in %.2f s; "
                    "%ld reads of the device, %zu lines logged\n",
                    m.control, std::chrono::duration<double>(wall1 - wall0).count(),
                    static_cast<double>(cpu1 - cpu0) / tick, static_cast<double>(sw1 - sw0) / tick, reads1 - reads0,
                    logged);
        RecordProperty(std::string(m.control) + "_cpu_ticks_in_5s", std::to_string(cpu1 - cpu0));
        RecordProperty(std::string(m.control) + "_reads_in_5s", std::to_string(reads1 - reads0));
        // Every failed read logged its line and nothing else; nothing but the response was sent.
        std::vector<std::string> lines = Lines(kInfo, from);
        EXPECT_GT(lines.size(), 1u);
        EXPECT_EQ(static_cast<size_t>(std::count(lines.begin(), lines.end(), m.line)), lines.size());
    }
}

// The same without the stand-in's own cost: a device that answers every read at once with end of
// file (the null device in its place, which refuses the polling time but stays open and watched).
// At level 5, so that the figure is the loop's own and not the log's (at level 6 a run logged
// about a million lines in the five seconds).
TEST_F(Faults, DeviceAtEndOfFileAnsweringAtOnceIsMeasured) {
    auto wake = Boot("5", [](kivsim::UnitOptions &o) {
        o.bindSwitch = false;
        o.tamperCheck = '0';
    });
    ASSERT_TRUE(wake) << unit().Error();
    ASSERT_EQ(symlink("/dev/null", kivsim::kTampDevice), 0);
    ASSERT_TRUE(unit().Segments().SetTamperCheck('1'));
    auto woken = unit().WakeUp();
    ASSERT_TRUE(woken) << Dump();
    EXPECT_EQ(woken->bytes, kive2e::Rec("053600" "001" "0312"));

    long cpu0 = CpuTicks(Pid());
    auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    long cpu1 = CpuTicks(Pid());
    auto wall1 = std::chrono::steady_clock::now();
    // Disabling the check closes the device; the loop goes back to waiting.
    ASSERT_TRUE(unit().Segments().SetTamperCheck('0'));
    ASSERT_TRUE(unit().ChangeSetting(1)) << Dump();
    EXPECT_TRUE(WaitBlockedIn(Pid(), SYS_pselect6));
    EXPECT_EQ(unlink(kivsim::kTampDevice), 0);
    std::printf("device at end of file at once: over %.2f s kivtamp used %.2f s of CPU\n",
                std::chrono::duration<double>(wall1 - wall0).count(),
                static_cast<double>(cpu1 - cpu0) / static_cast<double>(sysconf(_SC_CLK_TCK)));
    RecordProperty("null_device_cpu_ticks_in_5s", std::to_string(cpu1 - cpu0));
}

// ------------------------------------------------------------------ garbage in the segments

TEST_F(Faults, EveryTamperCheckByteAtStartUpAndOnASettingChange) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Up()) << unit().Error();
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE(b);
        const char check = static_cast<char>(b);
        ASSERT_TRUE(unit().Segments().SetTamperCheck(check));
        long opens = unit().Switch().Opens();
        size_t from = LineMark();
        uint64_t mark = unit().Mark();
        ASSERT_TRUE(unit().StartMonitor("6")) << unit().Error();
        auto wake = unit().WaitForWakeup(Ms(10000), mark);
        ASSERT_TRUE(wake) << Dump();
        EXPECT_EQ(wake->bytes, kive2e::Rec("053600" "000" "0312"));
        // Only '1' opens the device.
        EXPECT_EQ(unit().Switch().Opens() - opens, b == '1' ? 1 : 0);
        auto reply = unit().ChangeSetting(1);
        ASSERT_TRUE(reply) << Dump();
        EXPECT_EQ(reply->bytes, kSettingReply);
        auto exit = unit().Terminate();
        ASSERT_TRUE(exit) << unit().Error();
        EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);

        Names expected = {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n",
                          "success of shmat(pShared=0x{x})\n", "end of InitProc\n"};
        if (check != '0' && check != '1')
            expected.push_back(
                std::string("00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=") +
                check + "\n");
        for (const char *l : {"Terminate reBoot\n", "start of TermProc\n", "end of TermProc\n"}) expected.push_back(l);
        EXPECT_TRUE(kive2e::LinesMatch(Lines(kInfo, from), expected));
    }
}

TEST_F(Faults, PairKindsOutsideZeroAndOneGiveTheNormalErrorCode) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Up()) << unit().Error();
    kivsim::WriteOrder order;
    WatchResponse(order);
    // 0x01000000 reads as 1 if the bytes were taken in the wrong order.
    for (int32_t kind : {INT32_MIN, -1, 0x01000000, 2}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(unit().Segments().SetPairKind(kind));
        size_t from = LineMark();
        uint64_t mark = unit().Mark();
        ASSERT_TRUE(unit().StartMonitor("6")) << unit().Error();
        ASSERT_TRUE(unit().WaitForWakeup(Ms(10000), mark)) << Dump();
        char line[160];
        std::snprintf(line, sizeof line,
                      "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x%x \n",
                      static_cast<unsigned>(kind));
        EXPECT_TRUE(kive2e::LinesMatch(Lines(kInfo, from),
                                       {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n",
                                        "success of shmat(pShared=0x{x})\n", line, "end of InitProc\n"}));
        ExpectFullResponse(order); // error code 0x21
        auto exit = unit().Terminate();
        ASSERT_TRUE(exit && exit->Exited(0)) << unit().Error();
    }
}

// Without the key file no segment can be named: start-up fails as with a missing segment.
TEST_F(Faults, MissingKeyFileFailsTheStartUp) {
    ASSERT_TRUE(Up()) << unit().Error();
    const std::string away = std::string(kivsim::kShmKeyFile) + ".away";
    // Moved aside, not removed: the same file (so the same keys) comes back afterwards.
    ASSERT_EQ(rename(kivsim::kShmKeyFile, away.c_str()), 0);
    ASSERT_TRUE(unit().StartMonitor("6")) << unit().Error();
    auto exit = unit().WaitExit(Ms(10000));
    ASSERT_EQ(rename(away.c_str(), kivsim::kShmKeyFile), 0);
    ASSERT_TRUE(exit);
    EXPECT_TRUE(exit->Exited(1)) << kivsim::Describe(*exit);
    ASSERT_TRUE(unit().Records().WaitCount(kFifoSts, 605, 1, Ms(5000)));
    SyncPeers();
    EXPECT_EQ(Bytes(kFifoStsp), Names{kive2e::Rec("053600" "001" "0312")});
    EXPECT_EQ(Bytes(kFifoSts), Names{kive2e::Rec("053605" "000")});
    EXPECT_TRUE(kive2e::LinesMatch(Lines(kInfo), kive2e::kConfigUnreachableLines));
    EXPECT_EQ(unit().Switch().Opens(), 0);
}

// ------------------------------------------------------------------ signals

// A terminating signal that arrives while a tamper response waits for room in the error log's
// pipe stays pending until the response is complete; then it ends the process by its default
// action.
class SignalDuringResponse : public Faults, public testing::WithParamInterface<int> {};

TEST_P(SignalDuringResponse, WaitsForTheWholeResponse) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    const int sig = GetParam();
    ASSERT_TRUE(Boot()) << unit().Error();
    int fillers = BlockErrorLog();
    ASSERT_GT(fillers, 0);
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1));
    ASSERT_TRUE(WaitBlockedIn(Pid(), SYS_write)) << Dump();

    ASSERT_EQ(kill(Pid(), sig), 0);
    // Outside the wait every signal the process can block is blocked, so this one is held.
    EXPECT_EQ(MaskMismatch(SigSet(Pid(), "SigBlk"), [](int s) { return s != SIGKILL && s != SIGSTOP; }), "");
    EXPECT_NE((SigSet(Pid(), "SigPnd") | SigSet(Pid(), "ShdPnd")) & Bit(sig), 0u);
    EXPECT_TRUE(unit().Monitor().Running());

    unit().ErrLog().Resume();
    auto exit = unit().WaitExit(Ms(10000));
    ASSERT_TRUE(exit) << Dump();
    EXPECT_EQ(exit->signal, sig) << kivsim::Describe(*exit);
    SyncPeers();
    Names log = Bytes(kFifoLog, mark);
    ASSERT_EQ(log.size(), static_cast<size_t>(fillers) + 1);
    EXPECT_TRUE(IsErrLogRecord(log.back(), 0x21));
    EXPECT_EQ(Bytes(kFifoDisp, mark), Names{kDisplayRecord});
    // The whole response, and no terminate-complete: the process ended by the signal.
    EXPECT_EQ(Bytes(kFifoSts, mark), Names{kErrorStatusRecord});
}

INSTANTIATE_TEST_SUITE_P(Faults, SignalDuringResponse, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int> &i) { return std::string(sigabbrev_np(i.param)); });

// Signals other than the seven let through stay blocked even while the loop waits: they neither
// end the process nor disturb it, and a terminate command still ends it cleanly.
TEST_F(Faults, OtherSignalsStayBlockedDuringTheWait) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    ASSERT_TRUE(WaitBlockedIn(Pid(), SYS_pselect6)) << Dump();
    EXPECT_EQ(MaskMismatch(SigSet(Pid(), "SigBlk"), [](int s) { return !LetThrough(s); }), "");

    const std::vector<int> others = {SIGQUIT, SIGUSR2, SIGPIPE,  SIGALRM,  SIGTSTP, SIGTTIN,
                                     SIGXCPU, SIGVTALRM, SIGPROF, SIGIO, SIGRTMIN, SIGRTMAX};
    uint64_t sent = 0;
    for (int sig : others) {
        int host = kive2e::HostSignal(sig);
        if (host == 0) continue; // beyond the signals the emulator carries
        ASSERT_EQ(kill(Pid(), host), 0);
        sent |= Bit(host);
    }
    EXPECT_EQ((SigSet(Pid(), "SigPnd") | SigSet(Pid(), "ShdPnd")) & sent, sent);
    EXPECT_TRUE(unit().Monitor().Running());

    kivsim::WriteOrder order;
    WatchResponse(order);
    ExpectFullResponse(order);
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    auto exit = unit().Terminate();
    ASSERT_TRUE(exit) << unit().Error();
    EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    ASSERT_TRUE(unit().Records().WaitCount(kFifoSts, 605, 1, Ms(5000)));
}

// ------------------------------------------------------------------ load

const std::string kWakeupRecord = kive2e::Rec("053600" "000" "0312");

std::string BadEventLine(unsigned char event) {
    char line[80];
    std::snprintf(line, sizeof line, "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x%x\n", event);
    return line;
}

// 10 000 event bytes queued at once while the supervisor keeps sending commands, one after the
// other's reply: every opening gets its whole response, every other byte its line, every command
// its answer, and no record is lost, cut or mixed into another response.
TEST_F(Faults, EventStormWhileCommandsKeepArriving) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    kivsim::WriteOrder order;
    for (std::string_view p : {kFifoLog, kFifoDisp, kFifoSts, kFifoStsp}) ASSERT_TRUE(order.Watch(p));
    order.Clear();
    // Every fifth byte is something other than an opening.
    const unsigned char others[] = {0, 2, 0x80, 0xff};
    std::string events;
    size_t openings = 0;
    std::vector<std::string> expectedLines;
    for (int i = 0; i < 10000; ++i) {
        unsigned char e = i % 5 == 4 ? others[(i / 5) % 4] : 1;
        events.push_back(static_cast<char>(e));
        if (e == 1) ++openings;
        else expectedLines.push_back(BadEventLine(e));
    }
    const uint64_t mark = unit().Mark();
    const long reads0 = unit().Switch().Reads();

    // The write order is read all along, so the kernel's queue of watch events never overflows.
    std::atomic<bool> stormOver{false};
    std::thread drain([&] {
        while (!stormOver) {
            (void)order.Names(0, Ms(0));
            std::this_thread::sleep_for(Ms(20));
        }
    });
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(unit().Switch().Inject(events)) << unit().Switch().Error();
    size_t settings = 0;
    size_t wakeups = 0;
    bool answered = true;
    while (answered && !unit().Records().WaitCount(kFifoSts, 609, openings, Ms(0), mark)) {
        if ((settings + wakeups) % 2 == 0) {
            ++settings;
            answered = unit().Send(901, 0) && unit().Records().WaitCount(kFifoSts, 621, settings, Ms(60000), mark);
        } else {
            ++wakeups;
            answered = unit().Send(902, 0) && unit().Records().WaitCount(kFifoStsp, 600, wakeups, Ms(60000), mark);
        }
    }
    ASSERT_TRUE(answered) << "command " << settings + wakeups << " not answered";
    ASSERT_TRUE(unit().Records().WaitCount(kFifoSts, 609, openings, Ms(120000), mark)) << "storm not answered";
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    ++settings;
    stormOver = true;
    drain.join();
    std::printf("event storm: %zu openings and %zu other bytes answered in %.2f s, with %zu commands\n", openings,
                events.size() - openings, std::chrono::duration<double>(took).count(), settings + wakeups);

    EXPECT_EQ(unit().Switch().Reads() - reads0, 10000);
    EXPECT_EQ(unit().Switch().Queued(), 0);
    EXPECT_FALSE(unit().CardMasterExists());
    Names log = Bytes(kFifoLog, mark);
    EXPECT_EQ(log.size(), openings);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string &r) { return IsErrLogRecord(r, 0x21); }),
              static_cast<long>(openings));
    EXPECT_EQ(Bytes(kFifoDisp, mark), Names(openings, kDisplayRecord));
    Names sts = Bytes(kFifoSts, mark);
    EXPECT_EQ(sts.size(), openings + settings);
    EXPECT_EQ(static_cast<size_t>(std::count(sts.begin(), sts.end(), kErrorStatusRecord)), openings);
    EXPECT_EQ(static_cast<size_t>(std::count(sts.begin(), sts.end(), kSettingReply)), settings);
    EXPECT_EQ(Bytes(kFifoStsp, mark), Names(wakeups, kWakeupRecord));
    std::vector<std::string> lines = Lines(kInfo, from);
    std::sort(lines.begin(), lines.end());
    std::sort(expectedLines.begin(), expectedLines.end());
    EXPECT_TRUE(lines == expectedLines) << lines.size() << " lines, " << expectedLines.size() << " expected";

    // Each response wrote the error log, the display and the supervisor, one right after the
    // other: nothing else came between.
    Names seq = Squeezed(order.Names());
    size_t responses = 0;
    for (size_t i = 0; i < seq.size(); ++i) {
        if (seq[i] != "FifoLog") continue;
        ++responses;
        ASSERT_TRUE(i + 2 < seq.size() && seq[i + 1] == "FifoDisp" && seq[i + 2] == "FifoSts") << "at write " << i;
    }
    EXPECT_EQ(responses, openings);
}

// Several supervisors' worth of writers on the command pipe at once: every record arrives whole,
// so every command is answered and no mixed record is seen.
TEST_F(Faults, SeveralWritersOnTheCommandPipeNeverInterleave) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    size_t from = LineMark();
    constexpr int kWriters = 4;
    constexpr int kEach = 300;
    // Writer w sends, in turn, a setting command, a wake-up and a record from module 81; the data
    // after data[0] is the writer's own letter, so a mixed record could not pass for a good one.
    std::vector<std::string> batches(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kEach; ++i) {
            std::string data(kivsim::kDataSize, static_cast<char>('A' + w));
            int kind = i % 3;
            data[0] = static_cast<char>(kind == 2 ? w : 0);
            batches[w] += kivsim::MakeRecord(kind == 2 ? 81 : 80, kind == 1 ? 902 : 901, data);
        }
    }
    const uint64_t mark = unit().Mark();
    const std::string path = kivsim::PipePath(kFifoTamp);
    std::vector<pid_t> pids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Only plain system calls here: the test process has threads.
            int fd = open(path.c_str(), O_WRONLY);
            if (fd < 0) _exit(2);
            const char *p = batches[w].data();
            for (int i = 0; i < kEach; ++i, p += kivsim::kRecordSize)
                if (write(fd, p, kivsim::kRecordSize) != static_cast<ssize_t>(kivsim::kRecordSize)) _exit(3);
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "writer status " << st;
    }
    const size_t perKind = kWriters * kEach / 3;
    ASSERT_TRUE(unit().Records().WaitCount(kFifoSts, 621, perKind, Ms(60000), mark)) << Dump();
    ASSERT_TRUE(unit().Records().WaitCount(kFifoStsp, 600, perKind, Ms(60000), mark)) << Dump();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();

    EXPECT_EQ(Bytes(kFifoSts, mark), Names(perKind + 1, kSettingReply));
    EXPECT_EQ(Bytes(kFifoStsp, mark), Names(perKind, kWakeupRecord));
    std::vector<std::string> expected;
    for (int w = 0; w < kWriters; ++w) {
        char line[120];
        std::snprintf(line, sizeof line, "00008,FifoReadFunc,message format err(iMod_id:081/iCmd_id:901/data[0]:0x%x)\n", w);
        for (int i = 0; i < kEach / 3; ++i) expected.push_back(line);
    }
    std::vector<std::string> lines = Lines(kInfo, from);
    std::sort(lines.begin(), lines.end());
    EXPECT_TRUE(kive2e::LinesMatch(lines, expected));
}

} // namespace
