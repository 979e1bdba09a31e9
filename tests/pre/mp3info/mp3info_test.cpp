#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "genres.h"
#include "testsupport.h"

namespace {

// Three MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz, 417 bytes each) of
// silence: what an MP3 file holds before its tag.
std::string frames() {
    std::string one(417, '\0');
    one[0] = '\xFF', one[1] = '\xFB', one[2] = '\x90', one[3] = '\x64';
    return one + one + one;
}

// An ID3v1 trailer with the given marker and genre byte.
std::string trailer(const std::string &marker, unsigned char genre) {
    std::string t(128, '\0');
    t.replace(0, 3, marker);
    t.replace(3, 10, "Some Title");
    t.replace(33, 11, "Some Artist");
    t.replace(93, 4, "2001");
    t[127] = static_cast<char>(genre);
    return t;
}

std::string mp3(unsigned char genre) {
    return frames() + trailer("TAG", genre);
}

// id3fixed reads one fixed file, which the tests rewrite: a test holds this
// lock while it uses the file, so that tests run in parallel do not mix.
class SampleLock {
  public:
    SampleLock() : fd_(::open((std::string(ID3FIXED_SAMPLE) + ".lock").c_str(), O_RDWR | O_CREAT, 0644)) {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~SampleLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SampleLock(const SampleLock &) = delete;
    SampleLock &operator=(const SampleLock &) = delete;

  private:
    int fd_;
};

struct Outcome {
    std::string out;
    int status;
};

// Runs one tool of the build in dir and collects its standard output. Done
// with fork and exec rather than a shell: the tools run over a thousand
// times here.
Outcome run(const std::string &dir, const std::string &tool, const std::string &arg = "") {
    std::string prog = sktest::build_path("src/pre/mp3info/" + tool);
    int out[2];
    if (::pipe(out) != 0)
        return {"pipe failed", -1};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        if (::chdir(dir.c_str()) != 0)
            _exit(126);
        if (arg.empty())
            ::execl(prog.c_str(), prog.c_str(), static_cast<char *>(nullptr));
        else
            ::execl(prog.c_str(), prog.c_str(), arg.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    Outcome r{"", -1};
    char buf[512];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    int raw = 0;
    if (pid > 0 && ::waitpid(pid, &raw, 0) == pid && WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    return r;
}

// What each tool prints for a tagged file with genre byte b.
std::string peek_line(int b) {
    const char *name = (b != 0 && b < genre_count) ? genre_s[b] : "n/a";
    return std::string(name) + " (" + std::to_string(b) + ")";
}
std::string fixed_line(int b) {
    int n = b;
    if (n <= 0 || n >= 149)
        n = 148;
    return std::string(genre_s[n]) + " (" + std::to_string(n) + ")\n";
}
std::string num_line(int b) {
    return "(" + std::to_string(static_cast<signed char>(b)) + ")\n";
}
std::string trace_text(int b) {
    int n = static_cast<signed char>(b);
    return "DEBUG: T A G\n" + (n > 0 ? "Genre " + std::to_string(n) + "\n" : "DEBUG: Genre above 255 255\n");
}
std::string lite_text(int b) {
    int n = static_cast<signed char>(b);
    return "DEBUG: T A G\n" + (n > 0 ? "Genre " + std::to_string(n) + "\n" : "");
}

TEST(GenreTable, HoldsTheListedSpellingsAndTheFallback) {
    ASSERT_EQ(genre_count, 149);
    const std::pair<int, const char *> spots[] = {{0, "Blues"},
                                                  {14, "R&B"},
                                                  {29, "Jazz+Funk"},
                                                  {40, "AlternRock"},
                                                  {62, "Pop_Funk"},
                                                  {67, "Psychadelic"},
                                                  {78, "Rock & Roll"},
                                                  {85, "Bebob"},
                                                  {93, "Psychedelic Rock"},
                                                  {123, "A cappella"},
                                                  {127, "Drum & Bass"},
                                                  {133, "Negerpunk"},
                                                  {136, "Christian Gangsta Rap"},
                                                  {146, "JPop"},
                                                  {147, "Synthpop"},
                                                  {148, "Unknown"}};
    for (const auto &[n, name] : spots)
        EXPECT_STREQ(genre_s[n], name) << n;
}

// Every genre byte, through every tool, byte for byte with exit statuses.
TEST(Id3Tools, EveryGenreByteGivesTheDocumentedLine) {
    sktest::TempDir dir;
    SampleLock lock;
    const std::string sample = ID3FIXED_SAMPLE;
    for (int b = 0; b < 256; ++b) {
        SCOPED_TRACE("genre byte " + std::to_string(b));
        std::string file = mp3(static_cast<unsigned char>(b));
        sktest::write_file(dir / "test.mp3", file);
        sktest::write_file(dir / "test2.mp3", file);
        sktest::write_file(sample, file);

        auto peek = run(dir.path(), "id3peek", "test.mp3");
        EXPECT_EQ(peek.out, peek_line(b));
        EXPECT_EQ(peek.status, 0);
        auto fixed = run(dir.path(), "id3fixed");
        EXPECT_EQ(fixed.out, fixed_line(b));
        EXPECT_EQ(fixed.status, 0);
        auto num = run(dir.path(), "id3num", "test.mp3");
        EXPECT_EQ(num.out, num_line(b));
        EXPECT_EQ(num.status, 0);
        // The trace tools only judge the sign of the byte: its edges suffice.
        static const int edges[] = {0, 1, 17, 126, 127, 128, 147, 148, 149, 200, 254, 255};
        if (std::find(std::begin(edges), std::end(edges), b) == std::end(edges))
            continue;
        auto trace = run(dir.path(), "id3trace");
        EXPECT_EQ(trace.out, trace_text(b));
        EXPECT_EQ(trace.status, 1);
        auto lite = run(dir.path(), "id3lite");
        EXPECT_EQ(lite.out, lite_text(b));
        EXPECT_EQ(lite.status, 1);
    }
    // The cases called out one by one, as literal text.
    EXPECT_EQ(peek_line(0), "n/a (0)");
    EXPECT_EQ(fixed_line(0), "Unknown (148)\n");
    EXPECT_EQ(peek_line(147), "Synthpop (147)");
    EXPECT_EQ(fixed_line(147), "Synthpop (147)\n");
    EXPECT_EQ(fixed_line(128), "Club House (128)\n");
    EXPECT_EQ(peek_line(148), "Unknown (148)");
    EXPECT_EQ(peek_line(200), "n/a (200)");
    EXPECT_EQ(fixed_line(200), "Unknown (148)\n");
    EXPECT_EQ(peek_line(255), "n/a (255)");
    EXPECT_EQ(num_line(255), "(-1)\n");
    EXPECT_EQ(trace_text(255), "DEBUG: T A G\nDEBUG: Genre above 255 255\n");
}

// Files the tools cannot take a genre from.
TEST(Id3Tools, ShortMissingAndUntaggedFiles) {
    struct Case {
        const char *what;
        bool exists;
        std::string bytes;
        Outcome peek, fixed, num, trace, lite;
    };
    const std::vector<Case> cases = {
        {"missing",
         false,
         "",
         {"n/a (0)", 1},
         {"n/a (0)\n", 1},
         {"(0)\n", 1},
         {"DEBUG: doesnt exist test.mp3\n", 1},
         {"", 1}},
        {"empty",
         true,
         "",
         {"<128 !n/a (0)", 1},
         {"n/a (0)\n", 1},
         {"(0)\n", 1},
         {"DEBUG: >128 test.mp3\n", 1},
         {"", 1}},
        {"shorter than a tag",
         true,
         trailer("TAG", 17).substr(0, 127),
         {"<128 !n/a (0)", 1},
         {"n/a (0)\n", 1},
         {"(0)\n", 1},
         {"DEBUG: >128 test.mp3\n", 1},
         {"", 1}},
        {"without tag",
         true,
         frames(),
         {"n/a (255)", 1},
         {"n/a (0)\n", 1},
         {"(0)\n", 1},
         {"DEBUG: no tag test.mp3\n", 0},
         {"", 0}},
        {"lower-case marker",
         true,
         frames() + trailer("tag", 17),
         {"n/a (255)", 1},
         {"n/a (0)\n", 1},
         {"(0)\n", 1},
         {"DEBUG: no tag test.mp3\n", 0},
         {"", 0}},
        {"tag alone",
         true,
         trailer("TAG", 17),
         {"Rock (17)", 0},
         {"Rock (17)\n", 0},
         {"(17)\n", 0},
         {"DEBUG: T A G\nGenre 17\n", 1},
         {"DEBUG: T A G\nGenre 17\n", 1}},
    };
    SampleLock lock;
    const std::string sample = ID3FIXED_SAMPLE;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        sktest::TempDir dir;
        std::remove(sample.c_str());
        if (c.exists) {
            sktest::write_file(dir / "test.mp3", c.bytes);
            sktest::write_file(dir / "test2.mp3", c.bytes);
            sktest::write_file(sample, c.bytes);
        }
        auto check = [](const Outcome &got, const Outcome &want, const char *tool) {
            EXPECT_EQ(got.out, want.out) << tool;
            EXPECT_EQ(got.status, want.status) << tool;
        };
        check(run(dir.path(), "id3peek", "test.mp3"), c.peek, "id3peek");
        check(run(dir.path(), "id3fixed"), c.fixed, "id3fixed");
        check(run(dir.path(), "id3num", "test.mp3"), c.num, "id3num");
        check(run(dir.path(), "id3trace"), c.trace, "id3trace");
        check(run(dir.path(), "id3lite"), c.lite, "id3lite");
    }
}

TEST(Id3Tools, FileArgumentIsRequired) {
    sktest::TempDir dir;
    for (const char *tool : {"id3peek", "id3num"}) {
        auto r = sktest::run_command("'" + sktest::build_path(std::string("src/pre/mp3info/") + tool) + "'");
        EXPECT_EQ(r.status, 2) << tool;
        EXPECT_EQ(r.out, "") << tool;
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << tool;
    }
}

} // namespace
