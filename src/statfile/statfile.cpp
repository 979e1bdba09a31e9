#include "statfile.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "linefile.h"
#include "tokens.h"

extern "C" const char STAT_LINES[][20] = {"ALLUP", "WKUP", "DAYUP", "MONTHUP", ""};

namespace {

constexpr std::size_t max_key_length = 99; // longest first word statfile_set_stats looks up

// ---- Numbers ----

int64_t saturating_add(int64_t a, int64_t b) {
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

void append_number(std::string &out, int64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec; // 24 bytes hold every 64-bit value
    out.push_back(' ');
    out.append(buf, end);
}

// ---- Tokens ----

// Statistics and ratio lines: runs of spaces and trailing spaces give empty
// tokens, which separate values but are never values themselves.
const char *next_word(st_state *st) {
    for (const char *tok; (tok = st_next(st)) != nullptr;)
        if (*tok != '\0')
            return tok;
    return nullptr;
}

// True when at least n words are left. The scan stops at the n-th word, so
// that taking a line's triples one after another stays linear in its length.
bool words_left(const st_state *st, std::size_t n) {
    const char *tok;
    for (int ahead = 0; n > 0 && (tok = st_peek(st, ahead)) != nullptr; ++ahead)
        if (*tok != '\0')
            --n;
    return n == 0;
}

enum class triple { ok, end, bad };

triple parse_triple(st_state *st, int *counter, gl_sec_stats **out) {
    *out = nullptr;
    if (!words_left(st, 3))
        return triple::end;
    int64_t numbers[3];
    for (int64_t &n : numbers)
        if (!sk::read_leading_int64(next_word(st), n))
            return triple::bad;
    auto *sec = static_cast<gl_sec_stats *>(std::malloc(sizeof(gl_sec_stats)));
    if (!sec)
        return triple::bad;
    sec->section = (*counter)++;
    sec->files = numbers[0];
    sec->kbytes = numbers[1];
    sec->seconds = numbers[2];
    sec->next = nullptr;
    *out = sec;
    return triple::ok;
}

using stats_ptr = std::unique_ptr<gl_stats, decltype(&_gl_free_stats)>;

stats_ptr parse(const char *line, const char *user) {
    return stats_ptr(_gl_parse_stats(line, user), &_gl_free_stats);
}

// ---- The userfile editor ----

// The userfile opened and locked (flock, exclusive) for an edit. The lock
// is taken on the file that the path names when the lock is had: an editor
// that waited while another renamed a new copy into place opens that copy
// and tries again.
struct locked_file {
    sk::unique_fd fd;
    std::optional<sk::flock_guard> lock; // released before fd closes
    struct stat st {};
};

bool lock_userfile(const char *path, locked_file &file) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        file.lock.reset();
        file.fd = sk::open_regular(path, O_RDONLY).fd;
        if (!file.fd)
            return false;
        file.lock.emplace(file.fd.get());
        if (!file.lock->locked())
            return false;
        struct stat now;
        if (fstat(file.fd.get(), &file.st) != 0 || ::stat(path, &now) != 0)
            return false;
        if (now.st_dev == file.st.st_dev && now.st_ino == file.st.st_ino)
            return true;
    }
    return false;
}

// What an operation makes of one line: pass it through, or write the new
// text (handled), or fail (memory ran out).
enum class choice { pass, handled, fail };
using line_chooser = choice (*)(const char *line, const void *ctx, sk::malloc_ptr<char> &out);

// The part of path after its last "/", or none.
const char *user_of(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : nullptr;
}

// Reads the userfile and builds its new text, each line chosen by choose and
// ended by one LF; when some line's text changed, writes the new text to the
// temporary file and renames it over the userfile, all under the userfile's
// lock. When no line changed the userfile is left as it is, line ends and
// all. Lines are read whole: the limit is the file's size. A line that holds
// a NUL byte cannot be parsed without losing what follows the NUL; it is
// written back byte for byte (and counted when recognised).
int rewrite_userfile(const char *path, line_chooser choose, const void *ctx) {
    if (!path)
        return -1;
    locked_file file;
    if (!lock_userfile(path, file))
        return -1;
    sk::line_file lines;
    const lfr_reader &reader = lines.reader();
    if (!lines.open(path) || reader.size >= INT_MAX)
        return -1; // lines of a file of 2 GiB could not be handed out whole

    std::string text;
    text.reserve(static_cast<std::size_t>(reader.size) + 1);
    bool changed = false;
    bool failed = false;
    int count = 0;
    bool read = lines.each_line([&](const char *line, int n, int64_t start) {
        sk::malloc_ptr<char> rebuilt;
        choice c = choose(line, ctx, rebuilt);
        if (c == choice::fail) {
            failed = true;
            return false;
        }
        if (c == choice::handled)
            ++count;
        std::string_view as_read(line, static_cast<std::size_t>(n));
        std::string_view out = as_read;
        if (std::strlen(line) < as_read.size())
            out = std::string_view(reader.data + start, as_read.size());
        else if (c == choice::handled && as_read != rebuilt.get()) {
            out = rebuilt.get();
            changed = true;
        }
        text.append(out);
        text.push_back('\n');
        return true;
    });
    if (!read || failed)
        return -1;
    if (!changed)
        return count;

    // A fixed temporary name, readable only by its owner until it gets the
    // userfile's permission bits. A stale one left by a crash is removed
    // first; holding the userfile's lock, no other editor uses it.
    const sk::replacement::options how{
        .suffix = ".pre-tmp", .stale = sk::replacement::leftover::remove_any, .keep_same = true};
    sk::replacement tmp;
    if (!tmp.open(path, how) || !sk::write_all(tmp.fd(), text.data(), text.size()) || !tmp.commit(&file.st))
        return -1;
    return count;
}

struct add_args {
    const char *user;
    int files;
    int64_t kbytes;
    int seconds;
    int64_t credits;
    int stat_section;
    int credit_section;
};

choice choose_add(const char *line, const void *ctx, sk::malloc_ptr<char> &out) {
    const auto *a = static_cast<const add_args *>(ctx);
    if (a->stat_section >= 0 && _statfile_is_stat(line))
        out.reset(_statfile_add_stats(line, a->user, a->files, a->kbytes, a->seconds, a->stat_section));
    else if (a->credit_section >= 0 && _statfile_is_credit(line))
        out.reset(_statfile_add_credits(line, a->credits, a->credit_section));
    else
        return choice::pass;
    return out ? choice::handled : choice::fail;
}

struct set_args {
    const char *user;
    int files;
    int64_t kbytes;
    int seconds;
    const str_list *keywords;
    gl_stats_callback callback;
};

choice choose_set(const char *line, const void *ctx, sk::malloc_ptr<char> &out) {
    const auto *a = static_cast<const set_args *>(ctx);
    const char *space = std::strchr(line, ' ');
    if (!space || static_cast<std::size_t>(space - line) > max_key_length)
        return choice::pass;
    char key[max_key_length + 1];
    std::memcpy(key, line, static_cast<std::size_t>(space - line));
    key[space - line] = '\0';
    if (!str_search(a->keywords, key, 0))
        return choice::pass;
    out.reset(_statfile_reset_stats(line, a->user, a->files, a->kbytes, a->seconds, a->callback));
    return out ? choice::handled : choice::fail;
}

} // namespace

// ---- Line recognition, parsing and rebuilding ----

extern "C" int _statfile_is_stat(const char *line) {
    if (!line)
        return 0;
    for (const char *keyword : STAT_LINES) {
        if (keyword[0] == '\0')
            break;
        if (sk::ascii_istarts_with(line, keyword))
            return 1;
    }
    return 0;
}

extern "C" int _statfile_is_credit(const char *line) {
    return line && sk::ascii_istarts_with(line, "CREDITS ") ? 1 : 0;
}

extern "C" gl_stats *_gl_parse_stats(const char *line, const char *user) {
    if (!line)
        return nullptr;
    sk::tokens t(line, " ");
    if (!t.ok() || !words_left(t.get(), 4))
        return nullptr;
    stats_ptr stats(static_cast<gl_stats *>(std::calloc(1, sizeof(gl_stats))), &_gl_free_stats);
    if (!stats)
        return nullptr;
    stats->keyword = sk::dup_text(next_word(t.get()));
    if (!stats->keyword)
        return nullptr;
    if (user && !(stats->user = sk::dup_text(user)))
        return nullptr;
    int counter = 0;
    for (;;) {
        gl_sec_stats *sec;
        triple r = parse_triple(t.get(), &counter, &sec);
        if (r == triple::end)
            break;
        if (r == triple::bad)
            return nullptr;
        sec->next = stats->sections;
        stats->sections = sec;
    }
    return stats.release();
}

extern "C" gl_sec_stats *_gl_parse_sec_stats(st_state *tokenizer, int *counter) {
    if (!tokenizer || !counter)
        return nullptr;
    gl_sec_stats *sec;
    return parse_triple(tokenizer, counter, &sec) == triple::ok ? sec : nullptr;
}

extern "C" gl_sec_stats *_gl_get_sec_stats(gl_stats *stats, int section) {
    if (!stats)
        return nullptr;
    for (gl_sec_stats *s = stats->sections; s; s = s->next)
        if (s->section == section)
            return s;
    return nullptr;
}

extern "C" char *_gl_tostring_stats(gl_stats *stats) {
    if (!stats)
        return nullptr;
    try {
        // Section numbers 0..n-1 of a list of n records, each the first
        // record from the head with its number, as _gl_get_sec_stats finds.
        std::vector<gl_sec_stats *> by_number;
        for (gl_sec_stats *s = stats->sections; s; s = s->next)
            by_number.push_back(nullptr);
        for (gl_sec_stats *s = stats->sections; s; s = s->next)
            if (s->section >= 0 && static_cast<std::size_t>(s->section) < by_number.size() &&
                !by_number[static_cast<std::size_t>(s->section)])
                by_number[static_cast<std::size_t>(s->section)] = s;
        std::string text(stats->keyword ? stats->keyword : "");
        for (gl_sec_stats *s : by_number) {
            if (!s)
                break;
            append_number(text, s->files);
            append_number(text, s->kbytes);
            append_number(text, s->seconds);
        }
        return sk::dup_text(text);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

extern "C" void _gl_free_stats(gl_stats *stats) {
    if (!stats)
        return;
    for (gl_sec_stats *s = stats->sections; s;) {
        gl_sec_stats *next = s->next;
        std::free(s);
        s = next;
    }
    std::free(stats->user);
    std::free(stats->keyword);
    std::free(stats);
}

// ---- Line editing ----

extern "C" char *_statfile_add_stats(const char *line, const char *user, int files, int64_t kbytes,
                                     int seconds, int section) {
    if (!line)
        return nullptr;
    stats_ptr stats = parse(line, user);
    gl_sec_stats *sec = _gl_get_sec_stats(stats.get(), section);
    if (!sec)
        return sk::dup_text(line);
    sec->files = saturating_add(sec->files, files);
    sec->kbytes = saturating_add(sec->kbytes, kbytes);
    sec->seconds = saturating_add(sec->seconds, seconds);
    return _gl_tostring_stats(stats.get());
}

extern "C" char *_statfile_reset_stats(const char *line, const char *user, int files, int64_t kbytes,
                                       int seconds, gl_stats_callback callback) {
    if (!line)
        return nullptr;
    stats_ptr stats = parse(line, user);
    if (!stats)
        return sk::dup_text(line);
    if (callback)
        callback(stats.get());
    for (gl_sec_stats *s = stats->sections; s; s = s->next) {
        s->files = files;
        s->kbytes = kbytes;
        s->seconds = seconds;
    }
    return _gl_tostring_stats(stats.get());
}

extern "C" char *_statfile_add_credits(const char *line, int64_t amount, int section) {
    if (!line)
        return nullptr;
    try {
        sk::tokens t(line, " ");
        if (!t.ok())
            return nullptr;
        // Joining the tokens with single spaces gives the line back as it
        // was; only the chosen value is replaced. Empty tokens (runs of
        // spaces) are kept but are not values.
        const char *first = t.next();
        std::string text(first ? first : "");
        int value_index = 0;
        for (const char *tok; (tok = st_next(t.get())) != nullptr;) {
            if (*tok != '\0' && value_index++ == section) {
                int64_t value;
                if (!sk::read_leading_int64(tok, value))
                    return sk::dup_text(line);
                append_number(text, saturating_add(value, amount));
                continue;
            }
            text.push_back(' ');
            text.append(tok);
        }
        return sk::dup_text(text);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// ---- Userfile operations ----

extern "C" int statfile_add_stats(const char *path, int files, int64_t kbytes, int seconds, int64_t credits,
                                  int stat_section, int credit_section) {
    try {
        if (!path)
            return -1;
        add_args a{user_of(path), files, kbytes, seconds, credits, stat_section, credit_section};
        return rewrite_userfile(path, choose_add, &a);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

extern "C" int statfile_set_stats(const char *path, int files, int64_t kbytes, int seconds,
                                  const str_list *keywords, gl_stats_callback callback) {
    try {
        if (!path)
            return -1;
        set_args a{user_of(path), files, kbytes, seconds, keywords, callback};
        return rewrite_userfile(path, choose_set, &a);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

extern "C" int statfile_get_ratio(const char *path, int section) {
    if (!path || section < 0)
        return -1;
    try {
        sk::line_file lines;
        if (!lines.open(path) || lines.reader().size >= INT_MAX)
            return -1;
        std::string ratio_line;
        bool found = false;
        if (!lines.each_line([&](const char *line, int, int64_t) {
                found = sk::ascii_istarts_with(line, "RATIO ");
                if (found)
                    ratio_line = line;
                return !found;
            }))
            return -1;
        if (!found)
            return -1;
        sk::tokens t(ratio_line.c_str(), " ");
        if (!t.ok())
            return -1;
        next_word(t.get()); // the keyword
        if (!words_left(t.get(), static_cast<std::size_t>(section) + 1))
            return -1;
        for (int i = 0; i < section; ++i)
            next_word(t.get());
        int64_t value;
        sk::read_leading_int64(next_word(t.get()), value); // clamped when past 64 bits
        if (value > INT_MAX)
            return INT_MAX;
        if (value < INT_MIN)
            return INT_MIN;
        return static_cast<int>(value);
    } catch (const std::bad_alloc &) {
        return -1;
    }
}
