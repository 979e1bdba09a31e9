// whotable: the daemon's online-user table as the programs that read it
// find it, with no terminal involved: the values of the table options (key
// and slot stride), the root path from the daemon's configuration, the
// read-only attach of the System V segment, and the texts both the monitor
// and the sitekit listing show for a slot.
//
// Calling order: parse the option values, then table::attach; the slots
// stay mapped until the table object goes. Every failure comes back as a
// message without the program's name in front, for the caller to print.
// C++ only; not installed.
#ifndef SITEKIT_WHOTABLE_H
#define SITEKIT_WHOTABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "whorecord.h"

namespace sk::who {

inline constexpr key_t kDefaultKey = 0x0000DEAD;
inline constexpr const char *kDefaultRootPath = "/glftpd";

// Reads a table key ("0x0000DEAD" or decimal; 0 names no table). Returns ""
// and sets key, or the message.
std::string parse_key(std::string_view text, key_t &key);

// Reads a slot stride: a multiple of 4, at least the record size, at most
// 1 MiB. Returns "" and sets stride, or the message.
std::string parse_stride(std::string_view text, std::size_t &stride);

// The "rootpath" of the daemon configuration at path, read by the site
// tools' shared rules. False when the file cannot be read or names no root
// path (an empty one included).
bool read_rootpath(const std::string &path, std::string &root);

// The online-user table, attached read-only; detached when the object goes.
class table {
  public:
    table() = default;
    table(const table &) = delete;
    table &operator=(const table &) = delete;
    ~table();

    // Attaches the table of key, slots stride bytes apart. Returns "", or
    // the message for a table that is missing (the daemon is not running),
    // smaller than one slot, or cannot be looked at or attached.
    std::string attach(key_t key, std::size_t stride);

    std::size_t slots() const noexcept { return slots_; }
    std::size_t stride() const noexcept { return stride_; }
    char *base() const noexcept { return base_; }
    const who_record &slot(std::size_t i) const noexcept {
        return *reinterpret_cast<const who_record *>(base_ + i * stride_);
    }

  private:
    char *base_ = nullptr;
    std::size_t slots_ = 0;
    std::size_t stride_ = 0;
};

// Writes into out (size bytes, cut to fit, NUL-terminated) the time from
// start to now as "%dd %dh", "%dh %dm" or "%dm %ds" by the largest unit that
// is not 0; "0m 0s" when start is not earlier than now.
void put_age(int64_t start, int64_t now, char *out, std::size_t size) noexcept;

// text with every control character and every byte outside ASCII as '?',
// so that it takes one cell per byte on a terminal and keeps lines whole.
std::string printable(std::string_view text);

// The command a slot shows: its status text up to the first CR or LF.
std::string_view action_text(const who_record &who) noexcept;

} // namespace sk::who

#endif
