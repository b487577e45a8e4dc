// Module registry and child processes, with real children: a shell script the test writes
// records the command line it was started with into a pipe the child inherits.
#include "os/osfork.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kivtest.h"
#include "os/osshm.h"

namespace {

using kivtest::ClearLog;
using kivtest::F;
using kivtest::Line;
using kivtest::Lines;
using kivtest::LoggedBy;
using kivtest::RemoveAllSegments;



__sighandler_t ChildDisposition() {
    struct sigaction sa {};
    sigaction(SIGCHLD, nullptr, &sa);
    return sa.sa_handler;
}

// A child whose exec failed ends with exit(), which would run this test program's own exit
// handlers (the test framework's, the syslog receiver's that shares our pipes) in the child.
// This handler runs first there: it optionally waits until the test is ready to collect the
// status, then ends the child with exactly the status exit() was given.
pid_t g_testPid;
int g_gate[2] = {-1, -1};
void ChildExitGuard(int status, void *) {
    if (getpid() == g_testPid) return;
    if (g_gate[1] >= 0) close(g_gate[1]);
    char c;
    if (g_gate[0] >= 0)
        while (read(g_gate[0], &c, 1) > 0) {
        }
    _exit(status);
}

// A script that writes its argument count, $0 and its arguments, one a line, into a pipe.
class ArgvRecorder {
public:
    explicit ArgvRecorder(const std::string &path) : path_(path) {
        if (pipe(fds_) != 0) return;
        std::ofstream(path_) << "#!/bin/sh\nprintf '%s\\n' \"$#\" \"$0\" \"$@\" > /proc/self/fd/" << fds_[1] << "\n";
        chmod(path_.c_str(), 0755);
    }
    ~ArgvRecorder() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
        unlink(path_.c_str());
    }
    const char *path() const { return path_.c_str(); }
    // Everything the script wrote, once it has ended.
    std::vector<std::string> Collect() {
        close(fds_[1]);
        fds_[1] = -1;
        std::string all;
        char buf[256];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
        std::vector<std::string> out;
        std::istringstream in(all);
        for (std::string s; std::getline(in, s);) out.push_back(s);
        return out;
    }

private:
    std::string path_;
    int fds_[2] = {-1, -1};
};

class ForkTest : public testing::Test {
protected:
    ProcInfo pi;
    void SetUp() override {
        static const bool guarded = (g_testPid = getpid(), on_exit(ChildExitGuard, nullptr) == 0);
        ASSERT_TRUE(guarded);
        std::memset(&pi, 0, sizeof pi);
        signal(SIGCHLD, SIG_DFL);
        ClearLog();
    }
    void TearDown() override {
        signal(SIGCHLD, SIG_DFL);
        RemoveAllSegments();
    }
    static ProcInfo Fresh() {
        ProcInfo z;
        std::memset(&z, 0, sizeof z);
        return z;
    }
    bool RecordIs(const ProcInfo &want) const { return std::memcmp(&pi, &want, sizeof pi) == 0; }
};

// The registry as the unit's modules know it, index by index.
const std::pair<int, const char *> kModules[33] = {
    {80, "kivsts"},   {10, "kivlog"},   {11, "kivftp"},   {20, "kivdisp"},  {21, "kivsund"}, {25, "kivpwld"},
    {22, "kivilum"},  {23, "kivgdld"},  {24, "kivekld"},  {71, "kivpare"},  {30, "kivcr"},   {31, "kivcrct"},
    {55, "kivio"},    {100, "kivopt"},  {101, "kivmnte"}, {50, "kivek"},    {90, "kivfg"},   {40, "kivauth"},
    {60, "kivsch"},   {51, "kivstop"},  {52, "kivgdbt"},  {53, "kivtamp"},  {54, "kivpdwn"}, {102, "kivlcd"},
    {103, "kivfva"},  {144, "kivemrg"}, {143, "kivgurd"}, {140, "kivanti"}, {141, "kivrute"}, {142, "kivtwop"},
    {170, "kivkivt"}, {110, "kivbundle"}, {70, "kivsvr"},
};

TEST_F(ForkTest, EveryModuleIdYieldsItsName) {
    for (const auto &[id, name] : kModules) {
        std::memset(&pi, 0, sizeof pi);
        ComModuleInfoCreate(&pi, id);
        EXPECT_STREQ(pi.moduleInfo.name, name) << id;
        EXPECT_EQ(pi.moduleInfo.mid, id);
        EXPECT_EQ(pi.moduleInfo.pid, getpid());
    }
    ClearLog();
    ComModuleInfoCreate(&pi, 53);
    EXPECT_EQ(LoggedBy(getpid()), (Lines{{7, "start of ComModuleInfoCreate()\n"},
                                         {7, "pProcInfo->moduleInfo.mid = 53\n"},
                                         {7, F("pProcInfo->moduleInfo.pid = %d\n", getpid())},
                                         {7, "pProcInfo->moduleInfo.name = kivtamp\n"},
                                         {7, "end of ComModuleInfoCreate()\n"}}));
}

TEST_F(ForkTest, UnknownIdKeepsTheNameAndIdsCountByTheirLow16Bits) {
    ComModuleInfoCreate(&pi, 0);
    EXPECT_STREQ(pi.moduleInfo.name, "");
    EXPECT_EQ(LoggedBy(getpid())[3], (Line{7, "pProcInfo->moduleInfo.name = \n"}));

    ComModuleInfoCreate(&pi, 0x10000 + 110);
    EXPECT_EQ(pi.moduleInfo.mid, 110);
    EXPECT_STREQ(pi.moduleInfo.name, "kivbundle");
    ComModuleInfoCreate(&pi, 999);
    EXPECT_EQ(pi.moduleInfo.mid, 999);
    EXPECT_STREQ(pi.moduleInfo.name, "kivbundle");
    ComModuleInfoCreate(&pi, 53 - 0x10000);
    EXPECT_EQ(pi.moduleInfo.mid, 53);
    EXPECT_STREQ(pi.moduleInfo.name, "kivtamp");
}

TEST_F(ForkTest, ChildGetsPathModuleIdAndArgumentAndIsRecordedUnderItsIndex) {
    struct Case {
        int index, offset;
        const char *arg;
        std::vector<std::string> tail; // after the count and $0
    };
    const Case cases[] = {{21, 0, "7", {"53", "7"}}, {21, 2, "7", {"55", "7"}}, {31, 0, nullptr, {"110"}}};
    ProcInfo want = Fresh();
    pid_t first = 0;
    int n = 0;
    for (const Case &c : cases) {
        ClearLog();
        ArgvRecorder rec(F("/tmp/module%d", n));
        const pid_t pid = ComProcessCreate(&pi, rec.path(), c.index, c.offset, c.arg);
        ASSERT_GT(pid, 0);
        std::vector<std::string> argv = {std::to_string(c.tail.size()), rec.path()};
        argv.insert(argv.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(rec.Collect(), argv) << "child " << n;
        EXPECT_EQ(LoggedBy(pid), (Lines{{7, "fork(pid=0)\n"}, {7, F("start of execv(%s)\n", rec.path())}}));
        if (n++ == 0) first = pid;
        want.chldPid[c.index] = pid;
        want.iProcessState[c.index] = 1;
        want.pChldName[c.index] = rec.path();
        want.iChldModId[c.index] = c.index == 21 ? 53 : 110;
        want.iChildCount = n;
        EXPECT_TRUE(RecordIs(want)) << "child " << n;
        if (pid == first) {
            EXPECT_EQ(LoggedBy(getpid()), (Lines{{7, "start of ComProcessCreate()\n"},
                                                 {7, F("Procname = %s\n", rec.path())},
                                                 {7, F("start of fork(%s)\n", rec.path())},
                                                 {7, F("fork(pid=%d)\n", pid)},
                                                 {7, F("fork pProcInfo->chldPid[21] = %d\n", pid)},
                                                 {7, "iProcessState(21) = 1\n"},
                                                 {7, F("fork pid = %d\n", pid)},
                                                 {7, "end of ComProcessCreate()\n"}}));
        }
    }
    EXPECT_EQ(ChildDisposition(), SIG_IGN);
}

TEST_F(ForkTest, FailedExecEndsChildWithStatusZeroWhileParentShowsItStarted) {
    const char *path = "/tmp/pipe/no-such-module";
    ASSERT_EQ(pipe(g_gate), 0);
    const pid_t pid = ComProcessCreate(&pi, path, 21, 0, "7");
    // The child waits at its exit for the gate, so its status is kept from here on.
    signal(SIGCHLD, SIG_DFL);
    close(g_gate[1]);
    g_gate[1] = -1;
    ASSERT_GT(pid, 0);
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    close(g_gate[0]);
    g_gate[0] = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(LoggedBy(pid), (Lines{{7, "fork(pid=0)\n"},
                                    {7, F("start of execv(%s)\n", path)},
                                    {6, "iProcessState(21) = 0\n"},
                                    {6, F("execv failed(%s, errno=%d)\n", path, ENOENT)}}));
    EXPECT_EQ(pi.iProcessState[21], 1);
    EXPECT_EQ(pi.chldPid[21], pid);
    EXPECT_EQ(pi.iErrno, 0);
}

// Regression: the module index was used unchecked, so one outside 0..32 wrote the child's
// entry past the per-child tables of the record.
TEST_F(ForkTest, ModuleIndexOutsideTheTableIsRefusedBeforeFork) {
    for (int index : {-1, 33, 100000}) {
        ClearLog();
        EXPECT_EQ(ComProcessCreate(&pi, "/bin/true", index, 0, "7"), -1);
        EXPECT_EQ(LoggedBy(getpid()), (Lines{{7, "start of ComProcessCreate()\n"},
                                             {7, "Procname = /bin/true\n"},
                                             {7, "start of fork(/bin/true)\n"},
                                             {6, F("error of ComProcessCreate(iModIndex=%d)\n", index)}}));
    }
    EXPECT_TRUE(RecordIs(Fresh()));
    EXPECT_EQ(ChildDisposition(), SIG_DFL);
}

TEST_F(ForkTest, GrandChildRunsTheCallersVectorAndRecordsNothing) {
    ArgvRecorder rec("/tmp/grandchild");
    char a0[] = "name", a1[] = "a", a2[] = "b c";
    char *const argv[] = {a0, a1, a2, nullptr};
    const pid_t pid = ComProcessCreateGrandChild(&pi, rec.path(), argv);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(rec.Collect(), (std::vector<std::string>{"2", rec.path(), "a", "b c"}));
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid) << "SIGCHLD is left as it was";
    EXPECT_TRUE(RecordIs(Fresh()));
    EXPECT_EQ(LoggedBy(getpid()), (Lines{{7, "start of ComProcessCreateGrandChild()\n"},
                                         {7, F("Procname = %s\n", rec.path())},
                                         {7, F("start of fork(%s)\n", rec.path())},
                                         {7, F("fork(pid=%d)\n", pid)},
                                         {7, F("fork pid = %d\n", pid)},
                                         {7, "end of ComProcessCreateGrandChild()\n"}}));

    const pid_t failed = ComProcessCreateGrandChild(&pi, "/tmp/pipe/none", argv);
    ASSERT_GT(failed, 0);
    EXPECT_EQ(waitpid(failed, &status, 0), failed);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(LoggedBy(failed).back(), (Line{6, F("execv failed(/tmp/pipe/none, errno=%d)\n", ENOENT)}));
}

TEST_F(ForkTest, ProcStateWaitEndsWhenAnotherProcessWritesNonZero) {
    const key_t key = ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_PROCSTATE);
    const int id = shmget(key, 4, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        // Writes only once the waiter has attached too, so the waiter has certainly waited.
        auto *state = static_cast<volatile int *>(shmat(id, nullptr, 0));
        shmid_ds ds{};
        for (int i = 0; i < 60000 && shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_nattch < 2; ++i) usleep(1000);
        *state = 7;
        shmdt(const_cast<int *>(state));
        _exit(ds.shm_nattch == 2 ? 0 : 1);
    }
    EXPECT_EQ(ComProcStateCheck(&pi), 0);
    int status = -1;
    EXPECT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    const std::string a = F("0x%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pi.pShmProcState)));
    EXPECT_EQ(pi.iShmIdProcState, id);
    EXPECT_EQ(static_cast<void *>(pi.pProcStateData), pi.pShmProcState);
    EXPECT_EQ(LoggedBy(getpid()), (Lines{{7, "start of ComProcStateCheck()\n"},
                                         {7, "start of ComShmOpenRead()\n"},
                                         {7, F("success of shmget(iShmId=%d)\n", id)},
                                         {7, F("success of shmat(iShmId=%d)\n", id)},
                                         {6, "success of shmat(pShared=" + a + ")\n"},
                                         {7, "shmat(pProcInfo->pShmProcState = " + a + ")\n"},
                                         {7, F("shmat(pProcInfo->iShmIdProcState = %d)\n", id)},
                                         {7, "end of ComShmOpenRead()\n"},
                                         {7, "success of ComShmOpenRead()\n"},
                                         {7, "pRet(SEG_PROC_KEY) = " + a + "\n"},
                                         {7, "pProcInfo->pProcStateData->iiProcState = 7\n"},
                                         {7, "start of ComShmClose()\n"},
                                         {7, "PROCSTATE(pShared = " + a + ")\n"},
                                         {7, "success of shmdt\n"},
                                         {7, "end of ComShmClose()\n"},
                                         {7, "success of ComShmClose()\n"},
                                         {7, "end of ComProcStateCheck()\n"}}));
}

TEST_F(ForkTest, ProcStateAlreadySetReturnsAtOnceAndMissingSegmentFailsAtOnce) {
    EXPECT_EQ(ComProcStateCheck(&pi), -1);
    EXPECT_EQ(LoggedBy(getpid()), (Lines{{7, "start of ComProcStateCheck()\n"},
                                         {7, "start of ComShmOpenRead()\n"},
                                         {6, F("error of shmget(iShmId=-1, errno=%d)\n", ENOENT)},
                                         {6, "error of ComShmOpenRead()\n"}}));
    EXPECT_EQ(pi.pProcStateData, nullptr);

    const int id = shmget(ftok(KIV_SHM_KEY_FILE, KIV_SHM_PROJ_PROCSTATE), 4, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    auto *state = static_cast<int *>(shmat(id, nullptr, 0));
    *state = -3;
    ASSERT_EQ(shmdt(state), 0);
    ClearLog();
    EXPECT_EQ(ComProcStateCheck(&pi), 0);
    kivtest::Syslog().Sync();
    EXPECT_EQ(kivtest::Syslog().Count(7, "pProcInfo->pProcStateData->iiProcState = -3\n"), 1u);
}

} // namespace
