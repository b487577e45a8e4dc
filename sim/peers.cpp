/* SPDX-License-Identifier: MIT */
#include "peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace kivsim {

std::string PipePath(std::string_view name) {
    std::string p(kPipeDir);
    p += '/';
    p += name;
    return p;
}

// ---------------------------------------------------------------- records

std::string_view Received::ModText() const { return std::string_view(bytes).substr(0, 3); }
std::string_view Received::CmdText() const { return std::string_view(bytes).substr(std::min<size_t>(3, bytes.size()), 3); }
std::string_view Received::Data() const { return std::string_view(bytes).substr(std::min<size_t>(6, bytes.size())); }

bool Received::IsCommand(int cmd) const {
    char text[16];
    std::snprintf(text, sizeof text, "%03d", cmd);
    return CmdText() == text;
}

void RecordStore::Add(std::string_view pipe, std::string bytes) {
    Received r;
    r.pipe = std::string(pipe);
    r.bytes = std::move(bytes);
    r.when = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    r.seq = next_++;
    records_.push_back(std::move(r));
    cv_.notify_all();
}

std::vector<Received> RecordStore::All() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<Received> RecordStore::On(std::string_view pipe) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Received> out;
    for (const Received &r : records_)
        if (r.pipe == pipe) out.push_back(r);
    return out;
}

uint64_t RecordStore::Mark() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
}

void RecordStore::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

std::optional<Received> RecordStore::Wait(const RecordPredicate &pred, Ms timeout, uint64_t since) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Received> found;
    cv_.wait_for(lock, timeout, [&] {
        for (const Received &r : records_) {
            if (r.seq >= since && pred(r)) {
                found = r;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<Received> RecordStore::WaitRecord(std::string_view pipe, int cmd, Ms timeout, uint64_t since) const {
    return Wait([&](const Received &r) { return r.pipe == pipe && r.IsCommand(cmd); }, timeout, since);
}

size_t RecordStore::Count(std::string_view pipe, int cmd, uint64_t since) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(records_.begin(), records_.end(), [&](const Received &r) {
        return r.seq >= since && r.pipe == pipe && (cmd < 0 || r.IsCommand(cmd));
    }));
}

bool RecordStore::WaitCount(std::string_view pipe, int cmd, size_t n, Ms timeout, uint64_t since) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (const Received &r : records_)
            if (r.seq >= since && r.pipe == pipe && (cmd < 0 || r.IsCommand(cmd))) ++seen;
        return seen >= n;
    });
}

std::string SpaceData(std::string_view head) {
    std::string d(kDataSize, ' ');
    d.replace(0, std::min(head.size(), kDataSize), head.substr(0, kDataSize));
    return d;
}

std::string MakeRecord(int mod, int cmd, std::string_view data) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%03d%03d", mod, cmd);
    std::string r(ids, 6);
    r += SpaceData(data);
    return r;
}

// ---------------------------------------------------------------- one pipe reader

namespace {

// A pipe the peer owns: created if missing, with the mode the unit's modules give their pipes.
bool MakeFifo(const std::string &path) {
    if (mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    chmod(path.c_str(), 0666);
    return true;
}

} // namespace

PipeReader::PipeReader(std::string_view name, int module, RecordStore &store)
    : name_(name), module_(module), store_(store) {}

PipeReader::~PipeReader() {
    StopThread();
    if (fd_ >= 0) close(fd_);
}

bool PipeReader::Create() {
    if (open_) {
        Resume();
        return true;
    }
    std::string path = Path();
    if (!MakeFifo(path)) return false;
    // Read-write: the pipe always has a reader, so a writer's open never waits for us and never
    // fails for want of one; non-blocking, so draining stops when the pipe is empty.
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    open_ = true;
    StartThread();
    return true;
}

void PipeReader::StartThread() {
    if (thread_.joinable() || !open_) return;
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    thread_ = std::thread([this] { Run(); });
}

void PipeReader::StopThread() {
    if (!thread_.joinable()) return;
    char c = 0;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
    wake_[0] = wake_[1] = -1;
}

void PipeReader::Pause() { StopThread(); }

bool PipeReader::Resume() {
    StartThread();
    return thread_.joinable();
}

void PipeReader::Remove() {
    StopThread();
    // Gone from /tmp/pipe before the last reader closes it: a writer that retries in between
    // would otherwise open the orphaned pipe and wait for a reader that never comes.
    unlink(Path().c_str());
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    open_ = false;
}

void PipeReader::Sync() {
    if (thread_.joinable()) ReadAvailable();
}

int PipeReader::Waiting() const {
    int n = 0;
    if (fd_ < 0 || ioctl(fd_, FIONREAD, &n) != 0) return 0;
    return n;
}

void PipeReader::ReadAvailable() {
    std::lock_guard<std::mutex> lock(readMutex_);
    char buf[kRecordSize];
    for (;;) {
        // Every writer writes whole 256-byte records in one go, so each read takes exactly one.
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) {
            store_.Add(name_, std::string(buf, static_cast<size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

void PipeReader::Run() {
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents != 0) return;
        if (p[0].revents & POLLIN) ReadAvailable();
    }
}

// ---------------------------------------------------------------- supervisor

Supervisor::Supervisor(RecordStore &store)
    : store_(store), sts_(kFifoSts, kModSupervisor, store), stsp_(kFifoStsp, kModSupervisor, store) {
    // Commands to a monitor that has gone must fail with EPIPE, not end the unit.
    std::signal(SIGPIPE, SIG_IGN);
}

Supervisor::~Supervisor() { ReleaseCommandPipe(); }

bool Supervisor::Create() {
    if (!MakeFifo(PipePath(kFifoTamp))) return false;
    if (!HoldCommandPipe()) return false;
    return sts_.Create() && stsp_.Create();
}

bool Supervisor::HoldCommandPipe() {
    if (tampFd_ >= 0) return true;
    std::string path = PipePath(kFifoTamp);
    // A write-only open waits for a reader and a non-blocking one fails without one: be the reader
    // for the moment of the open, then hold only the writing end, as the real supervisor does.
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0) return false;
    tampFd_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    int e = errno;
    close(reader);
    errno = e;
    return tampFd_ >= 0;
}

bool Supervisor::ReleaseCommandPipe() {
    const bool held = tampFd_ >= 0 && close(tampFd_) == 0;
    tampFd_ = -1;
    return held;
}

bool Supervisor::RemoveCommandPipe() {
    ReleaseCommandPipe();
    return unlink(PipePath(kFifoTamp).c_str()) == 0;
}

bool Supervisor::Send(int cmd, unsigned char data0) {
    std::string data = SpaceData();
    data[0] = static_cast<char>(data0);
    return SendRaw(MakeRecord(kModSupervisor, cmd, data));
}

bool Supervisor::SendRecord(int mod, int cmd, std::string_view data) { return SendRaw(MakeRecord(mod, cmd, data)); }

bool Supervisor::SendRaw(std::string_view bytes) {
    if (tampFd_ < 0) {
        errno = EBADF;
        return false;
    }
    // Up to PIPE_BUF bytes go in with one write; longer runs are written as room appears.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!bytes.empty()) {
        ssize_t n = write(tampFd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        if (Clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{tampFd_, POLLOUT, 0};
        (void)poll(&p, 1, 50);
    }
    return true;
}

std::optional<Received> Supervisor::WaitRecord(std::string_view pipe, int cmd, Ms timeout, uint64_t since) const {
    return store_.WaitRecord(pipe, cmd, timeout, since);
}

// ---------------------------------------------------------------- write order

Flood::Flood(int fd, std::string_view record) : fd_(fd) {
    for (int i = 0; i < 16; ++i) batch_ += record;
    thread_ = std::thread([this] {
        while (!stop_) {
            if (write(fd_, batch_.data(), batch_.size()) == static_cast<ssize_t>(batch_.size())) {
                sent_ += 16;
                continue;
            }
            pollfd p{fd_, POLLOUT, 0};
            (void)poll(&p, 1, 10);
        }
    });
}

long Flood::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return sent_;
}

WriteOrder::WriteOrder() { fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

WriteOrder::~WriteOrder() {
    if (fd_ >= 0) close(fd_);
}

bool WriteOrder::Watch(std::string_view name) {
    if (fd_ < 0) return false;
    std::string path = PipePath(name);
    int wd = inotify_add_watch(fd_, path.c_str(), IN_MODIFY);
    if (wd < 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &w : watches_)
        if (w.first == wd) {
            w.second = std::string(name);
            return true;
        }
    watches_.emplace_back(wd, std::string(name));
    return true;
}

bool WriteOrder::WatchRemoval(std::string_view path) {
    if (fd_ < 0) return false;
    std::string p(path);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : p.substr(0, slash == 0 ? 1 : slash);
    std::string file = slash == std::string::npos ? p : p.substr(slash + 1);
    int wd = inotify_add_watch(fd_, dir.c_str(), IN_DELETE);
    if (wd < 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    removals_.emplace_back(wd, file);
    return true;
}

void WriteOrder::Drain() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) return;
        for (char *p = buf; p < buf + n;) {
            auto *e = reinterpret_cast<inotify_event *>(p);
            if (e->mask & IN_MODIFY) {
                for (const auto &w : watches_)
                    if (w.first == e->wd) names_.push_back(w.second);
            }
            if ((e->mask & IN_DELETE) && e->len > 0) {
                for (const auto &r : removals_)
                    if (r.first == e->wd && r.second == e->name) names_.push_back(r.second);
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

std::vector<std::string> WriteOrder::Names(size_t atLeast, Ms timeout) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) return names_;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        Drain();
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (names_.size() >= atLeast || left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        (void)poll(&p, 1, static_cast<int>(left));
    }
    return names_;
}

void WriteOrder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) Drain();
    names_.clear();
}

} // namespace kivsim
