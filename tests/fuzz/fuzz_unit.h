// SPDX-License-Identifier: MIT
// The unit around the monitor's handlers in a fuzz target: the CONFIG and OTHER segments, the
// peers' pipes held open and emptied by the target itself, the command pipe with a writer, and a
// context record started by the real InitProc. Everything lives in the target's process, so one
// input costs no thread switch and leaves nothing behind for the next one. Each target is one
// source file that includes this once.
#ifndef KIVFUZZ_FUZZ_UNIT_H
#define KIVFUZZ_FUZZ_UNIT_H

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "decode.h"
#include "peers.h"
#include "segments.h"
#include "tamp.h"

namespace kivfuzz {

using kivsim::Printable;

// Stops the target with a message; libFuzzer reports it as a crash and keeps the input.
[[noreturn]] inline void Fail(const char *what, const std::string &detail = {}) {
    (void)std::fprintf(stderr, "\n*** kivfuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}
inline void Expect(bool ok, const char *what, const std::string &detail = {}) {
    if (!ok) Fail(what, detail);
}

// A signed 32-bit big-endian integer from four input bytes.
inline int32_t BigEndian32(const uint8_t *p) {
    return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]});
}

// Lowest free descriptor number: the same before and after an input, or a descriptor leaked.
inline int LowestFreeDescriptor() {
    int fd = fcntl(0, F_DUPFD, 0);
    close(fd);
    return fd;
}

// The handlers block every signal for the process (the dispatch loop's masks), so libFuzzer's
// alarm cannot reach the fuzzing thread while an input runs: a thread of our own watches for a
// hang instead (see the constructor). Steady-clock nanoseconds of the input's start; 0 between
// inputs.
inline std::atomic<int64_t> gInputStart{0};
inline int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

class FuzzUnit {
  public:
    // Built on first use, once per process; the fixed paths must be the sandbox's.
    static FuzzUnit &Get() {
        static FuzzUnit unit;
        return unit;
    }
    ProcInfo *Proc() { return &proc_; }
    kivsim::SegmentWriter &Segments() { return segments_; }

    // Starts an input: the watchdog's clock, and the descriptor table it must leave as it found.
    void Begin() {
        gInputStart = Now();
        freeFd_ = LowestFreeDescriptor();
    }
    // Ends an input: the process mask the handlers blocked is opened again, every pipe is emptied
    // and no descriptor leaked or was closed.
    void End() {
        sigprocmask(SIG_SETMASK, &startMask_, nullptr);
        Drain(tampDrain_);
        for (auto &[name, fd] : peers_) Drain(fd);
        Expect(LowestFreeDescriptor() == freeFd_, "descriptor leaked or closed");
        gInputStart = 0;
    }

    // Bytes waiting in a peer's pipe, read in one go ("FifoSts", "FifoStsp", "FifoLog", "FifoDisp").
    std::string Take(std::string_view pipe) {
        for (auto &[name, fd] : peers_)
            if (name == pipe) return Drain(fd);
        Fail("no such peer pipe", std::string(pipe));
    }
    bool PeersEmpty() {
        int waiting = 0;
        for (auto &[name, fd] : peers_)
            if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting != 0) return false;
        return true;
    }
    // Bytes into the command pipe with one write (at most PIPE_BUF bytes: one piece).
    void WriteCommand(std::string_view bytes) const {
        Expect(write(tampWriter_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
               "writing the command pipe", std::strerror(errno));
    }

  private:
    FuzzUnit() {
        if (std::getenv("KIV_SANDBOX") == nullptr)
            Fail("the monitor uses the unit's fixed paths; run through sim/sandbox");
        sigprocmask(SIG_SETMASK, nullptr, &startMask_);
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                int64_t start = gInputStart.load();
                if (start != 0 && std::chrono::nanoseconds(Now() - start) > std::chrono::seconds(10))
                    Fail("an input has run for more than 10 s (the monitor hangs or spins)");
            }
        }).detach();
        gInputStart = Now();
        Expect(segments_.CreateConfig() && segments_.CreateOther(), "creating the segments", std::strerror(errno));
        // Start-up with the check disabled and no device; every input sets its own values.
        Expect(segments_.SetTamperCheck('0') && segments_.SetPairKind(0), "writing the segments");
        unlink(TAMP_DEVICE);
        for (std::string_view name :
             {kivsim::kFifoSts, kivsim::kFifoStsp, kivsim::kFifoLog, kivsim::kFifoDisp, kivsim::kFifoFtp})
            peers_.emplace_back(std::string(name), OpenPeer(name));
        // The monitor's blocking open of its command pipe returns once a writer holds it.
        int holder = OpenPeer(kivsim::kFifoTamp);
        Expect(InitProc(&proc_) == 0, "InitProc failed");
        close(holder);
        std::string tamp = kivsim::PipePath(kivsim::kFifoTamp);
        tampWriter_ = open(tamp.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        tampDrain_ = open(tamp.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        Expect(tampWriter_ >= 0 && tampDrain_ >= 0, "opening the command pipe", std::strerror(errno));
        Begin();
        End();
    }
    // Held read-write: the monitor's probe and its open for appending return at once, as they do
    // against the unit's peers.
    static int OpenPeer(std::string_view name) {
        std::string path = kivsim::PipePath(name);
        if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) Fail("mkfifo", path + ": " + std::strerror(errno));
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        Expect(fd >= 0, "opening a peer's pipe", path + ": " + std::strerror(errno));
        return fd;
    }
    static std::string Drain(int fd) {
        std::string got;
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
        return got;
    }

    kivsim::SegmentWriter segments_;
    ProcInfo proc_{};
    sigset_t startMask_{};
    std::vector<std::pair<std::string, int>> peers_; // name, read-write descriptor
    int tampWriter_ = -1;
    int tampDrain_ = -1;
    int freeFd_ = -1;
};

} // namespace kivfuzz

#endif
