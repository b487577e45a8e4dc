/* SPDX-License-Identifier: MIT */
#include "launcher.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace kivsim {

namespace {

std::string ProcFile(pid_t pid, const char *name) { return FileText("/proc/" + std::to_string(pid) + "/" + name); }

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

std::string FileText(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream text;
    text << f.rdbuf();
    return text.str();
}

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

long long MonitorProcess::CpuNs() const { return std::atoll(ProcFile(pid_, "schedstat").c_str()); }

long MonitorProcess::Syscall() const {
    const std::string text = ProcFile(pid_, "syscall");
    return text.rfind("running", 0) == 0 || text.empty() ? -1 : std::atol(text.c_str());
}

std::string MonitorProcess::Cwd() const {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/cwd", ec).string();
}

int MonitorProcess::DescriptorOf(const std::string &path) const {
    std::error_code ec;
    int lowest = -1;
    for (const auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
        const int fd = std::atoi(e.path().filename().c_str());
        if (std::filesystem::read_symlink(e.path(), ec) == path && (lowest < 0 || fd < lowest)) lowest = fd;
    }
    return lowest;
}

uint64_t MonitorProcess::Signals(const std::string &field) const {
    std::istringstream in(ProcFile(pid_, "status"));
    for (std::string l; std::getline(in, l);)
        if (l.rfind(field + ":", 0) == 0) return std::stoull(l.substr(field.size() + 1), nullptr, 16);
    return 0;
}

} // namespace kivsim
