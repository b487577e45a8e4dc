// Scenario runner of the end-to-end tests: one simulated unit around the real kivtamp binary per
// row; the row says how the unit starts, what happens to the monitor step by step and what every
// peer, the log and the process show for it.
#ifndef KIVE2E_SUPPORT_H
#define KIVE2E_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kive2e {

using Lines = std::vector<std::string>;

// One step: actions, then the records and priority-6 lines they cause, waited for in that order.
//  actions  c[mmm:]ccc/hh[*n] command (module 80 unless given, data[0] hex, n times)
//           eHH..  switch events, waited for until the device has been read; qHH.. not waited for
//           En Zn  the next n device reads fail / return end of file (waited for); Ef Zf every
//                  read from now on (not waited for)
//           fHH    event HH during a continuous flood of 901/01 from the supervisor, read within
//                  2 s while the flood lasts; each record of the flood expects its R
//           h0 h1  the supervisor lets go of / holds again the command pipe's writing end
//           gP     a regular file made in peer P's place
//           kC     CONFIG check byte C;  u b  device unbound / bound;  i1 i0  its ioctl fails / works
//           -P +P  peer P (l: FifoLog, d: FifoDisp, s: FifoSts) gone / back (nothing made meanwhile)
//           nl     FifoLog made again with nobody reading it
//           p r    error-log reader pauses with its pipe filled / resumes;  m M  card master file
//                  made / made a non-empty directory
//           wp ww wo  monitor waits in pselect / write / open
//           !S,S.. signals sent (each must stay pending)
//           ?w ?a  blocked signals: all but those the wait lets through / all but KILL and STOP
//           ?i     the monitor takes no CPU time over 300 ms;  ?s over 400 ms it reads the device
//                  at most 12 times and takes under 1 % of a CPU;  ?e the regular file at FifoLog
//                  is empty (then removed)
//           ?pS    signal S pending;  ?C card master gone;  ?fd descriptors of pipe and device
//                  above 2, and named {p} and {v} in the expected lines
//  records  in write order: W0 W1 wake-up status; R setting reply; T terminate-complete; S error
//           status; D display; L L2 error-log record with code 0x21 / 0x22 and the time of the
//           run; F the fillers; X the card master file deleted (seen in the write order). tok*n.
//  raw      bytes written to the command pipe before the actions, as they are
struct Step {
    std::string act;
    std::string recs;
    Lines lines;
    std::string raw = {};
};

// Start-up tokens: kC check byte; kind=N pair kind; nodev nocard nopipe (absent); nocfg nooth
// nokey (segment / key file gone); noioctl; arg=X level argument (default 6), noarg; lv0 lv7
// level in force; stdio descriptors 0-2 closed; vg under the memory checker; t1 terminate with
// data[0] 1; any: records compared per pipe regardless of order.
// Unless exit is not 0, the row ends with a terminate command answered by T and its lines.
struct Row {
    const char *name;
    std::string setup;
    std::vector<Step> steps;
    std::string sw = {};  // device counts at the end: o opens, i ioctls, c closes, r reads, q queued
    int exit = 0;         // exit code, or minus the signal that ended it
    Step boot = {"", "W0", {}};  // no lines: those of a start-up that went well
    Lines traces = {};   // priority-7 lines expected in this order, other lines between them
};

inline const Lines kBoot = {"start of TampProcess\n", "success of shmat(pShared=0x{x})\n",
                            "success of shmat(pShared=0x{x})\n", "end of InitProc\n"};
inline const Lines kShutdown = {"Terminate reBoot\n", "start of TermProc\n", "end of TermProc\n"};

// Runs the row: every check failure is reported as a test failure.
void Run(const Row &row);

inline std::string RowName(const testing::TestParamInfo<Row> &i) { return i.param.name; }
inline void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

} // namespace kive2e

#endif
