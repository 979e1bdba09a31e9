// siteview: watch the daemon's online users in a full-screen view.
//
// Attaches the daemon's online-user table (a System V shared memory
// segment) read-only, links its slots into the node list the view walks and
// runs the view until q. With -D it runs the demonstration of demo.h
// instead. --root names the site root, below which the daemon's
// configuration file is found.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include "demo.h"
#include "internal.h"
#include "siteroot.h"
#include "watchview.h"
#include "whotable.h"

namespace {

const char kUsage[] =
    "usage: siteview [--root DIR] [-k key] [-s stride] [-r rootpath | -c config] [-D] [-h]\n"
    "\n"
    "  --root DIR  site root: the daemon's files lie below it\n"
    "  -k key      key of the online-user table (default 0x0000DEAD)\n"
    "  -s stride   bytes from one slot to the next (default the record size, 904)\n"
    "  -r path     the daemon's root path, that the users' directories lie below\n"
    "  -c file     daemon configuration file to take \"rootpath\" from\n"
    "              (default /etc/glftpd.conf below the site root)\n"
    "  -D          demonstration: a private table with simulated users\n"
    "  -h          this text\n"
    "\n"
    "Keys: up and down select a user, d lists the user's directory, u the\n"
    "users again, k ends the selected user's process, q quits.\n";

struct Options {
    key_t key = sk::who::kDefaultKey;
    std::size_t stride = sizeof(who_record);
    std::string root;
    bool root_given = false;
    std::string config;
    bool demo = false;
};

// Returns 0 to go on, else the exit status (1 bad usage, -1 for -h).
int parse_options(int argc, char **argv, Options &opt) {
    static const struct option kLong[] = {{"root", required_argument, nullptr, 'R'},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "k:s:r:c:Dh", kLong, nullptr)) != -1) {
        switch (c) {
        case 'R':
            if (sitekit_set_root(optarg) != 0) {
                std::fprintf(stderr, "siteview: the site root '%s' is too long\n", optarg);
                return 1;
            }
            break;
        case 'k':
            if (std::string why = sk::who::parse_key(optarg, opt.key); !why.empty()) {
                std::fprintf(stderr, "siteview: %s\n", why.c_str());
                return 1;
            }
            break;
        case 's':
            if (std::string why = sk::who::parse_stride(optarg, opt.stride); !why.empty()) {
                std::fprintf(stderr, "siteview: %s\n", why.c_str());
                return 1;
            }
            break;
        case 'r':
            opt.root = optarg;
            opt.root_given = true;
            break;
        case 'c':
            opt.config = optarg;
            break;
        case 'D':
            opt.demo = true;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return -1;
        default:
            std::fputs(kUsage, stderr);
            return 1;
        }
    }
    if (optind != argc) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    return 0;
}

std::vector<spy_node> link_slots(char *base, std::size_t count, std::size_t stride) {
    std::vector<spy_node> nodes(count);
    for (std::size_t i = 0; i < count; ++i) {
        nodes[i].number = static_cast<int32_t>(i);
        nodes[i].who = reinterpret_cast<who_record *>(base + i * stride);
        nodes[i].prev = i > 0 ? &nodes[i - 1] : nullptr;
        nodes[i].next = i + 1 < count ? &nodes[i + 1] : nullptr;
    }
    return nodes;
}

// Runs the view over count slots at base. Returns the exit status.
int run_view(char *base, std::size_t count, std::size_t stride) {
    std::vector<spy_node> nodes = link_slots(base, count, stride);
    watchview_init(static_cast<int32_t>(count));
    watchview_handler(nodes.empty() ? nullptr : nodes.data());
    watchview_deinit();
    return 0;
}

int watch_table(const Options &opt) {
    sk::who::table table;
    if (std::string why = table.attach(opt.key, opt.stride); !why.empty()) {
        std::fprintf(stderr, "siteview: %s\n", why.c_str());
        return 1;
    }
    return run_view(table.base(), table.slots(), table.stride());
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (int rc = parse_options(argc, argv, opt); rc != 0)
        return rc < 0 ? 0 : rc;

    std::string root = opt.root;
    std::string demo_site;
    if (opt.demo && !opt.root_given) {
        demo_site = sk::demo::make_demo_site();
        root = demo_site;
    } else if (!opt.root_given) {
        std::string config = opt.config.empty() ? sk::site_path(sk::kDaemonConfig) : opt.config;
        if (!sk::who::read_rootpath(config, root)) {
            std::fprintf(stderr, "siteview: no rootpath in %s, using %s\n", config.c_str(),
                         sk::who::kDefaultRootPath);
            root = sk::who::kDefaultRootPath;
        }
    }
    if (!sk::copy_field(status.root_path, sizeof status.root_path, root)) {
        std::fprintf(stderr, "siteview: the root path is longer than %zu bytes\n",
                     sizeof status.root_path - 1);
        return 1;
    }
    int rc = opt.demo ? sk::demo::run_demo(run_view) : watch_table(opt);
    if (!demo_site.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(demo_site, ec);
    }
    return rc;
}
