// Fuzzes the nuke log reader with a fuzzed log file, read once in file order
// and once ordered by age.
//
// Every run of consecutive records of one nuke becomes one release holding
// exactly those records' nukees, in file order; the release's texts are its
// first record's fields whole (cut at their field widths), its total is the
// sum of the amounts; the printed line shows those texts; nukelog_free
// releases all of it (the leak checker sees what it misses).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzsupport.h"
#include "penaltylog.h"
#include "sortedlist.h"

namespace {

template <std::size_t N> std::string text(const char (&field)[N]) {
    const void *nul = std::memchr(field, '\0', N);
    return std::string(field, nul ? static_cast<const char *>(nul) - field : N);
}

struct model_release {
    nukelog_record opener;
    std::vector<nukelog_record> records;
    float total = 0.0f;
};

bool same_release(const nukelog_record &a, const nukelog_record &b) {
    return a.status == b.status && text(a.dirname) == text(b.dirname) && a.multiplier == b.multiplier &&
           text(a.nuker) == text(b.nuker) && text(a.reason) == text(b.reason);
}

std::vector<model_release> model_of(const uint8_t *data, size_t size) {
    std::vector<model_release> releases;
    for (size_t at = 0; at + sizeof(nukelog_record) <= size; at += sizeof(nukelog_record)) {
        nukelog_record r;
        std::memcpy(&r, data + at, sizeof r);
        if (releases.empty() || !same_release(releases.back().opener, r))
            releases.push_back({r, {}, 0.0f});
        releases.back().records.push_back(r);
        releases.back().total += r.amount;
    }
    return releases;
}

bool same_float(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

std::string printed_line(const model_release &m) {
    const nukelog_record &r = m.opener;
    std::string line = text(r.dirname) + " [x" + std::to_string(r.multiplier) + " " +
                       (r.status == 0 ? text(r.nuker) : text(r.unnuker)) + " " + text(r.reason) + "]";
    char amount[512];
    for (const nukelog_record &n : m.records) {
        std::snprintf(amount, sizeof amount, " (%s %.0f)", text(n.nukee).c_str(),
                      static_cast<double>(n.amount));
        line += amount;
    }
    return line + "\n";
}

void check_release(nukelog_release *got, const model_release &want) {
    const nukelog_record &r = want.opener;
    if (got->status != r.status || got->multiplier != r.multiplier || got->time != r.time ||
        text(r.dirname) != got->dirname || text(r.reason) != got->reason ||
        (r.status == 0 ? text(r.nuker) : text(r.unnuker)) != got->shown_name)
        fuzz::fail("a release's fields are not those of its first record");
    if (!same_float(got->total, want.total))
        fuzz::fail("a release's total is not the sum of its nukees' amounts");
    if (sortedlist_count(&got->nukees) != static_cast<int>(want.records.size()))
        fuzz::fail("a release does not hold one nukee per record of its run");
    sortedlist_reset(&got->nukees);
    for (const nukelog_record &n : want.records) {
        auto *nukee = static_cast<nukelog_nukee *>(sortedlist_next(&got->nukees));
        if (!nukee || text(n.nukee) != nukee->name ||
            std::memcmp(&nukee->amount, &n.amount, sizeof n.amount) != 0)
            fuzz::fail("a release's nukees are not its records' nukees in file order");
    }
}

void load_and_check(const std::string &path, std::vector<model_release> want, bool by_age) {
    sortedlist list;
    sortedlist_init(&list);
    if (by_age) {
        sortedlist_set_compare(&list, _nukelog_sort_by_age);
        std::stable_sort(want.begin(), want.end(), [](const model_release &a, const model_release &b) {
            return a.opener.time < b.opener.time;
        });
    }
    if (nukelog_load(&list, path.c_str()) != 1)
        fuzz::fail("nukelog_load failed on a readable file");
    if (sortedlist_count(&list) != static_cast<int>(want.size()))
        fuzz::fail("nukelog_load did not make one release per run of records");
    std::vector<nukelog_release *> got;
    sortedlist_reset(&list);
    while (auto *r = static_cast<nukelog_release *>(sortedlist_next(&list)))
        got.push_back(r);
    if (got.size() != want.size())
        fuzz::fail("the release list's iteration does not give every release");
    std::string expected;
    for (std::size_t i = 0; i < got.size(); ++i) {
        check_release(got[i], want[i]);
        expected += printed_line(want[i]);
    }
    fuzz::begin_capture();
    for (nukelog_release *r : got)
        _nukelog_printf(r);
    if (fuzz::end_capture() != expected)
        fuzz::fail("the printed lines do not show the releases' texts");
    nukelog_free(&list);
    if (list.head != nullptr || sortedlist_count(&list) != 0)
        fuzz::fail("nukelog_free left the list not empty");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path =
        fuzz::write_root_file("nukelog", std::string(reinterpret_cast<const char *>(data), size));
    const std::vector<model_release> want = model_of(data, size);
    load_and_check(path, want, false);
    load_and_check(path, want, true);
    return 0;
}
