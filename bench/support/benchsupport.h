// What the benchmarks share: the floors they measure beside the code, and
// running a program as a site operator's cron job or bot would.
#ifndef SITEKIT_BENCH_SUPPORT_H
#define SITEKIT_BENCH_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace skbench {

// The floor of a command that reads a file: the whole file read with
// read(2) in 1 MiB blocks; seconds.
double sequential_read(const std::string &path);

// One run of a program: wall and CPU seconds, peak resident KiB.
struct ChildRun {
    double wall = 0, cpu = 0;
    long maxrss_kib = 0;
    bool ok = false; // exited with status 0
};

// Runs args[0] with args, its standard output to /dev/null, and waits.
ChildRun run_program(const std::vector<std::string> &args);

// A new folder below $TMPDIR (or /tmp) named after what it is for; the
// benchmark stops when it cannot be made.
std::string temp_dir(const std::string &purpose);

// Processor seconds of the calling thread so far.
double thread_cpu();

// Times the program run with args against floor (the seconds of its floor,
// measured again in each iteration, outside the timed part), and sets the
// counters floor_ms, ratio (wall seconds over the floor's), cpu_ratio (the
// same in processor time, which other load changes less) and peak_rss_kb.
void run_against_floor(benchmark::State &state, const std::vector<std::string> &args,
                       const std::function<double()> &floor);

} // namespace skbench

#endif
