// `sitekit dirlog rebuild` over a site tree of 20,000 releases, as a cron
// job runs it, beside its floor measured in the same round: `du -sb` of the
// same tree, which visits every folder and file as the rebuild must. Each
// round runs both (warm cache, the order alternating) and prints the
// rebuild's time over the floor's; the end gives the median, the spread and
// the rebuild's peak resident memory.
//
//   rebuild_bench                              20,000 releases, 5 rounds
//   SITEKIT_BENCH_RELEASES=100000 SITEKIT_BENCH_ROUNDS=9 rebuild_bench
//   SITEKIT_BENCH_KEEP=1 rebuild_bench          leaves the tree for a profiler
#include "sitelogs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "benchsupport.h"

namespace {

namespace fs = std::filesystem;

long count_from_env(const char *name, long fallback) {
    const char *v = std::getenv(name);
    long n = v ? std::strtol(v, nullptr, 10) : 0;
    return n > 0 ? n : fallback;
}

void put(const std::string &path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
    if (!out)
        std::abort();
}

// site/mp3/DDDD/Release.N-GRP: 200 releases a dated folder, each with an
// NFO, an SFV and two archives; every fourth has a Sample folder, every
// tenth is two CDs. The old log holds every other release.
std::string make_site(long releases) {
    std::string root = skbench::temp_dir("rebuild-bench");
    fs::create_directories(root + "/ftp-data/logs");
    std::ofstream log(root + "/ftp-data/logs/dirlog", std::ios::binary);
    for (long i = 0; i < releases; ++i) {
        char rel[128];
        (void)std::snprintf(rel, sizeof rel, "/site/mp3/%04ld/Some.Release.Name.%06ld-GROUP", i / 200, i);
        std::string dir = root + rel;
        std::vector<std::string> parts = {dir};
        if (i % 10 == 0)
            parts = {dir + "/CD1", dir + "/CD2"};
        for (const std::string &part : parts) {
            fs::create_directories(part);
            for (int f = 0; f < 2; ++f)
                put(part + "/part.r0" + std::to_string(f), 100 + static_cast<std::size_t>(f));
        }
        put(dir + "/release.nfo", 50);
        put(dir + "/release.sfv", 60);
        if (i % 4 == 0) {
            fs::create_directories(dir + "/Sample");
            put(dir + "/Sample/sample.avi", 70);
        }
        if (i % 2 == 0) {
            dirlog_record r{};
            r.time = static_cast<int32_t>(1700000000 + i);
            r.files = 3;
            (void)std::snprintf(r.dirname, sizeof r.dirname, "%s", rel);
            log.write(reinterpret_cast<const char *>(&r), sizeof r);
        }
    }
    if (!log)
        std::abort();
    return root;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main() {
    long releases = count_from_env("SITEKIT_BENCH_RELEASES", 20000);
    int rounds = static_cast<int>(count_from_env("SITEKIT_BENCH_ROUNDS", 5));
    std::printf("building a site of %ld releases...\n", releases);
    std::string root = make_site(releases);
    std::vector<std::string> rebuild = {SITEKIT_PROGRAM, "--root",          root, "dirlog", "rebuild",
                                        "--quiet",       root + "/site/mp3"};
    std::vector<std::string> du = {"/usr/bin/du", "-sb", root + "/site/mp3"};
    // Warm the cache; the first rebuild also keeps the old records' times.
    skbench::ChildRun first = skbench::run_program(rebuild);
    skbench::run_program(du);
    if (!first.ok) {
        std::fprintf(stderr, "the rebuild failed\n");
        return 1;
    }
    std::vector<double> ratios, walls, floors;
    long rss = 0;
    for (int round = 0; round < rounds; ++round) {
        skbench::ChildRun a, b;
        if (round % 2) {
            b = skbench::run_program(du);
            a = skbench::run_program(rebuild);
        } else {
            a = skbench::run_program(rebuild);
            b = skbench::run_program(du);
        }
        if (!a.ok || !b.ok) {
            std::fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
        ratios.push_back(a.wall / b.wall);
        walls.push_back(a.wall);
        floors.push_back(b.wall);
        rss = std::max(rss, a.maxrss_kib);
        std::printf("round %d: rebuild %.3f s (cpu %.3f s), du -sb %.3f s, ratio %.2f\n", round, a.wall,
                    a.cpu, b.wall, a.wall / b.wall);
    }
    std::printf("releases %ld: rebuild median %.3f s, floor (du -sb) median %.3f s, ratio median %.2f "
                "(min %.2f, max %.2f over %d rounds), rebuild peak RSS %ld KiB\n",
                releases, median(walls), median(floors), median(ratios),
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), rounds, rss);
    if (std::getenv("SITEKIT_BENCH_KEEP"))
        std::printf("the tree is left in %s\n", root.c_str());
    else
        fs::remove_all(root);
    return 0;
}
