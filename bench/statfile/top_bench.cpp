// sitekit stats top as a bot runs it, over a users folder of 5,000
// userfiles of 60 lines, beside the floor measured in the same iteration:
// each userfile opened and its bytes read, in this process. Counters:
// floor_ms, ratio (the command's time over the floor's), cpu_ratio (the same
// in processor time) and peak_rss_kb.
//
//   top_bench                          5,000 userfiles
//   SITEKIT_BENCH_USERS=N top_bench    N userfiles
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include "benchsupport.h"

namespace {

namespace fs = std::filesystem;

// This thread's processor time so far, user and system; seconds.

int user_count() {
    const char *n = std::getenv("SITEKIT_BENCH_USERS");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 5000;
}

std::string userfile(int i) {
    std::string text = "USER Added by siteop\nGENERAL 0,0 -1 0 0\nLOGINS 3 0 -1 -1\nTIMEFRAME 0 0\n"
                       "FLAGS 3\nTAGLINE uploading since the nineties\nDIR /\nADDED 1617235200 siteop\n"
                       "EXPIRES 0\nCREDITS 1500 0 0 0 0 0 0 0 0 0\nRATIO 3 0 0 0 0 0 0 0 0 0\n";
    std::string n = std::to_string(i);
    for (const char *kind : {"ALL", "WK", "DAY", "MONTH"}) {
        text += std::string(kind) + "UP " + n + " " + n + "000 3600 7 700 70 0 0 0 0 0 0 0 0 0\n";
        text += std::string(kind) + "DN 30 " + n + "00 800 0 0 0 0 0 0 0 0 0 0 0 0\n";
    }
    text += "NUKE 0 0 0\nTIME 14 1700000000 0 0\nSLOTS -1 -1\nGROUP SiTEOPS 1\nGROUP Friends 0\n";
    for (int k = 0; std::count(text.begin(), text.end(), '\n') < 60; ++k)
        text += "IP *@10.0." + std::to_string(k) + ".*\n";
    return text;
}

struct Site {
    std::string root, users;
    Site() {
        root = skbench::temp_dir("top-bench");
        users = root + "/ftp-data/users";
        fs::create_directories(users);
        fs::create_directories(root + "/etc");
        FILE *pw = std::fopen((root + "/etc/passwd").c_str(), "w");
        FILE *gr = std::fopen((root + "/etc/group").c_str(), "w");
        if (!pw || !gr)
            std::abort();
        for (int g = 0; g < 20; ++g)
            std::fprintf(gr, "Group%d:bench:%d:\n", g, 100 + g);
        for (int i = 0; i < user_count(); ++i) {
            std::string name = "user" + std::to_string(i);
            std::fprintf(pw, "%s:x:%d:%d::/site:/bin/false\n", name.c_str(), 1000 + i, 100 + i % 20);
            FILE *u = std::fopen((users + "/" + name).c_str(), "w");
            std::string text = userfile(i);
            if (!u || std::fwrite(text.data(), 1, text.size(), u) != text.size() || std::fclose(u) != 0)
                std::abort();
        }
        if (std::fclose(pw) != 0 || std::fclose(gr) != 0)
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

// The floor: the folder listed and each userfile's bytes read; seconds.
double read_userfiles(const std::string &folder) {
    static std::vector<char> buf(1 << 16);
    auto start = std::chrono::steady_clock::now();
    DIR *dir = opendir(folder.c_str());
    while (const dirent *e = dir ? readdir(dir) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        int fd = ::open((folder + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC);
        while (fd >= 0 && ::read(fd, buf.data(), buf.size()) > 0)
            benchmark::DoNotOptimize(buf.data());
        if (fd >= 0)
            ::close(fd);
    }
    if (dir)
        closedir(dir);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void top(benchmark::State &state, std::vector<std::string> args) {
    Site &s = site();
    args.insert(args.begin(), {SITEKIT_PROGRAM, "--root", s.root, "stats", "top"});
    skbench::run_against_floor(state, args, [&] { return read_userfiles(s.users); });
}

void BM_top_week_up(benchmark::State &s) {
    top(s, {"--period", "week"});
}
void BM_top_down_by_files_json(benchmark::State &s) {
    top(s, {"down", "--by", "files", "--json"});
}
// Every user's group is looked up in the account cache.
void BM_top_group(benchmark::State &s) {
    top(s, {"--group", "Group3"});
}

BENCHMARK(BM_top_week_up)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_top_down_by_files_json)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_top_group)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace

BENCHMARK_MAIN();
