// SPDX-License-Identifier: MIT
// Pipe records, the named-pipe transport, the recovery of the file-transfer pipe and the status
// notifications, on real FIFOs under /tmp/pipe with threads as the other ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "ipc/osfifo.h"
#include "ipc/stsmsg.h"
#include "kivtest.h"

using namespace std::chrono_literals;
using kivtest::F;
using kivtest::Fd;
using kivtest::Logged;
using kivtest::ReadAvailable;
using kivtest::Texts;

namespace {

const std::string kPipe = "/tmp/pipe/FifoTest", kMissing = "/tmp/pipe/FifoNone";
const std::string kEnoent = "errno=2(No such file or directory))\n";
const std::string kEagain = "errno=11(Resource temporarily unavailable))\n";

std::string Blank(size_t n) { return std::string(n, ' '); }
Texts operator+(Texts a, const Texts &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Texts Times(int n, const std::string &text) { return Texts(static_cast<size_t>(n), text); }
Texts ProbeFails(const std::string &fifo) { return Times(3, "FIFO read open error (fifo=" + fifo + ", " + kEnoent); }
std::string Func(const std::string &what, const std::string &file, const std::string &fn) {
    return what + " of function ,common/ipc/" + file + ".cpp,N,@" + fn + "\n";
}

int Flags(int fd) { return fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK); }
bool Exists(const char *path) { return access(path, F_OK) == 0; }

// A pipe held read-write and non-blocking, as its reading module holds it.
int Held(const std::string &path) {
    mkfifo(path.c_str(), 0666);
    return open(path.c_str(), O_RDWR | O_NONBLOCK);
}

// Fills a non-blocking pipe with 256-byte records until it takes no more; returns their number.
int FillPipe(int fd) {
    const std::string rec = "011054" + std::string(250, 'f');
    int n = 0;
    while (write(fd, rec.data(), rec.size()) == static_cast<ssize_t>(rec.size())) ++n;
    return n;
}

// Whether some descriptor of this process holds path open for writing only.
bool WriterHolds(const std::string &path) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
        std::string key;
        int flags = 0;
        while (std::filesystem::read_symlink(e.path(), ec) == path && info >> key)
            if (key == "flags:" && (info >> std::oct >> flags) && (flags & O_ACCMODE) == O_WRONLY) return true;
    }
    return false;
}

class Ipc : public testing::Test {
  protected:
    static void SetUpTestSuite() { (void)signal(SIGPIPE, SIG_IGN); }
    void SetUp() override { kivtest::ClearLog(); }
    void TearDown() override {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(KIV_FIFO_DIR, ec)) std::filesystem::remove(e, ec);
    }
    ProcInfo pi_{};
};

// A pipe made and held, a record through it, a write and a close.
TEST_F(Ipc, OperationsOnAHeldPipe) {
    Fd sts(Held(KIV_FIFO_STS));
    umask(022);
    EXPECT_EQ(ComFifoCreateOpen(&pi_, kPipe.c_str(), 0), 0);
    struct stat st {};
    EXPECT_EQ(stat(kPipe.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, S_IFIFO | 0755u);
    Fd rw(ComFifoCreateOpen(&pi_, kPipe.c_str(), 6));
    ASSERT_GT(rw.fd, 2);
    const std::string zeros("\0\x01\xff   \x80\0", 8);
    EXPECT_EQ(ComFIFOPutDataforFtpLog(kPipe.c_str(), 80, 901, (zeros + Blank(242)).data()), 0);
    std::string buffer(300, 'Z');
    EXPECT_EQ(ComFifoRead(&pi_, rw.fd, buffer.data()), 256);
    EXPECT_EQ(buffer.substr(0, 14), "080901" + zeros);
    auto given = std::make_unique<char[]>(5); // exactly five bytes on the heap: no more may show
    std::memcpy(given.get(), "%s%n%x", 5);
    EXPECT_EQ(ComFifoWrite(rw.fd, given.get(), 5), 0);
    EXPECT_EQ(ReadAvailable(rw.fd), "%s%n%");
    EXPECT_EQ(ComFifoClose(&pi_, rw.fd), 0); // closed, or the leak check would say so
    rw.fd = -1;
    EXPECT_EQ(ReadAvailable(sts.fd), ""); // a delivered log record asks for no stop
    EXPECT_EQ(Logged(LOG_INFO), Texts{});
}

TEST_F(Ipc, RecordsTravelVerbatimAndSplitAsTheyArrive) {
    Fd rd(Held(kPipe));
    std::string data = Blank(250);
    data.replace(0, 8, std::string("\0\x01\xff%s%n\0", 8));
    data[249] = '\0';
    // An id that needs more than three characters keeps its first three.
    EXPECT_EQ(ComFIFOPutData2(kPipe.c_str(), 53, 609, data.data()), 0);
    EXPECT_EQ(ComFIFOPutData3(kPipe.c_str(), 1000, -5, data.data()), 0);
    EXPECT_EQ(ComFIFOPutData2(kPipe.c_str(), -1, 1234, data.data()), 0);
    EXPECT_EQ(ReadAvailable(rd.fd), "053609" + data + "100-05" + data + "-01123" + data);
    // Ids are read by their leading digits; a short read is dropped with its count and an empty
    // pipe gives 0, both leaving every output alone.
    pi_.iSelectDes = rd.fd;
    const auto got = [&](const std::string &in, int result, int mod, int cmd, const std::string &out) {
        ASSERT_EQ(write(rd.fd, in.data(), in.size()), static_cast<ssize_t>(in.size()));
        int m = -1, c = -1;
        std::string d(250, '\xAA');
        EXPECT_EQ(ComFIFOGetData(&pi_, &m, &c, d.data()), result) << in;
        EXPECT_EQ(std::tuple(m, c, d), std::tuple(mod, cmd, out));
    };
    got("080901" + data, 256, 80, 901, data);
    got("ab112x" + Blank(250), 256, 0, 12, Blank(250));
    got("053609AB", 0, -1, -1, std::string(250, '\xAA'));
    got("", 0, -1, -1, std::string(250, '\xAA'));
    EXPECT_EQ(pi_.iErrno, 0);
    EXPECT_EQ(Logged(LOG_INFO),
              Texts{"short record dropped(fifoDescript=" + std::to_string(rd.fd) + ", read-cnt=8byte)\n"});
}

TEST_F(Ipc, FailuresReturnMinusOneWithErrnoAndTheirLines) {
    Fd reader(Held(kPipe));
    Fd writer(open(kPipe.c_str(), O_WRONLY | O_NONBLOCK));
    close(reader.fd);
    reader.fd = -1; // a pipe without reader
    // Each call fails with -1 and its lines; a call given the record leaves its errno there (77:
    // left alone). kNone: the call takes no record.
    constexpr int kNone = -2;
    const auto fails = [&](int result, int iErrno, const Texts &lines, int row = __builtin_LINE()) {
        EXPECT_EQ(result, -1) << "row at line " << row;
        EXPECT_TRUE(iErrno == kNone || pi_.iErrno == iErrno) << "row at line " << row << ": " << pi_.iErrno;
        EXPECT_EQ(Logged(LOG_INFO), lines) << "row at line " << row;
        pi_.iErrno = 77;
    };
    const auto opening = [&](const std::string &path, int kind) { return ComFifoCreateOpen(&pi_, path.c_str(), kind); };
    pi_.iErrno = 77;
    fails(opening("/tmp/pipe/no/FifoX", 0), ENOENT, {"mkfifo failed(/tmp/pipe/no/FifoX, errno=2)\n"});
    fails(opening(kMissing, 1), ENOENT, {"open(read) failed(" + kMissing + ", errno=2)\n"});
    fails(opening(kMissing, 6), ENOENT, {"open(RW) failed(" + kMissing + ", errno=2)\n"});
    fails(opening(kPipe, 5), ENXIO, {"open(write) failed(" + kPipe + ", errno=6)\n"});
    fails(opening(kMissing, 7), 77, {"error of kind(7)\n"});
    fails(opening(kMissing, -1), 77, {"error of kind(-1)\n"});
    std::string buf(256, '\0');
    fails(ComFifoRead(&pi_, -1, buf.data()), EBADF, {"read failed(fifoDescript=-1), errno=9\n"});
    fails(ComFifoClose(&pi_, -1), EBADF, {"FifoClose failed(iFifoDescriptor=-1, errno=9)\n"});
    fails(ComFifoWrite(-1, "abc", 3), kNone, {"send failed(iFifoDescript=-1, errno=9)\n"});
    fails(ComFIFOPutData3(kPipe.c_str(), 53, 609, Blank(250).data()), kNone,
          Times(3, "FIFO write open error (fifo=" + kPipe + ", errno=6(No such device or address))\n"));
    // A regular file in a pipe's place receives nothing.
    const std::string file = "/tmp/pipe/FifoFile";
    Fd regular(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    const Texts refused = Times(3, "FIFO write open error (fifo=" + file + ", errno=22(Invalid argument))\n");
    fails(ComFIFOPutData2(file.c_str(), 53, 609, Blank(250).data()), kNone, refused);
    fails(ComFIFOPutData3(file.c_str(), 53, 609, Blank(250).data()), kNone, refused);
    EXPECT_EQ(kivsim::FileText(file), "");
    EXPECT_FALSE(Exists(kMissing.c_str()));
}

TEST_F(Ipc, EachKindOpensAsItsCallerNeeds) {
    Fd holder(Held(kPipe)); // a reader and a writer: no kind waits
    // clang-format off
    const int flags[] = {0, O_RDONLY, O_RDONLY | O_NONBLOCK, O_RDONLY | O_NONBLOCK, O_WRONLY, O_WRONLY | O_NONBLOCK,
                         O_RDWR | O_NONBLOCK};
    // clang-format on
    EXPECT_EQ(ComFifoCreateOpen(&pi_, kPipe.c_str(), 0), 0) << "an existing pipe is accepted";
    for (int kind = 1; kind <= 6; ++kind) {
        Fd fd(ComFifoCreateOpen(&pi_, kPipe.c_str(), kind));
        EXPECT_EQ(Flags(fd.fd), flags[kind]) << kind;
    }
    EXPECT_EQ(pi_.iErrno, 0);
}

// Kinds 4 and 5 retry every 50 ms while the pipe is missing: over 500 ms about ten tries, at least
// six (a slower retry makes fewer), none shorter than 50 ms (a faster one makes more).
TEST_F(Ipc, WriterOpensRetryEvery50msUntilThePipeExists) {
    const std::string staged = "/tmp/pipe/FifoStaged";
    const std::string sleepLine = "sleep() of open(" + kPipe + ")\n";
    for (int kind : {4, 5}) {
        Fd reader(Held(staged)); // the pipe appears under its name with its reader already there
        const auto start = std::chrono::steady_clock::now();
        auto opened = std::async(std::launch::async, [&] { return ComFifoCreateOpen(&pi_, kPipe.c_str(), kind); });
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(opened.wait_for(0s), std::future_status::timeout);
        EXPECT_EQ(rename(staged.c_str(), kPipe.c_str()), 0);
        Fd got(opened.get());
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(Flags(got.fd), kind == 4 ? O_WRONLY : O_WRONLY | O_NONBLOCK);
        const size_t sleeps = kivtest::Count(LOG_DEBUG, sleepLine);
        EXPECT_GE(sleeps, 6u);
        EXPECT_GE(took, sleeps * 50ms);
        unlink(kPipe.c_str());
        kivtest::ClearLog();
    }
}

// The waiting sender waits for a reader and for room a second at most in all, then fails with the
// errno of its last attempt; a reader that comes within the bound gets the record.
TEST_F(Ipc, PutData2WaitsForReaderAndRoomOnlyASecond) {
    mkfifo(kPipe.c_str(), 0666); // left behind by a reader that died
    Fd full(Held("/tmp/pipe/FifoFull"));
    FillPipe(full.fd);
    const auto fails = [&](const std::string &fifo, int err, const std::string &line) {
        const auto start = std::chrono::steady_clock::now();
        errno = 0;
        EXPECT_EQ(ComFIFOPutData2(fifo.c_str(), 53, 54, Blank(250).data()), -1);
        EXPECT_EQ(errno, err) << fifo;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(took >= 900ms && took < 3s) << fifo << " " << std::chrono::duration<double>(took).count();
        EXPECT_EQ(Logged(LOG_INFO), Times(3, line));
        kivtest::ClearLog();
    };
    fails(kPipe, ENXIO, "FIFO write open error (fifo=" + kPipe + ", errno=6(No such device or address))\n");
    fails("/tmp/pipe/FifoFull", EAGAIN, "FIFO write error (fifo=/tmp/pipe/FifoFull, " + kEagain);
    auto late = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(200ms);
        return Held(kPipe);
    });
    EXPECT_EQ(ComFIFOPutData2(kPipe.c_str(), 53, 54, Blank(250).data()), 0);
    Fd reader(late.get());
    EXPECT_EQ(ReadAvailable(reader.fd), "053054" + Blank(250));
}

// A module started with its standard descriptors closed is handed none of them, and no descriptor
// of the library reaches the program of a child.
TEST_F(Ipc, DescriptorsStayAboveTheStandardOnesAndCloseOnExec) {
    Fd holder(Held(kPipe)), saved(dup(0));
    close(0);
    Fd fd(ComFifoCreateOpen(&pi_, kPipe.c_str(), 6));
    dup2(saved.fd, 0);
    EXPECT_GT(fd.fd, 2);
    EXPECT_EQ(fcntl(fd.fd, F_GETFD), FD_CLOEXEC);
}

// Regression: a record whose write failed when the stream was closed was reported as delivered.
TEST_F(Ipc, PutData2ReaderGoneDuringWriteIsNotReportedAsDelivered) {
    Fd rd(Held(kPipe));
    FillPipe(rd.fd);
    const std::string data = Blank(250);
    auto result = std::async(std::launch::async, [&] { return ComFIFOPutData2(kPipe.c_str(), 53, 54, data.data()); });
    // Once the sender holds the pipe open for writing, its write fails when the reader goes,
    // whether or not it is already waiting for room.
    for (int i = 0; i < 1000 && !WriterHolds(kPipe); ++i) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(WriterHolds(kPipe));
    unlink(kPipe.c_str());
    close(rd.fd);
    rd.fd = -1;
    EXPECT_EQ(result.get(), -1);
    EXPECT_EQ(Logged(LOG_INFO),
              Texts{"FIFO write error (fifo=" + kPipe + ", errno=32(Broken pipe))\n"} + Texts(2, ProbeFails(kPipe)[0]));
}

// A failed delivery to the file-transfer module: its pipe is drained by 245 reads and the
// supervisor is asked to stop the module.
Texts Recovery(const std::string &fifo, const Texts &drain, const Texts &stop) {
    return Texts{Func("start", "ftplog", "ComFIFOGetFTP")} + drain +
           Texts{Func("start", "stsmsg", "SendStsModuleKill")} + stop +
           Texts{Func("end", "stsmsg", "SendStsModuleKill"),
                 "pipe=" + fifo + " is ERROR .iRet=-1 ,common/ipc/ftplog.cpp,N,@ComFIFOPutDataforFtpLog\n"};
}

TEST_F(Ipc, FullFtpPipeIsDrainedAndModuleStopIsRequested) {
    Fd sts(Held(KIV_FIFO_STS)), ftp(Held(KIV_FIFO_FTP));
    fcntl(ftp.fd, F_SETPIPE_SZ, 4096);
    const int held = FillPipe(ftp.fd);
    EXPECT_EQ(ComFIFOPutDataforFtpLog(KIV_FIFO_FTP, 53, 54, Blank(250).data()), -1);
    // The drain's mkfifo finds the pipe there: that ends a trace of its own.
    const std::string end = Func("end", "ftplog", "ComFIFOGetFTP");
    EXPECT_EQ(
        Logged(LOG_INFO),
        Times(3, "FIFO write error (fifo=" KIV_FIFO_FTP ", " + kEagain) +
            Recovery(KIV_FIFO_FTP, Texts{end} + Times(245 - held, "FIFO read error (" + kEagain) + Texts{end}, {}));
    EXPECT_EQ(ReadAvailable(sts.fd), "053631011" + Blank(247));
    EXPECT_EQ(ReadAvailable(ftp.fd), "");
}

// The supervisor holds both of its pipes read-write.
TEST_F(Ipc, StatusNotificationsReachTheSupervisor) {
    Fd sts(Held(KIV_FIFO_STS)), stsp(Held(KIV_FIFO_STSP));
    auto tag = std::make_unique<char[]>(3); // reading a fourth byte is caught
    std::memcpy(tag.get(), "03", 3);
    const auto sent = [&](int to, const std::string &record, const Texts &lines = {}) {
        EXPECT_EQ(ReadAvailable(to), record + Blank(256 - record.size()));
        EXPECT_EQ(ReadAvailable(to == sts.fd ? stsp.fd : sts.fd), "");
        EXPECT_EQ(Logged(LOG_INFO), lines) << record;
    };
    WakeupComplete(53, 0, "0312");
    sent(stsp.fd, "0536000000312");
    WakeupComplete(53, 0, tag.get());
    sent(stsp.fd, "05360000003");
    WakeupComplete(53, 0, nullptr);
    sent(stsp.fd, "053600000");
    TerminateComplete(53, 1);
    sent(sts.fd, "053605001");
    // Kind and value go as raw bytes, modulo 256.
    EXPECT_EQ(SendSTSError(1, 1), 0);
    sent(sts.fd, "053609\x05\x01");
    EXPECT_EQ(SendSTSError(INT_MAX, -1), 0);
    sent(sts.fd, "053609\x03\xff");
    SendStsModuleKill(KIV_FIFO_FTP, 53, 11); // to the supervisor whatever the pipe named
    sent(sts.fd, "053631011",
         {Func("start", "stsmsg", "SendStsModuleKill"), Func("end", "stsmsg", "SendStsModuleKill")});
    EXPECT_FALSE(Exists(KIV_FIFO_FTP));
    close(sts.fd);
    sts.fd = -1;
    TearDown(); // a sender gives up after three probes and creates no pipe
    EXPECT_EQ(SendSTSError(1, 1), -1);
    EXPECT_EQ(Logged(LOG_INFO), ProbeFails(KIV_FIFO_STS));
    EXPECT_FALSE(Exists(KIV_FIFO_STS));
}

} // namespace
