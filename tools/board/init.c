// SPDX-License-Identifier: MIT
/*
 * The board image's first process: mounts what the unit has, sets the clock from the kernel
 * command line (kivtime=SECONDS), runs each test program named in /board/tests in a private copy
 * of the unit's fixed paths, and powers the board off. Their output and the verdict go to the
 * second serial port (/dev/ttyS1), which the lane reads; the console keeps the kernel's messages.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define PROGRAM_SECONDS 300

static FILE *out;

static void must(int ok, const char *what) {
    if (!ok) fprintf(out, "board: %s failed: %s\n", what, strerror(errno));
}

/* A fresh /tmp and /usr/local/zk with the unit's directories and key file, a fresh IPC space. */
static int private_unit(void) {
    static const char *const dirs[] = {"/tmp/pipe", "/usr/local/zk/ap/conf", "/usr/local/zk/ap/sys",
                                       "/usr/local/zk/var/log"};
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC) || mount("none", "/", NULL, MS_REC | MS_PRIVATE, NULL) ||
        mount("tmp", "/tmp", "tmpfs", 0, "mode=1777") || mount("zk", "/usr/local/zk", "tmpfs", 0, NULL))
        return -1;
    for (size_t i = 0; i < sizeof dirs / sizeof *dirs; i++) {
        char path[64];
        for (char *p = strcpy(path, dirs[i]) + 1; (p = strchr(p, '/')); *p++ = '/') {
            *p = '\0';
            mkdir(path, 0755);
        }
        if (mkdir(path, 0755) && errno != EEXIST) return -1;
    }
    return close(open("/usr/local/zk/ap/sys/shm-key", O_CREAT | O_WRONLY, 0644));
}

static int run(char *line) {
    char *argv[16];
    int argc = 0;
    for (char *w = strtok(line, " \n"); w && argc < 15; w = strtok(NULL, " \n")) argv[argc++] = w;
    argv[argc] = NULL;
    if (!argc) return 0;
    fprintf(out, "board: run %s\n", argv[0]);
    fflush(out);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(out), 2);
        if (private_unit()) {
            perror("board: private unit");
            _exit(125);
        }
        /* The board itself is the private unit the test programs expect to run in. */
        setenv("KIV_SANDBOX", "board", 1);
        setenv("PATH", "/usr/local/bin:/board/bin", 1);
        setenv("GTEST_COLOR", "no", 1);
        alarm(PROGRAM_SECONDS);
        execv(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(out, "board: exit %d %s\n", code, argv[0]);
    return code;
}

int main(void) {
    mount("proc", "/proc", "proc", 0, NULL);
    mount("sys", "/sys", "sysfs", 0, NULL);
    mount("dev", "/dev", "devtmpfs", 0, NULL);
    mount("debug", "/sys/kernel/debug", "debugfs", 0, NULL);
    out = fopen("/dev/ttyS1", "w");
    if (!out) out = stdout;
    setvbuf(out, NULL, _IOLBF, 0);

    const char *now = getenv("kivtime");
    struct timespec ts = {.tv_sec = now ? atol(now) : 0};
    must(!now || clock_settime(CLOCK_REALTIME, &ts) == 0, "setting the clock");
    /* The monitor is started by the tests, never from here; children that outlive them are reaped. */
    signal(SIGCHLD, SIG_DFL);

    int failed = 0;
    FILE *list = fopen("/board/tests", "r");
    must(list != NULL, "/board/tests");
    char line[256];
    while (list && fgets(line, sizeof line, list)) failed += run(line) != 0;
    fprintf(out, "board: done, %d program(s) failed\n", failed);
    fflush(out);
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
