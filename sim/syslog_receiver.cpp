/* SPDX-License-Identifier: MIT */
#include "syslog_receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kivsim {

namespace {
constexpr std::string_view kSyncText = "\x01kivsim-sync";
}

bool ParseSyslogDatagram(std::string_view d, LogLine &out) {
    if (d.size() < 3 || d[0] != '<') return false;
    size_t gt = d.find('>');
    if (gt == std::string_view::npos || gt == 1) return false;
    int code = 0;
    for (size_t i = 1; i < gt; ++i) {
        if (d[i] < '0' || d[i] > '9') return false;
        code = code * 10 + (d[i] - '0');
    }
    out.pri = code & 7;
    out.facility = code >> 3;
    d.remove_prefix(gt + 1);
    // "Mmm dd hh:mm:ss " is 16 characters.
    if (d.size() < 16) return false;
    out.stamp = std::string(d.substr(0, 15));
    d.remove_prefix(16);
    size_t colon = d.find(": ");
    if (colon == std::string_view::npos) return false;
    std::string_view tag = d.substr(0, colon);
    size_t lb = tag.find('[');
    if (lb != std::string_view::npos && tag.back() == ']') {
        out.ident = std::string(tag.substr(0, lb));
        out.pid = std::atoi(std::string(tag.substr(lb + 1, tag.size() - lb - 2)).c_str());
    } else {
        out.ident = std::string(tag);
        out.pid = 0;
    }
    out.text = std::string(d.substr(colon + 2));
    return true;
}

SyslogReceiver::SyslogReceiver(std::string path) : path_(std::move(path)) {}

SyslogReceiver::~SyslogReceiver() { Stop(); }

bool SyslogReceiver::Start() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    // A large receive buffer, so a burst is taken in even when the thread is slow to run.
    int size = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    unlink(path_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        int e = errno;
        close(fd_);
        fd_ = -1;
        errno = e;
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void SyslogReceiver::Stop() {
    if (fd_ < 0) return;
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    close(fd_);
    close(wake_[0]);
    close(wake_[1]);
    unlink(path_.c_str());
    fd_ = -1;
}

void SyslogReceiver::Run() {
    std::vector<char> buf(65536);
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        // Drain everything queued: the kernel queues only a few datagrams per socket, and a
        // full queue would make the logging process wait.
        for (;;) {
            ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0) break;
            std::string_view d(buf.data(), static_cast<size_t>(n));
            std::lock_guard<std::mutex> lock(mutex_);
            if (d == kSyncText) {
                ++syncSeen_;
            } else {
                LogLine line;
                if (!ParseSyslogDatagram(d, line)) line.text = std::string(d);
                line.when = std::chrono::steady_clock::now();
                lines_.push_back(std::move(line));
            }
            cv_.notify_all();
        }
    }
}

std::vector<LogLine> SyslogReceiver::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void SyslogReceiver::Clear() {
    Sync();
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

void SyslogReceiver::Sync() {
    unsigned long target;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target = syncSeen_ + 1;
    }
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    // Datagrams on one socket queue in order, so once the marker is seen all earlier lines are in.
    (void)sendto(s, kSyncText.data(), kSyncText.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    close(s);
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return syncSeen_ >= target; });
}

bool SyslogReceiver::WaitFor(int pri, std::string_view text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        for (const LogLine &l : lines_)
            if (l.pri == pri && l.text == text) return true;
        return false;
    });
}

size_t SyslogReceiver::Count(int pri, std::string_view text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const LogLine &l : lines_)
        if (l.pri == pri && l.text == text) ++n;
    return n;
}

size_t SyslogReceiver::CountPrefix(int pri, std::string_view prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const LogLine &l : lines_)
        if (l.pri == pri && std::string_view(l.text).substr(0, prefix.size()) == prefix) ++n;
    return n;
}

} // namespace kivsim
