// SPDX-License-Identifier: MIT
// Load runs of the real kivtamp in the simulated unit, each with the checks that make its figures
// worth having: an event storm while the supervisor keeps sending commands, and several writers on
// the command pipe at once. Every record must arrive whole and none may be lost; a failed check
// stops the bench.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <initializer_list>
#include <thread>

#include "bench.h"
#include "unit.h"

namespace kivbench {
namespace {

using kivsim::kFifoDisp;
using kivsim::kFifoLog;
using kivsim::kFifoSts;
using kivsim::kFifoStsp;
using kivsim::Ms;
using Names = std::vector<std::string>;

// A whole record: head (ids and fields) followed by spaces.
std::string Rec(std::string_view head) { return std::string(head) + std::string(kivsim::kRecordSize - head.size(), ' '); }

const std::string kDisplayRecord = Rec("053151" "0625 00000000");
const std::string kErrorStatusRecord = Rec("053609" "\x05\x01");
const std::string kSettingReply = Rec("053621");
const std::string kWakeupRecord = Rec("053600" "000" "0312");

// The error-log record of a tamper event: date and time digits, code 0x21 and kind 1, spaces.
bool IsErrLogRecord(const std::string &b) {
    return b.size() == kivsim::kRecordSize && b.compare(0, 6, "053054") == 0 &&
           b.find_first_not_of("0123456789", 6) == 20 && b.compare(20, 2, "\x21\x01") == 0 &&
           b.find_first_not_of(' ', 22) == std::string::npos;
}

// Collects failed checks with what was seen; the run counts only when there is none.
struct Checks {
    const char *run;
    bool ok = true;
    void operator()(bool good, const std::string &what) {
        if (good) return;
        std::fprintf(stderr, "kivbench: %s: check failed: %s\n", run, what.c_str());
        ok = false;
    }
};

bool Started(kivsim::Unit &unit, const char *run) {
    if (unit.Boot("6")) return true;
    std::fprintf(stderr, "kivbench: %s: unit: %s\n", run, unit.Error().c_str());
    return false;
}

// Texts of the monitor's priority-6 lines from line `from` of its own on (closelog at the end of
// shut-down drops the ident, hence both names).
Names InfoLines(kivsim::Unit &unit, size_t from, size_t *total = nullptr) {
    unit.Log().Sync();
    Names out;
    size_t n = 0;
    for (const kivsim::LogLine &l : unit.Log().Lines())
        if ((l.ident == "KIVTAMP" || l.ident == "kivtamp") && n++ >= from && l.pri == 6) out.push_back(l.text);
    if (total != nullptr) *total = n;
    std::sort(out.begin(), out.end());
    return out;
}

Names Bytes(kivsim::Unit &unit, std::string_view pipe, uint64_t since) {
    Names out;
    for (const kivsim::Received &r : unit.Records().On(pipe))
        if (r.seq >= since) out.push_back(r.bytes);
    return out;
}

size_t Count(const Names &names, const std::string &record) {
    return static_cast<size_t>(std::count(names.begin(), names.end(), record));
}

// Gaps between successive records of these pipes (and command, -1 for any) since `since`.
void AddIntervals(kivsim::Unit &unit, std::initializer_list<std::string_view> pipes, int cmd, uint64_t since,
                  Samples &out) {
    std::optional<Clock::time_point> last;
    for (const kivsim::Received &r : unit.Records().All()) {
        bool wanted = r.seq >= since && (cmd < 0 || r.IsCommand(cmd));
        if (!wanted || std::find(pipes.begin(), pipes.end(), r.pipe) == pipes.end()) continue;
        if (last) out.Add(Micros(r.when - *last));
        last = r.when;
    }
}

} // namespace

// Event bytes queued at once, four in five an opening, while the supervisor sends 901 and 902 in
// turn, each after the other's reply: every opening gets its whole response (the error log, the
// display and the supervisor, one right after the other), every other byte its line, every
// command its answer.
bool RunStorm(const Paths &paths, const Options &opt, std::vector<Figure> &figures, Load &load) {
    Checks check{"event storm"};
    kivsim::Unit unit({.kivtamp = paths.kivtamp});
    if (!Started(unit, check.run)) return false;
    size_t from = 0;
    InfoLines(unit, 0, &from);
    const unsigned char others[] = {0, 2, 0x80, 0xff};
    std::string events;
    size_t openings = 0;
    Names expectedLines;
    for (int i = 0; i < opt.stormEvents; ++i) {
        unsigned char e = i % 5 == 4 ? others[(i / 5) % 4] : 1;
        events.push_back(static_cast<char>(e));
        char line[80];
        std::snprintf(line, sizeof line, "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x%x\n", e);
        if (e == 1) ++openings;
        else expectedLines.push_back(line);
    }
    std::sort(expectedLines.begin(), expectedLines.end());
    unit.ClearWriteOrder();
    const uint64_t mark = unit.Mark();
    const long reads0 = unit.Switch().Reads();

    // The write order is read all along, so the kernel's queue of watch events never overflows.
    std::atomic<bool> over{false};
    std::thread drain([&] {
        while (!over) {
            (void)unit.WriteOrder(0, Ms(0));
            std::this_thread::sleep_for(Ms(20));
        }
    });
    Figure roundTrip{"storm_command_round_trip", 6, "load"};
    size_t settings = 0;
    size_t wakeups = 0;
    const auto start = Clock::now();
    bool answered = unit.Switch().Inject(events);
    while (answered && !unit.Records().WaitCount(kFifoSts, 609, openings, Ms(0), mark)) {
        const bool setting = (settings + wakeups) % 2 == 0;
        (setting ? settings : wakeups)++;
        const uint64_t before = unit.Mark();
        const auto t0 = Clock::now();
        auto reply = unit.Send(setting ? 901 : 902, 0)
                         ? unit.Records().WaitRecord(setting ? kFifoSts : kFifoStsp, setting ? 621 : 600, Ms(60000), before)
                         : std::nullopt;
        answered = reply.has_value();
        if (answered) roundTrip.monitor.Add(Micros(reply->when - t0));
    }
    answered = answered && unit.Records().WaitCount(kFifoSts, 609, openings, Ms(120000), mark);
    load.stormSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    answered = answered && unit.Barrier();
    ++settings;
    over = true;
    drain.join();
    check(answered, "storm or command " + std::to_string(settings + wakeups) + " not answered: " + unit.Error());
    if (!check.ok) return false;

    check(unit.Switch().Reads() - reads0 == opt.stormEvents && unit.Switch().Queued() == 0,
          "the stand-in's reads " + std::to_string(unit.Switch().Reads() - reads0) + ", queued " +
              std::to_string(unit.Switch().Queued()));
    check(!unit.CardMasterExists(), "the card master file is back");
    const Names log = Bytes(unit, kFifoLog, mark);
    const Names disp = Bytes(unit, kFifoDisp, mark);
    const Names sts = Bytes(unit, kFifoSts, mark);
    const Names stsp = Bytes(unit, kFifoStsp, mark);
    const size_t good = static_cast<size_t>(std::count_if(log.begin(), log.end(), IsErrLogRecord)) +
                        Count(disp, kDisplayRecord) + Count(sts, kErrorStatusRecord) + Count(sts, kSettingReply) +
                        Count(stsp, kWakeupRecord);
    const size_t expected = 3 * openings + settings + wakeups;
    const size_t received = log.size() + disp.size() + sts.size() + stsp.size();
    check(good == expected && received == expected,
          std::to_string(expected) + " records expected, " + std::to_string(received) + " received, " +
              std::to_string(good) + " of them as expected");
    check(Count(sts, kErrorStatusRecord) == openings && Count(stsp, kWakeupRecord) == wakeups &&
              disp.size() == openings && log.size() == openings,
          "records per pipe");
    // One line per opening; the other bytes' line is logged at most once a second, its count held
    // back told with the next one, so of those only the kinds are checked.
    const Names lines = InfoLines(unit, from);
    const std::string opened = "00019,TampReadFunc,Tamper Switch opened, /usr/local/zk/ap/conf/cardmaster.dat deleted\n";
    const auto limited = [&](const std::string &l) {
        return std::find(expectedLines.begin(), expectedLines.end(), l) != expectedLines.end() ||
               l.rfind("00022,TampReadFunc,00010 held back ", 0) == 0;
    };
    const size_t openedLines = Count(lines, opened);
    const size_t limitedLines = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), limited));
    check(openedLines == openings && openedLines + limitedLines == lines.size() && limitedLines > 0,
          std::to_string(lines.size()) + " lines at level 6: " + std::to_string(openedLines) + " of " +
              std::to_string(openings) + " openings, " + std::to_string(limitedLines) + " of other bytes");
    // Each response wrote the error log, the display and the supervisor, one right after the
    // other: nothing else came between. Consecutive writes to one pipe may show as one entry.
    Names seq;
    for (const std::string &n : unit.WriteOrder())
        if (seq.empty() || seq.back() != n) seq.push_back(n);
    size_t responses = 0;
    for (size_t i = 0; i < seq.size(); ++i) {
        if (seq[i] != "FifoLog") continue;
        ++responses;
        check(i + 2 < seq.size() && seq[i + 1] == "FifoDisp" && seq[i + 2] == "FifoSts",
              "a response interrupted at write " + std::to_string(i));
    }
    check(responses == openings, std::to_string(responses) + " whole responses seen in the write order");
    if (!check.ok) return false;

    Figure interval{"storm_response_interval", 6, "load"};
    AddIntervals(unit, {kFifoSts}, 609, mark, interval.monitor);
    load.stormEvents = events.size();
    load.stormOpenings = openings;
    load.stormCommands = roundTrip.monitor.Size();
    load.stormLost = expected - good;
    figures.push_back(std::move(roundTrip));
    figures.push_back(std::move(interval));
    auto status = unit.Terminate();
    return status && status->Exited(0);
}

// Four writers on the command pipe at once, each sending in turn a setting command, a wake-up and a
// record from module 81 that the monitor must refuse; the data after data[0] is the writer's own
// letter, so a mixed record could not pass for a good one.
bool RunWriters(const Paths &paths, std::vector<Figure> &figures, Load &load) {
    Checks check{"several writers"};
    kivsim::Unit unit({.kivtamp = paths.kivtamp});
    if (!Started(unit, check.run)) return false;
    size_t from = 0;
    InfoLines(unit, 0, &from);
    constexpr int kWriters = 4;
    constexpr int kEach = 300;
    std::vector<std::string> batches(kWriters);
    Names expectedLines;
    for (int w = 0; w < kWriters; ++w) {
        char line[120];
        std::snprintf(line, sizeof line, "00008,FifoReadFunc,message format err(iMod_id:081/iCmd_id:901/data[0]:0x%x)\n", w);
        for (int i = 0; i < kEach; ++i) {
            std::string data(kivsim::kDataSize, static_cast<char>('A' + w));
            int kind = i % 3;
            data[0] = static_cast<char>(kind == 2 ? w : 0);
            batches[static_cast<size_t>(w)] += kivsim::MakeRecord(kind == 2 ? 81 : 80, kind == 1 ? 902 : 901, data);
            if (kind == 2) expectedLines.push_back(line);
        }
    }
    std::sort(expectedLines.begin(), expectedLines.end());
    const uint64_t mark = unit.Mark();
    const std::string path = kivsim::PipePath(kivsim::kFifoTamp);
    const auto start = Clock::now();
    std::vector<pid_t> pids;
    for (const std::string &batch : batches) {
        pid_t pid = fork();
        if (pid == 0) {
            // Only plain system calls here: the bench has threads.
            int fd = open(path.c_str(), O_WRONLY);
            if (fd < 0) _exit(2);
            for (size_t at = 0; at < batch.size(); at += kivsim::kRecordSize)
                if (write(fd, batch.data() + at, kivsim::kRecordSize) != static_cast<ssize_t>(kivsim::kRecordSize))
                    _exit(3);
            _exit(0);
        }
        check(pid > 0, "fork");
        if (pid > 0) pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int st = 0;
        check(waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0, "a writer failed");
    }
    const size_t perKind = kWriters * kEach / 3;
    check(unit.Records().WaitCount(kFifoSts, 621, perKind, Ms(60000), mark) &&
              unit.Records().WaitCount(kFifoStsp, 600, perKind, Ms(60000), mark),
          "not every command was answered");
    load.writersSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    check(unit.Barrier(), "barrier: " + unit.Error());
    if (!check.ok) return false;

    const Names sts = Bytes(unit, kFifoSts, mark);
    const Names stsp = Bytes(unit, kFifoStsp, mark);
    const size_t expected = 2 * perKind + 1; // and the barrier's reply
    const size_t good = Count(sts, kSettingReply) + Count(stsp, kWakeupRecord);
    check(good == expected && sts.size() + stsp.size() == expected,
          std::to_string(expected) + " replies and wake-ups expected, " + std::to_string(sts.size() + stsp.size()) +
              " records received, " + std::to_string(good) + " of them whole");
    check(Count(sts, kSettingReply) == perKind + 1, "replies to the setting commands");
    check(InfoLines(unit, from) == expectedLines, "the refused records' lines");
    if (!check.ok) return false;

    Figure interval{"writers_reply_interval", 6, "load"};
    AddIntervals(unit, {kFifoSts, kFifoStsp}, -1, mark, interval.monitor);
    load.writersRecords = kWriters * kEach;
    load.writersLost = expected - good;
    figures.push_back(std::move(interval));
    auto status = unit.Terminate();
    return status && status->Exited(0);
}

} // namespace kivbench
