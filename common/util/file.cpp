// SPDX-License-Identifier: MIT
// File helpers over the POSIX file calls, and the action log built on them.
// Offsets and lengths are 32-bit in the helpers' contract while the library itself uses 64-bit
// off_t, so every length or position handed back is checked to fit rather than cut.
#include "util/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "internal/sysutil.h"
#include "util/date.h"
#include "util/debug.h"

static int file_error = 0;
// Working copy of the path that DeleteFile splits into directory and name.
static char file_path[128];
// One action record and its terminator.
static char log_buf[256];
static constexpr char line_feed[4] = {'\r', '\n', '\0', '\0'};

static constexpr mode_t kModeAll = 0666;
static constexpr off_t kMaxOffset = std::numeric_limits<int32_t>::max();

static bool TakesLock(int flags) {
    int mode = flags & O_ACCMODE;
    return mode == O_WRONLY || mode == O_RDWR;
}

int CreateFile(const char *path, int flags, int32_t size, int *pFd) {
    if (pFd == nullptr) {
        // Without a place to hand the descriptor back the file would be created and leaked.
        file_error = EFAULT;
        return 2;
    }
    umask(0);
    errno = 0;
    int fd = AboveStdFd(open(path, flags | O_CREAT | O_EXCL | O_CLOEXEC, kModeAll));
    if (fd < 0) {
        file_error = errno;
        return errno == EEXIST ? 1 : 2;
    }
    if (TakesLock(flags)) {
        errno = 0;
        if (flock(fd, LOCK_EX) != 0) {
            CloseFile(fd);
            DeleteFile(path);
            return 2;
        }
    }
    if (size != 0 && SetFileSize(fd, size) != 0) {
        CloseFile(fd);
        DeleteFile(path);
        return 2;
    }
    *pFd = fd;
    return 0;
}

int OpenFile(const char *path, int flags, int *pFd) {
    if (pFd == nullptr) {
        file_error = EFAULT;
        return 1;
    }
    errno = 0;
    // Files are made by CreateFile; the mode only keeps a stray O_CREAT from reading garbage.
    int fd = AboveStdFd(open(path, flags | O_CLOEXEC, kModeAll));
    if (fd < 0) {
        file_error = errno;
        return 1;
    }
    if (TakesLock(flags)) {
        errno = 0;
        if (flock(fd, LOCK_EX) != 0) {
            CloseFile(fd);
            return 1;
        }
    }
    *pFd = fd;
    return 0;
}

int CloseFile(int fd) {
    errno = 0;
    return close(fd);
}

int SetFileSize(int fd, int32_t length) {
    errno = 0;
    int rc = ftruncate(fd, length);
    if (rc != 0) {
        file_error = rc;
        return 1;
    }
    return 0;
}

int GetFileLength(int fd, int32_t *pLength) {
    struct stat st {};
    errno = 0;
    int rc = fstat(fd, &st);
    if (rc != 0) {
        file_error = rc;
        return 1;
    }
    if (st.st_size > kMaxOffset) {
        file_error = EOVERFLOW;
        return 1;
    }
    if (pLength == nullptr) {
        file_error = EFAULT;
        return 1;
    }
    *pLength = static_cast<int32_t>(st.st_size);
    return 0;
}

int IsFileExist(const char *path) {
    errno = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    // A standard descriptor closed by the process can be handed out again: the file is there
    // all the same, and the descriptor must not be left open.
    close(fd);
    return 1;
}

int RenameFile(const char *oldPath, const char *newPath) {
    errno = 0;
    int fd = open(oldPath, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    errno = 0;
    if (rename(oldPath, newPath) != 0) {
        file_error = errno;
        CloseFile(fd);
        return -1;
    }
    CloseFile(fd);
    return 0;
}

int DeleteFile(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        file_error = -1;
        return -1;
    }
    size_t len = strnlen(path, sizeof file_path);
    if (len >= sizeof file_path) {
        // A longer path would not fit the working copy; cutting it could remove another file.
        errno = ENAMETOOLONG;
        file_error = -1;
        return -1;
    }
    memcpy(file_path, path, len + 1);

    const char *name = file_path;
    char *slash = strrchr(file_path, '/');
    if (slash != nullptr) {
        *slash = '\0';
        name = slash + 1;
        // A name directly under the root leaves an empty directory part: that directory is "/".
        const char *dir = slash == file_path ? "/" : file_path;
        errno = 0;
        int rc = chdir(dir);
        if (rc != 0) {
            if (errno == ENOENT) return 0;
            file_error = rc;
            return -1;
        }
    }
    errno = 0;
    int rc = remove(name);
    if (rc != 0 && errno != ENOENT) {
        file_error = rc;
        return -1;
    }
    return 0;
}

int SeekFile(int fd, int32_t offset) {
    errno = 0;
    if (lseek(fd, offset, SEEK_SET) < 0) {
        file_error = errno;
        return 1;
    }
    return 0;
}

int GetFilePos(int fd, int32_t *pOffset) {
    errno = 0;
    off_t pos = lseek(fd, 0, SEEK_CUR);
    if (pos < 0) {
        file_error = errno;
        return -1;
    }
    if (pos > kMaxOffset) {
        file_error = EOVERFLOW;
        return -1;
    }
    if (pOffset == nullptr) {
        file_error = EFAULT;
        return -1;
    }
    *pOffset = static_cast<int32_t>(pos);
    return 0;
}

int WriteFile(int fd, const void *data, uint32_t count) {
    errno = 0;
    ssize_t n = write(fd, data, count);
    if (n < 0) {
        file_error = errno;
        return 1;
    }
    return static_cast<size_t>(n) < count ? 1 : 0;
}

int ReadFile(int fd, void *buffer, uint32_t count, uint32_t *pRead) {
    if (pRead == nullptr) {
        // The bytes would be consumed with no way to tell the caller how many.
        file_error = EFAULT;
        return 1;
    }
    errno = 0;
    ssize_t n = read(fd, buffer, count);
    if (n < 0) {
        file_error = errno;
        return 1;
    }
    *pRead = static_cast<uint32_t>(n);
    return 0;
}

int GetFileError(void) { return file_error; }

void WriteActLog(uint32_t code, const char *text) {
    if ((GetDebugFlag() & KIV_DEBUG_FLAG_ACTLOG) == 0) return;

    int fd = -1;
    // Waits for any other writer: it holds the lock until its record is complete.
    if (OpenFile(KIV_ACT_LOG_FILE, O_WRONLY, &fd) != 0) return;

    int32_t length = 0;
    if (GetFileLength(fd, &length) != 0) {
        // A log too long for a 32-bit position is left alone rather than written over from
        // its start.
        if (GetFileError() == EOVERFLOW) {
            CloseFile(fd);
            return;
        }
        length = 0;
    }
    SeekFile(fd, length);

    // Room for the text: the record is cut so that the line end and terminator always fit.
    constexpr size_t kBodyMax = sizeof log_buf - 3;
    int head = snprintf(log_buf, sizeof log_buf, "%s [%03u]", GetDebugTimeStr(), static_cast<unsigned>(code));
    size_t used = head > 0 ? static_cast<size_t>(head) : 0;
    if (used > kBodyMax) used = kBodyMax;
    if (text != nullptr && used < kBodyMax) {
        log_buf[used++] = ' ';
        size_t n = strnlen(text, kBodyMax - used);
        memcpy(log_buf + used, text, n);
        used += n;
    }
    memcpy(log_buf + used, line_feed, sizeof line_feed - 1);
    used += 2;

    WriteFile(fd, log_buf, static_cast<uint32_t>(used));
    CloseFile(fd);
}
