// SPDX-License-Identifier: MIT
// Debug switch of the process and the debug helpers.
#include "util/debug.h"

#include <cstddef>
#include <cstdint>

// Bit KIV_DEBUG_FLAG_ACTLOG switches the action log on; no other bit is looked at.
static int32_t debug_flag = 0;

int32_t GetDebugFlag(void) { return debug_flag; }

void SetDebugFlag(int32_t flag) { debug_flag = flag; }

void DumpBytes(const void *data, size_t length) {
    (void)data;
    (void)length;
}
