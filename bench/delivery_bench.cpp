// SPDX-License-Identifier: MIT
// Record delivery and one dispatch pass, each against the same system calls made bare.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench.h"
#include "ipc/osfifo.h"
#include "os/osselect.h"

namespace kivbench {
namespace {

constexpr const char *kBenchPipe = "/tmp/pipe/FifoBench";

// A peer that keeps up: its own process, holding the pipe read-write and reading all it gets.
pid_t StartReader(const char *path) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(path, O_RDWR);
    if (fd < 0) _exit(1);
    std::array<char, 4096> buf;
    for (;;)
        if (read(fd, buf.data(), buf.size()) < 0) _exit(1);
}

void Build(char *rec, const unsigned char *data) {
    std::memcpy(rec, "053609", 6);
    std::memcpy(rec + 6, data, KIV_FIFO_DATA_SIZE);
}

// The calls a sound ComFIFOPutData2 cannot do without, bare: the probe and the open, neither
// waiting for the other end; the check that a pipe was opened; the write; the close.
int ProbeAppend(const unsigned char *data) {
    char rec[KIV_FIFO_MSG_SIZE];
    Build(rec, data);
    int fd = open(kBenchPipe, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    close(fd);
    fd = open(kBenchPipe, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(fd);
        return -1;
    }
    ssize_t n = write(fd, rec, sizeof rec);
    // A full pipe: wait for room, as the waiting send does.
    for (pollfd room{fd, POLLOUT, 0}; n < 0 && errno == EAGAIN && poll(&room, 1, 1000) > 0;)
        n = write(fd, rec, sizeof rec);
    close(fd);
    return n == static_cast<ssize_t>(sizeof rec) ? 0 : -1;
}

int OpenWriteClose(const unsigned char *data) {
    char rec[KIV_FIFO_MSG_SIZE];
    Build(rec, data);
    int fd = open(kBenchPipe, O_WRONLY);
    if (fd < 0) return -1;
    ssize_t n = write(fd, rec, sizeof rec);
    close(fd);
    return n == static_cast<ssize_t>(sizeof rec) ? 0 : -1;
}

int HeldWrite(int fd, const unsigned char *data) {
    char rec[KIV_FIFO_MSG_SIZE];
    Build(rec, data);
    return write(fd, rec, sizeof rec) == static_cast<ssize_t>(sizeof rec) ? 0 : -1;
}

// --- one dispatch pass --------------------------------------------------------------------------

// Two pipes: slot 0 never ready, slot 1 made ready by one byte before each pass.
struct DispatchRig {
    int idle[2] = {-1, -1};
    int ready[2] = {-1, -1};
    ProcInfo *info = nullptr;
    sigset_t waitMask;
};

DispatchRig *gRig = nullptr;
Samples *gLibrary = nullptr;
Samples *gBare = nullptr;

int NeverCalled(ProcInfo *) { return 0; }

int ReadOne(ProcInfo *pProcInfo) {
    char c;
    return read(pProcInfo->iSelectDes, &c, 1) == 1 ? 0 : -1;
}

void BM_ComSelectPass(benchmark::State &state) {
    const char byte = 1;
    for (auto _ : state) {
        auto t0 = Clock::now();
        (void)!write(gRig->ready[1], &byte, 1);
        int r = ComSelect(gRig->info);
        gLibrary->Add(Micros(Clock::now() - t0));
        if (r != 0) state.SkipWithError("ComSelect did not return 0");
    }
}

void BM_BarePselectPass(benchmark::State &state) {
    const char byte = 1;
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(gRig->idle[0], &watched);
    FD_SET(gRig->ready[0], &watched);
    const int fds[2] = {gRig->idle[0], gRig->ready[0]};
    const int nfds = std::max(fds[0], fds[1]) + 1;
    for (auto _ : state) {
        auto t0 = Clock::now();
        (void)!write(gRig->ready[1], &byte, 1);
        fd_set ready = watched;
        int n = pselect(nfds, &ready, nullptr, nullptr, nullptr, &gRig->waitMask);
        for (int fd : fds) {
            char c;
            if (n > 0 && FD_ISSET(fd, &ready)) (void)!read(fd, &c, 1);
        }
        gBare->Add(Micros(Clock::now() - t0));
    }
}

} // namespace

bool RunDelivery(const Options &opt, std::vector<Figure> &figures) {
    if (mkfifo(kBenchPipe, 0666) != 0 && errno != EEXIST) return false;
    pid_t reader = StartReader(kBenchPipe);
    if (reader < 0) return false;
    int held = open(kBenchPipe, O_WRONLY);
    std::array<unsigned char, KIV_FIFO_DATA_SIZE> data;
    data.fill(' ');
    data[0] = 5;
    data[1] = 1;

    Figure put{"record_delivery", 6};
    Figure owc{"record_delivery_open_write_close", 6, "context"};
    Figure hold{"record_delivery_held_descriptor", 6, "context"};
    bool ok = held >= 0;
    // Variants in turn, record by record, in a fresh order each round so that none always follows
    // the same other one; the bare sequence is the floor of all three.
    std::mt19937 rng(53);
    std::array<int, 4> order{0, 1, 2, 3};
    for (int i = -200; ok && i < opt.records; ++i) {
        std::shuffle(order.begin(), order.end(), rng);
        for (int k = 0; k < 4 && ok; ++k) {
            int variant = order[static_cast<size_t>(k)];
            auto t0 = Clock::now();
            int r = variant == 0   ? ComFIFOPutData2(kBenchPipe, 53, 609, data.data())
                    : variant == 1 ? ProbeAppend(data.data())
                    : variant == 2 ? OpenWriteClose(data.data())
                                   : HeldWrite(held, data.data());
            double us = Micros(Clock::now() - t0);
            ok = r == 0;
            if (i < 0) continue;
            switch (variant) {
            case 0: put.monitor.Add(us); break;
            case 1:
                put.floor.Add(us);
                owc.floor.Add(us);
                hold.floor.Add(us);
                break;
            case 2: owc.monitor.Add(us); break;
            default: hold.monitor.Add(us); break;
            }
        }
    }
    if (held >= 0) close(held);
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    unlink(kBenchPipe);
    if (!ok) {
        std::fprintf(stderr, "kivbench: a record was not delivered\n");
        return false;
    }
    figures.push_back(std::move(put));
    figures.push_back(std::move(owc));
    figures.push_back(std::move(hold));
    return true;
}

bool RunDispatch(std::vector<Figure> &figures) {
    DispatchRig rig;
    if (pipe(rig.idle) != 0 || pipe(rig.ready) != 0) return false;
    rig.info = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    if (rig.info == nullptr) return false;
    sigset_t saved;
    sigprocmask(SIG_SETMASK, nullptr, &saved);
    ComSelectFdzero(rig.info);
    rig.info->iaSelectDes[0] = rig.idle[0];
    rig.info->pSelectProc[0] = NeverCalled;
    rig.info->iaSelectDes[1] = rig.ready[0];
    rig.info->pSelectProc[1] = ReadOne;
    ComSelectInit(rig.info);
    // The bare loop waits with the same mask as the library.
    sigfillset(&rig.waitMask);
    for (int s : {SIGUSR1, SIGKILL, SIGHUP, SIGINT, SIGSTOP, SIGTERM, SIGCHLD}) sigdelset(&rig.waitMask, s);

    Figure pass{"dispatch_pass", 6};
    gRig = &rig;
    gLibrary = &pass.monitor;
    gBare = &pass.floor;
    pass.monitor.us.reserve(1 << 20);
    pass.floor.us.reserve(1 << 20);
    benchmark::RegisterBenchmark("ComSelect pass, 2 registered, 1 ready", BM_ComSelectPass);
    benchmark::RegisterBenchmark("bare pselect pass, 2 watched, 1 ready", BM_BarePselectPass);
    // Repetitions in random order interleave the two in one run.
    std::array<std::string, 5> args{"kivbench", "--benchmark_repetitions=20", "--benchmark_min_time=0.05",
                                    "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_report_aggregates_only=true"};
    std::array<char *, 6> argv{args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(),
                               nullptr};
    int argc = 5;
    benchmark::Initialize(&argc, argv.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    sigprocmask(SIG_SETMASK, &saved, nullptr);
    for (int fd : {rig.idle[0], rig.idle[1], rig.ready[0], rig.ready[1]}) close(fd);
    std::free(rig.info);
    if (pass.monitor.Size() < 1000 || pass.floor.Size() < 1000) return false;
    figures.push_back(std::move(pass));
    return true;
}

} // namespace kivbench
