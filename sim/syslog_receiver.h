// SPDX-License-Identifier: MIT
// Syslog receiver of the simulated unit: binds /dev/log and keeps every line it receives.
#ifndef KIVSIM_SYSLOG_RECEIVER_H
#define KIVSIM_SYSLOG_RECEIVER_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kivsim {

struct LogLine {
    int pri = -1;      // severity 0..7
    int facility = -1; // facility number (LOG_LOCAL4 >> 3 == 20)
    std::string stamp; // "Mmm dd hh:mm:ss"
    std::string ident; // "KIVTAMP"
    int pid = 0;
    std::string text;  // message text exactly as logged, trailing "\n" included
    std::chrono::steady_clock::time_point when;
};

// Parses one datagram "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT"; false if it is not of that form.
bool ParseSyslogDatagram(std::string_view datagram, LogLine &out);

class SyslogReceiver {
public:
    explicit SyslogReceiver(std::string path = "/dev/log");
    ~SyslogReceiver();
    SyslogReceiver(const SyslogReceiver &) = delete;
    SyslogReceiver &operator=(const SyslogReceiver &) = delete;

    // Binds the socket and starts draining it on a thread of its own; false with errno on failure.
    bool Start();
    void Stop();

    std::vector<LogLine> Lines() const;
    void Clear();
    // Returns once every datagram sent to the socket before the call has been taken in.
    void Sync();
    // Waits for a line of this priority and exact text (received since the last Clear).
    bool WaitFor(int pri, std::string_view text,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Number of lines of this priority and exact text (call Sync first).
    size_t Count(int pri, std::string_view text) const;
    // Number of lines of this priority whose text starts with prefix (call Sync first).
    size_t CountPrefix(int pri, std::string_view prefix) const;

private:
    void Run();
    std::string path_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<LogLine> lines_;
    unsigned long syncSeen_ = 0;
};

} // namespace kivsim

#endif
