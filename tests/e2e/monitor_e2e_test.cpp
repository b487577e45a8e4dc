// The monitor's life seen from the unit: start-up variants, the log level, the supervisor's
// commands and the tamper response, one scenario row each.
#include "e2e_support.h"
#include "peers.h"

namespace {

using kive2e::kBoot;
using kive2e::Lines;
using kive2e::Row;
using kivsim::MakeRecord;

std::string Fmt(const char *number, const char *fields) {
    return std::string(number) + ",FifoReadFunc,message format err(" + fields + ")\n";
}
std::string Kind(const char *shown) {
    return std::string("00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=") + shown + " \n";
}
std::string Illegal(char c) {
    return std::string("00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=") + c + "\n";
}
Lines With(Lines l, size_t at, const std::string &line) {
    l.insert(l.begin() + static_cast<long>(at), line);
    return l;
}
const std::string kNoDev = "00012,TampDrvOpenProc,open(Tamper Switch Driver) failed(errno=2(No such file or directory))\n";
const std::string kIoctl =
    "00013,TampDrvOpenProc,ioctrl(Tamper Switch Driver CR_SETTPPOLLTM) failed(errno=5(Input/output error))\n";
const std::string kEv = "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x";
const Lines kFailEnd = {"initProc error (iRet=-1)\n", "start of TermProc\n"};
const Lines kNoConfig = {"start of TampProcess\n", "error of shmget(iShmId=-1, errno=2)\n", "error of ComShmOpenRead()\n",
                         "initProc error (iRet=-1)\n", "start of TermProc\n", "error of shmdt(errno=22)\n",
                         "error of ComShmClose()\n"};
Lines Failed(const Lines &why, Lines end = {"end of TermProc\n"}) {
    Lines l = {"start of TampProcess\n"};
    l.insert(l.end(), why.begin(), why.end());
    l.insert(l.end(), kFailEnd.begin(), kFailEnd.end());
    l.insert(l.end(), end.begin(), end.end());
    return l;
}
const std::string kShmat = "success of shmat(pShared=0x{x})\n";
const std::string kCount0 = "00011,TampReadFunc,Tamper Switch Driver Read Count= 0\n";
const std::string kReadFailed =
    "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes={v}), errno=5(Input/output error)\n";
std::string Short(int n) { return "short record dropped(fifoDescript={p}, read-cnt=" + std::to_string(n) + "byte)\n"; }

// A whole life: a refused record, a setting change and a tamper response.
Row Life(const char *name, std::string setup, Lines boot = {}) {
    return {name, std::move(setup),
            {{"c081:900/00", "", {Fmt("00008", "iMod_id:081/iCmd_id:900/data[0]:0x0")}}, {"c901/01", "R", {}}, {"e01", "X L D S", {}}},
            "", 0, {"", "W0", std::move(boot)}};
}
Lines Complaint(const char *line, bool shown = true) { return shown ? With(kBoot, 0, line) : Lines{line}; }

const Row kRows[] = {
    // Start-up and shut-down.
    {"CheckEnabledOpensTheDeviceOnceAndClosesItAtTheEnd", "", {{"?fd", "", {}}}, "o1 i1 c1"},
    {"CheckDisabledNeverOpensTheDevice", "k0", {{"q01", "", {}}}, "o0 i0 r0 q1"},
    {"StandardDescriptorsClosedAtStartAreNotReused", "k0 stdio", {{"?fd c901/00", "R", {}}}},
    {"DeviceAbsent", "nodev", {}, "o0", 1, {"", "W1 T", Failed({kShmat, kShmat, kNoDev, "00016,InitProcSub,TampDrvOpenProc failed"})}},
    {"DeviceRefusesItsConfiguration", "noioctl", {}, "o1 i1 c1", 1,
     {"", "W1 T", Failed({kShmat, kShmat, kIoctl, "00016,InitProcSub,TampDrvOpenProc failed"})}},
    {"ConfigSegmentMissing", "nocfg", {}, "o0", 1, {"", "W1 T", kNoConfig}},
    {"KeyFileMissing", "nokey", {}, "o0", 1, {"", "W1 T", kNoConfig}},
    {"OtherSegmentMissing", "nooth", {}, "o0", 1,
     {"", "W1 T", Failed({kShmat, "error of shmget(iShmId=-1, errno=2)\n", "error of ComShmOpenRead(OTHER)\n"},
                         {"error of shmdt(errno=22)\n", "error of ComShmClose()\n"})}},
    {"CommandPipeMissing", "nopipe", {}, "", 1,
     {"", "W1 T", Failed({"open(read) failed(/tmp/pipe/FifoTamp, errno=2)\n", "error(TampFifo read) of ComFifoCreate()\n"},
                         {"close(fifoTampRead) failed(/tmp/pipe/FifoTamp, errno=9(Bad file descriptor))\n"})}},
    // The pair kind is read big-endian whatever the host; 1 picks error code 0x22.
    {"PairKindOne", "k0 kind=1", {}},
    {"PairKindBytesInTheOtherOrder", "k0 kind=16777216", {}, "", 0, {"", "W0", With(kBoot, 3, Kind("0x1000000"))}},
    {"PairKindInTheThirdByte", "k0 kind=256", {}, "", 0, {"", "W0", With(kBoot, 3, Kind("0x100"))}},
    {"PairKindMinusOne", "k0 kind=-1", {}, "", 0, {"", "W0", With(kBoot, 3, Kind("0xffffffff"))}},
    {"PairKindLowest", "k0 kind=-2147483648", {}, "", 0, {"", "W0", With(kBoot, 3, Kind("0x80000000"))}},
    {"PairKindOneChoosesTheOtherCode", "kind=1", {{"e01", "X L2 D S", {}}}},
    {"PairKindTwoKeepsTheNormalCode", "kind=2", {{"e01", "X L D S", {}}}, "", 0, {"", "W0", With(kBoot, 3, Kind("0x2"))}},
    // The log level of the command line.
    Life("LevelSix", ""),
    Life("LevelZeroLogsNothing", "arg=0 lv0"),
    Life("LevelMissing", "noarg", Complaint("log level argument missing, level 6 used\n")),
    Life("LevelEmpty", "arg=", Complaint("log level argument is not a number(), level 6 used\n")),
    Life("LevelNotANumber", "arg=abc", Complaint("log level argument is not a number(abc), level 6 used\n")),
    Life("LevelWithTrailingText", "arg=7x", Complaint("log level argument is not a number(7x), level 6 used\n")),
    Life("LevelAboveSeven", "arg=8 lv7", Complaint("log level argument out of range(8), level 7 used\n")),
    Life("LevelTooLong", "arg=99999999999999999999 lv7",
         Complaint("log level argument out of range(99999999999999999999), level 7 used\n")),
    Life("LevelNegative", "arg=-1 lv0", Complaint("log level argument out of range(-1), level 0 used\n", false)),
    Life("UnderTheMemoryCheckerNothingIsLeftAllocated", "vg arg=7 lv7"),
    // Each road's trace lines, once, with the descriptors the process really holds.
    {"LevelSevenTracesEveryRoad", "arg=7 lv7", {{"?fd c901/01", "R", {}}, {"e01", "X L D S", {}}}, "", 0, {"", "W0", {}},
     {"pProcInfo = 0x{x}\n", "start of InitProc\n", "success of fifoReadOpen(TAMP)\n", "fifoTampRead = {p}\n",
      "success of ComShmOpenRead()\n", "success of ComShmOpenRead(OTHER)\n", "start of InitProcSub\n",
      "start of TampDrvOpenProc\n", "tamper driver open and ioctl success\n", "start of SetSelectFD\n",
      "pProcInfo->iaSelectDes[0] = {v}\n", "pProcInfo->iaSelectDes[1] = {p}\n", "end of SetSelectFD\n",
      "end of TampDrvOpenProc\n", "end of InitProcSub\n", "start of WakeupComplete\n", "end of WakeupComplete\n",
      "start of MainProc\n", "start of FifoReadFunc\n", "iReadcnt = 256\n", "start of TampDrvOpenProc\n",
      "end of TampDrvOpenProc\n", "end of FifoReadFunc\n", "start of TampReadFunc\n", "start of WritePipe_ErrLog\n",
      "end of WritePipe_ErrLog\n", "end of TampReadFunc\n", "start of FifoReadFunc\n", "start of TermProcSub\n",
      "start of TampDrvCloseProc\n", "tamper driver close success\n", "end of TampDrvCloseProc\n",
      "start of TerminateComplete\n", "end of TerminateComplete\n", "end of TermProcSub\n",
      "fifoTampRead of close(/tmp/pipe/FifoTamp)\n", "success of ComTimerDelete()\n", "success of ComShmClose()\n",
      "success of ComShmClose()\n", "memory free\n", "end of TampProcess\n"}},
    // Commands: terminate takes data[0] 0 or 1 only; other senders and commands are refused.
    {"TerminateTakesOnlyZeroOrOne", "k0 t1",
     {{"c900/02 c900/31 c900/ff", "",
       {Fmt("00002", "iMod_id:080/iCmd_id:900/data[0]:0x2"), Fmt("00002", "iMod_id:080/iCmd_id:900/data[0]:0x31"),
        Fmt("00002", "iMod_id:080/iCmd_id:900/data[0]:0xff")}}}},
    {"ForeignSendersAndUnknownCommandsAreRefused", "k0",
     {{"c081:900/00 c010:901/01 c903/00 c054/01", "",
       {Fmt("00008", "iMod_id:081/iCmd_id:900/data[0]:0x0"), Fmt("00008", "iMod_id:010/iCmd_id:901/data[0]:0x1"),
        Fmt("00007", "iMod_id:080/iCmd_id:903/data[0]:0x0"), Fmt("00007", "iMod_id:080/iCmd_id:054/data[0]:0x1")}}}},
    // 901 with data[0] 1 applies the check byte; every 901 is answered.
    {"SettingChangeAppliesTheCheckByte", "",
     {{"c901/01", "R", {}},                       // already open: not opened again
      {"k0 c901/00", "R", {}},                    // data[0] 0: reply only, the device stays open
      {"c901/01", "R", {}},                       // closed and no longer watched
      {"wp q01", "", {}},
      {"k1 c901/01", "R X L D S", {}},            // opened again; the waiting event is read now
      {"kX c901/01 c901/00", "R R", {Illegal('X')}},
      {"m e01", "X L D S", {}}},
     "o2 i2 c2 q0"},
    {"CheckByteTwoAtStartUp", "k2", {{"c901/01", "R", {Illegal('2')}}}, "o0"},
    {"CheckByteFFAtStartUp", "k\xff", {{"c901/01", "R", {Illegal('\xff')}}}, "o0"},
    {"SettingChangeReportsDeviceFailures", "k0",
     {{"u k1 c901/01", "R", {kNoDev, "00003,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"b i1 c901/01", "R", {kIoctl, "00003,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"e01", "X L D S", {}}},  // watched although its configuration failed
     "o1 i1 c1"},
    {"WakeUpOpensTheDeviceAndReportsTheOutcome", "k0",
     {{"c902/00", "W0", {}},
      {"k1 u c902/00", "W1", {kNoDev, "00006,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"b i1 c902/00", "W1", {kIoctl, "00006,FifoReadFunc,TampDrvOpenProc failed\n"}},
      {"e01", "X L D S", {}},
      {"i0 c902/00", "W0", {}}},  // already open: not opened again
     "o1 i1 c1"},
    // Whatever a writer puts into the pipe is read 256 bytes at a time; a read of a whole record is
    // parsed, fewer bytes are dropped with their count (six of a terminate would otherwise stop it).
    {"RecordsOfAnyBytesAreAnsweredOrRefused", "",
     {{"?fd", "", {Short(6)}, "080900"},
      {"", "", {Fmt("00008", "iMod_id:000/iCmd_id:901/data[0]:0x1")}, MakeRecord(0, 901, "\x01").replace(0, 3, "0a0")},
      {"", "", {Fmt("00007", "iMod_id:080/iCmd_id:000/data[0]:0x20")}, MakeRecord(80, 0, "").replace(3, 3, "x9!")},
      {"", "", {Fmt("00008", "iMod_id:000/iCmd_id:000/data[0]:0x0")}, std::string(256, '\0')},
      {"", "R", {Short(44)}, MakeRecord(80, 901, std::string(1, '\0')) + std::string(44, 'x')},
      {"", "", {Short(7)}, std::string("080901\0", 7)},
      {"", "R W0", {Fmt("00008", "iMod_id:081/iCmd_id:901/data[0]:0x2")},
       MakeRecord(80, 901, std::string(1, '\0')) + MakeRecord(80, 902, std::string(1, '\0')) + MakeRecord(81, 901, "\x02")},
      {"e01", "X L D S", {}}}},
    {"EventInABurstOfSettingChanges", "any", {{"c901/01*100 q01 c901/01*100", "R*200 X L D S", {}}}, "o1 r1"},
    // The device is served before the command pipe: a flood of commands cannot hold off the response.
    {"EventDuringACommandFloodIsAnsweredAtOnce", "any", {{"f01", "X L D S", {}}}, "r1"},
    // With its own writing end held, a pipe without other writers leaves the monitor asleep.
    {"NoWriterOnTheCommandPipeLeavesTheMonitorIdle", "", {{"h0 ?i h1 c901/00", "R", {}}}},
    // The tamper response: card master file first, then error log, display and supervisor.
    {"EveryOpeningDeletesTheCardMasterAndRaisesThreeRecords", "",
     {{"e01", "X L D S", {}}, {"e01", "L D S", {}}, {"m e01", "X L D S", {}}}, "o1 c1"},
    {"EventsQueuedTogetherAreAnsweredOneAfterTheOther", "",
     {{"e0102018001ff", "X L D S L D S L D S", {kEv + "2\n", kEv + "80\n", kEv + "ff\n"}}}},
    {"FailedDeletionIsLoggedAndTheAlarmsStillGoOut", "nocard",
     {{"M e01", "L D S",
       {"00018,TampReadFunc,/usr/local/zk/ap/conf/cardmaster.dat delete failed(errno=39(Directory not empty))\n"}}}},
    {"OtherEventsAndFailedReadsChangeNothing", "",
     {{"?fd e00 e02 eff Z2 E2", "",
       {kEv + "0\n", kEv + "2\n", kEv + "ff\n", kCount0, kReadFailed}},  // the second of a kind within a second: not logged
      {"e01", "X L D S", {}}},  // still watched
     "r8 q0"},
    // A device that keeps failing is read again only after a pause, logged once a second, and
    // answered in full once it recovers; commands are answered meanwhile. (A read that comes just
    // as the failures stop waits for what the next action makes due, so no action waits for it.)
    {"DeviceThatKeepsFailingIsReadSeldom", "",
     {{"?fd Ef ?s c901/00", "R", {kReadFailed}}, {"E0 Zf ?s c901/00", "R", {kCount0}}, {"Z0 q01", "X L D S", {}}}},
};

class Monitor : public testing::TestWithParam<Row> {};
TEST_P(Monitor, Scenario) { kive2e::Run(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, Monitor, testing::ValuesIn(kRows), kive2e::RowName);

} // namespace
