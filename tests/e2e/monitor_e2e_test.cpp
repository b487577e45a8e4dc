// The monitor's life seen from the unit, one scenario row each: start-up variants, the log level,
// the supervisor's commands, the tamper response, peers that stop reading or vanish, and signals
// in the middle of a response or during the wait.
#include "e2e_support.h"
#include "peers.h"

namespace kive2e {
namespace {

using kivsim::MakeRecord;

// The refusal of a record, numbered, with its module, command and data[0] as logged.
std::string Refused(const char *number, const char *mod, const char *cmd, const char *data0) {
    return std::string(number) + ",FifoReadFunc,message format err(iMod_id:" + mod + "/iCmd_id:" + cmd + "/data[0]:0x" +
           data0 + ")\n";
}
const std::string kNoDev = "00012,TampDrvOpenProc,open(Tamper Switch Driver) failed(errno=2(No such file or directory))\n";
const std::string kIoctl =
    "00013,TampDrvOpenProc,ioctrl(Tamper Switch Driver CR_SETTPPOLLTM) failed(errno=5(Input/output error))\n";
const std::string kEv = "00010,TampReadFunc,Error Tamper Switch Drive Read Data[0]= 0x";
const std::string kEof = "00011,TampReadFunc,Tamper Switch Driver Read Count= 0\n";
const std::string kReadFail =
    "00009,TampReadFunc,Tamper Switch Driver Read failed(pProcInfo->iSelectDes={v}), errno=5(Input/output error)\n";
const std::string kShmat = "success of shmat(pShared=0x{x})\n", kShmget = "error of shmget(iShmId=-1, errno=2)\n";
const std::string kKind = "00015,InitProcSub,DipSwitch Status Err(StatupProcInfo->pOtherData->DipSw.PareKind=0x";
const std::string kIllegal = "00005,FifoReadFunc,setting value is illegal(pProcInfo->pConfigData->other.tamper_check[0]=";
const Lines kDetach = {"error of shmdt(errno=22)\n", "error of ComShmClose()\n"};
const std::string kZero(1, '\0');

// A start-up with one more line before "end of InitProc" (or in front of them all).
Step Boot(const std::string &line, long at = 3) {
    Lines l = kBoot;
    l.insert(l.begin() + at, line);
    return {"", "W0", l};
}
// A failed start-up: wake-up status 1, terminate-complete, exit code 1.
Step Failed(Lines why, const Lines &end = {"end of TermProc\n"}) {
    why.insert(why.begin(), "start of TampProcess\n");
    why.insert(why.end(), {"initProc error (iRet=-1)\n", "start of TermProc\n"});
    why.insert(why.end(), end.begin(), end.end());
    return {"", "W1 T", why};
}
// A whole life: a refused record, a setting change and a tamper response.
Row Life(const char *name, std::string setup, Step boot = {"", "W0", {}}) {
    return {name, std::move(setup),
            {{"c081:900/00", "", {Refused("00008", "081", "900", "0")}}, {"c901/01", "R", {}}, {"e01", "X L D S", {}}},
            "", 0, std::move(boot)};
}
// n failed probes of each pipe that is gone, after the lines given.
Lines Gone(std::initializer_list<const char *> pipes, size_t n = 3, Lines out = {}) {
    for (const char *p : pipes)
        out.insert(out.end(), n, std::string("FIFO read open error (fifo=/tmp/pipe/") + p + ", errno=2(No such file or directory))\n");
    return out;
}
// A terminating signal while the response waits for room in the error log's pipe is held until
// the whole response is out; then it ends the process.
Row HeldSignal(const char *name, int sig) {
    return {name, "", {{"p e01 ww !" + std::to_string(sig) + " ?a", "X", {}}, {"r", "F L D S", {}}}, "", -sig};
}

const Row kRows[] = {
    // Start-up and shut-down.
    {"CheckDisabledNeverOpensTheDevice", "k0", {{"q01", "", {}}}, "o0 i0 r0 q1"},
    {"StandardDescriptorsClosedAtStartAreNotReused", "k0 stdio", {{"?fd c901/00", "R", {}}}},
    {"DeviceAbsent", "u", {}, "o0", 1, Failed({kShmat, kShmat, kNoDev, "00016,InitProcSub,TampDrvOpenProc failed"})},
    {"DeviceRefusesItsConfiguration", "i1", {}, "o1 i1 c1", 1,
     Failed({kShmat, kShmat, kIoctl, "00016,InitProcSub,TampDrvOpenProc failed"})},
    {"ConfigSegmentMissing", "xc", {}, "o0", 1, Failed({kShmget, "error of ComShmOpenRead()\n"}, kDetach)},
    {"KeyFileMissing", "xk", {}, "o0", 1, Failed({kShmget, "error of ComShmOpenRead()\n"}, kDetach)},
    {"OtherSegmentMissing", "xo", {}, "o0", 1, Failed({kShmat, kShmget, "error of ComShmOpenRead(OTHER)\n"}, kDetach)},
    {"CommandPipeMissing", "xt", {}, "", 1,
     Failed({"open(read) failed(/tmp/pipe/FifoTamp, errno=2)\n", "error(TampFifo read) of ComFifoCreate()\n"},
            {"close(fifoTampRead) failed(/tmp/pipe/FifoTamp, errno=9(Bad file descriptor))\n"})},
    // The pair kind is read big-endian whatever the host; 1 picks error code 0x22.
    {"PairKindOne", "k0 P1", {}},
    {"PairKindBytesInTheOtherOrder", "k0 P16777216", {}, "", 0, Boot(kKind + "1000000 \n")},
    {"PairKindInTheThirdByte", "k0 P256", {}, "", 0, Boot(kKind + "100 \n")},
    {"PairKindMinusOne", "k0 P-1", {}, "", 0, Boot(kKind + "ffffffff \n")},
    {"PairKindLowest", "k0 P-2147483648", {}, "", 0, Boot(kKind + "80000000 \n")},
    {"PairKindOneChoosesTheOtherCode", "P1", {{"e01", "X L2 D S", {}}}},
    {"PairKindTwoKeepsTheNormalCode", "P2", {{"e01", "X L D S", {}}}, "", 0, Boot(kKind + "2 \n")},
    // The log level of the command line.
    Life("LevelZeroLogsNothing", "arg=0 lv0"),
    Life("LevelMissing", "noarg", Boot("log level argument missing, level 6 used\n", 0)),
    Life("LevelNotANumber", "arg=abc", Boot("log level argument is not a number(abc), level 6 used\n", 0)),
    Life("LevelWithTrailingText", "arg=7x", Boot("log level argument is not a number(7x), level 6 used\n", 0)),
    Life("LevelAboveSeven", "arg=8 lv7", Boot("log level argument out of range(8), level 7 used\n", 0)),
    Life("LevelNegative", "arg=-1 lv0", {"", "W0", {"log level argument out of range(-1), level 0 used\n"}}),
    Life("UnderTheMemoryCheckerNothingIsLeftAllocated", "vg arg=7 lv7"),
    // Each road's trace lines, once, with the descriptors the process really holds.
    {"LevelSevenTracesEveryRoad", "arg=7 lv7", {{"?fd c901/01", "R", {}}, {"e01", "X L D S", {}}}, "", 0, {"", "W0", {}},
     {"pProcInfo = 0x{x}\n", "start of InitProc\n", "fifoTampRead = {p}\n", "success of ComShmOpenRead(OTHER)\n",
      "start of InitProcSub\n", "tamper driver open and ioctl success\n", "pProcInfo->iaSelectDes[0] = {p}\n",
      "pProcInfo->iaSelectDes[1] = {v}\n", "end of InitProcSub\n", "end of WakeupComplete\n", "start of MainProc\n",
      "start of FifoReadFunc\n", "iReadcnt = 256\n", "start of TampDrvOpenProc\n", "end of FifoReadFunc\n",
      "start of TampReadFunc\n", "start of WritePipe_ErrLog\n", "end of WritePipe_ErrLog\n", "end of TampReadFunc\n",
      "start of TermProcSub\n", "tamper driver close success\n", "end of TerminateComplete\n", "end of TermProcSub\n",
      "fifoTampRead of close(/tmp/pipe/FifoTamp)\n", "success of ComTimerDelete()\n", "success of ComShmClose()\n",
      "success of ComShmClose()\n", "memory free\n", "end of TampProcess\n"}},
    // Terminate takes data[0] 0 or 1 only (here 1); other senders and commands are refused.
    {"RefusedRecordsAreLoggedAndChangeNothing", "k0 t1",
     {{"c900/02 c900/31 c900/ff c081:900/00 c010:901/01 c903/00 c054/01", "",
       {Refused("00002", "080", "900", "2"), Refused("00002", "080", "900", "31"), Refused("00002", "080", "900", "ff"),
        Refused("00008", "081", "900", "0"), Refused("00008", "010", "901", "1"), Refused("00007", "080", "903", "0"),
        Refused("00007", "080", "054", "1")}}}},
    // 901 with data[0] 1 applies the check byte; every 901 is answered.
    {"SettingChangeAppliesTheCheckByte", "",
     {{"?fd c901/01", "R", {}},         // already open: not opened again
      {"k0 c901/00", "R", {}},          // data[0] 0: reply only, the device stays open
      {"c901/01", "R", {}},             // closed and no longer watched
      {"wp q01", "", {}},
      {"k1 c901/01", "R X L D S", {}},  // opened again; the waiting event is read now
      {"kX c901/01 c901/00", "R R", {kIllegal + "X\n"}},
      {"m e01", "X L D S", {}}},
     "o2 i2 c2 q0"},
    {"CheckByteTwoAtStartUp", "k2", {{"c901/01", "R", {kIllegal + "2\n"}}}, "o0"},
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
    // Whatever a writer puts into the pipe is read 256 bytes at a time, each read parsed as a record.
    {"RecordsOfAnyBytesAreAnsweredOrRefused", "",
     {{"", "", {Refused("00007", "080", "903", "0")}, "080903"},
      {"", "", {Refused("00008", "000", "901", "1")}, MakeRecord(0, 901, "\x01").replace(0, 3, "0a0")},
      {"", "", {Refused("00007", "080", "000", "20")}, MakeRecord(80, 0, "").replace(3, 3, "x9!")},
      {"", "", {Refused("00008", "000", "000", "0")}, std::string(256, '\0')},
      {"", "R", {Refused("00008", "000", "000", "78")}, MakeRecord(80, 901, kZero) + std::string(44, 'x')},
      {"", "R", {}, std::string("080901\0", 7)},
      {"", "R W0", {Refused("00008", "081", "901", "2")},
       MakeRecord(80, 901, kZero) + MakeRecord(80, 902, kZero) + MakeRecord(81, 901, "\x02")},
      {"e01", "X L D S", {}}}},
    {"EventInABurstOfSettingChanges", "any", {{"c901/01*100 q01 c901/01*100", "R*200 X L D S", {}}}, "o1 r1"},
    // The tamper response: card master file first, then error log, display and supervisor.
    {"EveryOpeningDeletesTheCardMasterAndRaisesThreeRecords", "",
     {{"e01", "X L D S", {}}, {"e01", "L D S", {}}, {"m e01", "X L D S", {}}}, "o1 i1 c1"},
    {"EventsQueuedTogetherAreAnsweredOneAfterTheOther", "",
     {{"e0102018001ff", "X L D S L D S L D S", {kEv + "2\n", kEv + "80\n", kEv + "ff\n"}}}},
    {"FailedDeletionIsLoggedAndTheAlarmsStillGoOut", "",
     {{"M e01", "L D S",
       {"00018,TampReadFunc,/usr/local/zk/ap/conf/cardmaster.dat delete failed(errno=39(Directory not empty))\n"}}}},
    {"OtherEventsAndFailedReadsChangeNothing", "",
     {{"?fd e00 e02 eff Z2 E2", "", {kEv + "0\n", kEv + "2\n", kEv + "ff\n", kEof, kEof, kReadFail, kReadFail}},
      {"e01", "X L D S", {}}},  // still watched
     "r8 q0"},
    // Each send to a missing pipe gives up after three attempts; the card master file goes anyway.
    {"MissingPeerPipesDoNotStopTheResponse", "",
     {{"-l -d e01", "X S", Gone({"FifoLog", "FifoDisp"})},
      {"m -s e01", "X", Gone({"FifoLog", "FifoDisp", "FifoSts"})},
      {"+l +d +s m e01", "X L D S", {}}}},
    // The response waits for room after the deletion; a command arriving meanwhile waits behind it.
    {"ErrorLogThatStopsReadingHoldsTheResponseOnlyAfterTheDeletion", "",
     {{"p e01 ww ?C c901/00", "X", {}}, {"r", "F L D S R", {}}, {"m e01", "X L D S", {}}}},
    // The waiting write fails with a broken pipe, whose signal stays blocked; the response goes on.
    {"ErrorLogThatVanishesUnderAWaitingSendBreaksOnlyThatSend", "",
     {{"p e01 ww ?C -l", "X D S", Gone({"FifoLog"}, 2, {"FIFO write error (fifo=/tmp/pipe/FifoLog, errno=32(Broken pipe))\n"})},
      {"?p13 +l m e01", "X L D S", {}}}},
    // The reader's process is gone but its pipe stays: the probe waits for a reader to come back.
    {"ErrorLogWhoseProcessDiedLeavesTheResponseWaitingForAReader", "",
     {{"-l nl e01 wo ?C", "X", {}}, {"+l", "L D S", {}}, {"m e01", "X L D S", {}}}},
    HeldSignal("TermDuringAResponseWaitsForItsEnd", 15),
    HeldSignal("IntDuringAResponseWaitsForItsEnd", 2),
    HeldSignal("HupDuringAResponseWaitsForItsEnd", 1),
    // Other signals stay blocked during the wait: they neither end nor disturb the process.
    {"OtherSignalsStayBlockedDuringTheWait", "", {{"wp ?w !3,12,13,14,20,21,24,26,27,29,34,64", "", {}}, {"e01", "X L D S", {}}}},
};

class Monitor : public testing::TestWithParam<Row> {};
TEST_P(Monitor, Scenario) { kive2e::Run(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, Monitor, testing::ValuesIn(kRows), RowName);

} // namespace
} // namespace kive2e
