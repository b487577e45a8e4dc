// Status notifications, read back from the supervisor's real pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <memory>
#include <regex>
#include <string>

#include "ipc/osfifo.h"
#include "ipc/stsmsg.h"
#include "kivtest.h"

using kivtest::Syslog;

namespace {

using kivtest::ReadAvailable;

size_t CountMatching(int pri, const std::string &pattern) {
    Syslog().Sync();
    const std::regex re(pattern);
    size_t n = 0;
    for (const auto &l : Syslog().Lines())
        if (l.pri == pri && std::regex_match(l.text, re)) ++n;
    return n;
}

std::string Spaces(size_t n) { return std::string(n, ' '); }

// The supervisor: both of its pipes held read-write, as it holds them.
class StsMsg : public testing::Test {
protected:
    void SetUp() override {
        Syslog().Clear();
        ASSERT_EQ(mkfifo(KIV_FIFO_STS, 0666), 0);
        ASSERT_EQ(mkfifo(KIV_FIFO_STSP, 0666), 0);
        sts_ = open(KIV_FIFO_STS, O_RDWR | O_NONBLOCK);
        stsp_ = open(KIV_FIFO_STSP, O_RDWR | O_NONBLOCK);
    }
    void TearDown() override {
        close(sts_);
        close(stsp_);
        unlink(KIV_FIFO_STS);
        unlink(KIV_FIFO_STSP);
    }
    int sts_ = -1;
    int stsp_ = -1;
};

TEST_F(StsMsg, WakeupCompleteSendsStatusAndTagToSecondPipe) {
    WakeupComplete(53, 0, "0312");
    EXPECT_EQ(ReadAvailable(stsp_), "053600" "000" "0312" + Spaces(243));
    WakeupComplete(53, 1, "0312");
    EXPECT_EQ(ReadAvailable(stsp_), "053600" "001" "0312" + Spaces(243));
    EXPECT_EQ(ReadAvailable(sts_), "");
    Syslog().Sync();
    EXPECT_EQ(Syslog().Count(LOG_DEBUG, "start of WakeupComplete\n"), 2u);
    EXPECT_EQ(Syslog().Count(LOG_DEBUG, "end of WakeupComplete\n"), 2u);
}

TEST_F(StsMsg, WakeupCompleteReadsNoFurtherThanAShortTag) {
    // Exactly three bytes on the heap, so reading a fourth is caught.
    auto tag = std::make_unique<char[]>(3);
    tag[0] = '0';
    tag[1] = '3';
    tag[2] = '\0';
    WakeupComplete(53, 0, tag.get());
    EXPECT_EQ(ReadAvailable(stsp_), "053600" "000" "03" + Spaces(245));
    WakeupComplete(53, 0, nullptr);
    EXPECT_EQ(ReadAvailable(stsp_), "053600" "000" + Spaces(247));
}

TEST_F(StsMsg, TerminateCompleteSendsStatus) {
    TerminateComplete(53, 1);
    EXPECT_EQ(ReadAvailable(sts_), "053605" "001" + Spaces(247));
    // A status outside 0..999 keeps the first three characters of its text.
    TerminateComplete(53, 1234);
    EXPECT_EQ(ReadAvailable(sts_), "053605" "123" + Spaces(247));
    EXPECT_EQ(ReadAvailable(stsp_), "");
    Syslog().Sync();
    EXPECT_EQ(Syslog().Count(LOG_DEBUG, "start of TerminateComplete\n"), 2u);
    EXPECT_EQ(Syslog().Count(LOG_DEBUG, "end of TerminateComplete\n"), 2u);
}

TEST_F(StsMsg, SendSTSErrorSendsRawBytesModulo256) {
    EXPECT_EQ(SendSTSError(1, 1), 0);
    EXPECT_EQ(ReadAvailable(sts_), "053609\x05\x01" + Spaces(248));
    EXPECT_EQ(SendSTSError(INT_MAX, -1), 0);
    EXPECT_EQ(ReadAvailable(sts_), "053609\x03\xff" + Spaces(248));
    EXPECT_EQ(SendSTSError(-4, 256), 0);
    EXPECT_EQ(ReadAvailable(sts_), std::string("053609\0\0", 8) + Spaces(248));
    Syslog().Sync();
    EXPECT_TRUE(Syslog().Lines().empty());
}

TEST_F(StsMsg, SendStsModuleKillGoesToSupervisorWhateverThePath) {
    SendStsModuleKill(KIV_FIFO_FTP, 53, 11);
    EXPECT_EQ(ReadAvailable(sts_), "053631" "011" + Spaces(247));
    EXPECT_NE(access(KIV_FIFO_FTP, F_OK), 0);
    EXPECT_EQ(CountMatching(LOG_INFO, "start of function ,common/ipc/stsmsg\\.cpp,[0-9]+,@SendStsModuleKill\n"), 1u);
    EXPECT_EQ(CountMatching(LOG_INFO, "end of function ,common/ipc/stsmsg\\.cpp,[0-9]+,@SendStsModuleKill\n"), 1u);
    EXPECT_EQ(CountMatching(LOG_DEBUG, ".*"), 0u);
}

TEST_F(StsMsg, WithSupervisorPipesMissingEachGivesUpAfterThreeProbes) {
    TearDown();
    const std::string enoent = ", errno=2(No such file or directory))\n";
    WakeupComplete(53, 0, "0312");
    TerminateComplete(53, 0);
    EXPECT_EQ(SendSTSError(1, 1), -1);
    SendStsModuleKill(KIV_FIFO_FTP, 53, 11);
    Syslog().Sync();
    EXPECT_EQ(Syslog().Count(LOG_INFO, "FIFO read open error (fifo=" KIV_FIFO_STSP + enoent), 3u);
    EXPECT_EQ(Syslog().Count(LOG_INFO, "FIFO read open error (fifo=" KIV_FIFO_STS + enoent), 9u);
    EXPECT_EQ(Syslog().CountPrefix(LOG_INFO, "FIFO write"), 0u);
    EXPECT_NE(access(KIV_FIFO_STS, F_OK), 0);
    EXPECT_NE(access(KIV_FIFO_STSP, F_OK), 0);
    SetUp(); // for the TearDown that follows
}

} // namespace
