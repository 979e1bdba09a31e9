#include "whotable.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include <sys/ipc.h>
#include <sys/shm.h>

#include "internal.h"

namespace sk::who {

namespace {

bool parse_number(std::string_view text, unsigned long long &value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string key_text(key_t key) {
    char buf[16];
    (void)std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(key));
    return buf;
}

} // namespace

std::string parse_key(std::string_view text, key_t &key) {
    unsigned long long n = 0;
    // Key 0 is IPC_PRIVATE, which names no existing table.
    if (!parse_number(text, n) || n == 0 || n > 0xFFFFFFFFULL)
        return "bad table key '" + std::string(text) + "' (a number such as 0x0000DEAD)";
    key = static_cast<key_t>(static_cast<uint32_t>(n));
    return "";
}

std::string parse_stride(std::string_view text, std::size_t &stride) {
    unsigned long long n = 0;
    if (!parse_number(text, n) || n < sizeof(who_record) || n % 4 != 0 || n > (1u << 20))
        return "bad slot stride '" + std::string(text) + "': it must be a multiple of 4 and at least " +
               std::to_string(sizeof(who_record));
    stride = static_cast<std::size_t>(n);
    return "";
}

bool read_rootpath(const std::string &path, std::string &root) {
    daemon_config config;
    if (!load_daemon_config(path.c_str(), config) || !config.rootpath || config.rootpath->empty())
        return false;
    root = *config.rootpath;
    return true;
}

table::~table() {
    if (base_)
        shmdt(base_);
}

std::string table::attach(key_t key, std::size_t stride) {
    int id = shmget(key, 0, 0);
    if (id < 0) {
        if (errno == ENOENT)
            return "no online-user table with key " + key_text(key) + " (is the daemon running?)";
        return "cannot open the online-user table " + key_text(key) + ": " + std::strerror(errno);
    }
    shmid_ds info{};
    if (shmctl(id, IPC_STAT, &info) != 0)
        return "cannot look at the online-user table " + key_text(key) + ": " + std::strerror(errno);
    std::size_t size = info.shm_segsz;
    if (size < stride)
        return "the online-user table " + key_text(key) + " holds " + std::to_string(size) +
               " bytes, less than one slot (" + std::to_string(stride) + " bytes); check -s";
    void *base = shmat(id, nullptr, SHM_RDONLY);
    if (base == reinterpret_cast<void *>(-1))
        return "cannot attach the online-user table " + key_text(key) + ": " + std::strerror(errno);
    if (base_)
        shmdt(base_);
    base_ = static_cast<char *>(base);
    stride_ = stride;
    slots_ = size / stride;
    return "";
}

void put_age(int64_t start, int64_t now, char *out, std::size_t size) noexcept {
    if (start >= now) {
        (void)std::snprintf(out, size, "0m 0s");
        return;
    }
    // Both come from 32-bit fields, so the difference fits; the unsigned
    // subtraction keeps stray values defined.
    auto d = static_cast<uint64_t>(now) - static_cast<uint64_t>(start);
    auto days = static_cast<unsigned long long>(d / 86400);
    auto hours = static_cast<unsigned>(d % 86400 / 3600);
    auto minutes = static_cast<unsigned>(d % 3600 / 60);
    auto seconds = static_cast<unsigned>(d % 60);
    if (days != 0)
        (void)std::snprintf(out, size, "%llud %uh", days, hours);
    else if (hours != 0)
        (void)std::snprintf(out, size, "%uh %um", hours, minutes);
    else
        (void)std::snprintf(out, size, "%um %us", minutes, seconds);
}

std::string printable(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7f)
            c = '?';
    }
    return out;
}

std::string_view action_text(const who_record &who) noexcept {
    std::string_view text = field_view(who.status_text, sizeof who.status_text);
    return text.substr(0, text.find_first_of("\r\n"));
}

} // namespace sk::who
