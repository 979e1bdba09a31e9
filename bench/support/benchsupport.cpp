#include "benchsupport.h"

#include <benchmark/benchmark.h>

#include <chrono>

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

} // namespace skbench
