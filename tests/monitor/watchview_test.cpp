#include "watchview.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>

#include <curses.h>
#include <dlfcn.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include "screen.h"
#include "testsupport.h"

// The kill key is checked without signalling anyone: this program's kill
// records the calls instead.
static std::vector<std::pair<pid_t, int>> kills;
extern "C" int kill(pid_t pid, int sig) {
    kills.emplace_back(pid, sig);
    return 0;
}

// A directory that vanishes between the look at it and its listing: while
// vanishing_dir is set, opening it fails as if it had just been removed.
static std::string vanishing_dir;
extern "C" DIR *opendir(const char *name) {
    using opendir_fn = DIR *(*)(const char *);
    static auto real = reinterpret_cast<opendir_fn>(dlsym(RTLD_NEXT, "opendir"));
    if (!vanishing_dir.empty() && vanishing_dir == name) {
        errno = ENOENT;
        return nullptr;
    }
    return real(name);
}

namespace {

// A table of slots and the node list over it, in slot order.
struct Table {
    std::vector<who_record> slots;
    std::vector<spy_node> nodes;

    explicit Table(std::size_t n) : slots(n), nodes(n) {
        std::memset(slots.data(), 0, n * sizeof(who_record));
        for (std::size_t i = 0; i < n; ++i) {
            nodes[i] = {static_cast<int32_t>(i), &slots[i], i + 1 < n ? &nodes[i + 1] : nullptr,
                        i > 0 ? &nodes[i - 1] : nullptr};
        }
    }
    spy_node *head() { return nodes.empty() ? nullptr : &nodes[0]; }
    who_record &user(std::size_t i, const char *name, const char *status_text, int32_t pid = 1000) {
        who_record &w = slots[i];
        std::strncpy(w.user_name, name, sizeof w.user_name - 1);
        std::strncpy(w.status_text, status_text, sizeof w.status_text - 1);
        w.pid = pid;
        w.status_time = static_cast<int32_t>(std::time(nullptr));
        return w;
    }
};

void reset_status() {
    std::memset(&status, 0, sizeof status);
}

std::string pad(std::string s, std::size_t width) {
    s.resize(width, ' ');
    return s;
}

TEST(SpyMakeAge, PicksTheTwoLargestUnits) {
    struct Case {
        int64_t start, now;
        const char *text;
    } cases[] = {
        {100, 100, "0m 0s"},
        {200, 100, "0m 0s"},
        {0, 59, "0m 59s"},
        {0, 3600, "1h 0m"},
        {0, 86399, "23h 59m"},
        {0, 86400, "1d 0h"},
        {0, 86400 + 3600 + 60 + 1, "1d 1h"},
        {1000, 1000 + 12 * 3600 + 34 * 60, "12h 34m"},
        {INT32_MIN, INT32_MAX, "49710d 6h"},
    };
    for (const Case &c : cases) {
        char out[WATCHVIEW_AGE_SIZE];
        spy_makeage(c.start, c.now, out);
        EXPECT_STREQ(out, c.text) << c.start << " " << c.now;
    }
}

TEST(FitBuf, CutsOrPadsToThePaneWidth) {
    PtyScreen screen(24, 40);
    watchview_init(4);
    ASSERT_EQ(w_x, 38);
    struct Case {
        std::string text, shown;
    } cases[] = {
        {"short", pad("short", 38)},
        {std::string(50, 'x'), std::string(38, 'x')},
        {"100% %s %d", pad("100% %s %d", 38)},
        {"tab\there\nbell\a\xc3\xa9", pad("tab?here?bell???", 38)},
        {"", std::string(38, ' ')},
    };
    int row = 0;
    for (const Case &c : cases) {
        wmove(wuserlist, row, 0);
        watchview_fit_buf(wuserlist, "%s", c.text.c_str());
        EXPECT_EQ(row_text(wuserlist, row), c.shown);
        ++row;
    }
    EXPECT_EQ(watchview_fit_buf(nullptr, "%s", "x"), ERR);
    watchview_deinit();
}

TEST(UserRow, FormatsEveryKindOfSlot) {
    reset_status();
    Table t(9);
    t.user(1, "alice", "LIST -al\r\nsecond line");
    t.user(2, "averyveryverylongname", "100% done\n");
    who_record &up = t.user(3, "up", "STOR /site/rel/file%d.rar");
    up.transfer_bytes = 1536; // no start time: speed 0.0
    who_record &down = t.user(4, "down", "RETR x.bin");
    down.transfer_bytes = 1023;
    who_record &huge = t.user(5, "huge", "RETR big.iso");
    huge.transfer_bytes = 5ULL << 40; // 5 TiB
    who_record &old = t.user(6, "old", "IDLE");
    old.status_time = static_cast<int32_t>(std::time(nullptr) - 3 * 86400 - 5 * 3600);
    t.slots[7].pid = 0;
    std::strcpy(t.slots[7].user_name, "gone");
    who_record &ancient = t.user(8, "ancient", "IDLE");
    ancient.status_time = static_cast<int32_t>(std::time(nullptr) - 12345 * 86400 - 5 * 3600 - 60);

    struct Case {
        std::size_t slot;
        std::string line;
    } cases[] = {
        {0, "   0                        "},
        {1, "   1  alice        0m 0s    LIST -al"},
        {2, "   2  averyveryver 0m 0s    100% done"},
        {3, "   3  up           0m 0s    UL: file%d.rar     1k 0.0ks"},
        {4, "   4  down         0m 0s    DL: x.bin     0k 0.0ks"},
        {5, "   5  huge         0m 0s    DL: big.iso 5368709120k 0.0ks"},
        {6, "   6  old          3d 5h    IDLE"},
        {7, "   7                        "},
        {8, "   8  ancient      12345d 5 IDLE"}, // the age cut to 8 characters
    };
    int64_t now = std::time(nullptr);
    for (const Case &c : cases) {
        char line[WATCHVIEW_LINE_SIZE];
        watchview_userlist_render_user(now, &t.nodes[c.slot], line);
        EXPECT_EQ(std::string(line), c.line) << c.slot;
    }
    EXPECT_EQ(status.online_count, 7);
    EXPECT_EQ(status.up_count, 1);
    EXPECT_EQ(status.down_count, 2);
    EXPECT_EQ(status.up_speed, 0.0);

    watchview_userlist_render_user(now, nullptr, nullptr); // nothing to do, no crash
}

TEST(UserRow, LongTextsStayInsideTheLineBuffer) {
    reset_status();
    Table t(1);
    who_record &w = t.user(0, "x", "");
    std::memset(w.user_name, 'n', sizeof w.user_name); // no NUL in the field
    std::memset(w.current_dir, 'd', sizeof w.current_dir);
    for (const char *command : {"SITE ", "RETR "}) { // a status text, a transfer of a long name
        std::memset(w.status_text, 'r', sizeof w.status_text);
        std::memcpy(w.status_text, command, 5);
        if (command[0] == 'R') { // the longest name and the largest figures
            std::strcpy(w.current_dir, "/");
            w.transfer_bytes = UINT64_MAX;
            w.transfer_start_sec = static_cast<int32_t>(std::time(nullptr) - 1);
        }
        char line[WATCHVIEW_LINE_SIZE + 8];
        std::memset(line, 'Z', sizeof line);
        watchview_userlist_render_user(std::time(nullptr), &t.nodes[0], line);
        EXPECT_EQ(std::strlen(line), command[0] == 'R' ? WATCHVIEW_LINE_SIZE - 1u : 28u + 256u) << command;
        EXPECT_EQ(line[WATCHVIEW_LINE_SIZE], 'Z');
        EXPECT_EQ(std::string(line, 18), "   0  nnnnnnnnnnnn");
        EXPECT_EQ(std::string(line + 28, 9), command[0] == 'R' ? "DL: rrrrr" : "SITE rrrr");
    }
}

TEST(UserList, DrawsFromTheTopWithTheSelectionReversed) {
    reset_status();
    PtyScreen screen(16, 60); // 5 rows in the middle pane
    watchview_init(12);
    ASSERT_EQ(userlist_size, 5);
    Table t(12);
    for (std::size_t i = 0; i < 12; i += 2)
        t.user(i, ("user" + std::to_string(i)).c_str(), "IDLE");
    status.view_mode = 1;
    watchview_userlist_render(t.head(), &t.nodes[3], &t.nodes[4]);
    for (int row = 0; row < 5; ++row) {
        std::string want = " " + std::string(row + 3 < 10 ? "  " : " ") + std::to_string(row + 3);
        EXPECT_EQ(row_text(wuserlist, row).substr(0, 4), want) << row;
        EXPECT_EQ(row_reversed(wuserlist, row), row == 1) << row;
        EXPECT_EQ(row_text(wuserlist, row).size(), 58u);
    }
    EXPECT_EQ(status.online_count, 6); // also the slots before the top and after the pane

    // Directory view: the rows are counted but not drawn.
    reset_status();
    wclear(wuserlist);
    status.view_mode = 2;
    watchview_userlist_render(t.head(), t.head(), t.head());
    EXPECT_EQ(status.online_count, 6);
    EXPECT_EQ(row_text(wuserlist, 0), std::string(58, ' '));
    watchview_deinit();
}

TEST(StatusPane, ShowsCountsSpeedsAndAverages) {
    PtyScreen screen(24, 100);
    watchview_init(20);
    reset_status();
    status.max_users = 20;
    status.online_count = 3;
    status.up_count = 2;
    status.up_speed = 300.0;
    status.up_max = 450.25;
    watchview_status_render();
    EXPECT_EQ(row_text(wstatus, 0), pad("Online  :   3 of  20  -  zem-spy", 98));
    EXPECT_EQ(row_text(wstatus, 1),
              pad("Upload  :   2 at     300.0Kbs (avg:   150.0Kbs, max: 450.2Kbs)", 98));
    EXPECT_EQ(row_text(wstatus, 2), pad("Download:   0 at       0.0Kbs (avg:     0.0Kbs, max: 0.0Kbs)", 98));
    EXPECT_EQ(row_text(wstatus, 3),
              pad("Total   :   2 at     300.0Kbs (avg:   150.0Kbs, max: 300.0Kbs)", 98));
    watchview_deinit();
}

TEST(InfoPane, CutsTextsTo55AndTheAgeTo6) {
    PtyScreen screen(24, 100);
    watchview_init(2);
    Table t(2);
    who_record &w = t.user(0, "alice", "IDLE", 4321);
    std::memset(w.user_info, 'i', 63);
    std::strcpy(w.current_dir, "/site/incoming/100%/rel");
    std::strcpy(w.host, "alice@host.example");
    w.group_id = 300;
    w.online_since = static_cast<int32_t>(std::time(nullptr) - 12 * 3600 - 34 * 60 - 5);
    watchview_userinfo_render(&t.nodes[0]);
    EXPECT_EQ(row_text(wuserinfo, 0), pad("Unfo: " + std::string(55, 'i') + " Pid:  4321", 98));
    EXPECT_EQ(row_text(wuserinfo, 1), pad("Cwd : " + pad("/site/incoming/100%/rel", 55) + " Gid:   300", 98));
    EXPECT_EQ(row_text(wuserinfo, 2), pad("Host: " + pad("alice@host.example", 55) + " Onl: 12h 34", 98));

    watchview_userinfo_render(&t.nodes[1]); // an empty slot keeps what stood there
    EXPECT_EQ(row_text(wuserinfo, 0).substr(0, 8), "Unfo: ii");
    watchview_deinit();
}

TEST(Layout, PlacesPanesAndLines) {
    PtyScreen screen(24, 80);
    watchview_init(5);
    EXPECT_EQ(w_x, 78);
    EXPECT_EQ(userlist_size, 13);
    EXPECT_EQ(getbegy(wstatus), 1);
    EXPECT_EQ(getbegy(wuserlist), 6);
    EXPECT_EQ(getbegy(wuserinfo), 20);
    EXPECT_EQ(getbegx(wuserlist), 1);
    EXPECT_EQ(getmaxy(wuserinfo), 3);
    for (int row : {5, 19})
        EXPECT_EQ(mvwinch(stdscr, row, 40) & A_CHARTEXT, ACS_HLINE & A_CHARTEXT) << row;
    EXPECT_EQ(mvwinch(stdscr, 10, 0) & A_CHARTEXT, ACS_VLINE & A_CHARTEXT);
    watchview_deinit();
    EXPECT_EQ(wuserlist, nullptr);
}

TEST(Layout, SmallTerminalShowsANoticeAndSurvivesTheLoop) {
    reset_status();
    PtyScreen screen(11, 80);
    watchview_init(3);
    EXPECT_EQ(wstatus, nullptr);
    EXPECT_EQ(wuserlist, nullptr);
    EXPECT_EQ(wuserinfo, nullptr);
    EXPECT_EQ(row_text(stdscr, 0).substr(0, 44), "zem-spy: the terminal needs at least 12 rows");
    Table t(3);
    t.user(0, "a", "STOR f");
    t.user(2, "b", "IDLE");
    screen.type(PtyScreen::key("kcud1") + PtyScreen::key("kcud1") + "dkuq");
    watchview_handler(t.head());
    EXPECT_EQ(status.online_count, 2);
    watchview_deinit();
}

TEST(Layout, WideTerminalDrawsWholeRows) {
    reset_status();
    PtyScreen screen(20, 420);
    watchview_init(1);
    Table t(1);
    who_record &w = t.user(0, "wide", "");
    std::string status_text = "STOR " + std::string(240, 'f');
    std::strcpy(w.status_text, status_text.c_str());
    status.view_mode = 1;
    watchview_userlist_render(t.head(), t.head(), t.head());
    std::string row = row_text(wuserlist, 0);
    EXPECT_EQ(row.size(), 418u);
    EXPECT_NE(row.find(std::string(240, 'f')), std::string::npos);
    watchview_deinit();
}

TEST(Layout, ResizeRelaysThePanes) {
    reset_status();
    PtyScreen screen(24, 80);
    watchview_init(30);
    Table t(30);
    for (std::size_t i = 0; i < 30; ++i)
        t.user(i, "u", "IDLE");
    // Select slot 12, the last row of a 13-row pane, then shrink to 10 rows
    // of pane: the top moves on so that the selection stays visible.
    std::string down = PtyScreen::key("kcud1");
    std::string keys;
    for (int i = 0; i < 12; ++i)
        keys += down;
    screen.type(keys);
    resizeterm(21, 100);
    screen.type("q");
    watchview_handler(t.head());
    EXPECT_EQ(w_x, 98);
    EXPECT_EQ(userlist_size, 10);
    EXPECT_EQ(getbegy(wuserinfo), 17);
    EXPECT_TRUE(row_reversed(wuserlist, 9));
    EXPECT_EQ(row_text(wuserlist, 9).substr(0, 5), "  12 ");
    EXPECT_EQ(row_text(wuserlist, 0).substr(0, 5), "   3 ");
    watchview_deinit();
}

// Moves the selection by keys and reports the first drawn slot and the row
// of the selection.
struct Scroll {
    std::string first;
    int selected_row;
};
Scroll scroll_after(Table &t, const std::string &keys) {
    PtyScreen screen(16, 60); // 5 rows
    watchview_init(static_cast<int32_t>(t.nodes.size()));
    screen.type(keys + "q");
    watchview_handler(t.head());
    Scroll s{row_text(wuserlist, 0).substr(0, 4), -1};
    for (int row = 0; row < userlist_size; ++row)
        if (row_reversed(wuserlist, row))
            s.selected_row = row;
    watchview_deinit();
    return s;
}

TEST(KeyLoop, ArrowsScrollAtBothEnds) {
    reset_status();
    Table t(8);
    for (std::size_t i = 0; i < 8; ++i)
        t.user(i, "u", "IDLE");
    // The arrow keys as an xterm sends them in keypad mode.
    std::string up = "\x1bOA", down = "\x1bOB";
    auto times = [](const std::string &k, int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += k;
        return s;
    };
    struct Case {
        std::string keys, first;
        int row;
    } cases[] = {
        {"x", "   0", 0},                            // any key just redraws
        {up, "   0", 0},                             // up at the head does nothing
        {times(down, 4), "   0", 4},                 // to the last row of the pane
        {times(down, 5), "   1", 4},                 // one more scrolls by one row
        {times(down, 7), "   3", 4},                 // the last slot
        {times(down, 12), "   3", 4},                // down at the end does nothing
        {times(down, 7) + times(up, 4), "   3", 0},  // back to the first row of the pane
        {times(down, 7) + times(up, 5), "   2", 0},  // one more scrolls back by one row
        {times(down, 7) + times(up, 20), "   0", 0}, // and back to the head
    };
    for (const Case &c : cases) {
        Scroll s = scroll_after(t, c.keys);
        EXPECT_EQ(s.first, c.first) << c.keys.size();
        EXPECT_EQ(s.selected_row, c.row) << c.keys.size();
    }
}

TEST(KeyLoop, KillKeySignalsOnlyPidsAbove100) {
    reset_status();
    Table t(3);
    t.user(0, "a", "IDLE", 100);
    t.user(1, "b", "IDLE", 101);
    t.slots[2].pid = 0;
    PtyScreen screen(24, 80);
    watchview_init(3);
    std::string down = PtyScreen::key("kcud1");
    kills.clear();
    screen.type("kK" + down + "k" + down + "Kq");
    watchview_handler(t.head());
    watchview_deinit();
    std::vector<std::pair<pid_t, int>> want = {{101, SIGTERM}};
    EXPECT_EQ(kills, want);
}

TEST(KeyLoop, MaximaOnlyRise) {
    reset_status();
    Table t(2);
    who_record &up = t.user(0, "up", "STOR a");
    up.transfer_start_sec = static_cast<int32_t>(std::time(nullptr) - 1000);
    up.transfer_bytes = 1024ULL * 100 * 1000; // about 100 kB/s
    who_record &down = t.user(1, "down", "RETR b");
    down.transfer_start_sec = static_cast<int32_t>(std::time(nullptr) - 1000);
    down.transfer_bytes = 1024ULL * 50 * 1000; // about 50 kB/s
    PtyScreen screen(24, 100);
    watchview_init(2);
    screen.type("xq");
    watchview_handler(t.head());
    double up_max = status.up_max;
    EXPECT_NEAR(up_max, 100.0, 1.0);
    EXPECT_NEAR(status.down_max, 50.0, 1.0);
    char total[64];
    std::snprintf(total, sizeof total, "max: %.1fKbs)", status.up_max + status.down_max);
    EXPECT_NE(row_text(wstatus, 3).find(total), std::string::npos) << row_text(wstatus, 3);

    std::strcpy(up.status_text, "IDLE"); // transfers end
    std::strcpy(down.status_text, "IDLE");
    screen.type("xq");
    watchview_handler(t.head());
    EXPECT_EQ(status.up_max, up_max);
    char upload[128];
    std::snprintf(upload, sizeof upload, "Upload  :   0 at       0.0Kbs (avg:     0.0Kbs, max: %.1fKbs)",
                  up_max);
    EXPECT_EQ(row_text(wstatus, 1), pad(upload, 98));
    EXPECT_NE(row_text(wstatus, 3).find(std::string("(avg:     0.0Kbs, ") + total), std::string::npos)
        << row_text(wstatus, 3);
    watchview_deinit();
}

TEST(KeyLoop, EmptyNodeListRunsUntilQuit) {
    reset_status();
    PtyScreen screen(24, 80);
    watchview_init(0);
    screen.type(PtyScreen::key("kcud1") + "kdxuq");
    watchview_handler(nullptr);
    EXPECT_EQ(row_text(wstatus, 0).substr(0, 32), "Online  :   0 of   0  -  zem-spy");
    watchview_deinit();
}

// --- directory view ----------------------------------------------------------

struct DirView {
    sktest::TempDir root;
    Table table{2};
    DirView() {
        std::strcpy(status.root_path, root.path().c_str());
        for (const char *name : {"e1", "e2", "e3", "e4", "e5"})
            sktest::write_file(root / (std::string("site/rel/") + name), "x");
        table.user(0, "alice", "IDLE");
    }
    void cwd(const char *dir) { std::strcpy(table.slots[0].current_dir, dir); }
};

TEST(DirectoryView, ListsTwoEntriesPerRowFromRow2) {
    reset_status();
    DirView v;
    v.cwd("/site/rel");
    PtyScreen screen(16, 100);
    watchview_init(2);
    screen.type("dq");
    watchview_handler(v.table.head());
    EXPECT_EQ(row_text(wuserlist, 0), pad("Dir: " + v.root.path() + "/site/rel", 98));
    EXPECT_EQ(row_text(wuserlist, 1), std::string(98, ' '));
    EXPECT_EQ(row_text(wuserlist, 2), pad(" " + pad("e1", 32) + "( 0) | " + pad("e2", 32) + "( 0) ", 98));
    EXPECT_EQ(row_text(wuserlist, 3), pad(" " + pad("e3", 32) + "( 0) | " + pad("e4", 32) + "( 0) ", 98));
    EXPECT_EQ(row_text(wuserlist, 4), pad(" " + pad("e5", 32) + "( 0) |", 98));
    watchview_deinit();
}

TEST(DirectoryView, AFileListsTheDirectoryHoldingIt) {
    reset_status();
    DirView v;
    v.cwd("/site/rel/e3");
    PtyScreen screen(16, 100);
    watchview_init(2);
    screen.type("Dq");
    watchview_handler(v.table.head());
    EXPECT_EQ(row_text(wuserlist, 0), pad("Dir: " + v.root.path() + "/site/rel", 98));
    EXPECT_EQ(row_text(wuserlist, 4).substr(0, 4), " e5 ");
    watchview_deinit();
}

TEST(DirectoryView, NothingIsDrawnForPathsItCannotList) {
    reset_status();
    DirView v;
    PtyScreen screen(16, 100);
    watchview_init(2);
    for (const char *dir : {"/site/missing", "site/rel", "/site/../site/rel", "/..", ""}) {
        v.cwd(dir);
        screen.type("dq");
        watchview_handler(v.table.head());
        EXPECT_EQ(row_text(wuserlist, 0), std::string(98, ' ')) << dir;
    }
    watchview_deinit();
}

TEST(DirectoryView, VanishedDirectoryShowsTheFailureText) {
    reset_status();
    DirView v;
    v.cwd("/site/rel");
    vanishing_dir = v.root / "site/rel";
    PtyScreen screen(16, 100);
    watchview_init(2);
    screen.type("dq");
    watchview_handler(v.table.head());
    vanishing_dir.clear();
    EXPECT_EQ(row_text(wuserlist, 0), pad("Dir: " + v.root.path() + "/site/rel", 98));
    EXPECT_EQ(row_text(wuserlist, 1), pad("Cannot open dir :(", 98));
    EXPECT_EQ(row_text(wuserlist, 2), std::string(98, ' '));
    watchview_deinit();
}

TEST(DirectoryView, EmptySlotShowsTheNotice) {
    reset_status();
    DirView v;
    PtyScreen screen(16, 100);
    watchview_init(2);
    screen.type(PtyScreen::key("kcud1") + "dq");
    watchview_handler(v.table.head());
    EXPECT_EQ(row_text(wuserlist, 0),
              pad("No user online on selected node, press 'u' to get to userlist", 98));
    // u goes back to the user list, with the selection on slot 1.
    screen.type("uq");
    watchview_handler(v.table.head());
    EXPECT_EQ(row_text(wuserlist, 0).substr(0, 12), "   0  alice ");
    watchview_deinit();
}

TEST(SpyListDiff, CountsStepsAndStopsAtTheEnd) {
    Table t(4);
    EXPECT_EQ(spy_list_diff(&t.nodes[0], &t.nodes[0]), 0u);
    EXPECT_EQ(spy_list_diff(&t.nodes[0], &t.nodes[3]), 3u);
    EXPECT_EQ(spy_list_diff(&t.nodes[3], &t.nodes[0]), 0u); // not reachable: stops at the end
    EXPECT_EQ(spy_list_diff(&t.nodes[1], &t.nodes[0]), 2u);
    EXPECT_EQ(spy_list_diff(nullptr, &t.nodes[0]), 0u);
}

} // namespace
