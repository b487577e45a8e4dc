/* File helpers over the POSIX file calls, and the action log. They never log to syslog. */
#ifndef KIV_FILE_H
#define KIV_FILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_ACT_LOG_FILE "/usr/local/zk/var/log/wqactlog.txt"

int CreateFile(const char *path, int flags, int32_t size, int *pFd);
int OpenFile(const char *path, int flags, int *pFd);
int CloseFile(int fd);
int SetFileSize(int fd, int32_t length);
int GetFileLength(int fd, int32_t *pLength);
int IsFileExist(const char *path);
int RenameFile(const char *oldPath, const char *newPath);
int DeleteFile(const char *path);
int SeekFile(int fd, int32_t offset);
int GetFilePos(int fd, int32_t *pOffset);
int WriteFile(int fd, const void *data, uint32_t count);
int ReadFile(int fd, void *buffer, uint32_t count, uint32_t *pRead);
int GetFileError(void);

/* Appends one action record when bit 2 of the debug switch is set. */
void WriteActLog(uint32_t code, const char *text);

#ifdef __cplusplus
}
#endif

#endif
