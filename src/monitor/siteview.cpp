// siteview: watch the daemon's online users in a full-screen view.
//
// Attaches the daemon's online-user table (a System V shared memory
// segment) read-only, links its slots into the node list the view walks and
// runs the view until q. With -D it runs the demonstration of demo.h
// instead. --root names the site root, below which the daemon's
// configuration file is found.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <getopt.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include "demo.h"
#include "internal.h"
#include "siteroot.h"
#include "watchview.h"

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

constexpr key_t kDefaultKey = 0x0000DEAD;
constexpr const char *kDefaultRoot = "/glftpd";

struct Options {
    key_t key = kDefaultKey;
    std::size_t stride = sizeof(who_record);
    std::string root;
    bool root_given = false;
    std::string config;
    bool demo = false;
};

bool parse_number(std::string_view text, unsigned long long &value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Returns 0 to go on, else the exit status (1 bad usage, -1 for -h).
int parse_options(int argc, char **argv, Options &opt) {
    static const struct option kLong[] = {{"root", required_argument, nullptr, 'R'},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    unsigned long long n = 0;
    while ((c = getopt_long(argc, argv, "k:s:r:c:Dh", kLong, nullptr)) != -1) {
        switch (c) {
        case 'R':
            if (sitekit_set_root(optarg) != 0) {
                std::fprintf(stderr, "siteview: the site root '%s' is too long\n", optarg);
                return 1;
            }
            break;
        case 'k':
            // Key 0 is IPC_PRIVATE, which names no existing table.
            if (!parse_number(optarg, n) || n == 0 || n > 0xFFFFFFFFULL) {
                std::fprintf(stderr, "siteview: bad table key '%s' (a number such as 0x0000DEAD)\n", optarg);
                return 1;
            }
            opt.key = static_cast<key_t>(static_cast<uint32_t>(n));
            break;
        case 's':
            if (!parse_number(optarg, n) || n < sizeof(who_record) || n % 4 != 0 || n > (1u << 20)) {
                std::fprintf(stderr,
                             "siteview: bad slot stride '%s': it must be a multiple of 4 and at least %zu\n",
                             optarg, sizeof(who_record));
                return 1;
            }
            opt.stride = static_cast<std::size_t>(n);
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

// The "rootpath" of the daemon configuration at path, read by the rules of
// the site tools' shared reader. False when the file cannot be read or names
// no root path (an empty one included).
bool read_rootpath(const std::string &path, std::string &root) {
    sk::daemon_config config;
    if (!sk::load_daemon_config(path.c_str(), config) || !config.rootpath || config.rootpath->empty())
        return false;
    root = *config.rootpath;
    return true;
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
    int id = shmget(opt.key, 0, 0);
    if (id < 0) {
        if (errno == ENOENT)
            std::fprintf(stderr, "siteview: no online-user table with key 0x%08X (is the daemon running?)\n",
                         static_cast<unsigned>(opt.key));
        else
            std::fprintf(stderr, "siteview: cannot open the online-user table 0x%08X: %s\n",
                         static_cast<unsigned>(opt.key), std::strerror(errno));
        return 1;
    }
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0) {
        std::fprintf(stderr, "siteview: cannot look at the online-user table 0x%08X: %s\n",
                     static_cast<unsigned>(opt.key), std::strerror(errno));
        return 1;
    }
    std::size_t size = info.shm_segsz;
    if (size < opt.stride) {
        std::fprintf(
            stderr,
            "siteview: the online-user table 0x%08X holds %zu bytes, less than one slot (%zu bytes); "
            "check -s\n",
            static_cast<unsigned>(opt.key), size, opt.stride);
        return 1;
    }
    void *base = shmat(id, nullptr, SHM_RDONLY);
    if (base == reinterpret_cast<void *>(-1)) {
        std::fprintf(stderr, "siteview: cannot attach the online-user table 0x%08X: %s\n",
                     static_cast<unsigned>(opt.key), std::strerror(errno));
        return 1;
    }
    int rc = run_view(static_cast<char *>(base), size / opt.stride, opt.stride);
    shmdt(base);
    return rc;
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
        if (!read_rootpath(config, root)) {
            std::fprintf(stderr, "siteview: no rootpath in %s, using %s\n", config.c_str(), kDefaultRoot);
            root = kDefaultRoot;
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
