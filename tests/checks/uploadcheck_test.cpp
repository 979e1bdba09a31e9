// upload_check as a tool author calls it: the hooks chosen by extension, the
// path settings taken below the site root, the refusal printed.
#include "uploadcheck.h"

#include <gtest/gtest.h>

#include <string>

#include "infocheck.h"
#include "testsupport.h"

namespace {

using sktest::read_file;
using sktest::write_file;

class UploadCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        ht_init(&table);
        rel = site.mkdirs("site/incoming/Some.Release-GRP");
        ht_put(&table, "user", "alice");
    }
    void TearDown() override {
        ht_finalize(&table);
        str_close(_nfo_cleanlist_normal);
        _nfo_cleanlist_normal = nullptr;
    }
    // The result and what the check printed.
    std::pair<int, std::string> check(const std::string &file) {
        testing::internal::CaptureStdout();
        int rc = upload_check(&table, file.c_str(), (rel + "/").c_str());
        return {rc, testing::internal::GetCapturedStdout()};
    }
    sktest::SiteRoot site;
    std::string rel;
    ht_table table{};
};

TEST_F(UploadCheck, RefusesAnUnwantedNfoFoundBelowTheSiteRoot) {
    ht_put(&table, "nfo_unwanteddir", "/ftp-data/unwanted");
    write_file(site / "ftp-data/unwanted/ad.nfo", "old\n");
    write_file(rel + "/ad.nfo", "propaganda\n");
    auto [rc, out] = check("ad.nfo");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "Nfo is unwanted propaganda-shit\n");
    EXPECT_STREQ(ht_get(&table, "path"), (rel + "/ad.nfo").c_str());
    // The caller's daemon path again, so that the table can serve the next upload.
    EXPECT_STREQ(ht_get(&table, "nfo_unwanteddir"), "/ftp-data/unwanted");
    EXPECT_EQ(read_file(rel + "/ad.nfo"), "propaganda\n");
}

TEST_F(UploadCheck, RunsTheHooksOfTheUploadsExtension) {
    ht_put(&table, "nfo_cleanlist", "/ftp-data/clean.list");
    write_file(site / "ftp-data/clean.list", "spam\n");
    struct Case {
        std::string file, content;
        int rc;
        std::string out, after;
    } cases[] = {
        // No unwanted folder: the dupe hook is skipped, the NFO is cleaned.
        {"info.NFO", "keep\nspam\n", 1, "", "keep\n"},
        {"broken.Zip", "no archive", 0, "broken.Zip: the archive failed its check and was not accepted\n",
         "no archive"},
        {"a.rar", "spam\n", 1, "", "spam\n"},
    };
    for (const Case &c : cases) {
        write_file(rel + "/" + c.file, c.content);
        auto [rc, out] = check(c.file);
        EXPECT_EQ(rc, c.rc) << c.file;
        EXPECT_EQ(out, c.out) << c.file;
        EXPECT_EQ(read_file(rel + "/" + c.file), c.after) << c.file;
    }
}

} // namespace
