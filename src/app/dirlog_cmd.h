// The pieces of sitekit dirlog shared by its actions: update and list in
// cmd_sitelogs.cpp, rebuild and clean in cmd_dirlog_rebuild.cpp.
#ifndef SITEKIT_APP_DIRLOG_CMD_H
#define SITEKIT_APP_DIRLOG_CMD_H

#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "sitelogs.h"
#include "sitelogs_internal.h"

namespace sk::cli {

extern const std::string_view kDirlogUsage;

// Reads the daemon's configuration (--config, or the default one when it
// is there) and applies its root path; the exit status when it cannot be.
std::optional<int> load_dirlog_config(Invocation &inv, const Parsed &p);

// path made absolute against the working directory.
std::string absolute(const std::string &path);

// The message of a directory log that could not be read or written.
std::string dirlog_failure_message(const sitelogs::dirlog_failure &why);

// Prints records as dirlog list prints them (lines, or one JSON array).
void print_dirlog_records(const std::vector<dirlog_record> &records, bool json);

// The actions of cmd_dirlog_rebuild.cpp.
int dirlog_rebuild(Invocation &inv, const Parsed &p);
int dirlog_clean(Invocation &inv, const Parsed &p);

} // namespace sk::cli

#endif
