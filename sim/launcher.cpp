/* SPDX-License-Identifier: MIT */
#include "launcher.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char **environ;

namespace kivsim {

namespace {

// execve needs a path; look a bare name up in PATH before forking, where that is still allowed.
std::string Resolve(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    const char *path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return name;
}

} // namespace

std::string Describe(const ExitStatus &s) {
    if (s.signal != 0) return "killed by signal " + std::to_string(s.signal);
    return "exit code " + std::to_string(s.code);
}

MonitorProcess::MonitorProcess(std::string binary, std::vector<std::string> emulator)
    : binary_(std::move(binary)), emulator_(std::move(emulator)) {}

MonitorProcess::~MonitorProcess() {
    if (Running()) Kill();
}

pid_t MonitorProcess::Start(std::optional<std::string> level) {
    std::vector<std::string> argv{"kivtamp", "53"};
    if (level) argv.push_back(*level);
    return StartArgs(argv);
}

pid_t MonitorProcess::StartArgs(const std::vector<std::string> &args) {
    if (Running()) return -1;
    std::vector<std::string> argv;
    std::string program;
    if (emulator_.empty()) {
        program = binary_;
        argv = args;
    } else {
        // The emulator runs the binary; the module's own arguments follow its path.
        program = Resolve(emulator_[0]);
        argv = emulator_;
        argv.push_back(binary_);
        argv.insert(argv.end(), args.begin() + (args.empty() ? 0 : 1), args.end());
    }
    std::vector<char *> cargv;
    for (std::string &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    status_.reset();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the parent has threads.
        // The module starts as the real one would: default signal handling, nothing blocked, and
        // none of the peers' pipe ends (those are close-on-exec; this also catches strays).
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Every disposition back to the default: a test runner started in the background
        // ignores SIGINT and SIGQUIT, and an ignored disposition would survive the exec.
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        close_range(3, ~0U, 0);
        execve(program.c_str(), cargv.data(), environ);
        _exit(127);
    }
    pid_ = pid;
    return pid;
}

std::optional<ExitStatus> MonitorProcess::Wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    if (pid_ < 0) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            ExitStatus s;
            if (WIFEXITED(st)) s.code = WEXITSTATUS(st);
            if (WIFSIGNALED(st)) s.signal = WTERMSIG(st);
            status_ = s;
            pid_ = -1;
            return status_;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1;
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool MonitorProcess::Running() {
    if (pid_ < 0) return false;
    return !Wait(std::chrono::milliseconds(0)).has_value();
}

void MonitorProcess::Kill(int sig) {
    if (pid_ < 0) return;
    kill(pid_, sig);
    if (sig == SIGKILL) Wait(std::chrono::seconds(10));
}

} // namespace kivsim
