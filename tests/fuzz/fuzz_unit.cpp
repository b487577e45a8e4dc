#include "fuzz_unit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "peers.h"
#include "tamp.h"

namespace kivfuzz {

namespace {

sigset_t gStartMask;

// The handlers block every signal for the process (the dispatch loop's masks), so libFuzzer's
// alarm cannot reach the fuzzing thread while an input runs: a thread of our own watches for a
// hang instead. abort() is reported by libFuzzer as a crash, with the input kept.
constexpr auto kHangLimit = std::chrono::seconds(10);
std::atomic<int64_t> gInputStart{0}; // steady-clock nanoseconds; 0 between inputs

int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

void Watchdog() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        int64_t start = gInputStart.load();
        if (start != 0 && std::chrono::nanoseconds(Now() - start) > kHangLimit)
            Fail("an input has run for more than 10 s (the monitor hangs or spins)");
    }
}

} // namespace

void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "\n*** kivfuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

std::string Show(std::string_view bytes) {
    std::string out;
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

int32_t BigEndian32(const uint8_t *p) {
    uint32_t v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
    return static_cast<int32_t>(v);
}

FuzzUnit &FuzzUnit::Get() {
    static FuzzUnit unit;
    return unit;
}

int FuzzUnit::OpenPeer(std::string_view name) {
    std::string path = kivsim::PipePath(name);
    if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) Fail("mkfifo", path + ": " + std::strerror(errno));
    // Held read-write: the monitor's probe and its open for appending return at once, as they do
    // against the unit's peers.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail("open", path + ": " + std::strerror(errno));
    return fd;
}

FuzzUnit::FuzzUnit() {
    if (std::getenv("KIV_SANDBOX") == nullptr) {
        std::fprintf(stderr, "kivfuzz: the monitor uses the unit's fixed paths; run the target through sim/sandbox\n");
        std::exit(2);
    }
    sigprocmask(SIG_SETMASK, nullptr, &gStartMask);
    std::thread(Watchdog).detach();
    Begin();
    Expect(segments_.CreateConfig() && segments_.CreateOther(), "creating the segments", std::strerror(errno));
    // Start-up with the check disabled and no device; every input sets its own values.
    Expect(segments_.SetTamperCheck('0') && segments_.SetPairKind(0), "writing the segments");
    unlink("/dev/cr_tampsw");

    for (std::string_view name : {kivsim::kFifoSts, kivsim::kFifoStsp, kivsim::kFifoLog, kivsim::kFifoDisp,
                                  kivsim::kFifoFtp})
        peers_.emplace_back(std::string(name), OpenPeer(name));

    // The monitor's blocking open of its command pipe returns once a writer holds it.
    int holder = OpenPeer(kivsim::kFifoTamp);
    Expect(InitProc(&proc_) == 0, "InitProc failed");
    std::string tamp = kivsim::PipePath(kivsim::kFifoTamp);
    tampWriter_ = open(tamp.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    tampDrain_ = open(tamp.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Expect(tampWriter_ >= 0 && tampDrain_ >= 0, "opening the command pipe", std::strerror(errno));
    close(holder);
    Reset();
}

std::string FuzzUnit::Take(std::string_view pipe) {
    for (auto &[name, fd] : peers_) {
        if (name != pipe) continue;
        std::string got;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
    Fail("no such peer pipe", std::string(pipe));
}

bool FuzzUnit::PeersEmpty() {
    for (auto &[name, fd] : peers_) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting != 0) return false;
    }
    return true;
}

void FuzzUnit::WriteCommand(std::string_view bytes) {
    ssize_t n = write(tampWriter_, bytes.data(), bytes.size());
    Expect(n == static_cast<ssize_t>(bytes.size()), "writing the command pipe", std::strerror(errno));
}

void FuzzUnit::DrainCommand() {
    char buf[4096];
    while (read(tampDrain_, buf, sizeof buf) > 0) {
    }
}

int FuzzUnit::LowestFreeDescriptor() {
    int fd = fcntl(0, F_DUPFD, 0);
    close(fd);
    return fd;
}

void FuzzUnit::Begin() { gInputStart = Now(); }

void FuzzUnit::Reset() {
    sigprocmask(SIG_SETMASK, &gStartMask, nullptr);
    DrainCommand();
    for (auto &[name, fd] : peers_) Take(name);
    gInputStart = 0;
}

} // namespace kivfuzz
