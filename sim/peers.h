// SPDX-License-Identifier: MIT
// Peer modules of the simulated unit: the supervisor (80) and the error-log (10), display (20) and
// file-transfer (11) readers. Each holds its own pipe under /tmp/pipe open read-write and keeps
// every record that arrives, with its arrival time, in a record store shared by the whole unit.
#ifndef KIVSIM_PEERS_H
#define KIVSIM_PEERS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kivsim {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Names of the unit's pipes (all under /tmp/pipe).
inline constexpr std::string_view kPipeDir = "/tmp/pipe";
inline constexpr std::string_view kFifoTamp = "FifoTamp";
inline constexpr std::string_view kFifoSts = "FifoSts";
inline constexpr std::string_view kFifoStsp = "FifoStsp";
inline constexpr std::string_view kFifoLog = "FifoLog";
inline constexpr std::string_view kFifoDisp = "FifoDisp";
inline constexpr std::string_view kFifoFtp = "FifoFtp";

// Module ids of the peers.
inline constexpr int kModSupervisor = 80;
inline constexpr int kModErrLog = 10;
inline constexpr int kModFtp = 11;
inline constexpr int kModDisplay = 20;
inline constexpr int kModMonitor = 53;

inline constexpr size_t kRecordSize = 256;
inline constexpr size_t kDataSize = 250;

std::string PipePath(std::string_view name);

// One read from a peer's pipe: normally one whole 256-byte record.
struct Received {
    std::string pipe;  // "FifoSts"
    std::string bytes; // exactly what the read returned
    Clock::time_point when;
    uint64_t seq = 0;  // arrival order over every pipe of the store

    // The raw fields, for matching and display; tests compare bytes, not these.
    std::string_view ModText() const;
    std::string_view CmdText() const;
    std::string_view Data() const;
    // True when the command field reads exactly "%03d" of cmd.
    bool IsCommand(int cmd) const;
};

using RecordPredicate = std::function<bool(const Received &)>;

// Every record received by the unit's peers, in arrival order.
class RecordStore {
public:
    void Add(std::string_view pipe, std::string bytes);
    std::vector<Received> All() const;
    std::vector<Received> On(std::string_view pipe) const;
    // Sequence number the next record will get: pass it as `since` to look only at later ones.
    uint64_t Mark() const;
    void Clear();

    // First record with seq >= since that matches, waiting up to timeout for it to arrive.
    std::optional<Received> Wait(const RecordPredicate &pred, Ms timeout, uint64_t since = 0) const;
    std::optional<Received> WaitRecord(std::string_view pipe, int cmd, Ms timeout, uint64_t since = 0) const;
    // Waits until n records on pipe (of cmd, or any command when cmd < 0) have arrived.
    bool WaitCount(std::string_view pipe, int cmd, size_t n, Ms timeout, uint64_t since = 0) const;
    size_t Count(std::string_view pipe, int cmd = -1, uint64_t since = 0) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Received> records_;
    uint64_t next_ = 0;
};

// The reading end of one peer's pipe, drained by a thread of its own.
class PipeReader {
public:
    PipeReader(std::string_view name, int module, RecordStore &store);
    ~PipeReader();
    PipeReader(const PipeReader &) = delete;
    PipeReader &operator=(const PipeReader &) = delete;

    // Creates the pipe if it is missing, opens it read-write and starts reading.
    bool Create();
    // Stops reading, so the pipe fills up; the pipe stays open, so writers are not refused.
    void Pause();
    // Reads again; false if the pipe is not open.
    bool Resume();
    bool Paused() const { return open_ && !thread_.joinable(); }
    // The peer disappeared: stop reading, close the pipe and remove it from /tmp/pipe.
    void Remove();
    // The peer came back: Create again.
    bool Recreate() { return Create(); }
    // Returns once every record written to the pipe before the call is in the store (no-op
    // while paused or removed).
    void Sync();
    // Bytes waiting in the pipe, not yet read.
    int Waiting() const;

    const std::string &Name() const { return name_; }
    std::string Path() const { return PipePath(name_); }
    int Module() const { return module_; }
    bool IsOpen() const { return open_; }

private:
    void Run();
    void ReadAvailable();
    void StartThread();
    void StopThread();

    std::string name_;
    int module_;
    RecordStore &store_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    bool open_ = false;
    std::thread thread_;
    std::mutex readMutex_; // one reader at a time, so records enter the store in pipe order
};

// The supervisor, module 80: owns FifoTamp (the monitor's command pipe) and reads FifoSts and
// FifoStsp.
class Supervisor {
public:
    explicit Supervisor(RecordStore &store);
    ~Supervisor();
    Supervisor(const Supervisor &) = delete;
    Supervisor &operator=(const Supervisor &) = delete;

    // Creates FifoTamp, FifoSts and FifoStsp, holds FifoTamp open for writing and starts reading
    // its own two pipes.
    bool Create();
    // Holding FifoTamp for writing is what lets the monitor's blocking open return.
    bool HoldCommandPipe();
    // Lets go of FifoTamp; false if it was not held.
    bool ReleaseCommandPipe();
    // Removes FifoTamp from /tmp/pipe (after releasing it); false if it was not there.
    bool RemoveCommandPipe();

    // A command record: "080", "%03d" of cmd, then a data area of spaces with data[0] raw.
    bool Send(int cmd, unsigned char data0);
    // Any module id and a full 250-byte data area (padded with spaces or cut).
    bool SendRecord(int mod, int cmd, std::string_view data);
    // Arbitrary bytes of any length, written as they are.
    bool SendRaw(std::string_view bytes);

    PipeReader &Sts() { return sts_; }
    PipeReader &Stsp() { return stsp_; }
    std::optional<Received> WaitRecord(std::string_view pipe, int cmd, Ms timeout, uint64_t since = 0) const;

private:
    RecordStore &store_;
    PipeReader sts_;
    PipeReader stsp_;
    int tampFd_ = -1;
};

// Builds a record as the unit's modules write it: "%03d" ids and a 250-byte data area.
std::string MakeRecord(int mod, int cmd, std::string_view data);
// A data area of 250 spaces with head placed at its start.
std::string SpaceData(std::string_view head = {});

// Order in which the kernel saw writes to the watched pipes. Consecutive writes to the same pipe
// may appear as one entry; writes to different pipes always appear in the order they happened,
// whatever order the reader threads took them in.
// Writes one record into a pipe again and again, as fast as its reader takes them, until stopped.
// Sixteen records a write (4 KiB, still one atomic write) keep the pipe full whatever the
// scheduler does. fd: a writing end, non-blocking.
class Flood {
public:
    Flood(int fd, std::string_view record);
    ~Flood() { Stop(); }
    Flood(const Flood &) = delete;
    Flood &operator=(const Flood &) = delete;
    // Returns the number of records written.
    long Stop();

private:
    int fd_;
    std::string batch_;
    std::atomic<bool> stop_{false};
    long sent_ = 0;
    std::thread thread_;
};

class WriteOrder {
public:
    WriteOrder();
    ~WriteOrder();
    WriteOrder(const WriteOrder &) = delete;
    WriteOrder &operator=(const WriteOrder &) = delete;

    // Starts watching a pipe (again, after it was recreated).
    bool Watch(std::string_view name);
    // Also notes the deletion of this file (by its last path component, "cardmaster.dat"), in the
    // same order as the writes.
    bool WatchRemoval(std::string_view path);
    // Pipe names in write order since the last Clear. A write is seen once the writer's call has
    // returned, so wait for as many entries as the test expects (or for none).
    std::vector<std::string> Names(size_t atLeast = 0, Ms timeout = Ms(2000));
    void Clear();

private:
    void Drain();
    int fd_ = -1;
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> watches_;
    std::vector<std::pair<int, std::string>> removals_; // directory watch, file name
    std::vector<std::string> names_;
};

} // namespace kivsim

#endif
