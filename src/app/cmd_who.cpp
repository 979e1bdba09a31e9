// sitekit who: runs the online-user monitor program (siteview), so that it
// is reachable from here too. The monitor is a separate program because it
// needs the terminal library; sitekit itself stays small and static.
#include "commands.h"
#include "internal.h"
#include "siteroot.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

int cmd_who(Invocation &inv, const Parsed * /*p*/) {
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
    .summary = "who [ARGS...]: the online-user monitor",
    .usage = "usage: sitekit who [MONITOR OPTIONS...]\n",
    .help = "\nRuns the online-user monitor, siteview, with the options given (see\n"
            "'sitekit who -h'; -D shows a demonstration without a daemon). With\n"
            "--root, the daemon's configuration is read below the root.\n",
    .run = cmd_who,
    .pass_through = true,
};

} // namespace sk::cli
