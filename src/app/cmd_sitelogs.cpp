// sitekit dirlog / dupe / dupelog / log / announce / msg: the daemon's
// site logs, written through the sitelogs library.
#include "commands.h"
#include "dirlog_cmd.h"
#include "internal.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sk::cli {

constexpr std::string_view kDirlogUsage =
    "usage: sitekit dirlog update [--config FILE] [--uid N] [--gid N] [--json] DIR\n"
    "       sitekit dirlog list [--json]\n"
    "       sitekit dirlog rebuild [--config FILE] [--dry-run] [--quiet] [--json] SITEDIR...\n"
    "       sitekit dirlog clean [--config FILE] [--dry-run] [--json]\n";

namespace {

constexpr std::string_view kDirlogHelp =
    "\n"
    "update: measures DIR (files and bytes, leaving out NFO, file_id.diz and\n"
    "  .message files) and writes its record into /ftp-data/logs/dirlog, over\n"
    "  the directory's old record or at the end. DIR is the directory as seen\n"
    "  from here (below the site root when --root is given); the record holds\n"
    "  the name the daemon sees (without the site root and without the\n"
    "  configuration's \"rootpath\"). The owner ids are\n"
    "  the directory's own unless --uid/--gid name others.\n"
    "  --config FILE  daemon configuration (default /etc/glftpd.conf below the root)\n"
    "list: prints every record: time, user id, group id, files, bytes, name.\n"
    "rebuild: walks the section folders SITEDIR... (as seen from here, like\n"
    "  DIR), finds the release directories (a folder holding files, or a\n"
    "  CD1, DISC1, Sample, Covers or Subs subfolder, which belongs to it;\n"
    "  symbolic links to folders are not followed), measures each as update\n"
    "  does and puts the new log in place of the old one at once, keeping its\n"
    "  owner and mode. A release the old log holds keeps its time, owner and\n"
    "  status; a new one gets its folder's modification time. Records outside\n"
    "  the SITEDIRs, and below folders that cannot be read, are kept as they\n"
    "  are. The log is locked only for the replacement; what the daemon or\n"
    "  update write meanwhile is merged in. Prints a summary line.\n"
    "  --dry-run  prints the records the new log would hold (as list does)\n"
    "  --quiet    no progress line (shown only when standard error is a terminal)\n"
    "clean: removes the records whose directory no longer exists below the\n"
    "  site root and prints them (as list does); the same lock and replacement.\n"
    "  --dry-run  prints the records it would remove, changes nothing\n"
    "Exit status of rebuild and clean: 0 done; 1 the log cannot be read or\n"
    "  replaced, another rebuild or clean is running, or some folder could\n"
    "  not be read (the rest is still done); 2 usage.\n";
constexpr Option kDirlogOptions[] = {{"--json", false}, {"--config", true},   {"--uid", true},
                                     {"--gid", true},   {"--dry-run", false}, {"--quiet", false}};
constexpr std::string_view kDupeUsage = "usage: sitekit dupe add FILE USER\n";
constexpr std::string_view kDupelogUsage = "usage: sitekit dupelog add NAME\n";
constexpr std::string_view kLogUsage = "usage: sitekit log [--file LOG] TEXT\n";
constexpr Option kLogOptions[] = {{"--file", true}};
constexpr std::string_view kAnnounceUsage = "usage: sitekit announce EVENT TEXT\n";
constexpr std::string_view kMsgUsage = "usage: sitekit msg FROM TO TEXT\n";

using sitelogs::kDirlog;
using sitelogs::kDupefile;
using sitelogs::kDupelog;
using sitelogs::kMsgDir;
using sitelogs::kSiteLog;

// The folder a daemon file is written into, for the messages.
std::string folder_of(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A message for a writer that returned 0, which leaves the system's reason
// in errno: the folder missing, the file no regular one, or that reason.
std::string write_failure(const std::string &path, int error) {
    std::string folder = folder_of(path);
    if (access(folder.c_str(), F_OK) != 0)
        return "cannot write " + path + ": the folder " + folder + " does not exist (check --root)";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return "cannot write " + path + ": " + open_reason(0, true, st.st_mode) +
               "; put the daemon's file there";
    return "cannot write " + path + ": " + (error ? std::strerror(error) : "the write failed") +
           (error == ENOSPC || error == EFBIG || error == EDQUOT ? " (free some space and try again)" : "");
}

// Runs a writer of the sitelogs library; on failure, the message.
template <class Write> std::optional<std::string> write_or_why(const std::string &path, Write write) {
    errno = 0;
    if (write())
        return std::nullopt;
    return write_failure(path, errno);
}

} // namespace

std::string dirlog_failure_message(const sitelogs::dirlog_failure &why) {
    using step = sitelogs::dirlog_failure;
    if (why.step == step::open) {
        struct stat st {};
        ::stat(why.path.c_str(), &st);
        return "cannot update the directory log " + why.path + ": " +
               open_reason(why.error, why.not_regular, st.st_mode) +
               (why.not_regular       ? "; put the daemon's directory log there"
                : why.error == ENOENT ? " (the daemon creates it; check --root)"
                                      : "");
    }
    std::string verb = why.step == step::read ? "read" : "write";
    std::string todo = why.error == ENOSPC || why.error == EFBIG || why.error == EDQUOT
                           ? "; free some space and run the update again"
                           : "; the update can be run again";
    return "cannot " + verb + " the directory log " + why.path + ": " + std::strerror(why.error) + todo;
}

std::string absolute(const std::string &path) {
    if (!path.empty() && path.front() == '/')
        return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

namespace {

char *put_text(char *out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// Writes value (0 to 99) as two digits at out.
char *put_2digits(char *out, int value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

// Writes the digits of value at out; returns the end. Most of the numbers
// of a record (ids, file counts, the status) have one or two digits.
char *put_uint(char *out, uint64_t value) {
    if (value < 10) {
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    if (value < 100)
        return put_2digits(out, static_cast<int>(value));
    return std::to_chars(out, out + 20, value).ptr;
}

// The local time of each record as "%Y-%m-%d %H:%M:%S" writes it, with one
// localtime_r call per local hour instead of one per record: records come
// mostly in the order of their times, and inside one local hour only the
// minutes and seconds change. An hour is taken as a whole only when the
// local time at its last second is exactly its first one plus the seconds
// between, so an hour that holds a change of the clock (summer time, a new
// offset, a leap second) gets one conversion per record.
class LocalClock {
  public:
    // Writes the 19 characters of when at out; false when the local time
    // cannot be had.
    bool put(time_t when, char *out) {
        if (when < from_ || when > last_) {
            struct tm tm {};
            if (localtime_r(&when, &tm) == nullptr)
                return false;
            if (!learn(when, tm))
                return std::strftime(out, 20, "%Y-%m-%d %H:%M:%S", &tm) == 19;
        }
        auto seconds = static_cast<int>(when - from_) + first_second_;
        std::memcpy(out, hour_, sizeof hour_);
        put_2digits(put_2digits(out + sizeof hour_, seconds / 60) + 1, seconds % 60);
        out[16] = ':';
        return true;
    }

  private:
    // Takes the rest of the local hour of when as its span; false when the
    // hour has a change of the clock or cannot be written here.
    bool learn(time_t when, const struct tm &tm) {
        from_ = 1;
        last_ = 0; // no span, whatever follows
        int year = tm.tm_year + 1900;
        if (year < 1000 || year > 9999 || tm.tm_sec > 59)
            return false;
        int second = tm.tm_min * 60 + tm.tm_sec;
        time_t last = when + (3599 - second);
        struct tm end {};
        if (localtime_r(&last, &end) == nullptr || end.tm_year != tm.tm_year || end.tm_yday != tm.tm_yday ||
            end.tm_hour != tm.tm_hour || end.tm_min != 59 || end.tm_sec != 59 ||
            end.tm_gmtoff != tm.tm_gmtoff || end.tm_isdst != tm.tm_isdst)
            return false;
        char *p = put_uint(hour_, static_cast<uint64_t>(year));
        *p++ = '-';
        p = put_2digits(p, tm.tm_mon + 1);
        *p++ = '-';
        p = put_2digits(p, tm.tm_mday);
        *p++ = ' ';
        p = put_2digits(p, tm.tm_hour);
        *p = ':';
        from_ = when;
        last_ = last;
        first_second_ = second;
        return true;
    }

    time_t from_ = 1, last_ = 0; // the span [from_, last_], empty at first
    int first_second_ = 0;       // minutes * 60 + seconds of from_
    char hour_[14] = {};         // "YYYY-MM-DD HH:"
};

// The longest text line: the time (or the number of seconds), four numbers,
// the name and the separators.
constexpr std::size_t kMaxDirlogLine = 24 + 4 * 20 + sizeof(dirlog_record::dirname) + 64;

void append_dirlog_line(LocalClock &clock, const dirlog_record &r, std::string &out) {
    char line[kMaxDirlogLine];
    char *p = line;
    if (clock.put(r.time, p))
        p += 19;
    else
        p = std::to_chars(p, p + 24, r.time).ptr;
    p = put_uint(put_text(p, "  uid "), r.user_id);
    p = put_uint(put_text(p, "  gid "), r.group_id);
    p = put_uint(put_text(p, "  files "), r.files);
    p = put_uint(put_text(p, "  bytes "), r.bytes);
    p = put_text(put_text(p, "  "), field_view(r.dirname, sizeof r.dirname));
    *p++ = '\n';
    out.append(line, p);
}

// The longest JSON object of a record: the name with every byte escaped,
// seven numbers and the member names.
constexpr std::size_t kMaxDigits = 20; // of a 64-bit number
constexpr std::size_t kMaxDirlogJson =
    json_string_bound(sizeof(dirlog_record::dirname)) + 7 * kMaxDigits + 128;

// The record as JsonObject writes it, the members in this order; written
// here directly into one piece, as a listing writes a million of them.
void append_dirlog_json(const dirlog_record &r, std::string &out) {
    char json[kMaxDirlogJson];
    char *p = put_json_string(put_text(json, "{\"dirname\":"), field_view(r.dirname, sizeof r.dirname));
    p = put_uint(put_text(p, ",\"user_id\":"), r.user_id);
    p = put_uint(put_text(p, ",\"group_id\":"), r.group_id);
    p = put_uint(put_text(p, ",\"files\":"), r.files);
    p = put_uint(put_text(p, ",\"bytes\":"), r.bytes);
    p = put_text(p, ",\"time\":");
    p = std::to_chars(p, p + 24, r.time).ptr;
    p = put_uint(put_text(p, ",\"status\":"), r.status);
    *p++ = '}';
    out.append(json, p);
}

int dirlog_list(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 1, 1, kDirlogUsage))
        return kUsage;
    std::string path = site_path(kDirlog);
    regular_file log = open_regular(path.c_str(), O_RDONLY);
    if (!log)
        return fail(
            inv, kRefused,
            open_failure("cannot read the directory log", path, log, "put the daemon's directory log there"));
    // Each record is printed as it is read; the JSON array is closed at the end.
    bool json = want_json(inv, p);
    JsonArrayPrinter array;
    LocalClock clock;
    sitelogs::dirlog_walk walk = sitelogs::read_dirlog(log.fd.get(), [&](const dirlog_record &r) {
        if (json)
            append_dirlog_json(r, array.next_item());
        else
            append_dirlog_line(clock, r, array.out().text());
        array.out().done();
    });
    if (walk.read_failed) {
        int error = errno;
        // Text lines already read stay printed; a JSON document is left unclosed
        // (only what filled whole output blocks went out).
        if (json)
            array.out().text().clear();
        array.out().flush();
        return fail(inv, kRefused, "cannot read the directory log " + path + ": " + std::strerror(error));
    }
    if (json)
        array.finish();
    else
        array.out().flush();
    if (walk.partial != 0)
        std::fprintf(stderr,
                     "sitekit dirlog list: %s ends with %zu bytes of an incomplete record, left out\n",
                     path.c_str(), walk.partial);
    return kOk;
}

} // namespace

std::optional<int> load_dirlog_config(Invocation &inv, const Parsed &p) {
    // The daemon's configuration is read when it is there; a file named with
    // --config must be there. One that is there but cannot be read is an
    // error too: without its root path the records would get wrong names.
    std::string config = p.value("--config").value_or(site_path(kDaemonConfig));
    regular_file conf = open_regular(config.c_str(), O_RDONLY);
    bool default_missing = !conf && !p.has("--config") && conf.error == ENOENT;
    if (!conf && !default_missing)
        return usage_error(inv,
                           open_failure("cannot read the configuration", config, conf,
                                        "name the daemon's configuration file"),
                           kDirlogUsage);
    if (conf) {
        daemon_config settings;
        if (!read_daemon_config(std::move(conf.fd), settings))
            return fail(inv, kRefused,
                        "cannot read the configuration " + config + ": " + std::strerror(errno));
        sitelogs::apply_config(settings);
    }
    return std::nullopt;
}

void print_dirlog_records(const std::vector<dirlog_record> &records, bool json) {
    JsonArrayPrinter array;
    LocalClock clock;
    for (const dirlog_record &r : records) {
        if (json)
            append_dirlog_json(r, array.next_item());
        else
            append_dirlog_line(clock, r, array.out().text());
        array.out().done();
    }
    if (json)
        array.finish();
    else
        array.out().flush();
}

namespace {

int dirlog_update(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 2, 2, kDirlogUsage))
        return kUsage;
    std::optional<uint64_t> uid, gid;
    for (auto [opt, slot] : {std::pair{"--uid", &uid}, std::pair{"--gid", &gid}}) {
        if (auto v = p.value(opt)) {
            *slot = parse_uint(*v);
            if (!*slot || **slot > UINT32_MAX)
                return usage_error(inv, std::string(opt) + " needs a whole number, not '" + *v + "'",
                                   kDirlogUsage);
        }
    }
    std::string dir = absolute(p.operands[1]);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0)
        return usage_error(inv, dir + ": " + std::strerror(errno) + "; name an existing release directory",
                           kDirlogUsage);
    if (!S_ISDIR(st.st_mode))
        return usage_error(inv, dir + " is not a directory", kDirlogUsage);
    if (auto status = load_dirlog_config(inv, p))
        return *status;
    int32_t files = 0;
    uint64_t bytes = 0;
    get_dir_size(dir.c_str(), &files, &bytes);
    uint32_t user = uid ? static_cast<uint32_t>(*uid) : st.st_uid;
    uint32_t group = gid ? static_cast<uint32_t>(*gid) : st.st_gid;
    // The record names the directory as the daemon sees it: below the site
    // root, and without the daemon's root path (which gl_dirlog_add removes).
    std::string name = daemon_view(dir);
    dirlog_record record;
    if (!sitelogs::make_dirlog_record(name.c_str(), user, group, static_cast<uint32_t>(files), bytes, record))
        return fail(inv, kRefused, dir + ": the name is too long for the directory log (254 bytes at most)");
    // The log is never created here: the daemon owns it.
    if (sitelogs::dirlog_failure why; !sitelogs::try_store_dirlog(record, why))
        return fail(inv, kRefused, dirlog_failure_message(why));
    if (want_json(inv, p))
        std::printf("%s\n", JsonObject()
                                .str("dir", name)
                                .unum("user_id", user & 0xffffu)
                                .unum("group_id", group & 0xffffu)
                                .num("files", files)
                                .unum("bytes", bytes)
                                .text()
                                .c_str());
    else
        std::printf("updated %s: %d files, %llu bytes, uid %u, gid %u\n", name.c_str(), files,
                    static_cast<unsigned long long>(bytes), user & 0xffffu, group & 0xffffu);
    return kOk;
}

// Usage errors for a text that does not fit its record field.
bool fits(Invocation &inv, std::string_view what, const std::string &text, size_t width,
          std::string_view usage) {
    if (text.size() < width && !text.empty())
        return true;
    usage_error(inv,
                text.empty() ? std::string(what) + " is empty"
                             : std::string(what) + " is " + std::to_string(text.size()) +
                                   " bytes; the record holds " + std::to_string(width - 1) + " at most",
                usage);
    return false;
}

int cmd_dirlog(Invocation &inv, const Parsed *p) {
    if (p->operands.empty())
        return usage_error(inv, "missing action (update, list, rebuild or clean)", kDirlogUsage);
    const std::string &action = p->operands[0];
    if (action == "update")
        return dirlog_update(inv, *p);
    bool maintenance = action == "rebuild" || action == "clean";
    if (!maintenance && (p->has("--dry-run") || p->has("--quiet")))
        return usage_error(inv, "--dry-run and --quiet go with 'rebuild' and 'clean'", kDirlogUsage);
    if (action == "list") {
        if (p->has("--config") || p->has("--uid") || p->has("--gid"))
            return usage_error(inv, "'list' takes only --json", kDirlogUsage);
        return dirlog_list(inv, *p);
    }
    if (maintenance && (p->has("--uid") || p->has("--gid")))
        return usage_error(inv, "'" + action + "' takes the owners from the directories, not --uid/--gid",
                           kDirlogUsage);
    if (action == "rebuild")
        return dirlog_rebuild(inv, *p);
    if (action == "clean")
        return dirlog_clean(inv, *p);
    return usage_error(inv, "unknown action '" + action + "'", kDirlogUsage);
}

int cmd_dupe(Invocation &inv, const Parsed *p) {
    if (p->operands.empty() || p->operands[0] != "add")
        return usage_error(
            inv, p->operands.empty() ? "missing action 'add'" : "unknown action '" + p->operands[0] + "'",
            kDupeUsage);
    if (!want_operands(*p, inv, 3, 3, kDupeUsage))
        return kUsage;
    const std::string &file = p->operands[1], &user = p->operands[2];
    if (!fits(inv, "FILE", file, sizeof(dupefile_record::filename), kDupeUsage) ||
        !fits(inv, "USER", user, sizeof(dupefile_record::uploader), kDupeUsage))
        return kUsage;
    if (auto why =
            write_or_why(site_path(kDupefile), [&] { return gl_dupefile_add(file.c_str(), user.c_str()); }))
        return fail(inv, kRefused, *why);
    return kOk;
}

int cmd_dupelog(Invocation &inv, const Parsed *p) {
    if (p->operands.empty() || p->operands[0] != "add")
        return usage_error(
            inv, p->operands.empty() ? "missing action 'add'" : "unknown action '" + p->operands[0] + "'",
            kDupelogUsage);
    if (!want_operands(*p, inv, 2, 2, kDupelogUsage))
        return kUsage;
    const std::string &name = p->operands[1];
    if (name.empty() || name.find('\n') != std::string::npos)
        return usage_error(inv, "NAME must be one non-empty line", kDupelogUsage);
    if (auto why = write_or_why(site_path(kDupelog), [&] { return gl_dupelog_add(name.c_str()); }))
        return fail(inv, kRefused, *why);
    return kOk;
}

int cmd_log(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 1, 1, kLogUsage))
        return kUsage;
    const std::string &text = p->operands[0];
    if (text.find('\n') != std::string::npos)
        return usage_error(inv, "TEXT must be one line", kLogUsage);
    std::string log = p->value("--file").value_or(kSiteLog);
    if (auto why = write_or_why(site_path(log), [&] { return gl_gllog_add_alt(text.c_str(), log.c_str()); }))
        return fail(inv, kRefused, *why);
    return kOk;
}

int cmd_announce(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 2, 2, kAnnounceUsage))
        return kUsage;
    const std::string &event = p->operands[0], &text = p->operands[1];
    if (event.empty() || (event + text).find('\n') != std::string::npos)
        return usage_error(inv, "EVENT must be a non-empty word and TEXT one line", kAnnounceUsage);
    if (!sitelogs::announcement_fits(event, text))
        return usage_error(inv, "the line would be longer than 1023 characters", kAnnounceUsage);
    if (auto why =
            write_or_why(site_path(kSiteLog), [&] { return gl_gllog_announce(event.c_str(), text.c_str()); }))
        return fail(inv, kRefused, *why);
    return kOk;
}

int cmd_msg(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 3, 3, kMsgUsage))
        return kUsage;
    const std::string &from = p->operands[0], &to = p->operands[1], &text = p->operands[2];
    if (!sitelogs::is_message_name(to))
        return usage_error(inv, "TO must be a user name, not '" + to + "'", kMsgUsage);
    if (from.empty())
        return usage_error(inv, "FROM is empty", kMsgUsage);
    // The writer adds no line ends: the text starts below the heading's
    // rule and ends its last line, so that messages stay apart.
    std::string body = "\n" + text + (text.ends_with('\n') ? "" : "\n");
    if (auto why = write_or_why(site_path(kMsgDir + to),
                                [&] { return gl_site_msg(from.c_str(), to.c_str(), body.c_str()); }))
        return fail(inv, kRefused, *why);
    return kOk;
}

} // namespace

const Command dirlog_command{
    .name = "dirlog",
    .summary = "dirlog update DIR | list | rebuild SITEDIR... | clean: the directory log",
    .usage = kDirlogUsage,
    .help = kDirlogHelp,
    .options = kDirlogOptions,
    .run = cmd_dirlog,
};
const Command dupe_command{
    .name = "dupe",
    .summary = "dupe add FILE USER: append to the dupe file",
    .usage = kDupeUsage,
    .help = "\nAppends a record (file name, uploader, now) to /ftp-data/logs/dupefile.\n",
    .run = cmd_dupe,
};
const Command dupelog_command{
    .name = "dupelog",
    .summary = "dupelog add NAME: append to the dupe log",
    .usage = kDupelogUsage,
    .help = "\nAppends \"MMDDYY NAME\" to /ftp-data/logs/dupelog.\n",
    .run = cmd_dupelog,
};
const Command log_command{
    .name = "log",
    .summary = "log TEXT: append a line to the site log",
    .usage = kLogUsage,
    .help = "\nAppends \"<time> TEXT\" to the site log /ftp-data/logs/glftpd.log\n"
            "(or to LOG, a daemon path below the site root).\n",
    .options = kLogOptions,
    .run = cmd_log,
};
const Command announce_command{
    .name = "announce",
    .summary = "announce EVENT TEXT: append an event line to the site log",
    .usage = kAnnounceUsage,
    .help = "\nAppends 'EVENT: \"TEXT\"' to the site log, where the site's bot reads it.\n",
    .run = cmd_announce,
};
const Command msg_command{
    .name = "msg",
    .summary = "msg FROM TO TEXT: leave a message for a user",
    .usage = kMsgUsage,
    .help = "\nAppends a message from FROM to the message file /ftp-data/msgs/TO.\n",
    .run = cmd_msg,
};

} // namespace sk::cli
