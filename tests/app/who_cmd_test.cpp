// sitekit who --list and --json on a table the test makes: the listing
// byte for byte, the JSON as a parser reads it, and the tables it cannot use.
#include "apptest.h"
#include "shmtable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

using apptest::on_site;
using sktest::ShmTable;

namespace {

void fill(who_record &w, const char *name, int32_t gid, const char *tagline, const char *status_text,
          int32_t idle, int32_t pid) {
    std::strncpy(w.user_name, name, sizeof w.user_name - 1);
    std::strncpy(w.user_info, tagline, sizeof w.user_info - 1);
    std::strncpy(w.status_text, status_text, sizeof w.status_text - 1);
    std::strncpy(w.current_dir, "/site/incoming/Rel", sizeof w.current_dir - 1);
    w.group_id = gid;
    w.status_time = static_cast<int32_t>(std::time(nullptr)) - idle;
    w.pid = pid;
}

// A table of four slots (one empty) with an upload, a download and an idle
// user. A transfer that began "later" than now is counted over one second,
// so its speed is its bytes / 1024 whatever the clock does during the test.
struct Site {
    sktest::SiteRoot root;
    ShmTable table{4 * sizeof(who_record)};
    Site() {
        sktest::write_file(root / "etc/group", "Ops:x:300:alice\nFriends:x:400:\n");
        int32_t later = static_cast<int32_t>(std::time(nullptr)) + 3600;
        fill(table.slot(0), "alice", 300, "the boss", "STOR a.rar", 2 * 86400 + 3 * 3600 + 1800, 1234);
        table.slot(0).transfer_start_sec = later;
        table.slot(0).transfer_bytes = uint64_t{512} * 1024;
        fill(table.slot(2), "bob", 999, "tab\there", "RETR /site/x/b.mp3\r\n", 5 * 3600 + 7 * 60 + 30, 1235);
        table.slot(2).transfer_start_sec = later;
        table.slot(2).transfer_bytes = uint64_t{300} * 1024;
        fill(table.slot(3), "carol", 400, "", "IDLE", -60, 1236);
    }
};

TEST(WhoList, ListsEveryOccupiedSlotAndTheTotals) {
    Site site;
    sktest::RunResult r = on_site(site.root, {"who", "--list", "-k", site.table.key()}, "", "</dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "0\talice\tOps\tthe boss\t2d 3h\tSTOR a.rar\tUL\t/site/incoming/Rel/a.rar\t524288\t512.0KB/s\n"
              "2\tbob\t999\ttab?here\t5h 7m\tRETR /site/x/b.mp3\tDL\t/site/x/b.mp3\t307200\t300.0KB/s\n"
              "3\tcarol\tFriends\t\t0m 0s\tIDLE\n"
              "Online: 3 of 4  Upload: 1 at 512.0KB/s  Download: 1 at 300.0KB/s  Total: 2 at 812.0KB/s\n");
}

TEST(WhoList, JsonIsOneObjectAParserReads) {
    Site site;
    sktest::RunResult r = on_site(site.root, {"--json", "who", "-k", site.table.key()}, "", "</dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
    sktest::TempDir dir;
    sktest::write_file(dir / "out.json", r.out);
    sktest::RunResult parsed = sktest::run_command(
        "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); u=d[\"users\"]; t=d[\"totals\"]; "
        "print([(x[\"slot\"], x[\"user\"], x[\"group\"], x[\"tagline\"], x[\"action\"], x[\"transfer\"]) for "
        "x in u]); "
        "print(u[1][\"idle_seconds\"] >= 18450, t)' " +
        sktest::quote(dir / "out.json"));
    ASSERT_EQ(parsed.status, 0) << parsed.err << r.out;
    EXPECT_EQ(
        parsed.out,
        "[(0, 'alice', 'Ops', 'the boss', 'STOR a.rar', {'direction': 'upload', 'file': "
        "'/site/incoming/Rel/a.rar', 'bytes': 524288, 'speed_kbs': 512}), (2, 'bob', None, 'tab\\there', "
        "'RETR /site/x/b.mp3', {'direction': 'download', 'file': '/site/x/b.mp3', 'bytes': 307200, "
        "'speed_kbs': 300}), (3, 'carol', 'Friends', '', 'IDLE', None)]\n"
        "True {'online': 3, 'slots': 4, 'uploads': 1, 'upload_kbs': 512, 'downloads': 1, 'download_kbs': "
        "300, 'transfers': 2, 'total_kbs': 812}\n");
}

// The daemon may lay its slots out wider than the record: -s gives the step.
TEST(WhoList, ReadsSlotsAtTheGivenStride) {
    sktest::SiteRoot root;
    ShmTable table(3 * 908);
    fill(table.slot(1, 908), "dave", 1, "", "LIST", -60, 99);
    sktest::RunResult r = on_site(root, {"who", "--list", "-k", table.key(), "-s", "908"}, "", "</dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1\tdave\t1\t\t0m 0s\tLIST\n"
                     "Online: 1 of 3  Upload: 0 at 0.0KB/s  Download: 0 at 0.0KB/s  Total: 0 at 0.0KB/s\n");
}

TEST(WhoList, ExplainsTablesItCannotUse) {
    sktest::SiteRoot root;
    ShmTable small(100);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"who", "--list", "-k", small.key()},
         1,
         "holds 100 bytes, less than one slot (904 bytes); check -s"},
        {{"who", "--json", "-k" + small.key(), "-s", "908"}, 1, "less than one slot (908 bytes)"},
        {{"who", "--list", "-k", "0x5EFFFFFF"},
         1,
         "no online-user table with key 0x5EFFFFFF (is the daemon running?)"},
        {{"who", "--list", "-k", "0"}, 2, "bad table key '0'"},
        {{"who", "--list", "-s", "906"}, 2, "bad slot stride '906'"},
        {{"who", "--list", "-k"}, 2, "option '-k' needs a value"},
        {{"who", "--list", "-D"}, 2, "'-D' is an option of the monitor"},
    };
    sktest::expect_refused(root.path(), cases, [&](const Case &c) {
        return on_site(root, c.args, apptest::watchdog(10), "</dev/null");
    });
}

} // namespace
