// SPDX-License-Identifier: MIT
// kivfloor: the least a tamper monitor has to do, as the yardstick the real kivtamp is measured
// against. It makes the same system calls on the same objects: one pselect wait on its command
// pipe and the switch device, a one-byte read, chdir and remove of the card master file, sync, and
// per record a probe open, an append open, one write and a close. No logging, no library, no
// context record; the records it sends are byte for byte those of the monitor.
//
// Usage: kivfloor DEVICE COMMAND-PIPE
// Sends the wake-up record (600) once the device is open; command 900 ends it, 901 is answered
// with 621.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr int kRecord = 256;
constexpr int kData = 250;

// "%03d" without printf.
void Put3(char *at, int v) {
    at[0] = static_cast<char>('0' + v / 100 % 10);
    at[1] = static_cast<char>('0' + v / 10 % 10);
    at[2] = static_cast<char>('0' + v % 10);
}

void Put2(char *at, int v) { at[0] = static_cast<char>('0' + v / 10 % 10), at[1] = static_cast<char>('0' + v % 10); }

// The record the monitor's sender builds: ids, then the data area.
void Build(char *rec, int cmd, const char *data) {
    Put3(rec, 53);
    Put3(rec + 3, cmd);
    std::memcpy(rec + 6, data, kData);
}

// Probe open and close, append open, one write, close: the sequence every record costs.
void Send(const char *path, int cmd, const char *data) {
    char rec[kRecord];
    Build(rec, cmd, data);
    int fd = open(path, O_RDONLY);
    if (fd >= 0) close(fd);
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (fd < 0) return;
    if (write(fd, rec, kRecord) < 0) {
        // The floor has no one to tell.
    }
    close(fd);
}

void Blank(char *data) { std::memset(data, ' ', kData); }

void Tamper() {
    if (chdir("/usr/local/zk/ap/conf") == 0) remove("cardmaster.dat");
    sync();

    char data[kData];
    Blank(data);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &tm);
    int year = tm.tm_year + 1900;
    Put2(data, year / 100);
    Put2(data + 2, year % 100);
    Put2(data + 4, tm.tm_mon + 1);
    Put2(data + 6, tm.tm_mday);
    Put2(data + 8, tm.tm_hour);
    Put2(data + 10, tm.tm_min);
    Put2(data + 12, tm.tm_sec);
    data[14] = 0x21;
    data[15] = 1;
    Send("/tmp/pipe/FifoLog", 54, data);

    Blank(data);
    std::memcpy(data, "0625 00000000", 13);
    Send("/tmp/pipe/FifoDisp", 151, data);

    Blank(data);
    data[0] = 5;
    data[1] = 1;
    Send("/tmp/pipe/FifoSts", 609, data);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kivfloor DEVICE COMMAND-PIPE\n");
        return 2;
    }
    int cmd = open(argv[2], O_RDONLY);
    int dev = open(argv[1], O_RDWR);
    if (cmd < 0 || dev < 0) {
        std::perror("kivfloor: open");
        return 1;
    }
    char pollTime = '2';
    ioctl(dev, 3, &pollTime);

    // Signals as the monitor has them: all blocked outside the wait.
    sigset_t all;
    sigset_t wait;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    wait = all;
    for (int s : {SIGUSR1, SIGKILL, SIGHUP, SIGINT, SIGSTOP, SIGTERM, SIGCHLD}) sigdelset(&wait, s);

    char data[kData];
    Blank(data);
    std::memcpy(data, "000", 3);
    Send("/tmp/pipe/FifoStsp", 600, data);

    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(cmd, &watched);
    FD_SET(dev, &watched);
    int nfds = (cmd > dev ? cmd : dev) + 1;
    for (;;) {
        fd_set ready = watched;
        if (pselect(nfds, &ready, nullptr, nullptr, nullptr, &wait) <= 0) continue;
        if (FD_ISSET(cmd, &ready)) {
            char rec[kRecord];
            if (read(cmd, rec, kRecord) < 6) continue;
            if (std::memcmp(rec + 3, "900", 3) == 0) return 0;
            if (std::memcmp(rec + 3, "901", 3) == 0) {
                Blank(data);
                Send("/tmp/pipe/FifoSts", 621, data);
            }
        }
        if (FD_ISSET(dev, &ready)) {
            unsigned char event = 0;
            if (read(dev, &event, 1) == 1 && event == 1) Tamper();
        }
    }
}
