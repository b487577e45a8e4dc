// SPDX-License-Identifier: MIT
// Building a record's data area, shared by the pipe transport, the notifications and the monitor
// (internal; not installed for other modules).
#ifndef KIV_RECORD_H
#define KIV_RECORD_H

#include <array>
#include <cstdio>
#include <cstring>

#include "ipc/osfifo.h"

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

#endif
