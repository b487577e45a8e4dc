/* Debug switch and debug helpers. */
#ifndef KIV_DEBUG_H
#define KIV_DEBUG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_DEBUG_FLAG_ACTLOG 2 /* bit that switches the action log on */

int32_t GetDebugFlag(void);
void SetDebugFlag(int32_t flag);
void DumpBytes(const void *data, size_t length);

#ifdef __cplusplus
}
#endif

#endif
