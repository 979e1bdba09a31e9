#include "arccheck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "checks_support.h"
#include "testsupport.h"

namespace {

using checks::quote;
using checks::read_zip;
using sktest::file_exists;
using sktest::read_file;
using sktest::write_file;

// Data that deflate cannot shrink.
std::string noise(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (auto &c : s) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return s;
}

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

class ZipCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        ht_init(&table);
        release = tmp / "site/incoming/Some.Release-GRP";
        sktest::make_dirs(release);
        upload = release + "/some.zip";
        put("path", upload);
    }
    void TearDown() override { ht_finalize(&table); }

    void put(const char *key, const std::string &value) { ht_put(&table, key, value.c_str()); }
    std::string get(const char *key) {
        const char *v = ht_get(&table, key);
        return v ? v : "<absent>";
    }

    // Runs zip_check, returning its result; what it printed lands in out.
    int check() {
        testing::internal::CaptureStdout();
        int rc = zip_check(&table, "some.zip", release.c_str(), nullptr);
        out = testing::internal::GetCapturedStdout();
        return rc;
    }

    void expect_untouched(const std::string &before) {
        EXPECT_EQ(read_file(upload), before);
        EXPECT_FALSE(file_exists(upload + "-processing"));
    }

    sktest::TempDir tmp;
    ht_table table;
    std::string release, upload, out;
};

TEST_F(ZipCheck, InfoZipArchiveIsRebuiltWithAdEntryLastAndComment) {
    std::string src = tmp / "src";
    write_file(src + "/Docs/readme.txt", std::string(5000, 'r') + "\n");
    write_file(src + "/data.bin", noise(70000, 1));
    write_file(src + "/stored.jpg", noise(3000, 2));
    sktest::make_dirs(src + "/Empty");
    auto r = sktest::run_command("cd " + quote(src) + " && zip -q -r -n .jpg " + quote(upload) +
                                 " Docs data.bin stored.jpg Empty && echo 'old comment' | zip -q -z " +
                                 quote(upload));
    ASSERT_EQ(r.status, 0) << r.err;
    auto before = read_zip(upload);

    put("zip_adfilename", "ad#@%.txt");
    put("zip_ad", "Checked by %{user} %%{user}\r\n");
    put("zip_adcomment", "Welcome %{user}");
    put("user", "alice");
    put("zip_success", "%s: %s\n");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(out, "Checking zip-file: Done\n");
    EXPECT_FALSE(file_exists(upload + "-processing"));
    EXPECT_TRUE(checks::unzip_test_ok(upload));
    EXPECT_EQ(get("zip_adfilename"), "ad1a0.txt");

    auto after = read_zip(upload);
    ASSERT_EQ(after.entries.size(), before.entries.size() + 1);
    for (std::size_t i = 0; i < before.entries.size(); ++i) {
        EXPECT_EQ(after.entries[i].name, before.entries[i].name);
        EXPECT_EQ(after.entries[i].data, before.entries[i].data);
        EXPECT_EQ(after.entries[i].method, before.entries[i].method);
        EXPECT_EQ(after.entries[i].date, before.entries[i].date);
    }
    const auto &ad = after.entries.back();
    EXPECT_EQ(ad.name, "ad1a0.txt");
    EXPECT_EQ(ad.data, "Checked by alice %{user}\r\n");
    EXPECT_EQ(ad.method, 8);
    EXPECT_EQ(after.comment, "Welcome alice");
}

TEST_F(ZipCheck, PythonArchiveWithExtraFieldsKeepsEntriesAndDropsComment) {
    checks::build_zip(upload, R"({"comment": "uploader's comment", "entries": [
        {"name": "a.txt", "text": "alpha alpha alpha alpha", "method": 8, "date": [2019, 12, 31, 23, 59, 58]},
        {"name": "b/", "text": "", "method": 0},
        {"name": "b/c.bin", "hex": "00ff00ff", "method": 0, "extra": "cafe0400deadbeef"},
        {"name": "empty.txt", "text": "", "method": 8},
        {"name": "caf\u00e9 \u00fcber.txt", "text": "utf-8 name", "method": 8}]})");
    auto before = read_zip(upload);
    ASSERT_EQ(before.entries.size(), 5u);
    EXPECT_EQ(before.entries[4].name, "caf\xc3\xa9 \xc3\xbc"
                                      "ber.txt");
    put("zip_adcomment", "a comment alone adds nothing");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(checks::unzip_test_ok(upload));
    auto after = read_zip(upload);
    EXPECT_EQ(after.comment, "");
    ASSERT_EQ(after.entries.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(after.entries[i].name, before.entries[i].name);
        EXPECT_EQ(after.entries[i].data, before.entries[i].data);
        EXPECT_EQ(after.entries[i].method, before.entries[i].method);
        EXPECT_EQ(after.entries[i].date, before.entries[i].date);
    }
}

TEST_F(ZipCheck, EmptyArchivePassesAndGetsOnlyTheAd) {
    checks::build_zip(upload, R"({"entries": [], "comment": "nothing inside"})");
    put("zip_adfilename", "ad.txt");
    put("zip_ad", "ad");
    ASSERT_EQ(check(), 1);
    EXPECT_TRUE(checks::unzip_test_ok(upload));
    auto after = read_zip(upload);
    ASSERT_EQ(after.entries.size(), 1u);
    EXPECT_EQ(after.entries[0].name, "ad.txt");
}

TEST_F(ZipCheck, EmptyArchiveByInfoZipPassesWithoutAd) {
    std::string src = tmp / "src";
    write_file(src + "/gone", "x");
    auto r = sktest::run_command("cd " + quote(src) + " && zip -q " + quote(upload) + " gone && zip -q -d " +
                                 quote(upload) + " gone");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(check(), 1);
    EXPECT_TRUE(read_zip(upload).entries.empty());
    EXPECT_FALSE(file_exists(upload + "-processing"));
}

TEST_F(ZipCheck, UnwantedEntriesAreLeftOut) {
    std::string unwanted = tmp / "unwanted";
    write_file(unwanted + "/promo/visit.txt", "x");
    put("zip_unwanteddir", unwanted);
    put("zip_showfile", "%{file} %{status}\n");
    checks::build_zip(upload, R"({"entries": [
        {"name": "keep.txt", "text": "k"}, {"name": "Promo/VISIT.TXT", "text": "spam"},
        {"name": "visit.txt", "text": "same base, other folder"}]})");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(out, "keep.txt Tested\nPromo/VISIT.TXT Deleted\nvisit.txt Tested\n");
    auto after = read_zip(upload);
    ASSERT_EQ(after.entries.size(), 2u);
    EXPECT_EQ(after.entries[0].name, "keep.txt");
    EXPECT_EQ(after.entries[1].name, "visit.txt");
}

TEST_F(ZipCheck, ShowfileGivesSizesInKibAndMethod) {
    checks::build_zip(upload, R"({"entries": [{"name": "s.bin", "hex": ")" + hex(noise(1536, 3)) +
                                  R"(", "method": 0}]})");
    put("zip_showfile", "[%{file}|%{size}|%{zsize}|%{method}|%{status}|%{missing}]");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(out, "[s.bin|1.5|1.5|m0|Tested|%{missing}]");
    EXPECT_EQ(get("tmp_zip_last_size"), "1.5");
    EXPECT_EQ(get("tmp_zip_last_method"), "m0");
}

TEST_F(ZipCheck, ExtractsOnlyBaseNamesIntoTheReleaseDirectory) {
    std::string outside = tmp / "site/incoming";
    write_file(release + "/taken.nfo", "mine");
    sktest::make_dirs(release + "/dir.nfo");
    ASSERT_EQ(symlink((tmp / "victim.nfo").c_str(), (release + "/link.nfo").c_str()), 0);
    checks::build_zip(upload, R"({"entries": [
        {"name": "Docs/FILE_ID.DIZ", "text": "diz one"},
        {"name": "other/file_id.diz", "text": "diz two"},
        {"name": "../../escape.nfo", "text": "up"},
        {"name": "/abs/path/Absolute.NFO", "text": "abs"},
        {"name": "taken.nfo", "text": "theirs"},
        {"name": "dir.nfo", "text": "d"},
        {"name": "link.nfo", "text": "through a link"},
        {"name": "folder.nfo/", "text": ""},
        {"name": "..", "text": "dots"},
        {"name": "notes.txt", "text": "not chosen"}]})");
    put("zip_extract", "*.nfo|*.diz|*.DIZ||..");
    put("zip_showfile", "%{file}=%{status}\n");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(out, "Docs/FILE_ID.DIZ=Unpacked\nother/file_id.diz=Exists\n../../escape.nfo=Unpacked\n"
                   "/abs/path/Absolute.NFO=Unpacked\ntaken.nfo=Exists\ndir.nfo=Exists\nlink.nfo=Exists\n"
                   "folder.nfo/=Exists\n..=Exists\nnotes.txt=Tested\n");
    EXPECT_EQ(read_file(release + "/file_id.diz"), "diz one");
    EXPECT_EQ(read_file(release + "/escape.nfo"), "up");
    EXPECT_EQ(read_file(release + "/absolute.nfo"), "abs");
    EXPECT_EQ(read_file(release + "/taken.nfo"), "mine");
    EXPECT_FALSE(file_exists(tmp / "victim.nfo"));
    EXPECT_FALSE(file_exists(outside + "/escape.nfo"));
    EXPECT_FALSE(file_exists(tmp / "site/escape.nfo"));
    EXPECT_FALSE(file_exists(release + "/notes.txt"));
    EXPECT_EQ(read_zip(upload).entries.size(), 10u);
}

// Damaged or hostile uploads: the check fails at the named step, the upload
// stays byte for byte as it was, and no temporary archive is left.
// Every entry is chosen for extraction: the damaged one (entry) must leave
// no extracted copy.
struct Hostile {
    const char *label;
    std::string (*make)(const std::string &upload);
    const char *step;
    const char *entry;
};

std::string good_zip(const std::string &upload) {
    checks::build_zip(upload, R"({"entries": [
        {"name": "one.txt", "text": "first entry, deflated, first entry", "method": 8},
        {"name": "two.bin", "hex": "000102030405060708090a0b0c0d0e0f", "method": 0},
        {"name": "three.txt", "text": "third entry third entry", "method": 8}]})");
    return read_file(upload);
}

// good_zip with header fields of one entry changed (ziptool patch).
std::string patched(const std::string &upload, const char *fields) {
    good_zip(upload);
    checks::ziptool("patch " + quote(upload) + " " + fields);
    return read_file(upload);
}

const Hostile hostile_cases[] = {
    {"truncated",
     [](const std::string &u) {
         std::string whole = good_zip(u);
         write_file(u, whole.substr(0, whole.size() / 2));
         return read_file(u);
     },
     "Opening zipfile", nullptr},
    {"bad CRC, stored entry",
     [](const std::string &u) {
         good_zip(u);
         checks::ziptool("flip " + quote(u) + " two.bin");
         return read_file(u);
     },
     "Reading zipfile entry-data", "two.bin"},
    {"bad CRC, deflated entry",
     [](const std::string &u) {
         good_zip(u);
         checks::ziptool("badcrc " + quote(u) + " three.txt");
         return read_file(u);
     },
     "Reading zipfile entry-data", "three.txt"},
    {"damaged deflate stream",
     [](const std::string &u) {
         good_zip(u);
         checks::ziptool("flip " + quote(u) + " one.txt");
         return read_file(u);
     },
     "Reading zipfile entry-data", "one.txt"},
    {"broken central directory",
     [](const std::string &u) {
         std::string z = good_zip(u);
         std::size_t cd = z.find("PK\x01\x02");
         z[cd + 28] = '\x7f'; // name length of the first central header
         write_file(u, z);
         return z;
     },
     "Reading zipfile entry-hdr", nullptr},
    {"not a zip",
     [](const std::string &u) {
         write_file(u, "this is plain text named .zip\n");
         return read_file(u);
     },
     "Opening zipfile", nullptr},
    {"entry name of 256 bytes",
     [](const std::string &u) {
         checks::build_zip(u, R"({"entries": [{"name": "ok.txt", "text": "ok"}, {"name": ")" +
                                  std::string(256, 'n') + R"(", "text": "long"}]})");
         return read_file(u);
     },
     "Reading zipfile entry-hdr", nullptr},
    {"bad CRC, Zip64 entry", // the library compares no CRC here: it takes the size for 4 GiB
     [](const std::string &u) {
         std::string src = u + ".d";
         write_file(src + "/z.bin", "data of a Zip64 entry");
         auto r = sktest::run_command("cd " + quote(src) + " && rm -f " + quote(u) + " && zip -q -fz -0 " +
                                      quote(u) + " z.bin && cd .. && rm -r " + quote(src));
         EXPECT_EQ(r.status, 0) << r.err;
         checks::ziptool("flip " + quote(u) + " z.bin");
         return read_file(u);
     },
     "Reading zipfile entry-data", "z.bin"},
    {"stored entry shorter than declared",
     [](const std::string &u) { return patched(u, "two.bin usize=82"); }, "Reading zipfile entry-data",
     "two.bin"},
    {"deflate stream ending before the declared size",
     [](const std::string &u) { return patched(u, "one.txt usize=400"); }, "Reading zipfile entry-data",
     "one.txt"},
    {"bzip2 entry", [](const std::string &u) { return patched(u, "two.bin method=12"); },
     "Unsupported compression method 12 in zipfile", "two.bin"},
    {"LZMA entry", [](const std::string &u) { return patched(u, "two.bin method=14"); },
     "Unsupported compression method 14 in zipfile", "two.bin"},
    {"Deflate64 entry", [](const std::string &u) { return patched(u, "three.txt method=9"); },
     "Unsupported compression method 9 in zipfile", "three.txt"},
};

TEST_F(ZipCheck, HostileUploadsFailAndStayUnchanged) {
    put("zip_extract", "*");
    put("check_errormsg", "Error: %s\n");
    for (const auto &c : hostile_cases) {
        SCOPED_TRACE(c.label);
        for (const std::string &name : checks::names_in(release))
            ::unlink((release + "/" + name).c_str());
        std::string before = c.make(upload);
        EXPECT_EQ(check(), 0);
        EXPECT_EQ(out, std::string("Error: ") + c.step + "\n");
        expect_untouched(before);
        if (c.entry) {
            EXPECT_FALSE(file_exists(release + "/" + c.entry));
        }
    }
}

TEST_F(ZipCheck, EncryptedEntryFailsInsteadOfBeingCopiedAsGarbage) {
    std::string src = tmp / "src";
    write_file(src + "/secret.txt", std::string(3000, 's'));
    write_file(src + "/stored.bin", "0123456789");
    auto r = sktest::run_command("cd " + quote(src) + " && zip -q -P pass -0 " + quote(upload) +
                                 " stored.bin && zip -q -P pass " + quote(upload) + " secret.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string before = read_file(upload);
    put("check_errormsg", "%s\n");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Reading zipfile entry-data\n");
    expect_untouched(before);
}

TEST_F(ZipCheck, NameOf255BytesIsKept) {
    std::string name(255, 'n');
    checks::build_zip(upload, R"({"entries": [{"name": ")" + name + R"(", "text": "long"}]})");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(read_zip(upload).entries.at(0).name, name);
}

TEST_F(ZipCheck, ExtractedFilesOfAFailedCheckStay) {
    checks::build_zip(upload, R"({"entries": [{"name": "a.nfo", "text": "nfo"},
        {"name": "b.bin", "hex": "0102030405", "method": 0}]})");
    checks::ziptool("flip " + quote(upload) + " b.bin");
    std::string before = read_file(upload);
    put("zip_extract", "*.nfo");
    EXPECT_EQ(check(), 0);
    expect_untouched(before);
    EXPECT_EQ(read_file(release + "/a.nfo"), "nfo");
}

TEST_F(ZipCheck, DamagedEntryLeavesNoExtractedCopy) {
    checks::build_zip(upload, R"({"entries": [{"name": "a.nfo", "text": "nfo"},
        {"name": "b.diz", "text": "damaged text", "method": 0}]})");
    checks::ziptool("flip " + quote(upload) + " b.diz");
    std::string before = read_file(upload);
    put("zip_extract", "*.nfo|*.diz");
    put("check_errormsg", "%s\n");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Reading zipfile entry-data\n");
    expect_untouched(before);
    EXPECT_EQ(read_file(release + "/a.nfo"), "nfo"); // a sound entry's copy stays
    EXPECT_FALSE(file_exists(release + "/b.diz"));
}

TEST_F(ZipCheck, HostileFormatsArePrintedAsTheyStand) {
    write_file(upload, "not a zip");
    put("check_errormsg", "%s %d %n %s %x %% %{path}");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Opening zipfile %d %n %s %x % " + upload);
}

TEST_F(ZipCheck, MissingPathReturnsZero) {
    ht_put(&table, "path", nullptr);
    EXPECT_EQ(check(), 0);
}

TEST_F(ZipCheck, TempArchiveThatCannotBeCreatedStopsAtOnce) {
    std::string before = good_zip(upload);
    sktest::make_dirs(upload + "-processing"); // a directory where the temporary archive goes
    put("zip_extract", "*.txt");
    put("check_errormsg", "%s\n");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Creating temp-zip\n");
    EXPECT_EQ(read_file(upload), before);
    EXPECT_FALSE(file_exists(release + "/one.txt")); // the test never ran
}

TEST_F(ZipCheck, TempArchiveNeverFollowsALink) {
    std::string before = good_zip(upload);
    std::string victim = tmp / "victim";
    write_file(victim, "keep me");
    ASSERT_EQ(symlink(victim.c_str(), (upload + "-processing").c_str()), 0);
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(read_file(victim), "keep me");
    EXPECT_EQ(read_file(upload), before);
}

TEST_F(ZipCheck, LeftoverTempArchiveIsReplaced) {
    good_zip(upload);
    write_file(upload + "-processing", "left by an interrupted check");
    testing::internal::CaptureStderr();
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "sitekit: removed " + upload + "-processing, left behind by an interrupted check\n");
    EXPECT_FALSE(file_exists(upload + "-processing"));
    EXPECT_TRUE(checks::unzip_test_ok(upload));
}

TEST_F(ZipCheck, FailedWriteOfTheRebuiltArchiveKeepsTheUpload) {
    checks::build_zip(upload, R"({"entries": [{"name": "big.bin", "hex": ")" + hex(noise(200000, 4)) +
                                  R"(", "method": 0}]})");
    std::string before = read_file(upload);
    std::string printed = tmp / "printed";
    put("check_errormsg", "%s\n");
    int rc = sktest::run_with_file_limit(
        50000, [&] { return zip_check(&table, "some.zip", release.c_str(), nullptr); }, printed);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(printed), "Writing in temp-zip\n");
    expect_untouched(before);
}

TEST_F(ZipCheck, KeepsThePermissionBitsOfTheUpload) {
    good_zip(upload);
    ASSERT_EQ(chmod(upload.c_str(), 0640), 0);
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(sktest::permission_bits(upload), 0640u);
}

// The daemon tells the uploader by the file's owner.
TEST_F(ZipCheck, KeepsTheOwnerOfTheUploadWhenRunAsRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the upload away";
    good_zip(upload);
    ASSERT_EQ(chown(upload.c_str(), 4321, 8765), 0);
    ASSERT_EQ(check(), 1);
    struct stat st;
    ASSERT_EQ(stat(upload.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
}

TEST_F(ZipCheck, ExtractionIsLimitedBySize) {
    struct {
        const char *max; // zip_extract_max, or absent
        std::size_t size;
        bool passes;
    } cases[] = {
        {nullptr, 1048577, false}, {"1000", 1000, true}, {"1000", 1001, false}, {"0", 1048577, true}};
    put("zip_extract", "*.nfo");
    put("zip_ratio_max", "0");
    put("check_errormsg", "%s\n");
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, limit " + (c.max ? c.max : "absent"));
        ::unlink((release + "/big.nfo").c_str());
        ht_put(&table, "zip_extract_max", c.max);
        checks::build_zip(upload, R"({"entries": [{"name": "big.nfo", "text": ")" + std::string(c.size, 'x') +
                                      R"("}]})");
        std::string before = read_file(upload);
        ASSERT_EQ(check(), c.passes ? 1 : 0);
        if (c.passes) {
            EXPECT_EQ(read_file(release + "/big.nfo").size(), c.size);
            continue;
        }
        EXPECT_EQ(out, std::string("File to extract is larger than zip_extract_max (") +
                           (c.max ? c.max : "1048576") + " bytes)\n");
        expect_untouched(before);
        EXPECT_EQ(checks::names_in(release), std::vector<std::string>{"some.zip"});
    }
}

// 4 MiB of zeros deflate to about 4 KB: a ratio of about 1000.
TEST_F(ZipCheck, ArchiveThatUnpacksFarBeyondItsSizeIsRefusedBeforeReading) {
    std::string src = tmp / "src";
    write_file(src + "/a.nfo", "first entry, extracted only when the archive is read");
    write_file(src + "/zeros.bin", std::string(4 << 20, '\0'));
    auto r = sktest::run_command("cd " + quote(src) + " && zip -q " + quote(upload) + " a.nfo zeros.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string before = read_file(upload);
    put("zip_extract", "*.nfo");
    put("check_errormsg", "%s\n");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Archive unpacks to more than zip_ratio_max (200) times its size\n");
    expect_untouched(before);
    EXPECT_EQ(checks::names_in(release), std::vector<std::string>{"some.zip"});
    put("zip_ratio_max", "2000");
    EXPECT_EQ(check(), 1);
    // Ten entries that share the data of one unpack to ten times as much
    // from an upload of the same size.
    ::unlink(upload.c_str());
    r = sktest::run_command("cd " + quote(src) + " && zip -q " + quote(upload) + " zeros.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    checks::ziptool("overlap " + quote(upload) + " 10");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Archive unpacks to more than zip_ratio_max (2000) times its size\n");
}

TEST_F(ZipCheck, SizeLimitThatIsNotANumberFailsTheCheck) {
    std::string before = good_zip(upload);
    put("zip_extract_max", "1 MB");
    put("check_errormsg", "%s\n");
    EXPECT_EQ(check(), 0);
    EXPECT_EQ(out, "Setting zip_extract_max is not a number of bytes\n");
    expect_untouched(before);
}

// An extracted file that cannot be written in full fails its entry and
// leaves nothing; an entry may never give more than it declares (here a
// Zip64 size of 500 bytes for 3 MB), so a lying header writes no more.
TEST_F(ZipCheck, ExtractedFileIsWrittenInFullOrNotAtAll) {
    std::string src = tmp / "src";
    write_file(src + "/big.nfo", std::string(300000, 'a'));
    write_file(src + "/huge.nfo", std::string(3 << 20, 'z'));
    struct {
        const char *label, *zip_args, *patch, *step;
    } cases[] = {
        {"write fails", "big.nfo", nullptr, "Writing extracted file (File too large)\n"},
        {"Zip64 size understated", "-fz huge.nfo", "huge.nfo z64usize=500", "Reading zipfile entry-data\n"},
    };
    put("zip_extract", "*.nfo");
    put("zip_ratio_max", "0");
    put("check_errormsg", "%s\n");
    std::string printed = tmp / "printed";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ::unlink(upload.c_str());
        auto r = sktest::run_command("cd " + quote(src) + " && zip -q " + quote(upload) + " " + c.zip_args);
        ASSERT_EQ(r.status, 0) << r.err;
        if (c.patch)
            checks::ziptool("patch " + quote(upload) + " " + c.patch);
        std::string before = read_file(upload);
        int rc = sktest::run_with_file_limit(
            200000, [&] { return zip_check(&table, "some.zip", release.c_str(), nullptr); }, printed);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(read_file(printed), c.step);
        expect_untouched(before);
        EXPECT_EQ(checks::names_in(release), std::vector<std::string>{"some.zip"});
    }
}

TEST_F(ZipCheck, Zip64SizesAreShown) {
    std::string src = tmp / "src";
    write_file(src + "/s.bin", noise(1536, 3));
    auto r = sktest::run_command("cd " + quote(src) + " && zip -q -fz -0 " + quote(upload) + " s.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    put("zip_showfile", "%{size}|%{zsize}");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(out, "1.5|1.5");
}

// The end record lies up to 22 + 65535 bytes before the end of the file.
TEST_F(ZipCheck, ArchiveWithTheLongestCommentsPasses) {
    for (std::size_t length : {65513u, 65514u, 65535u}) {
        SCOPED_TRACE(length);
        checks::build_zip(upload, R"({"comment": ")" + std::string(length, 'c') +
                                      R"(", "entries": [{"name": "a.txt", "text": "alpha"}]})");
        put("check_errormsg", "%s\n");
        ASSERT_EQ(check(), 1) << out;
        auto after = read_zip(upload);
        ASSERT_EQ(after.entries.size(), 1u);
        EXPECT_EQ(after.entries[0].data, "alpha");
    }
}

// Killed at any moment, a check leaves the upload (as it was, or rebuilt in
// full) and finished extracted files, nothing else. The parts extracted
// here are stored entries of 4 MiB, so a finished one is found whole in
// the upload.
TEST_F(ZipCheck, KilledCheckLeavesOnlyTheUploadAndFinishedFiles) {
    checks::ziptool("bulk " + quote(upload) + " 24");
    const std::string original = read_file(upload);
    put("zip_extract", "*.bin");
    put("zip_extract_max", "0");
    auto run = [&] { return zip_check(&table, "some.zip", release.c_str(), nullptr); };
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(checks::wait_child(checks::start_child(run)), 1);
    auto whole = std::chrono::steady_clock::now() - start;
    for (int i = 1; i <= 10; ++i) {
        SCOPED_TRACE(i);
        for (const std::string &name : checks::names_in(release))
            ::unlink((release + "/" + name).c_str());
        write_file(upload, original);
        pid_t pid = checks::start_child(run);
        std::this_thread::sleep_for(whole * i / 11);
        kill(pid, SIGKILL);
        checks::wait_child(pid);
        for (const std::string &name : checks::names_in(release)) {
            std::string data = read_file(release + "/" + name);
            if (name == "some.zip")
                EXPECT_TRUE(data == original || checks::unzip_test_ok(upload));
            else if (name == "some.zip-processing") // killed between naming it and the rename
                EXPECT_TRUE(checks::unzip_test_ok(release + "/" + name));
            else if (name.size() == 10 && name.compare(0, 4, "part") == 0)
                EXPECT_TRUE(data.size() == 4 << 20 && original.find(data) != std::string::npos) << name;
            else
                ADD_FAILURE() << "left behind: " << name;
        }
    }
}

TEST_F(ZipCheck, OverlongCommentIsCutToWhatTheFormatHolds) {
    good_zip(upload);
    put("zip_adfilename", "ad.txt");
    put("zip_ad", "ad");
    put("zip_adcomment", std::string(70000, 'c'));
    ASSERT_EQ(check(), 1);
    EXPECT_TRUE(checks::unzip_test_ok(upload));
    EXPECT_EQ(read_zip(upload).comment, std::string(65535, 'c'));
}

TEST(ZipParts, MustExtractMatchesLowerCasedBaseName) {
    st_state st;
    st_initialize(&st, "*.nfo|*.diz|*.DIZ", "|");
    struct {
        const char *name, *expected;
    } cases[] = {
        {"Docs/FILE_ID.DIZ", "file_id.diz"},
        {"x.NFO", "x.nfo"},
        {"a/b/c.txt", nullptr},
        {"dir/", nullptr},
        {"", nullptr},
    };
    for (const auto &c : cases) {
        char *got = zip_must_extract(c.name, &st);
        if (c.expected)
            EXPECT_STREQ(got, c.expected) << c.name;
        else
            EXPECT_EQ(got, nullptr) << c.name;
        std::free(got);
    }
    EXPECT_EQ(zip_must_extract(nullptr, &st), nullptr);
    EXPECT_EQ(zip_must_extract("a.nfo", nullptr), nullptr);
    st_finalize(&st);
}

TEST(ZipParts, DupeAcceptsEverything) {
    EXPECT_EQ(zip_dupe(nullptr, nullptr, nullptr), 1);
}

TEST(ZipParts, ConvertCopiesTheDateAndClearsTheRest) {
    unz_file_info fi{};
    fi.compression_method = 8;
    fi.tmu_date = {1, 2, 3, 4, 5, 2001};
    zip_fileinfo zi;
    zi.dosDate = zi.internal_fa = zi.external_fa = 99;
    EXPECT_EQ(zip_convert_fi_to_zi(&fi, &zi), 8);
    EXPECT_EQ(zi.tmz_date.tm_sec, 1u);
    EXPECT_EQ(zi.tmz_date.tm_mon, 5u);
    EXPECT_EQ(zi.tmz_date.tm_year, 2001u);
    EXPECT_EQ(zi.dosDate + zi.internal_fa + zi.external_fa, 0u);
}

} // namespace

namespace {

TEST_F(ZipCheck, TestWithoutTemporaryArchiveFailsAtTheFirstCopy) {
    good_zip(upload);
    put("check_errormsg", "%s\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(zip_test_and_extract(&table, upload.c_str(), release.c_str(), nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Opening entry in temp-zip\n");
}

TEST_F(ZipCheck, FailedWriteOfTheAdEntryKeepsTheUpload) {
    checks::build_zip(upload, R"({"entries": [{"name": "small.txt", "text": "small"}]})");
    std::string before = read_file(upload);
    std::string ad;
    for (unsigned seed = 5; ad.size() < 300000;) { // printable text that deflate cannot shrink much
        seed = seed * 1103515245u + 12345u;
        ad.push_back(static_cast<char>('!' + (seed >> 16) % 90));
    }
    put("zip_adfilename", "ad.txt");
    put("zip_ad", ad);
    put("check_errormsg", "%s\n");
    std::string printed = tmp / "printed";
    int rc = sktest::run_with_file_limit(
        100000, [&] { return zip_check(&table, "some.zip", release.c_str(), nullptr); }, printed);
    EXPECT_EQ(rc, 0);
    std::string step = read_file(printed);
    EXPECT_TRUE(step == "Writing new zip-entry\n" || step == "Closing new zip-entry\n") << step;
    expect_untouched(before);
}

TEST(ZipPutAds, WithoutAdSettingsOnlyClosesTheArchive) {
    sktest::TempDir tmp;
    std::string path = tmp / "t.zip";
    ht_table t;
    ht_init(&t);
    ht_put(&t, "zip_adcomment", "ignored");
    EXPECT_EQ(zip_put_ads(&t, zipOpen(path.c_str(), APPEND_STATUS_CREATE)), 1);
    EXPECT_EQ(zip_put_ads(&t, nullptr), 0);
    ht_finalize(&t);
    EXPECT_EQ(read_file(path).size(), 22u); // only the end record: no entry, no comment
}

} // namespace

// Kept entries are copied as they were packed: the same compressed bytes,
// whatever wrote them (stored, deflated, with a data descriptor, Zip64).
TEST_F(ZipCheck, EntriesAreCopiedByteForByte) {
    std::string src = tmp / "src";
    write_file(src + "/text.txt", std::string(40000, 't') + "text\n");
    write_file(src + "/noise.bin", noise(50000, 4));
    const std::string at = "cd " + quote(src) + " && ";
    const std::vector<std::string> makers = {
        at + "zip -q -0 " + quote(upload) + " text.txt noise.bin",
        at + "zip -q -1 " + quote(upload) + " text.txt noise.bin",
        at + "zip -q -fz -9 " + quote(upload) + " text.txt noise.bin",
        "", // Python's zipfile on a stream: data descriptors
    };
    for (const auto &make : makers) {
        SCOPED_TRACE(make);
        (void)std::remove(upload.c_str());
        if (make.empty()) {
            checks::ziptool("streamed " + quote(upload));
        } else {
            auto r = sktest::run_command(make);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        std::string before = checks::ziptool("raw " + quote(upload));
        ASSERT_EQ(check(), 1);
        EXPECT_EQ(checks::ziptool("raw " + quote(upload)), before);
        EXPECT_TRUE(checks::unzip_test_ok(upload));
    }
}

TEST_F(ZipCheck, RecompressSettingDeflatesEntriesAnew) {
    std::string src = tmp / "src";
    write_file(src + "/text.txt", std::string(40000, 't') + "text\n");
    auto r = sktest::run_command("cd " + quote(src) + " && zip -q -1 " + quote(upload) + " text.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string before = checks::ziptool("raw " + quote(upload));
    auto data = read_zip(upload);
    put("zip_recompress", "yes");
    ASSERT_EQ(check(), 1);
    EXPECT_NE(checks::ziptool("raw " + quote(upload)), before);
    EXPECT_EQ(read_zip(upload).entries[0].data, data.entries[0].data);
    EXPECT_TRUE(checks::unzip_test_ok(upload));
}
