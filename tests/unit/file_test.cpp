// File helpers and the action log, on real files in the sandbox, with real child processes for
// the lock and for process-wide state (umask, root directory, closed standard descriptors).
#include "util/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kivtest.h"
#include "util/debug.h"

namespace fs = std::filesystem;

namespace {

const std::string kDir = "/tmp/filetest";
constexpr off_t kThreeGiB = off_t{3} << 30;

std::string P(const std::string &name) { return kDir + "/" + name; }

void Put(const std::string &path, const std::string &bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::string Cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string();
}

// Leaves EBADF in file_error, so a later check can tell whether a helper wrote it.
void PrimeFileError() {
    ASSERT_EQ(SeekFile(-1, 0), 1);
    ASSERT_EQ(GetFileError(), EBADF);
}

// Runs body in a forked child and returns its exit status (77: the child could not set up).
int InChild(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// Another open file description asks for the lock without waiting.
bool LockIsFree(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

class FileTest : public testing::Test {
protected:
    void SetUp() override {
        std::error_code ec;
        fs::remove_all(kDir, ec);
        fs::create_directories(kDir);
        chdir("/");
    }
    void TearDown() override {
        chdir("/");
        std::error_code ec;
        fs::remove_all(kDir, ec);
    }
};

TEST_F(FileTest, CreateFileMakesMode0666AndLeavesUmaskZero) {
    umask(022);
    int fd = -1;
    ASSERT_EQ(CreateFile(P("new").c_str(), O_WRONLY, 0, &fd), 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(st.st_size, 0);
    CloseFile(fd);
    EXPECT_EQ(umask(0), 0u) << "the creation mask stays 0 after CreateFile";
    // Later files of the process get exactly the mode they ask for.
    ASSERT_EQ(mkdir(P("d").c_str(), 0777), 0);
    ASSERT_EQ(stat(P("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

TEST_F(FileTest, CreateFileWithSizeGivesThatManyZeroBytes) {
    int fd = -1;
    ASSERT_EQ(CreateFile(P("sized").c_str(), O_RDWR, 4096, &fd), 0);
    CloseFile(fd);
    EXPECT_EQ(kivtest::ReadFileBytes(P("sized")), std::string(4096, '\0'));
}

TEST_F(FileTest, CreateFileOnExistingNameReturns1AndLeavesEexist) {
    Put(P("old"), "keep");
    int fd = -7;
    EXPECT_EQ(CreateFile(P("old").c_str(), O_WRONLY, 16, &fd), 1);
    EXPECT_EQ(fd, -7);
    EXPECT_EQ(GetFileError(), 17);
    EXPECT_EQ(kivtest::ReadFileBytes(P("old")), "keep");
}

TEST_F(FileTest, CreateFileFailuresReturn2AndRemoveWhatWasMade) {
    int fd = -7;
    EXPECT_EQ(CreateFile(P("nodir/x").c_str(), O_WRONLY, 0, &fd), 2);
    EXPECT_EQ(GetFileError(), ENOENT);
    // A file that cannot be sized is deleted again; the clean-up leaves the process in its
    // directory like any deletion.
    EXPECT_EQ(CreateFile(P("badsize").c_str(), O_WRONLY, -1, &fd), 2);
    EXPECT_EQ(GetFileError(), -1);
    EXPECT_FALSE(Exists(P("badsize")));
    EXPECT_EQ(Cwd(), kDir);
    EXPECT_EQ(fd, -7);
}

TEST_F(FileTest, WritingOpensHoldTheExclusiveLockReadOnlyOpensDoNot) {
    Put(P("f"), "x");
    for (int flags : {O_WRONLY, O_RDWR, O_RDONLY}) {
        int fd = -1;
        ASSERT_EQ(OpenFile(P("f").c_str(), flags, &fd), 0);
        EXPECT_EQ(LockIsFree(P("f")), flags == O_RDONLY) << "OpenFile flags " << flags;
        CloseFile(fd);
        EXPECT_TRUE(LockIsFree(P("f"))) << "closing ends the lock";

        std::string name = P("c" + std::to_string(flags));
        ASSERT_EQ(CreateFile(name.c_str(), flags, 0, &fd), 0);
        EXPECT_EQ(LockIsFree(name), flags == O_RDONLY) << "CreateFile flags " << flags;
        CloseFile(fd);
    }
}

TEST_F(FileTest, OpenFileForWritingWaitsUntilOtherProcessCloses) {
    Put(P("shared"), "");
    int ready[2], closing[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(closing), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = -1;
        if (OpenFile(P("shared").c_str(), O_WRONLY, &fd) != 0) _exit(1);
        write(ready[1], "L", 1);
        usleep(300 * 1000); // long enough for the parent to be waiting for the lock
        write(closing[1], "C", 1);
        CloseFile(fd);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    int fd = -1;
    EXPECT_EQ(OpenFile(P("shared").c_str(), O_WRONLY, &fd), 0);
    EXPECT_TRUE(Readable(closing[0])) << "OpenFile returned before the holder closed";
    CloseFile(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    for (int p : {ready[0], ready[1], closing[0], closing[1]}) close(p);
}

TEST_F(FileTest, ReadOnlyOpenIsNotHeldUpByAWriter) {
    Put(P("shared"), "");
    int ready[2], release[2], closing[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(closing), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = -1;
        if (OpenFile(P("shared").c_str(), O_WRONLY, &fd) != 0) _exit(1);
        write(ready[1], "L", 1);
        pollfd p{release[0], POLLIN, 0};
        poll(&p, 1, 10000); // bounded, so a wrongly waiting reader is reported, not hung
        write(closing[1], "C", 1);
        CloseFile(fd);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    int fd = -1;
    EXPECT_EQ(OpenFile(P("shared").c_str(), O_RDONLY, &fd), 0);
    EXPECT_FALSE(Readable(closing[0])) << "the reader waited for the writer";
    write(release[1], "R", 1);
    CloseFile(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    for (int p : {ready[0], ready[1], release[0], release[1], closing[0], closing[1]}) close(p);
}

TEST_F(FileTest, OpenFileOfMissingFileReturns1WithErrno) {
    int fd = -7;
    EXPECT_EQ(OpenFile(P("missing").c_str(), O_RDONLY, &fd), 1);
    EXPECT_EQ(GetFileError(), ENOENT);
    EXPECT_EQ(fd, -7);
}

TEST_F(FileTest, SetFileSizeCutsAndExtendsAndGetFileLengthReportsIt) {
    Put(P("f"), "0123456789");
    int fd = open(P("f").c_str(), O_RDWR);
    int32_t len = -1;
    EXPECT_EQ(SetFileSize(fd, 4), 0);
    EXPECT_EQ(GetFileLength(fd, &len), 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(SetFileSize(fd, 8), 0);
    EXPECT_EQ(GetFileLength(fd, &len), 0);
    EXPECT_EQ(len, 8);
    close(fd);
    EXPECT_EQ(kivtest::ReadFileBytes(P("f")), std::string("0123\0\0\0\0", 8));
}

TEST_F(FileTest, SizeAndLengthFailuresReturn1AndLeaveMinusOne) {
    Put(P("f"), "abc");
    int fd = open(P("f").c_str(), O_RDWR);
    PrimeFileError();
    EXPECT_EQ(SetFileSize(fd, -1), 1);
    EXPECT_EQ(GetFileError(), -1);
    close(fd);
    PrimeFileError();
    int32_t len = 55;
    EXPECT_EQ(GetFileLength(fd, &len), 1);
    EXPECT_EQ(GetFileError(), -1);
}

TEST_F(FileTest, LengthOrPositionBeyond31BitsFailsWithEoverflowNotCut) {
    Put(P("big"), "");
    int fd = open(P("big").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, kThreeGiB) != 0) {
        close(fd);
        GTEST_SKIP() << "this file system has no room for a sparse file of 3 GiB";
    }
    int32_t len = 55;
    EXPECT_EQ(GetFileLength(fd, &len), 1);
    EXPECT_EQ(GetFileError(), EOVERFLOW);
    EXPECT_EQ(len, 55);
    ASSERT_EQ(lseek(fd, kThreeGiB, SEEK_SET), kThreeGiB);
    int32_t pos = 55;
    EXPECT_EQ(GetFilePos(fd, &pos), -1);
    EXPECT_EQ(GetFileError(), EOVERFLOW);
    EXPECT_EQ(pos, 55);

    // The largest 32-bit length and position still pass.
    ASSERT_EQ(ftruncate(fd, INT32_MAX), 0);
    EXPECT_EQ(GetFileLength(fd, &len), 0);
    EXPECT_EQ(len, INT32_MAX);
    EXPECT_EQ(SeekFile(fd, INT32_MAX), 0);
    EXPECT_EQ(GetFilePos(fd, &pos), 0);
    EXPECT_EQ(pos, INT32_MAX);
    close(fd);
}

TEST_F(FileTest, SeekAndPositionOnClosedDescriptorLeaveEbadf) {
    int fd = open(P(".").c_str(), O_RDONLY);
    close(fd);
    int32_t pos = 55;
    PrimeFileError();
    EXPECT_EQ(GetFilePos(fd, &pos), -1) << "GetFilePos fails with -1, not 1";
    EXPECT_EQ(GetFileError(), EBADF);
    EXPECT_EQ(pos, 55);
    int other = -1;
    ASSERT_EQ(OpenFile(P("missing").c_str(), O_RDONLY, &other), 1);
    ASSERT_EQ(GetFileError(), ENOENT);
    EXPECT_EQ(SeekFile(fd, 0), 1);
    EXPECT_EQ(GetFileError(), EBADF);
    // CloseFile passes close's result on and leaves file_error alone.
    ASSERT_EQ(OpenFile(P("missing").c_str(), O_RDONLY, &other), 1);
    EXPECT_EQ(CloseFile(fd), -1);
    EXPECT_EQ(GetFileError(), ENOENT);
}

TEST_F(FileTest, ShortWriteReturns1AndLeavesFileErrorFailedWriteLeavesErrno) {
    Put(P("f"), "");
    int rc = InChild([] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{4, 4};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 77;
        int fd = open(P("f").c_str(), O_WRONLY);
        if (SeekFile(-1, 0) != 1 || GetFileError() != EBADF) return 2;
        if (WriteFile(fd, "0123456789", 10) != 1) return 3;
        if (GetFileError() != EBADF) return 4;
        if (WriteFile(fd, "x", 1) != 1) return 5;
        if (GetFileError() != EFBIG) return 6;
        close(fd);
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "cannot limit the file size";
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(kivtest::ReadFileBytes(P("f")), "0123");
}

TEST_F(FileTest, ReadFileStoresTheCountZeroAtTheEndNothingOnFailure) {
    Put(P("f"), "hello");
    int fd = open(P("f").c_str(), O_RDONLY);
    char buf[16] = {};
    uint32_t n = 99;
    EXPECT_EQ(ReadFile(fd, buf, sizeof buf, &n), 0);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(ReadFile(fd, buf, sizeof buf, &n), 0);
    EXPECT_EQ(n, 0u);
    close(fd);
    fd = open(P("f").c_str(), O_WRONLY);
    n = 99;
    EXPECT_EQ(ReadFile(fd, buf, sizeof buf, &n), 1);
    EXPECT_EQ(GetFileError(), EBADF);
    EXPECT_EQ(n, 99u);
    close(fd);
}

TEST_F(FileTest, IsFileExistAnswers1ForFileAndDirectory0ForMissing) {
    Put(P("f"), "");
    PrimeFileError();
    EXPECT_EQ(IsFileExist(P("f").c_str()), 1);
    EXPECT_EQ(IsFileExist(kDir.c_str()), 1);
    EXPECT_EQ(IsFileExist(P("missing").c_str()), 0);
    EXPECT_EQ(GetFileError(), EBADF);
}

TEST_F(FileTest, IsFileExistAnswers0ForFileTheProcessMayNotRead) {
    Put(P("secret"), "");
    ASSERT_EQ(chmod(P("secret").c_str(), 0200), 0);
    int rc = InChild([] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 77;
        return IsFileExist(P("secret").c_str()) == 0 ? 0 : 1;
    });
    if (rc == 77) GTEST_SKIP() << "cannot drop to an unprivileged user here";
    EXPECT_EQ(rc, 0);
}

// Regression: with standard input closed, open hands out descriptor 0; the file was reported
// missing and the descriptor leaked.
TEST_F(FileTest, IsFileExistWithStandardInputClosedAnswers1AndClosesTheDescriptor) {
    Put(P("f"), "");
    int rc = InChild([] {
        close(0);
        if (IsFileExist(P("f").c_str()) != 1) return 1;
        if (fcntl(0, F_GETFD) != -1) return 2;
        if (IsFileExist(P("missing").c_str()) != 0) return 3;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST_F(FileTest, RenameFileMovesTheFileOrFailsWithMinus1) {
    Put(P("a"), "data");
    EXPECT_EQ(RenameFile(P("a").c_str(), P("b").c_str()), 0);
    EXPECT_FALSE(Exists(P("a")));
    EXPECT_EQ(kivtest::ReadFileBytes(P("b")), "data");
    // A source that cannot be opened for writing: file_error is left alone.
    PrimeFileError();
    EXPECT_EQ(RenameFile(P("missing").c_str(), P("b").c_str()), -1);
    fs::create_directory(P("dir"));
    EXPECT_EQ(RenameFile(P("dir").c_str(), P("b").c_str()), -1);
    EXPECT_EQ(GetFileError(), EBADF);
    EXPECT_TRUE(Exists(P("dir")));
    // A failing rename leaves its errno and the source in place.
    EXPECT_EQ(RenameFile(P("b").c_str(), P("nodir/b").c_str()), -1);
    EXPECT_EQ(GetFileError(), ENOENT);
    EXPECT_EQ(kivtest::ReadFileBytes(P("b")), "data");
}

TEST_F(FileTest, DeleteFileLeavesTheProcessInTheFilesDirectory) {
    const std::string master = "/usr/local/zk/ap/conf/cardmaster.dat";
    Put(master, "cards");
    EXPECT_EQ(DeleteFile(master.c_str()), 0);
    EXPECT_FALSE(Exists(master));
    EXPECT_EQ(Cwd(), "/usr/local/zk/ap/conf");
    chdir("/");
    EXPECT_EQ(DeleteFile(master.c_str()), 0) << "a missing file counts as removed";
    EXPECT_EQ(Cwd(), "/usr/local/zk/ap/conf");
    // A bare name is removed in that directory.
    Put("/usr/local/zk/ap/conf/bare", "");
    EXPECT_EQ(DeleteFile("bare"), 0);
    EXPECT_FALSE(Exists("/usr/local/zk/ap/conf/bare"));
    EXPECT_EQ(Cwd(), "/usr/local/zk/ap/conf");
}

TEST_F(FileTest, DeleteFileOfMissingDirectorySucceedsWithoutMoving) {
    EXPECT_EQ(DeleteFile(P("nodir/x").c_str()), 0);
    EXPECT_EQ(Cwd(), "/");
}

TEST_F(FileTest, DeleteFileOfPathEndingInSlashEntersItAndRemovesNothing) {
    fs::create_directory(P("d"));
    Put(P("d/f"), "");
    EXPECT_EQ(DeleteFile((P("d") + "/").c_str()), 0);
    EXPECT_EQ(Cwd(), P("d"));
    EXPECT_TRUE(Exists(P("d/f")));
}

TEST_F(FileTest, DeleteFileRemovesEmptyDirectoryFailsOnOthersWithMinusOne) {
    fs::create_directory(P("empty"));
    EXPECT_EQ(DeleteFile(P("empty").c_str()), 0);
    EXPECT_FALSE(Exists(P("empty")));

    fs::create_directory(P("full"));
    Put(P("full/f"), "");
    PrimeFileError();
    EXPECT_EQ(DeleteFile(P("full").c_str()), -1);
    EXPECT_EQ(GetFileError(), -1);
    EXPECT_TRUE(Exists(P("full/f")));

    // A directory part that is a file cannot be entered (ENOTDIR, not ENOENT).
    PrimeFileError();
    EXPECT_EQ(DeleteFile(P("full/f/x").c_str()), -1);
    EXPECT_EQ(GetFileError(), -1);
}

// Regression: a path longer than the 128-byte working copy overran it.
TEST_F(FileTest, DeleteFileRefusesPathLongerThan127Characters) {
    std::string dir = kDir + "/" + std::string(100, 'd');
    fs::create_directory(dir);
    std::string fits = dir + "/" + std::string(127 - dir.size() - 1, 'n');
    ASSERT_EQ(fits.size(), 127u);
    std::string tooLong = fits + "x";
    Put(fits, "");
    Put(tooLong, "");
    PrimeFileError();
    EXPECT_EQ(DeleteFile(tooLong.c_str()), -1);
    EXPECT_EQ(GetFileError(), -1);
    EXPECT_TRUE(Exists(tooLong));
    EXPECT_TRUE(Exists(fits)) << "a cut path must not remove another file";
    EXPECT_EQ(Cwd(), "/");
    EXPECT_EQ(DeleteFile(fits.c_str()), 0);
    EXPECT_FALSE(Exists(fits));
}

// Regression: "/name" left an empty directory part whose chdir failed with ENOENT, so the
// removal was reported without happening.
TEST_F(FileTest, DeleteFileOfNameUnderRootRemovesItFromRoot) {
    const std::string root = P("root");
    fs::create_directories(root + "/sub");
    Put(root + "/victim", "");
    Put(root + "/sub/victim", "");
    int rc = InChild([&] {
        if (chroot(root.c_str()) != 0 || chdir("/sub") != 0) return 77;
        if (DeleteFile("/victim") != 0) return 1;
        return Cwd() == "/" ? 0 : 2;
    });
    if (rc == 77) GTEST_SKIP() << "cannot change the root directory here";
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(Exists(root + "/victim"));
    EXPECT_TRUE(Exists(root + "/sub/victim"));
}

TEST_F(FileTest, NullArgumentsFailWithoutSideEffects) {
    EXPECT_EQ(CreateFile(P("n").c_str(), O_WRONLY, 0, nullptr), 2);
    EXPECT_FALSE(Exists(P("n")));
    Put(P("f"), "abc");
    EXPECT_EQ(OpenFile(P("f").c_str(), O_WRONLY, nullptr), 1);
    EXPECT_TRUE(LockIsFree(P("f")));
    int fd = open(P("f").c_str(), O_RDONLY);
    EXPECT_EQ(GetFileLength(fd, nullptr), 1);
    EXPECT_EQ(GetFilePos(fd, nullptr), -1);
    char buf[4];
    EXPECT_EQ(ReadFile(fd, buf, 3, nullptr), 1);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "no byte may be consumed unreported";
    close(fd);
    EXPECT_EQ(DeleteFile(nullptr), -1);
}

// ---- Action log ----

// The stamp a record must carry, from the test's own view of the clock.
std::string StampNow() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%02ld0", t.tm_year + 1900, t.tm_mon + 1,
             t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<long>(tv.tv_usec / 10000));
    return buf;
}

class ActLogTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        SetDebugFlag(KIV_DEBUG_FLAG_ACTLOG);
        Put(KIV_ACT_LOG_FILE, "");
    }
    void TearDown() override {
        SetDebugFlag(0);
        unlink(KIV_ACT_LOG_FILE);
    }
    static std::string Log() { return kivtest::ReadFileBytes(KIV_ACT_LOG_FILE); }
    // Writes one record and checks its stamp against the clock; returns what follows it.
    static std::string Write(uint32_t code, const char *text) {
        size_t before = Log().size();
        std::string low = StampNow();
        WriteActLog(code, text);
        std::string high = StampNow();
        std::string rec = Log().substr(before);
        if (rec.size() < 23) return "<short:" + rec + ">";
        std::string stamp = rec.substr(0, 23);
        EXPECT_LE(low, stamp);
        EXPECT_LE(stamp, high);
        return rec.substr(23);
    }
};

TEST_F(ActLogTest, SwitchWithoutTheActLogBitWritesNothing) {
    for (int32_t flag : {0, 1, 4, ~KIV_DEBUG_FLAG_ACTLOG}) {
        SetDebugFlag(flag);
        WriteActLog(7, "abcd");
    }
    EXPECT_EQ(Log(), "");
}

TEST_F(ActLogTest, MissingFileIsNeitherWrittenNorCreated) {
    unlink(KIV_ACT_LOG_FILE);
    WriteActLog(7, "abcd");
    EXPECT_FALSE(Exists(KIV_ACT_LOG_FILE));
    EXPECT_EQ(GetFileError(), ENOENT);
}

TEST_F(ActLogTest, RecordsCarryStampCodeOptionalTextAndCrLf) {
    Put(KIV_ACT_LOG_FILE, "earlier\r\n");
    EXPECT_EQ(Write(7, "abcd"), " [007] abcd\r\n");
    EXPECT_EQ(Write(7, nullptr), " [007]\r\n");
    EXPECT_EQ(Write(7, ""), " [007] \r\n");
    std::string log = Log();
    ASSERT_EQ(log.size(), 9u + 36 + 31 + 32);
    EXPECT_EQ(log.substr(0, 9), "earlier\r\n");
}

TEST_F(ActLogTest, CodesPrintInFullWithAtLeastThreeDigits) {
    EXPECT_EQ(Write(0, nullptr), " [000]\r\n");
    EXPECT_EQ(Write(1234, nullptr), " [1234]\r\n");
    EXPECT_EQ(Write(4294967295u, "t"), " [4294967295] t\r\n");
}

TEST_F(ActLogTest, TextOf223CharactersFillsTheRecordExactly) {
    std::string text(223, 't');
    EXPECT_EQ(Write(999, text.c_str()), " [999] " + text + "\r\n");
    EXPECT_EQ(Log().size(), 255u);
}

// Regression: a text longer than the record buffer overran it.
TEST_F(ActLogTest, OverlongTextIsCutKeepingTheLineEnd) {
    std::string text(400, 'x');
    EXPECT_EQ(Write(7, text.c_str()), " [007] " + std::string(223, 'x') + "\r\n");
    EXPECT_EQ(Write(4294967295u, text.c_str()), " [4294967295] " + std::string(216, 'x') + "\r\n");
    EXPECT_EQ(Log().size(), 2 * 255u);
}

// Regression: the length of a log beyond 2 GiB cannot be given as a 32-bit position, and
// taking 0 instead wrote the record over the oldest ones.
TEST_F(ActLogTest, LogTooLongForA32BitPositionIsLeftUntouched) {
    if (truncate(KIV_ACT_LOG_FILE, kThreeGiB) != 0) GTEST_SKIP() << "no room for a sparse 3 GiB file";
    WriteActLog(7, "abcd");
    struct stat st {};
    ASSERT_EQ(stat(KIV_ACT_LOG_FILE, &st), 0);
    EXPECT_EQ(st.st_size, kThreeGiB);
    int fd = open(KIV_ACT_LOG_FILE, O_RDONLY);
    char head[64];
    ASSERT_EQ(read(fd, head, sizeof head), static_cast<ssize_t>(sizeof head));
    close(fd);
    EXPECT_EQ(std::string(head, sizeof head), std::string(sizeof head, '\0'));
}

TEST_F(ActLogTest, RecordsOfTwoProcessesNeverInterleave) {
    constexpr int kPerChild = 300;
    pid_t pids[2];
    for (int c = 0; c < 2; ++c) {
        pids[c] = fork();
        if (pids[c] == 0) {
            char text[16];
            for (int i = 0; i < kPerChild; ++i) {
                snprintf(text, sizeof text, "%c-%04d", 'A' + c, i);
                WriteActLog(42, text);
            }
            _exit(0);
        }
    }
    for (pid_t pid : pids) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    std::string log = Log();
    // Each record: stamp (23), " [042] " (7), "A-0000" (6), CR LF.
    constexpr size_t kRec = 38;
    ASSERT_EQ(log.size(), 2u * kPerChild * kRec);
    int next[2] = {0, 0};
    for (size_t at = 0; at < log.size(); at += kRec) {
        std::string rec = log.substr(at, kRec);
        ASSERT_EQ(rec.substr(23, 7), " [042] ") << "record at " << at << ": " << rec;
        ASSERT_EQ(rec.substr(36), "\r\n") << "record at " << at;
        int c = rec[30] - 'A';
        ASSERT_TRUE(c == 0 || c == 1) << rec;
        char want[16];
        snprintf(want, sizeof want, "%c-%04d", 'A' + c, next[c]++);
        EXPECT_EQ(rec.substr(30, 6), want) << "record at " << at;
    }
    EXPECT_EQ(next[0], kPerChild);
    EXPECT_EQ(next[1], kPerChild);
}

TEST_F(ActLogTest, HelpersAndActLogWriteNothingToSyslog) {
    kivtest::Syslog().Clear();
    WriteActLog(7, "abcd");
    int fd = -1;
    CreateFile(KIV_ACT_LOG_FILE, O_WRONLY, 0, &fd); // fails: exists
    OpenFile("/nonexistent", O_RDONLY, &fd);
    DeleteFile("/nonexistent/x");
    IsFileExist(KIV_ACT_LOG_FILE);
    kivtest::Syslog().Sync();
    EXPECT_TRUE(kivtest::Syslog().Lines().empty());
}

} // namespace
