#include "textscan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "internal.h"

namespace {

inline bool is_stop(unsigned char c, bool with_nul) {
    return c == '\n' || c == '\r' || (with_nul && c == '\0');
}

// First byte in [p, end) that is CR or LF (or NUL when with_nul is set), or
// end. Scans sixteen bytes per step where it can: this loop is the whole
// cost of handing out a line.
const char *find_stop(const char *p, const char *end, bool with_nul) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i nul = with_nul ? _mm_setzero_si128() : lf;
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                                   _mm_cmpeq_epi8(v, nul));
        int mask = _mm_movemask_epi8(hit);
        if (mask != 0)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (p < end && !is_stop(static_cast<unsigned char>(*p), with_nul))
        ++p;
    return p;
}

void reset(lfr_reader *reader) {
    reader->data = nullptr;
    reader->size = -1;
    reader->pos = -1;
}

} // namespace

extern "C" int lfr_open(lfr_reader *reader, const char *path) {
    reset(reader);
    if (!path)
        return -1;
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it has
    // no effect on the regular files that are read.
    sk::unique_fd fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return -1;
    struct stat st;
    // Only regular files can be sized up front; pipes, devices and
    // directories are refused rather than read partly.
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return -1;
    reader->size = st.st_size;
    // One byte more than needed, so that an empty file still gets a block.
    reader->data = static_cast<char *>(std::malloc(static_cast<std::size_t>(st.st_size) + 1));
    if (!reader->data)
        return -1;
    int64_t got = 0;
    while (got < reader->size) {
        ssize_t n = ::read(fd.get(), reader->data + got, static_cast<std::size_t>(reader->size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1; // a short file keeps its block until lfr_close
        got += n;
    }
    reader->pos = 0;
    return 0;
}

extern "C" int lfr_getline(lfr_reader *reader, char *dest, int max_len) {
    if (reader->data == nullptr || reader->pos < 0 || reader->pos >= reader->size)
        return -1;
    if (max_len < 0)
        max_len = 0;
    const char *start = reader->data + reader->pos;
    const char *end = reader->data + reader->size;
    const char *stop = find_stop(start, end, true);
    const char *line_end = stop;
    if (stop < end && *stop == '\0')
        line_end = find_stop(stop, end, false);

    int64_t line_len = line_end - start;
    int count = static_cast<int>(std::min<int64_t>(line_len, max_len));
    // Copy as a string copy would: a NUL inside the line ends the text and
    // the rest of the count is zero-filled.
    int text_len = static_cast<int>(std::min<int64_t>(stop - start, count));
    std::memcpy(dest, start, static_cast<std::size_t>(text_len));
    std::memset(dest + text_len, 0, static_cast<std::size_t>(count - text_len) + 1);

    int64_t pos = line_end - reader->data;
    if (line_end + 1 < end && line_end[0] == '\r' && line_end[1] == '\n')
        pos += 2;
    else
        pos += 1;
    reader->pos = pos;
    return count;
}

extern "C" int lfr_close(lfr_reader *reader) {
    std::free(reader->data);
    reset(reader);
    return 0;
}
