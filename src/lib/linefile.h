// The line file reader's C++ side: a reader closed when its holder goes,
// and the loop over the whole lines of a file. C++ only; not installed;
// header-only, like the reader's own use of the internals.
#ifndef SITEKIT_LINEFILE_H
#define SITEKIT_LINEFILE_H

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "internal.h"
#include "textscan.h"

namespace sk {

class line_file {
  public:
    line_file() noexcept = default;
    line_file(const line_file &) = delete;
    line_file &operator=(const line_file &) = delete;
    ~line_file() { lfr_close(&reader_); }

    // Reads the whole file at path, as lfr_open; false when it cannot.
    bool open(const char *path) noexcept { return lfr_open(&reader_, path) == 0; }
    lfr_reader &reader() noexcept { return reader_; }

    // Hands each line that is left to take(line, length, start), uncut up to
    // INT_MAX - 1 characters: line as lfr_getline stores it, length as it
    // counts it, start the line's offset in reader().data. take returns
    // false to stop (or nothing, to go on). False when the line buffer
    // cannot be had.
    template <class Take> bool each_line(Take take) {
        int max_len = reader_.size >= INT_MAX ? INT_MAX - 1 : static_cast<int>(reader_.size);
        if (max_len < 0)
            max_len = 0;
        malloc_ptr<char> line(static_cast<char *>(std::malloc(static_cast<std::size_t>(max_len) + 1)));
        if (!line)
            return false;
        for (;;) {
            std::int64_t start = reader_.pos;
            int n = lfr_getline(&reader_, line.get(), max_len);
            if (n < 0)
                return true;
            if constexpr (std::is_void_v<decltype(take(line.get(), n, start))>)
                take(line.get(), n, start);
            else if (!take(line.get(), n, start))
                return true;
        }
    }

  private:
    lfr_reader reader_{nullptr, -1, -1};
};

} // namespace sk

#endif
