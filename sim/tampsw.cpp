/* SPDX-License-Identifier: MIT */
#include "tampsw.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#ifndef KIVSIM_TAMPSW_BIN
#define KIVSIM_TAMPSW_BIN "kivtampsw"
#endif

namespace kivsim {

namespace {

constexpr long kFuseSuperMagic = 0x65735546;
constexpr int kReadyFd = 3;

bool IsFuseMount(const std::string &dir) {
    struct statfs fs;
    return statfs(dir.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == kFuseSuperMagic;
}

// Reaps pid, giving it `grace` to end after SIGTERM before it is killed.
void EndChild(pid_t pid, std::chrono::milliseconds grace) {
    kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    for (;;) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        // ECHILD: the test process ignores SIGCHLD, so the child was reaped on its own.
        if (r == pid || (r < 0 && errno != EINTR)) return;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

TampSwitch::TampSwitch(std::string binary, std::string device)
    : binary_(binary.empty() ? std::string(KIVSIM_TAMPSW_BIN) : std::move(binary)),
      device_(std::move(device)) {}

TampSwitch::~TampSwitch() { Stop(); }

bool TampSwitch::Start(const std::string &mountdir) {
    if (Running()) {
        errno = EBUSY;
        return Fail("tamper switch already running on " + mountdir_);
    }
    mountdir_ = mountdir;
    createdDir_ = false;
    if (mkdir(mountdir_.c_str(), 0755) == 0) createdDir_ = true;
    else if (errno != EEXIST) return Fail("mkdir " + mountdir_);

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return Fail("pipe");
    // Everything the child needs is prepared before fork: it may only make async-signal-safe calls.
    std::string fdText = std::to_string(kReadyFd);
    std::vector<char *> argv = {binary_.data(), const_cast<char *>("--ready-fd"), fdText.data(),
                                mountdir_.data(), nullptr};
    sigset_t none;
    sigemptyset(&none);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;

    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(ready[0]);
        close(ready[1]);
        errno = e;
        return Fail("fork");
    }
    if (pid == 0) {
        if (ready[1] == kReadyFd) fcntl(kReadyFd, F_SETFD, 0);
        else if (dup2(ready[1], kReadyFd) < 0) _exit(127);
        // The daemon must not inherit the test's descriptors (a device it held open would keep the
        // device busy) nor a signal state that keeps it from stopping.
        close_range(kReadyFd + 1, ~0U, 0);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) sigaction(sig, &dfl, nullptr);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    int n;
    do n = poll(&p, 1, 10000);
    while (n < 0 && errno == EINTR);
    char c = 0;
    bool up = n == 1 && read(ready[0], &c, 1) == 1 && c == '1';
    close(ready[0]);
    if (!up) {
        EndChild(pid, std::chrono::milliseconds(0));
        if (createdDir_) rmdir(mountdir_.c_str());
        errno = n == 0 ? ETIMEDOUT : EIO;
        return Fail("kivtampsw (" + binary_ + ") did not mount " + mountdir_);
    }
    pid_ = pid;
    return true;
}

void TampSwitch::Stop() {
    if (bound_) Unbind();
    if (pid_ <= 0) return;
    // SIGTERM makes the daemon answer parked reads, unmount and exit.
    EndChild(pid_, std::chrono::milliseconds(5000));
    pid_ = -1;
    if (IsFuseMount(mountdir_)) umount2(mountdir_.c_str(), MNT_DETACH);
    if (createdDir_) rmdir(mountdir_.c_str());
    createdDir_ = false;
}

bool TampSwitch::Bind() {
    if (bound_) return true;
    if (!Running()) {
        errno = ENOTCONN;
        return Fail("bind " + device_);
    }
    // A bind mount needs something to cover: an empty file takes the device's place.
    int fd = open(device_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return Fail("create " + device_);
    close(fd);
    if (mount(FilePath().c_str(), device_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        int e = errno;
        unlink(device_.c_str());
        errno = e;
        return Fail("bind " + FilePath() + " on " + device_);
    }
    bound_ = true;
    return true;
}

bool TampSwitch::Unbind() {
    if (bound_) {
        // Detached, so a holder of the device keeps its descriptor while new opens find nothing.
        if (umount2(device_.c_str(), MNT_DETACH) != 0) return Fail("unbind " + device_);
        bound_ = false;
    }
    if (unlink(device_.c_str()) != 0 && errno != ENOENT) return Fail("remove " + device_);
    return true;
}

bool TampSwitch::Inject(std::string_view events) {
    if (events.empty()) return true;
    return Set("inject", events);
}


std::vector<long long> TampSwitch::ReadTimes() const {
    std::vector<long long> times;
    std::istringstream in(Text("read_times"));
    for (long long t = 0; in >> t;) times.push_back(t);
    return times;
}

// "REQUEST BYTE" of the last request 3.
int TampSwitch::PollTime() const {
    const std::string last = Text("ioctl");
    return last.empty() ? -1 : std::atoi(last.c_str() + last.find(' ') + 1);
}

} // namespace kivsim
