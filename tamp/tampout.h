/* SPDX-License-Identifier: MIT */
/* The monitor's outbox for tamper alarms. An alarm that its peer cannot take at once (the peer
 * stopped reading, died with its pipe left behind, or is being restarted) is kept, per pipe and in
 * order, and handed over later with the bytes it was built with, so that a broken peer can
 * neither hold off the monitor's answer to the next opening nor make it lose an alarm. */
#ifndef KIV_TAMPOUT_H
#define KIV_TAMPOUT_H

#ifdef __cplusplus
extern "C" {
#endif

#define TAMP_ALARMS_KEPT 16 /* per pipe; further alarms are dropped and counted */

/* Sends the record (module 53, iCmd_id, 250 data bytes) to the pipe at fifo without waiting,
 * behind any alarms still kept for that pipe: 0 handed over now; -1 kept for later, or dropped
 * when TAMP_ALARMS_KEPT are kept already (logged). */
int SendAlarm(const char *fifo, int iCmd_id, const unsigned char *data);
/* Hands over, in order, what the peers take now: the number of alarms still kept. */
int RetryAlarms(void);
/* At shut-down: one last try; what is still kept then is logged as undelivered. */
void FlushAlarmsAtExit(void);

#ifdef __cplusplus
}
#endif

#endif
