// The monitor's demonstration: a private online-user table with a few
// simulated users whose transfers move, and a small site tree for their
// directories, so that the view can be seen without a daemon.
#include "demo.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "internal.h"
#include "whorecord.h"

namespace sk::demo {

namespace {

constexpr std::size_t kDemoSlots = 10; // the users in every other slot

struct DemoUser {
    const char *name;
    const char *command; // status text; transfers get a file name behind it
    const char *dir;
    int64_t rate; // bytes per second of a transfer
};

const DemoUser kDemoUsers[] = {
    {"alice", "STOR ", "/site/incoming/Demo.Release-GRP", int64_t{900} * 1024},
    {"bob", "RETR ", "/site/archive/Old.Release-GRP", int64_t{2400} * 1024},
    {"carol", "LIST -al", "/site/incoming", 0},
    {"dave", "RETR ", "/site/archive/Another.One-GRP", int64_t{650} * 1024},
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
        (void)std::signal(SIGTERM, SIG_DFL); // not the simulation's handler
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
    (void)std::signal(SIGTERM, stop_simulation);
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

} // namespace

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

int run_demo(view_runner run_view) {
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

} // namespace sk::demo
