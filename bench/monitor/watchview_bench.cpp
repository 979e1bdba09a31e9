// One redraw of the monitor (user list, status and info panes, one terminal
// update) with 1,000 occupied slots, into a pseudo-terminal. The reference is
// a bare curses repaint of the same pane rows with fixed text.
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "screen.h"
#include "watchview.h"

namespace {

constexpr int kRows = 60, kCols = 160;
constexpr std::size_t kSlots = 1000;

struct Table {
    std::vector<who_record> slots = std::vector<who_record>(kSlots);
    std::vector<spy_node> nodes = std::vector<spy_node>(kSlots);
    Table() {
        std::memset(slots.data(), 0, kSlots * sizeof(who_record));
        int32_t now = static_cast<int32_t>(std::time(nullptr));
        for (std::size_t i = 0; i < kSlots; ++i) {
            who_record &w = slots[i];
            std::snprintf(w.user_name, sizeof w.user_name, "user%zu", i);
            std::snprintf(w.user_info, sizeof w.user_info, "tagline of user %zu", i);
            std::snprintf(w.host, sizeof w.host, "user%zu@host.example", i);
            std::snprintf(w.current_dir, sizeof w.current_dir, "/site/incoming/Release.%zu-GRP", i);
            // A third uploads, a third downloads, a third is idle.
            const char *commands[] = {"STOR release.r%02zu", "RETR release.r%02zu", "IDLE"};
            std::snprintf(w.status_text, sizeof w.status_text, commands[i % 3], i % 100);
            w.pid = static_cast<int32_t>(1000 + i);
            w.status_time = now - static_cast<int32_t>(i);
            w.online_since = now - 3600;
            w.transfer_start_sec = now - 10;
            w.transfer_bytes = 1024 * 1024 * (i + 1);
            nodes[i] = {static_cast<int32_t>(i), &w, i + 1 < kSlots ? &nodes[i + 1] : nullptr,
                        i > 0 ? &nodes[i - 1] : nullptr};
        }
    }
    void move_transfers() {
        for (who_record &w : slots)
            w.transfer_bytes = w.transfer_bytes + 4096;
    }
};

void BM_Redraw(benchmark::State &state) {
    PtyScreen screen(kRows, kCols);
    watchview_init(static_cast<int32_t>(kSlots));
    status.view_mode = 1;
    Table t;
    for (auto _ : state) {
        t.move_transfers();
        status.up_count = status.down_count = status.online_count = 0;
        status.up_speed = status.down_speed = 0.0;
        watchview_userlist_render(&t.nodes[0], &t.nodes[0], &t.nodes[5]);
        watchview_status_render();
        watchview_userinfo_render(&t.nodes[5]);
        watchview_refresh();
    }
    benchmark::DoNotOptimize(status.online_count);
    watchview_deinit();
}
BENCHMARK(BM_Redraw)->Unit(benchmark::kMicrosecond);

void BM_ReferenceRepaint(benchmark::State &state) {
    PtyScreen screen(kRows, kCols);
    watchview_init(static_cast<int32_t>(kSlots));
    std::string line(static_cast<std::size_t>(w_x), 'x');
    unsigned n = 0;
    for (auto _ : state) {
        line[0] = static_cast<char>('a' + n++ % 26); // every row changes, as the transfers do
        for (int row = 0; row < userlist_size; ++row)
            mvwaddnstr(wuserlist, row, 0, line.data(), w_x);
        for (int row = 0; row < 4; ++row)
            mvwaddnstr(wstatus, row, 0, line.data(), w_x);
        for (int row = 0; row < 3; ++row)
            mvwaddnstr(wuserinfo, row, 0, line.data(), w_x);
        watchview_refresh();
    }
    watchview_deinit();
}
BENCHMARK(BM_ReferenceRepaint)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
