// Fixture of the end-to-end tests: one simulated unit around the real kivtamp binary per test,
// with the expected records and log lines written out by the tests themselves.
//
//   class MyTest : public kive2e::MonitorTest {};
//   TEST_F(MyTest, Something) {
//       auto wake = Boot("6", [](kivsim::UnitOptions &o) { o.pairKind = 1; });
//       ASSERT_TRUE(wake) << unit().Error();
//       EXPECT_EQ(wake->bytes, kive2e::Rec("053600" "000" "0312"));
//       EXPECT_TRUE(kive2e::LinesMatch(Lines(6), {"start of TampProcess\n", ...}));
//   }
#ifndef KIVE2E_SUPPORT_H
#define KIVE2E_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kivtest.h"
#include "unit.h"

namespace kive2e {

using namespace std::chrono_literals;
using Adjust = std::function<void(kivsim::UnitOptions &)>;

// The unit as the monitor normally finds it: segments, pipes, readers, card master file, device
// bound, check enabled, pair kind 0; the monitor binary (and the emulator it needs, if any) of
// this build.
kivsim::UnitOptions DefaultOptions();

// Whether the monitor runs behind an emulator: the target binary on the build machine.
inline bool Emulated() { return !DefaultOptions().emulator.empty(); }

// Marks a scenario that configures the tamper device with its ioctl request 3. Where the monitor
// runs emulated, the simulated unit's device-request bridge passes the request on to the stand-in.
#define KIVE2E_NEEDS_DEVICE_IOCTL() \
    do {                            \
    } while (0)

// The monitor's signals as the host knows them: what kill() takes and /proc/<pid>/status shows.
// User-mode emulation carries the target's real-time signals (32 up) on the host's (SIGRTMIN up,
// two higher), so the target's two highest have no host number (0); and the emulator keeps
// SIGSEGV and SIGBUS open for its own faults, whatever the monitor blocked.
int HostSignal(int sig);
bool HostMaskShows(int sig);

// A whole 256-byte record as expected on a pipe: head (ids and fields) followed by spaces.
std::string Rec(std::string_view head);

// The priority-6 lines of a start-up that cannot attach CONFIG (segment or key file missing): shut-down
// then stops at detaching what was never attached.
inline const std::vector<std::string> kConfigUnreachableLines = {
    "start of TampProcess\n",
    "error of shmget(iShmId=-1, errno=2)\n",
    "error of ComShmOpenRead()\n",
    "initProc error (iRet=-1)\n",
    "start of TermProc\n",
    "error of shmdt(errno=22)\n",
    "error of ComShmClose()\n",
};

// Compares log texts with patterns line by line. A pattern is literal text except for "{x}",
// which stands for one or more hex digits (addresses), and "{d}", an optionally signed decimal
// number (descriptors, process ids).
bool LineMatches(std::string_view pattern, std::string_view text);
testing::AssertionResult LinesMatch(const std::vector<std::string> &texts,
                                    const std::vector<std::string> &patterns);
// The patterns match lines of texts in this order, other lines between them allowed.
testing::AssertionResult LinesInOrder(const std::vector<std::string> &texts,
                                      const std::vector<std::string> &patterns);

// Local date and time now as "YYYYMMDDhhmmss", the form of the error-log record's bytes 0-13.
std::string StampNow();

// "/proc/<pid>/cwd" of a running process.
std::string WorkingDirectory(pid_t pid);
// The descriptor number under which a process holds path open, or -1.
int DescriptorOf(pid_t pid, const std::string &path);

class MonitorTest : public testing::Test {
protected:
    // A fresh unit with the default options as adjusted, brought up; the monitor not yet started.
    // false: see unit().Error().
    bool Up(const Adjust &adjust = {});
    // Up, then kivtamp 53 <level> (no level argument when level is empty), and its wake-up
    // notification.
    std::optional<kivsim::Received> Boot(std::optional<std::string> level = std::string("6"),
                                         const Adjust &adjust = {});

    kivsim::Unit &unit() { return *unit_; }

    // Texts of the monitor's syslog lines (ident KIVTAMP, or kivtamp after closelog) of one priority, from line number `from` on (counting
    // every line of the monitor since Up). Waits first until everything logged so far is in.
    std::vector<std::string> Lines(int pri, size_t from = 0);
    // Every line of the monitor as "<pri>text".
    std::vector<std::string> AllLines(size_t from = 0);
    // Number of monitor lines received so far: pass it as `from` to look only at later lines.
    size_t LineMark();
    // Waits (up to the guard time-out) until the monitor has logged text at pri n times in all.
    bool WaitLines(int pri, std::string_view text, size_t n, std::chrono::milliseconds timeout = 5000ms);
    // Every line of the monitor, for a failure message.
    std::string Dump();

    // Records one peer pipe received since `since`, bytes only.
    std::vector<std::string> Bytes(std::string_view pipe, uint64_t since = 0);

    void TearDown() override;

private:
    std::vector<kivsim::LogLine> MonitorLines();
    std::unique_ptr<kivsim::Unit> unit_;
};

} // namespace kive2e

#endif
