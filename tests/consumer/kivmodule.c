/* A module of the unit written in C, built outside this tree against the installed library: it
 * reports its wake-up to the supervisor and reads the record back from the supervisor's pipe. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>

#include "ipc/osfifo.h"
#include "ipc/stsmsg.h"

enum { kModId = 20, kCmdWakeupComplete = 600 };

int main(void) {
    static ProcInfo info; /* zero-filled, as a module's context record starts */
    int modId = -1;
    int cmdId = -1;
    unsigned char data[KIV_FIFO_DATA_SIZE];

    /* The supervisor's pipe, held open for reading and writing as the supervisor holds it. */
    if (ComFifoCreateOpen(&info, KIV_FIFO_STSP, 0) != 0) {
        fprintf(stderr, "kivmodule: cannot create %s (errno %d)\n", KIV_FIFO_STSP, info.iErrno);
        return 1;
    }
    const int fd = ComFifoCreateOpen(&info, KIV_FIFO_STSP, 6);
    if (fd < 0) {
        fprintf(stderr, "kivmodule: cannot open %s (errno %d)\n", KIV_FIFO_STSP, info.iErrno);
        return 1;
    }

    WakeupComplete(kModId, 0, "0312");

    info.iSelectDes = fd;
    const int n = ComFIFOGetData(&info, &modId, &cmdId, data);
    if (n != KIV_FIFO_MSG_SIZE || modId != kModId || cmdId != kCmdWakeupComplete || memcmp(data, "0000312 ", 8) != 0) {
        fprintf(stderr, "kivmodule: read %d bytes: module %d, command %d, data \"%.8s\"\n", n, modId, cmdId,
                (const char *)data);
        return 1;
    }
    if (ComFifoClose(&info, fd) != 0) return 1;
    printf("kivmodule: record %03d %03d \"%.7s\" read back from %s\n", modId, cmdId, (const char *)data,
           KIV_FIFO_STSP);
    return 0;
}
