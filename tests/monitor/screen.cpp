#include "screen.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <term.h>
#include <unistd.h>

PtyScreen::PtyScreen(int rows, int cols) {
    winsize ws{};
    ws.ws_row = static_cast<unsigned short>(rows);
    ws.ws_col = static_cast<unsigned short>(cols);
    if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0)
        throw std::runtime_error("openpty failed");
    in_ = fdopen(dup(slave_), "r");
    out_ = fdopen(dup(slave_), "w");
    drain_ = std::thread([this] {
        char buf[4096];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0 && read(master_, buf, sizeof buf) <= 0)
                break;
        }
    });
    screen_ = newterm("xterm", out_, in_);
    if (!screen_)
        throw std::runtime_error("newterm failed");
    set_term(screen_);
}

PtyScreen::~PtyScreen() {
    endwin();
    delscreen(screen_);
    stdscr = nullptr;
    stop_ = true;
    drain_.join();
    std::fclose(in_);
    std::fclose(out_);
    close(slave_);
    close(master_);
}

void PtyScreen::type(const std::string &bytes) {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot type into the terminal");
}

std::string PtyScreen::key(const char *capability) {
    char *seq = tigetstr(const_cast<char *>(capability));
    if (!seq || seq == reinterpret_cast<char *>(-1))
        throw std::runtime_error("no such key");
    return seq;
}

std::string row_text(WINDOW *win, int row) {
    int width = getmaxx(win);
    std::vector<char> buf(static_cast<std::size_t>(width) + 1, '\0');
    mvwinnstr(win, row, 0, buf.data(), width);
    return buf.data();
}

bool row_reversed(WINDOW *win, int row) {
    int width = getmaxx(win);
    std::vector<chtype> cells(static_cast<std::size_t>(width) + 1, 0);
    mvwinchnstr(win, row, 0, cells.data(), width);
    for (int i = 0; i < width; ++i)
        if (!(cells[static_cast<std::size_t>(i)] & A_REVERSE))
            return false;
    return true;
}
