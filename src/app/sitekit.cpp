// sitekit: one program over the toolkit's modules, for the daemon's hooks,
// cron and shell scripts. Global options, then a subcommand and its own
// options and arguments; see usage below.
#include "cli.h"
#include "commands.h"
#include "siteroot.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include <sys/stat.h>

#ifndef SITEKIT_VERSION
#define SITEKIT_VERSION "unknown"
#endif

namespace {

using namespace sk::cli;

constexpr std::string_view kMainUsage =
    "usage: sitekit [--root DIR] [--json] COMMAND [ARGS...]\n"
    "       sitekit --version | --help\n";

struct Command {
    const char *name;
    int (*run)(Invocation &);
    const char *summary;
};

int cmd_help(Invocation &inv);

constexpr Command kCommands[] = {
    {"help", cmd_help, "help [COMMAND]: this text, or a command's own help"},
#ifdef SITEKIT_HAVE_CHECKS
    {"check", cmd_check, "check FILE DIR: the upload check (ZIP and NFO) for the daemon's hook"},
    {"release", cmd_release, "release PATH: the release name of a directory"},
#endif
#ifdef SITEKIT_HAVE_SITELOGS
    {"dirlog", cmd_dirlog, "dirlog update DIR | dirlog list: the directory log"},
    {"dupe", cmd_dupe, "dupe add FILE USER: append to the dupe file"},
    {"dupelog", cmd_dupelog, "dupelog add NAME: append to the dupe log"},
    {"log", cmd_log, "log TEXT: append a line to the site log"},
    {"announce", cmd_announce, "announce EVENT TEXT: append an event line to the site log"},
    {"msg", cmd_msg, "msg FROM TO TEXT: leave a message for a user"},
#endif
#ifdef SITEKIT_HAVE_STATFILE
    {"stats", cmd_stats, "stats add|reset|ratio USERFILE ...: userfile statistics"},
#endif
#ifdef SITEKIT_HAVE_ACCTDB
    {"user", cmd_user, "user NAME|UID: look up a user of the daemon's passwd file"},
    {"group", cmd_group, "group NAME|GID: look up a group of the daemon's group file"},
#endif
#ifdef SITEKIT_HAVE_PENALTYLOG
    {"nukes", cmd_nukes, "nukes [NUKELOG]: the nuked releases, newest first"},
#endif
#ifdef SITEKIT_HAVE_MONITOR
    {"who", cmd_who, "who [ARGS...]: the online-user monitor"},
#endif
};

void print_help() {
    std::printf("%.*s\n", static_cast<int>(kMainUsage.size()), kMainUsage.data());
    std::printf("Tools for a site on the glftpd daemon, over the sitekit libraries.\n\n"
                "Global options:\n"
                "  --root DIR   the site root: the daemon's paths (/ftp-data/..., /etc/...)\n"
                "               are read below DIR; default: none (inside the chroot)\n"
                "  --json       print records as JSON (commands that list or look up)\n"
                "  --version    print the version\n"
                "  --help       print this text\n\n"
                "Commands:\n");
    for (const Command &c : kCommands)
        std::printf("  %-9s %s\n", c.name, c.summary);
    std::printf("\nRun 'sitekit COMMAND --help' for a command's options.\n"
                "Exit status: 0 done, 1 refused or not found, 2 usage error.\n");
}

int global_usage(const std::string &message) {
    std::fprintf(stderr, "sitekit: %s\n%.*s", message.c_str(), static_cast<int>(kMainUsage.size()),
                 kMainUsage.data());
    std::fprintf(stderr, "Run 'sitekit --help' for the commands.\n");
    return kUsage;
}

int cmd_help(Invocation &inv) {
    if (inv.args.empty()) {
        print_help();
        return kOk;
    }
    if (inv.args.size() > 1)
        return global_usage("'help' takes one command name");
    for (const Command &c : kCommands) {
        if (inv.args[0] == c.name && c.run != cmd_help) {
            Invocation sub{c.name, {"--help"}, false};
            return c.run(sub);
        }
    }
    if (inv.args[0] == "help") {
        print_help();
        return kOk;
    }
    return global_usage("unknown command '" + inv.args[0] + "'");
}

int run(int argc, char **argv) {
    Invocation inv;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string_view a = argv[i];
        if (a == "--version") {
            std::printf("sitekit %s\n", SITEKIT_VERSION);
            return kOk;
        }
        if (a == "--help" || a == "-h") {
            print_help();
            return kOk;
        }
        if (a == "--json") {
            inv.json = true;
        } else if (a == "--root" || a.starts_with("--root=")) {
            std::string root;
            if (a == "--root") {
                if (i + 1 >= argc)
                    return global_usage("option '--root' needs a directory");
                root = argv[++i];
            } else {
                root = std::string(a.substr(7));
            }
            struct stat st {};
            if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return global_usage("site root '" + root + "' is not a directory; name an existing one");
            if (sitekit_set_root(root.c_str()) != 0)
                return global_usage("'--root' needs a directory shorter than 4096 characters");
        } else {
            return global_usage("unknown option '" + std::string(a) + "'");
        }
    }
    if (i >= argc)
        return global_usage("no command given");
    inv.name = argv[i];
    for (int k = i + 1; k < argc; ++k)
        inv.args.emplace_back(argv[k]);
    for (const Command &c : kCommands)
        if (inv.name == c.name)
            return c.run(inv);
    return global_usage("unknown command '" + inv.name + "'");
}
} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sitekit: %s\n", e.what());
        return kRefused;
    }
}
