// SPDX-License-Identifier: MIT
// The simulated unit around one real kivtamp process: syslog receiver at /dev/log, the CONFIG and
// OTHER segments, the supervisor and the three reader peers with their pipes, the card master file
// and the tamper-switch stand-in at /dev/cr_tampsw. Used by the end-to-end tests, the demo and the
// shell; everything it creates is removed again when it goes, so one sandbox serves many units in
// turn.
//
//   kivsim::Unit unit({.kivtamp = KIVTAMP_PATH, .syslog = &kivtest::Syslog()});
//   ASSERT_TRUE(unit.Up()) << unit.Error();
//   ASSERT_TRUE(unit.StartMonitor("7")) << unit.Error();
//   auto wake = unit.WaitForWakeup();          // the 600 record on FifoStsp
//   unit.Inject(1);                            // enclosure opened
//   auto log = unit.WaitRecord(kivsim::kFifoLog, 54);
//   auto exit = unit.Terminate();              // 900 with data[0] 0, then the exit status
#ifndef KIVSIM_UNIT_H
#define KIVSIM_UNIT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "launcher.h"
#include "peers.h"
#include "segments.h"
#include "syslog_receiver.h"
#include "tampsw.h"

namespace kivsim {

inline constexpr const char *kCardMasterFile = "/usr/local/zk/ap/conf/cardmaster.dat";
inline constexpr const char *kTampDevice = "/dev/cr_tampsw";

// How the unit looks when Up() returns. Every part can also be changed later through the accessors.
struct UnitOptions {
    std::string kivtamp{};             // the monitor binary
    std::vector<std::string> emulator{}; // prefix for a target binary, e.g. {"qemu-ppc", "-L", sysroot}
    SyslogReceiver *syslog = nullptr;  // the receiver at /dev/log; null: the unit binds its own
    std::string tampsw{};              // the kivtampsw program; empty: the one built with the library
    bool segments = true;              // create CONFIG and OTHER
    char tamperCheck = '1';            // CONFIG byte 27646
    int32_t pairKind = 0;              // OTHER bytes 4-7, big-endian
    bool commandPipe = true;           // create FifoTamp and hold it open for writing
    bool readers = true;               // error-log, display and file-transfer readers
    bool tamperSwitch = true;          // run the stand-in
    bool bindSwitch = true;            // and make /dev/cr_tampsw present
    bool cardMaster = true;            // create the card master file
};

class Unit {
public:
    explicit Unit(UnitOptions options);
    // Ends the monitor, the stand-in and the peers; removes the pipes, segments and files it made.
    ~Unit();
    Unit(const Unit &) = delete;
    Unit &operator=(const Unit &) = delete;

    // Brings up everything the monitor relies on before it starts. false: see Error().
    bool Up();
    // Starts kivtamp 53 <level> (no level argument when level is empty).
    bool StartMonitor(std::optional<std::string> level = std::string("6"));
    // The wake-up notification (600 on FifoStsp) received since `since`.
    std::optional<Received> WaitForWakeup(Ms timeout = Ms(10000), uint64_t since = 0);
    // Up, StartMonitor and WaitForWakeup in one.
    std::optional<Received> Boot(std::optional<std::string> level = std::string("6"));

    // Supervisor commands to the monitor.
    bool Send(int cmd, unsigned char data0);
    bool SendRaw(std::string_view bytes);
    // 901 with data0; returns the 621 reply.
    std::optional<Received> ChangeSetting(unsigned char data0 = 1, Ms timeout = Ms(5000));
    // 902; returns the 600 that answers it.
    std::optional<Received> WakeUp(Ms timeout = Ms(5000));
    // 900 with data0; returns the monitor's exit status.
    std::optional<ExitStatus> Terminate(unsigned char data0 = 0, Ms timeout = Ms(10000));
    // A switch event from the stand-in.
    bool Inject(unsigned char event);

    // Records received by the peers.
    std::optional<Received> WaitRecord(std::string_view pipe, int cmd, Ms timeout = Ms(5000), uint64_t since = 0);
    uint64_t Mark() const { return records_.Mark(); }
    // Returns once the monitor has dealt with every command sent before: a 901 with data[0] 0
    // (which changes nothing) is answered by a 621 after all earlier work; then every reader and
    // the syslog receiver take in what was written. Adds that one 621 record to FifoSts.
    // Not a barrier for a switch event: the command may be read before the stand-in has made the
    // device readable. Wait for the stand-in's read count to grow first, then call Barrier. The
    // trace lines that follow the 621 reply inside the monitor may still be on their way.
    bool Barrier(Ms timeout = Ms(5000));
    // Pipe names in the order the monitor wrote them since the last ClearWriteOrder.
    std::vector<std::string> WriteOrder(size_t atLeast = 0, Ms timeout = Ms(2000));
    void ClearWriteOrder() { order_.Clear(); }

    bool CardMasterExists() const;
    bool CreateCardMaster(std::string_view content = {});
    std::optional<ExitStatus> WaitExit(Ms timeout = Ms(10000)) { return monitor_->Wait(timeout); }

    RecordStore &Records() { return records_; }
    SyslogReceiver &Log() { return *syslog_; }
    Supervisor &Sts() { return supervisor_; }
    PipeReader &ErrLog() { return errlog_; }
    PipeReader &Display() { return display_; }
    PipeReader &Ftp() { return ftp_; }
    // The peer reading this pipe disappears (pipe closed and removed) / comes back.
    bool RemovePeer(std::string_view pipe);
    bool RestorePeer(std::string_view pipe);
    // The reader of a pipe by name (FifoSts, FifoStsp, FifoLog, FifoDisp, FifoFtp), or null.
    PipeReader *Reader(std::string_view pipe);
    SegmentWriter &Segments() { return segments_; }
    TampSwitch &Switch() { return *switch_; }
    MonitorProcess &Monitor() { return *monitor_; }
    const UnitOptions &Options() const { return options_; }
    // Why the last failed call failed.
    const std::string &Error() const { return error_; }

private:
    bool Fail(const std::string &what);
    void SyncReaders();

    UnitOptions options_;
    std::string error_;
    std::unique_ptr<SyslogReceiver> ownSyslog_;
    SyslogReceiver *syslog_ = nullptr;
    RecordStore records_;
    SegmentWriter segments_;
    Supervisor supervisor_;
    PipeReader errlog_;
    PipeReader display_;
    PipeReader ftp_;
    kivsim::WriteOrder order_;
    bool createdCardMaster_ = false;
    std::unique_ptr<TampSwitch> switch_;
    std::unique_ptr<MonitorProcess> monitor_;
};

// The content the unit's card master file is created with when none is given.
std::string DefaultCardMaster();

} // namespace kivsim

#endif
