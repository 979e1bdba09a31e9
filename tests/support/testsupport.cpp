#include "testsupport.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "siteroot.h"

namespace fs = std::filesystem;

namespace sktest {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sitekit-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; open them up so the tree goes.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

std::string TempDir::operator/(std::string_view rel) const {
    return path_ + "/" + std::string(rel);
}

SiteRoot::SiteRoot() {
    sitekit_set_root(path().c_str());
}

SiteRoot::~SiteRoot() {
    sitekit_set_root(nullptr);
}

std::string SiteRoot::mkdirs(std::string_view rel) const {
    std::string p = *this / rel;
    make_dirs(p);
    return p;
}

void make_dirs(const std::string &path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        ADD_FAILURE() << "cannot create " << path << ": " << ec.message();
}

void write_file(const std::string &path, std::string_view bytes) {
    fs::path p(path);
    if (p.has_parent_path())
        make_dirs(p.parent_path().string());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

RunResult run_command(const std::string &command_line) {
    TempDir tmp;
    std::string out = tmp / "out", err = tmp / "err";
    std::string full = "( " + command_line + " ) >'" + out + "' 2>'" + err + "'";
    int raw = std::system(full.c_str());
    RunResult r;
    if (raw == -1)
        r.status = -1;
    else if (WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    else
        r.status = 128 + WTERMSIG(raw);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
}

std::string build_path(std::string_view rel) {
    const char *dir = std::getenv("SITEKIT_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + std::string(rel);
}

int run_unprivileged(const std::function<int()> &body) {
    if (geteuid() != 0)
        return body();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        gid_t none = 65534;
        if (setgroups(1, &none) != 0 || setgid(none) != 0 || setuid(65534) != 0)
            _exit(255);
        _exit(body() & 0xff);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

unsigned permission_bits(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        ADD_FAILURE() << "cannot examine " << path << ": " << std::strerror(errno);
        return ~0u;
    }
    return st.st_mode & 07777;
}

std::string quote(const std::string &word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string python_crc32(const std::string &path) {
    RunResult r = run_command("python3 -c 'import sys, zlib; "
                              "print(\"%08X\" % zlib.crc32(open(sys.argv[1], \"rb\").read()), end=\"\")' " +
                              quote(path));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string snapshot(const std::string &dir) {
    std::vector<std::string> entries;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_regular_file())
            entries.push_back(rel + "\n" + read_file(e.path().string()));
        else
            entries.push_back(rel + "/");
    }
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const auto &s : entries)
        out += s + "\n--\n";
    return out;
}

bool limit_file_size(long max_bytes) {
    (void)std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim {
        static_cast<rlim_t>(max_bytes), static_cast<rlim_t>(max_bytes)
    };
    return setrlimit(RLIMIT_FSIZE, &lim) == 0;
}

int run_with_file_limit(long max_bytes, const std::function<int()> &body, const std::string &out_path) {
    (void)std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        if (!out_path.empty()) {
            int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
        }
        if (!limit_file_size(max_bytes))
            _exit(125);
        int rc = body();
        (void)std::fflush(stdout);
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace sktest
