// SPDX-License-Identifier: MIT
// kivtampsw: the tamper-switch stand-in of the simulated unit.
//
// A FUSE file system whose file cr_tampsw behaves like the unit's tamper switch device: it opens
// read-write, accepts ioctl request 3 (the polling time), becomes readable when a switch event is
// queued and yields one event byte per read. A read with nothing queued waits for the next event,
// as a character device does. Files beside it let tests inject events and watch what the monitor
// did to the device:
//
//   inject      write: every byte written is queued as one event
//   opens ioctls reads polls closes
//               read: decimal count of opens, request-3 ioctls, reads, polls and releases of
//               cr_tampsw; write a number to set it (0 resets)
//   queued      read: number of event bytes waiting
//   read_times  read: when the last reads of cr_tampsw came, in milliseconds of CLOCK_MONOTONIC,
//               oldest first, one per line (at most 64)
//   ioctl_fail  "1": request 3 fails with EIO; "0": it succeeds
//   read_fail   N: the next N reads fail with EIO
//   eof         N: the next N reads return 0 bytes
//   ioctl       read: "REQUEST BYTE" (decimal) of the last request 3 taken, BYTE the one its
//               argument points to (read from the caller's memory while it waits in the ioctl);
//               empty before the first.
//               write "REQUEST BYTE": an ioctl of cr_tampsw passed on by a caller that cannot
//               make it (a target binary under user-mode emulation, whose emulator refuses
//               requests it does not know). Counted, refused (ENOTTY) and failed (EIO) as an
//               ioctl is.
//
// Usage: kivtampsw [--ready-fd FD] MOUNTPOINT
// With --ready-fd, one byte '1' is written to FD once the file system is mounted, then FD is closed.
// SIGTERM, SIGINT or SIGHUP unmount and end the daemon.

#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace {

enum Ino : fuse_ino_t {
    kRoot = FUSE_ROOT_ID,
    kDevice,
    kInject,
    kOpens,
    kIoctls,
    kReads,
    kPolls,
    kCloses,
    kQueued,
    kIoctlFail,
    kReadFail,
    kEof,
    kIoctl,
    kReadTimes,
    kEnd
};

struct Node {
    const char *name;
    mode_t mode;
};

// Indexed by inode number; the root has no name.
constexpr Node kNodes[kEnd] = {
    {nullptr, 0},
    {nullptr, S_IFDIR | 0755},
    {"cr_tampsw", S_IFREG | 0666},
    {"inject", S_IFREG | 0200},
    {"opens", S_IFREG | 0644},
    {"ioctls", S_IFREG | 0644},
    {"reads", S_IFREG | 0644},
    {"polls", S_IFREG | 0644},
    {"closes", S_IFREG | 0644},
    {"queued", S_IFREG | 0444},
    {"ioctl_fail", S_IFREG | 0644},
    {"read_fail", S_IFREG | 0644},
    {"eof", S_IFREG | 0644},
    {"ioctl", S_IFREG | 0644},
    {"read_times", S_IFREG | 0444},
};

constexpr unsigned kReadable = POLLIN | POLLRDNORM;
constexpr unsigned kSwitchRequest = 3;

struct State {
    std::mutex mutex;
    std::deque<unsigned char> events;
    std::deque<fuse_req_t> waiting;                 // reads parked until an event arrives
    std::map<uint64_t, fuse_pollhandle *> pollers;  // one handle per open file of the device
    uint64_t nextFh = 1;
    long opens = 0, ioctls = 0, reads = 0, polls = 0, closes = 0;
    bool ioctlFail = false;
    long readFail = 0, eof = 0;
    std::string passedOn; // "REQUEST BYTE" of the last request 3 taken
    std::deque<long long> readTimes;
};

constexpr size_t kReadTimesKept = 64;

State g;

bool ReadableLocked() { return g.readFail > 0 || g.eof > 0 || !g.events.empty(); }

// Answers one read from the head of what is due: an injected fault first, then an event byte.
void AnswerLocked(fuse_req_t req) {
    if (g.readFail > 0) {
        --g.readFail;
        fuse_reply_err(req, EIO);
    } else if (g.eof > 0) {
        --g.eof;
        fuse_reply_buf(req, nullptr, 0);
    } else {
        unsigned char b = g.events.front();
        g.events.pop_front();
        fuse_reply_buf(req, reinterpret_cast<const char *>(&b), 1);
    }
}

// After anything that can make the device readable: serve parked reads, then wake pollers.
void ServeLocked() {
    while (!g.waiting.empty() && ReadableLocked()) {
        fuse_req_t req = g.waiting.front();
        g.waiting.pop_front();
        AnswerLocked(req);
    }
    if (ReadableLocked()) {
        for (auto &[fh, ph] : g.pollers) {
            fuse_lowlevel_notify_poll(ph);
            fuse_pollhandle_destroy(ph);
        }
        g.pollers.clear();
    }
}

long *Counter(fuse_ino_t ino) {
    switch (ino) {
    case kOpens: return &g.opens;
    case kIoctls: return &g.ioctls;
    case kReads: return &g.reads;
    case kPolls: return &g.polls;
    case kCloses: return &g.closes;
    case kReadFail: return &g.readFail;
    case kEof: return &g.eof;
    default: return nullptr;
    }
}

// Request cmd on the device, made or passed on: 0, or the errno it fails with.
int SwitchRequestLocked(unsigned cmd) {
    if (cmd != kSwitchRequest) return ENOTTY;
    ++g.ioctls;
    return g.ioctlFail ? EIO : 0;
}

void FillAttr(fuse_ino_t ino, struct stat *st) {
    std::memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_mode = kNodes[ino].mode;
    st->st_nlink = ino == kRoot ? 2 : 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
}

bool Valid(fuse_ino_t ino) { return ino >= kRoot && ino < kEnd; }

void OnLookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    if (parent != kRoot) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    for (fuse_ino_t ino = kDevice; ino < kEnd; ++ino) {
        if (std::strcmp(kNodes[ino].name, name) == 0) {
            fuse_entry_param e{};
            e.ino = ino;
            e.attr_timeout = 1.0;
            e.entry_timeout = 1.0;
            FillAttr(ino, &e.attr);
            fuse_reply_entry(req, &e);
            return;
        }
    }
    fuse_reply_err(req, ENOENT);
}

void OnGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    if (!Valid(ino)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    FillAttr(ino, &st);
    fuse_reply_attr(req, &st, 1.0);
}

// Opening a control file with O_TRUNC arrives as a size change; the files have no size to change.
void OnSetattr(fuse_req_t req, fuse_ino_t ino, struct stat *, int, fuse_file_info *fi) {
    OnGetattr(req, ino, fi);
}

void OnReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
    if (ino != kRoot) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::string buf;
    auto add = [&](const char *name, fuse_ino_t entry, off_t next) {
        struct stat st;
        FillAttr(entry, &st);
        size_t need = fuse_add_direntry(req, nullptr, 0, name, &st, next);
        size_t at = buf.size();
        if (at + need > size) return false;
        buf.resize(at + need);
        fuse_add_direntry(req, buf.data() + at, need, name, &st, next);
        return true;
    };
    // Entry i is ".", "..", then the files in inode order; its successor's offset is i + 1.
    constexpr off_t kEntries = 2 + (kEnd - kDevice);
    for (off_t i = off; i < kEntries; ++i) {
        fuse_ino_t entry = i < 2 ? kRoot : static_cast<fuse_ino_t>(kDevice + (i - 2));
        const char *name = i == 0 ? "." : i == 1 ? ".." : kNodes[entry].name;
        if (!add(name, entry, i + 1)) break;
    }
    fuse_reply_buf(req, buf.data(), buf.size());
}

void OnOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    if (!Valid(ino) || ino == kRoot) {
        fuse_reply_err(req, ino == kRoot ? EISDIR : ENOENT);
        return;
    }
    // Every read and write must reach the daemon: nothing of these files is cached.
    fi->direct_io = 1;
    if (ino == kDevice) {
        fi->nonseekable = 1;
        std::lock_guard lock(g.mutex);
        ++g.opens;
        fi->fh = g.nextFh++;
    }
    fuse_reply_open(req, fi);
}

void OnRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    if (ino == kDevice) {
        std::lock_guard lock(g.mutex);
        ++g.closes;
        auto it = g.pollers.find(fi->fh);
        if (it != g.pollers.end()) {
            fuse_pollhandle_destroy(it->second);
            g.pollers.erase(it);
        }
    }
    fuse_reply_err(req, 0);
}

void OnInterrupt(fuse_req_t req, void *) {
    std::lock_guard lock(g.mutex);
    for (auto it = g.waiting.begin(); it != g.waiting.end(); ++it) {
        if (*it == req) {
            g.waiting.erase(it);
            fuse_reply_err(req, EINTR);
            return;
        }
    }
}

void ReadDevice(fuse_req_t req, size_t size, fuse_file_info *fi) {
    // Registered before the request is parked: an interrupt that comes first is seen below.
    fuse_req_interrupt_func(req, OnInterrupt, nullptr);
    std::lock_guard lock(g.mutex);
    ++g.reads;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    g.readTimes.push_back(now.tv_sec * 1000LL + now.tv_nsec / 1000000);
    if (g.readTimes.size() > kReadTimesKept) g.readTimes.pop_front();
    if (fuse_req_interrupted(req)) {
        fuse_reply_err(req, EINTR);
    } else if (size == 0) {
        fuse_reply_buf(req, nullptr, 0);
    } else if (ReadableLocked() && g.waiting.empty()) {
        AnswerLocked(req);
    } else if (fi->flags & O_NONBLOCK) {
        fuse_reply_err(req, EAGAIN);
    } else {
        g.waiting.push_back(req);
    }
}

void OnRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *fi) {
    if (ino == kDevice) {
        ReadDevice(req, size, fi);
        return;
    }
    std::string text;
    {
        std::lock_guard lock(g.mutex);
        if (long *c = Counter(ino)) text = std::to_string(*c) + "\n";
        else if (ino == kQueued) text = std::to_string(g.events.size()) + "\n";
        else if (ino == kIoctlFail) text = g.ioctlFail ? "1\n" : "0\n";
        else if (ino == kIoctl) text = g.passedOn.empty() ? "" : g.passedOn + "\n";
        else if (ino == kReadTimes)
            for (long long t : g.readTimes) text += std::to_string(t) + "\n";
        else {
            fuse_reply_err(req, EACCES);
            return;
        }
    }
    size_t from = off < 0 ? 0 : static_cast<size_t>(off);
    if (from >= text.size()) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    size_t n = std::min(size, text.size() - from);
    fuse_reply_buf(req, text.data() + from, n);
}

// A control value: decimal digits, optionally followed by white space.
bool ParseValue(std::string_view s, long &out) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r' || s.back() == '\t'))
        s.remove_suffix(1);
    if (s.empty() || s.size() > 18) return false;
    long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// "REQUEST BYTE" written to the ioctl file: the request as the driver would take it.
void PassedOnRequestLocked(fuse_req_t req, std::string_view s) {
    size_t space = s.find(' ');
    long request = 0, arg = 0;
    if (space == std::string_view::npos || !ParseValue(s.substr(0, space), request) ||
        !ParseValue(s.substr(space + 1), arg) || request > 0xffffffffL || arg > 0xff) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    int err = SwitchRequestLocked(static_cast<unsigned>(request));
    if (err != ENOTTY) g.passedOn = std::to_string(request) + " " + std::to_string(arg);
    if (err != 0) fuse_reply_err(req, err);
    else fuse_reply_write(req, s.size());
}

void OnWrite(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t, fuse_file_info *) {
    std::lock_guard lock(g.mutex);
    if (ino == kInject) {
        for (size_t i = 0; i < size; ++i) g.events.push_back(static_cast<unsigned char>(buf[i]));
        ServeLocked();
        fuse_reply_write(req, size);
        return;
    }
    if (ino == kIoctl) {
        PassedOnRequestLocked(req, std::string_view(buf, size));
        return;
    }
    long v = 0;
    if (ino == kDevice || ino == kQueued || ino == kReadTimes || !Valid(ino) || ino == kRoot) {
        fuse_reply_err(req, ino == kDevice ? EINVAL : EACCES);
    } else if (!ParseValue(std::string_view(buf, size), v)) {
        fuse_reply_err(req, EINVAL);
    } else {
        if (ino == kIoctlFail) g.ioctlFail = v != 0;
        else *Counter(ino) = v;
        ServeLocked();
        fuse_reply_write(req, size);
    }
}

// The byte at addr in the calling process, -1 if it cannot be read. The caller waits in the ioctl
// until the reply, so the byte is the one it passed.
int CallerByte(fuse_req_t req, const void *addr) {
    unsigned char b = 0;
    iovec local{&b, 1};
    iovec remote{const_cast<void *>(addr), 1};
    return process_vm_readv(fuse_req_ctx(req)->pid, &local, 1, &remote, 1, 0) == 1 ? b : -1;
}

void OnIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void *arg, fuse_file_info *, unsigned,
             const void *, size_t, size_t) {
    if (ino != kDevice) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    // Request 3 encodes no size, so the kernel passes no data; its argument is the caller's address.
    const int byte = CallerByte(req, arg);
    int err;
    {
        std::lock_guard lock(g.mutex);
        err = SwitchRequestLocked(cmd);
        if (err != ENOTTY) g.passedOn = std::to_string(cmd) + " " + std::to_string(byte);
    }
    if (err != 0) fuse_reply_err(req, err);
    else fuse_reply_ioctl(req, 0, nullptr, 0);
}

void OnPoll(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi, fuse_pollhandle *ph) {
    if (ino != kDevice) {
        // Never ENOSYS: the kernel would stop asking for every file of the mount.
        if (ph) fuse_pollhandle_destroy(ph);
        fuse_reply_poll(req, POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM);
        return;
    }
    unsigned revents;
    {
        std::lock_guard lock(g.mutex);
        ++g.polls;
        if (ph) {
            auto [it, fresh] = g.pollers.emplace(fi->fh, ph);
            if (!fresh) {
                fuse_pollhandle_destroy(it->second);
                it->second = ph;
            }
        }
        revents = ReadableLocked() ? kReadable : 0;
    }
    fuse_reply_poll(req, revents);
}

const fuse_lowlevel_ops kOps = [] {
    fuse_lowlevel_ops ops{};
    ops.lookup = OnLookup;
    ops.getattr = OnGetattr;
    ops.setattr = OnSetattr;
    ops.readdir = OnReaddir;
    ops.open = OnOpen;
    ops.release = OnRelease;
    ops.read = OnRead;
    ops.write = OnWrite;
    ops.ioctl = OnIoctl;
    ops.poll = OnPoll;
    return ops;
}();

int Usage() {
    std::fprintf(stderr, "usage: kivtampsw [--ready-fd FD] MOUNTPOINT\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    int readyFd = -1;
    const char *mountpoint = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--ready-fd" && i + 1 < argc) {
            readyFd = std::atoi(argv[++i]);
        } else if (!a.empty() && a[0] != '-' && mountpoint == nullptr) {
            mountpoint = argv[i];
        } else {
            return Usage();
        }
    }
    if (mountpoint == nullptr) return Usage();

    char arg0[] = "kivtampsw";
    char *fuseArgv[] = {arg0, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, fuseArgv);
    fuse_session *se = fuse_session_new(&args, &kOps, sizeof kOps, nullptr);
    if (se == nullptr) return 1;
    int rc = 1;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, mountpoint) == 0) {
            if (readyFd >= 0) {
                ssize_t n = write(readyFd, "1", 1);
                (void)n;
                close(readyFd);
            }
            fuse_loop_config *cfg = fuse_loop_cfg_create();
            // A signal that ends the loop is the normal way to stop: it is returned as a positive value.
            rc = fuse_session_loop_mt(se, cfg) < 0 ? 1 : 0;
            fuse_loop_cfg_destroy(cfg);
            {
                // Reads still parked get an answer, so no reader waits on a vanished device.
                std::lock_guard lock(g.mutex);
                for (fuse_req_t req : g.waiting) fuse_reply_err(req, EIO);
                g.waiting.clear();
                for (auto &[fh, ph] : g.pollers) fuse_pollhandle_destroy(ph);
                g.pollers.clear();
            }
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    fuse_opt_free_args(&args);
    return rc;
}
