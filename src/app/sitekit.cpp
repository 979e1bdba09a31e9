// sitekit: one program over the toolkit's modules, for the daemon's hooks,
// cron and shell scripts. Global options, then a subcommand and its own
// options and arguments; see usage below.
#include "cli.h"
#include "commands.h"
#include "siteroot.h"

#include <cerrno>
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

constexpr std::string_view kMainUsage = "usage: sitekit [--root DIR] [--json] COMMAND [ARGS...]\n"
                                        "       sitekit --version | --help\n";

#define SITEKIT_TABLE_ENTRY(name) &name##_command,
constexpr const Command *kCommands[] = {SITEKIT_COMMANDS(SITEKIT_TABLE_ENTRY)};

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
    for (const Command *c : kCommands)
        std::printf("  %-9.*s %.*s\n", static_cast<int>(c->name.size()), c->name.data(),
                    static_cast<int>(c->summary.size()), c->summary.data());
    std::printf("\nRun 'sitekit COMMAND --help' for a command's options.\n"
                "Exit status: 0 done, 1 refused or not found, 2 usage error.\n");
}

int global_usage(const std::string &message) {
    std::fprintf(stderr, "sitekit: %s\n%.*s", message.c_str(), static_cast<int>(kMainUsage.size()),
                 kMainUsage.data());
    std::fprintf(stderr, "Run 'sitekit --help' for the commands.\n");
    return kUsage;
}

const Command *find_command(std::string_view name) {
    for (const Command *c : kCommands)
        if (c->name == name)
            return c;
    return nullptr;
}

int cmd_help(Invocation &inv, const Parsed * /*p*/) {
    if (inv.args.size() > 1)
        return global_usage("'help' takes one command name");
    // "help --help" asks for the help's own help: the main text.
    bool own = inv.args.empty() || inv.args[0] == "--help" || inv.args[0] == "-h";
    const Command *c = own ? &help_command : find_command(inv.args[0]);
    if (c == nullptr)
        return global_usage("unknown command '" + inv.args[0] + "'");
    if (c != &help_command) {
        Invocation sub{std::string(c->name), {"--help"}};
        return run_command(*c, sub);
    }
    print_help();
    return kOk;
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
    if (const Command *c = find_command(inv.name))
        return run_command(*c, inv);
    return global_usage("unknown command '" + inv.name + "'");
}
} // namespace

const Command sk::cli::help_command{
    .name = "help",
    .summary = "help [COMMAND]: this text, or a command's own help",
    .run = cmd_help,
    .pass_through = true,
};

int main(int argc, char **argv) {
    int status = kRefused;
    try {
        status = run(argc, argv);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "sitekit: %s\n", e.what());
    }
    // Output a script reads must have arrived: a full disk or a closed pipe
    // is a failure, never a success with the records missing.
    // The listings write their blocks past stdio and keep their own error.
    errno = 0;
    bool unwritten = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (!unwritten && output_error() != 0) {
        errno = output_error();
        unwritten = true;
    }
    if (unwritten) {
        (void)std::fprintf(stderr, "sitekit: cannot write the output: %s\n",
                           errno ? std::strerror(errno) : "write error");
        return status == kOk ? kRefused : status;
    }
    return status;
}
