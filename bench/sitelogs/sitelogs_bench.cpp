// The directory-log update and the tree measurement beside the cost of the
// work they cannot avoid:
//   - update_log on a log of 100,000 records (28.8 MB), the record near the
//     end, beside a plain sequential read of the same file;
//   - get_dir_size on a tree of 100,000 files beside `du -sb` on it.
// Both files stay in the page cache, so the figures compare CPU and system
// call cost, not the disk.
//
//   sitelogs_bench [--benchmark_...]     (the files are made in $TMPDIR)
#include "sitelogs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "siteroot.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRecords = 100000;
constexpr int kTarget = 99990;
constexpr int kDirs = 100, kFilesPerDir = 1000;

std::string release_name(int i) {
    char name[64];
    std::snprintf(name, sizeof name, "/site/archive/Some.Release.Name.%06d-GROUP", i);
    return name;
}

struct Site {
    std::string root;
    std::string log;
    std::string tree;

    Site() {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/sitekit-sitelogs-bench-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root = buf.data();
        log = root + "/ftp-data/logs/dirlog";
        tree = root + "/site/tree";
        fs::create_directories(root + "/ftp-data/logs");
        write_log();
        sitekit_set_root(root.c_str());
    }
    ~Site() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    void write_log() {
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(kRecords) * sizeof(dirlog_record));
        for (int i = 0; i < kRecords; ++i) {
            dirlog_record r;
            std::memset(&r, 0, sizeof r);
            r.time = 1700000000 + i;
            r.files = static_cast<uint16_t>(i % 100);
            r.bytes = static_cast<uint64_t>(i) * 1000;
            std::string name = release_name(i);
            std::memcpy(r.dirname, name.data(), name.size());
            bytes.append(reinterpret_cast<const char *>(&r), sizeof r);
        }
        FILE *f = std::fopen(log.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
            std::perror(log.c_str());
            std::exit(1);
        }
    }

    void write_tree() {
        std::string data(512, 'x');
        for (int d = 0; d < kDirs; ++d) {
            std::string dir = tree + "/Release." + std::to_string(d);
            fs::create_directories(dir);
            for (int i = 0; i < kFilesPerDir; ++i) {
                std::string path = dir + "/file" + std::to_string(i) + ".r" + std::to_string(i % 100);
                int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0 || ::write(fd, data.data(), 1 + i % 500) < 0 || ::close(fd) != 0) {
                    std::perror(path.c_str());
                    std::exit(1);
                }
            }
        }
    }
};

Site &site() {
    static Site s;
    return s;
}

// The tree is made on first use only, so that the log benchmarks alone start quickly.
const std::string &tree() {
    static bool made = false;
    Site &s = site();
    if (!made) {
        s.write_tree();
        made = true;
    }
    return s.tree;
}

void BM_update_log_near_end(benchmark::State &state) {
    Site &s = site();
    dirlog_record r;
    std::memset(&r, 0, sizeof r);
    std::string name = release_name(kTarget);
    std::memcpy(r.dirname, name.data(), name.size());
    r.files = 7;
    for (auto _ : state)
        update_log(r);
    if (fs::file_size(s.log) != static_cast<std::uintmax_t>(kRecords) * sizeof(dirlog_record))
        state.SkipWithError("the record was appended, not found");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecords * 288);
}

// The reference: open the same file, read it to its end in 1 MB blocks, close.
void BM_sequential_read(benchmark::State &state) {
    Site &s = site();
    std::vector<char> buf(1 << 20);
    for (auto _ : state) {
        int fd = ::open(s.log.c_str(), O_RDONLY);
        ssize_t n;
        while ((n = ::read(fd, buf.data(), buf.size())) > 0)
            benchmark::DoNotOptimize(buf.data());
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRecords * 288);
}

void BM_get_dir_size(benchmark::State &state) {
    const std::string &dir = tree();
    int32_t files = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        files = 0;
        bytes = 0;
        get_dir_size(dir.c_str(), &files, &bytes);
    }
    if (files != kDirs * kFilesPerDir)
        state.SkipWithError("wrong file count");
    state.counters["files"] = files;
}

// The reference: the platform's own disk usage tool on the same tree.
void BM_du_sb(benchmark::State &state) {
    std::string cmd = "du -sb '" + tree() + "' >/dev/null";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0)
            state.SkipWithError("du failed");
    }
}

BENCHMARK(BM_sequential_read)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_update_log_near_end)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_du_sb)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_get_dir_size)->Unit(benchmark::kMillisecond)->MinTime(3.0);

} // namespace

BENCHMARK_MAIN();
