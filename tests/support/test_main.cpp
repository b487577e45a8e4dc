#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "kivtest.h"

namespace kivtest {

namespace {
kivsim::SyslogReceiver *g_syslog = nullptr;

std::set<int> OpenDescriptors() {
    std::set<int> fds;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return fds;
    int self = dirfd(d);
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        int fd = std::atoi(e->d_name);
        if (fd == self) continue;
        char link[256] = {};
        std::string p = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(p.c_str(), link, sizeof link - 1);
        // Sockets belong to the syslog connection and the receiver, which live across tests.
        if (n > 0 && std::string(link, static_cast<size_t>(n)).rfind("socket:", 0) == 0) continue;
        // Pipes are those of the receiver's thread when the test did not open them itself.
        fds.insert(fd);
    }
    closedir(d);
    return fds;
}

int AttachedSegments() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line))
        if (line.find("/SYSV") != std::string::npos) ++n;
    return n;
}

class LeakCheck : public testing::EmptyTestEventListener {
    std::set<int> fds_;
    int segments_ = 0;
    void OnTestStart(const testing::TestInfo &) override {
        fds_ = OpenDescriptors();
        segments_ = AttachedSegments();
    }
    void OnTestEnd(const testing::TestInfo &info) override {
        std::set<int> now = OpenDescriptors();
        std::ostringstream leaked;
        for (int fd : now)
            if (!fds_.count(fd)) leaked << ' ' << fd;
        if (!leaked.str().empty())
            std::fprintf(stderr, "LEAK: %s.%s left descriptors open:%s\n", info.test_suite_name(),
                         info.name(), leaked.str().c_str());
        int seg = AttachedSegments();
        if (seg != segments_)
            std::fprintf(stderr, "LEAK: %s.%s left %d segment(s) attached\n", info.test_suite_name(),
                         info.name(), seg - segments_);
        EXPECT_TRUE(leaked.str().empty()) << "descriptors left open:" << leaked.str();
        EXPECT_EQ(seg, segments_) << "shared-memory segments left attached";
    }
};
} // namespace

kivsim::SyslogReceiver &Syslog() { return *g_syslog; }

std::string ReadFileBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void PrintTo(const Line &l, std::ostream *os) { *os << '<' << l.pri << '>' << testing::PrintToString(l.text); }

Lines LoggedBy(pid_t pid) {
    Syslog().Sync();
    Lines out;
    for (const auto &l : Syslog().Lines())
        if (l.pid == pid) out.push_back({l.pri, l.text});
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
    std::vsnprintf(buf, sizeof buf, fmt, ap);
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

Fd::~Fd() {
    if (fd >= 0) close(fd);
}

std::vector<std::string> Notices(pid_t pid) {
    std::vector<std::string> out;
    for (const Line &l : LoggedBy(pid != 0 ? pid : getpid()))
        if (l.pri < LOG_DEBUG) out.push_back(l.text);
    return out;
}

} // namespace kivtest

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (std::getenv("KIV_SANDBOX") == nullptr) {
        std::fprintf(stderr, "these tests use the unit's fixed paths; run them through sim/sandbox\n");
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
