// dlsync: measures one release directory and writes its record into the
// daemon's directory log, over the directory's old record or at the end.
//
//   dlsync [-r /pathto/glftpd.conf] [-i ...] [-h] <full directory path>
//
// The daemon's files are taken below the site root named by the environment
// variable SITEKIT_ROOT (none when unset or empty), and so is the default
// configuration file /etc/glftpd.conf; a file given with -r is used as given.
// Exit status: 0 when the record was written, the directory was skipped, or
// the usage text was asked for or printed for a bad command line; 1 on any
// failure.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "siteroot.h"
#include "sitelogs.h"

namespace {

// The directory argument without trailing slashes ("/" stays "/").
std::string_view strip_trailing_slashes(std::string_view dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.remove_suffix(1);
    return dir;
}

std::string_view last_component(std::string_view dir) {
    std::size_t slash = dir.rfind('/');
    return slash == std::string_view::npos ? dir : dir.substr(slash + 1);
}

// The reason to skip dir, or nullptr to measure it.
const char *skip_reason(std::string_view dir) {
    std::string_view name = last_component(dir);
    if (name == "." || name == ".." || name == "groups")
        return "skipped by default";
    for (const ignore_node *node = START; node; node = node->next) {
        if (node->item && (name == node->item || dir == node->item))
            return "named by -i";
    }
    return nullptr;
}

int run(std::string_view dir_arg) {
    std::string dir(strip_trailing_slashes(dir_arg));
    if (const char *why = skip_reason(dir)) {
        (void)std::fprintf(stderr, "dlsync: %s: %s, nothing written\n", dir.c_str(), why);
        return 0;
    }
    if (dir.empty() || dir.front() != '/') {
        (void)std::fprintf(stderr, "dlsync: %s: give the full path of the directory\n", dir.c_str());
        return 1;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        (void)std::fprintf(stderr, "dlsync: %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        (void)std::fprintf(stderr, "dlsync: %s: not a directory\n", dir.c_str());
        return 1;
    }
    int32_t files = 0;
    uint64_t bytes = 0;
    get_dir_size(dir.c_str(), &files, &bytes);
    // gl_dirlog_add ends the process with status 1 when the log cannot be updated.
    if (!gl_dirlog_add(dir.c_str(), st.st_uid, st.st_gid, static_cast<uint32_t>(files), bytes)) {
        (void)std::fprintf(stderr, "dlsync: %s: the name is too long for the directory log\n", dir.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (!sk::set_root_from_environment()) {
        (void)std::fprintf(stderr, "dlsync: SITEKIT_ROOT is too long\n");
        return 1;
    }
    std::string config = sk::site_path(sk::kDaemonConfig);
    opterr = 0; // unknown options print the usage text, not getopt's message
    int opt;
    while ((opt = getopt(argc, argv, "+r:i:h")) != -1) {
        switch (opt) {
        case 'r':
            config = optarg;
            break;
        case 'i':
            add_ignore(optarg);
            break;
        default: // -h, an unknown option, or -r/-i without its argument
            usage();
        }
    }
    if (argc - optind != 1)
        usage();
    load_sysconfig(config.c_str());
    return run(argv[optind]);
}
