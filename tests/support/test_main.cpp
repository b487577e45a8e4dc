/* SPDX-License-Identifier: MIT */
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "kivtest.h"

namespace kivtest {

namespace {
kivsim::SyslogReceiver *g_syslog = nullptr;

std::set<int> OpenDescriptors() {
    namespace fs = std::filesystem;
    std::set<int> fds;
    std::error_code ec;
    const std::string listing = "/proc/" + std::to_string(getpid()) + "/fd";
    for (const auto &e : fs::directory_iterator("/proc/self/fd", ec)) {
        // Sockets belong to the syslog connection and the receiver, which live across tests; the
        // listing's own descriptor is no test's.
        const std::string to = fs::read_symlink(e.path(), ec).string();
        if (to.rfind("socket:", 0) != 0 && to != listing) fds.insert(std::stoi(e.path().filename().string()));
    }
    return fds;
}

int AttachedSegments() {
    std::istringstream maps(kivsim::FileText("/proc/self/maps"));
    int n = 0;
    for (std::string line; std::getline(maps, line);) n += line.find("/SYSV") != std::string::npos ? 1 : 0;
    return n;
}

class LeakCheck : public testing::EmptyTestEventListener {
    std::set<int> fds_;
    int segments_ = 0;
    void OnTestStart(const testing::TestInfo & /*test*/) override {
        fds_ = OpenDescriptors();
        segments_ = AttachedSegments();
    }
    void OnTestEnd(const testing::TestInfo & /*test*/) override {
        std::string leaked;
        for (int fd : OpenDescriptors())
            if (!fds_.contains(fd)) leaked += ' ' + std::to_string(fd);
        EXPECT_EQ(leaked, "") << "descriptors left open";
        EXPECT_EQ(AttachedSegments(), segments_) << "shared-memory segments left attached";
    }
};
} // namespace

kivsim::SyslogReceiver &Syslog() { return *g_syslog; }

Texts Logged(int pri, pid_t pid) {
    static const std::regex line("\\.cpp,[0-9]+,");
    Syslog().Sync();
    Texts out;
    const pid_t who = pid != 0 ? pid : getpid();
    for (const auto &l : Syslog().Lines())
        if (l.pri == pri && l.pid == who) out.push_back(std::regex_replace(l.text, line, ".cpp,N,"));
    if (pid == 0) Syslog().Clear();
    return out;
}

void ClearLog() {
    Syslog().Sync();
    Syslog().Clear();
}

size_t Count(int pri, const std::string &text) {
    Syslog().Sync();
    return Syslog().Count(pri, text);
}

std::string F(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    (void)std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

void RemoveAllSegments() {
    std::ifstream list("/proc/sysvipc/shm");
    std::string line;
    std::getline(list, line);
    while (std::getline(list, line)) {
        long key;
        int id;
        if (std::istringstream(line) >> key >> id) shmctl(id, IPC_RMID, nullptr);
    }
}

std::string ReadAvailable(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

int Pending(int fd) {
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

} // namespace kivtest

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (std::getenv("KIV_SANDBOX") == nullptr) {
        (void)std::fprintf(stderr, "these tests use the unit's fixed paths; run them through sim/sandbox\n");
        return 2;
    }
    static kivsim::SyslogReceiver receiver;
    if (!receiver.Start()) {
        std::perror("syslog receiver at /dev/log");
        return 2;
    }
    kivtest::g_syslog = &receiver;
    // Connect now, so the syslog socket is not counted as a descriptor a test leaked.
    openlog("KIVTEST", LOG_PID | LOG_NDELAY, LOG_LOCAL4);
    testing::UnitTest::GetInstance()->listeners().Append(new kivtest::LeakCheck);
    return RUN_ALL_TESTS();
}
