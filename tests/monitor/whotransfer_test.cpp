#include "whotransfer.h"

#include <cstddef>
#include <cstring>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

namespace {

who_record make(const char *status, const char *cwd = "/site/dir", int32_t pid = 4242) {
    who_record w;
    std::memset(&w, 0, sizeof w);
    std::strncpy(w.status_text, status, sizeof w.status_text - 1);
    std::strncpy(w.current_dir, cwd, sizeof w.current_dir - 1);
    w.pid = pid;
    return w;
}

// The layout the who-transfer layer relies on, checked byte by byte with the
// offsets written out here rather than taken from the record.
TEST(WhoRecord, FieldsSitAtTheDaemonsOffsets) {
    unsigned char raw[904] = {};
    auto put32 = [&](std::size_t at, uint32_t v) { std::memcpy(raw + at, &v, 4); };
    std::memcpy(raw + 0, "tagline", 8);
    std::memcpy(raw + 64, "someone", 8);
    std::memcpy(raw + 88, "RETR a.bin", 11);
    std::memcpy(raw + 346, "host.example", 13);
    std::memcpy(raw + 602, "/site/x", 8);
    put32(860, 300);
    put32(864, 1000);
    put32(868, 2000);
    put32(872, 3000);
    put32(876, 500000);
    uint64_t bytes = 0x123456789ULL;
    std::memcpy(raw + 884, &bytes, 8);
    put32(900, 777);

    EXPECT_EQ(sizeof(who_record), 904u);
    who_record w;
    std::memcpy(&w, raw, sizeof w);
    EXPECT_STREQ(w.user_info, "tagline");
    EXPECT_STREQ(w.user_name, "someone");
    EXPECT_STREQ(w.status_text, "RETR a.bin");
    EXPECT_STREQ(w.host, "host.example");
    EXPECT_STREQ(w.current_dir, "/site/x");
    EXPECT_EQ(w.group_id, 300);
    EXPECT_EQ(w.online_since, 1000);
    EXPECT_EQ(w.status_time, 2000);
    EXPECT_EQ(w.transfer_start_sec, 3000);
    EXPECT_EQ(w.transfer_start_usec, 500000);
    EXPECT_EQ(w.transfer_bytes, bytes);
    EXPECT_EQ(w.pid, 777);
}

TEST(WhoTransfer, DirectionComesFromTheCommand) {
    struct Case {
        const char *status;
        int32_t direction;
    } cases[] = {
        {"STOR file.rar", WHO_TRANSFER_UPLOAD},
        {"stor file.rar", WHO_TRANSFER_UPLOAD},
        {"APPE file.rar", WHO_TRANSFER_UPLOAD},
        {"RETR file.rar", WHO_TRANSFER_DOWNLOAD},
        {"Retr  two spaces.rar\r\n", WHO_TRANSFER_DOWNLOAD},
        {"RETR", WHO_TRANSFER_NONE},         // no file name
        {"RETR   ", WHO_TRANSFER_NONE},      // only blanks
        {"RETR\r\nfile", WHO_TRANSFER_NONE}, // the name must be on the command's line
        {"LIST -al", WHO_TRANSFER_NONE},
        {"STORE file", WHO_TRANSFER_NONE},
        {"", WHO_TRANSFER_NONE},
        {"IDLE", WHO_TRANSFER_NONE},
    };
    for (const Case &c : cases) {
        who_record w = make(c.status);
        EXPECT_EQ(who_transfer_direction(&w), c.direction) << c.status;
    }
    who_record empty = make("STOR file.rar", "/", 0);
    EXPECT_EQ(who_transfer_direction(&empty), WHO_TRANSFER_NONE);
    EXPECT_EQ(who_transfer_direction(nullptr), WHO_TRANSFER_NONE);
}

TEST(WhoTransfer, FileJoinsRelativeNamesToTheCurrentDirectory) {
    struct Case {
        const char *status, *cwd, *path;
    } cases[] = {
        {"STOR a.rar", "/site/rel", "/site/rel/a.rar"},
        {"STOR a.rar", "/site/rel/", "/site/rel/a.rar"},
        {"RETR /other/b.rar\r\n", "/site/rel", "/other/b.rar"},
        {"RETR name with 100% spaces", "/", "/name with 100% spaces"},
        {"RETR sub/c.nfo", "", "/sub/c.nfo"},
    };
    for (const Case &c : cases) {
        who_record w = make(c.status, c.cwd);
        char out[300];
        EXPECT_EQ(who_transfer_file(&w, out), 1);
        EXPECT_STREQ(out, c.path);
    }
    who_record idle = make("IDLE");
    char out[300] = "junk";
    EXPECT_EQ(who_transfer_file(&idle, out), 0);
    EXPECT_STREQ(out, "");
}

TEST(WhoTransfer, LongPathIsCutTo299Bytes) {
    who_record w = make("", "");
    std::string name(250, 'n');
    std::string status = "STOR " + name;
    std::memcpy(w.status_text, status.data(), status.size());
    std::memset(w.current_dir, 'd', sizeof w.current_dir); // no NUL in the field at all
    char out[300 + 16];
    std::memset(out, 'X', sizeof out);
    ASSERT_EQ(who_transfer_file(&w, out), 1);
    EXPECT_EQ(std::strlen(out), 299u);
    EXPECT_EQ(out[300], 'X'); // nothing written past the buffer
    EXPECT_EQ(std::string(out, 256), std::string(256, 'd'));
}

TEST(WhoTransfer, SpeedIsBytesOverTimeSinceTheStart) {
    who_record w = make("STOR big.rar");
    w.transfer_start_sec = static_cast<int32_t>(std::time(nullptr) - 10);
    w.transfer_bytes = 10ULL * 1024 * 200; // 200 kB/s for 10 s
    double speed = who_transfer_speed(&w);
    EXPECT_GT(speed, 200.0 * 10 / 12);
    EXPECT_LE(speed, 200.0 * 10 / 9.9);

    w.transfer_start_sec = static_cast<int32_t>(std::time(nullptr) + 5); // clock went back
    EXPECT_DOUBLE_EQ(who_transfer_speed(&w), 2000.0);                    // counted as one second

    w.transfer_start_sec = 0;
    EXPECT_DOUBLE_EQ(who_transfer_speed(&w), 0.0);
    who_record idle = make("IDLE");
    idle.transfer_start_sec = 1;
    idle.transfer_bytes = 1 << 20;
    EXPECT_DOUBLE_EQ(who_transfer_speed(&idle), 0.0);
}

} // namespace
