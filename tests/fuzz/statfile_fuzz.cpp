// Statistics and credits lines, and the userfile edits. The input's first
// line gives the edit: "[!]files kbytes seconds credits stat_section
// credit_section [keywords...]" ("!" puts a folder where the editor's
// temporary copy goes, so that the edit may fail); the rest is the userfile.
// Promises:
//   - a statistics line that parses prints back to a line that parses to
//     the same numbers, and prints back the same again;
//   - the line edits change exactly the numbers they name (sums stopping at
//     the 64-bit limits) and keep every other byte of a credits line;
//   - a userfile edit that fails, or handles no line, leaves the file
//     byte-identical; otherwise every line that is not edited is kept
//     byte-exact, edited lines are what the line edits give, and no
//     temporary file stays.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "fuzzsupport.h"
#include "statfile.h"

namespace {

using Limits = std::numeric_limits<int64_t>;

struct Triple {
    int64_t files, kbytes, seconds;
    bool operator==(const Triple &) const = default;
};

// A parsed line as section 0, 1, 2, ... (the record holds them the other way).
struct Parsed {
    std::string keyword;
    std::vector<Triple> sections;
};

std::optional<Parsed> parse(const std::string &line) {
    gl_stats *s = _gl_parse_stats(line.c_str(), "alice");
    if (!s)
        return std::nullopt;
    Parsed p{s->keyword ? s->keyword : "", {}};
    for (gl_sec_stats *sec = s->sections; sec; sec = sec->next)
        p.sections.insert(p.sections.begin(), Triple{sec->files, sec->kbytes, sec->seconds});
    for (std::size_t i = 0; i < p.sections.size(); ++i)
        if (_gl_get_sec_stats(s, static_cast<int>(i)) == nullptr)
            fuzz::fail("section %zu of \"%s\" cannot be found", i, line.c_str());
    _gl_free_stats(s);
    return p;
}

std::string take(char *text, const char *what, const std::string &line) {
    if (!text)
        fuzz::fail("%s returned NULL for \"%s\"", what, line.c_str());
    std::string s(text);
    std::free(text);
    return s;
}

int64_t add(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? Limits::max() : Limits::min();
    return sum;
}

// The leading number of a token: an optional sign and digits, 0 when there
// are none; nothing when it lies outside the 64-bit range.
std::optional<int64_t> leading_number(const std::string &token) {
    std::size_t i = token.size() > 0 && (token[0] == '+' || token[0] == '-') ? 1 : 0;
    std::size_t digits = i;
    while (digits < token.size() && token[digits] >= '0' && token[digits] <= '9')
        ++digits;
    if (digits == i)
        return 0;
    errno = 0;
    long long v = std::strtoll(token.substr(0, digits).c_str(), nullptr, 10);
    if (errno == ERANGE)
        return std::nullopt;
    return v;
}

void check_round_trip(const std::string &line) {
    std::optional<Parsed> p = parse(line);
    if (!p)
        return;
    gl_stats *s = _gl_parse_stats(line.c_str(), nullptr);
    const std::string text = take(_gl_tostring_stats(s), "_gl_tostring_stats", line);
    _gl_free_stats(s);
    std::optional<Parsed> again = parse(text);
    if (!again || again->keyword != p->keyword || again->sections != p->sections)
        fuzz::fail("\"%s\" prints back as \"%s\", which parses to other numbers", line.c_str(), text.c_str());
    s = _gl_parse_stats(text.c_str(), nullptr);
    const std::string twice = take(_gl_tostring_stats(s), "_gl_tostring_stats", text);
    _gl_free_stats(s);
    if (twice != text)
        fuzz::fail("\"%s\" prints back as \"%s\", then as \"%s\"", line.c_str(), text.c_str(), twice.c_str());
}

struct Edit {
    bool block_temp = false;
    int files = 0;
    int64_t kbytes = 0;
    int seconds = 0;
    int64_t credits = 0;
    int stat_section = 0;
    int credit_section = 0;
    std::vector<std::string> keywords;
};

void check_add_stats(const std::string &line, const Edit &e) {
    const std::string out =
        take(_statfile_add_stats(line.c_str(), "alice", e.files, e.kbytes, e.seconds, e.stat_section),
             "_statfile_add_stats", line);
    std::optional<Parsed> before = parse(line);
    if (!before || e.stat_section < 0 ||
        static_cast<std::size_t>(e.stat_section) >= before->sections.size()) {
        if (out != line)
            fuzz::fail("adding to a missing section changed \"%s\" into \"%s\"", line.c_str(), out.c_str());
        return;
    }
    Parsed want = *before;
    Triple &t = want.sections[static_cast<std::size_t>(e.stat_section)];
    t = {add(t.files, e.files), add(t.kbytes, e.kbytes), add(t.seconds, e.seconds)};
    std::optional<Parsed> after = parse(out);
    if (!after || after->keyword != want.keyword || after->sections != want.sections)
        fuzz::fail("adding to section %d of \"%s\" gave \"%s\"", e.stat_section, line.c_str(), out.c_str());
}

std::vector<Parsed> seen;
void remember(gl_stats *s) {
    Parsed p{s->keyword ? s->keyword : "", {}};
    for (gl_sec_stats *sec = s->sections; sec; sec = sec->next)
        p.sections.insert(p.sections.begin(), Triple{sec->files, sec->kbytes, sec->seconds});
    if (!s->user || std::strcmp(s->user, "alice") != 0)
        fuzz::fail("the callback saw the user \"%s\"", s->user ? s->user : "(none)");
    seen.push_back(std::move(p));
}

void check_reset(const std::string &line, const Edit &e) {
    seen.clear();
    const std::string out =
        take(_statfile_reset_stats(line.c_str(), "alice", e.files, e.kbytes, e.seconds, remember),
             "_statfile_reset_stats", line);
    std::optional<Parsed> before = parse(line);
    if (!before) {
        if (out != line || !seen.empty())
            fuzz::fail("resetting the unparsed \"%s\" gave \"%s\"", line.c_str(), out.c_str());
        return;
    }
    if (seen.size() != 1 || seen[0].sections != before->sections)
        fuzz::fail("resetting \"%s\" showed the callback %zu records, not its old values", line.c_str(),
                   seen.size());
    std::optional<Parsed> after = parse(out);
    const Triple value{e.files, e.kbytes, e.seconds};
    bool ok = after && after->keyword == before->keyword && after->sections.size() == before->sections.size();
    for (std::size_t i = 0; ok && i < after->sections.size(); ++i)
        ok = after->sections[i] == value;
    if (!ok)
        fuzz::fail("resetting \"%s\" gave \"%s\"", line.c_str(), out.c_str());
}

// The words of a line split at runs of spaces, with where each begins.
std::vector<std::pair<std::size_t, std::string>> words(const std::string &line) {
    std::vector<std::pair<std::size_t, std::string>> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        if (i > start)
            out.emplace_back(start, line.substr(start, i - start));
    }
    return out;
}

void check_credits(const std::string &line, const Edit &e) {
    const std::string out =
        take(_statfile_add_credits(line.c_str(), e.credits, e.credit_section), "_statfile_add_credits", line);
    if (!_statfile_is_credit(line.c_str()) || line.find_first_of("\t\v\f") != std::string::npos)
        return; // only the plain form is worked out here
    auto w = words(line);
    std::size_t index = static_cast<std::size_t>(e.credit_section) + 1;
    std::optional<int64_t> old;
    if (e.credit_section >= 0 && index < w.size())
        old = leading_number(w[index].second);
    if (!old) {
        if (out != line)
            fuzz::fail("adding credits to a missing value changed \"%s\" into \"%s\"", line.c_str(),
                       out.c_str());
        return;
    }
    std::string want = line;
    want.replace(w[index].first, w[index].second.size(), std::to_string(add(*old, e.credits)));
    if (out != want)
        fuzz::fail("adding %" PRId64 " to value %d of \"%s\" gave \"%s\", not \"%s\"", e.credits,
                   e.credit_section, line.c_str(), out.c_str(), want.c_str());
}

int64_t number(const std::string &word, int64_t low, int64_t high) {
    std::optional<int64_t> v = leading_number(word);
    int64_t n = v.value_or(word.starts_with('-') ? Limits::min() : Limits::max());
    return n < low ? low : n > high ? high : n;
}

Edit parse_edit(std::string header) {
    Edit e;
    if (header.starts_with('!')) {
        e.block_temp = true;
        header.erase(0, 1);
    }
    auto w = words(header);
    auto at = [&](std::size_t i) { return i < w.size() ? w[i].second : std::string("0"); };
    constexpr int64_t int_max = std::numeric_limits<int>::max(), int_min = std::numeric_limits<int>::min();
    e.files = static_cast<int>(number(at(0), int_min, int_max));
    e.kbytes = number(at(1), Limits::min(), Limits::max());
    e.seconds = static_cast<int>(number(at(2), int_min, int_max));
    e.credits = number(at(3), Limits::min(), Limits::max());
    e.stat_section = static_cast<int>(number(at(4), -1, 1000));
    e.credit_section = static_cast<int>(number(at(5), -1, 1000));
    for (std::size_t i = 6; i < w.size(); ++i)
        e.keywords.push_back(w[i].second);
    return e;
}

// The text before the first space, when it is at most 99 characters (a
// line is read as text: up to a NUL byte in it).
std::optional<std::string> first_word(const std::string &whole) {
    const std::string line = whole.c_str();
    std::size_t space = line.find(' ');
    if (space == std::string::npos || space > 99)
        return std::nullopt;
    return line.substr(0, space);
}

enum class Op { add, reset };

void check_userfile(const std::string &content, const Edit &e, Op op, str_list *keywords) {
    const std::string dir = fuzz::fresh_dir("ftp-data/users");
    const std::string path = dir + "/alice";
    const std::string temp = path + ".pre-tmp";
    fuzz::write_file(path, content);
    std::set<std::string> names{"alice"};
    if (e.block_temp) {
        ::mkdir(temp.c_str(), 0755);
        names.insert("alice.pre-tmp");
    }
    const fuzz::Tree outside = fuzz::snapshot(fuzz::site_root(), "ftp-data/users");
    int r = op == Op::add ? statfile_add_stats(path.c_str(), e.files, e.kbytes, e.seconds, e.credits,
                                               e.stat_section, e.credit_section)
                          : statfile_set_stats(path.c_str(), e.files, e.kbytes, e.seconds, keywords, nullptr);
    const char *what = op == Op::add ? "statfile_add_stats" : "statfile_set_stats";
    fuzz::expect_same_tree(outside, fuzz::snapshot(fuzz::site_root(), "ftp-data/users"), what);
    fuzz::expect_files(dir, names, what);
    const std::string after = fuzz::read_file(path);
    if (r < 0 || r == 0) {
        if (after != content)
            fuzz::fail("%s returned %d and changed the userfile (%zu bytes, now %zu)", what, r,
                       content.size(), after.size());
        return;
    }

    std::string want;
    int handled = 0;
    bool changed = false;
    for (const std::string &line : fuzz::lines_of(content)) {
        std::string out = line;
        bool has_nul = line.find('\0') != std::string::npos;
        if (op == Op::add && e.stat_section >= 0 && _statfile_is_stat(line.c_str())) {
            ++handled;
            if (!has_nul)
                out = take(
                    _statfile_add_stats(line.c_str(), "alice", e.files, e.kbytes, e.seconds, e.stat_section),
                    "_statfile_add_stats", line);
        } else if (op == Op::add && e.credit_section >= 0 && _statfile_is_credit(line.c_str())) {
            ++handled;
            if (!has_nul)
                out = take(_statfile_add_credits(line.c_str(), e.credits, e.credit_section),
                           "_statfile_add_credits", line);
        } else if (op == Op::reset) {
            std::optional<std::string> word = first_word(line);
            if (word && str_search(keywords, word->c_str(), 0)) {
                ++handled;
                if (!has_nul)
                    out = take(
                        _statfile_reset_stats(line.c_str(), "alice", e.files, e.kbytes, e.seconds, nullptr),
                        "_statfile_reset_stats", line);
            }
        }
        changed = changed || out != line;
        want += out + "\n";
    }
    if (r != handled)
        fuzz::fail("%s handled %d lines, not %d", what, r, handled);
    // When no line changes, the file may stay exactly as it was.
    if (after != want && !(after == content && !changed))
        fuzz::fail("%s wrote a userfile other than its lines edited one by one", what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string_view> parts = fuzz::split(fuzz::bytes(data, size), "\n", 2);
    const Edit edit = parse_edit(std::string(parts[0].substr(0, parts[0].find('\0'))));
    const std::string content(parts[1]);

    for (const std::string &line : fuzz::lines_of(content)) {
        if (line.find('\0') != std::string::npos)
            continue;
        check_round_trip(line);
        check_add_stats(line, edit);
        check_reset(line, edit);
        check_credits(line, edit);
    }

    str_list *keywords = nullptr;
    for (const auto &k : edit.keywords)
        keywords = str_add(keywords, k.c_str());
    check_userfile(content, edit, Op::add, keywords);
    check_userfile(content, edit, Op::reset, keywords);
    str_close(keywords);
    return 0;
}
