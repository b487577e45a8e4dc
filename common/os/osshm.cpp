// SPDX-License-Identifier: MIT
// Shared-memory segments of the unit. Every segment is named by ftok of the one key file and a
// project letter; seven kinds keep their attach address and id in the process record, and the
// card master is handed back to its caller without being recorded.
#include "os/osshm.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "internal/trace.h"

namespace {

// The seven recorded kinds, in the order a key is compared with them.
enum ShmKind : int {
    kConfig,
    kSchedule,
    kOther,
    kController,
    kConfigImg,
    kProcState,
    kMemCtlData,
    kNoKind = -1,
};

struct ShmSlots {
    int proj;
    void *ProcInfo::*pAddr;
    int ProcInfo::*pId;
    const char *member; // as the record names it, for the trace lines
    const char *label;  // as the segment is called in the unit
};

} // namespace

// PROCSTATE is compared before MEMCTLDATA although the record holds its slots after them.
static constexpr std::array<ShmSlots, 7> kShmSlots = {{
    {KIV_SHM_PROJ_CONFIG, &ProcInfo::pShmConfig, &ProcInfo::iShmIdConfig, "Config", "CONFIG"},
    {KIV_SHM_PROJ_SCHEDULE, &ProcInfo::pShmSchedule, &ProcInfo::iShmIdSchedule, "Schedule", "SCHEDULE"},
    {KIV_SHM_PROJ_OTHER, &ProcInfo::pShmOther, &ProcInfo::iShmIdOther, "Other", "OTHER"},
    {KIV_SHM_PROJ_CONTROLLER, &ProcInfo::pShmController, &ProcInfo::iShmIdController, "Controller", "CONTROLLER"},
    {KIV_SHM_PROJ_CONFIGIMG, &ProcInfo::pShmConfigImg, &ProcInfo::iShmIdConfigImg, "ConfigImg", "CONFIGIMG"},
    {KIV_SHM_PROJ_PROCSTATE, &ProcInfo::pShmProcState, &ProcInfo::iShmIdProcState, "ProcState", "PROCSTATE"},
    {KIV_SHM_PROJ_MEMCTLDATA, &ProcInfo::pShmMemCtlData, &ProcInfo::iShmIdMemCtlData, "MemCtlData", "MEMCTLDATA"},
}};

// Only for a kind that was found: callers check for kNoKind first.
static constexpr const ShmSlots &SlotOf(ShmKind kind) { return kShmSlots[static_cast<size_t>(kind)]; }

// Create with read and write for everyone, or find the existing segment; find for reading only.
static constexpr int kShmCreateFlags = IPC_CREAT | 0666;
static constexpr int kShmReadFlags = 0444;
static_assert(kShmCreateFlags == 950 && kShmReadFlags == 292);

static bool AttachFailed(const void *pShared) { return pShared == reinterpret_cast<void *>(intptr_t{-1}); }

// shmget with creation, and its lines; -1 on failure.
static int CreateSegment(key_t key, size_t size) {
    errno = 0;
    const int iShmId = shmget(key, size, kShmCreateFlags);
    if (iShmId == -1) {
        syslog(LOG_INFO, "error of shmget(key=%d, errno=%d)\n", key, errno);
        return -1;
    }
    syslog(LOG_DEBUG, "success of shmget(key=%d)\n", key);
    syslog(LOG_DEBUG, "success of shmget(iShmId=%d)\n", iShmId);
    return iShmId;
}

// shmget of an existing segment for reading, and its lines; -1 on failure.
static int FindSegment(key_t key, size_t size) {
    errno = 0;
    const int iShmId = shmget(key, size, kShmReadFlags);
    if (iShmId == -1) {
        syslog(LOG_INFO, "error of shmget(iShmId=%d, errno=%d)\n", iShmId, errno);
        return -1;
    }
    syslog(LOG_DEBUG, "success of shmget(iShmId=%d)\n", iShmId);
    return iShmId;
}

// shmat and its lines; the address line is at the priority each caller gives it. Returns shmat's
// result, so the caller tests it with AttachFailed.
static void *AttachSegment(int iShmId, int shmflg, int addrPriority) {
    errno = 0;
    void *pShared = shmat(iShmId, nullptr, shmflg);
    if (AttachFailed(pShared)) {
        syslog(LOG_INFO, "error of shmat(iShmId=%d, errno=%d)\n", iShmId, errno);
        return pShared;
    }
    syslog(LOG_DEBUG, "success of shmat(iShmId=%d)\n", iShmId);
    syslog(addrPriority, "success of shmat(pShared=0x%lx)\n", TraceAddr(pShared));
    return pShared;
}

// The keys are recomputed on every call: the key file's identity is part of every key, and
// another module may have made the file anew since the last call.
static ShmKind FindKind(key_t key) {
    errno = 0;
    for (size_t i = 0; i < kShmSlots.size(); ++i) {
        if (ftok(KIV_SHM_KEY_FILE, kShmSlots[i].proj) == key) return static_cast<ShmKind>(i);
    }
    return kNoKind;
}

static bool IsCardMasterKey(key_t key) {
    errno = 0;
    return ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_CARDMASTER) == key;
}

static void LogIdRecorded(ShmKind kind, int iShmId) {
    syslog(LOG_DEBUG, "shmat(pProcInfo->iShmId%s = %d)\n", SlotOf(kind).member, iShmId);
}

static void LogAddrRecorded(ShmKind kind, const void *pShared) {
    syslog(LOG_DEBUG, "shmat(pProcInfo->pShm%s = 0x%lx)\n", SlotOf(kind).member, TraceAddr(pShared));
}

static void LogBeforeDetach(ShmKind kind, const void *pShared) {
    syslog(LOG_DEBUG, "%s(pShared = 0x%lx)\n", SlotOf(kind).label, TraceAddr(pShared));
}

static void LogBeforeRemoval(ShmKind kind, int iShmId) {
    syslog(LOG_DEBUG, "%s(iShmId = %d)\n", SlotOf(kind).label, iShmId);
}

int ComShmCreat(ProcInfo *pProcInfo, key_t key, size_t size) {
    TraceStart("ComShmCreat()");
    const int iShmId = CreateSegment(key, size);
    if (iShmId == -1) return -1;

    const ShmKind kind = FindKind(key);
    if (kind == kNoKind) {
        syslog(LOG_INFO, "error of ComShmCreat(ftok())\n");
        return -1;
    }
    pProcInfo->*SlotOf(kind).pId = iShmId;
    LogIdRecorded(kind, iShmId);
    TraceEnd("ComShmCreat()");
    return iShmId;
}

intptr_t ComShmOpenRw(ProcInfo *pProcInfo, key_t key, int iShmId) {
    TraceStart("ComShmOpenRw()");
    void *pShared = AttachSegment(iShmId, 0, LOG_INFO);
    if (AttachFailed(pShared)) return -1;

    const ShmKind kind = FindKind(key);
    if (kind == kNoKind) {
        syslog(LOG_INFO, "error of ComShmOpenRw(ftok())\n");
        return -1;
    }
    pProcInfo->*SlotOf(kind).pAddr = pShared;
    LogAddrRecorded(kind, pShared);
    TraceEnd("ComShmOpenRw()");
    return reinterpret_cast<intptr_t>(pShared);
}

intptr_t ComShmOpenRead(ProcInfo *pProcInfo, key_t key, size_t size) {
    TraceStart("ComShmOpenRead()");
    const int iShmId = FindSegment(key, size);
    if (iShmId == -1) return -1;

    void *pShared = AttachSegment(iShmId, SHM_RDONLY, LOG_INFO);
    if (AttachFailed(pShared)) return -1;

    const ShmKind kind = FindKind(key);
    if (kind == kNoKind) {
        syslog(LOG_INFO, "error of ComShmOpenRead(ftok())\n");
        return -1;
    }
    pProcInfo->*SlotOf(kind).pAddr = pShared;
    pProcInfo->*SlotOf(kind).pId = iShmId;
    LogAddrRecorded(kind, pShared);
    LogIdRecorded(kind, iShmId);
    TraceEnd("ComShmOpenRead()");
    return reinterpret_cast<intptr_t>(pShared);
}

int ComShmClose(ProcInfo *pProcInfo, key_t key) {
    TraceStart("ComShmClose()");
    const ShmKind kind = FindKind(key);
    if (kind == kNoKind) {
        syslog(LOG_INFO, "error of ComShmClose(ftok())\n");
        return -1;
    }
    // A slot never filled holds the null address, which shmdt refuses without touching anything.
    void *pShared = pProcInfo->*SlotOf(kind).pAddr;
    LogBeforeDetach(kind, pShared);
    errno = 0;
    if (shmdt(pShared) == -1) {
        syslog(LOG_INFO, "error of shmdt(errno=%d)\n", errno);
        return -1;
    }
    syslog(LOG_DEBUG, "success of shmdt\n");
    TraceEnd("ComShmClose()");
    return 0;
}

int ComShmRm(ProcInfo *pProcInfo, key_t key) {
    TraceStart("ComShmRm()");
    const ShmKind kind = FindKind(key);
    if (kind == kNoKind) {
        syslog(LOG_INFO, "error of ComShmRm(ftok())\n");
        return -1;
    }
    const int iShmId = pProcInfo->*SlotOf(kind).pId;
    LogBeforeRemoval(kind, iShmId);

    // A slot never filled holds 0, which is also the id of the first segment made after boot, and
    // a stale id may name a segment another module made since. Remove only a segment that still
    // carries this kind's key, so that another module's segment is never destroyed by mistake.
    struct shmid_ds ds {};
    errno = 0;
    if (shmctl(iShmId, IPC_STAT, &ds) == -1) {
        syslog(LOG_INFO, "error of shmctl(errno=%d)\n", errno);
        return -1;
    }
    if (ds.shm_perm.__key != key) {
        syslog(LOG_INFO, "error of ComShmRm(iShmId=%d not of key=%d)\n", iShmId, key);
        return -1;
    }
    errno = 0;
    if (shmctl(iShmId, IPC_RMID, nullptr) == -1) {
        syslog(LOG_INFO, "error of shmctl(errno=%d)\n", errno);
        return -1;
    }
    syslog(LOG_DEBUG, "success of shmctl\n");
    TraceEnd("ComShmRm()");
    return 0;
}

intptr_t ComShmRwGet(ProcInfo *pProcInfo, key_t key, size_t size) {
    TraceStart("ComShmRwGet()");
    const int iShmId = ComShmCreat(pProcInfo, key, size);
    if (iShmId == -1) {
        syslog(LOG_INFO, "error of ComShmCreat()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmCreat()\n");
    syslog(LOG_DEBUG, "iShmId = %d\n", iShmId);

    const intptr_t pRet = ComShmOpenRw(pProcInfo, key, iShmId);
    if (pRet == -1) {
        syslog(LOG_INFO, "error of ComShmOpenRw()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmOpenRw()\n");
    syslog(LOG_DEBUG, "pRet(SEG_PROC_KEY) = 0x%lx\n", TraceAddr(reinterpret_cast<const void *>(pRet)));
    TraceEnd("ComShmRwGet()");
    return pRet;
}

int ComShmRwFree(ProcInfo *pProcInfo, key_t key) {
    TraceStart("ComShmRwFree()");
    if (ComShmClose(pProcInfo, key) == -1) {
        syslog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmClose()\n");
    TraceEnd("ComShmRwFree()");
    return 0;
}

int ComCardMasterShmCreat([[maybe_unused]] void *pStCardMst, key_t key, size_t size) {
    TraceStart("ComCardMasterShmCreat()");
    const int iShmId = CreateSegment(key, size);
    if (iShmId == -1) return -1;

    if (!IsCardMasterKey(key)) {
        syslog(LOG_INFO, "error of ComCardMasterShmCreat(ftok())\n");
        return -1;
    }
    syslog(LOG_INFO, "shmat(pStCardMst = %d)\n", iShmId);
    TraceEnd("ComCardMasterShmCreat()");
    return iShmId;
}

intptr_t ComCardMasterShmOpenRw(void *pStCardMst, key_t key, int iShmId) {
    TraceStart("ComCardMasterShmOpenRw()");
    void *pShared = AttachSegment(iShmId, 0, LOG_DEBUG);
    if (AttachFailed(pShared)) return -1;

    if (!IsCardMasterKey(key)) {
        syslog(LOG_INFO, "error of ComCardMasterShmOpenRw(ftok())\n");
        return -1;
    }
    // The caller's own pointer, not the address just attached: the caller stores the result itself.
    syslog(LOG_INFO, "shmat(pStCardMst = 0x%lx)\n", TraceAddr(pStCardMst));
    TraceEnd("ComCardMasterShmOpenRw()");
    return reinterpret_cast<intptr_t>(pShared);
}

intptr_t ComCardMasterShmOpenRead([[maybe_unused]] void *pStCardMst, key_t key, size_t size) {
    TraceStart("ComCardMasterShmOpenRead()");
    const int iShmId = FindSegment(key, size);
    if (iShmId == -1) return -1;

    void *pShared = AttachSegment(iShmId, SHM_RDONLY, LOG_DEBUG);
    if (AttachFailed(pShared)) return -1;

    if (!IsCardMasterKey(key)) {
        syslog(LOG_INFO, "error of ComCardMasterShmOpenRead(ftok())\n");
        return -1;
    }
    syslog(LOG_DEBUG, "shmat(pStCardMst = 0x%lx)\n", TraceAddr(pShared));
    TraceEnd("ComCardMasterShmOpenRead()");
    return reinterpret_cast<intptr_t>(pShared);
}
