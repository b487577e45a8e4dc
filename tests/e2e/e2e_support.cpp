#include "e2e_support.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#ifndef KIVTAMP_PATH
#error "KIVTAMP_PATH must name the kivtamp binary under test"
#endif
// Words run in front of the monitor (the target emulator), separated by '|'.
#ifndef KIVTAMP_EMULATOR
#define KIVTAMP_EMULATOR ""
#endif
// The tamper-switch stand-in; empty: the one built with the simulated unit.
#ifndef KIVTAMPSW_PATH
#define KIVTAMPSW_PATH ""
#endif

namespace kive2e {

namespace {

std::vector<std::string> SplitWords(std::string_view list) {
    std::vector<std::string> words;
    while (!list.empty()) {
        size_t bar = list.find('|');
        std::string_view w = list.substr(0, bar);
        if (!w.empty()) words.emplace_back(w);
        if (bar == std::string_view::npos) break;
        list.remove_prefix(bar + 1);
    }
    return words;
}

// Length of the match of a "{x}" or "{d}" field at the start of text; 0 when it does not match.
size_t FieldLength(char kind, std::string_view text) {
    size_t i = 0;
    if (kind == 'd' && i < text.size() && text[i] == '-') ++i;
    size_t digits = 0;
    while (i < text.size() &&
           (kind == 'x' ? std::isxdigit(static_cast<unsigned char>(text[i])) != 0
                        : std::isdigit(static_cast<unsigned char>(text[i])) != 0)) {
        ++i;
        ++digits;
    }
    return digits == 0 ? 0 : i;
}

std::string Quoted(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '\n') out += "\\n";
        else if (c == '"') out += "\\\"";
        else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else out += static_cast<char>(c);
    }
    return out + "\"";
}

} // namespace

kivsim::UnitOptions DefaultOptions() {
    kivsim::UnitOptions o;
    o.kivtamp = KIVTAMP_PATH;
    o.emulator = SplitWords(KIVTAMP_EMULATOR);
    o.tampsw = KIVTAMPSW_PATH;
    o.syslog = &kivtest::Syslog();
    return o;
}

int HostSignal(int sig) {
    constexpr int kFirstRealTime = 32; // the kernel's, below the C library's SIGRTMIN
    if (!Emulated() || sig < kFirstRealTime) return sig;
    int host = sig - kFirstRealTime + SIGRTMIN;
    return host <= SIGRTMAX ? host : 0;
}

bool HostMaskShows(int sig) { return !Emulated() || (sig != SIGSEGV && sig != SIGBUS); }

std::string Rec(std::string_view head) {
    std::string r(head);
    r.resize(kivsim::kRecordSize, ' ');
    return r;
}

bool LineMatches(std::string_view pattern, std::string_view text) {
    while (!pattern.empty()) {
        if (pattern.size() >= 3 && pattern[0] == '{' && pattern[2] == '}' && (pattern[1] == 'x' || pattern[1] == 'd')) {
            size_t n = FieldLength(pattern[1], text);
            if (n == 0) return false;
            pattern.remove_prefix(3);
            text.remove_prefix(n);
            continue;
        }
        if (text.empty() || text[0] != pattern[0]) return false;
        pattern.remove_prefix(1);
        text.remove_prefix(1);
    }
    return text.empty();
}

testing::AssertionResult LinesMatch(const std::vector<std::string> &texts, const std::vector<std::string> &patterns) {
    bool same = texts.size() == patterns.size();
    for (size_t i = 0; same && i < texts.size(); ++i) same = LineMatches(patterns[i], texts[i]);
    if (same) return testing::AssertionSuccess();
    std::ostringstream msg;
    msg << "expected " << patterns.size() << " line(s):\n";
    for (const std::string &p : patterns) msg << "  " << Quoted(p) << "\n";
    msg << "got " << texts.size() << ":\n";
    for (const std::string &t : texts) msg << "  " << Quoted(t) << "\n";
    return testing::AssertionFailure() << msg.str();
}

testing::AssertionResult LinesInOrder(const std::vector<std::string> &texts,
                                      const std::vector<std::string> &patterns) {
    size_t at = 0;
    for (const std::string &p : patterns) {
        while (at < texts.size() && !LineMatches(p, texts[at])) ++at;
        if (at == texts.size()) {
            std::ostringstream msg;
            msg << "no line " << Quoted(p) << " after the lines matched before it; lines:\n";
            for (const std::string &t : texts) msg << "  " << Quoted(t) << "\n";
            return testing::AssertionFailure() << msg.str();
        }
        ++at;
    }
    return testing::AssertionSuccess();
}

std::string StampNow() {
    // The precise clock, as the monitor's gettimeofday: time() may lag it by a tick.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::time_t t = now.tv_sec;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

std::string WorkingDirectory(pid_t pid) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec).string();
}

int DescriptorOf(pid_t pid, const std::string &path) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code rec;
        if (std::filesystem::read_symlink(e.path(), rec).string() == path)
            return std::atoi(e.path().filename().c_str());
    }
    return -1;
}

bool MonitorTest::Up(const Adjust &adjust) {
    kivsim::UnitOptions o = DefaultOptions();
    if (adjust) adjust(o);
    unit_.reset();
    unit_ = std::make_unique<kivsim::Unit>(std::move(o));
    return unit_->Up();
}

std::optional<kivsim::Received> MonitorTest::Boot(std::optional<std::string> level, const Adjust &adjust) {
    if (!Up(adjust)) return std::nullopt;
    if (!unit_->StartMonitor(std::move(level))) return std::nullopt;
    return unit_->WaitForWakeup();
}

std::vector<kivsim::LogLine> MonitorTest::MonitorLines() {
    kivtest::Syslog().Sync();
    std::vector<kivsim::LogLine> out;
    for (kivsim::LogLine &l : kivtest::Syslog().Lines())
        // closelog at the end of shut-down drops the ident: the last line goes out under the
        // program's own name.
        if (l.ident == "KIVTAMP" || l.ident == "kivtamp") out.push_back(std::move(l));
    return out;
}

std::vector<std::string> MonitorTest::Lines(int pri, size_t from) {
    std::vector<kivsim::LogLine> lines = MonitorLines();
    std::vector<std::string> out;
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].pri == pri) out.push_back(lines[i].text);
    return out;
}

std::vector<std::string> MonitorTest::AllLines(size_t from) {
    std::vector<kivsim::LogLine> lines = MonitorLines();
    std::vector<std::string> out;
    for (size_t i = from; i < lines.size(); ++i) out.push_back("<" + std::to_string(lines[i].pri) + ">" + lines[i].text);
    return out;
}

bool MonitorTest::WaitLines(int pri, std::string_view text, size_t n, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::vector<std::string> lines = Lines(pri);
        if (static_cast<size_t>(std::count(lines.begin(), lines.end(), text)) >= n) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
}

size_t MonitorTest::LineMark() { return MonitorLines().size(); }

std::string MonitorTest::Dump() {
    std::string out;
    for (const std::string &l : AllLines()) out += "  " + Quoted(l) + "\n";
    return out;
}

std::vector<std::string> MonitorTest::Bytes(std::string_view pipe, uint64_t since) {
    std::vector<std::string> out;
    for (const kivsim::Received &r : unit_->Records().On(pipe))
        if (r.seq >= since) out.push_back(r.bytes);
    return out;
}

void MonitorTest::TearDown() {
    if (unit_ && HasFailure()) std::fprintf(stderr, "monitor's syslog lines:\n%s", Dump().c_str());
    unit_.reset();
}

} // namespace kive2e
