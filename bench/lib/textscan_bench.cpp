// The line file reader over a 100 MB file of ordinary text lines (1 GiB with
// SITEKIT_BENCH_LARGE=1), with the file in the page cache, beside its floors
// measured in the same run: a memchr scan of the same bytes already in
// memory, and read(2) of the file in 256 KiB pieces with a memchr scan of
// each (what any reader that looks at each byte once must do). getline(3) is
// the peer, and lfr_open alone shows what loading the file costs. The
// reader's rows print their ratio to both floors.
//
//   textscan_bench [--benchmark_...]     (the file is made in $TMPDIR)
#include "textscan.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

std::size_t file_size() {
    const char *large = std::getenv("SITEKIT_BENCH_LARGE");
    return large && *large && *large != '0' ? std::size_t{1} << 30 : std::size_t{100} << 20;
}

// Seconds per iteration of each floor, for the ratios of the reader's rows.
double memchr_seconds = 0;
double read_memchr_seconds = 0;

double per_iteration(const benchmark::State &state, double seconds) {
    return seconds / static_cast<double>(state.iterations());
}

struct Corpus {
    std::string path;
    std::string bytes;

    Corpus() {
        const char *tmp = std::getenv("TMPDIR");
        path = std::string(tmp && *tmp ? tmp : "/tmp") + "/sitekit-textscan-bench.txt";
        // Lines like those of userfiles, passwd files and NFO texts: 20 to
        // 120 characters of words, numbers and separators.
        static const char *words[] = {
            "ALLUP", "DAYDN", "1024", "Release.Name-GRP", "/site/incoming", "the", "quick", "brown",
            "fox",   "0",     "42",   "user:x:100:300"};
        std::mt19937 rng(1);
        const std::size_t size = file_size();
        bytes.reserve(size + 256);
        while (bytes.size() < size) {
            std::size_t target = 20 + rng() % 100, start = bytes.size();
            while (bytes.size() - start < target) {
                bytes += words[rng() % std::size(words)];
                bytes += ' ';
            }
            bytes.back() = '\n';
        }
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
            std::perror(path.c_str());
            std::exit(1);
        }
    }
    ~Corpus() { unlink(path.c_str()); }
};

Corpus &corpus() {
    static Corpus c;
    return c;
}

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void BM_lfr_open_getline(benchmark::State &state) {
    const Corpus &c = corpus();
    std::vector<char> line(1025);
    long lines = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto start = clock_type::now();
        lfr_reader r;
        if (lfr_open(&r, c.path.c_str()) != 0) {
            state.SkipWithError("lfr_open failed");
            return;
        }
        while (lfr_getline(&r, line.data(), 1024) >= 0)
            ++lines;
        lfr_close(&r);
        seconds += since(start);
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes.size()));
    double each = per_iteration(state, seconds);
    if (memchr_seconds > 0)
        state.counters["x_memchr"] = each / memchr_seconds;
    if (read_memchr_seconds > 0)
        state.counters["x_read_memchr"] = each / read_memchr_seconds;
}

// The reference: the same bytes, already in memory, split into lines with
// memchr and nothing copied.
void BM_memchr_scan(benchmark::State &state) {
    const Corpus &c = corpus();
    long lines = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto start = clock_type::now();
        const char *p = c.bytes.data(), *end = p + c.bytes.size();
        while (p < end) {
            const void *nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
            p = nl ? static_cast<const char *>(nl) + 1 : end;
            ++lines;
        }
        benchmark::DoNotOptimize(p);
        seconds += since(start);
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes.size()));
    memchr_seconds = per_iteration(state, seconds);
}

// The streaming floor: the file read from the page cache in 256 KiB pieces
// into one small buffer, each piece split into lines with memchr.
void BM_read_memchr(benchmark::State &state) {
    const Corpus &c = corpus();
    std::vector<char> buf(256u << 10);
    long lines = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto start = clock_type::now();
        int fd = open(c.path.c_str(), O_RDONLY);
        if (fd < 0) {
            state.SkipWithError("open failed");
            return;
        }
        ssize_t n = 0;
        while ((n = read(fd, buf.data(), buf.size())) > 0) {
            const char *p = buf.data(), *end = p + n;
            while ((p = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
                ++lines;
                ++p;
            }
        }
        close(fd);
        seconds += since(start);
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes.size()));
    read_memchr_seconds = per_iteration(state, seconds);
}

// The peer: getline(3) over the same file.
void BM_getline(benchmark::State &state) {
    const Corpus &c = corpus();
    char *line = nullptr;
    std::size_t cap = 0;
    long lines = 0;
    for (auto _ : state) {
        FILE *f = std::fopen(c.path.c_str(), "r");
        if (!f) {
            state.SkipWithError("fopen failed");
            return;
        }
        while (getline(&line, &cap, f) >= 0)
            ++lines;
        (void)std::fclose(f); // read-only stream: nothing to lose on close
    }
    std::free(line);
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes.size()));
}

// What opening alone costs: the file read into one block with read(2), the
// same way the reader does, and nothing scanned.
void BM_read_whole_file(benchmark::State &state) {
    const Corpus &c = corpus();
    for (auto _ : state) {
        lfr_reader r;
        if (lfr_open(&r, c.path.c_str()) != 0) {
            state.SkipWithError("lfr_open failed");
            return;
        }
        benchmark::DoNotOptimize(r.data);
        lfr_close(&r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes.size()));
}

BENCHMARK(BM_memchr_scan)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_read_memchr)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_getline)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_read_whole_file)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_lfr_open_getline)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
