// sitekit check: the upload check of the daemon's hook, and sitekit release:
// the release name of a directory. Both over the release check modules.
#include "acctdb.h"
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

constexpr std::string_view kCheckUsage =
    "usage: sitekit check [--config FILE] [--user NAME] [--speed KIBS] FILE DIR [CRC]\n"
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
    "  --speed KIBS   the upload's speed in KiB/s, kept for sitekit race\n"
    "                 (default: $SPEED, set by the daemon)\n"
    "  --deleted      FILE was deleted from DIR (the daemon's delete hook or a\n"
    "                 cron job): a listed file gets its marker back and the\n"
    "                 tag is recomputed; when FILE was the SFV, its markers\n"
    "                 and tag go. Exit status 0.\n";
constexpr Option kCheckOptions[] = {
    {"--config", true}, {"--user", true}, {"--speed", true}, {"--deleted", false}};
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
int read_settings(Invocation &inv, const Parsed &p, ht_table *table, const char *command = "check") {
    bool named = p.has("--config");
    std::string path = named ? *p.value("--config") : site_path(kDefaultSettings);
    struct stat st {};
    if (!named && stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        std::fprintf(stderr,
                     "sitekit %s: no settings file %s; checking with the defaults "
                     "(install share/sitekit/checks.conf.example there)\n",
                     command, path.c_str());
        return kOk;
    }
    SettingsResult r = load_settings(path, table);
    if (!r.opened)
        return usage_error(inv, "cannot read the settings file " + path + ": " + r.open_error, kCheckUsage);
    for (const std::string &w : r.warnings)
        std::fprintf(stderr, "sitekit %s: %s: %s (line left out)\n", command, path.c_str(), w.c_str());
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
    // A speed that does not read is left out: it only feeds the totals.
    const char *env_speed = std::getenv("SPEED");
    if (std::string speed = p->value("--speed").value_or(env_speed ? env_speed : ""); !speed.empty())
        ht_put(&table.t, "speed", speed.c_str());
    if (p->operands.size() == 3)
        ht_put(&table.t, "crc", p->operands[2].c_str());
    int accepted = upload_check(&table.t, file.c_str(), dir.c_str());
    // The status is the verdict on the upload: the daemon deletes a refused
    // file, so a message that could not be shown must not refuse a good one.
    (void)std::fflush(stdout);
    clearerr(stdout);
    return accepted ? kOk : kRefused;
}

constexpr std::string_view kRaceUsage = "usage: sitekit race [--config FILE] [--json] DIR\n";
constexpr Option kRaceOptions[] = {{"--config", true}, {"--json", false}};

std::string format_speed(double kibs) {
    char text[48];
    (void)std::snprintf(text, sizeof text, "%.1f", kibs);
    return text;
}

int cmd_race(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 1, 1, kRaceUsage))
        return kUsage;
    std::string dir = strip_slashes(p->operands[0]);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return usage_error(inv, "the directory " + dir + " does not exist", kRaceUsage);
    Table table;
    if (int rc = read_settings(inv, *p, &table.t, "race"); rc != kOk)
        return rc;
    sfv_state state{};
    if (!sfv_release_state(&table.t, dir.c_str(), &state)) {
        std::fprintf(stderr, "sitekit race: %s has no SFV that can be read\n", dir.c_str());
        return kRefused;
    }
    std::size_t percent = state.total ? state.files * 100 / state.total : 0;
    if (want_json(inv, *p)) {
        std::string missing = "[", users = "[";
        for (std::size_t i = 0; i < state.missing_count; ++i)
            missing.append(i ? "," : "").append(json_string(state.missing[i]));
        for (std::size_t i = 0; i < state.uploader_count; ++i) {
            const sfv_uploader &u = state.uploaders[i];
            users.append(i ? "," : "");
            users += JsonObject()
                         .str("user", u.user)
                         .unum("uid", u.uid)
                         .unum("files", u.files)
                         .unum("bytes", u.bytes)
                         .raw("speed", u.timed ? format_speed(u.speed) : "null")
                         .text();
        }
        std::printf("%s\n", JsonObject()
                                .str("path", dir)
                                .str("sfv", state.sfv)
                                .unum("total", state.total)
                                .unum("files", state.files)
                                .unum("percent", percent)
                                .unum("bytes", state.bytes)
                                .raw("complete", state.files == state.total ? "true" : "false")
                                .raw("missing", missing + "]")
                                .raw("users", users + "]")
                                .text()
                                .c_str());
    } else {
        std::printf("sfv %s\nfiles %zu of %zu (%zu%%), %llu bytes%s\n", state.sfv, state.files, state.total,
                    percent, state.bytes, state.files == state.total ? ", complete" : "");
        for (std::size_t i = 0; i < state.missing_count; ++i)
            std::printf("missing %s\n", state.missing[i]);
        for (std::size_t i = 0; i < state.uploader_count; ++i) {
            const sfv_uploader &u = state.uploaders[i];
            std::string speed;
            if (u.timed)
                speed.append(", ").append(format_speed(u.speed)).append(" KiB/s");
            std::printf("user %s %zu file%s, %llu bytes%s\n", u.user, u.files, u.files == 1 ? "" : "s",
                        u.bytes, speed.c_str());
        }
    }
    sfv_state_free(&state);
    return kOk;
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
const Command race_command{
    .name = "race",
    .summary = "race DIR: a release's files against its SFV, and who uploaded them",
    .usage = kRaceUsage,
    .help = "\nPrints the state of the release DIR from the directory alone: its SFV, the\n"
            "listed files there and verified (no marker), their bytes, the files still\n"
            "missing (one \"missing NAME\" line each) and, per uploader of the files\n"
            "there, files, bytes and the average upload speed where the check was\n"
            "given one (--speed or $SPEED), most bytes first. An uploader is the\n"
            "files' owner named through the daemon's passwd file, else the user the\n"
            "check ran for. Exit status 1 when DIR has no SFV that can be read.\n"
            "  --config FILE  the checks' settings file, for the marker suffix\n"
            "                 (default /ftp-data/sitekit/checks.conf below the site root)\n",
    .options = kRaceOptions,
    .run = cmd_race,
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
