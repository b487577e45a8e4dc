/* SPDX-License-Identifier: MIT */
/* libkivioctlbridge: preloaded into a target kivtamp that runs under user-mode emulation (qemu-ppc
 * -E LD_PRELOAD=...), for the tests only.
 *
 * The emulator passes on only the ioctl requests whose argument layout it knows and answers ENOSYS
 * to the others, so the tamper switch's request 3 never reaches the stand-in. This library takes
 * request 3 on the stand-in's cr_tampsw (wherever it is bound, e.g. /dev/cr_tampsw) and passes it
 * through the stand-in's ioctl file: the request as the driver receives it and the byte its
 * argument points to. The stand-in counts it, records it and fails it as it does a real ioctl, and
 * its answer comes back as the ioctl's result and errno. Every other call goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define SWITCH_REQUEST 3UL

typedef int (*IoctlFn)(int, unsigned long, ...);

/* Whether the mountinfo line is the whole-file-system mount of dev; its mount point into dir. */
static int IsMountOf(const char *line, dev_t dev, char *dir) {
    unsigned major = 0, minor = 0;
    char root[PATH_MAX];
    if (sscanf(line, "%*d %*d %u:%u %4095s %4095s", &major, &minor, root, dir) != 4) return 0;
    return makedev(major, minor) == dev && strcmp(root, "/") == 0;
}

/* The directory the file system of dev is mounted on, from this process's mount table. */
static int MountPoint(dev_t dev, char *dir) {
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[8192];
    size_t have = 0;
    int found = 0;
    ssize_t n;
    while (!found && (n = read(fd, buf + have, sizeof buf - 1 - have)) > 0) {
        have += (size_t)n;
        buf[have] = '\0';
        char *line = buf;
        char *end;
        while (!found && (end = strchr(line, '\n')) != NULL) {
            *end = '\0';
            found = IsMountOf(line, dev, dir);
            line = end + 1;
        }
        have = (size_t)(buf + have - line);
        memmove(buf, line, have);
        if (have == sizeof buf - 1) break; /* a line longer than any mount table holds */
    }
    close(fd);
    return found;
}

/* The stand-in's ioctl file when fd is its cr_tampsw; 0 when fd is anything else. */
static int ControlFile(int fd, char *path, size_t size) {
    struct stat held, device;
    char dir[PATH_MAX];
    if (fstat(fd, &held) != 0 || !MountPoint(held.st_dev, dir)) return 0;
    if (snprintf(path, size, "%s/cr_tampsw", dir) >= (int)size) return 0;
    if (stat(path, &device) != 0 || device.st_dev != held.st_dev || device.st_ino != held.st_ino) return 0;
    return snprintf(path, size, "%s/ioctl", dir) < (int)size;
}

/* Request 3 as the stand-in answers it: 0, or -1 with errno set. */
static int PassOn(const char *path, unsigned long request, const void *arg) {
    if (arg == NULL) {
        errno = EFAULT; /* what the driver's copy from the caller would meet */
        return -1;
    }
    char text[32];
    int len = snprintf(text, sizeof text, "%lu %u", request, *(const unsigned char *)arg);
    int cfd = open(path, O_WRONLY | O_CLOEXEC);
    if (cfd < 0) return -1;
    ssize_t n = write(cfd, text, (size_t)len);
    int err = errno;
    close(cfd);
    if (n != len) {
        errno = n < 0 ? err : EIO;
        return -1;
    }
    return 0;
}

static int Bridge(const char *name, IoctlFn *next, int fd, unsigned long request, void *arg) {
    if (request == SWITCH_REQUEST) {
        char path[PATH_MAX];
        int saved = errno;
        if (ControlFile(fd, path, sizeof path)) {
            if (PassOn(path, request, arg) != 0) return -1;
            errno = saved; /* a request that succeeds leaves errno as it was */
            return 0;
        }
        errno = saved; /* the look-up's failures are not the call's */
    }
    if (*next == NULL) {
        void *sym = dlsym(RTLD_NEXT, name);
        memcpy(next, &sym, sizeof sym); /* ISO C has no cast from object to function pointer */
    }
    if (*next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return (*next)(fd, request, arg);
}

/* Both entries: a 32-bit target built with 64-bit time calls __ioctl_time64, others ioctl. */
int ioctl(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...);

int ioctl(int fd, unsigned long request, ...) {
    static IoctlFn next;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Bridge("ioctl", &next, fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    static IoctlFn next;
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return Bridge("__ioctl_time64", &next, fd, request, arg);
}
