// SPDX-License-Identifier: MIT
// Shared test support: every test binary runs inside the sandbox with a syslog receiver at
// /dev/log, and every test ends by checking that it leaked no descriptor and no attached segment.
#ifndef KIVTEST_H
#define KIVTEST_H

#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "launcher.h"
#include "syslog_receiver.h"

namespace kivtest {

// The process-wide receiver bound at /dev/log by the test main.
kivsim::SyslogReceiver &Syslog();

using Texts = std::vector<std::string>;

// Texts of the lines of priority pri that process pid (0: this one) logged since the receiver was
// last cleared, a function trace's source line masked (".cpp,N,"). For this process the receiver
// is then cleared, so that each call sees what one step logged.
Texts Logged(int pri, pid_t pid = 0);
// What operators see: the lines above the trace priority, all at LOG_INFO in the library.
inline Texts Notices(pid_t pid = 0) { return Logged(LOG_INFO, pid); }
// Drops everything received so far.
void ClearLog();
// Lines of this priority and exact text received since the last clear.
size_t Count(int pri, const std::string &text);

// printf into a std::string, for expected texts.
__attribute__((format(printf, 1, 2))) std::string F(const char *fmt, ...);

// Removes every System V segment of the sandbox's IPC namespace.
void RemoveAllSegments();

// Everything a non-blocking descriptor holds now.
std::string ReadAvailable(int fd);
// Bytes waiting in a pipe.
int Pending(int fd);

// Closes the descriptor it holds when it goes.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

} // namespace kivtest

#endif
