#include "checks_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testsupport.h"

namespace checks {

namespace {

std::string unhex(const std::string &hex) {
    if (hex == "-")
        return {};
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace

std::string ziptool(const std::string &args) {
    auto r =
        sktest::run_command("python3 " + quote(std::string(CHECKS_TEST_DIR) + "/ziptool.py") + " " + args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    return r.out;
}

void build_zip(const std::string &out, const std::string &layout_json) {
    std::string layout = out + ".json";
    sktest::write_file(layout, layout_json);
    ziptool("build " + quote(out) + " " + quote(layout));
    ::unlink(layout.c_str());
}

Archive read_zip(const std::string &path) {
    Archive a;
    std::istringstream in(ziptool("dump " + quote(path)));
    std::string word;
    while (in >> word) {
        if (word == "comment") {
            std::string hex;
            in >> hex;
            a.comment = unhex(hex);
        } else {
            Entry e;
            std::string name, data;
            in >> name >> e.method >> e.date >> data;
            e.name = unhex(name);
            e.data = unhex(data);
            a.entries.push_back(e);
        }
    }
    return a;
}

bool unzip_test_ok(const std::string &path) {
    return sktest::run_command("unzip -tq " + quote(path)).status == 0;
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::string_view(e->d_name) != "." && std::string_view(e->d_name) != "..")
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

pid_t start_child(const std::function<int()> &body) {
    (void)std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        _exit(body());
    }
    return pid;
}

int wait_child(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace checks
