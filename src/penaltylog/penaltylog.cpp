#include "penaltylog.h"

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include <fcntl.h>

#include "internal.h"
#include "penaltylog_internal.h"

// The daemon's record, byte for byte.
static_assert(sizeof(nukelog_record) == 392);
static_assert(offsetof(nukelog_record, status) == 0);
static_assert(offsetof(nukelog_record, reserved0) == 2);
static_assert(offsetof(nukelog_record, time) == 8);
static_assert(offsetof(nukelog_record, nuker) == 16);
static_assert(offsetof(nukelog_record, unnuker) == 28);
static_assert(offsetof(nukelog_record, nukee) == 40);
static_assert(offsetof(nukelog_record, multiplier) == 52);
static_assert(offsetof(nukelog_record, reserved1) == 54);
static_assert(offsetof(nukelog_record, amount) == 56);
static_assert(offsetof(nukelog_record, reason) == 60);
static_assert(offsetof(nukelog_record, dirname) == 120);
static_assert(offsetof(nukelog_record, reserved2) == 375);
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
// The file is little-endian and is read straight into the record.
static_assert(std::endian::native == std::endian::little);

namespace {

using sk::nukelog::text_of;

template <std::size_t N> char *copy_of(const char (&field)[N]) noexcept {
    return sk::dup_text(text_of(field));
}

void free_nukee(void *item) noexcept {
    auto *nukee = static_cast<nukelog_nukee *>(item);
    std::free(nukee->name);
    std::free(nukee);
}

void free_release(void *item) noexcept {
    auto *release = static_cast<nukelog_release *>(item);
    sortedlist_foreach(&release->nukees, free_nukee);
    sortedlist_clear(&release->nukees);
    std::free(release->dirname);
    std::free(release->shown_name);
    std::free(release->reason);
    std::free(release);
}

} // namespace

extern "C" int _nukelog_same_release(const nukelog_record *a, const nukelog_record *b) {
    return a->status == b->status && text_of(a->dirname) == text_of(b->dirname) &&
           a->multiplier == b->multiplier && text_of(a->nuker) == text_of(b->nuker) &&
           text_of(a->reason) == text_of(b->reason);
}

extern "C" nukelog_release *_nukelog_add_release(sortedlist *releases, const nukelog_record *record) {
    auto *release = static_cast<nukelog_release *>(std::calloc(1, sizeof(nukelog_release)));
    if (!release)
        return nullptr;
    sortedlist_init(&release->nukees);
    release->time = record->time;
    release->multiplier = record->multiplier;
    release->dirname = copy_of(record->dirname);
    release->status = record->status;
    release->shown_name = record->status == 0 ? copy_of(record->nuker) : copy_of(record->unnuker);
    release->reason = copy_of(record->reason);
    release->total = 0.0f;
    if (!release->dirname || !release->shown_name || !release->reason || !sortedlist_add(releases, release)) {
        free_release(release);
        return nullptr;
    }
    return release;
}

extern "C" int _nukelog_add_nukee(nukelog_release *release, const nukelog_record *record) {
    auto *nukee = static_cast<nukelog_nukee *>(std::malloc(sizeof(nukelog_nukee)));
    if (!nukee)
        return 0;
    nukee->name = copy_of(record->nukee);
    nukee->amount = record->amount;
    if (!nukee->name || !sortedlist_add(&release->nukees, nukee)) {
        std::free(nukee->name);
        std::free(nukee);
        return 0;
    }
    release->total += record->amount;
    return 1;
}

extern "C" int nukelog_load(sortedlist *releases, const char *path) {
    if (!releases || !path)
        return 0;
    // A FIFO or device in the log's place is refused, not waited on.
    sk::regular_file file = sk::open_regular(path, O_RDONLY);
    if (!file)
        return 0;
    sk::nukelog::BlockReader reader(file.fd.get());

    nukelog_record opener{}; // the record that opened the current release
    nukelog_release *current = nullptr;
    for (auto block = reader.next(); !block.empty(); block = reader.next()) {
        for (const nukelog_record &record : block) {
            if (!current || !sk::nukelog::same_release(opener, record)) {
                current = _nukelog_add_release(releases, &record);
                if (!current)
                    return 0;
                opener = record;
            }
            if (!_nukelog_add_nukee(current, &record))
                return 0;
        }
    }
    // A partial record at the end is dropped; a read error is not the end.
    return reader.failed() ? 0 : 1;
}

extern "C" void _nukelog_printf(nukelog_release *release) {
    // One write per release; the amount as "%.0f" writes it (to_chars with
    // precision 0 rounds the same way), without printf's floating-point path.
    std::string line;
    line.reserve(256);
    line.append(release->dirname).append(" [x");
    char number[64];
    line.append(number,
                std::to_chars(number, number + sizeof number, static_cast<int>(release->multiplier)).ptr);
    line.append(" ").append(release->shown_name).append(" ").append(release->reason).append("]");
    sortedlist_reset(&release->nukees);
    while (auto *nukee = static_cast<const nukelog_nukee *>(sortedlist_next(&release->nukees))) {
        line.append(" (").append(nukee->name).append(" ");
        line.append(number, std::to_chars(number, number + sizeof number, static_cast<double>(nukee->amount),
                                          std::chars_format::fixed, 0)
                                .ptr);
        line.append(")");
    }
    line.append("\n");
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
}

extern "C" int _nukelog_sort_by_age(const void *a, const void *b) {
    int64_t ta = static_cast<const nukelog_release *>(a)->time;
    int64_t tb = static_cast<const nukelog_release *>(b)->time;
    return ta > tb ? 1 : (ta < tb ? -1 : 0);
}

extern "C" void nukelog_free(sortedlist *releases) {
    if (!releases)
        return;
    // No reordering is needed to free.
    sortedlist_foreach(releases, free_release);
    sortedlist_clear(releases);
}
