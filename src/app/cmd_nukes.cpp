// sitekit nukes: the releases of the nuke log, newest first. The log is read
// here in large blocks, grouped by the reader's rule and kept as compact
// records (the release list of the library would cost a few allocations per
// record on logs of a million records).
#include "commands.h"
#include "floattext.h"
#include "internal.h"
#include "penaltylog.h"
#include "penaltylog_internal.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>

namespace sk::cli {

namespace {

constexpr std::string_view kNukesUsage = "usage: sitekit nukes [--json] [NUKELOG]\n";
constexpr std::string_view kNukesHelp =
    "\n"
    "Prints the releases of the nuke log, newest first, one line each:\n"
    "  DIR [xMULTIPLIER NUKER REASON] (NUKEE AMOUNT)...\n"
    "(for an unnuke the name is the unnuker's). NUKELOG is a file path as\n"
    "given; the default is /ftp-data/logs/nukelog below the site root.\n";
constexpr Option kNukesOptions[] = {{"--json", false}};

constexpr const char *kNukelog = "/ftp-data/logs/nukelog";

// One record's nukee: the name field as it is in the record, and the amount.
struct Nukee {
    char name[sizeof nukelog_record::nukee];
    float amount;
};

// One release: its fields, its nukees (a run of the nukee array) and its
// texts (dirname, shown name and reason, one after the other in the text
// store).
struct Release {
    int64_t time;
    uint32_t first_nukee;
    uint32_t nukees;
    uint32_t text;
    float total;
    uint16_t multiplier;
    uint16_t status;
    uint8_t dirname_size;
    uint8_t name_size;
    uint8_t reason_size;
};

// An array in one mapping of its own: growing moves the pages (mremap), not
// the bytes, and only the pages used are touched (big pages where the
// system gives them, so that a few faults cover megabytes). An unused
// reservation costs address space, not memory.
template <class T> class Region {
  public:
    Region() = default;
    Region(const Region &) = delete;
    Region &operator=(const Region &) = delete;
    ~Region() {
        if (data_)
            (void)munmap(data_, capacity_ * sizeof(T));
    }

    // Room for n more items at the end (the caller fills them and calls
    // grow); throws std::bad_alloc when the mapping cannot grow.
    T *end_room(std::size_t n) {
        if (capacity_ - size_ < n)
            reserve(std::max(2 * capacity_, size_ + n));
        return data_ + size_;
    }
    void grow(std::size_t n) { size_ += n; }
    // Makes room for capacity items in all.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_)
            return;
        std::size_t bytes = capacity * sizeof(T);
        void *p = data_ ? mremap(data_, capacity_ * sizeof(T), bytes, MREMAP_MAYMOVE)
                        : mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED)
            throw std::bad_alloc();
        (void)madvise(p, bytes, MADV_HUGEPAGE);
        data_ = static_cast<T *>(p);
        capacity_ = capacity;
    }

    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }
    T &back() { return data_[size_ - 1]; }
    const T *data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    T *data_ = nullptr;
    std::size_t capacity_ = 0, size_ = 0;
};

struct NukeLog {
    Region<Release> releases; // in file order
    Region<Nukee> nukees;     // in file order
    Region<char> texts;

    std::string_view dirname(const Release &r) const { return {texts.data() + r.text, r.dirname_size}; }
    std::string_view shown_name(const Release &r) const {
        return {texts.data() + r.text + r.dirname_size, r.name_size};
    }
    std::string_view reason(const Release &r) const {
        return {texts.data() + r.text + r.dirname_size + r.name_size, r.reason_size};
    }
};

// The texts a release keeps: its dirname, shown name and reason fields.
constexpr std::size_t kMostText =
    sizeof nukelog_record::dirname + sizeof nukelog_record::nuker + sizeof nukelog_record::reason;

void open_release(NukeLog &log, const nukelog_record &record) {
    using sk::nukelog::text_of;
    std::string_view dirname = text_of(record.dirname);
    std::string_view name = record.status == 0 ? text_of(record.nuker) : text_of(record.unnuker);
    std::string_view reason = text_of(record.reason);
    // The offsets are 32-bit; a log beyond them is refused as too big.
    if (log.texts.size() > UINT32_MAX - kMostText)
        throw std::bad_alloc();
    Release r{};
    r.time = record.time;
    r.first_nukee = static_cast<uint32_t>(log.nukees.size());
    r.text = static_cast<uint32_t>(log.texts.size());
    r.multiplier = record.multiplier;
    r.status = record.status;
    r.dirname_size = static_cast<uint8_t>(dirname.size());
    r.name_size = static_cast<uint8_t>(name.size());
    r.reason_size = static_cast<uint8_t>(reason.size());
    char *text = log.texts.end_room(kMostText);
    std::memcpy(text, dirname.data(), dirname.size());
    std::memcpy(text + dirname.size(), name.data(), name.size());
    std::memcpy(text + dirname.size() + name.size(), reason.data(), reason.size());
    log.texts.grow(dirname.size() + name.size() + reason.size());
    *log.releases.end_room(1) = r;
    log.releases.grow(1);
}

// Reads the log to its end; false on a read error.
bool read_log(int fd, std::size_t file_size, NukeLog &log) {
    // Room for the records the file holds now (it may still grow).
    std::size_t records = file_size / sizeof(nukelog_record);
    log.nukees.reserve(records + 1);
    log.releases.reserve(records + 1);
    log.texts.reserve((records + 1) * kMostText);
    sk::nukelog::BlockReader reader(fd);
    nukelog_record saved{}; // the opener, once its block is gone
    const nukelog_record *opener = nullptr;
    for (auto block = reader.next(); !block.empty(); block = reader.next()) {
        for (const nukelog_record &record : block) {
            if (!opener || !sk::nukelog::same_release(*opener, record)) {
                open_release(log, record);
                opener = &record;
            }
            if (log.nukees.size() >= UINT32_MAX)
                throw std::bad_alloc(); // beyond the 32-bit offsets
            Release &current = log.releases.back();
            Nukee *n = log.nukees.end_room(1);
            std::memcpy(n->name, record.nukee, sizeof n->name);
            n->amount = record.amount;
            log.nukees.grow(1);
            current.total += record.amount;
            ++current.nukees;
        }
        if (opener && opener != &saved) {
            saved = *opener;
            opener = &saved;
        }
    }
    return !reader.failed();
}

// Newest first; of releases nuked in the same second, the later record
// first. A log written in time order needs no sort.
std::vector<uint32_t> newest_first(const NukeLog &log) {
    const auto &rels = log.releases;
    std::vector<uint32_t> order(rels.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<uint32_t>(order.size() - 1 - i);
    auto before = [&rels](uint32_t a, uint32_t b) {
        return rels[a].time != rels[b].time ? rels[a].time > rels[b].time : a > b;
    };
    if (!std::is_sorted(order.begin(), order.end(), before))
        std::sort(order.begin(), order.end(), before);
    return order;
}

// Output gathered in blocks of about 1 MiB, written with fwrite so that a
// failed write shows in ferror(stdout) as the program expects.
class Output {
  public:
    Output() : buf_(kBlock + kSlack) {}
    ~Output() { flush(); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // Room for at least n more bytes (n at most kSlack); returns where to write.
    char *room(std::size_t n) {
        if (kBlock + kSlack - used_ < n)
            flush();
        return buf_.data() + used_;
    }
    void wrote(char *end) { used_ = static_cast<std::size_t>(end - buf_.data()); }
    void put(std::string_view s) {
        if (s.size() > kSlack) {
            flush();
            (void)std::fwrite(s.data(), 1, s.size(), stdout);
            return;
        }
        char *p = room(s.size());
        std::memcpy(p, s.data(), s.size());
        wrote(p + s.size());
    }
    // Writes what is gathered once a block is full.
    void done() {
        if (used_ >= kBlock)
            flush();
    }
    void flush() {
        if (used_ > 0)
            (void)std::fwrite(buf_.data(), 1, used_, stdout);
        used_ = 0;
    }

    static constexpr std::size_t kSlack = 1 << 14;

  private:
    static constexpr std::size_t kBlock = 1 << 20;
    std::vector<char> buf_;
    std::size_t used_ = 0;
};

char *put_text(char *p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

void print_text(const NukeLog &log, const std::vector<uint32_t> &order) {
    Output out;
    for (uint32_t index : order) {
        const Release &r = log.releases[index];
        // The head: three texts of at most 255, 12 and 60 bytes and a number.
        char *p = out.room(512);
        p = put_text(p, log.dirname(r));
        p = put_text(p, " [x");
        p = std::to_chars(p, p + 8, static_cast<int>(r.multiplier)).ptr;
        *p++ = ' ';
        p = put_text(p, log.shown_name(r));
        *p++ = ' ';
        p = put_text(p, log.reason(r));
        *p++ = ']';
        out.wrote(p);
        for (uint32_t k = 0; k < r.nukees; ++k) {
            const Nukee &n = log.nukees[r.first_nukee + k];
            p = out.room(128);
            p = put_text(p, " (");
            p = put_text(p, sk::nukelog::text_of(n.name));
            *p++ = ' ';
            p = put_float_whole(p, n.amount);
            *p++ = ')';
            out.wrote(p);
        }
        p = out.room(1);
        *p++ = '\n';
        out.wrote(p);
        out.done();
    }
}

// A JSON string: plain ASCII straight through, anything else through the
// program's JSON string writer (escapes, UTF-8 checks).
// True when every byte of s is printable ASCII other than '"' and '\\':
// eight bytes at a time, each test the exact "is there such a byte" of the
// usual bit tricks.
bool plain_json(std::string_view s) {
    constexpr uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
    auto any_zero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t v = 0;
        std::memcpy(&v, s.data() + i, 8);
        uint64_t below_space = (v - kOnes * 0x20) & ~v & kHighs;
        if ((v & kHighs) != 0 || below_space != 0 || any_zero(v ^ (kOnes * 0x7f)) != 0 ||
            any_zero(v ^ (kOnes * '"')) != 0 || any_zero(v ^ (kOnes * '\\')) != 0)
            return false;
    }
    return std::all_of(s.begin() + static_cast<std::ptrdiff_t>(i), s.end(), [](char ch) {
        auto c = static_cast<unsigned char>(ch);
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
}

char *put_json_string(char *p, std::string_view s, std::string &scratch) {
    if (!plain_json(s)) {
        scratch.clear();
        append_json_string(scratch, s);
        return put_text(p, scratch);
    }
    *p++ = '"';
    p = put_text(p, s);
    *p++ = '"';
    return p;
}

void print_json(const NukeLog &log, const std::vector<uint32_t> &order) {
    Output out;
    std::string scratch;
    bool first = true;
    for (uint32_t index : order) {
        const Release &r = log.releases[index];
        // The head: texts of at most 255, 12 and 60 bytes, 6 bytes each
        // when escaped, keys and numbers.
        char *p = out.room(6 * (255 + 12 + 60) + 256);
        p = put_text(p, first ? "[{\"dirname\":" : ",\n {\"dirname\":");
        first = false;
        p = put_json_string(p, log.dirname(r), scratch);
        p = put_text(p, r.status == 0 ? ",\"type\":\"nuke\",\"multiplier\":"
                                      : ",\"type\":\"unnuke\",\"multiplier\":");
        p = std::to_chars(p, p + 8, static_cast<int>(r.multiplier)).ptr;
        p = put_text(p, ",\"by\":");
        p = put_json_string(p, log.shown_name(r), scratch);
        p = put_text(p, ",\"reason\":");
        p = put_json_string(p, log.reason(r), scratch);
        p = put_text(p, ",\"time\":");
        p = std::to_chars(p, p + 24, r.time).ptr;
        p = put_text(p, ",\"total\":");
        p = put_float_17g(p, r.total);
        p = put_text(p, ",\"nukees\":[");
        out.wrote(p);
        for (uint32_t k = 0; k < r.nukees; ++k) {
            const Nukee &n = log.nukees[r.first_nukee + k];
            p = out.room(6 * 12 + 128);
            p = put_text(p, k == 0 ? "{\"name\":" : ",{\"name\":");
            p = put_json_string(p, sk::nukelog::text_of(n.name), scratch);
            p = put_text(p, ",\"amount\":");
            p = put_float_17g(p, n.amount);
            *p++ = '}';
            out.wrote(p);
        }
        p = out.room(2);
        p = put_text(p, "]}");
        out.wrote(p);
        out.done();
    }
    out.put(first ? "[]\n" : "]\n");
}

int cmd_nukes(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 0, 1, kNukesUsage))
        return kUsage;
    std::string path = p->operands.empty() ? site_path(kNukelog) : p->operands[0];
    regular_file file = open_regular(path.c_str(), O_RDONLY);
    if (!file)
        return fail(
            inv, kRefused,
            open_failure("cannot read the nuke log", path, file, "name the daemon's nuke log itself"));

    NukeLog log;
    std::vector<uint32_t> order;
    try {
        if (!read_log(file.fd.get(), static_cast<std::size_t>(file.st.st_size), log))
            return fail(inv, kRefused, "cannot read the nuke log " + path + " to its end");
        order = newest_first(log);
    } catch (const std::bad_alloc &) {
        return fail(inv, kRefused, "cannot read the nuke log " + path + " to its end");
    }
    if (want_json(inv, *p))
        print_json(log, order);
    else
        print_text(log, order);
    (void)std::fflush(stdout);
    return kOk;
}

} // namespace

const Command nukes_command{
    .name = "nukes",
    .summary = "nukes [NUKELOG]: the nuked releases, newest first",
    .usage = kNukesUsage,
    .help = kNukesHelp,
    .options = kNukesOptions,
    .run = cmd_nukes,
};

} // namespace sk::cli
