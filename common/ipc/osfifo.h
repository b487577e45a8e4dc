/* SPDX-License-Identifier: MIT */
/* Pipe record and named-pipe transport between the unit's module processes.
 * Every operation logs to syslog; the paths below are where the unit's modules read. */
#ifndef KIV_OSFIFO_H
#define KIV_OSFIFO_H

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define KIV_FIFO_MSG_SIZE 256
#define KIV_FIFO_DATA_SIZE 250

/* One record: three ASCII digits module id, three ASCII digits command id, 250 data bytes. */
typedef struct FifoMsg {
    char iMod_id[3];
    char iCmd_id[3];
    unsigned char data[KIV_FIFO_DATA_SIZE];
} FifoMsg;

#define KIV_FIFO_DIR "/tmp/pipe"
#define KIV_FIFO_TAMP "/tmp/pipe/FifoTamp"
#define KIV_FIFO_STS "/tmp/pipe/FifoSts"
#define KIV_FIFO_STSP "/tmp/pipe/FifoStsp"
#define KIV_FIFO_LOG "/tmp/pipe/FifoLog"
#define KIV_FIFO_DISP "/tmp/pipe/FifoDisp"
#define KIV_FIFO_FTP "/tmp/pipe/FifoFtp"

/* Every descriptor the library opens is close-on-exec and never 0, 1 or 2.
 * kind 0 create, 1 read waiting, 2 read, 3 read retrying on EACCES, 4 write waiting,
 * 5 write retrying while missing, 6 read-write.
 * Kind 0: 0 when the pipe exists or was made; kinds 1-6: the descriptor. -1 on failure, with the
 * errno of mkfifo or open in iErrno; a kind outside 0-6 gives -1 and leaves iErrno alone. */
int ComFifoCreateOpen(ProcInfo *pProcInfo, const char *fifoname, int kind);
/* Reads up to 256 bytes into buffer (its first 4 bytes are cleared first): the count read, 0 also
 * when a non-blocking pipe is empty; -1 when read failed, its errno in iErrno. */
int ComFifoRead(ProcInfo *pProcInfo, int fifoDescript, void *buffer);
/* One write of length bytes: 0 when write succeeded (a short count is not checked); -1 when it
 * failed, errno as write left it. */
int ComFifoWrite(int iFifoDescript, const void *buffer, unsigned int length);
/* 0 closed; -1 when close failed, its errno in iErrno. */
int ComFifoClose(ProcInfo *pProcInfo, int iFifoDescriptor);
/* Reads one record from iSelectDes: 256, with both ids and the 250 data bytes stored; 0 when
 * nothing was waiting or only a fragment came (logged and dropped; nothing stored); -1 as
 * ComFifoRead. Ids are not checked. */
int ComFIFOGetData(ProcInfo *pProcInfo, int *iMod_id, int *iCmd_id, void *data);
/* How long ComFIFOPutData2 waits, in all, for a reader of the pipe and for room in it. A reader
 * that serves its pipe takes a record within milliseconds even under load; one that has not
 * within a second is stopped, gone or stuck, and the caller (a module answering its supervisor,
 * say) must not be held longer than that. */
#define KIV_FIFO_PUT_WAIT_MS 1000

/* Appends one record (250 bytes are read from data) to the pipe at fifo with one write, in up to
 * three attempts. Waits for a reader and for room at most KIV_FIFO_PUT_WAIT_MS for the
 * whole call (never for a writer); never creates the path nor writes into anything there that is
 * not a pipe; a record goes in whole or not at all. 0 delivered; -1 after three failed attempts,
 * errno from the last one (ENOENT no pipe, ENXIO no reader, EAGAIN no room in time). */
int ComFIFOPutData2(const char *fifo, int iMod_id, int iCmd_id, const void *data);
/* The same without ever waiting, through a non-blocking descriptor: each attempt fails at once
 * when nobody reads the pipe (errno ENXIO) or it has no room for the record (EAGAIN). */
int ComFIFOPutData3(const char *fifo, int iMod_id, int iCmd_id, const void *data);

/* Delivery to the file-transfer module without waiting: the result of ComFIFOPutData3. On -1 the
 * file-transfer pipe has been drained and the supervisor asked to stop module 11. */
int ComFIFOPutDataforFtpLog(const char *fifo, int iMod_id, int iCmd_id, const void *data);
/* Creates the file-transfer pipe if missing and reads up to 245 records out of it; failures are
 * only logged. */
void ComFIFOGetFTP(void);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
