#include "acctdb.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

#include "internal.h"
#include "linefile.h"
#include "tokens.h"

extern "C" {
char *_etcdir = nullptr;
pwd_user *pwd_userlist = nullptr;
time_t pwd_lastupdate = 0;
pwd_group *pwd_grouplist = nullptr;
}

namespace {

// A file whose modification time lies this close to (or after) the moment it
// was read may still change without a new time stamp: file systems keep
// times at a granularity of a clock tick up to two seconds.
constexpr long long racy_window_ns = 2'000'000'000LL;

// What the passwd cache was loaded from, beyond the seconds kept in
// pwd_lastupdate.
struct passwd_source {
    bool loaded = false;      // the fields below describe the cache
    pwd_user *head = nullptr; // the chain that was loaded
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime {};
    bool racy = false;       // compare the content, not only the status
    std::size_t content = 0; // hash of the bytes loaded
};
passwd_source source;

long long to_ns(const struct timespec &t) {
    return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

bool same_status(const struct stat &st) {
    return source.loaded && source.head == pwd_userlist && st.st_dev == source.dev &&
           st.st_ino == source.ino && st.st_size == source.size && st.st_mtim.tv_sec == source.mtime.tv_sec &&
           st.st_mtim.tv_nsec == source.mtime.tv_nsec;
}

bool is_racy(const struct timespec &mtime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return to_ns(now) - to_ns(mtime) < racy_window_ns;
}

std::size_t hash_of(const lfr_reader &reader) {
    std::string_view bytes(reader.data, static_cast<std::size_t>(reader.size));
    return std::hash<std::string_view>{}(bytes);
}

// A decimal id as far as it forms a number ("12abc" is 12, "abc" is 0).
// False when the number lies outside the int range.
bool read_id(std::string_view text, int &id) {
    std::int64_t value = 0;
    if (!sk::read_leading_int64(text, value) || value < INT_MIN || value > INT_MAX)
        return false;
    id = static_cast<int>(value);
    return true;
}

// Copies a field into its slot; false when it does not fit whole.
bool fill(char *slot, std::size_t width, const char *field) {
    return sk::copy_field(slot, width, field);
}

// A new record for a passwd line, or nullptr for a line that is skipped.
pwd_user *parse_user(const char *line) {
    sk::tokens t(line, ":");
    if (t.left() != 7)
        return nullptr;
    auto *u = static_cast<pwd_user *>(std::calloc(1, sizeof(pwd_user)));
    if (!u)
        return nullptr;
    bool ok = fill(u->name, sizeof u->name, t.peek(0)) && fill(u->passwd, sizeof u->passwd, t.peek(1)) &&
              read_id(t.peek(2), u->uid) && read_id(t.peek(3), u->gid) &&
              fill(u->gecos, sizeof u->gecos, t.peek(4)) && fill(u->home, sizeof u->home, t.peek(5)) &&
              fill(u->shell, sizeof u->shell, t.peek(6));
    if (!ok) {
        std::free(u);
        return nullptr;
    }
    return u;
}

// A new record for a group line, or nullptr for a line that is skipped.
pwd_group *parse_group(const char *line) {
    sk::tokens t(line, ":");
    if (t.left() < 3)
        return nullptr;
    auto *g = static_cast<pwd_group *>(std::calloc(1, sizeof(pwd_group)));
    if (!g)
        return nullptr;
    bool ok = fill(g->name, sizeof g->name, t.peek(0)) && fill(g->passwd, sizeof g->passwd, t.peek(1)) &&
              read_id(t.peek(2), g->gid);
    if (ok && t.left() > 3)
        ok = (g->members = sk::dup_text(t.peek(3))) != nullptr;
    if (!ok) {
        std::free(g);
        return nullptr;
    }
    return g;
}

std::string account_path(const char *file) {
    const char *dir = _pwd_get_etcdir();
    return dir ? std::string(dir) + "/" + file : std::string();
}

// Builds the passwd cache from the reader's lines: each record goes to the
// head, so the file's last line comes first.
// Lookups by name and by uid over the loaded list, built for the head it
// indexes: any other list in pwd_userlist is walked as before. Walking from
// the head (the file's last line) and keeping the first record of each key
// makes the later line win, as the linear walk does.
struct user_index {
    const pwd_user *head = nullptr;
    std::unordered_map<std::string_view, pwd_user *> by_name;
    std::unordered_map<int, pwd_user *> by_uid;

    void clear() {
        head = nullptr;
        by_name.clear();
        by_uid.clear();
    }
    void build(pwd_user *list) {
        clear();
        try {
            for (pwd_user *u = list; u; u = u->next) {
                by_name.emplace(u->name, u);
                by_uid.emplace(u->uid, u);
            }
            head = list;
        } catch (const std::bad_alloc &) {
            clear(); // lookups fall back to the walk
        }
    }
    bool covers(const pwd_user *list) const { return list && list == head; }
};

user_index &users_index() {
    static user_index index;
    return index;
}

void load_users(sk::line_file &file, const struct stat &st) {
    pwd_user *head = nullptr;
    if (!file.each_line([&](const char *line, int, int64_t) {
            if (pwd_user *u = parse_user(line)) {
                u->next = head;
                head = u;
            }
        }))
        throw std::bad_alloc();
    const lfr_reader &reader = file.reader();
    pwd_userlist = head;
    pwd_lastupdate = st.st_mtime;
    source.loaded = true;
    source.head = head;
    source.dev = st.st_dev;
    source.ino = st.st_ino;
    source.size = st.st_size;
    source.mtime = st.st_mtim;
    source.content = hash_of(reader);
    source.racy = is_racy(st.st_mtim);
    users_index().build(head);
}

pwd_user *reload_users() {
    std::string path = account_path("passwd");
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return pwd_userlist;
    if (same_status(st) && !source.racy)
        return pwd_userlist;

    sk::line_file file;
    const lfr_reader &reader = file.reader();
    bool readable = file.open(path.c_str());
    if (readable && same_status(st) && reader.size == source.size && hash_of(reader) == source.content) {
        // Unchanged after all; records handed out stay valid.
        source.racy = is_racy(st.st_mtim);
        return pwd_userlist;
    }
    _pwd_finalize(pwd_userlist);
    if (!readable)
        return nullptr; // pwd_lastupdate is kept; the next lookup tries again
    load_users(file, st);
    return pwd_userlist;
}

pwd_group *reload_groups() {
    if (pwd_grouplist)
        return pwd_grouplist;
    std::string path = account_path("group");
    sk::line_file file;
    if (path.empty() || !file.open(path.c_str()))
        return nullptr;
    pwd_group *head = nullptr;
    // Empty lines are skipped like any line without three fields; the
    // groups after one are read as well.
    if (!file.each_line([&](const char *line, int, int64_t) {
            if (pwd_group *g = parse_group(line)) {
                g->next = head;
                head = g;
            }
        }))
        throw std::bad_alloc();
    pwd_grouplist = head;
    return head;
}

} // namespace

extern "C" void pwd_set_etcdir(const char *dir) {
    char *copy = dir ? sk::dup_text(dir) : nullptr;
    if (dir && !copy)
        return; // out of memory: the old directory stays
    std::free(_etcdir);
    _etcdir = copy;
}

extern "C" const char *_pwd_get_etcdir(void) {
    if (!_etcdir) {
        try {
            _etcdir = sk::dup_text(sk::site_path("/etc"));
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return _etcdir;
}

extern "C" pwd_user *_pwd_reload(void) {
    try {
        return reload_users();
    } catch (const std::bad_alloc &) {
        return pwd_userlist;
    }
}

extern "C" pwd_group *_pwd_grpreload(void) {
    try {
        return reload_groups();
    } catch (const std::bad_alloc &) {
        return pwd_grouplist;
    }
}

extern "C" void _pwd_finalize(pwd_user *head) {
    if (head && head == source.head) {
        source.loaded = false;
        source.head = nullptr;
    }
    if (head && head == pwd_userlist)
        pwd_userlist = nullptr;
    if (users_index().covers(head))
        users_index().clear();
    while (head) {
        pwd_user *next = head->next;
        std::free(head);
        head = next;
    }
}

extern "C" pwd_user *pwd_getpwnam(const char *name) {
    pwd_userlist = _pwd_reload();
    if (!name)
        return nullptr;
    if (const user_index &index = users_index(); index.covers(pwd_userlist)) {
        auto it = index.by_name.find(name);
        return it == index.by_name.end() ? nullptr : it->second;
    }
    for (pwd_user *u = pwd_userlist; u; u = u->next)
        if (std::strcmp(u->name, name) == 0)
            return u;
    return nullptr;
}

extern "C" pwd_user *pwd_getpwuid(int uid) {
    pwd_userlist = _pwd_reload();
    if (const user_index &index = users_index(); index.covers(pwd_userlist)) {
        auto it = index.by_uid.find(uid);
        return it == index.by_uid.end() ? nullptr : it->second;
    }
    for (pwd_user *u = pwd_userlist; u; u = u->next)
        if (u->uid == uid)
            return u;
    return nullptr;
}

extern "C" pwd_group *pwd_getgpnam(const char *name) {
    if (!name)
        return nullptr;
    for (pwd_group *g = _pwd_grpreload(); g; g = g->next)
        if (std::strcmp(g->name, name) == 0)
            return g;
    return nullptr;
}

extern "C" pwd_group *pwd_getgpgid(int gid) {
    for (pwd_group *g = _pwd_grpreload(); g; g = g->next)
        if (g->gid == gid)
            return g;
    return nullptr;
}
