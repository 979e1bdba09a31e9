// The SFV parser and the SFV upload hook: what an SFV may hold, what is refused and why.
#include "sfvcheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "testsupport.h"

namespace {

using sktest::write_file;

// The outcome of sfv_parse or sfv_load: the entries as "name=CRC" lines, or the error.
std::string outcome(int ok, sfv_list &list, char *error) {
    std::string text;
    if (!ok)
        text = std::string("error: ") + (error ? error : "(no memory)");
    for (size_t i = 0; i < list.count; ++i) {
        char crc[16];
        (void)std::snprintf(crc, sizeof crc, "%08lX", list.entries[i].crc);
        text +=
            list.entries[i].name + std::string("=") + crc + "@" + std::to_string(list.entries[i].line) + "\n";
    }
    std::free(error);
    sfv_free(&list);
    return text;
}

std::string parsed(const std::string &text) {
    sfv_list list{};
    char *error = nullptr;
    int ok = sfv_parse(text.data(), text.size(), &list, &error);
    return outcome(ok, list, error);
}

std::string loaded(const std::string &path) {
    sfv_list list{};
    char *error = nullptr;
    int ok = sfv_load(path.c_str(), &list, &error);
    return outcome(ok, list, error);
}

TEST(SfvParse, ReadsNamesWithSpacesCommentsAndEitherLineEnd) {
    EXPECT_EQ(parsed("; made by a tool\r\n"
                     "a.rar 0badc0de\r\n"
                     "\r\n"
                     "  the file.r00\t\tDEADBEEF  \n"
                     "  ; indented comment\n"
                     "last.r01 00000001"),
              "a.rar=0BADC0DE@2\nthe file.r00=DEADBEEF@4\nlast.r01=00000001@6\n");
}

TEST(SfvParse, RefusesBadLinesWithTheirNumber) {
    struct Case {
        std::string text, error;
    } cases[] = {
        {"a.rar 0badc0de\nb.rar 0badc0dg\n", "error: line 2: '0badc0dg' is not a CRC (8 hex digits)"},
        {"a.rar 0badc0d\n", "error: line 1: '0badc0d' is not a CRC (8 hex digits)"},
        {"a.rar 0badc0de1\n", "error: line 1: '0badc0de1' is not a CRC (8 hex digits)"},
        {";x\na.rar\n", "error: line 2: no CRC after the name"},
        {"../../etc/passwd 0badc0de\n",
         "error: line 1: the name '../../etc/passwd' holds a '/' (the release is one directory)"},
        {".. 0badc0de\n", "error: line 1: the name '..' is not a file"},
        {"a.rar 0badc0de\nA.RAR 0badc0de\n", "error: line 2: 'A.RAR' is listed again (first on line 1)"},
        {std::string(256, 'n') + " 0badc0de\n", "error: line 1: the name is longer than 255 bytes"},
        {std::string("a\0b 0badc0de\n", 13), "error: line 1: the name holds a NUL byte"},
        {"; only a comment\r\n\r\n", "error: the SFV lists no files"},
        {"", "error: the SFV lists no files"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parsed(c.text), c.error) << c.text;
    // 255 bytes is still a name.
    EXPECT_EQ(parsed(std::string(255, 'n') + " 0badc0de\n"), std::string(255, 'n') + "=0BADC0DE@1\n");
}

TEST(SfvLoad, RefusesAHugeFileALinkAndAFifoWithoutWaiting) {
    sktest::TempDir dir;
    std::string line = "some.file.r00 0badc0de\n";
    std::string big;
    while (big.size() < 10UL * 1024 * 1024)
        big += line;
    write_file(dir / "big.sfv", big);
    EXPECT_EQ(loaded(dir / "big.sfv"), "error: the SFV is larger than 1048576 bytes");
    write_file(dir / "real.sfv", "a.rar 0badc0de\n");
    ASSERT_EQ(symlink((dir / "real.sfv").c_str(), (dir / "link.sfv").c_str()), 0);
    EXPECT_EQ(loaded(dir / "link.sfv"), "error: cannot read the SFV: it is a symbolic link");
    ASSERT_EQ(mkfifo((dir / "fifo.sfv").c_str(), 0644), 0);
    EXPECT_EQ(loaded(dir / "fifo.sfv"), "error: cannot read the SFV: it is not a regular file");
    EXPECT_EQ(loaded(dir / "real.sfv"), "a.rar=0BADC0DE@1\n");
}

class SfvUpload : public ::testing::Test {
  protected:
    void SetUp() override {
        ht_init(&table);
        rel = site.mkdirs("site/incoming/Some.Release-GRP");
    }
    void TearDown() override { ht_finalize(&table); }
    int upload(const std::string &name, const std::string &text) {
        write_file(rel + "/" + name, text);
        ht_put(&table, "path", (rel + "/" + name).c_str());
        return sfv_check(&table, name.c_str(), rel.c_str());
    }
    std::string error() {
        const char *e = ht_get(&table, "error_msg");
        return e ? e : "";
    }
    sktest::SiteRoot site;
    std::string rel;
    ht_table table{};
};

TEST_F(SfvUpload, ASecondSfvMustListTheSameFiles) {
    ASSERT_EQ(upload("first.sfv", "a.rar 0badc0de\nb.rar 00000001\n"), 1) << error();
    // The same files in another order and case, with a comment: the same list.
    EXPECT_EQ(upload("copy.SFV", "; again\nB.RAR 00000001\na.rar 0BADC0DE\n"), 1) << error();
    EXPECT_EQ(upload("other.sfv", "a.rar 0badc0de\n"), 0);
    EXPECT_EQ(error(), "other.sfv: the release already has the SFV copy.SFV, which lists other files");
    EXPECT_EQ(upload("bad.sfv", "a.rar xyz\n"), 0);
    EXPECT_EQ(error(), "bad.sfv: line 1: 'xyz' is not a CRC (8 hex digits)");
}

TEST_F(SfvUpload, AVanishedFileOrABadCrcArgumentIsRefused) {
    write_file(rel + "/a.rar", "data");
    ASSERT_EQ(upload("s.sfv", "a.rar " + sktest::python_crc32(rel + "/a.rar") + "\n"), 1) << error();
    ht_put(&table, "path", (rel + "/a.rar").c_str());
    ht_put(&table, "crc", "xyz");
    EXPECT_EQ(sfv_file_check(&table, "a.rar", rel.c_str()), 0);
    EXPECT_EQ(error(), "a.rar: the CRC argument 'xyz' is not hex");
    ht_put(&table, "crc", "0");
    EXPECT_EQ(sfv_file_check(&table, "a.rar", rel.c_str()), 1) << error();
    ASSERT_EQ(std::remove((rel + "/a.rar").c_str()), 0);
    EXPECT_EQ(sfv_file_check(&table, "a.rar", rel.c_str()), 0);
    EXPECT_EQ(error(), "a.rar: cannot be read: No such file or directory");
}

// A release the check may not write to: the SFV is still accepted, and
// nothing is written (the markers and the tag are reported on standard error).
TEST_F(SfvUpload, AReleaseThatCannotBeWrittenIsLeftAsItIs) {
    write_file(rel + "/s.sfv", "a.rar 0badc0de\n");
    ht_put(&table, "path", (rel + "/s.sfv").c_str());
    ht_put(&table, "sfv_progress", "[%{percent}%]");
    for (std::string d = rel; d.size() >= site.path().size(); d = d.substr(0, d.rfind('/')))
        ASSERT_EQ(chmod(d.c_str(), 0755), 0);
    ASSERT_EQ(chmod(rel.c_str(), 0555), 0);
    std::string before = sktest::snapshot(rel);
    int rc = sktest::run_unprivileged([&] {
        return sfv_check(&table, "s.sfv", rel.c_str()) == 1 && sfv_accepted(&table, "s.sfv", rel.c_str()) == 1
                   ? 0
                   : 1;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sktest::snapshot(rel), before);
    ASSERT_EQ(chmod(rel.c_str(), 0755), 0);
}

// Without a complete tag to show it, the complete line is still printed
// only by the upload that completed the release.
TEST_F(SfvUpload, CompleteLineOnlyOnceWithoutATag) {
    ht_put(&table, "sfv_complete_msg", "done %{files}/%{total}");
    write_file(rel + "/a.rar", "data");
    ASSERT_EQ(upload("s.sfv", "a.rar " + sktest::python_crc32(rel + "/a.rar") + "\nb.rar 00000000\n"), 1);
    testing::internal::CaptureStdout();
    sfv_accepted(&table, "s.sfv", rel.c_str());
    write_file(rel + "/b.rar", "");
    sfv_accepted(&table, "b.rar", rel.c_str());
    sfv_accepted(&table, "b.rar", rel.c_str());
    sfv_accepted(&table, "a.rar", rel.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "done 2/2\n");
}

} // namespace
