#include "textscan.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "internal.h"

namespace {

inline bool is_stop(unsigned char c, bool with_nul) {
    return c == '\n' || c == '\r' || (with_nul && c == '\0');
}

// First byte in [p, end) that is CR or LF (or NUL when with_nul is set), or
// end. This scan is nearly the whole cost of handing out a line, so it looks
// at 32 bytes per step where the processor has AVX2 and 16 otherwise.
#if defined(__x86_64__)
__attribute__((target("avx2"))) const char *find_stop_avx2(const char *p, const char *end, bool with_nul) {
    // One shuffle and one compare per step: each byte picks the table entry
    // of its low four bits, which equals the byte only for the stop bytes
    // (NUL, LF and CR have distinct low four bits; a byte with its high bit
    // set picks 0 and is not NUL).
    const char no = static_cast<char>(0xFF);
    const char first = with_nul ? '\0' : no;
    const __m256i table =
        _mm256_setr_epi8(first, no, no, no, no, no, no, no, no, no, '\n', no, no, '\r', no, no, first, no, no,
                         no, no, no, no, no, no, no, '\n', no, no, '\r', no, no);
    while (end - p >= 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
        __m256i hit = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), v);
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(hit));
        if (mask != 0)
            return p + __builtin_ctz(mask);
        p += 32;
    }
    while (p < end && !is_stop(static_cast<unsigned char>(*p), with_nul))
        ++p;
    return p;
}
#endif

const char *find_stop_sse2(const char *p, const char *end, bool with_nul) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i nul = with_nul ? _mm_setzero_si128() : lf;
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)), _mm_cmpeq_epi8(v, nul));
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

// A block for size bytes plus one, from the heap. A large block is aligned
// to 2 MiB and advised for huge pages. On the virtual machines sites run on,
// a 4 KiB page of fresh memory costs the host a fault on first touch, and
// every later pass over the block pays for the small pages in TLB misses:
// a 100 MB file read warm took ten times as long in small pages, and a 1 GB
// file read into fresh process memory twice as long.
char *allocate_block(std::size_t size) {
    constexpr std::size_t huge = 2u << 20;
    if (size < 4 * huge)
        return static_cast<char *>(std::malloc(size + 1));
    std::size_t bytes = (size + 1 + huge - 1) / huge * huge;
    void *block = std::aligned_alloc(huge, bytes);
    if (block)
        (void)madvise(block, bytes, MADV_HUGEPAGE); // only advice: small pages still work
    return static_cast<char *>(block);
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
    // Only regular files can be sized up front; pipes, devices and
    // directories are refused (without waiting on a FIFO) rather than read
    // partly.
    sk::regular_file file = sk::open_regular(path, O_RDONLY);
    if (!file || file.st.st_size < 0)
        return -1;
    const sk::unique_fd &fd = file.fd;
    const struct stat &st = file.st;
    reader->size = st.st_size;
    // One byte more than needed, so that an empty file still gets a block.
    reader->data = allocate_block(static_cast<std::size_t>(st.st_size));
    if (!reader->data)
        return -1;
    auto size = static_cast<std::size_t>(reader->size);
    if (sk::read_full(fd.get(), reader->data, size) != static_cast<ssize_t>(size))
        return -1; // a short file keeps its block until lfr_close
    reader->pos = 0;
    return 0;
}

namespace {

// The body of lfr_getline, with the line-end scan of one processor kind
// inlined into it.
template <const char *(*find)(const char *, const char *, bool)>
__attribute__((always_inline)) inline int getline_with(lfr_reader *reader, char *dest, int max_len) {
    if (reader->data == nullptr || reader->pos < 0 || reader->pos >= reader->size)
        return -1;
    if (max_len < 0)
        max_len = 0;
    const char *start = reader->data + reader->pos;
    const char *end = reader->data + reader->size;
    const char *stop = find(start, end, true);
    const char *line_end = stop;
    if (stop < end && *stop == '\0')
        line_end = find(stop, end, false);

    int64_t line_len = line_end - start;
    int count = static_cast<int>(std::min<int64_t>(line_len, max_len));
    // Copy as a string copy would: a NUL inside the line ends the text and
    // the rest of the count is zero-filled.
    int text_len = static_cast<int>(std::min<int64_t>(stop - start, count));
    std::memcpy(dest, start, static_cast<std::size_t>(text_len));
    if (text_len < count)
        std::memset(dest + text_len, 0, static_cast<std::size_t>(count - text_len));
    dest[count] = '\0';

    int64_t pos = line_end - reader->data;
    if (line_end + 1 < end && line_end[0] == '\r' && line_end[1] == '\n')
        pos += 2;
    else
        pos += 1;
    reader->pos = pos;
    return count;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) int getline_avx2(lfr_reader *reader, char *dest, int max_len) {
    return getline_with<find_stop_avx2>(reader, dest, max_len);
}
#endif

int getline_sse2(lfr_reader *reader, char *dest, int max_len) {
    return getline_with<find_stop_sse2>(reader, dest, max_len);
}

using getline_fn = int (*)(lfr_reader *, char *, int);

getline_fn pick_getline() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        return getline_avx2;
#endif
    return getline_sse2;
}

const getline_fn getline_for_this_processor = pick_getline();

} // namespace

extern "C" int lfr_getline(lfr_reader *reader, char *dest, int max_len) {
    return getline_for_this_processor(reader, dest, max_len);
}

extern "C" int lfr_close(lfr_reader *reader) {
    std::free(reader->data);
    reset(reader);
    return 0;
}
