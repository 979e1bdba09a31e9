// Fuzzes both line readers with fuzzed data and maximum lengths.
//
// The file reader (lfr_*): every line handed out is the input's next line
// cut to the maximum, NUL-terminated inside the caller's buffer, and the
// lines with their line ends give back the whole file.
// The buffer reader (lrb_*): the data arrives in fuzzed pieces between
// reads; whatever a read takes from the front of the buffer is the line it
// hands out (cut), then one line end, and what stays buffered is exactly the
// rest of the data, up to the end marker.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "chunklines.h"
#include "fuzzsupport.h"
#include "textscan.h"

namespace {

// The length of the line end at the front of rest: 2 for CR LF, 1 for CR or
// LF, 0 for none.
std::size_t line_end_at(std::string_view rest) {
    if (rest.empty() || (rest[0] != '\r' && rest[0] != '\n'))
        return 0;
    return rest.size() > 1 && rest[0] == '\r' && rest[1] == '\n' ? 2 : 1;
}

// A buffer of exactly max_len + 1 bytes, so that a write past it is caught.
std::unique_ptr<char[]> line_buffer(int max_len) {
    std::size_t n = static_cast<std::size_t>(max_len < 0 ? 0 : max_len) + 1;
    auto buf = std::make_unique<char[]>(n);
    std::memset(buf.get(), 'X', n);
    return buf;
}

void check_file_reader(const std::string &data, int max_len) {
    const std::string path = fuzz::write_root_file("lines", data);
    lfr_reader reader;
    if (lfr_open(&reader, path.c_str()) != 0)
        fuzz::fail("lfr_open refused a regular file");
    const std::size_t cap = static_cast<std::size_t>(max_len < 0 ? 0 : max_len);
    std::string rebuilt;
    std::size_t pos = 0;
    auto dest = line_buffer(max_len);
    int n;
    while ((n = lfr_getline(&reader, dest.get(), max_len)) >= 0) {
        if (pos >= data.size())
            fuzz::fail("lfr_getline handed out a line past the end of the file");
        std::size_t len = data.find_first_of("\r\n", pos);
        if (len == std::string::npos)
            len = data.size();
        len -= pos;
        const std::string_view line(data.data() + pos, len);
        const std::size_t want = len < cap ? len : cap;
        if (static_cast<std::size_t>(n) != want)
            fuzz::fail("lfr_getline's count is not the line's length cut to the maximum");
        if (dest[want] != '\0')
            fuzz::fail("lfr_getline's line is not NUL-terminated at its count");
        const std::string_view text = line.substr(0, want);
        const std::size_t nul = text.find('\0');
        const std::string_view shown = text.substr(0, nul);
        if (std::memcmp(dest.get(), shown.data(), shown.size()) != 0)
            fuzz::fail("lfr_getline's line differs from the file's");
        for (std::size_t i = shown.size(); i < want; ++i)
            if (dest[i] != '\0')
                fuzz::fail("lfr_getline does not fill the count after a NUL with NUL bytes");
        pos += len;
        const std::size_t end = line_end_at(std::string_view(data).substr(pos));
        if (want == len && nul == std::string_view::npos)
            rebuilt.append(dest.get(), want).append(data, pos, end);
        pos += end;
    }
    if (n != -1 || pos < data.size())
        fuzz::fail("lfr_getline stopped before the end of the file");
    if (lfr_getline(&reader, dest.get(), max_len) != -1)
        fuzz::fail("lfr_getline gave a line after the end");
    lfr_close(&reader);
    // Where nothing was cut, the lines and their ends are the whole file.
    if (data.find('\0') == std::string::npos && cap >= data.size() && rebuilt != data)
        fuzz::fail("the lines and their line ends do not give back the file");
    unlink(path.c_str());
}

void check_buffer_reader(FuzzedDataProvider &in, int max_len) {
    const std::size_t cap = static_cast<std::size_t>(max_len < 0 ? 0 : max_len);
    lrb_buffer buf;
    lrb_initialize(&buf);
    std::string held; // what the buffer must hold: added, not yet handed out
    bool eof = false;
    auto dest = line_buffer(max_len);
    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        const int what = in.ConsumeIntegralInRange(0, 3);
        if (what == 0) {
            std::string piece = in.ConsumeRandomLengthString(64);
            if (lrb_add_data(&buf, piece.data(), static_cast<int>(piece.size())) != 0)
                fuzz::fail("lrb_add_data refused a small piece");
            held += piece;
        } else if (what == 1 && !eof) {
            if (lrb_add_eof(&buf) != 0)
                fuzz::fail("lrb_add_eof failed");
            held += '\0';
            eof = true;
        } else {
            const int n = lrb_getline(&buf, dest.get(), max_len);
            const std::size_t stop = held.find_first_of(std::string_view("\r\n\0", 3));
            if (!held.empty() && held[0] == '\0') {
                if (n != -2)
                    fuzz::fail("lrb_getline does not report the end marker");
            } else if (stop == std::string::npos) {
                if (n != -1)
                    fuzz::fail("lrb_getline handed out a line with no line end buffered");
            } else {
                const std::size_t want = stop < cap ? stop : cap;
                if (n < 0 || static_cast<std::size_t>(n) != want)
                    fuzz::fail("lrb_getline's count is not the line's length cut to the maximum");
                if (dest[want] != '\0' || std::memcmp(dest.get(), held.data(), want) != 0)
                    fuzz::fail("lrb_getline's line differs from the data");
                std::size_t end = held[stop] == '\0' ? 0 : line_end_at(std::string_view(held).substr(stop));
                held.erase(0, stop + end);
            }
        }
        const std::size_t length = buf.data ? static_cast<std::size_t>(buf.length) : 0;
        if (length != held.size() || (length > 0 && std::memcmp(buf.data, held.data(), length) != 0))
            fuzz::fail("the buffer does not hold exactly the data not yet handed out");
    }
    lrb_finalize(&buf);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int max_len = in.ConsumeIntegralInRange(-2, 300);
    if (in.ConsumeBool()) {
        check_buffer_reader(in, max_len);
    } else {
        check_file_reader(in.ConsumeBytesAsString(in.remaining_bytes()), max_len);
    }
    return 0;
}
