// SPDX-License-Identifier: MIT
// Descriptor and clock helpers of the library and the monitor (internal; not installed).
#ifndef KIV_SYSUTIL_H
#define KIV_SYSUTIL_H

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <time.h>
#include <unistd.h>

// A module started with a standard descriptor closed would get 0, 1 or 2 for a pipe or a device,
// and 0 means "none" in the context record (the dispatch table ends at the first 0). Such a
// descriptor is moved above 2, close-on-exec, and the low one closed; -1 passes through with errno.
inline int AboveStdFd(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(fd);
    errno = err;
    return moved;
}

// Milliseconds of the monotonic clock: bounds and rate limits must not follow a change of the
// unit's wall clock.
inline int64_t NowMs() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

#endif
