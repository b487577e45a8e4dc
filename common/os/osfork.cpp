// SPDX-License-Identifier: MIT
// The unit's module registry and the starting of child processes.
#include "os/osfork.h"

#include <signal.h>
#include <sys/ipc.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "internal/trace.h"
#include "os/osshm.h"

// The module index (position in these tables) also selects a child's entry in the record.
// clang-format off
static constexpr std::array<uint16_t, KIV_MODULE_MAX> mod_id_tbl = {
    80, 10, 11, 20, 21, 25, 22, 23, 24, 71, 30, 31, 55, 100, 101, 50, 90,
    40, 60, 51, 52, 53, 54, 102, 103, 144, 143, 140, 141, 142, 170, 110, 70,
};
static constexpr std::array<const char *, KIV_MODULE_MAX> mod_name_tbl = {
    "kivsts",  "kivlog",  "kivftp",  "kivdisp", "kivsund", "kivpwld", "kivilum",   "kivgdld", "kivekld",
    "kivpare", "kivcr",   "kivcrct", "kivio",   "kivopt",  "kivmnte", "kivek",     "kivfg",   "kivauth",
    "kivsch",  "kivstop", "kivgdbt", "kivtamp", "kivpdwn", "kivlcd",  "kivfva",    "kivemrg", "kivgurd",
    "kivanti", "kivrute", "kivtwop", "kivkivt", "kivbundle", "kivsvr",
};
// clang-format on

static constexpr bool ModuleIdsDistinct() {
    for (size_t i = 0; i < mod_id_tbl.size(); ++i)
        for (size_t j = i + 1; j < mod_id_tbl.size(); ++j)
            if (mod_id_tbl[i] == mod_id_tbl[j]) return false;
    return true;
}
static constexpr bool ModuleNamesFit() {
    return std::ranges::all_of(
        mod_name_tbl, [](const char *name) { return std::string_view(name).size() < sizeof(ModuleInfo{}.name); });
}
static_assert(ModuleIdsDistinct(), "a module id names one module only");
static_assert(ModuleNamesFit(), "every module name fits moduleInfo.name with its NUL");

// The process state other modules write into PROCSTATE is polled at this pace.
static constexpr useconds_t kProcStatePollUsec = 50000;
static constexpr size_t kProcStateSize = 4;
static_assert(sizeof(ProcStateData) == kProcStateSize);

void ComModuleInfoCreate(ProcInfo *pProcInfo, int iModId) {
    TraceStart("ComModuleInfoCreate()");
    ModuleInfo &info = pProcInfo->moduleInfo;
    info.mid = static_cast<uint16_t>(iModId);
    syslog(LOG_DEBUG, "pProcInfo->moduleInfo.mid = %d\n", info.mid);
    info.pid = getpid();
    syslog(LOG_DEBUG, "pProcInfo->moduleInfo.pid = %d\n", info.pid);
    for (size_t i = 0; i < mod_id_tbl.size(); ++i) {
        if (mod_id_tbl[i] == info.mid) {
            const std::string_view name = mod_name_tbl[i];
            std::memcpy(info.name, name.data(), name.size());
            info.name[name.size()] = '\0';
            break;
        }
    }
    syslog(LOG_DEBUG, "pProcInfo->moduleInfo.name = %s\n", info.name);
    TraceEnd("ComModuleInfoCreate()");
}

// fork and the lines both starters log for it; -1 (with iErrno set) when no child was made.
static pid_t ForkLogged(ProcInfo *pProcInfo) {
    errno = 0;
    const pid_t pid = fork();
    const int forkErrno = errno;
    syslog(LOG_DEBUG, "fork(pid=%d)\n", pid);
    if (pid == -1) {
        pProcInfo->iErrno = forkErrno;
        syslog(LOG_INFO, "fork failed(pid), errno=%d\n", forkErrno);
    }
    return pid;
}

int ComProcessCreate(ProcInfo *pProcInfo, const char *pProcName, int iModIndex, int iIdOffset, const char *pArg) {
    TraceStart("ComProcessCreate()");
    syslog(LOG_DEBUG, "Procname = %s\n", pProcName);
    syslog(LOG_DEBUG, "start of fork(%s)\n", pProcName);
    // The index selects the child's entry in the per-child tables; outside them the entry
    // would be written past the record, so no child is started at all.
    if (iModIndex < 0 || iModIndex >= KIV_MODULE_MAX) {
        syslog(LOG_INFO, "error of ComProcessCreate(iModIndex=%d)\n", iModIndex);
        return -1;
    }
    const auto idx = static_cast<size_t>(iModIndex);

    // The child's command line: path, module id text, the caller's argument (a null one ends
    // the vector early). The sum is taken wide so that no offset can overflow it.
    std::array<char, 24> idText{};
    const long long idSum = static_cast<long long>(mod_id_tbl[idx]) + iIdOffset;
    std::to_chars(idText.data(), idText.data() + idText.size() - 1, idSum);
    // execv does not modify the strings; its C signature only lacks the const.
    std::array<char *, 4> argv = {const_cast<char *>(pProcName), idText.data(), const_cast<char *>(pArg), nullptr};

    // Children are reaped by the system as soon as they end; the starter is told nothing.
    (void)signal(SIGCHLD, SIG_IGN);
    const pid_t pid = ForkLogged(pProcInfo);
    if (pid == -1) return -1;
    if (pid == 0) {
        syslog(LOG_DEBUG, "start of execv(%s)\n", pProcName);
        errno = 0;
        execv(pProcName, argv.data());
        const int execErrno = errno;
        pProcInfo->iProcessState[idx] = 0;
        syslog(LOG_INFO, "iProcessState(%d) = %d\n", iModIndex, 0);
        pProcInfo->iErrno = execErrno;
        syslog(LOG_INFO, "execv failed(%s, errno=%d)\n", pProcName, execErrno);
        _exit(0);
    }

    pProcInfo->chldPid[idx] = pid;
    syslog(LOG_DEBUG, "fork pProcInfo->chldPid[%d] = %d\n", iModIndex, pid);
    pProcInfo->iProcessState[idx] = 1;
    syslog(LOG_DEBUG, "iProcessState(%d) = %d\n", iModIndex, 1);
    pProcInfo->pChldName[idx] = pProcName;
    pProcInfo->iChldModId[idx] = mod_id_tbl[idx];
    ++pProcInfo->iChildCount;
    syslog(LOG_DEBUG, "fork pid = %d\n", pid);
    TraceEnd("ComProcessCreate()");
    return pid;
}

int ComProcessCreateGrandChild(ProcInfo *pProcInfo, const char *pProcName, char *const argv[]) {
    TraceStart("ComProcessCreateGrandChild()");
    syslog(LOG_DEBUG, "Procname = %s\n", pProcName);
    syslog(LOG_DEBUG, "start of fork(%s)\n", pProcName);
    const pid_t pid = ForkLogged(pProcInfo);
    if (pid == -1) return -1;
    if (pid == 0) {
        syslog(LOG_DEBUG, "start of execv(%s)\n", pProcName);
        errno = 0;
        execv(pProcName, argv);
        const int execErrno = errno;
        pProcInfo->iErrno = execErrno;
        syslog(LOG_INFO, "execv failed(%s, errno=%d)\n", pProcName, execErrno);
        _exit(0);
    }
    syslog(LOG_DEBUG, "fork pid = %d\n", pid);
    TraceEnd("ComProcessCreateGrandChild()");
    return pid;
}

// The state is written by another process, so every pass reads the segment itself.
static int ReadProcState(const ProcStateData *pData) { return *static_cast<const volatile int *>(&pData->iiProcState); }

int ComProcStateCheck(ProcInfo *pProcInfo) {
    TraceStart("ComProcStateCheck()");
    const key_t key = ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_PROCSTATE);
    const intptr_t pRet = ComShmOpenRead(pProcInfo, key, kProcStateSize);
    if (pRet == -1) {
        syslog(LOG_INFO, "error of ComShmOpenRead()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmOpenRead()\n");
    syslog(LOG_DEBUG, "pRet(SEG_PROC_KEY) = 0x%lx\n", TraceAddr(reinterpret_cast<const void *>(pRet)));
    pProcInfo->pProcStateData = reinterpret_cast<ProcStateData *>(pRet);

    int iState = ReadProcState(pProcInfo->pProcStateData);
    while (iState == 0) {
        usleep(kProcStatePollUsec);
        iState = ReadProcState(pProcInfo->pProcStateData);
    }
    syslog(LOG_DEBUG, "pProcInfo->pProcStateData->iiProcState = %d\n", iState);

    if (ComShmClose(pProcInfo, key) == -1) {
        syslog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    syslog(LOG_DEBUG, "success of ComShmClose()\n");
    TraceEnd("ComProcStateCheck()");
    return 0;
}
