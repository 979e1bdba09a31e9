#include "penaltylog.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

// One nuke log record built byte by byte at the daemon's offsets.
struct Rec {
    uint16_t status = 0;
    int64_t time = 1000;
    std::string nuker = "user1";
    std::string unnuker = "";
    std::string nukee = "user2";
    uint16_t multiplier = 3;
    float amount = 1.0f;
    std::string reason = "bad.sfv";
    std::string dirname = "/site/rel";
    char filler = '\0'; // what unused bytes of text fields and reserved bytes hold
};

void put(std::string &b, std::size_t off, const void *p, std::size_t n) {
    std::memcpy(&b[off], p, n);
}

// A text field: the text, then filler up to the width; the text is cut to
// the width and so may end without a NUL.
void put_text(std::string &b, std::size_t off, std::size_t width, const std::string &s, char filler) {
    std::string f(width, filler);
    f.replace(0, std::min(width, s.size()), s.substr(0, width));
    if (s.size() < width)
        f[s.size()] = '\0';
    put(b, off, f.data(), width);
}

std::string bytes(const Rec &r) {
    std::string b(392, r.filler);
    put(b, 0, &r.status, 2);
    put(b, 8, &r.time, 8);
    put_text(b, 16, 12, r.nuker, r.filler);
    put_text(b, 28, 12, r.unnuker, r.filler);
    put_text(b, 40, 12, r.nukee, r.filler);
    put(b, 52, &r.multiplier, 2);
    put(b, 56, &r.amount, 4);
    put_text(b, 60, 60, r.reason, r.filler);
    put_text(b, 120, 255, r.dirname, r.filler);
    return b;
}

std::string log_of(const std::vector<Rec> &recs) {
    std::string all;
    for (const auto &r : recs)
        all += bytes(r);
    return all;
}

std::vector<nukelog_release *> releases_of(sortedlist &l) {
    std::vector<nukelog_release *> out;
    sortedlist_reset(&l);
    while (void *p = sortedlist_next(&l))
        out.push_back(static_cast<nukelog_release *>(p));
    return out;
}

std::vector<nukelog_nukee *> nukees_of(nukelog_release *r) {
    std::vector<nukelog_nukee *> out;
    sortedlist_reset(&r->nukees);
    while (void *p = sortedlist_next(&r->nukees))
        out.push_back(static_cast<nukelog_nukee *>(p));
    return out;
}

std::string printed(nukelog_release *r) {
    testing::internal::CaptureStdout();
    _nukelog_printf(r);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class NukeLog : public ::testing::Test {
  protected:
    void SetUp() override { sortedlist_init(&list); }
    void TearDown() override { nukelog_free(&list); }

    int load(const std::string &contents) {
        sktest::write_file(path, contents);
        return nukelog_load(&list, path.c_str());
    }

    sktest::TempDir dir;
    std::string path = dir / "nukelog";
    sortedlist list;
};

TEST_F(NukeLog, ReadsEveryFieldAtItsOffset) {
    Rec r;
    r.status = 0;
    r.time = -5000000000LL; // needs all 64 bits, sign included
    r.multiplier = 65535;
    r.amount = 120.4f;
    ASSERT_EQ(load(bytes(r)), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(rels[0]->status, 0);
    EXPECT_EQ(rels[0]->time, -5000000000LL);
    EXPECT_EQ(rels[0]->multiplier, 65535);
    EXPECT_STREQ(rels[0]->dirname, "/site/rel");
    EXPECT_STREQ(rels[0]->shown_name, "user1");
    EXPECT_STREQ(rels[0]->reason, "bad.sfv");
    auto ns = nukees_of(rels[0]);
    ASSERT_EQ(ns.size(), 1u);
    EXPECT_STREQ(ns[0]->name, "user2");
    EXPECT_EQ(ns[0]->amount, 120.4f);
}

TEST_F(NukeLog, EmptyLogIsReadAndAddsNothing) {
    EXPECT_EQ(load(""), 1);
    EXPECT_EQ(sortedlist_count(&list), 0);
}

TEST_F(NukeLog, MissingLogGivesZeroAndLeavesTheListAsItWas) {
    ASSERT_EQ(load(bytes(Rec{})), 1);
    EXPECT_EQ(nukelog_load(&list, (dir / "absent").c_str()), 0);
    EXPECT_EQ(sortedlist_count(&list), 1);
}

TEST_F(NukeLog, FifoIsRefusedWithoutWaitingForAWriter) {
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(10); // a load that waits ends the test instead of hanging it
    EXPECT_EQ(nukelog_load(&list, fifo.c_str()), 0);
    alarm(0);
    EXPECT_EQ(sortedlist_count(&list), 0);
}

TEST_F(NukeLog, UnreadableLogIsNotReportedAsRead) {
    // A directory opens for reading but every read fails.
    sktest::make_dirs(dir / "adir");
    EXPECT_EQ(nukelog_load(&list, (dir / "adir").c_str()), 0);
    EXPECT_EQ(sortedlist_count(&list), 0);
}

TEST_F(NukeLog, TrailingPartialRecordIsIgnored) {
    Rec a, b, c;
    a.nukee = "a";
    b.nukee = "b";
    c.nukee = "c";
    std::string partial = bytes(Rec{}).substr(0, 391);
    ASSERT_EQ(load(log_of({a, b, c}) + partial), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(nukees_of(rels[0]).size(), 3u);
}

TEST_F(NukeLog, ConsecutiveRecordsOfOneNukeFormOneReleaseWithTotal) {
    Rec a, b, c;
    a.amount = 10.25f, b.amount = 20.5f, c.amount = 5.0f;
    a.time = 100, b.time = 200, c.time = 50;
    a.nukee = "u1", b.nukee = "u2", c.nukee = "u1"; // equal names are not merged
    ASSERT_EQ(load(log_of({a, b, c})), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(rels[0]->total, 35.75f);
    EXPECT_EQ(rels[0]->time, 100);
    auto ns = nukees_of(rels[0]);
    ASSERT_EQ(ns.size(), 3u);
    EXPECT_STREQ(ns[0]->name, "u1");
    EXPECT_STREQ(ns[1]->name, "u2");
    EXPECT_STREQ(ns[2]->name, "u1");
}

TEST_F(NukeLog, UnnukeAfterNukeIsASecondReleaseShowingTheUnnuker) {
    Rec nuke, unnuke;
    unnuke.status = 1;
    unnuke.unnuker = "fixer";
    ASSERT_EQ(load(log_of({nuke, unnuke})), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 2u);
    EXPECT_STREQ(rels[0]->shown_name, "user1");
    EXPECT_STREQ(rels[1]->shown_name, "fixer");
    EXPECT_EQ(rels[1]->status, 1);
}

TEST_F(NukeLog, GroupingComparesOnlyTheReleaseFields) {
    struct Case {
        const char *what;
        void (*change)(Rec &);
        bool same;
    };
    const Case cases[] = {
        {"time", [](Rec &r) { r.time += 99; }, true},
        {"nukee", [](Rec &r) { r.nukee = "other"; }, true},
        {"amount", [](Rec &r) { r.amount = 77; }, true},
        {"unnuker", [](Rec &r) { r.unnuker = "other"; }, true},
        {"status", [](Rec &r) { r.status = 2; }, false},
        {"dirname", [](Rec &r) { r.dirname += "2"; }, false},
        {"multiplier", [](Rec &r) { r.multiplier = 4; }, false},
        {"nuker", [](Rec &r) { r.nuker = "other"; }, false},
        {"reason", [](Rec &r) { r.reason = "dupe"; }, false},
    };
    for (const auto &c : cases) {
        for (uint16_t status : {0, 1}) {
            Rec a;
            a.status = status;
            Rec b = a;
            c.change(b);
            auto ra = bytes(a), rb = bytes(b);
            nukelog_record x, y;
            std::memcpy(&x, ra.data(), 392);
            std::memcpy(&y, rb.data(), 392);
            EXPECT_EQ(_nukelog_same_release(&x, &y), c.same ? 1 : 0) << c.what << " status " << status;
        }
    }
}

TEST_F(NukeLog, OnlyConsecutiveRecordsAreGrouped) {
    Rec a, other;
    other.dirname = "/site/other";
    ASSERT_EQ(load(log_of({a, other, a})), 1);
    EXPECT_EQ(releases_of(list).size(), 3u);
}

TEST_F(NukeLog, UnterminatedTextFieldsAreCutAtTheirWidths) {
    Rec r;
    r.filler = 'Z'; // no NUL anywhere after a field's text
    r.nuker = std::string(12, 'n');
    r.unnuker = std::string(12, 'u');
    r.nukee = std::string(12, 'k');
    r.reason = std::string(60, 'r');
    r.dirname = "/" + std::string(254, 'd');
    r.status = 0;
    Rec second = r;
    second.nukee = std::string(12, 'm');
    second.time = 7; // differs only in fields not compared
    Rec unnuke = r;
    unnuke.status = 1;
    ASSERT_EQ(load(log_of({r, second, unnuke})), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 2u) << "a full-width reason is compared on its 60 bytes";
    EXPECT_EQ(std::string(rels[0]->shown_name), std::string(12, 'n'));
    EXPECT_EQ(std::string(rels[0]->reason), std::string(60, 'r'));
    EXPECT_EQ(std::string(rels[0]->dirname), r.dirname);
    EXPECT_EQ(std::string(rels[1]->shown_name), std::string(12, 'u'));
    auto ns = nukees_of(rels[0]);
    ASSERT_EQ(ns.size(), 2u);
    EXPECT_EQ(std::string(ns[0]->name), std::string(12, 'k'));
    EXPECT_EQ(std::string(ns[1]->name), std::string(12, 'm'));
}

TEST_F(NukeLog, PrintsOneLineWithRoundedAmounts) {
    Rec a, b;
    a.amount = 120.4f, a.nukee = "user2";
    b.amount = 35.0f, b.nukee = "user3";
    ASSERT_EQ(load(log_of({a, b})), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(printed(rels[0]), "/site/rel [x3 user1 bad.sfv] (user2 120) (user3 35)\n");
}

TEST_F(NukeLog, PrintsHalvesNanAndInfinityAsThePlatformRoundsThem) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Rec> recs(5);
    const float amounts[] = {2.5f, 3.5f, std::numeric_limits<float>::quiet_NaN(), inf, -inf};
    const char *names[] = {"a", "b", "c", "d", "e"};
    for (int i = 0; i < 5; ++i)
        recs[i].amount = amounts[i], recs[i].nukee = names[i];
    recs[0].reason = "100%s%n"; // format characters in texts are printed as they are
    for (auto &r : recs)
        r.reason = recs[0].reason;
    ASSERT_EQ(load(log_of(recs)), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 1u);
    EXPECT_EQ(printed(rels[0]), "/site/rel [x3 user1 100%s%n] (a 2) (b 4) (c nan) (d inf) (e -inf)\n");
    EXPECT_TRUE(std::isnan(rels[0]->total));
    auto ns = nukees_of(rels[0]);
    EXPECT_TRUE(std::isnan(ns[2]->amount));
    EXPECT_EQ(ns[3]->amount, inf);
}

TEST_F(NukeLog, ReleaseWithoutNukeesPrintsOnlyItsHead) {
    nukelog_record r{};
    std::strcpy(r.dirname, "/d");
    std::strcpy(r.nuker, "n");
    r.multiplier = 1;
    nukelog_release *rel = _nukelog_add_release(&list, &r);
    ASSERT_NE(rel, nullptr);
    EXPECT_EQ(rel->total, 0.0f);
    EXPECT_EQ(printed(rel), "/d [x1 n ]\n");
}

TEST_F(NukeLog, SortByAgeComparesTimesAsSigned64Bit) {
    nukelog_release a{}, b{};
    const int64_t pairs[][2] = {{5, 5}, {1, 2}, {-1, 1}, {INT64_MIN, INT64_MAX}, {1LL << 40, 1}};
    for (const auto &p : pairs) {
        a.time = p[0], b.time = p[1];
        int expected = p[0] > p[1] ? 1 : (p[0] < p[1] ? -1 : 0);
        EXPECT_EQ(_nukelog_sort_by_age(&a, &b), expected) << p[0] << " vs " << p[1];
        EXPECT_EQ(_nukelog_sort_by_age(&b, &a), -expected);
    }
}

TEST_F(NukeLog, ThousandsOfReleasesComeBackOldestFirstUnderTheAgeOrdering) {
    sortedlist_set_compare(&list, _nukelog_sort_by_age);
    // 5000 releases of 1 to 4 nukees, written newest first; every fifth pair
    // shares a time, so equal times must keep file order.
    std::vector<Rec> recs;
    int nukees = 0;
    for (int i = 0; i < 5000; ++i) {
        Rec r;
        r.dirname = "/site/rel" + std::to_string(i);
        r.time = 100000 - (i / 2) * 10;
        for (int k = 0; k <= i % 4; ++k, ++nukees) {
            r.nukee = "u" + std::to_string(k);
            r.amount = static_cast<float>(k);
            recs.push_back(r);
        }
    }
    ASSERT_EQ(load(log_of(recs)), 1);
    auto rels = releases_of(list);
    ASSERT_EQ(rels.size(), 5000u);
    int seen = 0;
    for (std::size_t i = 0; i < rels.size(); ++i) {
        seen += static_cast<int>(nukees_of(rels[i]).size());
        if (i > 0) {
            ASSERT_LE(rels[i - 1]->time, rels[i]->time);
        }
    }
    EXPECT_EQ(seen, nukees);
    // The newest pair: rel0 and rel1 share the time and stay in file order.
    EXPECT_STREQ(rels[4998]->dirname, "/site/rel0");
    EXPECT_STREQ(rels[4999]->dirname, "/site/rel1");
    EXPECT_STREQ(rels[0]->dirname, "/site/rel4998");
    EXPECT_EQ(rels[4999]->total, 0.0f + 1.0f);
}

} // namespace
