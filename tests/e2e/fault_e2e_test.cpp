// Faults around the running monitor, end to end: peers that stop reading or vanish, a failing
// device, garbage in the segments, signals in the middle of a tamper response, an event storm and
// several writers on the command pipe at once. The real kivtamp runs in the simulated unit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

// Under an emulator the process the kernel sees is the emulator, whose own signal mask says
// nothing about the monitor's.
bool Native() { return kive2e::DefaultOptions().emulator.empty(); }

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
    for (int s : NamedSignals())
        if (((mask & Bit(s)) != 0) != blocked(s)) out += " " + std::to_string(s);
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

TEST_F(Faults, ErrorLogWhoseProcessDiedLeavesTheResponseWaitingForAReader) {
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

} // namespace
