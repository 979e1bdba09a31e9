// The account files of a site of 100, 10,000 and 100,000 users (and a
// tenth as many groups), in two parts.
//
// Cache lookups: pwd_getpwnam of the user on the file's last line, on its
// first line (the end of the cache's chain) and of a missing one, group
// lookups of the first group by name and gid, each beside one stat() of
// the passwd file (the status call every user lookup makes), and a full
// reload for scale.
//
// Commands: `sitekit user NAME` for the first and the last user and
// `sitekit group NAME` for the first group, as processes, each beside the
// floor measured in the same iteration: a small C program that reads the
// whole file and finds the name's line (acct_floor). Both are started by
// acct_launch, which reports the wall time and the peak RSS of the one
// child. Counters: floor_ms, ratio (command / floor), rss_kb and
// floor_rss_kb (peak RSS), file_kb and rss_per_file.
//
//   acctdb_bench [--benchmark_...]     (the files are made in $TMPDIR)
//   SITEKIT_BENCH_PROGRAM=PATH acctdb_bench    times another sitekit build
#include "acctdb.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

// The names of line i of each file.
std::string user_name(int i) {
    char name[16];
    (void)std::snprintf(name, sizeof name, "user%06d", i);
    return name;
}
std::string group_name(int i) {
    char name[16];
    (void)std::snprintf(name, sizeof name, "grp%06d", i);
    return name;
}

// A site root with etc/passwd and etc/group, removed at exit.
struct Site {
    int users, groups;
    std::string root, etc, passwd, group;

    explicit Site(int n) : users(n), groups(std::max(1, n / 10)) {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/sitekit-acctdb-bench-XXXXXX";
        if (!mkdtemp(tmpl.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root = tmpl;
        etc = root + "/etc";
        passwd = etc + "/passwd";
        group = etc + "/group";
        if (mkdir(etc.c_str(), 0755) != 0) {
            std::perror("mkdir");
            std::exit(1);
        }
        FILE *p = std::fopen(passwd.c_str(), "w");
        FILE *g = std::fopen(group.c_str(), "w");
        if (!p || !g)
            std::exit(1);
        for (int i = 0; i < users; ++i)
            std::fprintf(p, "%s:$1$s%06d$abcdefghijklm:%d:%d:%d:/site:/bin/false\n", user_name(i).c_str(), i,
                         1000 + i, 300 + i % groups, 1617235200 + i);
        for (int i = 0; i < groups; ++i)
            std::fprintf(g, "%s:Group %d:%d:%s,%s\n", group_name(i).c_str(), i, 300 + i, user_name(i).c_str(),
                         user_name(i + 1).c_str());
        if (std::fclose(p) != 0 || std::fclose(g) != 0)
            std::exit(1);
        make_old();
    }
    ~Site() {
        unlink(passwd.c_str());
        unlink(group.c_str());
        rmdir(etc.c_str());
        rmdir(root.c_str());
    }
    Site(const Site &) = delete;
    Site &operator=(const Site &) = delete;

    // Dated an hour back: outside the window in which content is compared.
    void make_old() const { set_time(time(nullptr) - 3600); }
    // Dated an hour ahead: never outside the window, so every lookup
    // compares the content too.
    void make_future() const { set_time(time(nullptr) + 3600); }
    void set_time(time_t when) const {
        struct timespec t[2] = {{when, 0}, {when, 0}};
        utimensat(AT_FDCWD, passwd.c_str(), t, 0);
    }
};

// The site of n users, made once; the cache is pointed at it.
Site &site(int n) {
    static std::map<int, std::unique_ptr<Site>> sites;
    auto &s = sites[n];
    if (!s)
        s = std::make_unique<Site>(n);
    pwd_set_etcdir(s->etc.c_str());
    return *s;
}

// Every group lookup reads the group chain of the site loaded first; a
// benchmark of another site lets go of the chain, as a caller may.
void use_groups_of(int n) {
    static int loaded = -1;
    if (loaded == n)
        return;
    while (pwd_grouplist) {
        pwd_group *next = pwd_grouplist->next;
        std::free(pwd_grouplist->members);
        std::free(pwd_grouplist);
        pwd_grouplist = next;
    }
    site(n);
    loaded = n;
}

void BM_Stat(benchmark::State &state) {
    const Site &s = site(static_cast<int>(state.range(0)));
    struct stat st;
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        benchmark::DoNotOptimize(stat(s.passwd.c_str(), &st));
}

void user_lookup(benchmark::State &state, int line, bool expect_found) {
    const Site &s = site(static_cast<int>(state.range(0)));
    s.make_old();
    std::string name = line < 0 ? "nobody" : user_name(line == 0 ? 0 : s.users - 1);
    if ((pwd_getpwnam(name.c_str()) != nullptr) != expect_found)
        state.SkipWithError("unexpected lookup result");
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        benchmark::DoNotOptimize(pwd_getpwnam(name.c_str()));
}

void BM_GetpwnamLastLine(benchmark::State &state) {
    user_lookup(state, 1, true);
}
void BM_GetpwnamFirstLine(benchmark::State &state) {
    user_lookup(state, 0, true);
}
void BM_GetpwnamMissing(benchmark::State &state) {
    user_lookup(state, -1, false);
}

void BM_GetgpnamFirstLine(benchmark::State &state) {
    use_groups_of(static_cast<int>(state.range(0)));
    std::string name = group_name(0);
    if (!pwd_getgpnam(name.c_str()))
        state.SkipWithError("no first group");
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        benchmark::DoNotOptimize(pwd_getgpnam(name.c_str()));
}

void BM_GetgpgidFirstLine(benchmark::State &state) {
    use_groups_of(static_cast<int>(state.range(0)));
    if (!pwd_getgpgid(300))
        state.SkipWithError("no first group");
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        benchmark::DoNotOptimize(pwd_getgpgid(300));
}

void BM_GetpwnamRecentFile(benchmark::State &state) {
    const Site &s = site(10000);
    s.make_future();
    pwd_getpwnam("user005000");
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        benchmark::DoNotOptimize(pwd_getpwnam("user005000"));
    s.make_old();
}

void BM_Reload(benchmark::State &state) {
    site(static_cast<int>(state.range(0))).make_old();
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        _pwd_finalize(pwd_userlist);
        benchmark::DoNotOptimize(pwd_getpwnam("user000000"));
    }
}

// One run of a program through the launcher.
struct Run {
    double seconds = 0;
    long rss_kb = 0;
    int status = -1;
};

Run launch(const std::vector<std::string> &args) {
    std::string cmd = ACCT_LAUNCH;
    for (const std::string &a : args)
        cmd += " '" + a + "'";
    Run r;
    FILE *out = popen(cmd.c_str(), "r");
    long long ns = 0;
    if (!out)
        return r;
    if (std::fscanf(out, "%lld %ld %d", &ns, &r.rss_kb, &r.status) != 3)
        r.status = -1;
    if (pclose(out) != 0)
        r.status = -1;
    r.seconds = static_cast<double>(ns) / 1e9;
    return r;
}

std::string program() {
    const char *other = std::getenv("SITEKIT_BENCH_PROGRAM");
    return other && *other ? other : SITEKIT_PROGRAM;
}

// sitekit COMMAND NAME against acct_floor FILE NAME, alternately.
void command(benchmark::State &state, bool group, bool last) {
    const Site &s = site(static_cast<int>(state.range(0)));
    s.make_old();
    std::string name = group ? group_name(0) : user_name(last ? s.users - 1 : 0);
    const std::string &file = group ? s.group : s.passwd;
    double floor = 0, total = 0;
    long rss = 0, floor_rss = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop idiom
        Run f = launch({ACCT_FLOOR, file, name});
        Run c = launch({program(), "--root", s.root, group ? "group" : "user", name});
        if (f.status != 0 || c.status != 0)
            state.SkipWithError("a lookup failed");
        floor += f.seconds;
        total += c.seconds;
        floor_rss = std::max(floor_rss, f.rss_kb);
        rss = std::max(rss, c.rss_kb);
        state.SetIterationTime(c.seconds);
    }
    struct stat st {};
    stat(file.c_str(), &st);
    double file_kb = static_cast<double>(st.st_size) / 1024;
    state.counters["floor_ms"] = 1000 * floor / static_cast<double>(state.iterations());
    state.counters["ratio"] = floor > 0 ? total / floor : 0;
    state.counters["rss_kb"] = static_cast<double>(rss);
    state.counters["floor_rss_kb"] = static_cast<double>(floor_rss);
    state.counters["file_kb"] = file_kb;
    state.counters["rss_per_file"] = file_kb > 0 ? static_cast<double>(rss) / file_kb : 0;
}

void BM_CommandUserFirstLine(benchmark::State &state) {
    command(state, false, false);
}
void BM_CommandUserLastLine(benchmark::State &state) {
    command(state, false, true);
}
void BM_CommandGroupFirstLine(benchmark::State &state) {
    command(state, true, false);
}

void sizes(benchmark::internal::Benchmark *b) {
    b->Arg(100)->Arg(10000)->Arg(100000);
}

BENCHMARK(BM_Stat)->Apply(sizes);
BENCHMARK(BM_GetpwnamLastLine)->Apply(sizes);
BENCHMARK(BM_GetpwnamFirstLine)->Apply(sizes);
BENCHMARK(BM_GetpwnamMissing)->Apply(sizes);
BENCHMARK(BM_GetgpnamFirstLine)->Apply(sizes);
BENCHMARK(BM_GetgpgidFirstLine)->Apply(sizes);
BENCHMARK(BM_GetpwnamRecentFile);
BENCHMARK(BM_Reload)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommandUserFirstLine)
    ->Apply(sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(15);
BENCHMARK(BM_CommandUserLastLine)
    ->Apply(sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(15);
BENCHMARK(BM_CommandGroupFirstLine)
    ->Apply(sizes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(15);

} // namespace

BENCHMARK_MAIN();
