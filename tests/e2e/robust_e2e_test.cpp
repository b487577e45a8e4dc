// What must not silence the monitor: a flood of commands, a command pipe without writers, a device
// that keeps failing, fragments of records, and a regular file in a peer's pipe's place.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using kivsim::kFifoDisp;
using kivsim::kFifoLog;
using kivsim::kFifoSts;

class RobustTest : public kive2e::MonitorTest {
protected:
    // Event byte 1 was answered in full: file gone, 54, 151 and 609 sent.
    void Answered(uint64_t mark) {
        ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, mark)) << "no tamper response";
        EXPECT_TRUE(unit().WaitRecord(kFifoLog, 54, 1000ms, mark) && unit().WaitRecord(kFifoDisp, 151, 1000ms, mark));
        EXPECT_FALSE(unit().CardMasterExists());
    }
};

// Regression: a command carried out ended the pass before the device was served, so the response
// waited until the flood stopped.
TEST_F(RobustTest, TamperEventIsAnsweredDuringACommandFlood) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    uint64_t mark = unit().Mark();
    std::atomic<bool> stop{false};
    long sent = 0;
    // Sixteen records a write keep the pipe full whatever the scheduler does.
    std::string batch;
    for (int i = 0; i < 16; ++i) batch += kivsim::MakeRecord(80, 901, "\x01");
    std::thread flood([&] {
        for (auto end = std::chrono::steady_clock::now() + 5s; !stop && std::chrono::steady_clock::now() < end; sent += 16)
            if (!unit().SendRaw(batch)) return;
    });
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(unit().Inject(1));
    // Well before the flood's five seconds are over.
    auto sts = unit().WaitRecord(kFifoSts, 609, 2000ms, mark);
    stop = true;
    flood.join();
    ASSERT_TRUE(sts) << "the response waited for the flood to end";
    Answered(mark);
    EXPECT_TRUE(unit().Records().WaitCount(kFifoSts, 621, static_cast<size_t>(sent), 30000ms, mark));
}

// Regression: without a writer every read saw end of file at once and the loop spun. At level 7
// every pass of the loop logs: no line, no pass.
TEST_F(RobustTest, NoWriterOnTheCommandPipeCostsNothingUntilOneComesBack) {
    ASSERT_TRUE(Boot("7")) << unit().Error();
    unit().Sts().ReleaseCommandPipe();
    std::this_thread::sleep_for(200ms);
    size_t lines = LineMark();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(LineMark(), lines) << Dump();
    ASSERT_TRUE(unit().Sts().HoldCommandPipe());
    EXPECT_TRUE(unit().ChangeSetting(0));
}

// Regression: a failing device was read again at once, pass after pass, with a line per read.
TEST_F(RobustTest, DeviceThatKeepsFailingIsReadSeldomAndLoggedOnceASecond) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    for (const char *mode : {"read_fail", "eof"}) {
        SCOPED_TRACE(mode);
        size_t from = LineMark();
        long reads = unit().Switch().Reads();
        ASSERT_TRUE(unit().Switch().Set(mode, "1000000000"));
        std::this_thread::sleep_for(1500ms);
        EXPECT_TRUE(unit().ChangeSetting(0)) << "commands are still answered";
        EXPECT_LE(unit().Switch().Reads() - reads, 30);
        EXPECT_LE(Lines(6, from).size(), 2u) << Dump();
        ASSERT_TRUE(unit().Switch().Set(mode, "0"));
        uint64_t mark = unit().Mark();
        ASSERT_TRUE(unit().Inject(1));
        Answered(mark);
        ASSERT_TRUE(unit().CreateCardMaster());
    }
}

// Regression: six bytes of a terminate with a refused argument, zero-padded, stopped the process.
TEST_F(RobustTest, FragmentOfATerminateIsDroppedWithItsCount) {
    ASSERT_TRUE(Boot()) << unit().Error();
    int fd = kive2e::DescriptorOf(unit().Monitor().Pid(), kivsim::PipePath(kivsim::kFifoTamp));
    ASSERT_TRUE(unit().SendRaw("080900"));
    ASSERT_TRUE(WaitLines(6, "short record dropped(fifoDescript=" + std::to_string(fd) + ", read-cnt=6byte)\n", 1));
    EXPECT_TRUE(unit().ChangeSetting(0));
    EXPECT_TRUE(unit().Monitor().Running());
}

// Regression: the response appended its record to a regular file at FifoLog and reported success.
TEST_F(RobustTest, RegularFileInAPipesPlaceReceivesNothing) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot()) << unit().Error();
    ASSERT_TRUE(unit().RemovePeer(kFifoLog));
    std::string path = kivsim::PipePath(kFifoLog);
    close(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    size_t from = LineMark();
    uint64_t mark = unit().Mark();
    ASSERT_TRUE(unit().Inject(1));
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, mark));
    EXPECT_EQ(kivtest::ReadFileBytes(path), "");
    const std::string refused = "FIFO write open error (fifo=" + path + ", errno=22(Invalid argument))\n";
    EXPECT_EQ(Lines(6, from), std::vector<std::string>(3, refused));
    unlink(path.c_str());
}

} // namespace
