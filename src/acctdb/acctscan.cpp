#include "acctscan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "internal.h"

namespace sk::acct {

namespace {

// Splits line at ":" into at most max fields; returns how many it has (a
// number above max means more than max). Every ":" ends one field, so
// "a::b" has three and an empty line has none.
std::size_t split_fields(std::string_view line, std::string_view *fields, std::size_t max) noexcept {
    if (line.empty())
        return 0;
    std::size_t n = 0;
    for (;;) {
        std::size_t colon = line.find(':');
        if (n == max)
            return max + 1;
        fields[n++] = line.substr(0, colon);
        if (colon == std::string_view::npos)
            return n;
        line.remove_prefix(colon + 1);
    }
}

// A decimal id as far as it forms a number ("12abc" is 12, "abc" is 0).
// False when the number lies outside the int range.
bool read_id(std::string_view text, int &id) noexcept {
    std::int64_t value = 0;
    if (!sk::read_leading_int64(text, value) || value < INT_MIN || value > INT_MAX)
        return false;
    id = static_cast<int>(value);
    return true;
}

// True when text fits a NUL-terminated field of width bytes.
bool fits(std::string_view text, std::size_t width) noexcept {
    return text.size() < width;
}

// The text before the first ":" of line.
std::string_view first_field(std::string_view line) noexcept {
    return line.substr(0, line.find(':'));
}

// True when the third field of line holds id: a quick test that leaves
// most lines of a lookup by id unsplit.
bool third_field_is(std::string_view line, int id) noexcept {
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos)
        colon = line.find(':', colon + 1);
    if (colon == std::string_view::npos)
        return false;
    line.remove_prefix(colon + 1);
    int value = 0;
    return read_id(line.substr(0, line.find(':')), value) && value == id;
}

} // namespace

std::optional<user_fields> split_user(std::string_view line) noexcept {
    std::string_view f[7];
    if (split_fields(line, f, 7) != 7)
        return std::nullopt;
    user_fields u;
    u.name = f[0];
    u.passwd = f[1];
    u.gecos = f[4];
    u.home = f[5];
    u.shell = f[6];
    if (!fits(u.name, sizeof pwd_user::name) || !fits(u.passwd, sizeof pwd_user::passwd) ||
        !read_id(f[2], u.uid) || !read_id(f[3], u.gid) || !fits(u.gecos, sizeof pwd_user::gecos) ||
        !fits(u.home, sizeof pwd_user::home) || !fits(u.shell, sizeof pwd_user::shell))
        return std::nullopt;
    return u;
}

std::optional<group_fields> split_group(std::string_view line) noexcept {
    std::string_view f[4];
    std::size_t n = split_fields(line, f, 4);
    if (n < 3)
        return std::nullopt;
    group_fields g;
    g.name = f[0];
    g.passwd = f[1];
    if (!fits(g.name, sizeof pwd_group::name) || !fits(g.passwd, sizeof pwd_group::passwd) ||
        !read_id(f[2], g.gid))
        return std::nullopt;
    if (n > 3)
        g.members = f[3];
    return g;
}

void fill_user(const user_fields &f, pwd_user &out) noexcept {
    sk::copy_field(out.name, sizeof out.name, f.name);
    sk::copy_field(out.passwd, sizeof out.passwd, f.passwd);
    out.uid = f.uid;
    out.gid = f.gid;
    sk::copy_field(out.gecos, sizeof out.gecos, f.gecos);
    sk::copy_field(out.home, sizeof out.home, f.home);
    sk::copy_field(out.shell, sizeof out.shell, f.shell);
}

void fill_group(const group_fields &f, pwd_group &out) noexcept {
    sk::copy_field(out.name, sizeof out.name, f.name);
    sk::copy_field(out.passwd, sizeof out.passwd, f.passwd);
    out.gid = f.gid;
}

namespace {

// Read from the end of a file at a time: large enough that the calls cost
// little, small enough to stay in the processor's cache and to need no
// fresh pages (which on a loaded host cost more than reading the bytes).
constexpr std::size_t kBlock = 128 * 1024;

// Reads size bytes at offset; false on an error or a file that ends early.
bool read_at(int fd, char *buf, std::size_t size, off_t offset) noexcept {
    while (size > 0) {
        ssize_t n = ::pread(fd, buf, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        buf += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// Where the first line end of data lies, or npos.
std::size_t first_line_end(std::string_view data) noexcept {
    const void *lf = std::memchr(data.data(), '\n', data.size());
    std::size_t end =
        lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - data.data()) : data.size();
    const void *cr = std::memchr(data.data(), '\r', end);
    if (cr)
        return static_cast<std::size_t>(static_cast<const char *>(cr) - data.data());
    return lf ? end : std::string_view::npos;
}

// Hands the text of each line of data to take, last line first, as
// each_line splits them, until take returns true. True when take did.
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
            std::string_view text = detail::text_of(seg.substr(start), max);
            if (!text.empty() && take(text))
                return true;
            seg.remove_suffix(cr ? seg.size() - start + 1 : seg.size());
        }
    }
    return false;
}

// Hands the lines of the file at path to take, last line first, until take
// returns true, reading the file block by block from its end; a line stays
// valid only during its call. False when the file cannot be read (not a
// regular file, an error, shorter than its size when opened), as the line
// file reader fails. Throws std::bad_alloc.
template <class Take> bool file_lines_backward(const char *path, Take take) {
    sk::regular_file file = sk::open_regular(path, O_RDONLY);
    if (!file || file.st.st_size < 0)
        return false;
    const auto size = static_cast<std::size_t>(file.st.st_size);
    const std::size_t max = detail::longest_text(size);
    std::vector<char> buf;
    std::size_t left = size; // bytes before the window, not read yet
    std::size_t carry = 0;   // bytes at the front of buf: a line that began earlier
    while (left > 0) {
        std::size_t block = std::min(kBlock, left);
        left -= block;
        if (buf.size() < block + carry)
            buf.resize(block + carry);
        std::memmove(buf.data() + block, buf.data(), carry);
        if (!read_at(file.fd.get(), buf.data(), block, static_cast<off_t>(left)))
            return false;
        std::string_view window(buf.data(), block + carry);
        // Before the window's first line end lies the tail of a line that
        // begins in a block not read yet: it goes with that block.
        std::size_t whole = 0;
        if (left > 0) {
            whole = first_line_end(window);
            if (whole == std::string_view::npos) {
                carry = window.size();
                continue;
            }
        }
        if (lines_backward(window.substr(whole), max, take))
            return true;
        carry = whole;
    }
    return true;
}

} // namespace

// The cache keeps the later of two lines with one key, so the scan walks
// from the last line: the first line it keeps with the id is the answer;
// the first with the name is, unless an earlier line has the id.
bool scan_user(const char *path, const lookup_key &key, pwd_user &out) {
    bool by_id = false, by_name = false;
    pwd_user named{};
    bool readable = file_lines_backward(path, [&](std::string_view line) {
        bool name_hit = key.name && !by_name && first_field(line) == *key.name;
        bool id_hit = key.id && third_field_is(line, *key.id);
        if (!name_hit && !id_hit)
            return false;
        std::optional<user_fields> f = split_user(line);
        if (!f)
            return false;
        if (id_hit) {
            fill_user(*f, out);
            return by_id = true;
        }
        if (name_hit) {
            fill_user(*f, named);
            by_name = true;
        }
        return by_name && !key.id;
    });
    if (!readable)
        return false;
    if (!by_id && by_name)
        out = named;
    return by_id || by_name;
}

bool scan_group(const char *path, const lookup_key &key, found_group &out) {
    bool by_id = false, by_name = false;
    found_group named;
    auto keep = [](const group_fields &f, found_group &to) {
        to.record = pwd_group{};
        fill_group(f, to.record);
        to.has_members = f.members.has_value();
        to.members.assign(f.members.value_or(std::string_view()));
    };
    bool readable = file_lines_backward(path, [&](std::string_view line) {
        bool name_hit = key.name && !by_name && first_field(line) == *key.name;
        bool id_hit = key.id && third_field_is(line, *key.id);
        if (!name_hit && !id_hit)
            return false;
        std::optional<group_fields> f = split_group(line);
        if (!f)
            return false;
        if (id_hit) {
            keep(*f, out);
            return by_id = true;
        }
        if (name_hit) {
            keep(*f, named);
            by_name = true;
        }
        return by_name && !key.id;
    });
    if (!readable)
        return false;
    if (!by_id && by_name)
        out = std::move(named);
    return by_id || by_name;
}

} // namespace sk::acct
