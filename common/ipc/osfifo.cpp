// SPDX-License-Identifier: MIT
// Pipe record and named-pipe transport between the unit's module processes.
#include "ipc/osfifo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal/record.h"
#include "internal/sysutil.h"
#include "internal/trace.h"

// One write of 256 bytes is atomic on a pipe, so records from different writers never interleave.
static_assert(sizeof(FifoMsg) == 256);
static_assert(KIV_FIFO_MSG_SIZE <= PIPE_BUF);

constexpr useconds_t kOpenRetryUsec = 50000;
constexpr int kPutAttempts = 3;
// How often the waiting sender looks again for a reader of a pipe nobody reads yet.
constexpr int kReaderPollMs = 10;

// atoi of a three-character field: leading digits count, a field without them gives 0.
static int GetId(const char *field) {
    std::array<char, 4> text{};
    std::memcpy(text.data(), field, 3);
    return std::atoi(text.data());
}

// How one kind of ComFifoCreateOpen opens its pipe.
struct OpenKind {
    int flags;
    int retryErrno;   // the open is repeated while it fails with this error; 0 never
    const char *what; // "read", "write" or "RW" in the trace lines
};

constexpr std::array<OpenKind, 7> kOpenKinds{{
    {0, 0, ""}, // kind 0 creates and opens nothing
    {O_RDONLY, 0, "read"},
    {O_RDONLY | O_NONBLOCK, 0, "read"},
    {O_RDONLY | O_NONBLOCK, EACCES, "read"},
    {O_WRONLY, ENOENT, "write"},
    {O_WRONLY | O_NONBLOCK, ENOENT, "write"},
    {O_RDWR | O_NONBLOCK, 0, "RW"},
}};

static int CreateFifo(ProcInfo *pProcInfo, const char *fifoname) {
    syslog(LOG_DEBUG, "create of FIFO Pipe(%s)\n", fifoname);
    errno = 0;
    if (mkfifo(fifoname, kFifoMode) != 0 && errno != EEXIST) {
        const int err = errno;
        pProcInfo->iErrno = err;
        syslog(LOG_INFO, "mkfifo failed(%s, errno=%d)\n", fifoname, err);
        return -1;
    }
    syslog(LOG_DEBUG, "mkfifo success(%s)\n", fifoname);
    TraceEnd("ComFifoCreate()");
    return 0;
}

static int OpenFifo(ProcInfo *pProcInfo, const char *fifoname, const OpenKind &kind) {
    for (;;) {
        errno = 0;
        syslog(LOG_DEBUG, "start of open %s(%s)\n", kind.what, fifoname);
        const int fd = AboveStdFd(open(fifoname, kind.flags | O_CLOEXEC));
        if (fd >= 0) {
            syslog(LOG_DEBUG, "open FifoDescriptor(%s) = %d\n", kind.what, fd);
            TraceEnd("ComFifoCreate()");
            return fd;
        }
        const int err = errno;
        if (kind.retryErrno != 0 && err == kind.retryErrno) {
            syslog(LOG_DEBUG, "sleep() of open(%s)\n", fifoname);
            usleep(kOpenRetryUsec);
            continue;
        }
        pProcInfo->iErrno = err;
        syslog(LOG_INFO, "open(%s) failed(%s, errno=%d)\n", kind.what, fifoname, err);
        return -1;
    }
}

// Probe of both senders: the path must be there. Opened without waiting, since a FIFO opened for
// reading would otherwise wait for a writer, which a peer that died never brings back.
static bool ProbeFifo(const char *fifo) {
    errno = 0;
    const int fd = open(fifo, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        const int err = errno;
        syslog(LOG_INFO, "FIFO read open error (fifo=%s, errno=%d(%s))\n", fifo, err, strerror(err));
        errno = err;
        return false;
    }
    close(fd);
    return true;
}

static void LogWriteOpenError(const char *fifo, int err) {
    syslog(LOG_INFO, "FIFO write open error (fifo=%s, errno=%d(%s))\n", fifo, err, strerror(err));
    errno = err;
}

static void LogWriteError(const char *fifo, int err) {
    syslog(LOG_INFO, "FIFO write error (fifo=%s, errno=%d(%s))\n", fifo, err, strerror(err));
    errno = err;
}

// Opening side of both senders, never blocking. A record goes only into a pipe: the path is never
// created (it may have vanished since the probe), and anything else found there, a regular file
// left in the pipe's place say, would keep the records and report them delivered while the
// reader never hears of them. Returns the descriptor, or -1 with errno.
static int OpenPipeForRecord(const char *fifo) {
    errno = 0;
    const int fd = AboveStdFd(open(fifo, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC));
    if (fd == -1) return -1;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0)
        err = errno;
    else if (!S_ISFIFO(st.st_mode))
        err = EINVAL;
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Milliseconds left before deadline, never negative.
static int MsLeft(int64_t deadline) {
    const int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The waiting open of ComFIFOPutData2: while no process reads the pipe (ENXIO) it tries again every
// few milliseconds until the deadline.
static int OpenPipeWaiting(const char *fifo, int64_t deadline) {
    for (;;) {
        const int fd = OpenPipeForRecord(fifo);
        if (fd != -1 || errno != ENXIO || MsLeft(deadline) == 0) return fd;
        (void)poll(nullptr, 0, std::min(kReaderPollMs, MsLeft(deadline)));
        errno = ENXIO;
    }
}

// The waiting write of ComFIFOPutData2: while the pipe has no room for the record (EAGAIN) it
// waits for room until the deadline. A record of 256 bytes goes in whole or not at all.
static bool WriteRecordWaiting(int fd, const FifoMsg &msg, int64_t deadline) {
    for (;;) {
        errno = 0;
        if (write(fd, &msg, sizeof msg) == static_cast<ssize_t>(sizeof msg)) return true;
        const int err = errno != 0 ? errno : EAGAIN;
        if (err != EAGAIN || MsLeft(deadline) == 0) {
            errno = err;
            return false;
        }
        pollfd room{fd, POLLOUT, 0};
        (void)poll(&room, 1, MsLeft(deadline));
    }
}

FifoMsg BuildRecord(int iMod_id, int iCmd_id, const void *data) {
    FifoMsg msg{};
    PutId(msg.iMod_id, iMod_id);
    PutId(msg.iCmd_id, iCmd_id);
    std::memcpy(msg.data, data, KIV_FIFO_DATA_SIZE);
    return msg;
}

PutStep PutRecordNow(const char *fifo, const FifoMsg &msg) {
    const int fd = OpenPipeForRecord(fifo);
    if (fd == -1) return PutStep::kOpen;
    const bool written = WriteRecordWaiting(fd, msg, 0); // a deadline long past: no waiting
    const int err = errno;
    close(fd);
    errno = err;
    return written ? PutStep::kDone : PutStep::kWrite;
}

extern "C" {

int ComFifoCreateOpen(ProcInfo *pProcInfo, const char *fifoname, int kind) {
    TraceStart("ComFifoCreate()");
    syslog(LOG_DEBUG, "fifoname = %s\n", fifoname);
    syslog(LOG_DEBUG, "kind = %d\n", kind);
    errno = 0;
    if (kind < 0 || kind >= static_cast<int>(kOpenKinds.size())) {
        syslog(LOG_INFO, "error of kind(%d)\n", kind);
        return -1;
    }
    if (kind == 0) return CreateFifo(pProcInfo, fifoname);
    return OpenFifo(pProcInfo, fifoname, kOpenKinds[static_cast<size_t>(kind)]);
}

int ComFifoRead(ProcInfo *pProcInfo, int fifoDescript, void *buffer) {
    TraceStart("ComFifoRead()");
    syslog(LOG_DEBUG, "fifoDescript = %d\n", fifoDescript);
    auto *bytes = static_cast<char *>(buffer);
    std::memset(bytes, 0, 4);
    errno = 0;
    ssize_t cnt = read(fifoDescript, bytes, KIV_FIFO_MSG_SIZE);
    if (cnt < 0) {
        const int err = errno;
        if (err != EAGAIN) {
            pProcInfo->iErrno = err;
            syslog(LOG_INFO, "read failed(fifoDescript=%d), errno=%d\n", fifoDescript, err);
            return -1;
        }
        cnt = 0; // nothing waiting in a non-blocking pipe
    }
    const int n = static_cast<int>(cnt);
    // getpid is a system call of its own: not made for a line the log level hides.
    if (n > 0 && TraceShown()) {
        syslog(LOG_DEBUG, "pid=%d, read-cnt=%dbyte\n", static_cast<int>(getpid()), n);
        // The received bytes carry no terminator: print no further than they reach.
        syslog(LOG_DEBUG, "receive-data=%.*s\n", n, bytes);
    }
    TraceEnd("ComFifoRead()");
    return n;
}

int ComFifoWrite(int iFifoDescript, const void *buffer, unsigned int length) {
    TraceStart("ComFifoWrite()");
    errno = 0;
    if (write(iFifoDescript, buffer, length) < 0) {
        const int err = errno;
        syslog(LOG_INFO, "send failed(iFifoDescript=%d, errno=%d)\n", iFifoDescript, err);
        return -1;
    }
    syslog(LOG_DEBUG, "send ok(iFifoDescript=%d)\n", iFifoDescript);
    // The caller's bytes need no terminator: print no further than the given length.
    const int shown = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    syslog(LOG_DEBUG, "send data(%.*s)\n", shown, static_cast<const char *>(buffer));
    TraceEnd("ComFifoWrite()");
    return 0;
}

int ComFifoClose(ProcInfo *pProcInfo, int iFifoDescriptor) {
    TraceStart("ComFifoClose()");
    errno = 0;
    if (close(iFifoDescriptor) != 0) {
        const int err = errno;
        pProcInfo->iErrno = err;
        syslog(LOG_INFO, "FifoClose failed(iFifoDescriptor=%d, errno=%d)\n", iFifoDescriptor, err);
        return -1;
    }
    syslog(LOG_DEBUG, "FifoClose success(iFifoDescriptor=%d)\n", iFifoDescriptor);
    TraceEnd("ComFifoClose()");
    return 0;
}

int ComFIFOGetData(ProcInfo *pProcInfo, int *iMod_id, int *iCmd_id, void *data) {
    FifoMsg msg{};
    const int n = ComFifoRead(pProcInfo, pProcInfo->iSelectDes, &msg);
    if (n <= 0) return n;
    // Every writer puts a record into the pipe whole, with one write. Fewer bytes are a fragment:
    // read as a record, zero-padded, it could carry out a command nobody sent. It is dropped here,
    // for every module reading records, and the caller sees nothing to read.
    if (n < KIV_FIFO_MSG_SIZE) {
        syslog(LOG_INFO, "short record dropped(fifoDescript=%d, read-cnt=%dbyte)\n", pProcInfo->iSelectDes, n);
        return 0;
    }
    *iMod_id = GetId(msg.iMod_id);
    *iCmd_id = GetId(msg.iCmd_id);
    std::memcpy(data, msg.data, KIV_FIFO_DATA_SIZE);
    syslog(LOG_DEBUG, "ComFIFOGetData() mid = %d, cid = %d, rcv_data = %02x %02x %02x %02x %02x %02x %02x %02x",
           *iMod_id, *iCmd_id, msg.data[0], msg.data[1], msg.data[2], msg.data[3], msg.data[4], msg.data[5],
           msg.data[6], msg.data[7]);
    return n;
}

int ComFIFOPutData2(const char *fifo, int iMod_id, int iCmd_id, const void *data) {
    const FifoMsg msg = BuildRecord(iMod_id, iCmd_id, data);
    // One bound for the whole call: attempts after it has passed try once each without waiting.
    const int64_t deadline = NowMs() + KIV_FIFO_PUT_WAIT_MS;
    for (int attempt = 0; attempt < kPutAttempts; ++attempt) {
        if (!ProbeFifo(fifo)) continue;
        const int fd = OpenPipeWaiting(fifo, deadline);
        if (fd == -1) {
            LogWriteOpenError(fifo, errno);
            continue;
        }
        // One write of the whole record: a failed write (the reader gone, no room before the
        // deadline) is seen there, and the record is never reported delivered by a later flush.
        if (!WriteRecordWaiting(fd, msg, deadline)) {
            const int err = errno;
            close(fd);
            LogWriteError(fifo, err);
            continue;
        }
        close(fd);
        return 0;
    }
    return -1; // errno: the last attempt's failure, as its line gave it
}

int ComFIFOPutData3(const char *fifo, int iMod_id, int iCmd_id, const void *data) {
    TRACE_FUNC_START(LOG_DEBUG, "ComFIFOPutData3");
    const FifoMsg msg = BuildRecord(iMod_id, iCmd_id, data);
    int result = -1;
    int err = 0;
    for (int attempt = 0; attempt < kPutAttempts && result != 0; ++attempt) {
        if (!ProbeFifo(fifo)) {
            err = errno;
            continue;
        }
        switch (PutRecordNow(fifo, msg)) {
        case PutStep::kDone:
            result = 0;
            break;
        case PutStep::kOpen:
            err = errno;
            LogWriteOpenError(fifo, err);
            break;
        case PutStep::kWrite:
            err = errno;
            LogWriteError(fifo, err);
            break;
        }
    }
    TRACE_FUNC_END(LOG_DEBUG, "ComFIFOPutData3");
    if (result != 0) errno = err;
    return result;
}

} // extern "C"
