// SPDX-License-Identifier: MIT
// kivsim: the simulated unit around the real monitor.
//   kivsim demo  [--kivtamp PATH] [--level N]   a scripted run, printed as a timeline
//   kivsim shell [--kivtamp PATH] [--level N]   the same bench, driven by commands on stdin
// Both use the unit's fixed paths and so run only inside sim/sandbox.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "decode.h"
#include "unit.h"

namespace {

using kivsim::Clock;
using kivsim::LogLine;
using kivsim::Ms;
using kivsim::Received;

// ---------------------------------------------------------------- timeline

// Column of the text after "  +   12.345 ms  pipe  ", and of the notes under an entry.
constexpr const char *kText = "                       ";
constexpr const char *kNote = "                 ";

struct Sent {
    Clock::time_point when;
    std::string what;
};

// Prints what happened on the unit since the last call: records, syslog lines and the commands
// the supervisor sent, merged by time. Runs of trace lines (priority 7) are folded into one line
// unless asked for.
class Timeline {
public:
    explicit Timeline(kivsim::Unit &unit) : unit_(unit) {}

    void Origin(Clock::time_point t0) { t0_ = t0; }
    void NoteSent(const std::string &what) { sent_.push_back({Clock::now(), what}); }

    void PrintNew(bool traces) {
        Settle();
        std::vector<Received> records = unit_.Records().All();
        std::vector<LogLine> lines = unit_.Log().Lines();
        struct Item {
            Clock::time_point when;
            int kind; // 0 sent, 1 record, 2 log
            size_t index;
            size_t rank = 0; // of a record in write order
        };
        std::vector<Item> items;
        for (size_t i = sentDone_; i < sent_.size(); ++i) items.push_back({sent_[i].when, 0, i, 0});
        for (size_t i = recordsDone_; i < records.size(); ++i) items.push_back({records[i].when, 1, i, 0});
        for (size_t i = linesDone_; i < lines.size(); ++i) items.push_back({lines[i].when, 2, i, 0});
        std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.when < b.when; });
        PutRecordsInWriteOrder(records, items);
        sentDone_ = sent_.size();
        recordsDone_ = records.size();
        linesDone_ = lines.size();

        std::vector<std::string> folded; // texts of the current run of traces
        auto flush = [&] {
            if (folded.empty()) return;
            std::printf("%s... %zu trace line%s at priority 7 (%s", kText, folded.size(),
                        folded.size() == 1 ? "" : "s", folded.front().c_str());
            if (folded.size() > 1) std::printf(" ... %s", folded.back().c_str());
            std::printf(")\n");
            folded.clear();
        };
        for (const Item &it : items) {
            if (it.kind == 2) {
                const LogLine &l = lines[it.index];
                if (l.pri == 7 && !traces) {
                    std::string t = l.text;
                    if (!t.empty() && t.back() == '\n') t.pop_back();
                    folded.push_back(kivsim::Printable(t));
                    continue;
                }
                flush();
                std::printf("  %s  log   %s\n", Stamp(it.when).c_str(), kivsim::DescribeLogLine(l).c_str());
            } else if (it.kind == 1) {
                flush();
                const Received &r = records[it.index];
                std::printf("  %s  pipe  %s\n", Stamp(it.when).c_str(), kivsim::DescribeRecord(r).c_str());
                for (const std::string &f : kivsim::DescribeFields(r))
                    std::printf("%s  %s\n", kText, f.c_str());
            } else {
                flush();
                std::printf("  %s  sent  %s\n", Stamp(it.when).c_str(), sent_[it.index].what.c_str());
            }
        }
        flush();
        std::fflush(stdout);
    }

    void Skip() {
        unit_.Log().Sync();
        sentDone_ = sent_.size();
        recordsDone_ = unit_.Records().All().size();
        linesDone_ = unit_.Log().Lines().size();
    }

private:
    // Waits until the monitor has stopped logging for a moment (at most a second), so that a
    // step's last trace lines are shown with it and not with the next step.
    void Settle() {
        size_t seen = 0;
        for (int i = 0; i < 50; ++i) {
            unit_.Log().Sync();
            size_t now = unit_.Log().Lines().size();
            if (i > 0 && now == seen) break;
            seen = now;
            std::this_thread::sleep_for(Ms(20));
        }
    }

    // Each peer takes its records in on a thread of its own, so records that the monitor wrote to
    // different pipes within a fraction of a millisecond may be taken in out of order. The kernel
    // saw the writes in their true order: when the writes seen account for every record of the
    // batch, list the records in that order. A record was written no later than it was taken
    // in, nor later than any record written after it was taken in: that is the time it is shown at.
    template <typename Item>
    void PutRecordsInWriteOrder(const std::vector<Received> &records, std::vector<Item> &items) {
        std::vector<std::string> written = unit_.WriteOrder(0, Ms(0));
        unit_.ClearWriteOrder();
        std::vector<size_t> taken; // the batch's record indices, in arrival order
        for (const Item &it : items)
            if (it.kind == 1) taken.push_back(it.index);
        if (taken.size() < 2) return;
        // Writes whose records are not taken in yet (a paused peer) are passed over.
        std::vector<size_t> ordered;
        std::vector<bool> used(taken.size(), false);
        for (const std::string &pipe : written) {
            size_t k = 0;
            while (k < taken.size() && (used[k] || records[taken[k]].pipe != pipe)) ++k;
            if (k == taken.size()) continue;
            used[k] = true;
            ordered.push_back(taken[k]);
        }
        if (ordered.size() != taken.size()) return;
        std::vector<Clock::time_point> at(ordered.size());
        Clock::time_point bound = Clock::time_point::max();
        for (size_t k = ordered.size(); k-- > 0;) {
            bound = std::min(bound, records[ordered[k]].when);
            at[k] = bound;
        }
        size_t k = 0;
        for (Item &it : items) {
            if (it.kind != 1) continue;
            it.index = ordered[k];
            it.when = at[k];
            it.rank = k++;
        }
        std::stable_sort(items.begin(), items.end(), [](const Item &x, const Item &y) {
            return x.when < y.when || (x.when == y.when && x.kind == 1 && y.kind == 1 && x.rank < y.rank);
        });
    }

    std::string Stamp(Clock::time_point t) const {
        double ms = std::chrono::duration<double, std::milli>(t - t0_).count();
        char buf[32];
        std::snprintf(buf, sizeof buf, "+%9.3f ms", ms);
        return buf;
    }

    kivsim::Unit &unit_;
    Clock::time_point t0_ = Clock::now();
    std::vector<Sent> sent_;
    size_t sentDone_ = 0;
    size_t recordsDone_ = 0;
    size_t linesDone_ = 0;
};

std::string CommandText(int cmd, unsigned char data0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "kivsts(80) -> FifoTamp (kivtamp(53))  %03d %s, data[0] 0x%02x", cmd,
                  cmd == 900 ? "terminate" : cmd == 901 ? "setting changed" : cmd == 902 ? "wake up" : "command",
                  data0);
    return buf;
}

std::string CardMasterState() {
    struct stat st {};
    if (stat(kivsim::kCardMasterFile, &st) != 0) return "absent";
    return "present (" + std::to_string(st.st_size) + " bytes)";
}

std::string DefaultKivtamp() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "kivtamp";
    std::string path(self, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/'));
    return path + "/../tamp/kivtamp";
}

struct Args {
    std::string mode;
    std::string kivtamp;
    std::string level = "7";
    // Words run in front of the monitor, from KIVSIM_MONITOR_PREFIX (for example a memory checker).
    std::vector<std::string> prefix;
};

bool ParseArgs(int argc, char **argv, Args &a) {
    if (argc < 2) return false;
    a.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string s = argv[i];
        if (s == "--kivtamp" && i + 1 < argc) a.kivtamp = argv[++i];
        else if (s == "--level" && i + 1 < argc) a.level = argv[++i];
        else return false;
    }
    if (a.kivtamp.empty()) a.kivtamp = DefaultKivtamp();
    if (const char *prefix = std::getenv("KIVSIM_MONITOR_PREFIX")) {
        std::istringstream words(prefix);
        for (std::string w; words >> w;) a.prefix.push_back(w);
    }
    return true;
}

// ---------------------------------------------------------------- demo

// Expectations of the scripted run; each unmet one is reported and makes the run fail.
class Checks {
public:
    void Expect(bool ok, const std::string &what) {
        ++total_;
        if (ok) {
            std::printf("%scheck ok: %s\n", kNote, what.c_str());
        } else {
            ++failed_;
            std::printf("%sCHECK FAILED: %s\n", kNote, what.c_str());
        }
        std::fflush(stdout);
    }
    int Failed() const { return failed_; }
    int Total() const { return total_; }

private:
    int total_ = 0;
    int failed_ = 0;
};

std::string Spaces(size_t n) { return std::string(n, ' '); }

bool IsDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The monitor's failure lines start with a five-digit message number and a comma.
bool IsFailureLine(const LogLine &l) {
    return l.text.size() > 6 && IsDigits(std::string_view(l.text).substr(0, 5)) && l.text[5] == ',';
}

void Heading(const char *text) {
    std::printf("\n== %s\n", text);
    std::fflush(stdout);
}

int Demo(const Args &args) {
    kivsim::Unit unit({.kivtamp = args.kivtamp, .emulator = args.prefix});
    Timeline tl(unit);
    Checks check;

    std::printf("kivsim demo: the tamper-switch monitor (kivtamp, module 53) on the simulated unit\n");
    std::printf("  monitor binary   %s\n", args.kivtamp.c_str());
    if (!unit.Up()) {
        std::printf("kivsim demo: the unit did not come up: %s\n", unit.Error().c_str());
        return 1;
    }
    std::printf("  CONFIG segment   %zu bytes, tamper check byte (offset %zu) = '%c'\n", kivsim::kConfigSize,
                kivsim::kTamperCheckOffset, unit.Options().tamperCheck);
    std::printf("  OTHER segment    %zu bytes, DIP-switch pair kind (offset %zu, big-endian) = %d\n",
                kivsim::kOtherSize, kivsim::kPairKindOffset, unit.Options().pairKind);
    std::printf("  pipes            /tmp/pipe/FifoTamp (held for writing by kivsts), FifoSts, FifoStsp, FifoLog, "
                "FifoDisp, FifoFtp\n");
    std::printf("  tamper switch    /dev/cr_tampsw bound from the stand-in\n");
    std::printf("  card master file %s: %s\n", kivsim::kCardMasterFile, CardMasterState().c_str());
    std::printf("  syslog           receiver at /dev/log; the monitor runs at level %s (trace lines at priority 7 "
                "are folded)\n",
                args.level.c_str());
    std::printf("  times            since the monitor was started, as each peer or the syslog receiver took the item\n"
                "                   in; records are listed in the order the monitor wrote them; a record and a log\n"
                "                   line a fraction of a millisecond apart may show in either order, since they\n"
                "                   travel by different roads\n");

    // 1. Start-up.
    Heading("1. Start-up: kivtamp 53 <level>");
    tl.Origin(Clock::now());
    tl.NoteSent("starting kivtamp 53 " + args.level);
    if (!unit.StartMonitor(args.level)) {
        std::printf("kivsim demo: %s\n", unit.Error().c_str());
        return 1;
    }
    auto wake = unit.WaitForWakeup();
    unit.Switch().WaitForCount("ioctls", 1, Ms(2000));
    unit.Log().Sync();
    tl.PrintNew(false);
    check.Expect(wake && wake->bytes == "053600" "000" "0312" + Spaces(243),
                 "wake-up notification on FifoStsp: \"053600\" \"000\" \"0312\" + 243 spaces");
    check.Expect(unit.Switch().Opens() == 1 && unit.Switch().Ioctls() == 1,
                 "the device was opened once and configured once (opens " + std::to_string(unit.Switch().Opens()) +
                     ", ioctl request 3: " + std::to_string(unit.Switch().Ioctls()) + ")");
    check.Expect(unit.Log().Count(6, "end of InitProc\n") == 1, "\"end of InitProc\" logged at priority 6");
    if (!wake) {
        if (!unit.Monitor().Running() && unit.Monitor().Status())
            std::printf("%skivtamp ended: %s\n", kNote, kivsim::Describe(*unit.Monitor().Status()).c_str());
        std::printf("kivsim demo: no wake-up notification; stopping here\n");
        return 1;
    }

    // 2. Setting change.
    Heading("2. Setting changed: the supervisor sends 901 with data[0] 0x01 (tamper check still '1')");
    tl.NoteSent(CommandText(901, 1));
    auto reply = unit.ChangeSetting(1);
    unit.Log().Sync();
    tl.PrintNew(false);
    check.Expect(reply && reply->bytes == "053621" + Spaces(250), "reply on FifoSts: \"053621\" + 250 spaces");
    check.Expect(unit.Switch().Opens() == 1, "the open device was not opened a second time");

    // 3. Enclosure opened.
    Heading("3. Enclosure opened: the tamper switch reports event byte 0x01");
    std::string before = CardMasterState();
    unit.ClearWriteOrder();
    uint64_t mark = unit.Mark();
    tl.NoteSent("tamper switch -> /dev/cr_tampsw  event byte 0x01 (enclosure opened)");
    bool injected = unit.Inject(1);
    auto errlog = unit.WaitRecord(kivsim::kFifoLog, 54, Ms(5000), mark);
    auto disp = unit.WaitRecord(kivsim::kFifoDisp, 151, Ms(5000), mark);
    auto sts = unit.WaitRecord(kivsim::kFifoSts, 609, Ms(5000), mark);
    std::vector<std::string> order = unit.WriteOrder(3);
    unit.Log().Sync();
    tl.PrintNew(false);
    std::printf("%scard master file: %s before, %s now\n", kNote, before.c_str(), CardMasterState().c_str());
    check.Expect(injected, "the stand-in took the event byte");
    check.Expect(!unit.CardMasterExists(), "the card master file was deleted");
    bool logOk = errlog && errlog->bytes.size() == 256 && errlog->bytes.substr(0, 6) == "053054" &&
                 IsDigits(errlog->bytes.substr(6, 14)) && errlog->bytes.substr(20) == "\x21\x01" + Spaces(234);
    check.Expect(logOk, "error log on FifoLog: \"053054\", 14 date/time digits, code 0x21, kind 0x01, 234 spaces");
    check.Expect(disp && disp->bytes == "053151" "0625 00000000" + Spaces(237),
                 "display on FifoDisp: \"053151\" \"0625 00000000\" + 237 spaces");
    check.Expect(sts && sts->bytes == "053609\x05\x01" + Spaces(248),
                 "error status on FifoSts: \"053609\", 0x05, 0x01, 248 spaces");
    std::string orderText;
    for (const std::string &o : order) orderText += (orderText.empty() ? "" : ", ") + o;
    check.Expect(order == std::vector<std::string>{"FifoLog", "FifoDisp", "FifoSts"},
                 "written in the order FifoLog, FifoDisp, FifoSts (kernel write order: " + orderText + ")");
    const std::string tamperLine = "00019,TampReadFunc,Tamper Switch opened, " + std::string(kivsim::kCardMasterFile) +
                                   " deleted\n";
    check.Expect(unit.Log().Count(6, tamperLine) == 1, "the tamper event and the deletion logged at priority 6");

    // 4. Terminate.
    Heading("4. Terminate: the supervisor sends 900 with data[0] 0x00");
    tl.NoteSent(CommandText(900, 0));
    auto status = unit.Terminate(0);
    auto term = unit.WaitRecord(kivsim::kFifoSts, 605, Ms(2000));
    unit.Log().Sync();
    tl.PrintNew(false);
    std::printf("%skivtamp ended: %s\n", kNote, status ? kivsim::Describe(*status).c_str() : "did not end");
    check.Expect(term && term->bytes == "053605" "000" + Spaces(247),
                 "terminate complete on FifoSts: \"053605\" \"000\" + 247 spaces");
    check.Expect(unit.Log().Count(6, "Terminate reBoot\n") == 1, "\"Terminate reBoot\" logged at priority 6");
    check.Expect(status && status->Exited(0), "exit code 0");

    size_t failures = 0;
    for (const LogLine &l : unit.Log().Lines())
        if (IsFailureLine(l) && l.text != tamperLine) ++failures;
    check.Expect(failures == 0, "no numbered failure line was logged (" + std::to_string(failures) + ")");

    std::printf("\n");
    if (check.Failed() != 0) {
        std::printf("kivsim demo: %d of %d expectations NOT met\n", check.Failed(), check.Total());
        return 1;
    }
    std::printf("kivsim demo: all %d expectations met\n", check.Total());
    return 0;
}

// ---------------------------------------------------------------- shell

const char kShellHelp[] =
    "commands:\n"
    "  wake                 supervisor sends 902 (wake up)\n"
    "  set N                supervisor sends 901 with data[0] N (setting changed)\n"
    "  term [N]             supervisor sends 900 with data[0] N (default 0: terminate)\n"
    "  send CMD [N] [MOD]   any command id, data[0] N, module id MOD (default 80)\n"
    "  raw TEXT             writes TEXT to FifoTamp as it is (\\xNN for any byte)\n"
    "  event N              the tamper switch reports byte N (1 = enclosure opened)\n"
    "  check C              CONFIG tamper check byte: 1, 0 or any character\n"
    "  pair N               OTHER pair kind (signed 32-bit, big-endian)\n"
    "  card                 (re)create the card master file\n"
    "  bind | unbind        make /dev/cr_tampsw present or absent\n"
    "  ioctlfail 0|1        make the stand-in refuse request 3\n"
    "  pause|resume|remove|restore PIPE   a peer stops reading, reads again, disappears, comes back\n"
    "  start [LEVEL]        start kivtamp again (after it ended)\n"
    "  kill                 kill kivtamp\n"
    "  wait MS              let time pass and show what happened\n"
    "  log                  every syslog line so far, traces included\n"
    "  records              every record received so far\n"
    "  traces on|off        show priority-7 lines as they come\n"
    "  status               monitor, switch counts, card master file, pipes\n"
    "  quit\n";

std::string Unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out += static_cast<char>(std::strtol(s.substr(i + 2, 2).c_str(), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

void ShowStatus(kivsim::Unit &unit) {
    auto &m = unit.Monitor();
    if (m.Running()) std::printf("  kivtamp: running, pid %d\n", m.Pid());
    else if (m.Status()) std::printf("  kivtamp: ended, %s\n", kivsim::Describe(*m.Status()).c_str());
    else std::printf("  kivtamp: not started\n");
    auto &sw = unit.Switch();
    std::printf("  tamper switch: %s; opens %ld, ioctls %ld, reads %ld, closes %ld, queued %ld\n",
                sw.Bound() ? "bound at /dev/cr_tampsw" : "absent", sw.Opens(), sw.Ioctls(), sw.Reads(), sw.Closes(),
                sw.Queued());
    std::printf("  card master file: %s\n", CardMasterState().c_str());
    for (std::string_view p : {kivsim::kFifoSts, kivsim::kFifoStsp, kivsim::kFifoLog, kivsim::kFifoDisp,
                               kivsim::kFifoFtp}) {
        kivsim::PipeReader *r = unit.Reader(p);
        std::printf("  %-9s %s, %d byte(s) waiting, %zu record(s) received\n", std::string(p).c_str(),
                    !r->IsOpen() ? "removed" : r->Paused() ? "paused" : "read", r->Waiting(),
                    unit.Records().Count(p));
    }
}

int Shell(const Args &args) {
    kivsim::Unit unit({.kivtamp = args.kivtamp, .emulator = args.prefix});
    Timeline tl(unit);
    bool traces = false;
    bool echo = isatty(0) == 0;
    if (!unit.Up()) {
        std::printf("kivsim shell: the unit did not come up: %s\n", unit.Error().c_str());
        return 1;
    }
    std::printf("kivsim shell: unit up (tamper check '1', pair kind 0, /dev/cr_tampsw bound, card master %s)\n",
                CardMasterState().c_str());
    tl.Origin(Clock::now());
    tl.NoteSent("starting kivtamp 53 " + args.level);
    if (!unit.StartMonitor(args.level)) std::printf("  %s\n", unit.Error().c_str());
    unit.WaitForWakeup(Ms(5000));
    tl.PrintNew(traces);
    bool wasRunning = unit.Monitor().Running();
    std::printf("type 'help' for the commands\n");

    std::string line;
    for (;;) {
        if (!echo) std::printf("kivsim> ");
        std::fflush(stdout);
        if (!std::getline(std::cin, line)) break;
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd.empty() || cmd[0] == '#') continue;
        if (echo) std::printf("kivsim> %s\n", line.c_str());
        bool ok = true;
        if (cmd == "quit" || cmd == "exit") {
            break;
        } else if (cmd == "help") {
            std::printf("%s", kShellHelp);
            continue;
        } else if (cmd == "wake" || cmd == "set" || cmd == "term" || cmd == "send") {
            int id = cmd == "wake" ? 902 : cmd == "set" ? 901 : cmd == "term" ? 900 : 0;
            int data0 = cmd == "set" ? 1 : 0;
            int mod = kivsim::kModSupervisor;
            if (cmd == "send") in >> id;
            in >> data0;
            if (cmd == "send") in >> mod;
            std::string data = kivsim::SpaceData();
            data[0] = static_cast<char>(data0);
            tl.NoteSent(mod == 80 ? CommandText(id, static_cast<unsigned char>(data0))
                                  : "module " + std::to_string(mod) + " -> FifoTamp  " + std::to_string(id));
            ok = unit.Sts().SendRecord(mod, id, data);
        } else if (cmd == "raw") {
            std::string rest;
            std::getline(in >> std::ws, rest);
            std::string bytes = Unescape(rest);
            tl.NoteSent("raw bytes -> FifoTamp (" + std::to_string(bytes.size()) + "): \"" +
                        kivsim::Printable(bytes) + "\"");
            ok = unit.SendRaw(bytes);
        } else if (cmd == "event") {
            int b = 1;
            in >> b;
            tl.NoteSent("tamper switch event byte " + std::to_string(b));
            ok = unit.Inject(static_cast<unsigned char>(b));
        } else if (cmd == "check") {
            std::string c;
            in >> c;
            ok = !c.empty() && unit.Segments().SetTamperCheck(c[0]);
        } else if (cmd == "pair") {
            long v = 0;
            in >> v;
            ok = unit.Segments().SetPairKind(static_cast<int32_t>(v));
        } else if (cmd == "card") {
            ok = unit.CreateCardMaster();
            std::printf("  card master file: %s\n", CardMasterState().c_str());
        } else if (cmd == "bind") {
            ok = unit.Switch().Bind();
        } else if (cmd == "unbind") {
            ok = unit.Switch().Unbind();
        } else if (cmd == "ioctlfail") {
            int f = 1;
            in >> f;
            ok = unit.Switch().SetIoctlFail(f != 0);
        } else if (cmd == "pause" || cmd == "resume" || cmd == "remove" || cmd == "restore") {
            std::string p;
            in >> p;
            kivsim::PipeReader *r = unit.Reader(p);
            if (r == nullptr) {
                std::printf("  no such peer pipe: %s\n", p.c_str());
                continue;
            }
            if (cmd == "pause") r->Pause();
            else if (cmd == "resume") r->Resume();
            else if (cmd == "remove") unit.RemovePeer(p);
            else ok = unit.RestorePeer(p);
        } else if (cmd == "start") {
            std::string level = args.level;
            in >> level;
            tl.NoteSent("starting kivtamp 53 " + level);
            ok = unit.StartMonitor(level);
            wasRunning = ok;
        } else if (cmd == "kill") {
            unit.Monitor().Kill();
        } else if (cmd == "wait") {
            int ms = 500;
            in >> ms;
            std::this_thread::sleep_for(Ms(ms));
        } else if (cmd == "log") {
            tl.PrintNew(traces);
            unit.Log().Sync();
            for (const LogLine &l : unit.Log().Lines()) std::printf("  %s\n", kivsim::DescribeLogLine(l).c_str());
            continue;
        } else if (cmd == "records") {
            tl.PrintNew(traces);
            for (const Received &r : unit.Records().All()) {
                std::printf("  %s\n", kivsim::DescribeRecord(r).c_str());
                for (const std::string &f : kivsim::DescribeFields(r)) std::printf("        %s\n", f.c_str());
            }
            continue;
        } else if (cmd == "traces") {
            std::string v;
            in >> v;
            traces = v != "off";
            continue;
        } else if (cmd == "status") {
            tl.PrintNew(traces);
            ShowStatus(unit);
            continue;
        } else {
            std::printf("  unknown command; type 'help'\n");
            continue;
        }
        if (!ok) std::printf("  failed: %s\n", unit.Error().empty() ? "see status" : unit.Error().c_str());
        // Give the monitor a moment, then show what it did.
        std::this_thread::sleep_for(Ms(250));
        bool running = unit.Monitor().Running();
        tl.PrintNew(traces);
        if (wasRunning && !running && unit.Monitor().Status())
            std::printf("  kivtamp ended: %s\n", kivsim::Describe(*unit.Monitor().Status()).c_str());
        wasRunning = running;
    }
    if (unit.Monitor().Running()) {
        std::printf("kivsim shell: killing kivtamp\n");
        unit.Monitor().Kill();
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Args args;
    if (!ParseArgs(argc, argv, args) || (args.mode != "demo" && args.mode != "shell")) {
        std::fprintf(stderr, "usage: kivsim demo|shell [--kivtamp PATH] [--level N]\n");
        return 2;
    }
    if (std::getenv("KIV_SANDBOX") == nullptr) {
        std::fprintf(stderr, "kivsim uses the unit's fixed paths; run it through sim/sandbox\n");
        return 2;
    }
    return args.mode == "demo" ? Demo(args) : Shell(args);
}
