#include "acctscan.h"

#include <cerrno>
#include <climits>
#include <cstdint>

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

namespace detail {

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

std::size_t first_line_end(std::string_view data) noexcept {
    const void *lf = std::memchr(data.data(), '\n', data.size());
    std::size_t end =
        lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - data.data()) : data.size();
    const void *cr = std::memchr(data.data(), '\r', end);
    if (cr)
        return static_cast<std::size_t>(static_cast<const char *>(cr) - data.data());
    return lf ? end : std::string_view::npos;
}

} // namespace detail

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
constexpr std::size_t kBlock = std::size_t{128} * 1024;

} // namespace

namespace {

// The cache keeps the later of two lines with one key, so the scan walks
// from the last line. The rule for either file: the first
// line it keeps with the id is the answer; the first with the name is,
// unless an earlier line has the id. split parses a line (empty optional:
// the line is skipped) and keep stores its fields.
template <class Found, class Split, class Keep>
bool scan_backward(const char *path, const lookup_key &key, Found &out, Split split, Keep keep) {
    bool by_id = false, by_name = false;
    Found named{};
    bool readable = each_file_line_backward(path, kBlock, [&](std::string_view line) {
        bool name_hit = key.name && !by_name && first_field(line) == *key.name;
        bool id_hit = key.id && third_field_is(line, *key.id);
        if (!name_hit && !id_hit)
            return false;
        auto f = split(line);
        if (!f)
            return false;
        if (id_hit) {
            keep(*f, out);
            return by_id = true;
        }
        keep(*f, named);
        by_name = true;
        return !key.id;
    });
    if (!readable)
        return false;
    if (!by_id && by_name)
        out = std::move(named);
    return by_id || by_name;
}

} // namespace

bool scan_user(const char *path, const lookup_key &key, pwd_user &out) {
    return scan_backward(path, key, out, split_user,
                         [](const user_fields &f, pwd_user &to) { fill_user(f, to); });
}

bool scan_group(const char *path, const lookup_key &key, found_group &out) {
    return scan_backward(path, key, out, split_group, [](const group_fields &f, found_group &to) {
        to.record = pwd_group{};
        fill_group(f, to.record);
        to.has_members = f.members.has_value();
        to.members.assign(f.members.value_or(std::string_view()));
    });
}

} // namespace sk::acct
