// sitekit user / group: lookups in the daemon's passwd and group files.
// One lookup reads each file once and stops at the answer (the one-pass
// scan of acctscan): it gives what the account file cache would, without
// building the cache.
#include "acctdb.h"
#include "acctscan.h"
#include "commands.h"
#include "internal.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace sk::cli {

namespace {

constexpr std::string_view kUserUsage = "usage: sitekit user [--etc DIR] [--json] NAME|UID\n";
constexpr std::string_view kGroupUsage = "usage: sitekit group [--etc DIR] [--json] NAME|GID\n";
constexpr Option kAccountsOptions[] = {{"--json", false}, {"--etc", true}};
#define SITEKIT_ACCOUNTS_HELP(what, file)                                                                    \
    "\n"                                                                                                     \
    "Looks the " what " up in the daemon's " file " file (/etc below the site root, or\n"                    \
    "the folder --etc names). A number is taken as an id first, then as a name.\n"                           \
    "Exit status 1 when there is no such " what ".\n"

bool all_digits(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The path of an account file in the folder in use; empty when memory ran out.
std::string account_path(const char *file) {
    const char *dir = _pwd_get_etcdir();
    return dir ? std::string(dir) + "/" + file : std::string();
}

// Sets the folder of the account files and checks that file can be read.
// Returns kOk or the exit status after a message.
int open_accounts(Invocation &inv, const Parsed &p, const char *file, std::string_view usage) {
    if (auto etc = p.value("--etc")) {
        if (access(etc->c_str(), F_OK) != 0)
            return usage_error(inv, "the folder " + *etc + " does not exist", usage);
        pwd_set_etcdir(etc->c_str());
    }
    std::string path = account_path(file);
    if (path.empty())
        return fail(inv, kRefused, std::string("out of memory finding the ") + file + " file");
    if (regular_file f = open_regular(path.c_str(), O_RDONLY); !f)
        return fail(inv, kRefused,
                    "cannot read " + path + ": " + open_reason(f) + " (check --root or --etc)");
    return kOk;
}

// The id of an all-digit key, or nullopt when it is no id (or out of range).
std::optional<int> as_id(Invocation &inv, const std::string &key, std::string_view usage, bool &bad) {
    bad = false;
    if (!all_digits(key))
        return std::nullopt;
    auto v = parse_int(key);
    if (!v || *v > INT_MAX) {
        usage_error(inv, "the id " + key + " is out of range", usage);
        bad = true;
        return std::nullopt;
    }
    return static_cast<int>(*v);
}

std::vector<std::string> split_members(std::string_view members) {
    std::vector<std::string> out;
    std::string_view rest = members;
    while (!rest.empty()) {
        auto comma = rest.find(',');
        std::string_view one = rest.substr(0, comma);
        if (!one.empty())
            out.emplace_back(one);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

int cmd_user(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 1, 1, kUserUsage))
        return kUsage;
    if (int rc = open_accounts(inv, *p, "passwd", kUserUsage); rc != kOk)
        return rc;
    const std::string &key = p->operands[0];
    bool bad = false;
    auto id = as_id(inv, key, kUserUsage, bad);
    if (bad)
        return kUsage;
    pwd_user user{};
    if (!acct::scan_user(account_path("passwd").c_str(), {id, key}, user))
        return fail(inv, kRefused, "no user '" + key + "' in the passwd file");
    acct::found_group g;
    std::string group;
    if (acct::scan_group(account_path("group").c_str(), {user.gid, std::nullopt}, g))
        group = field_view(g.record.name, sizeof g.record.name);
    auto text = [](const char *field, size_t width) { return std::string(field_view(field, width)); };
    if (want_json(inv, *p)) {
        std::printf("%s\n", JsonObject()
                                .str("name", text(user.name, sizeof user.name))
                                .num("uid", user.uid)
                                .num("gid", user.gid)
                                .str("group", group)
                                .str("gecos", text(user.gecos, sizeof user.gecos))
                                .str("home", text(user.home, sizeof user.home))
                                .str("shell", text(user.shell, sizeof user.shell))
                                .text()
                                .c_str());
    } else {
        std::printf("name:  %s\nuid:   %d\ngid:   %d%s%s%s\ngecos: %s\nhome:  %s\nshell: %s\n",
                    text(user.name, sizeof user.name).c_str(), user.uid, user.gid, group.empty() ? "" : " (",
                    group.c_str(), group.empty() ? "" : ")", text(user.gecos, sizeof user.gecos).c_str(),
                    text(user.home, sizeof user.home).c_str(), text(user.shell, sizeof user.shell).c_str());
    }
    return kOk;
}

int cmd_group(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 1, 1, kGroupUsage))
        return kUsage;
    if (int rc = open_accounts(inv, *p, "group", kGroupUsage); rc != kOk)
        return rc;
    const std::string &key = p->operands[0];
    bool bad = false;
    auto id = as_id(inv, key, kGroupUsage, bad);
    if (bad)
        return kUsage;
    acct::found_group g;
    if (!acct::scan_group(account_path("group").c_str(), {id, key}, g))
        return fail(inv, kRefused, "no group '" + key + "' in the group file");
    std::string name(field_view(g.record.name, sizeof g.record.name));
    auto members = split_members(g.members);
    if (want_json(inv, *p)) {
        // Appended piece by piece: "," + json_string(...) trips a false
        // -Wrestrict in g++ 12's inlined string concatenation.
        std::string list = "[";
        for (size_t i = 0; i < members.size(); ++i) {
            if (i)
                list += ',';
            list += json_string(members[i]);
        }
        list += "]";
        std::printf(
            "%s\n",
            JsonObject().str("name", name).num("gid", g.record.gid).raw("members", list).text().c_str());
    } else {
        std::string list;
        for (size_t i = 0; i < members.size(); ++i) {
            if (i)
                list += ' ';
            list += members[i];
        }
        std::printf("name:    %s\ngid:     %d\nmembers: %s\n", name.c_str(), g.record.gid, list.c_str());
    }
    return kOk;
}

} // namespace

const Command user_command{
    .name = "user",
    .summary = "user NAME|UID: look up a user of the daemon's passwd file",
    .usage = kUserUsage,
    .help = SITEKIT_ACCOUNTS_HELP("user", "passwd"),
    .options = kAccountsOptions,
    .run = cmd_user,
};
const Command group_command{
    .name = "group",
    .summary = "group NAME|GID: look up a group of the daemon's group file",
    .usage = kGroupUsage,
    .help = SITEKIT_ACCOUNTS_HELP("group", "group"),
    .options = kAccountsOptions,
    .run = cmd_group,
};

} // namespace sk::cli
