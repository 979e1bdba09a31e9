#include "sfvcheck.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "acctdb.h"
#include "internal.h"
#include "strmatch.h"
#include "textfill.h"

namespace {

struct Entry {
    std::string name;
    unsigned long crc;
    int line;
};
using Entries = std::vector<Entry>;

// A refused SFV or upload: the reason, without the upload's name.
struct Failure {
    std::string why;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<unsigned long> parse_hex(std::string_view text, std::size_t min, std::size_t max) {
    if (text.size() < min || text.size() > max || !std::all_of(text.begin(), text.end(), is_hex))
        return std::nullopt;
    unsigned long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return value;
}

std::string crc_text(unsigned long crc) {
    char buf[16];
    (void)std::snprintf(buf, sizeof buf, "%08lX", crc & 0xffffffffUL);
    return buf;
}

// Why a listed name cannot be a file of the release; nullopt when it can.
std::optional<std::string> bad_name(std::string_view name) {
    if (name.size() > SFV_NAME_MAX)
        return "the name is longer than " + std::to_string(SFV_NAME_MAX) + " bytes";
    if (name.find('\0') != std::string_view::npos)
        return std::string("the name holds a NUL byte");
    if (name.find('/') != std::string_view::npos)
        return "the name '" + std::string(name) + "' holds a '/' (the release is one directory)";
    if (name == "." || name == "..")
        return "the name '" + std::string(name) + "' is not a file";
    return std::nullopt;
}

std::optional<Failure> parse(std::string_view text, Entries &out) {
    out.clear();
    std::unordered_map<std::string, int> seen; // lower-cased name -> line
    int number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        line = trim(line);
        if (line.empty() || line.front() == ';')
            continue;
        auto where = "line " + std::to_string(number) + ": ";
        std::size_t blank = line.find_last_of(" \t");
        if (blank == std::string_view::npos)
            return Failure{where + "no CRC after the name"};
        std::string_view crc = line.substr(blank + 1);
        std::string_view name = trim(line.substr(0, blank));
        std::optional<unsigned long> value = parse_hex(crc, 8, 8);
        if (!value)
            return Failure{where + "'" + std::string(crc.substr(0, 16)) + "' is not a CRC (8 hex digits)"};
        if (std::optional<std::string> why = bad_name(name))
            return Failure{where + *why};
        auto [at, fresh] = seen.emplace(sk::ascii_lowercase(name), number);
        if (!fresh)
            return Failure{where + "'" + std::string(name) + "' is listed again (first on line " +
                           std::to_string(at->second) + ")"};
        out.push_back(Entry{std::string(name), *value, number});
    }
    if (out.empty())
        return Failure{"the SFV lists no files"};
    return std::nullopt;
}

std::string open_failure(const sk::regular_file &f) {
    if (f.error == ELOOP)
        return "it is a symbolic link";
    if (f.not_regular)
        return "it is not a regular file";
    return std::strerror(f.error);
}

std::optional<Failure> load(const std::string &path, Entries &out) {
    sk::regular_file f = sk::open_regular(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (!f)
        return Failure{"cannot read the SFV: " + open_failure(f)};
    if (f.st.st_size > SFV_SIZE_MAX)
        return Failure{"the SFV is larger than " + std::to_string(SFV_SIZE_MAX) + " bytes"};
    // One byte more than the file's size shows a file that grew meanwhile.
    std::string text(static_cast<std::size_t>(f.st.st_size) + 1, '\0');
    ssize_t got = sk::read_full(f.fd.get(), text.data(), text.size());
    if (got < 0)
        return Failure{std::string("cannot read the SFV: ") + std::strerror(errno)};
    if (got > f.st.st_size)
        return Failure{"the SFV changed while it was read"};
    text.resize(static_cast<std::size_t>(got));
    return parse(text, out);
}

std::optional<Failure> file_crc(const std::string &path, unsigned long &crc) {
    sk::regular_file f = sk::open_regular(path.c_str(), O_RDONLY);
    if (!f)
        return Failure{"cannot be read: " + open_failure(f)};
    std::unique_ptr<unsigned char[]> block(new unsigned char[SFV_BLOCK_SIZE]);
    uLong sum = crc32(0L, Z_NULL, 0);
    for (;;) {
        ssize_t got = sk::read_full(f.fd.get(), block.get(), SFV_BLOCK_SIZE);
        if (got < 0)
            return Failure{std::string("cannot be read: ") + std::strerror(errno)};
        if (got == 0)
            break;
        sum = crc32(sum, block.get(), static_cast<uInt>(got));
        if (got < SFV_BLOCK_SIZE)
            break;
    }
    crc = sum;
    return std::nullopt;
}

char *new_text(const std::string &text) {
    return sk::dup_text(text);
}

bool fill_list(const Entries &entries, sfv_list *list) {
    auto *array = static_cast<sfv_entry *>(std::calloc(entries.size(), sizeof(sfv_entry)));
    if (!array)
        return false;
    list->entries = array;
    list->count = 0;
    for (const Entry &e : entries) {
        char *name = sk::dup_text(e.name);
        if (!name) {
            sfv_free(list);
            return false;
        }
        array[list->count++] = sfv_entry{name, e.crc, e.line};
    }
    return true;
}

int to_list(std::optional<Failure> failed, const Entries &entries, sfv_list *list, char **error) {
    list->entries = nullptr;
    list->count = 0;
    if (error)
        *error = nullptr;
    if (failed) {
        if (error)
            *error = new_text(failed->why);
        return 0;
    }
    return fill_list(entries, list) ? 1 : 0;
}

bool same_entries(const Entries &a, const Entries &b) {
    if (a.size() != b.size())
        return false;
    std::unordered_map<std::string, unsigned long> crcs;
    for (const Entry &e : a)
        crcs.emplace(sk::ascii_lowercase(e.name), e.crc);
    return std::all_of(b.begin(), b.end(), [&](const Entry &e) {
        auto it = crcs.find(sk::ascii_lowercase(e.name));
        return it != crcs.end() && it->second == e.crc;
    });
}

bool has_extension(std::string_view name, std::string_view ext) {
    return name.size() > ext.size() && sk::ascii_iequals(name.substr(name.size() - ext.size()), ext);
}

// The names in dir, sorted; empty when it cannot be read.
std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    sk::unique_dir d(opendir(dir.c_str()));
    if (!d)
        return names;
    while (const dirent *e = readdir(d.get())) {
        std::string_view n = e->d_name;
        if (n != "." && n != "..")
            names.emplace_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The release's SFV other than the upload skip: the first by name that parses.
std::optional<std::string> release_sfv(const std::string &dir, std::string_view skip, Entries &entries) {
    for (const std::string &name : names_in(dir))
        if (has_extension(name, ".sfv") && name != skip && !load(dir + "/" + name, entries))
            return name;
    return std::nullopt;
}

struct Hook {
    ht_table *table;
    std::string name; // the upload, without its folder
    std::string dir;
    std::string path;
};

Hook hook_of(ht_table *table, const char *file, const char *dir) {
    std::string d(dir);
    while (d.size() > 1 && d.back() == '/')
        d.pop_back();
    std::string name(file);
    if (std::size_t slash = name.rfind('/'); slash != std::string::npos)
        name.erase(0, slash + 1);
    const char *path = ht_get(table, "path");
    return Hook{table, name, d, path ? std::string(path) : d + "/" + name};
}

int refuse(const Hook &h, const Failure &f) {
    ht_put(h.table, "error_msg", (h.name + ": " + f.why).c_str());
    return 0;
}

std::string missing_suffix(ht_table *table) {
    const char *suffix = ht_get(table, "sfv_missing_suffix");
    if (!suffix || !*suffix || std::strchr(suffix, '/'))
        return SFV_MISSING_SUFFIX;
    return suffix;
}

// Creates the empty marker of a missing file; whatever is at its name stays.
void make_marker(const std::string &path) {
    sk::unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd && errno != EEXIST)
        (void)std::fprintf(stderr, "%s: cannot create the marker: %s\n", path.c_str(), std::strerror(errno));
}

// Removes the marker of a file that arrived; only a regular file is a
// marker. True when one was removed.
bool remove_marker(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (unlink(path.c_str()) == 0)
        return true;
    if (errno != ENOENT)
        (void)std::fprintf(stderr, "%s: cannot remove the marker: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

std::string mismatch(unsigned long crc, const Entry &listed, const std::string &sfv) {
    return "CRC-32 " + crc_text(crc) + " does not match " + crc_text(listed.crc) + " of the SFV " + sfv;
}

// Gives every listed file its place once the SFV is accepted: a marker for
// each one that is not there yet or fails its CRC, none for the others.
void place_files(const Hook &h, const Entries &entries) {
    std::unordered_map<std::string, std::string> present; // lower-cased -> as named
    for (std::string &name : names_in(h.dir))
        present.emplace(sk::ascii_lowercase(name), std::move(name));
    std::string suffix = missing_suffix(h.table);
    for (const Entry &e : entries) {
        std::string marker = h.dir + "/" + e.name + suffix;
        auto it = present.find(sk::ascii_lowercase(e.name));
        unsigned long crc = 0;
        if (it == present.end() || file_crc(h.dir + "/" + it->second, crc)) {
            make_marker(marker);
        } else if (crc != e.crc) {
            std::printf("%s: %s\n", it->second.c_str(), mismatch(crc, e, h.name).c_str());
            make_marker(marker);
        } else {
            remove_marker(marker);
        }
    }
}

// The lock that serializes the changes to one release: its markers and tag.
struct ReleaseLock {
    explicit ReleaseLock(const std::string &dir)
        : file(sk::open_regular((dir + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0644)),
          guard(file.fd.get()) {}
    static constexpr const char *kLockName = ".sitekit-sfv.lock";
    sk::regular_file file;
    sk::flock_guard guard;
};

struct State {
    std::size_t total = 0, files = 0;
    unsigned long long bytes = 0;
};

// A tag template as a wildcard pattern: each variable may be anything.
std::string tag_pattern(std::string_view tmpl) {
    std::string out;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        std::size_t close = tmpl.substr(i, 2) == "%{" ? tmpl.find('}', i + 2) : std::string_view::npos;
        if (close != std::string_view::npos) {
            out += '*';
            i = close;
        } else {
            out += tmpl[i];
        }
    }
    return out;
}

// A filled tag as a name in the release: "/" cannot be part of one.
std::optional<std::string> tag_name(ht_table *table, const char *tmpl) {
    sk::malloc_ptr<char> filled(util_replacer(table, tmpl));
    if (!filled)
        return std::nullopt;
    std::string name(filled.get());
    std::replace(name.begin(), name.end(), '/', '-');
    if (name.empty() || name == "." || name == ".." || name.size() > SFV_NAME_MAX)
        return std::nullopt;
    return name;
}

// Makes the tag of the state and then removes the older tags (empty folders
// whose names fit a tag template), so that one tag is always there.
void update_tag(const Hook &h, const State &st, const std::vector<std::string> &names) {
    const char *progress = ht_get(h.table, "sfv_progress");
    const char *complete = ht_get(h.table, "sfv_complete");
    bool done = st.files == st.total;
    const char *tmpl = done ? complete : progress;
    std::optional<std::string> tag = tmpl ? tag_name(h.table, tmpl) : std::nullopt;
    if (tag && mkdir((h.dir + "/" + *tag).c_str(), 0755) != 0 && errno != EEXIST)
        (void)std::fprintf(stderr, "%s/%s: cannot create the tag: %s\n", h.dir.c_str(), tag->c_str(),
                           std::strerror(errno));
    for (const char *t : {progress, complete}) {
        if (!t)
            continue;
        std::string pattern = tag_pattern(t);
        // A template of variables only would match every folder.
        if (std::all_of(pattern.begin(), pattern.end(), [](char c) { return c == '*'; }))
            continue;
        for (const std::string &name : names)
            if ((!tag || name != *tag) && strmatch_filename(pattern.c_str(), name.c_str(), 0))
                (void)rmdir((h.dir + "/" + name).c_str()); // only an empty folder goes
    }
}

void put_number(ht_table *table, const char *key, unsigned long long value) {
    ht_put(table, key, std::to_string(value).c_str());
}

struct Counted {
    std::string name; // as the SFV spells it
    uid_t uid;
    unsigned long long bytes;
};

// Who uploaded each listed file, and how fast, kept in the release so that
// the totals by uploader come from the directory alone: one line
// "USER SPEED NAME" per file, "-" for a user or speed the hook did not give.
constexpr const char *kUploadsName = ".sitekit-sfv.uploads";
constexpr std::size_t kUploadsMax = 4 * SFV_SIZE_MAX;

struct Upload {
    std::string user;
    double speed = -1; // KiB/s; negative when unknown
};
using Uploads = std::unordered_map<std::string, Upload>; // lower-cased name -> upload

// A speed as the hook gives it: a decimal number of KiB/s, at least 0.
std::optional<double> parse_speed(std::string_view text) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0) || value > 1e12)
        return std::nullopt;
    return value;
}

// The records of the release; a line that does not read is passed over.
Uploads read_uploads(const std::string &dir) {
    Uploads out;
    sk::regular_file f = sk::open_regular((dir + "/" + kUploadsName).c_str(), O_RDONLY | O_NOFOLLOW);
    if (!f || f.st.st_size > static_cast<off_t>(kUploadsMax))
        return out;
    std::string text(static_cast<std::size_t>(f.st.st_size), '\0');
    ssize_t got = sk::read_full(f.fd.get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        std::size_t a = line.find(' ');
        std::size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
        if (b == std::string_view::npos || b + 1 >= line.size())
            continue;
        std::string_view user = line.substr(0, a), speed = line.substr(a + 1, b - a - 1);
        Upload u;
        if (user != "-" && user.size() < SFV_USER_MAX)
            u.user = user;
        if (std::optional<double> v = parse_speed(speed))
            u.speed = *v;
        out[sk::ascii_lowercase(line.substr(b + 1))] = std::move(u);
    }
    return out;
}

// Records the upload of the listed file name (the hook's "user" and
// "speed") and keeps the records of the other listed files there; written
// beside the records and renamed over them, under the release's lock.
void record_upload(const Hook &h, const std::string &name, const std::vector<Counted> &counted) {
    Uploads old = read_uploads(h.dir);
    Upload now;
    const char *user = ht_get(h.table, "user");
    if (user && *user && std::strlen(user) < SFV_USER_MAX && !std::strpbrk(user, " \n"))
        now.user = user;
    if (const char *speed = ht_get(h.table, "speed"))
        now.speed = parse_speed(speed).value_or(-1);
    std::string text;
    for (const Counted &c : counted) {
        bool arrived = sk::ascii_iequals(c.name, name);
        auto it = old.find(sk::ascii_lowercase(c.name));
        if (!arrived && it == old.end())
            continue;
        const Upload &u = arrived ? now : it->second;
        char speed[32] = "-";
        if (u.speed >= 0)
            (void)std::snprintf(speed, sizeof speed, "%.1f", u.speed);
        text += (u.user.empty() ? "-" : u.user) + " " + speed + " " + c.name + "\n";
    }
    std::string path = h.dir + "/" + kUploadsName, fresh = path + ".new";
    sk::unique_fd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd || !sk::write_all(fd.get(), text.data(), text.size()) ||
        rename(fresh.c_str(), path.c_str()) != 0) {
        (void)std::fprintf(stderr, "%s: cannot record the upload: %s\n", path.c_str(), std::strerror(errno));
        (void)unlink(fresh.c_str());
    }
}

// The name an owner goes by: through the daemon's passwd file (looked up
// once per owner), else the user recorded for the upload, else the owner's
// number.
std::string uploader_name(uid_t uid, const Upload *recorded,
                          std::unordered_map<uid_t, std::optional<std::string>> &known) {
    auto [it, fresh] = known.try_emplace(uid);
    if (fresh)
        if (const pwd_user *u = pwd_getpwuid(static_cast<int>(uid)))
            it->second = std::string(sk::field_view(u->name, sizeof u->name));
    if (it->second)
        return *it->second;
    if (recorded && !recorded->user.empty())
        return recorded->user;
    return std::to_string(uid);
}

// The totals by uploader of the counted files, most bytes first.
std::vector<sfv_uploader> uploaders_of(const std::string &dir, const std::vector<Counted> &counted) {
    struct Sum {
        sfv_uploader u{};
        double kib = 0, seconds = 0; // of the files whose speed is known
    };
    Uploads uploads = read_uploads(dir);
    std::unordered_map<uid_t, std::optional<std::string>> known;
    std::vector<Sum> sums;
    for (const Counted &c : counted) {
        auto rec = uploads.find(sk::ascii_lowercase(c.name));
        const Upload *up = rec == uploads.end() ? nullptr : &rec->second;
        std::string name = uploader_name(c.uid, up, known).substr(0, SFV_USER_MAX - 1);
        auto it = std::find_if(sums.begin(), sums.end(), [&](const Sum &s) { return s.u.user == name; });
        if (it == sums.end()) {
            it = sums.insert(sums.end(), Sum{});
            it->u.uid = c.uid;
            std::memcpy(it->u.user, name.c_str(), name.size() + 1);
        }
        it->u.uid = std::min<unsigned long>(it->u.uid, c.uid);
        ++it->u.files;
        it->u.bytes += c.bytes;
        // The average is bytes over time, so a large file weighs more.
        if (up && up->speed > 0) {
            double kib = static_cast<double>(c.bytes) / 1024.0;
            it->kib += kib;
            it->seconds += kib / up->speed;
            ++it->u.timed;
        }
    }
    std::vector<sfv_uploader> out;
    for (Sum &s : sums) {
        if (s.seconds > 0)
            s.u.speed = s.kib / s.seconds;
        out.push_back(s.u);
    }
    std::sort(out.begin(), out.end(), [](const sfv_uploader &a, const sfv_uploader &b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : std::strcmp(a.user, b.user) < 0;
    });
    return out;
}

// Removes the markers of files the SFV no longer lists (it was replaced by
// one with another list): zero-byte regular files named with the suffix
// whose base is not a listed file. A listed file itself always stays.
void remove_stale_markers(const Hook &h, const Entries &entries, const std::string &suffix,
                          const std::vector<std::string> &names) {
    std::unordered_set<std::string> listed;
    for (const Entry &e : entries)
        listed.insert(sk::ascii_lowercase(e.name));
    for (const std::string &name : names) {
        if (name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
            listed.count(sk::ascii_lowercase(name)) != 0 ||
            listed.count(sk::ascii_lowercase(name.substr(0, name.size() - suffix.size()))) != 0)
            continue;
        std::string path = h.dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
            unlink(path.c_str()) != 0)
            (void)std::fprintf(stderr, "%s: cannot remove the marker: %s\n", path.c_str(),
                               std::strerror(errno));
    }
}

// The state of the release from its directory alone: a listed file counts
// when it is a regular file there without a marker (so it passed its CRC
// check). With fix, a listed file that is not there gets its marker (back),
// the markers of files no longer listed go, and the marker of arrived goes
// first; filled then tells whether it did.
State scan_release(const Hook &h, const Entries &entries, std::string_view arrived, bool fix, bool &filled,
                   std::vector<std::string> &names, std::vector<Counted> *counted = nullptr,
                   std::vector<std::string> *missing = nullptr) {
    std::string suffix = missing_suffix(h.table);
    names = names_in(h.dir);
    if (fix)
        remove_stale_markers(h, entries, suffix, names);
    std::unordered_map<std::string, std::string> present;
    for (const std::string &name : names)
        present.emplace(sk::ascii_lowercase(name), name);
    State st;
    st.total = entries.size();
    for (const Entry &e : entries) {
        std::string marker = h.dir + "/" + e.name + suffix;
        auto it = present.find(sk::ascii_lowercase(e.name));
        struct stat file {};
        bool there = it != present.end() && stat((h.dir + "/" + it->second).c_str(), &file) == 0 &&
                     S_ISREG(file.st_mode);
        if (fix && !there)
            make_marker(marker);
        if (fix && there && sk::ascii_iequals(e.name, arrived) && remove_marker(marker))
            filled = true;
        struct stat m {};
        if (!there || (lstat(marker.c_str(), &m) == 0 && S_ISREG(m.st_mode))) {
            if (missing)
                missing->push_back(e.name);
            continue;
        }
        ++st.files;
        st.bytes += static_cast<unsigned long long>(file.st_size);
        if (counted)
            counted->push_back(Counted{e.name, file.st_uid, static_cast<unsigned long long>(file.st_size)});
    }
    return st;
}

// Recomputes the release's state (scan_release with fix), then its tag and
// the complete line.
void update_release(const Hook &h, const Entries &entries, std::string_view arrived) {
    // Only the upload that filled a gap (or an SFV) may complete the release.
    bool filled = has_extension(arrived, ".sfv");
    std::vector<std::string> names;
    std::vector<Counted> counted;
    State st = scan_release(h, entries, arrived, true, filled, names, &counted);
    if (std::any_of(counted.begin(), counted.end(),
                    [&](const Counted &c) { return sk::ascii_iequals(c.name, arrived); }))
        record_upload(h, std::string(arrived), counted);
    bool was_complete = false;
    if (const char *complete = ht_get(h.table, "sfv_complete")) {
        std::optional<std::string> old = tag_name(h.table, complete);
        struct stat t {};
        was_complete = old && stat((h.dir + "/" + *old).c_str(), &t) == 0;
    }
    put_number(h.table, "files", st.files);
    put_number(h.table, "total", st.total);
    put_number(h.table, "missing", st.total - st.files);
    put_number(h.table, "percent", st.total ? st.files * 100 / st.total : 0);
    put_number(h.table, "bytes", st.bytes);
    put_number(h.table, "size", st.bytes / (1024ULL * 1024ULL));
    std::vector<sfv_uploader> uploaders = uploaders_of(h.dir, counted);
    std::string all;
    for (const sfv_uploader &u : uploaders) {
        char speed[48] = "";
        if (u.timed)
            (void)std::snprintf(speed, sizeof speed, " %.0fKB/s", u.speed);
        all += (all.empty() ? "" : ", ") + std::string(u.user) + " " + std::to_string(u.files) + "F " +
               std::to_string(u.bytes / (1024ULL * 1024ULL)) + "M" + speed;
    }
    ht_put(h.table, "leader", uploaders.empty() ? "" : uploaders.front().user);
    ht_put(h.table, "uploaders", all.c_str());
    update_tag(h, st, names);
    const char *msg = ht_get(h.table, "sfv_complete_msg");
    if (st.files == st.total && filled && !was_complete && msg) {
        sk::malloc_ptr<char> line(util_replacer(h.table, msg));
        if (line)
            std::printf("%s\n", line.get());
    }
}

int accepted(const Hook &h) {
    Entries entries;
    std::optional<std::string> sfv = release_sfv(h.dir, "", entries);
    if (!sfv)
        return 1;
    ReleaseLock lock(h.dir);
    update_release(h, entries, h.name);
    return 1;
}

// The release lost its SFV: its markers (empty regular files with the
// suffix) and its tags go.
void forget_release(const Hook &h) {
    std::string suffix = missing_suffix(h.table);
    std::vector<std::string> names = names_in(h.dir);
    for (const std::string &name : names) {
        struct stat st {};
        std::string path = h.dir + "/" + name;
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
            (void)unlink(path.c_str());
    }
    for (const char *key : {"sfv_progress", "sfv_complete"}) {
        const char *t = ht_get(h.table, key);
        std::string pattern = t ? tag_pattern(t) : "";
        if (pattern.empty() || std::all_of(pattern.begin(), pattern.end(), [](char c) { return c == '*'; }))
            continue;
        for (const std::string &name : names)
            if (strmatch_filename(pattern.c_str(), name.c_str(), 0))
                (void)rmdir((h.dir + "/" + name).c_str());
    }
}

int deleted(const Hook &h) {
    ReleaseLock lock(h.dir);
    Entries entries;
    if (release_sfv(h.dir, "", entries))
        update_release(h, entries, "");
    else if (has_extension(h.name, ".sfv"))
        forget_release(h);
    return 1;
}

int release_state(ht_table *table, const char *dir, sfv_state *out) {
    Hook h = hook_of(table, "", dir);
    Entries entries;
    std::optional<std::string> sfv = release_sfv(h.dir, "", entries);
    if (!sfv)
        return 0;
    sk::regular_file lock_file = sk::open_regular((h.dir + "/" + ReleaseLock::kLockName).c_str(), O_RDONLY);
    sk::flock_guard lock(lock_file.fd.get(), true);
    bool filled = false;
    std::vector<std::string> names, missing;
    std::vector<Counted> counted;
    State st = scan_release(h, entries, "", false, filled, names, &counted, &missing);
    std::vector<sfv_uploader> uploaders = uploaders_of(h.dir, counted);
    *out = sfv_state{};
    out->total = st.total;
    out->files = st.files;
    out->bytes = st.bytes;
    out->sfv = sk::dup_text(*sfv);
    out->missing = static_cast<char **>(std::calloc(missing.size() + 1, sizeof(char *)));
    out->uploaders = static_cast<sfv_uploader *>(std::calloc(uploaders.size() + 1, sizeof(sfv_uploader)));
    if (!out->sfv || !out->missing || !out->uploaders) {
        sfv_state_free(out);
        return 0;
    }
    for (const std::string &m : missing) {
        if (!(out->missing[out->missing_count] = sk::dup_text(m))) {
            sfv_state_free(out);
            return 0;
        }
        ++out->missing_count;
    }
    std::copy(uploaders.begin(), uploaders.end(), out->uploaders);
    out->uploader_count = uploaders.size();
    return 1;
}

int check_sfv(const Hook &h) {
    Entries entries;
    if (std::optional<Failure> failed = load(h.path, entries))
        return refuse(h, *failed);
    Entries other;
    if (std::optional<std::string> first = release_sfv(h.dir, h.name, other);
        first && !same_entries(entries, other))
        return refuse(h, Failure{"the release already has the SFV " + *first + ", which lists other files"});
    ReleaseLock lock(h.dir);
    place_files(h, entries);
    return 1;
}

bool required(ht_table *table, const std::string &name) {
    const char *patterns = ht_get(table, "sfv_required");
    if (!patterns)
        return false;
    std::string_view rest = patterns;
    while (!rest.empty()) {
        std::size_t bar = rest.find('|');
        std::string pattern(trim(rest.substr(0, bar)));
        rest.remove_prefix(bar == std::string_view::npos ? rest.size() : bar + 1);
        if (!pattern.empty() && fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0)
            return true;
    }
    return false;
}

int check_file(const Hook &h) {
    if (sk::ascii_iequals(h.name, ReleaseLock::kLockName) || sk::ascii_iequals(h.name, kUploadsName) ||
        sk::ascii_iequals(h.name, std::string(kUploadsName) + ".new"))
        return refuse(h, Failure{"the name is kept for the release's own records"});
    Entries entries;
    std::optional<std::string> sfv = release_sfv(h.dir, "", entries);
    const Entry *listed = nullptr;
    if (sfv) {
        auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const Entry &e) { return sk::ascii_iequals(e.name, h.name); });
        if (it != entries.end())
            listed = &*it;
    }
    if (!listed) {
        if (!required(h.table, h.name))
            return 1;
        return refuse(h, Failure{sfv ? "not listed in the SFV " + *sfv
                                     : std::string("the release has no SFV yet; upload the SFV first")});
    }
    unsigned long crc = 0;
    if (const char *given = ht_get(h.table, "crc"); given && *given) {
        std::optional<unsigned long> value = parse_hex(given, 1, 8);
        if (!value)
            return refuse(h,
                          Failure{"the CRC argument '" + std::string(given).substr(0, 16) + "' is not hex"});
        crc = *value;
    }
    if (crc == 0)
        if (std::optional<Failure> failed = file_crc(h.path, crc))
            return refuse(h, *failed);
    if (crc != listed->crc)
        return refuse(h, Failure{mismatch(crc, *listed, *sfv)});
    return 1;
}

template <class Body> int guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return 0;
    }
}

} // namespace

extern "C" {

int sfv_parse(const char *text, size_t size, sfv_list *list, char **error) {
    if (!list)
        return 0;
    return guarded([&] {
        Entries entries;
        auto failed = text ? parse(std::string_view(text, size), entries) : Failure{"no text"};
        return to_list(failed, entries, list, error);
    });
}

int sfv_load(const char *path, sfv_list *list, char **error) {
    if (!list || !path)
        return 0;
    return guarded([&] {
        Entries entries;
        return to_list(load(path, entries), entries, list, error);
    });
}

void sfv_free(sfv_list *list) {
    if (!list)
        return;
    for (size_t i = 0; i < list->count; ++i)
        std::free(list->entries[i].name);
    std::free(list->entries);
    list->entries = nullptr;
    list->count = 0;
}

const sfv_entry *sfv_find(const sfv_list *list, const char *name) {
    if (!list || !name)
        return nullptr;
    for (size_t i = 0; i < list->count; ++i)
        if (sk::ascii_iequals(list->entries[i].name, name))
            return &list->entries[i];
    return nullptr;
}

int sfv_file_crc(const char *path, unsigned long *crc, char **error) {
    if (error)
        *error = nullptr;
    if (!path || !crc)
        return 0;
    return guarded([&] {
        std::optional<Failure> failed = file_crc(path, *crc);
        if (failed && error)
            *error = new_text(failed->why);
        return failed ? 0 : 1;
    });
}

int sfv_parse_crc(const char *text, unsigned long *crc) {
    if (!text || !crc)
        return 0;
    std::optional<unsigned long> value = parse_hex(text, 1, 8);
    if (value)
        *crc = *value;
    return value ? 1 : 0;
}

int sfv_check(ht_table *table, const char *file, const char *dir) {
    if (!table || !file || !dir)
        return 0;
    return guarded([&] { return check_sfv(hook_of(table, file, dir)); });
}

int sfv_accepted(ht_table *table, const char *file, const char *dir) {
    if (!table || !file || !dir)
        return 0;
    return guarded([&] { return accepted(hook_of(table, file, dir)); });
}

int sfv_release_state(ht_table *table, const char *dir, sfv_state *state) {
    if (!table || !dir || !state)
        return 0;
    *state = sfv_state{};
    return guarded([&] { return release_state(table, dir, state); });
}

void sfv_state_free(sfv_state *state) {
    if (!state)
        return;
    for (size_t i = 0; i < state->missing_count; ++i)
        std::free(state->missing[i]);
    std::free(state->missing);
    std::free(state->uploaders);
    std::free(state->sfv);
    *state = sfv_state{};
}

int sfv_deleted(ht_table *table, const char *file, const char *dir) {
    if (!table || !file || !dir)
        return 0;
    return guarded([&] { return deleted(hook_of(table, file, dir)); });
}

int sfv_file_check(ht_table *table, const char *file, const char *dir) {
    if (!table || !file || !dir)
        return 0;
    return guarded([&] { return check_file(hook_of(table, file, dir)); });
}

} // extern "C"
