// Configuration, ignore list, tree measurement and the binary logs.
#include "sitelogs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "recordbytes.h"
#include "sitelogs_internal.h"
#include "testsupport.h"

namespace {

using sktest::read_file;
using sktest::write_file;

std::string trimmed(std::string s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    return trim(buf.data());
}

TEST(Trim, SqueezesWhiteSpaceRunsToOneSpace) {
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"abc", "abc"},
        {"  a \t b\n", "a b"},
        {"a\t  \nb   c", "a b c"},
        {"\tkey\t\tvalue with  words \r\n", "key value with words"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(trimmed(c.in), c.out) << "input: " << c.in;
    EXPECT_EQ(trim(nullptr), nullptr);
}

class Config : public ::testing::Test {
  protected:
    sktest::TempDir dir;
    std::string path = dir / "glftpd.conf";

    // Starts from known settings, then loads text.
    void load(const std::string &text) {
        write_file(path, "rootpath /before\ndatapath /before-data\n");
        load_sysconfig(path.c_str());
        write_file(path, text);
        load_sysconfig(path.c_str());
    }
    std::string root() { return std::string(sk::sitelogs::rootpath()); }
    std::string data() { return std::string(sk::sitelogs::datapath()); }
};

TEST_F(Config, ReadsKeysInAnyCaseWithCommentsTabsAndLineEnds) {
    struct Case {
        const char *name;
        std::string text;
        const char *root, *data;
    } cases[] = {
        {"capitals, tabs, comment", " \t ROOTPATH\t/glftpd   # the root\n", "/glftpd", "/before-data"},
        {"key alone", "rootpath\n", "", "/before-data"},
        {"inner spaces squeezed", "rootpath /my   site\t dir\n", "/my site dir", "/before-data"},
        {"CR LF line ends", "rootpath /glftpd\r\nDataPath /ftp-data\r\n", "/glftpd", "/ftp-data"},
        {"no final newline", "datapath /data", "/before", "/data"},
        {"binary bytes dropped",
         std::string("root\x01path /gl\x7f"
                     "ftpd\x02\ndatapath /d\xff\n"),
         "/glftpd", "/d"},
        {"later line wins", "rootpath /a\nrootpath /b\n", "/b", "/before-data"},
        {"comment and other keys", "# rootpath /x\nsitepath /y\n\n   \n", "/before", "/before-data"},
        {"hash inside value", "rootpath /gl#ftpd\n", "/gl", "/before-data"},
    };
    for (const Case &c : cases) {
        load(c.text);
        EXPECT_EQ(root(), c.root) << c.name;
        EXPECT_EQ(data(), c.data) << c.name;
    }
}

TEST_F(Config, TakesEachPieceOfAnOverlongLineAsALine) {
    // A line longer than 4095 characters is read in pieces; the second piece
    // here starts with a key of its own.
    load(std::string(4095, 'a') + "rootpath /tail\n" + std::string(9000, 'x') + "\n");
    EXPECT_EQ(root(), "/tail");
    EXPECT_EQ(data(), "/before-data");
}

TEST_F(Config, MissingFileSetsTheDataPathAndSaysSo) {
    load("rootpath /kept\n");
    std::string missing = dir / "nope.conf";
    ::testing::internal::CaptureStderr();
    load_sysconfig(missing.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Bad or missing config file (" + missing + "), using defaults\n");
    EXPECT_EQ(root(), "/kept");
    EXPECT_EQ(data(), "ftp-data");

    // A FIFO is refused like a missing file, not waited on.
    std::string fifo = dir / "fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    load("datapath /d\n");
    ::testing::internal::CaptureStderr();
    alarm(10); // a read that waits ends the test instead of hanging it
    load_sysconfig(fifo.c_str());
    alarm(0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Bad or missing config file (" + fifo + "), using defaults\n");
    EXPECT_EQ(data(), "ftp-data");

    std::string too_long = dir / std::string(4100, 'c');
    ::testing::internal::CaptureStderr();
    load("datapath /d\n");
    load_sysconfig(too_long.c_str());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Bad or missing config file"), std::string::npos);
    EXPECT_EQ(data(), "ftp-data");
}

TEST(IgnoreList, KeepsTheCallersPointersInOrder) {
    static const char a[] = "groups", b[] = "incoming", c[] = "requests";
    ignore_node *before = START;
    std::size_t old = 0;
    for (ignore_node *n = START; n; n = n->next)
        ++old;
    add_ignore(a);
    add_ignore(b);
    add_ignore(c);
    std::vector<const char *> items;
    for (ignore_node *n = START; n; n = n->next)
        items.push_back(n->item);
    ASSERT_EQ(items.size(), old + 3);
    EXPECT_EQ(items[old], a);
    EXPECT_EQ(items[old + 1], b);
    EXPECT_EQ(items[old + 2], c);
    if (before) {
        EXPECT_EQ(START, before);
    }
}

class DirSize : public ::testing::Test {
  protected:
    sktest::TempDir tmp;
    std::string top = tmp / "release";
    int32_t files = 0;
    uint64_t bytes = 0;
    void measure(const std::string &dir) { get_dir_size(dir.c_str(), &files, &bytes); }
};

TEST_F(DirSize, SkipsDescriptionAndMessageFilesAndAddsToTheCounters) {
    write_file(top + "/A.NFO", std::string(1000, 'n'));
    write_file(top + "/FILE_ID.DIZ", std::string(2000, 'd'));
    write_file(top + "/.message", std::string(3000, 'm'));
    write_file(top + "/.Message", std::string(7, 'M'));
    write_file(top + "/CD1/a.rar", std::string(100, 'a'));
    write_file(top + "/CD1/a.r00", std::string(50, 'b'));
    // Skipped names are skipped whatever they are: not entered.
    write_file(top + "/Sample.nfo/big.bin", std::string(5000, 'x'));
    write_file(top + "/file_id.diz/big.bin", std::string(5000, 'x'));
    files = 10;
    bytes = 1000;
    measure(top);
    EXPECT_EQ(files, 13);
    EXPECT_EQ(bytes, 1000u + 7 + 100 + 50);
}

TEST_F(DirSize, FollowsLinksButEntersEachDirectoryOnce) {
    write_file(top + "/a/one.bin", std::string(10, '1'));
    write_file(tmp / "outside/target.bin", std::string(40, 't'));
    write_file(tmp / "other/two.bin", std::string(20, '2'));
    ASSERT_EQ(symlink("..", (top + "/a/up").c_str()), 0);         // cycle back to the top
    ASSERT_EQ(symlink(".", (top + "/self").c_str()), 0);          // cycle onto itself
    ASSERT_EQ(symlink(top.c_str(), (top + "/a/top").c_str()), 0); // absolute cycle
    ASSERT_EQ(symlink((tmp / "outside/target.bin").c_str(), (top + "/link.bin").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "other").c_str(), (top + "/other1").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "other").c_str(), (top + "/other2").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "gone").c_str(), (top + "/dangling").c_str()), 0);
    measure(top);
    // one.bin, the linked file at its target's size, and two.bin once.
    EXPECT_EQ(files, 3);
    EXPECT_EQ(bytes, 10u + 40 + 20);
}

TEST_F(DirSize, MissingDirectoryAndPlainFileAddNothing) {
    files = 4;
    bytes = 44;
    measure(tmp / "missing");
    write_file(tmp / "plain", "data");
    measure(tmp / "plain");
    get_dir_size(nullptr, &files, &bytes);
    EXPECT_EQ(files, 4);
    EXPECT_EQ(bytes, 44u);
}

TEST_F(DirSize, UnreadableSubdirectoryAddsNothing) {
    write_file(top + "/ok.bin", "12345");
    write_file(top + "/locked/hidden.bin", "123");
    ASSERT_EQ(chmod((top + "/locked").c_str(), 0), 0);
    if (geteuid() != 0) {
        measure(top);
        EXPECT_EQ(files, 1);
        EXPECT_EQ(bytes, 5u);
        return;
    }
    // Permissions do not bind root: measure as an unprivileged user in a
    // child, which reports the two counters through its exit status.
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(99);
        measure(top);
        _exit(files == 1 && bytes == 5u ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the locked directory was counted; 99: could not drop privileges";
}

TEST_F(DirSize, MeasuresTreesDeeperThanAPathBuffer) {
    // 24 levels of 200-character names: the deepest file's path is about
    // 4900 characters, longer than any path buffer the daemon's tools use.
    sktest::make_dirs(top);
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string level(200, 'd');
    for (int i = 0; i < 24; ++i) {
        ASSERT_EQ(mkdirat(fd, level.c_str(), 0755), 0);
        int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    int file = openat(fd, "deep.bin", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, "0123456789", 10), 10);
    close(file);
    close(fd);
    measure(top);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(bytes, 10u);
}

// A site root with a directory log and a configured root path.
class Dirlog : public ::testing::Test {
  protected:
    sktest::SiteRoot site;
    std::string log = site / "ftp-data/logs/dirlog";
    sktest::TempDir conf_dir;

    void SetUp() override {
        write_file(log, "");
        set_rootpath("/glftpd");
    }
    void set_rootpath(const std::string &root) {
        std::string conf = conf_dir / "glftpd.conf";
        write_file(conf, "rootpath " + root + "\n");
        load_sysconfig(conf.c_str());
    }
    static dirlog_record record_for(const std::string &name) {
        dirlog_record r;
        std::memset(&r, 0, sizeof r);
        std::memcpy(r.dirname, name.data(), name.size());
        return r;
    }
};

TEST_F(Dirlog, WritesTheFirstRecordWithEveryByteInPlace) {
    set_rootpath("/glftpd");
    int32_t before = static_cast<int32_t>(std::time(nullptr));
    // Ids and count keep their low 16 bits: 65536 is 0 and 70000 is 4464.
    ASSERT_EQ(gl_dirlog_add("/glftpd/site/Some.Release-GRP", 65536 + 1001, 300, 70000, (1ull << 40) + 5), 1);
    int32_t after = static_cast<int32_t>(std::time(nullptr));
    std::string bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 288u);
    recbytes::Dirlog d = recbytes::dirlog(bytes, 0);
    EXPECT_EQ(d.status, 0);
    EXPECT_GE(d.time, before);
    EXPECT_LE(d.time, after);
    EXPECT_EQ(d.user_id, 1001);
    EXPECT_EQ(d.group_id, 300);
    EXPECT_EQ(d.files, 4464);
    EXPECT_EQ(d.bytes, (1ull << 40) + 5);
    EXPECT_EQ(d.dirname, "/site/Some.Release-GRP");
    EXPECT_TRUE(d.unset_bytes_zero);
}

TEST_F(Dirlog, RemovesTheRootPathOnlyFromTheFront) {
    struct Case {
        const char *root, *name, *stored;
    } cases[] = {
        {"/glftpd", "/glftpd/site/new", "/site/new"},
        {"/glftpd/", "/glftpd/site/new", "site/new"},
        {"/glftpd", "/site/new", "/site/new"}, // not below the root: kept whole
        {"/glftpd", "/gl/site", "/gl/site"},
        {"/", "/site/new", "/site/new"},
        {"", "/site/new", "/site/new"},
    };
    for (bool through_add : {false, true}) {
        for (const Case &c : cases) {
            write_file(log, "");
            set_rootpath(c.root);
            if (through_add)
                ASSERT_EQ(gl_dirlog_add(c.name, 1, 1, 1, 1), 1);
            else
                update_log(record_for(c.name));
            std::string bytes = read_file(log);
            ASSERT_EQ(bytes.size(), 288u);
            EXPECT_EQ(recbytes::dirlog(bytes, 0).dirname, c.stored)
                << "root " << c.root << ", name " << c.name << (through_add ? " (gl_dirlog_add)" : "");
            EXPECT_TRUE(recbytes::dirlog(bytes, 0).unset_bytes_zero);
        }
    }
}

TEST_F(Dirlog, OverwritesOnlyTheFirstRecordOfTheSameName) {
    std::string other = recbytes::make_dirlog("/site/other", 7);
    std::string first = recbytes::make_dirlog("/site/new", 8);
    std::string second = recbytes::make_dirlog("/site/new", 9);
    std::string prefix = recbytes::make_dirlog("/site/new/CD1", 10); // longer name, same start
    write_file(log, other + prefix + first + second);
    ASSERT_EQ(gl_dirlog_add("/glftpd/site/new", 5, 6, 42, 4200), 1);
    std::string bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 4 * 288u);
    EXPECT_EQ(bytes.substr(0, 288), other);
    EXPECT_EQ(bytes.substr(288, 288), prefix);
    recbytes::Dirlog d = recbytes::dirlog(bytes, 2);
    EXPECT_EQ(d.dirname, "/site/new");
    EXPECT_EQ(d.files, 42);
    EXPECT_EQ(d.user_id, 5);
    EXPECT_EQ(bytes.substr(3 * 288), second);
}

TEST_F(Dirlog, AppendsAfterATrailingPartialRecord) {
    std::string whole = recbytes::make_dirlog("/site/a", 1);
    // The partial record holds the very name being written, and is never matched.
    std::string partial = recbytes::make_dirlog("/site/new", 2).substr(0, 100);
    write_file(log, whole + partial);
    ASSERT_EQ(gl_dirlog_add("/glftpd/site/new", 1, 1, 3, 30), 1);
    std::string bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 288u + 100 + 288);
    EXPECT_EQ(bytes.substr(0, 388), whole + partial);
    EXPECT_EQ(recbytes::dirlog(bytes.substr(388), 0).dirname, "/site/new");
    EXPECT_EQ(recbytes::dirlog(bytes.substr(388), 0).files, 3);
}

TEST_F(Dirlog, FindsARecordBeyondTheFirstReadBlock) {
    // Enough records that the search reads the log in several blocks.
    std::string bytes;
    for (int i = 0; i < 9000; ++i)
        bytes += recbytes::make_dirlog("/site/r" + std::to_string(i), static_cast<uint16_t>(i));
    write_file(log, bytes);
    ASSERT_EQ(gl_dirlog_add("/glftpd/site/r8765", 1, 1, 1, 1), 1);
    std::string after = read_file(log);
    ASSERT_EQ(after.size(), bytes.size());
    EXPECT_EQ(recbytes::dirlog(after, 8765).dirname, "/site/r8765");
    EXPECT_EQ(recbytes::dirlog(after, 8765).files, 1);
    EXPECT_EQ(after.substr(0, 8765 * 288), bytes.substr(0, 8765 * 288));
    EXPECT_EQ(after.substr(8766 * 288), bytes.substr(8766 * 288));
}

TEST_F(Dirlog, UpdateWritesWhatAddWrites) {
    ASSERT_EQ(gl_dirlog_add("/glftpd/site/x", 10, 20, 30, 40), 1);
    std::string added = read_file(log);
    write_file(log, "");
    ASSERT_EQ(gl_dirlog_update("/glftpd/site/x", 10, 20, 30, 40, 123456), 1);
    std::string updated = read_file(log);
    ASSERT_EQ(updated.size(), 288u);
    // Equal but for the time, which may have moved on by a second.
    EXPECT_EQ(updated.substr(0, 4), added.substr(0, 4));
    EXPECT_EQ(updated.substr(8), added.substr(8));
    EXPECT_LE(recbytes::dirlog(updated, 0).time - recbytes::dirlog(added, 0).time, 1);
}

TEST_F(Dirlog, RefusesNamesThatDoNotFitTheField) {
    set_rootpath("/glftpd");
    std::string fits = "/" + std::string(253, 'n');     // 254 characters
    std::string too_long = "/" + std::string(254, 'n'); // 255 characters
    EXPECT_EQ(gl_dirlog_add(too_long.c_str(), 1, 1, 1, 1), 0);
    EXPECT_EQ(read_file(log).size(), 0u);
    EXPECT_EQ(gl_dirlog_add(fits.c_str(), 1, 1, 1, 1), 1);
    // Longer than the field as passed, but it fits once the root path is off.
    EXPECT_EQ(gl_dirlog_add(("/glftpd" + fits).c_str(), 1, 1, 2, 1), 1);
    std::string bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 288u);
    EXPECT_EQ(recbytes::dirlog(bytes, 0).dirname, fits);
    EXPECT_EQ(recbytes::dirlog(bytes, 0).files, 2);
    EXPECT_EQ(gl_dirlog_add(nullptr, 1, 1, 1, 1), 0);

    dirlog_record full;
    std::memset(&full, 'z', sizeof full.dirname + offsetof(dirlog_record, dirname));
    std::memset(full.reserved3, 0, sizeof full.reserved3);
    EXPECT_EXIT(update_log(full), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(read_file(log).size(), 288u);
}

TEST_F(Dirlog, MissingLogEndsTheProcessAndIsNotCreated) {
    ASSERT_EQ(unlink(log.c_str()), 0);
    EXPECT_EXIT(gl_dirlog_add("/glftpd/site/new", 1, 1, 1, 1), ::testing::ExitedWithCode(1), "");
    EXPECT_FALSE(sktest::file_exists(log));
}

void add_with_file_size_limit(long limit) {
    sktest::limit_file_size(limit);
    gl_dirlog_add("/glftpd/site/new", 1, 1, 1, 1);
    std::exit(0);
}

TEST_F(Dirlog, FailedWriteEndsTheProcessAndLeavesTheLog) {
    std::string old = recbytes::make_dirlog("/site/a", 1);
    write_file(log, old);
    // The file size limit makes the append fail (EFBIG) as a full disk would.
    EXPECT_EXIT(add_with_file_size_limit(288), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(read_file(log), old);
}

TEST_F(Dirlog, ConcurrentWritersLoseNoRecord) {
    constexpr int kWriters = 6, kEach = 40;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i) {
                std::string name = "/glftpd/site/w" + std::to_string(w) + "-" + std::to_string(i);
                gl_dirlog_add(name.c_str(), 1, 1, 1, 1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 288u * kWriters * kEach);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < bytes.size() / 288; ++i)
        names.push_back(recbytes::dirlog(bytes, i).dirname);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
}

class Dupes : public ::testing::Test {
  protected:
    sktest::SiteRoot site;
    std::string logs = site.mkdirs("ftp-data/logs");
    std::string dupefile = logs + "/dupefile";
    std::string dupelog = logs + "/dupelog";
};

TEST_F(Dupes, AppendsDupeFileRecordsFieldByField) {
    std::string uploader(27, 'u');
    int32_t before = static_cast<int32_t>(std::time(nullptr));
    ASSERT_EQ(gl_dupefile_add("Some.Release-GRP.r00", uploader.c_str()), 1);
    ASSERT_EQ(gl_dupefile_add("second.rar", "bob"), 1);
    int32_t after = static_cast<int32_t>(std::time(nullptr));
    std::string bytes = read_file(dupefile);
    ASSERT_EQ(bytes.size(), 2 * 288u);
    bool tail = false;
    EXPECT_EQ(recbytes::text(bytes, 0, 256, &tail), "Some.Release-GRP.r00");
    EXPECT_TRUE(tail);
    auto time = static_cast<int32_t>(static_cast<uint32_t>(recbytes::le(bytes, 256, 4)));
    EXPECT_GE(time, before);
    EXPECT_LE(time, after);
    // 27 characters fill the field up to the record's last byte, the terminator.
    EXPECT_EQ(bytes.substr(260, 27), uploader);
    EXPECT_EQ(bytes[287], '\0');
    EXPECT_EQ(recbytes::text(bytes, 288, 256), "second.rar");
    EXPECT_EQ(recbytes::text(bytes, 288 + 260, 28, &tail), "bob");
    EXPECT_TRUE(tail);
}

TEST_F(Dupes, RefusesTextsTooLongForTheirFields) {
    std::string name255(255, 'f'), name256(256, 'f'), user28(28, 'u');
    EXPECT_EQ(gl_dupefile_add(name256.c_str(), "bob"), 0);
    EXPECT_EQ(gl_dupefile_add("file", user28.c_str()), 0);
    EXPECT_EQ(gl_dupefile_add(nullptr, "bob"), 0);
    EXPECT_EQ(gl_dupefile_add("file", nullptr), 0);
    EXPECT_FALSE(sktest::file_exists(dupefile));
    EXPECT_EQ(gl_dupefile_add(name255.c_str(), "bob"), 1);
    std::string bytes = read_file(dupefile);
    ASSERT_EQ(bytes.size(), 288u);
    EXPECT_EQ(recbytes::text(bytes, 0, 256), name255);
}

TEST_F(Dupes, DupeLogLineCarriesTheLocalDate) {
    std::time_t t0 = std::time(nullptr);
    ASSERT_EQ(gl_dupelog_add("Some.Release-GRP"), 1);
    std::time_t t1 = std::time(nullptr);
    std::string line = read_file(dupelog);
    char d0[16], d1[16];
    struct tm tm0, tm1;
    std::strftime(d0, sizeof d0, "%m%d%g", localtime_r(&t0, &tm0));
    std::strftime(d1, sizeof d1, "%m%d%g", localtime_r(&t1, &tm1));
    EXPECT_TRUE(line == std::string(d0) + " Some.Release-GRP\n" ||
                line == std::string(d1) + " Some.Release-GRP\n")
        << line;
    EXPECT_EQ(gl_dupelog_add(nullptr), 0);
}

// The date's year is the ISO 8601 week-based year, which differs from the
// calendar year in the days around New Year.
TEST(DupeLogDate, UsesTheWeekBasedYear) {
    std::string old_tz = std::getenv("TZ") ? std::getenv("TZ") : "";
    bool had_tz = std::getenv("TZ") != nullptr;
    setenv("TZ", "UTC0", 1);
    tzset();
    auto at = [](int y, int m, int d) {
        struct tm tm = {};
        tm.tm_year = y - 1900;
        tm.tm_mon = m - 1;
        tm.tm_mday = d;
        tm.tm_hour = 12;
        return timegm(&tm);
    };
    struct Case {
        int y, m, d;
        const char *date;
    } cases[] = {
        {2027, 1, 1, "010126"},   // Friday: week 53 of 2026
        {2024, 12, 30, "123025"}, // Monday: week 1 of 2025
        {2026, 12, 31, "123126"}, // Thursday: week 53 of 2026
        {2021, 1, 3, "010320"},   // Sunday: week 53 of 2020
        {2026, 6, 15, "061526"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(sk::sitelogs::dupelog_date(at(c.y, c.m, c.d)), c.date) << c.y << "-" << c.m << "-" << c.d;
    if (had_tz)
        setenv("TZ", old_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(Dupes, FailuresReturnZero) {
    // A full disk: the write fails after the open succeeded.
    ASSERT_EQ(symlink("/dev/full", dupefile.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", dupelog.c_str()), 0);
    EXPECT_EQ(gl_dupefile_add("file", "bob"), 0);
    EXPECT_EQ(gl_dupelog_add("name"), 0);
    // A missing logs folder: nothing is created.
    ASSERT_EQ(unlink(dupefile.c_str()), 0);
    ASSERT_EQ(unlink(dupelog.c_str()), 0);
    ASSERT_EQ(rmdir(logs.c_str()), 0);
    EXPECT_EQ(gl_dupefile_add("file", "bob"), 0);
    EXPECT_EQ(gl_dupelog_add("name"), 0);
    EXPECT_FALSE(sktest::file_exists(logs));
}

} // namespace
