// sitekit dirlog rebuild / clean, run as a program on site trees under a
// temporary site root; the log is checked byte for byte.
#include "apptest.h"
#include "internal.h"
#include "tmux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using apptest::on_site;
using sktest::quote;
using sktest::read_file;
using sktest::write_file;
using namespace std::string_literals;

namespace {

struct Rec {
    std::string name;
    int32_t time;
    uint16_t uid = 0, gid = 0, files = 0;
    uint64_t bytes = 0;
    uint16_t status = 0;
};

// The 288 bytes of a directory log record.
std::string bytes_of(const Rec &r) {
    std::string b(288, '\0');
    auto put = [&b](std::size_t at, uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
    };
    put(0, r.status, 2);
    put(4, static_cast<uint32_t>(r.time), 4);
    put(8, r.uid, 2);
    put(10, r.gid, 2);
    put(12, r.files, 2);
    put(16, r.bytes, 8);
    std::memcpy(&b[24], r.name.data(), r.name.size());
    return b;
}

std::string log_of(const std::vector<Rec> &records) {
    std::string log;
    for (const Rec &r : records)
        log += bytes_of(r);
    return log;
}

// Sets the modification time of path (after its contents are made).
void set_mtime(const std::string &path, time_t when) {
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// A program started in the background, its output into files.
struct Background {
    pid_t pid = -1;
    std::string out, err;
    int wait() const {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

class DirlogRebuild : public ::testing::Test {
  protected:
    void SetUp() override {
        site.mkdirs("ftp-data/logs");
        // A dated folder with a release of two CDs (the folder itself holds
        // none of the files) and one with a sample; a link back up (a
        // cycle) and one to another section (not followed); .message files
        // and an empty folder are no releases.
        write_file(mp3 + "/1209/Two.Cds-GRP/CD1/a.mp3", std::string(100, 'a'));
        write_file(mp3 + "/1209/Two.Cds-GRP/CD2/b.mp3", std::string(50, 'b'));
        write_file(mp3 + "/1209/One.Rel-GRP/c.mp3", std::string(7, 'c'));
        write_file(mp3 + "/1209/One.Rel-GRP/c.nfo", "nfo");
        write_file(mp3 + "/1209/One.Rel-GRP/Sample/s.mp3", std::string(3, 's'));
        write_file(mp3 + "/.message", "hi");
        write_file(mp3 + "/1209/.message", "hi");
        site.mkdirs("site/mp3/1209/Empty");
        ASSERT_EQ(symlink("..", (mp3 + "/1209/up").c_str()), 0);
        write_file(site / "site/0day/Other-GRP/x.zip", "zip");
        ASSERT_EQ(symlink((site / "site/0day").c_str(), (mp3 + "/1209/zero").c_str()), 0);
        set_mtime(mp3 + "/1209/Two.Cds-GRP", 2000);
        set_mtime(mp3 + "/1209/One.Rel-GRP", 1000);
    }

    std::string log_path() const { return site / "ftp-data/logs/dirlog"; }

    Background start(const std::vector<std::string> &args) {
        Background b;
        b.out = site / "bg.out";
        b.err = site / "bg.err";
        std::vector<std::string> all = {sktest::build_path("src/app/sitekit"), "--root", site.path()};
        all.insert(all.end(), args.begin(), args.end());
        b.pid = fork();
        if (b.pid == 0) {
            std::vector<char *> argv;
            argv.reserve(all.size() + 1);
            for (std::string &a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            int out = ::open(b.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = ::open(b.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return b;
    }

    // Waits up to 10 s until pid waits for a lock (flock) on a file.
    static bool waits_for_lock(pid_t pid) {
        std::string mark = "-> FLOCK  ADVISORY  WRITE " + std::to_string(pid) + " ";
        for (int i = 0; i < 200; ++i) {
            std::ifstream locks("/proc/locks");
            for (std::string line; std::getline(locks, line);)
                if (line.find(mark) != std::string::npos)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    sktest::SiteRoot site;
    std::string mp3 = site / "site/mp3";
    // Found again: keeps its time, owner and status, gets the files of now.
    Rec old_one{"/site/mp3/1209/One.Rel-GRP", 500, 7, 8, 1, 1, 3};
    Rec gone{"/site/mp3/1209/Gone-GRP", 600, 1, 1, 1, 1}; // below the walk, not there: dropped
    Rec other{"/site/0day/Other-GRP", 3000, 2, 2, 1, 3};  // outside the walk: kept as it is
};

TEST_F(DirlogRebuild, FindsTheReleasesAndKeepsWhatTheOldLogKnew) {
    write_file(log_path(), log_of({other, gone, old_one}));
    ASSERT_EQ(chmod(log_path().c_str(), 0640), 0);
    ASSERT_EQ(chown(log_path().c_str(), 123, 456), 0);
    std::string expected = log_of({{"/site/mp3/1209/One.Rel-GRP", 500, 7, 8, 2, 10, 3},
                                   {"/site/mp3/1209/Two.Cds-GRP", 2000, 0, 0, 2, 150},
                                   other});

    auto dry = on_site(site, {"--json", "dirlog", "rebuild", "--dry-run", mp3 + "/"});
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(read_file(log_path()), log_of({other, gone, old_one}));

    auto r = on_site(site, {"dirlog", "rebuild", mp3});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, ""); // no progress when standard error is no terminal
    EXPECT_EQ(r.out, "rebuilt " + log_path() +
                         ": 3 records; 2 releases found (1 new), 1 records kept outside the walk, 1 dropped, "
                         "0 changes made meanwhile merged in\n");
    EXPECT_EQ(read_file(log_path()), expected);
    struct stat st {};
    ASSERT_EQ(stat(log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 123u);
    EXPECT_EQ(st.st_gid, 456u);
    EXPECT_EQ(on_site(site, {"--json", "dirlog", "list"}).out, dry.out);
    EXPECT_EQ(sktest::run_command("ls -A " + quote(site / "ftp-data/logs")).out, "dirlog\n");
}

TEST_F(DirlogRebuild, CleanRemovesTheRecordsOfDirectoriesThatAreGone) {
    write_file(site / "site/mp3/File-GRP", "a file where the release was");
    Rec file_now{"/site/mp3/File-GRP", 700};
    Rec rel{"/site/mp3/1209/One.Rel-GRP", 800};
    write_file(log_path(), log_of({gone, rel, file_now, other}));
    std::string listed = on_site(site, {"dirlog", "list"}, "TZ=UTC").out;
    std::string gone_lines = "1970-01-01 00:10:00  uid 1  gid 1  files 1  bytes 1  /site/mp3/1209/Gone-GRP\n"
                             "1970-01-01 00:11:40  uid 0  gid 0  files 0  bytes 0  /site/mp3/File-GRP\n";

    auto dry = on_site(site, {"dirlog", "clean", "--dry-run"}, "TZ=UTC");
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out, gone_lines);
    EXPECT_EQ(on_site(site, {"dirlog", "list"}, "TZ=UTC").out, listed);

    auto r = on_site(site, {"dirlog", "clean"}, "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, gone_lines);
    EXPECT_EQ(read_file(log_path()), log_of({rel, other}));
}

TEST_F(DirlogRebuild, ShowsProgressOnATerminalUnlessQuiet) {
    write_file(log_path(), "");
    std::string cmd =
        quote(sktest::build_path("src/app/sitekit")) + " --root " + quote(site.path()) + " dirlog rebuild ";
    sktest::Tmux tmux("sh -c " + quote(cmd + quote(mp3) + " >/dev/null; " + cmd + "--quiet " + quote(mp3) +
                                       " >/dev/null; echo END; sleep 30"),
                      100, 10);
    ASSERT_TRUE(tmux.wait_text("END")) << tmux.dump();
    std::string screen = tmux.dump();
    auto first = screen.find("2/2 releases 100%");
    ASSERT_NE(first, std::string::npos) << screen;
    EXPECT_EQ(screen.find("releases", first + 20), std::string::npos) << screen; // --quiet drew nothing
}

// While a rebuild waits for the log's lock at its end: a second one is
// refused at once, a record the daemon adds is merged in, and a kill -9
// leaves the old log and no file behind.
TEST_F(DirlogRebuild, ChangesMadeMeanwhileSurviveAndASecondRunIsRefused) {
    write_file(log_path(), log_of({other}));
    sk::unique_fd held(::open(log_path().c_str(), O_RDWR));
    ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
    Background first = start({"dirlog", "rebuild", mp3});
    ASSERT_TRUE(waits_for_lock(first.pid));

    auto second = on_site(site, {"dirlog", "rebuild", mp3}, apptest::watchdog(10));
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("another dirlog rebuild or clean is running"), std::string::npos) << second.err;

    Rec added{"/site/mp3/1209/Just.Uploaded-GRP", 9000, 5, 5, 1, 1};
    std::string bytes = bytes_of(added); // as the daemon appends, under the lock
    ASSERT_EQ(pwrite(held.get(), bytes.data(), bytes.size(), 288), 288);
    flock(held.get(), LOCK_UN);
    ASSERT_EQ(first.wait(), 0) << read_file(first.err);
    EXPECT_EQ(read_file(log_path()), log_of({{"/site/mp3/1209/One.Rel-GRP", 1000, 0, 0, 2, 10},
                                             {"/site/mp3/1209/Two.Cds-GRP", 2000, 0, 0, 2, 150},
                                             other,
                                             added}));
}

TEST_F(DirlogRebuild, AKilledRebuildLeavesTheOldLogAndNoFile) {
    std::string log = log_of({other, gone});
    write_file(log_path(), log);
    {
        sk::unique_fd held(::open(log_path().c_str(), O_RDWR));
        ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
        Background run = start({"dirlog", "rebuild", mp3});
        ASSERT_TRUE(waits_for_lock(run.pid));
        kill(run.pid, SIGKILL);
        EXPECT_EQ(run.wait(), 128 + SIGKILL);
    }
    EXPECT_EQ(read_file(log_path()), log);
    EXPECT_EQ(sktest::run_command("ls -A " + quote(site / "ftp-data/logs")).out, "dirlog\n");
    // A run killed between naming its file and renaming it leaves that name:
    // the next run is not stopped by it.
    write_file(log_path() + ".rebuild", "left over");
    auto r = on_site(site, {"dirlog", "rebuild", mp3});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sktest::run_command("ls -A " + quote(site / "ftp-data/logs")).out, "dirlog\n");
}

// An updater that waited for the lock of a log replaced meanwhile writes
// into the new log, not into the old file nobody reads again.
TEST_F(DirlogRebuild, AnUpdateWaitingDuringTheReplacementLandsInTheNewLog) {
    write_file(log_path(), log_of({other}));
    sk::unique_fd held(::open(log_path().c_str(), O_RDWR));
    ASSERT_EQ(flock(held.get(), LOCK_EX), 0);
    Background update = start({"dirlog", "update", "--uid", "9", mp3 + "/1209/One.Rel-GRP"});
    ASSERT_TRUE(waits_for_lock(update.pid));
    write_file(log_path() + ".new", log_of({gone}));
    ASSERT_EQ(rename((log_path() + ".new").c_str(), log_path().c_str()), 0);
    flock(held.get(), LOCK_UN);
    ASSERT_EQ(update.wait(), 0) << read_file(update.err);
    std::string now = read_file(log_path());
    ASSERT_EQ(now.size(), 2 * 288u);
    EXPECT_EQ(now.substr(0, 288), bytes_of(gone));
    EXPECT_EQ(now.substr(288 + 24, 27), "/site/mp3/1209/One.Rel-GRP\0"s);
}

TEST_F(DirlogRebuild, AnUnreadableFolderIsReportedAndItsRecordsKept) {
    Rec hidden{"/site/mp3/1208/Hidden-GRP", 100, 3, 3, 1, 1};
    write_file(mp3 + "/1208/Hidden-GRP/h.mp3", "h");
    write_file(log_path(), log_of({hidden}));
    ASSERT_EQ(sktest::run_command("chown -R 65534:65534 " + quote(site.path())).status, 0);
    ASSERT_EQ(chmod((mp3 + "/1208").c_str(), 0), 0);
    sktest::RunResult r;
    int rc = sktest::run_unprivileged([&] {
        r = on_site(site, {"dirlog", "rebuild", mp3});
        std::fprintf(stderr, "%s", r.err.c_str());
        return r.status == 1 && r.err.find("cannot read the folder " + mp3 + "/1208: Permission denied") !=
                                    std::string::npos
                   ? 0
                   : 1;
    });
    chmod((mp3 + "/1208").c_str(), 0755);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(read_file(log_path()), log_of({hidden,
                                             {"/site/mp3/1209/One.Rel-GRP", 1000, 65534, 65534, 2, 10},
                                             {"/site/mp3/1209/Two.Cds-GRP", 2000, 65534, 65534, 2, 150}}));
}

TEST_F(DirlogRebuild, RefusesBadCommandLines) {
    write_file(log_path(), "");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"dirlog", "rebuild"}, 2, "missing argument"},
        {{"dirlog", "rebuild", site / "nope"}, 2, "No such file or directory"},
        {{"dirlog", "rebuild", "--uid", "1", mp3}, 2, "takes the owners from the directories"},
        {{"dirlog", "list", "--dry-run"}, 2, "--dry-run and --quiet go with"},
        {{"dirlog", "clean", "extra"}, 2, "unexpected argument 'extra'"},
    };
    sktest::expect_refused(site.path(), cases, [&](const Case &c) { return on_site(site, c.args); });
}

} // namespace
