// Passes over a text file, each in a fresh child process after a pause, for
// the cold figures that a benchmark loop cannot give (its second iteration
// always finds memory the process has touched before). The pause lets the
// system take back the memory of the pass before, as a virtual machine
// returns free memory to its host.
//
//   textscan_cold FILE [--evict] [--pause SECONDS] [--reps N]
//
// Each round times getline(3) and a read(2) + memchr scan (the floors) and
// the line reader (lfr_open + lfr_getline), one child each; with --evict the
// file's pages are dropped from the page cache before every pass. Prints
// every pass and, per round, the reader's ratio to both floors.
#include "textscan.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long by_lfr(const char *path) {
    lfr_reader reader;
    long lines = 0;
    if (lfr_open(&reader, path) == 0) {
        std::vector<char> line(4097);
        while (lfr_getline(&reader, line.data(), 4096) >= 0)
            ++lines;
    }
    lfr_close(&reader);
    return lines;
}

long by_getline(const char *path) {
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    char *line = nullptr;
    size_t cap = 0;
    long lines = 0;
    while (getline(&line, &cap, f) >= 0)
        ++lines;
    std::free(line);
    (void)std::fclose(f); // read-only stream: nothing to lose on close
    return lines;
}

long by_memchr(const char *path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    std::vector<char> buf(256 << 10);
    long lines = 0;
    ssize_t n = 0;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
        const char *p = buf.data();
        const char *end = p + n;
        while ((p = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p))))) {
            ++lines;
            ++p;
        }
    }
    close(fd);
    return lines;
}

// Runs one pass in a child process and returns its wall time in seconds,
// or a negative value when the pass failed.
double timed_pass(long (*pass)(const char *), const char *path, bool evict) {
    if (evict) {
        int fd = open(path, O_RDONLY);
        if (fd >= 0) {
            (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            close(fd);
        }
    }
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        close(pipe_fds[0]);
        auto t0 = std::chrono::steady_clock::now();
        long lines = pass(path);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (lines < 0)
            s = -1;
        _exit(write(pipe_fds[1], &s, sizeof s) == static_cast<ssize_t>(sizeof s) ? 0 : 1);
    }
    close(pipe_fds[1]);
    double s = -1;
    if (child < 0 || read(pipe_fds[0], &s, sizeof s) != static_cast<ssize_t>(sizeof s))
        s = -1;
    close(pipe_fds[0]);
    if (child > 0)
        (void)waitpid(child, nullptr, 0);
    return s;
}

} // namespace

int main(int argc, char **argv) {
    const char *path = nullptr;
    bool evict = false;
    unsigned pause = 5;
    int reps = 3;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--evict")
            evict = true;
        else if (arg == "--pause" && i + 1 < argc)
            pause = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--reps" && i + 1 < argc)
            reps = std::atoi(argv[++i]);
        else
            path = argv[i];
    }
    if (!path || reps < 1) {
        std::fprintf(stderr, "usage: textscan_cold FILE [--evict] [--pause SECONDS] [--reps N]\n");
        return 2;
    }
    struct mode {
        const char *name;
        long (*pass)(const char *);
    };
    const mode modes[] = {{"getline", by_getline}, {"read+memchr", by_memchr}, {"lfr", by_lfr}};
    for (int round = 1; round <= reps; ++round) {
        double seconds[3];
        for (int m = 0; m < 3; ++m) {
            sleep(pause);
            seconds[m] = timed_pass(modes[m].pass, path, evict);
            if (seconds[m] < 0) {
                std::fprintf(stderr, "textscan_cold: %s pass over %s failed\n", modes[m].name, path);
                return 1;
            }
            std::printf("round %d %-12s %.3f s\n", round, modes[m].name, seconds[m]);
        }
        std::printf("round %d lfr: %.2fx getline, %.2fx read+memchr\n", round, seconds[2] / seconds[0],
                    seconds[2] / seconds[1]);
        std::fflush(stdout);
    }
    return 0;
}
