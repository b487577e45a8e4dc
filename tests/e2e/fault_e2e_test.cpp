// Faults around a running monitor: peers that stop reading or vanish, and signals in the middle
// of a tamper response or during the wait, one scenario row each.
#include "e2e_support.h"

namespace {

using kive2e::Lines;
using kive2e::Row;

std::string Gone(const char *pipe) {
    return std::string("FIFO read open error (fifo=/tmp/pipe/") + pipe + ", errno=2(No such file or directory))\n";
}
const Lines kLogGone(3, Gone("FifoLog")), kDispGone(3, Gone("FifoDisp")), kStsGone(3, Gone("FifoSts"));
Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A terminating signal while the response waits for room in the error log's pipe is held until
// the whole response is out; then it ends the process.
Row HeldSignal(const char *name, int sig) {
    return {name, "", {{"p e01 ww !" + std::to_string(sig) + " ?a", "X", {}}, {"r", "F L D S", {}}}, "", -sig};
}

const Row kRows[] = {
    // Each send to a missing pipe gives up after three attempts; the card master file goes anyway.
    {"MissingPeerPipesDoNotStopTheResponse", "",
     {{"-l -d e01", "X S", Join({kLogGone, kDispGone})},
      {"m -s e01", "X", Join({kLogGone, kDispGone, kStsGone})},
      {"+l +d +s m e01", "X L D S", {}}}},
    // A regular file in a pipe's place receives nothing: the send fails at its write open.
    {"RegularFileInTheErrorLogsPlaceReceivesNothing", "",
     {{"-l gl e01", "X D S", Lines(3, "FIFO write open error (fifo=/tmp/pipe/FifoLog, errno=22(Invalid argument))\n")},
      {"?e +l m e01", "X L D S", {}}}},
    // The response waits for room after the deletion; a command arriving meanwhile waits behind it.
    {"ErrorLogThatStopsReadingHoldsTheResponseOnlyAfterTheDeletion", "",
     {{"p e01 ww ?C c901/00", "X", {}}, {"r", "F L D S R", {}}, {"m e01", "X L D S", {}}}},
    // The waiting write fails with a broken pipe, whose signal stays blocked; the response goes on.
    {"ErrorLogThatVanishesUnderAWaitingSendBreaksOnlyThatSend", "",
     {{"p e01 ww ?C -l", "X D S",
       {"FIFO write error (fifo=/tmp/pipe/FifoLog, errno=32(Broken pipe))\n", Gone("FifoLog"), Gone("FifoLog")}},
      {"?p13 +l m e01", "X L D S", {}}}},
    // The reader's process is gone but its pipe stays: the probe waits for a reader to come back.
    {"ErrorLogWhoseProcessDiedLeavesTheResponseWaitingForAReader", "",
     {{"-l nl e01 wo ?C", "X", {}}, {"+l", "L D S", {}}, {"m e01", "X L D S", {}}}},
    HeldSignal("TermDuringAResponseWaitsForItsEnd", 15),
    HeldSignal("IntDuringAResponseWaitsForItsEnd", 2),
    HeldSignal("HupDuringAResponseWaitsForItsEnd", 1),
    // Other signals stay blocked during the wait: they neither end nor disturb the process.
    {"OtherSignalsStayBlockedDuringTheWait", "",
     {{"wp ?w !3,12,13,14,20,21,24,26,27,29,34,64", "", {}}, {"e01", "X L D S", {}}}},
};

class Faults : public testing::TestWithParam<Row> {};
TEST_P(Faults, Scenario) { kive2e::Run(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Rows, Faults, testing::ValuesIn(kRows), kive2e::RowName);

} // namespace
