// The monitor program in a real terminal: tmux runs it, keys go in with
// send-keys and the screen comes back with capture-pane.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "shmtable.h"
#include "testsupport.h"
#include "tmux.h"
#include "whorecord.h"

namespace {

using sktest::quote;
using sktest::Tmux;

using sktest::ShmTable;

void fill(who_record &w, const std::string &name, const std::string &status_text, int32_t pid,
          const std::string &cwd = "/") {
    std::strncpy(w.user_name, name.c_str(), sizeof w.user_name - 1);
    std::strncpy(w.status_text, status_text.c_str(), sizeof w.status_text - 1);
    std::strncpy(w.current_dir, cwd.c_str(), sizeof w.current_dir - 1);
    w.status_time = static_cast<int32_t>(std::time(nullptr));
    w.online_since = w.status_time;
    w.pid = pid;
}

// A process of the test's own for the kill key to end; killed and reaped
// when the object goes if it is still there.
class Sleeper {
  public:
    Sleeper() {
        pid_ = fork();
        if (pid_ == 0) {
            execlp("sleep", "sleep", "60", static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~Sleeper() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Sleeper(const Sleeper &) = delete;
    Sleeper &operator=(const Sleeper &) = delete;
    pid_t pid() const { return pid_; }
    // Waits up to 5 s for the process to end; its wait status, or -1.
    int wait_end() {
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
};

std::string siteview() {
    return sktest::build_path("src/monitor/siteview");
}

TEST(SiteviewProgram, ExplainsTablesItCannotUse) {
    ShmTable small(100);
    struct Case {
        std::string args, message;
    } cases[] = {
        {"-k " + small.key(), "holds 100 bytes, less than one slot (904 bytes)"},
        {"-k " + small.key() + " -s 908", "less than one slot (908 bytes)"},
        {"-k 0x5EFFFFFF", "no online-user table with key 0x5EFFFFFF"},
        {"-k nonsense", "bad table key 'nonsense'"},
        {"-k 0", "bad table key '0'"},
        {"-s 900", "bad slot stride '900'"},
        {"-s 906", "bad slot stride '906'"},
        {"extra", "usage: siteview"},
    };
    for (const Case &c : cases) {
        sktest::RunResult r = sktest::run_command(siteview() + " -r /nonexistent " + c.args + " </dev/null");
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
}

// --root finds the daemon's configuration below the site root, read by the
// site tools' rules: "#" starts a comment anywhere on a line.
TEST(SiteviewProgram, ReadsTheConfigurationBelowTheSiteRoot) {
    sktest::TempDir site;
    sktest::write_file(site / "etc/glftpd.conf", "rootpath # " + site.path() + "\n");
    sktest::RunResult r =
        sktest::run_command(siteview() + " --root " + quote(site.path()) + " -k 0x5EFFFFFF </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no rootpath in " + site.path() + "/etc/glftpd.conf, using /glftpd"),
              std::string::npos)
        << r.err;
}

// A FIFO in the configuration's place is passed over, not waited on.
TEST(SiteviewProgram, DoesNotWaitOnAFifoAsConfiguration) {
    sktest::TempDir dir;
    std::string fifo = dir / "glftpd.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    sktest::RunResult r =
        sktest::run_command("timeout 10 " + siteview() + " -c " + quote(fifo) + " -k 0x5EFFFFFF </dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no rootpath in " + fifo), std::string::npos) << r.err;
}

// One run over a table the test made: the root comes from a configuration
// file, the list scrolls at both ends, the directory view lists five entries,
// the kill key ends a process of the test's, and q gives the terminal back.
TEST(SiteviewProgram, RunsOverALiveTable) {
    sktest::TempDir root;
    for (const char *name : {"a1", "a2", "a3", "a4", "a5"})
        sktest::write_file(root / (std::string("site/rel/") + name), "x");
    sktest::write_file(root / "glftpd.conf", "# site settings\n  # indented comment\ndatapath /ftp-data\n"
                                             "ROOTPATH\t" +
                                                 root.path() + "  \n");
    constexpr std::size_t kSlots = 12;
    ShmTable table(kSlots * sizeof(who_record));
    Sleeper sleeper;
    pid_t victim = sleeper.pid();
    ASSERT_GT(victim, 100);
    for (std::size_t i = 0; i < kSlots; ++i)
        fill(table.slot(i), "user" + std::to_string(i), "IDLE", 40 + static_cast<int32_t>(i), "/site/rel");
    table.slot(3).pid = victim;

    // 20 rows: 9 rows in the middle pane, from screen row 6 to 14.
    Tmux tmux("sh -c " + quote(siteview() + " -k " + table.key() + " -c " + quote(root / "glftpd.conf") +
                               "; echo EXIT=$?; stty -a | tr ' ;' '\\n\\n' | grep -E '^-?(icanon|echo)$' | "
                               "tr '\\n' ' '; echo; sleep 30"),
              80, 20);
    ASSERT_TRUE(tmux.wait_row(1, "Online  :  12 of  12  -  zem-spy")) << tmux.dump();
    EXPECT_TRUE(tmux.wait_row(6, "   0  user0")) << tmux.dump();

    tmux.keys("Up");
    ASSERT_TRUE(tmux.wait_row(16, "Pid:    40")) << tmux.dump(); // up at the head: still slot 0
    EXPECT_TRUE(tmux.wait_row(6, "   0  user0")) << tmux.dump();
    for (int i = 0; i < 8; ++i)
        tmux.keys("Down");
    ASSERT_TRUE(tmux.wait_row(16, "Pid:    48")) << tmux.dump(); // last row of the pane, no scrolling yet
    EXPECT_TRUE(tmux.wait_row(6, "   0  user0")) << tmux.dump();
    tmux.keys("Down");
    ASSERT_TRUE(tmux.wait_row(6, "   1  user1")) << tmux.dump(); // scrolled by one row
    EXPECT_TRUE(tmux.wait_row(14, "   9  user9")) << tmux.dump();
    for (int i = 0; i < 5; ++i)
        tmux.keys("Down");
    ASSERT_TRUE(tmux.wait_row(6, "   3  user3")) << tmux.dump(); // at the end
    EXPECT_TRUE(tmux.wait_row(14, "  11  user11")) << tmux.dump();
    for (int i = 0; i < 8; ++i)
        tmux.keys("Up");
    ASSERT_TRUE(tmux.wait_row(6, "   3  user3")) << tmux.dump(); // first row of the pane: slot 3
    tmux.keys("Up");
    ASSERT_TRUE(tmux.wait_row(6, "   2  user2")) << tmux.dump(); // scrolled back by one row
    tmux.keys("Down");                                           // slot 3 again, the test's process

    tmux.keys("d");
    ASSERT_TRUE(tmux.wait_row(6, "Dir: " + root.path() + "/site/rel")) << tmux.dump();
    EXPECT_TRUE(tmux.wait_row(8, " a1 ")) << tmux.dump();
    EXPECT_TRUE(tmux.wait_row(8, "| a2 ")) << tmux.dump();
    EXPECT_TRUE(tmux.wait_row(9, " a3 ")) << tmux.dump();
    EXPECT_TRUE(tmux.wait_row(10, " a5 ")) << tmux.dump();
    EXPECT_EQ(tmux.screen()[11].find(" a"), std::string::npos);

    tmux.keys("k");
    int wstatus = sleeper.wait_end();
    ASSERT_NE(wstatus, -1) << "the kill key did not end the process";
    EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGTERM);

    tmux.keys("u");
    ASSERT_TRUE(tmux.wait_row(6, "   2  user2")) << tmux.dump();
    tmux.keys("q");
    ASSERT_TRUE(tmux.wait_text("EXIT=0")) << tmux.dump();
    ASSERT_TRUE(tmux.wait_text("icanon")) << tmux.dump(); // the terminal modes, printed after the exit
    std::string screen = tmux.dump();
    EXPECT_EQ(screen.find("zem-spy"), std::string::npos) << screen; // the full-screen view is gone
    EXPECT_NE(screen.find("icanon echo"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("-icanon"), std::string::npos) << screen;
}

TEST(SiteviewProgram, DemonstrationMovesAndSurvivesResizing) {
    Tmux tmux("sh -c " + quote(siteview() + " -D; echo EXIT=$?; sleep 30"), 90, 24);
    ASSERT_TRUE(tmux.wait_row(6, "alice")) << tmux.dump();
    ASSERT_TRUE(tmux.wait_row(6, "UL: demo-part")) << tmux.dump();
    std::string before = tmux.screen()[6];
    ASSERT_TRUE(tmux.wait_for([&](const std::vector<std::string> &s) {
        return s.size() > 6 && s[6] != before;
    })) << "the transfer does not move:\n"
        << tmux.dump();
    EXPECT_TRUE(tmux.wait_row(1, "Online  :   5 of  10")) << tmux.dump();

    tmux.keys("d");
    ASSERT_TRUE(tmux.wait_row(8, "Sample")) << tmux.dump();
    tmux.keys("u");

    tmux.run("resize-window -x 90 -y 10");
    ASSERT_TRUE(tmux.wait_row(0, "zem-spy: the terminal needs at least 12 rows")) << tmux.dump();
    tmux.keys("Down Down"); // bob, while the panes are away
    tmux.run("resize-window -x 80 -y 16");
    ASSERT_TRUE(tmux.wait_row(1, "Online  :")) << tmux.dump();
    EXPECT_EQ(tmux.screen()[0].size(), 80u);
    ASSERT_TRUE(tmux.wait_row(12, "Unfo: demo user bob")) << tmux.dump();
    std::string info = tmux.screen()[12];
    pid_t bob = std::atoi(info.c_str() + info.find("Pid:") + 4);
    ASSERT_GT(bob, 100) << info;
    EXPECT_EQ(kill(bob, 0), 0);

    tmux.keys("Up Up k"); // alice's simulated process ends and her slot empties
    ASSERT_TRUE(tmux.wait_row(1, "Online  :   4 of  10")) << tmux.dump();
    tmux.keys("q");
    ASSERT_TRUE(tmux.wait_text("EXIT=0")) << tmux.dump();
    // The simulated users' processes end with the program.
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = kill(bob, 0) != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(gone) << "process " << bob << " outlived the demonstration";
}

// CPU seconds a process has used so far, from /proc.
double cpu_seconds(pid_t pid) {
    std::string stat = sktest::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t at = stat.rfind(')');
    std::vector<std::string> fields;
    std::string field;
    for (char c : stat.substr(at + 2) + " ") {
        if (c == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    // utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// With no keyboard at all the view keeps redrawing at its pace (a wall
// display) instead of spinning on the failing reads.
TEST(SiteviewProgram, WithoutInputRedrawsAtItsPace) {
    Tmux tmux("sh -c " + quote("exec " + siteview() + " -D </dev/null"), 90, 24);
    ASSERT_TRUE(tmux.wait_row(1, "Online  :")) << tmux.dump();
    pid_t pid = std::atoi(tmux.run("display-message -p '#{pane_pid}'").out.c_str());
    ASSERT_GT(pid, 0);
    double before = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    double used = cpu_seconds(pid) - before;
    EXPECT_LT(used, 0.2) << "CPU seconds in 2 s";
    std::string first = tmux.screen()[6];
    EXPECT_TRUE(tmux.wait_for([&](const std::vector<std::string> &s) { return s[6] != first; }))
        << "the view stopped redrawing";
}

} // namespace
