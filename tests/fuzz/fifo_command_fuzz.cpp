// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary bytes arrive on the monitor's command pipe and are served by the real
// FifoReadFunc (which reads them with ComFIFOGetData), under segments the input chooses.
//
// Input: byte 0     CONFIG tamper-check byte ('1' on, '0' off, anything else illegal)
//        bytes 1-4  OTHER pair kind, signed 32-bit big-endian
//        byte 5     bit 0: /dev/cr_tampsw is present
//        bytes 6-   what is written into /tmp/pipe/FifoTamp, with one write (at most 300 bytes);
//                   the handler is called once per 256 bytes, so a second, short record follows
//                   a whole one
//
// Besides crashes, hangs and undefined behaviour, every input checks what no bytes may bring about:
// a result or a record to the supervisor outside those the handler has, an answer to a short
// piece, a registration that does not match the setting, a leaked descriptor. Which command gets
// which answer is the end-to-end rows' business.
#include <algorithm>

#include "fuzz_unit.h"

namespace {

using namespace kivfuzz;

constexpr size_t kHeader = 6;
constexpr size_t kMaxRecordBytes = 300;

// What a call may send the supervisor, whatever the bytes: nothing, the setting reply, or a wake-up
// status 0 or 1; at most one record.
bool Allowed(const std::string &sts, const std::string &stsp) {
    const std::string pad(243, ' ');
    const bool reply = sts == "053621" + std::string(250, ' ');
    const bool awake = stsp == "0536000000312" + pad || stsp == "0536000010312" + pad;
    return (sts.empty() || reply) && (stsp.empty() || awake) && (sts.empty() || stsp.empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    auto &unit = FuzzUnit::Get();
    ProcInfo *p = unit.Proc();
    unit.Begin();

    const char check = static_cast<char>(data[0]);
    const int32_t pair = BigEndian32(data + 1);
    const bool device = (data[5] & 1) != 0;
    std::string_view bytes(reinterpret_cast<const char *>(data) + kHeader, std::min(size - kHeader, kMaxRecordBytes));

    Expect(unit.Segments().SetTamperCheck(check) && unit.Segments().SetPairKind(pair), "writing the segments");
    // A FIFO stands in for the device: it opens like the device, and refuses ioctl request 3.
    if (device)
        mkfifo(TAMP_DEVICE, 0600);
    else
        unlink(TAMP_DEVICE);

    // The start-up step that reads the pair kind and opens the device.
    InitProcSub(p);
    Expect(gstLocalInfo.uiTampErrCode == (pair == 1 ? 0x22U : 0x21U), "error code of the pair kind");
    Expect((p->iIoReadDes[0] != 0) == (check == '1' && device), "device opened at start-up");

    unit.WriteCommand(bytes);
    // One call reads at most one record; what is left is read by the next call, as by the next
    // pass of the dispatch loop.
    size_t offset = 0;
    while (offset < bytes.size()) {
        const std::string_view piece = bytes.substr(offset, 256);
        offset += 256;
        p->iSelectDes = p->iFifoReadDes;
        const int result = FifoReadFunc(p);

        // A piece shorter than a record changes nothing; a terminate (2) comes only from a whole one.
        const std::string sts = unit.Take("FifoSts");
        const std::string stsp = unit.Take("FifoStsp");
        Expect(result >= 0 && result <= 2 && (piece.size() == 256 || result == 0), "handler result",
               std::to_string(result) + " for " + Printable(piece));
        Expect(Allowed(sts, stsp), "records to the supervisor", Printable(sts + stsp) + " for " + Printable(piece));
        Expect(piece.size() == 256 || (sts.empty() && stsp.empty()), "a short piece answered", Printable(piece));
        Expect(unit.PeersEmpty(), "a command sent a record to a pipe it has no business with");

        // The registrations always match the setting: the open device first while the check is
        // on, then the command pipe.
        const int pipeSlot = check == '1' && p->iIoReadDes[0] != 0 ? 1 : 0;
        Expect(pipeSlot == 0 || (p->iaSelectDes[0] == p->iIoReadDes[0] && p->pSelectProc[0] == TampReadFunc),
               "device slot");
        Expect(p->iaSelectDes[pipeSlot] == p->iFifoReadDes && p->pSelectProc[pipeSlot] == FifoReadFunc,
               "command pipe slot");
        Expect(p->iaSelectDes[pipeSlot + 1] == 0, "stray registration");
        Expect(check != '0' || p->iIoReadDes[0] == 0, "device open while the check is off");
    }

    if (p->iIoReadDes[0] != 0) TampDrvCloseProc(p);
    unit.End();
    return 0;
}
