// SPDX-License-Identifier: MIT
// Shared pieces of the kivbench driver: samples, figures and the parts that produce them.
#ifndef KIVBENCH_BENCH_H
#define KIVBENCH_BENCH_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kivbench {

using Clock = std::chrono::steady_clock;

inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Latencies of one kind, in microseconds.
struct Samples {
    std::vector<double> us;
    void Add(double v) { us.push_back(v); }
    size_t Size() const { return us.size(); }
    // Nearest-rank quantile (0.5 median, 0.99 p99); NaN when empty.
    double Quantile(double q) const;
};

// One line of the table and of results.json: the monitor against the floor, same run.
struct Figure {
    Figure(std::string n, int l, std::string nt = {}) : name(std::move(n)), level(l), note(std::move(nt)) {}
    std::string name;
    int level = 6;
    std::string unit = "us";
    Samples monitor;
    Samples floor;
    std::string note; // printed beside the table line ("context" figures)
};

struct Idle {
    long long cpuNs = -1;
    long long contextSwitches = -1;
    long long syscalls = -1;
    long long rssKib = -1;
    long long floorRssKib = -1; // the minimal static program blocked in pselect
    long long staticRssKib = -1; // kivtamp linked statically, after the same kind of work
    // The private (anonymous) part of each, for the table.
    long long rssAnonKib = -1;
    long long floorRssAnonKib = -1;
    long long staticRssAnonKib = -1;
};

// The load runs: their size, how long they took, and the records lost (0, or the run stops).
struct Load {
    size_t stormEvents = 0;
    size_t stormOpenings = 0;
    size_t stormCommands = 0;
    double stormSeconds = 0;
    size_t stormLost = 0;
    size_t writersRecords = 0;
    double writersSeconds = 0;
    size_t writersLost = 0;
};

struct Paths {
    std::string kivtamp;
    std::string kivtampStatic;
    std::string floor;
    std::string idle;
};

struct Options {
    int reps = 1000;          // tamper events and commands per level and side
    int records = 50000;      // records per variant
    double idleSeconds = 10;  // the monitor left alone
    int stormEvents = 10000;  // event bytes queued at once in the storm
    std::string outDir;       // results.json and the histogram data go here
    bool loadOnly = false;    // the load runs and their checks alone (tools/lanes/load)
};

// Tamper response and command round trip at levels 6 and 7, and the idle costs of the monitor.
// Runs inside the sandbox; returns false (with a message on stderr) when the unit cannot be set up.
bool RunUnit(const Paths &paths, const Options &opt, std::vector<Figure> &figures, Idle &idle);
// ComFIFOPutData2 against the bare calls, with the open/write/close and held-descriptor context.
bool RunDelivery(const Options &opt, std::vector<Figure> &figures);
// An event storm while commands keep arriving, and several writers on the command pipe at once,
// with their checks (every record whole, none lost).
bool RunStorm(const Paths &paths, const Options &opt, std::vector<Figure> &figures, Load &load);
bool RunWriters(const Paths &paths, std::vector<Figure> &figures, Load &load);
// One ComSelect pass against a bare pselect pass (Google Benchmark).
bool RunDispatch(std::vector<Figure> &figures);
// A tamper event under a flood of commands against the same event on a quiet unit, and the CPU
// share of an idle monitor whose command pipe has no writer.
bool RunRobust(const Paths &paths, std::vector<Figure> &figures);

} // namespace kivbench

#endif
