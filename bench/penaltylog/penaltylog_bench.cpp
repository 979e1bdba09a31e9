// nukelog_load over nuke logs of 50,000 to 200,000 records (200,000 records
// are 78 MB) grouped in releases of 1 to 10 nukees, beside a plain
// sequential read of the same file in whole records: the floor for any
// reader of the file.
//
// Counters: records/s, and heap_bytes, the memory the loaded list holds
// (malloc's bytes in use after the load minus before; the plain read holds
// none). ru_maxrss of the whole process is printed at the end.
//
// The "by_age" runs attach _nukelog_sort_by_age to the release list and
// iterate it once; "newest_first" writes the log in falling time order, the
// worst case for an ordered list that inserts in place.
//
// BM_NukesCommand runs `sitekit nukes` (text and --json) on a log of
// 200,000 records as a process, output to /dev/null, beside the floor
// measured in the same iteration: a sequential read(2) of the file in 1 MiB
// blocks. Counters: floor_ms, ratio (wall time over the floor), cpu_ratio
// (the child's user and system time over the floor's wall time),
// best_ratio (the fastest run over the fastest floor: on a loaded machine
// the least disturbed pair) and peak_rss_kib (the child's ru_maxrss; it
// counts this process's few megabytes the child starts with).
//
//   penaltylog_bench [--benchmark_...]     (files are made in $TMPDIR)
//   SITEKIT_BENCH_LARGE=1 penaltylog_bench --benchmark_filter=Command
//                                          the command on 1,000,000 records
//   SITEKIT_BENCH_PROGRAM=PATH             another sitekit program to run
//   penaltylog_bench --check-order         only checks the ordered list
//   penaltylog_bench --write-log COUNT     writes the command's log of COUNT
//                                          records, keeps it, prints its path
#include "penaltylog.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "benchsupport.h"

namespace {

std::string tmp_dir() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// Writes a log of count records; releases of 1 to 10 nukees, one second
// apart, in rising time order unless newest_first.
std::string make_log(int count, bool newest_first) {
    std::string path =
        tmp_dir() + "/sitekit-nukelog-bench-" + std::to_string(count) + (newest_first ? "-rev" : "") + ".log";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    std::mt19937 rng(42);
    int written = 0, release = 0;
    while (written < count) {
        int nukees = 1 + static_cast<int>(rng() % 10);
        nukelog_record r{};
        r.status = static_cast<uint16_t>(rng() % 4 == 0);
        r.time = newest_first ? 2000000000 - release : 1000000000 + release;
        (void)std::snprintf(r.nuker, sizeof r.nuker, "nuker%u", static_cast<unsigned>(rng() % 20));
        (void)std::snprintf(r.unnuker, sizeof r.unnuker, "fixer%u", static_cast<unsigned>(rng() % 20));
        r.multiplier = static_cast<uint16_t>(1 + rng() % 10);
        (void)std::snprintf(r.reason, sizeof r.reason, "reason number %u",
                            static_cast<unsigned>(rng() % 100));
        (void)std::snprintf(r.dirname, sizeof r.dirname, "/site/incoming/Some.Release.Name.%d-GRP", release);
        for (int k = 0; k < nukees && written < count; ++k, ++written) {
            (void)std::snprintf(r.nukee, sizeof r.nukee, "user%u", static_cast<unsigned>(k % 10));
            r.amount = static_cast<float>(rng() % 100000) / 10.0f;
            if (std::fwrite(&r, sizeof r, 1, f) != 1)
                std::abort();
        }
        ++release;
    }
    if (std::fclose(f) != 0)
        std::abort();
    return path;
}

std::map<std::pair<int, bool>, std::string> &made_logs() {
    static std::map<std::pair<int, bool>, std::string> made;
    return made;
}

const std::string &log_path(int count, bool newest_first) {
    auto &p = made_logs()[{count, newest_first}];
    if (p.empty())
        p = make_log(count, newest_first);
    return p;
}

std::size_t heap_in_use() {
    return mallinfo2().uordblks;
}

void BM_PlainRead(benchmark::State &state) {
    const auto &path = log_path(static_cast<int>(state.range(0)), false);
    std::size_t records = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable of the benchmark
        FILE *f = std::fopen(path.c_str(), "rb");
        if (!f)
            std::abort();
        (void)std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
        nukelog_record r;
        unsigned sum = 0;
        records = 0;
        while (std::fread(&r, sizeof r, 1, f) == 1) {
            sum += r.status;
            ++records;
        }
        (void)std::fclose(f);
        benchmark::DoNotOptimize(sum);
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["heap_bytes"] = 0;
}

void load(benchmark::State &state, bool by_age, bool newest_first) {
    const auto &path = log_path(static_cast<int>(state.range(0)), newest_first);
    std::size_t records = 0, releases = 0, held = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable of the benchmark
        std::size_t before = heap_in_use();
        sortedlist list;
        sortedlist_init(&list);
        if (by_age)
            sortedlist_set_compare(&list, _nukelog_sort_by_age);
        if (!nukelog_load(&list, path.c_str()))
            std::abort();
        records = 0;
        sortedlist_reset(&list);
        while (auto *r = static_cast<nukelog_release *>(sortedlist_next(&list)))
            records += static_cast<std::size_t>(sortedlist_count(&r->nukees));
        releases = static_cast<std::size_t>(sortedlist_count(&list));
        held = heap_in_use() - before;
        state.PauseTiming();
        nukelog_free(&list);
        state.ResumeTiming();
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records * state.iterations()), benchmark::Counter::kIsRate);
    state.counters["releases"] = static_cast<double>(releases);
    state.counters["heap_bytes"] = static_cast<double>(held);
}

void BM_NukelogLoad(benchmark::State &state) {
    load(state, false, false);
}
void BM_NukelogLoadByAge(benchmark::State &state) {
    load(state, true, false);
}
void BM_NukelogLoadByAgeNewestFirst(benchmark::State &state) {
    load(state, true, true);
}
void BM_NukelogLoadNewestFirst(benchmark::State &state) {
    load(state, false, true);
}

int command_records() {
    const char *large = std::getenv("SITEKIT_BENCH_LARGE");
    return large && std::strcmp(large, "1") == 0 ? 1000000 : 200000;
}

using skbench::ChildRun;
using skbench::run_program;
using skbench::sequential_read;

void nukes_command(benchmark::State &state, bool json) {
    const char *other = std::getenv("SITEKIT_BENCH_PROGRAM");
    const auto &path = log_path(command_records(), false);
    std::vector<std::string> args{other && *other ? other : SITEKIT_PROGRAM, "nukes"};
    if (json)
        args.emplace_back("--json");
    args.push_back(path);
    double floor = 0, wall = 0, cpu = 0, best_floor = 1e9, best_wall = 1e9;
    long peak = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable of the benchmark
        state.PauseTiming();
        double read = sequential_read(path);
        state.ResumeTiming();
        ChildRun run = run_program(args);
        if (!run.ok)
            state.SkipWithError("the command failed");
        floor += read;
        wall += run.wall;
        cpu += run.cpu;
        best_floor = std::min(best_floor, read);
        best_wall = std::min(best_wall, run.wall);
        peak = std::max(peak, run.maxrss_kib);
    }
    state.counters["records"] = command_records();
    state.counters["floor_ms"] = 1000 * floor / static_cast<double>(state.iterations());
    state.counters["ratio"] = floor > 0 ? wall / floor : 0;
    state.counters["cpu_ratio"] = floor > 0 ? cpu / floor : 0;
    state.counters["best_ratio"] = best_wall / best_floor;
    state.counters["peak_rss_kib"] = static_cast<double>(peak);
}

void BM_NukesCommand(benchmark::State &state) {
    nukes_command(state, false);
}
void BM_NukesCommandJson(benchmark::State &state) {
    nukes_command(state, true);
}

// The ordered list must give the same order as a stable sort by time of the
// releases in file order; checked once before timing.
void check_order_matches_stable_sort() {
    const auto &path = log_path(200000, true);
    sortedlist plain, ordered;
    sortedlist_init(&plain);
    sortedlist_init(&ordered);
    sortedlist_set_compare(&ordered, _nukelog_sort_by_age);
    if (!nukelog_load(&plain, path.c_str()) || !nukelog_load(&ordered, path.c_str()))
        std::abort();
    std::vector<std::string> expected, got;
    std::vector<nukelog_release *> rels;
    sortedlist_reset(&plain);
    while (auto *r = static_cast<nukelog_release *>(sortedlist_next(&plain)))
        rels.push_back(r);
    std::stable_sort(rels.begin(), rels.end(),
                     [](const nukelog_release *a, const nukelog_release *b) { return a->time < b->time; });
    for (auto *r : rels)
        expected.push_back(r->dirname);
    sortedlist_reset(&ordered);
    while (auto *r = static_cast<nukelog_release *>(sortedlist_next(&ordered)))
        got.push_back(r->dirname);
    if (got != expected) {
        std::fprintf(stderr, "ordered release list differs from a stable sort by time\n");
        std::abort();
    }
    nukelog_free(&plain);
    nukelog_free(&ordered);
}

} // namespace

// The command first: a forked child starts with the resident set of this
// process, which the loads below raise to tens of megabytes.
BENCHMARK(BM_NukesCommand)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_NukesCommandJson)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_PlainRead)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NukelogLoad)->Arg(50000)->Arg(100000)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NukelogLoadByAge)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NukelogLoadNewestFirst)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NukelogLoadByAgeNewestFirst)
    ->Arg(50000)
    ->Arg(100000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--check-order") == 0) {
        check_order_matches_stable_sort();
        std::printf("ordered release list matches a stable sort by time\n");
        unlink(log_path(200000, true).c_str());
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "--write-log") == 0) {
        std::printf("%s\n", make_log(std::atoi(argv[2]), false).c_str());
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak resident set of the whole run: %ld KiB\n", ru.ru_maxrss);
    for (const auto &made : made_logs())
        unlink(made.second.c_str());
    return 0;
}
