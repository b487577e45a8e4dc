// SPDX-License-Identifier: MIT
// kivbench: the monitor against the system-call floor, in one run. Prints the table and writes
// results.json and the histogram data for the plot into the output directory.
//
// Usage: kivbench --out DIR [--reps N] [--records N] [--idle SECONDS] [--storm EVENTS]
//                 [--size NAME=BYTES]...   (host_static, host_dynamic, target_static, target_dynamic)
//        kivbench --out DIR --load [--storm EVENTS]   the load runs and their checks alone
#include <sys/utsname.h>
#include <syslog.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "bench.h"

namespace kivbench {

double Samples::Quantile(double q) const {
    if (us.empty()) return NAN;
    std::vector<double> v = us;
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    size_t k = rank == 0 ? 0 : rank - 1;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

namespace {

struct Goal {
    double median;
    double p99;
};

// Goals on the same-run ratios, level 6 only; 0 means none.
Goal GoalOf(const Figure &f) {
    if (f.level != 6) return {0, 0};
    if (f.name == "event_to_deletion" || f.name == "event_to_alarms" || f.name == "record_delivery") return {1.10, 1.5};
    if (f.name == "command_round_trip") return {1.20, 0};
    if (f.name == "dispatch_pass") return {1.5, 0};
    if (f.name == "event_to_deletion_under_flood" || f.name == "event_to_deletion_with_stuck_peer") return {1.5, 0};
    return {0, 0};
}

std::string Num(double v, int decimals = 2) {
    if (std::isnan(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string Verdict(double ratio, double goal) {
    if (goal == 0) return "";
    return ratio <= goal ? "met (<= " + Num(goal) + ")" : "MISSED (> " + Num(goal) + ")";
}

void PrintLoad(const Load &load) {
    std::printf("event storm: %zu event bytes (%zu openings) answered in %.2f s (%.0f responses/s), %zu commands "
                "answered meanwhile; records lost: %zu\n",
                load.stormEvents, load.stormOpenings, load.stormSeconds,
                static_cast<double>(load.stormOpenings) / load.stormSeconds, load.stormCommands, load.stormLost);
    std::printf("several writers: %zu records from 4 writers at once served in %.2f s (%.0f records/s); records lost: %zu\n",
                load.writersRecords, load.writersSeconds, static_cast<double>(load.writersRecords) / load.writersSeconds,
                load.writersLost);
}

void PrintTable(const std::vector<Figure> &figures, const Idle &idle, const Load &load,
                const std::map<std::string, long long> &size) {
    std::printf("\n%-34s %3s %9s %9s %9s %9s %7s %7s  %s\n", "figure (us)", "lvl", "median", "p99", "floor", "floor99",
                "ratio", "r.p99", "goal (median / p99)");
    for (const Figure &f : figures) {
        double m = f.monitor.Quantile(0.5), p = f.monitor.Quantile(0.99);
        double fm = f.floor.Quantile(0.5), fp = f.floor.Quantile(0.99);
        if (f.floor.Size() == 0) { // a load figure: nothing to hold it against
            std::printf("%-34s %3d %9.2f %9.2f %9s %9s %7s %7s  %s\n", f.name.c_str(), f.level, m, p, "-", "-", "-", "-",
                        f.note.c_str());
            continue;
        }
        Goal g = GoalOf(f);
        std::string verdict = Verdict(m / fm, g.median);
        if (g.p99 != 0) verdict += " / " + Verdict(p / fp, g.p99);
        if (!f.note.empty()) verdict = f.note + ": against the probe/append floor";
        std::printf("%-34s %3d %9.2f %9.2f %9.2f %9.2f %7.3f %7.3f  %s\n", f.name.c_str(), f.level, m, p, fm, fp, m / fm,
                    p / fp, verdict.c_str());
    }
    // A wait in sync() for other processes' writes to reach the disk puts a repetition in a slow
    // second mode; when nearly half of them are there, the median of either side can land in it.
    for (const Figure &f : figures) {
        if (f.name.rfind("event_", 0) != 0 && f.name != "command_round_trip") continue;
        auto share = [](const Samples &smp) {
            return 100.0 * static_cast<double>(std::count_if(smp.us.begin(), smp.us.end(), [](double v) { return v > 1000; })) /
                   static_cast<double>(std::max<size_t>(1, smp.Size()));
        };
        std::printf("%s/%d over 1 ms: kivtamp %.1f %%, floor %.1f %%\n", f.name.c_str(), f.level, share(f.monitor),
                    share(f.floor));
    }
    std::printf("repetitions per side: ");
    for (const Figure &f : figures) std::printf("%s/%d %zu  ", f.name.c_str(), f.level, f.monitor.Size());
    std::printf("\n\n");
    PrintLoad(load);
    std::printf("\nidle over the window: cpu %lld ns, context switches %lld, system calls %lld\n", idle.cpuNs,
                idle.contextSwitches, idle.syscalls);
    double rssRatio = idle.floorRssKib > 0 ? static_cast<double>(idle.rssKib) / static_cast<double>(idle.floorRssKib) : NAN;
    std::printf("resident: kivtamp %lld KiB, minimal static pselect program %lld KiB, ratio %.2f  %s\n", idle.rssKib,
                idle.floorRssKib, rssRatio, Verdict(rssRatio, 1.2).c_str());
    std::printf("resident: kivtamp linked statically %lld KiB, ratio %.2f\n", idle.staticRssKib,
                idle.floorRssKib > 0 ? static_cast<double>(idle.staticRssKib) / static_cast<double>(idle.floorRssKib) : NAN);
    std::printf("private (anonymous) part: kivtamp %lld KiB, static kivtamp %lld KiB, minimal program %lld KiB\n",
                idle.rssAnonKib, idle.staticRssAnonKib, idle.floorRssAnonKib);
    std::printf("stripped kivtamp:");
    for (auto &[k, v] : size) std::printf(" %s %lld B", k.c_str(), v);
    auto td = size.find("target_dynamic");
    if (td != size.end())
        std::printf("  target dynamic %s", td->second <= 65536 ? "met (<= 64 KiB)" : "MISSED (> 64 KiB)");
    std::printf("\n");
}

bool WriteJson(const std::string &path, const std::vector<Figure> &figures, const Idle &idle, const Load &load,
               const std::map<std::string, long long> &size) {
    std::ofstream out(path);
    out << "{\n  \"figures\": [\n";
    for (size_t i = 0; i < figures.size(); ++i) {
        const Figure &f = figures[i];
        double m = f.monitor.Quantile(0.5), p = f.monitor.Quantile(0.99);
        double fm = f.floor.Quantile(0.5), fp = f.floor.Quantile(0.99);
        out << "    {\"name\": \"" << f.name << "\", \"level\": " << f.level << ", \"unit\": \"" << f.unit
            << "\", \"median\": " << Num(m) << ", \"p99\": " << Num(p) << ", \"floor_median\": " << Num(fm)
            << ", \"floor_p99\": " << Num(fp) << ", \"ratio_median\": " << Num(m / fm, 3)
            << ", \"ratio_p99\": " << Num(p / fp, 3) << "}" << (i + 1 < figures.size() ? "," : "") << "\n";
    }
    out << "  ],\n  \"idle\": {\"cpu_ns\": " << idle.cpuNs << ", \"context_switches\": " << idle.contextSwitches
        << ", \"syscalls\": " << idle.syscalls << ", \"rss_kib\": " << idle.rssKib
        << ", \"floor_rss_kib\": " << idle.floorRssKib << ", \"static_rss_kib\": " << idle.staticRssKib << "},\n";
    out << "  \"load\": {\"event_storm\": {\"event_bytes\": " << load.stormEvents << ", \"openings\": " << load.stormOpenings
        << ", \"commands\": " << load.stormCommands << ", \"seconds\": " << Num(load.stormSeconds, 3)
        << ", \"records_lost\": " << load.stormLost << "}, \"several_writers\": {\"writers\": 4, \"records\": "
        << load.writersRecords << ", \"seconds\": " << Num(load.writersSeconds, 3)
        << ", \"records_lost\": " << load.writersLost << "}},\n  \"size\": {";
    const char *keys[] = {"host_static", "host_dynamic", "target_static", "target_dynamic"};
    for (size_t i = 0; i < 4; ++i) {
        auto it = size.find(keys[i]);
        out << (i ? ", " : "") << "\"" << keys[i] << "\": " << (it == size.end() ? std::string("null") : std::to_string(it->second));
    }
    out << "}\n}\n";
    return static_cast<bool>(out);
}

// Histogram of both sides of a figure on shared, logarithmically spaced bins from the fastest
// repetition to the slower side's 99.9th percentile, for gnuplot (plotted on a log axis, so the
// bulk and the tail both show).
void WriteHistogram(const std::string &path, const Figure &f) {
    const int bins = 80;
    double lo = std::min(f.monitor.Quantile(0), f.floor.Quantile(0));
    double hi = std::max(f.monitor.Quantile(0.999), f.floor.Quantile(0.999));
    if (!(lo > 0)) lo = 0.001;
    if (!(hi > lo)) hi = lo * 2;
    const double step = std::log(hi / lo) / bins;
    std::vector<long> mon(bins), flo(bins);
    auto fill = [&](const Samples &s, std::vector<long> &h) {
        for (double v : s.us) {
            if (v < lo || v > hi) continue;
            h[static_cast<size_t>(std::min(bins - 1, static_cast<int>(std::log(v / lo) / step)))]++;
        }
    };
    fill(f.monitor, mon);
    fill(f.floor, flo);
    std::ofstream out(path);
    out << "# " << f.name << " level " << f.level << ": bin start (us), kivtamp, floor\n";
    for (int i = 0; i < bins; ++i)
        out << lo * std::exp(i * step) << " " << mon[static_cast<size_t>(i)] << " " << flo[static_cast<size_t>(i)] << "\n";
}

int Usage() {
    std::fprintf(stderr, "usage: kivbench --out DIR [--load] [--reps N] [--records N] [--idle SECONDS] "
                         "[--storm EVENTS] [--size NAME=BYTES]...\n");
    return 2;
}

} // namespace
} // namespace kivbench

int main(int argc, char **argv) {
    using namespace kivbench;
    Options opt;
    std::map<std::string, long long> size;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--load") {
            opt.loadOnly = true;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        std::string v = argv[++i];
        if (a == "--out") opt.outDir = v;
        else if (a == "--reps") opt.reps = std::atoi(v.c_str());
        else if (a == "--records") opt.records = std::atoi(v.c_str());
        else if (a == "--idle") opt.idleSeconds = std::atof(v.c_str());
        else if (a == "--storm") opt.stormEvents = std::atoi(v.c_str());
        else if (a == "--size" && v.find('=') != std::string::npos)
            size[v.substr(0, v.find('='))] = std::atoll(v.c_str() + v.find('=') + 1);
        else return Usage();
    }
    if (opt.outDir.empty()) return Usage();

    // The library's trace lines are hidden at level 6, as in service.
    openlog("KIVBENCH", LOG_PID, LOG_LOCAL4);
    setlogmask(LOG_UPTO(LOG_INFO));

    Paths paths{KIVTAMP_PATH, KIVTAMP_STATIC_PATH, KIVFLOOR_PATH, KIVIDLE_PATH};
    std::vector<Figure> figures;
    Idle idle;
    Load load;
    if (opt.loadOnly) {
        std::fprintf(stderr, "kivbench: event storm of %d bytes while commands keep arriving...\n", opt.stormEvents);
        if (!RunStorm(paths, opt, figures, load)) return 1;
        std::fprintf(stderr, "kivbench: several writers on the command pipe at once...\n");
        if (!RunWriters(paths, figures, load)) return 1;
        PrintLoad(load);
        return 0;
    }
    std::fprintf(stderr, "kivbench: tamper events and commands, %d per side and level, interleaved...\n", opt.reps);
    if (!RunUnit(paths, opt, figures, idle)) return 1;
    std::fprintf(stderr, "kivbench: record delivery, %d records per variant...\n", opt.records);
    if (!RunDelivery(opt, figures)) return 1;
    std::fprintf(stderr, "kivbench: tamper events under a command flood, idle without a writer...\n");
    if (!RunRobust(paths, figures)) return 1;
    std::fprintf(stderr, "kivbench: dispatch pass (Google Benchmark)...\n");
    if (!RunDispatch(figures)) return 1;
    std::fprintf(stderr, "kivbench: event storm of %d bytes while commands keep arriving...\n", opt.stormEvents);
    if (!RunStorm(paths, opt, figures, load)) return 1;
    std::fprintf(stderr, "kivbench: several writers on the command pipe at once...\n");
    if (!RunWriters(paths, figures, load)) return 1;

    PrintTable(figures, idle, load, size);
    if (!WriteJson(opt.outDir + "/results.json", figures, idle, load, size)) return 1;
    // Every sample, for a closer look at the tails.
    for (const Figure &f : figures) {
        std::ofstream raw(opt.outDir + "/samples_" + f.name + "_" + std::to_string(f.level) + ".txt");
        for (size_t i = 0; i < std::max(f.monitor.Size(), f.floor.Size()); ++i)
            raw << (i < f.monitor.Size() ? f.monitor.us[i] : NAN) << " " << (i < f.floor.Size() ? f.floor.us[i] : NAN)
                << "\n";
    }
    for (const Figure &f : figures)
        if (f.note.empty()) WriteHistogram(opt.outDir + "/hist_" + f.name + "_" + std::to_string(f.level) + ".dat", f);
    return 0;
}
