// Parsing and editing one statistics line of growing length (10 KB to
// 4 MB), per byte, beside the floor: a memchr scan of the same line, the
// least that any pass over it costs. A ratio that stays flat as the line
// grows shows that the work is linear in the line's length.
//
//   statline_bench [ROUNDS]     (best of ROUNDS timings per size, default 5)
#include "statfile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using clock_type = std::chrono::steady_clock;

// A statistics line of at least size bytes, of triples like the daemon's.
std::string stats_line(std::size_t size) {
    std::string line = "ALLUP";
    // Appended piece by piece: g++ 12 reports a false -Wrestrict for a
    // literal joined to a temporary string.
    for (int i = 0; line.size() < size; ++i) {
        line += ' ';
        line += std::to_string(i % 1000);
        line += ' ';
        line += std::to_string(i * 37 % 100000);
        line += " 60";
    }
    return line;
}

// Nanoseconds per byte of one call of op, the best of rounds timings; each
// timing repeats op until at least 50 ms have passed.
template <class Op> double ns_per_byte(std::size_t bytes, int rounds, Op op) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        long calls = 0;
        auto start = clock_type::now();
        std::chrono::duration<double, std::nano> spent{};
        do {
            op();
            ++calls;
            spent = clock_type::now() - start;
        } while (spent.count() < 50e6);
        best = std::min(best, spent.count() / static_cast<double>(calls) / static_cast<double>(bytes));
    }
    return best;
}

volatile std::size_t sink; // keeps the results from being optimised away

} // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (rounds < 1) {
        (void)std::fprintf(stderr, "usage: statline_bench [ROUNDS]\n");
        return 2;
    }
    std::printf("%10s %12s %12s %12s %10s %10s\n", "line bytes", "parse ns/B", "edit ns/B", "memchr ns/B",
                "parse/floor", "edit/floor");
    for (std::size_t size : {10u << 10, 100u << 10, 1u << 20, 4u << 20}) {
        std::string line = stats_line(size);
        const void *text = line.data();
        std::size_t bytes = line.size();
        double floor =
            ns_per_byte(bytes, rounds, [&] { sink = sink + (std::memchr(text, '\n', bytes) != nullptr); });
        double parse = ns_per_byte(line.size(), rounds, [&] {
            gl_stats *stats = _gl_parse_stats(line.c_str(), "user");
            sink = sink + (stats != nullptr);
            _gl_free_stats(stats);
        });
        double edit = ns_per_byte(line.size(), rounds, [&] {
            char *edited = _statfile_add_stats(line.c_str(), "user", 1, 1024, 10, 2);
            sink = sink + std::strlen(edited);
            std::free(edited);
        });
        std::printf("%10zu %12.3f %12.3f %12.4f %10.0f %10.0f\n", line.size(), parse, edit, floor,
                    parse / floor, edit / floor);
    }
    return 0;
}
