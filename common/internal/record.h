// SPDX-License-Identifier: MIT
// Building a pipe record and handing it to a pipe without waiting: shared by the library's senders,
// the notifications and the monitor (internal; not installed for other modules).
#ifndef KIV_RECORD_H
#define KIV_RECORD_H

#include <sys/types.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "ipc/osfifo.h"

// Every pipe of the unit is made with read and write for everyone, under the process's umask.
constexpr mode_t kFifoMode = 0777;

// Every sender starts from 250 spaces and places its fields at fixed byte positions.
using DataArea = std::array<unsigned char, KIV_FIFO_DATA_SIZE>;

inline DataArea SpaceFilled() {
    DataArea data;
    data.fill(' ');
    return data;
}

// Puts the "%03d" text of value in a three-character field. A value that needs more characters
// keeps its first three, as a record built in place would after the next field overwrites it.
inline void PutId(void *field, int value) {
    auto *out = static_cast<char *>(field);
    // Every id the unit uses fits: three digits without a trip through snprintf.
    if (value >= 0 && value <= 999) {
        out[0] = static_cast<char>('0' + value / 100);
        out[1] = static_cast<char>('0' + value / 10 % 10);
        out[2] = static_cast<char>('0' + value % 10);
        return;
    }
    std::array<char, 16> text{};
    (void)std::snprintf(text.data(), text.size(), "%03d", value);
    std::memcpy(out, text.data(), 3);
}

// The record of the two ids ("%03d" each) and 250 data bytes.
FifoMsg BuildRecord(int iMod_id, int iCmd_id, const void *data);

// The data area of the error-status record 609: spaces, then the raw bytes kind + 4 and value.
DataArea StsErrorData(int iErrKind, int iErrValue);

// The step at which a record could not be handed over.
enum class PutStep { kDone, kOpen, kWrite };

// One attempt to put msg into the pipe at fifo, never waiting: no reader gives kOpen with ENXIO, a
// pipe without room for the whole record kWrite with EAGAIN. Only a pipe is written: a missing path
// is not created, and anything else there fails at kOpen. errno tells why.
PutStep PutRecordNow(const char *fifo, const FifoMsg &msg);

#endif
