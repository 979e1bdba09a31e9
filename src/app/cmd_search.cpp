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
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>

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
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
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

// A search pattern: a plain word (found anywhere in the name) or a shell
// pattern (matched against the whole name), case ignored either way.
class Pattern {
  public:
    // Nothing when the pattern is fine; otherwise why it is refused.
    std::optional<std::string> take(std::string_view text) {
        if (text.empty())
            return "the pattern is empty; give a word or a pattern such as '*'";
        if (text.find('/') != std::string_view::npos)
            return "the pattern holds a '/', but it is matched against the release name alone";
        if (text.find('\0') != std::string_view::npos)
            return "the pattern holds a NUL byte";
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\') {
                ++i;
            } else if (text[i] == '*' || text[i] == '?') {
                glob_ = true;
            } else if (text[i] == '[') {
                glob_ = true;
                std::size_t end = bracket_end(text, i);
                if (end == std::string_view::npos)
                    return "the '[' at position " + std::to_string(i + 1) +
                           " has no closing ']'; write [[] for a '[' itself";
                i = end;
            }
        }
        text_ = glob_ ? std::string(text) : ascii_lowercase(text);
        return std::nullopt;
    }

    bool matches(std::string_view name) const {
        char buf[256];
        if (name.size() >= sizeof buf)
            name = name.substr(0, sizeof buf - 1);
        if (glob_) {
            std::memcpy(buf, name.data(), name.size());
            buf[name.size()] = '\0';
            return fnmatch(text_.c_str(), buf, FNM_CASEFOLD) == 0;
        }
        if (name.size() < text_.size())
            return false;
        for (std::size_t i = 0; i < name.size(); ++i)
            buf[i] = ascii_lower(name[i]);
        return std::string_view(buf, name.size()).find(text_) != std::string_view::npos;
    }

  private:
    std::string text_; // the plain word in lower case, or the pattern as given
    bool glob_ = false;
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

struct Hits {
    std::vector<Hit> list;
    std::string texts;

    std::string_view text(const Hit &h) const { return {texts.data() + h.text, h.text_size}; }
    std::string_view date(const Hit &h) const { return text(h).substr(0, h.date_size); }
    std::string_view dirname(const Hit &h) const { return text(h).substr(h.date_size); }
};

void add_hit(Hits &hits, Hit hit, std::string_view date, std::string_view dirname) {
    hit.order = static_cast<uint32_t>(hits.list.size());
    hit.text = static_cast<uint32_t>(hits.texts.size());
    hit.date_size = static_cast<uint16_t>(date.size());
    hit.text_size = static_cast<uint16_t>(date.size() + dirname.size());
    hits.texts.append(date).append(dirname);
    hits.list.push_back(hit);
}

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
        why = open_failure("cannot read the directory log", path, log, "put the daemon's directory log there");
        return false;
    }
    sitelogs::dirlog_walk walk = sitelogs::read_dirlog(log.fd.get(), [&](const dirlog_record &r) {
        std::string_view dir = field_view(r.dirname, sizeof r.dirname);
        if (!pattern.matches(release_name(dir)))
            return;
        add_hit(hits, Hit{.time = r.time, .bytes = r.bytes, .user_id = r.user_id, .files = r.files}, {}, dir);
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
            add_hit(hits, Hit{}, line.substr(0, space), name);
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
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (auto v = p->value("--limit")) {
        auto n = parse_uint(*v);
        if (!n || *n == 0)
            return usage_error(inv, "--limit needs a whole number from 1, not '" + *v + "'", kSearchUsage);
        limit = static_cast<std::size_t>(std::min<uint64_t>(*n, limit));
    }
    bool dupelog = p->has("--dupelog");
    Hits hits;
    std::string why;
    if (!(dupelog ? search_dupelog(pattern, hits, why) : search_dirlog(pattern, hits, why)))
        return fail(inv, kRefused, why);

    // Newest first: by the record's time, of equal times (and in the dupe
    // log, which has only dates) the later line first.
    std::vector<uint32_t> order(hits.list.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<uint32_t>(order.size() - 1 - i);
    auto newer = [&](uint32_t a, uint32_t b) {
        const Hit &x = hits.list[a], &y = hits.list[b];
        return x.time != y.time ? x.time > y.time : a > b;
    };
    std::size_t shown = std::min(limit, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown), order.end(), newer);
    order.resize(shown);

    std::unordered_map<std::string, NukeMark> marks;
    bool nukes = p->has("--nukes");
    if (nukes) {
        for (uint32_t i : order)
            marks.try_emplace(mark_key(hits.dirname(hits.list[i]), dupelog));
        if (!read_nukes(marks, dupelog, why))
            return fail(inv, kRefused, why);
    }

    bool json = want_json(inv, *p);
    Owners owners;
    JsonArrayPrinter array;
    for (uint32_t i : order) {
        const Hit &h = hits.list[i];
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
