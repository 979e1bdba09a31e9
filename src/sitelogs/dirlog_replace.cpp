// The directory log replaced as a whole, for a rebuild from the site tree
// or a clean of records whose directory is gone: the snapshot it starts
// from, the lock that lets one such run at a time, and the replacement that
// merges in what others wrote meanwhile.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

namespace sk::sitelogs {

namespace {

constexpr std::size_t kNameWidth = sizeof(dirlog_record::dirname);

std::string_view name_of(const dirlog_record &r) noexcept {
    return field_view(r.dirname, kNameWidth);
}

bool same_record(const dirlog_record &a, const dirlog_record &b) noexcept {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Reads the records of the log open at fd into out; false with errno set.
bool read_all(int fd, std::vector<dirlog_record> &out, std::size_t &partial) {
    out.clear();
    dirlog_walk walk = read_dirlog(fd, [&](const dirlog_record &r) { out.push_back(r); });
    partial = walk.partial;
    return !walk.read_failed;
}

// The first record of each name, by name.
std::unordered_map<std::string_view, const dirlog_record *>
by_name(const std::vector<dirlog_record> &records) {
    std::unordered_map<std::string_view, const dirlog_record *> map;
    map.reserve(records.size());
    for (const dirlog_record &r : records)
        map.emplace(name_of(r), &r);
    return map;
}

// Applies to records what changed from before to now: a record of now that
// before did not hold as it is replaces the first record of its name (or is
// appended); a name before held and now does not goes.
void merge_changes(const std::vector<dirlog_record> &before, const std::vector<dirlog_record> &now,
                   std::vector<dirlog_record> &records, dirlog_merge &merged) {
    auto old = by_name(before);
    std::unordered_map<std::string, std::size_t> at; // first index of each name in records
    at.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        at.emplace(std::string(name_of(records[i])), i);
    std::unordered_set<std::string_view> present;
    present.reserve(now.size());
    for (const dirlog_record &r : now) {
        std::string_view name = name_of(r);
        if (!present.insert(name).second)
            continue; // only the first record of a name is ever updated
        auto was = old.find(name);
        if (was != old.end() && same_record(*was->second, r))
            continue;
        ++merged.changed;
        auto it = at.find(std::string(name));
        if (it != at.end()) {
            records[it->second] = r;
        } else {
            at.emplace(std::string(name), records.size());
            records.push_back(r);
        }
    }
    std::vector<bool> drop(records.size(), false);
    for (const auto &[name, record] : old) {
        if (present.contains(name))
            continue;
        auto it = at.find(std::string(name));
        if (it != at.end() && !drop[it->second]) {
            drop[it->second] = true;
            ++merged.removed;
        }
    }
    if (merged.removed == 0)
        return;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!drop[i])
            records[kept++] = records[i];
    records.resize(kept);
}

} // namespace

bool read_dirlog_snapshot(dirlog_snapshot &snapshot, dirlog_failure &why) {
    why = dirlog_failure{};
    why.path = site_path(kDirlog);
    regular_file log = open_regular(why.path.c_str(), O_RDONLY);
    if (!log) {
        why.step = dirlog_failure::open;
        why.error = log.error;
        why.not_regular = log.not_regular;
        return false;
    }
    if (!read_all(log.fd.get(), snapshot.records, snapshot.partial)) {
        why.step = dirlog_failure::read;
        why.error = errno;
        return false;
    }
    return true;
}

bool dirlog_maintenance::acquire() noexcept {
    try {
        std::string path = site_path(kDirlog);
        folder_ = path.substr(0, path.rfind('/'));
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
    dir_ = unique_fd(::open(folder_.empty() ? "/" : folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_)
        return false;
    int rc;
    do {
        rc = flock(dir_.get(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        dir_.close();
        errno = error;
        return false;
    }
    return true;
}

bool replace_dirlog(const dirlog_snapshot &before, std::vector<dirlog_record> &records, dirlog_merge &merged,
                    dirlog_failure &why) {
    why = dirlog_failure{};
    merged = dirlog_merge{};
    std::string path = site_path(kDirlog);
    auto failed = [&why](dirlog_failure::step_t step) {
        why.step = step;
        why.error = errno;
        return false;
    };
    // The new file is had before the lock, so that the lock is held for the
    // merge and the write only. It has no name until commit: a process that
    // ends before leaves nothing behind. A name left by a run that ended
    // between naming and renaming goes; runs take turns (dirlog_maintenance),
    // so no other run is using it.
    replacement out;
    replacement::options how;
    how.suffix = ".rebuild";
    how.stale = replacement::leftover::remove_regular;
    how.unnamed = true;
    if (!out.open(path, how)) {
        why.path = path + ".rebuild";
        return failed(dirlog_failure::write);
    }
    locked_dirlog log;
    if (!log.open(O_RDONLY, why))
        return false;
    std::vector<dirlog_record> now;
    if (!read_all(log.fd(), now, merged.partial))
        return failed(dirlog_failure::read);
    merge_changes(before.records, now, records, merged);
    if (!write_all(out.fd(), records.data(), records.size() * sizeof(dirlog_record)))
        return failed(dirlog_failure::write);
    struct stat original = log.status();
    if (!out.commit(&original))
        return failed(dirlog_failure::write);
    // The daemon writes without the lock: a record it put into the old file
    // after it was read above is written again into the new log.
    std::vector<dirlog_record> late;
    std::size_t late_partial = 0;
    if (::lseek(log.fd(), 0, SEEK_SET) == 0 && read_all(log.fd(), late, late_partial)) {
        auto read = by_name(now);
        for (const dirlog_record &r : late) {
            auto was = read.find(name_of(r));
            if (was != read.end() && same_record(*was->second, r))
                continue;
            dirlog_failure late_why;
            if (!try_store_dirlog(r, late_why)) {
                why = late_why;
                return false;
            }
            ++merged.changed;
            auto same_name = std::find_if(records.begin(), records.end(),
                                          [&](const dirlog_record &x) { return name_of(x) == name_of(r); });
            if (same_name != records.end())
                *same_name = r;
            else
                records.push_back(r);
        }
    }
    log.close();
    return true;
}

} // namespace sk::sitelogs
