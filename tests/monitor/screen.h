// A curses screen on a pseudo-terminal of a chosen size, for drawing tests:
// what the program writes to the terminal is drained and thrown away, the
// panes are read back through curses, and keys are typed into the terminal.
#ifndef SITEKIT_TESTS_MONITOR_SCREEN_H
#define SITEKIT_TESTS_MONITOR_SCREEN_H

#include <atomic>
#include <string>
#include <thread>

#include <curses.h>

class PtyScreen {
  public:
    PtyScreen(int rows, int cols);
    ~PtyScreen();
    PtyScreen(const PtyScreen &) = delete;
    PtyScreen &operator=(const PtyScreen &) = delete;

    // Types bytes as if from the keyboard.
    void type(const std::string &bytes);
    // The escape sequence of a key as the terminal sends it ("kcud1", "kcuu1").
    static std::string key(const char *capability);

  private:
    int master_ = -1;
    int slave_ = -1;
    FILE *in_ = nullptr;
    FILE *out_ = nullptr;
    SCREEN *screen_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread drain_;
};

// Row of a window as text (its full width).
std::string row_text(WINDOW *win, int row);
// True when every cell of the row is drawn in reverse video.
bool row_reversed(WINDOW *win, int row);

#endif
