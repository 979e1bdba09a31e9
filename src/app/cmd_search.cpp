// sitekit search: the releases of the directory log (or the dupe log) whose
// name matches a pattern, newest first, with the nuke log's verdict on each
// when asked.
#include "acctdb.h"
#include "commands.h"
#include "internal.h"
#include "penaltylog_internal.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fcntl.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sk::cli {

namespace {

constexpr std::string_view kSearchUsage =
    "usage: sitekit search [--dupelog] [--nukes] [--limit N] [--json] [--] PATTERN\n";
constexpr std::string_view kSearchHelp =
    "\n"
    "Prints the releases of the directory log /ftp-data/logs/dirlog whose name\n"
    "(the last component of the record's directory) matches PATTERN, newest\n"
    "first, one line each:\n"
    "  TIME  files N  bytes N  owner USER  DIRECTORY\n"
    "USER is the owner's name from the daemon's passwd file, or the user id.\n"
    "PATTERN is a shell pattern (*, ?, [...]) matched against the whole name;\n"
    "a pattern without any of * ? [ matches anywhere in the name. Case is\n"
    "ignored. A '[' without its ']', a '/' or an empty pattern is refused.\n"
    "  --dupelog  search the dupe log /ftp-data/logs/dupelog instead:\n"
    "             \"MMDDYY  NAME\" lines, the last logged first\n"
    "  --nukes    mark each release the nuke log has nuked (and not unnuked\n"
    "             since): \"  [nuked xMULTIPLIER NUKER REASON]\"\n"
    "  --limit N  print the N newest matches only\n"
    "Exit status 0 when something matched, 1 when nothing did or a log cannot\n"
    "be read, 2 for a usage error.\n";
constexpr Option kSearchOptions[] = {
    {"--json", false}, {"--dupelog", false}, {"--nukes", false}, {"--limit", true}};

constexpr const char *kNukelog = "/ftp-data/logs/nukelog";

// The name a release is known by: the last component of its path.
std::string_view release_name(std::string_view path) {
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    const void *slash = memrchr(path.data(), '/', path.size());
    return slash == nullptr
               ? path
               : path.substr(static_cast<std::size_t>(static_cast<const char *>(slash) - path.data()) + 1);
}

// Where the bracket expression that opens at pattern[at] ends (its ']'), or
// npos when it has none: as fnmatch reads it, a '!' or '^' may lead, a ']'
// right after the opening (or after the '!') is one of the characters, and
// a class such as [:digit:] holds its own brackets.
std::size_t bracket_end(std::string_view pattern, std::size_t at) {
    std::size_t i = at + 1;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^'))
        ++i;
    if (i < pattern.size() && pattern[i] == ']')
        ++i;
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == ']')
            return i;
        if (pattern[i] == '\\')
            ++i;
        else if (pattern[i] == '[' && i + 1 < pattern.size() &&
                 (pattern[i + 1] == ':' || pattern[i + 1] == '=' || pattern[i + 1] == '.')) {
            const char close[] = {pattern[i + 1], ']', '\0'};
            auto end = pattern.find(close, i + 2);
            if (end == std::string_view::npos)
                return end;
            i = end + 1;
        }
    }
    return std::string_view::npos;
}

// One step of a shell pattern: a set of bytes to take one of (a
// character, '?' or a bracket expression), or '*'.
struct Step {
    bool star = false;
    std::bitset<256> takes;
};

// Adds the bytes of a bracket class ("alpha", "digit", ...) to set; false
// for a name that is no class.
bool add_class(std::string_view name, std::bitset<256> &set) {
    constexpr std::pair<std::string_view, int (*)(int)> kClasses[] = {
        {"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank}, {"cntrl", iscntrl},
        {"digit", isdigit}, {"graph", isgraph}, {"lower", islower}, {"print", isprint},
        {"punct", ispunct}, {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit}};
    for (auto [class_name, test] : kClasses) {
        if (class_name != name)
            continue;
        for (int c = 0; c < 128; ++c)
            if (test(c))
                set.set(static_cast<std::size_t>(c));
        return true;
    }
    return false;
}

// A search pattern: a plain word (found anywhere in the name) or a shell
// pattern as fnmatch reads it (matched against the whole name: '*', '?',
// bracket expressions with ranges, '!' or '^', classes such as [:digit:],
// and a backslash quoting the next character), case ignored either way. The
// pattern is compiled once into steps that each hold the set of bytes they
// take, both cases of a letter included, so a million names cost a million
// short walks and no call into the C library.
class Pattern {
  public:
    // Nothing when the pattern is fine; otherwise why it is refused.
    std::optional<std::string> take(std::string_view text) {
        if (text.empty())
            return "the pattern is empty; give a word, or '*' for every release";
        if (text.find('/') != std::string_view::npos)
            return "the pattern holds a '/', but it is matched against the release name alone";
        glob_ = text.find_first_of("*?[") != std::string_view::npos;
        if (!glob_) {
            word_ = ascii_lowercase(text);
            return std::nullopt;
        }
        for (std::size_t i = 0; i < text.size(); ++i) {
            Step step;
            char c = text[i];
            if (c == '*') {
                step.star = true;
            } else if (c == '?') {
                step.takes.set();
            } else if (c == '[') {
                std::size_t end = bracket_end(text, i);
                if (end == std::string_view::npos)
                    return "the '[' at position " + std::to_string(i + 1) +
                           " has no closing ']'; write [[] for a '[' itself";
                if (auto why = bracket(text.substr(i + 1, end - i - 1), step.takes))
                    return why;
                i = end;
            } else {
                if (c == '\\' && i + 1 < text.size())
                    c = text[++i];
                add_both_cases(step.takes, c);
            }
            steps_.push_back(step);
        }
        learn_shortcuts();
        return std::nullopt;
    }

    bool matches(std::string_view name) const {
        alignas(16) char lower[256 + 32];
        return matches_lowered(lowered(name, lower));
    }

  private:
    // matches for a name already in lower case, with 32 bytes after it
    // that may be read.
    bool matches_lowered(std::string_view name) const {
        if (!glob_)
            return find_lowered(name, word_);
        if (every_name_)
            return true;
        return (must_.empty() || find_lowered(name, must_)) && glob_matches(name);
    }

    // Turns the name (at most 256 bytes) at text into lower case, in place,
    // in whole blocks: up to 15 bytes after it are changed as well.
    static void lower_in_place(char *text, std::size_t n) {
#if defined(__SSE2__)
        // Sixteen at a time: the bytes above '@' and below '[' get 0x20.
        const __m128i before_a = _mm_set1_epi8('A' - 1), after_z = _mm_set1_epi8('Z' + 1),
                      small = _mm_set1_epi8(0x20);
        for (std::size_t i = 0; i < n; i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
            __m128i capital = _mm_and_si128(_mm_cmpgt_epi8(v, before_a), _mm_cmplt_epi8(v, after_z));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(text + i),
                             _mm_or_si128(v, _mm_and_si128(capital, small)));
        }
#else
        // Eight at a time: a byte's high bit marks it as a capital, which
        // adding 0x20 turns into its small letter.
        constexpr uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
        for (std::size_t i = 0; i < n; i += 8) {
            uint64_t v = 0;
            std::memcpy(&v, text + i, 8);
            uint64_t seven = v & ~kHighs;
            uint64_t from_a = seven + (0x80 - 'A') * kOnes; // high bit: at least 'A'
            uint64_t past_z = seven + (0x7f - 'Z') * kOnes; // high bit: beyond 'Z'
            uint64_t capital = (from_a ^ past_z) & ~v & kHighs;
            v |= capital >> 2;
            std::memcpy(text + i, &v, 8);
        }
#endif
    }

    // What a name must hold to match, found once: the longest run of steps
    // that each take one letter (in either case) or one other byte, in
    // lower case; and whether the pattern is only stars.
    void learn_shortcuts() {
        every_name_ = std::all_of(steps_.begin(), steps_.end(), [](const Step &s) { return s.star; });
        star_first_ = !steps_.empty() && steps_.front().star;
        star_last_ = !steps_.empty() && steps_.back().star;
        for (std::size_t i = 0; i < steps_.size();) {
            std::size_t end = i;
            while (end < steps_.size() && !steps_[end].star)
                ++end;
            if (end > i)
                runs_.push_back({i, end - i});
            i = end + 1;
        }
        std::string run;
        for (const Step &step : steps_) {
            char only = 0;
            if (!step.star && step_is_one_byte(step, only)) {
                run.push_back(only);
                if (run.size() > must_.size())
                    must_ = run;
            } else {
                run.clear();
            }
        }
    }

    // True when the step takes a single byte, or a letter in both cases
    // only; only is that byte, in lower case.
    static bool step_is_one_byte(const Step &step, char &only) {
        std::size_t count = step.takes.count();
        if (count != 1 && count != 2)
            return false;
        for (unsigned c = 0; c < 256; ++c) {
            if (!step.takes.test(c))
                continue;
            only = ascii_lower(static_cast<char>(c));
            std::bitset<256> one;
            add_both_cases(one, only);
            return one == step.takes;
        }
        return false;
    }

    static void add_both_cases(std::bitset<256> &set, char c) {
        auto byte = static_cast<unsigned char>(c);
        set.set(byte);
        if (byte < 128 && std::isalpha(byte)) {
            set.set(static_cast<unsigned char>(std::tolower(byte)));
            set.set(static_cast<unsigned char>(std::toupper(byte)));
        }
    }

    // The bytes of a bracket expression's inside (between '[' and ']').
    static std::optional<std::string> bracket(std::string_view inside, std::bitset<256> &takes) {
        bool negate = !inside.empty() && (inside[0] == '!' || inside[0] == '^');
        std::size_t i = negate ? 1 : 0;
        std::bitset<256> set;
        while (i < inside.size()) {
            unsigned char low = 0;
            if (inside[i] == '[' && i + 1 < inside.size() &&
                (inside[i + 1] == ':' || inside[i + 1] == '=' || inside[i + 1] == '.')) {
                char kind = inside[i + 1];
                std::size_t close = inside.find(std::string{kind, ']'}, i + 2);
                std::string_view name = inside.substr(i + 2, close - i - 2);
                i = close + 2;
                if (kind == ':') {
                    if (!add_class(name, set))
                        return "the pattern names no character class '[:" + std::string(name) + ":]'";
                    continue;
                }
                if (name.size() != 1)
                    return "the pattern's '[" + std::string{kind} + std::string(name) + kind +
                           "]' is not one character";
                low = static_cast<unsigned char>(name[0]);
            } else {
                if (inside[i] == '\\' && i + 1 < inside.size())
                    ++i;
                low = static_cast<unsigned char>(inside[i++]);
            }
            unsigned char high = low;
            if (i + 1 < inside.size() && inside[i] == '-') {
                std::size_t at = i + 1;
                if (inside[at] == '\\' && at + 1 < inside.size())
                    ++at;
                high = static_cast<unsigned char>(inside[at]);
                i = at + 1;
            }
            for (unsigned c = low; c <= high; ++c)
                add_both_cases(set, static_cast<char>(c));
        }
        if (negate) {
            // A byte is left out when either of its cases is.
            std::bitset<256> folded = set;
            for (unsigned c = 0; c < 256; ++c)
                if (set.test(c))
                    add_both_cases(folded, static_cast<char>(c));
            set = ~folded;
        }
        takes = set;
        return std::nullopt;
    }

    // The runs of steps between the stars, each of a fixed length: the
    // first must match at the start of the name (unless a star leads), the
    // last at its end (unless a star ends the pattern), and the ones between
    // in their order, each at the first place after the one before: the
    // earliest place leaves the most room for the rest, so no other place
    // needs to be tried.
    bool glob_matches(std::string_view name) const {
        std::size_t first = 0, count = runs_.size();
        std::size_t from = 0, to = name.size();
        if (!star_first_) {
            if (count == 0 || !run_at(runs_[0], name, 0))
                return false;
            if (count == 1 && !star_last_)
                return runs_[0].size == name.size();
            from = runs_[0].size;
            first = 1;
        }
        if (!star_last_ && first < count) {
            const Run &last = runs_[count - 1];
            if (to - from < last.size || !run_at(last, name, to - last.size))
                return false;
            to -= last.size;
            --count;
        }
        for (std::size_t r = first; r < count; ++r) {
            const Run &run = runs_[r];
            std::size_t at = from;
            while (at + run.size <= to && !run_at(run, name, at))
                ++at;
            if (at + run.size > to)
                return false;
            from = at + run.size;
        }
        return true;
    }

    // A run of steps that are no stars: steps_[start] to steps_[start + size - 1].
    struct Run {
        std::size_t start, size;
    };

    bool run_at(const Run &run, std::string_view name, std::size_t at) const {
        if (at + run.size > name.size())
            return false;
        for (std::size_t k = 0; k < run.size; ++k)
            if (!steps_[run.start + k].takes[static_cast<unsigned char>(name[at + k])])
                return false;
        return true;
    }

    // True when the lowered text (32 bytes after it may be read) holds the
    // word, which is in lower case.
    static bool find_lowered(std::string_view text, std::string_view word) {
        if (text.size() < word.size())
            return false;
        if (word.size() == 1)
            return text.find(word[0]) != std::string_view::npos;
        const std::size_t last = text.size() - word.size(); // the last place the word can start
        auto rest_at = [&](std::size_t i) {
            std::size_t k = 2;
            while (k < word.size() && text[i + k] == word[k])
                ++k;
            return k == word.size();
        };
#if defined(__SSE2__)
        // Sixteen places at a time: where the word's first two bytes stand.
        // The loads stay inside the buffer, zeros past the name.
        const __m128i first = _mm_set1_epi8(word[0]), second = _mm_set1_epi8(word[1]);
        for (std::size_t i = 0; i <= last; i += 16) {
            __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text.data() + i));
            __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text.data() + i + 1));
            auto places = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, first), _mm_cmpeq_epi8(next, second))));
            for (; places != 0; places &= places - 1) {
                std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(places));
                if (at > last)
                    return false;
                if (rest_at(at))
                    return true;
            }
        }
        return false;
#else
        // The first two bytes tried at each place in the loop itself: a
        // call per candidate costs more than the name is long.
        for (std::size_t i = 0; i <= last; ++i)
            if (text[i] == word[0] && text[i + 1] == word[1] && rest_at(i))
                return true;
        return false;
#endif
    }

    // The name (at most 256 bytes) in lower case at out, which has room for
    // 32 bytes more: those are zeroed, so that whole blocks can be read.
    static std::string_view lowered(std::string_view name, char *out) {
        std::size_t n = std::min<std::size_t>(name.size(), 256);
        std::memcpy(out, name.data(), n);
        std::memset(out + n, 0, 32);
        lower_in_place(out, n);
        return {out, n};
    }

    bool glob_ = false;
    bool every_name_ = false; // a shell pattern of stars alone
    std::string must_;        // a shell pattern's longest plain run, in lower case
    std::string word_;        // a plain word, in lower case
    std::vector<Step> steps_; // a shell pattern
    std::vector<Run> runs_;   // its runs between the stars
    bool star_first_ = false, star_last_ = false;
};

// One match. Its texts (the directory, or the dupe log's date and name) lie
// in the text store; order is its place in the log.
struct Hit {
    int64_t time = 0; // the dirlog record's; the dupe log has none
    uint64_t bytes = 0;
    uint32_t order = 0;
    uint32_t text = 0;
    uint16_t user_id = 0, files = 0;
    uint16_t text_size = 0, date_size = 0; // date_size: the dupe log's date, at the front
};

// Newer: a later time, and of equal times (the dupe log has none) the
// later place in the log.
bool newer(const Hit &a, const Hit &b) {
    return a.time != b.time ? a.time > b.time : a.order > b.order;
}

// The matches kept: all of them, or with a limit the newest ones only, in a
// heap whose top is the oldest kept. A directory log lies mostly in time
// order, so with a limit nearly every record displaces an older one: the
// text store then holds the texts of the displaced ones too, and is
// compacted once they are most of it.
class Hits {
  public:
    explicit Hits(std::size_t limit) : limit_(limit) {}

    void add(Hit hit, std::string_view date, std::string_view dirname) {
        // The texts' offsets are 32-bit, as are the places in the log.
        if (next_order_ == UINT32_MAX || texts_.size() + date.size() + dirname.size() > UINT32_MAX)
            throw std::bad_alloc();
        hit.order = next_order_++;
        bool full = list_.size() == limit_;
        if (full && !newer(hit, list_.front()))
            return;
        hit.text = static_cast<uint32_t>(texts_.size());
        hit.date_size = static_cast<uint16_t>(date.size());
        hit.text_size = static_cast<uint16_t>(date.size() + dirname.size());
        texts_.append(date).append(dirname);
        live_ += hit.text_size;
        if (full) {
            live_ -= list_.front().text_size;
            replace_oldest(hit);
        } else {
            list_.push_back(hit);
            if (limit_ != kAll)
                std::push_heap(list_.begin(), list_.end(), newer);
        }
        if (texts_.size() > 2 * live_ + (1 << 16))
            compact();
    }

    // The matches kept, newest first.
    const std::vector<Hit> &newest_first() {
        std::sort(list_.begin(), list_.end(), newer);
        return list_;
    }

    std::string_view date(const Hit &h) const { return text(h).substr(0, h.date_size); }
    std::string_view dirname(const Hit &h) const { return text(h).substr(h.date_size); }

    static constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();

  private:
    std::string_view text(const Hit &h) const { return {texts_.data() + h.text, h.text_size}; }

    // Puts hit in the place of the heap's top, the oldest kept, and lets it
    // sink below every older one: one pass down instead of a pop and a push.
    void replace_oldest(const Hit &hit) {
        const std::size_t n = list_.size();
        std::size_t at = 0;
        for (std::size_t child = 1; child < n; child = 2 * at + 1) {
            if (child + 1 < n && newer(list_[child], list_[child + 1]))
                ++child; // the older of the two
            if (!newer(hit, list_[child]))
                break;
            list_[at] = list_[child];
            at = child;
        }
        list_[at] = hit;
    }

    void compact() {
        // Into the spare store, which keeps its memory from one compaction
        // to the next: no allocation, no memory handed back and asked again.
        spare_.clear();
        for (Hit &h : list_) {
            std::string_view t = text(h);
            h.text = static_cast<uint32_t>(spare_.size());
            spare_.append(t);
        }
        texts_.swap(spare_);
    }

    std::size_t limit_;
    std::vector<Hit> list_;
    std::string texts_, spare_;
    std::size_t live_ = 0; // bytes of texts_ that kept hits use
    uint32_t next_order_ = 0;
};

// The key of a release in the nuke marks: its directory without trailing
// slashes, or (by_name) its name.
std::string mark_key(std::string_view dir, bool by_name) {
    if (by_name)
        return std::string(release_name(dir));
    auto last = dir.find_last_not_of('/');
    return std::string(last == std::string_view::npos ? dir : dir.substr(0, last + 1));
}

// The nuke log's last word on a release: its last record.
struct NukeMark {
    bool nuked = false;
    uint16_t multiplier = 0;
    std::string by, reason;
    int64_t time = 0;
};

// Reads the nuke log and marks the releases of marks found in it: by the
// whole directory, or (by_name, for the dupe log's names) by the last
// component. A log that does not exist nukes nothing; false with the
// message for one that cannot be read.
bool read_nukes(std::unordered_map<std::string, NukeMark> &marks, bool by_name, std::string &why) {
    std::string path = site_path(kNukelog);
    regular_file file = open_regular(path.c_str(), O_RDONLY);
    if (!file) {
        if (file.error == ENOENT && !file.not_regular)
            return true;
        why = open_failure("cannot read the nuke log", path, file, "put the daemon's nuke log there");
        return false;
    }
    sk::nukelog::BlockReader reader(file.fd.get());
    for (auto block = reader.next(); !block.empty(); block = reader.next()) {
        for (const nukelog_record &r : block) {
            auto it = marks.find(mark_key(sk::nukelog::text_of(r.dirname), by_name));
            if (it == marks.end())
                continue;
            NukeMark &m = it->second;
            m.nuked = r.status == 0;
            m.multiplier = r.multiplier;
            m.by = r.status == 0 ? sk::nukelog::text_of(r.nuker) : sk::nukelog::text_of(r.unnuker);
            m.reason = sk::nukelog::text_of(r.reason);
            m.time = r.time;
        }
    }
    if (reader.failed()) {
        why = "cannot read the nuke log " + path + " to its end";
        return false;
    }
    return true;
}

// Reads the directory log; false with the message when it cannot be read.
bool search_dirlog(const Pattern &pattern, Hits &hits, std::string &why) {
    std::string path = site_path(sitelogs::kDirlog);
    regular_file log = open_regular(path.c_str(), O_RDONLY);
    if (!log) {
        why =
            open_failure("cannot read the directory log", path, log, "put the daemon's directory log there");
        return false;
    }
    sitelogs::dirlog_walk walk = sitelogs::read_dirlog(log.fd.get(), [&](const dirlog_record &r) {
        std::string_view dir = field_view(r.dirname, sizeof r.dirname);
        if (!pattern.matches(release_name(dir)))
            return;
        hits.add(Hit{.time = r.time, .bytes = r.bytes, .user_id = r.user_id, .files = r.files}, {}, dir);
    });
    if (walk.read_failed) {
        why = "cannot read the directory log " + path + ": " + std::strerror(errno);
        return false;
    }
    if (walk.partial != 0)
        std::fprintf(stderr, "sitekit search: %s ends with %zu bytes of an incomplete record, left out\n",
                     path.c_str(), walk.partial);
    return true;
}

// Reads the dupe log ("MMDDYY NAME" lines); false with the message when it
// cannot be read. Lines without a name are counted and left out.
bool search_dupelog(const Pattern &pattern, Hits &hits, std::string &why) {
    std::string path = site_path(sitelogs::kDupelog);
    regular_file log = open_regular(path.c_str(), O_RDONLY);
    std::string data;
    if (log) {
        data.resize(static_cast<std::size_t>(log.st.st_size));
        ssize_t got = read_full(log.fd.get(), data.data(), data.size());
        if (got < 0) {
            why = "cannot read the dupe log " + path + ": " + std::strerror(errno);
            return false;
        }
        data.resize(static_cast<std::size_t>(got));
    } else {
        why = open_failure("cannot read the dupe log", path, log, "put the daemon's dupe log there");
        return false;
    }
    std::size_t bad = 0;
    for (std::string_view rest = data; !rest.empty();) {
        auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        auto space = line.find(' ');
        if (line.empty())
            continue;
        if (space == std::string_view::npos || space + 1 == line.size() || line.size() > UINT16_MAX) {
            ++bad;
            continue;
        }
        std::string_view name = line.substr(space + 1);
        if (pattern.matches(release_name(name)))
            hits.add(Hit{}, line.substr(0, space), name);
    }
    if (bad != 0)
        std::fprintf(stderr, "sitekit search: %s has %zu %s not \"MMDDYY NAME\", left out\n", path.c_str(),
                     bad, bad == 1 ? "line that is" : "lines that are");
    return true;
}

// The owner's name through the account cache, one lookup per user id.
class Owners {
  public:
    // The name, or empty when the passwd file has no such user.
    const std::string &name(uint16_t uid) {
        auto [it, added] = names_.try_emplace(uid);
        if (added)
            if (const pwd_user *u = pwd_getpwuid(uid))
                it->second = u->name;
        return it->second;
    }

  private:
    std::unordered_map<uint16_t, std::string> names_;
};

std::string local_time(int64_t when) {
    auto t = static_cast<time_t>(when);
    struct tm tm {};
    char text[32];
    if (localtime_r(&t, &tm) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return std::to_string(when);
    return text;
}

void append_text(std::string &out, const Hits &hits, const Hit &h, bool dupelog, Owners &owners,
                 const NukeMark *mark) {
    if (dupelog) {
        out.append(hits.date(h)).append("  ").append(hits.dirname(h));
    } else {
        const std::string &owner = owners.name(h.user_id);
        out.append(local_time(h.time)).append("  files ");
        append_uint(out, h.files);
        out.append("  bytes ");
        append_uint(out, h.bytes);
        out.append("  owner ");
        if (owner.empty())
            append_uint(out, h.user_id);
        else
            out.append(owner);
        out.append("  ").append(hits.dirname(h));
    }
    if (mark && mark->nuked) {
        out.append("  [nuked x");
        append_uint(out, mark->multiplier);
        out.append(" ").append(mark->by).append(" ").append(mark->reason).append("]");
    }
    out.push_back('\n');
}

void append_json(std::string &out, const Hits &hits, const Hit &h, bool dupelog, Owners &owners,
                 const NukeMark *mark) {
    JsonObject o;
    if (dupelog) {
        o.str("name", hits.dirname(h)).str("date", hits.date(h));
    } else {
        const std::string &owner = owners.name(h.user_id);
        o.str("dirname", hits.dirname(h))
            .str("name", release_name(hits.dirname(h)))
            .num("time", h.time)
            .unum("files", h.files)
            .unum("bytes", h.bytes)
            .unum("user_id", h.user_id)
            .raw("owner", owner.empty() ? "null" : json_string(owner));
    }
    if (mark) {
        o.raw("nuked", mark->nuked ? "true" : "false");
        if (mark->nuked)
            o.raw("nuke", JsonObject()
                              .unum("multiplier", mark->multiplier)
                              .str("by", mark->by)
                              .str("reason", mark->reason)
                              .num("time", mark->time)
                              .text());
    }
    o.append_to(out);
}

int cmd_search(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 1, 1, kSearchUsage))
        return kUsage;
    Pattern pattern;
    if (auto why = pattern.take(p->operands[0]))
        return usage_error(inv, *why, kSearchUsage);
    std::size_t limit = Hits::kAll;
    if (auto v = p->value("--limit")) {
        auto n = parse_uint(*v);
        if (!n || *n == 0)
            return usage_error(inv, "--limit needs a whole number from 1, not '" + *v + "'", kSearchUsage);
        limit = static_cast<std::size_t>(std::min<uint64_t>(*n, UINT32_MAX));
    }
    bool dupelog = p->has("--dupelog");
    Hits hits(limit);
    std::string why;
    try {
        if (!(dupelog ? search_dupelog(pattern, hits, why) : search_dirlog(pattern, hits, why)))
            return fail(inv, kRefused, why);
    } catch (const std::bad_alloc &) {
        return fail(inv, kRefused, "too many matches to keep in memory; narrow the pattern or give --limit");
    }
    const std::vector<Hit> &order = hits.newest_first();

    std::unordered_map<std::string, NukeMark> marks;
    bool nukes = p->has("--nukes");
    if (nukes) {
        for (const Hit &h : order)
            marks.try_emplace(mark_key(hits.dirname(h), dupelog));
        if (!read_nukes(marks, dupelog, why))
            return fail(inv, kRefused, why);
    }

    bool json = want_json(inv, *p);
    Owners owners;
    JsonArrayPrinter array;
    for (const Hit &h : order) {
        const NukeMark *mark = nukes ? &marks[mark_key(hits.dirname(h), dupelog)] : nullptr;
        if (json)
            append_json(array.next_item(), hits, h, dupelog, owners, mark);
        else
            append_text(array.out().text(), hits, h, dupelog, owners, mark);
        array.out().done();
    }
    if (json)
        array.finish();
    else
        array.out().flush();
    return order.empty() ? kRefused : kOk;
}

} // namespace

const Command search_command{
    .name = "search",
    .summary = "search PATTERN: releases of the directory log by name, newest first",
    .usage = kSearchUsage,
    .help = kSearchHelp,
    .options = kSearchOptions,
    .run = cmd_search,
};

} // namespace sk::cli
