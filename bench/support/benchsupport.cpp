#include "benchsupport.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace skbench {

namespace {

double seconds_of(const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

} // namespace

double sequential_read(const std::string &path) {
    static std::vector<char> buf(1 << 20);
    auto start = std::chrono::steady_clock::now();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && ::read(fd, buf.data(), buf.size()) > 0)
        benchmark::DoNotOptimize(buf.data());
    if (fd >= 0)
        ::close(fd);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

ChildRun run_program(const std::vector<std::string> &args) {
    ChildRun run;
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid < 0)
        return run;
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0 && ::dup2(null, STDOUT_FILENO) >= 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid)
        return run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = seconds_of(ru.ru_utime) + seconds_of(ru.ru_stime);
    run.maxrss_kib = ru.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

std::string temp_dir(const std::string &purpose) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/sitekit-" + purpose + "-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        std::abort();
    return tmpl;
}

double thread_cpu() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return seconds_of(ru.ru_utime) + seconds_of(ru.ru_stime);
}

void run_against_floor(benchmark::State &state, const std::vector<std::string> &args,
                       const std::function<double()> &floor) {
    double floor_wall = 0, floor_cpu = 0, wall = 0, cpu = 0;
    long peak = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): the loop variable of the benchmark
        state.PauseTiming();
        double before = thread_cpu();
        floor_wall += floor();
        floor_cpu += thread_cpu() - before;
        state.ResumeTiming();
        ChildRun run = run_program(args);
        if (!run.ok)
            state.SkipWithError("the command failed");
        wall += run.wall;
        cpu += run.cpu;
        peak = std::max(peak, run.maxrss_kib);
    }
    state.counters["floor_ms"] = 1000 * floor_wall / static_cast<double>(state.iterations());
    state.counters["ratio"] = floor_wall > 0 ? wall / floor_wall : 0;
    state.counters["cpu_ratio"] = floor_cpu > 0 ? cpu / floor_cpu : 0;
    state.counters["peak_rss_kb"] = static_cast<double>(peak);
}

} // namespace skbench
