// SPDX-License-Identifier: MIT
// The process context record is the process's own; the library keeps only this pointer to it.
#include "os/procinfo.h"

ProcInfo *pProcInfoCom = nullptr;
