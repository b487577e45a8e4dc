// SPDX-License-Identifier: MIT
// The control files of the tamper switch, the same on both backends: the stand-in's file system on
// the host, the driver's debug directory on the board.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "tampsw.h"

namespace kivsim {

bool TampSwitch::Fail(const std::string &what) {
    int e = errno;
    error_ = what + ": " + std::strerror(e);
    errno = e;
    return false;
}

bool TampSwitch::Inject(unsigned char event) {
    return Inject(std::string_view(reinterpret_cast<const char *>(&event), 1));
}

bool TampSwitch::Set(std::string_view name, std::string_view value) {
    std::string path = mountdir_ + "/" + std::string(name);
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return Fail("open " + path);
    ssize_t n = write(fd, value.data(), value.size());
    int e = errno;
    close(fd);
    errno = e;
    if (n != static_cast<ssize_t>(value.size())) return Fail("write " + path);
    return true;
}

long TampSwitch::Count(std::string_view name) const {
    std::string path = mountdir_ + "/" + std::string(name);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // Nothing was done to a device that is not there (on the board, the driver is not loaded).
    if (fd < 0) return Running() && !bound_ ? 0 : -1;
    char buf[32] = {};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return -1;
    return std::strtol(buf, nullptr, 10);
}

std::string TampSwitch::Text(std::string_view name) const {
    std::string path = mountdir_ + "/" + std::string(name);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

long long TampSwitch::NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool TampSwitch::WaitForCount(std::string_view name, long value, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Count(name) >= value) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool TampSwitch::SetIoctlFail(bool fail) { return Set("ioctl_fail", fail ? "1" : "0"); }
bool TampSwitch::SetReadFail(long n) { return Set("read_fail", std::to_string(n)); }
bool TampSwitch::SetEof(long n) { return Set("eof", std::to_string(n)); }

} // namespace kivsim
