/* libkivsyncmark: preloaded into the monitor by the end-to-end tests, for the tests only.
 *
 * A flush of the file systems leaves no trace a peer could see, yet the tamper response must make
 * it after the card master file is gone and before the first alarm is written. This sync() makes
 * and removes the file SYNC_MARK first, so that its removal takes its place among the deletion and
 * the writes that the tests watch; then it flushes as the C library's does. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#define SYNC_MARK "/usr/local/zk/ap/conf/synced"

void sync(void) {
    const int saved = errno;
    const int fd = open(SYNC_MARK, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        close(fd);
        unlink(SYNC_MARK);
    }
    syscall(SYS_sync);
    errno = saved;
}
