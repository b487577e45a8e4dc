/* Pipe record and named-pipe transport between the unit's module processes. */
#ifndef KIV_OSFIFO_H
#define KIV_OSFIFO_H

#include "os/procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

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

/* kind 0 create, 1 read waiting, 2 read, 3 read retrying on EACCES, 4 write waiting,
 * 5 write retrying while missing, 6 read-write. */
int ComFifoCreateOpen(ProcInfo *pProcInfo, const char *fifoname, int kind);
int ComFifoRead(ProcInfo *pProcInfo, int fifoDescript, void *buffer);
int ComFifoWrite(int iFifoDescript, const void *buffer, unsigned int length);
int ComFifoClose(ProcInfo *pProcInfo, int iFifoDescriptor);
int ComFIFOGetData(ProcInfo *pProcInfo, int *iMod_id, int *iCmd_id, void *data);
int ComFIFOPutData2(const char *fifo, int iMod_id, int iCmd_id, const void *data);
int ComFIFOPutData3(const char *fifo, int iMod_id, int iCmd_id, const void *data);

/* Delivery to the file-transfer module without waiting, with recovery on failure. */
int ComFIFOPutDataforFtpLog(const char *fifo, int iMod_id, int iCmd_id, const void *data);
void ComFIFOGetFTP(void);

#ifdef __cplusplus
}
#endif

#endif
