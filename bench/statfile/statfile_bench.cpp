// statfile_add_stats on a userfile of 60 lines, beside the bare replacement
// of a file of the same size (write, fsync, rename: the floor that the flush
// to disk sets for any safe rewrite) and beside the same replacement without
// fsync (what the rewrite costs when the disk is left out).
//
//   statfile_bench [--benchmark_...]     (the userfile is made in $TMPDIR)
#include "statfile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

std::string userfile_60_lines() {
    std::string text = "USER Added by siteop\nGENERAL 0,0 -1 0 0\nLOGINS 3 0 -1 -1\nTIMEFRAME 0 0\n"
                       "FLAGS 3\nTAGLINE uploading since the nineties\nDIR /\nADDED 1617235200 siteop\n"
                       "EXPIRES 0\nCREDITS 1500 0 0 0 0 0 0 0 0 0\nRATIO 3 0 0 0 0 0 0 0 0 0\n";
    for (const char *kind : {"ALL", "WK", "DAY", "MONTH"}) {
        text += std::string(kind) + "UP 120 4500000 3600 7 700 70 0 0 0 0 0 0 0 0 0\n";
        text += std::string(kind) + "DN 30 900000 800 0 0 0 0 0 0 0 0 0 0 0 0\n";
    }
    text += "NUKE 0 0 0\nTIME 14 1700000000 0 0\nSLOTS -1 -1\nGROUP SiTEOPS 1\nGROUP Friends 0\n";
    for (int i = 0; std::count(text.begin(), text.end(), '\n') < 60; ++i)
        text += "IP *@10.0." + std::to_string(i) + ".*\n";
    return text;
}

struct Userfile {
    std::string dir, path, text = userfile_60_lines();
    Userfile() {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/sitekit-statfile-bench-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir = tmpl;
        path = dir + "/user";
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    ~Userfile() {
        for (const char *suffix : {"", ".ref", ".target", ".pre-tmp"})
            unlink((path + suffix).c_str());
        rmdir(dir.c_str());
    }
};

Userfile &fixture() {
    static Userfile u;
    return u;
}

void BM_AddStats(benchmark::State &state) {
    Userfile &u = fixture();
    for (auto _ : state)
        if (statfile_add_stats(u.path.c_str(), 1, 1000, 10, 5, 0, 0) != 5)
            state.SkipWithError("statfile_add_stats failed");
    state.SetItemsProcessed(state.iterations());
}

void replace_file(const Userfile &u, bool sync) {
    std::string tmp = u.path + ".ref";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (write(fd, u.text.data(), u.text.size()) != static_cast<ssize_t>(u.text.size()))
        std::abort();
    if (sync)
        fsync(fd);
    close(fd);
    rename(tmp.c_str(), (u.path + ".target").c_str());
}

void BM_ReplaceWithFsync(benchmark::State &state) {
    for (auto _ : state)
        replace_file(fixture(), true);
    state.SetItemsProcessed(state.iterations());
}

void BM_ReplaceWithoutFsync(benchmark::State &state) {
    for (auto _ : state)
        replace_file(fixture(), false);
    state.SetItemsProcessed(state.iterations());
    unlink((fixture().path + ".target").c_str());
}

BENCHMARK(BM_AddStats)->UseRealTime();
BENCHMARK(BM_ReplaceWithFsync)->UseRealTime();
BENCHMARK(BM_ReplaceWithoutFsync)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
