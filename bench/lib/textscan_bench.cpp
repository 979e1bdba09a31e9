// The line file reader over a 100 MB file of ordinary text lines, beside a
// plain memchr scan of the same bytes already in memory (the limit for any
// reader that looks at each byte once) and beside lfr_open alone (what
// reading the file into memory costs before any line is handed out).
//
//   textscan_bench [--benchmark_...]     (the file is made in $TMPDIR)
#include "textscan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

constexpr std::size_t kFileSize = 100u << 20;

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
        bytes.reserve(kFileSize + 256);
        while (bytes.size() < kFileSize) {
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

void BM_lfr_open_getline(benchmark::State &state) {
    const Corpus &c = corpus();
    std::vector<char> line(1025);
    long lines = 0;
    for (auto _ : state) {
        lfr_reader r;
        if (lfr_open(&r, c.path.c_str()) != 0) {
            state.SkipWithError("lfr_open failed");
            return;
        }
        while (lfr_getline(&r, line.data(), 1024) >= 0)
            ++lines;
        lfr_close(&r);
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.bytes.size()));
}

// The reference: the same bytes, already in memory, split into lines with
// memchr and nothing copied.
void BM_memchr_scan(benchmark::State &state) {
    const Corpus &c = corpus();
    long lines = 0;
    for (auto _ : state) {
        const char *p = c.bytes.data(), *end = p + c.bytes.size();
        while (p < end) {
            const void *nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
            p = nl ? static_cast<const char *>(nl) + 1 : end;
            ++lines;
        }
        benchmark::DoNotOptimize(p);
    }
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
BENCHMARK(BM_read_whole_file)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_lfr_open_getline)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
