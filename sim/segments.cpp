/* SPDX-License-Identifier: MIT */
#include "segments.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kivsim {

SegmentWriter::SegmentWriter(std::string keyFile) : keyFile_(std::move(keyFile)) {}

SegmentWriter::~SegmentWriter() {
    for (const auto &[proj, id] : ids_) shmctl(id, IPC_RMID, nullptr);
}

key_t SegmentWriter::Key(char proj) const { return ftok(keyFile_.c_str(), proj); }

bool SegmentWriter::Create(char proj, size_t size) {
    // The key is derived from the key file's inode: it must exist first.
    int fd = open(keyFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    close(fd);
    key_t key = Key(proj);
    if (key == -1) return false;
    int id = shmget(key, size, IPC_CREAT | 0666);
    if (id < 0) return false;
    ids_[proj] = id;
    return true;
}

bool SegmentWriter::Write(char proj, size_t offset, std::string_view bytes) {
    auto it = ids_.find(proj);
    if (it == ids_.end()) {
        errno = ENOENT;
        return false;
    }
    shmid_ds ds{};
    if (shmctl(it->second, IPC_STAT, &ds) != 0) return false;
    if (offset + bytes.size() > ds.shm_segsz) {
        errno = ERANGE;
        return false;
    }
    void *p = shmat(it->second, nullptr, 0);
    if (p == reinterpret_cast<void *>(-1)) return false;
    // Byte by byte, so the layout in the segment is exactly the bytes given, on any host.
    auto *dst = static_cast<volatile unsigned char *>(p) + offset;
    for (size_t i = 0; i < bytes.size(); ++i) dst[i] = static_cast<unsigned char>(bytes[i]);
    shmdt(p);
    return true;
}

std::string SegmentWriter::Read(char proj, size_t offset, size_t length) {
    auto it = ids_.find(proj);
    if (it == ids_.end()) return {};
    void *p = shmat(it->second, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void *>(-1)) return {};
    std::string out(static_cast<const char *>(p) + offset, length);
    shmdt(p);
    return out;
}

bool SegmentWriter::SetTamperCheck(char value) { return Write(kProjConfig, kTamperCheckOffset, std::string(1, value)); }

bool SegmentWriter::SetPairKind(int32_t value) {
    auto v = static_cast<uint32_t>(value);
    char be[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                  static_cast<char>(v)};
    return Write(kProjOther, kPairKindOffset, std::string_view(be, 4));
}

bool SegmentWriter::SetProcState(int32_t value) {
    char raw[4];
    std::memcpy(raw, &value, 4);
    return Write(kProjProcState, 0, std::string_view(raw, 4));
}

bool SegmentWriter::Remove(char proj) {
    auto it = ids_.find(proj);
    if (it == ids_.end()) {
        // Not ours, but it may exist all the same: look it up by key.
        int id = shmget(Key(proj), 0, 0);
        return id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0;
    }
    int rc = shmctl(it->second, IPC_RMID, nullptr);
    ids_.erase(it);
    return rc == 0;
}

bool SegmentWriter::Exists(char proj) const { return shmget(Key(proj), 0, 0) >= 0; }

} // namespace kivsim
