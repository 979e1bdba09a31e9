// acctscan: the lines of the passwd and group files, read in place.
//
// The cache loader and the one-pass lookups of the sitekit commands share
// these parsers, so both skip the same lines and read the same fields.
// A file's bytes are split as the line file reader splits them (a line ends
// at LF, CR or CR LF; its text stops at a NUL byte) and each line's fields
// are views into those bytes: nothing is allocated until a record is kept.
// C++ only; not installed.
#ifndef SITEKIT_ACCTSCAN_H
#define SITEKIT_ACCTSCAN_H

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/types.h>

#include "acctdb.h"
#include "internal.h"

namespace sk::acct {

// The fields of a passwd line that is kept: views into the line.
struct user_fields {
    std::string_view name, passwd;
    int uid = 0, gid = 0;
    std::string_view gecos, home, shell;
};

// The fields of a group line that is kept: views into the line.
struct group_fields {
    std::string_view name, passwd;
    int gid = 0;
    std::optional<std::string_view> members; // the fourth field; none when the line has three
};

// The fields of a passwd line, or nullopt when the cache skips the line
// (not seven fields, an id outside the int range, a field too long for its
// slot in pwd_user).
std::optional<user_fields> split_user(std::string_view line) noexcept;

// The fields of a group line, or nullopt when the cache skips it (fewer
// than three fields, a gid outside the int range, a name or password too
// long for its slot in pwd_group).
std::optional<group_fields> split_group(std::string_view line) noexcept;

// Copies the fields into a record; next is left alone.
void fill_user(const user_fields &f, pwd_user &out) noexcept;

// Copies name, password and gid into a record; members and next are left
// alone.
void fill_group(const group_fields &f, pwd_group &out) noexcept;

// Hands the text of each line of a file's bytes to take, first line first.
// Empty texts are not handed out: no parser keeps them.
template <class Take> void each_line(std::string_view data, Take take);

// Hands the same texts of the file at path to take, last line first, until
// take returns true, reading block bytes at a time from the file's end; a
// text stays valid only during its call. False when the file cannot be read
// as the line file reader would read it (not a regular file, an error,
// shorter than its size when opened). Throws std::bad_alloc.
template <class Take> bool each_file_line_backward(const char *path, std::size_t block, Take take);

// A lookup as the commands make it: the record of id when a line has it,
// otherwise the record of name. Either part may be left out.
struct lookup_key {
    std::optional<int> id;
    std::optional<std::string_view> name;
};

// A group found by scan_group: the record's fields and its members.
struct found_group {
    pwd_group record{};       // members and next are NULL
    bool has_members = false; // false when the line has three fields
    std::string members;      // the fourth field
};

// Stores in out the record that pwd_getpwuid (for key.id) and then
// pwd_getpwnam (for key.name) would give from a cache loaded from the
// passwd file at path, without building the cache: the file is read from
// its end in blocks, once, up to the line that decides. False when neither
// finds one or the file cannot be read. Throws std::bad_alloc.
bool scan_user(const char *path, const lookup_key &key, pwd_user &out);

// The same for the group file and pwd_getgpgid, then pwd_getgpnam.
bool scan_group(const char *path, const lookup_key &key, found_group &out);

// ---------------------------------------------------------------------------

namespace detail {

// The line file reader cuts lines at INT_MAX - 1 characters in a file of
// INT_MAX bytes or more; the text handed out is cut the same way.
inline std::size_t longest_text(std::size_t file_size) noexcept {
    return file_size >= static_cast<std::size_t>(INT_MAX) ? static_cast<std::size_t>(INT_MAX) - 1 : file_size;
}

// A line's text: up to its first NUL, at most max characters.
inline std::string_view text_of(std::string_view line, std::size_t max) noexcept {
    if (const void *nul = std::memchr(line.data(), '\0', line.size()))
        line = line.substr(0, static_cast<std::size_t>(static_cast<const char *>(nul) - line.data()));
    return line.substr(0, max);
}

// Reads size bytes at offset; false on an error or a file that ends early.
bool read_at(int fd, char *buf, std::size_t size, off_t offset) noexcept;

// Where the first line end (CR or LF) of data lies, or npos.
std::size_t first_line_end(std::string_view data) noexcept;

// Hands the texts of data to take, last line first, until take returns
// true. True when take did.
template <class Take> bool lines_backward(std::string_view data, std::size_t max, Take &take) {
    while (!data.empty()) {
        const void *lf = memrchr(data.data(), '\n', data.size());
        std::size_t seg_start =
            lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - data.data()) + 1 : 0;
        std::string_view seg = data.substr(seg_start);
        data.remove_suffix(lf ? seg.size() + 1 : seg.size());
        while (!seg.empty()) {
            const void *cr = memrchr(seg.data(), '\r', seg.size());
            std::size_t start =
                cr ? static_cast<std::size_t>(static_cast<const char *>(cr) - seg.data()) + 1 : 0;
            std::string_view text = text_of(seg.substr(start), max);
            if (!text.empty() && take(text))
                return true;
            seg.remove_suffix(cr ? seg.size() - start + 1 : seg.size());
        }
    }
    return false;
}

} // namespace detail

// Lines end at every CR and every LF; a CR LF pair gives an empty line
// between the two, which like every empty line is not handed out, so the
// lines with text are those of the reader.
template <class Take> void each_line(std::string_view data, Take take) {
    const std::size_t max = detail::longest_text(data.size());
    while (!data.empty()) {
        const void *lf = std::memchr(data.data(), '\n', data.size());
        std::size_t seg_len =
            lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - data.data()) : data.size();
        std::string_view seg = data.substr(0, seg_len);
        data.remove_prefix(lf ? seg_len + 1 : seg_len);
        while (!seg.empty()) {
            const void *cr = std::memchr(seg.data(), '\r', seg.size());
            std::size_t len =
                cr ? static_cast<std::size_t>(static_cast<const char *>(cr) - seg.data()) : seg.size();
            if (std::string_view text = detail::text_of(seg.substr(0, len), max); !text.empty())
                take(text);
            seg.remove_prefix(cr ? len + 1 : len);
        }
    }
}

// The window holds one block read before the bytes carried from the block
// after it: the start of the line those bytes end, up to the window's first
// line end, is carried on in turn. A line longer than a block makes the
// next read as long, so the carried bytes are moved a bounded number of
// times.
template <class Take> bool each_file_line_backward(const char *path, std::size_t block, Take take) {
    sk::regular_file file = sk::open_regular(path, O_RDONLY);
    if (!file || file.st.st_size < 0)
        return false;
    const auto size = static_cast<std::size_t>(file.st.st_size);
    const std::size_t max = detail::longest_text(size);
    std::vector<char> buf;
    std::size_t left = size; // bytes before the window, not read yet
    std::size_t carry = 0;   // bytes at the front of buf, from a line that began earlier
    while (left > 0) {
        std::size_t step = std::min(std::max(block, carry), left);
        left -= step;
        if (buf.size() < step + carry)
            buf.resize(step + carry);
        std::memmove(buf.data() + step, buf.data(), carry);
        if (!detail::read_at(file.fd.get(), buf.data(), step, static_cast<off_t>(left)))
            return false;
        std::string_view window(buf.data(), step + carry);
        std::size_t whole = 0; // where the lines that begin inside the window start
        if (left > 0) {
            whole = detail::first_line_end(window);
            if (whole == std::string_view::npos) {
                carry = window.size();
                continue;
            }
        }
        if (detail::lines_backward(window.substr(whole), max, take))
            return true;
        carry = whole;
    }
    return true;
}

} // namespace sk::acct

#endif
