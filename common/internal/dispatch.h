// SPDX-License-Identifier: MIT
// The dispatch loop and the interval timers depend on each other, as the unit's runtime has them:
// a pass of the loop serves the timer pipes only while a timer runs (ComTimerState), and setting or
// deleting a timer enters its pipe into the loop's sets or takes it out (ComSelectTimerInit,
// ComSelectFdMaxGet). The two sides meet only here, with the descriptor-set helpers both use.
#ifndef KIV_DISPATCH_H
#define KIV_DISPATCH_H

#include <sys/select.h>

#include "os/osselect.h"
#include "os/ostimer.h"

// The sets hold FD_SETSIZE bits; a descriptor outside them must never reach FD_SET,
// FD_CLR or FD_ISSET, which would write or read past the set.
inline bool FdInSet(int fd) { return fd >= 0 && fd < FD_SETSIZE; }

// Takes fd out of the master and the working set; a descriptor outside them is in neither.
inline void ClearFd(ProcInfo *pProcInfo, int fd) {
    if (!FdInSet(fd)) return;
    FD_CLR(fd, &pProcInfo->fdsReady);
    FD_CLR(fd, &pProcInfo->fdsSelect);
}

#endif
