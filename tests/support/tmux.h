// A private tmux server for tests of programs in a real terminal: the
// program runs in its one pane, keys go in with send-keys and the screen
// comes back with capture-pane.
#ifndef SITEKIT_TESTS_TMUX_H
#define SITEKIT_TESTS_TMUX_H

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "testsupport.h"

namespace sktest {

// A private tmux server with one pane, killed when the object goes.
class Tmux {
  public:
    Tmux(const std::string &command, int cols, int rows) {
        static int serial = 0;
        socket_ = "sitekit-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
        run("-f /dev/null new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) + " " +
            quote(command));
    }
    ~Tmux() {
        run("kill-server");
        const char *dir = std::getenv("TMUX_TMPDIR");
        std::string socket_path =
            std::string(dir && *dir ? dir : "/tmp") + "/tmux-" + std::to_string(getuid()) + "/" + socket_;
        unlink(socket_path.c_str());
    }
    Tmux(const Tmux &) = delete;
    Tmux &operator=(const Tmux &) = delete;

    sktest::RunResult run(const std::string &args) const {
        return sktest::run_command("tmux -L " + socket_ + " " + args);
    }
    void keys(const std::string &keys) const { run("send-keys " + keys); }
    std::vector<std::string> screen() const {
        std::vector<std::string> rows;
        std::string text = run("capture-pane -p").out, row;
        for (char c : text) {
            if (c == '\n') {
                rows.push_back(row);
                row.clear();
            } else {
                row += c;
            }
        }
        return rows;
    }
    // Waits up to 5 s for the screen to satisfy the check; true when it did.
    bool wait_for(const std::function<bool(const std::vector<std::string> &)> &check) const {
        for (int i = 0; i < 100; ++i) {
            if (check(screen()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    bool wait_row(std::size_t row, const std::string &text) const {
        return wait_for([&](const std::vector<std::string> &s) {
            return row < s.size() && s[row].find(text) != std::string::npos;
        });
    }
    bool wait_text(const std::string &text) const {
        return wait_for([&](const std::vector<std::string> &s) {
            for (const std::string &row : s)
                if (row.find(text) != std::string::npos)
                    return true;
            return false;
        });
    }
    std::string dump() const {
        std::string out;
        for (const std::string &r : screen())
            out += r + "\n";
        return out;
    }

  private:
    std::string socket_;
};

} // namespace sktest

#endif
