// sitekit stats top: ranks the users of the users folder by one section of
// one statistics line of their userfiles, parsed by the statfile library.
#include "stats_top.h"

#include "acctdb.h"
#include "commands.h"
#include "internal.h"
#include "statfile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sk::cli {

namespace {

constexpr const char *kUsersDir = "/ftp-data/users";

// The statistics line of each period, uploads then downloads.
struct Period {
    std::string_view name, up, down;
};
constexpr Period kPeriods[] = {{"all", "ALLUP", "ALLDN"},
                               {"month", "MONTHUP", "MONTHDN"},
                               {"week", "WKUP", "WKDN"},
                               {"day", "DAYUP", "DAYDN"}};

enum class By { files, bytes, time };

struct Query {
    std::string_view keyword = "ALLUP";
    int section = 0;
    By by = By::bytes;
    std::size_t limit = 10;
    bool one_group = false;                  // --group given
    std::unordered_set<std::string> members; // its members
};

// One user's figures of the line's section.
struct Row {
    std::string name;
    int64_t files = 0, kbytes = 0, seconds = 0;
};

int64_t key_of(const Row &r, By by) {
    return by == By::files ? r.files : by == By::bytes ? r.kbytes : r.seconds;
}

// Names in the users folder that are no user's: hidden files, the
// daemon's templates (default.user) and the statistics editor's copies.
bool is_user_name(std::string_view name) {
    return !name.empty() && name.front() != '.' && !name.starts_with("default.") &&
           !name.ends_with(".pre-tmp");
}

// Finds the line of the keyword (the first whose first word it is, case
// ignored) in a userfile's bytes and reads its section into row. Lines end
// at LF (a CR before it is dropped) and their text at a NUL byte. False
// with why when the line is missing or the statfile parser refuses it (no
// whole triple, a number beyond 64 bits); a line with fewer sections than
// asked for counts as zeros.
bool read_section(std::string_view data, const Query &q, Row &row, std::string &why) {
    while (!data.empty()) {
        auto end = data.find('\n');
        std::string_view line = data.substr(0, end);
        data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
        if (auto nul = line.find('\0'); nul != std::string_view::npos)
            line = line.substr(0, nul);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::string_view first = line.substr(0, line.find(' '));
        if (!ascii_iequals(first, q.keyword))
            continue;
        std::string text(line);
        std::unique_ptr<gl_stats, decltype(&_gl_free_stats)> stats(_gl_parse_stats(text.c_str(), nullptr),
                                                                   &_gl_free_stats);
        if (!stats) {
            why = "its " + std::string(q.keyword) + " line does not parse";
            return false;
        }
        if (const gl_sec_stats *s = _gl_get_sec_stats(stats.get(), q.section)) {
            row.files = s->files;
            row.kbytes = s->kbytes;
            row.seconds = s->seconds;
        }
        return true;
    }
    why = "it has no " + std::string(q.keyword) + " line";
    return false;
}

// The members of a group through the account cache: the users the passwd
// file gives that group (of two lines of one name, the later one counts, as
// a lookup finds it) and those the group file lists, comma-separated.
std::unordered_set<std::string> members_of(const pwd_group &group) {
    std::unordered_set<std::string> seen, members;
    for (const pwd_user *u = _pwd_reload(); u; u = u->next)
        if (seen.insert(u->name).second && u->gid == group.gid)
            members.insert(u->name);
    std::string_view listed = group.members ? group.members : "";
    while (!listed.empty()) {
        auto end = listed.find_first_of(", ");
        if (end != 0)
            members.emplace(listed.substr(0, end));
        listed.remove_prefix(end == std::string_view::npos ? listed.size() : end + 1);
    }
    return members;
}

// The user's group name through the account cache; empty when there is none.
std::string group_of(const std::string &name) {
    const pwd_user *u = pwd_getpwnam(name.c_str());
    const pwd_group *g = u ? pwd_getgpgid(u->gid) : nullptr;
    return g ? g->name : "";
}

// Reads the userfile name of the folder open at dir into buf, growing it
// as needed. Opened without waiting (a FIFO is refused, not waited on); the
// folder's entry type spares the status call for a plain file. Reads until
// a read returns less than asked: on a regular file that is its end. False
// with errno set, or with errno 0 for something that is no regular file.
bool read_userfile(int dir, const char *name, unsigned char type, std::string &buf, std::size_t &size) {
    sk::unique_fd fd(openat(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return false;
    struct stat st {};
    if (type != DT_REG) {
        if (fstat(fd.get(), &st) != 0)
            return false;
        if (!S_ISREG(st.st_mode)) {
            errno = 0;
            return false;
        }
    }
    size = 0;
    for (;;) {
        if (buf.size() - size < 4096)
            buf.resize(std::max<std::size_t>(2 * buf.size(), 1 << 16));
        ssize_t got = ::read(fd.get(), buf.data() + size, buf.size() - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        size += static_cast<std::size_t>(got);
        if (size < buf.size())
            return true;
    }
}

// Reads every userfile of the folder into rows; a userfile that cannot be
// read or parsed is named on standard error and left out. False when the
// folder itself cannot be read.
bool read_users(const std::string &folder, const Query &q, std::vector<Row> &rows) {
    sk::unique_dir dir(opendir(folder.c_str()));
    if (!dir)
        return false;
    std::string buf, why;
    std::size_t size = 0;
    while (const dirent *e = readdir(dir.get())) {
        std::string_view name = e->d_name;
        if (!is_user_name(name) || e->d_type == DT_DIR)
            continue;
        if (!read_userfile(dirfd(dir.get()), e->d_name, e->d_type, buf, size)) {
            if (errno != 0)
                std::fprintf(stderr, "sitekit stats: cannot read the userfile %s/%s: %s; left out\n",
                             folder.c_str(), e->d_name, std::strerror(errno));
            continue;
        }
        Row row;
        if (!read_section(std::string_view(buf.data(), size), q, row, why)) {
            std::fprintf(stderr, "sitekit stats: the userfile %s/%s is left out: %s\n", folder.c_str(),
                         e->d_name, why.c_str());
            continue;
        }
        if (row.files == 0 && row.kbytes == 0 && row.seconds == 0)
            continue;
        row.name = name;
        if (q.one_group && q.members.find(row.name) == q.members.end())
            continue;
        rows.push_back(std::move(row));
    }
    return true;
}

// An amount of KiB as people read it: "512 KiB", "1.5 MiB", "3.2 GiB".
std::string human_kib(double kib, const char *per = "") {
    constexpr const char *kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    std::size_t unit = 0;
    while (unit + 1 < std::size(kUnits) && (kib >= 1024 || kib <= -1024)) {
        kib /= 1024;
        ++unit;
    }
    char text[64];
    if (unit == 0 && kib == static_cast<double>(static_cast<int64_t>(kib)))
        (void)std::snprintf(text, sizeof text, "%lld %s%s", static_cast<long long>(kib), kUnits[unit], per);
    else
        (void)std::snprintf(text, sizeof text, "%.1f %s%s", kib, kUnits[unit], per);
    return text;
}

// The average speed in KiB/s, or nullopt without time.
std::optional<double> speed_of(const Row &r) {
    if (r.seconds <= 0)
        return std::nullopt;
    return static_cast<double>(r.kbytes) / static_cast<double>(r.seconds);
}

void print_text(const std::vector<Row> &rows, const std::vector<std::string> &groups) {
    struct Cells {
        std::string rank, name, group, files, amount, speed;
    };
    std::vector<Cells> cells;
    std::size_t width[6] = {};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        auto speed = speed_of(r);
        Cells c{std::to_string(i + 1) + ".",
                r.name,
                groups[i].empty() ? "-" : groups[i],
                std::to_string(r.files) + (r.files == 1 ? " file" : " files"),
                human_kib(static_cast<double>(r.kbytes)),
                speed ? human_kib(*speed, "/s") : "-"};
        std::string *fields[] = {&c.rank, &c.name, &c.group, &c.files, &c.amount, &c.speed};
        for (std::size_t k = 0; k < 6; ++k)
            width[k] = std::max(width[k], fields[k]->size());
        cells.push_back(std::move(c));
    }
    for (const Cells &c : cells) {
        // Rank and numbers to the right, the names to the left; no spaces
        // at the end of a line.
        std::printf("%*s %-*s  %-*s  %*s  %*s  %*s\n", static_cast<int>(width[0]), c.rank.c_str(),
                    static_cast<int>(width[1]), c.name.c_str(), static_cast<int>(width[2]), c.group.c_str(),
                    static_cast<int>(width[3]), c.files.c_str(), static_cast<int>(width[4]), c.amount.c_str(),
                    static_cast<int>(width[5]), c.speed.c_str());
    }
}

void print_json(const std::vector<Row> &rows, const std::vector<std::string> &groups) {
    std::vector<std::string> items;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row &r = rows[i];
        auto speed = speed_of(r);
        char speed_text[64] = "null";
        if (speed)
            (void)std::snprintf(speed_text, sizeof speed_text, "%.1f", *speed);
        items.push_back(JsonObject()
                            .unum("rank", i + 1)
                            .str("name", r.name)
                            .raw("group", groups[i].empty() ? "null" : json_string(groups[i]))
                            .num("files", r.files)
                            .num("kbytes", r.kbytes)
                            .num("seconds", r.seconds)
                            .str("amount", human_kib(static_cast<double>(r.kbytes)))
                            .raw("speed_kibs", speed_text)
                            .text());
    }
    print_json_array(items);
}

} // namespace

int stats_top(Invocation &inv, const Parsed &p, std::string_view usage) {
    if (!want_operands(p, inv, 1, 2, usage))
        return kUsage;
    bool down = false;
    if (p.operands.size() == 2) {
        if (p.operands[1] != "up" && p.operands[1] != "down")
            return usage_error(inv, "'top' takes up or down, not '" + p.operands[1] + "'", usage);
        down = p.operands[1] == "down";
    }
    Query q;
    std::string period = p.value("--period").value_or("all");
    auto it = std::find_if(std::begin(kPeriods), std::end(kPeriods),
                           [&](const Period &x) { return x.name == period; });
    if (it == std::end(kPeriods))
        return usage_error(inv, "--period is all, month, week or day, not '" + period + "'", usage);
    q.keyword = down ? it->down : it->up;
    if (auto v = p.value("--section")) {
        auto n = parse_int(*v);
        if (!n || *n < 0 || *n > INT32_MAX)
            return usage_error(inv, "--section must be a section number from 0, not '" + *v + "'", usage);
        q.section = static_cast<int>(*n);
    }
    std::string by = p.value("--by").value_or("bytes");
    if (by == "files")
        q.by = By::files;
    else if (by == "time")
        q.by = By::time;
    else if (by != "bytes")
        return usage_error(inv, "--by is files, bytes or time, not '" + by + "'", usage);
    if (auto v = p.value("--limit")) {
        auto n = parse_uint(*v);
        if (!n || *n == 0)
            return usage_error(inv, "--limit needs a whole number from 1, not '" + *v + "'", usage);
        q.limit = static_cast<std::size_t>(std::min<uint64_t>(*n, SIZE_MAX));
    }
    if (auto g = p.value("--group")) {
        const pwd_group *group = pwd_getgpnam(g->c_str());
        if (!group) {
            const char *etc = _pwd_get_etcdir();
            return fail(inv, kRefused,
                        "no group '" + *g + "' in the group file " + (etc ? etc : "") + "/group");
        }
        q.one_group = true;
        q.members = members_of(*group);
    }

    std::string folder = site_path(kUsersDir);
    std::vector<Row> rows;
    if (!read_users(folder, q, rows))
        return fail(inv, kRefused, "cannot read the users folder " + folder + ": " + std::strerror(errno));
    // Most first; of equal figures, by name.
    std::size_t shown = std::min(q.limit, rows.size());
    std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(shown), rows.end(),
                      [&](const Row &a, const Row &b) {
                          int64_t x = key_of(a, q.by), y = key_of(b, q.by);
                          return x != y ? x > y : a.name < b.name;
                      });
    rows.resize(shown);
    std::vector<std::string> groups;
    groups.reserve(rows.size());
    for (const Row &r : rows)
        groups.push_back(group_of(r.name));
    if (want_json(inv, p))
        print_json(rows, groups);
    else
        print_text(rows, groups);
    return rows.empty() ? kRefused : kOk;
}

} // namespace sk::cli
