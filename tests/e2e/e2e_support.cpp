#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>
#include <functional>
#include <thread>

#include "decode.h"
#include "kivtest.h"
#include "unit.h"

// The binary under test, the words run in front of it ('|' between them: a target binary's
// emulator) and the memory checker, if this build has one.
#ifndef KIVTAMP_PATH
#error "KIVTAMP_PATH must name the kivtamp binary under test"
#endif

namespace kive2e {
namespace {

using namespace kivsim;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

constexpr const char *kConfDir = "/usr/local/zk/ap/conf";
constexpr long kAlways = 1'000'000'000; // device reads that fail: as good as for ever
const std::string kEntry = std::string(kCardMasterFile) + "/entry";
const std::string kKeyAway = std::string(kShmKeyFile) + ".away";

UnitOptions DefaultOptions() {
    UnitOptions o;
    o.kivtamp = KIVTAMP_PATH;
    for (std::string_view l = KIVTAMP_EMULATOR; !l.empty();) {
        size_t bar = std::min(l.find('|'), l.size());
        if (bar > 0) o.emulator.emplace_back(l.substr(0, bar));
        l.remove_prefix(std::min(bar + 1, l.size()));
    }
    o.syslog = &kivtest::Syslog();
    return o;
}

std::string Rec(std::string_view head) {
    std::string r(head);
    r.resize(kRecordSize, ' ');
    return r;
}

struct RecDef {
    const char *tok;
    std::string_view pipe;
    std::string bytes;
};
const RecDef kRecs[] = {
    {"W0", kFifoStsp, Rec("0536000000312")}, {"W1", kFifoStsp, Rec("0536000010312")},
    {"R", kFifoSts, Rec("053621")},          {"T", kFifoSts, Rec("053605000")},
    {"S", kFifoSts, Rec("053609\x05\x01")},  {"D", kFifoDisp, Rec("0531510625 00000000")},
    {"F", kFifoLog, MakeRecord(99, 999, "filler")}, {"L", kFifoLog, ""}, {"L2", kFifoLog, ""},
};
const std::string_view kPipes[] = {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp, kFifoFtp};

Names Split(const std::string &s) {
    std::istringstream in(s);
    Names out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// "tok*n" as n tokens.
Names Expand(const std::string &s) {
    Names out;
    for (const std::string &w : Split(s)) {
        size_t star = w.find('*');
        int n = star == std::string::npos ? 1 : std::stoi(w.substr(star + 1));
        out.insert(out.end(), static_cast<size_t>(n), w.substr(0, star));
    }
    return out;
}

std::string StampNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm t{};
    localtime_r(&now.tv_sec, &t);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &t);
    return buf;
}

// A pattern is literal text except "{x}", one or more hex digits, and "{d}", a decimal number.
bool Matches(std::string_view p, std::string_view t) {
    while (!p.empty()) {
        if (p.size() >= 3 && p[0] == '{' && p[2] == '}' && (p[1] == 'x' || p[1] == 'd')) {
            size_t from = p[1] == 'd' && !t.empty() && t[0] == '-' ? 1 : 0, n = from;
            auto digit = [&](unsigned char c) { return p[1] == 'x' ? std::isxdigit(c) != 0 : std::isdigit(c) != 0; };
            while (n < t.size() && digit(static_cast<unsigned char>(t[n]))) ++n;
            if (n == from) return false;
            p.remove_prefix(3);
            t.remove_prefix(n);
        } else if (t.empty() || t[0] != p[0]) {
            return false;
        } else {
            p.remove_prefix(1);
            t.remove_prefix(1);
        }
    }
    return t.empty();
}

std::string Show(const Names &v) {
    std::string out;
    for (const std::string &s : v) out += "  " + Printable(s) + "\n";
    return out;
}

int DescriptorOf(pid_t pid, const std::string &path) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        if (std::filesystem::read_symlink(e.path(), ec).string() == path) return std::stoi(e.path().filename());
    return -1;
}

// A signal set of /proc/<pid>/status ("SigBlk", "SigPnd", "ShdPnd").
uint64_t SigSet(pid_t pid, const std::string &field) {
    std::istringstream in(kivtest::ReadFileBytes("/proc/" + std::to_string(pid) + "/status"));
    for (std::string l; std::getline(in, l);)
        if (l.rfind(field + ":", 0) == 0) return std::stoull(l.substr(field.size() + 1), nullptr, 16);
    return 0;
}
bool Pending(pid_t pid, int sig) { return ((SigSet(pid, "SigPnd") | SigSet(pid, "ShdPnd")) >> (sig - 1)) & 1; }

class Scenario {
public:
    explicit Scenario(const Row &row) : row_(row) {}
    ~Scenario() {
        rmdir(kEntry.c_str());
        rmdir(kCardMasterFile);
        if (movedKey_) rename(kKeyAway.c_str(), kShmKeyFile);
    }
    void Go();

private:
    bool Do(const std::string &tok);
    void Expect(const Step &s, bool logged);
    bool Settle();
    bool Until(const std::function<bool()> &done, std::chrono::milliseconds timeout = 10s);
    Names Lines6(int pri = 6);
    std::string Token(const Received &r);
    std::string Sub(std::string p);

    const Row &row_;
    UnitOptions o_;
    std::unique_ptr<Unit> unit_;
    WriteOrder order_;
    Names lines_, orderWant_, traces_;
    std::map<std::string_view, Names> want_;
    std::string t0_;
    pid_t pid_ = -1;
    int level_ = 6, fillers_ = 0, pipeFd_ = -1, devFd_ = -1;
    bool card_ = true, movedKey_ = false, madeLog_ = false, responded_ = false;
};

bool Scenario::Until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    for (auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

Names Scenario::Lines6(int pri) {
    kivtest::Syslog().Sync();
    Names out;
    for (const LogLine &l : kivtest::Syslog().Lines())
        // closelog at the end of shut-down drops the ident: the last line goes out under the program's name.
        if ((l.ident == "KIVTAMP" || l.ident == "kivtamp") && l.pri == pri) out.push_back(l.text);
    return out;
}

std::string Scenario::Sub(std::string p) {
    for (auto [k, v] : {std::pair{"{p}", pipeFd_}, std::pair{"{v}", devFd_}})
        for (size_t at; (at = p.find(k)) != std::string::npos;) p.replace(at, 3, std::to_string(v));
    return p;
}

std::string Scenario::Token(const Received &r) {
    for (const RecDef &d : kRecs)
        if (d.pipe == r.pipe && d.bytes == r.bytes) return d.tok;
    // The error-log record carries the local date and time of the response, within the run.
    std::string stamp = r.bytes.size() == kRecordSize ? r.bytes.substr(6, 14) : "";
    bool digits = stamp.size() == 14 && stamp.find_first_not_of("0123456789") == std::string::npos;
    if (r.pipe == kFifoLog && digits && t0_ <= stamp && stamp <= StampNow())
        for (auto [tok, code] : {std::pair{"L", '\x21'}, std::pair{"L2", '\x22'}})
            if (r.bytes == Rec("053054" + stamp + code + '\x01')) return tok;
    return r.pipe + ":" + r.bytes;
}

void Scenario::Expect(const Step &s, bool logged) {
    for (const std::string &t : Expand(s.recs)) {
        responded_ = responded_ || t == "X" || t == "S" || t[0] == 'L';
        if (t == "X") {
            orderWant_.push_back("cardmaster.dat");
            card_ = false;
            continue;
        }
        for (const RecDef &d : kRecs)
            if (t == d.tok) {
                want_[d.pipe].insert(want_[d.pipe].end(), t == "F" ? static_cast<size_t>(fillers_) : 1, t);
                if (t != "F") orderWant_.emplace_back(d.pipe);
            }
    }
    if (logged) lines_.insert(lines_.end(), s.lines.begin(), s.lines.end());
}

bool Scenario::Settle() {
    return Until([&] {
        if (Lines6().size() < lines_.size()) return false;
        for (auto &[pipe, recs] : want_)
            if (unit_->Records().Count(pipe) < recs.size()) return false;
        return true;
    });
}

bool Scenario::Do(const std::string &tok) {
    const std::string a = tok.substr(1);
    TampSwitch &sw = unit_->Switch();
    const long reads = sw.Reads();
    auto read = [&](long n) { return sw.WaitForCount("reads", reads + n, 10s); };
    auto peer = [](char c) { return c == 'l' ? kFifoLog : c == 'd' ? kFifoDisp : kFifoSts; };
    switch (tok[0]) {
    case 'c': {
        int mod = 80, cmd = 0, n = 1;
        unsigned d = 0;
        if (a.find(':') != std::string::npos ? sscanf(a.c_str(), "%d:%d/%x*%d", &mod, &cmd, &d, &n) < 3
                                             : sscanf(a.c_str(), "%d/%x*%d", &cmd, &d, &n) < 2)
            return false;
        for (int i = 0; i < n; ++i)
            if (!unit_->Sts().SendRecord(mod, cmd, std::string(1, static_cast<char>(d)))) return false;
        return true;
    }
    case 'e':
    case 'q': {
        std::string bytes;
        for (size_t i = 0; i + 1 < a.size(); i += 2) bytes += static_cast<char>(std::stoi(a.substr(i, 2), nullptr, 16));
        return sw.Inject(bytes) && (tok[0] == 'q' || read(static_cast<long>(bytes.size())));
    }
    case 'E': return a == "f" ? sw.SetReadFail(kAlways) : sw.SetReadFail(std::stol(a)) && read(std::stol(a));
    case 'Z': return a == "f" ? sw.SetEof(kAlways) : sw.SetEof(std::stol(a)) && read(std::stol(a));
    case 'f': {
        // Sixteen records a write keep the pipe full whatever the scheduler does.
        std::string batch;
        for (int i = 0; i < 16; ++i) batch += MakeRecord(kModSupervisor, 901, "\x01");
        std::atomic<bool> stop{false};
        size_t sent = 0;
        std::thread flood([&] {
            for (; !stop && unit_->SendRaw(batch); sent += 16) {
            }
        });
        std::this_thread::sleep_for(100ms);
        const bool ok = sw.Inject(std::string(1, static_cast<char>(std::stoi(a, nullptr, 16)))) &&
                        sw.WaitForCount("reads", reads + 1, 2s);
        stop = true;
        flood.join();
        want_[kFifoSts].insert(want_[kFifoSts].end(), sent, "R");
        return ok;
    }
    case 'h':
        if (a == "0") unit_->Sts().ReleaseCommandPipe();
        return a == "0" || unit_->Sts().HoldCommandPipe();
    case 'g': {
        int fd = open(PipePath(peer(a[0])).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd >= 0 && close(fd) == 0;
    }
    case 'k': return unit_->Segments().SetTamperCheck(a[0]);
    case 'u': return sw.Unbind();
    case 'b': return sw.Bind();
    case 'i': return sw.SetIoctlFail(a == "1");
    case '-': return unit_->RemovePeer(peer(a[0]));
    case '+':
        // A send to a peer that is gone must not leave anything in its place.
        if ((a[0] != 'l' || !madeLog_) && access(PipePath(peer(a[0])).c_str(), F_OK) == 0) return false;
        return unit_->RestorePeer(peer(a[0])) && order_.Watch(peer(a[0]));
    case 'n': return (madeLog_ = mkfifo(PipePath(kFifoLog).c_str(), 0666) == 0) && order_.Watch(kFifoLog);
    case 'p': {
        unit_->ErrLog().Pause();
        int fd = open(unit_->ErrLog().Path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const std::string &f = kRecs[6].bytes;
        for (fillers_ = 0; write(fd, f.data(), f.size()) == static_cast<ssize_t>(f.size());) ++fillers_;
        orderWant_.emplace_back(kFifoLog);
        return close(fd) == 0 && fillers_ > 0;
    }
    case 'r': unit_->ErrLog().Resume(); return true;
    case 'm': return (card_ = true) && unit_->CreateCardMaster();
    case 'M': return (card_ = true) && mkdir(kCardMasterFile, 0755) == 0 && mkdir(kEntry.c_str(), 0755) == 0;
    case 'w': {
        long nr = a == "p" ? SYS_pselect6 : a == "w" ? SYS_write : SYS_openat;
        std::string file = "/proc/" + std::to_string(pid_) + "/syscall";
        return Until([&] { return std::atol(kivtest::ReadFileBytes(file).c_str()) == nr; });
    }
    case '!':
        for (size_t at = 0; at < a.size(); at = a.find(',', at) + 1) {
            int sig = std::stoi(a.substr(at));
            if (kill(pid_, sig) != 0 || !Pending(pid_, sig)) return false;
            if (a.find(',', at) == std::string::npos) break;
        }
        return true;
    case '?':
        if (a == "C") return !unit_->CardMasterExists();
        if (a == "e") {
            struct stat st {};
            const std::string log = PipePath(kFifoLog);
            return stat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 && unlink(log.c_str()) == 0;
        }
        if (a == "i" || a == "s") {
            const std::string file = "/proc/" + std::to_string(pid_) + "/schedstat";
            const long long cpu = std::atoll(kivtest::ReadFileBytes(file).c_str()); // nanoseconds on a CPU
            std::this_thread::sleep_for(a == "i" ? 300ms : 400ms);
            const long long used = std::atoll(kivtest::ReadFileBytes(file).c_str()) - cpu;
            return a == "i" ? used == 0 : sw.Reads() - reads <= 12 && used < 4'000'000;
        }
        if (a[0] == 'p') return Pending(pid_, std::stoi(a.substr(1)));
        if (a == "fd") {
            pipeFd_ = DescriptorOf(pid_, PipePath(kFifoTamp));
            devFd_ = DescriptorOf(pid_, kTampDevice);
            return pipeFd_ > 2 && (devFd_ > 2) == (sw.Opens() > 0);
        }
        {
            // The wait lets through the timer signal, the stop and termination signals and child exits.
            uint64_t mask = SigSet(pid_, "SigBlk");
            for (int s = 1; s <= SIGRTMAX; ++s) {
                bool through = a == "w" ? (s == SIGUSR1 || s == SIGKILL || s == SIGHUP || s == SIGINT ||
                                           s == SIGSTOP || s == SIGTERM || s == SIGCHLD)
                                        : (s == SIGKILL || s == SIGSTOP);
                // The two signals the C library keeps for itself have no name to block.
                if ((s < 32 || s >= SIGRTMIN) && ((mask >> (s - 1)) & 1) == through) return false;
            }
            return true;
        }
    }
    return false;
}

void Scenario::Go() {
    o_ = DefaultOptions();
    std::optional<std::string> arg = "6";
    bool early = false, t1 = false, any = false;
    for (const std::string &t : Split(row_.setup)) {
        if (t[0] == 'k' && t.size() == 2) o_.tamperCheck = t[1];
        else if (t.rfind("kind=", 0) == 0) o_.pairKind = static_cast<int32_t>(std::stoll(t.substr(5)));
        else if (t.rfind("arg=", 0) == 0) arg = t.substr(4);
        else if (t.rfind("lv", 0) == 0) level_ = t[2] - '0';
        else if (t == "noarg") arg.reset();
        else if (t == "nodev") o_.bindSwitch = false;
        else if (t == "nocard") o_.cardMaster = card_ = false;
        else if (t == "nopipe") o_.commandPipe = false, early = true;
        else if (t == "nocfg" || t == "nooth" || t == "nokey") early = true;
        else if (t == "t1") t1 = true;
        else if (t == "any") any = true;
        else if (t == "stdio") o_.emulator.insert(o_.emulator.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
        else if (t == "vg" && *KIVTAMP_VALGRIND == '\0') GTEST_SKIP() << "no memory checker in this build";
        else if (t == "vg") o_.emulator = {KIVTAMP_VALGRIND, "-q", "--leak-check=full", "--show-leak-kinds=all",
                                           "--errors-for-leak-kinds=all", "--error-exitcode=99"};
    }
    // The one place that knows the emulator refuses the device's ioctl request 3 (ENOSYS).
    bool ioctl = (o_.tamperCheck == '1' && o_.bindSwitch && !early) ||
                 std::any_of(row_.steps.begin(), row_.steps.end(), [](const Step &s) { return s.act.find("k1") != std::string::npos; });
    if (ioctl && !DefaultOptions().emulator.empty()) GTEST_SKIP() << "needs the device's ioctl request 3, which the emulator refuses";

    unit_ = std::make_unique<Unit>(o_);
    ASSERT_TRUE(unit_->Up()) << unit_->Error();
    for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp}) order_.Watch(p);
    order_.WatchRemoval(kCardMasterFile);
    t0_ = StampNow();
    for (const std::string &t : Split(row_.setup))
        ASSERT_TRUE((t != "nocfg" || unit_->Segments().Remove(kProjConfig)) &&
                    (t != "nooth" || unit_->Segments().Remove(kProjOther)) &&
                    (t != "noioctl" || unit_->Switch().SetIoctlFail(true)) &&
                    (t != "nokey" || (movedKey_ = rename(kShmKeyFile, kKeyAway.c_str()) == 0)))
            << t;
    ASSERT_TRUE(unit_->StartMonitor(arg)) << unit_->Error();
    pid_ = unit_->Monitor().Pid();
    Step boot = row_.boot;
    if (boot.lines.empty() && level_ >= 6) boot.lines = kBoot;
    Expect(boot, true);
    ASSERT_TRUE(Settle()) << "start-up";
    for (size_t i = 0; i < row_.steps.size(); ++i) {
        const Step &s = row_.steps[i];
        ASSERT_TRUE(s.raw.empty() || unit_->SendRaw(s.raw)) << unit_->Error();
        for (const std::string &t : Split(s.act)) ASSERT_TRUE(Do(t)) << "step " << i << ": " << t;
        Expect(s, level_ >= 6);
        ASSERT_TRUE(Settle()) << "step " << i << " (" << s.act << ")";
    }
    if (row_.exit == 0) {
        // Only a tamper response moves the process into the card master file's directory.
        std::error_code ec;
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/cwd", ec) == kConfDir, responded_);
        ASSERT_TRUE(unit_->Send(900, t1)) << unit_->Error();
        Expect({"", "T", kShutdown}, level_ >= 6);
        ASSERT_TRUE(Settle()) << "terminate";
    }
    auto end = unit_->WaitExit(30s);
    ASSERT_TRUE(end) << "still running";
    EXPECT_EQ(row_.exit < 0 ? end->signal : end->code, std::abs(row_.exit)) << Describe(*end);
    for (std::string_view p : kPipes)
        if (PipeReader *r = unit_->Reader(p)) r->Sync();

    for (std::string_view p : kPipes) {
        Names got;
        for (const Received &r : unit_->Records().On(p)) got.push_back(Token(r));
        Names want = want_[p];
        if (any) std::sort(got.begin(), got.end()), std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << p << " got:\n" << Show(got);
    }
    // Consecutive writes to one pipe may show as one entry.
    Names want = orderWant_;
    want.erase(std::unique(want.begin(), want.end()), want.end());
    Names order = order_.Names(want.size(), 2s);
    order.erase(std::unique(order.begin(), order.end()), order.end());
    EXPECT_TRUE(any || order == want) << "order of writes:\n" << Show(order) << "expected:\n" << Show(want);

    Names six = Lines6();
    bool same = six.size() == lines_.size();
    for (size_t i = 0; same && i < six.size(); ++i) same = Matches(Sub(lines_[i]), six[i]);
    EXPECT_TRUE(same) << "priority-6 lines:\n" << Show(six) << "expected:\n" << Show(lines_);
    Names seven = Lines6(7);
    EXPECT_EQ(!seven.empty(), level_ == 7) << Show(seven);
    auto at = seven.begin();
    for (const std::string &t : row_.traces) {
        at = std::find_if(at, seven.end(), [&](const std::string &l) { return Matches(Sub(t), l); });
        ASSERT_NE(at++, seven.end()) << "no trace " << Printable(t) << " in order; traces:\n" << Show(seven);
    }
    for (const LogLine &l : kivtest::Syslog().Lines())
        EXPECT_TRUE(l.ident != "KIVTAMP" || (l.facility == 20 && l.pid == pid_)) << l.text; // LOG_LOCAL4
    EXPECT_EQ(unit_->CardMasterExists(), card_);
    for (const std::string &c : Split(row_.sw)) {
        const char *name = c[0] == 'o' ? "opens" : c[0] == 'i' ? "ioctls" : c[0] == 'c' ? "closes" : c[0] == 'r' ? "reads" : "queued";
        unit_->Switch().WaitForCount(name, std::stol(c.substr(1)), 2s);
        EXPECT_EQ(unit_->Switch().Count(name), std::stol(c.substr(1))) << name;
    }
}

} // namespace

void Run(const Row &row) { Scenario(row).Go(); }

} // namespace kive2e
