#include "whotransfer.h"

#include <cstddef>
#include <cstring>
#include <string_view>

#include <sys/time.h>

#include "internal.h"

// The daemon's layout, offset by offset.
static_assert(sizeof(who_record) == WHO_RECORD_SIZE);
static_assert(alignof(who_record) == 4);
static_assert(offsetof(who_record, user_info) == 0);
static_assert(offsetof(who_record, user_name) == 64);
static_assert(offsetof(who_record, status_text) == 88);
static_assert(offsetof(who_record, unread_344) == 344);
static_assert(offsetof(who_record, host) == 346);
static_assert(offsetof(who_record, current_dir) == 602);
static_assert(offsetof(who_record, unread_858) == 858);
static_assert(offsetof(who_record, group_id) == 860);
static_assert(offsetof(who_record, online_since) == 864);
static_assert(offsetof(who_record, status_time) == 868);
static_assert(offsetof(who_record, transfer_start_sec) == 872);
static_assert(offsetof(who_record, transfer_start_usec) == 876);
static_assert(offsetof(who_record, transfer_unread_880) == 880);
static_assert(offsetof(who_record, transfer_bytes) == 884);
static_assert(offsetof(who_record, unread_892) == 892);
static_assert(offsetof(who_record, pid) == 900);

namespace {

constexpr std::size_t kPathSize = 300;

bool same_command(std::string_view word, std::string_view command) {
    if (word.size() != command.size())
        return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != command[i])
            return false;
    }
    return true;
}

// Splits the status text into its command and the file name behind it; the
// name ends at the first CR or LF. Direction 0 when it is no transfer.
int32_t parse_status(const who_record *who, std::string_view *file) {
    if (!who || who->pid == 0)
        return WHO_TRANSFER_NONE;
    std::string_view text = sk::field_view(who->status_text, sizeof who->status_text);
    text = text.substr(0, text.find_first_of("\r\n"));
    std::size_t space = text.find(' ');
    if (space == std::string_view::npos)
        return WHO_TRANSFER_NONE;
    std::string_view command = text.substr(0, space);
    std::size_t name_at = text.find_first_not_of(' ', space);
    if (name_at == std::string_view::npos)
        return WHO_TRANSFER_NONE;
    int32_t direction = WHO_TRANSFER_NONE;
    if (same_command(command, "STOR") || same_command(command, "APPE"))
        direction = WHO_TRANSFER_UPLOAD;
    else if (same_command(command, "RETR"))
        direction = WHO_TRANSFER_DOWNLOAD;
    if (direction != WHO_TRANSFER_NONE && file)
        *file = text.substr(name_at);
    return direction;
}

} // namespace

extern "C" int32_t who_transfer_direction(const who_record *who) {
    return parse_status(who, nullptr);
}

extern "C" int32_t who_transfer_file(const who_record *who, char *out) {
    std::string_view name;
    if (!out)
        return 0;
    out[0] = '\0';
    if (parse_status(who, &name) == WHO_TRANSFER_NONE)
        return 0;
    std::size_t used = 0;
    auto append = [&](std::string_view part) {
        std::size_t n = std::min(part.size(), kPathSize - 1 - used);
        std::memcpy(out + used, part.data(), n);
        used += n;
    };
    if (name.front() != '/') {
        std::string_view dir = sk::field_view(who->current_dir, sizeof who->current_dir);
        append(dir);
        if (dir.empty() || dir.back() != '/')
            append("/");
    }
    append(name);
    out[used] = '\0';
    return 1;
}

extern "C" double who_transfer_speed(const who_record *who) {
    if (who_transfer_direction(who) == WHO_TRANSFER_NONE || who->transfer_start_sec == 0)
        return 0.0;
    timeval now{};
    gettimeofday(&now, nullptr);
    double start = static_cast<double>(static_cast<int64_t>(who->transfer_start_sec)) +
                   static_cast<double>(who->transfer_start_usec) / 1e6;
    double elapsed = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6 - start;
    if (elapsed < 1.0)
        elapsed = 1.0;
    return static_cast<double>(who->transfer_bytes) / 1024.0 / elapsed;
}
