// The text site log and the users' message files.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

namespace {

using sk::sitelogs::kMsgDir;
using sk::sitelogs::kSiteLog;
constexpr std::size_t kAnnounceMax = 1023; // the announcement buffer of 1024 bytes
constexpr std::size_t kNameMax = 255;      // longest file name the file system takes
constexpr std::string_view kRule =
    "--------------------------------------------------------------------------";
static_assert(kRule.size() == 74);

// The line gl_gllog_announce logs: the text in double quotes unless it
// begins with one.
std::string announcement(std::string_view event, std::string_view text) {
    std::string line(event);
    if (text.starts_with('"'))
        line.append(": ").append(text);
    else
        line.append(": \"").append(text).append("\"");
    return line;
}

} // namespace

namespace sk::sitelogs {

// A recipient must name one file inside the message folder.
bool is_message_name(std::string_view to) noexcept {
    return !to.empty() && to.size() <= kNameMax && to != "." && to != ".." &&
           to.find('/') == std::string_view::npos;
}

bool announcement_fits(std::string_view event, std::string_view text) noexcept {
    // The quotes are added unless the text brings its own opening one.
    std::size_t quotes = text.starts_with('"') ? 0 : 2;
    return event.size() + 2 + text.size() + quotes <= kAnnounceMax;
}

std::string gllog_time(std::time_t when) {
    struct tm local;
    if (!localtime_r(&when, &local))
        return {};
    char buf[300];
    std::size_t n = std::strftime(buf, sizeof buf, "%a %b %d %T %Y", &local);
    return std::string(buf, n);
}

void cut_failed_append(int fd, off_t start) noexcept {
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    struct stat st;
    if (end > start && fstat(fd, &st) == 0 && st.st_size == end)
        (void)::ftruncate(fd, start);
}

bool append_to_file(const std::string &path, std::string_view bytes) noexcept {
    // A FIFO or device in the log's place is refused, not waited on.
    regular_file file = open_regular(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (!file)
        return false;
    // One write call, so that the line or record lands whole at the end.
    int fd = file.fd.get();
    std::size_t written = 0;
    bool ok = write_all(fd, bytes.data(), bytes.size(), written);
    int error = errno;
    if (!ok && written > 0) {
        off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end >= static_cast<off_t>(written))
            cut_failed_append(fd, end - static_cast<off_t>(written));
    }
    bool closed = file.fd.close();
    if (!ok)
        errno = error; // the write's reason, not the close's
    return closed && ok;
}

} // namespace sk::sitelogs

extern "C" int gl_gllog_add_alt(const char *text, const char *path) {
    if (!text || !path)
        return 0;
    try {
        std::string line = sk::sitelogs::gllog_time(std::time(nullptr));
        if (line.empty())
            return 0;
        line.append(" ").append(text).append("\n");
        return sk::sitelogs::append_to_file(sk::site_path(path), line) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" int gl_gllog_add(const char *text) {
    return gl_gllog_add_alt(text, kSiteLog);
}

extern "C" int gl_gllog_announce(const char *event, const char *text) {
    if (!event || !text)
        return 0;
    // Too long an announcement is refused whole: a cut one would lose its
    // closing quote and mislead whatever reads the log.
    if (!sk::sitelogs::announcement_fits(event, text))
        return 0;
    try {
        return gl_gllog_add(announcement(event, text).c_str());
    } catch (...) {
        return 0;
    }
}

extern "C" int gl_site_msg(const char *from, const char *to, const char *text) {
    if (!from || !to || !text || !sk::sitelogs::is_message_name(to))
        return 0;
    try {
        std::time_t now = std::time(nullptr);
        char when[64];
        if (!ctime_r(&now, when))
            return 0;
        when[std::strcspn(when, "\n")] = '\0';
        std::string message = "From: ";
        message.append(from).append(" (").append(when).append(")").append(kRule).append(text);
        std::string path = sk::site_path(kMsgDir);
        path.append(to);
        return sk::sitelogs::append_to_file(path, message) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
