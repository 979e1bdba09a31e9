#include "acctdb.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <sys/stat.h>

#include "acctscan.h"
#include "internal.h"
#include "linefile.h"

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

// A new record for a passwd line, or nullptr for a line that is skipped.
pwd_user *parse_user(std::string_view line) {
    std::optional<sk::acct::user_fields> f = sk::acct::split_user(line);
    if (!f)
        return nullptr;
    auto *u = static_cast<pwd_user *>(std::calloc(1, sizeof(pwd_user)));
    if (!u)
        throw std::bad_alloc();
    sk::acct::fill_user(*f, *u);
    return u;
}

// A new record for a group line, or nullptr for a line that is skipped.
pwd_group *parse_group(std::string_view line) {
    std::optional<sk::acct::group_fields> f = sk::acct::split_group(line);
    if (!f)
        return nullptr;
    auto *g = static_cast<pwd_group *>(std::calloc(1, sizeof(pwd_group)));
    if (!g)
        throw std::bad_alloc();
    sk::acct::fill_group(*f, *g);
    if (f->members && !(g->members = sk::dup_text(*f->members))) {
        std::free(g);
        throw std::bad_alloc();
    }
    return g;
}

std::string account_path(const char *file) {
    const char *dir = _pwd_get_etcdir();
    return dir ? std::string(dir) + "/" + file : std::string();
}

// Lookups by name and by id over a chain the module loaded. Walking from
// the head (the file's last line) and keeping the first record of each key
// makes the later line win, as the linear walk does. The index answers only
// for the chain of the load it was built after, and only while the head
// record is the one it saw: a chain that was freed and loaded again is a
// new load even where it reuses the old head's address, and a chain a
// caller put in place (perhaps where the freed head was) is walked.
// True when two records hold the same fields and links (padding aside).
bool same_record(const pwd_user &a, const pwd_user &b) noexcept {
    return std::memcmp(a.name, b.name, sizeof a.name) == 0 &&
           std::memcmp(a.passwd, b.passwd, sizeof a.passwd) == 0 && a.uid == b.uid && a.gid == b.gid &&
           std::memcmp(a.gecos, b.gecos, sizeof a.gecos) == 0 &&
           std::memcmp(a.home, b.home, sizeof a.home) == 0 &&
           std::memcmp(a.shell, b.shell, sizeof a.shell) == 0 && a.next == b.next;
}

bool same_record(const pwd_group &a, const pwd_group &b) noexcept {
    return std::memcmp(a.name, b.name, sizeof a.name) == 0 &&
           std::memcmp(a.passwd, b.passwd, sizeof a.passwd) == 0 && a.gid == b.gid &&
           a.members == b.members && a.next == b.next;
}

template <class Record, int Record::*Id> class chain_index {
  public:
    void clear() noexcept {
        head_ = nullptr;
        by_name_.clear();
        by_id_.clear();
    }
    void build(Record *list, unsigned long load) {
        clear();
        try {
            for (Record *r = list; r; r = r->next) {
                by_name_.emplace(r->name, r);
                by_id_.emplace(r->*Id, r);
            }
            head_ = list;
            load_ = load;
            if (list)
                head_seen_ = *list;
        } catch (const std::bad_alloc &) {
            clear(); // lookups fall back to the walk
        }
    }
    bool built_for(const Record *list) const noexcept { return list && list == head_; }

    Record *find_name(Record *list, unsigned long load, const char *name) const {
        if (covers(list, load)) {
            auto it = by_name_.find(name);
            return it == by_name_.end() ? nullptr : it->second;
        }
        for (Record *r = list; r; r = r->next)
            if (std::strcmp(r->name, name) == 0)
                return r;
        return nullptr;
    }
    Record *find_id(Record *list, unsigned long load, int id) const {
        if (covers(list, load)) {
            auto it = by_id_.find(id);
            return it == by_id_.end() ? nullptr : it->second;
        }
        for (Record *r = list; r; r = r->next)
            if (r->*Id == id)
                return r;
        return nullptr;
    }

  private:
    bool covers(const Record *list, unsigned long load) const noexcept {
        return list && list == head_ && load == load_ && same_record(*list, head_seen_);
    }

    const Record *head_ = nullptr;
    unsigned long load_ = 0; // the load that made the chain at head_
    Record head_seen_{};     // a copy of the head record as loaded
    std::unordered_map<std::string_view, Record *> by_name_;
    std::unordered_map<int, Record *> by_id_;
};

using user_index = chain_index<pwd_user, &pwd_user::uid>;
using group_index = chain_index<pwd_group, &pwd_group::gid>;

// Loads made so far, counted apart for each file.
unsigned long user_loads = 0;
unsigned long group_loads = 0;

user_index &users_index() {
    static user_index index;
    return index;
}

group_index &groups_index() {
    static group_index index;
    return index;
}

void free_chain(pwd_user *head) noexcept {
    while (head) {
        pwd_user *next = head->next;
        std::free(head);
        head = next;
    }
}

void free_chain(pwd_group *head) noexcept {
    while (head) {
        pwd_group *next = head->next;
        std::free(head->members);
        std::free(head);
        head = next;
    }
}

// The records of the reader's lines, each put at the head, so that the
// file's last line comes first; nothing is kept when memory runs out.
template <class Record> Record *load_chain(const lfr_reader &reader, Record *(*parse)(std::string_view)) {
    Record *head = nullptr;
    try {
        sk::acct::each_line({reader.data, static_cast<std::size_t>(reader.size)}, [&](std::string_view line) {
            if (Record *r = parse(line)) {
                r->next = head;
                head = r;
            }
        });
    } catch (const std::bad_alloc &) {
        free_chain(head);
        throw;
    }
    return head;
}

void load_users(sk::line_file &file, const struct stat &st) {
    const lfr_reader &reader = file.reader();
    pwd_user *head = load_chain(reader, parse_user);
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
    users_index().build(head, ++user_loads);
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
    pwd_grouplist = load_chain(file.reader(), parse_group);
    groups_index().build(pwd_grouplist, ++group_loads);
    return pwd_grouplist;
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
    if (users_index().built_for(head))
        users_index().clear();
    free_chain(head);
}

extern "C" pwd_user *pwd_getpwnam(const char *name) {
    pwd_userlist = _pwd_reload();
    if (!name)
        return nullptr;
    return users_index().find_name(pwd_userlist, user_loads, name);
}

extern "C" pwd_user *pwd_getpwuid(int uid) {
    pwd_userlist = _pwd_reload();
    return users_index().find_id(pwd_userlist, user_loads, uid);
}

extern "C" pwd_group *pwd_getgpnam(const char *name) {
    if (!name)
        return nullptr;
    pwd_group *list = _pwd_grpreload(); // first: it may load, which counts
    return groups_index().find_name(list, group_loads, name);
}

extern "C" pwd_group *pwd_getgpgid(int gid) {
    pwd_group *list = _pwd_grpreload();
    return groups_index().find_id(list, group_loads, gid);
}
