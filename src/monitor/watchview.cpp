#include "watchview.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include <curses.h>

#include "dirlist.h"
#include "internal.h"
#include "whotable.h"
#include "whotransfer.h"

spy_status status;
WINDOW *wstatus = nullptr;
WINDOW *wuserlist = nullptr;
WINDOW *wuserinfo = nullptr;
int32_t userlist_size = -1;
int32_t w_x = -1;

namespace {

constexpr int kMinColumns = 3;
constexpr std::string_view kTooSmall = "zem-spy: the terminal needs at least 12 rows";
constexpr std::string_view kNoUser = "No user online on selected node, press 'u' to get to userlist";

// The highest combined upload and download rate seen at any redraw.
double total_max = 0.0;

std::string vformat(const char *format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    (void)std::vsnprintf(text.data(), text.size(), format, ap);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    return text;
}

// Control characters and bytes outside ASCII would be drawn as several
// cells (or move the cursor) and break the columns; they show as '?'.
using sk::who::printable;

// A text field of a who record, NUL-terminated or not, made printable.
template <std::size_t N> std::string field(const char (&f)[N]) {
    return printable(sk::field_view(f, N));
}

double average(double sum, int32_t count) {
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

void drop_panes() {
    for (WINDOW **w : {&wstatus, &wuserlist, &wuserinfo}) {
        if (*w)
            delwin(*w);
        *w = nullptr;
    }
}

// Draws the border, the two lines and makes the panes for the current size
// of the standard screen; a screen too small for them gets a notice.
void lay_out() {
    drop_panes();
    if (!stdscr) {
        w_x = -1;
        return;
    }
    int rows = getmaxy(stdscr);
    int cols = getmaxx(stdscr);
    w_x = cols - 2;
    werase(stdscr);
    if (rows < WATCHVIEW_MIN_ROWS || cols < kMinColumns) {
        userlist_size = 0;
        mvwaddnstr(stdscr, 0, 0, kTooSmall.data(), std::min<int>(cols, static_cast<int>(kTooSmall.size())));
        wrefresh(stdscr);
        return;
    }
    box(stdscr, ACS_VLINE, ACS_HLINE);
    if (wmove(stdscr, 5, 1) != ERR)
        whline(stdscr, ACS_HLINE, w_x);
    if (wmove(stdscr, rows - 5, 1) != ERR)
        whline(stdscr, ACS_HLINE, w_x);
    wrefresh(stdscr);
    wstatus = subwin(stdscr, 4, w_x, 1, 1);
    userlist_size = rows - 11;
    wuserlist = subwin(stdscr, userlist_size, w_x, 6, 1);
    wuserinfo = subwin(stdscr, 3, w_x, rows - 4, 1);
}

// After a change of size: moves the top node on until the selection is on
// the middle pane again.
void keep_selection_visible(spy_node *&top, spy_node *selected) {
    uint32_t last = userlist_size > 1 ? static_cast<uint32_t>(userlist_size - 1) : 0;
    while (top && top != selected && spy_list_diff(top, selected) > last)
        top = top->next;
}

// The current_dir of a slot must be an absolute path without ".." parts, so
// that joined to the root it stays below the root.
bool below_root(std::string_view dir) {
    if (dir.empty() || dir.front() != '/')
        return false;
    std::size_t at = 0;
    while (at < dir.size()) {
        std::size_t end = dir.find('/', at);
        if (end == std::string_view::npos)
            end = dir.size();
        if (dir.substr(at, end - at) == "..")
            return false;
        at = end + 1;
    }
    return true;
}

void redraw(spy_node *head, spy_node *top, spy_node *selected) {
    status.up_count = 0;
    status.down_count = 0;
    status.up_speed = 0.0;
    status.down_speed = 0.0;
    status.online_count = 0;
    watchview_userlist_render(head, top, selected);
    if (status.up_speed > status.up_max)
        status.up_max = status.up_speed;
    if (status.down_speed > status.down_max)
        status.down_max = status.down_speed;
    if (status.up_speed + status.down_speed > total_max)
        total_max = status.up_speed + status.down_speed;
    watchview_dirlist_render(selected);
    watchview_status_render();
    watchview_userinfo_render(selected);
    watchview_refresh();
}

// Waits up to the refresh period for a key. When the input has ended (a
// closed terminal, or /dev/null) every read fails at once; the rest of the
// period is then slept away, so the view keeps its pace instead of spinning.
int wait_for_key() {
    auto start = std::chrono::steady_clock::now();
    int key = wgetch(stdscr);
    if (key != ERR)
        return key;
    auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (waited.count() < WATCHVIEW_REFRESH_MS)
        napms(static_cast<int>(WATCHVIEW_REFRESH_MS - waited.count()));
    return ERR;
}

void set_view_mode(int32_t mode) {
    status.view_mode = mode;
    if (wuserlist)
        wclear(wuserlist);
}

} // namespace

extern "C" void watchview_init(int32_t max_users) {
    status.max_users = max_users;
    if (!stdscr)
        initscr();
    cbreak();
    noecho();
    nonl();
    intrflush(stdscr, false);
    keypad(stdscr, true);
    lay_out();
}

extern "C" void watchview_deinit(void) {
    drop_panes();
    endwin();
}

extern "C" void watchview_refresh(void) {
    if (wuserlist)
        wnoutrefresh(wuserlist);
    if (wuserinfo)
        wnoutrefresh(wuserinfo);
    if (wstatus)
        wnoutrefresh(wstatus);
    doupdate();
}

extern "C" int watchview_fit_buf(WINDOW *win, const char *fmt, ...) {
    if (!win || !fmt || w_x < 0)
        return ERR;
    try {
        va_list ap;
        va_start(ap, fmt);
        std::string text = vformat(fmt, ap);
        va_end(ap);
        text = printable(text);
        text.resize(static_cast<std::size_t>(w_x), ' ');
        return waddnstr(win, text.data(), static_cast<int>(text.size()));
    } catch (...) {
        return ERR;
    }
}

extern "C" void spy_makeage(int64_t start, int64_t now, char *out) {
    if (!out)
        return;
    sk::who::put_age(start, now, out, WATCHVIEW_AGE_SIZE);
}

extern "C" void watchview_userlist_render_user(int64_t now, spy_node *node, char *line) {
    if (!node || !line)
        return;
    const who_record *who = node->who;
    if (!who || who->pid == 0) {
        (void)std::snprintf(line, WATCHVIEW_LINE_SIZE, " %3d  %-12.12s %-8.8s %s", node->number, "", "", "");
        return;
    }
    ++status.online_count;
    char age[WATCHVIEW_AGE_SIZE];
    spy_makeage(who->status_time, now, age);
    std::string name = field(who->user_name);
    std::string text = printable(sk::who::action_text(*who));

    int32_t direction = who_transfer_direction(who);
    if (direction != WHO_TRANSFER_NONE) {
        char path[WATCHVIEW_LINE_SIZE];
        who_transfer_file(who, path);
        double speed = who_transfer_speed(who);
        const char *slash = std::strrchr(path, '/');
        const char *file = slash ? slash + 1 : path;
        if (direction == WHO_TRANSFER_UPLOAD) {
            status.up_speed += speed;
            ++status.up_count;
        } else if (direction == WHO_TRANSFER_DOWNLOAD) {
            status.down_speed += speed;
            ++status.down_count;
        }
        text = format("%s: %s %5" PRIu64 "k %.1fks", direction == WHO_TRANSFER_UPLOAD ? "UL" : "DL",
                      printable(file).c_str(), static_cast<uint64_t>(who->transfer_bytes / 1024), speed);
    }
    (void)std::snprintf(line, WATCHVIEW_LINE_SIZE, " %3d  %-12.12s %-8.8s %s", node->number, name.c_str(),
                        age, text.c_str());
}

extern "C" void watchview_userlist_render(spy_node *head, spy_node *top, spy_node *selected) {
    int64_t now = std::time(nullptr);
    if (wuserlist)
        wmove(wuserlist, 0, 0);
    int32_t row = 0;
    bool top_reached = false;
    char line[WATCHVIEW_LINE_SIZE];
    for (spy_node *node = head; node; node = node->next) {
        watchview_userlist_render_user(now, node, line);
        if (node == top)
            top_reached = true;
        if (status.view_mode != 1 || !top_reached || row >= userlist_size || !wuserlist)
            continue;
        wmove(wuserlist, row, 0);
        if (node == selected)
            wattr_on(wuserlist, A_REVERSE, nullptr);
        watchview_fit_buf(wuserlist, "%s", line);
        if (node == selected)
            wattr_off(wuserlist, A_REVERSE, nullptr);
        ++row;
    }
}

extern "C" void watchview_status_render(void) {
    if (!wstatus)
        return;
    static const char *const kRate = "%3d at%10.1fKbs (avg: %7.1fKbs, max: %.1fKbs)";
    int32_t count = status.up_count + status.down_count;
    double speed = status.up_speed + status.down_speed;
    wmove(wstatus, 0, 0);
    watchview_fit_buf(wstatus, "Online  : %3d of %3d  -  " WATCHVIEW_BANNER, status.online_count,
                      status.max_users);
    wmove(wstatus, 1, 0);
    watchview_fit_buf(wstatus, "Upload  : %s",
                      format(kRate, status.up_count, status.up_speed,
                             average(status.up_speed, status.up_count), status.up_max)
                          .c_str());
    wmove(wstatus, 2, 0);
    watchview_fit_buf(wstatus, "Download: %s",
                      format(kRate, status.down_count, status.down_speed,
                             average(status.down_speed, status.down_count), status.down_max)
                          .c_str());
    wmove(wstatus, 3, 0);
    watchview_fit_buf(wstatus, "Total   : %s",
                      format(kRate, count, speed, average(speed, count), std::max(total_max, speed)).c_str());
}

extern "C" void watchview_userinfo_render(spy_node *selected) {
    if (!wuserinfo || !selected || !selected->who || selected->who->pid == 0)
        return;
    const who_record *who = selected->who;
    char age[WATCHVIEW_AGE_SIZE];
    spy_makeage(who->online_since, std::time(nullptr), age);
    std::string text = format("Unfo: %-55.55s Pid: %5d\n", field(who->user_info).c_str(), who->pid);
    text += format("Cwd : %-55.55s Gid: %5d\n", field(who->current_dir).c_str(), who->group_id);
    text += format("Host: %-55.55s Onl: %-6.6s", field(who->host).c_str(), age);
    wmove(wuserinfo, 0, 0);
    waddstr(wuserinfo, text.c_str());
}

extern "C" uint32_t spy_list_diff(spy_node *from, spy_node *to) {
    uint32_t steps = 0;
    for (spy_node *node = from; node && node != to && node->next; node = node->next)
        ++steps;
    return steps;
}

extern "C" void watchview_dirlist_render(spy_node *selected) {
    if (status.view_mode != 2 || !wuserlist)
        return;
    if (!selected || !selected->who || selected->who->pid == 0) {
        wmove(wuserlist, 0, 0);
        watchview_fit_buf(wuserlist, "%s", kNoUser.data());
        return;
    }
    std::string_view dir = sk::field_view(selected->who->current_dir, sizeof selected->who->current_dir);
    if (!below_root(dir))
        return;
    std::string path(sk::field_view(status.root_path, sizeof status.root_path));
    path.append(dir);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        std::size_t slash = path.rfind('/');
        if (slash == std::string::npos)
            return;
        path.erase(slash == 0 ? 1 : slash);
    }
    wmove(wuserlist, 0, 0);
    waddstr(wuserlist, ("Dir: " + printable(path) + "\n").c_str());

    static dirlist_handle listing; // one redraw's listing, kept off the stack
    dirlist_init(&listing, path.c_str());
    if (!dirlist_readdir(&listing)) {
        waddstr(wuserlist, "Cannot open dir :(\n");
        dirlist_closedir(&listing);
        return;
    }
    dirlist_reset(&listing);
    for (int32_t row = 2; row < userlist_size; ++row) {
        const dirlist_entry *left = dirlist_next(&listing);
        if (!left)
            break;
        std::string text = format(" %-32.32s(%2d) |", left->name, left->number);
        if (const dirlist_entry *right = dirlist_next(&listing))
            text += format(" %-32.32s(%2d) ", right->name, right->number);
        wmove(wuserlist, row, 0);
        watchview_fit_buf(wuserlist, "%s", text.c_str());
    }
    dirlist_closedir(&listing);
}

extern "C" void watchview_handler(spy_node *head) {
    if (!stdscr)
        return;
    wtimeout(stdscr, WATCHVIEW_REFRESH_MS);
    status.view_mode = 1;
    spy_node *top = head;
    spy_node *selected = head;
    for (;;) {
        int key = wait_for_key();
        if (key == KEY_UP) {
            if (selected && selected->prev) {
                if (selected == top)
                    top = selected->prev;
                selected = selected->prev;
            }
        } else if (key == KEY_DOWN) {
            if (selected && selected->next) {
                if (static_cast<int64_t>(spy_list_diff(top, selected)) >=
                    static_cast<int64_t>(userlist_size) - 1)
                    top = top->next;
                selected = selected->next;
            }
        } else if (key == KEY_RESIZE) {
            lay_out();
            keep_selection_visible(top, selected);
        } else if (key >= 0 && key <= UCHAR_MAX) {
            switch (std::toupper(key)) {
            case 'Q':
                return;
            case 'K':
                if (selected && selected->who->pid > 100)
                    kill(selected->who->pid, SIGTERM);
                break;
            case 'D':
                set_view_mode(2);
                break;
            case 'U':
                set_view_mode(1);
                break;
            default:
                break;
            }
        }
        redraw(head, top, selected);
    }
}
