// Shared-memory segments on real System V segments in the sandbox's private IPC namespace,
// keyed from the sandbox's key file; every segment a test makes is removed after it.
#include "os/osshm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kivtest.h"

namespace {

using kivtest::ClearLog;
using kivtest::F;
using kivtest::Line;
using kivtest::Lines;
using kivtest::LoggedBy;
using kivtest::RemoveAllSegments;
std::string Hex(const void *p) { return F("0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p))); }
void *Addr(intptr_t r) { return reinterpret_cast<void *>(r); }

// Lines this process logged since the last Clear.
Lines Logged() { return LoggedBy(getpid()); }
size_t Count(int pri, const std::string &text) {
    kivtest::Syslog().Sync();
    return kivtest::Syslog().Count(pri, text);
}

key_t Key(int proj) { return ftok(KIV_SHM_KEY_FILE, proj); }
int MakeSegment(key_t key, size_t size) { return shmget(key, size, IPC_CREAT | 0666); }
int Attachments(int id) {
    shmid_ds ds{};
    return shmctl(id, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.shm_nattch) : -1;
}

// This process's attachment of segment id, from /proc/self/maps (whose inode field is the id).
struct Mapping {
    void *addr = nullptr;
    std::string perms;
};
Mapping MappingOf(int id) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long start, end, off, inode;
        char perms[8];
        unsigned dmaj, dmin;
        if (line.find("/SYSV") != std::string::npos &&
            std::sscanf(line.c_str(), "%lx-%lx %7s %lx %x:%x %lu", &start, &end, perms, &off, &dmaj, &dmin, &inode) == 7 &&
            inode == static_cast<unsigned long>(id))
            return {reinterpret_cast<void *>(start), perms};
    }
    return {};
}


class ShmTest : public testing::Test {
protected:
    ProcInfo pi;
    void SetUp() override {
        std::memset(&pi, 0, sizeof pi);
        ClearLog();
    }
    void TearDown() override { RemoveAllSegments(); }
    bool RecordIs(const ProcInfo &want) const { return std::memcmp(&pi, &want, sizeof pi) == 0; }
    static ProcInfo Fresh() {
        ProcInfo z;
        std::memset(&z, 0, sizeof z);
        return z;
    }
};

struct KindCase {
    int proj;
    const char *name;   // as in the detach and removal lines
    const char *member; // as in the slot names
    void *ProcInfo::*addr;
    int ProcInfo::*id;
};
const KindCase kKinds[] = {
    {'c', "CONFIG", "Config", &ProcInfo::pShmConfig, &ProcInfo::iShmIdConfig},
    {'s', "SCHEDULE", "Schedule", &ProcInfo::pShmSchedule, &ProcInfo::iShmIdSchedule},
    {'o', "OTHER", "Other", &ProcInfo::pShmOther, &ProcInfo::iShmIdOther},
    {'r', "CONTROLLER", "Controller", &ProcInfo::pShmController, &ProcInfo::iShmIdController},
    {'i', "CONFIGIMG", "ConfigImg", &ProcInfo::pShmConfigImg, &ProcInfo::iShmIdConfigImg},
    {'p', "PROCSTATE", "ProcState", &ProcInfo::pShmProcState, &ProcInfo::iShmIdProcState},
    {'m', "MEMCTLDATA", "MemCtlData", &ProcInfo::pShmMemCtlData, &ProcInfo::iShmIdMemCtlData},
};

TEST_F(ShmTest, EveryKindIsRecordedInItsOwnSlotsAndNamedInItsTraceLines) {
    for (const KindCase &k : kKinds) {
        SCOPED_TRACE(k.name);
        std::memset(&pi, 0, sizeof pi);
        const int id = MakeSegment(Key(k.proj), 64);
        ASSERT_GE(id, 0);
        ClearLog();
        const intptr_t r = ComShmOpenRead(&pi, Key(k.proj), 64);
        ASSERT_NE(r, -1);
        ProcInfo want = Fresh();
        want.*k.addr = Addr(r);
        want.*k.id = id;
        EXPECT_TRUE(RecordIs(want)) << "only the kind's two slots are written";
        EXPECT_EQ(MappingOf(id).perms, "r--s");
        EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmOpenRead()\n"},
                                   {7, F("success of shmget(iShmId=%d)\n", id)},
                                   {7, F("success of shmat(iShmId=%d)\n", id)},
                                   {6, "success of shmat(pShared=" + Hex(Addr(r)) + ")\n"},
                                   {7, F("shmat(pProcInfo->pShm%s = ", k.member) + Hex(Addr(r)) + ")\n"},
                                   {7, F("shmat(pProcInfo->iShmId%s = %d)\n", k.member, id)},
                                   {7, "end of ComShmOpenRead()\n"}}));

        ClearLog();
        EXPECT_EQ(ComShmClose(&pi, Key(k.proj)), 0);
        EXPECT_EQ(Attachments(id), 0);
        EXPECT_TRUE(RecordIs(want)) << "the address slot keeps the old address";
        EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmClose()\n"},
                                   {7, F("%s(pShared = ", k.name) + Hex(Addr(r)) + ")\n"},
                                   {7, "success of shmdt\n"},
                                   {7, "end of ComShmClose()\n"}}));

        ClearLog();
        EXPECT_EQ(ComShmRm(&pi, Key(k.proj)), 0);
        EXPECT_EQ(Attachments(id), -1) << "removed";
        EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmRm()\n"},
                                   {7, F("%s(iShmId = %d)\n", k.name, id)},
                                   {7, "success of shmctl\n"},
                                   {7, "end of ComShmRm()\n"}}));
    }
}

TEST_F(ShmTest, RwGetCreatesAndAttachesReadWriteAndRwFreeKeepsTheSegment) {
    const key_t key = Key('m');
    const intptr_t r = ComShmRwGet(&pi, key, 100);
    ASSERT_NE(r, -1);
    const int id = pi.iShmIdMemCtlData;
    EXPECT_EQ(pi.pShmMemCtlData, Addr(r));
    EXPECT_EQ(MappingOf(id).addr, Addr(r));
    EXPECT_EQ(MappingOf(id).perms, "rw-s");
    const std::string a = Hex(Addr(r));
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmRwGet()\n"},      {7, "start of ComShmCreat()\n"},
                               {7, F("success of shmget(key=%d)\n", key)},
                               {7, F("success of shmget(iShmId=%d)\n", id)},
                               {7, F("shmat(pProcInfo->iShmIdMemCtlData = %d)\n", id)},
                               {7, "end of ComShmCreat()\n"},       {7, "success of ComShmCreat()\n"},
                               {7, F("iShmId = %d\n", id)},         {7, "start of ComShmOpenRw()\n"},
                               {7, F("success of shmat(iShmId=%d)\n", id)},
                               {6, "success of shmat(pShared=" + a + ")\n"},
                               {7, "shmat(pProcInfo->pShmMemCtlData = " + a + ")\n"},
                               {7, "end of ComShmOpenRw()\n"},      {7, "success of ComShmOpenRw()\n"},
                               {7, "pRet(SEG_PROC_KEY) = " + a + "\n"}, {7, "end of ComShmRwGet()\n"}}));

    // Creating again finds the same segment; a larger size than it has is refused.
    EXPECT_EQ(ComShmCreat(&pi, key, 50), id);
    ClearLog();
    EXPECT_EQ(ComShmCreat(&pi, key, 101), -1);
    EXPECT_EQ(Logged().back(), (Line{6, F("error of shmget(key=%d, errno=%d)\n", key, EINVAL)}));

    EXPECT_EQ(ComShmRwFree(&pi, key), 0);
    EXPECT_EQ(Attachments(id), 0) << "detached but not removed";
}

TEST_F(ShmTest, MissingKeyFileMakesEveryKeyMinusOneWhichIsTakenAsConfig) {
    const std::string away = std::string(KIV_SHM_KEY_FILE) + ".away";
    ASSERT_EQ(rename(KIV_SHM_KEY_FILE, away.c_str()), 0);
    const key_t key = Key(KIV_SHM_PROJ_PROCSTATE);
    const int id = ComShmCreat(&pi, key, 16);
    const intptr_t r = ComShmOpenRead(&pi, key, 16);
    const int closed = ComShmClose(&pi, key);
    ASSERT_EQ(rename(away.c_str(), KIV_SHM_KEY_FILE), 0);

    EXPECT_EQ(key, -1);
    ASSERT_GE(id, 0);
    EXPECT_EQ(pi.iShmIdConfig, id);
    EXPECT_EQ(pi.pShmConfig, Addr(r));
    EXPECT_EQ(pi.iShmIdProcState, 0);
    EXPECT_EQ(pi.pShmProcState, nullptr);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(Count(7, F("shmat(pProcInfo->iShmIdConfig = %d)\n", id)), 2u);
}

TEST_F(ShmTest, KeysAreComputedAnewOnEveryCall) {
    const key_t before = Key('c');
    ASSERT_GE(ComShmCreat(&pi, before, 16), 0);
    // The key file made anew has another inode, so every key derived from it changes.
    ASSERT_EQ(unlink(KIV_SHM_KEY_FILE), 0);
    const int fd = open(KIV_SHM_KEY_FILE, O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_NE(Key('c'), before);

    ClearLog();
    EXPECT_EQ(ComShmRm(&pi, before), -1);
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmRm()\n"}, {6, "error of ComShmRm(ftok())\n"}}));
    EXPECT_GE(ComShmCreat(&pi, Key('c'), 16), 0);
}

TEST_F(ShmTest, KeyOfNoKindLeavesSegmentInPlaceAndRecordsNothing) {
    const key_t key = Key(KIV_SHM_PROJ_CARDMASTER);
    EXPECT_EQ(ComShmCreat(&pi, key, 64), -1);
    const int id = shmget(key, 0, 0);
    ASSERT_GE(id, 0) << "the segment stays created";
    EXPECT_EQ(Logged().back(), (Line{6, "error of ComShmCreat(ftok())\n"}));

    const char *const errors[] = {"error of ComShmOpenRw(ftok())\n", "error of ComShmOpenRead(ftok())\n"};
    for (int readOnly = 0; readOnly < 2; ++readOnly) {
        ClearLog();
        EXPECT_EQ(readOnly ? ComShmOpenRead(&pi, key, 64) : ComShmOpenRw(&pi, key, id), -1);
        const Mapping m = MappingOf(id);
        ASSERT_NE(m.addr, nullptr) << "the segment stays attached";
        EXPECT_EQ(m.perms, readOnly ? "r--s" : "rw-s");
        EXPECT_EQ(Count(6, "success of shmat(pShared=" + Hex(m.addr) + ")\n"), 1u);
        EXPECT_EQ(Logged().back(), (Line{6, errors[readOnly]}));
        ASSERT_EQ(shmdt(m.addr), 0);
    }
    EXPECT_TRUE(RecordIs(Fresh()));

    // Detach and removal look the kind up first and make no system call without one.
    ClearLog();
    EXPECT_EQ(ComShmClose(&pi, key), -1);
    EXPECT_EQ(ComShmRm(&pi, key), -1);
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmClose()\n"}, {6, "error of ComShmClose(ftok())\n"},
                               {7, "start of ComShmRm()\n"}, {6, "error of ComShmRm(ftok())\n"}}));
    EXPECT_EQ(Attachments(id), 0) << "still there";
}

TEST_F(ShmTest, CardMasterOperationsHandTheirResultBackAndRecordNothing) {
    char mst[8] = "cardmst";
    const key_t key = Key(KIV_SHM_PROJ_CARDMASTER);
    const int id = ComCardMasterShmCreat(mst, key, 256);
    ASSERT_GE(id, 0);
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComCardMasterShmCreat()\n"},
                               {7, F("success of shmget(key=%d)\n", key)},
                               {7, F("success of shmget(iShmId=%d)\n", id)},
                               {6, F("shmat(pStCardMst = %d)\n", id)},
                               {7, "end of ComCardMasterShmCreat()\n"}}));

    ClearLog();
    const intptr_t rw = ComCardMasterShmOpenRw(mst, key, id);
    ASSERT_NE(rw, -1);
    EXPECT_EQ(MappingOf(id).perms, "rw-s");
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComCardMasterShmOpenRw()\n"},
                               {7, F("success of shmat(iShmId=%d)\n", id)},
                               {7, "success of shmat(pShared=" + Hex(Addr(rw)) + ")\n"},
                               {6, "shmat(pStCardMst = " + Hex(mst) + ")\n"},
                               {7, "end of ComCardMasterShmOpenRw()\n"}}));
    ASSERT_EQ(shmdt(Addr(rw)), 0);

    ClearLog();
    const intptr_t ro = ComCardMasterShmOpenRead(mst, key, 16);
    ASSERT_NE(ro, -1);
    EXPECT_EQ(MappingOf(id).perms, "r--s");
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComCardMasterShmOpenRead()\n"},
                               {7, F("success of shmget(iShmId=%d)\n", id)},
                               {7, F("success of shmat(iShmId=%d)\n", id)},
                               {7, "success of shmat(pShared=" + Hex(Addr(ro)) + ")\n"},
                               {7, "shmat(pStCardMst = " + Hex(Addr(ro)) + ")\n"},
                               {7, "end of ComCardMasterShmOpenRead()\n"}}));
    ASSERT_EQ(shmdt(Addr(ro)), 0);
    EXPECT_STREQ(mst, "cardmst");

    // Another key is refused after the system call, which stays done.
    ClearLog();
    EXPECT_EQ(ComCardMasterShmCreat(mst, Key('c'), 16), -1);
    EXPECT_GE(shmget(Key('c'), 0, 0), 0);
    EXPECT_EQ(ComCardMasterShmOpenRead(mst, Key('c'), 16), -1);
    const Mapping m = MappingOf(shmget(Key('c'), 0, 0));
    ASSERT_NE(m.addr, nullptr);
    ASSERT_EQ(shmdt(m.addr), 0);
    EXPECT_EQ(Count(6, "error of ComCardMasterShmCreat(ftok())\n"), 1u);
    EXPECT_EQ(Count(6, "error of ComCardMasterShmOpenRead(ftok())\n"), 1u);
}

TEST_F(ShmTest, OpenReadRefusesMoreThanTheSegmentHasAndAttachesAllOfItForLess) {
    const int id = MakeSegment(Key('o'), 228);
    ASSERT_GE(id, 0);
    auto *w = static_cast<unsigned char *>(shmat(id, nullptr, 0));
    for (int i = 0; i < 228; ++i) w[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(shmdt(w), 0);

    EXPECT_EQ(ComShmOpenRead(&pi, Key('o'), 229), -1);
    EXPECT_EQ(ComShmOpenRead(&pi, Key('r'), 8), -1);
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmOpenRead()\n"}, {6, F("error of shmget(iShmId=-1, errno=%d)\n", EINVAL)},
                               {7, "start of ComShmOpenRead()\n"}, {6, F("error of shmget(iShmId=-1, errno=%d)\n", ENOENT)}}));
    EXPECT_TRUE(RecordIs(Fresh()));

    const intptr_t r = ComShmOpenRead(&pi, Key('o'), 8);
    ASSERT_NE(r, -1);
    const auto *seen = static_cast<const unsigned char *>(Addr(r));
    for (int i = 0; i < 228; ++i) ASSERT_EQ(seen[i], static_cast<unsigned char>(i * 7)) << i;
    EXPECT_EQ(ComShmClose(&pi, Key('o')), 0);
}

TEST_F(ShmTest, CloseOfKindNeverAttachedFailsInShmdt) {
    EXPECT_EQ(ComShmClose(&pi, Key('s')), -1);
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmClose()\n"},
                               {7, "SCHEDULE(pShared = 0x0)\n"},
                               {6, F("error of shmdt(errno=%d)\n", EINVAL)}}));
}

// Regression: an id slot never filled holds 0, the id of the first segment made after boot;
// removing "whatever the slot holds" destroyed that other kind's segment.
TEST_F(ShmTest, RemovalOfNeverFilledSlotSparesSegmentZero) {
    {
        std::ofstream next("/proc/sys/kernel/shm_next_id");
        next << 0;
    }
    const int config = MakeSegment(Key('c'), 64);
    ASSERT_EQ(config, 0);

    EXPECT_EQ(ComShmRm(&pi, Key('s')), -1);
    EXPECT_EQ(Logged(), (Lines{{7, "start of ComShmRm()\n"},
                               {7, "SCHEDULE(iShmId = 0)\n"},
                               {6, F("error of ComShmRm(iShmId=0 not of key=%d)\n", Key('s'))}}));
    EXPECT_EQ(shmget(Key('c'), 0, 0), config) << "CONFIG still exists under its key";

    // An id whose segment is gone fails in the system call, as before.
    pi.iShmIdOther = MakeSegment(Key('o'), 16);
    ASSERT_EQ(shmctl(pi.iShmIdOther, IPC_RMID, nullptr), 0);
    ClearLog();
    EXPECT_EQ(ComShmRm(&pi, Key('o')), -1);
    EXPECT_EQ(Logged().back(), (Line{6, F("error of shmctl(errno=%d)\n", EINVAL)}));
}

} // namespace
