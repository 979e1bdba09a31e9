#include "textscan.h"

#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

// Every line the reader hands out for the file contents, with its result.
Lines read_all(const std::string &contents, int max_len = 300) {
    sktest::TempDir dir;
    std::string path = dir / "f.txt";
    sktest::write_file(path, contents);
    lfr_reader r;
    EXPECT_EQ(lfr_open(&r, path.c_str()), 0);
    Lines lines;
    std::vector<char> buf(static_cast<size_t>(max_len < 0 ? 0 : max_len) + 1, 'X');
    int n;
    while ((n = lfr_getline(&r, buf.data(), max_len)) >= 0)
        lines.emplace_back(n, std::string(buf.data()));
    EXPECT_EQ(lfr_close(&r), 0);
    return lines;
}

TEST(LineFileReader, LineEndsCrLfAndCrLfPairs) {
    EXPECT_EQ(read_all("a\r\nb"), (Lines{{1, "a"}, {1, "b"}}));
    EXPECT_EQ(read_all("a\n\rb"), (Lines{{1, "a"}, {0, ""}, {1, "b"}}));
    EXPECT_EQ(read_all("a\rb\r"), (Lines{{1, "a"}, {1, "b"}}));
    EXPECT_EQ(read_all("\n"), (Lines{{0, ""}}));
    EXPECT_EQ(read_all("x\r\r\ny\n"), (Lines{{1, "x"}, {0, ""}, {1, "y"}}));
}

TEST(LineFileReader, EmptyFileGivesNoLine) {
    EXPECT_TRUE(read_all("").empty());
}

TEST(LineFileReader, CutsLongLinesAndDropsTheirRest) {
    EXPECT_EQ(read_all("abcdef\nxy", 3), (Lines{{3, "abc"}, {2, "xy"}}));
    EXPECT_EQ(read_all("one\n\ntwo\n", 0), (Lines{{0, ""}, {0, ""}, {0, ""}}));
    EXPECT_EQ(read_all("abc\n", -5), (Lines{{0, ""}}));
}

TEST(LineFileReader, LongLinesPastTheVectorStepAreFound) {
    std::string a(1000, 'a'), b(17, 'b');
    EXPECT_EQ(read_all(a + "\r\n" + b + "\n"), (Lines{{300, std::string(300, 'a')}, {17, b}}));
    EXPECT_EQ(read_all(a + "\n", 2000), (Lines{{1000, a}}));
    // Bytes that share the low four bits of NUL, LF or CR are text.
    std::string near;
    for (int i = 0; i < 8; ++i)
        near += "\x10\x1a\x1d\x80\x8a\x8d\xf0\xfa";
    EXPECT_EQ(read_all(near + "\n" + near), (Lines{{64, near}, {64, near}}));
}

// A file past the size at which the block is taken in huge pages, with its
// last line ending exactly at the end of the data.
TEST(LineFileReader, LargeFileIsHandedOutWhole) {
    std::string text, line(99, 'q');
    Lines want;
    for (int i = 0; text.size() < (9u << 20); ++i) {
        std::string l = std::to_string(i) + line;
        text += l + "\n";
        want.emplace_back(static_cast<int>(l.size()), l);
    }
    text += "end";
    want.emplace_back(3, "end");
    EXPECT_EQ(read_all(text), want);
}

TEST(LineFileReader, NulInsideALineEndsTheTextButNotTheCount) {
    Lines got = read_all(std::string("ab\0cd\nz\n", 8));
    EXPECT_EQ(got, (Lines{{5, "ab"}, {1, "z"}}));
    // The cut applies to the count, and the bytes after the NUL are zero.
    sktest::TempDir dir;
    std::string path = dir / "nul";
    sktest::write_file(path, std::string("ab\0cdefgh\n", 10));
    lfr_reader r;
    ASSERT_EQ(lfr_open(&r, path.c_str()), 0);
    char buf[8];
    std::fill(std::begin(buf), std::end(buf), 'X');
    EXPECT_EQ(lfr_getline(&r, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 6), std::string("ab\0\0\0\0", 6));
    EXPECT_EQ(buf[6], 'X'); // nothing past max_len + 1
    lfr_close(&r);
}

TEST(LineFileReader, MissingFileFailsAndCloseIsHarmless) {
    lfr_reader r;
    EXPECT_EQ(lfr_open(&r, "/nonexistent/sitekit/file"), -1);
    char buf[4];
    EXPECT_EQ(lfr_getline(&r, buf, 3), -1);
    EXPECT_EQ(lfr_close(&r), 0);
    EXPECT_EQ(lfr_close(&r), 0);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.size, -1);
    EXPECT_EQ(r.pos, -1);
}

TEST(LineFileReader, RefusesWhatCannotBeSized) {
    sktest::TempDir dir;
    lfr_reader r;
    EXPECT_EQ(lfr_open(&r, dir.path().c_str()), -1);
    EXPECT_EQ(r.data, nullptr);
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(lfr_open(&r, fifo.c_str()), -1); // must not block on the pipe
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(lfr_open(&r, "/dev/null"), -1);
    EXPECT_EQ(lfr_close(&r), 0);
}

TEST(LineFileReader, NothingIsReadAfterOpen) {
    sktest::TempDir dir;
    std::string path = dir / "f";
    sktest::write_file(path, "first\nsecond\n");
    lfr_reader r;
    ASSERT_EQ(lfr_open(&r, path.c_str()), 0);
    sktest::write_file(path, "changed\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    char buf[301];
    EXPECT_EQ(lfr_getline(&r, buf, 300), 5);
    EXPECT_STREQ(buf, "first");
    EXPECT_EQ(lfr_getline(&r, buf, 300), 6);
    EXPECT_STREQ(buf, "second");
    EXPECT_EQ(lfr_getline(&r, buf, 300), -1);
    EXPECT_EQ(lfr_getline(&r, buf, 300), -1);
    lfr_close(&r);
}

} // namespace
