#include "apptest.h"

namespace apptest {

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

} // namespace apptest
