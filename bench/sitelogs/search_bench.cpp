// sitekit search as a bot runs it, over a directory log of 1,000,000
// records (288 MB), beside the floor measured in the same iteration: a
// sequential read(2) of the same file in 1 MiB blocks. Counters: floor_ms,
// ratio (the command's time over the floor's) and peak_rss_kb.
//
//   search_bench                            1,000,000 records
//   SITEKIT_BENCH_RECORDS=N search_bench    N records
#include "sitelogs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include "benchsupport.h"

namespace {

namespace fs = std::filesystem;

// This thread's processor time so far, user and system; seconds.

int records() {
    const char *n = std::getenv("SITEKIT_BENCH_RECORDS");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 1000000;
}

struct Site {
    std::string root, dirlog;
    Site() {
        root = skbench::temp_dir("search-bench");
        fs::create_directories(root + "/ftp-data/logs");
        fs::create_directories(root + "/etc");
        FILE *pw = std::fopen((root + "/etc/passwd").c_str(), "w");
        FILE *d = std::fopen((root + "/ftp-data/logs/dirlog").c_str(), "wb");
        if (!pw || !d)
            std::abort();
        for (int u = 0; u < 50; ++u)
            std::fprintf(pw, "user%d:x:%d:100::/site:/bin/false\n", u, u);
        dirlog = root + "/ftp-data/logs/dirlog";
        static const char *const kSections[] = {"mp3", "tv", "x264", "games", "apps"};
        for (int i = 0; i < records(); ++i) {
            dirlog_record r{};
            r.time = 1700000000 + i * 7;
            r.user_id = static_cast<uint16_t>(i % 50);
            r.files = static_cast<uint16_t>(i % 100);
            r.bytes = static_cast<uint64_t>(i) * 1000;
            (void)std::snprintf(r.dirname, sizeof r.dirname, "/site/%s/Some.Release.Name.%07d-GROUP%d",
                                kSections[i % 5], i, i % 97);
            if (std::fwrite(&r, sizeof r, 1, d) != 1)
                std::abort();
        }
        if (std::fclose(d) != 0 || std::fclose(pw) != 0)
            std::abort();
    }
    ~Site() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Site &site() {
    static Site s;
    return s;
}

void search(benchmark::State &state, std::vector<std::string> args) {
    Site &s = site();
    args.insert(args.begin(), {SITEKIT_PROGRAM, "--root", s.root, "search"});
    skbench::run_against_floor(state, args, [&] { return skbench::sequential_read(s.dirlog); });
}

// A word found in one name in ten thousand.
void BM_search_word(benchmark::State &s) {
    search(s, {"name.00123"});
}
// A shell pattern tried on every name, matching one in a hundred.
void BM_search_pattern(benchmark::State &s) {
    search(s, {"*release*[0-9]1-group4?"});
}
// Every record matches; the ten newest are printed.
void BM_search_all_limit(benchmark::State &s) {
    search(s, {"--limit", "10", "*"});
}
// A word with the nuke log's marks and JSON.
void BM_search_word_json(benchmark::State &s) {
    search(s, {"--json", "--nukes", "name.00123"});
}

BENCHMARK(BM_search_word)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_search_pattern)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_search_all_limit)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_search_word_json)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
