/* SPDX-License-Identifier: MIT */
/* File helpers over the POSIX file calls, and the action log. They never log to syslog.
 * Results differ per helper, as stated; a failure stores a code in file_error (read it with
 * GetFileError), which no success clears. A file opened for writing is held under an exclusive
 * flock, waited for. Offsets and lengths are 32-bit: beyond 2^31 - 1 a helper fails (EOVERFLOW). */
#ifndef KIV_FILE_H
#define KIV_FILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

#define KIV_ACT_LOG_FILE "/usr/local/zk/var/log/wqactlog.txt"

/* Creates path (mode 0666; sets the process's umask to 0) and sizes it: 0 with *pFd set; 1 the
 * name exists; 2 other failure. file_error: open's errno, -1 when sizing failed, EFAULT for no pFd. */
int CreateFile(const char *path, int flags, int32_t size, int *pFd);
/* Opens an existing file: 0 with *pFd set; 1 failure, file_error open's errno (EFAULT for no pFd;
 * unchanged when the lock failed). */
int OpenFile(const char *path, int flags, int *pFd);
/* close's result: 0, or -1 with its errno. */
int CloseFile(int fd);
/* Cuts or extends the file to length: 0; 1 failure, file_error -1. */
int SetFileSize(int fd, int32_t length);
/* 0 with the file's length in *pLength; 1 failure, file_error -1 (fstat failed), EOVERFLOW or EFAULT. */
int GetFileLength(int fd, int32_t *pLength);
/* 1 when the process can open path for reading, 0 otherwise; file_error unchanged. */
int IsFileExist(const char *path);
/* 0 renamed; -1 failure: oldPath cannot be opened for writing (file_error unchanged) or rename
 * failed (file_error its errno). */
int RenameFile(const char *oldPath, const char *newPath);
/* Changes into the file's directory, where the process stays, and removes the name: 0 removed or
 * absent (directory or file); -1 failure, file_error -1 and errno set (ENAMETOOLONG past 127). */
int DeleteFile(const char *path);
/* Moves to offset from the start: 0; 1 failure, file_error lseek's errno. */
int SeekFile(int fd, int32_t offset);
/* 0 with the position in *pOffset; -1 failure, file_error lseek's errno, EOVERFLOW or EFAULT. */
int GetFilePos(int fd, int32_t *pOffset);
/* 0 when all count bytes were written; 1 a short write or failure (file_error write's errno). */
int WriteFile(int fd, const void *data, uint32_t count);
/* 0 with the count read in *pRead (0 at end of file); 1 failure, file_error read's errno or EFAULT. */
int ReadFile(int fd, void *buffer, uint32_t count, uint32_t *pRead);
/* The last code a failing helper stored, 0 if none. */
int GetFileError(void);

/* Appends "<GetDebugTimeStr> [code] text\r\n" to KIV_ACT_LOG_FILE (which must exist) when bit
 * KIV_DEBUG_FLAG_ACTLOG of the debug switch is set. No result; failures are silent. */
void WriteActLog(uint32_t code, const char *text);

#pragma GCC visibility pop
#ifdef __cplusplus
}
#endif

#endif
