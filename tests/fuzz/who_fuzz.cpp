// Fuzzes the rendering of one slot of the online-user table from a fuzzed
// record (held in a block of exactly its size, so that a read past its
// fields is caught).
//
// The transfer component reads the command of the status text: its
// direction, the path of the file (cut to 299 bytes, terminated) and a
// speed that is a finite number not below 0. The age text and the user-list
// row stay inside their buffers, are terminated and printable, show the
// record's texts made printable, and only occupied slots are counted.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzsupport.h"
#include "watchview.h"
#include "whotransfer.h"

namespace {

template <std::size_t N> std::string_view field(const char (&f)[N]) {
    const void *nul = std::memchr(f, '\0', N);
    return {f, nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - f) : N};
}

std::string printable(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            c = '?';
    return out;
}

// The command's direction and file name, read from the status text.
int direction_of(const who_record &who, std::string &file) {
    std::string_view text = field(who.status_text);
    text = text.substr(0, text.find_first_of("\r\n"));
    const std::size_t space = text.find(' ');
    if (who.pid == 0 || space == std::string_view::npos)
        return WHO_TRANSFER_NONE;
    const std::size_t name = text.find_first_not_of(' ', space);
    if (name == std::string_view::npos)
        return WHO_TRANSFER_NONE;
    std::string command(text.substr(0, space));
    for (char &c : command)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    file = text.substr(name);
    if (command == "STOR" || command == "APPE")
        return WHO_TRANSFER_UPLOAD;
    return command == "RETR" ? WHO_TRANSFER_DOWNLOAD : WHO_TRANSFER_NONE;
}

// A buffer of exactly n bytes, filled with a marker.
std::unique_ptr<char[]> buffer(std::size_t n) {
    auto b = std::make_unique<char[]>(n);
    std::memset(b.get(), 0x7f, n);
    return b;
}

void expect_text(const char *buf, std::size_t size, const char *what) {
    const void *nul = std::memchr(buf, '\0', size);
    if (!nul)
        fuzz::fail("the %s is not terminated inside its buffer", what);
    for (const char *p = buf; p != nul; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || static_cast<unsigned char>(*p) >= 0x7f)
            fuzz::fail("the %s holds a character that is not printable", what);
}

std::string age_of(int64_t start, int64_t now) {
    if (start >= now)
        return "0m 0s";
    const uint64_t d = static_cast<uint64_t>(now) - static_cast<uint64_t>(start);
    char out[64];
    if (d / 86400 != 0)
        std::snprintf(out, sizeof out, "%llud %uh", static_cast<unsigned long long>(d / 86400),
                      static_cast<unsigned>(d % 86400 / 3600));
    else if (d / 3600 != 0)
        std::snprintf(out, sizeof out, "%uh %um", static_cast<unsigned>(d / 3600),
                      static_cast<unsigned>(d % 3600 / 60));
    else
        std::snprintf(out, sizeof out, "%um %us", static_cast<unsigned>(d / 60),
                      static_cast<unsigned>(d % 60));
    return out;
}

// The path of the file in transfer: the name when absolute, else the
// directory, a slash unless it ends in one, and the name; cut to 299 bytes.
std::string transfer_path(const who_record &who, const std::string &file) {
    std::string path;
    if (file[0] != '/') {
        path = field(who.current_dir);
        if (path.empty() || path.back() != '/')
            path += '/';
    }
    return (path + file).substr(0, 299);
}

void check_transfer(const who_record *who, int direction, const std::string &file) {
    if (who_transfer_direction(who) != direction)
        fuzz::fail("who_transfer_direction does not read the status text's command");
    auto path = buffer(300);
    const int32_t got = who_transfer_file(who, path.get());
    if (got != (direction != WHO_TRANSFER_NONE ? 1 : 0))
        fuzz::fail("who_transfer_file's result does not tell whether a transfer runs");
    if (!std::memchr(path.get(), '\0', 300))
        fuzz::fail("the transfer's path is not terminated inside its 300 bytes");
    if ((got ? transfer_path(*who, file) : std::string()) != path.get())
        fuzz::fail("the transfer's path is not the directory and the command's file name");
    const double speed = who_transfer_speed(who);
    if (!std::isfinite(speed) || speed < 0.0 || (direction == WHO_TRANSFER_NONE && speed != 0.0))
        fuzz::fail("the transfer speed is %f", speed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < sizeof(who_record))
        return 0;
    auto block = std::make_unique<unsigned char[]>(sizeof(who_record));
    std::memcpy(block.get(), data, sizeof(who_record));
    auto *who = reinterpret_cast<who_record *>(block.get());
    FuzzedDataProvider in(data + sizeof(who_record), size - sizeof(who_record));
    const int64_t now = in.ConsumeBool() ? in.ConsumeIntegral<int64_t>() : in.ConsumeIntegral<int32_t>();
    const int64_t start = in.ConsumeBool() ? in.ConsumeIntegral<int64_t>() : who->status_time;
    const int32_t number = in.ConsumeIntegral<int32_t>();

    auto age = buffer(WATCHVIEW_AGE_SIZE);
    spy_makeage(start, now, age.get());
    expect_text(age.get(), WATCHVIEW_AGE_SIZE, "age text");
    if (age_of(start, now) != age.get())
        fuzz::fail("the age of %" PRId64 " at %" PRId64 " reads \"%s\"", start, now, age.get());

    std::string file;
    const int direction = direction_of(*who, file);
    check_transfer(who, direction, file);

    spy_node node{number, who, nullptr, nullptr};
    const spy_status before = status;
    auto line = buffer(WATCHVIEW_LINE_SIZE);
    watchview_userlist_render_user(now, &node, line.get());
    expect_text(line.get(), WATCHVIEW_LINE_SIZE, "user-list row");
    const bool online = who->pid != 0;
    if (status.online_count != before.online_count + (online ? 1 : 0) ||
        status.up_count != before.up_count + (direction == WHO_TRANSFER_UPLOAD ? 1 : 0) ||
        status.down_count != before.down_count + (direction == WHO_TRANSFER_DOWNLOAD ? 1 : 0))
        fuzz::fail("the row counted the slot in the wrong totals");
    char head[WATCHVIEW_LINE_SIZE * 2];
    std::string text;
    if (!online) {
        std::snprintf(head, sizeof head, " %3d  %-12.12s %-8.8s ", number, "", "");
    } else {
        std::snprintf(head, sizeof head, " %3d  %-12.12s %-8.8s ", number,
                      printable(field(who->user_name)).c_str(), age_of(who->status_time, now).c_str());
        if (direction == WHO_TRANSFER_NONE) {
            std::string_view status_text = field(who->status_text);
            text = printable(status_text.substr(0, status_text.find_first_of("\r\n")));
        } else {
            const std::string path = transfer_path(*who, file);
            // The row shows the base name of the (cut) path; the byte count
            // and the speed behind it are not compared.
            text = std::string(direction == WHO_TRANSFER_UPLOAD ? "UL: " : "DL: ") +
                   printable(path.substr(path.find('/') == std::string::npos ? 0 : path.rfind('/') + 1)) +
                   " ";
        }
    }
    const std::string want = (head + text).substr(0, WATCHVIEW_LINE_SIZE - 1);
    if (std::string_view(line.get()).substr(0, want.size()) != want)
        fuzz::fail("the row does not show the slot's number, name, age and status text");
    return 0;
}
