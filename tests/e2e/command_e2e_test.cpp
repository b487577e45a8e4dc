// The supervisor's commands on FifoTamp, each row of the command table: what the monitor does,
// what it answers and what it logs; records it must refuse, whatever their bytes; and a long
// burst of commands with a tamper event in the middle.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using kive2e::LinesMatch;
using kive2e::Rec;
using kivsim::kFifoDisp;
using kivsim::kFifoLog;
using kivsim::kFifoSts;
using kivsim::kFifoStsp;
using Names = std::vector<std::string>;

const std::string kReply = Rec("053621");
const std::string kWakeupOk = Rec("053600" "000" "0312");
const std::string kWakeupFailed = Rec("053600" "001" "0312");
const std::string kNoDevice = "00012,TampDrvOpenProc,open(Tamper Switch Driver) failed(errno=2(No such file or directory))\n";
const std::string kIoctlFailed =
    "00013,TampDrvOpenProc,ioctrl(Tamper Switch Driver CR_SETTPPOLLTM) failed(errno=5(Input/output error))\n";

std::string FormatErr(const char *number, const char *fields) {
    return std::string(number) + ",FifoReadFunc,message format err(" + fields + ")\n";
}

// For scenarios in which the device plays no part: with the check off they run on every lane,
// the emulated one included.
void CheckOff(kivsim::UnitOptions &o) { o.tamperCheck = '0'; }

class CommandTest : public kive2e::MonitorTest {
protected:
    // 901 with data0; expects exactly the 621 reply.
    void Setting(unsigned char data0) {
        auto reply = unit().ChangeSetting(data0);
        ASSERT_TRUE(reply) << unit().Error();
        EXPECT_EQ(reply->bytes, kReply);
    }
    // 902; expects a wake-up notification with this status.
    void Wake(const std::string &expected) {
        auto wake = unit().WakeUp();
        ASSERT_TRUE(wake) << unit().Error();
        EXPECT_EQ(wake->bytes, expected);
    }
    // Event byte 1; expects the tamper response (its last record, the error status).
    void Opened() {
        uint64_t mark = unit().Mark();
        ASSERT_TRUE(unit().CreateCardMaster());
        ASSERT_TRUE(unit().Inject(1)) << unit().Error();
        ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, mark)) << "no tamper response";
        EXPECT_TRUE(unit().WaitRecord(kFifoLog, 54, 5000ms, mark));
        EXPECT_TRUE(unit().WaitRecord(kFifoDisp, 151, 5000ms, mark));
        EXPECT_FALSE(unit().CardMasterExists());
    }
    void SetCheck(char c) { ASSERT_TRUE(unit().Segments().SetTamperCheck(c)); }
    void Terminated() {
        auto exit = unit().Terminate(0);
        ASSERT_TRUE(exit) << unit().Error();
        EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    }
};

// 900 ends the process for data[0] 0 (see the lifecycle tests) and 1; any other byte, the ASCII
// digit '1' included, is refused and the process keeps serving.
TEST_F(CommandTest, TerminateTakesOnlyZeroOrOne) {
    ASSERT_TRUE(Boot("6", CheckOff)) << unit().Error();
    size_t mark = LineMark();
    for (int bad : {0x02, 0x31, 0xff})
        ASSERT_TRUE(unit().Send(900, static_cast<unsigned char>(bad))) << unit().Error();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_TRUE(unit().Monitor().Running());
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {
                                               FormatErr("00002", "iMod_id:080/iCmd_id:900/data[0]:0x2"),
                                               FormatErr("00002", "iMod_id:080/iCmd_id:900/data[0]:0x31"),
                                               FormatErr("00002", "iMod_id:080/iCmd_id:900/data[0]:0xff"),
                                           }));
    auto exit = unit().Terminate(1);
    ASSERT_TRUE(exit) << unit().Error();
    EXPECT_TRUE(exit->Exited(0)) << kivsim::Describe(*exit);
    EXPECT_EQ(Bytes(kFifoSts).back(), Rec("053605" "000"));
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {
                                               FormatErr("00002", "iMod_id:080/iCmd_id:900/data[0]:0x2"),
                                               FormatErr("00002", "iMod_id:080/iCmd_id:900/data[0]:0x31"),
                                               FormatErr("00002", "iMod_id:080/iCmd_id:900/data[0]:0xff"),
                                               "Terminate reBoot\n",
                                               "start of TermProc\n",
                                               "end of TermProc\n",
                                           }));
}

// Records from another module, and commands the monitor does not know, are refused.
TEST_F(CommandTest, ForeignSendersAndUnknownCommandsAreRefused) {
    ASSERT_TRUE(Boot("6", CheckOff)) << unit().Error();
    size_t mark = LineMark();
    uint64_t records = unit().Mark();
    ASSERT_TRUE(unit().Sts().SendRecord(81, 900, std::string(1, '\0')));
    ASSERT_TRUE(unit().Sts().SendRecord(10, 901, "\x01"));
    ASSERT_TRUE(unit().Send(903, 0)) << unit().Error();
    ASSERT_TRUE(unit().Send(54, 1)) << unit().Error();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {
                                               FormatErr("00008", "iMod_id:081/iCmd_id:900/data[0]:0x0"),
                                               FormatErr("00008", "iMod_id:010/iCmd_id:901/data[0]:0x1"),
                                               FormatErr("00007", "iMod_id:080/iCmd_id:903/data[0]:0x0"),
                                               FormatErr("00007", "iMod_id:080/iCmd_id:054/data[0]:0x1"),
                                           }));
    EXPECT_EQ(Bytes(kFifoSts, records), Names{kReply}); // the barrier's only
    EXPECT_TRUE(Bytes(kFifoStsp, records).empty());
    Terminated();
}

// 901 with data[0] 1 applies the check byte of CONFIG: '1' opens (once), '0' closes, anything
// else is refused with the byte shown. data[0] 0 only replies. Every 901 is answered with 621.
TEST_F(CommandTest, SettingChangedAppliesTheCheckByte) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot("6")) << unit().Error();
    size_t mark = LineMark();
    kivsim::TampSwitch &sw = unit().Switch();

    Setting(1); // already open: nothing opened again
    EXPECT_EQ(sw.Opens(), 1);
    EXPECT_EQ(sw.Ioctls(), 1);

    SetCheck('0');
    Setting(0); // reply only: the device stays open
    EXPECT_EQ(sw.Closes(), 0);

    Setting(1); // now closed, and no longer watched
    EXPECT_TRUE(sw.WaitForCount("closes", 1));
    uint64_t records = unit().Mark();
    ASSERT_TRUE(unit().Inject(1)) << unit().Error();
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_EQ(sw.Queued(), 1);
    EXPECT_EQ(unit().Records().Count(kFifoLog, -1, records), 0u);
    EXPECT_TRUE(unit().CardMasterExists());

    SetCheck('1');
    Setting(1); // opened and configured again; the event waiting in the device is read now
    EXPECT_EQ(sw.Opens(), 2);
    EXPECT_EQ(sw.Ioctls(), 2);
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, records)) << "no tamper response";
    EXPECT_FALSE(unit().CardMasterExists());

    SetCheck('X');
    Setting(1); // refused: the device stays open and watched
    Setting(0);
    EXPECT_EQ(sw.Closes(), 1);
    Opened();

    EXPECT_TRUE(LinesMatch(
        Lines(6, mark),
        {"00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=X\n"}));
    Terminated();
}

// Opening the device on 901: a missing device and a refused configuration are both reported,
// the reply still goes out, and a device that opened is watched even when its configuration
// failed.
TEST_F(CommandTest, SettingChangedReportsDeviceFailures) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot("6", [](kivsim::UnitOptions &o) { o.tamperCheck = '0'; })) << unit().Error();
    kivsim::TampSwitch &sw = unit().Switch();
    size_t mark = LineMark();

    ASSERT_TRUE(sw.Unbind()) << sw.Error();
    SetCheck('1');
    Setting(1);
    EXPECT_EQ(sw.Opens(), 0);

    ASSERT_TRUE(sw.Bind()) << sw.Error();
    ASSERT_TRUE(sw.SetIoctlFail(true));
    Setting(1);
    EXPECT_EQ(sw.Opens(), 1);
    EXPECT_EQ(sw.Ioctls(), 1);
    Opened();

    EXPECT_TRUE(LinesMatch(Lines(6, mark), {
                                               kNoDevice,
                                               "00003,FifoReadFunc,TampDrvOpenProc failed\n",
                                               kIoctlFailed,
                                               "00003,FifoReadFunc,TampDrvOpenProc failed\n",
                                           }));
    Terminated();
    EXPECT_TRUE(sw.WaitForCount("closes", 1));
}

// 902 opens the device when the check is enabled and tells the supervisor how that went:
// status 0 with nothing to open or after a clean open, 1 after a failure.
TEST_F(CommandTest, WakeUpOpensTheDeviceAndReportsTheOutcome) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot("6", [](kivsim::UnitOptions &o) { o.tamperCheck = '0'; })) << unit().Error();
    kivsim::TampSwitch &sw = unit().Switch();
    size_t mark = LineMark();

    Wake(kWakeupOk); // check disabled: nothing to open
    EXPECT_EQ(sw.Opens(), 0);

    SetCheck('1');
    ASSERT_TRUE(sw.Unbind()) << sw.Error();
    Wake(kWakeupFailed);
    EXPECT_EQ(sw.Opens(), 0);

    ASSERT_TRUE(sw.Bind()) << sw.Error();
    ASSERT_TRUE(sw.SetIoctlFail(true));
    Wake(kWakeupFailed);
    EXPECT_EQ(sw.Opens(), 1);
    Opened(); // opened and watched although its configuration failed

    ASSERT_TRUE(sw.SetIoctlFail(false));
    Wake(kWakeupOk); // already open: nothing opened again
    EXPECT_EQ(sw.Opens(), 1);
    EXPECT_EQ(sw.Ioctls(), 1);

    EXPECT_TRUE(LinesMatch(Lines(6, mark), {
                                               kNoDevice,
                                               "00006,FifoReadFunc,TampDrvOpenProc failed\n",
                                               kIoctlFailed,
                                               "00006,FifoReadFunc,TampDrvOpenProc failed\n",
                                           }));
    // The start-up notification and the four answers, nothing else.
    EXPECT_EQ(Bytes(kFifoStsp), (Names{kWakeupOk, kWakeupOk, kWakeupFailed, kWakeupFailed, kWakeupOk}));
    Terminated();
}

// Whatever a writer puts into the pipe is taken 256 bytes at a time: a whole record is answered
// or refused with its line, even with non-digit or zero ids; fewer bytes are dropped with their
// count, never run as a command; and the process keeps serving.
TEST_F(CommandTest, RecordsOfAnyBytesAreAnsweredOrRefused) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot("6")) << unit().Error();
    size_t mark = LineMark();
    uint64_t records = unit().Mark();
    const int pipeFd = kive2e::DescriptorOf(unit().Monitor().Pid(), kivsim::PipePath(kivsim::kFifoTamp));
    auto dropped = [&](int n) {
        return "short record dropped(fifoDescript=" + std::to_string(pipeFd) + ", read-cnt=" + std::to_string(n) +
               "byte)\n";
    };
    struct Case {
        std::string bytes;
        std::string line;
    };
    const Case cases[] = {
        // Six bytes: never parsed as a zero-padded record.
        {"080903", dropped(6)},
        // Ids without leading digits convert to 0.
        {kivsim::MakeRecord(0, 901, "\x01").replace(0, 3, "0a0"), FormatErr("00008", "iMod_id:000/iCmd_id:901/data[0]:0x1")},
        {kivsim::MakeRecord(80, 0, "").replace(3, 3, "x9!"), FormatErr("00007", "iMod_id:080/iCmd_id:000/data[0]:0x20")},
        {std::string(256, '\0'), FormatErr("00008", "iMod_id:000/iCmd_id:000/data[0]:0x0")},
        // 300 bytes in one write: a whole record (a setting change) and 44 bytes that follow it.
        {kivsim::MakeRecord(80, 901, std::string(1, '\0')) + std::string(44, 'x'), dropped(44)},
    };
    std::vector<std::string> expected;
    // One at a time: bytes written while earlier ones still wait would be read together.
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_TRUE(unit().SendRaw(c.bytes)) << unit().Error();
        expected.push_back(c.line);
        ASSERT_TRUE(WaitLines(6, c.line, static_cast<size_t>(std::count(expected.begin(), expected.end(), c.line))));
    }
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    // The whole setting change of the 300 bytes and the barrier's.
    EXPECT_EQ(Bytes(kFifoSts, records), Names(2, kReply));
    EXPECT_TRUE(LinesMatch(Lines(6, mark), expected));
    Opened();
    Terminated();
}

// 1000 setting changes in a row are answered 1000 times, byte for byte; an enclosure opening in
// the middle of them is answered too; the process serves on.
TEST_F(CommandTest, BurstOfSettingChangesWithATamperEvent) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    ASSERT_TRUE(Boot("6")) << unit().Error();
    uint64_t records = unit().Mark();
    constexpr int kBurst = 1000;
    for (int i = 0; i < kBurst; ++i) {
        ASSERT_TRUE(unit().Send(901, 1)) << "command " << i << ": " << unit().Error();
        if (i == kBurst / 2) {
            ASSERT_TRUE(unit().Inject(1)) << unit().Error();
        }
    }
    ASSERT_TRUE(unit().Records().WaitCount(kFifoSts, 621, kBurst, 60000ms, records));
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, records)) << "no tamper response";
    for (auto pipe : {kFifoSts, kFifoLog, kFifoDisp}) unit().Reader(pipe)->Sync();

    std::vector<std::string> sts = Bytes(kFifoSts, records);
    ASSERT_EQ(sts.size(), static_cast<size_t>(kBurst + 1));
    auto status = std::find(sts.begin(), sts.end(), Rec("053609" "\x05\x01"));
    ASSERT_NE(status, sts.end());
    sts.erase(status);
    EXPECT_EQ(sts, Names(kBurst, kReply));
    EXPECT_EQ(Bytes(kFifoDisp, records), Names{Rec("053151" "0625 00000000")});
    EXPECT_EQ(unit().Records().Count(kFifoLog, 54, records), 1u);
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_EQ(unit().Switch().Opens(), 1);

    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    Opened();
    Terminated();
    EXPECT_TRUE(LinesMatch(Lines(6), {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n",
                                      "success of shmat(pShared=0x{x})\n", "end of InitProc\n", "Terminate reBoot\n",
                                      "start of TermProc\n", "end of TermProc\n"}));
}

} // namespace
