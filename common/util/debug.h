/* SPDX-License-Identifier: MIT */
/* Debug switch and debug helpers. */
#ifndef KIV_DEBUG_H
#define KIV_DEBUG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define KIV_DEBUG_FLAG_ACTLOG 2 /* bit that switches the action log on */

/* The debug switch of the process, 0 at start; SetDebugFlag replaces it. */
int32_t GetDebugFlag(void);
void SetDebugFlag(int32_t flag);
/* Does nothing in this build; kept for the modules that call it. */
void DumpBytes(const void *data, size_t length);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
