// sitekit who: runs the online-user monitor program (siteview), so that it
// is reachable from here too. The monitor is a separate program because it
// needs the terminal library; sitekit itself stays small and static.
//
// With --list or --json it prints one snapshot of the online-user table
// itself instead: the table is attached read-only through the piece the
// monitor uses too (whotable.h), no terminal is touched and nothing waits.
#include "acctdb.h"
#include "commands.h"
#include "internal.h"
#include "siteroot.h"
#include "whotable.h"
#include "whotransfer.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

namespace sk::cli {

namespace {

constexpr const char *kMonitor = "siteview";

// The folder this program lies in, "" when it cannot be told.
std::string own_folder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

// The monitor beside this program (installed), or in the build tree, or
// "" to search PATH.
std::string find_monitor() {
    std::string here = own_folder();
    for (const std::string &candidate : {here + "/" + kMonitor, here + "/../monitor/" + kMonitor}) {
        if (!here.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

constexpr std::string_view kWhoUsage =
    "usage: sitekit who [MONITOR OPTIONS...]\n"
    "       sitekit who --list|--json [-k KEY] [-s STRIDE] [-r PATH | -c FILE]\n";

// The options of a listing: the monitor's table options and the two modes.
struct ListOptions {
    key_t key = who::kDefaultKey;
    std::size_t stride = sizeof(who_record);
    bool json = false;
};

// Parses the listing's command line as the monitor parses its table options
// ("-k KEY" or "-kKEY"). -r and -c are taken so that one command line serves
// both; a listing shows the daemon's own paths and needs no root path.
// Returns kOk, -1 after printing the help, or the exit status after a message.
int parse_list_options(Invocation &inv, ListOptions &opt) {
    opt.json = inv.json;
    const std::vector<std::string> &args = inv.args;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--list")
            continue;
        if (a == "--json") {
            opt.json = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            std::printf("%.*s%.*s", static_cast<int>(kWhoUsage.size()), kWhoUsage.data(),
                        static_cast<int>(who_command.help.size()), who_command.help.data());
            return -1;
        }
        char letter = a.size() >= 2 && a[0] == '-' && a[1] != '-' ? a[1] : '\0';
        if (a.empty() || a[0] != '-')
            return usage_error(inv, "unexpected argument '" + a + "'", kWhoUsage);
        if (a == "-D")
            return usage_error(inv, "'-D' is an option of the monitor; it does not go with --list or --json",
                               kWhoUsage);
        if (letter != 'k' && letter != 's' && letter != 'r' && letter != 'c')
            return usage_error(inv, "unknown option '" + a + "'", kWhoUsage);
        std::string value = a.substr(2);
        if (value.empty()) {
            if (i + 1 >= args.size())
                return usage_error(inv, "option '-" + std::string(1, letter) + "' needs a value", kWhoUsage);
            value = args[++i];
        }
        std::string why;
        if (letter == 'k')
            why = who::parse_key(value, opt.key);
        else if (letter == 's')
            why = who::parse_stride(value, opt.stride);
        if (!why.empty())
            return usage_error(inv, why, kWhoUsage);
    }
    return kOk;
}

// What the listing shows of one occupied slot.
struct SlotView {
    std::size_t number;
    who_record who; // a copy: the daemon goes on writing the table
    std::string group;
    bool group_known;
    int64_t idle;
    char age[64];
    int32_t direction;
    char file[300];
    double speed;
};

SlotView view_slot(std::size_t number, const who_record &record, int64_t now) {
    SlotView v{};
    v.number = number;
    std::memcpy(&v.who, &record, sizeof v.who);
    const pwd_group *g = pwd_getgpgid(v.who.group_id);
    v.group_known = g != nullptr;
    v.group = g ? std::string(field_view(g->name, sizeof g->name)) : std::to_string(v.who.group_id);
    v.idle = now > v.who.status_time ? now - v.who.status_time : 0;
    who::put_age(v.who.status_time, now, v.age, sizeof v.age);
    v.direction = who_transfer_direction(&v.who);
    who_transfer_file(&v.who, v.file);
    v.speed = who_transfer_speed(&v.who);
    return v;
}

// The counts the monitor's status lines show.
struct Totals {
    int64_t online = 0, slots = 0, uploads = 0, downloads = 0;
    double up_speed = 0.0, down_speed = 0.0;
    void count(const SlotView &v) {
        ++online;
        if (v.direction == WHO_TRANSFER_UPLOAD) {
            ++uploads;
            up_speed += v.speed;
        } else if (v.direction == WHO_TRANSFER_DOWNLOAD) {
            ++downloads;
            down_speed += v.speed;
        }
    }
};

template <std::size_t N> std::string_view text_of(const char (&f)[N]) {
    return field_view(f, N);
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return std::string(buf, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1));
}

// One tab-separated line: slot, user, group, tagline, idle, action and, for
// a transfer, UL or DL, the file, its bytes so far and the average speed.
void append_line(std::string &out, const SlotView &v) {
    out += std::to_string(v.number);
    for (std::string_view part : {text_of(v.who.user_name), std::string_view(v.group),
                                  text_of(v.who.user_info), std::string_view(v.age), who::action_text(v.who)})
        out.append("\t").append(who::printable(part));
    if (v.direction != WHO_TRANSFER_NONE)
        out += format("\t%s\t%s\t%" PRIu64 "\t%.1fKB/s", v.direction == WHO_TRANSFER_UPLOAD ? "UL" : "DL",
                      who::printable(v.file).c_str(), static_cast<uint64_t>(v.who.transfer_bytes), v.speed);
    out += '\n';
}

void append_json(std::string &out, const SlotView &v) {
    JsonObject o;
    o.unum("slot", v.number).str("user", text_of(v.who.user_name));
    if (v.group_known)
        o.str("group", v.group);
    else
        o.raw("group", "null");
    o.num("group_id", v.who.group_id)
        .str("tagline", text_of(v.who.user_info))
        .num("idle_seconds", v.idle)
        .str("idle", v.age)
        .str("action", who::action_text(v.who))
        .num("pid", v.who.pid);
    if (v.direction == WHO_TRANSFER_NONE) {
        o.raw("transfer", "null");
    } else {
        o.raw("transfer", JsonObject()
                              .str("direction", v.direction == WHO_TRANSFER_UPLOAD ? "upload" : "download")
                              .str("file", v.file)
                              .unum("bytes", v.who.transfer_bytes)
                              .real("speed_kbs", v.speed)
                              .text());
    }
    o.append_to(out);
}

std::string totals_line(const Totals &t) {
    return format("Online: %" PRId64 " of %" PRId64 "  Upload: %" PRId64 " at %.1fKB/s  Download: %" PRId64
                  " at %.1fKB/s  Total: %" PRId64 " at %.1fKB/s\n",
                  t.online, t.slots, t.uploads, t.up_speed, t.downloads, t.down_speed,
                  t.uploads + t.downloads, t.up_speed + t.down_speed);
}

std::string totals_json(const Totals &t) {
    return JsonObject()
        .num("online", t.online)
        .num("slots", t.slots)
        .num("uploads", t.uploads)
        .real("upload_kbs", t.up_speed)
        .num("downloads", t.downloads)
        .real("download_kbs", t.down_speed)
        .num("transfers", t.uploads + t.downloads)
        .real("total_kbs", t.up_speed + t.down_speed)
        .text();
}

// sitekit who --list / --json: one snapshot of the table.
int list_table(Invocation &inv) {
    ListOptions opt;
    if (int rc = parse_list_options(inv, opt); rc != kOk)
        return rc < 0 ? kOk : rc;
    who::table table;
    if (std::string why = table.attach(opt.key, opt.stride); !why.empty())
        return fail(inv, kRefused, why);
    int64_t now = std::time(nullptr);
    Totals totals;
    totals.slots = static_cast<int64_t>(table.slots());
    std::string out = opt.json ? "{\"users\":[" : "";
    for (std::size_t i = 0; i < table.slots(); ++i) {
        if (table.slot(i).pid == 0)
            continue;
        SlotView v = view_slot(i, table.slot(i), now);
        if (totals.online > 0 && opt.json)
            out += ",\n ";
        totals.count(v);
        if (opt.json)
            append_json(out, v);
        else
            append_line(out, v);
    }
    if (opt.json) {
        std::string t = totals_json(totals);
        out.append("],\"totals\":").append(t).append("}\n");
    } else {
        out += totals_line(totals);
    }
    // A write that fails is found by the check of stdout when the program ends.
    (void)std::fwrite(out.data(), 1, out.size(), stdout);
    return kOk;
}

bool lists(const Invocation &inv) {
    if (inv.json)
        return true;
    for (const std::string &a : inv.args)
        if (a == "--list" || a == "--json")
            return true;
    return false;
}

int cmd_who(Invocation &inv, const Parsed * /*p*/) {
    if (lists(inv))
        return list_table(inv);
    // The monitor takes the site root as sitekit does, and finds the
    // daemon's configuration below it unless -c or -r says otherwise.
    std::vector<std::string> args = {kMonitor};
    if (std::string root = sitekit_get_root(); !root.empty()) {
        args.push_back("--root");
        args.push_back(root);
    }
    args.insert(args.end(), inv.args.begin(), inv.args.end());
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    (void)std::fflush(stdout);
    std::string path = find_monitor();
    if (!path.empty())
        execv(path.c_str(), argv.data());
    else
        execvp(kMonitor, argv.data());
    return fail(inv, kRefused,
                std::string("cannot run the monitor program ") + kMonitor + ": " + std::strerror(errno) +
                    " (install it beside sitekit or on PATH)");
}

} // namespace

const Command who_command{
    .name = "who",
    .summary = "who [--list|--json] [ARGS...]: who is online (a snapshot, or the monitor)",
    .usage = kWhoUsage,
    .help = "\nWith --list, prints one snapshot of the daemon's online-user table and\n"
            "exits: one tab-separated line per occupied slot (slot, user, group,\n"
            "tagline, idle time, action and, for a transfer, UL or DL, the file,\n"
            "its bytes so far and the average speed in KB/s), then the totals line.\n"
            "--json prints one object instead: {\"users\":[...],\"totals\":{...}}.\n"
            "The table is attached read-only and no terminal is used.\n"
            "  -k KEY     key of the table (default 0x0000DEAD)\n"
            "  -s STRIDE  bytes from one slot to the next (default 904)\n"
            "  -r, -c     taken as the monitor takes them; the listing needs neither\n"
            "Exit status 1 when there is no table (the daemon is not running) or it\n"
            "is smaller than one slot, 2 for a bad option.\n"
            "\n"
            "Without --list or --json, runs the online-user monitor, siteview, with\n"
            "the options given (see 'sitekit who -h'; -D shows a demonstration\n"
            "without a daemon). With --root, the daemon's configuration is read\n"
            "below the root.\n",
    .run = cmd_who,
    .pass_through = true,
};

} // namespace sk::cli
