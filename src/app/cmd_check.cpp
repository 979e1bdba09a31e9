// sitekit check: the upload check of the daemon's hook, and sitekit release:
// the release name of a directory. Both over the release check modules.
#include "commands.h"
#include "internal.h"
#include "release.h"
#include "settings.h"
#include "sfvcheck.h"
#include "uploadcheck.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace sk::cli {

namespace {

constexpr std::string_view kCheckUsage = "usage: sitekit check [--config FILE] [--user NAME] FILE DIR [CRC]\n"
                                         "       sitekit check [--config FILE] --deleted FILE DIR\n";
constexpr std::string_view kCheckHelp =
    "\n"
    "The upload check for the daemon's hook, which runs it with the uploaded\n"
    "file's name, its directory and its CRC (hex; 0 or none: computed here).\n"
    "  .sfv  parsed; refused when it is malformed or the release has an SFV\n"
    "        that lists other files; markers NAME-missing are made for the\n"
    "        listed files not there yet, and those there are verified;\n"
    "  a file the release's SFV lists must have the listed CRC (its marker\n"
    "  then goes); one it does not list is refused when it matches\n"
    "  sfv_required. Then, by extension:\n"
    "  .zip  every entry is tested, unwanted entries are left out, chosen\n"
    "        files are extracted into DIR, the advertisement entry and the\n"
    "        archive comment are added, and the rebuilt archive replaces FILE;\n"
    "  .nfo  refused when a file of that name lies in nfo_unwanteddir; else\n"
    "        rewritten without the lines of the clean list, between the\n"
    "        prepend and append texts;\n"
    "  other files are accepted as they are.\n"
    "FILE without a \"/\" lies in DIR. Exit status 0 accepted, 1 refused (the\n"
    "reason on standard output, which the daemon shows the uploader), 2 bad\n"
    "command line or settings.\n"
    "  --config FILE  settings file (default /ftp-data/sitekit/checks.conf\n"
    "                 below the site root)\n"
    "  --user NAME    the uploading user (default: $USER, set by the daemon)\n"
    "  --deleted      FILE was deleted from DIR (the daemon's delete hook or a\n"
    "                 cron job): a listed file gets its marker back and the\n"
    "                 tag is recomputed; when FILE was the SFV, its markers\n"
    "                 and tag go. Exit status 0.\n";
constexpr Option kCheckOptions[] = {{"--config", true}, {"--user", true}, {"--deleted", false}};
constexpr std::string_view kReleaseUsage = "usage: sitekit release [--json] PATH\n";
constexpr Option kReleaseOptions[] = {{"--json", false}};

struct Table {
    Table() { ht_init(&t); }
    ~Table() { ht_finalize(&t); }
    ht_table t;
};

std::string strip_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// Reads the settings into the table. Returns kOk, or kUsage after a message
// when a named file (or a default file that is there) cannot be read.
int read_settings(Invocation &inv, const Parsed &p, ht_table *table) {
    bool named = p.has("--config");
    std::string path = named ? *p.value("--config") : site_path(kDefaultSettings);
    struct stat st {};
    if (!named && stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        std::fprintf(stderr,
                     "sitekit check: no settings file %s; checking with the defaults "
                     "(install share/sitekit/checks.conf.example there)\n",
                     path.c_str());
        return kOk;
    }
    SettingsResult r = load_settings(path, table);
    if (!r.opened)
        return usage_error(inv, "cannot read the settings file " + path + ": " + r.open_error, kCheckUsage);
    for (const std::string &w : r.warnings)
        std::fprintf(stderr, "sitekit check: %s: %s (line left out)\n", path.c_str(), w.c_str());
    return kOk;
}

// sitekit check --deleted FILE DIR: the release's markers and tag after
// FILE was deleted; FILE need not exist, and no user is needed.
int check_deleted(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 2, 2, kCheckUsage))
        return kUsage;
    std::string dir = strip_slashes(p->operands[1]);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage_error(inv, "the directory " + dir + " does not exist", kCheckUsage);
    Table table;
    if (int rc = read_settings(inv, *p, &table.t); rc != kOk)
        return rc;
    const char *env_user = std::getenv("USER");
    if (std::string user = p->value("--user").value_or(env_user ? env_user : ""); !user.empty())
        ht_put(&table.t, "user", user.c_str());
    std::string file = p->operands[0];
    ht_put(&table.t, "path", (file.find('/') == std::string::npos ? dir + "/" + file : file).c_str());
    return sfv_deleted(&table.t, file.c_str(), dir.c_str()) ? kOk : kRefused;
}

int cmd_check(Invocation &inv, const Parsed *p) {
    if (p->has("--deleted"))
        return check_deleted(inv, p);
    if (!want_operands(*p, inv, 2, 3, kCheckUsage))
        return kUsage;
    std::string dir = strip_slashes(p->operands[1]);
    std::string file = p->operands[0];
    std::string path = file.find('/') == std::string::npos ? dir + "/" + file : file;

    const char *env_user = std::getenv("USER");
    std::string user = p->value("--user").value_or(env_user ? env_user : "");
    if (user.empty())
        return usage_error(inv,
                           "no user name: the daemon's hook sets USER; outside the hook "
                           "give --user NAME",
                           kCheckUsage);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage_error(inv, "the directory " + dir + " does not exist", kCheckUsage);
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return usage_error(inv, "the uploaded file " + path + " does not exist or is not a file",
                           kCheckUsage);

    unsigned long crc = 0;
    if (p->operands.size() == 3 && !sfv_parse_crc(p->operands[2].c_str(), &crc))
        return usage_error(inv, "the CRC '" + p->operands[2] + "' is not 1 to 8 hex digits", kCheckUsage);

    Table table;
    if (int rc = read_settings(inv, *p, &table.t); rc != kOk)
        return rc;
    ht_put(&table.t, "user", user.c_str());
    if (p->operands.size() == 3)
        ht_put(&table.t, "crc", p->operands[2].c_str());
    int accepted = upload_check(&table.t, file.c_str(), dir.c_str());
    // The status is the verdict on the upload: the daemon deletes a refused
    // file, so a message that could not be shown must not refuse a good one.
    (void)std::fflush(stdout);
    clearerr(stdout);
    return accepted ? kOk : kRefused;
}

int cmd_release(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 1, 1, kReleaseUsage))
        return kUsage;
    std::string path = strip_slashes(p->operands[0]);
    if (path.empty() || path == "/")
        return usage_error(inv, "PATH names no directory", kReleaseUsage);
    std::string name(path.size() + 1, '\0');
    release_get_with_subdir(path.c_str(), name.data(), static_cast<int>(name.size()));
    name.resize(std::strlen(name.c_str()));
    if (want_json(inv, *p))
        std::printf("%s\n", JsonObject().str("path", path).str("release", name).text().c_str());
    else
        std::printf("%s\n", name.c_str());
    return kOk;
}

} // namespace

const Command check_command{
    .name = "check",
    .summary = "check FILE DIR [CRC]: the upload check (SFV, ZIP and NFO) for the daemon's hook",
    .usage = kCheckUsage,
    .help = kCheckHelp,
    .options = kCheckOptions,
    .run = cmd_check,
};
const Command release_command{
    .name = "release",
    .summary = "release PATH: the release name of a directory",
    .usage = kReleaseUsage,
    .help = "\nPrints the release name of PATH: its last component, or the last two when\n"
            "it ends in a subfolder of a release (CD1, DISC2, Sample, Covers, Subs).\n"
            "PATH need not exist.\n",
    .options = kReleaseOptions,
    .run = cmd_release,
};

} // namespace sk::cli
