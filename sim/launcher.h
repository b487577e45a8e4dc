// SPDX-License-Identifier: MIT
// Starts the real kivtamp binary as the unit's starting process does: argv {"kivtamp", "53", level}.
#ifndef KIVSIM_LAUNCHER_H
#define KIVSIM_LAUNCHER_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kivsim {

struct ExitStatus {
    int code = -1;  // exit code, -1 when ended by a signal
    int signal = 0; // terminating signal, 0 when it exited
    bool Exited(int c) const { return signal == 0 && code == c; }
};

std::string Describe(const ExitStatus &s);

// Everything a file holds; empty if it cannot be read.
std::string FileText(const std::string &path);

class MonitorProcess {
  public:
    // emulator: a prefix such as {"qemu-ppc", "-L", "/usr/powerpc-linux-gnu"} for a target binary.
    explicit MonitorProcess(std::string binary, std::vector<std::string> emulator = {});
    // Kills and reaps a monitor that is still running.
    ~MonitorProcess();
    MonitorProcess(const MonitorProcess &) = delete;
    MonitorProcess &operator=(const MonitorProcess &) = delete;

    // Starts {"kivtamp", "53", level}; without a level, {"kivtamp", "53"}. Returns the pid, -1 when
    // it could not be started.
    pid_t Start(std::optional<std::string> level);
    // Starts with an argument vector of the caller's own (argv[0] included).
    pid_t StartArgs(const std::vector<std::string> &argv);
    // The exit status once the process has ended, or nothing after the time-out.
    std::optional<ExitStatus> Wait(std::chrono::milliseconds timeout);
    bool Running();
    void Kill(int sig = 9);
    pid_t Pid() const { return pid_; }
    const std::optional<ExitStatus> &Status() const { return status_; }
    const std::string &Binary() const { return binary_; }

    // What /proc shows of the running process.
    long long CpuNs() const;                         // time it has run, in nanoseconds
    long Syscall() const;                            // the system call it sleeps in, -1 while it runs
    std::string Cwd() const;                         // its working directory
    int DescriptorOf(const std::string &path) const; // its lowest descriptor open on path, -1 none
    // A signal set of its status ("SigPnd", "ShdPnd", "SigBlk"), bit sig - 1 for signal sig.
    uint64_t Signals(const std::string &field) const;

  private:
    std::string binary_;
    std::vector<std::string> emulator_;
    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
};

} // namespace kivsim

#endif
