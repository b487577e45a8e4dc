// SPDX-License-Identifier: MIT
// File helpers and the action log on real files in the sandbox (in child processes where the root
// or descriptor 0 change), the packed date and time words and their texts, the debug switch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>

#include "kivtest.h"
#include "util/date.h"
#include "util/debug.h"
#include "util/file.h"

namespace fs = std::filesystem;
using kivsim::FileText;
using kivtest::Fd;

namespace {

const std::string kDir = "/tmp/filetest";
constexpr off_t kThreeGiB = off_t{3} << 30;

std::string P(const std::string &name) { return kDir + "/" + name; }
void Put(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }
bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }
std::string Cwd() { return fs::current_path().string(); }
// Leaves EFAULT in file_error, as a null out-argument does, so a later check can tell whether a
// helper wrote it.
void PrimeFileError() { ReadFile(-1, nullptr, 0, nullptr); }

// Runs body in a forked child; its exit status.
template <typename Body>
int InChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Another open file description asks for the lock without waiting.
bool LockIsFree(const std::string &path) {
    Fd fd(open(path.c_str(), O_RDONLY));
    return flock(fd.fd, LOCK_EX | LOCK_NB) == 0;
}

// The stamp of now as the test reads the clock itself; stamps sort as the instants they give.
std::string Now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    return kivtest::F("%04d-%02d-%02d %02d:%02d:%02d.%02ld0", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                      t.tm_min, t.tm_sec, static_cast<long>(tv.tv_usec / 10000));
}
// The 14 digits of a stamp's date and time, as the two text areas give them.
std::string Digits(const std::string &stamp) {
    return std::regex_replace(stamp.substr(0, 19), std::regex("[- :]"), "");
}

class File : public testing::Test {
  protected:
    void SetUp() override {
        std::error_code ec;
        fs::remove_all(kDir, ec);
        fs::create_directories(kDir + "/full/d");
        chdir("/");
        Put(P("f"), "abc");
    }
};

TEST_F(File, FailuresGiveTheirResultAndFileError) {
    Fd rd(open(P("f").c_str(), O_RDONLY)), wr(open(P("f").c_str(), O_WRONLY));
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    Fd pr(p[0]), pw(p[1]);
    const std::string big(70000, 'w');
    int fd = -7;
    int32_t i32 = 55;
    uint32_t u32 = 99;
    char buf[4];
    const auto fails = [&](int result, int want, int fileError, int row = __builtin_LINE()) { // EFAULT: left alone
        EXPECT_EQ(std::pair(result, GetFileError()), std::pair(want, fileError)) << "row at line " << row;
        PrimeFileError();
    };
    PrimeFileError();
    fails(CreateFile(P("f").c_str(), O_WRONLY, 16, &fd), 1, EEXIST);
    fails(CreateFile(P("no/x").c_str(), O_WRONLY, 0, &fd), 2, ENOENT);
    fails(CreateFile(P("big").c_str(), O_WRONLY, -1, &fd), 2, -1); // made, then removed again
    fails(CreateFile(P("n").c_str(), O_WRONLY, 0, nullptr), 2, EFAULT);
    fails(OpenFile(P("no").c_str(), O_RDONLY, &fd), 1, ENOENT);
    fails(OpenFile(P("f").c_str(), O_WRONLY, nullptr), 1, EFAULT);
    fails(SetFileSize(rd.fd, 1), 1, -1);
    fails(GetFileLength(-1, &i32), 1, -1);
    fails(GetFileLength(rd.fd, nullptr), 1, EFAULT);
    fails(SeekFile(-1, 0), 1, EBADF);
    fails(GetFilePos(-1, &i32), -1, EBADF);
    fails(GetFilePos(rd.fd, nullptr), -1, EFAULT);
    fails(CloseFile(-1), -1, EFAULT);
    fails(ReadFile(wr.fd, buf, 3, &u32), 1, EBADF);
    fails(ReadFile(rd.fd, buf, 3, nullptr), 1, EFAULT);
    fails(WriteFile(pw.fd, big.data(), 70000), 1, EFAULT); // a short write
    fails(WriteFile(pw.fd, "x", 1), 1, EAGAIN);
    fails(IsFileExist(P("no").c_str()), 0, EFAULT);
    fails(RenameFile(P("no").c_str(), P("b").c_str()), -1, EFAULT);
    fails(RenameFile(P("f").c_str(), P("no/b").c_str()), -1, ENOENT);
    fails(DeleteFile(nullptr), -1, -1);
    fails(DeleteFile(P("full").c_str()), -1, -1);
    fails(DeleteFile(P("f/x").c_str()), -1, -1); // a directory part that is a file
    fails(DeleteFile((P("f") + std::string(128, 'x')).c_str()), -1, -1);
    // Nothing was handed back, created, removed, locked or consumed.
    EXPECT_EQ(std::tuple(fd, i32, u32), std::tuple(-7, 55, 99u));
    EXPECT_EQ(FileText(P("f")), "abc");
    EXPECT_FALSE(Exists(P("big")) || Exists(P("n")) || Exists(P("b")) || !Exists(P("full/d")));
    EXPECT_TRUE(LockIsFree(P("f")));
    EXPECT_EQ(lseek(rd.fd, 0, SEEK_CUR), 0);
}

TEST_F(File, HelpersLockSizeReadWriteAndRename) {
    umask(022);
    int fd = -1;
    ASSERT_EQ(CreateFile(P("new").c_str(), O_RDWR, 4096, &fd), 0);
    struct stat st {};
    EXPECT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    CloseFile(fd);
    EXPECT_EQ(FileText(P("new")), std::string(4096, '\0'));
    for (int flags : {O_WRONLY, O_RDWR, O_RDONLY}) { // writers hold the exclusive lock until they close
        ASSERT_EQ(OpenFile(P("f").c_str(), flags, &fd), 0);
        EXPECT_EQ(LockIsFree(P("f")), flags == O_RDONLY) << flags;
        EXPECT_EQ(CloseFile(fd), 0);
        ASSERT_EQ(CreateFile(P(std::to_string(flags)).c_str(), flags, 0, &fd), 0);
        EXPECT_EQ(LockIsFree(P(std::to_string(flags))), flags == O_RDONLY) << flags;
        CloseFile(fd);
    }
    Fd f(open(P("f").c_str(), O_RDWR));
    const auto length = [&](int (*get)(int, int32_t *)) {
        int32_t v = 55;
        const int rc = get(f.fd, &v);
        return std::pair(rc, v);
    };
    char buf[16];
    uint32_t n = 99;
    EXPECT_EQ(SetFileSize(f.fd, 2), 0);
    EXPECT_EQ(SetFileSize(f.fd, 4), 0);
    EXPECT_EQ(length(GetFileLength), std::pair(0, 4));
    EXPECT_EQ(ReadFile(f.fd, buf, sizeof buf, &n), 0);
    EXPECT_EQ(std::string(buf, n), std::string("ab\0\0", 4));
    EXPECT_EQ(WriteFile(f.fd, "cd", 2), 0);
    EXPECT_EQ(length(GetFilePos), std::pair(0, 6));
    // Regression: a length or position beyond 31 bits was cut; the largest 32-bit ones pass.
    ASSERT_EQ(ftruncate(f.fd, kThreeGiB), 0);
    EXPECT_EQ(length(GetFileLength), std::pair(1, 55));
    EXPECT_EQ(GetFileError(), EOVERFLOW);
    PrimeFileError();
    ASSERT_EQ(lseek(f.fd, kThreeGiB, SEEK_SET), kThreeGiB);
    EXPECT_EQ(length(GetFilePos), std::pair(-1, 55));
    EXPECT_EQ(GetFileError(), EOVERFLOW);
    ASSERT_EQ(ftruncate(f.fd, INT32_MAX), 0);
    EXPECT_EQ(SeekFile(f.fd, INT32_MAX), 0);
    EXPECT_EQ(length(GetFileLength), std::pair(0, INT32_MAX));
    EXPECT_EQ(length(GetFilePos), std::pair(0, INT32_MAX));
    EXPECT_EQ(RenameFile(P("new").c_str(), P("g").c_str()), 0);
    EXPECT_TRUE(Exists(P("g")) && !Exists(P("new")));
    // Regression: with standard input closed a file was reported missing and descriptor 0 leaked.
    // A file the process may not read counts as missing.
    Put(P("secret"), "");
    ASSERT_EQ(chmod(P("secret").c_str(), 0200), 0);
    EXPECT_EQ(InChild([] {
                  return close(0) == 0 && IsFileExist(P("f").c_str()) == 1 && fcntl(0, F_GETFD) == -1 &&
                         setgid(65534) == 0 && setuid(65534) == 0 && IsFileExist(P("secret").c_str()) == 0;
              }),
              1);
    EXPECT_EQ(IsFileExist(kDir.c_str()), 1);
}

// DeleteFile enters the file's directory and stays there; a missing file counts as removed.
TEST_F(File, DeleteFileRemovesFromTheFilesDirectory) {
    const std::string conf = "/usr/local/zk/ap/conf", master = conf + "/cardmaster.dat", dir = P(std::string(100, 'd'));
    const std::string fits = dir + "/" + std::string(127 - dir.size() - 1, 'n'); // 127 characters
    fs::create_directories(dir);
    fs::create_directories(P("empty"));
    for (const std::string &f : {master, conf + "/bare", P("full/d/f"), fits, fits + "x", P("victim")}) Put(f, "");
    const auto deletes = [](const std::string &from, const std::string &path, int result, const std::string &cwd,
                            const std::string &gone, const std::string &kept) {
        chdir(from.c_str());
        EXPECT_EQ(DeleteFile(path.c_str()), result) << path;
        EXPECT_EQ(Cwd(), cwd) << path;
        EXPECT_TRUE(!Exists(gone) && Exists(kept)) << path;
    };
    deletes("/", master, 0, conf, master, conf);
    deletes("/", master, 0, conf, master, conf);
    deletes(conf, "bare", 0, conf, conf + "/bare", conf);
    deletes("/", P("no/x"), 0, "/", P("no"), kDir);
    deletes("/", P("full/d/"), 0, P("full/d"), P("full/d/x"), P("full/d/f")); // a name "" removes nothing
    deletes("/", P("empty"), 0, kDir, P("empty"), kDir);
    // Regression: a path longer than the 127 characters of the working copy overran it.
    deletes("/", fits + "x", -1, "/", P("no"), fits);
    deletes("/", fits, 0, dir, fits, fits + "x");
    // Regression: "/name" was looked for in an empty directory and reported removed untouched.
    EXPECT_EQ(InChild([] {
                  return chroot(kDir.c_str()) == 0 && chdir("/full") == 0 && DeleteFile("/victim") == 0 && Cwd() == "/";
              }),
              1);
    EXPECT_TRUE(!Exists(P("victim")) && Exists(P("full/d/f")));
}

TEST(ActLog, RecordsCarryStampCodeAndTextCutToTheRecord) {
    setenv("TZ", "UTC0", 1);
    tzset();
    SetDebugFlag(KIV_DEBUG_FLAG_ACTLOG);
    WriteActLog(7, "abcd");
    EXPECT_FALSE(Exists(KIV_ACT_LOG_FILE)) << "a missing log is neither written nor made";
    EXPECT_EQ(GetFileError(), ENOENT);
    Put(KIV_ACT_LOG_FILE, "earlier\r\n");
    const auto record = [](uint32_t code, const char *text, const std::string &rest) {
        const size_t before = FileText(KIV_ACT_LOG_FILE).size();
        const std::string low = Now();
        WriteActLog(code, text);
        const std::string high = Now(), rec = FileText(KIV_ACT_LOG_FILE).substr(before) + std::string(23, ' ');
        EXPECT_TRUE(low <= rec.substr(0, 23) && rec.substr(0, 23) <= high) << rec;
        EXPECT_EQ(rec.substr(23, rec.size() - 46), rest);
    };
    const std::string t223(223, 't'), x400(400, 'x');
    record(7, "abcd", " [007] abcd\r\n");
    record(7, nullptr, " [007]\r\n");
    record(999, t223.c_str(), " [999] " + t223 + "\r\n"); // fills the 255 bytes of a record
    // Regression: a text longer than the record overran it.
    record(7, x400.c_str(), " [007] " + std::string(223, 'x') + "\r\n");
    record(4294967295u, x400.c_str(), " [4294967295] " + std::string(216, 'x') + "\r\n");
    const std::string log = FileText(KIV_ACT_LOG_FILE);
    EXPECT_EQ(log.substr(0, 9), "earlier\r\n");
    for (int32_t flag : {0, 1, 4, ~KIV_DEBUG_FLAG_ACTLOG}) {
        SetDebugFlag(flag);
        WriteActLog(7, "abcd");
    }
    EXPECT_EQ(FileText(KIV_ACT_LOG_FILE), log) << "without its bit of the switch nothing is written";
    SetDebugFlag(KIV_DEBUG_FLAG_ACTLOG);
    // Regression: a log too long for a 32-bit position was written over from its start.
    ASSERT_EQ(truncate(KIV_ACT_LOG_FILE, kThreeGiB), 0);
    WriteActLog(7, "abcd");
    EXPECT_EQ(fs::file_size(KIV_ACT_LOG_FILE), static_cast<uintmax_t>(kThreeGiB));
    std::string head(log.size(), '#');
    std::ifstream(KIV_ACT_LOG_FILE).read(head.data(), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, log);
    SetDebugFlag(0);
    unlink(KIV_ACT_LOG_FILE);
    // The clock's date and time texts, as records carry them.
    char digits[15] = {};
    const std::string low = Now();
    GetDateTimeStr(digits, digits + 8);
    EXPECT_TRUE(Digits(low) <= digits && digits <= Digits(Now())) << digits;
}

TEST(Date, WordsAndTextsOfFixedInstants) {
    // clang-format off
    const struct { const char *zone; time_t secs; long usec; uint32_t date, time; uint16_t weekday; std::string stamp; } rows[] = {
        {"UTC0", 1772615107, 430000, 0x07EA0304, 0x0905072B, 3, "2026-03-04 09:05:07.430"},
        {"UTC0", 1798761599, 999999, 0x07EA0C1F, 0x173B3B63, 4, "2026-12-31 23:59:59.990"}, // last hundredth
        {"UTC0", 1772668800, 0, 0x07EA0305, 0, 4, "2026-03-05 00:00:00.000"},                // midnight
        {"UTC0", 2214131696, 0, 0x07F8021D, 0x0C223800, 3, "2040-02-29 12:34:56.000"},       // after 2038
        {"JST-9", 1772582707, 430000, 0x07EA0304, 0x0905072B, 3, "2026-03-04 09:05:07.430"}, // local time
        // Regression: an instant localtime cannot convert must give defined fields.
        {"UTC0", std::numeric_limits<time_t>::max(), 0, 0, 0, 0, "0000-00-00 00:00:00.000"},
    };
    // clang-format on
    // The date and time areas back to back without terminators; the stamp with its terminator.
    const auto texts = [](uint32_t date, uint32_t time, const std::string &stamp) {
        char buf[48];
        memset(buf, '#', sizeof buf);
        DateTimeStrOf(date, time, buf, buf + 8);
        DebugTimeStrOf(date, time, buf + 15);
        EXPECT_EQ(std::string(buf, 40), Digits(stamp) + "#" + stamp + std::string("\0#", 2));
    };
    for (const auto &r : rows) {
        setenv("TZ", r.zone, 1);
        tzset();
        const timeval tv{r.secs, static_cast<suseconds_t>(r.usec)};
        uint32_t date = 1, time = 1;
        uint16_t weekday = 9;
        GetTimeOf(&tv, &date, &time, &weekday);
        EXPECT_EQ(std::tuple(date, time, weekday), std::tuple(r.date, r.time, r.weekday)) << r.stamp;
        texts(date, time, r.stamp);
    }
    texts(~0u, ~0u, "5535-55-55 55:55:55.550"); // the texts keep their widths whatever the words
    // An instant that cannot be had gives zeros; null out-arguments are skipped.
    uint32_t date = 1, time = 1;
    uint16_t weekday = 9;
    GetTimeOf(nullptr, &date, &time, &weekday);
    EXPECT_EQ(std::tuple(date, time, weekday), std::tuple(0u, 0u, 0));
    const timeval tv{1772615107, 430000};
    GetTimeOf(&tv, nullptr, &time, nullptr);
    EXPECT_EQ(time, 0x0905072Bu);
}

} // namespace
