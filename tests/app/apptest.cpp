#include "apptest.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace apptest {

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

sktest::RunResult sitekit(const std::vector<std::string> &args, const std::string &env,
                          const std::string &shell) {
    std::string line = shell + " env -i PATH=\"$PATH\" HOME=\"$HOME\" " + env + " " +
                       quote(sktest::build_path("src/app/sitekit"));
    for (const std::string &a : args)
        line += " " + quote(a);
    return sktest::run_command(line);
}

sktest::RunResult on_site(const sktest::SiteRoot &site, const std::vector<std::string> &args,
                          const std::string &env, const std::string &shell) {
    std::vector<std::string> all = {"--root", site.path()};
    all.insert(all.end(), args.begin(), args.end());
    return sitekit(all, env, shell);
}

std::string watchdog(int seconds, const std::string &env) {
    // env runs what follows its settings: here timeout, which runs sitekit.
    return env + " timeout -k 5 " + std::to_string(seconds);
}

std::string snapshot(const std::string &dir) {
    std::vector<std::string> entries;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_regular_file())
            entries.push_back(rel + "\n" + sktest::read_file(e.path().string()));
        else
            entries.push_back(rel + "/");
    }
    std::sort(entries.begin(), entries.end());
    std::string out;
    for (const auto &s : entries)
        out += s + "\n--\n";
    return out;
}

} // namespace apptest
