#include "fuzzsupport.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "siteroot.h"

namespace fs = std::filesystem;

namespace fuzz {

void fail(const char *format, ...) {
    std::fputs("broken promise: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

std::vector<std::string_view> split(std::string_view input, std::string_view separator,
                                    std::size_t max_parts) {
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < max_parts && !separator.empty()) {
        std::size_t at = input.find(separator);
        if (at == std::string_view::npos)
            break;
        parts.push_back(input.substr(0, at));
        input.remove_prefix(at + separator.size());
    }
    parts.push_back(input);
    parts.resize(max_parts);
    return parts;
}

namespace {

std::string make_root() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sitekit-fuzz-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        fail("cannot create a temporary site root %s: %s", tmpl.c_str(), std::strerror(errno));
    std::string root = buf.data();
    if (sitekit_set_root(root.c_str()) != 0)
        fail("cannot set the site root %s", root.c_str());
    return root;
}

void remove_root() {
    std::error_code ec;
    fs::remove_all(site_root(), ec);
}

} // namespace

const std::string &site_root() {
    // Never destroyed: the exit handler that removes it runs after the
    // destructors of static objects.
    static const std::string *root = [] {
        auto *r = new std::string(make_root());
        std::atexit(remove_root);
        return r;
    }();
    return *root;
}

std::string root_path(std::string_view rel) {
    return site_root() + "/" + std::string(rel);
}

std::string fresh_dir(std::string_view rel) {
    std::string path = root_path(rel);
    std::error_code ec;
    fs::remove_all(path, ec);
    fs::create_directories(path, ec);
    if (ec)
        fail("cannot create %s: %s", path.c_str(), ec.message().c_str());
    return path;
}

void write_file(const std::string &path, std::string_view bytes) {
    fs::path p(path);
    std::error_code ec;
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        fail("cannot write %s", path.c_str());
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail("cannot read %s", path.c_str());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

Tree snapshot(const std::string &dir, std::string_view skip) {
    Tree tree;
    std::error_code ec;
    auto it = fs::recursive_directory_iterator(dir, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), dir, ec).string();
        if (!skip.empty() && (rel == skip || rel.starts_with(std::string(skip) + "/"))) {
            if (it->is_directory(ec) && !it->is_symlink(ec))
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink(ec))
            tree[rel] = "-> " + fs::read_symlink(it->path(), ec).string();
        else if (it->is_directory(ec))
            tree[rel + "/"] = "";
        else
            tree[rel] = read_file(it->path().string());
    }
    if (ec)
        fail("cannot list %s: %s", dir.c_str(), ec.message().c_str());
    return tree;
}

void expect_same_tree(const Tree &before, const Tree &after, const char *what) {
    for (const auto &[name, bytes] : after) {
        auto old = before.find(name);
        if (old == before.end())
            fail("%s: %s appeared", what, name.c_str());
        if (old->second != bytes)
            fail("%s: %s changed", what, name.c_str());
    }
    for (const auto &entry : before)
        if (!after.count(entry.first))
            fail("%s: %s went away", what, entry.first.c_str());
}

std::set<std::string> list_dir(const std::string &dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        names.insert(it->path().filename().string());
    if (ec)
        fail("cannot list %s: %s", dir.c_str(), ec.message().c_str());
    return names;
}

void expect_files(const std::string &dir, const std::set<std::string> &names, const char *what) {
    std::set<std::string> found = list_dir(dir);
    for (const auto &n : found)
        if (!names.count(n))
            fail("%s: %s/%s should not be there", what, dir.c_str(), n.c_str());
    for (const auto &n : names)
        if (!found.count(n))
            fail("%s: %s/%s is missing", what, dir.c_str(), n.c_str());
}

void quiet_stdout() {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
}

std::string write_root_file(std::string_view rel, std::string_view bytes) {
    std::string path = root_path(rel);
    write_file(path, bytes);
    return path;
}

void begin_capture() {
    static const bool redirected = std::freopen(root_path("stdout").c_str(), "w+", stdout) != nullptr;
    if (!redirected)
        fail("cannot send standard output to %s", root_path("stdout").c_str());
    std::fflush(stdout);
    if (::ftruncate(fileno(stdout), 0) != 0)
        fail("cannot empty the captured standard output");
    std::rewind(stdout);
}

std::string end_capture() {
    std::fflush(stdout);
    std::string out(static_cast<std::size_t>(std::ftell(stdout)), '\0');
    if (::pread(fileno(stdout), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()))
        fail("cannot read the captured standard output");
    return out;
}

std::vector<std::string> lines_of(std::string_view text, bool cut_at_nul) {
    std::vector<std::string> lines;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = text.find_first_of("\r\n", i);
        std::size_t next;
        if (end == std::string_view::npos)
            end = next = text.size();
        else
            next = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
        std::string_view line = text.substr(i, end - i);
        lines.emplace_back(cut_at_nul ? line.substr(0, line.find('\0')) : line);
        i = next;
    }
    return lines;
}

} // namespace fuzz
