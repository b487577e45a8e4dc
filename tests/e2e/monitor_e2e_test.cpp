// The real kivtamp binary in the simulated unit, one scenario row each: start-up variants, the log
// level, the supervisor's commands, the tamper response, peers that stop reading or vanish, and
// signals in the middle of a response or during the wait. Each row gets a unit of its own; the
// runner plays its steps and checks every record the peers received (bytes and order of writes),
// every priority-6 line, the exit status, the card master file, the working directory and the
// device's counts.
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
#include <map>
#include <sstream>
#include <thread>

#include "kivtest.h"
#include "unit.h"

namespace {

using namespace kivsim;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// One step: actions, then the records and priority-6 lines they cause, waited for in that order.
//  actions  c[mmm:]ccc/hh  command record (module 80 unless given, data[0] in hex)
//           eHH..  switch events, waited for until the device has been read; qHH.. not waited for
//           En Zn  the next n device reads fail / return end of file (waited for); Ef Zf every
//                  read from now on (not waited for)
//           fHH    event HH during a continuous flood of 901/01, read within 2 s while the flood
//                  lasts; each record of the flood expects its R
//           h0 h1  the supervisor lets go of / holds again the command pipe's writing end
//           gP     a regular file made in peer P's place
//           kC     CONFIG check byte C;  u b  device unbound / bound;  i1 i0  its ioctl fails / works
//           -P +P  peer P (l: FifoLog, d: FifoDisp, s: FifoSts) gone / back (nothing made meanwhile)
//           nl     FifoLog made again with nobody reading it
//           p r    error-log reader pauses with its pipe filled / resumes (ps rs: the supervisor's
//                  FifoSts);  m M  card master file made / made a non-empty directory
//           wp     monitor waits in pselect
//           !S,S.. signals sent (each must stay pending);  ~S  signal S sent
//           ?w ?a  blocked signals: all but those the wait lets through / all but KILL and STOP
//           ?i     the monitor takes no CPU time over 300 ms;  ?s over 400 ms it reads the device
//                  at most 12 times and takes under 1 % of a CPU;  ?e the regular file at FifoLog
//                  is empty (then removed)
//           ?pS    signal S pending;  ?C card master gone;  ?fd descriptors of pipe and device
//                  above 2, the device held once opened; {p} and {v} in expected lines name them
//  records  in write order: W0 W1 wake-up status; R setting reply; T terminate-complete; S error
//           status; D display; L L2 error-log record with code 0x21 / 0x22 and the time of the
//           run; F Fs the fillers on FifoLog / FifoSts; X the card master file deleted (seen in the
//           write order).
//  raw      bytes written to the command pipe before the actions, as they are
struct Step { std::string act, recs; Lines lines; std::string raw = {}; };

// Start-up tokens: arg=X level argument (default 6), noarg; lv0 lv7 level in force; stdio with
// descriptors 0-2 closed; vg under the memory checker; t1 terminate with data[0] 1; any: records
// compared per pipe regardless of order. Other tokens are actions on the unit before the start:
// kC, u, i1 as above; PN pair kind N; xc xo xk xt CONFIG, OTHER, key file, command pipe gone.
// Unless exit is not 0, the row ends with a terminate command answered by T and its lines.
struct Row {
    const char *name;
    std::string setup;
    std::vector<Step> steps;
    std::string sw = {};  // device counts at the end: o opens, i ioctls, c closes, r reads, q queued
    int exit = 0;         // exit code, or minus the signal that ended it
    Step boot = {"", "W0", {}};  // no lines: those of a start-up that went well
    Lines traces = {};   // priority-7 lines expected in this order, other lines between them
};

const Lines kBoot = {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n",
                    "success of shmat(pShared=0x{x})\n", "end of InitProc\n"};
const Lines kShutdown = {"Terminate reBoot\n", "start of TermProc\n", "end of TermProc\n"};

// The binary under test, the words run in front of it ('|' between them: a target binary's
// emulator) and the memory checker, if this build has one.
#ifndef KIVTAMP_PATH
#error "KIVTAMP_PATH must name the kivtamp binary under test"
#endif

const std::string kEntry = std::string(kCardMasterFile) + "/entry";
const std::string kKeyAway = std::string(kShmKeyFile) + ".away";
constexpr long kAlways = 1'000'000'000; // device reads that fail: as good as for ever

std::string Rec(std::string head) { return head.append(kRecordSize - head.size(), ' '); }
struct RecDef { const char *tok; std::string_view pipe; std::string bytes; };
const RecDef kRecs[] = {{"W0", kFifoStsp, Rec("0536000000312")}, {"W1", kFifoStsp, Rec("0536000010312")},
                        {"R", kFifoSts, Rec("053621")},          {"T", kFifoSts, Rec("053605000")},
                        {"S", kFifoSts, Rec("053609\x05\x01")},  {"D", kFifoDisp, Rec("0531510625 00000000")},
                        {"F", kFifoLog, MakeRecord(99, 999, "filler")}, {"Fs", kFifoSts, MakeRecord(99, 999, "filler")},
                        {"L", kFifoLog, ""}, {"L2", kFifoLog, ""}};

Lines Split(std::string s, char sep = ' ') {
    std::replace(s.begin(), s.end(), sep, ' ');
    std::istringstream in(s);
    Lines out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string StampNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // the monitor's clock: time() may lag it by a tick
    std::tm t{};
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", localtime_r(&now.tv_sec, &t));
    return buf;
}

// Whether text t matches pattern p: literal text in which "{x}" stands for hex digits (an address).
bool Matches(std::string_view t, std::string_view p) {
    size_t x = p.find("{x}"), n = x;
    if (x == std::string_view::npos) return p == t;
    while (n < t.size() && std::string_view("0123456789abcdef").find(t[n]) != std::string_view::npos) ++n;
    return t.substr(0, x) == p.substr(0, x) && n > x && Matches(t.substr(n), p.substr(x + 3));
}

int DescriptorOf(pid_t pid, const std::string &path) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (std::filesystem::read_symlink(e.path(), ec) == path) return std::stoi(e.path().filename());
    return -1;
}

// A signal set of /proc/<pid>/status without the two signals the C library keeps for itself.
uint64_t SigSet(pid_t pid, const std::string &field) {
    std::istringstream in(kivtest::ReadFileBytes("/proc/" + std::to_string(pid) + "/status"));
    for (std::string l; std::getline(in, l);)
        if (l.rfind(field + ":", 0) == 0) return std::stoull(l.substr(field.size() + 1), nullptr, 16) & ~(3ull << 31);
    return 0;
}
uint64_t Bit(int sig) { return 1ull << (sig - 1); }
// Behind the emulator the kernel sees the emulator's signals: the monitor's real-time signal 32 + k
// is the host's SIGRTMIN + k (its top two have no host number, 0), and the emulator keeps SEGV and
// BUS open for itself whatever the monitor blocks.
const bool kEmulated = *KIVTAMP_EMULATOR != '\0';
int HostSignal(int sig) {
    int host = sig - 32 + SIGRTMIN;
    return !kEmulated || sig < 32 ? sig : host <= SIGRTMAX ? host : 0;
}
bool Pending(pid_t pid, int sig) { return ((SigSet(pid, "SigPnd") | SigSet(pid, "ShdPnd")) & Bit(sig)) != 0; }

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
    pid_t pid = -1;
    int level = 6, fillers = 0, pipeFd = -1, devFd = -1;
    bool card = true, movedKey = false, made = false, responded = false;

    explicit Scenario(const Row &r) : row(r) {}
    ~Scenario() {
        rmdir(kEntry.c_str());
        rmdir(kCardMasterFile);
        if (movedKey) rename(kKeyAway.c_str(), kShmKeyFile);
    }

    // Patterns with the descriptors the process holds in place of "{p}" (pipe) and "{v}" (device).
    Lines Sub(Lines patterns) const {
        for (std::string &p : patterns)
            for (auto [k, v] : {std::pair{"{p}", pipeFd}, std::pair{"{v}", devFd}})
                for (size_t at; (at = p.find(k)) != std::string::npos;) p.replace(at, 3, std::to_string(v));
        return patterns;
    }

    std::string Token(const Received &r) const {
        for (const RecDef &d : kRecs)
            if (d.pipe == r.pipe && d.bytes == r.bytes) return d.tok;
        // The error-log record carries the local date and time of the response, within the run.
        std::string stamp = r.bytes.size() == kRecordSize ? r.bytes.substr(6, 14) : "";
        if (stamp.find_first_not_of("0123456789") == std::string::npos && t0 <= stamp && stamp <= StampNow())
            for (auto [tok, code] : {std::pair{"L", '\x21'}, std::pair{"L2", '\x22'}})
                if (r.pipe == kFifoLog && r.bytes == Rec("053054" + stamp + code + '\x01')) return tok;
        return r.pipe + ":" + r.bytes;
    }

    // Adds what a step causes to what the run must show, and waits for it to be there.
    bool Expect(const Step &s, bool logged) {
        for (const std::string &t : Split(s.recs)) {
            responded = responded || t == "X" || t == "S" || t[0] == 'L';
            if (t == "X") orderWant.push_back("cardmaster.dat"), card = false;
            for (const RecDef &d : kRecs)
                if (t == d.tok) {
                    const bool filler = t[0] == 'F';
                    want[d.pipe].insert(want[d.pipe].end(), filler ? static_cast<size_t>(fillers) : 1, t);
                    if (!filler) orderWant.emplace_back(d.pipe);
                }
        }
        for (const std::string &l : Sub(s.lines)) lines.insert(lines.end(), logged, l);
        auto arrived = [&](auto &w) { return unit->Records().Count(w.first) >= w.second.size(); };
        return Until([&] { return kivtest::Logged(6, pid).size() >= lines.size() && std::ranges::all_of(want, arrived); });
    }

    bool Do(const std::string &tok) {
        const std::string a = tok.substr(1);
        TampSwitch &sw = unit->Switch();
        const long reads = sw.Reads();
        auto read = [&](long n) { return sw.WaitForCount("reads", reads + n, 10s); };
        std::string_view peer = a == "l" || a.empty() ? kFifoLog : a == "d" ? kFifoDisp : kFifoSts;
        switch (tok[0]) {
        case 'c': {
            int mod = 80, cmd = 0;
            unsigned d = 0;
            std::string f = a.find(':') == std::string::npos ? "80:" + a : a;
            return sscanf(f.c_str(), "%d:%d/%x", &mod, &cmd, &d) == 3 &&
                   unit->Sts().SendRecord(mod, cmd, std::string(1, static_cast<char>(d)));
        }
        case 'e':
        case 'q': {
            std::string ev;
            for (size_t i = 0; i + 1 < a.size(); i += 2)
                ev += static_cast<char>(std::stoi(a.substr(i, 2), nullptr, 16));
            return sw.Inject(ev) && (tok[0] == 'q' || read(static_cast<long>(ev.size())));
        }
        case 'E':
        case 'Z': {
            const long n = a == "f" ? kAlways : std::stol(a);
            return (tok[0] == 'E' ? sw.SetReadFail(n) : sw.SetEof(n)) && (a == "f" || read(n));
        }
        case 'f': {
            // Sixteen records a write keep the pipe full whatever the scheduler does.
            std::string batch;
            for (int i = 0; i < 16; ++i) batch += MakeRecord(kModSupervisor, 901, "\x01");
            std::atomic<bool> stop{false};
            size_t sent = 0;
            std::thread flood([&] {
                while (!stop && unit->SendRaw(batch)) sent += 16;
            });
            std::this_thread::sleep_for(100ms);
            const bool ok = sw.Inject(std::string(1, static_cast<char>(std::stoi(a, nullptr, 16)))) &&
                            sw.WaitForCount("reads", reads + 1, 2s);
            stop = true;
            flood.join();
            want[kFifoSts].insert(want[kFifoSts].end(), sent, "R");
            return ok;
        }
        case 'h':
            if (a == "0") unit->Sts().ReleaseCommandPipe();
            return a == "0" || unit->Sts().HoldCommandPipe();
        case 'g': {
            int fd = open(PipePath(peer).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            return fd >= 0 && close(fd) == 0;
        }
        case 'k': return unit->Segments().SetTamperCheck(a[0]);
        case 'u': return sw.Unbind();
        case 'b': return sw.Bind();
        case 'i': return sw.SetIoctlFail(a == "1");
        case 'P': return unit->Segments().SetPairKind(static_cast<int32_t>(std::stoll(a)));
        case 'x':  // gone: CONFIG, OTHER, the key file, the command pipe
            if (a == "k") return movedKey = rename(kShmKeyFile, kKeyAway.c_str()) == 0;
            if (a == "t") return unit->Sts().RemoveCommandPipe(), true;
            return unit->Segments().Remove(a == "c" ? kProjConfig : kProjOther);
        case '-': return unit->RemovePeer(peer);
        // A send to a peer that is gone must leave nothing in its place.
        case '+': return (made || access(PipePath(peer).c_str(), F_OK)) && unit->RestorePeer(peer) && order.Watch(peer);
        case 'n': return (made = mkfifo(PipePath(kFifoLog).c_str(), 0666) == 0) && order.Watch(kFifoLog);
        case 'p': {
            unit->Reader(peer)->Pause();
            int fd = open(PipePath(peer).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            const std::string &f = kRecs[6].bytes;
            for (fillers = 0; write(fd, f.data(), f.size()) == static_cast<ssize_t>(f.size());) ++fillers;
            orderWant.emplace_back(peer);
            return close(fd) == 0 && fillers > 0;
        }
        case 'r': return unit->Reader(peer)->Resume(), true;
        case 'm': return (card = true) && unit->CreateCardMaster();
        case 'M':  // the file replaced by a directory that cannot be removed
            orderWant.push_back("cardmaster.dat");
            return !unlink(kCardMasterFile) && !mkdir(kCardMasterFile, 0755) && !mkdir(kEntry.c_str(), 0755);
        case 'w': {
            std::string file = "/proc/" + std::to_string(pid) + "/syscall";
            return Until([&] { return std::atol(kivtest::ReadFileBytes(file).c_str()) == SYS_pselect6; });
        }
        case '~': return kill(pid, HostSignal(std::stoi(a))) == 0;
        case '!': {
            Lines sigs = Split(a, ',');
            auto held = [&](auto &g) {
                int host = HostSignal(std::stoi(g));
                return !host || (!kill(pid, host) && Pending(pid, host));
            };
            return std::ranges::all_of(sigs, held);
        }
        case '?': {
            if (a == "C") return !unit->CardMasterExists();
            if (a == "e") {
                struct stat st {};
                const std::string log = PipePath(kFifoLog);
                bool empty = stat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
                return empty && unlink(log.c_str()) == 0;
            }
            if (a == "i" || a == "s") {
                const std::string file = "/proc/" + std::to_string(pid) + "/schedstat";
                const long long cpu = std::atoll(kivtest::ReadFileBytes(file).c_str()); // nanoseconds on a CPU
                std::this_thread::sleep_for(a == "i" ? 300ms : 400ms);
                const long long used = std::atoll(kivtest::ReadFileBytes(file).c_str()) - cpu;
                return a == "i" ? used == 0 : sw.Reads() - reads <= 12 && used < 4'000'000;
            }
            if (a[0] == 'p') return Pending(pid, std::stoi(a.substr(1)));
            if (a == "fd") {
                pipeFd = DescriptorOf(pid, PipePath(kFifoTamp));
                devFd = DescriptorOf(pid, kTampDevice);
                return pipeFd > 2 && (devFd > 2) == (sw.Opens() > 0);
            }
            // The wait lets through the timer signal, the stop and termination signals and child exits.
            uint64_t through = Bit(SIGKILL) | Bit(SIGSTOP);
            if (a == "w") through |= Bit(SIGUSR1) | Bit(SIGHUP) | Bit(SIGINT) | Bit(SIGTERM) | Bit(SIGCHLD);
            uint64_t blocked = 0, seen = kEmulated ? ~(Bit(SIGSEGV) | Bit(SIGBUS)) : ~0ull;
            for (int sig = 1; sig <= 64; ++sig)
                if (!(through & Bit(sig)) && sig != 32 && sig != 33 && HostSignal(sig)) blocked |= Bit(HostSignal(sig));
            return (SigSet(pid, "SigBlk") & seen) == (blocked & seen);
        }
        }
        return false;
    }

    void Go() {
        UnitOptions o{.kivtamp = KIVTAMP_PATH, .emulator = Split(KIVTAMP_EMULATOR, '|'), .syslog = &kivtest::Syslog()};
        Lines setup = Split(row.setup), actions;
        auto has = [&](const char *t) { return std::find(setup.begin(), setup.end(), t) != setup.end(); };
        std::optional<std::string> arg = "6";
        for (const std::string &t : setup) {
            if (t.rfind("arg=", 0) == 0) arg = t.substr(4);
            else if (t == "noarg") arg.reset();
            else if (t.rfind("lv", 0) == 0) level = t[2] - '0';
            else if (t == "stdio")
                o.emulator.insert(o.emulator.begin(), {"sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
            else if (t == "vg") o.emulator = {KIVTAMP_VALGRIND, "-q", "--leak-check=full", "--show-leak-kinds=all",
                                              "--errors-for-leak-kinds=all", "--error-exitcode=99"};
            else if (t != "t1" && t != "any") actions.push_back(t);
        }

        unit = std::make_unique<Unit>(o);
        ASSERT_TRUE(unit->Up()) << unit->Error();
        for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp}) order.Watch(p);
        order.WatchRemoval(kCardMasterFile);
        for (const std::string &t : actions) ASSERT_TRUE(Do(t)) << t;
        ASSERT_TRUE(unit->StartMonitor(arg)) << unit->Error();
        pid = unit->Monitor().Pid();
        const Lines &boot = row.boot.lines.empty() && level >= 6 ? kBoot : row.boot.lines;
        ASSERT_TRUE(Expect({"", row.boot.recs, boot}, true)) << "start-up";
        for (const Step &s : row.steps) {
            ASSERT_TRUE(s.raw.empty() || unit->SendRaw(s.raw)) << unit->Error();
            for (const std::string &t : Split(s.act)) ASSERT_TRUE(Do(t)) << s.act << ": " << t;
            ASSERT_TRUE(Expect(s, level >= 6)) << s.act;
        }
        if (row.exit == 0) {
            // Only a tamper response moves the process into the card master file's directory.
            std::error_code ec;
            auto cwd = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
            EXPECT_EQ(cwd == "/usr/local/zk/ap/conf", responded) << cwd;
            ASSERT_TRUE(unit->Send(900, has("t1")) && Expect({"", "T", kShutdown}, level >= 6)) << "terminate";
        }
        auto end = unit->WaitExit(30s);
        ASSERT_TRUE(end) << "still running";
        EXPECT_EQ(row.exit < 0 ? end->signal : end->code, std::abs(row.exit)) << Describe(*end);
        Check(has("any"));
    }

    void Check(bool any) {
        for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp, kFifoFtp}) {
            if (PipeReader *r = unit->Reader(p)) r->Sync();
            Lines got, &w = want[p];
            for (const Received &r : unit->Records().On(p)) got.push_back(Token(r));
            if (any) std::sort(got.begin(), got.end()), std::sort(w.begin(), w.end());
            EXPECT_EQ(got, w) << p;
        }
        // Consecutive writes to one pipe may show as one entry.
        orderWant.erase(std::unique(orderWant.begin(), orderWant.end()), orderWant.end());
        Lines seen = order.Names(orderWant.size(), 2s);
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        EXPECT_TRUE(any || seen == orderWant) << "order of writes " << testing::PrintToString(seen);

        Lines six = kivtest::Logged(6, pid), seven = kivtest::Logged(7, pid), traces = Sub(row.traces);
        EXPECT_TRUE(six.size() == lines.size() && std::equal(six.begin(), six.end(), lines.begin(), Matches))
            << testing::PrintToString(six) << "\nexpected " << testing::PrintToString(lines);
        EXPECT_EQ(!seven.empty(), level == 7);
        auto at = seven.begin();
        for (const std::string &t : traces) {
            at = std::find_if(at, seven.end(), [&](const std::string &l) { return Matches(l, t); });
            ASSERT_NE(at++, seven.end()) << "no trace " << t << " in order in " << testing::PrintToString(seven);
        }
        for (const LogLine &l : kivtest::Syslog().Lines())
            EXPECT_TRUE(l.ident != "KIVTAMP" || (l.facility == 20 && l.pid == pid)) << l.text; // LOG_LOCAL4
        EXPECT_EQ(unit->CardMasterExists(), card);
        Lines counts = Split("opens ioctls closes reads queued");
        for (const std::string &c : Split(row.sw)) {
            std::string name = *std::find_if(counts.begin(), counts.end(), [&](auto &n) { return n[0] == c[0]; });
            unit->Switch().WaitForCount(name, std::stol(c.substr(1)), 2s);
            EXPECT_EQ(unit->Switch().Count(name), std::stol(c.substr(1))) << name;
        }
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
const std::string kEof = "00011,TampReadFunc,Tamper Switch Driver Read Count= 0\n";
const std::string kReadFail =
    "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes={v}), errno=5(Input/output error)\n";
const std::string kReadFailing = "00023,TampReadFunc,Tamper Switch Driver failing for {x} ms, closed, reopen in 1 s\n";
std::string Held(const char *number) { return "00022,TampReadFunc," + std::string(number) + " held back {x} times\n"; }
const std::string kOpened = "00019,TampReadFunc,Tamper Switch opened, /usr/local/zk/ap/conf/cardmaster.dat deleted\n";
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
const std::string kShmat = "success of shmat(pShared=0x{x})\n", kShmget = "error of shmget(iShmId=-1, errno=2)\n";
std::string Short(int n) { return "short record dropped(fifoDescript={p}, read-cnt=" + std::to_string(n) + "byte)\n"; }
const std::string kKind = "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x";
const std::string kIllegal =
    "00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=";
const Lines kDetach = {"error of shmdt(errno=22)\n", "error of ComShmClose()\n"};
const std::string_view kZero("", 1);  // data[0] 0

// A start-up with one more line before "end of InitProc" (or in front of them all).
Step Boot(const std::string &line, long at = 3) {
    Lines l = kBoot;
    l.insert(l.begin() + at, line);
    return {"", "W0", l};
}
// A failed start-up: wake-up status 1, terminate-complete, exit code 1.
Step Failed(Lines why, const Lines &end = {"end of TermProc\n"}) {
    why.insert(why.begin(), "start of TampProcess\n");
    why.insert(why.end(), {"initProc error (iRet=-1)\n", "start of TermProc\n"});
    why.insert(why.end(), end.begin(), end.end());
    return {"", "W1 T", why};
}
// A whole life: a refused record, a setting change and a tamper response.
Row Life(const char *name, std::string setup, Step boot = {"", "W0", {}}) {
    return {name, std::move(setup),
            {{"c081:900/00", "", {Refused("00008", "081", "900", "0")}}, {"c901/01", "R", {}}, {"e01", "X L D S", {kOpened}}},
            "", 0, std::move(boot)};
}
// Seventeen openings while the error log is gone: sixteen of its alarms are kept, the last is
// dropped and counted; the sixteen reach it in order once it is back.
Row OutboxOverflow() {
    std::string events = "-l e", recs = "X";
    Lines lines;
    for (int i = 1; i <= 17; ++i) {
        events += "01";
        recs += " D S";
        lines.push_back(i <= 16 ? Kept("FifoLog", kNoPipe, i)
                                : "00027,SendAlarm,alarms for /tmp/pipe/FifoLog: 16 kept, 1 dropped\n");
        lines.push_back(kOpened);
    }
    std::string kept;
    for (int i = 0; i < 16; ++i) kept += " L";
    return {"SixteenAlarmsAreKeptForAPeerAndFurtherOnesCounted", "", {{events, recs, lines}, {"+l", kept, {Delivered(16, "FifoLog")}}}};
}

const Row kRows[] = {
    // Start-up and shut-down.
    {"CheckDisabledNeverOpensTheDevice", "k0", {{"q01", "", {}}}, "o0 i0 r0 q1"},
    {"StandardDescriptorsClosedAtStartAreNotReused", "k0 stdio", {{"?fd c901/00", "R", {}}}},
    {"DeviceAbsent", "u", {}, "o0", 1, Failed({kShmat, kShmat, kNoDev, "00016,InitProcSub,TampDrvOpenProc failed"})},
    {"DeviceRefusesItsConfiguration", "i1", {}, "o1 i1 c1", 1,
     Failed({kShmat, kShmat, kIoctl, "00016,InitProcSub,TampDrvOpenProc failed"})},
    {"ConfigSegmentMissing", "xc", {}, "o0", 1, Failed({kShmget, "error of ComShmOpenRead()\n"}, kDetach)},
    {"KeyFileMissing", "xk", {}, "o0", 1, Failed({kShmget, "error of ComShmOpenRead()\n"}, kDetach)},
    {"OtherSegmentMissing", "xo", {}, "o0", 1, Failed({kShmat, kShmget, "error of ComShmOpenRead(OTHER)\n"}, kDetach)},
    {"CommandPipeMissing", "xt", {}, "", 1,
     Failed({"open(read) failed(/tmp/pipe/FifoTamp, errno=2)\n", "error(TampFifo read) of ComFifoCreate()\n"},
            {"close(fifoTampRead) failed(/tmp/pipe/FifoTamp, errno=9(Bad file descriptor))\n"})},
    // The pair kind is read big-endian whatever the host; 1 picks error code 0x22.
    {"PairKindBytesInTheOtherOrder", "k0 P16777216", {}, "", 0, Boot(kKind + "1000000 \n")},
    {"PairKindMinusOne", "k0 P-1", {}, "", 0, Boot(kKind + "ffffffff \n")},
    {"PairKindOneChoosesTheOtherCode", "P1", {{"e01", "X L2 D S", {kOpened}}}},
    {"PairKindTwoKeepsTheNormalCode", "P2", {{"e01", "X L D S", {kOpened}}}, "", 0, Boot(kKind + "2 \n")},
    // The log level of the command line.
    Life("LevelZeroLogsNothing", "arg=0 lv0"),
    Life("LevelMissing", "noarg", Boot("log level argument missing, level 6 used\n", 0)),
    Life("LevelNotANumber", "arg=abc", Boot("log level argument is not a number(abc), level 6 used\n", 0)),
    Life("LevelWithTrailingText", "arg=7x", Boot("log level argument is not a number(7x), level 6 used\n", 0)),
    Life("LevelAboveSeven", "arg=8 lv7", Boot("log level argument out of range(8), level 7 used\n", 0)),
    Life("LevelNegative", "arg=-1 lv0", {"", "W0", {"log level argument out of range(-1), level 0 used\n"}}),
    Life("UnderTheMemoryCheckerNothingIsLeftAllocated", "vg arg=7 lv7"),
    // Each road's trace lines, once, with the descriptors the process really holds.
    {"TracesOfEveryRoad", "arg=7 lv7", {{"?fd c901/01", "R", {}}, {"e01", "X L D S", {kOpened}}}, "", 0, {"", "W0", {}},
     {"pProcInfo = 0x{x}\n", "start of InitProc\n", "fifoTampRead = {p}\n", "success of ComShmOpenRead(OTHER)\n",
      "tamper driver open and ioctl success\n", "pProcInfo->iaSelectDes[0] = {v}\n",
      "pProcInfo->iaSelectDes[1] = {p}\n", "end of TampDrvOpenProc\n", "end of InitProcSub\n",
      "end of WakeupComplete\n", "start of MainProc\n", "iReadcnt = 256\n", "start of TampDrvOpenProc\n",
      "end of FifoReadFunc\n", "start of TampReadFunc\n", "start of WritePipe_ErrLog\n", "end of WritePipe_ErrLog\n",
      "end of TampReadFunc\n", "start of TermProcSub\n", "tamper driver close success\n", "end of TerminateComplete\n",
      "end of TermProcSub\n", "fifoTampRead of close(/tmp/pipe/FifoTamp)\n", "success of ComTimerDelete()\n",
      "success of ComShmClose()\n", "memory free\n", "end of TampProcess\n"}},
    // Terminate takes data[0] 0 or 1 only (here 1); other senders and commands are refused.
    {"RefusedRecordsAreLoggedAndChangeNothing", "k0 t1",
     {{"c900/02 c900/31 c900/ff c081:900/00 c010:901/01 c903/00 c054/01", "",
       {Refused("00002", "080", "900", "2"), Refused("00002", "080", "900", "31"), Refused("00002", "080", "900", "ff"),
        Refused("00008", "081", "900", "0"), Refused("00008", "010", "901", "1"), Refused("00007", "080", "903", "0"),
        Refused("00007", "080", "054", "1")}}}},
    // 901 with data[0] 1 applies the check byte; every 901 is answered.
    {"SettingChangeAppliesTheCheckByte", "",
     {{"?fd c901/01", "R", {}},         // already open: not opened again
      {"k0 c901/00", "R", {}},          // data[0] 0: reply only, the device stays open
      {"c901/01", "R", {"00021,FifoReadFunc,tamper check off, Tamper Switch Driver not watched\n"}},
      {"wp q01", "", {}},
      {"k1 c901/01", "R X L D S",  // opened again; the waiting event is read now
       {"00020,FifoReadFunc,tamper check on, Tamper Switch Driver watched\n", kOpened}},
      {"kX c901/01 c901/00", "R R", {kIllegal + "X\n"}},
      {"m e01", "X L D S", {kOpened}}},
     "o2 i2 c2 q0"},
    {"CheckByteTwoAtStartUp", "k2", {{"c901/01", "R", {kIllegal + "2\n"}}}, "o0"},
    {"SettingChangeReportsDeviceFailures", "k0",
     {{"u k1 c901/01", "R", {kNoDev, "00003,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"b i1 c901/01", "R",
       {kIoctl, "00003,FifoReadFunc,TampDrvOpenProc failed\n",
        "00020,FifoReadFunc,tamper check on, Tamper Switch Driver watched\n"}},
      {"e01", "X L D S", {kOpened}}},  // watched although its configuration failed
     "o1 i1 c1"},
    {"WakeUpOpensTheDeviceAndReportsTheOutcome", "k0",
     {{"c902/00", "W0", {}},
      {"k1 u c902/00", "W1", {kNoDev, "00006,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"b i1 c902/00", "W1", {kIoctl, "00006,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"e01", "X L D S", {kOpened}},
      {"i0 c902/00", "W0", {}}},  // already open: not opened again
     "o1 i1 c1"},
    // Whatever a writer puts into the pipe is read 256 bytes at a time; a read of a whole record is
    // parsed, fewer bytes are dropped with their count (six of a terminate would otherwise stop it).
    {"RecordsOfAnyBytesAreAnsweredOrRefused", "",
     {{"?fd", "", {Short(6)}, "080900"},
      {"", "", {Refused("00008", "000", "901", "1")}, MakeRecord(0, 901, "\x01").replace(0, 3, "0a0")},
      {"", "", {Refused("00007", "080", "000", "20")}, MakeRecord(80, 0, "").replace(3, 3, "x9!")},
      {"", "", {Refused("00008", "000", "000", "0")}, std::string(256, '\0')},
      {"", "R", {Short(44)}, MakeRecord(80, 901, kZero) + std::string(44, 'x')},
      {"", "", {Short(7)}, std::string("080901\0", 7)},
      {"", "R W0", {Refused("00008", "081", "901", "2")},
       MakeRecord(80, 901, kZero) + MakeRecord(80, 902, kZero) + MakeRecord(81, 901, "\x02")},
      {"e01", "X L D S", {kOpened}}}},
    // The device is served before the command pipe: a flood of commands cannot hold off the response,
    // and every command of the flood is answered.
    {"EventDuringACommandFloodIsAnsweredAtOnce", "any", {{"f01", "X L D S", {kOpened}}}, "o1 r1"},
    // With its own writing end held, a pipe without other writers leaves the monitor asleep.
    {"NoWriterOnTheCommandPipeLeavesTheMonitorIdle", "", {{"h0 wp ?i h1 c901/00", "R", {}}}},
    // The tamper response: card master file first, then error log, display and supervisor.
    {"EveryOpeningDeletesTheCardMasterAndRaisesThreeRecords", "",
     {{"e01", "X L D S", {kOpened}}, {"e01", "L D S", {kOpened}}, {"m e01", "X L D S", {kOpened}}}, "o1 i1 c1"},
    {"EventsQueuedTogetherAreAnsweredOneAfterTheOther", "",
     {{"e0102018001ff", "X L D S L D S L D S", {kOpened, kEv + "2\n", kOpened, kOpened}}}},  // 0x80, 0xff held back
    {"FailedDeletionIsLoggedAndTheAlarmsStillGoOut", "",
     {{"M e01", "L D S",
       {"00018,TampReadFunc,/usr/local/zk/ap/conf/cardmaster.dat delete failed(errno=39(Directory not empty))\n",
        "00019,TampReadFunc,Tamper Switch opened, /usr/local/zk/ap/conf/cardmaster.dat NOT deleted\n"}}}},
    {"OtherEventsAndFailedReadsChangeNothing", "",
     {{"?fd e00 e02 eff Z2 E2", "", {kEv + "0\n", kEof, kReadFail}},  // each at most once a second
      {"e01", "X L D S", {kOpened}}},  // still watched
     "r8 q0"},
    // A device that keeps failing is read again only after a pause (measured once the first failure
    // is logged), commands are answered meanwhile; after a second of failures it is closed, opened
    // again a second later and answered in full.
    {"DeviceThatKeepsFailingIsReadSeldomThenOpenedAgain", "",
     {{"?fd Ef", "", {kReadFail}},
      {"?s c901/00", "R", {}},
      {"", "", {Held("00009"), kReadFail, kReadFailing}},
      {"E0", "", {"00024,TampRetryFunc,Tamper Switch Driver reopened\n"}},
      {"e01", "X L D S", {kOpened}}},
     "o2 i2 c2"},
    // An alarm never waits for its peer: what a peer cannot take now is kept, in order, and handed
    // over once it reads again. Missing pipes are never made by the monitor.
    {"MissingPeerPipesGetTheirAlarmsWhenBack", "",
     {{"-l -d e01", "X S", {Kept("FifoLog", kNoPipe, 1), Kept("FifoDisp", kNoPipe, 1), kOpened}},
      {"m -s e01", "X", {Kept("FifoLog", kNoPipe, 2), Kept("FifoDisp", kNoPipe, 2), Kept("FifoSts", kNoPipe, 1), kOpened}},
      {"+l +d +s", "L L D D S", {Delivered(2, "FifoLog"), Delivered(2, "FifoDisp"), Delivered(1, "FifoSts")}},
      {"m e01", "X L D S", {kOpened}}}},
    OutboxOverflow(),
    // A regular file in a pipe's place receives nothing.
    {"RegularFileInTheErrorLogsPlaceReceivesNothing", "",
     {{"-l gl e01", "X D S", {Kept("FifoLog", kNotPipe, 1), kOpened}},
      {"?e +l", "L", {Delivered(1, "FifoLog")}},
      {"m e01", "X L D S", {kOpened}}}},
    // A peer that stops reading delays only its own alarms: the next opening is answered as fast
    // and commands are answered meanwhile.
    {"ErrorLogThatStopsReadingDelaysOnlyItsOwnAlarms", "",
     {{"p e01", "X D S", {Kept("FifoLog", kNoRoom, 1), kOpened}},
      {"m e01 c901/00", "X D S R", {Kept("FifoLog", kNoRoom, 2), kOpened}},
      {"r", "F L L", {Delivered(2, "FifoLog")}},
      {"m e01", "X L D S", {kOpened}}}},
    // The error log's process died and left its pipe: nobody reads it, and its alarm waits for the
    // reader, who comes back with a new pipe in place of the orphaned one.
    {"ErrorLogWhoseProcessDiedGetsItsAlarmWhenBack", "",
     {{"-l nl e01 c901/00", "X D S R", {Kept("FifoLog", kNoReader, 1), kOpened}},
      {"-l +l", "L", {Delivered(1, "FifoLog")}},
      {"m e01", "X L D S", {kOpened}}}},
    // The supervisor stops reading: a reply waits a second at most, then fails; its alarm is kept.
    {"SupervisorThatStopsReadingHoldsARequestASecondAtMost", "",
     {{"ps c901/00", "", Lines(3, "FIFO write error (fifo=/tmp/pipe/FifoSts, errno=11(Resource temporarily unavailable))\n")},
      {"e01", "X L D", {Kept("FifoSts", kNoRoom, 1), kOpened}},
      {"rs", "Fs S", {Delivered(1, "FifoSts")}}}},
    // A terminating signal ends the process while an alarm is kept.
    {"TermWhileAnAlarmIsKeptEndsTheProcess", "", {{"p e01 wp ~15", "X D S", {Kept("FifoLog", kNoRoom, 1), kOpened}}}, "", -15},
    {"HupWhileAnAlarmIsKeptEndsTheProcess", "", {{"p e01 wp ~1", "X D S", {Kept("FifoLog", kNoRoom, 1), kOpened}}}, "", -1},
    // Other signals stay blocked during the wait: they neither end nor disturb the process.
    {"OtherSignalsStayBlockedDuringTheWait", "",
     {{"wp ?w !3,12,13,14,20,21,24,26,27,29,34,63,64", "", {}}, {"e01", "X L D S", {kOpened}}}},
};

// Another reader of the command pipe takes records that the wait reported ready: the monitor must
// never be left waiting in a read of it, or the opening that follows would go unanswered.
TEST(Monitor, SecondReaderOfTheCommandPipeNeverHoldsTheResponse) {
    Unit unit({.kivtamp = KIVTAMP_PATH, .emulator = Split(KIVTAMP_EMULATOR, '|'), .syslog = &kivtest::Syslog()});
    ASSERT_TRUE(unit.Boot()) << unit.Error();
    const int thief = open(PipePath(kFifoTamp).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(thief, 0);
    std::atomic<bool> stop{false};
    std::thread steal([&] {
        std::array<char, kRecordSize> buf{};
        pollfd ready{thief, POLLIN, 0};
        while (!stop)
            if (poll(&ready, 1, 5) > 0) (void)read(thief, buf.data(), buf.size());
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(unit.Send(901, 0));
        std::this_thread::sleep_for(1ms);
    }
    stop = true;
    steal.join();
    close(thief);
    const uint64_t mark = unit.Mark();
    ASSERT_TRUE(unit.Inject(1));
    EXPECT_TRUE(unit.WaitRecord(kFifoSts, 609, 3s, mark));
    auto end = unit.Terminate();
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->Exited(0)) << Describe(*end);
}

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }
class Monitor : public testing::TestWithParam<Row> {};
TEST_P(Monitor, Scenario) { Scenario(GetParam()).Go(); }
// The memory checker's row exists only where the checker can run this build's monitor (not under
// the sanitizers, not for the emulated target: the memory lane covers the host binary there).
std::vector<Row> RowsOfThisBuild() {
    std::vector<Row> rows;
    std::ranges::copy_if(kRows, std::back_inserter(rows),
                         [](const Row &r) { return *KIVTAMP_VALGRIND || r.setup.find("vg") != 0; });
    return rows;
}
INSTANTIATE_TEST_SUITE_P(Rows, Monitor, testing::ValuesIn(RowsOfThisBuild()),
                         [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

} // namespace
