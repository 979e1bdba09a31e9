// pwd_getpwnam over a passwd file of 10,000 users that does not change,
// beside one stat() of the same file (the reference: the status call every
// lookup makes). Names are looked up at the head of the cache (the file's
// last line), in the middle and at its end (the first line), and missing;
// a lookup of a file dated within the last two seconds (or ahead: its
// content is then compared as well) and a full reload are shown for scale.
//
//   acctdb_bench [--benchmark_...]     (the files are made in $TMPDIR)
#include "acctdb.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

constexpr int kUsers = 10000;

struct Passwd {
    std::string dir, path;
    Passwd() {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/sitekit-acctdb-bench-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir = tmpl;
        path = dir + "/passwd";
        FILE *f = std::fopen(path.c_str(), "w");
        for (int i = 0; i < kUsers; ++i)
            std::fprintf(f, "user%05d:$1$s%05d$abcdefghijklm:%d:%d:%d:/site:/bin/false\n", i, i, 1000 + i,
                         300 + i % 50, 1617235200 + i);
        std::fclose(f);
        make_old();
        pwd_set_etcdir(dir.c_str());
    }
    ~Passwd() {
        _pwd_finalize(pwd_userlist);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    // Dated an hour back: outside the window in which content is compared.
    void make_old() const {
        struct timespec t[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    }
    // Dated an hour ahead: never outside the window, so every lookup compares
    // the content too.
    void make_future() const {
        struct timespec t[2] = {{time(nullptr) + 3600, 0}, {time(nullptr) + 3600, 0}};
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    }
};

Passwd &fixture() {
    static Passwd p;
    return p;
}

void lookup(benchmark::State &state, const char *name, bool expect_found) {
    fixture().make_old();
    if ((pwd_getpwnam(name) != nullptr) != expect_found)
        state.SkipWithError("unexpected lookup result");
    for (auto _ : state)
        benchmark::DoNotOptimize(pwd_getpwnam(name));
    state.SetItemsProcessed(state.iterations());
}

void BM_Stat(benchmark::State &state) {
    struct stat st;
    for (auto _ : state)
        benchmark::DoNotOptimize(stat(fixture().path.c_str(), &st));
    state.SetItemsProcessed(state.iterations());
}

void BM_GetpwnamHead(benchmark::State &state) {
    lookup(state, "user09999", true);
}
void BM_GetpwnamMiddle(benchmark::State &state) {
    lookup(state, "user05000", true);
}
void BM_GetpwnamEnd(benchmark::State &state) {
    lookup(state, "user00000", true);
}
void BM_GetpwnamMissing(benchmark::State &state) {
    lookup(state, "nobody", false);
}

void BM_GetpwnamRecentFile(benchmark::State &state) {
    fixture().make_future();
    pwd_getpwnam("user05000");
    for (auto _ : state)
        benchmark::DoNotOptimize(pwd_getpwnam("user05000"));
    state.SetItemsProcessed(state.iterations());
    fixture().make_old();
}

void BM_Reload(benchmark::State &state) {
    fixture().make_old();
    for (auto _ : state) {
        _pwd_finalize(pwd_userlist);
        benchmark::DoNotOptimize(pwd_getpwnam("user05000"));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Stat);
BENCHMARK(BM_GetpwnamHead);
BENCHMARK(BM_GetpwnamMiddle);
BENCHMARK(BM_GetpwnamEnd);
BENCHMARK(BM_GetpwnamMissing);
BENCHMARK(BM_GetpwnamRecentFile);
BENCHMARK(BM_Reload);

} // namespace

BENCHMARK_MAIN();
