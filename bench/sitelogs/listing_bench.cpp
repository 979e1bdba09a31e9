// The listings as a script runs them: `sitekit dirlog list` (text and
// --json) and `sitekit nukes` (text and --json) as processes, output to
// /dev/null, beside the floor measured in the same iteration: a sequential
// read(2) of the same file in 1 MiB blocks. Counters: floor_ms, ratio (the
// command's time over the floor's) and peak_rss_kb, the command's peak
// resident memory as wait4 reports it. That figure also holds what the
// forked bench had before the exec, so spawn_rss_kb gives the same figure
// for /bin/true: a command's own peak shows only above it.
//
//   listing_bench                          50,000 records
//   SITEKIT_BENCH_LARGE=1 listing_bench    1,000,000 records
#include "penaltylog.h"
#include "sitelogs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "benchsupport.h"

namespace {

namespace fs = std::filesystem;

int records() {
    const char *large = std::getenv("SITEKIT_BENCH_LARGE");
    return large && std::strcmp(large, "1") == 0 ? 1000000 : 50000;
}

struct Logs {
    std::string root, dirlog, nukelog;
    Logs() {
        root = skbench::temp_dir("listing-bench");
        fs::create_directories(root + "/ftp-data/logs");
        dirlog = root + "/ftp-data/logs/dirlog";
        nukelog = root + "/ftp-data/logs/nukelog";
        FILE *d = std::fopen(dirlog.c_str(), "wb");
        FILE *n = std::fopen(nukelog.c_str(), "wb");
        if (!d || !n)
            std::abort();
        for (int i = 0; i < records(); ++i) {
            dirlog_record r{};
            r.time = 1700000000 + i * 7;
            r.user_id = static_cast<uint16_t>(i % 50);
            r.files = static_cast<uint16_t>(i % 100);
            r.bytes = static_cast<uint64_t>(i) * 1000;
            (void)std::snprintf(r.dirname, sizeof r.dirname, "/site/archive/Some.Release.Name.%06d-GROUP", i);
            nukelog_record k{};
            int release = i / 5; // releases of 5 nukees
            k.status = static_cast<uint16_t>(release % 4 == 0);
            k.time = 1000000000 + release;
            (void)std::snprintf(k.nuker, sizeof k.nuker, "nuker%d", release % 20);
            (void)std::snprintf(k.nukee, sizeof k.nukee, "user%d", i % 5);
            k.multiplier = static_cast<uint16_t>(1 + release % 10);
            k.amount = static_cast<float>(i % 100000) / 10.0f;
            (void)std::snprintf(k.reason, sizeof k.reason, "reason %d", release % 100);
            (void)std::snprintf(k.dirname, sizeof k.dirname, "/site/incoming/Some.Release.Name.%d-GRP",
                                release);
            if (std::fwrite(&r, sizeof r, 1, d) != 1 || std::fwrite(&k, sizeof k, 1, n) != 1)
                std::abort();
        }
        if (std::fclose(d) != 0 || std::fclose(n) != 0)
            std::abort();
    }
    ~Logs() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Logs &logs() {
    static Logs l;
    return l;
}

using skbench::run_program;
using skbench::sequential_read;

void listing(benchmark::State &state, const std::string &file, std::vector<std::string> args) {
    Logs &l = logs();
    args.insert(args.begin(), {SITEKIT_PROGRAM, "--root", l.root});
    double floor = 0, total = 0;
    long peak = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable of the benchmark
        state.PauseTiming();
        floor += sequential_read(file);
        state.ResumeTiming();
        skbench::ChildRun run = run_program(args);
        if (!run.ok)
            state.SkipWithError("the command failed");
        total += run.wall;
        peak = std::max(peak, run.maxrss_kib);
    }
    state.counters["floor_ms"] = 1000 * floor / static_cast<double>(state.iterations());
    state.counters["ratio"] = floor > 0 ? total / floor : 0;
    state.counters["peak_rss_kb"] = static_cast<double>(peak);
    state.counters["spawn_rss_kb"] = static_cast<double>(run_program({"/bin/true"}).maxrss_kib);
}

void BM_dirlog_list(benchmark::State &s) {
    listing(s, logs().dirlog, {"dirlog", "list"});
}
void BM_dirlog_list_json(benchmark::State &s) {
    listing(s, logs().dirlog, {"--json", "dirlog", "list"});
}
void BM_nukes(benchmark::State &s) {
    listing(s, logs().nukelog, {"nukes"});
}
void BM_nukes_json(benchmark::State &s) {
    listing(s, logs().nukelog, {"nukes", "--json"});
}

BENCHMARK(BM_dirlog_list)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_dirlog_list_json)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_nukes)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_nukes_json)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
