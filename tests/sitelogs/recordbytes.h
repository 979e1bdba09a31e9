// An independent reader of the daemon's binary records for the tests: every
// field is taken from its byte offset, little-endian, never from the
// structs of the module.
#ifndef SITEKIT_TEST_RECORDBYTES_H
#define SITEKIT_TEST_RECORDBYTES_H

#include <cstdint>
#include <string>
#include <string_view>

namespace recbytes {

constexpr std::size_t kRecordSize = 288;

inline uint64_t le(std::string_view b, std::size_t off, std::size_t width) {
    uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(b[off + i])) << (8 * i);
    return v;
}

// The text of a zero-terminated field, and whether every byte after its
// terminator inside the field is zero.
inline std::string text(std::string_view b, std::size_t off, std::size_t width, bool *tail_zero = nullptr) {
    std::string_view field = b.substr(off, width);
    std::size_t end = field.find('\0');
    if (tail_zero) {
        *tail_zero = end != std::string_view::npos &&
                     field.substr(end).find_first_not_of('\0') == std::string_view::npos;
    }
    return std::string(field.substr(0, end));
}

inline bool all_zero(std::string_view b, std::size_t off, std::size_t width) {
    return b.substr(off, width).find_first_not_of('\0') == std::string_view::npos;
}

struct Dirlog {
    uint16_t status;
    int32_t time;
    uint16_t user_id, group_id, files;
    uint64_t bytes;
    std::string dirname;
    bool unset_bytes_zero; // bytes 2-3, 14-15, 279-287 and the tail of dirname
};

// Record number index of a directory log.
inline Dirlog dirlog(std::string_view log, std::size_t index) {
    std::string_view b = log.substr(index * kRecordSize, kRecordSize);
    Dirlog d;
    d.status = static_cast<uint16_t>(le(b, 0, 2));
    d.time = static_cast<int32_t>(static_cast<uint32_t>(le(b, 4, 4)));
    d.user_id = static_cast<uint16_t>(le(b, 8, 2));
    d.group_id = static_cast<uint16_t>(le(b, 10, 2));
    d.files = static_cast<uint16_t>(le(b, 12, 2));
    d.bytes = le(b, 16, 8);
    bool tail = false;
    d.dirname = text(b, 24, 255, &tail);
    d.unset_bytes_zero = tail && all_zero(b, 2, 2) && all_zero(b, 14, 2) && all_zero(b, 279, 9);
    return d;
}

// A directory log record built by hand: name at 24, the marker in files.
inline std::string make_dirlog(std::string_view name, uint16_t marker) {
    std::string b(kRecordSize, '\0');
    b[12] = static_cast<char>(marker & 0xff);
    b[13] = static_cast<char>(marker >> 8);
    b.replace(24, name.size(), name);
    return b;
}

} // namespace recbytes

#endif
