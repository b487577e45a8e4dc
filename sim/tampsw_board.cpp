// SPDX-License-Identifier: MIT
// The tamper switch on the booted board: the real driver (driver/cr_tampsw.c) on a simulated GPIO
// line. Binding loads the module, unbinding unloads it, so the device comes and goes as it does
// on the unit; an opening is the line's pull going up, seen by the driver's own sampling. Event
// bytes the switch never gives, failing reads and a refused configuration come through the
// driver's debug directory, whose files carry the stand-in's names (tampsw_control.cpp).
#include <fcntl.h>
#include <glob.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tampsw.h"

#ifndef KIVSIM_TAMPSW_MODULE
#define KIVSIM_TAMPSW_MODULE "/lib/modules/cr_tampsw.ko"
#endif

namespace kivsim {

namespace {

constexpr const char *kDebugDir = "/sys/kernel/debug/cr_tampsw";
constexpr const char *kState = "/sys/class/misc/cr_tampsw/state";
using Clock = std::chrono::steady_clock;

std::string FirstLine(const std::string &path) {
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    return line;
}

// The "pull" file of the simulated line: the only gpio-sim chip of the board has one line.
std::string PullFile() {
    glob_t g{};
    std::string path;
    if (glob("/sys/bus/gpio/devices/gpiochip*/sim_gpio0/pull", 0, nullptr, &g) == 0) path = g.gl_pathv[0];
    globfree(&g);
    return path;
}

bool Until(const auto &done, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    for (auto end = Clock::now() + timeout; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (Clock::now() > end) return false;
    return true;
}

} // namespace

TampSwitch::TampSwitch(std::string binary, std::string device)
    : binary_(binary.empty() ? std::string(KIVSIM_TAMPSW_MODULE) : std::move(binary)), device_(std::move(device)),
      mountdir_(kDebugDir) {}

TampSwitch::~TampSwitch() { Stop(); }

// The enclosure closed, the module out: each user starts from a driver that was just loaded.
bool TampSwitch::Start(const std::string &) {
    errno = 0;
    const std::string pull = PullFile();
    if (!Unbind()) return false;
    if (pull.empty() || !(std::ofstream(pull) << "pull-down")) return Fail("closing the simulated switch");
    pid_ = getpid();
    return true;
}

void TampSwitch::Stop() {
    Unbind();
    pid_ = -1;
}

bool TampSwitch::Bind() {
    if (bound_) return true;
    int fd = open(binary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail("open " + binary_);
    long r = syscall(SYS_finit_module, fd, "", 0);
    close(fd);
    if (r != 0) return Fail("loading " + binary_);
    bound_ = true;
    errno = ENOENT;
    return Until([&] { return access(device_.c_str(), F_OK) == 0; }) || Fail("no " + device_ + " after loading");
}

bool TampSwitch::Unbind() {
    // Busy while a process holds the device open: the driver cannot go then.
    if (syscall(SYS_delete_module, "cr_tampsw", O_NONBLOCK) != 0 && errno != ENOENT)
        return Fail("unloading the driver");
    bound_ = false;
    errno = EEXIST;
    return Until([&] { return access(device_.c_str(), F_OK) != 0; }) || Fail(device_ + " still there");
}

// 1 opens the enclosure (closing it first if it is open); once the driver's sampling has taken the
// change in, the next byte follows. Other bytes go into the driver's queue as they are.
bool TampSwitch::Inject(std::string_view events) {
    const std::string pull = PullFile();
    if (pull.empty()) {
        errno = ENOENT;
        return Fail("no simulated switch line");
    }
    auto move = [&](const char *level, const char *state) {
        std::ofstream(pull) << level;
        errno = ETIMEDOUT;
        return !bound_ || Until([&] { return FirstLine(kState) == state; }) ||
               Fail("switch not seen " + std::string(state));
    };
    for (char e : events) {
        bool ok = e == 1 ? (FirstLine(kState) != "open" || move("pull-down", "closed")) && move("pull-up", "open")
                         : Set("inject", std::string(1, e));
        if (!ok) return false;
    }
    return true;
}

// The driver keeps no times of its reads.
std::vector<long long> TampSwitch::ReadTimes() const { return {}; }

int TampSwitch::PollTime() const {
    const std::string value = FirstLine("/sys/class/misc/cr_tampsw/poll_time");
    return value.empty() ? -1 : std::atoi(value.c_str());
}

} // namespace kivsim
