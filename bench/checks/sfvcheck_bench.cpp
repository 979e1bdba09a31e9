// Cost of the SFV check beside floors measured in the same run:
//   - the CRC-32 of a large upload (sfv_file_crc) against zlib's crc32 over
//     the same bytes in memory, and against "cksum" on the file; the file
//     is read once before, so both read it from the page cache. Its size
//     in MiB is SITEKIT_BENCH_SFV_MB, else 1024 (1 GiB) with
//     SITEKIT_BENCH_LARGE=1, else 256;
//   - the per-upload state update (sfv_accepted: markers, state, tag, the
//     upload record and the totals by uploader) of a
//     release of 200 files against its floor, the directory read once and
//     every file examined once (readdir and stat).
// Each prints its ratio to its floor.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "proptable.h"
#include "sfvcheck.h"

namespace {

std::string bench_dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/sitekit-sfvbench-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

// SITEKIT_BENCH_SFV_MB when set, else 1024 with SITEKIT_BENCH_LARGE=1, else 256.
long upload_mb() {
    const char *large = std::getenv("SITEKIT_BENCH_LARGE");
    const long fallback = large && std::string(large) == "1" ? 1024 : 256;
    const char *v = std::getenv("SITEKIT_BENCH_SFV_MB");
    long mb = v ? std::atol(v) : fallback;
    return mb > 0 ? mb : fallback;
}

std::vector<unsigned char> &upload_bytes() {
    static std::vector<unsigned char> bytes = [] {
        std::vector<unsigned char> b(static_cast<std::size_t>(upload_mb()) * 1024 * 1024);
        unsigned seed = 1;
        for (auto &c : b) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<unsigned char>(seed >> 16);
        }
        return b;
    }();
    return bytes;
}

std::string upload_path() {
    static std::string path = [] {
        std::string p = bench_dir() + "/upload.r00";
        FILE *f = std::fopen(p.c_str(), "wb");
        if (!f || std::fwrite(upload_bytes().data(), 1, upload_bytes().size(), f) != upload_bytes().size() ||
            std::fclose(f) != 0)
            std::abort();
        unsigned long crc = 0;
        if (!sfv_file_crc(p.c_str(), &crc, nullptr)) // into the page cache
            std::abort();
        return p;
    }();
    return path;
}

double crc_floor = 0;    // seconds per iteration, from BM_CrcInMemoryFloor
double update_floor = 0; // seconds per iteration, from BM_ReleaseScanFloor

// Runs body once per iteration; the mean seconds per iteration.
template <class Body> double timed(benchmark::State &state, Body body) {
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        body();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return state.iterations() ? total / static_cast<double>(state.iterations()) : 0;
}

void ratio(benchmark::State &state, double seconds, double floor) {
    if (floor > 0)
        state.counters["ratio_to_floor"] = seconds / floor;
}

void crc_bytes(benchmark::State &state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(upload_bytes().size()));
}

void BM_CrcInMemoryFloor(benchmark::State &state) {
    upload_path();
    crc_floor = timed(state, [] {
        uLong crc = crc32(0L, upload_bytes().data(), static_cast<uInt>(upload_bytes().size()));
        benchmark::DoNotOptimize(crc);
    });
    crc_bytes(state);
}

void BM_SfvFileCrc(benchmark::State &state) {
    std::string path = upload_path();
    double s = timed(state, [&] {
        unsigned long crc = 0;
        if (!sfv_file_crc(path.c_str(), &crc, nullptr))
            state.SkipWithError("cannot read the upload");
        benchmark::DoNotOptimize(crc);
    });
    crc_bytes(state);
    ratio(state, s, crc_floor);
}

void BM_Cksum(benchmark::State &state) {
    std::string cmd = "cksum '" + upload_path() + "' >/dev/null 2>&1";
    double s = timed(state, [&] {
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("cksum is not installed");
    });
    crc_bytes(state);
    ratio(state, s, crc_floor);
}

constexpr int kReleaseFiles = 200;

std::string release_dir() {
    static std::string dir = [] {
        std::string d = bench_dir() + "/Release-GRP";
        mkdir(d.c_str(), 0755);
        std::string sfv;
        for (int i = 0; i < kReleaseFiles; ++i) {
            char name[32];
            (void)std::snprintf(name, sizeof name, "release.%03d", i);
            std::string text = "file " + std::to_string(i);
            FILE *f = std::fopen((d + "/" + name).c_str(), "wb");
            if (!f || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0)
                std::abort();
            char line[64];
            (void)std::snprintf(
                line, sizeof line, "%s %08lX\n", name,
                crc32(0L, reinterpret_cast<const Bytef *>(text.data()), static_cast<uInt>(text.size())));
            sfv += line;
        }
        FILE *f = std::fopen((d + "/release.sfv").c_str(), "wb");
        if (!f || std::fputs(sfv.c_str(), f) < 0 || std::fclose(f) != 0)
            std::abort();
        return d;
    }();
    return dir;
}

void BM_ReleaseScanFloor(benchmark::State &state) {
    std::string dir = release_dir();
    update_floor = timed(state, [&] {
        DIR *d = opendir(dir.c_str());
        long long bytes = 0;
        while (const dirent *e = readdir(d)) {
            struct stat st {};
            if (stat((dir + "/" + e->d_name).c_str(), &st) == 0)
                bytes += st.st_size;
        }
        closedir(d);
        benchmark::DoNotOptimize(bytes);
    });
}

void BM_StateUpdate(benchmark::State &state) {
    std::string dir = release_dir();
    ht_table table;
    ht_init(&table);
    ht_put(&table, "sfv_progress", "[ %{percent}% complete ] - %{files}F of %{total}F");
    ht_put(&table, "sfv_complete", "[%{size}M %{total}F - COMPLETE]");
    ht_put(&table, "sfv_complete_msg", "%{user} done: %{uploaders}");
    ht_put(&table, "user", "alice");
    ht_put(&table, "speed", "1520.5");
    double s = timed(state, [&] { sfv_accepted(&table, "release.100", dir.c_str()); });
    ht_finalize(&table);
    ratio(state, s, update_floor);
}

BENCHMARK(BM_CrcInMemoryFloor)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_SfvFileCrc)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Cksum)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ReleaseScanFloor)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200)->Repetitions(3);
BENCHMARK(BM_StateUpdate)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200)->Repetitions(3);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::string cmd = "rm -rf '" + bench_dir() + "'";
    return std::system(cmd.c_str()) == 0 ? 0 : 1;
}
