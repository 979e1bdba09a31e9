// sitekit check on the files of a release with an SFV, run as the daemon's
// upload hook runs it, with CRCs cross-checked by Python's zlib.
#include "apptest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

using apptest::on_site;
using apptest::snapshot;
using sktest::python_crc32;
using sktest::write_file;

namespace {

class SfvRelease : public ::testing::Test {
  protected:
    void SetUp() override {
        rel = site.mkdirs("site/incoming/Some.Release-GRP");
        write_file(site / "ftp-data/sitekit/checks.conf",
                   "sfv_required *.rar|*.r[0-9][0-9]\nzip_extract *.diz\n");
        // The files as the group packed them, and their SFV.
        for (const char *name : {"some.rar", "Some.r00"}) {
            std::string path = site / ("packed/" + std::string(name));
            write_file(path, std::string(name) + std::string(1'200'000, 'z') + name);
            sfv += std::string(name) + " " + python_crc32(path) + "\n";
        }
        auto r = sktest::run_command("cd " + sktest::quote(site / "packed") +
                                     " && printf 'ok\\n' >file_id.diz && " +
                                     "zip -q cover.zip file_id.diz && rm file_id.diz");
        ASSERT_EQ(r.status, 0) << r.err;
        sfv += "cover.zip " + python_crc32(site / "packed/cover.zip") + "\n";
    }
    // The packed file as the daemon leaves it in the release, then the hook.
    sktest::RunResult upload(const std::string &name, const std::string &as, const std::string &crc = "0") {
        if (!name.empty())
            write_file(rel + "/" + as, sktest::read_file(site / ("packed/" + std::string(name))));
        return on_site(site, {"check", as, rel, crc}, "USER=alice");
    }
    sktest::RunResult upload_sfv() {
        write_file(rel + "/some.sfv", sfv);
        return on_site(site, {"check", "some.sfv", rel, "0"}, "USER=alice");
    }
    sktest::SiteRoot site;
    std::string rel;
    std::string sfv;
};

TEST_F(SfvRelease, ListedFilesMustHaveTheirCrc) {
    ASSERT_EQ(upload_sfv().status, 0);
    // Computed here (CRC argument 0), the name in another letter case.
    auto r = upload("some.rar", "SOME.RAR");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");

    // One byte changed: refused, the reason shown, nothing else changed.
    std::string bad = sktest::read_file(site / "packed/Some.r00");
    bad[1'100'000] = 'y';
    write_file(rel + "/Some.r00", bad);
    std::string before = snapshot(site.path());
    r = upload("", "Some.r00");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Some.r00: CRC-32 " + python_crc32(rel + "/Some.r00") + " does not match " +
                         python_crc32(site / "packed/Some.r00") + " of the SFV some.sfv\n");
    EXPECT_EQ(snapshot(site.path()), before);

    // The daemon's CRC, when it gives one, is the one compared.
    std::string good = python_crc32(site / "packed/Some.r00");
    EXPECT_EQ(upload("", "Some.r00", good).status, 0);
    write_file(rel + "/Some.r00", sktest::read_file(site / "packed/Some.r00"));
    EXPECT_EQ(upload("", "Some.r00", "1234abcd").status, 1);
}

TEST_F(SfvRelease, ZipIsVerifiedBeforeItsOwnCheck) {
    ASSERT_EQ(upload_sfv().status, 0);
    auto r = upload("cover.zip", "cover.zip", "DEADBEEF");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("cover.zip: CRC-32 DEADBEEF does not match"), 0u) << r.out;
    EXPECT_FALSE(sktest::file_exists(rel + "/file_id.diz")); // the ZIP check did not run
    r = upload("cover.zip", "cover.zip");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(sktest::file_exists(rel + "/file_id.diz"));
}

TEST_F(SfvRelease, RequiredFilesNeedAnSfvEntry) {
    auto r = upload("some.rar", "some.rar");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "some.rar: the release has no SFV yet; upload the SFV first\n");
    write_file(rel + "/info.nfo", "info\n");
    EXPECT_EQ(upload("", "info.nfo").status, 0);
    ASSERT_EQ(upload_sfv().status, 0);
    write_file(rel + "/extra.r05", "foreign");
    r = upload("", "extra.r05");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "extra.r05: not listed in the SFV some.sfv\n");
    write_file(rel + "/cover.jpg", "jpeg");
    EXPECT_EQ(upload("", "cover.jpg").status, 0);
    // An upload may not pose as the release's own records.
    write_file(rel + "/.sitekit-sfv.uploads", "mallory 99999 some.rar\n");
    r = upload("", ".sitekit-sfv.uploads");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ".sitekit-sfv.uploads: the name is kept for the release's own records\n");
}

TEST_F(SfvRelease, CrcArgumentThatIsNotHexIsABadCommandLine) {
    write_file(rel + "/cover.jpg", "jpeg");
    std::string before = snapshot(site.path());
    auto r = upload("", "cover.jpg", "12x4");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the CRC '12x4' is not 1 to 8 hex digits"), std::string::npos) << r.err;
    EXPECT_EQ(upload("", "cover.jpg", "123456789").status, 2);
    EXPECT_EQ(snapshot(site.path()), before);
}

// What the release directory holds, folders marked with a "/", without the
// check's own records (".sitekit-sfv.*").
std::string listing(const std::string &dir) {
    return sktest::run_command("cd " + sktest::quote(dir) +
                               " && LC_ALL=C ls -A -p | grep -v '^\\.sitekit-sfv\\.'")
        .out;
}

TEST_F(SfvRelease, MissingFilesGetMarkersUntilTheyArrive) {
    write_file(site / "ftp-data/sitekit/checks.conf", "sfv_missing_suffix .missing\n");
    // Before the SFV: one good file, one damaged, a folder at a marker's name.
    ASSERT_EQ(upload("some.rar", "some.rar").status, 0);
    std::string bad = sktest::read_file(site / "packed/Some.r00");
    bad[10] = '!';
    write_file(rel + "/Some.r00", bad);
    ASSERT_EQ(upload("", "Some.r00").status, 0);
    sktest::make_dirs(rel + "/cover.zip.missing");

    auto r = upload_sfv();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Some.r00: CRC-32 " + python_crc32(rel + "/Some.r00") + " does not match " +
                         python_crc32(site / "packed/Some.r00") + " of the SFV some.sfv\n");
    EXPECT_EQ(listing(rel), "Some.r00\nSome.r00.missing\ncover.zip.missing/\nsome.rar\nsome.sfv\n");
    EXPECT_EQ(sktest::read_file(rel + "/Some.r00.missing"), "");

    EXPECT_EQ(upload("Some.r00", "Some.r00").status, 0);
    EXPECT_EQ(upload("cover.zip", "cover.zip").status, 0);
    // The folder is not a marker of this check's making: it stays.
    EXPECT_EQ(listing(rel), "Some.r00\ncover.zip\ncover.zip.missing/\nsome.rar\nsome.sfv\n");
}

constexpr const char *kTagSettings = "sfv_progress [ %{percent}% complete ] - %{files}F of %{total}F\n"
                                     "sfv_complete [%{size}M %{total}F - COMPLETE]\n"
                                     "sfv_complete_msg %{user} completed %{total} files\n";

TEST_F(SfvRelease, TagFollowsTheReleaseUntilComplete) {
    write_file(site / "ftp-data/sitekit/checks.conf", kTagSettings);
    ASSERT_EQ(upload_sfv().status, 0);
    EXPECT_EQ(listing(rel), "Some.r00-missing\n[ 0% complete ] - 0F of 3F/\ncover.zip-missing\n"
                            "some.rar-missing\nsome.sfv\n");
    EXPECT_EQ(upload("some.rar", "some.rar").out, "");
    EXPECT_EQ(listing(rel), "Some.r00-missing\n[ 33% complete ] - 1F of 3F/\ncover.zip-missing\n"
                            "some.rar\nsome.sfv\n");
    EXPECT_EQ(upload("cover.zip", "cover.zip").status, 0);
    auto r = upload("Some.r00", "Some.r00");
    EXPECT_EQ(r.out, "alice completed 3 files\n");
    EXPECT_EQ(listing(rel), "Some.r00\n[2M 3F - COMPLETE]/\ncover.zip\nsome.rar\nsome.sfv\n");
    // The complete line is printed once; a file deleted behind the check's
    // back is missing again at the next upload.
    ASSERT_EQ(std::remove((rel + "/cover.zip").c_str()), 0);
    r = upload("some.rar", "some.rar");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listing(rel), "Some.r00\n[ 66% complete ] - 2F of 3F/\ncover.zip-missing\n"
                            "some.rar\nsome.sfv\n");
}

TEST_F(SfvRelease, DeletedFilesAreMissingAgainAndTheSfvTakesItsMarkers) {
    write_file(site / "ftp-data/sitekit/checks.conf", kTagSettings);
    ASSERT_EQ(upload_sfv().status, 0);
    ASSERT_EQ(upload("some.rar", "some.rar").status, 0);
    ASSERT_EQ(std::remove((rel + "/some.rar").c_str()), 0);
    // The delete hook runs without USER.
    auto r = on_site(site, {"check", "--deleted", "some.rar", rel});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(rel), "Some.r00-missing\n[ 0% complete ] - 0F of 3F/\ncover.zip-missing\n"
                            "some.rar-missing\nsome.sfv\n");
    write_file(rel + "/keep-missing", "not empty: not a marker");
    ASSERT_EQ(std::remove((rel + "/some.sfv").c_str()), 0);
    r = on_site(site, {"check", "--deleted", "some.sfv", rel});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(rel), "keep-missing\n");
}

// The daemon overwrote the SFV with a shorter list: the markers of the files
// it no longer lists go; a non-empty file with the suffix is not a marker.
TEST_F(SfvRelease, MarkersFollowAnSfvUploadedAgain) {
    write_file(site / "ftp-data/sitekit/checks.conf", kTagSettings);
    ASSERT_EQ(upload_sfv().status, 0);
    write_file(rel + "/notes-missing", "mine");
    sfv = sfv.substr(0, sfv.find('\n') + 1); // some.rar alone
    auto r = upload_sfv();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(rel), "[ 0% complete ] - 0F of 1F/\nnotes-missing\n"
                            "some.rar-missing\nsome.sfv\n");
}

TEST_F(SfvRelease, RaceReadsTheStateAndTheUploadersFromTheDirectory) {
    write_file(site / "etc/passwd", "alice:x:" + std::to_string(geteuid()) + ":100::/site:/bin/false\n");
    ASSERT_EQ(upload_sfv().status, 0);
    ASSERT_EQ(upload("some.rar", "some.rar").status, 0);
    ASSERT_EQ(upload("cover.zip", "cover.zip").status, 0);
    std::string bytes = std::to_string(sktest::read_file(rel + "/some.rar").size() +
                                       sktest::read_file(rel + "/cover.zip").size());
    auto r = on_site(site, {"race", rel});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sfv some.sfv\nfiles 2 of 3 (66%), " + bytes +
                         " bytes\nmissing Some.r00\nuser alice 2 files, " + bytes + " bytes\n");
    r = on_site(site, {"race", "--json", rel});
    EXPECT_EQ(r.out, "{\"path\":\"" + rel +
                         "\",\"sfv\":\"some.sfv\",\"total\":3,\"files\":2,\"percent\":66,"
                         "\"bytes\":" +
                         bytes +
                         ",\"complete\":false,\"missing\":[\"Some.r00\"],\"users\":[{\"user\":"
                         "\"alice\",\"uid\":" +
                         std::to_string(geteuid()) + ",\"files\":2,\"bytes\":" + bytes +
                         ",\"speed\":null}]}\n");
    ASSERT_EQ(std::remove((rel + "/some.sfv").c_str()), 0);
    EXPECT_EQ(on_site(site, {"race", rel}).status, 1);
}

// A release as the daemon's hook sees it: its SFV and ten files in a fixed
// random order, three of them before the SFV, one first uploaded damaged,
// one foreign file. After each upload the directory, the hook's output and
// "sitekit race --json" are compared with what the state implies.
TEST(SfvEndToEnd, TenFilesInRandomOrder) {
    sktest::SiteRoot site;
    std::string rel = site.mkdirs("site/incoming/Ten-GRP");
    write_file(site / "etc/passwd", "alice:x:" + std::to_string(geteuid()) + ":100::/site:/bin/false\n");
    write_file(site / "ftp-data/sitekit/checks.conf",
               std::string(kTagSettings) + "sfv_required *.r[0-9][0-9]\n");
    std::vector<std::string> names;
    std::string sfv = "; ten files\r\n";
    for (int i = 1; i <= 10; ++i) {
        std::string name = "ten.0" + std::string(i < 10 ? "0" : "") + std::to_string(i);
        write_file(site / ("packed/" + name), std::string(150'000 + i, static_cast<char>('a' + i)));
        sfv += name + " " + python_crc32(site / ("packed/" + name)) + "\r\n";
        names.push_back(name);
    }
    std::vector<std::string> order = names;
    std::mt19937 rng(14);
    std::shuffle(order.begin(), order.end(), rng);
    order.insert(order.begin() + 3, "ten.sfv");
    const std::string damaged = order[5], foreign = "extra.r07";
    order.insert(order.begin() + 5, "damaged");
    order.insert(order.begin() + 8, foreign);

    bool have_sfv = false;
    std::set<std::string> there; // listed files accepted
    for (const std::string &step : order) {
        SCOPED_TRACE(step);
        std::string as = step == "damaged" ? damaged : step;
        if (step == "ten.sfv")
            write_file(rel + "/" + as, sfv);
        else if (step == foreign)
            write_file(rel + "/" + as, "not of this release");
        else if (step == "damaged")
            write_file(rel + "/" + as, sktest::read_file(site / ("packed/" + damaged)) + "!");
        else
            write_file(rel + "/" + as, sktest::read_file(site / ("packed/" + as)));
        auto r = on_site(site, {"check", as, rel, "0"}, "USER=alice");

        // What the hook must say, and the state it must leave.
        std::string out;
        int status = 0;
        const bool was_complete = have_sfv && there.size() == names.size();
        if (step == "damaged") {
            status = 1;
            out = damaged + ": CRC-32 " + python_crc32(rel + "/" + damaged) + " does not match " +
                  python_crc32(site / ("packed/" + damaged)) + " of the SFV ten.sfv\n";
        } else if (step == foreign) {
            status = 1;
            out = foreign + ": not listed in the SFV ten.sfv\n";
        } else if (step == "ten.sfv") {
            have_sfv = true;
        } else {
            there.insert(step);
        }
        bool complete = have_sfv && there.size() == names.size();
        if (complete && !was_complete)
            out = "alice completed 10 files\n";
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.out, out);
        if (status != 0) { // the daemon deletes a refused upload
            ASSERT_EQ(std::remove((rel + "/" + as).c_str()), 0);
        }

        unsigned long long bytes = 0;
        std::string listed, missing;
        std::set<std::string> entries(there.begin(), there.end());
        for (const std::string &name : names) {
            if (there.count(name)) {
                bytes += sktest::read_file(site / ("packed/" + name)).size();
            } else if (have_sfv) {
                entries.insert(name + "-missing");
                missing += (missing.empty() ? "\"" : ",\"") + name + "\"";
            }
        }
        std::size_t percent = there.size() * 100 / names.size();
        if (have_sfv) {
            entries.insert("ten.sfv");
            entries.insert(complete ? "[" + std::to_string(bytes / (1024ULL * 1024ULL)) + "M 10F - COMPLETE]/"
                                    : "[ " + std::to_string(percent) + "% complete ] - " +
                                          std::to_string(there.size()) + "F of 10F/");
        }
        std::string expected;
        for (const std::string &e : entries)
            expected += e + "\n";
        EXPECT_EQ(listing(rel), expected);

        auto race = on_site(site, {"race", "--json", rel});
        if (!have_sfv) {
            EXPECT_EQ(race.status, 1);
            EXPECT_EQ(race.out, "");
            continue;
        }
        std::string users = there.empty() ? ""
                                          : "{\"user\":\"alice\",\"uid\":" + std::to_string(geteuid()) +
                                                ",\"files\":" + std::to_string(there.size()) +
                                                ",\"bytes\":" + std::to_string(bytes) + ",\"speed\":null}";
        EXPECT_EQ(race.out, "{\"path\":\"" + rel + "\",\"sfv\":\"ten.sfv\",\"total\":10,\"files\":" +
                                std::to_string(there.size()) + ",\"percent\":" + std::to_string(percent) +
                                ",\"bytes\":" + std::to_string(bytes) +
                                ",\"complete\":" + (complete ? "true" : "false") + ",\"missing\":[" +
                                missing + "],\"users\":[" + users + "]}\n");
    }
    EXPECT_EQ(there.size(), names.size());
}

// An SFV made by cksfv, with its comment lines, and cksfv's own verdict on
// the release agreeing with the check's at each step.
TEST(SfvPeers, CksfvAgreesWithTheCheck) {
    if (sktest::run_command("command -v cksfv").status != 0)
        GTEST_SKIP() << "cksfv is not installed";
    sktest::SiteRoot site;
    std::string rel = site.mkdirs("site/incoming/Peer-GRP");
    std::string packed = site.mkdirs("packed");
    for (const char *name : {"peer.r00", "peer.r01"})
        write_file(packed + "/" + name, std::string(300'000, name[7]) + name);
    auto made = sktest::run_command("cd " + sktest::quote(packed) + " && cksfv -b peer.r00 peer.r01");
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_EQ(made.out.front(), ';'); // its header comments
    write_file(rel + "/peer.sfv", made.out);
    ASSERT_EQ(on_site(site, {"check", "peer.sfv", rel}, "USER=alice").status, 0);
    auto verdict = [&] {
        return sktest::run_command("cd " + sktest::quote(rel) + " && cksfv -q -f peer.sfv");
    };

    write_file(rel + "/peer.r00", sktest::read_file(packed + "/peer.r00") + "!");
    auto r = on_site(site, {"check", "peer.r00", rel}, "USER=alice");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(verdict().status, 0);
    write_file(rel + "/peer.r00", sktest::read_file(packed + "/peer.r00"));
    write_file(rel + "/peer.r01", sktest::read_file(packed + "/peer.r01"));
    for (const char *name : {"peer.r00", "peer.r01"}) {
        r = on_site(site, {"check", name, rel}, "USER=alice");
        EXPECT_EQ(r.status, 0) << r.out;
    }
    EXPECT_EQ(verdict().status, 0);
    EXPECT_EQ(on_site(site, {"race", rel}).out.find("files 2 of 2 (100%)"),
              std::string("sfv peer.sfv\n").size());
}

// Eight users at once, each with its upload speed and no passwd entry: one
// complete line, the right tag, and every uploader's record kept.
TEST(SfvConcurrency, EightUploadsAtOnceLeaveOneRightTag) {
    sktest::SiteRoot site;
    std::string rel = site.mkdirs("site/incoming/Eight-GRP");
    write_file(site / "ftp-data/sitekit/checks.conf",
               std::string(kTagSettings) + "sfv_complete_msg %{leader} leads: %{uploaders}\n");
    std::string sfv, all, race;
    for (int i = 0; i < 8; ++i) {
        std::string name = "eight.r0" + std::to_string(i);
        write_file(rel + "/" + name, std::string(200'000 + i, static_cast<char>('a' + i)));
        sfv += name + " " + python_crc32(rel + "/" + name) + "\n";
        all += name + "\n";
        race = "user u" + std::to_string(i) + " 1 file, " + std::to_string(200'000 + i) + " bytes, 10" +
               std::to_string(i) + ".0 KiB/s\n" + race; // most bytes first
        // Only the SFV is there at first: the others arrive together.
        ASSERT_EQ(std::rename((rel + "/" + name).c_str(), (site / name).c_str()), 0);
    }
    write_file(rel + "/eight.sfv", sfv);
    ASSERT_EQ(on_site(site, {"check", "eight.sfv", rel}, "USER=alice").status, 0);
    std::string script =
        "cd " + sktest::quote(rel) + " && for i in 0 1 2 3 4 5 6 7; do (mv ../../../eight.r0$i . && env -i " +
        sktest::quote(sktest::build_path("src/app/sitekit")) + " --root " + sktest::quote(site.path()) +
        " check --user u$i --speed 10$i eight.r0$i . >../out$i) & done; wait; cat ../out*";
    auto r = sktest::run_command(script);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "u7 leads: u7 1F 0M 107KB/s, u6 1F 0M 106KB/s, u5 1F 0M 105KB/s, u4 1F 0M 104KB/s, "
                     "u3 1F 0M 103KB/s, u2 1F 0M 102KB/s, u1 1F 0M 101KB/s, u0 1F 0M 100KB/s\n");
    EXPECT_EQ(listing(rel), "[1M 8F - COMPLETE]/\n" + all + "eight.sfv\n");
    r = on_site(site, {"race", rel});
    EXPECT_EQ(r.out, "sfv eight.sfv\nfiles 8 of 8 (100%), 1600028 bytes, complete\n" + race);
}

} // namespace
