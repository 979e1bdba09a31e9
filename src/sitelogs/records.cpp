// The writers of the daemon's upload logs: the directory log record, the
// dupe file record and the dupe log line.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "internal.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

namespace {

using sk::sitelogs::kDupefile;
using sk::sitelogs::kDupelog;

// The current time as the records store it: the low 32 bits of the seconds.
int32_t record_time() noexcept {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr))));
}

int write_dirlog(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files, uint64_t bytes) {
    dirlog_record record;
    if (!sk::sitelogs::make_dirlog_record(dir, user_id, group_id, files, bytes, record))
        return 0;
    sk::sitelogs::store_dirlog(record);
    return 1;
}

} // namespace

namespace sk::sitelogs {

bool make_dirlog_record(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files, uint64_t bytes,
                        dirlog_record &record) noexcept {
    if (!dir)
        return false;
    // The root path comes off before the fit is checked, so a full path whose
    // stored name fits is taken; a name that does not fit is refused rather
    // than cut, since a cut name could match and replace another directory's
    // record.
    std::string_view name = remove_rootpath(dir, rootpath());
    std::memset(&record, 0, sizeof record);
    if (!copy_field(record.dirname, sizeof record.dirname, name))
        return false;
    record.status = 0;
    record.time = record_time();
    record.user_id = static_cast<uint16_t>(user_id);
    record.group_id = static_cast<uint16_t>(group_id);
    record.files = static_cast<uint16_t>(files);
    record.bytes = bytes;
    return true;
}

std::string dupelog_date(std::time_t when) {
    struct tm local;
    if (!localtime_r(&when, &local))
        return {};
    char buf[50];
    std::size_t n = std::strftime(buf, sizeof buf, "%m%d%g", &local);
    return std::string(buf, n);
}

} // namespace sk::sitelogs

extern "C" int gl_dirlog_add(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files,
                             uint64_t bytes) {
    try {
        return write_dirlog(dir, user_id, group_id, files, bytes);
    } catch (...) {
        return 0;
    }
}

extern "C" int gl_dirlog_update(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files,
                                uint64_t bytes, int32_t /*unused*/) {
    return gl_dirlog_add(dir, user_id, group_id, files, bytes);
}

extern "C" int gl_dupefile_add(const char *filename, const char *uploader) {
    if (!filename || !uploader)
        return 0;
    dupefile_record record;
    std::memset(&record, 0, sizeof record);
    // Too long a name is refused: a cut name would mark another file as a dupe.
    if (!sk::copy_field(record.filename, sizeof record.filename, filename) ||
        !sk::copy_field(record.uploader, sizeof record.uploader, uploader))
        return 0;
    record.time = record_time();
    try {
        std::string_view bytes(reinterpret_cast<const char *>(&record), sizeof record);
        return sk::sitelogs::append_to_file(sk::site_path(kDupefile), bytes) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" int gl_dupelog_add(const char *name) {
    if (!name)
        return 0;
    try {
        std::string line = sk::sitelogs::dupelog_date(std::time(nullptr));
        if (line.empty())
            return 0;
        line.append(" ").append(name).append("\n");
        return sk::sitelogs::append_to_file(sk::site_path(kDupelog), line) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
