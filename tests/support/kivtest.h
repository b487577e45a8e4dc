// Shared test support: every test binary runs inside the sandbox with a syslog receiver at
// /dev/log, and every test ends by checking that it leaked no descriptor and no attached segment.
#ifndef KIVTEST_H
#define KIVTEST_H

#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

#include "syslog_receiver.h"

namespace kivtest {

// The process-wide receiver bound at /dev/log by the test main.
kivsim::SyslogReceiver &Syslog();

// Reads a whole file; empty if it cannot be read.
std::string ReadFileBytes(const std::string &path);

// One syslog line as a test expects it: priority and exact text.
struct Line {
    int pri;
    std::string text;
    bool operator==(const Line &) const = default;
};
void PrintTo(const Line &l, std::ostream *os);
using Lines = std::vector<Line>;

// Lines process pid logged since the receiver was last cleared.
Lines LoggedBy(pid_t pid);
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
    ~Fd();
};

// Texts of the lines above the trace priority (what operators see) that pid (0: this process)
// logged since the last clear.
std::vector<std::string> Notices(pid_t pid = 0);

} // namespace kivtest

#endif
