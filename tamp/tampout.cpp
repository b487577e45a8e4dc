// SPDX-License-Identifier: MIT
// The monitor's outbox for tamper alarms: fixed storage, one ring of records per peer pipe.
#include "tampout.h"

#include <string.h>
#include <syslog.h>

#include <array>
#include <cerrno>

#include "internal/record.h"
#include "tamp.h"

namespace {

struct AlarmQueue {
    const char *fifo;
    std::array<FifoMsg, TAMP_ALARMS_KEPT> kept;
    int head;
    int count;
    long dropped;
};

// In the order of the tamper response, which is also the order retries go in.
std::array<AlarmQueue, 3> gAlarmQueues{
    {{KIV_FIFO_LOG, {}, 0, 0, 0}, {KIV_FIFO_DISP, {}, 0, 0, 0}, {KIV_FIFO_STS, {}, 0, 0, 0}}};

AlarmQueue *QueueOf(const char *fifo) {
    for (AlarmQueue &q : gAlarmQueues)
        if (strcmp(q.fifo, fifo) == 0) return &q;
    return nullptr;
}

// Hands over kept alarms from the oldest on while the peer takes them: how many went.
int Drain(AlarmQueue &q) {
    int sent = 0;
    while (q.count > 0 && PutRecordNow(q.fifo, q.kept[static_cast<size_t>(q.head)]) == PutStep::kDone) {
        q.head = (q.head + 1) % TAMP_ALARMS_KEPT;
        --q.count;
        ++sent;
    }
    return sent;
}

} // namespace

int SendAlarm(const char *fifo, int iCmd_id, const unsigned char *data) {
    const FifoMsg msg = BuildRecord(TAMP_MOD_ID, iCmd_id, data);
    AlarmQueue *q = QueueOf(fifo);
    if (q == nullptr) return PutRecordNow(fifo, msg) == PutStep::kDone ? 0 : -1;
    // Behind alarms still kept, a later alarm waits its turn: the peer gets them in order.
    (void)Drain(*q);
    if (q->count == 0 && PutRecordNow(fifo, msg) == PutStep::kDone) return 0;
    const int err = errno; // why the peer did not take the oldest alarm
    if (q->count == TAMP_ALARMS_KEPT) {
        ++q->dropped;
        syslog(LOG_INFO, "00027,SendAlarm,alarms for %s: %d kept, %ld dropped\n", fifo, q->count, q->dropped);
        return -1;
    }
    q->kept[static_cast<size_t>((q->head + q->count) % TAMP_ALARMS_KEPT)] = msg;
    ++q->count;
    syslog(LOG_INFO, "00025,SendAlarm,%s not ready(errno=%d(%s)), alarm kept(%d waiting)\n", fifo, err, strerror(err),
           q->count);
    return -1;
}

int RetryAlarms(void) {
    int waiting = 0;
    for (AlarmQueue &q : gAlarmQueues) {
        if (q.count == 0) continue;
        const int sent = Drain(q);
        if (sent > 0)
            syslog(LOG_INFO, "00026,RetryAlarms,%d kept alarms delivered to %s(%d waiting)\n", sent, q.fifo, q.count);
        waiting += q.count;
    }
    return waiting;
}

void FlushAlarmsAtExit(void) {
    if (RetryAlarms() == 0) return;
    for (const AlarmQueue &q : gAlarmQueues)
        if (q.count > 0) syslog(LOG_INFO, "00028,FlushAlarmsAtExit,%d alarms for %s undelivered\n", q.count, q.fifo);
}
