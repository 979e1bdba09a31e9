// sitekit stats: the statistics, credits and ratio lines of a userfile,
// through the statfile library.
#include "commands.h"
#include "internal.h"
#include "statfile.h"
#include "stats_top.h"

#include <cerrno>
#include <climits>
#include <limits>
#include <cstring>
#include <vector>

#include <unistd.h>

namespace sk::cli {

namespace {

constexpr std::string_view kStatsUsage =
    "usage: sitekit stats add [--section N] [--credits KB] [--credit-section N] [--json]\n"
    "                         USERFILE FILES KBYTES SECONDS\n"
    "       sitekit stats reset [--json] USERFILE KEYWORD...\n"
    "       sitekit stats ratio [--json] USERFILE SECTION\n"
    "       sitekit stats top [up|down] [--period all|month|week|day] [--section N]\n"
    "                         [--by files|bytes|time] [--limit N] [--group NAME] [--json]\n";
constexpr std::string_view kStatsHelp =
    "\n"
    "USERFILE is a path, or a user name: /ftp-data/users/NAME below the site root.\n"
    "add:   adds FILES, KBYTES and SECONDS (negative values subtract) to section N\n"
    "       (default 0) of every statistics line (ALLUP, WKUP, DAYUP, MONTHUP), and\n"
    "       KB credits to section --credit-section (default: N) of the CREDITS line.\n"
    "reset: sets every section of the lines whose keyword is named (e.g. WKUP)\n"
    "       to 0 0 0 and prints each line's old values.\n"
    "ratio: prints the RATIO value of SECTION (0 means leech).\n"
    "top:   ranks the users of /ftp-data/users by section N (default 0) of their\n"
    "       ALLUP line (--period month, week, day: MONTHUP, WKUP, DAYUP; 'down':\n"
    "       ALLDN, MONTHDN, WKDN, DAYDN), most bytes first (--by files or time),\n"
    "       the top 10 (--limit N), members of the group NAME only (--group, from\n"
    "       the passwd and group files). One line per user: rank, name, group,\n"
    "       files, amount and average speed (KiB, MiB, GiB). Users with nothing in\n"
    "       the section are left out; a userfile that cannot be read or parsed is\n"
    "       named on standard error and the others still ranked. Exit status 1\n"
    "       when no user has anything to rank.\n"
    "The userfile is rewritten through a copy; it is unchanged after a failure,\n"
    "and it is not written at all when no line changes.\n";
constexpr Option kStatsOptions[] = {{"--json", false},          {"--section", true}, {"--credits", true},
                                    {"--credit-section", true}, {"--period", true},  {"--by", true},
                                    {"--limit", true},          {"--group", true}};

std::string userfile_path(const std::string &arg) {
    if (arg.find('/') != std::string::npos)
        return arg;
    return site_path("/ftp-data/users/" + arg);
}

template <class T> std::optional<T> number_in_range(std::string_view text) {
    auto v = parse_int(text);
    if (!v || *v < std::numeric_limits<T>::min() || *v > std::numeric_limits<T>::max())
        return std::nullopt;
    return static_cast<T>(*v);
}

int need_number(Invocation &inv, std::string_view what, const std::string &text) {
    return usage_error(inv, std::string(what) + " must be a whole number, not '" + text + "'", kStatsUsage);
}

// A userfile that cannot be read is a lookup that found nothing.
bool readable(Invocation &inv, const std::string &path) {
    if (access(path.c_str(), R_OK) == 0)
        return true;
    fail(inv, kRefused, "cannot read the userfile " + path + ": " + std::strerror(errno));
    return false;
}

int stats_add(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 5, 5, kStatsUsage))
        return kUsage;
    auto files = number_in_range<int>(p.operands[2]);
    if (!files)
        return need_number(inv, "FILES", p.operands[2]);
    auto kbytes = number_in_range<int64_t>(p.operands[3]);
    if (!kbytes)
        return need_number(inv, "KBYTES", p.operands[3]);
    auto seconds = number_in_range<int>(p.operands[4]);
    if (!seconds)
        return need_number(inv, "SECONDS", p.operands[4]);
    int section = 0;
    if (auto v = p.value("--section")) {
        auto n = number_in_range<int>(*v);
        if (!n || *n < 0)
            return usage_error(inv, "--section must be a section number from 0, not '" + *v + "'",
                               kStatsUsage);
        section = *n;
    }
    int credit_section = section;
    if (auto v = p.value("--credit-section")) {
        auto n = number_in_range<int>(*v);
        if (!n || *n < 0)
            return usage_error(inv, "--credit-section must be a section number from 0, not '" + *v + "'",
                               kStatsUsage);
        credit_section = *n;
    }
    int64_t credits = 0;
    if (auto v = p.value("--credits")) {
        auto n = number_in_range<int64_t>(*v);
        if (!n)
            return need_number(inv, "--credits", *v);
        credits = *n;
    }
    std::string path = userfile_path(p.operands[1]);
    if (!readable(inv, path))
        return kRefused;
    int lines = statfile_add_stats(path.c_str(), *files, *kbytes, *seconds, credits, section,
                                   credits != 0 ? credit_section : -1);
    if (lines < 0)
        return fail(inv, kRefused, "cannot rewrite " + path + " (is its folder writable?); it is unchanged");
    if (want_json(inv, p))
        std::printf("%s\n", JsonObject().str("userfile", path).num("lines", lines).text().c_str());
    else
        std::printf("%s: %d lines updated\n", path.c_str(), lines);
    return kOk;
}

// The old values of the lines a reset changes, collected by the callback.
std::vector<std::string> *reset_lines = nullptr;

void collect_old_values(gl_stats *stats) {
    if (reset_lines == nullptr || stats == nullptr)
        return;
    malloc_ptr<char> text(_gl_tostring_stats(stats));
    if (text)
        reset_lines->emplace_back(text.get());
}

int stats_reset(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 3, SIZE_MAX, kStatsUsage))
        return kUsage;
    std::string path = userfile_path(p.operands[1]);
    if (!readable(inv, path))
        return kRefused;
    str_list *keywords = nullptr;
    for (size_t i = 2; i < p.operands.size(); ++i)
        keywords = str_add(keywords, p.operands[i].c_str());
    std::vector<std::string> old;
    reset_lines = &old;
    int lines = statfile_set_stats(path.c_str(), 0, 0, 0, keywords, collect_old_values);
    reset_lines = nullptr;
    str_close(keywords);
    if (lines < 0)
        return fail(inv, kRefused, "cannot rewrite " + path + " (is its folder writable?); it is unchanged");
    if (want_json(inv, p)) {
        std::vector<std::string> items;
        items.reserve(old.size());
        for (const auto &line : old)
            items.push_back(json_string(line));
        std::printf("%s\n", JsonObject()
                                .str("userfile", path)
                                .num("lines", lines)
                                .raw("old",
                                     [&] {
                                         std::string a = "[";
                                         for (size_t i = 0; i < items.size(); ++i)
                                             a += (i ? "," : "") + items[i];
                                         return a + "]";
                                     }())
                                .text()
                                .c_str());
    } else {
        std::printf("%s: %d lines reset\n", path.c_str(), lines);
        for (const auto &line : old)
            std::printf("was: %s\n", line.c_str());
    }
    if (lines == 0)
        return fail(inv, kRefused, "no line of " + path + " begins with the keywords given");
    return kOk;
}

int stats_ratio(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 3, 3, kStatsUsage))
        return kUsage;
    auto section = number_in_range<int>(p.operands[2]);
    if (!section || *section < 0)
        return usage_error(inv, "SECTION must be a section number from 0, not '" + p.operands[2] + "'",
                           kStatsUsage);
    std::string path = userfile_path(p.operands[1]);
    if (!readable(inv, path))
        return kRefused;
    int ratio = statfile_get_ratio(path.c_str(), *section);
    if (ratio < 0)
        return fail(inv, kRefused, path + " has no RATIO value for section " + p.operands[2]);
    if (want_json(inv, p))
        std::printf(
            "%s\n",
            JsonObject().str("userfile", path).num("section", *section).num("ratio", ratio).text().c_str());
    else
        std::printf("%d\n", ratio);
    return kOk;
}

int cmd_stats(Invocation &inv, const Parsed *p) {
    if (p->operands.empty())
        return usage_error(inv, "missing action (add, reset, ratio or top)", kStatsUsage);
    const std::string &action = p->operands[0];
    bool add_options = p->has("--section") || p->has("--credits") || p->has("--credit-section");
    bool top_options = p->has("--period") || p->has("--by") || p->has("--limit") || p->has("--group");
    if (action == "top") {
        if (p->has("--credits") || p->has("--credit-section"))
            return usage_error(inv, "--credits and --credit-section belong to 'add'", kStatsUsage);
        return stats_top(inv, *p, kStatsUsage);
    }
    if (top_options)
        return usage_error(inv, "--period, --by, --limit and --group belong to 'top'", kStatsUsage);
    if (action == "add")
        return stats_add(inv, *p);
    if (action != "reset" && action != "ratio")
        return usage_error(inv, "unknown action '" + action + "'", kStatsUsage);
    if (add_options)
        return usage_error(inv, "--section, --credits and --credit-section belong to 'add'", kStatsUsage);
    return action == "reset" ? stats_reset(inv, *p) : stats_ratio(inv, *p);
}

} // namespace

const Command stats_command{
    .name = "stats",
    .summary = "stats add|reset|ratio USERFILE ... | stats top: userfile statistics, top users",
    .usage = kStatsUsage,
    .help = kStatsHelp,
    .options = kStatsOptions,
    .run = cmd_stats,
};

} // namespace sk::cli
