// SPDX-License-Identifier: MIT
// Segment writer of the simulated unit: creates and fills the System V shared-memory segments the
// monitor reads, with the plain system calls (never with the library under test).
#ifndef KIVSIM_SEGMENTS_H
#define KIVSIM_SEGMENTS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kivsim {

inline constexpr const char *kShmKeyFile = "/usr/local/zk/ap/sys/shm-key";
inline constexpr char kProjConfig = 'c';
inline constexpr char kProjOther = 'o';
inline constexpr char kProjProcState = 'p';
inline constexpr size_t kConfigSize = 28376;
inline constexpr size_t kOtherSize = 228;
inline constexpr size_t kProcStateSize = 4;
inline constexpr size_t kTamperCheckOffset = 27646; // CONFIG: other.tamper_check[0]
inline constexpr size_t kPairKindOffset = 4;        // OTHER: DipSw.PareKind, big-endian

class SegmentWriter {
public:
    explicit SegmentWriter(std::string keyFile = kShmKeyFile);
    // Removes every segment it created.
    ~SegmentWriter();
    SegmentWriter(const SegmentWriter &) = delete;
    SegmentWriter &operator=(const SegmentWriter &) = delete;

    // shmget(ftok(key file, proj), size, IPC_CREAT | 0666); a new segment reads all zero.
    bool Create(char proj, size_t size);
    bool CreateConfig() { return Create(kProjConfig, kConfigSize); }
    bool CreateOther() { return Create(kProjOther, kOtherSize); }
    bool CreateProcState() { return Create(kProjProcState, kProcStateSize); }

    // Byte 27646 of CONFIG: '1' check enabled, '0' disabled, anything else illegal.
    bool SetTamperCheck(char value);
    // Signed 32-bit big-endian at byte 4 of OTHER, written byte by byte.
    bool SetPairKind(int32_t value);
    // The first int of PROCSTATE, in the unit's own byte order.
    bool SetProcState(int32_t value);

    bool Write(char proj, size_t offset, std::string_view bytes);
    std::string Read(char proj, size_t offset, size_t length);
    // Removes the segment (IPC_RMID), to test a unit where it is missing.
    bool Remove(char proj);
    bool Exists(char proj) const;
    key_t Key(char proj) const;

private:
    std::string keyFile_;
    std::map<char, int> ids_;
};

} // namespace kivsim

#endif
