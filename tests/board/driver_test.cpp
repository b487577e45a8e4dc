// SPDX-License-Identifier: MIT
// The tamper-switch driver on the booted board, through its device, its attributes and a
// simulated switch line: what the monitor relies on and what other users of the device meet.
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "kivtest.h"
#include "tampsw.h"
#include "unit.h"

namespace {

using namespace std::chrono_literals;
using kivtest::Fd;

struct Driver : testing::Test {
    kivsim::TampSwitch sw;
    void SetUp() override { ASSERT_TRUE(sw.Start() && sw.Bind()) << sw.Error(); }
    static int Open(int flags = 0) { return open("/dev/cr_tampsw", O_RDWR | O_CLOEXEC | flags); }
    static int PollIn(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1 ? p.revents : 0;
    }
    static std::string PollTime() { return kivsim::FileText("/sys/class/misc/cr_tampsw/poll_time"); }
};

TEST_F(Driver, OneOpenerAtATimeSoNoOtherProcessTakesAnEvent) {
    {
        Fd a(Open());
        ASSERT_GE(a.fd, 0);
        EXPECT_EQ(Open(), -1);
        EXPECT_EQ(errno, EBUSY);
    }
    Fd again(Open());
    EXPECT_GE(again.fd, 0);
}

TEST_F(Driver, PollingTimeRequest) {
    Fd d(Open());
    EXPECT_EQ(PollTime(), "100\n"); // before any request
    struct Case {
        unsigned long req;
        char value;
        int result, err;
        std::string time;
    } cases[] = {{3, '2', 0, 0, "50\n"},        {3, '\xc8', 0, 0, "200\n"},
                 {3, 0, -1, EINVAL, "200\n"},   {2, '2', -1, ENOTTY, "200\n"},
                 {4, '2', -1, ENOTTY, "200\n"}, {_IOW('t', 3, char), '2', -1, ENOTTY, "200\n"}};
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(ioctl(d.fd, c.req, &c.value), c.result) << c.req;
        EXPECT_EQ(errno, c.err) << c.req;
        EXPECT_EQ(PollTime(), c.time) << c.req;
    }
    EXPECT_EQ(ioctl(d.fd, 3, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
}

// The board package's monitor configures the switch with the byte '2' (0x32): 50 ms.
TEST_F(Driver, MonitorSetsFiftyMilliseconds) {
    kivsim::Unit unit({.kivtamp = "/usr/local/bin/kivtamp", .syslog = &kivtest::Syslog()});
    ASSERT_TRUE(unit.Boot()) << unit.Error();
    EXPECT_EQ(PollTime(), "50\n");
    EXPECT_TRUE(unit.Terminate());
}

// One byte per read whatever the buffer; readable only while something is queued.
TEST_F(Driver, EachOpeningIsOneByteOneAndKeptWhileNobodyListens) {
    ASSERT_TRUE(sw.Inject(1)); // nobody has the device open
    Fd d(Open(O_NONBLOCK));
    char buf[4] = {};
    ASSERT_TRUE(sw.Inject(1));
    EXPECT_EQ(PollIn(d.fd, 0), POLLIN);
    EXPECT_EQ(read(d.fd, buf, sizeof buf), 1);
    EXPECT_EQ(read(d.fd, buf + 1, sizeof buf - 1), 1);
    EXPECT_EQ(std::string(buf, 2), "\x01\x01");
    EXPECT_EQ(PollIn(d.fd, 0), 0);
    EXPECT_EQ(read(d.fd, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(Driver, BlockingReadWaitsForAnOpeningAndASignalEndsTheWait) {
    Fd d(Open());
    char byte = 0;
    std::thread opener([&] {
        std::this_thread::sleep_for(300ms);
        sw.Inject(1);
    });
    EXPECT_EQ(read(d.fd, &byte, 1), 1);
    opener.join();
    EXPECT_EQ(byte, 1);

    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    sigaction(SIGALRM, &interrupt, nullptr); // no SA_RESTART
    alarm(1);
    EXPECT_EQ(read(d.fd, &byte, 1), -1);
    EXPECT_EQ(errno, EINTR);
    (void)signal(SIGALRM, SIG_DFL);
}

// A full queue merges the newest entry with the next opening instead of dropping it.
TEST_F(Driver, FullQueueKeepsTheLatestOpening) {
    Fd d(Open(O_NONBLOCK));
    ASSERT_TRUE(sw.Inject(std::string(20, '\x02')));
    EXPECT_EQ(sw.Count("queued"), 16);
    ASSERT_TRUE(sw.Inject(1));
    std::string got;
    for (char b; read(d.fd, &b, 1) == 1;) got += b;
    EXPECT_EQ(got, std::string(15, '\x02') + '\x01');
}

// At 200 ms a period, a line that is up for a moment only is never seen twice in a row.
TEST_F(Driver, GlitchShorterThanTheDebounceIsNoOpening) {
    Fd d(Open(O_NONBLOCK));
    const char slow = '\xc8';
    ASSERT_EQ(ioctl(d.fd, 3, &slow), 0);
    glob_t g{};
    ASSERT_EQ(glob("/sys/bus/gpio/devices/gpiochip*/sim_gpio0/pull", 0, nullptr, &g), 0);
    Fd line(open(g.gl_pathv[0], O_WRONLY | O_CLOEXEC));
    globfree(&g);
    EXPECT_TRUE(write(line.fd, "pull-up", 7) == 7 && write(line.fd, "pull-down", 9) == 9);
    EXPECT_EQ(PollIn(d.fd, 1000), 0);
    EXPECT_EQ(kivsim::FileText("/sys/class/misc/cr_tampsw/state"), "closed\n");
}

TEST_F(Driver, EnclosureOpenWhenTheDriverStartsIsAnOpening) {
    ASSERT_TRUE(sw.Unbind() && sw.Inject(1) && sw.Bind()) << sw.Error();
    EXPECT_TRUE(sw.WaitForCount("queued", 1, 2s));
}

// The module goes only when nobody holds the device; after that nothing of it runs, and it loads
// again as new.
TEST_F(Driver, UnloadWaitsForTheLastHolderAndLeavesNothingRunning) {
    {
        Fd d(Open());
        EXPECT_FALSE(sw.Unbind());
        EXPECT_EQ(errno, EWOULDBLOCK);
    }
    ASSERT_TRUE(sw.Unbind()) << sw.Error();
    EXPECT_NE(access("/sys/kernel/debug/cr_tampsw", F_OK), 0);
    std::this_thread::sleep_for(300ms); // several polling periods with the code gone
    ASSERT_TRUE(sw.Bind() && sw.Inject(1)) << sw.Error();
    EXPECT_EQ(sw.Count("queued"), 1);
}

} // namespace
