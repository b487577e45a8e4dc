// The enclosure is opened: the card master file goes, and the error log, the display and the
// supervisor hear of it, in that order, every time. Events the device should not report are
// logged and change nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using kive2e::LinesMatch;
using kive2e::Rec;
using kivsim::kFifoDisp;
using kivsim::kFifoLog;
using kivsim::kFifoSts;
using Names = std::vector<std::string>;

constexpr const char *kConfDir = "/usr/local/zk/ap/conf";
const std::string kDisplay = Rec("053151" "0625 00000000");
const std::string kErrorStatus = Rec("053609" "\x05\x01");

class TamperTest : public kive2e::MonitorTest {
protected:
    // Makes the device readable (an event byte, or a read fault set up by `fault`) and waits until
    // the monitor has dealt with it: its read has reached the device, and a command sent after
    // that has been answered. (A command alone is no barrier: it may be read before the device
    // has become readable.)
    void Event(const std::function<bool()> &make) {
        long reads = unit().Switch().Reads();
        ASSERT_TRUE(make()) << unit().Error() << unit().Switch().Error();
        ASSERT_TRUE(unit().Switch().WaitForCount("reads", reads + 1));
        ASSERT_TRUE(unit().Barrier()) << unit().Error();
    }
    void Event(unsigned char byte) {
        Event([&] { return unit().Inject(byte); });
    }

    // Injects event byte 1 and waits for the three records it raises; checks the error-log record
    // byte for byte with the given code, its date and time against the clock around the event,
    // and the write order.
    void Opened(unsigned char code) {
        unit().ClearWriteOrder();
        uint64_t mark = unit().Mark();
        std::string before = kive2e::StampNow();
        ASSERT_TRUE(unit().Inject(1)) << unit().Error();
        auto sts = unit().WaitRecord(kFifoSts, 609, 5000ms, mark);
        ASSERT_TRUE(sts) << "no error status on FifoSts";
        std::string after = kive2e::StampNow();
        EXPECT_EQ(unit().WriteOrder(3), (Names{"FifoLog", "FifoDisp", "FifoSts"}));
        ASSERT_TRUE(unit().Barrier()) << unit().Error();

        std::vector<std::string> log = Bytes(kFifoLog, mark);
        ASSERT_EQ(log.size(), 1u);
        ASSERT_EQ(log[0].size(), 256u);
        std::string stamp = log[0].substr(6, 14);
        for (char c : stamp) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << stamp;
        EXPECT_LE(before, stamp);
        EXPECT_LE(stamp, after);
        EXPECT_EQ(log[0], Rec("053054" + stamp + static_cast<char>(code) + "\x01"));
        EXPECT_EQ(Bytes(kFifoDisp, mark), Names{kDisplay});
        EXPECT_EQ(Bytes(kFifoSts, mark), (Names{kErrorStatus, Rec("053621")})); // 621: the barrier
    }
};

// The first event deletes the card master file and moves the process into its directory; the
// device stays open and watched, so a second event, with the file already gone, raises the three
// records again without any complaint.
TEST_F(TamperTest, EveryOpeningDeletesTheCardMasterAndRaisesThreeRecordsInOrder) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto wake = Boot("6");
    ASSERT_TRUE(wake) << unit().Error();
    pid_t pid = unit().Monitor().Pid();
    EXPECT_NE(kive2e::WorkingDirectory(pid), kConfDir);
    ASSERT_TRUE(unit().CardMasterExists());
    size_t mark = LineMark();

    Opened(0x21);
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_EQ(kive2e::WorkingDirectory(pid), kConfDir);

    Opened(0x21);
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {}));
    EXPECT_EQ(unit().Switch().Opens(), 1);
    EXPECT_EQ(unit().Switch().Closes(), 0);

    // A file that reappears is deleted again.
    ASSERT_TRUE(unit().CreateCardMaster());
    Opened(0x21);
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {}));
}

// A card master that cannot be removed is reported; the alarms are raised all the same.
TEST_F(TamperTest, FailedDeletionIsLoggedAndTheAlarmsStillGoOut) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto wake = Boot("6", [](kivsim::UnitOptions &o) { o.cardMaster = false; });
    ASSERT_TRUE(wake) << unit().Error();
    std::string blocker = std::string(kivsim::kCardMasterFile) + "/entry";
    ASSERT_EQ(mkdir(kivsim::kCardMasterFile, 0755), 0);
    ASSERT_EQ(mkdir(blocker.c_str(), 0755), 0);
    size_t mark = LineMark();
    Opened(0x21);
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {"00018,TampReadFunc,/usr/local/zk/ap/conf/cardmaster.dat delete "
                                            "failed(errno=39(Directory not empty))\n"}));
    rmdir(blocker.c_str());
    rmdir(kivsim::kCardMasterFile);
}

// The pair kind of the DIP switch, big-endian in OTHER, picks the error code of the error-log
// record; a kind other than 0 or 1 is reported at start-up and the normal code used.
TEST_F(TamperTest, PairKindChoosesTheErrorCode) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    struct Case {
        int32_t kind;
        unsigned char code;
        const char *line; // between the attach lines and "end of InitProc", if any
    };
    const Case cases[] = {
        {0, 0x21, nullptr},
        {1, 0x22, nullptr},
        {5, 0x21, "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x5 \n"},
        // Bytes 01 00 00 00: read in the wrong byte order this would be kind 1.
        {0x01000000, 0x21,
         "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x1000000 \n"},
        {-1, 0x21, "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0xffffffff \n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("pair kind " + std::to_string(c.kind));
        auto wake = Boot("6", [&](kivsim::UnitOptions &o) { o.pairKind = c.kind; });
        ASSERT_TRUE(wake) << unit().Error();
        EXPECT_EQ(wake->bytes, Rec("053600" "000" "0312"));
        std::vector<std::string> startup = {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n",
                                            "success of shmat(pShared=0x{x})\n"};
        if (c.line != nullptr) startup.push_back(c.line);
        startup.push_back("end of InitProc\n");
        EXPECT_TRUE(LinesMatch(Lines(6), startup));
        Opened(c.code);
        if (HasFatalFailure()) return;
    }
}

// Bytes other than 1, a zero-length read and a failing read are logged; nothing is deleted or
// sent, the working directory stays, and the device is still watched afterwards.
TEST_F(TamperTest, OtherEventsAndFailedReadsChangeNothing) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto wake = Boot("6");
    ASSERT_TRUE(wake) << unit().Error();
    pid_t pid = unit().Monitor().Pid();
    std::string cwd = kive2e::WorkingDirectory(pid);
    int dev = kive2e::DescriptorOf(pid, kivsim::kTampDevice);
    ASSERT_GT(dev, 2);
    size_t mark = LineMark();
    uint64_t records = unit().Mark();

    Event(0);
    Event(2);
    Event(0xff);
    Event([&] { return unit().Switch().SetEof(1); });
    Event([&] { return unit().Switch().SetReadFail(1); });

    EXPECT_TRUE(LinesMatch(Lines(6, mark),
                           {
                               "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x0\n",
                               "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x2\n",
                               "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0xff\n",
                               "00011,TampReadFunc,Tamper Switch Driver Read Count= 0\n",
                               "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes=" +
                                   std::to_string(dev) + "), errno=5(Input/output error)\n",
                           }));
    // Only the barriers' replies.
    EXPECT_EQ(Bytes(kFifoSts, records), Names(5, Rec("053621")));
    EXPECT_TRUE(Bytes(kFifoLog, records).empty());
    EXPECT_TRUE(Bytes(kFifoDisp, records).empty());
    EXPECT_TRUE(unit().CardMasterExists());
    EXPECT_EQ(kive2e::WorkingDirectory(pid), cwd);
    EXPECT_EQ(unit().Switch().Reads(), 5);

    Opened(0x21);
    EXPECT_FALSE(unit().CardMasterExists());
}

// Peers that are gone when the enclosure opens: the card master file is deleted all the same,
// each send to a missing pipe fails after three attempts without creating anything, the records
// for the peers that are there still arrive, and the monitor keeps serving.
TEST_F(TamperTest, MissingPeerPipesDoNotStopTheResponse) {
    KIVE2E_NEEDS_DEVICE_IOCTL();
    auto wake = Boot("6");
    ASSERT_TRUE(wake) << unit().Error();
    size_t mark = LineMark();
    ASSERT_TRUE(unit().RemovePeer(kFifoLog));
    ASSERT_TRUE(unit().RemovePeer(kFifoDisp));
    unit().ClearWriteOrder();
    uint64_t records = unit().Mark();
    ASSERT_TRUE(unit().Inject(1)) << unit().Error();
    ASSERT_TRUE(unit().WaitRecord(kFifoSts, 609, 5000ms, records));
    ASSERT_TRUE(unit().Barrier()) << unit().Error();
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_EQ(Bytes(kFifoSts, records), (Names{kErrorStatus, Rec("053621")}));
    EXPECT_EQ(access("/tmp/pipe/FifoLog", F_OK), -1);
    EXPECT_EQ(access("/tmp/pipe/FifoDisp", F_OK), -1);
    const std::string log = "FIFO read open error (fifo=/tmp/pipe/FifoLog, errno=2(No such file or directory))\n";
    const std::string disp = "FIFO read open error (fifo=/tmp/pipe/FifoDisp, errno=2(No such file or directory))\n";
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {log, log, log, disp, disp, disp}));

    // The supervisor's own pipe gone as well: nothing reaches anyone, the file still goes.
    ASSERT_TRUE(unit().CreateCardMaster());
    ASSERT_TRUE(unit().RemovePeer(kFifoSts));
    mark = LineMark();
    ASSERT_TRUE(unit().Inject(1)) << unit().Error();
    const std::string sts = "FIFO read open error (fifo=/tmp/pipe/FifoSts, errno=2(No such file or directory))\n";
    ASSERT_TRUE(WaitLines(6, sts, 3));
    EXPECT_FALSE(unit().CardMasterExists());
    EXPECT_TRUE(LinesMatch(Lines(6, mark), {log, log, log, disp, disp, disp, sts, sts, sts}));

    // The peers come back, and the next opening reaches all three again.
    for (auto pipe : {kFifoLog, kFifoDisp, kFifoSts}) ASSERT_TRUE(unit().RestorePeer(pipe)) << unit().Error();
    ASSERT_TRUE(unit().CreateCardMaster());
    Opened(0x21);
    EXPECT_FALSE(unit().CardMasterExists());
}

} // namespace
