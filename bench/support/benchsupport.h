// What the benchmarks share: the floors they measure beside the code, and
// running a program as a site operator's cron job or bot would.
#ifndef SITEKIT_BENCH_SUPPORT_H
#define SITEKIT_BENCH_SUPPORT_H

#include <string>
#include <vector>

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

} // namespace skbench

#endif
