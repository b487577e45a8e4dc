// SPDX-License-Identifier: MIT
// The real kivtamp binary in the simulated unit, one scenario row each: start-up variants, the log
// level, the supervisor's commands, the tamper response, peers that stop reading or vanish, the
// device failing, and signals in the middle of a response or during the wait. Each row gets a unit
// of its own; the runner plays its steps and checks, for every row:
//  - every record the peers received, byte for byte, in order on each pipe;
//  - the order of writes across pipes, with the deletion of the card master file and the flush of
//    the file systems in their places;
//  - every priority-6 line, and at level 7 that there are trace lines;
//  - the exit status and whether the card master file is there;
//  - the working directory after start-up and after every step while the monitor runs;
//  - the device's counts at the end (defaults below) and the polling-time byte of its
//    configuration.
// A row states only what differs from the defaults, and says why.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "decode.h"
#include "kivtest.h"
#include "unit.h"

namespace {

using namespace kivsim;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// One step: actions, then the records and priority-6 lines they cause, waited for in that order.
// Actions are words, some with an argument after a colon (a word the runner does not know fails
// the row):
//   send:901/01 send:081:900/00  a command record (from module 80 unless given; data[0] in hex)
//   event:01 event:0102          switch events, waited for until the device has read them
//   queue:01                     a switch event, not waited for
//   fail-reads:N eof-reads:N     the next N device reads fail / return end of file (waited for);
//                                N "always": every read from now on (not waited for)
//   paced:MS                     over 600 ms of failing reads, the reads come MS apart (median)
//                                and take under 1 % of a CPU
//   flood-event:01               the event during a continuous flood of 901/01, read within 2 s
//                                while the flood lasts; every record of the flood is answered
//   steal:200                    a second reader of the command pipe takes what it can of 200
//                                901/00 sent a millisecond apart; the rest are answered
//   release-pipe hold-pipe       the supervisor lets go of / holds again the command pipe's writer
//   file-for:FifoLog             a regular file made in the pipe's place
//   remove:FifoLog restore:FifoLog  the peer gone with its pipe / back (nothing made meanwhile)
//   orphan:FifoLog               the pipe made again with nobody reading it
//   fill:FifoLog resume:FifoLog  the pipe's reader pauses with the pipe filled / resumes
//   check:C                      CONFIG's tamper-check byte C
//   unbind bind ioctl-fails ioctl-works   the device absent / present, its configuration fails
//   make-card-master card-master-dir      the file made / replaced by a non-empty directory
//   in:pselect                   wait until the monitor sleeps in its wait
//   signals:15,2                 signals sent, each of which must stay pending
//   signal:15                    a signal sent
//   blocked:wait                 blocked are all signals but those the wait lets through
//   idle                         the monitor takes no CPU time over 300 ms
//   empty-file:FifoLog           the regular file there is empty (then removed)
//   note-fds                     descriptors of command pipe and device above 2, the device held
//                                once opened; {p} and {v} in expected lines name them
//   sleep:MS                     time passes
// Records, in write order: awake, awake-failed (wake-up status 0 / 1), reply (setting change),
// terminated, alarm (error status 609), display (151), errlog (054 with code 0x21 and the time of
// the run), errlog-22 (code 0x22), filler and sts-filler (what fill: wrote into FifoLog /
// FifoSts); deleted (the card master file) and synced (the file systems flushed) show only in the
// order of writes.
struct Step {
    std::string act, recs;
    Lines lines;
    std::string raw = {}; // bytes written to the command pipe before the actions, as they are
};

// Start-up words: arg:X level argument (6 unless given), no-arg; level:N the level in force;
// stdio-closed descriptors 0-2 closed; memcheck under the memory checker; terminate-with:1
// data[0] of the final terminate. Other words are actions on the unit before the start: check:C,
// unbind, ioctl-fails as above; pair-kind:N; gone:config gone:other gone:key gone:command-pipe.
// Unless exit is not 0, the row ends with a terminate command answered by "terminated".
struct Row {
    const char *name;
    std::string setup;
    std::vector<Step> steps;
    // Device counts that differ from the defaults: opened, configured and closed once, every event
    // and fault read once (any: not counted), nothing left queued.
    std::string device = {};
    int exit = 0;                  // exit code, or minus the signal that ended it
    Step boot = {"", "awake", {}}; // no lines: those of a start-up that went well
    const char *golden = nullptr;  // file under tests/e2e/golden: the whole priority-7 output
};

const Lines kBoot = {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n", "success of shmat(pShared=0x{x})\n",
                     "end of InitProc\n"};
const Lines kShutdown = {"Terminate reBoot\n", "start of TermProc\n", "end of TermProc\n"};
const std::string kResponse = "deleted synced errlog display alarm";
const std::string kAlarms = "errlog display alarm";

// The binary under test, the words run in front of it ('|' between them: a target binary's
// emulator), the memory checker if this build has one, and the library that marks the flush.
#ifndef KIVTAMP_PATH
#error "KIVTAMP_PATH must name the kivtamp binary under test"
#endif

const std::string kEntry = std::string(kCardMasterFile) + "/entry";
const std::string kKeyAway = std::string(kShmKeyFile) + ".away";
const std::string kSyncMark = "/usr/local/zk/ap/conf/synced"; // sim/sync_mark.c
const std::string kConfDir = "/usr/local/zk/ap/conf";
constexpr int kPollTime = '2';          // the device's polling-time byte
constexpr long kAlways = 1'000'000'000; // device reads that fail: as good as for ever

std::string Rec(std::string head) { return head.append(kRecordSize - head.size(), ' '); }
struct RecDef {
    const char *word;
    std::string_view pipe;
    std::string bytes;
};
// clang-format off
const RecDef kRecs[] = {
    {"awake", kFifoStsp, Rec("0536000000312")}, {"awake-failed", kFifoStsp, Rec("0536000010312")},
    {"reply", kFifoSts, Rec("053621")},         {"terminated", kFifoSts, Rec("053605000")},
    {"alarm", kFifoSts, Rec("053609\x05\x01")}, {"display", kFifoDisp, Rec("0531510625 00000000")},
    {"filler", kFifoLog, MakeRecord(99, 999, "filler")}, {"sts-filler", kFifoSts, MakeRecord(99, 999, "filler")},
    {"errlog", kFifoLog, ""},                   {"errlog-22", kFifoLog, ""}};
// clang-format on

Lines Split(std::string s, char sep = ' ') {
    std::replace(s.begin(), s.end(), sep, ' ');
    std::istringstream in(s);
    Lines out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string StampNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now); // the monitor's clock: time() may lag it by a tick
    std::tm t{};
    char buf[32];
    (void)std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", localtime_r(&now.tv_sec, &t));
    return buf;
}

// Whether text t matches pattern p: literal text in which "{x}" stands for hex digits (an address)
// and "{d}" for decimal digits (a process or segment id).
bool Matches(std::string_view t, std::string_view p) {
    const size_t at = std::min(p.find("{x}"), p.find("{d}"));
    if (at == std::string_view::npos) return p == t;
    const std::string_view digits = p[at + 1] == 'x' ? "0123456789abcdef" : "0123456789";
    size_t end = at;
    while (end < t.size() && digits.find(t[end]) != std::string_view::npos) ++end;
    return t.substr(0, at) == p.substr(0, at) && end > at && Matches(t.substr(end), p.substr(at + 3));
}

// A log text as one line of a transcript: bytes other than printable ones as \xHH, trailing spaces
// counted, and a text that does not end its line marked.
std::string Escaped(std::string_view text) {
    const bool ended = text.ends_with('\n');
    if (ended) text.remove_suffix(1);
    const size_t body = text.find_last_not_of(' ') + 1;
    std::string out = Printable(text.substr(0, body));
    const size_t spaces = text.size() - body;
    if (spaces > 0) out += "{" + std::to_string(spaces) + (spaces == 1 ? " space}" : " spaces}");
    return ended ? out : out + "{no newline}";
}

uint64_t Bit(int sig) { return 1ull << (sig - 1); }
// Behind the emulator the kernel sees the emulator's signals: the monitor's real-time signal 32 + k
// is the host's SIGRTMIN + k (its top two have no host number, 0), and the emulator keeps SEGV and
// BUS open for itself whatever the monitor blocks.
const bool kEmulated = *KIVTAMP_EMULATOR != '\0';
// The flush shows among the writes where the marker library is preloaded: into a host monitor,
// and through the emulator's words into a target one (not on the board, whose lanes leave the
// flush and the golden transcript to the others).
const bool kFlushMarked = *KIVTAMP_PRELOAD != '\0' || kEmulated;
int HostSignal(int sig) {
    if (!kEmulated || sig < 32) return sig;
    const int host = sig - 32 + SIGRTMIN;
    return host <= SIGRTMAX ? host : 0;
}

bool Until(const auto &done) {
    for (auto end = std::chrono::steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

struct Scenario {
    const Row &row;
    std::unique_ptr<Unit> unit;
    WriteOrder order;
    Lines lines, orderWant;
    std::map<std::string_view, Lines> want;
    std::string t0 = StampNow();
    std::string startDir = std::filesystem::current_path().string();
    pid_t pid = -1;
    int level = 6, fillers = 0, pipeFd = -1, devFd = -1;
    long reads = 0; // device reads the steps cause
    bool readsCounted = true, card = true, movedKey = false, made = false, responded = false, flooded = false;
    bool configRefused = false; // a configuration was refused: a driver then keeps its own period

    explicit Scenario(const Row &r) : row(r) {}
    MonitorProcess &Mon() const { return unit->Monitor(); }
    // Pending for the process, or for the whole group; the C library's two signals are never looked at.
    bool Pending(int sig) const { return ((Mon().Signals("SigPnd") | Mon().Signals("ShdPnd")) & Bit(sig)) != 0; }
    ~Scenario() {
        rmdir(kEntry.c_str());
        rmdir(kCardMasterFile);
        if (movedKey) (void)rename(kKeyAway.c_str(), kShmKeyFile);
    }

    // Patterns with the descriptors the process holds in place of "{p}" (pipe) and "{v}" (device).
    Lines Sub(Lines patterns) const {
        for (std::string &p : patterns)
            for (auto [k, v] : {std::pair{"{p}", pipeFd}, std::pair{"{v}", devFd}})
                for (size_t at; (at = p.find(k)) != std::string::npos;) p.replace(at, 3, std::to_string(v));
        return patterns;
    }

    std::string Word(const Received &r) const {
        for (const RecDef &d : kRecs)
            if (d.pipe == r.pipe && d.bytes == r.bytes) return d.word;
        // The error-log record carries the local date and time of the response, within the run.
        const std::string stamp = r.bytes.size() == kRecordSize ? r.bytes.substr(6, 14) : "";
        const bool inRun =
            stamp.find_first_not_of("0123456789") == std::string::npos && t0 <= stamp && stamp <= StampNow();
        for (auto [word, code] : {std::pair{"errlog", '\x21'}, std::pair{"errlog-22", '\x22'}})
            if (inRun && r.pipe == kFifoLog && r.bytes == Rec("053054" + stamp + code + '\x01')) return word;
        return r.pipe + ":" + r.bytes;
    }

    // Adds what a step causes to what the run must show, and waits for it to be there.
    bool Expect(const Step &s, bool logged) {
        for (const std::string &w : Split(s.recs)) {
            const auto *const def = std::ranges::find_if(kRecs, [&](const RecDef &d) { return w == d.word; });
            card = card && w != "deleted";
            responded = responded || w == "synced";
            if (w == "deleted" || w == "synced") {
                if (w == "deleted" || kFlushMarked)
                    orderWant.emplace_back(w == "deleted" ? "cardmaster.dat" : "synced");
            } else if (def == std::end(kRecs)) {
                ADD_FAILURE() << "no record is called " << w;
                return false;
            } else {
                const bool filler = w.ends_with("filler");
                want[def->pipe].insert(want[def->pipe].end(), filler ? static_cast<size_t>(fillers) : 1, w);
                if (!filler) orderWant.emplace_back(def->pipe);
            }
        }
        for (const std::string &l : Sub(s.lines)) lines.insert(lines.end(), logged ? 1 : 0, l);
        auto arrived = [&](auto &w) { return unit->Records().Count(w.first) >= w.second.size(); };
        if (Until([&] { return kivtest::Logged(6, pid).size() >= lines.size() && std::ranges::all_of(want, arrived); }))
            return true;
        // What did arrive, against what was expected.
        CheckRecords();
        CheckLines();
        return false;
    }

    // Over 600 ms of failing reads the monitor pauses `apart` ms between two reads (the shortest
    // gap but the first, which may come before the pause; a busy machine only lengthens the others)
    // and takes under 1 % of a CPU.
    bool Paced(long apart) const {
        const long long from = TampSwitch::NowMs();
        const long long cpu = Mon().CpuNs();
        std::this_thread::sleep_for(600ms);
        const long long used = Mon().CpuNs() - cpu;
        std::vector<long long> times = unit->Switch().ReadTimes();
        if (times.empty()) return true; // a backend that keeps no read times (the board's driver)
        std::vector<long long> gaps;
        std::erase_if(times, [&](long long t) { return t < from; });
        for (size_t i = 2; i < times.size(); ++i) gaps.push_back(times[i] - times[i - 1]);
        const long long shortest = gaps.size() < 2 ? 0 : *std::min_element(gaps.begin(), gaps.end());
        EXPECT_TRUE(shortest >= apart * 95 / 100 && shortest <= apart * 130 / 100)
            << "reads " << shortest << " ms apart at the least: " << testing::PrintToString(gaps);
        EXPECT_LT(used, 6'000'000) << "CPU time in ns over 600 ms";
        return true;
    }

    bool FloodWith(unsigned char event) {
        const int fd = open(PipePath(kFifoTamp).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        Flood flood(fd, MakeRecord(kModSupervisor, 901, "\x01"));
        std::this_thread::sleep_for(100ms);
        const long before = unit->Switch().Reads();
        const bool ok = unit->Switch().Inject(std::string(1, static_cast<char>(event))) &&
                        unit->Switch().WaitForCount("reads", before + 1, 2s);
        // Replies came before the response and may come after it; they are counted, not placed.
        want[kFifoSts].insert(want[kFifoSts].end(), static_cast<size_t>(flood.Stop()), "reply");
        orderWant.emplace_back(kFifoSts);
        flooded = true;
        ++reads;
        return close(fd) == 0 && ok;
    }

    // Another reader of the command pipe steals what it can of n commands (901 with data[0] 0)
    // sent a millisecond apart; the monitor answers the rest.
    bool Stolen(int n) {
        const int thief = open(PipePath(kFifoTamp).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::atomic<bool> stop{false};
        long stolen = 0;
        std::thread steal([&] {
            std::array<char, kRecordSize> buf{};
            pollfd ready{thief, POLLIN, 0};
            while (!stop)
                if (poll(&ready, 1, 5) > 0 && read(thief, buf.data(), buf.size()) == static_cast<ssize_t>(kRecordSize))
                    ++stolen;
        });
        bool sent = true;
        for (int i = 0; sent && i < n; ++i) {
            sent = unit->Send(901, 0);
            std::this_thread::sleep_for(1ms);
        }
        stop = true;
        steal.join();
        // The replies to the commands the monitor got are counted, not placed.
        want[kFifoSts].insert(want[kFifoSts].end(), static_cast<size_t>(n - stolen), "reply");
        if (stolen < n) orderWant.emplace_back(kFifoSts);
        flooded = true;
        return close(thief) == 0 && sent;
    }

    bool Events(const std::string &hex, bool wait) {
        std::string ev;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            ev += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        const long before = unit->Switch().Reads();
        reads += static_cast<long>(ev.size());
        return unit->Switch().Inject(ev) &&
               (!wait || unit->Switch().WaitForCount("reads", before + static_cast<long>(ev.size()), 10s));
    }

    // Device reads that fail or end the file: n of them (waited for), or always.
    bool Faults(bool fail, const std::string &n) {
        TampSwitch &sw = unit->Switch();
        const long count = n == "always" ? kAlways : std::stol(n);
        const long before = sw.Reads();
        if (n == "always")
            readsCounted = false;
        else
            reads += count;
        const bool set = fail ? sw.SetReadFail(count) : sw.SetEof(count);
        return set && (n == "always" || sw.WaitForCount("reads", before + count, 10s));
    }

    bool Fill(std::string_view pipe) {
        unit->Reader(pipe)->Pause();
        const int fd = open(PipePath(pipe).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string &f = kRecs[6].bytes;
        for (fillers = 0; write(fd, f.data(), f.size()) == static_cast<ssize_t>(f.size());) ++fillers;
        orderWant.emplace_back(pipe);
        return close(fd) == 0 && fillers > 0;
    }

    bool SignalsHeld(const std::string &list) const {
        return std::ranges::all_of(Split(list, ','), [&](const std::string &s) {
            const int host = HostSignal(std::stoi(s));
            return host == 0 || (kill(pid, host) == 0 && Pending(host));
        });
    }

    // The wait lets through the timer signal, the stop and termination signals and child exits.
    bool BlockedButWhatTheWaitLetsThrough() const {
        const uint64_t through =
            Bit(SIGKILL) | Bit(SIGSTOP) | Bit(SIGUSR1) | Bit(SIGHUP) | Bit(SIGINT) | Bit(SIGTERM) | Bit(SIGCHLD);
        uint64_t blocked = 0;
        const uint64_t seen = (kEmulated ? ~(Bit(SIGSEGV) | Bit(SIGBUS)) : ~0ull) & ~(Bit(32) | Bit(33));
        for (int sig = 1; sig <= 64; ++sig)
            if ((through & Bit(sig)) == 0 && sig != 32 && sig != 33 && HostSignal(sig) != 0)
                blocked |= Bit(HostSignal(sig));
        return (Mon().Signals("SigBlk") & seen) == (blocked & seen);
    }

    bool CpuStill(std::chrono::milliseconds span) const {
        const long long cpu = Mon().CpuNs();
        std::this_thread::sleep_for(span);
        return Mon().CpuNs() == cpu;
    }

    // In the wait and asleep there: its CPU time stands still for 20 ms (a poll of the device waits
    // for the stand-in's answer inside pselect, and goes on once it has it).
    bool AsleepInTheWait() const {
        return Until([&] { return CpuStill(20ms) && Mon().Syscall() == SYS_pselect6; });
    }

    bool NoteDescriptors() {
        pipeFd = Mon().DescriptorOf(PipePath(kFifoTamp));
        devFd = Mon().DescriptorOf(kTampDevice);
        return pipeFd > 2 && (devFd > 2) == (unit->Switch().Opens() > 0);
    }

    bool SendCommand(const std::string &arg) const {
        int mod = 80;
        int cmd = 0;
        unsigned d = 0;
        const std::string f = arg.find(':') == std::string::npos ? "80:" + arg : arg;
        return sscanf(f.c_str(), "%d:%d/%x", &mod, &cmd, &d) == 3 &&
               unit->Sts().SendRecord(mod, cmd, std::string(1, static_cast<char>(d)));
    }

    // The card master file replaced by a directory that cannot be removed; its removal is ours.
    bool CardMasterDir() {
        orderWant.emplace_back("cardmaster.dat");
        return unlink(kCardMasterFile) == 0 && mkdir(kCardMasterFile, 0755) == 0 && mkdir(kEntry.c_str(), 0755) == 0;
    }

    bool Do(const std::string &step) {
        const size_t colon = step.find(':');
        const std::string w = step.substr(0, colon);
        const std::string a = colon == std::string::npos ? "" : step.substr(colon + 1);
        TampSwitch &sw = unit->Switch();
        if (w == "send") return SendCommand(a);
        if (w == "event" || w == "queue") return Events(a, w == "event");
        if (w == "fail-reads" || w == "eof-reads") return Faults(w == "fail-reads", a);
        if (w == "paced") return Paced(std::stol(a));
        if (w == "steal") return Stolen(std::stoi(a));
        if (w == "flood-event") return FloodWith(static_cast<unsigned char>(std::stoi(a, nullptr, 16)));
        if (w == "release-pipe") return unit->Sts().ReleaseCommandPipe();
        if (w == "hold-pipe") return unit->Sts().HoldCommandPipe();
        if (w == "file-for") return std::ofstream(PipePath(a)).good();
        if (w == "remove") return unit->RemovePeer(a);
        // A send to a peer that is gone must leave nothing in its place.
        if (w == "restore")
            return (made || access(PipePath(a).c_str(), F_OK) != 0) && unit->RestorePeer(a) && order.Watch(a);
        if (w == "orphan") return (made = mkfifo(PipePath(a).c_str(), 0666) == 0) && order.Watch(a);
        if (w == "fill") return Fill(a);
        if (w == "resume") return unit->Reader(a)->Resume();
        if (w == "check") return unit->Segments().SetTamperCheck(a[0]);
        if (w == "pair-kind") return unit->Segments().SetPairKind(static_cast<int32_t>(std::stoll(a)));
        if (w == "gone" && a == "key") return movedKey = rename(kShmKeyFile, kKeyAway.c_str()) == 0;
        if (w == "gone" && a == "command-pipe") return unit->Sts().RemoveCommandPipe();
        if (w == "gone") return unit->Segments().Remove(a == "config" ? kProjConfig : kProjOther);
        if (w == "unbind") return sw.Unbind();
        if (w == "bind") return sw.Bind();
        if (w == "ioctl-fails" || w == "ioctl-works") {
            configRefused = configRefused || w == "ioctl-fails";
            return sw.SetIoctlFail(w == "ioctl-fails");
        }
        if (w == "make-card-master") return card = unit->CreateCardMaster();
        if (w == "card-master-dir") return CardMasterDir();
        if (w == "in") return a == "pselect" && AsleepInTheWait();
        if (w == "signals") return SignalsHeld(a);
        if (w == "signal") return kill(pid, HostSignal(std::stoi(a))) == 0;
        if (w == "blocked") return a == "wait" && BlockedButWhatTheWaitLetsThrough();
        if (w == "idle") return CpuStill(300ms);
        if (w == "empty-file") { // a regular file that received nothing, removed once looked at
            const std::filesystem::path file = PipePath(a);
            return std::filesystem::is_regular_file(file) && std::filesystem::file_size(file) == 0 &&
                   std::filesystem::remove(file);
        }
        if (w == "note-fds") return NoteDescriptors();
        if (w == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(a)));
            return true;
        }
        ADD_FAILURE() << "no step is called " << w;
        return false;
    }

    // Only a tamper response moves the process into the card master file's directory.
    void CheckWorkingDirectory(const char *when) const {
        EXPECT_EQ(Mon().Cwd(), responded ? kConfDir : startDir) << when;
    }

    void Go() {
        UnitOptions o{.kivtamp = KIVTAMP_PATH, .emulator = Split(KIVTAMP_EMULATOR, '|'), .syslog = &kivtest::Syslog()};
        if (*KIVTAMP_PRELOAD != '\0')
            o.emulator = {"env", std::string("LD_PRELOAD=") + KIVTAMP_PRELOAD, "ASAN_OPTIONS=verify_asan_link_order=0"};
        Lines setup = Split(row.setup);
        Lines actions;
        auto has = [&](const char *t) { return std::find(setup.begin(), setup.end(), t) != setup.end(); };
        std::optional<std::string> arg = "6";
        for (const std::string &t : setup) {
            if (t.rfind("arg:", 0) == 0)
                arg = t.substr(4);
            else if (t == "no-arg")
                arg.reset();
            else if (t.rfind("level:", 0) == 0)
                level = t[6] - '0';
            else if (t == "stdio-closed")
                o.emulator.insert(o.emulator.begin(), {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
            else if (t == "memcheck")
                o.emulator.insert(o.emulator.end(),
                                  {KIVTAMP_VALGRIND, "-q", "--leak-check=full", "--show-leak-kinds=all",
                                   "--errors-for-leak-kinds=all", "--error-exitcode=99"});
            else if (t != "terminate-with:1")
                actions.push_back(t);
        }

        unit = std::make_unique<Unit>(o);
        ASSERT_TRUE(unit->Up()) << unit->Error();
        for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp}) order.Watch(p);
        order.WatchRemoval(kCardMasterFile);
        order.WatchRemoval(kSyncMark);
        for (const std::string &t : actions) ASSERT_TRUE(Do(t)) << t;
        ASSERT_TRUE(unit->StartMonitor(arg)) << unit->Error();
        pid = unit->Monitor().Pid();
        const Lines &boot = row.boot.lines.empty() && level >= 6 ? kBoot : row.boot.lines;
        ASSERT_TRUE(Expect({"", row.boot.recs, boot}, true)) << "start-up";
        // A row that ends by itself is looked at only while it is sure to run.
        const size_t running = row.exit == 0 ? row.steps.size() + 1 : row.steps.size();
        if (running > 0) CheckWorkingDirectory("after start-up");
        for (size_t i = 0; i < row.steps.size(); ++i) {
            const Step &s = row.steps[i];
            ASSERT_TRUE(s.raw.empty() || unit->SendRaw(s.raw)) << unit->Error();
            for (const std::string &t : Split(s.act)) ASSERT_TRUE(Do(t)) << s.act << ": " << t;
            ASSERT_TRUE(Expect(s, level >= 6)) << s.act;
            if (i + 1 < running) CheckWorkingDirectory(s.act.c_str());
        }
        if (row.exit == 0) {
            const bool sent = unit->Send(900, has("terminate-with:1") ? 1 : 0);
            ASSERT_TRUE(sent && Expect({"", "terminated", kShutdown}, level >= 6)) << "terminate";
        }
        auto end = unit->WaitExit(30s);
        ASSERT_TRUE(end) << "still running";
        EXPECT_EQ(row.exit < 0 ? end->signal : end->code, std::abs(row.exit)) << Describe(*end);
        Check();
    }

    void CheckRecords() {
        for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp, kFifoFtp}) {
            if (PipeReader *r = unit->Reader(p)) r->Sync();
            Lines got;
            Lines &w = want[p];
            for (const Received &r : unit->Records().On(p)) got.push_back(Word(r));
            if (flooded) {
                // Replies to a flood or to what a thief left are counted; the other records keep their order.
                EXPECT_EQ(std::ranges::count(got, "reply"), std::ranges::count(w, "reply")) << p;
                std::erase(got, "reply");
                std::erase(w, "reply");
            }
            EXPECT_EQ(got, w) << p;
        }
        // Consecutive writes to one pipe may show as one entry.
        orderWant.erase(std::unique(orderWant.begin(), orderWant.end()), orderWant.end());
        Lines seen = order.Names(orderWant.size(), 2s);
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        EXPECT_EQ(seen, orderWant) << "order of writes";
    }

    void CheckLines() {
        const Lines six = kivtest::Logged(6, pid);
        const Lines seven = kivtest::Logged(7, pid);
        EXPECT_TRUE(six.size() == lines.size() && std::equal(six.begin(), six.end(), lines.begin(), Matches))
            << testing::PrintToString(six) << "\nexpected " << testing::PrintToString(lines);
        EXPECT_EQ(!seven.empty(), level == 7);
        if (row.golden != nullptr && *KIVTAMP_GOLDEN_DIR != '\0') {
            std::istringstream file(kivsim::FileText(std::string(KIVTAMP_GOLDEN_DIR "/") + row.golden));
            Lines golden;
            for (std::string l; std::getline(file, l);)
                if (!l.starts_with('#')) golden.push_back(l);
            golden = Sub(golden);
            Lines got;
            std::string transcript;
            for (const std::string &l : seven) transcript += got.emplace_back(Escaped(l)) + "\n";
            EXPECT_TRUE(got.size() == golden.size() && std::equal(got.begin(), got.end(), golden.begin(), Matches))
                << "priority-7 lines against " << row.golden << " ({p} " << pipeFd << ", {v} " << devFd << "):\n"
                << transcript;
        }
        for (const LogLine &l : kivtest::Syslog().Lines())
            EXPECT_TRUE(l.ident != "KIVTAMP" || (l.facility == 20 && l.pid == pid)) << l.text; // LOG_LOCAL4
    }

    void CheckDevice() {
        std::map<std::string, std::string> counts = {{"opens", "1"}, {"ioctls", "1"}, {"closes", "1"}, {"queued", "0"}};
        counts["reads"] = readsCounted ? std::to_string(reads) : "uncounted: the row must give it";
        const Lines given = Split(row.device, ':');
        for (size_t i = 0; i + 1 < given.size(); i += 2) counts.at(given[i]) = given[i + 1];
        TampSwitch &sw = unit->Switch();
        for (const auto &[name, value] : counts) {
            if (value == "any") continue;
            sw.WaitForCount(name, std::atol(value.c_str()), 2s); // a release comes in the background
            EXPECT_EQ(std::to_string(sw.Count(name)), value) << name;
        }
        EXPECT_TRUE(sw.Ioctls() == 0 || configRefused || sw.PollTime() == kPollTime)
            << "polling-time byte " << sw.PollTime();
    }

    void Check() {
        CheckRecords();
        CheckLines();
        EXPECT_EQ(unit->CardMasterExists(), card);
        CheckDevice();
    }
};

// ---------------------------------------------------------------------------------- the rows

// The refusal of a record, numbered, with its module, command and data[0] as logged.
std::string Refused(const char *number, const char *mod, const char *cmd, const char *data0) {
    return std::string(number) + ",FifoReadFunc,message format err(iMod_id:" + mod + "/iCmd_id:" + cmd + "/data[0]:0x" +
           data0 + ")\n";
}
const std::string kNoDev =
    "00012,TampDrvOpenProc,open(Tamper Switch Driver) failed(errno=2(No such file or directory))\n";
const std::string kIoctl =
    "00013,TampDrvOpenProc,ioctrl(Tamper Switch Driver CR_SETTPPOLLTM) failed(errno=5(Input/output error))\n";
const std::string kEv = "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x";
const std::string kOpened = "00019,TampReadFunc,Tamper Switch opened, /usr/local/zk/ap/conf/cardmaster.dat deleted\n";
const std::string kCheckOn = "00020,FifoReadFunc,tamper check on, Tamper Switch Driver watched\n";
const std::string kCheckOff = "00021,FifoReadFunc,tamper check off, Tamper Switch Driver not watched\n";
const std::string kEof = "00011,TampReadFunc,Tamper Switch Driver Read Count= 0\n";
const std::string kReadFail =
    "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes={v}), errno=5(Input/output error)\n";
// A rate-limited line's count of times held back ({d}: as many as the machine's pace made).
std::string Held(const char *number, int times = -1) {
    const std::string n = times < 0 ? "{d}" : std::to_string(times);
    return std::string("00022,TampReadFunc,") + number + " held back " + n + " times\n";
}
const std::string kReadFailing = "00023,TampReadFunc,Tamper Switch Driver failing for {d} ms, closed, reopen in 1 s\n";
// An alarm its peer could not take, kept with the number now waiting for that pipe; kept alarms
// handed over once the peer reads again.
std::string Kept(const char *pipe, const char *why, int waiting) {
    return std::string("00025,SendAlarm,/tmp/pipe/") + pipe + " not ready(errno=" + why + "), alarm kept(" +
           std::to_string(waiting) + " waiting)\n";
}
std::string Delivered(int n, const char *pipe) {
    return "00026,RetryAlarms," + std::to_string(n) + " kept alarms delivered to /tmp/pipe/" + pipe + "(0 waiting)\n";
}
const char *const kNoPipe = "2(No such file or directory)";
const char *const kNoReader = "6(No such device or address)";
const char *const kNoRoom = "11(Resource temporarily unavailable)";
const char *const kNotPipe = "22(Invalid argument)";
const std::string kShmat = "success of shmat(pShared=0x{x})\n";
const std::string kShmget = "error of shmget(iShmId=-1, errno=2)\n";
std::string Short(int n) { return "short record dropped(fifoDescript={p}, read-cnt=" + std::to_string(n) + "byte)\n"; }
const std::string kKind = "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x";
const std::string kIllegal =
    "00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=";
const Lines kDetach = {"error of shmdt(errno=22)\n", "error of ComShmClose()\n"};
const std::string kZero(1, '\0'); // data[0] 0
// With the check off the device is never opened, so none of its counts move.
const std::string kNeverOpened = "opens:0 ioctls:0 closes:0";

// A start-up with one more line before "end of InitProc" (or in front of them all).
Step Boot(const std::string &line, long at = 3) {
    Lines l = kBoot;
    l.insert(l.begin() + at, line);
    return {"", "awake", l};
}
// A failed start-up: wake-up status 1, terminate-complete, exit code 1.
Step Failed(Lines why, const Lines &end = {"end of TermProc\n"}) {
    why.insert(why.begin(), "start of TampProcess\n");
    why.insert(why.end(), {"initProc error (iRet=-1)\n", "start of TermProc\n"});
    why.insert(why.end(), end.begin(), end.end());
    return {"", "awake-failed terminated", why};
}
// A whole life: a refused record, a setting change and a tamper response.
const std::vector<Step> kLife = {{"send:081:900/00", "", {Refused("00008", "081", "900", "0")}},
                                 {"send:901/01", "reply", {}},
                                 {"event:01", kResponse, {kOpened}}};
Row Life(const char *name, std::string setup, Step boot = {"", "awake", {}}) {
    return {name, std::move(setup), kLife, "", 0, std::move(boot)};
}
// Seventeen openings while the error log is gone: sixteen of its alarms are kept, the last is
// dropped and counted; the sixteen reach it in order once it is back.
Row OutboxOverflow() {
    std::string events = "remove:FifoLog event:";
    std::string recs = "deleted";
    Lines lines;
    for (int i = 1; i <= 17; ++i) {
        events += "01";
        recs += " synced display alarm";
        lines.push_back(i <= 16 ? Kept("FifoLog", kNoPipe, i)
                                : "00027,SendAlarm,alarms for /tmp/pipe/FifoLog: 16 kept, 1 dropped\n");
        lines.push_back(kOpened);
    }
    std::string kept;
    for (int i = 0; i < 16; ++i) kept += " errlog";
    return {"SixteenAlarmsAreKeptForAPeerAndFurtherOnesCounted",
            "",
            {{events, recs, lines}, {"restore:FifoLog", kept, {Delivered(16, "FifoLog")}}}};
}
const std::string kNoSegment = "error of ComShmOpenRead()\n";
const std::string kOpenFailed = "00016,InitProcSub,TampDrvOpenProc failed";

// The rows are a table laid out by hand: the formatter would give every field a line of its own.
// clang-format off
const Row kRows[] = {
    // Start-up and shut-down.
    {"CheckDisabledNeverOpensTheDevice", "check:0", {{"queue:01", "", {}}},
     kNeverOpened + " reads:0 queued:1"},  // the event stays queued
    {"StandardDescriptorsClosedAtStartAreNotReused", "check:0 stdio-closed",
     {{"note-fds send:901/00", "reply", {}}}, kNeverOpened},
    // A start-up that fails ends before anything can be looked at but its lines and records.
    {"DeviceAbsent", "unbind", {}, kNeverOpened, 1, Failed({kShmat, kShmat, kNoDev, kOpenFailed})},
    {"DeviceRefusesItsConfiguration", "ioctl-fails", {}, "", 1, Failed({kShmat, kShmat, kIoctl, kOpenFailed})},
    {"ConfigSegmentMissing", "gone:config", {}, kNeverOpened, 1, Failed({kShmget, kNoSegment}, kDetach)},
    {"KeyFileMissing", "gone:key", {}, kNeverOpened, 1, Failed({kShmget, kNoSegment}, kDetach)},
    {"OtherSegmentMissing", "gone:other", {}, kNeverOpened, 1,
     Failed({kShmat, kShmget, "error of ComShmOpenRead(OTHER)\n"}, kDetach)},
    {"CommandPipeMissing", "gone:command-pipe", {}, kNeverOpened, 1,
     Failed({"open(read) failed(/tmp/pipe/FifoTamp, errno=2)\n", "error(TampFifo read) of ComFifoCreate()\n"},
            {"close(fifoTampRead) failed(/tmp/pipe/FifoTamp, errno=9(Bad file descriptor))\n"})},
    // The pair kind is read big-endian whatever the host; 1 picks error code 0x22.
    {"PairKindBytesInTheOtherOrder", "check:0 pair-kind:16777216", {}, kNeverOpened, 0, Boot(kKind + "1000000 \n")},
    {"PairKindMinusOne", "check:0 pair-kind:-1", {}, kNeverOpened, 0, Boot(kKind + "ffffffff \n")},
    {"PairKindOneChoosesTheOtherCode", "pair-kind:1",
     {{"event:01", "deleted synced errlog-22 display alarm", {kOpened}}}},
    {"PairKindTwoKeepsTheNormalCode", "pair-kind:2", {{"event:01", kResponse, {kOpened}}}, "", 0, Boot(kKind + "2 \n")},
    // The log level of the command line.
    Life("LevelZeroLogsNothing", "arg:0 level:0"),
    Life("LevelMissing", "no-arg", Boot("log level argument missing, level 6 used\n", 0)),
    Life("LevelNotANumber", "arg:abc", Boot("log level argument is not a number(abc), level 6 used\n", 0)),
    Life("LevelWithTrailingText", "arg:7x", Boot("log level argument is not a number(7x), level 6 used\n", 0)),
    Life("LevelAboveSeven", "arg:8 level:7", Boot("log level argument out of range(8), level 7 used\n", 0)),
    Life("LevelNegative", "arg:-1 level:0", {"", "awake", {"log level argument out of range(-1), level 0 used\n"}}),
    Life("UnderTheMemoryCheckerNothingIsLeftAllocated", "memcheck arg:7 level:7"),
    // The whole trace of start-up, one command, one tamper response and shut-down, line for line.
    {"TraceOfStartCommandResponseAndShutdown", "arg:7 level:7",
     {{"note-fds send:901/01", "reply", {}}, {"event:01", kResponse, {kOpened}}}, "", 0, {"", "awake", {}},
     "start-command-response-shutdown.txt"},
    // Terminate takes data[0] 0 or 1 only (here 1); other senders and commands are refused.
    {"RefusedRecordsAreLoggedAndChangeNothing", "check:0 terminate-with:1",
     {{"send:900/02 send:900/31 send:900/ff send:081:900/00 send:010:901/01 send:903/00 send:054/01", "",
       {Refused("00002", "080", "900", "2"), Refused("00002", "080", "900", "31"), Refused("00002", "080", "900", "ff"),
        Refused("00008", "081", "900", "0"), Refused("00008", "010", "901", "1"), Refused("00007", "080", "903", "0"),
        Refused("00007", "080", "054", "1")}}},
     kNeverOpened},
    // 901 with data[0] 1 applies the check byte; every 901 is answered.
    {"SettingChangeAppliesTheCheckByte", "",
     {{"note-fds send:901/01", "reply", {}},                             // already open: not opened again
      {"check:0 send:901/00", "reply", {}},                              // data[0] 0: reply only, the device stays open
      {"send:901/01", "reply", {kCheckOff}},                             // closed and no longer watched
      {"in:pselect queue:01", "", {}},
      {"check:1 send:901/01", "reply " + kResponse, {kCheckOn, kOpened}}, // opened again; the waiting event is read now
      {"check:X send:901/01 send:901/00", "reply reply", {kIllegal + "X\n"}},
      {"make-card-master event:01", kResponse, {kOpened}}},
     "opens:2 ioctls:2 closes:2"},
    {"CheckByteTwoAtStartUp", "check:2", {{"send:901/01", "reply", {kIllegal + "2\n"}}}, kNeverOpened},
    {"SettingChangeReportsDeviceFailures", "check:0",
     {{"unbind check:1 send:901/01", "reply", {kNoDev, "00003,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"bind ioctl-fails send:901/01", "reply", {kIoctl, "00003,FifoReadFunc,TampDrvOpenProc failed\n", kCheckOn}},
      {"event:01", kResponse, {kOpened}}}},  // watched although its configuration failed
    {"WakeUpOpensTheDeviceAndReportsTheOutcome", "check:0",
     {{"send:902/00", "awake", {}},
      {"check:1 unbind send:902/00", "awake-failed", {kNoDev, "00006,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"bind ioctl-fails send:902/00", "awake-failed", {kIoctl, "00006,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"event:01", kResponse, {kOpened}},
      {"ioctl-works send:902/00", "awake", {}}}},  // already open: not opened again
    // Whatever a writer puts into the pipe is read 256 bytes at a time; a read of a whole record is
    // parsed, fewer bytes are dropped with their count (six of a terminate would otherwise stop it).
    {"RecordsOfAnyBytesAreAnsweredOrRefused", "",
     {{"note-fds", "", {Short(6)}, "080900"},
      {"", "", {Refused("00008", "000", "901", "1")}, MakeRecord(0, 901, "\x01").replace(0, 3, "0a0")},
      {"", "", {Refused("00007", "080", "000", "20")}, MakeRecord(80, 0, "").replace(3, 3, "x9!")},
      {"", "", {Refused("00008", "000", "000", "0")}, std::string(256, '\0')},
      {"", "reply", {Short(44)}, MakeRecord(80, 901, kZero) + std::string(44, 'x')},
      {"", "", {Short(7)}, std::string("080901") + '\0'},
      {"", "reply awake", {Refused("00008", "081", "901", "2")},
       MakeRecord(80, 901, kZero) + MakeRecord(80, 902, kZero) + MakeRecord(81, 901, "\x02")},
      {"event:01", kResponse, {kOpened}}}},
    // The device is served before the command pipe: a flood of commands cannot hold off the response,
    // and every command of the flood is answered.
    {"EventDuringACommandFloodIsAnsweredAtOnce", "", {{"flood-event:01", kResponse, {kOpened}}}},
    // A second reader of the command pipe takes records the wait reported ready: the monitor is
    // never left waiting in a read, and answers the opening that follows.
    {"SecondReaderOfTheCommandPipeNeverHoldsTheResponse", "",
     {{"steal:200", "", {}}, {"event:01", kResponse, {kOpened}}}},
    // With its own writing end held, a pipe without other writers leaves the monitor asleep.
    {"NoWriterOnTheCommandPipeLeavesTheMonitorIdle", "",
     {{"release-pipe in:pselect idle hold-pipe send:901/00", "reply", {}}}},
    // The tamper response: card master file first, then the flush, error log, display and supervisor.
    {"EveryOpeningDeletesTheCardMasterAndRaisesThreeRecords", "",
     {{"event:01", kResponse, {kOpened}}, {"event:01", "synced " + kAlarms, {kOpened}},
      {"make-card-master event:01", kResponse, {kOpened}}}},
    {"EventsQueuedTogetherAreAnsweredOneAfterTheOther", "",
     {{"event:0102018001ff", kResponse + " synced " + kAlarms + " synced " + kAlarms,
       {kOpened, kEv + "2\n", kOpened, kOpened}}}},  // one line of other bytes a second
    {"FailedDeletionIsLoggedAndTheAlarmsStillGoOut", "",
     {{"card-master-dir event:01", "synced " + kAlarms,
       {"00018,TampReadFunc,/usr/local/zk/ap/conf/cardmaster.dat delete failed(errno=39(Directory not empty))\n",
        "00019,TampReadFunc,Tamper Switch opened, /usr/local/zk/ap/conf/cardmaster.dat NOT deleted\n"}}}},
    // Other event bytes and failed reads change nothing; each kind of line comes at most once a
    // second, the next one after the times it was held back.
    {"OtherEventsAndFailedReadsChangeNothing", "",
     {{"note-fds event:00 event:02 event:ff eof-reads:2 fail-reads:2", "", {kEv + "0\n", kEof, kReadFail}},
      {"event:01", kResponse, {kOpened}},  // still watched
      {"sleep:1000 eof-reads:1 fail-reads:1 event:03", "",
       {Held("00011", 1), kEof, Held("00009", 1), kReadFail, Held("00010", 2), kEv + "3\n"}}}},
    // A device that keeps failing is read again only after a pause of 100 ms; commands are answered
    // meanwhile. After a second of failures it is closed, opened again a second later and answered
    // in full.
    {"DeviceThatKeepsFailingIsReadSeldomThenOpenedAgain", "",
     {{"note-fds fail-reads:always paced:100 send:901/00", "reply", {kReadFail}},
      {"", "", {Held("00009"), kReadFail, kReadFailing}},
      {"fail-reads:0", "", {"00024,TampRetryFunc,Tamper Switch Driver reopened\n"}},
      {"event:01", kResponse, {kOpened}}},
     "opens:2 ioctls:2 closes:2 reads:any"},
    // An alarm never waits for its peer: what a peer cannot take now is kept, in order, and handed
    // over once it reads again. Missing pipes are never made by the monitor.
    {"MissingPeerPipesGetTheirAlarmsWhenBack", "",
     {{"remove:FifoLog remove:FifoDisp event:01", "deleted synced alarm",
       {Kept("FifoLog", kNoPipe, 1), Kept("FifoDisp", kNoPipe, 1), kOpened}},
      {"make-card-master remove:FifoSts event:01", "deleted synced",
       {Kept("FifoLog", kNoPipe, 2), Kept("FifoDisp", kNoPipe, 2), Kept("FifoSts", kNoPipe, 1), kOpened}},
      {"restore:FifoLog restore:FifoDisp restore:FifoSts", "errlog errlog display display alarm",
       {Delivered(2, "FifoLog"), Delivered(2, "FifoDisp"), Delivered(1, "FifoSts")}},
      // The retry clock stopped once all was delivered; a peer gone again starts it again.
      {"make-card-master remove:FifoDisp event:01", "deleted synced errlog alarm", {Kept("FifoDisp", kNoPipe, 1), kOpened}},
      {"restore:FifoDisp", "display", {Delivered(1, "FifoDisp")}}}},
    OutboxOverflow(),
    // A regular file in a pipe's place receives nothing.
    {"RegularFileInTheErrorLogsPlaceReceivesNothing", "",
     {{"remove:FifoLog file-for:FifoLog event:01", "deleted synced display alarm",
       {Kept("FifoLog", kNotPipe, 1), kOpened}},
      {"empty-file:FifoLog restore:FifoLog", "errlog", {Delivered(1, "FifoLog")}},
      {"make-card-master event:01", kResponse, {kOpened}}}},
    // A peer that stops reading delays only its own alarms: the next opening is answered as fast
    // and commands are answered meanwhile.
    {"ErrorLogThatStopsReadingDelaysOnlyItsOwnAlarms", "",
     {{"fill:FifoLog event:01", "deleted synced display alarm", {Kept("FifoLog", kNoRoom, 1), kOpened}},
      {"make-card-master event:01 send:901/00", "deleted synced display alarm reply",
       {Kept("FifoLog", kNoRoom, 2), kOpened}},
      {"resume:FifoLog", "filler errlog errlog", {Delivered(2, "FifoLog")}},
      {"make-card-master event:01", kResponse, {kOpened}}}},
    // The error log's process died and left its pipe: nobody reads it, and its alarm waits for the
    // reader, who comes back with a new pipe in place of the orphaned one.
    {"ErrorLogWhoseProcessDiedGetsItsAlarmWhenBack", "",
     {{"remove:FifoLog orphan:FifoLog event:01 send:901/00", "deleted synced display alarm reply",
       {Kept("FifoLog", kNoReader, 1), kOpened}},
      {"remove:FifoLog restore:FifoLog", "errlog", {Delivered(1, "FifoLog")}},
      {"make-card-master event:01", kResponse, {kOpened}}}},
    // The supervisor stops reading: a reply waits a second at most, then fails; its alarm is kept.
    {"SupervisorThatStopsReadingHoldsARequestASecondAtMost", "",
     {{"fill:FifoSts send:901/00", "",
       Lines(3, "FIFO write error (fifo=/tmp/pipe/FifoSts, errno=11(Resource temporarily unavailable))\n")},
      {"event:01", "deleted synced errlog display", {Kept("FifoSts", kNoRoom, 1), kOpened}},
      {"resume:FifoSts", "sts-filler alarm", {Delivered(1, "FifoSts")}}}},
    // A terminating signal ends the process while an alarm is kept.
    {"TermWhileAnAlarmIsKeptEndsTheProcess", "",
     {{"fill:FifoLog event:01 in:pselect signal:15", "deleted synced display alarm",
       {Kept("FifoLog", kNoRoom, 1), kOpened}}}, "", -15},
    {"HupWhileAnAlarmIsKeptEndsTheProcess", "",
     {{"fill:FifoLog event:01 in:pselect signal:1", "deleted synced display alarm",
       {Kept("FifoLog", kNoRoom, 1), kOpened}}}, "", -1},
    // Other signals stay blocked during the wait: they neither end nor disturb the process.
    {"OtherSignalsStayBlockedDuringTheWait", "",
     {{"in:pselect blocked:wait signals:3,12,13,14,20,21,24,26,27,29,34,63,64", "", {}},
      {"event:01", kResponse, {kOpened}}}},
};
// clang-format on

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }
class Monitor : public testing::TestWithParam<Row> {};
TEST_P(Monitor, Scenario) { Scenario(GetParam()).Go(); }
// The memory checker's row exists only where the checker can run this build's monitor (not under
// the sanitizers, not for the emulated target: the memory lane covers the host binary there).
std::vector<Row> RowsOfThisBuild() {
    std::vector<Row> rows;
    std::ranges::copy_if(kRows, std::back_inserter(rows),
                         [](const Row &r) { return *KIVTAMP_VALGRIND != '\0' || r.setup.find("memcheck") != 0; });
    return rows;
}
INSTANTIATE_TEST_SUITE_P(Rows, Monitor, testing::ValuesIn(RowsOfThisBuild()),
                         [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

} // namespace
