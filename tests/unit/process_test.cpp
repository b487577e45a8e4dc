// SPDX-License-Identifier: MIT
// Segments on real System V segments in the sandbox's IPC namespace, keyed from its key file; the
// module registry; children started for real (a script records the command line it was given).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "kivtest.h"
#include "os/osfork.h"
#include "os/osshm.h"

using kivtest::F;
using kivtest::Notices;
using Strings = kivtest::Texts;

namespace {

const ProcInfo kZero{}; // static: its padding is zero too
std::string Hex(const void *p) { return F("0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p))); }
void *Addr(intptr_t r) { return reinterpret_cast<void *>(r); }
key_t Key(int proj) { return ftok(KIV_SHM_KEY_FILE, proj); }
int Make(int proj, size_t size) { return shmget(Key(proj), size, IPC_CREAT | 0666); }
int Attachments(int id) {
    shmid_ds ds{};
    return shmctl(id, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.shm_nattch) : -1;
}

// This process's attachments as "<perms> <segment id>" (from /proc/self/maps); detached if asked.
Strings Attached(bool detach = false) {
    std::istringstream maps(kivsim::FileText("/proc/self/maps"));
    Strings out;
    unsigned long start, id;
    char perms[8];
    for (std::string l; std::getline(maps, l);)
        if (l.find("/SYSV") != std::string::npos &&
            std::sscanf(l.c_str(), "%lx-%*x %7s %*x %*x:%*x %lu", &start, perms, &id) == 3) {
            out.push_back(F("%s %lu", perms, id));
            if (detach) shmdt(reinterpret_cast<void *>(start));
        }
    return out;
}

// A child whose exec failed ends with exit(), which would run this program's exit handlers (the
// syslog receiver's among them) in the child; registered after them, this one runs first there.
pid_t g_testPid;
void ChildExitGuard(int status, void * /*arg*/) {
    if (getpid() != g_testPid) _exit(status);
}

class Process : public testing::Test {
  protected:
    ProcInfo pi, want; // the record, and what it should hold
    void SetUp() override {
        if (g_testPid == 0) {
            g_testPid = getpid();
            ASSERT_EQ(on_exit(ChildExitGuard, nullptr), 0);
        }
        std::memcpy(&pi, &kZero, sizeof pi);
        std::memcpy(&want, &kZero, sizeof want);
        (void)signal(SIGCHLD, SIG_DFL);
        kivtest::ClearLog();
    }
    void TearDown() override {
        (void)signal(SIGCHLD, SIG_DFL);
        kivtest::RemoveAllSegments();
    }
    // Both start as copies of a zero record, so their padding compares equal too.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
    bool RecordAsWanted() const { return std::memcmp(&pi, &want, sizeof pi) == 0; }
};

// Each recorded kind lands in its own two slots and nowhere else, attached for reading; closing
// detaches it and removal ends it.
TEST_F(Process, EveryKindIsRecordedInItsOwnSlots) {
    const struct {
        int proj;
        void *ProcInfo::*addr;
        int ProcInfo::*id;
    } kinds[] = {{'c', &ProcInfo::pShmConfig, &ProcInfo::iShmIdConfig},
                 {'o', &ProcInfo::pShmOther, &ProcInfo::iShmIdOther},
                 {'s', &ProcInfo::pShmSchedule, &ProcInfo::iShmIdSchedule},
                 {'r', &ProcInfo::pShmController, &ProcInfo::iShmIdController},
                 {'i', &ProcInfo::pShmConfigImg, &ProcInfo::iShmIdConfigImg},
                 {'p', &ProcInfo::pShmProcState, &ProcInfo::iShmIdProcState},
                 {'m', &ProcInfo::pShmMemCtlData, &ProcInfo::iShmIdMemCtlData}};
    for (const auto &k : kinds) {
        const int id = Make(k.proj, 64);
        std::memcpy(&pi, &kZero, sizeof pi);
        std::memcpy(&want, &kZero, sizeof want);
        kivtest::ClearLog();
        const intptr_t r = ComShmOpenRead(&pi, Key(k.proj), 8);
        want.*k.addr = Addr(r);
        want.*k.id = id;
        EXPECT_TRUE(RecordAsWanted()) << static_cast<char>(k.proj);
        EXPECT_EQ(Attached(), Strings{F("r--s %d", id)});
        EXPECT_EQ(ComShmClose(&pi, Key(k.proj)), 0);
        EXPECT_EQ(ComShmRm(&pi, Key(k.proj)), 0);
        EXPECT_EQ(Attachments(id), -1);
        EXPECT_EQ(Notices(), Strings{"success of shmat(pShared=" + Hex(Addr(r)) + ")\n"});
    }
}

TEST_F(Process, RwGetCreatesAndAttachesForWritingAndRwFreeKeepsTheSegment) {
    const key_t key = Key('m');
    const intptr_t r = ComShmRwGet(&pi, key, 100);
    const int id = pi.iShmIdMemCtlData;
    const std::string a = Hex(Addr(r));
    EXPECT_EQ(pi.pShmMemCtlData, Addr(r));
    EXPECT_EQ(Attached(), Strings{F("rw-s %d", id)});
    EXPECT_EQ(Notices(), Strings{"success of shmat(pShared=" + a + ")\n"});
    EXPECT_EQ(ComShmCreat(&pi, key, 50), id); // found again
    kivtest::ClearLog();
    EXPECT_EQ(ComShmRwFree(&pi, key), 0);
    EXPECT_EQ(Attachments(id), 0); // detached, not removed
}

// Refusals: the result, the lines operators see (attach addresses masked) and what stays
// attached. The record is never written, and no other kind's segment is removed.
TEST_F(Process, RefusalsLeaveTheRecordAlone) {
    std::ofstream("/proc/sys/kernel/shm_next_id") << 0;
    const int config = Make('c', 64), card = Make(KIV_SHM_PROJ_CARDMASTER, 64), gone = Make('s', 16);
    ASSERT_EQ(config, 0);
    Make('o', 228);
    shmctl(gone, IPC_RMID, nullptr);
    char mst[8] = "cardmst";
    const key_t d = Key(KIV_SHM_PROJ_CARDMASTER);
    const struct {
        std::function<intptr_t()> op;
        Strings info, attached{};
    } rows[] = {
        {[&] { return ComShmCreat(&pi, Key('o'), 229); }, {F("error of shmget(key=%d, errno=%d)\n", Key('o'), EINVAL)}},
        {[&] { return ComShmOpenRead(&pi, Key('o'), 229); }, {F("error of shmget(iShmId=-1, errno=%d)\n", EINVAL)}},
        {[&] { return ComShmOpenRw(&pi, Key('o'), gone); }, {F("error of shmat(iShmId=%d, errno=%d)\n", gone, EINVAL)}},
        {[&] { return ComShmClose(&pi, Key('s')); }, {F("error of shmdt(errno=%d)\n", EINVAL)}}, // never attached
        {[&] { return ComShmRwFree(&pi, Key('s')); },
         {F("error of shmdt(errno=%d)\n", EINVAL), "error of ComShmClose()\n"}},
        {[&] { return ComShmRwGet(&pi, Key('o'), 229); },
         {F("error of shmget(key=%d, errno=%d)\n", Key('o'), EINVAL), "error of ComShmCreat()\n"}},
        // Regression: a never-filled id slot holds 0, the id of the first segment made after boot.
        {[&] { return ComShmRm(&pi, Key('s')); }, {F("error of ComShmRm(iShmId=0 not of key=%d)\n", Key('s'))}},
        {[&] {
             pi.iShmIdOther = gone;
             want.iShmIdOther = gone;
             return ComShmRm(&pi, Key('o'));
         },
         {F("error of shmctl(errno=%d)\n", EINVAL)}},
        // The card master's key names no recorded kind; the system calls before the check stay done.
        {[&] { return ComShmCreat(&pi, d, 64); }, {"error of ComShmCreat(ftok())\n"}},
        {[&] { return ComShmOpenRw(&pi, d, card); },
         {"success of shmat(pShared=0x?)\n", "error of ComShmOpenRw(ftok())\n"},
         {F("rw-s %d", card)}},
        {[&] { return ComShmOpenRead(&pi, d, 64); },
         {"success of shmat(pShared=0x?)\n", "error of ComShmOpenRead(ftok())\n"},
         {F("r--s %d", card)}},
        {[&] { return ComShmClose(&pi, d); }, {"error of ComShmClose(ftok())\n"}},
        {[&] { return ComShmRm(&pi, d); }, {"error of ComShmRm(ftok())\n"}},
        {[&] { return ComCardMasterShmCreat(mst, Key('c'), 16); }, {"error of ComCardMasterShmCreat(ftok())\n"}},
        {[&] { return ComCardMasterShmOpenRw(mst, Key('c'), config); },
         {"error of ComCardMasterShmOpenRw(ftok())\n"},
         {"rw-s 0"}},
        {[&] { return ComCardMasterShmOpenRead(mst, Key('c'), 16); },
         {"error of ComCardMasterShmOpenRead(ftok())\n"},
         {"r--s 0"}},
    };
    for (const auto &row : rows) {
        kivtest::ClearLog();
        EXPECT_EQ(row.op(), -1) << row.info[0];
        Strings seen = Notices();
        for (std::string &l : seen)
            if (auto at = l.find("=0x"); at != std::string::npos) l.replace(at + 3, l.find(')', at) - at - 3, "?");
        EXPECT_EQ(seen, row.info);
        EXPECT_EQ(Attached(true), row.attached) << row.info[0];
    }
    EXPECT_TRUE(RecordAsWanted());
    EXPECT_EQ(shmget(Key('c'), 0, 0), config);
}

// The card master's segment is handed back to its caller and never recorded.
TEST_F(Process, CardMasterIsHandedBackAndNotRecorded) {
    char mst[8] = "cardmst";
    const key_t key = Key(KIV_SHM_PROJ_CARDMASTER);
    const int id = ComCardMasterShmCreat(mst, key, 256);
    ComCardMasterShmOpenRw(mst, key, id);
    ComCardMasterShmOpenRead(mst, key, 16);
    // The id made, then the caller's own pointer (not the address attached).
    EXPECT_EQ(Notices(), (Strings{F("shmat(pStCardMst = %d)\n", id), "shmat(pStCardMst = " + Hex(mst) + ")\n"}));
    Strings seen = Attached(true);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (Strings{F("r--s %d", id), F("rw-s %d", id)}));
    EXPECT_STREQ(mst, "cardmst");
    EXPECT_TRUE(RecordAsWanted());
}

// Every call computes the keys anew: another module may have made the key file again since.
// Without the file every key is -1, which is taken as CONFIG's.
TEST_F(Process, KeysFollowTheKeyFile) {
    const key_t before = Key('c');
    ASSERT_GE(ComShmCreat(&pi, before, 16), 0);
    ASSERT_EQ(unlink(KIV_SHM_KEY_FILE), 0);
    const int id = ComShmCreat(&pi, Key('p'), 16);
    EXPECT_EQ(pi.iShmIdConfig, id);
    EXPECT_EQ(pi.iShmIdProcState, 0);
    close(open(KIV_SHM_KEY_FILE, O_WRONLY | O_CREAT, 0644)); // another inode: other keys
    kivtest::ClearLog();
    EXPECT_EQ(ComShmRm(&pi, before), -1);
    EXPECT_EQ(Notices(), Strings{"error of ComShmRm(ftok())\n"});
}

// The child runs the path with the module id (plus the offset) and the caller's argument and is
// recorded under its index; the grandchild runs the caller's vector and is recorded nowhere.
TEST_F(Process, ChildrenGetTheirCommandLinesAndAreRecorded) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const std::string path = "/tmp/module";
    std::ofstream(path) << "#!/bin/sh\necho \"$0 $# $*\" > /proc/self/fd/" << out[1] << "\n";
    chmod(path.c_str(), 0755);
    auto line = [&] {
        char buf[256];
        const ssize_t n = read(out[0], buf, sizeof buf);
        return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    };
    const struct {
        int index, offset;
        const char *arg, *line;
    } rows[] = {{21, 2, "7", "/tmp/module 2 55 7\n"}, {31, 0, nullptr, "/tmp/module 1 110\n"}};
    for (const auto &r : rows) {
        kivtest::ClearLog();
        const pid_t pid = ComProcessCreate(&pi, path.c_str(), r.index, r.offset, r.arg);
        EXPECT_EQ(line(), r.line);
        want.chldPid[r.index] = pid;
        want.iProcessState[r.index] = 1;
        want.pChldName[r.index] = path.c_str();
        want.iChldModId[r.index] = r.index == 21 ? 53 : 110;
        ++want.iChildCount;
    }
    EXPECT_TRUE(RecordAsWanted());
    EXPECT_EQ(signal(SIGCHLD, SIG_DFL), SIG_IGN); // the system reaps them

    char a0[] = "name", a1[] = "a", a2[] = "b c";
    char *const argv[] = {a0, a1, a2, nullptr};
    const pid_t pid = ComProcessCreateGrandChild(&pi, path.c_str(), argv);
    EXPECT_EQ(line(), "/tmp/module 2 a b c\n");
    EXPECT_EQ(waitpid(pid, nullptr, 0), pid); // SIGCHLD is left as it was
    EXPECT_TRUE(RecordAsWanted());
    close(out[0]);
    close(out[1]);
    unlink(path.c_str());
}

// A child whose program cannot run says so and ends with status 0; the starter has seen it start.
// Regression: an index outside 0..32 wrote the child's entry past the per-child tables.
TEST_F(Process, FailedExecIsReportedByTheChildAndABadIndexIsRefusedBeforeFork) {
    const char *none = "/tmp/pipe/none";
    const pid_t child = ComProcessCreate(&pi, none, 21, 0, "7");
    (void)signal(SIGCHLD, SIG_DFL);
    char *const argv[] = {nullptr};
    const pid_t grandchild = ComProcessCreateGrandChild(&pi, none, argv);
    int status = -1;
    EXPECT_EQ(waitpid(grandchild, &status, 0), grandchild);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Notices(grandchild), Strings{F("execv failed(%s, errno=%d)\n", none, ENOENT)});
    for (int i = 0; i < 500 && Notices(child).size() < 2; ++i) usleep(10000);
    EXPECT_EQ(Notices(child), (Strings{"iProcessState(21) = 0\n", F("execv failed(%s, errno=%d)\n", none, ENOENT)}));
    EXPECT_EQ(pi.iProcessState[21] + pi.iErrno, 1); // the child wrote its own copy of the record

    std::memcpy(&pi, &kZero, sizeof pi);
    for (int index : {-1, 33, 100000}) {
        kivtest::ClearLog();
        EXPECT_EQ(ComProcessCreate(&pi, "/bin/true", index, 0, "7"), -1);
        EXPECT_EQ(Notices(), Strings{F("error of ComProcessCreate(iModIndex=%d)\n", index)});
    }
    EXPECT_TRUE(RecordAsWanted());
    EXPECT_EQ(signal(SIGCHLD, SIG_DFL), SIG_DFL);
}

// An unprivileged user without processes to spare cannot fork: both starters say so with errno.
// Nor may it remove another user's segment, which fails after the checks that found it.
TEST_F(Process, UnprivilegedUserCanNeitherForkNorRemove) {
    const int id = ComShmCreat(&pi, Key('o'), 16);
    const pid_t child = fork();
    if (child == 0) {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_NPROC, &none);
        if (setuid(65534) != 0) _exit(2);
        char *const argv[] = {nullptr};
        const bool forkRefused = ComProcessCreate(&pi, "/bin/true", 21, 0, "7") == -1 && pi.iErrno == EAGAIN;
        pi.iErrno = 0;
        const bool grandRefused = ComProcessCreateGrandChild(&pi, "/bin/true", argv) == -1 && pi.iErrno == EAGAIN;
        _exit(forkRefused && grandRefused && ComShmRm(&pi, Key('o')) == -1 && pi.chldPid[21] == 0 ? 0 : 1);
    }
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no unprivileged user in this namespace";
    EXPECT_EQ(status, 0);
    const std::string refused = F("fork failed(pid), errno=%d\n", EAGAIN);
    EXPECT_EQ(Notices(child), (Strings{refused, refused, F("error of shmctl(errno=%d)\n", EPERM)}));
    EXPECT_EQ(Attachments(id), 0); // still there
}

// The wait for the process state ends when another process writes a non-zero one; without the
// segment it fails at once.
TEST_F(Process, ProcStateWaitEndsWhenAnotherProcessWritesNonZero) {
    EXPECT_EQ(ComProcStateCheck(&pi), -1);
    EXPECT_EQ(Notices(), (Strings{F("error of shmget(iShmId=-1, errno=%d)\n", ENOENT), "error of ComShmOpenRead()\n"}));
    const int id = Make(KIV_SHM_PROJ_PROCSTATE, 4);
    const pid_t writer = fork();
    if (writer == 0) { // writes once the waiter has attached too, so the waiter has certainly waited
        auto *state = static_cast<volatile int *>(shmat(id, nullptr, 0));
        shmid_ds ds{};
        for (int i = 0; i < 60000 && shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_nattch < 2; ++i) usleep(1000);
        *state = 7;
        _exit(ds.shm_nattch == 2 ? 0 : 1);
    }
    EXPECT_EQ(ComProcStateCheck(&pi), 0);
    int status = -1;
    EXPECT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(pi.iShmIdProcState, id);
    EXPECT_EQ(static_cast<void *>(pi.pProcStateData), pi.pShmProcState);
    EXPECT_EQ(ComProcStateCheck(&pi), 0); // already set: at once
}

} // namespace
