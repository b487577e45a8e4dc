#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

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

const std::string kEntry = std::string(kCardMasterFile) + "/entry";
const std::string kKeyAway = std::string(kShmKeyFile) + ".away";

std::string Rec(std::string head) { return head.append(kRecordSize - head.size(), ' '); }
struct RecDef { const char *tok; std::string_view pipe; std::string bytes; };
const RecDef kRecs[] = {{"W0", kFifoStsp, Rec("0536000000312")}, {"W1", kFifoStsp, Rec("0536000010312")},
                        {"R", kFifoSts, Rec("053621")},          {"T", kFifoSts, Rec("053605000")},
                        {"S", kFifoSts, Rec("053609\x05\x01")},  {"D", kFifoDisp, Rec("0531510625 00000000")},
                        {"F", kFifoLog, MakeRecord(99, 999, "filler")}, {"L", kFifoLog, ""}, {"L2", kFifoLog, ""}};

Names Split(std::string s, char sep = ' ') {
    std::replace(s.begin(), s.end(), sep, ' ');
    std::istringstream in(s);
    Names out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string StampNow() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", localtime_r(&now, &t));
    return buf;
}

// A pattern is literal text in which "{x}" stands for one or more hex digits (an address).
bool Matches(std::string_view p, std::string_view t) {
    size_t x = p.find("{x}"), n = x;
    if (x == std::string_view::npos) return p == t;
    while (n < t.size() && std::isxdigit(static_cast<unsigned char>(t[n]))) ++n;
    return t.substr(0, x) == p.substr(0, x) && n > x && Matches(p.substr(x + 3), t.substr(n));
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
bool Pending(pid_t pid, int sig) { return ((SigSet(pid, "SigPnd") | SigSet(pid, "ShdPnd")) & Bit(sig)) != 0; }

bool Until(const std::function<bool()> &done) {
    for (auto end = std::chrono::steady_clock::now() + 10s; !done(); std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// The monitor's lines of one priority; closelog at the end of shut-down drops the ident.
Names Logged(int pri) {
    kivtest::Syslog().Sync();
    Names out;
    for (const LogLine &l : kivtest::Syslog().Lines())
        if ((l.ident == "KIVTAMP" || l.ident == "kivtamp") && l.pri == pri) out.push_back(l.text);
    return out;
}

struct Scenario {
    const Row &row;
    std::unique_ptr<Unit> unit;
    WriteOrder order;
    Names lines, orderWant;
    std::map<std::string_view, Names> want;
    std::string t0 = StampNow();
    pid_t pid = -1;
    int level = 6, fillers = 0, pipeFd = -1, devFd = -1;
    bool card = true, movedKey = false, madeLog = false, responded = false;

    explicit Scenario(const Row &r) : row(r) {}
    ~Scenario() {
        rmdir(kEntry.c_str());
        rmdir(kCardMasterFile);
        if (movedKey) rename(kKeyAway.c_str(), kShmKeyFile);
    }

    // Patterns with the descriptors the process holds in place of "{p}" (pipe) and "{v}" (device).
    Names Sub(Names patterns) const {
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
        for (const std::string &w : Split(s.recs)) {
            size_t star = w.find('*');
            std::string t = w.substr(0, star);
            for (int i = star == std::string::npos ? 1 : std::stoi(w.substr(star + 1)); i > 0; --i) {
                responded = responded || t == "X" || t == "S" || t[0] == 'L';
                if (t == "X") orderWant.push_back("cardmaster.dat"), card = false;
                for (const RecDef &d : kRecs)
                    if (t == d.tok) {
                        want[d.pipe].insert(want[d.pipe].end(), t == "F" ? static_cast<size_t>(fillers) : 1, t);
                        if (t != "F") orderWant.emplace_back(d.pipe);
                    }
            }
        }
        Names add = Sub(s.lines);
        if (logged) lines.insert(lines.end(), add.begin(), add.end());
        return Until([&] {
            bool in = Logged(6).size() >= lines.size();
            for (auto &[pipe, recs] : want) in = in && unit->Records().Count(pipe) >= recs.size();
            return in;
        });
    }

    bool Do(const std::string &tok) {
        const std::string a = tok.substr(1);
        TampSwitch &sw = unit->Switch();
        const long reads = sw.Reads();
        auto read = [&](long n) { return sw.WaitForCount("reads", reads + n, 10s); };
        std::string_view peer = a == "l" ? kFifoLog : a == "d" ? kFifoDisp : kFifoSts;
        switch (tok[0]) {
        case 'c': {
            int mod = 80, cmd = 0, n = 1;
            unsigned d = 0;
            std::string f = a.find(':') == std::string::npos ? "80:" + a : a;
            bool ok = sscanf(f.c_str(), "%d:%d/%x*%d", &mod, &cmd, &d, &n) >= 3;
            for (int i = 0; i < n; ++i) ok = ok && unit->Sts().SendRecord(mod, cmd, std::string(1, static_cast<char>(d)));
            return ok;
        }
        case 'e':
        case 'q': {
            std::string bytes;
            for (size_t i = 0; i + 1 < a.size(); i += 2) bytes += static_cast<char>(std::stoi(a.substr(i, 2), nullptr, 16));
            return sw.Inject(bytes) && (tok[0] == 'q' || read(static_cast<long>(bytes.size())));
        }
        case 'E':
        case 'Z': return (tok[0] == 'E' ? sw.SetReadFail(std::stol(a)) : sw.SetEof(std::stol(a))) && read(std::stol(a));
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
        case '+': return (madeLog || access(PipePath(peer).c_str(), F_OK) != 0) && unit->RestorePeer(peer) && order.Watch(peer);
        case 'n': return (madeLog = mkfifo(PipePath(kFifoLog).c_str(), 0666) == 0) && order.Watch(kFifoLog);
        case 'p': {
            unit->ErrLog().Pause();
            int fd = open(unit->ErrLog().Path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            const std::string &f = kRecs[6].bytes;
            for (fillers = 0; write(fd, f.data(), f.size()) == static_cast<ssize_t>(f.size());) ++fillers;
            orderWant.emplace_back(kFifoLog);
            return close(fd) == 0 && fillers > 0;
        }
        case 'r': return unit->ErrLog().Resume(), true;
        case 'm': return (card = true) && unit->CreateCardMaster();
        case 'M':  // the file replaced by a directory that cannot be removed
            orderWant.push_back("cardmaster.dat");
            return unlink(kCardMasterFile) == 0 && mkdir(kCardMasterFile, 0755) == 0 && mkdir(kEntry.c_str(), 0755) == 0;
        case 'w': {
            long nr = a == "p" ? SYS_pselect6 : a == "w" ? SYS_write : SYS_openat;
            return Until([&] { return std::atol(kivtest::ReadFileBytes("/proc/" + std::to_string(pid) + "/syscall").c_str()) == nr; });
        }
        case '!': {
            bool ok = true;
            for (const std::string &s : Split(a, ',')) ok = ok && kill(pid, std::stoi(s)) == 0 && Pending(pid, std::stoi(s));
            return ok;
        }
        case '?': {
            if (a == "C") return !unit->CardMasterExists();
            if (a[0] == 'p') return Pending(pid, std::stoi(a.substr(1)));
            if (a == "fd") {
                pipeFd = DescriptorOf(pid, PipePath(kFifoTamp));
                devFd = DescriptorOf(pid, kTampDevice);
                return pipeFd > 2 && (devFd > 2) == (sw.Opens() > 0);
            }
            // The wait lets through the timer signal, the stop and termination signals and child exits.
            uint64_t through = Bit(SIGKILL) | Bit(SIGSTOP);
            if (a == "w") through |= Bit(SIGUSR1) | Bit(SIGHUP) | Bit(SIGINT) | Bit(SIGTERM) | Bit(SIGCHLD);
            return SigSet(pid, "SigBlk") == (~through & ~(3ull << 31));
        }
        }
        return false;
    }

    void Go() {
        UnitOptions o;
        o.kivtamp = KIVTAMP_PATH;
        o.emulator = Split(KIVTAMP_EMULATOR, '|');
        o.syslog = &kivtest::Syslog();
        const bool emulated = !o.emulator.empty();
        std::optional<std::string> arg = "6";
        Names setup = Split(row.setup), actions;
        auto has = [&](const char *t) { return std::find(setup.begin(), setup.end(), t) != setup.end(); };
        for (const std::string &t : setup) {
            if (t.rfind("arg=", 0) == 0) arg = t.substr(4);
            else if (t == "noarg") arg.reset();
            else if (t.rfind("lv", 0) == 0) level = t[2] - '0';
            else if (t == "stdio") o.emulator.insert(o.emulator.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
            else if (t == "vg") o.emulator = {KIVTAMP_VALGRIND, "-q", "--leak-check=full", "--show-leak-kinds=all",
                                              "--errors-for-leak-kinds=all", "--error-exitcode=99"};
            else if (t != "t1" && t != "any") actions.push_back(t);
        }
        if (has("vg") && *KIVTAMP_VALGRIND == '\0') GTEST_SKIP() << "no memory checker in this build";
        // The one place that knows the emulator refuses the device's ioctl request 3 (ENOSYS): a row needs it
        // unless the device stays closed at start-up (check off, device absent, earlier failure) and after.
        auto closed = [](const std::string &t) { return t[0] == 'x' || t == "u" || (t[0] == 'k' && t != "k1"); };
        bool ioctl = std::none_of(actions.begin(), actions.end(), closed) ||
                     std::any_of(row.steps.begin(), row.steps.end(), [](auto &s) { return s.act.find("k1") != std::string::npos; });
        if (ioctl && emulated) GTEST_SKIP() << "needs the device's ioctl request 3, which the emulator refuses";

        unit = std::make_unique<Unit>(o);
        ASSERT_TRUE(unit->Up()) << unit->Error();
        for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp}) order.Watch(p);
        order.WatchRemoval(kCardMasterFile);
        for (const std::string &t : actions) ASSERT_TRUE(Do(t)) << t;
        ASSERT_TRUE(unit->StartMonitor(arg)) << unit->Error();
        pid = unit->Monitor().Pid();
        Step boot = row.boot;
        if (boot.lines.empty() && level >= 6) boot.lines = kBoot;
        ASSERT_TRUE(Expect(boot, true)) << "start-up";
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
            Names got, &w = want[p];
            for (const Received &r : unit->Records().On(p)) got.push_back(Token(r));
            if (any) std::sort(got.begin(), got.end()), std::sort(w.begin(), w.end());
            EXPECT_EQ(got, w) << p;
        }
        // Consecutive writes to one pipe may show as one entry.
        orderWant.erase(std::unique(orderWant.begin(), orderWant.end()), orderWant.end());
        Names seen = order.Names(orderWant.size(), 2s);
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        EXPECT_TRUE(any || seen == orderWant) << "order of writes " << testing::PrintToString(seen);

        Names six = Logged(6), seven = Logged(7), traces = Sub(row.traces);
        auto match = [](const std::string &t, const std::string &p) { return Matches(p, t); };
        EXPECT_TRUE(six.size() == lines.size() && std::equal(six.begin(), six.end(), lines.begin(), match))
            << testing::PrintToString(six) << "\nexpected " << testing::PrintToString(lines);
        EXPECT_EQ(!seven.empty(), level == 7);
        auto at = seven.begin();
        for (const std::string &t : traces) {
            at = std::find_if(at, seven.end(), [&](const std::string &l) { return Matches(t, l); });
            ASSERT_NE(at++, seven.end()) << "no trace " << t << " in order in " << testing::PrintToString(seven);
        }
        for (const LogLine &l : kivtest::Syslog().Lines())
            EXPECT_TRUE(l.ident != "KIVTAMP" || (l.facility == 20 && l.pid == pid)) << l.text; // LOG_LOCAL4
        EXPECT_EQ(unit->CardMasterExists(), card);
        for (const std::string &c : Split(row.sw)) {
            const char *name = c[0] == 'o' ? "opens" : c[0] == 'i' ? "ioctls" : c[0] == 'c' ? "closes" : c[0] == 'r' ? "reads" : "queued";
            unit->Switch().WaitForCount(name, std::stol(c.substr(1)), 2s);
            EXPECT_EQ(unit->Switch().Count(name), std::stol(c.substr(1))) << name;
        }
    }
};

} // namespace

void Run(const Row &row) { Scenario(row).Go(); }

} // namespace kive2e
