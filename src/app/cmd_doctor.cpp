// sitekit doctor: checks a site's set-up with the loaders the other
// commands use (the daemon's configuration, the checks' settings, the
// account file parsers, the online-user table attach) and prints one line
// per problem found, each saying what to fix.
#include "acctscan.h"
#include "commands.h"
#include "internal.h"
#include "settings.h"
#include "siteroot.h"
#include "whotable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace sk::cli {

namespace {

constexpr std::string_view kDoctorUsage =
    "usage: sitekit doctor [--config FILE] [--settings FILE] [-k KEY] [-s STRIDE]\n";
constexpr std::string_view kDoctorHelp =
    "\n"
    "Checks the site's set-up and prints one line per problem, saying what to\n"
    "fix: the daemon's configuration (default /etc/glftpd.conf below the site\n"
    "root) found, with a rootpath and a datapath; the logs folder and the\n"
    "daemon's files (dirlog, dupefile, dupelog, glftpd.log, nukelog, and the\n"
    "folders msgs and users) present, of the right type, owned by the owner of\n"
    "the logs folder, readable and writable by their owner and not writable by\n"
    "every user; the checks' settings file (default\n"
    "/ftp-data/sitekit/checks.conf) read without a warning; the online-user\n"
    "table there (key -k, slot stride -s as for 'sitekit who'); the passwd and\n"
    "group files read with every line parsed.\n"
    "Exit status 0 when all is well (\"no problems found\"), 1 when a problem\n"
    "was found, 2 for a bad option.\n";
constexpr Option kDoctorOptions[] = {{"--config", true}, {"--settings", true}, {"-k", true}, {"-s", true}};

constexpr const char *kLogs = "/ftp-data/logs";
constexpr const char *kLogFiles[] = {"dirlog", "dupefile", "dupelog", "glftpd.log", "nukelog"};
constexpr const char *kDataFolders[] = {"/ftp-data/msgs", "/ftp-data/users"};

std::string octal_mode(mode_t mode) {
    char buf[8];
    (void)std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

class Doctor {
  public:
    void problem(std::string text) { problems_.push_back(std::move(text)); }
    const std::vector<std::string> &problems() const { return problems_; }

    // The daemon's configuration: there, readable, with rootpath and datapath.
    void check_config(const std::string &path) {
        regular_file file = open_regular(path.c_str(), O_RDONLY);
        if (!file) {
            problem(
                open_failure("cannot read the daemon's configuration", path, file,
                             "put the configuration file itself there") +
                (file.error == ENOENT ? " (name the site root with --root, or the file with --config)" : ""));
            return;
        }
        daemon_config config;
        if (!read_daemon_config(std::move(file.fd), config)) {
            problem("cannot read the daemon's configuration " + path + ": " + std::strerror(errno));
            return;
        }
        if (!config.rootpath || config.rootpath->empty())
            problem(path + " sets no rootpath: add a line 'rootpath /glftpd' naming the daemon's root");
        else if (config.rootpath->front() != '/')
            problem(path + " sets rootpath '" + *config.rootpath + "', which is not an absolute path");
        if (!config.datapath || config.datapath->empty()) {
            problem(path + " sets no datapath: add a line 'datapath /ftp-data'");
        } else {
            std::string_view data = *config.datapath;
            while (data.size() > 1 && data.back() == '/')
                data.remove_suffix(1);
            if (data != "/ftp-data" && data != "ftp-data")
                problem(path + " sets datapath '" + *config.datapath +
                        "', but the site tools read the daemon's files below /ftp-data");
        }
    }

    // The logs folder, the daemon's files in it and the data folders. The
    // owner of the logs folder is the one every file is expected to have.
    void check_daemon_files() {
        std::string logs = site_path(kLogs);
        struct stat st {};
        if (stat(logs.c_str(), &st) != 0) {
            problem("the logs folder " + logs + " is missing (" + std::strerror(errno) +
                    "): create it, owned by the daemon's user");
        } else if (!S_ISDIR(st.st_mode)) {
            problem(logs + " is not a folder: the daemon's logs go there");
        } else {
            owner_ = st.st_uid;
            check_mode(logs, st, true);
            for (const char *name : kLogFiles)
                check_entry(logs + "/" + name, false);
        }
        for (const char *folder : kDataFolders)
            check_entry(site_path(folder), true);
    }

    // The checks' settings: read, and no line left out.
    void check_settings(const std::string &path, bool named) {
        struct stat st {};
        if (!named && stat(path.c_str(), &st) != 0 && errno == ENOENT) {
            problem("no settings file " + path +
                    ": the checks run with their defaults (copy share/sitekit/checks.conf.example there)");
            return;
        }
        ht_table table;
        ht_init(&table);
        SettingsResult r = load_settings(path, &table);
        ht_finalize(&table);
        if (!r.opened) {
            problem("cannot read the settings file " + path + ": " + r.open_error);
            return;
        }
        for (const std::string &w : r.warnings)
            problem(path + ": " + w);
    }

    // The online-user table: there and at least one slot.
    void check_table(key_t key, std::size_t stride) {
        who::table table;
        if (std::string why = table.attach(key, stride); !why.empty())
            problem(why);
    }

    // An account file: readable, and every line one the account cache keeps.
    template <class Split> void check_accounts(const char *daemon_path, Split split, std::string_view form) {
        std::string path = site_path(daemon_path);
        regular_file file = open_regular(path.c_str(), O_RDONLY);
        if (!file) {
            problem(open_failure("cannot read", path, file, "put the file itself there"));
            return;
        }
        std::string data;
        char buf[65536];
        ssize_t n;
        while ((n = read_full(file.fd.get(), buf, sizeof buf)) > 0)
            data.append(buf, static_cast<std::size_t>(n));
        if (n < 0) {
            problem("cannot read " + path + ": " + std::strerror(errno));
            return;
        }
        std::size_t number = 0;
        std::string_view rest = data;
        while (!rest.empty()) {
            ++number;
            std::size_t lf = rest.find('\n');
            std::string_view line = rest.substr(0, lf);
            rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
            // The cache ends a line at CR as well and reads its text up to a NUL.
            bool bad = false;
            for (std::size_t at = 0; at <= line.size();) {
                std::size_t cr = line.find('\r', at);
                std::string_view piece = line.substr(at, cr == std::string_view::npos ? line.npos : cr - at);
                piece = piece.substr(0, piece.find('\0'));
                if (!piece.empty() && !split(piece))
                    bad = true;
                if (cr == std::string_view::npos)
                    break;
                at = cr + 1;
            }
            if (bad)
                problem(path + " line " + std::to_string(number) + " does not parse as " + std::string(form) +
                        ": the account cache skips it");
        }
    }

  private:
    // One daemon file (or folder) below the logs or data folder.
    void check_entry(const std::string &path, bool folder) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            problem(path + " is missing (" + std::strerror(errno) + "): create it" +
                    (folder ? " (mkdir)" : " (an empty file)") + ", owned by the owner of the logs folder");
            return;
        }
        if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
            problem(path + (folder ? " is not a folder" : ": " + open_reason(0, true, st.st_mode)) +
                    "; put the daemon's " + (folder ? "folder" : "file") + " itself there");
            return;
        }
        if (owner_ && st.st_uid != *owner_)
            problem(path + " belongs to uid " + std::to_string(st.st_uid) + ", the logs folder to uid " +
                    std::to_string(*owner_) + ": chown " + std::to_string(*owner_) + " " + path);
        check_mode(path, st, folder);
    }

    void check_mode(const std::string &path, const struct stat &st, bool folder) {
        mode_t needed = folder ? S_IRWXU : S_IRUSR | S_IWUSR;
        if ((st.st_mode & needed) != needed)
            problem(path + " has mode " + octal_mode(st.st_mode) + ": its owner cannot " +
                    (folder ? "list or add to it: chmod u+rwx " : "read and write it: chmod u+rw ") + path);
        bool sticky = folder && (st.st_mode & S_ISVTX) != 0;
        if ((st.st_mode & S_IWOTH) != 0 && !sticky)
            problem(path + " has mode " + octal_mode(st.st_mode) + ": every local user can " +
                    (folder ? "replace what is in it" : "rewrite it") + ": chmod o-w " + path);
    }

    std::vector<std::string> problems_;
    std::optional<uid_t> owner_; // of the logs folder, when it is there
};

int cmd_doctor(Invocation &inv, const Parsed *p) {
    if (!want_operands(*p, inv, 0, 0, kDoctorUsage))
        return kUsage;
    key_t key = who::kDefaultKey;
    std::size_t stride = sizeof(who_record);
    if (auto k = p->value("-k"); k)
        if (std::string why = who::parse_key(*k, key); !why.empty())
            return usage_error(inv, why, kDoctorUsage);
    if (auto s = p->value("-s"); s)
        if (std::string why = who::parse_stride(*s, stride); !why.empty())
            return usage_error(inv, why, kDoctorUsage);

    Doctor doctor;
    std::string root = sitekit_get_root();
    if (struct stat st{}; stat(site_path("/ftp-data").c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        doctor.problem("the site root " + (root.empty() ? std::string("/") : root) +
                       " holds no ftp-data folder: name the daemon's root with --root");
    doctor.check_config(p->value("--config").value_or(site_path(kDaemonConfig)));
    doctor.check_daemon_files();
    doctor.check_settings(p->value("--settings").value_or(site_path(kDefaultSettings)), p->has("--settings"));
    doctor.check_table(key, stride);
    doctor.check_accounts(
        "/etc/passwd", [](std::string_view line) { return acct::split_user(line).has_value(); },
        "name:password:uid:gid:comment:home:shell");
    doctor.check_accounts(
        "/etc/group", [](std::string_view line) { return acct::split_group(line).has_value(); },
        "name:password:gid[:members]");

    std::string out;
    for (const std::string &line : doctor.problems())
        out.append(line).append("\n");
    if (out.empty())
        out = "no problems found\n";
    // A write that fails is found by the check of stdout when the program ends.
    (void)std::fwrite(out.data(), 1, out.size(), stdout);
    return doctor.problems().empty() ? kOk : kRefused;
}

} // namespace

const Command doctor_command{
    .name = "doctor",
    .summary = "doctor: checks the site's set-up and says what to fix",
    .usage = kDoctorUsage,
    .help = kDoctorHelp,
    .options = kDoctorOptions,
    .run = cmd_doctor,
};

} // namespace sk::cli
