// SPDX-License-Identifier: MIT
// Fuzz target: the tamper device's read path, the real TampReadFunc, over a run of device reads
// the input chooses. Pipes stand in for the device: the handler does one read(2) of one byte on
// the descriptor it is given, and a pipe yields every outcome of that read.
//
// Input: bytes 0-3  OTHER pair kind, signed 32-bit big-endian (chooses the error code)
//        byte 4     bit 0: the card master file exists at the start
//        then up to 32 steps of two bytes (op, value); op % 4:
//          0  the device yields the event byte `value` (read count 1)
//          1  the device reports end of file (read count 0)
//          2  the read fails: `value` even, nothing waiting on a non-blocking device (EAGAIN);
//             odd, a descriptor that cannot be read (EISDIR)
//          3  the card master file is created (again)
//
// Every step checks: the handler returns 0; event byte 1 deletes the card master file and sends
// exactly one record each to FifoLog, FifoDisp and FifoSts, byte for byte; anything else sends
// nothing and leaves the file alone; the file is gone before the file systems are flushed, and
// nothing is sent before that.
#include <poll.h>

#include <algorithm>

#include "fuzz_unit.h"

namespace {

using namespace kivfuzz;

constexpr size_t kHeader = 5;
constexpr size_t kMaxSteps = 32;

int gSyncs = 0;

bool CardMasterExists() { return access(CARD_MASTER_FILE, F_OK) == 0; }

void CreateCardMaster() {
    int fd = open(CARD_MASTER_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Expect(fd >= 0, "creating the card master file", std::strerror(errno));
    Expect(write(fd, "card master", 11) == 11, "writing the card master file");
    close(fd);
}

// The descriptors standing in for the device, made once: a byte written to events[1] is read by
// the handler; eof is the read end of a pipe without a writer; empty a non-blocking read end with
// nothing ever written; dir a directory (read fails with EISDIR).
struct Device {
    int events[2] = {-1, -1};
    int eof[2] = {-1, -1};
    int empty[2] = {-1, -1};
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Device() {
        Expect(pipe2(events, O_CLOEXEC) == 0 && pipe2(eof, O_CLOEXEC) == 0 &&
                   pipe2(empty, O_CLOEXEC | O_NONBLOCK) == 0 && close(eof[1]) == 0 && dir >= 0,
               "making the device pipes", std::strerror(errno));
    }
};

} // namespace

// The response flushes the file systems. Run thousands of times a second that would measure the
// host's disks and slow every other process on the machine, so the target counts the flushes
// instead and checks what must hold when one runs: the card master file is gone and no record
// has been sent yet.
extern "C" void sync() noexcept {
    Expect(!CardMasterExists(), "the card master file still exists when the file systems are flushed");
    Expect(FuzzUnit::Get().PeersEmpty(), "a record was sent before the deletion was flushed");
    ++gSyncs;
}

// After a failed read that follows another the handler pauses for the command pipe; here the
// pause would only slow the run, so it returns at once.
extern "C" int poll(pollfd * /*fds*/, nfds_t /*count*/, int /*timeout*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    auto &unit = FuzzUnit::Get();
    static Device dev;
    ProcInfo *p = unit.Proc();
    unit.Begin();

    const int32_t pair = BigEndian32(data);
    Expect(unit.Segments().SetPairKind(pair), "writing the pair kind");
    InitProcSub(p); // the tamper check stays off: the device below is the target's own
    const unsigned char code = pair == 1 ? 0x22 : 0x21;
    if ((data[4] & 1) != 0)
        CreateCardMaster();
    else
        unlink(CARD_MASTER_FILE);

    // A device failing for a second is closed by the handler: every input starts after a good
    // read, so a run of failures is the input's own and lasts far less.
    Expect(write(dev.events[1], "", 1) == 1, "writing the event byte");
    p->iIoReadDes[0] = p->iSelectDes = dev.events[0];
    Expect(TampReadFunc(p) == 0, "handler result");
    p->iIoReadDes[0] = 0;

    const size_t steps = std::min((size - kHeader) / 2, kMaxSteps);
    for (size_t i = 0; i < steps; ++i) {
        const unsigned op = data[kHeader + 2 * i] % 4U;
        const unsigned char value = data[kHeader + 2 * i + 1];
        if (op == 3) {
            CreateCardMaster();
            continue;
        }
        int fd = dev.events[0];
        if (op == 0)
            Expect(write(dev.events[1], &value, 1) == 1, "writing the event byte");
        else if (op == 1)
            fd = dev.eof[0];
        else
            fd = (value % 2 == 0) ? dev.empty[0] : dev.dir;

        const bool present = CardMasterExists();
        const int syncs = gSyncs;
        p->iIoReadDes[0] = fd;
        p->iSelectDes = fd;
        const int result = TampReadFunc(p);
        p->iIoReadDes[0] = 0;
        Expect(result == 0, "handler result", std::to_string(result));

        const std::string log = unit.Take("FifoLog");
        const std::string disp = unit.Take("FifoDisp");
        const std::string sts = unit.Take("FifoSts");
        Expect(unit.PeersEmpty(), "a record on FifoStsp or FifoFtp");
        if (op == 0 && value == 1) {
            Expect(!CardMasterExists(), "the card master file survived a tamper event");
            Expect(gSyncs == syncs + 1, "file systems flushed once per tamper event");
            // Date and time digits, then the code and kind bytes.
            Expect(log.size() == 256 && log.find_first_not_of("0123456789", 6) == 20 &&
                       log == "053054" + log.substr(6, 14) + std::string{static_cast<char>(code), '\x01'} +
                                  std::string(234, ' '),
                   "error-log record", Printable(log));
            Expect(disp == "0531510625 00000000" + std::string(237, ' '), "display record", Printable(disp));
            Expect(sts == "053609\x05\x01" + std::string(248, ' '), "error status record", Printable(sts));
        } else {
            Expect(log.empty() && disp.empty() && sts.empty(), "records sent without a tamper event",
                   Printable(log) + Printable(disp) + Printable(sts));
            Expect(CardMasterExists() == present && gSyncs == syncs, "the card master file touched without an event");
        }
    }

    int unread = 0;
    Expect(ioctl(dev.events[0], FIONREAD, &unread) == 0 && unread == 0, "an event byte left unread");
    unit.End();
    return 0;
}
