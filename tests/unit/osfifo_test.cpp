// Pipe record, named-pipe transport and the recovery of the file-transfer pipe, on real FIFOs
// under /tmp/pipe with real threads as the other ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "ipc/osfifo.h"
#include "kivtest.h"

using namespace std::chrono_literals;
using kivtest::Syslog;

namespace {

const std::string kPipe = "/tmp/pipe/FifoTest";
const std::string kMissing = "/tmp/pipe/FifoNone";
const std::string kEagain = "errno=11(Resource temporarily unavailable)";

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

size_t Count(int pri, const std::string &text) {
    Syslog().Sync();
    return Syslog().Count(pri, text);
}

size_t CountPrefix(int pri, const std::string &prefix) {
    Syslog().Sync();
    return Syslog().CountPrefix(pri, prefix);
}

// Index of every line of this priority that matches the pattern, in arrival order.
std::vector<size_t> Find(int pri, const std::string &pattern) {
    Syslog().Sync();
    const std::regex re(pattern);
    std::vector<size_t> at;
    const auto lines = Syslog().Lines();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].pri == pri && std::regex_match(lines[i].text, re)) at.push_back(i);
    return at;
}

// "start of function ,<file>,<line>,@<fn>\n" and its end twin.
std::string FuncLine(const std::string &what, const std::string &file, const std::string &fn) {
    return what + " of function ,common/ipc/" + file + ",[0-9]+,@" + fn + "\n";
}

using kivtest::ReadAvailable;

void WriteAll(int fd, const std::string &bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Fills a non-blocking pipe with 256-byte records until it takes no more; returns their number.
int FillPipe(int fd) {
    const std::string rec = "011054" + std::string(250, 'f');
    int n = 0;
    while (write(fd, rec.data(), rec.size()) == static_cast<ssize_t>(rec.size())) ++n;
    return n;
}

// Opens the other end of a FIFO once a peer waits on it, without ever blocking the test.
int OpenPeer(const std::string &path, int flags) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        int fd = open(path.c_str(), flags | O_NONBLOCK);
        if (fd >= 0 || std::chrono::steady_clock::now() > deadline) return fd;
        std::this_thread::sleep_for(5ms);
    }
}

int Flags(int fd) { return fcntl(fd, F_GETFL); }

// Whether some descriptor of this process holds path open for writing only.
bool WriterHolds(const std::string &path) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        if (std::filesystem::read_symlink(e.path(), ec) != path) continue;
        std::ifstream info("/proc/self/fdinfo/" + e.path().filename().string());
        std::string key;
        int flags = 0;
        while (info >> key)
            if (key == "flags:" && (info >> std::oct >> flags) && (flags & O_ACCMODE) == O_WRONLY) return true;
    }
    return false;
}

mode_t Umask() {
    mode_t m = umask(0);
    umask(m);
    return m;
}

class OsFifo : public testing::Test {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
    void SetUp() override { Syslog().Clear(); }
    void TearDown() override {
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator("/tmp/pipe", ec)) std::filesystem::remove(e, ec);
    }
    ProcInfo pi_{};
};

// ---- the record ----

TEST_F(OsFifo, SendersWriteIdsAndDataBytesVerbatim) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    Fd rd(open(kPipe.c_str(), O_RDWR | O_NONBLOCK));
    std::string data(250, ' ');
    data.replace(0, 8, std::string("\0\x01\xff%s%n\0", 8), 0, 8);
    data[249] = '\0';

    EXPECT_EQ(ComFIFOPutData2(kPipe.c_str(), 53, 609, data.data()), 0);
    EXPECT_EQ(ReadAvailable(rd.fd), "053609" + data);
    EXPECT_EQ(ComFIFOPutData3(kPipe.c_str(), 53, 609, data.data()), 0);
    EXPECT_EQ(ReadAvailable(rd.fd), "053609" + data);
    // An id that needs more than three characters keeps its first three.
    EXPECT_EQ(ComFIFOPutData2(kPipe.c_str(), 1000, -5, data.data()), 0);
    EXPECT_EQ(ReadAvailable(rd.fd), "100-05" + data);

    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("start", "osfifo.cpp", "ComFIFOPutData3")).size(), 1u);
    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("end", "osfifo.cpp", "ComFIFOPutData3")).size(), 1u);
    EXPECT_EQ(CountPrefix(LOG_INFO, ""), 0u);
}

TEST_F(OsFifo, GetDataSplitsRecordAndPassesZeroBytes) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    Fd rd(p[0]), wr(p[1]);
    std::string data(250, ' ');
    data.replace(0, 8, std::string("\0\x01\xff   \x80\0", 8), 0, 8);
    data[249] = '\0';
    WriteAll(wr.fd, "080901" + data);
    pi_.iSelectDes = rd.fd;
    int mod = -1, cmd = -1;
    std::array<unsigned char, 250> out;
    out.fill(0xAA);

    EXPECT_EQ(ComFIFOGetData(&pi_, &mod, &cmd, out.data()), 256);
    EXPECT_EQ(mod, 80);
    EXPECT_EQ(cmd, 901);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out.data()), out.size()), data);
    EXPECT_EQ(Count(LOG_DEBUG, "ComFIFOGetData() mid = 80, cid = 901, rcv_data = 00 01 ff 20 20 20 80 00"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "pid=" + std::to_string(getpid()) + ", read-cnt=256byte\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "receive-data=080901\n"), 1u);

    // Ids are converted by their leading digits; none gives 0.
    WriteAll(wr.fd, "ab112x" + std::string(250, ' '));
    EXPECT_EQ(ComFIFOGetData(&pi_, &mod, &cmd, out.data()), 256);
    EXPECT_EQ(mod, 0);
    EXPECT_EQ(cmd, 12);
}

TEST_F(OsFifo, GetDataParsesShortReadAsWholeRecord) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    Fd rd(p[0]), wr(p[1]);
    WriteAll(wr.fd, "053609AB");
    pi_.iSelectDes = rd.fd;
    int mod = -1, cmd = -1;
    std::array<unsigned char, 250> out;
    out.fill(0xAA);

    EXPECT_EQ(ComFIFOGetData(&pi_, &mod, &cmd, out.data()), 8);
    EXPECT_EQ(mod, 53);
    EXPECT_EQ(cmd, 609);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out.data()), out.size()), "AB" + std::string(248, '\0'));
    EXPECT_EQ(Count(LOG_DEBUG, "pid=" + std::to_string(getpid()) + ", read-cnt=8byte\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "receive-data=053609AB\n"), 1u);
}

TEST_F(OsFifo, EmptyOrClosedPipeReadsNothingAndLeavesOutputs) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    Fd rd(p[0]);
    Fd wr(p[1]);
    pi_.iErrno = 77;
    pi_.iSelectDes = rd.fd;
    int mod = -1, cmd = -1;
    std::array<unsigned char, 250> out;
    out.fill(0xAA);

    EXPECT_EQ(ComFIFOGetData(&pi_, &mod, &cmd, out.data()), 0);
    close(wr.fd);
    wr.fd = -1;
    EXPECT_EQ(ComFIFOGetData(&pi_, &mod, &cmd, out.data()), 0); // end of file
    EXPECT_EQ(mod, -1);
    EXPECT_EQ(cmd, -1);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(pi_.iErrno, 77);
    EXPECT_EQ(Count(LOG_DEBUG, "start of ComFifoRead()\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComFifoRead()\n"), 2u);
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "pid="), 0u);
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "receive-data="), 0u);
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "ComFIFOGetData()"), 0u);
}

TEST_F(OsFifo, ReadWriteCloseFailuresAreLoggedWithErrno) {
    pi_.iErrno = 77;
    std::array<char, 256> buf{};
    EXPECT_EQ(ComFifoRead(&pi_, -1, buf.data()), -1);
    EXPECT_EQ(pi_.iErrno, EBADF);
    EXPECT_EQ(Count(LOG_INFO, "read failed(fifoDescript=-1), errno=9\n"), 1u);

    pi_.iErrno = 77;
    EXPECT_EQ(ComFifoWrite(-1, "abc", 3), -1);
    EXPECT_EQ(pi_.iErrno, 77);
    EXPECT_EQ(Count(LOG_INFO, "send failed(iFifoDescript=-1, errno=9)\n"), 1u);

    EXPECT_EQ(ComFifoClose(&pi_, -1), -1);
    EXPECT_EQ(pi_.iErrno, EBADF);
    EXPECT_EQ(Count(LOG_INFO, "FifoClose failed(iFifoDescriptor=-1, errno=9)\n"), 1u);
}

TEST_F(OsFifo, WriteAndCloseSucceed) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    Fd rd(p[0]);
    EXPECT_EQ(ComFifoWrite(p[1], "he\0lo", 5), 0);
    EXPECT_EQ(ReadAvailable(rd.fd), std::string("he\0lo", 5));
    const std::string fd = std::to_string(p[1]);
    EXPECT_EQ(Count(LOG_DEBUG, "send ok(iFifoDescript=" + fd + ")\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "send data(he)\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComFifoWrite()\n"), 1u);

    EXPECT_EQ(ComFifoClose(&pi_, p[1]), 0);
    EXPECT_EQ(fcntl(p[1], F_GETFD), -1);
    EXPECT_EQ(Count(LOG_DEBUG, "FifoClose success(iFifoDescriptor=" + fd + ")\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComFifoClose()\n"), 1u);
}

// Unterminated bytes are printed no further than the count; "%" in data stays text.
TEST_F(OsFifo, DataLinesStopAtByteCountAndNeverFormatData) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    Fd rd(p[0]), wr(p[1]);
    const std::string bytes = "%s%n%x" + std::string(250, 'x');
    // Exactly as many bytes as given, on the heap, so reading beyond them is caught.
    auto given = std::make_unique<char[]>(bytes.size());
    bytes.copy(given.get(), bytes.size());
    ASSERT_EQ(ComFifoWrite(wr.fd, given.get(), 5), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "send data(%s%n%)\n"), 1u);
    ASSERT_EQ(ComFifoWrite(wr.fd, given.get() + 5, 251), 0);

    // Text follows the 256 received bytes in the buffer; none of it may show.
    std::array<char, 300> buffer;
    buffer.fill('Z');
    buffer.back() = '\0';
    EXPECT_EQ(ComFifoRead(&pi_, rd.fd, buffer.data()), 256);
    EXPECT_EQ(Count(LOG_DEBUG, "receive-data=" + bytes + "\n"), 1u);
}

// ---- opening ----

TEST_F(OsFifo, Kind0CreatesPipeAndAcceptsAnExistingOne) {
    EXPECT_EQ(ComFifoCreateOpen(&pi_, kPipe.c_str(), 0), 0);
    struct stat st {};
    ASSERT_EQ(stat(kPipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~Umask());
    EXPECT_EQ(ComFifoCreateOpen(&pi_, kPipe.c_str(), 0), 0);
    EXPECT_EQ(Count(LOG_DEBUG, "start of ComFifoCreate()\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "fifoname = " + kPipe + "\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "kind = 0\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "create of FIFO Pipe(" + kPipe + ")\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "mkfifo success(" + kPipe + ")\n"), 2u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComFifoCreate()\n"), 2u);

    EXPECT_EQ(ComFifoCreateOpen(&pi_, "/tmp/pipe/no/FifoX", 0), -1);
    EXPECT_EQ(pi_.iErrno, ENOENT);
    EXPECT_EQ(Count(LOG_INFO, "mkfifo failed(/tmp/pipe/no/FifoX, errno=2)\n"), 1u);
}

TEST_F(OsFifo, KindOutsideZeroToSixIsRejected) {
    for (int kind : {7, -1, INT_MIN}) {
        pi_.iErrno = 77;
        EXPECT_EQ(ComFifoCreateOpen(&pi_, kPipe.c_str(), kind), -1);
        EXPECT_EQ(pi_.iErrno, 77);
        EXPECT_EQ(Count(LOG_INFO, "error of kind(" + std::to_string(kind) + ")\n"), 1u);
    }
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "start of open"), 0u);
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "end of ComFifoCreate"), 0u);
    EXPECT_NE(access(kPipe.c_str(), F_OK), 0);
}

TEST_F(OsFifo, Kind1OpenReturnsOnceAWriterAppears) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    std::atomic<int> fd{-2};
    std::thread t([&] {
        ProcInfo pi{};
        fd = ComFifoCreateOpen(&pi, kPipe.c_str(), 1);
    });
    ASSERT_TRUE(Syslog().WaitFor(LOG_DEBUG, "start of open read(" + kPipe + ")\n"));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(fd.load(), -2) << "returned before any writer held the pipe";
    Fd writer(OpenPeer(kPipe, O_WRONLY));
    t.join();
    Fd got(fd.load());
    ASSERT_GE(got.fd, 0);
    EXPECT_EQ(Flags(got.fd) & (O_ACCMODE | O_NONBLOCK), O_RDONLY);
    EXPECT_EQ(Count(LOG_DEBUG, "open FifoDescriptor(read) = " + std::to_string(got.fd) + "\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "end of ComFifoCreate()\n"), 1u);
}

TEST_F(OsFifo, Kind4RetriesWhileMissingThenReturnsOnceAReaderAppears) {
    std::atomic<int> fd{-2};
    std::thread t([&] {
        ProcInfo pi{};
        fd = ComFifoCreateOpen(&pi, kPipe.c_str(), 4);
    });
    ASSERT_TRUE(Syslog().WaitFor(LOG_DEBUG, "sleep() of open(" + kPipe + ")\n"));
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(fd.load(), -2) << "returned before any reader held the pipe";
    Fd reader(open(kPipe.c_str(), O_RDONLY | O_NONBLOCK));
    t.join();
    Fd got(fd.load());
    ASSERT_GE(got.fd, 0);
    EXPECT_EQ(Flags(got.fd) & (O_ACCMODE | O_NONBLOCK), O_WRONLY);
    EXPECT_EQ(Count(LOG_DEBUG, "open FifoDescriptor(write) = " + std::to_string(got.fd) + "\n"), 1u);
}

TEST_F(OsFifo, Kind2And6OpenWithoutWaiting) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    Fd r(ComFifoCreateOpen(&pi_, kPipe.c_str(), 2));
    ASSERT_GE(r.fd, 0);
    EXPECT_EQ(Flags(r.fd) & (O_ACCMODE | O_NONBLOCK), O_RDONLY | O_NONBLOCK);
    Fd rw(ComFifoCreateOpen(&pi_, kPipe.c_str(), 6));
    ASSERT_GE(rw.fd, 0);
    EXPECT_EQ(Flags(rw.fd) & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
    EXPECT_EQ(Count(LOG_DEBUG, "start of open RW(" + kPipe + ")\n"), 1u);
    EXPECT_EQ(Count(LOG_DEBUG, "open FifoDescriptor(RW) = " + std::to_string(rw.fd) + "\n"), 1u);

    EXPECT_EQ(ComFifoCreateOpen(&pi_, kMissing.c_str(), 2), -1);
    EXPECT_EQ(pi_.iErrno, ENOENT);
    EXPECT_EQ(Count(LOG_INFO, "open(read) failed(" + kMissing + ", errno=2)\n"), 1u);
    EXPECT_EQ(ComFifoCreateOpen(&pi_, kMissing.c_str(), 6), -1);
    EXPECT_EQ(Count(LOG_INFO, "open(RW) failed(" + kMissing + ", errno=2)\n"), 1u);
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "sleep()"), 0u);
}

// The calling thread loses its power to override file permissions (capabilities are per thread).
bool DropDacOverride() {
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> caps{};
    if (syscall(SYS_capget, &hdr, caps.data()) != 0) return false;
    caps[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
    return syscall(SYS_capset, &hdr, caps.data()) == 0;
}

TEST_F(OsFifo, Kind3RetriesWhileAccessIsDenied) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    ASSERT_EQ(chmod(kPipe.c_str(), 0), 0);
    std::atomic<int> fd{-2};
    std::atomic<int> iErrno{-2};
    std::thread t([&] {
        ProcInfo pi{};
        if (!DropDacOverride()) return;
        fd = ComFifoCreateOpen(&pi, kPipe.c_str(), 3);
        iErrno = pi.iErrno;
    });
    const std::string sleepLine = "sleep() of open(" + kPipe + ")\n";
    for (int i = 0; i < 100 && Count(LOG_DEBUG, sleepLine) < 2; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_GE(Count(LOG_DEBUG, sleepLine), 2u);
    EXPECT_EQ(fd.load(), -2);
    ASSERT_EQ(chmod(kPipe.c_str(), 0600), 0);
    t.join();
    Fd got(fd.load());
    ASSERT_GE(got.fd, 0);
    EXPECT_EQ(iErrno.load(), 0);
    EXPECT_EQ(Flags(got.fd) & (O_ACCMODE | O_NONBLOCK), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(CountPrefix(LOG_INFO, "open(read) failed"), 0u);
}

TEST_F(OsFifo, Kind5RetriesEvery50msUntilThePipeExists) {
    // The pipe appears under its name with its reader already there, so no retry meets it unread.
    const std::string staged = "/tmp/pipe/FifoStaged";
    ASSERT_EQ(mkfifo(staged.c_str(), 0666), 0);
    Fd reader(open(staged.c_str(), O_RDONLY | O_NONBLOCK));
    std::atomic<int> fd{-2};
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration took{};
    std::thread t([&] {
        ProcInfo pi{};
        fd = ComFifoCreateOpen(&pi, kPipe.c_str(), 5);
        took = std::chrono::steady_clock::now() - start;
    });
    const std::string sleepLine = "sleep() of open(" + kPipe + ")\n";
    ASSERT_TRUE(Syslog().WaitFor(LOG_DEBUG, sleepLine));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(rename(staged.c_str(), kPipe.c_str()), 0);
    t.join();
    Fd got(fd.load());
    ASSERT_GE(got.fd, 0);
    EXPECT_EQ(Flags(got.fd) & (O_ACCMODE | O_NONBLOCK), O_WRONLY | O_NONBLOCK);
    const size_t sleeps = Count(LOG_DEBUG, sleepLine);
    EXPECT_GE(sleeps, 3u);
    EXPECT_EQ(Count(LOG_DEBUG, "start of open write(" + kPipe + ")\n"), sleeps + 1);
    EXPECT_GE(took, sleeps * 50ms);
}

TEST_F(OsFifo, Kind5WithoutReaderFailsAtOnceWithENXIO) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    EXPECT_EQ(ComFifoCreateOpen(&pi_, kPipe.c_str(), 5), -1);
    EXPECT_EQ(pi_.iErrno, ENXIO);
    EXPECT_EQ(Count(LOG_INFO, "open(write) failed(" + kPipe + ", errno=6)\n"), 1u);
    EXPECT_EQ(CountPrefix(LOG_DEBUG, "sleep()"), 0u);
}

// ---- the senders ----

TEST_F(OsFifo, SendersTowardsMissingPipeFailAtProbeAndCreateNothing) {
    const std::string data(250, ' ');
    const std::string line = "FIFO read open error (fifo=" + kMissing + ", errno=2(No such file or directory))\n";
    EXPECT_EQ(ComFIFOPutData2(kMissing.c_str(), 53, 609, data.data()), -1);
    EXPECT_EQ(Count(LOG_INFO, line), 3u);
    EXPECT_EQ(ComFIFOPutData3(kMissing.c_str(), 53, 609, data.data()), -1);
    EXPECT_EQ(Count(LOG_INFO, line), 6u);
    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("end", "osfifo.cpp", "ComFIFOPutData3")).size(), 1u);
    EXPECT_NE(access(kMissing.c_str(), F_OK), 0);
}

TEST_F(OsFifo, PutData3WithoutReaderFailsThreeTimesWithENXIO) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    Fd reader(open(kPipe.c_str(), O_RDONLY | O_NONBLOCK));
    Fd writer(open(kPipe.c_str(), O_WRONLY | O_NONBLOCK));
    close(reader.fd);
    reader.fd = -1;
    const std::string data(250, ' ');
    EXPECT_EQ(ComFIFOPutData3(kPipe.c_str(), 53, 54, data.data()), -1);
    EXPECT_EQ(Count(LOG_INFO, "FIFO write open error (fifo=" + kPipe + ", errno=6(No such device or address))\n"), 3u);
    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("end", "osfifo.cpp", "ComFIFOPutData3")).size(), 1u);
}

TEST_F(OsFifo, PutData3TowardsFullPipeFailsThreeTimesWithEAGAIN) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    Fd rd(open(kPipe.c_str(), O_RDWR | O_NONBLOCK));
    const int held = FillPipe(rd.fd);
    const std::string data(250, ' ');
    EXPECT_EQ(ComFIFOPutData3(kPipe.c_str(), 53, 54, data.data()), -1);
    EXPECT_EQ(Count(LOG_INFO, "FIFO write error (fifo=" + kPipe + ", " + kEagain + ")\n"), 3u);
    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("end", "osfifo.cpp", "ComFIFOPutData3")).size(), 1u);
    EXPECT_EQ(ReadAvailable(rd.fd).size(), static_cast<size_t>(held) * 256);
}

// Regression: a record whose write failed when the stream was closed was reported as delivered.
TEST_F(OsFifo, PutData2ReaderGoneDuringWriteIsNotReportedAsDelivered) {
    ASSERT_EQ(mkfifo(kPipe.c_str(), 0666), 0);
    Fd rd(open(kPipe.c_str(), O_RDWR | O_NONBLOCK));
    FillPipe(rd.fd);
    std::atomic<int> result{-2};
    std::thread t([&] {
        const std::string data(250, ' ');
        result = ComFIFOPutData2(kPipe.c_str(), 53, 54, data.data());
    });
    // Once the sender holds the pipe open for writing, its next step is the write that waits
    // for room; whether or not it is already waiting, the write fails once the reader is gone.
    bool writing = false;
    for (int i = 0; i < 500 && !writing; ++i) {
        std::this_thread::sleep_for(10ms);
        writing = WriterHolds(kPipe);
    }
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(writing);
    unlink(kPipe.c_str());
    close(rd.fd); // the last reader goes: the blocked write fails with EPIPE
    rd.fd = -1;
    t.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(Count(LOG_INFO, "FIFO write error (fifo=" + kPipe + ", errno=32(Broken pipe))\n"), 1u);
    EXPECT_EQ(CountPrefix(LOG_INFO, "FIFO read open error (fifo=" + kPipe + ", errno=2("), 2u);
}

// ---- delivery to the file-transfer pipe, with recovery ----

class FtpLog : public OsFifo {
protected:
    void SetUp() override {
        OsFifo::SetUp();
        ASSERT_EQ(mkfifo(KIV_FIFO_STS, 0666), 0);
        sts_.fd = open(KIV_FIFO_STS, O_RDWR | O_NONBLOCK);
    }
    void TearDown() override {
        close(sts_.fd);
        sts_.fd = -1;
        OsFifo::TearDown();
    }
    // An FTP pipe whose reader holds it read-write but no longer reads.
    int StalledFtp() {
        EXPECT_EQ(mkfifo(KIV_FIFO_FTP, 0666), 0);
        int fd = open(KIV_FIFO_FTP, O_RDWR | O_NONBLOCK);
        fcntl(fd, F_SETPIPE_SZ, 65536);
        return fd;
    }
    static std::string Numbered(int i) {
        char text[8];
        std::snprintf(text, sizeof text, "%03d", i);
        return "011054" + std::string(text) + std::string(247, ' ');
    }
    const std::string stop_ = "053631011" + std::string(247, ' ');
    const std::string readError_ = "FIFO read error (" + kEagain + ")\n";
    Fd sts_;
};

TEST_F(FtpLog, DeliveryNeedsNoRecovery) {
    Fd ftp(StalledFtp());
    const std::string data(250, 'd');
    EXPECT_EQ(ComFIFOPutDataforFtpLog(KIV_FIFO_FTP, 53, 54, data.data()), 0);
    EXPECT_EQ(ReadAvailable(ftp.fd), "053054" + data);
    EXPECT_EQ(ReadAvailable(sts_.fd), "");
    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("start", "ftplog.cpp", "ComFIFOPutDataforFtpLog")).size(), 1u);
    EXPECT_EQ(Find(LOG_DEBUG, FuncLine("end", "ftplog.cpp", "ComFIFOPutDataforFtpLog")).size(), 1u);
    EXPECT_EQ(CountPrefix(LOG_INFO, ""), 0u);
}

TEST_F(FtpLog, FullPipeIsDrainedAndModuleStopIsRequested) {
    Fd ftp(StalledFtp());
    const int held = FillPipe(ftp.fd);
    ASSERT_GE(held, 245);
    const std::string data(250, 'd');
    EXPECT_EQ(ComFIFOPutDataforFtpLog(KIV_FIFO_FTP, 53, 54, data.data()), -1);

    const auto writeErrors = Find(LOG_INFO, "FIFO write error \\(fifo=/tmp/pipe/FifoFtp, errno=11\\(.*\\)\\)\n");
    const auto drainStart = Find(LOG_INFO, FuncLine("start", "ftplog.cpp", "ComFIFOGetFTP"));
    const auto drainEnd = Find(LOG_INFO, FuncLine("end", "ftplog.cpp", "ComFIFOGetFTP"));
    const auto stopStart = Find(LOG_INFO, FuncLine("start", "stsmsg.cpp", "SendStsModuleKill"));
    const auto stopEnd = Find(LOG_INFO, FuncLine("end", "stsmsg.cpp", "SendStsModuleKill"));
    const auto error = Find(LOG_INFO, "pipe=/tmp/pipe/FifoFtp is ERROR \\.iRet=-1 ,common/ipc/ftplog\\.cpp,[0-9]+,"
                                      "@ComFIFOPutDataforFtpLog\n");
    const auto end = Find(LOG_DEBUG, FuncLine("end", "ftplog.cpp", "ComFIFOPutDataforFtpLog"));
    ASSERT_EQ(writeErrors.size(), 3u);
    ASSERT_EQ(drainStart.size(), 1u);
    ASSERT_EQ(drainEnd.size(), 2u); // the failed mkfifo, then the end of the drain
    ASSERT_EQ(stopStart.size(), 1u);
    ASSERT_EQ(stopEnd.size(), 1u);
    ASSERT_EQ(error.size(), 1u);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_LT(writeErrors[2], drainStart[0]);
    EXPECT_LT(drainEnd[1], stopStart[0]);
    EXPECT_LT(stopEnd[0], error[0]);
    EXPECT_LT(error[0], end[0]);
    EXPECT_EQ(Count(LOG_INFO, readError_), static_cast<size_t>(std::max(0, 245 - held)));

    EXPECT_EQ(ReadAvailable(sts_.fd), stop_);
    EXPECT_EQ(ReadAvailable(ftp.fd).size(), static_cast<size_t>(held - 245) * 256);
}

TEST_F(FtpLog, DrainOfTenRecordsEmptiesThePipe) {
    Fd ftp(StalledFtp());
    for (int i = 0; i < 10; ++i) WriteAll(ftp.fd, Numbered(i));
    ComFIFOGetFTP();
    EXPECT_EQ(Count(LOG_INFO, readError_), 235u);
    EXPECT_EQ(CountPrefix(LOG_INFO, "FIFO read error"), 235u);
    EXPECT_EQ(ReadAvailable(ftp.fd), "");
    EXPECT_EQ(ReadAvailable(sts_.fd), ""); // the drain alone requests nothing
}

TEST_F(FtpLog, DrainTakes245Of250Records) {
    Fd ftp(StalledFtp());
    std::string last5;
    for (int i = 0; i < 250; ++i) {
        WriteAll(ftp.fd, Numbered(i));
        if (i >= 245) last5 += Numbered(i);
    }
    ComFIFOGetFTP();
    EXPECT_EQ(CountPrefix(LOG_INFO, "FIFO read error"), 0u);
    EXPECT_EQ(ReadAvailable(ftp.fd), last5);
}

TEST_F(FtpLog, FailureTowardsAnotherPipeCreatesAndDrainsFtpPipe) {
    const std::string data(250, 'd');
    EXPECT_EQ(ComFIFOPutDataforFtpLog(KIV_FIFO_LOG, 53, 54, data.data()), -1);
    struct stat st {};
    ASSERT_EQ(stat(KIV_FIFO_FTP, &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~Umask());
    EXPECT_EQ(Find(LOG_INFO, FuncLine("end", "ftplog.cpp", "ComFIFOGetFTP")).size(), 1u);
    EXPECT_EQ(Count(LOG_INFO, readError_), 245u);
    EXPECT_EQ(ReadAvailable(sts_.fd), stop_);
    EXPECT_EQ(Find(LOG_INFO, "pipe=/tmp/pipe/FifoLog is ERROR \\.iRet=-1 ,.*\n").size(), 1u);
}

// Puts /tmp/pipe back as the sandbox made it when the test ends.
struct PipeDirRestore {
    ~PipeDirRestore() {
        mkdir(KIV_FIFO_DIR, 0777);
        chmod(KIV_FIFO_DIR, 0777);
        mount("kivsbx-pipe", KIV_FIFO_DIR, "tmpfs", 0, "mode=777");
    }
};

TEST_F(OsFifo, RecoveryWithoutPipeDirectoryStillRequestsStopAndFails) {
    PipeDirRestore restore;
    umount2(KIV_FIFO_DIR, MNT_DETACH);
    ASSERT_EQ(rmdir(KIV_FIFO_DIR), 0);
    const std::string data(250, 'd');
    EXPECT_EQ(ComFIFOPutDataforFtpLog(KIV_FIFO_FTP, 53, 54, data.data()), -1);
    const std::string enoent = "errno=2(No such file or directory)";
    EXPECT_EQ(Count(LOG_INFO, "FIFO read open error (fifo=/tmp/pipe/FifoFtp, " + enoent + ")\n"), 3u);
    EXPECT_EQ(Count(LOG_INFO, "/tmp/pipe/FifoFtp open error (" + enoent + ")\n"), 1u);
    // Only the failed mkfifo's end line: the drain ends without one.
    EXPECT_EQ(Find(LOG_INFO, FuncLine("end", "ftplog.cpp", "ComFIFOGetFTP")).size(), 1u);
    EXPECT_EQ(CountPrefix(LOG_INFO, "FIFO read error"), 0u);
    EXPECT_EQ(Count(LOG_INFO, "FIFO read open error (fifo=/tmp/pipe/FifoSts, " + enoent + ")\n"), 3u);
    EXPECT_EQ(Find(LOG_INFO, FuncLine("end", "stsmsg.cpp", "SendStsModuleKill")).size(), 1u);
    EXPECT_EQ(Find(LOG_INFO, "pipe=/tmp/pipe/FifoFtp is ERROR \\.iRet=-1 ,.*\n").size(), 1u);
}

} // namespace
