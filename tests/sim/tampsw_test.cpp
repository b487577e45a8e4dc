// The tamper-switch stand-in seen from the monitor's side: the bound device at /dev/cr_tampsw.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <thread>

#include "kivtest.h"
#include "tampsw.h"

namespace {

constexpr const char *kDevice = "/dev/cr_tampsw";
constexpr const char *kMountDir = "/tmp/kivsim-tampsw-test";

// Result of pselect on fd alone for reading: 1 readable, 0 timed out, -1 error.
int Readable(int fd, long ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    return pselect(fd + 1, &set, nullptr, nullptr, &ts, nullptr);
}

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

class TampSwitchTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sw_.Start(kMountDir)) << sw_.Error();
        ASSERT_TRUE(sw_.Bind()) << sw_.Error();
    }
    void TearDown() override { sw_.Stop(); }
    kivsim::TampSwitch sw_;
};

TEST_F(TampSwitchTest, OpensReadWriteAndCountsOpensAndCloses) {
    EXPECT_EQ(sw_.Opens(), 0);
    {
        Fd a(open(kDevice, O_RDWR | O_CLOEXEC));
        ASSERT_GE(a.fd, 0) << std::strerror(errno);
        Fd b(open(kDevice, O_RDWR | O_CLOEXEC));
        ASSERT_GE(b.fd, 0) << std::strerror(errno);
        EXPECT_EQ(sw_.Opens(), 2);
    }
    EXPECT_TRUE(sw_.WaitForCount("closes", 2));
    EXPECT_EQ(sw_.Closes(), 2);
}

TEST_F(TampSwitchTest, IoctlThreeSucceedsAndIsCountedOtherRequestsAreRefused) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    char pollTime = '2';
    EXPECT_EQ(ioctl(fd.fd, 3, &pollTime), 0) << std::strerror(errno);
    EXPECT_EQ(ioctl(fd.fd, 3, &pollTime), 0);
    EXPECT_EQ(sw_.Ioctls(), 2);
    errno = 0;
    EXPECT_EQ(ioctl(fd.fd, 4, &pollTime), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(sw_.Ioctls(), 2);
}

TEST_F(TampSwitchTest, IoctlFailsWithEioWhileToldToAndIsStillCounted) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    char pollTime = '2';
    ASSERT_TRUE(sw_.SetIoctlFail(true)) << sw_.Error();
    errno = 0;
    EXPECT_EQ(ioctl(fd.fd, 3, &pollTime), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(sw_.Ioctls(), 1);
    ASSERT_TRUE(sw_.SetIoctlFail(false));
    EXPECT_EQ(ioctl(fd.fd, 3, &pollTime), 0);
    EXPECT_EQ(sw_.Ioctls(), 2);
}

// The ioctl file takes a request that a caller cannot make (a target binary under emulation)
// exactly as the device takes it: counted, refused or failed alike, and its argument byte recorded.
TEST_F(TampSwitchTest, RequestPassedOnThroughTheIoctlFileIsTakenAsAnIoctl) {
    const std::string file = sw_.MountDir() + "/ioctl";
    // 0, or the errno the request was refused with.
    auto passOn = [&](std::string_view text) {
        Fd fd(open(file.c_str(), O_WRONLY | O_CLOEXEC));
        if (fd.fd < 0) return errno;
        return write(fd.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : errno;
    };
    EXPECT_EQ(kivtest::ReadFileBytes(file), "");
    EXPECT_EQ(passOn("3 50"), 0);
    EXPECT_EQ(kivtest::ReadFileBytes(file), "3 50\n");
    EXPECT_EQ(passOn("4 7"), ENOTTY);
    EXPECT_EQ(passOn("3 256"), EINVAL);
    EXPECT_EQ(passOn("3"), EINVAL);
    EXPECT_EQ(sw_.Ioctls(), 1);
    ASSERT_TRUE(sw_.SetIoctlFail(true)) << sw_.Error();
    EXPECT_EQ(passOn("3 49"), EIO);
    EXPECT_EQ(sw_.Ioctls(), 2);
    EXPECT_EQ(kivtest::ReadFileBytes(file), "3 49\n");
}

TEST_F(TampSwitchTest, PselectWakesForAnEventInjectedWhileWaitingAndTheByteReadsBackOnce) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    EXPECT_EQ(Readable(fd.fd, 20), 0);
    long polls = sw_.Polls();
    // The event comes only once the waiting pselect has polled, so only the notification can wake it.
    std::thread injector([&] {
        if (sw_.WaitForCount("polls", polls + 1)) sw_.Inject(1);
    });
    auto start = std::chrono::steady_clock::now();
    int ready = Readable(fd.fd, 10000);
    auto waited = std::chrono::steady_clock::now() - start;
    injector.join();
    ASSERT_EQ(ready, 1);
    // pselect looks once more when its time runs out: a wake-up that came only then was not one.
    EXPECT_LT(waited, std::chrono::seconds(5));
    unsigned char buf[4] = {0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(read(fd.fd, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(sw_.Reads(), 1);
    EXPECT_EQ(Readable(fd.fd, 50), 0);
    EXPECT_EQ(sw_.Queued(), 0);
}

TEST_F(TampSwitchTest, SeveralInjectedEventsReadOnePerReadInOrder) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    ASSERT_TRUE(sw_.Inject(std::string_view("\x01\x00\x02\x01", 4))) << sw_.Error();
    EXPECT_EQ(sw_.Queued(), 4);
    for (int want : {1, 0, 2, 1}) {
        ASSERT_EQ(Readable(fd.fd, 0), 1);
        unsigned char buf[16];
        ASSERT_EQ(read(fd.fd, buf, sizeof buf), 1);
        EXPECT_EQ(buf[0], want);
    }
    EXPECT_EQ(Readable(fd.fd, 20), 0);
    EXPECT_EQ(sw_.Reads(), 4);
}

TEST_F(TampSwitchTest, ReadWithNothingQueuedWaitsForTheNextEvent) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    std::atomic<bool> done{false};
    unsigned char got = 0;
    ssize_t n = -2;
    std::thread reader([&] {
        n = read(fd.fd, &got, 1);
        done = true;
    });
    ASSERT_TRUE(sw_.WaitForCount("reads", 1));
    EXPECT_FALSE(done);
    ASSERT_TRUE(sw_.Inject(7));
    reader.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(got, 7);
}

TEST_F(TampSwitchTest, NonBlockingReadWithNothingQueuedFailsWithEagain) {
    Fd fd(open(kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    unsigned char b;
    errno = 0;
    EXPECT_EQ(read(fd.fd, &b, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(TampSwitchTest, ReadFailAndEofModesGiveOneFailedAndOneEmptyReadBeforeEvents) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    ASSERT_TRUE(sw_.Inject(1));
    ASSERT_TRUE(sw_.SetReadFail(1));
    ASSERT_TRUE(sw_.SetEof(1));
    unsigned char b = 0;
    ASSERT_EQ(Readable(fd.fd, 0), 1);
    errno = 0;
    EXPECT_EQ(read(fd.fd, &b, 1), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(Readable(fd.fd, 0), 1);
    EXPECT_EQ(read(fd.fd, &b, 1), 0);
    ASSERT_EQ(Readable(fd.fd, 0), 1);
    EXPECT_EQ(read(fd.fd, &b, 1), 1);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(Readable(fd.fd, 20), 0);
}

TEST_F(TampSwitchTest, FaultModeAnswersAWaitingRead) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    ssize_t n = -2;
    int err = 0;
    std::thread reader([&] {
        unsigned char b;
        n = read(fd.fd, &b, 1);
        err = errno;
    });
    ASSERT_TRUE(sw_.WaitForCount("reads", 1));
    ASSERT_TRUE(sw_.SetReadFail(1));
    reader.join();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, EIO);
}

TEST_F(TampSwitchTest, DeviceIsAbsentAfterUnbindAndPresentAgainAfterBind) {
    ASSERT_TRUE(sw_.Unbind()) << sw_.Error();
    errno = 0;
    EXPECT_EQ(open(kDevice, O_RDWR | O_CLOEXEC), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sw_.Opens(), 0);
    ASSERT_TRUE(sw_.Bind()) << sw_.Error();
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    EXPECT_GE(fd.fd, 0);
    EXPECT_EQ(sw_.Opens(), 1);
}

TEST_F(TampSwitchTest, StopEndsAWaitingReadAndRemovesTheDevice) {
    Fd fd(open(kDevice, O_RDWR | O_CLOEXEC));
    ASSERT_GE(fd.fd, 0);
    ssize_t n = -2;
    std::thread reader([&] {
        unsigned char b;
        n = read(fd.fd, &b, 1);
    });
    ASSERT_TRUE(sw_.WaitForCount("reads", 1));
    sw_.Stop();
    reader.join();
    EXPECT_EQ(n, -1);
    EXPECT_FALSE(sw_.Running());
    struct stat st;
    EXPECT_NE(stat(kDevice, &st), 0);
    EXPECT_NE(stat((std::string(kMountDir) + "/cr_tampsw").c_str(), &st), 0);
}

TEST(TampSwitch, StartReportsAMissingProgramAndLeavesNothingBehind) {
    kivsim::TampSwitch sw("/nonexistent/kivtampsw");
    EXPECT_FALSE(sw.Start(kMountDir));
    EXPECT_NE(sw.Error().find("/nonexistent/kivtampsw"), std::string::npos) << sw.Error();
    EXPECT_FALSE(sw.Running());
    struct stat st;
    EXPECT_NE(stat(kMountDir, &st), 0);
}

} // namespace
