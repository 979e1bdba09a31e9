// What the nuke log reader shares with the programs that read the log
// themselves (sitekit nukes): the block reader and the grouping rule. Not
// installed; C++ only.
#ifndef SITEKIT_PENALTYLOG_INTERNAL_H
#define SITEKIT_PENALTYLOG_INTERNAL_H

#include "penaltylog.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

#include "internal.h"

namespace sk::nukelog {

// The text of a fixed-width field: up to its first NUL, else the whole field.
template <std::size_t N> std::string_view text_of(const char (&field)[N]) noexcept {
    return sk::field_view(field, N);
}

// _nukelog_same_release, with the cheap fields first: status and multiplier,
// then the text fields whole (equal bytes are equal texts), and only when
// those differ the texts up to their NULs.
inline bool same_release(const nukelog_record &a, const nukelog_record &b) noexcept {
    if (a.status != b.status || a.multiplier != b.multiplier)
        return false;
    if (std::memcmp(a.nuker, b.nuker, sizeof a.nuker) != 0 && text_of(a.nuker) != text_of(b.nuker))
        return false;
    if (std::memcmp(a.reason, b.reason, sizeof a.reason) != 0 && text_of(a.reason) != text_of(b.reason))
        return false;
    return std::memcmp(a.dirname, b.dirname, sizeof a.dirname) == 0 ||
           text_of(a.dirname) == text_of(b.dirname);
}

// Reads the log's whole records in large blocks into one buffer it reuses,
// so that a big log costs a few hundred reads and no copy per record. The
// descriptor stays the caller's.
class BlockReader {
  public:
    explicit BlockReader(int fd) noexcept
        : fd_(fd), buffer_(new (std::nothrow) nukelog_record[kBlockRecords]) {}

    // The next records (valid until the next call); empty at the end of the
    // file, where a trailing partial record is dropped, and on failure.
    std::span<const nukelog_record> next() noexcept {
        if (!buffer_) {
            failed_ = true;
            return {};
        }
        if (done_)
            return {};
        ssize_t got = sk::read_full(fd_, buffer_.get(), kBlockRecords * sizeof(nukelog_record));
        if (got < 0) {
            failed_ = true;
            done_ = true;
            return {};
        }
        auto count = static_cast<std::size_t>(got) / sizeof(nukelog_record);
        done_ = count < kBlockRecords;
        return {buffer_.get(), count};
    }

    // The buffer could not be had or a read failed: the file was not read to
    // its end.
    bool failed() const noexcept { return failed_; }

  private:
    // 128 KiB: few reads, and the block stays in the cache while it is used.
    static constexpr std::size_t kBlockRecords = 334;
    int fd_;
    std::unique_ptr<nukelog_record[]> buffer_;
    bool done_ = false;
    bool failed_ = false;
};

} // namespace sk::nukelog

#endif
