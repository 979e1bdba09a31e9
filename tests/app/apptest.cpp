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

namespace {

template <class T> void put(std::string &r, std::size_t at, T value) {
    for (std::size_t i = 0; i < sizeof value; ++i)
        r[at + i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xff);
}

} // namespace

std::string dirlog_bytes(const std::string &dirname, int32_t time, uint16_t uid, uint16_t files,
                         uint64_t bytes) {
    std::string r(288, '\0');
    put(r, 4, static_cast<uint32_t>(time));
    put(r, 8, uid);
    put(r, 12, files);
    put(r, 16, bytes);
    r.replace(24, dirname.size(), dirname);
    return r;
}

std::string nukelog_bytes(uint16_t status, int64_t time, const std::string &nuker, uint16_t multiplier,
                          const std::string &reason, const std::string &dirname) {
    std::string r(392, '\0');
    put(r, 0, status);
    put(r, 8, static_cast<uint64_t>(time));
    r.replace(16, nuker.size(), nuker);
    r.replace(28, nuker.size(), nuker);
    r.replace(40, 5, "nukee");
    put(r, 52, multiplier);
    r.replace(60, reason.size(), reason);
    r.replace(120, dirname.size(), dirname);
    return r;
}

sktest::RunResult python_json(const std::string &json, const std::string &check) {
    sktest::TempDir dir;
    sktest::write_file(dir / "doc.json", json);
    return sktest::run_command(
        "python3 -c " + quote("import json,sys\nd=json.load(open(sys.argv[1]))\nassert " + check + ", d") +
        " " + quote(dir / "doc.json"));
}

} // namespace apptest
