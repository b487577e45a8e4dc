// SPDX-License-Identifier: MIT
// The real kivtamp in the simulated unit against kivfloor, event by event and command by command,
// alternating which side goes first. Each side has its own instance of the tamper-switch stand-in
// (one device has one queue of events) and its own command pipe; both send into the same peers'
// pipes and delete the same card master file.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench.h"
#include "unit.h"

namespace kivbench {
namespace {

using kivsim::Ms;

constexpr const char *kFloorPipe = "/tmp/pipe/FifoFloor";
constexpr const char *kFloorDevice = "/dev/cr_tampsw_floor";
constexpr const char *kFloorSwitchDir = "/tmp/kivbench-floorsw";
constexpr const char *kConfDir = "/usr/local/zk/ap/conf";
constexpr const char *kCardMasterName = "cardmaster.dat";
constexpr int kWarmup = 20;
constexpr Ms kTimeout{5000};
// Quiet before each event or command, as in service, where they come seldom: the previous one's
// after-effects (the device's poll being re-armed, readers going back to sleep) are over, and
// neither side profits from following the other closely.
constexpr std::chrono::microseconds kSettle{1000};

// Where one side's events and commands are written; both descriptors are held for the whole run,
// so a repetition costs the side one write each.
struct Side {
    explicit Side(const char *n) : name(n) {}
    Side(const Side &) = delete;
    Side &operator=(const Side &) = delete;
    const char *name;
    int injectFd = -1;
    int commandFd = -1;
    std::string answer; // the records of the last event or command, clock fields blanked
    ~Side() {
        if (injectFd >= 0) close(injectFd);
        if (commandFd >= 0) close(commandFd);
    }
};

// Writing end of a command pipe, opened the way the supervisor holds FifoTamp.
int OpenWriter(const char *path) {
    int reader = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader >= 0) close(reader);
    return fd;
}

// Sees the card master file go.
class DeleteWatch {
public:
    DeleteWatch() {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && inotify_add_watch(fd_, kConfDir, IN_DELETE) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~DeleteWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    void Drain() {
        alignas(inotify_event) char buf[4096];
        while (read(fd_, buf, sizeof buf) > 0) {
        }
    }
    // The time the deletion was seen, or nothing after the time-out.
    std::optional<Clock::time_point> Wait(Ms timeout) {
        auto deadline = Clock::now() + timeout;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) {
                auto now = Clock::now();
                for (ssize_t off = 0; off < n;) {
                    auto *ev = reinterpret_cast<inotify_event *>(buf + off);
                    if ((ev->mask & IN_DELETE) && ev->len > 0 && std::strcmp(ev->name, kCardMasterName) == 0)
                        return now;
                    off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                }
                continue;
            }
            auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left));
        }
    }

private:
    int fd_ = -1;
};

// Every line logged so far has been taken in (at level 7 the receiver would otherwise still be
// busy with one side's lines while the other side is measured), then a quiet moment.
void Settle(kivsim::Unit &unit) {
    unit.Log().Sync();
    std::this_thread::sleep_for(kSettle);
}

std::string CommandRecord(int cmd, unsigned char data0) {
    std::string data = kivsim::SpaceData();
    data[0] = static_cast<char>(data0);
    return kivsim::MakeRecord(kivsim::kModSupervisor, cmd, data);
}

// One tamper event through one side: event byte written until the file is gone, and until the
// supervisor's 609 has been read.
bool TamperOnce(kivsim::Unit &unit, Side &side, DeleteWatch &watch, double &toDeletion, double &toAlarms) {
    watch.Drain();
    uint64_t mark = unit.Mark();
    const unsigned char event = 1;
    auto t0 = Clock::now();
    if (write(side.injectFd, &event, 1) != 1) return false;
    auto gone = watch.Wait(kTimeout);
    auto sts = unit.Records().WaitRecord(kivsim::kFifoSts, 609, kTimeout, mark);
    auto log = unit.Records().WaitRecord(kivsim::kFifoLog, 54, kTimeout, mark);
    auto disp = unit.Records().WaitRecord(kivsim::kFifoDisp, 151, kTimeout, mark);
    if (!gone || !sts || !log || !disp) {
        std::fprintf(stderr, "kivbench: %s: tamper event not answered (deleted %d, 609 %d, 54 %d, 151 %d)\n",
                     side.name, gone.has_value(), sts.has_value(), log.has_value(), disp.has_value());
        return false;
    }
    toDeletion = Micros(*gone - t0);
    toAlarms = Micros(sts->when - t0);
    // Date and time (data bytes 0-13 of the error-log record) may differ by a second.
    std::string stamped = log->bytes;
    if (stamped.size() >= 20) stamped.replace(6, 14, 14, '.');
    side.answer = stamped + disp->bytes + sts->bytes;
    return unit.CreateCardMaster();
}

bool CommandOnce(kivsim::Unit &unit, Side &side, const std::string &record, double &roundTrip) {
    uint64_t mark = unit.Mark();
    auto t0 = Clock::now();
    if (write(side.commandFd, record.data(), record.size()) != static_cast<ssize_t>(record.size())) return false;
    auto reply = unit.Records().WaitRecord(kivsim::kFifoSts, 621, kTimeout, mark);
    if (!reply) {
        std::fprintf(stderr, "kivbench: %s: no 621 reply\n", side.name);
        return false;
    }
    roundTrip = Micros(reply->when - t0);
    side.answer = reply->bytes;
    return true;
}

// The floor is a fair yardstick only if it sends what the monitor sends.
bool SameAnswer(const Side &a, const Side &b) {
    if (a.answer == b.answer) return true;
    std::fprintf(stderr, "kivbench: %s and %s sent different records\n", a.name, b.name);
    return false;
}

long long StatusField(pid_t pid, const char *key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t len = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, len, key) == 0 && line.size() > len && line[len] == ':')
            return std::atoll(line.c_str() + len + 1);
    return -1;
}

long long CpuNs(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

long long Switches(pid_t pid) {
    return StatusField(pid, "voluntary_ctxt_switches") + StatusField(pid, "nonvoluntary_ctxt_switches");
}

// System calls of a process over some seconds, counted by strace; -1 when strace cannot attach.
long long CountSyscalls(pid_t pid, double seconds) {
    char out[] = "/tmp/kivbench-strace-XXXXXX";
    int fd = mkstemp(out);
    if (fd < 0) return -1;
    close(fd);
    char cmd[256];
    std::snprintf(cmd, sizeof cmd, "timeout -s INT %.0f strace -q -c -f -o %s -p %d 2>/dev/null", seconds, out,
                  static_cast<int>(pid));
    // timeout's 124: strace was attached for the whole window (a failed attach ends it sooner).
    int rc = std::system(cmd);
    std::ifstream in(out);
    std::string line;
    long long calls = 0;
    bool attached = rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 124;
    while (std::getline(in, line)) {
        // "100.00    0.000012           6         2           total"
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;) w.push_back(s);
        if (!w.empty() && w.back() == "total" && w.size() >= 4) calls = std::atoll(w[3].c_str());
    }
    unlink(out);
    return attached ? calls : -1;
}

void MeasureIdle(kivsim::Unit &unit, const Paths &paths, const Options &opt, Idle &idle) {
    pid_t pid = unit.Monitor().Pid();
    std::this_thread::sleep_for(Ms(500));
    auto period = std::chrono::duration<double>(opt.idleSeconds);
    long long cpu0 = CpuNs(pid);
    long long sw0 = Switches(pid);
    std::this_thread::sleep_for(period);
    idle.cpuNs = CpuNs(pid) - cpu0;
    idle.contextSwitches = Switches(pid) - sw0;
    idle.rssKib = StatusField(pid, "VmRSS");
    idle.rssAnonKib = StatusField(pid, "RssAnon");
    // strace stops the process to attach, so it comes after the undisturbed window.
    idle.syscalls = CountSyscalls(pid, opt.idleSeconds);

    kivsim::MonitorProcess least(paths.idle);
    if (least.StartArgs({"kividle"}) > 0) {
        std::this_thread::sleep_for(Ms(300));
        idle.floorRssKib = StatusField(least.Pid(), "VmRSS");
        idle.floorRssAnonKib = StatusField(least.Pid(), "RssAnon");
        least.Kill();
    }
}

// Resident size of the statically linked monitor after a tamper event and a command.
void StaticRss(const Paths &paths, Idle &idle) {
    kivsim::Unit unit({.kivtamp = paths.kivtampStatic});
    if (!unit.Boot("6")) return;
    uint64_t mark = unit.Mark();
    if (!unit.Inject(1) || !unit.WaitRecord(kivsim::kFifoSts, 609, kTimeout, mark) || !unit.ChangeSetting(0))
        return;
    std::this_thread::sleep_for(Ms(300));
    idle.staticRssKib = StatusField(unit.Monitor().Pid(), "VmRSS");
    idle.staticRssAnonKib = StatusField(unit.Monitor().Pid(), "RssAnon");
    unit.Terminate();
}

bool RunLevel(int level, const Paths &paths, const Options &opt, std::vector<Figure> &figures, Idle *idle) {
    kivsim::Unit unit({.kivtamp = paths.kivtamp});
    if (!unit.Up()) {
        std::fprintf(stderr, "kivbench: unit: %s\n", unit.Error().c_str());
        return false;
    }
    kivsim::TampSwitch floorSwitch({}, kFloorDevice);
    if (!floorSwitch.Start(kFloorSwitchDir) || !floorSwitch.Bind()) {
        std::fprintf(stderr, "kivbench: floor's stand-in: %s\n", floorSwitch.Error().c_str());
        return false;
    }
    if (mkfifo(kFloorPipe, 0666) != 0 && errno != EEXIST) return false;
    Side floorSide{"kivfloor"};
    floorSide.commandFd = OpenWriter(kFloorPipe);
    floorSide.injectFd = open((floorSwitch.MountDir() + "/inject").c_str(), O_WRONLY | O_CLOEXEC);

    uint64_t mark = unit.Mark();
    kivsim::MonitorProcess floor(paths.floor);
    if (floor.StartArgs({"kivfloor", kFloorDevice, kFloorPipe}) < 0 ||
        !unit.Records().WaitRecord(kivsim::kFifoStsp, 600, kTimeout, mark)) {
        std::fprintf(stderr, "kivbench: kivfloor did not come up\n");
        return false;
    }
    mark = unit.Mark();
    if (!unit.StartMonitor(std::to_string(level)) || !unit.WaitForWakeup(Ms(10000), mark)) {
        std::fprintf(stderr, "kivbench: kivtamp did not come up: %s\n", unit.Error().c_str());
        return false;
    }
    Side monitorSide{"kivtamp"};
    monitorSide.commandFd = OpenWriter(kivsim::PipePath(kivsim::kFifoTamp).c_str());
    monitorSide.injectFd = open((unit.Switch().MountDir() + "/inject").c_str(), O_WRONLY | O_CLOEXEC);
    DeleteWatch watch;
    if (floorSide.commandFd < 0 || floorSide.injectFd < 0 || monitorSide.commandFd < 0 ||
        monitorSide.injectFd < 0 || !watch.Ok()) {
        std::fprintf(stderr, "kivbench: cannot open the command pipes, inject files or watch\n");
        return false;
    }

    Figure deletion{"event_to_deletion", level};
    Figure alarms{"event_to_alarms", level};
    Figure command{"command_round_trip", level};
    const std::string setting = CommandRecord(901, 0);
    Side *sides[2] = {&monitorSide, &floorSide};

    for (int i = -kWarmup; i < opt.reps; ++i) {
        for (int k = 0; k < 2; ++k) {
            // Alternate which side goes first, so neither always runs right after the other.
            Side &side = *sides[(i + k) & 1];
            double d = 0;
            double a = 0;
            Settle(unit);
            if (!TamperOnce(unit, side, watch, d, a)) return false;
            if (i == -kWarmup && k == 1 && !SameAnswer(monitorSide, floorSide)) return false;
            if (i < 0) continue;
            bool mon = &side == &monitorSide;
            (mon ? deletion.monitor : deletion.floor).Add(d);
            (mon ? alarms.monitor : alarms.floor).Add(a);
        }
        if (i % 100 == 0) {
            unit.Records().Clear();
            unit.Log().Clear();
        }
    }
    for (int i = -kWarmup; i < opt.reps; ++i) {
        for (int k = 0; k < 2; ++k) {
            Side &side = *sides[(i + k) & 1];
            double r = 0;
            Settle(unit);
            if (!CommandOnce(unit, side, setting, r)) return false;
            if (i == -kWarmup && k == 1 && !SameAnswer(monitorSide, floorSide)) return false;
            if (i >= 0) (&side == &monitorSide ? command.monitor : command.floor).Add(r);
        }
        if (i % 100 == 0) {
            unit.Records().Clear();
            unit.Log().Clear();
        }
    }
    figures.push_back(std::move(deletion));
    figures.push_back(std::move(alarms));
    figures.push_back(std::move(command));

    if (idle != nullptr) MeasureIdle(unit, paths, opt, *idle);

    (void)!write(floorSide.commandFd, CommandRecord(900, 0).data(), kivsim::kRecordSize);
    floor.Wait(Ms(2000));
    auto status = unit.Terminate();
    floorSwitch.Stop();
    unlink(kFloorPipe);
    if (!status || !status->Exited(0)) {
        std::fprintf(stderr, "kivbench: kivtamp did not end cleanly\n");
        return false;
    }
    return true;
}

} // namespace

bool RunUnit(const Paths &paths, const Options &opt, std::vector<Figure> &figures, Idle &idle) {
    if (!RunLevel(6, paths, opt, figures, &idle) || !RunLevel(7, paths, opt, figures, nullptr)) return false;
    StaticRss(paths, idle);
    return true;
}

// ------------------------------------------------------------------ the monitor under stress
namespace {

// The flood runs this long before the event, and at most this long after it.
constexpr Ms kFloodLead{100};
constexpr Ms kFloodCap{3000};
constexpr int kFloodReps = 15;

// How the monitor answers each kind of flooding record, to check that every one was answered.
struct FloodKind {
    int cmd;
    unsigned char data0;
    std::string_view pipe; // the reply's pipe, or empty: a line at priority 6
    int reply;
};

constexpr FloodKind kFloodKinds[] = {
    {901, 1, kivsim::kFifoSts, 621},
    {902, 0, kivsim::kFifoStsp, 600},
    {900, 5, {}, 0}, // rejected with message 00002
};

bool Answered(kivsim::Unit &unit, const FloodKind &kind, long sent, uint64_t mark) {
    if (!kind.pipe.empty())
        return unit.Records().WaitCount(kind.pipe, kind.reply, static_cast<size_t>(sent), Ms(30000), mark);
    const std::string line = "00002,FifoReadFunc,message format err(iMod_id:080/iCmd_id:900/data[0]:0x5)\n";
    for (auto deadline = Clock::now() + Ms(30000); Clock::now() < deadline; std::this_thread::sleep_for(Ms(20))) {
        unit.Log().Sync();
        if (unit.Log().Count(LOG_INFO, line) >= static_cast<size_t>(sent)) return true;
    }
    return false;
}

// One tamper event; the time to the deletion, whether or not a flood is running.
std::optional<double> EventToDeletion(kivsim::Unit &unit, DeleteWatch &watch, kivsim::Flood *flood) {
    watch.Drain();
    uint64_t mark = unit.Mark();
    auto t0 = Clock::now();
    if (!unit.Inject(1)) return std::nullopt;
    auto gone = watch.Wait(flood != nullptr ? kFloodCap : kTimeout);
    if (!gone && flood != nullptr) {
        flood->Stop();
        gone = watch.Wait(kTimeout);
    }
    if (!gone || !unit.Records().WaitRecord(kivsim::kFifoSts, 609, kTimeout, mark)) return std::nullopt;
    if (!unit.CreateCardMaster()) return std::nullopt;
    return Micros(*gone - t0);
}

// Tamper events on a quiet unit and under a flood of commands, interleaved in the same run.
bool FloodFigure(kivsim::Unit &unit, Figure &figure) {
    DeleteWatch watch;
    int fd = OpenWriter(kivsim::PipePath(kivsim::kFifoTamp).c_str());
    if (fd < 0 || !watch.Ok()) return false;
    bool ok = true;
    for (int i = 0; ok && i < kFloodReps; ++i) {
        const FloodKind &kind = kFloodKinds[i % 3];
        Settle(unit);
        auto quiet = EventToDeletion(unit, watch, nullptr);
        unit.Records().Clear();
        unit.Log().Clear();
        uint64_t mark = unit.Mark();
        kivsim::Flood flood(fd, CommandRecord(kind.cmd, kind.data0));
        std::this_thread::sleep_for(kFloodLead);
        auto busy = EventToDeletion(unit, watch, &flood);
        long sent = flood.Stop();
        ok = quiet && busy && Answered(unit, kind, sent, mark);
        if (!ok) std::fprintf(stderr, "kivbench: flood of %d: event or commands not answered\n", kind.cmd);
        if (ok) figure.floor.Add(*quiet);
        if (ok) figure.monitor.Add(*busy);
    }
    close(fd);
    return ok;
}

// Share of one CPU the monitor takes over a few one-second windows while nobody holds its command
// pipe open for writing; afterwards a writer comes back and a command must be answered again.
bool NoWriterFigure(kivsim::Unit &unit, Figure &figure) {
    pid_t pid = unit.Monitor().Pid();
    unit.Sts().ReleaseCommandPipe();
    std::this_thread::sleep_for(Ms(300));
    unit.Log().Sync();
    size_t lines0 = unit.Log().Lines().size();
    auto start = Clock::now();
    for (int w = 0; w < 3; ++w) {
        long long cpu0 = CpuNs(pid);
        std::this_thread::sleep_for(Ms(1000));
        figure.monitor.Add(static_cast<double>(CpuNs(pid) - cpu0) / 1e7);
    }
    unit.Log().Sync();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::fprintf(stderr, "kivbench: no writer on the command pipe: %.2f %% of a CPU, %.1f lines/s\n",
                 figure.monitor.Quantile(0.5), static_cast<double>(unit.Log().Lines().size() - lines0) / seconds);
    if (!unit.Sts().HoldCommandPipe() || !unit.ChangeSetting(0)) {
        std::fprintf(stderr, "kivbench: no answer once the writer came back\n");
        return false;
    }
    return true;
}

// A second tamper event while the error log's reader is paused with its pipe full (the first
// event's alarm to it is kept), against the same event on the quiet unit, interleaved.
bool StuckPeerFigure(kivsim::Unit &unit, Figure &figure) {
    DeleteWatch watch;
    if (!watch.Ok()) return false;
    kivsim::PipeReader &log = unit.ErrLog();
    for (int i = 0; i < kFloodReps; ++i) {
        Settle(unit);
        auto quiet = EventToDeletion(unit, watch, nullptr);
        uint64_t mark = unit.Mark();
        log.Pause();
        int fd = OpenWriter(log.Path().c_str());
        const std::string filler = kivsim::MakeRecord(99, 999, "filler");
        size_t fillers = 0;
        while (fd >= 0 && write(fd, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size())) ++fillers;
        if (fd >= 0) close(fd);
        auto first = EventToDeletion(unit, watch, nullptr);
        auto stuck = EventToDeletion(unit, watch, nullptr);
        log.Resume();
        // Both kept alarms reach the error log once it reads again.
        if (!quiet || !first || !stuck || !unit.Records().WaitCount(kivsim::kFifoLog, 54, 2, Ms(5000), mark)) {
            std::fprintf(stderr, "kivbench: stuck error log: event not answered or alarm not delivered\n");
            return false;
        }
        figure.floor.Add(*quiet);
        figure.monitor.Add(*stuck);
    }
    return true;
}

// Every peer away for five seconds while tamper events come, then back: each kept alarm must
// reach it. The figure is the number of alarms lost.
bool AlarmsLostFigure(kivsim::Unit &unit, Figure &figure) {
    constexpr int kEvents = 10;
    const std::string_view peers[] = {kivsim::kFifoLog, kivsim::kFifoDisp, kivsim::kFifoSts};
    const int cmds[] = {54, 151, 609};
    Settle(unit);
    uint64_t mark = unit.Mark();
    for (std::string_view p : peers)
        if (!unit.RemovePeer(p)) return false;
    for (int i = 0; i < kEvents; ++i) {
        if (!unit.Inject(1)) return false;
        std::this_thread::sleep_for(Ms(500));
        (void)unit.CreateCardMaster();
    }
    for (std::string_view p : peers)
        if (!unit.RestorePeer(p)) return false;
    size_t lost = 0;
    for (size_t k = 0; k < 3; ++k) {
        unit.Records().WaitCount(peers[k], cmds[k], kEvents, Ms(5000), mark);
        lost += kEvents - std::min<size_t>(kEvents, unit.Records().Count(peers[k], cmds[k], mark));
    }
    figure.monitor.Add(static_cast<double>(lost));
    std::fprintf(stderr, "kivbench: peers away for 5 s during %d events: alarms lost: %zu\n", kEvents, lost);
    return lost == 0;
}

} // namespace

bool RunRobust(const Paths &paths, std::vector<Figure> &figures) {
    kivsim::Unit unit({.kivtamp = paths.kivtamp});
    if (!unit.Boot("6")) {
        std::fprintf(stderr, "kivbench: unit: %s\n", unit.Error().c_str());
        return false;
    }
    // The floor of this figure is the same event on the quiet unit.
    Figure flood{"event_to_deletion_under_flood", 6};
    Figure noWriter{"idle_no_writer_cpu_share", 6};
    noWriter.unit = "percent";
    Figure stuck{"event_to_deletion_with_stuck_peer", 6};
    Figure lost{"alarms_lost", 6, "check"};
    lost.unit = "alarms";
    if (!FloodFigure(unit, flood) || !NoWriterFigure(unit, noWriter) || !StuckPeerFigure(unit, stuck) ||
        !AlarmsLostFigure(unit, lost))
        return false;
    figures.push_back(std::move(flood));
    figures.push_back(std::move(noWriter));
    figures.push_back(std::move(stuck));
    figures.push_back(std::move(lost));
    auto status = unit.Terminate();
    return status && status->Exited(0);
}

} // namespace kivbench
