// One pass over a text file in a fresh process, for the cold-cache figures
// that a benchmark loop cannot give (its second iteration is always warm).
//
//   textscan_cold MODE FILE [evict]
//     MODE: lfr (lfr_open + lfr_getline), getline (getline(3)), memchr
//     (read(2) into a 256 KiB buffer and count line ends). With "evict" the
//     file's pages are dropped from the page cache first.
// Prints the mode, the lines seen and the wall time in seconds.
#include "textscan.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
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

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: textscan_cold lfr|getline|memchr FILE [evict]\n");
        return 2;
    }
    std::string mode = argv[1];
    const char *path = argv[2];
    if (argc > 3 && std::strcmp(argv[3], "evict") == 0) {
        int fd = open(path, O_RDONLY);
        if (fd >= 0) {
            fdatasync(fd);
            posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            close(fd);
        }
    }
    auto t0 = std::chrono::steady_clock::now();
    long lines = mode == "lfr" ? by_lfr(path) : mode == "getline" ? by_getline(path) : by_memchr(path);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s %ld lines %.3f s\n", mode.c_str(), lines, s);
    return lines < 0 ? 1 : 0;
}
