// Building a pipe record and handing it to a pipe without waiting: shared by the library's senders
// and the monitor's alarm outbox (internal; not installed).
#ifndef KIV_RECORD_H
#define KIV_RECORD_H

#include "ipc/osfifo.h"

// The record of the two ids ("%03d" each) and 250 data bytes.
FifoMsg BuildRecord(int iMod_id, int iCmd_id, const void *data);

// The data area of the error-status record 609: spaces, then the raw bytes kind + 4 and value.
void StsErrorData(int iErrKind, int iErrValue, unsigned char *data);

// The step at which a record could not be handed over.
enum class PutStep { kDone, kOpen, kWrite };

// One attempt to put msg into the pipe at fifo, never waiting: no reader gives kOpen with ENXIO, a
// pipe without room for the whole record kWrite with EAGAIN. Only a pipe is written: a missing path
// is not created, and anything else there fails at kOpen. errno tells why.
PutStep PutRecordNow(const char *fifo, const FifoMsg &msg);

#endif
