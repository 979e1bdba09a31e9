// `sitekit who --list` and `--json` as a bot runs them, every few seconds:
// a process over a table of 200 occupied slots (a third uploading, a third
// downloading) with a group file of 50 groups, output to /dev/null. The
// floor, measured in the same iteration, is the start of the same program
// doing nothing else (sitekit --version): what is left above it is the
// listing's own work. Counters: floor_ms, ratio (the command's wall time
// over the floor's), spawn_ms (/bin/true, the start of any process) and
// peak_rss_kb.
//
//   wholist_bench                                   the sitekit of this build
//   SITEKIT_PROGRAM=build-static/src/app/sitekit wholist_bench   another one
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "benchsupport.h"
#include "whorecord.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSlots = 200;

struct Site {
    std::string root, key;
    int id = -1;
    Site() {
        root = skbench::temp_dir("wholist-bench");
        fs::create_directories(root + "/etc");
        FILE *group = std::fopen((root + "/etc/group").c_str(), "w");
        if (!group)
            std::abort();
        for (int g = 0; g < 50; ++g)
            std::fprintf(group, "Group%d:x:%d:user%d\n", g, 300 + g, g);
        if (std::fclose(group) != 0)
            std::abort();
        key_t k = static_cast<key_t>(0x5B000000u | (static_cast<unsigned>(getpid()) & 0xFFFFFFu));
        id = shmget(k, kSlots * sizeof(who_record), IPC_CREAT | IPC_EXCL | 0600);
        if (id < 0)
            std::abort();
        auto *slots = static_cast<who_record *>(shmat(id, nullptr, 0));
        if (slots == reinterpret_cast<who_record *>(-1))
            std::abort();
        std::memset(slots, 0, kSlots * sizeof(who_record));
        auto now = static_cast<int32_t>(std::time(nullptr));
        for (std::size_t i = 0; i < kSlots; ++i) {
            who_record &w = slots[i];
            (void)std::snprintf(w.user_name, sizeof w.user_name, "user%zu", i);
            (void)std::snprintf(w.user_info, sizeof w.user_info, "tagline of user %zu", i);
            (void)std::snprintf(w.current_dir, sizeof w.current_dir, "/site/incoming/Release.%zu-GRP", i);
            const char *commands[] = {"STOR release.r%02zu", "RETR release.r%02zu", "IDLE"};
            (void)std::snprintf(w.status_text, sizeof w.status_text, commands[i % 3], i % 100);
            w.group_id = static_cast<int32_t>(300 + i % 60); // some gids have no group
            w.pid = static_cast<int32_t>(1000 + i);
            w.status_time = now - static_cast<int32_t>(i);
            w.transfer_start_sec = now - 10;
            w.transfer_bytes = uint64_t{1024} * 1024 * (i + 1);
        }
        (void)shmdt(slots);
        char text[16];
        (void)std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(k));
        key = text;
    }
    ~Site() {
        shmctl(id, IPC_RMID, nullptr);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

// The program to time: $SITEKIT_PROGRAM, else the one of this build.
std::string program() {
    const char *p = std::getenv("SITEKIT_PROGRAM");
    return p && *p ? p : SITEKIT_PROGRAM;
}

Site &site() {
    static Site s;
    return s;
}

void listing(benchmark::State &state, const char *mode) {
    Site &s = site();
    std::vector<std::string> args = {program(), "--root", s.root, "who", mode, "-k", s.key};
    double floor = 0, spawn = 0, total = 0;
    long peak = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable of the benchmark
        state.PauseTiming();
        floor += skbench::run_program({program(), "--version"}).wall;
        spawn += skbench::run_program({"/bin/true"}).wall;
        state.ResumeTiming();
        skbench::ChildRun run = skbench::run_program(args);
        if (!run.ok)
            state.SkipWithError("the command failed");
        total += run.wall;
        peak = std::max(peak, run.maxrss_kib);
    }
    state.counters["floor_ms"] = 1000 * floor / static_cast<double>(state.iterations());
    state.counters["ratio"] = floor > 0 ? total / floor : 0;
    state.counters["spawn_ms"] = 1000 * spawn / static_cast<double>(state.iterations());
    state.counters["peak_rss_kb"] = static_cast<double>(peak);
}

void BM_who_list(benchmark::State &s) {
    listing(s, "--list");
}
void BM_who_json(benchmark::State &s) {
    listing(s, "--json");
}

BENCHMARK(BM_who_list)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_who_json)->Unit(benchmark::kMillisecond)->Iterations(200);

} // namespace

BENCHMARK_MAIN();
