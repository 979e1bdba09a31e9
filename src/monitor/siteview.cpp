// siteview: watch the daemon's online users in a full-screen view.
//
// Attaches the daemon's online-user table (a System V shared memory
// segment) read-only, links its slots into the node list the view walks and
// runs the view until q. With -D it makes a private table of its own with a
// few simulated users whose transfers move, so the view can be seen without
// a daemon.
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "internal.h"
#include "watchview.h"

namespace {

const char kUsage[] =
    "usage: siteview [-k key] [-s stride] [-r rootpath | -c config] [-D] [-h]\n"
    "\n"
    "  -k key      key of the online-user table (default 0x0000DEAD)\n"
    "  -s stride   bytes from one slot to the next (default the record size, 904)\n"
    "  -r path     site root that the users' directories lie below\n"
    "  -c file     daemon configuration file to take \"rootpath\" from\n"
    "              (default /etc/glftpd.conf)\n"
    "  -D          demonstration: a private table with simulated users\n"
    "  -h          this text\n"
    "\n"
    "Keys: up and down select a user, d lists the user's directory, u the\n"
    "users again, k ends the selected user's process, q quits.\n";

constexpr key_t kDefaultKey = 0x0000DEAD;
constexpr const char *kDefaultConfig = "/etc/glftpd.conf";
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
    int c;
    unsigned long long n = 0;
    while ((c = getopt(argc, argv, "k:s:r:c:Dh")) != -1) {
        switch (c) {
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

// The "rootpath" of the daemon configuration: lines of a key, white space
// and a value; keys in any case; lines starting with '#' are comments.
bool read_rootpath(const std::string &path, std::string &root) {
    sk::unique_file f(std::fopen(path.c_str(), "r"));
    if (!f)
        return false;
    char buf[4096];
    bool found = false;
    while (std::fgets(buf, sizeof buf, f.get())) {
        std::string_view line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos || line[start] == '#')
            continue;
        line.remove_prefix(start);
        std::size_t gap = line.find_first_of(" \t");
        if (gap == std::string_view::npos)
            continue;
        std::string_view key = line.substr(0, gap);
        std::size_t value_at = line.find_first_not_of(" \t", gap);
        if (value_at == std::string_view::npos || key.size() != 8 || strncasecmp(key.data(), "rootpath", 8) != 0)
            continue;
        std::string_view value = line.substr(value_at);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        root.assign(value);
        found = true;
    }
    return found;
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
        std::fprintf(stderr,
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

// --- demonstration ---------------------------------------------------------

constexpr std::size_t kDemoSlots = 10; // the users in every other slot

struct DemoUser {
    const char *name;
    const char *command; // status text; transfers get a file name behind it
    const char *dir;
    int64_t rate;        // bytes per second of a transfer
};

const DemoUser kDemoUsers[] = {
    {"alice", "STOR ", "/site/incoming/Demo.Release-GRP", 900 * 1024},
    {"bob", "RETR ", "/site/archive/Old.Release-GRP", 2400 * 1024},
    {"carol", "LIST -al", "/site/incoming", 0},
    {"dave", "RETR ", "/site/archive/Another.One-GRP", 650 * 1024},
    {"eve", "IDLE", "/site", 0},
};

static_assert(std::size(kDemoUsers) * 2 <= kDemoSlots);

// A simulated user's process: sleeps until signalled, so that the kill key
// has something to end.
// It goes when the simulation goes.
pid_t spawn_sleeper() {
    pid_t simulation = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGTERM, SIG_DFL); // not the simulation's handler
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != simulation)
            _exit(0);
        for (;;)
            pause();
    }
    return pid;
}

void fill_demo_slot(who_record &w, const DemoUser &u, pid_t pid, int64_t now, int part) {
    std::memset(&w, 0, sizeof w);
    sk::copy_field(w.user_info, sizeof w.user_info, std::string("demo user ") + u.name);
    sk::copy_field(w.user_name, sizeof w.user_name, u.name);
    std::string command = u.command;
    if (u.rate > 0)
        command += "demo-part" + std::to_string(part) + ".rar";
    sk::copy_field(w.status_text, sizeof w.status_text, command);
    sk::copy_field(w.host, sizeof w.host, std::string(u.name) + "@demo.invalid");
    sk::copy_field(w.current_dir, sizeof w.current_dir, u.dir);
    w.group_id = 100;
    w.online_since = static_cast<int32_t>(now - 3600 - 97 * static_cast<int64_t>(std::strlen(u.name)));
    w.status_time = static_cast<int32_t>(now);
    if (u.rate > 0)
        w.transfer_start_sec = static_cast<int32_t>(now);
    w.pid = pid;
}

// The simulation: moves the transfers on every quarter second, starts the
// next file when one is complete, and empties the slot of a user whose
// process has ended. Runs until the view's process goes away.
volatile std::sig_atomic_t simulation_stopped = 0;

void stop_simulation(int) {
    simulation_stopped = 1;
}

[[noreturn]] void simulate(who_record *slots, pid_t viewer) {
    std::signal(SIGTERM, stop_simulation);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != viewer)
        _exit(0);
    pid_t pids[std::size(kDemoUsers)];
    int parts[std::size(kDemoUsers)] = {};
    int64_t now = std::time(nullptr);
    for (std::size_t i = 0; i < std::size(kDemoUsers); ++i) {
        pids[i] = spawn_sleeper();
        if (pids[i] > 0) // a user whose process cannot start stays away
            fill_demo_slot(slots[i * 2], kDemoUsers[i], pids[i], now, parts[i]);
    }
    constexpr uint64_t kFileSize = 50ULL * 1024 * 1024;
    while (!simulation_stopped && getppid() == viewer) {
        usleep(250000);
        now = std::time(nullptr);
        for (std::size_t i = 0; i < std::size(kDemoUsers); ++i) {
            who_record &w = slots[i * 2];
            if (w.pid == 0)
                continue;
            if (waitpid(pids[i], nullptr, WNOHANG) == pids[i]) {
                w.pid = 0;
                pids[i] = 0; // reaped: the number may soon belong to another process
                continue;
            }
            if (kDemoUsers[i].rate == 0)
                continue;
            // A little wobble keeps the rates alive.
            uint64_t step = static_cast<uint64_t>(kDemoUsers[i].rate / 4) * (90 + std::rand() % 21) / 100;
            if (w.transfer_bytes + step >= kFileSize)
                fill_demo_slot(w, kDemoUsers[i], pids[i], now, ++parts[i]);
            else
                w.transfer_bytes = w.transfer_bytes + step;
        }
    }
    // Reaped here, so that no dead user process is left for init to collect.
    for (pid_t pid : pids) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    _exit(0);
}

// A small site tree for the demonstration users' directories, so that the
// directory view has something to list. Returns its path, or "" when it
// cannot be made.
std::string make_demo_site() {
    std::string templ = (std::filesystem::temp_directory_path() / "siteview-demo.XXXXXX").string();
    if (!mkdtemp(templ.data()))
        return {};
    std::error_code ec;
    for (const DemoUser &u : kDemoUsers) {
        std::filesystem::path dir = std::filesystem::path(templ) / (u.dir + 1);
        std::filesystem::create_directories(dir, ec);
        for (const char *name : {"release.nfo", "release.sfv", "release.rar", "release.r00", "release.r01"})
            std::ofstream(dir / name) << "demo\n";
        std::filesystem::create_directories(dir / "Sample", ec);
    }
    return templ;
}

int run_demo() {
    int id = shmget(IPC_PRIVATE, kDemoSlots * sizeof(who_record), IPC_CREAT | 0600);
    if (id < 0) {
        std::fprintf(stderr, "siteview: cannot create a demonstration table: %s\n", std::strerror(errno));
        return 1;
    }
    void *base = shmat(id, nullptr, 0);
    shmctl(id, IPC_RMID, nullptr); // gone as soon as both processes detach
    if (base == reinterpret_cast<void *>(-1)) {
        std::fprintf(stderr, "siteview: cannot attach the demonstration table: %s\n", std::strerror(errno));
        return 1;
    }
    std::memset(base, 0, kDemoSlots * sizeof(who_record));
    pid_t viewer = getpid();
    pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "siteview: cannot start the demonstration: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0)
        simulate(static_cast<who_record *>(base), viewer);
    int rc = run_view(static_cast<char *>(base), kDemoSlots, sizeof(who_record));
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
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
        demo_site = make_demo_site();
        root = demo_site;
    } else if (!opt.root_given) {
        std::string config = opt.config.empty() ? sk::site_path(kDefaultConfig) : opt.config;
        if (!read_rootpath(config, root)) {
            std::fprintf(stderr, "siteview: no rootpath in %s, using %s\n", config.c_str(), kDefaultRoot);
            root = kDefaultRoot;
        }
    }
    if (!sk::copy_field(status.root_path, sizeof status.root_path, root)) {
        std::fprintf(stderr, "siteview: the root path is longer than %zu bytes\n", sizeof status.root_path - 1);
        return 1;
    }
    int rc = opt.demo ? run_demo() : watch_table(opt);
    if (!demo_site.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(demo_site, ec);
    }
    return rc;
}
