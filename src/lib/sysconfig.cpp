// The reader of the daemon's configuration file, shared by every program
// that takes the daemon's root path or data path from it.
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"

namespace {

constexpr std::size_t kLineMax = 4096; // a longer line arrives in pieces
constexpr std::size_t kKeyMax = 63;    // longest key that can match a setting

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The printable characters of text.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (std::isprint(static_cast<unsigned char>(c)))
            out.push_back(c);
    }
    return out;
}

void apply_line(char *line, sk::daemon_config &config) {
    if (char *hash = std::strchr(line, '#'))
        *hash = '\0';
    std::string_view text = sk::trim_spaces(line);
    std::size_t space = text.find(' ');
    std::string key = printable(text.substr(0, space));
    if (key.size() > kKeyMax)
        return;
    std::optional<std::string> *setting = nullptr;
    if (sk::ascii_iequals(key, "datapath"))
        setting = &config.datapath;
    else if (sk::ascii_iequals(key, "rootpath"))
        setting = &config.rootpath;
    if (setting)
        *setting = space == std::string_view::npos ? std::string() : printable(text.substr(space + 1));
}

} // namespace

namespace sk {

char *trim_spaces(char *str) noexcept {
    if (!str)
        return nullptr;
    const char *in = str;
    char *out = str;
    bool wrote = false;
    while (*in) {
        while (*in && is_space(*in))
            ++in;
        if (!*in)
            break;
        if (wrote)
            *out++ = ' ';
        while (*in && !is_space(*in))
            *out++ = *in++;
        wrote = true;
    }
    *out = '\0';
    return str;
}

void read_daemon_config(FILE *file, daemon_config &config) {
    char line[kLineMax];
    while (std::fgets(line, sizeof line, file))
        apply_line(line, config);
}

bool read_daemon_config(unique_fd fd, daemon_config &config) {
    unique_file file = as_file(std::move(fd), "r");
    if (!file)
        return false;
    read_daemon_config(file.get(), config);
    return true;
}

bool load_daemon_config(const char *path, daemon_config &config) {
    if (!path)
        return false;
    regular_file file = open_regular(path, O_RDONLY);
    if (!file)
        return false;
    daemon_config read = config;
    if (!read_daemon_config(std::move(file.fd), read))
        return false;
    config = std::move(read);
    return true;
}

} // namespace sk
